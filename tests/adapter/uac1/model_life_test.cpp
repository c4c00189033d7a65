// The model's life after its Init: which Audio Control pipe starts a status
// thread, power changes, the re-registration of wave subdevices after an
// output-type change, and the cost of a start in control requests.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "adapter/usb/usb_audio_device.h"
#include "sim/pool.h"
#include "tests/adapter/uac1/model_fixture.h"
#include "topology/terminal_units.h"
#include "topology/uac_entity.h"

namespace uac1test {
namespace {

using uac1fakes::StreamLog;
using uac1fakes::Streams;
using Log = std::vector<std::string>;

// ---- the status pipe --------------------------------------------------------------

struct PipeCase {
    const char* name;
    std::vector<std::array<int, 3>> endpoints;  // address, attributes, packet size
    UCHAR pipe;                                   // the status pipe, or 0xFF
};

std::ostream& operator<<(std::ostream& out, const PipeCase& c) { return out << c.name; }

class StatusPipeTest : public ModelTest, public ::testing::WithParamInterface<PipeCase> {};

TEST_P(StatusPipeTest, ThreadOnlyForAnInterruptInPipeOfTwoBytes) {
    const PipeCase& k = GetParam();
    ConfigBuilder c;
    AudioControl(c, {1}).Uac1InputTerminal(1, 0x0101, 2, 0x0003).Uac1FeatureUnit(2, 1, 1, {0x01, 0, 0});
    c.Uac1OutputTerminal(3, 0x0301, 2);
    for (const auto& e : k.endpoints) c.AudioEndpoint((UCHAR)e[0], (UCHAR)e[1], (USHORT)e[2], 32);
    Streaming(c, 1, 1, false);
    Plug(MakeSet(c.Build()));
    ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
    ASSERT_EQ(Adapter()->Start(), STATUS_SUCCESS);
    EXPECT_EQ(Model()->GetStatusPipeIndex(), k.pipe);
    EXPECT_TRUE(Bus().WaitUntil([&] {
        size_t now = 0;
        for (const auto& e : k.endpoints) now += Bus().PendingTransfers((UCHAR)e[0]);
        return now == (k.pipe == UAC_NO_STATUS_PIPE ? 0u : 1u);
    }));
    const LONGLONG before = sim::Now();
    EXPECT_EQ(Adapter()->Stop(), STATUS_SUCCESS);
    if (k.pipe == UAC_NO_STATUS_PIPE) {
        EXPECT_EQ(sim::Now(), before);  // nothing to wait for
    }
    EXPECT_EQ(Model()->GetStatusPipeIndex(), UAC_NO_STATUS_PIPE);
    for (const auto& e : k.endpoints) EXPECT_EQ(Bus().PendingTransfers((UCHAR)e[0]), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StatusPipeTest,
    ::testing::Values(PipeCase{"NoEndpoint", {}, UAC_NO_STATUS_PIPE},
                      PipeCase{"InterruptInTwoBytes", {{0x87, 0x03, 2}}, 0},
                      PipeCase{"InterruptOut", {{0x07, 0x03, 2}}, UAC_NO_STATUS_PIPE},
                      PipeCase{"PacketSizeEight", {{0x87, 0x03, 8}}, UAC_NO_STATUS_PIPE},
                      PipeCase{"BulkIn", {{0x87, 0x02, 2}}, UAC_NO_STATUS_PIPE},
                      PipeCase{"SecondPipeQualifies", {{0x86, 0x03, 8}, {0x87, 0x03, 2}}, 1}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- power --------------------------------------------------------------------

class PowerTest : public ModelTest {
protected:
    void SetUp() override {
        ModelTest::SetUp();
        Plug(LoadFixture("multichannel"));
        ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
        ASSERT_EQ(Adapter()->Start(), STATUS_SUCCESS);
        ASSERT_TRUE(Bus().WaitUntil([&] { return Bus().PendingTransfers(0x87) == 1; }));
        sim::Settle();  // the start-up refresh is done
    }
    // Any number, as a caller may pass it.
    void Power(ULONG state) {
        POWER_STATE s;
        std::memcpy(&s, &state, sizeof(s));
        Model()->PowerChangeState(s);
    }
    int ClassSets() {
        int sets = 0;
        for (const simusb::ControlLogEntry& e : Device().RequestLog())
            if (e.setup.bmRequestType == 0x21 && e.setup.bRequest == 0x01) ++sets;
        return sets;
    }
};

TEST_F(PowerTest, D3ThenD0ReappliesReinstallsAndRestarts) {
    StreamLog().clear();
    Power(PowerDeviceD3);
    EXPECT_EQ(StreamLog(), (Log{"power:1:D3", "power:2:D3"}));
    EXPECT_EQ(Model()->GetStatusPipeIndex(), UAC_NO_STATUS_PIPE);
    EXPECT_EQ(Bus().PendingTransfers(0x87), 0u);

    StreamLog().clear();
    Device().ClearRequestLog();
    Power(PowerDeviceD0);
    EXPECT_GT(ClassSets(), 0);  // every unit's cached values again
    EXPECT_EQ(StreamLog(), (Log{"power:1:D0", "install:1", "power:2:D0", "install:2"}));
    EXPECT_NE(Model()->GetStatusPipeIndex(), UAC_NO_STATUS_PIPE);
    EXPECT_TRUE(Bus().WaitUntil([&] { return Bus().PendingTransfers(0x87) == 1; }));
    sim::Settle();
}

TEST_F(PowerTest, SameOrUnknownStateDoesNothing) {
    StreamLog().clear();
    Device().ClearRequestLog();
    Power(PowerDeviceD0);
    Power(PowerDeviceUnspecified);
    Power(PowerDeviceMaximum);
    Power(77);
    EXPECT_TRUE(StreamLog().empty());
    EXPECT_EQ(ClassSets(), 0);
    EXPECT_EQ(Model()->GetPowerState(), (ULONG)PowerDeviceD0);
    EXPECT_NE(Model()->GetStatusPipeIndex(), UAC_NO_STATUS_PIPE);
}

TEST_F(PowerTest, FailingEngineEndsTheLoop) {
    Power(PowerDeviceD2);
    sim::Settle();
    StreamLog().clear();
    Streams().power = STATUS_UNSUCCESSFUL;
    Power(PowerDeviceD0);
    EXPECT_EQ(StreamLog(), (Log{"power:1:D0"}));
    EXPECT_EQ(Model()->GetPowerState(), (ULONG)PowerDeviceD0);
}

// ---- output-type changes --------------------------------------------------------

// IT 1 USB streaming -> FU 2 -> OT 3 (the device lists headphones and
// speaker behind it); interface 1 renders.
class OutputTypeTest : public ModelTest {
protected:
    void SetUp() override {
        ModelTest::SetUp();
        ConfigBuilder c;
        AudioControl(c, {1})
            .Uac1InputTerminal(1, 0x0101, 2, 0x0003)
            .Uac1FeatureUnit(2, 1, 1, {0x03, 0x00, 0x00})
            .Uac1OutputTerminal(3, 0x0302, 2);
        Streaming(c, 1, 1, false);
        Plug(MakeSet(c.Build()));
        Device().model().SetTerminalTypes(3, {0x0302, 0x0301});
        ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
        m_Selector = TerminalTypeOf(3);
        ASSERT_NE(m_Selector, nullptr);
        StreamLog().clear();
    }
    ITerminalTypeUnit* m_Selector = nullptr;
};

TEST_F(OutputTypeTest, EngineFollowsTheSelectedType) {
    EXPECT_EQ(Engine(0)->GetEndpointType(), (ULONG)ENDPOINT_HP);
    ASSERT_EQ(m_Selector->SelectType(ENDPOINT_SPK), STATUS_SUCCESS);
    EXPECT_EQ(Engine(0)->GetEndpointType(), (ULONG)ENDPOINT_SPK);
}

TEST_F(OutputTypeTest, NameTakesTheLastNumberOfItsType) {
    Context()->RenderNameCounter[ENDPOINT_SPK] = 3;
    ASSERT_EQ(m_Selector->SelectType(ENDPOINT_SPK), STATUS_SUCCESS);
    EXPECT_EQ(StreamLog(), (Log{"remove:1", "name:1:SPKOut02", "install:1"}));
    EXPECT_EQ(Context()->RenderNameCounter[ENDPOINT_SPK], 3);  // not counted again
}

TEST_F(OutputTypeTest, NothingPendingNothingDone) {
    EXPECT_EQ(Model()->UpdateSubdevices(0), STATUS_SUCCESS);
    EXPECT_TRUE(StreamLog().empty());
}

TEST_F(OutputTypeTest, FailedRemovalEndsTheUpdate) {
    Streams().remove = STATUS_DEVICE_BUSY;
    EXPECT_EQ(m_Selector->SelectType(ENDPOINT_SPK), STATUS_DEVICE_BUSY);
    EXPECT_EQ(StreamLog(), (Log{"remove:1"}));
}

// A type past the name table (a stream that reports nonsense) never
// indexes the names or the counters, and the subdevice stays installed.
TEST_F(OutputTypeTest, TypePastTheNameTableIsRefused) {
    Streams().endpointType = ENDPOINT_TYPE_COUNT;
    EXPECT_EQ(m_Selector->SelectType(ENDPOINT_SPK), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(StreamLog().empty());
}

TEST_F(OutputTypeTest, NameBufferMissingIsUnsuccessful) {
    // The change flag is set by the selection itself, whose update then fails.
    sim::PoolFailTag(HAL_TEMP_TAG);
    EXPECT_EQ(m_Selector->SelectType(ENDPOINT_SPK), STATUS_UNSUCCESSFUL);
    sim::PoolClearFailures();
    EXPECT_TRUE(StreamLog().empty());
}

class NoEngineTest : public ModelTest {};

TEST_F(NoEngineTest, UpdateSubdevicesIsUnsuccessful) {
    ConfigBuilder c;
    AudioControl(c, {}).Uac1InputTerminal(1, 0x0201, 1, 0).Uac1OutputTerminal(2, 0x0101, 1);
    Plug(MakeSet(c.Build()));
    ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
    EXPECT_EQ(Model()->UpdateSubdevices(0), STATUS_UNSUCCESSFUL);
}

// ---- life ----------------------------------------------------------------------------

class LifeTest : public ModelTest {};

TEST_F(LifeTest, ReleaseWhileStartedEndsTheThread) {
    Plug(LoadFixture("multichannel"));
    ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
    ASSERT_EQ(Adapter()->Start(), STATUS_SUCCESS);
    ASSERT_TRUE(Bus().WaitUntil([&] { return Bus().PendingTransfers(0x87) == 1; }));
    // Idle, the thread holds no reference on the adapter: the release here
    // is the last one, and the model's destructor stops the thread.
    sim::Settle();
    m_Adapter->Release();
    m_Adapter = nullptr;
    m_AdapterHal = nullptr;
    EXPECT_EQ(Bus().PendingTransfers(0x87), 0u);
}

TEST_F(LifeTest, StartCostsFewControlRequests) {
    // Start-up cost is counted in requests, not timed: the headset's whole
    // Init (descriptors, configuration, model strings, every entity's
    // controls and the Apply pass) stays within this many.
    Plug(LoadFixture("headset"));
    Device().ClearRequestLog();
    ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
    EXPECT_LE(Device().RequestLog().size(), 40u);  // 30 at the time of writing
}

}  // namespace
}  // namespace uac1test
