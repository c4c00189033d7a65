// The host program as a user runs it (RunHost, as main does): the kinds of
// path --out may name, the header of play's output (the device's stream,
// not the client's), 24-bit files through a device that carries 24 bits in
// 32-bit containers, the microphone file checked against the capture
// stream, stdout that holds only the command's output, and one clear
// message with exit 1 for each kind of bad input.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "portcls/portcls_guids.h"
#include "stream/wave/wave_guids.h"
#include "tests/e2e/e2e_fixture.h"
#include "tools/host/host_cli.h"
#include "tools/host/wav_io.h"

namespace e2etest {
namespace {

using ::testing::HasSubstr;

const std::string kUac2Device = E2E_SOURCE_DIR "/tests/fixtures/usb/uac2_async_device.txt";
const std::string kChipCSpeaker = E2E_SOURCE_DIR "/tests/fixtures/uac1/chip_c_speaker.txt";

struct HostRun {
    int code;
    std::string out, err;
};

HostRun RunUachost(const std::vector<std::string>& args) {
    std::ostringstream out, err;
    const int code = host::RunHost(args, out, err);
    return {code, out.str(), err.str()};
}

std::string Describe(const HostRun& r) { return "exit " + std::to_string(r.code) + "\nstdout:\n" + r.out + "stderr:\n" + r.err; }

WAVEFORMATEXTENSIBLE Pcm(USHORT channels, ULONG rate, USHORT container, USHORT valid, ULONG mask) {
    WAVEFORMATEXTENSIBLE f = {};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.nBlockAlign = (WORD)(channels * container / 8);
    f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
    f.Format.wBitsPerSample = container;
    f.Format.cbSize = 22;
    f.Samples.wValidBitsPerSample = valid;
    f.dwChannelMask = mask;
    SetWaveSubFormat(&f, KSDATAFORMAT_SUBTYPE_PCM);
    return f;
}

// Bytes of frames that do not repeat and use every bit of a sample.
std::vector<uint8_t> Noise(size_t bytes) {
    std::vector<uint8_t> out(bytes);
    uint32_t x = 0x12345678;
    for (uint8_t& b : out) {
        x = x * 1664525u + 1013904223u;
        b = (uint8_t)(x >> 24);
    }
    return out;
}

void WriteWav(const std::string& path, const WAVEFORMATEXTENSIBLE& f, const std::vector<uint8_t>& data) {
    host::WavWriter writer;
    std::string error;
    ASSERT_TRUE(writer.Open(path, f, &error)) << error;
    writer.Write(data.data(), data.size());
    ASSERT_TRUE(writer.Finish(&error)) << error;
}

struct WavFile {
    WAVEFORMATEXTENSIBLE format = {};
    std::vector<uint8_t> data;
};

WavFile ReadWav(const std::string& path) {
    WavFile file;
    host::WavReader reader;
    std::string error;
    EXPECT_TRUE(reader.Open(path, &error)) << error;
    file.format = reader.Format();
    file.data.resize((size_t)reader.Bytes());
    file.data.resize(reader.Read(file.data.data(), file.data.size()));
    return file;
}

// Names in dir other than "." and "..".
std::set<std::string> Entries(const std::string& dir) {
    std::set<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d))
            if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.insert(e->d_name);
        closedir(d);
    }
    return names;
}

mode_t Kind(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_mode & S_IFMT : 0;
}

// ---- the kinds of path --out names ------------------------------------------

enum class PathKind { Nothing, Regular, Link, DanglingLink, Fifo, Socket, CharacterDevice, Dash };

struct OutCase {
    const char* name;
    PathKind kind;
    int code;
    const char* reason;     // part of stderr for a refusal
    const char* written;    // the file that gets the WAV ("" for none)
};

void PrintTo(const OutCase& c, std::ostream* os) { *os << c.name; }

class OutputPathTest : public ::testing::TestWithParam<OutCase> {};

// Makes what the case's path names, in dir; the path.
std::string MakePath(PathKind kind, const std::string& dir) {
    const std::string path = dir + "/out.wav";
    switch (kind) {
        case PathKind::Nothing: break;
        case PathKind::Regular: std::ofstream(path) << "old contents"; break;
        case PathKind::Link:
            std::ofstream(dir + "/target.wav") << "old contents";
            EXPECT_EQ(symlink("target.wav", path.c_str()), 0);
            break;
        case PathKind::DanglingLink: EXPECT_EQ(symlink("target.wav", path.c_str()), 0); break;
        case PathKind::Fifo: EXPECT_EQ(mkfifo(path.c_str(), 0644), 0); break;
        case PathKind::Socket: {
            // Bound through the directory's descriptor: a socket's address
            // is too short for the whole path.
            const int d = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
            const int s = socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un address = {};
            address.sun_family = AF_UNIX;
            std::snprintf(address.sun_path, sizeof(address.sun_path), "/proc/self/fd/%d/out.wav", d);
            EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0) << std::strerror(errno);
            close(s);
            close(d);
            break;
        }
        case PathKind::CharacterDevice:
            // A node of the null device in the test's own directory: a
            // write through it would go nowhere.
            if (mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) return "";
            break;
        case PathKind::Dash: return "-";
    }
    return path;
}

TEST_P(OutputPathTest, RegularFilesAndLinksAreReplacedWholeAndAnythingElseIsRefusedUntouched) {
    const OutCase& c = GetParam();
    const std::string dir = TestDirectory("out");
    ASSERT_TRUE(host::MakeDirectories(dir));
    const std::string path = MakePath(c.kind, dir);
    if (path.empty()) GTEST_SKIP() << "no character device node can be made here: " << std::strerror(errno);
    const std::set<std::string> before = Entries(dir);
    const mode_t kindBefore = Kind(path);
    const bool dashBefore = Kind("-") != 0;

    const HostRun run = RunUachost({"--quiet", "play", "--tone", "1000:-20:0.05", "--out", path});
    EXPECT_EQ(run.code, c.code) << Describe(run);
    EXPECT_THAT(run.err, HasSubstr(c.reason));
    if (c.kind == PathKind::Dash && !dashBefore) {
        EXPECT_EQ(Kind("-"), 0u) << "a file named - was made";
        unlink("-");
    }
    if (*c.written != 0) {
        const WavFile wav = ReadWav(dir + "/" + c.written);
        EXPECT_EQ(wav.format.Format.nChannels, 2);
        EXPECT_GT(wav.data.size(), 0u);
    }
    // A link stays a link and anything refused keeps its kind.
    if (c.kind != PathKind::Nothing && c.kind != PathKind::Regular) {
        EXPECT_EQ(Kind(path), kindBefore);
    }
    // Nothing is left beside the output but the output itself.
    std::set<std::string> expected = before;
    if (*c.written != 0) expected.insert(c.written);
    EXPECT_EQ(Entries(dir), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, OutputPathTest,
    ::testing::Values(OutCase{"Nothing", PathKind::Nothing, 0, "", "out.wav"},
                      OutCase{"RegularFile", PathKind::Regular, 0, "", "out.wav"},
                      OutCase{"LinkToAFile", PathKind::Link, 0, "", "target.wav"},
                      OutCase{"LinkToNothing", PathKind::DanglingLink, 0, "", "target.wav"},
                      OutCase{"Fifo", PathKind::Fifo, 1, "out.wav: it is a FIFO, not a regular file", ""},
                      OutCase{"Socket", PathKind::Socket, 1, "out.wav: it is a socket, not a regular file", ""},
                      OutCase{"CharacterDevice", PathKind::CharacterDevice, 1,
                              "out.wav: it is a character device, not a regular file", ""},
                      OutCase{"Dash", PathKind::Dash, 1, "cannot write -: a WAV file is written to a named file", ""}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- play's output describes the device's bytes -----------------------------

TEST(HostProgramTest, PlayOutputOfAnEightChannelClientIntoAStereoStreamIsAStereoFileOfTheReceivedFrames) {
    const std::string dir = TestDirectory("wire");
    ASSERT_TRUE(host::MakeDirectories(dir));
    const HostRun run = RunUachost({"--device", kChipCSpeaker, "--quiet", "play", "--tone", "1000:-20:0.5", "--out", dir + "/out.wav"});
    ASSERT_EQ(run.code, 0) << Describe(run);
    ASSERT_THAT(run.out, HasSubstr("played 24000 frames of 8 ch 48000 Hz"));
    unsigned long long lead = 0, signal = 0, tail = 0;
    const char* at = std::strstr(run.out.c_str(), "received ");
    ASSERT_NE(at, nullptr);
    ASSERT_EQ(std::sscanf(at, "received %llu frames of lead-in silence, %llu played frames and %llu", &lead, &signal, &tail), 3);
    // Read by libsndfile itself, nothing of the host's reader.
    SF_INFO info = {};
    SNDFILE* file = sf_open((dir + "/out.wav").c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.samplerate, 48000);
    EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, SF_FORMAT_PCM_16);
    EXPECT_EQ((unsigned long long)info.frames, lead + signal + tail);
    // The tone is on the two channels the speaker keeps.
    std::vector<short> samples((size_t)(info.frames * info.channels));
    const sf_count_t read = sf_readf_short(file, samples.data(), info.frames);
    sf_close(file);
    ASSERT_EQ(info.channels, 2);
    ASSERT_EQ(read, info.frames);
    short peak = 0;
    for (size_t i = 2 * lead; i < 2 * (lead + signal); i++) peak = std::max<short>(peak, (short)std::abs(samples[i]));
    EXPECT_NEAR(peak, 3277, 60) << "-20 dBFS is a peak of 3277";
}

// ---- 24 bits in 32-bit containers --------------------------------------------

struct Wide24Case {
    const char* name;
    USHORT container;  // of the file played: 24, or 32 with 24 valid bits
};

void PrintTo(const Wide24Case& c, std::ostream* os) { *os << c.name; }

class Wide24Test : public ::testing::TestWithParam<Wide24Case> {};

TEST_P(Wide24Test, PlaysBitExactOnADeviceOfTwentyFourBitsInFourBytesAndIsWrittenAsTwentyFourBitPcm) {
    const std::string dir = TestDirectory("wide24");
    ASSERT_TRUE(host::MakeDirectories(dir));
    const USHORT container = GetParam().container;
    const size_t frames = 9600;
    std::vector<uint8_t> data = Noise(frames * 2 * container / 8);
    if (container == 32)
        for (size_t i = 0; i < data.size(); i += 4) data[i] = 0;  // 24 valid bits, left-aligned
    WriteWav(dir + "/in.wav", Pcm(2, 48000, container, 24, 0x3), data);
    ASSERT_EQ(ReadWav(dir + "/in.wav").format.Samples.wValidBitsPerSample, 24) << "valid bits not read";

    const HostRun run = RunUachost({"--device", kUac2Device, "--speed", "high", "--quiet", "play", "--wav", dir + "/in.wav",
                             "--out", dir + "/out.wav"});
    ASSERT_EQ(run.code, 0) << Describe(run);
    EXPECT_THAT(run.out, HasSubstr("played 9600 frames of 2 ch 48000 Hz 24/32 bit PCM"));
    const WavFile out = ReadWav(dir + "/out.wav");
    EXPECT_EQ(out.format.Format.wBitsPerSample, 24) << "24 valid bits in 32 are written as 24-bit PCM";
    // The file's samples as 3 bytes each: the played ones after the lead-in.
    std::vector<uint8_t> played;
    for (size_t i = 0; i < data.size(); i += container / 8)
        played.insert(played.end(), data.begin() + (ptrdiff_t)(i + container / 8 - 3), data.begin() + (ptrdiff_t)(i + container / 8));
    size_t lead = 0;
    while (lead + 6 <= out.data.size() && std::all_of(out.data.begin() + (ptrdiff_t)lead, out.data.begin() + (ptrdiff_t)lead + 6,
                                                       [](uint8_t b) { return b == 0; }))
        lead += 6;
    ASSERT_GE(out.data.size(), lead + played.size());
    EXPECT_TRUE(std::equal(played.begin(), played.end(), out.data.begin() + (ptrdiff_t)lead)) << "not bit-exact";
}

INSTANTIATE_TEST_SUITE_P(Files, Wide24Test,
                         ::testing::Values(Wide24Case{"ThreeBytePcm", 24}, Wide24Case{"ExtensibleValid24In32", 32}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HostProgramTest, ARecordingOfTwentyFourBitsInFourBytesIsTheMicrophoneFileBitExactAsTwentyFourBitPcm) {
    const std::string dir = TestDirectory("wide24");
    ASSERT_TRUE(host::MakeDirectories(dir));
    // The device's capture stream runs at 192 kHz.
    const std::vector<uint8_t> data = Noise(19200 * 2 * 3);
    WriteWav(dir + "/mic.wav", Pcm(2, 192000, 24, 24, 0x3), data);
    const HostRun run = RunUachost({"--device", kUac2Device, "--speed", "high", "--mic-wav", dir + "/mic.wav", "--quiet",
                             "record", "--seconds", "0.1", "--out", dir + "/rec.wav"});
    ASSERT_EQ(run.code, 0) << Describe(run);
    EXPECT_THAT(run.out, HasSubstr("recorded 19200 frames of 2 ch 192000 Hz 24/32 bit PCM"));
    const WavFile rec = ReadWav(dir + "/rec.wav");
    EXPECT_EQ(rec.format.Format.wBitsPerSample, 24);
    EXPECT_EQ(rec.format.Format.nSamplesPerSec, 192000u);
    EXPECT_TRUE(rec.data == data) << "not bit-exact";
    EXPECT_EQ(run.err, "") << "no warning: the file lasts the recording";
}

// ---- stdout holds the command's output ----------------------------------------

TEST(HostProgramTest, StdoutOfShowAndPlayHoldsOnlyTheCommandsOutput) {
    const std::string dir = TestDirectory("stdout");
    ASSERT_TRUE(host::MakeDirectories(dir));
    const HostRun show = RunUachost({"show"});
    EXPECT_EQ(show.code, 0) << Describe(show);
    EXPECT_THAT(show.out, ::testing::StartsWith("device 0x1209:0x7a01"));
    EXPECT_THAT(show.out, ::testing::EndsWith("render mute (node 0): off\n"));
    EXPECT_EQ(show.err, "");
    const HostRun play = RunUachost({"--quiet", "play", "--tone", "1000:-20:0.05", "--out", dir + "/x.wav"});
    EXPECT_EQ(play.code, 0) << Describe(play);
    EXPECT_THAT(play.out, ::testing::MatchesRegex("played [^\n]*written to [^\n]*x\\.wav\n"));
    EXPECT_EQ(play.err, "");
    // Asked for, the report goes to stderr.
    const HostRun verbose = RunUachost({"--verbose", "show"});
    EXPECT_EQ(verbose.out, show.out);
    EXPECT_THAT(verbose.err, HasSubstr("live pool by tag: none\n"));
}

// ---- bad input: one clear message, exit 1 ------------------------------------

struct MessageCase {
    const char* name;
    std::vector<std::string> args;  // "DIR/" is the test's directory
    const char* message;            // the whole line after "uachost: ", or its start
};

void PrintTo(const MessageCase& c, std::ostream* os) { *os << c.name; }

class HostMessageTest : public ::testing::TestWithParam<MessageCase> {};

TEST_P(HostMessageTest, OneClearLineAndExitOne) {
    const MessageCase& c = GetParam();
    const std::string dir = TestDirectory("messages");
    ASSERT_TRUE(host::MakeDirectories(dir));
    // Microphone files: 0.1 s of mono at 44.1 kHz, stereo and mono at 48 kHz.
    WriteWav(dir + "/mono44k.wav", Pcm(1, 44100, 16, 16, 0x4), Noise(4410 * 2));
    WriteWav(dir + "/stereo.wav", Pcm(2, 48000, 16, 16, 0x3), Noise(4800 * 4));
    WriteWav(dir + "/mono.wav", Pcm(1, 48000, 16, 16, 0x4), Noise(4800 * 2));
    std::vector<std::string> args;
    for (std::string a : c.args) {
        for (size_t at; (at = a.find("DIR/")) != std::string::npos;) a.replace(at, 3, dir);
        args.push_back(a);
    }
    const HostRun run = RunUachost(args);
    EXPECT_EQ(run.code, host::kExitBadInput) << Describe(run);
    std::string message = c.message;
    for (size_t at; (at = message.find("DIR/")) != std::string::npos;) message.replace(at, 3, dir);
    std::vector<std::string> lines;
    std::istringstream err(run.err);
    for (std::string line; std::getline(err, line);)
        if (line.rfind("Run uachost --help", 0) != 0) lines.push_back(line);
    ASSERT_EQ(lines.size(), 1u) << Describe(run);
    EXPECT_THAT(lines[0], ::testing::StartsWith("uachost: " + message));
}

INSTANTIATE_TEST_SUITE_P(
    BadInput, HostMessageTest,
    ::testing::Values(
        MessageCase{"MissingDeviceFile", {"--device", "DIR/nosuch.txt", "show"},
                    "cannot open DIR/nosuch.txt: No such file or directory"},
        MessageCase{"VolumeWithAUnit", {"--state", "DIR/state", "set", "--volume", "-6dB"},
                    "--volume: wants a level in dB from -200 to 200 as a plain number (-6, no unit), got -6dB"},
        MessageCase{"VolumeNan", {"--state", "DIR/state", "set", "--volume", "nan"}, "--volume: wants a level in dB"},
        MessageCase{"VolumeInfinite", {"--state", "DIR/state", "set", "--volume", "-inf"}, "--volume: wants a level in dB"},
        MessageCase{"TonePeakAboveFullScale", {"play", "--tone", "1000:3", "--out", "DIR/x.wav"},
                    "--tone: DBFS is the peak level below full scale and must be at most 0, got 3"},
        MessageCase{"RoomOutOfRange", {"--state", "DIR/state", "set", "--room", "5"}, "--room: Value 5 not in range 0 to 2"},
        MessageCase{"OutInADirectoryThatTakesNoFile", {"play", "--tone", "1000:-20:0.05", "--out", "/proc/version"},
                    "cannot write /proc/version: cannot create a file in /proc:"},
        MessageCase{"SetWithoutState", {"set", "--volume", "-3"},
                    "set stores its values in a state directory: without --state DIR nothing is kept"},
        MessageCase{"MisspelledOption", {"--state", "DIR/state", "set", "--volum", "-3"},
                    "unknown option --volum (did you mean --volume?)"},
        MessageCase{"MisspelledGlobalOption", {"--quite", "show"}, "unknown option --quite (did you mean --quiet?)"},
        MessageCase{"MisspelledCommand", {"shwo"}, "unknown command shwo (did you mean show?)"},
        MessageCase{"MicrophoneRate", {"--mic-wav", "DIR/mono44k.wav", "record", "--seconds", "0.1", "--out", "DIR/x.wav"},
                    "--mic-wav DIR/mono44k.wav is 44100 Hz, the capture stream runs at 48000 Hz"},
        MessageCase{"MicrophoneChannels", {"--mic-wav", "DIR/stereo.wav", "record", "--seconds", "0.1", "--out", "DIR/x.wav"},
                    "--mic-wav DIR/stereo.wav has 2 channels, the capture stream 1"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HostProgramTest, AMicrophoneFileThatEndsBeforeTheRecordingWarnsOnceWithTheFrame) {
    const std::string dir = TestDirectory("mic");
    ASSERT_TRUE(host::MakeDirectories(dir));
    WriteWav(dir + "/mono.wav", Pcm(1, 48000, 16, 16, 0x4), Noise(4800 * 2));
    const HostRun run =
        RunUachost({"--mic-wav", dir + "/mono.wav", "--quiet", "record", "--seconds", "0.2", "--out", dir + "/x.wav"});
    EXPECT_EQ(run.code, 0) << Describe(run);
    EXPECT_EQ(run.err, "uachost: warning: --mic-wav " + dir + "/mono.wav ended at frame 4800 of the 9600 recorded; "
                       "the microphone sent silence after it\n");
    const WavFile rec = ReadWav(dir + "/x.wav");
    ASSERT_EQ(rec.data.size(), 9600u * 2);
    EXPECT_EQ(std::vector<uint8_t>(rec.data.begin(), rec.data.begin() + 9600), Noise(4800 * 2));
    EXPECT_EQ(std::vector<uint8_t>(rec.data.begin() + 9600, rec.data.end()), std::vector<uint8_t>(9600, 0));
}

TEST(HostProgramTest, AMonoMicrophoneFileFeedsEveryChannelOfAStereoStream) {
    const std::string dir = TestDirectory("mic");
    ASSERT_TRUE(host::MakeDirectories(dir));
    const std::vector<uint8_t> mono = Noise(19200 * 3);
    WriteWav(dir + "/mono.wav", Pcm(1, 192000, 24, 24, 0x4), mono);
    const HostRun run = RunUachost({"--device", kUac2Device, "--speed", "high", "--mic-wav", dir + "/mono.wav", "--quiet",
                             "record", "--seconds", "0.1", "--out", dir + "/x.wav"});
    ASSERT_EQ(run.code, 0) << Describe(run);
    const WavFile rec = ReadWav(dir + "/x.wav");
    ASSERT_EQ(rec.data.size(), mono.size() * 2);
    for (size_t frame = 0; frame < 19200; frame++)
        for (size_t channel = 0; channel < 2; channel++)
            ASSERT_EQ(memcmp(&rec.data[frame * 6 + channel * 3], &mono[frame * 3], 3), 0) << "frame " << frame;
}

}  // namespace
}  // namespace e2etest
