// Table B cells and its 40 public entries. A cell that names spNotBuilt<...>
// waits for its body; the identity test pins every cell.
#include "primitives/vector/entry_table_b.h"

#include "primitives/convert/not_built.h"
#include "primitives/convert/sp_alloc.h"
#include "primitives/convert/sp_cpu.h"
#include "primitives/convert/sp_gen.h"
#include "primitives/fft/sp_fft_cpu.h"
#include "primitives/fft/sp_fft_gen.h"
#include "primitives/fft_simd/sp_fft_simd.h"
#include "primitives/filter/cpu/sp_filter_cpu.h"
#include "primitives/filter/sp_filter_gen.h"

#define NB(name) spNotBuilt<name##Fn>
#define NB_ALL(name) {NB(name), NB(name), NB(name), NB(name)}
#define GEN_ONLY(name) {name##_Gen, NB(name), NB(name), NB(name)}
#define SAME_ALL(body) {body, body, body, body}

const SpEntryTableB spEntryTableB = {
    /*  0 */ {spCopyF32_Gen, spCopyF32_Sse3, spCopyF32_Ssse3, spCopyF32_Sse41},
    /*  1 */ GEN_ONLY(spSetF32),
    /*  2 */ {spScaleF32_Gen, spScaleF32_Sse3, spScaleF32_Ssse3, spScaleF32_Sse41},
    /*  3 */ GEN_ONLY(spSqrtF32InPlace),
    /*  4 */ GEN_ONLY(spAbsF32InPlace),
    /*  5 */ GEN_ONLY(spMaxF32),
    /*  6 */ GEN_ONLY(spMinF32),
    /*  7 */ {spComplexFftCreate_Gen, spComplexFftCreate_Sse3, spComplexFftCreate_Ssse3,
             spComplexFftCreate_Sse41},
    /*  8 */ SAME_ALL(spComplexFftDestroy_Gen),
    /*  9 */ GEN_ONLY(spComplexFftForward),
    /* 10 */ SAME_ALL(spMallocF32_Gen),
    /* 11 */ SAME_ALL(spFreeAligned),
    /* 12 */ GEN_ONLY(spReverseF32),
    /* 13 */ GEN_ONLY(spMulF32InPlace),
    /* 14 */ GEN_ONLY(spAddF32),
    /* 15 */ GEN_ONLY(spSubF32),
    /* 16 */ GEN_ONLY(spMulF32),
    /* 17 */ SAME_ALL(spAddProductF32_Gen),
    /* 18 */ GEN_ONLY(spSquareF32),
    /* 19 */ GEN_ONLY(spDivF32),
    /* 20 */ GEN_ONLY(spExpF32InPlace),
    /* 21 */ GEN_ONLY(spLnF32InPlace),
    /* 22 */ GEN_ONLY(spSumF32),
    /* 23 */ GEN_ONLY(spMeanF32),
    /* 24 */ GEN_ONLY(spMinEveryF32InPlace),
    /* 25 */ GEN_ONLY(spMaxEveryF32InPlace),
    /* 26 */ GEN_ONLY(spDotProductF32),
    /* 27 */ {spRealFftCreate_Gen, spRealFftCreate_Sse3, spRealFftCreate_Ssse3,
             spRealFftCreate_Sse41},
    /* 28 */ SAME_ALL(spRealFftDestroy_Gen),
    /* 29 */ GEN_ONLY(spRealFftForward),
    /* 30 */ GEN_ONLY(spRealFftInverse),
    /* 31 */ {spMulPackedSpectraF32_Gen, spMulPackedSpectraF32_Sse3, spMulPackedSpectraF32_Ssse3,
             spMulPackedSpectraF32_Sse41},
    /* 32 */ GEN_ONLY(spIirCreate),
    /* 33 */ SAME_ALL(spIirDestroy_Gen),
    /* 34 */ GEN_ONLY(spIirFilterF32),
    /* 35 */ {spFirCreate_Gen, spFirCreate_Sse3, spFirCreate_Ssse3, spFirCreate_Sse41},
    /* 36 */ SAME_ALL(spFirDestroy_Gen),
    /* 37 */ {spUpsampleF32_Gen, spUpsampleF32_Sse3, spUpsampleF32_Ssse3, spUpsampleF32_Sse41},
    /* 38 */ {spDownsampleF32_Gen, spDownsampleF32_Sse3, spDownsampleF32_Ssse3,
             spDownsampleF32_Sse41},
    /* 39 */ GEN_ONLY(spAddScaledF32),
};

#define SP_DEFINE_ENTRY(row, name, result, params, args) \
    result name params {                                  \
        return spEntryTableB.name[spDispatchIndex.load(std::memory_order_relaxed)] args; \
    }
SP_TABLE_B(SP_DEFINE_ENTRY)
