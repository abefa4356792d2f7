// The vendor control block reader of the feature units of both class versions: the block is read
// as the version's memory read gives it; what its bitmaps or entries mean stays with the version.
#include <cstring>

#include "platform/nt/Pool.h"
#include "topology/Uac1UnitRequest.h"
#include "topology/UsbAudioUnit.h"

namespace {

// Where the device keeps the block's length, and where the block carries it again.
constexpr USHORT VENDOR_BLOCK_LENGTH_OFFSET = 0x0010;
constexpr ULONG VENDOR_BLOCK_LENGTH_FIELD = 16;

USHORT Le16(const UCHAR* p) { return static_cast<USHORT>(p[0] | (p[1] << 8)); }

}  // namespace

PVOID UsbAudioUnit::ReadVendorBlock(VendorMemoryRead pfnRead, ULONG ulMinLength, ULONG ulTag)
{
    const UCHAR id = m_pDescriptor[3];
    if (!NT_SUCCESS(QueryOwnerUsbDevice(m_pOwner))) {
        return nullptr;
    }
    UCHAR length[2] = {};
    if (!NT_SUCCESS(pfnRead(m_pOwner, id, VENDOR_BLOCK_LENGTH_OFFSET, length, sizeof length))) {
        return nullptr;
    }
    // A block shorter than its own header has nothing to speak of.
    const ULONG cbBlock = Le16(length);
    if (cbBlock < ulMinLength) {
        return nullptr;
    }
    auto* pBlock = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, cbBlock, ulTag));
    if (pBlock == nullptr) {
        return nullptr;
    }
    std::memset(pBlock, 0, cbBlock);
    // The whole block must arrive, and the length it carries must lie within what arrived.
    if (!NT_SUCCESS(pfnRead(m_pOwner, id, 0x0000, pBlock, cbBlock))) {
        ExFreePoolWithTag(pBlock, ulTag);
        return nullptr;
    }
    const ULONG carried = Le16(pBlock + VENDOR_BLOCK_LENGTH_FIELD);
    if (carried > cbBlock || carried < ulMinLength) {
        ExFreePoolWithTag(pBlock, ulTag);
        return nullptr;
    }
    return pBlock;
}
