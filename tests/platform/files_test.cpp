// File stand-in: "\SystemRoot\" mapping, case-insensitive names, reads by
// offset and by current position, END_OF_FILE, refused names and rights.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "nt/zw.h"
#include "sim/files.h"
#include "sim/pool.h"
#include "sim/registry.h"
#include "sim/strings.h"
#include "temp_dir_util.h"

namespace {

namespace fs = std::filesystem;

const std::string kIniText = "[VERSION]\r\nVersion=3\r\n";

class FilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "_" + info->name();
        for (char& c : name)
            if (c == '/') c = '_';
        root_ = testtmp::ProcessDir() / name;
        fs::remove_all(root_);
        fs::create_directories(root_ / "System32" / "drivers");
        std::ofstream(root_ / "Settings.INI", std::ios::binary) << kIniText;
        std::ofstream(root_ / "System32" / "drivers" / "table.bin", std::ios::binary) << "xyz";
        fs::create_directories(root_.parent_path() / "outside");
        std::ofstream(root_.parent_path() / "outside" / "secret.txt") << "no";
        sim::SetSystemRoot(root_.string());
        baseline_ = sim::PoolLiveBlocks();
    }
    void TearDown() override {
        sim::PoolClearFailures();
        EXPECT_EQ(sim::FileOpenCount(), 0u);
        EXPECT_EQ(sim::PoolLiveBlocks(), baseline_) << sim::PoolLeakReport();
        sim::SetSystemRoot("");
        fs::remove_all(root_);
    }

    static NTSTATUS OpenFile(const std::u16string& path, HANDLE* file, ACCESS_MASK access = GENERIC_READ,
                             ULONG disposition = FILE_OPEN, ULONG options = FILE_SYNCHRONOUS_IO_NONALERT) {
        sim::UString name(path);
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, name.get(), OBJ_CASE_INSENSITIVE, nullptr, nullptr);
        IO_STATUS_BLOCK iosb{};
        return ZwCreateFile(file, access, &oa, &iosb, nullptr, 0, FILE_SHARE_READ, disposition, options, nullptr, 0);
    }

    fs::path root_;
    int64_t baseline_ = 0;
};

TEST_F(FilesTest, ReadsOneByteAtATimeByOffsetUntilEndOfFile) {
    HANDLE file;
    ASSERT_EQ(OpenFile(u"\\SystemRoot\\settings.ini", &file), STATUS_SUCCESS);
    std::string text;
    IO_STATUS_BLOCK iosb;
    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    char byte;
    NTSTATUS status;
    while ((status = ZwReadFile(file, nullptr, nullptr, nullptr, &iosb, &byte, 1, &offset, nullptr)) ==
           STATUS_SUCCESS) {
        ASSERT_EQ(iosb.Information, 1u);
        text += byte;
        ++offset.QuadPart;
    }
    EXPECT_EQ(status, STATUS_END_OF_FILE);
    EXPECT_EQ(iosb.Status, STATUS_END_OF_FILE);
    EXPECT_EQ(iosb.Information, 0u);
    EXPECT_EQ(text, kIniText);
    EXPECT_EQ(ZwClose(file), STATUS_SUCCESS);
}

TEST_F(FilesTest, CurrentPositionReadsAndShortReadAtTheEnd) {
    HANDLE file;
    ASSERT_EQ(OpenFile(u"\\SYSTEMROOT\\SETTINGS.ini", &file), STATUS_SUCCESS);
    char buffer[64] = {};
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &iosb, buffer, 9, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer, 9), "[VERSION]");
    LARGE_INTEGER usePointer;
    usePointer.u.HighPart = -1;
    usePointer.u.LowPart = FILE_USE_FILE_POINTER_POSITION;
    ASSERT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &iosb, buffer, sizeof(buffer), &usePointer, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, kIniText.size() - 9);  // stops at the end
    EXPECT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &iosb, buffer, 1, nullptr, nullptr), STATUS_END_OF_FILE);
    EXPECT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &iosb, buffer, 0, nullptr, nullptr), STATUS_SUCCESS);

    FILE_POSITION_INFORMATION position;
    ASSERT_EQ(ZwQueryInformationFile(file, &iosb, &position, sizeof(position), FilePositionInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(position.CurrentByteOffset.QuadPart, LONGLONG(kIniText.size()));
    ZwClose(file);

    ASSERT_EQ(OpenFile(u"\\SystemRoot\\Settings.INI", &file, GENERIC_READ, FILE_OPEN, 0), STATUS_SUCCESS);
    EXPECT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &iosb, buffer, 1, nullptr, nullptr),
              STATUS_INVALID_PARAMETER)
        << "an asynchronous handle has no current position";
    ZwClose(file);
}

TEST_F(FilesTest, StandardInformationGivesTheSize) {
    HANDLE file;
    ASSERT_EQ(OpenFile(u"\\SystemRoot\\system32\\DRIVERS\\Table.bin", &file), STATUS_SUCCESS);
    FILE_STANDARD_INFORMATION info;
    IO_STATUS_BLOCK iosb;
    ASSERT_EQ(ZwQueryInformationFile(file, &iosb, &info, sizeof(info), FileStandardInformation), STATUS_SUCCESS);
    EXPECT_EQ(info.EndOfFile.QuadPart, 3);
    EXPECT_EQ(iosb.Information, sizeof(info));
    EXPECT_EQ(ZwQueryInformationFile(file, &iosb, &info, sizeof(info) - 1, FileStandardInformation),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(ZwQueryInformationFile(file, &iosb, &info, sizeof(info), FileBasicInformation),
              STATUS_INVALID_INFO_CLASS);
    ZwClose(file);
}

struct OpenCase {
    const char* name;
    const char16_t* path;
    ACCESS_MASK access;
    ULONG disposition;
    NTSTATUS status;
};

std::ostream& operator<<(std::ostream& os, const OpenCase& c) { return os << c.name; }

class FileOpen : public FilesTest, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(FileOpen, Status) {
    const OpenCase& c = GetParam();
    HANDLE file = nullptr;
    EXPECT_EQ(OpenFile(c.path, &file, c.access, c.disposition), c.status);
    if (NT_SUCCESS(c.status)) ZwClose(file);
}

const OpenCase kOpenCases[] = {
    {"NestedAnyCase", u"\\systemroot\\SYSTEM32\\drivers\\TABLE.BIN", GENERIC_READ, FILE_OPEN, STATUS_SUCCESS},
    {"ReadDataRight", u"\\SystemRoot\\Settings.INI", FILE_READ_DATA, FILE_OPEN, STATUS_SUCCESS},
    {"MissingFile", u"\\SystemRoot\\Missing.INI", GENERIC_READ, FILE_OPEN, STATUS_OBJECT_NAME_NOT_FOUND},
    {"MissingDirectory", u"\\SystemRoot\\Nowhere\\Settings.INI", GENERIC_READ, FILE_OPEN,
     STATUS_OBJECT_PATH_NOT_FOUND},
    {"FileUsedAsDirectory", u"\\SystemRoot\\Settings.INI\\x", GENERIC_READ, FILE_OPEN, STATUS_OBJECT_PATH_NOT_FOUND},
    {"Directory", u"\\SystemRoot\\System32", GENERIC_READ, FILE_OPEN, STATUS_FILE_IS_A_DIRECTORY},
    {"OtherPrefix", u"\\Windows\\Settings.INI", GENERIC_READ, FILE_OPEN, STATUS_OBJECT_PATH_NOT_FOUND},
    {"PrefixOnly", u"\\SystemRoot", GENERIC_READ, FILE_OPEN, STATUS_OBJECT_PATH_NOT_FOUND},
    {"ParentEscape", u"\\SystemRoot\\..\\outside\\secret.txt", GENERIC_READ, FILE_OPEN, STATUS_OBJECT_NAME_INVALID},
    {"SlashEscape", u"\\SystemRoot\\System32/../../outside", GENERIC_READ, FILE_OPEN, STATUS_OBJECT_NAME_INVALID},
    {"EmptyElement", u"\\SystemRoot\\System32\\\\drivers\\table.bin", GENERIC_READ, FILE_OPEN,
     STATUS_OBJECT_NAME_INVALID},
    {"Wildcard", u"\\SystemRoot\\Settings.*", GENERIC_READ, FILE_OPEN, STATUS_OBJECT_NAME_INVALID},
    {"WriteAccess", u"\\SystemRoot\\Settings.INI", GENERIC_READ | GENERIC_WRITE, FILE_OPEN, STATUS_ACCESS_DENIED},
    {"AppendAccess", u"\\SystemRoot\\Settings.INI", FILE_APPEND_DATA, FILE_OPEN, STATUS_ACCESS_DENIED},
    {"CreateDisposition", u"\\SystemRoot\\New.INI", GENERIC_READ, FILE_CREATE, STATUS_ACCESS_DENIED},
    {"OverwriteDisposition", u"\\SystemRoot\\Settings.INI", GENERIC_READ, FILE_OVERWRITE_IF, STATUS_ACCESS_DENIED},
};

INSTANTIATE_TEST_SUITE_P(Files, FileOpen, ::testing::ValuesIn(kOpenCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FilesTest, ReadNeedsTheReadRightAndAFileHandle) {
    HANDLE file;
    ASSERT_EQ(OpenFile(u"\\SystemRoot\\Settings.INI", &file, FILE_READ_ATTRIBUTES), STATUS_SUCCESS);
    char byte;
    IO_STATUS_BLOCK iosb;
    LARGE_INTEGER offset{};
    EXPECT_EQ(ZwReadFile(file, nullptr, nullptr, nullptr, &iosb, &byte, 1, &offset, nullptr), STATUS_ACCESS_DENIED);
    ZwClose(file);

    sim::RegistryReset();
    sim::UString keyName(u"\\Registry\\Machine\\SOFTWARE");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, keyName.get(), OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    HANDLE key;
    ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &oa), STATUS_SUCCESS);
    EXPECT_EQ(ZwReadFile(key, nullptr, nullptr, nullptr, &iosb, &byte, 1, &offset, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    ZwClose(key);
    EXPECT_EQ(ZwReadFile(reinterpret_cast<HANDLE>(0x7FFC), nullptr, nullptr, nullptr, &iosb, &byte, 1, &offset,
                         nullptr),
              STATUS_INVALID_HANDLE);
}

TEST_F(FilesTest, NoSystemRootMeansNoFiles) {
    sim::SetSystemRoot("");
    HANDLE file;
    EXPECT_EQ(OpenFile(u"\\SystemRoot\\Settings.INI", &file), STATUS_OBJECT_PATH_NOT_FOUND);
}

TEST_F(FilesTest, HandleAllocationFailureIsReported) {
    HANDLE file;
    sim::PoolFailNth(1);
    EXPECT_EQ(OpenFile(u"\\SystemRoot\\Settings.INI", &file), STATUS_INSUFFICIENT_RESOURCES);
}

}  // namespace
