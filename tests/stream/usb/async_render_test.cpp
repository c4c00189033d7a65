// UAC 2.0 render stream on a simulated asynchronous device: packet sizes
// with and without feedback, the rate the packets carry following the
// reported one (up to R + 1000 Hz inside the buffer), the fill cleared for
// a silent owner, feedback at every polling interval and speed, feedback
// contexts all busy, a failed feedback transfer recovered with three
// transfers in flight, Open's failures, the valid-alternate-settings
// request and the DSD vendor request.
#include <algorithm>
#include <cstring>
#include <numeric>

#include "stream/wave/wave_guids.h"
#include "tests/stream/usb/uac2_stream_fixture.h"

namespace streamtest {
namespace {

std::vector<ULONG> Samples(const std::vector<ULONG>& lengths, ULONG frameBytes) {
    std::vector<ULONG> samples;
    for (ULONG length : lengths) samples.push_back(length / frameBytes);
    return samples;
}

std::vector<ULONG> Repeat(const std::vector<ULONG>& pattern, int times) {
    std::vector<ULONG> out;
    for (int i = 0; i < times; i++) out.insert(out.end(), pattern.begin(), pattern.end());
    return out;
}

size_t Find(const std::vector<std::string>& texts, const std::string& prefix, size_t from = 0) {
    for (size_t i = from; i < texts.size(); i++)
        if (texts[i].rfind(prefix, 0) == 0) return i;
    return texts.size();
}

// The render stream with its reported rate set by the test (a device
// without a feedback endpoint never changes it).
class SteeredRender : public CUsbAsyncRenderStream {
public:
    using CUsbAsyncRenderStream::CUsbAsyncRenderStream;
    void SteerTo(LONG rate) { __atomic_store_n(&m_nFeedbackRate, rate, __ATOMIC_RELEASE); }
};

class AsyncRenderTest : public Uac2StreamTest {
protected:
    Uac2DeviceSpec Spec() override { return spec_; }
    SteeredRender* MakeSteered() {
        return Adopt(new (NonPagedPoolNx, UAC2_STREAM_TAG) SteeredRender(NULL, kRenderInterface, 1, kClockUnitId), 0,
                     Uac2RenderFormats());
    }
    // Feedback transfers sent: every isochronous URB that was not an OUT
    // transfer of packetsPerTransfer packets.
    ULONG FeedbackTransfers(ULONG packetsPerTransfer) {
        return bus().UrbCount(URB_FUNCTION_ISOCH_TRANSFER) -
               (ULONG)(model_->PacketLengths().size() / packetsPerTransfer);
    }
    Uac2DeviceSpec spec_;
};

// ---- packet sizes ------------------------------------------------------------------

struct PacketCase {
    const char* name;
    simusb::UsbSpeed speed;
    ULONG rate;
    std::vector<ULONG> firstPackets;
};

// A device of the case's speed whose render setting has no feedback pipe.
template <typename Case>
class WithoutFeedback : public AsyncRenderTest, public ::testing::WithParamInterface<Case> {
protected:
    Uac2DeviceSpec Spec() override {
        Uac2DeviceSpec spec;
        spec.speed = this->GetParam().speed;
        spec.feedback = false;
        return spec;
    }
};

using AsyncRenderPackets = WithoutFeedback<PacketCase>;

// Without a feedback endpoint the packets follow the nominal rate and no
// IN transfer is sent.
TEST_P(AsyncRenderPackets, WithoutFeedbackFollowTheNominalRate) {
    const PacketCase& c = GetParam();
    CUsbAsyncRenderStream* stream = MakeAsyncRender();
    model_->RecordPackets(true);
    RecordingClient client("wave");
    ASSERT_EQ(Start(stream, client, CYCLIC_CLIENT_WAVE, PcmFormat(2, c.rate, 16), 10, 3), STATUS_SUCCESS);
    EXPECT_FALSE(stream->HasFeedback());
    RunFor(300);
    Finish(stream, client);
    std::vector<ULONG> samples = Samples(model_->PacketLengths(), 4);
    ASSERT_GE(samples.size(), c.firstPackets.size());
    EXPECT_EQ(std::vector<ULONG>(samples.begin(), samples.begin() + c.firstPackets.size()), c.firstPackets);
    const ULONG perTransfer = stream->FramesPerTransfer() * stream->PacketsPerFrame();
    for (size_t start = 0; start + perTransfer <= samples.size(); start += perTransfer)
        ASSERT_EQ(std::accumulate(samples.begin() + start, samples.begin() + start + perTransfer, 0u), c.rate / 100);
    EXPECT_EQ(FeedbackTransfers(perTransfer), 0u);
    EXPECT_EQ(stream->FeedbackRate(), (LONG)c.rate);
    auto lock = device().lock();
    EXPECT_EQ(device().Sink(kRenderEndpoint)->framesReceived(),
              std::accumulate(samples.begin(), samples.end(), (uint64_t)0));
}

INSTANTIATE_TEST_SUITE_P(
    AsyncRender, AsyncRenderPackets,
    ::testing::Values(PacketCase{"Full44k1", simusb::UsbSpeed::Full, 44100,
                                 Repeat({44, 44, 44, 44, 44, 44, 44, 44, 44, 45}, 3)},
                      PacketCase{"Full48k", simusb::UsbSpeed::Full, 48000, Repeat({48}, 30)},
                      PacketCase{"High44k1", simusb::UsbSpeed::High, 44100, Repeat({5, 6, 5, 6, 5, 6, 5, 6}, 2)},
                      PacketCase{"High192k", simusb::UsbSpeed::High, 192000, Repeat({24}, 80)}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- the rate the packets carry ---------------------------------------------------------

struct SteerCase {
    const char* name;
    simusb::UsbSpeed speed;
    ULONG nominal;
    LONG steered;
};

using AsyncRenderSteering = WithoutFeedback<SteerCase>;

// Every simulated second carries the reported rate (the remainder carries
// the fraction, also when negative); at R + 1000 Hz a transfer holds more
// frames than the nominal rate gives and still fits its buffer uncut.
TEST_P(AsyncRenderSteering, EverySecondCarriesTheReportedRate) {
    const SteerCase& c = GetParam();
    SteeredRender* stream = MakeSteered();
    model_->RecordPackets(true);
    RecordingClient client("wave");
    ASSERT_EQ(Start(stream, client, CYCLIC_CLIENT_WAVE, PcmFormat(2, c.nominal, 16), 10, 3), STATUS_SUCCESS);
    // Run submitted three transfers at the nominal rate.
    stream->SteerTo(c.steered);
    RunFor(2100);
    Finish(stream, client);
    const ULONG perTransfer = 10 * stream->PacketsPerFrame();
    std::vector<ULONG> lengths = model_->PacketLengths();
    ASSERT_GE(lengths.size(), 203 * perTransfer);
    std::vector<ULONG> transferFrames;
    for (size_t t = 0; (t + 1) * perTransfer <= lengths.size(); t++) {
        const ULONG bytes = std::accumulate(lengths.begin() + t * perTransfer, lengths.begin() + (t + 1) * perTransfer, 0u);
        ASSERT_LE(bytes, stream->DataBufferBytes()) << "transfer " << t;
        transferFrames.push_back(bytes / 4);
    }
    for (size_t second = 0; second < 2; second++) {
        const auto first = transferFrames.begin() + 3 + second * 100;
        const LONG frames = (LONG)std::accumulate(first, first + 100, 0u);
        EXPECT_LE(std::abs(frames - c.steered), 1) << "second " << second;
    }
    const LONG all = (LONG)std::accumulate(transferFrames.begin() + 3, transferFrames.begin() + 203, 0u);
    EXPECT_LE(std::abs(all - 2 * c.steered), 1);
    const ULONG nominalPerTransfer = c.nominal / 100;
    if (c.steered >= (LONG)c.nominal + 1000) {
        EXPECT_GT(*std::max_element(transferFrames.begin(), transferFrames.end()), nominalPerTransfer);
    }
}

INSTANTIATE_TEST_SUITE_P(
    AsyncRender, AsyncRenderSteering,
    ::testing::Values(SteerCase{"Full44k1Top", simusb::UsbSpeed::Full, 44100, 45100},
                      SteerCase{"Full44k1Bottom", simusb::UsbSpeed::Full, 44100, 43100},
                      SteerCase{"Full44k1Odd", simusb::UsbSpeed::Full, 44100, 44137},
                      SteerCase{"High48kTop", simusb::UsbSpeed::High, 48000, 49000},
                      SteerCase{"High48kBelow", simusb::UsbSpeed::High, 48000, 47001},
                      SteerCase{"High192kTop", simusb::UsbSpeed::High, 192000, 193000}),
    [](const auto& info) { return std::string(info.param.name); });

// An owner that writes nothing sends silence, not the pool's old bytes.
VOID SilentClient(PVOID, PVOID, PVOID) {}

TEST_F(AsyncRenderTest, AnOwnerThatWritesNothingSendsSilence) {
    CUsbAsyncRenderStream* stream = MakeAsyncRender();
    WAVEFORMATEXTENSIBLE format = PcmFormat(2, 48000, 16);
    PCYCLIC_CLIENT record = nullptr;
    ASSERT_EQ(stream->RegisterClient(CYCLIC_CLIENT_WAVE, &format, 10, 3, SilentClient, nullptr, &record),
              STATUS_SUCCESS);
    ULONG frames = 0, frame = 0;
    ASSERT_EQ(stream->ClientAcquire(record->Registration, &frames, &frame), STATUS_SUCCESS);
    ASSERT_EQ(stream->ClientRun(record->Registration, frame + 2, &frames, nullptr), STATUS_SUCCESS);
    RunFor(200);
    PVOID handle = record->Registration;
    EXPECT_EQ(stream->ClientStop(handle, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(stream->ClientRelease(handle), STATUS_SUCCESS);
    EXPECT_EQ(stream->UnregisterClient(handle), STATUS_SUCCESS);
    auto lock = device().lock();
    const std::vector<uint8_t>& recorded = device().Sink(kRenderEndpoint)->recorded();
    ASSERT_GT(recorded.size(), 48000u * 4 / 10);
    EXPECT_TRUE(std::all_of(recorded.begin(), recorded.end(), [](uint8_t b) { return b == 0; }));
}

// ---- feedback from the device -----------------------------------------------------------

struct FeedbackCase {
    const char* name;
    simusb::UsbSpeed speed;
    UCHAR feedbackInterval;
    ULONG rate;
    double ppm;
    ULONG feedbackPacketsPerFrame;
    ULONG framesPerTransfer;  // odd: a URB of that many feedback packets would not be whole frames
};

class AsyncRenderFeedback : public AsyncRenderTest, public ::testing::WithParamInterface<FeedbackCase> {
protected:
    Uac2DeviceSpec Spec() override {
        Uac2DeviceSpec spec;
        spec.speed = GetParam().speed;
        spec.feedbackInterval = GetParam().feedbackInterval;
        return spec;
    }
};

// A device whose clock is off by 300 ppm steers the stream through its
// feedback at every polling interval: the ramp arrives bit-exact, the
// device's buffer never runs dry or over, and nothing needs recovery.
TEST_P(AsyncRenderFeedback, TheDeviceClockIsFollowed) {
    const FeedbackCase& c = GetParam();
    CUsbAsyncRenderStream* stream = MakeAsyncRender();
    RecordingClient client("wave", &timeline_);
    ASSERT_EQ(Start(stream, client, CYCLIC_CLIENT_WAVE, PcmFormat(2, c.rate, 16), c.framesPerTransfer, 3),
              STATUS_SUCCESS);
    {
        auto lock = device().lock();
        device().Sink(kRenderEndpoint)->SetDriftPpm(c.ppm);
    }
    EXPECT_TRUE(stream->HasFeedback());
    EXPECT_EQ(stream->FeedbackPacketsPerFrame(), c.feedbackPacketsPerFrame);
    int64_t maxFill = 0, capacity = 0;
    for (int i = 0; i < 30; i++) {
        RunFor(100);
        auto lock = device().lock();
        maxFill = std::max(maxFill, device().Sink(kRenderEndpoint)->fill());
        capacity = device().Sink(kRenderEndpoint)->capacity();
    }
    const double deviceRate = c.rate * (1.0 + c.ppm / 1e6);
    EXPECT_LE(std::abs(stream->FeedbackRate() - deviceRate), 50.0) << stream->FeedbackRate();
    Finish(stream, client);
    std::vector<std::string> texts = timeline_.Texts();
    EXPECT_EQ(Find(texts, "presence"), texts.size());
    auto lock = device().lock();
    const simusb::AudioSink& sink = *device().Sink(kRenderEndpoint);
    EXPECT_EQ(sink.overruns(), 0u);
    EXPECT_EQ(sink.underruns(), 0u);
    EXPECT_LE(maxFill, capacity / 2);
    const std::vector<uint8_t>& recorded = sink.recorded();
    ASSERT_GT(recorded.size(), (size_t)(c.rate * 4 * 29 / 10));
    for (size_t frame = 0; frame < recorded.size() / 4; frame++) {
        const int16_t left = (int16_t)(recorded[frame * 4] | recorded[frame * 4 + 1] << 8);
        const int16_t right = (int16_t)(recorded[frame * 4 + 2] | recorded[frame * 4 + 3] << 8);
        ASSERT_EQ(left, RampValue(frame, 0)) << frame;
        ASSERT_EQ(right, RampValue(frame, 1)) << frame;
    }
}

INSTANTIATE_TEST_SUITE_P(
    AsyncRender, AsyncRenderFeedback,
    ::testing::Values(FeedbackCase{"HighInterval1", simusb::UsbSpeed::High, 1, 48000, 300, 8, 10},
                      FeedbackCase{"HighInterval2", simusb::UsbSpeed::High, 2, 48000, -300, 4, 10},
                      FeedbackCase{"HighInterval3", simusb::UsbSpeed::High, 3, 96000, 300, 2, 5},
                      FeedbackCase{"HighInterval4", simusb::UsbSpeed::High, 4, 192000, -300, 1, 10},
                      FeedbackCase{"Full44k1", simusb::UsbSpeed::Full, 1, 44100, 300, 1, 10},
                      FeedbackCase{"Full48k", simusb::UsbSpeed::Full, 1, 48000, -300, 1, 7}),
    [](const auto& info) { return std::string(info.param.name); });

std::vector<std::string> DroppedFeedbackLines() {
    std::vector<std::string> lines;
    for (const std::string& line : sim::DebugLog())
        if (line.find("feedback endpoint 0x81 sent") != std::string::npos) lines.push_back(line);
    return lines;
}

class FeedbackWidths : public AsyncRenderTest, public ::testing::WithParamInterface<simusb::UsbSpeed> {
protected:
    Uac2DeviceSpec Spec() override {
        Uac2DeviceSpec spec;
        spec.speed = GetParam();
        spec.feedbackInterval = 1;
        return spec;
    }
};

// A device that sends its feedback in the other speed's width: every value
// is dropped and counted, the stream keeps the nominal rate, and each run
// of dropped values is logged once, when it starts (naming the endpoint,
// the value on the wire and the width it was read as); values of the
// expected width in between end the run and are followed as before.
TEST_P(FeedbackWidths, EachRunOfDroppedValuesIsCountedAndLoggedWhenItStarts) {
    const bool high = GetParam() == simusb::UsbSpeed::High;
    CUsbAsyncRenderStream* stream = MakeAsyncRender();
    RecordingClient client("wave", &timeline_);
    sim::ClearDebugOutput();
    device().SetFeedbackOtherWidth(true);
    ASSERT_EQ(Start(stream, client, CYCLIC_CLIENT_WAVE, PcmFormat(2, 48000, 16), 10, 3), STATUS_SUCCESS);
    {
        auto lock = device().lock();
        device().Sink(kRenderEndpoint)->SetDriftPpm(300);
    }
    RunFor(300);
    EXPECT_EQ(stream->FeedbackRate(), 48000);
    const ULONG firstRun = stream->DroppedFeedbackValues();
    EXPECT_GE(firstRun, 100u);
    std::vector<std::string> lines = DroppedFeedbackLines();
    EXPECT_EQ(lines.size(), 1u) << ::testing::PrintToString(sim::DebugLog());
    lines.resize(1);
    // The first value as sent: about 48 x 2^14 per frame (read as 16.16 per
    // microframe: 96 kHz), or about 48 x 2^16 per frame cut to 3 bytes
    // (read as 10.14: 192 kHz); the device's fill correction moves it by
    // up to 500 Hz.
    const std::string width = high ? ", read as 4-byte 16.16, " : ", read as 3-byte 10.14, ";
    const size_t sent = lines[0].find("feedback endpoint 0x81 sent 0x");
    const size_t read = lines[0].find(width);
    EXPECT_NE(sent, std::string::npos) << lines[0];
    EXPECT_NE(read, std::string::npos) << lines[0];
    if (sent != std::string::npos && read != std::string::npos) {
        const size_t digits = sent + strlen("feedback endpoint 0x81 sent 0x");
        const double value = (double)std::stoul(lines[0].substr(digits, read - digits), nullptr, 16);
        EXPECT_NEAR(value * 1000.0 / (high ? 16384.0 : 65536.0), 48000.0, 600.0) << lines[0];
    }
    EXPECT_NE(lines[0].find("more than 1000 Hz from 48000 Hz"), std::string::npos) << lines[0];

    device().SetFeedbackOtherWidth(false);
    RunFor(300);
    EXPECT_GT(stream->FeedbackRate(), 48000);  // the device's fast clock again
    const ULONG afterGood = stream->DroppedFeedbackValues();
    EXPECT_LE(afterGood - firstRun, 20u);  // at most the transfers in flight at the switch
    EXPECT_EQ(DroppedFeedbackLines().size(), 1u);

    device().SetFeedbackOtherWidth(true);
    RunFor(300);
    Finish(stream, client);
    EXPECT_GE(stream->DroppedFeedbackValues() - afterGood, 100u);
    EXPECT_EQ(DroppedFeedbackLines().size(), 2u) << ::testing::PrintToString(sim::DebugLog());
}

INSTANTIATE_TEST_SUITE_P(AsyncRender, FeedbackWidths,
                         ::testing::Values(simusb::UsbSpeed::High, simusb::UsbSpeed::Full),
                         [](const auto& info) { return info.param == simusb::UsbSpeed::High ? "High" : "Full"; });

// The width the bus speed calls for: nothing dropped, nothing logged.
TEST_P(FeedbackWidths, TheExpectedWidthDropsNothing) {
    CUsbAsyncRenderStream* stream = MakeAsyncRender();
    RecordingClient client("wave", &timeline_);
    sim::ClearDebugOutput();
    ASSERT_EQ(Start(stream, client, CYCLIC_CLIENT_WAVE, PcmFormat(2, 48000, 16), 10, 3), STATUS_SUCCESS);
    RunFor(300);
    Finish(stream, client);
    EXPECT_EQ(stream->DroppedFeedbackValues(), 0u);
    EXPECT_TRUE(DroppedFeedbackLines().empty()) << ::testing::PrintToString(sim::DebugLog());
}

class SlowFeedback : public AsyncRenderTest {
protected:
    Uac2DeviceSpec Spec() override {
        Uac2DeviceSpec spec;
        spec.feedbackInterval = 8;  // 16 ms a packet: 160 ms a transfer
        return spec;
    }
};

// While every feedback context is out, data transfers still go.
TEST_F(SlowFeedback, DataGoesOnWhileEveryFeedbackContextIsBusy) {
    CUsbAsyncRenderStream* stream = MakeAsyncRender();
    model_->RecordPackets(true);
    RecordingClient client("wave", &timeline_);
    ASSERT_EQ(Start(stream, client, CYCLIC_CLIENT_WAVE, PcmFormat(2, 48000, 16), 10, 3), STATUS_SUCCESS);
    RunFor(100);
    EXPECT_EQ(bus().PendingTransfers(kFeedbackEndpoint), 3u);
    RunFor(400);
    Finish(stream, client);
    const ULONG perTransfer = 10 * stream->PacketsPerFrame();
    EXPECT_GE(model_->PacketLengths().size() / perTransfer, 48u);
    EXPECT_LE(FeedbackTransfers(perTransfer), 6u);
    std::vector<std::string> texts = timeline_.Texts();
    EXPECT_EQ(Find(texts, "presence"), texts.size());
    auto lock = device().lock();
    EXPECT_GE(device().Sink(kRenderEndpoint)->framesReceived(), 48000u * 48 / 100);
}

// A failed feedback transfer asks for recovery: once everything is back
// both pipes are reset, and from then on three transfers are in flight,
// whatever the client asked for.
TEST_F(AsyncRenderTest, AFailedFeedbackTransferIsRecoveredWithThreeTransfersInFlight) {
    std::vector<USBD_STATUS> script(30, USBD_STATUS_SUCCESS);
    script.insert(script.end(), 10, USBD_STATUS_CRC);
    device().ScriptPacketStatuses(kFeedbackEndpoint, script);
    CUsbAsyncRenderStream* stream = MakeAsyncRender();
    model_->LogTransfers(true);
    RecordingClient client("wave", &timeline_);
    ASSERT_EQ(Start(stream, client, CYCLIC_CLIENT_WAVE, PcmFormat(2, 48000, 16), 10, 5), STATUS_SUCCESS);
    size_t before = 0, after = 0;
    for (int ms = 0; ms < 400; ms++) {
        RunFor(1);
        std::vector<std::string> texts = timeline_.Texts();
        const size_t presence = Find(texts, "presence");
        const size_t pending = bus().PendingTransfers(kRenderEndpoint);
        if (presence == texts.size())
            before = std::max(before, pending);
        else if (Find(texts, "iso start", presence) < texts.size())
            after = std::max(after, pending);
    }
    EXPECT_EQ(before, 5u);
    EXPECT_EQ(after, 3u);
    std::vector<std::string> texts = timeline_.Texts();
    const size_t presence = Find(texts, "presence");
    ASSERT_LT(presence, texts.size());
    const size_t dataReset = Find(texts, "urb 1e 0", presence);
    const size_t feedbackReset = Find(texts, "urb 1e 0", dataReset + 1);
    const size_t frame = Find(texts, "frame", feedbackReset);
    const size_t resubmit = Find(texts, "iso start", frame);
    EXPECT_LT(resubmit, texts.size());
    EXPECT_TRUE(dataReset < feedbackReset && feedbackReset < frame);
    // No reselection, no new clock rate, no format message.
    EXPECT_EQ(Find(texts, "select", presence), texts.size());
    EXPECT_EQ(Find(texts, "format", presence), texts.size());
    EXPECT_EQ(clock_->ratesSet.size(), 1u);
    EXPECT_EQ(stream->StreamState(), STREAM_STATE_RUNNING);
    Finish(stream, client);
    EXPECT_EQ(model_->BusyCount(), 0);
}

// ---- Open's failures ------------------------------------------------------------------

struct OpenFailureCase {
    const char* name;
    WAVEFORMATEXTENSIBLE format;
    ULONG clockUnitId;
    bool refuseClockInterface;
    bool refuseRate;
    NTSTATUS expected;  // STATUS_SUCCESS: any failure
};

class AsyncRenderOpenFailures : public AsyncRenderTest, public ::testing::WithParamInterface<OpenFailureCase> {};

// Each failure leaves the stream closed, the interface at setting 0, the
// busy count at 0 and nothing sent; a good format then opens.
TEST_P(AsyncRenderOpenFailures, LeaveTheStreamClosedAtSettingZero) {
    const OpenFailureCase& c = GetParam();
    CUsbAsyncRenderStream* stream = Adopt(new (NonPagedPoolNx, UAC2_STREAM_TAG)
                                              CUsbAsyncRenderStream(NULL, kRenderInterface, 1, c.clockUnitId),
                                          0, Uac2RenderFormats());
    clock_->refuseClockInterface = c.refuseClockInterface;
    if (c.refuseRate) device().model().SetClockAcceptedRates(kClockId, {44100, 48000});
    RecordingClient client("wave");
    const NTSTATUS status = Acquire(stream, client, c.format);
    if (c.expected == STATUS_SUCCESS) {
        EXPECT_FALSE(NT_SUCCESS(status)) << std::hex << status;
    } else {
        EXPECT_EQ(status, c.expected);
    }
    EXPECT_EQ(stream->StreamState(), STREAM_STATE_CLOSED);
    EXPECT_EQ(device().AlternateSetting(kRenderInterface), 0);
    EXPECT_EQ(model_->BusyCount(), 0);
    EXPECT_FALSE(stream->HoldsBusyReference());
    EXPECT_EQ(bus().UrbCount(URB_FUNCTION_ISOCH_TRANSFER), 0u);
    EXPECT_EQ(stream->UnregisterClient(client.Handle()), STATUS_SUCCESS);
    if (c.clockUnitId == kClockUnitId && !c.refuseClockInterface) {
        RecordingClient good("good");
        EXPECT_EQ(Acquire(stream, good, PcmFormat(2, 48000, 16)), STATUS_SUCCESS);
        EXPECT_EQ(device().AlternateSetting(kRenderInterface), kAltStreaming);
        EXPECT_EQ(stream->ClientRelease(good.Handle()), STATUS_SUCCESS);
        EXPECT_EQ(stream->UnregisterClient(good.Handle()), STATUS_SUCCESS);
    }
    EXPECT_EQ(model_->BusyCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    AsyncRender, AsyncRenderOpenFailures,
    ::testing::Values(
        OpenFailureCase{"NoOutEndpoint", PcmFormat(4, 48000, 16), kClockUnitId, false, false, STATUS_INVALID_PARAMETER},
        OpenFailureCase{"NoEndpoints", PcmFormat(6, 48000, 16), kClockUnitId, false, false, STATUS_INVALID_PARAMETER},
        OpenFailureCase{"NoClockNode", PcmFormat(2, 48000, 16), 0x0B01, false, false, STATUS_UNSUCCESSFUL},
        OpenFailureCase{"ClockWithoutClockSource", PcmFormat(2, 48000, 16), kClockUnitId, true, false,
                        STATUS_SUCCESS},
        OpenFailureCase{"RateRefusedByTheClock", PcmFormat(2, 96000, 16), kClockUnitId, false, true,
                        STATUS_SUCCESS}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AsyncRenderTest, TheClockIsSetBeforeTheSettingIsSelected) {
    CUsbAsyncRenderStream* stream = MakeAsyncRender();
    RecordingClient client("wave");
    ASSERT_EQ(Acquire(stream, client, PcmFormat(2, 96000, 16)), STATUS_SUCCESS);
    EXPECT_EQ(clock_->ratesSet, std::vector<ULONG>{96000});
    EXPECT_EQ(device().model().ClockRate(kClockId), 96000u);
    std::vector<std::string> texts = timeline_.Texts();
    EXPECT_LT(Find(texts, "urb 1b 0"), Find(texts, "select 1 alt 1"));
    // No endpoint sampling-rate request.
    EXPECT_EQ(bus().UrbCount(URB_FUNCTION_CLASS_ENDPOINT), 0u);
    EXPECT_EQ(stream->FeedbackRate(), 96000);
    EXPECT_TRUE(stream->HasFeedback());
    EXPECT_EQ(stream->ClientRelease(client.Handle()), STATUS_SUCCESS);
    EXPECT_EQ(stream->UnregisterClient(client.Handle()), STATUS_SUCCESS);
}

// The feedback pipe is the IN one, wherever it is listed.
TEST_F(AsyncRenderTest, FeedbackListedFirstIsStillTheFeedbackPipe) {
    CUsbAsyncRenderStream* stream = MakeAsyncRender();
    model_->RecordPackets(true);
    RecordingClient client("wave", &timeline_);
    ASSERT_EQ(Start(stream, client, CYCLIC_CLIENT_WAVE, PcmFormat(8, 48000, 16), 10, 3), STATUS_SUCCESS);
    EXPECT_TRUE(stream->HasFeedback());
    RunFor(200);
    Finish(stream, client);
    std::vector<std::string> texts = timeline_.Texts();
    EXPECT_EQ(Find(texts, "presence"), texts.size());
    EXPECT_GE(FeedbackTransfers(80), 15u);
}

// Two pipes that are not one OUT and one IN carry no feedback: the data
// go to the last OUT pipe, and nothing is read.
TEST_F(AsyncRenderTest, TwoOutPipesAreNoFeedback) {
    CUsbAsyncRenderStream* stream = MakeAsyncRender();
    model_->RecordPackets(true);
    RecordingClient client("wave", &timeline_, 1);
    ASSERT_EQ(Start(stream, client, CYCLIC_CLIENT_WAVE, PcmFormat(1, 48000, 16), 10, 3), STATUS_SUCCESS);
    EXPECT_FALSE(stream->HasFeedback());
    RunFor(100);
    Finish(stream, client);
    EXPECT_EQ(FeedbackTransfers(80), 0u);
    EXPECT_GE(model_->PacketLengths().size(), 8u * 80);
    auto lock = device().lock();
    ASSERT_NE(device().Sink(0x02), nullptr);
    EXPECT_GT(device().Sink(0x02)->framesReceived(), 0u);
    EXPECT_TRUE(device().Sink(kRenderEndpoint) == nullptr || device().Sink(kRenderEndpoint)->framesReceived() == 0);
}

class AllocationFailures : public AsyncRenderTest, public ::testing::WithParamInterface<bool> {};

TEST_P(AllocationFailures, EachFailureLeavesTheStreamClosedAndNothingBehind) {
    const bool capture = GetParam();
    CCyclicControl* stream = capture ? (CCyclicControl*)MakeCaptureEx() : (CCyclicControl*)MakeAsyncRender();
    const UCHAR iface = capture ? kCaptureInterface : kRenderInterface;
    RecordingClient client("wave");
    ASSERT_EQ(client.Register(stream, CYCLIC_CLIENT_WAVE, PcmFormat(2, 48000, 16), 10, 3), STATUS_SUCCESS);
    bool opened = false;
    sim::PoolResetCounters();
    for (uint64_t nth = 1; nth < 300 && !opened; nth++) {
        ULONG frames = 0, frame = 0;
        sim::PoolFailNth(nth);
        NTSTATUS status = stream->ClientAcquire(client.Handle(), &frames, &frame);
        sim::PoolClearFailures();
        opened = NT_SUCCESS(status);
        if (opened) break;
        ASSERT_EQ(stream->StreamState(), STREAM_STATE_CLOSED) << "allocation " << nth;
        ASSERT_EQ(sim::PoolLiveBlocks(CYCLIC_URB_TAG), 0) << "allocation " << nth;
        ASSERT_EQ(sim::PoolLiveBlocks(UAC2_REQUEST_TAG), 0) << "allocation " << nth;
        ASSERT_EQ(device().AlternateSetting(iface), 0) << "allocation " << nth;
        ASSERT_EQ(model_->BusyCount(), 0) << "allocation " << nth;
    }
    ASSERT_TRUE(opened);
    EXPECT_GT(sim::PoolFailedAllocations(), 20u);
    EXPECT_EQ(stream->ClientRelease(client.Handle()), STATUS_SUCCESS);
    EXPECT_EQ(stream->UnregisterClient(client.Handle()), STATUS_SUCCESS);
    EXPECT_EQ(model_->BusyCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Uac2, AllocationFailures, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Capture" : "Render"; });

// ---- valid alternate settings ------------------------------------------------------------

struct ValidCase {
    const char* name;
    ULONG mask;           // 0: the device's own (every present setting)
    ULONG shortTo;        // answer cut to this many bytes (0: not cut)
    bool stall;
    UCHAR alternate;
    bool expected;
};

class AltSettingValid : public AsyncRenderTest, public ::testing::WithParamInterface<ValidCase> {};

TEST_P(AltSettingValid, ReadsOnlyTheBitsTheDeviceSent) {
    const ValidCase& c = GetParam();
    if (c.mask) device().model().SetValidAlternates(kRenderInterface, c.mask);
    simusb::ControlRule rule;
    rule.bmRequestType = 0xA1;
    rule.wValue = 0x0200;
    rule.action = c.stall ? simusb::ControlRule::Stall : simusb::ControlRule::Short;
    rule.shortTo = c.shortTo;
    if (c.stall || c.shortTo) device().AddControlRule(rule);
    CUsbAsyncRenderStream* stream = MakeAsyncRender();
    const ULONG before = bus().UrbCount(URB_FUNCTION_CLASS_INTERFACE);
    EXPECT_EQ(stream->IsAltSettingValid(c.alternate, 48000), (BOOLEAN)c.expected);
    EXPECT_EQ(bus().UrbCount(URB_FUNCTION_CLASS_INTERFACE) - before, c.alternate == 0 ? 0u : 1u);
    if (c.alternate != 0 && !c.stall) {
        std::vector<simusb::ControlLogEntry> log = device().RequestLog();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back().setup.bRequest, 0x01);
        EXPECT_EQ(log.back().setup.wIndex, kRenderInterface);
        EXPECT_EQ(log.back().setup.wLength, 5);
    }
}

INSTANTIATE_TEST_SUITE_P(
    AsyncRender, AltSettingValid,
    ::testing::Values(ValidCase{"ZeroWithoutRequest", 0, 0, true, 0, true},
                      ValidCase{"PresentSetting", 0, 0, false, 1, true},
                      ValidCase{"AbsentSetting", 0, 0, false, 6, false},
                      // bControlSize 1: the device answers 2 of the 5 bytes.
                      ValidCase{"BeyondOneByteBitmap", 0x1F, 0, false, 8, false},
                      ValidCase{"SecondBitmapByte", 0x102, 0, false, 8, true},
                      ValidCase{"ClearInTheSecondByte", 0x102, 0, false, 9, false},
                      ValidCase{"TopBit", 0x80000001, 0, false, 31, true},
                      ValidCase{"PastTheAnswer", 0x80000001, 0, false, 32, false},
                      ValidCase{"BitInAByteNotReceived", 0x102, 2, false, 8, false},
                      ValidCase{"OnlyTheSize", 0x2, 1, false, 1, false},
                      ValidCase{"Stalled", 0x2, 0, true, 1, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AsyncRenderTest, ValidSettingsWithoutTransportOrMemoryAreInvalid) {
    CUsbAsyncRenderStream* stream = MakeAsyncRender();
    CUsbCaptureStreamEx* capture = MakeCaptureEx();
    EXPECT_TRUE(capture->IsAltSettingValid(1, 48000));
    EXPECT_FALSE(capture->IsAltSettingValid(4, 48000));
    sim::PoolFailNth(1);
    EXPECT_FALSE(stream->IsAltSettingValid(1, 48000));
    sim::PoolClearFailures();
    model_->RefuseUsbInterface = true;
    EXPECT_FALSE(stream->IsAltSettingValid(1, 48000));
    EXPECT_TRUE(stream->IsAltSettingValid(0, 48000));
    model_->RefuseUsbInterface = false;
}

// ---- the DSD vendor request -------------------------------------------------------------

WAVEFORMATEXTENSIBLE DsdFormat() {
    WAVEFORMATEXTENSIBLE f = PcmFormat(2, 176400, 32);
    f.SubFormat = KSDATAFORMAT_SUBTYPE_VENDOR_DSD;
    return f;
}

size_t VendorRequests(simusb::SimDevice& device) {
    size_t n = 0;
    for (const simusb::ControlLogEntry& e : device.RequestLog())
        n += e.setup.bmRequestType == 0x41 && e.setup.bRequest == 0x10 && e.setup.wValue == 0 &&
             e.setup.wIndex == kRenderInterface && e.setup.wLength == 0;
    return n;
}

TEST_F(AsyncRenderTest, TheDsdRequestGoesOnlyForADsdOwner) {
    std::vector<FormatAlt> formats = Uac2RenderFormats();
    formats.push_back({DsdFormat(), kAltStreaming});
    CUsbAsyncRenderStream* stream = MakeAsyncRender(formats);
    EXPECT_EQ(stream->SendDsdVendorRequest(), STATUS_SUCCESS);  // no owner
    RecordingClient pcm("pcm");
    ASSERT_EQ(Acquire(stream, pcm, PcmFormat(2, 48000, 16)), STATUS_SUCCESS);
    EXPECT_EQ(stream->SendDsdVendorRequest(), STATUS_SUCCESS);
    EXPECT_EQ(VendorRequests(device()), 0u);
    EXPECT_EQ(stream->ClientRelease(pcm.Handle()), STATUS_SUCCESS);
    EXPECT_EQ(stream->UnregisterClient(pcm.Handle()), STATUS_SUCCESS);

    RecordingClient dsd("dsd");
    ASSERT_EQ(Acquire(stream, dsd, DsdFormat()), STATUS_SUCCESS);
    // The device does not know the request: its stall is the result.
    EXPECT_FALSE(NT_SUCCESS(stream->SendDsdVendorRequest()));
    device().SetVendorAnswer(0x41, 0x10, 0, kRenderInterface, {});
    EXPECT_EQ(stream->AbortPipe(), STATUS_SUCCESS);
    EXPECT_EQ(VendorRequests(device()), 2u);
    EXPECT_EQ(stream->ClientRelease(dsd.Handle()), STATUS_SUCCESS);
    EXPECT_EQ(stream->UnregisterClient(dsd.Handle()), STATUS_SUCCESS);
}

}  // namespace
}  // namespace streamtest
