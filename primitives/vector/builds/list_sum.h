// Summation kernels (sum.inc).
#pragma once

#define SP_VEC_LIST_SUM(X)
