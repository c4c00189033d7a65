// The UAC 1.0 status thread on the multichannel fixture (status endpoint
// 0x87): what each injected status transfer causes, the start-up refresh,
// every way the thread ends and Stop returning on each, and the model lock
// between the status thread and an output-type change.
#include <gtest/gtest.h>

#include <mutex>

#include "adapter/usb/usb_audio_device.h"
#include "sim/pool.h"
#include "tests/adapter/uac1/model_fixture.h"
#include "topology/terminal_units.h"
#include "topology/uac_entity.h"

namespace uac1test {
namespace {

using uac1fakes::StreamLog;
using Log = std::vector<std::string>;

constexpr UCHAR kStatusEndpoint = 0x87;
constexpr ULONG kThreadTag = MakePoolTag("Thre");

class StatusThreadTest : public ModelTest {
protected:
    void TearDown() override {
        if (m_Registration != nullptr) ExUnregisterCallback(m_Registration);
        m_Registration = nullptr;
        ModelTest::TearDown();
    }

    // Plugs the device and runs Init; notifications are heard from here on.
    void Prepare(DescriptorSet set) {
        Plug(std::move(set));
        ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
        PVOID object = nullptr;
        ASSERT_EQ(Model()->GetCallbackObject(&object), STATUS_SUCCESS);
        m_Registration = ExRegisterCallback(static_cast<PCALLBACK_OBJECT>(object), Heard, this);
        ASSERT_NE(m_Registration, nullptr);
    }
    void StartAndSettle() {
        ASSERT_EQ(Adapter()->Start(), STATUS_SUCCESS);
        ASSERT_TRUE(Bus().WaitUntil([&] { return Bus().PendingTransfers(kStatusEndpoint) == 1; }));
        sim::Settle();  // the start-up refresh is done
    }
    void Forget() {
        std::lock_guard<std::mutex> hold(m_Lock);
        m_Heard.clear();
        StreamLog().clear();
        Device().ClearRequestLog();
    }
    // Queues a status transfer and waits until the thread has handled it
    // and is waiting on its next transfer.
    void Inject(const Bytes& message) {
        const ULONG transfers = Bus().UrbCount(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
        Device().QueueInMessage(kStatusEndpoint, message);
        ASSERT_TRUE(Bus().WaitUntil([&] {
            return Bus().UrbCount(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) > transfers &&
                   Bus().PendingTransfers(kStatusEndpoint) == 1;
        }));
        sim::Settle();
    }
    std::vector<ULONG> NodesOf(UCHAR entityId) {
        CUacEntity* entity = nullptr;
        std::vector<ULONG> ids;
        ULONG count = 0;
        if (!NT_SUCCESS(Model()->FindEntityById(entityId, &entity))) return ids;
        entity->GetNodeCount(&count);
        for (ULONG i = 0; i < count; ++i) {
            IUacUnit* node = nullptr;
            if (NT_SUCCESS(entity->GetNode(i, &node))) ids.push_back(node->GetId());
        }
        return ids;
    }
    int ClassGetsTo(UCHAR entityId) {
        int gets = 0;
        for (const simusb::ControlLogEntry& e : Device().RequestLog())
            if (e.setup.bmRequestType == 0xA1 && (e.setup.wIndex >> 8) == entityId) ++gets;
        return gets;
    }
    // The device moves a volume control by itself, so that the entity's
    // volume node reads back a change (an unchanged volume reads back as
    // no change and is not notified).
    void TurnVolume(UCHAR entityId) {
        // FU 5: channels 1 and 2; FU 2: the master channel only.
        const std::vector<UCHAR> channels = entityId == 5 ? std::vector<UCHAR>{1, 2} : std::vector<UCHAR>{0};
        for (UCHAR channel : channels)
            ASSERT_TRUE(Device().model().SetValue(entityId, UAC_FU_VOLUME, channel, -5 * 256 - m_Turns));
        ++m_Turns;
    }
    std::vector<ULONG> HeardIds() {
        std::lock_guard<std::mutex> hold(m_Lock);
        return m_Heard;
    }
    IUsbAudioDevice* Usb() {
        IUsbAudioDevice* usb = nullptr;
        if (NT_SUCCESS(m_Adapter->QueryInterface(IID_IUsbAudioDevice, reinterpret_cast<PVOID*>(&usb)))) usb->Release();
        return usb;
    }

    static VOID Heard(PVOID context, PVOID argument1, PVOID argument2) {
        auto* self = static_cast<StatusThreadTest*>(context);
        const auto* n = static_cast<const AUDIOHAL_NOTIFICATION*>(argument1);
        EXPECT_EQ(argument2, nullptr);
        EXPECT_EQ(n->Type, (ULONG)AUDIOHAL_NOTIFY_CONTROL_CHANGE);
        EXPECT_EQ(n->Code, (ULONG)AUDIOHAL_NOTIFY_CODE);
        std::lock_guard<std::mutex> hold(self->m_Lock);
        self->m_Heard.push_back(n->Id);
    }

    PVOID m_Registration = nullptr;
    int m_Turns = 0;
    std::mutex m_Lock;
    std::vector<ULONG> m_Heard;
};

// ---- messages ------------------------------------------------------------------------

struct MessageCase {
    const char* name;
    Bytes message;
    UCHAR rereads;      // feature unit whose nodes are re-read and notified (0: none)
    Log subdevices;     // wave-subdevice calls
    bool quiet;         // no control request at all
};

std::ostream& operator<<(std::ostream& out, const MessageCase& c) { return out << c.name; }

class StatusMessageTest : public StatusThreadTest, public ::testing::WithParamInterface<MessageCase> {};

TEST_P(StatusMessageTest, HandlesOneTransfer) {
    const MessageCase& k = GetParam();
    Prepare(LoadFixture("multichannel"));
    StartAndSettle();
    Forget();
    for (UCHAR unit : {2, 5}) TurnVolume(unit);
    Inject(k.message);
    EXPECT_EQ(HeardIds(), k.rereads != 0 ? NodesOf(k.rereads) : std::vector<ULONG>{});
    if (k.rereads != 0) {
        EXPECT_GT(ClassGetsTo(k.rereads), 0);
    }
    if (k.quiet) {
        EXPECT_TRUE(Device().RequestLog().empty());
    }
    EXPECT_EQ(StreamLog(), k.subdevices);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StatusMessageTest,
    ::testing::Values(MessageCase{"FeatureUnit", {0x00, 5}, 5, {}, false},
                      MessageCase{"MemoryChangedBitIgnored", {0x40, 5}, 5, {}, false},
                      MessageCase{"OtherFeatureUnit", {0x80, 2}, 2, {}, false},
                      MessageCase{"StreamingInterfaceOriginator", {0x01, 5}, 0, {}, true},
                      MessageCase{"EndpointOriginator", {0x02, 5}, 0, {}, true},
                      MessageCase{"OutputTerminal", {0x00, 3}, 0, {"install:1", "install:2"}, false},
                      MessageCase{"InputTerminal", {0x00, 4}, 0, {"install:1", "install:2"}, false},
                      MessageCase{"UnknownEntity", {0x00, 0x63}, 0, {}, true},
                      MessageCase{"OneByte", {0x00}, 0, {}, true},
                      MessageCase{"NoBytes", {}, 0, {}, true},
                      MessageCase{"ExtraBytesCut", {0x00, 5, 9, 9}, 5, {}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(StatusThreadTest, ShortTransferNeverReusesTheLastMessage) {
    Prepare(LoadFixture("multichannel"));
    StartAndSettle();
    TurnVolume(5);
    Inject({0x00, 5});
    Forget();
    TurnVolume(5);
    Inject({0x00});
    EXPECT_TRUE(HeardIds().empty());
    EXPECT_TRUE(Device().RequestLog().empty());
}

TEST_F(StatusThreadTest, StartRefreshesEveryEntity) {
    Prepare(LoadFixture("multichannel"));
    Forget();
    for (UCHAR unit : {2, 5}) TurnVolume(unit);
    StartAndSettle();
    // Entities in list order (6 .. 1): the feature units' nodes are re-read
    // and notified, each of the four terminals re-installs both engines.
    std::vector<ULONG> expected = NodesOf(5);
    const std::vector<ULONG> unit2 = NodesOf(2);
    expected.insert(expected.end(), unit2.begin(), unit2.end());
    EXPECT_EQ(HeardIds(), expected);
    EXPECT_EQ(StreamLog().size(), 8u);
}

// ---- ends ------------------------------------------------------------------------------

TEST_F(StatusThreadTest, StopAbortsThePendingTransfer) {
    Prepare(LoadFixture("multichannel"));
    StartAndSettle();
    const ULONG aborts = Bus().UrbCount(URB_FUNCTION_ABORT_PIPE);
    EXPECT_EQ(Adapter()->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(Bus().UrbCount(URB_FUNCTION_ABORT_PIPE), aborts + 1);
    EXPECT_EQ(Bus().PendingTransfers(kStatusEndpoint), 0u);
    EXPECT_EQ(Model()->GetStatusPipeIndex(), UAC_NO_STATUS_PIPE);
    // Started again, it runs again.
    StartAndSettle();
}

TEST_F(StatusThreadTest, UnplugEndsTheThreadAndStopReturnsAtOnce) {
    Prepare(LoadFixture("multichannel"));
    StartAndSettle();
    Bus().Unplug();
    sim::Settle();
    EXPECT_EQ(Bus().PendingTransfers(kStatusEndpoint), 0u);
    const ULONG aborts = Bus().UrbCount(URB_FUNCTION_ABORT_PIPE);
    const LONGLONG before = sim::Now();
    EXPECT_EQ(Adapter()->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(sim::Now(), before);
    EXPECT_EQ(Bus().UrbCount(URB_FUNCTION_ABORT_PIPE), aborts);
}

TEST_F(StatusThreadTest, AbortThatCannotBeSentCancelsTheTransfer) {
    Prepare(LoadFixture("multichannel"));
    StartAndSettle();
    // The transport refuses every request without sending it (a failed port
    // query marks the device gone while it is still attached).
    Usb()->SetDevicePresent(FALSE);
    const ULONG aborts = Bus().UrbCount(URB_FUNCTION_ABORT_PIPE);
    EXPECT_EQ(Adapter()->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(Bus().UrbCount(URB_FUNCTION_ABORT_PIPE), aborts);
    EXPECT_EQ(Bus().PendingTransfers(kStatusEndpoint), 0u);
}

TEST_F(StatusThreadTest, ThreadCreationFailureLeavesNothingToWaitFor) {
    Prepare(LoadFixture("multichannel"));
    sim::PoolFailTag(kThreadTag);
    EXPECT_EQ(Adapter()->Start(), STATUS_INSUFFICIENT_RESOURCES);
    sim::PoolClearFailures();
    EXPECT_EQ(Model()->GetStatusPipeIndex(), UAC_NO_STATUS_PIPE);
    const LONGLONG before = sim::Now();
    EXPECT_EQ(Adapter()->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(sim::Now(), before);
}

TEST_F(StatusThreadTest, ThreadWithoutItsResourcesEndsAtOnce) {
    Prepare(LoadFixture("multichannel"));
    sim::PoolFailTag(UAC1_MODEL_TAG);
    EXPECT_EQ(Adapter()->Start(), STATUS_SUCCESS);
    sim::Settle();
    sim::PoolClearFailures();
    EXPECT_EQ(Bus().PendingTransfers(kStatusEndpoint), 0u);
    EXPECT_EQ(Adapter()->Stop(), STATUS_SUCCESS);
}

TEST_F(StatusThreadTest, FailedTransferEndsTheThread) {
    Prepare(LoadFixture("multichannel"));
    simusb::BusFaultRule rule;
    rule.endpoint = kStatusEndpoint;
    rule.urbFunction = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    rule.skip = 1;  // the first transfer goes out; the resubmission fails
    Bus().AddFaultRule(rule);
    StartAndSettle();
    Forget();
    TurnVolume(5);
    Device().QueueInMessage(kStatusEndpoint, {0x00, 5});
    ASSERT_TRUE(Bus().WaitUntil([&] { return Bus().PendingTransfers(kStatusEndpoint) == 0; }));
    sim::Settle();
    EXPECT_EQ(HeardIds(), NodesOf(5));  // handled, then the next transfer failed
    const LONGLONG before = sim::Now();
    EXPECT_EQ(Adapter()->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(sim::Now(), before);
}

// The thread ended by itself (a failed transfer) while the model stayed
// started: the next Start follows the status pipe again, and nothing of the
// first thread is left (the scope's end checks the pool and threads).
TEST_F(StatusThreadTest, StartAfterAFailedTransferRunsANewThread) {
    Prepare(LoadFixture("multichannel"));
    simusb::BusFaultRule rule;
    rule.endpoint = kStatusEndpoint;
    rule.urbFunction = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    rule.count = 1;
    Bus().AddFaultRule(rule);
    ASSERT_EQ(Adapter()->Start(), STATUS_SUCCESS);
    sim::Settle();
    ASSERT_EQ(Bus().PendingTransfers(kStatusEndpoint), 0u);
    StartAndSettle();
    Forget();
    TurnVolume(5);
    Inject({0x00, 5});
    EXPECT_EQ(HeardIds(), NodesOf(5));
    EXPECT_EQ(Adapter()->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(Bus().PendingTransfers(kStatusEndpoint), 0u);
}

// ---- the model lock ------------------------------------------------------------------------

// IT 1 USB streaming -> FU 2 -> OT 3 (headphones or speaker); status
// endpoint 0x87. An output-type change (a property thread) and terminal
// messages (the status thread) both remove and install the engine's wave
// subdevice; each install or removal takes a virtual millisecond, so
// without the model lock they would interleave.
TEST_F(StatusThreadTest, OutputTypeChangeAndTerminalMessagesNeverOverlap) {
    ConfigBuilder c;
    AudioControl(c, {1})
        .Uac1InputTerminal(1, 0x0101, 2, 0x0003)
        .Uac1FeatureUnit(2, 1, 1, {0x03, 0x00, 0x00})
        .Uac1OutputTerminal(3, 0x0302, 2)
        .AudioEndpoint(kStatusEndpoint, 0x03, 2, 32);
    Streaming(c, 1, 1, false);
    DescriptorSet set = MakeSet(c.Build());
    Plug(set);
    Device().model().SetTerminalTypes(3, {0x0302, 0x0301});
    ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
    StartAndSettle();
    ITerminalTypeUnit* selector = TerminalTypeOf(3);
    ASSERT_NE(selector, nullptr);

    uac1fakes::Streams().holdMs = 1;
    constexpr int kRounds = 12;
    sim::TestThread property("property", [&] {
        for (int i = 0; i < kRounds; ++i) selector->SelectType(i % 2 == 0 ? ENDPOINT_SPK : ENDPOINT_HP);
    });
    for (int i = 0; i < kRounds; ++i) Device().QueueInMessage(kStatusEndpoint, {0x00, 3});
    property.Join();
    ASSERT_TRUE(Bus().WaitUntil([&] { return Device().PendingInMessages(kStatusEndpoint) == 0; }));
    sim::Settle();
    EXPECT_EQ(uac1fakes::OverlappingSubdeviceCalls(), 0);
    EXPECT_GE(StreamLog().size(), (size_t)kRounds);
}

}  // namespace
}  // namespace uac1test
