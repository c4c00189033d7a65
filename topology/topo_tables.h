// Constant tables of the "GlobalTopo" filter: the automation tables of the
// filter and of each node type, the node descriptor of each unit kind and
// the category and name of each pin by endpoint type.
#pragma once

#include "ks/ks_types.h"

// Automation tables (topo_automation.cpp).
extern const PCAUTOMATION_TABLE TopoFilterAutomation;
extern const PCAUTOMATION_TABLE TopoVolumeAutomation;
extern const PCAUTOMATION_TABLE TopoToneAutomation;
extern const PCAUTOMATION_TABLE TopoMuteAutomation;
extern const PCAUTOMATION_TABLE TopoAgcAutomation;
extern const PCAUTOMATION_TABLE TopoLoudnessAutomation;
extern const PCAUTOMATION_TABLE TopoSelectorAutomation;
extern const PCAUTOMATION_TABLE TopoSingleSelectorAutomation;
extern const PCAUTOMATION_TABLE TopoDevSpecificAutomation;
extern const PCAUTOMATION_TABLE TopoOutputTypeAutomation;
extern const PCAUTOMATION_TABLE TopoParamsAutomation;
extern const PCAUTOMATION_TABLE TopoEffectAutomation;

// Where a node's name comes from.
typedef enum _TOPO_NODE_NAME_SOURCE {
    TopoNameFixed = 0,       // Name below (or none)
    TopoNameEffectUnit = 1,  // IEffectUnit GetNameGuid
    TopoNameDevEffect24 = 2, // IDevEffect24Unit GetNameGuid
} TOPO_NODE_NAME_SOURCE;

typedef struct _TOPO_NODE_KIND {
    ULONG Kind;
    const GUID* Type;
    const GUID* Name;
    const PCAUTOMATION_TABLE* Automation;
    TOPO_NODE_NAME_SOURCE NameSource;
} TOPO_NODE_KIND;

// The row of a node kind, or NULL for a kind that cannot be a node. A
// selector with two or more sources is a MUX node, with one or none a
// device-specific node.
const TOPO_NODE_KIND* TopoNodeKind(ULONG kind, ULONG sourceCount);

// Pin category and default name by endpoint type; a stem names the
// "Settings" value ("<stem>_<pin id, 2 digits>") that may override the
// name. Rows marked NeedsVista change with RtlIsNtDdiVersionAvailable
// (0x06000000): without it the legacy category is used and no name.
typedef struct _TOPO_PIN_CATEGORY {
    const GUID* Category;
    const GUID* LegacyCategory;
    const GUID* OutputName;
    PCWSTR OutputStem;
    const GUID* InputName;
    PCWSTR InputStem;
    BOOLEAN NeedsVista;
} TOPO_PIN_CATEGORY;

#define TOPO_PIN_CATEGORY_COUNT 18
extern const TOPO_PIN_CATEGORY TopoPinCategories[TOPO_PIN_CATEGORY_COUNT];
#define TOPO_NODE_KIND_COUNT 21
extern const TOPO_NODE_KIND TopoNodeKinds[TOPO_NODE_KIND_COUNT];

// Item handlers named by the tables.
NTSTATUS PropertyLevel(PPCPROPERTY_REQUEST request);
NTSTATUS PropertyBoolean(PPCPROPERTY_REQUEST request);
NTSTATUS PropertyMuxSource(PPCPROPERTY_REQUEST request);
NTSTATUS PropertyVersion(PPCPROPERTY_REQUEST request);
NTSTATUS PropertyPrivateJack(PPCPROPERTY_REQUEST request);
NTSTATUS PropertyJack(PPCPROPERTY_REQUEST request);
NTSTATUS PropertyPinCapabilities(PPCPROPERTY_REQUEST request);
NTSTATUS PropertyNodeEffectGuid(PPCPROPERTY_REQUEST request);
NTSTATUS PropertyNodeDevSpecific(PPCPROPERTY_REQUEST request);
NTSTATUS EventHandler(PPCEVENT_REQUEST request);
