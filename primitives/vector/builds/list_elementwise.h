// Element-wise kernels: absolute value, maximum and minimum, reverse, the four arithmetic
// operations, square, and their companions for other element types (elementwise.inc).
#pragma once

#define SP_VEC_LIST_ELEMENTWISE(X)
