#include "tests/primitives/support/ulp.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace sptest {

uint32_t floatBits(float f) {
    uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}
float bitsFloat(uint32_t b) {
    float f;
    std::memcpy(&f, &b, 4);
    return f;
}
uint64_t doubleBits(double d) {
    uint64_t b;
    std::memcpy(&b, &d, 8);
    return b;
}
double bitsDouble(uint64_t b) {
    double d;
    std::memcpy(&d, &b, 8);
    return d;
}

namespace {
// Maps floats monotonically onto integers: -0.0 -> -1, +0.0 -> 0.
int64_t orderedIndex(float f) {
    uint32_t b = floatBits(f);
    if (b & 0x80000000u) return -(int64_t)(b & 0x7FFFFFFFu) - 1;
    return (int64_t)b;
}
}  // namespace

int64_t ulpDistance(float a, float b) {
    if (std::isnan(a) || std::isnan(b))
        return (std::isnan(a) && std::isnan(b)) ? 0 : std::numeric_limits<int64_t>::max();
    int64_t d = orderedIndex(a) - orderedIndex(b);
    return d < 0 ? -d : d;
}

double ulpError(float got, double ref) {
    const double inf = std::numeric_limits<double>::infinity();
    if (std::isnan(ref)) return std::isnan(got) ? 0.0 : inf;
    if (std::isinf(ref)) return (double)got == ref ? 0.0 : inf;
    if (std::isnan(got)) return inf;
    double ulp = std::ldexp(1.0, -149);
    if (ref != 0.0) ulp = std::fmax(ulp, std::ldexp(1.0, std::ilogb(ref) - 23));
    return std::fabs((double)got - ref) / ulp;
}

}  // namespace sptest
