// Every step that can end a device start says so: each row fails one step
// of the real driver's start (by the stand-in's fault injection or by a
// device the driver cannot take) and `inspect`'s "log" must name that step.
#include <fstream>
#include <functional>
#include <sstream>

#include "adapter/audio_hal.h"
#include "adapter/device_context.h"
#include "adapter/ini_reader.h"
#include "adapter/model/uac2_hal.h"
#include "adapter/usb_audio_hal.h"
#include "platform/portcls/sim_portcls.h"
#include "sim/pool.h"
#include "tests/e2e/e2e_fixture.h"
#include "tools/host/host_report.h"

namespace e2etest {
namespace {

constexpr NTSTATUS kInjected = STATUS_DEVICE_CONFIGURATION_ERROR;
constexpr char kUac2File[] = "tests/fixtures/usb/uac2_async_device.txt";

enum class Device { Headset, Uac2, Uac2Protocol30 };

// When a row's faults are armed: when IRP_MN_START_DEVICE reaches the
// device (after AddDevice, before the driver's own start work), or once
// the model has selected the Audio Control interface (its Start).
enum class Trigger { Start, ControlSelected };

struct StartFailureCase {
    const char* name;
    Device device;
    std::function<void(host::HostSession&)> arm;
    const char* line;  // the start of the line that names the step
    Trigger trigger = Trigger::Start;
};

std::ostream& operator<<(std::ostream& out, const StartFailureCase& c) { return out << c.name; }

bool IsControlSelection(PIO_STACK_LOCATION sp) {
    if (sp->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL ||
        sp->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB)
        return false;
    auto* urb = static_cast<PURB>(sp->Parameters.Others.Argument1);
    return urb->UrbHeader.Function == URB_FUNCTION_SELECT_INTERFACE &&
           urb->UrbSelectInterface.Interface.InterfaceNumber == 0;
}

// Arms the row's faults at its trigger (once), and lets the bus serve
// every request as usual.
class ArmOnTrigger : public sim::BusDeviceHandler {
public:
    ArmOnTrigger(host::HostSession& session, const StartFailureCase& c) : m_Session(session), m_Case(c) {}
    bool HandleIrp(PDEVICE_OBJECT pdo, PIRP irp, NTSTATUS* status) override {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        const bool start = sp->MajorFunction == IRP_MJ_PNP && sp->MinorFunction == IRP_MN_START_DEVICE;
        const bool control = IsControlSelection(sp);
        if (!m_Armed && start && m_Case.trigger == Trigger::Start) Arm();
        if (m_Armed && sp->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
            sp->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB)
            ++m_Urbs;
        const bool handled = m_Session.Port().bus().HandleIrp(pdo, irp, status);
        if (!m_Armed && control && m_Case.trigger == Trigger::ControlSelected) Arm();
        return handled;
    }

    // URBs that reached the bus since the faults were armed.
    uint64_t Urbs() const { return m_Urbs; }

private:
    void Arm() {
        m_Armed = true;
        m_Case.arm(m_Session);
    }
    host::HostSession& m_Session;
    const StartFailureCase& m_Case;
    bool m_Armed = false;
    uint64_t m_Urbs = 0;
};

// The class 2.0 fixture with its Audio Control interface declaring
// protocol 0x30, which no model of the driver takes.
std::string Protocol30File() {
    std::ifstream in(std::string(E2E_SOURCE_DIR) + "/" + kUac2File);
    std::stringstream text;
    text << in.rdbuf();
    std::string body = text.str();
    const std::string control = "config: 09 04 00 00 01 01 01 20 00";
    const size_t at = body.find(control);
    EXPECT_NE(at, std::string::npos);
    if (at != std::string::npos) body.replace(at, control.size(), "config: 09 04 00 00 01 01 01 30 00");
    const std::string dir = TestDirectory("start-failure");
    EXPECT_TRUE(host::MakeDirectories(dir));
    const std::string copy = dir + "/protocol30.txt";
    std::ofstream(copy) << body;
    return copy;
}

void FailUrb(host::HostSession& s, USHORT function) {
    simusb::BusFaultRule rule;
    rule.urbFunction = function;
    rule.status = kInjected;
    s.Port().bus().AddFaultRule(rule);
}

class StartFailureLog : public E2eTest, public ::testing::WithParamInterface<StartFailureCase> {};

// A new session with the device plugged; its start is left to the test.
std::unique_ptr<host::HostSession> PlugSession(Device device) {
    auto session = std::make_unique<host::HostSession>();
    host::DeviceChoice choice;
    if (device == Device::Uac2) choice.descriptorFile = std::string(E2E_SOURCE_DIR) + "/" + kUac2File;
    if (device == Device::Uac2Protocol30) choice.descriptorFile = Protocol30File();
    if (device != Device::Headset) choice.speed = simusb::UsbSpeed::High;
    std::string error;
    EXPECT_TRUE(session->PlugDevice(choice, &error)) << error;
    return session;
}

// Starts the session with the row's faults armed; every fault is taken
// back afterwards, so that inspect and the removal run unhindered.
NTSTATUS StartArmed(host::HostSession& session, const StartFailureCase& c, uint64_t* urbs = nullptr) {
    ArmOnTrigger arm(session, c);
    session.Port().harness().SetDeviceHandler(&arm);
    const NTSTATUS status = session.Start();
    if (urbs != nullptr) *urbs = arm.Urbs();
    session.Port().harness().SetDeviceHandler(&session.Port().bus());
    sim::PoolClearFailures();
    sim::PcClearFailures();
    session.Port().bus().ClearFaultRules();
    session.Port().bus().SetBusInterfaceMode(simusb::BusInterfaceMode::Normal);
    return status;
}

TEST_P(StartFailureLog, NamesTheStep) {
    const StartFailureCase& c = GetParam();
    session_ = PlugSession(c.device);
    const NTSTATUS status = StartArmed(*session_, c);
    EXPECT_FALSE(NT_SUCCESS(status)) << std::hex << status;

    const host::Json json = host::InspectJson(*session_);
    ASSERT_TRUE(json.contains("log")) << "a failed start without a line";
    std::vector<std::string> log = json["log"].get<std::vector<std::string>>();
    const bool named = std::any_of(log.begin(), log.end(), [&](const std::string& line) {
        return line.rfind(c.line, 0) == 0 && line.find("(status ") != std::string::npos;
    });
    EXPECT_TRUE(named) << "no line begins \"" << c.line << "\": " << ::testing::PrintToString(log);
}

void FailPc(sim::PcCall call, uint64_t n) { sim::PcFailNth(call, n, kInjected); }

INSTANTIATE_TEST_SUITE_P(
    Table, StartFailureLog,
    ::testing::Values(
        StartFailureCase{"PortClassVersion", Device::Headset, [](host::HostSession&) { sim::PcSetVersion(10); },
                         "start: the port-class version check failed"},
        StartFailureCase{"AdapterObject", Device::Headset, [](host::HostSession&) { sim::PoolFailTag(ADAPTER_TAG); },
                         "start: creating the adapter failed"},
        StartFailureCase{"SettingsReader", Device::Headset,
                         [](host::HostSession&) { sim::PoolFailTag(INI_READER_TAG); },
                         "start: the settings-file reader failed"},
        StartFailureCase{"UnitLists", Device::Headset, [](host::HostSession&) { sim::PoolFailTag(HAL_LIST_TAG); },
                         "start: the unit and engine lists failed"},
        StartFailureCase{"DescriptorRead", Device::Headset,
                         [](host::HostSession& s) { FailUrb(s, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE); },
                         "start: the descriptor read failed"},
        StartFailureCase{"ConfigurationSelection", Device::Headset,
                         [](host::HostSession& s) { FailUrb(s, URB_FUNCTION_SELECT_CONFIGURATION); },
                         "start: the configuration selection failed"},
        StartFailureCase{"BusInterfaceQuery", Device::Headset,
                         [](host::HostSession& s) {
                             s.Port().bus().SetBusInterfaceMode(simusb::BusInterfaceMode::Refuse);
                         },
                         "start: the bus interface query failed"},
        StartFailureCase{"FamilyModelChoice", Device::Uac2Protocol30, [](host::HostSession&) {},
                         "interface 0: the family-model choice failed"},
        StartFailureCase{"FamilyModelObject", Device::Uac2,
                         [](host::HostSession&) { sim::PoolFailTag(UAC2_MODEL_TAG); },
                         "start: creating the family model failed"},
        StartFailureCase{"StreamInit", Device::Uac2, [](host::HostSession&) { sim::PoolFailTag(STREAM_ENGINE_TAG); },
                         "interface 1: making the stream failed"},
        StartFailureCase{"PowerRegistration", Device::Headset,
                         [](host::HostSession&) { FailPc(sim::PcCall::RegisterAdapterPowerManagement, 1); },
                         "start: the power-management registration failed"},
        StartFailureCase{"TopologySubdevice", Device::Headset,
                         [](host::HostSession&) { FailPc(sim::PcCall::RegisterSubdevice, 1); },
                         "start: the topology subdevice failed"},
        StartFailureCase{"WavePortInit", Device::Headset,
                         [](host::HostSession&) { FailPc(sim::PcCall::PortInit, 2); },
                         "interface 1 (HeadSetOut00): the wave port's Init failed"},
        StartFailureCase{"WaveSubdevice", Device::Uac2,
                         [](host::HostSession&) { FailPc(sim::PcCall::RegisterSubdevice, 3); },
                         "interface 2 (LineIn00): PcRegisterSubdevice failed"},
        StartFailureCase{"PhysicalConnection", Device::Headset,
                         [](host::HostSession&) { FailPc(sim::PcCall::RegisterPhysicalConnection, 1); },
                         "interface 1 (HeadSetOut00): PcRegisterPhysicalConnection failed"},
        StartFailureCase{"ControlInterfaceSelection", Device::Uac2,
                         [](host::HostSession& s) { FailUrb(s, URB_FUNCTION_SELECT_INTERFACE); },
                         "interface 0: selecting the Audio Control interface failed"},
        StartFailureCase{"InterruptThread", Device::Uac2,
                         [](host::HostSession&) { sim::PoolFailTag(MakePoolTag("Thre")); },
                         "interface 0: starting the interrupt thread failed", Trigger::ControlSelected},
        StartFailureCase{"EnumerationInterface", Device::Headset,
                         [](host::HostSession& s) {
                             PDEVICE_OBJECT fdo = s.Port().harness().TopDevice();
                             GetDeviceContext(fdo)->EnumInterfaceName.Buffer[4] ^= 1;
                         },
                         "start: enabling the enumeration interface failed"}),
    [](const ::testing::TestParamInfo<StartFailureCase>& info) { return std::string(info.param.name); });

// Each pool allocation of the start failing in turn, on a class 1.0 and a
// class 2.0 device: every start that fails leaves at least one line.
class StartFaultSweep : public E2eTest, public ::testing::WithParamInterface<Device> {};

TEST_P(StartFaultSweep, EveryFailedStartLeavesALine) {
    std::vector<uint64_t> silent;
    uint64_t n = 1;
    for (;; ++n) {
        session_ = PlugSession(GetParam());
        const StartFailureCase c{"", GetParam(), [n](host::HostSession&) {
                                     sim::PoolResetCounters();
                                     sim::PoolFailNth(n);
                                 }, ""};
        const NTSTATUS status = StartArmed(*session_, c);
        const bool failed = sim::PoolFailedAllocations() != 0;
        if (!NT_SUCCESS(status) && !host::InspectJson(*session_).contains("log")) silent.push_back(n);
        session_.reset();
        if (!failed) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            break;
        }
        ASSERT_LT(n, 20000u);
    }
    EXPECT_TRUE(silent.empty()) << "starts that failed without a line, by the allocation that failed: "
                                << ::testing::PrintToString(silent);
    std::printf("%llu pool allocations of the start failed in turn\n", (unsigned long long)(n - 1));
}

// Each USB request of the start failing in turn (the device stalls it):
// every start that fails leaves at least one line.
TEST_P(StartFaultSweep, EveryFailedRequestLeavesALine) {
    std::vector<uint64_t> silent;
    uint64_t n = 1;
    for (;; ++n) {
        session_ = PlugSession(GetParam());
        const StartFailureCase c{"", GetParam(), [n](host::HostSession& s) {
                                     simusb::BusFaultRule rule;
                                     rule.ioctl = IOCTL_INTERNAL_USB_SUBMIT_URB;
                                     rule.usbdStatus = USBD_STATUS_STALL_PID;
                                     rule.skip = (ULONG)(n - 1);
                                     rule.count = 1;
                                     s.Port().bus().AddFaultRule(rule);
                                 }, ""};
        uint64_t urbs = 0;
        const NTSTATUS status = StartArmed(*session_, c, &urbs);
        if (!NT_SUCCESS(status) && !host::InspectJson(*session_).contains("log")) silent.push_back(n);
        session_.reset();
        if (urbs < n) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            break;
        }
        ASSERT_LT(n, 5000u);
    }
    EXPECT_TRUE(silent.empty()) << "starts that failed without a line, by the request that failed: "
                                << ::testing::PrintToString(silent);
    std::printf("%llu USB requests of the start failed in turn\n", (unsigned long long)(n - 1));
}

INSTANTIATE_TEST_SUITE_P(Devices, StartFaultSweep, ::testing::Values(Device::Headset, Device::Uac2),
                         [](const ::testing::TestParamInfo<Device>& info) {
                             return std::string(info.param == Device::Headset ? "Headset" : "Uac2");
                         });

}  // namespace
}  // namespace e2etest
