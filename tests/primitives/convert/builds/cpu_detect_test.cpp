// CPU classification and build selection on recorded CPUID register sets
// and on this processor; the MXCSR and x87 routines.
#include <gtest/gtest.h>

#include <cpuid.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "primitives/convert/sp_cpu.h"
#include "tests/primitives/support/cpuid_fake.h"
#include "tests/primitives/support/dispatch.h"
#include "tests/primitives/support/mxcsr.h"

namespace sptest {
namespace {

constexpr uint32_t kSse = 1u << 25, kSse2 = 1u << 26;                                  // leaf 1 EDX
constexpr uint32_t kSse3 = 1u << 0, kSsse3 = 1u << 9, kSse41 = 1u << 19, kSse42 = 1u << 20;  // leaf 1 ECX

struct CpuDesc {
    bool accepted;
    uint32_t family, model, extModel, extFamily;
    uint32_t ecx, edx;
    uint32_t cores = 2;
    uint32_t maxLeaf = 0xB;
    bool longMode = true;
    uint32_t extMax = 0x80000008u;
};

CpuidSet makeCpu(const CpuDesc& d) {
    CpuidSet s;
    s.set(0, d.accepted ? acceptedVendorLeaf0(d.maxLeaf) : otherVendorLeaf0(d.maxLeaf));
    uint32_t sig = (d.extFamily << 20) | (d.extModel << 16) | (d.family << 8) | (d.model << 4) | 3;
    s.set(1, SpCpuidRecord{sig, 0x00100800u, d.ecx, d.edx});
    s.set(4, SpCpuidRecord{(d.cores - 1) << 26, 0, 0, 0});
    s.set(0x80000000u, SpCpuidRecord{d.extMax, 0, 0, 0});
    s.set(0x80000001u, SpCpuidRecord{0, 0, 0, d.longMode ? (1u << 29) : 0u});
    return s;
}

struct DetectRow {
    const char* name;
    CpuDesc cpu;
    int32_t type, index, status;
};

TEST(CpuDetection, RecordedProcessorsGiveTypeIndexAndStatus) {
    const uint32_t all = kSse3 | kSsse3 | kSse41 | kSse42, base = kSse | kSse2;
    const std::vector<DetectRow> rows = {
        {"F6 M15, 2 cores", {true, 6, 15, 0, 0, kSse3 | kSsse3, base, 2}, 0x21, 2, 0},
        {"F6 M15, 4 cores", {true, 6, 15, 0, 0, kSse3 | kSsse3, base, 4}, 0x22, 2, 0},
        {"F6 M15, 4 cores, no leaf 4", {true, 6, 15, 0, 0, kSse3 | kSsse3, base, 4, 3}, 0x21, 2, 0},
        {"F6 M23", {true, 6, 7, 1, 0, kSse3 | kSsse3 | kSse41, base}, 0x44, 3, 0},
        {"F6 M26", {true, 6, 10, 1, 0, all, base}, 0x23, 3, 0},
        {"F6 M28", {true, 6, 12, 1, 0, kSse3 | kSsse3, base}, 0x24, 2, 0},
        {"F15 ext family 0", {true, 15, 4, 0, 0, kSse3, base}, 0x42, 1, 0},
        {"F15 ext family 1", {true, 15, 1, 0, 1, kSse3 | kSsse3, base}, 0x43, 2, 0},
        {"SSE4.2", {true, 6, 10, 3, 0, all, base}, 0x45, 3, 0},
        {"SSE4.1", {true, 6, 10, 3, 0, kSse3 | kSsse3 | kSse41, base}, 0x44, 3, 0},
        {"SSSE3", {true, 6, 10, 3, 0, kSse3 | kSsse3, base}, 0x43, 2, 0},
        {"SSE3", {true, 6, 10, 3, 0, kSse3, base}, 0x42, 1, 0},
        {"SSE2", {true, 6, 10, 3, 0, 0, base}, 0x41, 0, 0},
        {"SSE", {true, 6, 10, 3, 0, 0, kSse}, 0x40, 0, 0},
        {"long mode only", {true, 6, 10, 3, 0, 0, 0}, 0x60, 0, 0},
        {"nothing", {true, 6, 10, 3, 0, 0, 0, 2, 0xB, false}, 0x00, 0, 0},
        {"top extended leaf 0x80000000", {true, 6, 10, 3, 0, 0, 0, 2, 0xB, true, 0x80000000u}, 0x00, 0, 0},
        {"other vendor, F6 M15", {false, 6, 15, 0, 0, kSse3 | kSsse3, base}, 0x43, 2, 20},
        {"other vendor, SSE4.2", {false, 6, 10, 3, 0, all, base}, 0x45, 3, 20},
        {"other vendor, SSE3", {false, 15, 4, 0, 0, kSse3, base}, 0x42, 1, 20},
    };
    for (const DetectRow& r : rows) {
        SCOPED_TRACE(r.name);
        ScopedCpuid cpu(makeCpu(r.cpu));
        ScopedDispatchIndex keep(SP_BUILD_GEN);
        EXPECT_EQ(spDetectCpu(), r.type);
        spDispatchIndex.store(-7);
        EXPECT_EQ(spInitCpu(), r.status);
        EXPECT_EQ(spDispatchIndex.load(), r.index);
    }
}

TEST(CpuDetection, SetCpuAcceptsItsCodesAndRefusesTheRest) {
    struct Row {
        int type;
        int32_t status, index;  // index -1: unchanged
    };
    const std::vector<Row> rows = {
        {-1, 0, 0},    {0, 0, 0},     {0x20, 0, 1},  {0x21, 0, 2},  {0x22, 0, 2},  {0x23, 0, 3},
        {0x24, 0, 2},  {0x25, 0, 3},  {0x40, 21, -1}, {0x41, 21, -1}, {0x42, 21, -1}, {0x43, 0, 2},
        {0x44, 0, 3},  {0x45, 0, 3},  {0x60, 0, 0},  {0x99, 21, -1}, {1, 21, -1},
    };
    for (const Row& r : rows) {
        ScopedDispatchIndex keep(SP_BUILD_GEN);
        spDispatchIndex.store(-7);
        EXPECT_EQ(spSetCpu(r.type), r.status) << std::hex << r.type;
        EXPECT_EQ(spDispatchIndex.load(), r.index < 0 ? -7 : r.index) << std::hex << r.type;
    }
}

TEST(CpuDetection, QueriesReadTheRecordedLeaves) {
    CpuDesc d{true, 6, 10, 3, 0, kSse3 | kSse41, kSse | kSse2 | (1u << 4) | (1u << 23) | (1u << 28), 6};
    CpuidSet set = makeCpu(d);
    set.set(2, SpCpuidRecord{0x00224D01u, 0, 0, 0x4B000000u});
    ScopedCpuid cpu(set);
    EXPECT_EQ(spCpuMaxLeaf(), 0xB);
    EXPECT_EQ(spCpuHasTsc(), 1);
    EXPECT_EQ(spCpuHasMmx(), 1);
    EXPECT_EQ(spCpuHasSse(), 1);
    EXPECT_EQ(spCpuHasSse2(), 1);
    EXPECT_EQ(spCpuHasHtt(), 1);  // EBX bits 16-23 = 0x10
    EXPECT_EQ(spCpuHasSse3(), 1);
    EXPECT_EQ(spCpuHasSsse3(), 0);
    EXPECT_EQ(spCpuHasSse41(), 1);
    EXPECT_EQ(spCpuHasSse42(), 0);
    EXPECT_EQ(spCpuCoreCount(), 6);
    EXPECT_EQ(spCpuIsGenuineIntel(), 1);
    SpCpuInfo info;
    std::memset(&info, 0x5C, sizeof info);
    EXPECT_EQ(spCpuReadInfo(&info), 0x00224D01);
    EXPECT_EQ(info.family, 6);
    EXPECT_EQ(info.model, 10);
    EXPECT_EQ(info.extModel, 3);
    EXPECT_EQ(info.stepping, 3);
    EXPECT_EQ(info.coresPerPackage, 6);
    EXPECT_EQ(info.sse41, 1);
    EXPECT_EQ(info.unused, 0x5C5C5C5C);
    const SpCacheLookupEntry table[] = {{0x124D, 16}, {0x4B, 8}, {0, 0}};
    EXPECT_EQ(spCpuCacheDescriptorLookup(table), 16);  // low byte 0x4D matches
    const SpCacheLookupEntry none[] = {{0x01, 1}, {0, 0}};  // the iteration count is no descriptor
    EXPECT_EQ(spCpuCacheDescriptorLookup(none), -1);
    SpCpuidRecord r;
    spCpuid(&r, 4, 0);
    EXPECT_EQ(r.eax, 5u << 26);
}

TEST(CpuDetection, LongModeNeedsTheExtendedLeaf) {
    CpuDesc d{true, 6, 10, 3, 0, 0, 0, 2, 0xB, true, 0x80000000u};
    ScopedCpuid cpu(makeCpu(d));
    EXPECT_EQ(spCpuHasLongMode(), 0);
}

// This processor: the queries agree with the compiler's own CPUID readers.
TEST(CpuDetection, NativeQueriesAgreeWithTheCompilersReaders) {
    unsigned a, b, c, d;
    ASSERT_TRUE(__get_cpuid(0, &a, &b, &c, &d));
    EXPECT_EQ(spCpuMaxLeaf(), (int)a);
    const bool accepted = b == 0x756E6547u && d == 0x49656E69u && c == 0x6C65746Eu;
    EXPECT_EQ(spCpuIsGenuineIntel(), accepted ? 1 : 0);
    EXPECT_EQ(spCpuHasSse3(), __builtin_cpu_supports("sse3") ? 1 : 0);
    EXPECT_EQ(spCpuHasSsse3(), __builtin_cpu_supports("ssse3") ? 1 : 0);
    EXPECT_EQ(spCpuHasSse41(), __builtin_cpu_supports("sse4.1") ? 1 : 0);
    EXPECT_EQ(spCpuHasSse42(), __builtin_cpu_supports("sse4.2") ? 1 : 0);
    EXPECT_EQ(spCpuHasSse2(), 1);
    EXPECT_EQ(spCpuHasLongMode(), 1);
    if (a >= 4) {
        ASSERT_TRUE(__get_cpuid_count(4, 0, &a, &b, &c, &d));
        EXPECT_EQ(spCpuCoreCount(), (int)(a >> 26) + 1);
    }
    ScopedDispatchIndex keep(SP_BUILD_GEN);
    EXPECT_EQ(spInitCpu(), accepted ? SP_STS_OK : SP_STS_CPU_VENDOR);
    std::printf("[ note     ] this processor: type 0x%02X, index %d, vendor %s\n", (unsigned)spDetectCpu(),
                (int)spDispatchIndex.load(), accepted ? "accepted" : "other");
    EXPECT_TRUE(cpuHasBuild(spDispatchIndex.load()));
}

// ---- MXCSR and x87 ------------------------------------------------------------
TEST(FpControl, MxcsrRoutinesReturnThePreviousValue) {
    MxcsrScope scope(kMxcsrDefault | kMxcsrFtz);
    EXPECT_EQ(spMxcsrGet(), kMxcsrDefault | kMxcsrFtz);
    EXPECT_EQ(spMxcsrSetBits(kMxcsrRoundZero, kMxcsrRoundMask), kMxcsrDefault | kMxcsrFtz);
    EXPECT_EQ(spMxcsrGet(), kMxcsrDefault | kMxcsrFtz | kMxcsrRoundZero);
    EXPECT_EQ(spMxcsrSetRounding(kMxcsrRoundUp), kMxcsrDefault | kMxcsrFtz | kMxcsrRoundZero);
    EXPECT_EQ(spMxcsrGet() & kMxcsrRoundMask, kMxcsrRoundUp);
    EXPECT_EQ(spMxcsrReset(), kMxcsrDefault | kMxcsrFtz | kMxcsrRoundUp);
    EXPECT_EQ(spMxcsrGet(), 0x1F80u);
    spMxcsrLoad(kMxcsrDefault | kMxcsrDaz);
    EXPECT_EQ(spMxcsrGet(), kMxcsrDefault | kMxcsrDaz);
}

TEST(FpControl, DazSupportAndDoubleClassification) {
    EXPECT_EQ(spCpuHasDaz(), 1);  // every x86-64 processor reports it
    EXPECT_EQ(spIsNanF64(NAN), 1);
    EXPECT_EQ(spIsNanF64(INFINITY), 0);
    EXPECT_EQ(spIsFiniteF64(INFINITY), 0);
    EXPECT_EQ(spIsFiniteF64(NAN), 0);
    EXPECT_EQ(spIsFiniteF64(1e308), 1);
}

TEST(FpControl, X87FlagTranslationBothWays) {
    struct Row {
        uint32_t cw, flags;
    };
    const std::vector<Row> rows = {
        {0x037F, 0x1F | 0x80000},              // all masked, 64-bit precision, nearest
        {0x027F, 0x1F | 0x80000 | 0x10000},    // 53-bit
        {0x007F, 0x1F | 0x80000 | 0x20000},    // 24-bit
        {0x0F7F, 0x1F | 0x80000 | 0x300},      // toward zero
        {0x1332, 0x80000 | 0x02 | 0x01 | 0x40000},  // infinity control; invalid, zero-divide, overflow unmasked
        {0x0001, 0x10 | 0x20000},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(spX87ControlToFlags(r.cw), r.flags) << std::hex << r.cw;
        EXPECT_EQ(spX87FlagsToControl(r.flags, 0), r.cw & 0x1F3Fu) << std::hex << r.cw;
    }
    EXPECT_EQ(spX87FlagsToControl(0x30000, 0) & 0x300u, 0u);  // both precision flags: 24 bits
    EXPECT_EQ(spX87ControlToFlags(0x0100) & 0x30000u, 0u);     // the reserved field reads as 64 bits
}

TEST(FpControl, X87SetControlFlagsWithMaskZeroKeepsTheWord) {
    const uint32_t saved = spX87GetControl();
    spX87LoadControl(0x007F);  // 24-bit precision
    uint32_t merged = spX87SetControlFlags(0, 0);
    EXPECT_EQ(spX87GetControl(), 0x007Fu);
    EXPECT_EQ(merged, spX87ControlToFlags(0x007F));
    EXPECT_EQ(spX87SetControlBits(0x0C00, 0x0C00), 0x007Fu);
    EXPECT_EQ(spX87GetControl(), 0x0C7Fu);
    spX87SetControlIfChanged(0x0000, 0x0C00);
    EXPECT_EQ(spX87GetControl(), 0x007Fu);
    spX87LoadControl(saved);
    spX87GetClearStatusFlags();
    EXPECT_EQ(spX87GetStatus() & 0x3F, 0u);
}

}  // namespace
}  // namespace sptest

