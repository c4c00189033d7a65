// hrtfgen: writes the headphone engine's response tables
// (common/zvk/hrtf_data.cpp) from the MIT KEMAR measurements that Debian's
// libmysofa1 ships, with the model of params.txt. Double precision, its own
// FFT and one thread, so a rerun on the same inputs gives the same bytes.
//
//   hrtfgen --sofa FILE --params FILE --out FILE [--direct-out FILE]
//
// --direct-out writes, as raw float32, the equaliser taps and then the
// direct parts (head responses without room reflections or fade, in the
// head tables' order and level) for the source checks of the table tests.
//
// The crosstalk pairs are this generator's own design (regularised
// inversion of the measured plant with a modelling delay of 120 taps,
// params.txt) and do not reproduce the documented pairs' rows. Peak tap and
// value of A and of B, sums of A and of B (generated | documented):
//   5 deg:  A 120 +0.870, B 122 -0.335, 0.944 / -0.085 | A 115 -0.332, B 113 -0.174, 0.814 / -0.128
//   10 deg: A 120 +0.945, B 124 -0.287, 0.969 / -0.105 | A 112 +0.395, B 115 -0.100, 0.802 / -0.121
//   15 deg: A 120 +0.958, B 126 -0.218, 0.983 / -0.115 | A 118 +0.418, B 117 -0.084, 0.790 / -0.111
//   20 deg: A 120 +0.974, B 127 -0.197, 0.992 / -0.119 | A 119 +0.394, B 120 -0.080, 0.769 / -0.094
//   30 deg: A 120 +0.980, B 131 -0.161, 0.996 / -0.115 | A 119 -0.369, B 125 -0.064, 0.724 / -0.065
// The driver keeps the headphone engine in its headphone mode, where the
// crosstalk stage runs as its bypass, so the pairs are not heard; they are
// not refitted to those rows.
#include <mysofa.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/zvk/hrtf_tables.h"

namespace {

using cd = std::complex<double>;
using Vec = std::vector<double>;
constexpr double kPi = 3.14159265358979323846;
constexpr double kFs = 44100.0;

// ---- parameters -----------------------------------------------------------

struct Params {
    std::map<std::string, std::vector<std::vector<std::string>>> rows;

    const std::vector<std::string>& Row(const std::string& key, size_t index = 0) const {
        auto it = rows.find(key);
        if (it == rows.end() || index >= it->second.size())
            throw std::runtime_error("params: missing " + key);
        return it->second[index];
    }
    double Num(const std::string& key, size_t column = 0) const {
        const auto& row = Row(key);
        if (column >= row.size()) throw std::runtime_error("params: short " + key);
        return std::stod(row[column]);
    }
    int Int(const std::string& key, size_t column = 0) const {
        return static_cast<int>(Num(key, column));
    }
};

Params ReadParams(const std::string& text) {
    Params p;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::string key;
        if (!(words >> key)) continue;
        std::vector<std::string> values;
        for (std::string w; words >> w;) values.push_back(w);
        p.rows[key].push_back(values);
    }
    return p;
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) throw std::runtime_error("cannot read " + path);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string Sha256(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(data.data(), data.size(), digest, &len, EVP_sha256(), nullptr);
    std::string hex;
    char buf[3];
    for (unsigned i = 0; i < len; ++i) {
        std::snprintf(buf, sizeof buf, "%02x", digest[i]);
        hex += buf;
    }
    return hex;
}

std::string CommandOutput(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[256];
        while (std::fgets(buf, sizeof buf, p)) out += buf;
        pclose(p);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
    return out;
}

// ---- signal helpers ---------------------------------------------------------

// Radix-2 transform; the twiddles of each length are computed once.
void Fft(std::vector<cd>& a, bool inverse) {
    static std::map<size_t, std::vector<cd>> twiddleCache;
    const size_t n = a.size();
    std::vector<cd>& tw = twiddleCache[n];
    if (tw.empty()) {
        tw.resize(n / 2);
        for (size_t k = 0; k < n / 2; ++k)
            tw[k] = std::polar(1.0, -2 * kPi * static_cast<double>(k) / static_cast<double>(n));
    }
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1) j ^= bit;
        j ^= bit;
        if (i < j) std::swap(a[i], a[j]);
    }
    for (size_t len = 2; len <= n; len <<= 1) {
        const size_t stride = n / len;
        for (size_t i = 0; i < n; i += len) {
            for (size_t k = 0; k < len / 2; ++k) {
                cd w = inverse ? std::conj(tw[k * stride]) : tw[k * stride];
                cd u = a[i + k], v = a[i + k + len / 2] * w;
                a[i + k] = u + v;
                a[i + k + len / 2] = u - v;
            }
        }
    }
    if (inverse)
        for (auto& x : a) x /= static_cast<double>(n);
}

std::vector<cd> Spectrum(const Vec& x, size_t n) {
    std::vector<cd> a(n);
    for (size_t i = 0; i < x.size() && i < n; ++i) a[i] = x[i];
    Fft(a, false);
    return a;
}

Vec Convolve(const Vec& a, const Vec& b) {
    Vec y(a.size() + b.size() - 1, 0.0);
    for (size_t i = 0; i < a.size(); ++i)
        for (size_t j = 0; j < b.size(); ++j) y[i + j] += a[i] * b[j];
    return y;
}

// Minimum-phase response of the magnitude |X| (n bins, full circle) by the
// real cepstrum, cut to taps.
Vec MinimumPhase(const Vec& magnitude, size_t taps) {
    const size_t n = magnitude.size();
    std::vector<cd> c(n);
    for (size_t k = 0; k < n; ++k) c[k] = std::log(std::max(magnitude[k], 1e-12));
    Fft(c, true);
    for (size_t i = 1; i < n / 2; ++i) {
        c[i] *= 2.0;
        c[n - i] = 0.0;
    }
    Fft(c, false);
    for (auto& v : c) v = std::exp(v);
    Fft(c, true);
    Vec out(taps);
    for (size_t i = 0; i < taps; ++i) out[i] = c[i].real();
    return out;
}

int Onset(const Vec& x, double fraction) {
    double peak = 0;
    for (double v : x) peak = std::max(peak, std::fabs(v));
    for (size_t i = 0; i < x.size(); ++i)
        if (std::fabs(x[i]) >= fraction * peak) return static_cast<int>(i);
    return 0;
}

Vec Shift(const Vec& x, int by, size_t len) {
    Vec y(len, 0.0);
    for (size_t i = 0; i < len; ++i) {
        long src = static_cast<long>(i) - by;
        if (src >= 0 && src < static_cast<long>(x.size())) y[i] = x[static_cast<size_t>(src)];
    }
    return y;
}

// x delayed by d samples (d >= 0) with a windowed-sinc kernel of taps taps.
Vec FractionalDelay(const Vec& x, double d, int taps, size_t len) {
    const int whole = static_cast<int>(std::floor(d));
    const double frac = d - whole;
    if (frac == 0.0) return Shift(x, whole, len);
    const int half = taps / 2;
    Vec y(len, 0.0);
    for (size_t n = 0; n < len; ++n) {
        double sum = 0;
        for (int j = -half; j <= half; ++j) {
            long m = static_cast<long>(n) - whole - j;
            if (m < 0 || m >= static_cast<long>(x.size())) continue;
            double t = j - frac;
            double sinc = t == 0 ? 1.0 : std::sin(kPi * t) / (kPi * t);
            double w = 0.42 + 0.5 * std::cos(kPi * t / (half + 1)) + 0.08 * std::cos(2 * kPi * t / (half + 1));
            sum += x[static_cast<size_t>(m)] * sinc * w;
        }
        y[n] = sum;
    }
    return y;
}

double Energy(const Vec& x, size_t from = 0, size_t to = SIZE_MAX) {
    double e = 0;
    for (size_t i = from; i < std::min(to, x.size()); ++i) e += x[i] * x[i];
    return e;
}

// ---- measurements -----------------------------------------------------------

struct Measurements {
    int m = 0;
    Vec az, el;
    std::vector<Vec> ir[2];  // raw, per ear (0 left)
    std::vector<Vec> eq[2];  // equalised
};

Measurements Load(const std::string& path) {
    int err = 0;
    MYSOFA_HRTF* h = mysofa_load(path.c_str(), &err);
    if (!h || err != MYSOFA_OK) throw std::runtime_error("mysofa_load failed: " + path);
    if (mysofa_check(h) != MYSOFA_OK) throw std::runtime_error("mysofa_check failed");
    if (h->DataSamplingRate.values[0] != static_cast<float>(kFs) &&
        mysofa_resample(h, static_cast<float>(kFs)) != MYSOFA_OK)
        throw std::runtime_error("mysofa_resample failed");
    if (h->R != 2) throw std::runtime_error("two receivers expected");
    Measurements d;
    d.m = static_cast<int>(h->M);
    for (unsigned m = 0; m < h->M; ++m) {
        d.az.push_back(h->SourcePosition.values[3 * m]);
        d.el.push_back(h->SourcePosition.values[3 * m + 1]);
        for (int e = 0; e < 2; ++e) {
            const float* p = h->DataIR.values + (m * 2 + static_cast<unsigned>(e)) * h->N;
            d.ir[e].emplace_back(p, p + h->N);
        }
    }
    mysofa_free(h);
    return d;
}

// Measured index of a direction: exact horizontal grid lookup, or nearest.
int Nearest(const Measurements& d, double az, double el) {
    const double a0 = az * kPi / 180, e0 = el * kPi / 180;
    int best = 0;
    double bestDot = -2;
    for (int m = 0; m < d.m; ++m) {
        double a = d.az[static_cast<size_t>(m)] * kPi / 180, e = d.el[static_cast<size_t>(m)] * kPi / 180;
        double dot = std::cos(e) * std::cos(e0) * std::cos(a - a0) + std::sin(e) * std::sin(e0);
        if (dot > bestDot + 1e-12) {
            bestDot = dot;
            best = m;
        }
    }
    return best;
}

double Wrap(double az) {
    az = std::fmod(az, 360.0);
    return az < 0 ? az + 360.0 : az;
}

// ---- the model --------------------------------------------------------------

struct Model {
    Params p;
    Measurements d;
    Vec eqTaps;
    int advance = 0;
    double onsetFraction = 0.1;
    int fracTaps = 33;
    size_t cepstrum = 8192;

    void BuildEqualiser();
    // Left-ear responses; the right ear of a speaker at az is the left ear
    // of one at -az (the data set is exactly mirror-symmetric).
    Vec Direct(int variant, double az) const;
    Vec Image(int variant, int m) const;
    Vec Variant1(const Vec& eqLeft, const Vec& eqRight, double onsetLeft, double onsetRight) const;
    Vec Head(int variant, int room, double az) const;

    // Responses repeat across rooms and tables: computed once each.
    mutable std::map<std::pair<int, int>, Vec> imageCache;
    mutable std::map<std::pair<int, double>, Vec> directCache;
};

void Model::BuildEqualiser() {
    constexpr size_t n = 8192;
    Vec power(n / 2 + 1, 0.0);
    int count = 0;
    for (int e = 0; e < 2; ++e) {
        for (const Vec& x : d.ir[e]) {
            auto X = Spectrum(x, n);
            for (size_t k = 0; k <= n / 2; ++k) power[k] += std::norm(X[k]);
            ++count;
        }
    }
    for (double& v : power) v /= count;
    auto freq = [](size_t k) { return static_cast<double>(k) * kFs / static_cast<double>(n); };
    Vec smooth(power.size());
    const double band = std::pow(2.0, 1.0 / 6.0);
    for (size_t k = 0; k < power.size(); ++k) {
        double f = std::max(freq(k), freq(1));
        double sum = 0;
        int c = 0;
        for (size_t j = 0; j < power.size(); ++j) {
            if (freq(j) >= f / band && freq(j) <= f * band) {
                sum += power[j];
                ++c;
            }
        }
        smooth[k] = c ? sum / c : power[k];
    }
    const double lo = p.Num("eq_band_hz", 0), hi = p.Num("eq_band_hz", 1);
    const double cap = std::pow(10.0, p.Num("eq_max_boost_db") / 20.0);
    auto gainAt = [&](double f) {
        size_t k = static_cast<size_t>(std::lround(std::clamp(f, lo, hi) * static_cast<double>(n) / kFs));
        return 1.0 / std::sqrt(smooth[k]);
    };
    const double ref = gainAt(p.Num("eq_reference_hz"));
    Vec magnitude(n);
    for (size_t k = 0; k <= n / 2; ++k) {
        double g = std::min(gainAt(freq(k)) / ref, cap);
        magnitude[k] = g;
        if (k > 0 && k < n / 2) magnitude[n - k] = g;
    }
    eqTaps = MinimumPhase(magnitude, static_cast<size_t>(p.Int("eq_taps")));
    int smallest = 1 << 30;
    for (int e = 0; e < 2; ++e) {
        for (const Vec& x : d.ir[e]) {
            d.eq[e].push_back(Convolve(x, eqTaps));
            smallest = std::min(smallest, Onset(d.eq[e].back(), onsetFraction));
        }
    }
    advance = smallest - p.Int("onset_margin_taps");
}

// Min-phase version of the left ear, delayed by how much later its onset is
// than the right ear's.
Vec Model::Variant1(const Vec& eqLeft, const Vec&, double onsetLeft, double onsetRight) const {
    auto X = Spectrum(eqLeft, cepstrum);
    Vec magnitude(cepstrum);
    for (size_t k = 0; k < cepstrum; ++k) magnitude[k] = std::abs(X[k]);
    Vec mp = MinimumPhase(magnitude, eqLeft.size());
    double delay = std::max(0.0, onsetLeft - onsetRight);
    return FractionalDelay(mp, std::round(delay), fracTaps, kHrtfHeadLen);
}

Vec Model::Image(int variant, int m) const {
    auto cached = imageCache.find({variant, m});
    if (cached != imageCache.end()) return cached->second;
    const Vec& left = d.eq[0][static_cast<size_t>(m)];
    const Vec& right = d.eq[1][static_cast<size_t>(m)];
    Vec out = variant == 0 ? Shift(left, -advance, kHrtfHeadLen)
                           : Variant1(left, right, Onset(left, onsetFraction), Onset(right, onsetFraction));
    imageCache[{variant, m}] = out;
    return out;
}

Vec Model::Direct(int variant, double az) const {
    auto cached = directCache.find({variant, az});
    if (cached != directCache.end()) return cached->second;
    // Equalised left and right ears at az on the horizontal plane, blended
    // between the two measured neighbours with aligned onsets.
    struct Ear {
        Vec x;
        double onset;
    } ears[2];
    const double a = Wrap(az);
    const double lower = std::floor(a / 5.0) * 5.0;
    const double w = (a - lower) / 5.0;
    for (int e = 0; e < 2; ++e) {
        int m0 = Nearest(d, lower, 0), m1 = Nearest(d, Wrap(lower + 5.0), 0);
        const Vec& x0 = d.eq[e][static_cast<size_t>(m0)];
        if (w == 0.0) {
            ears[e] = {x0, static_cast<double>(Onset(x0, onsetFraction))};
            continue;
        }
        const Vec& x1 = d.eq[e][static_cast<size_t>(m1)];
        int o0 = Onset(x0, onsetFraction), o1 = Onset(x1, onsetFraction);
        Vec a0 = Shift(x0, -o0, x0.size()), a1 = Shift(x1, -o1, x1.size());
        Vec blend(x0.size());
        for (size_t i = 0; i < blend.size(); ++i) blend[i] = (1 - w) * a0[i] + w * a1[i];
        double onset = (1 - w) * o0 + w * o1;
        ears[e] = {FractionalDelay(blend, onset, fracTaps, x0.size()), onset};
    }
    Vec out = variant == 0 ? Shift(ears[0].x, -advance, kHrtfHeadLen)
                           : Variant1(ears[0].x, ears[1].x, ears[0].onset, ears[1].onset);
    directCache[{variant, az}] = out;
    return out;
}

struct RoomShape {
    double w, depth, h, dist;
};

Vec Model::Head(int variant, int room, double az) const {
    static const char* kRoomKeys[] = {"", "room_small", "room_medium", "room_large"};
    const char* key = kRoomKeys[room];
    RoomShape r{p.Num(key, 0), p.Num(key, 1), p.Num(key, 2), p.Num(key, 3)};
    const double earZ = p.Num("ear_height_m"), c = p.Num("sound_speed_mps");
    const double gainK = p.Num("image_gain");
    const int lastTap = p.Int("last_image_tap");
    Vec head = Direct(variant, az);
    // Listener at the origin facing +y, x to the right; the floor at
    // z = -earZ. Azimuth positive to the left.
    const double rad = az * kPi / 180;
    const double sx = -r.dist * std::sin(rad), sy = r.dist * std::cos(rad), sz = 0;
    struct Img {
        double x, y, z;
    } images[6] = {
        {r.w - sx, sy, sz},         {-r.w - sx, sy, sz},         {sx, r.depth - sy, sz},
        {sx, -r.depth - sy, sz},    {sx, sy, -2 * earZ - sz},    {sx, sy, 2 * (r.h - earZ) - sz},
    };
    for (const Img& im : images) {
        double dist = std::sqrt(im.x * im.x + im.y * im.y + im.z * im.z);
        double delay = (dist - r.dist) / c * kFs;
        int at = static_cast<int>(std::lround(delay));
        if (at > lastTap) continue;
        double imAz = Wrap(std::atan2(-im.x, im.y) * 180 / kPi);
        double imEl = std::asin(im.z / dist) * 180 / kPi;
        Vec resp = Image(variant, Nearest(d, imAz, imEl));
        double g = gainK * r.dist / dist;
        for (size_t i = 0; i + static_cast<size_t>(at) < head.size(); ++i)
            head[i + static_cast<size_t>(at)] += g * resp[i];
    }
    return head;
}

void FadeOut(Vec& x, int taps) {
    const size_t n = x.size();
    for (int i = 0; i < taps; ++i) {
        double g = 0.5 * (1 + std::cos(kPi * (i + 1) / taps));
        x[n - static_cast<size_t>(taps) + static_cast<size_t>(i)] *= g;
    }
    x[n - 1] = 0.0;
}

uint64_t SplitMix64(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

double Uniform(uint64_t& state) {  // (0, 1]
    return (static_cast<double>(SplitMix64(state) >> 11) + 1.0) / 9007199254740992.0;
}

Vec Tail(const Params& p, int room, int tailen, uint64_t seed, double energy) {
    static const char* kTailKeys[] = {"", "tail_small", "tail_medium", "tail_large"};
    const char* key = kTailKeys[room];
    const double f0 = p.Num(key, 1), f1 = p.Num(key, 2);
    const int rampIn = p.Int("tail_ramp_in_taps"), fade = p.Int("tail_fade_out_taps");
    Vec x(static_cast<size_t>(tailen));
    uint64_t state = seed;
    double y = 0;
    for (int n = 0; n < tailen; ++n) {
        double u1 = Uniform(state), u2 = Uniform(state);
        double noise = std::sqrt(-2 * std::log(u1)) * std::cos(2 * kPi * u2);
        double env = std::pow(10.0, -3.0 * (1024 + n) / (1024 + tailen));
        double fc = f0 * std::pow(f1 / f0, static_cast<double>(n) / (tailen - 1));
        double a = std::exp(-2 * kPi * fc / kFs);
        y = (1 - a) * noise * env + a * y;
        x[static_cast<size_t>(n)] = y;
    }
    for (int n = 0; n < rampIn; ++n) x[static_cast<size_t>(n)] *= 0.5 * (1 - std::cos(kPi * n / rampIn));
    FadeOut(x, fade);
    double scale = std::sqrt(energy / Energy(x));
    for (double& v : x) v *= scale;
    return x;
}

// Crosstalk pair (A, B) for a speaker angle.
Vec CrosstalkPair(const Params& p, const Measurements& d, int angle) {
    const size_t n = static_cast<size_t>(p.Int("ctc_fft"));
    const int taps = p.Int("ctc_taps");
    const double reg = p.Num("ctc_ratio_reg"), delay = p.Num("ctc_delay_taps");
    const double beta0 = p.Num("ctc_beta", 0), bandLo = p.Num("ctc_beta", 1), bandHi = p.Num("ctc_beta", 2);
    const double edgeLo = p.Num("ctc_beta_edges", 0), edgeHi = p.Num("ctc_beta_edges", 1);
    const int m = Nearest(d, angle, 0);
    auto Hi = Spectrum(d.ir[0][static_cast<size_t>(m)], n), Hc = Spectrum(d.ir[1][static_cast<size_t>(m)], n);
    double maxHi = 0;
    for (auto v : Hi) maxHi = std::max(maxHi, std::norm(v));
    auto beta = [&](double f) {
        auto glide = [&](double from, double to, double ff) {  // log-log from beta0 at from to 1 at to
            double t = std::log(ff / from) / std::log(to / from);
            return std::exp(std::log(beta0) * (1 - t));
        };
        if (f <= edgeLo || f >= edgeHi) return 1.0;
        if (f < bandLo) return glide(bandLo, edgeLo, f);
        if (f > bandHi) return glide(bandHi, edgeHi, f);
        return beta0;
    };
    std::vector<cd> A(n), B(n);
    for (size_t k = 0; k <= n / 2; ++k) {
        double f = static_cast<double>(k) * kFs / static_cast<double>(n);
        double b = beta(f);
        cd C = Hc[k] * std::conj(Hi[k]) / (std::norm(Hi[k]) + reg * maxHi);
        cd lin = std::polar(1.0, -2 * kPi * static_cast<double>(k) / static_cast<double>(n) * delay);
        auto R = [&](cd Y) { return lin * (std::conj(Y) + b) / (std::norm(Y) + b); };
        cd s = R(1.0 + C), dd = R(1.0 - C);
        if (k == 0 || k == n / 2) s = dd = lin;
        A[k] = 0.5 * (s + dd);
        B[k] = 0.5 * (s - dd);
        if (k > 0 && k < n / 2) {
            A[n - k] = std::conj(A[k]);
            B[n - k] = std::conj(B[k]);
        }
    }
    Fft(A, true);
    Fft(B, true);
    Vec pair(static_cast<size_t>(2 * taps));
    for (int i = 0; i < taps; ++i) {
        double w = std::sqrt(std::sin(kPi * i / (taps - 1)));
        pair[static_cast<size_t>(i)] = A[static_cast<size_t>(i)].real() * w;
        pair[static_cast<size_t>(taps + i)] = B[static_cast<size_t>(i)].real() * w;
    }
    for (int half = 0; half < 2; ++half) {
        pair[static_cast<size_t>(half * taps)] = 0.0;
        pair[static_cast<size_t>(half * taps + taps - 1)] = 0.0;
    }
    return pair;
}

struct Tables {
    std::vector<float> data;
    std::vector<float> direct;  // direct parts, same head layout, not committed
};

Tables Build(Model& model) {
    const Params& p = model.p;
    const double centre = p.Num("centre_deg"), surround = p.Num("surround_deg");
    const int headFade = p.Int("head_fade_taps");
    Tables t;
    std::vector<Vec> heads, directs;           // per head table, 10240 taps
    std::vector<int> headGroup;                // tail group of each head table
    for (int g = 0; g < kHrtfGroupCount; ++g) {
        const HrtfTailGroup& group = kHrtfTailGroups[g];
        const int variant = group.variant == 1 ? 1 : 0;
        for (int i = 0; i < kHrtfVariantCodeCount[group.variant]; ++i) {
            const double front = kHrtfVariantCodes[group.variant][i];
            // Groups FL, FR, C, SL, SR; left-ear responses of the speaker
            // and of its mirror image give the left and right ears.
            const double speakers[5] = {front, -front, centre, surround, -surround};
            Vec table, direct;
            for (double az : speakers) {
                for (int ear = 0; ear < 2; ++ear) {
                    double a = (ear == 0 ? az : -az) + 0.0;  // never -0
                    Vec h = model.Head(variant, group.room, a);
                    FadeOut(h, headFade);
                    Vec dpart = model.Direct(variant, a);
                    table.insert(table.end(), h.begin(), h.end());
                    direct.insert(direct.end(), dpart.begin(), dpart.end());
                }
            }
            heads.push_back(table);
            directs.push_back(direct);
            headGroup.push_back(g);
        }
    }
    // Level from the direct part of (MEDIUM, reference code), variant 0.
    double level = 1;
    {
        int refCode = p.Int("level_reference_code");
        size_t idx = 0;
        for (int g = 0; g < kHrtfGroupCount; ++g) {
            const HrtfTailGroup& group = kHrtfTailGroups[g];
            for (int i = 0; i < kHrtfVariantCodeCount[group.variant]; ++i, ++idx) {
                if (group.room != ROOMSIZE_MEDIUM || kHrtfVariantCodes[group.variant][i] != refCode) continue;
                const Vec& dd = directs[idx];
                double e = 0;
                for (int n = 0; n < kHrtfHeadLen; ++n) {
                    double s = dd[static_cast<size_t>(n)] + dd[static_cast<size_t>(2 * kHrtfHeadLen + n)];
                    e += s * s;
                }
                level = 1.0 / (2.0 * std::sqrt(e));
            }
        }
    }
    size_t idx = 0;
    for (int g = 0; g < kHrtfGroupCount; ++g) {
        const HrtfTailGroup& group = kHrtfTailGroups[g];
        double meanEnergy = 0;
        const int count = kHrtfVariantCodeCount[group.variant];
        for (int i = 0; i < count; ++i, ++idx) {
            for (double v : heads[idx]) t.data.push_back(static_cast<float>(v * level));
            for (double v : directs[idx]) t.direct.push_back(static_cast<float>(v * level));
            meanEnergy += Energy(heads[idx], 0, kHrtfHeadLen) * level * level / count;
        }
        static const char* kTailKeys[] = {"", "tail_small", "tail_medium", "tail_large"};
        const double drr = p.Num(kTailKeys[group.room], 0);
        const auto& seeds = p.Row("tail_seeds", static_cast<size_t>(g));
        for (int ear = 0; ear < 2; ++ear) {
            uint64_t seed = std::stoull(seeds.at(static_cast<size_t>(ear)), nullptr, 0);
            Vec tail = Tail(p, group.room, group.tailen, seed, meanEnergy * std::pow(10.0, -drr / 10));
            for (double v : tail) t.data.push_back(static_cast<float>(v));
        }
    }
    for (int a : kCtcAngles) {
        Vec pair = CrosstalkPair(p, model.d, a);
        for (double v : pair) t.data.push_back(static_cast<float>(v));
    }
    if (t.data.size() != static_cast<size_t>(kHeadphoneTableFloats))
        throw std::runtime_error("table size mismatch");
    return t;
}

void WriteSource(const std::string& path, const Tables& t, const std::string& header) {
    std::ofstream out(path, std::ios::binary);
    out << header;
    out << "#include \"common/zvk/hrtf_tables.h\"\n\n";
    out << "alignas(32) const float g_HeadphoneTableData[kHeadphoneTableFloats] = {\n";
    char buf[64];
    for (size_t i = 0; i < t.data.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%af,", static_cast<double>(t.data[i]));
        out << buf << ((i % 8 == 7) ? "\n" : "");
    }
    out << "};\n";
    if (!out) throw std::runtime_error("cannot write " + path);
}

}  // namespace

int main(int argc, char** argv) {
    std::string sofa, params, outPath, directPath;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string a = argv[i];
        if (a == "--sofa") sofa = argv[i + 1];
        else if (a == "--params") params = argv[i + 1];
        else if (a == "--out") outPath = argv[i + 1];
        else if (a == "--direct-out") directPath = argv[i + 1];
        else {
            std::fprintf(stderr, "hrtfgen: unknown option %s\n", a.c_str());
            return 1;
        }
    }
    if (sofa.empty() || params.empty() || outPath.empty()) {
        std::fprintf(stderr, "usage: hrtfgen --sofa FILE --params FILE --out FILE [--direct-out FILE]\n");
        return 1;
    }
    try {
        const std::string paramText = ReadFile(params);
        Model model;
        model.p = ReadParams(paramText);
        model.onsetFraction = model.p.Num("onset_fraction");
        model.fracTaps = model.p.Int("frac_delay_taps");
        model.cepstrum = static_cast<size_t>(model.p.Int("cepstrum_points"));
        model.d = Load(sofa);
        model.BuildEqualiser();
        Tables t = Build(model);

        std::ostringstream h;
        h << "// Generated by tools/hrtfgen; do not edit. Regenerate with `make tables`:\n";
        h << "//   hrtfgen --sofa " << sofa << " --params tools/hrtfgen/params.txt --out common/zvk/hrtf_data.cpp\n";
        h << "// Source: MIT KEMAR normal-pinna measurements as shipped by Debian's libmysofa1 "
          << CommandOutput("dpkg-query -W -f='${Version}' libmysofa1 2>/dev/null") << "\n";
        h << "//   SOFA file SHA-256:  " << Sha256(ReadFile(sofa)) << "\n";
        h << "//   params.txt SHA-256: " << Sha256(paramText) << "\n";
        h << "// Head and tail responses (370,688 floats), then the crosstalk pairs (2,560).\n";
        h << "//\n// Attribution asked by the measurements' licence:\n";
        h << "//   This data is Copyright 1994 by the MIT Media Laboratory.  It is\n";
        h << "//   provided free with no restrictions on use, provided the authors\n";
        h << "//   are cited when the data is used in any research or commercial\n";
        h << "//   application.\n";
        h << "//   Authors: Bill Gardner and Keith Martin, MIT Media Lab Machine Listening Group.\n\n";
        WriteSource(outPath, t, h.str());
        if (!directPath.empty()) {
            std::ofstream dout(directPath, std::ios::binary);
            std::vector<float> eq(model.eqTaps.begin(), model.eqTaps.end());
            dout.write(reinterpret_cast<const char*>(eq.data()),
                       static_cast<std::streamsize>(eq.size() * sizeof(float)));
            dout.write(reinterpret_cast<const char*>(t.direct.data()),
                       static_cast<std::streamsize>(t.direct.size() * sizeof(float)));
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "hrtfgen: %s\n", e.what());
        return 1;
    }
    return 0;
}
