// Seeded mutations of every descriptor fixture, each run through a whole
// device life (Init, Start, Stop, teardown) on a kernel scope of its own:
// whatever status the start ends in, no thread, handle, timer or pool block
// may be left, and no sanitizer may report. The seeds are fixed and the
// budget modest so the sweep belongs in `make test`.
//
// A case that crashes, trips a sanitizer or a kernel-rule bugcheck, or runs
// longer than the watchdog allows prints its fixture, mutation, seed and
// bytes before the process ends; a case that only leaks reports the same
// through the test's failure message. Replay one with
//   Mutate(LoadFixture(fixture).configuration, kind, seed).
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <mutex>
#include <thread>
#include <unistd.h>

#include "tests/adapter/uac1/device_life.h"
#include "tests/adapter/uac1/model_fixture.h"
#include "platform/usb/descriptor_file.h"

// With a sanitizer, its report ends the process through its own death
// callback, which names the case too.
#if defined(__SANITIZE_ADDRESS__)
#define UAC1_HAVE_SANITIZER_CALLBACK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UAC1_HAVE_SANITIZER_CALLBACK 1
#endif
#endif
#ifdef UAC1_HAVE_SANITIZER_CALLBACK
#include <sanitizer/common_interface_defs.h>
#endif

namespace uac1test {
namespace {

constexpr uint32_t kBaseSeed = 0x0AC10000;
// Cases per fixture: every kind of mutation twenty times.
constexpr int kCasesPerFixture = 20 * (int)MutationKind::Count;
// Wall-clock limit of one case (the executor's own deadlock detection ends
// a case whose threads all wait; this catches one that spins).
constexpr int kWatchdogSeconds = 60;

// The case being run, kept where a signal handler can write it.
char g_Case[16384];

void PrintCase() {
    const char header[] = "\n*** UAC 1.0 mutation case in progress:\n";
    ssize_t ignored = write(2, header, sizeof(header) - 1);
    ignored = write(2, g_Case, strnlen(g_Case, sizeof(g_Case)));
    (void)ignored;
}

extern "C" void OnFatalSignal(int signal) {
    PrintCase();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// Ends the process, naming the case, when one case runs too long.
class Watchdog {
public:
    Watchdog() : m_Thread([this] { Watch(); }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> hold(m_Lock);
            m_Done = true;
        }
        m_Wake.notify_all();
        m_Thread.join();
    }
    void Begin() { m_Started = std::chrono::steady_clock::now().time_since_epoch().count(); }
    void End() { m_Started = 0; }

private:
    void Watch() {
        std::unique_lock<std::mutex> hold(m_Lock);
        while (!m_Done) {
            m_Wake.wait_for(hold, std::chrono::seconds(1));
            const long long started = m_Started;
            if (started == 0) continue;
            const auto running = std::chrono::steady_clock::now().time_since_epoch().count() - started;
            if (running > std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                              std::chrono::seconds(kWatchdogSeconds))
                              .count()) {
                PrintCase();
                std::abort();
            }
        }
    }

    std::atomic<long long> m_Started{0};
    std::mutex m_Lock;
    std::condition_variable m_Wake;
    bool m_Done = false;
    std::thread m_Thread;
};

std::string Describe(const char* fixture, MutationKind kind, uint32_t seed, const simusb::Bytes& bytes) {
    char head[160];
    std::snprintf(head, sizeof(head), "fixture %s, mutation %s, seed 0x%08X, %zu bytes:\n", fixture,
                  MutationName(kind), seed, bytes.size());
    return head + HexBytes(bytes) + "\n";
}

class MutationTest : public ::testing::TestWithParam<const char*> {
protected:
    static void SetUpTestSuite() {
        for (int signal : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL}) std::signal(signal, OnFatalSignal);
#ifdef UAC1_HAVE_SANITIZER_CALLBACK
        __sanitizer_set_death_callback(PrintCase);
#endif
    }
};

// Every case of one fixture's sweep.
void RunMutations(const char* fixture, const simusb::DescriptorSet& base) {
    uint32_t fixtureSeed = kBaseSeed;
    for (const char* c = fixture; *c != '\0'; ++c) fixtureSeed = fixtureSeed * 31 + (uint8_t)*c;
    Watchdog watchdog;
    for (int i = 0; i < kCasesPerFixture; ++i) {
        const auto kind = (MutationKind)(i % (int)MutationKind::Count);
        const uint32_t seed = fixtureSeed + (uint32_t)i;
        simusb::DescriptorSet set = base;
        set.configuration = Mutate(base.configuration, kind, seed);
        const std::string description = Describe(fixture, kind, seed, set.configuration);
        std::snprintf(g_Case, sizeof(g_Case), "%s", description.c_str());
        watchdog.Begin();
        const LifeOutcome outcome = RunDeviceLife(set);
        watchdog.End();
        EXPECT_TRUE(outcome.problems.empty()) << description << outcome.problems;
    }
    g_Case[0] = '\0';
}

// Every pool allocation of one fixture's life failing in turn.
void RunAllocationFailures(const char* fixture, const simusb::DescriptorSet& set) {
    uint64_t attempts = 0;
    ASSERT_TRUE(RunDeviceLife(set, 0, &attempts).problems.empty());
    Watchdog watchdog;
    for (uint64_t n = 1; n <= attempts; ++n) {
        std::snprintf(g_Case, sizeof(g_Case), "fixture %s, allocation %llu of %llu failing\n", fixture,
                      (unsigned long long)n, (unsigned long long)attempts);
        watchdog.Begin();
        const LifeOutcome outcome = RunDeviceLife(set, n);
        watchdog.End();
        EXPECT_TRUE(outcome.problems.empty()) << g_Case << outcome.problems;
    }
    g_Case[0] = '\0';
}

TEST_P(MutationTest, EveryCaseEndsCleanly) { RunMutations(GetParam(), LoadFixture(GetParam())); }

INSTANTIATE_TEST_SUITE_P(Fixtures, MutationTest,
                         ::testing::ValuesIn(kFixtures),
                         [](const auto& info) { return std::string(info.param); });

// Every pool allocation from the adapter's creation to the end of the life
// failing in turn (the start then fails wherever it fails): nothing may be
// left behind and nothing may crash.
class AllocationFailureTest : public MutationTest {};

TEST_P(AllocationFailureTest, EachAllocationFailingInTurn) {
    RunAllocationFailures(GetParam(), LoadFixture(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Fixtures, AllocationFailureTest,
                         ::testing::ValuesIn(kAcceptedFixtures),
                         [](const auto& info) { return std::string(info.param); });

// The class 2.0 descriptor files at high speed (the UAC 2.0 model with its
// own streams, the clock answers of the simulated device); the clock
// selector's file is refused by the parser.
simusb::DescriptorSet LoadUac2File(const std::string& name) {
    const std::string path = std::string(UAC1_FIXTURE_DIR) + "/../" + name;
    simusb::DescriptorSet set;
    simusb::DescriptorFileError error;
    if (!simusb::LoadDescriptorFile(path, simusb::UsbSpeed::High, &set, &error))
        ADD_FAILURE() << path << ": " << error.message;
    return set;
}

const std::vector<const char*> kUac2Files = {"usb/uac2_async_device.txt", "uac2/clock_selector.txt"};

class Uac2MutationTest : public MutationTest {};

TEST_P(Uac2MutationTest, EveryCaseEndsCleanly) { RunMutations(GetParam(), LoadUac2File(GetParam())); }

TEST_P(Uac2MutationTest, EachAllocationFailingInTurn) {
    RunAllocationFailures(GetParam(), LoadUac2File(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Uac2Files, Uac2MutationTest, ::testing::ValuesIn(kUac2Files), [](const auto& info) {
    std::string name = info.param;
    for (char& ch : name)
        if (!std::isalnum((unsigned char)ch)) ch = '_';
    return name;
});

// The harness itself: every unmutated fixture lives and goes cleanly, and
// the ones the driver accepts start.
TEST(DeviceLife, UnmutatedFixturesEndCleanly) {
    for (const char* fixture : {"class_example_microphone", "headset", "multichannel", "volume_only"}) {
        const LifeOutcome outcome = RunDeviceLife(LoadFixture(fixture));
        EXPECT_TRUE(outcome.problems.empty()) << fixture << "\n" << outcome.problems;
        if (std::string(fixture) != "volume_only") {
            EXPECT_EQ(outcome.init, STATUS_SUCCESS) << fixture;
            EXPECT_EQ(outcome.start, STATUS_SUCCESS) << fixture;
        }
    }
}

}  // namespace
}  // namespace uac1test
