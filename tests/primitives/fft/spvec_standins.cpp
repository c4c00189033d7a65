// TEMPORARY stand-ins for generic bodies of the vector family that are not
// merged yet. Weak: the real bodies replace them as soon as they link.
// Delete this file when the vector family's bodies land.
#include <cstring>

#include "primitives/convert/sp_gen.h"

#define WEAK __attribute__((weak))
#define PLACEHOLDER(decl) WEAK decl { return -1000; }

WEAK void* spZeroKernel_Gen(void* dst, int n) {
    if (n > 0) std::memset(dst, 0, n);
    return dst;
}
WEAK void* spCopyKernel_Gen(const void* src, void* dst, int n) {
    if (n > 0) std::memmove(dst, src, n);
    return dst;
}
WEAK SpStatus spZeroF32_Gen(float* dst, int len) {
    if (!dst) return SP_STS_NULL_PTR;
    if (len <= 0) return SP_STS_SIZE;
    std::memset(dst, 0, 4 * (size_t)len);
    return 0;
}
WEAK SpStatus spCopyF32_Gen(const float* src, float* dst, int len) {
    if (!src || !dst) return SP_STS_NULL_PTR;
    if (len <= 0 || len >= SP_MAX_BYTE_LEN) return SP_STS_SIZE;
    std::memmove(dst, src, 4 * (size_t)len);
    return 0;
}
WEAK SpStatus spMoveF32_Gen(const float* src, float* dst, int len) { return spCopyF32_Gen(src, dst, len); }
WEAK SpStatus spScaleF32InPlace_Gen(float val, float* p, int len) {
    if (!p) return SP_STS_NULL_PTR;
    if (len <= 0) return SP_STS_SIZE;
    if (val == 1.0f) return 0;
    if (val == 0.0f) return spZeroF32_Gen(p, len);
    for (int i = 0; i < len; ++i) p[i] *= val;
    return 0;
}
WEAK SpStatus spSetI32_Gen(int32_t val, int32_t* dst, int len) {
    if (!dst) return SP_STS_NULL_PTR;
    if (len <= 0) return SP_STS_SIZE;
    for (int i = 0; i < len; ++i) dst[i] = val;
    return 0;
}
PLACEHOLDER(SpStatus spAbsF32InPlace_Gen(float*, int))
PLACEHOLDER(SpStatus spAddConstF32InPlace_Gen(float, float*, int))
PLACEHOLDER(SpStatus spAddF32InPlace_Gen(float const*, float*, int))
PLACEHOLDER(SpStatus spAddF32_Gen(float const*, float const*, float*, int))
PLACEHOLDER(SpStatus spAddProductF32_Gen(float const*, float const*, float*, int))
PLACEHOLDER(SpStatus spAddScaledF32_Gen(float const*, float, float*, int))
PLACEHOLDER(SpStatus spDeinterleaveF32_Gen(float const*, int, int, float* const*))
PLACEHOLDER(SpStatus spDivConstF32InPlace_Gen(float, float*, int))
PLACEHOLDER(SpStatus spDivF32_Gen(float const*, float const*, float*, int))
PLACEHOLDER(SpStatus spDotProductF32_Gen(float const*, float const*, int, float*))
PLACEHOLDER(SpStatus spExpF32InPlace_Gen(float*, int))
PLACEHOLDER(SpStatus spF32ToI16Scaled_Gen(float const*, short*, int, int, int))
PLACEHOLDER(SpStatus spF32ToI24Scaled_Gen(float const*, unsigned char*, int, int))
PLACEHOLDER(SpStatus spF32ToI32Scaled_Gen(float const*, int*, int, int, int))
PLACEHOLDER(SpStatus spI16ToF32Scaled_Gen(short const*, float*, int, int))
PLACEHOLDER(SpStatus spI24ToF32_Gen(unsigned char const*, float*, int))
PLACEHOLDER(SpStatus spI32ToF32Scaled_Gen(int const*, float*, int, int))
PLACEHOLDER(SpStatus spI32ToF32_Gen(int const*, float*, int))
PLACEHOLDER(SpStatus spInterleaveF32_Gen(float const* const*, int, int, float*))
PLACEHOLDER(SpStatus spLnF32InPlace_Gen(float*, int))
WEAK float* spMallocF32_Gen(int) { return nullptr; }
PLACEHOLDER(SpStatus spMaxEveryF32InPlace_Gen(float const*, float*, int))
PLACEHOLDER(SpStatus spMaxF32_Gen(float const*, int, float*))
PLACEHOLDER(SpStatus spMeanF32_Gen(float const*, int, float*, int))
PLACEHOLDER(SpStatus spMinEveryF32InPlace_Gen(float const*, float*, int))
PLACEHOLDER(SpStatus spMinF32_Gen(float const*, int, float*))
PLACEHOLDER(SpStatus spMulF32InPlace_Gen(float const*, float*, int))
PLACEHOLDER(SpStatus spMulF32_Gen(float const*, float const*, float*, int))
PLACEHOLDER(SpStatus spPowF32_Gen(float const*, float const*, float*, int))
PLACEHOLDER(SpStatus spReverseF32_Gen(float const*, float*, int))
PLACEHOLDER(SpStatus spScaleF32_Gen(float const*, float, float*, int))
PLACEHOLDER(SpStatus spSetF32_Gen(float, float*, int))
PLACEHOLDER(SpStatus spSqrtF32InPlace_Gen(float*, int))
PLACEHOLDER(SpStatus spSquareF32_Gen(float const*, float*, int))
PLACEHOLDER(SpStatus spSubF32_Gen(float const*, float const*, float*, int))
PLACEHOLDER(SpStatus spSumF32_Gen(float const*, int, float*, int))
