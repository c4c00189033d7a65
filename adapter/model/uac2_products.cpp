// The per-product rows of the UAC 2.0 model.
#include "adapter/model/uac2_products.h"

#include "adapter/endpoint_type.h"
#include "nt/rtl.h"

// No product has words of its own yet: every class 2.0 interface reaches
// ASIO in both directions, DSD DACs included.
const UAC2_PRODUCT_ROW UAC2_PRODUCT_TABLE[] = {
    // Takes the generic capability rows, but its capture endpoints must not
    // offer ASIO.
    {0x0B05, 0x180F, UAC2_PRODUCT_NO_CAPTURE_ASIO, 0, ENDPOINT_CAPS_ASIO},
    // Default.
    {0x0000, 0x0000, 0, 0, ENDPOINT_CAPS_ASIO},
};

const ULONG UAC2_PRODUCT_TABLE_ROWS = sizeof(UAC2_PRODUCT_TABLE) / sizeof(UAC2_PRODUCT_TABLE[0]);

const UAC2_PRODUCT_ROW* LookupUac2Product(USHORT vendorId, USHORT productId) {
    for (ULONG i = 0; i + 1 < UAC2_PRODUCT_TABLE_ROWS; ++i)
        if (UAC2_PRODUCT_TABLE[i].VendorId == vendorId && UAC2_PRODUCT_TABLE[i].ProductId == productId)
            return &UAC2_PRODUCT_TABLE[i];
    return &UAC2_PRODUCT_TABLE[UAC2_PRODUCT_TABLE_ROWS - 1];
}

#define T(x) UAC2_CAPS_TYPE(x)
#define ANY UAC2_CAPS_ANY_TYPE
#define FIXED UAC2_CAPS_FIXED
#define AND UAC2_CAPS_STORED_AND
#define STORED UAC2_CAPS_STORED
#define ONE UAC2_CAPS_STORED_ONE_ENGINE

const UAC2_CAPS_ROW UAC2_CAPS_TABLE[] = {
    // vendor product  directions        types                                  feature mask        flags
    {0x0B05, 0x17B1, UAC2_CAPS_BOTH, T(ENDPOINT_HP), FIXED, 0x603F, FIXED, 3},
    {0x0B05, 0x17B1, UAC2_CAPS_BOTH, T(ENDPOINT_MIC), FIXED, 0x29000, FIXED, 0},
    {0x0B05, 0x17B1, UAC2_CAPS_BOTH, ANY, FIXED, 0, FIXED, 0},
    {0x0B05, 0x189D, UAC2_CAPS_BOTH, T(ENDPOINT_SPK), FIXED, 0x3C0087, FIXED, 2},
    {0x0B05, 0x189D, UAC2_CAPS_BOTH, T(ENDPOINT_HP), FIXED, 0x3C0026, FIXED, 2},
    {0x0B05, 0x189D, UAC2_CAPS_BOTH, T(ENDPOINT_SPDIF) | T(ENDPOINT_LINE), FIXED, 0, FIXED, 2},
    {0x0B05, 0x189D, UAC2_CAPS_BOTH, T(ENDPOINT_MIC), FIXED, 0x28000, FIXED, 2},
    {0x0B05, 0x189D, UAC2_CAPS_BOTH, ANY, FIXED, 0, FIXED, 0},
    {0x5A3E, 0x01E1, UAC2_CAPS_BOTH, T(ENDPOINT_HP) | T(ENDPOINT_MIC), FIXED, 0, FIXED, 2},
    {0x5A3E, 0x01E1, UAC2_CAPS_RENDER, T(ENDPOINT_SPDIF), FIXED, 0, FIXED, 2},
    {0x5A3E, 0x01E1, UAC2_CAPS_BOTH, ANY, FIXED, 0, FIXED, 0},
    // Any other device.
    {0, 0, UAC2_CAPS_CAPTURE, T(ENDPOINT_SPDIF), FIXED, 0, FIXED, 0},
    {0, 0, UAC2_CAPS_CAPTURE, T(ENDPOINT_MIC) | T(ENDPOINT_FMIC) | T(ENDPOINT_REC), AND, 0x28000, FIXED, 0x12},
    {0, 0, UAC2_CAPS_CAPTURE, ANY, FIXED, 0, FIXED, 0x12},
    {0, 0, UAC2_CAPS_RENDER, T(ENDPOINT_SPDIF), FIXED, 0, ONE, 0},
    {0, 0, UAC2_CAPS_RENDER, ANY, AND, 0x3FE0FF, STORED, 0},
};

#undef T
#undef ANY
#undef FIXED
#undef AND
#undef STORED
#undef ONE

const ULONG UAC2_CAPS_TABLE_ROWS = sizeof(UAC2_CAPS_TABLE) / sizeof(UAC2_CAPS_TABLE[0]);

namespace {

bool HasOwnRows(USHORT vendorId, USHORT productId) {
    for (ULONG i = 0; i < UAC2_CAPS_TABLE_ROWS; ++i)
        if (UAC2_CAPS_TABLE[i].VendorId == vendorId && UAC2_CAPS_TABLE[i].ProductId == productId &&
            (vendorId != 0 || productId != 0))
            return true;
    return false;
}

ULONG ValueOf(UCHAR source, ULONG rowValue, ULONG stored, ULONG engineCount) {
    switch (source) {
    case UAC2_CAPS_STORED_AND: return stored & rowValue;
    case UAC2_CAPS_STORED: return stored;
    case UAC2_CAPS_STORED_ONE_ENGINE: return engineCount == 1 ? stored : 0;
    default: return rowValue;
    }
}

}  // namespace

void Uac2EndpointCapabilities(USHORT vendorId, USHORT productId, BOOLEAN isCapture, ULONG endpointType,
                              const ENDPOINT_CAPS& stored, ULONG engineCount, ENDPOINT_CAPS* caps) {
    RtlZeroMemory(caps, sizeof(*caps));
    const bool own = HasOwnRows(vendorId, productId);
    const UCHAR direction = isCapture ? UAC2_CAPS_CAPTURE : UAC2_CAPS_RENDER;
    const ULONG typeBit = endpointType < 32 ? UAC2_CAPS_TYPE(endpointType) : 0;
    for (ULONG i = 0; i < UAC2_CAPS_TABLE_ROWS; ++i) {
        const UAC2_CAPS_ROW& row = UAC2_CAPS_TABLE[i];
        const bool device = own ? row.VendorId == vendorId && row.ProductId == productId
                                : row.VendorId == 0 && row.ProductId == 0;
        const bool type = row.Types == UAC2_CAPS_ANY_TYPE || (row.Types & typeBit) != 0;
        if (!device || (row.Directions & direction) == 0 || !type) continue;
        caps->FeatureMask = ValueOf(row.MaskSource, row.FeatureMask, stored.FeatureMask, engineCount);
        caps->Flags = ValueOf(row.FlagsSource, row.Flags, stored.Flags, engineCount);
        break;
    }
    if (isCapture && (LookupUac2Product(vendorId, productId)->Flags & UAC2_PRODUCT_NO_CAPTURE_ASIO))
        caps->Flags &= ~(ULONG)ENDPOINT_CAPS_ASIO;
}
