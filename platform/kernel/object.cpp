// Object manager stand-in: a header before every object body carries its
// type and reference count; names live in one case-insensitive namespace;
// handles are indexes into one table, each holding a reference.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <new>
#include <vector>

#include "nt/pool.h"
#include "nt/ps.h"
#include "sim/object.h"

namespace {

constexpr uint64_t kObjectMagic = 0x5443454a424f4b53ull;  // "SKOBJECT"

struct alignas(16) ObjectHeader {
    uint64_t magic;
    const _OBJECT_TYPE* type;
    std::atomic<LONG> refs;
    bool permanent;
    bool named;
    std::u16string* name;
};

struct Namespace {
    std::recursive_mutex lock;
    std::map<std::u16string, ObjectHeader*> names;
    std::vector<ObjectHeader*> handles;  // index + 1 is the handle value
    std::vector<PEPROCESS> owners;       // per handle: its user process, NULL for a kernel handle
    std::vector<size_t> freeSlots;
    std::map<const _OBJECT_TYPE*, size_t> live;
};

Namespace& Ns() {
    static Namespace* ns = new Namespace;
    return *ns;
}

ObjectHeader* HeaderOf(PVOID body) {
    auto* h = reinterpret_cast<ObjectHeader*>(static_cast<char*>(body) - sizeof(ObjectHeader));
    if (h->magic != kObjectMagic) {
        std::fprintf(stderr, "OBJECT BUGCHECK: %p is not a kernel object\n", body);
        std::abort();
    }
    return h;
}

PVOID BodyOf(ObjectHeader* h) { return h + 1; }

std::u16string Fold(const std::u16string& s) {
    std::u16string out = s;
    for (auto& c : out)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    return out;
}

void Destroy(ObjectHeader* h) {
    if (h->type && h->type->Delete) h->type->Delete(BodyOf(h));
    {
        Namespace& ns = Ns();
        std::lock_guard<std::recursive_mutex> guard(ns.lock);
        if (h->named) ns.names.erase(*h->name);
        --ns.live[h->type];
    }
    delete h->name;
    h->magic = 0;
    ExFreePool(h);
}

}  // namespace

namespace sim {

PVOID ObCreateObject(const ObjectType* type, SIZE_T bodySize, ULONG poolTag) {
    auto* h = static_cast<ObjectHeader*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ObjectHeader) + bodySize, poolTag));
    if (!h) return NULL;
    new (h) ObjectHeader{kObjectMagic, type, {1}, false, false, nullptr};
    __builtin_memset(BodyOf(h), 0, bodySize);
    Namespace& ns = Ns();
    std::lock_guard<std::recursive_mutex> guard(ns.lock);
    ++ns.live[type];
    return BodyOf(h);
}

NTSTATUS ObInsertNamed(PVOID body, const std::u16string& name, bool permanent) {
    ObjectHeader* h = HeaderOf(body);
    Namespace& ns = Ns();
    std::lock_guard<std::recursive_mutex> guard(ns.lock);
    std::u16string key = Fold(name);
    if (ns.names.count(key)) return STATUS_OBJECT_NAME_COLLISION;
    ns.names[key] = h;
    h->named = true;
    h->name = new std::u16string(key);
    if (permanent) {
        h->permanent = true;
        h->refs.fetch_add(1);
    }
    return STATUS_SUCCESS;
}

PVOID ObLookupNamed(const std::u16string& name, const ObjectType* type) {
    Namespace& ns = Ns();
    std::lock_guard<std::recursive_mutex> guard(ns.lock);
    auto it = ns.names.find(Fold(name));
    if (it == ns.names.end()) return NULL;
    ObjectHeader* h = it->second;
    if (type && h->type != type) return NULL;
    // A dying object (count already 0) is no longer reachable by name.
    LONG refs = h->refs.load();
    do {
        if (refs == 0) return NULL;
    } while (!h->refs.compare_exchange_weak(refs, refs + 1));
    return BodyOf(h);
}

void ObMakeTemporary(PVOID body) {
    ObjectHeader* h = HeaderOf(body);
    bool drop = false;
    {
        Namespace& ns = Ns();
        std::lock_guard<std::recursive_mutex> guard(ns.lock);
        if (h->permanent) {
            h->permanent = false;
            drop = true;
        }
    }
    if (drop) ObDereferenceObject(body);
}

bool ObIsPermanent(PVOID body) { return HeaderOf(body)->permanent; }

size_t ObPermanentCount() {
    Namespace& ns = Ns();
    std::lock_guard<std::recursive_mutex> guard(ns.lock);
    size_t n = 0;
    for (auto& [name, h] : ns.names) n += h->permanent ? 1 : 0;
    return n;
}

std::string ObPermanentReport() {
    Namespace& ns = Ns();
    std::lock_guard<std::recursive_mutex> guard(ns.lock);
    std::string out;
    for (auto& [name, h] : ns.names) {
        if (!h->permanent) continue;
        out += "permanent ";
        out += h->type ? h->type->name : "object";
        out += " \"";
        for (char16_t c : name) out += c < 0x80 ? static_cast<char>(c) : '?';
        out += "\"\n";
    }
    return out;
}

void ObResetNamespace() {
    std::vector<PVOID> permanent;
    {
        Namespace& ns = Ns();
        std::lock_guard<std::recursive_mutex> guard(ns.lock);
        for (auto& [name, h] : ns.names)
            if (h->permanent) permanent.push_back(BodyOf(h));
    }
    for (PVOID body : permanent) ObMakeTemporary(body);
}

const ObjectType* ObGetType(PVOID body) { return HeaderOf(body)->type; }
LONG ObGetRefCount(PVOID body) { return HeaderOf(body)->refs.load(); }

size_t ObLiveCount(const ObjectType* type) {
    Namespace& ns = Ns();
    std::lock_guard<std::recursive_mutex> guard(ns.lock);
    if (type) return ns.live[type];
    size_t n = 0;
    for (auto& [t, c] : ns.live) n += c;
    return n;
}

HANDLE ObCreateHandle(PVOID body, PEPROCESS owner) {
    ObjectHeader* h = HeaderOf(body);
    h->refs.fetch_add(1);
    Namespace& ns = Ns();
    std::lock_guard<std::recursive_mutex> guard(ns.lock);
    size_t slot;
    if (!ns.freeSlots.empty()) {
        slot = ns.freeSlots.back();
        ns.freeSlots.pop_back();
        ns.handles[slot] = h;
        ns.owners[slot] = owner;
    } else {
        slot = ns.handles.size();
        ns.handles.push_back(h);
        ns.owners.push_back(owner);
    }
    // Handle values are multiples of 4, as on the platform.
    return reinterpret_cast<HANDLE>((slot + 1) * 4);
}

PVOID ObLookupHandle(HANDLE handle, const ObjectType* type) {
    uintptr_t v = reinterpret_cast<uintptr_t>(handle);
    if (v == 0 || v % 4 != 0) return NULL;
    size_t slot = v / 4 - 1;
    Namespace& ns = Ns();
    std::lock_guard<std::recursive_mutex> guard(ns.lock);
    if (slot >= ns.handles.size() || ns.handles[slot] == nullptr) return NULL;
    ObjectHeader* h = ns.handles[slot];
    if (type && h->type != type) return NULL;
    return BodyOf(h);
}

size_t ObOpenHandleCount() {
    Namespace& ns = Ns();
    std::lock_guard<std::recursive_mutex> guard(ns.lock);
    size_t n = 0;
    for (ObjectHeader* h : ns.handles) n += h ? 1 : 0;
    return n;
}

}  // namespace sim

namespace {

// The open handle's slot as the current process sees it: a user handle
// resolves only in its own process. SIZE_MAX when there is none.
size_t SlotHere(Namespace& ns, HANDLE handle) {
    uintptr_t v = reinterpret_cast<uintptr_t>(handle);
    if (v == 0 || v % 4 != 0) return SIZE_MAX;
    size_t slot = v / 4 - 1;
    if (slot >= ns.handles.size() || ns.handles[slot] == nullptr) return SIZE_MAX;
    if (ns.owners[slot] != NULL && ns.owners[slot] != PsGetCurrentProcess()) return SIZE_MAX;
    return slot;
}

}  // namespace

VOID ObReferenceObject(PVOID Object) { HeaderOf(Object)->refs.fetch_add(1); }

VOID ObDereferenceObject(PVOID Object) {
    ObjectHeader* h = HeaderOf(Object);
    LONG left = h->refs.fetch_sub(1) - 1;
    if (left < 0) {
        std::fprintf(stderr, "OBJECT BUGCHECK: reference count of %p below zero\n", Object);
        std::abort();
    }
    if (left == 0) Destroy(h);
}

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess, POBJECT_TYPE ObjectType,
                                   KPROCESSOR_MODE AccessMode, PVOID* Object,
                                   POBJECT_HANDLE_INFORMATION HandleInformation) {
    UNREFERENCED_PARAMETER(DesiredAccess);
    UNREFERENCED_PARAMETER(AccessMode);
    Namespace& ns = Ns();
    std::lock_guard<std::recursive_mutex> guard(ns.lock);
    const size_t slot = SlotHere(ns, Handle);
    if (slot == SIZE_MAX) return STATUS_INVALID_HANDLE;
    PVOID body = BodyOf(ns.handles[slot]);
    if (ObjectType && HeaderOf(body)->type != ObjectType) return STATUS_OBJECT_TYPE_MISMATCH;
    ObReferenceObject(body);
    *Object = body;
    if (HandleInformation) {
        HandleInformation->HandleAttributes = 0;
        HandleInformation->GrantedAccess = DesiredAccess;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ObMakeTemporaryObject(PVOID Object) {
    sim::ObMakeTemporary(Object);
    return STATUS_SUCCESS;
}

NTSTATUS ZwClose(HANDLE Handle) {
    ObjectHeader* h;
    {
        Namespace& ns = Ns();
        std::lock_guard<std::recursive_mutex> guard(ns.lock);
        const size_t slot = SlotHere(ns, Handle);
        if (slot == SIZE_MAX) return STATUS_INVALID_HANDLE;
        h = ns.handles[slot];
        ns.handles[slot] = nullptr;
        ns.owners[slot] = NULL;
        ns.freeSlots.push_back(slot);
    }
    ObDereferenceObject(BodyOf(h));
    return STATUS_SUCCESS;
}
