// Power of ten from the 201-entry table.
#include "topology/pow_table.h"

#include <cfloat>
#include <cmath>

namespace {
// Beyond these exponents the double result is 0 or +infinity whatever the
// table holds; bounding them keeps the integer conversion defined.
constexpr double kLowestExponent = -400.0;
constexpr double kHighestExponent = 400.0;

// round(y) of the table index: halves away from zero, by truncation.
int RoundIndex(double y) { return y >= 0.0 ? (int)(y + 0.5) : (int)(y - 0.5); }
}  // namespace

float PowTable(float base, float exponent) {
    const double x = static_cast<double>(exponent);
    if (base != 10.0f || std::isnan(x) || x < kLowestExponent) {
        return 0.0f;
    }
    if (x > kHighestExponent) {
        return HUGE_VALF;
    }
    const int c = (int)x;  // toward zero
    double r;
    if (x >= 0.0) {
        r = POW_TABLE[RoundIndex((x - c) * 200.0)];
        for (int i = 0; i < c; ++i) {
            r *= 10.0;
        }
    } else {
        r = POW_TABLE[RoundIndex((x - c + 1.0) * 200.0)];
        for (int i = 0; i < 1 - c; ++i) {
            r /= 10.0;
        }
    }
    // Converting a double beyond the float range is not defined: saturate.
    return r > static_cast<double>(FLT_MAX) ? HUGE_VALF : (float)r;
}
