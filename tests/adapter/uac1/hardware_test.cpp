// InitHardware's capability words from the model string and the device's
// registers, and the endpoint capabilities the model publishes from them.
#include <gtest/gtest.h>

#include <optional>

#include "adapter/model/uac1_products.h"
#include "tests/adapter/uac1/model_fixture.h"

namespace uac1test {
namespace {

// A register the device answers: vendor request, IN, recipient other.
struct Register {
    UCHAR request;
    USHORT value;
    uint8_t byte;
};

struct HardwareCase {
    const char* name;
    USHORT vendor, product;
    std::optional<Bytes> string50;  // none: the request stalls
    std::optional<Bytes> string32;
    std::vector<Register> registers;  // the others stall
    NTSTATUS status;
    ULONG feature, extended, flags;
};

std::ostream& operator<<(std::ostream& out, const HardwareCase& c) { return out << c.name; }

Bytes Text(const std::u16string& text) { return simusb::BuildStringDescriptor(text); }

class HardwareTest : public ModelTest, public ::testing::WithParamInterface<HardwareCase> {};

TEST_P(HardwareTest, CapabilityWords) {
    const HardwareCase& c = GetParam();
    DescriptorSet set = MakeSet(c.vendor == 0x1B1C ? Terminals16And64() : SimpleRender(), c.vendor, c.product);
    set.strings.erase(0x50);
    if (c.string50) set.strings[0x50] = *c.string50;
    if (c.string32) set.strings[0x32] = *c.string32;
    Plug(set);
    for (const Register& r : c.registers) Device().SetVendorAnswer(0xC3, r.request, r.value, 0, {r.byte});
    ASSERT_EQ(InitAdapter(), c.status);
    if (!NT_SUCCESS(c.status)) return;
    ENDPOINT_CAPS caps = {};
    ASSERT_EQ(Model()->CAudioHal::GetEndpointCapabilities(FALSE, 0, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.FeatureMask, c.feature);
    EXPECT_EQ(caps.ExtendedCaps, c.extended);
    EXPECT_EQ(caps.Flags, c.flags);
}

const Register kZ7brFull{2, 0x51, 0x1F};
const Bytes kShortZ7br{0x06, 0x03, 'Z', 0, '7', 0, 'B', 0, 'R', 0};  // bLength covers "Z7" only

INSTANTIATE_TEST_SUITE_P(
    Table, HardwareTest,
    ::testing::Values(
        HardwareCase{"StringsStalled", kTestVendor, kTestProduct, {}, {}, {}, STATUS_UNSUCCESSFUL, 0, 0, 0},
        HardwareCase{"StringsStalledFixedWordsA", 0x1B1C, 0x0A04, {}, {}, {}, STATUS_SUCCESS, 0x24, 0, 0},
        HardwareCase{"StringsStalledFixedWordsB", 0x047F, 0xD957, {}, {}, {}, STATUS_SUCCESS, 0x3C0264, 0x0C, 0},
        HardwareCase{"OtherString", kTestVendor, kTestProduct, Text(u"SOMETHING"), {}, {kZ7brFull}, STATUS_SUCCESS,
                     0, 0, 0},
        HardwareCase{"Z7brRegister1E", kTestVendor, kTestProduct, Text(u"Z7BR"), {}, {{2, 0x51, 0x1E}},
                     STATUS_SUCCESS, 0, 0, 0},
        HardwareCase{"Z7brRegister1F", kTestVendor, kTestProduct, Text(u"Z7BR-2"), {}, {kZ7brFull}, STATUS_SUCCESS,
                     0x3E10A0, 0, 0},
        HardwareCase{"Z7brFromFallbackString", kTestVendor, kTestProduct, {}, Text(u"Z7BR"), {kZ7brFull},
                     STATUS_SUCCESS, 0x3E10A0, 0, 0},
        HardwareCase{"Z7brProduct2701", 0x09DA, 0x2701, Text(u"Z7BR"), {}, {kZ7brFull}, STATUS_SUCCESS, 0x3E00A5, 0,
                     0},
        HardwareCase{"Z7brProduct2702", 0x09DA, 0x2702, Text(u"Z7BR"), {}, {kZ7brFull}, STATUS_SUCCESS, 0x3E00A5, 0,
                     0},
        HardwareCase{"Z7brProduct2703", 0x09DA, 0x2703, Text(u"Z7BR"), {}, {kZ7brFull}, STATUS_SUCCESS, 0x3E00A5, 0,
                     0},
        HardwareCase{"Z7brProduct2704", 0x09DA, 0x2704, Text(u"Z7BR"), {}, {kZ7brFull}, STATUS_SUCCESS, 0x3E10A0, 0,
                     0},
        HardwareCase{"Z7brProduct0065", 0x5A3E, 0x0065, Text(u"Z7BR"), {}, {kZ7brFull}, STATUS_SUCCESS, 0x3E00A0, 0,
                     0},
        HardwareCase{"Z7brProduct3001", 0x251F, 0x3001, Text(u"Z7BR"), {}, {kZ7brFull}, STATUS_SUCCESS, 0x3E00A4, 0,
                     0},
        HardwareCase{"Z7brRegisterStalls", kTestVendor, kTestProduct, Text(u"Z7BR"), {}, {}, STATUS_UNSUCCESSFUL, 0,
                     0, 0},
        HardwareCase{"Z7brBeyondBLength", kTestVendor, kTestProduct, kShortZ7br, {}, {kZ7brFull}, STATUS_SUCCESS, 0,
                     0, 0},
        HardwareCase{"Xrw4qnA8", kTestVendor, kTestProduct, Text(u"XRW4QN"), {}, {{0, 0x1A, 0x08}, {0, 0x20, 0x00}},
                     STATUS_SUCCESS, 0x3E087, 0, 0},
        HardwareCase{"Xrw4qnA0E", kTestVendor, kTestProduct, Text(u"XRW4QN7"), {}, {{0, 0x1A, 0x0E}, {0, 0x20, 0x00}},
                     STATUS_SUCCESS, 0x3E087, 0, ENDPOINT_CAPS_ASIO},
        HardwareCase{"Xrw4qnA0FMasked", kTestVendor, kTestProduct, Text(u"XRW4QN"), {},
                     {{0, 0x1A, 0xFF}, {0, 0x20, 0xFD}}, STATUS_SUCCESS, 0x3E087, 0, ENDPOINT_CAPS_ASIO},
        HardwareCase{"Xrw4qnOtherVariant", kTestVendor, kTestProduct, Text(u"XRW4QN"), {},
                     {{0, 0x1A, 0x06}, {0, 0x20, 0x00}}, STATUS_UNSUCCESSFUL, 0, 0, 0},
        HardwareCase{"Xrw4qnBBit1", kTestVendor, kTestProduct, Text(u"XRW4QN"), {}, {{0, 0x1A, 0x0E}, {0, 0x20, 0x02}},
                     STATUS_UNSUCCESSFUL, 0, 0, 0},
        HardwareCase{"Xrw4qnRegisterBStalls", kTestVendor, kTestProduct, Text(u"XRW4QN"), {}, {{0, 0x1A, 0x0E}},
                     STATUS_UNSUCCESSFUL, 0, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- endpoint capabilities ------------------------------------------------------

class EndpointCapabilityTest : public ModelTest {
protected:
    // The headset (render headphones, capture microphone) as product
    // vendor:product with "Z7BR" words.
    void StartHeadset(USHORT vendor, USHORT product) {
        DescriptorSet set = LoadFixture("headset");
        SetIds(&set, vendor, product);
        set.strings[0x50] = Text(u"Z7BR");
        Plug(set);
        Device().SetVendorAnswer(0xC3, kZ7brFull.request, kZ7brFull.value, 0, {kZ7brFull.byte});
        ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
    }
    ENDPOINT_CAPS ByIndex(ULONG index) {
        ENDPOINT_CAPS caps = {};
        EXPECT_EQ(Model()->GetStreamEngineCapabilities(index, &caps), STATUS_SUCCESS);
        return caps;
    }
};

TEST_F(EndpointCapabilityTest, SpdifGetsNothingOnOrdinaryProducts) {
    StartHeadset(kTestVendor, kTestProduct);
    ENDPOINT_CAPS caps = {};
    ASSERT_EQ(Model()->GetEndpointCapabilities(FALSE, ENDPOINT_SPDIF, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.FeatureMask, 0u);
    ASSERT_EQ(Model()->GetEndpointCapabilities(FALSE, ENDPOINT_SPK, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.FeatureMask, 0x3E10A0u);
    EXPECT_EQ(Model()->GetEndpointCapabilities(FALSE, ENDPOINT_SPK, nullptr), STATUS_UNSUCCESSFUL);
}

TEST_F(EndpointCapabilityTest, MicCaptureBitProduct) {
    StartHeadset(0x5A3E, 0x0058);
    ENDPOINT_CAPS caps = {};
    ASSERT_EQ(Model()->GetEndpointCapabilities(FALSE, ENDPOINT_SPDIF, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.FeatureMask, 0x3E10A0u);
    ASSERT_EQ(Model()->GetEndpointCapabilities(TRUE, ENDPOINT_MIC, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.FeatureMask, 0x3E10A0u | UAC1_CAPTURE_MIC_FEATURE);
    ASSERT_EQ(Model()->GetEndpointCapabilities(FALSE, ENDPOINT_MIC, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.FeatureMask, 0x3E10A0u);
}

TEST_F(EndpointCapabilityTest, IndexPastTheEndNamesTheLastEngine) {
    StartHeadset(0x5A3E, 0x0058);
    ASSERT_EQ(Model()->GetStreamEngineCount(), 2u);
    EXPECT_EQ(ByIndex(0).FeatureMask, 0x3E10A0u);  // render headphones
    EXPECT_EQ(ByIndex(1).FeatureMask, 0x3E10A0u | UAC1_CAPTURE_MIC_FEATURE);
    EXPECT_EQ(ByIndex(7).FeatureMask, 0x3E10A0u | UAC1_CAPTURE_MIC_FEATURE);
}

// ---- the product table --------------------------------------------------------------

TEST(Uac1ProductTable, SortedUniqueWithDefaultLast) {
    ASSERT_GE(UAC1_PRODUCT_TABLE_ROWS, 2u);
    const UAC1_PRODUCT_ROW& last = UAC1_PRODUCT_TABLE[UAC1_PRODUCT_TABLE_ROWS - 1];
    EXPECT_EQ(last.VendorId, 0);
    EXPECT_EQ(last.Flags, 0u);
    for (ULONG i = 0; i + 2 < UAC1_PRODUCT_TABLE_ROWS; ++i) {
        const UAC1_PRODUCT_ROW& a = UAC1_PRODUCT_TABLE[i];
        const UAC1_PRODUCT_ROW& b = UAC1_PRODUCT_TABLE[i + 1];
        const bool aWide = (a.Flags & UAC1_PRODUCT_VENDOR_WIDE) != 0;
        const bool bWide = (b.Flags & UAC1_PRODUCT_VENDOR_WIDE) != 0;
        const bool ordered = a.VendorId < b.VendorId ||
                             (a.VendorId == b.VendorId && !aWide && (bWide || a.ProductId < b.ProductId));
        EXPECT_TRUE(ordered) << "rows " << i << " and " << i + 1;
    }
    EXPECT_EQ(LookupUac1Product(0x1B1C, 0x0A04)->Flags & UAC1_PRODUCT_REQUIRES_TERMINALS_16_64,
              (ULONG)UAC1_PRODUCT_REQUIRES_TERMINALS_16_64);
    EXPECT_EQ(LookupUac1Product(0x1B1C, 0x1234)->Flags & UAC1_PRODUCT_REQUIRES_TERMINALS_16_64, 0u);
    EXPECT_NE(LookupUac1Product(0x1B1C, 0x1234)->Flags & UAC1_PRODUCT_TERMINAL16_HEADPHONES, 0u);
    EXPECT_EQ(LookupUac1Product(0x1234, 0x5678), &last);
}

}  // namespace
}  // namespace uac1test
