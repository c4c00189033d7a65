// The block engine and its rate converters: configurations per stream rate,
// block latency across call sizes, the converters' response and delay
// against the anti-alias sets computed here in double, allocation failures.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

#include "common/zvk/audioapp.h"
#include "common/zvk/linearphaseiir.h"
#include "sim/pool.h"
#include "tests/common/zvk/zvk_test_support.h"

namespace zvktest {
namespace {

constexpr ULONG kTestTag = MakePoolTag("Ztst");
constexpr double kPi = 3.14159265358979323846;

// ProcessBlock passes the block through unchanged.
class IdentityApp final : public CAudioApp {
public:
    IdentityApp() : CAudioApp(8, 8, 1.0f) {}
    void ProcessBlock(float** out, int nOut, float** in, int, int len) override {
        for (int k = 0; k < nOut; ++k)
            for (int n = 0; n < len; ++n) out[k][n] = in[k][n];
    }
};

class AudioAppTest : public ZvkTest {
protected:
    IdentityApp* MakeApp() { return new (NonPagedPoolNx, kTestTag) IdentityApp(); }

    // Runs x (one channel) through the app in calls of callFrames, in place.
    std::vector<float> Run(CAudioApp* app, std::vector<float> x, int callFrames) {
        for (size_t at = 0; at < x.size(); at += static_cast<size_t>(callFrames)) {
            int frames = static_cast<int>(std::min<size_t>(static_cast<size_t>(callFrames), x.size() - at));
            float* ch[1] = {x.data() + at};
            AtDispatch([&] { app->Process(ch, 1, ch, 1, frames); });
        }
        return x;
    }
};

struct RateCase {
    int rate, dir, factor, realLen, init;
};

TEST_F(AudioAppTest, ConfigurationPerStreamRate) {
    const RateCase cases[] = {
        {8000, -1, 5, 102, 0},      {11025, -1, 4, 128, 1},  {12000, -1, 3, 170, 0},
        {14700, -1, 3, 170, 0},     {16000, -1, 2, 256, 1},  {22050, -1, 2, 256, 1},
        {32000, -1, 1, 512, 1},     {44100, 0, 1, 512, 1},   {48000, 1, 1, 512, 1},
        {88200, 1, 2, 1024, 1},     {96000, 1, 2, 1024, 1},  {132300, 1, 3, 1536, 0},
        {176400, 1, 4, 2048, 0},    {192000, 1, 4, 2048, 0},
    };
    IdentityApp* app = MakeApp();
    for (const RateCase& c : cases) {
        SCOPED_TRACE(c.rate);
        EXPECT_EQ(app->Init(c.rate, 2, 2), c.init);
        EXPECT_EQ(app->SrcDir(), c.dir);
        EXPECT_EQ(app->SrcFactor(), c.factor);
        EXPECT_EQ(app->RealDataLen(), c.realLen);
        EXPECT_EQ(app->IsReady(), c.init == 1);
        EXPECT_EQ(TakeBreaches().empty(), c.init == 1);
        // An engine outside the contracts plays silence, writes nothing else.
        std::vector<float> x(3000, 0.5f);
        std::vector<float> y = Run(app, x, 700);
        if (!c.init) {
            for (float v : y) ASSERT_EQ(v, 0.0f);
        }
    }
    delete app;
}

TEST_F(AudioAppTest, OutputIsInputPlusOffsetOneBlockLate) {
    for (int call : {1, 480, 511, 512, 513, 4096}) {
        SCOPED_TRACE(call);
        IdentityApp* app = MakeApp();
        ASSERT_EQ(app->Init(44100, 2, 2), 1);
        std::vector<float> x(5000);
        for (size_t n = 0; n < x.size(); ++n) x[n] = std::sin(0.01f * static_cast<float>(n)) * 0.5f;
        std::vector<float> y = Run(app, x, call);
        for (size_t n = 0; n < 512; ++n) ASSERT_EQ(y[n], 0.0f) << n;
        for (size_t n = 512; n < x.size(); ++n) ASSERT_EQ(y[n], x[n - 512] + 1e-10f) << n;
        delete app;
    }
}

TEST_F(AudioAppTest, ZeroFramesChangesNothing) {
    IdentityApp* app = MakeApp();
    ASSERT_EQ(app->Init(44100, 2, 2), 1);
    std::vector<float> x(100, 0.25f);
    float* ch[1] = {x.data()};
    AtDispatch([&] { app->Process(ch, 1, ch, 1, 0); });
    for (float v : x) EXPECT_EQ(v, 0.25f);
    delete app;
}

// ---- the anti-alias sets -------------------------------------------------------

using Poly = std::vector<double>;
Poly Mul(const Poly& a, const Poly& b) {
    Poly c(a.size() + b.size() - 1, 0.0);
    for (size_t i = 0; i < a.size(); ++i)
        for (size_t j = 0; j < b.size(); ++j) c[i + j] += a[i] * b[j];
    return c;
}

// Third-order digital Butterworth low-pass at wn (1 = Nyquist) by the
// bilinear transform with prewarping: b0..b3, a0..a3 with a0 = 1.
std::vector<double> Butter3(double wn) {
    const double k = std::tan(kPi * wn / 2);
    const Poly p{1, 1}, m{1, -1};  // 1 + z^-1, 1 - z^-1
    const Poly p3 = Mul(Mul(p, p), p), m3 = Mul(Mul(m, m), m);
    const Poly m2p = Mul(Mul(m, m), p), mp2 = Mul(Mul(m, p), p);
    std::vector<double> taps(8);
    double a[4], b[4];
    for (int i = 0; i < 4; ++i) {
        b[i] = k * k * k * p3[static_cast<size_t>(i)];
        a[i] = m3[static_cast<size_t>(i)] + 2 * k * m2p[static_cast<size_t>(i)] +
               2 * k * k * mp2[static_cast<size_t>(i)] + k * k * k * p3[static_cast<size_t>(i)];
    }
    for (int i = 0; i < 4; ++i) {
        taps[static_cast<size_t>(i)] = b[i] / a[0];
        taps[static_cast<size_t>(4 + i)] = a[i] / a[0];
    }
    return taps;
}

double Magnitude(const float* taps, double w) {
    std::complex<double> num = 0, den = 0;
    for (int i = 0; i < 4; ++i) {
        std::complex<double> z = std::polar(1.0, -w * i);
        num += static_cast<double>(taps[i]) * z;
        den += static_cast<double>(taps[4 + i]) * z;
    }
    return std::abs(num / den);
}

TEST_F(AudioAppTest, AntiAliasSetsAreThirdOrderButterworth) {
    const double wn[kAntiAliasFactors] = {0.5, 1.0 / 3.0};
    for (int f = 0; f < kAntiAliasFactors; ++f) {
        std::vector<double> want = Butter3(wn[f]);
        for (int i = 0; i < 8; ++i) EXPECT_NEAR(kAntiAliasTaps[f][i], want[static_cast<size_t>(i)], 1e-7) << f << " " << i;
    }
}

struct SineCase {
    int rate;
    int delay;        // frames at the stream rate
    int filterRate;   // rate the anti-alias filter runs at
    int set;          // factor - 1
};

TEST_F(AudioAppTest, SteadySinesPassWithTheFourthPowerAndFixedDelay) {
    const SineCase cases[] = {{48000, 640, 48000, 0}, {96000, 1152, 96000, 1}, {22050, 320, 44100, 1}};
    for (const SineCase& c : cases) {
        for (double hz : {500.0, 3000.0, 6000.0}) {
            SCOPED_TRACE(std::to_string(c.rate) + " Hz stream, tone " + std::to_string(hz));
            IdentityApp* app = MakeApp();
            ASSERT_EQ(app->Init(c.rate, 1, 1), 1);
            const double w = 2 * kPi * hz / c.rate;
            std::vector<float> x(static_cast<size_t>(c.rate / 2));
            for (size_t n = 0; n < x.size(); ++n) x[n] = static_cast<float>(0.5 * std::sin(w * static_cast<double>(n)));
            std::vector<float> y = Run(app, x, 480);
            delete app;
            // Fit a sine of the tone's frequency at the expected delay over
            // the second half: in phase with amplitude 0.5 |H|^4.
            double s = 0, co = 0;
            const size_t from = x.size() / 2;
            const size_t len = (x.size() - from) / 100 * 100;
            for (size_t n = from; n < from + len; ++n) {
                double ph = w * (static_cast<double>(n) - c.delay);
                s += y[n] * std::sin(ph);
                co += y[n] * std::cos(ph);
            }
            s *= 2.0 / static_cast<double>(len);
            co *= 2.0 / static_cast<double>(len);
            double h = Magnitude(kAntiAliasTaps[c.set], 2 * kPi * hz / c.filterRate);
            EXPECT_NEAR(s, 0.5 * std::pow(h, 4), 2e-3);
            EXPECT_NEAR(co, 0.0, 2e-3);
        }
    }
}

TEST_F(AudioAppTest, FactorFourHasNoFilterAndPlaysSilence) {
    IdentityApp* app = MakeApp();
    ASSERT_EQ(app->Init(11025, 1, 1), 1);
    std::vector<float> x(4000, 0.3f);
    for (float v : Run(app, x, 100)) ASSERT_EQ(v, 0.0f);
    delete app;
}

TEST_F(AudioAppTest, EveryFailedInitAllocationLeavesNothing) {
    std::vector<float> data = RandomTables(3);
    HeadphoneTables tables{data.data()};
    CHeadphoneApp* app = new (NonPagedPoolNx, kTestTag) CHeadphoneApp(&tables);
    ASSERT_TRUE(app->IsReady());
    app->FreeBuffers();
    const int64_t base = sim::PoolLiveBlocks();
    for (uint64_t n = 1;; ++n) {
        SCOPED_TRACE(n);
        sim::PoolResetCounters();
        sim::PoolFailNth(n);
        int r = app->Init(96000, 8, 6);
        const bool failed = sim::PoolFailedAllocations() > 0;
        sim::PoolClearFailures();
        if (!failed) {
            EXPECT_EQ(r, 1);
            EXPECT_GT(n, 30u);  // every slot's buffers and converters were tried
            break;
        }
        EXPECT_EQ(r, 0);
        EXPECT_FALSE(app->IsReady());
        EXPECT_EQ(sim::PoolLiveBlocks(), base);
    }
    delete app;
}

}  // namespace
}  // namespace zvktest
