// CUsbAudioHal: the adapter object, one per started device. It is the USB
// device as the rest of the driver sees it: its transport (IUsbAudioDevice,
// forwarded to CUsbTransport), selective suspend (CIdleControl), the ASIO
// interface (IAsioDevice; its operations live in stream/asio/),
// the settings-file import, the device's names and power changes. It knows
// nothing of the audio class itself: it chooses a device-family model,
// aggregates it and forwards the audio-graph operations of IAudioHal to it.
//
// Interfaces in table order: IUsbAudioDevice, IAsioDevice, IAudioHal,
// IAdapterPowerManagement. Never aggregated; allocated from NonPagedPoolNx
// ("PcCr") by CreateUsbAudioHal. Init, the destructor and PowerChangeState
// run at PASSIVE_LEVEL.
#pragma once

#include "adapter/audio_hal.h"
#include "adapter/base/mutex_lock.h"
#include "adapter/driver_entry.h"
#include "adapter/private_interfaces.h"
#include "adapter/uac_hal.h"
#include "adapter/usb/selective_suspend.h"
#include "adapter/usb/usb_audio_device.h"
#include "adapter/usb/usb_transport.h"
#include "stream/asio/asio_state.h"

inline constexpr ULONG ADAPTER_TAG = MakePoolTag("PcCr");
// Model-string request and buffer.
inline constexpr ULONG MODEL_STRING_TAG = MakePoolTag("pmet");
// Device-name buffers and the ASIO pin table.
inline constexpr ULONG ADAPTER_USB_TAG = MakePoolTag("USBd");
inline constexpr ULONG MANUFACTURER_NAME_TAG = MakePoolTag("str ");

class CUsbAudioHal : public IUsbAudioDevice, public IAsioDevice, public CAudioHal, public IIdleOwner {
public:
    CUsbAudioHal();
    // Stops selective suspend, frees the ASIO clients (completing a kept
    // stop request), releases the model, frees the pin table, balances the
    // timer resolution.
    ~CUsbAudioHal() override;

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    // ---- IUsbAudioDevice: the transport's, but CreateFamilyModel ----------
    PUSB_CONFIGURATION_DESCRIPTOR GetConfigurationDescriptor() override;
    USBD_CONFIGURATION_HANDLE GetConfigurationHandle() override;
    UCHAR GetAudioControlInterfaceNumber() override;
    NTSTATUS SetDevicePresent(BOOLEAN present) override;
    NTSTATUS CallLowerDriver(PIRP irp) override;
    NTSTATUS SubmitUrbSync(PURB urb) override;
    NTSTATUS GetCurrentFrameNumber(PULONG frame) override;
    PIRP AllocateIrp() override;
    NTSTATUS FreeIrp(PIRP irp) override;
    BOOLEAN IsHighSpeed() override;
    BOOLEAN CheckPresenceAndRecover() override;
    BOOLEAN CyclePortOnce() override;
    PDEVICE_OBJECT GetLowerDeviceObject() override;
    LONG BusyAddRef() override;
    LONG BusyRelease() override;
    // Finds the Audio Control interface, chooses the model (family_choice),
    // creates it through the factory table and caches its interfaces.
    NTSTATUS CreateFamilyModel() override;

    // ---- IAsioDevice (stream/asio/) ------------------------------------------
    NTSTATUS AsioOpen(PFILE_OBJECT file) override;
    NTSTATUS AsioUnused(PFILE_OBJECT file) override;
    NTSTATUS AsioClose(PFILE_OBJECT file) override;
    NTSTATUS AsioGetDriverName(PFILE_OBJECT file, CHAR* out, ULONG* length) override;
    NTSTATUS AsioGetChannels(PFILE_OBJECT file, ULONG* out, ULONG outLength) override;
    NTSTATUS AsioGetChannelInfo(PFILE_OBJECT file, ASIOChannelInfo* inOut, ULONG outLength) override;
    NTSTATUS AsioSetNotifyEvent(PFILE_OBJECT file, const HANDLE* event) override;
    NTSTATUS AsioClearNotifyEvent(PFILE_OBJECT file) override;
    NTSTATUS AsioGetBuffersCreated(PFILE_OBJECT file, ULONG* out) override;
    NTSTATUS AsioGetSampleTypes(PFILE_OBJECT file, ULONG* out, ULONG* length) override;
    NTSTATUS AsioGetLatencyTable(PFILE_OBJECT file, ULONG* out, ULONG* length) override;
    NTSTATUS AsioSetSampleType(PFILE_OBJECT file, ULONG type) override;
    NTSTATUS AsioSetLatency(PFILE_OBJECT file, ULONG index) override;
    NTSTATUS AsioGetLatencies(PFILE_OBJECT file, ULONG* out) override;
    NTSTATUS AsioGetSampleRate(PFILE_OBJECT file, ULONG* out) override;
    NTSTATUS AsioCanSampleRate(PFILE_OBJECT file, const ULONG* rate) override;
    NTSTATUS AsioSetSampleRate(PFILE_OBJECT file, const ULONG* rate) override;
    NTSTATUS AsioGetBufferSize(PFILE_OBJECT file, ULONG* out) override;
    NTSTATUS AsioCreateBuffers(PFILE_OBJECT file, const VOID* request, PVOID out, ULONG* outLength) override;
    NTSTATUS AsioDisposeBuffers(PFILE_OBJECT file) override;
    NTSTATUS AsioStart(PFILE_OBJECT file, const HANDLE* event) override;
    NTSTATUS AsioStop(PFILE_OBJECT file, PIRP irp) override;
    NTSTATUS AsioCanIoFormat(PFILE_OBJECT file, const ULONG* mode) override;
    NTSTATUS AsioSetIoFormat(PFILE_OBJECT file, const ULONG* mode) override;
    NTSTATUS AsioGetIoFormat(PFILE_OBJECT file, ULONG* out) override;
    // Internal ASIO operations of the power path (stream/asio/), run under
    // the device lock.
    NTSTATUS AsioStartStreams();
    VOID AsioStopStreams();
    VOID AsioResetBufferState(PKEVENT bufferSwitchEvent);

    // ---- IAudioHal -----------------------------------------------------------
    // Forwarded to the model (nothing before it exists).
    NTSTATUS GetStreamEngineCapabilities(ULONG index, ENDPOINT_CAPS* caps) override;
    ULONG GetStreamEngineCount() override;
    NTSTATUS GetStreamEngine(ULONG index, IStreamEngine** engine) override;
    ULONG GetUnitCount() override;
    NTSTATUS GetUnit(ULONG index, IUacUnit** unit) override;
    NTSTATUS Start() override;
    // The model's Stop; first completes a kept ASIO stop request with
    // STATUS_NO_SUCH_DEVICE (Stop comes with STOP, surprise removal and
    // removal, when no return to D0 follows).
    NTSTATUS Stop() override;
    NTSTATUS RegisterCallback(PCALLBACK_FUNCTION function, PVOID context, PVOID* registration) override;
    NTSTATUS UnregisterCallback(PVOID registration) override;
    // The device's own identity (USB-audio manufacturer and product GUIDs).
    NTSTATUS GetComponentId(KSCOMPONENTID* componentId) override;
    // Settings-file import, CAudioHal::Init (which runs InitHardware),
    // selective suspend.
    NTSTATUS Init(PRESOURCELIST resources, PDEVICE_OBJECT fdo, PDEVICE_OBJECT lowerDevice,
                  PDEVICE_OBJECT pdo) override;
    NTSTATUS PreprocessIrp(PIRP irp) override;
    // Descriptors, configuration, bus interface, model, names, ASIO
    // settings.
    NTSTATUS InitHardware() override;
    // The model connects its own units during its Init.
    NTSTATUS ConnectUnits() override { return STATUS_SUCCESS; }

    // ---- IAdapterPowerManagement --------------------------------------------
    VOID PowerChangeState(POWER_STATE newState) override;

    // ---- IIdleOwner ---------------------------------------------------------
    PDEVICE_OBJECT IdleFdo() override { return Fdo; }
    PDEVICE_OBJECT IdlePdo() override { return Pdo; }
    PDEVICE_OBJECT IdleLowerDevice() override { return LowerDevice; }
    // Read without the device lock, beside PowerChangeState's store.
    DEVICE_POWER_STATE IdlePowerState() override {
        return (DEVICE_POWER_STATE)ReadNoFence((LONG const volatile*)&PowerState);
    }

    // The lock every IAsioDevice operation and PowerChangeState hold.
    CMutexLock& DeviceLockObject() { return DeviceLock; }
    const ASIO_STATE& AsioState() const { return m_Asio; }
    CUsbTransport& Transport() { return m_Transport; }
    CIdleControl& IdleControl() { return m_Idle; }

private:
    NTSTATUS ReadModelString(PURB urb, PUCHAR buffer, PULONG received);
    NTSTATUS CacheModelInterfaces();
    VOID UpdateDeviceNames();
    VOID WriteNameFromString(UCHAR stringIndex, ULONG bufferTag, PCWSTR valueName);
    NTSTATUS WriteDeviceRegistryString(PCWSTR valueName, ULONG dataSize, PVOID data);
    NTSTATUS ReadAsioSettings();
    VOID ApplyAsioSampleTypeDefault();
    VOID HoldTimerResolution(BOOLEAN hold);
    VOID CompleteParkedAsioStop(NTSTATUS status);
    // The stop request kept while the device is not in D0: parked pending
    // with a cancel routine (STATUS_PENDING, or STATUS_INVALID_PARAMETER
    // when one is parked already), taken back by whoever completes it.
    NTSTATUS AsioParkStop(PIRP irp);
    PIRP AsioTakeParkedStop(PFILE_OBJECT file);
    static VOID AsioCancelParkedStop(PDEVICE_OBJECT device, PIRP irp);
    VOID FreeAsioClients();

    // ---- ASIO internals (stream/asio/) --------------------------------------
    BOOLEAN AsioFindClient(PFILE_OBJECT file, PASIO_CLIENT* out);
    BOOLEAN AsioIsPin(ULONG index);
    // The walk of the Can/Set I/O format and rate requests: rateTest FALSE
    // tests the I/O format `mode`, TRUE the rate under `mode`.
    NTSTATUS AsioWalkPins(BOOLEAN rateTest, ULONG mode, ULONG rate);
    VOID AsioSignalClients();
    VOID AsioSaveSampleType();
    NTSTATUS AsioMakeBuffer(ULONG index, ULONG ioFormat, ULONG rate, ULONG* inputs, ULONG* outputs);
    VOID AsioFreeBuffers();
    NTSTATUS AsioRegisterStreams();
    VOID AsioUnregisterStreams();
    NTSTATUS AsioBuildFormat(ULONG index, WAVEFORMATEXTENSIBLE* out);
    VOID AsioRollBackStart();
    VOID AsioSendNotice(BOOLEAN start);
    PKEVENT AsioTakeBufferSwitchEvent(PASIO_CLIENT owner);
    VOID AsioStopOwner(PASIO_CLIENT owner);
    VOID AsioSilenceRings();
    static VOID AsioCyclicControlCallback(PVOID context, PVOID argument1, PVOID argument2);
    VOID OnAsioCyclicControlMsg(const struct _CYCLIC_CONTROL_MSG* message);
    VOID AsioCopyToDevice(ULONG index, PUCHAR buffer, ULONG length);
    VOID AsioCopyFromDevice(ULONG index, PUCHAR buffer, ULONG length);
    VOID AsioSignalBufferSwitch(ULONG index);

    CUsbTransport m_Transport;
    CIdleControl m_Idle;
    PUNKNOWN ModelUnknown;  // the only counted reference to the model
    IAudioHal* ModelAudioHal;
    IAdapterPowerManagement* ModelPower;
    IUacHal* ModelUacHal;  // NULL when the model does not offer it
    CMutexLock DeviceLock;
    ASIO_STATE m_Asio;
    // One ExSetTimerResolution(1 ms) request is outstanding.
    BOOLEAN m_TimerResolutionHeld;
};
