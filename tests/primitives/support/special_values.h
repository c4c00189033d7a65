// Float inputs that break numeric code: signed zeros, subnormal edges,
// limits, infinities, NaNs with payloads, rounding ties, saturation edges and
// the thresholds of exp and pow; plus seeded random floats from raw bits.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sptest {

struct NamedFloat {
    const char* name;
    uint32_t bits;
    float value() const;
};

// Signed zeros, smallest/largest subnormal, FLT_MIN/MAX, infinities, quiet
// and signalling NaNs of both signs with payloads.
const std::vector<NamedFloat>& ieeeSpecials();
// Rounding ties and saturation edges of the conversions: 0.49999997,
// +-0.5/1.5/2.5, 32767.5, -32768.5, 2^31 - 128, 2^31 and neighbours.
const std::vector<NamedFloat>& conversionEdges();
// Thresholds of exp (88.72283935546875, -87.3365478515625, neighbours) and
// pow (the fast-path limit on |t|, the special routine's overflow edge).
const std::vector<NamedFloat>& expPowEdges();

// n floats drawn from uniformly random 32-bit patterns (NaNs and infinities
// included), reproducible from seed.
std::vector<float> randomBitFloats(uint64_t seed, size_t n);
// n finite floats with random bits (NaN/inf patterns redrawn).
std::vector<float> randomFiniteFloats(uint64_t seed, size_t n);

}  // namespace sptest
