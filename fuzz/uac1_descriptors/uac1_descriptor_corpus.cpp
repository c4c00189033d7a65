// Writes the configuration bytes of descriptor files as binary seed inputs:
//   uac1_descriptor_corpus <output directory> <file.hex> ...
// One output file per input, named after it without the extension.
#include <cstdio>
#include <fstream>
#include <string>

#include "platform/usb/descriptor_file.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <output directory> <descriptor file>...\n", argv[0]);
        return 2;
    }
    int failures = 0;
    for (int i = 2; i < argc; ++i) {
        simusb::DescriptorSet set;
        simusb::DescriptorFileError error;
        if (!simusb::LoadDescriptorFile(argv[i], simusb::UsbSpeed::Full, &set, &error)) {
            std::fprintf(stderr, "%s: %s\n", argv[i], error.message.c_str());
            ++failures;
            continue;
        }
        std::string name = argv[i];
        name = name.substr(name.find_last_of('/') + 1);
        name = name.substr(0, name.find_last_of('.'));
        std::ofstream out(std::string(argv[1]) + "/" + name, std::ios::binary);
        out.write(reinterpret_cast<const char*>(set.configuration.data()), (std::streamsize)set.configuration.size());
    }
    return failures == 0 ? 0 : 1;
}
