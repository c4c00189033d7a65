// The host program's own files: WAV images written and read back, WAV
// files that are not what they claim refused with a reason, and the JSON
// writer's escapes.
#include <gtest/gtest.h>

#include <cstring>

#include "tools/host/json.h"
#include "tools/host/wav_file.h"

namespace {

host::WavAudio Audio(USHORT channels, USHORT bits, USHORT valid, size_t frames) {
    host::WavAudio a;
    a.channels = channels;
    a.sampleRate = 48000;
    a.bitsPerSample = bits;
    a.validBits = valid;
    a.channelMask = (1u << channels) - 1;
    for (size_t i = 0; i < frames * a.BlockAlign(); i++) a.data.push_back((uint8_t)(i * 13));
    return a;
}

struct RoundTripCase {
    const char* name;
    USHORT channels, bits, valid;
    size_t frames;
    size_t headerBytes;  // 44 plain, 68 extensible
};

class WavRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(WavRoundTrip, ReadsBackWhatItWrote) {
    const RoundTripCase& c = GetParam();
    host::WavAudio a = Audio(c.channels, c.bits, c.valid, c.frames);
    std::vector<uint8_t> image = host::FormatWav(a);
    EXPECT_EQ(image.size(), c.headerBytes + a.data.size() + (a.data.size() & 1));
    host::WavAudio b;
    std::string error;
    ASSERT_TRUE(host::ParseWav(image.data(), image.size(), &b, &error)) << error;
    EXPECT_EQ(b.data, a.data);
    EXPECT_EQ(b.channels, a.channels);
    EXPECT_EQ(b.bitsPerSample, a.bitsPerSample);
    EXPECT_EQ(b.validBits, a.validBits);
    EXPECT_EQ(b.Format().Format.nAvgBytesPerSec, 48000u * a.BlockAlign());
}

INSTANTIATE_TEST_SUITE_P(Shapes, WavRoundTrip,
                         ::testing::Values(RoundTripCase{"Stereo16", 2, 16, 16, 100, 44},
                                           RoundTripCase{"Mono8OddData", 1, 8, 8, 7, 44},
                                           RoundTripCase{"Six24", 6, 24, 24, 10, 68},
                                           RoundTripCase{"Stereo32Valid24", 2, 32, 24, 10, 68},
                                           RoundTripCase{"Empty", 2, 16, 16, 0, 44}),
                         [](const auto& info) { return std::string(info.param.name); });

// A plain stereo 16-bit image of 4 frames, edited by each case.
std::vector<uint8_t> Plain() { return host::FormatWav(Audio(2, 16, 16, 4)); }

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) { memcpy(&b[at], &v, 4); }
void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) { memcpy(&b[at], &v, 2); }

struct BadCase {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> edit;
    const char* reason;  // part of the error text
};

class WavRefusal : public ::testing::TestWithParam<BadCase> {};

TEST_P(WavRefusal, NamesWhatIsWrong) {
    std::vector<uint8_t> image = Plain();
    GetParam().edit(image);
    host::WavAudio a;
    std::string error;
    EXPECT_FALSE(host::ParseWav(image.data(), image.size(), &a, &error));
    EXPECT_NE(error.find(GetParam().reason), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(
    Files, WavRefusal,
    ::testing::Values(BadCase{"NotRiff", [](std::vector<uint8_t>& b) { b[0] = 'X'; }, "RIFF"},
                      BadCase{"Cut", [](std::vector<uint8_t>& b) { b.resize(11); }, "RIFF"},
                      BadCase{"FormatPastTheEnd", [](std::vector<uint8_t>& b) { Put32(b, 16, 1000); }, "past the end"},
                      BadCase{"ShortFormat", [](std::vector<uint8_t>& b) { Put32(b, 16, 14); }, "fmt chunk of 14"},
                      BadCase{"Float", [](std::vector<uint8_t>& b) { Put16(b, 20, 3); }, "format tag 3"},
                      BadCase{"NoChannels", [](std::vector<uint8_t>& b) { Put16(b, 22, 0); }, "channel count"},
                      BadCase{"TwelveBits", [](std::vector<uint8_t>& b) { Put16(b, 34, 12); }, "bits per sample"},
                      BadCase{"NoRate", [](std::vector<uint8_t>& b) { Put32(b, 24, 0); }, "sample rate"},
                      BadCase{"WrongBlock", [](std::vector<uint8_t>& b) { Put16(b, 32, 3); }, "block alignment"},
                      BadCase{"NoData", [](std::vector<uint8_t>& b) { b.resize(36); }, "no data chunk"},
                      BadCase{"ChunkPastTheEnd",
                              [](std::vector<uint8_t>& b) {
                                  memcpy(&b[36], "LIST", 4);
                                  Put32(b, 40, 0xFFFFFFF0u);
                              },
                              "past the end"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(WavFile, ADataChunkClaimingMoreIsCutToTheWholeFramesPresent) {
    std::vector<uint8_t> image = Plain();
    Put32(image, 40, 0xFFFFFFFFu);  // as a streaming writer leaves it
    image.resize(image.size() - 3);
    host::WavAudio a;
    std::string error;
    ASSERT_TRUE(host::ParseWav(image.data(), image.size(), &a, &error)) << error;
    EXPECT_EQ(a.data.size(), 12u);  // 3 whole frames of 4 bytes
}

TEST(Json, KeepsKeyOrderAndEscapes) {
    host::Json j = host::Json::Object();
    j.Add("b", host::Json::String("q\"\\\n\x01"));
    j.Add("a", host::Json::Array().Push(host::Json::Number(-3)).Push(host::Json::Null()));
    j.Add("e", host::Json::Object());
    EXPECT_EQ(j.Dump(), "{\n  \"b\": \"q\\\"\\\\\\n\\u0001\",\n  \"a\": [\n    -3,\n    null\n  ],\n  \"e\": {}\n}\n");
}

}  // namespace
