// Peer implementations for the FFT and filter benchmarks: real transforms on
// fftwf (FFTW_MEASURE, planned once) and KissFFT, overlap-save FIR filters on
// each with the same N and B as the library's FFT path, and liquid-dsp's
// filters.
#pragma once

#include <complex>
#include <functional>
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

// A liquid-dsp filter object, made once, and the call a benchmark times:
// peer(x, y, n) filters n inputs into y and keeps the object's history. The
// call is empty when liquid-dsp (libliquid-dev) was not found at configure
// time or refused the filter; the benchmarks then skip with a message.
// Taps are in the library's order (taps[0] multiplies the newest input).
using LiquidPeer = std::function<void(const float* x, float* y, int n)>;

bool liquidFound();
// firfilt_rrrf_execute_block over the n inputs.
LiquidPeer liquidFirBlock(const std::vector<float>& taps);
// firfilt_rrrf_push then firfilt_rrrf_execute for each of the n inputs.
LiquidPeer liquidFirSteps(const std::vector<float>& taps);
// fftfilt_rrrf with blocks of `block` inputs (transforms of 2 x block
// points); n is a multiple of block.
LiquidPeer liquidFftFir(const std::vector<float>& taps, int block);
// firdecim_rrrf_execute_block: n x down inputs give n outputs.
LiquidPeer liquidDecimator(const std::vector<float>& taps, int down);
// firinterp_rrrf_execute_block: n inputs give n x up outputs.
LiquidPeer liquidInterpolator(const std::vector<float>& taps, int up);
// iirfilt_rrrf from b0..bN, a0..aN (execute_block).
LiquidPeer liquidIir(const std::vector<float>& b, const std::vector<float>& a);
// iirfilt_rrrf_create_sos: b and a hold three floats per section
// (b0 b1 b2, a0 a1 a2).
LiquidPeer liquidIirSections(const std::vector<float>& b, const std::vector<float>& a);

}  // namespace spbench
