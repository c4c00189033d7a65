// Fakes for the port-class tests: a test adapter driver, miniports that keep
// their port as real ones do, a wave stream that is its own DMA channel over
// a pool buffer, an adapter with power management, and one ordered log
// that every fake writes to.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "adapter/base/unknown.h"
#include "portcls/portcls.h"
#include "platform/portcls/sim_portcls.h"
#include "sim/pnp_harness.h"
#include "tests/support/kernel_test.h"

namespace pctest {

// Every fake appends what happened ("pdo:start", "adapter:power:D3",
// "miniport:Topo:notify:D0", "miniport:Topo:gone", ...).
std::vector<std::string>& Log();
void Note(const std::string& entry);
// Entries of the log that start with `prefix`, in order.
std::vector<std::string> LogWith(const std::string& prefix);
std::string PowerName(DEVICE_POWER_STATE state);

// ---- The test adapter driver ---------------------------------------------

struct DriverConfig {
    ULONG maxObjects = 4;
    // StartDevice body; the default succeeds and registers nothing.
    std::function<NTSTATUS(PDEVICE_OBJECT fdo, PIRP irp, PRESOURCELIST resources)> start;
};
DriverConfig& Driver();
NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// Logs PnP and power IRPs that reach the PDO ("pdo:start", "pdo:stop",
// "pdo:remove", "pdo:caps", "pdo:power:D3") and leaves them to the bus.
class PdoLogger : public sim::BusDeviceHandler {
public:
    bool HandleIrp(PDEVICE_OBJECT pdo, PIRP irp, NTSTATUS* status) override;
};

// ---- Miniports ----------------------------------------------------------

struct MiniportScript {
    NTSTATUS initStatus = STATUS_SUCCESS;
    NTSTATUS descriptionStatus = STATUS_SUCCESS;
    bool capture = false;  // wave miniports: a capture filter
};

// Creates a topology or wave-cyclic fake; *out gets its IUnknown with one
// reference. Its log name is `name`.
NTSTATUS CreateTopologyMiniport(PUNKNOWN* out, const std::string& name,
                                const MiniportScript& script = {});
NTSTATUS CreateWaveMiniport(PUNKNOWN* out, const std::string& name,
                            const MiniportScript& script = {});
// Live fake miniports (all kinds).
int LiveMiniports();

// Data ranges of the fake wave filter's streaming pin (pin 0), in order:
// IEEE float 2 ch 32 bit 48 kHz, then PCM 1..2 ch 16 bit 44.1..48 kHz, each
// followed by its attribute list. Pin 1 is a bridge pin.
const KSDATARANGE_AUDIO& FloatRange();
const KSDATARANGE_AUDIO& PcmRange();
// Ranges the wave miniport's DataRangeIntersection was called with.
std::vector<const KSDATARANGE*>& IntersectionCalls();

// ---- Streams ------------------------------------------------------------

// The fake wave stream: IMiniportWaveCyclicStream and IDmaChannel over a
// 50 ms pool buffer. The test moves its position by hand.
class FakeStream : public IMiniportWaveCyclicStream, public IDmaChannel, public CUnknown {
public:
    FakeStream(PPORTWAVECYCLIC port, const WAVEFORMATEX& format, bool capture);
    ~FakeStream() override;
    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS Init(PSERVICEGROUP* group);

    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override;
    NTSTATUS SetFormat(PKSDATAFORMAT) override { return STATUS_NOT_SUPPORTED; }
    ULONG SetNotificationFreq(ULONG interval, PULONG framingSize) override;
    NTSTATUS SetState(KSSTATE state) override;
    NTSTATUS GetPosition(PULONG position) override;
    NTSTATUS NormalizePhysicalPosition(PLONGLONG) override { return STATUS_SUCCESS; }
    VOID Silence(PVOID buffer, ULONG count) override;

    NTSTATUS AllocateBuffer(ULONG, PPHYSICAL_ADDRESS) override { return STATUS_NOT_SUPPORTED; }
    VOID FreeBuffer() override {}
    ULONG TransferCount() override { return m_Size; }
    ULONG MaximumBufferSize() override { return m_Size; }
    ULONG AllocatedBufferSize() override { return m_Size; }
    ULONG BufferSize() override { return m_Size; }
    VOID SetBufferSize(ULONG) override {}
    PVOID SystemAddress() override { return m_Buffer; }
    PHYSICAL_ADDRESS PhysicalAddress() override { return PHYSICAL_ADDRESS{}; }
    PADAPTER_OBJECT GetAdapterObject() override { return nullptr; }
    VOID CopyTo(PVOID destination, PVOID source, ULONG count) override;
    VOID CopyFrom(PVOID destination, PVOID source, ULONG count) override;

    // Test side.
    void SetPosition(ULONG position) { m_Position = position; }
    void FailState(KSSTATE state) { m_FailState = int(state); }
    // IPortWaveCyclic::Notify with the stream's group, as a completion would.
    void Notify() { m_Port->Notify(m_Group); }
    PUCHAR Buffer() { return m_Buffer; }
    const std::vector<KSSTATE>& States() const { return m_States; }
    // IRQL of the thread in the last CopyTo/CopyFrom.
    KIRQL CopyIrql() const { return m_CopyIrql; }

private:
    PPORTWAVECYCLIC m_Port;
    PSERVICEGROUP m_Group = nullptr;
    WAVEFORMATEX m_Format;
    [[maybe_unused]] bool m_Capture;
    PUCHAR m_Buffer = nullptr;
    ULONG m_Size = 0;
    ULONG m_Position = 0;
    int m_FailState = -1;
    std::vector<KSSTATE> m_States;
    KIRQL m_CopyIrql = PASSIVE_LEVEL;
};

// ---- Adapter ------------------------------------------------------------

// An adapter object answering IAdapterPowerManagement; *out gets its
// IUnknown with one reference.
NTSTATUS CreateAdapter(PUNKNOWN* out);

// ---- Fixture ------------------------------------------------------------

class PortClsTest : public sim::KernelTest {
public:
    void SetUp() override;
    void TearDown() override;

    // Loads the test driver, adds and (when `start`) starts the device.
    void Boot(bool start = true);
    PDEVICE_OBJECT Fdo() { return harness_->TopDevice(); }
    sim::PnpHarness& Harness() { return *harness_; }

    // PcNewPort + Init + PcRegisterSubdevice, creation references dropped
    // (the registration keeps the port; the port keeps the miniport).
    // Returns the status; *port (optional) gets the port without a
    // reference.
    NTSTATUS Install(PDEVICE_OBJECT fdo, REFCLSID portClass, PUNKNOWN miniport,
                     const char16_t* name, PUNKNOWN* port = nullptr);
    NTSTATUS InstallTopology(PDEVICE_OBJECT fdo, const std::string& name, PUNKNOWN* port = nullptr);
    NTSTATUS InstallWave(PDEVICE_OBJECT fdo, const std::string& name, PUNKNOWN* port = nullptr,
                         bool capture = false);

protected:
    std::unique_ptr<sim::PnpHarness> harness_;
    PdoLogger pdoLogger_;
};

}  // namespace pctest
