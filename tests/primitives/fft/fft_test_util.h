// Shared pieces of the FFT transform tests: seeded inputs, a spec record
// made through the public create entries and destroyed at scope end, and the
// accuracy check against FFTW that the normal and the opt-in large-order
// programs both run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "primitives/sp_records.h"

namespace sptest {

// Uniform floats in [-1, 1) from a fixed seed.
std::vector<float> seededFloats(size_t count, uint32_t seed);

enum class FftKind { RealForward, RealInverse, Complex };

// A spec record from spRealFftCreate / spComplexFftCreate.
class CreatedSpec {
public:
    CreatedSpec(FftKind kind, int order, int flag);
    ~CreatedSpec();
    CreatedSpec(const CreatedSpec&) = delete;
    CreatedSpec& operator=(const CreatedSpec&) = delete;
    SpFftSpec* get() const { return spec_; }
    SpStatus status() const { return status_; }

private:
    bool complex_;
    SpFftSpec* spec_ = nullptr;
    SpStatus status_;
};

struct AccuracyCase {
    FftKind kind;
    int order;
    int flag;
    bool inPlace;
    bool workGiven;
};

std::string accuracyCaseName(const AccuracyCase& c);
// Every kind x order x flag x placement x work buffer of the given orders.
std::vector<AccuracyCase> accuracyCases(int firstOrder, int lastOrder);
// The cases of orders 0 to 20 split for the quick run: every combination up
// to kQuickFullOrder, above it one combination per kind and order (rotating
// through flags, placement and work buffer). `quick` false gives the rest.
constexpr int kQuickFullOrder = 16;
std::vector<AccuracyCase> accuracyCasesUpTo20(bool quick);

// Runs one case through the public entries (in place) or the generic
// out-of-place bodies, with canaries around dst, and checks the relative RMS
// error against FFTW double: <= max(1.5e-7 log2 N, 4 x fftwf's error).
void checkAccuracy(const AccuracyCase& c);

}  // namespace sptest
