// Room and angle changes from another thread while blocks run (also run
// under ThreadSanitizer, label tsan).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/common/zvk/fir_rig.h"

namespace zvktest {
namespace {

class HeadphoneFirRaceTest : public ZvkTest {};

// A thread changes room and angle while blocks run: no data race, and the
// output stays finite and bounded.
TEST_F(HeadphoneFirRaceTest, ConcurrentRoomChangesDuringBlocks) {
    FirRig rig(71);
    std::atomic<bool> stop{false};
    std::thread changer([&] {
        int i = 0;
        while (!stop.load()) {
            rig.fir->SetRoomAndAngle(i % 3, kHrtfVariantCodes[i % 2][i % 4]);
            rig.fir->SetTailEnable(i & 1);
            ++i;
            std::this_thread::yield();
        }
    });
    auto in = Noise(2, 40 * N, 73);
    auto out = rig.Run(in, 2);
    stop = true;
    changer.join();
    double bound = 0;
    for (int room : {ROOMSIZE_SMALL, ROOMSIZE_MEDIUM, ROOMSIZE_LARGE})
        for (int code : {24, 29, 34, 39, 25, 30, 35, 40})
            bound = std::max(bound, OutputScale(rig.tables, room, code, 1.0));
    for (const auto& ch : out)
        for (float v : ch) ASSERT_TRUE(std::isfinite(v) && std::fabs(v) <= bound);
}

}  // namespace
}  // namespace zvktest
