// Division kernels for the other element types: complex, double and scaled integer (div_more.inc).
#pragma once

#define SP_VEC_LIST_DIV_MORE(X)
