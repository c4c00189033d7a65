// The constant tables of the device core: endpoint names, the per-product
// rows, the model-string choice, and the string-descriptor length rule.
#include <gtest/gtest.h>

#include <string>

#include "adapter/endpoint_type.h"
#include "adapter/family_choice.h"
#include "adapter/product_table.h"
#include "nt/rtl.h"
#include "stream/asio/asio_state.h"

namespace {

TEST(EndpointNames, TableIsTranscribed) {
    EXPECT_EQ(std::u16string(ENDPOINT_TYPE_NAMES[ENDPOINT_STREAM]), u"Stream");
    EXPECT_EQ(std::u16string(ENDPOINT_TYPE_NAMES[ENDPOINT_DISPLAYPORT]), u"DisplayPort");
    EXPECT_EQ(std::u16string(ENDPOINT_TYPE_NAMES[ENDPOINT_HANDSET]), u"HandSet");
    EXPECT_EQ(std::u16string(ENDPOINT_TYPE_NAMES[ENDPOINT_REC]), u"Rec");
    size_t characters = 0;
    for (PCWSTR name : ENDPOINT_TYPE_NAMES) characters += std::u16string(name).size();
    EXPECT_EQ(characters, 102u);
}

TEST(EndpointNames, FormatsRenderCaptureAndRefusesUnknownTypes) {
    WCHAR name[ENDPOINT_NAME_CCH];
    ASSERT_EQ(FormatEndpointName(name, FALSE, ENDPOINT_SPK, 1), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(name), u"SPKOut01");
    ASSERT_EQ(FormatEndpointName(name, TRUE, ENDPOINT_SPEAKERPHONE, 12), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(name), u"SpeakerphoneIn12");
    EXPECT_EQ(FormatEndpointName(name, FALSE, ENDPOINT_TYPE_COUNT, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(name[0], 0);
}

TEST(ProductTable, IsSortedUniqueAndEndsWithTheDefault) {
    ASSERT_GT(PRODUCT_TABLE_ROWS, 1u);
    const PRODUCT_ROW& last = PRODUCT_TABLE[PRODUCT_TABLE_ROWS - 1];
    EXPECT_EQ(last.VendorId, 0);
    EXPECT_EQ(last.Flags, 0u);
    EXPECT_EQ(last.AsioSampleType, (ULONG)ASIOSTInt16LSB);
    for (ULONG i = 1; i + 1 < PRODUCT_TABLE_ROWS; ++i) {
        const PRODUCT_ROW& a = PRODUCT_TABLE[i - 1];
        const PRODUCT_ROW& b = PRODUCT_TABLE[i];
        bool aWide = (a.Flags & PRODUCT_VENDOR_WIDE) != 0, bWide = (b.Flags & PRODUCT_VENDOR_WIDE) != 0;
        bool ordered = a.VendorId < b.VendorId ||
                       (a.VendorId == b.VendorId && !aWide && (bWide || a.ProductId < b.ProductId));
        EXPECT_TRUE(ordered) << "rows " << i - 1 << " and " << i;
    }
}

struct ProductCase {
    const char* name;
    USHORT vendor, product;
    ULONG asioType;
    bool writesAsio;
    bool writesMfg;
};

class ProductLookup : public ::testing::TestWithParam<ProductCase> {};

TEST_P(ProductLookup, GivesTheRowsFlags) {
    const ProductCase& c = GetParam();
    const PRODUCT_ROW* row = LookupProduct(c.vendor, c.product);
    EXPECT_EQ(row->AsioSampleType, c.asioType);
    EXPECT_EQ((row->Flags & PRODUCT_WRITE_ASIO_SAMPLE_TYPE) != 0, c.writesAsio);
    EXPECT_EQ((row->Flags & PRODUCT_NO_MFG) == 0, c.writesMfg);
}

INSTANTIATE_TEST_SUITE_P(Table, ProductLookup,
                         ::testing::Values(ProductCase{"Packed24", 0x0B05, 0x17F3, 17, true, true},
                                           ProductCase{"Container32", 0x0B05, 0x17A8, 27, true, true},
                                           ProductCase{"SecondVendor", 0x1043, 0x8593, 27, true, true},
                                           ProductCase{"SameVendorOtherProduct", 0x0B05, 0x17A9, 16, false, true},
                                           ProductCase{"VendorWithMfgProduct", 0x5A3E, 0x0161, 16, false, true},
                                           ProductCase{"VendorWide", 0x5A3E, 0x0058, 16, false, false},
                                           ProductCase{"Unknown", 0x1234, 0x5678, 16, false, true}),
                         [](const ::testing::TestParamInfo<ProductCase>& info) { return std::string(info.param.name); });

// A string descriptor as the device would send it: bLength, type 3, text.
std::vector<UCHAR> StringDescriptor(const std::u16string& text, int lengthOverride = -1, UCHAR type = 3) {
    std::vector<UCHAR> bytes = {(UCHAR)(lengthOverride >= 0 ? lengthOverride : 2 + 2 * text.size()), type};
    for (char16_t c : text) {
        bytes.push_back((UCHAR)(c & 0xFF));
        bytes.push_back((UCHAR)(c >> 8));
    }
    return bytes;
}

struct UnitsCase {
    const char* name;
    std::vector<UCHAR> bytes;
    ULONG received;
    ULONG units;
};

class StringUnits : public ::testing::TestWithParam<UnitsCase> {};

TEST_P(StringUnits, StayWithinWhatArrived) {
    const UnitsCase& c = GetParam();
    EXPECT_EQ(StringDescriptorUnits(c.bytes.data(), c.received), c.units);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StringUnits,
    ::testing::Values(UnitsCase{"Whole", StringDescriptor(u"Z7AK"), 10, 4},
                      UnitsCase{"LengthZero", StringDescriptor(u"Z7AK", 0), 10, 0},
                      UnitsCase{"LengthOne", StringDescriptor(u"Z7AK", 1), 10, 0},
                      UnitsCase{"OddLength", StringDescriptor(u"Z7AK", 9), 10, 3},
                      UnitsCase{"LengthBeyondReceived", StringDescriptor(u"Z7AK", 255), 6, 2},
                      UnitsCase{"NotAString", StringDescriptor(u"Z7AK", -1, 2), 10, 0},
                      UnitsCase{"OneByteArrived", StringDescriptor(u"Z7AK"), 1, 0},
                      UnitsCase{"LongestLength", StringDescriptor(std::u16string(130, u'x'), 255), 262, 126}),
    [](const ::testing::TestParamInfo<UnitsCase>& info) { return std::string(info.param.name); });

struct ChoiceCase {
    const char* name;
    std::vector<UCHAR> bytes;  // empty: no string could be read
    FAMILY_MODEL model;
    UCHAR variant;
};

class ModelChoice : public ::testing::TestWithParam<ChoiceCase> {};

TEST_P(ModelChoice, FirstMatchingRowWins) {
    const ChoiceCase& c = GetParam();
    FAMILY_CHOICE choice = ChooseUac1Model(c.bytes.empty() ? NULL : c.bytes.data(), (ULONG)c.bytes.size());
    EXPECT_EQ(choice.Model, c.model);
    EXPECT_EQ(choice.ChipVariant, c.variant);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ModelChoice,
    ::testing::Values(
        ChoiceCase{"Remapped", StringDescriptor(u"\x000B\x0005\x0050rest"), FAMILY_MODEL_UAC1_REMAP, 0},
        ChoiceCase{"ChipA", StringDescriptor(u"Z7AK"), FAMILY_MODEL_CHIP_A, 0},
        ChoiceCase{"ChipB", StringDescriptor(u"Z7BPQ"), FAMILY_MODEL_CHIP_B, 0},
        ChoiceCase{"ChipC5", StringDescriptor(u"XRW4QS5"), FAMILY_MODEL_CHIP_C, 5},
        ChoiceCase{"ChipC6", StringDescriptor(u"XRW4QS6x"), FAMILY_MODEL_CHIP_C, 6},
        ChoiceCase{"FamilyCOtherVariantIsGeneric", StringDescriptor(u"XRW4QS7"), FAMILY_MODEL_UAC1, 0},
        ChoiceCase{"FamilyCNoVariantIsGeneric", StringDescriptor(u"XRW4QS"), FAMILY_MODEL_UAC1, 0},
        ChoiceCase{"Other", StringDescriptor(u"Headset"), FAMILY_MODEL_UAC1, 0},
        ChoiceCase{"NoString", {}, FAMILY_MODEL_UAC1, 0},
        // The length byte covers only "Z7A": the K that follows is not
        // part of the string.
        ChoiceCase{"ShortLengthHidesTheRest", StringDescriptor(u"Z7AK", 8), FAMILY_MODEL_UAC1, 0},
        ChoiceCase{"WrongTypeIsNoString", StringDescriptor(u"Z7AK", -1, 2), FAMILY_MODEL_UAC1, 0},
        ChoiceCase{"LengthBelowTwo", StringDescriptor(u"Z7AK", 1), FAMILY_MODEL_UAC1, 0}),
    [](const ::testing::TestParamInfo<ChoiceCase>& info) { return std::string(info.param.name); });

TEST(ModelChoice, ReadsNoMoreThanWasReceived) {
    // "Z7AK" with the last unit beyond what arrived.
    std::vector<UCHAR> bytes = StringDescriptor(u"Z7AK");
    EXPECT_EQ(ChooseUac1Model(bytes.data(), 8).Model, FAMILY_MODEL_UAC1);
    EXPECT_EQ(ChooseUac1Model(bytes.data(), 10).Model, FAMILY_MODEL_CHIP_A);
}

}  // namespace
