// Square-root and add-scaled kernels (sqrt.inc) with the bodies of spSqrtF32InPlace and
// spAddScaledF32.
#pragma once

#define SP_VEC_LIST_SQRT(X)
