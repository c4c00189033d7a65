// Filter handles: CREATE of "\<subdevice name>" opens one, DEVICE_CONTROL
// on it goes to the front-end hooks of its port kind, CLOSE frees it.
#include "platform/portcls/pc_port.h"

namespace pcls {

const ULONG kFilterMagic = MakePoolTag("PcFh");

namespace {

// The subdevice a create names: the file name is "\" followed by the name,
// compared without case; nothing else opens.
CPortBase* FindCreateTarget(PcDevice* device, PFILE_OBJECT file) {
    if (file == nullptr || file->RelatedFileObject != nullptr) return nullptr;
    std::u16string path = ToU16(file->FileName);
    if (path.size() < 2 || path[0] != u'\\') return nullptr;
    std::u16string name = path.substr(1);
    std::lock_guard<std::mutex> guard(device->lock);
    for (Subdevice& s : device->subdevices) {
        if (!NamesEqual(s.name, name)) continue;
        s.port->AddRef();
        return s.port;
    }
    return nullptr;
}

}  // namespace

PcFilter* FilterFromFile(PFILE_OBJECT file) {
    if (file == nullptr || file->FsContext2 != &kFilterMagic) return nullptr;
    return static_cast<PcFilter*>(file->FsContext);
}

NTSTATUS OpenFilter(PcDevice* device, PIRP irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    CPortBase* port = FindCreateTarget(device, file);
    if (port == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    NTSTATUS status = port->AddUser();
    if (!NT_SUCCESS(status)) {
        port->Release();
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    auto* filter = new PcFilter{};
    filter->port = port;
    filter->instance.DeviceObject = device->fdo;
    filter->instance.FileObject = file;
    filter->instance.PortKind = port->Kind();
    filter->instance.Port = port->Identity();
    filter->instance.PortContext = port->FrontEndContext();
    port->AttachFilter(&filter->instance);
    file->FsContext = filter;
    file->FsContext2 = const_cast<ULONG*>(&kFilterMagic);
    return STATUS_SUCCESS;
}

void CloseFilter(PcFilter* filter) {
    PC_FILTER_HOOKS hooks = FilterHooks(filter->instance.PortKind);
    if (hooks.CloseFilter) hooks.CloseFilter(&filter->instance);
    PFILE_OBJECT file = filter->instance.FileObject;
    file->FsContext = nullptr;
    file->FsContext2 = nullptr;
    CPortBase* port = filter->port;
    port->DetachFilter(&filter->instance);
    delete filter;
    port->RemoveUser();
    port->Release();
}

NTSTATUS FilterDeviceControl(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Information = 0;
    PcFilter* filter = FilterFromFile(stack->FileObject);
    if (filter == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    // The subdevice was unregistered while the handle stayed open.
    if (filter->instance.Descriptor == nullptr) return STATUS_DEVICE_REMOVED;
    PC_FILTER_HOOKS hooks = FilterHooks(filter->instance.PortKind);
    NTSTATUS (*hook)(PPC_FILTER_INSTANCE, PIRP) = nullptr;
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_KS_PROPERTY: hook = hooks.Property; break;
        case IOCTL_KS_ENABLE_EVENT: hook = hooks.EnableEvent; break;
        case IOCTL_KS_DISABLE_EVENT: hook = hooks.DisableEvent; break;
        default: break;
    }
    if (hook == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    return hook(&filter->instance, irp);
}

}  // namespace pcls
