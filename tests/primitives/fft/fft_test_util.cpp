#include "tests/primitives/fft/fft_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "primitives/fft/sp_fft_gen.h"
#include "primitives/vector/entry_table_b.h"
#include "tests/primitives/support/fftw_ref.h"
#include "tests/primitives/support/sp_buffer.h"

namespace sptest {

std::vector<float> seededFloats(size_t count, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> v(count);
    for (float& x : v) x = dist(rng);
    return v;
}

CreatedSpec::CreatedSpec(FftKind kind, int order, int flag) : complex_(kind == FftKind::Complex) {
    status_ = complex_ ? spComplexFftCreate(&spec_, order, flag, 0)
                       : spRealFftCreate(&spec_, order, flag, 0);
}

CreatedSpec::~CreatedSpec() {
    if (spec_ == nullptr) return;
    if (complex_) {
        spComplexFftDestroy(spec_);
    } else {
        spRealFftDestroy(spec_);
    }
}

std::string accuracyCaseName(const AccuracyCase& c) {
    static const char* const kinds[] = {"RealFwd", "RealInv", "Complex"};
    return std::string(kinds[static_cast<int>(c.kind)]) + "_o" + std::to_string(c.order) +
           "_f" + std::to_string(c.flag) + (c.inPlace ? "_inplace" : "_outofplace") +
           (c.workGiven ? "_work" : "_nowork");
}

std::vector<AccuracyCase> accuracyCases(int firstOrder, int lastOrder) {
    std::vector<AccuracyCase> cases;
    for (FftKind kind : {FftKind::RealForward, FftKind::RealInverse, FftKind::Complex})
        for (int order = firstOrder; order <= lastOrder; ++order)
            for (int flag : {1, 2, 4, 8})
                for (bool inPlace : {true, false})
                    for (bool work : {true, false}) cases.push_back({kind, order, flag, inPlace, work});
    return cases;
}

std::vector<AccuracyCase> accuracyCasesUpTo20(bool quick) {
    std::vector<AccuracyCase> picked;
    for (const AccuracyCase& c : accuracyCases(0, 20)) {
        int turn = c.order + static_cast<int>(c.kind);
        bool representative = c.flag == (1 << (turn % 4)) && c.inPlace == (turn % 2 == 0) &&
                              c.workGiven == ((turn / 2) % 2 == 0);
        if ((c.order <= kQuickFullOrder || representative) == quick) picked.push_back(c);
    }
    return picked;
}

namespace {

bool scalesThisDirection(const SpFftSpec* spec, FftKind kind) {
    return kind == FftKind::RealInverse ? spec->scaleInv == 1 : spec->scaleFwd == 1;
}

// The transform under test, through the public in-place entries where they
// exist and the generic out-of-place bodies otherwise.
SpStatus runOurs(const AccuracyCase& c, const SpFftSpec* spec, const float* src, float* dst,
                 uint8_t* work) {
    switch (c.kind) {
        case FftKind::RealForward:
            return c.inPlace ? spRealFftForward(dst, spec, work)
                             : spRealFftForwardOutOfPlace_Gen(src, dst, spec, work);
        case FftKind::RealInverse:
            return c.inPlace ? spRealFftInverse(dst, spec, work)
                             : spRealFftInverseOutOfPlace_Gen(src, dst, spec, work);
        case FftKind::Complex:
            return spComplexFftForward(c.inPlace ? dst : src, dst, spec, work);
    }
    return SP_STS_OK;
}

std::vector<double> reference(FftKind kind, const std::vector<float>& in) {
    const std::vector<double> x = toDouble(in);
    if (kind == FftKind::RealForward) return fftwRealForward(x);
    if (kind == FftKind::RealInverse) return fftwRealInverse(x);
    return fftwComplexForward(x);
}

std::vector<float> baseline(FftKind kind, const std::vector<float>& in) {
    if (kind == FftKind::RealForward) return fftwfRealForward(in);
    if (kind == FftKind::RealInverse) return fftwfRealInverse(in);
    return fftwfComplexForward(in);
}

}  // namespace

void checkAccuracy(const AccuracyCase& c) {
    CreatedSpec spec(c.kind, c.order, c.flag);
    ASSERT_EQ(spec.status(), SP_STS_OK);
    const size_t count = (c.kind == FftKind::Complex ? 2u : 1u) << c.order;
    const std::vector<float> input = seededFloats(count, 1000u + static_cast<uint32_t>(c.order));
    SpBuffer<float> dst(count);
    dst.assign(input);
    int workSize = 0;
    if (c.kind == FftKind::Complex) {
        workSize = spec.get()->workSize + 32;
    } else {
        ASSERT_EQ(spRealFftGetBufferSize_Gen(spec.get(), &workSize), SP_STS_OK);
    }
    std::vector<uint8_t> work(static_cast<size_t>(std::max(workSize, 1)));
    ASSERT_EQ(runOurs(c, spec.get(), input.data(), dst.data(), c.workGiven ? work.data() : nullptr),
              SP_STS_OK);
    EXPECT_TRUE(dst.checkCanaries());

    const bool scaled = scalesThisDirection(spec.get(), c.kind);
    const float scale = spec.get()->scale;
    std::vector<double> ref = reference(c.kind, input);
    std::vector<float> base = baseline(c.kind, input);
    for (size_t i = 0; i < count; ++i) {
        if (scaled) {
            ref[i] *= static_cast<double>(scale);
            base[i] *= scale;
        }
    }
    const double ours = relativeRmsError(dst.values(), ref);
    const double floatPeer = relativeRmsError(base, ref);
    const double bound = std::max(1.5e-7 * c.order, 4.0 * floatPeer);
    EXPECT_LE(ours, bound) << "fftwf error " << floatPeer;
}

}  // namespace sptest
