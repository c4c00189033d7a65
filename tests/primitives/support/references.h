// Independent references for primitive tests.
//
// numpy: a script under tests/primitives/ref/ runs once per test process
// through /usr/bin/python3 (not the first python3 on PATH) and writes case
// files into the build tree; tests replay them. Without numpy the test skips
// with "python3-numpy missing: run scripts/setup".
//
// MPFR: correctly rounded references, built when CMake finds libmpfr
// (SP_HAVE_MPFR); otherwise mpfrAvailable() is false and one test says so.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sptest {

// Runs `script` (a file name under tests/primitives/ref/) once per process
// with the output directory as its argument; true when it succeeded.
bool runNumpyScript(const std::string& script);
// Message of the skip when runNumpyScript failed because numpy is absent.
extern const char* const kNumpyMissing;
// Directory the scripts write to.
std::string refOutputDir();
// Whole file from refOutputDir(); empty when missing.
std::vector<uint8_t> readRefFile(const std::string& name);

#define SP_REQUIRE_NUMPY(script)                                 \
    do {                                                         \
        if (!::sptest::runNumpyScript(script)) GTEST_SKIP() << ::sptest::kNumpyMissing; \
    } while (0)

bool mpfrAvailable();
// Exactly rounded to double (MPFR at 256 bits, then nearest).
double mpfrPow(double x, double y);
double mpfrExp(double x);
double mpfrLog(double x);
// Exactly rounded to float.
float mpfrPowF(float x, float y);

}  // namespace sptest
