// One step of a direct-form FIR filter on a caller-held delay line: the
// caller owns the taps, the doubled delay line of 2 tapsLen floats (every
// sample stored at j and j + tapsLen, so the last tapsLen samples always lie
// contiguously from the write index) and the write index. No state record,
// no allocation; one call per sample at DISPATCH_LEVEL.
//
// The products are formed in single precision and summed in double, oldest
// sample first, then rounded to float once. An index outside 0..tapsLen-1
// is refused with SP_STS_SIZE: the store would land outside the delay line.
#include "primitives/filter/sp_filter_gen.h"

SpStatus spFirOneDirectF32_Gen(float src, float* dst, const float* taps, int tapsLen, float* dly,
                               int* idx) {
    if (dst == nullptr || taps == nullptr) return SP_STS_NULL_PTR;
    if (tapsLen <= 0) return SP_STS_FIR_LEN;
    if (dly == nullptr || idx == nullptr) return SP_STS_NULL_PTR;
    const int j = *idx;
    if (j < 0 || j >= tapsLen) return SP_STS_SIZE;
    const int L = tapsLen;
    dly[int64_t{j} + L] = src;
    dly[j] = src;
    const int m = j + 1 < L ? j + 1 : 0;
    *idx = m;
    const float* window = dly + m;
    double sum = 0.0;
    for (int i = 0; i < L; ++i) sum += static_cast<double>(taps[L - 1 - i] * window[i]);
    *dst = static_cast<float>(sum);
    return SP_STS_OK;
}
