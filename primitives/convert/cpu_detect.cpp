// CPU classification, build selection and the processor queries: CPUID
// through the provider seam, MXCSR and the x87 control and status words.
#include <xmmintrin.h>

#include "primitives/convert/cpuid.h"
#include "primitives/convert/sp_cpu.h"

void spCpuidInstruction(SpCpuidRecord* r, uint32_t leaf, uint32_t subleaf) {
    uint32_t a, b, c, d;
    __asm__ volatile("cpuid" : "=a"(a), "=b"(b), "=c"(c), "=d"(d) : "a"(leaf), "c"(subleaf));
    *r = SpCpuidRecord{a, b, c, d};
}

std::atomic<SpCpuidProvider> spCpuidProvider{&spCpuidInstruction};

using sp::cpu::query;

namespace {

uint32_t bit(uint32_t word, int n) { return (word >> n) & 1u; }

struct Features {
    uint32_t signature, ecx, edx;
    bool longMode;
    int cores;
};

Features readFeatures() {
    SpCpuidRecord l1 = query(1);
    Features f{l1.eax, l1.ecx, l1.edx, spCpuHasLongMode() != 0, spCpuCoreCount()};
    return f;
}

// spDispatchIndex of a CPU type, or -1 for a type spSetCpu refuses.
int setCpuIndex(int type) {
    switch (type) {
    case -1: case SP_CPU_UNKNOWN: case SP_CPU_X64: return SP_BUILD_GEN;
    case 0x20: return SP_BUILD_SSE3;
    case SP_CPU_F6_M15: case SP_CPU_F6_M15_MC: case SP_CPU_F6_M28: case SP_CPU_SSSE3: return SP_BUILD_SSSE3;
    case SP_CPU_F6_M26: case 0x25: case SP_CPU_SSE41: case SP_CPU_SSE42: return SP_BUILD_SSE41;
    default: return -1;
    }
}

// spInitCpu's mapping: like spSetCpu's, plus SSE3 -> build 1; everything
// else generic.
int initCpuIndex(int type) {
    if (type == SP_CPU_SSE3) return SP_BUILD_SSE3;
    int index = setCpuIndex(type);
    return index < 0 ? SP_BUILD_GEN : index;
}

}  // namespace

void spCpuid(SpCpuidRecord* record, int leaf, int subleaf) { *record = query((uint32_t)leaf, (uint32_t)subleaf); }

int spCpuFeaturesAvailable() { return 1; }
int spCpuMaxLeaf() { return (int)query(0).eax; }
int spCpuHasTsc() { return (int)bit(query(1).edx, 4); }
int spCpuHasMmx() { return (int)bit(query(1).edx, 23); }
int spCpuHasSse() { return (int)bit(query(1).edx, 25); }
int spCpuHasSse2() { return (int)bit(query(1).edx, 26); }
int spCpuHasHtt() {
    SpCpuidRecord l1 = query(1);
    return bit(l1.edx, 28) && ((l1.ebx >> 16) & 0xFF) > 1 ? 1 : 0;
}
int spCpuHasSse3() { return (int)bit(query(1).ecx, 0); }
int spCpuHasSsse3() { return (int)bit(query(1).ecx, 9); }
int spCpuHasSse41() { return (int)bit(query(1).ecx, 19); }
int spCpuHasSse42() { return (int)bit(query(1).ecx, 20); }
int spCpuHasLongMode() {
    if ((query(0x80000000u).eax & 0x7FFFFFFFu) == 0) return 0;
    return (int)bit(query(0x80000001u).edx, 29);
}
int spCpuCoreCount() {
    if (query(0).eax < 4) return 1;
    return (int)(query(4, 0).eax >> 26) + 1;
}
int spCpuIsGenuineIntel() { return sp::cpu::isAcceptedVendor(query(0)) ? 1 : 0; }

int32_t spCpuReadInfo(SpCpuInfo* info) {
    SpCpuidRecord l1 = query(1), l2 = query(2);
    uint32_t sig = l1.eax;
    info->family = (int32_t)((sig >> 8) & 15);
    info->stepping = (int32_t)(sig & 15);
    info->model = (int32_t)((sig >> 4) & 15);
    info->type = (int32_t)((sig >> 12) & 3);
    info->leaf1Edx = (int32_t)l1.edx;
    info->leaf2Eax = (int32_t)l2.eax;
    info->leaf2Edx = (int32_t)l2.edx;
    info->mmx = (int32_t)bit(l1.edx, 23);
    info->sse = (int32_t)bit(l1.edx, 25);
    info->sse2 = (int32_t)bit(l1.edx, 26);
    info->htt = spCpuHasHtt();
    info->sse3 = (int32_t)bit(l1.ecx, 0);
    info->longMode = spCpuHasLongMode();
    info->ssse3 = (int32_t)bit(l1.ecx, 9);
    info->coresPerPackage = spCpuCoreCount();
    info->sse41 = (int32_t)bit(l1.ecx, 19);
    info->sse42 = (int32_t)bit(l1.ecx, 20);
    info->extFamily = (int32_t)((sig >> 20) & 0xFF);
    info->extModel = (int32_t)((sig >> 16) & 15);
    return (int32_t)l2.eax;
}

SpCpuType spDetectCpu() {
    if (!spCpuFeaturesAvailable()) return SP_CPU_UNKNOWN;
    Features f = readFeatures();
    uint32_t family = (f.signature >> 8) & 15, model = (f.signature >> 4) & 15;
    uint32_t extModel = (f.signature >> 16) & 15, extFamily = (f.signature >> 20) & 0xFF;
    if (family == 6 || family == 15) model += extModel << 4;
    if (family == 15) family += extFamily;
    if (spCpuIsGenuineIntel()) {
        if (family == 6 && model == 15) return f.cores > 2 ? SP_CPU_F6_M15_MC : SP_CPU_F6_M15;
        if (family == 6 && model == 23) return SP_CPU_SSE41;
        if (family == 6 && model == 26) return SP_CPU_F6_M26;
        if (family == 6 && model == 28) return SP_CPU_F6_M28;
        if (family == 15) return SP_CPU_SSE3;
    }
    if (bit(f.ecx, 20)) return SP_CPU_SSE42;
    if (bit(f.ecx, 19)) return SP_CPU_SSE41;
    if (bit(f.ecx, 9)) return SP_CPU_SSSE3;
    if (bit(f.ecx, 0)) return SP_CPU_SSE3;
    if (bit(f.edx, 26)) return SP_CPU_SSE2;
    if (bit(f.edx, 25)) return SP_CPU_SSE;
    if (f.longMode) return SP_CPU_X64;
    return SP_CPU_UNKNOWN;
}

SpStatus spInitCpu() {
    spDispatchIndex.store(initCpuIndex(spDetectCpu()), std::memory_order_relaxed);
    return spCpuFeaturesAvailable() && spCpuIsGenuineIntel() ? SP_STS_OK : SP_STS_CPU_VENDOR;
}

SpStatus spSetCpu(int type) {
    int index = setCpuIndex(type);
    if (index < 0) return SP_STS_CPU_UNSUPPORTED;
    spDispatchIndex.store(index, std::memory_order_relaxed);
    return SP_STS_OK;
}

int32_t spCpuCacheDescriptorLookup(const SpCacheLookupEntry* table) {
    SpCpuidRecord l2 = query(2);
    if ((l2.eax & 0xFF) != 1) return -1;
    const uint32_t regs[4] = {l2.eax, l2.ebx, l2.ecx, l2.edx};
    for (; table->descriptor != 0; ++table) {
        uint8_t wanted = (uint8_t)table->descriptor;
        for (int r = 0; r < 4; ++r) {
            if (regs[r] & 0x80000000u) continue;
            for (int b = (r == 0 ? 1 : 0); b < 4; ++b)
                if ((uint8_t)(regs[r] >> (8 * b)) == wanted) return (int32_t)table->value;
        }
    }
    return -1;
}

uint64_t spReadTsc() {
    uint32_t lo, hi;
    __asm__ volatile("rdtsc" : "=a"(lo), "=d"(hi));
    return ((uint64_t)hi << 32) | lo;
}

// ---- MXCSR ------------------------------------------------------------------
uint32_t spMxcsrGet() { return _mm_getcsr(); }
void spMxcsrLoad(uint32_t value) { _mm_setcsr(value); }
uint32_t spMxcsrReset() {
    uint32_t old = _mm_getcsr();
    _mm_setcsr(0x1F80);
    return old;
}
uint32_t spMxcsrSetBits(uint32_t value, uint32_t mask) {
    uint32_t old = _mm_getcsr();
    _mm_setcsr((old & ~mask) | (value & mask));
    return old;
}
uint32_t spMxcsrSetRounding(uint32_t field) {
    uint32_t old = _mm_getcsr();
    if ((old & 0x6000) != field) _mm_setcsr((old & ~0x6000u) | field);
    return old;
}

int spCpuHasDaz() {
    alignas(16) uint8_t area[512] = {};
    __asm__ volatile("fxsave %0" : "=m"(area));
    uint32_t mask = (uint32_t)area[28] | ((uint32_t)area[29] << 8) | ((uint32_t)area[30] << 16) |
                    ((uint32_t)area[31] << 24);
    return mask != 0 && (mask & 0x40) != 0 ? 1 : 0;
}

// ---- x87 --------------------------------------------------------------------
uint32_t spX87GetControl() {
    uint16_t cw;
    __asm__ volatile("fnstcw %0" : "=m"(cw));
    return cw;
}
uint32_t spX87GetStatus() {
    uint16_t sw;
    __asm__ volatile("fnstsw %0" : "=m"(sw));
    return sw;
}
uint32_t spX87GetClearStatus() {
    uint32_t sw = spX87GetStatus();
    __asm__ volatile("fnclex");
    return sw;
}
void spX87LoadControl(uint32_t value) {
    uint16_t cw = (uint16_t)value;
    __asm__ volatile("fldcw %0" : : "m"(cw));
}
uint32_t spX87SetControlBits(uint32_t value, uint32_t mask) {
    uint32_t old = spX87GetControl();
    spX87LoadControl((old & ~mask) | (value & mask));
    return old;
}
void spX87SetControlIfChanged(uint32_t value, uint32_t mask) {
    uint32_t cw = spX87GetControl();
    if ((cw & mask) != value) spX87LoadControl((cw & ~mask) | value);
}

namespace {

// x87 exception bit n <-> portable flag.
constexpr uint32_t kExceptionFlag[6] = {0x10, 0x80000, 0x08, 0x04, 0x02, 0x01};

uint32_t exceptionsToFlags(uint32_t word) {
    uint32_t flags = 0;
    for (int n = 0; n < 6; ++n)
        if (word & (1u << n)) flags |= kExceptionFlag[n];
    return flags;
}
uint32_t flagsToExceptions(uint32_t flags) {
    uint32_t word = 0;
    for (int n = 0; n < 6; ++n)
        if (flags & kExceptionFlag[n]) word |= 1u << n;
    return word;
}

}  // namespace

uint32_t spX87ControlToFlags(uint32_t cw) {
    uint32_t flags = exceptionsToFlags(cw & 0x3F);
    flags |= (cw >> 2) & 0x300;
    uint32_t pc = (cw >> 8) & 3;
    flags |= pc == 0 ? 0x20000u : (pc == 2 ? 0x10000u : 0u);
    if (cw & 0x1000) flags |= 0x40000;
    return flags;
}

uint32_t spX87FlagsToControl(uint32_t flags, uint32_t cw) {
    uint32_t out = cw & ~0x1F3Fu;
    out |= flagsToExceptions(flags);
    out |= (flags & 0x300) << 2;
    uint32_t precision = flags & 0x30000;
    out |= (precision == 0x20000 || precision == 0x30000) ? 0u : (precision == 0x10000 ? 0x200u : 0x300u);
    if (flags & 0x40000) out |= 0x1000;
    return out;
}

uint32_t spX87SetControlFlags(uint32_t value, uint32_t mask) {
    uint32_t cw = spX87GetControl();
    uint32_t merged = (spX87ControlToFlags(cw) & ~mask) | (value & mask);
    spX87LoadControl(spX87FlagsToControl(merged, cw));
    return merged;
}
uint32_t spX87GetStatusFlags() { return exceptionsToFlags(spX87GetStatus() & 0x3F); }
uint32_t spX87GetClearStatusFlags() { return exceptionsToFlags(spX87GetClearStatus() & 0x3F); }

int spIsNanF64(double v) {
    uint64_t b = __builtin_bit_cast(uint64_t, v);
    return ((b >> 52) & 0x7FF) == 0x7FF && (b & 0xFFFFFFFFFFFFFull) != 0 ? 1 : 0;
}
int spIsFiniteF64(double v) {
    uint64_t b = __builtin_bit_cast(uint64_t, v);
    return ((b >> 52) & 0x7FF) == 0x7FF ? 0 : 1;
}
