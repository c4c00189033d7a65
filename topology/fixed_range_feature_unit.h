// Feature units and terminals of UAC 1.0 chip families A and B.
//
// Their feature units ignore what the device reports about volume ranges:
// each unit id has a fixed range and a fixed conversion between the
// device's 16-bit value and the level (1/65536 dB); switches exist only on
// channel 0; the nodes are built without the vendor control block. The
// range requests (GET_MAX, GET_MIN, GET_RES) are still sent and must all
// succeed, though their answers are used only for family A's tone
// controls. Levels reach the device channel of their index (index + 1
// when the control is on several channels, else 0), without exchanging
// any channels.
//
//   class                 ids          range (max, min, step)      device n or e -> level
//   CUac1FeatureUnitA9    9            0, -33, 0.125 dB            DB_CURVE_TABLE_38
//   CUac1FeatureUnitA10   10, 11, 12   +33, -6, 1.5 dB             1.5 n + 6.5 dB (n: high byte)
//   CUac1FeatureUnitA13   13, 14       +22.5, -36, 1.5 dB          1.5 n + 6 dB
//   CUac1FeatureUnitB9    9            0, -37, 1 dB                trunc((e + 16) / 192) dB
//   CUac1FeatureUnitB10   10           +22.5, 0, 1.5 dB            e / 256 dB
//   CUac1FeatureUnitB13   13           0x00090001, -13.5, 1.5 dB   1.5 dB x trunc((e - 3456) / 384)
//
// (e: the signed 16-bit value in 1/256 dB.) Known oddities of these chips
// kept as the devices expect them: A10 reads 6.5 dB too high against what
// it sets, B13's maximum is 1/65536 dB above 9 dB, B13 divides unsigned
// (levels below its minimum wrap), and B10 sends tone levels as 2 bytes.
//
// The terminals build one pin each, without the device's jack list and
// terminal-type list.
#pragma once

#include "topology/uac1_feature_unit.h"
#include "topology/uac1_terminals.h"

// Entities of family A and B, and their nodes.
inline constexpr ULONG CHIP_A_ENTITY_TAG = MakePoolTag("Z7AK");
inline constexpr ULONG CHIP_A_NODE_TAG = MakePoolTag("Z7AQ");
inline constexpr ULONG CHIP_B_TAG = MakePoolTag("Z7BP");

// What one fixed-range class differs in.
typedef struct _FIXED_RANGE_ROW {
    LONG Maximum, Minimum, Step;
    // Device value (signed, not 0x8000) to level, level (not minus
    // infinity) to device value.
    LONG (*ToLevel)(SHORT device);
    USHORT (*ToDevice)(LONG level);
    // Tone controls (bass, mid, treble) read as one signed byte of 1/4 dB.
    BOOLEAN ToneReadAsByte;
    // Family A: tone controls are also set as one byte and take their
    // range from the device.
    BOOLEAN ToneAsByte;
} FIXED_RANGE_ROW;

class CUac1FixedRangeFeatureUnit : public CUacFeatureUnit {
public:
    CUac1FixedRangeFeatureUnit(PUNKNOWN outer, ULONG index, const FIXED_RANGE_ROW* row);

    // Family A (nodes "Z7AQ") and family B (nodes "Z7BP"): NULL arguments,
    // a descriptor that is no feature unit or whose bControlSize is not 1
    // or 2 or that is shorter than 7 + bControlSize:
    // STATUS_INVALID_PARAMETER, nothing kept. Then the descriptor copy,
    // CreateNodesA / CreateNodesB and the node chain.
    NTSTATUS InitA(const BYTE* descriptor, IUnknown* device, IAudioHal* builder);
    NTSTATUS InitB(const BYTE* descriptor, IUnknown* device, IAudioHal* builder);
    // The nodes of mute (required: else STATUS_INSUFFICIENT_RESOURCES),
    // volume, bass, mid, treble, AGC and loudness where present.
    NTSTATUS CreateNodesA(IAudioHal* builder);
    NTSTATUS CreateNodesB(IAudioHal* builder);
    NTSTATUS CreateNodes(IAudioHal* builder) override;

    // IBoolControl: channel 0 only.
    NTSTATUS GetBool(ULONG controlSelector, ULONG channelIndex, UCHAR* value) override;
    NTSTATUS SetBool(ULONG controlSelector, ULONG channelIndex, UCHAR value) override;
    NTSTATUS GetBoolChannelCount(ULONG controlSelector, ULONG* count) override;

    // ILevelControl
    NTSTATUS GetLevel(ULONG controlSelector, ULONG channelIndex, LONG* level) override;
    NTSTATUS SetLevel(ULONG controlSelector, ULONG channelIndex, LONG level) override;
    NTSTATUS GetLevelRange(ULONG controlSelector, LONG* maximum, LONG* minimum, LONG* step) override;

protected:
    NTSTATUS InitWithTag(const BYTE* descriptor, IUnknown* device, IAudioHal* builder, ULONG nodeTag);
    NTSTATUS LevelChannel(ULONG controlSelector, ULONG channelIndex, ULONG* channel);

    const FIXED_RANGE_ROW* m_Row;
};

extern const FIXED_RANGE_ROW FIXED_RANGE_A9, FIXED_RANGE_A10, FIXED_RANGE_A13;
extern const FIXED_RANGE_ROW FIXED_RANGE_B9, FIXED_RANGE_B10, FIXED_RANGE_B13;

// The family classes the parsers create: each is its row and its Init.
#define DECLARE_FIXED_RANGE_UNIT(Name, Row, InitFn)                                                  \
    class Name : public CUac1FixedRangeFeatureUnit {                                                 \
    public:                                                                                          \
        Name(PUNKNOWN outer, ULONG index) : CUac1FixedRangeFeatureUnit(outer, index, &Row) {}        \
        NTSTATUS Init(const BYTE* descriptor, IUnknown* device, IAudioHal* builder) {                \
            return InitFn(descriptor, device, builder);                                              \
        }                                                                                            \
    }
DECLARE_FIXED_RANGE_UNIT(CUac1FeatureUnitA9, FIXED_RANGE_A9, InitA);
DECLARE_FIXED_RANGE_UNIT(CUac1FeatureUnitA10, FIXED_RANGE_A10, InitA);
DECLARE_FIXED_RANGE_UNIT(CUac1FeatureUnitA13, FIXED_RANGE_A13, InitA);
DECLARE_FIXED_RANGE_UNIT(CUac1FeatureUnitB9, FIXED_RANGE_B9, InitB);
DECLARE_FIXED_RANGE_UNIT(CUac1FeatureUnitB10, FIXED_RANGE_B10, InitB);
DECLARE_FIXED_RANGE_UNIT(CUac1FeatureUnitB13, FIXED_RANGE_B13, InitB);
#undef DECLARE_FIXED_RANGE_UNIT

// Input terminal: one input pin of the terminal's type, no jack list.
class CUac1ChipInputTerminal : public CUacInputTerminal {
public:
    CUac1ChipInputTerminal(PUNKNOWN outer, ULONG index, ULONG nodeTag)
        : CUacInputTerminal(outer, index), m_NodeTag(nodeTag) {}
    NTSTATUS CreateNodes(IAudioHal* builder) override;

private:
    ULONG m_NodeTag;
};

// Output terminal: one output pin of the terminal's type; no type list,
// stored type or terminal-type node.
class CUac1ChipOutputTerminal : public CUacOutputTerminal {
public:
    CUac1ChipOutputTerminal(PUNKNOWN outer, ULONG index, ULONG nodeTag)
        : CUacOutputTerminal(outer, index), m_NodeTag(nodeTag) {}
    NTSTATUS CreateNodes(IAudioHal* builder) override;

private:
    ULONG m_NodeTag;
};

#define DECLARE_CHIP_TERMINAL(Name, Base, Tag)                                     \
    class Name : public Base {                                                     \
    public:                                                                        \
        Name(PUNKNOWN outer, ULONG index) : Base(outer, index, Tag) {}             \
    }
DECLARE_CHIP_TERMINAL(CUac1InputTerminalA, CUac1ChipInputTerminal, CHIP_A_NODE_TAG);
DECLARE_CHIP_TERMINAL(CUac1OutputTerminalA, CUac1ChipOutputTerminal, CHIP_A_NODE_TAG);
DECLARE_CHIP_TERMINAL(CUac1InputTerminalB, CUac1ChipInputTerminal, CHIP_B_TAG);
DECLARE_CHIP_TERMINAL(CUac1OutputTerminalB, CUac1ChipOutputTerminal, CHIP_B_TAG);
#undef DECLARE_CHIP_TERMINAL
