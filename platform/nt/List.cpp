#include "platform/nt/List.h"

#include <thread>

#include "platform/nt/Irql.h"
#include "platform/nt/Verifier.h"

namespace {

// The caller's spin lock at any IRQL: raised to DISPATCH_LEVEL only when below it.
class ListLock {
public:
    explicit ListLock(PKSPIN_LOCK lock) : m_lock(lock), m_old(KeGetCurrentIrql())
    {
        if (m_old < DISPATCH_LEVEL) {
            KIRQL ignored;
            KeRaiseIrql(DISPATCH_LEVEL, &ignored);
        }
        KeAcquireSpinLockAtDpcLevel(m_lock);
    }
    ~ListLock()
    {
        KeReleaseSpinLockFromDpcLevel(m_lock);
        if (m_old < DISPATCH_LEVEL) {
            KeLowerIrql(m_old);
        }
    }
    ListLock(const ListLock&) = delete;
    ListLock& operator=(const ListLock&) = delete;

private:
    PKSPIN_LOCK m_lock;
    KIRQL m_old;
};

// The header's own lock word: held only for a few loads and stores.
class SListGuard {
public:
    explicit SListGuard(PSLIST_HEADER head) : m_head(head)
    {
        while (__atomic_exchange_n(&m_head->Lock, 1u, __ATOMIC_ACQUIRE) != 0) {
            while (__atomic_load_n(&m_head->Lock, __ATOMIC_RELAXED) != 0) {
                std::this_thread::yield();
            }
        }
    }
    ~SListGuard() { __atomic_store_n(&m_head->Lock, 0u, __ATOMIC_RELEASE); }
    SListGuard(const SListGuard&) = delete;
    SListGuard& operator=(const SListGuard&) = delete;

private:
    PSLIST_HEADER m_head;
};

}  // namespace

namespace platform {

bool ListReportCorruption(const void* entry, const char* operation, const char* what)
{
    VerifierFault("LIST_CORRUPTION", "%s: entry %p is corrupt (%s); the list is left as it was", operation, entry,
                  what);
    return false;
}

}  // namespace platform

PLIST_ENTRY ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock)
{
    ListLock guard(Lock);
    PLIST_ENTRY first = ListHead->Flink;
    InsertHeadList(ListHead, ListEntry);
    return first == ListHead ? nullptr : first;
}

PLIST_ENTRY ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock)
{
    ListLock guard(Lock);
    PLIST_ENTRY last = ListHead->Blink;
    InsertTailList(ListHead, ListEntry);
    return last == ListHead ? nullptr : last;
}

PLIST_ENTRY ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock)
{
    ListLock guard(Lock);
    PLIST_ENTRY entry = RemoveHeadList(ListHead);
    return entry == ListHead ? nullptr : entry;
}

VOID InitializeSListHead(PSLIST_HEADER SListHead)
{
    SListHead->First = nullptr;
    SListHead->Depth = 0;
    SListHead->Sequence = 0;
    __atomic_store_n(&SListHead->Lock, 0u, __ATOMIC_RELEASE);
}

PSLIST_ENTRY InterlockedPushEntrySList(PSLIST_HEADER ListHead, PSLIST_ENTRY ListEntry)
{
    SListGuard guard(ListHead);
    PSLIST_ENTRY first = ListHead->First;
    ListEntry->Next = first;
    ListHead->First = ListEntry;
    ++ListHead->Depth;
    ++ListHead->Sequence;
    return first;
}

PSLIST_ENTRY ExInterlockedPushEntrySList(PSLIST_HEADER ListHead, PSLIST_ENTRY ListEntry, PKSPIN_LOCK Lock)
{
    UNREFERENCED_PARAMETER(Lock);
    return InterlockedPushEntrySList(ListHead, ListEntry);
}

PSLIST_ENTRY InterlockedPopEntrySList(PSLIST_HEADER ListHead)
{
    SListGuard guard(ListHead);
    PSLIST_ENTRY first = ListHead->First;
    if (first == nullptr) {
        return nullptr;
    }
    if (platform::ListLinkImplausible(first) ||
        (first->Next != nullptr && platform::ListLinkImplausible(first->Next))) {
        platform::VerifierFault("SLIST_CORRUPTION", "InterlockedPopEntrySList: entry %p has a corrupt link",
                                static_cast<void*>(first));
        return nullptr;
    }
    ListHead->First = first->Next;
    --ListHead->Depth;
    ++ListHead->Sequence;
    return first;
}

PSLIST_ENTRY ExInterlockedPopEntrySList(PSLIST_HEADER ListHead, PKSPIN_LOCK Lock)
{
    UNREFERENCED_PARAMETER(Lock);
    return InterlockedPopEntrySList(ListHead);
}

PSLIST_ENTRY InterlockedFlushSList(PSLIST_HEADER ListHead)
{
    SListGuard guard(ListHead);
    PSLIST_ENTRY first = ListHead->First;
    ListHead->First = nullptr;
    ListHead->Depth = 0;
    ++ListHead->Sequence;
    return first;
}

USHORT ExQueryDepthSList(PSLIST_HEADER SListHead)
{
    SListGuard guard(SListHead);
    return SListHead->Depth;
}
