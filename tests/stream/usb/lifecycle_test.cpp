// USB stream lifecycle: the state x operation table, submissions with
// every context in flight, draining stops, transfer slots, packets per
// frame, failures during Open, recovery of a failed transfer, settings
// without a pipe in the stream's direction, unplugging and destruction.
#include <algorithm>

#include "dsp/limiter.h"
#include "sim/pool.h"
#include "tests/stream/usb/stream_fixture.h"

namespace streamtest {
namespace {

enum class Op { Open, Run, Stop, Close };

struct StateCase {
    const char* name;
    LONG from;
    Op op;
    NTSTATUS expected;
    LONG to;
};

class LifecycleTest : public UsbStreamTest {
protected:
    // Brings a render stream opened for client into state.
    void Reach(CUsbRenderStream* stream, PCYCLIC_CLIENT client, LONG state) {
        ULONG frame = 0;
        if (state >= STREAM_STATE_OPENED) {
            ASSERT_EQ(stream->Open(client, &frame), STATUS_SUCCESS);
        }
        if (state == STREAM_STATE_RUNNING) {
            ASSERT_EQ(stream->Run(frame + 2, TRUE), STATUS_SUCCESS);
        }
    }
    void Leave(CUsbRenderStream* stream) {
        if (stream->StreamState() == STREAM_STATE_RUNNING) stream->Stop();
        if (stream->StreamState() == STREAM_STATE_OPENED) stream->Close();
    }
};

class StateTable : public LifecycleTest, public ::testing::WithParamInterface<StateCase> {};

TEST_P(StateTable, OperationsAreAcceptedOnlyFromTheirStates) {
    const StateCase& c = GetParam();
    CUsbRenderStream* stream = MakeRender();
    RecordingClient client("wave"), other("other");
    ASSERT_EQ(client.Register(stream, CYCLIC_CLIENT_WAVE, PcmFormat(2, 48000, 16), 5, 3), STATUS_SUCCESS);
    ASSERT_EQ(other.Register(stream, CYCLIC_CLIENT_WAVE, PcmFormat(2, 44100, 16), 1, 10), STATUS_SUCCESS);
    Reach(stream, client.Record(), c.from);
    ULONG frame = 0;
    NTSTATUS status = STATUS_SUCCESS;
    switch (c.op) {
    case Op::Open: status = stream->Open(other.Record(), &frame); break;
    case Op::Run: status = stream->Run(frame, TRUE); break;
    case Op::Stop: status = stream->Stop(); break;
    case Op::Close: status = stream->Close(); break;
    }
    EXPECT_EQ(status, c.expected);
    EXPECT_EQ(stream->StreamState(), c.to);
    // A refused Open leaves an open stream's geometry alone.
    if (c.op == Op::Open && c.from != STREAM_STATE_CLOSED) {
        EXPECT_EQ(stream->FramesPerTransfer(), 5u);
        EXPECT_EQ(stream->TransfersInUse(), 3u);
    }
    Leave(stream);
    EXPECT_EQ(stream->UnregisterClient(client.Handle()), STATUS_SUCCESS);
    EXPECT_EQ(stream->UnregisterClient(other.Handle()), STATUS_SUCCESS);
    EXPECT_EQ(model_->BusyCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Lifecycle, StateTable,
    ::testing::Values(
        StateCase{"ClosedOpen", STREAM_STATE_CLOSED, Op::Open, STATUS_SUCCESS, STREAM_STATE_OPENED},
        StateCase{"ClosedRun", STREAM_STATE_CLOSED, Op::Run, STATUS_UNSUCCESSFUL, STREAM_STATE_CLOSED},
        StateCase{"ClosedStop", STREAM_STATE_CLOSED, Op::Stop, STATUS_UNSUCCESSFUL, STREAM_STATE_CLOSED},
        StateCase{"ClosedClose", STREAM_STATE_CLOSED, Op::Close, STATUS_INVALID_PARAMETER, STREAM_STATE_CLOSED},
        StateCase{"OpenedOpen", STREAM_STATE_OPENED, Op::Open, STATUS_INSUFFICIENT_RESOURCES, STREAM_STATE_OPENED},
        StateCase{"OpenedRun", STREAM_STATE_OPENED, Op::Run, STATUS_SUCCESS, STREAM_STATE_RUNNING},
        StateCase{"OpenedStop", STREAM_STATE_OPENED, Op::Stop, STATUS_UNSUCCESSFUL, STREAM_STATE_OPENED},
        StateCase{"OpenedClose", STREAM_STATE_OPENED, Op::Close, STATUS_SUCCESS, STREAM_STATE_CLOSED},
        StateCase{"RunningOpen", STREAM_STATE_RUNNING, Op::Open, STATUS_INSUFFICIENT_RESOURCES, STREAM_STATE_RUNNING},
        StateCase{"RunningRun", STREAM_STATE_RUNNING, Op::Run, STATUS_UNSUCCESSFUL, STREAM_STATE_RUNNING},
        StateCase{"RunningStop", STREAM_STATE_RUNNING, Op::Stop, STATUS_SUCCESS, STREAM_STATE_OPENED},
        StateCase{"RunningClose", STREAM_STATE_RUNNING, Op::Close, STATUS_INVALID_PARAMETER, STREAM_STATE_RUNNING}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(LifecycleTest, RunWithEveryContextAlreadyClaimedSucceeds) {
    CUsbRenderStream* stream = MakeRender();
    RecordingClient client("wave");
    ASSERT_EQ(client.Register(stream, CYCLIC_CLIENT_WAVE, PcmFormat(2, 48000, 16), 5, 3), STATUS_SUCCESS);
    Reach(stream, client.Record(), STREAM_STATE_OPENED);
    std::vector<PUSB_TRANSFER_CONTEXT> claimed;
    for (ULONG i = 0; i < 3; i++) claimed.push_back(stream->ClaimTransfer());
    // With three transfers only slots 0 to 2 are ever used.
    for (ULONG i = 0; i < 3; i++) ASSERT_EQ(claimed[i]->Index, i);
    EXPECT_EQ(stream->ClaimTransfer(), nullptr);
    EXPECT_EQ(stream->Run(0, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(stream->StreamState(), STREAM_STATE_RUNNING);
    EXPECT_EQ(bus().UrbCount(URB_FUNCTION_ISOCH_TRANSFER), 0u);
    for (PUSB_TRANSFER_CONTEXT ctx : claimed) stream->ReturnTransfer(ctx);
    Leave(stream);
    EXPECT_EQ(stream->UnregisterClient(client.Handle()), STATUS_SUCCESS);
}

TEST_F(LifecycleTest, StopReturnsAfterTheLastTransferCompleted) {
    CUsbRenderStream* stream = MakeRender();
    model_->LogTransfers(true);
    RecordingClient client("wave");
    ASSERT_EQ(Start(stream, client, CYCLIC_CLIENT_WAVE, PcmFormat(2, 48000, 16)), STATUS_SUCCESS);
    RunFor(23);
    ASSERT_EQ(stream->ClientStop(client.Handle(), nullptr), STATUS_SUCCESS);
    EXPECT_EQ(bus().PendingTransfers(kRenderEndpoint), 0u);
    size_t sent = 0;
    for (const std::string& t : timeline_.Texts()) sent += t.rfind("iso start", 0) == 0;
    EXPECT_EQ(client.MessagesWithCode(CYCLIC_MSG_BYTES_DONE).size(), sent);
    EXPECT_EQ(stream->ClientRelease(client.Handle()), STATUS_SUCCESS);
    EXPECT_EQ(stream->UnregisterClient(client.Handle()), STATUS_SUCCESS);
}

struct PacketsCase {
    const char* name;
    simusb::UsbSpeed speed;
    UCHAR interval;
    ULONG streaming, feedbackFirst;
};

class PacketsPerFrame : public LifecycleTest, public ::testing::WithParamInterface<PacketsCase> {
protected:
    Uac1DeviceSpec DeviceSpec() override {
        Uac1DeviceSpec spec;
        spec.speed = GetParam().speed;
        spec.interval = GetParam().interval;
        return spec;
    }
};

TEST_P(PacketsPerFrame, FromTheDataEndpointsInterval) {
    CUsbRenderStream* stream = MakeRender();
    EXPECT_EQ(stream->GetPacketsPerFrame(kAltStreaming), GetParam().streaming);
    EXPECT_EQ(stream->GetPacketsPerFrame(kAltFeedbackFirst), GetParam().feedbackFirst);
    EXPECT_EQ(stream->GetPacketsPerFrame(kAltNoEndpoints), 1u);
    if (GetParam().streaming == 0) {
        RecordingClient client("wave");
        ASSERT_EQ(client.Register(stream, CYCLIC_CLIENT_WAVE, PcmFormat(2, 48000, 16), 5, 3), STATUS_SUCCESS);
        ULONG frames = 0, frame = 0;
        EXPECT_EQ(stream->ClientAcquire(client.Handle(), &frames, &frame), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(stream->StreamState(), STREAM_STATE_CLOSED);
        EXPECT_EQ(bus().UrbCount(URB_FUNCTION_SELECT_INTERFACE), 0u);
        EXPECT_EQ(stream->UnregisterClient(client.Handle()), STATUS_SUCCESS);
    }
}

INSTANTIATE_TEST_SUITE_P(Lifecycle, PacketsPerFrame,
                         ::testing::Values(PacketsCase{"FullInterval1", simusb::UsbSpeed::Full, 1, 1, 1},
                                           PacketsCase{"FullInterval4", simusb::UsbSpeed::Full, 4, 1, 1},
                                           PacketsCase{"HighInterval1", simusb::UsbSpeed::High, 1, 8, 8},
                                           PacketsCase{"HighInterval2", simusb::UsbSpeed::High, 2, 4, 4},
                                           PacketsCase{"HighInterval3", simusb::UsbSpeed::High, 3, 2, 2},
                                           PacketsCase{"HighInterval4", simusb::UsbSpeed::High, 4, 1, 1},
                                           PacketsCase{"HighInterval0", simusb::UsbSpeed::High, 0, 0, 0},
                                           PacketsCase{"HighInterval5", simusb::UsbSpeed::High, 5, 0, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LifecycleTest, AlternateSettingLookupComparesWholeRecordsOnly) {
    CUsbRenderStream* stream = MakeRender();
    ULONG alternate = 99;
    WAVEFORMATEXTENSIBLE plain = PlainPcm(4, 48000, 16);
    ASSERT_EQ(stream->FindAlternateSetting(&plain.Format, &alternate), STATUS_SUCCESS);
    EXPECT_EQ(alternate, (ULONG)kAltOtherDirection);
    // A caller's extensible format is read for 40 bytes, never cbSize more.
    auto* given = (WAVEFORMATEXTENSIBLE*)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(WAVEFORMATEXTENSIBLE),
                                                               MakePoolTag("Test"));
    *given = PcmFormat(2, 48000, 16);
    ASSERT_EQ(stream->FindAlternateSetting(&given->Format, &alternate), STATUS_SUCCESS);
    EXPECT_EQ(alternate, (ULONG)kAltStreaming);
    for (USHORT cbSize : {0, 21, 200}) {
        given->Format.cbSize = cbSize;
        EXPECT_EQ(stream->FindAlternateSetting(&given->Format, &alternate), STATUS_INVALID_PARAMETER) << cbSize;
    }
    ExFreePoolWithTag(given, MakePoolTag("Test"));
    EXPECT_EQ(stream->FindAlternateSetting(&plain.Format, nullptr), STATUS_INVALID_PARAMETER);
}

class OpenAllocationFailures : public LifecycleTest, public ::testing::WithParamInterface<bool> {};

TEST_P(OpenAllocationFailures, EachFailureLeavesTheStreamClosedAndNothingBehind) {
    const bool capture = GetParam();
    CCyclicControl* stream = capture ? (CCyclicControl*)MakeCapture() : (CCyclicControl*)MakeRender();
    const UCHAR iface = capture ? kCaptureInterface : kRenderInterface;
    RecordingClient client("wave");
    WAVEFORMATEXTENSIBLE format = capture ? PcmFormat(1, 48000, 16) : PcmFormat(2, 48000, 16);
    ASSERT_EQ(client.Register(stream, CYCLIC_CLIENT_WAVE, format, 5, 3), STATUS_SUCCESS);
    bool opened = false;
    sim::PoolResetCounters();
    for (uint64_t nth = 1; nth < 200 && !opened; nth++) {
        ULONG frames = 0, frame = 0;
        sim::PoolFailNth(nth);
        NTSTATUS status = stream->ClientAcquire(client.Handle(), &frames, &frame);
        sim::PoolClearFailures();
        opened = NT_SUCCESS(status);
        if (opened) break;
        ASSERT_EQ(stream->StreamState(), STREAM_STATE_CLOSED) << "allocation " << nth;
        ASSERT_EQ(sim::PoolLiveBlocks(CYCLIC_URB_TAG) - (LONG)(stream->HoldsBusyReference() ? 1 : 0),
                  (int64_t)0)
            << "allocation " << nth;
        ASSERT_EQ(sim::PoolLiveBlocks(CAPTURE_RING_TAG), 0) << "allocation " << nth;
        // The busy count follows the setting the device is left in.
        ASSERT_EQ(model_->BusyCount(), device().AlternateSetting(iface) != 0 ? 1 : 0) << "allocation " << nth;
    }
    ASSERT_TRUE(opened);
    EXPECT_GT(sim::PoolFailedAllocations(), 5u);
    for (int nth = 0; nth < 10; nth++) {
        EXPECT_EQ(stream->ClientRelease(client.Handle()), STATUS_SUCCESS);
        model_->FailIrpAllocation(nth);
        ULONG frames = 0, frame = 0;
        EXPECT_EQ(stream->ClientAcquire(client.Handle(), &frames, &frame), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(stream->StreamState(), STREAM_STATE_CLOSED);
        ASSERT_EQ(stream->ClientAcquire(client.Handle(), &frames, &frame), STATUS_SUCCESS);
    }
    EXPECT_EQ(stream->ClientRelease(client.Handle()), STATUS_SUCCESS);
    EXPECT_EQ(stream->UnregisterClient(client.Handle()), STATUS_SUCCESS);
    EXPECT_EQ(model_->BusyCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Lifecycle, OpenAllocationFailures, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Capture" : "Render"; });

struct NoPipeCase {
    const char* name;
    bool capture;
    WAVEFORMATEXTENSIBLE format;
};

class NoPipeInDirection : public LifecycleTest, public ::testing::WithParamInterface<NoPipeCase> {};

TEST_P(NoPipeInDirection, OpenFailsAndNothingIsSentOrCounted) {
    const NoPipeCase& c = GetParam();
    CCyclicControl* stream = c.capture ? (CCyclicControl*)MakeCapture() : (CCyclicControl*)MakeRender();
    model_->LogTransfers(true);
    RecordingClient client("wave");
    ASSERT_EQ(client.Register(stream, CYCLIC_CLIENT_WAVE, c.format, 5, 3), STATUS_SUCCESS);
    ULONG frames = 0, frame = 0;
    EXPECT_EQ(stream->ClientAcquire(client.Handle(), &frames, &frame), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stream->StreamState(), STREAM_STATE_CLOSED);
    EXPECT_EQ(stream->ClientRun(client.Handle(), 0, &frames, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bus().UrbCount(URB_FUNCTION_ISOCH_TRANSFER), 0u);
    EXPECT_EQ(bus().UrbCount(URB_FUNCTION_CLASS_ENDPOINT), 0u);
    EXPECT_EQ(model_->BusyCount(), 0);
    EXPECT_EQ(stream->UnregisterClient(client.Handle()), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Lifecycle, NoPipeInDirection,
                         ::testing::Values(NoPipeCase{"RenderNoEndpoints", false, PcmFormat(6, 48000, 16)},
                                           NoPipeCase{"RenderOnlyIn", false, PcmFormat(4, 48000, 16)},
                                           NoPipeCase{"CaptureNoEndpoints", true, PcmFormat(6, 48000, 16)},
                                           NoPipeCase{"CaptureOnlyOut", true, PcmFormat(4, 48000, 16)}),
                         [](const auto& info) { return std::string(info.param.name); });

// Index of the first timeline entry at or after from that starts with prefix.
size_t Find(const std::vector<std::string>& texts, const std::string& prefix, size_t from = 0) {
    for (size_t i = from; i < texts.size(); i++)
        if (texts[i].rfind(prefix, 0) == 0) return i;
    return texts.size();
}

TEST_F(LifecycleTest, ABadPacketIsRecoveredInOrder) {
    CUsbRenderStream* stream = MakeRender();
    model_->LogTransfers(true);
    model_->RecordPackets(true);
    std::vector<USBD_STATUS> script(33, USBD_STATUS_SUCCESS);
    script.push_back(USBD_STATUS_CRC);
    device().ScriptPacketStatuses(kRenderEndpoint, script);
    RecordingClient client("wave", &timeline_);
    sim::ClearDebugOutput();
    ASSERT_EQ(Start(stream, client, CYCLIC_CLIENT_WAVE, PcmFormat(2, 44100, 16)), STATUS_SUCCESS);
    RunFor(1000);
    std::vector<TimelineEntry> entries = timeline_.Entries();
    std::vector<std::string> texts = timeline_.Texts();
    const size_t presence = Find(texts, "presence");
    const size_t reset = Find(texts, "select 1 alt 0", presence);
    const size_t format = Find(texts, "format wave changed", presence);
    const size_t reselect = Find(texts, "select 1 alt 1", presence);
    const size_t rate = Find(texts, "set_cur ep 1 rate 44100", presence);
    const size_t frame = Find(texts, "frame", rate);
    const size_t resubmit = Find(texts, "iso start", presence);
    ASSERT_LT(resubmit, texts.size());
    EXPECT_TRUE(presence < reset && reset < format && format < reselect && reselect < rate && rate < frame &&
                frame < resubmit);
    // Drained first: every transfer sent before the recovery was reported.
    size_t sentBefore = 0;
    for (size_t i = 0; i < presence; i++) sentBefore += texts[i].rfind("iso start", 0) == 0;
    size_t doneBefore = 0;
    for (const ClientMessage& m : client.MessagesWithCode(CYCLIC_MSG_BYTES_DONE))
        doneBefore += m.time <= entries[presence].time;
    EXPECT_EQ(doneBefore, sentBefore);
    EXPECT_GE(entries[reset].time - entries[presence].time, 100 * kMs);
    // Resubmission two frames after the frame read by the restart.
    EXPECT_EQ(std::stoul(texts[resubmit].substr(10)), std::stoul(texts[frame].substr(6)) + 2);
    // The packet pattern begins afresh.
    std::vector<ULONG> lengths = model_->PacketLengths();
    ASSERT_GE(lengths.size(), sentBefore * 5 + 10);
    EXPECT_EQ(lengths[sentBefore * 5 + 9] / 4, 45u);
    EXPECT_EQ(lengths[sentBefore * 5] / 4, 44u);
    std::string debug = sim::DebugOutput();
    EXPECT_NE(debug.find("Error_ErrorOccur, m_StreamState = 2\n"), std::string::npos);
    EXPECT_NE(debug.find("Error_ErrorOccur ntStatus = 0\n"), std::string::npos);
    Finish(stream, client);
    EXPECT_EQ(model_->BusyCount(), 0);
}

TEST_F(LifecycleTest, ARecoveryWhoseReselectionFailsThenCloseLeavesTheBusyCountAtItsStart) {
    simusb::ControlRule refuse;
    refuse.bmRequestType = 0x01;  // standard request to an interface
    refuse.bRequest = 0x0B;       // SET_INTERFACE
    refuse.wValue = kAltStreaming;
    refuse.skip = 1;
    refuse.count = 1;
    device().AddControlRule(refuse);
    device().ScriptPacketStatuses(kRenderEndpoint, {USBD_STATUS_SUCCESS, USBD_STATUS_CRC});
    CUsbRenderStream* stream = MakeRender();
    RecordingClient client("wave");
    ASSERT_EQ(Start(stream, client, CYCLIC_CLIENT_WAVE, PcmFormat(2, 48000, 16)), STATUS_SUCCESS);
    EXPECT_EQ(model_->BusyCount(), 1);
    RunFor(1000);
    std::vector<std::string> texts = timeline_.Texts();
    EXPECT_LT(Find(texts, "cycle"), texts.size());
    EXPECT_EQ(model_->BusyCount(), 0);
    EXPECT_EQ(stream->ClientStop(client.Handle(), nullptr), STATUS_SUCCESS);
    EXPECT_EQ(stream->ClientRelease(client.Handle()), STATUS_SUCCESS);
    EXPECT_EQ(stream->UnregisterClient(client.Handle()), STATUS_SUCCESS);
    EXPECT_EQ(stream->StreamState(), STREAM_STATE_CLOSED);
    EXPECT_EQ(model_->BusyCount(), 0);
}

TEST_F(LifecycleTest, UnplugEndsTheWorkerAndStopAndCloseStillSucceed) {
    CUsbCaptureStream* stream = MakeCapture();
    RecordingClient client("wave");
    ASSERT_EQ(Start(stream, client, CYCLIC_CLIENT_WAVE, PcmFormat(1, 48000, 16)), STATUS_SUCCESS);
    RunFor(50);
    const int threads = sim::ManagedThreadCount();
    bus().Unplug();
    RunFor(500);
    EXPECT_TRUE(stream->DeviceGone());
    EXPECT_EQ(sim::ManagedThreadCount(), threads - 1);
    EXPECT_EQ(stream->ClientStop(client.Handle(), nullptr), STATUS_SUCCESS);
    EXPECT_EQ(stream->ClientRelease(client.Handle()), STATUS_SUCCESS);
    EXPECT_EQ(stream->StreamState(), STREAM_STATE_CLOSED);
    EXPECT_EQ(stream->UnregisterClient(client.Handle()), STATUS_SUCCESS);
}

TEST_F(LifecycleTest, DestructionWaitsForTheWorker) {
    const int threads = sim::ManagedThreadCount();
    CUsbRenderStream* stream = MakeRender();
    EXPECT_EQ(sim::ManagedThreadCount(), threads + 1);
    Destroy(stream);
    // The worker's last act was done before the destructor returned; its
    // thread leaves right after (a use of the freed stream would fail
    // under ASan).
    for (int i = 0; i < 100 && sim::ManagedThreadCount() != threads; i++) sim::Sleep(kMs);
    EXPECT_EQ(sim::ManagedThreadCount(), threads);
}

TEST_F(LifecycleTest, TheLimiterIsFormattedOnRunResetOnStopAndFreedWithTheStream) {
    CUsbRenderStream* stream = MakeRender();
    RecordingClient client("wave");
    ASSERT_EQ(Start(stream, client, CYCLIC_CLIENT_WAVE, PcmFormat(2, 48000, 16)), STATUS_SUCCESS);
    RunFor(10);
    Finish(stream, client);
    Destroy(stream);
    EXPECT_EQ(limiterrecorder::Calls(),
              (std::vector<std::string>{"AllocateBuffers", "SetMode:0", "SetMakeupGain:1", "SetThreshold:1",
                                        "SetFormat:2", "Reset", "FreeBuffers"}));
    EXPECT_EQ(sim::PoolLiveBlocks(LIMITER_BUFFER_TAG), 0);
    // Without its buffers the limiter is dropped: Init still succeeds, and
    // nothing of it is left behind.
    limiterrecorder::ClearCalls();
    sim::PoolFailTag(LIMITER_BUFFER_TAG);
    CUsbRenderStream* bare = MakeRender();
    sim::PoolClearFailures();
    EXPECT_EQ(sim::PoolLiveBlocks(LIMITER_BUFFER_TAG), 0);
    Destroy(bare);
    EXPECT_EQ(limiterrecorder::Calls(), (std::vector<std::string>{"AllocateBuffers", "FreeBuffers"}));
}

TEST_F(LifecycleTest, GenericCompletionGivesTheContextBackForGood) {
    CUsbRenderStream* stream = MakeRender();
    RecordingClient client("wave");
    ASSERT_EQ(client.Register(stream, CYCLIC_CLIENT_WAVE, PcmFormat(2, 48000, 16), 5, 3), STATUS_SUCCESS);
    Reach(stream, client.Record(), STREAM_STATE_OPENED);
    PUSB_TRANSFER_CONTEXT first = stream->ClaimTransfer();
    ASSERT_EQ(first->Index, 0u);
    EXPECT_EQ(stream->CCyclicControl::OnTransferComplete(nullptr, first->Irp, first), STATUS_MORE_PROCESSING_REQUIRED);
    PUSB_TRANSFER_CONTEXT second = stream->ClaimTransfer();
    PUSB_TRANSFER_CONTEXT third = stream->ClaimTransfer();
    EXPECT_EQ(second->Index, 1u);
    EXPECT_EQ(third->Index, 2u);
    EXPECT_EQ(stream->ClaimTransfer(), nullptr);
    stream->ReturnTransfer(second);
    stream->ReturnTransfer(third);
    EXPECT_EQ(stream->AbortPipe(), STATUS_SUCCESS);
    EXPECT_EQ(bus().UrbCount(URB_FUNCTION_ABORT_PIPE), 1u);
    Leave(stream);
    EXPECT_EQ(stream->AbortPipe(), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(stream->UnregisterClient(client.Handle()), STATUS_SUCCESS);
}

}  // namespace
}  // namespace streamtest
