// Internal to platform/nt: lifetime checks of kernel objects. Each initialiser writes a check word
// derived from the object's address and kind, so that a zeroed, poisoned or copied object is
// caught on first use; objects initialised inside a pool block are noted in the block, so that
// freeing the block while a timer in it is set, a DPC in it is queued or a thread waits on an
// object in it is reported at the owner; and the unload check finds what a driver left running.
#pragma once

#include <cstddef>

#include "platform/nt/Dispatcher.h"
#include "platform/nt/Dpc.h"
#include "platform/nt/Sync.h"

namespace platform {

enum class KernelObjectKind : UCHAR { Event, Mutex, Timer, Dpc };

// Called by an initialiser once the fields are set (the dispatcher lock may be held): writes the
// check word and notes the object in the pool block that contains it, if any.
void ObjectInitialised(void* object, KernelObjectKind kind);
// First use of an object: false, with "OBJECT_UNINITIALIZED" ("DPC_UNINITIALIZED" for a DPC), when
// its check word is not the one its initialiser wrote.
bool ObjectCheckInitialised(const void* object, KernelObjectKind kind, const char* operation);
// The same for an object handed to a wait; the kind comes from the header (threads pass).
bool ObjectCheckWaitable(const DISPATCHER_HEADER* header, const char* operation);
// A spin lock whose words hold no state a lock can have was never initialised (poisoned pool):
// "OBJECT_UNINITIALIZED", and the lock is reset so that the caller does not spin forever.
void ObjectCheckSpinLock(PKSPIN_LOCK lock, const char* operation);
// Before an initialiser overwrites an object (dispatcher lock held): re-initialising a set timer
// ("TIMER_REINITIALIZED") or a queued DPC ("DPC_REINITIALIZED") is a fault.
void ObjectCheckReinitialise(const void* object, KernelObjectKind kind);

}  // namespace platform

namespace platform::detail {

struct PoolObject {
    void* Address;
    KernelObjectKind Kind;
};

// Pool side: notes the object in the live block that contains it (nothing when none does).
void PoolNoteObject(void* object, KernelObjectKind kind);
// Free side, lock not held: reports the objects of a block being freed that are still in use and
// stops the machine from touching them (timers cancelled, DPCs removed). True when a thread still
// waits on one of them: the block's memory must then never be reused.
bool ObjectCheckFreedBlock(const PoolObject* objects, size_t count, const char* owner);

}  // namespace platform::detail
