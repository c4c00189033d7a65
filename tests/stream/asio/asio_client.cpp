#include "tests/stream/asio/asio_client.h"

#include <cstring>

namespace asiotest {

std::vector<ULONG> AsioClient::Get(ULONG code, ULONG count, NTSTATUS* status) {
    std::vector<ULONG> reply(count, 0);
    sim::IoctlResult r = Ioctl(code, NULL, 0, reply.data(), count * sizeof(ULONG));
    if (status != nullptr) *status = r.status;
    return reply;
}

NTSTATUS AsioClient::SendHandle(ULONG code, HANDLE handle) {
    ULONGLONG value = (ULONGLONG)(ULONG_PTR)handle;
    const ULONG length = m_Process.Is32Bit() ? 4 : 8;
    return Ioctl(code, &value, length, NULL, 0).status;
}

NTSTATUS AsioClient::CreateBuffers(const std::vector<Channel>& channels, ULONG frames, ULONG pins,
                                   ULONG replyLength) {
    std::vector<ULONG> request = {0, (ULONG)channels.size(), frames};
    for (const Channel& c : channels) {
        request.push_back(c.isInput);
        request.push_back(c.channel);
    }
    const ULONG width = m_Process.Is32Bit() ? 4 : 8;
    if (replyLength == 0) replyLength = pins * width;
    std::vector<UCHAR> reply(replyLength + 8, 0);
    sim::IoctlResult r = Ioctl(IOCTL_ASIO_CREATE_BUFFERS, request.data(), (ULONG)(request.size() * sizeof(ULONG)),
                               reply.data(), replyLength);
    m_Addresses.clear();
    if (r.status != STATUS_SUCCESS) return r.status;
    for (ULONG i = 0; i + width <= r.information; i += width) {
        ULONGLONG address = 0;
        std::memcpy(&address, reply.data() + i, width);
        m_Addresses.push_back(address);
    }
    return r.status;
}

NTSTATUS AsioClient::Start() {
    if (m_SwitchEvent == NULL) m_SwitchEvent = m_Process.CreateEvent(false, false);
    return SendHandle(IOCTL_ASIO_START, m_SwitchEvent);
}

}  // namespace asiotest
