// Kernel-streaming property and event records as they travel in request
// buffers, and the request records the port hands to automation handlers
// (PCPROPERTY_REQUEST, PCEVENT_REQUEST). Layouts are those of the 64-bit
// platform; every size and offset a handler relies on is pinned below.
// KSIDENTIFIER/KSPROPERTY/KSEVENT, KSMULTIPLE_ITEM and the descriptor and
// automation types come from the port-class headers.
#pragma once

#include <cstddef>

#include "nt/unknown.h"
#include "nt/ke.h"
#include "portcls/pc_descriptors.h"

struct _IRP;
typedef struct _IRP IRP, *PIRP;

// KSPROPSETID_Audio property ids.
#define KSPROPERTY_AUDIO_VOLUMELEVEL 4
#define KSPROPERTY_AUDIO_MUX_SOURCE 12
#define KSPROPERTY_AUDIO_MUTE 13
#define KSPROPERTY_AUDIO_BASS 14
#define KSPROPERTY_AUDIO_MID 15
#define KSPROPERTY_AUDIO_TREBLE 16
#define KSPROPERTY_AUDIO_AGC 21
#define KSPROPERTY_AUDIO_LOUDNESS 23
#define KSPROPERTY_AUDIO_DEV_SPECIFIC 28
// KSPROPSETID_Jack property ids.
#define KSPROPERTY_JACK_DESCRIPTION 1
#define KSPROPERTY_JACK_DESCRIPTION2 2
// KSEVENTSETID_AudioControlChange event ids.
#define KSEVENT_CONTROL_CHANGE 0

// A property addressed to one node of a filter (Flags carries
// KSPROPERTY_TYPE_TOPOLOGY).
typedef struct _KSNODEPROPERTY {
    KSPROPERTY Property;
    ULONG NodeId;
    ULONG Reserved;
} KSNODEPROPERTY, *PKSNODEPROPERTY;

typedef struct _KSNODEPROPERTY_AUDIO_CHANNEL {
    KSNODEPROPERTY NodeProperty;
    LONG Channel;
    ULONG Reserved;
} KSNODEPROPERTY_AUDIO_CHANNEL, *PKSNODEPROPERTY_AUDIO_CHANNEL;

typedef struct _KSNODEPROPERTY_AUDIO_DEV_SPECIFIC {
    KSNODEPROPERTY NodeProperty;
    ULONG DevSpecificId;
    ULONG DeviceInfo;
    ULONG Length;
} KSNODEPROPERTY_AUDIO_DEV_SPECIFIC, *PKSNODEPROPERTY_AUDIO_DEV_SPECIFIC;

// A property addressed to one pin of a filter.
typedef struct _KSP_PIN {
    KSPROPERTY Property;
    ULONG PinId;
    ULONG Reserved;
} KSP_PIN, *PKSP_PIN;

// An event enabled on one node.
typedef struct _KSE_NODE {
    KSEVENT Event;
    ULONG NodeId;
    ULONG Reserved;
} KSE_NODE, *PKSE_NODE;

// Basic-support answers: the description, then MembersListCount member
// lists, each a header followed by MembersCount entries of MembersSize.
typedef struct _KSPROPERTY_DESCRIPTION {
    ULONG AccessFlags;
    ULONG DescriptionSize;
    KSIDENTIFIER PropTypeSet;
    ULONG MembersListCount;
    ULONG Reserved;
} KSPROPERTY_DESCRIPTION, *PKSPROPERTY_DESCRIPTION;

typedef struct _KSPROPERTY_MEMBERSHEADER {
    ULONG MembersFlags;
    ULONG MembersSize;
    ULONG MembersCount;
    ULONG Flags;
} KSPROPERTY_MEMBERSHEADER, *PKSPROPERTY_MEMBERSHEADER;

typedef struct _KSPROPERTY_BOUNDS_LONG {
    union {
        struct {
            LONG SignedMinimum;
            LONG SignedMaximum;
        };
        struct {
            ULONG UnsignedMinimum;
            ULONG UnsignedMaximum;
        };
    };
} KSPROPERTY_BOUNDS_LONG, *PKSPROPERTY_BOUNDS_LONG;

typedef struct _KSPROPERTY_STEPPING_LONG {
    ULONG SteppingDelta;
    ULONG Reserved;
    KSPROPERTY_BOUNDS_LONG Bounds;
} KSPROPERTY_STEPPING_LONG, *PKSPROPERTY_STEPPING_LONG;

#define KSPROPERTY_MEMBER_RANGES 0x00000001
#define KSPROPERTY_MEMBER_STEPPEDRANGES 0x00000002
#define KSPROPERTY_MEMBER_VALUES 0x00000003
#define KSPROPERTY_MEMBER_FLAG_DEFAULT 0x00000001
#define KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL 0x00000002

// Variant types named in property descriptions.
#define VT_I4 3
#define VT_BOOL 11
#define VT_UI4 19

// Jack descriptions of a bridge pin.
typedef struct _KSJACK_DESCRIPTION {
    ULONG ChannelMapping;
    ULONG Color;
    ULONG ConnectionType;
    ULONG GeoLocation;
    ULONG GenLocation;
    ULONG PortConnection;
    BOOL IsConnected;
} KSJACK_DESCRIPTION, *PKSJACK_DESCRIPTION;

typedef struct _KSJACK_DESCRIPTION2 {
    ULONG DeviceStateInfo;
    ULONG JackCapabilities;
} KSJACK_DESCRIPTION2, *PKSJACK_DESCRIPTION2;

#define JACKDESC2_PRESENCE_DETECT_CAPABILITY 0x00000001

// How an enabled event signals its client (KSEVENTDATA.NotificationType).
#define KSEVENTF_EVENT_HANDLE 0x00000001
#define KSEVENTF_SEMAPHORE_HANDLE 0x00000002
#define KSEVENTF_EVENT_OBJECT 0x00000004

typedef struct _KSEVENTDATA {
    ULONG NotificationType;
    union {
        struct {
            HANDLE Event;
            ULONG_PTR Reserved[2];
        } EventHandle;
        struct {
            HANDLE Semaphore;
            ULONG Reserved;
            LONG Adjustment;
        } SemaphoreHandle;
        struct {
            PVOID Unused;
            LONG_PTR Alignment[2];
        } Alignment;
    };
} KSEVENTDATA, *PKSEVENTDATA;

class KsEventList;

// One enabled event. Created by the event front end for an enable request
// and owned by it: the front end frees it on disable, on a failed enable
// and when its owner (the filter's file object) closes. Event holds one
// object reference taken from the client's handle.
struct _KSEVENT_ENTRY {
    LIST_ENTRY ListEntry;   // link in a KsEventList while List is set
    LIST_ENTRY OwnerLink;   // link in the front end's list of enabled events
    KsEventList* List;      // the list it is linked into, or NULL
    GUID Set;
    ULONG EventId;
    ULONG NodeId;           // KSFILTER_NODE for a filter event
    ULONG PinId;            // KSFILTER_NODE unless a pin event
    ULONG NotificationType; // KSEVENTF_EVENT_HANDLE
    PRKEVENT Event;         // signalled by KsEventList::Generate
    PVOID Owner;            // file object that enabled it
    ULONG SignalCount;      // times signalled, for diagnostics
};

// Request handed to a PCPROPERTY_ITEM handler. Instance points after the
// KSPROPERTY (or KSNODEPROPERTY for a node request) and is NULL when
// InstanceSize is 0; Value is NULL when ValueSize is 0. A handler sets
// ValueSize to the bytes it wrote (or, for an overflow or too-small
// answer, the bytes it needs).
typedef struct _PCPROPERTY_REQUEST {
    PUNKNOWN MajorTarget;
    PUNKNOWN MinorTarget;
    ULONG Node;
    const PCPROPERTY_ITEM* PropertyItem;
    ULONG Verb;
    ULONG InstanceSize;
    PVOID Instance;
    ULONG ValueSize;
    PVOID Value;
    PIRP Irp;
} PCPROPERTY_REQUEST, *PPCPROPERTY_REQUEST;

typedef struct _PCEVENT_REQUEST {
    PUNKNOWN MajorTarget;
    PUNKNOWN MinorTarget;
    ULONG Node;
    const PCEVENT_ITEM* EventItem;
    PKSEVENT_ENTRY EventEntry;
    ULONG Verb;
    PIRP Irp;
} PCEVENT_REQUEST, *PPCEVENT_REQUEST;

// Kernel-streaming control codes (FILE_DEVICE_KS, METHOD_NEITHER).
#define IOCTL_KS_PROPERTY 0x002F0003
#define IOCTL_KS_ENABLE_EVENT 0x002F0007
#define IOCTL_KS_DISABLE_EVENT 0x002F000B

static_assert(sizeof(KSNODEPROPERTY) == 32, "KSNODEPROPERTY");
static_assert(sizeof(KSNODEPROPERTY_AUDIO_CHANNEL) == 40, "KSNODEPROPERTY_AUDIO_CHANNEL");
static_assert(offsetof(KSNODEPROPERTY_AUDIO_CHANNEL, Channel) == 32, "channel offset");
static_assert(sizeof(KSNODEPROPERTY_AUDIO_DEV_SPECIFIC) == 48, "KSNODEPROPERTY_AUDIO_DEV_SPECIFIC");
static_assert(sizeof(KSP_PIN) == 32, "KSP_PIN");
static_assert(sizeof(KSE_NODE) == 32, "KSE_NODE");
static_assert(sizeof(KSPROPERTY_DESCRIPTION) == 40, "KSPROPERTY_DESCRIPTION");
static_assert(offsetof(KSPROPERTY_DESCRIPTION, PropTypeSet) == 8 &&
                  offsetof(KSPROPERTY_DESCRIPTION, MembersListCount) == 32,
              "KSPROPERTY_DESCRIPTION offsets");
static_assert(sizeof(KSPROPERTY_MEMBERSHEADER) == 16, "KSPROPERTY_MEMBERSHEADER");
static_assert(sizeof(KSPROPERTY_STEPPING_LONG) == 16, "KSPROPERTY_STEPPING_LONG");
static_assert(offsetof(KSPROPERTY_STEPPING_LONG, Bounds) == 8, "stepping bounds");
static_assert(sizeof(KSJACK_DESCRIPTION) == 28, "KSJACK_DESCRIPTION");
static_assert(offsetof(KSJACK_DESCRIPTION, IsConnected) == 24, "IsConnected offset");
static_assert(sizeof(KSJACK_DESCRIPTION2) == 8, "KSJACK_DESCRIPTION2");
static_assert(sizeof(KSEVENTDATA) == 32, "KSEVENTDATA");
static_assert(offsetof(KSEVENTDATA, EventHandle.Event) == 8, "KSEVENTDATA event handle");
static_assert(sizeof(PCPROPERTY_REQUEST) == 72, "PCPROPERTY_REQUEST");
static_assert(offsetof(PCPROPERTY_REQUEST, Node) == 16 &&
                  offsetof(PCPROPERTY_REQUEST, PropertyItem) == 24 &&
                  offsetof(PCPROPERTY_REQUEST, Verb) == 32 &&
                  offsetof(PCPROPERTY_REQUEST, InstanceSize) == 36 &&
                  offsetof(PCPROPERTY_REQUEST, Instance) == 40 &&
                  offsetof(PCPROPERTY_REQUEST, ValueSize) == 48 &&
                  offsetof(PCPROPERTY_REQUEST, Value) == 56 &&
                  offsetof(PCPROPERTY_REQUEST, Irp) == 64,
              "PCPROPERTY_REQUEST offsets");
static_assert(sizeof(PCEVENT_REQUEST) == 56, "PCEVENT_REQUEST");
static_assert(offsetof(PCEVENT_REQUEST, EventItem) == 24 &&
                  offsetof(PCEVENT_REQUEST, EventEntry) == 32 &&
                  offsetof(PCEVENT_REQUEST, Verb) == 40 &&
                  offsetof(PCEVENT_REQUEST, Irp) == 48,
              "PCEVENT_REQUEST offsets");
