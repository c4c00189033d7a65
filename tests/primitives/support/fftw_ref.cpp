#include "tests/primitives/support/fftw_ref.h"

#include <cmath>
#include <complex>
#include <cstddef>

#ifdef SP_HAVE_FFTW
#include <fftw3.h>
#endif

namespace sptest {

const char* const kFftwMissing = "FFTW references not built (libfftw3-dev or pkgconf missing): run scripts/setup";

std::vector<double> toDouble(const std::vector<float>& v) {
    return std::vector<double>(v.begin(), v.end());
}

double relativeRmsError(const std::vector<float>& got, const std::vector<double>& ref) {
    double err = 0.0, mag = 0.0;
    for (size_t i = 0; i < ref.size(); ++i) {
        const double d = static_cast<double>(got[i]) - ref[i];
        err += d * d;
        mag += ref[i] * ref[i];
    }
    if (mag == 0.0) return err == 0.0 ? 0.0 : INFINITY;
    return std::sqrt(err / mag);
}

#ifdef SP_HAVE_FFTW

bool fftwAvailable() { return true; }

namespace {

// One FFTW flavour (double or float) behind the same three transforms.
template <typename R>
struct Api;

template <>
struct Api<double> {
    using Complex = fftw_complex;
    using Plan = fftw_plan;
    static void* alloc(size_t bytes) { return fftw_malloc(bytes); }
    static void release(void* p) { fftw_free(p); }
    static Plan r2c(int n, double* in, Complex* out) {
        return fftw_plan_dft_r2c_1d(n, in, out, FFTW_ESTIMATE);
    }
    static Plan c2r(int n, Complex* in, double* out) {
        return fftw_plan_dft_c2r_1d(n, in, out, FFTW_ESTIMATE | FFTW_PRESERVE_INPUT);
    }
    static Plan c2c(int n, Complex* in, Complex* out) {
        return fftw_plan_dft_1d(n, in, out, FFTW_FORWARD, FFTW_ESTIMATE);
    }
    static void execute(Plan p) { fftw_execute(p); }
    static void destroy(Plan p) { fftw_destroy_plan(p); }
};

template <>
struct Api<float> {
    using Complex = fftwf_complex;
    using Plan = fftwf_plan;
    static void* alloc(size_t bytes) { return fftwf_malloc(bytes); }
    static void release(void* p) { fftwf_free(p); }
    static Plan r2c(int n, float* in, Complex* out) {
        return fftwf_plan_dft_r2c_1d(n, in, out, FFTW_ESTIMATE);
    }
    static Plan c2r(int n, Complex* in, float* out) {
        return fftwf_plan_dft_c2r_1d(n, in, out, FFTW_ESTIMATE | FFTW_PRESERVE_INPUT);
    }
    static Plan c2c(int n, Complex* in, Complex* out) {
        return fftwf_plan_dft_1d(n, in, out, FFTW_FORWARD, FFTW_ESTIMATE);
    }
    static void execute(Plan p) { fftwf_execute(p); }
    static void destroy(Plan p) { fftwf_destroy_plan(p); }
};

template <typename R>
std::vector<R> realForward(const std::vector<R>& x) {
    using A = Api<R>;
    const int N = static_cast<int>(x.size());
    R* in = static_cast<R*>(A::alloc(sizeof(R) * N));
    auto* out = static_cast<typename A::Complex*>(A::alloc(sizeof(typename A::Complex) * (N / 2 + 1)));
    auto plan = A::r2c(N, in, out);  // planned before the input is filled
    for (int i = 0; i < N; ++i) in[i] = x[i];
    A::execute(plan);
    std::vector<R> packed(N);
    packed[0] = out[0][0];
    if (N >= 2) packed[1] = out[N / 2][0];
    for (int k = 1; k < N / 2; ++k) {
        packed[2 * k] = out[k][0];
        packed[2 * k + 1] = out[k][1];
    }
    A::destroy(plan);
    A::release(in);
    A::release(out);
    return packed;
}

template <typename R>
std::vector<R> realInverse(const std::vector<R>& packed) {
    using A = Api<R>;
    const int N = static_cast<int>(packed.size());
    auto* in = static_cast<typename A::Complex*>(A::alloc(sizeof(typename A::Complex) * (N / 2 + 1)));
    R* out = static_cast<R*>(A::alloc(sizeof(R) * N));
    auto plan = A::c2r(N, in, out);
    in[0][0] = packed[0];
    in[0][1] = 0;
    if (N >= 2) {
        in[N / 2][0] = packed[1];
        in[N / 2][1] = 0;
    }
    for (int k = 1; k < N / 2; ++k) {
        in[k][0] = packed[2 * k];
        in[k][1] = packed[2 * k + 1];
    }
    A::execute(plan);
    std::vector<R> x(out, out + N);
    A::destroy(plan);
    A::release(in);
    A::release(out);
    return x;
}

template <typename R>
std::vector<R> complexForward(const std::vector<R>& z) {
    using A = Api<R>;
    const int n = static_cast<int>(z.size() / 2);
    auto* in = static_cast<typename A::Complex*>(A::alloc(sizeof(typename A::Complex) * n));
    auto* out = static_cast<typename A::Complex*>(A::alloc(sizeof(typename A::Complex) * n));
    auto plan = A::c2c(n, in, out);
    for (int i = 0; i < n; ++i) {
        in[i][0] = z[2 * i];
        in[i][1] = z[2 * i + 1];
    }
    A::execute(plan);
    std::vector<R> y(2 * n);
    for (int i = 0; i < n; ++i) {
        y[2 * i] = out[i][0];
        y[2 * i + 1] = out[i][1];
    }
    A::destroy(plan);
    A::release(in);
    A::release(out);
    return y;
}

}  // namespace

std::vector<double> fftwRealForward(const std::vector<double>& x) { return realForward(x); }
std::vector<double> fftwRealInverse(const std::vector<double>& p) { return realInverse(p); }
std::vector<double> fftwComplexForward(const std::vector<double>& z) { return complexForward(z); }
std::vector<float> fftwfRealForward(const std::vector<float>& x) { return realForward(x); }
std::vector<float> fftwfRealInverse(const std::vector<float>& p) { return realInverse(p); }
std::vector<float> fftwfComplexForward(const std::vector<float>& z) { return complexForward(z); }

#else  // !SP_HAVE_FFTW

bool fftwAvailable() { return false; }
std::vector<double> fftwRealForward(const std::vector<double>&) { return {}; }
std::vector<double> fftwRealInverse(const std::vector<double>&) { return {}; }
std::vector<double> fftwComplexForward(const std::vector<double>&) { return {}; }
std::vector<float> fftwfRealForward(const std::vector<float>&) { return {}; }
std::vector<float> fftwfRealInverse(const std::vector<float>&) { return {}; }
std::vector<float> fftwfComplexForward(const std::vector<float>&) { return {}; }

#endif

}  // namespace sptest
