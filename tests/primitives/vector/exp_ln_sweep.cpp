#include "tests/primitives/vector/exp_ln_sweep.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "primitives/vector/entry_table_b.h"
#include "tests/primitives/support/ulp.h"

namespace sptest {
namespace {

constexpr size_t kBlock = 4096;

// The Pade elements of a block are all normal elements but the 1-3 with the
// lowest indices; which those are depends on how many normal elements the
// block holds.
void checkExpBlock(std::vector<float>& xs, SweepResult* r) {
    std::vector<float> out = xs;
    spExpF32InPlace(out.data(), (int)out.size());
    size_t normals = 0;
    for (float x : xs) normals += std::fabs(x) >= 0x1p-126f;
    size_t runtimeLeft = out.size() < 4 ? normals : normals % 4;
    for (size_t i = 0; i < xs.size(); ++i) {
        double err = ulpError(out[i], std::exp((double)xs[i]));
        bool normal = std::fabs(xs[i]) >= 0x1p-126f;
        if (normal && runtimeLeft > 0) {
            --runtimeLeft;
            r->worstRuntime = std::max(r->worstRuntime, err);
        } else if (normal) {
            r->worstPade = std::max(r->worstPade, err);
        }
    }
    r->count += xs.size();
    xs.clear();
}

}  // namespace

SweepResult sweepExp(uint32_t stride) {
    SweepResult r;
    std::vector<float> block;
    // Negative side: bits 0x80000001 .. 0xC2AEAC4F; positive: 0 .. 0x42B17217.
    for (uint64_t b = 0x80000001u; b < 0xC2AEAC50u; b += stride) {
        block.push_back(bitsFloat((uint32_t)b));
        if (block.size() == kBlock) checkExpBlock(block, &r);
    }
    for (uint64_t b = 0; b < 0x42B17218u; b += stride) {
        block.push_back(bitsFloat((uint32_t)b));
        if (block.size() == kBlock) checkExpBlock(block, &r);
    }
    if (!block.empty()) checkExpBlock(block, &r);
    return r;
}

SweepResult sweepLn(uint32_t stride) {
    SweepResult r;
    std::vector<float> block, out;
    auto flush = [&] {
        out = block;
        spLnF32InPlace(out.data(), (int)out.size());
        for (size_t i = 0; i < block.size(); ++i)
            r.worstRuntime = std::max(r.worstRuntime, ulpError(out[i], std::log((double)block[i])));
        r.count += block.size();
        block.clear();
    };
    for (uint64_t b = 1; b < 0x7F800000u; b += stride) {
        block.push_back(bitsFloat((uint32_t)b));
        if (block.size() == kBlock) flush();
    }
    if (!block.empty()) flush();
    return r;
}

}  // namespace sptest
