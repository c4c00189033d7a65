// Fuzzes the registry image a state directory holds: any text. A refused
// image names a line within it and loads nothing; an accepted one saves
// to an image that loads to the same tree.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "nt/status.h"
#include "sim/registry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    sim::RegistryReset();
    const std::string before = sim::RegistryImage();
    size_t line = 0;
    if (sim::RegistryLoadImage(text, &line) != STATUS_SUCCESS) {
        size_t lines = 1;
        for (char c : text) lines += c == '\n';
        if (line == 0 || line > lines || sim::RegistryImage() != before) abort();
        return 0;
    }
    const std::string image = sim::RegistryImage();
    if (sim::RegistryLoadImage(image, &line) != STATUS_SUCCESS || sim::RegistryImage() != image) abort();
    return 0;
}
