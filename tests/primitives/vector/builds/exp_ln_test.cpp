// Exponential and single-precision logarithm of CPU builds 1-3: edge lists,
// error bounds against glibc's double functions, the logarithm's path split
// and status, the exponential's MXCSR flags, the bounds of partial groups,
// and the logarithm entry called from several threads.
#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "primitives/vector/entry_table_b.h"
#include "tests/primitives/support/dispatch.h"
#include "tests/primitives/support/mxcsr.h"
#include "tests/primitives/support/sp_buffer.h"
#include "tests/primitives/support/ulp.h"
#include "tests/primitives/vector/builds/vec_kernels.h"

namespace sptest {
namespace {

constexpr uint32_t kPlusInf = 0x7f800000u;
constexpr uint32_t kQuietNan = 0x7fc00000u;
constexpr uint32_t kNegNan = 0xffc00000u;

// Runs the exponential on {x, 1, 2, 3}: x in a full group of four.
float expInGroup(const SpVecKernels& k, float x) {
    float v[4] = {x, 1.0f, 2.0f, 3.0f};
    k.spExpF32Kernel(v, v, 4);
    return v[0];
}

struct ExpEdge {
    const char* name;
    uint32_t in;
    enum { kBits, kNear1, kFinite, kNormal } check;
    uint32_t bits;
};

TEST(VecExp, EdgeList) {
    const ExpEdge edges[] = {
        {"88 overflows", 0x42b00000u, ExpEdge::kBits, kPlusInf},
        {"+Inf", kPlusInf, ExpEdge::kBits, kPlusInf},
        {"87 finite", 0x42ae0000u, ExpEdge::kFinite, 0},
        {"87.0999985 finite", 0x42ae3333u, ExpEdge::kFinite, 0},
        {"-87.33 normal", floatBits(-87.33f), ExpEdge::kNormal, 0},
        {"-87.4 gives +0", floatBits(-87.4f), ExpEdge::kBits, 0},
        {"-87.3365021 gives +0", 0xc2aeac4au, ExpEdge::kBits, 0},
        {"-Inf gives +0", 0xff800000u, ExpEdge::kBits, 0},
        {"quiet NaN", kQuietNan, ExpEdge::kBits, kQuietNan},
        {"NaN payload", 0x7fc12345u, ExpEdge::kBits, kQuietNan},
        {"signalling NaN", 0x7f800001u, ExpEdge::kBits, kQuietNan},
        {"+0", 0, ExpEdge::kNear1, 0},
        {"-0", 0x80000000u, ExpEdge::kNear1, 0},
        {"smallest subnormal", 1, ExpEdge::kNear1, 0},
        {"negative subnormal", 0x80012345u, ExpEdge::kNear1, 0},
    };
    forEachVecBuild([&](int, const SpVecKernels& k) {
        for (const ExpEdge& e : edges) {
            SCOPED_TRACE(e.name);
            float got = expInGroup(k, bitsFloat(e.in));
            switch (e.check) {
                case ExpEdge::kBits: EXPECT_EQ(floatBits(got), e.bits); break;
                case ExpEdge::kNear1: EXPECT_NEAR(got, 1.0f, 1.0 / (1 << 21)); break;
                case ExpEdge::kFinite:
                    EXPECT_LE(ulpError(got, std::exp((double)bitsFloat(e.in))), 6.0);
                    break;
                case ExpEdge::kNormal: EXPECT_TRUE(std::isnormal(got) && got > 0.0f) << got; break;
            }
        }
    });
}

// Every 97th float of (-87.3365, 87.1] against exp(double): the bound and
// the same bits in every build of this run.
TEST(VecExp, WithinSixUlpOfExpAndEqualAcrossBuilds) {
    std::vector<float> in;
    for (uint32_t b = 0x80000000u; b <= 0xc2aeac4au; b += 97) in.push_back(bitsFloat(b));
    for (uint32_t b = 0; b <= 0x42ae3333u; b += 97) in.push_back(bitsFloat(b));
    std::vector<double> ref(in.size());
    for (size_t i = 0; i < in.size(); ++i) ref[i] = std::exp((double)in[i]);
    std::vector<float> first;
    forEachVecBuild([&](int build, const SpVecKernels& k) {
        std::vector<float> out(in.size());
        k.spExpF32Kernel(in.data(), out.data(), (int)in.size());
        double worst = 0;
        for (size_t i = 0; i < in.size(); ++i) {
            if (std::fabs(in[i]) < 1.17549435e-38f) continue;  // zeros and subnormals: the edge list
            double err = ulpError(out[i], ref[i]);
            if (err > worst) worst = err;
            if (err > 6.0) {
                ADD_FAILURE() << "x = " << in[i] << " got " << out[i] << " err " << err;
                return;
            }
        }
        std::printf("[ measure  ] build %d exp max error %.3f ulp\n", build, worst);
        if (first.empty())
            first = out;
        else
            EXPECT_EQ(0, std::memcmp(first.data(), out.data(), out.size() * 4)) << "builds differ";
    });
}

// Groups of 1-3 read and write only their own elements: the array ends
// at a guard page.
TEST(VecExp, PartialGroupsStayInsideTheArray) {
    forEachVecBuild([&](int, const SpVecKernels& k) {
        for (int len = 1; len <= 7; ++len) {
            SpGuardedBuffer<float> buf((size_t)len, GuardedRegion::kGuardAfter);
            for (int i = 0; i < len; ++i) buf.set((size_t)i, 0.5f * (float)i);
            k.spExpF32Kernel(buf.data(), buf.data(), len);
            for (int i = 0; i < len; ++i) EXPECT_LE(ulpError(buf.get((size_t)i), std::exp(0.5 * i)), 6.0);
        }
    });
}

// The five flags below inexact are cleared; inexact and the control bits
// stay as they were.
TEST(VecExp, ClearsTheFiveExceptionFlagsOnly) {
    forEachVecBuild([&](int, const SpVecKernels& k) {
        for (uint32_t before : {kMxcsrDefault | 0x1Fu, kMxcsrDefault | 0x3Fu, kMxcsrDefault | kMxcsrRoundUp | 0x04u}) {
            float v[5] = {1.0f, -100.0f, 100.0f, 0.5f, 2.0f};
            uint32_t after;
            {
                MxcsrScope scope(before);
                k.spExpF32Kernel(v, v, 5);
                after = readMxcsr();
            }
            EXPECT_EQ(after & 0x1Fu, 0u) << std::hex << before;
            EXPECT_EQ(after & kMxcsrControlMask, before & kMxcsrControlMask);
            if (before & 0x20u) {
                EXPECT_TRUE(after & 0x20u);
            }
        }
    });
}

// ---- Logarithm ------------------------------------------------------------------
struct LnEdge {
    const char* name;
    std::vector<uint32_t> in;
    std::vector<uint32_t> out;  // expected bits; 1 means "within 1 ulp of log"
    int status;
};

constexpr uint32_t kNear = 1;

TEST(VecLn, EdgeListAndStatus) {
    const LnEdge edges[] = {
        {"+0", {0}, {0xff800000u}, 2},
        {"-0", {0x80000000u}, {kNegNan}, 4},
        {"-1", {0xbf800000u}, {kNegNan}, 4},
        {"-1 then 0", {0xbf800000u, 0}, {kNegNan, 0xff800000u}, 4},
        {"0 then -1", {0, 0xbf800000u}, {0xff800000u, kNegNan}, 2},
        {"1", {0x3f800000u}, {0}, 0},
        {"2", {0x40000000u}, {kNear}, 0},
        {"1e30", {floatBits(1e30f)}, {kNear}, 0},
        {"1e-30", {floatBits(1e-30f)}, {kNear}, 0},
        {"quiet NaN", {0x7fc12345u}, {0x7fc12345u}, 0},
        {"signalling NaN", {0x7f800001u}, {0x7fc00001u}, 0},
        {"negative NaN", {0xffc12345u}, {kNegNan}, 4},
        {"+Inf", {kPlusInf}, {kPlusInf}, 0},
        {"smallest subnormal", {1}, {floatBits(-103.278931f)}, 0},
        {"largest subnormal", {0x007fffffu}, {kNear}, 0},
    };
    forEachVecBuild([&](int, const SpVecKernels& k) {
        for (const LnEdge& e : edges) {
            SCOPED_TRACE(e.name);
            std::vector<float> v(e.in.size());
            for (size_t i = 0; i < v.size(); ++i) v[i] = bitsFloat(e.in[i]);
            alignas(16) char scratch[64];
            EXPECT_EQ(k.spLnF32Kernel(v.data(), (int)v.size(), scratch), e.status);
            for (size_t i = 0; i < v.size(); ++i) {
                if (e.out[i] == kNear)
                    EXPECT_LE(ulpError(v[i], std::log((double)bitsFloat(e.in[i]))), 1.0);
                else
                    EXPECT_EQ(floatBits(v[i]), e.out[i]) << i;
            }
        }
    });
}

// The entry keeps the code of the first chunk of 256 that reports one.
TEST(VecLn, EntryWarningFollowsTheFirstOffendingChunk) {
    struct Case {
        int zeroAt, negAt;
        SpStatus status;
    };
    for (const Case& c : {Case{520, 300, SP_STS_LN_NEG_ARG}, Case{300, 520, SP_STS_LN_ZERO_ARG},
                          Case{10, 5, SP_STS_LN_NEG_ARG}, Case{5, 10, SP_STS_LN_ZERO_ARG}}) {
        forEachBuild(spEntryTableB.spLnF32InPlace, [&](int build) {
            if (build == 0) return;
            std::vector<float> v(600, 3.0f);
            v[(size_t)c.zeroAt] = 0.0f;
            v[(size_t)c.negAt] = -2.0f;
            EXPECT_EQ(spLnF32InPlace(v.data(), 600), c.status) << c.zeroAt << "/" << c.negAt;
            EXPECT_EQ(floatBits(v[(size_t)c.zeroAt]), 0xff800000u);
            EXPECT_EQ(floatBits(v[(size_t)c.negAt]), kNegNan);
            EXPECT_LE(ulpError(v[599], std::log(3.0)), 5.0);
        });
    }
}

std::vector<float> positiveFloats(uint64_t seed, size_t n) {
    std::vector<float> v(n);
    uint64_t s = seed;
    for (float& x : v) {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        x = bitsFloat(0x00800000u + (uint32_t)(s >> 33) % (0x7f000000u));
    }
    return v;
}

// Short path for elements 0-2 and 27-31, vector part for 3-26: len 32 at
// 4 bytes past a boundary; len 31 takes the short path throughout.
TEST(VecLn, PathSplitAtFourBytesPastABoundary) {
    forEachVecBuild([&](int, const SpVecKernels& k) {
        // Inputs where the two paths differ in the last bit fill the vector
        // part, so a wrong split shows.
        std::vector<float> pool = positiveFloats(7, 4096), vec = pool, shortPath = pool;
        alignas(16) static char poolScratch[2048];
        for (size_t i = 0; i < pool.size(); i += 256) k.spLnF32Kernel(vec.data() + i, 256, poolScratch);
        for (size_t i = 0; i < pool.size(); i += 4) k.spLnF32Kernel(shortPath.data() + i, 4, poolScratch);
        std::vector<float> x = positiveFloats(8, 32);
        for (size_t i = 0, j = 3; i < pool.size() && j < 27; ++i)
            if (floatBits(vec[i]) != floatBits(shortPath[i])) x[j++] = pool[i];
        alignas(16) char scratch[512];
        auto shortOf = [&](size_t from, size_t n) {
            std::vector<float> r(x.begin() + (long)from, x.begin() + (long)(from + n));
            for (size_t i = 0; i < n; i += 4) k.spLnF32Kernel(r.data() + i, (int)std::min<size_t>(4, n - i), scratch);
            return r;
        };
        // Vector results of x[3..26]: an aligned call of 32 whose first 24
        // elements are those.
        SpBuffer<float> aligned(32, 0);
        for (size_t i = 0; i < 32; ++i) aligned.set(i, i < 24 ? x[i + 3] : 1.0f);
        k.spLnF32Kernel(aligned.data(), 32, scratch);

        SpBuffer<float> at4(x, 4);
        k.spLnF32Kernel(at4.data(), 32, scratch);
        std::vector<float> head = shortOf(0, 3), tail = shortOf(27, 5);
        bool pathsDiffer = false;
        for (size_t i = 0; i < 32; ++i) {
            float want = i < 3 ? head[i] : (i < 27 ? aligned.get(i - 3) : tail[i - 27]);
            EXPECT_EQ(floatBits(at4.get(i)), floatBits(want)) << i;
            if (i >= 3 && i < 27 && floatBits(shortOf(i, 1)[0]) != floatBits(want)) pathsDiffer = true;
        }
        EXPECT_TRUE(pathsDiffer) << "the sample does not tell the two paths apart";

        SpBuffer<float> at4Short(std::vector<float>(x.begin(), x.end() - 1), 4);
        k.spLnF32Kernel(at4Short.data(), 31, scratch);
        std::vector<float> all = shortOf(0, 31);
        for (size_t i = 0; i < 31; ++i) EXPECT_EQ(floatBits(at4Short.get(i)), floatBits(all[i])) << i;
        EXPECT_TRUE(at4.checkCanaries());
    });
}

// Out of place equals in place where both take the same split (src and
// dst at one offset), also with special values inside the vector part.
TEST(VecLn, OutOfPlaceEqualsInPlace) {
    std::vector<float> x = positiveFloats(11, 100);
    x[40] = 0.0f;
    x[41] = -1.0f;
    x[42] = bitsFloat(0x7fc00001u);
    x[43] = bitsFloat(5);
    forEachVecBuild([&](int, const SpVecKernels& k) {
        for (size_t off : {0u, 4u, 8u, 12u}) {
            alignas(16) char scratch[1024];
            SpBuffer<float> inPlace(x, off), src(x, off), dst(x.size(), off);
            int a = k.spLnF32Kernel(inPlace.data(), 100, scratch);
            int b = k.spLnF32OutOfPlaceKernel(src.data(), dst.data(), 100, scratch);
            EXPECT_EQ(a, 2);
            EXPECT_EQ(b, 2);
            for (size_t i = 0; i < x.size(); ++i) EXPECT_EQ(floatBits(dst.get(i)), floatBits(inPlace.get(i))) << i;
            EXPECT_TRUE(dst.checkCanaries());
            EXPECT_EQ(floatBits(src.get(41)), floatBits(-1.0f));
        }
    });
}

// Error of both paths over a sample of positive normal floats (every 251st);
// the full sweep is in the exhaustive program.
TEST(VecLn, ShortAndVectorPathsWithinTheirBounds) {
    std::vector<float> in;
    for (uint32_t b = 0x00800000u; b < 0x7f800000u; b += 251) in.push_back(bitsFloat(b));
    std::vector<double> ref(in.size());
    for (size_t i = 0; i < in.size(); ++i) ref[i] = std::log((double)in[i]);
    forEachVecBuild([&](int build, const SpVecKernels& k) {
        double worstShort = 0, worstVector = 0;
        alignas(16) static char scratch[2048];
        std::vector<float> v = in;
        for (size_t i = 0; i < v.size(); i += 16) k.spLnF32Kernel(v.data() + i, (int)std::min<size_t>(16, v.size() - i), scratch);
        for (size_t i = 0; i < v.size(); ++i) worstShort = std::max(worstShort, ulpError(v[i], ref[i]));
        v = in;
        size_t whole = v.size() / 256 * 256;
        for (size_t i = 0; i < whole; i += 256) k.spLnF32Kernel(v.data() + i, 256, scratch);
        for (size_t i = 0; i < whole; ++i) worstVector = std::max(worstVector, ulpError(v[i], ref[i]));
        std::printf("[ measure  ] build %d ln max error: short %.3f, vector %.3f ulp\n", build, worstShort, worstVector);
        EXPECT_LE(worstShort, 3.0);
        EXPECT_LE(worstVector, 5.0);
    });
}

// Threads running the bodies of builds 1-3 on their own data get the
// single-thread results: the scratch area is per call.
TEST(VecLn, ConcurrentCallsMatchSingleThreadResults) {
    constexpr int kThreads = 6;
    std::vector<int> builds;  // the CPU builds this processor runs
    for (int b = 1; b <= 3; ++b)
        if (cpuHasBuild(b)) builds.push_back(b);
    if (builds.empty()) GTEST_SKIP() << "this CPU runs no CPU build";
    auto buildOf = [&](int t) { return builds[(size_t)t % builds.size()]; };
    std::vector<std::vector<float>> inputs, expected;
    for (int t = 0; t < kThreads; ++t) {
        inputs.push_back(positiveFloats(100 + (uint64_t)t, 4099));
        inputs.back()[(size_t)(500 * t)] = t % 2 ? 0.0f : -1.0f;
        expected.push_back(inputs.back());
        vecKernels(buildOf(t)).spLnF32InPlace(expected.back().data(), 4099);
    }
    std::vector<std::thread> threads;
    std::vector<int> mismatches(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const SpVecKernels& k = vecKernels(buildOf(t));
            SpStatus want = t % 2 ? SP_STS_LN_ZERO_ARG : SP_STS_LN_NEG_ARG;
            for (int round = 0; round < 50; ++round) {
                std::vector<float> v = inputs[(size_t)t];
                SpStatus s = k.spLnF32InPlace(v.data(), 4099);
                if (s != want || std::memcmp(v.data(), expected[(size_t)t].data(), v.size() * 4) != 0)
                    ++mismatches[(size_t)t];
            }
        });
    }
    for (std::thread& th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[(size_t)t], 0) << "thread " << t;
}

}  // namespace
}  // namespace sptest
