// The descriptor fixtures: each through the adapter's Init into the model,
// its summary compared with the fixture's golden summary (a refused
// device's golden holds only the refusal; UAC1_WRITE_GOLDEN=1 in the
// environment writes the summaries instead, for review), and each accepted
// one decoded by an independent decoder, lsusb -v reading the bytes from a
// umockdev test bed, compared with what the model parsed: entity ids,
// kinds and source ids, the feature units' controls, and per streaming
// interface and alternate setting the channels, subframe size, bits and
// sample rates. The lsusb comparison is skipped with a message when
// umockdev-run or lsusb is missing (scripts/setup installs both).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <unistd.h>

#include "platform/portcls/sim_portcls.h"
#include "sim/debug.h"
#include "stream/engine/stream_engine.h"
#include "tests/fakes/adapter/fake_model.h"
#include "tests/adapter/uac1/model_fixture.h"
#include "tests/platform/usb/lsusb_run.h"
#include "topology/uac1_feature_unit.h"
#include "topology/uac_entity.h"

namespace uac1test {
namespace {

// ---- golden summaries ----------------------------------------------------------

std::string StatusLine(NTSTATUS status) {
    char line[32];
    std::snprintf(line, sizeof(line), "init 0x%08X\n", (unsigned)status);
    return line;
}

class FixtureSummaryTest : public ModelTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(FixtureSummaryTest, MatchesGolden) {
    const std::string name = GetParam();
    Plug(LoadFixture(name));
    const NTSTATUS status = InitAdapter();
    std::string summary = StatusLine(status);
    if (NT_SUCCESS(status)) summary += Summarize(Model());
    if (std::getenv("UAC1_WRITE_GOLDEN") != nullptr) {
        std::ofstream(std::string(UAC1_FIXTURE_DIR) + "/" + name + ".summary") << summary;
        return;
    }
    EXPECT_EQ(summary, ReadGolden(name));
}

INSTANTIATE_TEST_SUITE_P(Fixtures, FixtureSummaryTest,
                         ::testing::ValuesIn(kFixtures),
                         [](const auto& info) { return std::string(info.param); });

// ---- the driver's start --------------------------------------------------------------

TEST(Uac1FactorySlot, GenericSlotCreatesTheUac1Model) {
    EXPECT_EQ(GetDriverFactories()->Models[FAMILY_MODEL_UAC1], &CreateUac1Hal);
}

// The whole start through the PnP harness with the built-in model and the
// built-in topology and wave miniports: the topology filter is built from
// the model's units, every engine is named and installed, the status
// thread runs, and removal undoes it all.
class DriverStartTest : public ModelTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(DriverStartTest, StartsAndIsRemoved) {
    DRIVER_FACTORIES table = *GetDriverFactories();
    table.Models[FAMILY_MODEL_UAC1] = CreateUac1Hal;
    m_Factories.reset();
    m_Factories = std::make_unique<ScopedDriverFactories>(table);
    Plug(LoadFixture(GetParam()));
    ASSERT_EQ(Port().harness().StartDevice(), STATUS_SUCCESS);
    ASSERT_NE(Context()->AudioHal, nullptr);
    ULONG named = 0;
    for (UCHAR counter : Context()->RenderNameCounter) named += counter;
    for (UCHAR counter : Context()->CaptureNameCounter) named += counter;
    EXPECT_EQ(named, Context()->AudioHal->GetStreamEngineCount());
    EXPECT_GT(named, 0u);
    // The topology filter holds a pin or node per unit of the model.
    const PUNKNOWN topology = sim::PcFindSubdevice(Fdo(), u"GlobalTopo");
    ASSERT_NE(topology, nullptr);
    const std::vector<sim::PcSubdeviceView> subdevices = sim::PcSubdevices(Fdo());
    for (const sim::PcSubdeviceView& v : subdevices)
        if (v.name == u"GlobalTopo") {
            ASSERT_NE(v.descriptor, nullptr);
            EXPECT_GT(v.descriptor->PinCount + v.descriptor->NodeCount, 0u);
        }
    EXPECT_EQ(Port().harness().RemoveDevice(), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, DriverStartTest, ::testing::ValuesIn(kAcceptedFixtures),
                         [](const auto& info) { return std::string(info.param); });

// ---- refusal lines -------------------------------------------------------------------

// A refused device says why in one debugger line: the interface, the
// entity, the descriptor subtype and the rule.
struct RefusalLineCase {
    const char* name;
    std::function<DescriptorSet()> device;
    std::string line;
};

std::ostream& operator<<(std::ostream& out, const RefusalLineCase& c) { return out << c.name; }

class RefusalLineTest : public ModelTest, public ::testing::WithParamInterface<RefusalLineCase> {};

TEST_P(RefusalLineTest, NamesTheRule) {
    Plug(GetParam().device());
    sim::ClearDebugOutput();
    EXPECT_FALSE(NT_SUCCESS(InitAdapter()));
    const std::vector<std::string> log = sim::DebugLog();
    EXPECT_EQ(std::count(log.begin(), log.end(), GetParam().line), 1) << ::testing::PrintToString(log);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RefusalLineTest,
    ::testing::Values(
        RefusalLineCase{"FeatureUnitWithoutMute", [] { return LoadFixture("volume_only"); },
                        "interface 0, entity 2, subtype 6: a feature unit needs a mute control; the device is not "
                        "started"},
        RefusalLineCase{"ProcessingUnit", [] { return LoadFixture("processing_unit"); },
                        "interface 0, entity 2, subtype 7: the model takes no entity of this subtype; the device is "
                        "not started"},
        RefusalLineCase{"NoModelString",
                        [] {
                            DescriptorSet set = MakeSet(SimpleRender());
                            set.strings.erase(0x50);
                            return set;
                        },
                        "device 1209:7a20: model string 0x50 or 0x32 unreadable (status c0000001) and the product "
                        "has no words without it; the device is not started"},
        RefusalLineCase{"TruncatedFormatType",
                        [] {
                            Bytes config = SimpleRender();
                            config[FindClassSpecific(config, UAC_FORMAT_TYPE, 1)] = 9;  // no room for its rate
                            return MakeSet(config);
                        },
                        "interface 1, entity 0, subtype 2: a descriptor is truncated or shorter than its kind needs; "
                        "the device is not started"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- lsusb --------------------------------------------------------------------------


using lsusbrun::HaveTools;
using lsusbrun::RunLsusb;

// What lsusb decoded.
struct DecodedEntity {
    int subtype = 0;
    std::vector<ULONG> sources;
    ULONG controls = 0;  // feature units: the OR of every bmaControls entry
};
struct DecodedFormat {
    int channels = 0, subframe = 0, bits = 0;
    std::vector<ULONG> rates;    // discrete
    ULONG lower = 0, upper = 0;  // continuous
};
struct Decoded {
    std::map<ULONG, DecodedEntity> entities;
    std::map<std::pair<int, int>, DecodedFormat> formats;  // (interface, alternate)
};

// Line by line: "  name[(index)]  value ..." under the descriptor headings.
Decoded Parse(const std::string& text) {
    static const std::regex field(R"(^\s+(\w+)(?:\[\s*\d+\]|\(\s*\d+\))?\s+(0x[0-9a-fA-F]+|\d+))");
    Decoded d;
    enum { kNone, kControl, kStreaming } section = kNone;
    int interfaceNumber = -1, alternate = -1, subtype = 0;
    ULONG entity = 0;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("Interface Descriptor:") != std::string::npos) {
            section = line.find("AudioControl") != std::string::npos     ? kControl
                      : line.find("AudioStreaming") != std::string::npos ? kStreaming
                                                                         : kNone;
            subtype = 0;
            continue;
        }
        if (line.find("Endpoint Descriptor:") != std::string::npos) section = kNone;
        std::smatch m;
        if (!std::regex_search(line, m, field)) continue;
        const std::string name = m[1];
        const ULONG value = std::stoul(m[2], nullptr, 0);
        if (name == "bInterfaceNumber") interfaceNumber = (int)value;
        if (name == "bAlternateSetting") alternate = (int)value;
        if (name == "bDescriptorSubtype") subtype = (int)value;
        if (section == kControl) {
            if (name == "bTerminalID" || name == "bUnitID") {
                entity = value;
                d.entities[entity].subtype = subtype;
            }
            if (name == "bSourceID" || name == "baSourceID") d.entities[entity].sources.push_back(value);
            if (name == "bmaControls") d.entities[entity].controls |= value;
        } else if (section == kStreaming && subtype == 2) {
            DecodedFormat& f = d.formats[{interfaceNumber, alternate}];
            if (name == "bNrChannels") f.channels = (int)value;
            if (name == "bSubframeSize") f.subframe = (int)value;
            if (name == "bBitResolution") f.bits = (int)value;
            if (name == "tSamFreq") f.rates.push_back(value);
            if (name == "tLowerSamFreq") f.lower = value;
            if (name == "tUpperSamFreq") f.upper = value;
        }
    }
    return d;
}

class LsusbCompareTest : public ModelTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(LsusbCompareTest, ModelAgreesWithLsusb) {
    if (!HaveTools()) GTEST_SKIP() << "umockdev-run or lsusb missing; run scripts/setup";
    const DescriptorSet set = LoadFixture(GetParam());
    const Decoded decoded = Parse(RunLsusb(set));
    ASSERT_FALSE(decoded.entities.empty()) << "lsusb under umockdev-run decoded nothing";
    Plug(set);
    ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);

    EXPECT_EQ(Model()->GetEntityCount(), decoded.entities.size());
    for (const auto& [id, e] : decoded.entities) {
        CUacEntity* entity = nullptr;
        ASSERT_EQ(Model()->FindEntityById(id, &entity), STATUS_SUCCESS) << "entity " << id;
        EXPECT_EQ(entity->GetKind(), (ULONG)e.subtype) << "entity " << id;
        ULONG count = entity->GetSourceCount();
        std::vector<ULONG> sources(count);
        if (count != 0) entity->GetSourceIds(&count, sources.data());
        EXPECT_EQ(sources, e.sources) << "entity " << id;
        if (e.subtype == UAC_FEATURE_UNIT) {
            ULONG controls = 0;
            for (ULONG cs = 1; cs <= 10; ++cs)
                if (static_cast<CUacFeatureUnit*>(entity)->HasControl(cs)) controls |= 1u << (cs - 1);
            EXPECT_EQ(controls, e.controls & 0x3FF) << "feature unit " << id;
        }
    }

    // The model's formats by (interface, alternate setting).
    std::map<std::pair<int, int>, std::vector<WAVEFORMATEXTENSIBLE>> offered;
    for (ULONG i = 0; i < Model()->GetStreamEngineCount(); ++i)
        for (const CYCLIC_FORMAT_ENTRY& entry : View(i)->FormatEntries())
            offered[{(int)View(i)->InterfaceNumber(), entry.AlternateSetting}].push_back(entry.Format);
    EXPECT_EQ(offered.size(), decoded.formats.size());
    for (const auto& [key, f] : decoded.formats) {
        const auto found = offered.find(key);
        ASSERT_NE(found, offered.end()) << "interface " << key.first << " alternate " << key.second;
        std::set<ULONG> rates;
        for (const WAVEFORMATEXTENSIBLE& w : found->second) {
            const int channels = w.Format.nChannels, container = w.Format.wBitsPerSample;
            const int valid = w.Samples.wValidBitsPerSample;
            EXPECT_EQ(channels, f.channels);
            EXPECT_EQ(container, 8 * f.subframe);
            EXPECT_EQ(valid, f.bits);
            rates.insert(w.Format.nSamplesPerSec);
        }
        if (f.rates.empty()) {
            // A range is offered as table rates from its lower bound up to
            // its upper one (rounded up, at most the table's 96000).
            ASSERT_FALSE(rates.empty());
            EXPECT_GE(*rates.begin(), f.lower);
            EXPECT_GE(*rates.rbegin(), std::min<ULONG>(f.upper, 96000));
        } else {
            EXPECT_EQ(rates, std::set<ULONG>(f.rates.begin(), f.rates.end()));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, LsusbCompareTest,
                         ::testing::ValuesIn(kAcceptedFixtures),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace uac1test
