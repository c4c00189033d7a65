// Byte images for comparing a CPU build of a vector entry with the generic
// build (compareWithGeneric): up to three arrays of floats, each at a chosen
// byte offset past a 16-byte boundary inside one image, separated by gaps of
// canary bytes. The comparison covers the whole image, so a store outside an
// array shows as a difference from the generic build.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sptest {

struct VecLayout {
    size_t len = 0;
    int arrays = 1;
    size_t offset[3] = {0, 0, 0};

    // Bytes from one array's start boundary to the next one's.
    size_t stride() const { return (len * 4 + 15 + 128) & ~(size_t)63; }
    size_t imageBytes() const { return 64 + stride() * (size_t)arrays; }
    // Array k inside an image built for this layout.
    float* array(std::vector<uint8_t>& image, int k) const;
    size_t arrayByte(const std::vector<uint8_t>& image, int k) const;
};

// An image filled with canary bytes, array k holding values[k].
std::vector<uint8_t> makeImage(const VecLayout& layout, const std::vector<std::vector<float>>& values);

// True when gen and other differ only in float slots of array k where both
// hold a NaN (C++ fixes no payload for an operation on two NaNs).
bool differOnlyInNanSlots(const VecLayout& layout, int k, const std::vector<uint8_t>& gen,
                          const std::vector<uint8_t>& other);

// n floats for differential runs: mostly finite values of all magnitudes,
// about one in eight a special value (signed zeros, subnormals, infinities,
// NaNs with payloads of both signs), reproducible from seed.
std::vector<float> mixedFloats(uint64_t seed, size_t n);

}  // namespace sptest
