// `inspect` end to end: the JSON view of the running driver for the
// built-in headset and for descriptor files (the UAC 1.0 model's
// fixtures, given the model string the generic family answers to, as
// their own tests give it), compared with goldens in tests/e2e/golden that
// were each checked by hand against their device's descriptors. A device
// the driver refuses gives its refusal in the JSON. Regenerate the goldens
// with UACHOST_UPDATE_GOLDENS=1 (then check the difference by hand).
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "tests/e2e/e2e_fixture.h"
#include "tools/host/host_report.h"

namespace e2etest {
namespace {

struct InspectCase {
    const char* name;
    const char* file;  // relative to the source tree; empty: the headset
    NTSTATUS start;
    bool modelString = true;  // add string 0x50 to a fixture file
    simusb::UsbSpeed speed = simusb::UsbSpeed::Full;
};

// The fixture with its model string, in the test's directory.
std::string WithModelString(const std::string& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf() << "\nstring 0x50: GENERIC-UAC1\n";
    const std::string dir = TestDirectory("device");
    EXPECT_TRUE(host::MakeDirectories(dir));
    const std::string copy = dir + "/device.txt";
    std::ofstream(copy) << text.str();
    return copy;
}

class InspectTest : public E2eTest, public ::testing::WithParamInterface<InspectCase> {};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST_P(InspectTest, MatchesItsGolden) {
    const InspectCase& c = GetParam();
    std::string file = *c.file ? std::string(E2E_SOURCE_DIR) + "/" + c.file : "";
    if (!file.empty() && c.modelString) file = WithModelString(file);
    EXPECT_EQ(StartSession(file, "", c.speed), c.start);
    std::string json = host::DumpJson(host::InspectJson(Session()));
    const std::string golden = std::string(E2E_GOLDEN_DIR) + "/" + c.name + ".json";
    if (std::getenv("UACHOST_UPDATE_GOLDENS")) {
        std::ofstream(golden) << json;
        return;
    }
    EXPECT_EQ(json, ReadFile(golden)) << "golden " << golden;
}

INSTANTIATE_TEST_SUITE_P(
    Devices, InspectTest,
    ::testing::Values(InspectCase{"headset", "", STATUS_SUCCESS},
                      InspectCase{"uac1_headset", "tests/fixtures/uac1/headset.hex", STATUS_SUCCESS},
                      InspectCase{"uac1_many_alts", "tests/fixtures/uac1/many_alts.hex", STATUS_SUCCESS},
                      InspectCase{"uac1_master_volume", "tests/fixtures/uac1/master_volume.hex", STATUS_SUCCESS},
                      InspectCase{"uac1_multichannel", "tests/fixtures/uac1/multichannel.hex", STATUS_SUCCESS},
                      InspectCase{"uac1_processing_unit", "tests/fixtures/uac1/processing_unit.hex", STATUS_UNSUCCESSFUL},
                      InspectCase{"uac1_selector_capture", "tests/fixtures/uac1/selector_capture.hex", STATUS_SUCCESS},
                      InspectCase{"uac1_class_example_microphone", "tests/fixtures/uac1/class_example_microphone.hex", STATUS_SUCCESS},
                      InspectCase{"uac1_class_example_telephone", "tests/fixtures/uac1/class_example_telephone.hex",
                                  STATUS_SUCCESS},
                      InspectCase{"uac1_volume_only", "tests/fixtures/uac1/volume_only.hex", STATUS_INSUFFICIENT_RESOURCES},
                      InspectCase{"uac1_no_model_string", "tests/fixtures/uac1/headset.hex", STATUS_UNSUCCESSFUL, false},
                      InspectCase{"uac2_async_device", "tests/fixtures/usb/uac2_async_device.txt", STATUS_SUCCESS, false,
                                  simusb::UsbSpeed::High},
                      // Clock selectors are refused: the parse fails, nothing stays.
                      InspectCase{"uac2_clock_selector", "tests/fixtures/uac2/clock_selector.txt", STATUS_UNSUCCESSFUL,
                                  false, simusb::UsbSpeed::High},
                      InspectCase{"truncated_config", "tests/e2e/devices/truncated_config.txt", STATUS_DEVICE_CONFIGURATION_ERROR, false}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace e2etest
