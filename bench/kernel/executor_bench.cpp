// Wall time per executor operation. A virtual wait costs a hand-off to the
// scheduler and back; this is what a test pays per timer tick or per USB
// frame of simulated time.
#include <benchmark/benchmark.h>

#include "nt/ke.h"
#include "sim/executor.h"

namespace {

void VirtualSleepOneMillisecond(benchmark::State& state) {
    sim::KernelScope scope;
    for (auto _ : state) sim::Sleep(sim::kTicksPerMillisecond);
    scope.Finish();
}
BENCHMARK(VirtualSleepOneMillisecond);

void DpcRoundTrip(benchmark::State& state) {
    sim::KernelScope scope;
    KDPC dpc;
    KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
    for (auto _ : state) {
        KeInsertQueueDpc(&dpc, nullptr, nullptr);
        KeFlushQueuedDpcs();
    }
    scope.Finish();
}
BENCHMARK(DpcRoundTrip);

void EventPingPong(benchmark::State& state) {
    sim::KernelScope scope;
    KEVENT ping, pong;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    bool stop = false;
    sim::TestThread partner("partner", [&] {
        for (;;) {
            KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
            if (stop) return;
            KeSetEvent(&pong, 0, FALSE);
        }
    });
    for (auto _ : state) {
        KeSetEvent(&ping, 0, FALSE);
        KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr);
    }
    stop = true;
    KeSetEvent(&ping, 0, FALSE);
    partner.Join();
    scope.Finish();
}
BENCHMARK(EventPingPong);

void UncontendedSpinLock(benchmark::State& state) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    for (auto _ : state) {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        KeReleaseSpinLock(&lock, old);
    }
}
BENCHMARK(UncontendedSpinLock);

}  // namespace

BENCHMARK_MAIN();
