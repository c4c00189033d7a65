// Further logarithm kernels: double and integer logarithms (ln_more.inc).
#pragma once

#define SP_VEC_LIST_LN_MORE(X)
