// The constant tables of the filter: a few entries pinned, counts and sums
// over the rest, so a slip in transcription shows.
#include <string>

#include "tests/topology/topo_fixture.h"
#include "topology/topo_tables.h"

namespace topotest {
namespace {

ULONG Items(const PCAUTOMATION_TABLE& t) { return t.PropertyCount; }

TEST(TopoTables, NodeKindsPinnedAndSummed) {
    ULONG sum = 0;
    for (const TOPO_NODE_KIND& row : TopoNodeKinds) {
        sum += row.Kind;
        EXPECT_NE(row.Type, nullptr);
    }
    EXPECT_EQ(sum, 256u);
    for (ULONG kind : {0u, 1u, 12u, 14u, 21u, 25u}) {
        EXPECT_EQ(TopoNodeKind(kind, 1), nullptr) << kind;
    }
    const TOPO_NODE_KIND* outputType = TopoNodeKind(UNIT_KIND_TERMINAL_TYPE, 1);
    EXPECT_EQ(*outputType->Name, NODENAME_OUTPUT_TYPE);
    EXPECT_EQ(outputType->Automation, &TopoOutputTypeAutomation);
    const TOPO_NODE_KIND* named = TopoNodeKind(UNIT_KIND_NAMED_VOLUME, 1);
    EXPECT_EQ(*named->Type, KSNODETYPE_VOLUME);
    EXPECT_EQ(*named->Name, NODENAME_NAMED_VOLUME);
    EXPECT_EQ(TopoNodeKind(UNIT_KIND_MUX, 2)->Automation, &TopoSelectorAutomation);
    EXPECT_EQ(TopoNodeKind(UNIT_KIND_MUX, 0)->Automation, &TopoSingleSelectorAutomation);
    EXPECT_EQ(TopoNodeKind(UNIT_KIND_DEV_SWITCH_19, 1)->Name, TopoNodeKind(UNIT_KIND_DEV_SWITCH, 1)->Name);
    EXPECT_EQ(NODENAME_DEV_PARAMS_20, KSPROPSETID_DevParams20);
}

TEST(TopoTables, AutomationTablesCountItemsAndEvents) {
    const PCAUTOMATION_TABLE* tables[] = {&TopoFilterAutomation,   &TopoVolumeAutomation,       &TopoToneAutomation,
                                          &TopoMuteAutomation,     &TopoAgcAutomation,          &TopoLoudnessAutomation,
                                          &TopoSelectorAutomation, &TopoSingleSelectorAutomation, &TopoDevSpecificAutomation,
                                          &TopoOutputTypeAutomation, &TopoParamsAutomation,     &TopoEffectAutomation};
    ULONG items = 0, withEvent = 0;
    for (const PCAUTOMATION_TABLE* t : tables) {
        items += Items(*t);
        withEvent += t->EventCount;
        EXPECT_EQ(t->PropertyItemSize, sizeof(PCPROPERTY_ITEM));
        if (t->EventCount) {
            EXPECT_EQ(*t->Events[0].Set, KSEVENTSETID_AudioControlChange);
            EXPECT_EQ(t->Events[0].Flags, (ULONG)(PCEVENT_ITEM_FLAG_ENABLE | PCEVENT_ITEM_FLAG_BASICSUPPORT));
        }
    }
    EXPECT_EQ(items, 36u);
    EXPECT_EQ(withEvent, 8u);
    EXPECT_EQ(TopoSelectorAutomation.EventCount, 0u);
    EXPECT_EQ(TopoParamsAutomation.EventCount, 0u);
    // Output type: DEV_SPECIFIC is SET and BASICSUPPORT only.
    EXPECT_EQ(TopoOutputTypeAutomation.Properties[0].Flags,
              (ULONG)(KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT));
    EXPECT_EQ(TopoVolumeAutomation.Properties[1].Flags, (ULONG)KSPROPERTY_TYPE_SET);
    EXPECT_EQ(*TopoVolumeAutomation.Properties[1].Set, KSPROPSETID_PrivateAudio);
}

TEST(TopoTables, PinCategoriesPinnedAndStemsCounted) {
    ULONG stems = 0, defaults = 0, vista = 0;
    for (const TOPO_PIN_CATEGORY& row : TopoPinCategories) {
        stems += (row.OutputStem != NULL) + (row.InputStem != NULL);
        defaults += (row.OutputName != NULL) + (row.InputName != NULL);
        vista += row.NeedsVista;
    }
    EXPECT_EQ(stems, 7u);
    EXPECT_EQ(defaults, 10u);
    EXPECT_EQ(vista, 2u);
    EXPECT_EQ(*TopoPinCategories[ENDPOINT_SPDIF].OutputName, PINNAME_SPDIF_OUT);
    EXPECT_EQ(std::u16string(TopoPinCategories[ENDPOINT_SPDIF].InputStem), u"SpdifInName");
    EXPECT_EQ(*TopoPinCategories[ENDPOINT_FHP].Category, KSNODETYPE_HEADPHONES);
    EXPECT_EQ(*TopoPinCategories[ENDPOINT_STEREOMIX].LegacyCategory, PINCATEGORY_STEREOMIX_LEGACY);
}

}  // namespace
}  // namespace topotest
