// Broken stand-in rules that do not stop the run: the default handler's
// line on stderr, an installed handler's view of each report, and the
// test executables' handler that turns a report into a test failure.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <string>

#include "sim/violation.h"
#include "tests/support/violation_recorder.h"

namespace {

using testsupport::ViolationRecorder;

TEST(ViolationTest, DefaultHandlerPrintsFileLineAndWhatAndCounts) {
    sim::ViolationHandler installed = sim::SetViolationHandler(nullptr);
    const unsigned long before = sim::ViolationCount();
    testing::internal::CaptureStderr();
    sim::ReportViolation("send_irp.cpp", 57, "IRP (major 27, minor 2) returned 0xC0000001 but completed with 0x00000000");
    const std::string printed = testing::internal::GetCapturedStderr();
    const unsigned long after = sim::ViolationCount();
    sim::SetViolationHandler(installed);

    EXPECT_EQ(printed, "send_irp.cpp:57: IRP (major 27, minor 2) returned 0xC0000001 but completed with 0x00000000\n");
    EXPECT_EQ(after, before + 1);
}

TEST(ViolationTest, InstalledHandlerGetsTheReportingLine) {
    const unsigned long before = sim::ViolationCount();
    std::vector<testsupport::ViolationReport> reports;
    int line = 0;
    {
        ViolationRecorder recorder;
        SIM_VIOLATION("the handle is already open");
        line = __LINE__ - 1;
        reports = recorder.Reports();
    }
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].file, __FILE__);
    EXPECT_EQ(reports[0].line, line);
    EXPECT_EQ(reports[0].what, "the handle is already open");
    // Counted whichever handler took it: a program's exit status rests on it.
    EXPECT_EQ(sim::ViolationCount(), before + 1);
}

TEST(ViolationTest, SetViolationHandlerReturnsTheOneItReplaces) {
    std::string seen;
    sim::ViolationHandler first = [&seen](const char*, int, const std::string& what) { seen = "first: " + what; };
    sim::ViolationHandler installed = sim::SetViolationHandler(first);
    sim::ViolationHandler replaced = sim::SetViolationHandler(installed);
    ASSERT_TRUE(replaced);
    replaced("x.cpp", 1, "a report");
    EXPECT_EQ(seen, "first: a report");
}

TEST(ViolationTest, TestExecutablesFailTheRunningTest) {
    // The handler every test executable installs, back after a recorder.
    { ViolationRecorder recorder; }
    EXPECT_NONFATAL_FAILURE(SIM_VIOLATION("IOCTL 0x2F0003 wrote past its 8-byte system buffer"),
                            "IOCTL 0x2F0003 wrote past its 8-byte system buffer");
}

}  // namespace
