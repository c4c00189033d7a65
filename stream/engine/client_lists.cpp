// The engine's client bookkeeping: registered, acquired and running client
// records (the last two by priority, highest first, a newcomer ahead of
// equals) and the client node lists the data path runs.
//
// Every operation takes m_SpinLock (raising to DISPATCH_LEVEL) and drops
// it before returning; callers run at PASSIVE_LEVEL under the stream's
// m_Lock. A node taken out of a list is released under the spin lock, so
// never while a block is being processed.
#include <cstring>

#include "stream/engine/cyclic_client.h"
#include "stream/engine/stream_engine.h"

namespace {

// Holds an engine spin lock for a scope.
class SpinLockScope {
public:
    explicit SpinLockScope(PKSPIN_LOCK lock) : m_Lock(lock) { KeAcquireSpinLock(m_Lock, &m_OldIrql); }
    ~SpinLockScope() { KeReleaseSpinLock(m_Lock, m_OldIrql); }
    SpinLockScope(const SpinLockScope&) = delete;
    SpinLockScope& operator=(const SpinLockScope&) = delete;

private:
    PKSPIN_LOCK m_Lock;
    KIRQL m_OldIrql;
};

PCYCLIC_CLIENT HeadOf(CList* list) {
    PVOID data = NULL;
    if (list == NULL || !list->GetHead(&data)) return NULL;
    return static_cast<PCYCLIC_CLIENT>(data);
}

}  // namespace

NTSTATUS CStreamEngine::InsertByPriority(CList* list, PCYCLIC_CLIENT client) {
    if (list == NULL || client == NULL) return STATUS_INVALID_PARAMETER;
    SpinLockScope guard(&m_SpinLock);
    POSITION pos = list->GetHeadPosition();
    while (pos != NULL && static_cast<PCYCLIC_CLIENT>(pos->pData)->Priority > client->Priority) pos = pos->pNext;
    POSITION added = pos ? list->InsertBefore(pos, client) : list->AddTail(client);
    return added ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

PCYCLIC_CLIENT CStreamEngine::FindByHandle(CList* list, PVOID handle, BOOLEAN remove) {
    if (list == NULL) return NULL;
    SpinLockScope guard(&m_SpinLock);
    for (POSITION pos = list->GetHeadPosition(); pos != NULL; pos = pos->pNext) {
        auto* client = static_cast<PCYCLIC_CLIENT>(pos->pData);
        if (client->Registration != handle) continue;
        if (remove) list->RemoveAt(pos);
        return client;
    }
    return NULL;
}

NTSTATUS CStreamEngine::AddRegisteredClient(PCYCLIC_CLIENT client) {
    if (m_pRegisteredClients == NULL || client == NULL) return STATUS_INVALID_PARAMETER;
    SpinLockScope guard(&m_SpinLock);
    return m_pRegisteredClients->AddTail(client) ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

PCYCLIC_CLIENT CStreamEngine::FindRegisteredClient(PVOID handle) {
    return FindByHandle(m_pRegisteredClients, handle, FALSE);
}
PCYCLIC_CLIENT CStreamEngine::RemoveRegisteredClient(PVOID handle) {
    return FindByHandle(m_pRegisteredClients, handle, TRUE);
}
NTSTATUS CStreamEngine::InsertAcquiredClient(PCYCLIC_CLIENT client) {
    return InsertByPriority(m_pAcquiredClients, client);
}
PCYCLIC_CLIENT CStreamEngine::FindAcquiredClient(PVOID handle) {
    return FindByHandle(m_pAcquiredClients, handle, FALSE);
}
PCYCLIC_CLIENT CStreamEngine::RemoveAcquiredClient(PVOID handle) {
    return FindByHandle(m_pAcquiredClients, handle, TRUE);
}
NTSTATUS CStreamEngine::InsertRunningClient(PCYCLIC_CLIENT client) {
    return InsertByPriority(m_pRunningClients, client);
}
PCYCLIC_CLIENT CStreamEngine::FindRunningClient(PVOID handle) {
    return FindByHandle(m_pRunningClients, handle, FALSE);
}
PCYCLIC_CLIENT CStreamEngine::RemoveRunningClient(PVOID handle) {
    return FindByHandle(m_pRunningClients, handle, TRUE);
}

PCYCLIC_CLIENT CStreamEngine::GetAcquiredHead() {
    SpinLockScope guard(&m_SpinLock);
    return HeadOf(m_pAcquiredClients);
}

PCYCLIC_CLIENT CStreamEngine::GetRunningHead() {
    SpinLockScope guard(&m_SpinLock);
    return HeadOf(m_pRunningClients);
}

// ---- client node lists ---------------------------------------------------------

NTSTATUS CStreamEngine::AddNodeTo(CList* list, IDspNode* node) {
    if (list == NULL || node == NULL) return STATUS_INVALID_PARAMETER;
    node->AddRef();
    POSITION added;
    {
        SpinLockScope guard(&m_SpinLock);
        added = list->AddTail(node);
    }
    if (added == NULL) {
        node->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CStreamEngine::RemoveNodeFrom(CList* list, IDspNode* node) {
    if (list == NULL) return STATUS_UNSUCCESSFUL;
    SpinLockScope guard(&m_SpinLock);
    for (POSITION pos = list->GetHeadPosition(); pos != NULL; pos = pos->pNext) {
        if (pos->pData != node) continue;
        list->RemoveAt(pos);
        node->Release();
        return STATUS_SUCCESS;
    }
    return STATUS_UNSUCCESSFUL;
}

VOID CStreamEngine::ReleaseNodesOf(CList* list) {
    if (list == NULL) return;
    SpinLockScope guard(&m_SpinLock);
    PVOID data = NULL;
    while (list->RemoveHead(&data)) static_cast<IDspNode*>(data)->Release();
}

NTSTATUS CStreamEngine::AddClientNode(IDspNode* node) { return AddNodeTo(m_pClientNodes, node); }
NTSTATUS CStreamEngine::AddClientPostNode(IDspNode* node) { return AddNodeTo(m_pClientPostNodes, node); }
NTSTATUS CStreamEngine::RemoveClientNode(IDspNode* node) { return RemoveNodeFrom(m_pClientNodes, node); }
NTSTATUS CStreamEngine::RemoveClientPostNode(IDspNode* node) { return RemoveNodeFrom(m_pClientPostNodes, node); }
VOID CStreamEngine::ReleaseClientNodes() { ReleaseNodesOf(m_pClientNodes); }
VOID CStreamEngine::ReleaseClientPostNodes() { ReleaseNodesOf(m_pClientPostNodes); }
