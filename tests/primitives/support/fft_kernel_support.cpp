#include "tests/primitives/support/fft_kernel_support.h"

#include <cstring>

namespace sptest {

uint32_t revBits(uint32_t x, int bits) {
    uint32_t r = 0;
    for (int b = 0; b < bits; ++b) r |= ((x >> b) & 1u) << (bits - 1 - b);
    return r;
}

PoisonedWork::PoisonedWork(size_t bytes, size_t tailBytes)
    : storage_(bytes + tailBytes + 32, kWorkPoison), bytes_(bytes), tail_(tailBytes) {
    const uintptr_t base = (reinterpret_cast<uintptr_t>(storage_.data()) + 31) & ~uintptr_t{31};
    at_ = reinterpret_cast<uint8_t*>(base);
}

bool PoisonedWork::untouchedFrom(size_t from) const {
    for (size_t i = from; i < bytes_ + tail_; ++i)
        if (at_[i] != kWorkPoison) return false;
    return true;
}

std::vector<float> toGrouped(const std::vector<float>& interleaved) {
    std::vector<float> out(interleaved.size());
    for (size_t g = 0; g < interleaved.size() / 8; ++g) {
        for (size_t l = 0; l < 4; ++l) {
            out[8 * g + l] = interleaved[8 * g + 2 * l];
            out[8 * g + 4 + l] = interleaved[8 * g + 2 * l + 1];
        }
    }
    return out;
}

}  // namespace sptest
