// The wave filter's two private properties (KSPROPSETID_PrivateAudio):
// id 1 GET answers the endpoint's 32-byte ENDPOINT_CAPS, id 5 SET checks a
// 40-byte format against the engine's formats. The kernel-streaming front
// end has routed the request by set, id and verb already; the handlers
// check the size protocol themselves.
#include "nt/rtl.h"
#include "stream/wave/miniport_wave_cyclic.h"
#include "topology/topo_guids.h"

namespace {

const PCPROPERTY_ITEM kWaveFilterProperties[] = {
    {&KSPROPSETID_PrivateAudio, KSPROPERTY_WAVE_ENDPOINT_INFO, KSPROPERTY_TYPE_GET, PropertyHandler_WaveEndpointInfo},
    {&KSPROPSETID_PrivateAudio, KSPROPERTY_WAVE_FORMAT_CHECK, KSPROPERTY_TYPE_SET, PropertyHandler_WaveFormatCheck},
};

bool Addresses(PPCPROPERTY_REQUEST request, ULONG id) {
    return request != NULL && request->PropertyItem != NULL && request->PropertyItem->Set != NULL &&
           *request->PropertyItem->Set == KSPROPSETID_PrivateAudio && request->PropertyItem->Id == id;
}

}  // namespace

const PCAUTOMATION_TABLE WaveFilterAutomationTable = {
    sizeof(PCPROPERTY_ITEM), sizeof(kWaveFilterProperties) / sizeof(kWaveFilterProperties[0]), kWaveFilterProperties,
    0, 0, NULL, 0, 0, NULL, 0};

NTSTATUS PropertyHandler_WaveEndpointInfo(PPCPROPERTY_REQUEST request) {
    if (!Addresses(request, KSPROPERTY_WAVE_ENDPOINT_INFO)) return STATUS_INVALID_DEVICE_REQUEST;
    CMiniportWaveCyclic* miniport = CMiniportWaveCyclic::FromTarget(request->MajorTarget);
    if (miniport == NULL) return STATUS_INVALID_DEVICE_REQUEST;
    return miniport->GetEndpointInfo(request);
}

NTSTATUS PropertyHandler_WaveFormatCheck(PPCPROPERTY_REQUEST request) {
    if (!Addresses(request, KSPROPERTY_WAVE_FORMAT_CHECK)) return STATUS_INVALID_DEVICE_REQUEST;
    if (request->ValueSize < sizeof(WAVEFORMATEXTENSIBLE)) return STATUS_INVALID_PARAMETER;
    CMiniportWaveCyclic* miniport = CMiniportWaveCyclic::FromTarget(request->MajorTarget);
    if (miniport == NULL) return STATUS_INVALID_DEVICE_REQUEST;
    return miniport->IsFormatSupported(static_cast<const WAVEFORMATEXTENSIBLE*>(request->Value));
}

NTSTATUS CMiniportWaveCyclic::GetEndpointInfo(PPCPROPERTY_REQUEST request) {
    if (request->ValueSize < sizeof(ENDPOINT_CAPS) || request->Value == NULL) return STATUS_INVALID_DEVICE_REQUEST;
    if (m_pAudioHal == NULL) return STATUS_INVALID_DEVICE_STATE;
    ENDPOINT_CAPS caps = {};
    NTSTATUS status = m_pAudioHal->GetStreamEngineCapabilities(m_nEngineIndex, &caps);
    if (!NT_SUCCESS(status)) return status;
    RtlCopyMemory(request->Value, &caps, sizeof(caps));
    // Only the record goes back to the caller, whatever the buffer's size.
    request->ValueSize = sizeof(ENDPOINT_CAPS);
    return status;
}
