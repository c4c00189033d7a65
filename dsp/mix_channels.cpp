#include "dsp/mix_channels.h"

#include "primitives/convert/entry_table_a.h"
#include "primitives/vector/entry_table_b.h"

namespace {

// Weights by bit pattern: 0.707, 0.871 and 0.49 as single floats.
constexpr float kCentre = 0x1.69fbe8p-1f;     // 0x3F34FDF4
constexpr float kDirect = 0x1.bdf3b6p-1f;     // 0x3F5EF9DB
constexpr float kCrossed = 0x1.f5c29p-2f;     // 0x3EFAE148

struct Weights {
    float h, b, c, b2, c2;
};

Weights WeightsFor(bool bPlain) {
    Weights w;
    w.h = kCentre;
    w.b = bPlain ? 1.0f : kDirect;
    w.c = bPlain ? 0.0f : kCrossed;
    w.b2 = w.b * 0.5f;
    w.c2 = w.c * 0.5f;
    return w;
}

VOID Fill(float** channels, ULONG first, ULONG last, ULONG frames) {
    for (ULONG ch = first; ch < last; ++ch) spSetF32(DSP_FLOOR_VALUE, channels[ch], (int)frames);
}

// One frame's inputs; every formula reads these, never an output.
struct Frame {
    float x[8];
};

Frame Read(float** channels, ULONG count, ULONG t) {
    Frame f = {};
    for (ULONG ch = 0; ch < count; ++ch) f.x[ch] = channels[ch][t];
    return f;
}

// One loop per layout (kPair = nIn * 10 + nOut), so the layout's choice
// stays out of the per-frame work.
template <ULONG kPair, bool kPlain>
VOID Downmix(float** ch, ULONG frames) {
    const Weights w = WeightsFor(kPlain);
    const float h = w.h, b = w.b, c = w.c, b2 = w.b2, c2 = w.c2;
    const bool bPlain = kPlain;
    for (ULONG t = 0; t < frames; ++t) {
        const Frame f = Read(ch, kPair / 10, t);
        const float* x = f.x;
        switch (kPair) {
        case 21:
            ch[0][t] = (x[0] + x[1]) * 0.5f;
            break;
        case 42: {
            float l4 = x[0] - (b * x[2] + c * x[3]);
            float r4 = (c * x[2] + b * x[3]) + x[1];
            ch[0][t] = l4;
            ch[1][t] = r4;
            break;
        }
        case 41: {
            float l4 = x[0] - (b * x[2] + c * x[3]);
            float r4 = (c * x[2] + b * x[3]) + x[1];
            ch[1][t] = r4;
            ch[0][t] = (r4 + l4) * 0.5f;
            break;
        }
        case 61: {
            float l6 = bPlain ? ((h * (x[2] + x[3]) + b * x[4]) + c * x[5]) + x[0]
                              : ((h * (x[2] + x[3]) - b * x[4]) - c * x[5]) + x[0];
            float r6 = ((h * (x[2] + x[3]) + c * x[4]) + b * x[5]) + x[1];
            ch[1][t] = r6;
            ch[0][t] = (r6 + l6) * 0.5f;
            break;
        }
        case 62:
            if (bPlain) {
                ch[0][t] = ((h * x[2] + x[3]) + x[4]) + x[0];
                ch[1][t] = ((h * x[2] + x[3]) + x[5]) + x[1];
            } else {
                ch[0][t] = ((h * (x[2] + x[3]) - b * x[4]) - c * x[5]) + x[0];
                ch[1][t] = ((h * (x[2] + x[3]) + c * x[4]) + b * x[5]) + x[1];
            }
            break;
        case 64:
            ch[0][t] = h * (x[2] + x[3]) + x[0];
            ch[1][t] = h * (x[2] + x[3]) + x[1];
            ch[2][t] = x[4];
            ch[3][t] = x[5];
            break;
        case 81: {
            float l8 = bPlain ? ((h * (x[2] + x[3]) + b2 * (x[4] + x[6])) + c2 * (x[5] + x[7])) + x[0]
                              : ((h * (x[2] + x[3]) - b2 * (x[4] + x[6])) - c2 * (x[5] + x[7])) + x[0];
            float r8 = ((h * (x[2] + x[3]) + c2 * (x[4] + x[6])) + b2 * (x[5] + x[7])) + x[1];
            ch[1][t] = r8;
            ch[0][t] = (r8 + l8) * 0.5f;
            break;
        }
        case 82:
            if (bPlain) {
                ch[0][t] = (((h * x[2] + x[3]) + x[4]) + x[6]) + x[0];
                ch[1][t] = (((h * x[2] + x[3]) + x[5]) + x[7]) + x[1];
            } else {
                ch[0][t] = ((h * (x[2] + x[3]) - b2 * (x[4] + x[6])) - c2 * (x[5] + x[7])) + x[0];
                ch[1][t] = ((h * (x[2] + x[3]) + c2 * (x[4] + x[6])) + b2 * (x[5] + x[7])) + x[1];
            }
            break;
        case 84:
            ch[0][t] = h * (x[2] + x[3]) + x[0];
            ch[1][t] = h * (x[2] + x[3]) + x[1];
            ch[2][t] = (b * x[4] + x[6]) + c * x[5];
            ch[3][t] = (c * x[4] + x[7]) + b * x[5];
            break;
        case 86:
            ch[4][t] = (b * x[4] + x[6]) + c * x[5];
            ch[5][t] = (c * x[4] + x[7]) + b * x[5];
            break;
        default:
            return;
        }
    }
}

template <bool kPlain>
VOID DownmixWith(float** ch, ULONG nIn, ULONG nOut, ULONG frames) {
    switch (nIn * 10 + nOut) {
    case 21: Downmix<21, kPlain>(ch, frames); break;
    case 41: Downmix<41, kPlain>(ch, frames); break;
    case 42: Downmix<42, kPlain>(ch, frames); break;
    case 61: Downmix<61, kPlain>(ch, frames); break;
    case 62: Downmix<62, kPlain>(ch, frames); break;
    case 64: Downmix<64, kPlain>(ch, frames); break;
    case 81: Downmix<81, kPlain>(ch, frames); break;
    case 82: Downmix<82, kPlain>(ch, frames); break;
    case 84: Downmix<84, kPlain>(ch, frames); break;
    case 86: Downmix<86, kPlain>(ch, frames); break;
    default: break;  // no rule: every buffer stays as it is
    }
}

VOID Upmix(float** channels, ULONG nIn, ULONG nOut, ULONG frames) {
    switch (nIn) {
    case 2:
    case 6:
        Fill(channels, nIn, nOut, frames);
        break;
    case 4:
        spMoveF32(channels[2], channels[4], (int)frames);
        spMoveF32(channels[3], channels[5], (int)frames);
        Fill(channels, 2, 4, frames);
        if (nOut > 6) Fill(channels, 6, nOut, frames);
        break;
    default:
        break;
    }
}

}  // namespace

VOID MixChannels(float** channels, ULONG nIn, ULONG nOut, ULONG frames, BOOLEAN bPlain) {
    if (nIn == nOut || frames == 0) return;
    if (nIn > 8 || nOut > 8) return;
    if (nIn > nOut) {
        if (bPlain) DownmixWith<true>(channels, nIn, nOut, frames);
        else DownmixWith<false>(channels, nIn, nOut, frames);
        return;
    }
    Upmix(channels, nIn, nOut, frames);
}
