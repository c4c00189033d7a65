// Value names, store access and notification of the bound nodes.
#include "topology/node_settings.h"

#include "nt/rtl.h"

void FormatChannelValueBase(WCHAR (&name)[NODE_VALUE_NAME_CCH], ULONG unitId, ULONG profile) {
    RtlStringCchPrintfW(name, NODE_VALUE_NAME_CCH, u"Unit%02d_%2d_", (int)unitId, (int)profile);
}

void FormatUnitValueName(WCHAR (&name)[NODE_VALUE_NAME_CCH], ULONG unitId) {
    RtlStringCchPrintfW(name, NODE_VALUE_NAME_CCH, u"Unit%02d_", (int)unitId);
}

void FormatTerminalValueName(WCHAR (&name)[NODE_VALUE_NAME_CCH], ULONG terminalId) {
    RtlStringCchPrintfW(name, NODE_VALUE_NAME_CCH, u"UACUnit%02d", (int)terminalId);
}

NTSTATUS NODE_STORE::ReadChannel(ULONG profile, ULONG channel, PVOID value, ULONG size) const {
    WCHAR base[NODE_VALUE_NAME_CCH];
    FormatChannelValueBase(base, UnitId, profile);
    return SettingsBinaryValueIndexed(DeviceObject, SETTINGS_OP_READ, value, size, base,
                                      (LONG)channel);
}

NTSTATUS NODE_STORE::WriteChannel(ULONG profile, ULONG channel, const void* value,
                                  ULONG size) const {
    WCHAR base[NODE_VALUE_NAME_CCH];
    FormatChannelValueBase(base, UnitId, profile);
    return SettingsBinaryValueIndexed(DeviceObject, SETTINGS_OP_WRITE, const_cast<PVOID>(value),
                                      size, base, (LONG)channel);
}

NTSTATUS NODE_STORE::ReadUnit(PVOID value, ULONG size) const {
    WCHAR name[NODE_VALUE_NAME_CCH];
    FormatUnitValueName(name, UnitId);
    return SettingsNumberValue(DeviceObject, SETTINGS_OP_READ, value, size, name);
}

NTSTATUS NODE_STORE::WriteUnit(const void* value, ULONG size) const {
    WCHAR name[NODE_VALUE_NAME_CCH];
    FormatUnitValueName(name, UnitId);
    return SettingsBinaryValue(DeviceObject, SETTINGS_OP_WRITE, const_cast<PVOID>(value), size,
                               name);
}

NTSTATUS ReadTerminalType(PDEVICE_OBJECT deviceObject, ULONG terminalId, ULONG* type) {
    WCHAR name[NODE_VALUE_NAME_CCH];
    FormatTerminalValueName(name, terminalId);
    return SettingsNumberValue(deviceObject, SETTINGS_OP_READ, type, sizeof(ULONG), name);
}

NTSTATUS WriteTerminalType(PDEVICE_OBJECT deviceObject, ULONG terminalId, ULONG type) {
    WCHAR name[NODE_VALUE_NAME_CCH];
    FormatTerminalValueName(name, terminalId);
    return SettingsBinaryValue(deviceObject, SETTINGS_OP_WRITE, &type, sizeof(ULONG), name);
}

ULONG ReadSettingsSwitch(PDEVICE_OBJECT deviceObject, PCWSTR name) {
    ULONG value = 0;
    if (!NT_SUCCESS(SettingsNumberValue(deviceObject, SETTINGS_OP_READ, &value, sizeof(value),
                                        name))) {
        return 0;
    }
    return value;
}

void NotifyControlChange(PVOID callbackObject, ULONG unitId) {
    if (callbackObject == NULL) {
        return;
    }
    AUDIOHAL_NOTIFICATION notification = {AUDIOHAL_NOTIFY_CONTROL_CHANGE, AUDIOHAL_NOTIFY_CODE,
                                          unitId, 0};
    ExNotifyCallback(static_cast<PCALLBACK_OBJECT>(callbackObject), &notification, NULL);
}
