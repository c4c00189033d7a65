// Comparison helpers of the layout oracle, compiled by the cross compiler.
#pragma once

#include <cstddef>

struct OracleGuid {
    unsigned long a;
    unsigned short b, c;
    unsigned char d[8];
};

constexpr bool OracleEqual(const OracleGuid& x, const OracleGuid& y) {
    if (x.a != y.a || x.b != y.b || x.c != y.c) return false;
    for (int i = 0; i < 8; ++i) {
        if (x.d[i] != y.d[i]) return false;
    }
    return true;
}

// The Windows headers give each public GUID as a STATIC_<name> list.
#define ORACLE_GUID(name, ...) \
    static_assert(OracleEqual(OracleGuid{STATIC_##name}, OracleGuid{__VA_ARGS__}), "GUID " #name)
#define ORACLE_GUID_DIFFERS(name, ...)                                                      \
    static_assert(!OracleEqual(OracleGuid{STATIC_##name}, OracleGuid{__VA_ARGS__}),        \
                  "known difference " #name " now matches: move it to the checks")
