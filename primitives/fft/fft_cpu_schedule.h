// Pass plans of the CPU builds' complex FFTs, shared by the table builders
// (fft_cpu_tables.h) and the radix-4/8 kernels (fft_simd/radix4_engine.h),
// so a table is laid out for exactly the passes that read it. Compiled in
// each build's namespace after sp_build.h.
//
// radix(m, t, first): the radix (4 or 8) of the next pass of a 2^m-point
// transform with t index bits still to cover; first is the pass after the
// first 4-point pass. kDirectLimit is the largest m the kernels take whole,
// kTiledFrom the first m whose record holds the tiled bit-reverse table.
#pragma once

#ifndef SP_BUILD
#error "include sp_build.h before fft_cpu_schedule.h"
#endif

namespace sp {
namespace SP_NS {

// Build 1: radix 8 first when t = 3 or L is 7, 10, 11, 13 or 14, radix 8
// later when t = 3 or t > 4; t is the count of index bits still to cover.
struct FftScheduleB1 {
    static constexpr int kDirectLimit = 16;
    static constexpr int kTiledFrom = 20;
    static constexpr bool kDirect16 = true;  // 16 points without index list or work area
    static int radix(int L, int t, bool first) {
        if (t == 3) return 8;
        if (first) return (L == 7 || L == 10 || L == 11 || L == 13 || L == 14) ? 8 : 4;
        return t > 4 ? 8 : 4;
    }
};

// Builds 2 and 3: radix 4 while t is not a multiple of 3, so every radix-4
// pass comes before the radix-8 passes.
struct FftScheduleB2 {
    static constexpr int kDirectLimit = 17;
    static constexpr int kTiledFrom = 19;
    static constexpr bool kDirect16 = false;
    static int radix(int /*L*/, int t, bool /*first*/) { return t % 3 != 0 ? 4 : 8; }
};

#if SP_BUILD == 1
using FftSchedule = FftScheduleB1;
#else
using FftSchedule = FftScheduleB2;
#endif

}  // namespace SP_NS
}  // namespace sp
