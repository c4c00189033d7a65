// Headphone engine costs. Engine: CZvkHeadphone::Process with 512-frame
// calls at T = 14 (LARGE room), as the real-time factor (audio seconds per
// CPU second, counter rt_factor) and per-call time; the reload block; the
// worst of 480-frame calls. Convolution: CHeadphoneFir::Process against a
// plain uniformly partitioned overlap-save on fftwf (same partitions and
// mixes, complex multiply-accumulate), ratio = ours / peer in the same run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <complex>
#include <random>
#include <vector>

#include "bench/primitives/fft/peers.h"
#include "common/zvk/audioapp.h"
#include "common/zvk/headphonefir.h"
#include "common/zvk/zvkheadphone.h"
#include "nt/ke.h"
#include "sim/executor.h"

namespace {

constexpr ULONG kBenchTag = MakePoolTag("Zbch");
constexpr int N = HEADPHONEFIR_N;
using Clock = std::chrono::steady_clock;

struct Buffers {
    explicit Buffers(int frames) : data(8, std::vector<float>(static_cast<size_t>(frames))), table(8) {
        std::mt19937 rng(1);
        std::uniform_real_distribution<float> u(-0.5f, 0.5f);
        for (int c = 0; c < 8; ++c) {
            for (float& v : data[static_cast<size_t>(c)]) v = u(rng);
            table[static_cast<size_t>(c)] = data[static_cast<size_t>(c)].data();
        }
    }
    std::vector<std::vector<float>> data;
    std::vector<float*> table;
};

WAVEFORMATEX Format(int channels, int rate) {
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    f.nChannels = static_cast<WORD>(channels);
    f.nSamplesPerSec = static_cast<DWORD>(rate);
    return f;
}

// The node's creation sequence, then the LARGE room (T = 14), loaded.
CZvkHeadphone* MakeEngine(int channels, int rate) {
    auto* hp = new (NonPagedPoolNx, kBenchTag) CZvkHeadphone();
    WAVEFORMATEX f = Format(channels, rate);
    hp->SetFormat(&f);
    hp->SetEnable(1);
    hp->SetSpeakerMode(0);
    hp->SetHeadphoneAngle(3);
    hp->SetCTCAngle(0);
    hp->SetHeadphoneRoom(0);
    hp->SetTailEnable(1);
    Buffers warm(4096);
    hp->Process(warm.table.data(), 4096);
    return hp;
}

void BM_Engine(benchmark::State& state) {
    const int rate = static_cast<int>(state.range(0)), channels = static_cast<int>(state.range(1));
    CZvkHeadphone* hp = MakeEngine(channels, rate);
    Buffers io(N);
    const Buffers pristine(N);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    for (auto _ : state) {
        hp->Process(io.table.data(), N);
        benchmark::DoNotOptimize(io.data[0][0]);
        // Keep the input level: the engine's output replaces channels 0, 1.
        state.PauseTiming();
        io.data[0] = pristine.data[0];
        io.data[1] = pristine.data[1];
        state.ResumeTiming();
    }
    KeLowerIrql(old);
    state.counters["rt_factor"] = benchmark::Counter(static_cast<double>(N) / rate, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["block_ms"] = 1000.0 * N / rate;
    delete hp;
}
BENCHMARK(BM_Engine)->ArgNames({"rate", "ch"})
    ->Args({44100, 2})->Args({44100, 6})->Args({44100, 8})
    ->Args({48000, 2})->Args({48000, 6})->Args({48000, 8})->Args({96000, 8});

// A call that carries a response reload (and its crossfade), 44.1 kHz stereo.
void BM_EngineReloadBlock(benchmark::State& state) {
    CZvkHeadphone* hp = MakeEngine(2, 44100);
    Buffers io(N);
    int room = 0;
    for (auto _ : state) {
        state.PauseTiming();
        hp->SetHeadphoneRoom(room);
        room = (room + 1) % 3;
        state.ResumeTiming();
        hp->Process(io.table.data(), N);
    }
    delete hp;
}
BENCHMARK(BM_EngineReloadBlock);

// 480-frame calls at 48 kHz stereo: the mean and the worst call (the one
// that runs a block).
void BM_EngineWorstCall480(benchmark::State& state) {
    CZvkHeadphone* hp = MakeEngine(2, 48000);
    Buffers io(480);
    double worst = 0;
    for (auto _ : state) {
        auto t0 = Clock::now();
        hp->Process(io.table.data(), 480);
        worst = std::max(worst, std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    state.counters["worst_us"] = worst;
    delete hp;
}
BENCHMARK(BM_EngineWorstCall480);

// Plain overlap-save peer: per group a [previous | current] frame through
// fftwf r2c, head rings of H = 2 spectra, a tail ring of the groups' sum,
// complex multiply-accumulate, c2r and the output gain.
class PeerConvolver {
public:
    PeerConvolver(const HrtfSelection& sel, int groups)
        : fft_(2 * N), groups_(groups), tailParts_(sel.tailen / N),
          head_(static_cast<size_t>(2 * groups * 2)), tail_(static_cast<size_t>(2 * tailParts_)),
          headRing_(static_cast<size_t>(groups * 2), Spectrum(kBins)), tailRing_(static_cast<size_t>(tailParts_), Spectrum(kBins)),
          prev_(static_cast<size_t>(groups), std::vector<float>(N, 0.0f)) {
        for (int r = 0; r < 2 * groups; ++r)
            for (int p = 0; p < 2; ++p) head_[static_cast<size_t>(2 * r + p)] = Transform(sel.head + r * kHrtfHeadLen + p * N);
        for (int e = 0; e < 2; ++e)
            for (int p = 0; p < tailParts_; ++p)
                tail_[static_cast<size_t>(e * tailParts_ + p)] = Transform(sel.tail + e * sel.tailen + p * N);
    }

    void Process(float** out, float** group) {
        // The slot leaving the head window feeds the tail ring.
        Spectrum& tailIn = tailRing_[static_cast<size_t>(t_)];
        std::fill(tailIn.begin(), tailIn.end(), std::complex<float>());
        for (int g = 0; g < groups_; ++g)
            for (size_t k = 0; k < kBins; ++k) tailIn[k] += headRing_[static_cast<size_t>(2 * g + h_)][k];
        for (int g = 0; g < groups_; ++g) {
            std::copy_n(prev_[static_cast<size_t>(g)].data(), N, fft_.time());
            std::copy_n(group[g], N, fft_.time() + N);
            std::copy_n(group[g], N, prev_[static_cast<size_t>(g)].data());
            fft_.forward();
            std::copy_n(fft_.freq(), kBins, headRing_[static_cast<size_t>(2 * g + h_)].begin());
        }
        for (int e = 0; e < 2; ++e) {
            Spectrum acc(kBins);
            for (int g = 0; g < groups_; ++g)
                for (int i = 0; i < 2; ++i)
                    Mac(acc, head_[static_cast<size_t>(2 * (2 * g + e) + i)], headRing_[static_cast<size_t>(2 * g + (h_ + i) % 2)]);
            for (int i = 0; i < tailParts_; ++i)
                Mac(acc, tail_[static_cast<size_t>(e * tailParts_ + i)], tailRing_[static_cast<size_t>((t_ + i) % tailParts_)]);
            std::copy(acc.begin(), acc.end(), fft_.freq());
            fft_.inverse();
            for (int n = 0; n < N; ++n) out[e][n] = fft_.time()[N + n] * (2.0f / (2 * N));
        }
        h_ = (h_ + 1) % 2;
        t_ = (t_ - 1 + tailParts_) % tailParts_;
    }

private:
    static constexpr size_t kBins = N + 1;
    using Spectrum = std::vector<std::complex<float>>;

    Spectrum Transform(const float* taps) {
        std::copy_n(taps, N, fft_.time());
        std::fill(fft_.time() + N, fft_.time() + 2 * N, 0.0f);
        fft_.forward();
        return Spectrum(fft_.freq(), fft_.freq() + kBins);
    }
    static void Mac(Spectrum& acc, const Spectrum& a, const Spectrum& b) {
        for (size_t k = 0; k < kBins; ++k) acc[k] += a[k] * b[k];
    }

    spbench::FftwfReal fft_;
    int groups_, tailParts_;
    std::vector<Spectrum> head_, tail_, headRing_, tailRing_;
    std::vector<std::vector<float>> prev_;
    int h_ = 0, t_ = 0;
};

// Ours and the peer block by block in the same loop; the reported time is
// ours, the counter ratio ours / peer.
void BM_ConvolutionVsFftwPeer(benchmark::State& state) {
    const int channels = static_cast<int>(state.range(0));
    const int room = state.range(1) == 14 ? 0 : 1;  // LARGE 39: T = 14; MEDIUM 39: T = 6
    auto* fir = new (NonPagedPoolNx, kBenchTag) CHeadphoneFir();
    fir->SetRoomAndAngle(room, 39);
    Buffers in(N), out(N);
    fir->Process(out.table.data(), 2, in.table.data(), channels, N);  // loads the responses
    HrtfSelection sel = SelectHrtf(*DefaultHeadphoneTables(), room == 0 ? ROOMSIZE_LARGE : ROOMSIZE_MEDIUM, 39);
    const int groups = channels == 2 ? 2 : 5;
    PeerConvolver peer(sel, groups);
    Buffers mixed(N);
    const Buffers pristine(N);
    double ours = 0, theirs = 0;
    for (auto _ : state) {
        // 8-channel blocks mix the back pair into the caller's buffers 4, 5.
        in.data[4] = pristine.data[4];
        in.data[5] = pristine.data[5];
        auto t0 = Clock::now();
        fir->Process(out.table.data(), 2, in.table.data(), channels, N);
        auto t1 = Clock::now();
        // The peer's group mixes, as the engine forms them.
        if (channels != 2) {
            for (int n = 0; n < N; ++n) {
                mixed.data[0][static_cast<size_t>(n)] = in.data[0][static_cast<size_t>(n)] + in.data[3][static_cast<size_t>(n)];
                mixed.data[1][static_cast<size_t>(n)] = in.data[1][static_cast<size_t>(n)] + in.data[3][static_cast<size_t>(n)];
            }
            mixed.table[2] = in.table[2];
            mixed.table[3] = in.table[4];
            mixed.table[4] = in.table[5];
        }
        peer.Process(out.table.data(), channels == 2 ? in.table.data() : mixed.table.data());
        auto t2 = Clock::now();
        double a = std::chrono::duration<double>(t1 - t0).count(), b = std::chrono::duration<double>(t2 - t1).count();
        ours += a;
        theirs += b;
        state.SetIterationTime(a);
    }
    state.counters["peer_us"] = benchmark::Counter(theirs * 1e6, benchmark::Counter::kAvgIterations);
    state.counters["ratio"] = theirs > 0 ? ours / theirs : 0;
    delete fir;
}
BENCHMARK(BM_ConvolutionVsFftwPeer)->ArgNames({"ch", "T"})->UseManualTime()
    ->Args({2, 6})->Args({6, 6})->Args({8, 6})->Args({2, 14})->Args({6, 14})->Args({8, 14});

}  // namespace

// The engine runs on the kernel stand-in: one executor for the whole run.
int main(int argc, char** argv) {
    sim::KernelScope scope(sim::ExecutorOptions::FromEnvironment());
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    scope.Finish();
    return 0;
}
