// Reductions: the edge list, inputs whose result depends on the fixed
// accumulation order, and random data against exact and double references.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "primitives/convert/sp_gen.h"
#include "primitives/vector/entry_table_b.h"
#include "tests/primitives/support/sp_buffer.h"
#include "tests/primitives/support/special_values.h"
#include "tests/primitives/support/ulp.h"

namespace sptest {
namespace {

float maxOf(const std::vector<float>& v, size_t offset = 0) {
    SpBuffer<float> b(v, offset);
    float m = 0;
    EXPECT_EQ(spMaxF32(b.data(), (int)v.size(), &m), SP_STS_OK);
    return m;
}

TEST(ReductionEdges, LengthOneReturnsTheElementButSumsStartAtPlusZero) {
    float x = -0.0f, r;
    spMaxF32(&x, 1, &r);
    EXPECT_EQ(floatBits(r), 0x80000000u);
    spMinF32(&x, 1, &r);
    EXPECT_EQ(floatBits(r), 0x80000000u);
    spSumF32(&x, 1, &r, 0);
    EXPECT_EQ(floatBits(r), 0u);
    spMeanF32(&x, 1, &r, 0);
    EXPECT_EQ(floatBits(r), 0u);
    float a = -2.0f, b = 0.0f;
    spDotProductF32(&a, &b, 1, &r);
    EXPECT_EQ(floatBits(r), 0u);
    float y = 7.5f;
    spMeanF32(&y, 1, &r, 0);
    EXPECT_EQ(r, 7.5f);
}

TEST(ReductionEdges, NanFirstWinsNanLaterIsIgnored) {
    EXPECT_TRUE(std::isnan(maxOf({NAN, 1.0f, 2.0f})));
    EXPECT_EQ(maxOf({1.0f, NAN, 2.0f}), 2.0f);
    float r;
    std::vector<float> v = {1.0f, NAN, -2.0f};
    spMinF32(v.data(), 3, &r);
    EXPECT_EQ(r, -2.0f);
}

TEST(ReductionEdges, SumAndMeanAccumulateInDouble) {
    std::vector<float> v = {16777216.0f, 1, 1, 1, 1, 1, 1, 1, 1};
    float r;
    spSumF32(v.data(), 9, &r, 0);
    EXPECT_EQ(r, 16777224.0f);
    std::vector<float> m = {1.0f, 2.0f};
    spMeanF32(m.data(), 2, &r, 0);
    EXPECT_EQ(r, 1.5f);
}

// Aligned len 8: ((p0 + p4) + (p2 + p6)) + ((p1 + p5) + (p3 + p7)) in float;
// this data gives 1.0 that way and 0.0 in index order.
TEST(ReductionOrder, AlignedDotOfEightUsesTheLanePairing) {
    alignas(16) float a[8] = {1e8f, 1.0f, -1e8f, 0, 0, 0, 0, 0};
    alignas(16) float ones[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    float r;
    spDotProductF32(a, ones, 8, &r);
    float p[8];
    for (int i = 0; i < 8; ++i) p[i] = a[i];
    EXPECT_EQ(r, ((p[0] + p[4]) + (p[2] + p[6])) + ((p[1] + p[5]) + (p[3] + p[7])));
    EXPECT_EQ(r, 1.0f);
    float serial = 0;
    for (float x : p) serial += x;
    EXPECT_EQ(serial, 0.0f);
}

TEST(ReductionOrder, DotOnAMisalignedOrShortReferenceIsTheInOrderSum) {
    std::vector<float> a = {1e8f, 1.0f, -1e8f, 0, 0, 0, 0, 0, 3.0f};
    SpBuffer<float> ones(std::vector<float>(9, 1.0f), 2), src1(a, 0);
    float r;
    spDotProductF32(src1.data(), ones.data(), 9, &r);  // src2 not a multiple of 4
    EXPECT_EQ(r, 3.0f);
    SpBuffer<float> shortRef(std::vector<float>(7, 1.0f), 4);  // head 3 + 7 < 8 + 3
    SpBuffer<float> s7(std::vector<float>(a.begin(), a.begin() + 7), 0);
    spDotProductF32(s7.data(), shortRef.data(), 7, &r);
    EXPECT_EQ(r, 0.0f);
}

// Zeros of both signs in different lanes: the lane form combines lane 0
// with lane 2, so the block result differs from one element at a time.
TEST(ReductionOrder, SignedZerosInDifferentLanesFollowTheLaneCombination) {
    std::vector<float> v = {-1, -1, -1, -1, -0.0f, -1, 0.0f, -1};
    EXPECT_EQ(floatBits(maxOf(v, 0)), 0x00000000u);  // block form
    EXPECT_EQ(floatBits(maxOf(v, 1)), 0x80000000u);  // not 4-byte aligned: in order
    std::vector<float> w = {-1, -1, -1, -1, 0.0f, -1, -0.0f, -1};
    EXPECT_EQ(floatBits(maxOf(w, 0)), 0x80000000u);
    EXPECT_EQ(floatBits(maxOf(w, 1)), 0x00000000u);
}

TEST(ReductionOrder, MaxAndMinAgreeAcrossFormsWithoutNansOrMixedZeros) {
    std::vector<float> v = randomFiniteFloats(5, 1001);
    for (size_t offset : {0u, 1u, 4u, 8u, 12u}) {
        SpBuffer<float> b(v, offset);
        for (int len : {1, 7, 8, 11, 12, 19, 1001}) {
            float mx, mn;
            spMaxF32(b.data(), len, &mx);
            spMinF32(b.data(), len, &mn);
            float wantMax = v[0], wantMin = v[0];
            for (int i = 0; i < len; ++i) wantMax = std::max(wantMax, v[i]), wantMin = std::min(wantMin, v[i]);
            EXPECT_EQ(mx, wantMax) << offset << "/" << len;
            EXPECT_EQ(mn, wantMin) << offset << "/" << len;
        }
    }
}

// Random data: the dot product lies within the float error bound of the
// double dot product, (len + 2) * 2^-24 * sum |a_i b_i|.
TEST(ReductionAccuracy, DotWithinTheFloatErrorBound) {
    std::vector<float> a = randomFiniteFloats(41, 5000), b = randomFiniteFloats(42, 5000);
    for (size_t i = 0; i < a.size(); ++i) a[i] = std::fmod(a[i], 1000.0f), b[i] = std::fmod(b[i], 1000.0f);
    for (size_t offset : {0u, 4u, 8u, 2u}) {
        for (int len : {1, 9, 100, 4099, 5000}) {
            SpBuffer<float> sa(a, 0), sb(b, offset);
            float got;
            ASSERT_EQ(spDotProductF32(sa.data(), sb.data(), len, &got), SP_STS_OK);
            double ref = 0, mag = 0;
            for (int i = 0; i < len; ++i) ref += (double)a[i] * b[i], mag += std::fabs((double)a[i] * b[i]);
            EXPECT_LE(std::fabs(got - ref), (len + 2) * std::ldexp(1.0, -24) * mag) << offset << "/" << len;
        }
    }
}

}  // namespace
}  // namespace sptest
