#include <gtest/gtest.h>

#include "platform/nt/Irql.h"
#include "platform/nt/Pool.h"
#include "platform/nt/Verifier.h"
#include "tests/support/Harness.h"

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

}  // namespace
