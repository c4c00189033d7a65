// The identifier table: memory order of a few given values and uniqueness
// of every identifier that is not a wildcard.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "portcls/pc_descriptors.h"
#include "portcls/portcls_guids.h"

namespace {

std::vector<uint8_t> Bytes(const GUID& g) {
    std::vector<uint8_t> out(sizeof(GUID));
    std::memcpy(out.data(), &g, sizeof(GUID));
    return out;
}

TEST(PortClsGuids, MemoryOrderOfGivenValues) {
    // {00000001-0000-0010-8000-00AA00389B71}: the first three fields are
    // stored little-endian, the last eight bytes as written.
    EXPECT_EQ(Bytes(KSDATAFORMAT_SUBTYPE_PCM),
              (std::vector<uint8_t>{0x01, 0, 0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38,
                                    0x9B, 0x71}));
    // {7D89A7BB-869B-4567-8DBE-1E168CC853DE}
    EXPECT_EQ(Bytes(IID_IPortClsVersion),
              (std::vector<uint8_t>{0xBB, 0xA7, 0x89, 0x7D, 0x9B, 0x86, 0x67, 0x45, 0x8D, 0xBE,
                                    0x1E, 0x16, 0x8C, 0xC8, 0x53, 0xDE}));
    EXPECT_EQ(CLSID_PortTopology.Data1, 0xB4C90A32u);
    EXPECT_EQ(KSCATEGORY_TOPOLOGY.Data4[7], 0x00);
    EXPECT_EQ(KSDATAFORMAT_SPECIFIER_WILDCARD, GUID_NULL);
}

TEST(PortClsGuids, IdentifiersAreUnique) {
    const GUID* all[] = {
        &KSDATAFORMAT_TYPE_AUDIO, &KSDATAFORMAT_SUBTYPE_PCM, &KSDATAFORMAT_SUBTYPE_IEEE_FLOAT,
        &KSDATAFORMAT_SUBTYPE_ANALOG, &KSDATAFORMAT_SPECIFIER_WAVEFORMATEX,
        &KSDATAFORMAT_SPECIFIER_DSOUND, &KSDATAFORMAT_SPECIFIER_NONE, &KSCATEGORY_AUDIO,
        &KSCATEGORY_RENDER, &KSCATEGORY_CAPTURE, &KSCATEGORY_TOPOLOGY,
        &KSINTERFACESETID_Standard, &KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE,
        &AUDIO_SIGNALPROCESSINGMODE_RAW, &CLSID_PortWaveCyclic, &CLSID_PortTopology, &IID_IPort,
        &IID_IPortTopology, &IID_IPortWaveCyclic, &IID_IPortEvents, &IID_IPortClsVersion,
        &IID_IUnregisterSubdevice, &IID_IUnregisterPhysicalConnection, &IID_IMiniport,
        &IID_IMiniportTopology, &IID_IMiniportWaveCyclic, &IID_IMiniportWaveCyclicStream,
        &IID_IDmaChannel, &IID_IServiceSink, &IID_IServiceGroup, &IID_IRegistryKey,
        &IID_IResourceList, &IID_IAdapterPowerManagement, &IID_IPowerNotify,
        &IID_IDrmAudioStream};
    for (size_t i = 0; i < ARRAYSIZE(all); ++i) {
        EXPECT_NE(*all[i], GUID_NULL) << i;
        for (size_t j = i + 1; j < ARRAYSIZE(all); ++j) EXPECT_NE(*all[i], *all[j]) << i << " " << j;
    }
}

}  // namespace
