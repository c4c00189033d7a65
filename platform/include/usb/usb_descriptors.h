// USB 2.0 chapter 9 and USB Audio Class 1.0/2.0 descriptor layouts, request
// codes and selectors. Included through usb/usb_defs.h.
#pragma once

#include "nt/types.h"

// ---------------------------------------------------------------------------
// Standard descriptors (USB 2.0 chapter 9). Byte-packed, little-endian.
// ---------------------------------------------------------------------------

enum : UCHAR {
    USB_DEVICE_DESCRIPTOR_TYPE = 0x01,
    USB_CONFIGURATION_DESCRIPTOR_TYPE = 0x02,
    USB_STRING_DESCRIPTOR_TYPE = 0x03,
    USB_INTERFACE_DESCRIPTOR_TYPE = 0x04,
    USB_ENDPOINT_DESCRIPTOR_TYPE = 0x05,
    USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE = 0x06,
    USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE = 0x0B,
    USB_HID_DESCRIPTOR_TYPE = 0x21,
    USB_CS_INTERFACE_DESCRIPTOR_TYPE = 0x24,
    USB_CS_ENDPOINT_DESCRIPTOR_TYPE = 0x25,
};

// Standard request codes (bRequest) and bmRequestType fields.
enum : UCHAR {
    USB_REQUEST_GET_STATUS = 0x00,
    USB_REQUEST_CLEAR_FEATURE = 0x01,
    USB_REQUEST_SET_FEATURE = 0x03,
    USB_REQUEST_SET_ADDRESS = 0x05,
    USB_REQUEST_GET_DESCRIPTOR = 0x06,
    USB_REQUEST_SET_DESCRIPTOR = 0x07,
    USB_REQUEST_GET_CONFIGURATION = 0x08,
    USB_REQUEST_SET_CONFIGURATION = 0x09,
    USB_REQUEST_GET_INTERFACE = 0x0A,
    USB_REQUEST_SET_INTERFACE = 0x0B,
};

enum : UCHAR {
    BMREQUEST_HOST_TO_DEVICE = 0x00,
    BMREQUEST_DEVICE_TO_HOST = 0x80,
    BMREQUEST_STANDARD = 0x00,
    BMREQUEST_CLASS = 0x20,
    BMREQUEST_VENDOR = 0x40,
    BMREQUEST_TYPE_MASK = 0x60,
    BMREQUEST_TO_DEVICE = 0x00,
    BMREQUEST_TO_INTERFACE = 0x01,
    BMREQUEST_TO_ENDPOINT = 0x02,
    BMREQUEST_TO_OTHER = 0x03,
    BMREQUEST_RECIPIENT_MASK = 0x1F,
};

enum : USHORT {
    USB_FEATURE_ENDPOINT_STALL = 0x0000,
    USB_FEATURE_REMOTE_WAKEUP = 0x0001,
};

// bmAttributes of an endpoint: transfer type (bits 0-1), synchronisation
// (bits 2-3), usage (bits 4-5).
enum : UCHAR {
    USB_ENDPOINT_TYPE_MASK = 0x03,
    USB_ENDPOINT_TYPE_CONTROL = 0x00,
    USB_ENDPOINT_TYPE_ISOCHRONOUS = 0x01,
    USB_ENDPOINT_TYPE_BULK = 0x02,
    USB_ENDPOINT_TYPE_INTERRUPT = 0x03,
    USB_ENDPOINT_SYNC_MASK = 0x0C,
    USB_ENDPOINT_SYNC_ASYNCHRONOUS = 0x04,
    USB_ENDPOINT_SYNC_ADAPTIVE = 0x08,
    USB_ENDPOINT_SYNC_SYNCHRONOUS = 0x0C,
    USB_ENDPOINT_USAGE_MASK = 0x30,
    USB_ENDPOINT_USAGE_DATA = 0x00,
    USB_ENDPOINT_USAGE_FEEDBACK = 0x10,
    USB_ENDPOINT_USAGE_IMPLICIT_FEEDBACK = 0x20,
    USB_ENDPOINT_DIRECTION_MASK = 0x80,
};

inline bool USB_ENDPOINT_DIRECTION_IN(UCHAR address) { return (address & 0x80) != 0; }
inline bool USB_ENDPOINT_DIRECTION_OUT(UCHAR address) { return (address & 0x80) == 0; }

// Configuration bmAttributes.
enum : UCHAR {
    USB_CONFIG_BUS_POWERED = 0x80,
    USB_CONFIG_SELF_POWERED = 0x40,
    USB_CONFIG_REMOTE_WAKEUP = 0x20,
};

enum : UCHAR {
    USB_DEVICE_CLASS_AUDIO = 0x01,
    USB_DEVICE_CLASS_HUMAN_INTERFACE = 0x03,
    USB_DEVICE_CLASS_MISCELLANEOUS = 0xEF,
};

#pragma pack(push, 1)

typedef struct _USB_COMMON_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
} USB_COMMON_DESCRIPTOR, *PUSB_COMMON_DESCRIPTOR;

typedef struct _USB_DEVICE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdUSB;
    UCHAR bDeviceClass;
    UCHAR bDeviceSubClass;
    UCHAR bDeviceProtocol;
    UCHAR bMaxPacketSize0;
    USHORT idVendor;
    USHORT idProduct;
    USHORT bcdDevice;
    UCHAR iManufacturer;
    UCHAR iProduct;
    UCHAR iSerialNumber;
    UCHAR bNumConfigurations;
} USB_DEVICE_DESCRIPTOR, *PUSB_DEVICE_DESCRIPTOR;

typedef struct _USB_CONFIGURATION_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT wTotalLength;
    UCHAR bNumInterfaces;
    UCHAR bConfigurationValue;
    UCHAR iConfiguration;
    UCHAR bmAttributes;
    UCHAR MaxPower;  // units of 2 mA
} USB_CONFIGURATION_DESCRIPTOR, *PUSB_CONFIGURATION_DESCRIPTOR;

typedef struct _USB_INTERFACE_ASSOCIATION_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bFirstInterface;
    UCHAR bInterfaceCount;
    UCHAR bFunctionClass;
    UCHAR bFunctionSubClass;
    UCHAR bFunctionProtocol;
    UCHAR iFunction;
} USB_INTERFACE_ASSOCIATION_DESCRIPTOR, *PUSB_INTERFACE_ASSOCIATION_DESCRIPTOR;

typedef struct _USB_INTERFACE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bInterfaceNumber;
    UCHAR bAlternateSetting;
    UCHAR bNumEndpoints;
    UCHAR bInterfaceClass;
    UCHAR bInterfaceSubClass;
    UCHAR bInterfaceProtocol;
    UCHAR iInterface;
} USB_INTERFACE_DESCRIPTOR, *PUSB_INTERFACE_DESCRIPTOR;

typedef struct _USB_ENDPOINT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bEndpointAddress;
    UCHAR bmAttributes;
    USHORT wMaxPacketSize;  // bits 0-10 size, bits 11-12 extra transactions per microframe
    UCHAR bInterval;
} USB_ENDPOINT_DESCRIPTOR, *PUSB_ENDPOINT_DESCRIPTOR;

// Audio Class 1.0 endpoints append bRefresh and bSynchAddress (9 bytes).
typedef struct _USB_AUDIO_ENDPOINT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bEndpointAddress;
    UCHAR bmAttributes;
    USHORT wMaxPacketSize;
    UCHAR bInterval;
    UCHAR bRefresh;
    UCHAR bSynchAddress;
} USB_AUDIO_ENDPOINT_DESCRIPTOR, *PUSB_AUDIO_ENDPOINT_DESCRIPTOR;

typedef struct _USB_STRING_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    WCHAR bString[1];  // UTF-16LE, (bLength - 2) / 2 code units, not terminated
} USB_STRING_DESCRIPTOR, *PUSB_STRING_DESCRIPTOR;

// ---------------------------------------------------------------------------
// Audio Class descriptors. Only the fixed prefix of variable-length
// descriptors is declared; trailing arrays are read by offset.
// ---------------------------------------------------------------------------

typedef struct _UAC1_AC_HEADER_DESCRIPTOR {  // + baInterfaceNr[bInCollection]
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    USHORT bcdADC;
    USHORT wTotalLength;  // header and every unit and terminal after it
    UCHAR bInCollection;
} UAC1_AC_HEADER_DESCRIPTOR;

typedef struct _UAC1_INPUT_TERMINAL_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bTerminalID;
    USHORT wTerminalType;
    UCHAR bAssocTerminal;
    UCHAR bNrChannels;
    USHORT wChannelConfig;
    UCHAR iChannelNames;
    UCHAR iTerminal;
} UAC1_INPUT_TERMINAL_DESCRIPTOR;

typedef struct _UAC1_OUTPUT_TERMINAL_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bTerminalID;
    USHORT wTerminalType;
    UCHAR bAssocTerminal;
    UCHAR bSourceID;
    UCHAR iTerminal;
} UAC1_OUTPUT_TERMINAL_DESCRIPTOR;

typedef struct _UAC1_FEATURE_UNIT_DESCRIPTOR {  // + bmaControls[], iFeature
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bUnitID;
    UCHAR bSourceID;
    UCHAR bControlSize;
} UAC1_FEATURE_UNIT_DESCRIPTOR;

typedef struct _UAC_SELECTOR_UNIT_DESCRIPTOR {  // + baSourceID[bNrInPins], iSelector
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bUnitID;
    UCHAR bNrInPins;
} UAC_SELECTOR_UNIT_DESCRIPTOR;

typedef struct _UAC1_AS_GENERAL_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bTerminalLink;
    UCHAR bDelay;
    USHORT wFormatTag;
} UAC1_AS_GENERAL_DESCRIPTOR;

typedef struct _UAC1_FORMAT_TYPE_I_DESCRIPTOR {  // + rates, 3 bytes each
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bFormatType;
    UCHAR bNrChannels;
    UCHAR bSubframeSize;
    UCHAR bBitResolution;
    UCHAR bSamFreqType;  // 0 continuous (lower, upper), else count of discrete rates
} UAC1_FORMAT_TYPE_I_DESCRIPTOR;

typedef struct _UAC1_ISO_ENDPOINT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bmAttributes;  // bit 0 sampling frequency, bit 1 pitch, bit 7 max packets only
    UCHAR bLockDelayUnits;
    USHORT wLockDelay;
} UAC1_ISO_ENDPOINT_DESCRIPTOR;

typedef struct _UAC2_AC_HEADER_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    USHORT bcdADC;
    UCHAR bCategory;
    USHORT wTotalLength;
    UCHAR bmControls;
} UAC2_AC_HEADER_DESCRIPTOR;

typedef struct _UAC2_CLOCK_SOURCE_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bClockID;
    UCHAR bmAttributes;
    UCHAR bmControls;  // bits 0-1 frequency, bits 2-3 validity
    UCHAR bAssocTerminal;
    UCHAR iClockSource;
} UAC2_CLOCK_SOURCE_DESCRIPTOR;

typedef struct _UAC2_INPUT_TERMINAL_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bTerminalID;
    USHORT wTerminalType;
    UCHAR bAssocTerminal;
    UCHAR bCSourceID;
    UCHAR bNrChannels;
    ULONG bmChannelConfig;
    UCHAR iChannelNames;
    USHORT bmControls;  // bits 2-3: connector control
    UCHAR iTerminal;
} UAC2_INPUT_TERMINAL_DESCRIPTOR;

typedef struct _UAC2_OUTPUT_TERMINAL_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bTerminalID;
    USHORT wTerminalType;
    UCHAR bAssocTerminal;
    UCHAR bSourceID;
    UCHAR bCSourceID;
    USHORT bmControls;
    UCHAR iTerminal;
} UAC2_OUTPUT_TERMINAL_DESCRIPTOR;

typedef struct _UAC2_FEATURE_UNIT_DESCRIPTOR {  // + bmaControls[] (4 bytes each), iFeature
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bUnitID;
    UCHAR bSourceID;
} UAC2_FEATURE_UNIT_DESCRIPTOR;

typedef struct _UAC2_AS_GENERAL_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bTerminalLink;
    UCHAR bmControls;
    UCHAR bFormatType;
    ULONG bmFormats;
    UCHAR bNrChannels;
    ULONG bmChannelConfig;
    UCHAR iChannelNames;
} UAC2_AS_GENERAL_DESCRIPTOR;

typedef struct _UAC2_FORMAT_TYPE_I_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bFormatType;
    UCHAR bSubslotSize;
    UCHAR bBitResolution;
} UAC2_FORMAT_TYPE_I_DESCRIPTOR;

typedef struct _UAC2_ISO_ENDPOINT_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bmAttributes;
    UCHAR bmControls;
    UCHAR bLockDelayUnits;
    USHORT wLockDelay;
} UAC2_ISO_ENDPOINT_DESCRIPTOR;

// Status word of an Audio Class 1.0 interrupt endpoint.
typedef struct _UAC1_STATUS_WORD {
    UCHAR bStatusType;  // bits 0-3 originator (0 AC interface), bit 6 memory changed, bit 7 pending
    UCHAR bOriginator;
} UAC1_STATUS_WORD;

// Interrupt data message of an Audio Class 2.0 interrupt endpoint.
typedef struct _UAC2_INTERRUPT_DATA {
    UCHAR bInfo;
    UCHAR bAttribute;  // 1 CUR, 2 RANGE, 3 MEM
    USHORT wValue;     // control selector << 8 | channel
    USHORT wIndex;     // entity id << 8 | interface
} UAC2_INTERRUPT_DATA;

#pragma pack(pop)

static_assert(sizeof(USB_COMMON_DESCRIPTOR) == 2, "common descriptor");
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "device descriptor");
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9, "configuration descriptor");
static_assert(sizeof(USB_INTERFACE_ASSOCIATION_DESCRIPTOR) == 8, "IAD");
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9, "interface descriptor");
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7, "endpoint descriptor");
static_assert(sizeof(USB_AUDIO_ENDPOINT_DESCRIPTOR) == 9, "audio endpoint descriptor");
static_assert(sizeof(USB_STRING_DESCRIPTOR) == 4, "string descriptor prefix");
static_assert(sizeof(UAC1_AC_HEADER_DESCRIPTOR) == 8, "UAC1 header prefix");
static_assert(sizeof(UAC1_INPUT_TERMINAL_DESCRIPTOR) == 12, "UAC1 input terminal");
static_assert(sizeof(UAC1_OUTPUT_TERMINAL_DESCRIPTOR) == 9, "UAC1 output terminal");
static_assert(sizeof(UAC1_FEATURE_UNIT_DESCRIPTOR) == 6, "UAC1 feature unit prefix");
static_assert(sizeof(UAC_SELECTOR_UNIT_DESCRIPTOR) == 5, "selector unit prefix");
static_assert(sizeof(UAC1_AS_GENERAL_DESCRIPTOR) == 7, "UAC1 AS general");
static_assert(sizeof(UAC1_FORMAT_TYPE_I_DESCRIPTOR) == 8, "UAC1 format type I prefix");
static_assert(sizeof(UAC1_ISO_ENDPOINT_DESCRIPTOR) == 7, "UAC1 CS endpoint");
static_assert(sizeof(UAC2_AC_HEADER_DESCRIPTOR) == 9, "UAC2 header");
static_assert(sizeof(UAC2_CLOCK_SOURCE_DESCRIPTOR) == 8, "UAC2 clock source");
static_assert(sizeof(UAC2_INPUT_TERMINAL_DESCRIPTOR) == 17, "UAC2 input terminal");
static_assert(sizeof(UAC2_OUTPUT_TERMINAL_DESCRIPTOR) == 12, "UAC2 output terminal");
static_assert(sizeof(UAC2_FEATURE_UNIT_DESCRIPTOR) == 5, "UAC2 feature unit prefix");
static_assert(sizeof(UAC2_AS_GENERAL_DESCRIPTOR) == 16, "UAC2 AS general");
static_assert(sizeof(UAC2_FORMAT_TYPE_I_DESCRIPTOR) == 6, "UAC2 format type I");
static_assert(sizeof(UAC2_ISO_ENDPOINT_DESCRIPTOR) == 8, "UAC2 CS endpoint");
static_assert(sizeof(UAC1_STATUS_WORD) == 2, "UAC1 status word");
static_assert(sizeof(UAC2_INTERRUPT_DATA) == 6, "UAC2 interrupt message");

// Audio interface subclasses, protocols and descriptor subtypes.
enum : UCHAR {
    USB_AUDIO_SUBCLASS_AUDIOCONTROL = 0x01,
    USB_AUDIO_SUBCLASS_AUDIOSTREAMING = 0x02,
    USB_AUDIO_SUBCLASS_MIDISTREAMING = 0x03,
    USB_AUDIO_PROTOCOL_1_0 = 0x00,
    USB_AUDIO_PROTOCOL_2_0 = 0x20,
};

enum : UCHAR {  // Audio Control interface subtypes
    UAC_AC_HEADER = 0x01,
    UAC_INPUT_TERMINAL = 0x02,
    UAC_OUTPUT_TERMINAL = 0x03,
    UAC_MIXER_UNIT = 0x04,
    UAC_SELECTOR_UNIT = 0x05,
    UAC_FEATURE_UNIT = 0x06,
    UAC1_PROCESSING_UNIT = 0x07,
    UAC1_EXTENSION_UNIT = 0x08,
    UAC2_EFFECT_UNIT = 0x07,
    UAC2_PROCESSING_UNIT = 0x08,
    UAC2_EXTENSION_UNIT = 0x09,
    UAC2_CLOCK_SOURCE = 0x0A,
    UAC2_CLOCK_SELECTOR = 0x0B,
    UAC2_CLOCK_MULTIPLIER = 0x0C,
    UAC2_SAMPLE_RATE_CONVERTER = 0x0D,
};

enum : UCHAR {  // Audio Streaming interface and endpoint subtypes
    UAC_AS_GENERAL = 0x01,
    UAC_FORMAT_TYPE = 0x02,
    UAC_FORMAT_SPECIFIC = 0x03,
    UAC_EP_GENERAL = 0x01,
};

enum : UCHAR {
    UAC_FORMAT_TYPE_I = 0x01,
    UAC_FORMAT_TYPE_II = 0x02,
    UAC_FORMAT_TYPE_III = 0x03,
};

// Class-specific request codes. Audio Class 1.0 uses SET_xxx / GET_xxx
// (bit 7 set for GET); Audio Class 2.0 uses CUR, RANGE and MEM with the
// direction taken from bmRequestType.
enum : UCHAR {
    UAC1_SET_CUR = 0x01,
    UAC1_SET_MIN = 0x02,
    UAC1_SET_MAX = 0x03,
    UAC1_SET_RES = 0x04,
    UAC1_SET_MEM = 0x05,
    UAC1_GET_CUR = 0x81,
    UAC1_GET_MIN = 0x82,
    UAC1_GET_MAX = 0x83,
    UAC1_GET_RES = 0x84,
    UAC1_GET_MEM = 0x85,
    UAC1_GET_STAT = 0xFF,
    UAC2_CUR = 0x01,
    UAC2_RANGE = 0x02,
    UAC2_MEM = 0x03,
};

// Feature unit control selectors (both classes).
enum : UCHAR {
    UAC_FU_MUTE = 0x01,
    UAC_FU_VOLUME = 0x02,
    UAC_FU_BASS = 0x03,
    UAC_FU_MID = 0x04,
    UAC_FU_TREBLE = 0x05,
    UAC_FU_GRAPHIC_EQUALIZER = 0x06,
    UAC_FU_AUTOMATIC_GAIN = 0x07,
    UAC_FU_DELAY = 0x08,
    UAC_FU_BASS_BOOST = 0x09,
    UAC_FU_LOUDNESS = 0x0A,
    UAC2_FU_INPUT_GAIN = 0x0B,
    UAC2_FU_INPUT_GAIN_PAD = 0x0C,
};

enum : UCHAR {
    UAC1_EP_SAMPLING_FREQ = 0x01,
    UAC2_CS_SAM_FREQ = 0x01,
    UAC2_CS_CLOCK_VALID = 0x02,
    UAC2_SU_SELECTOR = 0x01,
    UAC2_TE_CONNECTOR = 0x02,
    UAC2_AS_ACT_ALT_SETTING = 0x01,
    UAC2_AS_VAL_ALT_SETTINGS = 0x02,
};

// HID class requests.
enum : UCHAR {
    HID_REQUEST_GET_REPORT = 0x01,
    HID_REQUEST_GET_IDLE = 0x02,
    HID_REQUEST_GET_PROTOCOL = 0x03,
    HID_REQUEST_SET_REPORT = 0x09,
    HID_REQUEST_SET_IDLE = 0x0A,
    HID_REQUEST_SET_PROTOCOL = 0x0B,
};

