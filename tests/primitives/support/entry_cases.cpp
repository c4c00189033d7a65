#include "tests/primitives/support/entry_cases.h"

#include "primitives/convert/sp_gen.h"
#include "primitives/vector/entry_table_b.h"

namespace sptest {
namespace {

float* F(void* p) { return (float*)p; }
template <typename Row>
const void* const* cells(const Row& row) {
    return reinterpret_cast<const void* const*>(&row[0]);
}

// Three channels 16 floats apart inside the area p, or NULL.
SpStatus interleave(void* const* p, int len) {
    const float* ch[3] = {F(p[0]), F(p[0]) + 16, F(p[0]) + 32};
    return spInterleaveF32(p[0] ? ch : nullptr, 3, len, F(p[1]));
}
SpStatus deinterleave(void* const* p, int len) {
    float* ch[3] = {F(p[1]), F(p[1]) + 16, F(p[1]) + 32};
    return spDeinterleaveF32(F(p[0]), 3, len, p[1] ? ch : nullptr);
}

#define A(name) cells(spEntryTableA.name)
#define B(name) cells(spEntryTableB.name)

}  // namespace

const std::vector<EntryCase>& builtEntryCases() {
    static const std::vector<EntryCase> cases = {
        {"spZeroF32", 1, [](void* const* p, int n) { return spZeroF32(F(p[0]), n); }, A(spZeroF32)},
        {"spF32ToI16Scaled", 2,
         [](void* const* p, int n) { return spF32ToI16Scaled(F(p[0]), (int16_t*)p[1], n, 0, -15); },
         A(spF32ToI16Scaled)},
        {"spF32ToI32Scaled", 2,
         [](void* const* p, int n) { return spF32ToI32Scaled(F(p[0]), (int32_t*)p[1], n, 1, -31); },
         A(spF32ToI32Scaled)},
        {"spI16ToF32Scaled", 2,
         [](void* const* p, int n) { return spI16ToF32Scaled((const int16_t*)p[0], F(p[1]), n, 15); },
         A(spI16ToF32Scaled)},
        {"spI32ToF32Scaled", 2,
         [](void* const* p, int n) { return spI32ToF32Scaled((const int32_t*)p[0], F(p[1]), n, 31); },
         A(spI32ToF32Scaled)},
        {"spI24ToF32", 2, [](void* const* p, int n) { return spI24ToF32((const uint8_t*)p[0], F(p[1]), n); },
         A(spI24ToF32)},
        {"spF32ToI24Scaled", 2,
         [](void* const* p, int n) { return spF32ToI24Scaled(F(p[0]), (uint8_t*)p[1], n, -23); },
         A(spF32ToI24Scaled)},
        {"spAddF32InPlace", 2, [](void* const* p, int n) { return spAddF32InPlace(F(p[0]), F(p[1]), n); },
         A(spAddF32InPlace)},
        {"spDivConstF32InPlace", 1, [](void* const* p, int n) { return spDivConstF32InPlace(2.0f, F(p[0]), n); },
         A(spDivConstF32InPlace)},
        {"spMoveF32", 2, [](void* const* p, int n) { return spMoveF32(F(p[0]), F(p[1]), n); }, A(spMoveF32)},
        {"spScaleF32InPlace", 1, [](void* const* p, int n) { return spScaleF32InPlace(3.0f, F(p[0]), n); },
         A(spScaleF32InPlace)},
        {"spI32ToF32", 2, [](void* const* p, int n) { return spI32ToF32((const int32_t*)p[0], F(p[1]), n); },
         A(spI32ToF32)},
        {"spAddConstF32InPlace", 1, [](void* const* p, int n) { return spAddConstF32InPlace(1.0f, F(p[0]), n); },
         A(spAddConstF32InPlace)},
        {"spInterleaveF32", 2, interleave, A(spInterleaveF32)},
        {"spDeinterleaveF32", 2, deinterleave, A(spDeinterleaveF32)},
        {"spPowF32", 3, [](void* const* p, int n) { return spPowF32(F(p[0]), F(p[1]), F(p[2]), n); }, A(spPowF32)},
        {"spSetI32_Gen", 1, [](void* const* p, int n) { return spSetI32_Gen(7, (int32_t*)p[0], n); }, nullptr},
        {"spDivConstF32_Gen", 2,
         [](void* const* p, int n) { return spDivConstF32_Gen(F(p[0]), 4.0f, F(p[1]), n); }, nullptr},
        {"spCopyF32", 2, [](void* const* p, int n) { return spCopyF32(F(p[0]), F(p[1]), n); }, B(spCopyF32)},
        {"spSetF32", 1, [](void* const* p, int n) { return spSetF32(1.5f, F(p[0]), n); }, B(spSetF32)},
        {"spScaleF32", 2, [](void* const* p, int n) { return spScaleF32(F(p[0]), 2.0f, F(p[1]), n); },
         B(spScaleF32)},
        {"spSqrtF32InPlace", 1, [](void* const* p, int n) { return spSqrtF32InPlace(F(p[0]), n); },
         B(spSqrtF32InPlace)},
        {"spAbsF32InPlace", 1, [](void* const* p, int n) { return spAbsF32InPlace(F(p[0]), n); },
         B(spAbsF32InPlace)},
        {"spMaxF32", 2, [](void* const* p, int n) { return spMaxF32(F(p[0]), n, F(p[1])); }, B(spMaxF32)},
        {"spMinF32", 2, [](void* const* p, int n) { return spMinF32(F(p[0]), n, F(p[1])); }, B(spMinF32)},
        {"spReverseF32", 2, [](void* const* p, int n) { return spReverseF32(F(p[0]), F(p[1]), n); },
         B(spReverseF32)},
        {"spMulF32InPlace", 2, [](void* const* p, int n) { return spMulF32InPlace(F(p[0]), F(p[1]), n); },
         B(spMulF32InPlace)},
        {"spAddF32", 3, [](void* const* p, int n) { return spAddF32(F(p[0]), F(p[1]), F(p[2]), n); }, B(spAddF32)},
        {"spSubF32", 3, [](void* const* p, int n) { return spSubF32(F(p[0]), F(p[1]), F(p[2]), n); }, B(spSubF32)},
        {"spMulF32", 3, [](void* const* p, int n) { return spMulF32(F(p[0]), F(p[1]), F(p[2]), n); }, B(spMulF32)},
        {"spAddProductF32", 3,
         [](void* const* p, int n) { return spAddProductF32(F(p[0]), F(p[1]), F(p[2]), n); }, B(spAddProductF32)},
        {"spSquareF32", 2, [](void* const* p, int n) { return spSquareF32(F(p[0]), F(p[1]), n); },
         B(spSquareF32)},
        {"spDivF32", 3, [](void* const* p, int n) { return spDivF32(F(p[0]), F(p[1]), F(p[2]), n); }, B(spDivF32)},
        {"spExpF32InPlace", 1, [](void* const* p, int n) { return spExpF32InPlace(F(p[0]), n); },
         B(spExpF32InPlace)},
        {"spLnF32InPlace", 1, [](void* const* p, int n) { return spLnF32InPlace(F(p[0]), n); }, B(spLnF32InPlace)},
        {"spSumF32", 2, [](void* const* p, int n) { return spSumF32(F(p[0]), n, F(p[1]), 0); }, B(spSumF32)},
        {"spMeanF32", 2, [](void* const* p, int n) { return spMeanF32(F(p[0]), n, F(p[1]), 0); }, B(spMeanF32)},
        {"spMinEveryF32InPlace", 2,
         [](void* const* p, int n) { return spMinEveryF32InPlace(F(p[0]), F(p[1]), n); }, B(spMinEveryF32InPlace)},
        {"spMaxEveryF32InPlace", 2,
         [](void* const* p, int n) { return spMaxEveryF32InPlace(F(p[0]), F(p[1]), n); }, B(spMaxEveryF32InPlace)},
        {"spDotProductF32", 3,
         [](void* const* p, int n) { return spDotProductF32(F(p[0]), F(p[1]), n, F(p[2])); }, B(spDotProductF32)},
        {"spAddScaledF32", 2,
         [](void* const* p, int n) { return spAddScaledF32(F(p[0]), 0.5f, F(p[1]), n); }, B(spAddScaledF32)},
    };
    return cases;
}

}  // namespace sptest
