// User processes: their bitness, the files they open on device interfaces, the requests they send
// on them, and their end. A file's last handle sends IRP_MJ_CLEANUP; IRP_MJ_CLOSE goes once the
// file's requests have all finished, from the closing thread or, when a request is still with the
// driver then, from a work item after the last one. A process's end cancels its requests and
// waits for them before it closes its handles, so that its files close with nothing in flight.
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/io/IoHost.h"
#include "platform/io/IoInternal.h"
#include "platform/io/ProcessHost.h"
#include "platform/nt/Dispatcher.h"
#include "platform/nt/Irql.h"
#include "platform/nt/Time.h"
#include "platform/nt/Verifier.h"
#include "platform/nt/WorkItem.h"

namespace platform {
namespace {

// How long an ending process waits for its cancelled requests. A driver completes a cancelled
// request at once; one still out after this is lost to the driver and named as a fault.
constexpr LONGLONG EXIT_REQUEST_WAIT = -50000000LL;  // 5 s
constexpr ACCESS_MASK FILE_ALL_ACCESS = 0x001F01FF;

struct ProcessRecord {
    bool Is32bit = false;
};

struct UserIrp {
    ProcessId Process = KERNEL_PROCESS;
    bool Held = false;      // an ending process is cancelling it: its memory stays until it lets go
    bool Finished = false;  // finished while held: the process frees it
};

struct FileRecord {
    ProcessId Process = KERNEL_PROCESS;
    LONG Handles = 0;
    LONG Outstanding = 0;          // requests sent on the file and not yet finished
    bool CloseWanted = false;      // the last handle went; IRP_MJ_CLOSE waits for the requests
    PIO_WORKITEM CloseItem = nullptr;  // sends the deferred close
    PDEVICE_OBJECT Physical = nullptr;  // the bottom of the stack the file was opened on
};

// A stack whose removal request is with its drivers. User file requests on it wait until the
// request has returned; a close due on a worker thread is handed to the remover instead (the
// driver's removal may need that worker).
struct StackRemoval {
    PDEVICE_OBJECT Physical = nullptr;
    KEVENT Ended;  // notification
    std::vector<PFILE_OBJECT> Parked;
};

struct ProcessTable {
    std::mutex Lock;
    ProcessId NextId = 0x100;
    std::unordered_map<ProcessId, ProcessRecord> Processes;
    std::unordered_map<PIRP, UserIrp> Irps;
    std::unordered_map<PFILE_OBJECT, FileRecord> Files;
    std::vector<PKEVENT> Waiters;  // told whenever a request finishes or a file closes
    std::vector<std::shared_ptr<StackRemoval>> Removals;
    // Create, cleanup and close requests on each stack not yet returned.
    std::unordered_map<PDEVICE_OBJECT, LONG> FileRequests;
};

ProcessTable& Table()
{
    static ProcessTable* table = new ProcessTable();  // never destroyed: completions may come at exit
    return *table;
}

void NotifyLocked(ProcessTable& t)
{
    for (PKEVENT e : t.Waiters) {
        KeSetEvent(e, IO_NO_INCREMENT, FALSE);
    }
}

// Waits until `done()` holds (checked under the table's lock), at most `timeout`; woken by every
// change of the table rather than by looking again after a while.
template <typename Done>
bool WaitUntil(Done done, LONGLONG timeout)
{
    ProcessTable& t = Table();
    KEVENT changed;
    KeInitializeEvent(&changed, NotificationEvent, FALSE);
    LARGE_INTEGER deadline;
    deadline.QuadPart = KeQueryInterruptTime() - timeout;
    bool met = false;
    {
        std::lock_guard<std::mutex> guard(t.Lock);
        t.Waiters.push_back(&changed);
    }
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(t.Lock);
            met = done();
            if (met) break;
            KeClearEvent(&changed);
        }
        const LONGLONG left = deadline.QuadPart - static_cast<LONGLONG>(KeQueryInterruptTime());
        if (left <= 0) break;
        LARGE_INTEGER limit;
        limit.QuadPart = -left;
        KeWaitForSingleObject(&changed, Executive, KernelMode, FALSE, &limit);
    }
    std::lock_guard<std::mutex> guard(t.Lock);
    std::erase(t.Waiters, &changed);
    return met;
}

std::shared_ptr<StackRemoval> RemovalOfLocked(ProcessTable& t, PDEVICE_OBJECT physical)
{
    for (const auto& r : t.Removals) {
        if (r->Physical == physical) return r;
    }
    return nullptr;
}

// Counts a file request on the stack once no removal is under way there. `park` (a worker's
// close): during a removal the file is handed to the remover and false comes back. Else the
// caller waits for the removal's end; with `refuse` (a create), it gets false instead.
bool EnterFileRequest(PDEVICE_OBJECT physical, PFILE_OBJECT parkFile, bool refuse)
{
    ProcessTable& t = Table();
    for (;;) {
        std::shared_ptr<StackRemoval> removal;
        {
            std::lock_guard<std::mutex> guard(t.Lock);
            removal = RemovalOfLocked(t, physical);
            if (removal == nullptr) {
                ++t.FileRequests[physical];
                return true;
            }
            if (parkFile != nullptr) {
                removal->Parked.push_back(parkFile);
                return false;
            }
        }
        if (refuse) return false;
        // Bounded by the removal request, which drivers never leave waiting on a user's close.
        KeWaitForSingleObject(&removal->Ended, Executive, KernelMode, FALSE, nullptr);
    }
}

void LeaveFileRequest(PDEVICE_OBJECT physical)
{
    ProcessTable& t = Table();
    std::lock_guard<std::mutex> guard(t.Lock);
    if (--t.FileRequests[physical] == 0) t.FileRequests.erase(physical);
    NotifyLocked(t);
}

// CREATE, CLEANUP or CLOSE of a user file, sent from the calling thread and waited for.
NTSTATUS SendFileRequest(PFILE_OBJECT file, UCHAR major)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file->DeviceObject);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    irp->UserEvent = &done;
    irp->UserIosb = &iosb;
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = file;
    IoPrepareNextStackLocation(irp, major, 0, file);
    if (IoCallDriver(top, irp) == STATUS_PENDING) {
        // The driver completes it: create, cleanup and close are never left waiting on a device.
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    IoFreeIrp(irp);
    ObDereferenceObject(top);
    return iosb.Status;
}

// IRP_MJ_CLOSE, and the file goes with its record. The caller has counted the request on the
// stack (EnterFileRequest); it is let go here.
void CloseFile(PFILE_OBJECT file, ProcessId process, PDEVICE_OBJECT physical)
{
    {
        // In the file's process, as the driver may take down what it mapped there.
        ProcessScope scope(process);
        SendFileRequest(file, IRP_MJ_CLOSE);
    }
    LeaveFileRequest(physical);
    ProcessTable& t = Table();
    {
        std::lock_guard<std::mutex> guard(t.Lock);
        t.Files.erase(file);
        NotifyLocked(t);
    }
    IoDeleteFileObject(file);
}

VOID DeferredClose(PDEVICE_OBJECT device, PVOID context)
{
    UNREFERENCED_PARAMETER(device);
    auto* file = static_cast<PFILE_OBJECT>(context);
    ProcessTable& t = Table();
    PIO_WORKITEM item = nullptr;
    ProcessId process = KERNEL_PROCESS;
    PDEVICE_OBJECT physical = nullptr;
    {
        std::lock_guard<std::mutex> guard(t.Lock);
        FileRecord& r = t.Files[file];
        item = r.CloseItem;
        r.CloseItem = nullptr;
        process = r.Process;
        physical = r.Physical;
    }
    if (EnterFileRequest(physical, file, false)) {
        CloseFile(file, process, physical);
    }
    IoFreeWorkItem(item);
}

// The close routine of a user file handle.
void CloseUserFileHandle(void* object)
{
    auto* file = static_cast<PFILE_OBJECT>(object);
    ProcessTable& t = Table();
    ProcessId process = KERNEL_PROCESS;
    PDEVICE_OBJECT physical = nullptr;
    {
        std::lock_guard<std::mutex> guard(t.Lock);
        FileRecord& r = t.Files[file];
        process = r.Process;
        physical = r.Physical;
        if (--r.Handles > 0) {
            return;
        }
    }
    EnterFileRequest(physical, nullptr, false);
    {
        ProcessScope scope(process);
        SendFileRequest(file, IRP_MJ_CLEANUP);
    }
    LeaveFileRequest(physical);
    // A work item for a close that has to wait, made here where allocating may wait.
    PIO_WORKITEM item = IoAllocateWorkItem(file->DeviceObject);
    {
        std::lock_guard<std::mutex> guard(t.Lock);
        FileRecord& r = t.Files[file];
        if (r.Outstanding > 0 && item != nullptr) {
            r.CloseWanted = true;
            r.CloseItem = item;
            return;
        }
    }
    if (item != nullptr) {
        IoFreeWorkItem(item);
    } else {
        // No work item to defer it with: the close waits here for the file's requests instead.
        WaitUntil([&] { return Table().Files[file].Outstanding == 0; }, EXIT_REQUEST_WAIT);
    }
    EnterFileRequest(physical, nullptr, false);
    CloseFile(file, process, physical);
}

}  // namespace

ProcessId ProcessCreate(bool is32bit)
{
    ProcessTable& t = Table();
    std::lock_guard<std::mutex> guard(t.Lock);
    const ProcessId id = t.NextId++;
    t.Processes[id].Is32bit = is32bit;
    return id;
}

bool ProcessIs32bit(ProcessId process)
{
    if (process == KERNEL_PROCESS) {
        return false;
    }
    ProcessTable& t = Table();
    std::lock_guard<std::mutex> guard(t.Lock);
    auto it = t.Processes.find(process);
    return it != t.Processes.end() && it->second.Is32bit;
}

size_t ProcessPendingRequests(ProcessId process)
{
    ProcessTable& t = Table();
    std::lock_guard<std::mutex> guard(t.Lock);
    size_t n = 0;
    for (const auto& [irp, u] : t.Irps) {
        n += u.Process == process && !u.Finished ? 1 : 0;
    }
    return n;
}

void ProcessExit(ProcessId process)
{
    IrqlCheckAtMost(PASSIVE_LEVEL, "ProcessExit");
    if (process == KERNEL_PROCESS) {
        VerifierFault("PROCESS_EXIT_KERNEL", "the kernel process cannot end");
        return;
    }
    ProcessScope scope(process);
    ProcessTable& t = Table();
    // Its requests are cancelled first; each one's memory stays while it is being cancelled.
    std::vector<PIRP> cancelling;
    {
        std::lock_guard<std::mutex> guard(t.Lock);
        for (auto& [irp, u] : t.Irps) {
            if (u.Process == process && !u.Finished) {
                u.Held = true;
                cancelling.push_back(irp);
            }
        }
    }
    for (PIRP irp : cancelling) {
        IoCancelIrp(irp);
    }
    std::vector<PIRP> finished;
    {
        std::lock_guard<std::mutex> guard(t.Lock);
        for (PIRP irp : cancelling) {
            auto it = t.Irps.find(irp);
            if (it == t.Irps.end()) continue;
            it->second.Held = false;
            if (it->second.Finished) {
                finished.push_back(irp);
                t.Irps.erase(it);
            }
        }
    }
    for (PIRP irp : finished) {
        IoFreeFinishedIrp(irp);
    }
    const bool drained = WaitUntil(
        [&] {
            for (const auto& [irp, u] : t.Irps) {
                if (u.Process == process) return false;
            }
            return true;
        },
        EXIT_REQUEST_WAIT);
    if (!drained) {
        std::lock_guard<std::mutex> guard(t.Lock);
        for (const auto& [irp, u] : t.Irps) {
            if (u.Process == process) {
                VerifierFault("PROCESS_EXIT_REQUESTS",
                              "process %u ended with request 0x%08X (IRP %p) still with the driver after its cancel",
                              static_cast<unsigned>(process), static_cast<unsigned>(irp->Platform.ControlCode),
                              static_cast<void*>(irp));
            }
        }
    }
    HandleCloseProcess(process);
    // Closing its files lets the driver take down what it mapped into the process; what is left
    // would outlive the address space.
    if (const size_t views = MmUserViewsOf(process); views != 0) {
        VerifierFault("PROCESS_EXIT_VIEWS", "process %u ended with %zu view(s) of locked pages still mapped into it",
                      static_cast<unsigned>(process), views);
    }
    std::lock_guard<std::mutex> guard(t.Lock);
    t.Processes.erase(process);
}

NTSTATUS IoOpenUserInterface(std::u16string_view symbolicLink, HANDLE* handle)
{
    IrqlCheckAtMost(PASSIVE_LEVEL, "IoOpenUserInterface");
    *handle = nullptr;
    const ProcessId process = CurrentProcess();
    if (process == KERNEL_PROCESS) {
        return STATUS_INVALID_PARAMETER;
    }
    PDEVICE_OBJECT physical = nullptr;
    std::u16string reference;
    for (const DeviceInterfaceRecord& r : IoInterfaces()) {
        if (r.Enabled && r.SymbolicLink == symbolicLink) {
            physical = r.PhysicalDevice;
            reference = r.ReferenceString;
            break;
        }
    }
    if (physical == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(physical);
    std::u16string name;
    if (!reference.empty()) {
        name = u"\\" + reference;
    }
    if (!EnterFileRequest(physical, nullptr, true)) {
        ObDereferenceObject(top);
        return STATUS_DELETE_PENDING;  // its driver is taking the device down
    }
    PFILE_OBJECT file = IoCreateFileObject(top, name);
    ObDereferenceObject(top);
    if (file == nullptr) {
        LeaveFileRequest(physical);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const NTSTATUS status = SendFileRequest(file, IRP_MJ_CREATE);
    if (!NT_SUCCESS(status)) {
        LeaveFileRequest(physical);
        IoDeleteFileObject(file);
        return status;
    }
    {
        ProcessTable& t = Table();
        std::lock_guard<std::mutex> guard(t.Lock);
        FileRecord& r = t.Files[file];
        r = FileRecord{};
        r.Process = process;
        r.Handles = 1;
        r.Physical = physical;
    }
    LeaveFileRequest(physical);
    *handle = HandleCreateInProcess(file, CloseUserFileHandle, process, FILE_ALL_ACCESS);
    return STATUS_SUCCESS;
}

PFILE_OBJECT IoUserFileOf(HANDLE handle)
{
    PVOID object = nullptr;
    if (!NT_SUCCESS(ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, UserMode, &object, nullptr))) {
        return nullptr;
    }
    ObDereferenceObject(object);
    return static_cast<PFILE_OBJECT>(object);
}

NTSTATUS IoUserDeviceControl(HANDLE handle, ULONG IoControlCode, const void* InputBuffer, ULONG InputBufferLength,
                             void* OutputBuffer, ULONG OutputBufferLength, PKEVENT Event,
                             PIO_STATUS_BLOCK IoStatusBlock, PIRP* Irp)
{
    if (Irp != nullptr) {
        *Irp = nullptr;
    }
    IrqlCheckAtMost(PASSIVE_LEVEL, "IoUserDeviceControl");
    PVOID object = nullptr;
    NTSTATUS status = ObReferenceObjectByHandle(handle, 0, *IoFileObjectType, UserMode, &object, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* file = static_cast<PFILE_OBJECT>(object);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(file->DeviceObject);
    PIRP irp = IoBuildDeviceIoControlRequest(IoControlCode, top, const_cast<void*>(InputBuffer), InputBufferLength,
                                             OutputBuffer, OutputBufferLength, FALSE, Event, IoStatusBlock);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        ObDereferenceObject(file);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (METHOD_FROM_CTL_CODE(IoControlCode) == METHOD_BUFFERED && irp->AssociatedIrp.SystemBuffer != nullptr) {
        // What the driver finds past the input is neither zero nor an earlier request's bytes.
        const ULONG length = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
        std::memset(static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer) + InputBufferLength,
                    IO_SYSTEM_BUFFER_POISON, length - InputBufferLength);
    }
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = file;
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    // The request keeps the handle's reference on the file until it finishes.
    irp->Platform.UserFile = file;
    {
        ProcessTable& t = Table();
        std::lock_guard<std::mutex> guard(t.Lock);
        ++t.Files[file].Outstanding;
        t.Irps[irp] = UserIrp{CurrentProcess()};
    }
    if (Irp != nullptr) {
        *Irp = irp;
    }
    status = IoCallDriver(top, irp);
    ObDereferenceObject(top);
    return status;
}

size_t IoUserFilesOnStack(PDEVICE_OBJECT physicalDevice)
{
    ProcessTable& t = Table();
    std::lock_guard<std::mutex> guard(t.Lock);
    size_t n = 0;
    for (const auto& [file, r] : t.Files) {
        n += r.Physical == physicalDevice ? 1 : 0;
    }
    return n;
}

bool IoWaitUserFilesClosed(PDEVICE_OBJECT physicalDevice, LONGLONG timeout)
{
    IrqlCheckAtMost(PASSIVE_LEVEL, "IoWaitUserFilesClosed");
    return WaitUntil(
        [&] {
            for (const auto& [file, r] : Table().Files) {
                if (r.Physical == physicalDevice) return false;
            }
            return true;
        },
        timeout);
}

void IoBeginStackRemoval(PDEVICE_OBJECT physicalDevice)
{
    IrqlCheckAtMost(PASSIVE_LEVEL, "IoBeginStackRemoval");
    ProcessTable& t = Table();
    {
        auto removal = std::make_shared<StackRemoval>();
        removal->Physical = physicalDevice;
        KeInitializeEvent(&removal->Ended, NotificationEvent, FALSE);
        std::lock_guard<std::mutex> guard(t.Lock);
        t.Removals.push_back(std::move(removal));
    }
    // A file request already on its way finishes first; the driver never leaves one waiting.
    if (!WaitUntil([&] { return t.FileRequests.count(physicalDevice) == 0; }, EXIT_REQUEST_WAIT)) {
        VerifierFault("FILE_REQUEST_HELD", "a create, cleanup or close on the stack of %p did not return within 5 s",
                      static_cast<void*>(physicalDevice));
    }
}

void IoEndStackRemoval(PDEVICE_OBJECT physicalDevice)
{
    IrqlCheckAtMost(PASSIVE_LEVEL, "IoEndStackRemoval");
    ProcessTable& t = Table();
    std::shared_ptr<StackRemoval> removal;
    {
        std::lock_guard<std::mutex> guard(t.Lock);
        removal = RemovalOfLocked(t, physicalDevice);
        if (removal == nullptr) return;
        std::erase(t.Removals, removal);
    }
    // The closes a worker handed over go first, from here, each in its file's process; then the
    // threads that waited.
    for (PFILE_OBJECT file : removal->Parked) {
        ProcessId process = KERNEL_PROCESS;
        {
            std::lock_guard<std::mutex> guard(t.Lock);
            process = t.Files[file].Process;
        }
        if (EnterFileRequest(physicalDevice, nullptr, false)) {
            CloseFile(file, process, physicalDevice);
        }
    }
    KeSetEvent(&removal->Ended, IO_NO_INCREMENT, FALSE);
}

bool IoUserIrpFinished(PIRP irp)
{
    PFILE_OBJECT file = irp->Platform.UserFile;
    ProcessTable& t = Table();
    PIO_WORKITEM closeItem = nullptr;
    bool freeNow = true;
    {
        std::lock_guard<std::mutex> guard(t.Lock);
        auto f = t.Files.find(file);
        if (f != t.Files.end() && --f->second.Outstanding == 0 && f->second.CloseWanted) {
            f->second.CloseWanted = false;
            closeItem = f->second.CloseItem;
        }
        auto it = t.Irps.find(irp);
        if (it != t.Irps.end()) {
            if (it->second.Held) {
                it->second.Finished = true;
                freeNow = false;
            } else {
                t.Irps.erase(it);
            }
        }
        NotifyLocked(t);
    }
    ObDereferenceObject(file);
    if (closeItem != nullptr) {
        IoQueueWorkItem(closeItem, DeferredClose, DelayedWorkQueue, file);
    }
    return freeNow;
}

void IoForgetProcesses()
{
    ProcessTable& t = Table();
    std::lock_guard<std::mutex> guard(t.Lock);
    t.Processes.clear();
    t.Irps.clear();
    t.Files.clear();
    t.Removals.clear();
    t.FileRequests.clear();
}

}  // namespace platform
