// Named callback objects: open-or-create by name, notification order,
// registration rules, unregistration against a running callback, and the
// permanent object that outlives its last dereference.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "nt/ex.h"
#include "sim/executor.h"
#include "sim/object.h"
#include "tests/support/kernel_test.h"

namespace {

UNICODE_STRING Name(const char16_t* s) {
    UNICODE_STRING u;
    u.Buffer = const_cast<PWSTR>(s);
    u.Length = static_cast<USHORT>(std::char_traits<char16_t>::length(s) * 2);
    u.MaximumLength = static_cast<USHORT>(u.Length + 2);
    return u;
}

NTSTATUS Create(const char16_t* name, PCALLBACK_OBJECT* out, BOOLEAN create = TRUE,
                ULONG attributes = OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, BOOLEAN allowMultiple = TRUE) {
    UNICODE_STRING u = Name(name);
    OBJECT_ATTRIBUTES attr;
    InitializeObjectAttributes(&attr, &u, attributes, nullptr, nullptr);
    return ExCreateCallback(out, &attr, create, allowMultiple);
}

struct Calls {
    std::vector<std::string> log;
};

void Record(PVOID context, PVOID a1, PVOID a2) {
    auto* tag = static_cast<const char*>(context);
    auto* calls = static_cast<Calls*>(a1);
    calls->log.push_back(std::string(tag) + (a2 ? "+" : ""));
}

class CallbackTest : public sim::KernelTest {};

TEST_F(CallbackTest, OpensByNameCaseInsensitivelyAndNotifiesInRegistrationOrder) {
    PCALLBACK_OBJECT created = nullptr;
    ASSERT_EQ(Create(u"\\Callback\\AudioHalAddr0000000012345678", &created), STATUS_SUCCESS);
    PCALLBACK_OBJECT opened = nullptr;
    ASSERT_EQ(Create(u"\\CALLBACK\\audiohaladdr0000000012345678", &opened, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(opened, created);

    PVOID first = ExRegisterCallback(created, Record, const_cast<char*>("first"));
    PVOID second = ExRegisterCallback(opened, Record, const_cast<char*>("second"));
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    Calls calls;
    ExNotifyCallback(created, &calls, nullptr);
    ExUnregisterCallback(first);
    ExNotifyCallback(opened, &calls, &calls);
    EXPECT_EQ(calls.log, (std::vector<std::string>{"first", "second", "second+"}));
    ExUnregisterCallback(second);
    ObDereferenceObject(opened);
    ObDereferenceObject(created);
}

TEST_F(CallbackTest, NotifyAtDispatchLevelRunsInTheCallersContext) {
    PCALLBACK_OBJECT object;
    ASSERT_EQ(Create(u"\\Callback\\Irql", &object, TRUE, OBJ_CASE_INSENSITIVE), STATUS_SUCCESS);
    KIRQL seen = PASSIVE_LEVEL;
    PVOID reg = ExRegisterCallback(object, [](PVOID c, PVOID, PVOID) { *static_cast<KIRQL*>(c) = KeGetCurrentIrql(); }, &seen);
    KIRQL old = KeRaiseIrqlToDpcLevel();
    ExNotifyCallback(object, nullptr, nullptr);
    KeLowerIrql(old);
    EXPECT_EQ(seen, DISPATCH_LEVEL);
    ExUnregisterCallback(reg);
    ObDereferenceObject(object);
}

TEST_F(CallbackTest, SingleCallbackObjectRefusesASecondRegistration) {
    PCALLBACK_OBJECT object;
    ASSERT_EQ(Create(u"\\Callback\\Single", &object, TRUE, OBJ_CASE_INSENSITIVE, FALSE), STATUS_SUCCESS);
    PVOID first = ExRegisterCallback(object, Record, nullptr);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(ExRegisterCallback(object, Record, nullptr), nullptr);
    ExUnregisterCallback(first);
    PVOID again = ExRegisterCallback(object, Record, nullptr);
    EXPECT_NE(again, nullptr);
    ExUnregisterCallback(again);
    ObDereferenceObject(object);
}

TEST_F(CallbackTest, RegistrationFailsCleanlyWithoutPool) {
    PCALLBACK_OBJECT object;
    ASSERT_EQ(Create(u"\\Callback\\NoPool", &object, TRUE, OBJ_CASE_INSENSITIVE), STATUS_SUCCESS);
    sim::PoolFailNth(1);
    EXPECT_EQ(ExRegisterCallback(object, Record, nullptr), nullptr);
    sim::PoolFailNth(1);
    PCALLBACK_OBJECT other = nullptr;
    EXPECT_EQ(Create(u"\\Callback\\Other", &other), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(other, nullptr);
    ObDereferenceObject(object);
}

TEST_F(CallbackTest, TemporaryObjectDiesWithItsLastReference) {
    PCALLBACK_OBJECT object;
    ASSERT_EQ(Create(u"\\Callback\\Temporary", &object, TRUE, OBJ_CASE_INSENSITIVE), STATUS_SUCCESS);
    PVOID reg = ExRegisterCallback(object, Record, nullptr);
    ObDereferenceObject(object);  // the registration still holds it
    PCALLBACK_OBJECT again;
    EXPECT_EQ(Create(u"\\Callback\\Temporary", &again, FALSE), STATUS_SUCCESS);
    ObDereferenceObject(again);
    ExUnregisterCallback(reg);
    EXPECT_EQ(Create(u"\\Callback\\Temporary", &again, FALSE), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(CallbackTest, PermanentObjectSurvivesItsLastDereferenceAndIsReportedApart) {
    PCALLBACK_OBJECT object;
    ASSERT_EQ(Create(u"\\Callback\\StreamEngineAddr00000000CAFE0000", &object), STATUS_SUCCESS);
    ObDereferenceObject(object);
    PCALLBACK_OBJECT again;
    ASSERT_EQ(Create(u"\\Callback\\StreamEngineAddr00000000CAFE0000", &again, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(again, object);
    ObDereferenceObject(again);
    sim::ScopeReport report = FinishScope();
    EXPECT_TRUE(report.Clean()) << report.problems;
    EXPECT_NE(report.permanentObjects.find("permanent Callback \"\\CALLBACK\\STREAMENGINEADDR00000000CAFE0000\""),
              std::string::npos)
        << report.permanentObjects;
}

TEST_F(CallbackTest, UnregisterWaitsForTheRunningCallback) {
    PCALLBACK_OBJECT object;
    ASSERT_EQ(Create(u"\\Callback\\Slow", &object, TRUE, OBJ_CASE_INSENSITIVE), STATUS_SUCCESS);
    struct Slow {
        bool running = false;
        bool finished = false;
    } slow;
    PVOID reg = ExRegisterCallback(
        object,
        [](PVOID c, PVOID, PVOID) {
            auto* s = static_cast<Slow*>(c);
            s->running = true;
            sim::Sleep(100 * sim::kTicksPerMillisecond);
            s->finished = true;
        },
        &slow);
    sim::TestThread notifier("notifier", [&] { ExNotifyCallback(object, nullptr, nullptr); });
    sim::Settle();  // the notifier sleeps inside the callback
    ASSERT_TRUE(slow.running);
    LONGLONG start = sim::Now();
    ExUnregisterCallback(reg);
    EXPECT_TRUE(slow.finished);
    EXPECT_EQ(sim::Now() - start, 100 * sim::kTicksPerMillisecond);
    notifier.Join();
    ObDereferenceObject(object);
}

struct NameCase {
    const char* name;
    const char16_t* objectName;
    BOOLEAN create;
    NTSTATUS status;
};

class CallbackNameTest : public sim::KernelTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(CallbackNameTest, GivesTheExpectedStatus) {
    PCALLBACK_OBJECT object = nullptr;
    NTSTATUS status = Create(GetParam().objectName, &object, GetParam().create, OBJ_CASE_INSENSITIVE);
    EXPECT_EQ(status, GetParam().status);
    if (NT_SUCCESS(status)) ObDereferenceObject(object);
    else EXPECT_EQ(object, nullptr);
}

const NameCase kNameCases[] = {
    {"CreatesNew", u"\\Callback\\New", TRUE, STATUS_SUCCESS},
    {"MissingWithoutCreate", u"\\Callback\\Missing", FALSE, STATUS_OBJECT_NAME_NOT_FOUND},
    {"OtherDirectory", u"\\Device\\Thing", TRUE, STATUS_OBJECT_PATH_NOT_FOUND},
    {"Subdirectory", u"\\Callback\\A\\B", TRUE, STATUS_OBJECT_PATH_NOT_FOUND},
    {"EmptyLeaf", u"\\Callback\\", TRUE, STATUS_OBJECT_NAME_INVALID},
    {"Relative", u"Callback\\X", TRUE, STATUS_OBJECT_NAME_INVALID},
    {"Empty", u"", TRUE, STATUS_OBJECT_NAME_INVALID},
};

INSTANTIATE_TEST_SUITE_P(Names, CallbackNameTest, ::testing::ValuesIn(kNameCases),
                         [](const ::testing::TestParamInfo<NameCase>& info) { return info.param.name; });

TEST_F(CallbackTest, UnnamedObjectNeedsCreateAndValidAttributes) {
    OBJECT_ATTRIBUTES attr;
    InitializeObjectAttributes(&attr, nullptr, 0, nullptr, nullptr);
    PCALLBACK_OBJECT object = nullptr;
    EXPECT_EQ(ExCreateCallback(&object, &attr, FALSE, TRUE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ExCreateCallback(&object, nullptr, TRUE, TRUE), STATUS_INVALID_PARAMETER);
    UNICODE_STRING odd = Name(u"\\Callback\\Odd");
    odd.Length = 3;
    InitializeObjectAttributes(&attr, &odd, 0, nullptr, nullptr);
    EXPECT_EQ(ExCreateCallback(&object, &attr, TRUE, TRUE), STATUS_OBJECT_NAME_INVALID);
    InitializeObjectAttributes(&attr, nullptr, 0, nullptr, nullptr);
    ASSERT_EQ(ExCreateCallback(&object, &attr, TRUE, TRUE), STATUS_SUCCESS);
    ObDereferenceObject(object);
}

}  // namespace
