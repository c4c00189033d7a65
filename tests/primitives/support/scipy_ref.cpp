#include "tests/primitives/support/scipy_ref.h"

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>

namespace sptest {

const char* const kScipyMissing = "python3-scipy missing: run scripts/setup";

namespace {

bool modifiedTime(const std::string& path, struct timespec* t) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    *t = st.st_mtim;
    return true;
}

bool newer(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

bool stampCurrent(const std::string& script, const std::string& stamp) {
    struct timespec s, t;
    return modifiedTime(script, &s) && modifiedTime(stamp, &t) && newer(t, s);
}

}  // namespace

bool runScipyScript(const std::string& script) {
    static std::mutex lock;
    std::lock_guard<std::mutex> guard(lock);
    const std::string path = std::string(SP_REF_SCRIPT_DIR) + "/" + script;
    const std::string out = SP_REF_OUTPUT_DIR;
    const std::string stamp = out + "/" + script + ".done";
    if (stampCurrent(path, stamp)) return true;
    mkdir(out.c_str(), 0755);
    if (std::system("/usr/bin/python3 -c 'import numpy, scipy.signal' >/dev/null 2>&1") != 0) {
        return false;
    }
    const std::string command = "/usr/bin/python3 " + path + " " + out;
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "reference script failed: %s\n", command.c_str());
        return false;
    }
    std::ofstream(stamp) << "ok\n";
    return true;
}

// File format (spref_arrays.py): repeated records of a uint32 name length,
// the name, a uint32 element count and that many little-endian float64.
RefArrays readRefArrays(const std::string& file) {
    RefArrays arrays;
    std::ifstream in(std::string(SP_REF_OUTPUT_DIR) + "/" + file, std::ios::binary);
    uint32_t nameLen = 0;
    while (in.read(reinterpret_cast<char*>(&nameLen), 4)) {
        std::string name(nameLen, '\0');
        uint32_t count = 0;
        if (!in.read(&name[0], nameLen) || !in.read(reinterpret_cast<char*>(&count), 4)) break;
        std::vector<double> values(count);
        if (count != 0 && !in.read(reinterpret_cast<char*>(values.data()), 8 * count)) break;
        arrays[name] = std::move(values);
    }
    return arrays;
}

}  // namespace sptest
