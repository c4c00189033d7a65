// The host program against state and device files it cannot use or keep
// (a registry image it cannot write back, a key nested too deep, files too
// large or without end: exit 1 with the reason, nothing loaded, no crash),
// and `play` against a device that does not receive what was played.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>

#include "sim/registry.h"
#include "tests/e2e/e2e_fixture.h"
#include "tests/fakes/stream/formats.h"
#include "tools/host/host_cli.h"
#include "tools/host/host_stream.h"
#include "tools/host/wav_io.h"

namespace e2etest {
namespace {

using ::testing::HasSubstr;

void WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

// A file of comment lines one byte longer than limit.
void WriteOversized(const std::string& path, size_t limit) {
    std::string text;
    const std::string comment = "# " + std::string(97, '-') + "\n";
    while (text.size() <= limit) text += comment;
    text.resize(limit + 1);
    WriteText(path, text);
}

struct StateCase {
    const char* name;
    // Fills the test's directory; args name it "DIR".
    std::function<void(const std::string& dir)> prepare;
    std::vector<std::string> args;
    int code;
    std::string reason;  // on stderr, "DIR" replaced
};

void PrintTo(const StateCase& c, std::ostream* os) { *os << c.name; }

std::string Expand(std::string text, const std::string& dir) {
    for (size_t at = text.find("DIR"); at != std::string::npos; at = text.find("DIR", at + dir.size()))
        text.replace(at, 3, dir);
    return text;
}

class HostStateTest : public ::testing::TestWithParam<StateCase> {};

TEST_P(HostStateTest, ExitsWithTheReason) {
    const StateCase& c = GetParam();
    const std::string dir = TestDirectory("state");
    ASSERT_TRUE(host::MakeDirectories(dir));
    c.prepare(dir);
    std::vector<std::string> args;
    for (const std::string& a : c.args) args.push_back(Expand(a, dir));
    std::ostringstream out, err;
    EXPECT_EQ(host::RunHost(args, out, err), c.code) << err.str();
    EXPECT_THAT(err.str(), HasSubstr(Expand(c.reason, dir)));
}

const std::string kImageHeader = "registry-image 1\n";

INSTANTIATE_TEST_SUITE_P(
    Files, HostStateTest,
    ::testing::Values(
        // The image cannot be replaced (its temporary name is a
        // directory): the set is not reported as stored, whoever runs it.
        StateCase{"SetWhoseImageCannotBeWritten",
                  [](const std::string& dir) {
                      WriteText(dir + "/registry.txt", kImageHeader);
                      mkdir((dir + "/registry.txt.tmp").c_str(), 0755);
                  },
                  {"--state", "DIR", "set", "--volume", "-3"},
                  host::kExitBadInput,
                  "the settings were not stored in DIR/registry.txt: cannot create DIR/registry.txt.tmp: Is a "
                  "directory"},
        StateCase{"KeyNestedFortyThousandDeep",
                  [](const std::string& dir) {
                      std::string key = "key \"\\Registry";
                      for (int i = 0; i < 40000; i++) key += "\\A";
                      WriteText(dir + "/registry.txt", kImageHeader + key + "\"\n");
                  },
                  {"--state", "DIR", "show"},
                  host::kExitBadInput,
                  "DIR/registry.txt:2: key nested 40000 deep (at most 512 below \\Registry); nothing was loaded"},
        StateCase{"ImageOverTheLimit",
                  [](const std::string& dir) { WriteOversized(dir + "/registry.txt", sim::kRegistryImageMaxBytes); },
                  {"--state", "DIR", "show"},
                  host::kExitBadInput,
                  "DIR/registry.txt: larger than 16 MiB, the largest registry image read; nothing was loaded"},
        StateCase{"ImageWithoutEnd",
                  [](const std::string& dir) {
                      ASSERT_EQ(symlink("/dev/zero", (dir + "/registry.txt").c_str()), 0);
                  },
                  {"--state", "DIR", "show"},
                  host::kExitBadInput,
                  "DIR/registry.txt: larger than 16 MiB, the largest registry image read"},
        StateCase{"DescriptorFileOverTheLimit",
                  [](const std::string& dir) { WriteOversized(dir + "/device.txt", 1 << 20); },
                  {"--device", "DIR/device.txt", "show"},
                  host::kExitBadInput,
                  "DIR/device.txt: larger than 1024 KiB, the largest descriptor file read"},
        StateCase{"DescriptorFileWithoutEnd",
                  [](const std::string&) {},
                  {"--device", "/dev/zero", "show"},
                  host::kExitBadInput,
                  "/dev/zero: larger than 1024 KiB, the largest descriptor file read"}),
    [](const auto& info) { return std::string(info.param.name); });

// The class 2.0 device with its first streaming setting numbered 0 twice:
// its sink takes the stereo 16-bit frames in the wider frames of the other
// setting numbered 0, and a frame that does not fill one is lost. The
// number of frames still adds up (silence follows at the end).
const std::string kTwoSettingsZero = std::string(E2E_SOURCE_DIR) + "/tests/e2e/devices/uac2_two_settings_zero.txt";

TEST_F(E2eTest, PlayNamesThePlayedFrameTheDeviceDidNotReceive) {
    ASSERT_EQ(StartSession(kTwoSettingsZero, "", simusb::UsbSpeed::High), STATUS_SUCCESS);
    const WAVEFORMATEXTENSIBLE format = streamfakes::PcmFormat(2, 48000, 16);
    // A ramp that does not repeat within the run.
    std::vector<uint8_t> played(24000 * 4);
    for (size_t n = 0; n < 24000; n++) {
        const uint16_t left = (uint16_t)(n + 1), right = (uint16_t)~n;
        played[4 * n] = (uint8_t)left;
        played[4 * n + 1] = (uint8_t)(left >> 8);
        played[4 * n + 2] = (uint8_t)right;
        played[4 * n + 3] = (uint8_t)(right >> 8);
    }
    host::StreamRun run = host::Play(Session(), format, played, nullptr);
    ASSERT_EQ(run.status, STATUS_SUCCESS) << run.error;
    EXPECT_EQ(run.signalFrames, run.playedFrames);
    ASSERT_GE(run.firstMissingFrame, 0);
    // The frame named is the first the device got otherwise.
    const size_t lead = run.leadFrames * 4, missing = (size_t)run.firstMissingFrame * 4;
    ASSERT_GE(run.bytes.size(), lead + played.size());
    EXPECT_EQ(memcmp(run.bytes.data() + lead, played.data(), missing), 0);
    EXPECT_NE(memcmp(run.bytes.data() + lead + missing, played.data() + missing, 4), 0);
    EXPECT_EQ(host::PlaybackShortfall(run), "played frame " + std::to_string(run.firstMissingFrame) +
                                                " is the first the device did not receive as played (in order, "
                                                "after the lead-in)");
}

TEST(HostPlayTest, ExitsTwoNamingTheFirstMissingFrame) {
    const std::string dir = TestDirectory("play");
    ASSERT_TRUE(host::MakeDirectories(dir));
    const WAVEFORMATEXTENSIBLE format = streamfakes::PcmFormat(2, 48000, 16);
    {
        host::WavWriter wav;
        std::string error;
        ASSERT_TRUE(wav.Open(dir + "/tone.wav", format, &error)) << error;
        const std::vector<uint8_t> tone = host::ToneBytes(format, 997, -6, 0.5);
        ASSERT_TRUE(wav.Write(tone.data(), tone.size()));
        ASSERT_TRUE(wav.Finish(&error)) << error;
    }
    std::ostringstream out, err;
    EXPECT_EQ(host::RunHost({"--quiet", "--device", kTwoSettingsZero, "--speed", "high", "play", "--wav",
                             dir + "/tone.wav", "--out", dir + "/out.wav"},
                            out, err),
              host::kExitDriverFailure);
    EXPECT_THAT(err.str(), ::testing::ContainsRegex("uachost: played frame [0-9]+ is the first the device did not "
                                                    "receive as played"));
    // The same file on the device as built plays whole.
    std::ostringstream out2, err2;
    EXPECT_EQ(host::RunHost({"--quiet", "--device", std::string(E2E_SOURCE_DIR) + "/tests/fixtures/usb/uac2_async_device.txt",
                             "--speed", "high", "play", "--wav", dir + "/tone.wav", "--out", dir + "/out.wav"},
                            out2, err2),
              host::kExitOk)
        << err2.str();
}

}  // namespace
}  // namespace e2etest
