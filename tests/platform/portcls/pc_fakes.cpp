#include "pc_fakes.h"

#include <cstring>

#include "nt/ke.h"

namespace pctest {

namespace {

constexpr ULONG kTagFake = MakePoolTag("FkMp");
constexpr ULONG kTagFakeBuffer = MakePoolTag("FkBf");

int g_liveMiniports = 0;

// ---- Descriptors ----------------------------------------------------------

KSDATARANGE AnalogRange() {
    KSDATARANGE r{};
    r.FormatSize = sizeof(KSDATARANGE);
    r.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    r.SubFormat = KSDATAFORMAT_SUBTYPE_ANALOG;
    r.Specifier = KSDATAFORMAT_SPECIFIER_NONE;
    return r;
}

KSDATARANGE_AUDIO AudioRange(const GUID& sub, ULONG channels, ULONG minBits, ULONG maxBits,
                             ULONG minRate, ULONG maxRate) {
    KSDATARANGE_AUDIO r{};
    r.DataRange.FormatSize = sizeof(KSDATARANGE_AUDIO);
    r.DataRange.Flags = KSDATARANGE_ATTRIBUTES;
    r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    r.DataRange.SubFormat = sub;
    r.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    r.MaximumChannels = channels;
    r.MinimumBitsPerSample = minBits;
    r.MaximumBitsPerSample = maxBits;
    r.MinimumSampleFrequency = minRate;
    r.MaximumSampleFrequency = maxRate;
    return r;
}

KSDATARANGE g_analog = AnalogRange();
PKSDATARANGE g_analogRanges[] = {&g_analog};
KSDATARANGE_AUDIO g_float = AudioRange(KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, 2, 32, 32, 48000, 48000);
KSDATARANGE_AUDIO g_pcm = AudioRange(KSDATAFORMAT_SUBTYPE_PCM, 2, 16, 16, 44100, 48000);
KSATTRIBUTE g_modeAttribute = {sizeof(KSATTRIBUTE), 0, KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE};
PKSATTRIBUTE g_attributes[] = {&g_modeAttribute};
KSATTRIBUTE_LIST g_attributeList = {1, g_attributes};
// Each range is followed by its attribute list, as KSDATARANGE_ATTRIBUTES says.
PKSDATARANGE g_streamRanges[] = {&g_float.DataRange,
                                 reinterpret_cast<PKSDATARANGE>(&g_attributeList), &g_pcm.DataRange,
                                 reinterpret_cast<PKSDATARANGE>(&g_attributeList)};
KSPIN_INTERFACE g_streaming = {};

PCPIN_DESCRIPTOR BridgePin(KSPIN_DATAFLOW flow) {
    PCPIN_DESCRIPTOR p{};
    p.KsPinDescriptor.DataRangesCount = 1;
    p.KsPinDescriptor.DataRanges = g_analogRanges;
    p.KsPinDescriptor.DataFlow = flow;
    p.KsPinDescriptor.Communication = KSPIN_COMMUNICATION_NONE;
    p.KsPinDescriptor.Category = &KSCATEGORY_AUDIO;
    return p;
}

PCPIN_DESCRIPTOR StreamingPin(KSPIN_DATAFLOW flow) {
    PCPIN_DESCRIPTOR p{};
    p.MaxGlobalInstanceCount = p.MaxFilterInstanceCount = p.MinFilterInstanceCount = 1;
    p.KsPinDescriptor.InterfacesCount = 1;
    p.KsPinDescriptor.Interfaces = &g_streaming;
    p.KsPinDescriptor.DataRangesCount = ARRAYSIZE(g_streamRanges);
    p.KsPinDescriptor.DataRanges = g_streamRanges;
    p.KsPinDescriptor.DataFlow = flow;
    p.KsPinDescriptor.Communication = KSPIN_COMMUNICATION_SINK;
    p.KsPinDescriptor.Category = &KSCATEGORY_AUDIO;
    return p;
}

PCFILTER_DESCRIPTOR Filter(const PCPIN_DESCRIPTOR* pins, ULONG pinCount, const GUID* categories,
                           ULONG categoryCount) {
    PCFILTER_DESCRIPTOR d{};
    d.PinSize = sizeof(PCPIN_DESCRIPTOR);
    d.PinCount = pinCount;
    d.Pins = pins;
    d.NodeSize = sizeof(PCNODE_DESCRIPTOR);
    d.CategoryCount = categoryCount;
    d.Categories = categories;
    return d;
}

const PCPIN_DESCRIPTOR g_topoPins[] = {BridgePin(KSPIN_DATAFLOW_IN), BridgePin(KSPIN_DATAFLOW_OUT)};
const GUID g_topoCategories[] = {KSCATEGORY_AUDIO, KSCATEGORY_TOPOLOGY};
PCFILTER_DESCRIPTOR g_topoFilter = Filter(g_topoPins, 2, g_topoCategories, 2);

const PCPIN_DESCRIPTOR g_renderPins[] = {StreamingPin(KSPIN_DATAFLOW_IN),
                                         BridgePin(KSPIN_DATAFLOW_OUT)};
const GUID g_renderCategories[] = {KSCATEGORY_AUDIO, KSCATEGORY_RENDER};
PCFILTER_DESCRIPTOR g_renderFilter = Filter(g_renderPins, 2, g_renderCategories, 2);

const PCPIN_DESCRIPTOR g_capturePins[] = {StreamingPin(KSPIN_DATAFLOW_OUT),
                                          BridgePin(KSPIN_DATAFLOW_IN)};
const GUID g_captureCategories[] = {KSCATEGORY_AUDIO, KSCATEGORY_CAPTURE};
PCFILTER_DESCRIPTOR g_captureFilter = Filter(g_capturePins, 2, g_captureCategories, 2);

// ---- Miniports ------------------------------------------------------------

// What both fake miniports share: the log name, the script, power notes.
class MiniportBase : public IPowerNotify, public CUnknown {
public:
    MiniportBase(const std::string& name, const MiniportScript& script)
        : CUnknown(nullptr), m_Name(name), m_Script(script) {
        ++g_liveMiniports;
    }
    ~MiniportBase() override {
        Note("miniport:" + m_Name + ":gone");
        --g_liveMiniports;
    }
    VOID PowerChangeNotify(POWER_STATE state) override {
        Note("miniport:" + m_Name + ":notify:" + PowerName(state.DeviceState));
    }

protected:
    std::string m_Name;
    MiniportScript m_Script;
};

class FakeTopologyMiniport : public IMiniportTopology, public MiniportBase {
public:
    using MiniportBase::MiniportBase;
    ~FakeTopologyMiniport() override {
        if (m_Port) m_Port->Release();
    }
    DECLARE_FORWARDING_UNKNOWN()

    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override {
        if (iid == IID_IUnknown || iid == IID_IMiniport || iid == IID_IMiniportTopology)
            *out = static_cast<IMiniportTopology*>(this);
        else if (iid == IID_IPowerNotify)
            *out = static_cast<IPowerNotify*>(this);
        else
            return (*out = nullptr), STATUS_INVALID_PARAMETER;
        AddRef();
        return STATUS_SUCCESS;
    }
    NTSTATUS GetDescription(PPCFILTER_DESCRIPTOR* out) override {
        *out = &g_topoFilter;
        return m_Script.descriptionStatus;
    }
    NTSTATUS DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID,
                                   PULONG) override {
        return STATUS_NOT_IMPLEMENTED;
    }
    NTSTATUS Init(PUNKNOWN, PRESOURCELIST, PPORTTOPOLOGY port) override {
        Note("miniport:" + m_Name + ":init");
        if (!NT_SUCCESS(m_Script.initStatus)) return m_Script.initStatus;
        m_Port = port;  // kept, as a real miniport does: the cycle the port breaks
        m_Port->AddRef();
        return STATUS_SUCCESS;
    }

private:
    PPORTTOPOLOGY m_Port = nullptr;
};

class FakeWaveMiniport : public IMiniportWaveCyclic, public MiniportBase {
public:
    using MiniportBase::MiniportBase;
    ~FakeWaveMiniport() override {
        if (m_Port) m_Port->Release();
    }
    DECLARE_FORWARDING_UNKNOWN()

    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override {
        if (iid == IID_IUnknown || iid == IID_IMiniport || iid == IID_IMiniportWaveCyclic)
            *out = static_cast<IMiniportWaveCyclic*>(this);
        else if (iid == IID_IPowerNotify)
            *out = static_cast<IPowerNotify*>(this);
        else
            return (*out = nullptr), STATUS_INVALID_PARAMETER;
        AddRef();
        return STATUS_SUCCESS;
    }
    NTSTATUS GetDescription(PPCFILTER_DESCRIPTOR* out) override {
        *out = m_Script.capture ? &g_captureFilter : &g_renderFilter;
        return m_Script.descriptionStatus;
    }
    NTSTATUS DataRangeIntersection(ULONG, PKSDATARANGE client, PKSDATARANGE matching,
                                   ULONG outputLength, PVOID result, PULONG resultLength) override;
    NTSTATUS Init(PUNKNOWN, PRESOURCELIST, PPORTWAVECYCLIC port) override {
        Note("miniport:" + m_Name + ":init");
        if (!NT_SUCCESS(m_Script.initStatus)) return m_Script.initStatus;
        m_Port = port;
        m_Port->AddRef();
        return STATUS_SUCCESS;
    }
    NTSTATUS NewStream(PMINIPORTWAVECYCLICSTREAM* stream, PUNKNOWN, POOL_TYPE, ULONG,
                       BOOLEAN capture, PKSDATAFORMAT format, PDMACHANNEL* dma,
                       PSERVICEGROUP* group) override;

private:
    PPORTWAVECYCLIC m_Port = nullptr;
};

NTSTATUS FakeWaveMiniport::DataRangeIntersection(ULONG, PKSDATARANGE client, PKSDATARANGE matching,
                                                 ULONG outputLength, PVOID result,
                                                 PULONG resultLength) {
    IntersectionCalls().push_back(matching);
    if (client->SubFormat != matching->SubFormat) return STATUS_NO_MATCH;
    *resultLength = sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE);
    if (outputLength == 0) return STATUS_BUFFER_OVERFLOW;
    if (outputLength < sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE)) return STATUS_BUFFER_TOO_SMALL;
    auto* range = reinterpret_cast<const KSDATARANGE_AUDIO*>(matching);
    KSDATAFORMAT_WAVEFORMATEXTENSIBLE f{};
    f.DataFormat = *matching;
    f.DataFormat.FormatSize = sizeof(f);
    f.DataFormat.Flags = 0;
    f.WaveFormatExt.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.WaveFormatExt.Format.nChannels = WORD(range->MaximumChannels);
    f.WaveFormatExt.Format.nSamplesPerSec = range->MaximumSampleFrequency;
    f.WaveFormatExt.Format.wBitsPerSample = WORD(range->MaximumBitsPerSample);
    f.WaveFormatExt.Format.nBlockAlign =
        WORD(range->MaximumChannels * range->MaximumBitsPerSample / 8);
    f.WaveFormatExt.Format.nAvgBytesPerSec =
        f.WaveFormatExt.Format.nBlockAlign * range->MaximumSampleFrequency;
    f.WaveFormatExt.Format.cbSize = 22;
    f.WaveFormatExt.Samples.wValidBitsPerSample = WORD(range->MaximumBitsPerSample);
    f.WaveFormatExt.SubFormat = matching->SubFormat;
    std::memcpy(result, &f, sizeof(f));
    return STATUS_SUCCESS;
}

NTSTATUS FakeWaveMiniport::NewStream(PMINIPORTWAVECYCLICSTREAM* stream, PUNKNOWN, POOL_TYPE, ULONG,
                                     BOOLEAN capture, PKSDATAFORMAT format, PDMACHANNEL* dma,
                                     PSERVICEGROUP* group) {
    WAVEFORMATEX wave;
    std::memcpy(&wave, reinterpret_cast<PUCHAR>(format) + sizeof(KSDATAFORMAT), sizeof(wave));
    auto* s = new (NonPagedPoolNx, kTagFake) FakeStream(m_Port, wave, capture);
    if (s == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    s->AddRef();
    NTSTATUS status = s->Init(group);
    if (NT_SUCCESS(status)) {
        *stream = s;
        *dma = s;
        s->AddRef();
        s->AddRef();
    }
    s->Release();
    return status;
}

// ---- Adapter --------------------------------------------------------------

class FakeAdapter : public IAdapterPowerManagement, public CUnknown {
public:
    FakeAdapter() : CUnknown(nullptr) {}
    DECLARE_FORWARDING_UNKNOWN()
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* out) override {
        if (iid != IID_IUnknown && iid != IID_IAdapterPowerManagement)
            return (*out = nullptr), STATUS_INVALID_PARAMETER;
        *out = static_cast<IAdapterPowerManagement*>(this);
        AddRef();
        return STATUS_SUCCESS;
    }
    VOID PowerChangeState(POWER_STATE state) override {
        Note("adapter:power:" + PowerName(state.DeviceState));
    }
    NTSTATUS QueryPowerChangeState(POWER_STATE state) override {
        Note("adapter:query:" + PowerName(state.DeviceState));
        return STATUS_SUCCESS;
    }
    NTSTATUS QueryDeviceCapabilities(PDEVICE_CAPABILITIES caps) override {
        Note("adapter:caps");
        caps->SurpriseRemovalOK = 1;
        return STATUS_SUCCESS;
    }
};

// ---- Driver ---------------------------------------------------------------

NTSTATUS StartDevice(PDEVICE_OBJECT fdo, PIRP irp, PRESOURCELIST resources) {
    Note("start");
    return Driver().start ? Driver().start(fdo, irp, resources) : STATUS_SUCCESS;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    return PcAddAdapterDevice(driver, pdo, StartDevice, Driver().maxObjects,
                              PORT_CLASS_DEVICE_EXTENSION_SIZE + 64);
}

}  // namespace

std::vector<std::string>& Log() {
    static std::vector<std::string> log;
    return log;
}

void Note(const std::string& entry) { Log().push_back(entry); }

std::vector<std::string> LogWith(const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& e : Log())
        if (e.compare(0, prefix.size(), prefix) == 0) out.push_back(e);
    return out;
}

std::string PowerName(DEVICE_POWER_STATE state) {
    return state >= PowerDeviceD0 && state <= PowerDeviceD3 ? "D" + std::to_string(state - 1)
                                                            : "D?";
}

DriverConfig& Driver() {
    static DriverConfig config;
    return config;
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    return PcInitializeAdapterDriver(driver, registryPath, AddDevice);
}

bool PdoLogger::HandleIrp(PDEVICE_OBJECT, PIRP irp, NTSTATUS*) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MajorFunction == IRP_MJ_PNP) {
        switch (sp->MinorFunction) {
            case IRP_MN_START_DEVICE: Note("pdo:start"); break;
            case IRP_MN_STOP_DEVICE: Note("pdo:stop"); break;
            case IRP_MN_REMOVE_DEVICE: Note("pdo:remove"); break;
            case IRP_MN_QUERY_CAPABILITIES: Note("pdo:caps"); break;
            default: break;
        }
    } else if (sp->MajorFunction == IRP_MJ_POWER && sp->MinorFunction == IRP_MN_SET_POWER &&
               sp->Parameters.Power.Type == DevicePowerState) {
        Note("pdo:power:" + PowerName(sp->Parameters.Power.State.DeviceState));
    }
    return false;
}

NTSTATUS CreateTopologyMiniport(PUNKNOWN* out, const std::string& name,
                                const MiniportScript& script) {
    auto* m = new (NonPagedPoolNx, kTagFake) FakeTopologyMiniport(name, script);
    if (m == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    *out = static_cast<IMiniportTopology*>(m);
    (*out)->AddRef();
    return STATUS_SUCCESS;
}

NTSTATUS CreateWaveMiniport(PUNKNOWN* out, const std::string& name, const MiniportScript& script) {
    auto* m = new (NonPagedPoolNx, kTagFake) FakeWaveMiniport(name, script);
    if (m == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    *out = static_cast<IMiniportWaveCyclic*>(m);
    (*out)->AddRef();
    return STATUS_SUCCESS;
}

int LiveMiniports() { return g_liveMiniports; }

const KSDATARANGE_AUDIO& FloatRange() { return g_float; }
const KSDATARANGE_AUDIO& PcmRange() { return g_pcm; }

std::vector<const KSDATARANGE*>& IntersectionCalls() {
    static std::vector<const KSDATARANGE*> calls;
    return calls;
}

NTSTATUS CreateAdapter(PUNKNOWN* out) {
    auto* a = new (NonPagedPoolNx, kTagFake) FakeAdapter();
    if (a == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    *out = static_cast<IAdapterPowerManagement*>(a);
    (*out)->AddRef();
    return STATUS_SUCCESS;
}

// ---- FakeStream -------------------------------------------------------------

FakeStream::FakeStream(PPORTWAVECYCLIC port, const WAVEFORMATEX& format, bool capture)
    : CUnknown(nullptr), m_Port(port), m_Format(format), m_Capture(capture) {
    m_Port->AddRef();
}

FakeStream::~FakeStream() {
    if (m_Buffer) ExFreePoolWithTag(m_Buffer, kTagFakeBuffer);
    if (m_Group) m_Group->Release();
    m_Port->Release();
}

NTSTATUS FakeStream::Init(PSERVICEGROUP* group) {
    NTSTATUS status = PcNewServiceGroup(&m_Group, nullptr);
    if (!NT_SUCCESS(status)) return status;
    m_Size = m_Format.nAvgBytesPerSec / 20;
    m_Buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, m_Size, kTagFakeBuffer));
    if (m_Buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(m_Buffer, 0xEE, m_Size);  // neither silence nor client data
    m_Group->AddRef();
    *group = m_Group;
    return STATUS_SUCCESS;
}

NTSTATUS FakeStream::NonDelegatingQueryInterface(REFIID iid, PVOID* out) {
    if (iid == IID_IUnknown || iid == IID_IMiniportWaveCyclicStream)
        *out = static_cast<IMiniportWaveCyclicStream*>(this);
    else if (iid == IID_IDmaChannel)
        *out = static_cast<IDmaChannel*>(this);
    else
        return (*out = nullptr), STATUS_INVALID_PARAMETER;
    AddRef();
    return STATUS_SUCCESS;
}

ULONG FakeStream::SetNotificationFreq(ULONG interval, PULONG framingSize) {
    *framingSize = m_Format.nAvgBytesPerSec / 1000 * interval;
    return interval;
}

NTSTATUS FakeStream::SetState(KSSTATE state) {
    if (int(state) == m_FailState) return STATUS_UNSUCCESSFUL;
    m_States.push_back(state);
    if (state == KSSTATE_STOP || state == KSSTATE_ACQUIRE) m_Position = 0;
    return STATUS_SUCCESS;
}

NTSTATUS FakeStream::GetPosition(PULONG position) {
    *position = m_Position;
    return STATUS_SUCCESS;
}

VOID FakeStream::Silence(PVOID buffer, ULONG count) { std::memset(buffer, 0, count); }

VOID FakeStream::CopyTo(PVOID destination, PVOID source, ULONG count) {
    m_CopyIrql = KeGetCurrentIrql();
    auto* d = static_cast<PUCHAR>(destination);
    if (d >= m_Buffer && d + count <= m_Buffer + m_Size) std::memcpy(d, source, count);
}

VOID FakeStream::CopyFrom(PVOID destination, PVOID source, ULONG count) {
    m_CopyIrql = KeGetCurrentIrql();
    auto* s = static_cast<PUCHAR>(source);
    if (s >= m_Buffer && s + count <= m_Buffer + m_Size) std::memcpy(destination, s, count);
}

// ---- Fixture ----------------------------------------------------------------

void PortClsTest::SetUp() {
    sim::KernelTest::SetUp();
    sim::PcResetState();
    Log().clear();
    IntersectionCalls().clear();
    Driver() = DriverConfig{};
    harness_ = std::make_unique<sim::PnpHarness>();
    harness_->SetDeviceHandler(&pdoLogger_);
}

void PortClsTest::TearDown() {
    harness_.reset();
    EXPECT_EQ(LiveMiniports(), 0);
    sim::PcResetState();
    sim::KernelTest::TearDown();
}

void PortClsTest::Boot(bool start) {
    ASSERT_EQ(harness_->LoadDriver(DriverEntry), STATUS_SUCCESS);
    ASSERT_EQ(harness_->AddDevice(), STATUS_SUCCESS);
    if (start) {
        ASSERT_EQ(harness_->StartDevice(), STATUS_SUCCESS);
    }
}

NTSTATUS PortClsTest::Install(PDEVICE_OBJECT fdo, REFCLSID portClass, PUNKNOWN miniport,
                              const char16_t* name, PUNKNOWN* portOut) {
    PPORT port = nullptr;
    NTSTATUS status = PcNewPort(&port, portClass);
    if (NT_SUCCESS(status)) status = port->Init(fdo, nullptr, miniport, nullptr, nullptr);
    if (NT_SUCCESS(status)) status = PcRegisterSubdevice(fdo, reinterpret_cast<PCWSTR>(name), port);
    if (portOut) *portOut = port;
    if (port) port->Release();
    miniport->Release();
    return status;
}

NTSTATUS PortClsTest::InstallTopology(PDEVICE_OBJECT fdo, const std::string& name, PUNKNOWN* port) {
    PUNKNOWN miniport = nullptr;
    NTSTATUS status = CreateTopologyMiniport(&miniport, name);
    if (!NT_SUCCESS(status)) return status;
    std::u16string wide(name.begin(), name.end());
    return Install(fdo, CLSID_PortTopology, miniport, wide.c_str(), port);
}

NTSTATUS PortClsTest::InstallWave(PDEVICE_OBJECT fdo, const std::string& name, PUNKNOWN* port,
                                  bool capture) {
    PUNKNOWN miniport = nullptr;
    MiniportScript script;
    script.capture = capture;
    NTSTATUS status = CreateWaveMiniport(&miniport, name, script);
    if (!NT_SUCCESS(status)) return status;
    std::u16string wide(name.begin(), name.end());
    return Install(fdo, CLSID_PortWaveCyclic, miniport, wide.c_str(), port);
}

}  // namespace pctest
