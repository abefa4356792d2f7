// Test main with the kernel harness: each test starts on a reset machine; after it, pool blocks
// allocated during the test and still live are a leak, and verifier faults nobody claimed (among
// them system threads, handles and callback registrations left behind) are a failure. The process exit code
// carries the verdict. CTest runs each test case in a process of its own, or (under the sanitizers)
// each program once; either way every case starts on a reset machine.
#include <gtest/gtest.h>

#include <cstdio>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KVX_SANITIZER_DEATH_CALLBACK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KVX_SANITIZER_DEATH_CALLBACK 1
#endif
#endif
#ifdef KVX_SANITIZER_DEATH_CALLBACK
#include <sanitizer/common_interface_defs.h>
#endif

#include "platform/nt/Machine.h"
#include "platform/nt/Pool.h"
#include "platform/nt/Verifier.h"
#include "tests/support/Harness.h"
#include "platform/nt/PoolHost.h"

namespace {

bool g_harnessFailed = false;

// Names the running test as failed before the process ends under it.
void NameTheEndedTest(const char* cause)
{
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::fprintf(stderr, "[  FAILED  ] %s.%s: %s; the process ends here\n",
                 info != nullptr ? info->test_suite_name() : "(no test)", info != nullptr ? info->name() : "", cause);
}

// A watchdog ends the process (a thread that never waits cannot be stopped): name the test first.
void OnMachineFatal(const char* rule)
{
    char cause[96];
    std::snprintf(cause, sizeof cause, "machine fault %s", rule);
    NameTheEndedTest(cause);
}

#ifdef KVX_SANITIZER_DEATH_CALLBACK
// A sanitizer report ends the process too; when a program runs all its cases in one process, this
// says which case it ended in.
void OnSanitizerDeath() { NameTheEndedTest("sanitizer report above"); }
#endif

}  // namespace

#ifdef KVX_SANITIZER_DEATH_CALLBACK
// The undefined-behaviour checks end the process without the death callback: their report hook
// names the case (every report is fatal in these builds).
extern "C" void __ubsan_on_report() { NameTheEndedTest("undefined behaviour reported above"); }
#endif

namespace {

class KernelHarnessListener : public ::testing::EmptyTestEventListener {
public:
    void OnTestStart(const ::testing::TestInfo&) override
    {
        platform::VerifierTakeFaults();
        platform::PoolClearFailures();
        platform::PoolSetSanitizerPoisoning(true);
        m_serial = platform::PoolCurrentSerial();
        // Every test starts on a clean machine: time 0, no threads, timers or handles left.
        platform::MachineReset();
        kvxtest::RunTestStartHooks();
    }

    void OnTestEnd(const ::testing::TestInfo&) override
    {
        kvxtest::RunTestEndHooks();
        platform::MachineCheckClean();
        platform::PoolVerifyAll();
        platform::PoolClearFailures();
        // Listeners hear OnTestEnd in reverse order, so this runs before the result is printed and
        // a failure added here fails the test case by name.
        for (const auto& f : platform::VerifierTakeFaults()) {
            ADD_FAILURE() << "verifier fault " << f.Rule << ": " << f.Detail;
            g_harnessFailed = true;
        }
        if (!kvxtest::LeakCheckSuppressed() && platform::PoolLiveSince(m_serial) != 0) {
            ADD_FAILURE() << "pool leak: " << platform::PoolLeakReport(m_serial);
            g_harnessFailed = true;
        }
        kvxtest::SuppressLeakCheck(false);
    }

private:
    uint64_t m_serial = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new KernelHarnessListener);
    platform::SetMachineFatalHandler(OnMachineFatal);
#ifdef KVX_SANITIZER_DEATH_CALLBACK
    __sanitizer_set_death_callback(OnSanitizerDeath);
#endif
    int rc = RUN_ALL_TESTS();
    if (g_harnessFailed) {
        std::fprintf(stderr, "[harness] FAILED: leaks or verifier faults (see above)\n");
        rc = 1;
    }
    return rc;
}
