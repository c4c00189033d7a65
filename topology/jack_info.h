// The jack record that terminals, pins, the jack properties and the stream
// engines exchange: nine ULONGs, 36 bytes.
#pragma once

#include <cstddef>

#include "nt/types.h"

typedef struct _JACK_INFO {
    ULONG ChannelMapping;   // channel mask of the jack
    ULONG Color;            // 0x00RRGGBB
    ULONG ConnectionType;   // connector kind
    ULONG GeoLocation;      // geometric location
    ULONG GenLocation;      // general location
    ULONG PortConnection;   // port connection
    ULONG NoPresenceDetect; // bit 0: the jack cannot detect presence
    ULONG IsConnected;      // 1 connected, 0 not
    ULONG PresenceDetect;   // 1: IsConnected follows the device's status
} JACK_INFO, *PJACK_INFO;

static_assert(sizeof(JACK_INFO) == 36, "JACK_INFO is 36 bytes");
static_assert(offsetof(JACK_INFO, NoPresenceDetect) == 24 && offsetof(JACK_INFO, IsConnected) == 28,
              "JACK_INFO offsets");
