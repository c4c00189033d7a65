// The UAC 1.0 models of chip families A, B and C: the generic CUac1Hal
// with their own capability words, their own entity classes and, for
// family C, a stereo render stream behind 8-channel render formats.
//
//   model          tag     feature units                    terminals           render stream
//   CUac1ChipAHal  Z7AK    9: A9; 10-12: A10; 13, 14: A13   A (one pin, no      CUsbRenderStream
//                                                           jack or type list)
//   CUac1ChipBHal  Z7BP    9: B9; 10: B10; 13: B13          B; terminal 6       CUsbRenderStream
//                                                           speaker ->
//                                                           headphones where
//                                                           the product says
//   CUac1ChipCHal  UAC1    every id: the effect feature     generic             CUsbStereoRenderStream,
//                          unit (a creator slot)                                formats of 8 channels
//
// Other feature units are CUacFeatureUnit; mixers and selectors are the
// generic classes. None of the three runs the generic parser's
// required-terminal check.
//
// Capability words (InitHardware): A: FeatureMask 0x3FE02F, ExtendedCaps
// 0x0C. B: FeatureMask 0x24 on the products flagged for it, else 0x0F. C:
// by the chip variant the family choice read from the model string:
// variant 5 FeatureMask 0x20006, ExtendedCaps 8; variant 6 FeatureMask and
// Flags from CHIP_C_VARIANT6_TABLE; any other variant fails with
// STATUS_UNSUCCESSFUL.
//
// These models answer IUnknown, IAudioHal and IAdapterPowerManagement but
// not IUacHal: the adapter keeps no IUacHal for them, so an output-type
// change never re-registers their subdevices.
#pragma once

#include "adapter/model/uac1_hal.h"

inline constexpr ULONG CHIP_A_MODEL_TAG = MakePoolTag("Z7AK");
inline constexpr ULONG CHIP_B_MODEL_TAG = MakePoolTag("Z7BP");
inline constexpr ULONG CHIP_C_MODEL_TAG = MakePoolTag("Z8CT");

// The family slots of the adapter's factory table.
NTSTATUS CreateUac1ChipAHal(PUNKNOWN* model, PUNKNOWN outer, USHORT vendorId, USHORT productId, UCHAR chipVariant);
NTSTATUS CreateUac1ChipBHal(PUNKNOWN* model, PUNKNOWN outer, USHORT vendorId, USHORT productId, UCHAR chipVariant);
NTSTATUS CreateUac1ChipCHal(PUNKNOWN* model, PUNKNOWN outer, USHORT vendorId, USHORT productId, UCHAR chipVariant);

// Chip family C's feature units are made by this creator; while it is
// NULL a family-C parse that meets a feature unit fails with
// STATUS_NOT_SUPPORTED. Returns the creator it replaced. Set before any
// device starts.
PFN_MAKE_ENTITY SetChipCFeatureUnitCreator(PFN_MAKE_ENTITY creator);

// Shared by the three families.
class CUac1ChipHal : public CUac1Hal {
public:
    CUac1ChipHal(PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId, ULONG poolTag);
    // IID_IUacHal (and anything but IUnknown, IAudioHal and the power
    // interface): STATUS_INVALID_PARAMETER with *out NULL.
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;
    // The transport, the capability words, both parsers and InitChip.
    NTSTATUS InitHardware() override;

protected:
    // The family's words into EndpointCaps (zeroed before).
    virtual NTSTATUS SetCapabilityWords() = 0;
    NTSTATUS CheckRequiredEntities() override { return STATUS_SUCCESS; }
    ULONG MislabelledTerminal() override { return UAC_ANY_ENTITY_ID; }
};

class CUac1ChipAHal : public CUac1ChipHal {
public:
    CUac1ChipAHal(PUNKNOWN outer, USHORT vendorId, USHORT productId)
        : CUac1ChipHal(outer, vendorId, productId, CHIP_A_MODEL_TAG) {}

protected:
    NTSTATUS SetCapabilityWords() override;
    const UAC_ENTITY_ROW* EntityRows(ULONG* count) override;
};

class CUac1ChipBHal : public CUac1ChipHal {
public:
    CUac1ChipBHal(PUNKNOWN outer, USHORT vendorId, USHORT productId)
        : CUac1ChipHal(outer, vendorId, productId, CHIP_B_MODEL_TAG) {}

protected:
    NTSTATUS SetCapabilityWords() override;
    const UAC_ENTITY_ROW* EntityRows(ULONG* count) override;
    ULONG MislabelledTerminal() override;
};

class CUac1ChipCHal : public CUac1ChipHal {
public:
    // The model object is tagged "Z8CT"; its entities and streams "UAC1".
    CUac1ChipCHal(PUNKNOWN outer, USHORT vendorId, USHORT productId, UCHAR chipVariant);

protected:
    NTSTATUS SetCapabilityWords() override;
    const UAC_ENTITY_ROW* EntityRows(ULONG* count) override;
    NTSTATUS CreateStream(BOOLEAN capture, ULONG interfaceNumber, ULONG terminalNodeId,
                          CCyclicControl** stream) override;
    UCHAR RenderFormatChannels(UCHAR) override { return 8; }
};
