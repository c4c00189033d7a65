// Port-class filter descriptors and automation tables: the static (or
// built-at-Init) description a miniport returns from GetDescription.
// The request structures handed to the handlers (PCPROPERTY_REQUEST,
// PCEVENT_REQUEST, PCMETHOD_REQUEST) belong to the kernel-streaming front
// end and are only declared here.
#pragma once

#include "portcls/portcls_types.h"

struct _PCPROPERTY_REQUEST;
struct _PCEVENT_REQUEST;
struct _PCMETHOD_REQUEST;
typedef struct _PCPROPERTY_REQUEST PCPROPERTY_REQUEST, *PPCPROPERTY_REQUEST;
typedef struct _PCEVENT_REQUEST PCEVENT_REQUEST, *PPCEVENT_REQUEST;
typedef struct _PCMETHOD_REQUEST PCMETHOD_REQUEST, *PPCMETHOD_REQUEST;

typedef NTSTATUS (*PCPFNPROPERTY_HANDLER)(PPCPROPERTY_REQUEST PropertyRequest);
typedef NTSTATUS (*PCPFNEVENT_HANDLER)(PPCEVENT_REQUEST EventRequest);
typedef NTSTATUS (*PCPFNMETHOD_HANDLER)(PPCMETHOD_REQUEST MethodRequest);

// Property item flags: the verbs the handler serves.
#define PCPROPERTY_ITEM_FLAG_GET KSPROPERTY_TYPE_GET
#define PCPROPERTY_ITEM_FLAG_SET KSPROPERTY_TYPE_SET
#define PCPROPERTY_ITEM_FLAG_BASICSUPPORT KSPROPERTY_TYPE_BASICSUPPORT
#define PCPROPERTY_ITEM_FLAG_SERIALIZESIZE 0x00000800
#define PCPROPERTY_ITEM_FLAG_DEFAULTVALUES 0x00010000

typedef struct {
    const GUID* Set;
    ULONG Id;
    ULONG Flags;
    PCPFNPROPERTY_HANDLER Handler;
} PCPROPERTY_ITEM, *PPCPROPERTY_ITEM;

// Event item flags and the verbs an event handler is called with.
#define PCEVENT_ITEM_FLAG_ENABLE KSEVENT_TYPE_ENABLE
#define PCEVENT_ITEM_FLAG_ONESHOT KSEVENT_TYPE_ONESHOT
#define PCEVENT_ITEM_FLAG_BASICSUPPORT KSEVENT_TYPE_BASICSUPPORT
#define PCEVENT_VERB_NONE 0
#define PCEVENT_VERB_ADD 1
#define PCEVENT_VERB_REMOVE 2
#define PCEVENT_VERB_SUPPORT 4

typedef struct {
    const GUID* Set;
    ULONG Id;
    ULONG Flags;
    PCPFNEVENT_HANDLER Handler;
} PCEVENT_ITEM, *PPCEVENT_ITEM;

#define PCMETHOD_ITEM_FLAG_NONE 0
#define PCMETHOD_ITEM_FLAG_SEND KSMETHOD_TYPE_SEND
#define PCMETHOD_ITEM_FLAG_BASICSUPPORT KSMETHOD_TYPE_BASICSUPPORT

typedef struct {
    const GUID* Set;
    ULONG Id;
    ULONG Flags;
    PCPFNMETHOD_HANDLER Handler;
} PCMETHOD_ITEM, *PPCMETHOD_ITEM;

// Item sizes let a miniport append private data to each item; the walker
// steps by the size given, never by sizeof.
typedef struct {
    ULONG PropertyItemSize;
    ULONG PropertyCount;
    const PCPROPERTY_ITEM* Properties;
    ULONG MethodItemSize;
    ULONG MethodCount;
    const PCMETHOD_ITEM* Methods;
    ULONG EventItemSize;
    ULONG EventCount;
    const PCEVENT_ITEM* Events;
    ULONG Reserved;
} PCAUTOMATION_TABLE, *PPCAUTOMATION_TABLE;

typedef struct {
    ULONG MaxGlobalInstanceCount;
    ULONG MaxFilterInstanceCount;
    ULONG MinFilterInstanceCount;
    const PCAUTOMATION_TABLE* AutomationTable;
    KSPIN_DESCRIPTOR KsPinDescriptor;
} PCPIN_DESCRIPTOR, *PPCPIN_DESCRIPTOR;

typedef struct {
    ULONG Flags;
    const PCAUTOMATION_TABLE* AutomationTable;
    const GUID* Type;
    const GUID* Name;
} PCNODE_DESCRIPTOR, *PPCNODE_DESCRIPTOR;

// Node pins of a connection end; KSFILTER_NODE in FromNode/ToNode names a
// filter pin instead.
typedef struct {
    ULONG FromNode;
    ULONG FromNodePin;
    ULONG ToNode;
    ULONG ToNodePin;
} PCCONNECTION_DESCRIPTOR, *PPCCONNECTION_DESCRIPTOR;
#define PCFILTER_NODE KSFILTER_NODE

typedef struct {
    ULONG Version;
    const PCAUTOMATION_TABLE* AutomationTable;
    ULONG PinSize;
    ULONG PinCount;
    const PCPIN_DESCRIPTOR* Pins;
    ULONG NodeSize;
    ULONG NodeCount;
    const PCNODE_DESCRIPTOR* Nodes;
    ULONG ConnectionCount;
    const PCCONNECTION_DESCRIPTOR* Connections;
    ULONG CategoryCount;
    const GUID* Categories;
} PCFILTER_DESCRIPTOR, *PPCFILTER_DESCRIPTOR;

static_assert(sizeof(PCPROPERTY_ITEM) == 24, "PCPROPERTY_ITEM");
static_assert(sizeof(PCEVENT_ITEM) == 24, "PCEVENT_ITEM");
static_assert(sizeof(PCMETHOD_ITEM) == 24, "PCMETHOD_ITEM");
static_assert(sizeof(PCAUTOMATION_TABLE) == 56, "PCAUTOMATION_TABLE");
static_assert(offsetof(PCAUTOMATION_TABLE, Methods) == 24 &&
                  offsetof(PCAUTOMATION_TABLE, Events) == 40,
              "PCAUTOMATION_TABLE offsets");
static_assert(sizeof(PCPIN_DESCRIPTOR) == 112, "PCPIN_DESCRIPTOR");
static_assert(offsetof(PCPIN_DESCRIPTOR, KsPinDescriptor) == 24, "PCPIN_DESCRIPTOR offsets");
static_assert(sizeof(PCNODE_DESCRIPTOR) == 32, "PCNODE_DESCRIPTOR");
static_assert(sizeof(PCCONNECTION_DESCRIPTOR) == 16, "PCCONNECTION_DESCRIPTOR");
static_assert(sizeof(PCFILTER_DESCRIPTOR) == 80, "PCFILTER_DESCRIPTOR");
static_assert(offsetof(PCFILTER_DESCRIPTOR, Pins) == 24 &&
                  offsetof(PCFILTER_DESCRIPTOR, Nodes) == 40 &&
                  offsetof(PCFILTER_DESCRIPTOR, Connections) == 56 &&
                  offsetof(PCFILTER_DESCRIPTOR, Categories) == 72,
              "PCFILTER_DESCRIPTOR offsets");
