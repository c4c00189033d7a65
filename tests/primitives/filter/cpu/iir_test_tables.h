// Test-side builders of the IIR look-ahead tables for kernels that no
// product builder serves: the real 'ffTable'/'fbTable' layouts and the
// complex feed-forward and feedback tables of the CPU builds' block kernels.
// The look-ahead weights come from the recurrences
//   G0(k) = c_k,  G1(k) = c1 G0(k) + c_(k+1),
//   G2(k) = c1 G1(k) + c2 G0(k) + c_(k+2),
//   G3(k) = c1 G2(k) + c2 G1(k) + c3 G0(k) + c_(k+3)
// (c_k = -a_k / a0, zero past the order) evaluated in double precision and
// rounded to float once.
#pragma once

#include <complex>
#include <vector>

namespace sptest {

// Real tables of order N = b.size() - 1 (a.size() == b.size(), a[0] != 0):
// ff holds 4N+4 floats (b'k four times), fb 4N+12 (rows {G0..G3(j+1)}, then
// {1, G0(1), G1(1), G2(1)}, {0, 1, G0(1), G1(1)}, {0, 0, 1, G0(1)}). b and c
// are the stored coefficients b'0..b'N and c_1..c_N (c[0] unused, 0) as the
// kernels read them (row k lane 0), for reference recursions.
struct RealIirTables {
    std::vector<float> ff, fb;
    std::vector<double> b, c;
};
RealIirTables buildRealIirTables(const std::vector<double>& b, const std::vector<double>& a);

// Complex tables of order N: ff holds 2N+2 groups of four floats, P_k =
// (r, r, r, r) and Q_k = (-i, i, -i, i) of b'k; fb holds N+1 blocks of four
// groups RA, IA, RB, IB with the weights g0..g3 of block j < N =
// G0..G3(j+1) and of block N = 1, G0(1), G1(1), G2(1):
//   RA = (g0r, g0i, g1r, g1i), IA = (-g0i, g0r, -g1i, g1r), RB and IB the same of g2, g3.
// b and c as stored (b'k from P_k/Q_k lanes 0-1, c_k from block k-1's RA).
struct ComplexIirTables {
    std::vector<float> ff, fb;
    std::vector<std::complex<double>> b, c;
};
ComplexIirTables buildComplexIirTables(const std::vector<std::complex<double>>& b,
                                       const std::vector<std::complex<double>>& a);

// The look-ahead weights G0..G3(k) for k = 1..N + 1 of the feedback
// coefficients c (c[0] unused): row k - 1 of the result.
template <typename T>
std::vector<std::vector<T>> lookAheadWeights(const std::vector<T>& c);

}  // namespace sptest
