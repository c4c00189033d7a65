// Simulated USB bus: SELECT_CONFIGURATION, SELECT_INTERFACE and the pipe
// requests (abort, reset, clear stall).
//
// The interfaces and endpoints come from the configuration descriptor the
// client passes in SELECT_CONFIGURATION (a driver may hand over a rewritten
// copy), walked by the simulated device's own walker. Every selection
// gives its pipes new handles; the old ones stay known but invalid, so a
// stale handle fails instead of reaching another pipe.
#include "platform/usb/bus.h"
#include "platform/usb/bus_internal.h"

namespace simusb {

namespace {

constexpr ULONG kPipeRequestLength = sizeof(struct _URB_PIPE_REQUEST);
constexpr ULONG kSelectConfigurationBase = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
constexpr ULONG kSelectInterfaceBase = offsetof(struct _URB_SELECT_INTERFACE, Interface);
constexpr ULONG kInterfaceInfoBase = offsetof(USBD_INTERFACE_INFORMATION, Pipes);

// High-speed isochronous endpoints need bInterval 1..16.
bool IntervalsValid(const AltSetting& alt, bool highSpeed) {
    for (const EndpointInfo& e : alt.endpoints)
        if (highSpeed && (e.attributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_ISOCHRONOUS &&
            (e.interval == 0 || e.interval > 16))
            return false;
    return true;
}

ControlResult SetInterface(SimDevice& device, UCHAR number, UCHAR alternate) {
    return device.HandleControlTransfer({BMREQUEST_TO_INTERFACE, USB_REQUEST_SET_INTERFACE, alternate, number, 0},
                                        nullptr, 0);
}

}  // namespace

// Every interface of a SELECT_CONFIGURATION request, walked by Length
// within the URB; false when one is malformed, unknown or too short for
// its pipes.
bool SimUsbBus::CollectInterfaces(PURB urb, const ConfigLayout& layout, std::vector<ChosenInterface>* chosen) {
    const ULONG end = urb->UrbHeader.Length;
    for (ULONG at = kSelectConfigurationBase; at + kInterfaceInfoBase <= end;) {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<uint8_t*>(urb) + at);
        const AltSetting* alt = layout.Find(info->InterfaceNumber, info->AlternateSetting);
        if (info->Length < kInterfaceInfoBase || info->Length > end - at || alt == nullptr ||
            info->Length < GET_USBD_INTERFACE_SIZE((ULONG)alt->endpoints.size()) || !IntervalsValid(*alt, highSpeed_))
            return false;
        chosen->push_back({info, alt});
        at += info->Length;
    }
    return true;
}

// With the lock held: the interface's current pipes stop (their pending
// transfers are returned for completion) and `alt`'s pipes open.
void SimUsbBus::OpenInterface(PUSBD_INTERFACE_INFORMATION info, const AltSetting& alt,
                              std::vector<std::unique_ptr<BusTransfer>>* aborted) {
    for (auto& p : pipes_) {
        if (!p.second->valid || p.second->interfaceNumber != alt.number) continue;
        for (auto& t : DetachPipe(p.second.get())) aborted->push_back(std::move(t));
        p.second->valid = false;
    }
    info->Class = alt.cls;
    info->SubClass = alt.subclass;
    info->Protocol = alt.protocol;
    info->InterfaceHandle = reinterpret_cast<PVOID>(0x5C000000u + (++nextHandle_ << 6));
    info->NumberOfPipes = (ULONG)alt.endpoints.size();
    for (size_t i = 0; i < alt.endpoints.size(); ++i) {
        const EndpointInfo& e = alt.endpoints[i];
        BusPipe* pipe = NewPipe(e, alt.number);
        PUSBD_PIPE_INFORMATION pi = &info->Pipes[i];
        pi->MaximumPacketSize = e.maxPacketSize;
        pi->EndpointAddress = e.address;
        pi->Interval = e.interval;
        pi->PipeType = pipe->type;
        pi->PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(pipe->handle);
    }
    currentAlternate_[alt.number] = alt.alternate;
}

NTSTATUS SimUsbBus::SelectConfiguration(PIRP irp, PURB urb) {
    auto& u = urb->UrbSelectConfiguration;
    if (urb->UrbHeader.Length < kSelectConfigurationBase)
        return CompleteUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    std::unique_lock<std::mutex> guard(lock_);
    ConfigLayout layout;
    std::vector<ChosenInterface> chosen;
    UCHAR value = 0;  // SET_CONFIGURATION 0 unconfigures
    if (u.ConfigurationDescriptor != nullptr) {
        const auto* d = reinterpret_cast<const uint8_t*>(u.ConfigurationDescriptor);
        const USHORT total = (USHORT)(d[2] | d[3] << 8);
        bool ok = d[0] >= 9 && d[1] == USB_CONFIGURATION_DESCRIPTOR_TYPE && total >= 9;
        if (ok) layout = WalkConfiguration(Bytes(d, d + total));
        if (!ok || !CollectInterfaces(urb, layout, &chosen)) {
            guard.unlock();
            return CompleteUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        }
        value = d[5];
    }
    ControlResult r = device_.HandleControlTransfer(
        {BMREQUEST_TO_DEVICE, USB_REQUEST_SET_CONFIGURATION, value, 0, 0}, nullptr, 0);
    for (const ChosenInterface& c : chosen)
        if (USBD_SUCCESS(r.status) && c.alt->alternate != 0) r = SetInterface(device_, c.alt->number, c.alt->alternate);
    if (!USBD_SUCCESS(r.status)) {
        guard.unlock();
        return CompleteUrb(irp, urb, r.status, NtStatusForUsbd(r.status));
    }
    std::vector<std::unique_ptr<BusTransfer>> aborted;
    for (auto& p : pipes_) {
        for (auto& t : DetachPipe(p.second.get())) aborted.push_back(std::move(t));
        p.second->valid = false;
    }
    layout_ = std::move(layout);
    currentAlternate_.clear();
    configurationHandle_ = u.ConfigurationDescriptor == nullptr ? 0 : 0x5C000000u + (++nextHandle_ << 6);
    for (const ChosenInterface& c : chosen) OpenInterface(c.info, *c.alt, &aborted);
    u.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(configurationHandle_);
    Changed();
    guard.unlock();
    FailAll(std::move(aborted), USBD_STATUS_CANCELED, STATUS_CANCELLED);
    return CompleteUrb(irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

NTSTATUS SimUsbBus::SelectInterface(PIRP irp, PURB urb) {
    auto& u = urb->UrbSelectInterface;
    PUSBD_INTERFACE_INFORMATION info = &u.Interface;
    std::unique_lock<std::mutex> guard(lock_);
    const AltSetting* alt = urb->UrbHeader.Length < kSelectInterfaceBase + kInterfaceInfoBase
                                ? nullptr
                                : layout_.Find(info->InterfaceNumber, info->AlternateSetting);
    const ULONG pipes = alt != nullptr ? (ULONG)alt->endpoints.size() : 0;
    if (alt == nullptr || configurationHandle_ == 0 ||
        reinterpret_cast<uintptr_t>(u.ConfigurationHandle) != configurationHandle_ ||
        urb->UrbHeader.Length < GET_SELECT_INTERFACE_REQUEST_SIZE(pipes) ||
        info->Length < GET_USBD_INTERFACE_SIZE(pipes) || !IntervalsValid(*alt, highSpeed_)) {
        guard.unlock();
        return CompleteUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    }
    const ControlResult r = SetInterface(device_, alt->number, alt->alternate);
    if (!USBD_SUCCESS(r.status)) {
        guard.unlock();
        return CompleteUrb(irp, urb, r.status, NtStatusForUsbd(r.status));
    }
    std::vector<std::unique_ptr<BusTransfer>> aborted;
    OpenInterface(info, *alt, &aborted);
    Changed();
    guard.unlock();
    FailAll(std::move(aborted), USBD_STATUS_CANCELED, STATUS_CANCELLED);
    TrafficStopped();
    return CompleteUrb(irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

NTSTATUS SimUsbBus::PipeRequest(PIRP irp, PURB urb) {
    const USHORT function = urb->UrbHeader.Function;
    std::unique_lock<std::mutex> guard(lock_);
    BusPipe* pipe = urb->UrbHeader.Length < kPipeRequestLength ? nullptr : FindPipe(urb->UrbPipeRequest.PipeHandle);
    if (pipe == nullptr) {
        guard.unlock();
        return CompleteUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
    }
    // The pending transfers complete first, then the request itself.
    auto aborted = DetachPipe(pipe);
    if (function != URB_FUNCTION_ABORT_PIPE) pipe->haveNext = false;
    USBD_STATUS status = USBD_STATUS_SUCCESS;
    if (function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL || function == URB_FUNCTION_SYNC_CLEAR_STALL)
        status = device_
                     .HandleControlTransfer({BMREQUEST_TO_ENDPOINT, USB_REQUEST_CLEAR_FEATURE,
                                             USB_FEATURE_ENDPOINT_STALL, pipe->endpoint.address, 0},
                                            nullptr, 0)
                     .status;
    Changed();
    guard.unlock();
    FailAll(std::move(aborted), USBD_STATUS_CANCELED, STATUS_CANCELLED);
    TrafficStopped();
    return CompleteUrb(irp, urb, status, NtStatusForUsbd(status));
}

}  // namespace simusb
