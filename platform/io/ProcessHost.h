// Test and host interface of user processes (not kernel API; driver code never includes it).
// A process is 32- or 64-bit and owns handles (platform/nt/Ob.h). It opens enabled device
// interfaces and sends device-control requests on the handles as the system's services do; its
// end cancels its requests, waits for them, closes its handles and checks that no view of locked
// pages is left mapped into it.
#pragma once

#include <string_view>

#include "platform/io/Io.h"
#include "platform/nt/Ob.h"

namespace platform {

// A new user process; its threads enter it with ProcessScope.
ProcessId ProcessCreate(bool is32bit);
// False for the kernel and for unknown processes.
bool ProcessIs32bit(ProcessId process);
// The process ends: its requests are cancelled and waited for (bounded: one that never finishes
// is a fault, "PROCESS_EXIT_REQUESTS"), its handles closed, and a view still mapped into it is a
// fault ("PROCESS_EXIT_VIEWS"). Runs in the process (as its last thread would) at PASSIVE_LEVEL.
void ProcessExit(ProcessId process);
// Requests of the process not yet finished.
size_t ProcessPendingRequests(ProcessId process);

// Opens an enabled device interface for the calling thread's process: a file object named by
// the interface's reference string on the top of its stack, IRP_MJ_CREATE, and a handle in the
// process. A disabled or unknown link: STATUS_OBJECT_NAME_NOT_FOUND; the kernel process:
// STATUS_INVALID_PARAMETER; a refused create: the driver's status. The last close of the file's
// handles sends IRP_MJ_CLEANUP, and IRP_MJ_CLOSE follows once the file's requests have finished.
NTSTATUS IoOpenUserInterface(std::u16string_view symbolicLink, HANDLE* handle);
// The file object behind a user file handle of the calling process, or null.
PFILE_OBJECT IoUserFileOf(HANDLE handle);
// A device-control request of the calling thread's process on its file handle, as the system
// service sends it: the handle is checked (user mode, type File), METHOD_BUFFERED input is copied
// into a system buffer whose bytes past the input are poisoned, and *IoStatusBlock and Event are
// set when it finishes. Returns what the driver returned (or the refusal of the handle or of an
// allocation, in which case the block and event are left alone). `Irp` (optional) gets the
// request, for a caller that cancels it while it is pending (it is freed once it finishes).
NTSTATUS IoUserDeviceControl(HANDLE file, ULONG IoControlCode, const void* InputBuffer, ULONG InputBufferLength,
                             void* OutputBuffer, ULONG OutputBufferLength, PKEVENT Event,
                             PIO_STATUS_BLOCK IoStatusBlock, PIRP* Irp = nullptr);
// The byte a METHOD_BUFFERED system buffer holds past the input.
constexpr UCHAR IO_SYSTEM_BUFFER_POISON = 0xD7;

// User files open on the stack of the physical device (handles not all closed, or IRP_MJ_CLOSE
// not yet sent).
size_t IoUserFilesOnStack(PDEVICE_OBJECT physicalDevice);
// Waits until no user file is open on the stack, at most `timeout` (100 ns units, virtual time).
// True when none is left.
bool IoWaitUserFilesClosed(PDEVICE_OBJECT physicalDevice, LONGLONG timeout);
// The PnP manager brackets the removal request of a stack with these, so that no user file
// request reaches its drivers while they take the device down. Begin waits for the creates,
// cleanups and closes already on their way. Until End, a create fails (STATUS_DELETE_PENDING), a
// cleanup or close from a process's thread waits, and a close due on a worker thread (after the
// file's last request) is handed over and sent by End itself.
void IoBeginStackRemoval(PDEVICE_OBJECT physicalDevice);
void IoEndStackRemoval(PDEVICE_OBJECT physicalDevice);

}  // namespace platform
