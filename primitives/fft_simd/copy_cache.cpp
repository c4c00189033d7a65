// The copy kernels' processor query and their plain choices, and the
// large-driver routines, in the generic build: integer code and data every
// CPU build uses.
#include "primitives/convert/cpuid.h"
#include "primitives/convert/sp_cpu.h"
#include "primitives/fft_simd/sp_fft_simd.h"

std::atomic<uint64_t> spCopyStreamedCopies{0};

std::atomic<SpFftLargeDriver> spFftFwdLargeRoutine_Sse3{nullptr};
std::atomic<SpFftLargeDriver> spFftFwdLargeRoutine_Ssse3{nullptr};
std::atomic<SpFftLargeDriver> spFftFwdLargeRoutine_Sse41{nullptr};
std::atomic<SpFftLargeDriver> spFftInvLargeRoutine_Sse3{nullptr};
std::atomic<SpFftLargeDriver> spFftInvLargeRoutine_Ssse3{nullptr};
std::atomic<SpFftLargeDriver> spFftInvLargeRoutine_Sse41{nullptr};

uint32_t spCopyCoreCount(uint32_t maxLeaf, uint32_t leaf4Eax) {
    if (maxLeaf < 4) return 1;
    return (leaf4Eax >> 26) + 1;
}

uint64_t spCopyCacheShare(bool perCore) {
    // spCacheProbe yields nothing for another vendor, AL != 1 or no known
    // descriptor, before the core count matters.
    const uint64_t size = spCacheProbe();
    if (size == 0 || !perCore) return size;
    const SpCpuidRecord leaf0 = sp::cpu::query(0);
    const uint32_t leaf4Eax = leaf0.eax >= 4 ? sp::cpu::query(4, 0).eax : 0;
    return size / spCopyCoreCount(leaf0.eax, leaf4Eax);
}

bool spCopyRunsForward(uintptr_t src, uintptr_t dst) {
    const int d = static_cast<int>(src & 4095) - static_cast<int>(dst & 4095);
    return (d > 0 && d <= 160) || d < -3936;
}

bool spCopyRealigns(uintptr_t src) { return (src & 15) != 0 && (src & 3) == 0; }
