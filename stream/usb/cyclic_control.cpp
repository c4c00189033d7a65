// The clients of a USB stream: registration, acquisition (the acquired
// head decides the format), running (the running head owns the stream and
// is named by every message), the hand-back when the owner stops or
// releases, the messages themselves, and protected-content forwarding.
//
// Every client slot runs at PASSIVE_LEVEL and holds m_Lock for its whole
// run; Open, Close, Run and Stop take it again on the same thread.
#include <cstring>

#include "stream/usb/cyclic_control.h"

namespace {

void SetRunningFlag(PCYCLIC_CLIENT client, BOOLEAN running) {
    __atomic_store_n(&client->Running, running, __ATOMIC_RELEASE);
}

// Bytes of a caller's format that exist: a plain WAVEFORMATEX is 18 bytes
// and cbSize more, an extensible one 40.
size_t FormatBytes(const WAVEFORMATEXTENSIBLE* format) {
    size_t bytes = sizeof(WAVEFORMATEX) + format->Format.cbSize;
    return bytes < sizeof(WAVEFORMATEXTENSIBLE) ? bytes : sizeof(WAVEFORMATEXTENSIBLE);
}

}  // namespace

// ---- messages --------------------------------------------------------------------

VOID CCyclicControl::Publish(CYCLIC_CONTROL_MSG* message) {
    if (m_pCyclicCallback) ExNotifyCallback(m_pCyclicCallback, message, NULL);
}

VOID CCyclicControl::PublishFormat(PCYCLIC_CLIENT owner, BOOLEAN changed) {
    CYCLIC_CONTROL_MSG message = {};
    message.pClient = owner;
    message.Code = CYCLIC_MSG_FORMAT;
    if (owner) {
        message.FramesPerTransfer = owner->FramesPerTransfer | (changed ? CYCLIC_MSG_FORMAT_CHANGED : 0);
        message.Transfers = owner->Transfers;
    }
    Publish(&message);
}

VOID CCyclicControl::PublishBytesDone(ULONG bytes) {
    CYCLIC_CONTROL_MSG message = {};
    message.pClient = RunningClient();
    message.Code = CYCLIC_MSG_BYTES_DONE;
    message.Bytes = bytes;
    Publish(&message);
}

VOID CCyclicControl::PublishBuffer(ULONG code, PUCHAR buffer, ULONG length) {
    CYCLIC_CONTROL_MSG message = {};
    message.pClient = RunningClient();
    message.Code = code;
    message.Buffer = buffer;
    message.Length = length;
    Publish(&message);
}

// ---- registration ----------------------------------------------------------------

NTSTATUS CCyclicControl::RegisterClient(ULONG priority, WAVEFORMATEXTENSIBLE* format, ULONG framesPerTransfer,
                                        ULONG transfers, PCALLBACK_FUNCTION callback, PVOID context,
                                        PCYCLIC_CLIENT* client) {
    if (client == NULL) return STATUS_INVALID_PARAMETER;
    *client = NULL;
    // The stream has ten contexts, and the capture minimum divides by the
    // frames per transfer.
    if (format == NULL || callback == NULL || framesPerTransfer == 0 || transfers == 0 ||
        transfers > CYCLIC_TRANSFER_SLOTS)
        return STATUS_INVALID_PARAMETER;
    CMutexScope lock(m_Lock);
    NTSTATUS status = FindFormat(&format->Format);
    if (!NT_SUCCESS(status)) return status;
    auto* record = (PCYCLIC_CLIENT)ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CYCLIC_CLIENT), CYCLIC_CLIENT_TAG);
    if (record == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    memset(record, 0, sizeof(*record));
    record->Priority = priority;
    record->FramesPerTransfer = framesPerTransfer;
    record->Transfers = transfers;
    memcpy(&record->Format, format, FormatBytes(format));
    record->IsCapture = m_bCapture;
    record->Registration = m_pCyclicCallback ? ExRegisterCallback(m_pCyclicCallback, callback, context) : NULL;
    if (record->Registration == NULL) {
        ExFreePoolWithTag(record, CYCLIC_CLIENT_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = AddRegisteredClient(record);
    if (!NT_SUCCESS(status)) {
        ExUnregisterCallback(record->Registration);
        ExFreePoolWithTag(record, CYCLIC_CLIENT_TAG);
        return status;
    }
    *client = record;
    return STATUS_SUCCESS;
}

NTSTATUS CCyclicControl::UnregisterClient(PVOID handle) {
    CMutexScope lock(m_Lock);
    PCYCLIC_CLIENT record = RemoveRegisteredClient(handle);
    if (record == NULL) return STATUS_UNSUCCESSFUL;
    // Waits for a running callback: no message reaches the client after.
    ExUnregisterCallback(record->Registration);
    ExFreePoolWithTag(record, CYCLIC_CLIENT_TAG);
    return STATUS_SUCCESS;
}

// ---- acquire and release: the format owner -------------------------------------

NTSTATUS CCyclicControl::ClientAcquire(PVOID handle, PULONG framesPerTransfer, PULONG frameNumber) {
    ULONG frame = 0;
    CMutexScope lock(m_Lock);
    PCYCLIC_CLIENT client = FindRegisteredClient(handle);
    if (client == NULL) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = InsertAcquiredClient(client);
    if (!NT_SUCCESS(status)) return status;
    PCYCLIC_CLIENT head = GetAcquiredHead();
    if (head != m_pAcquiredClient) {
        if (m_pAcquiredClient) {
            if (StreamState() == STREAM_STATE_RUNNING) Stop();
            Close();
        }
        status = Open(head, &frame);
        if (!NT_SUCCESS(status)) {
            RemoveAcquiredClient(head->Registration);
            return status;
        }
        m_pAcquiredClient = head;
        m_CurrentWaveFormat = head->Format;
    }
    if (framesPerTransfer) *framesPerTransfer = m_pAcquiredClient->FramesPerTransfer;
    if (frameNumber) *frameNumber = frame;
    RemoveRegisteredClient(handle);
    return STATUS_SUCCESS;
}

NTSTATUS CCyclicControl::ClientRelease(PVOID handle) {
    CMutexScope lock(m_Lock);
    PCYCLIC_CLIENT client = RemoveAcquiredClient(handle);
    if (client == NULL) return STATUS_INVALID_PARAMETER;
    NTSTATUS result = STATUS_SUCCESS;
    PCYCLIC_CLIENT head = GetAcquiredHead();
    if (head == NULL) {
        Close();
        m_pAcquiredClient = NULL;
    } else if (head != m_pAcquiredClient && StreamState() == STREAM_STATE_OPENED) {
        Close();
        m_pAcquiredClient = head;
        ULONG frame = 0;
        result = Open(head, &frame);
        if (NT_SUCCESS(result))
            m_CurrentWaveFormat = head->Format;
        else
            Close();
    } else {
        m_pAcquiredClient = head;
    }
    if (!NT_SUCCESS(AddRegisteredClient(client))) {
        ExUnregisterCallback(client->Registration);
        ExFreePoolWithTag(client, CYCLIC_CLIENT_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return result;
}

// ---- run and stop: the stream owner ---------------------------------------------

NTSTATUS CCyclicControl::ClientRun(PVOID handle, ULONG startFrame, PULONG framesPerTransfer, IDspNode* node) {
    CMutexScope lock(m_Lock);
    if (StreamState() == STREAM_STATE_CLOSED) return STATUS_INVALID_PARAMETER;
    PCYCLIC_CLIENT client = FindAcquiredClient(handle);
    if (client == NULL) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = InsertRunningClient(client);
    if (!NT_SUCCESS(status)) return status;
    PCYCLIC_CLIENT head = GetRunningHead();
    PCYCLIC_CLIENT previous = RunningClient();
    if (head != previous) {
        SetRunningClient(head);
        m_CurrentWaveFormat = head->Format;
        PublishFormat(head, TRUE);
        SetRunningFlag(client, TRUE);
        status = Run(startFrame, TRUE);
        if (!NT_SUCCESS(status)) {
            Close();
            RemoveRunningClient(head->Registration);
            SetRunningFlag(client, FALSE);
            SetRunningClient(previous);
            if (previous) {
                m_CurrentWaveFormat = previous->Format;
                PublishFormat(previous, FALSE);
            }
            return status;
        }
    } else {
        PublishFormat(previous, FALSE);
        SetRunningFlag(client, TRUE);
    }
    if (node) {
        ULONG priority = client->Priority;
        if (priority == 1) status = m_bCapture ? AddClientNode(node) : AddClientPostNode(node);
        if (priority == 2) status = m_bCapture ? AddClientPostNode(node) : AddClientNode(node);
        if (!NT_SUCCESS(status)) return status;
    }
    if (framesPerTransfer) *framesPerTransfer = RunningClient()->FramesPerTransfer;
    return STATUS_SUCCESS;
}

NTSTATUS CCyclicControl::ClientStop(PVOID handle, IDspNode* node) {
    CMutexScope lock(m_Lock);
    PCYCLIC_CLIENT client = FindRunningClient(handle);
    if (client == NULL) return STATUS_INVALID_PARAMETER;
    // The node is checked and detached before the client leaves the
    // running list, so a refusal changes nothing.
    if (node) {
        if (client->Priority != 1 && client->Priority != 2) return STATUS_INVALID_PARAMETER;
        bool clientList = (client->Priority == 1) == (m_bCapture != 0);
        NTSTATUS status = clientList ? RemoveClientNode(node) : RemoveClientPostNode(node);
        if (!NT_SUCCESS(status)) return status;
    }
    RemoveRunningClient(handle);
    PCYCLIC_CLIENT head = GetRunningHead();
    if (head == NULL) {
        Stop();
        SetRunningFlag(client, FALSE);
        SetRunningClient(NULL);
    } else if (head == RunningClient()) {
        SetRunningFlag(client, FALSE);
    } else {
        // The owner stopped while a client of lower priority still runs:
        // hand the stream back in that client's format.
        Stop();
        SetRunningFlag(client, FALSE);
        Close();
        SetRunningClient(head);
        ULONG frame = 0;
        NTSTATUS status = Open(head, &frame);
        if (!NT_SUCCESS(status)) {
            Close();
            return status;
        }
        m_CurrentWaveFormat = head->Format;
        PublishFormat(head, TRUE);
        if (!NT_SUCCESS(Run(frame + 5, TRUE))) Close();
    }
    return STATUS_SUCCESS;
}

// ---- protected content -------------------------------------------------------------

NTSTATUS CCyclicControl::SetContentId(ULONG contentId, PCDRMRIGHTS) {
    IUsbAudioDevice* device = AcquireUsbDevice();
    if (device == NULL) return STATUS_UNSUCCESSFUL;
    DRMFORWARD forward = {};
    forward.Flags = 0;
    forward.DeviceObject = device->GetLowerDeviceObject();
    device->Release();
    CMutexScope lock(m_Lock);
    USBD_PIPE_HANDLE pipe = m_pInterfaceInfo ? DataPipeHandle() : NULL;
    forward.FileObject = (PFILE_OBJECT)pipe;
    forward.Context = pipe;
    return PcForwardContentToDeviceObject(contentId, NULL, &forward);
}
