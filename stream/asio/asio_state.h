// The adapter's ASIO state: the client records (one per open handle of the
// ASIO interface), the per-engine pin table, the shared ring header and the
// adapter-wide settings. The ASIO operations own these; the adapter only
// initialises them, reads the settings at start-up and uses the streaming
// flags on power changes.
#pragma once

#include <cstddef>

#include "nt/io.h"
#include "nt/list.h"
#include "nt/ps.h"

struct _CYCLIC_CLIENT;
struct _MDL;

#define ASIO_IO_FORMAT_PCM 0
#define ASIO_IO_FORMAT_DSD 1
#define ASIO_DSD_RATE_MIN 2822400

// ASIO sample types of the public ASIO SDK.
#define ASIOSTInt16LSB 16
#define ASIOSTInt24LSB 17
#define ASIOSTInt32LSB 18
#define ASIOSTInt32LSB16 24
#define ASIOSTInt32LSB18 25
#define ASIOSTInt32LSB20 26
#define ASIOSTInt32LSB24 27
#define ASIOSTDSDInt8MSB1 33

// Adapter defaults before the "Settings" values are read.
#define ASIO_DEFAULT_SAMPLE_TYPE ASIOSTInt16LSB
#define ASIO_DEFAULT_LATENCY_INDEX 4
#define ASIO_DEFAULT_SAMPLE_RATE 48000
// Entries of the latency table: a stored index must stay below this.
#define ASIO_LATENCY_TABLE_ENTRIES 8

// One open handle of the ASIO interface (NonPagedPoolNx, "USBd").
typedef struct _ASIO_CLIENT {
    LIST_ENTRY ListEntry;  // in m_AsioClients, newest first
    PFILE_OBJECT FileObject;
    PKEVENT NotifyEvent;        // referenced from the caller's handle, or NULL
    PKEVENT BufferSwitchEvent;  // referenced by AsioStart, or NULL
    ULONG SampleType;
    ULONG LatencyIndex;
    ULONG SampleRate;  // Hz; in DSD mode the bit rate per channel
    ULONG IoFormat;    // ASIO_IO_FORMAT_*
    ULONG BuffersCreated;
} ASIO_CLIENT, *PASIO_CLIENT;

// Header of a pin's ring, shared with the user-mode driver through its
// mapping (little-endian ULONGs); Size bytes of ring data follow it. The
// kernel only writes it: its own copy lives in ASIO_PIN, since user mode
// may write anything here at any time.
typedef struct _ASIO_BUFFER {
    ULONG Selected;
    ULONG IsInput;
    ULONG Channels;
    ULONG FirstChannel;
    ULONG Size;
    ULONG Position;
    ULONG StartPosition;
    ULONG RingBytes;
    ULONG SignalsPeriod;
    ULONG PeriodCount;
} ASIO_BUFFER, *PASIO_BUFFER;
static_assert(sizeof(ASIO_BUFFER) == 40, "the ring header is 40 bytes");
static_assert(offsetof(ASIO_BUFFER, Selected) == 0 && offsetof(ASIO_BUFFER, IsInput) == 4 &&
                  offsetof(ASIO_BUFFER, Channels) == 8 && offsetof(ASIO_BUFFER, FirstChannel) == 12 &&
                  offsetof(ASIO_BUFFER, Size) == 16 && offsetof(ASIO_BUFFER, Position) == 20 &&
                  offsetof(ASIO_BUFFER, StartPosition) == 24 && offsetof(ASIO_BUFFER, RingBytes) == 28 &&
                  offsetof(ASIO_BUFFER, SignalsPeriod) == 32 && offsetof(ASIO_BUFFER, PeriodCount) == 36,
              "ring header layout shared with the user-mode driver");

// One entry per stream engine, made zeroed at start-up. Header is the
// kernel's own copy of the shared header: every decision and every copy
// reads it, never the mapping, and each change is published to the
// mapping with 32-bit stores.
typedef struct _ASIO_PIN {
    PASIO_BUFFER Buffer;  // NULL: not an ASIO pin, or no buffers
    PVOID UserAddress;    // the mapping in the owner's process
    struct _MDL* Mdl;
    // The stream registration, or NULL: release stores, acquire loads
    // (the message callbacks read it without a lock).
    struct _CYCLIC_CLIENT* Client;
    ASIO_BUFFER Header;
    PEPROCESS Process;  // the process the mapping was made in
    ULONG BlockBytes;   // whole pages: header, ring and the rest of the last page
} ASIO_PIN, *PASIO_PIN;

// The public channel-information record of IOCTL_ASIO_GET_CHANNEL_INFO.
typedef struct ASIOChannelInfo {
    LONG channel;  // 0-based within its direction
    LONG isInput;
    LONG isActive;
    LONG channelGroup;
    LONG type;
    CHAR name[32];
} ASIOChannelInfo;
static_assert(sizeof(ASIOChannelInfo) == 52, "ASIOChannelInfo is 52 bytes");

// Request of IOCTL_ASIO_CREATE_BUFFERS: a header and `count` entries.
typedef struct _ASIO_BUFFER_REQUEST_ENTRY {
    ULONG IsInput;
    ULONG Channel;
} ASIO_BUFFER_REQUEST_ENTRY;
typedef struct _ASIO_CREATE_BUFFERS_REQUEST {
    ULONG Reserved;
    ULONG Count;
    ULONG BufferFrames;  // DSD: 64-bit frames
    ASIO_BUFFER_REQUEST_ENTRY Entries[1];
} ASIO_CREATE_BUFFERS_REQUEST;
static_assert(offsetof(ASIO_CREATE_BUFFERS_REQUEST, Entries) == 12, "entries follow a 12-byte header");

// The adapter's ASIO members, as one record (m_Asio of CUsbAudioHal).
typedef struct _ASIO_STATE {
    LIST_ENTRY m_AsioClients;
    KSPIN_LOCK m_AsioSpinLock;  // ring headers and copies
    PASIO_CLIENT m_pAsioOwner;
    ULONG m_bAsioBuffersOwned;
    ULONG m_nAsioSampleType;         // in effect
    ULONG m_nAsioPendingSampleType;  // last set by a client
    ULONG m_nAsioLatencyIndex;       // below ASIO_LATENCY_TABLE_ENTRIES
    ULONG m_nAsioSampleRate;
    ULONG m_nAsioIoFormat;
    PASIO_PIN m_pAsioPins;  // one entry per stream engine
    ULONG m_nAsioPinCount;  // release store, acquire load
    ULONG m_nAsioBufferFrames;
    ULONG m_nAsioBytesPerSample;
    BOOLEAN m_bAsioStreaming;
    BOOLEAN m_bAsioStoppedByPowerDown;
    PIRP m_pParkedAsioStopIrp;  // an IOCTL_ASIO_STOP kept while not in D0
    // The owner's settings when its buffers were made: registration,
    // start, geometry, reset and the stop fill use them, so that a later
    // setting cannot re-size or re-format rings that exist.
    ULONG m_nAsioBufferSampleType;  // the owner's SampleType
    ULONG m_nAsioBufferRate;        // the owner's SampleRate
    ULONG m_nAsioBufferIoFormat;    // the owner's IoFormat
} ASIO_STATE, *PASIO_STATE;
