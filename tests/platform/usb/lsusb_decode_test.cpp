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

#include "usb/uac_builder.h"

namespace {

using simusb::Bytes;
using simusb::DescriptorSet;

std::string UpperHex(const Bytes& b) {
    std::string s;
    char buf[3];
    for (uint8_t x : b) {
        std::snprintf(buf, sizeof(buf), "%02X", x);
        s += buf;
    }
    return s;
}

// A umockdev record of one device on bus 1 behind a root hub: the usbfs
// node and the sysfs "descriptors" attribute both hold device and
// configuration descriptor bytes, as the kernel presents them.
std::string UmockdevRecord(const DescriptorSet& set) {
    Bytes all = set.device;
    all.insert(all.end(), set.configuration.begin(), set.configuration.end());
    const auto* d = reinterpret_cast<const USB_DEVICE_DESCRIPTOR*>(set.device.data());
    char ids[64];
    std::snprintf(ids, sizeof(ids), "A: idVendor=%04x\nA: idProduct=%04x\n", d->idVendor,
                  d->idProduct);
    const char* speed = set.speed == simusb::UsbSpeed::High ? "480" : "12";
    std::string r;
    r += "P: /devices/pci0000:00/0000:00:14.0/usb1/1-1\n";
    r += "N: bus/usb/001/002=" + UpperHex(all) + "\n";
    r += "E: DEVNAME=/dev/bus/usb/001/002\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n";
    r += "E: BUSNUM=001\nE: DEVNUM=002\nE: MAJOR=189\nE: MINOR=1\nE: SUBSYSTEM=usb\n";
    r += "A: bConfigurationValue=1\nA: busnum=1\nA: devnum=2\n";
    r += "H: descriptors=" + UpperHex(all) + "\n";
    r += ids;
    r += std::string("A: speed=") + speed + "\n\n";
    r += "P: /devices/pci0000:00/0000:00:14.0/usb1\nN: bus/usb/001/001\n";
    r += "E: DEVNAME=/dev/bus/usb/001/001\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n";
    r += "E: BUSNUM=001\nE: DEVNUM=001\nE: SUBSYSTEM=usb\n";
    r += "A: busnum=1\nA: devnum=1\nA: idVendor=1d6b\nA: idProduct=0002\nA: speed=480\n\n";
    r += "P: /devices/pci0000:00/0000:00:14.0\nE: SUBSYSTEM=pci\n";
    return r;
}

bool HaveTools() {
    return std::system("command -v umockdev-run >/dev/null 2>&1 && "
                       "command -v lsusb >/dev/null 2>&1") == 0;
}

std::string RunLsusb(const DescriptorSet& set) {
    char dir[] = "/tmp/usbdescXXXXXX";
    if (mkdtemp(dir) == nullptr) return "";
    const std::string base = dir;
    std::ofstream(base + "/device.umockdev") << UmockdevRecord(set);
    const std::string cmd = "umockdev-run -d " + base + "/device.umockdev -- lsusb -v -d 1209: > " +
                            base + "/out.txt 2>/dev/null";
    const int rc = std::system(cmd.c_str());
    std::ifstream in(base + "/out.txt");
    std::string out((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove((base + "/device.umockdev").c_str());
    std::remove((base + "/out.txt").c_str());
    rmdir(dir);
    return rc == 0 ? out : "";
}

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
