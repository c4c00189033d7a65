#include "tests/fakes/stream/recording_client.h"

#include <cstring>

#include "sim/executor.h"

namespace streamfakes {

VOID RecordingClient::Callback(PVOID context, PVOID argument1, PVOID) {
    static_cast<RecordingClient*>(context)->OnMessage(static_cast<const CYCLIC_CONTROL_MSG*>(argument1));
}

NTSTATUS RecordingClient::Register(ICyclicControl* stream, ULONG priority, WAVEFORMATEXTENSIBLE format,
                                   ULONG framesPerTransfer, ULONG transfers) {
    PCYCLIC_CLIENT record = nullptr;
    NTSTATUS status = stream->RegisterClient(priority, &format, framesPerTransfer, transfers, Callback, this, &record);
    handle_ = record ? record->Registration : nullptr;
    __atomic_store_n(&record_, record, __ATOMIC_RELEASE);
    return status;
}

void RecordingClient::OnMessage(const CYCLIC_CONTROL_MSG* m) {
    PCYCLIC_CLIENT record = Record();
    ClientMessage entry;
    entry.time = sim::Now();
    entry.owner = m->pClient;
    entry.code = m->Code;
    entry.irql = KeGetCurrentIrql();
    switch (m->Code) {
    case CYCLIC_MSG_BYTES_DONE:
        entry.value = m->Bytes;
        break;
    case CYCLIC_MSG_FORMAT:
        entry.value = m->FramesPerTransfer;
        entry.length = m->Transfers;
        if (timeline_ && m->pClient == record)
            timeline_->Add("format " + name_ +
                           ((m->FramesPerTransfer & CYCLIC_MSG_FORMAT_CHANGED) ? " changed" : " same"));
        break;
    default:
        entry.length = m->Length;
    }
    std::lock_guard<std::mutex> guard(lock_);
    messages_.push_back(entry);
    if (m->Code == CYCLIC_MSG_CAPTURE_DATA && keepAllCaptureData) {
        captured_.insert(captured_.end(), m->Buffer, m->Buffer + m->Length);
        return;
    }
    if (m->pClient != record || record == nullptr) return;
    if (m->Code == CYCLIC_MSG_RENDER_FILL) {
        ULONG frameBytes = channels_ * 2;
        for (ULONG off = 0; off + frameBytes <= m->Length; off += frameBytes, rampFrame_++)
            for (ULONG c = 0; c < channels_; c++) {
                int16_t v = RampValue(rampFrame_, c);
                memcpy(m->Buffer + off + c * 2, &v, 2);
            }
    } else if (m->Code == CYCLIC_MSG_CAPTURE_DATA) {
        captured_.insert(captured_.end(), m->Buffer, m->Buffer + m->Length);
    }
}

std::vector<ClientMessage> RecordingClient::Messages() const {
    std::lock_guard<std::mutex> guard(lock_);
    return messages_;
}

std::vector<ClientMessage> RecordingClient::MessagesWithCode(ULONG code) const {
    std::vector<ClientMessage> result;
    for (const auto& m : Messages())
        if (m.code == code) result.push_back(m);
    return result;
}

std::vector<uint8_t> RecordingClient::Captured() const {
    std::lock_guard<std::mutex> guard(lock_);
    return captured_;
}

uint64_t RecordingClient::FramesFilled() const {
    std::lock_guard<std::mutex> guard(lock_);
    return rampFrame_;
}

void RecordingClient::Clear() {
    std::lock_guard<std::mutex> guard(lock_);
    messages_.clear();
    captured_.clear();
}

}  // namespace streamfakes
