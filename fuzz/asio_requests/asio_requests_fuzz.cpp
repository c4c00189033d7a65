// Fuzzes the adapter's ASIO operations through the control-code dispatch:
// the input is a sequence of requests from two clients (a 64-bit and a
// 32-bit process) on the fake model's streams (a PCM and a DSD render
// stream, a PCM capture stream): any code with any bytes and lengths,
// well-formed buffer creations, starts and stops, scribbles over the
// mapped ring headers, stream messages, a trip through D3 and back, and
// handles closed and reopened. Every handle is closed at the end of an
// input, so the next one starts with no owner, no mapping and no client
// on a stream. The stand-in's checks (a write past the system buffer, a
// success reporting more than the output holds, a mapping left in an
// ending process, an unbalanced reference) stop the fuzzer at once.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "adapter/device_context.h"
#include "adapter/driver_entry.h"
#include "adapter/family_choice.h"
#include "adapter/private_interfaces.h"
#include "sim/debug.h"
#include "sim/iomgr.h"
#include "sim/pnp_harness.h"
#include "sim/registry.h"
#include "sim/violation.h"
#include "tests/stream/asio/asio_fixture.h"

namespace {

struct Reader {
    const uint8_t* data;
    size_t size;
    uint8_t Byte() { return size ? (--size, *data++) : 0; }
    uint16_t Word() { return (uint16_t)(Byte() | (Byte() << 8)); }
    uint32_t Ulong() { return Word() | ((uint32_t)Word() << 16); }
    std::vector<uint8_t> Bytes(size_t n) {
        if (n > size) n = size;
        std::vector<uint8_t> out(data, data + n);
        data += n;
        size -= n;
        return out;
    }
};

struct World {
    std::unique_ptr<sim::KernelScope> scope;
    std::unique_ptr<ScopedDriverFactories> factories;
    std::unique_ptr<simusb::SimUsbPort> port;

    PDEVICE_OBJECT Fdo() { return port->harness().TopDevice(); }
    CUsbAudioHal* Adapter() { return static_cast<CUsbAudioHal*>(GetDeviceContext(Fdo())->AudioHal); }
    wavefakes::FakeCyclicEngine* Engine(ULONG index) {
        IStreamEngine* engine = NULL;
        if (!NT_SUCCESS(Adapter()->GetStreamEngine(index, &engine))) return nullptr;
        return dynamic_cast<wavefakes::FakeCyclicEngine*>(engine);
    }
    std::u16string link;
};

// Built once; never destroyed (process exit does not tear the device down).
World& StartWorld() {
    static World& world = *new World;
    if (world.scope) return world;
    sim::SetViolationHandler([](const char* file, int line, const std::string& what) {
        std::fprintf(stderr, "%s:%d: %s\n", file, line, what.c_str());
        __builtin_trap();
    });
    world.scope = std::make_unique<sim::KernelScope>();
    sim::RegistryReset();
    world.factories = std::make_unique<ScopedDriverFactories>(fakes::FakeModelFactories());
    using streamfakes::PcmFormat;
    fakes::NextModel().engines = {
        asiotest::AsioEngine(false, {PcmFormat(2, 48000, 16), PcmFormat(2, 44100, 24)}),
        asiotest::AsioEngine(true, {PcmFormat(2, 48000, 16), PcmFormat(2, 44100, 24)}),
        asiotest::AsioEngine(false, {asiotest::DsdFormat(2, 2822400)}),
    };
    world.port = std::make_unique<simusb::SimUsbPort>(simusb::BuildUac1Headset());
    sim::PnpHarness& device = world.port->harness();
    if (device.LoadDriver(DriverEntry) != STATUS_SUCCESS || device.AddDevice() != STATUS_SUCCESS ||
        device.StartDevice() != STATUS_SUCCESS)
        __builtin_trap();
    for (const sim::DeviceInterface& i : sim::IoDeviceInterfaces())
        if (i.referenceString == ASIO_INTERFACE_REFERENCE) world.link = i.symbolicLink;
    if (world.link.empty()) __builtin_trap();
    return world;
}

void PowerChange(World& world, DEVICE_POWER_STATE state) {
    POWER_STATE s;
    s.DeviceState = state;
    static_cast<IAdapterPowerManagement*>(world.Adapter())->PowerChangeState(s);
}

struct Client {
    explicit Client(bool is32Bit) : process(is32Bit), asio(process) {}
    sim::UserProcess process;
    asiotest::AsioClient asio;
    bool open = false;
};

// Any code near the ASIO ones, any method and access, any bytes.
void AnyRequest(Client& c, Reader& in) {
    const uint8_t selector = in.Byte();
    const ULONG code = CTL_CODE(FILE_DEVICE_SOUND, 0x7F8 + selector % 40, METHOD_BUFFERED, (selector / 40) % 4);
    if (code == IOCTL_ASIO_STOP) return;  // may wait for D0; sent by its own step
    const ULONG outLength = in.Word() % 1025;
    std::vector<uint8_t> request = in.Bytes(in.Byte());
    std::vector<uint8_t> out(outLength + 1);
    sim::IoctlResult r = c.asio.Ioctl(code, request.empty() ? nullptr : request.data(), (ULONG)request.size(),
                                      out.data(), outLength);
    if (r.information > outLength && NT_SUCCESS(r.status)) __builtin_trap();
}

void CreateBuffers(Client& c, Reader& in) {
    std::vector<asiotest::Channel> channels(in.Byte() % 6);
    for (auto& ch : channels) ch = {(ULONG)(in.Byte() % 3), (ULONG)(in.Byte() % 4)};
    const ULONG frames = in.Word() % 4100;
    c.asio.CreateBuffers(channels, frames, 3, in.Byte() % 2 ? 0 : in.Byte());
}

// Writes over a mapped header (64-bit clients only: a 32-bit client's
// addresses are not usable by this host process).
void Scribble(Client& c, Reader& in) {
    if (c.process.Is32Bit() || c.asio.Addresses().empty()) return;
    const size_t pin = in.Byte() % c.asio.Addresses().size();
    if (c.asio.Addresses()[pin] == 0) return;
    ULONG* header = reinterpret_cast<ULONG*>(c.asio.Header(pin));
    header[in.Byte() % (sizeof(ASIO_BUFFER) / sizeof(ULONG))] = in.Ulong();
}

void Message(World& world, Reader& in) {
    wavefakes::FakeCyclicEngine* engine = world.Engine(in.Byte() % 3);
    if (engine == nullptr) return;
    std::vector<UCHAR> transfer(in.Word() % 16384);
    switch (in.Byte() % 3) {
    case 0: engine->SendFill(transfer.data(), (ULONG)transfer.size()); break;
    case 1: engine->SendCapture(transfer.data(), (ULONG)transfer.size()); break;
    default: engine->SendBytesDone((ULONG)transfer.size()); break;
    }
}

void Step(World& world, Client* clients, Reader& in) {
    const uint8_t op = in.Byte();
    Client& c = clients[(op >> 4) & 1];
    if (!c.open && (op & 15) != 7) {
        c.open = c.asio.Open(world.link) == STATUS_SUCCESS;
        if (!c.open) __builtin_trap();
    }
    switch (op & 15) {
    case 0: case 1: case 2: AnyRequest(c, in); break;
    case 3: CreateBuffers(c, in); break;
    case 4: c.asio.Start(); break;
    case 5: c.asio.Stop(); break;
    case 6: c.asio.Dispose(); break;
    case 7:
        if (c.open) c.asio.Close();
        c.open = false;
        break;
    case 8: Scribble(c, in); break;
    case 9: case 10: Message(world, in); break;
    case 11:
        PowerChange(world, PowerDeviceD3);
        if (in.Byte() & 1) Message(world, in);
        PowerChange(world, PowerDeviceD0);
        break;
    default: c.asio.Set(IOCTL_ASIO_SET_SAMPLE_RATE, in.Byte() % 2 ? 48000 : 44100); break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    World& world = StartWorld();
    Reader in{data, size};
    {
        Client clients[2] = {Client(false), Client(true)};
        for (int steps = 0; in.size > 0 && steps < 64; ++steps) Step(world, clients, in);
        for (Client& c : clients)
            if (c.open) c.asio.Close();
    }
    // Nothing of the inputs' owner is left.
    if (world.Adapter()->AsioState().m_pAsioPins != NULL && world.Adapter()->AsioState().m_bAsioStreaming)
        __builtin_trap();
    // The logs would grow over a long run.
    for (ULONG i = 0; i < 3; ++i)
        if (wavefakes::FakeCyclicEngine* engine = world.Engine(i)) engine->ClearCalls();
    sim::ClearDebugOutput();
    return 0;
}
