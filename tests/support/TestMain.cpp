// Test main with the kernel harness: each test starts on a reset machine; after it, pool blocks
// allocated during the test and still live are a leak, and verifier faults nobody claimed (among
// them system threads, handles and callback registrations left behind) are a failure. The process exit code
// carries the verdict, and CTest runs each test case in a process of its own.
#include <gtest/gtest.h>

#include <cstdio>

#include "platform/nt/Machine.h"
#include "platform/nt/Pool.h"
#include "platform/nt/Verifier.h"
#include "tests/support/Harness.h"
#include "platform/nt/PoolHost.h"

namespace {

bool g_harnessFailed = false;

// A watchdog ends the process (a thread that never waits cannot be stopped): name the test first.
void OnMachineFatal(const char* rule)
{
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::fprintf(stderr, "[  FAILED  ] %s.%s: machine fault %s; the process ends here\n",
                 info != nullptr ? info->test_suite_name() : "(no test)", info != nullptr ? info->name() : "", rule);
}

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
    int rc = RUN_ALL_TESTS();
    if (g_harnessFailed) {
        std::fprintf(stderr, "[harness] FAILED: leaks or verifier faults (see above)\n");
        rc = 1;
    }
    return rc;
}
