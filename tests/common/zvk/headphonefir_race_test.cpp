// Room and angle changes from another thread while blocks run (also run
// under ThreadSanitizer, label tsan).
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/common/zvk/fir_rig.h"

namespace zvktest {
namespace {

class HeadphoneFirRaceTest : public ZvkTest {};

// A thread changes room and angle while blocks run: no data race, and
// every block is the reference of one setting or the crossfade between two.
// Settings come from {MEDIUM, SMALL} x {24, 29}, so even a block that loads
// the room of one call with the code of the next loads one of them; the
// tail stays on (SetRoomAndAngle turns it on).
TEST_F(HeadphoneFirRaceTest, ConcurrentRoomChangesDuringBlocks) {
    FirRig rig(71);
    const int rooms[2] = {1, 2}, codes[2] = {24, 29};
    rig.Select(1, 24);
    std::atomic<bool> stop{false};
    std::thread changer([&] {
        int i = 0;
        while (!stop.load()) {
            rig.fir->SetRoomAndAngle(rooms[i % 2], codes[(i / 2) % 2]);
            ++i;
            std::this_thread::yield();
        }
    });
    const int blocks = 12;
    auto in = Noise(2, blocks * N, 73);
    auto out = rig.Run(in, 2);
    stop = true;
    changer.join();

    std::vector<std::vector<std::vector<double>>> refs;
    double scale = 0;
    for (int room : {ROOMSIZE_MEDIUM, ROOMSIZE_SMALL}) {
        for (int code : codes) {
            refs.push_back(ReferenceBinaural(rig.tables, room, code, true, in, 2));
            scale = std::max(scale, OutputScale(rig.tables, room, code, 1.0));
        }
    }
    // The stage's output before the crosstalk bypass delay.
    auto stage = [&](int e, int n) { return static_cast<double>(out[size_t(e)][size_t(n + kCtcDelay)]); };
    for (int b = 0; b < blocks; ++b) {
        const int frames = b == blocks - 1 ? N - kCtcDelay : N;
        bool matched = false;
        for (size_t x = 0; x < refs.size() && !matched; ++x) {
            for (size_t y = 0; y < refs.size() && !matched; ++y) {
                double worst = 0;
                for (int e = 0; e < 2; ++e) {
                    for (int i = 0; i < frames; ++i) {
                        const size_t n = size_t(b * N + i);
                        float a = static_cast<float>(N - i) / N, w = static_cast<float>(i) / N;
                        double want = x == y ? refs[x][size_t(e)][n] : a * refs[x][size_t(e)][n] + w * refs[y][size_t(e)][n];
                        worst = std::max(worst, std::fabs(stage(e, int(n)) - want));
                    }
                }
                matched = worst < 2e-6 * scale;
            }
        }
        EXPECT_TRUE(matched) << "block " << b << " is neither a reference nor a crossfade";
    }
}

}  // namespace
}  // namespace zvktest
