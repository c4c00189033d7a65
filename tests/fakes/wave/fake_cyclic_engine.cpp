#include "tests/fakes/wave/fake_cyclic_engine.h"

#include <cstring>

namespace wavefakes {

namespace {
constexpr ULONG kTag = MakePoolTag("FCyc");
}

FakeCyclicEngine* FakeCyclicEngine::Create(bool capture, const std::vector<WAVEFORMATEXTENSIBLE>& formats) {
    auto* engine = new (NonPagedPoolNx, kTag) FakeCyclicEngine(capture);
    engine->AddRef();
    for (const auto& f : formats) engine->AddFormat(&f);
    return engine;
}

FakeCyclicEngine::FakeCyclicEngine(bool capture) : CStreamEngine(NULL, 1) { Init(capture ? 1 : 0); }

FakeCyclicEngine::~FakeCyclicEngine() {
    if (m_Client) {
        UnregisterCallback(m_Client->Registration);
        ExFreePoolWithTag(m_Client, kTag);
    }
    for (PCYCLIC_CLIENT c : m_Foreign) ExFreePoolWithTag(c, kTag);
}

NTSTATUS FakeCyclicEngine::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    if (iid == IID_ICyclicControl) return ReturnInterface(static_cast<ICyclicControl*>(this), out);
    if (iid == IID_IDrmContentForward) return ReturnInterface(static_cast<IDrmContentForward*>(this), out);
    return CStreamEngine::NonDelegatingQueryInterface(iid, out);
}

void FakeCyclicEngine::Note(const std::string& call) {
    std::lock_guard<std::mutex> guard(m_LogLock);
    m_Calls.push_back(call);
}

std::vector<std::string> FakeCyclicEngine::Calls() {
    std::lock_guard<std::mutex> guard(m_LogLock);
    return m_Calls;
}

void FakeCyclicEngine::ClearCalls() {
    std::lock_guard<std::mutex> guard(m_LogLock);
    m_Calls.clear();
}

void FakeCyclicEngine::Fail(const std::string& slot, NTSTATUS status) {
    std::lock_guard<std::mutex> guard(m_LogLock);
    m_Failures.emplace_back(slot, status);
}

NTSTATUS FakeCyclicEngine::Scripted(const std::string& slot) {
    std::lock_guard<std::mutex> guard(m_LogLock);
    for (const auto& [name, status] : m_Failures)
        if (name == slot) return status;
    return STATUS_SUCCESS;
}

NTSTATUS FakeCyclicEngine::SetTopology(PUNKNOWN port, PUNKNOWN miniport) {
    return InstallsNothing ? STATUS_SUCCESS : CStreamEngine::SetTopology(port, miniport);
}
NTSTATUS FakeCyclicEngine::InstallMiniport(PDEVICE_OBJECT fdo, PIRP irp, PUNKNOWN adapter) {
    return InstallsNothing ? STATUS_SUCCESS : CStreamEngine::InstallMiniport(fdo, irp, adapter);
}
NTSTATUS FakeCyclicEngine::RemoveMiniport(PDEVICE_OBJECT fdo) {
    return InstallsNothing ? STATUS_SUCCESS : CStreamEngine::RemoveMiniport(fdo);
}

size_t FakeCyclicEngine::RegisteredClients() { return m_Client ? 1 : 0; }
PCYCLIC_CLIENT FakeCyclicEngine::Registered() { return m_Client; }

NTSTATUS FakeCyclicEngine::RegisterClient(ULONG priority, WAVEFORMATEXTENSIBLE* format, ULONG framesPerTransfer,
                                          ULONG transfers, PCALLBACK_FUNCTION callback, PVOID context,
                                          PCYCLIC_CLIENT* client) {
    Note("register");
    *client = NULL;
    NTSTATUS status = Scripted("register");
    if (!NT_SUCCESS(status)) return status;
    status = FindFormat(&format->Format);
    if (!NT_SUCCESS(status)) return status;
    if (m_Client) return STATUS_DEVICE_BUSY;  // one client is all the tests need
    auto* record = static_cast<PCYCLIC_CLIENT>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CYCLIC_CLIENT), kTag));
    memset(record, 0, sizeof(*record));
    record->Priority = priority;
    record->FramesPerTransfer = framesPerTransfer;
    record->Transfers = transfers;
    memcpy(&record->Format, format, sizeof(record->Format));
    record->IsCapture = IsCapture();
    status = RegisterCallback(callback, context, &record->Registration);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(record, kTag);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    m_Client = record;
    *client = record;
    return STATUS_SUCCESS;
}

NTSTATUS FakeCyclicEngine::UnregisterClient(PVOID handle) {
    Note("unregister");
    if (NTSTATUS status = Scripted("unregister"); !NT_SUCCESS(status)) return status;
    if (m_Client == NULL || m_Client->Registration != handle) return STATUS_UNSUCCESSFUL;
    UnregisterCallback(handle);
    ExFreePoolWithTag(m_Client, kTag);
    m_Client = NULL;
    return STATUS_SUCCESS;
}

NTSTATUS FakeCyclicEngine::ClientAcquire(PVOID, PULONG framesPerTransfer, PULONG frameNumber) {
    Note("acquire");
    if (!NT_SUCCESS(AcquireStatus)) return AcquireStatus;
    if (NTSTATUS status = Scripted("acquire"); !NT_SUCCESS(status)) return status;
    *framesPerTransfer = m_Client->FramesPerTransfer;
    *frameNumber = 100;
    return STATUS_SUCCESS;
}

NTSTATUS FakeCyclicEngine::ClientRun(PVOID, ULONG startFrame, PULONG framesPerTransfer, IDspNode*) {
    Note("run:" + std::to_string(startFrame));
    if (!NT_SUCCESS(RunStatus)) return RunStatus;
    if (NTSTATUS status = Scripted("run"); !NT_SUCCESS(status)) return status;
    __atomic_store_n(&m_Client->Running, TRUE, __ATOMIC_RELEASE);
    SendFormat(m_Client, m_Client->FramesPerTransfer, m_Client->Transfers, true);
    *framesPerTransfer = m_Client->FramesPerTransfer;
    return STATUS_SUCCESS;
}

NTSTATUS FakeCyclicEngine::ClientStop(PVOID, IDspNode*) {
    Note("stop");
    if (NTSTATUS status = Scripted("stop"); !NT_SUCCESS(status)) return status;
    if (m_Client == NULL) return STATUS_UNSUCCESSFUL;
    __atomic_store_n(&m_Client->Running, FALSE, __ATOMIC_RELEASE);
    return STATUS_SUCCESS;
}

NTSTATUS FakeCyclicEngine::ClientRelease(PVOID) {
    Note("release");
    return Scripted("release");
}

NTSTATUS FakeCyclicEngine::SetContentId(ULONG contentId, PCDRMRIGHTS) {
    Note("content:" + std::to_string(contentId));
    return STATUS_SUCCESS;
}

void FakeCyclicEngine::Publish(CYCLIC_CONTROL_MSG* message, bool raise) {
    KIRQL irql = PASSIVE_LEVEL;
    if (raise) KeRaiseIrql(DISPATCH_LEVEL, &irql);
    ExNotifyCallback(m_pCallbackObject, message, NULL);
    if (raise) KeLowerIrql(irql);
}

void FakeCyclicEngine::SendBytesDone(ULONG bytes, PCYCLIC_CLIENT owner) {
    CYCLIC_CONTROL_MSG m = {};
    m.pClient = owner ? owner : m_Client;
    m.Code = CYCLIC_MSG_BYTES_DONE;
    m.Bytes = bytes;
    Publish(&m, true);
}

void FakeCyclicEngine::SendFill(PUCHAR buffer, ULONG length, PCYCLIC_CLIENT owner) {
    CYCLIC_CONTROL_MSG m = {};
    m.pClient = owner ? owner : m_Client;
    m.Code = CYCLIC_MSG_RENDER_FILL;
    m.Buffer = buffer;
    m.Length = length;
    Publish(&m, true);
}

void FakeCyclicEngine::SendCapture(PUCHAR buffer, ULONG length, PCYCLIC_CLIENT owner) {
    CYCLIC_CONTROL_MSG m = {};
    m.pClient = owner ? owner : m_Client;
    m.Code = CYCLIC_MSG_CAPTURE_DATA;
    m.Buffer = buffer;
    m.Length = length;
    Publish(&m, true);
}

void FakeCyclicEngine::SendFormat(PCYCLIC_CLIENT owner, ULONG framesPerTransfer, ULONG transfers, bool changed) {
    CYCLIC_CONTROL_MSG m = {};
    m.pClient = owner;
    m.Code = CYCLIC_MSG_FORMAT;
    m.FramesPerTransfer = framesPerTransfer | (changed ? CYCLIC_MSG_FORMAT_CHANGED : 0);
    m.Transfers = transfers;
    Publish(&m, false);
}

PCYCLIC_CLIENT FakeCyclicEngine::ForeignClient(const WAVEFORMATEXTENSIBLE& format, ULONG framesPerTransfer,
                                               ULONG transfers) {
    auto* record = static_cast<PCYCLIC_CLIENT>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CYCLIC_CLIENT), kTag));
    memset(record, 0, sizeof(*record));
    record->Priority = CYCLIC_CLIENT_ASIO;
    record->Registration = record;  // any handle other than the wave client's
    record->FramesPerTransfer = framesPerTransfer;
    record->Transfers = transfers;
    record->Format = format;
    record->Running = TRUE;
    m_Foreign.push_back(record);
    return record;
}

}  // namespace wavefakes
