// Automation tables of the "GlobalTopo" filter and its node types, node
// descriptors by unit kind and pin categories by endpoint type. Transcribed
// as data; topo_tables_test pins entries and counts.
#include "ks/ks_guids.h"
#include "portcls/portcls_guids.h"
#include "topology/topo_guids.h"
#include "topology/topo_tables.h"
#include "topology/unit_base.h"

#define GET PCPROPERTY_ITEM_FLAG_GET
#define SET PCPROPERTY_ITEM_FLAG_SET
#define BASIC PCPROPERTY_ITEM_FLAG_BASICSUPPORT

// A table of property items, with or without the control-change event.
#define TOPO_TABLE(props)                                                                 \
    {sizeof(PCPROPERTY_ITEM), (ULONG)ARRAYSIZE(props), props, sizeof(PCMETHOD_ITEM), 0, NULL, \
     sizeof(PCEVENT_ITEM), 0, NULL, 0}
#define TOPO_TABLE_EVENT(props)                                                           \
    {sizeof(PCPROPERTY_ITEM), (ULONG)ARRAYSIZE(props), props, sizeof(PCMETHOD_ITEM), 0, NULL, \
     sizeof(PCEVENT_ITEM), (ULONG)ARRAYSIZE(ControlChangeEvent), ControlChangeEvent, 0}

namespace {

const PCEVENT_ITEM ControlChangeEvent[] = {
    {&KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE,
     PCEVENT_ITEM_FLAG_ENABLE | PCEVENT_ITEM_FLAG_BASICSUPPORT, EventHandler},
};

const PCPROPERTY_ITEM FilterProperties[] = {
    {&KSPROPSETID_PrivateAudio, 2, GET, PropertyVersion},
    {&KSPROPSETID_PrivateAudio, 4, GET | BASIC, PropertyPrivateJack},
    {&KSPROPSETID_PinCapabilities, 1, GET | BASIC, PropertyPinCapabilities},
    {&KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION, GET | BASIC, PropertyJack},
    {&KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION2, GET | BASIC, PropertyJack},
};

const PCPROPERTY_ITEM VolumeProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, GET | SET | BASIC, PropertyLevel},
    {&KSPROPSETID_PrivateAudio, 3, SET, PropertyLevel},
};

const PCPROPERTY_ITEM ToneProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_BASS, GET | SET | BASIC, PropertyLevel},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MID, GET | SET | BASIC, PropertyLevel},
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_TREBLE, GET | SET | BASIC, PropertyLevel},
    {&KSPROPSETID_PrivateAudio, 3, SET, PropertyLevel},
};

const PCPROPERTY_ITEM MuteProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, GET | SET | BASIC, PropertyBoolean},
};
const PCPROPERTY_ITEM AgcProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_AGC, GET | SET | BASIC, PropertyBoolean},
};
const PCPROPERTY_ITEM LoudnessProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_LOUDNESS, GET | SET | BASIC, PropertyBoolean},
};
const PCPROPERTY_ITEM SelectorProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUX_SOURCE, GET | SET, PropertyMuxSource},
};
const PCPROPERTY_ITEM SingleSelectorProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, GET | SET | BASIC, PropertyNodeDevSpecific},
};

const PCPROPERTY_ITEM DevSpecificProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, GET | SET | BASIC, PropertyNodeDevSpecific},
    {&KSPROPSETID_NodeEffectGuid, 1, GET, PropertyNodeEffectGuid},
};

const PCPROPERTY_ITEM OutputTypeProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, SET | BASIC, PropertyNodeDevSpecific},
    {&KSPROPSETID_NodeEffectGuid, 1, GET, PropertyNodeEffectGuid},
    {&KSPROPSETID_OutputTypes, 1, GET, PropertyNodeDevSpecific},
    {&KSPROPSETID_OutputTypes, 2, GET, PropertyNodeDevSpecific},
};

const PCPROPERTY_ITEM ParamsProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, SET | BASIC, PropertyNodeDevSpecific},
    {&KSPROPSETID_NodeEffectGuid, 1, GET, PropertyNodeEffectGuid},
    {&KSPROPSETID_DevParams20, 1, GET, PropertyNodeDevSpecific},
    {&KSPROPSETID_DevParams20, 2, GET, PropertyNodeDevSpecific},
    {&KSPROPSETID_DevParams20, 3, SET, PropertyNodeDevSpecific},
    {&KSPROPSETID_DevParams20, 4, GET, PropertyNodeDevSpecific},
    {&KSPROPSETID_DevParams20, 5, GET, PropertyNodeDevSpecific},
};

const PCPROPERTY_ITEM EffectProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, GET | SET | BASIC, PropertyNodeDevSpecific},
    {&KSPROPSETID_NodeEffectGuid, 1, GET, PropertyNodeEffectGuid},
    {&KSPROPSETID_EffectValues, 1, GET, PropertyNodeDevSpecific},
    {&KSPROPSETID_EffectValues, 2, GET, PropertyNodeDevSpecific},
    {&KSPROPSETID_EffectValues, 3, GET, PropertyNodeDevSpecific},
    {&KSPROPSETID_EffectValues, 4, GET | SET, PropertyNodeDevSpecific},
    {&KSPROPSETID_DevEffect24, 1, GET | SET, PropertyNodeDevSpecific},
};

}  // namespace

const PCAUTOMATION_TABLE TopoFilterAutomation = TOPO_TABLE(FilterProperties);
const PCAUTOMATION_TABLE TopoVolumeAutomation = TOPO_TABLE_EVENT(VolumeProperties);
const PCAUTOMATION_TABLE TopoToneAutomation = TOPO_TABLE_EVENT(ToneProperties);
const PCAUTOMATION_TABLE TopoMuteAutomation = TOPO_TABLE_EVENT(MuteProperties);
const PCAUTOMATION_TABLE TopoAgcAutomation = TOPO_TABLE_EVENT(AgcProperties);
const PCAUTOMATION_TABLE TopoLoudnessAutomation = TOPO_TABLE_EVENT(LoudnessProperties);
const PCAUTOMATION_TABLE TopoSelectorAutomation = TOPO_TABLE(SelectorProperties);
const PCAUTOMATION_TABLE TopoSingleSelectorAutomation = TOPO_TABLE(SingleSelectorProperties);
const PCAUTOMATION_TABLE TopoDevSpecificAutomation = TOPO_TABLE_EVENT(DevSpecificProperties);
const PCAUTOMATION_TABLE TopoOutputTypeAutomation = TOPO_TABLE_EVENT(OutputTypeProperties);
const PCAUTOMATION_TABLE TopoParamsAutomation = TOPO_TABLE(ParamsProperties);
const PCAUTOMATION_TABLE TopoEffectAutomation = TOPO_TABLE_EVENT(EffectProperties);

// Kind 4 appears twice: the MUX row for two or more sources, then the
// device-specific row for one source or none.
const TOPO_NODE_KIND TopoNodeKinds[TOPO_NODE_KIND_COUNT] = {
    {UNIT_KIND_MUTE, &KSNODETYPE_MUTE, NULL, &TopoMuteAutomation, TopoNameFixed},
    {UNIT_KIND_VOLUME, &KSNODETYPE_VOLUME, NULL, &TopoVolumeAutomation, TopoNameFixed},
    {UNIT_KIND_MUX, &KSNODETYPE_MUX, NULL, &TopoSelectorAutomation, TopoNameFixed},
    {UNIT_KIND_MUX, &KSNODETYPE_DEV_SPECIFIC, &KSNODETYPE_DEV_SPECIFIC, &TopoSingleSelectorAutomation, TopoNameFixed},
    {UNIT_KIND_SUM, &KSNODETYPE_SUM, NULL, NULL, TopoNameFixed},
    {UNIT_KIND_AGC, &KSNODETYPE_AGC, NULL, &TopoAgcAutomation, TopoNameFixed},
    {UNIT_KIND_LOUDNESS, &KSNODETYPE_LOUDNESS, NULL, &TopoLoudnessAutomation, TopoNameFixed},
    {UNIT_KIND_INPUT_GAIN_PAD, &KSNODETYPE_DEV_SPECIFIC, &NODENAME_INPUT_GAIN_PAD, &TopoDevSpecificAutomation, TopoNameFixed},
    {UNIT_KIND_BASS, &KSNODETYPE_TONE, &KSAUDFNAME_BASS, &TopoToneAutomation, TopoNameFixed},
    {UNIT_KIND_MID, &KSNODETYPE_TONE, &KSAUDFNAME_MIDRANGE, &TopoToneAutomation, TopoNameFixed},
    {UNIT_KIND_TREBLE, &KSNODETYPE_TONE, &KSAUDFNAME_TREBLE, &TopoToneAutomation, TopoNameFixed},
    {UNIT_KIND_TERMINAL_TYPE, &KSNODETYPE_DEV_SPECIFIC, &NODENAME_OUTPUT_TYPE, &TopoOutputTypeAutomation, TopoNameFixed},
    {UNIT_KIND_DEV_SWITCH_15, &KSNODETYPE_DEV_SPECIFIC, &NODENAME_DEV_SWITCH_15, &TopoDevSpecificAutomation, TopoNameFixed},
    {UNIT_KIND_NAMED_VOLUME, &KSNODETYPE_VOLUME, &NODENAME_NAMED_VOLUME, &TopoVolumeAutomation, TopoNameFixed},
    {UNIT_KIND_DEV_CONTROL_17, &KSNODETYPE_DEV_SPECIFIC, &NODENAME_DEV_CONTROL_17, &TopoDevSpecificAutomation, TopoNameFixed},
    {UNIT_KIND_DEV_SWITCH, &KSNODETYPE_DEV_SPECIFIC, &NODENAME_DEV_SWITCH, &TopoDevSpecificAutomation, TopoNameFixed},
    {UNIT_KIND_DEV_SWITCH_19, &KSNODETYPE_DEV_SPECIFIC, &NODENAME_DEV_SWITCH, &TopoDevSpecificAutomation, TopoNameFixed},
    {UNIT_KIND_DEV_PARAMS_20, &KSNODETYPE_DEV_SPECIFIC, &NODENAME_DEV_PARAMS_20, &TopoParamsAutomation, TopoNameFixed},
    {UNIT_KIND_SOFT_MUTE, &KSNODETYPE_DEV_SPECIFIC, &NODENAME_SOFT_MUTE, &TopoDevSpecificAutomation, TopoNameFixed},
    {UNIT_KIND_EFFECT, &KSNODETYPE_DEV_SPECIFIC, NULL, &TopoEffectAutomation, TopoNameEffectUnit},
    {UNIT_KIND_DEV_EFFECT_24, &KSNODETYPE_DEV_SPECIFIC, NULL, &TopoEffectAutomation, TopoNameDevEffect24},
};

const TOPO_NODE_KIND* TopoNodeKind(ULONG kind, ULONG sourceCount) {
    for (ULONG i = 0; i < TOPO_NODE_KIND_COUNT; ++i) {
        const TOPO_NODE_KIND* row = &TopoNodeKinds[i];
        if (row->Kind != kind) {
            continue;
        }
        if (kind == UNIT_KIND_MUX && sourceCount < 2) {
            return row + 1;
        }
        return row;
    }
    return NULL;
}

// Indexed by ENDPOINT_TYPE 0 to 17 (18 and above are no pin type).
const TOPO_PIN_CATEGORY TopoPinCategories[TOPO_PIN_CATEGORY_COUNT] = {
    /* 0 Stream */ {&KSCATEGORY_AUDIO, &KSCATEGORY_AUDIO, NULL, NULL, NULL, NULL, FALSE},
    /* 1 SPK */ {&KSNODETYPE_SPEAKER, &KSNODETYPE_SPEAKER, NULL, NULL, NULL, NULL, FALSE},
    /* 2 HP */ {&KSNODETYPE_HEADPHONES, &KSNODETYPE_HEADPHONES, NULL, u"HeadPhoneOutName", NULL, NULL, FALSE},
    /* 3 SPDIF */ {&KSNODETYPE_SPDIF_INTERFACE, &KSNODETYPE_SPDIF_INTERFACE, &PINNAME_SPDIF_OUT, u"SpdifOutName", &PINNAME_SPDIF_IN, u"SpdifInName", FALSE},
    /* 4 HDMI */ {&KSNODETYPE_HDMI_INTERFACE, &KSNODETYPE_HDMI_INTERFACE, &PINNAME_HDMI, NULL, &PINNAME_HDMI, NULL, FALSE},
    /* 5 DisplayPort */ {&KSNODETYPE_DISPLAYPORT_INTERFACE, &KSNODETYPE_DISPLAYPORT_INTERFACE, &PINNAME_DISPLAYPORT, NULL, &PINNAME_DISPLAYPORT, NULL, FALSE},
    /* 6 Line */ {&KSNODETYPE_LINE_CONNECTOR, &KSNODETYPE_LINE_CONNECTOR, NULL, NULL, NULL, u"LineInName", FALSE},
    /* 7 Mic */ {&KSNODETYPE_MICROPHONE, &KSNODETYPE_MICROPHONE, NULL, NULL, NULL, u"MicroPhoneInName", FALSE},
    /* 8 Aux */ {&KSNODETYPE_ANALOG_CONNECTOR, &KSNODETYPE_ANALOG_CONNECTOR, &PINNAME_AUX, NULL, &PINNAME_AUX, NULL, TRUE},
    /* 9 CD */ {&KSNODETYPE_CD_PLAYER, &KSNODETYPE_CD_PLAYER, NULL, NULL, NULL, NULL, FALSE},
    /* 10 Video */ {&KSNODETYPE_VIDEO_DISC_AUDIO, &KSNODETYPE_VIDEO_DISC_AUDIO, NULL, NULL, NULL, NULL, FALSE},
    /* 11 FMic */ {&KSNODETYPE_DESKTOP_MICROPHONE, &KSNODETYPE_DESKTOP_MICROPHONE, NULL, NULL, NULL, NULL, FALSE},
    /* 12 Telephone */ {&KSNODETYPE_TELEPHONE, &KSNODETYPE_TELEPHONE, NULL, NULL, NULL, NULL, FALSE},
    /* 13 HandSet */ {&KSNODETYPE_HANDSET, &KSNODETYPE_HANDSET, NULL, NULL, NULL, NULL, FALSE},
    /* 14 HeadSet */ {&KSNODETYPE_HEADSET, &KSNODETYPE_HEADSET, NULL, u"HeadSetOutName", NULL, u"HeadSetInName", FALSE},
    /* 15 Speakerphone */ {&KSNODETYPE_SPEAKERPHONE_NO_ECHO_REDUCTION, &KSNODETYPE_SPEAKERPHONE_NO_ECHO_REDUCTION, NULL, NULL, NULL, NULL, FALSE},
    /* 16 StereoMix */ {&KSNODETYPE_ANALOG_CONNECTOR, &PINCATEGORY_STEREOMIX_LEGACY, &PINNAME_STEREOMIX, NULL, &PINNAME_STEREOMIX, NULL, TRUE},
    /* 17 FHP */ {&KSNODETYPE_HEADPHONES, &KSNODETYPE_HEADPHONES, NULL, NULL, NULL, NULL, FALSE},
};
