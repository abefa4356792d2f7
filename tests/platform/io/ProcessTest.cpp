// User processes: bitness per process, opens of enabled interfaces, cleanup and close, buffered
// requests, and what a process's end takes with it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "platform/io/Io.h"
#include "platform/io/IoHost.h"
#include "platform/io/ProcessHost.h"
#include "platform/nt/Clock.h"
#include "platform/nt/Dispatcher.h"
#include "platform/nt/Machine.h"
#include "platform/nt/Ob.h"
#include "platform/nt/RtlString.h"
#include "platform/nt/RtlStringHost.h"
#include "platform/nt/Sync.h"
#include "platform/nt/Verifier.h"
#include "platform/portcls/Unknown.h"

namespace {

KVX_DEFINE_GUID(kTestInterface, "{3C7A1E20-5B8D-4E0A-9F61-2D4C8B7A6E15}");

// Pends until the test completes it or the request is cancelled.
constexpr ULONG IOCTL_PEND = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
// Keeps the system buffer's bytes and answers with the status and Information the input names.
constexpr ULONG IOCTL_ECHO = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct Driver {
    std::mutex Lock;
    std::vector<std::string> Events;
    std::vector<uint8_t> SystemBuffer;  // of the last echo
    PIRP Pending = nullptr;
};
Driver* g_driver = nullptr;

void Note(const std::string& event)
{
    std::lock_guard<std::mutex> guard(g_driver->Lock);
    g_driver->Events.push_back(event);
}

VOID CancelPending(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    {
        std::lock_guard<std::mutex> guard(g_driver->Lock);
        g_driver->Pending = nullptr;
        g_driver->Events.push_back("cancel");
    }
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE: Note("create"); break;
    case IRP_MJ_CLEANUP: Note("cleanup"); break;
    case IRP_MJ_CLOSE: Note("close"); break;
    case IRP_MJ_DEVICE_CONTROL: {
        const auto& io = stack->Parameters.DeviceIoControl;
        if (io.IoControlCode == IOCTL_PEND) {
            Note("pend");
            IoMarkIrpPending(irp);
            {
                std::lock_guard<std::mutex> guard(g_driver->Lock);
                g_driver->Pending = irp;
            }
            IoSetCancelRoutine(irp, CancelPending);
            return STATUS_PENDING;
        }
        if (io.IoControlCode == IOCTL_ECHO) {
            auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
            const ULONG length = std::max(io.InputBufferLength, io.OutputBufferLength);
            {
                std::lock_guard<std::mutex> guard(g_driver->Lock);
                g_driver->SystemBuffer.assign(buffer, buffer + length);
            }
            uint32_t answer[2] = {};
            std::memcpy(answer, buffer, sizeof answer);
            status = static_cast<NTSTATUS>(answer[0]);
            for (ULONG i = 0; i < io.OutputBufferLength; ++i) buffer[i] = static_cast<uint8_t>(0x40 + i);
            irp->IoStatus.Information = answer[1];
            break;
        }
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    default: status = STATUS_INVALID_DEVICE_REQUEST; break;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

class ProcessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_driver = &m_state;
        platform::IoReset();
        m_driver = platform::IoCreateDriverObject(u"\\Driver\\ProcessTest");
        ASSERT_NE(m_driver, nullptr);
        for (auto& routine : m_driver->MajorFunction) routine = Dispatch;
        ASSERT_EQ(IoCreateDevice(m_driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &m_device), STATUS_SUCCESS);
        m_device->Flags &= ~DO_DEVICE_INITIALIZING;
        UNICODE_STRING reference;
        RtlInitUnicodeString(&reference, u"Test");
        ASSERT_EQ(IoRegisterDeviceInterface(m_device, &kTestInterface, &reference, &m_link), STATUS_SUCCESS);
        m_linkText = platform::ToU16(&m_link);
    }
    void TearDown() override
    {
        IoSetDeviceInterfaceState(&m_link, FALSE);
        RtlFreeUnicodeString(&m_link);
        IoDeleteDevice(m_device);
        platform::IoDeleteDriverObject(m_driver);
        platform::IoReset();
        g_driver = nullptr;
    }
    void Enable() { ASSERT_EQ(IoSetDeviceInterfaceState(&m_link, TRUE), STATUS_SUCCESS); }
    std::vector<std::string> Events()
    {
        std::lock_guard<std::mutex> guard(m_state.Lock);
        return m_state.Events;
    }
    HANDLE OpenIn(platform::ProcessId process)
    {
        platform::ProcessScope scope(process);
        HANDLE handle = nullptr;
        EXPECT_EQ(platform::IoOpenUserInterface(m_linkText, &handle), STATUS_SUCCESS);
        return handle;
    }
    struct Sent {
        KEVENT Done;
        IO_STATUS_BLOCK Iosb{};
        std::vector<uint8_t> Output;
        NTSTATUS Returned = 0;
    };
    void Send(platform::ProcessId process, HANDLE handle, ULONG code, std::vector<uint8_t> input, ULONG outputLength,
              Sent* sent)
    {
        platform::ProcessScope scope(process);
        KeInitializeEvent(&sent->Done, NotificationEvent, FALSE);
        sent->Output.assign(outputLength + 8, 0xEE);  // 8 guard bytes past the output
        sent->Returned = platform::IoUserDeviceControl(handle, code, input.data(), static_cast<ULONG>(input.size()),
                                                       outputLength != 0 ? sent->Output.data() : nullptr,
                                                       outputLength, &sent->Done, &sent->Iosb);
    }

    Driver m_state;
    PDRIVER_OBJECT m_driver = nullptr;
    PDEVICE_OBJECT m_device = nullptr;
    UNICODE_STRING m_link{};
    std::u16string m_linkText;
};

// Each request answers for the process it came from; views of a 32-bit process lie below 4 GB
// and start on a page.
TEST_F(ProcessTest, EachRequestAnswersForTheBitnessOfItsOwnProcess)
{
    const platform::ProcessId narrow = platform::ProcessCreate(true);
    const platform::ProcessId wide = platform::ProcessCreate(false);
    struct Case {
        platform::ProcessId Process;
        BOOLEAN Is32bit;
    } cases[] = {{narrow, TRUE}, {wide, FALSE}, {platform::KERNEL_PROCESS, FALSE}};
    for (const Case& c : cases) {
        PIRP irp = nullptr;
        {
            platform::ProcessScope scope(c.Process);
            irp = IoAllocateIrp(1, FALSE);
            EXPECT_EQ(IoIs32bitProcess(nullptr), c.Is32bit) << c.Process;
        }
        ASSERT_NE(irp, nullptr);
        // Asked from another thread's context, the request still names its own process.
        EXPECT_EQ(IoIs32bitProcess(irp), c.Is32bit) << c.Process;
        IoFreeIrp(irp);
    }
    for (const Case& c : {cases[0], cases[1]}) {
        PHYSICAL_ADDRESS low{}, high{}, skip{};
        high.QuadPart = -1;
        PMDL mdl = MmAllocatePagesForMdlEx(low, high, skip, 3 * PAGE_SIZE + 100, MmCached, 0);
        ASSERT_NE(mdl, nullptr);
        platform::ProcessScope scope(c.Process);
        void* view = MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority);
        ASSERT_NE(view, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(view) % PAGE_SIZE, 0u);
        if (c.Is32bit) {
            EXPECT_LT(reinterpret_cast<uintptr_t>(view) + 4 * PAGE_SIZE, uint64_t{1} << 32);
        }
        MmUnmapLockedPages(view, mdl);
        MmFreePagesFromMdl(mdl);
        IoFreeMdl(mdl);
    }
    platform::ProcessExit(narrow);
    platform::ProcessExit(wide);
}

// Only an enabled interface opens, and only from a process; the last close of the handle
// cleans up, then closes, and the file goes.
TEST_F(ProcessTest, OnlyEnabledInterfacesOpenAndTheLastCloseCleansUpBeforeItCloses)
{
    const platform::ProcessId process = platform::ProcessCreate(false);
    HANDLE handle = nullptr;
    {
        platform::ProcessScope scope(process);
        EXPECT_EQ(platform::IoOpenUserInterface(m_linkText, &handle), STATUS_OBJECT_NAME_NOT_FOUND);
        EXPECT_EQ(platform::IoOpenUserInterface(u"\\??\\NoSuchLink", &handle), STATUS_OBJECT_NAME_NOT_FOUND);
    }
    Enable();
    EXPECT_EQ(platform::IoOpenUserInterface(m_linkText, &handle), STATUS_INVALID_PARAMETER);
    handle = OpenIn(process);
    ASSERT_NE(handle, nullptr);
    PFILE_OBJECT file = nullptr;
    {
        platform::ProcessScope scope(process);
        file = platform::IoUserFileOf(handle);
    }
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(platform::ToU16(&file->FileName), u"\\Test");
    EXPECT_EQ(platform::IoUserFileOf(handle), nullptr);  // not the kernel's handle
    EXPECT_EQ(platform::IoUserFilesOnStack(m_device), 1u);
    EXPECT_EQ(Events(), (std::vector<std::string>{"create"}));

    ASSERT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(Events(), (std::vector<std::string>{"create", "cleanup", "close"}));
    EXPECT_FALSE(platform::ObIsRegistered(file));
    EXPECT_EQ(platform::IoUserFilesOnStack(m_device), 0u);
    platform::ProcessExit(process);
}

// A request still with the driver holds the close back (not the cleanup) until it finishes.
TEST_F(ProcessTest, TheCloseWaitsForTheFilesRequests)
{
    Enable();
    const platform::ProcessId process = platform::ProcessCreate(false);
    HANDLE handle = OpenIn(process);
    Sent pending;
    Send(process, handle, IOCTL_PEND, {}, 0, &pending);
    ASSERT_EQ(pending.Returned, STATUS_PENDING);
    ASSERT_EQ(ZwClose(handle), STATUS_SUCCESS);
    platform::RunFor(std::chrono::milliseconds(10));
    EXPECT_EQ(Events(), (std::vector<std::string>{"create", "pend", "cleanup"}));
    EXPECT_EQ(platform::IoUserFilesOnStack(m_device), 1u);

    PIRP irp = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_state.Lock);
        irp = m_state.Pending;
        m_state.Pending = nullptr;
    }
    ASSERT_NE(irp, nullptr);
    ASSERT_NE(IoSetCancelRoutine(irp, nullptr), nullptr);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(pending.Iosb.Status, STATUS_SUCCESS);
    ASSERT_TRUE(platform::RunUntil([&] { return platform::IoUserFilesOnStack(m_device) == 0; },
                                   std::chrono::seconds(5)));
    EXPECT_EQ(Events(), (std::vector<std::string>{"create", "pend", "cleanup", "close"}));
    platform::ProcessExit(process);
}

// An ending process cancels its requests and waits for them, then closes its handles: the file
// (cleanup, then close) and its events.
TEST_F(ProcessTest, AnEndingProcessCancelsItsRequestsThenClosesItsHandles)
{
    Enable();
    const platform::ProcessId process = platform::ProcessCreate(true);
    HANDLE handle = OpenIn(process);
    PKEVENT event = nullptr;
    {
        platform::ProcessScope scope(process);
        platform::EventHandleCreateInProcess(NotificationEvent, false, EVENT_ALL_ACCESS, &event);
    }
    ObReferenceObject(event);  // kept to watch it lose the handle's reference
    Sent pending;
    Send(process, handle, IOCTL_PEND, {}, 0, &pending);
    ASSERT_EQ(pending.Returned, STATUS_PENDING);
    EXPECT_EQ(platform::HandleCountOfProcess(process), 2u);
    EXPECT_EQ(platform::ProcessPendingRequests(process), 1u);

    platform::ProcessExit(process);
    EXPECT_EQ(pending.Iosb.Status, STATUS_CANCELLED);
    EXPECT_NE(KeReadStateEvent(&pending.Done), 0);
    EXPECT_EQ(Events(), (std::vector<std::string>{"create", "pend", "cancel", "cleanup", "close"}));
    EXPECT_EQ(platform::HandleCountOfProcess(process), 0u);
    EXPECT_EQ(platform::ProcessPendingRequests(process), 0u);
    EXPECT_EQ(platform::IoUserFilesOnStack(m_device), 0u);
    EXPECT_EQ(platform::ObReferenceCount(event), 1);
    ObDereferenceObject(event);
}

// While the stack's removal is with its driver no user file request reaches it: a create is
// refused, a process thread's cleanup waits, and a close that a finished request let go (on a
// worker) is sent by the end of the removal. Each reaches the driver only after it.
TEST_F(ProcessTest, NoFileRequestReachesTheDriverDuringTheStacksRemoval)
{
    Enable();
    const platform::ProcessId closing = platform::ProcessCreate(false);
    const platform::ProcessId holding = platform::ProcessCreate(false);
    HANDLE closingHandle = OpenIn(closing);
    HANDLE holdingHandle = OpenIn(holding);
    Sent pending;
    Send(closing, closingHandle, IOCTL_PEND, {}, 0, &pending);
    ASSERT_EQ(pending.Returned, STATUS_PENDING);
    ASSERT_EQ(ZwClose(closingHandle), STATUS_SUCCESS);  // the close waits for the request

    platform::IoBeginStackRemoval(m_device);
    Note("removing");
    // The driver ends the request as it takes the device down.
    PIRP irp = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_state.Lock);
        std::swap(irp, m_state.Pending);
    }
    ASSERT_NE(irp, nullptr);
    ASSERT_NE(IoSetCancelRoutine(irp, nullptr), nullptr);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    platform::ClientThread user("user", [&] {
        platform::ProcessScope scope(holding);
        EXPECT_EQ(ZwClose(holdingHandle), STATUS_SUCCESS);
    });
    platform::RunFor(std::chrono::milliseconds(50));
    {
        platform::ProcessScope scope(holding);
        HANDLE late = nullptr;
        EXPECT_EQ(platform::IoOpenUserInterface(m_linkText, &late), STATUS_DELETE_PENDING);
        EXPECT_EQ(late, nullptr);
    }
    Note("removed");
    platform::IoEndStackRemoval(m_device);
    user.Join();
    EXPECT_EQ(Events(), (std::vector<std::string>{"create", "create", "pend", "cleanup", "removing", "removed",
                                                  "close", "cleanup", "close"}));
    EXPECT_EQ(platform::IoUserFilesOnStack(m_device), 0u);
    platform::ProcessExit(closing);
    platform::ProcessExit(holding);
}

// METHOD_BUFFERED from a process: the driver finds poison past the input, the output gets at most
// its own length back, and more Information than that (outside a size query) is a fault.
TEST_F(ProcessTest, BufferedRequestsArePoisonedPastTheInputAndCopyBackWithinTheOutput)
{
    Enable();
    const platform::ProcessId process = platform::ProcessCreate(false);
    HANDLE handle = OpenIn(process);
    struct Case {
        const char* Name;
        NTSTATUS Status;
        uint32_t Information;
        ULONG OutputLength;
        size_t Copied;     // output bytes the caller gets back
        bool Fault;
    } cases[] = {
        {"full answer", STATUS_SUCCESS, 16, 16, 16, false},
        {"short answer", STATUS_SUCCESS, 5, 16, 5, false},
        {"no output", STATUS_SUCCESS, 0, 0, 0, false},
        {"size query", static_cast<NTSTATUS>(0x80000005), 40, 0, 0, false},
        {"past the output", STATUS_SUCCESS, 12, 8, 8, true},
        {"success claiming bytes of no output", STATUS_SUCCESS, 4, 0, 0, true},
        {"error", static_cast<NTSTATUS>(0xC0000023), 64, 8, 0, false},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> input(8);
        std::memcpy(&input[0], &c.Status, 4);
        std::memcpy(&input[4], &c.Information, 4);
        Sent sent;
        Send(process, handle, IOCTL_ECHO, input, c.OutputLength, &sent);
        EXPECT_EQ(sent.Iosb.Status, c.Status) << c.Name;
        EXPECT_EQ(sent.Iosb.Information, c.Information) << c.Name;
        std::vector<uint8_t> seen;
        {
            std::lock_guard<std::mutex> guard(m_state.Lock);
            seen = m_state.SystemBuffer;
        }
        ASSERT_EQ(seen.size(), std::max<size_t>(8, c.OutputLength)) << c.Name;
        for (size_t i = 8; i < seen.size(); ++i) {
            ASSERT_EQ(seen[i], platform::IO_SYSTEM_BUFFER_POISON) << c.Name << " byte " << i;
        }
        for (size_t i = 0; i < sent.Output.size(); ++i) {
            const uint8_t want = i < c.Copied ? static_cast<uint8_t>(0x40 + i) : 0xEE;
            ASSERT_EQ(sent.Output[i], want) << c.Name << " byte " << i;
        }
        const auto faults = platform::VerifierTakeFaults();
        if (c.Fault) {
            ASSERT_EQ(faults.size(), 1u) << c.Name;
            EXPECT_EQ(faults[0].Rule, "IRP_INFORMATION_PAST_OUTPUT") << c.Name;
            EXPECT_NE(faults[0].Detail.find("0x00222008"), std::string::npos) << faults[0].Detail;
        } else {
            EXPECT_TRUE(faults.empty()) << c.Name;
        }
    }
    ZwClose(handle);
    platform::ProcessExit(process);
}

// A view of locked pages left mapped into an ending process is a fault, and so is a user view
// asked for outside any process.
TEST_F(ProcessTest, AViewLeftInAnEndingProcessIsAFault)
{
    const platform::ProcessId process = platform::ProcessCreate(false);
    PHYSICAL_ADDRESS low{}, high{}, skip{};
    high.QuadPart = -1;
    PMDL mdl = MmAllocatePagesForMdlEx(low, high, skip, PAGE_SIZE, MmCached, 0);
    ASSERT_NE(mdl, nullptr);
    void* view = nullptr;
    {
        platform::ProcessScope scope(process);
        view = MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority);
    }
    ASSERT_NE(view, nullptr);
    platform::ProcessExit(process);
    // Outside any process there is no user space to map into.
    EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, NormalPagePriority), nullptr);
    const auto faults = platform::VerifierTakeFaults();
    ASSERT_EQ(faults.size(), 2u);
    EXPECT_EQ(faults[0].Rule, "PROCESS_EXIT_VIEWS");
    EXPECT_EQ(faults[1].Rule, "MDL_USER_MAP_NO_PROCESS");
    MmUnmapLockedPages(view, mdl);
    MmFreePagesFromMdl(mdl);
    IoFreeMdl(mdl);
}

}  // namespace
