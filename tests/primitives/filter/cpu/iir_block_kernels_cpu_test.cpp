// IIR block kernels of the CPU builds for 16-bit real, complex float and
// complex 16-bit samples, on tables from the test-side builder
// (iir_test_tables.h) for random stable filters.
//
// Bounds (u = 2^-24, gamma(k) = k u / (1 - k u)), per output and per real or
// imaginary part, against double-precision arithmetic on the stored float
// coefficients and inputs:
//   feed-forward values: gamma(m) * sum |terms|, m the number of real
//   products (N + 1 real, 2N + 2 complex);
//   feedback outputs: the step's look-ahead sum (or the one-output
//   recursion) evaluated in double from the kernel's own earlier outputs,
//   within gamma(m) * sum |terms|, m the number of real products the
//   output's lane adds (N + 4 real, 2N + 8 complex);
//   whole runs: within 1e-5 * (max |y| + 1) of the double recursion;
//   16-bit outputs: exactly rint(clip(y 2^-sf)) of the kernel's own float
//   output, and of the double recursion except +-1 within 1e-3 of a
//   half-integer.
// Every case runs in each build, which must agree bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include "tests/primitives/filter/cpu/filter_kernels.h"
#include "tests/primitives/filter/cpu/iir_test_tables.h"
#include "tests/primitives/support/sp_buffer.h"

namespace sptest {
namespace {

using Cd = std::complex<double>;

double gamma(int k) {
    const double u = std::ldexp(1.0, -24);
    return k * u / (1.0 - k * u);
}

const int64_t kLengths[] = {0, 1, 3, 4, 5, 7, 8, 15, 16, 17, 100};
constexpr uint16_t kUntouched = 0x5A5A;

// ---- Filters and their tables ------------------------------------------------

// Monic polynomial with the given roots, highest power first (a0 = 1).
std::vector<Cd> polyFromRoots(const std::vector<Cd>& roots) {
    std::vector<Cd> p{1.0};
    for (const Cd& r : roots) {
        p.push_back(0.0);
        for (size_t k = p.size() - 1; k > 0; --k) p[k] -= r * p[k - 1];
    }
    return p;
}

// Poles of radius 0.3..0.7 (conjugate pairs and a real pole when `real`).
std::vector<Cd> randomPoles(int N, bool real, std::mt19937& rng) {
    std::uniform_real_distribution<double> radius(0.3, 0.7), angle(0.0, 3.14159);
    std::vector<Cd> roots;
    while (static_cast<int>(roots.size()) < N) {
        const Cd z = std::polar(radius(rng), angle(rng));
        if (!real) {
            roots.push_back(z);
        } else if (N - static_cast<int>(roots.size()) >= 2) {
            roots.push_back(z);
            roots.push_back(std::conj(z));
        } else {
            roots.push_back(z.real());
        }
    }
    return roots;
}

RealIirTables randomRealTables(int N, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> d(-1.0, 1.0);
    const std::vector<Cd> ac = polyFromRoots(randomPoles(N, true, rng));
    const double a0 = 0.5 + std::abs(d(rng));
    std::vector<double> a, b;
    for (int k = 0; k <= N; ++k) {
        a.push_back(ac[k].real() * a0);
        b.push_back(d(rng));
    }
    return buildRealIirTables(b, a);
}

ComplexIirTables randomComplexTables(int N, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> d(-1.0, 1.0);
    const std::vector<Cd> a = polyFromRoots(randomPoles(N, false, rng));
    const Cd a0(0.5 + std::abs(d(rng)), d(rng));
    std::vector<Cd> an, b;
    for (int k = 0; k <= N; ++k) {
        an.push_back(a[k] * a0);
        b.push_back(Cd(d(rng), d(rng)));
    }
    return buildComplexIirTables(b, an);
}

// ---- Kernel kinds ----------------------------------------------------------

enum class Kind { kRealI16, kBiquadI16, kComplexF32, kComplexI16 };

struct KindInfo {
    Kind kind;
    const char* name;
    bool complex;
    size_t inBytes;    // bytes per input sample
    int minFeedback;   // lowest order of the feedback kernel
    int maxOrder;      // highest order tested, both kernels
    bool keepsEveryOutput(int N) const {  // every float output reaches the history array
        return kind == Kind::kRealI16 || kind == Kind::kComplexF32 || (kind == Kind::kComplexI16 && N >= 3);
    }
    bool outputs16() const { return kind != Kind::kComplexF32; }
    int floats() const { return complex ? 2 : 1; }
};

const KindInfo kKinds[] = {
    {Kind::kRealI16, "real 16-bit", false, 2, 1, 6},
    {Kind::kBiquadI16, "biquad 16-bit", false, 2, 2, 2},
    {Kind::kComplexF32, "complex float", true, 8, 1, 4},
    {Kind::kComplexI16, "complex 16-bit", true, 4, 1, 4},
};

int minFeedforward(const KindInfo& info) { return info.kind == Kind::kBiquadI16 ? 2 : 0; }

void feedforward(const SpFilterKernels& k, Kind kind, const void* src, float* values, int64_t len, const float* ff,
                 int N) {
    switch (kind) {
        case Kind::kRealI16: k.spIirBlockFeedforwardI16(static_cast<const int16_t*>(src), values, len, ff, N); break;
        case Kind::kBiquadI16: k.spIirBiquadBlockFeedforwardI16(static_cast<const int16_t*>(src), values, len, ff); break;
        case Kind::kComplexF32: k.spIirBlockFeedforwardComplexF32(static_cast<const float*>(src), values, len, ff, N); break;
        case Kind::kComplexI16: k.spIirBlockFeedforwardComplexI16(static_cast<const int16_t*>(src), values, len, ff, N); break;
    }
}

void feedback(const SpFilterKernels& k, Kind kind, const float* values, float* hist, int64_t len, const float* fb,
              int N, int16_t* out, int sf) {
    switch (kind) {
        case Kind::kRealI16: k.spIirBlockFeedbackI16Scaled(values, hist, len, fb, N, out, sf); break;
        case Kind::kBiquadI16: k.spIirBiquadBlockFeedbackI16Scaled(values, hist, len, fb, out, sf); break;
        case Kind::kComplexF32: k.spIirBlockFeedbackComplexF32(values, hist, len, fb, N); break;
        case Kind::kComplexI16: k.spIirBlockFeedbackComplexI16Scaled(values, hist, len, fb, N, out, sf); break;
    }
}

// Tables of one kind and order as raw floats, with the stored coefficients
// as complex numbers (imaginary parts 0 for the real kinds).
struct Tables {
    std::vector<float> ff, fb;
    std::vector<Cd> b, c;
};

Tables randomTables(const KindInfo& info, int N, uint32_t seed) {
    Tables t;
    if (info.complex) {
        ComplexIirTables ct = randomComplexTables(N, seed);
        t.ff = ct.ff;
        t.fb = ct.fb;
        t.b = ct.b;
        t.c = ct.c;
    } else {
        RealIirTables rt = randomRealTables(N, seed);
        t.ff = rt.ff;
        t.fb = rt.fb;
        t.b.assign(rt.b.begin(), rt.b.end());
        t.c.assign(rt.c.begin(), rt.c.end());
    }
    return t;
}

// Random input samples as bytes: int16 over the full range (the ends
// included) or floats in -1..1.
std::vector<uint8_t> randomInput(const KindInfo& info, int64_t samples, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> bytes(static_cast<size_t>(samples) * info.inBytes);
    if (info.kind == Kind::kComplexF32) {
        std::uniform_real_distribution<float> d(-1.0f, 1.0f);
        for (size_t i = 0; i < bytes.size(); i += 4) {
            const float v = d(rng);
            std::memcpy(&bytes[i], &v, 4);
        }
    } else {
        std::uniform_int_distribution<int> d(-32768, 32767);
        for (size_t i = 0; i < bytes.size(); i += 2) {
            int16_t v = static_cast<int16_t>(d(rng));
            if (i % 14 == 0) v = (i / 14) % 2 ? -32768 : 32767;
            std::memcpy(&bytes[i], &v, 2);
        }
    }
    return bytes;
}

// Input sample i as a complex number.
Cd inputAt(const KindInfo& info, const std::vector<uint8_t>& bytes, int64_t i) {
    if (info.kind == Kind::kComplexF32) {
        float v[2];
        std::memcpy(v, &bytes[8 * i], 8);
        return Cd(v[0], v[1]);
    }
    int16_t v[2] = {0, 0};
    std::memcpy(v, &bytes[info.inBytes * i], info.inBytes);
    return Cd(v[0], info.complex ? v[1] : 0);
}

Cd valueAt(const KindInfo& info, const float* v, int64_t i) {
    return info.complex ? Cd(v[2 * i], v[2 * i + 1]) : Cd(v[i], 0.0);
}

// |re| + |im|, for bounds: |z w| parts are at most l1(z) l1(w).
double l1(const Cd& z) { return std::fabs(z.real()) + std::fabs(z.imag()); }

// Runs fn in each build and expects the same bytes from every build.
void acrossBuilds(const std::function<std::vector<uint8_t>(const SpFilterKernels&)>& fn) {
    std::vector<std::vector<uint8_t>> results;
    forEachFilterBuild([&](int, const SpFilterKernels& k) { results.push_back(fn(k)); });
    for (size_t i = 1; i < results.size(); ++i) EXPECT_TRUE(results[i] == results[0]) << "build " << i + 1 << " differs from build 1";
}

template <typename T>
void appendBytes(std::vector<uint8_t>& out, const std::vector<T>& v) {
    const size_t at = out.size();
    out.resize(at + v.size() * sizeof(T));
    if (!v.empty()) std::memcpy(&out[at], v.data(), v.size() * sizeof(T));
}

// ---- Feed-forward ------------------------------------------------------------

TEST(IirBlockFeedforwardKernels, EveryOrderLengthAndInputOffsetWithinBound) {
    for (const KindInfo& info : kKinds) {
        for (int N = minFeedforward(info); N <= info.maxOrder; ++N) {
            const Tables t = randomTables(info, N, 40 + N);
            SpBuffer<float> ff(t.ff, 0);
            for (int64_t len : kLengths) {
                const std::vector<uint8_t> input = randomInput(info, len + N, 7 * N + static_cast<uint32_t>(len));
                // Every offset of the element type within 16 bytes.
                const size_t step = info.kind == Kind::kComplexF32 ? 4 : 2;
                for (size_t off = 0; off < 16; off += step) {
                    SCOPED_TRACE(::testing::Message() << info.name << " order " << N << " len " << len << " src+" << off);
                    acrossBuilds([&](const SpFilterKernels& k) {
                        SpBuffer<uint8_t> src(input, off);
                        SpBuffer<float> values(static_cast<size_t>(len) * info.floats());
                        feedforward(k, info.kind, src.data(), values.data(), len, ff.data(), N);
                        EXPECT_TRUE(values.checkCanaries());
                        EXPECT_TRUE(src.checkCanaries());
                        const std::vector<float> v = values.values();
                        for (int64_t i = 0; i < len; ++i) {
                            Cd want = 0.0;
                            double mag = 0.0;
                            for (int kk = 0; kk <= N; ++kk) {
                                const Cd x = inputAt(info, input, i + N - kk);
                                want += t.b[kk] * x;
                                mag += l1(t.b[kk]) * l1(x);
                            }
                            const Cd got = valueAt(info, v.data(), i);
                            const double bound = gamma(info.complex ? 2 * N + 2 : N + 1) * mag;
                            EXPECT_LE(std::abs(got.real() - want.real()), bound) << "value " << i;
                            EXPECT_LE(std::abs(got.imag() - want.imag()), bound) << "value " << i;
                        }
                        std::vector<uint8_t> bytes;
                        appendBytes(bytes, v);
                        return bytes;
                    });
                    if (::testing::Test::HasFailure()) return;
                }
            }
        }
    }
}

// Order 0 is one product per value: b'0 x exactly as float arithmetic
// gives it, -32768 and 32767 converted exactly.
TEST(IirBlockFeedforwardKernels, OrderZeroIsOneProductAndConvertsTheInt16EndsExactly) {
    const std::vector<int16_t> x = {-32768, 32767, -1, 0, 1, 12345, -32768, 32767, 2, -3, 4, -5, 6, -7, 8, -9, 10};
    const float b0 = 0.7f;
    SpBuffer<float> ff(std::vector<float>(4, b0), 0);
    forEachFilterBuild([&](int, const SpFilterKernels& k) {
        for (size_t len = 0; len <= x.size(); ++len) {
            SpBuffer<float> values(len);
            k.spIirBlockFeedforwardI16(x.data(), values.data(), static_cast<int64_t>(len), ff.data(), 0);
            EXPECT_TRUE(values.checkCanaries());
            for (size_t i = 0; i < len; ++i) EXPECT_EQ(values.get(i), b0 * static_cast<float>(x[i])) << "len " << len << " value " << i;
        }
    });
}

// ---- Feedback ----------------------------------------------------------------

// Look-ahead weight of output p+q on the history output y[p-1-j] (j < N)
// and of the value w[p+t] (t <= q), as the tables store them.
struct StepWeights {
    const KindInfo& info;
    const std::vector<float>& fb;
    int N;
    Cd realRow(int row, int q) const { return fb[4 * row + q]; }
    // Complex: lanes of g_q in block `block` (q 0-1 in RA, 2-3 in RB).
    Cd complexWeight(int block, int q) const {
        const size_t at = 16 * block + (q < 2 ? 0 : 8) + 2 * (q % 2);
        return Cd(fb[at], fb[at + 1]);
    }
    Cd history(int j, int q) const { return info.complex ? complexWeight(j, q) : realRow(j, q); }
    Cd value(int t, int q) const {
        if (t == q) return 1.0;
        if (t > q) return 0.0;
        if (!info.complex) return realRow(N + t, q);
        // w[p+t] on y[p+q]: G(q-t-1)(1), held in block N (t = 0, 2) or block 0 (t = 1).
        if (t == 0) return complexWeight(N, q);
        if (t == 1) return complexWeight(0, q - 2);
        return complexWeight(N, 1);
    }
};

struct FeedbackCase {
    const KindInfo& info;
    int N;
    int64_t len;
    int sf;
};

// The arrays of one feedback call, laid out at the given offsets.
struct FeedbackArrays {
    SpBuffer<float> values;
    SpBuffer<float> hist;
    SpBuffer<int16_t> out;
    FeedbackArrays(const FeedbackCase& c, size_t valueOff, size_t histOff, size_t outOff)
        : values(static_cast<size_t>(c.len) * c.info.floats(), valueOff),
          hist(static_cast<size_t>(c.N + c.len) * c.info.floats(), histOff),
          out(static_cast<size_t>(c.N + c.len) * c.info.floats(), outOff) {}
};

// 16-bit output of a scaled value by rint and saturation.
int16_t expected16(double v) {
    if (std::isnan(v)) return 0;
    const double r = std::nearbyint(std::fmin(std::fmax(v, -32768.0), 32767.0));
    return static_cast<int16_t>(r);
}

void checkFeedback(const FeedbackCase& c, const Tables& t, const std::vector<float>& w,
                   const std::vector<float>& hist0, const std::vector<float>& hist, const std::vector<int16_t>& out) {
    const KindInfo& info = c.info;
    const int N = c.N, F = info.floats();
    auto at = [&](const std::vector<float>& v, int64_t i) { return valueAt(info, v.data(), i); };
    // Untouched prefixes.
    for (int i = 0; i < N * F; ++i) {
        EXPECT_EQ(hist[i], hist0[i]) << "history entry " << i << " changed";
        if (info.outputs16()) {
            EXPECT_EQ(static_cast<uint16_t>(out[i]), kUntouched) << "16-bit entry " << i << " written";
        }
    }
    // The double recursion from the same history.
    std::vector<Cd> y(N + c.len);
    double maxY = 0.0;
    for (int i = 0; i < N; ++i) y[i] = at(hist0, i);
    for (int64_t n = 0; n < c.len; ++n) {
        Cd s = at(w, n);
        for (int m = 1; m <= N; ++m) s += t.c[m] * y[N + n - m];
        y[N + n] = s;
        maxY = std::fmax(maxY, std::abs(s));
    }
    const double runBound = 1e-5 * (maxY + 1.0);
    const int64_t whole = c.len & ~int64_t{3};
    const StepWeights sw{info, t.fb, N};
    const double scale = std::ldexp(1.0, -c.sf);
    for (int64_t n = 0; n < c.len; ++n) {
        SCOPED_TRACE(::testing::Message() << "output " << n);
        // Outputs in the history array: all or, where the steps keep them in
        // registers, the initial history, the last step's four (biquad) or
        // two (complex) outputs and the single outputs.
        const int lastStepKept = info.complex ? 2 : 4;
        auto kept = [&](int64_t i) { return i < 0 || info.keepsEveryOutput(N) || i >= whole - lastStepKept; };
        const Cd got = at(hist, N + n);
        if (kept(n)) {
            EXPECT_LE(std::abs(got - y[N + n]), runBound);
        }
        const int64_t firstUsed = (n < whole ? (n & ~int64_t{3}) : n) - N;
        if (kept(n) && kept(firstUsed)) {
            // The same output from the kernel's own earlier outputs.
            Cd ref = 0.0;
            double mag = 0.0;
            if (n < whole) {
                const int64_t p = n & ~int64_t{3};
                const int q = static_cast<int>(n - p);
                for (int j = 0; j < N; ++j) {
                    const Cd term = sw.history(j, q) * at(hist, N + p - 1 - j);
                    ref += term;
                    mag += l1(sw.history(j, q)) * l1(at(hist, N + p - 1 - j));
                }
                for (int tt = 0; tt <= q; ++tt) {
                    ref += sw.value(tt, q) * at(w, p + tt);
                    mag += l1(sw.value(tt, q)) * l1(at(w, p + tt));
                }
            } else {
                ref = at(w, n);
                mag = l1(ref);
                for (int m = 1; m <= N; ++m) {
                    ref += t.c[m] * at(hist, N + n - m);
                    mag += l1(t.c[m]) * l1(at(hist, N + n - m));
                }
            }
            const double bound = gamma(info.complex ? 2 * N + 8 : N + 4) * mag;
            EXPECT_LE(std::abs(got.real() - ref.real()), bound);
            EXPECT_LE(std::abs(got.imag() - ref.imag()), bound);
        }
        if (!info.outputs16()) continue;
        for (int part = 0; part < F; ++part) {
            const int16_t o = out[F * (N + n) + part];
            const double exact = (part ? y[N + n].imag() : y[N + n].real()) * scale;
            if (kept(n)) {
                EXPECT_EQ(o, expected16((part ? got.imag() : got.real()) * scale)) << "part " << part;
            }
            const double frac = std::fabs(exact - std::floor(exact) - 0.5);
            if (frac > 1e-3 || std::fabs(exact) > 32767.0) {
                EXPECT_EQ(o, expected16(exact)) << "part " << part << " exact " << exact;
            } else {
                EXPECT_LE(std::abs(o - expected16(exact)), 1) << "part " << part << " exact " << exact;
            }
        }
    }
    // The array ends with the last N outputs (also after a whole step).
    for (int64_t n = c.len > N ? c.len - N : 0; n < c.len; ++n)
        EXPECT_LE(std::abs(at(hist, N + n) - y[N + n]), runBound) << "history tail, output " << n;
}

TEST(IirBlockFeedbackKernels, EveryOrderLengthAndOffsetMatchesTheRecursion) {
    for (const KindInfo& info : kKinds) {
        for (int N = info.minFeedback; N <= info.maxOrder; ++N) {
            const Tables t = randomTables(info, N, 90 + N);
            SpBuffer<float> fb(t.fb, 0);
            for (int64_t len : kLengths) {
                const FeedbackCase c{info, N, len, -8};
                std::mt19937 rng(1000 * N + static_cast<uint32_t>(len));
                std::uniform_real_distribution<float> d(-1.0f, 1.0f);
                std::vector<float> w(static_cast<size_t>(len) * info.floats()), hist0(N * info.floats());
                for (float& f : w) f = d(rng);
                for (float& f : hist0) f = d(rng);
                // Offsets of the element types; order-1 complex kernels read
                // their values in 8-byte pieces, so 8 is allowed there.
                for (size_t o = 0; o < 8; ++o) {
                    const size_t valueOff = info.complex && N == 1 ? 8 * (o % 2) : 0;
                    SCOPED_TRACE(::testing::Message() << info.name << " order " << N << " len " << len << " values+"
                                                      << valueOff << " history+" << 4 * (o % 4) << " out+" << 2 * o);
                    acrossBuilds([&](const SpFilterKernels& k) {
                        FeedbackArrays a(c, valueOff, 4 * (o % 4), 2 * o);
                        a.values.assign(w);
                        a.hist.assign(hist0);
                        a.out.fillBytes(0x5A);
                        feedback(k, info.kind, a.values.data(), a.hist.data(), len, fb.data(), N, a.out.data(), c.sf);
                        EXPECT_TRUE(a.values.checkCanaries());
                        EXPECT_TRUE(a.hist.checkCanaries());
                        EXPECT_TRUE(a.out.checkCanaries());
                        const std::vector<float> hist = a.hist.values();
                        const std::vector<int16_t> out = a.out.values();
                        checkFeedback(c, t, w, hist0, hist, out);
                        std::vector<uint8_t> bytes;
                        appendBytes(bytes, hist);
                        appendBytes(bytes, out);
                        return bytes;
                    });
                    if (::testing::Test::HasFailure()) return;
                }
            }
        }
    }
}

// Feed-forward then feedback over one signal in two calls (the second
// starting from the first's history tail) follows the double-precision
// filter of the stored coefficients.
TEST(IirBlockKernels, TwoCallsChainThroughTheHistoryTail) {
    for (const KindInfo& info : kKinds) {
        const int N = info.kind == Kind::kBiquadI16 ? 2 : 3;
        const Tables t = randomTables(info, N, 7);
        SpBuffer<float> ff(t.ff, 0), fb(t.fb, 0);
        const int64_t lens[2] = {17, 16};
        const std::vector<uint8_t> input = randomInput(info, lens[0] + lens[1] + N, 5);
        const int F = info.floats();
        forEachFilterBuild([&](int, const SpFilterKernels& k) {
            SCOPED_TRACE(info.name);
            std::vector<float> carry(N * F, 0.0f), all;
            int64_t start = 0;
            for (int64_t len : lens) {
                std::vector<uint8_t> piece(input.begin() + start * info.inBytes,
                                           input.begin() + (start + len + N) * info.inBytes);
                SpBuffer<uint8_t> src(piece, 2);
                SpBuffer<float> values(len * F), hist((N + len) * F, 4);
                SpBuffer<int16_t> out((N + len) * F, 6);
                hist.assign(carry);
                feedforward(k, info.kind, src.data(), values.data(), len, ff.data(), N);
                feedback(k, info.kind, values.data(), hist.data(), len, fb.data(), N, out.data(), 0);
                const std::vector<float> h = hist.values();
                for (int64_t i = 0; i < len * F; ++i) all.push_back(h[N * F + i]);
                carry.assign(h.end() - N * F, h.end());
                start += len;
            }
            // Reference: zero history before the first output.
            std::vector<Cd> y(N, 0.0);
            double maxY = 0.0;
            for (int64_t n = 0; n < lens[0] + lens[1]; ++n) {
                Cd s = 0.0;
                for (int kk = 0; kk <= N; ++kk) s += t.b[kk] * inputAt(info, input, n + N - kk);
                for (int m = 1; m <= N; ++m) s += t.c[m] * y[N + n - m];
                y.push_back(s);
                maxY = std::fmax(maxY, std::abs(s));
            }
            // Only the history tails are certain for the kernels that keep
            // their outputs in registers: the last N of each call.
            int64_t end = 0;
            for (int64_t len : lens) {
                end += len;
                for (int64_t n = end - N; n < end; ++n) {
                    const Cd got = valueAt(info, all.data(), n);
                    EXPECT_LE(std::abs(got - y[N + n]), 1e-5 * (maxY + 1.0)) << "output " << n;
                }
            }
        });
    }
}

// 16-bit outputs of the scaled kernels with a zero feedback table (y = w):
// the rounding, saturation and scale-factor cases, in the whole-step and
// the single-output path (len 5), every part of complex outputs.
TEST(IirBlockFeedbackKernels, SixteenBitOutputsRoundSaturateAndScale) {
    struct Case {
        float value;
        int sf;
        int16_t want;
    };
    const float big = std::ldexp(1.0f, 40);
    const Case cases[] = {
        {5.0f, 1, 2},        {7.0f, 1, 4},          {-5.0f, 1, -2},      {1.0f, -15, 32767},
        {-1.0f, -15, -32768}, {3.0f, -1, 6},        {big, 0, 32767},     {-big, 0, -32768},
        {32767.5f, 0, 32767}, {-32768.5f, 0, -32768}, {-2.5f, 0, -2},    {std::ldexp(3.0f, 126), 126, 3},
        {std::ldexp(1.0f, -126), -127, 2}, {std::numeric_limits<float>::quiet_NaN(), 0, 0},
    };
    struct Target {
        Kind kind;
        int N;
    };
    const Target targets[] = {{Kind::kRealI16, 1}, {Kind::kRealI16, 5}, {Kind::kBiquadI16, 2}, {Kind::kComplexI16, 1},
                              {Kind::kComplexI16, 3}};
    for (const Target& tg : targets) {
        const KindInfo& info = kKinds[static_cast<int>(tg.kind)];
        // All c_k = 0: look-ahead rows zero, value rows the identity.
        std::vector<double> a(tg.N + 1, 0.0), b(tg.N + 1, 1.0);
        a[0] = 1.0;
        SpBuffer<float> fb(info.complex ? buildComplexIirTables({b.begin(), b.end()}, {a.begin(), a.end()}).fb
                                        : buildRealIirTables(b, a).fb,
                           0);
        const int F = info.floats();
        for (const Case& c : cases) {
            SCOPED_TRACE(::testing::Message() << info.name << " order " << tg.N << " value " << c.value << " sf " << c.sf);
            forEachFilterBuild([&](int, const SpFilterKernels& k) {
                const int64_t len = 5;
                SpBuffer<float> values(std::vector<float>(len * F, c.value), 0);
                SpBuffer<float> hist(std::vector<float>((tg.N + len) * F, 0.0f), 4);
                SpBuffer<int16_t> out((tg.N + len) * F, 2);
                out.fillBytes(0x5A);
                feedback(k, info.kind, values.data(), hist.data(), len, fb.data(), tg.N, out.data(), c.sf);
                EXPECT_TRUE(out.checkCanaries());
                for (int i = 0; i < tg.N * F; ++i) EXPECT_EQ(static_cast<uint16_t>(out.get(i)), kUntouched);
                for (int64_t i = tg.N * F; i < (tg.N + len) * F; ++i) EXPECT_EQ(out.get(i), c.want) << "entry " << i;
            });
        }
    }
}

// c1 = i on an empty history turns the impulse into i^n: 1, i, -1, -i, ...
// exactly, through the whole steps and the single outputs.
TEST(IirBlockFeedbackKernels, ComplexOrderOneWithImaginaryUnitRotatesTheImpulse) {
    const ComplexIirTables t = buildComplexIirTables({1.0, 0.0}, {1.0, Cd(0.0, -1.0)});
    SpBuffer<float> fb(t.fb, 0);
    const float powers[4][2] = {{1, 0}, {0, 1}, {-1, 0}, {0, -1}};
    forEachFilterBuild([&](int, const SpFilterKernels& k) {
        for (int64_t len = 1; len <= 9; ++len) {
            std::vector<float> w(2 * len, 0.0f);
            w[0] = 1.0f;
            SpBuffer<float> values(w, 0), y(2 + 2 * len), h(2 + 2 * len, 4);
            SpBuffer<int16_t> out(2 + 2 * len, 2);
            y.set(0, 0.0f);
            y.set(1, 0.0f);
            h.set(0, 0.0f);
            h.set(1, 0.0f);
            k.spIirBlockFeedbackComplexF32(values.data(), y.data(), len, fb.data(), 1);
            k.spIirBlockFeedbackComplexI16Scaled(values.data(), h.data(), len, fb.data(), 1, out.data(), 0);
            for (int64_t n = 0; n < len; ++n) {
                const float* p = powers[n % 4];
                EXPECT_EQ(y.get(2 + 2 * n), p[0]) << "len " << len << " output " << n;
                EXPECT_EQ(y.get(3 + 2 * n), p[1]) << "len " << len << " output " << n;
                EXPECT_EQ(out.get(2 + 2 * n), static_cast<int16_t>(p[0])) << "len " << len << " output " << n;
                EXPECT_EQ(out.get(3 + 2 * n), static_cast<int16_t>(p[1])) << "len " << len << " output " << n;
            }
            EXPECT_EQ(h.get(2 * len), powers[(len - 1) % 4][0]) << "history tail, len " << len;
            EXPECT_EQ(h.get(2 * len + 1), powers[(len - 1) % 4][1]) << "history tail, len " << len;
        }
    });
}

// ---- Memory bounds -------------------------------------------------------------

// An area of `bytes` bytes starting `offset` bytes past a 16-byte boundary,
// followed by up to 15 marker bytes and then a PROT_NONE page: a read past
// the end faults, a write past it faults or changes a marker.
struct GuardedAt {
    static size_t pad(size_t bytes, size_t offset) { return (32 - (bytes + offset) % 16) % 16; }
    GuardedRegion region;
    uint8_t* start;
    size_t bytes, padBytes;
    GuardedAt(size_t n, size_t offset)
        : region(n + pad(n, offset), GuardedRegion::kGuardAfter), start(region.bytes()), bytes(n),
          padBytes(pad(n, offset)) {
        std::memset(start + bytes, 0xEE, padBytes);
    }
    bool markIntact() const {
        for (size_t i = 0; i < padBytes; ++i)
            if (start[bytes + i] != 0xEE) return false;
        return true;
    }
};

// Every kernel with every array pressed against a guard page, short lengths
// through every step size, inputs and outputs at odd element offsets.
TEST(IirBlockKernels, StayInsideTheirArrays) {
    forEachFilterBuild([&](int, const SpFilterKernels& k) {
        for (const KindInfo& info : kKinds) {
            const int F = info.floats();
            for (int N = minFeedforward(info); N <= info.maxOrder; ++N) {
                const Tables t = randomTables(info, N, 3);
                SpBuffer<float> ff(t.ff, 0), fb(t.fb, 0);
                for (int64_t len = 0; len <= 17; ++len) {
                    SCOPED_TRACE(::testing::Message() << info.name << " order " << N << " len " << len);
                    const size_t inOff = info.kind == Kind::kComplexF32 ? 4 * (len % 4) : 2 * (len % 8);
                    const std::vector<uint8_t> input = randomInput(info, len + N, 11);
                    GuardedAt src(input.size(), inOff), values(4 * F * len, 0);
                    if (!input.empty()) std::memcpy(src.start, input.data(), input.size());
                    feedforward(k, info.kind, src.start, reinterpret_cast<float*>(values.start), len, ff.data(), N);
                    EXPECT_TRUE(values.markIntact());
                    if (N >= info.minFeedback) {
                        GuardedAt hist(4 * F * (N + len), 4 * (len % 4)), out(2 * F * (N + len), 2 * (len % 8));
                        std::memset(hist.start, 0, hist.bytes);
                        feedback(k, info.kind, reinterpret_cast<const float*>(values.start),
                                 reinterpret_cast<float*>(hist.start), len, fb.data(), N,
                                 reinterpret_cast<int16_t*>(out.start), 0);
                        EXPECT_TRUE(hist.markIntact());
                        EXPECT_TRUE(out.markIntact());
                    }
                    if (::testing::Test::HasFailure()) return;
                }
            }
        }
    });
}

// ---- Table builders ------------------------------------------------------------

// Order 1, c1 = 0.5: the weights are powers of 0.5, exactly.
TEST(IirTestTables, RealOrderOneTableIsExact) {
    const RealIirTables t = buildRealIirTables({2.0, 1.0}, {2.0, -1.0});
    const std::vector<float> fb = {0.5f, 0.25f, 0.125f, 0.0625f, 1, 0.5f, 0.25f, 0.125f,
                                   0,    1,     0.5f,   0.25f,   0, 0,    1,     0.5f};
    EXPECT_EQ(t.fb, fb);
    EXPECT_EQ(t.ff, std::vector<float>({1, 1, 1, 1, 0.5f, 0.5f, 0.5f, 0.5f}));
}

// Four steps of the look-ahead weights reproduce four steps of the complex
// recursion (in double, from the builder's weights).
TEST(IirTestTables, ComplexLookAheadReproducesTheRecursion) {
    for (int N = 1; N <= 5; ++N) {
        std::mt19937 rng(N);
        std::uniform_real_distribution<double> d(-1.0, 1.0);
        std::vector<Cd> c(N + 1, 0.0), y(N), w(4);
        for (int k = 1; k <= N; ++k) c[k] = Cd(d(rng), d(rng)) * 0.5;
        for (Cd& v : y) v = Cd(d(rng), d(rng));
        for (Cd& v : w) v = Cd(d(rng), d(rng));
        const auto g = lookAheadWeights(c);
        std::vector<Cd> direct = y;
        for (int n = 0; n < 4; ++n) {
            Cd s = w[n];
            for (int m = 1; m <= N; ++m) s += c[m] * direct[N + n - m];
            direct.push_back(s);
        }
        for (int q = 0; q < 4; ++q) {
            Cd s = w[q];
            for (int j = 0; j < N; ++j) s += g[j][q] * y[N - 1 - j];
            for (int t = 0; t < q; ++t) s += g[0][q - t - 1] * w[t];
            EXPECT_LT(std::abs(s - direct[N + q]), 1e-12) << "order " << N << " output " << q;
        }
    }
}

}  // namespace
}  // namespace sptest
