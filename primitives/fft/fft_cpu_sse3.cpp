// CPU build 1 of the FFT layer: its table builders, record bodies, small
// complex kernels and complex forward transform.
#define SP_BUILD 1
#include "primitives/convert/builds/sp_build.h"

#include "primitives/convert/sp_cpu.h"
#include "primitives/fft/fft_cpu_tables.h"
#include "primitives/fft/fft_cpu_layer.h"
#include "primitives/fft/fft_cpu_small.h"
#include "primitives/fft/fft_cpu_complex.h"
