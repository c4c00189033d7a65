// Per-product behaviour of the UAC 1.0 models, as data: one row per product
// (or per vendor), looked up by idVendor and idProduct. The model tests the
// named flags and fields, never ids. A product that is not listed gets the
// default row. Same conventions as the adapter's product table.
#pragma once

#include "nt/types.h"

// Both model strings (0x50, 0x32) missing is no failure: InitHardware takes
// NoStringFeatureMask and NoStringExtendedCaps and goes on.
#define UAC1_PRODUCT_NO_STRING_WORDS 0x00000001
// Endpoint capabilities: the stored FeatureMask (with
// UAC1_CAPTURE_MIC_FEATURE on a capture microphone endpoint) and Flags for
// every endpoint type, S/PDIF included; ExtendedCaps stays 0.
#define UAC1_PRODUCT_MIC_CAPTURE_BIT 0x00000002
// An output terminal 16 of type speaker (0x0301) is parsed as headphones
// (0x0302): the device's descriptor names the wrong type.
#define UAC1_PRODUCT_TERMINAL16_HEADPHONES 0x00000004
// The Audio Control parse fails unless entities 16 and 64 are both output
// terminals.
#define UAC1_PRODUCT_REQUIRES_TERMINALS_16_64 0x00000008
// Chip family B: an output terminal 6 of type speaker is parsed as
// headphones.
#define UAC1_PRODUCT_CHIP_B_TERMINAL6_HEADPHONES 0x00000010
// Chip family B publishes FeatureMask 0x24 instead of 0x0F.
#define UAC1_PRODUCT_CHIP_B_MASK_24 0x00000020
// The row applies to every product of its vendor that has no row of its own.
#define UAC1_PRODUCT_VENDOR_WIDE 0x80000000

#define UAC1_CAPTURE_MIC_FEATURE 0x00800000

typedef struct _UAC1_PRODUCT_ROW {
    USHORT VendorId;
    USHORT ProductId;  // ignored in a UAC1_PRODUCT_VENDOR_WIDE row
    ULONG Flags;
    ULONG NoStringFeatureMask;
    ULONG NoStringExtendedCaps;
    // FeatureMask of a "Z7BR" device whose register 0x51 reads 0x1F.
    ULONG Z7brFeatureMask;
} UAC1_PRODUCT_ROW;

// Rows sorted by vendor, then product (vendor-wide rows after the vendor's
// products), the default row (vendor 0) last.
extern const UAC1_PRODUCT_ROW UAC1_PRODUCT_TABLE[];
extern const ULONG UAC1_PRODUCT_TABLE_ROWS;

// The product's own row, else its vendor's, else the default row.
const UAC1_PRODUCT_ROW* LookupUac1Product(USHORT vendorId, USHORT productId);

// Chip family C, variant 6: FeatureMask and Flags by product. Rows in the
// order they are tried; the first whose vendor matches and whose product
// lies in [ProductFirst, ProductLast] wins; the last row (vendor 0)
// matches every device.
typedef struct _CHIP_C_PRODUCT_ROW {
    USHORT VendorId;
    USHORT ProductFirst;
    USHORT ProductLast;
    ULONG FeatureMask;
    ULONG Flags;
} CHIP_C_PRODUCT_ROW;

extern const CHIP_C_PRODUCT_ROW CHIP_C_VARIANT6_TABLE[];
extern const ULONG CHIP_C_VARIANT6_TABLE_ROWS;

const CHIP_C_PRODUCT_ROW* LookupChipCVariant6(USHORT vendorId, USHORT productId);
