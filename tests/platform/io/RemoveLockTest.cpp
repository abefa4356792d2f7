#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "platform/io/Io.h"
#include "platform/nt/Clock.h"
#include "platform/nt/Kernel.h"
#include "platform/nt/Verifier.h"

namespace {

constexpr ULONG kTag = MakePoolTag("RlTs");

std::string AddressOf(const void* p)
{
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

// A DPC that acquires (and is refused) and then releases the tag it was given, some time later.
struct LateRelease {
    PIO_REMOVE_LOCK lock;
    PVOID tag;
    NTSTATUS acquireDuringRemoval = STATUS_SUCCESS;
    KDPC dpc;
    KTIMER timer;

    LateRelease(PIO_REMOVE_LOCK l, PVOID t, int64_t afterMs) : lock(l), tag(t)
    {
        KeInitializeDpc(&dpc, Run, this);
        KeInitializeTimer(&timer);
        LARGE_INTEGER due;
        due.QuadPart = -afterMs * platform::TICKS_PER_MS;
        KeSetTimer(&timer, due, &dpc);
    }
    static VOID Run(PKDPC, PVOID context, PVOID, PVOID)
    {
        auto* self = static_cast<LateRelease*>(context);
        self->acquireDuringRemoval = IoAcquireRemoveLock(self->lock, self);
        IoReleaseRemoveLock(self->lock, self->tag);
    }
};

TEST(RemoveLock, RemovalWaitsForEveryAcquisitionAndThenRefusesNewOnes)
{
    IO_REMOVE_LOCK lock;
    IoInitializeRemoveLock(&lock, kTag, 0, 0);
    int mine = 0, other = 0;
    EXPECT_EQ(IoAcquireRemoveLock(&lock, &mine), STATUS_SUCCESS);
    EXPECT_EQ(IoAcquireRemoveLock(&lock, &other), STATUS_SUCCESS);
    EXPECT_EQ(IoAcquireRemoveLock(&lock, &other), STATUS_SUCCESS);  // one tag, two acquisitions
    IoReleaseRemoveLock(&lock, &other);
    EXPECT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_SUCCESS);
    IoReleaseRemoveLock(&lock, nullptr);

    LateRelease late(&lock, &other, 40);
    const int64_t start = platform::ClockNow();
    IoReleaseRemoveLockAndWait(&lock, &mine);
    EXPECT_EQ(platform::ClockNow() - start, 40 * platform::TICKS_PER_MS);
    // Refused while the removal waited, without a fault: that race is what the lock is for.
    EXPECT_EQ(late.acquireDuringRemoval, STATUS_DELETE_PENDING);
    EXPECT_EQ(platform::VerifierFaultCount(), 0u);
    KeFlushQueuedDpcs();
}

TEST(RemoveLock, MisuseIsNamedWithTheOutstandingTags)
{
    int held = 0, stranger = 0;
    struct Case {
        const char* name;
        std::function<void(PIO_REMOVE_LOCK)> run;
        const char* rule;
    };
    const Case cases[] = {
        {"release of a tag never acquired", [&](PIO_REMOVE_LOCK lock) { IoReleaseRemoveLock(lock, &stranger); },
         "REMOVE_LOCK_RELEASE_UNKNOWN_TAG"},
        {"removal with a tag never acquired",
         [&](PIO_REMOVE_LOCK lock) {
             IoReleaseRemoveLock(lock, &held);
             IoReleaseRemoveLockAndWait(lock, &stranger);
         },
         "REMOVE_LOCK_RELEASE_UNKNOWN_TAG"},
        {"acquire after removal returned",
         [&](PIO_REMOVE_LOCK lock) {
             IoReleaseRemoveLockAndWait(lock, &held);
             EXPECT_EQ(IoAcquireRemoveLock(lock, &stranger), STATUS_DELETE_PENDING);
         },
         "REMOVE_LOCK_ACQUIRE_AFTER_REMOVE"},
        {"removal twice",
         [&](PIO_REMOVE_LOCK lock) {
             IoReleaseRemoveLockAndWait(lock, &held);
             IoReleaseRemoveLockAndWait(lock, &held);
         },
         "REMOVE_LOCK_WAIT_TWICE"},
        {"more acquisitions than the high watermark",
         [&](PIO_REMOVE_LOCK lock) {
             IoAcquireRemoveLock(lock, &stranger);
             IoAcquireRemoveLock(lock, &stranger);
         },
         "REMOVE_LOCK_HIGH_WATERMARK"},
        {"never initialised",
         [&](PIO_REMOVE_LOCK lock) {
             std::memset(lock, 0, sizeof *lock);
             EXPECT_EQ(IoAcquireRemoveLock(lock, &held), STATUS_DELETE_PENDING);
         },
         "REMOVE_LOCK_NOT_INITIALIZED"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        IO_REMOVE_LOCK lock;
        IoInitializeRemoveLock(&lock, kTag, 0, 2);
        ASSERT_EQ(IoAcquireRemoveLock(&lock, &held), STATUS_SUCCESS);
        c.run(&lock);
        const auto faults = platform::VerifierTakeFaults();
        ASSERT_EQ(faults.size(), 1u);
        EXPECT_EQ(faults[0].Rule, c.rule);
        if (std::string(c.name) == "release of a tag never acquired") {  // `held` is still outstanding
            EXPECT_NE(faults[0].Detail.find(AddressOf(&held)), std::string::npos) << faults[0].Detail;
        }
    }
}

TEST(RemoveLock, RemovalThatWaitsTooLongNamesWhoHoldsIt)
{
    IO_REMOVE_LOCK lock;
    IoInitializeRemoveLock(&lock, kTag, 2, 0);
    int mine = 0, forgotten = 0;
    ASSERT_EQ(IoAcquireRemoveLock(&lock, &mine), STATUS_SUCCESS);
    ASSERT_EQ(IoAcquireRemoveLock(&lock, &forgotten), STATUS_SUCCESS);
    // Released at last after three minutes: the removal names the holder after two, and still waits.
    LateRelease late(&lock, &forgotten, 3 * 60 * 1000);
    const int64_t start = platform::ClockNow();
    IoReleaseRemoveLockAndWait(&lock, &mine);
    EXPECT_EQ(platform::ClockNow() - start, 3 * 60 * 1000 * platform::TICKS_PER_MS);
    const auto faults = platform::VerifierTakeFaults();
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_EQ(faults[0].Rule, "REMOVE_LOCK_WAIT_TIMEOUT");
    EXPECT_NE(faults[0].Detail.find(AddressOf(&forgotten) + " x1"), std::string::npos) << faults[0].Detail;
    KeFlushQueuedDpcs();
}

}  // namespace
