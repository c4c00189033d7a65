// The fakes' shared log. Fakes may note from managed threads other than
// the test's, so the log is locked.
#include "tests/fakes/adapter/fake_log.h"

#include <mutex>

namespace fakes {

namespace {
std::mutex g_Lock;
}

std::vector<std::string>& Log() {
    static std::vector<std::string> log;
    return log;
}

void Note(const std::string& entry) {
    std::lock_guard<std::mutex> guard(g_Lock);
    Log().push_back(entry);
}

void ClearLog() {
    std::lock_guard<std::mutex> guard(g_Lock);
    Log().clear();
}

std::vector<std::string> LogWith(const std::string& prefix) {
    std::lock_guard<std::mutex> guard(g_Lock);
    std::vector<std::string> out;
    for (const std::string& e : Log())
        if (e.compare(0, prefix.size(), prefix) == 0) out.push_back(e);
    return out;
}

int LogCount(const std::string& entry) {
    std::lock_guard<std::mutex> guard(g_Lock);
    int n = 0;
    for (const std::string& e : Log()) n += e == entry;
    return n;
}

}  // namespace fakes
