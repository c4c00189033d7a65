// Request encoding of the entities: the URB each catalogue row builds and
// the control transfer it becomes on the simulated bus, the rule for
// short answers, the level encodings.
#include <cstring>

#include "tests/topology/uac/uac_fixture.h"
#include "topology/uac_entity.h"

namespace uactest {
namespace {

constexpr UCHAR kEntityId = 0x0A;
constexpr UCHAR kInterface = 2;

class RequestTest : public UacTest {
protected:
    void SetUp() override {
        UacTest::SetUp();
        m_Transport->SetAudioControlInterfaceNumber(kInterface);
        entity = new (NonPagedPoolNx, UAC1_NODE_TAG) CUacEntity(NULL, 0);
        entity->AddRef();
        Bytes d = Descriptor(6, kEntityId, {1, 1, 0x03, 0});
        ASSERT_EQ(entity->SetDescriptor(d.data(), static_cast<IAudioHal*>(m_Model)), STATUS_SUCCESS);
    }
    void TearDown() override {
        if (entity) entity->Release();
        UacTest::TearDown();
    }
    CUacEntity* entity = nullptr;
};

struct RequestCase {
    UAC_REQUEST request;
    USHORT callerValue;  // cs << 8 | channel where the row takes it
    UCHAR catalogueRow;
    USHORT function;     // URB_FUNCTION_CLASS_INTERFACE or _VENDOR_INTERFACE
    UCHAR bmRequestType;
    UCHAR bRequest;
    USHORT wValue;
};

void PrintTo(const RequestCase& c, std::ostream* os) { *os << "request " << (int)c.request; }

class EncodingTest : public RequestTest, public ::testing::WithParamInterface<RequestCase> {};

USHORT Word(const UrbImage& u, size_t at) { return (USHORT)(u[at] | u[at + 1] << 8); }
ULONG Dword(const UrbImage& u, size_t at) { return Word(u, at) | (ULONG)Word(u, at + 2) << 16; }

TEST_P(EncodingTest, UrbAndSetupPacket) {
    const RequestCase& c = GetParam();
    EXPECT_EQ(UAC_REQUEST_TABLE[c.request].CatalogueRow, c.catalogueRow);
    UCHAR buffer[6] = {7, 7, 7, 7, 7, 7};
    ClearLog();
    entity->SendRequest(c.request, c.callerValue, buffer, sizeof(buffer));
    ASSERT_EQ(m_Usb->urbs.size(), 1u);
    const UrbImage& u = m_Usb->urbs[0];
    EXPECT_EQ(Word(u, 0), 0x0088);
    EXPECT_EQ(Word(u, 2), c.function);
    EXPECT_EQ(Dword(u, 32), (c.bmRequestType & 0x80) ? 1u : 0u);
    EXPECT_EQ(Dword(u, 36), sizeof(buffer));
    PVOID transfer = nullptr;
    memcpy(&transfer, u.data() + 40, sizeof(transfer));
    EXPECT_EQ(transfer, buffer);
    for (size_t at = 48; at < 64; ++at) EXPECT_EQ(u[at], 0) << "MDL and link, byte " << at;
    EXPECT_EQ(u[128], 0);
    EXPECT_EQ(u[129], c.bRequest);
    EXPECT_EQ(Word(u, 130), c.wValue);
    EXPECT_EQ(Word(u, 132), 0x0A02);
    auto log = Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].setup.bmRequestType, c.bmRequestType);
    EXPECT_EQ(log[0].setup.bRequest, c.bRequest);
    EXPECT_EQ(log[0].setup.wValue, c.wValue);
    EXPECT_EQ(log[0].setup.wIndex, 0x0A02);
    EXPECT_EQ(log[0].setup.wLength, sizeof(buffer));
    if (!(c.bmRequestType & 0x80)) {
        EXPECT_EQ(log[0].data, Bytes(6, 7));
    }
}

constexpr USHORT kClass = URB_FUNCTION_CLASS_INTERFACE;
constexpr USHORT kVendor = URB_FUNCTION_VENDOR_INTERFACE;

// Transcribed from the catalogue, row by row.
INSTANTIATE_TEST_SUITE_P(
    Rows, EncodingTest,
    ::testing::Values(
        RequestCase{UAC1_FU_GET_CUR_SWITCH, 0x0102, 1, kClass, 0xA1, 0x81, 0x0102},
        RequestCase{UAC1_FU_GET_CUR_SWITCH, 0x8B00, 1, kVendor, 0xC1, 0x81, 0x8B00},
        RequestCase{UAC1_FU_SET_CUR_SWITCH, 0x0100, 2, kClass, 0x21, 0x01, 0x0100},
        RequestCase{UAC1_FU_SET_CUR_SWITCH, 0x8C00, 2, kVendor, 0x41, 0x01, 0x8C00},
        RequestCase{UAC1_FU_GET_CUR_LEVEL, 0x0201, 3, kClass, 0xA1, 0x81, 0x0201},
        RequestCase{UAC1_FU_SET_CUR_LEVEL, 0x0507, 4, kClass, 0x21, 0x01, 0x0507},
        RequestCase{UAC1_FU_SET_CUR_LEVEL, 0x8201, 4, kVendor, 0x41, 0x01, 0x8201},
        RequestCase{UAC1_FU_GET_MIN, 0x0201, 5, kClass, 0xA1, 0x82, 0x0201},
        RequestCase{UAC1_FU_GET_MAX, 0x0201, 5, kClass, 0xA1, 0x83, 0x0201},
        RequestCase{UAC1_FU_GET_RES, 0x0301, 5, kClass, 0xA1, 0x84, 0x0301},
        RequestCase{UAC1_FU_GET_MEM_LENGTH, 0, 6, kClass, 0xA1, 0x85, 0x0010},
        RequestCase{UAC1_FU_GET_MEM, 0, 7, kClass, 0xA1, 0x85, 0x0000},
        RequestCase{UAC1_SU_GET_CUR, 0, 8, kClass, 0xA1, 0x81, 0x0000},
        RequestCase{UAC1_SU_SET_CUR, 0, 8, kClass, 0x21, 0x01, 0x0000},
        RequestCase{UAC1_OT_GET_TYPE, 0, 9, kVendor, 0xC1, 0x81, 0x0800},
        RequestCase{UAC1_OT_SELECT_TYPE, 0, 10, kVendor, 0x41, 0x81, 0x0800},
        RequestCase{UAC1_OT_GET_TYPE_LIST, 0, 11, kVendor, 0xC1, 0x86, 0x0800},
        RequestCase{UAC1_TERMINAL_GET_JACK_LIST, 0, 12, kVendor, 0xC1, 0x81, 0x02FF},
        RequestCase{UAC1_TERMINAL_GET_CONNECTION, 0, 13, kVendor, 0xC1, 0x81, 0x0200},
        RequestCase{UAC2_FU_GET_CUR_SWITCH, 0x9000, 14, kClass, 0xA1, 0x01, 0x9000},
        RequestCase{UAC2_FU_SET_CUR_SWITCH, 0x0102, 14, kClass, 0x21, 0x01, 0x0102},
        RequestCase{UAC2_FU_GET_CUR_LEVEL, 0x8200, 15, kClass, 0xA1, 0x01, 0x8200},
        RequestCase{UAC2_FU_SET_CUR_LEVEL, 0x0201, 15, kClass, 0x21, 0x01, 0x0201},
        RequestCase{UAC2_FU_GET_RANGE, 0x0201, 16, kClass, 0xA1, 0x02, 0x0201},
        RequestCase{UAC2_FU_GET_MEM_LENGTH, 0, 17, kClass, 0xA1, 0x03, 0x0010},
        RequestCase{UAC2_FU_GET_MEM, 0, 17, kClass, 0xA1, 0x03, 0x0000},
        RequestCase{UAC2_CS_GET_FREQ, 0, 18, kClass, 0xA1, 0x01, 0x0100},
        RequestCase{UAC2_CS_SET_FREQ, 0, 18, kClass, 0x21, 0x01, 0x0100},
        RequestCase{UAC2_CS_GET_FREQ_RANGE, 0, 19, kClass, 0xA1, 0x02, 0x0100},
        RequestCase{UAC2_CS_GET_VALID, 0, 20, kClass, 0xA1, 0x01, 0x0200},
        RequestCase{UAC2_SU_GET_CUR, 0, 21, kClass, 0xA1, 0x01, 0x0100},
        RequestCase{UAC2_SU_SET_CUR, 0, 21, kClass, 0x21, 0x01, 0x0100},
        RequestCase{UAC2_OT_GET_TYPE, 0, 22, kClass, 0xA1, 0x01, 0x0800},
        RequestCase{UAC2_OT_SET_TYPE, 0, 22, kClass, 0x21, 0x01, 0x0800},
        RequestCase{UAC2_OT_GET_TYPE_RANGE, 0, 23, kClass, 0xA1, 0x02, 0x0800},
        RequestCase{UAC2_TERMINAL_GET_JACK_LIST, 0, 24, kClass, 0xA1, 0x01, 0x02FF},
        RequestCase{UAC2_TERMINAL_GET_CONNECTOR, 0, 25, kClass, 0xA1, 0x01, 0x0200}));

TEST(RequestTableTest, EveryCatalogueRowOnce) {
    bool seen[26] = {};
    for (const UAC_REQUEST_ROW& row : UAC_REQUEST_TABLE) {
        ASSERT_GE(row.CatalogueRow, 1);
        ASSERT_LE(row.CatalogueRow, 25);
        seen[row.CatalogueRow] = true;
    }
    for (int row = 1; row <= 25; ++row) EXPECT_TRUE(seen[row]) << row;
}

// A GET answered with fewer bytes than asked for fails; the bytes the
// device did not send are zero, not what the buffer held.
TEST_F(RequestTest, ShortAnswerFailsUnlessTheCallerCountsIt) {
    simusb::ControlRule rule;
    rule.wIndex = 0x0A02;
    rule.action = simusb::ControlRule::Short;
    rule.shortTo = 1;
    device().AddControlRule(rule);
    // The device answers the jack list of an entity it does not know with a
    // stall; a responder gives it a real answer to cut.
    device().SetVendorAnswer(0xC1, 0x81, 0x02FF, 0x0A02, {2, 1, 0, 0, 0, 0x44, 0x40, 0, 0});
    UCHAR buffer[9];
    memset(buffer, 0xEE, sizeof(buffer));
    EXPECT_EQ(entity->SendRequest(UAC1_TERMINAL_GET_JACK_LIST, 0, buffer, sizeof(buffer)), STATUS_UNSUCCESSFUL);
    ULONG received = 99;
    memset(buffer, 0xEE, sizeof(buffer));
    EXPECT_EQ(entity->SendRequest(UAC1_TERMINAL_GET_JACK_LIST, 0, buffer, sizeof(buffer), &received), STATUS_SUCCESS);
    EXPECT_EQ(received, 1u);
    EXPECT_EQ(buffer[0], 2);
    for (size_t i = 1; i < sizeof(buffer); ++i) EXPECT_EQ(buffer[i], 0) << i;
}

TEST_F(RequestTest, NoTransportNoRequest) {
    m_Model->answerUsb = false;
    UCHAR byte = 0;
    EXPECT_EQ(entity->SendRequest(UAC1_SU_GET_CUR, 0, &byte, 1), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(m_Usb->urbs.empty());
    EXPECT_TRUE(Log().empty());
}

TEST_F(RequestTest, StallIsTheRequestsFailure) {
    UCHAR byte = 0x55;
    EXPECT_FALSE(NT_SUCCESS(entity->SendRequest(UAC1_SU_GET_CUR, 0, &byte, 1)));
    EXPECT_EQ(byte, 0);
}

struct WordCase {
    USHORT device;
    LONG level;
};

TEST(LevelEncodingTest, TwoByteValuesAreSigned256thsOfADecibel) {
    const WordCase cases[] = {{0x0001, 256}, {0xFFFF, -256}, {0x0100, Db(1)}, {0x7FFF, 0x7FFF00},
                              {0x8000, (LONG)0xFF800000}, {0xC400, Db(-60)}};
    for (const WordCase& c : cases) {
        EXPECT_EQ(DeviceWordToLevel(c.device), c.level) << std::hex << c.device;
        EXPECT_EQ(LevelToDeviceWord(c.level), c.device) << std::hex << c.level;
    }
    EXPECT_EQ(LevelToDeviceWord(LEVEL_MINUS_INFINITY), 0x8000);
    EXPECT_EQ(LevelToDeviceWord(Db(-10.3)), 0xF5B3);  // toward minus infinity: -10.3008 dB
}

TEST(LevelEncodingTest, OneByteValuesAreSignedQuartersOfADecibel) {
    EXPECT_EQ(LevelToDeviceByte((LONG)0xFFFC0000), 0xF0);  // -4 dB
    EXPECT_EQ(DeviceByteToLevel(0xF0), Db(-4));
    EXPECT_EQ(DeviceByteToLevel(0x01), Db(0.25));
    EXPECT_EQ(DeviceByteToLevel(0x80), Db(-32));
    EXPECT_EQ(LevelToDeviceByte(Db(12)), 0x30);
}

}  // namespace
}  // namespace uactest
