// Generic build of the vector power (table A row 25): dst[i] = x[i]^y[i].
// A table-driven fast path (logarithm in double, exponential in single)
// serves groups of four ordinary elements; everything else goes element by
// element through spPowSpecialF32 (double precision, every special case).
// The work runs with round-to-nearest and no flushing; the caller's MXCSR
// is restored afterwards.
#include <emmintrin.h>
#include <xmmintrin.h>

#include <cfloat>

#include "primitives/convert/pow_tables.h"
#include "primitives/convert/sp_gen.h"
#include "primitives/convert/sp_mem.h"

namespace sp {
namespace gen {
namespace {

constexpr double kLn2 = bitsToDouble(0x3FE62E42FEFA39EFull);
constexpr double kInvLn2x128 = bitsToDouble(0x40671547652B82FEull);  // 128 / ln 2
constexpr double kLn2Div128 = bitsToDouble(0x3F762E42FEFA39EFull);   // ln 2 / 128
constexpr double kLogA = bitsToDouble(0x3FD55555555512C8ull);        // 0.33333333333238757
constexpr double kLogB = bitsToDouble(0xBFDFFFFFFFFFCAAEull);        // -0.4999999999992423
constexpr double kOneSixth = bitsToDouble(0x3FC5555555555555ull);
constexpr double kExp23 = bitsToDouble(0x420226AF33B1FDC1ull);       // e^23, subnormal prescale
constexpr double kHugeResult = bitsToDouble(0x7F8000007F800000ull);  // far above the float range
constexpr uint32_t kDefaultNan = 0xFFC00000u;

constexpr uint32_t kFastPathTLimitHigh = 0x4055D55Cu;   // |t| < 87.33380126953125
constexpr uint32_t kSpecialOverflowHigh = 0x4086232Bu;  // |t| >= 708.396484375
constexpr uint32_t kMxcsrFtz = 0x8000, kMxcsrRound = 0x6000, kMxcsrDaz = 0x0040;

uint32_t highWord(double d) { return (uint32_t)(doubleBits(d) >> 32); }
uint32_t absHighWord(double d) { return highWord(d) & 0x7FFFFFFFu; }

// Natural logarithm of a positive normal double: a = 2^E * m, c = m rounded
// to 8 fraction bits (halves up), r = (m - c) / c from the table, then a
// cubic in r plus E * ln 2 + ln c.
double logCore(double a) {
    uint64_t bits = doubleBits(a);
    int e = (int)((bits >> 52) & 0x7FF) - 1023;
    double m = bitsDouble((bits & 0x000FFFFFFFFFFFFFull) | 0x3FF0000000000000ull);
    unsigned j = (unsigned)(((bits >> 43) & 0x1FF) + 1) >> 1;
    double c = 1.0 + (double)j / 256.0;
    double r = (m - c) * spPowTable.logTable[j][1];
    double poly = (kLogA * r + kLogB) * r * r + r;
    return poly + ((double)e * kLn2 + spPowTable.logTable[j][0]);
}

// Nearest integer of p (|p| < 2^31) under the round-to-nearest MXCSR that
// spPowF32 guarantees.
int nearestInt(double p) { return _mm_cvtsd_si32(_mm_set_sd(p)); }

bool fastPathOperands(float x, float y) {
    uint32_t b = floatBits(x);
    return b >= 0x00800000u && b <= 0x7F7FFFFFu && y == y;
}

// Single-precision exponential of the fast path for |t| < 87.34.
float fastExp(double t) {
    int k = nearestInt(t * kInvLn2x128);
    float r2 = (float)(t - (double)k * kLn2Div128);
    int j = k & 127;
    int e = (k - j) / 128;  // floor(k / 128), -126..126
    float scale = bitsFloat((uint32_t)(e + 127) << 23);
    float hi = spPowTable.expPair[j][0], lo = spPowTable.expPair[j][1];
    return ((r2 * r2 * 0.5f + (lo + r2)) * hi + hi) * scale;
}

// Double-precision exponential of the special routine for |t| < 708.4.
double specialExp(double t) {
    int k = nearestInt(t * kInvLn2x128);
    double r2 = t - (double)k * kLn2Div128;
    int j = k & 127;
    int e = (k - j) / 128;  // -1022..1021
    double T = bitsDouble(((uint64_t)(e + 1023) << 52) | spPowTable.expFraction[j]);
    double p = (kOneSixth * r2 + 0.5) * r2 * r2 + r2;
    return T + T * p;
}

enum class YKind { kOdd, kEven, kNotInteger };

YKind classify(float y) {
    float a = y < 0.0f ? -y : y;
    if (!(a <= FLT_MAX)) return YKind::kNotInteger;  // infinities and NaN
    if (a >= 16777216.0f) return YKind::kEven;
    if (a < 1.0f) return YKind::kNotInteger;
    int32_t n = (int32_t)a;
    if ((float)n != a) return YKind::kNotInteger;
    return (n & 1) ? YKind::kOdd : YKind::kEven;
}

bool isZero(float v) { return v == 0.0f; }
bool isInf(float v) { return v == FLT_MAX * 2.0f || v == -FLT_MAX * 2.0f; }
bool isNan(float v) { return v != v; }
bool finiteNonZero(float v) { return !isZero(v) && !isInf(v) && !isNan(v); }

uint32_t signedInf(bool negative) { return negative ? 0xFF800000u : 0x7F800000u; }
uint32_t signedZero(bool negative) { return negative ? 0x80000000u : 0u; }

// Result bits of the special table (x or y zero, infinite or NaN, or x < 0
// with a non-integer y); *domain set for the domain and pole rows.
uint32_t specialTable(float x, float y, bool* domain) {
    uint32_t xb = floatBits(x), yb = floatBits(y);
    float ax = x < 0.0f ? -x : x;
    bool odd = classify(y) == YKind::kOdd;
    *domain = false;
    if (isZero(y) || x == 1.0f) return 0x3F800000u;
    if (x == -1.0f && isInf(y)) return 0x3F800000u;
    if (isNan(x)) return xb;
    if (isNan(y)) return yb;
    if (isZero(x) && isInf(y) && y < 0.0f) return *domain = true, 0x7F800000u;
    if (isInf(y) && ax > 1.0f) return y > 0.0f ? 0x7F800000u : 0u;
    if (isInf(y) && ax < 1.0f) return y > 0.0f ? 0u : 0x7F800000u;
    if (isInf(x) && x > 0.0f) return y < 0.0f ? 0u : 0x7F800000u;
    if (isInf(x)) return y < 0.0f ? signedZero(odd) : signedInf(odd);
    if (isZero(x) && (xb >> 31) == 0) return y > 0.0f ? 0u : (*domain = true, 0x7F800000u);
    if (isZero(x)) return y > 0.0f ? signedZero(odd) : (*domain = true, signedInf(odd));
    *domain = true;  // x < 0 finite, y finite and not an integer
    return kDefaultNan;
}

// The power of finite non-zero x and y in double (x < 0 only with an
// integer y).
float finitePower(float x, float y) {
    double a = x < 0.0f ? -(double)x : (double)x;
    double c = 0.0;
    if (a < bitsDouble(0x3810000000000000ull)) {  // float subnormal: prescale by e^23
        a *= kExp23;
        c = 23.0;
    }
    double sign = (x < 0.0f && classify(y) == YKind::kOdd) ? -1.0 : 1.0;
    double t = (double)y * (logCore(a) - c);
    double v;
    if (absHighWord(t) > kSpecialOverflowHigh)
        v = t > 0.0 ? kHugeResult : 0.0;
    else
        v = specialExp(t);
    return (float)(v * sign);
}

// Elements [begin, end) through the fast path when every one of them
// qualifies, else each through the special routine.
void powBlock(const float* x, const float* y, float* dst, size_t begin, size_t end, SpStatus* status) {
    double t[8];
    bool fast = true;
    for (size_t i = begin; i < end; ++i) {
        float xv = elemF32(x, i), yv = elemF32(y, i);
        if (!fastPathOperands(xv, yv)) {
            fast = false;
            break;
        }
        t[i - begin] = (double)yv * logCore((double)xv);
        if (absHighWord(t[i - begin]) > kFastPathTLimitHigh) fast = false;
    }
    if (fast) {
        for (size_t i = begin; i < end; ++i) setElemF32(dst, i, fastExp(t[i - begin]));
    } else {
        for (size_t i = begin; i < end; ++i) spPowSpecialF32(x, y, dst, (int)i, status);
    }
}

__attribute__((noinline)) SpStatus powWorker(const float* x, const float* y, float* dst, int len, size_t group) {
    SpStatus status = SP_STS_OK;
    size_t n = (size_t)len, grouped = n & ~(size_t)7, i = 0;
    for (; i < grouped; i += group) powBlock(x, y, dst, i, i + group, &status);
    for (; i < n; ++i) powBlock(x, y, dst, i, i + 1, &status);
    return status;
}

}  // namespace
}  // namespace gen
}  // namespace sp

using namespace sp::gen;

void spRaiseFpException(int code) {
    volatile double a, b;
    volatile double result;
    switch (code) {
    case SP_STS_DOMAIN: a = 0.0, b = 0.0, result = a / b; break;
    case SP_STS_SINGULARITY: a = 1.0, b = 0.0, result = a / b; break;
    case SP_STS_OVERFLOW: a = DBL_MAX, b = DBL_MAX, result = a * b; break;
    case SP_STS_UNDERFLOW:
        a = bitsDouble(0x0010000000000001ull);  // 2^-1022 + 2^-1074
        b = a;
        result = a * b;
        break;
    default: return;
    }
    (void)result;
}

void spPowSpecialF32(const float* x, const float* y, float* dst, int i, SpStatus* status) {
    float xv = elemF32(x, (size_t)i), yv = elemF32(y, (size_t)i);
    bool negativeNonInteger = xv < 0.0f && classify(yv) == YKind::kNotInteger;
    if (finiteNonZero(xv) && finiteNonZero(yv) && !negativeNonInteger) {
        setElemF32(dst, (size_t)i, finitePower(xv, yv));
        return;
    }
    bool domain;
    uint32_t bits = specialTable(xv, yv, &domain);
    storeU32((char*)dst + (size_t)i * 4, bits);
    if (domain) {
        *status = SP_STS_DOMAIN;
        spRaiseFpException(SP_STS_DOMAIN);
    }
}

SpStatus spPowGroupedF32(const float* x, const float* y, float* dst, int len, int group) {
    const uint32_t saved = _mm_getcsr();
    const uint32_t forced = kMxcsrFtz | kMxcsrRound | kMxcsrDaz;
    const bool change = (saved & forced) != 0;
    if (change) _mm_setcsr(saved & ~forced);
    SpStatus status = powWorker(x, y, dst, len, group == 8 ? 8 : 4);
    if (change) _mm_setcsr(saved);
    return status;
}

SpStatus spPowF32_Gen(const float* x, const float* y, float* dst, int len) {
    if (dst == nullptr || y == nullptr || x == nullptr) return SP_STS_NULL_PTR;
    if (len <= 0) return SP_STS_SIZE;
    return spPowGroupedF32(x, y, dst, len, 4);
}
