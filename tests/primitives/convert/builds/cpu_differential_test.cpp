// Every entry of table A that has CPU bodies (and spSetI32, spDivConstF32,
// spScaleF32) against the generic build: same status and same bytes, on
// seeded data with the special values, at source and destination offsets
// 0-15 and many lengths, under the default MXCSR, the data path's
// flush-to-zero and a caller's round-toward-zero. Only the documented
// differences are accepted, element by element.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "primitives/convert/entry_table_a.h"
#include "primitives/convert/sp_cpu.h"
#include "primitives/convert/sp_gen.h"
#include "primitives/vector/entry_table_b.h"
#include "tests/primitives/support/dispatch.h"
#include "tests/primitives/support/mxcsr.h"
#include "tests/primitives/support/special_values.h"

namespace sptest {
namespace {

struct Params {
    int rndMode = 0;
    int sf = 0;
    float val = 0.0f;
};

enum class Input { kFloats, kInt16, kInt32, kBytes };

// Per element: accept (src, gen, other) bytes that differ.
using ElementAccept = std::function<bool(const uint8_t* src, const uint8_t* gen, const uint8_t* other, const Params&)>;

struct DiffEntry {
    const char* name;
    size_t srcSize;  // 0: no source
    size_t dstSize;  // 0: in place on the source
    Input input;
    std::function<SpStatus(const void* src, void* dst, int len, const Params& p)> call;
    ElementAccept accept;
};

void PrintTo(const DiffEntry& e, std::ostream* os) { *os << e.name; }

float f32(const uint8_t* p) {
    float v;
    std::memcpy(&v, p, 4);
    return v;
}
int32_t i32(const uint8_t* p) {
    int32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
int16_t i16(const uint8_t* p) {
    int16_t v;
    std::memcpy(&v, p, 2);
    return v;
}

bool sfOutsideExact(const Params& p) { return p.sf < -127 || p.sf > 126; }

// Half-away NaN: int16 -> 32767, generic 0.
bool acceptI16(const uint8_t* s, const uint8_t* g, const uint8_t* o, const Params& p) {
    if (sfOutsideExact(p)) return true;
    if (p.rndMode == 0 || p.rndMode == 1) return false;
    float x = f32(s);
    if (std::isnan(x)) return i16(o) == 32767 && i16(g) == 0;
    // The scaled kernel adds the half in single precision.
    float y = p.sf == 0 ? x : (float)((double)x * std::ldexp(1.0, -p.sf));
    return std::fabs(y) == 0.49999997f && i16(g) == 0 && std::abs(i16(o)) == 1;
}

// Half-away NaN: int32 -> +-max by sign, generic INT32_MIN.
bool acceptI32(const uint8_t* s, const uint8_t*, const uint8_t* o, const Params& p) {
    if (sfOutsideExact(p)) return true;
    if (p.rndMode == 0 || p.rndMode == 1) return false;
    float x = f32(s);
    return std::isnan(x) && i32(o) == (std::signbit(x) ? INT32_MIN : INT32_MAX);
}

// A NaN scaled value gives 00 00 80 in the kernels, 0 in the generic build.
bool acceptI24(const uint8_t* s, const uint8_t*, const uint8_t* o, const Params& p) {
    float x = f32(s);
    int sf = p.sf < -127 ? -127 : (p.sf > 127 ? 127 : p.sf);
    float y = p.sf == 0 ? x : x * std::ldexp(1.0f, -sf) * (sf == 127 ? 0.0f : 1.0f);
    return std::isnan(y) && o[0] == 0 && o[1] == 0 && o[2] == 0x80;
}

// Two NaN operands: which payload wins is not fixed.
bool acceptNanPair(const uint8_t*, const uint8_t* g, const uint8_t* o, const Params&) {
    return std::isnan(f32(g)) && std::isnan(f32(o));
}

std::vector<DiffEntry> entries() {
    using P = const Params&;
    return {
        {"spF32ToI16Scaled", 4, 2, Input::kFloats,
         [](const void* s, void* d, int n, P p) { return spF32ToI16Scaled((const float*)s, (int16_t*)d, n, p.rndMode, p.sf); },
         acceptI16},
        {"spF32ToI32Scaled", 4, 4, Input::kFloats,
         [](const void* s, void* d, int n, P p) { return spF32ToI32Scaled((const float*)s, (int32_t*)d, n, p.rndMode, p.sf); },
         acceptI32},
        {"spF32ToI24Scaled", 4, 3, Input::kFloats,
         [](const void* s, void* d, int n, P p) { return spF32ToI24Scaled((const float*)s, (uint8_t*)d, n, p.sf); },
         acceptI24},
        {"spI16ToF32Scaled", 2, 4, Input::kInt16,
         [](const void* s, void* d, int n, P p) { return spI16ToF32Scaled((const int16_t*)s, (float*)d, n, p.sf); }, nullptr},
        {"spI32ToF32Scaled", 4, 4, Input::kInt32,
         [](const void* s, void* d, int n, P p) { return spI32ToF32Scaled((const int32_t*)s, (float*)d, n, p.sf); }, nullptr},
        {"spI32ToF32", 4, 4, Input::kInt32,
         [](const void* s, void* d, int n, P) { return spI32ToF32((const int32_t*)s, (float*)d, n); }, nullptr},
        {"spI24ToF32", 3, 4, Input::kBytes,
         [](const void* s, void* d, int n, P) { return spI24ToF32((const uint8_t*)s, (float*)d, n); }, nullptr},
        {"spZeroF32", 4, 0, Input::kFloats, [](const void*, void* d, int n, P) { return spZeroF32((float*)d, n); }, nullptr},
        {"spAddF32InPlace", 4, 4, Input::kFloats,
         [](const void* s, void* d, int n, P) { return spAddF32InPlace((const float*)s, (float*)d, n); }, acceptNanPair},
        {"spDivConstF32InPlace", 4, 0, Input::kFloats,
         [](const void*, void* d, int n, P p) { return spDivConstF32InPlace(p.val, (float*)d, n); }, acceptNanPair},
        {"spMoveF32", 4, 4, Input::kFloats,
         [](const void* s, void* d, int n, P) { return spMoveF32((const float*)s, (float*)d, n); }, nullptr},
        {"spScaleF32InPlace", 4, 0, Input::kFloats,
         [](const void*, void* d, int n, P p) { return spScaleF32InPlace(p.val, (float*)d, n); }, acceptNanPair},
        {"spAddConstF32InPlace", 4, 0, Input::kFloats,
         [](const void*, void* d, int n, P p) { return spAddConstF32InPlace(p.val, (float*)d, n); }, acceptNanPair},
        {"spScaleF32", 4, 4, Input::kFloats,
         [](const void* s, void* d, int n, P p) { return spScaleF32((const float*)s, p.val, (float*)d, n); }, acceptNanPair},
    };
}

// Parameter sets per entry: the first is swept over every offset pair.
std::vector<Params> paramsFor(const std::string& name) {
    std::vector<Params> out;
    if (name == "spF32ToI16Scaled" || name == "spF32ToI32Scaled") {
        int dataPathSf = name == "spF32ToI16Scaled" ? -15 : -31;
        for (int mode : {0, 1, 2}) out.push_back({mode, dataPathSf, 0});
        for (int mode : {0, 1, 2, 7})
            for (int sf : {0, 15, -15, -23, -31, 127, -127, 126, 200, -200, -128, 149, 150})
                out.push_back({mode, sf, 0});
        std::mt19937 rng(19);
        for (int k = 0; k < 6; ++k) out.push_back({k % 3, (int)(rng() % 254) - 127, 0});
    } else if (name == "spF32ToI24Scaled") {
        for (int sf : {-23, 0, 23, -31, 127, -127, 200, -200, 126}) out.push_back({0, sf, 0});
    } else if (name == "spI16ToF32Scaled") {
        for (int sf : {15, 0, -15, 200, -500, -112, -113, 126, 127}) out.push_back({0, sf, 0});
    } else if (name == "spI32ToF32Scaled") {
        for (int sf : {31, 0, -31, 200, -500, -96, -97, 126}) out.push_back({0, sf, 0});
    } else if (name == "spDivConstF32InPlace") {
        for (float v : {8388608.0f, 1310720.0f, 3.0f, -0.0f, 0.0f, INFINITY, -INFINITY, NAN, 1e-30f})
            out.push_back({0, 0, v});
    } else if (name == "spScaleF32InPlace" || name == "spScaleF32") {
        for (float v : {0.75f, 0.0f, -0.0f, NAN, INFINITY, -3.5f, 1e-38f}) out.push_back({0, 0, v});
        if (name == "spScaleF32InPlace") out.push_back({0, 0, 1.0f});
    } else if (name == "spAddConstF32InPlace") {
        for (float v : {1e-12f, 0.0f, -0.0f, 1.5f, NAN, -INFINITY}) out.push_back({0, 0, v});
    } else {
        out.push_back({});
    }
    return out;
}

std::vector<uint8_t> inputBytes(Input kind, size_t bytes, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::vector<uint8_t> out(bytes);
    if (kind == Input::kFloats) {
        std::vector<float> edges;
        for (const NamedFloat& f : ieeeSpecials()) edges.push_back(f.value());
        for (const NamedFloat& f : conversionEdges()) edges.push_back(f.value());
        for (size_t i = 0; i + 4 <= bytes; i += 4) {
            float v;
            uint64_t r = rng();
            switch (r % 4) {
            case 0: v = edges[(r >> 8) % edges.size()]; break;
            case 1: {
                uint32_t b = (uint32_t)(r >> 16);
                std::memcpy(&v, &b, 4);
                break;
            }
            default: {
                double u = (double)((r >> 11) & 0xFFFFF) / 524288.0 - 1.0;  // [-1, 1)
                v = (float)std::ldexp(u, (int)((r >> 40) % 40) - 6);
            }
            }
            std::memcpy(&out[i], &v, 4);
        }
        return out;
    }
    for (auto& b : out) b = (uint8_t)rng();
    if (kind == Input::kInt32)
        for (size_t i = 0; i + 4 <= bytes; i += 16) {  // edges now and then
            int32_t e[] = {INT32_MAX, INT32_MIN, 16777217, -16777217};
            std::memcpy(&out[i], &e[(i / 16) % 4], 4);
        }
    return out;
}

struct Geometry {
    size_t srcOff, dstOff;
    int len;
};

std::vector<Geometry> fullSweep() {
    std::vector<Geometry> g;
    for (size_t s = 0; s < 16; ++s)
        for (size_t d = 0; d < 16; ++d)
            for (int len = 1; len <= 40; ++len) g.push_back({s, d, len});
    for (int len : {255, 256, 257, 4099}) g.push_back({0, 0, len}), g.push_back({4, 12, len}), g.push_back({3, 1, len});
    return g;
}

std::vector<Geometry> lightSweep() {
    std::vector<Geometry> g;
    for (auto off : {std::pair<size_t, size_t>{0, 0}, {4, 0}, {0, 4}, {8, 12}, {1, 3}})
        for (int len : {1, 2, 3, 4, 5, 7, 8, 9, 10, 11, 12, 15, 16, 17, 31, 40, 255, 256, 257, 4099})
            g.push_back({off.first, off.second, len});
    return g;
}

// Runs one geometry: source region at +16+srcOff of a 16-byte aligned
// image, destination region after it; guard bytes around both.
void compareOne(const DiffEntry& e, int build, const Params& p, const Geometry& g, const std::vector<uint8_t>& data) {
    const size_t srcBytes = (size_t)g.len * e.srcSize;
    const size_t dstRegion = (16 + 32 + srcBytes + 31) & ~(size_t)15;
    const bool inPlace = e.dstSize == 0;
    const size_t dstBytes = inPlace ? 0 : (size_t)g.len * e.dstSize;
    std::vector<uint8_t> image(dstRegion + 16 + 16 + dstBytes + 32, 0xA5);
    std::memcpy(&image[16 + g.srcOff], data.data(), srcBytes);
    const size_t srcAt = 16 + g.srcOff, dstAt = inPlace ? srcAt : dstRegion + 16 + g.dstOff;
    if (!inPlace && std::strcmp(e.name, "spAddF32InPlace") == 0)
        std::memcpy(&image[dstAt], data.data() + 7 * 4, dstBytes);  // a second operand
    auto call = [&](std::vector<uint8_t>& img) {
        EXPECT_EQ((uintptr_t)img.data() & 15, 0u);
        return e.call(img.data() + srcAt, img.data() + dstAt, g.len, p);
    };
    AcceptDifference accept = [&](const std::vector<uint8_t>& gen, const std::vector<uint8_t>& other) {
        if (!e.accept) return false;
        size_t esz = inPlace ? e.srcSize : e.dstSize;
        for (size_t i = 0; i < gen.size(); ++i) {
            if (gen[i] == other[i]) continue;
            if (i < dstAt || i >= dstAt + (size_t)g.len * esz) return false;  // outside the output
            size_t k = (i - dstAt) / esz;
            const uint8_t* s = image.data() + srcAt + k * (inPlace ? esz : e.srcSize);
            if (!e.accept(s, &gen[dstAt + k * esz], &other[dstAt + k * esz], p)) return false;
            i = dstAt + (k + 1) * esz - 1;
        }
        return true;
    };
    SCOPED_TRACE(::testing::Message() << e.name << " len " << g.len << " src+" << g.srcOff << " dst+" << g.dstOff
                                      << " mode " << p.rndMode << " sf " << p.sf << " val " << p.val);
    compareWithGeneric(build, image, call, accept);
}

class CpuBuildDifferential : public ::testing::TestWithParam<DiffEntry> {};

TEST_P(CpuBuildDifferential, SameStatusAndBytesAsTheGenericBuild) {
    const DiffEntry& e = GetParam();
    const std::vector<Params> params = paramsFor(e.name);
    const std::vector<uint8_t> data = inputBytes(e.input, 4099 * 4 + 64, 0x5EED0000u + std::strlen(e.name));
    for (int build = 1; build < SP_BUILD_COUNT; ++build) {
        if (!cpuHasBuild(build)) {
            std::printf("[ note     ] %s: not supported by this CPU, skipped\n", buildName(build));
            continue;
        }
        for (uint32_t mxcsr : {kMxcsrDefault, kMxcsrDataPath, kMxcsrDefault | kMxcsrRoundZero}) {
            for (size_t k = 0; k < params.size(); ++k) {
                const Params& p = params[k];
                if (std::strcmp(e.name, "spScaleF32") == 0 && p.val == 1.0f) continue;
                const bool full = k == 0 && mxcsr == kMxcsrDefault;
                MxcsrScope scope(mxcsr);
                for (const Geometry& g : full ? fullSweep() : lightSweep()) {
                    compareOne(e, build, p, g, data);
                    if (::testing::Test::HasFailure()) return;
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(TableEntries, CpuBuildDifferential, ::testing::ValuesIn(entries()),
                         [](const ::testing::TestParamInfo<DiffEntry>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace sptest
