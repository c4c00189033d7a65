// CUsbAudioHal: construction and destruction, interface answers, the
// transport forwarding, start-up (Init, InitHardware, the model choice and
// the ASIO settings) and power changes.
#include "adapter/usb_audio_hal.h"

#include "adapter/asio_park_seam.h"
#include "adapter/base/start_log.h"
#include "adapter/family_choice.h"
#include "adapter/ini_reader.h"
#include "adapter/product_table.h"
#include "nt/dbg.h"
#include "nt/rtl.h"
#include "stream/asio/asio_pins.h"
#include "stream/engine/stream_engine.h"
#include "usb/usbd.h"

// 1 ms system timer resolution while the adapter lives in D0.
constexpr ULONG kTimerResolution = 10000;

NTSTATUS CreateUsbAudioHal(PUNKNOWN* unknown) {
    if (unknown == NULL) return STATUS_INVALID_PARAMETER;
    *unknown = NULL;
    auto* adapter = new (NonPagedPoolNx, ADAPTER_TAG) CUsbAudioHal();
    if (adapter == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    *unknown = static_cast<IAudioHal*>(adapter);
    (*unknown)->AddRef();
    return STATUS_SUCCESS;
}

CUsbAudioHal::CUsbAudioHal()
    : CAudioHal(NULL),
      m_Transport(),
      m_Idle(this, &m_Transport),
      ModelUnknown(NULL),
      ModelAudioHal(NULL),
      ModelPower(NULL),
      ModelUacHal(NULL),
      DeviceLock(),
      m_Asio(),
      m_TimerResolutionHeld(FALSE) {
    InitializeListHead(&m_Asio.m_AsioClients);
    KeInitializeSpinLock(&m_Asio.m_AsioSpinLock);
    HoldTimerResolution(TRUE);
}

CUsbAudioHal::~CUsbAudioHal() {
    m_Idle.Shutdown();
    CompleteParkedAsioStop(STATUS_NO_SUCH_DEVICE);
    FreeAsioClients();
    if (ModelUnknown != NULL) {
        PUNKNOWN model = ModelUnknown;
        ModelUnknown = NULL;
        ModelAudioHal = NULL;
        ModelPower = NULL;
        ModelUacHal = NULL;
        m_Transport.SetModelPower(NULL);
        model->Release();  // destroys the model, its units and engines
    }
    if (m_Asio.m_pAsioPins != NULL) {
        ExFreePoolWithTag(m_Asio.m_pAsioPins, ADAPTER_USB_TAG);
        m_Asio.m_pAsioPins = NULL;
    }
    m_Idle.Shutdown();
    HoldTimerResolution(FALSE);
}

NTSTATUS CUsbAudioHal::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    if (iid == IID_IUnknown || iid == IID_IAudioHal) return ReturnInterface(static_cast<IAudioHal*>(this), out);
    if (iid == IID_IAdapterPowerManagement)
        return ReturnInterface(static_cast<IAdapterPowerManagement*>(this), out);
    if (iid == IID_IUacHal && ModelUacHal != NULL) return ReturnInterface(ModelUacHal, out);
    if (iid == IID_IUsbAudioDevice) return ReturnInterface(static_cast<IUsbAudioDevice*>(this), out);
    if (iid == IID_IAsioDevice) return ReturnInterface(static_cast<IAsioDevice*>(this), out);
    return RefuseInterface(out);
}

// ---- IUsbAudioDevice ----------------------------------------------------------

PUSB_CONFIGURATION_DESCRIPTOR CUsbAudioHal::GetConfigurationDescriptor() {
    return m_Transport.GetConfigurationDescriptor();
}
USBD_CONFIGURATION_HANDLE CUsbAudioHal::GetConfigurationHandle() { return m_Transport.GetConfigurationHandle(); }
UCHAR CUsbAudioHal::GetAudioControlInterfaceNumber() { return m_Transport.GetAudioControlInterfaceNumber(); }
NTSTATUS CUsbAudioHal::SetDevicePresent(BOOLEAN present) { return m_Transport.SetDevicePresent(present); }
NTSTATUS CUsbAudioHal::CallLowerDriver(PIRP irp) { return m_Transport.CallLowerDriver(irp); }
NTSTATUS CUsbAudioHal::SubmitUrbSync(PURB urb) { return m_Transport.SubmitUrbSync(urb); }
NTSTATUS CUsbAudioHal::GetCurrentFrameNumber(PULONG frame) { return m_Transport.GetCurrentFrameNumber(frame); }
PIRP CUsbAudioHal::AllocateIrp() { return m_Transport.AllocateIrp(); }
NTSTATUS CUsbAudioHal::FreeIrp(PIRP irp) { return m_Transport.FreeIrp(irp); }
BOOLEAN CUsbAudioHal::IsHighSpeed() { return m_Transport.IsHighSpeed(); }
BOOLEAN CUsbAudioHal::CheckPresenceAndRecover() { return m_Transport.CheckPresenceAndRecover(); }
BOOLEAN CUsbAudioHal::CyclePortOnce() { return m_Transport.CyclePortOnce(); }
PDEVICE_OBJECT CUsbAudioHal::GetLowerDeviceObject() { return m_Transport.GetLowerDeviceObject(); }
LONG CUsbAudioHal::BusyAddRef() { return m_Transport.BusyAddRef(); }
LONG CUsbAudioHal::BusyRelease() { return m_Transport.BusyRelease(); }

// ---- IAudioHal: the model's answers -------------------------------------------

NTSTATUS CUsbAudioHal::GetStreamEngineCapabilities(ULONG index, ENDPOINT_CAPS* caps) {
    if (ModelAudioHal == NULL) return STATUS_UNSUCCESSFUL;
    return ModelAudioHal->GetStreamEngineCapabilities(index, caps);
}
ULONG CUsbAudioHal::GetStreamEngineCount() { return ModelAudioHal ? ModelAudioHal->GetStreamEngineCount() : 0; }
NTSTATUS CUsbAudioHal::GetStreamEngine(ULONG index, IStreamEngine** engine) {
    if (ModelAudioHal != NULL) return ModelAudioHal->GetStreamEngine(index, engine);
    if (engine != NULL) *engine = NULL;
    return STATUS_UNSUCCESSFUL;
}
ULONG CUsbAudioHal::GetUnitCount() { return ModelAudioHal ? ModelAudioHal->GetUnitCount() : 0; }
NTSTATUS CUsbAudioHal::GetUnit(ULONG index, IUacUnit** unit) {
    if (ModelAudioHal != NULL) return ModelAudioHal->GetUnit(index, unit);
    if (unit != NULL) *unit = NULL;
    return STATUS_UNSUCCESSFUL;
}
NTSTATUS CUsbAudioHal::Start() { return ModelAudioHal ? ModelAudioHal->Start() : STATUS_UNSUCCESSFUL; }

NTSTATUS CUsbAudioHal::Stop() {
    CompleteParkedAsioStop(STATUS_NO_SUCH_DEVICE);
    return ModelAudioHal ? ModelAudioHal->Stop() : STATUS_SUCCESS;
}

NTSTATUS CUsbAudioHal::RegisterCallback(PCALLBACK_FUNCTION function, PVOID context, PVOID* registration) {
    // Units notify on the model's own callback object.
    if (ModelAudioHal != NULL) return ModelAudioHal->RegisterCallback(function, context, registration);
    return CAudioHal::RegisterCallback(function, context, registration);
}
NTSTATUS CUsbAudioHal::UnregisterCallback(PVOID registration) {
    if (ModelAudioHal != NULL) return ModelAudioHal->UnregisterCallback(registration);
    return CAudioHal::UnregisterCallback(registration);
}

NTSTATUS CUsbAudioHal::PreprocessIrp(PIRP irp) { return m_Idle.PreprocessIrp(irp); }

// ---- start-up ---------------------------------------------------------------

NTSTATUS CUsbAudioHal::Init(PRESOURCELIST resources, PDEVICE_OBJECT fdo, PDEVICE_OBJECT lowerDevice,
                            PDEVICE_OBJECT pdo) {
    PAGED_CODE();
    // Known before anything can fail: selective suspend reads the device's
    // parameters through the PDO whatever CAudioHal::Init returns.
    Fdo = fdo;
    LowerDevice = lowerDevice;
    Pdo = pdo;
    m_Transport.Init(fdo, lowerDevice);
    auto* reader = new (NonPagedPoolNx, INI_READER_TAG) CIniReader(fdo);
    if (reader == NULL) return LogStartFailure("the settings-file reader", STATUS_INSUFFICIENT_RESOURCES);
    reader->Import();  // nothing of the import fails the start
    NTSTATUS status = CAudioHal::Init(resources, fdo, lowerDevice, pdo);
    m_Idle.Start(NT_SUCCESS(status));
    delete reader;
    return status;
}

NTSTATUS CUsbAudioHal::InitHardware() {
    NTSTATUS status = LogStartFailure("the descriptor read", m_Transport.ReadDescriptors());
    if (NT_SUCCESS(status)) status = LogStartFailure("the configuration selection", m_Transport.SelectConfiguration());
    if (NT_SUCCESS(status)) status = LogStartFailure("the bus interface query", m_Transport.QueryBusInterface());
    // The model choice and the model's Init log their own failing step.
    if (NT_SUCCESS(status)) status = CreateFamilyModel();
    if (NT_SUCCESS(status)) status = ModelAudioHal->Init(NULL, Fdo, LowerDevice, Pdo);
    if (!NT_SUCCESS(status)) return status;
    UpdateDeviceNames();
    ULONG engines = ModelAudioHal->GetStreamEngineCount();
    if (engines != 0) {
        m_Asio.m_pAsioPins = static_cast<PASIO_PIN>(
            ExAllocatePoolWithTag(NonPagedPoolNx, engines * sizeof(ASIO_PIN), ADAPTER_USB_TAG));
        if (m_Asio.m_pAsioPins == NULL) return LogStartFailure("the ASIO pin table", STATUS_INSUFFICIENT_RESOURCES);
        RtlZeroMemory(m_Asio.m_pAsioPins, engines * sizeof(ASIO_PIN));
    }
    return ReadAsioSettings();
}

NTSTATUS CUsbAudioHal::ReadAsioSettings() {
    m_Asio.m_nAsioPendingSampleType = ASIO_DEFAULT_SAMPLE_TYPE;
    m_Asio.m_nAsioSampleType = ASIO_DEFAULT_SAMPLE_TYPE;
    m_Asio.m_nAsioLatencyIndex = ASIO_DEFAULT_LATENCY_INDEX;
    m_Asio.m_nAsioSampleRate = ASIO_DEFAULT_SAMPLE_RATE;
    ULONG value = 0;
    // A stored type outside the sample-type table has no sample width.
    if (NT_SUCCESS(SettingsNumberValue(Fdo, SETTINGS_OP_READ, &value, sizeof(value), u"ASIOMLDataBitDepth")) &&
        AsioSampleTypeWidth(value) != 0) {
        m_Asio.m_nAsioPendingSampleType = value;
        m_Asio.m_nAsioSampleType = value;
    }
    // A stored index indexes the eight-entry latency table; a stored rate
    // below 1 kHz would give no frames per millisecond (a later divisor).
    value = 0;
    if (NT_SUCCESS(SettingsNumberValue(Fdo, SETTINGS_OP_READ, &value, sizeof(value), u"ASIOMLDataLatency")) &&
        value < ASIO_LATENCY_TABLE_ENTRIES)
        m_Asio.m_nAsioLatencyIndex = value;
    value = 0;
    if (NT_SUCCESS(SettingsNumberValue(Fdo, SETTINGS_OP_READ, &value, sizeof(value), u"ASIOMLSampleRate")) &&
        value >= 1000)
        m_Asio.m_nAsioSampleRate = value;
    ApplyAsioSampleTypeDefault();
    return STATUS_SUCCESS;
}

VOID CUsbAudioHal::ApplyAsioSampleTypeDefault() {
    ULONG engines = ModelAudioHal->GetStreamEngineCount();
    for (ULONG i = 0; i < engines; ++i) {
        ENDPOINT_CAPS caps = {};
        if (!NT_SUCCESS(ModelAudioHal->GetStreamEngineCapabilities(i, &caps)) ||
            (caps.Flags & ENDPOINT_CAPS_ASIO) == 0)
            continue;
        ULONG stored = 0;
        if (SettingsNumberValue(Fdo, SETTINGS_OP_READ, &stored, sizeof(stored), u"ASIOMLDataBitDepth") !=
            STATUS_OBJECT_NAME_NOT_FOUND)
            continue;
        const PRODUCT_ROW* row = LookupProduct(m_Transport.VendorId(), m_Transport.ProductId());
        ULONG type = row->AsioSampleType;
        m_Asio.m_nAsioPendingSampleType = type;
        m_Asio.m_nAsioSampleType = type;
        if (row->Flags & PRODUCT_WRITE_ASIO_SAMPLE_TYPE)
            SettingsNumberValue(Fdo, SETTINGS_OP_WRITE, &type, sizeof(type), u"ASIOMLDataBitDepth");
        return;
    }
}

// ---- the device-family model --------------------------------------------------

NTSTATUS CUsbAudioHal::CreateFamilyModel() {
    PUSB_CONFIGURATION_DESCRIPTOR configuration = m_Transport.GetConfigurationDescriptor();
    if (configuration == NULL) return LogStartFailure("the family-model choice", STATUS_UNSUCCESSFUL);
    PUSB_INTERFACE_DESCRIPTOR control =
        USBD_ParseConfigurationDescriptorEx(configuration, configuration, -1, -1, 1, 1, -1);
    if (control == NULL)
        return LogStartFailure("the family-model choice (the configuration has no Audio Control interface)",
                               STATUS_UNSUCCESSFUL);
    m_Transport.SetAudioControlInterfaceNumber(control->bInterfaceNumber);

    FAMILY_CHOICE choice = {FAMILY_MODEL_UAC2, 0};
    if (control->bInterfaceProtocol == 0) {
        auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(URB), MODEL_STRING_TAG));
        auto* buffer =
            static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, MODEL_STRING_REQUEST_BYTES, MODEL_STRING_TAG));
        NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
        ULONG received = 0;
        if (urb != NULL && buffer != NULL) status = ReadModelString(urb, buffer, &received);
        if (status != STATUS_INSUFFICIENT_RESOURCES)
            choice = ChooseUac1Model(NT_SUCCESS(status) ? buffer : NULL, NT_SUCCESS(status) ? received : 0);
        if (urb != NULL) ExFreePoolWithTag(urb, MODEL_STRING_TAG);
        if (buffer != NULL) ExFreePoolWithTag(buffer, MODEL_STRING_TAG);
        if (status == STATUS_INSUFFICIENT_RESOURCES)
            return LogInterfaceStartFailure(control->bInterfaceNumber, "reading the model string", status);
    } else if (control->bInterfaceProtocol != 0x20) {
        DbgPrint("interface %u: the family-model choice failed: no model drives Audio Control protocol 0x%02x "
                 "(status %x); the device is not started\n",
                 (unsigned)control->bInterfaceNumber, (unsigned)control->bInterfaceProtocol,
                 (unsigned)STATUS_UNSUCCESSFUL);
        return STATUS_UNSUCCESSFUL;
    }

    PFNCREATEFAMILYMODEL create = GetDriverFactories()->Models[choice.Model];
    if (create == NULL)  // that family is not built into this driver
        return LogStartFailure("the family-model choice (the family is not built in)", STATUS_NOT_SUPPORTED);
    NTSTATUS status = create(&ModelUnknown, static_cast<IUsbAudioDevice*>(this), m_Transport.VendorId(),
                             m_Transport.ProductId(), choice.ChipVariant);
    if (!NT_SUCCESS(status)) {
        ModelUnknown = NULL;
        return LogStartFailure("creating the family model", status);
    }
    return LogStartFailure("the family model's interfaces", CacheModelInterfaces());
}

// String 0x50, else 0x32; *received: the bytes the device sent.
NTSTATUS CUsbAudioHal::ReadModelString(PURB urb, PUCHAR buffer, PULONG received) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    for (UCHAR index : {(UCHAR)MODEL_STRING_INDEX, (UCHAR)MODEL_STRING_FALLBACK_INDEX}) {
        RtlZeroMemory(urb, sizeof(URB));
        RtlZeroMemory(buffer, MODEL_STRING_REQUEST_BYTES);
        UsbBuildGetDescriptorRequest(urb, (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST),
                                     USB_STRING_DESCRIPTOR_TYPE, index, STRING_LANGUAGE_US, buffer, NULL,
                                     MODEL_STRING_REQUEST_BYTES, NULL);
        status = m_Transport.SubmitUrbSync(urb);
        if (NT_SUCCESS(status)) {
            ULONG length = urb->UrbControlDescriptorRequest.TransferBufferLength;
            *received = length < MODEL_STRING_REQUEST_BYTES ? length : MODEL_STRING_REQUEST_BYTES;
            return status;
        }
    }
    return status;
}

// The model's interfaces are cached without counting: each query took a
// reference on this adapter (the model's outer unknown), given back here.
NTSTATUS CUsbAudioHal::CacheModelInterfaces() {
    NTSTATUS status = ModelUnknown->QueryInterface(IID_IAudioHal, reinterpret_cast<PVOID*>(&ModelAudioHal));
    if (!NT_SUCCESS(status)) {
        ModelAudioHal = NULL;
        return status;
    }
    Release();
    if (NT_SUCCESS(ModelUnknown->QueryInterface(IID_IUacHal, reinterpret_cast<PVOID*>(&ModelUacHal))) &&
        ModelUacHal != NULL) {
        Release();
    } else {
        ModelUacHal = NULL;
    }
    status = ModelUnknown->QueryInterface(IID_IAdapterPowerManagement, reinterpret_cast<PVOID*>(&ModelPower));
    if (NT_SUCCESS(status) && ModelPower != NULL) {
        Release();
        m_Transport.SetModelPower(ModelPower);
    } else {
        ModelPower = NULL;
    }
    return status;
}

// ---- power ------------------------------------------------------------------

VOID CUsbAudioHal::HoldTimerResolution(BOOLEAN hold) {
    // One request at most: D0 -> D2 -> D3 or a destruction outside D0 must
    // not take back a request this adapter does not hold.
    if (hold == m_TimerResolutionHeld) return;
    ExSetTimerResolution(hold ? kTimerResolution : 0, hold);
    m_TimerResolutionHeld = hold;
}

VOID CUsbAudioHal::PowerChangeState(POWER_STATE newState) {
    ULONG state = newState.DeviceState;
    if (state < PowerDeviceD0 || state > PowerDeviceD3) return;
    // The state it is in already costs nothing, not even the lock. Power
    // requests of the idle path and of the power manager can cross, so
    // the state is compared again and changed under the device lock.
    if (state == (ULONG)ReadNoFence((LONG const volatile*)&PowerState)) return;
    DeviceLock.Lock();
    if (state == PowerState) {
        DeviceLock.Unlock();
        return;
    }
    PIRP parked = NULL;
    if (state == PowerDeviceD0) {
        if (ModelPower != NULL) ModelPower->PowerChangeState(newState);
        HoldTimerResolution(TRUE);
        if (m_Asio.m_bAsioStoppedByPowerDown) {
            AsioStartStreams();
            PASIO_CLIENT owner = m_Asio.m_pAsioOwner;
            AsioResetBufferState(owner ? owner->BufferSwitchEvent : NULL);
            m_Asio.m_bAsioStoppedByPowerDown = FALSE;
        }
        parked = AsioTakeParkedStop(NULL);
    } else {
        if (!CheckPresenceAndRecover() && ModelPower != NULL) ModelPower->PowerChangeState(newState);
        if (m_Asio.m_bAsioStreaming) {
            AsioStopStreams();
            PASIO_CLIENT owner = m_Asio.m_pAsioOwner;
            if (owner != NULL && owner->BufferSwitchEvent != NULL) KeClearEvent(owner->BufferSwitchEvent);
            m_Asio.m_bAsioStoppedByPowerDown = TRUE;
        }
        HoldTimerResolution(FALSE);
    }
    // The idle path reads the state without the device lock.
    InterlockedExchange((LONG volatile*)&PowerState, (LONG)state);
    DeviceLock.Unlock();
    if (parked != NULL) {
        // The stop request that arrived outside D0 runs now.
        NTSTATUS status = AsioStop(IoGetCurrentIrpStackLocation(parked)->FileObject, parked);
        PcCompleteIrp(Fdo, parked, status);
    }
}

VOID CUsbAudioHal::CompleteParkedAsioStop(NTSTATUS status) {
    DeviceLock.Lock();
    PIRP parked = AsioTakeParkedStop(NULL);
    DeviceLock.Unlock();
    if (parked != NULL) PcCompleteIrp(Fdo, parked, status);
}

VOID CUsbAudioHal::FreeAsioClients() {
    while (!IsListEmpty(&m_Asio.m_AsioClients)) {
        PLIST_ENTRY entry = RemoveHeadList(&m_Asio.m_AsioClients);
        auto* client = CONTAINING_RECORD(entry, ASIO_CLIENT, ListEntry);
        if (client->NotifyEvent != NULL) ObDereferenceObject(client->NotifyEvent);
        if (client->BufferSwitchEvent != NULL) ObDereferenceObject(client->BufferSwitchEvent);
        ExFreePoolWithTag(client, ADAPTER_USB_TAG);
    }
    m_Asio.m_pAsioOwner = NULL;
}

// ---- the ASIO stop kept until D0 ------------------------------------------------

PASIO_PARK_HOOK g_AsioParkHook = NULL;
PVOID g_AsioParkHookContext = NULL;

// Cancel-safe: whoever clears the cancel routine by exchange owns the IRP.
NTSTATUS CUsbAudioHal::AsioParkStop(PIRP irp) {
    PIRP none = NULL;
    if (!__atomic_compare_exchange_n(&m_Asio.m_pParkedAsioStopIrp, &none, irp, false, __ATOMIC_ACQ_REL,
                                     __ATOMIC_ACQUIRE))
        return STATUS_INVALID_PARAMETER;  // one is parked already
    irp->Tail.Overlay.DriverContext[0] = this;
    IoMarkIrpPending(irp);
    if (g_AsioParkHook != NULL) g_AsioParkHook(irp, g_AsioParkHookContext);
    IoSetCancelRoutine(irp, AsioCancelParkedStop);
    if (irp->Cancel && AsioTakeParkedStop(NULL) == irp) {
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    return STATUS_PENDING;
}

// Takes the parked stop (of `file`, or any when NULL) if its cancel routine
// has not run; the caller then completes it.
PIRP CUsbAudioHal::AsioTakeParkedStop(PFILE_OBJECT file) {
    PIRP irp = __atomic_load_n(&m_Asio.m_pParkedAsioStopIrp, __ATOMIC_ACQUIRE);
    if (irp == NULL) return NULL;
    if (file != NULL && IoGetCurrentIrpStackLocation(irp)->FileObject != file) return NULL;
    if (!__atomic_compare_exchange_n(&m_Asio.m_pParkedAsioStopIrp, &irp, (PIRP)NULL, false, __ATOMIC_ACQ_REL,
                                     __ATOMIC_ACQUIRE))
        return NULL;
    // A cancel routine already running owns the IRP.
    return IoSetCancelRoutine(irp, NULL) != NULL ? irp : NULL;
}

VOID CUsbAudioHal::AsioCancelParkedStop(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto* self = static_cast<CUsbAudioHal*>(irp->Tail.Overlay.DriverContext[0]);
    PIRP expected = irp;
    __atomic_compare_exchange_n(&self->m_Asio.m_pParkedAsioStopIrp, &expected, (PIRP)NULL, false, __ATOMIC_ACQ_REL,
                                __ATOMIC_ACQUIRE);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

