// Table A cells and its 25 public entries. A cell that names spNotBuilt<...>
// waits for its body; the identity test pins every cell.
#include "primitives/convert/entry_table_a.h"

#include "primitives/convert/not_built.h"
#include "primitives/convert/sp_gen.h"
#include "primitives/filter/sp_filter_gen.h"

std::atomic<int32_t> spDispatchIndex{SP_BUILD_GEN};

#define NB(name) spNotBuilt<name##Fn>
#define NB_ALL(name) {NB(name), NB(name), NB(name), NB(name)}
#define GEN_ONLY(name) {name##_Gen, NB(name), NB(name), NB(name)}

const SpEntryTableA spEntryTableA = {
    /*  1 */ GEN_ONLY(spZeroF32),
    /*  2 */ GEN_ONLY(spF32ToI16Scaled),
    /*  3 */ GEN_ONLY(spF32ToI32Scaled),
    /*  4 */ GEN_ONLY(spI16ToF32Scaled),
    /*  5 */ {spI32ToF32Scaled_Gen, spI32ToF32Scaled_Gen, NB(spI32ToF32Scaled), NB(spI32ToF32Scaled)},
    /*  6 */ GEN_ONLY(spI24ToF32),
    /*  7 */ GEN_ONLY(spF32ToI24Scaled),
    /*  8 */ GEN_ONLY(spAddF32InPlace),
    /*  9 */ GEN_ONLY(spDivConstF32InPlace),
    /* 10 */ GEN_ONLY(spMoveF32),
    /* 11 */ GEN_ONLY(spScaleF32InPlace),
    /* 12 */ GEN_ONLY(spFirInit),
    /* 13 */ GEN_ONLY(spFirStateSize),
    /* 14 */ GEN_ONLY(spFirMultirateInit),
    /* 15 */ GEN_ONLY(spFirMultirateStateSize),
    /* 16 */ GEN_ONLY(spFirFilterF32),
    /* 17 */ GEN_ONLY(spFirOneDirectF32),
    /* 18 */ GEN_ONLY(spIirFilterF32InPlace),
    /* 19 */ GEN_ONLY(spIirStateSize),
    /* 20 */ GEN_ONLY(spIirInit),
    /* 21 */ GEN_ONLY(spI32ToF32),
    /* 22 */ GEN_ONLY(spAddConstF32InPlace),
    /* 23 */ GEN_ONLY(spInterleaveF32),
    /* 24 */ GEN_ONLY(spDeinterleaveF32),
    /* 25 */ GEN_ONLY(spPowF32),
};

// Each entry is one relaxed load, one indexed load and a tail call.
#define SP_DEFINE_ENTRY(row, name, result, params, args) \
    result name params {                                  \
        return spEntryTableA.name[spDispatchIndex.load(std::memory_order_relaxed)] args; \
    }
SP_TABLE_A(SP_DEFINE_ENTRY)
