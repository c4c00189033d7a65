// Plain loops compiled at -O3 with the generic flags: the "what the compiler
// makes of the obvious code" peer of the primitive benchmarks.
#pragma once

#include <cstdint>

namespace splain {

void add(const float* a, const float* b, float* d, int n);
void sub(const float* a, const float* b, float* d, int n);
void scale(const float* a, float v, float* d, int n);
void scaleInPlace(float v, float* d, int n);
void addInPlace(const float* a, float* d, int n);
void addConstInPlace(float v, float* d, int n);
void addScaled(const float* a, float v, float* d, int n);
void set(float v, float* d, int n);
void reverse(const float* a, float* d, int n);
float max(const float* a, int n);
void absInPlace(float* d, int n);
void i16ToF32(const int16_t* a, float* d, int n);
void f32ToI16Trunc(const float* a, int16_t* d, int n);
void i32ToF32(const int32_t* a, float* d, int n);
void f32ToI32Trunc(const float* a, int32_t* d, int n);
void mul(const float* a, const float* b, float* d, int n);
void mulInPlace(const float* a, float* d, int n);
void square(const float* a, float* d, int n);
void div(const float* a, const float* b, float* d, int n);
float min(const float* a, int n);
void sqrtInPlace(float* d, int n);
void expInPlace(float* d, int n);
void lnInPlace(float* d, int n);
float sum(const float* a, int n);
float dot(const float* a, const float* b, int n);
void minEveryInPlace(const float* a, float* d, int n);
void maxEveryInPlace(const float* a, float* d, int n);

}  // namespace splain
