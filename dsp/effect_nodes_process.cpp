// Effect nodes: the audio path (Process and Flush). Process allocates
// nothing and runs at DISPATCH_LEVEL under the node's in-stack queued spin
// lock; the switch reaches it through the changed and pending flags.
#include <cstring>

#include "common/zvk/zvkheadphone.h"
#include "dsp/effect_nodes.h"
#include "dsp/limiter.h"
#include "dsp/mix_channels.h"
#include "dsp/surround_virtualizer.h"
#include "primitives/convert/entry_table_a.h"
#include "topology/dsp_format.h"

namespace {

// A PCM block the sets can hold: the engine's table of 1 to 8 float
// channels of 1 to 512 frames. Anything else passes untouched.
struct EFFECT_BLOCK {
    float** Channels;
    ULONG Count;
    ULONG Frames;
};

bool TakeBlock(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames, EFFECT_BLOCK* block) {
    if (format == NULL || data == NULL || !DspIsPcm(format)) {
        return false;
    }
    const ULONG count = format->Format.nChannels;
    if (count == 0 || count > EFFECT_SET_CHANNELS || frames == 0 || frames > EFFECT_SET_FRAMES) {
        return false;
    }
    *block = {static_cast<float**>(data), count, frames};
    return true;
}

// Both sets get a copy of the block; the dry one is folded down to the
// front pair, unless another effect node follows and folds it there, and
// limited at unity gain.
void SplitPaths(const EFFECT_PATHS& paths, const EFFECT_BLOCK& block, BOOLEAN fold) {
    for (ULONG c = 0; c < block.Count; ++c) {
        memcpy(paths.Dry[c], block.Channels[c], block.Frames * sizeof(float));
        memcpy(paths.Wet[c], block.Channels[c], block.Frames * sizeof(float));
    }
    if (fold) {
        MixChannels(paths.Dry, block.Count, 2, block.Frames, TRUE);
    }
    paths.DryLimiter->Process(paths.Dry, (int)block.Frames);
}

// The engines render the block into the front pair: the wet set's other
// channels are silenced, so no raw surround channel reaches a fold-down
// on top of the rendered pair (nor the wet limiter's common gain).
void SilenceBeyondPair(float** wet, const EFFECT_BLOCK& block) {
    for (ULONG c = 2; c < block.Count; ++c) {
        memset(wet[c], 0, block.Frames * sizeof(float));
    }
}

// The front pair of the chosen set over the two ramps of a switch change:
// L = 2 x (rate / 1000) frames out, then L frames in. A ramp longer than
// the block is cut; rates below 1000 Hz have no ramp. When the block goes
// on unfolded, the ramps cover every channel, so that the fold-down the
// next effect node makes fades as a whole.
void Crossfade(float** out, float** dry, const EFFECT_BLOCK& block, LONG state, ULONG rate, BOOLEAN fold) {
    const LONG length = EFFECT_FADE_MS * (LONG)(rate / 1000);
    const float span = (float)(length - 1);
    const ULONG pair = !fold || block.Count < 2 ? block.Count : 2;
    for (ULONG c = 0; c < pair; ++c) {
        for (LONG i = 0; i < (LONG)block.Frames; ++i) {
            if (i < length) {
                const float g = 1.0f - (float)i / span;
                out[c][i] = g * (state == FADE_TO_WET ? dry[c][i] : out[c][i]);
            } else if (i < 2 * length) {
                const float h = (float)(i - length) / span;
                out[c][i] = h * (state == FADE_TO_WET ? out[c][i] : dry[c][i]);
            } else if (state == FADE_TO_DRY) {
                out[c][i] = dry[c][i];
            }
        }
    }
}

// After the engine: the wet set's pair alone, the wet limiter, the choice
// of set, the cross-fade of a switch change and the copy back into the
// engine's buffers.
void FinishBlock(const EFFECT_PATHS& paths, const EFFECT_BLOCK& block, bool wet, LONG* fadeState, ULONG rate,
                 BOOLEAN fold) {
    SilenceBeyondPair(paths.Wet, block);
    paths.WetLimiter->Process(paths.Wet, (int)block.Frames);
    float** out = wet ? paths.Wet : paths.Dry;
    const LONG state = *fadeState;
    if (state == FADE_TO_WET || state == FADE_TO_DRY) {
        Crossfade(out, paths.Dry, block, state, rate, fold);
        InterlockedExchange(fadeState, FADE_STEADY);
    }
    for (ULONG c = 0; c < block.Count; ++c) {
        memcpy(block.Channels[c], out[c], block.Frames * sizeof(float));
    }
}

// 6 to 8 channels keep the wet set through the block that switches off,
// so only the front pair fades; other counts follow the switch.
bool TakesWetSet(ULONG count, ULONG enabled, LONG changed) {
    if (count >= 6) {
        return enabled != 0 || changed != 0;
    }
    return enabled != 0;
}

}  // namespace

// ---- CSurroundEffect ----

NTSTATUS CSurroundEffect::Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) {
    const LONG changed = TakeSwitchChange(m_pVirtualizer != NULL);
    EFFECT_BLOCK block;
    if (!Processes() || !TakeBlock(format, data, frames, &block)) {
        return STATUS_SUCCESS;
    }
    const EFFECT_PATHS paths = {m_ppDryChannels, m_ppWetChannels, m_pDryLimiter, m_pWetLimiter};
    CInStackLockHold hold(&m_SpinLock);
    for (ULONG c = 0; c < block.Count; ++c) {
        spAddConstF32InPlace(DSP_FLOOR_VALUE, block.Channels[c], (int)block.Frames);
    }
    const BOOLEAN fold = !m_bEffectFollows;
    SplitPaths(paths, block, fold);
    m_pVirtualizer->Process(paths.Wet, paths.Wet, (int)block.Frames);
    // The virtualizer renders 5.1 and 7.1 only: other counts keep the dry
    // set rather than its silence.
    const bool rendered = block.Count == 6 || block.Count == 8;
    const bool wet = rendered && TakesWetSet(block.Count, m_EnabledLatch, changed);
    FinishBlock(paths, block, wet, &m_Crossfade, m_StreamFormat.Format.nSamplesPerSec, fold);
    return STATUS_SUCCESS;
}

NTSTATUS CSurroundEffect::Flush() {
    if (m_pVirtualizer != NULL) {
        m_pVirtualizer->Clear();
    }
    if (m_pWetLimiter != NULL) {
        m_pWetLimiter->Reset();
    }
    if (m_pDryLimiter != NULL) {
        m_pDryLimiter->Reset();
    }
    return STATUS_SUCCESS;
}

// ---- CHeadphoneEffect ----

NTSTATUS CHeadphoneEffect::Process(const WAVEFORMATEXTENSIBLE* format, PVOID data, ULONG frames) {
    const LONG changed = TakeSwitchChange(m_pHeadphone != NULL);
    EFFECT_BLOCK block;
    if (!Processes() || !TakeBlock(format, data, frames, &block)) {
        return STATUS_SUCCESS;
    }
    const EFFECT_PATHS paths = {m_ppDryChannels, m_ppWetChannels, m_pDryLimiter, m_pWetLimiter};
    CInStackLockHold hold(&m_SpinLock);
    const BOOLEAN fold = !m_bEffectFollows;
    SplitPaths(paths, block, fold);
    m_pHeadphone->Process(paths.Wet, (int)block.Frames);
    FinishBlock(paths, block, TakesWetSet(block.Count, m_EnabledLatch, changed), &m_Crossfade,
                m_StreamFormat.Format.nSamplesPerSec, fold);
    return STATUS_SUCCESS;
}

NTSTATUS CHeadphoneEffect::Flush() {
    if (m_pWetLimiter != NULL) {
        m_pWetLimiter->Reset();
    }
    if (m_pDryLimiter != NULL) {
        m_pDryLimiter->Reset();
    }
    return STATUS_SUCCESS;
}
