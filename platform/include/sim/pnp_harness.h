// The PnP harness: one simulated device on a simulated bus, the driver
// under test loaded for it, and the PnP and power requests the system sends
// during the device's life. Every request goes to the top of the device
// stack from the calling (test) thread at PASSIVE_LEVEL and is checked
// against the completion contract (sim/send_irp.h).
//
//   sim::PnpHarness device;                      // PDO of "USB\VID_0B05&PID_17F3"
//   ASSERT_EQ(device.LoadDriver(DriverEntry), STATUS_SUCCESS);
//   ASSERT_EQ(device.AddDevice(), STATUS_SUCCESS);
//   ASSERT_EQ(device.StartDevice(), STATUS_SUCCESS);
//   ...
//   EXPECT_EQ(device.RemoveDevice(), STATUS_SUCCESS);
//   device.UnloadDriver();
//
// The bus side answers what reaches the physical device object: PnP
// state changes succeed, IRP_MN_QUERY_CAPABILITIES is filled from the
// configuration, power IRPs succeed (and the PDO's state is recorded),
// everything else is completed with its status unchanged (PnP, power) or
// STATUS_INVALID_DEVICE_REQUEST. A BusDeviceHandler (the simulated USB
// device) sees every such IRP first, which is how internal device controls
// (URBs) and IRP_MN_QUERY_INTERFACE reach the simulated hardware.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "nt/io.h"
#include "sim/send_irp.h"

namespace sim {

struct PdoConfig {
    std::u16string deviceId = u"USB\\VID_0B05&PID_17F3";
    std::u16string instanceId = u"5&1a2b3c4d&0&1";
    // Empty: deviceId + "&REV_0100", then deviceId.
    std::vector<std::u16string> hardwareIds;
    std::vector<std::u16string> compatibleIds = {u"USB\\Class_01&SubClass_01&Prot_00",
                                                 u"USB\\Class_01&SubClass_01", u"USB\\Class_01"};
    std::u16string deviceDescription = u"USB Audio Device";
    std::u16string friendlyName;  // empty: no FriendlyName value
    std::u16string manufacturer = u"(Generic USB Audio)";
    std::u16string driverKey = u"{4d36e96c-e325-11ce-bfc1-08002be10318}\\0001";
    std::u16string classGuid = u"{4d36e96c-e325-11ce-bfc1-08002be10318}";
    std::u16string className = u"MEDIA";
    bool surpriseRemovalOk = false;
};

// The simulated hardware behind the PDO (the simulated USB bus and device).
class BusDeviceHandler {
public:
    virtual ~BusDeviceHandler() = default;
    // Offered every IRP that reaches the PDO, at the caller's IRQL. Return
    // true to take it: the handler then completes the IRP (now, or later
    // after IoMarkIrpPending) and *status is what the PDO's dispatch routine
    // returns. Return false to leave it to the bus driver's defaults.
    virtual bool HandleIrp(PDEVICE_OBJECT pdo, PIRP irp, NTSTATUS* status) = 0;
};

class PnpHarness {
public:
    explicit PnpHarness(const PdoConfig& config = PdoConfig());
    // Removes a device that is still present, unloads a loaded driver and
    // deletes the PDO and the bus driver.
    ~PnpHarness();
    PnpHarness(const PnpHarness&) = delete;
    PnpHarness& operator=(const PnpHarness&) = delete;

    // Not owned; it must outlive the harness (whose end may still send the
    // removal). NULL leaves the bus driver's defaults alone.
    void SetDeviceHandler(BusDeviceHandler* handler) { handler_ = handler; }

    PDEVICE_OBJECT Pdo() const { return pdo_; }
    PDRIVER_OBJECT Driver() const { return driver_; }
    // The top of the device stack (no reference).
    PDEVICE_OBJECT TopDevice() const;
    const PdoConfig& Config() const { return config_; }
    // "\Registry\Machine\System\CurrentControlSet\Services\<service name>"
    const std::u16string& ServiceKeyPath() const { return serviceKey_; }

    // Creates the driver object and calls DriverEntry with it and the
    // service key path (a counted string freed after DriverEntry returns,
    // as on the platform). A failed DriverEntry leaves no driver loaded.
    NTSTATUS LoadDriver(PDRIVER_INITIALIZE driverEntry, const std::u16string& serviceName = u"usbaudio");
    // Calls the driver's AddDevice for the PDO; checks afterwards that a
    // device attached on top has DO_DEVICE_INITIALIZING cleared.
    NTSTATUS AddDevice();
    // IRP_MN_START_DEVICE with empty resource lists.
    NTSTATUS StartDevice();
    NTSTATUS QueryStopDevice();
    NTSTATUS StopDevice();
    NTSTATUS CancelStopDevice();
    NTSTATUS QueryRemoveDevice();
    NTSTATUS CancelRemoveDevice();
    NTSTATUS SurpriseRemoval();
    // IRP_MN_REMOVE_DEVICE; afterwards nothing of the driver may be left
    // attached to the PDO.
    NTSTATUS RemoveDevice();
    NTSTATUS QueryCapabilities(DEVICE_CAPABILITIES* capabilities);
    // IRP_MN_SET_POWER / IRP_MN_QUERY_POWER, system or device.
    NTSTATUS SetSystemPower(SYSTEM_POWER_STATE state, POWER_ACTION action = PowerActionSleep);
    NTSTATUS QuerySystemPower(SYSTEM_POWER_STATE state, POWER_ACTION action = PowerActionSleep);
    NTSTATUS SetDevicePower(DEVICE_POWER_STATE state);
    NTSTATUS QueryDevicePower(DEVICE_POWER_STATE state);
    // Any other PnP request: `fill` sets the parameters of the stack location.
    IrpOutcome SendPnp(UCHAR minorFunction, const IrpFiller& fill = IrpFiller());
    // Calls DriverUnload; checks that the driver deleted all its devices.
    void UnloadDriver();

    // The device power state the bus side last saw in a SET_POWER IRP.
    DEVICE_POWER_STATE PdoPowerState() const { return pdoPower_.load(); }
    // Counts of PnP and power IRPs that reached the PDO, by minor function.
    int PdoPnpCount(UCHAR minorFunction) const { return pnpSeen_[minorFunction & 0x1F]; }
    int PdoPowerCount(UCHAR minorFunction) const { return powerSeen_[minorFunction & 3]; }

private:
    static NTSTATUS BusDispatch(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS BusPnp(PIRP irp);
    NTSTATUS BusPower(PIRP irp);
    void FillCapabilities(PDEVICE_CAPABILITIES capabilities) const;
    void WriteEnumKey();
    void CheckStackAfterAddDevice(NTSTATUS status);
    IrpOutcome SendPower(UCHAR minorFunction, POWER_STATE_TYPE type, POWER_STATE state,
                         POWER_ACTION action);

    PdoConfig config_;
    BusDeviceHandler* handler_ = nullptr;
    PDRIVER_OBJECT busDriver_ = nullptr;
    PDEVICE_OBJECT pdo_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    std::u16string serviceKey_;
    bool added_ = false;
    bool removed_ = false;
    // Written by whichever thread sends an IRP down to the PDO.
    std::atomic<DEVICE_POWER_STATE> pdoPower_{PowerDeviceD0};
    std::atomic<int> pnpSeen_[32] = {};
    std::atomic<int> powerSeen_[4] = {};
};

}  // namespace sim
