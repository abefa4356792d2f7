#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "platform/io/Io.h"
#include "platform/nt/Clock.h"
#include "platform/nt/Kernel.h"
#include "platform/nt/Pool.h"
#include "platform/nt/Verifier.h"
#include "tests/platform/io/LowerDevice.h"
#include "platform/nt/PoolHost.h"
#include "platform/io/IoHost.h"

namespace {

using kvxtest::LowerDevice;

// What a completion routine saw.
struct Seen {
    int calls = 0;
    NTSTATUS status = 0;
    PDEVICE_OBJECT device = nullptr;
    BOOLEAN pendingReturned = FALSE;
    KIRQL irql = PASSIVE_LEVEL;
    NTSTATUS result = STATUS_SUCCESS;  // what the routine returns
    KEVENT done;

    Seen() { KeInitializeEvent(&done, NotificationEvent, FALSE); }
};

NTSTATUS RecordingRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto* seen = static_cast<Seen*>(context);
    seen->calls++;
    seen->status = irp->IoStatus.Status;
    seen->device = device;
    seen->pendingReturned = irp->PendingReturned;
    seen->irql = KeGetCurrentIrql();
    const NTSTATUS result = seen->result;
    if (irp->PendingReturned && result != STATUS_MORE_PROCESSING_REQUIRED) {
        IoMarkIrpPending(irp);
    }
    // The waiter may free the IRP and the context as soon as the event is set.
    KeSetEvent(&seen->done, IO_NO_INCREMENT, FALSE);
    return result;
}

// A filter driver between the sender and the lower device: passes every IRP down, either
// skipping its location or with a completion routine of the test's choosing.
struct Middle {
    PDEVICE_OBJECT lower = nullptr;
    bool withRoutine = true;
    BOOLEAN onSuccess = TRUE;
    BOOLEAN onError = TRUE;
    BOOLEAN onCancel = TRUE;
    Seen seen;
};

NTSTATUS MiddleDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    auto* middle = *static_cast<Middle**>(device->DeviceExtension);
    if (!middle->withRoutine) {
        IoSkipCurrentIrpStackLocation(irp);
    } else {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, RecordingRoutine, &middle->seen, middle->onSuccess, middle->onError,
                               middle->onCancel);
        if (middle->seen.result == STATUS_MORE_PROCESSING_REQUIRED) {
            // The routine keeps the IRP, so whatever the lower driver returns, it is pending here.
            IoMarkIrpPending(irp);
            IoCallDriver(middle->lower, irp);
            return STATUS_PENDING;
        }
    }
    return IoCallDriver(middle->lower, irp);
}

// Sender -> middle device -> lower device.
class IrpTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_driver = platform::IoCreateDriverObject(u"\\Driver\\TestMiddle");
        m_driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = MiddleDispatch;
        ASSERT_EQ(IoCreateDevice(m_driver, sizeof(Middle*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &m_device),
                  STATUS_SUCCESS);
        *static_cast<Middle**>(m_device->DeviceExtension) = &m_middle;
        m_middle.lower = IoAttachDeviceToDeviceStack(m_device, m_lower.Device());
        ASSERT_EQ(m_middle.lower, m_lower.Device());
    }
    void TearDown() override
    {
        IoDetachDevice(m_lower.Device());
        IoDeleteDevice(m_device);
        platform::IoDeleteDriverObject(m_driver);
    }

    // An IRP for the middle device whose sender keeps it through a completion routine that
    // always runs and returns STATUS_MORE_PROCESSING_REQUIRED.
    PIRP NewIrp(Seen& sender)
    {
        PIRP irp = IoAllocateIrp(m_device->StackSize, FALSE);
        EXPECT_NE(irp, nullptr);
        platform::IoPrepareNextStackLocation(irp, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0);
        sender.result = STATUS_MORE_PROCESSING_REQUIRED;
        IoSetCompletionRoutine(irp, RecordingRoutine, &sender, TRUE, TRUE, TRUE);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        return irp;
    }

    LowerDevice m_lower;
    PDRIVER_OBJECT m_driver = nullptr;
    PDEVICE_OBJECT m_device = nullptr;
    Middle m_middle;
};

TEST_F(IrpTest, RequestThatNeverCompletesIsCancelledAfter500ms)
{
    // The synchronous-request pattern: own stack location, wait 500 ms, then cancel and wait.
    Seen sender;
    PIRP irp = IoAllocateIrp(static_cast<CHAR>(m_lower.Device()->StackSize + 1), FALSE);
    ASSERT_NE(irp, nullptr);
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->DeviceObject = m_device;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = 0x220003;
    sender.result = STATUS_MORE_PROCESSING_REQUIRED;
    IoSetCompletionRoutine(irp, RecordingRoutine, &sender, TRUE, TRUE, TRUE);

    ASSERT_EQ(IoCallDriver(m_lower.Device(), irp), STATUS_PENDING);
    const int64_t start = platform::ClockNow();
    LARGE_INTEGER timeout;
    timeout.QuadPart = -5000000;
    EXPECT_EQ(KeWaitForSingleObject(&sender.done, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
    EXPECT_EQ(platform::ClockNow() - start, 500 * platform::TICKS_PER_MS);
    EXPECT_EQ(sender.calls, 0);

    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(KeWaitForSingleObject(&sender.done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(sender.calls, 1);
    EXPECT_EQ(sender.status, STATUS_CANCELLED);
    EXPECT_EQ(sender.device, m_device);  // the sender's own location
    EXPECT_TRUE(sender.pendingReturned);
    EXPECT_EQ(sender.irql, DISPATCH_LEVEL);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_CANCELLED);
    EXPECT_EQ(m_lower.CancelledCount(), 1);
    // Cancelling again finds no cancel routine.
    EXPECT_FALSE(IoCancelIrp(irp));
    IoFreeIrp(irp);
}

TEST_F(IrpTest, CompletionRoutineFlagsAreHonoured)
{
    struct Case {
        const char* name;
        BOOLEAN onSuccess, onError, onCancel;
        bool cancel;  // cancelled through IoCancelIrp, else completed with `status`
        NTSTATUS status;
        bool called;
    };
    const Case cases[] = {
        {"success routine, success", TRUE, FALSE, FALSE, false, STATUS_SUCCESS, true},
        {"error routine, warning (not a success)", FALSE, TRUE, FALSE, false, STATUS_BUFFER_OVERFLOW, true},
        {"success routine, error", TRUE, FALSE, FALSE, false, STATUS_UNSUCCESSFUL, false},
        {"error routine, error", FALSE, TRUE, FALSE, false, STATUS_UNSUCCESSFUL, true},
        {"error routine, success", FALSE, TRUE, FALSE, false, STATUS_SUCCESS, false},
        {"cancel routine, cancelled", FALSE, FALSE, TRUE, true, STATUS_CANCELLED, true},
        {"cancel routine, cancelled status without cancel", FALSE, FALSE, TRUE, false, STATUS_CANCELLED, false},
        {"error routine, cancelled", FALSE, TRUE, FALSE, true, STATUS_CANCELLED, true},
        {"success routine, cancelled", TRUE, FALSE, FALSE, true, STATUS_CANCELLED, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        m_middle.seen.calls = 0;
        m_middle.onSuccess = c.onSuccess;
        m_middle.onError = c.onError;
        m_middle.onCancel = c.onCancel;
        Seen sender;
        PIRP irp = NewIrp(sender);
        ASSERT_EQ(IoCallDriver(m_device, irp), STATUS_PENDING);
        if (c.cancel) {
            EXPECT_TRUE(IoCancelIrp(irp));
        } else {
            EXPECT_TRUE(m_lower.CompleteNext(c.status));
        }
        EXPECT_EQ(m_middle.seen.calls, c.called ? 1 : 0);
        if (c.called) {
            EXPECT_EQ(m_middle.seen.status, c.status);
            EXPECT_EQ(m_middle.seen.device, m_device);
            EXPECT_TRUE(m_middle.seen.pendingReturned);
        }
        // The sender always gets it back, pending mark carried up either way.
        EXPECT_EQ(sender.calls, 1);
        EXPECT_EQ(sender.status, c.status);
        EXPECT_EQ(sender.device, nullptr);  // no location of its own
        EXPECT_TRUE(sender.pendingReturned);
        IoFreeIrp(irp);
    }
}

TEST_F(IrpTest, MoreProcessingRequiredLeavesTheIrpWithItsOwner)
{
    m_middle.seen.result = STATUS_MORE_PROCESSING_REQUIRED;
    Seen sender;
    PIRP irp = NewIrp(sender);
    ASSERT_EQ(IoCallDriver(m_device, irp), STATUS_PENDING);
    ASSERT_TRUE(m_lower.CompleteNext(STATUS_SUCCESS, 8));
    EXPECT_EQ(m_middle.seen.calls, 1);
    EXPECT_EQ(sender.calls, 0);
    // The middle driver holds its own location again and may finish the IRP later.
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->DeviceObject, m_device);
    irp->IoStatus.Status = STATUS_DEVICE_DATA_ERROR;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(sender.calls, 1);
    EXPECT_EQ(sender.status, STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(irp->IoStatus.Information, 8u);

    // Reused, it is fresh again and travels the same way.
    IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
    EXPECT_FALSE(irp->Cancel);
    m_middle.seen.result = STATUS_SUCCESS;
    m_lower.SetMode(LowerDevice::Mode::CompleteAtOnce, STATUS_SUCCESS);
    platform::IoPrepareNextStackLocation(irp, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0);
    IoSetCompletionRoutine(irp, RecordingRoutine, &sender, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(m_device, irp), STATUS_SUCCESS);
    EXPECT_EQ(sender.calls, 2);
    EXPECT_EQ(sender.status, STATUS_SUCCESS);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, PendingMarkPropagatesWithoutRoutines)
{
    m_middle.withRoutine = false;
    Seen held;
    PIRP irp = NewIrp(held);
    ASSERT_EQ(IoCallDriver(m_device, irp), STATUS_PENDING);
    ASSERT_TRUE(m_lower.CompleteNext(STATUS_SUCCESS));
    EXPECT_TRUE(held.pendingReturned);
    IoFreeIrp(irp);

    m_lower.SetMode(LowerDevice::Mode::CompleteAtOnce, STATUS_INVALID_DEVICE_REQUEST);
    Seen direct;
    irp = NewIrp(direct);
    EXPECT_EQ(IoCallDriver(m_device, irp), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(direct.calls, 1);
    EXPECT_FALSE(direct.pendingReturned);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, CompletionFromADpcRunsAtDispatchLevel)
{
    Seen sender;
    PIRP irp = NewIrp(sender);
    ASSERT_EQ(IoCallDriver(m_device, irp), STATUS_PENDING);

    KDPC dpc;
    KeInitializeDpc(
        &dpc, [](PKDPC, PVOID context, PVOID, PVOID) { static_cast<LowerDevice*>(context)->CompleteNext(STATUS_SUCCESS); },
        &m_lower);
    KTIMER timer;
    KeInitializeTimer(&timer);
    LARGE_INTEGER due;
    due.QuadPart = -10 * platform::TICKS_PER_MS;
    KeSetTimer(&timer, due, &dpc);
    EXPECT_EQ(KeWaitForSingleObject(&sender.done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    KeFlushQueuedDpcs();  // the DPC and timer live on this stack
    EXPECT_EQ(m_middle.seen.irql, DISPATCH_LEVEL);
    EXPECT_EQ(sender.irql, DISPATCH_LEVEL);
    EXPECT_EQ(sender.status, STATUS_SUCCESS);
    IoFreeIrp(irp);
}

TEST_F(IrpTest, BuiltDeviceControlRequestSignalsItsEventWithTheStatus)
{
    // Buffered: input reaches the system buffer, Information bytes of output come back.
    const ULONG code = CTL_CODE(FILE_DEVICE_SOUND, 0x805, METHOD_BUFFERED, FILE_WRITE_ACCESS);
    EXPECT_EQ(code, 0x1DA014u);
    UCHAR input[3] = {1, 2, 3};
    UCHAR output[8];
    std::memset(output, 0xEE, sizeof output);
    m_lower.OnRequest([&](PIRP irp, PIO_STACK_LOCATION stack) {
        EXPECT_EQ(stack->MajorFunction, IRP_MJ_DEVICE_CONTROL);
        EXPECT_EQ(stack->Parameters.DeviceIoControl.IoControlCode, code);
        EXPECT_EQ(stack->Parameters.DeviceIoControl.InputBufferLength, 3u);
        EXPECT_EQ(stack->Parameters.DeviceIoControl.OutputBufferLength, 8u);
        auto* system = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        EXPECT_EQ(std::memcmp(system, input, 3), 0);
        std::memset(system, 0x5A, 8);
    });
    m_lower.SetMode(LowerDevice::Mode::CompleteAtOnce, STATUS_SUCCESS, 4);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    iosb.Status = STATUS_PENDING;
    PIRP irp = IoBuildDeviceIoControlRequest(code, m_lower.Device(), input, 3, output, 8, FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(m_lower.Device(), irp), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 4u);
    const UCHAR expected[8] = {0x5A, 0x5A, 0x5A, 0x5A, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(std::memcmp(output, expected, 8), 0);
    EXPECT_EQ(platform::PoolLiveCount(platform::IO_IRP_TAG), 0u);
    EXPECT_EQ(platform::PoolLiveCount(platform::IO_BUFFER_TAG), 0u);

    // Internal, pending: Argument1 rides beside an intact control code.
    ULONG portStatus = 0;
    m_lower.OnRequest([&](PIRP, PIO_STACK_LOCATION stack) {
        EXPECT_EQ(stack->MajorFunction, IRP_MJ_INTERNAL_DEVICE_CONTROL);
        EXPECT_EQ(stack->Parameters.DeviceIoControl.IoControlCode, 0x220013u);
        EXPECT_EQ(stack->Parameters.Others.Argument1, &portStatus);
    });
    m_lower.SetMode(LowerDevice::Mode::Hold);
    KeClearEvent(&event);
    irp = IoBuildDeviceIoControlRequest(0x220013, m_lower.Device(), nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &portStatus;
    ASSERT_EQ(IoCallDriver(m_lower.Device(), irp), STATUS_PENDING);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    ASSERT_TRUE(m_lower.CompleteNext(STATUS_NO_SUCH_DEVICE));
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, STATUS_NO_SUCH_DEVICE);

    platform::PoolFailNextWithTag(platform::IO_IRP_TAG);
    EXPECT_EQ(IoBuildDeviceIoControlRequest(code, m_lower.Device(), input, 3, output, 8, FALSE, &event, &iosb),
              nullptr);
    platform::PoolFailNextWithTag(platform::IO_IRP_TAG);
    EXPECT_EQ(IoAllocateIrp(2, FALSE), nullptr);
}

struct PowerDone {
    int calls = 0;
    PDEVICE_OBJECT device = nullptr;
    UCHAR minor = 0xFF;
    POWER_STATE state{};
    NTSTATUS status = 0;
};

VOID RecordPowerDone(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context, PIO_STATUS_BLOCK iosb)
{
    auto* done = static_cast<PowerDone*>(context);
    done->calls++;
    done->device = device;
    done->minor = minor;
    done->state = state;
    done->status = iosb->Status;
}

TEST_F(IrpTest, PowerRequestsTravelTheWholeStackAndReportBack)
{
    m_driver->MajorFunction[IRP_MJ_POWER] = MiddleDispatch;
    m_lower.OnRequest([](PIRP irp, PIO_STACK_LOCATION stack) {
        EXPECT_EQ(stack->MajorFunction, IRP_MJ_POWER);
        EXPECT_EQ(stack->MinorFunction, IRP_MN_SET_POWER);
        EXPECT_EQ(stack->Parameters.Power.Type, DevicePowerState);
        EXPECT_EQ(stack->Parameters.Power.State.DeviceState, PowerDeviceD2);
        EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);  // power IRPs start unsupported
    });
    PowerDone done;
    POWER_STATE d2;
    d2.DeviceState = PowerDeviceD2;
    PIRP irp = nullptr;
    ASSERT_EQ(PoRequestPowerIrp(m_lower.Device(), IRP_MN_SET_POWER, d2, RecordPowerDone, &done, &irp), STATUS_PENDING);
    EXPECT_NE(irp, nullptr);
    EXPECT_EQ(m_lower.HeldCount(), 1u);
    EXPECT_EQ(done.calls, 0);
    ASSERT_TRUE(m_lower.CompleteNext(STATUS_SUCCESS));
    EXPECT_EQ(m_middle.seen.calls, 1);  // sent to the top of the stack
    EXPECT_EQ(done.calls, 1);
    EXPECT_EQ(done.device, m_lower.Device());
    EXPECT_EQ(done.minor, IRP_MN_SET_POWER);
    EXPECT_EQ(done.state.DeviceState, PowerDeviceD2);
    EXPECT_EQ(done.status, STATUS_SUCCESS);
    EXPECT_EQ(platform::ObReferenceCount(m_device), 1);  // the reference on the target is gone

    EXPECT_EQ(PoRequestPowerIrp(m_lower.Device(), 0x07, d2, RecordPowerDone, &done, nullptr),
              STATUS_INVALID_PARAMETER);
    platform::PoolFailNextWithTag(platform::IO_IRP_TAG);
    EXPECT_EQ(PoRequestPowerIrp(m_lower.Device(), IRP_MN_SET_POWER, d2, RecordPowerDone, &done, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(platform::ObReferenceCount(m_device), 1);

    EXPECT_EQ(PoSetPowerState(m_device, DevicePowerState, d2).DeviceState, PowerDeviceUnspecified);
    EXPECT_EQ(platform::IoDevicePowerState(m_device), PowerDeviceD2);
}

TEST_F(IrpTest, APowerRequestMadeAtDispatchLevelReachesTheStackAtPassiveLevel)
{
    KIRQL seen = HIGH_LEVEL;
    m_driver->MajorFunction[IRP_MJ_POWER] = MiddleDispatch;
    std::atomic<PKTHREAD> sentBy{nullptr};
    m_lower.OnRequest([&](PIRP, PIO_STACK_LOCATION) {
        seen = KeGetCurrentIrql();
        sentBy = KeGetCurrentThread();
    });
    PowerDone done;
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    const NTSTATUS status = PoRequestPowerIrp(m_lower.Device(), IRP_MN_SET_POWER, d0, RecordPowerDone, &done, nullptr);
    KeLowerIrql(old);
    EXPECT_EQ(status, STATUS_PENDING);
    // The worker carries it down: bounded wait for it to arrive.
    ASSERT_TRUE(platform::RunUntil([&] { return m_lower.HeldCount() == 1u; }, std::chrono::seconds(1)));
    EXPECT_EQ(seen, PASSIVE_LEVEL);
    EXPECT_NE(sentBy.load(), KeGetCurrentThread());  // carried by a worker, not sent from inside the caller
    ASSERT_TRUE(m_lower.CompleteNext(STATUS_SUCCESS));
    EXPECT_EQ(done.calls, 1);
    EXPECT_EQ(done.status, STATUS_SUCCESS);

    // Without a worker to carry it, the request is refused and nothing is left behind.
    platform::PoolFailNextWithTag(platform::WORK_ITEM_POOL_TAG);
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    const NTSTATUS refused = PoRequestPowerIrp(m_lower.Device(), IRP_MN_SET_POWER, d0, RecordPowerDone, &done, nullptr);
    KeLowerIrql(old);
    EXPECT_EQ(refused, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(done.calls, 1);
    EXPECT_EQ(platform::ObReferenceCount(m_device), 1);
}

TEST_F(IrpTest, BrokenIrpHandlingIsReported)
{
    auto takeRules = [] {
        std::vector<std::string> rules;
        for (const auto& f : platform::VerifierTakeFaults()) {
            rules.push_back(f.Rule);
        }
        return rules;
    };

    // Freed while the lower driver still holds it: refused, and freed once it is back.
    Seen sender;
    PIRP irp = NewIrp(sender);
    ASSERT_EQ(IoCallDriver(m_device, irp), STATUS_PENDING);
    IoFreeIrp(irp);
    EXPECT_EQ(takeRules(), std::vector<std::string>{"IRP_FREE_IN_DRIVER"});
    ASSERT_TRUE(m_lower.CompleteNext(STATUS_SUCCESS));
    EXPECT_EQ(sender.calls, 1);
    IoFreeIrp(irp);

    // Completed with STATUS_PENDING and with its cancel routine still set.
    Seen owner;
    irp = IoAllocateIrp(2, FALSE);
    owner.result = STATUS_MORE_PROCESSING_REQUIRED;
    IoSetCompletionRoutine(irp, RecordingRoutine, &owner, TRUE, TRUE, TRUE);
    IoSetNextIrpStackLocation(irp);
    IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP) {});
    irp->IoStatus.Status = STATUS_PENDING;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(takeRules(), (std::vector<std::string>{"IRP_COMPLETE_PENDING", "IRP_COMPLETE_CANCEL_ROUTINE"}));
    EXPECT_EQ(owner.calls, 1);
    IoSetCancelRoutine(irp, nullptr);
    IoFreeIrp(irp);

    // A driver-allocated IRP that completes past its top: nobody owns the result.
    m_lower.SetMode(LowerDevice::Mode::CompleteAtOnce, STATUS_SUCCESS);
    irp = IoAllocateIrp(1, FALSE);
    platform::IoPrepareNextStackLocation(irp, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0);
    IoCallDriver(m_lower.Device(), irp);
    EXPECT_EQ(takeRules(), std::vector<std::string>{"IRP_COMPLETED_TO_NOBODY"});
    IoFreeIrp(irp);
}

}  // namespace
