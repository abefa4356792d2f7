// Dispatcher objects (events, mutexes, timers, threads) and the waits on them.
// Waits run on the machine's clock (platform/nt/Clock.h): in tests time moves only when every
// known thread is blocked, so time-outs take no real time.
#pragma once

#include "platform/nt/Dpc.h"
#include "platform/nt/NtTypes.h"

struct KTHREAD;
using PKTHREAD = KTHREAD*;

enum DISPATCHER_OBJECT_TYPE : UCHAR {
    EventNotificationObject = 0,
    EventSynchronizationObject = 1,
    MutantObject = 2,
    SemaphoreObject = 5,
    ThreadObject = 6,
    TimerNotificationObject = 8,
    TimerSynchronizationObject = 9,
};

struct DISPATCHER_HEADER {
    UCHAR Type;        // DISPATCHER_OBJECT_TYPE
    UCHAR Absolute;
    UCHAR Size;
    UCHAR Inserted;    // timers: in the timer queue
    LONG SignalState;  // > 0 signalled; a mutex is free at 1 and counts recursion below it
    ULONG Check;       // written by the initialiser (platform/nt/ObjectCheck.h)
};

enum EVENT_TYPE { NotificationEvent, SynchronizationEvent };
enum TIMER_TYPE { NotificationTimer, SynchronizationTimer };
enum WAIT_TYPE { WaitAll, WaitAny };
enum KWAIT_REASON {
    Executive = 0,
    FreePage,
    PageIn,
    PoolAllocation,
    DelayExecution,
    Suspended,
    UserRequest,
    WrExecutive,
    WrFreePage,
    WrPageIn,
    WrPoolAllocation,
    WrDelayExecution,
    WrSuspended,
    WrUserRequest,
};

struct KEVENT {
    DISPATCHER_HEADER Header;
};
using PKEVENT = KEVENT*;
using PRKEVENT = KEVENT*;

struct KMUTEX {
    DISPATCHER_HEADER Header;
    PKTHREAD OwnerThread;
    ULONG Level;
    BOOLEAN Abandoned;
};
using PKMUTEX = KMUTEX*;
using KMUTANT = KMUTEX;
using PKMUTANT = KMUTEX*;

struct KSEMAPHORE {
    DISPATCHER_HEADER Header;  // SignalState is the count
    LONG Limit;
};
using PKSEMAPHORE = KSEMAPHORE*;
using PRKSEMAPHORE = KSEMAPHORE*;

struct KTIMER {
    DISPATCHER_HEADER Header;
    LONGLONG DueTime;   // on the machine clock, 100 ns units
    LONG Period;        // ms, 0 for a one-shot timer
    PKDPC Dpc;
    ULONGLONG Sequence; // insertion order: timers due together fire in the order they were set
};
using PKTIMER = KTIMER*;

struct KWAIT_BLOCK {
    PVOID Object;
    USHORT WaitKey;
    UCHAR WaitType;
    UCHAR Reserved;
    PVOID Thread;
};
using PKWAIT_BLOCK = KWAIT_BLOCK*;

constexpr ULONG THREAD_WAIT_OBJECTS = 3;
constexpr ULONG MAXIMUM_WAIT_OBJECTS = 64;

constexpr KPRIORITY IO_NO_INCREMENT = 0;
constexpr KPRIORITY EVENT_INCREMENT = 1;
constexpr KPRIORITY IO_SOUND_INCREMENT = 8;
constexpr KPRIORITY MUTANT_INCREMENT = 1;

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
// Wait TRUE (KeSetEvent, KePulseEvent, KeReleaseMutex, KeReleaseSemaphore): the caller goes on at
// DISPATCH_LEVEL and its next kernel call must be a wait ("WAIT_NEXT" fault otherwise).
LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
VOID KeClearEvent(PRKEVENT Event);
LONG KeResetEvent(PRKEVENT Event);
LONG KeReadStateEvent(PRKEVENT Event);
LONG KePulseEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);

VOID KeInitializeMutex(PKMUTEX Mutex, ULONG Level);
LONG KeReleaseMutex(PKMUTEX Mutex, BOOLEAN Wait);
LONG KeReadStateMutex(PKMUTEX Mutex);

// Semaphores: KeReleaseSemaphore adds Adjustment to the count and returns the previous count;
// raising it above the limit is a fault (the count is left as it was).
VOID KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit);
LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait);
LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore);

VOID KeInitializeTimer(PKTIMER Timer);
VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
// Both return TRUE when the timer was already set (it is then reset to the new due time).
BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc);
BOOLEAN KeCancelTimer(PKTIMER Timer);
BOOLEAN KeReadStateTimer(PKTIMER Timer);

// Time-outs: negative relative, positive absolute system time (100 ns units), null forever,
// zero a poll. Results: STATUS_WAIT_0 + index (WaitAny: lowest signalled index), STATUS_TIMEOUT,
// STATUS_ABANDONED_WAIT_0 (+ index for WaitAny) when a mutex got is one a thread ended owning.
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout);
NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON WaitReason,
                                  KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray);
inline NTSTATUS KeWaitForMutexObject(PKMUTEX Mutex, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout)
{
    return KeWaitForSingleObject(Mutex, WaitReason, WaitMode, Alertable, Timeout);
}
// A zero interval yields: the caller waits, with no time passing, until nothing else can run.
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);

// ---- test and platform interface (not part of the kernel API) ----
namespace platform {
// Creates a registered notification/synchronization event behind a handle, as a user-mode
// application hands one to a driver; ZwClose releases the handle's reference.
HANDLE EventHandleCreate(EVENT_TYPE type, bool initialState, PKEVENT* event = nullptr);
// The same in the calling thread's process (CurrentProcess), opened with `access`.
HANDLE EventHandleCreateInProcess(EVENT_TYPE type, bool initialState, ACCESS_MASK access, PKEVENT* event = nullptr);
}  // namespace platform
