// The audio function as the rest of the driver sees it: IAudioHal (units,
// stream engines, the control-change callback object, start and stop) and
// CAudioHal, its base implementation, from which the adapter and every
// device-family model derive. Also the records these share: the 32-byte
// endpoint capability block and the 24-byte control-change notification.
#pragma once

#include <cstddef>

#include "adapter/base/list.h"
#include "adapter/base/unknown.h"
#include "adapter/endpoint_type.h"
#include "adapter/settings.h"
#include "nt/ex.h"
#include "nt/status.h"
#include "portcls/portcls_interfaces.h"

struct IStreamEngine;
struct IUacUnit;
struct IMuxUnit;

// Endpoint capability block. Also returned unchanged to user mode by the
// wave filter's private property, so its layout is fixed.
typedef struct _ENDPOINT_CAPS {
    ULONG FeatureMask;   // device feature bits, published as they are
    ULONG Reserved0;
    ULONGLONG Reserved1;
    ULONG ExtendedCaps;  // further device bits, published as they are
    ULONG Reserved2;
    ULONG Flags;         // ENDPOINT_CAPS_*
    ULONG Reserved3;
} ENDPOINT_CAPS, *PENDPOINT_CAPS;

// Flags: the endpoint is offered to the ASIO interface.
#define ENDPOINT_CAPS_ASIO 0x00000002

static_assert(sizeof(ENDPOINT_CAPS) == 32, "ENDPOINT_CAPS is 32 bytes");
static_assert(offsetof(ENDPOINT_CAPS, FeatureMask) == 0 && offsetof(ENDPOINT_CAPS, ExtendedCaps) == 16 &&
                  offsetof(ENDPOINT_CAPS, Flags) == 24,
              "ENDPOINT_CAPS offsets");

// Argument1 of ExNotifyCallback on a HAL's callback object when a unit's
// value changed (Argument2 NULL). Delivered synchronously in the sender's
// thread.
typedef struct _AUDIOHAL_NOTIFICATION {
    ULONG Type;  // AUDIOHAL_NOTIFY_CONTROL_CHANGE
    ULONG Code;  // AUDIOHAL_NOTIFY_CODE
    ULONG Id;    // IUacUnit GetId of the unit that changed
    ULONG_PTR Reserved;
} AUDIOHAL_NOTIFICATION, *PAUDIOHAL_NOTIFICATION;

#define AUDIOHAL_NOTIFY_CONTROL_CHANGE 1
#define AUDIOHAL_NOTIFY_CODE 1

static_assert(sizeof(AUDIOHAL_NOTIFICATION) == 24, "AUDIOHAL_NOTIFICATION is 24 bytes");
static_assert(offsetof(AUDIOHAL_NOTIFICATION, Id) == 8 && offsetof(AUDIOHAL_NOTIFICATION, Reserved) == 16,
              "AUDIOHAL_NOTIFICATION offsets");

// Identity of the device for the filters' component-id property.
typedef struct KSCOMPONENTID {
    GUID Manufacturer;
    GUID Product;
    GUID Component;
    GUID Name;
    ULONG Version;
    ULONG Revision;
} KSCOMPONENTID, *PKSCOMPONENTID;
static_assert(sizeof(KSCOMPONENTID) == 72, "KSCOMPONENTID is 72 bytes");

// {7284B608-74F9-4B95-A5BB-EC6DDD0B6F58}
inline constexpr GUID IID_IAudioHal = {0x7284B608, 0x74F9, 0x4B95,
                                       {0xA5, 0xBB, 0xEC, 0x6D, 0xDD, 0x0B, 0x6F, 0x58}};

// The adapter and every device-family model. GetUnit and GetStreamEngine
// hand out pointers without a reference; the HAL keeps them alive for its
// own life. Everything runs at PASSIVE_LEVEL.
struct IAudioHal : public IUnknown {
    // The capabilities of the engine at index (the base ignores the index).
    virtual NTSTATUS GetStreamEngineCapabilities(ULONG index, ENDPOINT_CAPS* caps) = 0;
    virtual NTSTATUS GetComponentId(KSCOMPONENTID* componentId) = 0;
    virtual ULONG GetStreamEngineCount() = 0;
    virtual NTSTATUS GetStreamEngine(ULONG index, IStreamEngine** engine) = 0;
    virtual ULONG GetUnitCount() = 0;
    virtual NTSTATUS GetUnit(ULONG index, IUacUnit** unit) = 0;
    // The FDO, for the settings store.
    virtual PDEVICE_OBJECT GetDeviceObject() = 0;
    virtual NTSTATUS Init(PRESOURCELIST resources, PDEVICE_OBJECT fdo, PDEVICE_OBJECT lowerDevice,
                          PDEVICE_OBJECT pdo) = 0;
    virtual NTSTATUS Start() = 0;
    virtual NTSTATUS Stop() = 0;
    // Registers on the HAL's callback object, which carries
    // AUDIOHAL_NOTIFICATION; *registration goes to UnregisterCallback.
    virtual NTSTATUS RegisterCallback(PCALLBACK_FUNCTION function, PVOID context,
                                      PVOID* registration) = 0;
    virtual NTSTATUS UnregisterCallback(PVOID registration) = 0;
    // Every IRP the dispatch routines receive (PnP start excepted) passes
    // here first.
    virtual NTSTATUS PreprocessIrp(PIRP irp) = 0;
    virtual NTSTATUS InitHardware() = 0;
    virtual NTSTATUS ConnectUnits() = 0;
    virtual NTSTATUS GetEndpointCapabilities(BOOLEAN isCapture, ULONG endpointType,
                                             ENDPOINT_CAPS* caps) = 0;
};
typedef IAudioHal* PAUDIOHAL;

// Pool tag of the HAL's lists and of its callback-name buffer.
inline constexpr ULONG HAL_LIST_TAG = MakePoolTag("HALB");
inline constexpr ULONG HAL_TEMP_TAG = MakePoolTag("Temp");

// Base of the adapter and of the device-family models: the unit and stream
// engine lists (each element holding one reference), the named callback
// object "\Callback\AudioHalAddr%p" (one per HAL, named after its own
// IAudioHal address, permanent), the power state and the capability block.
// Derived classes fill the lists in InitHardware; the lists change only
// during Init and destruction, so readers take no lock.
class CAudioHal : public IAudioHal, public IAdapterPowerManagement, public CUnknown {
public:
    explicit CAudioHal(PUNKNOWN outerUnknown);
    // Releases the units, then the stream engines, then the callback object.
    ~CAudioHal() override;

    DECLARE_FORWARDING_UNKNOWN()
    // IID_IUnknown and IID_IAudioHal: IAudioHal; IID_IAdapterPowerManagement.
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    // IAudioHal, base behaviour.
    NTSTATUS GetStreamEngineCapabilities(ULONG index, ENDPOINT_CAPS* caps) override;
    NTSTATUS GetComponentId(KSCOMPONENTID* componentId) override;
    ULONG GetStreamEngineCount() override;
    NTSTATUS GetStreamEngine(ULONG index, IStreamEngine** engine) override;
    ULONG GetUnitCount() override;
    NTSTATUS GetUnit(ULONG index, IUacUnit** unit) override;
    PDEVICE_OBJECT GetDeviceObject() override { return Fdo; }
    // Lists, callback object, device objects, power state D0, then the
    // derived class's InitHardware and ConnectUnits. A failure releases
    // what the lists hold and deletes them (the callback object stays until
    // the destructor).
    NTSTATUS Init(PRESOURCELIST resources, PDEVICE_OBJECT fdo, PDEVICE_OBJECT lowerDevice,
                  PDEVICE_OBJECT pdo) override;
    NTSTATUS Start() override;
    NTSTATUS Stop() override;
    NTSTATUS RegisterCallback(PCALLBACK_FUNCTION function, PVOID context, PVOID* registration) override;
    NTSTATUS UnregisterCallback(PVOID registration) override;
    NTSTATUS PreprocessIrp(PIRP irp) override;
    NTSTATUS InitHardware() override;
    // Links the selector listeners, hands the stream engines to their
    // units, then ApplyUnits (whose status it returns).
    NTSTATUS ConnectUnits() override;
    NTSTATUS GetEndpointCapabilities(BOOLEAN isCapture, ULONG endpointType, ENDPOINT_CAPS* caps) override;

    // IAdapterPowerManagement, base behaviour: D0 applies every unit again.
    VOID PowerChangeState(POWER_STATE newState) override;
    NTSTATUS QueryPowerChangeState(POWER_STATE newStateQuery) override;
    NTSTATUS QueryDeviceCapabilities(PDEVICE_CAPABILITIES capabilities) override;

    // For derived classes and parsers. Each takes one reference; NULL gives
    // STATUS_INVALID_PARAMETER, a list that cannot grow
    // STATUS_INSUFFICIENT_RESOURCES (the reference is given back).
    NTSTATUS AddStreamEngine(IStreamEngine* engine);
    NTSTATUS AddUnit(IUacUnit* unit);
    // The last unit of the list with that id, without a reference.
    NTSTATUS FindUnitById(ULONG id, IUacUnit** unit);
    // Apply on every unit in list order; the first failure stops it.
    NTSTATUS ApplyUnits();

    PCALLBACK_OBJECT GetHalCallbackObject() const { return CallbackObject; }
    ULONG GetPowerState() const { return PowerState; }

protected:
    NTSTATUS LinkSelectorUnits();
    // Links the chain of single-source units that feeds input `input` of
    // mux, starting at unitId: far end first, iteratively (a malformed
    // descriptor may give a chain of 255 or a loop), each unit once.
    void LinkSelectorSource(ULONG input, IMuxUnit* mux, ULONG unitId);
    void LinkStreamEngineUnits(IStreamEngine* engine);
    void ReleaseLists();

    PDEVICE_OBJECT Fdo;
    PDEVICE_OBJECT LowerDevice;
    PDEVICE_OBJECT Pdo;
    ULONG PowerState;  // a DEVICE_POWER_STATE; PowerDeviceD0 after Init
    PCALLBACK_OBJECT CallbackObject;
    CList* Units;          // IUacUnit*
    CList* StreamEngines;  // IStreamEngine*
    ENDPOINT_CAPS EndpointCaps;
};
