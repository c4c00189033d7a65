// The host program's exit status for runs that break the stand-in's rules:
// a driver contract broken during `inspect` (the run goes on, stdout stays
// the JSON, the status is 3), and a bugcheck, abort() or std::terminate
// (the process ends with 4 and names the cause on stderr).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "adapter/family_choice.h"
#include "adapter/usb/usb_audio_device.h"
#include "nt/ke.h"
#include "sim/bugcheck.h"
#include "tests/support/violation_recorder.h"
#include "tools/host/host_cli.h"

namespace e2etest {
namespace {

using ::testing::HasSubstr;

// ---- a driver that misreports its PnP requests --------------------------

DRIVER_FACTORIES g_builtIn;
PDRIVER_DISPATCH g_driverPnp = nullptr;

// Passes the request to the driver's own routine, then returns a failure
// for a request it completed with success: the completion contract the
// harness checks for every request it sends.
NTSTATUS MisreportedPnp(PDEVICE_OBJECT device, PIRP irp) {
    NTSTATUS status = g_driverPnp(device, irp);
    return status == STATUS_SUCCESS ? STATUS_UNSUCCESSFUL : status;
}

// The model factory of slot Slot, which first puts MisreportedPnp in the
// driver's PnP entry (so the start itself is reported truthfully and every
// later PnP request, the removal included, is not).
template <size_t Slot>
NTSTATUS HookingModel(PUNKNOWN* model, PUNKNOWN outer, USHORT vendorId, USHORT productId, UCHAR chipVariant) {
    IUsbAudioDevice* usb = nullptr;
    if (NT_SUCCESS(outer->QueryInterface(IID_IUsbAudioDevice, reinterpret_cast<PVOID*>(&usb))) && usb != nullptr) {
        PDRIVER_OBJECT driver = usb->GetLowerDeviceObject()->AttachedDevice->DriverObject;
        usb->Release();
        if (driver->MajorFunction[IRP_MJ_PNP] != MisreportedPnp) {
            g_driverPnp = driver->MajorFunction[IRP_MJ_PNP];
            driver->MajorFunction[IRP_MJ_PNP] = MisreportedPnp;
        }
    }
    return g_builtIn.Models[Slot](model, outer, vendorId, productId, chipVariant);
}

template <size_t... Slot>
DRIVER_FACTORIES MisreportingFactories(std::index_sequence<Slot...>) {
    g_builtIn = *GetDriverFactories();
    DRIVER_FACTORIES table = g_builtIn;
    ((table.Models[Slot] = g_builtIn.Models[Slot] ? &HookingModel<Slot> : nullptr), ...);
    return table;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(HostExitStatusTest, BrokenDriverContractDuringInspectGivesThreeAndKeepsStdoutJson) {
    ScopedDriverFactories factories(MisreportingFactories(std::make_index_sequence<FAMILY_MODEL_COUNT>()));
    testsupport::ViolationRecorder recorder;
    std::ostringstream out, err;
    const int code = host::RunHost({"inspect"}, out, err);

    EXPECT_EQ(code, host::kExitRuleBroken);
    // The headset's inspect JSON, checked by hand once, byte for byte:
    // nothing of the report reached stdout.
    EXPECT_EQ(out.str(), ReadFile(std::string(E2E_GOLDEN_DIR) + "/headset.json"));
    EXPECT_THAT(err.str(), HasSubstr("a stand-in rule was broken"));
    std::vector<testsupport::ViolationReport> reports = recorder.Reports();
    ASSERT_FALSE(reports.empty());
    EXPECT_THAT(reports[0].what, HasSubstr("returned 0xC0000001 but completed with 0x00000000"));
    EXPECT_THAT(reports[0].file, ::testing::EndsWith("send_irp.cpp"));
}

TEST(HostExitStatusTest, CleanInspectGivesZero) {
    std::ostringstream out, err;
    EXPECT_EQ(host::RunHost({"inspect"}, out, err), host::kExitOk);
    EXPECT_EQ(out.str(), ReadFile(std::string(E2E_GOLDEN_DIR) + "/headset.json"));
    EXPECT_EQ(err.str(), "");
}

// ---- runs the stand-in or the runtime stops -----------------------------

struct StopCase {
    const char* name;
    void (*stop)();
    const char* stderrPattern;  // a regular expression of the death test
};

// std::terminate with an exception in flight, as an escaped throw reaches it.
[[noreturn]] void TerminateWhileHandling() {
    try {
        throw std::runtime_error("ring buffer torn");
    } catch (...) {
        std::terminate();
    }
}

const StopCase kStopCases[] = {
    {"Bugcheck", [] { sim::Bugcheck(IRQL_NOT_LESS_OR_EQUAL, "KeWaitForSingleObject called at IRQL 2"); },
     "STOP 0x0000000A IRQL_NOT_LESS_OR_EQUAL.*KeWaitForSingleObject called at IRQL 2.*"
     "uachost: stopped by bugcheck 0x0000000A IRQL_NOT_LESS_OR_EQUAL"},
    {"Abort", [] { std::abort(); }, "uachost: stopped by abort\\(\\)"},
    {"Terminate", [] { TerminateWhileHandling(); }, "uachost: stopped by std::terminate \\(ring buffer torn\\)"},
};

void PrintTo(const StopCase& c, std::ostream* os) { *os << c.name; }

class HostStopTest : public ::testing::TestWithParam<StopCase> {};

TEST_P(HostStopTest, EndsWithFourAndNamesTheCause) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            host::InstallStopHandlers();
            GetParam().stop();
        },
        ::testing::ExitedWithCode(host::kExitStopped), GetParam().stderrPattern);
}

INSTANTIATE_TEST_SUITE_P(Causes, HostStopTest, ::testing::ValuesIn(kStopCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace e2etest
