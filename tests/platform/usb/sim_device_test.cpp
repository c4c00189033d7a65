#include <gtest/gtest.h>

#include <functional>

#include "platform/usb/sim_device.h"

namespace {

using simusb::Bytes;
using simusb::ControlResult;
using simusb::SetupPacket;
using simusb::SimDevice;

constexpr USHORT kMute1 = 0x01, kVolume1 = 0x02, kBass1 = 0x04, kTreble1 = 0x10;

// UAC 1.0 device exercising every 1.0 row of the request catalogue:
// feature unit 2 with a vendor block, selector 7 with two inputs, output
// terminal 3 with selectable types and a jack.
simusb::DescriptorSet CatalogueUac1() {
    simusb::DescriptorSet set = simusb::BuildUac1Headset();
    simusb::ConfigBuilder c;
    c.Configuration()
        .Interface(0, 0, 1, 1, 0)
        .Uac1Header({1})
        .Uac1InputTerminal(1, 0x0101, 2, 0x3)
        .Uac1FeatureUnit(2, 1, 2, {kMute1 | kBass1 | kTreble1, kVolume1, kVolume1})
        .Uac1OutputTerminal(3, 0x0301, 2)
        .Uac1InputTerminal(4, 0x0201, 1, 0)
        .SelectorUnit(7, {4, 2})
        .Uac1OutputTerminal(6, 0x0101, 7)
        .Interface(1, 0, 1, 2, 0)
        .Interface(1, 1, 1, 2, 0)
        .Uac1AsGeneral(1, 1, 1)
        .Uac1FormatTypeI(2, 2, 16, {48000, 44100})
        .AudioEndpoint(0x01, 0x09, 196, 1)
        .Uac1IsoEndpoint(0x01);
    set.configuration = c.Build();
    return set;
}

// Vendor control block: 16 bytes, L, control size 2, channel 0 with 0x8B.
Bytes VendorBlock1() {
    Bytes b(16, 0xEE);
    b.insert(b.end(), {23, 0, 2, 0x00, 0x04, 0x00, 0x00});
    return b;
}

void Prepare(SimDevice& d, int version) {
    auto& m = d.model();
    if (version == 1) {
        m.SetMemory(2, VendorBlock1());
        m.SetTerminalTypes(3, {0x0301, 0x0302});
    } else {
        Bytes block(16, 0);
        block.insert(block.end(), {22, 0, 0x00, 0x00, 0x00, 0xC0});  // 0x90 on channel 0
        m.SetMemory(2, block);
        m.SetTerminalTypes(3, {0x0302, 0x0301});
    }
    m.SetJacks(3, {{0x3, 0x00041000}});
    m.SetConnectedMask(3, 0x3);
    uint8_t none = 0;
    d.HandleControlTransfer({0x00, USB_REQUEST_SET_CONFIGURATION, 1, 0, 0}, &none, 0);
}

struct Step {
    SetupPacket setup;
    Bytes out;        // data stage of a SET
    bool stall;       // expected STALL
    Bytes expected;   // answer of a GET
};

struct CatalogueCase {
    const char* name;
    int version;
    std::vector<Step> steps;
};

Step Get(UCHAR type, UCHAR req, USHORT value, USHORT index, USHORT length, Bytes expected) {
    return {{type, req, value, index, length}, {}, false, std::move(expected)};
}
Step Set(UCHAR type, UCHAR req, USHORT value, USHORT index, Bytes out) {
    return {{type, req, value, index, (USHORT)out.size()}, out, false, {}};
}
Step Stalls(UCHAR type, UCHAR req, USHORT value, USHORT index, Bytes out = {0, 0, 0, 0}) {
    return {{type, req, value, index, (USHORT)out.size()}, out, true, {}};
}

class CatalogueTest : public ::testing::TestWithParam<CatalogueCase> {};

TEST_P(CatalogueTest, AnswersAndRemembers) {
    const CatalogueCase& c = GetParam();
    SimDevice device(c.version == 1 ? CatalogueUac1() : simusb::BuildUac2AsyncDevice());
    Prepare(device, c.version);
    for (size_t i = 0; i < c.steps.size(); ++i) {
        const Step& s = c.steps[i];
        Bytes buffer = s.out;
        buffer.resize(std::max<size_t>(buffer.size(), s.setup.wLength) + 1, 0xA5);  // canary
        const ControlResult r =
            device.HandleControlTransfer(s.setup, buffer.data(), s.setup.wLength);
        if (s.stall) {
            EXPECT_EQ(r.status, USBD_STATUS_STALL_PID) << "step " << i;
            continue;
        }
        ASSERT_EQ(r.status, USBD_STATUS_SUCCESS) << "step " << i;
        if (s.setup.bmRequestType & 0x80) {
            EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + r.bytes), s.expected) << "step " << i;
        }
        EXPECT_EQ(buffer[s.setup.wLength], 0xA5) << "canary, step " << i;
    }
}

const UCHAR kClassIn = 0xA1, kClassOut = 0x21, kVendorIn = 0xC1, kVendorOut = 0x41;
const UCHAR kEpIn = 0xA2, kEpOut = 0x22;

const std::vector<CatalogueCase> kCatalogue = {
        CatalogueCase{"Uac1FeatureSwitch", 1,
                      {Get(kClassIn, 0x81, 0x0100, 0x0200, 1, {0}),
                       Set(kClassOut, 0x01, 0x0100, 0x0200, {1}),
                       Get(kClassIn, 0x81, 0x0100, 0x0200, 1, {1}),
                       Stalls(kClassIn, 0x81, 0x0101, 0x0200)}},  // no mute on channel 1
        CatalogueCase{"Uac1FeatureLevel", 1,
                      {Get(kClassIn, 0x81, 0x0201, 0x0200, 2, {0x00, 0xF6}),
                       Get(kClassIn, 0x82, 0x0201, 0x0200, 2, {0x00, 0xC4}),
                       Get(kClassIn, 0x83, 0x0202, 0x0200, 2, {0x00, 0x00}),
                       Get(kClassIn, 0x84, 0x0202, 0x0200, 2, {0x00, 0x01}),
                       Set(kClassOut, 0x01, 0x0202, 0x0200, {0x00, 0xFB}),
                       Get(kClassIn, 0x81, 0x0202, 0x0200, 2, {0x00, 0xFB}),
                       Set(kClassOut, 0x01, 0x0202, 0x0200, {0x00, 0x80}),  // -inf clamps
                       Get(kClassIn, 0x81, 0x0202, 0x0200, 2, {0x00, 0xC4}),
                       Set(kClassOut, 0x01, 0x0500, 0x0200, {0xF0}),  // treble -4 dB
                       Get(kClassIn, 0x81, 0x0500, 0x0200, 1, {0xF0}),
                       Get(kClassIn, 0x82, 0x0300, 0x0200, 1, {0xD0}),
                       Stalls(kClassOut, 0x01, 0x0201, 0x0200, {0x00})}},  // short SET
        CatalogueCase{"Uac1MemoryAndVendorSwitch", 1,
                      {Get(kClassIn, 0x85, 0x0010, 0x0200, 2, {23, 0}),
                       Get(kClassIn, 0x85, 0x0000, 0x0200, 23, VendorBlock1()),
                       Get(kVendorIn, 0x81, 0x8B00, 0x0200, 1, {0}),
                       Set(kVendorOut, 0x01, 0x8B00, 0x0200, {1}),
                       Get(kVendorIn, 0x81, 0x8B00, 0x0200, 1, {1}),
                       Stalls(kClassIn, 0x81, 0x8B00, 0x0200),
                       Stalls(kVendorIn, 0x81, 0x8C00, 0x0200)}},
        CatalogueCase{"Uac1Selector", 1,
                      {Get(kClassIn, 0x81, 0x0000, 0x0700, 1, {1}),
                       Set(kClassOut, 0x01, 0x0000, 0x0700, {2}),
                       Get(kClassIn, 0x81, 0x0000, 0x0700, 1, {2}),
                       Set(kClassOut, 0x01, 0x0000, 0x0700, {9}),
                       Get(kClassIn, 0x81, 0x0000, 0x0700, 1, {2}),
                       Get(kClassIn, 0x83, 0x0000, 0x0700, 1, {2})}},
        CatalogueCase{"Uac1TerminalTypes", 1,
                      {Get(kVendorIn, 0x81, 0x0800, 0x0300, 2, {0x01, 0x03}),
                       Get(kVendorIn, 0x86, 0x0800, 0x0300, 2, {2, 0}),
                       Get(kVendorIn, 0x86, 0x0800, 0x0300, 14,
                           {2, 0, 0x01, 0x03, 0, 0, 0, 0, 0x02, 0x03, 0, 0, 0, 0}),
                       Set(kVendorOut, 0x81, 0x0800, 0x0300, {0x02, 0x03}),
                       Get(kVendorIn, 0x81, 0x0800, 0x0300, 2, {0x02, 0x03}),
                       Stalls(kVendorOut, 0x81, 0x0800, 0x0300, {0x05, 0x06}),
                       Stalls(kVendorIn, 0x81, 0x0800, 0x0600)}},  // no type list
        CatalogueCase{"Uac1Jacks", 1,
                      {Get(kVendorIn, 0x81, 0x02FF, 0x0300, 9,
                           {1, 0x03, 0, 0, 0, 0x00, 0x10, 0x04, 0x00}),
                       Get(kVendorIn, 0x81, 0x0200, 0x0300, 6, {2, 0x03, 0, 0, 0, 0}),
                       Stalls(kVendorIn, 0x81, 0x02FF, 0x0400)}},
        CatalogueCase{"Uac1EndpointRate", 1,
                      {Get(kEpIn, 0x81, 0x0100, 0x0001, 3, {0x80, 0xBB, 0x00}),
                       Set(kEpOut, 0x01, 0x0100, 0x0001, {0x44, 0xAC, 0x00}),
                       Get(kEpIn, 0x81, 0x0100, 0x0001, 3, {0x44, 0xAC, 0x00}),
                       Stalls(kEpOut, 0x01, 0x0100, 0x0001, {0x00, 0x77, 0x01}),
                       Stalls(kEpIn, 0x81, 0x0100, 0x0082)}},
        CatalogueCase{"Uac1Unknown", 1,
                      {Stalls(kClassIn, 0x81, 0x0100, 0x6300), Stalls(kClassIn, 0x81, 0x0100, 0x0000),
                       Stalls(0x80, 0x33, 0, 0), Stalls(kVendorIn, 0x02, 0x0051, 0)}},
        CatalogueCase{"Uac2FeatureUnit", 2,
                      {Get(kClassIn, 0x01, 0x0100, 0x0200, 1, {0}),
                       Set(kClassOut, 0x01, 0x0100, 0x0200, {1}),
                       Get(kClassIn, 0x01, 0x0100, 0x0200, 1, {1}),
                       Get(kClassIn, 0x01, 0x0201, 0x0200, 2, {0x00, 0xF6}),
                       Get(kClassIn, 0x02, 0x0201, 0x0200, 8, {1, 0, 0x00, 0xC4, 0, 0, 0x00, 0x01}),
                       Stalls(kClassIn, 0x02, 0x0100, 0x0200),  // no RANGE for a switch
                       Get(kClassIn, 0x03, 0x0010, 0x0200, 2, {22, 0}),
                       Get(kClassIn, 0x01, 0x9000, 0x0200, 1, {0}),
                       Set(kClassOut, 0x01, 0x9000, 0x0200, {1}),
                       Get(kClassIn, 0x01, 0x9000, 0x0200, 1, {1})}},
        CatalogueCase{"Uac2Clock", 2,
                      {Get(kClassIn, 0x01, 0x0100, 0x0A00, 4, {0x80, 0xBB, 0, 0}),
                       Set(kClassOut, 0x01, 0x0100, 0x0A00, {0x44, 0xAC, 0, 0}),
                       Get(kClassIn, 0x01, 0x0100, 0x0A00, 4, {0x44, 0xAC, 0, 0}),
                       Stalls(kClassOut, 0x01, 0x0100, 0x0A00, {0x39, 0x30, 0, 0}),
                       Get(kClassIn, 0x02, 0x0100, 0x0A00, 14,
                           {6, 0, 0x44, 0xAC, 0, 0, 0x44, 0xAC, 0, 0, 0, 0, 0, 0}),
                       Get(kClassIn, 0x01, 0x0200, 0x0A00, 1, {1})}},
        CatalogueCase{"Uac2TerminalsAndStreaming", 2,
                      {Get(kClassIn, 0x01, 0x0800, 0x0300, 2, {0x02, 0x03}),
                       Set(kClassOut, 0x01, 0x0800, 0x0300, {0x01, 0x03}),
                       Get(kClassIn, 0x01, 0x0800, 0x0300, 2, {0x01, 0x03}),
                       Get(kClassIn, 0x02, 0x0800, 0x0300, 2, {2, 0}),
                       Get(kClassIn, 0x02, 0x0800, 0x0300, 14,
                           {2, 0, 0x02, 0x03, 0x02, 0x03, 0, 0, 0x01, 0x03, 0x01, 0x03, 0, 0}),
                       Get(kClassIn, 0x01, 0x02FF, 0x0300, 9, {1, 3, 0, 0, 0, 0, 0x10, 4, 0}),
                       Get(kClassIn, 0x01, 0x0200, 0x0300, 6, {2, 3, 0, 0, 0, 0}),
                       Get(kClassIn, 0x01, 0x0200, 0x0001, 5, {1, 0x07}),
                       Get(kClassIn, 0x01, 0x0100, 0x0001, 1, {0}),
                       Stalls(kVendorIn, 0x01, 0x0800, 0x0300)}}};

INSTANTIATE_TEST_SUITE_P(SimDevice, CatalogueTest, ::testing::ValuesIn(kCatalogue),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SimDeviceStandard, DescriptorsConfigurationAndInterfaces) {
    const simusb::DescriptorSet set = simusb::BuildUac1Headset();
    SimDevice d(set);
    Bytes buf(512, 0);
    auto req = [&](UCHAR type, UCHAR r, USHORT v, USHORT i, USHORT len) {
        return d.HandleControlTransfer({type, r, v, i, len}, buf.data(), len);
    };
    ControlResult r = req(0x80, 6, 0x0100, 0, 64);
    ASSERT_EQ(r.status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + r.bytes), set.device);
    EXPECT_EQ(req(0x80, 6, 0x0200, 0, 9).bytes, 9u);
    EXPECT_EQ(req(0x80, 6, 0x0200, 0, 512).bytes, set.configuration.size());
    EXPECT_EQ(req(0x80, 6, 0x0350, 0x0409, 255).bytes, set.strings.at(0x50).size());
    EXPECT_EQ(req(0x80, 6, 0x0332, 0x0409, 255).status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(req(0x80, 6, 0x0201, 0, 9).status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(req(0x00, 11, 1, 1, 0).status, USBD_STATUS_STALL_PID);  // not configured
    EXPECT_EQ(req(0x00, 9, 2, 0, 0).status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(req(0x00, 9, 1, 0, 0).status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(d.configuration(), 1);
    EXPECT_EQ(req(0x01, 11, 1, 1, 0).status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(req(0x01, 11, 5, 1, 0).status, USBD_STATUS_STALL_PID);
    ASSERT_EQ(req(0x81, 10, 0, 1, 1).bytes, 1u);
    EXPECT_EQ(buf[0], 1);
    ASSERT_NE(d.Sink(0x01), nullptr);
    EXPECT_TRUE(d.Sink(0x01)->running());
    EXPECT_EQ(d.Sink(0x01)->rate(), 48000u);
    d.ResetPort();
    EXPECT_EQ(d.AlternateSetting(1), 0);
    EXPECT_FALSE(d.Sink(0x01)->running());
    EXPECT_EQ(req(0x80, 0, 0, 0, 2).bytes, 2u);  // GET_STATUS
}

TEST(SimDeviceStandard, ServesTheSecondConfigurationAndTheFilesClocks) {
    simusb::DescriptorSet set = simusb::BuildUac2AsyncDevice();
    set.configuration2 = simusb::BuildUac1Headset().configuration;
    set.clocks[10] = {{44100, 44100, 0}, {96000, 96000, 0}};
    SimDevice d(set);
    Bytes buf(1024, 0);
    auto req = [&](UCHAR type, UCHAR r, USHORT v, USHORT i, USHORT len) {
        return d.HandleControlTransfer({type, r, v, i, len}, buf.data(), len);
    };
    ControlResult r = req(0x80, 6, 0x0201, 0, 1024);
    ASSERT_EQ(r.status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + r.bytes), set.configuration2);
    EXPECT_EQ(req(0x80, 6, 0x0202, 0, 9).status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(req(0x80, 6, 0x0200, 0, 1024).bytes, set.configuration.size());
    ASSERT_EQ(req(0x00, 9, 1, 0, 0).status, USBD_STATUS_SUCCESS);
    // Clock source 10 of interface 0: RANGE lists the file's rates, SET CUR
    // takes only those.
    r = req(0xA1, 2, 0x0100, 0x0A00, 26);
    ASSERT_EQ(r.status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + r.bytes),
              (Bytes{2, 0, 0x44, 0xAC, 0, 0, 0x44, 0xAC, 0, 0, 0, 0, 0, 0, 0x00, 0x77, 1, 0,
                     0x00, 0x77, 1, 0, 0, 0, 0, 0}));
    const Bytes rate96 = {0x00, 0x77, 1, 0}, rate48 = {0x80, 0xBB, 0, 0};
    buf.assign(rate48.begin(), rate48.end());
    buf.resize(1024);
    EXPECT_EQ(req(0x21, 1, 0x0100, 0x0A00, 4).status, USBD_STATUS_STALL_PID);
    buf.assign(rate96.begin(), rate96.end());
    buf.resize(1024);
    EXPECT_EQ(req(0x21, 1, 0x0100, 0x0A00, 4).status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(d.model().ClockRate(10), 96000u);
}

TEST(SimDeviceStandard, FileSubrangesOfARangeAreServedAsWritten) {
    simusb::DescriptorSet set = simusb::BuildUac2AsyncDevice();
    set.clocks[10] = {{8000, 192000, 1}};
    SimDevice d(set);
    Bytes buf(64, 0);
    uint8_t none = 0;
    d.HandleControlTransfer({0x00, USB_REQUEST_SET_CONFIGURATION, 1, 0, 0}, &none, 0);
    const ControlResult r = d.HandleControlTransfer({0xA1, 2, 0x0100, 0x0A00, 64}, buf.data(), 64);
    ASSERT_EQ(r.status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(Bytes(buf.begin(), buf.begin() + r.bytes),
              (Bytes{1, 0, 0x40, 0x1F, 0, 0, 0x00, 0xEE, 2, 0, 1, 0, 0, 0}));
}

TEST(SimDeviceFaults, RulesActOnTheNamedReadsAndAreLogged) {
    SimDevice d(simusb::BuildUac1Headset());
    simusb::ControlRule grow;
    grow.bmRequestType = 0x80;
    grow.wValue = 0x0200;
    grow.action = simusb::ControlRule::AlterByte;
    grow.offset = 2;  // wTotalLength changes on the second read only
    grow.value = 0xFF;
    grow.skip = 1;
    grow.count = 1;
    d.AddControlRule(grow);
    Bytes buf(512);
    const SetupPacket config{0x80, 6, 0x0200, 0, 9};
    for (uint8_t expected : {0xD0, 0xFF, 0xD0}) {
        d.HandleControlTransfer(config, buf.data(), 9);
        EXPECT_EQ(buf[2], expected);
    }

    simusb::ControlRule stall;
    stall.bRequest = 0x01;
    stall.count = 1;
    d.AddControlRule(stall);
    d.HandleControlTransfer({0x00, USB_REQUEST_SET_CONFIGURATION, 1, 0, 0}, buf.data(), 0);
    uint8_t mute = 1;
    EXPECT_EQ(d.HandleControlTransfer({0x21, 0x01, 0x0100, 0x0200, 1}, &mute, 1).status,
              USBD_STATUS_STALL_PID);
    LONG value = -1;
    ASSERT_TRUE(d.model().GetValue(2, 1, 0, &value));
    EXPECT_EQ(value, 0);  // the stalled SET had no effect
    EXPECT_EQ(d.HandleControlTransfer({0x21, 0x01, 0x0100, 0x0200, 1}, &mute, 1).status,
              USBD_STATUS_SUCCESS);

    simusb::ControlRule late;
    late.bRequest = 0x81;
    late.action = simusb::ControlRule::Late;
    late.delayMs = 700;
    d.AddControlRule(late);
    ControlResult r = d.HandleControlTransfer({0xA1, 0x81, 0x0100, 0x0200, 1}, buf.data(), 1);
    EXPECT_EQ(r.disposition, simusb::Disposition::Late);
    EXPECT_EQ(r.delayMs, 700u);
    EXPECT_EQ(buf[0], 1);

    const auto log = d.RequestLog();
    ASSERT_GE(log.size(), 6u);
    EXPECT_EQ(log[1].data[2], 0xFF);
    EXPECT_EQ(log.back().disposition, simusb::Disposition::Late);
    EXPECT_EQ(log[log.size() - 2].data, Bytes{1});  // OUT data of the accepted SET
}

TEST(SimDeviceMessages, QueuedStatusReachesTheInterruptEndpoint) {
    SimDevice d(simusb::BuildUac1Headset());
    std::vector<UCHAR> told;
    d.SetInMessageListener([&](UCHAR ep) { told.push_back(ep); });
    d.QueueUac1Status(5);
    d.QueueInMessage(0x83, {0x40, 2, 0x99});
    EXPECT_EQ(told, (std::vector<UCHAR>{0x83, 0x83}));
    uint8_t buf[2];
    ULONG n = 0;
    ASSERT_TRUE(d.TakeInMessage(0x83, buf, 2, &n));
    EXPECT_EQ(Bytes(buf, buf + n), (Bytes{0, 5}));
    ASSERT_TRUE(d.TakeInMessage(0x83, buf, 2, &n));  // cut to the transfer
    EXPECT_EQ(Bytes(buf, buf + n), (Bytes{0x40, 2}));
    EXPECT_FALSE(d.TakeInMessage(0x83, buf, 2, &n));

    SimDevice d2(simusb::BuildUac2AsyncDevice());
    d2.QueueUac2Interrupt(10, 1, 2);
    uint8_t msg[6];
    ASSERT_TRUE(d2.TakeInMessage(0x83, msg, 6, &n));
    EXPECT_EQ(Bytes(msg, msg + n), (Bytes{0, 1, 2, 1, 0, 10}));
}

TEST(SimDeviceHid, SetReportIsLoggedAndGetReportAnswers) {
    simusb::DescriptorSet set = simusb::BuildUac1Headset();
    simusb::ConfigBuilder c;
    c.Configuration().Interface(0, 0, 1, 1, 0).Uac1Header({}).Interface(3, 0, 3, 0, 0)
        .HidDescriptor(30).Endpoint(0x84, 3, 4, 10);
    set.configuration = c.Build();
    SimDevice d(set);
    Bytes hooked;
    d.SetHidReportHook([&](const SetupPacket&, const Bytes& b) { hooked = b; });
    uint8_t reg[4] = {0x20, 0x01, 0x34, 0x12};
    EXPECT_EQ(d.HandleControlTransfer({0x21, 0x09, 0x0200, 3, 4}, reg, 4).status,
              USBD_STATUS_SUCCESS);
    EXPECT_EQ(d.HidSetReports(), (std::vector<Bytes>{Bytes(reg, reg + 4)}));
    EXPECT_EQ(hooked, Bytes(reg, reg + 4));
    uint8_t in[3];
    EXPECT_EQ(d.HandleControlTransfer({0xA1, 0x01, 0x0100, 3, 3}, in, 3).status,
              USBD_STATUS_STALL_PID);
    d.SetHidInputReport(0x0100, {0x10, 0, 0});
    EXPECT_EQ(d.HandleControlTransfer({0xA1, 0x01, 0x0100, 3, 3}, in, 3).bytes, 3u);
    EXPECT_EQ(in[0], 0x10);
}

}  // namespace
