// In-memory stand-in for the "Settings" accessors of the device core, for
// tests that keep the registry out of the way: values by name with their
// registry type, read by the store's own read rules (adapter/settings_value.h).
#pragma once

#include <string>
#include <vector>

#include "nt/types.h"
#include "nt/zw.h"

namespace fakes {
void SettingsClear();
void SettingsSet(const std::u16string& name, const std::vector<UCHAR>& bytes, ULONG type = REG_BINARY);
bool SettingsGet(const std::u16string& name, std::vector<UCHAR>* bytes);
// Reads served so far (any name), for tests of who reads what.
ULONG SettingsReadCount();
}  // namespace fakes
