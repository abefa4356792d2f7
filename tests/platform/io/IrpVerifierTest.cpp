// Probe drivers that break the IRP rules, and the faults the I/O manager names for them.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "platform/io/Io.h"
#include "platform/nt/Clock.h"
#include "platform/nt/Kernel.h"
#include "platform/nt/Verifier.h"
#include "tests/platform/io/LowerDevice.h"
#include "platform/io/IoHost.h"

namespace {

using kvxtest::LowerDevice;

std::vector<std::string> TakeRules()
{
    std::vector<std::string> rules;
    for (const auto& f : platform::VerifierTakeFaults()) {
        rules.push_back(f.Rule);
    }
    return rules;
}

std::string AddressOf(const void* p)
{
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

using Behaviour = std::function<NTSTATUS(PIRP irp, PDEVICE_OBJECT lower)>;

// The probe driver's device sits on the lower device; its one dispatch routine does what the
// test asks.
struct Probe {
    PDEVICE_OBJECT lower = nullptr;
    Behaviour behaviour;
};

NTSTATUS ProbeDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    auto* probe = *static_cast<Probe**>(device->DeviceExtension);
    return probe->behaviour(irp, probe->lower);
}

NTSTATUS KeepIrp(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }

NTSTATUS Complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

class IrpVerifierTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_driver = platform::IoCreateDriverObject(u"\\Driver\\Probe");
        m_driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = ProbeDispatch;
        ASSERT_EQ(IoCreateDevice(m_driver, sizeof(Probe*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &m_device),
                  STATUS_SUCCESS);
        *static_cast<Probe**>(m_device->DeviceExtension) = &m_probe;
        m_probe.lower = IoAttachDeviceToDeviceStack(m_device, m_lower.Device());
    }
    void TearDown() override
    {
        IoDetachDevice(m_lower.Device());
        IoDeleteDevice(m_device);
        platform::IoDeleteDriverObject(m_driver);
    }

    // An IRP for the probe device that its sender keeps when it comes back.
    PIRP NewIrp()
    {
        PIRP irp = IoAllocateIrp(m_device->StackSize, FALSE);
        platform::IoPrepareNextStackLocation(irp, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0);
        IoSetCompletionRoutine(irp, KeepIrp, nullptr, TRUE, TRUE, TRUE);
        return irp;
    }

    LowerDevice m_lower;
    PDRIVER_OBJECT m_driver = nullptr;
    PDEVICE_OBJECT m_device = nullptr;
    Probe m_probe;
};

TEST_F(IrpVerifierTest, DispatchRoutinesPendingAndStatusRules)
{
    PIRP held = nullptr;  // an IRP the probe keeps for the test to complete later
    struct Case {
        const char* name;
        Behaviour behaviour;
        std::vector<std::string> rules;
    };
    const Case cases[] = {
        {"pending, marked, completed later",
         [&](PIRP irp, PDEVICE_OBJECT) {
             IoMarkIrpPending(irp);
             held = irp;
             return STATUS_PENDING;
         },
         {}},
        {"marked, completed at once, pending returned", [](PIRP irp, PDEVICE_OBJECT) {
             IoMarkIrpPending(irp);
             Complete(irp, STATUS_SUCCESS);
             return STATUS_PENDING;
         },
         {}},
        {"completed at once with the status returned",
         [](PIRP irp, PDEVICE_OBJECT) { return Complete(irp, STATUS_INVALID_DEVICE_STATE); }, {}},
        {"pending without the mark, completed later",
         [&](PIRP irp, PDEVICE_OBJECT) {
             held = irp;
             return STATUS_PENDING;
         },
         {"IRP_PENDING_NOT_MARKED"}},
        {"pending without the mark, completed at once",
         [](PIRP irp, PDEVICE_OBJECT) {
             Complete(irp, STATUS_SUCCESS);
             return STATUS_PENDING;
         },
         {"IRP_PENDING_NOT_MARKED"}},
        {"marked, then completed with success returned",
         [](PIRP irp, PDEVICE_OBJECT) {
             IoMarkIrpPending(irp);
             return Complete(irp, STATUS_SUCCESS);
         },
         {"IRP_MARKED_NOT_PENDING"}},
        {"completed with one status, another returned",
         [](PIRP irp, PDEVICE_OBJECT) {
             Complete(irp, STATUS_UNSUCCESSFUL);
             return STATUS_SUCCESS;
         },
         {"IRP_STATUS_MISMATCH"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        held = nullptr;
        m_probe.behaviour = c.behaviour;
        PIRP irp = NewIrp();
        IoCallDriver(m_device, irp);
        if (held != nullptr) {
            Complete(held, STATUS_SUCCESS);
        }
        const auto faults = platform::VerifierTakeFaults();
        std::vector<std::string> rules;
        for (const auto& f : faults) {
            rules.push_back(f.Rule);
            // Each names the routine that broke the rule.
            EXPECT_NE(f.Detail.find(AddressOf(reinterpret_cast<void*>(ProbeDispatch))), std::string::npos)
                << f.Detail;
        }
        EXPECT_EQ(rules, c.rules);
        IoFreeIrp(irp);
    }
}

TEST_F(IrpVerifierTest, CompletionOnAnotherThreadWhileTheDispatchRoutineStillRuns)
{
    // The probe hands the IRP to a DPC, which completes it while the routine waits 10 ms before
    // returning STATUS_PENDING: the verdict comes from what the completion saw.
    struct Handoff {
        PIRP irp = nullptr;
        KDPC dpc;
        KTIMER timer;
    } handoff;
    KeInitializeDpc(
        &handoff.dpc,
        [](PKDPC, PVOID context, PVOID, PVOID) { Complete(static_cast<Handoff*>(context)->irp, STATUS_SUCCESS); },
        &handoff);
    KeInitializeTimer(&handoff.timer);
    for (const bool mark : {true, false}) {
        SCOPED_TRACE(mark ? "marked" : "not marked");
        m_probe.behaviour = [&](PIRP irp, PDEVICE_OBJECT) {
            if (mark) {
                IoMarkIrpPending(irp);
            }
            handoff.irp = irp;
            LARGE_INTEGER due;
            due.QuadPart = -1 * platform::TICKS_PER_MS;
            KeSetTimer(&handoff.timer, due, &handoff.dpc);
            LARGE_INTEGER delay;
            delay.QuadPart = -10 * platform::TICKS_PER_MS;
            KeDelayExecutionThread(KernelMode, FALSE, &delay);
            return STATUS_PENDING;
        };
        PIRP irp = NewIrp();
        EXPECT_EQ(IoCallDriver(m_device, irp), STATUS_PENDING);
        KeFlushQueuedDpcs();
        EXPECT_EQ(TakeRules(), mark ? std::vector<std::string>{} : std::vector<std::string>{"IRP_PENDING_NOT_MARKED"});
        IoFreeIrp(irp);
    }
}

// What a forwarding probe's completion routine does when the lower driver returned pending.
enum class RoutineKind { Propagates, Forgets };

NTSTATUS PropagatingRoutine(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
    return STATUS_SUCCESS;
}

NTSTATUS ForgetfulRoutine(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }

TEST_F(IrpVerifierTest, CompletionRoutineMustCarryThePendingMarkUp)
{
    struct Case {
        const char* name;
        PIO_COMPLETION_ROUTINE routine;  // null: the location is skipped
        std::vector<std::string> rules;
    };
    const Case cases[] = {
        {"propagates", PropagatingRoutine, {}},
        {"skipped location", nullptr, {}},
        {"forgets", ForgetfulRoutine, {"IRP_PENDING_NOT_PROPAGATED"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        m_probe.behaviour = [&](PIRP irp, PDEVICE_OBJECT lower) {
            if (c.routine == nullptr) {
                IoSkipCurrentIrpStackLocation(irp);
            } else {
                IoCopyCurrentIrpStackLocationToNext(irp);
                IoSetCompletionRoutine(irp, c.routine, nullptr, TRUE, TRUE, TRUE);
            }
            return IoCallDriver(lower, irp);
        };
        PIRP irp = NewIrp();
        EXPECT_EQ(IoCallDriver(m_device, irp), STATUS_PENDING);
        ASSERT_TRUE(m_lower.CompleteNext(STATUS_SUCCESS));
        const auto faults = platform::VerifierTakeFaults();
        ASSERT_EQ(faults.size(), c.rules.size());
        if (!c.rules.empty()) {
            EXPECT_EQ(faults[0].Rule, c.rules[0]);
            EXPECT_NE(faults[0].Detail.find(AddressOf(reinterpret_cast<void*>(c.routine))), std::string::npos);
        }
        IoFreeIrp(irp);
    }
}

KSPIN_LOCK g_probeLock;

NTSTATUS CompletionKeepsLock(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    KeAcquireSpinLockAtDpcLevel(&g_probeLock);
    return PropagatingRoutine(nullptr, irp, nullptr);
}

NTSTATUS CompletionLowersIrql(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    KeLowerIrql(PASSIVE_LEVEL);
    return PropagatingRoutine(nullptr, irp, nullptr);
}

VOID CancelKeepsCancelLock(PDEVICE_OBJECT, PIRP irp)
{
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

VOID CancelStaysRaised(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(DISPATCH_LEVEL);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

TEST_F(IrpVerifierTest, RoutinesReturnAtTheirIrqlWithoutSpinLocks)
{
    KeInitializeSpinLock(&g_probeLock);
    struct Case {
        const char* name;
        std::function<void()> run;  // sends (and finishes) one IRP the wrong way
        std::string rule;
        KIRQL releaseTo;  // the probe lock the test still has to release, when not 0xFF
    };
    const auto forwardWith = [this](PIO_COMPLETION_ROUTINE routine) {
        m_probe.behaviour = [routine](PIRP irp, PDEVICE_OBJECT lower) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, routine, nullptr, TRUE, TRUE, TRUE);
            return IoCallDriver(lower, irp);
        };
        PIRP irp = NewIrp();
        IoCallDriver(m_device, irp);
        m_lower.CompleteNext(STATUS_SUCCESS);
        return irp;
    };
    const auto cancelWith = [this](PDRIVER_CANCEL routine) {
        m_probe.behaviour = [routine](PIRP irp, PDEVICE_OBJECT) {
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, routine);
            return STATUS_PENDING;
        };
        PIRP irp = NewIrp();
        IoCallDriver(m_device, irp);
        IoCancelIrp(irp);
        return irp;
    };
    std::vector<PIRP> sent;
    const Case cases[] = {
        {"dispatch raises",
         [&] {
             m_probe.behaviour = [](PIRP irp, PDEVICE_OBJECT) {
                 KIRQL old;
                 KeRaiseIrql(DISPATCH_LEVEL, &old);
                 return Complete(irp, STATUS_SUCCESS);
             };
             PIRP irp = NewIrp();
             IoCallDriver(m_device, irp);
             sent.push_back(irp);
         },
         "IRP_DISPATCH_IRQL", 0xFF},
        {"dispatch keeps a spin lock",
         [&] {
             m_probe.behaviour = [](PIRP irp, PDEVICE_OBJECT) {
                 KIRQL old;
                 KeAcquireSpinLock(&g_probeLock, &old);
                 return Complete(irp, STATUS_SUCCESS);
             };
             PIRP irp = NewIrp();
             IoCallDriver(m_device, irp);
             sent.push_back(irp);
         },
         "IRP_DISPATCH_SPINLOCK", PASSIVE_LEVEL},
        {"completion routine lowers", [&] { sent.push_back(forwardWith(CompletionLowersIrql)); },
         "IRP_COMPLETION_IRQL", 0xFF},
        {"completion routine keeps a spin lock", [&] { sent.push_back(forwardWith(CompletionKeepsLock)); },
         "IRP_COMPLETION_SPINLOCK", PASSIVE_LEVEL},
        {"cancel routine keeps the cancel spin lock", [&] { sent.push_back(cancelWith(CancelKeepsCancelLock)); },
         "IRP_CANCEL_SPINLOCK", 0xFF},
        {"cancel routine stays at DISPATCH_LEVEL", [&] { sent.push_back(cancelWith(CancelStaysRaised)); },
         "IRP_CANCEL_IRQL", 0xFF},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.run();
        if (c.releaseTo != 0xFF) {
            KeReleaseSpinLock(&g_probeLock, c.releaseTo);
        }
        if (c.rule == "IRP_CANCEL_SPINLOCK") {
            IoReleaseCancelSpinLock(PASSIVE_LEVEL);
        }
        EXPECT_EQ(TakeRules(), std::vector<std::string>{c.rule});
        // The caller goes on at the IRQL it called at.
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    }
    for (PIRP irp : sent) {
        IoFreeIrp(irp);
    }
    // A cancel routine that releases the cancel spin lock first, as the lower device's does.
    m_probe.behaviour = [](PIRP irp, PDEVICE_OBJECT lower) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(lower, irp);
    };
    PIRP irp = NewIrp();
    IoCallDriver(m_device, irp);
    EXPECT_TRUE(IoCancelIrp(irp));
    EXPECT_EQ(m_lower.CancelledCount(), 1);
    EXPECT_TRUE(TakeRules().empty());
    IoFreeIrp(irp);
}

NTSTATUS FreeAndHandOn(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    IoFreeIrp(irp);
    return STATUS_SUCCESS;
}

NTSTATUS MarkWithoutLocation(PDEVICE_OBJECT, PIRP irp, PVOID)
{
    IoMarkIrpPending(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(IrpVerifierTest, CompletedTwiceAndUsedAfterFreeAreNamedNotRead)
{
    m_probe.behaviour = [](PIRP irp, PDEVICE_OBJECT lower) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(lower, irp);
    };

    // Completed again after it went back to its sender.
    PIRP irp = NewIrp();
    IoCallDriver(m_device, irp);
    ASSERT_TRUE(m_lower.CompleteNext(STATUS_SUCCESS));
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(TakeRules(), std::vector<std::string>{"IRP_COMPLETED_TWICE"});

    // Used after IoFreeIrp, in every way the I/O manager offers.
    IoFreeIrp(irp);
    EXPECT_EQ(IoCallDriver(m_device, irp), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(IoCancelIrp(irp));
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    IoFreeIrp(irp);
    EXPECT_EQ(TakeRules(), (std::vector<std::string>{"IRP_USED_AFTER_FREE", "IRP_USED_AFTER_FREE",
                                                       "IRP_USED_AFTER_FREE", "IRP_FREED_TWICE"}));

    // A built request is freed by its completion: completing it again is named as what it is.
    m_lower.SetMode(LowerDevice::Mode::CompleteAtOnce, STATUS_SUCCESS);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    irp = IoBuildDeviceIoControlRequest(0x220003, m_device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(m_device, irp), STATUS_SUCCESS);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(TakeRules(), std::vector<std::string>{"IRP_COMPLETED_TWICE"});

    // A completion routine that frees the IRP yet hands it on.
    irp = IoAllocateIrp(m_device->StackSize, FALSE);
    platform::IoPrepareNextStackLocation(irp, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0);
    IoSetCompletionRoutine(irp, FreeAndHandOn, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(m_device, irp);
    EXPECT_EQ(TakeRules(), std::vector<std::string>{"IRP_USED_AFTER_FREE"});

    // The sender's own routine has no location to mark.
    irp = IoAllocateIrp(m_device->StackSize, FALSE);
    platform::IoPrepareNextStackLocation(irp, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0);
    IoSetCompletionRoutine(irp, MarkWithoutLocation, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(m_device, irp);
    EXPECT_EQ(TakeRules(), std::vector<std::string>{"IRP_MARK_NO_LOCATION"});
    IoFreeIrp(irp);
}

}  // namespace
