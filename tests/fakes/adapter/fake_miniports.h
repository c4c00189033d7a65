// Miniports for the start-up tests: a topology miniport named "GlobalTopo"
// and wave-cyclic miniports named after their engine, each with an empty
// filter description (no pins) and IMiniportInfo. Notes "topology:init",
// "wave<index>:init", "...:gone" in the fakes' log.
#pragma once

#include "stream/engine/stream_engine.h"
#include "topology/miniport_topology.h"

namespace fakes {

// The port-class create form of the topology miniport.
NTSTATUS CreateFakeTopologyMiniport(PUNKNOWN* unknown, REFCLSID classId, PUNKNOWN outer, POOL_TYPE poolType);
// The wave miniport create form stream engines keep.
NTSTATUS CreateFakeWaveMiniport(PUNKNOWN* unknown, REFCLSID classId, PUNKNOWN outer, POOL_TYPE poolType,
                                ULONG engineIndex);
// Fake miniports alive.
int LiveFakeMiniports();

}  // namespace fakes
