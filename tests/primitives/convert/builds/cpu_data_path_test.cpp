// The data path's conversions and the vector power at each CPU build,
// selected the way a caller would (spSetCpu), against the generic build.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "primitives/convert/entry_table_a.h"
#include "primitives/convert/sp_cpu.h"
#include "primitives/convert/sp_gen.h"
#include "tests/primitives/support/dispatch.h"
#include "tests/primitives/support/mxcsr.h"

namespace sptest {
namespace {

// The CPU type code spSetCpu maps to each build.
int typeForBuild(int build) { return build == 1 ? 0x20 : (build == 2 ? SP_CPU_SSSE3 : SP_CPU_SSE41); }

template <typename Fn>
void forEachSelectedBuild(Fn&& fn) {
    for (int b = 1; b < SP_BUILD_COUNT; ++b) {
        if (!cpuHasBuild(b)) {
            std::printf("[ note     ] %s: not supported by this CPU, skipped\n", buildName(b));
            continue;
        }
        ScopedDispatchIndex keep(SP_BUILD_GEN);
        ASSERT_EQ(spSetCpu(typeForBuild(b)), SP_STS_OK);
        ASSERT_EQ(spDispatchIndex.load(), b);
        SCOPED_TRACE(buildName(b));
        fn(b);
    }
}

template <typename T>
std::vector<uint8_t> bytesOf(const std::vector<T>& v) {
    std::vector<uint8_t> out(v.size() * sizeof(T));
    std::memcpy(out.data(), v.data(), out.size());
    return out;
}

// All 65,536 int16 values to float (sf 15) and back (sf -15) under the data
// path's MXCSR: the same floats as the generic build, and the same int16.
TEST(DataPath, EveryInt16RoundTripsAtEveryBuild) {
    std::vector<int16_t> in(65536);
    for (int i = 0; i < 65536; ++i) in[i] = (int16_t)(i - 32768);
    std::vector<float> genFloats(65536);
    {
        MxcsrScope scope(kMxcsrDataPath);
        ASSERT_EQ(spI16ToF32Scaled_Gen(in.data(), genFloats.data(), 65536, 15), SP_STS_OK);
    }
    forEachSelectedBuild([&](int) {
        MxcsrScope scope(kMxcsrDataPath);
        std::vector<float> f(65536);
        std::vector<int16_t> back(65536);
        ASSERT_EQ(spI16ToF32Scaled(in.data(), f.data(), 65536, 15), SP_STS_OK);
        ASSERT_EQ(spF32ToI16Scaled(f.data(), back.data(), 65536, 0, -15), SP_STS_OK);
        EXPECT_EQ(bytesOf(f), bytesOf(genFloats));
        EXPECT_EQ(back, in);
    });
}

// 24- and 32-bit paths and the channel split on one block of seeded data.
TEST(DataPath, Pcm24And32AndChannelSplitGiveTheGenericBytes) {
    const int frames = 1031, channels = 6, n = frames * channels;
    std::mt19937 rng(4);
    std::vector<uint8_t> pcm24(3 * n);
    for (auto& b : pcm24) b = (uint8_t)rng();
    std::vector<int32_t> pcm32(n);
    for (auto& v : pcm32) v = (int32_t)rng();
    struct Out {
        std::vector<float> f24, f32, ch[6], joined;
        std::vector<uint8_t> back24;
        std::vector<int32_t> back32;
        SpStatus st[6];
    };
    auto run = [&](Out& o) {
        MxcsrScope scope(kMxcsrDataPath);
        o.f24.resize(n), o.f32.resize(n), o.joined.resize(n), o.back24.resize(3 * n), o.back32.resize(n);
        o.st[0] = spI24ToF32(pcm24.data(), o.f24.data(), n);
        o.st[1] = spDivConstF32InPlace(8388608.0f, o.f24.data(), n);
        o.st[2] = spF32ToI24Scaled(o.f24.data(), o.back24.data(), n, -23);
        o.st[3] = spI32ToF32Scaled(pcm32.data(), o.f32.data(), n, 31);
        float* chans[6];
        for (int c = 0; c < channels; ++c) o.ch[c].resize(frames), chans[c] = o.ch[c].data();
        o.st[4] = spDeinterleaveF32(o.f32.data(), channels, frames, chans);
        const float* cchans[6] = {chans[0], chans[1], chans[2], chans[3], chans[4], chans[5]};
        o.st[5] = spInterleaveF32(cchans, channels, frames, o.joined.data());
        spF32ToI32Scaled(o.joined.data(), o.back32.data(), n, 0, -31);
    };
    Out gen;
    run(gen);
    EXPECT_EQ(gen.back24, pcm24);
    forEachSelectedBuild([&](int) {
        Out o;
        run(o);
        for (int k = 0; k < 6; ++k) EXPECT_EQ(o.st[k], gen.st[k]) << k;
        EXPECT_EQ(bytesOf(o.f24), bytesOf(gen.f24));
        EXPECT_EQ(o.back24, gen.back24);
        EXPECT_EQ(bytesOf(o.f32), bytesOf(gen.f32));
        for (int c = 0; c < channels; ++c) EXPECT_EQ(bytesOf(o.ch[c]), bytesOf(gen.ch[c]));
        EXPECT_EQ(bytesOf(o.joined), bytesOf(gen.joined));
        EXPECT_EQ(o.back32, gen.back32);
    });
}

TEST(DataPath, TwoChannelSplitAndJoinAtEveryLengthAndAlignment) {
    forEachSelectedBuild([&](int) {
        for (int len = 1; len <= 40; ++len)
            for (size_t off : {0, 4, 8, 12}) {
                std::vector<float> block(2 * len + 8), a(len + 8), b(len + 8), joined(2 * len + 8);
                for (size_t i = 0; i < block.size(); ++i) {
                    uint32_t bits = 0x7F800001u + (uint32_t)i;  // signalling NaN payloads pass unchanged
                    std::memcpy(&block[i], &bits, 4);
                }
                float* chans[2] = {a.data() + off / 4, b.data()};
                ASSERT_GE(spDeinterleaveF32(block.data() + 1, 2, len, chans), 0);
                const float* cchans[2] = {chans[0], chans[1]};
                ASSERT_GE(spInterleaveF32(cchans, 2, len, joined.data() + off / 4), 0);
                ASSERT_EQ(std::memcmp(joined.data() + off / 4, block.data() + 1, 8 * (size_t)len), 0) << len;
                ASSERT_EQ(joined[off / 4 + 2 * len], 0.0f) << "written past the block";
            }
    });
}

// ---- Power in groups of 8 ---------------------------------------------------------
// x, y pairs: ordinary ones take the fast path; special ones (negative base,
// zero, NaN, a huge exponent) go through the special routine.
void ordinary(std::mt19937& rng, float* x, float* y) {
    *x = 0.5f + (float)(rng() % 1000) / 300.0f;
    *y = (float)((int)(rng() % 2000) - 1000) / 100.0f;
}
void special(std::mt19937& rng, float* x, float* y) {
    const float xs[] = {-2.0f, 0.0f, NAN, 3.0f, -0.0f, 1e-40f};
    const float ys[] = {3.0f, -1.0f, 2.0f, 200.0f, -3.0f, 0.5f};
    int k = (int)(rng() % 6);
    *x = xs[k], *y = ys[k];
}

TEST(Power, GroupsOfEightTakeTheFastPathOnlyWhenEveryElementQualifies) {
    std::mt19937 rng(25);
    for (int len : {1, 7, 8, 9, 16, 23, 40, 4096}) {
        std::vector<float> x(len), y(len);
        std::vector<bool> isSpecial(len);
        for (int i = 0; i < len; ++i) {
            isSpecial[i] = rng() % 5 == 0;
            isSpecial[i] ? special(rng, &x[i], &y[i]) : ordinary(rng, &x[i], &y[i]);
        }
        // Expected: each element of a group of 8 (or a tail element) with a
        // special member through the special routine, the rest as fast values
        // (the generic build's value of the element alone).
        std::vector<float> want(len);
        SpStatus wantStatus = SP_STS_OK;
        const int grouped = len & ~7;
        for (int i = 0; i < len; ++i) {
            bool mixed = isSpecial[i];
            if (i < grouped)
                for (int j = i & ~7; j < (i & ~7) + 8; ++j) mixed = mixed || isSpecial[j];
            if (mixed)
                spPowSpecialF32(x.data(), y.data(), want.data(), i, &wantStatus);
            else
                ASSERT_EQ(spPowF32_Gen(&x[i], &y[i], &want[i], 1), SP_STS_OK);
        }
        forEachSelectedBuild([&](int) {
            std::vector<float> got(len);
            EXPECT_EQ(spPowF32(x.data(), y.data(), got.data(), len), wantStatus);
            EXPECT_EQ(bytesOf(got), bytesOf(want)) << "len " << len;
        });
    }
}

TEST(Power, AllFastOrAllSpecialInputsEqualTheGenericBuild) {
    std::mt19937 rng(26);
    for (bool specials : {false, true}) {
        std::vector<float> x(4099), y(4099), gen(4099);
        for (int i = 0; i < 4099; ++i) specials ? special(rng, &x[i], &y[i]) : ordinary(rng, &x[i], &y[i]);
        SpStatus genStatus = spPowF32_Gen(x.data(), y.data(), gen.data(), 4099);
        forEachSelectedBuild([&](int) {
            std::vector<float> got(4099);
            MxcsrScope scope(kMxcsrDataPath);
            EXPECT_EQ(spPowF32(x.data(), y.data(), got.data(), 4099), genStatus);
            EXPECT_EQ(bytesOf(got), bytesOf(gen));
        });
    }
}

TEST(Power, EdgeCases) {
    struct Row {
        float x, y;
        uint32_t want;
        SpStatus status;
    };
    const std::vector<Row> rows = {
        {10.0f, -1.0f, 0x3DCCCCCD, 0}, {10.0f, 2.0f, 0x42C80000, 0}, {10.0f, 0.0f, 0x3F800000, 0},
        {10.0f, -1638.4f, 0x00000000, 0}, {-8.0f, 1.0f / 3.0f, 0xFFC00000, 19}, {-2.0f, 3.0f, 0xC1000000, 0},
        {-2.0f, 16777216.0f, 0x7F800000, 0}, {0.0f, -1.0f, 0x7F800000, 19}, {-0.0f, -3.0f, 0xFF800000, 19},
        {-0.0f, 3.0f, 0x80000000, 0}, {NAN, 0.0f, 0x3F800000, 0}, {1.0f, NAN, 0x3F800000, 0},
        {0.5f, -INFINITY, 0x7F800000, 0}, {2.0f, -INFINITY, 0x00000000, 0}, {std::ldexp(1.0f, -140), 0.5f, 0x1C800000, 0},
        {3.0f, 200.0f, 0x7F800000, 0},
    };
    forEachSelectedBuild([&](int) {
        for (const Row& r : rows) {
            float out;
            EXPECT_EQ(spPowF32(&r.x, &r.y, &out, 1), r.status) << r.x << "^" << r.y;
            uint32_t bits;
            std::memcpy(&bits, &out, 4);
            EXPECT_EQ(bits, r.want) << r.x << "^" << r.y;
        }
        // The caller's flush-to-zero is cleared for the call and back after it.
        MxcsrScope scope(kMxcsrDataPath);
        float x = 10.0f, y = -1.0f, out;
        spPowF32(&x, &y, &out, 1);
        EXPECT_EQ(readMxcsr() & kMxcsrControlMask, kMxcsrDataPath & kMxcsrControlMask);
    });
}

}  // namespace
}  // namespace sptest
