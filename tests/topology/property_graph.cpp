// The property-test filter.
#include "tests/topology/property_graph.h"

namespace topotest {

CTestEffect::CTestEffect(PUNKNOWN outer, ULONG id, ULONG count) : CEffectUnit(outer, id) {
    m_NameGuid = KSPROPSETID_EffectValues;
    m_ValueCount = count;
}

NTSTATUS CTestEffect::SetValue(BYTE enabled) {
    m_Enabled = enabled;
    return STATUS_SUCCESS;
}

NTSTATUS CTestEffect::GetValues(ULONG index, ULONG count, ULONG* values) {
    for (ULONG i = 0; i < count; ++i) {
        values[i] = 1000 + index + i;
    }
    return STATUS_SUCCESS;
}

NTSTATUS CTestEffect::SetValues(ULONG index, ULONG count, const ULONG* values) {
    Log += "set(" + std::to_string(index) + "," + std::to_string(count);
    for (ULONG i = 0; i < count; ++i) {
        Log += "," + std::to_string(values[i]);
    }
    Log += ")";
    return STATUS_SUCCESS;
}

NTSTATUS CTestEffect::GetValueRange(ULONG index, ULONG* first, ULONG* second, ULONG* third) {
    *first = index;
    *second = 100 + index;
    *third = 1;
    return STATUS_SUCCESS;
}

void PropertyGraphTest::SetUp() {
    TopoTest::SetUp();
    AddInputPin(1, ENDPOINT_MIC, {Jack(1, 0xFF0000, 1), Jack(2, 0x00FF00, 0, 1)});
    volume = AddVolume(3, 1);
    mute = AddMute(4, 3);
    auto level = [this](auto* unit, ULONG source) {
        EXPECT_EQ(unit->Init(source, 2, 12 * 65536, -12 * 65536, 65536), STATUS_SUCCESS);
        return Add(unit);
    };
    level(NewUnit<CBassUnit>(5u), 4);
    level(NewUnit<CMidUnit>(6u), 5);
    CAgcUnit* agc = NewUnit<CAgcUnit>(7u);
    EXPECT_EQ(agc->Init(6, 2), STATUS_SUCCESS);
    Add(agc);
    CLoudnessUnit* loudness = NewUnit<CLoudnessUnit>(8u);
    EXPECT_EQ(loudness->Init(7, 2), STATUS_SUCCESS);
    Add(loudness);
    mux = AddMux(9, {1, 8});
    level(NewUnit<CInputGainPadUnit>(10u), 9);
    CDspSwitchUnit* sw = NewUnit<CDspSwitchUnit>(11u);
    EXPECT_EQ(sw->Init(10, 1), STATUS_SUCCESS);
    Add(sw);
    CSoftMuteUnit* soft = NewUnit<CSoftMuteUnit>(12u);
    EXPECT_EQ(soft->Init(11, 1), STATUS_SUCCESS);
    Add(soft);
    outputType = NewUnit<CTerminalTypeUnit>(13u);
    const ULONG types[] = {1, 2, 14};
    EXPECT_EQ(outputType->Init(12, 3, types), STATUS_SUCCESS);
    Add(outputType);
    effect = NewUnit<CTestEffect>(14u, 10u);
    EXPECT_EQ(effect->Init(13), STATUS_SUCCESS);
    Add(effect);
    AddMux(15, {14});
    CVolumeUnit* six = NewUnit<CVolumeUnit>(16u);
    EXPECT_EQ(six->Init(15, 6, 0, -100, 1), STATUS_SUCCESS);
    six->SelectProfile(ENDPOINT_HP, NULL);
    Add(six);
    AddOutputPin(2, 16, ENDPOINT_HP, {Jack(3, 0x000000, 1)});
    AddOutputPin(17, 1, ENDPOINT_SPK);
    ASSERT_EQ(Build(), STATUS_SUCCESS);
    ASSERT_EQ(filter->NodeCount, (ULONG)kNodeCount);
}

}  // namespace topotest
