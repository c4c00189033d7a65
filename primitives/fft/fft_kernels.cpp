// Kernels of the generic FFT build: the bit-reverse permutations, the radix-4
// complex transform of up to 1024 points, the real-spectrum recombination and
// its inverse. The forward and inverse radix-4 transforms are one body over a
// direction trait (twiddle product and the rotation by -i or +i), so the two
// cannot drift apart. Every arithmetic step follows a fixed order: the CPU
// builds and the tests rely on the exact bits, and the project's global
// -ffp-contract=off keeps the compiler from fusing products into sums.
#include "primitives/fft/fft_complex.h"
#include "primitives/fft/sp_fft_cpu.h"
#include "primitives/fft/sp_fft_gen.h"
#include "primitives/fft_simd/sp_fft_simd.h"

using sp::gen::Cx;
using sp::gen::load;
using sp::gen::store;

namespace {

using Forward = sp::gen::FwdOps;
using Inverse = sp::gen::InvOps;

// Twiddle entry l: w^l, w^2l, w^3l as three complex values.
inline Cx entryW1(const float* tw, int l) { return load(tw + 6 * l); }
inline Cx entryW2(const float* tw, int l) { return load(tw + 6 * l + 2); }
inline Cx entryW3(const float* tw, int l) { return load(tw + 6 * l + 4); }

// The radix-4 butterfly with the products already formed.
template <typename Dir>
inline void butterfly4(float* p0, float* p1, float* p2, float* p3, Cx a0, Cx t1, Cx t2, Cx t3) {
    const Cx s01 = sp::gen::add(a0, t1);
    const Cx d01 = sp::gen::sub(a0, t1);
    const Cx s23 = sp::gen::add(t2, t3);
    const Cx r23 = Dir::rotate(sp::gen::sub(t2, t3));
    store(p0, sp::gen::add(s01, s23));
    store(p2, sp::gen::sub(s01, s23));
    store(p1, sp::gen::add(d01, r23));
    store(p3, sp::gen::sub(d01, r23));
}

// Length-4 stage: groups of four consecutive points.
template <typename Dir>
void stage4(float* data, int n) {
    for (int g = 0; g < n; g += 4) {
        float* p = data + 2 * g;
        butterfly4<Dir>(p, p + 2, p + 4, p + 6, load(p), load(p + 2), load(p + 4), load(p + 6));
    }
}

// Length-8 stage (odd L): pairs of 4-point transforms, fixed factors read
// from twiddle entry n/8.
template <typename Dir>
void stage8(float* data, int n, const float* tw) {
    const Cx w = entryW1(tw, n / 8);
    for (int g = 0; g < n; g += 8) {
        float* a = data + 2 * g;
        float* b = a + 8;
        const Cx t[4] = {load(b), Dir::rotate45(load(b + 2), w.re), Dir::rotate(load(b + 4)),
                         Dir::rotate135(load(b + 6), w.im)};
        for (int j = 0; j < 4; ++j) {
            const Cx aj = load(a + 2 * j);
            store(a + 2 * j, sp::gen::add(aj, t[j]));
            store(b + 2 * j, sp::gen::sub(aj, t[j]));
        }
    }
}

// Length-16 stage (even L): the products by e^(-i pi/4), -i and e^(-3i pi/4)
// are exact or factored; the others use the table values.
template <typename Dir>
void stage16(float* data, int n, const float* tw) {
    const int l1 = n / 16;
    const float c = entryW2(tw, l1).re;
    const float m = entryW2(tw, l1).im;
    for (int g = 0; g < n; g += 16) {
        float* p = data + 2 * g;
        float* q1 = p + 8;
        float* q2 = p + 16;
        float* q3 = p + 24;
        butterfly4<Dir>(p, q1, q2, q3, load(p), load(q1), load(q2), load(q3));
        butterfly4<Dir>(p + 2, q1 + 2, q2 + 2, q3 + 2, load(p + 2),
                        Dir::rotate45(load(q1 + 2), c), Dir::twiddle(load(q2 + 2), entryW1(tw, l1)),
                        Dir::twiddle(load(q3 + 2), entryW3(tw, l1)));
        butterfly4<Dir>(p + 4, q1 + 4, q2 + 4, q3 + 4, load(p + 4), Dir::rotate(load(q1 + 4)),
                        Dir::rotate45(load(q2 + 4), c), Dir::rotate135(load(q3 + 4), m));
        butterfly4<Dir>(p + 6, q1 + 6, q2 + 6, q3 + 6, load(p + 6),
                        Dir::rotate135(load(q1 + 6), m),
                        Dir::twiddle(load(q2 + 6), entryW1(tw, 3 * l1)),
                        Dir::twiddle(load(q3 + 6), entryW3(tw, 3 * l1)));
    }
}

// General radix-4 stage of length Q >= 32: full products with the table
// values, none for j = 0.
template <typename Dir>
void stageRadix4(float* data, int n, int Q, const float* tw) {
    const int quarter = Q / 4;
    const int step = n / Q;
    for (int g = 0; g < n; g += Q) {
        float* p0 = data + 2 * g;
        float* p1 = p0 + 2 * quarter;
        float* p2 = p1 + 2 * quarter;
        float* p3 = p2 + 2 * quarter;
        butterfly4<Dir>(p0, p1, p2, p3, load(p0), load(p1), load(p2), load(p3));
        for (int j = 1; j < quarter; ++j) {
            const int l = j * step;
            const int o = 2 * j;
            butterfly4<Dir>(p0 + o, p1 + o, p2 + o, p3 + o, load(p0 + o),
                            Dir::twiddle(load(p1 + o), entryW2(tw, l)),
                            Dir::twiddle(load(p2 + o), entryW1(tw, l)),
                            Dir::twiddle(load(p3 + o), entryW3(tw, l)));
        }
    }
}

// True when n = 2^L with L odd.
bool oddLog2(int n) {
    bool odd = false;
    for (int m = n; m > 1; m >>= 1) odd = !odd;
    return odd;
}

template <typename Dir>
void radix4(float* data, int n, const float* tw) {
    stage4<Dir>(data, n);
    int Q = 16;
    if (oddLog2(n)) {
        stage8<Dir>(data, n, tw);
        Q = 32;
    } else if (n >= 16) {
        stage16<Dir>(data, n, tw);
        Q = 64;
    }
    for (; Q <= n; Q *= 4) stageRadix4<Dir>(data, n, Q, tw);
}

inline void swapPoints(float* data, int i, int j) {
    const Cx a = load(data + 2 * i);
    store(data + 2 * i, load(data + 2 * j));
    store(data + 2 * j, a);
}

// Point index of the pair-table value 4k: complex point 2k.
inline int pointOf(int32_t value) { return value >> 1; }

}  // namespace

void spFftRadix4Fwd_Gen(float* data, int n, const float* twiddles) {
    radix4<Forward>(data, n, twiddles);
}

void spFftRadix4Inv_Gen(float* data, int n, const float* twiddles) {
    radix4<Inverse>(data, n, twiddles);
}

void spFftBitReverseInPlace_Gen(float* data, int n, const int32_t* table) {
    if (n < 4) return;
    const int half = n / 2;
    const int32_t* t = table;
    for (; *t != 0; t += 2) {
        const int a = pointOf(t[0]);
        const int b = pointOf(t[1]);
        swapPoints(data, a, b);
        swapPoints(data, a + 1, half + b);
        swapPoints(data, half + a, b + 1);
        swapPoints(data, half + a + 1, half + b + 1);
    }
    // t is at the front terminator (k = 0); the self-reversed values follow
    // up to the back terminator.
    do {
        const int a = pointOf(*t);
        swapPoints(data, a + 1, half + a);
        ++t;
    } while (*t != 0);
}

void spFftBitReverseCopy_Gen(const float* src, float* dst, int n, const int32_t* table) {
    if (n < 8) {
        store(dst, load(src));
        store(dst + 2 * (n - 1), load(src + 2 * (n - 1)));
        if (n == 4) {
            store(dst + 2, load(src + 4));
            store(dst + 4, load(src + 2));
        }
        return;
    }
    const int h = n / 2;
    auto move = [src, dst](int to, int from) { store(dst + 2 * to, load(src + 2 * from)); };
    const int32_t* t = table;
    for (; *t != 0; t += 2) {
        const int k = pointOf(t[0]);
        const int r = pointOf(t[1]);
        move(r, k);
        move(r + 1, h + k);
        move(k, r);
        move(k + 1, h + r);
        move(h + r, k + 1);
        move(h + r + 1, h + k + 1);
        move(h + k, r + 1);
        move(h + k + 1, h + r + 1);
    }
    do {
        const int k = pointOf(*t);
        move(k, k);
        move(k + 1, h + k);
        move(h + k, k + 1);
        move(h + k + 1, h + k + 1);
        ++t;
    } while (*t != 0);
}

void spRealFftRecombineFwd_Gen(float* data, int n, int /*direction*/, const float* table) {
    for (int k = 1; k < n / 2; ++k) {
        float* x = data + 2 * k;
        float* y = data + 2 * (n - k);
        const float A = x[0], B = x[1], C = y[0], D = y[1];
        const float c = table[2 * k], s = table[2 * k + 1];
        const float h = s * (A - C) + c * (B + D);
        const float g = s * (B + D) - c * (A - C);
        x[0] = C + h;
        x[1] = g - D;
        y[0] = A - h;
        y[1] = g - B;
    }
    data[n + 1] = -data[n + 1];
}

void spRealFftRecombineInv_Gen(const float* src, float* dst, int n, int /*direction*/,
                               const float* table) {
    for (int k = 1; k < n / 2; ++k) {
        const float* x = src + 2 * k;
        const float* y = src + 2 * (n - k);
        const float A = x[0], B = x[1], C = y[0], D = y[1];
        const float c = table[2 * k], s = table[2 * k + 1];
        const float e = s * (A - C) - c * (B + D);
        const float d = c * (A - C) + s * (B + D);
        dst[2 * k] = (A + C) + e;
        dst[2 * k + 1] = (B - D) + d;
        dst[2 * (n - k)] = (A + C) - e;
        dst[2 * (n - k) + 1] = d - (B - D);
    }
    const float re = src[n];
    const float im = src[n + 1];
    dst[n] = 2.0f * re;
    dst[n + 1] = -2.0f * im;
}

// ---- Small kernels, orders 0 to 3 -------------------------------------------
// Every kernel reads all its inputs before it writes, so src may equal dst.
// A scaled kernel multiplies the first-stage sums and differences of its
// inputs by the scale and then finishes like the unscaled one.

namespace {

constexpr float kC = 0.70710677f;   // cos(pi/4)
constexpr float kR2 = 1.4142135f;   // sqrt(2)

// Forward real order 3 from its first-stage terms.
void realFwd3(float* dst, float e, float a, float f, float h, float d0, float d1, float d2,
              float d3) {
    const float m = (d1 - d3) * kC;
    const float p = (d1 + d3) * (-kC);
    dst[0] = (e + a) + (f + h);
    dst[1] = (e + a) - (f + h);
    dst[2] = d0 + m;
    dst[3] = p - d2;
    dst[4] = e - a;
    dst[5] = h - f;
    dst[6] = d0 - m;
    dst[7] = d2 + p;
}

// Inverse real order 3 from its first-stage terms: s = X0 + X4, t = X0 - X4,
// u = R1 - R3, v = I1 + I3, w = R1 + R3, z = I1 - I3, r = 2 R2, i = 2 I2.
void realInv3(float* dst, float s, float t, float u, float v, float w, float z, float r,
              float i) {
    const float o = (u - v) * kR2;
    const float q = (u + v) * (-kR2);
    dst[0] = (s + r) + 2.0f * w;
    dst[4] = (s + r) - 2.0f * w;
    dst[2] = (s - r) - 2.0f * z;
    dst[6] = (s - r) + 2.0f * z;
    dst[1] = (t - i) + o;
    dst[5] = (t - i) - o;
    dst[3] = (t + i) + q;
    dst[7] = (t + i) - q;
}

// Complex order 2 from s0 = z0 + z2, s1 = z1 + z3, d0 = z0 - z2, d1 = z1 - z3.
void complex2(float* dst, Cx s0, Cx s1, Cx d0, Cx d1) {
    const Cx r{d1.im, -d1.re};  // -i d1
    store(dst, sp::gen::add(s0, s1));
    store(dst + 4, sp::gen::sub(s0, s1));
    store(dst + 2, sp::gen::add(d0, r));
    store(dst + 6, sp::gen::sub(d0, r));
}

// Complex order 3 from s_k = z_k + z_(k+4) and d_k = z_k - z_(k+4).
void complex3(float* dst, const Cx* s, const Cx* d) {
    const Cx e = sp::gen::add(s[0], s[2]);
    const Cx f = sp::gen::sub(s[0], s[2]);
    const Cx g = sp::gen::add(s[1], s[3]);
    const Cx h = sp::gen::sub(s[1], s[3]);
    const Cx hr{h.im, -h.re};  // -i h
    const float pa = d[1].re + d[3].im, pb = d[1].im - d[3].re;
    const float qa = d[1].re - d[3].im, qb = d[1].im + d[3].re;
    const Cx P{kC * (pa + pb), kC * (pb - pa)};
    const Cx Q{(-kC) * (qa - qb), (-kC) * (qb + qa)};
    const Cx m{d[0].re + d[2].im, d[0].im - d[2].re};  // d0 - i d2
    const Cx p{d[0].re - d[2].im, d[0].im + d[2].re};  // d0 + i d2
    store(dst, sp::gen::add(e, g));
    store(dst + 8, sp::gen::sub(e, g));
    store(dst + 4, sp::gen::add(f, hr));
    store(dst + 12, sp::gen::sub(f, hr));
    store(dst + 2, sp::gen::add(m, P));
    store(dst + 10, sp::gen::sub(m, P));
    store(dst + 6, sp::gen::add(p, Q));
    store(dst + 14, sp::gen::sub(p, Q));
}

void complex3Terms(const float* src, Cx* s, Cx* d, float scale, bool scaled) {
    for (int k = 0; k < 4; ++k) {
        const Cx a = load(src + 2 * k);
        const Cx b = load(src + 2 * k + 8);
        s[k] = sp::gen::add(a, b);
        d[k] = sp::gen::sub(a, b);
        if (scaled) {
            s[k] = sp::gen::scale(s[k], scale);
            d[k] = sp::gen::scale(d[k], scale);
        }
    }
}

}  // namespace

void spRealFftOrder0_Gen(const float* src, float* dst) { dst[0] = src[0]; }

void spRealFftOrder0Scaled_Gen(const float* src, float* dst, float scale) {
    dst[0] = src[0] * scale;
}

void spRealFftOrder1_Gen(const float* src, float* dst) {
    const float x0 = src[0], x1 = src[1];
    dst[0] = x0 + x1;
    dst[1] = x0 - x1;
}

void spRealFftOrder1Scaled_Gen(const float* src, float* dst, float scale) {
    const float x0 = src[0], x1 = src[1];
    dst[0] = (x0 + x1) * scale;
    dst[1] = (x0 - x1) * scale;
}

void spRealFftFwdOrder2_Gen(const float* src, float* dst) {
    const float x0 = src[0], x1 = src[1], x2 = src[2], x3 = src[3];
    dst[0] = (x0 + x2) + (x1 + x3);
    dst[1] = (x0 + x2) - (x1 + x3);
    dst[2] = x0 - x2;
    dst[3] = x3 - x1;
}

void spRealFftFwdOrder2Scaled_Gen(const float* src, float* dst, float scale) {
    const float x0 = src[0], x1 = src[1], x2 = src[2], x3 = src[3];
    const float b = (x0 + x2) * scale;
    const float r = (x1 + x3) * scale;
    dst[0] = b + r;
    dst[1] = b - r;
    dst[2] = (x0 - x2) * scale;
    dst[3] = (x3 - x1) * scale;
}

void spRealFftInvOrder2_Gen(const float* src, float* dst) {
    const float X0 = src[0], X2 = src[1], R1 = src[2], I1 = src[3];
    dst[0] = (X0 + X2) + 2.0f * R1;
    dst[1] = (X0 - X2) - 2.0f * I1;
    dst[2] = (X0 + X2) - 2.0f * R1;
    dst[3] = (X0 - X2) + 2.0f * I1;
}

void spRealFftInvOrder2Scaled_Gen(const float* src, float* dst, float scale) {
    const float s = (src[0] + src[1]) * scale;
    const float t = (src[0] - src[1]) * scale;
    const float r = (2.0f * src[2]) * scale;
    const float i = (2.0f * src[3]) * scale;
    dst[0] = s + r;
    dst[1] = t - i;
    dst[2] = s - r;
    dst[3] = t + i;
}

void spRealFftFwdOrder3_Gen(const float* src, float* dst) {
    const float* x = src;
    realFwd3(dst, x[0] + x[4], x[2] + x[6], x[1] + x[5], x[3] + x[7], x[0] - x[4], x[1] - x[5],
             x[2] - x[6], x[3] - x[7]);
}

void spRealFftFwdOrder3Scaled_Gen(const float* src, float* dst, float scale) {
    const float* x = src;
    const float sc = scale;
    realFwd3(dst, (x[0] + x[4]) * sc, (x[2] + x[6]) * sc, (x[1] + x[5]) * sc, (x[3] + x[7]) * sc,
             (x[0] - x[4]) * sc, (x[1] - x[5]) * sc, (x[2] - x[6]) * sc, (x[3] - x[7]) * sc);
}

void spRealFftInvOrder3_Gen(const float* src, float* dst) {
    const float* X = src;
    realInv3(dst, X[0] + X[1], X[0] - X[1], X[2] - X[6], X[3] + X[7], X[2] + X[6], X[3] - X[7],
             2.0f * X[4], 2.0f * X[5]);
}

void spRealFftInvOrder3Scaled_Gen(const float* src, float* dst, float scale) {
    const float* X = src;
    const float sc = scale;
    realInv3(dst, (X[0] + X[1]) * sc, (X[0] - X[1]) * sc, (X[2] - X[6]) * sc, (X[3] + X[7]) * sc,
             (X[2] + X[6]) * sc, (X[3] - X[7]) * sc, (2.0f * X[4]) * sc, (2.0f * X[5]) * sc);
}

void spComplexFftFwdOrder0_Gen(const float* src, float* dst) { store(dst, load(src)); }

void spComplexFftFwdOrder0Scaled_Gen(const float* src, float* dst, float scale) {
    store(dst, sp::gen::scale(load(src), scale));
}

void spComplexFftFwdOrder1_Gen(const float* src, float* dst) {
    const Cx z0 = load(src), z1 = load(src + 2);
    store(dst, sp::gen::add(z0, z1));
    store(dst + 2, sp::gen::sub(z0, z1));
}

void spComplexFftFwdOrder1Scaled_Gen(const float* src, float* dst, float scale) {
    const Cx z0 = load(src), z1 = load(src + 2);
    store(dst, sp::gen::scale(sp::gen::add(z0, z1), scale));
    store(dst + 2, sp::gen::scale(sp::gen::sub(z0, z1), scale));
}

void spComplexFftFwdOrder2_Gen(const float* src, float* dst) {
    const Cx z0 = load(src), z1 = load(src + 2), z2 = load(src + 4), z3 = load(src + 6);
    complex2(dst, sp::gen::add(z0, z2), sp::gen::add(z1, z3), sp::gen::sub(z0, z2),
             sp::gen::sub(z1, z3));
}

void spComplexFftFwdOrder2Scaled_Gen(const float* src, float* dst, float scale) {
    const Cx z0 = load(src), z1 = load(src + 2), z2 = load(src + 4), z3 = load(src + 6);
    complex2(dst, sp::gen::scale(sp::gen::add(z0, z2), scale),
             sp::gen::scale(sp::gen::add(z1, z3), scale),
             sp::gen::scale(sp::gen::sub(z0, z2), scale),
             sp::gen::scale(sp::gen::sub(z1, z3), scale));
}

void spComplexFftFwdOrder3_Gen(const float* src, float* dst) {
    Cx s[4], d[4];
    complex3Terms(src, s, d, 1.0f, false);
    complex3(dst, s, d);
}

void spComplexFftFwdOrder3Scaled_Gen(const float* src, float* dst, float scale) {
    Cx s[4], d[4];
    complex3Terms(src, s, d, scale, true);
    complex3(dst, s, d);
}

// ---- Small-kernel tables ----------------------------------------------------
#define SP_REAL_ROWS                                                                           \
    {spRealFftOrder0_Gen, spRealFftOrder1_Gen, spRealFftFwdOrder2_Gen, spRealFftFwdOrder3_Gen}, \
    {spRealFftOrder0Scaled_Gen, spRealFftOrder1Scaled_Gen, spRealFftFwdOrder2Scaled_Gen,         \
     spRealFftFwdOrder3Scaled_Gen},                                                              \
    {spRealFftOrder0_Gen, spRealFftOrder1_Gen, spRealFftInvOrder2_Gen, spRealFftInvOrder3_Gen}, \
    {spRealFftOrder0Scaled_Gen, spRealFftOrder1Scaled_Gen, spRealFftInvOrder2Scaled_Gen,         \
     spRealFftInvOrder3Scaled_Gen}
#define SP_COMPLEX_ROWS                                                                        \
    {spComplexFftFwdOrder0_Gen, spComplexFftFwdOrder1_Gen, spComplexFftFwdOrder2_Gen,          \
     spComplexFftFwdOrder3_Gen},                                                                 \
    {spComplexFftFwdOrder0Scaled_Gen, spComplexFftFwdOrder1Scaled_Gen,                         \
     spComplexFftFwdOrder2Scaled_Gen, spComplexFftFwdOrder3Scaled_Gen}

// Rows 4 to 15 (real) and 2 to 7 (complex) hold the CPU builds' own kernels,
// which give the generic bits; orders 0 (and 1 of the complex rows) stay
// generic, and build 3 takes build 2's real orders 1 and 2 and complex
// order 2.
#define SP_REAL_CPU_ROWS(b12, b3)                                                              \
    {spRealFftOrder0_Gen, spRealFftOrder1##b12, spRealFftFwdOrder2##b12, spRealFftFwdOrder3##b3}, \
    {spRealFftOrder0Scaled_Gen, spRealFftOrder1Scaled##b12, spRealFftFwdOrder2Scaled##b12,       \
     spRealFftFwdOrder3Scaled##b3},                                                              \
    {spRealFftOrder0_Gen, spRealFftOrder1##b12, spRealFftInvOrder2##b12, spRealFftInvOrder3##b3}, \
    {spRealFftOrder0Scaled_Gen, spRealFftOrder1Scaled##b12, spRealFftInvOrder2Scaled##b12,       \
     spRealFftInvOrder3Scaled##b3}
#define SP_COMPLEX_CPU_ROWS(b2, b3)                                                            \
    {spComplexFftFwdOrder0_Gen, spComplexFftFwdOrder1_Gen, spComplexFftFwdOrder2##b2,            \
     spComplexFftFwdOrder3##b3},                                                                 \
    {spComplexFftFwdOrder0Scaled_Gen, spComplexFftFwdOrder1Scaled_Gen,                         \
     spComplexFftFwdOrder2Scaled##b2, spComplexFftFwdOrder3Scaled##b3}
const SpFftSmallKernel SP_REAL_FFT_SMALL_KERNELS[SP_REAL_FFT_SMALL_ROWS][4] = {
    SP_REAL_ROWS, SP_REAL_CPU_ROWS(_Sse3, _Sse3), SP_REAL_CPU_ROWS(_Ssse3, _Ssse3),
    SP_REAL_CPU_ROWS(_Ssse3, _Sse41)};
const SpFftSmallKernel SP_COMPLEX_FFT_SMALL_KERNELS[SP_COMPLEX_FFT_SMALL_ROWS][4] = {
    SP_COMPLEX_ROWS, SP_COMPLEX_CPU_ROWS(_Sse3, _Sse3), SP_COMPLEX_CPU_ROWS(_Ssse3, _Ssse3),
    SP_COMPLEX_CPU_ROWS(_Ssse3, _Sse41)};
