// A stream engine for the start-up and removal tests: chosen direction,
// endpoint type and capabilities; InstallMiniport really registers a wave
// subdevice under the engine's name through the port class (with the
// miniport factory it was given), RemoveMiniport unregisters it. Notes in
// the fakes' log: "engine<i>:name:<name>", ":create", ":topology",
// ":install", ":remove".
#pragma once

#include <string>
#include <vector>

#include "adapter/base/unknown.h"
#include "adapter/audio_hal.h"
#include "stream/engine/stream_engine.h"
#include "tests/fakes/adapter/fake_unit.h"

namespace fakes {

struct EngineSpec {
    bool capture = false;
    ULONG type = ENDPOINT_SPK;
    ENDPOINT_CAPS caps = {};
    NTSTATUS installStatus = STATUS_SUCCESS;
    NTSTATUS removeStatus = STATUS_SUCCESS;
    std::vector<UnitSpec> units;  // the engine's own units
    // The fake model makes a wavefakes::FakeCyclicEngine with these formats
    // instead (a stream engine with ICyclicControl, no wave subdevice).
    bool cyclic = false;
    std::vector<WAVEFORMATEXTENSIBLE> formats;
};

class FakeEngine : public IStreamEngine, public CUnknown {
public:
    // A new engine with one reference; index: its place in the model's list.
    static FakeEngine* Create(const EngineSpec& spec, ULONG index);

    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;

    ULONG IsCapture() override { return m_Spec.capture ? 1 : 0; }
    ULONG GetEndpointType() override { return m_Spec.type; }
    NTSTATUS SetName(PCWSTR name) override;
    NTSTATUS GetName(PWSTR name) override;
    ULONG GetFormatCount() override { return 0; }
    NTSTATUS GetFormat(ULONG, WAVEFORMATEXTENSIBLE*) override { return STATUS_INVALID_PARAMETER; }
    ULONG GetUnitCount() override { return (ULONG)m_Units.size(); }
    NTSTATUS GetUnit(ULONG index, IUacUnit** unit) override;
    NTSTATUS SetMiniportCreate(PFNCREATEMINIPORT create, const GUID* classId) override;
    NTSTATUS SetTopology(PUNKNOWN topologyPort, PUNKNOWN topologyMiniport) override;
    NTSTATUS InstallMiniport(PDEVICE_OBJECT fdo, PIRP irp, PUNKNOWN adapter) override;
    NTSTATUS RemoveMiniport(PDEVICE_OBJECT fdo) override;
    NTSTATUS FindFormat(WAVEFORMATEX*) override { return STATUS_NO_MATCH; }
    NTSTATUS RegisterCallback(PCALLBACK_FUNCTION, PVOID, PVOID*) override { return STATUS_UNSUCCESSFUL; }
    NTSTATUS UnregisterCallback(PVOID) override { return STATUS_SUCCESS; }
    NTSTATUS SetPowerState(DEVICE_POWER_STATE) override { return STATUS_SUCCESS; }
    NTSTATUS ProcessData(PUCHAR, ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS ProcessDspNodesUnlocked(PUCHAR, ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS ProcessDspNodes(PVOID, ULONG, USHORT) override { return STATUS_SUCCESS; }
    NTSTATUS ProcessClientNodesRaw(PUCHAR, ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS ProcessClientNodes(ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS ProcessClientPostNodesRaw(PUCHAR, ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS ProcessClientPostNodes(ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS Init(ULONG) override { return STATUS_SUCCESS; }
    ULONG GetTerminalLink() override { return UNIT_ID_NONE; }

    const EngineSpec& Spec() const { return m_Spec; }
    const std::u16string& Name() const { return m_Name; }
    bool Installed() const { return m_WavePort != NULL; }

private:
    FakeEngine(const EngineSpec& spec, ULONG index);
    ~FakeEngine() override;
    void NoteCall(const std::string& what);

    EngineSpec m_Spec;
    ULONG m_Index;
    std::u16string m_Name;
    std::vector<FakeUnit*> m_Units;
    PFNCREATEMINIPORT m_Create = NULL;
    PUNKNOWN m_TopologyPort = NULL;
    PPORT m_WavePort = NULL;
};

}  // namespace fakes
