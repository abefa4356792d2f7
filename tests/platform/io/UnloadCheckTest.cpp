#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/io/DriverUnload.h"
#include "platform/io/Io.h"
#include "platform/nt/Clock.h"
#include "platform/nt/Kernel.h"
#include "platform/nt/Verifier.h"
#include "platform/io/IoHost.h"

namespace {

using namespace std::chrono_literals;

// The probe driver keeps its state in its device extension, as a real one does.
struct ProbeState {
    KTIMER Timer;
    KDPC Dpc;
    LONG DpcRuns;
    PIO_WORKITEM Item;
    KEVENT Release;   // lets the work item (and the busy DPC) finish
    KEVENT WorkDone;
};

PDEVICE_OBJECT g_device;
bool g_stopEverything;

ProbeState* State() { return static_cast<ProbeState*>(g_device->DeviceExtension); }

VOID ProbeDpc(PKDPC, PVOID, PVOID, PVOID) { InterlockedIncrement(&State()->DpcRuns); }

VOID ProbeWork(PDEVICE_OBJECT, PVOID)
{
    KeWaitForSingleObject(&State()->Release, Executive, KernelMode, FALSE, nullptr);
    KeSetEvent(&State()->WorkDone, IO_NO_INCREMENT, FALSE);
}

// Keeps the DPC processor busy, so that a DPC queued meanwhile stays queued.
VOID BusyDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    LARGE_INTEGER zero{};
    while (KeWaitForSingleObject(&State()->Release, Executive, KernelMode, FALSE, &zero) != STATUS_WAIT_0) {
        std::this_thread::yield();
    }
}

VOID ProbeUnload(PDRIVER_OBJECT)
{
    ProbeState* s = State();
    LARGE_INTEGER due;
    due.QuadPart = -10 * 10000;
    KeSetTimer(&s->Timer, due, nullptr);
    KeInsertQueueDpc(&s->Dpc, nullptr, nullptr);
    IoQueueWorkItem(s->Item, ProbeWork, DelayedWorkQueue, nullptr);
    if (g_stopEverything) {
        KeCancelTimer(&s->Timer);
        KeSetEvent(&s->Release, IO_NO_INCREMENT, FALSE);
        KeFlushQueuedDpcs();
        KeWaitForSingleObject(&s->WorkDone, Executive, KernelMode, FALSE, nullptr);
    }
}

class UnloadCheckTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::IoReset();
        m_driver = platform::IoCreateDriverObject(u"\\Driver\\Probe");
        ASSERT_NE(m_driver, nullptr);
        m_driver->DriverUnload = ProbeUnload;
        ASSERT_EQ(IoCreateDevice(m_driver, sizeof(ProbeState), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_device),
                  STATUS_SUCCESS);
        ProbeState* s = State();
        KeInitializeTimer(&s->Timer);
        KeInitializeDpc(&s->Dpc, ProbeDpc, nullptr);
        KeSetTargetProcessorDpc(&s->Dpc, 0);
        s->Item = IoAllocateWorkItem(g_device);
        KeInitializeEvent(&s->Release, NotificationEvent, FALSE);
        KeInitializeEvent(&s->WorkDone, NotificationEvent, FALSE);
        // The DPC processor is busy while the driver unloads.
        KEVENT busy;
        KeInitializeEvent(&busy, NotificationEvent, FALSE);
        KeInitializeDpc(&m_busy, BusyDpc, &busy);
        KeSetTargetProcessorDpc(&m_busy, 0);
        KeInsertQueueDpc(&m_busy, nullptr, nullptr);
        KeWaitForSingleObject(&busy, Executive, KernelMode, FALSE, nullptr);
    }
    void TearDown() override
    {
        ProbeState* s = State();
        KeSetEvent(&s->Release, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&s->WorkDone, Executive, KernelMode, FALSE, nullptr);
        KeFlushQueuedDpcs();
        EXPECT_TRUE(platform::RunUntil([] { return platform::ObReferenceCount(g_device) == 1; }, 10ms));
        IoFreeWorkItem(s->Item);
        IoDeleteDevice(g_device);
        platform::IoDeleteDriverObject(m_driver);
        platform::IoReset();
    }

    PDRIVER_OBJECT m_driver = nullptr;
    KDPC m_busy{};
};

TEST_F(UnloadCheckTest, ADriverThatStopsEverythingUnloadsCleanly)
{
    g_stopEverything = true;
    platform::IoUnloadDriver(m_driver);
    EXPECT_EQ(platform::VerifierFaultCount(), 0u);
    EXPECT_EQ(State()->DpcRuns, 1);
}

TEST_F(UnloadCheckTest, LeftoversAreFaultsOfTheUnloadedDriverAndNeverRunLater)
{
    g_stopEverything = false;
    platform::IoUnloadDriver(m_driver);
    std::string rules;
    for (const auto& f : platform::VerifierTakeFaults()) {
        rules += f.Rule + " ";
        EXPECT_NE(f.Detail.find("'\\Driver\\Probe'"), std::string::npos) << f.Detail;
    }
    EXPECT_EQ(rules, "UNLOAD_TIMER_SET UNLOAD_DPC_QUEUED UNLOAD_WORKITEM_PENDING ");
    // The timer was cancelled and the DPC removed: nothing of the driver runs after its unload.
    KeSetEvent(&State()->Release, IO_NO_INCREMENT, FALSE);
    KeFlushQueuedDpcs();
    platform::RunFor(50ms);
    EXPECT_EQ(State()->DpcRuns, 0);
    EXPECT_FALSE(KeReadStateTimer(&State()->Timer));
}

}  // namespace
