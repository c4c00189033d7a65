// CPU builds 1-3 of the element-wise vector entries (set, absolute value,
// maximum and minimum, reverse, the four arithmetic operations, square,
// division) beside the generic build and their peers, measured side by side
// in one run: impl "ours" is the generic build, "sse3" / "ssse3" / "sse41"
// the entry with spDispatchIndex at that build, "loop" the -O3 plain loop,
// "volk_sse" VOLK's SSE kernel (its aligned form at offset 0, its unaligned
// form elsewhere, where it has one), and "memcpy" (memset for set) over the
// bytes the entry writes: the bandwidth bound. Names are
// op/impl/plus<offset>/len; ratios.py prints the tables.
#include <benchmark/benchmark.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "bench/primitives/plain_loops.h"
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

// Three float arrays of n elements, each `offset` bytes past a 64-byte
// boundary, holding values in [0.5, 2.3] (no zero divisors, no NaNs).
struct Arrays {
    Arrays(size_t n, size_t offset) {
        for (int k = 0; k < 3; ++k) {
            store[k].assign(n * 4 + 128, 0);
            uintptr_t base = ((uintptr_t)store[k].data() + 63) & ~(uintptr_t)63;
            p[k] = (float*)(void*)((uint8_t*)base + offset);
            for (size_t i = 0; i < n; ++i) p[k][i] = 0.5f + (float)((i * 2654435761u + (size_t)k) % 2001) / 1111.0f;
        }
    }
    std::vector<uint8_t> store[3];
    float* p[3];
};

using Run = std::function<void(Arrays&, int n)>;

struct Op {
    std::string name;
    Run entry;                  // the public entry (all builds)
    Run loop;                   // -O3 plain loop, or null
    bool fill = false;          // bandwidth peer: memset instead of memcpy
};

std::vector<Op> ops() {
    return {
        {"Set", [](Arrays& a, int n) { spSetF32(0.25f, a.p[0], n); }, [](Arrays& a, int n) { splain::set(0.25f, a.p[0], n); },
         true},
        {"AbsInPlace", [](Arrays& a, int n) { spAbsF32InPlace(a.p[0], n); },
         [](Arrays& a, int n) { splain::absInPlace(a.p[0], n); }},
        {"Max",
         [](Arrays& a, int n) {
             float m;
             spMaxF32(a.p[0], n, &m);
             benchmark::DoNotOptimize(m);
         },
         [](Arrays& a, int n) { benchmark::DoNotOptimize(splain::max(a.p[0], n)); }},
        {"Min",
         [](Arrays& a, int n) {
             float m;
             spMinF32(a.p[0], n, &m);
             benchmark::DoNotOptimize(m);
         },
         [](Arrays& a, int n) { benchmark::DoNotOptimize(splain::min(a.p[0], n)); }},
        {"Reverse", [](Arrays& a, int n) { spReverseF32(a.p[0], a.p[1], n); },
         [](Arrays& a, int n) { splain::reverse(a.p[0], a.p[1], n); }},
        {"MulInPlace", [](Arrays& a, int n) { spMulF32InPlace(a.p[0], a.p[1], n); },
         [](Arrays& a, int n) { splain::mulInPlace(a.p[0], a.p[1], n); }},
        {"Add", [](Arrays& a, int n) { spAddF32(a.p[0], a.p[1], a.p[2], n); },
         [](Arrays& a, int n) { splain::add(a.p[0], a.p[1], a.p[2], n); }},
        {"Sub", [](Arrays& a, int n) { spSubF32(a.p[0], a.p[1], a.p[2], n); },
         [](Arrays& a, int n) { splain::sub(a.p[0], a.p[1], a.p[2], n); }},
        {"Mul", [](Arrays& a, int n) { spMulF32(a.p[0], a.p[1], a.p[2], n); },
         [](Arrays& a, int n) { splain::mul(a.p[0], a.p[1], a.p[2], n); }},
        {"Square", [](Arrays& a, int n) { spSquareF32(a.p[0], a.p[1], n); },
         [](Arrays& a, int n) { splain::square(a.p[0], a.p[1], n); }},
        {"Div", [](Arrays& a, int n) { spDivF32(a.p[0], a.p[1], a.p[2], n); },
         [](Arrays& a, int n) { splain::div(a.p[0], a.p[1], a.p[2], n); }},
        // Square root, exponential and logarithm work in place: sqrt stays in
        // range when repeated; exp and ln take a fresh copy of array 0 into
        // array 1 first, in every impl alike (the memcpy row is the same copy).
        {"SqrtInPlace", [](Arrays& a, int n) { spSqrtF32InPlace(a.p[0], n); },
         [](Arrays& a, int n) { splain::sqrtInPlace(a.p[0], n); }},
        {"ExpInPlace",
         [](Arrays& a, int n) {
             std::memcpy(a.p[1], a.p[0], (size_t)n * 4);
             spExpF32InPlace(a.p[1], n);
         },
         [](Arrays& a, int n) {
             std::memcpy(a.p[1], a.p[0], (size_t)n * 4);
             splain::expInPlace(a.p[1], n);
         }},
        {"LnInPlace",
         [](Arrays& a, int n) {
             std::memcpy(a.p[1], a.p[0], (size_t)n * 4);
             spLnF32InPlace(a.p[1], n);
         },
         [](Arrays& a, int n) {
             std::memcpy(a.p[1], a.p[0], (size_t)n * 4);
             splain::lnInPlace(a.p[1], n);
         }},
        {"Sum",
         [](Arrays& a, int n) {
             float s;
             spSumF32(a.p[0], n, &s, 0);
             benchmark::DoNotOptimize(s);
         },
         [](Arrays& a, int n) { benchmark::DoNotOptimize(splain::sum(a.p[0], n)); }},
        {"SumFast",
         [](Arrays& a, int n) {
             float s;
             spSumF32(a.p[0], n, &s, 1);
             benchmark::DoNotOptimize(s);
         },
         nullptr},
        {"Mean",
         [](Arrays& a, int n) {
             float s;
             spMeanF32(a.p[0], n, &s, 0);
             benchmark::DoNotOptimize(s);
         },
         nullptr},
        {"Dot",
         [](Arrays& a, int n) {
             float s;
             spDotProductF32(a.p[0], a.p[1], n, &s);
             benchmark::DoNotOptimize(s);
         },
         [](Arrays& a, int n) { benchmark::DoNotOptimize(splain::dot(a.p[0], a.p[1], n)); }},
        {"MinEvery", [](Arrays& a, int n) { spMinEveryF32InPlace(a.p[0], a.p[1], n); },
         [](Arrays& a, int n) { splain::minEveryInPlace(a.p[0], a.p[1], n); }},
        {"MaxEvery", [](Arrays& a, int n) { spMaxEveryF32InPlace(a.p[0], a.p[1], n); },
         [](Arrays& a, int n) { splain::maxEveryInPlace(a.p[0], a.p[1], n); }},
        {"AddScaled", [](Arrays& a, int n) { spAddScaledF32(a.p[0], 0.001f, a.p[1], n); },
         [](Arrays& a, int n) { splain::addScaled(a.p[0], 0.001f, a.p[1], n); }},
    };
}

void registerRun(const std::string& op, const std::string& impl, size_t offset, int n, int build, const Run& run) {
    std::string name = op + "/" + impl + "/plus" + std::to_string(offset) + "/" + std::to_string(n);
    benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State& state) {
        Arrays arrays((size_t)n, offset);
        const int32_t saved = spDispatchIndex.load();
        if (build >= 0) spDispatchIndex.store(build);
        for (auto _ : state) {
            run(arrays, n);
            benchmark::ClobberMemory();
        }
        spDispatchIndex.store(saved);
        state.SetItemsProcessed(state.iterations() * n);
    });
}

#ifdef SP_HAVE_VOLK
// VOLK's SSE kernels of the ops it has: {aligned form, unaligned form or null}.
struct VolkPeer {
    const char* op;
    const char* aligned;
    const char* unaligned;
    void (*call)(Arrays&, int n, const char* impl);
    const char* label = "volk_sse";
};
const VolkPeer kVolk[] = {
    {"Add", "a_sse", "u_sse",
     [](Arrays& a, int n, const char* impl) { volk_32f_x2_add_32f_manual(a.p[2], a.p[0], a.p[1], n, impl); }},
    {"Sub", "a_sse", nullptr,
     [](Arrays& a, int n, const char* impl) { volk_32f_x2_subtract_32f_manual(a.p[2], a.p[1], a.p[0], n, impl); }},
    {"Mul", "a_sse", "u_sse",
     [](Arrays& a, int n, const char* impl) { volk_32f_x2_multiply_32f_manual(a.p[2], a.p[0], a.p[1], n, impl); }},
    {"MulInPlace", "a_sse", "u_sse",
     [](Arrays& a, int n, const char* impl) { volk_32f_x2_multiply_32f_manual(a.p[1], a.p[0], a.p[1], n, impl); }},
    {"Div", "a_sse", nullptr,
     [](Arrays& a, int n, const char* impl) { volk_32f_x2_divide_32f_manual(a.p[2], a.p[1], a.p[0], n, impl); }},
    {"SqrtInPlace", "a_sse", nullptr,
     [](Arrays& a, int n, const char* impl) { volk_32f_sqrt_32f_manual(a.p[0], a.p[0], n, impl); }},
    {"ExpInPlace", "a_sse2", "u_sse2",
     [](Arrays& a, int n, const char* impl) {
         std::memcpy(a.p[1], a.p[0], (size_t)n * 4);
         volk_32f_exp_32f_manual(a.p[1], a.p[1], n, impl);
     }},
    {"ExpInPlace", "a_sse4_1", "u_sse4_1",
     [](Arrays& a, int n, const char* impl) {
         std::memcpy(a.p[1], a.p[0], (size_t)n * 4);
         volk_32f_expfast_32f_manual(a.p[1], a.p[1], n, impl);
     },
     "volk_expfast"},
    {"Sum", "a_sse", "u_sse",
     [](Arrays& a, int n, const char* impl) {
         float s;
         volk_32f_accumulator_s32f_manual(&s, a.p[0], n, impl);
         benchmark::DoNotOptimize(s);
     }},
    {"Dot", "a_sse", "u_sse",
     [](Arrays& a, int n, const char* impl) {
         float s;
         volk_32f_x2_dot_prod_32f_manual(&s, a.p[0], a.p[1], n, impl);
         benchmark::DoNotOptimize(s);
     }},
    {"MaxEvery", "a_sse", nullptr,
     [](Arrays& a, int n, const char* impl) { volk_32f_x2_max_32f_manual(a.p[1], a.p[0], a.p[1], n, impl); }},
    {"MinEvery", "a_sse", nullptr,
     [](Arrays& a, int n, const char* impl) { volk_32f_x2_min_32f_manual(a.p[1], a.p[0], a.p[1], n, impl); }},
};
#endif

const char* const kImpl[] = {"ours", "sse3", "ssse3", "sse41"};

int registerAll() {
    const int sizes[] = {8, 64, 512, 4096, 100000};
    for (const Op& op : ops())
        for (size_t offset : {0u, 4u, 8u, 12u})
            for (int n : sizes) {
                for (int build = 0; build <= 3; ++build)
                    if (runsHere(build)) registerRun(op.name, kImpl[build], offset, n, build, op.entry);
                if (op.loop) registerRun(op.name, "loop", offset, n, -1, op.loop);
                if (op.fill)
                    registerRun(op.name, "memset", offset, n, -1, [](Arrays& a, int len) { std::memset(a.p[0], 0x3E, (size_t)len * 4); });
                else
                    registerRun(op.name, "memcpy", offset, n, -1, [](Arrays& a, int len) { std::memcpy(a.p[2], a.p[0], (size_t)len * 4); });
#ifdef SP_HAVE_VOLK
                for (const VolkPeer& v : kVolk) {
                    if (op.name != v.op) continue;
                    const char* impl = offset == 0 ? v.aligned : v.unaligned;
                    if (impl == nullptr) continue;
                    auto call = v.call;
                    registerRun(op.name, v.label, offset, n, -1, [call, impl](Arrays& a, int len) { call(a, len, impl); });
                }
#endif
            }
    return 0;
}

const int registered = registerAll();

}  // namespace
