// IChipRegisters: the codec registers of a device-family model that drives
// its codec through host-written registers (the remapped UAC 1.0 family).
// Its render stream, entities and nodes write fields of those registers;
// the model keeps a shadow of each and merges a masked write into it.
//
// Not an IUnknown: the model outlives every holder (its entities, nodes
// and streams are released before it), so no reference is counted.
// PASSIVE_LEVEL; each write is one synchronous request.
#pragma once

#include "nt/status.h"
#include "nt/types.h"

// Registers of the codec, index 0 to CHIP_REGISTER_COUNT - 1.
#define CHIP_REGISTER_COUNT 6

struct IChipRegisters {
    // Bits of value under mask merged into the shadow of register index
    // (mask 0xFFFF: value whole) and sent; the shadow takes the result only
    // when the device accepted it. index above 5: STATUS_UNSUCCESSFUL;
    // mask 0: STATUS_SUCCESS, nothing sent.
    virtual NTSTATUS WriteChipRegister(ULONG index, USHORT value, USHORT mask) = 0;

protected:
    ~IChipRegisters() = default;
};
