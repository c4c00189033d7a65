// FFTW references of the FFT tests. Double-precision FFTW is the truth;
// single-precision fftwf is the float baseline the accuracy bounds compare
// with. Spectra of real signals are given in the packed order of the
// primitives: [X0, X(N/2), Re X1, Im X1, ..., Re X(N/2-1), Im X(N/2-1)].
// Plans use FFTW_ESTIMATE and are made before the arrays are filled; the
// inverse keeps its input (FFTW_PRESERVE_INPUT). Not thread-safe (FFTW's
// planner is not): call from the test's own thread.
//
// Built only when CMake finds fftw3 through pkg-config (SP_HAVE_FFTW);
// otherwise fftwAvailable() is false and the tests skip with kFftwMissing.
#pragma once

#include <vector>

namespace sptest {

bool fftwAvailable();
extern const char* const kFftwMissing;

#define SP_REQUIRE_FFTW()                                                              \
    do {                                                                               \
        if (!::sptest::fftwAvailable()) GTEST_SKIP() << ::sptest::kFftwMissing;        \
    } while (0)

// Unscaled transforms of N = x.size() points (a power of two).
std::vector<double> fftwRealForward(const std::vector<double>& x);
// Inverse from a packed spectrum: x[t] = sum X[k] e^(+2 pi i k t/N), unscaled.
std::vector<double> fftwRealInverse(const std::vector<double>& packed);
// Forward complex transform of interleaved points.
std::vector<double> fftwComplexForward(const std::vector<double>& z);

// The same with fftwf, for the float baseline.
std::vector<float> fftwfRealForward(const std::vector<float>& x);
std::vector<float> fftwfRealInverse(const std::vector<float>& packed);
std::vector<float> fftwfComplexForward(const std::vector<float>& z);

// sqrt(sum (got - ref)^2 / sum ref^2); 0 when both are all zero.
double relativeRmsError(const std::vector<float>& got, const std::vector<double>& ref);

std::vector<double> toDouble(const std::vector<float>& v);

}  // namespace sptest
