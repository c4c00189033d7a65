// The thirty one-sample IIR kernels of the CPU builds for integer, complex
// and double-precision samples. No builder of the library makes their
// states, so a builder here lays out the plain coefficients and tables 1-6
// (see iir_kernels_one.inl) from given coefficients. Everything a kernel
// must not read is NaN: the "any" table entries, the representation of the
// other path (plain coefficients or table), one extra section or delay
// element past the end and, where a kernel bounds its cascade by one count
// field, a count field it must not read, set one section too high. A kernel
// that takes the wrong path or runs the wrong number of sections outputs NaN.
//
// Bounds, per output against scipy's lfilter/sosfilt on the stored
// coefficients (float64):
//   double arithmetic: |y' - y| <= 1e-12 max|y| (delay line likewise);
//   float samples from double arithmetic: within 1 ulp of y, plus that;
//   float arithmetic: <= 2^-24 * 64 * max|y| (poles of radius <= 0.7 and
//     taps scaled to unit gain keep the recursion's error a few ulps of the
//     largest output; measured below 1e-6 relative);
//   integer outputs: exactly rint(clip(y 2^-sf)); +-1 only where y 2^-sf
//     lies within 1e-3 (float arithmetic) or the double bound of a
//     half-integer.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "tests/primitives/filter/cpu/filter_kernels.h"
#include "tests/primitives/support/scipy_ref.h"
#include "tests/primitives/support/sp_buffer.h"

namespace sptest {
namespace {

using cd = std::complex<double>;

enum class Smp { I16, I32, F32, F64 };

size_t smpBytes(Smp s) { return s == Smp::I16 ? 2 : s == Smp::F64 ? 8 : 4; }

void putSample(uint8_t* p, Smp s, double v) {
    switch (s) {
        case Smp::I16: { const int16_t t = static_cast<int16_t>(v); std::memcpy(p, &t, 2); break; }
        case Smp::I32: { const int32_t t = static_cast<int32_t>(v); std::memcpy(p, &t, 4); break; }
        case Smp::F32: { const float t = static_cast<float>(v); std::memcpy(p, &t, 4); break; }
        case Smp::F64: std::memcpy(p, &v, 8); break;
    }
}

double getSample(const uint8_t* p, Smp s) {
    switch (s) {
        case Smp::I16: { int16_t t; std::memcpy(&t, p, 2); return t; }
        case Smp::I32: { int32_t t; std::memcpy(&t, p, 4); return t; }
        case Smp::F32: { float t; std::memcpy(&t, p, 4); return t; }
        case Smp::F64: { double t; std::memcpy(&t, p, 8); return t; }
    }
    return 0.0;
}

// One kernel called through untyped pointers: x, y and raw are samples (or
// values of the arithmetic type for raw) of the row's types.
using Runner = void (*)(const SpFilterKernels&, const void* x, void* y, void* raw, SpIirState* st, int sf);

struct KernelRow {
    const char* name;
    Smp smp;
    bool complex;
    bool f64;     // arithmetic type
    bool biquad;
    bool raw;
    Runner run;
};

#define SCALED(n, T)                                                                             \
    [](const SpFilterKernels& k, const void* x, void* y, void*, SpIirState* st, int sf) {        \
        k.n(static_cast<const T*>(x), static_cast<T*>(y), st, sf);                               \
    }
#define SCALED_RAW(n, T, R)                                                                      \
    [](const SpFilterKernels& k, const void* x, void* y, void* raw, SpIirState* st, int sf) {    \
        k.n(static_cast<const T*>(x), static_cast<T*>(y), static_cast<R*>(raw), st, sf);         \
    }
#define PLAIN(n, T)                                                                              \
    [](const SpFilterKernels& k, const void* x, void* y, void*, SpIirState* st, int) {           \
        k.n(static_cast<const T*>(x), static_cast<T*>(y), st);                                   \
    }
#define PLAIN_RAW(n, T, R)                                                                       \
    [](const SpFilterKernels& k, const void* x, void* y, void* raw, SpIirState* st, int) {       \
        k.n(static_cast<const T*>(x), static_cast<T*>(y), static_cast<R*>(raw), st);             \
    }
#define ROW(n, smp, cplx, f64, bq, raw, call) {#n, Smp::smp, cplx, f64, bq, raw, call}

const KernelRow kRows[] = {
    ROW(spIirBiquadOneSampleI16Scaled, I16, false, false, true, false, SCALED(spIirBiquadOneSampleI16Scaled, int16_t)),
    ROW(spIirOneSampleI16Scaled, I16, false, false, false, false, SCALED(spIirOneSampleI16Scaled, int16_t)),
    ROW(spIirOneSampleI16ScaledRawOut, I16, false, false, false, true,
        SCALED_RAW(spIirOneSampleI16ScaledRawOut, int16_t, float)),
    ROW(spIirOneSampleComplexF32, F32, true, false, false, false, PLAIN(spIirOneSampleComplexF32, float)),
    ROW(spIirBiquadOneSampleComplexF32, F32, true, false, true, false, PLAIN(spIirBiquadOneSampleComplexF32, float)),
    ROW(spIirOneSampleComplexI16Scaled, I16, true, false, false, false, SCALED(spIirOneSampleComplexI16Scaled, int16_t)),
    ROW(spIirOneSampleComplexI16ScaledRawOut, I16, true, false, false, true,
        SCALED_RAW(spIirOneSampleComplexI16ScaledRawOut, int16_t, float)),
    ROW(spIirBiquadOneSampleComplexI16Scaled, I16, true, false, true, false,
        SCALED(spIirBiquadOneSampleComplexI16Scaled, int16_t)),
    ROW(spIirBiquadOneSampleF64, F64, false, true, true, false, PLAIN(spIirBiquadOneSampleF64, double)),
    ROW(spIirBiquadOneSampleI16TapsF64Scaled, I16, false, true, true, false,
        SCALED(spIirBiquadOneSampleI16TapsF64Scaled, int16_t)),
    ROW(spIirBiquadOneSampleI32TapsF64Scaled, I32, false, true, true, false,
        SCALED(spIirBiquadOneSampleI32TapsF64Scaled, int32_t)),
    ROW(spIirBiquadOneSampleF32TapsF64, F32, false, true, true, false, PLAIN(spIirBiquadOneSampleF32TapsF64, float)),
    ROW(spIirOneSampleF64, F64, false, true, false, false, PLAIN(spIirOneSampleF64, double)),
    ROW(spIirOneSampleI32TapsF64Scaled, I32, false, true, false, false, SCALED(spIirOneSampleI32TapsF64Scaled, int32_t)),
    ROW(spIirOneSampleI32TapsF64ScaledRawOut, I32, false, true, false, true,
        SCALED_RAW(spIirOneSampleI32TapsF64ScaledRawOut, int32_t, double)),
    ROW(spIirOneSampleI16TapsF64Scaled, I16, false, true, false, false, SCALED(spIirOneSampleI16TapsF64Scaled, int16_t)),
    ROW(spIirOneSampleI16TapsF64ScaledRawOut, I16, false, true, false, true,
        SCALED_RAW(spIirOneSampleI16TapsF64ScaledRawOut, int16_t, double)),
    ROW(spIirOneSampleF32TapsF64, F32, false, true, false, false, PLAIN(spIirOneSampleF32TapsF64, float)),
    ROW(spIirOneSampleF32TapsF64RawOut, F32, false, true, false, true, PLAIN_RAW(spIirOneSampleF32TapsF64RawOut, float, double)),
    ROW(spIirOneSampleComplexF64, F64, true, true, false, false, PLAIN(spIirOneSampleComplexF64, double)),
    ROW(spIirBiquadOneSampleComplexF64, F64, true, true, true, false, PLAIN(spIirBiquadOneSampleComplexF64, double)),
    ROW(spIirOneSampleComplexI32TapsF64Scaled, I32, true, true, false, false,
        SCALED(spIirOneSampleComplexI32TapsF64Scaled, int32_t)),
    ROW(spIirOneSampleComplexI32TapsF64ScaledRawOut, I32, true, true, false, true,
        SCALED_RAW(spIirOneSampleComplexI32TapsF64ScaledRawOut, int32_t, double)),
    ROW(spIirBiquadOneSampleComplexI32TapsF64Scaled, I32, true, true, true, false,
        SCALED(spIirBiquadOneSampleComplexI32TapsF64Scaled, int32_t)),
    ROW(spIirOneSampleComplexI16TapsF64Scaled, I16, true, true, false, false,
        SCALED(spIirOneSampleComplexI16TapsF64Scaled, int16_t)),
    ROW(spIirOneSampleComplexI16TapsF64ScaledRawOut, I16, true, true, false, true,
        SCALED_RAW(spIirOneSampleComplexI16TapsF64ScaledRawOut, int16_t, double)),
    ROW(spIirBiquadOneSampleComplexI16TapsF64Scaled, I16, true, true, true, false,
        SCALED(spIirBiquadOneSampleComplexI16TapsF64Scaled, int16_t)),
    ROW(spIirOneSampleComplexF32TapsF64, F32, true, true, false, false, PLAIN(spIirOneSampleComplexF32TapsF64, float)),
    ROW(spIirOneSampleComplexF32TapsF64RawOut, F32, true, true, false, true,
        PLAIN_RAW(spIirOneSampleComplexF32TapsF64RawOut, float, double)),
    ROW(spIirBiquadOneSampleComplexF32TapsF64, F32, true, true, true, false,
        PLAIN(spIirBiquadOneSampleComplexF32TapsF64, float)),
};

#undef ROW
#undef PLAIN_RAW
#undef PLAIN
#undef SCALED_RAW
#undef SCALED

bool isInteger(const KernelRow& r) { return r.smp == Smp::I16 || r.smp == Smp::I32; }
int parts(const KernelRow& r) { return r.complex ? 2 : 1; }

// ---- Test-only state builder -----------------------------------------------

// A filter as the kernels take it: direct form b0..bN, a0..aN (a0 = 1) or
// biquad sections {b0, b1, b2, a1, a2}; the initial delay values; and the
// value of the count field that bounds a cascade (order or numBiquads, as
// the kernel reads it; -1: 2S or S).
struct FilterSpec {
    bool biquad = false;
    int size = 0;  // order N or sections S
    std::vector<cd> coefs;
    std::vector<cd> zi;
    int count = -1;
};

// Which field bounds a cascade, and whether the kernel reads the plain
// coefficients or a table.
bool readsOrder(const KernelRow& r, const FilterSpec& f) {
    if (!f.biquad) return true;
    if (r.complex && !r.f64) return f.size < 5;  // plain path below 5 sections
    return !r.complex && r.f64;                  // table 4
}
bool readsPlain(const KernelRow& r, const FilterSpec& f) {
    if (r.f64) return !r.complex && !r.biquad;
    if (!r.complex) return !r.biquad;
    return f.biquad ? f.size < 5 : f.size < 4;
}

// One 16-byte-aligned block: the header, then the areas, each on a 16-byte
// boundary (the delay line 4 bytes past one where the kernel accepts that),
// all filled with NaN of the arithmetic type before the builder writes.
class IirOneState {
public:
    IirOneState(const KernelRow& r, const FilterSpec& f);
    SpIirState* state() { return st_; }
    // Delay values (complex: pairs) as doubles: all that the builder laid
    // out, including the guard and the extra element or section.
    std::vector<double> delay() const { return read(dly_, dlyValues_); }
    size_t usedDelayValues() const { return usedDly_; }

private:
    uint8_t* area(size_t values, size_t offset = 0);
    void put(uint8_t* a, size_t i, double v) const;
    void putC(uint8_t* a, size_t i, cd v) const {
        put(a, 2 * i, v.real());
        put(a, 2 * i + 1, v.imag());
    }
    void put2(uint8_t* a, size_t i, double v0, double v1) const {
        put(a, i, v0);
        put(a, i + 1, v1);
    }
    void put4(uint8_t* a, size_t i, double v0, double v1, double v2, double v3) const {
        put2(a, i, v0, v1);
        put2(a, i + 2, v2, v3);
    }
    std::vector<double> read(const uint8_t* a, size_t n) const;
    void writeDirect(const KernelRow& r, const FilterSpec& f, uint8_t* coeffs, uint8_t* table);
    void writeBiquad(const KernelRow& r, const FilterSpec& f, uint8_t* coeffs, uint8_t* table);

    size_t w_;  // bytes per value of the arithmetic type
    std::vector<uint8_t> mem_;
    size_t used_ = 0;
    SpIirState* st_ = nullptr;
    uint8_t* dly_ = nullptr;
    size_t dlyValues_ = 0, usedDly_ = 0;
};

IirOneState::IirOneState(const KernelRow& r, const FilterSpec& f)
    : w_(r.f64 ? 8 : 4), mem_(sizeof(SpIirState) + 16 + 4 * 2048 + 16 * 8) {
    uint8_t* base = mem_.data() + ((16 - (reinterpret_cast<uintptr_t>(mem_.data()) & 15)) & 15);
    used_ = static_cast<size_t>(base - mem_.data()) + sizeof(SpIirState);
    st_ = reinterpret_cast<SpIirState*>(base);
    std::memset(st_, 0, sizeof(SpIirState));
    const size_t c = r.complex ? 2 : 1;
    const size_t sections = static_cast<size_t>(f.size) + 1;  // one extra, never read
    uint8_t* coeffs = area(f.biquad ? 10 * sections : 2 * (2 * static_cast<size_t>(f.size) + 1));
    uint8_t* table = area(f.biquad ? 20 * sections : 4 + 16 * (static_cast<size_t>(f.size) / 2 + 1));
    usedDly_ = c * (f.biquad ? 2 * static_cast<size_t>(f.size) : static_cast<size_t>(f.size) + 1);
    dlyValues_ = usedDly_ + (f.biquad ? 2 * c : c);
    dly_ = area(dlyValues_, readsPlain(r, f) && !r.f64 ? 4 : 0);
    st_->id = f.biquad ? 0x49493032 : 0x49493031;
    st_->coeffs = reinterpret_cast<float*>(coeffs);
    st_->dlyLine = reinterpret_cast<float*>(dly_);
    st_->biquadTable = reinterpret_cast<float*>(table);
    for (size_t i = 0; i < f.zi.size(); ++i) r.complex ? putC(dly_, i, f.zi[i]) : put(dly_, i, f.zi[i].real());
    if (f.biquad) {
        writeBiquad(r, f, coeffs, table);
    } else {
        st_->order = f.size;
        r.complex ? putC(dly_, f.size, 0.0) : put(dly_, f.size, 0.0);  // the guard
        writeDirect(r, f, coeffs, table);
    }
}

uint8_t* IirOneState::area(size_t values, size_t offset) {
    used_ = (used_ + 15) & ~size_t{15};
    uint8_t* a = mem_.data() + used_ + offset;
    used_ += offset + values * w_;
    EXPECT_LE(used_, mem_.size());
    for (size_t i = 0; i < values; ++i) put(a, i, std::numeric_limits<double>::quiet_NaN());
    return a;
}

void IirOneState::put(uint8_t* a, size_t i, double v) const {
    if (w_ == 8) {
        std::memcpy(a + 8 * i, &v, 8);
    } else {
        const float t = static_cast<float>(v);
        std::memcpy(a + 4 * i, &t, 4);
    }
}

std::vector<double> IirOneState::read(const uint8_t* a, size_t n) const {
    std::vector<double> v(n);
    for (size_t i = 0; i < n; ++i) {
        if (w_ == 8) {
            std::memcpy(&v[i], a + 8 * i, 8);
        } else {
            float t;
            std::memcpy(&t, a + 4 * i, 4);
            v[i] = t;
        }
    }
    return v;
}

void IirOneState::writeDirect(const KernelRow& r, const FilterSpec& f, uint8_t* coeffs, uint8_t* table) {
    const int n = f.size;
    const std::vector<cd>& k = f.coefs;  // b0..bN, a0..aN
    auto b = [&](int i) { return k[i]; };
    auto a = [&](int i) { return k[n + 1 + i]; };
    if (readsPlain(r, f)) {
        for (int i = 0; i <= n; ++i) r.complex ? putC(coeffs, i, b(i)) : put(coeffs, i, b(i).real());
        for (int i = 1; i <= n; ++i) r.complex ? putC(coeffs, n + i, a(i)) : put(coeffs, n + i, a(i).real());
    } else if (r.f64) {  // table 5: {cr, ci}, {ci, cr}; b0, then bk and -ak
        auto group = [&](size_t at, cd c) { put4(table, at, c.real(), c.imag(), c.imag(), c.real()); };
        group(0, b(0));
        for (int i = 1; i <= n; ++i) {
            group(4 + 8 * (i - 1), b(i));
            group(8 + 8 * (i - 1), -a(i));
        }
    } else {  // table 2, odd N's last element in the first halves only
        put4(table, 0, b(0).real(), b(0).real(), -b(0).imag(), b(0).imag());
        for (int j = 0; j < n; j += 2) {
            const size_t g = 4 + 8 * static_cast<size_t>(j);
            for (int e = 0; e < 2 && j + e < n; ++e) {
                const cd bb = b(j + 1 + e), aa = a(j + 1 + e);
                const size_t o = g + 2 * e;
                put2(table, o, bb.real(), bb.real());
                put2(table, o + 4, -bb.imag(), bb.imag());
                put2(table, o + 8, -aa.real(), -aa.imag());
                put2(table, o + 12, aa.imag(), -aa.real());
            }
        }
    }
}

void IirOneState::writeBiquad(const KernelRow& r, const FilterSpec& f, uint8_t* coeffs, uint8_t* table) {
    const int s = f.size;
    // The count field the kernel reads, and the other one set to claim one
    // section more than there is.
    if (readsOrder(r, f)) {
        st_->order = f.count >= 0 ? f.count : 2 * s;
        st_->numBiquads = r.complex ? (f.count >= 0 ? 0 : s) : s + 1;
    } else {
        st_->numBiquads = f.count >= 0 ? f.count : s;
        st_->order = 2 * s + 2;
    }
    for (int k = 0; k < s; ++k) {
        const cd* c = &f.coefs[5 * static_cast<size_t>(k)];  // b0 b1 b2 a1 a2
        const size_t t = static_cast<size_t>(k);
        if (!r.complex && !r.f64) {  // table 1
            put4(table, 8 * t, c[0].real(), c[1].real(), c[2].real(), std::numeric_limits<double>::quiet_NaN());
            put2(table, 8 * t + 4, -c[3].real(), -c[4].real());
        } else if (!r.complex) {  // table 4
            put4(table, 6 * t, c[0].real(), c[0].real(), c[1].real(), c[2].real());
            put2(table, 6 * t + 4, -c[3].real(), -c[4].real());
        } else if (r.f64) {  // table 6
            const cd v[5] = {c[0], c[1], c[2], -c[3], -c[4]};
            for (size_t i = 0; i < 5; ++i) put4(table, 20 * t + 4 * i, v[i].real(), v[i].imag(), v[i].imag(), v[i].real());
        } else if (readsPlain(r, f)) {
            for (size_t i = 0; i < 5; ++i) putC(coeffs, 5 * t + i, c[i]);
        } else {  // table 3
            const size_t g = 20 * t;
            put4(table, g, c[0].real(), c[0].imag(), -c[0].imag(), c[0].real());
            put4(table, g + 4, c[1].real(), c[1].imag(), c[2].real(), c[2].imag());
            put4(table, g + 8, -c[1].imag(), c[1].real(), -c[2].imag(), c[2].real());
            put4(table, g + 12, -c[3].real(), -c[3].imag(), -c[4].real(), -c[4].imag());
            put4(table, g + 16, c[3].imag(), -c[3].real(), c[4].imag(), -c[4].real());
        }
    }
}

// ---- Running a kernel -------------------------------------------------------

struct KernelRun {
    std::vector<double> y, raw;  // parts of every output
    std::vector<uint8_t> bits;   // outputs and raw values as stored
    std::vector<double> delay;
};

// Filters x (parts interleaved) sample by sample; y and raw sit between
// canaries so that a kernel writing past its sample shows.
KernelRun runKernel(const KernelRow& r, const SpFilterKernels& k, IirOneState& s, const std::vector<double>& x, int sf) {
    const size_t p = static_cast<size_t>(parts(r));
    const size_t sb = smpBytes(r.smp) * p, rb = (r.f64 ? 8 : 4) * p;
    KernelRun out;
    for (size_t n = 0; n < x.size() / p; ++n) {
        uint8_t in[16];
        for (size_t i = 0; i < p; ++i) putSample(in + i * smpBytes(r.smp), r.smp, x[n * p + i]);
        SpBuffer<uint8_t> y(sb), raw(rb);
        r.run(k, in, y.data(), r.raw ? raw.data() : nullptr, s.state(), sf);
        EXPECT_TRUE(y.checkCanaries()) << r.name;
        EXPECT_TRUE(raw.checkCanaries()) << r.name;
        for (size_t i = 0; i < p; ++i) out.y.push_back(getSample(y.data() + i * smpBytes(r.smp), r.smp));
        out.bits.insert(out.bits.end(), y.data(), y.data() + sb);
        if (!r.raw) continue;
        for (size_t i = 0; i < p; ++i)
            out.raw.push_back(getSample(raw.data() + i * (rb / p), r.f64 ? Smp::F64 : Smp::F32));
        out.bits.insert(out.bits.end(), raw.data(), raw.data() + rb);
    }
    out.delay = s.delay();
    return out;
}

// ---- Bounds -------------------------------------------------------------------

double floatUlp(double v) {
    const float f = std::fabs(static_cast<float>(v));
    return std::nextafter(f, std::numeric_limits<float>::infinity()) - f;
}

struct Tolerance {
    double arith;   // |y' - y| of a value in the arithmetic type
    double halfWin; // integer outputs: window around half-integers
};

Tolerance tolerance(const KernelRow& r, double maxY) {
    if (r.f64) return {1e-12 * maxY, 1e-12 * maxY};
    return {std::ldexp(64.0, -24) * maxY, 1e-3};
}

// An integer output: rint(clip(v)), or one off where v is within `win` of a
// half-integer.
::testing::AssertionResult integerOutputOk(double got, double v, Smp s, double win) {
    const double lo = s == Smp::I16 ? -32768.0 : -2147483648.0, hi = s == Smp::I16 ? 32767.0 : 2147483647.0;
    const double want = std::nearbyint(std::fmin(std::fmax(v, lo), hi));
    if (got == want) return ::testing::AssertionSuccess();
    const double frac = std::fabs(v - std::floor(v) - 0.5);
    if (std::fabs(got - want) == 1.0 && frac <= win) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "got " << got << ", want " << want << " (y 2^-sf = " << v << ")";
}

// ---- Cases from the reference file -------------------------------------------

struct RefCase {
    std::string key;
    FilterSpec spec;
    std::vector<double> y, zf;  // parts interleaved
};

std::vector<cd> pairs(const std::vector<double>& v) {
    std::vector<cd> out(v.size() / 2);
    for (size_t i = 0; i < out.size(); ++i) out[i] = cd(v[2 * i], v[2 * i + 1]);
    return out;
}

// Direct orders 0-5, 7, 8; cascades of 1-6 sections with their natural count
// field, and one section with the field at 0 (and, where `order` bounds the
// cascade, at 1 and two sections at 3).
std::vector<RefCase> refCases(const RefArrays& ref, const KernelRow& r) {
    const std::string prefix = std::string(r.f64 ? "f64_" : "f32_") + (r.complex ? "cplx_" : "real_");
    std::vector<RefCase> out;
    auto add = [&](const std::string& name, int size, int count) {
        RefCase c;
        c.key = prefix + name;
        c.spec.biquad = r.biquad;
        c.spec.size = size;
        c.spec.count = count;
        c.spec.coefs = pairs(ref.at(c.key + "_b"));
        c.spec.zi = pairs(ref.at(c.key + "_zi"));
        const std::vector<double>& y = ref.at(c.key + "_y");
        const std::vector<double>& zf = ref.at(c.key + "_zf");
        for (size_t i = 0; i < y.size(); i += 2) {
            c.y.push_back(y[i]);
            if (r.complex) c.y.push_back(y[i + 1]);
        }
        for (size_t i = 0; i < zf.size(); i += 2) {
            c.zf.push_back(zf[i]);
            if (r.complex) c.zf.push_back(zf[i + 1]);
        }
        out.push_back(c);
    };
    if (!r.biquad) {
        for (int n : {0, 1, 2, 3, 4, 5, 7, 8}) add("direct" + std::to_string(n), n, -1);
        return out;
    }
    for (int s = 1; s <= 6; ++s) add("biquad" + std::to_string(s), s, -1);
    add("biquad1", 1, 0);
    FilterSpec probe;
    probe.biquad = true;
    probe.size = 1;
    if (readsOrder(r, probe)) {
        add("biquad1", 1, 1);
        add("biquad2", 2, 3);
    }
    return out;
}

std::vector<double> refInput(const RefArrays& ref, const KernelRow& r) {
    if (r.complex) return ref.at("xc");
    return ref.at("xr");
}

// Checks one run against the reference; returns the largest error of the
// arithmetic-type values relative to max|y|.
double checkRun(const KernelRow& r, const RefCase& c, const KernelRun& run, const IirOneState& s, int sf) {
    double maxY = 0.0;
    for (double v : c.y) maxY = std::fmax(maxY, std::fabs(v));
    for (double v : c.zf) maxY = std::fmax(maxY, std::fabs(v));
    const Tolerance tol = tolerance(r, maxY);
    const double scale = std::ldexp(1.0, -sf);
    double worst = 0.0;
    for (size_t i = 0; i < c.y.size(); ++i) {
        const double got = run.y[i], want = c.y[i];
        if (isInteger(r)) {
            EXPECT_TRUE(integerOutputOk(got, want * scale, r.smp, tol.halfWin)) << c.key << " output part " << i;
        } else {
            const double bound = r.f64 && r.smp == Smp::F32 ? floatUlp(want) + tol.arith : tol.arith;
            EXPECT_LE(std::fabs(got - want), bound) << c.key << " output part " << i;
            if (r.smp == Smp::F64 || !r.f64) worst = std::fmax(worst, std::fabs(got - want) / maxY);
        }
        if (r.raw) {
            EXPECT_LE(std::fabs(run.raw[i] - want), tol.arith) << c.key << " raw part " << i;
            worst = std::fmax(worst, std::fabs(run.raw[i] - want) / maxY);
        }
    }
    // The delay line: the state, then the guard (0) or the untouched values
    // of the extra section, then the extra element (NaN).
    const size_t used = s.usedDelayValues();
    const size_t stateValues = c.spec.biquad ? used : used - static_cast<size_t>(parts(r));
    for (size_t i = 0; i < stateValues; ++i) {
        EXPECT_LE(std::fabs(run.delay[i] - c.zf[i]), tol.arith) << c.key << " delay value " << i;
        worst = std::fmax(worst, std::fabs(run.delay[i] - c.zf[i]) / maxY);
    }
    for (size_t i = stateValues; i < used; ++i) EXPECT_EQ(run.delay[i], 0.0) << c.key << " guard";
    for (size_t i = used; i < run.delay.size(); ++i) EXPECT_TRUE(std::isnan(run.delay[i])) << c.key << " past the end";
    return worst;
}

// Every kernel, every build, against lfilter/sosfilt; the builds give the
// same bits.
TEST(IirOneKernelsCpu, MatchScipyAndAgreeAcrossBuilds) {
    SP_REQUIRE_SCIPY("iir_one_cases.py");
    const RefArrays ref = readRefArrays("iir_one_cases.bin");
    ASSERT_FALSE(ref.empty());
    double worstF32 = 0.0, worstF64 = 0.0;
    for (const KernelRow& r : kRows) {
        SCOPED_TRACE(r.name);
        const std::vector<double> x = refInput(ref, r);
        const int sf = isInteger(r) ? 1 : 0;
        for (const RefCase& c : refCases(ref, r)) {
            SCOPED_TRACE(c.key + " count field " + std::to_string(c.spec.count));
            std::vector<std::vector<uint8_t>> bits;
            forEachFilterBuild([&](int, const SpFilterKernels& k) {
                IirOneState s(r, c.spec);
                const KernelRun run = runKernel(r, k, s, x, sf);
                const double e = checkRun(r, c, run, s, sf);
                (r.f64 ? worstF64 : worstF32) = std::fmax(r.f64 ? worstF64 : worstF32, e);
                bits.push_back(run.bits);
            });
            for (size_t b = 1; b < bits.size(); ++b) EXPECT_EQ(bits[b], bits[0]) << c.key << ": build " << b + 1;
        }
    }
    std::printf("[ note     ] largest error / max|y|: float arithmetic %.3g, double arithmetic %.3g\n", worstF32,
                worstF64);
}

// ---- Rounding, scaling and saturation ----------------------------------------

// A gain: direct form of order 0 (y = g x) or one section {g, 0, 0, 0, 0};
// complex kernels see x = (v, v).
FilterSpec gainFilter(const KernelRow& r, double g) {
    FilterSpec f;
    f.biquad = r.biquad;
    if (r.biquad) {
        f.size = 1;
        f.coefs = {g, 0.0, 0.0, 0.0, 0.0};
        f.zi = {0.0, 0.0};
    } else {
        f.coefs = {g, 1.0};
    }
    return f;
}

struct RoundCase {
    double g, x;
    int sf;
    double want16, want32;  // NaN: x not a sample of that width
};

TEST(IirOneKernelsCpu, IntegerOutputsRoundToEvenScaleAndSaturate) {
    const double none = std::numeric_limits<double>::quiet_NaN();
    const RoundCase cases[] = {
        {0.5, 5, 0, 2, 2},                          // 2.5
        {0.5, 7, 0, 4, 4},                          // 3.5
        {0.5, -5, 0, -2, -2},                       // -2.5
        {1.0, 5, -3, 40, 40},                       // times 8
        {1.0, 20, 3, 2, 2},                         // 2.5 after dividing by 8
        {1.0, 28, 3, 4, 4},                         // 3.5
        {1.0, -20, 3, -2, -2},
        {1.0, 32767, -1, 32767, 65534},
        {1.5, -32768, 0, -32768, -49152},
        {1.0, 2147483647.0, -1, none, 2147483647.0},
        {1.0, -2147483648.0, -1, none, -2147483648.0},
        {std::numeric_limits<double>::quiet_NaN(), 3, 0, 0, 0},
    };
    for (const KernelRow& r : kRows) {
        if (!isInteger(r)) continue;
        SCOPED_TRACE(r.name);
        for (const RoundCase& c : cases) {
            const double want = r.smp == Smp::I16 ? c.want16 : c.want32;
            if (std::isnan(want)) continue;
            SCOPED_TRACE("g " + std::to_string(c.g) + " x " + std::to_string(c.x) + " sf " + std::to_string(c.sf));
            const std::vector<double> x(static_cast<size_t>(parts(r)), c.x);
            forEachFilterBuild([&](int, const SpFilterKernels& k) {
                IirOneState s(r, gainFilter(r, c.g));
                const KernelRun run = runKernel(r, k, s, x, c.sf);
                for (int p = 0; p < parts(r); ++p) {
                    EXPECT_EQ(run.y[p], want) << "part " << p;
                    // The raw value is the unscaled y, even where the
                    // integer saturates.
                    if (!r.raw) continue;
                    if (std::isnan(c.g)) {
                        EXPECT_TRUE(std::isnan(run.raw[p])) << "raw part " << p;
                    } else {
                        EXPECT_EQ(run.raw[p], c.g * c.x) << "raw part " << p;
                    }
                }
            });
        }
    }
}

}  // namespace
}  // namespace sptest
