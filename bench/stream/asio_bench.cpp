// The ASIO pins' share of the isochronous loop: the ring copy that a
// RENDER_FILL or CAPTURE_DATA message makes per transfer, with and without
// a wrap at the ring's end, against a memcpy of the same bytes.
//
//   AsioRingCopy/<dir>/<bytes>/<wrap>   one transfer's copy between the
//                        40 ms ring and the transfer buffer;
//                        "ratio_to_memcpy" divides by a memcpy of the
//                        transfer's bytes
//
// 192 bytes: 48 kHz stereo 16-bit, 1 ms; 30720 bytes: 192 kHz 8-channel
// 32-bit, 5 ms. The pin lookup and the spin lock of the message callback
// are not part of this measurement.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "stream/asio/asio_ring.h"

namespace {

using Clock = std::chrono::steady_clock;

double MemcpyNanoseconds(size_t bytes) {
    std::vector<uint8_t> from(bytes, 1), to(bytes);
    const int rounds = 20000;
    auto start = Clock::now();
    for (int i = 0; i < rounds; i++) {
        memcpy(to.data(), from.data(), bytes);
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count() / rounds;
}

// range(0): 1 render, 0 capture; range(1): bytes per transfer; range(2):
// 1 when every copy passes the ring's end.
void AsioRingCopyBench(benchmark::State& state) {
    const bool render = state.range(0) != 0;
    const ULONG bytes = (ULONG)state.range(1);
    const bool wrap = state.range(2) != 0;
    const ULONG size = bytes == 192 ? 7680 : 30720 * 8;  // 40 ms rings
    std::vector<UCHAR> ring(size, 3), transfer(bytes, 5);
    const ULONG start = wrap ? size - bytes / 2 : 0;
    const auto begin = Clock::now();
    for (auto _ : state) {
        ULONG position = start;
        AsioRingCopy(ring.data(), size, &position, transfer.data(), bytes, render ? TRUE : FALSE);
        benchmark::DoNotOptimize(position);
        benchmark::ClobberMemory();
    }
    const double copyNs =
        std::chrono::duration<double, std::nano>(Clock::now() - begin).count() / (double)state.iterations();
    const double memcpyNs = MemcpyNanoseconds(bytes);
    state.counters["ratio_to_memcpy"] = copyNs / memcpyNs;
    state.counters["memcpy_ns"] = memcpyNs;
}
BENCHMARK(AsioRingCopyBench)
    ->ArgNames({"render", "bytes", "wrap"})
    ->ArgsProduct({{1, 0}, {192, 30720}, {0, 1}})
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
