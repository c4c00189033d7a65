// Vocabulary the vector kernel files (*.inc) add to the CPU-build units'
// sp_build.h: the declarations of every vector kernel and body, the
// non-temporal counters, and the instruction choices in which the vector
// builds differ.
//
// Every kernel file puts its helpers in a namespace of its own inside the
// build's namespace (sp::SP_NS::elementwise, sp::SP_NS::div, ...): the nine
// files share one translation unit, and their static helpers must not meet.
#pragma once

#include "primitives/convert/sp_cpu.h"
#include "primitives/vector/sp_vec_cpu.h"

// Build 1 uses SSE2 sequences where builds 2 and 3 have SSSE3 instructions.
template <int Build>
struct SpVecBuildTraits {
    static constexpr bool kIntAbs = Build >= SP_BUILD_SSSE3;        // pabsw / pabsd
    static constexpr bool kAlignShift = Build >= SP_BUILD_SSSE3;    // palignr in the shifted dot loop
    static constexpr bool kByteShuffle = Build >= SP_BUILD_SSSE3;   // pshufb byte widening
};

namespace sp {
namespace SP_NS {
using VecTraits = SpVecBuildTraits<SP_BUILD>;
}  // namespace SP_NS
}  // namespace sp
