// Fuzzes the UAC 2.0 model with whole configuration descriptors: each input
// is the configuration of a simulated high-speed device (test vendor) that
// lives through the adapter's Init with the built-in models (an Audio
// Control protocol 0x20 gives the UAC 2.0 model), Start, Stop and teardown
// on a kernel scope of its own. Any status is fine; a sanitizer report, a
// kernel-rule bugcheck, a hang or anything left at the scope's end
// (threads, handles, timers, pool blocks) is a finding.
//
// Seeds (seeds/uac2_descriptors_fuzz/): the configuration bytes of the
// class 2.0 descriptor files (tests/fixtures/usb/uac2_async_device.txt,
// tests/fixtures/uac2/*.txt), one binary file each.
#include <cstdint>
#include <cstdio>

#include "tests/adapter/uac1/device_life.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 0xFFFF) return 0;
    simusb::DescriptorSet set = uac1test::DeviceAround(simusb::Bytes(data, data + size));
    set.speed = simusb::UsbSpeed::High;
    const uac1test::LifeOutcome outcome = uac1test::RunDeviceLife(set);
    if (!outcome.problems.empty()) {
        std::fprintf(stderr, "device life left problems:\n%s\n", outcome.problems.c_str());
        __builtin_trap();
    }
    return 0;
}
