// Simulated USB bus: IRP dispatch, control requests, the port IOCTLs,
// fault rules, the USBDI bus interface and the frame clock.
#include "platform/usb/bus.h"

#include <cstring>

#include "sim/executor.h"
#include "platform/usb/bus_internal.h"

namespace simusb {

namespace {

constexpr ULONG kControlRequestLength = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);

// A control request as the device sees it, and where its data stage lives.
struct ControlShape {
    SetupPacket setup;
    PVOID buffer = nullptr;
    PMDL mdl = nullptr;
    ULONG* length = nullptr;  // the URB's TransferBufferLength
};

UCHAR RecipientOf(USHORT function) {
    switch (function) {
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_CLASS_INTERFACE:
        return BMREQUEST_TO_INTERFACE;
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_CLASS_ENDPOINT:
        return BMREQUEST_TO_ENDPOINT;
    case URB_FUNCTION_GET_STATUS_FROM_OTHER:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_OTHER:
        return BMREQUEST_TO_OTHER;
    default:
        return BMREQUEST_TO_DEVICE;
    }
}

// Builds the setup packet of a control URB; false for functions that are
// not control requests.
bool ShapeControl(PURB urb, ControlShape* c) {
    const USHORT function = urb->UrbHeader.Function;
    const UCHAR recipient = RecipientOf(function);
    auto& d = urb->UrbControlDescriptorRequest;
    c->buffer = d.TransferBuffer;
    c->mdl = d.TransferBufferMDL;
    c->length = &d.TransferBufferLength;
    SetupPacket& s = c->setup;
    switch (function) {
    case URB_FUNCTION_CONTROL_TRANSFER: {
        auto& t = urb->UrbControlTransfer;
        const uint8_t* p = t.SetupPacket;
        s = {p[0], p[1], (USHORT)(p[2] | p[3] << 8), (USHORT)(p[4] | p[5] << 8), 0};
        if (t.TransferFlags & USBD_TRANSFER_DIRECTION_IN) s.bmRequestType |= BMREQUEST_DEVICE_TO_HOST;
        break;
    }
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
        s = {(UCHAR)(BMREQUEST_DEVICE_TO_HOST | recipient), USB_REQUEST_GET_DESCRIPTOR,
             (USHORT)(d.DescriptorType << 8 | d.Index), d.LanguageId, 0};
        break;
    case URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE:
        s = {recipient, USB_REQUEST_SET_DESCRIPTOR, (USHORT)(d.DescriptorType << 8 | d.Index),
             d.LanguageId, 0};
        break;
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT: {
        auto& f = urb->UrbControlFeatureRequest;
        const bool set = function <= URB_FUNCTION_SET_FEATURE_TO_ENDPOINT;
        s = {recipient, set ? USB_REQUEST_SET_FEATURE : USB_REQUEST_CLEAR_FEATURE,
             f.FeatureSelector, f.Index, 0};
        c->buffer = nullptr;
        c->mdl = nullptr;
        c->length = nullptr;
        break;
    }
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
    case URB_FUNCTION_GET_STATUS_FROM_OTHER:
        s = {(UCHAR)(BMREQUEST_DEVICE_TO_HOST | recipient), USB_REQUEST_GET_STATUS, 0,
             urb->UrbControlGetStatusRequest.Index, 0};
        break;
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER: {
        auto& v = urb->UrbControlVendorClassRequest;
        const bool vendor = function <= URB_FUNCTION_VENDOR_ENDPOINT || function == URB_FUNCTION_VENDOR_OTHER;
        UCHAR type = (UCHAR)((vendor ? BMREQUEST_VENDOR : BMREQUEST_CLASS) | recipient | v.RequestTypeReservedBits);
        if (v.TransferFlags & USBD_TRANSFER_DIRECTION_IN) type |= BMREQUEST_DEVICE_TO_HOST;
        s = {type, v.Request, v.Value, v.Index, 0};
        break;
    }
    default:
        return false;
    }
    const ULONG length = c->length ? *c->length : 0;
    s.wLength = (USHORT)(length > 0xFFFF ? 0xFFFF : length);
    return true;
}

}  // namespace

NTSTATUS NtStatusForUsbd(USBD_STATUS status) {
    if (USBD_SUCCESS(status)) return STATUS_SUCCESS;
    switch (status) {
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INVALID_URB_FUNCTION:
        return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_CANCELED:
        return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE:
        return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_NOT_ACCESSED:
        return STATUS_DEVICE_NOT_READY;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

uint8_t* TransferAddress(PVOID buffer, PMDL mdl) {
    if (buffer != nullptr) return static_cast<uint8_t*>(buffer);
    if (mdl != nullptr) return static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(mdl, 0));
    return nullptr;
}

NTSTATUS CompleteUrb(PIRP irp, PURB urb, USBD_STATUS usbd, NTSTATUS status) {
    if (urb != nullptr) urb->UrbHeader.Status = usbd;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// ------------------------------------------------------------ lifetime

SimUsbBus::SimUsbBus(SimDevice& device)
    : device_(device), highSpeed_(device.highSpeed()), epoch_(sim::Now()) {
    device_.SetInMessageListener([this](UCHAR endpoint) { OnInMessage(endpoint); });
}

SimUsbBus::~SimUsbBus() {
    device_.SetInMessageListener(nullptr);
    std::vector<std::unique_ptr<BusTransfer>> left;
    PIRP idle = nullptr;
    {
        std::unique_lock<std::mutex> guard(lock_);
        closing_ = true;
        for (auto it = scheduled_.begin(); it != scheduled_.end();)
            it = sim::CancelScheduled(it->second) ? scheduled_.erase(it) : std::next(it);
        // A running idle callback may wait on the virtual clock.
        sim::OutsideWait outside("simulated USB bus shutdown");
        closed_.wait(guard, [this] {
            return scheduled_.empty() && runningCallbacks_ == 0 && idleWorkOutstanding_ == 0;
        });
        left = DetachAll();
        if (idleIrp_ != nullptr && IoSetCancelRoutine(idleIrp_, nullptr) != nullptr) idle = idleIrp_;
        idleIrp_ = nullptr;
    }
    FailAll(std::move(left), USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
    if (idle != nullptr) CompleteUrb(idle, nullptr, 0, STATUS_DEVICE_NOT_CONNECTED);
}

// ------------------------------------------------------------ dispatch

bool SimUsbBus::HandleIrp(PDEVICE_OBJECT, PIRP irp, NTSTATUS* status) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    switch (sp->MajorFunction) {
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        *status = DispatchInternal(irp, true);
        return true;
    case IRP_MJ_PNP:
        if (sp->MinorFunction != IRP_MN_QUERY_INTERFACE || sp->Parameters.QueryInterface.InterfaceType == nullptr ||
            *sp->Parameters.QueryInterface.InterfaceType != USB_BUS_INTERFACE_USBDI_GUID)
            return false;
        *status = QueryInterface(irp);
        return true;
    case IRP_MJ_POWER:
        if (sp->MinorFunction == IRP_MN_SET_POWER && sp->Parameters.Power.Type == DevicePowerState)
            OnDevicePower(sp->Parameters.Power.State.DeviceState);
        return false;  // the harness's bus driver records and completes it
    default:
        return false;
    }
}

NTSTATUS SimUsbBus::DispatchInternal(PIRP irp, bool applyRules) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    const ULONG ioctl = sp->Parameters.DeviceIoControl.IoControlCode;
    PURB urb = ioctl == IOCTL_INTERNAL_USB_SUBMIT_URB ? static_cast<PURB>(sp->Parameters.Others.Argument1) : nullptr;
    if (applyRules) {
        if (urb != nullptr && urb->UrbHeader.Function < urbCounts_.size()) {
            std::lock_guard<std::mutex> guard(lock_);
            ++urbCounts_[urb->UrbHeader.Function];
        }
        if (std::optional<BusFaultRule> rule = MatchRule(ioctl, urb)) return ApplyRule(irp, urb, *rule);
    }
    // A scripted port answer is given even to a device that has gone.
    if (ioctl == IOCTL_INTERNAL_USB_GET_PORT_STATUS) return PortStatus(irp);
    if (!plugged()) return CompleteUrb(irp, urb, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
    switch (ioctl) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
        if (urb == nullptr) return CompleteUrb(irp, nullptr, 0, STATUS_INVALID_PARAMETER);
        return SubmitUrb(irp, urb);
    case IOCTL_INTERNAL_USB_RESET_PORT:
        return ResetPort(irp);
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
        return CyclePort(irp);
    case IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION:
        return SubmitIdle(irp);
    default:
        return CompleteUrb(irp, nullptr, 0, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS SimUsbBus::SubmitUrb(PIRP irp, PURB urb) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (suspended_) {
            ++suspendedFailures_;
            Changed();
            return CompleteUrb(irp, urb, USBD_STATUS_NOT_ACCESSED, STATUS_DEVICE_NOT_READY);
        }
    }
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return SelectConfiguration(irp, urb);
    case URB_FUNCTION_SELECT_INTERFACE:
        return SelectInterface(irp, urb);
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
        return PipeRequest(irp, urb);
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
        if (urb->UrbHeader.Length < sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER))
            return CompleteUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        urb->UrbGetCurrentFrameNumber.FrameNumber = FrameNumber();
        return CompleteUrb(irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    case URB_FUNCTION_ISOCH_TRANSFER:
        return IsochTransfer(irp, urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return BulkOrInterruptTransfer(irp, urb);
    default:
        return ControlRequest(irp, urb);
    }
}

// ------------------------------------------------------------ fault rules

std::optional<BusFaultRule> SimUsbBus::MatchRule(ULONG ioctl, PURB urb) {
    std::lock_guard<std::mutex> guard(lock_);
    std::optional<UCHAR> endpoint;
    if (urb != nullptr) {
        switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_ISOCH_TRANSFER:
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        case URB_FUNCTION_SYNC_RESET_PIPE:
        case URB_FUNCTION_SYNC_CLEAR_STALL: {
            const BusPipe* pipe = FindPipe(urb->UrbPipeRequest.PipeHandle);
            if (pipe != nullptr) endpoint = pipe->endpoint.address;
            break;
        }
        default:
            if (urb->UrbHeader.Function != URB_FUNCTION_SELECT_CONFIGURATION &&
                urb->UrbHeader.Function != URB_FUNCTION_SELECT_INTERFACE &&
                urb->UrbHeader.Function != URB_FUNCTION_GET_CURRENT_FRAME_NUMBER)
                endpoint = 0;  // the default pipe
        }
    }
    for (BusFaultRule& r : rules_) {
        if (r.count == 0) continue;
        if (r.ioctl && *r.ioctl != ioctl) continue;
        if (r.urbFunction && (urb == nullptr || *r.urbFunction != urb->UrbHeader.Function)) continue;
        if (r.endpoint && (!endpoint || *r.endpoint != *endpoint)) continue;
        if (r.skip > 0) {
            --r.skip;
            continue;
        }
        if (r.count > 0) --r.count;
        return r;
    }
    return std::nullopt;
}

NTSTATUS SimUsbBus::ApplyRule(PIRP irp, PURB urb, const BusFaultRule& rule) {
    switch (rule.action) {
    case BusFaultRule::Fail:
        return CompleteUrb(irp, urb, rule.usbdStatus, rule.status);
    case BusFaultRule::NotConnected:
        return CompleteUrb(irp, urb, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
    case BusFaultRule::NoAnswer:
    case BusFaultRule::Late:
        break;
    }
    auto t = std::make_unique<BusTransfer>();
    t->irp = irp;
    t->urb = urb;
    t->kind = rule.action == BusFaultRule::Late ? BusTransfer::RuleDelayed : BusTransfer::RuleHeld;
    std::unique_lock<std::mutex> guard(lock_);
    if (t->kind == BusTransfer::RuleDelayed) {
        t->due = sim::Now() + (LONGLONG)rule.delayMs * sim::kTicksPerMillisecond;
        const uint64_t serial = t->serial = nextToken_++;
        Schedule(t->due, [this, irp, serial] {
            std::unique_ptr<BusTransfer> mine;
            {
                std::lock_guard<std::mutex> g(lock_);
                auto it = pending_.find(irp);
                if (it == pending_.end() || it->second->serial != serial || !Claim(it->second.get())) return;
                mine = Detach(it->second.get());
            }
            DispatchInternal(mine->irp, false);
        });
    }
    return Hold(guard, std::move(t));
}

void SimUsbBus::AddFaultRule(const BusFaultRule& rule) {
    std::lock_guard<std::mutex> guard(lock_);
    rules_.push_back(rule);
}

void SimUsbBus::ClearFaultRules() {
    std::lock_guard<std::mutex> guard(lock_);
    rules_.clear();
}

// ------------------------------------------------------------ control

NTSTATUS SimUsbBus::ControlRequest(PIRP irp, PURB urb) {
    ControlShape c;
    if (!ShapeControl(urb, &c))
        return CompleteUrb(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER);
    if (urb->UrbHeader.Length < kControlRequestLength)
        return CompleteUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    auto t = std::make_unique<BusTransfer>();
    t->irp = irp;
    t->urb = urb;
    t->in = (c.setup.bmRequestType & BMREQUEST_DEVICE_TO_HOST) != 0;
    t->length = c.setup.wLength;
    t->buffer = TransferAddress(c.buffer, c.mdl);
    if (t->buffer == nullptr && t->length > 0)
        return CompleteUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    // The device works on a copy, so a late answer never writes into a
    // buffer whose request was cancelled meanwhile.
    t->data.assign(t->length, 0);
    if (!t->in && t->length > 0) std::memcpy(t->data.data(), t->buffer, t->length);
    t->result = device_.HandleControlTransfer(c.setup, t->data.data(), t->length);
    switch (t->result.disposition) {
    case Disposition::Complete:
        break;
    case Disposition::NotConnected:
        return CompleteUrb(irp, urb, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
    case Disposition::NoAnswer: {
        t->kind = BusTransfer::ControlNever;
        std::unique_lock<std::mutex> guard(lock_);
        return Hold(guard, std::move(t));
    }
    case Disposition::Late: {
        t->kind = BusTransfer::ControlLate;
        std::unique_lock<std::mutex> guard(lock_);
        t->due = sim::Now() + (LONGLONG)t->result.delayMs * sim::kTicksPerMillisecond;
        const uint64_t serial = t->serial = nextToken_++;
        Schedule(t->due, [this, irp, serial] {
            std::unique_ptr<BusTransfer> mine;
            {
                std::lock_guard<std::mutex> g(lock_);
                auto it = pending_.find(irp);
                if (it == pending_.end() || it->second->serial != serial || !Claim(it->second.get())) return;
                mine = Detach(it->second.get());
            }
            Finish(std::move(mine));
        });
        return Hold(guard, std::move(t));
    }
    }
    const NTSTATUS status = NtStatusForUsbd(t->result.status);
    FinishControl(t.get());
    {
        std::lock_guard<std::mutex> guard(lock_);
        lastTraffic_ = sim::Now();
    }
    TrafficStopped();
    return status;
}

// Writes the device's answer into the URB and completes the IRP.
void SimUsbBus::FinishControl(BusTransfer* t) {
    const ControlResult& r = t->result;
    ControlShape c;
    ShapeControl(t->urb, &c);
    const ULONG bytes = r.bytes < t->length ? r.bytes : t->length;
    if (t->in && USBD_SUCCESS(r.status) && bytes > 0) std::memcpy(t->buffer, t->data.data(), bytes);
    if (c.length != nullptr) *c.length = USBD_SUCCESS(r.status) ? bytes : 0;
    CompleteUrb(t->irp, t->urb, r.status, NtStatusForUsbd(r.status));
}

// ------------------------------------------------------------ port

NTSTATUS SimUsbBus::PortStatus(PIRP irp) {
    auto* out = static_cast<PULONG>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    PortStatusAnswer answer;
    {
        std::lock_guard<std::mutex> guard(lock_);
        ++portQueries_;
        if (!portScript_.empty()) {
            answer = portScript_.front();
            portScript_.erase(portScript_.begin());
        } else if (!plugged_) {
            answer.status = STATUS_DEVICE_NOT_CONNECTED;
        }
        Changed();
    }
    if (out == nullptr) return CompleteUrb(irp, nullptr, 0, STATUS_INVALID_PARAMETER);
    if (NT_SUCCESS(answer.status)) *out = answer.portStatus;
    return CompleteUrb(irp, nullptr, 0, answer.status);
}

NTSTATUS SimUsbBus::ResetPort(PIRP irp) {
    std::vector<std::unique_ptr<BusTransfer>> aborted;
    {
        std::lock_guard<std::mutex> guard(lock_);
        ++resets_;
        aborted = DetachAll();
        device_.ResetPort();
        for (auto& p : pipes_) {
            auto it = currentAlternate_.find(p.second->interfaceNumber);
            if (it != currentAlternate_.end() && it->second != 0) p.second->valid = false;
            p.second->haveNext = false;
        }
        for (auto& a : currentAlternate_) a.second = 0;
        Changed();
    }
    FailAll(std::move(aborted), USBD_STATUS_CANCELED, STATUS_CANCELLED);
    TrafficStopped();
    return CompleteUrb(irp, nullptr, 0, STATUS_SUCCESS);
}

NTSTATUS SimUsbBus::CyclePort(PIRP irp) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        ++cycles_;
    }
    Unplug();
    return CompleteUrb(irp, nullptr, 0, STATUS_SUCCESS);
}

void SimUsbBus::Unplug() {
    std::vector<std::unique_ptr<BusTransfer>> left;
    PIRP idle = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock_);
        plugged_ = false;
        left = DetachAll();
        if (idleIrp_ != nullptr && !idleCallbackRunning_ && IoSetCancelRoutine(idleIrp_, nullptr) != nullptr) {
            idle = idleIrp_;
            idleIrp_ = nullptr;
        }
        Changed();
    }
    FailAll(std::move(left), USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
    if (idle != nullptr) CompleteIdle(idle, STATUS_DEVICE_NOT_CONNECTED);
}

bool SimUsbBus::plugged() const {
    std::lock_guard<std::mutex> guard(lock_);
    return plugged_;
}

void SimUsbBus::ScriptPortStatus(std::vector<PortStatusAnswer> answers) {
    std::lock_guard<std::mutex> guard(lock_);
    portScript_ = std::move(answers);
}

int SimUsbBus::PortStatusQueries() const {
    std::lock_guard<std::mutex> guard(lock_);
    return portQueries_;
}

int SimUsbBus::ResetPortCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return resets_;
}

int SimUsbBus::CyclePortCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return cycles_;
}

// ------------------------------------------------------------ bus interface

namespace {

SimUsbBus* BusOf(PVOID context) { return static_cast<SimUsbBus*>(context); }

}  // namespace

struct BusAccess {
    static VOID Reference(PVOID context) {
        std::lock_guard<std::mutex> guard(BusOf(context)->lock_);
        ++BusOf(context)->busInterfaceRefs_;
    }
    static VOID Dereference(PVOID context) {
        std::lock_guard<std::mutex> guard(BusOf(context)->lock_);
        --BusOf(context)->busInterfaceRefs_;
    }
    static VOID Version(PVOID, PUSBD_VERSION_INFORMATION version, PULONG capabilities) {
        if (version != nullptr) *version = {0x600, 0x200};
        if (capabilities != nullptr) *capabilities = 0;
    }
    static NTSTATUS QueryBusTime(PVOID context, PULONG frame) {
        SimUsbBus* bus = BusOf(context);
        NTSTATUS status;
        {
            std::lock_guard<std::mutex> guard(bus->lock_);
            status = bus->busTimeStatus_;
        }
        if (NT_SUCCESS(status) && frame != nullptr) *frame = bus->FrameNumber();
        return status;
    }
    static NTSTATUS SubmitIsoOutUrb(PVOID, PURB) { return STATUS_NOT_SUPPORTED; }
    static NTSTATUS QueryBusInformation(PVOID, ULONG, PVOID, PULONG, PULONG) { return STATUS_NOT_SUPPORTED; }
    static BOOLEAN IsDeviceHighSpeed(PVOID context) { return BusOf(context)->highSpeed_ ? TRUE : FALSE; }
};

NTSTATUS SimUsbBus::QueryInterface(PIRP irp) {
    auto& q = IoGetCurrentIrpStackLocation(irp)->Parameters.QueryInterface;
    BusInterfaceMode mode;
    {
        std::lock_guard<std::mutex> guard(lock_);
        mode = busInterfaceMode_;
    }
    if (mode == BusInterfaceMode::Refuse || q.Version != USB_BUSIF_USBDI_VERSION_1 ||
        q.Size < sizeof(USB_BUS_INTERFACE_USBDI_V1) || q.Interface == nullptr)
        return CompleteUrb(irp, nullptr, 0, STATUS_NOT_SUPPORTED);
    auto* bi = reinterpret_cast<PUSB_BUS_INTERFACE_USBDI_V1>(q.Interface);
    bi->Size = sizeof(USB_BUS_INTERFACE_USBDI_V1);
    bi->Version = USB_BUSIF_USBDI_VERSION_1;
    bi->BusContext = mode == BusInterfaceMode::NullContext ? nullptr : this;
    bi->InterfaceReference = BusAccess::Reference;
    bi->InterfaceDereference = BusAccess::Dereference;
    bi->GetUSBDIVersion = BusAccess::Version;
    bi->QueryBusTime = BusAccess::QueryBusTime;
    bi->SubmitIsoOutUrb = BusAccess::SubmitIsoOutUrb;
    bi->QueryBusInformation = BusAccess::QueryBusInformation;
    bi->IsDeviceHighSpeed = BusAccess::IsDeviceHighSpeed;
    // The interface is handed out referenced; its user drops the reference
    // with InterfaceDereference.
    if (bi->BusContext != nullptr) BusAccess::Reference(this);
    return CompleteUrb(irp, nullptr, 0, STATUS_SUCCESS);
}

void SimUsbBus::SetBusInterfaceMode(BusInterfaceMode mode) {
    std::lock_guard<std::mutex> guard(lock_);
    busInterfaceMode_ = mode;
}

void SimUsbBus::FailQueryBusTime(NTSTATUS status) {
    std::lock_guard<std::mutex> guard(lock_);
    busTimeStatus_ = status;
}

LONG SimUsbBus::BusInterfaceReferences() const {
    std::lock_guard<std::mutex> guard(lock_);
    return busInterfaceRefs_;
}

// ------------------------------------------------------------ frame clock

ULONG SimUsbBus::FrameNumber() const {
    const int64_t frame = CurrentMicroframe() / kMicroframesPerFrame;
    std::lock_guard<std::mutex> guard(lock_);
    return (ULONG)(frameBase_ + frame);
}

void SimUsbBus::SetFrameNumber(ULONG frame) {
    const int64_t current = CurrentMicroframe() / kMicroframesPerFrame;
    std::lock_guard<std::mutex> guard(lock_);
    frameBase_ = (int64_t)frame - current;
}

LONGLONG SimUsbBus::FrameStart() const {
    return SlotStart(CurrentMicroframe() / kMicroframesPerFrame * kMicroframesPerFrame);
}

int64_t SimUsbBus::CurrentMicroframe() const { return (sim::Now() - epoch_) / kTicksPerMicroframe; }

LONGLONG SimUsbBus::SlotStart(int64_t microframe) const { return epoch_ + microframe * kTicksPerMicroframe; }

// ------------------------------------------------------------ inspection

USBD_PIPE_HANDLE SimUsbBus::PipeHandle(UCHAR endpoint) const {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& p : pipes_)
        if (p.second->valid && p.second->endpoint.address == endpoint)
            return reinterpret_cast<USBD_PIPE_HANDLE>(p.second->handle);
    return nullptr;
}

USBD_CONFIGURATION_HANDLE SimUsbBus::ConfigurationHandle() const {
    std::lock_guard<std::mutex> guard(lock_);
    return reinterpret_cast<USBD_CONFIGURATION_HANDLE>(configurationHandle_);
}

size_t SimUsbBus::PendingTransfers(UCHAR endpoint) const {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& p : pipes_)
        if (p.second->valid && p.second->endpoint.address == endpoint) return p.second->queue.size();
    return 0;
}

size_t SimUsbBus::PendingControlRequests() const {
    std::lock_guard<std::mutex> guard(lock_);
    size_t n = 0;
    for (const auto& p : pending_) n += p.second->pipe == nullptr ? 1 : 0;
    return n;
}

ULONG SimUsbBus::UrbCount(USHORT function) const {
    std::lock_guard<std::mutex> guard(lock_);
    return function < urbCounts_.size() ? urbCounts_[function] : 0;
}

}  // namespace simusb
