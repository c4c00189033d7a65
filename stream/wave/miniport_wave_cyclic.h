// CMiniportWaveCyclic: the miniport behind every wave filter "<engine
// name>Wave", one per stream engine. Init describes the filter from the
// engine (streaming pin 0 with one data range per sub-format, bridge pin 1
// towards "GlobalTopo", one DAC or ADC node, two connections), and the
// miniport then answers data-range intersection and format validation
// against the engine's formats, offers the RAW signal-processing mode only,
// serves the two private properties, tells the installer which terminal its
// bridge pin meets, and creates at most one stream at a time.
//
// Files: miniport_wave_cyclic.cpp (object, Init, NewStream, small
// interfaces), wave_descriptor.cpp (ranges and filter descriptor),
// wave_formats.cpp (intersection, validation, attribute lists),
// wave_properties.cpp (automation table and handlers).
//
// The port class calls every method at PASSIVE_LEVEL; the miniport has no
// lock of its own. A stream holds no reference on it: the destructor waits
// (holding the device context's MiniportMutex) until no stream counts
// itself open.
#pragma once

#include "adapter/audio_hal.h"
#include "nt/ke.h"
#include "ks/ks_types.h"
#include "portcls/portcls.h"
#include "stream/engine/stream_engine.h"
#include "stream/wave/wave_guids.h"
#include "topology/miniport_topology.h"

// Miniport, stream and descriptor blocks.
inline constexpr ULONG WAVE_MINIPORT_TAG = MakePoolTag("WAVC");

#define WAVE_PIN_STREAMING 0
#define WAVE_PIN_BRIDGE 1
#define WAVE_PIN_COUNT 2
#define WAVE_CONNECTION_COUNT 2
#define WAVE_CATEGORY_COUNT 3
// A data format of a KSDATAFORMAT header followed by a whole extensible
// wave format: what intersection returns.
#define WAVE_RESULT_FORMAT_SIZE ((ULONG)sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE))

// Private wave-filter properties of KSPROPSETID_PrivateAudio.
#define KSPROPERTY_WAVE_ENDPOINT_INFO 1
#define KSPROPERTY_WAVE_FORMAT_CHECK 5

// The creation function handed to IStreamEngine::SetMiniportCreate:
// allocates the miniport from poolType ("WAVC") for the engine at
// engineIndex in the adapter's list and returns its non-delegating unknown
// with one reference (classId is not used).
NTSTATUS CreateMiniportWaveCyclic(PUNKNOWN* unknown, REFCLSID classId, PUNKNOWN outerUnknown, POOL_TYPE poolType,
                                  ULONG engineIndex);

// Copies the wave format of a validated data format into out: 18 + cbSize
// bytes, at most 40 and never past the data format's FormatSize; the rest
// of out is zero.
VOID WaveCopyFormat(PKSDATAFORMAT dataFormat, const WAVEFORMATEX* wave, WAVEFORMATEXTENSIBLE* out);

NTSTATUS PropertyHandler_WaveEndpointInfo(PPCPROPERTY_REQUEST request);
NTSTATUS PropertyHandler_WaveFormatCheck(PPCPROPERTY_REQUEST request);

// The automation table of every wave filter (wave_properties.cpp).
extern const PCAUTOMATION_TABLE WaveFilterAutomationTable;
// The bridge pin's one data range and the attribute list that follows each
// streaming range (wave_descriptor.cpp).
extern const KSDATARANGE WaveBridgePinDataRange;
extern const KSATTRIBUTE_LIST WaveDataRangeAttributeList;

class CMiniportWaveCyclicStream;

class CMiniportWaveCyclic : public IMiniportWaveCyclic,
                            public IMiniportAudioSignalProcessing,
                            public IMiniportInfo,
                            public IPowerNotify,
                            public CUnknown {
public:
    CMiniportWaveCyclic(PUNKNOWN outer, ULONG engineIndex);
    ~CMiniportWaveCyclic() override;

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    // ---- IMiniport / IMiniportWaveCyclic -----------------------------------
    // STATUS_INVALID_DEVICE_STATE before a successful Init.
    NTSTATUS GetDescription(PPCFILTER_DESCRIPTOR* description) override;
    NTSTATUS DataRangeIntersection(ULONG pinId, PKSDATARANGE clientRange, PKSDATARANGE matchingRange,
                                   ULONG outputBufferLength, PVOID resultantFormat,
                                   PULONG resultantFormatLength) override;
    NTSTATUS Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList, PPORTWAVECYCLIC port) override;
    NTSTATUS NewStream(PMINIPORTWAVECYCLICSTREAM* stream, PUNKNOWN outerUnknown, POOL_TYPE poolType, ULONG pin,
                       BOOLEAN capture, PKSDATAFORMAT dataFormat, PDMACHANNEL* dmaChannel,
                       PSERVICEGROUP* serviceGroup) override;
    // ---- IMiniportAudioSignalProcessing --------------------------------------
    NTSTATUS GetModes(ULONG pin, GUID* modes, ULONG* count) override;
    // ---- IMiniportInfo -------------------------------------------------------
    // The unit id of the engine's USB streaming terminal (the last one of
    // the wanted kind); *id untouched when there is none. Always succeeds.
    NTSTATUS QueryMappedId(ULONG* id) override;
    // The miniport's own buffer, valid for its life.
    NTSTATUS GetName(PWSTR* name) override;
    // ---- IPowerNotify --------------------------------------------------------
    VOID PowerChangeNotify(POWER_STATE newState) override;

    // ---- for the stream ------------------------------------------------------
    // Checks the size, offset and major format of a data format and finds
    // its wave format among the engine's formats (a plain WAVEFORMATEX may
    // be rewritten in place). *waveFormat points into dataFormat.
    NTSTATUS ValidateDataFormat(PKSDATAFORMAT dataFormat, WAVEFORMATEX** waveFormat);
    VOID OnStreamOpened();
    VOID OnStreamClosed();
    IPortWaveCyclic* Port() const { return m_pPort; }
    volatile ULONG m_bStreamOpen;

    // ---- helpers shared with the property handlers and tests ----------------
    // The miniport behind a request's MajorTarget, or NULL (no reference).
    static CMiniportWaveCyclic* FromTarget(PUNKNOWN majorTarget);
    NTSTATUS GetEndpointInfo(PPCPROPERTY_REQUEST request);
    NTSTATUS IsFormatSupported(const WAVEFORMATEXTENSIBLE* format);
    static NTSTATUS ParseSignalProcessingMode(const KSMULTIPLE_ITEM* attributes, ULONG size, GUID* mode);
    IStreamEngine* Engine() const { return m_pStreamEngine; }
    DEVICE_POWER_STATE PowerState() const { return m_PowerState; }
    LONG OpenStreams() const { return m_lOpenStreams; }

private:
    NTSTATUS InitSteps(PUNKNOWN unknownAdapter);
    VOID FreeDescription();
    VOID ReleaseEverything();

    // wave_descriptor.cpp
    NTSTATUS BuildDataRanges();
    NTSTATUS BuildFilterDescriptor();
    NTSTATUS BuildPins();
    NTSTATUS BuildNodes();
    NTSTATUS BuildConnections();

    // wave_formats.cpp
    BOOLEAN IsSubFormatSupported(const GUID& subFormat);
    NTSTATUS MatchEngineFormat(WAVEFORMATEXTENSIBLE* format);
    NTSTATUS IntersectWildcard(const KSDATARANGE_AUDIO* matching, PVOID result);
    NTSTATUS IntersectAudioRange(const KSDATARANGE_AUDIO* client, const KSDATARANGE_AUDIO* matching, PVOID result);

    PCFILTER_DESCRIPTOR* m_pDescriptor;
    PCPIN_DESCRIPTOR* m_pPins;
    PCNODE_DESCRIPTOR* m_pNodes;
    PCCONNECTION_DESCRIPTOR* m_pConnections;
    GUID* m_pCategories;
    IPortWaveCyclic* m_pPort;
    PWSTR m_pwszName;
    IAudioHal* m_pAudioHal;
    IStreamEngine* m_pStreamEngine;
    ULONG m_nEngineIndex;
    DEVICE_POWER_STATE m_PowerState;
    KEVENT m_NoStreamEvent;
    volatile LONG m_lOpenStreams;
    KSDATARANGE_AUDIO* m_pDataRanges;
    PKSDATARANGE* m_ppDataRanges;
    ULONG m_nDataRangeEntries;
};
