#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "nt/pool.h"
#include "sim/pool.h"
#include "usb/usbd.h"

namespace {

// A small configuration, byte by byte:
//   0 configuration (9)          9 interface 0/0 class 1/1 (9)
//  18 CS_INTERFACE header (9)   27 interface 1/0 class 1/2 (9)
//  36 interface 1/1 class 1/2   45 CS_INTERFACE (7)
//  52 endpoint 0x01 (9)         61 end
std::vector<UCHAR> Configuration() {
    return {
        9, 2, 61, 0, 2, 1, 0, 0x80, 50,
        9, 4, 0, 0, 0, 1, 1, 0, 0,
        9, 0x24, 1, 0, 1, 9, 0, 1, 1,
        9, 4, 1, 0, 0, 1, 2, 0, 0,
        9, 4, 1, 1, 1, 1, 2, 0, 0,
        7, 0x24, 1, 1, 1, 1, 0,
        9, 5, 0x01, 0x09, 0xC4, 0, 1, 0, 0,
    };
}

constexpr long kNone = -1;

struct ParseCase {
    const char* name;
    std::function<void(std::vector<UCHAR>&)> mutate;
    long start;  // offset of StartPosition; may lie outside
    LONG number, alt, cls, subclass, protocol;
    long expected;  // offset of the found interface, or kNone
};

class ParseConfigurationTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseConfigurationTest, FindsOrStops) {
    const ParseCase& c = GetParam();
    std::vector<UCHAR> bytes = Configuration();
    if (c.mutate) c.mutate(bytes);
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
    PUSB_INTERFACE_DESCRIPTOR found = USBD_ParseConfigurationDescriptorEx(
        config, bytes.data() + c.start, c.number, c.alt, c.cls, c.subclass, c.protocol);
    if (c.expected == kNone) {
        EXPECT_EQ(found, nullptr);
    } else {
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(reinterpret_cast<UCHAR*>(found) - bytes.data(), c.expected);
    }
}

void SetByte(std::vector<UCHAR>& b, size_t at, UCHAR v) { b[at] = v; }

INSTANTIATE_TEST_SUITE_P(
    Usbd, ParseConfigurationTest,
    ::testing::Values(
        ParseCase{"AllWildcards", nullptr, 0, -1, -1, -1, -1, -1, 9},
        ParseCase{"ByNumber", nullptr, 0, 1, -1, -1, -1, -1, 27},
        ParseCase{"ByNumberAndAlternate", nullptr, 0, 1, 1, -1, -1, -1, 36},
        ParseCase{"ByClassAndSubclass", nullptr, 0, -1, -1, 1, 2, -1, 27},
        ParseCase{"FromLaterStart", nullptr, 18, -1, 1, 1, 2, -1, 36},
        ParseCase{"StartOnMatch", nullptr, 36, -1, -1, -1, -1, -1, 36},
        ParseCase{"NoProtocolMatch", nullptr, 0, -1, -1, -1, -1, 0x20, kNone},
        ParseCase{"LengthZeroStops", [](auto& b) { SetByte(b, 18, 0); }, 0, 1, -1, -1, -1, -1,
                  kNone},
        ParseCase{"LengthOneStops", [](auto& b) { SetByte(b, 18, 1); }, 0, 1, -1, -1, -1, -1,
                  kNone},
        ParseCase{"FoundBeforeBadLength", [](auto& b) { SetByte(b, 45, 0); }, 0, 1, 1, -1, -1,
                  -1, 36},
        ParseCase{"OverrunStops", [](auto& b) { SetByte(b, 45, 200); }, 0, -1, -1, 7, -1, -1,
                  kNone},
        ParseCase{"TotalLengthCutsInterface", [](auto& b) { SetByte(b, 2, 40); }, 0, 1, 1, -1,
                  -1, -1, kNone},
        ParseCase{"ShortInterfaceNeverMatches",
                  [](auto& b) {
                      SetByte(b, 45, 2);  // shrink the CS descriptor, then a 5-byte "interface"
                      SetByte(b, 47, 5);
                      SetByte(b, 48, 4);
                  },
                  37, -1, -1, -1, -1, -1, kNone},
        ParseCase{"StartAtEnd", nullptr, 61, -1, -1, -1, -1, -1, kNone},
        ParseCase{"StartBeforeBuffer", nullptr, -1, -1, -1, -1, -1, -1, kNone},
        ParseCase{"StartPastTotalLength", [](auto& b) { SetByte(b, 2, 30); }, 36, -1, -1, -1, -1,
                  -1, kNone}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UsbdParseDescriptors, FindsTypeAndStopsAtBadInput) {
    std::vector<UCHAR> bytes = Configuration();
    auto find = [&](long start, LONG type, ULONG total) -> long {
        auto* d = USBD_ParseDescriptors(bytes.data(), total, bytes.data() + start, type);
        return d == nullptr ? kNone : reinterpret_cast<UCHAR*>(d) - bytes.data();
    };
    EXPECT_EQ(find(0, USB_ENDPOINT_DESCRIPTOR_TYPE, 61), 52);
    EXPECT_EQ(find(19 + 8, USB_CS_INTERFACE_DESCRIPTOR_TYPE, 61), 45);
    EXPECT_EQ(find(0, USB_ENDPOINT_DESCRIPTOR_TYPE, 60), kNone);  // endpoint passes the end
    EXPECT_EQ(find(61, USB_ENDPOINT_DESCRIPTOR_TYPE, 61), kNone);
    std::vector<UCHAR> other(61, 9);
    EXPECT_EQ(USBD_ParseDescriptors(bytes.data(), 61, other.data(), USB_ENDPOINT_DESCRIPTOR_TYPE),
              nullptr);
    bytes[27] = 0;
    EXPECT_EQ(find(0, USB_ENDPOINT_DESCRIPTOR_TYPE, 61), kNone);
    EXPECT_EQ(USBD_ParseDescriptors(nullptr, 61, nullptr, 5), nullptr);
}

class CreateConfigurationRequestTest : public ::testing::Test {
protected:
    void SetUp() override { baseline_ = sim::PoolLiveBlocks(); }
    void TearDown() override {
        sim::PoolClearFailures();
        EXPECT_EQ(sim::PoolLiveBlocks(), baseline_) << sim::PoolLeakReport();
    }
    int64_t baseline_ = 0;
};

TEST_F(CreateConfigurationRequestTest, LaysOutInterfacesAndPipes) {
    std::vector<UCHAR> bytes = Configuration();
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
    USBD_INTERFACE_LIST_ENTRY list[3] = {
        {reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(bytes.data() + 9), nullptr},
        {reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(bytes.data() + 36), nullptr},
        {nullptr, nullptr}};
    PURB urb = USBD_CreateConfigurationRequestEx(config, list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(sim::PoolBlockTag(urb), USBD_POOL_TAG);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbHeader.Length, 40 + 24 + 48);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, config);
    auto* base = reinterpret_cast<UCHAR*>(urb);
    ASSERT_EQ(reinterpret_cast<UCHAR*>(list[0].Interface), base + 40);
    ASSERT_EQ(reinterpret_cast<UCHAR*>(list[1].Interface), base + 64);
    EXPECT_EQ(list[0].Interface->Length, 24);
    EXPECT_EQ(list[0].Interface->NumberOfPipes, 0u);
    EXPECT_EQ(list[1].Interface->Length, 48);
    EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
    EXPECT_EQ(list[1].Interface->AlternateSetting, 1);
    EXPECT_EQ(list[1].Interface->NumberOfPipes, 1u);
    EXPECT_EQ(list[1].Interface->Pipes[0].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    EXPECT_EQ(list[1].Interface->Pipes[0].PipeHandle, nullptr);
    ExFreePool(urb);
}

TEST_F(CreateConfigurationRequestTest, RefusesEmptyOversizeAndNoMemory) {
    std::vector<UCHAR> bytes = Configuration();
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
    USBD_INTERFACE_LIST_ENTRY empty[1] = {{nullptr, nullptr}};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(config, empty), nullptr);

    // Eleven interfaces claiming 255 endpoints each need more than 64 KiB.
    USB_INTERFACE_DESCRIPTOR wide{9, 4, 0, 0, 255, 1, 2, 0, 0};
    std::vector<USBD_INTERFACE_LIST_ENTRY> many(12, {nullptr, nullptr});
    for (int i = 0; i < 11; ++i) many[i].InterfaceDescriptor = &wide;
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(config, many.data()), nullptr);
    many[10].InterfaceDescriptor = nullptr;  // ten fit
    PURB urb = USBD_CreateConfigurationRequestEx(config, many.data());
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Length, 40 + 10 * (24 + 255 * 24));
    ExFreePool(urb);

    sim::PoolFailTag(USBD_POOL_TAG);
    USBD_INTERFACE_LIST_ENTRY one[2] = {
        {reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(bytes.data() + 9), nullptr}, {nullptr, nullptr}};
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(config, one), nullptr);
    EXPECT_EQ(one[0].Interface, nullptr);
}

}  // namespace
