// The client record of a USB stream: one per registered client, allocated
// by ICyclicControl::RegisterClient (NonPagedPoolNx, "USBS") and freed by
// UnregisterClient. The engine's client lists hold pointers to it and read
// Priority and Registration; the stream object owns it.
#pragma once

#include "portcls/portcls_types.h"

// Priorities of the system's clients (larger wins). 1 and 2 mark clients
// that bring a processing node to ClientRun.
#define CYCLIC_CLIENT_WAVE 3
#define CYCLIC_CLIENT_ASIO 5

typedef struct _CYCLIC_CLIENT {
    ULONG Priority;
    // Handle of the client's callback registration; also the handle by
    // which the client names itself in every call.
    PVOID Registration;
    // USB frames (ms) per isochronous transfer, at least 1.
    ULONG FramesPerTransfer;
    // Transfers kept in flight, 1 to 10; a capture stream may raise it.
    ULONG Transfers;
    WAVEFORMATEXTENSIBLE Format;
    ULONG IsCapture;
    // TRUE while the client is in the running list.
    BOOLEAN Running;
} CYCLIC_CLIENT, *PCYCLIC_CLIENT;

// Reads Running as the stream's release store published it, for clients
// that look at the flag from a message callback without the stream's lock.
inline BOOLEAN CyclicClientRunning(const CYCLIC_CLIENT* client) {
    return __atomic_load_n(&client->Running, __ATOMIC_ACQUIRE);
}
