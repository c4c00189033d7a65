#include "common/zvk/hrtf_tables.h"

namespace {

// Variant and position within it of an angle code; false for other codes.
bool FindCode(int code, int* variant, int* index) {
    for (int v = 0; v < kHrtfVariantCount; ++v) {
        for (int i = 0; i < kHrtfVariantCodeCount[v]; ++i) {
            if (kHrtfVariantCodes[v][i] == code) {
                *variant = v;
                *index = i;
                return true;
            }
        }
    }
    return false;
}

const HeadphoneTables kDefaultTables = {g_HeadphoneTableData};

}  // namespace

HrtfSelection SelectHrtf(const HeadphoneTables& tables, int room, int code) {
    int variant = 0;
    int index = 0;
    if (FindCode(code, &variant, &index)) {
        for (int g = 0; g < kHrtfGroupCount; ++g) {
            const HrtfTailGroup& group = kHrtfTailGroups[g];
            if (group.variant != variant || group.room != room) continue;
            const float* base = tables.data + HrtfGroupOffset(g);
            const float* tail = base + kHrtfVariantCodeCount[variant] * kHrtfHeadTableFloats;
            return {base + index * kHrtfHeadTableFloats, tail, group.tailen};
        }
    }
    return {nullptr, nullptr, 0};
}

const float* SelectCtcPair(const HeadphoneTables& tables, int angle) {
    for (int a = 0; a < kCtcAngleCount; ++a) {
        if (kCtcAngles[a] == angle) return tables.data + kHrtfFloats + a * 2 * kCtcTaps;
    }
    return nullptr;
}

const HeadphoneTables* DefaultHeadphoneTables() { return &kDefaultTables; }
