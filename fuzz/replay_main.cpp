// A main for a fuzz target outside libFuzzer: replays every file of the
// seed directories given, then a fixed budget of pseudo-random inputs
// (fixed seed; each a seed with some bytes overwritten, or fresh bytes).
//   replay_main [--runs N] DIR...
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

using Bytes = std::vector<uint8_t>;

std::vector<Bytes> ReadSeeds(const std::vector<std::string>& dirs) {
    std::vector<Bytes> seeds;
    for (const std::string& dir : dirs)
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            std::ifstream file(entry.path(), std::ios::binary);
            seeds.emplace_back(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
        }
    return seeds;
}

Bytes Mutant(const std::vector<Bytes>& seeds, std::mt19937& random) {
    Bytes input;
    if (seeds.empty() || random() % 4 == 0) {
        input.resize(random() % 256);
    } else {
        input = seeds[random() % seeds.size()];
    }
    const size_t changes = input.empty() ? 0 : 1 + random() % 8;
    for (size_t i = 0; i < changes; ++i) input[random() % input.size()] = (uint8_t)random();
    return input;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long runs = 0;
    std::vector<std::string> dirs;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
            runs = std::strtoul(argv[++i], nullptr, 10);
        } else {
            dirs.push_back(argv[i]);
        }
    }
    const std::vector<Bytes> seeds = ReadSeeds(dirs);
    for (const Bytes& seed : seeds) LLVMFuzzerTestOneInput(seed.data(), seed.size());
    std::mt19937 random(1);
    for (unsigned long i = 0; i < runs; ++i) {
        const Bytes input = Mutant(seeds, random);
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }
    std::printf("replayed %zu seeds and %lu generated inputs\n", seeds.size(), runs);
    return 0;
}
