// The per-product rows of the adapter.
#include "adapter/product_table.h"

#include "stream/asio/asio_state.h"

const PRODUCT_ROW PRODUCT_TABLE[] = {
    // First ASIO use stores 32-bit containers with 24 valid bits as the
    // product's sample type.
    {0x0B05, 0x17A8, PRODUCT_WRITE_ASIO_SAMPLE_TYPE, ASIOSTInt32LSB24},
    {0x0B05, 0x17CD, PRODUCT_WRITE_ASIO_SAMPLE_TYPE, ASIOSTInt32LSB24},
    // First ASIO use stores packed 24-bit samples.
    {0x0B05, 0x17F3, PRODUCT_WRITE_ASIO_SAMPLE_TYPE, ASIOSTInt24LSB},
    {0x1043, 0x8592, PRODUCT_WRITE_ASIO_SAMPLE_TYPE, ASIOSTInt32LSB24},
    {0x1043, 0x8593, PRODUCT_WRITE_ASIO_SAMPLE_TYPE, ASIOSTInt32LSB24},
    // The vendor's products that show the device's manufacturer string.
    {0x5A3E, 0x0067, 0, ASIOSTInt16LSB},
    {0x5A3E, 0x0068, 0, ASIOSTInt16LSB},
    {0x5A3E, 0x0161, 0, ASIOSTInt16LSB},
    // Every other product of that vendor keeps the installer's "Mfg".
    {0x5A3E, 0x0000, PRODUCT_VENDOR_WIDE | PRODUCT_NO_MFG, ASIOSTInt16LSB},
    // Default: 16-bit ASIO, nothing written; "Mfg" from the device.
    {0x0000, 0x0000, 0, ASIOSTInt16LSB},
};

const ULONG PRODUCT_TABLE_ROWS = sizeof(PRODUCT_TABLE) / sizeof(PRODUCT_TABLE[0]);

const PRODUCT_ROW* LookupProduct(USHORT vendorId, USHORT productId) {
    const PRODUCT_ROW* vendorRow = NULL;
    for (ULONG i = 0; i + 1 < PRODUCT_TABLE_ROWS; ++i) {
        const PRODUCT_ROW& row = PRODUCT_TABLE[i];
        if (row.VendorId != vendorId) continue;
        if (row.Flags & PRODUCT_VENDOR_WIDE) {
            vendorRow = &row;
        } else if (row.ProductId == productId) {
            return &row;
        }
    }
    return vendorRow ? vendorRow : &PRODUCT_TABLE[PRODUCT_TABLE_ROWS - 1];
}
