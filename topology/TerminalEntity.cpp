#include "topology/TerminalEntity.h"

#include <cstring>

#include "topology/EntityCommon.h"

namespace {
constexpr ULONG MAX_TERMINAL_KINDS = 5;
}

TerminalEntity::TerminalEntity(PUNKNOWN pOuterUnknown, ULONG ulId, LONG lType)
    : TopologyNode(pOuterUnknown, ulId, lType),
      m_ulKindCount(0),
      m_pKinds(nullptr),
      m_ulActiveKind(0),
      m_ulJackCount(0),
      m_TerminalInfo{},
      m_pJacks(nullptr)
{
}

TerminalEntity::~TerminalEntity() { FreeStorage(); }

void TerminalEntity::FreeStorage()
{
    if (m_pKinds != nullptr) {
        ExFreePoolWithTag(m_pKinds, TERMINAL_TAG);
        m_pKinds = nullptr;
    }
    if (m_pJacks != nullptr) {
        ExFreePoolWithTag(m_pJacks, TERMINAL_TAG);
        m_pJacks = nullptr;
    }
    m_ulKindCount = 0;
    m_ulJackCount = 0;
}

NTSTATUS TerminalEntity::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    NTSTATUS status = TopologyNode::NonDelegatingQueryInterface(iid, ppvObject);
    if (NT_SUCCESS(status) || ppvObject == nullptr) {
        return status;
    }
    if (IsEqualGUID(iid, IID_ITerminalControl)) {
        return ReturnInterface(static_cast<ITerminalControl*>(this), ppvObject);
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS TerminalEntity::GetKind(PULONG pKind)
{
    if (pKind == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pKind = LoadRelaxed(&m_ulActiveKind);
    return STATUS_SUCCESS;
}

NTSTATUS TerminalEntity::GetKindCount(PULONG pCount)
{
    if (pCount == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pCount = m_ulKindCount;
    return STATUS_SUCCESS;
}

NTSTATUS TerminalEntity::GetKinds(PULONG pKinds)
{
    if (pKinds == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_ulKindCount != 0) {
        std::memcpy(pKinds, m_pKinds, m_ulKindCount * sizeof(ULONG));
    }
    return STATUS_SUCCESS;
}

NTSTATUS TerminalEntity::SelectKind(ULONG ulKind)
{
    for (ULONG i = 0; i < m_ulKindCount; ++i) {
        if (m_pKinds[i] == ulKind) {
            StoreRelaxed(&m_ulActiveKind, ulKind);
            return STATUS_SUCCESS;
        }
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS TerminalEntity::GetJackCount(PULONG pCount, ULONG)
{
    if (pCount == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pCount = m_ulJackCount;
    return STATUS_SUCCESS;
}

NTSTATUS TerminalEntity::GetJackDescriptions(ULONG cbBytes, JackRecord* pRecords, ULONG)
{
    if (pRecords == nullptr || cbBytes == 0 || m_pJacks == nullptr || m_ulJackCount == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    const SIZE_T cbAll = static_cast<SIZE_T>(m_ulJackCount) * sizeof(JackRecord);
    std::memcpy(pRecords, m_pJacks, cbBytes < cbAll ? cbBytes : cbAll);
    return STATUS_SUCCESS;
}

NTSTATUS TerminalEntity::GetTerminalInfo(UCHAR* pInfo)
{
    if (pInfo == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::memcpy(pInfo, &m_TerminalInfo, sizeof(m_TerminalInfo));
    return STATUS_SUCCESS;
}

NTSTATUS TerminalEntity::InitTerminal(ULONG ulSourceCount, ULONG ulSourceId, ULONG ulKindCount, const ULONG* pKinds,
                                      ULONG ulJackCount, const JackRecord* pJacks)
{
    if (ulKindCount == 0 || ulKindCount > MAX_TERMINAL_KINDS || pKinds == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    // Counted jacks need their records: copying from null would fault.
    if (ulJackCount != 0 && pJacks == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* pNewKinds =
        static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, ulKindCount * sizeof(ULONG), TERMINAL_TAG));
    if (pNewKinds == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    JackRecord* pNewJacks = nullptr;
    const SIZE_T cbJacks = static_cast<SIZE_T>(ulJackCount) * sizeof(JackRecord);
    if (ulJackCount != 0) {
        pNewJacks = static_cast<JackRecord*>(ExAllocatePoolWithTag(PagedPool, cbJacks, TERMINAL_TAG));
        if (pNewJacks == nullptr) {
            ExFreePoolWithTag(pNewKinds, TERMINAL_TAG);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    NTSTATUS status = TopologyNode::SetSources(ulSourceCount, ulSourceCount != 0 ? &ulSourceId : nullptr);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(pNewKinds, TERMINAL_TAG);
        if (pNewJacks != nullptr) {
            ExFreePoolWithTag(pNewJacks, TERMINAL_TAG);
        }
        return status;
    }
    FreeStorage();
    std::memcpy(pNewKinds, pKinds, ulKindCount * sizeof(ULONG));
    if (pNewJacks != nullptr) {
        std::memcpy(pNewJacks, pJacks, cbJacks);
    }
    m_pKinds = pNewKinds;
    m_ulKindCount = ulKindCount;
    m_ulActiveKind = pKinds[0];
    m_pJacks = pNewJacks;
    m_ulJackCount = ulJackCount;
    return STATUS_SUCCESS;
}

NTSTATUS MixerEntity::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    NTSTATUS status = TopologyNode::NonDelegatingQueryInterface(iid, ppvObject);
    if (NT_SUCCESS(status) || ppvObject == nullptr) {
        return status;
    }
    if (IsEqualGUID(iid, IID_IEntityMixer)) {
        return ReturnInterface(static_cast<IEntityMixer*>(this), ppvObject);
    }
    if (IsTerminalMode() && IsEqualGUID(iid, IID_ITerminalControl)) {
        return ReturnInterface(static_cast<ITerminalControl*>(this), ppvObject);
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS MixerEntity::SetSources(ULONG ulCount, const ULONG* pIds)
{
    // Set up as a possible stereo-mix input terminal first: one kind, one jack.
    auto* pKinds = static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, sizeof(ULONG), TERMINAL_TAG));
    if (pKinds == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* pJack = static_cast<JackRecord*>(ExAllocatePoolWithTag(PagedPool, sizeof(JackRecord), TERMINAL_TAG));
    if (pJack == nullptr) {
        ExFreePoolWithTag(pKinds, TERMINAL_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    FreeStorage();
    pKinds[0] = ENDPOINT_KIND_STEREO_MIX;
    std::memset(pJack, 0, sizeof(JackRecord));
    pJack->ChannelMapping = 3;
    pJack->Color = 0;
    pJack->ConnectionType = 7;
    pJack->GeoLocation = 14;
    pJack->GenLocation = 1;
    pJack->PortConnection = 1;
    pJack->IsConnected = 1;
    m_pKinds = pKinds;
    m_ulKindCount = 1;
    m_ulActiveKind = ENDPOINT_KIND_STEREO_MIX;
    m_pJacks = pJack;
    m_ulJackCount = 1;

    // A failed SetSources has dropped the old ids, so the saved count follows the stored one
    // either way (leaving terminal mode must never claim ids that are gone).
    NTSTATUS status = TopologyNode::SetSources(ulCount, pIds);
    m_ulSavedSourceCount = m_ulSourceCount;
    if (IsTerminalMode()) {
        m_ulSourceCount = 0;
    }
    return status;
}

NTSTATUS MixerEntity::SetTerminalMode(BOOLEAN asInputTerminal)
{
    if (asInputTerminal) {
        m_lType = ENTITY_INPUT_TERMINAL;
        m_ulSourceCount = 0;  // the ids stay in place for the way back
    } else {
        m_lType = ENTITY_MIXER;
        m_ulSourceCount = m_ulSavedSourceCount;
    }
    m_bTerminalMode = asInputTerminal ? 1 : 0;
    return STATUS_SUCCESS;
}
