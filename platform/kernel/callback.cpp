// Named callback objects. The object lives in the object manager's
// case-insensitive namespace under "\Callback\"; registrations are pool
// blocks linked to it, each holding a reference on it. Notification walks
// the registrations under a list lock but calls every function with the
// lock dropped (a Busy count keeps the registration linked meanwhile), so a
// callback may notify, register or take locks of its own.
#include <mutex>
#include <string>

#include "executor_internal.h"
#include "sim/object.h"

struct _CALLBACK_OBJECT {
    ULONG Signature;
    BOOLEAN AllowMultipleCallbacks;
    LIST_ENTRY Registrations;
};

namespace {

using namespace sim::detail;

constexpr ULONG kObjectSignature = 0x6f426c43;        // "ClBo"
constexpr ULONG kRegistrationSignature = 0x67526c43;  // "ClRg"
constexpr ULONG kObjectTag = MakePoolTag("Cbob");
constexpr ULONG kRegistrationTag = MakePoolTag("Cbrg");

struct Registration {
    ULONG Signature;
    LIST_ENTRY Link;
    PCALLBACK_OBJECT Object;
    PCALLBACK_FUNCTION Function;
    PVOID Context;
    LONG Busy;  // notifications running this function
    BOOLEAN Unregistering;
    KEVENT Idle;  // signalled when Busy drops to 0 during unregistration
};

void DeleteCallbackObject(PVOID body) {
    auto* object = static_cast<PCALLBACK_OBJECT>(body);
    if (!ListEmpty(&object->Registrations)) RuleViolation("callback object deleted with registrations");
    object->Signature = 0;
}

_OBJECT_TYPE g_callbackType{"Callback", DeleteCallbackObject};
POBJECT_TYPE g_callbackTypePointer = &g_callbackType;

std::mutex& ListLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

PCALLBACK_OBJECT CheckObject(PVOID object, const char* api) {
    if (object == nullptr) RuleViolation(std::string(api) + ": NULL callback object");
    if (sim::ObGetType(object) != &g_callbackType) RuleViolation(std::string(api) + ": not a callback object");
    auto* callback = static_cast<PCALLBACK_OBJECT>(object);
    if (callback->Signature != kObjectSignature) RuleViolation(std::string(api) + ": callback object is being deleted");
    return callback;
}

bool EqualFolded(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i], y = b[i];
        if (x >= u'a' && x <= u'z') x = static_cast<char16_t>(x - 32);
        if (y >= u'a' && y <= u'z') y = static_cast<char16_t>(y - 32);
        if (x != y) return false;
    }
    return true;
}

// Accepts "\Callback\<leaf>" with a non-empty leaf without further "\".
NTSTATUS ParseName(PCUNICODE_STRING name, std::u16string* out) {
    if (name->Length == 0 || name->Length % 2 != 0 || name->Length > name->MaximumLength || name->Buffer == nullptr)
        return STATUS_OBJECT_NAME_INVALID;
    std::u16string s(name->Buffer, name->Length / 2);
    static const std::u16string kDirectory = u"\\Callback\\";
    if (s[0] != u'\\') return STATUS_OBJECT_NAME_INVALID;
    if (s.size() < kDirectory.size() || !EqualFolded(s.substr(0, kDirectory.size()), kDirectory))
        return STATUS_OBJECT_PATH_NOT_FOUND;
    std::u16string leaf = s.substr(kDirectory.size());
    if (leaf.empty()) return STATUS_OBJECT_NAME_INVALID;
    if (leaf.find(u'\\') != std::u16string::npos) return STATUS_OBJECT_PATH_NOT_FOUND;
    *out = s;
    return STATUS_SUCCESS;
}

PCALLBACK_OBJECT NewObject(BOOLEAN allowMultiple) {
    auto* object = static_cast<PCALLBACK_OBJECT>(sim::ObCreateObject(&g_callbackType, sizeof(_CALLBACK_OBJECT), kObjectTag));
    if (object == nullptr) return nullptr;
    object->Signature = kObjectSignature;
    object->AllowMultipleCallbacks = allowMultiple ? TRUE : FALSE;
    ListInit(&object->Registrations);
    return object;
}

}  // namespace

POBJECT_TYPE* ExCallbackObjectType = &g_callbackTypePointer;

NTSTATUS ExCreateCallback(PCALLBACK_OBJECT* CallbackObject, POBJECT_ATTRIBUTES ObjectAttributes, BOOLEAN Create,
                          BOOLEAN AllowMultipleCallbacks) {
    CheckIrqlAtMost(PASSIVE_LEVEL, "ExCreateCallback");
    if (CallbackObject == nullptr || ObjectAttributes == nullptr || ObjectAttributes->RootDirectory != nullptr)
        return STATUS_INVALID_PARAMETER;
    if (ObjectAttributes->ObjectName == nullptr) {
        if (!Create) return STATUS_INVALID_PARAMETER;
        PCALLBACK_OBJECT object = NewObject(AllowMultipleCallbacks);
        if (object == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        *CallbackObject = object;
        return STATUS_SUCCESS;
    }
    std::u16string name;
    NTSTATUS status = ParseName(ObjectAttributes->ObjectName, &name);
    if (!NT_SUCCESS(status)) return status;
    bool permanent = (ObjectAttributes->Attributes & OBJ_PERMANENT) != 0;
    // Two rounds: a creator that loses a race to insert the name opens the winner's object.
    for (int round = 0; round < 2; ++round) {
        if (PVOID existing = sim::ObLookupNamed(name, &g_callbackType)) {
            *CallbackObject = static_cast<PCALLBACK_OBJECT>(existing);
            return STATUS_SUCCESS;
        }
        if (!Create) return STATUS_OBJECT_NAME_NOT_FOUND;
        PCALLBACK_OBJECT object = NewObject(AllowMultipleCallbacks);
        if (object == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        status = sim::ObInsertNamed(object, name, permanent);
        if (NT_SUCCESS(status)) {
            *CallbackObject = object;
            return STATUS_SUCCESS;
        }
        ObDereferenceObject(object);
        if (status != STATUS_OBJECT_NAME_COLLISION) return status;
    }
    return STATUS_OBJECT_NAME_COLLISION;
}

PVOID ExRegisterCallback(PCALLBACK_OBJECT CallbackObject, PCALLBACK_FUNCTION CallbackFunction, PVOID CallbackContext) {
    CheckIrqlAtMost(APC_LEVEL, "ExRegisterCallback");
    PCALLBACK_OBJECT object = CheckObject(CallbackObject, "ExRegisterCallback");
    if (CallbackFunction == nullptr) return nullptr;
    auto* reg = static_cast<Registration*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Registration), kRegistrationTag));
    if (reg == nullptr) return nullptr;
    reg->Signature = kRegistrationSignature;
    reg->Object = object;
    reg->Function = CallbackFunction;
    reg->Context = CallbackContext;
    reg->Busy = 0;
    reg->Unregistering = FALSE;
    KeInitializeEvent(&reg->Idle, NotificationEvent, TRUE);
    {
        std::lock_guard<std::mutex> guard(ListLock());
        if (object->AllowMultipleCallbacks || ListEmpty(&object->Registrations)) {
            ListInsertTail(&object->Registrations, &reg->Link);
            ObReferenceObject(object);
            return reg;
        }
    }
    reg->Signature = 0;
    ExFreePoolWithTag(reg, kRegistrationTag);
    return nullptr;
}

VOID ExUnregisterCallback(PVOID CallbackRegistration) {
    CheckIrqlAtMost(APC_LEVEL, "ExUnregisterCallback");
    auto* reg = static_cast<Registration*>(CallbackRegistration);
    if (reg == nullptr || reg->Signature != kRegistrationSignature)
        RuleViolation("ExUnregisterCallback: not a live callback registration");
    bool busy;
    {
        std::lock_guard<std::mutex> guard(ListLock());
        if (reg->Unregistering) RuleViolation("ExUnregisterCallback: the registration is already being removed");
        reg->Unregistering = TRUE;
        busy = reg->Busy > 0;
        if (busy) KeClearEvent(&reg->Idle);
    }
    if (busy) KeWaitForSingleObject(&reg->Idle, Executive, KernelMode, FALSE, nullptr);
    {
        std::lock_guard<std::mutex> guard(ListLock());
        ListRemove(&reg->Link);
    }
    PCALLBACK_OBJECT object = reg->Object;
    reg->Signature = 0;
    ExFreePoolWithTag(reg, kRegistrationTag);
    ObDereferenceObject(object);
}

VOID ExNotifyCallback(PVOID CallbackObject, PVOID Argument1, PVOID Argument2) {
    CheckIrqlAtMost(DISPATCH_LEVEL, "ExNotifyCallback");
    PCALLBACK_OBJECT object = CheckObject(CallbackObject, "ExNotifyCallback");
    std::unique_lock<std::mutex> lk(ListLock());
    PLIST_ENTRY entry = object->Registrations.Flink;
    while (entry != &object->Registrations) {
        Registration* reg = CONTAINING_RECORD(entry, Registration, Link);
        if (reg->Unregistering) {
            entry = entry->Flink;
            continue;
        }
        ++reg->Busy;
        lk.unlock();
        reg->Function(reg->Context, Argument1, Argument2);
        lk.lock();
        entry = entry->Flink;  // reg stays linked while Busy > 0
        if (--reg->Busy == 0 && reg->Unregistering) KeSetEvent(&reg->Idle, 0, FALSE);
    }
}
