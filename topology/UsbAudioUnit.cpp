#include "topology/UsbAudioUnit.h"

#include <cstring>

#include "platform/nt/Pool.h"
#include "adapter/UsbDevice.h"

namespace {

// Entity types whose first source is fed by the entity before them in the chain: the controls,
// output and multi-output terminals and processing blocks. Input terminals, selectors, mixers and
// clocks keep their own sources.
bool TakesChainedSource(LONG lType)
{
    switch (lType) {
    case 1: case 2: case 3: case 6: case 7: case 8: case 9: case 10: case 11:
    case 13: case 15: case 18: case 19: case 20: case 22: case 23:
        return true;
    default:
        return false;
    }
}

// The source-id array of another node. The pointer to member is formed through this class, which
// may name its base's protected fields; the nodes are never resized here, only written in place.
struct SourceAccess : TopologyNode {
    static PULONG Sources(TopologyNode* pNode) { return pNode->*(&SourceAccess::m_pSourceIds); }
};

}  // namespace

NTSTATUS UnitControlRequest(IAudioHal* owner, UCHAR id, USHORT function, UCHAR request, USHORT value, BOOLEAN read,
                            PVOID buffer, ULONG length)
{
    if (owner == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    IUsbDevice* pUsb = nullptr;
    NTSTATUS status = owner->QueryInterface(IID_IUsbDevice, reinterpret_cast<PVOID*>(&pUsb));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // The request completes (or is cancelled and waited for) before SubmitUrbSync returns, so the
    // URB may live on this stack.
    URB urb;
    std::memset(&urb, 0, sizeof(urb));
    _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& r = urb.UrbControlVendorClassRequest;
    r.Hdr.Length = UNIT_CONTROL_URB_LENGTH;
    r.Hdr.Function = function;
    r.TransferFlags = read ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT;
    r.TransferBufferLength = length;
    r.TransferBuffer = buffer;
    r.TransferBufferMDL = nullptr;
    r.UrbLink = nullptr;
    r.RequestTypeReservedBits = 0;
    r.Request = request;
    r.Value = value;
    r.Index = static_cast<USHORT>((static_cast<USHORT>(id) << 8) + pUsb->GetAudioControlInterfaceNumber());
    status = pUsb->SubmitUrbSync(&urb);
    pUsb->Release();
    return status;
}

UsbAudioUnit::UsbAudioUnit(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId)
    : TopologyNode(pOuterUnknown, ulProvisionalId, 0), m_pOwner(nullptr), m_pDescriptor(nullptr), m_pEntities(nullptr)
{
}

UsbAudioUnit::~UsbAudioUnit()
{
    if (m_pDescriptor != nullptr) {
        ExFreePoolWithTag(m_pDescriptor, USB_AUDIO_UNIT_TAG);
        m_pDescriptor = nullptr;
    }
    if (m_pEntities != nullptr) {
        while (auto* pEntity = m_pEntities->PopHead<TopologyNode>()) {
            pEntity->Release();
        }
        ExFreePoolWithTag(m_pEntities, USB_AUDIO_UNIT_TAG);
        m_pEntities = nullptr;
    }
}

NTSTATUS UsbAudioUnit::SetDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner)
{
    if (pDescriptor == nullptr || pOwner == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG cb = pDescriptor[0];
    // A zero bLength still gets a (one-byte) block, so that the copy always exists after success.
    auto* pCopy = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, cb != 0 ? cb : 1, USB_AUDIO_UNIT_TAG));
    auto* pList = static_cast<ObjectList*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ObjectList), USB_AUDIO_UNIT_TAG));
    if (pCopy == nullptr || pList == nullptr) {
        if (pCopy != nullptr) {
            ExFreePoolWithTag(pCopy, USB_AUDIO_UNIT_TAG);
        }
        if (pList != nullptr) {
            ExFreePoolWithTag(pList, USB_AUDIO_UNIT_TAG);
        }
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(pCopy, 0, cb != 0 ? cb : 1);
    std::memcpy(pCopy, pDescriptor, cb);
    pList->Init();
    // A second call (not made by the parsers) replaces the first one's storage.
    if (m_pDescriptor != nullptr) {
        ExFreePoolWithTag(m_pDescriptor, USB_AUDIO_UNIT_TAG);
    }
    if (m_pEntities != nullptr) {
        while (auto* pEntity = m_pEntities->PopHead<TopologyNode>()) {
            pEntity->Release();
        }
        ExFreePoolWithTag(m_pEntities, USB_AUDIO_UNIT_TAG);
    }
    m_pDescriptor = pCopy;
    m_pEntities = pList;
    m_pOwner = pOwner;
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioUnit::HandleStatusChange(ULONG, ULONG, PULONG pulId)
{
    if (pulId == nullptr || m_pEntities == nullptr || m_pEntities->GetCount() != 1) {
        return STATUS_UNSUCCESSFUL;
    }
    return GetFirstEntityId(pulId);
}

NTSTATUS UsbAudioUnit::AddEntity(TopologyNode* pEntity)
{
    if (pEntity == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_pEntities == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    pEntity->AddRef();
    if (m_pEntities->Prepend(pEntity) == nullptr) {
        pEntity->Release();
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioUnit::GetEntity(ULONG ulIndex, TopologyNode** ppEntity)
{
    if (m_pEntities == nullptr || ppEntity == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    if (auto* pEntity = m_pEntities->GetAt<TopologyNode>(ulIndex)) {
        *ppEntity = pEntity;
    }
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioUnit::GetEntityCount(PULONG pulCount)
{
    if (m_pEntities == nullptr || pulCount == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    *pulCount = static_cast<ULONG>(m_pEntities->GetCount());
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioUnit::GetFirstEntityId(PULONG pulId)
{
    TopologyNode* pFirst = m_pEntities != nullptr ? m_pEntities->PeekTail<TopologyNode>() : nullptr;
    if (pulId == nullptr || pFirst == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    *pulId = pFirst->GetId();
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioUnit::SetInputIds(ULONG ulCount, const ULONG* pIds)
{
    TopologyNode* pInput = m_pEntities != nullptr ? m_pEntities->PeekHead<TopologyNode>() : nullptr;
    if (pIds == nullptr || pInput == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    const LONG lType = pInput->GetType();
    const ULONG ulSourceCount = pInput->GetSourceCount();
    PULONG pSources = SourceAccess::Sources(pInput);
    if (lType == ENTITY_MIXER || lType == ENTITY_SELECTOR) {
        // Only a full set of inputs replaces them; a mismatch keeps what Init left.
        if (ulCount == ulSourceCount && ulCount != 0) {
            std::memcpy(pSources, pIds, ulCount * sizeof(ULONG));
        }
        return STATUS_SUCCESS;
    }
    if (lType == 0 || lType == 12 || lType == 14 || lType == 16 || lType == 17 || lType == 21 || lType < 0 ||
        lType > 23) {
        return STATUS_SUCCESS;
    }
    // An entity without a source slot, or no id given, has nothing to take.
    if (ulCount != 0 && ulSourceCount != 0) {
        pSources[0] = pIds[0];
    }
    return STATUS_SUCCESS;
}

void UsbAudioUnit::ChainEntities()
{
    TopologyNode* pHead = m_pEntities != nullptr ? m_pEntities->PeekHead<TopologyNode>() : nullptr;
    if (pHead == nullptr) {
        return;
    }
    ULONG ulCurrent = pHead->GetId();
    const ULONG ulCount = static_cast<ULONG>(m_pEntities->GetCount());
    for (ULONG i = 1; i < ulCount; ++i) {
        auto* pEntity = m_pEntities->GetAt<TopologyNode>(i);
        if (pEntity == nullptr) {
            break;
        }
        const LONG lType = pEntity->GetType();
        if (TakesChainedSource(lType) && pEntity->GetSourceCount() != 0) {
            SourceAccess::Sources(pEntity)[0] = ulCurrent;
        }
        // An output terminal feeds nothing: the entities after it share its predecessor.
        if (lType != ENTITY_OUTPUT_TERMINAL) {
            ulCurrent = pEntity->GetId();
        }
    }
}

NTSTATUS UsbAudioUnit::ControlRequest(USHORT function, UCHAR request, USHORT value, BOOLEAN read, PVOID buffer,
                                      ULONG length)
{
    return UnitControlRequest(m_pOwner, static_cast<UCHAR>(m_ulId), function, request, value, read, buffer, length);
}

NTSTATUS UsbAudioUnit::QueryUnitInterfaces(REFIID iid, PVOID* ppvObject, const UnitInterface* pInterfaces,
                                           ULONG ulCount)
{
    NTSTATUS status = TopologyNode::NonDelegatingQueryInterface(iid, ppvObject);
    if (NT_SUCCESS(status) || ppvObject == nullptr) {
        return status;
    }
    for (ULONG i = 0; i < ulCount; ++i) {
        if (IsEqualGUID(iid, *pInterfaces[i].pIid)) {
            return ReturnInterface(pInterfaces[i].pInterface, ppvObject);
        }
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS UsbAudioUnit::AddCreatedEntity(IAudioHal* pHal, TopologyNode* pEntity, PULONG pulNextId)
{
    if (pHal == nullptr || pEntity == nullptr || pulNextId == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    // Every function is an AudioHal; the interface is how the parsers hand it over.
    NTSTATUS status = static_cast<AudioHal*>(pHal)->AddEntity(pEntity);
    if (NT_SUCCESS(status)) {
        status = AddEntity(pEntity);
    }
    if (NT_SUCCESS(status)) {
        ++*pulNextId;
    }
    return status;
}
