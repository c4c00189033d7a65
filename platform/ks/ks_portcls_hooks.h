// Plugs the kernel-streaming front end into the port class's filter hooks
// for topology ports: IOCTL_KS_PROPERTY, IOCTL_KS_ENABLE_EVENT and
// IOCTL_KS_DISABLE_EVENT on a topology filter handle reach the miniport's
// automation tables, a closing handle frees its events, and the port's
// IPortEvents works on a KsEventList kept in the port's front-end slot.
#pragma once

#include "platform/ks/event_frontend.h"
#include "platform/portcls/pc_filter_hooks.h"

// Installs the hooks for PcPortKindTopology (before devices start).
VOID KsInstallTopologyFilterHooks();
