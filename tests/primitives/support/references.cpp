#include "tests/primitives/support/references.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <sys/stat.h>

#ifdef SP_HAVE_MPFR
#include <mpfr.h>
#endif

namespace sptest {

const char* const kNumpyMissing = "python3-numpy missing: run scripts/setup";

std::string refOutputDir() { return SP_REF_OUTPUT_DIR; }

bool runNumpyScript(const std::string& script) {
    static std::mutex lock;
    static std::map<std::string, bool> done;
    std::lock_guard<std::mutex> guard(lock);
    auto it = done.find(script);
    if (it != done.end()) return it->second;
    mkdir(SP_REF_OUTPUT_DIR, 0755);
    bool ok = std::system("/usr/bin/python3 -c 'import numpy' >/dev/null 2>&1") == 0;
    if (ok) {
        std::string command = std::string("/usr/bin/python3 ") + SP_REF_SCRIPT_DIR + "/" + script + " " +
                              SP_REF_OUTPUT_DIR;
        ok = std::system(command.c_str()) == 0;
        if (!ok) std::fprintf(stderr, "reference script failed: %s\n", command.c_str());
    }
    done[script] = ok;
    return ok;
}

std::vector<uint8_t> readRefFile(const std::string& name) {
    std::ifstream in(refOutputDir() + "/" + name, std::ios::binary);
    if (!in) return {};
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

#ifdef SP_HAVE_MPFR
namespace {
constexpr mpfr_prec_t kPrecision = 256;

template <typename Op>
double viaMpfr(Op op) {
    mpfr_t r;
    mpfr_init2(r, kPrecision);
    op(r);
    double d = mpfr_get_d(r, MPFR_RNDN);
    mpfr_clear(r);
    return d;
}
}  // namespace

bool mpfrAvailable() { return true; }

double mpfrPow(double x, double y) {
    return viaMpfr([&](mpfr_t r) {
        mpfr_t a, b;
        mpfr_init2(a, 64);
        mpfr_init2(b, 64);
        mpfr_set_d(a, x, MPFR_RNDN);
        mpfr_set_d(b, y, MPFR_RNDN);
        mpfr_pow(r, a, b, MPFR_RNDN);
        mpfr_clear(a);
        mpfr_clear(b);
    });
}

double mpfrExp(double x) {
    return viaMpfr([&](mpfr_t r) {
        mpfr_set_d(r, x, MPFR_RNDN);
        mpfr_exp(r, r, MPFR_RNDN);
    });
}

double mpfrLog(double x) {
    return viaMpfr([&](mpfr_t r) {
        mpfr_set_d(r, x, MPFR_RNDN);
        mpfr_log(r, r, MPFR_RNDN);
    });
}

float mpfrPowF(float x, float y) {
    mpfr_t a, b, r;
    mpfr_inits2(64, a, b, (mpfr_ptr)0);
    mpfr_init2(r, 24);
    mpfr_set_flt(a, x, MPFR_RNDN);
    mpfr_set_flt(b, y, MPFR_RNDN);
    mpfr_set_emin(-148);
    mpfr_set_emax(128);
    int t = mpfr_pow(r, a, b, MPFR_RNDN);
    mpfr_subnormalize(r, t, MPFR_RNDN);
    float f = mpfr_get_flt(r, MPFR_RNDN);
    mpfr_set_emin(mpfr_get_emin_min());
    mpfr_set_emax(mpfr_get_emax_max());
    mpfr_clears(a, b, r, (mpfr_ptr)0);
    return f;
}
#else
bool mpfrAvailable() { return false; }
double mpfrPow(double, double) { return 0.0; }
double mpfrExp(double) { return 0.0; }
double mpfrLog(double) { return 0.0; }
float mpfrPowF(float, float) { return 0.0f; }
#endif

}  // namespace sptest
