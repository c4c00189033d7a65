// Element-wise vector bodies: the edge list, every form at offsets and
// lengths with canaries, partial overlaps in index order, and product and
// scaled accumulation over every separation.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "primitives/vector/entry_table_b.h"
#include "tests/primitives/support/sp_buffer.h"
#include "tests/primitives/support/special_values.h"
#include "tests/primitives/support/ulp.h"

namespace sptest {
namespace {

constexpr uint32_t kSnan = 0x7FA5A5A5u, kDefaultNan = 0xFFC00000u;

std::vector<float> fromBits(std::initializer_list<uint32_t> bits) {
    std::vector<float> v;
    for (uint32_t b : bits) v.push_back(bitsFloat(b));
    return v;
}

void expectBits(const std::vector<float>& got, const std::vector<float>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(floatBits(got[i]), floatBits(want[i])) << "element " << i;
}

TEST(ElementwiseEdges, ScaleByOneCopiesBitsAndByZeroWritesPlusZero) {
    std::vector<float> src = fromBits({kSnan, 0xFF800000u, 0x80000000u}), dst(3);
    ASSERT_EQ(spScaleF32(src.data(), 1.0f, dst.data(), 3), SP_STS_OK);
    expectBits(dst, src);
    for (float zero : {0.0f, -0.0f}) {
        ASSERT_EQ(spScaleF32(src.data(), zero, dst.data(), 3), SP_STS_OK);
        expectBits(dst, {0.0f, 0.0f, 0.0f});
    }
}

TEST(ElementwiseEdges, SqrtOfNegativesIsTheDefaultNanWithAWarning) {
    std::vector<float> v = fromBits({floatBits(4.0f), floatBits(-1.0f), 0x80000000u, 0x7FC12345u, 0xFF800000u,
                                     0x7F800000u});
    EXPECT_EQ(spSqrtF32InPlace(v.data(), 6), SP_STS_SQRT_NEG_ARG);
    expectBits(v, fromBits({floatBits(2.0f), kDefaultNan, 0x80000000u, 0x7FC12345u, kDefaultNan, 0x7F800000u}));
}

TEST(ElementwiseEdges, DivideTakesTheSecondOverTheFirstAndFlagsZeroDivisors) {
    std::vector<float> d = {0.0f, -0.0f, 0.0f, 2.0f, -0.0f, 0.0f}, n = {1.0f, 1.0f, 0.0f, 1.0f, -3.0f, NAN}, out(6);
    EXPECT_EQ(spDivF32(d.data(), n.data(), out.data(), 6), SP_STS_DIV_BY_ZERO);
    expectBits(out, fromBits({0x7F800000u, 0x7F800000u, kDefaultNan, floatBits(0.5f), 0xFF800000u, kDefaultNan}));
    std::vector<float> a = {2.0f}, b = {7.0f};
    EXPECT_EQ(spDivF32(a.data(), b.data(), out.data(), 1), SP_STS_OK);
    EXPECT_EQ(out[0], 3.5f);
    EXPECT_EQ(spSubF32(a.data(), b.data(), out.data(), 1), SP_STS_OK);
    EXPECT_EQ(out[0], 5.0f);
}

TEST(ElementwiseEdges, MinMaxEveryKeepSrcDstOnNanAndOnEqualZeros) {
    std::vector<float> src = fromBits({0x7FC00000u, floatBits(1.0f), 0x80000000u, 0x00000000u, floatBits(-2.0f)});
    std::vector<float> lo = fromBits({floatBits(3.0f), 0x7FC00001u, 0x00000000u, 0x80000000u, floatBits(5.0f)});
    std::vector<float> hi = lo;
    ASSERT_EQ(spMinEveryF32InPlace(src.data(), lo.data(), 5), SP_STS_OK);
    ASSERT_EQ(spMaxEveryF32InPlace(src.data(), hi.data(), 5), SP_STS_OK);
    expectBits(lo, fromBits({floatBits(3.0f), 0x7FC00001u, 0x00000000u, 0x80000000u, floatBits(-2.0f)}));
    expectBits(hi, fromBits({floatBits(3.0f), 0x7FC00001u, 0x00000000u, 0x80000000u, floatBits(5.0f)}));
}

TEST(ElementwiseEdges, AbsKeepsPayloadsSetCopiesThePatternReverseOfOne) {
    std::vector<float> v = fromBits({0xFFC12345u, 0x80000000u, 0xFF800000u, floatBits(-1.5f), kSnan | 0x80000000u});
    ASSERT_EQ(spAbsF32InPlace(v.data(), 5), SP_STS_OK);
    expectBits(v, fromBits({0x7FC12345u, 0u, 0x7F800000u, floatBits(1.5f), kSnan}));
    std::vector<float> set(7);
    ASSERT_EQ(spSetF32(bitsFloat(kSnan), set.data(), 7), SP_STS_OK);
    for (float f : set) EXPECT_EQ(floatBits(f), kSnan);
    float one = 3.0f, out = 0.0f;
    EXPECT_EQ(spReverseF32(&one, &out, 1), SP_STS_OK);
    EXPECT_EQ(out, 3.0f);
}

// Every form against a one-element-at-a-time expectation at dst offsets
// 0-15 and lengths 1-40, sources at other offsets, canaries around dst.
struct Form {
    const char* name;
    std::function<SpStatus(const float* a, const float* b, float* dst, int len)> run;
    std::function<float(float a, float b, float dstBefore)> element;
    bool reversed;
};

std::vector<Form> forms() {
    return {
        {"Add", [](auto a, auto b, auto d, int n) { return spAddF32(a, b, d, n); },
         [](float a, float b, float) { return a + b; }, false},
        {"Sub", [](auto a, auto b, auto d, int n) { return spSubF32(a, b, d, n); },
         [](float a, float b, float) { return b - a; }, false},
        {"Mul", [](auto a, auto b, auto d, int n) { return spMulF32(a, b, d, n); },
         [](float a, float b, float) { return a * b; }, false},
        {"MulInPlace", [](auto a, auto, auto d, int n) { return spMulF32InPlace(a, d, n); },
         [](float a, float, float d) { return a * d; }, false},
        {"Square", [](auto a, auto, auto d, int n) { return spSquareF32(a, d, n); },
         [](float a, float, float) { return a * a; }, false},
        {"Scale", [](auto a, auto, auto d, int n) { return spScaleF32(a, -1.75f, d, n); },
         [](float a, float, float) { return a * -1.75f; }, false},
        {"Copy", [](auto a, auto, auto d, int n) { return spCopyF32(a, d, n); }, [](float a, float, float) { return a; },
         false},
        {"Set", [](auto, auto, auto d, int n) { return spSetF32(0.3f, d, n); }, [](float, float, float) { return 0.3f; },
         false},
        {"AbsInPlace", [](auto, auto, auto d, int n) { return spAbsF32InPlace(d, n); },
         [](float, float, float d) { return std::fabs(d); }, false},
        {"MinEvery", [](auto a, auto, auto d, int n) { return spMinEveryF32InPlace(a, d, n); },
         [](float a, float, float d) { return a < d ? a : d; }, false},
        {"MaxEvery", [](auto a, auto, auto d, int n) { return spMaxEveryF32InPlace(a, d, n); },
         [](float a, float, float d) { return a > d ? a : d; }, false},
        {"AddProduct", [](auto a, auto b, auto d, int n) { return spAddProductF32(a, b, d, n); },
         [](float a, float b, float d) { return a * b + d; }, false},
        {"AddScaled", [](auto a, auto, auto d, int n) { return spAddScaledF32(a, 0.625f, d, n); },
         [](float a, float, float d) { return a * 0.625f + d; }, false},
        {"Reverse", [](auto a, auto, auto d, int n) { return spReverseF32(a, d, n); },
         [](float a, float, float) { return a; }, true},
        {"Sqrt", [](auto, auto, auto d, int n) { return spSqrtF32InPlace(d, n); },
         [](float, float, float d) { return (float)std::sqrt((double)d); }, false},
        {"AddInPlace", [](auto a, auto, auto d, int n) { return spAddF32InPlace(a, d, n); },
         [](float a, float, float d) { return a + d; }, false},
        {"ScaleInPlace", [](auto, auto, auto d, int n) { return spScaleF32InPlace(3.5f, d, n); },
         [](float, float, float d) { return d * 3.5f; }, false},
        {"AddConstInPlace", [](auto, auto, auto d, int n) { return spAddConstF32InPlace(-0.5f, d, n); },
         [](float, float, float d) { return d + -0.5f; }, false},
    };
}

void PrintTo(const Form& f, std::ostream* os) { *os << f.name; }

// Forms whose contract allows dst to overlap a source (not reverse, copy).
std::vector<Form> overlapForms() {
    std::vector<Form> out;
    for (const Form& f : forms())
        if (!f.reversed && std::string(f.name) != "Copy") out.push_back(f);
    return out;
}

class ElementwiseForms : public ::testing::TestWithParam<Form> {};
class OverlappingForms : public ::testing::TestWithParam<Form> {};

TEST_P(ElementwiseForms, EveryOffsetAndLengthMatchesElementByElement) {
    const Form& form = GetParam();
    const int kMax = 40;
    std::vector<float> a = randomFiniteFloats(11, kMax), b = randomFiniteFloats(12, kMax),
                       d = randomFiniteFloats(13, kMax);
    for (int i = 0; i < kMax; ++i) {  // moderate magnitudes, positive for sqrt
        a[i] = std::fmod(a[i], 1e6f), b[i] = std::fmod(b[i], 1e6f), d[i] = std::fabs(std::fmod(d[i], 1e6f));
    }
    for (size_t offset = 0; offset < 16; ++offset) {
        for (int len = 1; len <= kMax; ++len) {
            SpBuffer<float> sa(std::vector<float>(a.begin(), a.begin() + len), (offset + 4) % 16);
            SpBuffer<float> sb(std::vector<float>(b.begin(), b.begin() + len), (offset * 3) % 16);
            SpBuffer<float> sd(std::vector<float>(d.begin(), d.begin() + len), offset);
            ASSERT_EQ(form.run(sa.data(), sb.data(), sd.data(), len), SP_STS_OK);
            for (int i = 0; i < len; ++i) {
                int at = form.reversed ? len - 1 - i : i;
                ASSERT_EQ(floatBits(sd.get(at)), floatBits(form.element(a[i], b[i], d[i])))
                    << "offset " << offset << " len " << len << " element " << i;
            }
            ASSERT_TRUE(sd.checkCanaries()) << "offset " << offset << " len " << len;
        }
    }
}

// dst one element (or a few bytes) above the source: the result is that of
// a loop that reads each element just before writing it.
TEST_P(OverlappingForms, PartialOverlapBehavesLikeTheIndexOrderLoop) {
    const Form& form = GetParam();
    for (size_t shiftBytes : {4u, 8u, 12u}) {
        const int len = 37;
        std::vector<float> init = randomFiniteFloats(21, len + 4);
        for (float& f : init) f = std::fabs(std::fmod(f, 100.0f));
        SpBuffer<float> arena(init, 0), expected(init, 0);
        const float* src = arena.data();
        float* dst = reinterpret_cast<float*>(arena.bytes() + shiftBytes);
        ASSERT_EQ(form.run(src, src, dst, len), SP_STS_OK);
        for (int i = 0; i < len; ++i) {  // sequential model on the expected arena
            float s = expected.get(i);
            float before;
            std::memcpy(&before, expected.bytes() + shiftBytes + 4 * i, 4);
            float v = form.element(s, s, before);
            std::memcpy(expected.bytes() + shiftBytes + 4 * i, &v, 4);
        }
        EXPECT_EQ(std::memcmp(arena.bytes(), expected.bytes(), (len + 4) * 4), 0) << "shift " << shiftBytes;
    }
}

auto formName = [](const ::testing::TestParamInfo<Form>& info) { return std::string(info.param.name); };
INSTANTIATE_TEST_SUITE_P(All, ElementwiseForms, ::testing::ValuesIn(forms()), formName);
INSTANTIATE_TEST_SUITE_P(All, OverlappingForms, ::testing::ValuesIn(overlapForms()), formName);

// Product and scaled accumulation at srcDst offsets {0,1,4,8,12}, lengths
// 1-40 and src-to-srcDst separations disjoint, exactly 4 * len, one
// element of overlap and identical, both directions: always the sequential
// product-then-add.
TEST(Accumulation, EverySeparationEqualsSequentialProductThenAdd) {
    std::vector<float> init = randomFiniteFloats(31, 200);
    for (float& f : init) f = std::fmod(f, 1000.0f);
    for (size_t offset : {0u, 1u, 4u, 8u, 12u}) {
        for (int len = 1; len <= 40; ++len) {
            for (long sep : {4L * len + 36, 4L * len, 4L * (len - 1), 0L}) {
                for (int direction : {1, -1}) {
                    SpBuffer<float> got(init, offset), want(init, offset);
                    const size_t dstAt = 400;
                    const size_t srcAt = (size_t)((long)dstAt + direction * sep);
                    auto at = [](SpBuffer<float>& b, size_t byte) { return reinterpret_cast<float*>(b.bytes() + byte); };
                    const float* second = at(got, 100);  // spAddProductF32's second source, disjoint
                    ASSERT_EQ(spAddProductF32(at(got, srcAt), second, at(got, dstAt), len), SP_STS_OK);
                    ASSERT_EQ(spAddScaledF32(at(got, srcAt), 1.5f, at(got, dstAt), len), SP_STS_OK);
                    for (int pass = 0; pass < 2; ++pass) {
                        for (int i = 0; i < len; ++i) {
                            float s, m, d;
                            std::memcpy(&s, want.bytes() + srcAt + 4 * i, 4);
                            std::memcpy(&m, want.bytes() + 100 + 4 * i, 4);
                            std::memcpy(&d, want.bytes() + dstAt + 4 * i, 4);
                            float v = pass == 0 ? s * m + d : s * 1.5f + d;
                            std::memcpy(want.bytes() + dstAt + 4 * i, &v, 4);
                        }
                    }
                    ASSERT_EQ(std::memcmp(got.bytes(), want.bytes(), init.size() * 4), 0)
                        << "offset " << offset << " len " << len << " sep " << sep << " dir " << direction;
                }
            }
        }
    }
}

}  // namespace
}  // namespace sptest
