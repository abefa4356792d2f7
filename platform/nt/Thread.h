// System threads: real threads known to the machine, so that the clock waits for them.
#pragma once

#include "platform/nt/Dispatcher.h"
#include "platform/nt/NtTypes.h"

// A thread is a dispatcher object: it is signalled when it has terminated.
struct KTHREAD {
    DISPATCHER_HEADER Header;
};
using ETHREAD = KTHREAD;
using PETHREAD = KTHREAD*;
using PRKTHREAD = KTHREAD*;

struct CLIENT_ID {
    HANDLE UniqueProcess;
    HANDLE UniqueThread;
};
using PCLIENT_ID = CLIENT_ID*;

using KSTART_ROUTINE = VOID(PVOID StartContext);
using PKSTART_ROUTINE = VOID (*)(PVOID StartContext);

constexpr ACCESS_MASK THREAD_ALL_ACCESS = 0x001FFFFF;
constexpr KPRIORITY LOW_PRIORITY = 0;
constexpr KPRIORITY LOW_REALTIME_PRIORITY = 16;
constexpr KPRIORITY HIGH_PRIORITY = 31;
// Priority a new system thread starts with.
constexpr KPRIORITY SYSTEM_THREAD_DEFAULT_PRIORITY = 8;

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                              HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext);
// Ends the calling system thread; anything else calling it is a verifier fault (and it returns).
NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus);
PETHREAD PsGetCurrentThread();
PKTHREAD KeGetCurrentThread();
HANDLE PsGetCurrentThreadId();
KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority);
KPRIORITY KeQueryPriorityThread(PKTHREAD Thread);
