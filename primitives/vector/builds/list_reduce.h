// Reduction kernels: sum, mean, element-wise minimum and maximum, dot products (reduce.inc), with
// their bodies.
#pragma once

#define SP_VEC_LIST_REDUCE(X)
