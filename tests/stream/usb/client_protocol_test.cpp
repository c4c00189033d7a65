// The client protocol of a USB stream: scenarios of a Windows-audio client
// (priority 3) and ASIO clients (priority 5) acquiring, running, stopping
// and releasing a stream, with the format messages each sees and the
// owners left behind; refusals; node clients; protected content.
#include <map>

#include "platform/portcls/sim_portcls.h"
#include "tests/fakes/stream/fake_node.h"
#include "tests/stream/usb/stream_fixture.h"

namespace streamtest {
namespace {

enum class Act { Acquire, Run, Stop, Release, Unregister };

struct Step {
    int client;
    Act act;
    NTSTATUS expected = STATUS_SUCCESS;
    LONG framesOut = -1;   // frames per transfer an Acquire or Run reports
    bool frameZero = false;  // Acquire reports frame 0 (no reopen)
};

struct ClientDef {
    ULONG priority;
    WAVEFORMATEXTENSIBLE format;
    ULONG framesPerTransfer, transfers;
};

struct ProtocolCase {
    const char* name;
    std::vector<ClientDef> clients;
    std::vector<Step> steps;
    std::vector<std::pair<int, bool>> formatsSeen;  // by client 0: owner, changed
    LONG state;
    int running, acquired;  // client indices, -1 for none
};

const ClientDef kWave{CYCLIC_CLIENT_WAVE, PcmFormat(2, 48000, 16), 5, 3};
const ClientDef kWave44{CYCLIC_CLIENT_WAVE, PcmFormat(2, 44100, 16), 5, 3};
const ClientDef kAsio{CYCLIC_CLIENT_ASIO, PcmFormat(2, 44100, 16), 2, 4};
const ClientDef kAsioNoPipe{CYCLIC_CLIENT_ASIO, PcmFormat(6, 48000, 16), 2, 4};

class Protocol : public UsbStreamTest, public ::testing::WithParamInterface<ProtocolCase> {};

TEST_P(Protocol, Scenario) {
    const ProtocolCase& c = GetParam();
    CUsbRenderStream* stream = MakeRender();
    std::vector<std::unique_ptr<RecordingClient>> clients;
    std::map<PCYCLIC_CLIENT, int> index;
    for (size_t i = 0; i < c.clients.size(); i++) {
        clients.push_back(std::make_unique<RecordingClient>("client" + std::to_string(i)));
        const ClientDef& d = c.clients[i];
        ASSERT_EQ(clients[i]->Register(stream, d.priority, d.format, d.framesPerTransfer, d.transfers), STATUS_SUCCESS);
        index[clients[i]->Record()] = (int)i;
    }
    std::vector<ULONG> frames(c.clients.size());
    for (size_t s = 0; s < c.steps.size(); s++) {
        const Step& step = c.steps[s];
        PVOID handle = clients[step.client]->Handle();
        ULONG fpt = 0, frame = 12345;
        NTSTATUS status = STATUS_SUCCESS;
        switch (step.act) {
        case Act::Acquire: status = stream->ClientAcquire(handle, &fpt, &frame); break;
        case Act::Run: {
            ULONG offset = c.clients[step.client].priority == CYCLIC_CLIENT_ASIO ? 5 : 2;
            status = stream->ClientRun(handle, frames[step.client] + offset, &fpt, nullptr);
            break;
        }
        case Act::Stop: status = stream->ClientStop(handle, nullptr); break;
        case Act::Release: status = stream->ClientRelease(handle); break;
        case Act::Unregister: status = stream->UnregisterClient(handle); break;
        }
        ASSERT_EQ(status, step.expected) << "step " << s;
        if (step.act == Act::Acquire && NT_SUCCESS(status)) frames[step.client] = frame;
        if (step.framesOut >= 0) {
            EXPECT_EQ(fpt, (ULONG)step.framesOut) << "step " << s;
        }
        if (step.frameZero) {
            EXPECT_EQ(frame, 0u) << "step " << s;
        }
        // The wave stream runs right after acquiring (the start frame is
        // the acquired frame + 2); let time pass after the other steps.
        if (step.act != Act::Acquire) RunFor(20);
    }
    std::vector<std::pair<int, bool>> seen;
    for (const ClientMessage& m : clients[0]->MessagesWithCode(CYCLIC_MSG_FORMAT))
        seen.push_back({m.owner ? index[m.owner] : -1, (m.value & CYCLIC_MSG_FORMAT_CHANGED) != 0});
    EXPECT_EQ(seen, c.formatsSeen);
    EXPECT_EQ(stream->StreamState(), c.state);
    EXPECT_EQ(stream->RunningClient(), c.running < 0 ? nullptr : clients[c.running]->Record());
    EXPECT_EQ(stream->AcquiredClient(), c.acquired < 0 ? nullptr : clients[c.acquired]->Record());
    if (c.state == STREAM_STATE_RUNNING) {
        EXPECT_EQ(stream->CurrentFormat().Format.nSamplesPerSec, c.clients[c.running].format.Format.nSamplesPerSec);
        // The owner's audio reaches the device.
        size_t before = clients[c.running]->FramesFilled();
        RunFor(30);
        EXPECT_GT(clients[c.running]->FramesFilled(), before);
    }
    for (auto& client : clients) {
        stream->ClientStop(client->Handle(), nullptr);
        stream->ClientRelease(client->Handle());
        stream->UnregisterClient(client->Handle());
    }
    EXPECT_EQ(stream->StreamState(), STREAM_STATE_CLOSED);
    EXPECT_EQ(model_->BusyCount(), 0);
}

const NTSTATUS kInvalid = STATUS_INVALID_PARAMETER;

INSTANTIATE_TEST_SUITE_P(
    Clients, Protocol,
    ::testing::Values(
        ProtocolCase{"WaveAlone",
                     {kWave},
                     {{0, Act::Acquire, STATUS_SUCCESS, 5}, {0, Act::Run, STATUS_SUCCESS, 5}, {0, Act::Stop},
                      {0, Act::Release}, {0, Act::Unregister}},
                     {{0, true}},
                     STREAM_STATE_CLOSED, -1, -1},
        ProtocolCase{"AsioTakesOverAndHandsBack",
                     {kWave, kAsio},
                     {{0, Act::Acquire}, {0, Act::Run}, {1, Act::Acquire, STATUS_SUCCESS, 2}, {1, Act::Run},
                      {1, Act::Stop}, {1, Act::Release}},
                     {{0, true}, {1, true}, {0, true}},
                     STREAM_STATE_RUNNING, 0, 0},
        ProtocolCase{"WaveStartsUnderAsio",
                     {kAsio, kWave},
                     {{0, Act::Acquire}, {0, Act::Run}, {1, Act::Acquire, STATUS_SUCCESS, 2, true},
                      {1, Act::Run, STATUS_SUCCESS, 2}, {0, Act::Stop}, {0, Act::Release}},
                     {{0, true}, {0, false}, {1, true}},
                     STREAM_STATE_RUNNING, 1, 1},
        ProtocolCase{"EqualPrioritiesLaterWins",
                     {kWave, kWave44},
                     {{0, Act::Acquire}, {0, Act::Run}, {1, Act::Acquire}, {1, Act::Run}},
                     {{0, true}, {1, true}},
                     STREAM_STATE_RUNNING, 1, 1},
        ProtocolCase{"UnregisterWhileAcquired",
                     {kWave},
                     {{0, Act::Acquire}, {0, Act::Unregister, STATUS_UNSUCCESSFUL}, {0, Act::Release},
                      {0, Act::Unregister}},
                     {},
                     STREAM_STATE_CLOSED, -1, -1},
        ProtocolCase{"OutOfOrderCallsAreRefused",
                     {kWave},
                     {{0, Act::Run, kInvalid}, {0, Act::Stop, kInvalid}, {0, Act::Release, kInvalid},
                      {0, Act::Acquire}, {0, Act::Acquire, kInvalid}, {0, Act::Stop, kInvalid}},
                     {},
                     STREAM_STATE_OPENED, -1, 0},
        ProtocolCase{"OpenFailureInAcquireKeepsTheRunningOwner",
                     {kWave, kAsioNoPipe},
                     {{0, Act::Acquire}, {0, Act::Run}, {1, Act::Acquire, kInvalid}, {1, Act::Unregister}},
                     {{0, true}},
                     STREAM_STATE_CLOSED, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

class ClientTest : public UsbStreamTest {};

TEST_F(ClientTest, ARunFailureRollsBackToThePreviousOwner) {
    CUsbRenderStream* stream = MakeRender();
    RecordingClient wave("wave"), asio("asio");
    ASSERT_EQ(Start(stream, wave, CYCLIC_CLIENT_WAVE, PcmFormat(2, 48000, 16)), STATUS_SUCCESS);
    ASSERT_EQ(asio.Register(stream, CYCLIC_CLIENT_ASIO, PcmFormat(2, 44100, 16), 2, 4), STATUS_SUCCESS);
    ULONG fpt = 0, frame = 0;
    ASSERT_EQ(stream->ClientAcquire(asio.Handle(), &fpt, &frame), STATUS_SUCCESS);
    simusb::BusFaultRule fail;
    fail.urbFunction = URB_FUNCTION_ISOCH_TRANSFER;
    fail.status = STATUS_UNSUCCESSFUL;
    fail.count = 1;
    bus().AddFaultRule(fail);
    EXPECT_EQ(stream->ClientRun(asio.Handle(), frame + 5, &fpt, nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stream->StreamState(), STREAM_STATE_CLOSED);
    EXPECT_EQ(stream->RunningClient(), wave.Record());
    EXPECT_FALSE(asio.Record()->Running);
    std::vector<ClientMessage> formats = wave.MessagesWithCode(CYCLIC_MSG_FORMAT);
    ASSERT_EQ(formats.size(), 3u);
    EXPECT_EQ(formats[1].owner, asio.Record());
    EXPECT_EQ(formats[2].owner, wave.Record());
    EXPECT_EQ(formats[2].value & CYCLIC_MSG_FORMAT_CHANGED, 0u);
    EXPECT_EQ(stream->ClientRelease(asio.Handle()), STATUS_SUCCESS);
    EXPECT_EQ(stream->UnregisterClient(asio.Handle()), STATUS_SUCCESS);
    Finish(stream, wave);
}

TEST_F(ClientTest, ClientStopWithANodeItCannotOwnChangesNothing) {
    CUsbRenderStream* stream = MakeRender();
    FakeDspNode* node = FakeDspNode::Create();
    RecordingClient wave("wave");
    ASSERT_EQ(Start(stream, wave, CYCLIC_CLIENT_WAVE, PcmFormat(2, 48000, 16)), STATUS_SUCCESS);
    EXPECT_EQ(stream->ClientStop(wave.Handle(), node), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stream->RunningClient(), wave.Record());
    EXPECT_TRUE(wave.Record()->Running);
    EXPECT_EQ(stream->StreamState(), STREAM_STATE_RUNNING);
    Finish(stream, wave);  // no use of a freed record after this
    EXPECT_EQ(node->RefCount(), 1u);
    node->Release();
}

TEST_F(ClientTest, NodeClientsAttachTheirNodeByDirectionAndPriority) {
    CUsbRenderStream* stream = MakeRender();
    FakeDspNode* node = FakeDspNode::Create();
    FakeDspNode* stranger = FakeDspNode::Create();
    RecordingClient client("node client");
    ASSERT_EQ(client.Register(stream, 1, PcmFormat(2, 48000, 16), 5, 3), STATUS_SUCCESS);
    ULONG fpt = 0, frame = 0;
    ASSERT_EQ(stream->ClientAcquire(client.Handle(), &fpt, &frame), STATUS_SUCCESS);
    ASSERT_EQ(stream->ClientRun(client.Handle(), frame + 2, &fpt, node), STATUS_SUCCESS);
    EXPECT_EQ(node->RefCount(), 2u);
    RunFor(20);
    // Render, priority 1: the post-node list, which the data path flushes.
    EXPECT_GT(node->FlushCount(), 0);
    EXPECT_EQ(stream->ClientStop(client.Handle(), stranger), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(client.Record()->Running);
    EXPECT_EQ(stream->ClientStop(client.Handle(), node), STATUS_SUCCESS);
    EXPECT_EQ(node->RefCount(), 1u);
    EXPECT_EQ(stream->ClientRelease(client.Handle()), STATUS_SUCCESS);
    EXPECT_EQ(stream->UnregisterClient(client.Handle()), STATUS_SUCCESS);
    node->Release();
    stranger->Release();
}

struct RefusalCase {
    const char* name;
    WAVEFORMATEXTENSIBLE format;
    ULONG framesPerTransfer, transfers;
    NTSTATUS expected;
};

class Registration : public UsbStreamTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(Registration, RefusedClientsGetNothing) {
    CUsbRenderStream* stream = MakeRender();
    WAVEFORMATEXTENSIBLE format = GetParam().format;
    PCYCLIC_CLIENT record = reinterpret_cast<PCYCLIC_CLIENT>(1);
    EXPECT_EQ(stream->RegisterClient(CYCLIC_CLIENT_WAVE, &format, GetParam().framesPerTransfer, GetParam().transfers,
                                     RecordingClient::Callback, nullptr, &record),
              GetParam().expected);
    EXPECT_EQ(record, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Clients, Registration,
                         ::testing::Values(RefusalCase{"UnknownFormat", PcmFormat(2, 96000, 24), 5, 3, STATUS_NO_MATCH},
                                           RefusalCase{"NoFrames", PcmFormat(2, 48000, 16), 0, 3, STATUS_INVALID_PARAMETER},
                                           RefusalCase{"NoTransfers", PcmFormat(2, 48000, 16), 5, 0, STATUS_INVALID_PARAMETER},
                                           RefusalCase{"ElevenTransfers", PcmFormat(2, 48000, 16), 5, 11,
                                                       STATUS_INVALID_PARAMETER}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ClientTest, APlainFormatIsNormalisedAndStreams) {
    CUsbRenderStream* stream = MakeRender();
    RecordingClient wave("wave");
    ASSERT_EQ(Start(stream, wave, CYCLIC_CLIENT_WAVE, PlainPcm(2, 44100, 16)), STATUS_SUCCESS);
    EXPECT_EQ(wave.Record()->Format.Format.nBlockAlign, 4);
    EXPECT_EQ(wave.Record()->Format.Format.cbSize, 0);
    RunFor(20);
    EXPECT_GT(wave.FramesFilled(), 0u);
    Finish(stream, wave);
}

TEST_F(ClientTest, ContentIsForwardedWithThePipeOnceASettingIsSelected) {
    CUsbRenderStream* stream = MakeRender();
    EXPECT_EQ(stream->SetContentId(7, nullptr), STATUS_SUCCESS);
    RecordingClient wave("wave");
    ASSERT_EQ(Start(stream, wave, CYCLIC_CLIENT_WAVE, PcmFormat(2, 48000, 16)), STATUS_SUCCESS);
    EXPECT_EQ(stream->SetContentId(8, nullptr), STATUS_SUCCESS);
    USBD_PIPE_HANDLE pipe = bus().PipeHandle(kRenderEndpoint);
    Finish(stream, wave);
    std::vector<sim::PcForwardedContent> log = sim::PcForwardedContentLog();
    ASSERT_GE(log.size(), 2u);
    const sim::PcForwardedContent& before = log[log.size() - 2];
    const sim::PcForwardedContent& after = log.back();
    EXPECT_EQ(before.contentId, 7u);
    EXPECT_EQ(before.forward.FileObject, nullptr);
    EXPECT_EQ(before.forward.Context, nullptr);
    EXPECT_EQ(before.forward.DeviceObject, port_->Pdo());
    EXPECT_EQ(after.contentId, 8u);
    EXPECT_NE(pipe, nullptr);
    EXPECT_EQ(after.forward.Context, pipe);
    EXPECT_EQ((PVOID)after.forward.FileObject, after.forward.Context);
}

}  // namespace
}  // namespace streamtest
