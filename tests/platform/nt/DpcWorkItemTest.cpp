#include <gtest/gtest.h>

#include <thread>

#include "platform/nt/Clock.h"
#include "platform/nt/Dispatcher.h"
#include "platform/nt/Dpc.h"
#include "platform/nt/Irql.h"
#include "platform/nt/Ob.h"
#include "platform/nt/Pool.h"
#include "platform/nt/Thread.h"
#include "platform/nt/Verifier.h"
#include "platform/nt/WorkItem.h"
#include "platform/nt/PoolHost.h"

namespace {

using namespace std::chrono_literals;

// A stand-in device object: work items only need a registered pointer.
struct DummyDevice {
    int Unused;
};

struct Chain {
    PDEVICE_OBJECT Device;
    PIO_WORKITEM Item;
    KIRQL DpcIrql = 0xFF;
    KIRQL WorkIrql = 0xFF;
    PKTHREAD DpcThread = nullptr;
    PKTHREAD WorkThread = nullptr;
    LONG DeviceReferencesDuringWork = 0;
    KEVENT Done{};
};

VOID ChainWork(PDEVICE_OBJECT device, PVOID context)
{
    auto* chain = static_cast<Chain*>(context);
    chain->WorkIrql = KeGetCurrentIrql();
    chain->WorkThread = KeGetCurrentThread();
    chain->DeviceReferencesDuringWork = platform::ObReferenceCount(device);
    IoFreeWorkItem(chain->Item);  // the routine may free its own item
    KeSetEvent(&chain->Done, IO_NO_INCREMENT, FALSE);
}

VOID ChainDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    auto* chain = static_cast<Chain*>(context);
    chain->DpcIrql = KeGetCurrentIrql();
    chain->DpcThread = KeGetCurrentThread();
    IoQueueWorkItem(chain->Item, ChainWork, DelayedWorkQueue, chain);
}

TEST(DpcWorkItem, DpcQueuesAWorkItemThatRunsAtPassiveLevel)
{
    DummyDevice dummy{};
    auto* device = reinterpret_cast<PDEVICE_OBJECT>(&dummy);
    platform::ObRegister(device, "Device", nullptr);
    Chain chain{device, IoAllocateWorkItem(device)};
    ASSERT_NE(chain.Item, nullptr);
    KeInitializeEvent(&chain.Done, NotificationEvent, FALSE);
    KDPC dpc;
    KeInitializeDpc(&dpc, ChainDpc, &chain);
    EXPECT_TRUE(KeInsertQueueDpc(&dpc, nullptr, nullptr));
    EXPECT_EQ(KeWaitForSingleObject(&chain.Done, Executive, KernelMode, FALSE, nullptr), STATUS_WAIT_0);
    EXPECT_EQ(chain.DpcIrql, DISPATCH_LEVEL);
    EXPECT_EQ(chain.WorkIrql, PASSIVE_LEVEL);
    EXPECT_NE(chain.DpcThread, KeGetCurrentThread());
    EXPECT_NE(chain.WorkThread, KeGetCurrentThread());
    EXPECT_NE(chain.WorkThread, chain.DpcThread);
    EXPECT_EQ(chain.DeviceReferencesDuringWork, 2);
    EXPECT_TRUE(platform::RunUntil([&] { return platform::ObReferenceCount(device) == 1; }, 10ms));
    ObDereferenceObject(device);
}

TEST(DpcWorkItem, QueuedDpcIsInsertedOnceAndCanBeRemoved)
{
    // DPC threads are real threads: a first DPC holds processor 0's until the test has looked at
    // the queue; both DPCs are targeted there (another processor would run the second at once).
    static KEVENT release;
    static LONG runs;
    runs = 0;
    KeInitializeEvent(&release, NotificationEvent, FALSE);
    KDPC blocker;
    KeInitializeDpc(
        &blocker,
        [](PKDPC, PVOID, PVOID, PVOID) {
            LARGE_INTEGER zero{};
            while (KeWaitForSingleObject(&release, Executive, KernelMode, FALSE, &zero) != STATUS_WAIT_0) {
                std::this_thread::yield();
            }
        },
        nullptr);
    KDPC counted;
    KeInitializeDpc(
        &counted, [](PKDPC, PVOID, PVOID arg1, PVOID) { runs += static_cast<LONG>(reinterpret_cast<intptr_t>(arg1)); },
        nullptr);
    KeSetTargetProcessorDpc(&blocker, 0);
    KeSetTargetProcessorDpc(&counted, 0);
    EXPECT_TRUE(KeInsertQueueDpc(&blocker, nullptr, nullptr));
    EXPECT_TRUE(KeInsertQueueDpc(&counted, reinterpret_cast<PVOID>(1), nullptr));
    EXPECT_FALSE(KeInsertQueueDpc(&counted, reinterpret_cast<PVOID>(100), nullptr));
    EXPECT_TRUE(KeRemoveQueueDpc(&counted));
    EXPECT_FALSE(KeRemoveQueueDpc(&counted));
    EXPECT_TRUE(KeInsertQueueDpc(&counted, reinterpret_cast<PVOID>(10), nullptr));
    KeSetEvent(&release, IO_NO_INCREMENT, FALSE);
    KeFlushQueuedDpcs();
    EXPECT_EQ(runs, 10);
    EXPECT_EQ(platform::DpcQueueLength(), 0u);
}

TEST(DpcWorkItem, WorkItemAllocationCanFail)
{
    int dummy = 0;
    platform::PoolFailNextWithTag(platform::WORK_ITEM_POOL_TAG);
    EXPECT_EQ(IoAllocateWorkItem(reinterpret_cast<PDEVICE_OBJECT>(&dummy)), nullptr);
}

TEST(DpcWorkItem, DpcReturningAtTheWrongIrqlIsCaught)
{
    KDPC dpc;
    KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { KeLowerIrql(PASSIVE_LEVEL); }, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    KeFlushQueuedDpcs();
    auto faults = platform::VerifierTakeFaults();
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_EQ(faults[0].Rule, "DPC_IRQL");
}

}  // namespace
