// CPU build 3 of the FFT kernels.
#define SP_BUILD 3
#include "primitives/convert/builds/sp_build.h"

#include "primitives/convert/sp_alloc.h"
#include "primitives/convert/sp_cpu.h"
#include "primitives/fft/sp_fft_cpu.h"
#include "primitives/fft_simd/sp_fft_simd.h"
#include "primitives/fft_simd/copy_kernel.h"
#include "primitives/fft_simd/bitrev.h"
#include "primitives/fft/fft_cpu_schedule.h"
#include "primitives/fft_simd/radix4_engine.h"
#include "primitives/fft_simd/recombine.h"
#include "primitives/fft_simd/large_fft.h"
#include "primitives/fft_simd/real_fft_cpu.h"
#include "primitives/fft_simd/blocked_kit.h"
