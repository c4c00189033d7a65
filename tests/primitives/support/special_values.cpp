#include "tests/primitives/support/special_values.h"

#include <cstring>
#include <random>

namespace sptest {

float NamedFloat::value() const {
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

const std::vector<NamedFloat>& ieeeSpecials() {
    static const std::vector<NamedFloat> values = {
        {"PlusZero", 0x00000000},     {"MinusZero", 0x80000000},
        {"MinSubnormal", 0x00000001}, {"MinusMinSubnormal", 0x80000001},
        {"MaxSubnormal", 0x007FFFFF}, {"MinusMaxSubnormal", 0x807FFFFF},
        {"FltMin", 0x00800000},       {"MinusFltMin", 0x80800000},
        {"FltMax", 0x7F7FFFFF},       {"MinusFltMax", 0xFF7FFFFF},
        {"PlusInf", 0x7F800000},      {"MinusInf", 0xFF800000},
        {"QuietNan", 0x7FC00000},     {"MinusQuietNan", 0xFFC00000},
        {"QuietNanPayload", 0x7FC12345}, {"MinusQuietNanPayload", 0xFFEDCBA9},
        {"SignallingNan", 0x7F800001}, {"MinusSignallingNan", 0xFF800001},
        {"SignallingNanPayload", 0x7FA5A5A5}, {"MinusSignallingNanPayload", 0xFF9ABCDE},
    };
    return values;
}

const std::vector<NamedFloat>& conversionEdges() {
    static const std::vector<NamedFloat> values = {
        {"JustBelowHalf", 0x3EFFFFFF},   // 0.49999997
        {"Half", 0x3F000000},            {"MinusHalf", 0xBF000000},
        {"OneAndHalf", 0x3FC00000},      {"MinusOneAndHalf", 0xBFC00000},
        {"TwoAndHalf", 0x40200000},      {"MinusTwoAndHalf", 0xC0200000},
        {"I16MaxPlusHalf", 0x46FFFF00},  // 32767.5
        {"I16MinMinusHalf", 0xC7000080}, // -32768.5
        {"Two31Minus128", 0x4EFFFFFF},   // 2147483520
        {"Two31", 0x4F000000},           {"MinusTwo31", 0xCF000000},
        {"MinusTwo31Plus128", 0xCEFFFFFF},
        {"One", 0x3F800000},             {"MinusOne", 0xBF800000},
        {"JustBelowOne", 0x3F7FFFFF},    // 0.99999994
    };
    return values;
}

const std::vector<NamedFloat>& expPowEdges() {
    static const std::vector<NamedFloat> values = {
        {"ExpOverflowEdge", 0x42B17218},      // 88.72283935546875
        {"BelowExpOverflowEdge", 0x42B17217},
        {"ExpUnderflowEdge", 0xC2AEAC50},     // -87.3365478515625
        {"AboveExpUnderflowEdge", 0xC2AEAC4F},
        {"PowFastPathLimit", 0x42AEAC50},     // 87.3365478515625 (|t| bound neighbourhood)
        {"PowFastPathInside", 0x42AEAB00},
        {"PowSpecialOverflow", 0x44311980},   // 708.396484375
        {"MinusEightyEight", 0xC2B00000},
    };
    return values;
}

std::vector<float> randomBitFloats(uint64_t seed, size_t n) {
    std::mt19937_64 rng(seed);
    std::vector<float> out(n);
    for (auto& f : out) {
        uint32_t b = (uint32_t)rng();
        std::memcpy(&f, &b, 4);
    }
    return out;
}

std::vector<float> randomFiniteFloats(uint64_t seed, size_t n) {
    std::mt19937_64 rng(seed);
    std::vector<float> out(n);
    for (auto& f : out) {
        uint32_t b;
        do b = (uint32_t)rng();
        while ((b & 0x7F800000u) == 0x7F800000u);
        std::memcpy(&f, &b, 4);
    }
    return out;
}

}  // namespace sptest
