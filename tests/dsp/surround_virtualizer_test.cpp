// The surround virtualizer: its 48 kHz impulse example, the rounding of its
// outputs, the channel modes, the request and Clear lifecycle, and a
// bit-exact comparison with a plainly written model at every rate.
#include "dsp/surround_virtualizer.h"

#include <cmath>
#include <limits>
#include <memory>
#include <string>

#include "sim/pool.h"
#include "tests/dsp/dsp_test_base.h"

namespace {

using dsptest::Channels;

constexpr ULONG kVirtualizerTag = MakePoolTag("DoHP");
constexpr int kRates[] = {48000, 44100, 32000, 96000, 88200};

struct VirtualizerDeleter {
    void operator()(CSurroundVirtualizer* v) const { delete v; }
};
using VirtualizerPtr = std::unique_ptr<CSurroundVirtualizer, VirtualizerDeleter>;

// As the surround node makes it: pool new (zeroed), Init, then the format.
VirtualizerPtr MakeVirtualizer(int rate = 0, int mode = -1) {
    VirtualizerPtr v(new (NonPagedPoolNx, kVirtualizerTag) CSurroundVirtualizer());
    v->Init();
    if (mode >= 0) v->SetFormat(rate, mode);
    return v;
}

// Seeded input in [-amplitude, amplitude] on eight channels.
Channels Noise(int frames, unsigned seed, float amplitude = 0.5f) {
    Channels in(8, frames);
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(-amplitude, amplitude);
    for (auto& ch : in.data)
        for (float& s : ch) s = dist(gen);
    return in;
}

// Runs the whole input in calls of the given sizes (cycled); returns the
// two outputs.
std::vector<std::vector<float>> Render(CSurroundVirtualizer& v, Channels& in, const std::vector<int>& calls = {512}) {
    const int frames = (int)in.data[0].size();
    std::vector<std::vector<float>> out(2, std::vector<float>(frames, 99.0f));
    std::vector<float*> ip(8), op(2);
    size_t next = 0;
    for (int done = 0; done < frames;) {
        const int n = std::min(calls[next++ % calls.size()], frames - done);
        for (int c = 0; c < 8; ++c) ip[c] = in.ptrs[c] ? in.ptrs[c] + done : nullptr;
        for (int c = 0; c < 2; ++c) op[c] = out[c].data() + done;
        v.Process(ip.data(), op.data(), n);
        done += n;
    }
    return out;
}

int Steps(float v) { return (int)std::lround(v * 32768.0f); }

class VirtualizerTest : public dsptest::DspTest {};

// 48 kHz, mode 7, silence but 0.5 on front left at sample 0.
TEST_F(VirtualizerTest, FrontLeftImpulseAt48kHz) {
    VirtualizerPtr v = MakeVirtualizer(48000, 7);
    Channels in(8, 1024);
    in.data[0][0] = 0.5f;
    auto out = Render(*v, in);
    const auto& left = out[0];
    const auto& right = out[1];
    EXPECT_EQ(left[0], 6758.0f / 32768.0f);
    EXPECT_EQ(right[0], 0.0f);
    EXPECT_EQ(right[1], 0.0f);
    EXPECT_NE(right[2], 0.0f);
    for (int n = 35; n < 600; ++n) {
        ASSERT_EQ(left[n], 0.0f) << n;
        ASSERT_EQ(right[n], 0.0f) << n;
    }
    EXPECT_NE(right[600], 0.0f);
    EXPECT_EQ(left[600], 0.0f);
    EXPECT_EQ(left[601], 0.0f);
    EXPECT_NE(left[602], 0.0f);
    // The generator's single-precision model of the same run.
    EXPECT_EQ(Steps(right[2]), 68);
    EXPECT_EQ(Steps(right[600]), -117);
    EXPECT_EQ(Steps(left[602]), -1);
    for (int c = 0; c < 2; ++c)
        for (float s : out[c]) ASSERT_EQ(s, Steps(s) / 32768.0f);
}

// Outputs are clamped and rounded to multiples of 2^-15; a NaN comes out
// as 0.0. At the first sample the left output is fL[0] * FL.
TEST_F(VirtualizerTest, OutputsAreRoundedToSixteenBitSteps) {
    const float fl0 = ViewVirtualizerRecord(VIRTUALIZER_RATE_48000).Left.Front[0];
    struct Case {
        const char* name;
        float frontLeft;
        float left;
    } cases[] = {
        {"OneClampsBelowFullScale", 1.0f / fl0, 32767.0f / 32768.0f},
        {"HugeClampsBelowFullScale", 1e30f, 32767.0f / 32768.0f},
        {"InfinityClampsBelowFullScale", std::numeric_limits<float>::infinity(), 32767.0f / 32768.0f},
        {"MinusOneAndAHalfClampsToMinusOne", -1.5f / fl0, -1.0f},
        {"MinusInfinityClampsToMinusOne", -std::numeric_limits<float>::infinity(), -1.0f},
        {"NaNGivesZero", std::numeric_limits<float>::quiet_NaN(), 0.0f},
        {"HalfGivesTheNearestStep", 0.5f, 6758.0f / 32768.0f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VirtualizerPtr v = MakeVirtualizer(48000, 7);
        Channels in(8, 64);
        in.data[0][0] = c.frontLeft;
        auto out = Render(*v, in);
        EXPECT_EQ(out[0][0], c.left);
        for (int ch = 0; ch < 2; ++ch)
            for (float s : out[ch]) ASSERT_TRUE(std::isfinite(s) && s >= -1.0f && s <= 32767.0f / 32768.0f);
    }
}

// Mode 7 reads eight channels, mode 5 six (side pair silent), every other
// mode none: their outputs are silence. Channels a mode must not read are
// null here.
TEST_F(VirtualizerTest, ModesReadOnlyTheirChannels) {
    Channels full = Noise(2048, 5);
    Channels fiveOnly = full;
    fiveOnly.data[6].assign(2048, 0.0f);
    fiveOnly.data[7].assign(2048, 0.0f);
    fiveOnly.ptrs.clear();
    for (auto& d : fiveOnly.data) fiveOnly.ptrs.push_back(d.data());
    VirtualizerPtr seven = MakeVirtualizer(48000, 7);
    auto reference = Render(*seven, fiveOnly);

    Channels noSides = full;
    noSides.ptrs = full.ptrs;
    noSides.ptrs[6] = noSides.ptrs[7] = nullptr;
    VirtualizerPtr five = MakeVirtualizer(48000, 5);
    EXPECT_EQ(Render(*five, noSides), reference);

    for (int mode : {0, 1, 2, 3, 4, 6}) {
        SCOPED_TRACE(mode);
        Channels none(8, 600);
        for (auto& p : none.ptrs) p = nullptr;
        VirtualizerPtr v = MakeVirtualizer(48000, mode);
        auto out = Render(*v, none, {100, 500});
        EXPECT_EQ(out[0], std::vector<float>(600, 0.0f));
        EXPECT_EQ(out[1], std::vector<float>(600, 0.0f));
    }
}

// Init without SetFormat: rate index 0, mode 0, silence.
TEST_F(VirtualizerTest, AFreshVirtualizerIsSilent) {
    VirtualizerPtr v = MakeVirtualizer();
    Channels in = Noise(700, 1);
    auto out = Render(*v, in);
    EXPECT_EQ(out[0], std::vector<float>(700, 0.0f));
    EXPECT_EQ(out[1], std::vector<float>(700, 0.0f));
}

// Rates without a record of their own run the 44.1 kHz record.
TEST_F(VirtualizerTest, OtherRatesRunThe44kHzRecord) {
    Channels in = Noise(3000, 2);
    VirtualizerPtr reference = MakeVirtualizer(44100, 7);
    auto expected = Render(*reference, in);
    for (int rate : {192000, 176400, 22050, 8000, 0, -1}) {
        SCOPED_TRACE(rate);
        VirtualizerPtr v = MakeVirtualizer(rate, 7);
        EXPECT_EQ(Render(*v, in), expected);
    }
}

// A request it cannot run (no channels or more than eight) is withdrawn:
// the running network goes on with its state, and a later valid request
// is taken.
TEST_F(VirtualizerTest, AnInvalidModeKeepsTheRunningNetwork) {
    Channels in = Noise(4000, 3);
    VirtualizerPtr reference = MakeVirtualizer(48000, 7);
    auto expected = Render(*reference, in);

    for (int mode : {9, -1, 0x7FFFFFFF}) {
        SCOPED_TRACE(mode);
        VirtualizerPtr v = MakeVirtualizer(48000, 7);
        Channels first = in, second = in;
        for (auto& ch : first.data) ch.resize(1500);
        for (auto& ch : second.data) ch.erase(ch.begin(), ch.begin() + 1500);
        first.ptrs.clear();
        second.ptrs.clear();
        for (auto& d : first.data) first.ptrs.push_back(d.data());
        for (auto& d : second.data) second.ptrs.push_back(d.data());
        auto a = Render(*v, first);
        v->SetFormat(96000, mode);
        EXPECT_FALSE(v->IsValidRequest());
        auto b = Render(*v, second);
        a[0].insert(a[0].end(), b[0].begin(), b[0].end());
        a[1].insert(a[1].end(), b[1].begin(), b[1].end());
        EXPECT_EQ(a, expected);
        v->SetFormat(96000, 7);
        EXPECT_TRUE(v->IsValidRequest());
    }
}

// Splits the input at `at` into two channel sets.
std::pair<Channels, Channels> Split(const Channels& in, int at) {
    Channels a(8, at), b(8, in.data[0].size() - at);
    for (int c = 0; c < 8; ++c) {
        std::copy(in.data[c].begin(), in.data[c].begin() + at, a.data[c].begin());
        std::copy(in.data[c].begin() + at, in.data[c].end(), b.data[c].begin());
    }
    return {std::move(a), std::move(b)};
}

// SetFormat only records a request; asking for the running configuration
// keeps the state, a new one starts from silence. Clear zeroes the state
// and keeps the configuration and any pending request.
TEST_F(VirtualizerTest, RequestsAndClear) {
    Channels loud = Noise(2500, 4, 1.0f);
    Channels next = Noise(2500, 6);

    // The same format again: no restart.
    VirtualizerPtr whole = MakeVirtualizer(48000, 7);
    auto parts = Split(loud, 1100);
    VirtualizerPtr split = MakeVirtualizer(48000, 7);
    auto expectedWhole = Render(*whole, loud);
    auto a = Render(*split, parts.first);
    split->SetFormat(48000, 7);
    auto b = Render(*split, parts.second);
    EXPECT_TRUE(std::equal(b[0].begin(), b[0].end(), expectedWhole[0].begin() + 1100));
    EXPECT_TRUE(std::equal(b[1].begin(), b[1].end(), expectedWhole[1].begin() + 1100));

    // Clear keeps the rate and mode: like a fresh one of that format.
    VirtualizerPtr fresh48 = MakeVirtualizer(48000, 5);
    auto expected48 = Render(*fresh48, next);
    VirtualizerPtr v = MakeVirtualizer(48000, 5);
    Render(*v, loud);
    v->Clear();
    EXPECT_EQ(Render(*v, next), expected48);

    // A new rate, then Clear, then Process: the new rate's network from
    // silence.
    VirtualizerPtr fresh96 = MakeVirtualizer(96000, 7);
    auto expected96 = Render(*fresh96, next, {37, 512, 5});
    Render(*v, loud);
    v->SetFormat(96000, 7);
    v->Clear();
    EXPECT_EQ(Render(*v, next, {37, 512, 5}), expected96);
}

// One NaN, +Inf or -Inf on one input: every output stays finite, and from
// the next call on the network runs as one started from silence there on
// the same input (the value cannot be taken out of the feedback network,
// so its state is dropped at the end of the call that met it).
TEST_F(VirtualizerTest, NonFiniteInputClearsTheNetworkAtTheEndOfItsCall) {
    constexpr int kCall = 480;
    constexpr int kFrames = 100 * kCall;
    constexpr int kBadAt = 10 * kCall + 123;
    constexpr int kRestart = 11 * kCall;
    const float bad[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                         -std::numeric_limits<float>::infinity()};
    struct Case {
        int rate, mode, channel;
    } cases[] = {{48000, 7, 0}, {48000, 7, 2}, {48000, 7, 6}, {44100, 5, 3}, {96000, 5, 4}};
    for (const Case& c : cases) {
        for (float value : bad) {
            SCOPED_TRACE(std::to_string(c.rate) + " Hz mode " + std::to_string(c.mode) + ", channel " +
                         std::to_string(c.channel) + " gets " + std::to_string(value));
            Channels in = Noise(kFrames, 11, 0.25f);
            in.data[c.channel][kBadAt] = value;
            VirtualizerPtr v = MakeVirtualizer(c.rate, c.mode);
            const auto out = Render(*v, in, {kCall});
            for (int ch = 0; ch < 2; ++ch)
                for (int n = 0; n < kFrames; ++n) ASSERT_TRUE(std::isfinite(out[ch][n])) << "frame " << n;

            auto rest = Split(in, kRestart).second;
            VirtualizerPtr fresh = MakeVirtualizer(c.rate, c.mode);
            const auto expected = Render(*fresh, rest, {kCall});
            for (int ch = 0; ch < 2; ++ch)
                for (int n = kRestart; n < kFrames; ++n)
                    ASSERT_EQ(out[ch][n], expected[ch][n - kRestart]) << "channel " << ch << " frame " << n;
        }
    }
}

// Process leaves its inputs alone; out may share in[0] and in[1].
TEST_F(VirtualizerTest, InputsStayAndOutputsMayShareTheFrontPair) {
    Channels in = Noise(1500, 7);
    const Channels before = in;
    VirtualizerPtr v = MakeVirtualizer(88200, 7);
    auto expected = Render(*v, in, {300});
    EXPECT_EQ(in.data, before.data);

    VirtualizerPtr shared = MakeVirtualizer(88200, 7);
    for (int done = 0; done < 1500; done += 300) {
        std::vector<float*> ip(8);
        for (int c = 0; c < 8; ++c) ip[c] = in.ptrs[c] + done;
        shared->Process(ip.data(), ip.data(), 300);
    }
    EXPECT_EQ(in.data[0], expected[0]);
    EXPECT_EQ(in.data[1], expected[1]);
    for (int c = 2; c < 8; ++c) EXPECT_EQ(in.data[c], before.data[c]);
}

// frames <= 0 writes nothing.
TEST_F(VirtualizerTest, NoFramesWritesNothing) {
    VirtualizerPtr v = MakeVirtualizer(48000, 7);
    Channels in = Noise(4, 8);
    float left[4] = {7, 7, 7, 7}, right[4] = {7, 7, 7, 7};
    float* out[2] = {left, right};
    for (int frames : {0, -1, -512}) v->Process(in.get(), out, frames);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(left[i] + right[i], 14.0f);
}

// The owner runs Process at DISPATCH_LEVEL; nothing in the virtualizer's
// life after operator new touches the pool, and operator new failing gives
// NULL without a block left behind.
TEST_F(VirtualizerTest, AllocatesNothingAfterNewAndRunsAtDispatch) {
    sim::PoolFailTag(kVirtualizerTag);
    EXPECT_EQ(new (NonPagedPoolNx, kVirtualizerTag) CSurroundVirtualizer(), nullptr);
    EXPECT_EQ(sim::PoolLiveBlocks(kVirtualizerTag), 0);
    sim::PoolClearFailures();

    VirtualizerPtr v = MakeVirtualizer();
    Channels in = Noise(512, 9);
    sim::PoolResetCounters();
    v->SetFormat(96000, 7);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    auto out = Render(*v, in);
    KeLowerIrql(old);
    v->Clear();
    EXPECT_EQ(sim::PoolAllocationAttempts(), 0u);
    EXPECT_NE(out[0], std::vector<float>(512, 0.0f));
}

// ---------------------------------------------------------------------------
// The virtualizer written out plainly: every signal keeps its whole history
// in its own array, read by sample index; coefficients from the record.

class Model {
public:
    Model(int rateIndex, int mode) : v_(ViewVirtualizerRecord(rateIndex)), mode_(mode) {}

    void Sample(const float* in, float* left, float* right) {
        float x[8] = {};
        for (int c = 0; c < (mode_ == 7 ? 8 : 6); ++c) x[c] = in[c];
        const float* g = v_.Gains;
        float e[4];
        for (int i = 0; i < 4; ++i) {
            e[i] = v_.Damping[i][0] * Past(line_[i], v_.Delay[i]);
            for (int t = 1; t < v_.DampingTaps; ++t) e[i] = e[i] + v_.Damping[i][t] * Past(line_[i], v_.Delay[i] + t);
        }
        const float L = x[0] + x[3], R = x[1] + x[3];
        c_.push_back(g[kGainC] * x[2]);
        l_.push_back(g[kGainLd] * L + g[kGainLr] * e[3]);
        r_.push_back(g[kGainRd] * R + g[kGainRr] * e[0]);
        sl_.push_back(g[kGainSL] * x[6]);
        sr_.push_back(g[kGainSR] * x[7]);
        bl_.push_back(g[kGainBLd] * x[4] + g[kGainBLr] * e[1]);
        br_.push_back(g[kGainBRd] * x[5] + g[kGainBRr] * e[2]);
        const float* p = v_.PairWeights;
        const std::vector<float>* pairs[3][2] = {{&l_, &r_}, {&sl_, &sr_}, {&bl_, &br_}};
        for (int q = 0; q < 3; ++q) {
            const float a = pairs[q][0]->back(), b = pairs[q][1]->back();
            mid_[q].push_back(p[4 * q] * a + p[4 * q + 1] * b);
            side_[q].push_back(p[4 * q + 2] * a + p[4 * q + 3] * b);
        }
        const std::vector<float>* heads[7] = {&c_, &mid_[0], &side_[0], &mid_[1], &side_[1], &mid_[2], &side_[2]};
        float f[7];
        for (int i = 0; i < 7; ++i) {
            f[i] = v_.Head[i][0] * Past(*heads[i], 2);
            for (int t = 2; t <= v_.HeadTaps[i]; ++t) f[i] = f[i] + v_.Head[i][t - 1] * Past(*heads[i], 2 * t);
        }
        float el = v_.EarWeightsL[0] * f[0], er = v_.EarWeightsR[0] * f[0];
        for (int i = 1; i < 7; ++i) {
            el = el + v_.EarWeightsL[i] * f[i];
            er = er + v_.EarWeightsR[i] * f[i];
        }
        el_.push_back(el);
        er_.push_back(er);
        *left = Round(Ear(v_.Left, el_, l_, sl_, bl_));
        *right = Round(Ear(v_.Right, er_, r_, sr_, br_));
        const float* m = v_.FeedWeights;
        const float u[4] = {m[0] * R + m[1] * x[5], m[2] * L + m[3] * x[4], m[4] * x[6] + m[5] * x[2],
                            m[6] * x[7] + m[7] * x[2]};
        const float* h = v_.HighPass;
        float sum[4];
        for (int i = 0; i < 4; ++i) {
            const float hp = 2.0f * (h[0] * u[i] + h[1] * Past(u_[i], 1) + h[2] * Past(u_[i], 2) +
                                     h[3] * Past(hp_[i], 1) + h[4] * Past(hp_[i], 2));
            u_[i].push_back(u[i]);
            hp_[i].push_back(hp);
            sum[i] = hp + e[i];
        }
        for (int j = 0; j < 4; ++j) {
            const float* row = v_.Feedback[j];
            line_[j].push_back(row[0] * sum[0] + row[1] * sum[1] + row[2] * sum[2] + row[3] * sum[3]);
        }
        ++n_;
    }

private:
    // The signal's value j samples before the current sample n_ (0.0
    // before the first sample).
    float Past(const std::vector<float>& h, int j) const {
        const long i = n_ - j;
        return i >= 0 && i < (long)h.size() ? h[i] : 0.0f;
    }

    float Ear(const VIRTUALIZER_EAR& k, const std::vector<float>& ear, const std::vector<float>& front,
              const std::vector<float>& side, const std::vector<float>& back) const {
        float y = k.Kernel[0] * Past(ear, 0) + k.Kernel[1] * Past(ear, 1) + k.Kernel[2] * Past(ear, 2);
        for (int t = 0; t < 3; ++t) {
            y = y + k.Centre[t] * Past(c_, t);
            y = y + k.Front[t] * Past(front, t);
            y = y + k.Side[t] * Past(side, t);
            y = y + k.Back[t] * Past(back, t);
        }
        return y;
    }

    static float FromBits(uint32_t bits) {
        float f;
        std::memcpy(&f, &bits, sizeof(f));
        return f;
    }

    // Clamp, then 65536.5 + 32768 y in single precision, truncated; its
    // low 16 bits as a signed step.
    static float Round(float y) {
        if (std::isnan(y)) return 0.0f;
        if (y >= FromBits(0x3F7FFF00)) y = FromBits(0x3F7FFE00);
        if (y < -FromBits(0x3F7FFF00)) y = -1.0f;
        const int32_t i = (int32_t)(FromBits(0x47800040) + 32768.0f * y);
        return (float)(int16_t)(uint16_t)(i & 0xFFFF) / 32768.0f;
    }

    VIRTUALIZER_RECORD_VIEW v_;
    int mode_;
    long n_ = 0;
    std::vector<float> line_[4], u_[4], hp_[4];
    std::vector<float> c_, l_, r_, sl_, sr_, bl_, br_, mid_[3], side_[3], el_, er_;
};

// All five rates in modes 5 and 7, seeded input in random call sizes, long
// enough for every delay line to wrap round the circular line.
TEST_F(VirtualizerTest, MatchesAPlainModelAtEveryRate) {
    const int rateIndex[] = {VIRTUALIZER_RATE_48000, VIRTUALIZER_RATE_44100, VIRTUALIZER_RATE_32000,
                             VIRTUALIZER_RATE_96000, VIRTUALIZER_RATE_88200};
    for (int r = 0; r < 5; ++r) {
        for (int mode : {5, 7}) {
            const unsigned seed = 100 + 10 * r + mode;
            SCOPED_TRACE(testing::Message() << kRates[r] << " Hz, mode " << mode << ", seed " << seed);
            const int frames = VIRTUALIZER_DELAY_LENGTHS[rateIndex[r]] + 2500;
            Channels in = Noise(frames, seed);
            std::mt19937 gen(seed);
            std::vector<int> calls;
            for (int i = 0; i < 64; ++i) calls.push_back(std::uniform_int_distribution<int>(1, 512)(gen));
            VirtualizerPtr v = MakeVirtualizer(kRates[r], mode);
            auto out = Render(*v, in, calls);
            Model model(rateIndex[r], mode);
            for (int n = 0; n < frames; ++n) {
                float x[8], left, right;
                for (int c = 0; c < 8; ++c) x[c] = in.data[c][n];
                model.Sample(x, &left, &right);
                ASSERT_EQ(out[0][n], left) << n;
                ASSERT_EQ(out[1][n], right) << n;
            }
        }
    }
}

}  // namespace
