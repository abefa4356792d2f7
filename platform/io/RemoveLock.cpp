// Remove locks, with the verifier's tracking of who holds them: every acquisition is counted under
// its tag, so that a release of a tag never acquired, an acquisition after removal and the
// acquisitions a removal waits for can be named.
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/io/IoInternal.h"
#include "platform/nt/Clock.h"
#include "platform/nt/Irql.h"
#include "platform/nt/Sync.h"
#include "platform/nt/Verifier.h"

namespace {

constexpr ULONG REMOVE_LOCK_SIGNATURE = MakePoolTag("RmLk");
// A removal waits this long for the others' releases before it names them (when the lock sets
// no time of its own).
constexpr ULONG DEFAULT_MAX_LOCKED_MINUTES = 1;

using TagCounts = std::map<PVOID, LONG>;

struct RemoveLockTable {
    std::mutex Lock;
    std::unordered_map<const IO_REMOVE_LOCK*, TagCounts> Tags;
};

RemoveLockTable& Table()
{
    static RemoveLockTable* table = new RemoveLockTable();  // never destroyed: threads may release at exit
    return *table;
}

std::string Describe(const TagCounts& tags)
{
    std::string text;
    for (const auto& [tag, count] : tags) {
        char item[48];
        std::snprintf(item, sizeof item, "%s%p x%d", text.empty() ? "" : ", ", tag, static_cast<int>(count));
        text += item;
    }
    return text.empty() ? "none" : text;
}

bool Initialized(PIO_REMOVE_LOCK lock, const char* call)
{
    if (lock->Signature != REMOVE_LOCK_SIGNATURE) {
        platform::VerifierFault("REMOVE_LOCK_NOT_INITIALIZED", "%s on remove lock %p, never initialised", call,
                                static_cast<void*>(lock));
        return false;
    }
    return true;
}

void DropOne(PIO_REMOVE_LOCK lock)
{
    if (InterlockedDecrement(&lock->IoCount) == 0) {
        KeSetEvent(&lock->RemoveEvent, IO_NO_INCREMENT, FALSE);
    }
}

// Takes one acquisition of `tag` off the books; false (with the fault) when there is none.
bool ForgetTag(PIO_REMOVE_LOCK lock, PVOID tag, const char* call)
{
    RemoveLockTable& t = Table();
    std::lock_guard<std::mutex> guard(t.Lock);
    TagCounts& tags = t.Tags[lock];
    auto it = tags.find(tag);
    if (it == tags.end()) {
        platform::VerifierFault("REMOVE_LOCK_RELEASE_UNKNOWN_TAG",
                                "%s on remove lock %p with tag %p, which holds no acquisition; outstanding: %s", call,
                                static_cast<void*>(lock), tag, Describe(tags).c_str());
        return false;
    }
    if (--it->second == 0) {
        tags.erase(it);
    }
    return true;
}

}  // namespace

VOID IoInitializeRemoveLock(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes, ULONG HighWatermark)
{
    platform::IrqlCheckAtMost(PASSIVE_LEVEL, "IoInitializeRemoveLock");
    Lock->Removed = FALSE;
    Lock->WaitReturned = FALSE;
    Lock->IoCount = 1;
    KeInitializeEvent(&Lock->RemoveEvent, NotificationEvent, FALSE);
    Lock->AllocateTag = AllocateTag;
    Lock->MaxLockedMinutes = MaxLockedMinutes;
    Lock->HighWatermark = HighWatermark;
    Lock->Signature = REMOVE_LOCK_SIGNATURE;
    RemoveLockTable& t = Table();
    std::lock_guard<std::mutex> guard(t.Lock);
    t.Tags[Lock].clear();
}

NTSTATUS IoAcquireRemoveLock(PIO_REMOVE_LOCK RemoveLock, PVOID Tag)
{
    platform::IrqlCheckAtMost(DISPATCH_LEVEL, "IoAcquireRemoveLock");
    if (!Initialized(RemoveLock, "IoAcquireRemoveLock")) {
        return STATUS_DELETE_PENDING;
    }
    const LONG count = InterlockedIncrement(&RemoveLock->IoCount);
    if (RemoveLock->Removed) {
        // Refusing while removal waits is what the lock is for; once it has returned, the driver
        // thinks the device gone and still asks.
        if (RemoveLock->WaitReturned) {
            platform::VerifierFault("REMOVE_LOCK_ACQUIRE_AFTER_REMOVE",
                                    "IoAcquireRemoveLock on remove lock %p with tag %p after "
                                    "IoReleaseRemoveLockAndWait returned",
                                    static_cast<void*>(RemoveLock), Tag);
        }
        DropOne(RemoveLock);
        return STATUS_DELETE_PENDING;
    }
    RemoveLockTable& t = Table();
    std::lock_guard<std::mutex> guard(t.Lock);
    TagCounts& tags = t.Tags[RemoveLock];
    tags[Tag]++;
    if (RemoveLock->HighWatermark != 0 && static_cast<ULONG>(count - 1) > RemoveLock->HighWatermark) {
        platform::VerifierFault("REMOVE_LOCK_HIGH_WATERMARK",
                                "remove lock %p holds %d acquisitions, more than its high watermark %u; "
                                "outstanding: %s",
                                static_cast<void*>(RemoveLock), static_cast<int>(count - 1),
                                static_cast<unsigned>(RemoveLock->HighWatermark), Describe(tags).c_str());
    }
    return STATUS_SUCCESS;
}

VOID IoReleaseRemoveLock(PIO_REMOVE_LOCK RemoveLock, PVOID Tag)
{
    platform::IrqlCheckAtMost(DISPATCH_LEVEL, "IoReleaseRemoveLock");
    if (!Initialized(RemoveLock, "IoReleaseRemoveLock") || !ForgetTag(RemoveLock, Tag, "IoReleaseRemoveLock")) {
        return;  // the count stays right for the acquisitions that are real
    }
    DropOne(RemoveLock);
}

VOID IoReleaseRemoveLockAndWait(PIO_REMOVE_LOCK RemoveLock, PVOID Tag)
{
    platform::IrqlCheckAtMost(PASSIVE_LEVEL, "IoReleaseRemoveLockAndWait");
    if (!Initialized(RemoveLock, "IoReleaseRemoveLockAndWait")) {
        return;
    }
    if (RemoveLock->Removed) {
        platform::VerifierFault("REMOVE_LOCK_WAIT_TWICE", "IoReleaseRemoveLockAndWait on remove lock %p again",
                                static_cast<void*>(RemoveLock));
        return;
    }
    RemoveLock->Removed = TRUE;
    if (ForgetTag(RemoveLock, Tag, "IoReleaseRemoveLockAndWait")) {
        DropOne(RemoveLock);
    }
    DropOne(RemoveLock);  // the count's own one: it reaches zero with the last release
    const ULONG minutes =
        RemoveLock->MaxLockedMinutes != 0 ? RemoveLock->MaxLockedMinutes : DEFAULT_MAX_LOCKED_MINUTES;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(minutes) * 60 * 1000 * platform::TICKS_PER_MS;
    if (KeWaitForSingleObject(&RemoveLock->RemoveEvent, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
        {
            RemoveLockTable& t = Table();
            std::lock_guard<std::mutex> guard(t.Lock);
            platform::VerifierFault("REMOVE_LOCK_WAIT_TIMEOUT",
                                    "IoReleaseRemoveLockAndWait on remove lock %p still waits after %u minute(s); "
                                    "outstanding: %s",
                                    static_cast<void*>(RemoveLock), static_cast<unsigned>(minutes),
                                    Describe(t.Tags[RemoveLock]).c_str());
        }
        // Returning now would let the driver free what the holders still use.
        KeWaitForSingleObject(&RemoveLock->RemoveEvent, Executive, KernelMode, FALSE, nullptr);
    }
    RemoveLock->WaitReturned = TRUE;
}
