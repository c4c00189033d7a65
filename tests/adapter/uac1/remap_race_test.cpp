// The remapped model's threads against each other: register writers on
// one register, the jack poller started and stopped while registers are
// written, and the poller's OR bit of feature unit 11 racing the host's
// mute of the same unit. Also built on its own for the ThreadSanitizer run
// in the executor's stress mode.
#include <gtest/gtest.h>

#include "sim/executor.h"
#include "tests/adapter/uac1/remap_fixture.h"
#include "topology/interface_ref.h"
#include "topology/switch_nodes.h"
#include "topology/uac_controls.h"
#include "topology/uac_entity.h"

namespace uac1test {
namespace {

constexpr USHORT kJackReport = 0x0100;
const Bytes kPlugged = {0x00, 0x00, 0x00};
const Bytes kUnplugged = {0x10, 0x00, 0x00};
constexpr LONGLONG kPoll = 50 * sim::kTicksPerMillisecond;
constexpr UCHAR kLineThroughUnit = 11;
constexpr USHORT kPollingVendor = 0x1E7D, kPollingProduct = 0x3750;

// `cycles` times: `plugged` plugged reports, then as many unplugged.
std::vector<Bytes> AlternatingJack(int cycles, int run) {
    std::vector<Bytes> out;
    for (int c = 0; c < cycles; ++c) {
        out.insert(out.end(), run, kPlugged);
        out.insert(out.end(), run, kUnplugged);
    }
    return out;
}

class RemapRaceTest : public RemapModelTest {
protected:
    void Plug(bool polling, const std::vector<Bytes>& jack = {}) {
        if (polling) {
            PlugRemap(kPollingVendor, kPollingProduct, true);
        } else {
            PlugRemap();
        }
        if (!jack.empty()) Device().ScriptHidInputReports(kJackReport, jack);
        ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
        ClearRegisterWrites();
    }

    // Writes alternate values of one field of register 0, `rounds` times.
    void WriteField(int rounds, USHORT mask, USHORT a, USHORT b) {
        for (int i = 0; i < rounds; ++i) Remap()->WriteChipRegister(0, (i % 2) ? a : b, mask);
    }
};

// Two writers on disjoint fields of register 0: each field ends as its
// writer left it, in the shadow and on the device.
TEST_F(RemapRaceTest, ConcurrentWritersOfOneRegisterLoseNoBits) {
    Plug(false);
    constexpr int kRounds = 200;
    sim::TestThread rate("rate", [&] { WriteField(kRounds, 0x7000, 0x6000, 0x2000); });
    sim::TestThread audio("nonaudio", [&] { WriteField(kRounds, 0x0002, 0x0000, 0x0002); });
    rate.Join();
    audio.Join();
    const USHORT expected = (0x2004 & ~0x7002) | 0x6000 | 0x0000;
    EXPECT_EQ(Remap()->ChipRegister(0).Value, expected);
    const auto writes = RegisterWrites();
    ASSERT_FALSE(writes.empty());
    EXPECT_EQ(writes.back(), (RegisterWrite{0, expected}));
}

// The poller started and stopped over and over while another thread
// writes register 0: every Stop returns with the thread gone (the scope's
// end finds no thread or pool block left) and no register bit is lost.
TEST_F(RemapRaceTest, PollerStartsAndStopsWhileRegistersAreWritten) {
    Plug(true, AlternatingJack(4, 7));
    sim::TestThread writer("registers", [&] { WriteField(300, 0x7000, 0x6000, 0x2000); });
    for (int cycle = 0; cycle < 12; ++cycle) {
        ASSERT_EQ(Remap()->Start(), STATUS_SUCCESS);
        EXPECT_TRUE(Remap()->JackPollRunning());
        sim::Sleep((cycle % 4) * kPoll + kPoll / 2);
        ASSERT_EQ(Remap()->Stop(), STATUS_SUCCESS);
        EXPECT_FALSE(Remap()->JackPollRunning());
    }
    writer.Join();
    EXPECT_EQ(Remap()->ChipRegister(0).Value & 0x7000, 0x6000);
    EXPECT_EQ(RegisterWrites().back(), (RegisterWrite{0, Remap()->ChipRegister(0).Value}));
}

// The host mutes and unmutes unit 11 while the poller moves between its
// states (each sets the unit's OR bit): the host's unmute, sent once the
// poller settled in state 0, still carries state 0's OR bit.
TEST_F(RemapRaceTest, HostMuteAndJackStatesAgreeOnUnitEleven) {
    // Three plugged-unplugged cycles end in state 0 (OR bit 1).
    Plug(true, AlternatingJack(3, 30));
    CUacEntity* entity = nullptr;
    ASSERT_EQ(Remap()->FindEntityById(kLineThroughUnit, &entity), STATUS_SUCCESS);
    InterfaceRef<IBoolControl> mute(static_cast<IUacUnit*>(entity), IID_IBoolControl);
    ASSERT_NE(mute.get(), nullptr);
    ASSERT_EQ(Remap()->Start(), STATUS_SUCCESS);
    sim::TestThread host("host", [&] {
        // 9 s: the script's 180 reports.
        for (int i = 0; i < 225; ++i) {
            mute->SetBool(UAC_CS_MUTE, 0, (UCHAR)(i % 2));
            sim::Sleep(40 * sim::kTicksPerMillisecond);
        }
    });
    host.Join();
    // The poller may lag its timer in the executor's stress mode.
    for (int i = 0; i < 100 && JackReads() <= 180; ++i) sim::Sleep(kPoll);
    sim::Settle();
    ASSERT_EQ(mute->SetBool(UAC_CS_MUTE, 0, 0), STATUS_SUCCESS);
    ASSERT_EQ(Remap()->Stop(), STATUS_SUCCESS);
    const std::vector<int> sent = Unit11Mutes();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(sent.back(), 1);
}

}  // namespace
}  // namespace uac1test
