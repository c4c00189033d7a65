// CPU builds 1-3 of the conversion and vector primitives beside the generic
// build and the peers of primitives_bench.cpp. Each build runs through the
// public entries with spDispatchIndex set to it (impl "sse3", "ssse3",
// "sse41"; "ours" stays the generic build); builds this processor lacks are
// not registered. Kernels without an entry (half precision) run directly,
// against F16C loops. Zero and fill also run at 32 MiB with a recorded
// 16 MiB cache, so their non-temporal path is what is timed.
#include <benchmark/benchmark.h>
#include <immintrin.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "primitives/convert/entry_table_a.h"
#include "primitives/convert/sp_cpu.h"
#include "primitives/convert/sp_gen.h"
#include "primitives/vector/entry_table_b.h"

#ifdef SP_HAVE_VOLK
#include <volk/volk.h>
#endif

namespace {

bool runsHere(int build) {
    switch (build) {
    case 1: return __builtin_cpu_supports("sse3");
    case 2: return __builtin_cpu_supports("ssse3");
    case 3: return __builtin_cpu_supports("sse4.1");
    default: return true;
    }
}
const char* implName(int build) {
    static const char* const names[] = {"ours", "sse3", "ssse3", "sse41"};
    return names[build];
}

// Four float regions of n elements (plus slack) at `offset` past 64 bytes.
struct Buffers {
    Buffers(size_t bytes, size_t offset) {
        for (int k = 0; k < 4; ++k) {
            store[k].assign(bytes + 256, 0);
            uintptr_t base = ((uintptr_t)store[k].data() + 63) & ~(uintptr_t)63;
            p[k] = (uint8_t*)base + offset;
            for (size_t i = 0; i + 4 <= bytes; i += 4) {
                float v = 0.5f + (float)((i / 4 * 2654435761u) % 2001) / 1111.0f;
                std::memcpy(p[k] + i, &v, 4);
            }
        }
    }
    float* f(int k) { return (float*)(void*)p[k]; }
    std::vector<uint8_t> store[4];
    uint8_t* p[4];
};

using Op = std::function<void(Buffers&, int n)>;

struct EntryOp {
    const char* name;
    Op op;
};

std::vector<EntryOp> entryOps() {
    return {
        {"I16ToF32", [](Buffers& b, int n) { spI16ToF32Scaled((int16_t*)b.p[0], b.f(1), n, 15); }},
        {"F32ToI16", [](Buffers& b, int n) { spF32ToI16Scaled(b.f(0), (int16_t*)b.p[1], n, 0, -15); }},
        {"F32ToI16Nearest", [](Buffers& b, int n) { spF32ToI16Scaled(b.f(0), (int16_t*)b.p[1], n, 1, -15); }},
        {"I32ToF32", [](Buffers& b, int n) { spI32ToF32Scaled((int32_t*)b.p[0], b.f(1), n, 31); }},
        {"I32ToF32Plain", [](Buffers& b, int n) { spI32ToF32((int32_t*)b.p[0], b.f(1), n); }},
        {"F32ToI32", [](Buffers& b, int n) { spF32ToI32Scaled(b.f(0), (int32_t*)b.p[1], n, 0, -31); }},
        {"I24ToF32Div",
         [](Buffers& b, int n) {
             spI24ToF32(b.p[0], b.f(1), n);
             spDivConstF32InPlace(8388608.0f, b.f(1), n);
         }},
        {"F32ToI24", [](Buffers& b, int n) { spF32ToI24Scaled(b.f(0), b.p[1], n, -23); }},
        {"Zero", [](Buffers& b, int n) { spZeroF32(b.f(0), n); }},
        {"Move", [](Buffers& b, int n) { spMoveF32(b.f(0), b.f(1), n); }},
        {"ScaleInPlace", [](Buffers& b, int n) { spScaleF32InPlace(-1.0f, b.f(0), n); }},
        {"AddInPlace", [](Buffers& b, int n) { spAddF32InPlace(b.f(0), b.f(1), n); }},
        {"AddConstInPlace", [](Buffers& b, int n) { spAddConstF32InPlace(1e-12f, b.f(0), n); }},
        {"Scale", [](Buffers& b, int n) { spScaleF32(b.f(0), 0.5f, b.f(1), n); }},
        {"Interleave2",
         [](Buffers& b, int n) {
             const float* src[2] = {b.f(0), b.f(0) + n / 2};
             spInterleaveF32(src, 2, n / 2, b.f(1));
         }},
        {"Deinterleave2",
         [](Buffers& b, int n) {
             float* dst[2] = {b.f(1), b.f(1) + n / 2};
             spDeinterleaveF32(b.f(0), 2, n / 2, dst);
         }},
    };
}

void registerEntry(const std::string& op, int build, size_t offset, int n, const Op& run) {
    std::string name = op + "/" + implName(build) + "/" + (offset ? "plus4" : "aligned") + "/" + std::to_string(n);
    benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& state) {
        Buffers buffers((size_t)n * 4, offset);
        const int32_t saved = spDispatchIndex.load();
        spDispatchIndex.store(build);
        for (auto _ : state) {
            run(buffers, n);
            benchmark::ClobberMemory();
        }
        spDispatchIndex.store(saved);
        state.SetItemsProcessed(state.iterations() * n);
    });
}

// A processor of the accepted vendor with a 16 MiB cache: zero and fill
// above 16 MiB take their non-temporal stores.
void recordedCpuid(SpCpuidRecord* r, uint32_t leaf, uint32_t) {
    if (leaf == 0) *r = {0xB, 0x756E6547u, 0x6C65746Eu, 0x49656E69u};
    else if (leaf == 2) *r = {0x00004D01u, 0, 0, 0};
    else spCpuidInstruction(r, leaf, 0);
}

void registerLarge(const std::string& op, int build, const Op& run) {
    const int n = 8 << 20;  // 32 MiB of floats
    std::string name = op + "/" + implName(build) + "/aligned/" + std::to_string(n);
    benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& state) {
        Buffers buffers((size_t)n * 4, 0);
        SpCpuidProvider savedCpuid = spCpuidProvider.load();
        spCpuidProvider.store(&recordedCpuid);
        const int32_t saved = spDispatchIndex.load();
        spDispatchIndex.store(build);
        for (auto _ : state) {
            run(buffers, n);
            benchmark::ClobberMemory();
        }
        spDispatchIndex.store(saved);
        spCpuidProvider.store(savedCpuid);
        state.SetItemsProcessed(state.iterations() * n);
    })->Unit(benchmark::kMicrosecond);
}

__attribute__((target("f16c"))) void f16cToFloat(const uint16_t* s, float* d, int n) {
    int i = 0;
    for (; i + 8 <= n; i += 8)
        _mm256_storeu_ps(d + i, _mm256_cvtph_ps(_mm_loadu_si128((const __m128i*)(const void*)(s + i))));
    for (; i < n; ++i) d[i] = _cvtsh_ss(s[i]);
}
__attribute__((target("f16c"))) void f16cFromFloat(const float* s, uint16_t* d, int n) {
    int i = 0;
    for (; i + 8 <= n; i += 8)
        _mm_storeu_si128((__m128i*)(void*)(d + i), _mm256_cvtps_ph(_mm256_loadu_ps(s + i), _MM_FROUND_TO_NEAREST_INT));
    for (; i < n; ++i) d[i] = _cvtss_sh(s[i], _MM_FROUND_TO_NEAREST_INT);
}

void registerHalf(size_t offset, int n) {
    const std::string tail = std::string("/") + (offset ? "plus4" : "aligned") + "/" + std::to_string(n);
    for (int build = 1; build <= 3; ++build) {
        if (!runsHere(build)) continue;
        benchmark::RegisterBenchmark(("F16ToF32/" + std::string(implName(build)) + tail).c_str(), [=](benchmark::State& state) {
            Buffers b((size_t)n * 4, offset);
            auto kernel = build == 1 ? spF16ToF32Kernel_Sse3 : (build == 2 ? spF16ToF32Kernel_Ssse3 : spF16ToF32Kernel_Sse41);
            for (auto _ : state) kernel((const uint16_t*)b.p[0], b.f(1), n), benchmark::ClobberMemory();
            state.SetItemsProcessed(state.iterations() * n);
        });
        benchmark::RegisterBenchmark(("F32ToF16/" + std::string(implName(build)) + tail).c_str(), [=](benchmark::State& state) {
            Buffers b((size_t)n * 4, offset);
            auto kernel = build == 1 ? spF32ToF16Kernel_Sse3 : (build == 2 ? spF32ToF16Kernel_Ssse3 : spF32ToF16Kernel_Sse41);
            for (auto _ : state) kernel(b.f(0), (uint16_t*)b.p[1], n, 1), benchmark::ClobberMemory();
            state.SetItemsProcessed(state.iterations() * n);
        });
    }
    if (!__builtin_cpu_supports("f16c")) return;
    benchmark::RegisterBenchmark(("F16ToF32/f16c" + tail).c_str(), [=](benchmark::State& state) {
        Buffers b((size_t)n * 4, offset);
        for (auto _ : state) f16cToFloat((const uint16_t*)b.p[0], b.f(1), n), benchmark::ClobberMemory();
    });
    benchmark::RegisterBenchmark(("F32ToF16/f16c" + tail).c_str(), [=](benchmark::State& state) {
        Buffers b((size_t)n * 4, offset);
        for (auto _ : state) f16cFromFloat(b.f(0), (uint16_t*)b.p[1], n), benchmark::ClobberMemory();
    });
}

int registerAll() {
    const int sizes[] = {64, 512, 4096, 1 << 20};
    for (const EntryOp& e : entryOps())
        for (int build = 1; build <= 3; ++build) {
            if (!runsHere(build)) continue;
            for (size_t offset : {0u, 4u})
                for (int n : sizes) registerEntry(e.name, build, offset, n, e.op);
        }
    for (int ch : {6, 8})
        for (int build = 0; build <= 3; ++build) {
            if (!runsHere(build)) continue;
            registerEntry("Interleave" + std::to_string(ch) + "x512", build, 0, 512 * ch, [ch](Buffers& b, int n) {
                const float* src[8];
                for (int k = 0; k < ch; ++k) src[k] = b.f(0) + (size_t)k * (n / ch);
                spInterleaveF32(src, ch, n / ch, b.f(1));
            });
        }
    for (int n : {8, 4096})
        for (int build = 0; build <= 3; ++build) {
            if (!runsHere(build)) continue;
            registerEntry("Pow", build, 0, n, [](Buffers& b, int len) { spPowF32(b.f(0), b.f(1), b.f(2), len); });
        }
#ifdef SP_HAVE_VOLK
    for (int n : {8, 4096})
        benchmark::RegisterBenchmark(("Pow/volk_sse/aligned/" + std::to_string(n)).c_str(), [n](benchmark::State& state) {
            Buffers b((size_t)n * 4, 0);
            for (auto _ : state) volk_32f_x2_pow_32f_manual(b.f(2), b.f(1), b.f(0), n, "a_sse4_1"), benchmark::ClobberMemory();
        });
#endif
    for (size_t offset : {0u, 4u})
        for (int n : sizes) registerHalf(offset, n);
    for (int build = 0; build <= 3; ++build) {
        if (!runsHere(build)) continue;
        registerLarge("Zero", build, [](Buffers& b, int n) { spZeroF32(b.f(0), n); });
        // 32-bit fill: the generic body or the build's fill shim.
        void* (*const shims[4])(uint32_t, void*, int) = {spFill32Kernel_Gen, spFill32_Sse3, spFill32_Ssse3, spFill32_Sse41};
        auto shim = shims[build];
        registerLarge("Fill32", build, [shim](Buffers& b, int n) { shim(0x3E800000u, b.f(0), n); });
        registerLarge("Move", build, [](Buffers& b, int n) { spMoveF32(b.f(0), b.f(1), n); });
    }
    benchmark::RegisterBenchmark("Zero/memset/aligned/8388608", [](benchmark::State& state) {
        Buffers b((size_t)(8 << 20) * 4, 0);
        for (auto _ : state) std::memset(b.f(0), 0, (size_t)(8 << 20) * 4), benchmark::ClobberMemory();
    })->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("Fill32/memset/aligned/8388608", [](benchmark::State& state) {
        Buffers b((size_t)(8 << 20) * 4, 0);
        for (auto _ : state) std::memset(b.f(0), 0x3E, (size_t)(8 << 20) * 4), benchmark::ClobberMemory();
    })->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("Move/memmove/aligned/8388608", [](benchmark::State& state) {
        Buffers b((size_t)(8 << 20) * 4, 0);
        for (auto _ : state) std::memmove(b.f(1), b.f(0), (size_t)(8 << 20) * 4), benchmark::ClobberMemory();
    })->Unit(benchmark::kMicrosecond);
    return 0;
}

const int registered = registerAll();

}  // namespace
