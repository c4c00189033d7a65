// A terminal with scripted jack answers, and the filter built around it,
// shared by the jack fault tests and the jack race test.
#pragma once

#include "tests/topology/topo_fixture.h"

namespace topotest {

// A terminal whose jack answers are scripted: the count it reports first
// and afterwards, how many records GetJackInfo writes, or its failure.
class CScriptedTerminal : public CTerminalUnit {
public:
    CScriptedTerminal(PUNKNOWN outer, ULONG id) : CTerminalUnit(outer, id, UNIT_KIND_INPUT_PIN) {
        const ULONG type = ENDPOINT_MIC;
        ReplaceTypes(1, &type);
    }
    NTSTATUS GetJackCount(ULONG* count, ULONG) override {
        *count = Calls++ == 0 ? FirstCount : LaterCount;
        return STATUS_SUCCESS;
    }
    NTSTATUS GetJackInfo(ULONG bufferSize, JACK_INFO* records, ULONG) override {
        if (!NT_SUCCESS(InfoStatus)) return InfoStatus;
        for (ULONG i = 0; i < Written && (i + 1) * sizeof(JACK_INFO) <= bufferSize; ++i) {
            records[i] = Jack(i + 1, 0x123456, 1);
        }
        return STATUS_SUCCESS;
    }
    // The bound pin nodes replace their records while readers copy them.
    NTSTATUS Replace(ULONG count, const JACK_INFO* jacks) { return ReplaceJacks(count, jacks); }
    ULONG FirstCount = 2, LaterCount = 2, Written = 2, Calls = 0;
    NTSTATUS InfoStatus = STATUS_SUCCESS;
};

class JackFaultTest : public TopoTest {
protected:
    void SetUp() override {
        TopoTest::SetUp();
        terminal = Add(NewUnit<CScriptedTerminal>(1u));
        AddOutputPin(2, 1, ENDPOINT_SPK);
        ASSERT_EQ(Build(), STATUS_SUCCESS);
    }
    KsPropertyResult Jacks(ULONG outLen) {
        terminal->Calls = 0;
        return KsProperty(port->Target(), FilterRequest(KSPROPSETID_Jack, 1, KSPROPERTY_TYPE_GET, {0}), outLen);
    }
    CScriptedTerminal* terminal = NULL;
};

}  // namespace topotest
