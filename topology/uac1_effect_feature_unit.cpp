// UAC 1.0 feature unit with the vendor effect controls.
#include "topology/uac1_effect_feature_unit.h"

#include "dsp/effect_nodes.h"

NTSTATUS CUac1EffectFeatureUnit::CreateNodes(IAudioHal* builder) {
    return CreateNodesWithTag(builder, EFFECT_NODE_TAG);
}

NTSTATUS CUac1EffectFeatureUnit::CreateVendorNode(IAudioHal* builder, ULONG cs, ULONG tag, ULONG* nextId) {
    IUnknown* self = static_cast<IBoolControl*>(this);
    PDEVICE_OBJECT settings = builder->GetDeviceObject();
    auto init = [self, cs, settings](auto* node) { return node->Init(self, cs, settings); };
    if (cs == UAC_CS_VENDOR_SWITCH_B) {
        return CreateNode<CSurroundEffect>(builder, tag, nextId, true, init);
    }
    return CreateNode<CHeadphoneEffect>(builder, tag, nextId, true, init);
}
