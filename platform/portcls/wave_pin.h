// The Windows side of a wave-cyclic pin, for tests and the host program: it
// does what the audio engine and the port's pin do when a stream is opened
// on a wave-cyclic filter, and nothing more.
//
// - IntersectPin asks the miniport (DataRangeIntersection) against each of
//   the pin's data ranges in order; the first answer other than
//   STATUS_NO_MATCH is the result.
// - Open checks the pin (a sink pin, instance limits), the connect buffer
//   (the KSDATAFORMAT and, when flagged, its attribute list at FormatSize
//   rounded up to 8 lie wholly inside it) and that the format fits a data
//   range of the pin; then NewStream, AddMember of the pin's service sink to
//   the stream's group, SetNotificationFreq(10).
// - SetState walks one state at a time (STOP, ACQUIRE, PAUSE, RUN) and stops
//   at the first step that fails. Before a render pin runs, its buffer is
//   filled ahead of the position (the prefill).
// - Service (the sink's RequestService, at DISPATCH_LEVEL from the group's
//   DPC after IPortWaveCyclic::Notify) reads GetPosition; render writes the
//   client's bytes ahead of it up to position + lead (20 ms: two framing
//   sizes) through CopyTo, and Silence where the client has nothing; capture
//   reads everything up to the position through CopyFrom.
// - Close steps down to STOP, removes the sink, releases the stream.
#pragma once

#include <cstdint>
#include <vector>

#include "nt/ke.h"
#include "portcls/portcls.h"

namespace sim {

class WavePin {
public:
    WavePin();
    ~WavePin();  // closes
    WavePin(const WavePin&) = delete;
    WavePin& operator=(const WavePin&) = delete;

    // port: any interface of a registered wave-cyclic subdevice's port.
    static NTSTATUS IntersectPin(PUNKNOWN port, ULONG pinId, const KSDATARANGE* clientRange,
                                 ULONG outputBufferLength, PVOID resultantFormat,
                                 PULONG resultantFormatLength);

    NTSTATUS Open(PUNKNOWN port, ULONG pinId, const void* connect, ULONG connectSize);
    NTSTATUS SetState(KSSTATE target);
    void Close();

    bool IsOpen() const { return m_Stream != nullptr; }
    bool IsCapture() const { return m_Capture; }
    KSSTATE State() const { return m_State; }

    // Render client: bytes to play, in order, after what is queued already.
    void QueueRender(const void* data, size_t bytes);
    size_t QueuedRenderBytes();
    // Capture client: every byte read so far, in order; taken out.
    std::vector<uint8_t> TakeCaptured();

    // One service pass as the DPC would run it (tests that drive a fake
    // stream by hand). IRQL PASSIVE_LEVEL; raises for the pass.
    void ServiceNow();

    PMINIPORTWAVECYCLICSTREAM Stream() const { return m_Stream; }
    PDMACHANNEL DmaChannel() const { return m_Dma; }
    ULONG FramingSize() const { return m_FramingSize; }
    ULONG LeadBytes() const { return m_Lead; }
    // Service passes run, and bytes of silence written for lack of data.
    uint64_t ServiceCount();
    uint64_t SilenceBytes();

private:
    class Sink;
    friend class Sink;

    NTSTATUS CheckConnect(const PCPIN_DESCRIPTOR& pin, const void* connect, ULONG size);
    NTSTATUS StepTo(KSSTATE next);
    void ResetCounters();
    void Service();  // caller holds m_Lock (DISPATCH_LEVEL)
    void WriteAhead(PUCHAR base, ULONG size);
    // The connected format's bytes per frame (1 when it has none).
    ULONG BlockAlign() const;
    void ReadBehind(PUCHAR base, ULONG size);

    KSPIN_LOCK m_Lock;
    PUNKNOWN m_Port = nullptr;  // one reference while open
    ULONG m_PinId = 0;
    bool m_Capture = false;
    KSSTATE m_State = KSSTATE_STOP;
    std::vector<uint8_t> m_Connect;
    PMINIPORTWAVECYCLICSTREAM m_Stream = nullptr;
    PDMACHANNEL m_Dma = nullptr;
    PSERVICEGROUP m_Group = nullptr;
    Sink* m_Sink = nullptr;
    ULONG m_FramingSize = 0;
    ULONG m_Lead = 0;

    // Under m_Lock. Linear byte counts since the last STOP/ACQUIRE.
    ULONG m_LastPosition = 0;
    uint64_t m_Played = 0;   // position progress
    uint64_t m_Written = 0;  // render: bytes written into the buffer
    uint64_t m_Read = 0;     // capture: bytes read out of the buffer
    std::vector<uint8_t> m_RenderQueue;
    size_t m_RenderHead = 0;
    std::vector<uint8_t> m_Captured;
    uint64_t m_Services = 0;
    uint64_t m_SilenceBytes = 0;
};

}  // namespace sim
