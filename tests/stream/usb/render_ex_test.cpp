// The remapped family's render stream on a simulated stereo speaker: what
// every successful Open writes into the codec's register 0 (rate code and
// non-audio bit, through a recording stand-in for the model), nothing for
// an Open that fails, and the constructor's ten frames per transfer.
#include "stream/usb/usb_render_stream_ex.h"
#include "tests/stream/usb/stream_fixture.h"

namespace streamtest {
namespace {

struct Write {
    ULONG index;
    USHORT value, mask;
    bool operator==(const Write& o) const { return index == o.index && value == o.value && mask == o.mask; }
};
void PrintTo(const Write& w, std::ostream* os) { *os << "{" << w.index << ", " << w.value << ", " << w.mask << "}"; }

struct RecordingRegisters : IChipRegisters {
    NTSTATUS WriteChipRegister(ULONG index, USHORT value, USHORT mask) override {
        writes.push_back({index, value, mask});
        return result;
    }
    std::vector<Write> writes;
    NTSTATUS result = STATUS_SUCCESS;
};

const GUID kAc3 = {0x00000092, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};

WAVEFORMATEXTENSIBLE Ac3(ULONG rate) {
    WAVEFORMATEXTENSIBLE f = PcmFormat(2, rate, 16);
    f.SubFormat = kAc3;
    return f;
}

// A plain WAVEFORMATEX of the tag (cbSize 0).
WAVEFORMATEXTENSIBLE Plain(USHORT tag, ULONG rate) {
    WAVEFORMATEXTENSIBLE f = PcmFormat(2, rate, 16);
    f.Format.wFormatTag = tag;
    f.Format.cbSize = 0;
    return f;
}

class RenderExTest : public UsbStreamTest {
protected:
    Uac1DeviceSpec DeviceSpec() override {
        Uac1DeviceSpec spec;
        spec.rates = {48000, 44100, 32000};
        return spec;
    }
    CUsbRenderStreamEx* MakeEx(const std::vector<FormatAlt>& formats) {
        auto* stream = new (NonPagedPoolNx, UAC1_STREAM_TAG) CUsbRenderStreamEx(NULL, kRenderInterface, 1);
        stream->AddRef();
        streams_.push_back(stream);
        EXPECT_EQ(stream->Init(0, static_cast<IAudioHal*>(model_), &registers_), STATUS_SUCCESS);
        for (const FormatAlt& f : formats) EXPECT_EQ(stream->AddFormat(&f.format, f.alternate), STATUS_SUCCESS);
        EXPECT_EQ(stream->AllocateBuffers(), STATUS_SUCCESS);
        return stream;
    }
    RecordingRegisters registers_;
};

struct OpenCase {
    const char* name;
    WAVEFORMATEXTENSIBLE format;
    std::vector<Write> writes;
};
void PrintTo(const OpenCase& c, std::ostream* os) { *os << c.name; }

class RenderExOpenTest : public RenderExTest, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(RenderExOpenTest, OpenWritesRateAndNonAudio) {
    const OpenCase& c = GetParam();
    CUsbRenderStreamEx* stream = MakeEx({{c.format, kAltStreaming}});
    RecordingClient client("wave");
    ASSERT_EQ(client.Register(stream, CYCLIC_CLIENT_WAVE, c.format, 10, 3), STATUS_SUCCESS);
    ULONG frames = 0, frame = 0;
    ASSERT_EQ(stream->ClientAcquire(client.Handle(), &frames, &frame), STATUS_SUCCESS);
    EXPECT_EQ(registers_.writes, c.writes);
    EXPECT_EQ(stream->ClientRelease(client.Handle()), STATUS_SUCCESS);
    EXPECT_EQ(stream->UnregisterClient(client.Handle()), STATUS_SUCCESS);
    // Closing leaves the register as it is.
    EXPECT_EQ(registers_.writes, c.writes);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RenderExOpenTest,
    ::testing::Values(OpenCase{"Pcm44100", PcmFormat(2, 44100, 16), {{0, 0x0000, 0x7000}, {0, 0, 2}}},
                      OpenCase{"Ac3At48000", Ac3(48000), {{0, 0x2000, 0x7000}, {0, 2, 2}}},
                      OpenCase{"Pcm32000HasNoRateCode", PcmFormat(2, 32000, 16), {{0, 0, 2}}},
                      // A plain tag decides the bit as well: AC-3 reaches the
                      // stream only this way through the wave filter.
                      OpenCase{"PlainAc3", Plain(0x0092, 48000), {{0, 0x2000, 0x7000}, {0, 2, 2}}},
                      OpenCase{"PlainPcm", Plain(WAVE_FORMAT_PCM, 44100), {{0, 0x0000, 0x7000}, {0, 0, 2}}}),
    [](const ::testing::TestParamInfo<OpenCase>& info) { return std::string(info.param.name); });

TEST_F(RenderExTest, FailedOpenWritesNothing) {
    const WAVEFORMATEXTENSIBLE format = PcmFormat(2, 48000, 16);
    CUsbRenderStreamEx* stream = MakeEx({{format, kAltStreaming}});
    simusb::ControlRule rule;
    rule.bRequest = USB_REQUEST_SET_INTERFACE;
    device().AddControlRule(rule);
    RecordingClient client("wave");
    ASSERT_EQ(client.Register(stream, CYCLIC_CLIENT_WAVE, format, 10, 3), STATUS_SUCCESS);
    ULONG frames = 0, frame = 0;
    EXPECT_FALSE(NT_SUCCESS(stream->ClientAcquire(client.Handle(), &frames, &frame)));
    EXPECT_TRUE(registers_.writes.empty());
    EXPECT_EQ(stream->UnregisterClient(client.Handle()), STATUS_SUCCESS);
}

TEST_F(RenderExTest, StreamsTenFramesPerTransfer) {
    CUsbRenderStreamEx* stream = MakeEx({{PcmFormat(2, 48000, 16), kAltStreaming}});
    EXPECT_EQ(stream->FramesPerTransfer(), 10u);
}

}  // namespace
}  // namespace streamtest
