// The per-product rows of the UAC 1.0 models.
#include "adapter/model/uac1_products.h"

namespace {
constexpr ULONG kZ7brDefault = 0x3E10A0;
}

const UAC1_PRODUCT_ROW UAC1_PRODUCT_TABLE[] = {
    // Reads no model string; its capability words are fixed.
    {0x047F, 0xD957, UAC1_PRODUCT_NO_STRING_WORDS, 0x3C0264, 0x0C, kZ7brDefault},
    // "Z7BR" products with their own feature words.
    {0x09DA, 0x2701, 0, 0, 0, 0x3E00A5},
    {0x09DA, 0x2702, 0, 0, 0, 0x3E00A5},
    {0x09DA, 0x2703, 0, 0, 0, 0x3E00A5},
    // Reads no model string; its headphone terminal 16 claims to be a
    // speaker, and it needs both of its output terminals 16 and 64.
    {0x1B1C, 0x0A04,
     UAC1_PRODUCT_NO_STRING_WORDS | UAC1_PRODUCT_TERMINAL16_HEADPHONES | UAC1_PRODUCT_REQUIRES_TERMINALS_16_64 |
         UAC1_PRODUCT_CHIP_B_TERMINAL6_HEADPHONES,
     0x24, 0, kZ7brDefault},
    // Chip family B publishes its own feature mask on this product.
    {0x1B1C, 0x0A06, UAC1_PRODUCT_TERMINAL16_HEADPHONES | UAC1_PRODUCT_CHIP_B_TERMINAL6_HEADPHONES |
                         UAC1_PRODUCT_CHIP_B_MASK_24,
     0, 0, kZ7brDefault},
    // The vendor's other products: terminal 16 claims to be a speaker too.
    {0x1B1C, 0x0000,
     UAC1_PRODUCT_VENDOR_WIDE | UAC1_PRODUCT_TERMINAL16_HEADPHONES | UAC1_PRODUCT_CHIP_B_TERMINAL6_HEADPHONES, 0, 0,
     kZ7brDefault},
    {0x251F, 0x3001, 0, 0, 0, 0x3E00A4},
    // Publishes its words on every endpoint and marks the capture microphone.
    {0x5A3E, 0x0058, UAC1_PRODUCT_MIC_CAPTURE_BIT, 0, 0, kZ7brDefault},
    {0x5A3E, 0x0065, 0, 0, 0, 0x3E00A0},
    // Default.
    {0x0000, 0x0000, 0, 0, 0, kZ7brDefault},
};

const ULONG UAC1_PRODUCT_TABLE_ROWS = sizeof(UAC1_PRODUCT_TABLE) / sizeof(UAC1_PRODUCT_TABLE[0]);

const UAC1_PRODUCT_ROW* LookupUac1Product(USHORT vendorId, USHORT productId) {
    const UAC1_PRODUCT_ROW* vendorRow = NULL;
    for (ULONG i = 0; i + 1 < UAC1_PRODUCT_TABLE_ROWS; ++i) {
        const UAC1_PRODUCT_ROW& row = UAC1_PRODUCT_TABLE[i];
        if (row.VendorId != vendorId) continue;
        if (row.Flags & UAC1_PRODUCT_VENDOR_WIDE) {
            vendorRow = &row;
        } else if (row.ProductId == productId) {
            return &row;
        }
    }
    return vendorRow ? vendorRow : &UAC1_PRODUCT_TABLE[UAC1_PRODUCT_TABLE_ROWS - 1];
}

const CHIP_C_PRODUCT_ROW CHIP_C_VARIANT6_TABLE[] = {
    {0x17EF, 0x6073, 0x6073, 0x3E0084, 0x41},
    {0x17EF, 0x0000, 0xFFFF, 0x3E1084, 0},
    {0x264A, 20483, 20483, 0x3E0084, 0},
    {0x264A, 0x0000, 0xFFFF, 0x3E1084, 0},
    {0x2B0D, 0x0080, 0x0082, 0x3E0084, 0x40},
    {0x5A3E, 0x0161, 0x0161, 0x3E0084, 0x40},
    {0x5A3E, 0x0166, 0x0166, 0x3E0084, 0x40},
    {0x2D99, 0x0024, 0x0024, 0x3E0084, 0x40},
    {0x12CF, 0x0801, 0x0801, 0x3E0084, 0x40},
    {0x12CF, 0x0000, 0xFFFF, 0x3E1084, 0},
    {0x2B0D, 0x0083, 0x0084, 0x3E0084, 0x40},
    {0x2B0D, 0x0087, 0x008F, 0x3E0084, 0x40},
    {0x2B0D, 0x0086, 0x0086, 0x3E1080, 0},
    {0x5A3E, 0x01F5, 0x01F5, 0x3E0084, 0},
    {0x5A3E, 0x01F3, 0x01F3, 0x3E0284, 0},
    // Any other device.
    {0x0000, 0x0000, 0xFFFF, 0x3E1084, 0},
};

const ULONG CHIP_C_VARIANT6_TABLE_ROWS = sizeof(CHIP_C_VARIANT6_TABLE) / sizeof(CHIP_C_VARIANT6_TABLE[0]);

const CHIP_C_PRODUCT_ROW* LookupChipCVariant6(USHORT vendorId, USHORT productId) {
    for (ULONG i = 0; i + 1 < CHIP_C_VARIANT6_TABLE_ROWS; ++i) {
        const CHIP_C_PRODUCT_ROW& row = CHIP_C_VARIANT6_TABLE[i];
        if (row.VendorId == vendorId && productId >= row.ProductFirst && productId <= row.ProductLast) return &row;
    }
    return &CHIP_C_VARIANT6_TABLE[CHIP_C_VARIANT6_TABLE_ROWS - 1];
}
