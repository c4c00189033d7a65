// The private low-latency interface end to end: Windows plays through the
// render wave filter while a user-mode ASIO driver in a process of its own
// opens the interface, creates buffers, starts, keeps its mapped render
// ring filled on every buffer-switch event, stops and lets go. The device
// hears Windows' audio, then the ASIO signal bit-exact and unbroken, then
// Windows' audio again.
#include <cstring>
#include <map>
#include <random>

#include "platform/usb/descriptor_file.h"
#include "sim/iomgr.h"
#include "tests/e2e/e2e_fixture.h"
#include "tests/fakes/stream/formats.h"
#include "tests/stream/asio/asio_client.h"
#include "tools/host/host_stream.h"

namespace e2etest {
namespace {

constexpr ULONG kRate = 48000;
constexpr size_t kFrameBytes = 4;  // stereo 16-bit, on the wire and in the ring

// The ASIO driver's signal: byte k of its stream (frame k / 4), distinct
// per channel and never silent.
UCHAR SignalByte(uint64_t k) {
    const uint64_t frame = k / kFrameBytes, channel = (k % kFrameBytes) / 2;
    const uint32_t sample = (uint32_t)((frame * 2654435761u + channel * 40503u + 17) >> 7) | 0x0101u;
    return (UCHAR)(k % 2 == 0 ? sample : sample >> 8);
}
uint32_t SignalFrame(uint64_t frame) {
    uint32_t value = 0;
    for (size_t b = 0; b < kFrameBytes; ++b) value |= (uint32_t)SignalByte(frame * kFrameBytes + b) << (8 * b);
    return value;
}

std::vector<uint32_t> Frames(const std::vector<uint8_t>& bytes) {
    std::vector<uint32_t> frames(bytes.size() / kFrameBytes);
    std::memcpy(frames.data(), bytes.data(), frames.size() * kFrameBytes);
    return frames;
}

// What the ASIO driver did: the frames the kernel took from its ring.
struct AsioRun {
    NTSTATUS open = STATUS_PENDING, create = STATUS_PENDING, start = STATUS_PENDING;
    NTSTATUS stop = STATUS_PENDING, dispose = STATUS_PENDING, close = STATUS_PENDING;
    ULONG switches = 0;
    uint64_t consumedFrames = 0;
};

// The user-mode driver: waits `delay`, takes the render endpoint for
// `switches` buffer switches, then lets it go.
class AsioDriver {
public:
    AsioDriver(const std::u16string& link, bool is32Bit) : m_Link(link), m_Process(is32Bit), m_Client(m_Process) {}

    void Run(LONGLONG delay, ULONG switches, AsioRun* run) {
        sim::Sleep(delay);
        if ((run->open = m_Client.Open(m_Link)) != STATUS_SUCCESS) return;
        run->create = m_Client.CreateBuffers({{0, 0}, {0, 1}}, 256, 2);
        ASIO_BUFFER* header = RenderHeader();
        if (run->create == STATUS_SUCCESS && header != nullptr && (run->start = m_Client.Start()) == STATUS_SUCCESS) {
            Stream(header, switches, run);
            run->stop = m_Client.Stop();
        }
        run->dispose = m_Client.Dispose();
        run->close = m_Client.Close();
    }

private:
    ASIO_BUFFER* RenderHeader() {
        for (size_t pin = 0; pin < m_Client.Addresses().size(); ++pin) {
            ASIO_BUFFER* h = m_Client.Header(pin);
            if (h != nullptr && h->Selected && !h->IsInput) return h;
        }
        return nullptr;
    }

    // Keeps every byte the kernel has read refilled with the stream's next
    // bytes, so the ring always holds Size bytes ahead of its position.
    void Stream(ASIO_BUFFER* header, ULONG switches, AsioRun* run) {
        UCHAR* ring = reinterpret_cast<UCHAR*>(header + 1);
        const ULONG size = header->Size;
        const ULONG start = header->Position;
        ULONG last = start;
        uint64_t read = 0, written = 0;
        auto fill = [&] {
            for (; written < read + size; ++written) ring[(start + written) % size] = SignalByte(written);
        };
        fill();
        PKEVENT event = m_Process.EventObject(m_Client.SwitchEvent());
        LARGE_INTEGER timeout;
        timeout.QuadPart = -100 * sim::kTicksPerMillisecond;
        while (run->switches < switches) {
            if (KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &timeout) != STATUS_SUCCESS) break;
            ++run->switches;
            const ULONG position = header->Position;
            read += (position + size - last) % size;
            last = position;
            fill();
        }
        run->consumedFrames = read / kFrameBytes;
    }

    std::u16string m_Link;
    sim::UserProcess m_Process;
    asiotest::AsioClient m_Client;
};

class AsioEndToEndTest : public E2eTest {
protected:
    // The headset with the ASIO words: string 0x50 "XRW4QN", register A
    // 0x0E, register B 0.
    void StartAsioHeadset() {
        simusb::DescriptorSet set = simusb::BuildUac1Headset();
        set.strings[0x50] = simusb::BuildStringDescriptor(u"XRW4QN");
        const std::string dir = TestDirectory("device");
        ASSERT_TRUE(host::MakeDirectories(dir));
        const std::string file = dir + "/asio_headset.txt";
        ASSERT_TRUE(simusb::SaveDescriptorFile(file, set));
        session_ = std::make_unique<host::HostSession>();
        std::string error;
        host::DeviceChoice choice;
        choice.descriptorFile = file;
        ASSERT_TRUE(session_->PlugDevice(choice, &error)) << error;
        Session().Device().SetVendorAnswer(0xC3, 0, 0x1A, 0, {0x0E});
        Session().Device().SetVendorAnswer(0xC3, 0, 0x20, 0, {0x00});
        ASSERT_EQ(session_->Start(), STATUS_SUCCESS);
    }
    std::u16string AsioLink() {
        for (const sim::DeviceInterface& i : sim::IoDeviceInterfaces())
            if (i.referenceString == ASIO_INTERFACE_REFERENCE && i.enabled) return i.symbolicLink;
        ADD_FAILURE() << "no ASIO interface";
        return u"";
    }
};

std::vector<uint8_t> SeededNoise(size_t frames, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> bytes(frames * kFrameBytes);
    for (uint8_t& b : bytes) b = (uint8_t)random();
    return bytes;
}

// Skips silent frames from *at and finds the first sound in wav (its index
// in *wavIndex); false at the end or when the frame is not in wav.
bool FindInWav(const std::vector<uint32_t>& frames, const std::vector<uint32_t>& wav, size_t* at, size_t* wavIndex) {
    while (*at < frames.size() && frames[*at] == 0) ++*at;
    if (*at >= frames.size()) return false;
    for (size_t i = 0; i < wav.size(); ++i)
        if (wav[i] == frames[*at]) {
            *wavIndex = i;
            return true;
        }
    return false;
}

size_t MatchingRun(const std::vector<uint32_t>& frames, size_t at, const std::vector<uint32_t>& wav, size_t from) {
    size_t n = 0;
    while (at + n < frames.size() && from + n < wav.size() && frames[at + n] == wav[from + n]) ++n;
    return n;
}

TEST_F(AsioEndToEndTest, TheDeviceHearsWindowsThenTheAsioSignalBitExactThenWindowsAgain) {
    ASSERT_NO_FATAL_FAILURE(StartAsioHeadset());
    const std::u16string link = AsioLink();
    ASSERT_FALSE(link.empty());
    const WAVEFORMATEXTENSIBLE format = streamfakes::PcmFormat(2, kRate, 16);
    const std::vector<uint8_t> played = SeededNoise(kRate * 3 / 2, 7);

    AsioRun run;
    std::vector<uint8_t> received;
    {
        AsioDriver driver(link, /*is32Bit=*/false);
        sim::TestThread thread("asio-driver", [&] { driver.Run(300 * kMs, 300, &run); });
        host::BytesSource source(played);
        auto sink = [&](const uint8_t* data, size_t bytes) { received.insert(received.end(), data, data + bytes); };
        host::StreamRun play = host::Play(Session(), format, source, sink, nullptr);
        thread.Join();
        ASSERT_EQ(play.status, STATUS_SUCCESS) << play.error;
    }
    EXPECT_EQ(run.open, STATUS_SUCCESS);
    EXPECT_EQ(run.create, STATUS_SUCCESS);
    EXPECT_EQ(run.start, STATUS_SUCCESS);
    EXPECT_EQ(run.switches, 300u);
    EXPECT_EQ(run.stop, STATUS_SUCCESS);
    EXPECT_EQ(run.dispose, STATUS_SUCCESS);
    EXPECT_EQ(run.close, STATUS_SUCCESS);
    ASSERT_GT(run.consumedFrames, (uint64_t)kRate / 10) << "the ASIO driver ran for 300 transfers";

    const std::vector<uint32_t> frames = Frames(received), wav = Frames(played);
    // Windows' audio from its first frame up to the take-over.
    size_t at = 0, wavIndex = 0;
    ASSERT_TRUE(FindInWav(frames, wav, &at, &wavIndex)) << "Windows' audio never arrived";
    EXPECT_EQ(wavIndex, 0u);
    const size_t before = MatchingRun(frames, at, wav, 0);
    EXPECT_GT(before, (size_t)kRate / 10) << "Windows' audio before the ASIO driver";
    // At most a few silent transfers while the stream changes hands (the
    // ASIO run begins a few frames after the stream's last one), then the
    // ASIO signal from its first frame, without a gap, for every frame the
    // kernel took from the ring.
    size_t asioAt = at + before;
    while (asioAt < frames.size() && frames[asioAt] == 0) ++asioAt;
    EXPECT_LE(asioAt - (at + before), (size_t)kRate / 100) << "silence at the take-over";
    size_t asio = 0;
    while (asioAt + asio < frames.size() && frames[asioAt + asio] == SignalFrame(asio)) ++asio;
    EXPECT_GE(asio, run.consumedFrames) << "the ASIO signal broke off at frame " << asio << " of "
                                        << run.consumedFrames;
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
}

}  // namespace
}  // namespace e2etest
