// The wave filter's description, built by Init from the stream engine:
// the streaming pin's data ranges (one per sub-format, PCM first), the
// two pins, the converter node, the two connections and the categories.
// Every block is paged pool ("WAVC"), owned by the miniport.
#include <cstring>

#include "topology/topo_guids.h"
#include "stream/wave/miniport_wave_cyclic.h"

namespace {

// Standard streaming on the streaming pin.
const KSPIN_INTERFACE kStreamingInterface = {{{KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING, 0}}};

KSATTRIBUTE g_ModeAttribute = {sizeof(KSATTRIBUTE), 0, KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE};
PKSATTRIBUTE g_ModeAttributes[] = {&g_ModeAttribute};

template <typename T>
T* AllocateZeroed(ULONG count) {
    size_t bytes = sizeof(T) * count;
    auto* block = static_cast<T*>(ExAllocatePoolWithTag(PagedPool, bytes, WAVE_MINIPORT_TAG));
    if (block) memset(static_cast<void*>(block), 0, bytes);
    return block;
}

template <typename T>
void FreeBlock(T*& block) {
    if (block) ExFreePoolWithTag(block, WAVE_MINIPORT_TAG);
    block = NULL;
}

// A new range with every bound taken from one format.
KSDATARANGE_AUDIO RangeOf(const WAVEFORMATEXTENSIBLE& format) {
    KSDATARANGE_AUDIO range = {};
    range.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
    range.DataRange.Flags = KSDATARANGE_ATTRIBUTES;
    range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    range.DataRange.SubFormat = WaveSubFormat(format);
    range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    range.MaximumChannels = format.Format.nChannels;
    range.MinimumBitsPerSample = range.MaximumBitsPerSample = format.Samples.wValidBitsPerSample;
    range.MinimumSampleFrequency = range.MaximumSampleFrequency = format.Format.nSamplesPerSec;
    return range;
}

void Widen(KSDATARANGE_AUDIO* range, const WAVEFORMATEXTENSIBLE& format) {
    ULONG rate = format.Format.nSamplesPerSec, bits = format.Samples.wValidBitsPerSample;
    if (rate > range->MaximumSampleFrequency) range->MaximumSampleFrequency = rate;
    if (rate < range->MinimumSampleFrequency) range->MinimumSampleFrequency = rate;
    if (bits > range->MaximumBitsPerSample) range->MaximumBitsPerSample = bits;
    if (bits < range->MinimumBitsPerSample) range->MinimumBitsPerSample = bits;
    if (format.Format.nChannels > range->MaximumChannels) range->MaximumChannels = format.Format.nChannels;
}

// Gathers one range per distinct sub-format (DSD excluded) into ranges
// (room for n); *count gets the number made.
NTSTATUS GatherRanges(IStreamEngine* engine, ULONG n, KSDATARANGE_AUDIO* ranges, ULONG* count) {
    *count = 0;
    for (ULONG i = 0; i < n; i++) {
        WAVEFORMATEXTENSIBLE format;
        NTSTATUS status = engine->GetFormat(i, &format);
        if (!NT_SUCCESS(status)) return status;
        if (WaveSubFormat(format) == KSDATAFORMAT_SUBTYPE_VENDOR_DSD) continue;
        ULONG k = 0;
        const GUID subFormat = WaveSubFormat(format);
        while (k < *count && ranges[k].DataRange.SubFormat != subFormat) k++;
        if (k < *count)
            Widen(&ranges[k], format);
        else
            ranges[(*count)++] = RangeOf(format);
    }
    return STATUS_SUCCESS;
}

}  // namespace

const KSDATARANGE WaveBridgePinDataRange = {{sizeof(KSDATARANGE), 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO,
                                             KSDATAFORMAT_SUBTYPE_ANALOG, KSDATAFORMAT_SPECIFIER_NONE}};

const KSATTRIBUTE_LIST WaveDataRangeAttributeList = {1, g_ModeAttributes};

NTSTATUS CMiniportWaveCyclic::BuildDataRanges() {
    ULONG n = m_pStreamEngine->GetFormatCount();
    if (n == 0) return STATUS_INSUFFICIENT_RESOURCES;
    KSDATARANGE_AUDIO* gathered = AllocateZeroed<KSDATARANGE_AUDIO>(n);
    if (gathered == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG count = 0;
    NTSTATUS status = GatherRanges(m_pStreamEngine, n, gathered, &count);
    ULONG pcm = 0;
    while (NT_SUCCESS(status) && pcm < count && gathered[pcm].DataRange.SubFormat != KSDATAFORMAT_SUBTYPE_PCM) pcm++;
    if (NT_SUCCESS(status) && pcm == count) status = STATUS_INSUFFICIENT_RESOURCES;  // no PCM: no filter
    if (NT_SUCCESS(status)) {
        m_pDataRanges = AllocateZeroed<KSDATARANGE_AUDIO>(count);
        m_ppDataRanges = AllocateZeroed<PKSDATARANGE>(2 * count);
        if (m_pDataRanges == NULL || m_ppDataRanges == NULL) status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status)) {
        memcpy(m_pDataRanges, gathered, sizeof(KSDATARANGE_AUDIO) * count);
        if (pcm != 0) {
            m_pDataRanges[0] = gathered[pcm];
            m_pDataRanges[pcm] = gathered[0];
        }
        for (ULONG k = 0; k < count; k++) {
            m_ppDataRanges[2 * k] = &m_pDataRanges[k].DataRange;
            m_ppDataRanges[2 * k + 1] = (PKSDATARANGE)(&WaveDataRangeAttributeList);
        }
        m_nDataRangeEntries = 2 * count;
    }
    FreeBlock(gathered);
    return status;
}

NTSTATUS CMiniportWaveCyclic::GetDescription(PPCFILTER_DESCRIPTOR* description) {
    if (description == NULL) return STATUS_INVALID_PARAMETER;
    *description = m_pDescriptor;
    return m_pDescriptor ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE;
}

NTSTATUS CMiniportWaveCyclic::BuildFilterDescriptor() {
    m_pDescriptor = AllocateZeroed<PCFILTER_DESCRIPTOR>(1);
    if (m_pDescriptor == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    m_pDescriptor->Version = 0;
    m_pDescriptor->AutomationTable = &WaveFilterAutomationTable;
    NTSTATUS status = BuildPins();
    if (NT_SUCCESS(status)) status = BuildNodes();
    if (NT_SUCCESS(status)) status = BuildConnections();
    if (NT_SUCCESS(status)) {
        m_pCategories = AllocateZeroed<GUID>(WAVE_CATEGORY_COUNT);
        if (m_pCategories == NULL) status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!NT_SUCCESS(status)) {
        FreeDescription();
        return status;
    }
    m_pCategories[0] = KSCATEGORY_AUDIO;
    m_pCategories[1] = m_pStreamEngine->IsCapture() ? KSCATEGORY_CAPTURE : KSCATEGORY_RENDER;
    m_pCategories[2] = GUID_DEVINTERFACE_ENUM_PRIVATE;
    m_pDescriptor->CategoryCount = WAVE_CATEGORY_COUNT;
    m_pDescriptor->Categories = m_pCategories;
    return STATUS_SUCCESS;
}

NTSTATUS CMiniportWaveCyclic::BuildPins() {
    m_pPins = AllocateZeroed<PCPIN_DESCRIPTOR>(WAVE_PIN_COUNT);
    if (m_pPins == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    BOOLEAN capture = m_pStreamEngine->IsCapture() != 0;
    PCPIN_DESCRIPTOR& streaming = m_pPins[WAVE_PIN_STREAMING];
    streaming.MaxGlobalInstanceCount = streaming.MaxFilterInstanceCount = streaming.MinFilterInstanceCount = 1;
    streaming.KsPinDescriptor.InterfacesCount = 1;
    streaming.KsPinDescriptor.Interfaces = &kStreamingInterface;
    streaming.KsPinDescriptor.DataRangesCount = m_nDataRangeEntries;
    streaming.KsPinDescriptor.DataRanges = m_ppDataRanges;
    streaming.KsPinDescriptor.DataFlow = capture ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN;
    streaming.KsPinDescriptor.Communication = KSPIN_COMMUNICATION_SINK;
    streaming.KsPinDescriptor.Category = &KSCATEGORY_AUDIO;

    static const PKSDATARANGE kBridgeRanges[] = {(PKSDATARANGE)&WaveBridgePinDataRange};
    PCPIN_DESCRIPTOR& bridge = m_pPins[WAVE_PIN_BRIDGE];
    bridge.KsPinDescriptor.DataRangesCount = 1;
    bridge.KsPinDescriptor.DataRanges = kBridgeRanges;
    bridge.KsPinDescriptor.DataFlow = capture ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT;
    bridge.KsPinDescriptor.Communication = KSPIN_COMMUNICATION_NONE;
    bridge.KsPinDescriptor.Category = &KSCATEGORY_AUDIO;

    m_pDescriptor->PinSize = sizeof(PCPIN_DESCRIPTOR);
    m_pDescriptor->PinCount = WAVE_PIN_COUNT;
    m_pDescriptor->Pins = m_pPins;
    return STATUS_SUCCESS;
}

NTSTATUS CMiniportWaveCyclic::BuildNodes() {
    m_pNodes = AllocateZeroed<PCNODE_DESCRIPTOR>(1);
    if (m_pNodes == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    m_pNodes[0].Type = m_pStreamEngine->IsCapture() ? &KSNODETYPE_ADC : &KSNODETYPE_DAC;
    m_pDescriptor->NodeSize = sizeof(PCNODE_DESCRIPTOR);
    m_pDescriptor->NodeCount = 1;
    m_pDescriptor->Nodes = m_pNodes;
    return STATUS_SUCCESS;
}

NTSTATUS CMiniportWaveCyclic::BuildConnections() {
    m_pConnections = AllocateZeroed<PCCONNECTION_DESCRIPTOR>(WAVE_CONNECTION_COUNT);
    if (m_pConnections == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    // Data enters the node at its input pin and leaves at its output pin:
    // from the streaming pin for render, from the bridge pin for capture.
    ULONG in = m_pStreamEngine->IsCapture() ? WAVE_PIN_BRIDGE : WAVE_PIN_STREAMING;
    ULONG out = m_pStreamEngine->IsCapture() ? WAVE_PIN_STREAMING : WAVE_PIN_BRIDGE;
    m_pConnections[0] = {KSFILTER_NODE, in, 0, KSNODEPIN_STANDARD_IN};
    m_pConnections[1] = {0, KSNODEPIN_STANDARD_OUT, KSFILTER_NODE, out};
    m_pDescriptor->ConnectionCount = WAVE_CONNECTION_COUNT;
    m_pDescriptor->Connections = m_pConnections;
    return STATUS_SUCCESS;
}

VOID CMiniportWaveCyclic::FreeDescription() {
    FreeBlock(m_pDescriptor);
    FreeBlock(m_pConnections);
    FreeBlock(m_pNodes);
    FreeBlock(m_pPins);
    FreeBlock(m_pCategories);
    FreeBlock(m_pDataRanges);
    FreeBlock(m_ppDataRanges);
    m_nDataRangeEntries = 0;
}
