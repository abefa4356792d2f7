// Memory descriptor lists. What an MDL describes is either a buffer in this address space (pool,
// the caller's memory) or pages of MmAllocatePagesForMdlEx, which live in an anonymous shared
// file so that every mapping of them is a real view of its own onto the same memory.
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/io/IoInternal.h"
#include "platform/nt/Irql.h"
#include "platform/nt/Ob.h"
#include "platform/nt/Pool.h"
#include "platform/nt/Verifier.h"

namespace {

constexpr uintptr_t PAGE_MASK = PAGE_SIZE - 1;

uintptr_t RoundUp(uintptr_t n) { return (n + PAGE_MASK) & ~PAGE_MASK; }

// Pages of one MmAllocatePagesForMdlEx call; partial MDLs over them share it.
struct PageRun {
    int Fd = -1;
    size_t Bytes = 0;
    ~PageRun()
    {
        if (Fd >= 0) {
            close(Fd);
        }
    }
};

struct Mapping {
    PVOID Address;        // what the caller got
    void* ViewBase;       // the view made for it (null: the buffer itself)
    size_t ViewBytes;
    KPROCESSOR_MODE Mode;
    platform::ProcessId Process;  // a user view's process
};

struct MdlState {
    std::shared_ptr<PageRun> Pages;  // null: the MDL describes memory of this address space
    size_t PagesOffset = 0;          // of the MDL's first byte within the pages
    void* PagesMarker = nullptr;     // the IO_PAGES_TAG block of the MDL that allocated the pages
    std::vector<Mapping> Mappings;
};

struct MdlTable {
    std::mutex Lock;
    std::unordered_map<PMDL, MdlState> States;
};

std::atomic<unsigned> g_failUserMappings{0};

MdlTable& Table()
{
    static MdlTable* table = new MdlTable();  // never destroyed: threads may unmap at exit
    return *table;
}

// A mapping of the MDL's bytes: a fresh view of its pages, or the buffer itself.
bool MakeMapping(PMDL mdl, const MdlState& state, KPROCESSOR_MODE mode, Mapping* out)
{
    out->Mode = mode;
    out->Process = mode == UserMode ? platform::CurrentProcess() : platform::KERNEL_PROCESS;
    if (state.Pages == nullptr) {
        out->Address = MmGetMdlVirtualAddress(mdl);
        out->ViewBase = nullptr;
        out->ViewBytes = 0;
        return true;
    }
    const size_t first = state.PagesOffset & ~PAGE_MASK;
    const size_t inPage = state.PagesOffset & PAGE_MASK;
    const size_t bytes = RoundUp(inPage + mdl->ByteCount);
    // A 32-bit process sees its views below 4 GB.
    const int low = mode == UserMode && IoIs32bitProcess(nullptr) ? MAP_32BIT : 0;
    void* view =
        mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | low, state.Pages->Fd, static_cast<off_t>(first));
    if (view == MAP_FAILED) {
        return false;
    }
    out->Address = static_cast<char*>(view) + inPage;
    out->ViewBase = view;
    out->ViewBytes = bytes;
    return true;
}

void DropMapping(const Mapping& mapping)
{
    if (mapping.ViewBase != nullptr) {
        munmap(mapping.ViewBase, mapping.ViewBytes);
    }
}

void ForgetKernelMapping(PMDL mdl)
{
    mdl->MdlFlags &= static_cast<SHORT>(~(MDL_MAPPED_TO_SYSTEM_VA | MDL_PARTIAL_HAS_BEEN_MAPPED));
    if ((mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL) == 0) {
        mdl->MappedSystemVa = nullptr;
    }
}

// Drops the mappings of `mode` (kernel, user, or both when `all`); returns how many there were.
size_t DropMappings(PMDL mdl, MdlState& state, bool all, KPROCESSOR_MODE mode)
{
    size_t dropped = 0;
    auto& maps = state.Mappings;
    for (auto it = maps.begin(); it != maps.end();) {
        if (all || it->Mode == mode) {
            if (it->Mode == KernelMode) {
                ForgetKernelMapping(mdl);
            }
            DropMapping(*it);
            it = maps.erase(it);
            ++dropped;
        } else {
            ++it;
        }
    }
    return dropped;
}

size_t CountMappings(const MdlState& state, KPROCESSOR_MODE mode)
{
    size_t n = 0;
    for (const auto& m : state.Mappings) {
        n += m.Mode == mode ? 1 : 0;
    }
    return n;
}

// Pages that stay put: locked, never paged, allocated for the MDL, or a part of such.
bool Resident(PMDL mdl)
{
    return (mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_SOURCE_IS_NONPAGED_POOL | MDL_PAGES_ALLOCATED | MDL_PARTIAL)) != 0;
}

PVOID MapKernel(PMDL mdl, const char* call)
{
    if ((mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) != 0) {
        return mdl->MappedSystemVa;
    }
    if (!Resident(mdl)) {
        platform::VerifierFault("MDL_MAP_NOT_LOCKED", "%s on MDL %p, whose pages are not locked", call,
                                static_cast<void*>(mdl));
        return nullptr;
    }
    MdlTable& t = Table();
    std::lock_guard<std::mutex> guard(t.Lock);
    MdlState& state = t.States[mdl];
    Mapping mapping;
    if (!MakeMapping(mdl, state, KernelMode, &mapping)) {
        return nullptr;
    }
    state.Mappings.push_back(mapping);
    mdl->MappedSystemVa = mapping.Address;
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    if ((mdl->MdlFlags & MDL_PARTIAL) != 0) {
        mdl->MdlFlags |= MDL_PARTIAL_HAS_BEEN_MAPPED;
    }
    return mapping.Address;
}

}  // namespace

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp)
{
    UNREFERENCED_PARAMETER(ChargeQuota);
    platform::IrqlCheckAtMost(DISPATCH_LEVEL, "IoAllocateMdl");
    if (Length == 0) {
        return nullptr;
    }
    auto* mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(MDL), platform::IO_MDL_TAG));
    if (mdl == nullptr) {
        return nullptr;
    }
    {
        // An MDL of pages freed with ExFreePool leaves its state behind; it is not this one's.
        MdlTable& t = Table();
        std::lock_guard<std::mutex> guard(t.Lock);
        t.States.erase(mdl);
    }
    std::memset(mdl, 0, sizeof(MDL));
    const auto va = reinterpret_cast<uintptr_t>(VirtualAddress);
    mdl->Size = static_cast<SHORT>(sizeof(MDL));
    mdl->StartVa = reinterpret_cast<PVOID>(va & ~PAGE_MASK);
    mdl->ByteOffset = static_cast<ULONG>(va & PAGE_MASK);
    mdl->ByteCount = Length;
    if (Irp != nullptr) {
        if (!SecondaryBuffer) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL* link = &Irp->MdlAddress;
            while (*link != nullptr) {
                link = &(*link)->Next;
            }
            *link = mdl;
        }
    }
    return mdl;
}

VOID IoFreeMdl(PMDL Mdl)
{
    platform::IrqlCheckAtMost(DISPATCH_LEVEL, "IoFreeMdl");
    if ((Mdl->MdlFlags & MDL_PAGES_ALLOCATED) != 0) {
        platform::VerifierFault("MDL_FREE_PAGES_LEFT",
                                "MDL %p freed with its pages still allocated (MmFreePagesFromMdl first)",
                                static_cast<void*>(Mdl));
    } else if ((Mdl->MdlFlags & MDL_PAGES_LOCKED) != 0) {
        platform::VerifierFault("MDL_FREE_LOCKED", "MDL %p freed with its pages still locked (MmUnlockPages first)",
                                static_cast<void*>(Mdl));
    }
    {
        MdlTable& t = Table();
        std::lock_guard<std::mutex> guard(t.Lock);
        auto it = t.States.find(Mdl);
        if (it != t.States.end()) {
            MdlState& state = it->second;
            const size_t user = CountMappings(state, UserMode);
            const size_t kernel = CountMappings(state, KernelMode);
            const bool partialKernel = (Mdl->MdlFlags & MDL_PARTIAL_HAS_BEEN_MAPPED) != 0;
            if (user != 0 || (kernel != 0 && !partialKernel)) {
                platform::VerifierFault("MDL_FREE_MAPPED", "MDL %p freed with %zu user and %zu kernel mapping(s) left",
                                        static_cast<void*>(Mdl), user, partialKernel ? size_t{0} : kernel);
            }
            DropMappings(Mdl, state, true, KernelMode);
            if (state.PagesMarker != nullptr) {
                ExFreePoolWithTag(state.PagesMarker, platform::IO_PAGES_TAG);
            }
            t.States.erase(it);
        }
    }
    ExFreePoolWithTag(Mdl, platform::IO_MDL_TAG);
}

VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList)
{
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

VOID IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length)
{
    platform::IrqlCheckAtMost(DISPATCH_LEVEL, "IoBuildPartialMdl");
    const auto source = reinterpret_cast<uintptr_t>(MmGetMdlVirtualAddress(SourceMdl));
    const auto va = reinterpret_cast<uintptr_t>(VirtualAddress);
    const uintptr_t offset = va - source;
    if (va < source || offset > SourceMdl->ByteCount ||
        (Length == 0 ? offset == SourceMdl->ByteCount : Length > SourceMdl->ByteCount - offset)) {
        platform::VerifierFault("MDL_PARTIAL_RANGE",
                                "IoBuildPartialMdl for %u bytes at offset %lld of MDL %p, which describes %u",
                                static_cast<unsigned>(Length), static_cast<long long>(va - source),
                                static_cast<void*>(SourceMdl), static_cast<unsigned>(SourceMdl->ByteCount));
        return;
    }
    if (Length == 0) {
        Length = static_cast<ULONG>(SourceMdl->ByteCount - offset);
    }
    TargetMdl->StartVa = reinterpret_cast<PVOID>(va & ~PAGE_MASK);
    TargetMdl->ByteOffset = static_cast<ULONG>(va & PAGE_MASK);
    TargetMdl->ByteCount = Length;
    TargetMdl->MdlFlags = static_cast<SHORT>(MDL_PARTIAL | (SourceMdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL));
    TargetMdl->MappedSystemVa =
        (SourceMdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL) != 0 ? VirtualAddress : nullptr;
    MdlTable& t = Table();
    std::lock_guard<std::mutex> guard(t.Lock);
    auto from = t.States.find(SourceMdl);
    MdlState& target = t.States[TargetMdl];
    target = MdlState{};
    if (from != t.States.end() && from->second.Pages != nullptr) {
        target.Pages = from->second.Pages;
        target.PagesOffset = from->second.PagesOffset + offset;
    }
}

VOID MmPrepareMdlForReuse(PMDL Mdl)
{
    if ((Mdl->MdlFlags & MDL_PARTIAL_HAS_BEEN_MAPPED) == 0) {
        return;
    }
    MdlTable& t = Table();
    std::lock_guard<std::mutex> guard(t.Lock);
    auto it = t.States.find(Mdl);
    if (it != t.States.end()) {
        DropMappings(Mdl, it->second, false, KernelMode);
    }
    ForgetKernelMapping(Mdl);
}

VOID MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation)
{
    UNREFERENCED_PARAMETER(AccessMode);
    platform::IrqlCheckAtMost(DISPATCH_LEVEL, "MmProbeAndLockPages");
    PMDL mdl = MemoryDescriptorList;
    if ((mdl->MdlFlags & (MDL_SOURCE_IS_NONPAGED_POOL | MDL_PAGES_ALLOCATED | MDL_PARTIAL)) != 0) {
        platform::VerifierFault("MDL_PROBE_RESIDENT",
                                "MmProbeAndLockPages on MDL %p, which describes pages that are never paged "
                                "(nonpaged pool, allocated pages or a partial MDL)",
                                static_cast<void*>(mdl));
        return;
    }
    if ((mdl->MdlFlags & MDL_PAGES_LOCKED) != 0) {
        platform::VerifierFault("MDL_LOCKED_TWICE", "MmProbeAndLockPages on MDL %p, whose pages are locked already",
                                static_cast<void*>(mdl));
        return;
    }
    mdl->MdlFlags |= MDL_PAGES_LOCKED;
    if (Operation != IoReadAccess) {
        mdl->MdlFlags |= MDL_WRITE_OPERATION;
    }
}

VOID MmUnlockPages(PMDL MemoryDescriptorList)
{
    platform::IrqlCheckAtMost(DISPATCH_LEVEL, "MmUnlockPages");
    PMDL mdl = MemoryDescriptorList;
    if ((mdl->MdlFlags & MDL_PAGES_LOCKED) == 0 || (mdl->MdlFlags & MDL_PAGES_ALLOCATED) != 0) {
        platform::VerifierFault("MDL_UNLOCK_NOT_LOCKED", "MmUnlockPages on MDL %p, whose pages were not probed and locked",
                                static_cast<void*>(mdl));
        return;
    }
    MdlTable& t = Table();
    std::lock_guard<std::mutex> guard(t.Lock);
    auto it = t.States.find(mdl);
    if (it != t.States.end()) {
        if (const size_t user = CountMappings(it->second, UserMode); user != 0) {
            platform::VerifierFault("MDL_UNLOCK_MAPPED", "MmUnlockPages on MDL %p with %zu user mapping(s) left",
                                    static_cast<void*>(mdl), user);
        }
        DropMappings(mdl, it->second, false, KernelMode);
    }
    mdl->MdlFlags &= static_cast<SHORT>(~(MDL_PAGES_LOCKED | MDL_WRITE_OPERATION));
}

PMDL MmAllocatePagesForMdlEx(PHYSICAL_ADDRESS LowAddress, PHYSICAL_ADDRESS HighAddress, PHYSICAL_ADDRESS SkipBytes,
                             SIZE_T TotalBytes, MEMORY_CACHING_TYPE CacheType, ULONG Flags)
{
    UNREFERENCED_PARAMETER(LowAddress);
    UNREFERENCED_PARAMETER(HighAddress);
    UNREFERENCED_PARAMETER(SkipBytes);
    UNREFERENCED_PARAMETER(CacheType);
    UNREFERENCED_PARAMETER(Flags);  // the pages always come zeroed and complete
    platform::IrqlCheckAtMost(APC_LEVEL, "MmAllocatePagesForMdlEx");
    if (TotalBytes == 0 || TotalBytes > 0xFFFFF000u) {
        return nullptr;
    }
    auto pages = std::make_shared<PageRun>();
    pages->Bytes = RoundUp(TotalBytes);
    pages->Fd = memfd_create("kvx-mdl-pages", MFD_CLOEXEC);
    if (pages->Fd < 0 || ftruncate(pages->Fd, static_cast<off_t>(pages->Bytes)) != 0) {
        return nullptr;
    }
    void* marker = ExAllocatePoolWithTag(NonPagedPoolNx, 1, platform::IO_PAGES_TAG);
    if (marker == nullptr) {
        return nullptr;
    }
    PMDL mdl = IoAllocateMdl(nullptr, static_cast<ULONG>(TotalBytes), FALSE, FALSE, nullptr);
    if (mdl == nullptr) {
        ExFreePoolWithTag(marker, platform::IO_PAGES_TAG);
        return nullptr;
    }
    mdl->MdlFlags = MDL_PAGES_ALLOCATED;
    MdlTable& t = Table();
    std::lock_guard<std::mutex> guard(t.Lock);
    MdlState& state = t.States[mdl];
    state.Pages = std::move(pages);
    state.PagesMarker = marker;
    return mdl;
}

PMDL MmAllocatePagesForMdl(PHYSICAL_ADDRESS LowAddress, PHYSICAL_ADDRESS HighAddress, PHYSICAL_ADDRESS SkipBytes,
                           SIZE_T TotalBytes)
{
    return MmAllocatePagesForMdlEx(LowAddress, HighAddress, SkipBytes, TotalBytes, MmCached, 0);
}

VOID MmFreePagesFromMdl(PMDL MemoryDescriptorList)
{
    platform::IrqlCheckAtMost(DISPATCH_LEVEL, "MmFreePagesFromMdl");
    PMDL mdl = MemoryDescriptorList;
    if ((mdl->MdlFlags & MDL_PAGES_ALLOCATED) == 0) {
        platform::VerifierFault("MDL_FREE_PAGES_NOT_ALLOCATED",
                                "MmFreePagesFromMdl on MDL %p, whose pages MmAllocatePagesForMdlEx did not allocate",
                                static_cast<void*>(mdl));
        return;
    }
    MdlTable& t = Table();
    std::lock_guard<std::mutex> guard(t.Lock);
    auto it = t.States.find(mdl);
    if (it != t.States.end()) {
        MdlState& state = it->second;
        if (!state.Mappings.empty()) {
            platform::VerifierFault("MDL_FREE_PAGES_MAPPED", "MmFreePagesFromMdl on MDL %p with %zu mapping(s) left",
                                    static_cast<void*>(mdl), state.Mappings.size());
            DropMappings(mdl, state, true, KernelMode);
        }
        if (state.PagesMarker != nullptr) {
            ExFreePoolWithTag(state.PagesMarker, platform::IO_PAGES_TAG);
        }
        t.States.erase(it);
    }
    mdl->MdlFlags = 0;
    mdl->ByteCount = 0;
}

PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority)
{
    UNREFERENCED_PARAMETER(Priority);
    platform::IrqlCheckAtMost(DISPATCH_LEVEL, "MmGetSystemAddressForMdlSafe");
    return MapKernel(Mdl, "MmGetSystemAddressForMdlSafe");
}

PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                   MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress, ULONG BugCheckOnFailure,
                                   ULONG Priority)
{
    UNREFERENCED_PARAMETER(CacheType);
    UNREFERENCED_PARAMETER(RequestedAddress);
    UNREFERENCED_PARAMETER(BugCheckOnFailure);
    UNREFERENCED_PARAMETER(Priority);
    PMDL mdl = MemoryDescriptorList;
    if (AccessMode == KernelMode) {
        platform::IrqlCheckAtMost(DISPATCH_LEVEL, "MmMapLockedPagesSpecifyCache");
        if ((mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA) != 0) {
            platform::VerifierFault("MDL_MAPPED_TWICE", "MDL %p mapped to system space a second time",
                                    static_cast<void*>(mdl));
            return mdl->MappedSystemVa;
        }
        return MapKernel(mdl, "MmMapLockedPagesSpecifyCache");
    }
    platform::IrqlCheckAtMost(APC_LEVEL, "MmMapLockedPagesSpecifyCache");
    for (unsigned n = g_failUserMappings.load(); n != 0;) {
        if (g_failUserMappings.compare_exchange_weak(n, n - 1)) {
            return nullptr;
        }
    }
    if (!Resident(mdl)) {
        platform::VerifierFault("MDL_MAP_NOT_LOCKED", "MDL %p mapped into a process with its pages not locked",
                                static_cast<void*>(mdl));
        return nullptr;
    }
    if (platform::CurrentProcess() == platform::KERNEL_PROCESS) {
        // A user view belongs to the process the caller runs in; the kernel has none to give.
        platform::VerifierFault("MDL_USER_MAP_NO_PROCESS", "MDL %p mapped into user space outside any process",
                                static_cast<void*>(mdl));
        return nullptr;
    }
    MdlTable& t = Table();
    std::lock_guard<std::mutex> guard(t.Lock);
    MdlState& state = t.States[mdl];
    Mapping mapping;
    if (!MakeMapping(mdl, state, UserMode, &mapping)) {
        return nullptr;
    }
    state.Mappings.push_back(mapping);
    return mapping.Address;
}

VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList)
{
    platform::IrqlCheckAtMost(DISPATCH_LEVEL, "MmUnmapLockedPages");
    PMDL mdl = MemoryDescriptorList;
    MdlTable& t = Table();
    std::lock_guard<std::mutex> guard(t.Lock);
    auto it = t.States.find(mdl);
    if (it != t.States.end()) {
        auto& maps = it->second.Mappings;
        // A user view first: over pool memory it has the kernel mapping's address.
        for (KPROCESSOR_MODE mode : {UserMode, KernelMode}) {
            for (auto m = maps.begin(); m != maps.end(); ++m) {
                if (m->Address == BaseAddress && m->Mode == mode) {
                    if (mode == KernelMode) {
                        ForgetKernelMapping(mdl);
                    }
                    DropMapping(*m);
                    maps.erase(m);
                    return;
                }
            }
        }
    }
    platform::VerifierFault("MDL_UNMAP_NOT_MAPPED", "MmUnmapLockedPages of %p, which MDL %p has not mapped", BaseAddress,
                            static_cast<void*>(mdl));
}

namespace platform {

void MmFailNextUserMapping(unsigned count) { g_failUserMappings.store(count); }

size_t MmUserViewsOf(uint32_t process)
{
    MdlTable& t = Table();
    std::lock_guard<std::mutex> guard(t.Lock);
    size_t n = 0;
    for (const auto& [mdl, state] : t.States) {
        for (const Mapping& m : state.Mappings) {
            n += m.Mode == UserMode && m.Process == process ? 1 : 0;
        }
    }
    return n;
}

}  // namespace platform
