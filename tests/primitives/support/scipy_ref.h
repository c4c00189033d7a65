// scipy references of the FFT and filter tests. A case script under
// tests/primitives/ref/ runs through /usr/bin/python3 (never the first
// python3 on PATH) and writes named float64 arrays into the build tree
// (helper module spref_arrays.py); the tests replay them. A script runs at
// most once per build-tree state: a stamp newer than the script marks its
// output as current, so the many processes of one ctest run share one run.
// Without scipy the tests skip with kScipyMissing.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace sptest {

extern const char* const kScipyMissing;

// Runs the script unless its stamp is current; true when its output exists.
bool runScipyScript(const std::string& script);

#define SP_REQUIRE_SCIPY(script)                                                        \
    do {                                                                                \
        if (!::sptest::runScipyScript(script)) GTEST_SKIP() << ::sptest::kScipyMissing; \
    } while (0)

// The arrays of one output file by name; empty when the file is missing.
using RefArrays = std::map<std::string, std::vector<double>>;
RefArrays readRefArrays(const std::string& file);

}  // namespace sptest
