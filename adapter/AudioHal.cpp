#include "adapter/AudioHal.h"
#include "adapter/NamedCallback.h"

#include <cstring>

#include "adapter/StreamEngine.h"
#include "platform/nt/Debug.h"
#include "platform/nt/Ob.h"
#include "platform/nt/Pool.h"
#include "platform/nt/RtlString.h"

namespace {

ObjectList* NewList()
{
    auto* pList = static_cast<ObjectList*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ObjectList), AUDIO_HAL_LIST_TAG));
    return pList != nullptr ? pList->Init() : nullptr;
}

}  // namespace

AudioHal::AudioHal(PUNKNOWN pOuterUnknown)
    : UnknownBase(pOuterUnknown),
      m_pFunctionalDevice(nullptr),
      m_pLowerDevice(nullptr),
      m_pPhysicalDevice(nullptr),
      m_PowerState(PowerDeviceUnspecified),
      m_pCallbackObject(nullptr),
      m_pEntities(nullptr),
      m_pEndpoints(nullptr),
      m_Capabilities{}
{
}

AudioHal::~AudioHal()
{
    DrainLists();
    ReleaseNamedCallback(&m_pCallbackObject);
}

void AudioHal::DrainLists()
{
    if (m_pEntities != nullptr) {
        while (auto* pEntity = m_pEntities->PopHead<TopologyNode>()) {
            pEntity->Release();
        }
        ExFreePoolWithTag(m_pEntities, AUDIO_HAL_LIST_TAG);
        m_pEntities = nullptr;
    }
    if (m_pEndpoints != nullptr) {
        while (auto* pEndpoint = m_pEndpoints->PopHead<StreamEngine>()) {
            pEndpoint->Release();
        }
        ExFreePoolWithTag(m_pEndpoints, AUDIO_HAL_LIST_TAG);
        m_pEndpoints = nullptr;
    }
}

NTSTATUS AudioHal::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    if (ppvObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IAudioHal)) {
        return ReturnInterface(static_cast<IAudioHal*>(this), ppvObject);
    }
    if (IsEqualGUID(iid, IID_IAdapterPowerManagement)) {
        return ReturnInterface(static_cast<IAdapterPowerManagement*>(this), ppvObject);
    }
    *ppvObject = nullptr;
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS AudioHal::GetEndpointCapabilities(ULONG ulIndex, AudioCapabilities* pCapabilities)
{
    UNREFERENCED_PARAMETER(ulIndex);
    if (pCapabilities == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pCapabilities = m_Capabilities;
    return STATUS_SUCCESS;
}

NTSTATUS AudioHal::GetComponentId(KSCOMPONENTID* pComponentId)
{
    UNREFERENCED_PARAMETER(pComponentId);
    return STATUS_INVALID_DEVICE_REQUEST;
}

ULONG AudioHal::GetEndpointCount() { return m_pEndpoints != nullptr ? static_cast<ULONG>(m_pEndpoints->GetCount()) : 0; }

NTSTATUS AudioHal::GetEndpoint(ULONG ulIndex, StreamEngine** ppEndpoint)
{
    if (ppEndpoint == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *ppEndpoint = nullptr;
    if (m_pEndpoints == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    *ppEndpoint = m_pEndpoints->GetAt<StreamEngine>(ulIndex);
    return *ppEndpoint != nullptr ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

ULONG AudioHal::GetEntityCount() { return m_pEntities != nullptr ? static_cast<ULONG>(m_pEntities->GetCount()) : 0; }

NTSTATUS AudioHal::GetEntity(ULONG ulIndex, TopologyNode** ppEntity)
{
    if (ppEntity == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *ppEntity = nullptr;
    if (m_pEntities == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    *ppEntity = m_pEntities->GetAt<TopologyNode>(ulIndex);
    return *ppEntity != nullptr ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

NTSTATUS AudioHal::Init(PRESOURCELIST pResourceList, PDEVICE_OBJECT pFunctionalDevice, PDEVICE_OBJECT pLowerDevice,
                        PDEVICE_OBJECT pPhysicalDevice)
{
    UNREFERENCED_PARAMETER(pResourceList);
    PWSTR pName = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    if (m_pEntities != nullptr || m_pEndpoints != nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    m_pEntities = NewList();
    m_pEndpoints = NewList();
    if (m_pEntities == nullptr || m_pEndpoints == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status)) {
        pName = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, NAME_BUFFER_BYTES, TEMP_NAME_TAG));
        if (pName == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    if (NT_SUCCESS(status)) {
        RtlStringCbPrintfW(pName, NAME_BUFFER_BYTES, u"\\Callback\\AudioHalAddr%p", this);
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, pName);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, nullptr, nullptr);
        status = ExCreateCallback(&m_pCallbackObject, &attributes, TRUE, TRUE);
    }
    if (NT_SUCCESS(status)) {
        m_pPhysicalDevice = pPhysicalDevice;
        m_pFunctionalDevice = pFunctionalDevice;
        m_pLowerDevice = pLowerDevice;
        m_PowerState = PowerDeviceD0;
        status = Configure();
    }
    if (NT_SUCCESS(status)) {
        status = BuildConnections();
    }
    if (pName != nullptr) {
        ExFreePoolWithTag(pName, TEMP_NAME_TAG);
    }
    if (!NT_SUCCESS(status)) {
        DrainLists();
    }
    return status;
}

NTSTATUS AudioHal::Start()
{
    for (ULONG i = 0; i < GetEntityCount(); ++i) {
        TopologyNode* pEntity = nullptr;
        if (NT_SUCCESS(GetEntity(i, &pEntity))) {
            pEntity->OnStart();
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS AudioHal::Stop()
{
    for (ULONG i = 0; i < GetEntityCount(); ++i) {
        TopologyNode* pEntity = nullptr;
        if (NT_SUCCESS(GetEntity(i, &pEntity))) {
            pEntity->OnStop();
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS AudioHal::RegisterCallback(PCALLBACK_FUNCTION pCallback, PVOID pContext, PVOID* ppRegistration)
{
    return RegisterOnNamedCallback(m_pCallbackObject, pCallback, pContext, ppRegistration);
}

NTSTATUS AudioHal::UnregisterCallback(PVOID pRegistration)
{
    ExUnregisterCallback(pRegistration);
    return STATUS_SUCCESS;
}

NTSTATUS AudioHal::OnPnpIrp(PIRP pIrp)
{
    UNREFERENCED_PARAMETER(pIrp);
    return STATUS_SUCCESS;
}

NTSTATUS AudioHal::Configure() { return STATUS_NOT_IMPLEMENTED; }

NTSTATUS AudioHal::BuildConnections()
{
    const NTSTATUS status = ConnectSelectorBranches();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return RestoreEntities();
}

NTSTATUS AudioHal::GetCapabilities(BOOLEAN bCapture, ULONG ulKind, AudioCapabilities* pCapabilities)
{
    UNREFERENCED_PARAMETER(bCapture);
    UNREFERENCED_PARAMETER(ulKind);
    if (pCapabilities == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pCapabilities = m_Capabilities;
    return STATUS_SUCCESS;
}

VOID AudioHal::PowerChangeState(POWER_STATE NewState)
{
    const DEVICE_POWER_STATE state = NewState.DeviceState;
    if (state == m_PowerState) {
        return;
    }
    if (state == PowerDeviceD0) {
        RestoreEntities(TRUE);
        m_PowerState = state;
    } else if (state == PowerDeviceD1 || state == PowerDeviceD2 || state == PowerDeviceD3) {
        m_PowerState = state;
    }
}

NTSTATUS AudioHal::QueryPowerChangeState(POWER_STATE NewStateQuery)
{
    UNREFERENCED_PARAMETER(NewStateQuery);
    return STATUS_SUCCESS;
}

NTSTATUS AudioHal::QueryDeviceCapabilities(PDEVICE_CAPABILITIES PowerDeviceCaps)
{
    if (PowerDeviceCaps == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    PowerDeviceCaps->SurpriseRemovalOK = 1;
    return STATUS_SUCCESS;
}

NTSTATUS AudioHal::AddEntity(TopologyNode* pEntity)
{
    if (pEntity == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_pEntities == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    return AppendReferenced(m_pEntities, pEntity);
}

NTSTATUS AudioHal::AddEndpoint(StreamEngine* pEndpoint)
{
    if (pEndpoint == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_pEndpoints == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    return AppendReferenced(m_pEndpoints, pEndpoint);
}

NTSTATUS AudioHal::FindEntity(ULONG ulId, TopologyNode** ppEntity)
{
    if (ppEntity == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *ppEntity = nullptr;
    if (m_pEntities == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    for (TopologyNode* pEntity : m_pEntities->Items<TopologyNode>()) {
        if (pEntity->GetId() == ulId) {
            *ppEntity = pEntity;
        }
    }
    return *ppEntity != nullptr ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS AudioHal::RestoreEntities(BOOLEAN bPastFailures)
{
    NTSTATUS status = STATUS_SUCCESS;
    NTSTATUS firstFailure = STATUS_SUCCESS;
    for (ULONG i = 0; i < GetEntityCount(); ++i) {
        TopologyNode* pEntity = nullptr;
        if (!NT_SUCCESS(GetEntity(i, &pEntity))) {
            continue;
        }
        status = pEntity->Restore();
        if (!NT_SUCCESS(status)) {
            if (!bPastFailures) {
                return status;
            }
            DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_WARNING_LEVEL, "AudioHal: entity %lu not restored: 0x%08x\n",
                       pEntity->GetId(), static_cast<unsigned>(status));
            if (NT_SUCCESS(firstFailure)) {
                firstFailure = status;
            }
        }
    }
    return NT_SUCCESS(firstFailure) ? status : firstFailure;
}

NTSTATUS AudioHal::ConnectSelectorBranches()
{
    constexpr ULONG MAX_WIRED_SELECTOR_INPUTS = 10;
    for (ULONG i = 0; i < GetEntityCount(); ++i) {
        TopologyNode* pEntity = nullptr;
        if (!NT_SUCCESS(GetEntity(i, &pEntity)) || pEntity->GetType() != ENTITY_SELECTOR) {
            continue;
        }
        ULONG ulCount = pEntity->GetSourceCount();
        if (ulCount > MAX_WIRED_SELECTOR_INPUTS) {
            continue;
        }
        ULONG ids[MAX_WIRED_SELECTOR_INPUTS] = {};
        pEntity->GetSources(&ulCount, ids);
        PVOID pRaw = nullptr;
        if (!NT_SUCCESS(pEntity->QueryInterface(IID_ISelectorControl, &pRaw))) {
            continue;
        }
        auto* pSelector = static_cast<ISelectorControl*>(pRaw);
        for (ULONG j = 0; j < ulCount; ++j) {
            WireSelectorInput(j + 1, pSelector, ids[j]);
        }
        pSelector->Release();
    }
    return STATUS_SUCCESS;
}

NTSTATUS AudioHal::WireSelectorInput(ULONG ulBranchIndex, ISelectorControl* pSelector, ULONG ulEntityId)
{
    return WireSelectorInputAtDepth(ulBranchIndex, pSelector, ulEntityId, 0);
}

NTSTATUS AudioHal::WireSelectorInputAtDepth(ULONG ulBranchIndex, ISelectorControl* pSelector, ULONG ulEntityId,
                                            ULONG ulDepth)
{
    TopologyNode* pEntity = nullptr;
    if (!NT_SUCCESS(FindEntity(ulEntityId, &pEntity))) {
        return STATUS_UNSUCCESSFUL;
    }
    if (pEntity->GetSourceCount() != 1) {
        return STATUS_SUCCESS;
    }
    // A chain longer than the entity list loops back on itself (a malformed descriptor set):
    // it is not followed further.
    if (ulDepth < GetEntityCount()) {
        ULONG ulCount = 1;
        ULONG ulSource = 0;
        pEntity->GetSources(&ulCount, &ulSource);
        WireSelectorInputAtDepth(ulBranchIndex, pSelector, ulSource, ulDepth + 1);
    }
    ULONG ulCurrent = 0;
    pSelector->GetSelected(&ulCurrent);
    PVOID pRaw = nullptr;
    if (!NT_SUCCESS(pEntity->QueryInterface(IID_ISelectorBranchControl, &pRaw))) {
        return STATUS_SUCCESS;
    }
    auto* pBranch = static_cast<ISelectorBranchControl*>(pRaw);
    pSelector->AddBranchControl(pBranch);
    pBranch->SetBranchIndex(ulBranchIndex);
    pBranch->SetSelectedInput(ulCurrent);
    pBranch->Release();
    return STATUS_SUCCESS;
}
