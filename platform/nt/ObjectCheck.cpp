#include "platform/nt/ObjectCheck.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/nt/Scheduler.h"
#include "platform/nt/UnloadCheck.h"
#include "platform/nt/Verifier.h"

using namespace platform::detail;

namespace {

const char* KindName(platform::KernelObjectKind kind)
{
    switch (kind) {
    case platform::KernelObjectKind::Event:
        return "event";
    case platform::KernelObjectKind::Mutex:
        return "mutex";
    case platform::KernelObjectKind::Timer:
        return "timer";
    case platform::KernelObjectKind::Dpc:
        return "DPC";
    }
    return "object";
}

// The check word depends on the address as well as the kind: a copied object, or one used as
// another kind than it was initialised as, fails the check like a zeroed or poisoned one.
ULONG Stamp(const void* object, platform::KernelObjectKind kind)
{
    const auto a = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(object));
    return static_cast<ULONG>(0x6B4F626Au ^ a ^ (a >> 32)) ^ ((static_cast<ULONG>(kind) + 1) * 0x9E3779B9u);
}

ULONG* CheckWord(void* object, platform::KernelObjectKind kind)
{
    if (kind == platform::KernelObjectKind::Dpc) {
        return &static_cast<KDPC*>(object)->Check;
    }
    return &static_cast<DISPATCHER_HEADER*>(object)->Check;
}

bool Stamped(const void* object, platform::KernelObjectKind kind)
{
    return *CheckWord(const_cast<void*>(object), kind) == Stamp(object, kind);
}

bool TimerSet(const void* object)
{
    return Stamped(object, platform::KernelObjectKind::Timer) &&
           static_cast<const KTIMER*>(object)->Header.Inserted != 0;
}

bool DpcQueued(const void* object)
{
    return Stamped(object, platform::KernelObjectKind::Dpc) && static_cast<const KDPC*>(object)->DpcData != nullptr;
}

// A known thread blocked on the object (lock held).
ThreadRecord* WaiterOnLocked(const void* object)
{
    for (ThreadRecord* t : Sched().Waiters) {
        for (DISPATCHER_HEADER* h : t->WaitObjects) {
            if (h == object) {
                return t;
            }
        }
    }
    return nullptr;
}

}  // namespace

namespace platform {

void ObjectInitialised(void* object, KernelObjectKind kind)
{
    *CheckWord(object, kind) = Stamp(object, kind);
    PoolNoteObject(object, kind);
}

bool ObjectCheckInitialised(const void* object, KernelObjectKind kind, const char* operation)
{
    if (object != nullptr && Stamped(object, kind)) {
        return true;
    }
    VerifierFault(kind == KernelObjectKind::Dpc ? "DPC_UNINITIALIZED" : "OBJECT_UNINITIALIZED",
                  "%s on %s %p, which was never initialised (or was copied or overwritten)", operation,
                  KindName(kind), object);
    return false;
}

bool ObjectCheckWaitable(const DISPATCHER_HEADER* header, const char* operation)
{
    switch (header->Type) {
    case EventNotificationObject:
    case EventSynchronizationObject:
        return ObjectCheckInitialised(header, KernelObjectKind::Event, operation);
    case MutantObject:
        return ObjectCheckInitialised(header, KernelObjectKind::Mutex, operation);
    case TimerNotificationObject:
    case TimerSynchronizationObject:
        return ObjectCheckInitialised(header, KernelObjectKind::Timer, operation);
    default:
        return true;  // threads are made by the machine; other types fail the wait's own check
    }
}

void ObjectCheckSpinLock(PKSPIN_LOCK lock, const char* operation)
{
    // The lock word is 0 or 1; a held lock's owner field is a thread's tag, never a fill pattern.
    const ULONG_PTR value = __atomic_load_n(&lock->Value, __ATOMIC_RELAXED);
    if (value <= 1) {
        return;
    }
    VerifierFault("OBJECT_UNINITIALIZED", "%s on spin lock %p, which was never initialised (lock word %#llx)",
                  operation, static_cast<void*>(lock), static_cast<unsigned long long>(value));
    ULONG_PTR expected = value;
    if (__atomic_compare_exchange_n(&lock->Value, &expected, 0, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
        __atomic_store_n(&lock->Owner, 0, __ATOMIC_RELAXED);
    }
}

void ObjectCheckReinitialise(const void* object, KernelObjectKind kind)
{
    if (kind == KernelObjectKind::Timer && TimerSet(object)) {
        VerifierFault("TIMER_REINITIALIZED", "timer %p initialised again while it is set", object);
    } else if (kind == KernelObjectKind::Dpc && DpcQueued(object)) {
        VerifierFault("DPC_REINITIALIZED", "DPC %p initialised again while it is queued", object);
    }
}

}  // namespace platform

namespace platform::detail {

bool ObjectCheckFreedBlock(const PoolObject* objects, size_t count, const char* owner)
{
    std::vector<PKTIMER> timers;
    std::vector<PKDPC> dpcs;
    bool waited = false;
    {
        Guard lock(Sched().Lock);
        for (size_t i = 0; i < count; ++i) {
            void* o = objects[i].Address;
            const KernelObjectKind kind = objects[i].Kind;
            if (!Stamped(o, kind)) {
                continue;  // the memory was put to another use since
            }
            if (kind == KernelObjectKind::Timer && TimerSet(o)) {
                VerifierFault("POOL_FREE_TIMER_SET", "pool block (%s) freed while timer %p in it is set", owner, o);
                timers.push_back(static_cast<PKTIMER>(o));
            }
            if (kind == KernelObjectKind::Dpc && DpcQueued(o)) {
                VerifierFault("POOL_FREE_DPC_QUEUED", "pool block (%s) freed while DPC %p in it is queued", owner, o);
                dpcs.push_back(static_cast<PKDPC>(o));
            }
            if (kind != KernelObjectKind::Dpc) {
                if (ThreadRecord* t = WaiterOnLocked(o)) {
                    VerifierFault("POOL_FREE_OBJECT_WAITED",
                                  "pool block (%s) freed while thread %llu '%s' waits on %s %p in it", owner,
                                  static_cast<unsigned long long>(t->Id), t->Name.c_str(), KindName(kind), o);
                    waited = true;
                }
            }
        }
    }
    // The machine must not touch the freed memory again: a timer firing or a DPC running from it
    // would hide the fault behind a later, stranger one.
    for (PKTIMER timer : timers) {
        KeCancelTimer(timer);
    }
    for (PKDPC dpc : dpcs) {
        KeRemoveQueueDpc(dpc);
    }
    return waited;
}

}  // namespace platform::detail

namespace platform {

void DriverUnloadCheck(const char* driverName)
{
    // The I/O manager's reference on the device defers an unload while a work item runs: a
    // worker whose routine is still running, or has just returned (say after setting the event
    // the driver waited for), is given up to two seconds of real time to get back to its idle
    // wait. One blocked in a wait is judged at once.
    const auto settleBy = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (;;) {
        {
            Guard lock(Sched().Lock);
            if (WorkItemsFinishingLocked() == 0) {
                break;
            }
        }
        if (std::chrono::steady_clock::now() >= settleBy) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    std::vector<PKTIMER> timers;
    std::vector<PKDPC> dpcs;
    {
        SchedulerState& s = Sched();
        Guard lock(s.Lock);
        for (const auto& [due, timer] : s.Timers) {
            VerifierFault("UNLOAD_TIMER_SET", "driver '%s' unloaded with timer %p still set (DPC %p)", driverName,
                          static_cast<void*>(timer), static_cast<void*>(timer->Dpc));
            timers.push_back(timer);
        }
        for (int i = 0; i < s.ProcessorsStarted; ++i) {
            for (KDPC* dpc : s.Processors[i].Queue) {
                VerifierFault("UNLOAD_DPC_QUEUED", "driver '%s' unloaded with DPC %p (routine %p) still queued",
                              driverName, static_cast<void*>(dpc), reinterpret_cast<void*>(dpc->DeferredRoutine));
                dpcs.push_back(dpc);
            }
        }
        const size_t items = WorkItemsBusyLocked();
        if (items != 0) {
            VerifierFault("UNLOAD_WORKITEM_PENDING", "driver '%s' unloaded with %zu work item(s) queued or running",
                          driverName, items);
        }
    }
    // Nothing of the unloaded driver may run afterwards.
    for (PKTIMER timer : timers) {
        KeCancelTimer(timer);
    }
    for (PKDPC dpc : dpcs) {
        KeRemoveQueueDpc(dpc);
    }
}

}  // namespace platform
