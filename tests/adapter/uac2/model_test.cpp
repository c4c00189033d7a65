// The UAC 2.0 model's life on class 2.0 devices: Start with and without
// the interrupt and bulk pipes, what each interrupt message causes, every
// way the interrupt thread ends and Stop returning after each, power
// changes, and the subdevice numbering and delay of an output-type change.
#include <gtest/gtest.h>

#include <mutex>
#include <optional>

#include "adapter/model/uac2_hal.h"
#include "adapter/settings.h"
#include "adapter/usb/usb_audio_device.h"
#include "sim/executor.h"
#include "sim/pool.h"
#include "tests/adapter/uac1/model_fixture.h"
#include "tests/adapter/uac2/uac2_devices.h"
#include "topology/terminal_units.h"
#include "topology/uac_entity.h"

namespace uac2test {
namespace {

using uac1fakes::StreamLog;
using uac1fakes::Streams;
using Log = std::vector<std::string>;

constexpr ULONG kThreadTag = MakePoolTag("Thre");

class Uac2ModelTest : public uac1test::ModelTest {
protected:
    void TearDown() override {
        if (m_Registration != nullptr) ExUnregisterCallback(m_Registration);
        m_Registration = nullptr;
        ModelTest::TearDown();
    }
    void Prepare(const DeviceOptions& options = DeviceOptions()) {
        Plug(Uac2Device(options));
        ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
        ASSERT_NE(Model2(), nullptr);
        PVOID object = nullptr;
        ASSERT_EQ(Model()->GetCallbackObject(&object), STATUS_SUCCESS);
        m_Registration = ExRegisterCallback(static_cast<PCALLBACK_OBJECT>(object), Heard, this);
    }
    CUac2Hal* Model2() { return dynamic_cast<CUac2Hal*>(Model()); }
    void StartAndSettle(bool bulk = false) {
        ASSERT_EQ(Adapter()->Start(), STATUS_SUCCESS);
        ASSERT_TRUE(Bus().WaitUntil([&] {
            return Bus().PendingTransfers(kInterruptEndpoint) == 1 &&
                   (!bulk || Bus().PendingTransfers(kBulkEndpoint) == 1);
        }));
        sim::Settle();
        Forget();
    }
    void Forget() {
        std::lock_guard<std::mutex> hold(m_Lock);
        m_Heard.clear();
        StreamLog().clear();
        Device().ClearRequestLog();
    }
    void Inject(const Bytes& message) {
        const ULONG transfers = Bus().UrbCount(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
        Device().QueueInMessage(kInterruptEndpoint, message);
        ASSERT_TRUE(Bus().WaitUntil([&] {
            return Bus().UrbCount(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) > transfers &&
                   Bus().PendingTransfers(kInterruptEndpoint) == 1;
        }));
        sim::Settle();
    }
    std::vector<ULONG> HeardIds() {
        std::lock_guard<std::mutex> hold(m_Lock);
        return m_Heard;
    }
    ULONG NodeOfKind(UCHAR entityId, ULONG kind) {
        CUacEntity* entity = nullptr;
        ULONG count = 0;
        if (!NT_SUCCESS(Model()->FindEntityById(entityId, &entity))) return ~0u;
        entity->GetNodeCount(&count);
        for (ULONG i = 0; i < count; ++i) {
            IUacUnit* node = nullptr;
            if (NT_SUCCESS(entity->GetNode(i, &node)) && node->GetKind() == kind) return node->GetId();
        }
        return ~0u;
    }
    static VOID Heard(PVOID context, PVOID argument1, PVOID) {
        auto* self = static_cast<Uac2ModelTest*>(context);
        const auto* n = static_cast<const AUDIOHAL_NOTIFICATION*>(argument1);
        std::lock_guard<std::mutex> hold(self->m_Lock);
        self->m_Heard.push_back(n->Id);
    }

    PVOID m_Registration = nullptr;
    std::mutex m_Lock;
    std::vector<ULONG> m_Heard;
};

// ---- start and stop -----------------------------------------------------------------------

TEST_F(Uac2ModelTest, WithoutAnInterruptPipeNoThreadRuns) {
    DeviceOptions o;
    o.interruptPipe = false;
    o.bulkPipe = true;  // a bulk pipe alone is not followed
    Prepare(o);
    EXPECT_EQ(Adapter()->Start(), STATUS_SUCCESS);
    sim::Settle();
    EXPECT_EQ(Model2()->GetStatusPipeIndex(), UAC_NO_STATUS_PIPE);
    EXPECT_EQ(Bus().PendingTransfers(kBulkEndpoint), 0u);
    const LONGLONG before = sim::Now();
    EXPECT_EQ(Adapter()->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(sim::Now(), before);
}

TEST_F(Uac2ModelTest, InterruptPipeAloneIsFollowed) {
    Prepare();
    StartAndSettle();
    EXPECT_EQ(Model2()->GetBulkPipeIndex(), UAC_NO_STATUS_PIPE);
    EXPECT_EQ(Adapter()->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(Bus().PendingTransfers(kInterruptEndpoint), 0u);
    EXPECT_EQ(Model2()->GetStatusPipeIndex(), UAC_NO_STATUS_PIPE);
}

TEST_F(Uac2ModelTest, StopWithBothTransfersPendingCancelsBoth) {
    DeviceOptions o;
    o.bulkPipe = true;
    Prepare(o);
    StartAndSettle(true);
    EXPECT_NE(Model2()->GetBulkPipeIndex(), UAC_NO_STATUS_PIPE);
    EXPECT_EQ(Adapter()->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(Bus().PendingTransfers(kInterruptEndpoint), 0u);
    EXPECT_EQ(Bus().PendingTransfers(kBulkEndpoint), 0u);
    EXPECT_EQ(Model2()->GetBulkPipeIndex(), UAC_NO_STATUS_PIPE);
    // Started again, both are followed again.
    StartAndSettle(true);
}

TEST_F(Uac2ModelTest, BulkDataIsReadAndIgnored) {
    DeviceOptions o;
    o.bulkPipe = true;
    Prepare(o);
    StartAndSettle(true);
    Device().QueueInMessage(kBulkEndpoint, Bytes(100, 0x5A));
    ASSERT_TRUE(Bus().WaitUntil([&] { return Device().PendingInMessages(kBulkEndpoint) == 0; }));
    sim::Settle();
    EXPECT_EQ(Bus().PendingTransfers(kBulkEndpoint), 1u);
    EXPECT_TRUE(HeardIds().empty());
    EXPECT_TRUE(Device().RequestLog().empty());
}

// ---- messages -----------------------------------------------------------------------------

struct MessageCase {
    const char* name;
    Bytes message;
    UCHAR notifiedEntity;  // its node of notifiedKind is heard (0: nothing heard)
    ULONG notifiedKind;
    Log subdevices;
};
void PrintTo(const MessageCase& c, std::ostream* os) { *os << c.name; }

class Uac2MessageTest : public Uac2ModelTest, public ::testing::WithParamInterface<MessageCase> {};

TEST_P(Uac2MessageTest, MessageReachesTheEntityItNames) {
    const MessageCase& c = GetParam();
    Prepare();
    StartAndSettle();
    Inject(c.message);
    if (c.notifiedEntity != 0) {
        EXPECT_EQ(HeardIds(), (std::vector<ULONG>{NodeOfKind(c.notifiedEntity, c.notifiedKind)}));
    } else {
        EXPECT_TRUE(HeardIds().empty());
    }
    EXPECT_EQ(StreamLog(), c.subdevices);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Uac2MessageTest,
    ::testing::Values(
        // {bInfo, bAttribute, wValue (channel, selector), wIndex (interface, entity)}
        MessageCase{"ClockFrequency", {0x00, 0x01, 0x02, 0x01, 0x00, 0x0A}, 10, UNIT_KIND_CLOCK, {}},
        MessageCase{"Range", {0x00, 0x02, 0x02, 0x01, 0x00, 0x0A}, 0, 0, {}},
        MessageCase{"FromAnEndpoint", {0x01, 0x01, 0x02, 0x01, 0x00, 0x0A}, 0, 0, {}},
        MessageCase{"OtherInterface", {0x00, 0x01, 0x02, 0x01, 0x01, 0x0A}, 0, 0, {}},
        MessageCase{"FiveBytes", {0x00, 0x01, 0x02, 0x01, 0x00}, 0, 0, {}},
        MessageCase{"FeatureVolume", {0x00, 0x01, 0x01, 0x02, 0x00, 0x02}, 2, UNIT_KIND_VOLUME, {}},
        // A selector the unit has but no node kind stands for.
        MessageCase{"FeatureWithoutANodeKind", {0x00, 0x01, 0x01, 0x0B, 0x00, 0x02}, 0, 0, {}},
        MessageCase{"NoSuchEntity", {0x00, 0x01, 0x01, 0x02, 0x00, 0x33}, 0, 0, {}},
        MessageCase{"TerminalConnector", {0x00, 0x01, 0x00, 0x02, 0x00, 0x04}, 0, 0, {"install:1", "install:2"}},
        MessageCase{"TerminalOtherSelector", {0x00, 0x01, 0x00, 0x01, 0x00, 0x04}, 0, 0, {}}),
    [](const ::testing::TestParamInfo<MessageCase>& info) { return std::string(info.param.name); });

TEST_F(Uac2ModelTest, ShortTransferNeverReusesTheLastMessage) {
    Prepare();
    StartAndSettle();
    Inject({0x00, 0x01, 0x01, 0x02, 0x00, 0x02});
    ASSERT_EQ(HeardIds().size(), 1u);
    Forget();
    Inject({0x00, 0x01, 0x01});
    EXPECT_TRUE(HeardIds().empty());
}

// ---- how the thread ends ------------------------------------------------------------------

TEST_F(Uac2ModelTest, ThreadCreationFailureLeavesNothingToWaitFor) {
    DeviceOptions o;
    o.bulkPipe = true;
    Prepare(o);
    sim::PoolFailTag(kThreadTag);
    EXPECT_EQ(Adapter()->Start(), STATUS_INSUFFICIENT_RESOURCES);
    sim::PoolClearFailures();
    EXPECT_EQ(Model2()->GetStatusPipeIndex(), UAC_NO_STATUS_PIPE);
    EXPECT_EQ(Model2()->GetBulkPipeIndex(), UAC_NO_STATUS_PIPE);
    const LONGLONG before = sim::Now();
    EXPECT_EQ(Adapter()->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(sim::Now(), before);
}

TEST_F(Uac2ModelTest, ThreadWithoutItsResourcesEndsAndStopReturns) {
    Prepare();
    sim::PoolFailTag(UAC2_MODEL_TAG);
    EXPECT_EQ(Adapter()->Start(), STATUS_SUCCESS);
    sim::Settle();
    sim::PoolClearFailures();
    EXPECT_EQ(Bus().PendingTransfers(kInterruptEndpoint), 0u);
    EXPECT_EQ(Adapter()->Stop(), STATUS_SUCCESS);
}

// The bulk transfer is out when the interrupt transfer fails: it is
// cancelled before the thread ends, and Stop returns at once.
TEST_F(Uac2ModelTest, FailedInterruptTransferCancelsThePendingBulkTransfer) {
    DeviceOptions o;
    o.bulkPipe = true;
    Prepare(o);
    simusb::BusFaultRule rule;
    rule.endpoint = kInterruptEndpoint;
    rule.urbFunction = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    rule.skip = 1;  // the first goes out; the resubmission fails
    Bus().AddFaultRule(rule);
    StartAndSettle(true);
    Device().QueueInMessage(kInterruptEndpoint, {0x00, 0x01, 0x01, 0x02, 0x00, 0x02});
    ASSERT_TRUE(Bus().WaitUntil([&] {
        return Bus().PendingTransfers(kInterruptEndpoint) == 0 && Bus().PendingTransfers(kBulkEndpoint) == 0;
    }));
    sim::Settle();
    const LONGLONG before = sim::Now();
    EXPECT_EQ(Adapter()->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(sim::Now(), before);
}

TEST_F(Uac2ModelTest, FailedFirstInterruptSubmissionCancelsTheBulkTransfer) {
    DeviceOptions o;
    o.bulkPipe = true;
    Prepare(o);
    simusb::BusFaultRule rule;
    rule.endpoint = kInterruptEndpoint;
    rule.urbFunction = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    Bus().AddFaultRule(rule);
    EXPECT_EQ(Adapter()->Start(), STATUS_SUCCESS);
    sim::Settle();
    EXPECT_EQ(Bus().PendingTransfers(kBulkEndpoint), 0u);
    EXPECT_EQ(Adapter()->Stop(), STATUS_SUCCESS);
    // Started again (the pipe works now), the thread follows both pipes.
    Bus().ClearFaultRules();
    StartAndSettle(true);
}

TEST_F(Uac2ModelTest, PowerDownStopsThePipesAndPowerUpFollowsThemAgain) {
    Prepare();
    StartAndSettle();
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    Model()->PowerChangeState(d3);
    EXPECT_EQ(Bus().PendingTransfers(kInterruptEndpoint), 0u);
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    Model()->PowerChangeState(d0);
    ASSERT_TRUE(Bus().WaitUntil([&] { return Bus().PendingTransfers(kInterruptEndpoint) == 1; }));
    sim::Settle();
    Inject({0x00, 0x01, 0x01, 0x02, 0x00, 0x02});
    EXPECT_FALSE(HeardIds().empty());
}

// ---- output-type changes --------------------------------------------------------------------

class Uac2OutputTypeTest : public Uac2ModelTest {
protected:
    void PrepareTyped(UCHAR extraRenderPaths) {
        DeviceOptions o;
        o.typedOutput = true;
        o.extraRenderPaths = extraRenderPaths;
        Plug(Uac2Device(o));
        Device().model().SetTerminalTypes(3, {0x0302, 0x0301});
        Device().model().SetJacksForType(3, 0x0302, {{0x3, 0x00011000}});
        Device().model().SetJacksForType(3, 0x0301, {{0x3, 0x00011000}});
        ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
        m_Selector = TerminalTypeOf(3);
        ASSERT_NE(m_Selector, nullptr);
        StreamLog().clear();
    }
    ITerminalTypeUnit* m_Selector = nullptr;
};

TEST_F(Uac2OutputTypeTest, NumberIsTheSmallestNoOtherEngineOfTheTypeHolds) {
    // Engines: 0 render (interface 1), 1 capture, 2 and 3 render speakers.
    PrepareTyped(2);
    ASSERT_EQ(Engine(2)->SetName(u"SPKOut01"), STATUS_SUCCESS);
    ASSERT_EQ(Engine(3)->SetName(u"SPKOut00"), STATUS_SUCCESS);
    Context()->RenderNameCounter[ENDPOINT_SPK] = 2;
    StreamLog().clear();
    ASSERT_EQ(m_Selector->SelectType(ENDPOINT_SPK), STATUS_SUCCESS);
    EXPECT_EQ(StreamLog(), (Log{"remove:1", "name:1:SPKOut02", "install:1"}));
}

TEST_F(Uac2OutputTypeTest, FreedNumberIsTakenAgain) {
    PrepareTyped(2);
    ASSERT_EQ(Engine(2)->SetName(u"SPKOut02"), STATUS_SUCCESS);
    ASSERT_EQ(Engine(3)->SetName(u"SPKOut00"), STATUS_SUCCESS);
    Context()->RenderNameCounter[ENDPOINT_SPK] = 3;
    StreamLog().clear();
    ASSERT_EQ(m_Selector->SelectType(ENDPOINT_SPK), STATUS_SUCCESS);
    EXPECT_EQ(StreamLog(), (Log{"remove:1", "name:1:SPKOut01", "install:1"}));
}

TEST_F(Uac2OutputTypeTest, OnlyEngineOfItsTypeTakesZero) {
    PrepareTyped(0);
    Context()->RenderNameCounter[ENDPOINT_SPK] = 4;
    ASSERT_EQ(m_Selector->SelectType(ENDPOINT_SPK), STATUS_SUCCESS);
    EXPECT_EQ(StreamLog(), (Log{"remove:1", "name:1:SPKOut00", "install:1"}));
}

TEST_F(Uac2OutputTypeTest, TypePastTheNameTableIsRefusedBeforeRemoval) {
    PrepareTyped(0);
    Streams().endpointType = ENDPOINT_TYPE_COUNT;
    EXPECT_EQ(m_Selector->SelectType(ENDPOINT_SPK), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(StreamLog().empty());
}

struct DelayCase {
    const char* name;
    std::optional<ULONG> delayMs;
    LONGLONG expectedMs;
};
void PrintTo(const DelayCase& c, std::ostream* os) { *os << c.name; }

class Uac2DelayTest : public Uac2OutputTypeTest, public ::testing::WithParamInterface<DelayCase> {};

TEST_P(Uac2DelayTest, SleepsTheStoredDelayAfterEachReregistration) {
    PrepareTyped(0);
    if (GetParam().delayMs) {
        const ULONG value = *GetParam().delayMs;
        ASSERT_EQ(SettingsBinaryValue(Fdo(), SETTINGS_OP_WRITE, const_cast<ULONG*>(&value), sizeof(value),
                                      u"UpdateMiniportDelay"),
                  STATUS_SUCCESS);
    }
    const LONGLONG before = sim::Now();
    ASSERT_EQ(m_Selector->SelectType(ENDPOINT_SPK), STATUS_SUCCESS);
    // sim::Now() counts 100-ns units.
    EXPECT_EQ((sim::Now() - before) / 10000, GetParam().expectedMs);
}

INSTANTIATE_TEST_SUITE_P(Table, Uac2DelayTest,
                         ::testing::Values(DelayCase{"Absent", std::nullopt, 0}, DelayCase{"Fifty", 50u, 50},
                                           // Past 429,496 ms the delay no longer fits 32 bits in 100 ns.
                                           DelayCase{"Huge", 500000u, 500000}),
                         [](const ::testing::TestParamInfo<DelayCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace uac2test
