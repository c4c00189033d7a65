// Per-product behaviour of the adapter, as data: one row per product (or
// per vendor), looked up by idVendor and idProduct. Code tests the named
// flags and fields, never ids. A product that is not listed gets the
// default row.
#pragma once

#include "nt/types.h"

// The ASIO sample-type default is written to "Settings" when the device
// has an ASIO endpoint and no stored "ASIOMLDataBitDepth".
#define PRODUCT_WRITE_ASIO_SAMPLE_TYPE 0x00000001
// The manufacturer string is not written as "Mfg".
#define PRODUCT_NO_MFG 0x00000002
// The row applies to every product of its vendor that has no row of its own.
#define PRODUCT_VENDOR_WIDE 0x80000000

typedef struct _PRODUCT_ROW {
    USHORT VendorId;
    USHORT ProductId;  // ignored in a PRODUCT_VENDOR_WIDE row
    ULONG Flags;
    ULONG AsioSampleType;  // default ASIO sample type (ASIOST*)
} PRODUCT_ROW;

// Rows sorted by vendor, then product (vendor-wide rows after the
// vendor's products), the default row (vendor 0) last.
extern const PRODUCT_ROW PRODUCT_TABLE[];
extern const ULONG PRODUCT_TABLE_ROWS;

// The product's own row, else its vendor's, else the default row.
const PRODUCT_ROW* LookupProduct(USHORT vendorId, USHORT productId);
