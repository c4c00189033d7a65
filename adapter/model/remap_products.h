// Per-product behaviour of the remapped UAC 1.0 family, as data: one row
// per product, looked up by idVendor and idProduct; a product without a
// row gets the default row. The model tests the named fields and flags,
// never ids.
//
// A row's switch changes (bits in REMAP_SWITCHES order, bit 0 =
// DisableMicInTerminal) apply at InitHardware only when its condition
// holds: always, or when the chip identifies itself (vendor register 9
// reads 0x9F and register 8, masked with 0x63, reads 3). A listed product
// whose condition fails changes nothing. The entity flags hold whatever
// the chip says.
#pragma once

#include <cstddef>

#include "adapter/model/remap_rewrite.h"

// Bit of a switch in Set and Clear.
#define REMAP_SWITCH_BIT(field) (1u << (offsetof(REMAP_SWITCHES, field)))

// Rule flags (applied with the row's condition).
#define REMAP_RULE_NEEDS_CHIP_ID 0x0001
#define REMAP_RULE_JACK_POLL 0x0002       // the jack poller runs
#define REMAP_RULE_FEATURE_MASK 0x0004    // FeatureMask replaced
#define REMAP_RULE_REGISTER1 0x0008       // register 1 starts at Register1

// Entity flags (the product's own classes, Audio Control and Streaming).
// Feature units 2, 8 and 15 make a soft mute and a bound volume node.
#define REMAP_ENTITY_SCALE_B_NODES 0x0001
// Feature units 2, 8 and 15 add a mute node that drives the mute LED.
#define REMAP_ENTITY_SCALE_B_LED_MUTE 0x0002
// Feature unit 11 ORs the poller's bit into its mute, and every render
// engine gets a jack-state node.
#define REMAP_ENTITY_JACK_PRODUCT 0x0004
// No channel-swap node on the render engines (vendor 0x28DA, or any
// vendor's product 0x268E).
#define REMAP_ENTITY_NO_CHANNEL_SWAP 0x0008

typedef struct _REMAP_PRODUCT_ROW {
    USHORT VendorId;
    USHORT ProductId;
    ULONG RuleFlags;
    ULONG Set;    // switches set to 1
    ULONG Clear;  // switches set to 0
    ULONG FeatureMask;
    USHORT Register1;
    ULONG EntityFlags;
} REMAP_PRODUCT_ROW;

// Rows sorted by vendor, then product; the default row (vendor 0) last.
extern const REMAP_PRODUCT_ROW REMAP_PRODUCT_TABLE[];
extern const ULONG REMAP_PRODUCT_TABLE_ROWS;

const REMAP_PRODUCT_ROW* LookupRemapProduct(USHORT vendorId, USHORT productId);
// REMAP_ENTITY_* of a device: its row's, plus REMAP_ENTITY_NO_CHANNEL_SWAP
// for the vendor or the product that never swap channels.
ULONG RemapEntityFlags(USHORT vendorId, USHORT productId);
// The row's changes, when its condition holds (chipMatches: the chip
// identified itself).
void ApplyRemapProductRule(const REMAP_PRODUCT_ROW* row, BOOLEAN chipMatches, REMAP_SWITCHES* switches);
