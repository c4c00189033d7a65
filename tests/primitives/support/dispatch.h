// Selecting builds in tests: set spDispatchIndex for a scope, walk the
// builds of one table row (skipping builds this CPU lacks) and compare a
// build with the generic one on copies of one input.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "primitives/convert/sp_types.h"

namespace sptest {

class ScopedDispatchIndex {
public:
    explicit ScopedDispatchIndex(int32_t build);
    ~ScopedDispatchIndex();
    ScopedDispatchIndex(const ScopedDispatchIndex&) = delete;
    ScopedDispatchIndex& operator=(const ScopedDispatchIndex&) = delete;

private:
    int32_t saved_;
};

const char* buildName(int build);
// True when this processor can run the build's instructions.
bool cpuHasBuild(int build);

// Calls fn(build) with spDispatchIndex set to each build of the row that
// this processor runs; prints a note for every skipped build.
template <typename Fn, typename Body>
void forEachBuild(Fn* const (&/*row*/)[SP_BUILD_COUNT], Body&& fn) {
    for (int build = 0; build < SP_BUILD_COUNT; ++build) {
        if (!cpuHasBuild(build)) {
            std::printf("[ note     ] %s: not supported by this CPU, skipped\n", buildName(build));
            continue;
        }
        ScopedDispatchIndex index(build);
        SCOPED_TRACE(buildName(build));
        fn(build);
    }
}

// One run of an entry over a byte image of its inputs and outputs: the call
// reads and writes `image` and returns the entry's status.
using ImageCall = std::function<SpStatus(std::vector<uint8_t>& image)>;
// Documented difference between a build and the generic one: return true to
// accept (gen, other) images that differ.
using AcceptDifference = std::function<bool(const std::vector<uint8_t>& gen, const std::vector<uint8_t>& other)>;

// Runs `call` under `build` and under the generic build, each on its own copy
// of `input`; expects equal statuses and equal bytes unless `accept` allows.
void compareWithGeneric(int build, const std::vector<uint8_t>& input, const ImageCall& call,
                        const AcceptDifference& accept = nullptr);

}  // namespace sptest
