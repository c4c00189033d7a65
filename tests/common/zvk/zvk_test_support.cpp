#include "tests/common/zvk/zvk_test_support.h"

#include <cmath>
#include <mutex>

#include "common/zvk/zvk_assert.h"

namespace zvktest {
namespace {

std::mutex g_breachLock;
std::vector<std::string> g_breaches;

void RecordBreach(const char* expression, const char* file, int line) {
    std::lock_guard<std::mutex> hold(g_breachLock);
    g_breaches.push_back(std::string(expression) + " at " + file + ":" + std::to_string(line));
}

}  // namespace

void ZvkTest::SetUp() {
    KernelTest::SetUp();
    TakeBreaches();
    ZvkSetAssertHook(RecordBreach);
}

void ZvkTest::TearDown() {
    ZvkSetAssertHook(nullptr);
    for (const std::string& b : TakeBreaches()) ADD_FAILURE() << "contract breach: " << b;
    KernelTest::TearDown();
}

std::vector<std::string> ZvkTest::TakeBreaches() {
    std::lock_guard<std::mutex> hold(g_breachLock);
    std::vector<std::string> out;
    out.swap(g_breaches);
    return out;
}

Channels::Channels(int count, int frames)
    : data(static_cast<size_t>(count), std::vector<float>(static_cast<size_t>(frames), 0.0f)),
      table(static_cast<size_t>(std::max(count, 8)), nullptr) {
    for (int c = 0; c < count; ++c) table[static_cast<size_t>(c)] = data[static_cast<size_t>(c)].data();
}

std::vector<float> RandomTables(uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> noise(0.0f, 1.0f);
    std::vector<float> t(kHeadphoneTableFloats);
    auto fill = [&](float* p, int len, float level) {
        for (int i = 0; i < len; ++i)
            p[i] = level * noise(rng) * std::exp(-3.0f * static_cast<float>(i) / static_cast<float>(len));
    };
    for (int g = 0; g < kHrtfGroupCount; ++g) {
        float* base = t.data() + HrtfGroupOffset(g);
        const int heads = kHrtfVariantCodeCount[kHrtfTailGroups[g].variant];
        for (int r = 0; r < heads * kHrtfHeadCount; ++r) fill(base + r * kHrtfHeadLen, kHrtfHeadLen, 0.1f);
        float* tail = base + heads * kHrtfHeadTableFloats;
        fill(tail, 2 * kHrtfTailGroups[g].tailen, 0.01f);
    }
    for (int a = 0; a < kCtcAngleCount * 2; ++a) fill(t.data() + kHrtfFloats + a * kCtcTaps, kCtcTaps, 0.2f);
    return t;
}

std::vector<std::vector<double>> GroupMix(const std::vector<std::vector<float>>& in, int channels) {
    const size_t frames = in[0].size();
    auto ch = [&](int c, size_t n) { return static_cast<double>(in[static_cast<size_t>(c)][n]); };
    std::vector<std::vector<double>> g(channels == 2 ? 2 : 5, std::vector<double>(frames));
    for (size_t n = 0; n < frames; ++n) {
        if (channels == 2) {
            g[0][n] = ch(0, n);
            g[1][n] = ch(1, n);
            continue;
        }
        g[0][n] = ch(0, n) + ch(3, n);
        g[1][n] = ch(1, n) + ch(3, n);
        g[2][n] = ch(2, n);
        if (channels == 8) {
            // The engine mixes in float: keep its rounding in the reference.
            float c4 = in[4][n], c5 = in[5][n];
            g[3][n] = 0.95f * c4 + 0.312f * c5 + in[6][n];
            g[4][n] = 0.312f * c4 + 0.95f * c5 + in[7][n];
        } else {
            g[3][n] = ch(4, n);
            g[4][n] = ch(5, n);
        }
    }
    return g;
}

std::vector<std::vector<double>> ReferenceBinaural(const HeadphoneTables& tables, int room,
                                                   int code, bool tail,
                                                   const std::vector<std::vector<float>>& in,
                                                   int channels) {
    HrtfSelection sel = SelectHrtf(tables, room, code);
    auto groups = GroupMix(in, channels);
    const size_t frames = in[0].size();
    std::vector<double> sum(frames, 0.0);
    for (const auto& g : groups)
        for (size_t n = 0; n < frames; ++n) sum[n] += g[n];
    std::vector<std::vector<double>> out(2, std::vector<double>(frames, 0.0));
    for (int e = 0; e < 2; ++e) {
        for (size_t g = 0; g < groups.size(); ++g) {
            const float* h = sel.head + (2 * g + static_cast<size_t>(e)) * kHrtfHeadLen;
            for (size_t n = 0; n < frames; ++n) {
                double acc = 0;
                for (size_t k = 0; k < static_cast<size_t>(kHrtfHeadLen) && k <= n; ++k)
                    acc += static_cast<double>(h[k]) * groups[g][n - k];
                out[static_cast<size_t>(e)][n] += 2.0 * acc;
            }
        }
        if (!tail) continue;
        const float* t = sel.tail + static_cast<size_t>(e) * static_cast<size_t>(sel.tailen);
        for (size_t n = static_cast<size_t>(kHrtfHeadLen); n < frames; ++n) {
            double acc = 0;
            const size_t avail = n - static_cast<size_t>(kHrtfHeadLen);
            for (size_t k = 0; k < static_cast<size_t>(sel.tailen) && k <= avail; ++k)
                acc += static_cast<double>(t[k]) * sum[avail - k];
            out[static_cast<size_t>(e)][n] += 2.0 * acc;
        }
    }
    return out;
}

}  // namespace zvktest
