// A stream engine under test: the engine itself with its protected state
// reachable, made and initialised per test and released at its end (the
// kernel scope then checks that nothing is left in pool).
#pragma once

#include <gtest/gtest.h>

#include "stream/engine/cyclic_client.h"
#include "stream/engine/stream_engine.h"
#include "tests/fakes/stream/fake_node.h"
#include "tests/fakes/stream/fake_unit.h"
#include "tests/fakes/stream/formats.h"
#include "tests/support/kernel_test.h"

class TestEngine : public CStreamEngine {
public:
    explicit TestEngine(ULONG interfaceNumber) : CStreamEngine(NULL, interfaceNumber) {}
    void SetCurrentFormat(const WAVEFORMATEXTENSIBLE& format) { m_CurrentWaveFormat = format; }
    float** Channels() { return m_ppfChannels; }
    PCALLBACK_OBJECT CallbackObject() { return m_pCallbackObject; }
};

class EngineTest : public sim::KernelTest {
protected:
    TestEngine* MakeEngine(ULONG isCapture) {
        engine_ = new (NonPagedPoolNx, STREAM_ENGINE_TAG) TestEngine(1);
        engine_->AddRef();
        EXPECT_EQ(engine_->Init(isCapture), STATUS_SUCCESS);
        return engine_;
    }
    void TearDown() override {
        ReleaseEngine();
        sim::KernelTest::TearDown();
    }
    void ReleaseEngine() {
        if (engine_) engine_->Release();
        engine_ = nullptr;
    }
    // Adds a unit and drops the test's own reference.
    void AddUnit(const streamfakes::UnitSpec& spec) {
        streamfakes::FakeStreamUnit* unit = streamfakes::FakeStreamUnit::Create(spec);
        EXPECT_EQ(engine_->AddUnit(unit), STATUS_SUCCESS);
        unit->Release();
    }
    TestEngine* engine_ = nullptr;
};

inline streamfakes::UnitSpec Pin(ULONG id, ULONG kind, ULONG type) {
    streamfakes::UnitSpec spec;
    spec.id = id;
    spec.kind = kind;
    spec.terminal = true;
    spec.type = type;
    return spec;
}
