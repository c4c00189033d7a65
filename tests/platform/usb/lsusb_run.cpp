// lsusb -v under umockdev-run, on a record written to a scratch directory
// under /tmp that is removed again after the run.
#include "tests/platform/usb/lsusb_run.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <unistd.h>

namespace lsusbrun {
namespace {

std::string UpperHex(const simusb::Bytes& b) {
    std::string s;
    char buf[3];
    for (uint8_t x : b) {
        std::snprintf(buf, sizeof(buf), "%02X", x);
        s += buf;
    }
    return s;
}

}  // namespace

bool HaveTools() {
    return std::system("command -v umockdev-run >/dev/null 2>&1 && "
                       "command -v lsusb >/dev/null 2>&1") == 0;
}

std::string UmockdevRecord(const simusb::DescriptorSet& set) {
    simusb::Bytes all = set.device;
    all.insert(all.end(), set.configuration.begin(), set.configuration.end());
    const auto* d = reinterpret_cast<const USB_DEVICE_DESCRIPTOR*>(set.device.data());
    char ids[64];
    std::snprintf(ids, sizeof(ids), "A: idVendor=%04x\nA: idProduct=%04x\n", d->idVendor, d->idProduct);
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

std::string RunLsusb(const simusb::DescriptorSet& set) {
    char dir[] = "/tmp/usbdescXXXXXX";
    if (mkdtemp(dir) == nullptr) return "";
    const std::string base = dir;
    std::ofstream(base + "/device.umockdev") << UmockdevRecord(set);
    const std::string cmd = "umockdev-run -d " + base + "/device.umockdev -- lsusb -v -d 1209: > " + base +
                            "/out.txt 2>/dev/null";
    const int rc = std::system(cmd.c_str());
    std::ifstream in(base + "/out.txt");
    std::string out((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::remove((base + "/device.umockdev").c_str());
    std::remove((base + "/out.txt").c_str());
    rmdir(dir);
    return rc == 0 ? out : "";
}

}  // namespace lsusbrun
