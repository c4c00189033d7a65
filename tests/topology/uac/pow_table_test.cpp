// The power table and PowTable: the checked-in entries against correctly
// rounded values from the generator (mpmath), gains against the C
// library's double pow over the whole useful range, the special values.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "topology/level_nodes.h"
#include "topology/pow_table.h"

namespace {

// The generator's entries, or an empty list when python3 or mpmath is
// missing (its exit status 77).
std::vector<double> GeneratorEntries(int* exitStatus) {
    const std::string command = std::string("python3 ") + UAC_POW_TABLE_GENERATOR + " --values";
    FILE* pipe = popen(command.c_str(), "r");
    std::vector<double> entries;
    if (pipe == nullptr) {
        *exitStatus = -1;
        return entries;
    }
    char line[128];
    while (fgets(line, sizeof(line), pipe) != nullptr) entries.push_back(std::strtod(line, nullptr));
    const int status = pclose(pipe);
    *exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return entries;
}

TEST(PowTableTest, EntriesAreTheCorrectlyRoundedPowersOfTen) {
    int exitStatus = 0;
    std::vector<double> reference = GeneratorEntries(&exitStatus);
    if (exitStatus == 77 || exitStatus == 127) {
        GTEST_SKIP() << "python3-mpmath is not installed (run scripts/setup): reference values unavailable";
    }
    ASSERT_EQ(exitStatus, 0);
    ASSERT_EQ(reference.size(), (size_t)POW_TABLE_ENTRIES);
    for (int k = 0; k < POW_TABLE_ENTRIES; ++k) EXPECT_EQ(POW_TABLE[k], reference[k]) << "entry " << k;
}

TEST(PowTableTest, PinnedEntriesAndSum) {
    EXPECT_EQ(POW_TABLE[0], 1.0);
    EXPECT_EQ(POW_TABLE[200], 10.0);
    EXPECT_DOUBLE_EQ(POW_TABLE[60], 1.9952623149688795);
    EXPECT_DOUBLE_EQ(POW_TABLE[140], 5.0118723362727229);
    double sum = 0;
    for (double entry : POW_TABLE) sum += entry;
    // A geometric series: (q^201 - 1) / (q - 1) with q = 10^(1/200).
    const long double q = std::pow(10.0L, 1.0L / 200.0L);
    EXPECT_NEAR(sum, (double)((std::pow(q, 201.0L) - 1.0L) / (q - 1.0L)), 1e-9);
}

TEST(PowTableTest, ExamplesOfTheTable) {
    EXPECT_FLOAT_EQ(PowTable(10.0f, 0.3f), (float)POW_TABLE[60]);
    EXPECT_FLOAT_EQ(PowTable(10.0f, -1.3f), (float)(POW_TABLE[140] / 100.0));
    EXPECT_NEAR(PowTable(10.0f, -1.3f), 0.0501, 1e-4);
    EXPECT_FLOAT_EQ(PowTable(10.0f, 2.0f), 100.0f);
    EXPECT_FLOAT_EQ(PowTable(10.0f, -1.0f), 0.1f);
}

TEST(PowTableTest, SpecialValues) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(PowTable(10.0f, nan), 0.0f);
    EXPECT_EQ(PowTable(10.0f, -inf), 0.0f);
    EXPECT_EQ(PowTable(10.0f, inf), inf);
    EXPECT_EQ(PowTable(10.0f, 1e30f), inf);
    EXPECT_EQ(PowTable(10.0f, -1e30f), 0.0f);
    EXPECT_EQ(PowTable(10.0f, -1638.4f), 0.0f);  // minus infinity as a level
    EXPECT_EQ(LevelToGain(LEVEL_MINUS_INFINITY), 0.0f);
}

// Every gain from -128 dB to +48 dB in 0.1 dB steps is within 0.06 dB of
// the C library's.
TEST(PowTableTest, GainsAgreeWithTheLibraryPower) {
    double worst = 0;
    for (int tenths = -1280; tenths <= 480; ++tenths) {
        const double db = tenths / 10.0;
        const LONG level = (LONG)std::lround(db * 65536.0);
        const float gain = LevelToGain(level);
        const double reference = std::pow(10.0, db / 20.0);
        const double error = std::fabs(20.0 * std::log10(gain / reference));
        worst = std::max(worst, error);
        ASSERT_LE(error, 0.06) << db << " dB";
    }
    RecordProperty("worst_error_db", std::to_string(worst));
}

}  // namespace
