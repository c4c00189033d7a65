#include "bench/primitives/fft/peers.h"

#include <fftw3.h>
#include <kiss_fftr.h>

#include <algorithm>
#include <cstring>

namespace spbench {

FftwfReal::FftwfReal(int n) {
    time_ = fftwf_alloc_real(n);
    freq_ = reinterpret_cast<std::complex<float>*>(fftwf_alloc_complex(n / 2 + 1));
    auto* f = reinterpret_cast<fftwf_complex*>(freq_);
    fwd_ = fftwf_plan_dft_r2c_1d(n, time_, f, FFTW_MEASURE);  // planning overwrites the arrays
    inv_ = fftwf_plan_dft_c2r_1d(n, f, time_, FFTW_MEASURE);
    std::fill(time_, time_ + n, 0.0f);
    std::fill(freq_, freq_ + n / 2 + 1, std::complex<float>());
}

FftwfReal::~FftwfReal() {
    fftwf_destroy_plan(fwd_);
    fftwf_destroy_plan(inv_);
    fftwf_free(time_);
    fftwf_free(freq_);
}

void FftwfReal::forward() { fftwf_execute(fwd_); }
void FftwfReal::inverse() { fftwf_execute(inv_); }

KissReal::KissReal(int n) : time_(n), freq_(n / 2 + 1) {
    fwd_ = kiss_fftr_alloc(n, 0, nullptr, nullptr);
    inv_ = kiss_fftr_alloc(n, 1, nullptr, nullptr);
}

KissReal::~KissReal() {
    kiss_fftr_free(fwd_);
    kiss_fftr_free(inv_);
}

void KissReal::forward() { kiss_fftr(fwd_, time_.data(), reinterpret_cast<kiss_fft_cpx*>(freq_.data())); }
void KissReal::inverse() { kiss_fftri(inv_, reinterpret_cast<kiss_fft_cpx*>(freq_.data()), time_.data()); }

template <typename Fft>
OverlapSave<Fft>::OverlapSave(const std::vector<float>& taps, int N)
    : N_(N), L_(static_cast<int>(taps.size())), B_(N - L_ + 1), fft_(N), history_(L_ - 1, 0.0f) {
    std::fill(fft_.time(), fft_.time() + N, 0.0f);
    std::copy(taps.begin(), taps.end(), fft_.time());
    fft_.forward();
    spectrum_.assign(fft_.freq(), fft_.freq() + N / 2 + 1);
    for (auto& c : spectrum_) c /= static_cast<float>(N);  // the inverse is unscaled
}

template <typename Fft>
void OverlapSave<Fft>::filter(const float* src, float* dst, int n) {
    float* t = fft_.time();
    for (int done = 0; done < n; done += B_) {
        const int count = std::min(B_, n - done);
        std::copy(history_.begin(), history_.end(), t);
        std::copy(src + done, src + done + count, t + (L_ - 1));
        std::fill(t + (L_ - 1) + count, t + N_, 0.0f);
        // The history for the next block: the last L - 1 inputs so far.
        std::copy(t + count, t + count + (L_ - 1), history_.begin());
        fft_.forward();
        std::complex<float>* f = fft_.freq();
        for (int k = 0; k <= N_ / 2; ++k) f[k] *= spectrum_[k];
        fft_.inverse();
        std::copy(t + (L_ - 1), t + (L_ - 1) + count, dst + done);
    }
}

template class OverlapSave<FftwfReal>;
template class OverlapSave<KissReal>;

}  // namespace spbench
