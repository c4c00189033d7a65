// The virtualizer's rate records: layout, transcribed values, the design
// properties they carry (loop gains, an orthogonal feedback matrix, the
// feed high-pass) and the generated head filters.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>

#include "dsp/virtualizer_heads.h"
#include "dsp/virtualizer_tables.h"

namespace {

struct RateRow {
    int index;
    int rate;
    int lineLength;
    int k;
    int d[4];
    int n[7];
    int recordLength;
};

const RateRow kRows[] = {
    {VIRTUALIZER_RATE_48000, 48000, 3588, 2, {600, 872, 779, 1033}, {16, 16, 16, 20, 20, 18, 18}, 243},
    {VIRTUALIZER_RATE_44100, 44100, 3307, 2, {551, 801, 716, 949}, {15, 15, 15, 19, 19, 17, 17}, 236},
    {VIRTUALIZER_RATE_32000, 32000, 2408, 3, {400, 581, 519, 688}, {10, 10, 10, 13, 13, 12, 12}, 203},
    {VIRTUALIZER_RATE_96000, 96000, 7155, 4, {1200, 1744, 1558, 2065}, {34, 34, 34, 42, 42, 38, 38}, 389},
    {VIRTUALIZER_RATE_88200, 88200, 6595, 4, {1103, 1603, 1431, 1898}, {32, 32, 32, 40, 40, 36, 36}, 375},
};

TEST(VirtualizerTables, RecordsHaveTheirLayout) {
    for (int i = 0; i < VIRTUALIZER_RATE_INDEXES; ++i) {
        const bool has = i <= 2 || i >= 16;
        EXPECT_EQ(VIRTUALIZER_RECORDS[i] != nullptr, has) << i;
        if (!has) {
            EXPECT_EQ(VIRTUALIZER_DELAY_LENGTHS[i], 0) << i;
        }
    }
    int longest = 0;
    for (const RateRow& row : kRows) {
        SCOPED_TRACE(row.rate);
        const VIRTUALIZER_RECORD_VIEW v = ViewVirtualizerRecord(row.index);
        EXPECT_EQ(VIRTUALIZER_DELAY_LENGTHS[row.index], row.lineLength);
        EXPECT_EQ(v.DampingTaps, row.k);
        EXPECT_EQ(v.Length, row.recordLength);
        EXPECT_EQ(VIRTUALIZER_RECORD_SIZES[row.index], (row.recordLength + 3) / 4 * 4);
        for (int p = v.Length; p < VIRTUALIZER_RECORD_SIZES[row.index]; ++p)
            EXPECT_EQ(VIRTUALIZER_RECORDS[row.index][p], 0.0f);
        const float* r = VIRTUALIZER_RECORDS[row.index];
        for (int i = 0; i < 4; ++i) {
            EXPECT_EQ(r[i * (1 + row.k)], row.d[i] - 1.0f);  // O = d - 1
            EXPECT_EQ(v.Delay[i], row.d[i]);
            EXPECT_EQ(v.Span[i], row.d[i] + row.k - 1);
        }
        for (int h = 0; h < 7; ++h) EXPECT_EQ(v.HeadTaps[h], row.n[h]);
        // Every delayed value fits the rate's line.
        EXPECT_LE(LayOutVirtualizerLine(v).Used, row.lineLength);
        longest = std::max(longest, row.lineLength);
    }
    EXPECT_EQ(VIRTUALIZER_LINE_SIZE, longest + 1);
}

TEST(VirtualizerTables, SharedValuesAreTheSameInEveryRecord) {
    const float feed[8] = {-0.55170316f, 0.6189465f, 0.55170316f, 0.6189465f,
                           0.5651518f,   0.32964623f, 0.5651518f, 0.32964623f};
    const float gains[11] = {1.0f, 1.0f, 0.8406633f, 1.0f, 0.8406633f, 0.8200073f,
                             0.8200073f, 0.90997314f, 1.0f, 0.90997314f, 1.0f};
    const float m3[4] = {-0.39508057f, -0.40875244f, 0.74658203f, -0.3456421f};
    const float wr[7] = {1, 1, -1, 1, -1, 1, -1};
    for (const RateRow& row : kRows) {
        SCOPED_TRACE(row.rate);
        const VIRTUALIZER_RECORD_VIEW v = ViewVirtualizerRecord(row.index);
        for (int i = 0; i < 8; ++i) EXPECT_EQ(v.FeedWeights[i], feed[i]);
        for (int i = 0; i < 11; ++i) EXPECT_EQ(v.Gains[i], gains[i]);
        for (int i = 0; i < 12; ++i) EXPECT_EQ(v.PairWeights[i], i % 4 == 3 ? -0.5f : 0.5f);
        for (int i = 0; i < 7; ++i) {
            EXPECT_EQ(v.EarWeightsL[i], 1.0f);
            EXPECT_EQ(v.EarWeightsR[i], wr[i]);
        }
        for (int i = 0; i < 4; ++i) EXPECT_EQ(v.Feedback[3][i], m3[i]);
        EXPECT_EQ(v.Feedback[0][0], -0.15246582f);
        EXPECT_EQ(v.Feedback[2][1], 0.88220215f);
        for (int t = 0; t < 3; ++t) {
            EXPECT_EQ(v.Left.Kernel[t], t == 1 ? 1.0f : 0.5f);
            EXPECT_EQ(v.Right.Kernel[t], v.Left.Kernel[t]);
            EXPECT_EQ(v.Right.Centre[t], v.Left.Centre[t]);
            EXPECT_EQ(v.Right.Front[t], v.Left.Front[t]);
            EXPECT_EQ(v.Right.Side[t], v.Left.Side[t]);
            EXPECT_EQ(v.Right.Back[t], v.Left.Back[t]);
        }
    }
}

// A few per-rate entries, and each line's loop gain (its damping taps'
// sum), the same at every rate.
TEST(VirtualizerTables, PerRateValuesAndLoopGains) {
    struct Pin {
        int index;
        float g1First, b0, a2, centre2, back1;
    } pins[] = {
        {VIRTUALIZER_RATE_48000, 0.3803711f, 0.49066162f, -0.4815979f, -0.14730835f, -0.049926758f},
        {VIRTUALIZER_RATE_44100, 0.5072632f, 0.48983765f, -0.47998047f, -0.06954956f, -0.042236328f},
        {VIRTUALIZER_RATE_32000, 0.62976074f, 0.48602295f, -0.47262573f, 0.2170105f, -0.06964111f},
        {VIRTUALIZER_RATE_96000, 0.22711182f, 0.49531555f, -0.49069214f, 0.05065918f, 0.02947998f},
        {VIRTUALIZER_RATE_88200, 0.23773193f, 0.49490356f, -0.48989868f, 0.045410156f, 0.030883789f},
    };
    const double loop[4] = {0.7607, 0.6721, 0.7012, 0.6245};
    for (const Pin& p : pins) {
        SCOPED_TRACE(p.index);
        const VIRTUALIZER_RECORD_VIEW v = ViewVirtualizerRecord(p.index);
        EXPECT_EQ(v.Damping[0][0], p.g1First);
        EXPECT_EQ(v.HighPass[0], p.b0);
        EXPECT_EQ(v.HighPass[4], p.a2);
        EXPECT_EQ(v.Left.Centre[2], p.centre2);
        EXPECT_EQ(v.Left.Back[1], p.back1);
        for (int i = 0; i < 4; ++i) {
            double sum = 0;
            for (int t = 0; t < v.DampingTaps; ++t) sum += v.Damping[i][t];
            EXPECT_NEAR(sum, loop[i], 5e-4) << "line " << i + 1;
        }
    }
}

TEST(VirtualizerTables, FeedbackMatrixIsOrthogonal) {
    const VIRTUALIZER_RECORD_VIEW v = ViewVirtualizerRecord(VIRTUALIZER_RATE_48000);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            double dot = 0;
            for (int c = 0; c < 4; ++c) dot += (double)v.Feedback[i][c] * v.Feedback[j][c];
            EXPECT_NEAR(dot, i == j ? 1.0 : 0.0, 1e-4) << i << "," << j;
        }
}

// HP = 2 (b0 + b1 z^-1 + b2 z^-2) / (1 - 2 a1 z^-1 - 2 a2 z^-2): about
// -6 dB at 200 Hz, unity near Nyquist.
TEST(VirtualizerTables, FeedHighPassIsSixDecibelsDownAt200Hz) {
    for (const RateRow& row : kRows) {
        const float* h = ViewVirtualizerRecord(row.index).HighPass;
        auto gain = [&](double f) {
            const std::complex<double> z1 = std::polar(1.0, -2 * M_PI * f / row.rate), z2 = z1 * z1;
            const std::complex<double> num = 2.0 * ((double)h[0] + (double)h[1] * z1 + (double)h[2] * z2);
            const std::complex<double> den = 1.0 - 2.0 * (double)h[3] * z1 - 2.0 * (double)h[4] * z2;
            return 20 * std::log10(std::abs(num / den));
        };
        EXPECT_NEAR(gain(200.0), -6.0, 0.5) << row.rate;
        EXPECT_NEAR(gain(row.rate / 2.0), 0.0, 0.1) << row.rate;
    }
}

const float* const kHeads[] = {VIRTUALIZER_HEADS_48000, VIRTUALIZER_HEADS_44100, VIRTUALIZER_HEADS_32000,
                               VIRTUALIZER_HEADS_96000, VIRTUALIZER_HEADS_88200};

// The records carry the generated taps, on the 2^-15 grid and below 1; the
// 48 kHz centre and front-mid filters begin with their fixed taps.
TEST(VirtualizerTables, HeadFiltersAreTheGeneratedOnes) {
    for (int r = 0; r < 5; ++r) {
        SCOPED_TRACE(kRows[r].rate);
        const VIRTUALIZER_RECORD_VIEW v = ViewVirtualizerRecord(kRows[r].index);
        const float* generated = kHeads[r];
        for (int h = 0; h < 7; ++h) {
            for (int t = 0; t < v.HeadTaps[h]; ++t) {
                const float tap = v.Head[h][t];
                EXPECT_EQ(tap, *generated++);
                EXPECT_LT(std::fabs(tap), 1.0f);
                EXPECT_EQ(tap * 32768.0f, std::nearbyint(tap * 32768.0f));
            }
        }
    }
    const VIRTUALIZER_RECORD_VIEW v = ViewVirtualizerRecord(VIRTUALIZER_RATE_48000);
    const float centre[4] = {0.14974976f, -0.077545166f, 0.010314941f, -0.03225708f};
    const float frontMid[4] = {0.13085938f, -0.09222412f, -0.024963379f, 0.07336426f};
    for (int t = 0; t < 4; ++t) {
        EXPECT_EQ(v.Head[0][t], centre[t]);
        EXPECT_EQ(v.Head[1][t], frontMid[t]);
    }
}

// Mean group delay (ms) over 200..800 Hz of taps at lags 2, 4, ... 2N.
double GroupDelayMs(const std::vector<double>& taps, int rate) {
    double sum = 0;
    const int points = 61;
    for (int i = 0; i < points; ++i) {
        const double w = 2 * M_PI * (200.0 + 10.0 * i) / rate;
        std::complex<double> h, dh;
        for (size_t k = 0; k < taps.size(); ++k) {
            const double lag = 2.0 * (k + 1);
            const std::complex<double> e = std::polar(taps[k], -w * lag);
            h += e;
            dh += lag * e;
        }
        sum += (dh / h).real();
    }
    return sum / points / rate * 1000.0;
}

// Each pair's ears, (mid + side)/2 and (mid - side)/2, lie apart in time as
// the head model's ears do (the 48 kHz front pair, with its fixed taps,
// excepted).
TEST(VirtualizerTables, HeadFiltersKeepTheModelsInterauralDelays) {
    for (int r = 0; r < 5; ++r) {
        const VIRTUALIZER_RECORD_VIEW v = ViewVirtualizerRecord(kRows[r].index);
        for (int pair = 0; pair < 3; ++pair) {
            if (kRows[r].index == VIRTUALIZER_RATE_48000 && pair == 0) continue;
            const float* mid = v.Head[1 + 2 * pair];
            const float* side = v.Head[2 + 2 * pair];
            std::vector<double> ipsi, contra;
            for (int t = 0; t < v.HeadTaps[1 + 2 * pair]; ++t) {
                ipsi.push_back((mid[t] + side[t]) / 2.0);
                contra.push_back((mid[t] - side[t]) / 2.0);
            }
            const double itd = GroupDelayMs(contra, kRows[r].rate) - GroupDelayMs(ipsi, kRows[r].rate);
            EXPECT_NEAR(itd, VIRTUALIZER_HEAD_MODEL_ITD_MS[pair], 0.05) << kRows[r].rate << " Hz, pair " << pair;
        }
    }
}

}  // namespace
