#include "tests/primitives/vector/builds/vec_image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "tests/primitives/support/sp_buffer.h"
#include "tests/primitives/support/special_values.h"

namespace sptest {

size_t VecLayout::arrayByte(const std::vector<uint8_t>& image, int k) const {
    // The heap gives 16-byte aligned blocks, so positions inside the image
    // fix every address modulo 16 (the copies compareWithGeneric makes
    // included).
    EXPECT_EQ((uintptr_t)image.data() & 15, 0u) << "image not 16-byte aligned";
    return 64 + stride() * (size_t)k + offset[k];
}

float* VecLayout::array(std::vector<uint8_t>& image, int k) const {
    return reinterpret_cast<float*>(image.data() + arrayByte(image, k));
}

std::vector<uint8_t> makeImage(const VecLayout& layout, const std::vector<std::vector<float>>& values) {
    std::vector<uint8_t> image(layout.imageBytes(), kCanaryByte);
    for (size_t k = 0; k < values.size(); ++k)
        if (!values[k].empty())
            std::memcpy(image.data() + layout.arrayByte(image, (int)k), values[k].data(), values[k].size() * 4);
    return image;
}

static bool isNanAt(const std::vector<uint8_t>& image, size_t byte) {
    uint32_t bits;
    std::memcpy(&bits, image.data() + byte, 4);
    return (bits & 0x7FFFFFFFu) > 0x7F800000u;
}

bool differOnlyInNanSlots(const VecLayout& layout, int k, const std::vector<uint8_t>& gen,
                          const std::vector<uint8_t>& other) {
    if (gen.size() != other.size()) return false;
    size_t startGen = layout.arrayByte(gen, k), startOther = layout.arrayByte(other, k);
    if (startGen != startOther) return false;
    size_t end = startGen + layout.len * 4;
    for (size_t i = 0; i < gen.size(); ++i) {
        if (gen[i] == other[i]) continue;
        if (i < startGen || i >= end) return false;
        size_t slot = startGen + (i - startGen) / 4 * 4;
        if (!isNanAt(gen, slot) || !isNanAt(other, slot)) return false;
    }
    return true;
}

std::vector<float> mixedFloats(uint64_t seed, size_t n) {
    std::mt19937_64 rng(seed);
    const auto& specials = ieeeSpecials();
    std::vector<float> out(n);
    for (size_t i = 0; i < n; ++i) {
        uint64_t r = rng();
        if ((r & 7) == 0) {
            out[i] = specials[(r >> 3) % specials.size()].value();
        } else {
            // Sign, an exponent across the normal range, random mantissa.
            uint32_t bits = (uint32_t)(r >> 32) & 0x807FFFFFu;
            bits |= (uint32_t)(1 + (r >> 8) % 254) << 23;
            std::memcpy(&out[i], &bits, 4);
        }
    }
    return out;
}

}  // namespace sptest
