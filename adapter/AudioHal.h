// The registry of one device's entities and endpoints: it owns them, publishes the control-change
// callback object "\Callback\AudioHalAddr%p", wires selector branches and restores stored control
// values. The device object and every USB audio function derive from it.
#pragma once

#include "adapter/AudioTypes.h"
#include "adapter/ObjectList.h"
#include "adapter/TopologyNode.h"
#include "adapter/UnknownBase.h"
#include "platform/nt/Callback.h"
#include "platform/portcls/PortCls.h"

KVX_DEFINE_GUID(IID_IAudioHal, "{7284B608-74F9-4B95-A5BB-EC6DDD0B6F58}");

constexpr ULONG AUDIO_HAL_LIST_TAG = MakePoolTag("HALB");
constexpr ULONG TEMP_NAME_TAG = MakePoolTag("Temp");

class StreamEngine;

class IAudioHal : public IUnknown {
public:
    virtual NTSTATUS GetEndpointCapabilities(ULONG ulIndex, AudioCapabilities* pCapabilities) = 0;
    virtual NTSTATUS GetComponentId(KSCOMPONENTID* pComponentId) = 0;
    virtual ULONG GetEndpointCount() = 0;
    // Without an added reference; *ppEndpoint is null on failure.
    virtual NTSTATUS GetEndpoint(ULONG ulIndex, StreamEngine** ppEndpoint) = 0;
    virtual ULONG GetEntityCount() = 0;
    virtual NTSTATUS GetEntity(ULONG ulIndex, TopologyNode** ppEntity) = 0;
    virtual PDEVICE_OBJECT GetDeviceObject() = 0;
    virtual NTSTATUS Init(PRESOURCELIST pResourceList, PDEVICE_OBJECT pFunctionalDevice, PDEVICE_OBJECT pLowerDevice,
                          PDEVICE_OBJECT pPhysicalDevice) = 0;
    virtual NTSTATUS Start() = 0;
    virtual NTSTATUS Stop() = 0;
    virtual NTSTATUS RegisterCallback(PCALLBACK_FUNCTION pCallback, PVOID pContext, PVOID* ppRegistration) = 0;
    virtual NTSTATUS UnregisterCallback(PVOID pRegistration) = 0;
    virtual NTSTATUS OnPnpIrp(PIRP pIrp) = 0;
    virtual NTSTATUS Configure() = 0;
    virtual NTSTATUS BuildConnections() = 0;
    virtual NTSTATUS GetCapabilities(BOOLEAN bCapture, ULONG ulKind, AudioCapabilities* pCapabilities) = 0;

protected:
    ~IAudioHal() = default;
};

class AudioHal : public UnknownBase, public IAudioHal, public IAdapterPowerManagement {
public:
    DECLARE_UNKNOWN_BASE()

    explicit AudioHal(PUNKNOWN pOuterUnknown);
    ~AudioHal() override;

    // IAudioHal
    NTSTATUS GetEndpointCapabilities(ULONG ulIndex, AudioCapabilities* pCapabilities) override;
    NTSTATUS GetComponentId(KSCOMPONENTID* pComponentId) override;
    ULONG GetEndpointCount() override;
    NTSTATUS GetEndpoint(ULONG ulIndex, StreamEngine** ppEndpoint) override;
    ULONG GetEntityCount() override;
    NTSTATUS GetEntity(ULONG ulIndex, TopologyNode** ppEntity) override;
    PDEVICE_OBJECT GetDeviceObject() override { return m_pFunctionalDevice; }
    NTSTATUS Init(PRESOURCELIST pResourceList, PDEVICE_OBJECT pFunctionalDevice, PDEVICE_OBJECT pLowerDevice,
                  PDEVICE_OBJECT pPhysicalDevice) override;
    NTSTATUS Start() override;
    NTSTATUS Stop() override;
    NTSTATUS RegisterCallback(PCALLBACK_FUNCTION pCallback, PVOID pContext, PVOID* ppRegistration) override;
    NTSTATUS UnregisterCallback(PVOID pRegistration) override;
    NTSTATUS OnPnpIrp(PIRP pIrp) override;
    NTSTATUS Configure() override;
    NTSTATUS BuildConnections() override;
    NTSTATUS GetCapabilities(BOOLEAN bCapture, ULONG ulKind, AudioCapabilities* pCapabilities) override;

    // IAdapterPowerManagement
    VOID PowerChangeState(POWER_STATE NewState) override;
    NTSTATUS QueryPowerChangeState(POWER_STATE NewStateQuery) override;
    NTSTATUS QueryDeviceCapabilities(PDEVICE_CAPABILITIES PowerDeviceCaps) override;

    // Registry operations of the parsers and the topology.
    NTSTATUS AddEntity(TopologyNode* pEntity);
    NTSTATUS AddEndpoint(StreamEngine* pEndpoint);
    // The last entity in list order with the id, without an added reference.
    NTSTATUS FindEntity(ULONG ulId, TopologyNode** ppEntity);
    // Restore of every entity in list order. Bring-up stops at the first failure and returns it;
    // a return to D0 (`bPastFailures`) goes on past a failure, logs it and returns the first, so
    // that one control the device refuses does not leave every later one at the device default.
    NTSTATUS RestoreEntities(BOOLEAN bPastFailures = FALSE);
    NTSTATUS ConnectSelectorBranches();
    NTSTATUS WireSelectorInput(ULONG ulBranchIndex, ISelectorControl* pSelector, ULONG ulEntityId);

    PCALLBACK_OBJECT GetCallbackObject() const { return m_pCallbackObject; }
    DEVICE_POWER_STATE GetPowerState() const { return m_PowerState; }

protected:
    PDEVICE_OBJECT m_pFunctionalDevice;
    PDEVICE_OBJECT m_pLowerDevice;
    PDEVICE_OBJECT m_pPhysicalDevice;
    DEVICE_POWER_STATE m_PowerState;
    PCALLBACK_OBJECT m_pCallbackObject;
    ObjectList* m_pEntities;
    ObjectList* m_pEndpoints;
    AudioCapabilities m_Capabilities;

private:
    NTSTATUS WireSelectorInputAtDepth(ULONG ulBranchIndex, ISelectorControl* pSelector, ULONG ulEntityId,
                                      ULONG ulDepth);
    void DrainLists();
};
