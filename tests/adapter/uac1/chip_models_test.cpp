// The models of chip families A, B and C through the adapter: chosen by
// the model string, their capability words, the interfaces they answer,
// the entity and stream classes their parsers make, chip B's terminal
// correction and chip C's 8-channel render formats.
#include <gtest/gtest.h>

#include <typeinfo>

#include "adapter/model/uac1_chip_hals.h"
#include "adapter/model/uac1_products.h"
#include "stream/usb/usb_stereo_render_stream.h"
#include "tests/adapter/uac1/model_fixture.h"
#include "tests/fakes/uac1/chip_c_feature_unit.h"
#include "topology/fixed_range_feature_unit.h"
#include "topology/terminal_units.h"
#include "topology/uac1_terminals.h"

namespace uac1test {
namespace {

// The model the last factory call made (its non-delegating unknown; the
// adapter keeps it alive).
PUNKNOWN g_Created = nullptr;

template <PFNCREATEFAMILYMODEL Create>
NTSTATUS Keep(PUNKNOWN* model, PUNKNOWN outer, USHORT vendor, USHORT product, UCHAR variant) {
    NTSTATUS status = Create(model, outer, vendor, product, variant);
    g_Created = NT_SUCCESS(status) ? *model : nullptr;
    return status;
}

NTSTATUS ChipCVariant4(PUNKNOWN* model, PUNKNOWN outer, USHORT vendor, USHORT product, UCHAR) {
    return Keep<CreateUac1ChipCHal>(model, outer, vendor, product, 4);
}

Bytes Text(const std::u16string& text) { return simusb::BuildStringDescriptor(text); }

class ChipModelTest : public ModelTest {
protected:
    void SetUp() override {
        ModelTest::SetUp();
        g_Created = nullptr;
        UseFamilyFactory(FAMILY_MODEL_CHIP_A, Keep<CreateUac1ChipAHal>);
        UseFamilyFactory(FAMILY_MODEL_CHIP_B, Keep<CreateUac1ChipBHal>);
        UseFamilyFactory(FAMILY_MODEL_CHIP_C, Keep<CreateUac1ChipCHal>);
    }

    // A device of these ids with this model string at 0x50.
    void PlugChip(const Bytes& configuration, const std::u16string& string, USHORT vendor = kTestVendor,
                  USHORT product = kTestProduct) {
        DescriptorSet set = MakeSet(configuration, vendor, product);
        set.strings[0x50] = Text(string);
        Plug(set);
    }

    // The chip model the adapter holds, as the class it is.
    CUac1Hal* Chip() {
        IAudioHal* hal = nullptr;
        if (g_Created == nullptr ||
            !NT_SUCCESS(g_Created->QueryInterface(IID_IAudioHal, reinterpret_cast<PVOID*>(&hal))))
            return nullptr;
        hal->Release();
        return static_cast<CUac1Hal*>(static_cast<CAudioHal*>(hal));
    }

    const std::type_info& EntityClass(UCHAR id) {
        CUacEntity* entity = nullptr;
        if (Chip() == nullptr || !NT_SUCCESS(Chip()->FindEntityById(id, &entity))) return typeid(void);
        return typeid(*entity);
    }

    uac1fakes::ScopedChipCFeatureUnit m_EffectUnit;
};

// IT 1 USB streaming -> FU 9 -> 10 -> 11 -> 12 -> 13 -> 14 -> 20 -> OT 3
// speaker, each unit with a master mute; streaming interface 1 renders
// 2 channels of 16 bits at 48 kHz.
Bytes UnitChain() {
    ConfigBuilder c;
    AudioControl(c, {1}).Uac1InputTerminal(1, 0x0101, 2, 0x0003);
    UCHAR source = 1;
    for (UCHAR id : {9, 10, 11, 12, 13, 14, 20}) {
        c.Uac1FeatureUnit(id, source, 1, {0x01, 0x00, 0x00});
        source = id;
    }
    c.Uac1OutputTerminal(3, 0x0301, source);
    Streaming(c, 1, 1, false);
    return c.Build();
}

// ---- words, by model string --------------------------------------------------------------

struct WordsCase {
    const char* name;
    const char16_t* string;
    USHORT vendor, product;
    ULONG feature, extended, flags;
};

std::ostream& operator<<(std::ostream& out, const WordsCase& c) { return out << c.name; }

class ChipWordsTest : public ChipModelTest, public ::testing::WithParamInterface<WordsCase> {};

TEST_P(ChipWordsTest, ChosenByStringWithItsWords) {
    const WordsCase& c = GetParam();
    PlugChip(SimpleRender(), c.string, c.vendor, c.product);
    ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
    ASSERT_NE(Chip(), nullptr) << "the chip slot was not used";
    ENDPOINT_CAPS caps = {};
    ASSERT_EQ(Chip()->CAudioHal::GetEndpointCapabilities(FALSE, ENDPOINT_SPK, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.FeatureMask, c.feature);
    EXPECT_EQ(caps.ExtendedCaps, c.extended);
    EXPECT_EQ(caps.Flags, c.flags);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ChipWordsTest,
    ::testing::Values(WordsCase{"A", u"Z7AK", kTestVendor, kTestProduct, 0x3FE02F, 0x0C, 0},
                      WordsCase{"BSpecialProduct", u"Z7BP-1", 0x1B1C, 0x0A06, 0x24, 0, 0},
                      WordsCase{"BSameVendor", u"Z7BP", 0x1B1C, 0x0A07, 0x0F, 0, 0},
                      WordsCase{"BOther", u"Z7BP", kTestVendor, kTestProduct, 0x0F, 0, 0},
                      WordsCase{"C5", u"XRW4QS5", kTestVendor, kTestProduct, 0x20006, 8, 0},
                      WordsCase{"C6Row6073", u"XRW4QS6", 0x17EF, 0x6073, 0x3E0084, 0, 0x41},
                      WordsCase{"C6VendorRow", u"XRW4QS6", 0x17EF, 0x6074, 0x3E1084, 0, 0},
                      WordsCase{"C6Decimal20483", u"XRW4QS6", 0x264A, 20483, 0x3E0084, 0, 0},
                      WordsCase{"C6Range0081", u"XRW4QS6", 0x2B0D, 0x0081, 0x3E0084, 0, 0x40},
                      WordsCase{"C6Gap0085", u"XRW4QS6", 0x2B0D, 0x0085, 0x3E1084, 0, 0},
                      WordsCase{"C6Own0086", u"XRW4QS6", 0x2B0D, 0x0086, 0x3E1080, 0, 0},
                      WordsCase{"C6Range008F", u"XRW4QS6", 0x2B0D, 0x008F, 0x3E0084, 0, 0x40},
                      WordsCase{"C601F3", u"XRW4QS6", 0x5A3E, 0x01F3, 0x3E0284, 0, 0},
                      WordsCase{"C6Default", u"XRW4QS6", kTestVendor, kTestProduct, 0x3E1084, 0, 0}));

TEST(ChipCVariant6Table, PinnedRowsAndSums) {
    ASSERT_EQ(CHIP_C_VARIANT6_TABLE_ROWS, 16u);
    EXPECT_EQ(CHIP_C_VARIANT6_TABLE[0].Flags, 0x41u);
    EXPECT_EQ(CHIP_C_VARIANT6_TABLE[2].ProductFirst, 20483);
    EXPECT_EQ(CHIP_C_VARIANT6_TABLE[CHIP_C_VARIANT6_TABLE_ROWS - 1].VendorId, 0);
    ULONG masks = 0, flags = 0;
    for (ULONG i = 0; i < CHIP_C_VARIANT6_TABLE_ROWS; ++i) {
        masks += CHIP_C_VARIANT6_TABLE[i].FeatureMask;
        flags += CHIP_C_VARIANT6_TABLE[i].Flags;
    }
    EXPECT_EQ(masks, 10u * 0x3E0084 + 4u * 0x3E1084 + 0x3E1080 + 0x3E0284);
    EXPECT_EQ(flags, 0x41u + 7u * 0x40);
}

// A variant the family does not know fails the start; the choice table
// never sends one there ("XRW4QS4" gets the generic model).
TEST_F(ChipModelTest, ChipCVariantFourFails) {
    UseModelFactory(ChipCVariant4);
    PlugChip(SimpleRender(), u"NEUTRAL");
    EXPECT_EQ(InitAdapter(), STATUS_UNSUCCESSFUL);
}

TEST_F(ChipModelTest, UnknownVariantStringGetsTheGenericModel) {
    PlugChip(SimpleRender(), u"XRW4QS4");
    ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
    EXPECT_EQ(g_Created, nullptr);
    ASSERT_NE(Model(), nullptr);  // the generic model answers IUacHal
}

// ---- interfaces ---------------------------------------------------------------------------

TEST_F(ChipModelTest, AnswersNoIUacHal) {
    for (const char16_t* string : {u"Z7AK", u"Z7BP", u"XRW4QS5"}) {
        PlugChip(SimpleRender(), string);
        ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
        ASSERT_NE(g_Created, nullptr);
        for (const GUID* iid : {&IID_IUnknown, &IID_IAudioHal, &IID_IAdapterPowerManagement}) {
            PUNKNOWN out = nullptr;
            EXPECT_EQ(g_Created->QueryInterface(*iid, reinterpret_cast<PVOID*>(&out)), STATUS_SUCCESS);
            if (out != nullptr) out->Release();
        }
        PVOID out = reinterpret_cast<PVOID>(1);
        EXPECT_EQ(g_Created->QueryInterface(IID_IUacHal, &out), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(out, nullptr);
        EXPECT_EQ(Model(), nullptr);  // nor does the adapter hand one out
        ReleaseAdapter();
        m_Port.reset();
    }
}

// ---- parser rows ----------------------------------------------------------------------------

struct RowsCase {
    const char* name;
    const char16_t* string;
    std::vector<std::pair<UCHAR, const std::type_info*>> entities;
    const std::type_info* render;
};

std::ostream& operator<<(std::ostream& out, const RowsCase& c) { return out << c.name; }

class ChipRowsTest : public ChipModelTest, public ::testing::WithParamInterface<RowsCase> {};

TEST_P(ChipRowsTest, EntityAndStreamClasses) {
    const RowsCase& c = GetParam();
    PlugChip(UnitChain(), c.string);
    ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
    for (const auto& [id, type] : c.entities) EXPECT_EQ(EntityClass(id), *type) << "entity " << (int)id;
    IStreamEngine* engine = nullptr;
    ASSERT_EQ(Chip()->GetStreamEngine(0, &engine), STATUS_SUCCESS);
    EXPECT_EQ(typeid(*engine), *c.render);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ChipRowsTest,
    ::testing::Values(
        RowsCase{"A",
                 u"Z7AK",
                 {{1, &typeid(CUac1InputTerminalA)},
                  {3, &typeid(CUac1OutputTerminalA)},
                  {9, &typeid(CUac1FeatureUnitA9)},
                  {10, &typeid(CUac1FeatureUnitA10)},
                  {11, &typeid(CUac1FeatureUnitA10)},
                  {12, &typeid(CUac1FeatureUnitA10)},
                  {13, &typeid(CUac1FeatureUnitA13)},
                  {14, &typeid(CUac1FeatureUnitA13)},
                  {20, &typeid(CUacFeatureUnit)}},
                 &typeid(CUsbRenderStream)},
        RowsCase{"B",
                 u"Z7BP",
                 {{1, &typeid(CUac1InputTerminalB)},
                  {3, &typeid(CUac1OutputTerminalB)},
                  {9, &typeid(CUac1FeatureUnitB9)},
                  {10, &typeid(CUac1FeatureUnitB10)},
                  {11, &typeid(CUacFeatureUnit)},
                  {12, &typeid(CUacFeatureUnit)},
                  {13, &typeid(CUac1FeatureUnitB13)},
                  {14, &typeid(CUacFeatureUnit)},
                  {20, &typeid(CUacFeatureUnit)}},
                 &typeid(CUsbRenderStream)},
        RowsCase{"C",
                 u"XRW4QS6",
                 {{1, &typeid(CUacInputTerminal)},
                  {3, &typeid(CUacOutputTerminal)},
                  {9, &typeid(uac1fakes::CFakeEffectFeatureUnit)},
                  {13, &typeid(uac1fakes::CFakeEffectFeatureUnit)},
                  {20, &typeid(uac1fakes::CFakeEffectFeatureUnit)}},
                 &typeid(CUsbStereoRenderStream)}));

// Chip C's feature units come from the creator slot; while it is empty
// the start fails, saying why.
TEST_F(ChipModelTest, ChipCFeatureUnitWithoutCreatorIsNotSupported) {
    PFN_MAKE_ENTITY installed = SetChipCFeatureUnitCreator(nullptr);
    PlugChip(SimpleRender(), u"XRW4QS5");
    EXPECT_EQ(InitAdapter(), STATUS_NOT_SUPPORTED);
    SetChipCFeatureUnitCreator(installed);
}

// Vendor 0x1B1C: chip B takes terminal 6's speaker type as headphones and
// leaves terminal 16 alone; neither the generic terminal-16 correction
// nor the generic check for terminals 16 and 64 applies.
TEST_F(ChipModelTest, ChipBCorrectsTerminalSix) {
    ConfigBuilder c;
    AudioControl(c, {1})
        .Uac1InputTerminal(1, 0x0101, 2, 0x0003)
        .Uac1FeatureUnit(2, 1, 1, {0x01, 0x00, 0x00})
        .Uac1OutputTerminal(6, 0x0301, 2)
        .Uac1OutputTerminal(16, 0x0301, 2);
    Streaming(c, 1, 1, false);
    PlugChip(c.Build(), u"Z7BP", 0x1B1C, 0x0A04);
    ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
    auto wTerminalType = [&](UCHAR id) {
        CUacEntity* entity = nullptr;
        EXPECT_EQ(Chip()->FindEntityById(id, &entity), STATUS_SUCCESS);
        return entity == nullptr ? 0 : entity->Descriptor()[4] | entity->Descriptor()[5] << 8;
    };
    EXPECT_EQ(wTerminalType(6), 0x0302);
    EXPECT_EQ(wTerminalType(16), 0x0301);
}

TEST_F(ChipModelTest, ChipBOtherVendorKeepsTerminalSix) {
    ConfigBuilder c;
    AudioControl(c, {1})
        .Uac1InputTerminal(1, 0x0101, 2, 0x0003)
        .Uac1FeatureUnit(2, 1, 1, {0x01, 0x00, 0x00})
        .Uac1OutputTerminal(6, 0x0301, 2);
    Streaming(c, 1, 1, false);
    PlugChip(c.Build(), u"Z7BP");
    ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
    CUacEntity* entity = nullptr;
    ASSERT_EQ(Chip()->FindEntityById(6, &entity), STATUS_SUCCESS);
    EXPECT_EQ(entity->Descriptor()[4] | entity->Descriptor()[5] << 8, 0x0301);
}

// Chip C offers every render setting as 8 channels (layout 0x63F) of the
// device's sample size; capture keeps the device's channels.
TEST_F(ChipModelTest, ChipCRenderFormatsHaveEightChannels) {
    ConfigBuilder c;
    AudioControl(c, {1, 2})
        .Uac1InputTerminal(1, 0x0101, 2, 0x0003)
        .Uac1OutputTerminal(3, 0x0301, 1)
        .Uac1InputTerminal(4, 0x0201, 1, 0x0000)
        .Uac1OutputTerminal(5, 0x0101, 4);
    Streaming(c, 1, 1, false, 2, {44100, 48000});
    Streaming(c, 2, 5, true, 1);
    PlugChip(c.Build(), u"XRW4QS5");
    ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
    for (ULONG e = 0; e < 2; ++e) {
        IStreamEngine* engine = nullptr;
        ASSERT_EQ(Chip()->GetStreamEngine(e, &engine), STATUS_SUCCESS);
        const bool capture = engine->IsCapture() != 0;
        ASSERT_GE(engine->GetFormatCount(), capture ? 1u : 2u);
        for (ULONG i = 0; i < engine->GetFormatCount(); ++i) {
            WAVEFORMATEXTENSIBLE f = {};
            ASSERT_EQ(engine->GetFormat(i, &f), STATUS_SUCCESS);
            if (capture) {
                EXPECT_EQ(f.Format.nChannels, 1);
                continue;
            }
            EXPECT_EQ(f.Format.nChannels, 8);
            EXPECT_EQ(f.dwChannelMask, 0x63Fu);
            EXPECT_EQ(f.Format.nBlockAlign, 16);
            EXPECT_EQ(f.Format.nAvgBytesPerSec, f.Format.nSamplesPerSec * 16);
        }
    }
}

}  // namespace
}  // namespace uac1test
