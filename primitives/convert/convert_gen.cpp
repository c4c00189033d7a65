// Generic build of the PCM <-> float conversions (table A rows 2-7, 21).
// Full scale is +-1.0 in float for every width with the scale factors the
// data path passes (15, 23, 31). Range and NaN are decided on the value
// before any float-to-integer cast, so no cast ever sees an out-of-range
// value. Sources and destinations are the same array (equal element sizes)
// or disjoint; every element is read before its own position is written.
#include <cmath>
#include <cstdint>

#include "primitives/convert/sp_gen.h"
#include "primitives/convert/sp_mem.h"

#include <emmintrin.h>

namespace sp {
namespace gen {
namespace {

// 2^-scaleFactor exactly in double: 0 below the smallest subnormal,
// infinity above the largest double.
double doubleFactor(int scaleFactor) {
    int exponent = clampInt(scaleFactor, -4000, 4000);
    return std::ldexp(1.0, -exponent);
}

// Rounding of an in-range value (|v| <= 2^31 + 0.5): int64 casts truncate
// toward zero, so no libm call is needed.
// Nearest, ties to even: half away from zero, then a tie that landed on an
// odd integer steps back toward zero.
int64_t roundNearestEven(double v) {
    double w = v >= 0.0 ? v + 0.5 : v - 0.5;
    int64_t r = (int64_t)w;
    if ((double)r == w && (r & 1) != 0) r += (r > 0) ? -1 : 1;
    return r;
}

int64_t roundHalfAway(double v) { return (int64_t)(v >= 0.0 ? v + 0.5 : v - 0.5); }

// Unscaled 16-bit half-away forms the sum in single precision (0.49999997
// gives 1 there).
int64_t roundHalfAwaySingle(float v) { return (int64_t)(v >= 0.0f ? v + 0.5f : v - 0.5f); }

template <typename Int>
struct IntRange;
template <>
struct IntRange<int16_t> {
    static constexpr double kMax = 32767.0, kMin = -32768.0;
};
template <>
struct IntRange<int32_t> {
    static constexpr double kMax = 2147483647.0, kMin = -2147483648.0;
};

// One element to Int: NaN gives nanValue, values beyond the range saturate
// (decided on v before rounding), the rest round by Mode. `single` is the
// element itself for the unscaled single-precision half-away form.
template <typename Int, int Mode, bool SingleHalfAway>
Int toInt(double v, float single, Int nanValue) {
    if (std::isnan(v)) return nanValue;
    if (v > IntRange<Int>::kMax) return (Int)IntRange<Int>::kMax;
    if (v < IntRange<Int>::kMin) return (Int)IntRange<Int>::kMin;
    int64_t r;
    if (Mode == SP_RND_ZERO)
        r = (int64_t)v;
    else if (Mode == SP_RND_NEAREST)
        r = roundNearestEven(v);
    else if (SingleHalfAway)
        r = roundHalfAwaySingle(single);
    else
        r = roundHalfAway(v);
    return (Int)r;
}

template <typename Int, int Mode, bool Scaled>
void floatToIntLoop(const float* src, Int* dst, int len, double factor, Int nanValue) {
    constexpr bool kSingleHalfAway = !Scaled && Mode == SP_RND_HALF_AWAY && sizeof(Int) == 2;
    for (size_t i = 0; i < (size_t)len; ++i) {
        float x = elemF32(src, i);
        double v = Scaled ? (double)x * factor : (double)x;
        Int r = toInt<Int, Mode, kSingleHalfAway>(v, x, nanValue);
        std::memcpy((char*)dst + i * sizeof(Int), &r, sizeof(Int));
    }
}

template <typename Int, bool Scaled>
void floatToIntByMode(const float* src, Int* dst, int len, int rndMode, double factor) {
    if (rndMode == SP_RND_ZERO)
        floatToIntLoop<Int, SP_RND_ZERO, Scaled>(src, dst, len, factor, 0);
    else if (rndMode == SP_RND_NEAREST)
        floatToIntLoop<Int, SP_RND_NEAREST, Scaled>(src, dst, len, factor, 0);
    else  // A NaN gives the minimum in the 32-bit half-away form only.
        floatToIntLoop<Int, SP_RND_HALF_AWAY, Scaled>(src, dst, len, factor,
                                                      sizeof(Int) == 4 ? (Int)IntRange<Int>::kMin : 0);
}

template <typename Int>
SpStatus floatToInt(const float* src, Int* dst, int len, int rndMode, int scaleFactor) {
    if (src == nullptr || dst == nullptr) return SP_STS_NULL_PTR;
    if (len <= 0) return SP_STS_SIZE;
    if (scaleFactor == 0)
        floatToIntByMode<Int, false>(src, dst, len, rndMode, 1.0);
    else
        floatToIntByMode<Int, true>(src, dst, len, rndMode, doubleFactor(scaleFactor));
    return SP_STS_OK;
}

// Four integers widened to int32 lanes.
__m128i loadInts4(const int16_t* p) {
    __m128i v = loadI64Low(p);
    return _mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16);
}
__m128i loadInts4(const int32_t* p) { return loadI128(p); }

// Integer to float; `factor` is a normal power of two or 1 (no scaling), so
// every product is exact apart from the int32 -> float rounding (cvtdq2ps
// and the scalar conversion both round by MXCSR). Four at a time when that
// reads each element before it is written (in-place int32 use included).
template <typename Int>
void intToFloatLoop(const Int* src, float* dst, int len, float factor, bool scaled) {
    size_t i = 0;
    if (blockStepSafe(src, dst)) {
        const __m128 f = _mm_set1_ps(scaled ? factor : 1.0f);  // x * 1.0f == x, NaN-free here
        for (; i + 8 <= (size_t)len; i += 8) {
            __m128 v0 = _mm_mul_ps(_mm_cvtepi32_ps(loadInts4(src + i)), f);
            __m128 v1 = _mm_mul_ps(_mm_cvtepi32_ps(loadInts4(src + i + 4)), f);
            _mm_storeu_ps(dst + i, v0);
            _mm_storeu_ps(dst + i + 4, v1);
        }
        for (; i + 4 <= (size_t)len; i += 4) _mm_storeu_ps(dst + i, _mm_mul_ps(_mm_cvtepi32_ps(loadInts4(src + i)), f));
    }
    for (; i < (size_t)len; ++i) {
        Int v;
        std::memcpy(&v, (const char*)src + i * sizeof(Int), sizeof(Int));
        float f = (float)v;
        setElemF32(dst, i, scaled ? f * factor : f);
    }
}

template <typename Int>
SpStatus intToFloat(const Int* src, float* dst, int len, int scaleFactor, int minSf) {
    if (src == nullptr || dst == nullptr) return SP_STS_NULL_PTR;
    if (len <= 0) return SP_STS_SIZE;
    if (scaleFactor == 0) {
        intToFloatLoop(src, dst, len, 1.0f, false);
    } else {
        float factor = powerOfTwoFactor(clampInt(scaleFactor, minSf, 126));
        intToFloatLoop(src, dst, len, factor, true);
    }
    return SP_STS_OK;
}

// Packed 24-bit sample as a signed value; sign extension in unsigned
// arithmetic.
int32_t load24(const uint8_t* p) {
    uint32_t u = (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16);
    return (int32_t)(u ^ 0x800000u) - 0x800000;
}

void store24(uint8_t* p, int32_t v) {
    uint32_t u = (uint32_t)v;
    p[0] = (uint8_t)u;
    p[1] = (uint8_t)(u >> 8);
    p[2] = (uint8_t)(u >> 16);
}

int32_t floatTo24(float x, float factor, bool scaled) {
    double v = scaled ? (double)(x * factor) : (double)x;
    if (std::isnan(v)) return 0;
    if (v >= 8388607.0) return 8388607;
    if (v <= -8388608.0) return -8388608;
    return (int32_t)roundNearestEven(v);
}

}  // namespace
}  // namespace gen
}  // namespace sp

using namespace sp::gen;

SpStatus spF32ToI16Scaled_Gen(const float* src, int16_t* dst, int len, int rndMode, int scaleFactor) {
    return floatToInt<int16_t>(src, dst, len, rndMode, scaleFactor);
}

SpStatus spF32ToI32Scaled_Gen(const float* src, int32_t* dst, int len, int rndMode, int scaleFactor) {
    return floatToInt<int32_t>(src, dst, len, rndMode, scaleFactor);
}

SpStatus spI16ToF32Scaled_Gen(const int16_t* src, float* dst, int len, int scaleFactor) {
    return intToFloat<int16_t>(src, dst, len, scaleFactor, -112);
}

SpStatus spI32ToF32Scaled_Gen(const int32_t* src, float* dst, int len, int scaleFactor) {
    return intToFloat<int32_t>(src, dst, len, scaleFactor, -96);
}

SpStatus spI32ToF32_Gen(const int32_t* src, float* dst, int len) {
    return intToFloat<int32_t>(src, dst, len, 0, 0);
}

SpStatus spI24ToF32_Gen(const uint8_t* src, float* dst, int len) {
    if (src == nullptr || dst == nullptr) return SP_STS_NULL_PTR;
    if (len <= 0) return SP_STS_SIZE;
    for (size_t i = 0; i < (size_t)len; ++i) setElemF32(dst, i, (float)load24(src + 3 * i));
    return SP_STS_OK;
}

SpStatus spF32ToI24Scaled_Gen(const float* src, uint8_t* dst, int len, int scaleFactor) {
    if (src == nullptr || dst == nullptr) return SP_STS_NULL_PTR;
    if (len <= 0) return SP_STS_SIZE;
    bool scaled = scaleFactor != 0;
    float factor = powerOfTwoFactor(clampInt(scaleFactor, -127, 127));
    for (size_t i = 0; i < (size_t)len; ++i) store24(dst + 3 * i, floatTo24(elemF32(src, i), factor, scaled));
    return SP_STS_OK;
}
