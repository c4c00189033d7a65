// The filter descriptor check: each fault it exists to catch.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/ks/descriptor_check.h"

namespace {

const ULONG F = KSFILTER_NODE;

struct CheckCase {
    const char* name;
    std::vector<PCCONNECTION_DESCRIPTOR> connections;
    const char* finding;  // empty: consistent
};

class DescriptorCheckTest : public ::testing::TestWithParam<CheckCase> {};

// Pin 0 flows in, pin 1 out; two nodes.
TEST_P(DescriptorCheckTest, FindsTheFault) {
    PCPIN_DESCRIPTOR pins[2] = {};
    pins[0].KsPinDescriptor.DataFlow = KSPIN_DATAFLOW_IN;
    pins[1].KsPinDescriptor.DataFlow = KSPIN_DATAFLOW_OUT;
    PCNODE_DESCRIPTOR nodes[2] = {};
    const std::vector<PCCONNECTION_DESCRIPTOR>& c = GetParam().connections;
    PCFILTER_DESCRIPTOR d = {0, NULL, sizeof(PCPIN_DESCRIPTOR), 2, pins, sizeof(PCNODE_DESCRIPTOR), 2, nodes,
                             (ULONG)c.size(), c.data(), 0, NULL};
    std::string report = KsCheckDescriptor(&d);
    if (*GetParam().finding == 0) {
        EXPECT_EQ(report, "");
    } else {
        EXPECT_NE(report.find(GetParam().finding), std::string::npos) << report;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DescriptorCheckTest,
    ::testing::Values(CheckCase{"Chain", {{F, 0, 0, 1}, {0, 0, 1, 1}, {1, 0, F, 1}}, ""},
                      CheckCase{"Duplicate", {{F, 0, 0, 1}, {F, 0, 0, 1}}, "duplicate"},
                      CheckCase{"FromOutputPin", {{F, 1, 0, 1}}, "invalid end"},
                      CheckCase{"ToInputPin", {{0, 0, F, 0}}, "invalid end"},
                      CheckCase{"NodeOutputNotPin0", {{0, 1, F, 1}}, "invalid end"},
                      CheckCase{"NodeInputPin0", {{F, 0, 0, 0}}, "invalid end"},
                      CheckCase{"NodeOutOfRange", {{F, 0, 2, 1}}, "invalid end"},
                      CheckCase{"Cycle", {{0, 0, 1, 1}, {1, 0, 0, 1}}, "cycle"},
                      CheckCase{"SelfLoop", {{0, 0, 0, 2}}, "cycle"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DescriptorCheck, CountsWithoutArraysAreReported) {
    PCFILTER_DESCRIPTOR d = {0, NULL, sizeof(PCPIN_DESCRIPTOR), 1, NULL, sizeof(PCNODE_DESCRIPTOR), 1, NULL, 1, NULL, 1, NULL};
    std::string report = KsCheckDescriptor(&d);
    EXPECT_NE(report.find("pins"), std::string::npos);
    EXPECT_NE(report.find("nodes"), std::string::npos);
    EXPECT_NE(report.find("connections"), std::string::npos);
    EXPECT_NE(report.find("categories"), std::string::npos);
    EXPECT_NE(KsCheckDescriptor(NULL), "");
}

}  // namespace
