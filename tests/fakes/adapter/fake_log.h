// One ordered log of what the adapter fakes saw ("unit:5:apply",
// "engine0:remove", "model:stop", ...), so tests can check calls and their
// order across objects. Reset by each fixture.
#pragma once

#include <string>
#include <vector>

namespace fakes {

std::vector<std::string>& Log();
void Note(const std::string& entry);
void ClearLog();
// Entries that begin with prefix, in order.
std::vector<std::string> LogWith(const std::string& prefix);
// How many entries equal entry.
int LogCount(const std::string& entry);

}  // namespace fakes
