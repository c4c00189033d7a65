// A device for the wave tests on the PnP harness: a test driver on the port
// class whose FDO carries the device core's DEVICE_CONTEXT (MiniportMutex
// initialised) and whose start registers "GlobalTopo" with the topology
// miniport factory given, keeping its port and miniport for
// IStreamEngine::SetTopology. One device at a time; create it inside a
// kernel scope and destroy it before the scope ends (removal and unload
// happen then).
#pragma once

#include <memory>

#include "adapter/device_context.h"
#include "sim/pnp_harness.h"

namespace wavefakes {

class WaveTestDevice {
public:
    explicit WaveTestDevice(PFNCREATEINSTANCE createTopology);
    ~WaveTestDevice();
    WaveTestDevice(const WaveTestDevice&) = delete;
    WaveTestDevice& operator=(const WaveTestDevice&) = delete;

    // Loads the driver, adds and starts the device.
    NTSTATUS Start();
    PDEVICE_OBJECT Fdo() const;
    // No reference; valid while the device runs.
    PUNKNOWN TopologyPort() const;
    PUNKNOWN TopologyMiniport() const;
    sim::PnpHarness& Harness() { return *m_Harness; }

private:
    std::unique_ptr<sim::PnpHarness> m_Harness;
};

}  // namespace wavefakes
