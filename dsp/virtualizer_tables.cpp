// The surround virtualizer's five rate records, assembled at compile time
// from the values below (transcribed) and the generated head filters
// (dsp/virtualizer_heads.h, tools/gen_virtualizer_heads.py).
#include "dsp/virtualizer_tables.h"

#include "dsp/virtualizer_heads.h"

namespace {

// The values of one rate.
struct RateValues {
    int k;
    int d[VIRTUALIZER_LINES];
    float g[VIRTUALIZER_LINES][VIRTUALIZER_MAX_DAMPING_TAPS];
    float highPass[5];  // b0, b1, b2, a1, a2, halved
    float centre[3];    // three-tap filters, the same for both ears
    float front[3];
    float side[3];
    float back[3];
    int n[VIRTUALIZER_HEAD_FILTERS];
    const float* heads;
};

// Values every record shares.
constexpr float kFeedWeights[8] = {-0.55170316f, 0.6189465f, 0.55170316f, 0.6189465f,
                                   0.5651518f,   0.32964623f, 0.5651518f, 0.32964623f};
constexpr float kGains[kGainCount] = {1.0f,       1.0f,       0.8406633f, 1.0f,       0.8406633f, 0.8200073f,
                                      0.8200073f, 0.90997314f, 1.0f,      0.90997314f, 1.0f};
constexpr float kPairWeights[12] = {0.5f, 0.5f, 0.5f, -0.5f, 0.5f, 0.5f, 0.5f, -0.5f, 0.5f, 0.5f, 0.5f, -0.5f};
constexpr float kEarWeightsL[VIRTUALIZER_HEAD_FILTERS] = {1, 1, 1, 1, 1, 1, 1};
constexpr float kEarWeightsR[VIRTUALIZER_HEAD_FILTERS] = {1, 1, -1, 1, -1, 1, -1};
constexpr float kEarKernel[3] = {0.5f, 1.0f, 0.5f};
constexpr float kFeedback[VIRTUALIZER_LINES][4] = {
    {-0.15246582f, -0.1003418f, 0.2980957f, 0.93688965f},
    {-0.9057617f, 0.21105957f, -0.36743164f, -0.007873535f},
    {0.016296387f, 0.88220215f, 0.4677124f, -0.051696777f},
    {-0.39508057f, -0.40875244f, 0.74658203f, -0.3456421f},
};

constexpr RateValues k48000 = {
    2,
    {600, 872, 779, 1033},
    {{0.3803711f, 0.3803711f}, {0.33605957f, 0.33605957f}, {0.35058594f, 0.35058594f}, {0.31225586f, 0.31225586f}},
    {0.49066162f, -0.9812622f, 0.49066162f, 0.98101807f, -0.4815979f},
    {0.27835083f, 0.008270264f, -0.14730835f},
    {0.4124756f, -0.019042969f, -0.12780762f},
    {0.5018921f, -0.005554199f, -0.050231934f},
    {0.42822266f, -0.049926758f, -0.026062012f},
    {16, 16, 16, 20, 20, 18, 18},
    VIRTUALIZER_HEADS_48000,
};

constexpr RateValues k44100 = {
    2,
    {551, 801, 716, 949},
    {{0.5072632f, 0.25360107f}, {0.44805908f, 0.22406006f}, {0.46740723f, 0.23370361f}, {0.41638184f, 0.20819092f}},
    {0.48983765f, -0.97961426f, 0.48983765f, 0.97924805f, -0.47998047f},
    {0.28814697f, -0.018188477f, -0.06954956f},
    {0.43225098f, -0.068847656f, -0.011962891f},
    {0.50738525f, -0.02722168f, -0.047424316f},
    {0.41784668f, -0.042236328f, -0.042785645f},
    {15, 15, 15, 19, 19, 17, 17},
    VIRTUALIZER_HEADS_44100,
};

constexpr RateValues k32000 = {
    3,
    {400, 581, 519, 688},
    {{0.62976074f, 0.14483643f, -0.0138549805f},
     {0.5564575f, 0.12799072f, -0.012268066f},
     {0.5805664f, 0.13354492f, -0.012756348f},
     {0.5172119f, 0.11895752f, -0.011352539f}},
    {0.48602295f, -0.9718933f, 0.48602295f, 0.97128296f, -0.47262573f},
    {0.31939697f, -0.10128784f, 0.2170105f},
    {0.4232788f, -0.09338379f, 0.22216797f},
    {0.50982666f, -0.05126953f, 0.04949951f},
    {0.42364502f, -0.06964111f, -0.0059814453f},
    {10, 10, 10, 13, 13, 12, 12},
    VIRTUALIZER_HEADS_32000,
};

constexpr RateValues k96000 = {
    4,
    {1200, 1744, 1558, 2065},
    {{0.22711182f, 0.20440674f, 0.22711182f, 0.10217285f},
     {0.20062256f, 0.18054199f, 0.20062256f, 0.090270996f},
     {0.20928955f, 0.18835449f, 0.20928955f, 0.094177246f},
     {0.1864624f, 0.16784668f, 0.1864624f, 0.08392334f}},
    {0.49531555f, -0.99061584f, 0.49531555f, 0.99053955f, -0.49069214f},
    {0.20553589f, 0.0769043f, 0.05065918f},
    {0.2958374f, 0.105651855f, 0.06378174f},
    {0.33605957f, 0.13653564f, 0.085510254f},
    {0.36499023f, 0.02947998f, 0.021240234f},
    {34, 34, 34, 42, 42, 38, 38},
    VIRTUALIZER_HEADS_96000,
};

constexpr RateValues k88200 = {
    4,
    {1103, 1603, 1431, 1898},
    {{0.23773193f, 0.22583008f, 0.23773193f, 0.059448242f},
     {0.20996094f, 0.19946289f, 0.20996094f, 0.052490234f},
     {0.21911621f, 0.20819092f, 0.21911621f, 0.05480957f},
     {0.19519043f, 0.1854248f, 0.19519043f, 0.04876709f}},
    {0.49490356f, -0.98979187f, 0.49490356f, 0.9897156f, -0.48989868f},
    {0.20986938f, 0.08111572f, 0.045410156f},
    {0.30187988f, 0.11102295f, 0.054504395f},
    {0.34368896f, 0.14447021f, 0.0814209f},
    {0.36743164f, 0.030883789f, 0.020629883f},
    {32, 32, 32, 40, 40, 36, 36},
    VIRTUALIZER_HEADS_88200,
};

constexpr int HeadTapCount(const RateValues& r) {
    int total = 0;
    for (int i = 0; i < VIRTUALIZER_HEAD_FILTERS; ++i) total += r.n[i];
    return total;
}

constexpr size_t RecordLength(const RateValues& r) {
    return VIRTUALIZER_LINES * (1 + r.k) + 8 + 5 + kGainCount + 12 + VIRTUALIZER_HEAD_FILTERS + HeadTapCount(r) +
           2 * VIRTUALIZER_HEAD_FILTERS + 2 * 15 + VIRTUALIZER_LINES * 5;
}

constexpr size_t PaddedLength(const RateValues& r) { return (RecordLength(r) + 3) & ~size_t(3); }

template <size_t Size>
struct Record {
    float v[Size];
};

// Appends values to a record under construction.
template <size_t Size>
struct Writer {
    Record<Size>& record;
    size_t at;
    constexpr void Put(float value) { record.v[at++] = value; }
    constexpr void Put(const float* values, int count) {
        for (int i = 0; i < count; ++i) Put(values[i]);
    }
};

template <size_t Size>
constexpr void PutEar(Writer<Size>& w, const RateValues& r) {
    w.Put(kEarKernel, 3);
    w.Put(r.centre, 3);
    w.Put(r.front, 3);
    w.Put(r.side, 3);
    w.Put(r.back, 3);
}

template <size_t Size>
constexpr Record<Size> Assemble(const RateValues& r) {
    Record<Size> record{};
    Writer<Size> w{record, 0};
    for (int i = 0; i < VIRTUALIZER_LINES; ++i) {
        w.Put((float)(r.d[i] - 1));
        w.Put(r.g[i], r.k);
    }
    w.Put(kFeedWeights, 8);
    w.Put(r.highPass, 5);
    w.Put(kGains, kGainCount);
    w.Put(kPairWeights, 12);
    const float* head = r.heads;
    for (int i = 0; i < VIRTUALIZER_HEAD_FILTERS; ++i) {
        w.Put((float)r.n[i]);
        w.Put(head, r.n[i]);
        head += r.n[i];
    }
    w.Put(kEarWeightsL, VIRTUALIZER_HEAD_FILTERS);
    w.Put(kEarWeightsR, VIRTUALIZER_HEAD_FILTERS);
    PutEar(w, r);
    PutEar(w, r);
    for (int i = 0; i < VIRTUALIZER_LINES; ++i) {
        w.Put(kFeedback[i], 4);
        w.Put((float)(r.d[i] + r.k - 1));
    }
    return record;
}

static_assert(sizeof(VIRTUALIZER_HEADS_48000) / sizeof(float) == HeadTapCount(k48000), "48 kHz heads");
static_assert(sizeof(VIRTUALIZER_HEADS_44100) / sizeof(float) == HeadTapCount(k44100), "44.1 kHz heads");
static_assert(sizeof(VIRTUALIZER_HEADS_32000) / sizeof(float) == HeadTapCount(k32000), "32 kHz heads");
static_assert(sizeof(VIRTUALIZER_HEADS_96000) / sizeof(float) == HeadTapCount(k96000), "96 kHz heads");
static_assert(sizeof(VIRTUALIZER_HEADS_88200) / sizeof(float) == HeadTapCount(k88200), "88.2 kHz heads");

constexpr auto kRecord48000 = Assemble<PaddedLength(k48000)>(k48000);
constexpr auto kRecord44100 = Assemble<PaddedLength(k44100)>(k44100);
constexpr auto kRecord32000 = Assemble<PaddedLength(k32000)>(k32000);
constexpr auto kRecord96000 = Assemble<PaddedLength(k96000)>(k96000);
constexpr auto kRecord88200 = Assemble<PaddedLength(k88200)>(k88200);

}  // namespace

namespace {

// One value per rate index: the five rates' values, 0 elsewhere.
template <typename T>
struct ByRateIndex {
    T v[VIRTUALIZER_RATE_INDEXES];
};

template <typename T>
constexpr ByRateIndex<T> PerRate(T at48000, T at44100, T at32000, T at96000, T at88200) {
    ByRateIndex<T> table{};
    table.v[VIRTUALIZER_RATE_48000] = at48000;
    table.v[VIRTUALIZER_RATE_44100] = at44100;
    table.v[VIRTUALIZER_RATE_32000] = at32000;
    table.v[VIRTUALIZER_RATE_96000] = at96000;
    table.v[VIRTUALIZER_RATE_88200] = at88200;
    return table;
}

constexpr auto kDelayLengths = PerRate(3588, 3307, 2408, 7155, 6595);
constexpr auto kDampingTaps = PerRate(k48000.k, k44100.k, k32000.k, k96000.k, k88200.k);
constexpr auto kRecordSizes = PerRate((int)PaddedLength(k48000), (int)PaddedLength(k44100),
                                      (int)PaddedLength(k32000), (int)PaddedLength(k96000),
                                      (int)PaddedLength(k88200));
constexpr auto kRecords = PerRate<const float*>(kRecord48000.v, kRecord44100.v, kRecord32000.v, kRecord96000.v,
                                                kRecord88200.v);

}  // namespace

#define VIRTUALIZER_COPY_18(table) \
    {table.v[0], table.v[1], table.v[2],  table.v[3],  table.v[4],  table.v[5],  table.v[6],  table.v[7],  table.v[8], \
     table.v[9], table.v[10], table.v[11], table.v[12], table.v[13], table.v[14], table.v[15], table.v[16], table.v[17]}

const int VIRTUALIZER_DELAY_LENGTHS[VIRTUALIZER_RATE_INDEXES] = VIRTUALIZER_COPY_18(kDelayLengths);
const int VIRTUALIZER_DAMPING_TAPS[VIRTUALIZER_RATE_INDEXES] = VIRTUALIZER_COPY_18(kDampingTaps);
const float* const VIRTUALIZER_RECORDS[VIRTUALIZER_RATE_INDEXES] = VIRTUALIZER_COPY_18(kRecords);
const int VIRTUALIZER_RECORD_SIZES[VIRTUALIZER_RATE_INDEXES] = VIRTUALIZER_COPY_18(kRecordSizes);

VIRTUALIZER_RECORD_VIEW ViewVirtualizerRecord(int rateIndex) {
    VIRTUALIZER_RECORD_VIEW v = {};
    const float* p = VIRTUALIZER_RECORDS[rateIndex];
    const float* start = p;
    v.DampingTaps = VIRTUALIZER_DAMPING_TAPS[rateIndex];
    for (int i = 0; i < VIRTUALIZER_LINES; ++i) {
        v.Delay[i] = (int)p[0] + 1;
        v.Damping[i] = p + 1;
        p += 1 + v.DampingTaps;
    }
    v.FeedWeights = p;
    v.HighPass = p + 8;
    v.Gains = p + 13;
    v.PairWeights = v.Gains + kGainCount;
    p = v.PairWeights + 12;
    for (int i = 0; i < VIRTUALIZER_HEAD_FILTERS; ++i) {
        v.HeadTaps[i] = (int)p[0];
        v.Head[i] = p + 1;
        p += 1 + v.HeadTaps[i];
    }
    v.EarWeightsL = p;
    v.EarWeightsR = p + VIRTUALIZER_HEAD_FILTERS;
    p += 2 * VIRTUALIZER_HEAD_FILTERS;
    v.Left = {p, p + 3, p + 6, p + 9, p + 12};
    p += 15;
    v.Right = {p, p + 3, p + 6, p + 9, p + 12};
    p += 15;
    for (int i = 0; i < VIRTUALIZER_LINES; ++i) {
        v.Feedback[i] = p;
        v.Span[i] = (int)p[4];
        p += 5;
    }
    v.Length = (int)(p - start);
    return v;
}

VIRTUALIZER_LINE_LAYOUT LayOutVirtualizerLine(const VIRTUALIZER_RECORD_VIEW& view) {
    VIRTUALIZER_LINE_LAYOUT layout = {};
    int s = 0;
    for (int i = 0; i < VIRTUALIZER_LINES; ++i) {
        layout.Line[i] = s;
        s += view.Span[i];
    }
    for (int i = 0; i < VIRTUALIZER_HEAD_FILTERS; ++i) {
        layout.Head[i] = s;
        s += 2 * view.HeadTaps[i];
    }
    for (int& band : layout.Direct) {
        band = s;
        s += 2;
    }
    for (int& band : layout.Ear) {
        band = s;
        s += 2;
    }
    for (int i = 0; i < VIRTUALIZER_LINES; ++i) {
        layout.Feed[i] = s;
        layout.HighPass[i] = s + 2;
        s += 4;
    }
    layout.Used = s + 1;
    return layout;
}
