#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/usb/descriptor_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    simusb::DescriptorSet set;
    simusb::DescriptorFileError error;
    if (!simusb::ParseDescriptorText(text, simusb::UsbSpeed::Full, &set, &error)) return 0;
    // Whatever loads must survive a write and a read unchanged.
    simusb::DescriptorSet back;
    if (!simusb::ParseDescriptorText(simusb::FormatDescriptorText(set), simusb::UsbSpeed::Full,
                                     &back, &error) ||
        !(back == set))
        std::abort();
    return 0;
}
