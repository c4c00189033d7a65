// CUac2Hal: the device-family model of a USB Audio Class 2.0 device
// (Audio Control protocol 0x20).
//
// Files: uac2_hal.cpp (factory, capabilities, start and stop, output-type
// changes), uac2_interrupt_thread.cpp (the interrupt and bulk pipes),
// uac2_ac_parser.cpp (Audio Control descriptors into UAC 2.0 entities,
// extra units), uac2_as_parser.cpp (Audio Streaming descriptors into
// stream objects, formats from the clock source's rates), uac2_products.*
// (the stored words and the capability rows).
//
// It shares with the UAC 1.0 model what the two do alike, and takes it from
// there: the model lock, the Audio Control interface selection, the source
// linking and graph check, the extra units (with this model's pool tag),
// the terminal-type pass and the power handling (this model has no chip
// to initialise). Its own: the capability rows, the 6-byte interrupt
// messages with an optional bulk IN pipe, the subdevice numbering on an
// output-type change, and the parsers.
//
// Levels and locks: PASSIVE_LEVEL throughout. ModelLock serialises
// UpdateSubdevices (a topology property thread) and OnInterruptChange (the
// interrupt thread); it is never held while Stop waits for the thread.
#pragma once

#include "adapter/model/uac1_hal.h"

class CCyclicControl;

inline constexpr ULONG UAC2_MODEL_TAG = MakePoolTag("UAC2");

// nodeId of OnControlChange before an entity names a node (distinct from
// UNIT_ID_NONE, which marks absent inputs): no notification is sent.
#define NODE_ID_UNSET 0xFFFFFFFEu

// The UAC 2.0 slot of the adapter's factory table (chipVariant ignored).
NTSTATUS CreateUac2Hal(PUNKNOWN* model, PUNKNOWN outer, USHORT vendorId, USHORT productId, UCHAR chipVariant);

class CUac2Hal : public CUac1Hal {
public:
    CUac2Hal(PUNKNOWN outerUnknown, USHORT vendorId, USHORT productId);
    // Ends a running interrupt thread (stop event, wait) first.
    ~CUac2Hal() override;

    // ---- IAudioHal ----------------------------------------------------------
    // Selects the Audio Control interface and starts the interrupt thread
    // when it has an IN interrupt pipe of packet size 6; the units are not
    // started. A failed thread creation leaves nothing for Stop to wait on.
    NTSTATUS Start() override;
    // Ends the interrupt thread; the units are not stopped.
    NTSTATUS Stop() override;
    // The stored capability words, then both parsers.
    NTSTATUS InitHardware() override;
    NTSTATUS GetEndpointCapabilities(BOOLEAN isCapture, ULONG endpointType, ENDPOINT_CAPS* caps) override;

    // ---- IUacHal ----------------------------------------------------------------
    // Re-registers each engine whose output type changed, under the
    // smallest number of its new type and direction that no other engine
    // holds; sleeps "UpdateMiniportDelay" ms after each.
    NTSTATUS UpdateSubdevices(ULONG unitId) override;
    NTSTATUS ParseAudioControl(const UCHAR* acInterfaceDescriptor, ULONG bytesToEnd) override;
    NTSTATUS ParseAudioStreaming(const USB_CONFIGURATION_DESCRIPTOR* configuration,
                                 const UCHAR* firstAsInterfaceDescriptor, ULONG bytesToEnd) override;

    // ---- interrupt thread (uac2_interrupt_thread.cpp) -------------------------
    static VOID InterruptThreadStart(PVOID model);
    // A change message for entity id: the entity re-reads, the node it
    // names is notified; a terminal's connector change (cs 2) re-installs
    // every wave subdevice. Takes ModelLock.
    NTSTATUS OnInterruptChange(ULONG entityId, ULONG controlSelector, ULONG channel);

    // ---- formats and extra units ----------------------------------------------------
    // The formats of one FORMAT_TYPE for every rate of the clock unit:
    // PCM, DSD at the rates the clock and the stream accept, or IEC 61937.
    static NTSTATUS AddFormatsForClock(CUac2Hal* model, CCyclicControl* engine, ULONG clockUnitId,
                                       UCHAR formatType, ULONG bmFormats, UCHAR alternateSetting,
                                       WAVEFORMATEXTENSIBLE* format);
    // A capture engine's sum units become StereoMix pins first.
    NTSTATUS AddExtraUnits(CCyclicControl* engine);
    NTSTATUS EnableStereoMixUnits(CCyclicControl* engine);

    UCHAR GetBulkPipeIndex() const { return BulkPipeIndex; }

protected:
    // The stream object of an Audio Streaming interface (render: the
    // asynchronous render stream, capture: the capture stream), initialised,
    // with one reference. Tests replace it.
    virtual NTSTATUS CreateUac2Stream(BOOLEAN capture, ULONG interfaceNumber, ULONG terminalNodeId,
                                      ULONG clockUnitId, CCyclicControl** stream);

private:
    NTSTATUS AddUac2Entity(const UCHAR* descriptor, ULONG length);
    struct STREAMING_GROUP2;
    NTSTATUS ParseUac2Group(const UCHAR* first, ULONG bytes, const UCHAR** end);
    NTSTATUS OnUac2AsGeneral(const UCHAR* descriptor, STREAMING_GROUP2* group);
    NTSTATUS OnUac2FormatType(const UCHAR* descriptor, STREAMING_GROUP2* group);

    VOID EndInterruptThread();
    NTSTATUS StartInterruptThread();
    struct INTERRUPT_RUN;
    VOID InterruptThread();
    VOID FollowInterruptTransfers(INTERRUPT_RUN* run);
    BOOLEAN Submit(INTERRUPT_RUN* run, BOOLEAN bulk);
    VOID OnInterruptMessage(const UCHAR* message);

    NTSTATUS RenameSubdevice(IStreamEngine* engine, ULONG index, PWSTR name, PWSTR other);
    ULONG FreeSubdeviceNumber(IStreamEngine* engine, ULONG type, PWSTR name, PWSTR other);
    VOID SleepUpdateDelay();

    UCHAR BulkPipeIndex;
};
