// The settings store over the port class's registry keys.
#include "adapter/settings.h"

#include "adapter/settings_value.h"
#include "nt/rtl.h"
#include "portcls/portcls.h"

namespace {

constexpr ULONG kReadBufferTag = MakePoolTag("hlep");
// The partial-information record ahead of the data.
constexpr ULONG kReadSlack = 16;

bool IsAcceptedType(ULONG type) {
    return type == REG_SZ || type == REG_BINARY || type == REG_DWORD;
}

// Opens (creating when missing) `name` below parent.
NTSTATUS OpenSubKey(PREGISTRYKEY parent, PCWSTR name, PREGISTRYKEY* key) {
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, name);
    ULONG disposition = 0;
    // Kernel-mode writes through the key are not limited by this access.
    return parent->NewSubKey(key, NULL, KEY_QUERY_VALUE, &text, REG_OPTION_NON_VOLATILE,
                             &disposition);
}

NTSTATUS ReadValue(PREGISTRYKEY key, PCWSTR valueName, ULONG readType, PVOID buffer, ULONG length) {
    if (length > 0xFFFFFFFFu - kReadSlack) return STATUS_INVALID_PARAMETER;
    ULONG size = length + kReadSlack;
    auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(
        ExAllocatePoolWithTag(PagedPool, size, kReadBufferTag));
    if (info == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, valueName);
    ULONG resultLength = 0;
    NTSTATUS status = key->QueryValueKey(&name, KeyValuePartialInformation, info, size, &resultLength);
    // A value too long for the buffer comes back with its type and length
    // only; the read class decides what either case means.
    if (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW) {
        const void* data = NT_SUCCESS(status) ? info->Data : NULL;
        status = TakeStoredValue(valueName, readType, info->Type, data, info->DataLength, buffer, length);
    }
    ExFreePoolWithTag(info, kReadBufferTag);
    return status;
}

NTSTATUS ReadOrWrite(PREGISTRYKEY key, ULONG op, PCWSTR valueName, ULONG type, PVOID buffer,
                     ULONG length) {
    if (op == SETTINGS_OP_READ) return ReadValue(key, valueName, type, buffer, length);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, valueName);
    return key->SetValueKey(&name, type, buffer, length);
}

}  // namespace

NTSTATUS AccessSettingsValue(PDEVICE_OBJECT fdo, ULONG op, PCWSTR subkey, PCWSTR valueName,
                             ULONG type, PVOID buffer, ULONG length) {
    PAGED_CODE();
    if (!IsAcceptedType(type)) return STATUS_UNSUCCESSFUL;
    if ((op != SETTINGS_OP_READ && op != SETTINGS_OP_WRITE) || valueName == NULL ||
        (buffer == NULL && length != 0))
        return STATUS_INVALID_PARAMETER;

    PREGISTRYKEY driverKey = NULL;
    NTSTATUS status = PcNewRegistryKey(&driverKey, NULL, DriverRegistryKey, KEY_ALL_ACCESS, fdo, NULL,
                                       NULL, 0, NULL);
    if (!NT_SUCCESS(status)) return status;
    PREGISTRYKEY settingsKey = NULL;
    status = OpenSubKey(driverKey, u"Settings", &settingsKey);
    if (NT_SUCCESS(status)) {
        PREGISTRYKEY subKey = NULL;
        if (subkey != NULL) status = OpenSubKey(settingsKey, subkey, &subKey);
        if (NT_SUCCESS(status))
            status = ReadOrWrite(subKey ? subKey : settingsKey, op, valueName, type, buffer, length);
        if (subKey) subKey->Release();
        settingsKey->Release();
    }
    driverKey->Release();
    return status;
}

NTSTATUS SettingsBinaryValue(PDEVICE_OBJECT fdo, ULONG op, PVOID buffer, ULONG length,
                             PCWSTR valueName) {
    return AccessSettingsValue(fdo, op, NULL, valueName, REG_BINARY, buffer, length);
}

NTSTATUS SettingsBinaryValueIndexed(PDEVICE_OBJECT fdo, ULONG op, PVOID buffer, ULONG length,
                                    PCWSTR baseName, LONG index) {
    WCHAR name[SETTINGS_INDEXED_NAME_CCH];
    NTSTATUS status = RtlStringCchPrintfW(name, SETTINGS_INDEXED_NAME_CCH, u"%s%d", baseName, (int)index);
    if (status == STATUS_BUFFER_OVERFLOW) return STATUS_INVALID_PARAMETER;
    if (!NT_SUCCESS(status)) return status;
    return SettingsBinaryValue(fdo, op, buffer, length, name);
}
