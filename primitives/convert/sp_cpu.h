// Declarations of the CPU builds' bodies and kernels (sp_cpu_list.h), the
// CPU detection and selection routines, the processor queries and the
// counters through which tests see the non-temporal paths.
#pragma once

#include <atomic>
#include <cstdint>

#include "primitives/convert/sp_cpu_list.h"
#include "primitives/convert/sp_types.h"

#define SP_CPU_DECLARE_ONE(fullName, result, params) result fullName params;
#define SP_CPU_DECLARE(builds, name, result, params) SP_CPU_FOR_BUILDS(builds, SP_CPU_DECLARE_ONE, name, result, params)
SP_CPU_LIST(SP_CPU_DECLARE)
#undef SP_CPU_DECLARE

// ---- CPU classification and build selection -------------------------------
enum SpCpuType : int32_t {
    SP_CPU_UNKNOWN = 0x00,
    SP_CPU_F6_M15 = 0x21,
    SP_CPU_F6_M15_MC = 0x22,
    SP_CPU_F6_M26 = 0x23,
    SP_CPU_F6_M28 = 0x24,
    SP_CPU_SSE = 0x40,
    SP_CPU_SSE2 = 0x41,
    SP_CPU_SSE3 = 0x42,
    SP_CPU_SSSE3 = 0x43,
    SP_CPU_SSE41 = 0x44,
    SP_CPU_SSE42 = 0x45,
    SP_CPU_X64 = 0x60,
};

struct SpCpuidRecord {
    uint32_t eax, ebx, ecx, edx;
};

// Processor information record of spCpuReadInfo; field 8 is never written.
struct SpCpuInfo {
    int32_t family, stepping, model, type;
    int32_t leaf1Edx, leaf2Eax, leaf2Edx;
    int32_t mmx, unused, sse, sse2, htt, sse3, longMode, ssse3, coresPerPackage, sse41, sse42;
    int32_t extFamily, extModel;
};

SpCpuType spDetectCpu();
SpStatus spInitCpu();
SpStatus spSetCpu(int type);
void spCpuid(SpCpuidRecord* record, int leaf, int subleaf);

// Every CPUID the library executes goes through this provider (default:
// the instruction). Tests install recorded register sets.
using SpCpuidProvider = void (*)(SpCpuidRecord* record, uint32_t leaf, uint32_t subleaf);
extern std::atomic<SpCpuidProvider> spCpuidProvider;
void spCpuidInstruction(SpCpuidRecord* record, uint32_t leaf, uint32_t subleaf);

int spCpuFeaturesAvailable();
int spCpuMaxLeaf();
int spCpuHasTsc();
int spCpuHasMmx();
int spCpuHasSse();
int spCpuHasSse2();
int spCpuHasHtt();
int spCpuHasSse3();
int spCpuHasSsse3();
int spCpuHasSse41();
int spCpuHasSse42();
int spCpuHasLongMode();
int spCpuCoreCount();
int32_t spCpuReadInfo(SpCpuInfo* info);
uint64_t spReadTsc();
int spCpuIsGenuineIntel();
uint32_t spMxcsrReset();
uint32_t spMxcsrGet();
uint32_t spMxcsrSetBits(uint32_t value, uint32_t mask);
uint32_t spMxcsrSetRounding(uint32_t field);
void spMxcsrLoad(uint32_t value);
int spCpuHasDaz();
uint32_t spX87GetControl();
uint32_t spX87GetStatus();
uint32_t spX87GetClearStatus();
uint32_t spX87SetControlBits(uint32_t value, uint32_t mask);
void spX87SetControlIfChanged(uint32_t value, uint32_t mask);
void spX87LoadControl(uint32_t value);
uint32_t spX87SetControlFlags(uint32_t value, uint32_t mask);
uint32_t spX87GetStatusFlags();
uint32_t spX87GetClearStatusFlags();
int spIsNanF64(double v);
int spIsFiniteF64(double v);
// Portable flags <-> x87 control word (the translation of spX87SetControlFlags).
uint32_t spX87ControlToFlags(uint32_t cw);
uint32_t spX87FlagsToControl(uint32_t flags, uint32_t cw);

// Pairs {descriptor, value} ended by descriptor 0: the value of the first
// pair whose descriptor's low byte is among leaf 2's descriptor bytes, or -1.
struct SpCacheLookupEntry {
    uint32_t descriptor;
    uint32_t value;
};
int32_t spCpuCacheDescriptorLookup(const SpCacheLookupEntry* table);

// ---- Cache-size probe -----------------------------------------------------
struct SpCacheDescriptor {
    uint8_t descriptor;
    uint8_t sizeCode;  // size = (code >> 4) << ((code & 15) + 18) bytes
};
constexpr int SP_CACHE_DESCRIPTOR_COUNT = 28;
// 28 entries from the largest size down, then the {0, 0} terminator.
extern const SpCacheDescriptor spCacheDescriptors[SP_CACHE_DESCRIPTOR_COUNT + 1];
// Size in bytes of the largest cache the processor reports in leaf 2 and the
// table knows; 0 when none (another vendor, AL != 1, no known descriptor).
uint64_t spCacheProbe();

// ---- Non-temporal path counters (relaxed; read by tests) ------------------
enum SpNtCounter : int {
    SP_NT_ZERO,        // zero kernels
    SP_NT_FILL,        // 16/32/64/128-bit fills
    SP_NT_F64_OUT,     // double-output conversion kernels
    SP_NT_SCALE,       // spScaleF32Kernel
    SP_NT_ADD_SUB,     // vector add and subtract kernels (no store fence)
    SP_NT_ADD_SCALED,  // add-scaled kernels (no store fence)
    SP_NT_COUNTER_COUNT
};
extern std::atomic<uint64_t> spNtCalls[SP_NT_COUNTER_COUNT];

// ---- Copy slots of the scale bodies ----------------------------------------
// The routine each build's spScaleF32 calls for a factor of 1.0: the
// build's own float copy.
using SpCopyF32Body = SpStatus(const float* src, float* dst, int len);
extern SpCopyF32Body* const spScaleF32Copy_Sse3;
extern SpCopyF32Body* const spScaleF32Copy_Ssse3;
extern SpCopyF32Body* const spScaleF32Copy_Sse41;
