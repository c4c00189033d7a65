// The device's names and identity: "FriendlyName" and "Mfg" from its
// product and manufacturer strings, written to its Enum key, and the
// component id of the filters.
#include "adapter/family_choice.h"
#include "adapter/product_table.h"
#include "adapter/usb_audio_hal.h"
#include "nt/rtl.h"
#include "nt/zw.h"

namespace {

// A name string: the request asks for 256 bytes, the buffer holds a
// terminator after the longest text (2 + 127 * 2 bytes).
constexpr ULONG kNameRequestBytes = 256;
constexpr ULONG kNameBufferBytes = 260;
// Names are written with at most this many characters and a terminator.
constexpr ULONG kNameMaxChars = 49;
// Room for the fixed parts of the Enum key paths.
constexpr ULONG kPathSlackBytes = 132;

// USB-audio GUID bases: Data1 plus the vendor or product id gives the
// device's manufacturer or product GUID.
constexpr GUID kUsbAudioManufacturerBase = {0x4E1CECD2, 0x1679, 0x463B,
                                            {0xA7, 0x2F, 0xA5, 0xBF, 0x64, 0xC8, 0x6E, 0xBA}};
constexpr GUID kUsbAudioProductBase = {0xABCC5A5E, 0xC263, 0x463B,
                                       {0xA7, 0x2F, 0xA5, 0xBF, 0x64, 0xC8, 0x6E, 0xBA}};
// {8F1275F0-26E9-4264-BA4D-39FFF01D94AA}
constexpr GUID kComponentUsbAudio = {0x8F1275F0, 0x26E9, 0x4264,
                                     {0xBA, 0x4D, 0x39, 0xFF, 0xF0, 0x1D, 0x94, 0xAA}};

// Characters of a zero-terminated string within `units`.
ULONG BoundedLength(const WCHAR* text, ULONG units) {
    ULONG n = 0;
    while (n < units && text[n] != 0) ++n;
    return n;
}

// The text of a received name descriptor, terminated in place after at
// most kNameMaxChars characters without trailing blanks; its length.
ULONG TerminateName(PUCHAR descriptor, ULONG received) {
    auto* text = reinterpret_cast<WCHAR*>(descriptor + 2);
    ULONG units = StringDescriptorUnits(descriptor, received);
    if (units > kNameMaxChars) units = kNameMaxChars;
    text[units] = 0;
    units = BoundedLength(text, units);
    while (units > 0 && text[units - 1] == 0x0020) text[--units] = 0;
    return units;
}

// Pool copy of a device property (a REG_MULTI_SZ list), terminated twice
// after what the device reported; *units: its length in code units.
WCHAR* ReadHardwareIds(PDEVICE_OBJECT pdo, ULONG* units) {
    ULONG needed = 0;
    NTSTATUS status = IoGetDeviceProperty(pdo, DevicePropertyHardwareID, 0, NULL, &needed);
    if (status != STATUS_BUFFER_TOO_SMALL || needed == 0 || needed > 0x10000) return NULL;
    auto* ids = static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, needed + 4, ADAPTER_USB_TAG));
    if (ids == NULL) return NULL;
    RtlZeroMemory(ids, needed + 4);
    if (!NT_SUCCESS(IoGetDeviceProperty(pdo, DevicePropertyHardwareID, needed, ids, &needed))) {
        ExFreePoolWithTag(ids, ADAPTER_USB_TAG);
        return NULL;
    }
    *units = needed / sizeof(WCHAR);
    return ids;
}

// The name of the device's instance key (its instance id), zero-terminated.
WCHAR* ReadInstanceName(PDEVICE_OBJECT pdo) {
    HANDLE key = NULL;
    if (!NT_SUCCESS(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE,
                                            KEY_ALL_ACCESS, &key)))
        return NULL;
    WCHAR* name = NULL;
    ULONG needed = 0;
    NTSTATUS status = ZwQueryKey(key, KeyBasicInformation, NULL, 0, &needed);
    if ((status == STATUS_BUFFER_TOO_SMALL || status == STATUS_BUFFER_OVERFLOW) && needed != 0) {
        auto* info = static_cast<PKEY_BASIC_INFORMATION>(ExAllocatePoolWithTag(PagedPool, needed, ADAPTER_USB_TAG));
        if (info != NULL && NT_SUCCESS(ZwQueryKey(key, KeyBasicInformation, info, needed, &needed))) {
            name = static_cast<WCHAR*>(
                ExAllocatePoolWithTag(PagedPool, info->NameLength + sizeof(WCHAR), ADAPTER_USB_TAG));
            if (name != NULL) {
                RtlCopyMemory(name, info->Name, info->NameLength);
                name[info->NameLength / sizeof(WCHAR)] = 0;
            }
        }
        if (info != NULL) ExFreePoolWithTag(info, ADAPTER_USB_TAG);
    }
    ZwClose(key);
    return name;
}

// Writes the value under the device's key below `root` for one hardware
// ID; the status of the attempt.
NTSTATUS WriteUnderRoot(PCWSTR root, const WCHAR* id, ULONG idLength, const WCHAR* instance, PCWSTR valueName,
                        ULONG dataSize, PVOID data) {
    ULONG instanceLength = (ULONG)wcslen(instance);
    ULONG bytes = 2 * (idLength + instanceLength) + kPathSlackBytes;
    auto* path = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, ADAPTER_USB_TAG));
    if (path == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = RtlStringCbPrintfW(path, bytes, u"%s\\%.*s\\%s", root, (int)idLength, id, instance);
    if (NT_SUCCESS(status)) {
        UNICODE_STRING text;
        RtlInitUnicodeString(&text, path);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, NULL, NULL);
        HANDLE key = NULL;
        status = ZwOpenKey(&key, KEY_ALL_ACCESS, &attributes);
        if (NT_SUCCESS(status)) {
            UNICODE_STRING name;
            RtlInitUnicodeString(&name, valueName);
            status = ZwSetValueKey(key, &name, 0, REG_SZ, data, dataSize);
            ZwClose(key);
        }
    }
    ExFreePoolWithTag(path, ADAPTER_USB_TAG);
    return status;
}

}  // namespace

VOID CUsbAudioHal::UpdateDeviceNames() {
    UCHAR product = m_Transport.ProductStringIndex();
    if (product != 0) WriteNameFromString(product, ADAPTER_USB_TAG, u"FriendlyName");
    // String index 0 is the language list, never a name.
    UCHAR manufacturer = m_Transport.ManufacturerStringIndex();
    const PRODUCT_ROW* row = LookupProduct(m_Transport.VendorId(), m_Transport.ProductId());
    if (manufacturer != 0 && (row->Flags & PRODUCT_NO_MFG) == 0)
        WriteNameFromString(manufacturer, MANUFACTURER_NAME_TAG, u"Mfg");
}

// Failures are ignored: the installer's names stay.
VOID CUsbAudioHal::WriteNameFromString(UCHAR stringIndex, ULONG bufferTag, PCWSTR valueName) {
    auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, kNameBufferBytes, bufferTag));
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(URB), bufferTag));
    if (buffer != NULL && urb != NULL) {
        RtlZeroMemory(buffer, kNameBufferBytes);
        RtlZeroMemory(urb, sizeof(URB));
        UsbBuildGetDescriptorRequest(urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                     USB_STRING_DESCRIPTOR_TYPE, stringIndex, STRING_LANGUAGE_US, buffer, NULL,
                                     kNameRequestBytes, NULL);
        if (NT_SUCCESS(m_Transport.SubmitUrbSync(urb))) {
            ULONG received = urb->UrbControlDescriptorRequest.TransferBufferLength;
            if (received > kNameRequestBytes) received = kNameRequestBytes;
            ULONG length = TerminateName(buffer, received);
            // An empty name (blanks only, or a malformed descriptor) would
            // only hide the installer's.
            if (length > 0) WriteDeviceRegistryString(valueName, (length + 1) * sizeof(WCHAR), buffer + 2);
        }
    }
    if (urb != NULL) ExFreePoolWithTag(urb, bufferTag);
    if (buffer != NULL) ExFreePoolWithTag(buffer, bufferTag);
}

// The value goes to the device's Enum key, found for each hardware ID
// below CurrentControlSet, else below the old "\Registry\Machine\Enum".
// The result is that of the last attempt.
NTSTATUS CUsbAudioHal::WriteDeviceRegistryString(PCWSTR valueName, ULONG dataSize, PVOID data) {
    PAGED_CODE();
    ULONG units = 0;
    WCHAR* ids = ReadHardwareIds(Pdo, &units);
    WCHAR* instance = ids ? ReadInstanceName(Pdo) : NULL;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    if (ids != NULL && instance != NULL) {
        bool first = true;
        for (ULONG start = 0; start < units && ids[start] != 0;) {
            ULONG length = BoundedLength(ids + start, units - start);
            ULONG used = length;
            // The first ID is taken up to its first ','.
            for (ULONG i = 0; first && i < length; ++i)
                if (ids[start + i] == u',') used = i, i = length;
            status = WriteUnderRoot(u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum", ids + start, used,
                                    instance, valueName, dataSize, data);
            if (!NT_SUCCESS(status))
                status = WriteUnderRoot(u"\\Registry\\Machine\\Enum", ids + start, used, instance, valueName,
                                        dataSize, data);
            start += length + 1;
            first = false;
        }
    }
    if (instance != NULL) ExFreePoolWithTag(instance, ADAPTER_USB_TAG);
    if (ids != NULL) ExFreePoolWithTag(ids, ADAPTER_USB_TAG);
    return status;
}

NTSTATUS CUsbAudioHal::GetComponentId(KSCOMPONENTID* componentId) {
    if (componentId == NULL) return STATUS_INVALID_PARAMETER;
    RtlZeroMemory(componentId, sizeof(*componentId));
    componentId->Manufacturer = kUsbAudioManufacturerBase;
    componentId->Manufacturer.Data1 += m_Transport.VendorId();
    componentId->Product = kUsbAudioProductBase;
    componentId->Product.Data1 += m_Transport.ProductId();
    componentId->Component = kComponentUsbAudio;
    return STATUS_SUCCESS;
}
