// Generic build of the exponential and natural logarithm of table B, in
// place. The exponential classifies every element by its bits; ordinary
// ("normal") elements go four at a time through a (3,3) Pade approximant
// with one shared division, the up to three left over (and every element of
// a vector shorter than 4) through the runtime's exp(double). The logarithm
// classifies its special inputs and hands the rest to the runtime's logf.
#include <cmath>

#include "primitives/convert/sp_gen.h"
#include "primitives/convert/sp_mem.h"

using namespace sp::gen;

namespace {

constexpr double kLog2e = 1.4426950408889634;
constexpr double kLn2 = 0.6931471805599453;
constexpr double kTwo52 = 4503599627370496.0;
constexpr double kRuntimeOverflow = 88.72284;
constexpr uint32_t kExpHighEdge = 0x42B17218u;  // 88.72283935546875
constexpr uint32_t kExpLowEdge = 0xC2AEAC50u;   // -87.3365478515625 (bits with the sign)
constexpr uint32_t kDefaultNan = 0xFFC00000u;
constexpr uint32_t kPlusInf = 0x7F800000u;

float runtimeExp(float x) {
    double y = (double)x;
    if (y > kRuntimeOverflow) return bitsFloat(kPlusInf);
    return (float)std::exp(y);
}

// Result bits of a special element, or false for a normal one.
bool specialExp(uint32_t b, uint32_t* result) {
    uint32_t magnitude = b & 0x7FFFFFFFu;
    bool nan = magnitude > 0x7F800000u;
    if (magnitude < 0x00800000u) {
        *result = 0x3F800000u;  // +-0 and subnormals: 1.0
    } else if ((b >> 31) == 0 && b >= kExpHighEdge) {
        *result = nan ? kDefaultNan : kPlusInf;
    } else if ((b >> 31) != 0 && b >= kExpLowEdge) {
        *result = nan ? kDefaultNan : 0u;
    } else {
        return false;
    }
    return true;
}

struct PadeTerm {
    double num, den;
    uint32_t n;     // |round(x * log2 e)|
    bool negative;  // x < 0
};

// e^x = 2^n * e^r, e^r ~ N(r) / D(r) with |r| <= ln 2 / 2.
PadeTerm padeTerm(float xf) {
    double x = (double)xf;
    double m = x > 0.0 ? kTwo52 : -kTwo52;
    double t = x * kLog2e + m;
    PadeTerm term;
    term.n = (uint32_t)doubleBits(t);  // low 32 bits of the mantissa
    term.negative = x < 0.0;
    double r = x - (t - m) * kLn2;
    double r2 = r * r;
    double even = 12.0 * (10.0 + r2);
    double odd = r * (60.0 + r2);
    term.num = even + odd;
    term.den = even - odd;
    return term;
}

// float(N) * float(1/D), then 2^n applied on the exponent field.
uint32_t padeResult(const PadeTerm& term, double invDen) {
    uint32_t bits = floatBits((float)term.num * (float)invDen);
    uint32_t shift = term.n << 23;
    return term.negative ? bits - shift : bits + shift;
}

// Four normal elements (dst positions idx) with one division.
void padeGroup(float* srcDst, const size_t idx[4], const float x[4]) {
    PadeTerm t[4];
    for (int k = 0; k < 4; ++k) t[k] = padeTerm(x[k]);
    double d12 = t[0].den * t[1].den, d34 = t[2].den * t[3].den;
    double inv = 1.0 / (d12 * d34);
    double inv12 = d34 * inv, inv34 = d12 * inv;
    double invDen[4] = {t[1].den * inv12, t[0].den * inv12, t[3].den * inv34, t[2].den * inv34};
    for (int k = 0; k < 4; ++k) storeU32((char*)srcDst + idx[k] * 4, padeResult(t[k], invDen[k]));
}

}  // namespace

SpStatus spExpF32InPlace_Gen(float* srcDst, int len) {
    if (srcDst == nullptr) return SP_STS_NULL_PTR;
    if (len <= 0) return SP_STS_SIZE;
    size_t n = (size_t)len;
    if (n < 4) {
        for (size_t i = 0; i < n; ++i) setElemF32(srcDst, i, runtimeExp(elemF32(srcDst, i)));
        return SP_STS_OK;
    }
    // From the last element down: specials are written at once, normal
    // elements gathered in fours (highest index first).
    size_t idx[4];
    float x[4];
    int pending = 0;
    for (size_t i = n; i-- > 0;) {
        uint32_t b = loadU32((const char*)srcDst + i * 4), result;
        if (specialExp(b, &result)) {
            storeU32((char*)srcDst + i * 4, result);
            continue;
        }
        idx[pending] = i;
        x[pending] = bitsFloat(b);
        if (++pending == 4) {
            padeGroup(srcDst, idx, x);
            pending = 0;
        }
    }
    // The 1-3 normal elements with the lowest indices.
    for (int k = 0; k < pending; ++k) setElemF32(srcDst, idx[k], runtimeExp(x[k]));
    return SP_STS_OK;
}

// First offending element decides the warning: zero +7, negative +8.
SpStatus spLnF32InPlace_Gen(float* srcDst, int len) {
    if (srcDst == nullptr) return SP_STS_NULL_PTR;
    if (len <= 0) return SP_STS_SIZE;
    SpStatus status = SP_STS_OK;
    for (size_t i = 0; i < (size_t)len; ++i) {
        uint32_t b = loadU32((const char*)srcDst + i * 4);
        uint32_t out;
        if ((b >> 31) != 0) {
            out = kDefaultNan;
            if (status == SP_STS_OK) status = SP_STS_LN_NEG_ARG;
        } else if ((b & 0x7FC00000u) == 0x7FC00000u) {
            out = kDefaultNan;
        } else if (b == 0) {
            out = 0xFF800000u;
            if (status == SP_STS_OK) status = SP_STS_LN_ZERO_ARG;
        } else {
            out = floatBits(std::log(bitsFloat(b)));
        }
        storeU32((char*)srcDst + i * 4, out);
    }
    return status;
}
