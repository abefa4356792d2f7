#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/nt/Clock.h"
#include "platform/nt/Dispatcher.h"
#include "platform/nt/Machine.h"
#include "platform/nt/Ob.h"
#include "platform/nt/Thread.h"
#include "platform/nt/Verifier.h"
#include "tests/platform/nt/SystemThreadHelper.h"
#include "platform/nt/ThreadHost.h"

namespace kvxtest {
VOID KernelStyleThreadRoutine(PVOID context);
}

namespace {

using namespace std::chrono_literals;

VOID TerminatingThread(PVOID context)
{
    auto* started = static_cast<KEVENT*>(context);
    KeSetEvent(started, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_DEVICE_NOT_CONNECTED);
    ADD_FAILURE() << "PsTerminateSystemThread returned";
}

TEST(Thread, SystemThreadRunsTerminatesAndIsWaitableByHandle)
{
    KEVENT started;
    KeInitializeEvent(&started, NotificationEvent, FALSE);
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, TerminatingThread, &started),
              STATUS_SUCCESS);
    PVOID object = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &object, nullptr),
              STATUS_SUCCESS);
    auto* thread = static_cast<PKTHREAD>(object);
    EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *ExEventObjectType, KernelMode, &object, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);

    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    EXPECT_EQ(KeReadStateEvent(&started), 1);
    EXPECT_EQ(platform::ThreadExitStatus(thread), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(platform::ThreadLiveCount(), 0u);
    platform::RunFor(0ms);  // lets the ended thread drop its own reference
    EXPECT_EQ(platform::ObReferenceCount(thread), 1);
    ObDereferenceObject(thread);
    EXPECT_EQ(platform::ObReferenceCount(thread), 0);
}

TEST(Thread, TerminationUnwindsThroughCodeBuiltWithoutExceptions)
{
    NTSTATUS status = STATUS_INVALID_DEVICE_STATE;
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                                   kvxtest::KernelStyleThreadRoutine, &status),
              STATUS_SUCCESS);
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    ZwClose(handle);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    EXPECT_EQ(platform::ThreadExitStatus(static_cast<PKTHREAD>(thread)), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(status, STATUS_INVALID_DEVICE_STATE);
    ObDereferenceObject(thread);
}

TEST(Thread, ClientThreadsHoldTheClockAndExternalWaitsRelease)
{
    int64_t finishedAt = -1;
    std::thread client([&] {
        platform::ClientThreadScope scope("client");
        LARGE_INTEGER interval = kvxtest::RelativeMs(100);
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        finishedAt = platform::ClockNow();
    });
    {
        // Joining is no kernel wait: without the scope the clock would wait for this thread forever.
        platform::ExternalWaitScope external;
        client.join();
    }
    EXPECT_EQ(finishedAt, 100 * platform::TICKS_PER_MS);
}

TEST(Thread, PrioritiesAreRecordedInOrder)
{
    kvxtest::SystemThread worker([] {});
    PKTHREAD thread = worker.Thread();
    EXPECT_EQ(KeSetPriorityThread(thread, 31), SYSTEM_THREAD_DEFAULT_PRIORITY);
    EXPECT_EQ(KeSetPriorityThread(thread, 24), 31);
    EXPECT_EQ(KeQueryPriorityThread(thread), 24);
    EXPECT_EQ(platform::ThreadPriorityHistory(thread), (std::vector<KPRIORITY>{SYSTEM_THREAD_DEFAULT_PRIORITY, 31, 24}));
    KeSetPriorityThread(thread, 32);
    EXPECT_EQ(platform::VerifierTakeFaults().size(), 1u);
    EXPECT_EQ(KeQueryPriorityThread(thread), 24);
}

TEST(Thread, CreationCanBeMadeToFail)
{
    platform::ThreadFailNextCreate(STATUS_INSUFFICIENT_RESOURCES);
    HANDLE handle = reinterpret_cast<HANDLE>(1);
    EXPECT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, [](PVOID) {}, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(platform::ThreadLiveCount(), 0u);
    kvxtest::SystemThread next([] {});  // only the one creation failed
}

TEST(Thread, LeftoverThreadsAndHandlesAreReportedAtTheEnd)
{
    KEVENT stop;
    KeInitializeEvent(&stop, NotificationEvent, FALSE);
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(
                  &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
                  [](PVOID context) {
                      KeWaitForSingleObject(context, Executive, KernelMode, FALSE, nullptr);
                  },
                  &stop),
              STATUS_SUCCESS);
    platform::MachineCheckClean();
    std::vector<std::string> rules;
    for (const auto& f : platform::VerifierTakeFaults()) {
        rules.push_back(f.Rule);
    }
    EXPECT_EQ(rules, (std::vector<std::string>{"THREAD_LEAK", "HANDLE_LEAK"}));
    KeSetEvent(&stop, IO_NO_INCREMENT, FALSE);
    EXPECT_TRUE(platform::RunUntil([] { return platform::ThreadLiveCount() == 0; }, 1s));
    ZwClose(handle);
}

TEST(Thread, TerminateOutsideASystemThreadIsAFault)
{
    EXPECT_EQ(PsTerminateSystemThread(STATUS_SUCCESS), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(platform::VerifierTakeFaults().size(), 1u);
}

TEST(Ob, ReferenceCountsAndLastReference)
{
    static int finalised = 0;
    finalised = 0;
    int object = 0;
    platform::ObRegister(&object, "Device", [](void*) { ++finalised; });
    EXPECT_EQ(platform::ObReferenceCount(&object), 1);
    EXPECT_EQ(ObfReferenceObject(&object), 2);
    EXPECT_EQ(ObfDereferenceObject(&object), 1);
    EXPECT_EQ(finalised, 0);
    EXPECT_EQ(ObfDereferenceObject(&object), 0);
    EXPECT_EQ(finalised, 1);
    EXPECT_FALSE(platform::ObIsRegistered(&object));

    // Below zero, or never registered.
    ObDereferenceObject(&object);
    ASSERT_EQ(platform::VerifierTakeFaults().size(), 1u);

    // An unregistered pointer may be referenced; its last dereference forgets it.
    EXPECT_EQ(ObReferenceObject(&object), 1);
    EXPECT_EQ(ObDereferenceObject(&object), 0);
    EXPECT_EQ(platform::ObReferenceCount(&object), 0);
}

TEST(Ob, EventHandlesAreReferencedByType)
{
    // A process's event, referenced from that process in user mode.
    platform::ProcessScope process(7);
    PKEVENT event = nullptr;
    HANDLE handle = platform::EventHandleCreateInProcess(SynchronizationEvent, false, EVENT_ALL_ACCESS, &event);
    ASSERT_NE(event, nullptr);
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &object, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(object, event);
    EXPECT_EQ(platform::ObReferenceCount(event), 2);
    EXPECT_EQ(ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(0x7770), 0, nullptr, KernelMode, &object, nullptr),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(platform::ObReferenceCount(event), 1);
    KeSetEvent(event, IO_NO_INCREMENT, FALSE);  // still alive through the driver's reference
    ObDereferenceObject(event);
}

// User mode sees its own process's handles only, with the access they were opened with; kernel
// mode sees every handle.
TEST(Ob, UserModeReferencesCheckProcessTypeAndAccess)
{
    PKEVENT kernelEvent = nullptr;
    HANDLE kernel = platform::EventHandleCreate(NotificationEvent, false, &kernelEvent);
    HANDLE mine = nullptr;
    HANDLE weak = nullptr;
    HANDLE theirs = nullptr;
    {
        platform::ProcessScope other(9);
        theirs = platform::EventHandleCreateInProcess(NotificationEvent, false, EVENT_ALL_ACCESS);
    }
    platform::ProcessScope process(8);
    mine = platform::EventHandleCreateInProcess(NotificationEvent, false, EVENT_ALL_ACCESS);
    weak = platform::EventHandleCreateInProcess(NotificationEvent, false, SYNCHRONIZE);
    struct Case {
        HANDLE Handle;
        POBJECT_TYPE Type;
        NTSTATUS User;
    };
    for (const Case& c : {Case{mine, *ExEventObjectType, STATUS_SUCCESS}, Case{kernel, *ExEventObjectType, STATUS_INVALID_HANDLE},
                          Case{theirs, *ExEventObjectType, STATUS_INVALID_HANDLE},
                          Case{mine, *PsThreadType, STATUS_OBJECT_TYPE_MISMATCH},
                          Case{weak, *ExEventObjectType, STATUS_ACCESS_DENIED}}) {
        PVOID object = nullptr;
        const NTSTATUS status = ObReferenceObjectByHandle(c.Handle, EVENT_MODIFY_STATE, c.Type, UserMode, &object, nullptr);
        EXPECT_EQ(status, c.User);
        if (NT_SUCCESS(status)) ObDereferenceObject(object);
        if (c.Type == *ExEventObjectType) {
            EXPECT_EQ(ObReferenceObjectByHandle(c.Handle, EVENT_MODIFY_STATE, c.Type, KernelMode, &object, nullptr),
                      STATUS_SUCCESS);
            ObDereferenceObject(object);
        }
    }
    for (HANDLE h : {kernel, mine, weak, theirs}) EXPECT_EQ(ZwClose(h), STATUS_SUCCESS);
}

}  // namespace
