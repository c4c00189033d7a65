// Per-product behaviour of the UAC 2.0 model, as data: the stored
// capability words InitHardware takes (one row per product, the default
// row last), and the endpoint-capability rows that mask and route them by
// device, direction and endpoint type. The model tests the rows' fields,
// never ids.
#pragma once

#include "adapter/audio_hal.h"

// ---- stored capability words ----

// Capture endpoints do not get ENDPOINT_CAPS_ASIO (it is cleared from
// whatever the capability rows give).
#define UAC2_PRODUCT_NO_CAPTURE_ASIO 0x00000001

typedef struct _UAC2_PRODUCT_ROW {
    USHORT VendorId;
    USHORT ProductId;
    ULONG Flags;        // UAC2_PRODUCT_*
    ULONG FeatureMask;  // the stored words
    ULONG EndpointFlags;
} UAC2_PRODUCT_ROW;

// Sorted by vendor, then product; the default row (vendor 0) last.
extern const UAC2_PRODUCT_ROW UAC2_PRODUCT_TABLE[];
extern const ULONG UAC2_PRODUCT_TABLE_ROWS;

// The product's own row, else the default row.
const UAC2_PRODUCT_ROW* LookupUac2Product(USHORT vendorId, USHORT productId);

// ---- endpoint capabilities ----

// Where a row's value comes from.
typedef enum _UAC2_CAPS_SOURCE {
    UAC2_CAPS_FIXED,             // the row's value
    UAC2_CAPS_STORED_AND,        // the stored word AND the row's value
    UAC2_CAPS_STORED,            // the stored word
    UAC2_CAPS_STORED_ONE_ENGINE, // the stored word when the model has exactly one stream engine, else 0
} UAC2_CAPS_SOURCE;

#define UAC2_CAPS_RENDER 0x1
#define UAC2_CAPS_CAPTURE 0x2
#define UAC2_CAPS_BOTH (UAC2_CAPS_RENDER | UAC2_CAPS_CAPTURE)
// Types: bit t for ENDPOINT_TYPE t.
#define UAC2_CAPS_TYPE(t) (1UL << (t))
#define UAC2_CAPS_ANY_TYPE 0xFFFFFFFFUL

typedef struct _UAC2_CAPS_ROW {
    USHORT VendorId;   // 0 with ProductId 0: any device
    USHORT ProductId;
    UCHAR Directions;  // UAC2_CAPS_RENDER, _CAPTURE
    ULONG Types;
    UCHAR MaskSource;  // UAC2_CAPS_SOURCE of FeatureMask
    ULONG FeatureMask;
    UCHAR FlagsSource; // UAC2_CAPS_SOURCE of Flags
    ULONG Flags;
} UAC2_CAPS_ROW;

// Products with rows of their own, then the rows of any other device; the
// first matching row decides. The last rows match everything.
extern const UAC2_CAPS_ROW UAC2_CAPS_TABLE[];
extern const ULONG UAC2_CAPS_TABLE_ROWS;

// The capability record of an endpoint (zeroed first): the first matching
// row applied to the stored words, and the product's flags.
void Uac2EndpointCapabilities(USHORT vendorId, USHORT productId, BOOLEAN isCapture, ULONG endpointType,
                              const ENDPOINT_CAPS& stored, ULONG engineCount, ENDPOINT_CAPS* caps);
