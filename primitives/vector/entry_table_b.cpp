// Table B cells and its 40 public entries; the identity test pins every
// cell.
#include "primitives/vector/entry_table_b.h"

#include "primitives/convert/sp_alloc.h"
#include "primitives/convert/sp_cpu.h"
#include "primitives/convert/sp_gen.h"
#include "primitives/fft/sp_fft_cpu.h"
#include "primitives/fft/sp_fft_gen.h"
#include "primitives/fft_simd/sp_fft_simd.h"
#include "primitives/filter/cpu/sp_filter_cpu.h"
#include "primitives/filter/sp_filter_gen.h"
#include "primitives/vector/sp_vec_cpu.h"

#define SAME_ALL(body) {body, body, body, body}
#define ALL_BUILDS(name) {name##_Gen, name##_Sse3, name##_Ssse3, name##_Sse41}
#define B3_USES_B2(name) {name##_Gen, name##_Sse3, name##_Ssse3, name##_Ssse3}

const SpEntryTableB spEntryTableB = {
    /*  0 */ ALL_BUILDS(spCopyF32),
    /*  1 */ ALL_BUILDS(spSetF32),
    /*  2 */ {spScaleF32_Gen, spScaleF32_Sse3, spScaleF32_Ssse3, spScaleF32_Sse41},
    /*  3 */ ALL_BUILDS(spSqrtF32InPlace),
    /*  4 */ ALL_BUILDS(spAbsF32InPlace),
    /*  5 */ ALL_BUILDS(spMaxF32),
    /*  6 */ ALL_BUILDS(spMinF32),
    /*  7 */ {spComplexFftCreate_Gen, spComplexFftCreate_Sse3, spComplexFftCreate_Ssse3,
             spComplexFftCreate_Sse41},
    /*  8 */ SAME_ALL(spComplexFftDestroy_Gen),
    /*  9 */ {spComplexFftForward_Gen, spComplexFftForward_Sse3, spComplexFftForward_Ssse3,
             spComplexFftForward_Sse41},
    /* 10 */ SAME_ALL(spMallocF32_Gen),
    /* 11 */ SAME_ALL(spFreeAligned),
    /* 12 */ ALL_BUILDS(spReverseF32),
    /* 13 */ B3_USES_B2(spMulF32InPlace),
    /* 14 */ B3_USES_B2(spAddF32),
    /* 15 */ B3_USES_B2(spSubF32),
    /* 16 */ B3_USES_B2(spMulF32),
    /* 17 */ SAME_ALL(spAddProductF32_Gen),
    /* 18 */ ALL_BUILDS(spSquareF32),
    /* 19 */ ALL_BUILDS(spDivF32),
    /* 20 */ ALL_BUILDS(spExpF32InPlace),
    /* 21 */ ALL_BUILDS(spLnF32InPlace),
    /* 22 */ ALL_BUILDS(spSumF32),
    /* 23 */ ALL_BUILDS(spMeanF32),
    /* 24 */ ALL_BUILDS(spMinEveryF32InPlace),
    /* 25 */ ALL_BUILDS(spMaxEveryF32InPlace),
    /* 26 */ ALL_BUILDS(spDotProductF32),
    /* 27 */ {spRealFftCreate_Gen, spRealFftCreate_Sse3, spRealFftCreate_Ssse3,
             spRealFftCreate_Sse41},
    /* 28 */ SAME_ALL(spRealFftDestroy_Gen),
    /* 29 */ {spRealFftForward_Gen, spRealFftForward_Sse3, spRealFftForward_Ssse3, spRealFftForward_Sse41},
    /* 30 */ {spRealFftInverse_Gen, spRealFftInverse_Sse3, spRealFftInverse_Ssse3, spRealFftInverse_Sse41},
    /* 31 */ {spMulPackedSpectraF32_Gen, spMulPackedSpectraF32_Sse3, spMulPackedSpectraF32_Ssse3,
             spMulPackedSpectraF32_Sse41},
    /* 32 */ ALL_BUILDS(spIirCreate),
    /* 33 */ SAME_ALL(spIirDestroy_Gen),
    /* 34 */ ALL_BUILDS(spIirFilterF32),
    /* 35 */ {spFirCreate_Gen, spFirCreate_Sse3, spFirCreate_Ssse3, spFirCreate_Sse41},
    /* 36 */ SAME_ALL(spFirDestroy_Gen),
    /* 37 */ {spUpsampleF32_Gen, spUpsampleF32_Sse3, spUpsampleF32_Ssse3, spUpsampleF32_Sse41},
    /* 38 */ {spDownsampleF32_Gen, spDownsampleF32_Sse3, spDownsampleF32_Ssse3,
             spDownsampleF32_Sse41},
    /* 39 */ B3_USES_B2(spAddScaledF32),
};

#define SP_DEFINE_ENTRY(row, name, result, params, args) \
    result name params {                                  \
        return spEntryTableB.name[spDispatchIndex.load(std::memory_order_relaxed)] args; \
    }
SP_TABLE_B(SP_DEFINE_ENTRY)
