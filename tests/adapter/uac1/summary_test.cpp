// Every descriptor fixture through the adapter's Init into the model, its
// summary compared with the fixture's golden summary (a refused device's
// golden holds only the refusal). UAC1_WRITE_GOLDEN=1 in the environment
// writes the summaries instead, for review.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "tests/adapter/uac1/model_fixture.h"

namespace uac1test {
namespace {

std::string StatusLine(NTSTATUS status) {
    char line[32];
    std::snprintf(line, sizeof(line), "init 0x%08X\n", (unsigned)status);
    return line;
}

class FixtureSummaryTest : public ModelTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(FixtureSummaryTest, MatchesGolden) {
    const std::string name = GetParam();
    Plug(LoadFixture(name));
    const NTSTATUS status = InitAdapter();
    std::string summary = StatusLine(status);
    if (NT_SUCCESS(status)) summary += Summarize(Model());
    if (std::getenv("UAC1_WRITE_GOLDEN") != nullptr) {
        std::ofstream(std::string(UAC1_FIXTURE_DIR) + "/" + name + ".summary") << summary;
        return;
    }
    EXPECT_EQ(summary, ReadGolden(name));
}

INSTANTIATE_TEST_SUITE_P(Fixtures, FixtureSummaryTest,
                         ::testing::Values("spec_microphone", "spec_telephone", "headset", "multichannel",
                                           "many_alts", "selector_capture", "master_volume", "volume_only",
                                           "processing_unit"),
                         [](const auto& info) { return std::string(info.param); });

}  // namespace
}  // namespace uac1test
