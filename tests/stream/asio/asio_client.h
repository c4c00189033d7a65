// The test's user-mode ASIO driver: one handle of the ASIO interface in a
// simulated process (64- or 32-bit), the private control codes as the
// ASIO driver sends them, and the rings reached only through the addresses
// the buffer creation returned.
#pragma once

#include <string>
#include <vector>

#include "adapter/private_interfaces.h"
#include "sim/ioctl_harness.h"
#include "sim/user_process.h"

namespace asiotest {

struct Channel {
    ULONG isInput;
    ULONG channel;
};

class AsioClient {
public:
    explicit AsioClient(sim::UserProcess& process) : m_Process(process), m_Handle(process) {}

    NTSTATUS Open(const std::u16string& link) { return m_Handle.OpenInterface(link); }
    NTSTATUS Close() { return m_Handle.Close(); }

    sim::IoctlResult Ioctl(ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength) {
        return m_Handle.DeviceIoControl(code, in, inLength, out, outLength);
    }
    // A code that takes one ULONG.
    NTSTATUS Set(ULONG code, ULONG value) { return Ioctl(code, &value, sizeof(value), NULL, 0).status; }
    // A code that answers `count` ULONGs; the status in *status.
    std::vector<ULONG> Get(ULONG code, ULONG count, NTSTATUS* status = nullptr);
    // A handle in the request's layout: 8 bytes, 4 from a 32-bit process.
    NTSTATUS SendHandle(ULONG code, HANDLE handle);

    // Creates buffers for `channels` of `frames` frames; the reply's
    // addresses (one per ASIO pin). replyLength 0: the right one.
    NTSTATUS CreateBuffers(const std::vector<Channel>& channels, ULONG frames, ULONG pins,
                           ULONG replyLength = 0);
    const std::vector<ULONGLONG>& Addresses() const { return m_Addresses; }
    ASIO_BUFFER* Header(size_t pin) const { return reinterpret_cast<ASIO_BUFFER*>(m_Addresses.at(pin)); }
    UCHAR* Ring(size_t pin) const { return reinterpret_cast<UCHAR*>(Header(pin) + 1); }

    // Start with a fresh buffer-switch event of this process.
    NTSTATUS Start();
    NTSTATUS Stop() { return Ioctl(IOCTL_ASIO_STOP, NULL, 0, NULL, 0).status; }
    NTSTATUS Dispose() { return Ioctl(IOCTL_ASIO_DISPOSE_BUFFERS, NULL, 0, NULL, 0).status; }
    HANDLE SwitchEvent() const { return m_SwitchEvent; }
    bool Switched() const { return m_SwitchEvent != NULL && m_Process.IsEventSignalled(m_SwitchEvent); }

    sim::UserHandle& Handle() { return m_Handle; }
    sim::UserProcess& Process() { return m_Process; }

private:
    sim::UserProcess& m_Process;
    sim::UserHandle m_Handle;
    std::vector<ULONGLONG> m_Addresses;
    HANDLE m_SwitchEvent = NULL;
};

}  // namespace asiotest
