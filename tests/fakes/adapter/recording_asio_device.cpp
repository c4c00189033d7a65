// The adapter's ASIO operations as the adapter tests see them: each call
// goes to the ASIO recorder. Start and stop keep the few pieces of ASIO
// state the power path reads: a start makes the caller the owner and marks
// the streams running; a stop outside D0 keeps the IRP (marked pending)
// for the return to D0, as the real operation does; the internal stream
// operations are noted ("asio:start-streams", "asio:stop-streams",
// "asio:reset") and move the running flag.
#include "adapter/usb_audio_hal.h"
#include "nt/rtl.h"
#include "tests/fakes/adapter/asio_recorder.h"
#include "tests/fakes/adapter/fake_log.h"

using fakes::Asio;

NTSTATUS CUsbAudioHal::AsioOpen(PFILE_OBJECT f) {
    DeviceLock.Lock();
    NTSTATUS status = Asio().AsioOpen(f);
    // A client record, so that the adapter's destructor has one to free.
    if (NT_SUCCESS(status)) {
        auto* client = static_cast<PASIO_CLIENT>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ASIO_CLIENT), ADAPTER_USB_TAG));
        if (client == NULL) {
            status = STATUS_UNSUCCESSFUL;
        } else {
            RtlZeroMemory(client, sizeof(*client));
            client->FileObject = f;
            InsertHeadList(&m_Asio.m_AsioClients, &client->ListEntry);
        }
    }
    DeviceLock.Unlock();
    return status;
}

NTSTATUS CUsbAudioHal::AsioUnused(PFILE_OBJECT f) { return Asio().AsioUnused(f); }

NTSTATUS CUsbAudioHal::AsioClose(PFILE_OBJECT f) {
    DeviceLock.Lock();
    NTSTATUS status = Asio().AsioClose(f);
    for (PLIST_ENTRY e = m_Asio.m_AsioClients.Flink; e != &m_Asio.m_AsioClients; e = e->Flink) {
        auto* client = CONTAINING_RECORD(e, ASIO_CLIENT, ListEntry);
        if (client->FileObject != f) continue;
        if (m_Asio.m_pAsioOwner == client) m_Asio.m_pAsioOwner = NULL;
        RemoveEntryList(e);
        ExFreePoolWithTag(client, ADAPTER_USB_TAG);
        break;
    }
    DeviceLock.Unlock();
    return status;
}

NTSTATUS CUsbAudioHal::AsioGetDriverName(PFILE_OBJECT f, CHAR* o, ULONG* l) { return Asio().AsioGetDriverName(f, o, l); }
NTSTATUS CUsbAudioHal::AsioGetChannels(PFILE_OBJECT f, ULONG* o, ULONG l) { return Asio().AsioGetChannels(f, o, l); }
NTSTATUS CUsbAudioHal::AsioGetChannelInfo(PFILE_OBJECT f, ASIOChannelInfo* o, ULONG l) {
    return Asio().AsioGetChannelInfo(f, o, l);
}
NTSTATUS CUsbAudioHal::AsioSetNotifyEvent(PFILE_OBJECT f, const HANDLE* e) { return Asio().AsioSetNotifyEvent(f, e); }
NTSTATUS CUsbAudioHal::AsioClearNotifyEvent(PFILE_OBJECT f) { return Asio().AsioClearNotifyEvent(f); }
NTSTATUS CUsbAudioHal::AsioGetBuffersCreated(PFILE_OBJECT f, ULONG* o) { return Asio().AsioGetBuffersCreated(f, o); }
NTSTATUS CUsbAudioHal::AsioGetSampleTypes(PFILE_OBJECT f, ULONG* o, ULONG* l) {
    return Asio().AsioGetSampleTypes(f, o, l);
}
NTSTATUS CUsbAudioHal::AsioGetLatencyTable(PFILE_OBJECT f, ULONG* o, ULONG* l) {
    return Asio().AsioGetLatencyTable(f, o, l);
}
NTSTATUS CUsbAudioHal::AsioSetSampleType(PFILE_OBJECT f, ULONG t) { return Asio().AsioSetSampleType(f, t); }
NTSTATUS CUsbAudioHal::AsioSetLatency(PFILE_OBJECT f, ULONG i) { return Asio().AsioSetLatency(f, i); }
NTSTATUS CUsbAudioHal::AsioGetLatencies(PFILE_OBJECT f, ULONG* o) { return Asio().AsioGetLatencies(f, o); }
NTSTATUS CUsbAudioHal::AsioGetSampleRate(PFILE_OBJECT f, ULONG* o) { return Asio().AsioGetSampleRate(f, o); }
NTSTATUS CUsbAudioHal::AsioCanSampleRate(PFILE_OBJECT f, const ULONG* r) { return Asio().AsioCanSampleRate(f, r); }
NTSTATUS CUsbAudioHal::AsioSetSampleRate(PFILE_OBJECT f, const ULONG* r) { return Asio().AsioSetSampleRate(f, r); }
NTSTATUS CUsbAudioHal::AsioGetBufferSize(PFILE_OBJECT f, ULONG* o) { return Asio().AsioGetBufferSize(f, o); }
NTSTATUS CUsbAudioHal::AsioCreateBuffers(PFILE_OBJECT f, const VOID* r, PVOID o, ULONG* l) {
    return Asio().AsioCreateBuffers(f, r, o, l);
}
NTSTATUS CUsbAudioHal::AsioDisposeBuffers(PFILE_OBJECT f) { return Asio().AsioDisposeBuffers(f); }

NTSTATUS CUsbAudioHal::AsioStart(PFILE_OBJECT f, const HANDLE* e) {
    DeviceLock.Lock();
    NTSTATUS status = Asio().AsioStart(f, e);
    if (NT_SUCCESS(status)) {
        for (PLIST_ENTRY x = m_Asio.m_AsioClients.Flink; x != &m_Asio.m_AsioClients; x = x->Flink) {
            auto* client = CONTAINING_RECORD(x, ASIO_CLIENT, ListEntry);
            if (client->FileObject == f) m_Asio.m_pAsioOwner = client;
        }
        m_Asio.m_bAsioStreaming = TRUE;
    }
    DeviceLock.Unlock();
    return status;
}

NTSTATUS CUsbAudioHal::AsioStop(PFILE_OBJECT f, PIRP irp) {
    DeviceLock.Lock();
    NTSTATUS status;
    if (PowerState != PowerDeviceD0) {
        fakes::Note("asio:park");
        status = AsioParkStop(irp);
    } else {
        status = Asio().AsioStop(f, irp);
        m_Asio.m_bAsioStreaming = FALSE;
    }
    DeviceLock.Unlock();
    return status;
}

NTSTATUS CUsbAudioHal::AsioCanIoFormat(PFILE_OBJECT f, const ULONG* m) { return Asio().AsioCanIoFormat(f, m); }
NTSTATUS CUsbAudioHal::AsioSetIoFormat(PFILE_OBJECT f, const ULONG* m) { return Asio().AsioSetIoFormat(f, m); }
NTSTATUS CUsbAudioHal::AsioGetIoFormat(PFILE_OBJECT f, ULONG* o) { return Asio().AsioGetIoFormat(f, o); }

NTSTATUS CUsbAudioHal::AsioStartStreams() {
    fakes::Note("asio:start-streams");
    m_Asio.m_bAsioStreaming = TRUE;
    return STATUS_SUCCESS;
}

VOID CUsbAudioHal::AsioStopStreams() {
    fakes::Note("asio:stop-streams");
    m_Asio.m_bAsioStreaming = FALSE;
}

VOID CUsbAudioHal::AsioResetBufferState(PKEVENT) { fakes::Note("asio:reset"); }
