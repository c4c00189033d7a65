// Registry calls of the kernel stand-in: key handles over the tree of
// registry_tree.h, the KEY_* and KEY_VALUE_* information records and their
// size protocol, access checks on handles.
#include <new>

#include "nt/ke.h"
#include "nt/rtl.h"
#include "nt/zw.h"
#include "registry_tree.h"
#include "sim/object.h"
#include "sim/registry.h"

namespace {

constexpr ULONG kKeyObjectTag = MakePoolTag("Key ");
constexpr ACCESS_MASK kGenericExecute = 0x20000000;

// Body of a key object: one per open (every ZwOpenKey/ZwCreateKey makes a
// new object, as the platform does), owned by its handle.
struct KeyBody {
    std::shared_ptr<reg::Key> key;
    ACCESS_MASK access;
    bool kernel;  // opened with OBJ_KERNEL_HANDLE: access not checked
};

void DeleteKeyBody(PVOID body) { static_cast<KeyBody*>(body)->~KeyBody(); }

_OBJECT_TYPE g_keyObjectType{"Key", DeleteKeyBody};

ACCESS_MASK MapGenericAccess(ACCESS_MASK desired) {
    if (desired & (MAXIMUM_ALLOWED | GENERIC_ALL)) desired |= KEY_ALL_ACCESS;
    if (desired & GENERIC_READ) desired |= KEY_READ;
    if (desired & GENERIC_WRITE) desired |= KEY_WRITE;
    if (desired & kGenericExecute) desired |= KEY_EXECUTE;
    return desired;
}

// A key handle referenced for the length of one call. Callers hold the
// tree lock while they use it.
class KeyRef {
public:
    ~KeyRef() {
        if (body_) ObDereferenceObject(body_);
    }
    NTSTATUS Open(HANDLE handle, ACCESS_MASK needed) {
        PVOID object = nullptr;
        NTSTATUS status = ObReferenceObjectByHandle(handle, needed, &g_keyObjectType, KernelMode, &object, nullptr);
        if (!NT_SUCCESS(status)) return status;
        body_ = static_cast<KeyBody*>(object);
        if (!body_->kernel && (body_->access & needed) != needed) return STATUS_ACCESS_DENIED;
        if (body_->key->deleted) return STATUS_KEY_DELETED;
        return STATUS_SUCCESS;
    }
    reg::Key& key() { return *body_->key; }
    const std::shared_ptr<reg::Key>& shared() { return body_->key; }
    bool kernel() const { return body_->kernel; }
    ACCESS_MASK access() const { return body_->access; }

private:
    KeyBody* body_ = nullptr;
};

NTSTATUS CreateKeyHandle(const std::shared_ptr<reg::Key>& key, ACCESS_MASK access, bool kernel, PHANDLE out) {
    PVOID body = sim::ObCreateObject(&g_keyObjectType, sizeof(KeyBody), kKeyObjectTag);
    if (body == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    new (body) KeyBody{key, MapGenericAccess(access), kernel};
    *out = sim::ObCreateHandle(body);
    ObDereferenceObject(body);  // the handle holds the object now
    return STATUS_SUCCESS;
}

bool ValidName(PCUNICODE_STRING s) {
    return s != nullptr && s->Length % 2 == 0 && s->Length <= s->MaximumLength &&
           (s->Buffer != nullptr || s->Length == 0);
}

std::u16string_view View(PCUNICODE_STRING s) {
    return s->Buffer ? std::u16string_view(s->Buffer, s->Length / sizeof(WCHAR)) : std::u16string_view();
}

// Where an open or create starts and the names it follows. The root handle
// (when given) stays referenced in `root` for the caller's access check.
NTSTATUS ResolveTarget(POBJECT_ATTRIBUTES oa, KeyRef& root, std::shared_ptr<reg::Key>& base,
                       std::vector<std::u16string>& names) {
    if (oa == nullptr || (oa->ObjectName != nullptr && !ValidName(oa->ObjectName))) return STATUS_INVALID_PARAMETER;
    std::u16string_view path = oa->ObjectName ? View(oa->ObjectName) : std::u16string_view();
    if (oa->RootDirectory == nullptr) {
        base = reg::Tree().root;
        return reg::SplitAbsolute(path, names);
    }
    NTSTATUS status = root.Open(oa->RootDirectory, 0);
    if (!NT_SUCCESS(status)) return status;
    if (!path.empty() && path[0] == u'\\') return STATUS_OBJECT_PATH_SYNTAX_BAD;
    base = root.shared();
    return reg::SplitPath(path, names) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_INVALID;
}

// Size protocol of every information call: `record` is the complete answer,
// `fixedSize` its part before the variable array.
NTSTATUS Answer(const std::vector<uint8_t>& record, size_t fixedSize, PVOID out, ULONG length, PULONG resultLength) {
    if (resultLength == nullptr || (out == nullptr && length != 0)) return STATUS_INVALID_PARAMETER;
    *resultLength = static_cast<ULONG>(record.size());
    if (length < fixedSize) return STATUS_BUFFER_TOO_SMALL;
    if (length < record.size()) {
        memcpy(out, record.data(), fixedSize);
        return STATUS_BUFFER_OVERFLOW;
    }
    memcpy(out, record.data(), record.size());
    return STATUS_SUCCESS;
}

// Builds records field by field in a byte vector.
struct RecordBuilder {
    std::vector<uint8_t> bytes;
    void U32(ULONG v) { Raw(&v, sizeof(v)); }
    void I64(LONGLONG v) { Raw(&v, sizeof(v)); }
    void Raw(const void* p, size_t n) {
        auto* b = static_cast<const uint8_t*>(p);
        bytes.insert(bytes.end(), b, b + n);
    }
    void Text(const std::u16string& s) { Raw(s.data(), s.size() * sizeof(WCHAR)); }
    void PadTo(size_t alignment) { bytes.resize((bytes.size() + alignment - 1) / alignment * alignment); }
};

ULONG Bytes(const std::u16string& s) { return static_cast<ULONG>(s.size() * sizeof(WCHAR)); }

NTSTATUS DescribeKey(reg::Key& key, KEY_INFORMATION_CLASS cls, PVOID out, ULONG length, PULONG resultLength) {
    constexpr ULONG kNoClass = 0xFFFFFFFF;
    RecordBuilder r;
    size_t fixed;
    switch (cls) {
        case KeyBasicInformation:
            r.I64(key.lastWrite); r.U32(0); r.U32(Bytes(key.name)); r.Text(key.name);
            fixed = offsetof(KEY_BASIC_INFORMATION, Name);
            break;
        case KeyNodeInformation:
            r.I64(key.lastWrite); r.U32(0); r.U32(kNoClass); r.U32(0); r.U32(Bytes(key.name)); r.Text(key.name);
            fixed = offsetof(KEY_NODE_INFORMATION, Name);
            break;
        case KeyFullInformation: {
            ULONG maxName = 0, maxValueName = 0, maxData = 0;
            for (auto& [folded, child] : key.children) maxName = std::max(maxName, Bytes(child->name));
            for (auto& v : key.values) {
                maxValueName = std::max(maxValueName, Bytes(v.name));
                maxData = std::max(maxData, static_cast<ULONG>(v.data.size()));
            }
            r.I64(key.lastWrite); r.U32(0); r.U32(kNoClass); r.U32(0);
            r.U32(static_cast<ULONG>(key.children.size())); r.U32(maxName); r.U32(0);
            r.U32(static_cast<ULONG>(key.values.size())); r.U32(maxValueName); r.U32(maxData);
            fixed = offsetof(KEY_FULL_INFORMATION, Class);
            break;
        }
        case KeyNameInformation: {
            std::u16string path = reg::FullPath(key);
            r.U32(Bytes(path)); r.Text(path);
            fixed = offsetof(KEY_NAME_INFORMATION, Name);
            break;
        }
        default:
            return STATUS_INVALID_INFO_CLASS;
    }
    return Answer(r.bytes, fixed, out, length, resultLength);
}

NTSTATUS ValueInformation(const reg::Value& v, KEY_VALUE_INFORMATION_CLASS cls, PVOID out, ULONG length,
                          PULONG resultLength) {
    RecordBuilder r;
    size_t fixed;
    ULONG dataLength = static_cast<ULONG>(v.data.size());
    switch (cls) {
        case KeyValueBasicInformation:
            r.U32(0); r.U32(v.type); r.U32(Bytes(v.name)); r.Text(v.name);
            fixed = offsetof(KEY_VALUE_BASIC_INFORMATION, Name);
            break;
        case KeyValueFullInformation: {
            fixed = offsetof(KEY_VALUE_FULL_INFORMATION, Name);
            ULONG dataOffset = static_cast<ULONG>((fixed + Bytes(v.name) + 7) / 8 * 8);
            r.U32(0); r.U32(v.type); r.U32(dataOffset); r.U32(dataLength); r.U32(Bytes(v.name)); r.Text(v.name);
            r.PadTo(8);
            r.Raw(v.data.data(), v.data.size());
            break;
        }
        case KeyValuePartialInformation:
            r.U32(0); r.U32(v.type); r.U32(dataLength); r.Raw(v.data.data(), v.data.size());
            fixed = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
            break;
        default:
            return STATUS_INVALID_INFO_CLASS;
    }
    return Answer(r.bytes, fixed, out, length, resultLength);
}

}  // namespace

NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
    PAGED_CODE();
    if (KeyHandle == nullptr) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::recursive_mutex> guard(reg::Tree().lock);
    KeyRef root;
    std::shared_ptr<reg::Key> base;
    std::vector<std::u16string> names;
    NTSTATUS status = ResolveTarget(ObjectAttributes, root, base, names);
    if (!NT_SUCCESS(status)) return status;
    std::shared_ptr<reg::Key> key = reg::Walk(base, names);
    if (!key) return STATUS_OBJECT_NAME_NOT_FOUND;
    return CreateKeyHandle(key, DesiredAccess, ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE, KeyHandle);
}

NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(TitleIndex);
    UNREFERENCED_PARAMETER(Class);
    if (KeyHandle == nullptr || (CreateOptions & ~(REG_OPTION_VOLATILE | REG_OPTION_BACKUP_RESTORE)) != 0)
        return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::recursive_mutex> guard(reg::Tree().lock);
    KeyRef root;
    std::shared_ptr<reg::Key> base;
    std::vector<std::u16string> names;
    NTSTATUS status = ResolveTarget(ObjectAttributes, root, base, names);
    if (!NT_SUCCESS(status)) return status;
    bool kernel = ObjectAttributes->Attributes & OBJ_KERNEL_HANDLE;
    std::shared_ptr<reg::Key> key = reg::Walk(base, names);
    if (key) {
        status = CreateKeyHandle(key, DesiredAccess, kernel, KeyHandle);
        if (NT_SUCCESS(status) && Disposition) *Disposition = REG_OPENED_EXISTING_KEY;
        return status;
    }
    std::u16string leaf = names.back();
    names.pop_back();
    std::shared_ptr<reg::Key> parent = reg::Walk(base, names);
    if (!parent) return STATUS_OBJECT_NAME_NOT_FOUND;
    bool isVolatile = CreateOptions & REG_OPTION_VOLATILE;
    if (parent->isVolatile && !isVolatile) return STATUS_CHILD_MUST_BE_VOLATILE;
    if (ObjectAttributes->RootDirectory && names.empty() && !root.kernel() && !(root.access() & KEY_CREATE_SUB_KEY))
        return STATUS_ACCESS_DENIED;
    // The handle object first, so a pool failure leaves the tree unchanged.
    auto child = std::make_shared<reg::Key>();
    status = CreateKeyHandle(child, DesiredAccess, kernel, KeyHandle);
    if (!NT_SUCCESS(status)) return status;
    child->name = leaf;
    child->parent = parent.get();
    child->isVolatile = isVolatile;
    parent->children[reg::Fold(leaf)] = child;
    reg::Changed(*child);
    if (Disposition) *Disposition = REG_CREATED_NEW_KEY;
    return STATUS_SUCCESS;
}

NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation,
                    ULONG Length, PULONG ResultLength) {
    PAGED_CODE();
    std::lock_guard<std::recursive_mutex> guard(reg::Tree().lock);
    KeyRef ref;
    NTSTATUS status = ref.Open(KeyHandle, KeyInformationClass == KeyNameInformation ? 0 : KEY_QUERY_VALUE);
    if (!NT_SUCCESS(status)) return status;
    return DescribeKey(ref.key(), KeyInformationClass, KeyInformation, Length, ResultLength);
}

NTSTATUS ZwEnumerateKey(HANDLE KeyHandle, ULONG Index, KEY_INFORMATION_CLASS KeyInformationClass,
                        PVOID KeyInformation, ULONG Length, PULONG ResultLength) {
    PAGED_CODE();
    std::lock_guard<std::recursive_mutex> guard(reg::Tree().lock);
    KeyRef ref;
    NTSTATUS status = ref.Open(KeyHandle, KEY_ENUMERATE_SUB_KEYS);
    if (!NT_SUCCESS(status)) return status;
    auto& children = ref.key().children;
    if (Index >= children.size()) return STATUS_NO_MORE_ENTRIES;
    auto it = children.begin();
    std::advance(it, Index);
    return DescribeKey(*it->second, KeyInformationClass, KeyInformation, Length, ResultLength);
}

NTSTATUS ZwEnumerateValueKey(HANDLE KeyHandle, ULONG Index, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    PAGED_CODE();
    std::lock_guard<std::recursive_mutex> guard(reg::Tree().lock);
    KeyRef ref;
    NTSTATUS status = ref.Open(KeyHandle, KEY_QUERY_VALUE);
    if (!NT_SUCCESS(status)) return status;
    auto& values = ref.key().values;
    if (Index >= values.size()) return STATUS_NO_MORE_ENTRIES;
    return ValueInformation(values[Index], KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength) {
    PAGED_CODE();
    if (!ValidName(ValueName)) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::recursive_mutex> guard(reg::Tree().lock);
    KeyRef ref;
    NTSTATUS status = ref.Open(KeyHandle, KEY_QUERY_VALUE);
    if (!NT_SUCCESS(status)) return status;
    reg::Value* v = ref.key().FindValue(View(ValueName));
    if (v == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    return ValueInformation(*v, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
}

NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(TitleIndex);
    if (!ValidName(ValueName) || (Data == nullptr && DataSize != 0)) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::recursive_mutex> guard(reg::Tree().lock);
    KeyRef ref;
    NTSTATUS status = ref.Open(KeyHandle, KEY_SET_VALUE);
    if (!NT_SUCCESS(status)) return status;
    reg::SetValue(ref.key(), std::u16string(View(ValueName)), Type, static_cast<const uint8_t*>(Data), DataSize);
    reg::Changed(ref.key());
    return STATUS_SUCCESS;
}

NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName) {
    PAGED_CODE();
    if (!ValidName(ValueName)) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::recursive_mutex> guard(reg::Tree().lock);
    KeyRef ref;
    NTSTATUS status = ref.Open(KeyHandle, KEY_SET_VALUE);
    if (!NT_SUCCESS(status)) return status;
    reg::Value* v = ref.key().FindValue(View(ValueName));
    if (v == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    auto& values = ref.key().values;
    values.erase(values.begin() + (v - values.data()));
    reg::Changed(ref.key());
    return STATUS_SUCCESS;
}

NTSTATUS ZwDeleteKey(HANDLE KeyHandle) {
    PAGED_CODE();
    std::lock_guard<std::recursive_mutex> guard(reg::Tree().lock);
    KeyRef ref;
    NTSTATUS status = ref.Open(KeyHandle, DELETE);
    if (!NT_SUCCESS(status)) return status;
    reg::Key& key = ref.key();
    if (key.predefined || !key.children.empty()) return STATUS_CANNOT_DELETE;
    reg::Key* parent = key.parent;
    reg::Unlink(key);
    if (parent) reg::Changed(*parent);
    return STATUS_SUCCESS;
}

NTSTATUS ZwFlushKey(HANDLE KeyHandle) {
    PAGED_CODE();
    std::lock_guard<std::recursive_mutex> guard(reg::Tree().lock);
    KeyRef ref;
    NTSTATUS status = ref.Open(KeyHandle, 0);
    if (!NT_SUCCESS(status)) return status;
    return sim::RegistryFlush();
}

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData,
                               ULONG ValueLength) {
    PAGED_CODE();
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, ValueName ? ValueName : u"");
    if (RelativeTo & RTL_REGISTRY_HANDLE)
        return ZwSetValueKey(const_cast<PWSTR>(Path), &name, 0, ValueType, ValueData, ValueLength);
    static const struct {
        ULONG relativeTo;
        const char16_t* prefix;
    } kRoots[] = {
        {RTL_REGISTRY_ABSOLUTE, u""},
        {RTL_REGISTRY_SERVICES, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\"},
        {RTL_REGISTRY_CONTROL, u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\"},
        {RTL_REGISTRY_DEVICEMAP, u"\\Registry\\Machine\\Hardware\\DeviceMap\\"},
    };
    ULONG base = RelativeTo & ~RTL_REGISTRY_OPTIONAL;
    const char16_t* prefix = nullptr;
    for (const auto& root : kRoots)
        if (root.relativeTo == base) prefix = root.prefix;
    if (prefix == nullptr || Path == nullptr) return STATUS_INVALID_PARAMETER;
    std::u16string full = std::u16string(prefix) + Path;
    UNICODE_STRING keyName{static_cast<USHORT>(full.size() * sizeof(WCHAR)),
                           static_cast<USHORT>(full.size() * sizeof(WCHAR)), full.data()};
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &keyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE key;
    NTSTATUS status = ZwCreateKey(&key, KEY_SET_VALUE, &oa, 0, nullptr, REG_OPTION_NON_VOLATILE, nullptr);
    if (!NT_SUCCESS(status)) return status;
    status = ZwSetValueKey(key, &name, 0, ValueType, ValueData, ValueLength);
    ZwClose(key);
    return status;
}

namespace sim {

size_t RegistryOpenKeyCount() { return ObLiveCount(&g_keyObjectType); }

}  // namespace sim
