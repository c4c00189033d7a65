// Fixture of the effect node tests: nodes bound to a scripted entity
// (switches 0x8B and 0x8C, both off) on the UAC fixture's loaded FDO, whose
// "Settings" key is real; probes that read the nodes' state; float blocks
// and stream formats; and a reference pipeline that composes the nodes'
// building blocks (fresh limiters and engine with the same formats,
// MixChannels) on the same blocks.
#pragma once

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "common/zvk/zvkheadphone.h"
#include "dsp/effect_nodes.h"
#include "dsp/limiter.h"
#include "dsp/mix_channels.h"
#include "dsp/surround_virtualizer.h"
#include "tests/topology/uac/fake_entity.h"
#include "tests/topology/uac/uac_fixture.h"

namespace effecttest {

using uactest::Bytes;

constexpr ULONG kNodeId = 7;

// Reads the state every effect node keeps.
template <class Node>
class Probe : public Node {
public:
    using Node::Node;
    LONG Changed() const { return this->m_Changed; }
    LONG Pending() const { return this->m_Pending; }
    ULONG Latch() const { return this->m_EnabledLatch; }
    LONG Fade() const { return this->m_Crossfade; }
    float** Dry() const { return this->m_ppDryChannels; }
    float** Wet() const { return this->m_ppWetChannels; }
    CLimiter* WetLimiter() const { return this->m_pWetLimiter; }
    CLimiter* DryLimiter() const { return this->m_pDryLimiter; }
};

class SurroundProbe : public Probe<CSurroundEffect> {
public:
    using Probe<CSurroundEffect>::Probe;
    bool HasEngine() const { return m_pVirtualizer != nullptr; }
    CSurroundVirtualizer* Virtualizer() const { return m_pVirtualizer; }
};


class HeadphoneProbe : public Probe<CHeadphoneEffect> {
public:
    using Probe<CHeadphoneEffect>::Probe;
    bool HasEngine() const { return m_pHeadphone != nullptr; }
    CZvkHeadphone* Wrapper() const { return m_pHeadphone; }
    std::array<ULONG, 2> Values() const { return {m_Values[0], m_Values[1]}; }
    const WAVEFORMATEXTENSIBLE& LimiterFormat() const { return m_LimiterFormat; }
    const WAVEFORMATEX& HeadphoneFormat() const { return m_HeadphoneFormat; }
};

// The wrapper's fields as it keeps them (no getter exists for some), and
// the tail switch as its engine has it (a room, angle or variant apply
// turns it on, SetTailEnable sets it).
struct WrapperState {
    bool hasEngine;
    int speakerMode, enable, tailEnable, speakerRoom, headphoneRoom, speakerAngle, headphoneAngle, ctcAngle,
        speakerVariant, headphoneVariant, channels;
    int engineTail;
};
WrapperState ReadWrapper(CZvkHeadphone* wrapper);

// A stored 4-byte value.
Bytes Le32(ULONG value);

// The same state of any headphone node, made as it is (through member
// pointers named in a derived class, without a downcast).
struct HeadphoneState : CHeadphoneEffect {
    static CZvkHeadphone* Wrapper(CHeadphoneEffect* node) { return node->*(&HeadphoneState::m_pHeadphone); }
    static const WAVEFORMATEXTENSIBLE& LimiterFormat(CHeadphoneEffect* node) {
        return node->*(&HeadphoneState::m_LimiterFormat);
    }
    static const WAVEFORMATEX& HeadphoneFormat(CHeadphoneEffect* node) {
        return node->*(&HeadphoneState::m_HeadphoneFormat);
    }
};

// A stream format: plain PCM for 1 and 2 channels, else extensible PCM.
WAVEFORMATEXTENSIBLE Pcm(ULONG channels, ULONG rate, WORD bits = 16);
// The same with another effective tag (IEEE float: not PCM).
WAVEFORMATEXTENSIBLE WithTag(WAVEFORMATEXTENSIBLE format, USHORT tag);

// Eight channel buffers of 512 floats, the engine's table.
struct Block {
    std::array<std::vector<float>, EFFECT_SET_CHANNELS> data;
    std::array<float*, EFFECT_SET_CHANNELS> table;
    ULONG frames = 0;
    Block();
    Block(const Block& other);
    Block& operator=(const Block& other);
    float** Channels() { return table.data(); }
};
// Distinct tones per channel, amplitude below 0.5, continuing over blocks.
Block Tones(ULONG frames, ULONG offset);
Block Silence(ULONG frames);
// The two outputs of a virtualizer on a copy of the block (the block
// itself stays).
std::array<std::vector<float>, 2> Virtualize(CSurroundVirtualizer* virtualizer, const Block& in);

// What a node outputs from the dry and the wet set of a block: the chosen
// set, channels 0 and 1 over the cross-fade of a switch change (fadeTo:
// the latched switch) of 2 x (rate / 1000) frames out and as many in.
// everyChannel: the node is followed by another effect node and fades all
// channels.
Block Compose(const Block& dry, const Block& wet, ULONG channels, bool wetSet, std::optional<bool> fadeTo,
              ULONG rate, bool everyChannel = false);

// The composition of one node's building blocks; Run returns the dry and
// the wet set of a block as the node makes them.
class Reference {
public:
    // Surround: virtualizer with (rate, channels - 1), limiters on the
    // stream format, the floor added.
    static std::unique_ptr<Reference> Surround(const WAVEFORMATEXTENSIBLE& format);
    // Headphone: a wrapper set up as the node sets it up, limiters on
    // limiterFormat.
    static std::unique_ptr<Reference> Headphone(const WAVEFORMATEXTENSIBLE& format,
                                                const WAVEFORMATEXTENSIBLE& limiterFormat,
                                                const WAVEFORMATEX& wrapperFormat);
    ~Reference();
    void Run(const Block& in, Block* dry, Block* wet);
    void Flush();
    // As a node followed by another effect node: the dry set keeps every
    // channel (the last effect node folds).
    void KeepChannels() { m_Fold = false; }

private:
    Reference() = default;
    ULONG m_Channels = 0;
    bool m_Floor = false;
    bool m_Fold = true;
    CLimiter* m_Dry = nullptr;
    CLimiter* m_Wet = nullptr;
    CSurroundVirtualizer* m_Virtualizer = nullptr;
    CZvkHeadphone* m_Wrapper = nullptr;
};

class EffectNodeTest : public uactest::UacTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // A node with unit id kNodeId (one reference, released at the end).
    template <class Node>
    Node* New(ULONG id = kNodeId) {
        Node* node = new (NonPagedPoolNx, EFFECT_NODE_TAG) Node(NULL, id);
        static_cast<IUacUnit*>(node)->AddRef();
        nodes.push_back(static_cast<IUacUnit*>(node));
        return node;
    }
    template <class Node>
    Node* Made(ULONG cs, ULONG id = kNodeId) {
        Node* node = New<Node>(id);
        EXPECT_EQ(node->Init(Entity(), cs, Fdo()), STATUS_SUCCESS);
        return node;
    }
    void Drop(IUacUnit* node);
    IUnknown* Entity() { return static_cast<IUacUnit*>(entity); }

    // Process at DISPATCH_LEVEL, as the data path calls it.
    static NTSTATUS ProcessAtDispatch(IDspNode* node, const WAVEFORMATEXTENSIBLE& format, PVOID data,
                                      ULONG frames);

    uactest::FakeEntity* entity = nullptr;
    std::vector<IUacUnit*> nodes;
};

}  // namespace effecttest
