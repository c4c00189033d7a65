// The kernel's side of a pin's shared ring header: the pin keeps its own
// copy (ASIO_PIN::Header) and publishes it to the mapping with 32-bit
// stores; nothing the user-mode driver writes there is ever read back.
#pragma once

#include "stream/asio/asio_state.h"

// Writes the pin's whole header copy to its mapping.
VOID AsioPublishHeader(PASIO_PIN pin);

// One pass of a ring copy: `length` bytes between the ring at *position
// and `transfer`, wrapping at `size`. toTransfer: ring to transfer
// (render), else transfer to ring (capture). A length of `size` or more
// copies nothing and leaves the position.
VOID AsioRingCopy(PUCHAR ring, ULONG size, ULONG* position, PUCHAR transfer, ULONG length, BOOLEAN toTransfer);

// Maps the MDL's pages into the current user process; the exception's code
// when the platform raises one.
NTSTATUS AsioMapIntoProcess(struct _MDL* mdl, PVOID* user);
