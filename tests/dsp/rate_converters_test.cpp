// The format layer's rate converters: their input/output counts, call
// splitting, the quality of each direction on sines, and Init under
// allocation failure.
#include "dsp/rate_converters.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "sim/pool.h"
#include "tests/dsp/dsp_test_base.h"

namespace {

enum Kind { kX2, kX4, kS44 };

struct ConverterDeleter {
    void operator()(CSampleRateConverter* c) const {
        switch (kind) {
        case kX2: delete static_cast<CSrcRatio2*>(c); break;
        case kX4: delete static_cast<CSrcRatio4*>(c); break;
        case kS44: delete static_cast<CSrc44k48k*>(c); break;
        }
    }
    Kind kind;
};
using ConverterPtr = std::unique_ptr<CSampleRateConverter, ConverterDeleter>;

const ULONG kTag = MakePoolTag("DSPS");

ConverterPtr New(Kind kind) {
    CSampleRateConverter* c = nullptr;
    switch (kind) {
    case kX2: c = new (NonPagedPoolNx, kTag) CSrcRatio2(); break;
    case kX4: c = new (NonPagedPoolNx, kTag) CSrcRatio4(); break;
    case kS44: c = new (NonPagedPoolNx, kTag) CSrc44k48k(); break;
    }
    return ConverterPtr(c, ConverterDeleter{kind});
}

ConverterPtr Make(Kind kind, bool up) {
    ConverterPtr c = New(kind);
    EXPECT_TRUE(c->Init());
    c->m_bUp = up ? TRUE : FALSE;
    c->Reset();
    return c;
}

// Feeds `in` in calls of the given sizes (cycled), offering unconsumed
// inputs again with the next call and draining the output buffer into the
// result whenever it is half full or a call leaves inputs, the way an owner
// running the chain would.
std::vector<float> Convert(CSampleRateConverter& c, const std::vector<float>& in, const std::vector<int>& sizes,
                           int channel = 3) {
    std::vector<float> out;
    size_t pos = 0, call = 0;
    while (pos < in.size()) {
        int offered = (int)std::min<size_t>((size_t)sizes[call++ % sizes.size()], in.size() - pos);
        int count = offered;
        EXPECT_TRUE(c.Process(channel, in.data() + pos, &count));
        pos += (size_t)count;
        if (count < offered || c.m_nOutPos[channel] > SRC_OUT_BUF_LEN / 2) {
            out.insert(out.end(), c.m_pChannelOut[channel], c.m_pChannelOut[channel] + c.m_nOutPos[channel]);
            c.m_nOutPos[channel] = 0;
            // The tail is shorter than a factor step: nothing more is taken.
            if (count == 0 && pos + (size_t)offered == in.size() && offered < 4) break;
        }
    }
    out.insert(out.end(), c.m_pChannelOut[channel], c.m_pChannelOut[channel] + c.m_nOutPos[channel]);
    c.m_nOutPos[channel] = 0;
    return out;
}

std::vector<float> Sine(double freq, double rate, size_t n, double amp = 0.9) {
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = (float)(amp * std::sin(2.0 * M_PI * freq * (double)i / rate));
    return v;
}

// Signal-to-residual ratio after a least-squares fit of a sine of the given
// frequency (amplitude and phase free) over y[skip .. size - skip).
double SnrDb(const std::vector<float>& y, double freq, double rate, size_t skip) {
    double ss = 0, sc = 0, cc = 0, ys = 0, yc = 0;
    for (size_t i = skip; i + skip < y.size(); ++i) {
        double s = std::sin(2.0 * M_PI * freq * (double)i / rate), c = std::cos(2.0 * M_PI * freq * (double)i / rate);
        ss += s * s, sc += s * c, cc += c * c, ys += y[i] * s, yc += y[i] * c;
    }
    double det = ss * cc - sc * sc;
    double a = (ys * cc - yc * sc) / det, b = (yc * ss - ys * sc) / det;
    double sig = 0, err = 0;
    for (size_t i = skip; i + skip < y.size(); ++i) {
        double fit = a * std::sin(2.0 * M_PI * freq * (double)i / rate) + b * std::cos(2.0 * M_PI * freq * (double)i / rate);
        sig += fit * fit;
        err += (y[i] - fit) * (y[i] - fit);
    }
    return 10.0 * std::log10(sig / std::max(err, 1e-300));
}

class RateConverterTest : public dsptest::DspTest {};

TEST_F(RateConverterTest, CountsOfTheEdgeCases) {
    std::vector<float> in(200);
    for (size_t i = 0; i < in.size(); ++i) in[i] = 0.01f * (float)(i + 1);
    {
        ConverterPtr c = Make(kX2, true);
        int n = 3;
        c->Process(0, in.data(), &n);
        EXPECT_EQ(n, 3);
        EXPECT_EQ(c->m_nOutPos[0], 6);
        // Zero history: the first two outputs are the first input through
        // taps 0 and 1, doubled.
        EXPECT_EQ(c->m_pChannelOut[0][0], in[0] * SRC_X2_TAPS[0] * 2.0f);
        EXPECT_EQ(c->m_pChannelOut[0][1], in[0] * SRC_X2_TAPS[1] * 2.0f);
        c->m_nOutPos[1] = 7679;
        n = 5;
        c->Process(1, in.data(), &n);
        EXPECT_EQ(n, 0);
        EXPECT_EQ(c->m_nOutPos[1], 7679);
    }
    {
        ConverterPtr c = Make(kX4, false);
        int n = 10;
        c->Process(0, in.data(), &n);
        EXPECT_EQ(n, 8);
        EXPECT_EQ(c->m_nOutPos[0], 2);
    }
    {
        ConverterPtr c = Make(kS44, true);
        int n = 147;
        c->Process(2, in.data(), &n);
        EXPECT_EQ(n, 147);
        EXPECT_EQ(c->m_nOutPos[2], 160);
        EXPECT_EQ(c->m_pChannelOut[2][0], 0.0f);
    }
    {
        ConverterPtr c = Make(kS44, false);
        int n = 160;
        c->Process(7, in.data(), &n);
        EXPECT_EQ(n, 160);
        EXPECT_EQ(c->m_nOutPos[7], 147);
    }
    for (Kind kind : {kX2, kX4, kS44}) {
        ConverterPtr c = Make(kind, true);
        for (int channel : {-1, 8, 1000}) {
            int n = 50;
            EXPECT_FALSE(c->Process(channel, in.data(), &n)) << channel;
            EXPECT_EQ(n, 0);
        }
    }
}

TEST_F(RateConverterTest, RandomCallSplitsEqualOneCall) {
    std::mt19937 rng(17);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> in(3000);
    for (float& v : in) v = u(rng);
    std::uniform_int_distribution<int> size(1, 97);
    std::vector<int> sizes(64);
    for (int& s : sizes) s = size(rng);
    for (Kind kind : {kX2, kX4, kS44})
        for (bool up : {false, true}) {
            ConverterPtr whole = Make(kind, up), split = Make(kind, up);
            std::vector<float> a = Convert(*whole, in, {(int)in.size()});
            std::vector<float> b = Convert(*split, in, sizes);
            ASSERT_FALSE(a.empty());
            EXPECT_EQ(a, b) << "kind " << kind << " up " << up;
        }
}

TEST_F(RateConverterTest, SinesPassAtTheQualityTheFiltersAllow) {
    struct Case {
        Kind kind;
        bool up;
        double inRate, outRate, minSnr;
    } cases[] = {
        {kS44, true, 44100, 48000, 100}, {kS44, false, 48000, 44100, 100}, {kX2, false, 96000, 48000, 100},
        {kX4, false, 192000, 48000, 100}, {kX2, true, 48000, 96000, 55},  {kX4, true, 48000, 192000, 55},
    };
    for (const Case& c : cases)
        for (double freq : {1000.0, 10000.0}) {
            ConverterPtr conv = Make(c.kind, c.up);
            std::vector<float> out = Convert(*conv, Sine(freq, c.inRate, 8000), {480});
            double snr = SnrDb(out, freq, c.outRate, 300);
            EXPECT_GE(snr, c.minSnr) << c.inRate << " -> " << c.outRate << " at " << freq << " Hz";
            RecordProperty("snr_db_" + std::to_string((int)c.inRate) + "_" + std::to_string((int)c.outRate) + "_" +
                               std::to_string((int)freq),
                           std::to_string(snr));
        }
}

TEST_F(RateConverterTest, ThirtyKilohertzIsRejectedByTheHalvingFilter) {
    ConverterPtr conv = Make(kX2, false);
    std::vector<float> out = Convert(*conv, Sine(30000.0, 96000.0, 8000), {512});
    double in = 0.9 * 0.9 / 2.0, power = 0.0;
    size_t n = 0;
    for (size_t i = 200; i < out.size(); ++i, ++n) power += (double)out[i] * out[i];
    EXPECT_LE(10.0 * std::log10(power / (double)n / in), -59.0);
}

TEST_F(RateConverterTest, InitFailingAtEachAllocationLeaksNothing) {
    for (Kind kind : {kX2, kX4, kS44})
        for (uint64_t nth = 1; nth <= 24; ++nth) {
            ConverterPtr c = New(kind);
            sim::PoolFailNth(nth);
            EXPECT_FALSE(c->Init()) << kind << " " << nth;
            sim::PoolClearFailures();
            EXPECT_EQ(sim::PoolLiveBlocks(SRC_BUFFER_TAG), (int64_t)nth - 1);
            EXPECT_FALSE(c->m_bInit);
        }
    EXPECT_EQ(sim::PoolLiveBlocks(SRC_BUFFER_TAG), 0);
    ConverterPtr c = New(kX2);
    EXPECT_TRUE(c->Init());
    EXPECT_FALSE(c->Init());
    EXPECT_EQ(sim::PoolLiveBlocks(SRC_BUFFER_TAG), 24);
}

}  // namespace
