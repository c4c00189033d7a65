// The Windows side of a wave-cyclic pin (see wave_pin.h).
#include "platform/portcls/wave_pin.h"

#include <algorithm>
#include <cstring>

#include "platform/portcls/pc_port.h"

namespace sim {

namespace {

constexpr ULONG kNotificationMs = 10;

const PCPIN_DESCRIPTOR& PinAt(const PCFILTER_DESCRIPTOR* d, ULONG pinId) {
    return *reinterpret_cast<const PCPIN_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(d->Pins) +
                                                      size_t(pinId) * d->PinSize);
}

bool GuidMatches(const GUID& range, const GUID& format) {
    return range == GUID_NULL || range == format;
}

// Channels, bits and rate of a wave format against an audio range. The
// wave format follows the 64-byte header; an extensible format is judged by
// its valid bits.
bool AudioFieldsFit(const KSDATARANGE_AUDIO& range, const UCHAR* format, ULONG formatSize) {
    if (formatSize < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX)) return false;
    WAVEFORMATEX wave;
    std::memcpy(&wave, format + sizeof(KSDATAFORMAT), sizeof(wave));
    ULONG bits = wave.wBitsPerSample;
    if (wave.wFormatTag == WAVE_FORMAT_EXTENSIBLE && wave.cbSize >= 22 &&
        formatSize >= sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE)) {
        WAVEFORMATEXTENSIBLE ext;
        std::memcpy(&ext, format + sizeof(KSDATAFORMAT), sizeof(ext));
        bits = ext.Samples.wValidBitsPerSample;
    }
    return wave.nChannels <= range.MaximumChannels && bits >= range.MinimumBitsPerSample &&
           bits <= range.MaximumBitsPerSample &&
           wave.nSamplesPerSec >= range.MinimumSampleFrequency &&
           wave.nSamplesPerSec <= range.MaximumSampleFrequency;
}

bool FormatFitsRange(const UCHAR* format, const KSDATAFORMAT& header, const KSDATARANGE* range) {
    if (!GuidMatches(range->MajorFormat, header.MajorFormat) ||
        !GuidMatches(range->SubFormat, header.SubFormat) ||
        !GuidMatches(range->Specifier, header.Specifier))
        return false;
    if (range->Specifier == KSDATAFORMAT_SPECIFIER_WAVEFORMATEX &&
        range->FormatSize >= sizeof(KSDATARANGE_AUDIO))
        return AudioFieldsFit(*reinterpret_cast<const KSDATARANGE_AUDIO*>(range), format,
                              header.FormatSize);
    return true;
}

// Calls fn(range) for each data range of the pin; an entry flagged with
// KSDATARANGE_ATTRIBUTES is followed by its attribute list, which is
// skipped. Stops when fn returns true.
template <typename Fn>
void ForEachRange(const PCPIN_DESCRIPTOR& pin, Fn fn) {
    const PKSDATARANGE* ranges = pin.KsPinDescriptor.DataRanges;
    ULONG count = ranges ? pin.KsPinDescriptor.DataRangesCount : 0;
    for (ULONG i = 0; i < count; ++i) {
        const KSDATARANGE* range = ranges[i];
        if (range == nullptr) continue;
        if (fn(range)) return;
        if (range->Flags & KSDATARANGE_ATTRIBUTES) ++i;
    }
}

}  // namespace

// The pin's member of its stream's service group. Holds the pin only while
// it is open: Close clears the pointer under m_Lock, so no service pass
// runs on a closed pin, whatever DPC is still queued.
class WavePin::Sink : public IServiceSink, public pcls::CPcObject {
public:
    explicit Sink(WavePin* pin) : m_Pin(pin) { KeInitializeSpinLock(&m_Lock); }
    PC_OBJECT_UNKNOWN()

    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override {
        if (iid == IID_IUnknown || iid == IID_IServiceSink)
            return ReturnInterface(static_cast<IServiceSink*>(this), out);
        return RefuseInterface(out);
    }

    VOID RequestService() override {
        KIRQL irql;
        KeAcquireSpinLock(&m_Lock, &irql);
        if (m_Pin) {
            KeAcquireSpinLockAtDpcLevel(&m_Pin->m_Lock);
            m_Pin->Service();
            KeReleaseSpinLockFromDpcLevel(&m_Pin->m_Lock);
        }
        KeReleaseSpinLock(&m_Lock, irql);
    }

    void Detach() {
        KIRQL irql;
        KeAcquireSpinLock(&m_Lock, &irql);
        m_Pin = nullptr;
        KeReleaseSpinLock(&m_Lock, irql);
    }

private:
    KSPIN_LOCK m_Lock;
    WavePin* m_Pin;
};

WavePin::WavePin() { KeInitializeSpinLock(&m_Lock); }

WavePin::~WavePin() { Close(); }

NTSTATUS WavePin::IntersectPin(PUNKNOWN port, ULONG pinId, const KSDATARANGE* clientRange,
                               ULONG outputBufferLength, PVOID resultantFormat,
                               PULONG resultantFormatLength) {
    pcls::CPortBase* p = pcls::CPortBase::FromUnknown(port);
    if (p == nullptr || p->Kind() != PcPortKindWaveCyclic) return STATUS_INVALID_PARAMETER;
    if (clientRange == nullptr || clientRange->FormatSize < sizeof(KSDATARANGE))
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = p->AddUser();
    if (!NT_SUCCESS(status)) return status;
    const PCFILTER_DESCRIPTOR* d = p->Descriptor();
    status = STATUS_NO_MATCH;
    if (pinId >= d->PinCount) {
        status = STATUS_INVALID_PARAMETER;
    } else {
        PMINIPORT miniport = p->Miniport();
        ForEachRange(PinAt(d, pinId), [&](const KSDATARANGE* range) {
            status = miniport->DataRangeIntersection(
                pinId, const_cast<PKSDATARANGE>(clientRange), const_cast<PKSDATARANGE>(range),
                outputBufferLength, resultantFormat, resultantFormatLength);
            return status != STATUS_NO_MATCH;
        });
    }
    p->RemoveUser();
    return status;
}

NTSTATUS WavePin::CheckConnect(const PCPIN_DESCRIPTOR& pin, const void* connect, ULONG size) {
    if (connect == nullptr || size < sizeof(KSDATAFORMAT)) return STATUS_INVALID_BUFFER_SIZE;
    const auto* bytes = static_cast<const UCHAR*>(connect);
    KSDATAFORMAT header;
    std::memcpy(&header, bytes, sizeof(header));
    if (header.FormatSize < sizeof(KSDATAFORMAT) || header.FormatSize > size)
        return STATUS_INVALID_BUFFER_SIZE;
    if (header.Flags & KSDATAFORMAT_ATTRIBUTES) {
        uint64_t offset = (uint64_t(header.FormatSize) + 7) & ~uint64_t(7);
        if (offset + sizeof(KSMULTIPLE_ITEM) > size) return STATUS_INVALID_BUFFER_SIZE;
        KSMULTIPLE_ITEM list;
        std::memcpy(&list, bytes + offset, sizeof(list));
        if (list.Size < sizeof(KSMULTIPLE_ITEM) || list.Size > size - offset)
            return STATUS_INVALID_BUFFER_SIZE;
    }
    bool fits = false;
    ForEachRange(pin, [&](const KSDATARANGE* range) {
        fits = FormatFitsRange(bytes, header, range);
        return fits;
    });
    return fits ? STATUS_SUCCESS : STATUS_NO_MATCH;
}

NTSTATUS WavePin::Open(PUNKNOWN port, ULONG pinId, const void* connect, ULONG connectSize) {
    if (IsOpen()) return STATUS_INVALID_DEVICE_STATE;
    pcls::CPortBase* p = pcls::CPortBase::FromUnknown(port);
    if (p == nullptr || p->Kind() != PcPortKindWaveCyclic) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = p->AddUser();
    if (!NT_SUCCESS(status)) return status;
    const PCFILTER_DESCRIPTOR* d = p->Descriptor();
    const PCPIN_DESCRIPTOR* pin = pinId < d->PinCount ? &PinAt(d, pinId) : nullptr;
    KSPIN_COMMUNICATION comm = pin ? pin->KsPinDescriptor.Communication : KSPIN_COMMUNICATION_NONE;
    if (pin == nullptr) {
        status = STATUS_INVALID_PARAMETER;
    } else if (comm != KSPIN_COMMUNICATION_SINK && comm != KSPIN_COMMUNICATION_BOTH) {
        status = STATUS_INVALID_DEVICE_REQUEST;
    } else {
        status = CheckConnect(*pin, connect, connectSize);
    }
    if (NT_SUCCESS(status) &&
        !p->AcquirePinInstance(pinId, pin->MaxFilterInstanceCount, pin->MaxGlobalInstanceCount))
        status = STATUS_INSUFFICIENT_RESOURCES;
    if (!NT_SUCCESS(status)) {
        p->RemoveUser();
        return status;
    }
    m_Connect.assign(static_cast<const UCHAR*>(connect),
                     static_cast<const UCHAR*>(connect) + connectSize);
    m_Capture = pin->KsPinDescriptor.DataFlow == KSPIN_DATAFLOW_OUT;
    m_PinId = pinId;
    m_Port = p->Identity();
    m_Port->AddRef();

    auto* miniport = static_cast<PMINIPORTWAVECYCLIC>(p->Miniport());
    status =
        miniport->NewStream(&m_Stream, nullptr, NonPagedPoolNx, pinId, m_Capture,
                            reinterpret_cast<PKSDATAFORMAT>(m_Connect.data()), &m_Dma, &m_Group);
    if (NT_SUCCESS(status) && (m_Stream == nullptr || m_Dma == nullptr || m_Group == nullptr))
        status = STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status)) {
        m_Sink = new (NonPagedPoolNx, pcls::kTagPinSink) Sink(this);
        if (m_Sink == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            m_Sink->AddRef();
            status = m_Group->AddMember(m_Sink);
        }
    }
    if (!NT_SUCCESS(status)) {
        Close();
        return status;
    }
    m_State = KSSTATE_STOP;
    ResetCounters();
    m_Stream->SetNotificationFreq(kNotificationMs, &m_FramingSize);
    // Two notification intervals ahead, at most half the buffer.
    ULONG half = m_Dma->BufferSize() / 2;
    m_Lead = 2 * m_FramingSize;
    while (m_Lead > half && m_Lead >= m_FramingSize && m_FramingSize != 0) m_Lead -= m_FramingSize;
    return STATUS_SUCCESS;
}

NTSTATUS WavePin::SetState(KSSTATE target) {
    if (!IsOpen()) return STATUS_INVALID_DEVICE_STATE;
    if (target < KSSTATE_STOP || target > KSSTATE_RUN) return STATUS_INVALID_PARAMETER;
    while (m_State != target) {
        KSSTATE next = KSSTATE(m_State < target ? m_State + 1 : m_State - 1);
        NTSTATUS status = StepTo(next);
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS WavePin::StepTo(KSSTATE next) {
    if (next == KSSTATE_RUN && !m_Capture) ServiceNow();  // the prefill
    NTSTATUS status = m_Stream->SetState(next);
    if (!NT_SUCCESS(status)) return status;
    m_State = next;
    if (next == KSSTATE_STOP || next == KSSTATE_ACQUIRE) ResetCounters();
    return STATUS_SUCCESS;
}

void WavePin::ResetCounters() {
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    m_LastPosition = 0;
    m_Played = m_Written = m_Read = 0;
    KeReleaseSpinLock(&m_Lock, irql);
}

void WavePin::Close() {
    if (m_Stream && m_Group) {
        while (m_State != KSSTATE_STOP && NT_SUCCESS(StepTo(KSSTATE(m_State - 1)))) {
        }
    }
    if (m_Sink) {
        m_Sink->Detach();
        if (m_Group) m_Group->RemoveMember(m_Sink);
        m_Sink->Release();
        m_Sink = nullptr;
    }
    if (m_Group) m_Group->Release();
    if (m_Dma) m_Dma->Release();
    if (m_Stream) m_Stream->Release();
    m_Group = nullptr;
    m_Dma = nullptr;
    m_Stream = nullptr;
    if (m_Port) {
        pcls::CPortBase* p = pcls::CPortBase::FromUnknown(m_Port);
        p->ReleasePinInstance(m_PinId);
        p->RemoveUser();
        m_Port->Release();
        m_Port = nullptr;
    }
    m_State = KSSTATE_STOP;
}

void WavePin::QueueRender(const void* data, size_t bytes) {
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    const auto* p = static_cast<const uint8_t*>(data);
    m_RenderQueue.insert(m_RenderQueue.end(), p, p + bytes);
    KeReleaseSpinLock(&m_Lock, irql);
}

size_t WavePin::QueuedRenderBytes() {
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    size_t n = m_RenderQueue.size() - m_RenderHead;
    KeReleaseSpinLock(&m_Lock, irql);
    return n;
}

std::vector<uint8_t> WavePin::TakeCaptured() {
    std::vector<uint8_t> out;
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    out.swap(m_Captured);
    KeReleaseSpinLock(&m_Lock, irql);
    return out;
}

uint64_t WavePin::ServiceCount() {
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    uint64_t n = m_Services;
    KeReleaseSpinLock(&m_Lock, irql);
    return n;
}

uint64_t WavePin::SilenceBytes() {
    KIRQL irql;
    KeAcquireSpinLock(&m_Lock, &irql);
    uint64_t n = m_SilenceBytes;
    KeReleaseSpinLock(&m_Lock, irql);
    return n;
}

void WavePin::ServiceNow() {
    if (m_Sink) m_Sink->RequestService();
}

void WavePin::Service() {
    ++m_Services;
    ULONG size = m_Dma->BufferSize();
    auto* base = static_cast<PUCHAR>(m_Dma->SystemAddress());
    ULONG position = 0;
    if (size == 0 || base == nullptr || !NT_SUCCESS(m_Stream->GetPosition(&position))) return;
    position %= size;
    m_Played += (uint64_t(position) + size - m_LastPosition % size) % size;
    m_LastPosition = position;
    if (m_Capture)
        ReadBehind(base, size);
    else
        WriteAhead(base, size);
}

ULONG WavePin::BlockAlign() const {
    WAVEFORMATEX wave = {};
    if (m_Connect.size() < sizeof(KSDATAFORMAT) + sizeof(wave)) return 1;
    std::memcpy(&wave, m_Connect.data() + sizeof(KSDATAFORMAT), sizeof(wave));
    return wave.nBlockAlign != 0 ? wave.nBlockAlign : 1;
}

void WavePin::WriteAhead(PUCHAR base, ULONG size) {
    // Whole frames only, as the audio engine writes them. A position may
    // fall inside a frame (a miniport interpolates it, or counts another
    // client's time in its own bytes); writing up to it, or starting again
    // from it, would put the data a partial frame off for the rest of the
    // stream.
    const ULONG block = BlockAlign();
    uint64_t target = m_Played + m_Lead;
    target -= target % block;
    // The device has passed what was written: start again at its position,
    // from the next whole frame; the part frame goes silent.
    if (m_Written < m_Played) {
        const ULONG part = ULONG((block - m_Played % block) % block);
        if (part != 0) m_Stream->Silence(base + m_Played % size, part);
        m_Written = m_Played + part;
    }
    while (m_Written < target) {
        ULONG offset = ULONG(m_Written % size);
        ULONG n = ULONG(std::min<uint64_t>(target - m_Written, size - offset));
        ULONG have = ULONG(std::min<size_t>(n, m_RenderQueue.size() - m_RenderHead));
        if (have) {
            m_Dma->CopyTo(base + offset, m_RenderQueue.data() + m_RenderHead, have);
            m_RenderHead += have;
        }
        if (have < n) {
            m_Stream->Silence(base + offset + have, n - have);
            m_SilenceBytes += n - have;
        }
        m_Written += n;
    }
    // What was written leaves the queue once it is at least half of it: a
    // client that keeps the queue topped up never empties it, and the
    // queue would otherwise hold the whole stream.
    if (m_RenderHead != 0 && m_RenderHead >= m_RenderQueue.size() - m_RenderHead) {
        m_RenderQueue.erase(m_RenderQueue.begin(), m_RenderQueue.begin() + ptrdiff_t(m_RenderHead));
        m_RenderHead = 0;
    }
}

void WavePin::ReadBehind(PUCHAR base, ULONG size) {
    // Bytes older than one buffer have been overwritten.
    if (m_Played - m_Read > size) m_Read = m_Played - size;
    while (m_Read < m_Played) {
        ULONG offset = ULONG(m_Read % size);
        ULONG n = ULONG(std::min<uint64_t>(m_Played - m_Read, size - offset));
        size_t old = m_Captured.size();
        m_Captured.resize(old + n);
        m_Dma->CopyFrom(m_Captured.data() + old, base + offset, n);
        m_Read += n;
    }
}

}  // namespace sim
