// CUac1Hal::InitHardware: the capability words from the model string and
// the device's registers, then the descriptor parsers.
//
// Capability words by model string (its first code units, compared only
// within min(bLength, bytes received), as the adapter's family choice
// compares them):
//
//   string        register reads (vendor, IN, recipient other)   words
//   "Z7BR"        bRequest 2, wValue 0x51: byte R                R = 0x1F: FeatureMask of
//                                                                the product row; else 0
//   "XRW4QN"      bRequest 0, wValue 0x1A: A; wValue 0x20: B     B bit 1 clear and
//                                                                (A AND 0x0E) = 8: FeatureMask
//                                                                0x3E087; = 0x0E: the same and
//                                                                Flags ENDPOINT_CAPS_ASIO;
//                                                                anything else fails the start
//   other         none                                           0
//   none read     none                                           the product row's words when
//                                                                it has them, else the start
//                                                                fails with the read's status
#include "adapter/model/uac1_hal.h"

#include "adapter/base/start_log.h"
#include "adapter/model/descriptor_cursor.h"
#include "adapter/model/uac1_products.h"
#include "adapter/usb/usb_audio_device.h"
#include "nt/dbg.h"
#include "nt/rtl.h"
#include "topology/interface_ref.h"

namespace {

constexpr ULONG kStringBytes = 104;
constexpr UCHAR kModelStringIndex = 0x50;
constexpr UCHAR kModelStringFallbackIndex = 0x32;
constexpr USHORT kLanguageUsEnglish = 0x0409;
// A string descriptor holds at most 127 code units after its header.
constexpr ULONG kMaxStringUnits = 127;

constexpr UCHAR kZ7brRequest = 2;
constexpr USHORT kZ7brRegister = 0x0051;
constexpr UCHAR kZ7brFullFeatures = 0x1F;
constexpr UCHAR kXrw4qnRequest = 0;
constexpr USHORT kXrw4qnRegisterA = 0x001A;
constexpr USHORT kXrw4qnRegisterB = 0x0020;
constexpr ULONG kXrw4qnFeatureMask = 0x3E087;

// A non-paged block of the 'temp' tag, freed with the scope.
class CTempBlock {
public:
    explicit CTempBlock(SIZE_T bytes) : m_Block(ExAllocatePoolWithTag(NonPagedPoolNx, bytes, UAC1_TEMP_TAG)) {
        if (m_Block != NULL) RtlZeroMemory(m_Block, bytes);
    }
    ~CTempBlock() {
        if (m_Block != NULL) ExFreePoolWithTag(m_Block, UAC1_TEMP_TAG);
    }
    CTempBlock(const CTempBlock&) = delete;
    CTempBlock& operator=(const CTempBlock&) = delete;
    template <class T>
    T* As() const {
        return static_cast<T*>(m_Block);
    }

private:
    PVOID m_Block;
};

// Code units of a string descriptor as received: 0 unless at least 2 bytes
// arrived and bDescriptorType is 3; otherwise (min(bLength, received) - 2)
// / 2. The adapter's family choice counts the same way.
ULONG ReceivedUnits(const UCHAR* descriptor, ULONG received) {
    if (received < 2 || descriptor[1] != USB_STRING_DESCRIPTOR_TYPE) return 0;
    const ULONG bytes = descriptor[0] < received ? descriptor[0] : received;
    const ULONG units = bytes < 2 ? 0 : (bytes - 2) / 2;
    return units > kMaxStringUnits ? kMaxStringUnits : units;
}

bool BeginsWith(const UCHAR* descriptor, ULONG units, const char* prefix) {
    ULONG i = 0;
    for (; prefix[i] != '\0'; ++i)
        if (i >= units || StringUnitAt(descriptor, i) != (USHORT)(UCHAR)prefix[i]) return false;
    return true;
}

// String 0x50, else 0x32, into buffer; *received: the bytes the device sent.
NTSTATUS ReadModelString(IUsbAudioDevice* usb, PURB urb, PUCHAR buffer, ULONG* received) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    for (UCHAR index : {kModelStringIndex, kModelStringFallbackIndex}) {
        RtlZeroMemory(urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
        RtlZeroMemory(buffer, kStringBytes);
        UsbBuildGetDescriptorRequest(urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                     USB_STRING_DESCRIPTOR_TYPE, index, kLanguageUsEnglish, buffer, NULL, kStringBytes,
                                     NULL);
        status = usb->SubmitUrbSync(urb);
        if (NT_SUCCESS(status)) {
            const ULONG length = urb->UrbControlDescriptorRequest.TransferBufferLength;
            *received = length < kStringBytes ? length : kStringBytes;
            return status;
        }
    }
    return status;
}

// One register read: a vendor request to "other", IN, wIndex 0, one byte.
struct REGISTER_REQUEST {
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST Urb;
    UCHAR Data;
};

// A request block that could not be allocated (NULL) reads 0.
NTSTATUS ReadRegisterByte(IUsbAudioDevice* usb, REGISTER_REQUEST* r, UCHAR request, USHORT value, UCHAR* byte) {
    *byte = 0;
    if (r == NULL) return STATUS_SUCCESS;
    RtlZeroMemory(r, sizeof(*r));
    UsbBuildVendorRequest(reinterpret_cast<PURB>(&r->Urb), URB_FUNCTION_VENDOR_OTHER, (USHORT)sizeof(r->Urb),
                          USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0, request, value, 0, &r->Data, NULL, 1,
                          NULL);
    NTSTATUS status = usb->SubmitUrbSync(reinterpret_cast<PURB>(&r->Urb));
    if (NT_SUCCESS(status) && r->Urb.TransferBufferLength >= 1) *byte = r->Data;
    return status;
}

}  // namespace

NTSTATUS CUac1Hal::InitHardware() {
    InterfaceRef<IUsbAudioDevice> usb(GetOuterUnknown(), IID_IUsbAudioDevice);
    if (usb.get() == NULL) return usb.status();
    CTempBlock buffer(kStringBytes);
    CTempBlock urb(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    if (buffer.As<UCHAR>() == NULL || urb.As<URB>() == NULL)
        return LogStartFailure("the model string's buffers", STATUS_INSUFFICIENT_RESOURCES);

    ULONG received = 0;
    NTSTATUS status = ReadModelString(usb.get(), urb.As<URB>(), buffer.As<UCHAR>(), &received);
    RtlZeroMemory(&EndpointCaps, sizeof(EndpointCaps));
    const UAC1_PRODUCT_ROW* row = LookupUac1Product(VendorId, ProductId);
    if (!NT_SUCCESS(status)) {
        if ((row->Flags & UAC1_PRODUCT_NO_STRING_WORDS) == 0) {
            DbgPrint("device %04x:%04x: model string 0x%02x or 0x%02x unreadable (status %x) and the product has no "
                     "words without it; the device is not started\n",
                     (unsigned)VendorId, (unsigned)ProductId, (unsigned)kModelStringIndex,
                     (unsigned)kModelStringFallbackIndex, (unsigned)status);
            return status;
        }
        EndpointCaps.FeatureMask = row->NoStringFeatureMask;
        EndpointCaps.ExtendedCaps = row->NoStringExtendedCaps;
    } else {
        status = ReadCapabilityWords(usb.get(), buffer.As<UCHAR>(), received);
        if (!NT_SUCCESS(status)) return LogStartFailure("reading the capability registers", status);
    }
    status = ParseAudioControlInterface();
    if (NT_SUCCESS(status)) status = ParseAudioStreamingInterfaces();
    return status;
}

NTSTATUS CUac1Hal::ReadCapabilityWords(IUsbAudioDevice* usb, const UCHAR* string, ULONG received) {
    const ULONG units = ReceivedUnits(string, received);
    const bool z7br = BeginsWith(string, units, "Z7BR");
    const bool xrw4qn = BeginsWith(string, units, "XRW4QN");
    if (!z7br && !xrw4qn) return STATUS_SUCCESS;
    CTempBlock block(sizeof(REGISTER_REQUEST));
    auto* request = block.As<REGISTER_REQUEST>();
    if (z7br) {
        UCHAR features = 0;
        NTSTATUS status = ReadRegisterByte(usb, request, kZ7brRequest, kZ7brRegister, &features);
        if (!NT_SUCCESS(status)) return status;
        if (features == kZ7brFullFeatures)
            EndpointCaps.FeatureMask = LookupUac1Product(VendorId, ProductId)->Z7brFeatureMask;
        return STATUS_SUCCESS;
    }
    UCHAR a = 0, b = 0;
    NTSTATUS status = ReadRegisterByte(usb, request, kXrw4qnRequest, kXrw4qnRegisterA, &a);
    if (NT_SUCCESS(status)) status = ReadRegisterByte(usb, request, kXrw4qnRequest, kXrw4qnRegisterB, &b);
    if (!NT_SUCCESS(status)) return status;
    if ((b & 0x02) != 0 || ((a & 0x0E) != 0x08 && (a & 0x0E) != 0x0E)) return STATUS_UNSUCCESSFUL;
    EndpointCaps.FeatureMask = kXrw4qnFeatureMask;
    if ((a & 0x0E) == 0x0E) EndpointCaps.Flags = ENDPOINT_CAPS_ASIO;
    return STATUS_SUCCESS;
}
