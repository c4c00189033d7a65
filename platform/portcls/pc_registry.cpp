// Registry keys through the port class (PcNewRegistryKey, IRegistryKey)
// and PcGetDeviceProperty. Keys are kernel handles: the access a caller
// asks for is not enforced (a key opened for KEY_QUERY_VALUE may be
// written), as for any kernel-mode caller of the registry. Keys are never
// aggregated: an outer unknown is refused.
#include "nt/zw.h"
#include "nt/ke.h"
#include "platform/portcls/pc_internal.h"

namespace pcls {

namespace {

class CRegistryKey : public IRegistryKey, public CPcObject {
public:
    explicit CRegistryKey(HANDLE key) : m_Key(key) {}
    ~CRegistryKey() override { ZwClose(m_Key); }
    PC_OBJECT_UNKNOWN()

    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override {
        if (iid == IID_IUnknown || iid == IID_IRegistryKey)
            return ReturnInterface(static_cast<IRegistryKey*>(this), out);
        return RefuseInterface(out);
    }

    NTSTATUS QueryValueKey(PUNICODE_STRING ValueName, KEY_VALUE_INFORMATION_CLASS InfoClass,
                           PVOID Info, ULONG Length, PULONG ResultLength) override {
        return ZwQueryValueKey(m_Key, ValueName, InfoClass, Info, Length, ResultLength);
    }

    NTSTATUS SetValueKey(PUNICODE_STRING ValueName, ULONG Type, PVOID Data,
                         ULONG DataSize) override {
        return ZwSetValueKey(m_Key, ValueName, 0, Type, Data, DataSize);
    }

    NTSTATUS NewSubKey(PREGISTRYKEY* RegistrySubKey, PUNKNOWN OuterUnknown,
                       ACCESS_MASK DesiredAccess, PUNICODE_STRING SubKeyName, ULONG CreateOptions,
                       PULONG Disposition) override {
        UNREFERENCED_PARAMETER(DesiredAccess);
        if (RegistrySubKey == nullptr || SubKeyName == nullptr || OuterUnknown != nullptr)
            return STATUS_INVALID_PARAMETER;
        *RegistrySubKey = nullptr;
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, SubKeyName,
                                   OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, m_Key, nullptr);
        HANDLE key = nullptr;
        NTSTATUS status =
            ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, CreateOptions, Disposition);
        if (!NT_SUCCESS(status)) return status;
        return Wrap(key, RegistrySubKey);
    }

    // Takes ownership of `key` (closed on failure).
    static NTSTATUS Wrap(HANDLE key, PREGISTRYKEY* out) {
        auto* object = new (NonPagedPoolNx, kTagRegistryKey) CRegistryKey(key);
        if (object == nullptr) {
            ZwClose(key);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        object->AddRef();
        *out = object;
        return STATUS_SUCCESS;
    }

private:
    HANDLE m_Key;
};

NTSTATUS OpenDeviceKey(PVOID DeviceObject, ULONG keyType, HANDLE* key) {
    PcDevice* device = DeviceFromFdo(DeviceObject);
    if (device == nullptr) return STATUS_INVALID_PARAMETER;
    return IoOpenDeviceRegistryKey(device->pdo, keyType, KEY_ALL_ACCESS, key);
}

}  // namespace

}  // namespace pcls

NTSTATUS PcNewRegistryKey(PREGISTRYKEY* OutRegistryKey, PUNKNOWN OuterUnknown,
                          ULONG RegistryKeyType, ACCESS_MASK DesiredAccess, PVOID DeviceObject,
                          PVOID SubDevice, POBJECT_ATTRIBUTES ObjectAttributes, ULONG CreateOptions,
                          PULONG Disposition) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DesiredAccess);
    UNREFERENCED_PARAMETER(SubDevice);
    NTSTATUS status = pcls::CheckCall(sim::PcCall::NewRegistryKey);
    if (!NT_SUCCESS(status)) return status;
    if (OutRegistryKey == nullptr) return STATUS_INVALID_PARAMETER;
    *OutRegistryKey = nullptr;
    if (OuterUnknown != nullptr) return STATUS_INVALID_PARAMETER;  // keys are not aggregated
    HANDLE key = nullptr;
    switch (RegistryKeyType) {
        case GeneralRegistryKey: {
            if (ObjectAttributes == nullptr) return STATUS_INVALID_PARAMETER;
            OBJECT_ATTRIBUTES attributes = *ObjectAttributes;
            attributes.Attributes |= OBJ_KERNEL_HANDLE;
            status = ZwCreateKey(&key, KEY_ALL_ACCESS, &attributes, 0, nullptr, CreateOptions,
                                 Disposition);
            break;
        }
        case DeviceRegistryKey:
            status = pcls::OpenDeviceKey(DeviceObject, PLUGPLAY_REGKEY_DEVICE, &key);
            break;
        case DriverRegistryKey:
            status = pcls::OpenDeviceKey(DeviceObject, PLUGPLAY_REGKEY_DRIVER, &key);
            break;
        case HwProfileRegistryKey:
            status = pcls::OpenDeviceKey(
                DeviceObject, PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE, &key);
            break;
        default: return STATUS_NOT_SUPPORTED;
    }
    if (!NT_SUCCESS(status)) return status;
    return pcls::CRegistryKey::Wrap(key, OutRegistryKey);
}

NTSTATUS PcGetDeviceProperty(PVOID DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty,
                             ULONG BufferLength, PVOID PropertyBuffer, PULONG ResultLength) {
    PAGED_CODE();
    NTSTATUS status = pcls::CheckCall(sim::PcCall::GetDeviceProperty);
    if (!NT_SUCCESS(status)) return status;
    pcls::PcDevice* device = pcls::DeviceFromFdo(DeviceObject);
    if (device == nullptr) return STATUS_INVALID_PARAMETER;
    return IoGetDeviceProperty(device->pdo, DeviceProperty, BufferLength, PropertyBuffer,
                               ResultLength);
}
