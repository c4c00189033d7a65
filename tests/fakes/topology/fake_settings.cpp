// In-memory "Settings" values.
#include "tests/fakes/topology/fake_settings.h"

#include <map>
#include <mutex>

#include "adapter/audio_hal.h"
#include "adapter/settings_value.h"
#include "nt/rtl.h"

namespace {
std::mutex g_Lock;
struct StoredValue {
    ULONG type;
    std::vector<UCHAR> bytes;
};
std::map<std::u16string, StoredValue> g_Values;
ULONG g_Reads = 0;

std::u16string Lower(PCWSTR name) {
    std::u16string s;
    for (; name != NULL && *name; ++name) {
        WCHAR c = *name;
        s.push_back(c >= u'A' && c <= u'Z' ? (WCHAR)(c - u'A' + u'a') : c);
    }
    return s;
}
}  // namespace

namespace fakes {
void SettingsClear() {
    std::lock_guard<std::mutex> guard(g_Lock);
    g_Values.clear();
    g_Reads = 0;
}
void SettingsSet(const std::u16string& name, const std::vector<UCHAR>& bytes, ULONG type) {
    std::lock_guard<std::mutex> guard(g_Lock);
    g_Values[Lower(name.c_str())] = {type, bytes};
}
bool SettingsGet(const std::u16string& name, std::vector<UCHAR>* bytes) {
    std::lock_guard<std::mutex> guard(g_Lock);
    auto it = g_Values.find(Lower(name.c_str()));
    if (it == g_Values.end()) {
        return false;
    }
    *bytes = it->second.bytes;
    return true;
}
ULONG SettingsReadCount() {
    std::lock_guard<std::mutex> guard(g_Lock);
    return g_Reads;
}
}  // namespace fakes

NTSTATUS AccessSettingsValue(PDEVICE_OBJECT fdo, ULONG op, PCWSTR subkey, PCWSTR valueName, ULONG type,
                             PVOID buffer, ULONG length) {
    UNREFERENCED_PARAMETER(fdo);
    std::u16string name = Lower(subkey ? subkey : u"") + u"\\" + Lower(valueName);
    if (subkey == NULL) {
        name = Lower(valueName);
    }
    std::lock_guard<std::mutex> guard(g_Lock);
    if (op == SETTINGS_OP_WRITE) {
        const UCHAR* p = static_cast<const UCHAR*>(buffer);
        g_Values[name] = {type, std::vector<UCHAR>(p, p + length)};
        return STATUS_SUCCESS;
    }
    if (op != SETTINGS_OP_READ) {
        return STATUS_INVALID_PARAMETER;
    }
    g_Reads++;
    auto it = g_Values.find(name);
    if (it == g_Values.end()) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    const std::vector<UCHAR>& bytes = it->second.bytes;
    return TakeStoredValue(valueName, type, it->second.type, bytes.data(), (ULONG)bytes.size(), buffer, length);
}

NTSTATUS SettingsBinaryValue(PDEVICE_OBJECT fdo, ULONG op, PVOID buffer, ULONG length, PCWSTR valueName) {
    return AccessSettingsValue(fdo, op, NULL, valueName, REG_BINARY, buffer, length);
}

NTSTATUS SettingsBinaryValueIndexed(PDEVICE_OBJECT fdo, ULONG op, PVOID buffer, ULONG length,
                                    PCWSTR baseName, LONG index) {
    WCHAR name[50];
    NTSTATUS status = RtlStringCchPrintfW(name, 50, u"%s%d", baseName, (int)index);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return SettingsBinaryValue(fdo, op, buffer, length, name);
}
