#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/nt/Irql.h"
#include "platform/nt/Pool.h"
#include "platform/nt/Verifier.h"
#include "tests/support/Harness.h"
#include "platform/nt/PoolHost.h"

namespace {

constexpr ULONG kTagA = MakePoolTag("TstA");
constexpr ULONG kTagB = MakePoolTag("TstB");

TEST(Pool, TagIsStoredInMemoryOrder)
{
    EXPECT_EQ(MakePoolTag("KVX "), 0x2058564Bu);
    EXPECT_EQ(MakePoolTag("Lis\0"), 0x0073694Cu);
    EXPECT_EQ(platform::PoolTagToString(MakePoolTag("Lis\0")), "Lis\\0");
}

TEST(Pool, BlocksArePoisonedTrackedAndFreed)
{
    auto* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 40, kTagA));
    ASSERT_NE(p, nullptr);
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(p[i], POOL_POISON_BYTE);
    }
    EXPECT_EQ(platform::PoolLiveCount(kTagA), 1u);
    EXPECT_EQ(platform::PoolLiveBytes(kTagA), 40u);
    auto* q = ExAllocatePoolWithTag(NonPagedPoolNxCacheAligned, 10, kTagA);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(q) % 64, 0u);
    ExFreePoolWithTag(p, kTagA);
    ExFreePool(q);
    EXPECT_EQ(platform::PoolLiveCount(kTagA), 0u);
}

TEST(Pool, FailureInjectionByCountAndByTag)
{
    platform::PoolFailNthAllocation(2);
    void* a = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
    void* b = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
    void* c = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(b, nullptr);
    EXPECT_NE(c, nullptr);
    platform::PoolFailNextWithTag(kTagB);
    EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 8, kTagB), nullptr);
    void* d = ExAllocatePoolWithTag(PagedPool, 8, kTagB);
    EXPECT_NE(d, nullptr);
    ExFreePoolWithTag(a, kTagA);
    ExFreePoolWithTag(c, kTagA);
    ExFreePoolWithTag(d, kTagB);
}

TEST(Pool, VerifierCatchesPagedPoolAtDispatchAndWrongTag)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    void* p = ExAllocatePoolWithTag(PagedPool, 8, kTagA);
    KeLowerIrql(old);
    ExFreePoolWithTag(p, kTagB);
    auto faults = platform::VerifierTakeFaults();
    ASSERT_EQ(faults.size(), 2u);
    EXPECT_EQ(faults[0].Rule, "IRQL");
    EXPECT_EQ(faults[1].Rule, "POOL_FREE_TAG");
}

// The single fault recorded since the last take, or an empty record.
platform::VerifierFaultRecord OnlyFault()
{
    auto faults = platform::VerifierTakeFaults();
    if (faults.size() != 1) {
        for (const auto& f : faults) {
            ADD_FAILURE() << f.Rule << ": " << f.Detail;
        }
    }
    return faults.size() == 1 ? faults[0] : platform::VerifierFaultRecord{};
}

// Restores the pool's special-pool settings when a test changed them.
struct SpecialPoolSettings {
    explicit SpecialPoolSettings(bool frontGuards) : Previous(platform::PoolSetFrontGuards(frontGuards)) {}
    ~SpecialPoolSettings()
    {
        platform::PoolSetFrontGuards(Previous);
        platform::PoolResetQuarantineLimits();
    }
    bool Previous;
};

TEST(SpecialPool, FullUseOfEveryByteRaisesNothing)
{
    for (bool front : {false, true}) {
        SpecialPoolSettings settings(front);
        for (SIZE_T size : {0, 1, 15, 16, 17, 63, 64, 65, 4096}) {
            for (POOL_TYPE type : {NonPagedPoolNx, PagedPool, NonPagedPoolNxCacheAligned}) {
                auto* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(type, size, kTagA));
                ASSERT_NE(p, nullptr);
                EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % (type == NonPagedPoolNxCacheAligned ? 64 : 16), 0u);
                for (SIZE_T i = 0; i < size; ++i) {
                    p[i] = static_cast<UCHAR>(i);
                }
                ExFreePoolWithTag(p, kTagA);
            }
        }
        platform::PoolVerifyAll();
        EXPECT_EQ(platform::VerifierFaultCount(), 0u) << "front guards " << front;
    }
}

TEST(SpecialPool, OverrunsAndUnderrunsAreReportedAtFreeWithTheOwner)
{
    platform::PoolOwnChecksOnly ownChecks;
    struct Case {
        bool FrontGuards;
        SIZE_T Size;
        ptrdiff_t Offset;  // written, relative to the block's start
        const char* Rule;
        const char* Where;  // in the detail
    };
    const Case cases[] = {
        {false, 40, 40, "POOL_OVERRUN", "offset 40"},  // the byte just past the end
        {false, 40, 55, "POOL_OVERRUN", "offset 55"},  // the last guard byte of the minimum
        {false, 0, 0, "POOL_OVERRUN", "offset 0"},     // a zero-sized block has no byte of its own
        {true, 40, 40, "POOL_OVERRUN", "offset 40"},
        {true, 40, -1, "POOL_UNDERRUN", "byte 1 before"},
        {true, 32, -16, "POOL_UNDERRUN", "byte 16 before"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "size " << c.Size << " offset " << c.Offset);
        SpecialPoolSettings settings(c.FrontGuards);
        const uint64_t serial = platform::PoolCurrentSerial() + 1;
        auto* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, c.Size, kTagB));
        ASSERT_NE(p, nullptr);
        p[c.Offset] = 0;
        ExFreePoolWithTag(p, kTagB);
        const auto fault = OnlyFault();
        EXPECT_EQ(fault.Rule, c.Rule);
        EXPECT_NE(fault.Detail.find(c.Where), std::string::npos) << fault.Detail;
        const std::string owner = "tag 'TstB', " + std::to_string(c.Size) + " bytes, allocation #" +
                                  std::to_string(serial);
        EXPECT_NE(fault.Detail.find(owner), std::string::npos) << fault.Detail;
    }
}

TEST(SpecialPool, OverrunOfALiveBlockIsReportedAtTheEndOfTheTest)
{
    platform::PoolOwnChecksOnly ownChecks;
    auto* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 24, kTagA));
    p[24] = 1;
    platform::PoolVerifyAll();  // what the harness runs after every test
    const auto fault = OnlyFault();
    EXPECT_EQ(fault.Rule, "POOL_OVERRUN");
    EXPECT_NE(fault.Detail.find("at the end of the test"), std::string::npos) << fault.Detail;
    p[24] = POOL_GUARD_BYTE;
    ExFreePoolWithTag(p, kTagA);
}

// A dangling write lands in the quarantined block of its owner, never in a later owner's block;
// it is reported when the block leaves the quarantine, naming the owner that freed it.
TEST(SpecialPool, WriteAfterFreeIsReportedAtTheOwnerNotAtTheNextUser)
{
    platform::PoolOwnChecksOnly ownChecks;
    for (bool evictedByLimit : {true, false}) {
        SCOPED_TRACE(evictedByLimit ? "evicted by the quarantine limit" : "found at the end of the test");
        SpecialPoolSettings settings(false);
        platform::PoolSetQuarantineLimits(evictedByLimit ? 1 : 64, 1 << 20);
        const uint64_t serial = platform::PoolCurrentSerial() + 1;
        auto* stale = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTagA));
        ExFreePoolWithTag(stale, kTagA);
        EXPECT_EQ(stale[10], POOL_FREED_BYTE);
        stale[10] = 0x42;  // the bug: a write through a pointer kept after the free
        auto* next = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 64, kTagB));
        EXPECT_NE(next, stale);  // the quarantine keeps the address from being handed out again
        std::memset(next, 0, 64);
        ExFreePoolWithTag(next, kTagB);  // pushes the stale block out when the limit is 1
        if (!evictedByLimit) {
            EXPECT_EQ(platform::VerifierFaultCount(), 0u);
            platform::PoolVerifyAll();
        }
        const auto fault = OnlyFault();
        EXPECT_EQ(fault.Rule, "POOL_WRITE_AFTER_FREE");
        EXPECT_NE(fault.Detail.find("tag 'TstA', 64 bytes, allocation #" + std::to_string(serial)), std::string::npos)
            << fault.Detail;
        EXPECT_NE(fault.Detail.find("offset 10"), std::string::npos) << fault.Detail;
        platform::PoolVerifyAll();
        EXPECT_EQ(platform::PoolQuarantineCount(), 0u);
    }
}

TEST(SpecialPool, DoubleFreeAndInteriorFreeNameTheBlock)
{
    const uint64_t serial = platform::PoolCurrentSerial() + 1;
    auto* p = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 32, kTagA));
    ExFreePool(p + 8);
    auto fault = OnlyFault();
    EXPECT_EQ(fault.Rule, "POOL_FREE_UNKNOWN");
    EXPECT_NE(fault.Detail.find("offset 8 inside"), std::string::npos) << fault.Detail;
    EXPECT_EQ(platform::PoolLiveCount(kTagA), 1u);  // the block itself is untouched

    ExFreePoolWithTag(p, kTagA);
    ExFreePoolWithTag(p, kTagA);
    fault = OnlyFault();
    EXPECT_EQ(fault.Rule, "POOL_DOUBLE_FREE");
    EXPECT_NE(fault.Detail.find("tag 'TstA', 32 bytes, allocation #" + std::to_string(serial)), std::string::npos)
        << fault.Detail;
    platform::PoolVerifyAll();  // the second free changed nothing in the quarantined block
    EXPECT_EQ(platform::VerifierFaultCount(), 0u);
}

TEST(Pool, LeakReportNamesTheTag)
{
    uint64_t serial = platform::PoolCurrentSerial();
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, 24, MakePoolTag("Lis\0"));
    EXPECT_EQ(platform::PoolLiveSince(serial), 1u);
    EXPECT_EQ(platform::PoolLeakReport(serial), "tag 'Lis\\0': 1 block(s), 24 bytes; ");
    ExFreePool(p);
    EXPECT_EQ(platform::PoolLiveSince(serial), 0u);
}

}  // namespace

#include "platform/nt/Lookaside.h"
#include "platform/nt/Sync.h"

namespace {

TEST(Lookaside, EntriesArePoolBlocksWithTheListTag)
{
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 152, MakePoolTag("URB "), 0);
    void* a = ExAllocateFromNPagedLookasideList(&list);
    ASSERT_NE(a, nullptr);
    ULONG tag = 0;
    POOL_TYPE type = PagedPool;
    SIZE_T size = 0;
    ASSERT_TRUE(platform::PoolQueryBlock(a, &tag, &type, &size));
    EXPECT_EQ(tag, MakePoolTag("URB "));
    EXPECT_EQ(type, NonPagedPoolNx);
    EXPECT_EQ(size, 152u);
    platform::PoolFailNextWithTag(MakePoolTag("URB "));
    EXPECT_EQ(ExAllocateFromNPagedLookasideList(&list), nullptr);

    ExDeleteNPagedLookasideList(&list);  // one entry still out
    auto faults = platform::VerifierTakeFaults();
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_EQ(faults[0].Rule, "LOOKASIDE");
    ExFreePoolWithTag(a, MakePoolTag("URB "));
}

// Entries are pool blocks of the list's tag, so the special pool guards each one.
TEST(Lookaside, EntryOverrunAndDoubleFreeAreReportedWithTheListTag)
{
    platform::PoolOwnChecksOnly ownChecks;
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 152, MakePoolTag("URB "), 0);
    auto* a = static_cast<UCHAR*>(ExAllocateFromNPagedLookasideList(&list));
    auto* b = static_cast<UCHAR*>(ExAllocateFromNPagedLookasideList(&list));
    a[152] = 0;
    ExFreeToNPagedLookasideList(&list, a);
    auto fault = OnlyFault();
    EXPECT_EQ(fault.Rule, "POOL_OVERRUN");
    EXPECT_NE(fault.Detail.find("tag 'URB ', 152 bytes"), std::string::npos) << fault.Detail;

    ExFreeToNPagedLookasideList(&list, b);
    ExFreeToNPagedLookasideList(&list, b);
    fault = OnlyFault();
    EXPECT_EQ(fault.Rule, "POOL_DOUBLE_FREE");
    EXPECT_NE(fault.Detail.find("tag 'URB '"), std::string::npos) << fault.Detail;
    InterlockedIncrement(&list.Outstanding);  // the list counted the second return too
    ExDeleteNPagedLookasideList(&list);
}

}  // namespace
