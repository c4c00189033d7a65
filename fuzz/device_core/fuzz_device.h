// The stand-in world both fuzz targets run in, built once per process: a
// kernel scope, a clean registry, and the driver loaded on a simulated PDO
// with the fake adapter (one ASIO render endpoint), started. A contract
// the harnesses check (a write past the system buffer, a success whose
// Information exceeds the output) stops the fuzzer at once.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "adapter/device_context.h"
#include "adapter/driver_entry.h"
#include "adapter/family_choice.h"
#include "sim/executor.h"
#include "sim/pnp_harness.h"
#include "sim/registry.h"
#include "sim/violation.h"
#include "tests/fakes/adapter/fake_adapter.h"
#include "tests/fakes/adapter/fake_model.h"

namespace fuzzdevice {

struct World {
    std::unique_ptr<sim::KernelScope> scope;
    std::unique_ptr<ScopedDriverFactories> factories;
    std::unique_ptr<sim::PnpHarness> device;

    PDEVICE_OBJECT Fdo() { return device->TopDevice(); }
    PDEVICE_CONTEXT Context() { return GetDeviceContext(Fdo()); }
};

// Never destroyed: process exit does not tear the device down (the fakes'
// records may already be gone by then).
inline World& StartWorld() {
    static World& world = *new World;
    if (world.scope) return world;
    GTEST_FLAG_SET(break_on_failure, true);
    sim::SetViolationHandler([](const char* file, int line, const std::string& what) {
        std::fprintf(stderr, "%s:%d: %s\n", file, line, what.c_str());
        __builtin_trap();
    });
    world.scope = std::make_unique<sim::KernelScope>();
    sim::RegistryReset();
    world.factories = std::make_unique<ScopedDriverFactories>(fakes::FakeModelFactories());
    fakes::EngineSpec engine;
    engine.caps.Flags = ENDPOINT_CAPS_ASIO;
    fakes::NextAdapter().engines = {engine};
    world.device = std::make_unique<sim::PnpHarness>();
    if (world.device->LoadDriver(DriverEntry) != STATUS_SUCCESS || world.device->AddDevice() != STATUS_SUCCESS ||
        world.device->StartDevice() != STATUS_SUCCESS)
        __builtin_trap();
    return world;
}

}  // namespace fuzzdevice
