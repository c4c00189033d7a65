// The byte copy kernels of the CPU builds (impl "sse3", "ssse3", "sse41";
// "ours" is the generic kernel) against memcpy of the same bytes, from 64 B
// to 64 MiB, source and destination 64-byte aligned ("aligned") or the
// source 4 bytes past it ("offset4", the realigning path of builds 2 and 3).
// Above the cache share the kernels stream, so the large sizes time memory.
// Names Op/impl/align/bytes, as ratios.py reads them.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "primitives/convert/sp_gen.h"
#include "primitives/fft_simd/sp_fft_simd.h"

namespace {

using CopyKernel = void* (*)(const void*, void*, int);

struct Impl {
    const char* name;
    CopyKernel kernel;  // null: memcpy
    const char* feature;
};

const Impl kImpls[] = {{"ours", spCopyKernel_Gen, nullptr},
                       {"sse3", spCopyKernel_Sse3, "sse3"},
                       {"ssse3", spCopyKernel_Ssse3, "ssse3"},
                       {"sse41", spCopyKernel_Sse41, "sse4.1"},
                       {"memcpy", nullptr, nullptr}};

bool runsHere(const char* feature) {
    if (feature == nullptr) return true;
    if (std::strcmp(feature, "sse3") == 0) return __builtin_cpu_supports("sse3");
    if (std::strcmp(feature, "ssse3") == 0) return __builtin_cpu_supports("ssse3");
    return __builtin_cpu_supports("sse4.1");
}

void registerCopy(const Impl& impl, size_t srcOffset, int bytes) {
    const std::string name = std::string("CopyKernel/") + impl.name + (srcOffset == 0 ? "/aligned/" : "/offset4/") +
                             std::to_string(bytes);
    benchmark::RegisterBenchmark(name.c_str(), [impl, srcOffset, bytes](benchmark::State& state) {
        std::vector<uint8_t> src(static_cast<size_t>(bytes) + 128), dst(static_cast<size_t>(bytes) + 128);
        for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>(i * 7 + 3);
        const auto align = [](uint8_t* p) {
            return reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(p) + 63) & ~uintptr_t{63});
        };
        const uint8_t* from = align(src.data()) + srcOffset;
        uint8_t* to = align(dst.data());
        for (auto _ : state) {
            if (impl.kernel != nullptr) {
                impl.kernel(from, to, bytes);
            } else {
                std::memcpy(to, from, static_cast<size_t>(bytes));
            }
            benchmark::DoNotOptimize(to);
            benchmark::ClobberMemory();
        }
        state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * bytes);
    });
}

int registerAll() {
    for (const Impl& impl : kImpls) {
        if (!runsHere(impl.feature)) continue;
        for (size_t offset : {size_t{0}, size_t{4}})
            for (int bytes = 64; bytes <= (64 << 20); bytes *= 4) registerCopy(impl, offset, bytes);
    }
    return 0;
}

const int kRegistered = registerAll();

}  // namespace
