// System-wide services: version checks, timer resolution, debugger output,
// lookaside lists and the current process.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "nt/dbg.h"
#include "nt/ex.h"
#include "nt/ps.h"
#include "sim/debug.h"
#include "sim/executor.h"
#include "sim/pool.h"
#include "sim/process.h"
#include "sim/system.h"
#include "tests/support/kernel_test.h"

namespace {

class SystemTest : public sim::KernelTest {};

TEST_F(SystemTest, VersionChecksFollowTheSettableSystemVersion) {
    EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_WINXP));
    EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_VISTA));
    EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_WIN10_NI));
    EXPECT_FALSE(RtlIsNtDdiVersionAvailable(NTDDI_WIN10_NI + 1));
    sim::SetSystemVersion(sim::kWindowsXpSp3);
    EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_WINXP));
    EXPECT_FALSE(RtlIsNtDdiVersionAvailable(NTDDI_VISTA));
    ULONG major = 0, minor = 0, build = 0;
    EXPECT_FALSE(PsGetVersion(&major, &minor, &build, nullptr));
    EXPECT_EQ(major, 5u);
    EXPECT_EQ(minor, 1u);
    EXPECT_EQ(build, 2600u);
    EXPECT_FALSE(PsGetVersion(nullptr, nullptr, nullptr, nullptr));

    RTL_OSVERSIONINFOEXW ex{};
    ex.dwOSVersionInfoSize = sizeof ex;
    ASSERT_EQ(RtlGetVersion(reinterpret_cast<PRTL_OSVERSIONINFOW>(&ex)), STATUS_SUCCESS);
    EXPECT_EQ(ex.dwMajorVersion, 5u);
    EXPECT_EQ(ex.wServicePackMajor, 3);
    RTL_OSVERSIONINFOW bad{};
    bad.dwOSVersionInfoSize = 12;
    EXPECT_EQ(RtlGetVersion(&bad), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bad.dwMajorVersion, 0u);
}

TEST_F(SystemTest, NextScopeStartsOnTheDefaultSystem) {
    sim::SetSystemVersion(sim::kWindowsVista);
    ExSetTimerResolution(10000, TRUE);
    FinishScope();
    sim::KernelScope next;
    EXPECT_EQ(sim::GetSystemVersion().ntddi, sim::kWindows11.ntddi);
    EXPECT_EQ(sim::TimerResolutionRequests(), 0);
    EXPECT_TRUE(next.Finish().Clean());
}

TEST_F(SystemTest, TimerResolutionCountsRequests) {
    EXPECT_EQ(KeQueryTimeIncrement(), 156250u);
    EXPECT_EQ(ExSetTimerResolution(10000, TRUE), 10000u);
    EXPECT_EQ(ExSetTimerResolution(10000, TRUE), 10000u);
    EXPECT_EQ(sim::TimerResolutionRequests(), 2);
    EXPECT_EQ(KeQueryTimeIncrement(), 10000u);
    EXPECT_EQ(ExSetTimerResolution(0, FALSE), 10000u);
    EXPECT_EQ(ExSetTimerResolution(0, FALSE), 156250u);
    EXPECT_EQ(ExSetTimerResolution(0, FALSE), 156250u);  // nothing to take back
    EXPECT_EQ(sim::TimerResolutionRequests(), 0);
}

struct PrintCase {
    const char* name;
    std::function<void()> print;
    std::string expected;
};

class DbgPrintTest : public sim::KernelTest, public ::testing::WithParamInterface<PrintCase> {};

TEST_P(DbgPrintTest, FormatsLikeTheKernel) {
    sim::ClearDebugOutput();
    GetParam().print();
    EXPECT_EQ(sim::DebugOutput(), GetParam().expected);
}

UNICODE_STRING g_unicode{6, 6, const_cast<PWSTR>(u"uniXXX")};

const PrintCase kPrintCases[] = {
    {"DriverMessage", [] { DbgPrint("Remove Miniport Failed StreamEngine ulIdx = %d\n", 3); },
     "Remove Miniport Failed StreamEngine ulIdx = 3\n"},
    {"StatusInHex", [] { DbgPrint("Error_ErrorOccur ntStatus = %x\n", STATUS_IO_DEVICE_ERROR); },
     "Error_ErrorOccur ntStatus = c0000185\n"},
    {"OperationName", [] { DbgPrint("%s: unsupported format\n", "CDspInterleaveSrc::SetFormat"); },
     "CDspInterleaveSrc::SetFormat: unsupported format\n"},
    {"WideStringAndPointer", [] { DbgPrint("%ws at %p, %2d|%02d", u"wide", reinterpret_cast<void*>(0x1234), 5, 5); },
     "wide at 0000000000001234,  5|05"},
    {"PrintExLikePrint", [] { DbgPrintEx(0, DPFLTR_ERROR_LEVEL, "%s=%d", "level", 3); }, "level=3"},
    {"KdPrint", [] { KdPrint(("kd %d", 1)); }, "kd 1"},
    {"LongMessageKeeps512Bytes", [] { DbgPrint("%s", std::string(600, 'a').c_str()); }, std::string(512, 'a')},
    {"RefusedFormatKeepsItsText", [] { DbgPrint("[%wZ]", &g_unicode); }, "[%wZ]"},
};

INSTANTIATE_TEST_SUITE_P(Formats, DbgPrintTest, ::testing::ValuesIn(kPrintCases),
                         [](const ::testing::TestParamInfo<PrintCase>& info) { return info.param.name; });

TEST_F(SystemTest, DebugOutputAccumulatesUntilCleared) {
    DbgPrint("one ");
    DbgPrint("two");
    EXPECT_EQ(sim::DebugOutput(), "one two");
    sim::ClearDebugOutput();
    EXPECT_EQ(sim::DebugOutput(), "");
}

TEST_F(SystemTest, DebugLogSplitsLinesAcrossMessages) {
    DbgPrint("first %d\nsec", 1);
    DbgPrint("ond\n\nopen");
    EXPECT_EQ(sim::DebugLog(), (std::vector<std::string>{"first 1", "second", "", "open"}));
    EXPECT_EQ(sim::DebugOutput(), "first 1\nsecond\n\nopen");
}

// A long run keeps the latest lines and counts the ones it let go; an open
// line that never ends is cut into lines of one message each.
TEST_F(SystemTest, DebugLogIsBounded) {
    const size_t extra = 3;
    for (size_t i = 0; i < sim::kDebugLogLines + extra; ++i) DbgPrint("line %d\n", (int)i);
    std::vector<std::string> log = sim::DebugLog();
    ASSERT_EQ(log.size(), sim::kDebugLogLines);
    EXPECT_EQ(log.front(), "line " + std::to_string(extra));
    EXPECT_EQ(log.back(), "line " + std::to_string(sim::kDebugLogLines + extra - 1));
    EXPECT_EQ(sim::DebugLinesDropped(), extra);

    sim::ClearDebugOutput();
    EXPECT_EQ(sim::DebugLinesDropped(), 0u);
    for (int i = 0; i < 3; ++i) DbgPrint("%s", std::string(300, 'x').c_str());
    log = sim::DebugLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0], std::string(600, 'x'));
    EXPECT_EQ(log[1], std::string(300, 'x'));
}

constexpr ULONG kUrbTag = MakePoolTag("URB ");

TEST_F(SystemTest, LookasideKeepsBlocksUpToItsDepth) {
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, POOL_NX_ALLOCATION, 100, kUrbTag, 2);
    PVOID blocks[3];
    for (PVOID& b : blocks) {
        b = ExAllocateFromNPagedLookasideList(&list);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(sim::PoolBlockType(b), NonPagedPoolNx);
        EXPECT_EQ(sim::PoolBlockSize(b), 100u);
    }
    static_cast<char*>(blocks[1])[50] = 42;
    for (PVOID b : blocks) ExFreeToNPagedLookasideList(&list, b);
    EXPECT_EQ(sim::PoolLiveBlocks(kUrbTag), 2);  // the third went back to pool
    uint64_t attempts = sim::PoolAllocationAttempts();
    PVOID again = ExAllocateFromNPagedLookasideList(&list);
    EXPECT_EQ(sim::PoolAllocationAttempts(), attempts);  // served from the list
    EXPECT_EQ(again, blocks[1]);  // the last block kept is the first handed out
    EXPECT_EQ(static_cast<char*>(again)[50], 42);  // contents are not cleared
    ExFreeToNPagedLookasideList(&list, again);
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(sim::PoolLiveBlocks(kUrbTag), 0);
}

TEST_F(SystemTest, LookasideUsesCustomRoutinesAndTheDefaultDepth) {
    static int allocated = 0, freed = 0;
    allocated = freed = 0;
    PAGED_LOOKASIDE_LIST list;
    ExInitializePagedLookasideList(
        &list,
        [](POOL_TYPE type, SIZE_T size, ULONG tag) {
            ++allocated;
            return ExAllocatePoolWithTag(type, size, tag);
        },
        [](PVOID p) {
            ++freed;
            ExFreePool(p);
        },
        0, 2, kUrbTag, 0);
    PVOID blocks[5];
    for (PVOID& b : blocks) b = ExAllocateFromPagedLookasideList(&list);
    EXPECT_EQ(sim::PoolBlockSize(blocks[0]), sizeof(SINGLE_LIST_ENTRY));
    EXPECT_EQ(sim::PoolBlockType(blocks[0]), PagedPool);
    for (PVOID b : blocks) ExFreeToPagedLookasideList(&list, b);
    EXPECT_EQ(allocated, 5);
    EXPECT_EQ(freed, 1);  // depth 4 by default
    ExDeletePagedLookasideList(&list);
    EXPECT_EQ(freed, 5);
}

TEST_F(SystemTest, LookasideFailsLikeThePool) {
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 64, kUrbTag, 0);
    sim::PoolFailTag(kUrbTag);
    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), nullptr);
    sim::PoolClearFailures();
    ExDeleteNPagedLookasideList(&list);
}

void RecordProcess(PVOID context) { *static_cast<PEPROCESS*>(context) = PsGetCurrentProcess(); }

TEST_F(SystemTest, ThreadsRunInTheSystemProcessUnlessToldOtherwise) {
    EXPECT_EQ(PsGetCurrentProcess(), sim::SystemProcess());
    EXPECT_EQ(PsGetCurrentProcessId(), reinterpret_cast<HANDLE>(4));
    KPROCESS user{sim::kProcessSignature, 1234, "user", nullptr};
    PEPROCESS seenBySystemThread = nullptr;
    {
        sim::ProcessScope scope(&user);
        EXPECT_EQ(IoGetCurrentProcess(), &user);
        HANDLE handle;
        ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, RecordProcess,
                                       &seenBySystemThread),
                  STATUS_SUCCESS);
        ZwClose(handle);
    }
    EXPECT_EQ(PsGetCurrentProcess(), sim::SystemProcess());
    sim::Settle();
    EXPECT_EQ(seenBySystemThread, sim::SystemProcess());
}

}  // namespace
