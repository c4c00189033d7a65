// Single-precision division kernels and their four-lane step (div.inc).
#pragma once

#define SP_VEC_LIST_DIV(X)
