// CPU build 1 of the vector primitives: every kernel and body of the build,
// from the shared kernel files.
#define SP_BUILD 1
#include "primitives/convert/builds/sp_build.h"

#include "primitives/convert/sp_gen.h"
#include "primitives/vector/builds/vec_build.h"

#include "primitives/vector/builds/elementwise.inc"
#include "primitives/vector/builds/div.inc"
#include "primitives/vector/builds/div_more.inc"
#include "primitives/vector/builds/exp_ln.inc"
#include "primitives/vector/builds/ln_more.inc"
#include "primitives/vector/builds/reduce.inc"
#include "primitives/vector/builds/sqrt.inc"
#include "primitives/vector/builds/sum.inc"
#include "primitives/vector/builds/bodies.inc"
