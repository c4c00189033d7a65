// The linked limiter: its worked examples, its guarantee (no sample above
// the threshold), a bit-exact comparison with a straightforward model, and
// its behaviour without buffers or with channel counts it cannot hold.
#include "dsp/limiter.h"

#include <algorithm>
#include <cmath>

#include "sim/pool.h"
#include "tests/dsp/dsp_test_base.h"

namespace {

using dsptest::Channels;
using dsptest::FloatFormat;

constexpr int kDelay = 256;

struct LimiterDeleter {
    void operator()(CLimiter* l) const {
        l->FreeBuffers();
        delete l;
    }
};
using LimiterPtr = std::unique_ptr<CLimiter, LimiterDeleter>;

LimiterPtr MakeLimiter(float makeup, unsigned channels, float threshold = 1.0f) {
    LimiterPtr l(new (NonPagedPoolNx, MakePoolTag("USBS")) CLimiter());
    EXPECT_EQ(l->AllocateBuffers(), 1);
    l->SetMode(0);
    l->SetMakeupGain(makeup);
    l->SetThreshold(threshold);
    WAVEFORMATEXTENSIBLE f = FloatFormat(channels);
    l->SetFormat(&f);
    return l;
}

// Runs the whole signal through in calls of `chunk` frames.
void RunInCalls(CLimiter& l, std::vector<std::vector<float>>& signal, int chunk) {
    int frames = (int)signal[0].size();
    std::vector<float*> ptrs(signal.size());
    for (int done = 0; done < frames; done += chunk) {
        int n = std::min(chunk, frames - done);
        for (size_t c = 0; c < signal.size(); ++c) ptrs[c] = signal[c].data() + done;
        l.Process(ptrs.data(), n);
    }
}

// The limiter written out plainly: a 256-frame delay per sample, every
// block's peak kept in a list, the gain ramp sample by sample.
std::vector<std::vector<float>> Model(const std::vector<std::vector<float>>& x, float makeup, float threshold) {
    size_t n = x.size(), frames = x[0].size();
    std::vector<std::vector<float>> y(n, std::vector<float>(frames, 0.0f));
    std::vector<std::vector<float>> peaks(n);
    float gain = makeup;
    bool first = true;
    for (size_t b = 0; (b + 1) * 128 <= frames; ++b) {
        float linked = 0.0f;
        for (size_t c = 0; c < n; ++c) {
            float p = 0.0f;
            for (size_t j = 0; j < 128; ++j) p = std::max(p, std::fabs(x[c][b * 128 + j]));
            peaks[c].push_back(p);
            float held = 0.0f;
            for (size_t k = peaks[c].size() >= 20 ? peaks[c].size() - 20 : 0; k < peaks[c].size(); ++k)
                held = std::max(held, peaks[c][k]);
            float target = makeup * held > threshold ? threshold / held : makeup;
            linked = c == 0 ? target : std::min(linked, target);
        }
        // The block before this one is scaled, and comes out 256 frames
        // after it went in.
        float step = 0.0f;
        if (linked > gain) step = std::max(gain * 1.1920929e-7f, (linked - gain) / (first ? 128.0f : 10240.0f));
        if (linked < gain) step = std::max(gain * 1.1920929e-7f, (gain - linked) / 128.0f);
        for (size_t j = 0; j < 128; ++j) {
            size_t out = (b + 1) * 128 + j;
            for (size_t c = 0; c < n; ++c) {
                float in = b >= 1 ? x[c][(b - 1) * 128 + j] : 0.0f;
                if (out < frames) y[c][out] = gain * in;
            }
            if (linked > gain) gain = std::min(linked, gain + step);
            else if (linked < gain) gain = std::max(linked, gain - step);
        }
        if (linked < gain) gain = linked;
        first = false;
    }
    return y;
}

class LimiterTest : public dsptest::DspTest {};

TEST_F(LimiterTest, ImpulsesComeOutTwoBlocksLateAndCappedAtTheThreshold) {
    struct Case {
        float in, out;
    } cases[] = {{0.5f, 0.5f}, {2.0f, 1.0f}, {-3.0f, -1.0f}};
    for (const Case& c : cases) {
        LimiterPtr l = MakeLimiter(1.0f, 1);
        std::vector<std::vector<float>> s(1, std::vector<float>(1024, 0.0f));
        s[0][300] = c.in;
        RunInCalls(*l, s, 512);
        for (int t = 0; t < 1024; ++t) EXPECT_EQ(s[0][t], t == 300 + kDelay ? c.out : 0.0f) << c.in << " at " << t;
    }
}

TEST_F(LimiterTest, ABurstRampsTheBlockBeforeHoldsTwentyBlocksAndReleasesSlowly) {
    constexpr int kBurstBlock = 10;
    constexpr int kBlocks = 60;
    LimiterPtr l = MakeLimiter(1.0f, 1);
    std::vector<std::vector<float>> s(1, std::vector<float>(kBlocks * 128, 0.1f));
    s[0][kBurstBlock * 128 + 50] = 2.0f;
    std::vector<float> in = s[0];
    RunInCalls(*l, s, 512);
    auto gainAt = [&](int block, int j) {
        int t = block * 128 + j;
        return s[0][t + kDelay] / in[t];
    };
    EXPECT_EQ(gainAt(kBurstBlock - 2, 127), 1.0f);
    EXPECT_EQ(gainAt(kBurstBlock - 1, 0), 1.0f);
    EXPECT_NEAR(gainAt(kBurstBlock - 1, 127), 0.50390625f, 1e-6f);
    for (int b = kBurstBlock; b < kBurstBlock + 19; ++b)
        for (int j = 0; j < 128; ++j) ASSERT_NEAR(gainAt(b, j), 0.5f, 1e-6f) << b << ":" << j;
    EXPECT_EQ(s[0][kBurstBlock * 128 + 50 + kDelay], 1.0f);
    EXPECT_NEAR(gainAt(kBurstBlock + 19, 0), 0.5f, 1e-6f);
    EXPECT_GT(gainAt(kBurstBlock + 19, 127), 0.5f + 1e-4f);
    EXPECT_NEAR(gainAt(kBurstBlock + 20, 0), 0.50625f, 1e-5f);
    for (int t = (kBurstBlock + 20) * 128 + 1; t + kDelay < kBlocks * 128; ++t)
        ASSERT_GE(s[0][t + kDelay] / in[t], s[0][t - 1 + kDelay] / in[t - 1]) << "dip at " << t;
}

TEST_F(LimiterTest, ResetSilencesTwoBlocksAndKeepsTheGain) {
    LimiterPtr l = MakeLimiter(1.0f, 1);
    std::vector<std::vector<float>> loud(1, std::vector<float>(1024, 4.0f));
    RunInCalls(*l, loud, 128);
    EXPECT_NEAR(loud[0][1023], 1.0f, 1e-6f);
    l->Reset();
    // After the reset the gain starts from 0.25 and, its flags set, rises to
    // the new target within the first (silent) block: the first audible
    // block plays at unity.
    std::vector<std::vector<float>> quiet(1, std::vector<float>(1024, 0.5f));
    RunInCalls(*l, quiet, 100);
    for (int t = 0; t < kDelay; ++t) ASSERT_EQ(quiet[0][t], 0.0f) << t;
    for (int t = kDelay; t < 1024; ++t) ASSERT_EQ(quiet[0][t], 0.5f) << t;
}

TEST_F(LimiterTest, LinkedChannelsShareTheLouderChannelsGain) {
    LimiterPtr l = MakeLimiter(1.0f, 2);
    std::vector<std::vector<float>> s(2, std::vector<float>(2048));
    for (int t = 0; t < 2048; ++t) {
        s[0][t] = 3.0f * std::sin(0.05f * (float)t);
        s[1][t] = 1.5f * std::sin(0.05f * (float)t);
    }
    auto in = s;
    RunInCalls(*l, s, 512);
    for (int t = 1024; t < 2048; ++t) {
        if (std::fabs(in[0][t - kDelay]) < 0.1f) continue;
        ASSERT_FLOAT_EQ(s[0][t] / in[0][t - kDelay], s[1][t] / in[1][t - kDelay]) << t;
        ASSERT_LE(std::fabs(s[0][t]), 1.0f);
    }
}

TEST_F(LimiterTest, MakeupLiftsAQuietSineByItsGain) {
    LimiterPtr l = MakeLimiter(LIMITER_MAKEUP_SURROUND, 1);
    std::vector<std::vector<float>> s(1, std::vector<float>(4096));
    for (int t = 0; t < 4096; ++t) s[0][t] = 0.1f * std::sin(0.01f * (float)t);
    auto in = s;
    RunInCalls(*l, s, 512);
    float peak = 0.0f;
    for (int t = 1024; t < 4096; ++t) {
        ASSERT_EQ(s[0][t], 2.8183f * in[0][t - kDelay]);
        peak = std::max(peak, std::fabs(s[0][t]));
    }
    EXPECT_NEAR(peak, 0.28183f, 1e-4f);
}

// Loud seeded noise at several makeups, cut into random call sizes: the
// output equals the model bit for bit and never passes the threshold.
TEST_F(LimiterTest, MatchesTheModelAndStaysUnderTheThresholdOnLoudNoise) {
    struct Case {
        unsigned channels;
        float makeup, threshold;
        unsigned seed;
    } cases[] = {{1, 1.0f, 1.0f, 1}, {2, 2.8183f, 1.0f, 2}, {8, 2.0f, 0.5f, 3}, {6, 1.0f, 1.0f, 4}};
    for (const Case& c : cases) {
        std::mt19937 rng(c.seed);
        std::uniform_real_distribution<float> level(0.0f, 1.0f);
        constexpr int kFrames = 128 * 120;
        std::vector<std::vector<float>> s(c.channels, std::vector<float>(kFrames));
        float amp = 0.2f;
        for (int t = 0; t < kFrames; ++t) {
            if (t % 700 == 0) amp = 0.05f + 4.0f * level(rng);
            for (unsigned ch = 0; ch < c.channels; ++ch) s[ch][t] = amp * (2.0f * level(rng) - 1.0f);
        }
        auto expected = Model(s, c.makeup, c.threshold);
        LimiterPtr l = MakeLimiter(c.makeup, c.channels, c.threshold);
        std::uniform_int_distribution<int> size(1, 700);
        std::vector<float*> ptrs(c.channels);
        for (int done = 0; done < kFrames;) {
            int n = std::min(size(rng), kFrames - done);
            for (unsigned ch = 0; ch < c.channels; ++ch) ptrs[ch] = s[ch].data() + done;
            l->Process(ptrs.data(), n);
            done += n;
        }
        for (unsigned ch = 0; ch < c.channels; ++ch)
            for (int t = 0; t + 128 < kFrames; ++t) {
                ASSERT_EQ(s[ch][t], expected[ch][t]) << "case " << c.seed << " ch " << ch << " t " << t;
                ASSERT_LE(std::fabs(s[ch][t]), c.threshold) << "case " << c.seed << " t " << t;
            }
    }
}

TEST_F(LimiterTest, CallSizesDoNotChangeTheOutput) {
    std::vector<std::vector<float>> reference;
    for (int chunk : {100, 37, 5000}) {
        LimiterPtr l = MakeLimiter(1.0f, 2);
        std::vector<std::vector<float>> s(2, std::vector<float>(5000));
        for (int t = 0; t < 5000; ++t) {
            s[0][t] = 1.7f * std::sin(0.003f * (float)t * (float)(t % 97));
            s[1][t] = 0.4f * std::cos(0.02f * (float)t);
        }
        RunInCalls(*l, s, chunk);
        if (reference.empty()) reference = s;
        else EXPECT_EQ(s, reference) << "calls of " << chunk;
    }
}

// Without a channel count it can hold (before the first SetFormat, 0, or
// more than eight) the limiter passes no channel through its buffers: the
// caller's samples stay as they are, and the positions still advance.
TEST_F(LimiterTest, ChannelCountsItCannotHoldLeaveTheSamplesAlone) {
    for (unsigned channels : {0u, 9u, 65535u, 1000u}) {
        LimiterPtr l(new (NonPagedPoolNx, MakePoolTag("USBS")) CLimiter());
        ASSERT_EQ(l->AllocateBuffers(), 1);
        l->SetMakeupGain(1.0f);
        if (channels != 1000u) {
            WAVEFORMATEXTENSIBLE f = FloatFormat(channels);
            l->SetFormat(&f);
        }
        Channels set(8, 300, 0.75f);
        l->Process(set.get(), 300);
        for (auto& ch : set.data) EXPECT_EQ(ch, std::vector<float>(300, 0.75f)) << channels;
        // Formatted for one channel afterwards, it delays by 256 frames from
        // the SetFormat on, whatever was passed before.
        WAVEFORMATEXTENSIBLE mono = FloatFormat(1);
        l->SetFormat(&mono);
        std::vector<std::vector<float>> s(1, std::vector<float>(512, 0.25f));
        RunInCalls(*l, s, 77);
        EXPECT_EQ(s[0][255], 0.0f);
        EXPECT_EQ(s[0][256], 0.25f);
    }
}

// Each of the sixteen buffer allocations failing in turn: the limiter stays
// usable by its owner (SetFormat, Reset and Process touch nothing), a
// later AllocateBuffers fills only the missing slots, and FreeBuffers
// returns every block.
TEST_F(LimiterTest, AFailedAllocationLeavesALimiterThatPassesAudioUntouched) {
    for (uint64_t nth = 1; nth <= 16; ++nth) {
        LimiterPtr l(new (NonPagedPoolNx, MakePoolTag("USBS")) CLimiter());
        sim::PoolFailNth(nth);
        EXPECT_EQ(l->AllocateBuffers(), 0) << nth;
        sim::PoolClearFailures();
        EXPECT_EQ(sim::PoolLiveBlocks(LIMITER_BUFFER_TAG), (int64_t)nth - 1);
        WAVEFORMATEXTENSIBLE f = FloatFormat(2);
        l->SetFormat(&f);
        l->Reset();
        Channels set(2, 200, -0.5f);
        l->Process(set.get(), 200);
        for (auto& ch : set.data) ASSERT_EQ(ch, std::vector<float>(200, -0.5f)) << nth;
        EXPECT_EQ(l->AllocateBuffers(), 1);
        EXPECT_EQ(sim::PoolLiveBlocks(LIMITER_BUFFER_TAG), 16);
        l->SetMakeupGain(1.0f);
        l->SetFormat(&f);
        std::vector<std::vector<float>> s(2, std::vector<float>(512, 0.25f));
        RunInCalls(*l, s, 512);
        EXPECT_EQ(s[1][255], 0.0f);
        EXPECT_EQ(s[1][256], 0.25f);
    }
    EXPECT_EQ(sim::PoolLiveBlocks(LIMITER_BUFFER_TAG), 0);
}

}  // namespace
