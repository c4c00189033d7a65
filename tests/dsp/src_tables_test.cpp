// The converters' generated coefficient tables: quoted values, symmetries,
// row sums, and each table's response measured here by a direct DFT in
// double on a dense grid.
#include <cmath>
#include <complex>
#include <vector>

#include "dsp/rate_converters.h"
#include "tests/dsp/dsp_test_base.h"

namespace {

// |H(f)| in dB of taps h at frequency f (cycles per sample).
double GainDb(const std::vector<double>& h, double f) {
    std::complex<double> sum = 0.0;
    for (size_t n = 0; n < h.size(); ++n) sum += h[n] * std::polar(1.0, -2.0 * M_PI * f * (double)n);
    return 20.0 * std::log10(std::abs(sum));
}

double WorstDb(const std::vector<double>& h, double from, double to, int points, double ref, bool absolute) {
    double worst = -1e9;
    for (int i = 0; i < points; ++i) {
        double db = GainDb(h, from + (to - from) * i / (points - 1)) - ref;
        worst = std::max(worst, absolute ? std::fabs(db) : db);
    }
    return worst;
}

// The polyphase prototype at the high rate: row r, tap t is sample
// step*t + r of it, taken in time order.
std::vector<double> Prototype(const float* table, int rows, int taps) {
    std::vector<double> p((size_t)rows * taps);
    for (int r = 0; r < rows; ++r)
        for (int t = 0; t < taps; ++t) p[(size_t)(rows * t + r)] = table[r * taps + t];
    return p;
}

TEST(SrcTablesTest, QuotedValuesSymmetriesAndSums) {
    const float x2Head[] = {0.0007137369f, 0.00032002575f, -0.0011169648f, -7.067102e-05f};
    const float x2Mid[] = {-0.0956121f, 0.14219132f, 0.4569358f, 0.4569358f, 0.14219132f, -0.0956121f};
    const float x4Head[] = {0.00016910749f, 0.000697353f, 0.00010989226f};
    const float x4Mid[] = {0.11526934f, 0.1976918f, 0.24820642f, 0.24820642f, 0.1976918f, 0.11526934f};
    const float upRow1[] = {-2e-07f,   3.9e-06f,  -1.88e-05f, 6.13e-05f,  -0.000159f, 0.0003542f, -0.000712f,
                            0.0013519f, -0.0025913f, 0.0060005f, 0.9999339f, -0.0059189f, 0.0025689f, -0.0013413f,
                            0.0007062f, -0.0003509f, 0.0001573f, -6.05e-05f, 1.85e-05f, -3.8e-06f};
    const float downRow0[] = {8.4e-06f,   -0.0001362f, 0.0006689f, -0.0021753f, 0.00553f,    -0.0118127f,
                              0.0221088f, -0.0373994f, 0.0590734f, -0.0921772f, 0.1710394f,  0.9272827f,
                              -0.0472934f, 0.0008136f, 0.0110975f, -0.0124419f, 0.0098317f,  -0.0063183f,
                              0.0033674f, -0.0014536f, 0.0004729f, -9.44e-05f,  0.0f,        0.0f};
    // Printed values hold within half a unit of their last digit.
    auto near = [](float got, float quoted) {
        double digits = std::pow(10.0, std::floor(std::log10(std::fabs((double)quoted) + 1e-30)) - 6.0);
        return std::fabs((double)got - (double)quoted) <= std::max(digits, 5e-8) + 1e-7 * std::fabs((double)quoted);
    };
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(near(SRC_X2_TAPS[i], x2Head[i])) << i;
    for (int i = 0; i < 6; ++i) EXPECT_TRUE(near(SRC_X2_TAPS[30 + i], x2Mid[i])) << i;
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(near(SRC_X4_TAPS[i], x4Head[i])) << i;
    for (int i = 0; i < 6; ++i) EXPECT_TRUE(near(SRC_X4_TAPS[63 + i], x4Mid[i])) << i;
    for (int t = 0; t < 20; ++t) EXPECT_NEAR(SRC_44K_TO_48K_PHASES[1][t], upRow1[t], 5e-8 + 5e-7 * std::fabs(upRow1[t]));
    for (int t = 0; t < 24; ++t)
        EXPECT_NEAR(SRC_48K_TO_44K_PHASES[0][t], downRow0[t], 5e-8 + 5e-7 * std::fabs(downRow0[t])) << t;
    EXPECT_NEAR(SRC_44K_TO_48K_PHASES[80][9], 0.6291112f, 1e-7);
    EXPECT_NEAR(SRC_44K_TO_48K_PHASES[80][8], -0.1906177f, 1e-7);

    double x2Sum = 0, x4Sum = 0;
    for (int k = 0; k < 66; ++k) {
        EXPECT_EQ(SRC_X2_TAPS[k], SRC_X2_TAPS[65 - k]);
        x2Sum += SRC_X2_TAPS[k];
    }
    for (int k = 0; k < 132; ++k) {
        EXPECT_EQ(SRC_X4_TAPS[k], SRC_X4_TAPS[131 - k]);
        x4Sum += SRC_X4_TAPS[k];
    }
    EXPECT_NEAR(x2Sum, 1.001, 5e-4);
    EXPECT_NEAR(x4Sum, 1.001, 5e-4);
    for (int t = 0; t < 20; ++t) {
        EXPECT_EQ(SRC_44K_TO_48K_PHASES[0][t], t == 10 ? 1.0f : 0.0f);
        EXPECT_EQ(SRC_44K_TO_48K_PHASES[80][t], SRC_44K_TO_48K_PHASES[80][19 - t]);
        EXPECT_EQ(SRC_44K_TO_48K_PHASES[159][t], SRC_44K_TO_48K_PHASES[1][19 - t]);
    }
    for (int r = 0; r < 160; ++r) {
        double sum = 0;
        for (int t = 0; t < 20; ++t) sum += SRC_44K_TO_48K_PHASES[r][t];
        EXPECT_NEAR(sum, 1.0, 4e-6) << r;
    }
    for (int r = 0; r < 147; ++r) {
        double sum = 0;
        for (int t = 0; t < 24; ++t) sum += SRC_48K_TO_44K_PHASES[r][t];
        EXPECT_NEAR(sum, 1.0, 2e-5) << r;
    }
}

TEST(SrcTablesTest, HalvingAndQuarteringFiltersMeetTheirResponse) {
    std::vector<double> x2(SRC_X2_TAPS, SRC_X2_TAPS + 66), x4(SRC_X4_TAPS, SRC_X4_TAPS + 132);
    EXPECT_LE(WorstDb(x2, 0.0, 0.23, 400, 0.0, true), 0.02);
    EXPECT_LE(WorstDb(x2, 0.28, 0.5, 800, 0.0, false), -59.5);
    EXPECT_LE(WorstDb(x4, 0.0, 0.115, 400, 0.0, true), 0.02);
    EXPECT_LE(WorstDb(x4, 0.14, 0.5, 1600, 0.0, false), -59.5);
}

TEST(SrcTablesTest, PolyphasePrototypesMeetTheirResponseAndRowDelays) {
    std::vector<double> up = Prototype(&SRC_44K_TO_48K_PHASES[0][0], 160, 20);
    const double upRate = 160.0 * 44100.0;
    double upDc = GainDb(up, 0.0);
    EXPECT_LE(WorstDb(up, 0.0, 16000.0 / upRate, 200, upDc, true), 0.01);
    EXPECT_NEAR(GainDb(up, 22050.0 / upRate) - upDc, -6.0, 0.1);
    EXPECT_LE(WorstDb(up, 29000.0 / upRate, 0.5, 3000, upDc, false), -90.0);

    std::vector<double> down = Prototype(&SRC_48K_TO_44K_PHASES[0][0], 147, 24);
    const double downRate = 147.0 * 48000.0;
    double downDc = GainDb(down, 0.0);
    EXPECT_LE(WorstDb(down, 0.0, 16000.0 / downRate, 200, downDc, true), 0.01);
    EXPECT_LE(WorstDb(down, 30000.0 / downRate, 0.5, 3000, downDc, false), -95.0);

    // Row r delays by (1600 - r)/phases input samples (its centre of mass
    // at low frequency).
    for (int r = 0; r < 160; ++r) {
        double num = 0, den = 0;
        for (int t = 0; t < 20; ++t) num += t * (double)SRC_44K_TO_48K_PHASES[r][t], den += SRC_44K_TO_48K_PHASES[r][t];
        EXPECT_NEAR(num / den, (1600.0 - r) / 160.0, 0.01) << r;
    }
    for (int r = 0; r < 147; ++r) {
        double num = 0, den = 0;
        for (int t = 0; t < 24; ++t) num += t * (double)SRC_48K_TO_44K_PHASES[r][t], den += SRC_48K_TO_44K_PHASES[r][t];
        EXPECT_NEAR(num / den, (1600.0 - r) / 147.0, 0.01) << r;
    }
}

}  // namespace
