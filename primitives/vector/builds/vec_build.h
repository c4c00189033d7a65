// Vocabulary the vector kernel files (*.inc) add to the CPU-build units'
// sp_build.h: the declarations of every vector kernel and body, and the
// non-temporal counters.
//
// Every kernel file puts its helpers in a namespace of its own inside the
// build's namespace (sp::SP_NS::elementwise, sp::SP_NS::div, ...): the nine
// files share one translation unit, and their static helpers must not meet.
#pragma once

#include "primitives/convert/sp_cpu.h"
#include "primitives/vector/sp_vec_cpu.h"
