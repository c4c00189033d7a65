#include "tests/primitives/filter/cpu/iir_test_tables.h"

#include <gtest/gtest.h>

namespace sptest {

template <typename T>
std::vector<std::vector<T>> lookAheadWeights(const std::vector<T>& c) {
    const int N = static_cast<int>(c.size()) - 1;
    auto ck = [&](int k) { return k >= 1 && k <= N ? c[k] : T(0); };
    std::vector<std::vector<T>> g(N + 1, std::vector<T>(4));
    for (int k = 1; k <= N + 1; ++k) {
        std::vector<T>& r = g[k - 1];
        r[0] = ck(k);
        r[1] = ck(1) * r[0] + ck(k + 1);
        r[2] = ck(1) * r[1] + ck(2) * r[0] + ck(k + 2);
        r[3] = ck(1) * r[2] + ck(2) * r[1] + ck(3) * r[0] + ck(k + 3);
    }
    return g;
}
template std::vector<std::vector<double>> lookAheadWeights(const std::vector<double>&);
template std::vector<std::vector<std::complex<double>>> lookAheadWeights(const std::vector<std::complex<double>>&);

namespace {

template <typename T>
bool normalise(const std::vector<T>& b, const std::vector<T>& a, std::vector<T>& bn, std::vector<T>& c) {
    if (b.empty() || a.size() != b.size() || a[0] == T(0)) {
        ADD_FAILURE() << "IIR test tables: b and a need the same non-zero length and a[0] != 0";
        return false;
    }
    const size_t n = b.size();
    bn.resize(n);
    c.assign(n, T(0));
    for (size_t k = 0; k < n; ++k) bn[k] = b[k] / a[0];
    for (size_t k = 1; k < n; ++k) c[k] = -a[k] / a[0];
    return true;
}

}  // namespace

RealIirTables buildRealIirTables(const std::vector<double>& b, const std::vector<double>& a) {
    std::vector<double> bn, c;
    if (!normalise(b, a, bn, c)) return {};
    const int N = static_cast<int>(b.size()) - 1;
    const auto g = lookAheadWeights(c);
    RealIirTables t;
    for (int k = 0; k <= N; ++k)
        for (int l = 0; l < 4; ++l) t.ff.push_back(static_cast<float>(bn[k]));
    for (int j = 0; j < N; ++j)
        for (int l = 0; l < 4; ++l) t.fb.push_back(static_cast<float>(g[j][l]));
    const double tail[3][4] = {{1, g[0][0], g[0][1], g[0][2]}, {0, 1, g[0][0], g[0][1]}, {0, 0, 1, g[0][0]}};
    for (const auto& row : tail)
        for (double v : row) t.fb.push_back(static_cast<float>(v));
    t.b.resize(N + 1);
    t.c.assign(N + 1, 0.0);
    for (int k = 0; k <= N; ++k) t.b[k] = t.ff[4 * k];
    for (int k = 1; k <= N; ++k) t.c[k] = t.fb[4 * (k - 1)];
    return t;
}

ComplexIirTables buildComplexIirTables(const std::vector<std::complex<double>>& b,
                                       const std::vector<std::complex<double>>& a) {
    using C = std::complex<double>;
    std::vector<C> bn, c;
    if (!normalise(b, a, bn, c)) return {};
    const int N = static_cast<int>(b.size()) - 1;
    const auto g = lookAheadWeights(c);
    ComplexIirTables t;
    auto put = [&](double v) { t.fb.push_back(static_cast<float>(v)); };
    for (int k = 0; k <= N; ++k) {
        const float r = static_cast<float>(bn[k].real()), i = static_cast<float>(bn[k].imag());
        for (float v : {r, r, r, r, -i, i, -i, i}) t.ff.push_back(v);
    }
    auto block = [&](const C (&w)[4]) {
        for (int half = 0; half < 2; ++half) {
            const C u = w[2 * half], v = w[2 * half + 1];
            for (double x : {u.real(), u.imag(), v.real(), v.imag()}) put(x);     // R
            for (double x : {-u.imag(), u.real(), -v.imag(), v.real()}) put(x);   // I
        }
    };
    for (int j = 0; j < N; ++j) {
        const C w[4] = {g[j][0], g[j][1], g[j][2], g[j][3]};
        block(w);
    }
    const C tail[4] = {1.0, g[0][0], g[0][1], g[0][2]};
    block(tail);
    t.b.resize(N + 1);
    t.c.assign(N + 1, C(0));
    for (int k = 0; k <= N; ++k) t.b[k] = C(t.ff[8 * k], t.ff[8 * k + 5]);
    for (int k = 1; k <= N; ++k) t.c[k] = C(t.fb[16 * (k - 1)], t.fb[16 * (k - 1) + 1]);
    return t;
}

}  // namespace sptest
