// The remapped family's product rows.
#include "adapter/model/remap_products.h"

#include <cstddef>

namespace {

#define S(field) REMAP_SWITCH_BIT(field)

// No line input, no S/PDIF input, no selectable output types.
constexpr ULONG kLineAndSpdifOff = S(DisableLineInTerminal) | S(DisableSpdifInTerminal);
constexpr ULONG kOutputTypes = S(SupportHPOut) | S(SupportSpdifOut);

// Channel swaps are never wanted by this vendor, nor by this product id
// under any vendor.
constexpr USHORT kNoSwapVendor = 0x28DA;
constexpr USHORT kNoSwapProduct = 0x268E;

}  // namespace

const REMAP_PRODUCT_ROW REMAP_PRODUCT_TABLE[] = {
    // Stereo device without an 8-channel path: output types from the
    // driver's type list only.
    {0x0A1B, 0x0110, 0, kLineAndSpdifOff | S(Disable8ChOutSupported), kOutputTypes, 0, 0, 0},
    // Its 8-channel output is real although the chip's id says otherwise.
    {0x0A6A, 0x0160, 0, kLineAndSpdifOff, kOutputTypes | S(Disable8ChOutSupported), 0, 0, 0},
    // Headset that reports its jack only through a polled HID report;
    // register 1 starts with the mute LED off.
    {0x1E7D, 0x3750, REMAP_RULE_NEEDS_CHIP_ID | REMAP_RULE_JACK_POLL | REMAP_RULE_FEATURE_MASK | REMAP_RULE_REGISTER1,
     S(DisableLineInRecUnit) | S(DisableStereoMixRecUnit) | S(DisableSpdifInTerminal) | S(Disable4ChOutSupported) |
         S(Disable8ChOutSupported),
     kOutputTypes, 0x3E0084, 0x3032, REMAP_ENTITY_JACK_PRODUCT},
    // Microphone-and-line device with a mute LED on its recording units.
    {0x28DA, 0x268E, REMAP_RULE_FEATURE_MASK, kLineAndSpdifOff, kOutputTypes, 0x3E09F, 0,
     REMAP_ENTITY_SCALE_B_LED_MUTE},
    // Stereo device with mixed 4- and 6-channel settings only.
    {0x5131, 0x001C, REMAP_RULE_NEEDS_CHIP_ID | REMAP_RULE_FEATURE_MASK,
     S(DisableStereoMixRecUnit) | S(DisableSpdifInTerminal) | S(Disable2ChOutSupported) | S(Disable4ChOutSupported) |
         S(Disable8ChOutSupported),
     kOutputTypes, 0, 0, 0},
    // Recording units mute in software; their volume stays on the device.
    {0x5A3E, 0x0053, REMAP_RULE_NEEDS_CHIP_ID, kLineAndSpdifOff | S(Disable8ChOutSupported), kOutputTypes, 0, 0,
     REMAP_ENTITY_SCALE_B_NODES},
    {0x5A3E, 0x0078, REMAP_RULE_NEEDS_CHIP_ID, kLineAndSpdifOff | S(Disable8ChOutSupported), kOutputTypes, 0, 0, 0},
    {0x5A3E, 0x0163, 0, kLineAndSpdifOff, kOutputTypes, 0, 0, 0},
    // Default: a chip that identifies itself has no 8-channel path.
    {0x0000, 0x0000, REMAP_RULE_NEEDS_CHIP_ID, S(Disable8ChOutSupported), 0, 0, 0, 0},
};

const ULONG REMAP_PRODUCT_TABLE_ROWS = sizeof(REMAP_PRODUCT_TABLE) / sizeof(REMAP_PRODUCT_TABLE[0]);

const REMAP_PRODUCT_ROW* LookupRemapProduct(USHORT vendorId, USHORT productId) {
    for (ULONG i = 0; i + 1 < REMAP_PRODUCT_TABLE_ROWS; ++i)
        if (REMAP_PRODUCT_TABLE[i].VendorId == vendorId && REMAP_PRODUCT_TABLE[i].ProductId == productId)
            return &REMAP_PRODUCT_TABLE[i];
    return &REMAP_PRODUCT_TABLE[REMAP_PRODUCT_TABLE_ROWS - 1];
}

ULONG RemapEntityFlags(USHORT vendorId, USHORT productId) {
    ULONG flags = LookupRemapProduct(vendorId, productId)->EntityFlags;
    if (vendorId == kNoSwapVendor || productId == kNoSwapProduct) flags |= REMAP_ENTITY_NO_CHANNEL_SWAP;
    return flags;
}

void ApplyRemapProductRule(const REMAP_PRODUCT_ROW* row, BOOLEAN chipMatches, REMAP_SWITCHES* switches) {
    if ((row->RuleFlags & REMAP_RULE_NEEDS_CHIP_ID) && !chipMatches) return;
    auto* bytes = reinterpret_cast<UCHAR*>(switches);
    for (ULONG i = 0; i < REMAP_SWITCH_COUNT; ++i) {
        if (row->Set & (1u << i)) bytes[i] = 1;
        if (row->Clear & (1u << i)) bytes[i] = 0;
    }
}
