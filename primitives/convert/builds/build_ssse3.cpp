// CPU build 2: every body and kernel of the build, from the shared body files.
#define SP_BUILD 2
#include "primitives/convert/builds/sp_build.h"

#include "primitives/convert/sp_gen.h"

#include "primitives/convert/builds/f32_to_int.inc"
#include "primitives/convert/builds/half.inc"
#include "primitives/convert/builds/int_float.inc"
#include "primitives/convert/builds/vector_kernels.inc"
#include "primitives/convert/builds/fill.inc"
#include "primitives/convert/builds/packed24.inc"
#include "primitives/convert/builds/bodies.inc"
#include "primitives/convert/builds/scale.inc"
