// The harness itself: ulp measures, canaries, guard pages, MXCSR scopes and
// the build walkers must catch what they exist to catch.
#include <gtest/gtest.h>

#include <csetjmp>
#include <csignal>
#include <cmath>
#include <vector>

#include "primitives/convert/entry_table_a.h"
#include "tests/primitives/support/dispatch.h"
#include "tests/primitives/support/mxcsr.h"
#include "tests/primitives/support/sp_buffer.h"
#include "tests/primitives/support/ulp.h"

namespace sptest {
namespace {

TEST(Ulp, DistanceOnTheOrderedLineAndErrorAgainstADouble) {
    EXPECT_EQ(ulpDistance(1.0f, 1.0f), 0);
    EXPECT_EQ(ulpDistance(0.0f, -0.0f), 1);
    EXPECT_EQ(ulpDistance(bitsFloat(1), bitsFloat(0x80000001u)), 3);
    EXPECT_EQ(ulpDistance(1.0f, std::nextafter(1.0f, 2.0f)), 1);
    EXPECT_EQ(ulpDistance(NAN, NAN), 0);
    EXPECT_GT(ulpDistance(NAN, 1.0f), 1000000);
    EXPECT_DOUBLE_EQ(ulpError(1.0f, 1.0 + std::ldexp(1.0, -24)), 0.5);
    EXPECT_DOUBLE_EQ(ulpError(0.0f, std::ldexp(1.0, -150)), 0.5);  // floor at 2^-149
    EXPECT_EQ(ulpError(INFINITY, INFINITY), 0.0);
    EXPECT_TRUE(std::isinf(ulpError(1.0f, NAN)));
}

TEST(Buffers, CanariesSeeOneByteOfOverrunOnEitherSide) {
    SpBuffer<float> b(5, 3);
    EXPECT_TRUE(b.checkCanaries());
    b.bytes()[20] = 0;
    EXPECT_FALSE(b.checkCanaries());
    SpBuffer<float> c(5, 3);
    c.bytes()[-1] = 0;
    EXPECT_FALSE(c.checkCanaries());
}

sigjmp_buf faultJump;
void onFault(int) { siglongjmp(faultJump, 1); }

// True when reading *p faults.
bool readFaults(const volatile uint8_t* p) {
    struct sigaction action = {}, old;
    action.sa_handler = onFault;
    sigaction(SIGSEGV, &action, &old);
    if (sigsetjmp(faultJump, 1) != 0) {
        sigaction(SIGSEGV, &old, nullptr);
        return true;
    }
    (void)*p;
    sigaction(SIGSEGV, &old, nullptr);
    return false;
}

TEST(Buffers, GuardPageFaultsOnTheFirstByteBeyond) {
    SpGuardedBuffer<uint8_t> after(10, GuardedRegion::kGuardAfter), before(10, GuardedRegion::kGuardBefore);
    EXPECT_FALSE(readFaults(after.data() + 9));
    EXPECT_TRUE(readFaults(after.data() + 10));
    EXPECT_FALSE(readFaults(before.data()));
    EXPECT_TRUE(readFaults(before.data() - 1));
}

TEST(Mxcsr, ScopeSetsAndRestores) {
    uint32_t before = readMxcsr();
    {
        MxcsrScope scope(kMxcsrDataPath);
        EXPECT_EQ(readMxcsr() & kMxcsrControlMask, kMxcsrDataPath & kMxcsrControlMask);
    }
    EXPECT_EQ(readMxcsr(), before);
}

TEST(Builds, ForEachBuildRunsRunnableCellsUnderTheirIndex) {
    std::vector<int> seen, runnable;
    for (int b = 0; b < SP_BUILD_COUNT; ++b)
        if (cpuHasBuild(b)) runnable.push_back(b);
    forEachBuild(spEntryTableA.spZeroF32, [&](int build) {
        seen.push_back(build);
        EXPECT_EQ(spDispatchIndex.load(), build);
    });
    EXPECT_EQ(seen, runnable);
    EXPECT_EQ(spDispatchIndex.load(), SP_BUILD_GEN);
}

TEST(Builds, CompareWithGenericOnASharedCell) {
    std::vector<uint8_t> image(8 * 4 + 8 * 4);
    for (size_t i = 0; i < 32; ++i) image[i] = (uint8_t)(i * 13);
    compareWithGeneric(SP_BUILD_SSE3, image, [](std::vector<uint8_t>& img) {
        return spI32ToF32Scaled(reinterpret_cast<int32_t*>(img.data()), reinterpret_cast<float*>(img.data() + 32), 8,
                                31);
    });
}

}  // namespace
}  // namespace sptest
