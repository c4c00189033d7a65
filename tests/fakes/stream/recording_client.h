// A client of a USB stream for the tests: its callback records every
// message (time, owner, code, sizes), fills CYCLIC_MSG_RENDER_FILL buffers
// it owns with a 16-bit ramp (frame n of channel c carries
// (n + c * 0x1000) & 0xFFFF), keeps the bytes of CYCLIC_MSG_CAPTURE_DATA,
// and notes format messages in a shared timeline.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "stream/usb/cyclic_control.h"
#include "tests/fakes/stream/fake_usb_model.h"

namespace streamfakes {

struct ClientMessage {
    LONGLONG time = 0;
    PCYCLIC_CLIENT owner = nullptr;
    ULONG code = 0;
    ULONG value = 0;   // Bytes (BYTES_DONE) or FramesPerTransfer (FORMAT)
    ULONG length = 0;  // Length (RENDER_FILL, CAPTURE_DATA) or Transfers (FORMAT)
    KIRQL irql = 0;
};

// The ramp a client writes: frame n, channel c.
inline int16_t RampValue(uint64_t frame, ULONG channel) { return (int16_t)(uint16_t)(frame + channel * 0x1000); }

class RecordingClient {
public:
    explicit RecordingClient(std::string name, Timeline* timeline = nullptr, ULONG channels = 2)
        : name_(std::move(name)), timeline_(timeline), channels_(channels) {}

    static VOID Callback(PVOID context, PVOID argument1, PVOID argument2);

    // Registers with the stream (priority, format, frames per transfer,
    // transfers) and keeps the record; messages naming it are "ours".
    NTSTATUS Register(ICyclicControl* stream, ULONG priority, WAVEFORMATEXTENSIBLE format, ULONG framesPerTransfer,
                      ULONG transfers);
    // Keep CAPTURE_DATA bytes whoever owns the stream (set before Register).
    bool keepAllCaptureData = false;

    PCYCLIC_CLIENT Record() const { return __atomic_load_n(&record_, __ATOMIC_ACQUIRE); }
    // The registration handle, kept apart: it stays readable after the
    // record is freed.
    PVOID Handle() const { return handle_; }

    std::vector<ClientMessage> Messages() const;
    std::vector<ClientMessage> MessagesWithCode(ULONG code) const;
    std::vector<uint8_t> Captured() const;
    uint64_t FramesFilled() const;
    void Clear();

private:
    void OnMessage(const CYCLIC_CONTROL_MSG* message);

    PCYCLIC_CLIENT record_ = nullptr;
    PVOID handle_ = nullptr;
    std::string name_;
    Timeline* timeline_;
    ULONG channels_;
    mutable std::mutex lock_;
    std::vector<ClientMessage> messages_;
    std::vector<uint8_t> captured_;
    uint64_t rampFrame_ = 0;
};

}  // namespace streamfakes
