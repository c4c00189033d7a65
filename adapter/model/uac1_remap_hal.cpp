// CUac1RemapHal: factory, InitHardware with the chip id, the switches, the
// product rule and the descriptor rewrite; the entity rows; the render
// stream and the nodes the Audio Streaming parse adds; output-type changes.
#include "adapter/model/uac1_remap_hal.h"

#include "adapter/model/remap_products.h"
#include "adapter/settings.h"
#include "adapter/usb/usb_audio_device.h"
#include "nt/dbg.h"
#include "nt/rtl.h"
#include "stream/usb/usb_capture_stream.h"
#include "stream/usb/usb_render_stream_ex.h"
#include "topology/chip_registers_registry.h"
#include "topology/interface_ref.h"
#include "topology/jack_state_node.h"
#include "topology/remap_entities.h"

namespace {

// Chip identification: vendor request 0x81 to "other", IN, one byte, from
// wIndex 9 (X) and wIndex 8 (Y, masked).
constexpr UCHAR kChipIdRequest = 0x81;
constexpr USHORT kChipIdIndexX = 9;
constexpr USHORT kChipIdIndexY = 8;
constexpr UCHAR kChipIdX = 0x9F;
constexpr UCHAR kChipIdYMask = 0x63;
constexpr UCHAR kChipIdY = 3;

constexpr ULONG kFeatureMask = 0x3FE08F;
constexpr UCHAR kSelectableTerminalId = 3;

// Defaults of the switches (REMAP_SWITCHES order).
constexpr REMAP_SWITCHES kDefaultSwitches = {0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 0, 0, 0, 0};

struct ID_REQUEST {
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST Urb;
    UCHAR Data;
};

NTSTATUS ReadIdByte(IUsbAudioDevice* usb, ID_REQUEST* r, USHORT index, UCHAR* byte) {
    RtlZeroMemory(r, sizeof(*r));
    UsbBuildVendorRequest(reinterpret_cast<PURB>(&r->Urb), URB_FUNCTION_VENDOR_OTHER, (USHORT)sizeof(r->Urb),
                          USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, 0, kChipIdRequest, 0, index, &r->Data,
                          NULL, 1, NULL);
    NTSTATUS status = usb->SubmitUrbSync(reinterpret_cast<PURB>(&r->Urb));
    *byte = NT_SUCCESS(status) && r->Urb.TransferBufferLength >= 1 ? r->Data : 0;
    return status;
}

// Feature units 2, 8 and 15 (the recording units): by the product's flags.
NTSTATUS MakeRecordingUnit(CUac1Hal* model, const UCHAR* descriptor, ULONG index) {
    const ULONG flags = RemapEntityFlags(model->GetVendorId(), model->GetProductId());
    if (flags & REMAP_ENTITY_SCALE_B_NODES) return MakeUac1Entity<CFeatureUnitDbScaleBNodes>(model, descriptor, index);
    if (flags & REMAP_ENTITY_SCALE_B_LED_MUTE)
        return MakeUac1Entity<CFeatureUnitDbScaleBLedMute>(model, descriptor, index);
    return MakeUac1Entity<CFeatureUnitDbScaleB>(model, descriptor, index);
}

// Feature unit 11 (line through): the polling product ORs its jack bit in.
NTSTATUS MakeLineThroughUnit(CUac1Hal* model, const UCHAR* descriptor, ULONG index) {
    if (RemapEntityFlags(model->GetVendorId(), model->GetProductId()) & REMAP_ENTITY_JACK_PRODUCT)
        return MakeUac1Entity<CFeatureUnitFixedBit>(model, descriptor, index);
    return MakeUac1Entity<CFeatureUnitDbScaleA>(model, descriptor, index);
}

}  // namespace

// Output terminal 3: its output types from the model's switches. Only the
// remapped model's own rows call it, with the model itself.
NTSTATUS CUac1RemapHal_MakeSelectableTerminal(CUac1Hal* model, const UCHAR* descriptor, ULONG index) {
    auto* remap = static_cast<CUac1RemapHal*>(model);
    auto* entity = new (NonPagedPoolNx, REMAP_MODEL_TAG) CSelectableOutputTerminal(NULL, index);
    if (entity == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    entity->AddRef();
    const REMAP_SWITCHES& s = remap->Switches();
    NTSTATUS status = entity->Init(descriptor, model->AudioHal(), model->AudioHal(), s.SupportSpdifOut != 0,
                                   s.SupportHPOut != 0, s.Disable8ChOutSupported == 0);
    if (NT_SUCCESS(status)) status = model->AddEntity(entity);
    entity->Release();
    return status;
}

namespace {

const UAC_ENTITY_ROW kRemapRows[] = {
    {UAC_INPUT_TERMINAL, UAC_ANY_ENTITY_ID, MakeUac1Entity<CUacInputTerminalEx>},
    {UAC_OUTPUT_TERMINAL, kSelectableTerminalId, CUac1RemapHal_MakeSelectableTerminal},
    {UAC_OUTPUT_TERMINAL, UAC_ANY_ENTITY_ID, MakeUac1Entity<CUacOutputTerminal>},
    {UAC_MIXER_UNIT, UAC_ANY_ENTITY_ID, MakeUac1Entity<CUacMixerUnit>},
    {UAC_SELECTOR_UNIT, UAC_ANY_ENTITY_ID, MakeUac1Entity<CUacSelectorUnitEx>},
    {UAC_FEATURE_UNIT, 2, MakeRecordingUnit},
    {UAC_FEATURE_UNIT, 8, MakeRecordingUnit},
    {UAC_FEATURE_UNIT, 15, MakeRecordingUnit},
    {UAC_FEATURE_UNIT, 9, MakeUac1Entity<CFeatureUnitDbScaleA>},
    {UAC_FEATURE_UNIT, 11, MakeLineThroughUnit},
    {UAC_FEATURE_UNIT, 13, MakeUac1Entity<CFeatureUnitMuteLed>},
    {UAC_FEATURE_UNIT, 16, MakeUac1Entity<CFeatureUnitMuteOnly>},
    {UAC_FEATURE_UNIT, UAC_ANY_ENTITY_ID, MakeUac1Entity<CUacFeatureUnit>},
};

}  // namespace

NTSTATUS CreateUac1RemapHal(PUNKNOWN* model, PUNKNOWN outer, USHORT vendorId, USHORT productId, UCHAR) {
    return CreateUnknown<CUac1RemapHal>(model, outer, NonPagedPoolNx, REMAP_MODEL_TAG, vendorId, productId);
}

CUac1RemapHal::CUac1RemapHal(PUNKNOWN outer, USHORT vendorId, USHORT productId)
    : CUac1Hal(outer, vendorId, productId),
      m_JackPollEnabled(FALSE),
      m_JackPollRunning(FALSE),
      m_Switches(kDefaultSwitches),
      m_JackStateNode(NULL) {
    m_PoolTag = REMAP_MODEL_TAG;
    KeInitializeTimerEx(&m_JackPollTimer, SynchronizationTimer);
    ResetChipRegisters();
    // A full table leaves the entities without registers: they write
    // nothing, the device still plays.
    if (!NT_SUCCESS(RegisterChipRegisters(AudioHal(), static_cast<IChipRegisters*>(this))))
        DbgPrint("remapped model %p: no room to register its codec registers\n", this);
}

CUac1RemapHal::~CUac1RemapHal() {
    CUac1RemapHal::Stop();
    KeepJackStateNode(NULL);
    UnregisterChipRegisters(AudioHal());
}

const UAC_ENTITY_ROW* CUac1RemapHal::EntityRows(ULONG* count) {
    *count = sizeof(kRemapRows) / sizeof(kRemapRows[0]);
    return kRemapRows;
}

// ---- InitHardware ---------------------------------------------------------------

NTSTATUS CUac1RemapHal::InitHardware() {
    ResetChipRegisters();
    InterfaceRef<IUsbAudioDevice> usb(GetOuterUnknown(), IID_IUsbAudioDevice);
    if (usb.get() == NULL) return usb.status();
    BOOLEAN chipMatches = FALSE;
    NTSTATUS status = ReadChipId(usb.get(), &chipMatches);
    if (!NT_SUCCESS(status)) return status;
    ReadSwitches();
    RtlZeroMemory(&EndpointCaps, sizeof(EndpointCaps));
    EndpointCaps.FeatureMask = kFeatureMask;
    const REMAP_PRODUCT_ROW* row = LookupRemapProduct(VendorId, ProductId);
    if (!(row->RuleFlags & REMAP_RULE_NEEDS_CHIP_ID) || chipMatches) {
        ApplyRemapProductRule(row, chipMatches, &m_Switches);
        if (row->RuleFlags & REMAP_RULE_JACK_POLL) m_JackPollEnabled = TRUE;
        if (row->RuleFlags & REMAP_RULE_REGISTER1) m_ChipRegisters[1].Value = row->Register1;
        if (row->RuleFlags & REMAP_RULE_FEATURE_MASK) EndpointCaps.FeatureMask = row->FeatureMask;
    }
    if (m_Switches.Disable2ChOutSupported) m_Switches.SupportHPOut = m_Switches.SupportSpdifOut = 0;
    status = RewriteConfiguration(usb.get());
    if (NT_SUCCESS(status)) status = ParseAudioControlInterface();
    if (NT_SUCCESS(status)) status = ParseAudioStreamingInterfaces();
    if (NT_SUCCESS(status)) status = InitChip();
    return status;
}

// Only the second request's failure counts; a request block that cannot
// be allocated reads both bytes as 0.
NTSTATUS CUac1RemapHal::ReadChipId(IUsbAudioDevice* usb, BOOLEAN* matches) {
    *matches = FALSE;
    auto* request = static_cast<ID_REQUEST*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ID_REQUEST), m_PoolTag));
    if (request == NULL) return STATUS_SUCCESS;
    UCHAR x = 0, y = 0;
    ReadIdByte(usb, request, kChipIdIndexX, &x);
    NTSTATUS status = ReadIdByte(usb, request, kChipIdIndexY, &y);
    ExFreePoolWithTag(request, m_PoolTag);
    if (!NT_SUCCESS(status)) return status;
    *matches = x == kChipIdX && (y & kChipIdYMask) == kChipIdY;
    return STATUS_SUCCESS;
}

// Each switch is a 4-byte value whose low byte counts; a missing or
// unreadable value keeps the default.
void CUac1RemapHal::ReadSwitches() {
    m_Switches = kDefaultSwitches;
    auto* bytes = reinterpret_cast<UCHAR*>(&m_Switches);
    for (ULONG i = 0; i < REMAP_SWITCH_COUNT; ++i) {
        WCHAR name[40] = {};
        for (ULONG c = 0; REMAP_SWITCH_NAMES[i][c] != '\0' && c + 1 < 40; ++c) name[c] = (WCHAR)REMAP_SWITCH_NAMES[i][c];
        ULONG value = 0;
        if (NT_SUCCESS(SettingsBinaryValue(Fdo, SETTINGS_OP_READ, &value, sizeof(value), name)))
            bytes[i] = (UCHAR)value;
    }
}

NTSTATUS CUac1RemapHal::RewriteConfiguration(IUsbAudioDevice* usb) {
    PUSB_CONFIGURATION_DESCRIPTOR configuration = usb->GetConfigurationDescriptor();
    if (configuration == NULL) return STATUS_UNSUCCESSFUL;
    ULONG length = 0;
    NTSTATUS status = RewriteRemapConfiguration(reinterpret_cast<UCHAR*>(configuration), configuration->wTotalLength,
                                                &m_Switches, &length);
    if (status == STATUS_DEVICE_CONFIGURATION_ERROR)
        DbgPrint("device %04x:%04x: the configuration descriptor has not the remapped family's layout; the device is "
                 "not started\n",
                 (unsigned)VendorId, (unsigned)ProductId);
    else if (!NT_SUCCESS(status))
        DbgPrint("device %04x:%04x: the switches leave no playback setting (6- and 8-channel output both off); the "
                 "device is not started\n",
                 (unsigned)VendorId, (unsigned)ProductId);
    return status;
}

// ---- streams ------------------------------------------------------------------------

NTSTATUS CUac1RemapHal::CreateStream(BOOLEAN capture, ULONG interfaceNumber, ULONG terminalNodeId,
                                     CCyclicControl** stream) {
    if (capture)
        return FinishStream(new (NonPagedPoolNx, m_PoolTag) CUsbCaptureStream(NULL, interfaceNumber, terminalNodeId),
                            capture, stream);
    *stream = NULL;
    auto* render = new (NonPagedPoolNx, m_PoolTag) CUsbRenderStreamEx(NULL, interfaceNumber, terminalNodeId);
    if (render == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    render->AddRef();
    NTSTATUS status = render->Init(FALSE, AudioHal(), static_cast<IChipRegisters*>(this));
    if (!NT_SUCCESS(status)) {
        render->Release();
        return status;
    }
    *stream = render;
    return STATUS_SUCCESS;
}

// The generic parse, then on every render engine the jack-state node (the
// polling product) and the channel swap (8-channel output, and neither the
// vendor nor the product that never swap). Node errors do not stop the
// loop: the last one is the result; the buffers are sized again for each
// engine whatever happened.
NTSTATUS CUac1RemapHal::ParseAudioStreaming(const USB_CONFIGURATION_DESCRIPTOR* configuration,
                                            const UCHAR* descriptor, ULONG bytesToEnd) {
    NTSTATUS status = CUac1Hal::ParseAudioStreaming(configuration, descriptor, bytesToEnd);
    if (!NT_SUCCESS(status)) return status;
    const ULONG flags = RemapEntityFlags(VendorId, ProductId);
    const BOOLEAN jackNode = (flags & REMAP_ENTITY_JACK_PRODUCT) != 0;
    const BOOLEAN swapNode = (flags & REMAP_ENTITY_NO_CHANNEL_SWAP) == 0 && !m_Switches.Disable8ChOutSupported;
    const ULONG count = GetStreamEngineCount();
    for (ULONG i = 0; i < count; ++i) {
        IStreamEngine* engine = NULL;
        if (!NT_SUCCESS(GetStreamEngine(i, &engine)) || engine == NULL || engine->IsCapture()) continue;
        NTSTATUS nodes = AddRenderNodes(static_cast<CCyclicControl*>(engine), jackNode, swapNode);
        if (nodes != STATUS_PENDING) status = nodes;
    }
    return status;
}

// STATUS_PENDING when no node was asked for.
NTSTATUS CUac1RemapHal::AddRenderNodes(CCyclicControl* engine, BOOLEAN jackNode, BOOLEAN swapNode) {
    NTSTATUS status = STATUS_PENDING;
    if (jackNode) {
        auto* node = new (NonPagedPoolNx, m_PoolTag) CJackStateNode(NULL);
        if (node != NULL) {
            node->AddRef();
            status = node->ResetState();
            if (NT_SUCCESS(status)) status = engine->AddDspNode(node);
            if (NT_SUCCESS(status)) KeepJackStateNode(node);
            node->Release();
        }
        engine->AllocateBuffers();
    }
    if (swapNode) {
        auto* node = new (NonPagedPoolNx, m_PoolTag) CChannelSwapProcessor(NULL);
        if (node != NULL) {
            node->AddRef();
            status = node->Reset();
            if (NT_SUCCESS(status)) status = engine->AddDspNode(node);
            node->Release();
        }
        engine->AllocateBuffers();
    }
    return status;
}

void CUac1RemapHal::KeepJackStateNode(CJackStateNode* node) {
    if (node != NULL) node->AddRef();
    CJackStateNode* old = m_JackStateNode;
    m_JackStateNode = node;
    if (old != NULL) old->Release();
}

// ---- output-type changes ---------------------------------------------------------

NTSTATUS CUac1RemapHal::InstallRenamed(IStreamEngine* engine, ULONG unitId) {
    UNREFERENCED_PARAMETER(engine);
    OnUnitChanged(unitId);
    return STATUS_SUCCESS;
}
