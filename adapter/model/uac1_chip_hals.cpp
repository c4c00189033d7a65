// The UAC 1.0 models of chip families A, B and C.
#include "adapter/model/uac1_chip_hals.h"

#include "adapter/model/uac1_products.h"
#include "adapter/usb/usb_audio_device.h"
#include "nt/rtl.h"
#include "stream/usb/usb_capture_stream.h"
#include "stream/usb/usb_stereo_render_stream.h"
#include "topology/fixed_range_feature_unit.h"
#include "topology/interface_ref.h"
#include "topology/uac1_effect_feature_unit.h"
#include "topology/uac1_terminals.h"

namespace {

constexpr ULONG kChipAFeatureMask = 0x3FE02F;
constexpr ULONG kChipAExtendedCaps = 0x0C;
constexpr ULONG kChipBFeatureMask = 0x0F;
constexpr ULONG kChipBProductFeatureMask = 0x24;
constexpr ULONG kChipCVariant5FeatureMask = 0x20006;
constexpr ULONG kChipCVariant5ExtendedCaps = 8;
constexpr UCHAR kChipBMislabelledTerminal = 6;

// The effect feature unit, whose vendor controls become the surround and
// headphone effect nodes.
PFN_MAKE_ENTITY g_MakeChipCFeatureUnit = MakeUac1Entity<CUac1EffectFeatureUnit>;

NTSTATUS MakeChipCFeatureUnit(CUac1Hal* model, const UCHAR* descriptor, ULONG index) {
    PFN_MAKE_ENTITY make = __atomic_load_n(&g_MakeChipCFeatureUnit, __ATOMIC_ACQUIRE);
    if (make == NULL) {
        LogDescriptorRefusal(0, descriptor[UAC_ENTITY_ID_OFFSET], UAC_FEATURE_UNIT,
                             "chip family C's feature units are not built into this driver");
        return STATUS_NOT_SUPPORTED;
    }
    return make(model, descriptor, index);
}

const UAC_ENTITY_ROW kChipARows[] = {
    {UAC_INPUT_TERMINAL, UAC_ANY_ENTITY_ID, MakeUac1Entity<CUac1InputTerminalA>},
    {UAC_OUTPUT_TERMINAL, UAC_ANY_ENTITY_ID, MakeUac1Entity<CUac1OutputTerminalA>},
    {UAC_MIXER_UNIT, UAC_ANY_ENTITY_ID, MakeUac1Entity<CUacMixerUnit>},
    {UAC_SELECTOR_UNIT, UAC_ANY_ENTITY_ID, MakeUac1Entity<CUacSelectorUnit>},
    {UAC_FEATURE_UNIT, 9, MakeUac1Entity<CUac1FeatureUnitA9>},
    {UAC_FEATURE_UNIT, 10, MakeUac1Entity<CUac1FeatureUnitA10>},
    {UAC_FEATURE_UNIT, 11, MakeUac1Entity<CUac1FeatureUnitA10>},
    {UAC_FEATURE_UNIT, 12, MakeUac1Entity<CUac1FeatureUnitA10>},
    {UAC_FEATURE_UNIT, 13, MakeUac1Entity<CUac1FeatureUnitA13>},
    {UAC_FEATURE_UNIT, 14, MakeUac1Entity<CUac1FeatureUnitA13>},
    {UAC_FEATURE_UNIT, UAC_ANY_ENTITY_ID, MakeUac1Entity<CUacFeatureUnit>},
};

const UAC_ENTITY_ROW kChipBRows[] = {
    {UAC_INPUT_TERMINAL, UAC_ANY_ENTITY_ID, MakeUac1Entity<CUac1InputTerminalB>},
    {UAC_OUTPUT_TERMINAL, UAC_ANY_ENTITY_ID, MakeUac1Entity<CUac1OutputTerminalB>},
    {UAC_MIXER_UNIT, UAC_ANY_ENTITY_ID, MakeUac1Entity<CUacMixerUnit>},
    {UAC_SELECTOR_UNIT, UAC_ANY_ENTITY_ID, MakeUac1Entity<CUacSelectorUnit>},
    {UAC_FEATURE_UNIT, 9, MakeUac1Entity<CUac1FeatureUnitB9>},
    {UAC_FEATURE_UNIT, 10, MakeUac1Entity<CUac1FeatureUnitB10>},
    {UAC_FEATURE_UNIT, 13, MakeUac1Entity<CUac1FeatureUnitB13>},
    {UAC_FEATURE_UNIT, UAC_ANY_ENTITY_ID, MakeUac1Entity<CUacFeatureUnit>},
};

const UAC_ENTITY_ROW kChipCRows[] = {
    {UAC_INPUT_TERMINAL, UAC_ANY_ENTITY_ID, MakeUac1Entity<CUacInputTerminal>},
    {UAC_OUTPUT_TERMINAL, UAC_ANY_ENTITY_ID, MakeUac1Entity<CUacOutputTerminal>},
    {UAC_MIXER_UNIT, UAC_ANY_ENTITY_ID, MakeUac1Entity<CUacMixerUnit>},
    {UAC_SELECTOR_UNIT, UAC_ANY_ENTITY_ID, MakeUac1Entity<CUacSelectorUnit>},
    {UAC_FEATURE_UNIT, UAC_ANY_ENTITY_ID, MakeChipCFeatureUnit},
};

template <size_t N>
const UAC_ENTITY_ROW* Rows(const UAC_ENTITY_ROW (&rows)[N], ULONG* count) {
    *count = (ULONG)N;
    return rows;
}

}  // namespace

PFN_MAKE_ENTITY SetChipCFeatureUnitCreator(PFN_MAKE_ENTITY creator) {
    return __atomic_exchange_n(&g_MakeChipCFeatureUnit, creator, __ATOMIC_ACQ_REL);
}

NTSTATUS CreateUac1ChipAHal(PUNKNOWN* model, PUNKNOWN outer, USHORT vendorId, USHORT productId, UCHAR) {
    return CreateUnknown<CUac1ChipAHal>(model, outer, NonPagedPoolNx, CHIP_A_MODEL_TAG, vendorId, productId);
}

NTSTATUS CreateUac1ChipBHal(PUNKNOWN* model, PUNKNOWN outer, USHORT vendorId, USHORT productId, UCHAR) {
    return CreateUnknown<CUac1ChipBHal>(model, outer, NonPagedPoolNx, CHIP_B_MODEL_TAG, vendorId, productId);
}

NTSTATUS CreateUac1ChipCHal(PUNKNOWN* model, PUNKNOWN outer, USHORT vendorId, USHORT productId, UCHAR chipVariant) {
    return CreateUnknown<CUac1ChipCHal>(model, outer, NonPagedPoolNx, CHIP_C_MODEL_TAG, vendorId, productId,
                                        chipVariant);
}

// ---- shared -------------------------------------------------------------------------

CUac1ChipHal::CUac1ChipHal(PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId, ULONG poolTag)
    : CUac1Hal(outerUnknown, vendorId, productId) {
    m_PoolTag = poolTag;
}

NTSTATUS CUac1ChipHal::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    if (iid == IID_IUacHal) {
        if (out != NULL) *out = NULL;
        return STATUS_INVALID_PARAMETER;
    }
    return CUac1Hal::NonDelegatingQueryInterface(iid, out);
}

NTSTATUS CUac1ChipHal::InitHardware() {
    InterfaceRef<IUsbAudioDevice> usb(GetOuterUnknown(), IID_IUsbAudioDevice);
    if (usb.get() == NULL) return usb.status();
    RtlZeroMemory(&EndpointCaps, sizeof(EndpointCaps));
    NTSTATUS status = SetCapabilityWords();
    if (NT_SUCCESS(status)) status = ParseAudioControlInterface();
    if (NT_SUCCESS(status)) status = ParseAudioStreamingInterfaces();
    if (NT_SUCCESS(status)) status = InitChip();
    return status;
}

// ---- family A -----------------------------------------------------------------------

NTSTATUS CUac1ChipAHal::SetCapabilityWords() {
    EndpointCaps.FeatureMask = kChipAFeatureMask;
    EndpointCaps.ExtendedCaps = kChipAExtendedCaps;
    return STATUS_SUCCESS;
}

const UAC_ENTITY_ROW* CUac1ChipAHal::EntityRows(ULONG* count) { return Rows(kChipARows, count); }

// ---- family B -----------------------------------------------------------------------

NTSTATUS CUac1ChipBHal::SetCapabilityWords() {
    const bool own = (LookupUac1Product(VendorId, ProductId)->Flags & UAC1_PRODUCT_CHIP_B_MASK_24) != 0;
    EndpointCaps.FeatureMask = own ? kChipBProductFeatureMask : kChipBFeatureMask;
    return STATUS_SUCCESS;
}

const UAC_ENTITY_ROW* CUac1ChipBHal::EntityRows(ULONG* count) { return Rows(kChipBRows, count); }

ULONG CUac1ChipBHal::MislabelledTerminal() {
    return (LookupUac1Product(VendorId, ProductId)->Flags & UAC1_PRODUCT_CHIP_B_TERMINAL6_HEADPHONES)
               ? kChipBMislabelledTerminal
               : UAC_ANY_ENTITY_ID;
}

// ---- family C -----------------------------------------------------------------------

CUac1ChipCHal::CUac1ChipCHal(PUNKNOWN outer, USHORT vendorId, USHORT productId, UCHAR chipVariant)
    : CUac1ChipHal(outer, vendorId, productId, UAC1_MODEL_TAG) {
    ChipVariant = chipVariant;
}

NTSTATUS CUac1ChipCHal::SetCapabilityWords() {
    if (ChipVariant == 5) {
        EndpointCaps.FeatureMask = kChipCVariant5FeatureMask;
        EndpointCaps.ExtendedCaps = kChipCVariant5ExtendedCaps;
        return STATUS_SUCCESS;
    }
    if (ChipVariant == 6) {
        const CHIP_C_PRODUCT_ROW* row = LookupChipCVariant6(VendorId, ProductId);
        EndpointCaps.FeatureMask = row->FeatureMask;
        EndpointCaps.Flags = row->Flags;
        return STATUS_SUCCESS;
    }
    LogDescriptorRefusal(AcInterfaceNumber, 0, 0, "chip family C knows chip variants 5 and 6 only");
    return STATUS_UNSUCCESSFUL;
}

const UAC_ENTITY_ROW* CUac1ChipCHal::EntityRows(ULONG* count) { return Rows(kChipCRows, count); }

NTSTATUS CUac1ChipCHal::CreateStream(BOOLEAN capture, ULONG interfaceNumber, ULONG terminalNodeId,
                                     CCyclicControl** stream) {
    if (capture)
        return FinishStream(new (NonPagedPoolNx, m_PoolTag) CUsbCaptureStream(NULL, interfaceNumber, terminalNodeId),
                            capture, stream);
    return FinishStream(new (NonPagedPoolNx, m_PoolTag) CUsbStereoRenderStream(NULL, interfaceNumber, terminalNodeId),
                        capture, stream);
}
