// The largest FFT errors per order and build, printed as a table: complex
// forward and real forward and inverse of orders 0 to 22 through the
// public entries under each dispatch index (generic and builds 1-3), over
// every scaling flag and two seeded inputs. The error is the relative RMS
// error against FFTW double that the accuracy bound uses; fftwf's column is
// its own largest error on the same inputs. Every error is also checked
// against the bound max(1.5e-7 log2 N, 4 x fftwf's error). Opt-in
// (ctest -L opt-in, a few minutes): run it to refresh the table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

#include "primitives/vector/entry_table_b.h"
#include "tests/primitives/fft/fft_test_util.h"
#include "tests/primitives/support/dispatch.h"
#include "tests/primitives/support/fftw_ref.h"

namespace {

using sptest::FftKind;

const int kFlags[] = {SP_FFT_DIV_FWD_BY_N, SP_FFT_DIV_INV_BY_N, SP_FFT_DIV_BY_SQRTN, SP_FFT_NODIV_BY_ANY};
const uint32_t kSeeds[] = {7000u, 7001u};
constexpr int kLastOrder = 22;

// Our transform of x under the current dispatch index.
std::vector<float> ours(FftKind kind, const SpFftSpec* spec, const std::vector<float>& x) {
    std::vector<float> out(x);
    std::vector<uint8_t> work(static_cast<size_t>(std::max(spec->workSize, 0)) + 64);
    SpStatus st = SP_STS_OK;
    if (kind == FftKind::Complex) {
        st = spComplexFftForward(x.data(), out.data(), spec, work.data());
    } else if (kind == FftKind::RealForward) {
        st = spRealFftForward(out.data(), spec, work.data());
    } else {
        st = spRealFftInverse(out.data(), spec, work.data());
    }
    EXPECT_EQ(st, SP_STS_OK);
    return out;
}

struct Reference {
    std::vector<double> exact;  // FFTW double, unscaled
    std::vector<float> peer;    // fftwf, unscaled
};

Reference reference(FftKind kind, const std::vector<float>& x) {
    const std::vector<double> xd = sptest::toDouble(x);
    if (kind == FftKind::Complex) return {sptest::fftwComplexForward(xd), sptest::fftwfComplexForward(x)};
    if (kind == FftKind::RealForward) return {sptest::fftwRealForward(xd), sptest::fftwfRealForward(x)};
    return {sptest::fftwRealInverse(xd), sptest::fftwfRealInverse(x)};
}

bool scalesThisDirection(const SpFftSpec* spec, FftKind kind) {
    return (kind == FftKind::RealInverse ? spec->scaleInv : spec->scaleFwd) == 1;
}

struct Row {
    double peer = 0.0;
    double build[SP_BUILD_COUNT] = {};
};

// The largest errors of one kind and order over flags and seeds.
Row measure(FftKind kind, int order) {
    Row row;
    const size_t count = (kind == FftKind::Complex ? size_t{2} : size_t{1}) << order;
    for (uint32_t seed : kSeeds) {
        const std::vector<float> x = sptest::seededFloats(count, seed + static_cast<uint32_t>(order));
        const Reference ref = reference(kind, x);
        for (int flag : kFlags) {
            for (int build = 0; build < SP_BUILD_COUNT; ++build) {
                if (!sptest::cpuHasBuild(build)) continue;
                const sptest::ScopedDispatchIndex index(build);
                const sptest::CreatedSpec spec(kind, order, flag);
                EXPECT_EQ(spec.status(), SP_STS_OK);
                std::vector<double> exact = ref.exact;
                std::vector<float> peer = ref.peer;
                if (scalesThisDirection(spec.get(), kind)) {
                    const float s = spec.get()->scale;
                    for (double& v : exact) v *= static_cast<double>(s);
                    for (float& v : peer) v *= s;
                }
                const double peerError = sptest::relativeRmsError(peer, exact);
                const double error = sptest::relativeRmsError(ours(kind, spec.get(), x), exact);
                EXPECT_LE(error, std::max(1.5e-7 * order, 4.0 * peerError))
                    << "order " << order << " build " << build << " flag " << flag << " seed " << seed;
                row.peer = std::max(row.peer, peerError);
                row.build[build] = std::max(row.build[build], error);
            }
        }
    }
    return row;
}

TEST(FftErrorTable, LargestErrorsPerOrderAndBuild) {
    SP_REQUIRE_FFTW();
    static const char* const kNames[] = {"real forward", "real inverse", "complex forward"};
    for (FftKind kind : {FftKind::Complex, FftKind::RealForward, FftKind::RealInverse}) {
        std::printf("\n%s: largest relative RMS error against FFTW double\n", kNames[static_cast<int>(kind)]);
        std::printf("| order | fftwf | generic | build 1 | build 2 | build 3 |\n|---|---|---|---|---|---|\n");
        for (int order = 0; order <= kLastOrder; ++order) {
            const Row row = measure(kind, order);
            std::printf("| %d | %.3g |", order, row.peer);
            for (int build = 0; build < SP_BUILD_COUNT; ++build) {
                if (sptest::cpuHasBuild(build)) {
                    std::printf(" %.3g |", row.build[build]);
                } else {
                    std::printf(" - |");
                }
            }
            std::printf("\n");
            std::fflush(stdout);
        }
    }
}

}  // namespace
