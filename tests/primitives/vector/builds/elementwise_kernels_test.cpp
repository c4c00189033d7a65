// Element-wise kernels of builds 1-3 called directly: the maximum and
// minimum against a scalar model of their lane order, heads that stop at the
// count (arrays pressed against guard pages), and the companions for other
// element types against independent scalar references.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "primitives/convert/sp_gen.h"
#include "primitives/vector/entry_table_b.h"
#include "tests/primitives/support/dispatch.h"
#include "tests/primitives/support/sp_buffer.h"
#include "tests/primitives/support/special_values.h"
#include "tests/primitives/support/ulp.h"
#include "tests/primitives/vector/builds/vec_image.h"
#include "tests/primitives/vector/builds/vec_kernels.h"

namespace sptest {
namespace {

template <typename T>
T load(const uint8_t* p, size_t i) {
    T v;
    std::memcpy(&v, p + i * sizeof(T), sizeof(T));
    return v;
}
template <typename T>
void store(uint8_t* p, size_t i, T v) {
    std::memcpy(p + i * sizeof(T), &v, sizeof(T));
}

// ---- Maximum and minimum: the lane order ---------------------------------------
float pickOne(bool max, float acc, float x) { return max ? (acc > x ? acc : x) : (acc < x ? acc : x); }

// The float kernels' order of comparisons, one scalar per lane: lanes start
// at src[0]; a src off 4-byte boundaries takes blocks of 4; otherwise lane 0
// takes elements to the 16-byte boundary, one block of 4 when the address is
// then not 32-byte aligned (or, with fewer than 4 left, the rest into lane 0,
// which is the result), blocks of 16 into four copies combined as (0, 2),
// (1, 3), blocks of 4; lanes combined (0, 2), (1, 3); the rest one by one.
float modelPick(bool max, const uint8_t* src, size_t n) {
    auto x = [&](size_t i) { return load<float>(src, i); };
    auto at = [&](size_t i) { return (uintptr_t)(src + 4 * i); };
    float a[4] = {x(0), x(0), x(0), x(0)};
    size_t i = 0;
    auto block = [&](float* lanes) {
        for (int l = 0; l < 4; ++l) lanes[l] = pickOne(max, lanes[l], x(i + l));
        i += 4;
    };
    if ((uintptr_t)src % 4 != 0) {
        while (i + 4 <= n) block(a);
    } else {
        for (; i < n && at(i) % 16 != 0; ++i) a[0] = pickOne(max, a[0], x(i));
        if (at(i) % 32 != 0) {
            if (i + 4 > n) {
                for (; i < n; ++i) a[0] = pickOne(max, a[0], x(i));
                return a[0];
            }
            block(a);
        }
        float c[4][4];
        for (auto& copy : c) std::memcpy(copy, a, sizeof a);
        while (i + 16 <= n)
            for (auto& copy : c) block(copy);
        for (int l = 0; l < 4; ++l)
            a[l] = pickOne(max, pickOne(max, c[0][l], c[2][l]), pickOne(max, c[1][l], c[3][l]));
        while (i + 4 <= n) block(a);
    }
    float r = pickOne(max, pickOne(max, a[0], a[2]), pickOne(max, a[1], a[3]));
    for (; i < n; ++i) r = pickOne(max, r, x(i));
    return r;
}

TEST(VecMaxMinKernels, LaneRulesOfShortVectors) {
    const float nan = bitsFloat(0x7FC00000u);
    struct Case {
        std::vector<float> v;
        bool max;
        uint32_t want;
    } cases[] = {
        {{1.0f, nan, 2.0f}, true, floatBits(2.0f)},
        {{1.0f, 2.0f, nan}, true, 0x7FC00000u},
        {{-0.0f, 0.0f}, true, 0x00000000u},
        {{0.0f, -0.0f}, true, 0x80000000u},
        {{0.0f, -0.0f}, false, 0x80000000u},
        {{nan, 1.0f, 2.0f}, false, floatBits(1.0f)},
    };
    forEachVecBuild([&](int, const SpVecKernels& k) {
        for (const Case& c : cases) {
            SpBuffer<float> src(c.v, 0);
            float got = 0.0f;
            (c.max ? k.spMaxF32Kernel : k.spMinF32Kernel)(src.data(), (int)c.v.size(), &got);
            EXPECT_EQ(floatBits(got), c.want) << (c.max ? "max" : "min") << " of " << c.v.size();
        }
    });
}

// NaNs, signed zeros and ties in the data, so every order difference shows.
std::vector<float> pickData(uint64_t seed, size_t n) {
    std::mt19937_64 rng(seed);
    const float pool[] = {bitsFloat(0x7FC00001u), bitsFloat(0xFFC00002u), 0.0f, -0.0f, 1.0f, -1.0f, 3.0f, -3.0f};
    std::vector<float> v(n);
    for (float& f : v) f = (rng() % 4 == 0) ? pool[rng() % 8] : (float)((int)(rng() % 200) - 100) * 0.25f;
    return v;
}

TEST(VecMaxMinKernels, FollowTheLaneOrderAtEveryAlignment) {
    forEachVecBuild([&](int, const SpVecKernels& k) {
        for (size_t off = 0; off < 32; ++off)
            for (size_t n = 1; n <= 65; n += (n < 64 ? 1 : 935)) {
                SpBuffer<uint8_t> src(n * 4, off);
                std::vector<float> v = pickData(off * 10007 + n, n);
                std::memcpy(src.bytes(), v.data(), n * 4);
                for (bool max : {true, false}) {
                    float got = 0.0f;
                    (max ? k.spMaxF32Kernel : k.spMinF32Kernel)((const float*)(void*)src.bytes(), (int)n, &got);
                    ASSERT_EQ(floatBits(got), floatBits(modelPick(max, src.bytes(), n)))
                        << (max ? "max" : "min") << " offset " << off << " len " << n;
                }
            }
    });
}

// Without NaNs and with one sign of zero the order leaves no trace: the
// entries agree with the generic build.
TEST(VecMaxMinKernels, EntriesEqualTheGenericBuildOnOrdinaryData) {
    for (size_t off : {0u, 1u, 4u, 8u, 12u, 16u})
        for (size_t n : {1u, 2u, 3u, 5u, 16u, 17u, 31u, 100u, 1001u}) {
            std::vector<float> v = randomFiniteFloats(off * 131 + n, n);
            for (float& f : v)
                if (f == 0.0f) f = 1.0f;
            SpBuffer<float> src(n, off);
            src.assign(v);
            float genMax, genMin;
            ASSERT_EQ(spMaxF32_Gen(src.data(), (int)n, &genMax), SP_STS_OK);
            ASSERT_EQ(spMinF32_Gen(src.data(), (int)n, &genMin), SP_STS_OK);
            forEachBuild(spEntryTableB.spMaxF32, [&](int) {
                float got;
                EXPECT_EQ(spMaxF32(src.data(), (int)n, &got), SP_STS_OK);
                EXPECT_EQ(floatBits(got), floatBits(genMax)) << "offset " << off << " len " << n;
                EXPECT_EQ(spMinF32(src.data(), (int)n, &got), SP_STS_OK);
                EXPECT_EQ(floatBits(got), floatBits(genMin)) << "offset " << off << " len " << n;
            });
        }
}

// ---- Heads bounded by the count --------------------------------------------------
// An array of `bytes` bytes starting `offset` bytes past a 16-byte boundary
// whose 16-byte block ends at a guard page: running past the count into the
// next blocks faults.
struct GuardedArray {
    GuardedArray(size_t bytes, size_t offset)
        : buffer(bytes, GuardedRegion::kGuardAfter, (32 - (offset + bytes) % 16) % 16) {}
    uint8_t* bytes() { return buffer.data(); }
    SpGuardedBuffer<uint8_t> buffer;
};

// One kernel with a head: element size, and a run that fills src, calls the
// kernel and checks what it wrote.
struct HeadCase {
    const char* name;
    size_t elem;
    std::function<void(const SpVecKernels&, uint8_t* src, uint8_t* dst, size_t n)> run;
};

template <typename T>
void fillRandom(uint8_t* p, size_t n, uint64_t seed) {
    std::mt19937_64 rng(seed);
    for (size_t i = 0; i < n; ++i) {
        T v;
        if constexpr (std::is_floating_point_v<T>)
            v = (T)((int)(rng() % 2001) - 1000) / (T)8;
        else
            v = (T)rng();
        store<T>(p, i, v);
    }
}

template <typename T, typename Kernel, typename Ref>
HeadCase mapCase(const char* name, Kernel kernel, Ref ref) {
    return {name, sizeof(T), [kernel, ref](const SpVecKernels& k, uint8_t* src, uint8_t* dst, size_t n) {
                fillRandom<T>(src, n, n);
                (k.*kernel)((const T*)(void*)src, (T*)(void*)dst, (int)n);
                for (size_t i = 0; i < n; ++i) {
                    T want = ref(load<T>(src, i)), got = load<T>(dst, i);
                    ASSERT_EQ(std::memcmp(&want, &got, sizeof(T)), 0) << "element " << i;
                }
            }};
}

template <typename T, typename Kernel>
HeadCase pickCase(const char* name, Kernel kernel, bool max) {
    return {name, sizeof(T), [kernel, max](const SpVecKernels& k, uint8_t* src, uint8_t*, size_t n) {
                fillRandom<T>(src, n, n + 7);
                T got{};
                (k.*kernel)((const T*)(void*)src, (int)n, &got);
                T want = load<T>(src, 0);
                for (size_t i = 1; i < n; ++i) want = max ? std::max(want, load<T>(src, i)) : std::min(want, load<T>(src, i));
                ASSERT_EQ(got, want);
            }};
}

std::vector<HeadCase> headCases() {
    using K = SpVecKernels;
    return {
        mapCase<float>("AbsF32", &K::spAbsF32Kernel, [](float x) { return std::fabs(x); }),
        mapCase<double>("AbsF64", &K::spAbsF64Kernel, [](double x) { return std::fabs(x); }),
        mapCase<int16_t>("AbsI16", &K::spAbsI16Kernel, [](int16_t x) { return (int16_t)std::min(32767, std::abs((int)x)); }),
        mapCase<int32_t>("AbsI32", &K::spAbsI32Kernel,
                         [](int32_t x) { return (int32_t)std::min<int64_t>(INT32_MAX, std::llabs(x)); }),
        mapCase<float>("SquareF32", &K::spSquareF32Kernel, [](float x) { return x * x; }),
        mapCase<double>("SquareF64", &K::spSquareF64Kernel, [](double x) { return x * x; }),
        pickCase<float>("MaxF32", &K::spMaxF32Kernel, true),
        pickCase<float>("MinF32", &K::spMinF32Kernel, false),
        pickCase<double>("MaxF64", &K::spMaxF64Kernel, true),
        pickCase<double>("MinF64", &K::spMinF64Kernel, false),
        pickCase<int16_t>("MaxI16", &K::spMaxI16Kernel, true),
        pickCase<int16_t>("MinI16", &K::spMinI16Kernel, false),
    };
}

class VecKernelHeads : public ::testing::TestWithParam<HeadCase> {};

// Lengths 1-3 (and a few more) at every element-aligned offset of src and
// dst, each array's block against a guard page.
TEST_P(VecKernelHeads, StopAtTheCount) {
    const HeadCase& c = GetParam();
    forEachVecBuild([&](int, const SpVecKernels& k) {
        for (size_t n = 1; n <= 6; ++n)
            for (size_t so = 0; so < 16; so += c.elem)
                for (size_t dO = 0; dO < 16; dO += c.elem) {
                    SCOPED_TRACE(::testing::Message() << "len " << n << " src offset " << so << " dst offset " << dO);
                    GuardedArray src(n * c.elem, so), dst(n * c.elem, dO);
                    c.run(k, src.bytes(), dst.bytes(), n);
                    if (::testing::Test::HasFatalFailure()) return;
                }
    });
}

INSTANTIATE_TEST_SUITE_P(Kernels, VecKernelHeads, ::testing::ValuesIn(headCases()),
                         [](const ::testing::TestParamInfo<HeadCase>& info) { return std::string(info.param.name); });

// ---- Companions ---------------------------------------------------------------------
// Runs check(src, dst, n, offset) over src and dst at byte offsets 0-15 and
// lengths 1-40, with canaries around dst.
void overOffsets(size_t elem, const std::function<void(uint8_t*, uint8_t*, size_t)>& run) {
    for (size_t off = 0; off < 16; ++off)
        for (size_t n = 1; n <= 40; ++n) {
            SpBuffer<uint8_t> src(n * elem, off), dst(n * elem, (off * 5) % 16);
            SCOPED_TRACE(::testing::Message() << "offset " << off << " len " << n);
            run(src.bytes(), dst.bytes(), n);
            ASSERT_TRUE(dst.checkCanaries());
            if (::testing::Test::HasFatalFailure()) return;
        }
}

TEST(VecCompanionKernels, SaturatingIntegerAbs) {
    forEachVecBuild([&](int, const SpVecKernels& k) {
        overOffsets(2, [&](uint8_t* s, uint8_t* d, size_t n) {
            fillRandom<int16_t>(s, n, n);
            store<int16_t>(s, 0, -32768);
            if (n > 1) store<int16_t>(s, n - 1, -32767);
            k.spAbsI16Kernel((const int16_t*)(void*)s, (int16_t*)(void*)d, (int)n);
            for (size_t i = 0; i < n; ++i)
                ASSERT_EQ(load<int16_t>(d, i), std::min(32767, std::abs((int)load<int16_t>(s, i)))) << i;
        });
        overOffsets(4, [&](uint8_t* s, uint8_t* d, size_t n) {
            fillRandom<int32_t>(s, n, n);
            store<int32_t>(s, n - 1, INT32_MIN);
            k.spAbsI32Kernel((const int32_t*)(void*)s, (int32_t*)(void*)d, (int)n);
            for (size_t i = 0; i < n; ++i)
                ASSERT_EQ(load<int32_t>(d, i), (int32_t)std::min<int64_t>(INT32_MAX, std::llabs(load<int32_t>(s, i))));
        });
    });
}

TEST(VecCompanionKernels, ReverseOutOfPlaceAndInPlace) {
    auto check = [](size_t elem, auto outOfPlace, auto inPlace) {
        overOffsets(elem, [&](uint8_t* s, uint8_t* d, size_t n) {
            fillRandom<uint8_t>(s, n * elem, n);
            std::vector<uint8_t> want(s, s + n * elem);
            for (size_t i = 0; i < n / 2; ++i)
                std::swap_ranges(want.begin() + (long)(i * elem), want.begin() + (long)((i + 1) * elem),
                                 want.begin() + (long)((n - 1 - i) * elem));
            outOfPlace(s, d, n);
            ASSERT_EQ(std::vector<uint8_t>(d, d + n * elem), want);
            inPlace(s, n);
            ASSERT_EQ(std::vector<uint8_t>(s, s + n * elem), want);
        });
    };
    forEachVecBuild([&](int, const SpVecKernels& k) {
        check(1, [&](uint8_t* s, uint8_t* d, size_t n) { k.spReverseU8Kernel(s, d, (int)n); },
              [&](uint8_t* s, size_t n) { k.spReverseU8InPlaceKernel(s, (int)n); });
        check(2, [&](uint8_t* s, uint8_t* d, size_t n) { k.spReverseU16Kernel((uint16_t*)(void*)s, (uint16_t*)(void*)d, (int)n); },
              [&](uint8_t* s, size_t n) { k.spReverseU16InPlaceKernel((uint16_t*)(void*)s, (int)n); });
        check(4, [&](uint8_t* s, uint8_t* d, size_t n) { k.spReverseF32Kernel((float*)(void*)s, (float*)(void*)d, (int)n); },
              [&](uint8_t* s, size_t n) { k.spReverseF32InPlaceKernel((float*)(void*)s, (int)n); });
    });
}

// Complex squares: (re^2 - im^2, 2 re im), each product rounded to the
// element type, checked within one rounding of a long double evaluation
// (re^2 - im^2 may cancel: its bound is one ulp of the larger square).
TEST(VecCompanionKernels, ComplexSquaresWithinOneRounding) {
    forEachVecBuild([&](int, const SpVecKernels& k) {
        overOffsets(8, [&](uint8_t* s, uint8_t* d, size_t n) {
            fillRandom<float>(s, 2 * n, n);
            k.spSquareComplexF32Kernel((const SpComplexF32*)(void*)s, (SpComplexF32*)(void*)d, (int)n);
            for (size_t i = 0; i < n; ++i) {
                long double re = load<float>(s, 2 * i), im = load<float>(s, 2 * i + 1);
                long double big = std::max(re * re, im * im);
                EXPECT_LE(std::fabs((long double)load<float>(d, 2 * i) - (re * re - im * im)),
                          big * std::ldexp(1.0L, -23));
                EXPECT_LE(std::fabs((long double)load<float>(d, 2 * i + 1) - 2 * re * im),
                          std::fabs(2 * re * im) * std::ldexp(1.0L, -24));
            }
        });
        overOffsets(16, [&](uint8_t* s, uint8_t* d, size_t n) {
            fillRandom<double>(s, 2 * n, n);
            k.spSquareComplexF64Kernel((const SpComplexF64*)(void*)s, (SpComplexF64*)(void*)d, (int)n);
            for (size_t i = 0; i < n; ++i) {
                long double re = load<double>(s, 2 * i), im = load<double>(s, 2 * i + 1);
                long double big = std::max(re * re, im * im);
                EXPECT_LE(std::fabs((long double)load<double>(d, 2 * i) - (re * re - im * im)),
                          big * std::ldexp(1.0L, -52));
                EXPECT_LE(std::fabs((long double)load<double>(d, 2 * i + 1) - 2 * re * im),
                          std::fabs(2 * re * im) * std::ldexp(1.0L, -53));
            }
        });
    });
}

TEST(VecCompanionKernels, ScaledIntegerSquaresAtTheirEdges) {
    struct Case {
        int16_t x;
        int sf;
        int16_t want;
    } i16[] = {{-32768, 0, 32767}, {181, 0, 32761}, {182, 0, 32767}, {3, 1, 4}, {5, 1, 12}, {1, 1, 0},
               {-32768, 30, 1}, {-32768, 31, 0}, {-32768, 15, 32767}, {-32768, 16, 16384}, {7, -2, 196},
               {100, -2, 32767}};
    forEachVecBuild([&](int, const SpVecKernels& k) {
        for (const Case& c : i16) {
            int16_t got = 0;
            k.spSquareI16ScaledKernel(&c.x, &got, 1, c.sf);
            EXPECT_EQ(got, c.want) << c.x << "^2 sf " << c.sf;
        }
        SpComplexI16 z{-32768, -32768}, out{};
        k.spSquareComplexI16ScaledKernel(&z, &out, 1, 16);  // (0, 2^31) * 2^-16
        EXPECT_EQ(out.re, 0);
        EXPECT_EQ(out.im, 32767);
        k.spSquareComplexI16ScaledKernel(&z, &out, 1, 17);
        EXPECT_EQ(out.im, 16384);
    });
}

}  // namespace
}  // namespace sptest
