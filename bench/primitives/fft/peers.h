// Peer implementations for the FFT benchmarks: real transforms on fftwf
// (FFTW_MEASURE, planned once) and KissFFT, and overlap-save FIR filters on
// each with the same N and B as the library's FFT path.
#pragma once

#include <complex>
#include <vector>

struct fftwf_plan_s;
struct kiss_fftr_state;

namespace spbench {

// Real forward and inverse transforms of n points, out of place.
class FftwfReal {
public:
    explicit FftwfReal(int n);
    ~FftwfReal();
    FftwfReal(const FftwfReal&) = delete;
    FftwfReal& operator=(const FftwfReal&) = delete;
    float* time() { return time_; }
    void forward();  // time -> freq
    void inverse();  // freq -> time (unscaled)
    std::complex<float>* freq() { return freq_; }

private:
    float* time_;
    std::complex<float>* freq_;
    fftwf_plan_s* fwd_;
    fftwf_plan_s* inv_;
};

class KissReal {
public:
    explicit KissReal(int n);
    ~KissReal();
    KissReal(const KissReal&) = delete;
    KissReal& operator=(const KissReal&) = delete;
    float* time() { return time_.data(); }
    std::complex<float>* freq() { return freq_.data(); }
    void forward();
    void inverse();

private:
    std::vector<float> time_;
    std::vector<std::complex<float>> freq_;
    kiss_fftr_state* fwd_;
    kiss_fftr_state* inv_;
};

// Overlap-save FIR of L taps with transforms of N points: B = N - L + 1 new
// outputs per transform pair; keeps the last L - 1 inputs between calls.
template <typename Fft>
class OverlapSave {
public:
    OverlapSave(const std::vector<float>& taps, int N);
    void filter(const float* src, float* dst, int n);

private:
    int N_, L_, B_;
    Fft fft_;
    std::vector<std::complex<float>> spectrum_;
    std::vector<float> history_;
};

extern template class OverlapSave<FftwfReal>;
extern template class OverlapSave<KissReal>;

}  // namespace spbench
