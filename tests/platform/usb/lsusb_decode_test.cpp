// The built-in descriptor sets decoded by an independent decoder: lsusb -v
// reads them from a umockdev test bed made from the bytes. Skipped when
// umockdev-run or lsusb is not installed (scripts/setup installs both).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <unistd.h>

#include "tests/platform/usb/lsusb_run.h"
#include "platform/usb/uac_builder.h"

namespace {

using simusb::Bytes;
using simusb::DescriptorSet;

using lsusbrun::HaveTools;
using lsusbrun::RunLsusb;

int Count(const std::string& text, const std::string& pattern) {
    std::regex re(pattern);
    return (int)std::distance(std::sregex_iterator(text.begin(), text.end(), re),
                              std::sregex_iterator());
}

struct DecodeCase {
    const char* name;
    DescriptorSet (*build)();
    std::vector<std::string> present;  // each regex must match at least once
    std::vector<std::pair<std::string, int>> counts;
};

class LsusbDecodeTest : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(LsusbDecodeTest, DecodesBuiltBytes) {
    if (!HaveTools()) GTEST_SKIP() << "umockdev-run or lsusb missing; run scripts/setup";
    const DecodeCase& c = GetParam();
    const DescriptorSet set = c.build();
    const std::string out = RunLsusb(set);
    ASSERT_FALSE(out.empty()) << "lsusb under umockdev-run failed";
    char total[64];
    std::snprintf(total, sizeof(total), "wTotalLength +0x%04zx", set.configuration.size());
    EXPECT_EQ(Count(out, total), 1) << out;
    // lsusb flags what it cannot decode; the built bytes must give it nothing to flag.
    EXPECT_EQ(Count(out, "UNRECOGNIZED|[Ww]arning|invalid|junk"), 0) << out;
    for (const std::string& p : c.present) EXPECT_GE(Count(out, p), 1) << p << "\n" << out;
    for (const auto& [p, n] : c.counts) EXPECT_EQ(Count(out, p), n) << p << "\n" << out;
}

INSTANTIATE_TEST_SUITE_P(
    Builder, LsusbDecodeTest,
    ::testing::Values(
        DecodeCase{"Uac1Headset",
                   simusb::BuildUac1Headset,
                   {"idVendor +0x1209", "idProduct +0x7a01", "bcdUSB +1\\.10",
                    "bNumInterfaces +3", "bcdADC +1\\.00", "wTotalLength +0x0047", "baInterfaceNr\\(1\\) +2",
                    "wTerminalType +0x0101 USB Streaming", "wTerminalType +0x0302 Headphones",
                    "wTerminalType +0x0201 Microphone", "bmaControls\\(0\\) +0x01",
                    "Mute Control", "Volume Control", "tSamFreq\\[ 0\\] +48000",
                    "tSamFreq\\[ 1\\] +44100", "bEndpointAddress +0x01 +EP 1 OUT",
                    "bEndpointAddress +0x82 +EP 2 IN", "wMaxPacketSize +0x00c4 +1x 196 bytes",
                    "Synch Type +Adaptive", "Sampling Frequency"},
                   {{"\n +Interface Descriptor:", 5},
                    {"AudioControl Interface Descriptor:", 7},
                    {"AudioStreaming Interface Descriptor:", 4},
                    {"\n +Endpoint Descriptor:", 3},
                    {"bNrChannels +2", 2},
                    {"bNrChannels +1", 2}}},
        DecodeCase{"Uac2AsyncDevice",
                   simusb::BuildUac2AsyncDevice,
                   {"idProduct +0x7a02", "bcdUSB +2\\.00", "bNumInterfaces +3",
                    "Interface Association", "bInterfaceProtocol +32", "bcdADC +2\\.00", "wTotalLength +0x006f",
                    "bClockID +10", "bCSourceID +10", "bSubslotSize +4", "bBitResolution +24",
                    "bSubslotSize +2", "Usage Type +Feedback", "Synch Type +Asynchronous",
                    "wMaxPacketSize +0x00c8 +1x 200 bytes", "wTerminalType +0x0603 Line"},
                   {{"\n +Interface Descriptor:", 6},
                    {"AudioControl Interface Descriptor:", 8},
                    {"AudioStreaming Interface Descriptor:", 6},
                    {"\n +Endpoint Descriptor:", 6},
                    {"CLOCK_SOURCE", 1},
                    {"bInterval +4", 3}}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
