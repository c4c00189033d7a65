// Miniports for the wave subdevice installation tests: a wave miniport
// whose creation, name and streaming-terminal answer a test scripts, and a
// topology miniport whose IMiniportInfo maps a unit id to a pin (id + 100)
// or refuses. Both describe a small valid filter; both count their live
// objects so a test can check that every reference was given back.
#pragma once

#include "portcls/portcls.h"
#include "stream/engine/stream_engine.h"

namespace wavefakes {

struct WaveMiniportScript {
    NTSTATUS createStatus = STATUS_SUCCESS;
    NTSTATUS initStatus = STATUS_SUCCESS;
    bool refuseInfo = false;
    NTSTATUS nameStatus = STATUS_SUCCESS;
    ULONG terminalId = 1;  // what QueryMappedId answers
    const char16_t* name = u"HeadSetOut00Wave";
};

// The script the next creation follows, and what happened.
WaveMiniportScript& NextWaveMiniport();
int LiveFakeWaveMiniports();
ULONG LastEngineIndex();
// The create function for IStreamEngine::SetMiniportCreate.
NTSTATUS CreateFakeWaveMiniport(PUNKNOWN* unknown, REFCLSID classId, PUNKNOWN outer, POOL_TYPE poolType,
                                ULONG engineIndex);

// The topology miniport's unknown with one reference. QueryMappedId maps an
// id to id + 100 unless mapStatus is a failure.
struct TopologyScript {
    bool refuseInfo = false;
    NTSTATUS mapStatus = STATUS_SUCCESS;
};
TopologyScript& NextTopologyMiniport();
NTSTATUS CreateFakeTopologyMiniport(PUNKNOWN* unknown, REFCLSID classId, PUNKNOWN outer, POOL_TYPE poolType);
int LiveFakeTopologyMiniports();

}  // namespace wavefakes
