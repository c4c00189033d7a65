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
     UAC1_PRODUCT_NO_STRING_WORDS | UAC1_PRODUCT_TERMINAL16_HEADPHONES | UAC1_PRODUCT_REQUIRES_TERMINALS_16_64, 0x24,
     0, kZ7brDefault},
    // The vendor's other products: terminal 16 claims to be a speaker too.
    {0x1B1C, 0x0000, UAC1_PRODUCT_VENDOR_WIDE | UAC1_PRODUCT_TERMINAL16_HEADPHONES, 0, 0, kZ7brDefault},
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
