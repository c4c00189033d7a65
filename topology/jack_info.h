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

// ---- jack records of the UAC terminal entities ----
//
// The device delivers its jacks as a list per terminal (per output type on
// a multi-type output terminal): a count byte n, then n entries of a
// channel mapping and a configuration word (4 bytes each, little-endian);
// and a connection status {channel count, mask of the connected channels
// (4 bytes), one byte not interpreted}. Requests: UAC 1.0 vendor GET 0x81
// with wValue 0x02FF (list) and 0x0200 (status); UAC 2.0 class GET CUR with
// the same wValues.

class CUacEntity;

// Record colour (0x00RRGGBB) by the configuration word's colour code
// (bits 12-15).
#define JACK_COLOR_COUNT 16
extern const ULONG JACK_COLOR_TABLE[JACK_COLOR_COUNT];

// A record from one list entry. UAC 1.0 jacks without the misc bits
// (config AND 0xF00) follow the connection status; UAC 2.0 jacks always do,
// and report PresenceDetect 0.
JACK_INFO DecodeJack(ULONG channelMapping, ULONG config, BOOLEAN uac2);

// A terminal's records for one type (non-paged, the family's node tag).
typedef struct _JACK_ARRAY {
    ULONG Count;
    JACK_INFO* Records;
} JACK_ARRAY;

void FreeJackArray(JACK_ARRAY* jacks);

// Reads the terminal's jack list into jacks (which must be empty). n = 0
// leaves no records; the full list must deliver 1 + 8n bytes, n taken from
// the first answer. UAC 1.0: a first read that fails leaves no records and
// succeeds, a second read that fails is the result. UAC 2.0: a read that
// fails (either one) leaves no records and succeeds, with one line naming
// the terminal. Allocation failure is STATUS_INSUFFICIENT_RESOURCES.
NTSTATUS ReadJackList(CUacEntity* terminal, BOOLEAN uac2, JACK_ARRAY* jacks);

// Input terminal types that report their jacks: 0x0201-0x0206,
// 0x0401-0x0405, 0x0601, 0x0603, 0x0605.
BOOLEAN TerminalTypeHasJacks(USHORT terminalType);

// The connection state of a terminal's current jacks: sends the status
// request, copies the records into out (room for jacks->Count) and sets
// IsConnected there and in the terminal's own records. UAC 1.0: connected
// when the mask names the jack's channels, else not when it detects
// presence, else connected (and then the result is STATUS_SUCCESS even if
// the status request failed). UAC 2.0: connected only when the mask names
// its channels. A failed request counts as an empty mask and is the result.
NTSTATUS ReadJackConnections(CUacEntity* terminal, BOOLEAN uac2, JACK_ARRAY* jacks, JACK_INFO* out);

// The records of an output type that is not selected: the device cannot
// report them, so every jack counts as connected when "SetJackConnect" is
// nonzero, else as not connected.
void SetUnselectedJacks(const JACK_ARRAY* jacks, ULONG setJackConnect, JACK_INFO* out);
