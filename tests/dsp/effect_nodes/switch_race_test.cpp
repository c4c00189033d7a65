// A switch change racing the render path: the control path sets an effect
// switch on one thread while the data path runs Process at DISPATCH_LEVEL
// on another, as a client's property request meets a running stream. Run
// under ThreadSanitizer (label tsan).
#include <atomic>
#include <cmath>

#include "sim/executor.h"
#include "tests/dsp/effect_nodes/effect_node_fixture.h"

namespace effecttest {
namespace {

struct RaceCase {
    const char* name;
    bool surround;
};

void PrintTo(const RaceCase& c, std::ostream* os) { *os << c.name; }

class SwitchRaceTest : public EffectNodeTest, public ::testing::WithParamInterface<RaceCase> {};

// Every block the render thread sees latches 0 or 1 and comes out finite;
// once both threads are done, the next block latches the last value set
// and lowers both flags.
TEST_P(SwitchRaceTest, SetValueAgainstProcessAtDispatch) {
    CVendorSwitchNode* node;
    if (GetParam().surround) {
        node = Made<SurroundProbe>(UAC_CS_VENDOR_SWITCH_B);
    } else {
        node = Made<HeadphoneProbe>(UAC_CS_VENDOR_SWITCH_C);
    }
    const WAVEFORMATEXTENSIBLE format = Pcm(8, 48000);
    ASSERT_EQ(node->SetFormat(&format), STATUS_SUCCESS);
    auto latch = [&]() -> ULONG {
        return GetParam().surround ? static_cast<SurroundProbe*>(node)->Latch()
                                   : static_cast<HeadphoneProbe*>(node)->Latch();
    };

    std::atomic<bool> stop{false};
    std::atomic<int> blocks{0};
    sim::TestThread render("render", [&] {
        ULONG offset = 0;
        while (!stop || blocks < 50) {
            Block block = Tones(96, offset);
            offset += 96;
            ASSERT_EQ(ProcessAtDispatch(node, format, block.Channels(), 96), STATUS_SUCCESS);
            const ULONG latched = latch();
            ASSERT_TRUE(latched == 0 || latched == 1) << latched;
            for (ULONG c = 0; c < 8; ++c)
                for (ULONG i = 0; i < 96; ++i) ASSERT_TRUE(std::isfinite(block.data[c][i]));
            ++blocks;
        }
    });
    IEffectUnit* unit = static_cast<IEffectUnit*>(node);
    for (int i = 0; i < 300; ++i) ASSERT_EQ(unit->SetValue((ULONG)(i % 3 == 2)), STATUS_SUCCESS);
    stop = true;
    render.Join();

    Block block = Tones(96, 0);
    ASSERT_EQ(ProcessAtDispatch(node, format, block.Channels(), 96), STATUS_SUCCESS);
    EXPECT_EQ(latch(), 1u);  // i = 299 set 1
    const LONG changed = GetParam().surround ? static_cast<SurroundProbe*>(node)->Changed()
                                             : static_cast<HeadphoneProbe*>(node)->Changed();
    const LONG pending = GetParam().surround ? static_cast<SurroundProbe*>(node)->Pending()
                                             : static_cast<HeadphoneProbe*>(node)->Pending();
    EXPECT_EQ(changed, 0);
    EXPECT_EQ(pending, 0);
}

INSTANTIATE_TEST_SUITE_P(Nodes, SwitchRaceTest,
                         ::testing::Values(RaceCase{"Surround", true}, RaceCase{"Headphone", false}),
                         [](const ::testing::TestParamInfo<RaceCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace effecttest
