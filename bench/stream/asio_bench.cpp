// The ASIO pins' share of the isochronous loop: the ring copy that a
// RENDER_FILL or CAPTURE_DATA message makes per transfer, with and without
// a wrap at the ring's end, against a memcpy of the same bytes.
//
//   AsioRingCopy/<dir>/<bytes>/<wrap>   one transfer's copy between the
//                        40 ms ring and the transfer buffer;
//                        "ratio_to_memcpy" divides by a memcpy of the
//                        transfer's bytes
//
//   AsioMessage/<dir>/<bytes>/<wrap>/<pins>   one RENDER_FILL or
//                        CAPTURE_DATA message as a USB stream publishes it
//                        (callback object, DISPATCH_LEVEL) to the adapter's
//                        real ASIO callback: the pin lookup (the last of
//                        `pins` ASIO pins), the running test, the spin lock
//                        and the ring copy; "ratio_to_memcpy" as above
//   AsioEndToEnd96       the real driver on the class 1.0 headset: Windows
//                        plays while a user-mode ASIO driver streams 96-frame
//                        buffers at 48 kHz for 5 simulated seconds;
//                        "sim_per_wall" is simulated seconds per wall second
//
// 192 bytes: 48 kHz stereo 16-bit, 1 ms; 30720 bytes: 192 kHz 8-channel
// 32-bit, 5 ms. AsioRingCopy leaves out the pin lookup and the spin lock.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "adapter/device_context.h"
#include "adapter/driver_entry.h"
#include "platform/usb/descriptor_file.h"
#include "sim/executor.h"
#include "sim/iomgr.h"
#include "sim/registry.h"
#include "stream/asio/asio_ring.h"
#include "tests/stream/asio/asio_fixture.h"
#include "tools/host/host_stream.h"

namespace {

using Clock = std::chrono::steady_clock;

double MemcpyNanoseconds(size_t bytes) {
    std::vector<uint8_t> from(bytes, 1), to(bytes);
    const int rounds = 20000;
    auto start = Clock::now();
    for (int i = 0; i < rounds; i++) {
        memcpy(to.data(), from.data(), bytes);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / rounds;
}

// range(0): 1 render, 0 capture; range(1): bytes per transfer; range(2):
// 1 when every copy passes the ring's end.
void AsioRingCopyBench(benchmark::State& state) {
    const bool render = state.range(0) != 0;
    const ULONG bytes = (ULONG)state.range(1);
    const bool wrap = state.range(2) != 0;
    const ULONG size = bytes == 192 ? 7680 : 30720 * 8;  // 40 ms rings
    std::vector<UCHAR> ring(size, 3), transfer(bytes, 5);
    const ULONG start = wrap ? size - bytes / 2 : 0;
    const auto begin = Clock::now();
    for (auto _ : state) {
        ULONG position = start;
        AsioRingCopy(ring.data(), size, &position, transfer.data(), bytes, render ? TRUE : FALSE);
        benchmark::DoNotOptimize(position);
        benchmark::ClobberMemory();
    }
    const double copyNs =
        std::chrono::duration<double, std::nano>(Clock::now() - begin).count() / (double)state.iterations();
    const double memcpyNs = MemcpyNanoseconds(bytes);
    state.counters["ratio_to_memcpy"] = copyNs / memcpyNs;
    state.counters["memcpy_ns"] = memcpyNs;
}
BENCHMARK(AsioRingCopyBench)
    ->ArgNames({"render", "bytes", "wrap"})
    ->ArgsProduct({{1, 0}, {192, 30720}, {0, 1}})
    ->UseRealTime();

// ---- the message callback ---------------------------------------------------------

constexpr ULONG ASIO_TYPE_INT32 = 18;  // ASIOSTInt32LSB

std::u16string AsioInterfaceLink() {
    for (const sim::DeviceInterface& i : sim::IoDeviceInterfaces())
        if (i.referenceString == ASIO_INTERFACE_REFERENCE && i.enabled) return i.symbolicLink;
    return u"";
}

// The adapter with its real ASIO operations on `pins` fake USB streams of
// one direction and format, every channel of every pin in the ASIO
// driver's buffers, started. Built and torn down per benchmark run.
class AsioMessageWorld {
public:
    AsioMessageWorld(bool capture, const WAVEFORMATEXTENSIBLE& format, ULONG pins, ULONG bufferFrames)
        : m_Factories(fakes::FakeModelFactories()) {
        sim::RegistryReset();
        fakes::NextModel().engines.assign(pins, asiotest::AsioEngine(capture, {format}));
        m_Port = std::make_unique<simusb::SimUsbPort>(simusb::BuildUac1Headset());
        sim::PnpHarness& device = m_Port->harness();
        if (device.LoadDriver(DriverEntry) != STATUS_SUCCESS || device.AddDevice() != STATUS_SUCCESS ||
            device.StartDevice() != STATUS_SUCCESS)
            return;
        m_Process = std::make_unique<sim::UserProcess>();
        m_Client = std::make_unique<asiotest::AsioClient>(*m_Process);
        const std::u16string link = AsioInterfaceLink();
        const ULONG type = format.Format.wBitsPerSample == 16 ? ASIOSTInt16LSB : ASIO_TYPE_INT32;
        if (m_Client->Open(link) != STATUS_SUCCESS ||
            m_Client->Set(IOCTL_ASIO_SET_SAMPLE_RATE, format.Format.nSamplesPerSec) != STATUS_SUCCESS ||
            m_Client->Set(IOCTL_ASIO_SET_SAMPLE_TYPE, type) != STATUS_SUCCESS || m_Client->Close() != STATUS_SUCCESS ||
            m_Client->Open(link) != STATUS_SUCCESS)
            return;
        std::vector<asiotest::Channel> channels;
        for (ULONG c = 0; c < pins * format.Format.nChannels; ++c) channels.push_back({capture ? 1u : 0u, c});
        m_Ready = m_Client->CreateBuffers(channels, bufferFrames, pins) == STATUS_SUCCESS &&
                  m_Client->Start() == STATUS_SUCCESS;
    }
    ~AsioMessageWorld() {
        if (m_Client) {
            m_Client->Stop();
            m_Client->Dispose();
            m_Client->Close();
        }
        m_Client.reset();
        m_Process.reset();
        m_Port.reset();
    }
    bool Ready() const { return m_Ready; }
    CUsbAudioHal* Adapter() {
        return static_cast<CUsbAudioHal*>(GetDeviceContext(m_Port->harness().TopDevice())->AudioHal);
    }
    wavefakes::FakeCyclicEngine* Engine(ULONG index) {
        IStreamEngine* engine = NULL;
        if (!NT_SUCCESS(Adapter()->GetStreamEngine(index, &engine))) return nullptr;
        return dynamic_cast<wavefakes::FakeCyclicEngine*>(engine);
    }
    // The kernel's ring position of a pin (set between messages so that
    // every copy starts at the same place).
    ULONG* Position(ULONG index) { return &Adapter()->AsioState().m_pAsioPins[index].Header.Position; }
    ULONG RingSize(ULONG index) { return Adapter()->AsioState().m_pAsioPins[index].Header.Size; }

private:
    ScopedDriverFactories m_Factories;
    std::unique_ptr<simusb::SimUsbPort> m_Port;
    std::unique_ptr<sim::UserProcess> m_Process;
    std::unique_ptr<asiotest::AsioClient> m_Client;
    bool m_Ready = false;
};

// range(0): 1 render, 0 capture; range(1): bytes per transfer (192 or
// 30720); range(2): 1 when every copy passes the ring's end; range(3):
// ASIO pins.
void AsioMessageBench(benchmark::State& state) {
    const bool render = state.range(0) != 0;
    const ULONG bytes = (ULONG)state.range(1);
    const bool wrap = state.range(2) != 0;
    const ULONG pins = (ULONG)state.range(3);
    const bool small = bytes == 192;
    const WAVEFORMATEXTENSIBLE format =
        small ? streamfakes::PcmFormat(2, 48000, 16) : streamfakes::PcmFormat(8, 192000, 32);
    // 1 ms transfers for 96 frames at 48 kHz, 5 ms ones for 3840 at 192 kHz.
    const ULONG bufferFrames = small ? 96 : 3840;
    sim::KernelScope scope;
    double copyNs = 0;
    {
        AsioMessageWorld world(!render, format, pins, bufferFrames);
        wavefakes::FakeCyclicEngine* engine = world.Ready() ? world.Engine(pins - 1) : nullptr;
        if (engine == nullptr) {
            state.SkipWithError("the ASIO buffers could not be made and started");
            return;
        }
        ULONG* position = world.Position(pins - 1);
        const ULONG start = wrap ? world.RingSize(pins - 1) - bytes / 2 : 0;
        std::vector<UCHAR> transfer(bytes, 5);
        const auto begin = Clock::now();
        for (auto _ : state) {
            __atomic_store_n(position, start, __ATOMIC_RELAXED);
            if (render) {
                engine->SendFill(transfer.data(), bytes);
            } else {
                engine->SendCapture(transfer.data(), bytes);
            }
            benchmark::ClobberMemory();
        }
        copyNs = std::chrono::duration<double, std::nano>(Clock::now() - begin).count() / (double)state.iterations();
    }
    scope.Finish();
    const double memcpyNs = MemcpyNanoseconds(bytes);
    state.counters["ratio_to_memcpy"] = copyNs / memcpyNs;
    state.counters["memcpy_ns"] = memcpyNs;
}
BENCHMARK(AsioMessageBench)
    ->ArgNames({"render", "bytes", "wrap", "pins"})
    ->ArgsProduct({{1, 0}, {192, 30720}, {0, 1}, {1, 19}})
    ->UseRealTime();

// ---- the whole driver -------------------------------------------------------------

constexpr double kAsioSeconds = 5.0;

// The class 1.0 headset with the ASIO words (string 0x50 "XRW4QN", vendor
// register A 0x0E, register B 0), plugged and started.
bool StartAsioHeadset(host::HostSession& session, std::string* error) {
    simusb::DescriptorSet set = simusb::BuildUac1Headset();
    set.strings[0x50] = simusb::BuildStringDescriptor(u"XRW4QN");
    const char* tmp = std::getenv("TMPDIR");
    const std::string dir = std::string(tmp != nullptr ? tmp : "/tmp") + "/asio-bench-" + std::to_string(getpid());
    const std::string file = dir + "/asio_device.txt";
    if (!host::MakeDirectories(dir) || !simusb::SaveDescriptorFile(file, set)) {
        *error = "cannot write " + file;
        return false;
    }
    host::DeviceChoice choice;
    choice.descriptorFile = file;
    if (!session.PlugDevice(choice, error)) return false;
    session.Device().SetVendorAnswer(0xC3, 0, 0x1A, 0, {0x0E});
    session.Device().SetVendorAnswer(0xC3, 0, 0x20, 0, {0x00});
    return NT_SUCCESS(session.Start());
}

// The user-mode ASIO driver of the 96-frame row: 48 kHz 16-bit, every
// channel, a counter pattern kept a lead of one ring's transfers ahead.
void RunAsioDriver(const std::u16string& link, double seconds, bool* ok) {
    sim::UserProcess process;
    asiotest::AsioClient client(process);
    sim::Sleep(300 * sim::kTicksPerMillisecond);
    if (client.Open(link) != STATUS_SUCCESS || client.Set(IOCTL_ASIO_SET_SAMPLE_RATE, 48000) != STATUS_SUCCESS ||
        client.Set(IOCTL_ASIO_SET_SAMPLE_TYPE, ASIOSTInt16LSB) != STATUS_SUCCESS || client.Close() != STATUS_SUCCESS ||
        client.Open(link) != STATUS_SUCCESS)
        return;
    const std::vector<ULONG> channels = client.Get(IOCTL_ASIO_GET_CHANNELS, 4);
    std::vector<asiotest::Channel> all;
    for (ULONG c = 0; c < channels[1]; ++c) all.push_back({0, c});
    for (ULONG c = 0; c < channels[2]; ++c) all.push_back({1, c});
    if (client.CreateBuffers(all, 96, channels[0]) == STATUS_SUCCESS && client.Start() == STATUS_SUCCESS) {
        ASIO_BUFFER* render = nullptr;
        for (size_t pin = 0; pin < client.Addresses().size(); ++pin)
            if (client.Header(pin)->Selected && client.Header(pin)->IsInput == 0) render = client.Header(pin);
        PKEVENT event = process.EventObject(client.SwitchEvent());
        LARGE_INTEGER timeout;
        timeout.QuadPart = -100 * sim::kTicksPerMillisecond;
        const LONGLONG end = sim::Now() + (LONGLONG)(seconds * sim::kTicksPerSecond);
        UCHAR* ring = reinterpret_cast<UCHAR*>(render + 1);
        ULONG written = render->Position, counter = 0;
        *ok = true;
        while (sim::Now() < end) {
            if (KeWaitForSingleObject(event, Executive, KernelMode, FALSE, &timeout) != STATUS_SUCCESS) {
                *ok = false;
                break;
            }
            const ULONG target = (render->Position + render->RingBytes) % render->Size;
            for (; written != target; written = (written + 1) % render->Size) ring[written] = (UCHAR)++counter;
        }
        client.Stop();
    }
    client.Dispose();
    client.Close();
}

void AsioEndToEnd96(benchmark::State& state) {
    double simulated = 0, wall = 0;
    for (auto _ : state) {
        sim::KernelScope scope;
        {
            host::HostSession session;
            std::string error;
            if (!StartAsioHeadset(session, &error)) {
                state.SkipWithError(error.c_str());
                break;
            }
            const std::u16string link = AsioInterfaceLink();
            const WAVEFORMATEXTENSIBLE format = streamfakes::PcmFormat(2, 48000, 16);
            const std::vector<uint8_t> tone = host::ToneBytes(format, 1000, -20, kAsioSeconds + 1.0);
            bool ok = false;
            const LONGLONG simStart = sim::Now();
            const auto start = Clock::now();
            sim::TestThread driver("asio-driver", [&] { RunAsioDriver(link, kAsioSeconds, &ok); });
            host::StreamRun run = host::Play(session, format, tone, nullptr);
            driver.Join();
            wall += std::chrono::duration<double>(Clock::now() - start).count();
            simulated += (double)(sim::Now() - simStart) / sim::kTicksPerSecond;
            if (!NT_SUCCESS(run.status) || !ok) {
                state.SkipWithError(!ok ? "the ASIO driver did not stream" : run.error.c_str());
                break;
            }
        }
        scope.Finish();
    }
    state.counters["sim_per_wall"] = wall > 0 ? simulated / wall : 0;
}
BENCHMARK(AsioEndToEnd96)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
