// Internal to platform/nt: the machine's scheduler state shared by the dispatcher, threads,
// DPCs and work items. One lock (Sched().Lock) guards every field here and every dispatcher
// object's state, which keeps the bookkeeping of the clock race-free.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <pthread.h>
#include <time.h>

#include "platform/nt/Dispatcher.h"
#include "platform/nt/Thread.h"

namespace platform::detail {

constexpr int64_t NO_DEADLINE = INT64_MAX;

// External: a known thread blocked outside the kernel (ExternalWaitScope).
enum class RunState { Running, Waiting, External, Exited };

// The machine's record of one OS thread; the KTHREAD part is the dispatcher object.
struct ThreadRecord : KTHREAD {
    uint64_t Id = 0;
    std::string Name;
    std::atomic<bool> Known{false};  // counted by the clock (read without the lock by the thread itself)
    bool System = false;    // made by PsCreateSystemThread
    bool Internal = false;  // the DPC thread and the worker threads
    bool Client = false;    // a registered test or host thread
    bool Abandoned = false;
    bool IdleWait = false;  // an internal thread waiting for work: idle, not stuck (lock held)
    RunState State = RunState::Running;

    // Kernel calls that block, wake or let time pass; only the thread itself counts them, the
    // no-progress watchdog reads them.
    std::atomic<uint64_t> Calls{0};
    uint64_t SeenCalls = 0;  // watchdog's last look (lock held)
    int64_t SeenCpuNs = 0;   // the thread's own processor time then
    bool Watched = false;
    // The thread's processor-time clock, taken on the thread itself when its record is bound to it.
    clockid_t CpuClock{};
    bool HasCpuClock = false;
    // Set by reads of the clock (performance counter, interrupt and system time): a thread that
    // reads it in a loop waits for time to pass, which only blocking lets happen.
    std::atomic<bool> ReadClock{false};
    // Spinning on a spin lock, or stalling: running, but waiting for another thread.
    std::atomic<bool> Spinning{false};
    uint64_t WokenSerial = 0;  // SchedulerState::WakeSerial when last woken (lock held)
    // Set by KeSetEvent/KePulseEvent/KeReleaseMutex with Wait TRUE: the next call must be a wait.
    // The IRQL the caller had before (it runs at DISPATCH_LEVEL until that wait).
    bool MustWait = false;
    KIRQL WaitIrql = PASSIVE_LEVEL;
    // Mutexes the thread owns, in acquisition order (lock held).
    std::vector<KMUTEX*> OwnedMutexes;

    // The current wait.
    std::condition_variable Cv;
    bool Woken = false;
    NTSTATUS WaitStatus = STATUS_SUCCESS;
    std::vector<DISPATCHER_HEADER*> WaitObjects;
    WAIT_TYPE WaitType = WaitAny;
    int64_t Deadline = NO_DEADLINE;
    uint64_t WaitSequence = 0;
    KWAIT_REASON WaitReason = Executive;

    // System threads.
    std::thread Os;
    PKSTART_ROUTINE StartRoutine = nullptr;
    PVOID StartContext = nullptr;
    KPRIORITY Priority = SYSTEM_THREAD_DEFAULT_PRIORITY;
    std::vector<KPRIORITY> PriorityHistory;
    NTSTATUS ExitStatus = STATUS_PENDING;
};

constexpr int MAX_PROCESSORS = 64;
constexpr int DEFAULT_PROCESSORS = 2;

struct DpcProcessor {
    std::deque<KDPC*> Queue;
    KDPC* Running = nullptr;
    ThreadRecord* Thread = nullptr;
    KEVENT Work{};  // synchronization: work was queued
};

struct SchedulerState {
    std::mutex Lock;
    int64_t Now = 0;
    // Paced mode: the same virtual clock, never ahead of the steady clock (Now <= wall time, the
    // steady clock's time since RealBase plus RealOffset); when a known thread holds it up, it
    // falls behind and catches up once the machine is idle again.
    bool RealTime = false;
    std::chrono::steady_clock::time_point RealBase;
    int64_t RealOffset = 0;
    int64_t MaxBehind = 0;  // the most a deadline fired after its wall time, since pacing began
    uint64_t WakeSerial = 0;

    int Runnable = 0;
    uint64_t NextThreadId = 1;
    std::vector<ThreadRecord*> Known;    // registration order
    std::vector<ThreadRecord*> Waiters;  // wait order
    std::vector<ThreadRecord*> SystemThreads;
    int Finishing = 0;  // system threads past FinishThread that have not dropped their reference yet
    uint64_t WaitSequence = 0;
    std::map<std::pair<int64_t, uint64_t>, KTIMER*> Timers;
    uint64_t TimerSequence = 0;

    // Progress counter: changes on every block and wake; the deadlock watchdog watches it.
    uint64_t Progress = 0;
    bool Stalled = false;
    std::chrono::milliseconds DeadlockTimeout{5000};
    std::condition_variable ServiceCv;
    std::condition_variable QuiescentCv;
    bool ServiceStarted = false;

    // Injected PsCreateSystemThread failures.
    NTSTATUS ThreadFailStatus = STATUS_SUCCESS;
    unsigned ThreadFailCount = 0;

    // DPCs: one queue and one DPC thread per simulated processor.
    DpcProcessor Processors[MAX_PROCESSORS];
    int ProcessorCount = DEFAULT_PROCESSORS;
    int ProcessorsStarted = 0;   // processors below this index may have a DPC thread (walks stop here)
    KEVENT DpcIdle{};            // notification: every queue empty and no DPC running
    int64_t DpcHoldAt = NO_DEADLINE;  // HoldDpcAt
    std::chrono::milliseconds DpcHold{0};
};

SchedulerState& Sched();
using Guard = std::unique_lock<std::mutex>;

// The calling thread's record (made on first use for threads the machine did not create).
ThreadRecord* Current();
void SetCurrent(ThreadRecord* record);
// The calling thread's record when it has one (never makes one: safe with the lock held).
ThreadRecord* CurrentIfAny();

// The calling thread's record, checked as the caller of a kernel call that blocks, wakes a waiter
// or lets time pass: an unknown thread is an "UNKNOWN_THREAD" fault naming the call, and a call
// other than a wait after a set or release with Wait TRUE is a "WAIT_NEXT" fault. Lock not held.
ThreadRecord* KnownCaller(const char* call, bool isWait = false);
// After a DPC, work item or system thread routine returned: a set or release with Wait TRUE whose
// wait never came is a "WAIT_NEXT" fault naming the routine (it must not land on the next
// routine the thread runs); the caller's IRQL from before comes back. Lock not held.
void CheckWaitTrueAtReturn(ThreadRecord* t, const char* kind, const void* routine);
// Records a fault that the machine cannot recover from, hands it to the fatal handler and ends the
// process. Lock held or not.
[[noreturn]] void MachineFatal(const char* rule, const std::string& report);
// Lets `ticks` of machine time pass for a busy caller: timers and time-outs due meanwhile fire, and
// what they woke runs before the clock moves further. Paced, the caller first spins until the wall
// clock has got there.
void StallLocked(Guard& lock, ThreadRecord* self, int64_t ticks);
// Takes the processor-time clock of the calling thread into its record.
void BindCpuClock(ThreadRecord* t);
// The record's thread's own processor time in nanoseconds (0 when unknown).
int64_t ThreadCpuNs(const ThreadRecord* t);
// The wall clock in machine ticks (paced mode).
int64_t WallLocked();

// All below: call with the lock held.
int64_t NowLocked();
void RegisterKnownLocked(ThreadRecord* t);
void UnregisterKnownLocked(ThreadRecord* t);
// Blocks the current thread until the wait is satisfied, times out (deadline on the machine
// clock) or is abandoned. Objects may be empty (a delay: STATUS_SUCCESS on expiry).
NTSTATUS WaitLocked(Guard& lock, ThreadRecord* t, DISPATCHER_HEADER** objects, ULONG count, WAIT_TYPE type,
                    int64_t deadline, KWAIT_REASON reason);
// After any object became signalled: satisfies the waiters that can be, in wait order.
void WakeWaitersLocked();
// Lets the virtual clock move when no known thread can run.
void KickLocked();
void SignalEventLocked(KEVENT* event);
// Queues a DPC (false when already queued).
bool InsertDpcLocked(KDPC* dpc, PVOID arg1, PVOID arg2);
void ResetDpcLocked();
void ResetWorkQueuesLocked();
// What is still to run or running at the end of a test (lock held).
size_t DpcBusyLocked();
size_t WorkItemsBusyLocked();
// Work items whose routine runs without waiting (or has returned and its worker is not yet idle).
size_t WorkItemsFinishingLocked();

// Starts a thread the machine knows (system or internal); `body` runs on it.
ThreadRecord* StartThreadLocked(ThreadRecord* t, std::function<void()> body);
// Marks the calling system thread as terminated (signals its object). Lock not held. The thread
// then drops its own reference and calls FinishedThread().
void FinishThread(ThreadRecord* t, NTSTATUS exitStatus);
void FinishedThread();

// Shared between the wait core, the watchdogs and the machine (lock held).
void WakeLocked(ThreadRecord* t, NTSTATUS status);
int64_t NextDeadlineLocked();
void ExpireDueLocked();
void EnsureServiceLocked();
bool OthersQuiescentLocked(const ThreadRecord* self);
std::string DescribeLocked();
// Waits (real time, bounded) until every other known thread is blocked or has exited.
bool SettleLocked(Guard& lock, ThreadRecord* self);

// Converts a kernel time-out (negative relative, positive absolute) into a machine deadline.
int64_t DeadlineFromTimeoutLocked(LONGLONG timeout);

}  // namespace platform::detail
