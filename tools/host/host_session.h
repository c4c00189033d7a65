// One run of the driver in the stand-in, as the host program and the
// end-to-end tests use it: the kernel-streaming front end on both port
// kinds, an optional state directory (the registry image and
// "\SystemRoot\"), the simulated device on the PnP harness, and the driver
// loaded, added and started as Windows would. Call from a thread managed
// by a live kernel scope; destroy (or Remove) before the scope ends.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "adapter/audio_hal.h"
#include "platform/portcls/sim_portcls.h"
#include "stream/engine/stream_engine.h"
#include "platform/usb/usb_port.h"

namespace host {

struct DeviceChoice {
    std::string descriptorFile;  // empty: the built-in headset
    // The microphone's samples (empty: the headset's tone); on a descriptor
    // file's device, the first isochronous IN data endpoint of an Audio
    // Streaming interface sends them.
    std::string micWav;
    // The bus speed a descriptor file's device is plugged at ("full" or
    // "high"); the built-in headset runs at its own.
    simusb::UsbSpeed speed = simusb::UsbSpeed::Full;
    // false: no speed was asked for; a file whose first configuration
    // holds an Audio Class 2.0 Audio Control interface plugs at high speed,
    // any other at full speed.
    bool speedChosen = true;
};

struct MicSamples;

// A registered wave filter: its subdevice and direction.
struct WaveFilter {
    std::u16string name;
    PUNKNOWN port;  // no reference
    bool capture;
    const PCFILTER_DESCRIPTOR* descriptor;
};

// One session at a time in a process: the session sets up the stand-in's
// global state (front-end hooks, registry file, system root) and its end
// resets it, so a session made while another lives loses that state when
// the older one ends.
class HostSession {
public:
    HostSession();
    ~HostSession();
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;

    // Validates the registry image in dir (the whole file, before anything
    // is loaded), loads it and keeps it as the registry's backing file;
    // maps "\SystemRoot\" to dir/SystemRoot. Creates what is missing.
    // An empty registry image is taken as no stored settings (Warnings()).
    // The image is written back by SaveState and when the session ends.
    bool UseStateDirectory(const std::string& dir, std::string* error);
    // Writes the registry image to the state directory if the registry
    // changed since it was last written (true without a state directory);
    // false with the system's reason when it cannot be written.
    bool SaveState(std::string* error);
    // What the run should tell the user but did not stop for.
    const std::vector<std::string>& Warnings() const { return m_Warnings; }
    // Builds the device (the headset, or a descriptor file) and plugs it.
    bool PlugDevice(const DeviceChoice& choice, std::string* error);
    // DriverEntry, AddDevice, IRP_MN_START_DEVICE; the start's status.
    NTSTATUS Start();
    NTSTATUS StartStatus() const { return m_StartStatus; }
    bool Running() const { return m_Running; }
    // Removal (surprise removal first when the device was unplugged) and
    // unload; idempotent.
    NTSTATUS Remove();

    bool BuiltIn() const { return m_BuiltIn; }
    // The --mic-wav file's samples, or NULL.
    std::shared_ptr<const MicSamples> Mic() const { return m_Mic; }
    simusb::SimUsbPort& Port() { return *m_Port; }
    simusb::SimDevice& Device() { return m_Port->device(); }
    PDEVICE_OBJECT Fdo() const;
    // The started adapter (no reference), NULL before a successful start.
    IAudioHal* Adapter() const;
    std::vector<sim::PcSubdeviceView> Subdevices() const;
    std::vector<WaveFilter> WaveFilters() const;
    // The first wave filter of that direction, or a null port.
    WaveFilter FindWaveFilter(bool capture) const;
    // The topology filter ("GlobalTopo") or NULL.
    const PCFILTER_DESCRIPTOR* TopologyDescriptor() const;
    std::vector<sim::PcConnectionView> Connections() const;

private:
    std::unique_ptr<simusb::SimUsbPort> m_Port;
    std::shared_ptr<const MicSamples> m_Mic;
    bool m_BuiltIn = false;
    bool m_Loaded = false;
    bool m_Running = false;
    bool m_StateAttached = false;
    std::string m_StateFile;
    NTSTATUS m_StartStatus = STATUS_UNSUCCESSFUL;
    std::vector<std::string> m_Warnings;
};

// Directories: creates dir and its parents (false when it cannot).
bool MakeDirectories(const std::string& dir);

}  // namespace host
