// Fuzzes the UAC 1.0 model with whole configuration descriptors: each input
// is the configuration of a simulated full-speed device (test vendor,
// neutral model string) that lives through the adapter's Init with the
// built-in generic model, Start, Stop and teardown on a kernel scope of its
// own. Any status is fine; a sanitizer report, a kernel-rule bugcheck, a
// hang (the executor reports deadlocks) or anything left at the scope's end
// (threads, handles, timers, pool blocks) is a finding.
//
// Seeds (seeds/uac1_descriptors_fuzz/): the configuration bytes of the
// descriptor fixtures tests/fixtures/uac1/*.hex, one binary file each.
#include <cstdint>
#include <cstdio>

#include "tests/adapter/uac1/device_life.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // wTotalLength is 16 bits: longer inputs say nothing new.
    if (size > 0xFFFF) return 0;
    const simusb::Bytes configuration(data, data + size);
    const uac1test::LifeOutcome outcome = uac1test::RunDeviceLife(uac1test::DeviceAround(configuration));
    if (!outcome.problems.empty()) {
        std::fprintf(stderr, "device life left problems:\n%s\n", outcome.problems.c_str());
        __builtin_trap();
    }
    return 0;
}
