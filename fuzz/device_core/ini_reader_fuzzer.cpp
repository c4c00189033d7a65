// Fuzzes the settings-file import: the input is the whole file, read by
// the reader line by line and applied to "Settings" for the device's
// profile; and each of its lines goes through the value and version
// scanners on its own, with nothing after it. Every scanner must stay
// within its line.
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include <unistd.h>

#include "adapter/ini_reader.h"
#include "fuzz/device_core/fuzz_device.h"
#include "sim/files.h"

namespace {

const std::u16string kSettingsKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
    u"{4d36e96c-e325-11ce-bfc1-08002be10318}\\0001\\Settings";

// The system root the settings file is written to: a directory of this
// process, removed again at exit so repeated runs leave nothing behind.
struct SystemRoot {
    SystemRoot()
        : dir(std::filesystem::temp_directory_path() / ("ini_reader_fuzzer_" + std::to_string(::getpid()))) {
        std::filesystem::create_directories(dir);
        sim::SetSystemRoot(dir.string());
    }
    ~SystemRoot() {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    }
    std::filesystem::path dir;
};

const std::filesystem::path& Root() {
    static SystemRoot root;
    return root.dir;
}

void ScanEachLine(const uint8_t* data, size_t size) {
    size_t start = 0;
    for (size_t i = 0; i <= size; ++i) {
        if (i < size && data[i] != '\r') continue;
        // Each line in a block of its own size, so a scanner that reads on
        // is caught by the address sanitizer.
        std::vector<CHAR> line(data + start, data + i);
        INI_VALUE value;
        ULONG number;
        IniParseValueLine(line.data(), (ULONG)line.size(), &value);
        IniParseNumberLine(line.data(), (ULONG)line.size(), &number);
        IniParseNumber(line.data(), (ULONG)(line.size() < 80 ? line.size() : 80));
        start = i + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzdevice::World& world = fuzzdevice::StartWorld();
    ScanEachLine(data, size);
    std::ofstream(Root() / "BRONTALWORKS_ORLU.INI", std::ios::binary)
        .write(reinterpret_cast<const char*>(data), (std::streamsize)size);
    CIniReader reader(world.Fdo());
    reader.Import();
    sim::RegistryDeleteTree(kSettingsKey);
    return 0;
}
