// The adapter's audio-function interface (IAudioHal) and the records it
// shares with the rest of the driver: endpoint kinds and names, the 32-byte
// endpoint capability block and the 24-byte control-change notification,
// plus the "Settings" value accessors of the settings store.
#pragma once

#include <cstddef>

#include "adapter/base/unknown.h"
#include "nt/ex.h"
#include "nt/status.h"

struct _DEVICE_OBJECT;
typedef struct _DEVICE_OBJECT DEVICE_OBJECT, *PDEVICE_OBJECT;
struct _IRP;
typedef struct _IRP IRP, *PIRP;
struct KSCOMPONENTID;
struct IResourceList;
typedef IResourceList* PRESOURCELIST;
struct IStreamEngine;
struct IUacUnit;

// The kind of an endpoint: filter names, pin categories and output-type
// profiles are chosen by it.
typedef enum _ENDPOINT_TYPE {
    ENDPOINT_STREAM = 0,
    ENDPOINT_SPK = 1,
    ENDPOINT_HP = 2,
    ENDPOINT_SPDIF = 3,
    ENDPOINT_HDMI = 4,
    ENDPOINT_DISPLAYPORT = 5,
    ENDPOINT_LINE = 6,
    ENDPOINT_MIC = 7,
    ENDPOINT_AUX = 8,
    ENDPOINT_CD = 9,
    ENDPOINT_VIDEO = 10,
    ENDPOINT_FMIC = 11,
    ENDPOINT_TELEPHONE = 12,
    ENDPOINT_HANDSET = 13,
    ENDPOINT_HEADSET = 14,
    ENDPOINT_SPEAKERPHONE = 15,
    ENDPOINT_STEREOMIX = 16,
    ENDPOINT_FHP = 17,
    ENDPOINT_REC = 18,
} ENDPOINT_TYPE;

#define ENDPOINT_TYPE_COUNT 19

// Names of the endpoint kinds in ENDPOINT_TYPE order.
inline constexpr PCWSTR ENDPOINT_TYPE_NAMES[ENDPOINT_TYPE_COUNT] = {
    u"Stream", u"SPK",   u"HP",        u"SPDIF",    u"HDMI",    u"DisplayPort", u"Line",
    u"Mic",    u"Aux",   u"CD",        u"Video",    u"FMic",    u"Telephone",   u"HandSet",
    u"HeadSet", u"Speakerphone", u"StereoMix", u"FHP", u"Rec",
};

// Endpoint capability block; also returned unchanged to user mode, so its
// layout is fixed.
typedef struct _ENDPOINT_CAPS {
    ULONG FeatureMask;
    ULONG Reserved0;
    ULONGLONG Reserved1;
    ULONG ExtendedCaps;
    ULONG Reserved2;
    ULONG Flags;
    ULONG Reserved3;
} ENDPOINT_CAPS, *PENDPOINT_CAPS;

// Flags bit: the endpoint is offered to the ASIO interface.
#define ENDPOINT_CAPS_ASIO 0x00000002

static_assert(sizeof(ENDPOINT_CAPS) == 32, "ENDPOINT_CAPS is 32 bytes");
static_assert(offsetof(ENDPOINT_CAPS, ExtendedCaps) == 16 && offsetof(ENDPOINT_CAPS, Flags) == 24,
              "ENDPOINT_CAPS offsets");

// Sent as Argument1 of ExNotifyCallback on the adapter's callback object
// when a unit's value changed (Argument2 NULL).
typedef struct _AUDIOHAL_NOTIFICATION {
    ULONG Type;  // AUDIOHAL_NOTIFY_CONTROL_CHANGE
    ULONG Code;  // AUDIOHAL_NOTIFY_CODE
    ULONG Id;    // IUacUnit GetId of the unit that changed
    ULONG_PTR Reserved;
} AUDIOHAL_NOTIFICATION, *PAUDIOHAL_NOTIFICATION;

#define AUDIOHAL_NOTIFY_CONTROL_CHANGE 1
#define AUDIOHAL_NOTIFY_CODE 1

static_assert(sizeof(AUDIOHAL_NOTIFICATION) == 24, "AUDIOHAL_NOTIFICATION is 24 bytes");
static_assert(offsetof(AUDIOHAL_NOTIFICATION, Id) == 8, "AUDIOHAL_NOTIFICATION offsets");

// {7284B608-74F9-4B95-A5BB-EC6DDD0B6F58}
inline constexpr GUID IID_IAudioHal = {0x7284B608, 0x74F9, 0x4B95,
                                       {0xA5, 0xBB, 0xEC, 0x6D, 0xDD, 0x0B, 0x6F, 0x58}};

// The adapter and every device-family model. GetUnit and GetStreamEngine
// hand out pointers without a reference; the adapter keeps them alive.
struct IAudioHal : public IUnknown {
    virtual NTSTATUS GetStreamEngineCapabilities(ULONG index, ENDPOINT_CAPS* caps) = 0;
    virtual NTSTATUS GetComponentId(KSCOMPONENTID* componentId) = 0;
    virtual ULONG GetStreamEngineCount() = 0;
    virtual NTSTATUS GetStreamEngine(ULONG index, IStreamEngine** engine) = 0;
    virtual ULONG GetUnitCount() = 0;
    virtual NTSTATUS GetUnit(ULONG index, IUacUnit** unit) = 0;
    virtual PDEVICE_OBJECT GetDeviceObject() = 0;
    virtual NTSTATUS Init(PRESOURCELIST resources, PDEVICE_OBJECT fdo, PDEVICE_OBJECT lowerDevice,
                          PDEVICE_OBJECT pdo) = 0;
    virtual NTSTATUS Start() = 0;
    virtual NTSTATUS Stop() = 0;
    virtual NTSTATUS RegisterCallback(PCALLBACK_FUNCTION function, PVOID context,
                                      PVOID* registration) = 0;
    virtual NTSTATUS UnregisterCallback(PVOID registration) = 0;
    virtual NTSTATUS PreprocessIrp(PIRP irp) = 0;
    virtual NTSTATUS InitHardware() = 0;
    virtual NTSTATUS ConnectUnits() = 0;
    virtual NTSTATUS GetEndpointCapabilities(BOOLEAN isCapture, ULONG endpointType,
                                             ENDPOINT_CAPS* caps) = 0;
};
typedef IAudioHal* PAUDIOHAL;

// "Settings" subkey accessors of the driver key (passive level only).
#define SETTINGS_OP_READ 1
#define SETTINGS_OP_WRITE 2

NTSTATUS AccessSettingsValue(PDEVICE_OBJECT fdo, ULONG op, PCWSTR subkey, PCWSTR valueName,
                             ULONG type, PVOID buffer, ULONG length);
NTSTATUS SettingsBinaryValue(PDEVICE_OBJECT fdo, ULONG op, PVOID buffer, ULONG length,
                             PCWSTR valueName);
NTSTATUS SettingsBinaryValueIndexed(PDEVICE_OBJECT fdo, ULONG op, PVOID buffer, ULONG length,
                                    PCWSTR baseName, LONG index);
