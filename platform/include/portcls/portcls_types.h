// Kernel-streaming data structures that miniports hand to the port-class
// driver: identifiers, data formats and ranges, attributes, wave formats and
// the pin descriptor. Layouts are those of the 64-bit platform; every size
// and offset that other code relies on is pinned by a static_assert below.
#pragma once

#include <cstddef>

#include "nt/types.h"

// Property, event and method identifiers share one layout: a set GUID, an
// id within the set and the request flags (verb).
typedef struct _KSIDENTIFIER {
    union {
        struct {
            GUID Set;
            ULONG Id;
            ULONG Flags;
        };
        LONGLONG Alignment;
    };
} KSIDENTIFIER, *PKSIDENTIFIER;
typedef KSIDENTIFIER KSPROPERTY, *PKSPROPERTY;
typedef KSIDENTIFIER KSMETHOD, *PKSMETHOD;
typedef KSIDENTIFIER KSEVENT, *PKSEVENT;
typedef KSIDENTIFIER KSPIN_INTERFACE, *PKSPIN_INTERFACE;
typedef KSIDENTIFIER KSPIN_MEDIUM, *PKSPIN_MEDIUM;

// Property verbs (KSPROPERTY.Flags); the same bits flag what a property
// item supports.
#define KSPROPERTY_TYPE_GET 0x00000001
#define KSPROPERTY_TYPE_SET 0x00000002
#define KSPROPERTY_TYPE_BASICSUPPORT 0x00000200
#define KSPROPERTY_TYPE_TOPOLOGY 0x10000000

// Event verbs (KSEVENT.Flags).
#define KSEVENT_TYPE_ENABLE 0x00000001
#define KSEVENT_TYPE_ONESHOT 0x00000002
#define KSEVENT_TYPE_ENABLEBUFFERED 0x00000004
#define KSEVENT_TYPE_BASICSUPPORT 0x00000200
#define KSEVENT_TYPE_TOPOLOGY 0x10000000

#define KSMETHOD_TYPE_SEND 0x00000001
#define KSMETHOD_TYPE_BASICSUPPORT 0x00000200

// Standard streaming interface of a sink pin (KSINTERFACESETID_Standard).
#define KSINTERFACE_STANDARD_STREAMING 0

// Header of a variable-length list answer: Size is the whole answer in
// bytes including this header, Count the items that follow.
typedef struct _KSMULTIPLE_ITEM {
    ULONG Size;
    ULONG Count;
} KSMULTIPLE_ITEM, *PKSMULTIPLE_ITEM;

// A data format (and, with the same layout, a data range). FormatSize is
// the size of the whole record including what follows the 64-byte header.
typedef union _KSDATAFORMAT {
    struct {
        ULONG FormatSize;
        ULONG Flags;
        ULONG SampleSize;
        ULONG Reserved;
        GUID MajorFormat;
        GUID SubFormat;
        GUID Specifier;
    };
    LONGLONG Alignment;
} KSDATAFORMAT, *PKSDATAFORMAT, KSDATARANGE, *PKSDATARANGE;

// Flags of a data format or range: an attribute list (KSMULTIPLE_ITEM of
// KSATTRIBUTE records) follows the format at FormatSize rounded up to 8.
#define KSDATAFORMAT_BIT_ATTRIBUTES 1
#define KSDATAFORMAT_ATTRIBUTES (1 << KSDATAFORMAT_BIT_ATTRIBUTES)
#define KSDATARANGE_BIT_ATTRIBUTES 1
#define KSDATARANGE_ATTRIBUTES (1 << KSDATARANGE_BIT_ATTRIBUTES)
#define KSDATARANGE_BIT_REQUIRED_ATTRIBUTES 2
#define KSDATARANGE_REQUIRED_ATTRIBUTES (1 << KSDATARANGE_BIT_REQUIRED_ATTRIBUTES)

// An audio data range: the header plus the channel, bit-depth and rate
// bounds (inclusive).
typedef struct _KSDATARANGE_AUDIO {
    KSDATARANGE DataRange;
    ULONG MaximumChannels;
    ULONG MinimumBitsPerSample;
    ULONG MaximumBitsPerSample;
    ULONG MinimumSampleFrequency;
    ULONG MaximumSampleFrequency;
} KSDATARANGE_AUDIO, *PKSDATARANGE_AUDIO;

// One attribute of a format or range; Size covers this header and any
// attribute-specific data after it.
typedef struct _KSATTRIBUTE {
    ULONG Size;
    ULONG Flags;
    GUID Attribute;
} KSATTRIBUTE, *PKSATTRIBUTE;
#define KSATTRIBUTE_REQUIRED 0x00000001

// The attributes a data range may carry (an array of pointers).
typedef struct _KSATTRIBUTE_LIST {
    ULONG Count;
    PKSATTRIBUTE* Attributes;
} KSATTRIBUTE_LIST, *PKSATTRIBUTE_LIST;

// Wave formats: byte-packed, as they travel inside format blocks.
#pragma pack(push, 1)
typedef struct _WAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
} WAVEFORMATEX, *PWAVEFORMATEX;

typedef struct _WAVEFORMATEXTENSIBLE {
    WAVEFORMATEX Format;
    union {
        WORD wValidBitsPerSample;
        WORD wSamplesPerBlock;
        WORD wReserved;
    } Samples;
    DWORD dwChannelMask;
    GUID SubFormat;
} WAVEFORMATEXTENSIBLE, *PWAVEFORMATEXTENSIBLE;
#pragma pack(pop)

#define WAVE_FORMAT_PCM 0x0001
#define WAVE_FORMAT_IEEE_FLOAT 0x0003
#define WAVE_FORMAT_EXTENSIBLE 0xFFFE

// A data format header followed directly by an extensible wave format
// (FormatSize 104).
typedef struct _KSDATAFORMAT_WAVEFORMATEXTENSIBLE {
    KSDATAFORMAT DataFormat;
    WAVEFORMATEXTENSIBLE WaveFormatExt;
} KSDATAFORMAT_WAVEFORMATEXTENSIBLE, *PKSDATAFORMAT_WAVEFORMATEXTENSIBLE;

typedef enum {
    KSPIN_DATAFLOW_IN = 1,
    KSPIN_DATAFLOW_OUT = 2,
} KSPIN_DATAFLOW, *PKSPIN_DATAFLOW;

typedef enum {
    KSPIN_COMMUNICATION_NONE = 0,
    KSPIN_COMMUNICATION_SINK = 1,
    KSPIN_COMMUNICATION_SOURCE = 2,
    KSPIN_COMMUNICATION_BOTH = 3,
    KSPIN_COMMUNICATION_BRIDGE = 4,
} KSPIN_COMMUNICATION, *PKSPIN_COMMUNICATION;

// Pin states; a pin moves one step at a time between neighbours.
typedef enum {
    KSSTATE_STOP = 0,
    KSSTATE_ACQUIRE = 1,
    KSSTATE_PAUSE = 2,
    KSSTATE_RUN = 3,
} KSSTATE, *PKSSTATE;

typedef struct _KSPIN_DESCRIPTOR {
    ULONG InterfacesCount;
    const KSPIN_INTERFACE* Interfaces;
    ULONG MediumsCount;
    const KSPIN_MEDIUM* Mediums;
    ULONG DataRangesCount;
    const PKSDATARANGE* DataRanges;
    KSPIN_DATAFLOW DataFlow;
    KSPIN_COMMUNICATION Communication;
    const GUID* Category;
    const GUID* Name;
    union {
        LONGLONG Reserved;
        struct {
            ULONG ConstrainedDataRangesCount;
            PKSMULTIPLE_ITEM* ConstrainedDataRanges;
        };
    };
} KSPIN_DESCRIPTOR, *PKSPIN_DESCRIPTOR;

// The filter itself as one end of a connection; node pins: output 0,
// inputs from 1.
#define KSFILTER_NODE ((ULONG)-1)
#define KSNODEPIN_STANDARD_IN 1
#define KSNODEPIN_STANDARD_OUT 0

// Kernel-streaming event entry: defined by the event front end; ports and
// miniports only pass pointers.
struct _KSEVENT_ENTRY;
typedef struct _KSEVENT_ENTRY KSEVENT_ENTRY, *PKSEVENT_ENTRY;

static_assert(sizeof(KSIDENTIFIER) == 24, "KSIDENTIFIER");
static_assert(offsetof(KSIDENTIFIER, Id) == 16 && offsetof(KSIDENTIFIER, Flags) == 20,
              "KSIDENTIFIER offsets");
static_assert(sizeof(KSMULTIPLE_ITEM) == 8, "KSMULTIPLE_ITEM");
static_assert(sizeof(KSDATAFORMAT) == 64, "KSDATAFORMAT");
static_assert(offsetof(KSDATAFORMAT, MajorFormat) == 16 &&
                  offsetof(KSDATAFORMAT, SubFormat) == 32 &&
                  offsetof(KSDATAFORMAT, Specifier) == 48,
              "KSDATAFORMAT offsets");
static_assert(sizeof(KSDATARANGE_AUDIO) == 88, "KSDATARANGE_AUDIO");
static_assert(offsetof(KSDATARANGE_AUDIO, MaximumChannels) == 64 &&
                  offsetof(KSDATARANGE_AUDIO, MaximumSampleFrequency) == 80,
              "KSDATARANGE_AUDIO offsets");
static_assert(sizeof(KSATTRIBUTE) == 24, "KSATTRIBUTE");
static_assert(sizeof(KSATTRIBUTE_LIST) == 16, "KSATTRIBUTE_LIST");
static_assert(sizeof(WAVEFORMATEX) == 18, "WAVEFORMATEX");
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40, "WAVEFORMATEXTENSIBLE");
static_assert(offsetof(WAVEFORMATEXTENSIBLE, dwChannelMask) == 20 &&
                  offsetof(WAVEFORMATEXTENSIBLE, SubFormat) == 24,
              "WAVEFORMATEXTENSIBLE offsets");
static_assert(sizeof(KSDATAFORMAT_WAVEFORMATEXTENSIBLE) == 104,
              "KSDATAFORMAT_WAVEFORMATEXTENSIBLE");
static_assert(sizeof(KSPIN_DESCRIPTOR) == 88, "KSPIN_DESCRIPTOR");
static_assert(offsetof(KSPIN_DESCRIPTOR, DataRanges) == 40 &&
                  offsetof(KSPIN_DESCRIPTOR, DataFlow) == 48 &&
                  offsetof(KSPIN_DESCRIPTOR, Category) == 56 &&
                  offsetof(KSPIN_DESCRIPTOR, Name) == 64,
              "KSPIN_DESCRIPTOR offsets");
