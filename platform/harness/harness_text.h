// Values as the harnesses print them in their reports.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace sim::harness {

// "0x1F" (digits: at least that many, zero-padded).
inline std::string HexText(uint64_t value, int digits = 1) {
    char text[24];
    std::snprintf(text, sizeof(text), "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

// An NTSTATUS as "0xC0000001".
inline std::string StatusText(int32_t status) { return HexText(static_cast<uint32_t>(status), 8); }

// A pointer as "0x7F..." or "NULL".
inline std::string PointerText(const void* p) {
    return p == nullptr ? "NULL" : HexText(reinterpret_cast<uintptr_t>(p));
}

}  // namespace sim::harness
