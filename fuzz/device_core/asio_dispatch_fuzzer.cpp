// Fuzzes the ASIO control-code dispatch: any code (the 22 and their
// neighbours), any input bytes and output length, 32- or 64-bit callers,
// and operations answering any status and length. The harness checks that
// nothing is written past the system buffer and that a success never
// reports more than the caller's buffer holds.
#include <cstdint>
#include <cstring>
#include <vector>

#include "adapter/private_interfaces.h"
#include "fuzz/device_core/fuzz_device.h"
#include "sim/ioctl_harness.h"
#include "tests/fakes/adapter/asio_recorder.h"
#include "tests/fakes/adapter/driver_fixture.h"
#include "tests/fakes/adapter/fake_log.h"

namespace {

const NTSTATUS kAnswers[] = {STATUS_SUCCESS, STATUS_BUFFER_OVERFLOW, STATUS_BUFFER_TOO_SMALL,
                             STATUS_INVALID_PARAMETER, STATUS_PENDING + 1};

// Input: code selector, flags, output length (2 bytes), answer selector,
// length the operation leaves (4 bytes), reply length, reply, request.
struct Reader {
    const uint8_t* data;
    size_t size;
    uint8_t Byte() { return size ? (--size, *data++) : 0; }
    uint32_t Ulong() { return Byte() | (Byte() << 8) | (Byte() << 16) | ((uint32_t)Byte() << 24); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzdevice::World& world = fuzzdevice::StartWorld();
    Reader in{data, size};
    uint8_t selector = in.Byte();
    uint8_t flags = in.Byte();
    ULONG code = CTL_CODE(FILE_DEVICE_SOUND, 0x7F8 + selector % 40, METHOD_BUFFERED, (selector / 40) % 4);
    ULONG outLength = (in.Byte() | (in.Byte() << 8)) % 4097;
    NTSTATUS answer = kAnswers[in.Byte() % (sizeof(kAnswers) / sizeof(kAnswers[0]))];
    ULONG lengthOut = in.Ulong();
    std::vector<UCHAR> reply(in.Byte());
    for (UCHAR& b : reply) b = in.Byte();
    std::vector<uint8_t> request(in.data, in.data + (in.size > 4096 ? 4096 : in.size));

    fakes::Asio().Reset();
    fakes::ClearLog();
    for (const char* name : {"AsioGetDriverName", "AsioGetChannels", "AsioGetChannelInfo", "AsioGetSampleTypes",
                             "AsioGetLatencyTable", "AsioGetLatencies", "AsioGetSampleRate", "AsioGetBufferSize",
                             "AsioCreateBuffers", "AsioGetIoFormat", "AsioSetLatency", "AsioGetBuffersCreated"})
        fakes::Asio().status[name] = answer;
    fakes::Asio().reply = reply;
    if (flags & 2) fakes::Asio().lengthOut = lengthOut;

    sim::UserProcess process((flags & 1) != 0);
    sim::UserHandle handle(process);
    if (handle.OpenInterface(fakes::ToU16(world.Context()->AsioInterfaceName)) != STATUS_SUCCESS)
        __builtin_trap();
    std::vector<uint8_t> out(outLength + 1);
    handle.DeviceIoControl(code, request.empty() ? nullptr : request.data(), (ULONG)request.size(),
                           out.data(), outLength);
    handle.Close();
    return 0;
}
