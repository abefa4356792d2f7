// Test and host interface of system threads (not kernel API; driver code never includes it):
// creation failures, priority history, names, exit status and the live count.
#pragma once

#include "platform/nt/Thread.h"
#include <vector>
namespace platform {

// The next `count` thread creations fail with `status`.
void ThreadFailNextCreate(NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES, unsigned count = 1);
// Every priority set on the thread, in order (the creation priority first).
std::vector<KPRIORITY> ThreadPriorityHistory(PKTHREAD thread);
// Names a thread in the machine's diagnostics (deadlock reports).
void ThreadSetName(PKTHREAD thread, const char* name);
// Exit status of a terminated system thread (STATUS_PENDING while it runs).
NTSTATUS ThreadExitStatus(PKTHREAD thread);
// Number of system threads created by PsCreateSystemThread that have not terminated.
size_t ThreadLiveCount();

}  // namespace platform
