// Table B cells and its 40 public entries. A cell that names spNotBuilt<...>
// waits for its body; the identity test pins every cell.
#include "primitives/vector/entry_table_b.h"

#include "primitives/convert/not_built.h"
#include "primitives/convert/sp_alloc.h"
#include "primitives/convert/sp_cpu.h"
#include "primitives/convert/sp_gen.h"
#include "primitives/fft/sp_fft_cpu.h"
#include "primitives/fft/sp_fft_gen.h"
#include "primitives/filter/sp_filter_gen.h"
#include "primitives/vector/sp_vec_cpu.h"

#define NB(name) spNotBuilt<name##Fn>
#define NB_ALL(name) {NB(name), NB(name), NB(name), NB(name)}
#define GEN_ONLY(name) {name##_Gen, NB(name), NB(name), NB(name)}
#define SAME_ALL(body) {body, body, body, body}
#define ALL_BUILDS(name) {name##_Gen, name##_Sse3, name##_Ssse3, name##_Sse41}
#define B3_USES_B2(name) {name##_Gen, name##_Sse3, name##_Ssse3, name##_Ssse3}

const SpEntryTableB spEntryTableB = {
    /*  0 */ GEN_ONLY(spCopyF32),
    /*  1 */ ALL_BUILDS(spSetF32),
    /*  2 */ {spScaleF32_Gen, spScaleF32_Sse3, spScaleF32_Ssse3, spScaleF32_Sse41},
    /*  3 */ ALL_BUILDS(spSqrtF32InPlace),
    /*  4 */ ALL_BUILDS(spAbsF32InPlace),
    /*  5 */ ALL_BUILDS(spMaxF32),
    /*  6 */ ALL_BUILDS(spMinF32),
    /*  7 */ {spComplexFftCreate_Gen, spComplexFftCreate_Sse3, spComplexFftCreate_Ssse3,
             spComplexFftCreate_Sse41},
    /*  8 */ SAME_ALL(spComplexFftDestroy_Gen),
    /*  9 */ GEN_ONLY(spComplexFftForward),
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
    /* 29 */ GEN_ONLY(spRealFftForward),
    /* 30 */ GEN_ONLY(spRealFftInverse),
    /* 31 */ GEN_ONLY(spMulPackedSpectraF32),
    /* 32 */ GEN_ONLY(spIirCreate),
    /* 33 */ SAME_ALL(spIirDestroy_Gen),
    /* 34 */ GEN_ONLY(spIirFilterF32),
    /* 35 */ GEN_ONLY(spFirCreate),
    /* 36 */ SAME_ALL(spFirDestroy_Gen),
    /* 37 */ GEN_ONLY(spUpsampleF32),
    /* 38 */ GEN_ONLY(spDownsampleF32),
    /* 39 */ B3_USES_B2(spAddScaledF32),
};

#define SP_DEFINE_ENTRY(row, name, result, params, args) \
    result name params {                                  \
        return spEntryTableB.name[spDispatchIndex.load(std::memory_order_relaxed)] args; \
    }
SP_TABLE_B(SP_DEFINE_ENTRY)
