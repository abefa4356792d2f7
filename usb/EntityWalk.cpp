#include "usb/EntityWalk.h"

#include <cstring>

#include "platform/nt/Irql.h"

EntityIdSet::~EntityIdSet()
{
    PAGED_CODE();
    if (m_pBits != nullptr) {
        ExFreePoolWithTag(m_pBits, m_ulTag);
        m_pBits = nullptr;
    }
}

NTSTATUS EntityIdSet::Init(ULONG ulCapacity, ULONG ulTag)
{
    PAGED_CODE();
    if (m_pBits != nullptr) {
        ExFreePoolWithTag(m_pBits, m_ulTag);
        m_pBits = nullptr;
    }
    m_ulCapacity = 0;
    m_ulTag = ulTag;
    if (ulCapacity == 0) {
        return STATUS_SUCCESS;
    }
    const SIZE_T cb = (static_cast<SIZE_T>(ulCapacity) + 7) / 8;
    m_pBits = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, cb, ulTag));
    if (m_pBits == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(m_pBits, 0, cb);
    m_ulCapacity = ulCapacity;
    return STATUS_SUCCESS;
}

BOOLEAN EntityIdSet::Contains(ULONG ulId) const
{
    PAGED_CODE();
    return ulId < m_ulCapacity && (m_pBits[ulId / 8] & (1u << (ulId % 8))) != 0;
}

BOOLEAN EntityIdSet::Insert(ULONG ulId)
{
    PAGED_CODE();
    if (ulId >= m_ulCapacity) {
        return TRUE;
    }
    if (Contains(ulId)) {
        return FALSE;
    }
    m_pBits[ulId / 8] = static_cast<UCHAR>(m_pBits[ulId / 8] | (1u << (ulId % 8)));
    return TRUE;
}

NTSTATUS EntityIdRing::Append(ULONG ulId)
{
    if (FreeSpace() == 0) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    m_ulIds[m_ulWrite] = ulId;
    m_ulWrite = (m_ulWrite + 1) % ENTITY_RING_SLOTS;
    return STATUS_SUCCESS;
}

namespace {

// Whether ids[i] is one the append takes: not met before, and not an earlier id of the same list.
bool IsNew(const ULONG* pIds, ULONG i, const EntityIdSet* pVisited)
{
    if (pVisited != nullptr && pVisited->Contains(pIds[i])) {
        return false;
    }
    for (ULONG k = 0; k < i; ++k) {
        if (pIds[k] == pIds[i]) {
            return pVisited == nullptr;
        }
    }
    return true;
}

}  // namespace

NTSTATUS EntityIdRing::AppendUnvisited(const ULONG* pIds, ULONG ulCount, EntityIdSet* pVisited)
{
    ULONG needed = 0;
    for (ULONG i = 0; i < ulCount; ++i) {
        needed += IsNew(pIds, i, pVisited) ? 1 : 0;
    }
    if (needed > FreeSpace()) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (ULONG i = 0; i < ulCount; ++i) {
        if (IsNew(pIds, i, pVisited)) {
            if (pVisited != nullptr) {
                pVisited->Insert(pIds[i]);
            }
            Append(pIds[i]);
        }
    }
    return STATUS_SUCCESS;
}

ULONG EntityIdRing::Take()
{
    const ULONG id = m_ulIds[m_ulRead];
    m_ulRead = (m_ulRead + 1) % ENTITY_RING_SLOTS;
    return id;
}
