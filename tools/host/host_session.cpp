// A run of the driver in the stand-in (see host_session.h).
#include "tools/host/host_session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "adapter/device_context.h"
#include "adapter/driver_entry.h"
#include "platform/ks/ks_portcls_hooks.h"
#include "platform/ks/property_frontend.h"
#include "sim/debug.h"
#include "sim/files.h"
#include "sim/registry.h"
#include "tools/host/host_device.h"
#include "tools/host/wav_io.h"
#include "platform/usb/descriptor_file.h"

namespace host {

namespace {

constexpr char kRegistryFile[] = "registry.txt";
constexpr char kSystemRootDir[] = "SystemRoot";

// Whether the configuration holds an Audio Class 2.0 Audio Control
// interface (such a device is a high-speed one).
bool HoldsUac2AudioControl(const simusb::Bytes& configuration) {
    for (size_t at = 0; at + 9 <= configuration.size() && configuration[at] >= 2; at += configuration[at]) {
        const uint8_t* d = &configuration[at];
        if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE && d[0] >= 9 && d[5] == USB_DEVICE_CLASS_AUDIO &&
            d[6] == USB_AUDIO_SUBCLASS_AUDIOCONTROL && d[7] == USB_AUDIO_PROTOCOL_2_0)
            return true;
    }
    return false;
}

// IOCTL_KS_PROPERTY on a wave filter handle reaches the wave miniport's
// automation table, as on a topology filter.
NTSTATUS WaveProperty(PPC_FILTER_INSTANCE filter, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG_PTR information = 0;
    KsTarget target = {filter->Descriptor, filter->MajorTarget, NULL};
    NTSTATUS status = KsDispatchProperty(target, sp->Parameters.DeviceIoControl.Type3InputBuffer,
                                         sp->Parameters.DeviceIoControl.InputBufferLength, irp->UserBuffer,
                                         sp->Parameters.DeviceIoControl.OutputBufferLength, &information);
    irp->IoStatus.Information = information;
    return status;
}

void InstallFrontEnd() {
    sim::PcResetState();
    KsInstallTopologyFilterHooks();
    PC_FILTER_HOOKS wave = {};
    wave.Property = WaveProperty;
    PcSetFilterHooks(PcPortKindWaveCyclic, &wave);
}

bool IsDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The first isochronous IN data endpoint of an Audio Streaming interface
// (the one --mic-wav feeds on a descriptor file's device), or 0.
UCHAR FirstCaptureEndpoint(const simusb::ConfigLayout& layout) {
    for (const simusb::AltSetting& alt : layout.alts) {
        if (alt.cls != USB_DEVICE_CLASS_AUDIO || alt.subclass != USB_AUDIO_SUBCLASS_AUDIOSTREAMING) continue;
        for (const simusb::EndpointInfo& e : alt.endpoints)
            if ((e.attributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_ISOCHRONOUS &&
                (e.attributes & USB_ENDPOINT_USAGE_MASK) == USB_ENDPOINT_USAGE_DATA && USB_ENDPOINT_DIRECTION_IN(e.address))
                return e.address;
    }
    return 0;
}

}  // namespace

bool MakeDirectories(const std::string& dir) {
    if (dir.empty() || IsDirectory(dir)) return !dir.empty();
    size_t slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirectories(dir.substr(0, slash))) return false;
    return mkdir(dir.c_str(), 0755) == 0 || IsDirectory(dir);
}

HostSession::HostSession() {
    // The debugger lines of this run only (inspect's "log").
    sim::ClearDebugOutput();
    sim::RegistryReset();
    InstallFrontEnd();
}

HostSession::~HostSession() {
    Remove();
    m_Port.reset();
    if (m_StateAttached) sim::RegistrySetBackingFile("");
    sim::SetSystemRoot("");
    sim::PcResetState();
}

bool HostSession::UseStateDirectory(const std::string& dir, std::string* error) {
    const std::string root = dir + "/" + kSystemRootDir;
    if (!MakeDirectories(dir) || !MakeDirectories(root)) {
        *error = "cannot create the state directory " + dir + ": " + std::strerror(errno);
        return false;
    }
    const std::string file = dir + "/" + kRegistryFile;
    *error = DirectoryError(file);
    if (!error->empty()) return false;
    // An empty image (a crash while it was first written, say) holds no
    // settings: the run starts without them and writes a new image.
    struct stat st;
    if (stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0) {
        m_Warnings.push_back(file + " is empty: starting without stored settings");
        unlink(file.c_str());
    }
    size_t line = 0;
    std::string reason;
    NTSTATUS status = sim::RegistrySetBackingFile(file, &line, &reason);
    if (status == STATUS_REGISTRY_CORRUPT) {
        *error = file + ":" + (line ? std::to_string(line) + ":" : "") + " " + reason + "; nothing was loaded";
        return false;
    }
    if (!NT_SUCCESS(status)) {
        *error = "cannot use " + file + (reason.empty() ? "" : ": " + reason);
        return false;
    }
    m_StateAttached = true;
    m_StateFile = file;
    sim::SetSystemRoot(root);
    return true;
}

bool HostSession::PlugDevice(const DeviceChoice& choice, std::string* error) {
    simusb::DescriptorSet set;
    m_BuiltIn = choice.descriptorFile.empty();
    if (m_BuiltIn) {
        set = HostHeadset();
    } else {
        simusb::DescriptorFileError fileError;
        *error = DirectoryError(choice.descriptorFile);
        if (!error->empty()) return false;
        if (access(choice.descriptorFile.c_str(), R_OK) != 0) {
            *error = "cannot open " + choice.descriptorFile + ": " + std::strerror(errno);
            return false;
        }
        if (!simusb::LoadDescriptorFile(choice.descriptorFile, choice.speed, &set, &fileError)) {
            *error = choice.descriptorFile + ": " + fileError.message;
            return false;
        }
        if (!choice.speedChosen && HoldsUac2AudioControl(set.configuration)) set.speed = simusb::UsbSpeed::High;
    }
    std::shared_ptr<MicSamples> mic;
    if (!choice.micWav.empty()) {
        mic = std::make_shared<MicSamples>();
        if (!ReadMicSamples(choice.micWav, mic.get(), error)) return false;
        m_Mic = mic;
    }
    m_Port = std::make_unique<simusb::SimUsbPort>(set);
    if (m_BuiltIn) {
        PrepareHeadset(m_Port->device(), mic);
        return true;
    }
    if (mic == nullptr) return true;
    const UCHAR endpoint = FirstCaptureEndpoint(m_Port->device().model().layout());
    if (endpoint == 0) {
        *error = choice.descriptorFile + ": no isochronous IN data endpoint on an Audio Streaming interface to send " +
                 choice.micWav + " from";
        m_Port.reset();
        return false;
    }
    m_Port->device().SetSourceGenerator(endpoint, MicGenerator(mic));
    return true;
}

NTSTATUS HostSession::Start() {
    sim::PnpHarness& harness = m_Port->harness();
    NTSTATUS status = harness.LoadDriver(DriverEntry);
    m_Loaded = NT_SUCCESS(status);
    if (NT_SUCCESS(status)) status = harness.AddDevice();
    if (NT_SUCCESS(status)) status = harness.StartDevice();
    m_StartStatus = status;
    m_Running = NT_SUCCESS(status);
    return status;
}

NTSTATUS HostSession::Remove() {
    if (!m_Port || !m_Loaded) return STATUS_SUCCESS;
    sim::PnpHarness& harness = m_Port->harness();
    // A device that left the bus is surprise-removed first, as the USB
    // hub driver would report it.
    if (!m_Port->bus().plugged() && m_Running) harness.SurpriseRemoval();
    NTSTATUS status = harness.RemoveDevice();
    harness.UnloadDriver();
    m_Loaded = m_Running = false;
    return status;
}

bool HostSession::SaveState(std::string* error) {
    if (!m_StateAttached) return true;
    std::string reason;
    if (NT_SUCCESS(sim::RegistryFlush(&reason))) return true;
    *error = "the settings were not stored in " + m_StateFile + ": " + reason;
    return false;
}

PDEVICE_OBJECT HostSession::Fdo() const {
    if (!m_Port || !m_Loaded) return NULL;
    PDEVICE_OBJECT top = m_Port->harness().TopDevice();
    return top != m_Port->Pdo() ? top : NULL;
}

IAudioHal* HostSession::Adapter() const {
    PDEVICE_OBJECT fdo = Fdo();
    return fdo ? GetDeviceContext(fdo)->AudioHal : NULL;
}

std::vector<sim::PcSubdeviceView> HostSession::Subdevices() const {
    PDEVICE_OBJECT fdo = Fdo();
    return fdo ? sim::PcSubdevices(fdo) : std::vector<sim::PcSubdeviceView>();
}

std::vector<sim::PcConnectionView> HostSession::Connections() const {
    PDEVICE_OBJECT fdo = Fdo();
    return fdo ? sim::PcConnections(fdo) : std::vector<sim::PcConnectionView>();
}

std::vector<WaveFilter> HostSession::WaveFilters() const {
    std::vector<WaveFilter> filters;
    for (const auto& s : Subdevices()) {
        if (s.kind != PcPortKindWaveCyclic || s.descriptor == NULL || s.descriptor->PinCount == 0) continue;
        bool capture = s.descriptor->Pins[0].KsPinDescriptor.DataFlow == KSPIN_DATAFLOW_OUT;
        filters.push_back({s.name, s.port, capture, s.descriptor});
    }
    return filters;
}

WaveFilter HostSession::FindWaveFilter(bool capture) const {
    for (const WaveFilter& f : WaveFilters())
        if (f.capture == capture) return f;
    return {u"", NULL, capture, NULL};
}

const PCFILTER_DESCRIPTOR* HostSession::TopologyDescriptor() const {
    for (const auto& s : Subdevices())
        if (s.kind == PcPortKindTopology) return s.descriptor;
    return NULL;
}

}  // namespace host
