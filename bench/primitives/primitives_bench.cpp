// Generic build of the primitives against peers: the plain loop at -O3,
// VOLK's SSE kernels (through its _manual calls), memcpy/memset/memmove.
// Names are op/impl/alignment/size; ratios.py turns a JSON run into the
// ours/peer table.
#include <benchmark/benchmark.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench/primitives/plain_loops.h"
#include "primitives/convert/sp_gen.h"
#include "primitives/vector/entry_table_b.h"

#ifdef SP_HAVE_VOLK
#include <volk/volk.h>
#endif

namespace {

// Four regions of `bytes` each, starting `offset` bytes past a 64-byte
// boundary, filled with floats in [-0.9, 0.9].
class Regions {
public:
    Regions(size_t bytes, size_t offset) {
        for (int k = 0; k < 4; ++k) {
            storage_[k].resize(bytes + 128);
            uintptr_t base = ((uintptr_t)storage_[k].data() + 63) & ~(uintptr_t)63;
            p_[k] = (uint8_t*)base + offset;
            for (size_t i = 0; i + 4 <= bytes; i += 4) {
                float v = (float)((i / 4 * 2654435761u) % 2001) / 1111.0f - 0.9f;
                std::memcpy(p_[k] + i, &v, 4);
            }
        }
    }
    float* f(int k) { return reinterpret_cast<float*>(p_[k]); }
    int16_t* i16(int k) { return reinterpret_cast<int16_t*>(p_[k]); }
    int32_t* i32(int k) { return reinterpret_cast<int32_t*>(p_[k]); }
    uint8_t* u8(int k) { return p_[k]; }

private:
    std::vector<uint8_t> storage_[4];
    uint8_t* p_[4];
};

using Run = std::function<void(Regions&, int n)>;

struct Case {
    std::string op, impl;
    Run run;
    bool alignedOnly = false;
    bool unalignedOnly = false;
};

const int kSizes[] = {64, 512, 4096, 1 << 20};

std::vector<Case> cases() {
    std::vector<Case> c = {
        {"I16ToF32", "ours", [](Regions& r, int n) { spI16ToF32Scaled(r.i16(0), r.f(1), n, 15); }},
        {"I16ToF32", "loop", [](Regions& r, int n) { splain::i16ToF32(r.i16(0), r.f(1), n); }},
        {"F32ToI16", "ours", [](Regions& r, int n) { spF32ToI16Scaled(r.f(0), r.i16(1), n, 0, -15); }},
        {"F32ToI16", "loop", [](Regions& r, int n) { splain::f32ToI16Trunc(r.f(0), r.i16(1), n); }},
        {"I24ToF32Div", "ours",
         [](Regions& r, int n) {
             spI24ToF32(r.u8(0), r.f(1), n);
             spDivConstF32InPlace(8388608.0f, r.f(1), n);
         }},
        {"F32ToI24", "ours", [](Regions& r, int n) { spF32ToI24Scaled(r.f(0), r.u8(1), n, -23); }},
        {"I32ToF32", "ours", [](Regions& r, int n) { spI32ToF32Scaled(r.i32(0), r.f(1), n, 31); }},
        {"I32ToF32", "loop", [](Regions& r, int n) { splain::i32ToF32(r.i32(0), r.f(1), n); }},
        {"F32ToI32", "ours", [](Regions& r, int n) { spF32ToI32Scaled(r.f(0), r.i32(1), n, 0, -31); }},
        {"F32ToI32", "loop", [](Regions& r, int n) { splain::f32ToI32Trunc(r.f(0), r.i32(1), n); }},
        {"Zero", "ours", [](Regions& r, int n) { spZeroF32(r.f(0), n); }},
        {"Zero", "memset", [](Regions& r, int n) { std::memset(r.f(0), 0, (size_t)n * 4); }},
        {"Set", "ours", [](Regions& r, int n) { spSetF32(0.25f, r.f(0), n); }},
        {"Set", "loop", [](Regions& r, int n) { splain::set(0.25f, r.f(0), n); }},
        {"Set", "memset", [](Regions& r, int n) { std::memset(r.f(0), 0x3E, (size_t)n * 4); }},
        {"Copy", "ours", [](Regions& r, int n) { spCopyF32(r.f(0), r.f(1), n); }},
        {"Copy", "memcpy", [](Regions& r, int n) { std::memcpy(r.f(1), r.f(0), (size_t)n * 4); }},
        {"Move", "ours", [](Regions& r, int n) { spMoveF32(r.f(0), r.f(1), n); }},
        {"Move", "memmove", [](Regions& r, int n) { std::memmove(r.f(1), r.f(0), (size_t)n * 4); }},
        {"ScaleInPlace", "ours", [](Regions& r, int n) { spScaleF32InPlace(-1.0f, r.f(0), n); }},
        {"ScaleInPlace", "loop", [](Regions& r, int n) { splain::scaleInPlace(-1.0f, r.f(0), n); }},
        {"AddInPlace", "ours", [](Regions& r, int n) { spAddF32InPlace(r.f(0), r.f(1), n); }},
        {"AddInPlace", "loop", [](Regions& r, int n) { splain::addInPlace(r.f(0), r.f(1), n); }},
        {"AddConstInPlace", "ours", [](Regions& r, int n) { spAddConstF32InPlace(1e-12f, r.f(0), n); }},
        {"AddConstInPlace", "loop", [](Regions& r, int n) { splain::addConstInPlace(1e-12f, r.f(0), n); }},
        {"Add", "ours", [](Regions& r, int n) { spAddF32(r.f(0), r.f(1), r.f(2), n); }},
        {"Add", "loop", [](Regions& r, int n) { splain::add(r.f(0), r.f(1), r.f(2), n); }},
        {"Sub", "ours", [](Regions& r, int n) { spSubF32(r.f(0), r.f(1), r.f(2), n); }},
        {"Sub", "loop", [](Regions& r, int n) { splain::sub(r.f(0), r.f(1), r.f(2), n); }},
        {"Scale", "ours", [](Regions& r, int n) { spScaleF32(r.f(0), 0.5f, r.f(1), n); }},
        {"Scale", "loop", [](Regions& r, int n) { splain::scale(r.f(0), 0.5f, r.f(1), n); }},
        {"AddScaled", "ours", [](Regions& r, int n) { spAddScaledF32(r.f(0), 1e-6f, r.f(1), n); }},
        {"AddScaled", "loop", [](Regions& r, int n) { splain::addScaled(r.f(0), 1e-6f, r.f(1), n); }},
        {"Reverse", "ours", [](Regions& r, int n) { spReverseF32(r.f(0), r.f(1), n); }},
        {"Reverse", "loop", [](Regions& r, int n) { splain::reverse(r.f(0), r.f(1), n); }},
        {"Max", "ours", [](Regions& r, int n) { float m; spMaxF32(r.f(0), n, &m); benchmark::DoNotOptimize(m); }},
        {"Max", "loop", [](Regions& r, int n) { benchmark::DoNotOptimize(splain::max(r.f(0), n)); }},
        {"AbsInPlace", "ours", [](Regions& r, int n) { spAbsF32InPlace(r.f(0), n); }},
        {"AbsInPlace", "loop", [](Regions& r, int n) { splain::absInPlace(r.f(0), n); }},
    };
    for (int ch : {2, 6, 8}) {
        std::string tag = std::to_string(ch);
        c.push_back({"Interleave" + tag, "ours", [ch](Regions& r, int n) {
                         const float* src[8];
                         for (int k = 0; k < ch; ++k) src[k] = r.f(0) + (size_t)k * (n / ch);
                         spInterleaveF32(src, ch, n / ch, r.f(1));
                     }});
        c.push_back({"Deinterleave" + tag, "ours", [ch](Regions& r, int n) {
                         float* dst[8];
                         for (int k = 0; k < ch; ++k) dst[k] = r.f(1) + (size_t)k * (n / ch);
                         spDeinterleaveF32(r.f(0), ch, n / ch, dst);
                     }});
        c.push_back({"Interleave" + tag, "memcpy",
                     [ch](Regions& r, int n) { std::memcpy(r.f(1), r.f(0), (size_t)(n / ch) * ch * 4); }});
        c.push_back({"Deinterleave" + tag, "memcpy",
                     [ch](Regions& r, int n) { std::memcpy(r.f(1), r.f(0), (size_t)(n / ch) * ch * 4); }});
    }
#ifdef SP_HAVE_VOLK
    auto volkPair = [&c](const std::string& op, const char* aligned, const char* unaligned, auto call) {
        c.push_back({op, "volk_sse", [call, aligned](Regions& r, int n) { call(r, n, aligned); }, true});
        if (unaligned)
            c.push_back({op, "volk_sse", [call, unaligned](Regions& r, int n) { call(r, n, unaligned); }, false, true});
    };
    volkPair("I16ToF32", "a_sse", "u_sse", [](Regions& r, int n, const char* impl) {
        volk_16i_s32f_convert_32f_manual(r.f(1), r.i16(0), 32768.0f, n, impl);
    });
    volkPair("F32ToI16", "a_sse2", "u_sse2", [](Regions& r, int n, const char* impl) {
        volk_32f_s32f_convert_16i_manual(r.i16(1), r.f(0), 32768.0f, n, impl);
    });
    volkPair("I32ToF32", "a_sse2", "u_sse2", [](Regions& r, int n, const char* impl) {
        volk_32i_s32f_convert_32f_manual(r.f(1), r.i32(0), 2147483648.0f, n, impl);
    });
    volkPair("F32ToI32", "a_sse2", "u_sse2", [](Regions& r, int n, const char* impl) {
        volk_32f_s32f_convert_32i_manual(r.i32(1), r.f(0), 2147483648.0f, n, impl);
    });
    volkPair("Interleave2", "a_sse", nullptr, [](Regions& r, int n, const char* impl) {
        volk_32f_x2_interleave_32fc_manual((lv_32fc_t*)r.f(1), r.f(0), r.f(0) + n / 2, n / 2, impl);
    });
    volkPair("Deinterleave2", "a_sse", nullptr, [](Regions& r, int n, const char* impl) {
        volk_32fc_deinterleave_32f_x2_manual(r.f(1), r.f(1) + n / 2, (const lv_32fc_t*)r.f(0), n / 2, impl);
    });
    volkPair("Add", "a_sse", "u_sse", [](Regions& r, int n, const char* impl) {
        volk_32f_x2_add_32f_manual(r.f(2), r.f(0), r.f(1), n, impl);
    });
    volkPair("AddInPlace", "a_sse", "u_sse", [](Regions& r, int n, const char* impl) {
        volk_32f_x2_add_32f_manual(r.f(1), r.f(0), r.f(1), n, impl);
    });
    volkPair("Sub", "a_sse", nullptr, [](Regions& r, int n, const char* impl) {
        volk_32f_x2_subtract_32f_manual(r.f(2), r.f(1), r.f(0), n, impl);
    });
    volkPair("Scale", "a_sse", "u_sse", [](Regions& r, int n, const char* impl) {
        volk_32f_s32f_multiply_32f_manual(r.f(1), r.f(0), 0.5f, n, impl);
    });
    volkPair("ScaleInPlace", "a_sse", "u_sse", [](Regions& r, int n, const char* impl) {
        volk_32f_s32f_multiply_32f_manual(r.f(0), r.f(0), -1.0f, n, impl);
    });
    volkPair("AddConstInPlace", "a_sse", "u_sse", [](Regions& r, int n, const char* impl) {
        volk_32f_s32f_add_32f_manual(r.f(0), r.f(0), 1e-12f, n, impl);
    });
    c.push_back({"Add", "volk_default", [](Regions& r, int n) { volk_32f_x2_add_32f(r.f(2), r.f(0), r.f(1), n); }});
#endif
    return c;
}

void registerCase(const Case& c, size_t offset, int n) {
    std::string name = c.op + "/" + c.impl + "/" + (offset ? "plus4" : "aligned") + "/" + std::to_string(n);
    Run run = c.run;
    benchmark::RegisterBenchmark(name.c_str(), [run, offset, n](benchmark::State& state) {
        Regions regions((size_t)n * 4, offset);
        for (auto _ : state) {
            run(regions, n);
            benchmark::ClobberMemory();
        }
        state.SetItemsProcessed(state.iterations() * n);
    });
}

// Entry (load, indexed load, tail jump) against the body called directly.
void dispatchOverhead(benchmark::State& state, bool viaEntry) {
    alignas(16) float a[8] = {1, 2, 3, 4, 5, 6, 7, 8}, b[8] = {1, 1, 1, 1, 1, 1, 1, 1}, d[8];
    for (auto _ : state) {
        benchmark::DoNotOptimize(viaEntry ? spAddF32(a, b, d, 8) : spAddF32_Gen(a, b, d, 8));
        benchmark::ClobberMemory();
    }
}

int registerAll() {
    for (const Case& c : cases())
        for (size_t offset : {0u, 4u})
            for (int n : kSizes) {
                if ((c.alignedOnly && offset) || (c.unalignedOnly && !offset)) continue;
                registerCase(c, offset, n);
            }
    benchmark::RegisterBenchmark("Dispatch/entry/aligned/8", dispatchOverhead, true);
    benchmark::RegisterBenchmark("Dispatch/direct/aligned/8", dispatchOverhead, false);
    return 0;
}

const int registered = registerAll();

}  // namespace
