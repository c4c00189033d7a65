// Stand-ins for the wave-cyclic unit tests: the adapter (IAudioHal with a
// list of stream engines, their capability blocks and a device object
// whose extension holds a DEVICE_CONTEXT with its MiniportMutex) and a
// wave-cyclic port that counts Notify.
#pragma once

#include <atomic>
#include <functional>
#include <vector>

#include "adapter/base/unknown.h"
#include "adapter/audio_hal.h"
#include "adapter/device_context.h"
#include "stream/engine/stream_engine.h"
#include "tests/fakes/adapter/inert_audio_hal.h"
#include "topology/terminal_units.h"

namespace wavefakes {

class FakeWaveAdapter : public fakes::InertAudioHal {
public:
    // A new adapter with one reference over the given engines (each held
    // with a reference until the adapter goes).
    static FakeWaveAdapter* Create(const std::vector<IStreamEngine*>& engines);

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    NTSTATUS GetStreamEngineCapabilities(ULONG index, ENDPOINT_CAPS* caps) override;
    ULONG GetStreamEngineCount() override { return (ULONG)m_Engines.size(); }
    NTSTATUS GetStreamEngine(ULONG index, IStreamEngine** engine) override;
    PDEVICE_OBJECT GetDeviceObject() override { return &m_Device; }

    // Answers of the fake.
    bool RefuseAudioHal = false;
    NTSTATUS EngineStatus = STATUS_SUCCESS;  // GetStreamEngine fails with it
    ENDPOINT_CAPS Caps = {};
    ULONG RefCount();
    PDEVICE_CONTEXT Context() { return GetDeviceContext(&m_Device); }

private:
    explicit FakeWaveAdapter(const std::vector<IStreamEngine*>& engines);
    ~FakeWaveAdapter() override;

    std::vector<IStreamEngine*> m_Engines;
    DEVICE_OBJECT m_Device = {};
    std::vector<UCHAR> m_Extension;
};

// A wave-cyclic port for miniport and stream tests: Notify is counted and
// handed to an optional hook (at the caller's IRQL, under the stream's
// spin lock).
class FakeWavePort : public IPortWaveCyclic, public CUnknown {
public:
    static FakeWavePort* Create();
    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;
    NTSTATUS Init(PDEVICE_OBJECT, PIRP, PUNKNOWN, PUNKNOWN, PRESOURCELIST) override { return STATUS_SUCCESS; }
    VOID Notify(PSERVICEGROUP group) override;

    uint64_t Notifications() const { return m_Notifications.load(); }
    std::function<void(PSERVICEGROUP)> OnNotify;
    ULONG RefCount();

private:
    FakeWavePort() : CUnknown(NULL) {}
    std::atomic<uint64_t> m_Notifications{0};
};

}  // namespace wavefakes
