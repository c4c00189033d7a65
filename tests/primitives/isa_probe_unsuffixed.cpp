// An object that breaks the instruction-set rule for CPU builds: compiled
// with -msse4.1 like build 3, it holds one SSE4.1 function without a build
// suffix or namespace (an inline copy the linker could hand to the generic
// build) and its suffixed twin. The check must name the first and accept
// the second.
#include <smmintrin.h>

int spIsaProbeUnsuffixed(const void* p);
int spIsaProbe_Sse41(const void* p);

int spIsaProbeUnsuffixed(const void* p) {
    const __m128i v = _mm_loadu_si128(static_cast<const __m128i*>(p));
    return _mm_testz_si128(v, v);
}

int spIsaProbe_Sse41(const void* p) {
    const __m128i v = _mm_loadu_si128(static_cast<const __m128i*>(p));
    return _mm_testz_si128(v, v);
}
