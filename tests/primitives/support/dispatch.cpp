#include "tests/primitives/support/dispatch.h"

namespace sptest {

ScopedDispatchIndex::ScopedDispatchIndex(int32_t build) : saved_(spDispatchIndex.load()) {
    spDispatchIndex.store(build);
}
ScopedDispatchIndex::~ScopedDispatchIndex() { spDispatchIndex.store(saved_); }

const char* buildName(int build) {
    static const char* const names[SP_BUILD_COUNT] = {"build 0 (_Gen)", "build 1 (_Sse3)",
                                                      "build 2 (_Ssse3)", "build 3 (_Sse41)"};
    return (build >= 0 && build < SP_BUILD_COUNT) ? names[build] : "unknown build";
}

bool cpuHasBuild(int build) {
    switch (build) {
    case SP_BUILD_GEN: return true;
    case SP_BUILD_SSE3: return __builtin_cpu_supports("sse3");
    case SP_BUILD_SSSE3: return __builtin_cpu_supports("ssse3");
    case SP_BUILD_SSE41: return __builtin_cpu_supports("sse4.1");
    default: return false;
    }
}

void compareWithGeneric(int build, const std::vector<uint8_t>& input, const ImageCall& call,
                        const AcceptDifference& accept) {
    std::vector<uint8_t> gen = input;
    std::vector<uint8_t> other = input;
    SpStatus genStatus, otherStatus;
    {
        ScopedDispatchIndex index(SP_BUILD_GEN);
        genStatus = call(gen);
    }
    {
        ScopedDispatchIndex index(build);
        otherStatus = call(other);
    }
    EXPECT_EQ(genStatus, otherStatus) << buildName(build) << " status differs from the generic build";
    if (gen == other) return;
    if (accept && accept(gen, other)) return;
    size_t first = 0;
    while (first < gen.size() && gen[first] == other[first]) ++first;
    ADD_FAILURE() << buildName(build) << " differs from the generic build at byte " << first;
}

}  // namespace sptest
