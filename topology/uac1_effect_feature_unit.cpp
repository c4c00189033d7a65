// UAC 1.0 feature unit with the vendor effect controls.
#include "topology/uac1_effect_feature_unit.h"

#include "dsp/effect_nodes.h"

NTSTATUS CUac1EffectFeatureUnit::CreateNodes(IAudioHal* builder) {
    m_bEffectMade = FALSE;
    return CreateNodesWithTag(builder, EFFECT_NODE_TAG);
}

NTSTATUS CUac1EffectFeatureUnit::CreateVendorNode(IAudioHal* builder, ULONG cs, ULONG tag, ULONG* nextId) {
    IUnknown* self = static_cast<IBoolControl*>(this);
    PDEVICE_OBJECT settings = builder->GetDeviceObject();
    BOOLEAN* made = &m_bEffectMade;
    auto init = [self, cs, settings, made](auto* node) {
        const NTSTATUS status = node->Init(self, cs, settings);
        if (NT_SUCCESS(status)) {
            node->SetEffectFollows(*made);
            *made = *made || node->Processes();
        }
        return status;
    };
    if (cs == UAC_CS_VENDOR_SWITCH_B) {
        return CreateNode<CSurroundEffect>(builder, tag, nextId, true, init);
    }
    return CreateNode<CHeadphoneEffect>(builder, tag, nextId, true, init);
}
