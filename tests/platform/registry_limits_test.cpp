// The registry image against files that are not the settings a run keeps:
// keys nested too deep, a file too large or without end, a key of very many
// values; and the backing file written once per flush, its failure named.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "registry_test_util.h"

namespace {

using regtest::kSoftware;
using regtest::RegistryTest;

const std::u16string kKey = std::u16string(kSoftware) + u"\\Host";

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// A key line `depth` names below "\Registry".
std::string KeyLine(size_t depth) {
    std::string line = "key \"\\REGISTRY";
    for (size_t i = 0; i < depth; ++i) line += "\\A";
    return line + "\"\n";
}

struct DepthCase {
    const char* name;
    size_t depth;
    bool loads;
};

void PrintTo(const DepthCase& c, std::ostream* os) { *os << c.name; }

class KeyDepthTest : public RegistryTest, public ::testing::WithParamInterface<DepthCase> {};

TEST_P(KeyDepthTest, KeysUpToTheLimitLoadAndDeeperOnesAreRefusedWithTheirLine) {
    const DepthCase& c = GetParam();
    const std::string image = "registry-image 1\n# nested\n" + KeyLine(c.depth);
    size_t line = 0;
    std::string reason;
    if (c.loads) {
        ASSERT_EQ(sim::RegistryLoadImage(image, &line, &reason), STATUS_SUCCESS) << reason;
        // Written back (every key on the way, parents first) and read again.
        const std::string written = sim::RegistryImage();
        EXPECT_EQ(sim::RegistryLoadImage(written, &line, &reason), STATUS_SUCCESS) << reason;
        EXPECT_EQ(sim::RegistryImage(), written);
        EXPECT_NE(written.find(KeyLine(c.depth)), std::string::npos);
        return;
    }
    ASSERT_EQ(sim::RegistrySetDword(kKey, u"Keep", 7), STATUS_SUCCESS);
    EXPECT_EQ(sim::RegistryLoadImage(image, &line, &reason), STATUS_REGISTRY_CORRUPT);
    EXPECT_EQ(line, 3u);
    EXPECT_NE(reason.find("nested " + std::to_string(c.depth) + " deep (at most 512"), std::string::npos) << reason;
    EXPECT_TRUE(sim::RegistryGetValue(kKey, u"Keep").has_value());
}

INSTANTIATE_TEST_SUITE_P(Depths, KeyDepthTest,
                         ::testing::Values(DepthCase{"AtTheLimit", sim::kRegistryMaxKeyDepth, true},
                                           DepthCase{"OneDeeper", sim::kRegistryMaxKeyDepth + 1, false},
                                           DepthCase{"FortyThousandDeep", 40000, false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(RegistryTest, AKeyOfTwoHundredThousandValuesLoadsEachOnceInFileOrder) {
    constexpr size_t kValues = 200000;
    std::string image = "registry-image 1\nkey \"\\Registry\\Machine\\SOFTWARE\\Host\"\n";
    char line[64];
    for (size_t i = 0; i < kValues; ++i) {
        std::snprintf(line, sizeof(line), "value \"v%06zu\" REG_DWORD %08zx\n", i, i);
        image += line;
    }
    // A name given again, in other case: the later line's data in the
    // first one's place.
    image += "value \"V000007\" REG_BINARY 0102\n";
    ASSERT_EQ(sim::RegistryLoadImage(image), STATUS_SUCCESS);
    const std::vector<std::u16string> names = sim::RegistryValueNames(kKey);
    ASSERT_EQ(names.size(), kValues);
    EXPECT_EQ(names[0], u"v000000");
    EXPECT_EQ(names[7], u"v000007");
    EXPECT_EQ(names[kValues - 1], u"v199999");
    auto seven = sim::RegistryGetValue(kKey, u"v000007");
    ASSERT_TRUE(seven.has_value());
    EXPECT_EQ(seven->type, ULONG(REG_BINARY));
    EXPECT_EQ(seven->data, (std::vector<uint8_t>{1, 2}));
    auto last = sim::RegistryGetValue(kKey, u"V199999");
    ASSERT_TRUE(last.has_value());
    EXPECT_EQ(last->data, (std::vector<uint8_t>{0x00, 0x03, 0x0d, 0x3f}));
}

TEST_F(RegistryTest, AnImageFileOverTheLimitOrWithoutEndIsRefusedUnread) {
    const std::string path = TempPath("large.txt");
    {
        // A valid image padded with comment lines to one byte over.
        std::ofstream out(path, std::ios::binary);
        std::string text = "registry-image 1\n";
        const std::string comment(99, '#');
        while (text.size() + 100 <= sim::kRegistryImageMaxBytes) text += comment + "\n";
        text += std::string(sim::kRegistryImageMaxBytes - text.size(), '#');
        out << text;
        out.flush();
        ASSERT_EQ(sim::RegistryLoad(path), STATUS_SUCCESS) << "exactly at the limit";
        out << "\n";
    }
    for (const std::string& file : {path, std::string("/dev/zero")}) {
        size_t line = 99;
        std::string reason;
        EXPECT_EQ(sim::RegistryLoad(file, &line, &reason), STATUS_REGISTRY_CORRUPT) << file;
        EXPECT_EQ(line, 0u) << file;
        EXPECT_EQ(reason, "larger than 16 MiB, the largest registry image read") << file;
    }
    std::remove(path.c_str());
}

TEST_F(RegistryTest, ChangesReachTheBackingFileOnlyWhenFlushed) {
    const std::string path = TempPath("flushed.txt");
    std::remove(path.c_str());
    ASSERT_EQ(sim::RegistrySetBackingFile(path), STATUS_SUCCESS);
    const std::string first = ReadAll(path);
    ASSERT_EQ(first, sim::RegistryImage());
    for (ULONG i = 0; i < 3; ++i) ASSERT_EQ(sim::RegistrySetDword(kKey, u"Count", i), STATUS_SUCCESS);
    HANDLE key;
    ASSERT_EQ(Open(kKey, &key), STATUS_SUCCESS);
    ULONG value = 9;
    ASSERT_EQ(Set(key, u"Other", REG_DWORD, &value, sizeof(value)), STATUS_SUCCESS);
    EXPECT_EQ(ReadAll(path), first) << "a change was written before the flush";

    EXPECT_EQ(ZwFlushKey(key), STATUS_SUCCESS);
    ZwClose(key);
    EXPECT_EQ(ReadAll(path), sim::RegistryImage());
    // Nothing changed since: a flush writes nothing.
    std::remove(path.c_str());
    EXPECT_EQ(sim::RegistryFlush(), STATUS_SUCCESS);
    EXPECT_FALSE(Exists(path));

    // Detaching the file writes what it is owed.
    ASSERT_EQ(sim::RegistrySetDword(kKey, u"Count", 4), STATUS_SUCCESS);
    const std::string last = sim::RegistryImage();
    EXPECT_EQ(sim::RegistrySetBackingFile(""), STATUS_SUCCESS);
    EXPECT_EQ(ReadAll(path), last);
    std::remove(path.c_str());
}

// The state directory replaced by a regular file: the image cannot be
// written, whoever runs the test (a read-only directory does not stop
// root).
TEST_F(RegistryTest, AFlushThatCannotWriteGivesTheSystemsReasonAndKeepsTheChangeOwed) {
    const std::string dir = TempPath("state");
    const std::string path = dir + "/registry.txt";
    std::remove(path.c_str());
    rmdir(dir.c_str());
    std::remove(dir.c_str());
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(sim::RegistrySetBackingFile(path), STATUS_SUCCESS);
    ASSERT_EQ(sim::RegistrySetDword(kKey, u"Volume", 3), STATUS_SUCCESS);
    ASSERT_EQ(std::remove(path.c_str()), 0);
    ASSERT_EQ(rmdir(dir.c_str()), 0);
    std::ofstream(dir) << "not a directory\n";

    std::string reason;
    EXPECT_EQ(sim::RegistryFlush(&reason), STATUS_REGISTRY_IO_FAILED);
    EXPECT_EQ(reason, "cannot create " + path + ".tmp: Not a directory");
    HANDLE key;
    ASSERT_EQ(Open(kKey, &key), STATUS_SUCCESS);
    EXPECT_EQ(ZwFlushKey(key), STATUS_REGISTRY_IO_FAILED);
    ZwClose(key);

    // Once the directory is back, the change is still owed and written.
    ASSERT_EQ(std::remove(dir.c_str()), 0);
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    EXPECT_EQ(sim::RegistryFlush(&reason), STATUS_SUCCESS) << reason;
    EXPECT_EQ(ReadAll(path), sim::RegistryImage());
    EXPECT_EQ(sim::RegistrySetBackingFile(""), STATUS_SUCCESS);
    std::remove(path.c_str());
    rmdir(dir.c_str());
}

}  // namespace
