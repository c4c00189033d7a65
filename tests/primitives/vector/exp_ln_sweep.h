// Sweeps of the exponential and logarithm against glibc's double exp/log,
// shared by the strided runs of the normal suite and the full ones.
#pragma once

#include <cstdint>

namespace sptest {

struct SweepResult {
    double worstPade = 0.0;     // exp elements computed by the Pade groups
    double worstRuntime = 0.0;  // exp elements on the runtime path; all of ln
    uint64_t count = 0;
};

// Every stride-th float of the open interval (-87.3365478515625,
// 88.72283935546875), in blocks of 4096, against exp(double).
SweepResult sweepExp(uint32_t stride);
// Every stride-th positive finite float (subnormals included) against
// log(double).
SweepResult sweepLn(uint32_t stride);

}  // namespace sptest
