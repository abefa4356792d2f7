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

class KernelHarnessListener : public ::testing::EmptyTestEventListener {
public:
    void OnTestStart(const ::testing::TestInfo&) override
    {
        platform::VerifierTakeFaults();
        platform::PoolClearFailures();
        m_serial = platform::PoolCurrentSerial();
        // Every test starts on a clean machine: time 0, no threads, timers or handles left.
        platform::MachineReset();
        kvxtest::RunTestStartHooks();
    }

    void OnTestEnd(const ::testing::TestInfo& info) override
    {
        kvxtest::RunTestEndHooks();
        platform::MachineCheckClean();
        platform::PoolVerifyAll();
        platform::PoolClearFailures();
        for (const auto& f : platform::VerifierTakeFaults()) {
            std::fprintf(stderr, "[harness] %s.%s: verifier fault %s: %s\n", info.test_suite_name(), info.name(),
                         f.Rule.c_str(), f.Detail.c_str());
            g_harnessFailed = true;
        }
        if (!kvxtest::LeakCheckSuppressed() && platform::PoolLiveSince(m_serial) != 0) {
            std::fprintf(stderr, "[harness] %s.%s: pool leak: %s\n", info.test_suite_name(), info.name(),
                         platform::PoolLeakReport(m_serial).c_str());
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
    int rc = RUN_ALL_TESTS();
    if (g_harnessFailed) {
        std::fprintf(stderr, "[harness] FAILED: leaks or verifier faults (see above)\n");
        rc = 1;
    }
    return rc;
}
