#include "usb/usbd.h"

#include "nt/pool.h"

namespace {

// Start position as an offset into [base, base + total); false when outside.
bool OffsetInBuffer(const UCHAR* base, ULONG total, const void* start, ULONG* offset) {
    const auto b = reinterpret_cast<uintptr_t>(base);
    const auto s = reinterpret_cast<uintptr_t>(start);
    if (base == nullptr || s < b || s - b >= total) return false;
    *offset = (ULONG)(s - b);
    return true;
}

// Next well-formed descriptor at offset, or NULL when the walk must stop.
const USB_COMMON_DESCRIPTOR* DescriptorAt(const UCHAR* base, ULONG total, ULONG offset) {
    if (offset >= total || total - offset < 2) return nullptr;
    const auto* d = reinterpret_cast<const USB_COMMON_DESCRIPTOR*>(base + offset);
    if (d->bLength < 2 || d->bLength > total - offset) return nullptr;
    return d;
}

bool Matches(LONG wanted, UCHAR actual) { return wanted == -1 || wanted == (LONG)actual; }

}  // namespace

PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                             PVOID StartPosition, LONG DescriptorType) {
    const auto* base = static_cast<const UCHAR*>(DescriptorBuffer);
    ULONG offset = 0;
    if (!OffsetInBuffer(base, TotalLength, StartPosition, &offset)) return nullptr;
    while (const USB_COMMON_DESCRIPTOR* d = DescriptorAt(base, TotalLength, offset)) {
        if ((LONG)d->bDescriptorType == DescriptorType) return const_cast<PUSB_COMMON_DESCRIPTOR>(d);
        offset += d->bLength;
    }
    return nullptr;
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition,
    LONG InterfaceNumber, LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass,
    LONG InterfaceProtocol) {
    if (ConfigurationDescriptor == nullptr) return nullptr;
    const auto* base = reinterpret_cast<const UCHAR*>(ConfigurationDescriptor);
    const ULONG total = ConfigurationDescriptor->wTotalLength;
    ULONG offset = 0;
    if (!OffsetInBuffer(base, total, StartPosition, &offset)) return nullptr;
    while (const USB_COMMON_DESCRIPTOR* d = DescriptorAt(base, total, offset)) {
        if (d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE &&
            d->bLength >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            const auto* i = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(d);
            if (Matches(InterfaceNumber, i->bInterfaceNumber) &&
                Matches(AlternateSetting, i->bAlternateSetting) &&
                Matches(InterfaceClass, i->bInterfaceClass) &&
                Matches(InterfaceSubClass, i->bInterfaceSubClass) &&
                Matches(InterfaceProtocol, i->bInterfaceProtocol)) {
                return const_cast<PUSB_INTERFACE_DESCRIPTOR>(i);
            }
        }
        offset += d->bLength;
    }
    return nullptr;
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
    if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr) return nullptr;
    // Count, then allocate, then fill: the endpoint counts are the device's.
    const ULONG header = (ULONG)offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    ULONG size = header;
    ULONG interfaces = 0;
    for (auto* e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e) {
        size += GET_USBD_INTERFACE_SIZE(e->InterfaceDescriptor->bNumEndpoints);
        ++interfaces;
        if (size > 0xFFFF) return nullptr;
    }
    if (interfaces == 0) return nullptr;
    const ULONG allocation = size < sizeof(URB) ? (ULONG)sizeof(URB) : size;
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, allocation, USBD_POOL_TAG));
    if (urb == nullptr) return nullptr;
    std::memset(urb, 0, allocation);
    UsbBuildSelectConfigurationRequest(urb, (USHORT)size, ConfigurationDescriptor);

    auto* cursor = reinterpret_cast<UCHAR*>(urb) + header;
    for (auto* e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e) {
        const USB_INTERFACE_DESCRIPTOR* d = e->InterfaceDescriptor;
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(cursor);
        info->Length = (USHORT)GET_USBD_INTERFACE_SIZE(d->bNumEndpoints);
        info->InterfaceNumber = d->bInterfaceNumber;
        info->AlternateSetting = d->bAlternateSetting;
        info->NumberOfPipes = d->bNumEndpoints;
        for (ULONG p = 0; p < d->bNumEndpoints; ++p) {
            info->Pipes[p].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        }
        e->Interface = info;
        cursor += info->Length;
    }
    return urb;
}
