// In-memory stand-in for the "Settings" accessors of the device core, for
// tests that keep the registry out of the way: values by name, REG_BINARY
// bytes, with the store's read rules (a value longer than the buffer
// fails, a shorter one fills only its own bytes).
#pragma once

#include <string>
#include <vector>

#include "nt/types.h"

namespace fakes {
void SettingsClear();
void SettingsSet(const std::u16string& name, const std::vector<UCHAR>& bytes);
bool SettingsGet(const std::u16string& name, std::vector<UCHAR>* bytes);
// Reads served so far (any name), for tests of who reads what.
ULONG SettingsReadCount();
}  // namespace fakes
