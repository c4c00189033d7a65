#!/usr/bin/python3
"""Writes dsp/virtualizer_heads.h: the head filters of the surround
virtualizer's five rate records, with the head model's interaural delays
beside them for the C++ tests.

Head model: a rigid sphere, a = 0.0875 m, c = 343 m/s, w0 = c/a. An ear's
response to a distant source at angle phi from its axis (0..180 degrees) is
the shadow filter
    H(phi, w) = (1 + j alpha(phi) w / 2w0) / (1 + j w / 2w0),
    alpha(phi) = 1.05 + 0.95 cos(1.2 phi),
with the delay round the sphere, (a/c)(1 - cos phi) below 90 degrees and
(a/c)(phi - pi/2 + 1) above. Speakers: centre 0, front +-30, side +-90,
back +-135 degrees.

Targets: C' is 2 H(90); for each pair, mid = Hi + Hc and side = Hi - Hc,
from the left speaker's two ears. Each target's first arrival falls on the
first tap (lag 2 samples).

Fit: the N taps at lags 2, 4, ... 2N are the least-squares fit of G target
on 600 points from 50 Hz to 0.9 fs/4, G one gain for all filters and rates.
At 48 kHz the first four taps of C' and FM are fixed to the record's
given values, and G is fitted jointly with their other taps. Taps are then
rounded to multiples of 2^-15. Those fixed taps are not this model's, so
the two filters depart from the same filters at the other rates; the
header states by how much within 100 Hz..7 kHz.

Gates (asserted): for every filter but the two pinned ones, the normalised
error energy against G target is at most -20 dB; each role's five rates lie
within 3 dB of each other over 100 Hz..7 kHz; each pair's 200..800 Hz
interaural group-delay difference is within 0.05 ms of the model's; the
last tap is at most 0.15 of the largest. For all filters |tap| < 1, and a
model of the virtualizer's 48 kHz record reproduces its impulse example.

Usage: /usr/bin/python3 tools/gen_virtualizer_heads.py OUTPUT.h
"""
import sys

import numpy as np
import scipy

RADIUS = 0.0875
SOUND_SPEED = 343.0
W0 = SOUND_SPEED / RADIUS
Q15 = 1.0 / 32768.0
FIT_POINTS = 600
FIT_LOW_HZ = 50.0

# Rate records in the order the C++ tables list them, with the tap counts
# of the seven filters (C', FM, FS, SM, SS, BM, BS).
RATES = [48000, 44100, 32000, 96000, 88200]
TAPS = {
    48000: [16, 16, 16, 20, 20, 18, 18],
    44100: [15, 15, 15, 19, 19, 17, 17],
    32000: [10, 10, 10, 13, 13, 12, 12],
    96000: [34, 34, 34, 42, 42, 38, 38],
    88200: [32, 32, 32, 40, 40, 36, 36],
}
ROLES = ["C", "FM", "FS", "SM", "SS", "BM", "BS"]
# The left speaker's azimuth of each pair (degrees, left positive).
PAIRS = [("front", 30.0), ("side", 90.0), ("back", 135.0)]
PINNED_48K = {
    "C": [0.14974976, -0.077545166, 0.010314941, -0.03225708],
    "FM": [0.13085938, -0.09222412, -0.024963379, 0.07336426],
}


def ear_angles(azimuth):
    """Angles of a source at azimuth from the left and the right ear's axis."""
    def wrap(a):
        a = abs(a) % 360.0
        return 360.0 - a if a > 180.0 else a
    return wrap(azimuth - 90.0), wrap(azimuth + 90.0)


def ear_delay(phi_deg):
    phi = np.radians(phi_deg)
    if phi < np.pi / 2:
        return RADIUS / SOUND_SPEED * (1.0 - np.cos(phi))
    return RADIUS / SOUND_SPEED * (phi - np.pi / 2 + 1.0)


def shadow(phi_deg, w):
    alpha = 1.05 + 0.95 * np.cos(np.radians(1.2 * phi_deg))
    return (1.0 + 1j * alpha * w / (2 * W0)) / (1.0 + 1j * w / (2 * W0))


def ear(phi_deg, w):
    """One ear's response with its delay round the sphere."""
    return shadow(phi_deg, w) * np.exp(-1j * w * ear_delay(phi_deg))


def targets(w):
    """Each role's target response and its first arrival (seconds)."""
    out = {"C": (2.0 * ear(90.0, w), ear_delay(90.0))}
    for (name, azimuth), (mid, side) in zip(PAIRS, [("FM", "FS"), ("SM", "SS"), ("BM", "BS")]):
        ipsi, contra = ear_angles(azimuth)
        hi, hc = ear(ipsi, w), ear(contra, w)
        first = min(ear_delay(ipsi), ear_delay(contra))
        out[mid] = (hi + hc, first)
        out[side] = (hi - hc, first)
    return out


def fit_grid(fs):
    f = np.linspace(FIT_LOW_HZ, 0.9 * fs / 4.0, FIT_POINTS)
    return f, 2 * np.pi * f


def basis(w, fs, n):
    """Responses of taps at lags 2, 4, ... 2n: one column per tap."""
    lags = 2.0 * np.arange(1, n + 1)
    return np.exp(-1j * np.outer(w, lags) / fs)


def shifted_target(role, w, fs):
    """The role's target with its first arrival moved onto lag 2."""
    t, first = targets(w)[role]
    return t * np.exp(1j * w * first) * np.exp(-1j * w * 2.0 / fs)


def stack(z):
    return np.concatenate([z.real, z.imag], axis=0)


def fit_pinned_gain():
    """G and the free taps of C' and FM at 48 kHz, with their first four
    taps fixed."""
    fs = 48000
    _, w = fit_grid(fs)
    blocks, rhs, tgts = [], [], []
    for role in ("C", "FM"):
        n = TAPS[fs][ROLES.index(role)]
        b = basis(w, fs, n)
        pin = np.array(PINNED_48K[role])
        blocks.append(stack(b[:, 4:]))
        rhs.append(-stack(b[:, :4] @ pin))
        tgts.append(stack(shifted_target(role, w, fs)))
    rows = sum(b.shape[0] for b in blocks)
    cols = sum(b.shape[1] for b in blocks) + 1
    a = np.zeros((rows, cols))
    r = c = 0
    for b, t in zip(blocks, tgts):
        a[r:r + b.shape[0], c:c + b.shape[1]] = b
        a[r:r + b.shape[0], -1] = -t
        r += b.shape[0]
        c += b.shape[1]
    sol, *_ = np.linalg.lstsq(a, np.concatenate(rhs), rcond=None)
    gain = sol[-1]
    free = {"C": sol[:12], "FM": sol[12:24]}
    return gain, {role: np.concatenate([PINNED_48K[role], free[role]]) for role in ("C", "FM")}


def fit_filter(role, fs, gain):
    _, w = fit_grid(fs)
    n = TAPS[fs][ROLES.index(role)]
    b = basis(w, fs, n)
    sol, *_ = np.linalg.lstsq(stack(b), stack(gain * shifted_target(role, w, fs)), rcond=None)
    return sol


def quantise(taps):
    return np.round(np.asarray(taps) / Q15) * Q15


def response(taps, f, fs):
    w = 2 * np.pi * np.asarray(f)
    return basis(w, fs, len(taps)) @ taps


def error_db(role, fs, gain, taps):
    f, w = fit_grid(fs)
    want = gain * shifted_target(role, w, fs)
    err = response(taps, f, fs) - want
    return 10 * np.log10(np.sum(np.abs(err) ** 2) / np.sum(np.abs(want) ** 2))


def group_delay_ms(z, f):
    """Mean group delay (ms) of a response z sampled on the frequencies f."""
    phase = np.unwrap(np.angle(z))
    return float(np.mean(-np.gradient(phase, 2 * np.pi * np.asarray(f)))) * 1000.0


ITD_BAND = np.linspace(200.0, 800.0, 61)


def model_itd_ms(azimuth):
    ipsi, contra = ear_angles(azimuth)
    w = 2 * np.pi * ITD_BAND
    return group_delay_ms(ear(contra, w), ITD_BAND) - group_delay_ms(ear(ipsi, w), ITD_BAND)


def filter_itd_ms(mid, side, fs):
    """The contralateral ear's group delay minus the ipsilateral one's, from
    a pair's mid and side filters (Hi = (mid + side)/2, Hc = (mid - side)/2)."""
    hm, hs = response(mid, ITD_BAND, fs), response(side, ITD_BAND, fs)
    return group_delay_ms((hm - hs) / 2, ITD_BAND) - group_delay_ms((hm + hs) / 2, ITD_BAND)


# The 48 kHz record's values other than its heads, for the model below.
RECORD_48K = {
    "k": 2, "d": [600, 872, 779, 1033],
    "g": [[0.3803711, 0.3803711], [0.33605957, 0.33605957], [0.35058594, 0.35058594],
          [0.31225586, 0.31225586]],
    "m": [-0.55170316, 0.6189465, 0.55170316, 0.6189465, 0.5651518, 0.32964623, 0.5651518, 0.32964623],
    "hp": [0.49066162, -0.9812622, 0.49066162, 0.98101807, -0.4815979],
    "gain": [1.0, 1.0, 0.8406633, 1.0, 0.8406633, 0.8200073, 0.8200073, 0.90997314, 1.0, 0.90997314, 1.0],
    "wl": [1, 1, 1, 1, 1, 1, 1], "wr": [1, 1, -1, 1, -1, 1, -1], "kappa": [0.5, 1.0, 0.5],
    "c": [0.27835083, 0.008270264, -0.14730835], "f": [0.4124756, -0.019042969, -0.12780762],
    "s": [0.5018921, -0.005554199, -0.050231934], "b": [0.42822266, -0.049926758, -0.026062012],
    "M": [[-0.15246582, -0.1003418, 0.2980957, 0.93688965], [-0.9057617, 0.21105957, -0.36743164, -0.007873535],
          [0.016296387, 0.88220215, 0.4677124, -0.051696777], [-0.39508057, -0.40875244, 0.74658203, -0.3456421]],
}


def rounded(y):
    """Step 10: the nearest multiple of 2^-15 within -1.0 and 32767/32768."""
    y = np.float32(y)
    if y >= np.float32(0.99998474):
        y = np.float32(0.99996948)
    if y < np.float32(-0.99998474):
        y = np.float32(-1.0)
    v = int(np.float32(65536.5) + np.float32(32768.0) * y)
    s = (v & 0xFFFF) - (0x10000 if v & 0x8000 else 0)
    return s / 32768.0


def run_model(heads, inputs):
    """Steps 3 to 10 on the 48 kHz record in mode 7, in single precision:
    inputs is 8 x frames (FL, FR, C, LFE, BL, BR, SL, SR); returns the two
    outputs. Every signal keeps its whole history; values before sample 0
    read as 0."""
    r = RECORD_48K
    f32 = np.float32
    frames = inputs.shape[1]
    x = inputs.astype(np.float32)
    names = ["C", "L", "R", "SL", "SR", "BL", "BR", "FM", "FS", "SM", "SS", "BM", "BS", "EL", "ER"]
    sig = {name: np.zeros(frames, dtype=np.float32) for name in names}
    line = np.zeros((4, frames), dtype=np.float32)
    u = np.zeros((4, frames), dtype=np.float32)
    hp = np.zeros((4, frames), dtype=np.float32)
    out = np.zeros((2, frames))
    gC, gLd, gLr, gRd, gRr, gSL, gSR, gBLd, gBLr, gBRd, gBRr = (f32(v) for v in r["gain"])
    b0, b1, b2, a1, a2 = (f32(v) for v in r["hp"])
    m = [f32(v) for v in r["m"]]

    def past(a, n, j):
        return a[n - j] if n - j >= 0 else f32(0.0)

    for n in range(frames):
        fl, fr, c, lfe, bl, br, sl, sr = x[:, n]
        left, right = fl + lfe, fr + lfe
        e = [sum(f32(r["g"][i][t]) * past(line[i], n, r["d"][i] + t) for t in range(r["k"])) for i in range(4)]
        sig["C"][n] = gC * c
        sig["L"][n] = gLd * left + gLr * e[3]
        sig["R"][n] = gRd * right + gRr * e[0]
        sig["SL"][n] = gSL * sl
        sig["SR"][n] = gSR * sr
        sig["BL"][n] = gBLd * bl + gBLr * e[1]
        sig["BR"][n] = gBRd * br + gBRr * e[2]
        for mid, side, a, b in (("FM", "FS", "L", "R"), ("SM", "SS", "SL", "SR"), ("BM", "BS", "BL", "BR")):
            sig[mid][n] = f32(0.5) * sig[a][n] + f32(0.5) * sig[b][n]
            sig[side][n] = f32(0.5) * sig[a][n] - f32(0.5) * sig[b][n]
        filtered = [sum(f32(heads[role][t]) * past(sig[role], n, 2 * (t + 1)) for t in range(len(heads[role])))
                    for role in ROLES]
        sig["EL"][n] = sum(f32(r["wl"][i]) * filtered[i] for i in range(7))
        sig["ER"][n] = sum(f32(r["wr"][i]) * filtered[i] for i in range(7))
        for ch, (ear_sig, front, surround, back) in enumerate((("EL", "L", "SL", "BL"), ("ER", "R", "SR", "BR"))):
            y = f32(r["kappa"][0]) * sig[ear_sig][n]
            for t in (1, 2):
                y += f32(r["kappa"][t]) * past(sig[ear_sig], n, t)
            for t in range(3):
                for taps, name in ((r["c"], "C"), (r["f"], front), (r["s"], surround), (r["b"], back)):
                    y += f32(taps[t]) * past(sig[name], n, t)
            out[ch][n] = rounded(y)
        feeds = [m[0] * right + m[1] * br, m[2] * left + m[3] * bl, m[4] * sl + m[5] * c, m[6] * sr + m[7] * c]
        for i in range(4):
            u[i][n] = feeds[i]
            hp[i][n] = f32(2.0) * (b0 * u[i][n] + b1 * past(u[i], n, 1) + b2 * past(u[i], n, 2)
                                    + a1 * past(hp[i], n, 1) + a2 * past(hp[i], n, 2))
        big_u = [hp[i][n] + e[i] for i in range(4)]
        for j in range(4):
            line[j][n] = sum(f32(r["M"][j][i]) * big_u[i] for i in range(4))
    return out


def check_impulse_example(heads):
    """0.5 on front left at sample 0: 6758/32768 on the left at once, the
    right ear two samples later, both silent from 35 samples until the
    reverberation reaches the right output at 600 and the left at 602."""
    inputs = np.zeros((8, 700))
    inputs[0][0] = 0.5
    out = run_model(heads, inputs)
    left, right = out
    nonzero = lambda a, lo, hi: [n for n in range(lo, hi) if a[n] != 0.0]
    assert left[0] == 6758 / 32768 and right[0] == 0.0, (left[0], right[0])
    assert right[1] == 0.0 and right[2] != 0.0, right[:3]
    assert not nonzero(left, 35, 600) and not nonzero(right, 35, 600)
    assert right[600] != 0.0, right[600]
    assert nonzero(left, 35, 700)[0] == 602, nonzero(left, 35, 700)[:3]
    return int(round(right[2] * 32768)), int(round(right[600] * 32768)), int(round(left[602] * 32768))


def hexf(v):
    v = float(np.float32(v))
    if v == 0.0:
        return "0x0p+0f"
    mant, exp = v.hex().split("p")
    mant = mant.rstrip("0").rstrip(".")
    return mant + "p" + exp + "f"


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: gen_virtualizer_heads.py OUTPUT.h")
    gain, pinned = fit_pinned_gain()
    heads = {}
    errors = {}
    for fs in RATES:
        heads[fs] = {}
        for role in ROLES:
            if fs == 48000 and role in pinned:
                taps = pinned[role]
            else:
                taps = fit_filter(role, fs, gain)
            heads[fs][role] = quantise(taps)
            errors[(fs, role)] = error_db(role, fs, gain, heads[fs][role])

    pinned_keys = {(48000, "C"), (48000, "FM")}
    worst_error = max(v for k, v in errors.items() if k not in pinned_keys)
    assert worst_error <= -20.0, errors

    spread_band = np.linspace(100.0, 7000.0, 400)
    spreads = {}
    for role in ROLES:
        gated = [fs for fs in RATES if (fs, role) not in pinned_keys]
        db = np.array([20 * np.log10(np.abs(response(heads[fs][role], spread_band, fs))) for fs in gated])
        spreads[role] = float(np.max(db.max(axis=0) - db.min(axis=0)))
    assert max(spreads.values()) <= 3.0, spreads

    # The two pinned filters against the same role at 44.1 and 96 kHz, in
    # the same band (stated, not gated).
    def level_db(taps, fs):
        return 20 * np.log10(np.abs(response(taps, spread_band, fs)))

    pinned_spread = {}
    for role in ("C", "FM"):
        for fs in (44100, 96000):
            diff = level_db(heads[48000][role], 48000) - level_db(heads[fs][role], fs)
            low, high = int(np.argmin(diff)), int(np.argmax(diff))
            pinned_spread[(role, fs)] = (diff[low], spread_band[low], diff[high], spread_band[high])

    def pinned_line(role):
        parts = []
        for fs in (44100, 96000):
            low, f_low, high, f_high = pinned_spread[(role, fs)]
            parts.append("{:g} kHz {:+.1f} dB ({:.0f} Hz) to {:+.1f} dB ({:.0f} Hz)".format(
                fs / 1000.0, low, f_low, high, f_high))
        return "; ".join(parts)

    itd_model = [model_itd_ms(azimuth) for _, azimuth in PAIRS]
    itd_error = 0.0
    itd_filters = {}
    for fs in RATES:
        itd_filters[fs] = []
        for p, (mid, side) in enumerate([("FM", "FS"), ("SM", "SS"), ("BM", "BS")]):
            d = filter_itd_ms(heads[fs][mid], heads[fs][side], fs)
            itd_filters[fs].append(d)
            if fs == 48000 and mid == "FM":
                continue  # FM's pinned taps are not gated
            itd_error = max(itd_error, abs(d - itd_model[p]))
    assert itd_error <= 0.05, (itd_model, itd_filters)

    worst_tail = 0.0
    for fs in RATES:
        for role in ROLES:
            taps = heads[fs][role]
            assert np.max(np.abs(taps)) < 1.0
            if (fs, role) not in pinned_keys:
                worst_tail = max(worst_tail, abs(taps[-1]) / np.max(np.abs(taps)))
    assert worst_tail <= 0.15, worst_tail

    fm_fs = abs(heads[48000]["FM"][0] - heads[48000]["FS"][0])
    assert fm_fs >= 0.0071, fm_fs
    example = check_impulse_example(heads[48000])

    lines = []
    lines.append("""// Generated by tools/gen_virtualizer_heads.py; do not edit.
// Command: /usr/bin/python3 tools/gen_virtualizer_heads.py dsp/virtualizer_heads.h
// numpy {np}, scipy {sp}
//
// Head filters of the surround virtualizer's rate records: per rate the
// seven filters C', FM, FS, SM, SS, BM, BS, one after another, tap 1 first
// (taps at lags 2, 4, ... 2N). Rigid-sphere head (a = 0.0875 m,
// c = 343 m/s) with the shadow filter (1 + j alpha w/2w0)/(1 + j w/2w0),
// alpha = 1.05 + 0.95 cos(1.2 phi), and the delay round the sphere;
// speakers at 0, +-30, +-90, +-135 degrees. C' = 2 H(90); mid = Hi + Hc,
// side = Hi - Hc; first arrival on lag 2. Least-squares fit of G target on
// 600 points from 50 Hz to 0.9 fs/4, then rounded to multiples of 2^-15.
// At 48 kHz the first four taps of C' and FM are fixed, G fitted with them.
//
// Measured:
//   G = {gain:.6f}
//   error energy against G target: worst {worst:.2f} dB (gated <= -20);
//     pinned 48 kHz C' {ec:.2f} dB, FM {efm:.2f} dB (not gated)
//   spread of each role over the five rates, 100 Hz..7 kHz: worst {spread:.2f} dB (gated <= 3)
//   interaural group delay 200..800 Hz against the model: worst {itd:.4f} ms (gated <= 0.05)
//   last tap against the largest: worst {tail:.3f} (gated <= 0.15)
//   |FM[1] - FS[1]| at 48 kHz: {fmfs:.4f}
//   48 kHz impulse model: right {r2} / 32768 at sample 2, right {r600} at 600, left {l602} at 602
//
// Where the 48 kHz record departs: its C' and FM keep their fixed first
// four taps, which this head model does not produce; with them in place
// the remaining taps cannot reach the model's response (the error energies
// above), so these two filters differ from the same filters at the other
// rates within 100 Hz..7 kHz (48 kHz level minus the other record's):
//   C':  {pc}
//   FM:  {pfm}
// The other five filters at 48 kHz, and every filter at the other rates,
// keep to the spread gate.
#pragma once
""".format(np=np.__version__, sp=scipy.__version__, gain=gain, worst=worst_error,
           ec=errors[(48000, "C")], efm=errors[(48000, "FM")], spread=max(spreads.values()),
           itd=itd_error, tail=worst_tail, fmfs=fm_fs, r2=example[0], r600=example[1], l602=example[2],
           pc=pinned_line("C"), pfm=pinned_line("FM")))
    for fs in RATES:
        all_taps = np.concatenate([heads[fs][role] for role in ROLES])
        lines.append("inline constexpr float VIRTUALIZER_HEADS_%d[%d] = {" % (fs, len(all_taps)))
        for role in ROLES:
            taps = heads[fs][role]
            lines.append("    // %s, %d taps" % (role, len(taps)))
            for i in range(0, len(taps), 6):
                lines.append("    " + ", ".join(hexf(v) for v in taps[i:i + 6]) + ",")
        lines.append("};")
        lines.append("")
    lines.append("// The head model's interaural group-delay difference (contralateral minus")
    lines.append("// ipsilateral ear, ms, mean over 200..800 Hz) of the front, side and back pairs.")
    lines.append("inline constexpr double VIRTUALIZER_HEAD_MODEL_ITD_MS[3] = {%s};"
                 % ", ".join("%.6f" % v for v in itd_model))
    with open(sys.argv[1], "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
