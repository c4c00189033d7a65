// The remapped family's descriptor rewrite on the reference layout
// (tests/fixtures/uac1/remap_reference.txt): golden outputs for switch
// sets, assembled here from the layout's pieces by hand; descriptors of
// another layout refused without a byte written; and every one of the
// 2^14 switch sets walked for a well-formed result.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "adapter/model/remap_rewrite.h"
#include "platform/usb/descriptor_file.h"
#include "tests/support/kernel_test.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Reference() {
    simusb::DescriptorSet set;
    simusb::DescriptorFileError error;
    const std::string path = std::string(UAC1_FIXTURE_DIR) + "/remap_reference.txt";
    if (!simusb::LoadDescriptorFile(path, simusb::UsbSpeed::Full, &set, &error)) ADD_FAILURE() << error.message;
    return set.configuration;
}

// Switch values by name; the registry defaults otherwise.
REMAP_SWITCHES Switches(std::initializer_list<std::pair<UCHAR REMAP_SWITCHES::*, UCHAR>> changes = {}) {
    REMAP_SWITCHES s = {};
    s.DisableStereoMixRecUnit = 1;
    s.SupportHPOut = 1;
    s.SupportSpdifOut = 1;
    for (const auto& [field, value] : changes) s.*field = value;
    return s;
}

class RemapRewriteTest : public sim::KernelTest {
protected:
    void SetUp() override {
        sim::KernelTest::SetUp();
        m_Reference = Reference();
        ASSERT_GE(m_Reference.size(), (size_t)REMAP_LAYOUT_BYTES);
    }
    Bytes Piece(size_t offset, size_t length) const {
        return Bytes(m_Reference.begin() + offset, m_Reference.begin() + offset + length);
    }
    // The rewrite of the reference; the status and the new bytes.
    NTSTATUS Rewrite(REMAP_SWITCHES* s, Bytes* out) const {
        Bytes bytes = m_Reference;
        ULONG length = 0;
        NTSTATUS status = RewriteRemapConfiguration(bytes.data(), (ULONG)bytes.size(), s, &length);
        if (NT_SUCCESS(status)) {
            EXPECT_LE(length, (ULONG)REMAP_LAYOUT_BYTES);
            bytes.resize(length);
        }
        *out = bytes;
        return status;
    }
    Bytes m_Reference;
};

Bytes& operator+=(Bytes& a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void SetLe16(Bytes* b, size_t at, ULONG v) {
    (*b)[at] = (uint8_t)v;
    (*b)[at + 1] = (uint8_t)(v >> 8);
}

// ---- golden outputs ------------------------------------------------------------------

// The streaming part with the playback alternates of the given channel
// counts kept, the last one at 96 kHz, and the recording interface.
Bytes StreamingPart(const Bytes& ref, std::set<int> alternates, bool recording) {
    Bytes out(ref.begin() + 0xDA, ref.begin() + 0xE3);
    const int channels[] = {8, 2, 4, 6};
    for (int i = 0; i < 4; i++)
        if (alternates.count(channels[i])) out.insert(out.end(), ref.begin() + 0xE3 + 46 * i, ref.begin() + 0xE3 + 46 * (i + 1));
    Bytes last(ref.begin() + 0x19B, ref.begin() + 0x1C6);
    last[24] = 0x00;
    last[25] = 0x77;
    last[26] = 0x01;
    out += last;
    if (recording) out.insert(out.end(), ref.begin() + 0x1C6, ref.begin() + 0x1FD);
    return out;
}

TEST_F(RemapRewriteTest, DefaultsDropStereoMixAndTheSecondUnit) {
    REMAP_SWITCHES s = Switches();
    Bytes out;
    ASSERT_EQ(Rewrite(&s, &out), STATUS_SUCCESS);
    Bytes want = Piece(0, 0x34);  // configuration .. microphone terminal
    want += Piece(0x34, 20);      // units 8, 9
    want += Bytes{25, 0x24, 4, 12, 3, 1, 9, 11, 8, 0x3F, 0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    want += Piece(0x61, 25);  // unit 13, output terminal 3
    want += Piece(0x87, 9);   // recording terminal, source 10
    want += Bytes{9, 0x24, 5, 10, 3, 8, 15, 16, 0};
    want += Piece(0x9A, 44);  // line terminal, units 15, 11, S/PDIF terminal
    want += Piece(0xD0, 10);  // unit 16
    want += StreamingPart(m_Reference, {8, 2, 4, 6}, true);
    // Header: 31 + 12 + 10 + 10 + 25 + 16 + 9 + 9 + 12 + 10 + 10 + 12 + 10.
    SetLe16(&want, 0x12 + 5, 176);
    SetLe16(&want, 2, 485);
    EXPECT_EQ(out, want);
    EXPECT_EQ(s.DisableStereoMixRecUnit, 1);
}

TEST_F(RemapRewriteTest, NoMicrophoneTerminal) {
    REMAP_SWITCHES s = Switches({{&REMAP_SWITCHES::DisableMicInTerminal, 1}});
    Bytes out;
    ASSERT_EQ(Rewrite(&s, &out), STATUS_SUCCESS);
    Bytes want = Piece(0, 0x28);
    want += Bytes{22, 0x24, 4, 12, 2, 1, 11, 8, 0x3F, 0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    want += Piece(0x61, 25);
    want += Piece(0x87, 9);
    want += Bytes{8, 0x24, 5, 10, 2, 15, 16, 0};
    want += Piece(0x9A, 44);
    want += Piece(0xD0, 10);
    want += StreamingPart(m_Reference, {8, 2, 4, 6}, true);
    SetLe16(&want, 0x12 + 5, 31 + 22 + 16 + 9 + 8 + 44 + 10);
    SetLe16(&want, 2, 49 + 22 + 16 + 9 + 8 + 44 + 10 + 291);
    EXPECT_EQ(out, want);
    EXPECT_EQ(s.DisableMicInAAUnit, 1);
    EXPECT_EQ(s.DisableMicInRecUnit, 1);
}

TEST_F(RemapRewriteTest, SixChannelPlayback) {
    REMAP_SWITCHES s = Switches({{&REMAP_SWITCHES::Disable8ChOutSupported, 1}});
    Bytes out;
    ASSERT_EQ(Rewrite(&s, &out), STATUS_SUCCESS);
    Bytes want = Piece(0, 0x34);
    want[0x1C + 7] = 6;
    want[0x1C + 8] = 0x3F;
    want[0x1C + 9] = 0x00;
    want += Piece(0x34, 20);
    // 10 + 3 + ceil(6 x 10 / 8) = 21 bytes.
    want += Bytes{21, 0x24, 4, 12, 3, 1, 9, 11, 6, 0x3F, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    Bytes unit13 = Piece(0x61, 14);
    unit13[0] = 14;
    unit13[13] = 0;
    want += unit13;
    want += Piece(0x71, 9);
    want += Piece(0x87, 9);
    want += Bytes{9, 0x24, 5, 10, 3, 8, 15, 16, 0};
    want += Piece(0x9A, 44);
    want += Piece(0xD0, 10);
    want += StreamingPart(m_Reference, {2, 4, 6}, true);
    const ULONG units = 12 + 20 + 21 + 14 + 9 + 9 + 44 + 10;
    SetLe16(&want, 0x12 + 5, 31 + units);
    SetLe16(&want, 2, 49 + units + 9 + 3 * 46 + 43 + 55);
    EXPECT_EQ(out, want);
}

TEST_F(RemapRewriteTest, NoInputTerminalsLeavesPlaybackOnly) {
    REMAP_SWITCHES s = Switches({{&REMAP_SWITCHES::DisableMicInTerminal, 1},
                                 {&REMAP_SWITCHES::DisableLineInTerminal, 1},
                                 {&REMAP_SWITCHES::DisableSpdifInTerminal, 1}});
    Bytes out;
    ASSERT_EQ(Rewrite(&s, &out), STATUS_SUCCESS);
    Bytes want = Piece(0, 0x28);
    Bytes unit13 = Piece(0x61, 16);
    unit13[4] = 1;  // the mixer is gone
    want += unit13;
    want += Piece(0x71, 9);
    want += StreamingPart(m_Reference, {8, 2, 4, 6}, false);
    SetLe16(&want, 0x12 + 5, 31 + 16);
    SetLe16(&want, 2, 49 + 16 + 9 + 4 * 46 + 43);
    EXPECT_EQ(out, want);
}

// Mended: a lone stereo-mix recording input becomes the recording
// terminal's source in place of the removed selector.
TEST_F(RemapRewriteTest, LoneStereoMixBecomesTheRecordingTerminalsSource) {
    REMAP_SWITCHES s = Switches({{&REMAP_SWITCHES::DisableStereoMixRecUnit, 0},
                                 {&REMAP_SWITCHES::DisableMicInRecUnit, 1},
                                 {&REMAP_SWITCHES::DisableLineInRecUnit, 1},
                                 {&REMAP_SWITCHES::DisableSpdifInTerminal, 1}});
    Bytes out;
    ASSERT_EQ(Rewrite(&s, &out), STATUS_SUCCESS);
    Bytes want = Piece(0, 0x34);
    want += Piece(0x3E, 10);  // unit 9
    want += Piece(0x48, 25);  // the mixer as it was: inputs 1, 9, 11, 8 channels
    std::fill(want.end() - 14, want.end(), 0);
    want += Piece(0x61, 38);  // unit 13, output terminal 3, unit 14
    want += Piece(0x87, 9);     // recording terminal
    want[want.size() - 2] = 2;  // bSourceID: the stereo-mix unit
    want += Piece(0x9A, 12);  // line terminal
    want += Piece(0xB0, 10);  // unit 11
    want += Piece(0xC6, 10);  // unit 2
    want += StreamingPart(m_Reference, {8, 2, 4, 6}, true);
    const ULONG units = 12 + 10 + 25 + 16 + 13 + 9 + 12 + 10 + 10;
    SetLe16(&want, 0x12 + 5, 31 + units);
    SetLe16(&want, 2, 49 + units + 291);
    EXPECT_EQ(out, want);
}

// Mended: with an input terminal left but no recording input, the
// recording terminal and interface go instead of naming the removed
// selector.
TEST_F(RemapRewriteTest, NoRecordingInputDropsTheRecordingPath) {
    REMAP_SWITCHES s = Switches({{&REMAP_SWITCHES::DisableMicInRecUnit, 1},
                                 {&REMAP_SWITCHES::DisableLineInTerminal, 1},
                                 {&REMAP_SWITCHES::DisableSpdifInTerminal, 1}});
    Bytes out;
    ASSERT_EQ(Rewrite(&s, &out), STATUS_SUCCESS);
    Bytes want = Piece(0, 0x34);
    want += Piece(0x3E, 10);  // unit 9
    want += Bytes{22, 0x24, 4, 12, 2, 1, 9, 8, 0x3F, 0x06, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    want += Piece(0x61, 25);
    want += StreamingPart(m_Reference, {8, 2, 4, 6}, false);
    const ULONG units = 12 + 10 + 22 + 16;
    SetLe16(&want, 0x12 + 5, 31 + units);
    SetLe16(&want, 2, 49 + units + 9 + 4 * 46 + 43);
    EXPECT_EQ(out, want);
}

// ---- refusals ------------------------------------------------------------------------

struct LayoutCase {
    const char* name;
    size_t offset;  // byte changed (SIZE_MAX: none)
    uint8_t value;
    size_t held;  // bytes held (0: all)
};

std::ostream& operator<<(std::ostream& out, const LayoutCase& c) { return out << c.name; }

class RemapLayoutTest : public RemapRewriteTest, public ::testing::WithParamInterface<LayoutCase> {};

TEST_P(RemapLayoutTest, AnotherLayoutIsRefusedUntouched) {
    const LayoutCase& c = GetParam();
    Bytes bytes = m_Reference;
    if (c.offset != SIZE_MAX) bytes[c.offset] = c.value;
    const Bytes before = bytes;
    REMAP_SWITCHES s = Switches();
    const REMAP_SWITCHES switchesBefore = s;
    ULONG length = 0;
    EXPECT_EQ(RewriteRemapConfiguration(bytes.data(), c.held ? (ULONG)c.held : (ULONG)bytes.size(), &s, &length),
              STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_EQ(bytes, before);
    EXPECT_EQ(memcmp(&s, &switchesBefore, sizeof(s)), 0);
}

INSTANTIATE_TEST_SUITE_P(Table, RemapLayoutTest,
                         ::testing::Values(LayoutCase{"Held508", SIZE_MAX, 0, 508},
                                           LayoutCase{"MixerLength", 0x48, 24, 0},
                                           LayoutCase{"SelectorSubtype", 0x90 + 2, 6, 0},
                                           LayoutCase{"MicRecordId", 0x34 + 3, 7, 0},
                                           LayoutCase{"StreamingTerminalId", 0x1C + 3, 2, 0},
                                           LayoutCase{"LastAlternateType", 0x19B + 1, 0x24, 0},
                                           LayoutCase{"RecordingLength", 0x1C6, 10, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RemapRewriteTest, EightAndSixChannelSwitchesTogetherFail) {
    REMAP_SWITCHES s = Switches({{&REMAP_SWITCHES::Disable8ChOutSupported, 1}, {&REMAP_SWITCHES::Disable6ChOutSupported, 1}});
    Bytes out;
    EXPECT_EQ(Rewrite(&s, &out), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(out, m_Reference);
}

// ---- every switch set -------------------------------------------------------------------

// What a rewritten descriptor must be: a chain of descriptors ending
// exactly at wTotalLength, an AC header counting its own part, and every
// source and terminal link naming an entity that is there.
std::string CheckWalk(const Bytes& b) {
    const ULONG total = b[2] | b[3] << 8;
    if (total != b.size()) return "wTotalLength differs from the bytes written";
    std::set<int> ids;
    std::vector<std::pair<int, int>> links;  // (entity, source)
    std::vector<int> terminalLinks;
    size_t at = 0, header = 0, firstStreaming = 0;
    while (at < b.size()) {
        const uint8_t* d = &b[at];
        if (d[0] < 2 || at + d[0] > b.size()) return "a descriptor runs past the end";
        if (d[1] == 0x04 && d[5] == 1 && d[6] == 2 && firstStreaming == 0) firstStreaming = at;
        if (d[1] == 0x24 && firstStreaming == 0) {
            switch (d[2]) {
            case 1: header = at; break;
            case 2: ids.insert(d[3]); break;
            case 3: ids.insert(d[3]); links.push_back({d[3], d[7]}); break;
            case 4:
            case 5:
                ids.insert(d[3]);
                for (int i = 0; i < d[4]; i++) links.push_back({d[3], d[5 + i]});
                break;
            case 6: ids.insert(d[3]); links.push_back({d[3], d[4]}); break;
            }
        }
        if (d[1] == 0x24 && firstStreaming != 0 && d[2] == 1) terminalLinks.push_back(d[3]);
        at += d[0];
    }
    if (header == 0 || firstStreaming == 0) return "no header or no streaming interface";
    if ((ULONG)(b[header + 5] | b[header + 6] << 8) != firstStreaming - header) return "AC header length wrong";
    for (auto [entity, source] : links)
        if (!ids.count(source))
            return "entity " + std::to_string(entity) + " names missing source " + std::to_string(source);
    for (int link : terminalLinks)
        if (!ids.count(link)) return "a streaming interface links missing terminal " + std::to_string(link);
    return "";
}

TEST_F(RemapRewriteTest, EverySwitchSetGivesAWellFormedDescriptor) {
    std::set<Bytes> distinct;
    for (ULONG bits = 0; bits < (1u << REMAP_SWITCH_COUNT); ++bits) {
        REMAP_SWITCHES s;
        auto* raw = reinterpret_cast<UCHAR*>(&s);
        for (ULONG i = 0; i < REMAP_SWITCH_COUNT; ++i) raw[i] = (UCHAR)((bits >> i) & 1);
        Bytes out;
        const NTSTATUS status = Rewrite(&s, &out);
        if (s.Disable8ChOutSupported && s.Disable6ChOutSupported) {
            ASSERT_EQ(status, STATUS_UNSUCCESSFUL) << bits;
            continue;
        }
        ASSERT_EQ(status, STATUS_SUCCESS) << bits;
        const std::string problem = CheckWalk(out);
        ASSERT_EQ(problem, "") << "switch set 0x" << std::hex << bits;
        distinct.insert(out);
    }
    EXPECT_GT(distinct.size(), 100u);
}

}  // namespace
