// USB and USB Audio Class definitions of the platform stand-in: descriptor
// layouts (USB 2.0 chapter 9, Audio Class 1.0 and 2.0), request codes, the
// URB structures with their 64-bit layouts, USBD status codes, the internal
// IOCTLs of the USB stack and the USBDI bus interface.
//
// Everything here is plain data shared by the driver and the simulated bus;
// fields that carry IRPs, MDLs or device objects use forward declarations so
// the header needs only nt/types.h and nt/status.h.
#pragma once

#include <cstring>

#include "nt/status.h"
#include "nt/types.h"

struct _IRP;
struct _MDL;
struct _DEVICE_OBJECT;

#include "usb/usb_descriptors.h"

// ---------------------------------------------------------------------------
// USBD status codes (the URB's Hdr.Status and each isochronous packet's).
// ---------------------------------------------------------------------------

typedef LONG USBD_STATUS;

#define USBD_SUCCESS(status) ((USBD_STATUS)(status) >= 0)
#define USBD_PENDING(status) (((ULONG)(status) >> 30) == 1)
#define USBD_ERROR(status) ((USBD_STATUS)(status) < 0)

#define USBD_STATUS_SUCCESS                  ((USBD_STATUS)0x00000000L)
#define USBD_STATUS_PENDING                  ((USBD_STATUS)0x40000000L)
#define USBD_STATUS_CRC                      ((USBD_STATUS)0xC0000001L)
#define USBD_STATUS_BTSTUFF                  ((USBD_STATUS)0xC0000002L)
#define USBD_STATUS_DATA_TOGGLE_MISMATCH     ((USBD_STATUS)0xC0000003L)
#define USBD_STATUS_STALL_PID                ((USBD_STATUS)0xC0000004L)
#define USBD_STATUS_DEV_NOT_RESPONDING       ((USBD_STATUS)0xC0000005L)
#define USBD_STATUS_DATA_OVERRUN             ((USBD_STATUS)0xC0000008L)
#define USBD_STATUS_DATA_UNDERRUN            ((USBD_STATUS)0xC0000009L)
#define USBD_STATUS_BUFFER_OVERRUN           ((USBD_STATUS)0xC000000CL)
#define USBD_STATUS_BUFFER_UNDERRUN          ((USBD_STATUS)0xC000000DL)
#define USBD_STATUS_NOT_ACCESSED             ((USBD_STATUS)0xC000000FL)
#define USBD_STATUS_ENDPOINT_HALTED          ((USBD_STATUS)0xC0000030L)
#define USBD_STATUS_INVALID_URB_FUNCTION     ((USBD_STATUS)0x80000200L)
#define USBD_STATUS_INVALID_PARAMETER        ((USBD_STATUS)0x80000300L)
#define USBD_STATUS_ERROR_BUSY               ((USBD_STATUS)0x80000400L)
#define USBD_STATUS_INVALID_PIPE_HANDLE      ((USBD_STATUS)0x80000600L)
#define USBD_STATUS_NO_BANDWIDTH             ((USBD_STATUS)0x80000700L)
#define USBD_STATUS_INTERNAL_HC_ERROR        ((USBD_STATUS)0x80000800L)
#define USBD_STATUS_ERROR_SHORT_TRANSFER     ((USBD_STATUS)0x80000900L)
#define USBD_STATUS_BAD_START_FRAME          ((USBD_STATUS)0xC0000A00L)
#define USBD_STATUS_ISOCH_REQUEST_FAILED     ((USBD_STATUS)0xC0000B00L)
#define USBD_STATUS_INSUFFICIENT_RESOURCES   ((USBD_STATUS)0xC0001000L)
#define USBD_STATUS_BUFFER_TOO_SMALL         ((USBD_STATUS)0xC0003000L)
#define USBD_STATUS_TIMEOUT                  ((USBD_STATUS)0xC0006000L)
#define USBD_STATUS_DEVICE_GONE              ((USBD_STATUS)0xC0007000L)
#define USBD_STATUS_CANCELED                 ((USBD_STATUS)0xC0010000L)
#define USBD_STATUS_ISO_NOT_ACCESSED_BY_HW   ((USBD_STATUS)0xC0020000L)
#define USBD_STATUS_ISO_TD_ERROR             ((USBD_STATUS)0xC0030000L)
#define USBD_STATUS_ISO_NA_LATE_USBPORT      ((USBD_STATUS)0xC0040000L)
#define USBD_STATUS_ISO_NOT_ACCESSED_LATE    ((USBD_STATUS)0xC0050000L)

// ---------------------------------------------------------------------------
// Internal IOCTLs of the USB stack (IRP_MJ_INTERNAL_DEVICE_CONTROL).
// ---------------------------------------------------------------------------

#define IOCTL_INTERNAL_USB_SUBMIT_URB               0x00220003UL
#define IOCTL_INTERNAL_USB_RESET_PORT               0x00220007UL
#define IOCTL_INTERNAL_USB_GET_PORT_STATUS          0x00220013UL
#define IOCTL_INTERNAL_USB_CYCLE_PORT               0x0022001FUL
#define IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION 0x00220027UL

// Port status bits returned through GET_PORT_STATUS's Argument1.
#define USBD_PORT_ENABLED   0x00000001UL
#define USBD_PORT_CONNECTED 0x00000002UL

// Idle notification: Type3InputBuffer of SUBMIT_IDLE_NOTIFICATION points at
// this record; the hub calls IdleCallback(IdleContext) at PASSIVE_LEVEL when
// the device may be suspended.
typedef VOID (*USB_IDLE_CALLBACK)(PVOID Context);
typedef struct _USB_IDLE_CALLBACK_INFO {
    USB_IDLE_CALLBACK IdleCallback;
    PVOID IdleContext;
} USB_IDLE_CALLBACK_INFO, *PUSB_IDLE_CALLBACK_INFO;
static_assert(sizeof(USB_IDLE_CALLBACK_INFO) == 16, "idle callback info is 16 bytes");

// ---------------------------------------------------------------------------
// URBs. Layouts are those of the 64-bit platform; every offset the driver
// writes is pinned by a static_assert below.
// ---------------------------------------------------------------------------

typedef PVOID USBD_PIPE_HANDLE;
typedef PVOID USBD_CONFIGURATION_HANDLE;
typedef PVOID USBD_INTERFACE_HANDLE;

enum : USHORT {
    URB_FUNCTION_SELECT_CONFIGURATION = 0x0000,
    URB_FUNCTION_SELECT_INTERFACE = 0x0001,
    URB_FUNCTION_ABORT_PIPE = 0x0002,
    URB_FUNCTION_GET_CURRENT_FRAME_NUMBER = 0x0007,
    URB_FUNCTION_CONTROL_TRANSFER = 0x0008,
    URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER = 0x0009,
    URB_FUNCTION_ISOCH_TRANSFER = 0x000A,
    URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE = 0x000B,
    URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE = 0x000C,
    URB_FUNCTION_SET_FEATURE_TO_DEVICE = 0x000D,
    URB_FUNCTION_SET_FEATURE_TO_INTERFACE = 0x000E,
    URB_FUNCTION_SET_FEATURE_TO_ENDPOINT = 0x000F,
    URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE = 0x0010,
    URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE = 0x0011,
    URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT = 0x0012,
    URB_FUNCTION_GET_STATUS_FROM_DEVICE = 0x0013,
    URB_FUNCTION_GET_STATUS_FROM_INTERFACE = 0x0014,
    URB_FUNCTION_GET_STATUS_FROM_ENDPOINT = 0x0015,
    URB_FUNCTION_VENDOR_DEVICE = 0x0017,
    URB_FUNCTION_VENDOR_INTERFACE = 0x0018,
    URB_FUNCTION_VENDOR_ENDPOINT = 0x0019,
    URB_FUNCTION_CLASS_DEVICE = 0x001A,
    URB_FUNCTION_CLASS_INTERFACE = 0x001B,
    URB_FUNCTION_CLASS_ENDPOINT = 0x001C,
    URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL = 0x001E,
    URB_FUNCTION_CLASS_OTHER = 0x001F,
    URB_FUNCTION_VENDOR_OTHER = 0x0020,
    URB_FUNCTION_GET_STATUS_FROM_OTHER = 0x0021,
    URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT = 0x0024,
    URB_FUNCTION_GET_CONFIGURATION = 0x0026,
    URB_FUNCTION_GET_INTERFACE = 0x0027,
    URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE = 0x0028,
    URB_FUNCTION_SYNC_RESET_PIPE = 0x0030,
    URB_FUNCTION_SYNC_CLEAR_STALL = 0x0031,
};

// TransferFlags.
#define USBD_TRANSFER_DIRECTION_OUT   0x00000000UL
#define USBD_TRANSFER_DIRECTION_IN    0x00000001UL
#define USBD_SHORT_TRANSFER_OK        0x00000002UL
#define USBD_START_ISO_TRANSFER_ASAP  0x00000004UL
#define USBD_DEFAULT_PIPE_TRANSFER    0x00000008UL

#define USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE 0xFFFFFFFFUL
#define USBD_ISO_START_FRAME_RANGE 1024

typedef enum _USBD_PIPE_TYPE {
    UsbdPipeTypeControl = 0,
    UsbdPipeTypeIsochronous = 1,
    UsbdPipeTypeBulk = 2,
    UsbdPipeTypeInterrupt = 3,
} USBD_PIPE_TYPE;

struct _URB;

struct _URB_HEADER {
    USHORT Length;
    USHORT Function;
    USBD_STATUS Status;
    PVOID UsbdDeviceHandle;
    ULONG UsbdFlags;
};

struct _URB_HCD_AREA {
    PVOID Reserved8[8];
};

typedef struct _USBD_PIPE_INFORMATION {
    USHORT MaximumPacketSize;  // filled by the bus from the endpoint descriptor
    UCHAR EndpointAddress;
    UCHAR Interval;
    USBD_PIPE_TYPE PipeType;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG MaximumTransferSize;  // set by the caller
    ULONG PipeFlags;
} USBD_PIPE_INFORMATION, *PUSBD_PIPE_INFORMATION;

typedef struct _USBD_INTERFACE_INFORMATION {
    USHORT Length;  // 24 + 24 * NumberOfPipes
    UCHAR InterfaceNumber;
    UCHAR AlternateSetting;
    UCHAR Class;
    UCHAR SubClass;
    UCHAR Protocol;
    UCHAR Reserved;
    USBD_INTERFACE_HANDLE InterfaceHandle;
    ULONG NumberOfPipes;
    USBD_PIPE_INFORMATION Pipes[1];
} USBD_INTERFACE_INFORMATION, *PUSBD_INTERFACE_INFORMATION;

typedef struct _USBD_INTERFACE_LIST_ENTRY {
    PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
    PUSBD_INTERFACE_INFORMATION Interface;
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

typedef struct _USBD_ISO_PACKET_DESCRIPTOR {
    ULONG Offset;  // set by the caller
    ULONG Length;  // OUT: set by the caller; IN: bytes received
    USBD_STATUS Status;
} USBD_ISO_PACKET_DESCRIPTOR, *PUSBD_ISO_PACKET_DESCRIPTOR;

struct _URB_SELECT_CONFIGURATION {
    struct _URB_HEADER Hdr;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;  // NULL: unconfigure
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_INTERFACE_INFORMATION Interface;  // first of the variable-length list
};

struct _URB_SELECT_INTERFACE {
    struct _URB_HEADER Hdr;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_INTERFACE_INFORMATION Interface;
};

struct _URB_PIPE_REQUEST {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG Reserved;
};

struct _URB_GET_CURRENT_FRAME_NUMBER {
    struct _URB_HEADER Hdr;
    ULONG FrameNumber;
};

struct _URB_CONTROL_TRANSFER {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    struct _MDL* TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR SetupPacket[8];
};

struct _URB_BULK_OR_INTERRUPT_TRANSFER {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    struct _MDL* TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
};

struct _URB_ISOCH_TRANSFER {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    struct _MDL* TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    ULONG StartFrame;
    ULONG NumberOfPackets;
    ULONG ErrorCount;
    USBD_ISO_PACKET_DESCRIPTOR IsoPacket[1];
};

struct _URB_CONTROL_DESCRIPTOR_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    struct _MDL* TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    USHORT Reserved1;
    UCHAR Index;
    UCHAR DescriptorType;
    USHORT LanguageId;
    USHORT Reserved2;
};

struct _URB_CONTROL_GET_STATUS_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    struct _MDL* TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR Reserved1[4];
    USHORT Index;
    USHORT Reserved2;
};

struct _URB_CONTROL_FEATURE_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved2;
    ULONG Reserved3;
    PVOID Reserved4;
    struct _MDL* Reserved5;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    USHORT Reserved0;
    USHORT FeatureSelector;
    USHORT Index;
    USHORT Reserved1;
};

struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    struct _MDL* TransferBufferMDL;
    struct _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR RequestTypeReservedBits;
    UCHAR Request;
    USHORT Value;
    USHORT Index;
    USHORT Reserved1;
};

typedef struct _URB {
    union {
        struct _URB_HEADER UrbHeader;
        struct _URB_SELECT_INTERFACE UrbSelectInterface;
        struct _URB_SELECT_CONFIGURATION UrbSelectConfiguration;
        struct _URB_PIPE_REQUEST UrbPipeRequest;
        struct _URB_GET_CURRENT_FRAME_NUMBER UrbGetCurrentFrameNumber;
        struct _URB_CONTROL_TRANSFER UrbControlTransfer;
        struct _URB_BULK_OR_INTERRUPT_TRANSFER UrbBulkOrInterruptTransfer;
        struct _URB_ISOCH_TRANSFER UrbIsochronousTransfer;
        struct _URB_CONTROL_DESCRIPTOR_REQUEST UrbControlDescriptorRequest;
        struct _URB_CONTROL_GET_STATUS_REQUEST UrbControlGetStatusRequest;
        struct _URB_CONTROL_FEATURE_REQUEST UrbControlFeatureRequest;
        struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST UrbControlVendorClassRequest;
    };
} URB, *PURB;

static_assert(sizeof(struct _URB_HEADER) == 24, "URB header");
static_assert(offsetof(struct _URB_HEADER, Status) == 4, "URB status");
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24, "pipe information");
static_assert(offsetof(USBD_PIPE_INFORMATION, PipeHandle) == 8, "pipe handle");
static_assert(offsetof(USBD_PIPE_INFORMATION, MaximumTransferSize) == 16, "max transfer");
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 48, "interface information, one pipe");
static_assert(offsetof(USBD_INTERFACE_INFORMATION, NumberOfPipes) == 16, "pipe count");
static_assert(offsetof(USBD_INTERFACE_INFORMATION, Pipes) == 24, "pipes");
static_assert(sizeof(USBD_INTERFACE_LIST_ENTRY) == 16, "interface list entry");
static_assert(sizeof(USBD_ISO_PACKET_DESCRIPTOR) == 12, "iso packet");
static_assert(sizeof(struct _URB_SELECT_INTERFACE) == 80, "select interface, one pipe: 56 + 24");
static_assert(offsetof(struct _URB_SELECT_INTERFACE, Interface) == 32, "select interface info");
static_assert(offsetof(struct _URB_SELECT_CONFIGURATION, Interface) == 40, "select config info");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 40, "pipe request");
static_assert(sizeof(struct _URB_CONTROL_TRANSFER) == 136, "control transfer");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 128, "bulk or interrupt");
static_assert(sizeof(struct _URB_ISOCH_TRANSFER) == 152, "isochronous, one packet");
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, StartFrame) == 128, "iso start frame");
static_assert(offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket) == 140, "iso packets");
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 136, "descriptor request");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength) == 36, "");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBuffer) == 40, "");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferMDL) == 48, "");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, UrbLink) == 56, "");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, Index) == 130, "");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, DescriptorType) == 131, "");
static_assert(offsetof(struct _URB_CONTROL_DESCRIPTOR_REQUEST, LanguageId) == 132, "");
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 136, "class request");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferFlags) == 32, "");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferLength) == 36, "");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBuffer) == 40, "");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferMDL) == 48, "");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, UrbLink) == 56, "");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, RequestTypeReservedBits) == 128, "");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request) == 129, "");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Value) == 130, "");
static_assert(offsetof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Index) == 132, "");
static_assert(sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST) == 136, "get status");
static_assert(sizeof(struct _URB_CONTROL_FEATURE_REQUEST) == 136, "feature request");

// Sizes of the variable-length URBs.
constexpr ULONG GET_USBD_INTERFACE_SIZE(ULONG numEndpoints) {
    return (ULONG)(sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION)) +
           numEndpoints * (ULONG)sizeof(USBD_PIPE_INFORMATION);
}
constexpr ULONG GET_SELECT_INTERFACE_REQUEST_SIZE(ULONG numEndpoints) {
    return (ULONG)offsetof(struct _URB_SELECT_INTERFACE, Interface) +
           GET_USBD_INTERFACE_SIZE(numEndpoints);
}
constexpr ULONG GET_ISO_URB_SIZE(ULONG numberOfPackets) {
    return (ULONG)offsetof(struct _URB_ISOCH_TRANSFER, IsoPacket) +
           numberOfPackets * (ULONG)sizeof(USBD_ISO_PACKET_DESCRIPTOR);
}
static_assert(GET_SELECT_INTERFACE_REQUEST_SIZE(0) == 56, "select interface base");
static_assert(GET_ISO_URB_SIZE(1) == 152, "iso URB with one packet");

// ---------------------------------------------------------------------------
// URB builders. Each fills the fields its request needs and leaves the rest
// as the caller prepared them (callers zero fresh URBs).
// ---------------------------------------------------------------------------

inline void UsbBuildGetDescriptorRequest(PURB urb, USHORT length, UCHAR descriptorType,
                                         UCHAR descriptorIndex, USHORT languageId,
                                         PVOID transferBuffer, struct _MDL* transferBufferMdl,
                                         ULONG transferBufferLength, PURB link) {
    auto& r = urb->UrbControlDescriptorRequest;
    r.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    r.Hdr.Length = length;
    r.TransferBufferLength = transferBufferLength;
    r.TransferBufferMDL = transferBufferMdl;
    r.TransferBuffer = transferBuffer;
    r.DescriptorType = descriptorType;
    r.Index = descriptorIndex;
    r.LanguageId = languageId;
    r.UrbLink = link;
}

// cmd is one of the URB_FUNCTION_CLASS_* or URB_FUNCTION_VENDOR_* codes.
inline void UsbBuildVendorRequest(PURB urb, USHORT cmd, USHORT length, ULONG transferFlags,
                                  UCHAR reservedBits, UCHAR request, USHORT value, USHORT index,
                                  PVOID transferBuffer, struct _MDL* transferBufferMdl,
                                  ULONG transferBufferLength, PURB link) {
    auto& r = urb->UrbControlVendorClassRequest;
    r.Hdr.Function = cmd;
    r.Hdr.Length = length;
    r.TransferBufferLength = transferBufferLength;
    r.TransferBufferMDL = transferBufferMdl;
    r.TransferBuffer = transferBuffer;
    r.RequestTypeReservedBits = reservedBits;
    r.Request = request;
    r.Value = value;
    r.Index = index;
    r.TransferFlags = transferFlags;
    r.UrbLink = link;
}

inline void UsbBuildInterruptOrBulkTransferRequest(PURB urb, USHORT length,
                                                   USBD_PIPE_HANDLE pipeHandle,
                                                   PVOID transferBuffer,
                                                   struct _MDL* transferBufferMdl,
                                                   ULONG transferBufferLength,
                                                   ULONG transferFlags, PURB link) {
    auto& r = urb->UrbBulkOrInterruptTransfer;
    r.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    r.Hdr.Length = length;
    r.PipeHandle = pipeHandle;
    r.TransferBufferLength = transferBufferLength;
    r.TransferBufferMDL = transferBufferMdl;
    r.TransferBuffer = transferBuffer;
    r.TransferFlags = transferFlags;
    r.UrbLink = link;
}

inline void UsbBuildSelectInterfaceRequest(PURB urb, USHORT length,
                                           USBD_CONFIGURATION_HANDLE configurationHandle,
                                           UCHAR interfaceNumber, UCHAR alternateSetting) {
    auto& r = urb->UrbSelectInterface;
    r.Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
    r.Hdr.Length = length;
    r.Interface.AlternateSetting = alternateSetting;
    r.Interface.InterfaceNumber = interfaceNumber;
    r.Interface.Length = (USHORT)(length - offsetof(struct _URB_SELECT_INTERFACE, Interface));
    r.ConfigurationHandle = configurationHandle;
}

inline void UsbBuildSelectConfigurationRequest(PURB urb, USHORT length,
                                               PUSB_CONFIGURATION_DESCRIPTOR configuration) {
    urb->UrbSelectConfiguration.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.Hdr.Length = length;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = configuration;
}

// function: URB_FUNCTION_ABORT_PIPE, _SYNC_RESET_PIPE_AND_CLEAR_STALL, ...
inline void UsbBuildPipeRequest(PURB urb, USHORT function, USBD_PIPE_HANDLE pipeHandle) {
    urb->UrbPipeRequest.Hdr.Function = function;
    urb->UrbPipeRequest.Hdr.Length = (USHORT)sizeof(struct _URB_PIPE_REQUEST);
    urb->UrbPipeRequest.PipeHandle = pipeHandle;
}

// ---------------------------------------------------------------------------
// USBDI bus interface (IRP_MN_QUERY_INTERFACE, Version 1, Size 0x48).
// ---------------------------------------------------------------------------

typedef VOID (*PINTERFACE_REFERENCE)(PVOID Context);
typedef VOID (*PINTERFACE_DEREFERENCE)(PVOID Context);

typedef struct _USBD_VERSION_INFORMATION {
    ULONG USBDI_Version;
    ULONG Supported_USB_Version;
} USBD_VERSION_INFORMATION, *PUSBD_VERSION_INFORMATION;

typedef VOID (*PUSB_BUSIFFN_GETUSBDI_VERSION)(PVOID BusContext,
                                              PUSBD_VERSION_INFORMATION VersionInformation,
                                              PULONG HcdCapabilities);
// 32-bit frame number of the bus (milliseconds).
typedef NTSTATUS (*PUSB_BUSIFFN_QUERY_BUS_TIME)(PVOID BusContext, PULONG CurrentFrame);
typedef NTSTATUS (*PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB)(PVOID BusContext, PURB Urb);
typedef NTSTATUS (*PUSB_BUSIFFN_QUERY_BUS_INFORMATION)(PVOID BusContext, ULONG Level,
                                                       PVOID BusInformationBuffer,
                                                       PULONG BusInformationBufferLength,
                                                       PULONG BusInformationActualLength);
typedef BOOLEAN (*PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED)(PVOID BusContext);

#define USB_BUSIF_USBDI_VERSION_0 0x0000
#define USB_BUSIF_USBDI_VERSION_1 0x0001

typedef struct _USB_BUS_INTERFACE_USBDI_V1 {
    USHORT Size;
    USHORT Version;
    PVOID BusContext;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;  // the caller drops its reference with it
    PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
    PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
    PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
    PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
    PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED IsDeviceHighSpeed;
} USB_BUS_INTERFACE_USBDI_V1, *PUSB_BUS_INTERFACE_USBDI_V1;
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V1) == 0x48, "USBDI bus interface V1 is 0x48 bytes");
static_assert(offsetof(USB_BUS_INTERFACE_USBDI_V1, BusContext) == 8, "bus context");
static_assert(offsetof(USB_BUS_INTERFACE_USBDI_V1, QueryBusTime) == 0x28, "QueryBusTime");
static_assert(offsetof(USB_BUS_INTERFACE_USBDI_V1, IsDeviceHighSpeed) == 0x40, "high speed");

// Interface type of the USBDI bus interface in this stand-in.
inline constexpr GUID USB_BUS_INTERFACE_USBDI_GUID = {
    0x6B3A1E52, 0x8C0D, 0x4F61, {0xA4, 0x2E, 0x19, 0xD7, 0x5C, 0x03, 0xB8, 0x96}};
