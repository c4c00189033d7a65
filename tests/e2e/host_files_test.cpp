// The host program's own files: WAV files written and read back in every
// sample format it streams, WAV files that are not what they claim refused
// with a reason, a cut data chunk read up to what is there with a warning,
// output paths that cannot be written, and the JSON text of inspect.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <functional>

#include "portcls/portcls_guids.h"
#include "stream/wave/wave_guids.h"
#include "tests/e2e/e2e_fixture.h"
#include "tools/host/host_report.h"
#include "tools/host/wav_io.h"

namespace e2etest {
namespace {

using ::testing::HasSubstr;

WAVEFORMATEXTENSIBLE Shape(USHORT channels, USHORT bits, bool isFloat, ULONG mask) {
    WAVEFORMATEXTENSIBLE f = {};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = 48000;
    f.Format.nBlockAlign = (WORD)(channels * bits / 8);
    f.Format.nAvgBytesPerSec = 48000u * f.Format.nBlockAlign;
    f.Format.wBitsPerSample = bits;
    f.Format.cbSize = 22;
    f.Samples.wValidBitsPerSample = bits;
    f.dwChannelMask = mask;
    SetWaveSubFormat(&f, isFloat ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM);
    return f;
}

// Bytes that are valid samples of any format (no NaN floats).
std::vector<uint8_t> Samples(size_t bytes) {
    std::vector<uint8_t> out(bytes);
    for (size_t i = 0; i < bytes; i++) out[i] = (uint8_t)(i * 13 % 61);
    return out;
}

std::string Written(const std::string& path, const WAVEFORMATEXTENSIBLE& f, const std::vector<uint8_t>& data) {
    host::WavWriter writer;
    std::string error;
    EXPECT_TRUE(writer.Open(path, f, &error)) << error;
    // In uneven blocks of whole frames, as the device delivers them.
    size_t at = 0;
    for (size_t frames = 1; at < data.size(); frames = frames % 7 + 1) {
        const size_t n = std::min(frames * f.Format.nBlockAlign, data.size() - at);
        EXPECT_TRUE(writer.Write(data.data() + at, n));
        at += n;
    }
    EXPECT_TRUE(writer.Finish(&error)) << error;
    return path;
}

std::vector<uint8_t> ReadAll(host::WavReader& reader) {
    std::vector<uint8_t> out, block(1000);
    for (size_t n; (n = reader.Read(block.data(), block.size())) > 0;) out.insert(out.end(), block.begin(), block.begin() + n);
    EXPECT_FALSE(reader.Failed());
    return out;
}

struct RoundTripCase {
    const char* name;
    USHORT channels, bits;
    bool isFloat;
    ULONG mask;
    size_t frames;
};

void PrintTo(const RoundTripCase& c, std::ostream* os) { *os << c.name; }

class WavRoundTrip : public E2eTest, public ::testing::WithParamInterface<RoundTripCase> {};

TEST_P(WavRoundTrip, ReadsBackWhatItWrote) {
    const RoundTripCase& c = GetParam();
    const std::string dir = TestDirectory("wav");
    ASSERT_TRUE(host::MakeDirectories(dir));
    const WAVEFORMATEXTENSIBLE f = Shape(c.channels, c.bits, c.isFloat, c.mask);
    const std::vector<uint8_t> data = Samples(c.frames * f.Format.nBlockAlign);
    host::WavReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(Written(dir + "/x.wav", f, data), &error)) << error;
    EXPECT_EQ(reader.Warning(), "");
    EXPECT_EQ(reader.Frames(), c.frames);
    EXPECT_EQ(ReadAll(reader), data);
    EXPECT_EQ(memcmp(&reader.Format(), &f, sizeof(f)), 0) << "the format read back differs";
    struct stat st;
    EXPECT_NE(stat((dir + "/x.wav.tmp").c_str(), &st), 0) << "the temporary file is left";
}

INSTANTIATE_TEST_SUITE_P(Shapes, WavRoundTrip,
                         ::testing::Values(RoundTripCase{"Stereo16", 2, 16, false, 0x3, 100},
                                           RoundTripCase{"Mono8OddData", 1, 8, false, 0x1, 7},
                                           RoundTripCase{"Six24", 6, 24, false, 0x3F, 10},
                                           RoundTripCase{"Quad24SideChannels", 4, 24, false, 0x603, 10},
                                           RoundTripCase{"Stereo32", 2, 32, false, 0x3, 10},
                                           RoundTripCase{"StereoFloat", 2, 32, true, 0x3, 10},
                                           RoundTripCase{"Empty", 2, 16, false, 0x3, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// A plain stereo 16-bit image of 4 frames (44-byte header), edited by each
// case, written to the test's directory.
std::vector<uint8_t> Plain() {
    std::vector<uint8_t> b = {'R', 'I', 'F', 'F', 52, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0,
                              1, 0, 2, 0, 0x80, 0xBB, 0, 0, 0x00, 0xEE, 2, 0, 4, 0, 16, 0, 'd', 'a', 't', 'a', 16, 0, 0, 0};
    std::vector<uint8_t> data = Samples(16);
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) { memcpy(&b[at], &v, 4); }
void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) { memcpy(&b[at], &v, 2); }

std::string Saved(const std::vector<uint8_t>& image) {
    const std::string dir = TestDirectory("wav");
    EXPECT_TRUE(host::MakeDirectories(dir));
    const std::string path = dir + "/in.wav";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), (std::streamsize)image.size());
    return path;
}

struct BadCase {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> edit;
    const char* reason;  // part of the error text
};

void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }

class WavRefusal : public E2eTest, public ::testing::WithParamInterface<BadCase> {};

TEST_P(WavRefusal, NamesTheFileAndWhatIsWrong) {
    std::vector<uint8_t> image = Plain();
    GetParam().edit(image);
    const std::string path = Saved(image);
    host::WavReader reader;
    std::string error;
    EXPECT_FALSE(reader.Open(path, &error));
    EXPECT_THAT(error, HasSubstr(path));
    EXPECT_THAT(error, HasSubstr(GetParam().reason));
}

INSTANTIATE_TEST_SUITE_P(
    Files, WavRefusal,
    ::testing::Values(BadCase{"NotRiff", [](std::vector<uint8_t>& b) { b[0] = 'X'; }, "not"},
                      BadCase{"Cut", [](std::vector<uint8_t>& b) { b.resize(11); }, "not"},
                      BadCase{"NoChannels", [](std::vector<uint8_t>& b) { Put16(b, 22, 0); }, "hannel"},
                      BadCase{"ThirtyThreeChannels", [](std::vector<uint8_t>& b) { Put16(b, 22, 33); }, ""},
                      BadCase{"NoRate", [](std::vector<uint8_t>& b) { Put32(b, 24, 0); }, ""},
                      BadCase{"ALaw", [](std::vector<uint8_t>& b) { Put16(b, 20, 6); Put16(b, 34, 8); Put16(b, 32, 2);
                                                                     Put32(b, 28, 96000); }, "sample format"},
                      BadCase{"NoData", [](std::vector<uint8_t>& b) { b.resize(36); }, ""}),
    [](const auto& info) { return std::string(info.param.name); });

struct AcceptedCase {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> edit;
    USHORT bits;
    bool isFloat;
    uint64_t frames;
};

void PrintTo(const AcceptedCase& c, std::ostream* os) { *os << c.name; }

class WavAccepted : public E2eTest, public ::testing::WithParamInterface<AcceptedCase> {};

TEST_P(WavAccepted, ReadsInItsContainer) {
    const AcceptedCase& c = GetParam();
    std::vector<uint8_t> image = Plain();
    c.edit(image);
    host::WavReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(Saved(image), &error)) << error;
    EXPECT_EQ(reader.Format().Format.wBitsPerSample, c.bits);
    EXPECT_EQ(WaveSubFormat(reader.Format()) == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, c.isFloat);
    EXPECT_EQ(reader.Frames(), c.frames);
    EXPECT_EQ(ReadAll(reader), std::vector<uint8_t>(image.begin() + 44, image.begin() + 44 + c.frames * 4));
}

INSTANTIATE_TEST_SUITE_P(Files, WavAccepted,
                         ::testing::Values(AcceptedCase{"Plain16", [](std::vector<uint8_t>&) {}, 16, false, 4},
                                           AcceptedCase{"Float", [](std::vector<uint8_t>& b) { Put16(b, 20, 3); Put16(b, 22, 1);
                                                                                               Put16(b, 34, 32); }, 32, true, 4},
                                           AcceptedCase{"TwelveBits", [](std::vector<uint8_t>& b) { Put16(b, 34, 12); }, 16, false, 4}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(E2eTest, ADataChunkClaimingMoreIsReadToTheWholeFramesPresentWithAWarning) {
    std::vector<uint8_t> image = Plain();
    Put32(image, 40, 0xFFFFFFFFu);  // as a streaming writer leaves it
    image.resize(image.size() - 3);
    host::WavReader reader;
    std::string error;
    ASSERT_TRUE(reader.Open(Saved(image), &error)) << error;
    EXPECT_EQ(ReadAll(reader).size(), 12u);  // 3 whole frames of 4 bytes
    EXPECT_THAT(reader.Warning(), HasSubstr("declares 4294967295 bytes, the file holds 13"));
}

TEST_F(E2eTest, ADirectoryIsNamedAsOneForReadingAndWriting) {
    const std::string dir = TestDirectory("wav");
    ASSERT_TRUE(host::MakeDirectories(dir));
    host::WavReader reader;
    host::WavWriter writer;
    std::string error;
    EXPECT_FALSE(reader.Open(dir, &error));
    EXPECT_EQ(error, dir + " is a directory");
    EXPECT_FALSE(writer.Open(dir, Shape(2, 16, false, 3), &error));
    EXPECT_EQ(error, dir + " is a directory");
}

TEST_F(E2eTest, AnUnwritablePathGivesTheSystemsReasonAndLeavesNothing) {
    const std::string dir = TestDirectory("wav");
    host::WavWriter writer;
    std::string error;
    EXPECT_FALSE(writer.Open(dir + "/missing/x.wav", Shape(2, 16, false, 3), &error));
    EXPECT_EQ(error, "cannot write " + dir + "/missing/x.wav: " + std::strerror(ENOENT));
}

TEST_F(E2eTest, AnUnfinishedWavIsRemoved) {
    const std::string dir = TestDirectory("wav");
    ASSERT_TRUE(host::MakeDirectories(dir));
    {
        host::WavWriter writer;
        std::string error;
        ASSERT_TRUE(writer.Open(dir + "/x.wav", Shape(2, 16, false, 3), &error)) << error;
        writer.Write(Samples(64).data(), 64);
    }
    struct stat st;
    EXPECT_NE(stat((dir + "/x.wav.tmp").c_str(), &st), 0);
    EXPECT_NE(stat((dir + "/x.wav").c_str(), &st), 0);
}

TEST_F(E2eTest, TwoWritersOfOnePathDoNotShareATemporaryFile) {
    const std::string dir = TestDirectory("wav");
    ASSERT_TRUE(host::MakeDirectories(dir));
    const WAVEFORMATEXTENSIBLE f = Shape(2, 16, false, 3);
    host::WavWriter first, second;
    std::string error;
    ASSERT_TRUE(first.Open(dir + "/x.wav", f, &error)) << error;
    ASSERT_TRUE(second.Open(dir + "/x.wav", f, &error)) << error;
    const std::vector<uint8_t> a = Samples(400), b(800, 7);
    first.Write(a.data(), a.size());
    second.Write(b.data(), b.size());
    EXPECT_TRUE(first.Finish(&error)) << error;
    EXPECT_TRUE(second.Finish(&error)) << error;
    // The last one to finish is the file, whole.
    host::WavReader reader;
    ASSERT_TRUE(reader.Open(dir + "/x.wav", &error)) << error;
    EXPECT_EQ(ReadAll(reader), b);
}

TEST(Json, KeepsKeyOrderEscapesAndReplacesBytesThatAreNotUtf8) {
    host::Json j = host::Json::object();
    j["b"] = "q\"\\\n\x01";
    j["a"] = host::Json::array({-3, nullptr});
    j["e"] = host::Json::object();
    j["p"] = "dir\xff";
    EXPECT_EQ(host::DumpJson(j),
              "{\n  \"b\": \"q\\\"\\\\\\n\\u0001\",\n  \"a\": [\n    -3,\n    null\n  ],\n  \"e\": {},\n"
              "  \"p\": \"dir\xEF\xBF\xBD\"\n}\n");
}

}  // namespace
}  // namespace e2etest
