// Recording stream objects and the model that creates them.
#include "tests/fakes/uac1/recording_model.h"

#include <atomic>
#include <mutex>

#include "sim/executor.h"
#include "stream/usb/usb_async_render_stream.h"
#include "stream/usb/usb_capture_stream.h"
#include "stream/usb/usb_capture_stream_ex.h"
#include "stream/usb/usb_render_stream.h"

namespace uac1fakes {

namespace {

std::mutex g_LogLock;
std::atomic<int> g_Inside{0};
std::atomic<int> g_Overlaps{0};

// Brackets an install or removal: counts overlaps and holds it for the
// scripted time, during which other threads may run.
void SubdeviceCall() {
    if (g_Inside.fetch_add(1) != 0) ++g_Overlaps;
    if (Streams().holdMs != 0) sim::Sleep((LONGLONG)Streams().holdMs * sim::kTicksPerMillisecond);
    --g_Inside;
}

std::string Narrow(PCWSTR text) {
    std::string out;
    for (; text != nullptr && *text != 0; ++text) out += (char)*text;
    return out;
}

template <class Base>
class CRecordingStream final : public Base, public StreamView {
public:
    template <class... Extra>
    CRecordingStream(PUNKNOWN outer, ULONG interfaceNumber, ULONG terminalId, Extra... extra)
        : Base(outer, interfaceNumber, terminalId, extra...) {}

    NTSTATUS InstallMiniport(PDEVICE_OBJECT, PIRP, PUNKNOWN) override {
        Note("install");
        SubdeviceCall();
        return Streams().install;
    }
    NTSTATUS RemoveMiniport(PDEVICE_OBJECT) override {
        Note("remove");
        SubdeviceCall();
        return Streams().remove;
    }
    NTSTATUS SetName(PCWSTR name) override {
        Note("name", Narrow(name));
        return Base::SetName(name);
    }
    ULONG GetEndpointType() override {
        const ULONG scripted = Streams().endpointType;
        return scripted != StreamScript::kOwnEndpointType ? scripted : Base::GetEndpointType();
    }
    NTSTATUS SetPowerState(DEVICE_POWER_STATE state) override {
        Note("power", "D" + std::to_string((int)state - 1));
        return Streams().power;
    }

    ULONG InterfaceNumber() const override { return this->m_nInterfaceNumber; }
    ULONG TerminalId() const override { return this->m_nTerminalId; }
    ULONG DspNodeCount() const override { return this->m_pDspNodes ? (ULONG)this->m_pDspNodes->GetCount() : 0; }
    std::vector<CYCLIC_FORMAT_ENTRY> FormatEntries() const override {
        std::vector<CYCLIC_FORMAT_ENTRY> entries;
        const LIST_ENTRY* head = &this->m_FormatList;
        for (const LIST_ENTRY* link = head->Flink; link != nullptr && link != head; link = link->Flink)
            entries.push_back(*CONTAINING_RECORD(link, CYCLIC_FORMAT_ENTRY, Link));
        return entries;
    }

private:
    void Note(const char* what, const std::string& detail = "") {
        std::string entry = std::string(what) + ":" + std::to_string(this->m_nInterfaceNumber);
        if (!detail.empty()) entry += ":" + detail;
        std::lock_guard<std::mutex> hold(g_LogLock);
        StreamLog().push_back(entry);
    }
};

}  // namespace

std::vector<std::string>& StreamLog() {
    static std::vector<std::string> log;
    return log;
}

StreamScript& Streams() {
    static StreamScript script;
    return script;
}

int OverlappingSubdeviceCalls() { return g_Overlaps.load(); }

void ResetStreams() {
    std::lock_guard<std::mutex> hold(g_LogLock);
    StreamLog().clear();
    Streams() = StreamScript();
    g_Overlaps = 0;
}

const StreamView* ViewOf(IStreamEngine* engine) { return dynamic_cast<const StreamView*>(engine); }

NTSTATUS CreateRecordingUac1Hal(PUNKNOWN* model, PUNKNOWN outer, USHORT vendorId, USHORT productId, UCHAR) {
    return CreateUnknown<CRecordingUac1Hal>(model, outer, NonPagedPoolNx, UAC1_MODEL_TAG, vendorId, productId);
}

NTSTATUS CRecordingUac1Hal::CreateStream(BOOLEAN capture, ULONG interfaceNumber, ULONG terminalNodeId,
                                         CCyclicControl** stream) {
    if (capture)
        return FinishStream(new (NonPagedPoolNx, PoolTag())
                                CRecordingStream<CUsbCaptureStream>(NULL, interfaceNumber, terminalNodeId),
                            capture, stream);
    return FinishStream(new (NonPagedPoolNx, PoolTag())
                            CRecordingStream<CUsbRenderStream>(NULL, interfaceNumber, terminalNodeId),
                        capture, stream);
}

NTSTATUS CreateRecordingUac2Hal(PUNKNOWN* model, PUNKNOWN outer, USHORT vendorId, USHORT productId, UCHAR) {
    return CreateUnknown<CRecordingUac2Hal>(model, outer, NonPagedPoolNx, UAC2_MODEL_TAG, vendorId, productId);
}

NTSTATUS CRecordingUac2Hal::CreateUac2Stream(BOOLEAN capture, ULONG interfaceNumber, ULONG terminalNodeId,
                                             ULONG clockUnitId, CCyclicControl** stream) {
    if (capture)
        return FinishStream(new (NonPagedPoolNx, PoolTag()) CRecordingStream<CUsbCaptureStreamEx>(
                                NULL, interfaceNumber, terminalNodeId, clockUnitId),
                            capture, stream);
    return FinishStream(new (NonPagedPoolNx, PoolTag()) CRecordingStream<CUsbAsyncRenderStream>(
                            NULL, interfaceNumber, terminalNodeId, clockUnitId),
                        capture, stream);
}

}  // namespace uac1fakes
