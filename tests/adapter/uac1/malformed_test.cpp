// Malformed descriptors through the whole start (the adapter holds exactly
// what the device delivered): a row per way a descriptor set can lie, each
// ending in its status with nothing read past the held configuration (the
// sanitizer builds check the reads) and nothing left in pool (the scope's
// end checks it).
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "adapter/model/descriptor_cursor.h"
#include "adapter/usb/usb_audio_device.h"
#include "stream/engine/stream_engine.h"
#include "tests/adapter/uac1/model_fixture.h"

namespace uac1test {
namespace {

// A descriptor shortened in place to newLength bytes (its tail dropped, the
// configuration's wTotalLength following).
void Shrink(Bytes* b, size_t at, UCHAR newLength) {
    const size_t old = (*b)[at];
    b->erase(b->begin() + (ptrdiff_t)(at + newLength), b->begin() + (ptrdiff_t)(at + old));
    (*b)[at] = newLength;
    FixTotalLength(b);
}

// Headset fixture: FU 2 <- IT 1, FU 5 <- IT 4; AS interfaces 1 and 2, HID 3.
size_t FeatureUnit(const Bytes& b, UCHAR id) { return FindEntity(b, UAC_FEATURE_UNIT, id); }
// The FORMAT_TYPE right after the n-th AS_GENERAL (class-specific subtype
// 1 number 0 is the Audio Control header).
size_t FormatTypeOf(const Bytes& b, int n) { return FindClassSpecific(b, UAC_AS_GENERAL, n + 1) + 7; }

// ---- the cursor -------------------------------------------------------------------------

struct CursorCase {
    const char* name;
    DESCRIPTOR_SCOPE scope;
    Bytes bytes;
    std::string walk;  // per step: "D<length>", then "end" or "truncated"
};

std::ostream& operator<<(std::ostream& out, const CursorCase& c) { return out << c.name; }

class CursorTest : public ::testing::TestWithParam<CursorCase> {};

TEST_P(CursorTest, YieldsOnlyWholeLongEnoughDescriptors) {
    const CursorCase& k = GetParam();
    // A block of exactly the bytes, so a read past them is a sanitizer report.
    std::unique_ptr<UCHAR[]> block(new UCHAR[k.bytes.size() + 1]);
    std::copy(k.bytes.begin(), k.bytes.end(), block.get());
    CDescriptorCursor cursor(block.get(), (ULONG)k.bytes.size(), k.scope);
    std::string walk;
    for (int step = 0; step < 8; ++step) {
        DESCRIPTOR_VIEW view;
        const CURSOR_RESULT result = cursor.Next(&view);
        if (result == CURSOR_END) {
            walk += "end";
            break;
        }
        if (result == CURSOR_TRUNCATED) {
            walk += "truncated";
            EXPECT_EQ(cursor.Next(&view), CURSOR_TRUNCATED);  // it stays where it stopped
            break;
        }
        EXPECT_EQ(view.Bytes, block.get() + (k.bytes.size() - cursor.Remaining() - view.Length));
        walk += "D" + std::to_string(view.Length) + " ";
    }
    EXPECT_EQ(walk, k.walk);
}

constexpr DESCRIPTOR_SCOPE kAc = DESCRIPTOR_SCOPE_AUDIO_CONTROL;
constexpr DESCRIPTOR_SCOPE kAs = DESCRIPTOR_SCOPE_AUDIO_STREAMING;

INSTANTIATE_TEST_SUITE_P(
    Table, CursorTest,
    ::testing::Values(
        CursorCase{"Empty", kAc, {}, "end"},
        CursorCase{"OneByteLeft", kAc, {9}, "truncated"},
        CursorCase{"BLengthZero", kAc, {0, 0x24, 1}, "truncated"},
        CursorCase{"BLengthOne", kAc, {1, 0x24, 1}, "truncated"},
        CursorCase{"BLengthPastTheEnd", kAc, {5, 0x21, 0}, "truncated"},
        CursorCase{"TwoByteStandardThenEnd", kAc, {2, 0x21}, "D2 end"},
        CursorCase{"ClassSpecificOfTwo", kAs, {2, 0x24}, "truncated"},
        CursorCase{"ClassSpecificUnreadSubtype", kAs, {3, 0x24, 3}, "D3 end"},
        CursorCase{"OutputTerminalOfEight", kAc, {8, 0x24, 3, 16, 1, 3, 0, 1}, "truncated"},
        CursorCase{"OutputTerminalOfNine", kAc, {9, 0x24, 3, 16, 1, 3, 0, 1, 0}, "D9 end"},
        CursorCase{"SelectorWithoutItsCount", kAc, {4, 0x24, 5, 7}, "truncated"},
        CursorCase{"SelectorShortOfItsSources", kAc, {7, 0x24, 5, 7, 2, 1, 2}, "truncated"},
        CursorCase{"SelectorWhole", kAc, {8, 0x24, 5, 7, 2, 1, 2, 0}, "D8 end"},
        CursorCase{"FeatureUnitShortOfItsMaster", kAc, {8, 0x24, 6, 2, 1, 2, 1, 0}, "truncated"},
        CursorCase{"MixerShort", kAc, {10, 0x24, 4, 3, 1, 1, 2, 3, 0, 0}, "truncated"},
        CursorCase{"InputTerminalOfEleven", kAc, {11, 0x24, 2, 1, 1, 1, 0, 2, 3, 0, 0}, "truncated"},
        CursorCase{"AsGeneralOfSix", kAs, {6, 0x24, 1, 1, 1, 1}, "truncated"},
        CursorCase{"FormatTypeOverstatesRates", kAs, {14, 0x24, 2, 1, 2, 2, 16, 3, 0x80, 0xBB, 0, 0x44, 0xAC, 0},
                   "truncated"},
        CursorCase{"FormatTypeRangeOfThirteen", kAs, {13, 0x24, 2, 1, 2, 2, 16, 0, 0x40, 0x1F, 0, 0x80, 0xBB},
                   "truncated"},
        CursorCase{"FormatTypeOneRate", kAs, {11, 0x24, 2, 1, 2, 2, 16, 1, 0x80, 0xBB, 0}, "D11 end"},
        CursorCase{"StreamingInterfaceOfEight", kAs, {8, 4, 1, 1, 1, 1, 2, 0}, "truncated"},
        CursorCase{"InterfaceUnreadInAudioControl", kAc, {8, 4, 1, 1, 1, 1, 2, 0}, "D8 end"},
        CursorCase{"SecondDescriptorTruncated", kAs, {3, 0x24, 9, 9, 0x24, 1}, "D3 truncated"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- whole starts ------------------------------------------------------------------------

struct MalformedCase {
    const char* name;
    std::function<DescriptorSet()> device;
    NTSTATUS status;
};

std::ostream& operator<<(std::ostream& out, const MalformedCase& c) { return out << c.name; }

DescriptorSet EditedHeadset(const std::function<void(Bytes*)>& edit) {
    DescriptorSet set = LoadFixture("headset");
    edit(&set.configuration);
    return set;
}

DescriptorSet SetBLength(size_t (*find)(const Bytes&), UCHAR length) {
    return EditedHeadset([&](Bytes* b) { (*b)[find(*b)] = length; });
}

size_t Fu2(const Bytes& b) { return FeatureUnit(b, 2); }
size_t CaptureFormat(const Bytes& b) { return FormatTypeOf(b, 1); }
size_t LastAcDescriptor(const Bytes& b) { return FindEntity(b, UAC_OUTPUT_TERMINAL, 6); }

// Headset, then interface 4 (Audio Streaming) after the HID interface, whose
// last descriptor runs past the held end.
DescriptorSet TruncatedTailAfterAnotherInterface() {
    return EditedHeadset([](Bytes* b) {
        const Bytes tail = {9, 4, 4, 0, 0, 1, 2, 0, 0,      // interface 4, alternate 0
                            9, 4, 4, 1, 1, 1, 2, 0, 0,      // alternate 1
                            7, 0x24, 1, 1, 1, 1, 0,         // AS_GENERAL -> IT 1
                            14, 0x24, 2, 1, 2, 2, 16, 1};   // FORMAT_TYPE, 8 of its 14 bytes
        b->insert(b->end(), tail.begin(), tail.end());
        FixTotalLength(b);
    });
}

// FU 10 <- FU 11 <- FU 12 <- FU 10 beside IT 1 -> OT 2.
DescriptorSet ThreeCycle() {
    ConfigBuilder c;
    AudioControl(c, {})
        .Uac1InputTerminal(1, 0x0201, 1, 0)
        .Uac1OutputTerminal(2, 0x0101, 1)
        .Uac1FeatureUnit(10, 11, 1, {0x01, 0x00})
        .Uac1FeatureUnit(11, 12, 1, {0x01, 0x00})
        .Uac1FeatureUnit(12, 10, 1, {0x01, 0x00});
    return MakeSet(c.Build());
}

// The configuration's second read (wTotalLength bytes) comes back short.
DescriptorSet ShortSecondRead() { return LoadFixture("headset"); }

class MalformedTest : public ModelTest, public ::testing::WithParamInterface<MalformedCase> {};

TEST_P(MalformedTest, EndsInItsStatus) {
    DescriptorSet set = GetParam().device();
    Plug(set);
    if (std::string(GetParam().name) == "SecondReadShort") {
        simusb::ControlRule rule;
        rule.bmRequestType = 0x80;
        rule.bRequest = USB_REQUEST_GET_DESCRIPTOR;
        rule.wValue = USB_CONFIGURATION_DESCRIPTOR_TYPE << 8;
        rule.action = simusb::ControlRule::Short;
        rule.shortTo = (ULONG)set.configuration.size() - 1;
        rule.skip = 1;  // the 9-byte header read goes through
        Device().AddControlRule(rule);
    }
    EXPECT_EQ(InitAdapter(), GetParam().status);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MalformedTest,
    ::testing::Values(
        MalformedCase{"AcBLengthZero", [] { return SetBLength(Fu2, 0); }, STATUS_UNSUCCESSFUL},
        MalformedCase{"AcBLengthOne", [] { return SetBLength(Fu2, 1); }, STATUS_UNSUCCESSFUL},
        MalformedCase{"AcBLengthTwo", [] { return SetBLength(Fu2, 2); }, STATUS_UNSUCCESSFUL},
        MalformedCase{"AcBLengthPastTheEnd", [] { return SetBLength(LastAcDescriptor, 0xFF); }, STATUS_UNSUCCESSFUL},
        MalformedCase{"AsBLengthZero", [] { return SetBLength(CaptureFormat, 0); }, STATUS_UNSUCCESSFUL},
        MalformedCase{"FormatTypeOverstatesItsRates",
                      [] { return EditedHeadset([](Bytes* b) { (*b)[CaptureFormat(*b) + 7] = 200; }); },
                      STATUS_UNSUCCESSFUL},
        MalformedCase{"FormatTypeShortRange",
                      [] {
                          return EditedHeadset([](Bytes* b) {
                              const size_t at = FormatTypeOf(*b, 0);
                              (*b)[at + 7] = 0;
                              Shrink(b, at, 11);
                          });
                      },
                      STATUS_UNSUCCESSFUL},
        MalformedCase{"AsGeneralShort",
                      [] { return EditedHeadset([](Bytes* b) { Shrink(b, FindClassSpecific(*b, UAC_AS_GENERAL, 1), 6); }); },
                      STATUS_UNSUCCESSFUL},
        MalformedCase{"TruncatedTailAfterAnotherInterface", TruncatedTailAfterAnotherInterface, STATUS_UNSUCCESSFUL},
        MalformedCase{"TotalLengthCutsTheLastFormat",
                      [] {
                          return EditedHeadset([](Bytes* b) {
                              b->resize(CaptureFormat(*b) + 12);
                              FixTotalLength(b);
                          });
                      },
                      STATUS_UNSUCCESSFUL},
        MalformedCase{"SelfSource", [] { return EditedHeadset([](Bytes* b) { (*b)[FeatureUnit(*b, 5) + 4] = 5; }); },
                      STATUS_UNSUCCESSFUL},
        MalformedCase{"TwoCycle",
                      [] {
                          return EditedHeadset([](Bytes* b) {
                              (*b)[FeatureUnit(*b, 2) + 4] = 5;
                              (*b)[FeatureUnit(*b, 5) + 4] = 2;
                          });
                      },
                      STATUS_UNSUCCESSFUL},
        MalformedCase{"ThreeCycle", ThreeCycle, STATUS_UNSUCCESSFUL},
        MalformedCase{"SecondReadShort", ShortSecondRead, STATUS_DEVICE_CONFIGURATION_ERROR}),
    [](const auto& info) { return std::string(info.param.name); });

// The streaming parser on a configuration in a block of exactly its size
// (the transport and the simulated bus refuse some of these shapes before
// a model exists): the model of the headset parses them again.
class DirectStreamingParseTest : public ModelTest {
protected:
    void SetUp() override {
        ModelTest::SetUp();
        Plug(LoadFixture("headset"));
        ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
    }
    // A configuration header (wTotalLength = the whole block) before body.
    NTSTATUS Parse(const Bytes& body, size_t firstInterface = 9) {
        Bytes all = simusb::Concat({9, 2, 0, 0, 1, 1, 0, 0x80, 50}, body);
        FixTotalLength(&all);
        std::unique_ptr<uint8_t[]> block(new uint8_t[all.size()]);
        std::copy(all.begin(), all.end(), block.get());
        const auto* configuration = reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(block.get());
        return Model()->ParseAudioStreaming(configuration, block.get() + firstInterface,
                                            (ULONG)(all.size() - firstInterface));
    }
};

const Bytes kStreamingAlt0 = {9, 4, 1, 0, 0, 1, 2, 0, 0};

TEST_F(DirectStreamingParseTest, ShortInterfaceDescriptorIsTruncated) {
    Bytes body = kStreamingAlt0;
    body.insert(body.end(), {8, 4, 1, 1, 1, 1, 2, 0});
    EXPECT_EQ(Parse(body), STATUS_UNSUCCESSFUL);
}

TEST_F(DirectStreamingParseTest, FirstDescriptorMustBeAnAudioStreamingInterface) {
    EXPECT_EQ(Parse({9, 4, 1, 0, 0, 1, 1, 0, 0}), STATUS_INVALID_PARAMETER);  // Audio Control
    EXPECT_EQ(Parse({9, 4, 1, 0, 0, 1, 2, 1, 0}), STATUS_INVALID_PARAMETER);  // protocol 1
    EXPECT_EQ(Parse({8, 4, 1, 0, 0, 1, 2, 0}), STATUS_INVALID_PARAMETER);     // 8 bytes
    EXPECT_EQ(Parse(kStreamingAlt0), STATUS_SUCCESS);
}

TEST_F(DirectStreamingParseTest, DescriptorOutsideTheConfigurationIsRefused) {
    Bytes all = {9, 2, 18, 0, 1, 1, 0, 0x80, 50};
    all.insert(all.end(), kStreamingAlt0.begin(), kStreamingAlt0.end());
    const Bytes outside = kStreamingAlt0;
    const auto* configuration = reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(all.data());
    EXPECT_EQ(Model()->ParseAudioStreaming(configuration, outside.data(), 9), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Model()->ParseAudioStreaming(nullptr, all.data() + 9, 9), STATUS_INVALID_PARAMETER);
}

// Output terminal 16 of a vendor whose terminal 16 gets corrected, cut to 5
// bytes: refused before anything is written into the descriptor after it.
TEST_F(ModelTest, ShortTerminalSixteenIsNeverPatched) {
    Bytes config = Terminals16And64();
    const size_t ot16 = FindEntity(config, UAC_OUTPUT_TERMINAL, 16);
    Shrink(&config, ot16, 5);
    Plug(MakeSet(config, 0x1B1C, 0x1234));
    ASSERT_EQ(InitAdapter(), STATUS_UNSUCCESSFUL);
    IUsbAudioDevice* usb = nullptr;
    ASSERT_EQ(m_Adapter->QueryInterface(IID_IUsbAudioDevice, reinterpret_cast<PVOID*>(&usb)), STATUS_SUCCESS);
    usb->Release();
    const auto* held = reinterpret_cast<const uint8_t*>(usb->GetConfigurationDescriptor());
    EXPECT_TRUE(std::equal(config.begin(), config.end(), held));
}

// Capture path: OT 50 <- selector 40 {selector 41 (IT 1..9), IT 10,
// selector 42 (IT 11..15), IT 16..21}. The walk's ring holds exactly 20
// ids after selector 42 is expanded and must still take every unit.
TEST_F(ModelTest, RingFilledExactlyLosesNothing) {
    ConfigBuilder c;
    AudioControl(c, {1});
    UCHAR next = 1;
    auto inputs = [&](int n) {
        std::vector<UCHAR> ids;
        for (int i = 0; i < n; ++i) {
            c.Uac1InputTerminal(next, 0x0603, 1, 0);
            ids.push_back(next++);
        }
        return ids;
    };
    const std::vector<UCHAR> wide = inputs(9);
    const std::vector<UCHAR> single = inputs(1);
    const std::vector<UCHAR> five = inputs(5);
    const std::vector<UCHAR> rest = inputs(6);
    c.SelectorUnit(41, wide).SelectorUnit(42, five);
    std::vector<UCHAR> top = {41, single[0], 42};
    top.insert(top.end(), rest.begin(), rest.end());
    c.SelectorUnit(40, top).Uac1OutputTerminal(50, 0x0101, 40);
    Streaming(c, 1, 50, true, 1);
    Plug(MakeSet(c.Build()));
    ASSERT_EQ(InitAdapter(), STATUS_SUCCESS);
    // The output pin, three selectors and 21 input pins.
    EXPECT_EQ(Engine(0)->GetUnitCount(), 25u);
}

}  // namespace
}  // namespace uac1test
