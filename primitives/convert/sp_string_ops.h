// The x86 string instructions as store and copy loops, for the generic and
// the CPU builds alike: on current processors their microcode moves more
// than 16 bytes per store once past its start-up cost, which no SSE2-SSE4.1
// loop can match. Plain x86-64 instructions, so every build may hold them;
// internal linkage, so no build shares another's copy.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sp {
namespace rep {

static inline void storeBytes(void* dst, uint8_t value, size_t n) {
    __asm__ volatile("rep stosb" : "+D"(dst), "+c"(n) : "a"(value) : "memory");
}
static inline void storeWords(void* dst, uint32_t value, size_t count) {
    __asm__ volatile("rep stosl" : "+D"(dst), "+c"(count) : "a"(value) : "memory");
}
// Forward byte copy (direction flag clear, as the ABI guarantees): correct
// for a dst below an overlapping src.
static inline void copyBytes(void* dst, const void* src, size_t n) {
    __asm__ volatile("rep movsb" : "+D"(dst), "+S"(src), "+c"(n) : : "memory");
}

}  // namespace rep
}  // namespace sp
