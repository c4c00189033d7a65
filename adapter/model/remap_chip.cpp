// CUac1RemapHal: the codec registers written through HID output reports,
// InitChip, Start and Stop, and the jack poller.
//
// Register write: HID SET_REPORT (class, interface 3, OUT), wValue 0x0200
// (output report 0), data {0x20, value low, value high, register}.
// Jack report: HID GET_REPORT (class, interface 3, IN), wValue 0x0100
// (input report 0), 3 bytes; bit 4 of byte 0 clear means plugged.
//
// The poller, on the one product that needs it: every 50 ms one report
// into a history of 30 samples; 30 unplugged samples give state 0 (the
// device's own mute of feature unit 11 forced on through its OR bit, the
// render stream passed as it is), 30 plugged ones state 2 (stream muted),
// and a plugged sample seen in state 0 gives state 1 (stream attenuated).
// The thread sets ThreadExitedEvent on every way out; Stop and the
// destructor wait for it.
#include "adapter/model/uac1_remap_hal.h"

#include "adapter/base/start_log.h"
#include "adapter/usb/usb_audio_device.h"
#include "nt/ps.h"
#include "nt/rtl.h"
#include "nt/zw.h"
#include "topology/interface_ref.h"
#include "topology/jack_state_node.h"
#include "topology/remap_entities.h"
#include "topology/uac_entity.h"

namespace {

constexpr USHORT kStartValues[CHIP_REGISTER_COUNT] = {0x2004, 0x3002, 0xF800, 0x143F, 0x0000, 0x3000};

constexpr USHORT kHidInterface = 3;
constexpr UCHAR kHidSetReport = 0x09;
constexpr UCHAR kHidGetReport = 0x01;
constexpr USHORT kOutputReport0 = 0x0200;
constexpr USHORT kInputReport0 = 0x0100;
constexpr UCHAR kRegisterReportId = 0x20;
constexpr ULONG kRegisterReportBytes = 4;
constexpr ULONG kJackReportBytes = 3;
constexpr UCHAR kJackUnpluggedBit = 0x10;

// InitChip's pulse of register 5.
constexpr ULONG kResetRegister = 5;
constexpr USHORT kResetBits = 0x3000;
constexpr LONGLONG kResetGap = -10000;  // 1 ms, relative

constexpr LONG kPollPeriodMs = 50;
constexpr LONGLONG kFirstPoll = 500000;  // 50 ms in 100 ns units
constexpr KPRIORITY kPollPriority = 16;
constexpr UCHAR kLineThroughUnit = 11;

struct HID_REQUEST {
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST Urb;
    UCHAR Data[kRegisterReportBytes];
};

void BuildHidRequest(HID_REQUEST* r, BOOLEAN in, UCHAR request, USHORT value, ULONG bytes) {
    UsbBuildVendorRequest(reinterpret_cast<PURB>(&r->Urb), URB_FUNCTION_CLASS_INTERFACE, (USHORT)sizeof(r->Urb),
                          in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0, 0, request, value,
                          kHidInterface, r->Data, NULL, bytes, NULL);
}

bool AllSamples(const JACK_HISTORY* h, UCHAR sample) {
    for (UCHAR s : h->Samples)
        if (s != sample) return false;
    return true;
}

}  // namespace

ULONG NextJackState(const JACK_HISTORY* h) {
    if (AllSamples(h, 0)) return JACK_STATE_PASS;
    if (AllSamples(h, 1)) return JACK_STATE_SILENCE;
    // Some plugged sample in a mixed history: attenuate, from state 0 only.
    return h->State == JACK_STATE_PASS ? JACK_STATE_ATTENUATE : h->State;
}

// ---- registers ------------------------------------------------------------------

void CUac1RemapHal::ResetChipRegisters() {
    for (ULONG i = 0; i < CHIP_REGISTER_COUNT; ++i) m_ChipRegisters[i] = {kStartValues[i], CHIP_REGISTER_REPLAY};
}

CHIP_REGISTER CUac1RemapHal::ChipRegister(ULONG index) {
    if (index >= CHIP_REGISTER_COUNT) return {0, 0};
    RegisterLock.Lock();
    const CHIP_REGISTER r = m_ChipRegisters[index];
    RegisterLock.Unlock();
    return r;
}

// RegisterLock covers the shadow from its read to its update, and only
// the one request between.
NTSTATUS CUac1RemapHal::WriteChipRegister(ULONG index, USHORT value, USHORT mask) {
    if (index >= CHIP_REGISTER_COUNT) return STATUS_UNSUCCESSFUL;
    if (mask == 0) return STATUS_SUCCESS;
    InterfaceRef<IUsbAudioDevice> usb(GetOuterUnknown(), IID_IUsbAudioDevice);
    if (usb.get() == NULL) return usb.status();
    auto* request = static_cast<HID_REQUEST*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(HID_REQUEST), m_PoolTag));
    if (request == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(request, sizeof(*request));
    RegisterLock.Lock();
    const USHORT shadow = m_ChipRegisters[index].Value;
    const USHORT merged = mask == 0xFFFF ? value : (USHORT)((value & mask) | (shadow & ~mask));
    BuildHidRequest(request, FALSE, kHidSetReport, kOutputReport0, kRegisterReportBytes);
    request->Data[0] = kRegisterReportId;
    request->Data[1] = (UCHAR)merged;
    request->Data[2] = (UCHAR)(merged >> 8);
    request->Data[3] = (UCHAR)index;
    NTSTATUS status = usb->SubmitUrbSync(reinterpret_cast<PURB>(&request->Urb));
    if (NT_SUCCESS(status)) m_ChipRegisters[index].Value = merged;
    RegisterLock.Unlock();
    ExFreePoolWithTag(request, m_PoolTag);
    return status;
}

// Register 5 pulsed, then every register that replays, in order, with
// its shadow: the codec returns to what the host last wrote.
NTSTATUS CUac1RemapHal::InitChip() {
    WriteChipRegister(kResetRegister, 0, kResetBits);
    LARGE_INTEGER gap;
    gap.QuadPart = kResetGap;
    KeDelayExecutionThread(KernelMode, FALSE, &gap);
    WriteChipRegister(kResetRegister, kResetBits, kResetBits);
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < kResetRegister; ++i) {
        const CHIP_REGISTER r = ChipRegister(i);
        if ((r.Flags & CHIP_REGISTER_REPLAY) == 0) continue;
        status = WriteChipRegister(i, r.Value, 0xFFFF);
        if (!NT_SUCCESS(status)) return status;
    }
    return status;
}

// ---- Start and Stop ----------------------------------------------------------------

NTSTATUS CUac1RemapHal::Start() {
    if (!m_JackPollEnabled || m_JackPollRunning) return STATUS_SUCCESS;
    NTSTATUS status = StartModelThread(JackPollThreadStart, kPollPriority);
    if (!NT_SUCCESS(status)) return LogStartFailure("starting the jack poller", status);
    m_JackPollRunning = TRUE;
    return STATUS_SUCCESS;
}

NTSTATUS CUac1RemapHal::Stop() {
    if (!m_JackPollRunning) return STATUS_SUCCESS;
    KeSetEvent(&StopEvent, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&ThreadExitedEvent, Executive, KernelMode, FALSE, NULL);
    if (StatusThread != NULL) {
        // Signalled once the thread has left the model's code.
        KeWaitForSingleObject(StatusThread, Executive, KernelMode, FALSE, NULL);
        ObDereferenceObject(StatusThread);
        StatusThread = NULL;
    }
    m_JackPollRunning = FALSE;
    KeClearEvent(&StopEvent);
    KeClearEvent(&ThreadExitedEvent);
    return STATUS_SUCCESS;
}

// ---- the poller ------------------------------------------------------------------

struct CUac1RemapHal::JACK_POLL {
    HID_REQUEST Request;
    // Not counted: the adapter (the outer unknown) destroys the model,
    // whose destructor ends this thread first. A counted reference would
    // keep the adapter alive for as long as the thread runs.
    IUsbAudioDevice* Usb;
};

VOID CUac1RemapHal::JackPollThreadStart(PVOID model) {
    static_cast<CUac1RemapHal*>(model)->JackPollThread();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS CUac1RemapHal::ReadJackSample(JACK_POLL* poll, UCHAR* sample) {
    RtlZeroMemory(&poll->Request, sizeof(poll->Request));
    BuildHidRequest(&poll->Request, TRUE, kHidGetReport, kInputReport0, kJackReportBytes);
    NTSTATUS status = poll->Usb->SubmitUrbSync(reinterpret_cast<PURB>(&poll->Request.Urb));
    if (!NT_SUCCESS(status)) return status;
    if (poll->Request.Urb.TransferBufferLength < 1) return STATUS_UNSUCCESSFUL;
    *sample = (poll->Request.Data[0] & kJackUnpluggedBit) ? 0 : 1;
    return STATUS_SUCCESS;
}

// Feature unit 11's OR bit, when the unit is the class that has one
// (switches may have removed it or given it another class).
VOID CUac1RemapHal::SetMuteOrBits(UCHAR bits) {
    CUacEntity* entity = NULL;
    if (!NT_SUCCESS(FindEntityById(kLineThroughUnit, &entity)) || entity == NULL) return;
    InterfaceRef<IMuteOrBits> fixed(static_cast<IUacUnit*>(entity), IID_IMuteOrBits);
    if (fixed.get() != NULL) fixed->SetMuteOrBits(bits);
}

VOID CUac1RemapHal::EnterJackState(ULONG state) {
    SetMuteOrBits(state == JACK_STATE_PASS ? 1 : 0);
    m_JackStateNode->SetState(state);
}

VOID CUac1RemapHal::JackPollThread() {
    JACK_HISTORY history = {};
    history.Position = 1;
    history.State = JACK_STATE_PASS;
    auto* poll = static_cast<JACK_POLL*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(JACK_POLL), m_PoolTag));
    IUsbAudioDevice* usb = NULL;
    {
        InterfaceRef<IUsbAudioDevice> query(GetOuterUnknown(), IID_IUsbAudioDevice);
        usb = query.get();
    }
    UCHAR sample = 0;
    if (poll != NULL && usb != NULL) {
        poll->Usb = usb;
        if (NT_SUCCESS(ReadJackSample(poll, &sample))) {
            history.Samples[0] = sample;
            LARGE_INTEGER due;
            KeQuerySystemTime(&due);
            due.QuadPart += kFirstPoll;
            KeSetTimerEx(&m_JackPollTimer, due, kPollPeriodMs, NULL);
            if (m_JackStateNode != NULL) SetMuteOrBits(1);
            PVOID objects[2] = {&m_JackPollTimer, &StopEvent};
            for (;;) {
                const NTSTATUS wait =
                    KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, NULL, NULL);
                if (wait != STATUS_WAIT_0) break;  // Stop, or a failed wait
                if (!NT_SUCCESS(ReadJackSample(poll, &sample))) break;
                history.Samples[history.Position] = sample;
                history.Position = (history.Position + 1) % JACK_HISTORY_SAMPLES;
                if (m_JackStateNode == NULL) continue;
                const ULONG next = NextJackState(&history);
                if (next == history.State) continue;
                history.State = next;
                EnterJackState(next);
            }
            KeCancelTimer(&m_JackPollTimer);
        }
    }
    if (poll != NULL) ExFreePoolWithTag(poll, m_PoolTag);
    KeSetEvent(&ThreadExitedEvent, IO_NO_INCREMENT, FALSE);
}
