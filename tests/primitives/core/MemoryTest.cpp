#include <gtest/gtest.h>

#include "platform/nt/Pool.h"
#include "primitives/Primitives.h"
#include "primitives/core/Memory.h"
#include "platform/nt/PoolHost.h"

namespace {

TEST(PrimitiveMemory, HookTableIsThePool)
{
    EXPECT_EQ(AllocatorHooks.Allocate, &PoolAllocateHook);
    EXPECT_EQ(AllocatorHooks.AllocateArray, &PoolAllocateArrayHook);
    EXPECT_EQ(AllocatorHooks.Free, &PoolFreeHook);

    void* single = AllocatorHooks.Allocate(24);
    void* array = AllocatorHooks.AllocateArray(3, 5);
    ULONG tag = 0;
    POOL_TYPE type = PagedPool;
    SIZE_T size = 0;
    ASSERT_TRUE(platform::PoolQueryBlock(single, &tag, &type, &size));
    EXPECT_EQ(tag, MakePoolTag("KVX "));
    EXPECT_EQ(type, NonPagedPoolNx);
    EXPECT_EQ(size, 24u);
    ASSERT_TRUE(platform::PoolQueryBlock(array, &tag, &type, &size));
    EXPECT_EQ(tag, MakePoolTag("KVX "));
    EXPECT_EQ(size, 15u);
    AllocatorHooks.Free(single);
    AllocatorHooks.Free(array);

    uint64_t serial = platform::PoolCurrentSerial();
    int probe = 0;
    EXPECT_EQ(AllocatorHooks.Reallocate(&probe, 64), nullptr);
    EXPECT_EQ(AllocatorHooks.Reallocate(nullptr, 64), nullptr);
    EXPECT_EQ(platform::PoolCurrentSerial(), serial);
}

TEST(PrimitiveMemory, AlignedBlockLayout)
{
    for (int32_t size : {1, 3, 4, 31, 32, 33, 100, 4096, 12345}) {
        auto* block = static_cast<uint8_t*>(AllocateAligned(size));
        ASSERT_NE(block, nullptr) << size;
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % 32, 0u) << size;

        auto* raw = static_cast<uint8_t*>(reinterpret_cast<AlignedBlockHeader*>(block)[-1].pRaw);
        ULONG tag = 0;
        POOL_TYPE type = PagedPool;
        SIZE_T rawSize = 0;
        ASSERT_TRUE(platform::PoolQueryBlock(raw, &tag, &type, &rawSize)) << size;
        EXPECT_EQ(tag, MakePoolTag("KVX "));
        EXPECT_EQ(type, NonPagedPoolNx);
        EXPECT_EQ(rawSize, static_cast<SIZE_T>(size) + 40);
        // The first 32-byte boundary at least 8 bytes into the raw allocation.
        uintptr_t expected = (reinterpret_cast<uintptr_t>(raw) + 39) & ~static_cast<uintptr_t>(31);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(block), expected);
        EXPECT_GE(block, raw + 8);
        EXPECT_LE(block + size, raw + rawSize);

        FreeAligned(block);  // through the entry point
        EXPECT_FALSE(platform::PoolQueryBlock(raw, &tag, &type, &rawSize)) << size;
    }
}

TEST(PrimitiveMemory, NoBlockForNonPositiveSizesOrFailedAllocation)
{
    uint64_t serial = platform::PoolCurrentSerial();
    EXPECT_EQ(AllocateAligned(0), nullptr);
    EXPECT_EQ(AllocateAligned(-5), nullptr);
    EXPECT_EQ(AllocateAligned(INT32_MIN), nullptr);
    EXPECT_EQ(platform::PoolCurrentSerial(), serial);  // nothing was asked of the pool

    platform::PoolFailNextWithTag(MakePoolTag("KVX "));
    EXPECT_EQ(AllocateAligned(64), nullptr);
    EXPECT_EQ(platform::PoolLiveSince(serial), 0u);

    FreeAligned(nullptr);
    FreeAlignedGeneric(nullptr);
}

}  // namespace
