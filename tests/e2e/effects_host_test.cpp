// `uachost set` with the effect options on a device without effect nodes
// (the built-in headset), with a state directory: the options are read,
// and a missing node is a driver failure naming it; values outside the
// options' ranges are bad input.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "tools/host/host_cli.h"

namespace e2etest {
namespace {

struct HostCase {
    const char* name;
    std::vector<std::string> args;
    int code;
    const char* stderrText;
};

void PrintTo(const HostCase& c, std::ostream* os) { *os << c.name; }

class EffectOptionsTest : public ::testing::TestWithParam<HostCase> {};

TEST_P(EffectOptionsTest, ExitCodeAndReason) {
    const HostCase& c = GetParam();
    std::ostringstream out, err;
    std::vector<std::string> args = {"--state", std::string(E2E_WORK_DIR) + "/" + c.name};
    args.insert(args.end(), c.args.begin(), c.args.end());
    EXPECT_EQ(host::RunHost(args, out, err), c.code);
    EXPECT_THAT(err.str(), ::testing::HasSubstr(c.stderrText));
}

INSTANTIATE_TEST_SUITE_P(
    Set, EffectOptionsTest,
    ::testing::Values(
        HostCase{"SurroundWithoutNode", {"set", "--surround", "1"}, host::kExitDriverFailure, "no surround effect node"},
        HostCase{"HeadphoneWithoutNode", {"set", "--headphone", "0"}, host::kExitDriverFailure, "no headphone effect node"},
        HostCase{"RoomWithoutNode", {"set", "--room", "2"}, host::kExitDriverFailure, "no headphone effect node"},
        HostCase{"SwitchNotZeroOrOne", {"set", "--surround", "2"}, host::kExitBadInput, "--surround"},
        HostCase{"NegativeMode", {"set", "--mode", "-1"}, host::kExitBadInput, "--mode"}),
    [](const ::testing::TestParamInfo<HostCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace e2etest
