// The port-class subset: what an adapter driver and its miniports include.
#pragma once

#include "platform/portcls/pc_descriptors.h"
#include "platform/portcls/portcls_guids.h"
#include "platform/portcls/portcls_types.h"
