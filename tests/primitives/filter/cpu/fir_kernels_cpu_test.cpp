// FIR block kernels of the CPU builds: the direct kernel within the rounding
// bound at every source and destination offset, with its exact one-pass
// expressions and generic-equal heads; the multirate kernels bit for bit
// against their documented expressions, their table walks and count 0; the
// complex kernels against a double-precision reference. Every case runs in
// each build and the builds must agree bit for bit.
//
// Bound: |y_cpu - y| <= gamma(m + 1) * sum |terms| per output, m the number
// of terms added, gamma(k) = k 2^-24 / (1 - k 2^-24).
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <random>
#include <vector>

#include "tests/primitives/filter/cpu/filter_kernels.h"
#include "tests/primitives/support/sp_buffer.h"
#include "tests/primitives/support/ulp.h"

namespace sptest {
namespace {

double gamma(int k) {
    const double u = std::ldexp(1.0, -24);
    return k * u / (1.0 - k * u);
}

std::vector<float> randomFloats(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (float& f : v) f = dist(rng);
    return v;
}

// Tap j four times, 16-byte aligned (the CPU 'FI01' coefTable).
SpBuffer<float> splatTaps(const std::vector<float>& taps) {
    SpBuffer<float> c(4 * taps.size());
    for (size_t j = 0; j < taps.size(); ++j)
        for (int l = 0; l < 4; ++l) c.set(4 * j + l, taps[j]);
    return c;
}

// Runs fn(kernels) in every build and expects the same output bits.
void acrossBuilds(const std::function<std::vector<float>(const SpFilterKernels&)>& fn) {
    std::vector<std::vector<uint32_t>> bits;
    forEachFilterBuild([&](int, const SpFilterKernels& k) {
        std::vector<uint32_t> b;
        for (float f : fn(k)) b.push_back(floatBits(f));
        bits.push_back(b);
    });
    for (size_t i = 1; i < bits.size(); ++i) EXPECT_EQ(bits[i], bits[0]) << "build " << i + 1 << " vs build 1";
}

TEST(FirDirectKernel, WithinBoundAtEveryOffsetAndHeadsEqualTheSingleSum) {
    for (int L : {1, 2, 3, 4, 5, 7, 8, 9, 20, 24, 63, 64, 101}) {
        const std::vector<float> taps = randomFloats(L, 100 + L);
        SpBuffer<float> coef = splatTaps(taps);
        for (int count : {1, 2, 3, 4, 5, 7, 8, 9, 31, 128}) {
            const std::vector<float> x = randomFloats(count + L - 1, 7 * L + count);
            for (size_t srcOff : {0, 4, 8, 12}) {
                for (size_t dstOff : {0, 4, 8, 12, 1, 2}) {
                    SCOPED_TRACE(::testing::Message() << "L " << L << " count " << count << " src+" << srcOff
                                                      << " dst+" << dstOff);
                    acrossBuilds([&](const SpFilterKernels& k) {
                        SpBuffer<float> src(x, srcOff);
                        SpBuffer<float> dst(count, dstOff);
                        k.spFirDirectKernelF32(coef.data(), src.data(), dst.data(), count, L);
                        EXPECT_TRUE(dst.checkCanaries());
                        std::vector<float> out = dst.values();
                        const int heads = dstOff % 4 == 0 ? static_cast<int>((16 - dstOff) % 16 / 4) : 0;
                        for (int i = 0; i < count; ++i) {
                            float single = 0.0f;
                            double exact = 0.0, mag = 0.0;
                            for (int m = 0; m < L; ++m) {
                                const float p = taps[L - 1 - m] * x[i + m];
                                single += p;
                                exact += static_cast<double>(taps[L - 1 - m]) * x[i + m];
                                mag += std::fabs(static_cast<double>(taps[L - 1 - m]) * x[i + m]);
                            }
                            if (i < heads || L == 1) {
                                EXPECT_EQ(floatBits(out[i]), floatBits(single)) << "head output " << i;
                            } else {
                                EXPECT_LE(std::fabs(out[i] - exact), gamma(L + 1) * mag) << "output " << i;
                            }
                        }
                        return out;
                    });
                    if (::testing::Test::HasFailure()) return;
                }
            }
        }
    }
}

// One pass of one to three taps, exactly: x0 h0, x0 h1 + x1 h0,
// (x0 h2 + x1 h1) + x2 h0 (x0 the oldest input).
TEST(FirDirectKernel, ShortTapCountsGiveTheOnePassExpressions) {
    const std::vector<float> x = randomFloats(40, 3);
    for (int L = 1; L <= 3; ++L) {
        const std::vector<float> h = randomFloats(L, 50 + L);
        SpBuffer<float> coef = splatTaps(h);
        forEachFilterBuild([&](int, const SpFilterKernels& k) {
            SpBuffer<float> src(x, 0), dst(32);
            k.spFirDirectKernelF32(coef.data(), src.data(), dst.data(), 32, L);
            for (int i = 0; i < 32; ++i) {
                const float* w = &x[i];
                const float want = L == 1 ? w[0] * h[0] : L == 2 ? w[0] * h[1] + w[1] * h[0]
                                                               : (w[0] * h[2] + w[1] * h[1]) + w[2] * h[0];
                EXPECT_EQ(floatBits(dst.get(i)), floatBits(want)) << "L " << L << " output " << i;
            }
        });
    }
}

// Mode 1: each lane is (0 + ((t0 + t1) + (t2 + t3))) + ((t4 + t5) + (t6 + t7)),
// t0 the product of the oldest input; the index advances by the table
// entries and wraps with the end entry, the coefficients with it.
TEST(FirMultirateKernels, GroupsKernelExpressionAndTableWalk) {
    const int K = 8, up = 2;
    const std::vector<float> coefValues = randomFloats(4 * K * up, 9);
    SpBuffer<float> coef(coefValues, 0);
    const std::vector<float> x = randomFloats(200, 10);
    const int table[up + 1] = {1, 3, 4};  // advances; the end entry 4
    const int count = 24;                 // three cycles of two groups
    acrossBuilds([&](const SpFilterKernels& k) {
        std::vector<float> out(count, -1.0f);
        const int index = k.spFirMultirateGroupsKernel(coef.data(), x.data(), out.data(), count, table, table + up, 5, K);
        EXPECT_EQ(index, 5 + 3 * (1 + 3 + 4));
        int p = 5;
        for (int g = 0; g < count / 4; ++g) {
            const int j = g % up;
            p += table[j];
            for (int c = 0; c < 4; ++c) {
                float t[8];
                for (int m = 0; m < 8; ++m) t[m] = coefValues[(j * K + m) * 4 + c] * x[p + m];
                const float want = (0.0f + ((t[0] + t[1]) + (t[2] + t[3]))) + ((t[4] + t[5]) + (t[6] + t[7]));
                EXPECT_EQ(floatBits(out[4 * g + c]), floatBits(want)) << "group " << g << " lane " << c;
            }
            if (j == up - 1) p += table[up];
        }
        float untouched = -1.0f;
        EXPECT_EQ(k.spFirMultirateGroupsKernel(coef.data(), x.data(), &untouched, 0, table, table + up, 17, K), 17);
        EXPECT_EQ(untouched, -1.0f);
        return out;
    });
}

// Four, five and seven taps: (p0 + p2) + (p1 + p3), ((p0 + p4) + p2) + (p1 + p3),
// ((p0 + p4 + p6) + p2) + ((p1 + p5) + p3), in tap order.
float partialExpression(const float* p, int taps) {
    if (taps == 4) return (p[0] + p[2]) + (p[1] + p[3]);
    if (taps == 5) return ((p[0] + p[4]) + p[2]) + (p[1] + p[3]);
    return (((p[0] + p[4]) + p[6]) + p[2]) + ((p[1] + p[5]) + p[3]);
}

TEST(FirMultirateKernels, StrideKernelExpressions) {
    const std::vector<float> x = randomFloats(300, 12);
    for (int taps : {1, 2, 3, 4, 5, 7}) {
        const std::vector<float> rows = randomFloats(4 * taps + 4, 13 + taps);
        SpBuffer<float> coef(rows, 0);
        const int stride = 3, count = 16;
        acrossBuilds([&](const SpFilterKernels& k) {
            std::vector<float> out(count);
            EXPECT_EQ(k.spFirMultirateStrideKernel(coef.data(), x.data(), out.data(), count, 2, taps, stride),
                      2 + count * stride);
            for (int o = 0; o < count; ++o) {
                const float* w = &x[2 + o * stride];
                float want = 0.0f;
                if (taps >= 4) {
                    float p[7];
                    for (int m = 0; m < taps; ++m) p[m] = rows[m] * w[m];
                    want = partialExpression(p, taps);
                } else {
                    for (int m = 0; m < taps; ++m) want += rows[(o % 4) * taps + m] * w[m];
                }
                EXPECT_EQ(floatBits(out[o]), floatBits(want)) << "taps " << taps << " output " << o;
            }
            EXPECT_EQ(k.spFirMultirateStrideKernel(coef.data(), x.data(), out.data(), 0, 9, taps, stride), 9);
            return out;
        });
    }
}

// Mode 3: output r of the cycle uses row r at window offset table[r]; after
// one pass through the table the index has advanced by the end entry once
// and the next output uses the first entry and row again.
TEST(FirMultirateKernels, IndexedKernelExpressionsAndWrap) {
    const std::vector<float> x = randomFloats(300, 14);
    const int entries = 8;
    const int table[entries + 1] = {1, 3, 6, 8, 11, 13, 16, 18, 20};
    for (int taps : {1, 2, 3, 4, 5, 7}) {
        const std::vector<float> rows = randomFloats(entries * taps, 15 + taps);
        const int count = taps >= 4 ? entries + 3 : 2 * entries;
        acrossBuilds([&](const SpFilterKernels& k) {
            std::vector<float> out(count);
            const int index = k.spFirMultirateIndexedKernel(rows.data(), x.data(), out.data(), count, table,
                                                            table + entries, 0, taps);
            EXPECT_EQ(index, (count / entries) * table[entries]);
            for (int o = 0; o < count; ++o) {
                const int r = o % entries;
                const float* w = &x[(o / entries) * table[entries] + table[r]];
                float want = 0.0f;
                if (taps >= 4) {
                    float p[7];
                    for (int m = 0; m < taps; ++m) p[m] = rows[r * taps + m] * w[m];
                    want = partialExpression(p, taps);
                } else {
                    for (int m = 0; m < taps; ++m) want += rows[r * taps + m] * w[m];
                }
                EXPECT_EQ(floatBits(out[o]), floatBits(want)) << "taps " << taps << " output " << o;
            }
            EXPECT_EQ(k.spFirMultirateIndexedKernel(rows.data(), x.data(), out.data(), 0, table, table + entries, 4,
                                                    taps),
                      4);
            return out;
        });
    }
}

using cd = std::complex<double>;

std::vector<float> complexTapVectors(const std::vector<cd>& taps) {
    std::vector<float> v;
    for (const cd& t : taps) {
        const float re = static_cast<float>(t.real()), im = static_cast<float>(t.imag());
        for (float f : {re, re, re, re, -im, im, -im, im}) v.push_back(f);
    }
    return v;
}

std::vector<cd> randomComplex(size_t n, uint32_t seed) {
    const std::vector<float> f = randomFloats(2 * n, seed);
    std::vector<cd> c(n);
    for (size_t i = 0; i < n; ++i) c[i] = cd(f[2 * i], f[2 * i + 1]);
    return c;
}

std::vector<float> interleave(const std::vector<cd>& c) {
    std::vector<float> f;
    for (const cd& v : c) {
        f.push_back(static_cast<float>(v.real()));
        f.push_back(static_cast<float>(v.imag()));
    }
    return f;
}

// Each part is a sum of 2 L real products of magnitude <= 1 (combined in
// at most L + 3 additions).
void expectComplexNear(const float* got, const cd& want, int terms, const std::string& where) {
    const double bound = gamma(terms + 4) * 2.0 * terms;
    EXPECT_LE(std::fabs(got[0] - want.real()), bound) << where;
    EXPECT_LE(std::fabs(got[1] - want.imag()), bound) << where;
}

TEST(FirComplexKernels, DirectKernelAgainstDoubleReference) {
    for (int L = 1; L <= 6; ++L) {
        const std::vector<cd> taps = randomComplex(L, 30 + L);
        SpBuffer<float> coef(complexTapVectors(taps), 0);
        for (int count : {0, 1, 2, 3, 5, 9}) {
            const std::vector<cd> x = randomComplex(count + L, 40 + count);
            const std::vector<float> xf = interleave(x);
            for (size_t dstOff : {0, 8, 4}) {
                acrossBuilds([&](const SpFilterKernels& k) {
                    SpBuffer<float> dst(2 * count, dstOff);
                    dst.fillBytes(0x77);
                    k.spFirDirectKernelComplexF32(coef.data(), xf.data(), dst.data(), count, L);
                    EXPECT_TRUE(dst.checkCanaries());
                    std::vector<float> out = dst.values();
                    for (int i = 0; i < count; ++i) {
                        cd want = 0;
                        for (int j = 0; j < L; ++j) {
                            const cd tf(static_cast<float>(taps[j].real()), static_cast<float>(taps[j].imag()));
                            const cd xv(xf[2 * (i + L - 1 - j)], xf[2 * (i + L - 1 - j) + 1]);
                            want += tf * xv;
                        }
                        expectComplexNear(&out[2 * i], want, L,
                                          "L " + std::to_string(L) + " count " + std::to_string(count) + " output " +
                                              std::to_string(i) + " dst+" + std::to_string(dstOff));
                    }
                    return out;
                });
            }
        }
    }
}

// Planes for `sets` coefficient sets of `taps` complex values, consecutive
// (distance = taps): plane 1 (re, -im) pairs, plane 2 (im, re).
std::vector<float> complexPlanes(const std::vector<cd>& coefs, int taps, int numPhases) {
    const size_t planeFloats = 8 * static_cast<size_t>(taps) * numPhases;
    std::vector<float> planes(2 * planeFloats, 0.0f);
    for (size_t i = 0; i < coefs.size(); ++i) {
        const float re = static_cast<float>(coefs[i].real()), im = static_cast<float>(coefs[i].imag());
        planes[2 * i] = re;
        planes[2 * i + 1] = -im;
        planes[planeFloats + 2 * i] = im;
        planes[planeFloats + 2 * i + 1] = re;
    }
    return planes;
}

cd complexWindowSum(const std::vector<float>& xf, int64_t firstComplex, const std::vector<cd>& coefs, size_t set,
                    int taps) {
    cd s = 0;
    for (int m = 0; m < taps; ++m) {
        const cd c(static_cast<float>(coefs[set * taps + m].real()), static_cast<float>(coefs[set * taps + m].imag()));
        s += c * cd(xf[2 * (firstComplex + m)], xf[2 * (firstComplex + m) + 1]);
    }
    return s;
}

TEST(FirComplexKernels, MultirateKernelOneAndTwoPhases) {
    const std::vector<float> xf = interleave(randomComplex(400, 61));
    for (int taps : {1, 2, 3, 5}) {
        // One phase: windows at index + e0 and a further e1 (bytes); each
        // step moves two e1 on; both outputs share the coefficients.
        {
            const std::vector<cd> coefs = randomComplex(4 * taps, 70 + taps);
            const std::vector<float> planes = complexPlanes(coefs, taps, 1);
            const int32_t offsets[2] = {8 * 2, 8 * 3};
            const int count = 10;
            acrossBuilds([&](const SpFilterKernels& k) {
                std::vector<float> out(2 * count);
                const int index = k.spFirMultirateKernelComplexF32(planes.data(), xf.data(), out.data(), count, offsets,
                                                                   1, 1, taps, taps);
                EXPECT_EQ(index, 1 + (count / 2) * 2 * 3);
                for (int o = 0; o < count; ++o) {
                    const int64_t first = 1 + 2 + (o / 2) * 6 + (o % 2) * 3;
                    expectComplexNear(&out[2 * o], complexWindowSum(xf, first, coefs, 0, taps), taps,
                                      "one phase, taps " + std::to_string(taps) + " output " + std::to_string(o));
                }
                return out;
            });
        }
        // Two phases: entry pairs (advance from the previous second window,
        // second window relative to the first), four pairs per cycle, then
        // the cycle's end entry; coefficient sets consecutive.
        {
            const std::vector<cd> coefs = randomComplex(8 * taps, 80 + taps);
            const std::vector<float> planes = complexPlanes(coefs, taps, 2);
            const int32_t offsets[9] = {8, 16, 8, 24, 0, 8, 16, 8, 40};
            const int count = 20;  // two cycles and a half
            acrossBuilds([&](const SpFilterKernels& k) {
                std::vector<float> out(2 * count);
                k.spFirMultirateKernelComplexF32(planes.data(), xf.data(), out.data(), count, offsets, 2, 3, taps,
                                                 taps);
                int64_t pos = 3;
                int step = 0;
                for (int o = 0; o < count; o += 2, ++step) {
                    const int s = step % 4;
                    const int64_t first = pos + offsets[2 * s] / 8;
                    const int64_t second = first + offsets[2 * s + 1] / 8;
                    pos = second;
                    expectComplexNear(&out[2 * o], complexWindowSum(xf, first, coefs, 2 * s, taps), taps,
                                      "two phases, first of step " + std::to_string(step));
                    expectComplexNear(&out[2 * o + 2], complexWindowSum(xf, second, coefs, 2 * s + 1, taps), taps,
                                      "two phases, second of step " + std::to_string(step));
                    if (s == 3) pos += offsets[8] / 8;
                }
                return out;
            });
        }
    }
}

}  // namespace
}  // namespace sptest
