// Pieces the FFT kernel tests share: brute-force bit reversal, a 32-byte
// aligned work area poisoned with a byte pattern, and the conversion of
// interleaved complex points to the grouped layout (4 real parts, then the
// 4 imaginary parts, per 32 bytes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sptest {

// The bits-bit reversal of x.
uint32_t revBits(uint32_t x, int bits);

constexpr uint8_t kWorkPoison = 0xC3;

// bytes of 32-byte aligned memory filled with kWorkPoison (a NaN pattern as
// floats), plus a poisoned tail of tailBytes past the end.
class PoisonedWork {
public:
    explicit PoisonedWork(size_t bytes, size_t tailBytes = 64);
    uint8_t* data() { return at_; }
    size_t size() const { return bytes_; }
    // True when no byte from `from` up to the end of the tail has changed.
    bool untouchedFrom(size_t from) const;

private:
    std::vector<uint8_t> storage_;
    uint8_t* at_;
    size_t bytes_, tail_;
};

// Interleaved complex points (2n floats, n a multiple of 4) in the grouped
// layout.
std::vector<float> toGrouped(const std::vector<float>& interleaved);

}  // namespace sptest
