// Which builders (a device-family model's IAudioHal, as the parsers hand
// it to entities) have codec registers: the checked query by which the
// remapped family's entities and nodes find their model's registers. A
// model registers for its life; any other builder (another model, a test
// double) is answered NULL, and the caller then writes nothing.
//
// Any IRQL up to DISPATCH_LEVEL; lock-free over a fixed table.
#pragma once

#include "stream/usb/chip_registers.h"

// Models with registers alive at once.
#define CHIP_REGISTER_OWNERS 32

// STATUS_INSUFFICIENT_RESOURCES when the table is full.
NTSTATUS RegisterChipRegisters(const void* builder, IChipRegisters* registers);
void UnregisterChipRegisters(const void* builder);
IChipRegisters* QueryChipRegisters(const void* builder);
