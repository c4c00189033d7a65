// Layout helpers shared by the generic filter builders.
#pragma once

#include <cstdint>

namespace sp::gen {

constexpr int64_t kInt32Max = 0x7FFFFFFF;

// The least multiple of 16 not below x.
constexpr int64_t ceil16(int64_t x) { return (x + 15) & ~int64_t{15}; }
// x rounded down to a multiple of 16.
constexpr int64_t floor16(int64_t x) { return x & ~int64_t{15}; }

// The first 16-byte boundary at or after p.
inline uint8_t* alignUp16(uint8_t* p) {
    return reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(p) + 15) & ~uintptr_t{15});
}

}  // namespace sp::gen
