// Complex arithmetic of the generic FFT build, in the exact operation order
// the transforms and their tests rely on: a product a*w is
// (a.re*w.re - a.im*w.im, a.re*w.im + a.im*w.re), each product rounded to
// float before the sum (the project builds with -ffp-contract=off).
// Internal to the generic build: CPU builds keep their own helpers.
#pragma once

namespace sp::gen {

struct Cx {
    float re;
    float im;
};

inline Cx load(const float* p) { return {p[0], p[1]}; }
inline void store(float* p, Cx v) {
    p[0] = v.re;
    p[1] = v.im;
}
inline Cx add(Cx a, Cx b) { return {a.re + b.re, a.im + b.im}; }
inline Cx sub(Cx a, Cx b) { return {a.re - b.re, a.im - b.im}; }
inline Cx mul(Cx a, Cx w) { return {a.re * w.re - a.im * w.im, a.re * w.im + a.im * w.re}; }
// a * conj(w).
inline Cx mulConj(Cx a, Cx w) { return {a.re * w.re + a.im * w.im, a.im * w.re - a.re * w.im}; }
inline Cx scale(Cx a, float s) { return {a.re * s, a.im * s}; }

// Direction traits of the transforms. Forward: products by w, rotation by
// -i; the products by e^(-i pi/4) and e^(-3i pi/4) in factored form with
// c = cos(pi/4) and m = -cos(pi/4) as the tables hold them. Inverse: the
// same with conj(w), +i and the conjugated fixed factors.
struct FwdOps {
    static Cx twiddle(Cx a, Cx w) { return mul(a, w); }
    static Cx rotate(Cx a) { return {a.im, -a.re}; }
    static Cx rotate45(Cx a, float c) { return {(a.re + a.im) * c, (a.im - a.re) * c}; }
    static Cx rotate135(Cx a, float m) { return {(a.re - a.im) * m, (a.re + a.im) * m}; }
};

struct InvOps {
    static Cx twiddle(Cx a, Cx w) { return mulConj(a, w); }
    static Cx rotate(Cx a) { return {-a.im, a.re}; }
    static Cx rotate45(Cx a, float c) { return {(a.re - a.im) * c, (a.re + a.im) * c}; }
    static Cx rotate135(Cx a, float m) { return {(a.re + a.im) * m, (a.im - a.re) * m}; }
};

}  // namespace sp::gen
