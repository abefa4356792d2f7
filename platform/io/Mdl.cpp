// Memory descriptor lists. Every buffer of the stand-in is resident and visible to every
// "process", so describing and mapping is bookkeeping only.
#include <cstring>

#include "platform/io/IoInternal.h"
#include "platform/nt/Pool.h"
#include "platform/nt/Verifier.h"

namespace {
constexpr uintptr_t PAGE_MASK = 0xFFF;
}

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp)
{
    UNREFERENCED_PARAMETER(ChargeQuota);
    auto* mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(MDL), platform::IO_MDL_TAG));
    if (mdl == nullptr) {
        return nullptr;
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
    if (Mdl->UserMappings != 0) {
        platform::VerifierFault("MDL_FREE_MAPPED", "MDL %p freed with %d user mappings left", static_cast<void*>(Mdl),
                                static_cast<int>(Mdl->UserMappings));
    }
    ExFreePoolWithTag(Mdl, platform::IO_MDL_TAG);
}

VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList)
{
    MemoryDescriptorList->MappedSystemVa = MmGetMdlVirtualAddress(MemoryDescriptorList);
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority)
{
    UNREFERENCED_PARAMETER(Priority);
    if ((Mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) == 0) {
        Mdl->MappedSystemVa = MmGetMdlVirtualAddress(Mdl);
        Mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
    }
    return Mdl->MappedSystemVa;
}

PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode,
                                   MEMORY_CACHING_TYPE CacheType, PVOID RequestedAddress, ULONG BugCheckOnFailure,
                                   ULONG Priority)
{
    UNREFERENCED_PARAMETER(CacheType);
    UNREFERENCED_PARAMETER(RequestedAddress);
    UNREFERENCED_PARAMETER(BugCheckOnFailure);
    if (AccessMode == UserMode) {
        MemoryDescriptorList->UserMappings++;
        return MmGetMdlVirtualAddress(MemoryDescriptorList);
    }
    return MmGetSystemAddressForMdlSafe(MemoryDescriptorList, Priority);
}

VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList)
{
    UNREFERENCED_PARAMETER(BaseAddress);
    if (MemoryDescriptorList->UserMappings > 0) {
        MemoryDescriptorList->UserMappings--;
    } else {
        MemoryDescriptorList->MdlFlags &= static_cast<SHORT>(~MDL_MAPPED_TO_SYSTEM_VA);
    }
}
