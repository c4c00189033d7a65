// Table A cells and its 25 public entries; the identity test pins every
// cell.
#include "primitives/convert/entry_table_a.h"

#include "primitives/convert/sp_cpu.h"
#include "primitives/convert/sp_gen.h"
#include "primitives/filter/cpu/sp_filter_cpu.h"
#include "primitives/filter/sp_filter_gen.h"

std::atomic<int32_t> spDispatchIndex{SP_BUILD_GEN};

// Every build its own body.
#define ALL_BUILDS(name) {name##_Gen, name##_Sse3, name##_Ssse3, name##_Sse41}
// Build 3 runs build 2's body.
#define B3_USES_B2(name) {name##_Gen, name##_Sse3, name##_Ssse3, name##_Ssse3}

const SpEntryTableA spEntryTableA = {
    /*  1 */ ALL_BUILDS(spZeroF32),
    /*  2 */ ALL_BUILDS(spF32ToI16Scaled),
    /*  3 */ ALL_BUILDS(spF32ToI32Scaled),
    /*  4 */ ALL_BUILDS(spI16ToF32Scaled),
    /*  5 */ {spI32ToF32Scaled_Gen, spI32ToF32Scaled_Gen, spI32ToF32Scaled_Ssse3, spI32ToF32Scaled_Ssse3},
    /*  6 */ ALL_BUILDS(spI24ToF32),
    /*  7 */ ALL_BUILDS(spF32ToI24Scaled),
    /*  8 */ B3_USES_B2(spAddF32InPlace),
    /*  9 */ ALL_BUILDS(spDivConstF32InPlace),
    /* 10 */ ALL_BUILDS(spMoveF32),
    /* 11 */ ALL_BUILDS(spScaleF32InPlace),
    /* 12 */ ALL_BUILDS(spFirInit),
    /* 13 */ ALL_BUILDS(spFirStateSize),
    /* 14 */ ALL_BUILDS(spFirMultirateInit),
    /* 15 */ ALL_BUILDS(spFirMultirateStateSize),
    /* 16 */ ALL_BUILDS(spFirFilterF32),
    /* 17 */ ALL_BUILDS(spFirOneDirectF32),
    /* 18 */ ALL_BUILDS(spIirFilterF32InPlace),
    /* 19 */ B3_USES_B2(spIirStateSize),
    /* 20 */ ALL_BUILDS(spIirInit),
    /* 21 */ ALL_BUILDS(spI32ToF32),
    /* 22 */ B3_USES_B2(spAddConstF32InPlace),
    /* 23 */ ALL_BUILDS(spInterleaveF32),
    /* 24 */ ALL_BUILDS(spDeinterleaveF32),
    /* 25 */ ALL_BUILDS(spPowF32),
};

// Each entry is one relaxed load, one indexed load and a tail call.
#define SP_DEFINE_ENTRY(row, name, result, params, args) \
    result name params {                                  \
        return spEntryTableA.name[spDispatchIndex.load(std::memory_order_relaxed)] args; \
    }
SP_TABLE_A(SP_DEFINE_ENTRY)
