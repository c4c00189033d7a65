// The UAC 2.0 model's per-product data: the stored words and the
// capability rows, as the model answers them per device, direction and
// endpoint type.
#include <gtest/gtest.h>

#include "adapter/endpoint_type.h"
#include "adapter/model/uac2_products.h"

namespace {

TEST(Uac2ProductTable, SortedUniqueWithTheDefaultLast) {
    ASSERT_GE(UAC2_PRODUCT_TABLE_ROWS, 1u);
    const UAC2_PRODUCT_ROW& last = UAC2_PRODUCT_TABLE[UAC2_PRODUCT_TABLE_ROWS - 1];
    EXPECT_EQ(last.VendorId, 0);
    EXPECT_EQ(last.ProductId, 0);
    // The default: no feature bits, ASIO both ways.
    EXPECT_EQ(last.FeatureMask, 0u);
    EXPECT_EQ(last.EndpointFlags, (ULONG)ENDPOINT_CAPS_ASIO);
    for (ULONG i = 1; i + 1 < UAC2_PRODUCT_TABLE_ROWS; ++i) {
        const ULONG a = (ULONG)UAC2_PRODUCT_TABLE[i - 1].VendorId << 16 | UAC2_PRODUCT_TABLE[i - 1].ProductId;
        const ULONG b = (ULONG)UAC2_PRODUCT_TABLE[i].VendorId << 16 | UAC2_PRODUCT_TABLE[i].ProductId;
        EXPECT_LT(a, b) << "row " << i;
    }
    EXPECT_EQ(LookupUac2Product(0x1234, 0x5678), &last);
}

struct CapsCase {
    const char* name;
    USHORT vendor, product;
    bool capture;
    ULONG type;
    ULONG engines;
    ULONG featureMask, flags;  // expected
};
void PrintTo(const CapsCase& c, std::ostream* os) { *os << c.name; }

class Uac2CapsTest : public ::testing::TestWithParam<CapsCase> {};

// The stored words of these cases: every feature bit, flags 0x5A.
constexpr ULONG kStoredMask = 0xFFFFFFFF;
constexpr ULONG kStoredFlags = 0x5A;

TEST_P(Uac2CapsTest, FirstMatchingRowDecides) {
    const CapsCase& c = GetParam();
    ENDPOINT_CAPS stored = {};
    stored.FeatureMask = kStoredMask;
    stored.Flags = kStoredFlags;
    ENDPOINT_CAPS caps;
    memset(&caps, 0xCC, sizeof(caps));
    Uac2EndpointCapabilities(c.vendor, c.product, c.capture, c.type, stored, c.engines, &caps);
    EXPECT_EQ(caps.FeatureMask, c.featureMask);
    EXPECT_EQ(caps.Flags, c.flags);
    EXPECT_EQ(caps.ExtendedCaps, 0u);
    EXPECT_EQ(caps.Reserved0, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Uac2CapsTest,
    ::testing::Values(
        CapsCase{"A189DSpeaker", 0x0B05, 0x189D, false, ENDPOINT_SPK, 2, 0x3C0087, 2},
        CapsCase{"A189DHeadphonesCapture", 0x0B05, 0x189D, true, ENDPOINT_HP, 2, 0x3C0026, 2},
        CapsCase{"A189DLine", 0x0B05, 0x189D, false, ENDPOINT_LINE, 2, 0, 2},
        CapsCase{"A189DMic", 0x0B05, 0x189D, true, ENDPOINT_MIC, 2, 0x28000, 2},
        CapsCase{"A189DOther", 0x0B05, 0x189D, false, ENDPOINT_HDMI, 2, 0, 0},
        CapsCase{"A17B1Headphones", 0x0B05, 0x17B1, false, ENDPOINT_HP, 2, 0x603F, 3},
        CapsCase{"A17B1Mic", 0x0B05, 0x17B1, true, ENDPOINT_MIC, 2, 0x29000, 0},
        CapsCase{"A17B1Other", 0x0B05, 0x17B1, true, ENDPOINT_LINE, 2, 0, 0},
        CapsCase{"B01E1Mic", 0x5A3E, 0x01E1, true, ENDPOINT_MIC, 2, 0, 2},
        CapsCase{"B01E1SpdifRender", 0x5A3E, 0x01E1, false, ENDPOINT_SPDIF, 2, 0, 2},
        CapsCase{"B01E1SpdifCapture", 0x5A3E, 0x01E1, true, ENDPOINT_SPDIF, 2, 0, 0},
        CapsCase{"GenericCaptureSpdif", 0x1209, 0x7A26, true, ENDPOINT_SPDIF, 2, 0, 0},
        CapsCase{"GenericCaptureMic", 0x1209, 0x7A26, true, ENDPOINT_MIC, 2, 0x28000, 0x12},
        CapsCase{"GenericCaptureRec", 0x1209, 0x7A26, true, ENDPOINT_REC, 2, 0x28000, 0x12},
        CapsCase{"GenericCaptureLine", 0x1209, 0x7A26, true, ENDPOINT_LINE, 2, 0, 0x12},
        CapsCase{"GenericRenderSpdifOneEngine", 0x1209, 0x7A26, false, ENDPOINT_SPDIF, 1, 0, kStoredFlags},
        CapsCase{"GenericRenderSpdifTwoEngines", 0x1209, 0x7A26, false, ENDPOINT_SPDIF, 2, 0, 0},
        CapsCase{"GenericRenderHeadphones", 0x1209, 0x7A26, false, ENDPOINT_HP, 2, 0x3FE0FF, kStoredFlags},
        // Takes the generic rows, without ASIO on capture.
        CapsCase{"A180FCaptureMic", 0x0B05, 0x180F, true, ENDPOINT_MIC, 2, 0x28000, 0x10},
        CapsCase{"A180FRender", 0x0B05, 0x180F, false, ENDPOINT_HP, 2, 0x3FE0FF, kStoredFlags},
        CapsCase{"TypePastTheBitmap", 0x1209, 0x7A26, true, 40, 2, 0, 0x12}),
    [](const ::testing::TestParamInfo<CapsCase>& info) { return std::string(info.param.name); });

}  // namespace
