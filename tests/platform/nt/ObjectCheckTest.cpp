#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "platform/nt/Kernel.h"
#include "platform/nt/Verifier.h"
#include "tests/platform/nt/SystemThreadHelper.h"
#include "platform/nt/PoolHost.h"

namespace {

constexpr ULONG kTag = MakePoolTag("ObjT");

// A driver's context block holding one of each kernel object.
struct Context {
    KTIMER Timer;
    KDPC Dpc;
    KEVENT Event;
    KMUTEX Mutex;
    KSPIN_LOCK Lock;
    LONG DpcRuns;
};

Context* NewContext()
{
    auto* c = static_cast<Context*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Context), kTag));
    EXPECT_NE(c, nullptr);
    return c;
}

VOID CountingDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* c = static_cast<Context*>(context);
    InterlockedIncrement(&c->DpcRuns);
    KeSetEvent(&c->Event, IO_NO_INCREMENT, FALSE);
}

void InitialiseAll(Context* c)
{
    KeInitializeTimer(&c->Timer);
    KeInitializeDpc(&c->Dpc, CountingDpc, c);
    KeSetTargetProcessorDpc(&c->Dpc, 0);
    KeInitializeEvent(&c->Event, NotificationEvent, FALSE);
    KeInitializeMutex(&c->Mutex, 0);
    KeInitializeSpinLock(&c->Lock);
    c->DpcRuns = 0;
}

std::string Rules()
{
    std::string rules;
    for (const auto& f : platform::VerifierTakeFaults()) {
        rules += (rules.empty() ? "" : " ") + f.Rule;
    }
    return rules;
}

TEST(ObjectCheck, ObjectsInitialisedInPoolAndRetiredCorrectlyRaiseNothing)
{
    Context* c = NewContext();
    InitialiseAll(c);
    KeSetTimer(&c->Timer, kvxtest::RelativeMs(5), &c->Dpc);
    EXPECT_EQ(KeWaitForSingleObject(&c->Event, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    EXPECT_EQ(KeWaitForSingleObject(&c->Mutex, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    KIRQL old;
    KeAcquireSpinLock(&c->Lock, &old);
    KeReleaseSpinLock(&c->Lock, old);
    KeReleaseMutex(&c->Mutex, FALSE);
    KeSetTimerEx(&c->Timer, kvxtest::RelativeMs(1), 1, &c->Dpc);
    EXPECT_EQ(KeWaitForSingleObject(&c->Timer, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    KeCancelTimer(&c->Timer);
    KeFlushQueuedDpcs();
    KeInitializeTimer(&c->Timer);  // re-initialising a cancelled timer and an idle DPC is fine
    KeInitializeDpc(&c->Dpc, CountingDpc, c);
    ExFreePoolWithTag(c, kTag);
    platform::PoolVerifyAll();
    EXPECT_EQ(Rules(), "");
}

// First use of an object that no initialiser wrote: pool memory as allocated (poisoned) or zeroed.
TEST(ObjectCheck, UninitialisedObjectsAreCaughtOnFirstUse)
{
    struct Case {
        const char* Name;
        std::function<void(Context*)> Use;
        const char* RuleWhenPoisoned;
        const char* RuleWhenZeroed;
    };
    LARGE_INTEGER zero{};
    const Case cases[] = {
        {"KeSetEvent", [](Context* c) { KeSetEvent(&c->Event, IO_NO_INCREMENT, FALSE); }, "OBJECT_UNINITIALIZED",
         "OBJECT_UNINITIALIZED"},
        {"wait on an event",
         [&](Context* c) {
             EXPECT_EQ(KeWaitForSingleObject(&c->Event, Executive, KernelMode, FALSE, &zero),
                       STATUS_INVALID_PARAMETER);
         },
         "WAIT_OBJECT", "OBJECT_UNINITIALIZED"},  // a poisoned header is not even a dispatcher type
        {"KeSetTimer", [&](Context* c) { EXPECT_FALSE(KeSetTimer(&c->Timer, kvxtest::RelativeMs(1), nullptr)); },
         "OBJECT_UNINITIALIZED", "OBJECT_UNINITIALIZED"},
        {"KeReleaseMutex", [](Context* c) { KeReleaseMutex(&c->Mutex, FALSE); }, "OBJECT_UNINITIALIZED",
         "OBJECT_UNINITIALIZED"},
        {"KeInsertQueueDpc", [](Context* c) { EXPECT_FALSE(KeInsertQueueDpc(&c->Dpc, nullptr, nullptr)); },
         "DPC_UNINITIALIZED", "DPC_UNINITIALIZED"},
        {"timer with an uninitialised DPC",
         [&](Context* c) {
             KeInitializeTimer(&c->Timer);
             EXPECT_FALSE(KeSetTimer(&c->Timer, kvxtest::RelativeMs(1), &c->Dpc));
             EXPECT_FALSE(KeCancelTimer(&c->Timer));
         },
         "DPC_UNINITIALIZED", "DPC_UNINITIALIZED"},
        // A zeroed spin lock is a free lock; a poisoned one would spin forever and is reset.
        {"spin lock",
         [](Context* c) {
             KIRQL old;
             KeAcquireSpinLock(&c->Lock, &old);
             KeReleaseSpinLock(&c->Lock, old);
         },
         "OBJECT_UNINITIALIZED", ""},
    };
    for (const Case& k : cases) {
        for (bool zeroed : {false, true}) {
            SCOPED_TRACE(testing::Message() << k.Name << (zeroed ? ", zeroed" : ", poisoned"));
            Context* c = NewContext();
            if (zeroed) {
                std::memset(c, 0, sizeof(*c));
            }
            k.Use(c);
            EXPECT_EQ(Rules(), zeroed ? k.RuleWhenZeroed : k.RuleWhenPoisoned);
            ExFreePoolWithTag(c, kTag);
        }
    }
}

TEST(ObjectCheck, ACopiedObjectIsNotAnInitialisedOne)
{
    KEVENT original;
    KeInitializeEvent(&original, NotificationEvent, FALSE);
    KEVENT copy = original;
    KeSetEvent(&copy, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(Rules(), "OBJECT_UNINITIALIZED");
    EXPECT_EQ(KeReadStateEvent(&copy), 0);
}

TEST(ObjectCheck, FreeingPoolWithASetTimerIsReportedAndTheTimerNeverFires)
{
    Context* c = NewContext();
    InitialiseAll(c);
    KeSetTimerEx(&c->Timer, kvxtest::RelativeMs(5), 5, &c->Dpc);
    ExFreePoolWithTag(c, kTag);
    const auto faults = platform::VerifierTakeFaults();
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_EQ(faults[0].Rule, "POOL_FREE_TIMER_SET");
    EXPECT_NE(faults[0].Detail.find("tag 'ObjT'"), std::string::npos) << faults[0].Detail;
    // Had the timer stayed set, its DPC would write into the freed block: the poison check would see it.
    LARGE_INTEGER later = kvxtest::RelativeMs(50);
    KeDelayExecutionThread(KernelMode, FALSE, &later);
    KeFlushQueuedDpcs();
    platform::PoolVerifyAll();
    EXPECT_EQ(Rules(), "");
}

// DPCs queued from a DPC on the same processor stay queued until it returns: the window in which
// a driver frees or re-initialises them.
struct DpcProbe {
    KDPC Outer;
    Context* Inner;
    std::function<void(Context*)> Action;
};

VOID ProbeDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* probe = static_cast<DpcProbe*>(context);
    EXPECT_TRUE(KeInsertQueueDpc(&probe->Inner->Dpc, nullptr, nullptr));
    probe->Action(probe->Inner);
}

void RunFromADpc(Context* inner, std::function<void(Context*)> action)
{
    DpcProbe probe{{}, inner, std::move(action)};
    KeInitializeDpc(&probe.Outer, ProbeDpc, &probe);
    KeSetTargetProcessorDpc(&probe.Outer, 0);
    EXPECT_TRUE(KeInsertQueueDpc(&probe.Outer, nullptr, nullptr));
    KeFlushQueuedDpcs();
}

TEST(ObjectCheck, FreeingPoolWithAQueuedDpcIsReportedAndTheDpcNeverRuns)
{
    static LONG innerRuns;
    innerRuns = 0;
    Context* c = NewContext();
    InitialiseAll(c);
    KeInitializeDpc(&c->Dpc, [](PKDPC, PVOID, PVOID, PVOID) { InterlockedIncrement(&innerRuns); }, nullptr);
    KeSetTargetProcessorDpc(&c->Dpc, 0);
    RunFromADpc(c, [](Context* inner) { ExFreePoolWithTag(inner, kTag); });
    EXPECT_EQ(Rules(), "POOL_FREE_DPC_QUEUED");
    EXPECT_EQ(innerRuns, 0);
    platform::PoolVerifyAll();
    EXPECT_EQ(Rules(), "");
}

TEST(ObjectCheck, ReinitialisingASetTimerOrAQueuedDpcIsAFault)
{
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, kvxtest::RelativeMs(10), nullptr);
    KeInitializeTimer(&timer);
    EXPECT_EQ(Rules(), "TIMER_REINITIALIZED");
    EXPECT_FALSE(KeCancelTimer(&timer));  // it no longer sits in the timer queue

    Context* c = NewContext();
    InitialiseAll(c);
    RunFromADpc(c, [](Context* inner) { KeInitializeDpc(&inner->Dpc, CountingDpc, inner); });
    EXPECT_EQ(Rules(), "DPC_REINITIALIZED");
    EXPECT_EQ(c->DpcRuns, 0);
    ExFreePoolWithTag(c, kTag);
}

TEST(ObjectCheck, FreeingPoolWhileAThreadWaitsOnAnObjectInItIsReported)
{
    Context* c = NewContext();
    InitialiseAll(c);
    NTSTATUS waited = STATUS_PENDING;
    {
        kvxtest::SystemThread waiter([&] {
            LARGE_INTEGER timeout = kvxtest::RelativeMs(100);
            waited = KeWaitForSingleObject(&c->Event, Executive, KernelMode, FALSE, &timeout);
        });
        LARGE_INTEGER settle = kvxtest::RelativeMs(1);
        KeDelayExecutionThread(KernelMode, FALSE, &settle);
        ExFreePoolWithTag(c, kTag);
        const auto faults = platform::VerifierTakeFaults();
        ASSERT_EQ(faults.size(), 1u);
        EXPECT_EQ(faults[0].Rule, "POOL_FREE_OBJECT_WAITED");
        EXPECT_NE(faults[0].Detail.find("event"), std::string::npos) << faults[0].Detail;
    }
    // The waiter reads the freed block until its time-out: the block's memory is never reused.
    EXPECT_EQ(waited, STATUS_TIMEOUT);
    EXPECT_EQ(Rules(), "");
}

}  // namespace
