// The headphone engine's response tables: 27 head tables (10 responses of
// 1024 taps per room and angle code), 9 tail tables (2 responses of tailen
// taps) shared by the codes of one variant in one room, then the crosstalk
// pairs (A, B; 256 taps each) for 5, 10, 15, 20 and 30 degrees. All float32
// at 44100 Hz, one contiguous block; the generated set is hrtf_data.cpp
// (tools/hrtfgen), and tests may hand the engine a set of their own in the
// same layout.
#pragma once

enum : int {
    ROOMSIZE_UNDEFINED = -1,
    ROOMSIZE_SMALL = 1,
    ROOMSIZE_MEDIUM = 2,
    ROOMSIZE_LARGE = 3,
};

enum : int {
    SPEAKERANGLE_UNDEFINED = -1,
    SPEAKERANGLE_24 = 24,
    SPEAKERANGLE_25 = 25,
    SPEAKERANGLE_29 = 29,
    SPEAKERANGLE_30 = 30,
    SPEAKERANGLE_31 = 31,
    SPEAKERANGLE_34 = 34,
    SPEAKERANGLE_35 = 35,
    SPEAKERANGLE_39 = 39,
    SPEAKERANGLE_40 = 40,
};

enum : int {
    CTCANGLE_UNDEFINED = -1,
    CTCANGLE_5 = 5,
    CTCANGLE_10 = 10,
    CTCANGLE_15 = 15,
    CTCANGLE_20 = 20,
    CTCANGLE_30 = 30,
};

constexpr int kHrtfHeadCount = 10;
constexpr int kHrtfHeadLen = 1024;
constexpr int kHrtfHeadTableFloats = kHrtfHeadCount * kHrtfHeadLen;
constexpr int kHrtfMaxTailLen = 7168;
constexpr int kCtcTaps = 256;
constexpr int kCtcAngleCount = 5;
constexpr int kCtcAngles[kCtcAngleCount] = {CTCANGLE_5, CTCANGLE_10, CTCANGLE_15, CTCANGLE_20,
                                            CTCANGLE_30};

// The response variants: the codes that share a tail table in one room.
constexpr int kHrtfVariantCount = 3;
constexpr int kHrtfVariantCodes[kHrtfVariantCount][4] = {
    {24, 29, 34, 39}, {25, 30, 35, 40}, {31, 0, 0, 0}};
constexpr int kHrtfVariantCodeCount[kHrtfVariantCount] = {4, 4, 1};

// One row per tail table, in storage order: its variant, room and tail length.
struct HrtfTailGroup {
    int variant;
    int room;
    int tailen;
};
constexpr int kHrtfGroupCount = 9;
constexpr HrtfTailGroup kHrtfTailGroups[kHrtfGroupCount] = {
    {0, ROOMSIZE_LARGE, 7168}, {0, ROOMSIZE_MEDIUM, 3072}, {0, ROOMSIZE_SMALL, 3072},
    {1, ROOMSIZE_LARGE, 7168}, {1, ROOMSIZE_MEDIUM, 5120}, {1, ROOMSIZE_SMALL, 3072},
    {2, ROOMSIZE_LARGE, 6144}, {2, ROOMSIZE_MEDIUM, 6144}, {2, ROOMSIZE_SMALL, 6144},
};

// Floats of one group: its head tables, then its two tail responses.
constexpr int HrtfGroupFloats(int group) {
    return kHrtfVariantCodeCount[kHrtfTailGroups[group].variant] * kHrtfHeadTableFloats +
           2 * kHrtfTailGroups[group].tailen;
}

constexpr int HrtfGroupOffset(int group) {
    int offset = 0;
    for (int g = 0; g < group; ++g) offset += HrtfGroupFloats(g);
    return offset;
}

constexpr int kHrtfFloats = HrtfGroupOffset(kHrtfGroupCount);
constexpr int kCtcFloats = kCtcAngleCount * 2 * kCtcTaps;
constexpr int kHeadphoneTableFloats = kHrtfFloats + kCtcFloats;
static_assert(kHrtfFloats == 370688, "HRTF block is 1,482,752 bytes");
static_assert(kCtcFloats == 2560, "crosstalk block is 10,240 bytes");

// A table set: kHeadphoneTableFloats floats in the layout above.
struct HeadphoneTables {
    const float* data;
};

// Head table, tail table and tail length of one room and code; head is null
// when the pair names no table.
struct HrtfSelection {
    const float* head;
    const float* tail;
    int tailen;
};
HrtfSelection SelectHrtf(const HeadphoneTables& tables, int room, int code);

// The crosstalk pair (A then B) of an angle in degrees; null for any other.
const float* SelectCtcPair(const HeadphoneTables& tables, int angle);

// The generated set (hrtf_data.cpp).
extern const float g_HeadphoneTableData[kHeadphoneTableFloats];
const HeadphoneTables* DefaultHeadphoneTables();
