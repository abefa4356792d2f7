// Linked lists of the kernel: LIST_ENTRY helpers with the link checks a kernel's fail-fast makes
// (a corrupt link is a "LIST_CORRUPTION" fault and the list is left as it was, never a crash),
// interlocked doubly linked lists under a caller's spin lock, and singly linked lists.
#pragma once

#include "platform/nt/NtTypes.h"
#include "platform/nt/Sync.h"

struct LIST_ENTRY {
    LIST_ENTRY* Flink;
    LIST_ENTRY* Blink;
};
using PLIST_ENTRY = LIST_ENTRY*;

namespace platform {

// True for a link that cannot point at an entry: null, the first page, misaligned, or a fill
// pattern of the pool (new, guard or freed bytes). Such a link is reported, not followed.
inline bool ListLinkImplausible(const void* p)
{
    const auto v = reinterpret_cast<uintptr_t>(p);
    const uintptr_t low = v & 0xFF;
    const bool fill = (low == 0xCD || low == 0xDD || low == 0xA7) && v == low * (~uintptr_t{0} / 0xFF);
    return v < 4096 || (v % alignof(void*)) != 0 || fill;
}

// Records "LIST_CORRUPTION" for `entry`; returns false so that a check reads `if (!ok) return`.
bool ListReportCorruption(const void* entry, const char* operation, const char* what);

}  // namespace platform

inline VOID InitializeListHead(PLIST_ENTRY ListHead)
{
    ListHead->Flink = ListHead;
    ListHead->Blink = ListHead;
}

inline BOOLEAN IsListEmpty(const LIST_ENTRY* ListHead) { return ListHead->Flink == ListHead ? TRUE : FALSE; }

// Both links of `entry` must lead back to it (the check before every unlink).
inline bool ListEntryLinksValid(const LIST_ENTRY* entry, const char* operation)
{
    const LIST_ENTRY* flink = entry->Flink;
    const LIST_ENTRY* blink = entry->Blink;
    if (platform::ListLinkImplausible(flink) || platform::ListLinkImplausible(blink)) {
        return platform::ListReportCorruption(entry, operation, "a link is not a pointer to an entry");
    }
    if (flink->Blink != entry) {
        return platform::ListReportCorruption(entry, operation, "Flink->Blink does not point back at the entry");
    }
    if (blink->Flink != entry) {
        return platform::ListReportCorruption(entry, operation, "Blink->Flink does not point back at the entry");
    }
    return true;
}

// TRUE when the list the entry was on is empty afterwards. A corrupt entry stays where it is.
inline BOOLEAN RemoveEntryList(PLIST_ENTRY Entry)
{
    if (!ListEntryLinksValid(Entry, "RemoveEntryList")) {
        return FALSE;
    }
    PLIST_ENTRY flink = Entry->Flink;
    PLIST_ENTRY blink = Entry->Blink;
    blink->Flink = flink;
    flink->Blink = blink;
    return flink == blink ? TRUE : FALSE;
}

// The first entry, or the head itself when the list is empty (or corrupt: nothing is unlinked).
inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY ListHead)
{
    PLIST_ENTRY entry = ListHead->Flink;
    if (entry == ListHead) {
        return ListHead;
    }
    if (!ListEntryLinksValid(ListHead, "RemoveHeadList") || !ListEntryLinksValid(entry, "RemoveHeadList")) {
        return ListHead;
    }
    RemoveEntryList(entry);
    return entry;
}

inline PLIST_ENTRY RemoveTailList(PLIST_ENTRY ListHead)
{
    PLIST_ENTRY entry = ListHead->Blink;
    if (entry == ListHead) {
        return ListHead;
    }
    if (!ListEntryLinksValid(ListHead, "RemoveTailList") || !ListEntryLinksValid(entry, "RemoveTailList")) {
        return ListHead;
    }
    RemoveEntryList(entry);
    return entry;
}

inline VOID InsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry)
{
    if (!ListEntryLinksValid(ListHead, "InsertHeadList")) {
        return;
    }
    PLIST_ENTRY first = ListHead->Flink;
    Entry->Flink = first;
    Entry->Blink = ListHead;
    first->Blink = Entry;
    ListHead->Flink = Entry;
}

inline VOID InsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY Entry)
{
    if (!ListEntryLinksValid(ListHead, "InsertTailList")) {
        return;
    }
    PLIST_ENTRY last = ListHead->Blink;
    Entry->Flink = ListHead;
    Entry->Blink = last;
    last->Flink = Entry;
    ListHead->Blink = Entry;
}

// Interlocked lists: the spin lock is taken at any IRQL (raised to DISPATCH_LEVEL when below).
// Insertions return the entry that was first (last) before, null when the list was empty.
PLIST_ENTRY ExInterlockedInsertHeadList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock);
PLIST_ENTRY ExInterlockedInsertTailList(PLIST_ENTRY ListHead, PLIST_ENTRY ListEntry, PKSPIN_LOCK Lock);
// Null when the list is empty.
PLIST_ENTRY ExInterlockedRemoveHeadList(PLIST_ENTRY ListHead, PKSPIN_LOCK Lock);

// Singly linked lists. The header carries the depth and its own lock word, so pushes and pops are
// safe from any thread and IRQL without a caller's lock; entries are 16-byte aligned.
struct alignas(16) SLIST_ENTRY {
    SLIST_ENTRY* Next;
};
using PSLIST_ENTRY = SLIST_ENTRY*;

struct alignas(16) SLIST_HEADER {
    PSLIST_ENTRY First;
    USHORT Depth;
    USHORT Sequence;  // changes on every push and pop
    ULONG Lock;
};
using PSLIST_HEADER = SLIST_HEADER*;

VOID InitializeSListHead(PSLIST_HEADER SListHead);
// Both return the entry that was first before (null when the list was empty).
PSLIST_ENTRY InterlockedPushEntrySList(PSLIST_HEADER ListHead, PSLIST_ENTRY ListEntry);
PSLIST_ENTRY ExInterlockedPushEntrySList(PSLIST_HEADER ListHead, PSLIST_ENTRY ListEntry, PKSPIN_LOCK Lock);
// Null when the list is empty (or its first entry's link is corrupt: "SLIST_CORRUPTION").
PSLIST_ENTRY InterlockedPopEntrySList(PSLIST_HEADER ListHead);
PSLIST_ENTRY ExInterlockedPopEntrySList(PSLIST_HEADER ListHead, PKSPIN_LOCK Lock);
// Takes the whole chain off the list; null when it was empty.
PSLIST_ENTRY InterlockedFlushSList(PSLIST_HEADER ListHead);
USHORT ExQueryDepthSList(PSLIST_HEADER SListHead);
