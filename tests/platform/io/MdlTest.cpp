#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "platform/io/Io.h"
#include "platform/io/ProcessHost.h"
#include "platform/nt/Pool.h"
#include "platform/nt/Verifier.h"
#include "platform/nt/PoolHost.h"

namespace {

constexpr ULONG kBufferTag = MakePoolTag("MdlT");

PMDL AllocatePages(SIZE_T bytes)
{
    PHYSICAL_ADDRESS low{}, high{}, skip{};
    high.QuadPart = -1;
    return MmAllocatePagesForMdlEx(low, high, skip, bytes, MmCached, 0);
}

void FreePages(PMDL mdl)
{
    MmFreePagesFromMdl(mdl);
    ExFreePool(mdl);
}

// A view in a user process (one for the whole run; its views are unmapped by each test).
PVOID MapUser(PMDL mdl)
{
    static const platform::ProcessId process = platform::ProcessCreate(false);
    platform::ProcessScope scope(process);
    return MmMapLockedPagesSpecifyCache(mdl, UserMode, MmCached, nullptr, FALSE, HighPagePriority);
}

TEST(MdlPages, EveryViewOfAllocatedPagesSeesTheOthersWrites)
{
    const SIZE_T bytes = 3 * PAGE_SIZE + 100;
    PMDL mdl = AllocatePages(bytes);
    ASSERT_NE(mdl, nullptr);
    EXPECT_EQ(MmGetMdlByteCount(mdl), bytes);
    EXPECT_EQ(platform::PoolLiveCount(platform::IO_PAGES_TAG), 1u);
    auto* kernel = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    auto* user = static_cast<UCHAR*>(MapUser(mdl));
    ASSERT_NE(kernel, nullptr);
    ASSERT_NE(user, nullptr);
    EXPECT_NE(kernel, user);  // two mappings of the same pages
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), kernel);
    for (SIZE_T i = 0; i < bytes; i += 997) {
        ASSERT_EQ(kernel[i], 0) << i;  // zeroed
    }
    kernel[10] = 0x5A;
    user[bytes - 1] = 0xA5;
    EXPECT_EQ(user[10], 0x5A);
    EXPECT_EQ(kernel[bytes - 1], 0xA5);

    // A partial MDL over bytes 5000..6999, mapped on its own.
    PMDL part = IoAllocateMdl(static_cast<char*>(MmGetMdlVirtualAddress(mdl)) + 5000, 2000, FALSE, FALSE, nullptr);
    ASSERT_NE(part, nullptr);
    IoBuildPartialMdl(mdl, part, static_cast<char*>(MmGetMdlVirtualAddress(mdl)) + 5000, 2000);
    EXPECT_EQ(MmGetMdlByteCount(part), 2000u);
    auto* piece = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(part, NormalPagePriority));
    ASSERT_NE(piece, nullptr);
    piece[0] = 0x11;
    piece[1999] = 0x22;
    EXPECT_EQ(user[5000], 0x11);
    EXPECT_EQ(kernel[6999], 0x22);
    IoFreeMdl(part);  // its own mapping goes with it

    MmUnmapLockedPages(user, mdl);
    MmUnmapLockedPages(kernel, mdl);
    FreePages(mdl);
    EXPECT_EQ(platform::PoolLiveCount(platform::IO_PAGES_TAG), 0u);
    EXPECT_EQ(platform::VerifierFaultCount(), 0u);
}

TEST(MdlPages, LockedPoolBufferMapsWhereItIs)
{
    auto* buffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 3000, kBufferTag));
    PMDL mdl = IoAllocateMdl(buffer, 3000, FALSE, FALSE, nullptr);
    MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), buffer);
    auto* user = static_cast<UCHAR*>(MapUser(mdl));
    ASSERT_NE(user, nullptr);
    user[7] = 0x77;
    EXPECT_EQ(buffer[7], 0x77);
    // Part of it, at its end, with length 0 meaning "the rest".
    PMDL part = IoAllocateMdl(buffer + 1000, 2000, FALSE, FALSE, nullptr);
    IoBuildPartialMdl(mdl, part, buffer + 1000, 0);
    EXPECT_EQ(MmGetMdlByteCount(part), 2000u);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(part, NormalPagePriority), buffer + 1000);
    IoFreeMdl(part);
    MmUnmapLockedPages(user, mdl);
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    ExFreePoolWithTag(buffer, kBufferTag);
    EXPECT_EQ(platform::VerifierFaultCount(), 0u);
}

TEST(MdlPages, MisuseOfLocksAndMappingsIsNamed)
{
    auto* buffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 8192, kBufferTag));
    const auto over = [&] { return IoAllocateMdl(buffer, 8192, FALSE, FALSE, nullptr); };
    struct Case {
        const char* name;
        std::function<void()> run;  // does the wrong thing and then cleans up
        const char* rule;
    };
    const Case cases[] = {
        {"freed while locked",
         [&] {
             PMDL mdl = over();
             MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
             IoFreeMdl(mdl);
         },
         "MDL_FREE_LOCKED"},
        {"locked twice",
         [&] {
             PMDL mdl = over();
             MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
             MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
             MmUnlockPages(mdl);
             IoFreeMdl(mdl);
         },
         "MDL_LOCKED_TWICE"},
        {"nonpaged pool probed",
         [&] {
             PMDL mdl = over();
             MmBuildMdlForNonPagedPool(mdl);
             MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
             IoFreeMdl(mdl);
         },
         "MDL_PROBE_RESIDENT"},
        {"unlocked without a lock",
         [&] {
             PMDL mdl = over();
             MmUnlockPages(mdl);
             IoFreeMdl(mdl);
         },
         "MDL_UNLOCK_NOT_LOCKED"},
        {"unlocked while mapped into a process",
         [&] {
             PMDL mdl = over();
             MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
             PVOID user = MapUser(mdl);
             MmUnlockPages(mdl);
             MmUnmapLockedPages(user, mdl);
             IoFreeMdl(mdl);
         },
         "MDL_UNLOCK_MAPPED"},
        {"mapped without a lock",
         [&] {
             PMDL mdl = over();
             EXPECT_EQ(MapUser(mdl), nullptr);
             IoFreeMdl(mdl);
         },
         "MDL_MAP_NOT_LOCKED"},
        {"mapped to system space twice",
         [&] {
             PMDL mdl = over();
             MmProbeAndLockPages(mdl, KernelMode, IoReadAccess);
             PVOID first = MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority);
             EXPECT_EQ(MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, NormalPagePriority),
                       first);
             MmUnmapLockedPages(first, mdl);
             MmUnlockPages(mdl);
             IoFreeMdl(mdl);
         },
         "MDL_MAPPED_TWICE"},
        {"unmapped twice",
         [&] {
             PMDL mdl = AllocatePages(PAGE_SIZE);
             PVOID user = MapUser(mdl);
             MmUnmapLockedPages(user, mdl);
             MmUnmapLockedPages(user, mdl);  // never a second munmap of a view that may be reused
             FreePages(mdl);
         },
         "MDL_UNMAP_NOT_MAPPED"},
        {"pages freed while mapped",
         [&] {
             PMDL mdl = AllocatePages(PAGE_SIZE);
             MapUser(mdl);
             FreePages(mdl);
         },
         "MDL_FREE_PAGES_MAPPED"},
        {"allocated pages freed with IoFreeMdl", [&] { IoFreeMdl(AllocatePages(PAGE_SIZE)); }, "MDL_FREE_PAGES_LEFT"},
        {"pages freed of a pool MDL",
         [&] {
             PMDL mdl = over();
             MmFreePagesFromMdl(mdl);
             IoFreeMdl(mdl);
         },
         "MDL_FREE_PAGES_NOT_ALLOCATED"},
        {"partial MDL past the source's end",
         [&] {
             PMDL mdl = over();
             PMDL part = IoAllocateMdl(buffer + 8000, 400, FALSE, FALSE, nullptr);
             IoBuildPartialMdl(mdl, part, buffer + 8000, 400);
             IoFreeMdl(part);
             IoFreeMdl(mdl);
         },
         "MDL_PARTIAL_RANGE"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.run();
        const auto faults = platform::VerifierTakeFaults();
        ASSERT_EQ(faults.size(), 1u) << (faults.empty() ? "" : faults[0].Rule + ", " + faults.back().Rule);
        EXPECT_EQ(faults[0].Rule, c.rule);
    }
    ExFreePoolWithTag(buffer, kBufferTag);
}

}  // namespace
