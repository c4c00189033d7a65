// Primitives against numpy (tests/primitives/ref/sp_numpy_ref.py): bit-exact
// unless a bound is named.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "primitives/vector/entry_table_b.h"
#include "tests/primitives/support/references.h"
#include "tests/primitives/support/ulp.h"

namespace sptest {
namespace {

constexpr int kN = 4096;
const char* const kScript = "sp_numpy_ref.py";

// The file's elements; a file of another size is a failure and yields
// `count` zeros, so no entry ever reads past a short array.
template <typename T>
std::vector<T> load(const std::string& name, size_t count = kN) {
    std::vector<uint8_t> bytes = readRefFile(name);
    std::vector<T> v(count);
    if (bytes.size() != count * sizeof(T)) {
        ADD_FAILURE() << name << ": " << bytes.size() << " bytes, expected " << count * sizeof(T);
        return v;
    }
    std::memcpy(v.data(), bytes.data(), bytes.size());
    return v;
}

template <typename T>
void expectSameBytes(const std::vector<T>& got, const std::string& name) {
    std::vector<T> want = load<T>(name, got.size());
    ASSERT_EQ(got.size(), want.size()) << name;
    for (size_t i = 0; i < got.size(); ++i) {
        if (std::memcmp(&got[i], &want[i], sizeof(T)) != 0) {
            ADD_FAILURE() << name << " differs at element " << i;
            return;
        }
    }
}

class NumpyReference : public ::testing::Test {
protected:
    void SetUp() override { SP_REQUIRE_NUMPY(kScript); }
};

TEST_F(NumpyReference, FloatToIntegerTruncRintHalfAwayAndClip) {
    std::vector<float> unit = load<float>("conv_unit.f32"), wide = load<float>("conv_wide.f32");
    std::vector<int16_t> i16(kN);
    std::vector<int32_t> i32(kN);
    spF32ToI16Scaled(unit.data(), i16.data(), kN, SP_RND_ZERO, -15);
    expectSameBytes(i16, "f32_to_i16_trunc_m15.i16");
    spF32ToI16Scaled(wide.data(), i16.data(), kN, SP_RND_NEAREST, 0);
    expectSameBytes(i16, "f32_to_i16_rint_0.i16");
    spF32ToI16Scaled(unit.data(), i16.data(), kN, SP_RND_HALF_AWAY, -15);
    expectSameBytes(i16, "f32_to_i16_halfaway_m15.i16");
    spF32ToI32Scaled(unit.data(), i32.data(), kN, SP_RND_ZERO, -31);
    expectSameBytes(i32, "f32_to_i32_trunc_m31.i32");
    spF32ToI32Scaled(unit.data(), i32.data(), kN, SP_RND_HALF_AWAY, -31);
    expectSameBytes(i32, "f32_to_i32_halfaway_m31.i32");
    std::vector<uint8_t> packed(3 * kN);
    spF32ToI24Scaled(unit.data(), packed.data(), kN, -23);
    expectSameBytes(packed, "f32_to_i24_m23.u8");
}

TEST_F(NumpyReference, IntegerToFloat) {
    std::vector<float> out(kN);
    std::vector<int16_t> i16 = load<int16_t>("i16.i16");
    spI16ToF32Scaled(i16.data(), out.data(), kN, 15);
    expectSameBytes(out, "i16_to_f32_15.f32");
    std::vector<int32_t> i32 = load<int32_t>("i32.i32");
    spI32ToF32Scaled(i32.data(), out.data(), kN, 31);
    expectSameBytes(out, "i32_to_f32_31.f32");
    std::vector<uint8_t> packed = load<uint8_t>("i24.u8", 3 * kN);
    spI24ToF32(packed.data(), out.data(), kN);
    expectSameBytes(out, "i24_to_f32.f32");
}

TEST_F(NumpyReference, InterleaveIsReshapeAndTranspose) {
    const int ch = 6, len = 683;
    std::vector<uint32_t> planar = load<uint32_t>("deinterleaved.u32", ch * len);
    std::vector<const float*> src;
    for (int c = 0; c < ch; ++c) src.push_back(reinterpret_cast<const float*>(planar.data() + c * len));
    std::vector<uint32_t> block(ch * len);
    spInterleaveF32(src.data(), ch, len, reinterpret_cast<float*>(block.data()));
    expectSameBytes(block, "interleaved.u32");
    std::vector<uint32_t> back(ch * len);
    std::vector<float*> dst;
    for (int c = 0; c < ch; ++c) dst.push_back(reinterpret_cast<float*>(back.data() + c * len));
    spDeinterleaveF32(reinterpret_cast<const float*>(block.data()), ch, len, dst.data());
    expectSameBytes(back, "deinterleaved.u32");
}

TEST_F(NumpyReference, ElementWiseOperations) {
    std::vector<float> a = load<float>("a.f32"), b = load<float>("b.f32"), out(kN);
    spAddF32(a.data(), b.data(), out.data(), kN);
    expectSameBytes(out, "add.f32");
    spSubF32(a.data(), b.data(), out.data(), kN);
    expectSameBytes(out, "sub_b_minus_a.f32");
    spMulF32(a.data(), b.data(), out.data(), kN);
    expectSameBytes(out, "mul.f32");
    spSquareF32(a.data(), out.data(), kN);
    expectSameBytes(out, "square.f32");
    out = a;
    spAbsF32InPlace(out.data(), kN);
    expectSameBytes(out, "abs.f32");
    spSqrtF32InPlace(out.data(), kN);
    expectSameBytes(out, "sqrt_abs_a.f32");
    out = b;
    spMinEveryF32InPlace(a.data(), out.data(), kN);
    expectSameBytes(out, "min_every.f32");
    out = b;
    spMaxEveryF32InPlace(a.data(), out.data(), kN);
    expectSameBytes(out, "max_every.f32");
}

TEST_F(NumpyReference, SumAndMeanWithinOneUlpOfTheExactlyRoundedValue) {
    std::vector<float> s = load<float>("sum_input.f32");
    double sum = load<double>("sum_fsum.f64", 1).at(0), mean = load<double>("mean_fsum.f64", 1).at(0);
    for (int len : {kN}) {
        float gotSum, gotMean;
        spSumF32(s.data(), len, &gotSum, 0);
        spMeanF32(s.data(), len, &gotMean, 0);
        EXPECT_LE(ulpDistance(gotSum, (float)sum), 1);
        EXPECT_LE(ulpDistance(gotMean, (float)mean), 1);
    }
}

}  // namespace
}  // namespace sptest
