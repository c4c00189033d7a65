#include "tests/primitives/support/blocked_tables.h"

#include <cstdint>

namespace sptest {

namespace {

float negate(float x) { return 0.0f - x; }

// e^(-2 pi i m / E), E = 4q, from S read at stride st: the quadrant of m
// picks the entry and its sign.
void twiddle(const float* S, int64_t st, int64_t q, int64_t m, float* re, float* im) {
    if (m <= q) {
        *re = S[(q - m) * st];
        *im = negate(S[m * st]);
    } else if (m <= 2 * q) {
        *re = negate(S[(m - q) * st]);
        *im = negate(S[(2 * q - m) * st]);
    } else if (m <= 3 * q) {
        *re = negate(S[(3 * q - m) * st]);
        *im = S[(m - 2 * q) * st];
    } else {
        *re = S[(m - 3 * q) * st];
        *im = S[(4 * q - m) * st];
    }
}

int log2Of(int64_t n) {
    int m = 0;
    while ((int64_t{1} << m) < n) ++m;
    return m;
}

// One record vector pair: e^(-2 pi i m_i / E) for the 4 lanes.
float* block(const float* S, int sinOrder, int64_t E, const int64_t* m, float* out) {
    const int64_t st = int64_t{1} << (sinOrder - log2Of(E));
    for (int i = 0; i < 4; ++i) twiddle(S, st, E / 4, m[i], out + i, out + 4 + i);
    return out + 8;
}

}  // namespace

std::vector<int> blockedRowPlan(int a) {
    switch (a) {
        case 6: return {4, 4};
        case 7: return {4, 8};
        case 8: return {8, 8};
        case 9: return {4, 4, 8};
        case 10: return {4, 8, 8};
        case 11: return {8, 8, 8};
        case 12: return {4, 4, 8, 8};
        case 13: return {4, 8, 8, 8};
        case 14: return {8, 8, 8, 8};
        case 15: return {4, 4, 8, 8, 8};
        case 16: return {4, 8, 8, 8, 8};
        case 17: return {8, 8, 8, 8, 8};
        case 18: return {4, 8, 8, 8, 8, 4};
        case 19: return {4, 8, 8, 8, 8, 8};
        default: return {};
    }
}

void buildBlockedRowTwiddles(const std::vector<int>& plan, const float* S, int sinOrder, float* out) {
    int64_t L = 4;
    for (const int r : plan) {
        for (int64_t l0 = 0; l0 < L; l0 += 4) {
            for (int s = 1; s < r; ++s) {
                const int64_t m[4] = {s * l0, s * (l0 + 1), s * (l0 + 2), s * (l0 + 3)};
                out = block(S, sinOrder, r * L, m, out);
            }
        }
        L *= r;
    }
}

void buildBlockedScatterTwiddles(int a, const float* S, int sinOrder, float* out) {
    const int64_t n = int64_t{1} << a;
    for (int64_t k = 0; k < n; k += 4) {
        for (int s = 1; s < 8; ++s) {
            const int64_t m[4] = {s * k, s * (k + 1), s * (k + 2), s * (k + 3)};
            out = block(S, sinOrder, 8 * n, m, out);
        }
    }
}

}  // namespace sptest
