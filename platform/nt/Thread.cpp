#include "platform/nt/Thread.h"

#include <algorithm>

#include "platform/nt/Irql.h"
#include "platform/nt/Ob.h"
#include "platform/nt/Scheduler.h"
#include "platform/nt/Sync.h"
#include "platform/nt/SyncMutex.h"
#include "platform/nt/Verifier.h"
#include "platform/nt/ThreadHost.h"

using namespace platform::detail;

namespace {

// Thrown by PsTerminateSystemThread and caught where the thread began.
struct ThreadExit {
    NTSTATUS Status;
};

ThreadRecord* RecordOf(PKTHREAD thread) { return static_cast<ThreadRecord*>(thread); }

void OnLastThreadReference(void* object)
{
    auto* t = static_cast<ThreadRecord*>(object);
    {
        Guard lock(Sched().Lock);
        auto& list = Sched().SystemThreads;
        list.erase(std::remove(list.begin(), list.end(), t), list.end());
    }
    if (t->Os.joinable()) {
        if (t->Os.get_id() == std::this_thread::get_id()) {
            t->Os.detach();
        } else {
            t->Os.join();
        }
    }
    delete t;
}

void CloseThreadHandle(void* object) { ObfDereferenceObject(object); }

void SystemThreadBody(ThreadRecord* t)
{
    NTSTATUS status = STATUS_SUCCESS;
    try {
        t->StartRoutine(t->StartContext);
    } catch (const ThreadExit& exit) {
        status = exit.Status;
    }
    CheckWaitTrueAtReturn(t, "system thread", reinterpret_cast<const void*>(t->StartRoutine));
    if (KeGetCurrentIrql() != PASSIVE_LEVEL || platform::IrqlHeldSpinLocks() != 0) {
        platform::VerifierFault("THREAD_EXIT_IRQL", "system thread '%s' ended at IRQL %u holding %d spin lock(s)",
                                t->Name.c_str(), KeGetCurrentIrql(), platform::IrqlHeldSpinLocks());
    }
    if (platform::RegionDepth() != 0) {
        platform::VerifierFault("THREAD_EXIT_REGION", "system thread '%s' ended inside %d critical or guarded region(s)",
                                t->Name.c_str(), platform::RegionDepth());
    }
    FinishThread(t, status);
    SetCurrent(nullptr);
    ObfDereferenceObject(t);  // the thread's own reference
    FinishedThread();
}

}  // namespace

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                              HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext)
{
    UNREFERENCED_PARAMETER(DesiredAccess);
    UNREFERENCED_PARAMETER(ObjectAttributes);
    UNREFERENCED_PARAMETER(ProcessHandle);
    platform::IrqlCheckAtMost(PASSIVE_LEVEL, "PsCreateSystemThread");
    if (ThreadHandle == nullptr || StartRoutine == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    SchedulerState& s = Sched();
    {
        Guard lock(s.Lock);
        if (s.ThreadFailCount > 0) {
            --s.ThreadFailCount;
            return s.ThreadFailStatus;
        }
    }
    auto* t = new ThreadRecord();
    t->System = true;
    t->Name = "system";
    t->StartRoutine = StartRoutine;
    t->StartContext = StartContext;
    t->Priority = SYSTEM_THREAD_DEFAULT_PRIORITY;
    t->PriorityHistory.push_back(t->Priority);
    t->Header.Type = ThreadObject;
    platform::ObRegister(t, "Thread", OnLastThreadReference);
    ObfReferenceObject(t);  // the handle's reference
    *ThreadHandle = platform::HandleCreate(t, CloseThreadHandle);
    Guard lock(s.Lock);
    s.SystemThreads.push_back(t);
    StartThreadLocked(t, [t] { SystemThreadBody(t); });
    if (ClientId != nullptr) {
        ClientId->UniqueProcess = reinterpret_cast<HANDLE>(4);
        ClientId->UniqueThread = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(t->Id * 4));
    }
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus)
{
    ThreadRecord* self = Current();
    if (!self->System) {
        platform::VerifierFault("TERMINATE_NOT_SYSTEM", "PsTerminateSystemThread called outside a system thread");
        return STATUS_INVALID_PARAMETER;
    }
    throw ThreadExit{ExitStatus};
}

PETHREAD PsGetCurrentThread() { return Current(); }

PKTHREAD KeGetCurrentThread() { return Current(); }

HANDLE PsGetCurrentThreadId() { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(Current()->Id * 4)); }

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority)
{
    if (Priority < LOW_PRIORITY || Priority > HIGH_PRIORITY) {
        platform::VerifierFault("THREAD_PRIORITY", "priority %d out of range", Priority);
        return KeQueryPriorityThread(Thread);
    }
    Guard lock(Sched().Lock);
    ThreadRecord* t = RecordOf(Thread);
    const KPRIORITY old = t->Priority;
    t->Priority = Priority;
    t->PriorityHistory.push_back(Priority);
    return old;
}

KPRIORITY KeQueryPriorityThread(PKTHREAD Thread)
{
    Guard lock(Sched().Lock);
    return RecordOf(Thread)->Priority;
}

namespace platform {

void ThreadFailNextCreate(NTSTATUS status, unsigned count)
{
    Guard lock(Sched().Lock);
    Sched().ThreadFailStatus = status;
    Sched().ThreadFailCount = count;
}

std::vector<KPRIORITY> ThreadPriorityHistory(PKTHREAD thread)
{
    Guard lock(Sched().Lock);
    return RecordOf(thread)->PriorityHistory;
}

void ThreadSetName(PKTHREAD thread, const char* name)
{
    Guard lock(Sched().Lock);
    RecordOf(thread)->Name = name != nullptr ? name : "";
}

NTSTATUS ThreadExitStatus(PKTHREAD thread)
{
    Guard lock(Sched().Lock);
    return RecordOf(thread)->ExitStatus;
}

size_t ThreadLiveCount()
{
    Guard lock(Sched().Lock);
    size_t n = 0;
    for (ThreadRecord* t : Sched().SystemThreads) {
        n += t->State != RunState::Exited ? 1 : 0;
    }
    return n;
}

}  // namespace platform
