// Exponential and logarithm kernels (exp_ln.inc) with the bodies of spExpF32InPlace and
// spLnF32InPlace.
#pragma once

#define SP_VEC_LIST_EXP_LN(X)
