// The V3 jack headset's start with each of its allocations failing in turn. Every start runs the
// whole configuration, so the sweep takes seconds (more under the sanitizers): it has its own
// program, labelled heavy.
#include "platform/nt/PoolHost.h"
#include "tests/usb/DeviceStartFixture.h"

namespace {

using V3StartSweepTest = kvxtest::DeviceStartFixture;

// Every allocation of the start failing in turn: a clean status and nothing left behind.
TEST_F(V3StartSweepTest, EachFailedAllocationOfTheStartEndsCleanly)
{
    PlugProfile("v3-jack-headset.json");
    uint64_t before = platform::PoolCurrentSerial();
    ASSERT_EQ(StartDeviceObject(), STATUS_SUCCESS);
    const uint64_t count = platform::PoolCurrentSerial() - before;
    StopDeviceObject(true);
    ASSERT_GT(count, 10u);
    int failed = 0;
    for (uint64_t n = 1; n <= count; ++n) {
        SCOPED_TRACE(n);
        PlugProfile("v3-jack-headset.json");
        before = platform::PoolCurrentSerial();
        kvxtest::DeviceObjectOptions options;
        options.FailNthAllocation = n;
        const NTSTATUS status = StartDeviceObject(options);
        failed += NT_SUCCESS(status) ? 0 : 1;
        StopDeviceObject(true);
        platform::PoolClearFailures();
        EXPECT_EQ(platform::PoolLiveSince(before), 0u) << platform::PoolLeakReport(before);
    }
    EXPECT_GT(failed, 0);
}

}  // namespace
