// Compiled with -O3 (see CMakeLists.txt); no intrinsics, no tricks.
#include "bench/primitives/plain_loops.h"

#include <cmath>

namespace splain {

void add(const float* a, const float* b, float* d, int n) {
    for (int i = 0; i < n; ++i) d[i] = a[i] + b[i];
}
void sub(const float* a, const float* b, float* d, int n) {
    for (int i = 0; i < n; ++i) d[i] = b[i] - a[i];
}
void scale(const float* a, float v, float* d, int n) {
    for (int i = 0; i < n; ++i) d[i] = a[i] * v;
}
void scaleInPlace(float v, float* d, int n) {
    for (int i = 0; i < n; ++i) d[i] *= v;
}
void addInPlace(const float* a, float* d, int n) {
    for (int i = 0; i < n; ++i) d[i] += a[i];
}
void addConstInPlace(float v, float* d, int n) {
    for (int i = 0; i < n; ++i) d[i] += v;
}
void addScaled(const float* a, float v, float* d, int n) {
    for (int i = 0; i < n; ++i) d[i] += a[i] * v;
}
void set(float v, float* d, int n) {
    for (int i = 0; i < n; ++i) d[i] = v;
}
void reverse(const float* a, float* d, int n) {
    for (int i = 0; i < n; ++i) d[n - 1 - i] = a[i];
}
float max(const float* a, int n) {
    float m = a[0];
    for (int i = 1; i < n; ++i) m = a[i] > m ? a[i] : m;
    return m;
}
void absInPlace(float* d, int n) {
    for (int i = 0; i < n; ++i) d[i] = std::fabs(d[i]);
}
void i16ToF32(const int16_t* a, float* d, int n) {
    for (int i = 0; i < n; ++i) d[i] = (float)a[i] * (1.0f / 32768.0f);
}
void f32ToI16Trunc(const float* a, int16_t* d, int n) {
    for (int i = 0; i < n; ++i) {
        float v = a[i] * 32768.0f;
        d[i] = (int16_t)(v > 32767.0f ? 32767.0f : v < -32768.0f ? -32768.0f : v);
    }
}
void i32ToF32(const int32_t* a, float* d, int n) {
    for (int i = 0; i < n; ++i) d[i] = (float)a[i] * (1.0f / 2147483648.0f);
}
void f32ToI32Trunc(const float* a, int32_t* d, int n) {
    for (int i = 0; i < n; ++i) {
        double v = (double)a[i] * 2147483648.0;
        d[i] = (int32_t)(v >= 2147483647.0 ? 2147483647.0 : v <= -2147483648.0 ? -2147483648.0 : v);
    }
}
void mul(const float* a, const float* b, float* d, int n) {
    for (int i = 0; i < n; ++i) d[i] = a[i] * b[i];
}
void mulInPlace(const float* a, float* d, int n) {
    for (int i = 0; i < n; ++i) d[i] *= a[i];
}
void square(const float* a, float* d, int n) {
    for (int i = 0; i < n; ++i) d[i] = a[i] * a[i];
}
// b / a: the divisor first, as the primitives take it.
void div(const float* a, const float* b, float* d, int n) {
    for (int i = 0; i < n; ++i) d[i] = b[i] / a[i];
}
float min(const float* a, int n) {
    float m = a[0];
    for (int i = 1; i < n; ++i) m = a[i] < m ? a[i] : m;
    return m;
}

// glibc's float functions, as a caller without the primitives would write it.
void sqrtInPlace(float* d, int n) {
    for (int i = 0; i < n; ++i) d[i] = std::sqrt(d[i]);
}
void expInPlace(float* d, int n) {
    for (int i = 0; i < n; ++i) d[i] = std::exp(d[i]);
}
void lnInPlace(float* d, int n) {
    for (int i = 0; i < n; ++i) d[i] = std::log(d[i]);
}
float sum(const float* a, int n) {
    float s = 0;
    for (int i = 0; i < n; ++i) s += a[i];
    return s;
}
float dot(const float* a, const float* b, int n) {
    float s = 0;
    for (int i = 0; i < n; ++i) s += a[i] * b[i];
    return s;
}
void minEveryInPlace(const float* a, float* d, int n) {
    for (int i = 0; i < n; ++i) d[i] = a[i] < d[i] ? a[i] : d[i];
}
void maxEveryInPlace(const float* a, float* d, int n) {
    for (int i = 0; i < n; ++i) d[i] = a[i] > d[i] ? a[i] : d[i];
}

}  // namespace splain
