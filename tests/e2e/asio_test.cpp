// The private low-latency interface end to end: Windows plays a seeded WAV
// through the render wave filter while a user-mode ASIO driver in a
// process of its own (64- or 32-bit) sets its rate and sample type, opens
// the interface again (a type takes effect at a close), creates buffers
// for every channel, starts, keeps its mapped render ring a lead ahead of
// the kernel on every buffer-switch event, reads its capture ring, stops
// and lets go. The device hears Windows' audio, then the ASIO signal
// bit-exact and unbroken, then Windows' audio again, in one stretch to its
// end, and never an ASIO sample after the hand-back; the capture ring holds
// the device's ramp. Rows run ASIO and Windows at the same and at different
// rates.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>
#include <string>
#include <unordered_set>

#include "platform/usb/descriptor_file.h"
#include "sim/iomgr.h"
#include "tests/e2e/asio_device.h"
#include "tests/e2e/e2e_fixture.h"
#include "tests/fakes/stream/formats.h"
#include "tests/stream/asio/asio_client.h"
#include "tools/host/host_stream.h"

namespace e2etest {
namespace {

enum class Fixture {
    Headset16,  // (i) stereo out, mono in, 16-bit
    Stereo24,   // (ii) stereo out and in, 24-bit in 3-byte subframes
    Uac2Dsd,    // (iii) class 2.0 stereo out: 16-bit PCM, and DSD in 8-byte subslots
};

struct AsioRow {
    const char* name;
    Fixture fixture;
    bool is32Bit;
    ULONG rate;        // the ASIO driver's
    ULONG sampleType;  // ASIOSTInt16LSB or ASIOSTInt24LSB
    ULONG bufferFrames;
    ULONG windowsRate;
    ULONG inputLatency, outputLatency;  // frames, at the default 20 ms index
    bool capture;  // inputs requested too (the capture pin signals), else outputs only
    ULONG ioFormat;  // ASIO_IO_FORMAT_PCM, or ASIO_IO_FORMAT_DSD (rate: the DSD bit rate)
};

// Latencies worked by hand: 20 ms of frames in, twice that out.
const AsioRow kRows[] = {
    {"Frames256At48k", Fixture::Headset16, false, 48000, ASIOSTInt16LSB, 256, 48000, 960, 1920, true, ASIO_IO_FORMAT_PCM},
    {"OutputsOnlyFrames256At48k", Fixture::Headset16, false, 48000, ASIOSTInt16LSB, 256, 48000, 960, 1920, false, ASIO_IO_FORMAT_PCM},
    {"Frames96At48k", Fixture::Headset16, false, 48000, ASIOSTInt16LSB, 96, 48000, 960, 1920, true, ASIO_IO_FORMAT_PCM},
    {"Frames1024At44k1Type17", Fixture::Stereo24, false, 44100, ASIOSTInt24LSB, 1024, 44100, 880, 1760, true, ASIO_IO_FORMAT_PCM},
    {"Process32BitFrames256", Fixture::Headset16, true, 48000, ASIOSTInt16LSB, 256, 48000, 960, 1920, true, ASIO_IO_FORMAT_PCM},
    {"Frames256At44k1Windows48k", Fixture::Headset16, false, 44100, ASIOSTInt16LSB, 256, 48000, 880, 1760, true,
     ASIO_IO_FORMAT_PCM},
    {"Frames256At48kWindows44k1", Fixture::Headset16, false, 48000, ASIOSTInt16LSB, 256, 44100, 960, 1920, true,
     ASIO_IO_FORMAT_PCM},
};

// The transfer geometry of a row's buffer size (1 ms USB frames): 2 to 7
// ms one frame per transfer, longer buffers 2, 4 or 5 frames per transfer.
// A DSD frame is one 64-bit word per channel.
bool IsDsd(const AsioRow& row) { return row.ioFormat == ASIO_IO_FORMAT_DSD; }
ULONG FramesPerSecond(const AsioRow& row) { return IsDsd(row) ? row.rate / 64 : row.rate; }
ULONG BufferMs(const AsioRow& row) { return std::max<ULONG>(2, row.bufferFrames / (FramesPerSecond(row) / 1000)); }
ULONG FramesPerTransfer(const AsioRow& row) {
    const ULONG ms = BufferMs(row);
    return ms < 8 ? 1 : ms < 16 ? 2 : ms < 20 ? 4 : 5;
}
ULONG RegisteredTransfers(const AsioRow& row) {
    const ULONG n = std::min<ULONG>(BufferMs(row) / FramesPerTransfer(row), 5);
    return n == 2 ? 2 : n - 1;
}

size_t RenderFrameBytes(Fixture f) { return f == Fixture::Headset16 ? 4 : 6; }
ULONG SubframeBytes(Fixture f) { return f == Fixture::Headset16 ? 2 : 3; }
ULONG CaptureChannels(Fixture f) { return f == Fixture::Headset16 ? 1 : 2; }
// The bytes of one frame in the ASIO driver's render ring.
size_t AsioFrameBytes(const AsioRow& row) { return IsDsd(row) ? 16 : RenderFrameBytes(row.fixture); }

// The ASIO driver's signal: frame f, distinct per channel and never
// silent, as a little-endian value of `frameBytes` bytes.
uint64_t SignalFrame(uint64_t frame, size_t frameBytes) {
    uint64_t x = (frame + 0x9E3779B97F4A7C15ull) * 0xBF58476D1CE4E5B9ull;
    x ^= x >> 31;
    x *= 0x94D049BB133111EBull;
    x ^= x >> 29;
    const uint64_t mask = frameBytes >= 8 ? ~0ull : (1ull << (8 * frameBytes)) - 1;
    return (x & mask) | 1;
}
// Byte k of the signal in units of a frame, or of one channel's 64-bit
// word where a frame is wider (DSD).
UCHAR SignalByte(uint64_t k, size_t frameBytes) {
    const size_t unit = std::min<size_t>(frameBytes, 8);
    return (UCHAR)(SignalFrame(k / unit, unit) >> (8 * (k % unit)));
}

std::vector<uint64_t> Frames(const std::vector<uint8_t>& bytes, size_t frameBytes) {
    std::vector<uint64_t> frames(bytes.size() / frameBytes, 0);
    for (size_t i = 0; i < frames.size(); ++i) std::memcpy(&frames[i], bytes.data() + i * frameBytes, frameBytes);
    return frames;
}

// What the ASIO driver did and saw.
struct AsioRun {
    NTSTATUS open = STATUS_PENDING, create = STATUS_PENDING, start = STATUS_PENDING;
    NTSTATUS stop = STATUS_PENDING, dispose = STATUS_PENDING, close = STATUS_PENDING;
    std::vector<ULONG> latencies, channels;
    ULONG switches = 0;
    ULONG leadBytes = 0;
    uint64_t consumedFrames = 0;
    std::vector<LONGLONG> writeTimes;  // per signal frame: when it entered the ring
    std::vector<uint8_t> captured;     // capture ring bytes in the order the kernel wrote them
    // The distinct byte values of the render ring after creation and after
    // the stop.
    std::set<uint8_t> createdRing, stoppedRing;
};

std::set<uint8_t> RingBytes(const ASIO_BUFFER* header) {
    const UCHAR* ring = reinterpret_cast<const UCHAR*>(header + 1);
    return std::set<uint8_t>(ring, ring + header->Size);
}

// The user-mode driver: waits `delay`, takes the endpoints for `switches`
// buffer switches, then lets them go.
class AsioDriver {
public:
    AsioDriver(const std::u16string& link, const AsioRow& row)
        : m_Link(link), m_Row(row), m_Process(row.is32Bit), m_Client(m_Process) {}

    void Run(LONGLONG delay, ULONG switches, AsioRun* run) {
        sim::Sleep(delay);
        if ((run->open = Configure()) != STATUS_SUCCESS) return;
        run->latencies = m_Client.Get(IOCTL_ASIO_GET_LATENCIES, 2);
        run->channels = m_Client.Get(IOCTL_ASIO_GET_CHANNELS, 4);
        std::vector<asiotest::Channel> all;
        for (ULONG c = 0; c < run->channels[1]; ++c) all.push_back({0, c});
        for (ULONG c = 0; m_Row.capture && c < run->channels[2]; ++c) all.push_back({1, c});
        run->create = m_Client.CreateBuffers(all, m_Row.bufferFrames, run->channels[0]);
        ASIO_BUFFER* render = Pin(0);
        ASIO_BUFFER* capture = Pin(1);
        if (render != nullptr) run->createdRing = RingBytes(render);
        if (run->create == STATUS_SUCCESS && render != nullptr && (capture != nullptr || !m_Row.capture) &&
            (run->start = m_Client.Start()) == STATUS_SUCCESS) {
            Stream(render, capture, switches, run);
            run->stop = m_Client.Stop();
            run->stoppedRing = RingBytes(render);
        }
        run->dispose = m_Client.Dispose();
        run->close = m_Client.Close();
    }

private:
    // Rate and type set, then a new handle: the type is in effect from the
    // close of the first. The I/O format belongs to a handle: DSD is asked
    // for on both, before the rate (a DSD rate needs it).
    NTSTATUS Configure() {
        NTSTATUS status = m_Client.Open(m_Link);
        if (status != STATUS_SUCCESS) return status;
        if (IsDsd(m_Row) && (status = m_Client.Set(IOCTL_ASIO_SET_IO_FORMAT, m_Row.ioFormat)) != STATUS_SUCCESS)
            return status;
        if ((status = m_Client.Set(IOCTL_ASIO_SET_SAMPLE_RATE, m_Row.rate)) != STATUS_SUCCESS) return status;
        if ((status = m_Client.Set(IOCTL_ASIO_SET_SAMPLE_TYPE, m_Row.sampleType)) != STATUS_SUCCESS) return status;
        if ((status = m_Client.Close()) != STATUS_SUCCESS) return status;
        if ((status = m_Client.Open(m_Link)) != STATUS_SUCCESS) return status;
        return IsDsd(m_Row) ? m_Client.Set(IOCTL_ASIO_SET_IO_FORMAT, m_Row.ioFormat) : STATUS_SUCCESS;
    }

    ASIO_BUFFER* Pin(ULONG isInput) {
        for (size_t pin = 0; pin < m_Client.Addresses().size(); ++pin) {
            ASIO_BUFFER* h = m_Client.Header(pin);
            if (h != nullptr && h->Selected && h->IsInput == isInput) return h;
        }
        return nullptr;
    }

    // Keeps the render ring `lead` bytes (the transfers in flight and one
    // more) ahead of the kernel's position and collects what the kernel
    // wrote into the capture ring since the last switch.
    void Stream(ASIO_BUFFER* render, ASIO_BUFFER* capture, ULONG switches, AsioRun* run) {
        const size_t frameBytes = AsioFrameBytes(m_Row);
        UCHAR* ring = reinterpret_cast<UCHAR*>(render + 1);
        const ULONG size = render->Size;
        const ULONG transferBytes = render->RingBytes / std::max<ULONG>(1, Registered());
        run->leadBytes = std::min(size, render->RingBytes + transferBytes);
        const ULONG start = render->Position;
        ULONG last = start;
        uint64_t read = 0, written = 0;
        auto fill = [&] {
            for (; written < read + run->leadBytes; ++written) {
                if (written % frameBytes == 0) run->writeTimes.push_back(sim::Now());
                ring[(start + written) % size] = SignalByte(written, frameBytes);
            }
        };
        const UCHAR* captureRing = capture != nullptr ? reinterpret_cast<const UCHAR*>(capture + 1) : nullptr;
        const ULONG captureSize = capture != nullptr ? capture->Size : 0;
        ULONG captureLast = capture != nullptr ? capture->Position : 0;
        auto collect = [&] {
            if (capture == nullptr) return;
            const ULONG position = capture->Position;
            for (; captureLast != position; captureLast = (captureLast + 1) % captureSize)
                run->captured.push_back(captureRing[captureLast]);
        };
        fill();
        PKEVENT event = m_Process.EventObject(m_Client.SwitchEvent());
        LARGE_INTEGER timeout;
        timeout.QuadPart = -100 * sim::kTicksPerMillisecond;
        while (run->switches < switches) {
            if (KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &timeout) != STATUS_SUCCESS) break;
            ++run->switches;
            const ULONG position = render->Position;
            read += (position + size - last) % size;
            last = position;
            fill();
            collect();
        }
        run->consumedFrames = read / frameBytes;
    }

    ULONG Registered() const { return RegisteredTransfers(m_Row); }

    std::u16string m_Link;
    AsioRow m_Row;
    sim::UserProcess m_Process;
    asiotest::AsioClient m_Client;
};

simusb::DescriptorSet Stereo24Device() {
    simusb::DescriptorSet set = simusb::BuildUac1Headset();
    simusb::ConfigBuilder c;
    const USHORT mute = 0x0001, volume = 0x0002;
    c.Configuration()
        .Interface(0, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOCONTROL, 0)
        .Uac1Header({1, 2})
        .Uac1InputTerminal(1, simusb::UAC_TERMINAL_USB_STREAMING, 2, 0x0003)
        .Uac1FeatureUnit(2, 1, 1, {mute, volume, volume})
        .Uac1OutputTerminal(3, simusb::UAC_TERMINAL_HEADPHONES, 2)
        .Uac1InputTerminal(4, simusb::UAC_TERMINAL_LINE_CONNECTOR, 2, 0x0003)
        .Uac1FeatureUnit(5, 4, 1, {mute | volume, 0, 0})
        .Uac1OutputTerminal(6, simusb::UAC_TERMINAL_USB_STREAMING, 5)
        .AudioEndpoint(0x83, USB_ENDPOINT_TYPE_INTERRUPT, 2, 32)
        // 49 frames of 6 bytes fit 44.1 and 48 kHz.
        .Interface(1, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, 0)
        .Interface(1, 1, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, 0)
        .Uac1AsGeneral(1, 1, 0x0001)
        .Uac1FormatTypeI(2, 3, 24, {48000, 44100})
        .AudioEndpoint(0x01, USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ADAPTIVE, 294, 1)
        .Uac1IsoEndpoint(0x01)
        .Interface(2, 0, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, 0)
        .Interface(2, 1, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, 0)
        .Uac1AsGeneral(6, 1, 0x0001)
        .Uac1FormatTypeI(2, 3, 24, {48000, 44100})
        .AudioEndpoint(0x82, USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ASYNCHRONOUS, 294, 1)
        .Uac1IsoEndpoint(0x01);
    set.configuration = c.Build();
    return set;
}

// A class 2.0 full-speed device with one asynchronous render interface:
// alternate 1 16-bit stereo PCM, alternate 2 stereo DSD, one 64-bit word
// per channel in 8-byte subslots; clock source 10 at 44.1 or 48 kHz (DSD
// 2,822,400 or 3,072,000 bits per second). No capture: every ASIO pin must
// offer DSD for the DSD mode.
simusb::DescriptorSet Uac2DsdDevice() {
    using simusb::ConfigBuilder;
    const UCHAR kAudio = USB_DEVICE_CLASS_AUDIO, kAs = USB_AUDIO_SUBCLASS_AUDIOSTREAMING;
    const UCHAR kV2 = USB_AUDIO_PROTOCOL_2_0;
    const UCHAR kIsoAsync = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_SYNC_ASYNCHRONOUS;
    const UCHAR kFeedback = USB_ENDPOINT_TYPE_ISOCHRONOUS | USB_ENDPOINT_USAGE_FEEDBACK;
    constexpr USHORT kFramesPerPacket = 50;  // 48 kHz with an asynchronous stream's slack
    ConfigBuilder c;
    c.Configuration()
        .Interface(0, 0, kAudio, USB_AUDIO_SUBCLASS_AUDIOCONTROL, kV2)
        .Uac2Header(0x0A)
        .Uac2ClockSource(10, 0x03, 0x07)
        .Uac2InputTerminal(1, simusb::UAC_TERMINAL_USB_STREAMING, 10, 2, 0x3)
        .Uac2FeatureUnit(2, 1, {0x0F, 0x0C, 0x0C})
        .Uac2OutputTerminal(3, simusb::UAC_TERMINAL_HEADPHONES, 2, 10)
        .Interface(1, 0, kAudio, kAs, kV2)
        .Interface(1, 1, kAudio, kAs, kV2)
        .Uac2AsGeneral(1, 0x05, UAC_FORMAT_TYPE_I, 0x00000001, 2, 0x3)
        .Uac2FormatTypeI(2, 16)
        .Endpoint(0x01, kIsoAsync, kFramesPerPacket * 4, 1)
        .Uac2IsoEndpoint()
        .Endpoint(0x81, kFeedback, 3, 1)
        .Interface(1, 2, kAudio, kAs, kV2)
        .Uac2AsGeneral(1, 0x05, UAC_FORMAT_TYPE_I, 0x80000000, 2, 0x3)
        .Uac2FormatTypeI(8, 64)
        .Endpoint(0x01, kIsoAsync, kFramesPerPacket * 16, 1)
        .Uac2IsoEndpoint()
        .Endpoint(0x81, kFeedback, 3, 1);
    simusb::DeviceFields d;
    d.bcdUSB = 0x0200;
    d.idVendor = simusb::kSimVendorId;
    d.idProduct = 0x7A31;
    simusb::DescriptorSet set;
    set.device = simusb::BuildDeviceDescriptor(d);
    set.configuration = c.Build();
    set.strings[0] = simusb::BuildLanguageIds({0x0409});
    set.clocks[10] = {{44100, 44100, 0}, {48000, 48000, 0}};
    return set;
}

class AsioEndToEndTest : public E2eTest, public ::testing::WithParamInterface<AsioRow> {
protected:
    // The class 1.0 devices with the ASIO words: string 0x50 "XRW4QN",
    // register A 0x0E, register B 0; the class 2.0 device has them by
    // default.
    void StartAsioDevice(Fixture fixture) {
        simusb::DescriptorSet set = fixture == Fixture::Headset16 ? simusb::BuildUac1Headset()
                                    : fixture == Fixture::Stereo24 ? Stereo24Device()
                                                                   : Uac2DsdDevice();
        if (fixture != Fixture::Uac2Dsd) set.strings[0x50] = simusb::BuildStringDescriptor(u"XRW4QN");
        ASSERT_NO_FATAL_FAILURE(e2etest::StartAsioDevice(session_, set, "asio_device.txt"));
        // The start's own requests (the class 2.0 parser tries each DSD
        // rate on the clock) are not the streams'.
        Session().Device().ClearRequestLog();
    }
    std::u16string AsioLink() {
        const std::u16string link = FindAsioLink();
        if (link.empty()) ADD_FAILURE() << "no ASIO interface";
        return link;
    }
    // The sampling frequencies the driver set on the render endpoint (class
    // 1.0) or on clock source 10 (class 2.0), in order, without repeats.
    std::vector<ULONG> RenderRates() {
        std::vector<ULONG> rates;
        for (const simusb::ControlLogEntry& e : Session().Device().RequestLog()) {
            const bool endpoint = e.setup.bmRequestType == 0x22 && e.setup.wIndex == 0x01 && e.data.size() == 3;
            const bool clock = e.setup.bmRequestType == 0x21 && e.setup.wIndex == 0x0A00 && e.data.size() == 4;
            if (!(endpoint || clock) || e.setup.bRequest != 0x01 || e.setup.wValue != 0x0100) continue;
            ULONG rate = 0;
            for (size_t i = 0; i < e.data.size(); ++i) rate |= (ULONG)e.data[i] << (8 * i);
            if (rates.empty() || rates.back() != rate) rates.push_back(rate);
        }
        return rates;
    }
};

std::vector<uint8_t> SeededNoise(size_t bytes, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> noise(bytes);
    for (uint8_t& b : noise) b = (uint8_t)random();
    return noise;
}

// Skips silent frames from *at and finds the first sound in wav (its index
// in *wavIndex); false at the end or when the frame is not in wav.
bool FindInWav(const std::vector<uint64_t>& frames, const std::vector<uint64_t>& wav, size_t* at,
               size_t* wavIndex) {
    while (*at < frames.size() && frames[*at] == 0) ++*at;
    if (*at >= frames.size()) return false;
    for (size_t i = 0; i < wav.size(); ++i)
        if (wav[i] == frames[*at]) {
            *wavIndex = i;
            return true;
        }
    return false;
}

size_t MatchingRun(const std::vector<uint64_t>& frames, size_t at, const std::vector<uint64_t>& wav, size_t from) {
    size_t n = 0;
    while (at + n < frames.size() && from + n < wav.size() && frames[at + n] == wav[from + n]) ++n;
    return n;
}

// The device's timeline: one packet per 1 ms USB frame while a stream runs
// (the pause while the stream changes its rate is not on it), silent
// packets included.
struct Packets {
    std::vector<size_t> starts;  // each packet's first byte in the received bytes
    void Add(size_t start) { starts.push_back(start); }
    // The frames of `rate` played before byte b: its packet's place on the
    // timeline and its frames of `frameBytes` in that packet, rounded.
    LONGLONG Played(size_t b, ULONG rate, size_t frameBytes) const {
        const size_t k = (size_t)(std::upper_bound(starts.begin(), starts.end(), b) - starts.begin()) - 1;
        return ((LONGLONG)k * rate + 500) / 1000 + (LONGLONG)((b - starts[k]) / frameBytes);
    }
};

// A stretch of Windows' audio as the device played it: its first frame
// among the received frames and in the WAV, its length, and its place on
// the device's timeline (the WAV index less the frames of Windows' rate
// played by then): audio that keeps its place keeps that number, a jump
// by n frames forward skips n, one back repeats them.
struct Stretch {
    size_t at, wavIndex, frames;
    LONGLONG place;
};

bool IsSilence(uint64_t frame) { return frame == 0 || frame == 0x69696969ull || frame == 0x96969696ull; }

// Windows' audio in frames[from, end): its stretches in order, and false at a
// frame that is neither silence nor from the WAV (at *stop).
bool WindowsStretches(const std::vector<uint64_t>& frames, size_t from, const std::vector<uint64_t>& wav,
                      const Packets& packets, ULONG rate, size_t frameBytes, std::vector<Stretch>* out,
                      size_t* stop) {
    size_t at = from;
    while (at < frames.size()) {
        if (IsSilence(frames[at])) {
            ++at;
            continue;
        }
        size_t wavIndex = 0;
        if (!FindInWav(frames, wav, &at, &wavIndex)) {
            *stop = at;
            return false;
        }
        const size_t n = MatchingRun(frames, at, wav, wavIndex);
        out->push_back({at, wavIndex, n, (LONGLONG)wavIndex - packets.Played(at * frameBytes, rate, frameBytes)});
        at += n;
    }
    *stop = at;
    return true;
}

// Windows' audio before the ASIO signal (`before` frames from `at`, the
// WAV's start) and after it (from `from`): its stretches.
std::vector<Stretch> WindowsAroundTheAsioSignal(const std::vector<uint64_t>& frames, size_t at, size_t before,
                                                size_t from, const std::vector<uint64_t>& wav, const Packets& packets,
                                                ULONG rate, size_t frameBytes) {
    std::vector<Stretch> stretches{{at, 0, before, -packets.Played(at * frameBytes, rate, frameBytes)}};
    size_t stop = 0;
    WindowsStretches(frames, from, wav, packets, rate, frameBytes, &stretches, &stop);
    return stretches;
}

// The largest jump of Windows' audio between its stretches, in frames.
LONGLONG LargestJump(const std::vector<Stretch>& stretches) {
    LONGLONG largest = 0;
    for (size_t k = 1; k < stretches.size(); ++k)
        largest = std::max<LONGLONG>(largest, std::llabs(stretches[k].place - stretches[k - 1].place));
    return largest;
}

std::string Describe(const std::vector<Stretch>& stretches) {
    std::string text;
    for (const Stretch& s : stretches)
        text += "[at " + std::to_string(s.at) + " wav " + std::to_string(s.wavIndex) + " x" +
                std::to_string(s.frames) + " place " + std::to_string(s.place) + "] ";
    return text;
}

// Windows' audio resumes after the hand-back in one stretch to the WAV's
// end: none of it is played twice or skipped once it is back. Its largest
// jump on the device's timeline is kept in the test's record.
void ExpectOneStretchAfterTheHandBack(const std::vector<Stretch>& stretches) {
    ASSERT_FALSE(stretches.empty());
    EXPECT_EQ(stretches.size(), 2u) << "Windows' audio after the hand-back: " << Describe(stretches);
    ::testing::Test::RecordProperty("HandBackJumpFrames", std::to_string(LargestJump(stretches)));
}

// The capture bytes are the device's ramp without a break: channel 0
// counts up by one per frame, channel c runs c x 0x1000 above it, each a
// 16-bit value left-aligned in its subframe.
void ExpectUnbrokenRamp(const std::vector<uint8_t>& bytes, ULONG channels, ULONG subframe) {
    const size_t frameBytes = channels * subframe;
    ASSERT_GT(bytes.size(), frameBytes * 100) << "capture ran";
    auto sample = [&](size_t frame, ULONG c) {
        const uint8_t* at = bytes.data() + frame * frameBytes + c * subframe + (subframe - 2);
        return (uint16_t)(at[0] | (at[1] << 8));
    };
    for (size_t f = 0; f < bytes.size() / frameBytes; ++f) {
        for (ULONG c = 1; c < channels; ++c) {
            ASSERT_EQ(sample(f, c), (uint16_t)(sample(f, 0) + c * 0x1000)) << "frame " << f << " channel " << c;
        }
        if (f == 0) continue;
        ASSERT_EQ(sample(f, 0), (uint16_t)(sample(f - 1, 0) + 1)) << "the ramp broke at frame " << f;
    }
}

TEST_P(AsioEndToEndTest, WindowsThenTheAsioSignalBitExactThenWindowsAgain) {
    const AsioRow& row = GetParam();
    ASSERT_NO_FATAL_FAILURE(StartAsioDevice(row.fixture));
    const std::u16string link = AsioLink();
    ASSERT_FALSE(link.empty());
    const size_t frameBytes = RenderFrameBytes(row.fixture);
    const WAVEFORMATEXTENSIBLE format =
        streamfakes::PcmFormat(2, row.windowsRate, (USHORT)(8 * SubframeBytes(row.fixture)));
    const std::vector<uint8_t> played = SeededNoise(row.windowsRate * 3 / 2 * frameBytes, 7);

    const ULONG switches = 300 / FramesPerTransfer(row);
    AsioRun run;
    std::vector<uint8_t> received;
    std::vector<LONGLONG> arrivals;  // per received frame: when it reached the device
    Packets packets;
    {
        AsioDriver driver(link, row);
        // 300 ms of switches, one per transfer, well within the WAV.
        sim::TestThread thread("asio-driver", [&] { driver.Run(300 * kMs, switches, &run); });
        host::BytesSource source(played);
        auto sink = [&](const uint8_t* data, size_t bytes) {
            packets.Add(received.size());
            received.insert(received.end(), data, data + bytes);
            arrivals.resize(received.size() / frameBytes, sim::Now());
        };
        host::StreamRun play = host::Play(Session(), format, source, sink, nullptr);
        thread.Join();
        ASSERT_EQ(play.status, STATUS_SUCCESS) << play.error;
    }
    EXPECT_EQ(run.open, STATUS_SUCCESS);
    EXPECT_EQ(run.create, STATUS_SUCCESS);
    EXPECT_EQ(run.start, STATUS_SUCCESS);
    EXPECT_EQ(run.switches, switches);
    EXPECT_EQ(run.stop, STATUS_SUCCESS);
    EXPECT_EQ(run.dispose, STATUS_SUCCESS);
    EXPECT_EQ(run.close, STATUS_SUCCESS);
    EXPECT_EQ(run.latencies, (std::vector<ULONG>{row.inputLatency, row.outputLatency}));
    EXPECT_EQ(run.channels, (std::vector<ULONG>{2, 2, CaptureChannels(row.fixture), 0}));
    ASSERT_GT(run.consumedFrames, (uint64_t)row.rate / 10) << "the ASIO driver ran for 300 ms";
    const std::vector<ULONG> rates = row.rate == row.windowsRate
                                         ? std::vector<ULONG>{row.windowsRate}
                                         : std::vector<ULONG>{row.windowsRate, row.rate, row.windowsRate};
    EXPECT_EQ(RenderRates(), rates) << "the rate at take-over and hand-back";

    const std::vector<uint64_t> frames = Frames(received, frameBytes), wav = Frames(played, frameBytes);
    // Windows' audio from its first frame up to the take-over.
    size_t at = 0, wavIndex = 0;
    ASSERT_TRUE(FindInWav(frames, wav, &at, &wavIndex)) << "Windows' audio never arrived";
    EXPECT_EQ(wavIndex, 0u);
    const size_t before = MatchingRun(frames, at, wav, 0);
    EXPECT_GT(before, (size_t)row.windowsRate / 10) << "Windows' audio before the ASIO driver";
    // At most a few silent transfers while the stream changes hands, then
    // the ASIO signal from its first frame, without a gap, for every frame
    // the kernel took from the ring.
    size_t asioAt = at + before;
    while (asioAt < frames.size() && frames[asioAt] == 0) ++asioAt;
    const size_t handOver = (RegisteredTransfers(row) + 2) * FramesPerTransfer(row) * row.rate / 1000;
    EXPECT_LE(asioAt - (at + before), handOver) << "silence at the take-over";
    size_t asio = 0;
    while (asioAt + asio < frames.size() && asio < run.writeTimes.size() &&
           frames[asioAt + asio] == SignalFrame(asio, frameBytes))
        ++asio;
    EXPECT_GE(asio, run.consumedFrames) << "the ASIO signal broke off at frame " << asio << " of "
                                        << run.consumedFrames;
    // Write to wire: a frame enters the ring at most the lead ahead of the
    // kernel, then waits for its transfer and the transfers in flight.
    const LONGLONG bound = (LONGLONG)(run.leadBytes / frameBytes) * sim::kTicksPerSecond / row.rate + 30 * kMs;
    LONGLONG worst = 0;
    for (size_t f = 0; f < asio; ++f) worst = std::max(worst, arrivals[asioAt + f] - run.writeTimes[f]);
    EXPECT_LE(worst, bound) << "write-to-wire delay";
    RecordProperty("WriteToWireMaxUs", std::to_string(worst / 10));
    // After the hand-back no ASIO sample, old or new, reaches the device.
    std::unordered_set<uint64_t> signal;
    for (size_t f = 0; f < run.writeTimes.size(); ++f) signal.insert(SignalFrame(f, frameBytes));
    for (size_t f = asioAt + asio; f < frames.size(); ++f)
        ASSERT_EQ(signal.count(frames[f]), 0u) << "ASIO audio replayed at frame " << f << " after the hand-back";
    // Windows' audio again, later in the WAV, to its last frame: the rest
    // is stretches of the WAV in order, then the drain's silence.
    size_t after = asioAt + asio, wavEnd = before;
    while (FindInWav(frames, wav, &after, &wavIndex)) {
        EXPECT_GE(wavIndex, wavEnd) << "Windows' audio went back at frame " << after;
        const size_t n = MatchingRun(frames, after, wav, wavIndex);
        after += n;
        wavEnd = wavIndex + n;
    }
    EXPECT_EQ(after, frames.size()) << "neither Windows' audio nor silence at frame " << after;
    EXPECT_EQ(wavEnd, wav.size()) << "Windows' audio did not come back to its end";
    ExpectOneStretchAfterTheHandBack(
        WindowsAroundTheAsioSignal(frames, at, before, asioAt + asio, wav, packets, row.windowsRate, frameBytes));
    if (row.capture) {
        ExpectUnbrokenRamp(run.captured, CaptureChannels(row.fixture), SubframeBytes(row.fixture));
    } else {
        EXPECT_TRUE(run.captured.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, AsioEndToEndTest, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<AsioRow>& info) { return std::string(info.param.name); });

// DSD through the ASIO interface on the class 2.0 device, while Windows
// plays 16-bit PCM at 44.1 or 48 kHz: the ring is DSD silence (0x69) when
// made; the device hears Windows' audio, then every 64-bit word the ASIO
// driver wrote, bit-exact from its first, then Windows' audio again in one
// stretch to its end and never a DSD word after the hand-back; the stopped ring holds the
// other DSD silence (0x96); the clock goes back to Windows' rate.
const AsioRow kDsdRows[] = {
    {"Dsd2822400Frames2048", Fixture::Uac2Dsd, false, 2822400, ASIOSTInt16LSB, 2048, 44100, 56320, 112640, false,
     ASIO_IO_FORMAT_DSD},
    {"Dsd3072000Frames512", Fixture::Uac2Dsd, false, 3072000, ASIOSTInt16LSB, 512, 44100, 61440, 122880, false,
     ASIO_IO_FORMAT_DSD},
    {"Dsd2822400Process32Bit", Fixture::Uac2Dsd, true, 2822400, ASIOSTInt16LSB, 2048, 44100, 56320, 112640, false,
     ASIO_IO_FORMAT_DSD},
    {"Dsd2822400Windows48k", Fixture::Uac2Dsd, false, 2822400, ASIOSTInt16LSB, 2048, 48000, 56320, 112640, false,
     ASIO_IO_FORMAT_DSD},
};

class AsioDsdEndToEndTest : public AsioEndToEndTest {};

// The offset of the first `bytes` of the signal in `received` from `from`
// on, at steps of `step`; SIZE_MAX when absent.
size_t FindSignal(const std::vector<uint8_t>& received, size_t from, size_t step, size_t bytes, size_t frameBytes) {
    std::vector<uint8_t> head(bytes);
    for (size_t k = 0; k < bytes; ++k) head[k] = SignalByte(k, frameBytes);
    for (size_t at = from; at + bytes <= received.size(); at += step)
        if (std::memcmp(received.data() + at, head.data(), bytes) == 0) return at;
    return SIZE_MAX;
}

TEST_P(AsioDsdEndToEndTest, DsdSignalBitExactBetweenWindowsAudio) {
    const AsioRow& row = GetParam();
    ASSERT_NO_FATAL_FAILURE(StartAsioDevice(row.fixture));
    const std::u16string link = AsioLink();
    ASSERT_FALSE(link.empty());
    constexpr size_t kPcmFrame = 4, kDsdFrame = 16;
    const WAVEFORMATEXTENSIBLE format = streamfakes::PcmFormat(2, row.windowsRate, 16);
    const std::vector<uint8_t> played = SeededNoise(row.windowsRate * 3 / 2 * kPcmFrame, 11);
    const ULONG switches = 300 / FramesPerTransfer(row);
    AsioRun run;
    std::vector<uint8_t> received;
    Packets packets;
    {
        AsioDriver driver(link, row);
        sim::TestThread thread("asio-dsd-driver", [&] { driver.Run(300 * kMs, switches, &run); });
        host::BytesSource source(played);
        auto sink = [&](const uint8_t* data, size_t bytes) {
            packets.Add(received.size());
            received.insert(received.end(), data, data + bytes);
        };
        host::StreamRun play = host::Play(Session(), format, source, sink, nullptr);
        thread.Join();
        ASSERT_EQ(play.status, STATUS_SUCCESS) << play.error;
    }
    EXPECT_EQ(run.open, STATUS_SUCCESS);
    EXPECT_EQ(run.create, STATUS_SUCCESS);
    EXPECT_EQ(run.start, STATUS_SUCCESS);
    EXPECT_EQ(run.switches, switches);
    EXPECT_EQ(run.stop, STATUS_SUCCESS);
    EXPECT_EQ(run.dispose, STATUS_SUCCESS);
    EXPECT_EQ(run.close, STATUS_SUCCESS);
    // Latencies in bits: 20 ms and 40 ms of 64-bit words times 64.
    EXPECT_EQ(run.latencies, (std::vector<ULONG>{row.inputLatency, row.outputLatency}));
    EXPECT_EQ(run.channels, (std::vector<ULONG>{1, 2, 0, 0}));
    EXPECT_EQ(run.createdRing, (std::set<uint8_t>{0x69})) << "DSD silence in the new ring";
    EXPECT_EQ(run.stoppedRing, (std::set<uint8_t>{0x96})) << "DSD silence in the stopped ring";
    ASSERT_GT(run.consumedFrames, (uint64_t)FramesPerSecond(row) / 10) << "the ASIO driver ran for 300 ms";
    const std::vector<ULONG> rates = FramesPerSecond(row) == row.windowsRate
                                         ? std::vector<ULONG>{row.windowsRate}
                                         : std::vector<ULONG>{row.windowsRate, FramesPerSecond(row), row.windowsRate};
    EXPECT_EQ(RenderRates(), rates) << "the clock at take-over and hand-back";

    // Windows' audio from its first frame up to the take-over (PCM frames).
    const std::vector<uint64_t> wav = Frames(played, kPcmFrame);
    const std::vector<uint64_t> head = Frames(received, kPcmFrame);
    size_t at = 0, wavIndex = 0;
    ASSERT_TRUE(FindInWav(head, wav, &at, &wavIndex)) << "Windows' audio never arrived";
    EXPECT_EQ(wavIndex, 0u);
    const size_t before = MatchingRun(head, at, wav, 0);
    EXPECT_GT(before, (size_t)row.windowsRate / 10) << "Windows' audio before the ASIO driver";
    const size_t pcmEnd = (at + before) * kPcmFrame;
    // Then the ASIO signal from its first word, on a DSD frame's boundary
    // (every packet holds whole frames), unbroken for every frame the
    // kernel took from the ring.
    const size_t asioAt = FindSignal(received, pcmEnd, kPcmFrame, kDsdFrame, kDsdFrame);
    ASSERT_NE(asioAt, SIZE_MAX) << "the DSD signal never arrived";
    for (size_t k = pcmEnd; k < asioAt; ++k)
        ASSERT_TRUE(received[k] == 0 || received[k] == 0x69)
            << "neither silence nor DSD silence at the take-over, byte " << k << ": " << (int)received[k];
    size_t asio = 0;
    while (asioAt + asio < received.size() && received[asioAt + asio] == SignalByte(asio, kDsdFrame)) ++asio;
    EXPECT_GE(asio / kDsdFrame, run.consumedFrames)
        << "the DSD signal broke off at frame " << asio / kDsdFrame << " of " << run.consumedFrames;
    // After the hand-back no word of the signal reaches the device again.
    std::unordered_set<uint64_t> words;
    for (size_t w = 0; w < run.writeTimes.size() * 2; ++w) words.insert(SignalFrame(w, 8));
    const size_t asioEnd = asioAt + asio / kDsdFrame * kDsdFrame;
    for (size_t k = asioEnd; k + 8 <= received.size(); k += 8) {
        uint64_t word;
        std::memcpy(&word, received.data() + k, 8);
        ASSERT_EQ(words.count(word), 0u) << "DSD audio replayed at byte " << k << " after the hand-back";
    }
    // Windows' audio again, later in the WAV, to its last frame, with
    // silence (PCM or DSD) only between, never going back.
    const std::vector<uint8_t> rest(received.begin() + asioEnd, received.end());
    const std::vector<uint64_t> tail = Frames(rest, kPcmFrame);
    size_t after = 0, wavEnd = before;
    while (after < tail.size()) {
        const uint64_t f = tail[after];
        if (f == 0 || f == 0x69696969ull || f == 0x96969696ull) {
            ++after;
            continue;
        }
        ASSERT_TRUE(FindInWav(tail, wav, &after, &wavIndex)) << "neither Windows' audio nor silence at frame " << after;
        EXPECT_GE(wavIndex, wavEnd) << "Windows' audio went back at frame " << after;
        const size_t n = MatchingRun(tail, after, wav, wavIndex);
        after += n;
        wavEnd = wavIndex + n;
    }
    EXPECT_EQ(wavEnd, wav.size()) << "Windows' audio did not come back to its end";
    ExpectOneStretchAfterTheHandBack(WindowsAroundTheAsioSignal(Frames(received, kPcmFrame), at, before,
                                                                asioEnd / kPcmFrame, wav, packets, row.windowsRate,
                                                                kPcmFrame));
}

INSTANTIATE_TEST_SUITE_P(Rows, AsioDsdEndToEndTest, ::testing::ValuesIn(kDsdRows),
                         [](const ::testing::TestParamInfo<AsioRow>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace e2etest
