// Real time the machine needs per virtual second when a 1 ms periodic timer queues a DPC that
// wakes a system thread (the shape of a USB frame clock driving a worker), the round trip of an
// event ping-pong between two threads, and an uncontended spin lock acquire/release pair.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>

#include "platform/nt/Clock.h"
#include "platform/nt/Kernel.h"
#include "platform/nt/Machine.h"

namespace {

struct FrameChain {
    KTIMER Timer;
    KDPC Dpc;
    KEVENT Tick;
    KEVENT Stop;
    std::atomic<long> Ticks{0};
};

VOID FrameDpc(PKDPC, PVOID context, PVOID, PVOID)
{
    KeSetEvent(&static_cast<FrameChain*>(context)->Tick, IO_NO_INCREMENT, FALSE);
}

VOID FrameWorker(PVOID context)
{
    auto* chain = static_cast<FrameChain*>(context);
    PVOID objects[2] = {&chain->Tick, &chain->Stop};
    while (KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr) ==
           STATUS_WAIT_0) {
        ++chain->Ticks;
    }
}

PKTHREAD StartThread(PKSTART_ROUTINE routine, PVOID context)
{
    HANDLE handle = nullptr;
    PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, routine, context);
    PVOID thread = nullptr;
    ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr);
    ZwClose(handle);
    return static_cast<PKTHREAD>(thread);
}

void JoinThread(PKTHREAD thread)
{
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObDereferenceObject(thread);
}

void BM_VirtualSecondOfMillisecondFrames(benchmark::State& state)
{
    platform::MachineReset();
    FrameChain chain;
    KeInitializeTimerEx(&chain.Timer, SynchronizationTimer);
    KeInitializeDpc(&chain.Dpc, FrameDpc, &chain);
    KeInitializeEvent(&chain.Tick, SynchronizationEvent, FALSE);
    KeInitializeEvent(&chain.Stop, NotificationEvent, FALSE);
    PKTHREAD worker = StartThread(FrameWorker, &chain);
    LARGE_INTEGER due;
    due.QuadPart = -10000;
    KeSetTimerEx(&chain.Timer, due, 1, &chain.Dpc);
    for (auto _ : state) {
        platform::RunFor(std::chrono::seconds(1));
    }
    KeCancelTimer(&chain.Timer);
    KeSetEvent(&chain.Stop, IO_NO_INCREMENT, FALSE);
    JoinThread(worker);
    KeFlushQueuedDpcs();
    state.counters["frames"] = static_cast<double>(chain.Ticks.load());
}
BENCHMARK(BM_VirtualSecondOfMillisecondFrames)->Unit(benchmark::kMillisecond)->UseRealTime();

struct PingPong {
    KEVENT Ping;
    KEVENT Pong;
    std::atomic<bool> Stop{false};
};

VOID Ponger(PVOID context)
{
    auto* p = static_cast<PingPong*>(context);
    for (;;) {
        KeWaitForSingleObject(&p->Ping, Executive, KernelMode, FALSE, nullptr);
        if (p->Stop) {
            return;
        }
        KeSetEvent(&p->Pong, IO_NO_INCREMENT, FALSE);
    }
}

void BM_EventRoundTrip(benchmark::State& state)
{
    platform::MachineReset();
    PingPong p;
    KeInitializeEvent(&p.Ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&p.Pong, SynchronizationEvent, FALSE);
    PKTHREAD thread = StartThread(Ponger, &p);
    for (auto _ : state) {
        KeSetEvent(&p.Ping, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&p.Pong, Executive, KernelMode, FALSE, nullptr);
    }
    p.Stop = true;
    KeSetEvent(&p.Ping, IO_NO_INCREMENT, FALSE);
    JoinThread(thread);
}
BENCHMARK(BM_EventRoundTrip)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_SpinLockPair(benchmark::State& state)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    for (auto _ : state) {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        KeReleaseSpinLock(&lock, old);
    }
}
BENCHMARK(BM_SpinLockPair);

}  // namespace

BENCHMARK_MAIN();
