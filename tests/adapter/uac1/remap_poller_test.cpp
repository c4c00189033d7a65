// The remapped model's jack poller on virtual time: scripted jack reports
// (one per 50 ms poll) drive the states of the jack-state node and the OR
// bit of feature unit 11's mute; a failing report, a thread that cannot be
// created and a poller without its request memory each end cleanly, and
// Stop still returns. Also built on its own for the ThreadSanitizer run.
#include <gtest/gtest.h>

#include "sim/executor.h"
#include "sim/pool.h"
#include "tests/adapter/uac1/remap_fixture.h"
#include "topology/jack_state_node.h"

namespace uac1test {
namespace {

constexpr USHORT kJackReport = 0x0100;
const Bytes kPlugged = {0x00, 0x00, 0x00};
const Bytes kUnplugged = {0x10, 0x00, 0x00};
constexpr LONGLONG kPoll = 50 * sim::kTicksPerMillisecond;
// The stand-in's pool tags of thread objects and of IRPs.
constexpr ULONG kThreadTag = MakePoolTag("Thre");
constexpr ULONG kIrpTag = MakePoolTag("Irp ");

// n reports of one kind.
std::vector<Bytes> Reports(std::initializer_list<std::pair<int, bool>> runs) {
    std::vector<Bytes> out;
    for (const auto& [count, plugged] : runs)
        for (int i = 0; i < count; ++i) out.push_back(plugged ? kPlugged : kUnplugged);
    return out;
}

class RemapPollerTest : public RemapModelTest {
protected:
    // `rule` (if any) is in place from the poller's first read on.
    void Start(const std::vector<Bytes>& reports, std::initializer_list<std::pair<const char16_t*, ULONG>> stored = {},
               const simusb::ControlRule* rule = nullptr) {
        PlugRemap(0x1E7D, 0x3750, true);
        for (const auto& [name, value] : stored) StoreSwitch(name, value);
        Device().ScriptHidInputReports(kJackReport, reports);
        ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
        Device().ClearRequestLog();
        if (rule != nullptr) Device().AddControlRule(*rule);
        ASSERT_EQ(Remap()->Start(), STATUS_SUCCESS);
        m_Started = sim::Now();
    }
    // Until half a period after the n-th poll, and (in the executor's
    // stress mode, where the clock also runs with wall time and the poller
    // may lag behind its timer) until that poll's report was read and taken
    // in, for at most 100 more periods: a poller that ended reads no more.
    void WaitPolls(int n) {
        const LONGLONG due = m_Started + n * kPoll + kPoll / 2 - sim::Now();
        if (due > 0) sim::Sleep(due);
        for (int i = 0; i < 500 && JackReads() < (size_t)n + 1; ++i) sim::Sleep(kPoll / 5);
        sim::Settle();
    }

    // What the jack-state node leaves of a full-scale stereo PCM block.
    float NodeGain() {
        WAVEFORMATEXTENSIBLE format = {};
        format.Format.wFormatTag = WAVE_FORMAT_PCM;
        format.Format.nChannels = 2;
        float left[4] = {1, 1, 1, 1}, right[4] = {1, 1, 1, 1};
        float* channels[2] = {left, right};
        Remap()->JackStateNode()->Process(&format, channels, 4);
        EXPECT_EQ(left[3], right[0]);
        return left[0];
    }

    LONGLONG m_Started = 0;
};

struct PollCase {
    const char* name;
    std::vector<Bytes> reports;  // the first is read at Start
    int polls;
    float gain;
    std::vector<int> unit11;
};

std::ostream& operator<<(std::ostream& out, const PollCase& c) { return out << c.name; }

class RemapPollTable : public RemapPollerTest, public ::testing::WithParamInterface<PollCase> {};

TEST_P(RemapPollTable, StatesAndDeviceMute) {
    const PollCase& c = GetParam();
    Start(c.reports);
    WaitPolls(c.polls);
    EXPECT_FLOAT_EQ(NodeGain(), c.gain);
    EXPECT_EQ(Unit11Mutes(), c.unit11);
    EXPECT_EQ(Remap()->Stop(), STATUS_SUCCESS);
    EXPECT_FALSE(Remap()->JackPollRunning());
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, RemapPollTable,
    ::testing::Values(
        // Plugged for 30 samples: attenuated at once, muted at the 30th.
        PollCase{"ThirtyPluggedMute", Reports({{30, true}}), 29, 0.0f, {1, 0, 0}},
        PollCase{"TwentyNinePluggedAttenuate", Reports({{29, true}, {1, false}}), 28, 0.25f, {1, 0}},
        PollCase{"OneUnpluggedAfterMuteChangesNothing", Reports({{30, true}, {1, false}}), 30, 0.0f, {1, 0, 0}},
        PollCase{"ThirtyUnpluggedReturnToPass", Reports({{30, true}, {30, false}}), 59, 1.0f, {1, 0, 0, 1}},
        PollCase{"FromPassOnePluggedAttenuates", Reports({{1, false}, {1, true}, {1, false}}), 1, 0.25f, {1, 0}},
        // A steady unplugged jack stays in state 0: no toggling every poll.
        PollCase{"SteadyUnpluggedStays", Reports({{45, false}}), 44, 1.0f, {1}}),
    [](const ::testing::TestParamInfo<PollCase>& info) { return std::string(info.param.name); });

TEST_F(RemapPollerTest, FailingReportEndsThePoller) {
    simusb::ControlRule rule;
    rule.bRequest = 0x01;
    rule.bmRequestType = 0xA1;
    rule.skip = 3;
    Start(Reports({{40, true}}), {}, &rule);
    WaitPolls(10);
    const size_t reads = JackReads();
    EXPECT_EQ(reads, 4u);  // Start's read, two polls, the failing third
    WaitPolls(20);
    EXPECT_EQ(JackReads(), reads);
    EXPECT_FLOAT_EQ(NodeGain(), 0.25f);
    EXPECT_EQ(Remap()->Stop(), STATUS_SUCCESS);
}

TEST_F(RemapPollerTest, FailingFirstReportEndsAtOnce) {
    PlugRemap(0x1E7D, 0x3750, true);
    ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);  // no report set: GET_REPORT stalls
    Device().ClearRequestLog();
    ASSERT_EQ(Remap()->Start(), STATUS_SUCCESS);
    sim::Sleep(10 * kPoll);
    EXPECT_EQ(JackReads(), 1u);
    EXPECT_TRUE(Unit11Mutes().empty());
    EXPECT_EQ(Remap()->Stop(), STATUS_SUCCESS);
}

// No thread object: Start reports it, nothing runs, Stop has nothing to
// wait for, and the next Start polls.
TEST_F(RemapPollerTest, ThreadCreationFailureIsReportedAndTheNextStartPolls) {
    PlugRemap(0x1E7D, 0x3750, true);
    Device().ScriptHidInputReports(kJackReport, Reports({{40, true}}));
    ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
    Device().ClearRequestLog();
    sim::PoolFailTag(kThreadTag);
    EXPECT_EQ(Remap()->Start(), STATUS_INSUFFICIENT_RESOURCES);
    sim::PoolClearFailures();
    EXPECT_FALSE(Remap()->JackPollRunning());
    const LONGLONG before = sim::Now();
    EXPECT_EQ(Remap()->Stop(), STATUS_SUCCESS);
    EXPECT_LT(sim::Now() - before, kPoll) << "Stop waited for a thread that never ran";
    sim::Sleep(3 * kPoll);
    EXPECT_EQ(JackReads(), 0u);

    ASSERT_EQ(Remap()->Start(), STATUS_SUCCESS);
    m_Started = sim::Now();
    WaitPolls(2);
    EXPECT_GE(JackReads(), 3u);
    EXPECT_FLOAT_EQ(NodeGain(), 0.25f);
    EXPECT_EQ(Remap()->Stop(), STATUS_SUCCESS);
}

// The poller's request block cannot be allocated: the thread ends at once
// without a read, and Stop returns.
TEST_F(RemapPollerTest, PollerWithoutItsRequestEndsAtOnce) {
    PlugRemap(0x1E7D, 0x3750, true);
    Device().ScriptHidInputReports(kJackReport, Reports({{40, true}}));
    ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
    Device().ClearRequestLog();
    sim::PoolFailTag(REMAP_MODEL_TAG);
    EXPECT_EQ(Remap()->Start(), STATUS_SUCCESS);
    sim::Settle();
    sim::PoolClearFailures();
    sim::Sleep(5 * kPoll);
    EXPECT_EQ(JackReads(), 0u);
    EXPECT_FLOAT_EQ(NodeGain(), 1.0f);
    EXPECT_TRUE(Unit11Mutes().empty());
    EXPECT_EQ(Remap()->Stop(), STATUS_SUCCESS);
    EXPECT_FALSE(Remap()->JackPollRunning());
}

// A poll whose request cannot be sent (no IRP) ends the poller like a
// failed report: the state stays, no further read, Stop returns.
TEST_F(RemapPollerTest, RequestThatCannotBeSentEndsThePoller) {
    Start(Reports({{40, true}}));
    WaitPolls(2);
    sim::PoolResetCounters();
    sim::PoolFailTag(kIrpTag);
    // Until the next poll has tried and failed to make its request.
    for (int i = 0; i < 100 && sim::PoolFailedAllocations() == 0; ++i) sim::Sleep(kPoll / 5);
    sim::PoolClearFailures();
    ASSERT_GT(sim::PoolFailedAllocations(), 0u);
    const size_t reads = JackReads();
    EXPECT_GE(reads, 3u);  // Start's read and at least two polls; the failed one never went out
    WaitPolls(10);
    EXPECT_EQ(JackReads(), reads);
    EXPECT_FLOAT_EQ(NodeGain(), 0.25f);
    EXPECT_EQ(Remap()->Stop(), STATUS_SUCCESS);
    EXPECT_FALSE(Remap()->JackPollRunning());
}

TEST_F(RemapPollerTest, WithoutUnitElevenOnlyTheStreamFollows) {
    Start(Reports({{30, true}}), {{u"DisableLineInAAUnit", 1}});
    WaitPolls(29);
    EXPECT_FLOAT_EQ(NodeGain(), 0.0f);
    EXPECT_TRUE(Unit11Mutes().empty());
}

TEST_F(RemapPollerTest, ReleasedWhilePollingEndsThePoller) {
    Start(Reports({{5, true}}));
    WaitPolls(2);
    // The model goes with the adapter without a Stop before: its
    // destructor ends the poller (the scope's end finds every thread gone
    // and nothing of the model left; ASan would see a poll on freed memory).
    m_Adapter->Release();
    m_Adapter = nullptr;
    m_AdapterHal = nullptr;
    sim::Sleep(5 * kPoll);
}

}  // namespace
}  // namespace uac1test
