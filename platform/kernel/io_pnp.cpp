// Services of the PnP manager on physical device objects: device
// interfaces (registration, enabling and disabling, the lookup a user-mode
// open goes through), device properties and device registry keys.
//
// Properties and keys live in the registry stand-in: the properties are
// values of the instance's Enum key (the PnP harness writes them, a driver
// may change them), the keys are opened there and below the class key.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "nt/ke.h"
#include "nt/pool.h"
#include "nt/zw.h"
#include "platform/kernel/io_internal.h"
#include "sim/iomgr.h"
#include "sim/registry.h"
#include "sim/strings.h"

namespace {

constexpr ULONG kLinkTag = MakePoolTag("IoSl");

struct InterfaceRecord {
    sim::DeviceInterface info;
    std::u16string key;  // symbolic link folded to upper case
};

std::mutex g_lock;
std::vector<InterfaceRecord> g_interfaces;

std::u16string Fold(std::u16string text) {
    for (auto& c : text)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    return text;
}

std::u16string GuidText(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof(text), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                  g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return sim::FromUtf8(text);
}

// "\??\USB#VID_0B05&PID_17F3#5&1a2b3c4d&0&1#{guid}\Reference"
std::u16string LinkName(const std::u16string& instancePath, const GUID& cls,
                        const std::u16string& reference) {
    std::u16string link = u"\\??\\";
    for (char16_t c : instancePath) link += c == u'\\' ? u'#' : c;
    link += u"#" + GuidText(cls);
    if (!reference.empty()) link += u"\\" + reference;
    return link;
}

InterfaceRecord* FindLocked(const std::u16string& link) {
    std::u16string key = Fold(link);
    for (auto& record : g_interfaces)
        if (record.key == key) return &record;
    return NULL;
}

NTSTATUS CopyLink(const std::u16string& link, PUNICODE_STRING out) {
    SIZE_T bytes = (link.size() + 1) * sizeof(WCHAR);
    if (bytes > 0xFFFF) return STATUS_INVALID_PARAMETER;
    auto* buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, bytes, kLinkTag));
    if (buffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    __builtin_memcpy(buffer, link.data(), link.size() * sizeof(WCHAR));
    buffer[link.size()] = 0;
    out->Buffer = buffer;
    out->Length = static_cast<USHORT>(link.size() * sizeof(WCHAR));
    out->MaximumLength = static_cast<USHORT>(bytes);
    return STATUS_SUCCESS;
}

bool ValidReference(const std::u16string& reference) {
    for (char16_t c : reference)
        if (c == u'\\' || c == u'/' || c == 0) return false;
    return true;
}

}  // namespace

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                   const GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString,
                                   PUNICODE_STRING SymbolicLinkName) {
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "IoRegisterDeviceInterface");
    if (InterfaceClassGuid == NULL || SymbolicLinkName == NULL) return STATUS_INVALID_PARAMETER;
    sim::PhysicalDevice* physical = sim::PhysicalDeviceOf(PhysicalDeviceObject);
    if (physical == NULL) return STATUS_INVALID_DEVICE_REQUEST;
    std::u16string reference;
    if (ReferenceString != NULL && ReferenceString->Length != 0) {
        if (ReferenceString->Buffer == NULL) return STATUS_INVALID_PARAMETER;
        reference = sim::ToU16(*ReferenceString);
    }
    if (!ValidReference(reference)) return STATUS_INVALID_PARAMETER;

    std::u16string link = LinkName(physical->instancePath, *InterfaceClassGuid, reference);
    NTSTATUS status = CopyLink(link, SymbolicLinkName);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard<std::mutex> guard(g_lock);
    if (FindLocked(link) == NULL) {
        sim::DeviceInterface info{*InterfaceClassGuid, reference, link, PhysicalDeviceObject, false, 0, 0};
        g_interfaces.push_back(InterfaceRecord{info, Fold(link)});
    }
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "IoSetDeviceInterfaceState");
    if (SymbolicLinkName == NULL || SymbolicLinkName->Buffer == NULL || SymbolicLinkName->Length == 0)
        return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(g_lock);
    InterfaceRecord* record = FindLocked(sim::ToU16(*SymbolicLinkName));
    if (record == NULL) return STATUS_OBJECT_NAME_NOT_FOUND;
    sim::DeviceInterface& info = record->info;
    if (Enable) {
        if (info.enabled) return STATUS_OBJECT_NAME_EXISTS;
        info.enabled = true;
        ++info.timesEnabled;
    } else {
        if (!info.enabled) return STATUS_OBJECT_NAME_NOT_FOUND;
        info.enabled = false;
        ++info.timesDisabled;
    }
    return STATUS_SUCCESS;
}

namespace sim {

std::vector<DeviceInterface> IoDeviceInterfaces(const GUID* classGuid) {
    std::lock_guard<std::mutex> guard(g_lock);
    std::vector<DeviceInterface> out;
    for (const auto& record : g_interfaces)
        if (classGuid == nullptr || IsEqualGUID(record.info.classGuid, *classGuid))
            out.push_back(record.info);
    return out;
}

bool IoFindDeviceInterface(const std::u16string& symbolicLink, DeviceInterface* found) {
    std::lock_guard<std::mutex> guard(g_lock);
    InterfaceRecord* record = FindLocked(symbolicLink);
    if (record == NULL) return false;
    if (found != nullptr) *found = record->info;
    return true;
}

void ForgetDeviceInterfaces(PDEVICE_OBJECT Pdo) {
    std::lock_guard<std::mutex> guard(g_lock);
    std::vector<InterfaceRecord> kept;
    for (auto& record : g_interfaces)
        if (record.info.pdo != Pdo) kept.push_back(std::move(record));
    g_interfaces.swap(kept);
}

}  // namespace sim

// ------------------------------------------------ properties and keys

namespace {

const char16_t kHardwareProfileRoot[] =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Hardware Profiles\\Current";
const char16_t kControlSet[] = u"\\Registry\\Machine\\System\\CurrentControlSet";

sim::PhysicalDevice* RequirePdo(PDEVICE_OBJECT DeviceObject, const char* function) {
    sim::PhysicalDevice* physical = sim::PhysicalDeviceOf(DeviceObject);
    if (physical == NULL)
        sim::Bugcheck(PNP_DETECTED_FATAL_ERROR,
                      std::string(function) + ": " + sim::Hex(DeviceObject) +
                          " is not a physical device object");
    return physical;
}

// The Enum value that holds a property, or NULL for properties of another kind.
const char16_t* ValueNameOf(DEVICE_REGISTRY_PROPERTY property) {
    switch (property) {
    case DevicePropertyDeviceDescription: return u"DeviceDesc";
    case DevicePropertyHardwareID: return u"HardwareID";
    case DevicePropertyCompatibleIDs: return u"CompatibleIDs";
    case DevicePropertyClassName: return u"Class";
    case DevicePropertyClassGuid: return u"ClassGUID";
    case DevicePropertyDriverKeyName: return u"Driver";
    case DevicePropertyManufacturer: return u"Mfg";
    case DevicePropertyFriendlyName: return u"FriendlyName";
    case DevicePropertyLocationInformation: return u"LocationInformation";
    default: return NULL;
    }
}

std::vector<uint8_t> TerminatedText(const std::u16string& text) {
    std::vector<uint8_t> bytes((text.size() + 1) * sizeof(char16_t), 0);
    std::memcpy(bytes.data(), text.data(), text.size() * sizeof(char16_t));
    return bytes;
}

// The property's bytes; false when the device does not have it.
NTSTATUS ReadProperty(PDEVICE_OBJECT pdo, const sim::PhysicalDevice& physical,
                      DEVICE_REGISTRY_PROPERTY property, std::vector<uint8_t>* data) {
    if (property == DevicePropertyEnumeratorName) {
        *data = TerminatedText(physical.instancePath.substr(0, physical.instancePath.find(u'\\')));
        return STATUS_SUCCESS;
    }
    const char16_t* valueName = ValueNameOf(property);
    if (valueName == NULL) return STATUS_INVALID_PARAMETER_2;
    auto value = sim::RegistryGetValue(sim::IoEnumKeyPath(pdo), valueName);
    if (!value) return STATUS_OBJECT_NAME_NOT_FOUND;
    *data = value->data;
    return STATUS_SUCCESS;
}

// The driver key name ("{class guid}\0001") as text without its terminator.
bool DriverKeyName(PDEVICE_OBJECT pdo, std::u16string* name) {
    auto value = sim::RegistryGetValue(sim::IoEnumKeyPath(pdo), u"Driver");
    if (!value || value->data.size() < sizeof(char16_t)) return false;
    name->assign(reinterpret_cast<const char16_t*>(value->data.data()),
                 value->data.size() / sizeof(char16_t));
    while (!name->empty() && name->back() == 0) name->pop_back();
    return !name->empty();
}

NTSTATUS DeviceKeyPath(PDEVICE_OBJECT pdo, const sim::PhysicalDevice& physical, ULONG type,
                       std::u16string* path) {
    bool profile = (type & PLUGPLAY_REGKEY_CURRENT_HWPROFILE) != 0;
    std::u16string root = profile ? std::u16string(kHardwareProfileRoot) + u"\\System\\CurrentControlSet"
                                  : std::u16string(kControlSet);
    switch (type & ~ULONG(PLUGPLAY_REGKEY_CURRENT_HWPROFILE)) {
    case PLUGPLAY_REGKEY_DEVICE:
        *path = root + u"\\Enum\\" + physical.instancePath;
        if (!profile) *path += u"\\Device Parameters";
        return STATUS_SUCCESS;
    case PLUGPLAY_REGKEY_DRIVER: {
        std::u16string driverKey;
        if (!DriverKeyName(pdo, &driverKey)) return STATUS_OBJECT_NAME_NOT_FOUND;
        *path = root + u"\\Control\\Class\\" + driverKey;
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

}  // namespace

NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                             ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength) {
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "IoGetDeviceProperty");
    sim::PhysicalDevice* physical = RequirePdo(DeviceObject, "IoGetDeviceProperty");
    if (ResultLength == NULL) return STATUS_INVALID_PARAMETER;
    *ResultLength = 0;
    std::vector<uint8_t> data;
    NTSTATUS status = ReadProperty(DeviceObject, *physical, DeviceProperty, &data);
    if (!NT_SUCCESS(status)) return status;
    *ResultLength = static_cast<ULONG>(data.size());
    if (BufferLength < data.size() || (PropertyBuffer == NULL && !data.empty()))
        return STATUS_BUFFER_TOO_SMALL;
    if (!data.empty()) std::memcpy(PropertyBuffer, data.data(), data.size());
    return STATUS_SUCCESS;
}

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType,
                                 ACCESS_MASK DesiredAccess, PHANDLE DeviceRegKey) {
    sim::RequireIrqlAtMost(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey");
    sim::PhysicalDevice* physical = RequirePdo(DeviceObject, "IoOpenDeviceRegistryKey");
    if (DeviceRegKey == NULL) return STATUS_INVALID_PARAMETER;
    *DeviceRegKey = NULL;
    std::u16string path;
    NTSTATUS status = DeviceKeyPath(DeviceObject, *physical, DevInstKeyType, &path);
    if (!NT_SUCCESS(status)) return status;
    status = sim::RegistryCreateKey(path);
    if (!NT_SUCCESS(status)) return status;
    sim::UString name(path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, name.get(), OBJ_CASE_INSENSITIVE, NULL, NULL);
    return ZwOpenKey(DeviceRegKey, DesiredAccess, &attributes);
}
