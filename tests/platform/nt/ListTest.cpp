#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "platform/nt/Kernel.h"
#include "platform/nt/Verifier.h"
#include "tests/platform/nt/SystemThreadHelper.h"
#include "platform/nt/PoolHost.h"

namespace {

struct Record {
    int Value;
    LIST_ENTRY Link;
};

// Values from head to tail, checking every back link on the way.
std::vector<int> Walk(const LIST_ENTRY* head)
{
    std::vector<int> values;
    for (const LIST_ENTRY* e = head->Flink; e != head; e = e->Flink) {
        EXPECT_EQ(e->Flink->Blink, e);
        values.push_back(CONTAINING_RECORD(const_cast<LIST_ENTRY*>(e), Record, Link)->Value);
    }
    return values;
}

TEST(List, DoublyLinkedHelpersKeepOrderAndReportEmptiness)
{
    LIST_ENTRY head;
    InitializeListHead(&head);
    EXPECT_TRUE(IsListEmpty(&head));
    EXPECT_EQ(RemoveHeadList(&head), &head);  // an empty list gives its head back
    EXPECT_EQ(RemoveTailList(&head), &head);
    Record r[4] = {{1, {}}, {2, {}}, {3, {}}, {4, {}}};
    InsertTailList(&head, &r[1].Link);
    InsertHeadList(&head, &r[0].Link);
    InsertTailList(&head, &r[2].Link);
    InsertTailList(&head, &r[3].Link);
    EXPECT_EQ(Walk(&head), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_FALSE(RemoveEntryList(&r[2].Link));
    EXPECT_EQ(CONTAINING_RECORD(RemoveHeadList(&head), Record, Link)->Value, 1);
    EXPECT_EQ(CONTAINING_RECORD(RemoveTailList(&head), Record, Link)->Value, 4);
    EXPECT_EQ(Walk(&head), (std::vector<int>{2}));
    EXPECT_TRUE(RemoveEntryList(&r[1].Link));
    EXPECT_TRUE(IsListEmpty(&head));
    EXPECT_EQ(platform::VerifierFaultCount(), 0u);
}

// Each corruption is reported and leaves every link as it was: nothing is followed or written.
TEST(List, CorruptLinksAreFaultsThatLeaveTheListAlone)
{
    struct Fixture {
        LIST_ENTRY Head;
        Record R[3];
        LIST_ENTRY Stray;
    };
    struct Case {
        const char* Name;
        std::function<void(Fixture&)> Corrupt;
        std::function<void(Fixture&)> Operate;
    };
    const auto poison = reinterpret_cast<LIST_ENTRY*>(~uintptr_t{0} / 0xFF * POOL_FREED_BYTE);
    const Case cases[] = {
        {"Flink->Blink of the removed entry", [](Fixture& f) { f.R[2].Link.Blink = &f.Stray; },
         [](Fixture& f) { RemoveEntryList(&f.R[1].Link); }},
        {"Blink->Flink of the removed entry", [](Fixture& f) { f.R[0].Link.Flink = &f.Stray; },
         [](Fixture& f) { RemoveEntryList(&f.R[1].Link); }},
        {"freed-pool link", [&](Fixture& f) { f.R[1].Link.Flink = poison; },
         [](Fixture& f) { RemoveEntryList(&f.R[1].Link); }},
        {"null link", [](Fixture& f) { f.R[1].Link.Blink = nullptr; },
         [](Fixture& f) { RemoveEntryList(&f.R[1].Link); }},
        {"head's first entry", [](Fixture& f) { f.R[0].Link.Blink = &f.Stray; },
         [](Fixture& f) { EXPECT_EQ(RemoveHeadList(&f.Head), &f.Head); }},
        {"head's last entry", [](Fixture& f) { f.R[2].Link.Flink = &f.Stray; },
         [](Fixture& f) { EXPECT_EQ(RemoveTailList(&f.Head), &f.Head); }},
        {"insert at head", [](Fixture& f) { f.R[0].Link.Blink = &f.Stray; },
         [](Fixture& f) { InsertHeadList(&f.Head, &f.Stray); }},
        {"insert at tail", [&](Fixture& f) { f.Head.Blink = poison; },
         [](Fixture& f) { InsertTailList(&f.Head, &f.Stray); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Fixture f{};
        InitializeListHead(&f.Head);
        InitializeListHead(&f.Stray);
        for (Record& r : f.R) {
            InsertTailList(&f.Head, &r.Link);
        }
        c.Corrupt(f);
        Fixture before;
        std::memcpy(&before, &f, sizeof(f));
        c.Operate(f);
        EXPECT_EQ(std::memcmp(&before, &f, sizeof(f)), 0);
        const auto faults = platform::VerifierTakeFaults();
        ASSERT_EQ(faults.size(), 1u);
        EXPECT_EQ(faults[0].Rule, "LIST_CORRUPTION");
    }
}

// The usual real-world case: an entry freed while still linked. Its neighbour's unlink sees the
// freed block's poison instead of a back link.
TEST(List, UnlinkNextToAFreedEntryIsCaught)
{
    platform::PoolOwnChecksOnly ownChecks;
    LIST_ENTRY head;
    InitializeListHead(&head);
    Record kept{1, {}};
    auto* freed = static_cast<Record*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Record), MakePoolTag("LstT")));
    InsertTailList(&head, &kept.Link);
    InsertTailList(&head, &freed->Link);
    ExFreePoolWithTag(freed, MakePoolTag("LstT"));
    EXPECT_FALSE(RemoveEntryList(&kept.Link));
    EXPECT_EQ(platform::VerifierFaultCount("LIST_CORRUPTION"), 1u);
    platform::VerifierTakeFaults();
    platform::PoolVerifyAll();  // nothing was written into the freed block
    EXPECT_EQ(platform::VerifierFaultCount(), 0u);
}

TEST(List, InterlockedListsReturnThePreviousEndsAndRestoreIrql)
{
    LIST_ENTRY head;
    KSPIN_LOCK lock;
    InitializeListHead(&head);
    KeInitializeSpinLock(&lock);
    Record r[3] = {{1, {}}, {2, {}}, {3, {}}};
    EXPECT_EQ(ExInterlockedInsertTailList(&head, &r[1].Link, &lock), nullptr);
    EXPECT_EQ(ExInterlockedInsertHeadList(&head, &r[0].Link, &lock), &r[1].Link);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(ExInterlockedInsertTailList(&head, &r[2].Link, &lock), &r[1].Link);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(old);
    EXPECT_EQ(Walk(&head), (std::vector<int>{1, 2, 3}));
    for (int expected : {1, 2, 3}) {
        PLIST_ENTRY e = ExInterlockedRemoveHeadList(&head, &lock);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(CONTAINING_RECORD(e, Record, Link)->Value, expected);
    }
    EXPECT_EQ(ExInterlockedRemoveHeadList(&head, &lock), nullptr);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_TRUE(KeTestSpinLock(&lock));
}

TEST(List, SinglyLinkedListIsLastInFirstOutWithItsDepth)
{
    SLIST_HEADER head;
    InitializeSListHead(&head);
    EXPECT_EQ(InterlockedPopEntrySList(&head), nullptr);
    EXPECT_EQ(InterlockedFlushSList(&head), nullptr);
    SLIST_ENTRY e[3];
    KSPIN_LOCK unused;
    KeInitializeSpinLock(&unused);
    EXPECT_EQ(InterlockedPushEntrySList(&head, &e[0]), nullptr);
    EXPECT_EQ(ExInterlockedPushEntrySList(&head, &e[1], &unused), &e[0]);
    EXPECT_EQ(InterlockedPushEntrySList(&head, &e[2]), &e[1]);
    EXPECT_EQ(ExQueryDepthSList(&head), 3);
    EXPECT_EQ(ExInterlockedPopEntrySList(&head, &unused), &e[2]);
    EXPECT_EQ(ExQueryDepthSList(&head), 2);
    PSLIST_ENTRY chain = InterlockedFlushSList(&head);
    EXPECT_EQ(chain, &e[1]);
    EXPECT_EQ(chain->Next, &e[0]);
    EXPECT_EQ(e[0].Next, nullptr);
    EXPECT_EQ(ExQueryDepthSList(&head), 0);
    EXPECT_EQ(InterlockedPopEntrySList(&head), nullptr);

    // A first entry whose link was overwritten by freed-pool poison is refused, not followed.
    InterlockedPushEntrySList(&head, &e[0]);
    e[0].Next = reinterpret_cast<PSLIST_ENTRY>(~uintptr_t{0} / 0xFF * POOL_FREED_BYTE);
    EXPECT_EQ(InterlockedPopEntrySList(&head), nullptr);
    EXPECT_EQ(platform::VerifierTakeFaults().at(0).Rule, "SLIST_CORRUPTION");
    EXPECT_EQ(ExQueryDepthSList(&head), 1);
}

// Several threads pushing and popping at once lose and duplicate nothing.
TEST(List, ConcurrentUseLosesNoEntry)
{
    constexpr int kPerThread = 2000;
    SLIST_HEADER slist;
    InitializeSListHead(&slist);
    LIST_ENTRY list;
    KSPIN_LOCK lock;
    InitializeListHead(&list);
    KeInitializeSpinLock(&lock);
    static Record records[2][kPerThread];
    static SLIST_ENTRY entries[2][kPerThread];
    {
        std::vector<std::unique_ptr<kvxtest::SystemThread>> threads;
        for (int t = 0; t < 2; ++t) {
            threads.push_back(std::make_unique<kvxtest::SystemThread>([&, t] {
                for (int i = 0; i < kPerThread; ++i) {
                    InterlockedPushEntrySList(&slist, &entries[t][i]);
                    ExInterlockedInsertTailList(&list, &records[t][i].Link, &lock);
                    if (i % 3 == 0) {
                        InterlockedPushEntrySList(&slist, InterlockedPopEntrySList(&slist));
                        ExInterlockedInsertTailList(&list, ExInterlockedRemoveHeadList(&list, &lock), &lock);
                    }
                }
            }));
        }
    }
    EXPECT_EQ(ExQueryDepthSList(&slist), 2 * kPerThread);
    int popped = 0;
    while (InterlockedPopEntrySList(&slist) != nullptr) {
        ++popped;
    }
    EXPECT_EQ(popped, 2 * kPerThread);
    EXPECT_EQ(Walk(&list).size(), static_cast<size_t>(2 * kPerThread));
    EXPECT_EQ(platform::VerifierFaultCount(), 0u);
}

}  // namespace
