// The wave pin over the fake stream: intersection, open checks, state steps,
// render fill and capture through the cyclic buffer, checked bytewise.
#include "platform/portcls/wave_pin.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "pc_fakes.h"

namespace pctest {
namespace {

// 48 kHz stereo 16-bit: 192000 bytes/s, a 9600-byte buffer (50 ms), a
// 1920-byte framing size (10 ms), so the pin writes 3840 bytes ahead.
constexpr ULONG kRate = 48000;
constexpr ULONG kBufferSize = 9600;
constexpr ULONG kLead = 3840;

// A connect buffer: KSDATAFORMAT + WAVEFORMATEXTENSIBLE (104 bytes), then,
// when asked, a signal-processing-mode attribute list at offset 104.
std::vector<uint8_t> Connect(ULONG rate = kRate, bool attributes = true) {
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE f{};
    f.DataFormat.FormatSize = sizeof(f);
    f.DataFormat.Flags = attributes ? KSDATAFORMAT_ATTRIBUTES : 0;
    f.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    f.DataFormat.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    f.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    WAVEFORMATEX& w = f.WaveFormatExt.Format;
    w.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    w.nChannels = 2;
    w.nSamplesPerSec = rate;
    w.wBitsPerSample = 16;
    w.nBlockAlign = 4;
    w.nAvgBytesPerSec = rate * 4;
    w.cbSize = 22;
    f.WaveFormatExt.Samples.wValidBitsPerSample = 16;
    f.WaveFormatExt.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    std::vector<uint8_t> out(sizeof(f));
    std::memcpy(out.data(), &f, sizeof(f));
    if (attributes) {
        KSMULTIPLE_ITEM list = {sizeof(KSMULTIPLE_ITEM) + sizeof(KSATTRIBUTE) + sizeof(GUID), 1};
        KSATTRIBUTE mode = {sizeof(KSATTRIBUTE) + sizeof(GUID), 0,
                            KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE};
        auto append = [&out](const void* p, size_t n) {
            out.insert(out.end(), static_cast<const uint8_t*>(p),
                       static_cast<const uint8_t*>(p) + n);
        };
        append(&list, sizeof(list));
        append(&mode, sizeof(mode));
        append(&AUDIO_SIGNALPROCESSINGMODE_RAW, sizeof(GUID));
    }
    return out;
}

void SetU32(std::vector<uint8_t>& b, size_t offset, ULONG value) {
    std::memcpy(b.data() + offset, &value, sizeof(value));
}

class WavePinTest : public PortClsTest {
protected:
    void Start(bool capture = false) {
        Boot();
        ASSERT_EQ(InstallWave(Fdo(), "Wave", &port_, capture), STATUS_SUCCESS);
    }

    FakeStream* Stream(sim::WavePin& pin) { return static_cast<FakeStream*>(pin.Stream()); }

    PUNKNOWN port_ = nullptr;
};

TEST_F(WavePinTest, IntersectionAsksEachRangeInOrderSkippingAttributeLists) {
    Start();
    KSDATARANGE_AUDIO client = PcmRange();
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE result{};
    ULONG length = 0;
    EXPECT_EQ(
        sim::WavePin::IntersectPin(port_, 0, &client.DataRange, sizeof(result), &result, &length),
        STATUS_SUCCESS);
    EXPECT_EQ(IntersectionCalls(),
              (std::vector<const KSDATARANGE*>{&FloatRange().DataRange, &PcmRange().DataRange}));
    EXPECT_EQ(length, sizeof(result));
    EXPECT_EQ(result.WaveFormatExt.Format.nSamplesPerSec, 48000u);

    // The first answer other than STATUS_NO_MATCH is the result.
    IntersectionCalls().clear();
    EXPECT_EQ(sim::WavePin::IntersectPin(port_, 0, &client.DataRange, 0, nullptr, &length),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(length, sizeof(result));

    IntersectionCalls().clear();
    client.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_ANALOG;
    EXPECT_EQ(
        sim::WavePin::IntersectPin(port_, 0, &client.DataRange, sizeof(result), &result, &length),
        STATUS_NO_MATCH);
    EXPECT_EQ(IntersectionCalls().size(), 2u);
    EXPECT_EQ(
        sim::WavePin::IntersectPin(port_, 2, &client.DataRange, sizeof(result), &result, &length),
        STATUS_INVALID_PARAMETER);
}

struct OpenCase {
    const char* name;
    ULONG pin;
    std::function<void(std::vector<uint8_t>&)> mutate;
    NTSTATUS expected;
};

void PrintTo(const OpenCase& c, std::ostream* os) { *os << c.name; }

const OpenCase kOpenCases[] = {
    {"Valid", 0, [](std::vector<uint8_t>&) {}, STATUS_SUCCESS},
    {"NoAttributes", 0, [](std::vector<uint8_t>& b) { b = Connect(kRate, false); }, STATUS_SUCCESS},
    {"ShorterThanAHeader", 0, [](std::vector<uint8_t>& b) { b.resize(63); },
     STATUS_INVALID_BUFFER_SIZE},
    {"FormatSizePastTheBuffer", 0,
     [](std::vector<uint8_t>& b) { SetU32(b, 0, ULONG(b.size() + 1)); },
     STATUS_INVALID_BUFFER_SIZE},
    {"FormatSizeBelowAHeader", 0, [](std::vector<uint8_t>& b) { SetU32(b, 0, 63); },
     STATUS_INVALID_BUFFER_SIZE},
    {"AttributeListCut", 0, [](std::vector<uint8_t>& b) { b.resize(104 + 4); },
     STATUS_INVALID_BUFFER_SIZE},
    {"AttributeListSizePastTheBuffer", 0,
     [](std::vector<uint8_t>& b) { SetU32(b, 104, 8 + 40 + 1); }, STATUS_INVALID_BUFFER_SIZE},
    {"AttributeListSizeHuge", 0, [](std::vector<uint8_t>& b) { SetU32(b, 104, 0xFFFFFFF8u); },
     STATUS_INVALID_BUFFER_SIZE},
    {"AttributeListSizeBelowItsHeader", 0, [](std::vector<uint8_t>& b) { SetU32(b, 104, 4); },
     STATUS_INVALID_BUFFER_SIZE},
    {"RateOutsideEveryRange", 0, [](std::vector<uint8_t>& b) { b = Connect(96000); },
     STATUS_NO_MATCH},
    {"BridgePin", 1, [](std::vector<uint8_t>&) {}, STATUS_INVALID_DEVICE_REQUEST},
    {"NoSuchPin", 2, [](std::vector<uint8_t>&) {}, STATUS_INVALID_PARAMETER},
};

class WavePinOpenTest : public WavePinTest, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(WavePinOpenTest, Status) {
    Start();
    std::vector<uint8_t> connect = Connect();
    GetParam().mutate(connect);
    sim::WavePin pin;
    EXPECT_EQ(pin.Open(port_, GetParam().pin, connect.data(), ULONG(connect.size())),
              GetParam().expected);
    EXPECT_EQ(pin.IsOpen(), NT_SUCCESS(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(Cases, WavePinOpenTest, ::testing::ValuesIn(kOpenCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WavePinTest, OneInstanceOfTheStreamingPin) {
    Start();
    std::vector<uint8_t> connect = Connect();
    sim::WavePin first, second;
    ASSERT_EQ(first.Open(port_, 0, connect.data(), ULONG(connect.size())), STATUS_SUCCESS);
    EXPECT_EQ(second.Open(port_, 0, connect.data(), ULONG(connect.size())),
              STATUS_INSUFFICIENT_RESOURCES);
    first.Close();
    EXPECT_EQ(second.Open(port_, 0, connect.data(), ULONG(connect.size())), STATUS_SUCCESS);
}

TEST_F(WavePinTest, StatesMoveOneStepAtATime) {
    Start();
    std::vector<uint8_t> connect = Connect();
    sim::WavePin pin;
    ASSERT_EQ(pin.Open(port_, 0, connect.data(), ULONG(connect.size())), STATUS_SUCCESS);
    EXPECT_EQ(pin.FramingSize(), 1920u);
    EXPECT_EQ(pin.LeadBytes(), kLead);
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(pin.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(Stream(pin)->States(),
              (std::vector<KSSTATE>{KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_PAUSE,
                                    KSSTATE_ACQUIRE, KSSTATE_STOP}));

    // A step that fails stops the walk where it is.
    Stream(pin)->FailState(KSSTATE_PAUSE);
    EXPECT_EQ(pin.SetState(KSSTATE_RUN), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(pin.State(), KSSTATE_ACQUIRE);
}

// Linear byte k of the client's stream sits at k mod the buffer size;
// bytes past what the client gave are silence.
void ExpectBufferHolds(const uint8_t* buffer, const std::vector<uint8_t>& client, uint64_t first,
                       uint64_t end) {
    for (uint64_t k = first; k < end; ++k) {
        uint8_t expected = k < client.size() ? client[k] : 0;
        ASSERT_EQ(buffer[k % kBufferSize], expected) << "linear byte " << k;
    }
}

std::vector<uint8_t> Pattern(size_t n, unsigned seed) {
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n; ++i) out[i] = uint8_t((i * 131 + seed) % 251);
    return out;
}

TEST_F(WavePinTest, RenderWritesAheadOfThePositionAcrossTheWrapThenSilence) {
    Start();
    std::vector<uint8_t> connect = Connect();
    sim::WavePin pin;
    ASSERT_EQ(pin.Open(port_, 0, connect.data(), ULONG(connect.size())), STATUS_SUCCESS);
    FakeStream* stream = Stream(pin);
    std::vector<uint8_t> client = Pattern(20000, 7);
    pin.QueueRender(client.data(), client.size());

    // The prefill before RUN: [0, lead) from position 0; the rest untouched.
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ExpectBufferHolds(stream->Buffer(), client, 0, kLead);
    EXPECT_EQ(stream->Buffer()[kLead], 0xEE);

    // Each step: the device position (never more than the lead past what
    // was written), then the linear byte count it stands for.
    struct Step {
        ULONG position;
        uint64_t played;
    } steps[] = {{3000, 3000},  {6600, 6600},  {9500, 9500},
                 {3000, 12600}, {6500, 16100}, {9000, 18600}};
    uint64_t written = kLead;
    for (const Step& s : steps) {
        stream->SetPosition(s.position);
        stream->Notify();
        sim::Settle();
        ExpectBufferHolds(stream->Buffer(), client, written, s.played + kLead);
        EXPECT_EQ(stream->CopyIrql(), DISPATCH_LEVEL);
        written = s.played + kLead;
    }
    // The client ran out at 20000: the remaining 2440 bytes are silence.
    EXPECT_EQ(pin.SilenceBytes(), 18600u + kLead - 20000u);
    EXPECT_EQ(pin.QueuedRenderBytes(), 0u);
    EXPECT_EQ(pin.ServiceCount(), 7u);  // the prefill and one pass per notification
}

// Positions inside a frame (4 bytes here): the pin writes up to the last
// whole frame before position + lead, and, when the device has passed what
// was written, starts again at the next whole frame with the part frame
// silent. The client's frames stay on the buffer's frame boundaries.
TEST_F(WavePinTest, RenderWritesWholeFramesWhenThePositionFallsInsideAFrame) {
    Start();
    std::vector<uint8_t> connect = Connect();
    sim::WavePin pin;
    ASSERT_EQ(pin.Open(port_, 0, connect.data(), ULONG(connect.size())), STATUS_SUCCESS);
    FakeStream* stream = Stream(pin);
    std::vector<uint8_t> client = Pattern(20000, 3);
    pin.QueueRender(client.data(), client.size());
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);

    // Up to 1001 + lead, rounded down to a frame: client bytes [0, 4840).
    stream->SetPosition(1001);
    stream->Notify();
    sim::Settle();
    EXPECT_EQ(pin.QueuedRenderBytes(), client.size() - 4840);
    ExpectBufferHolds(stream->Buffer(), client, 0, 4840);

    // Past what was written, inside a frame: bytes 6002 and 6003 go silent
    // and the client's next frame starts at 6004.
    stream->SetPosition(6002);
    stream->Notify();
    sim::Settle();
    const uint8_t* buffer = stream->Buffer();
    EXPECT_EQ(buffer[6002], 0);
    EXPECT_EQ(buffer[6003], 0);
    EXPECT_EQ(std::memcmp(buffer + 6004, client.data() + 4840, kBufferSize - 6004), 0)
        << "the client's frames moved off the buffer's frame boundaries";
    EXPECT_EQ(pin.QueuedRenderBytes() % 4, 0u);
}

TEST_F(WavePinTest, CaptureReadsUpToThePositionAcrossTheWrap) {
    Start(true);
    std::vector<uint8_t> connect = Connect();
    sim::WavePin pin;
    ASSERT_EQ(pin.Open(port_, 0, connect.data(), ULONG(connect.size())), STATUS_SUCCESS);
    ASSERT_TRUE(pin.IsCapture());
    FakeStream* stream = Stream(pin);
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);

    std::vector<uint8_t> device = Pattern(12600, 3);
    uint64_t delivered = 0;
    for (uint64_t upTo : {6000u, 12600u}) {
        for (; delivered < upTo; ++delivered)
            stream->Buffer()[delivered % kBufferSize] = device[delivered];
        stream->SetPosition(ULONG(upTo % kBufferSize));
        stream->Notify();
        sim::Settle();
    }
    EXPECT_EQ(pin.TakeCaptured(), device);
    EXPECT_EQ(stream->CopyIrql(), DISPATCH_LEVEL);
}

TEST_F(WavePinTest, AnOpenPinKeepsTheMiniportOfAnUnregisteredSubdevice) {
    Start();
    std::vector<uint8_t> connect = Connect();
    sim::WavePin pin;
    ASSERT_EQ(pin.Open(port_, 0, connect.data(), ULONG(connect.size())), STATUS_SUCCESS);
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    PUNREGISTERSUBDEVICE unregister = nullptr;
    ASSERT_EQ(
        port_->QueryInterface(IID_IUnregisterSubdevice, reinterpret_cast<PVOID*>(&unregister)),
        STATUS_SUCCESS);
    ASSERT_EQ(unregister->UnregisterSubdevice(Fdo(), port_), STATUS_SUCCESS);
    EXPECT_EQ(LiveMiniports(), 1);
    // Nothing new opens on it.
    sim::WavePin other;
    EXPECT_EQ(other.Open(port_, 0, connect.data(), ULONG(connect.size())),
              STATUS_INVALID_DEVICE_STATE);
    Stream(pin)->Notify();  // a service pass may still be queued at the close
    pin.Close();
    unregister->Release();
    sim::Settle();
    EXPECT_EQ(LiveMiniports(), 0);
}

}  // namespace
}  // namespace pctest
