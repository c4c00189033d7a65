// Device properties and device registry keys of a physical device object.
// Both live in the registry stand-in: the properties are values of the
// instance's Enum key (the PnP harness writes them, a driver may change
// them), the keys are opened there and below the class key.
#include <cstring>

#include "nt/zw.h"
#include "platform/kernel/io_internal.h"
#include "sim/iomgr.h"
#include "sim/registry.h"
#include "sim/strings.h"

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
