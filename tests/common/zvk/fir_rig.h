// A CHeadphoneFir on seeded fixture tables, run block by block at
// DISPATCH_LEVEL, and the comparisons of its output with the references.
#pragma once

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "common/zvk/headphonefir.h"
#include "tests/common/zvk/zvk_test_support.h"

namespace zvktest {

constexpr int N = HEADPHONEFIR_N;
constexpr int kCtcDelay = 255;  // the crosstalk bypass delay
constexpr ULONG kTestTag = MakePoolTag("Ztst");

struct FirRig {
    explicit FirRig(uint32_t seed) : data(RandomTables(seed)), tables{data.data()} {
        fir = new (NonPagedPoolNx, kTestTag) CHeadphoneFir(&tables);
    }
    ~FirRig() { delete fir; }
    FirRig(const FirRig&) = delete;
    FirRig& operator=(const FirRig&) = delete;

    // Loads (room, code) now: a silent reload block, then a Reset.
    void Select(int room, int code) {
        fir->SetRoomAndAngle(room, code);
        Run(std::vector<std::vector<float>>(8, std::vector<float>(N, 0.0f)), 2);
        fir->Reset();
    }

    // Runs whole blocks of in (channel-major) and returns both outputs;
    // before block b, hook(b) may change the engine.
    template <typename Hook>
    std::vector<std::vector<float>> Run(const std::vector<std::vector<float>>& in, int channels, Hook hook) {
        const size_t frames = in[0].size();
        std::vector<std::vector<float>> out(2, std::vector<float>(frames));
        Channels block(8, N), result(2, N);
        for (size_t b = 0; b * N < frames; ++b) {
            hook(static_cast<int>(b));
            for (int c = 0; c < channels; ++c)
                std::copy_n(in[static_cast<size_t>(c)].begin() + static_cast<long>(b * N), N, block.data[static_cast<size_t>(c)].begin());
            AtDispatch([&] { fir->Process(result.ptr(), 2, block.ptr(), channels, N); });
            for (int e = 0; e < 2; ++e)
                std::copy_n(result.data[static_cast<size_t>(e)].begin(), N, out[static_cast<size_t>(e)].begin() + static_cast<long>(b * N));
        }
        return out;
    }
    std::vector<std::vector<float>> Run(const std::vector<std::vector<float>>& in, int channels) {
        return Run(in, channels, [](int) {});
    }

    std::vector<float> data;
    HeadphoneTables tables;
    CHeadphoneFir* fir;
};

inline std::vector<std::vector<float>> Noise(int channels, int frames, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<std::vector<float>> x(8, std::vector<float>(static_cast<size_t>(frames), 0.0f));
    for (int c = 0; c < channels; ++c)
        for (float& v : x[static_cast<size_t>(c)]) v = u(rng);
    return x;
}

// Largest |got[n] - ref[n - delay]| over both outputs.
inline double MaxError(const std::vector<std::vector<float>>& got, const std::vector<std::vector<double>>& ref, int delay) {
    double worst = 0;
    for (size_t e = 0; e < 2; ++e) {
        for (size_t n = 0; n < got[e].size(); ++n) {
            double r = n >= static_cast<size_t>(delay) ? ref[e][n - static_cast<size_t>(delay)] : 0.0;
            worst = std::max(worst, std::fabs(static_cast<double>(got[e][n]) - r));
        }
    }
    return worst;
}

// Scale of the outputs: 2.0 * sum |h| of the selected responses * max |x|.
inline double OutputScale(const HeadphoneTables& t, int room, int code, double maxX) {
    HrtfSelection sel = SelectHrtf(t, room, code);
    double sum = 0;
    for (int i = 0; i < kHrtfHeadTableFloats; ++i) sum += std::fabs(sel.head[i]);
    for (int i = 0; i < 2 * sel.tailen; ++i) sum += std::fabs(sel.tail[i]);
    return 2.0 * sum * maxX;
}

}  // namespace zvktest
