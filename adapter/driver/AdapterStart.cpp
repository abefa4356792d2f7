// StartDevice and the subdevice installer: the device object is created and brought up, the
// topology filter installed, every endpoint named and given its wave filter, and the private
// interfaces enabled.
#include <cstring>

#include "adapter/driver/Adapter.h"
#include "adapter/driver/AdapterDeviceFactory.h"
#include "adapter/StreamEngine.h"
#include "adapter/SubdeviceName.h"
#include "platform/nt/RtlString.h"
#include "stream/WaveMiniport.h"
#include "topology/TopologyMiniport.h"
#include "usb/UsbAudioDevice.h"

namespace {

NTSTATUS CreateUsbAudioDevice(PUNKNOWN* ppDevice)
{
    IAudioHal* pHal = nullptr;
    const NTSTATUS status = UsbAudioDevice::Create(&pHal);
    *ppDevice = pHal;
    return status;
}

PFN_CREATE_ADAPTER_DEVICE g_pfnCreateDevice = CreateUsbAudioDevice;

NTSTATUS CheckPortClsVersion()
{
    PPORT pPort = nullptr;
    NTSTATUS status = PcNewPort(&pPort, CLSID_PortWaveCyclic);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PVOID pRaw = nullptr;
    status = STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(pPort->QueryInterface(IID_IPortClsVersion, &pRaw)) && pRaw != nullptr) {
        auto* pVersion = static_cast<IPortClsVersion*>(pRaw);
        const DWORD version = pVersion->GetVersion();
        if (version != PORTCLS_VERSION_INVALID && version >= ADAPTER_MIN_PORTCLS_VERSION) {
            status = STATUS_SUCCESS;
        }
        pVersion->Release();
    }
    pPort->Release();
    return status;
}

// Names the endpoint "%sOut%02d" / "%sIn%02d" from its kind's prefix and the kind's next number,
// hands it the wave miniport and the topology wiring, and registers its wave filter.
NTSTATUS SetUpEndpoint(AdapterExtension* pExtension, StreamEngine* pEndpoint, PWSTR pName,
                       PDEVICE_OBJECT pFunctionalDevice, PIRP pIrp, PUNKNOWN pDevice, PUNKNOWN pTopologyPort,
                       PUNKNOWN pTopologyMiniport)
{
    const ULONG ulKind = pEndpoint->GetKind();
    if (ulKind >= ENDPOINT_KIND_COUNT) {
        return STATUS_INVALID_PARAMETER;
    }
    const bool bCapture = pEndpoint->IsCapture() != FALSE;
    UCHAR* pCounter =
        bCapture ? &pExtension->CaptureNameCounters[ulKind] : &pExtension->RenderNameCounters[ulKind];
    const ULONG ulNumber = (*pCounter)++;
    // A name longer than the buffer is cut to what it holds.
    FormatEndpointKindName(pName, NAME_BUFFER_BYTES, bCapture, ulKind, ulNumber);
    NTSTATUS status = pEndpoint->SetName(pName);
    if (NT_SUCCESS(status)) {
        status = pEndpoint->SetMiniportFactory(CreateMiniportWaveCyclic, CLSID_PortWaveCyclic);
    }
    if (NT_SUCCESS(status)) {
        status = pEndpoint->SetTopologyPort(pTopologyPort, pTopologyMiniport);
    }
    if (NT_SUCCESS(status)) {
        status = pEndpoint->RegisterWave(pFunctionalDevice, pIrp, pDevice);
    }
    return status;
}

NTSTATUS CreateTopologyMiniport(PUNKNOWN* ppUnknown, REFCLSID ClassId, PUNKNOWN pOuterUnknown, POOL_TYPE PoolType)
{
    return CreateMiniportTopology(ppUnknown, ClassId, pOuterUnknown, PoolType);
}

}  // namespace

void AdapterSetDeviceFactory(PFN_CREATE_ADAPTER_DEVICE pFactory)
{
    g_pfnCreateDevice = pFactory != nullptr ? pFactory : CreateUsbAudioDevice;
}

NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList)
{
    AdapterExtension* pExtension = GetAdapterExtension(DeviceObject);
    if (pExtension == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = CheckPortClsVersion();
    if (!NT_SUCCESS(status)) {
        return STATUS_UNSUCCESSFUL;
    }

    PUNKNOWN pDevice = nullptr;
    IAudioHal* pHal = nullptr;
    PWSTR pName = nullptr;
    PUNKNOWN pTopologyPort = nullptr;
    PUNKNOWN pTopologyMiniport = nullptr;
    bool bAsioCapable = false;

    status = g_pfnCreateDevice(&pDevice);
    if (NT_SUCCESS(status) && pDevice == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status)) {
        PVOID pRaw = nullptr;
        status = pDevice->QueryInterface(IID_IAudioHal, &pRaw);
        pHal = static_cast<IAudioHal*>(pRaw);
    }
    if (NT_SUCCESS(status)) {
        status = pHal->Init(ResourceList, DeviceObject, pExtension->LowerDevice, pExtension->PhysicalDevice);
    }
    if (NT_SUCCESS(status)) {
        status = PcRegisterAdapterPowerManagement(pHal, DeviceObject);
    }
    if (NT_SUCCESS(status)) {
        pName = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, NAME_BUFFER_BYTES, TEMP_NAME_TAG));
        if (pName == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            std::memset(pName, 0, NAME_BUFFER_BYTES);
        }
    }
    if (NT_SUCCESS(status)) {
        status = InstallSubdevice(DeviceObject, Irp, CLSID_PortTopology, CLSID_PortTopology, CreateTopologyMiniport,
                                  pDevice, &pTopologyPort, &pTopologyMiniport);
    }
    if (NT_SUCCESS(status)) {
        const ULONG ulCount = pHal->GetEndpointCount();
        for (ULONG i = 0; i < ulCount && NT_SUCCESS(status); ++i) {
            StreamEngine* pEndpoint = nullptr;
            status = pHal->GetEndpoint(i, &pEndpoint);
            if (NT_SUCCESS(status)) {
                status = SetUpEndpoint(pExtension, pEndpoint, pName, DeviceObject, Irp, pDevice, pTopologyPort,
                                       pTopologyMiniport);
            }
            if (NT_SUCCESS(status)) {
                AudioCapabilities capabilities;
                std::memset(&capabilities, 0, sizeof(capabilities));
                pHal->GetEndpointCapabilities(i, &capabilities);
                if ((capabilities.Flags & AUDIO_CAPABILITY_ASIO) != 0) {
                    bAsioCapable = true;
                }
            }
        }
    }
    if (NT_SUCCESS(status)) {
        status = pHal->Start();
    }
    if (NT_SUCCESS(status) && bAsioCapable && pExtension->AsioInterfaceRegistered &&
        !pExtension->AsioInterfaceEnabled) {
        if (NT_SUCCESS(IoSetDeviceInterfaceState(&pExtension->AsioSymbolicLink, TRUE))) {
            pExtension->AsioInterfaceEnabled = TRUE;
        }
    }
    if (NT_SUCCESS(status) && !pExtension->EnumInterfaceEnabled) {
        status = IoSetDeviceInterfaceState(&pExtension->EnumSymbolicLink, TRUE);
        if (NT_SUCCESS(status)) {
            pExtension->EnumInterfaceEnabled = TRUE;
        }
    }
    if (NT_SUCCESS(status)) {
        // A device held from an earlier start gives way to the new one.
        if (pExtension->Device != nullptr) {
            pExtension->Device->Release();
        }
        pExtension->Device = pHal;
        pHal->AddRef();
    }

    if (pHal != nullptr) {
        pHal->Release();
    }
    if (pDevice != nullptr) {
        pDevice->Release();
    }
    if (pTopologyPort != nullptr) {
        pTopologyPort->Release();
    }
    if (pName != nullptr) {
        ExFreePoolWithTag(pName, TEMP_NAME_TAG);
    }
    return status;
}

NTSTATUS InstallSubdevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, REFCLSID PortClassId, REFCLSID MiniportClassId,
                          PFN_CREATE_MINIPORT MiniportCreate, PUNKNOWN UnknownAdapter, PUNKNOWN* OutPortUnknown,
                          PUNKNOWN* OutMiniport)
{
    if (UnknownAdapter == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    PVOID pRaw = nullptr;
    NTSTATUS status = UnknownAdapter->QueryInterface(IID_IAudioHal, &pRaw);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* pHal = static_cast<IAudioHal*>(pRaw);
    PPORT pPort = nullptr;
    PUNKNOWN pMiniport = nullptr;
    ISubdeviceName* pName = nullptr;
    PWSTR pSubdeviceName = nullptr;

    status = PcNewPort(&pPort, PortClassId);
    if (NT_SUCCESS(status) && MiniportCreate == nullptr) {
        status = STATUS_INVALID_PARAMETER;
    }
    if (NT_SUCCESS(status)) {
        status = MiniportCreate(&pMiniport, MiniportClassId, nullptr, NonPagedPoolNx);
    }
    if (NT_SUCCESS(status)) {
        status = pPort->Init(DeviceObject, Irp, pMiniport, UnknownAdapter, nullptr);
    }
    if (NT_SUCCESS(status)) {
        pRaw = nullptr;
        status = pMiniport->QueryInterface(SubdeviceNameIid, &pRaw);
        pName = static_cast<ISubdeviceName*>(pRaw);
    }
    if (NT_SUCCESS(status)) {
        status = pName->GetName(&pSubdeviceName);
    }
    if (NT_SUCCESS(status)) {
        status = PcRegisterSubdevice(DeviceObject, pSubdeviceName, pPort);
    }
    if (NT_SUCCESS(status) && OutPortUnknown != nullptr) {
        pRaw = nullptr;
        status = pPort->QueryInterface(IID_IUnknown, &pRaw);
        if (NT_SUCCESS(status)) {
            *OutPortUnknown = static_cast<PUNKNOWN>(pRaw);
        }
    }
    if (NT_SUCCESS(status) && OutMiniport != nullptr) {
        // The port keeps the miniport alive.
        *OutMiniport = pMiniport;
    }

    if (pName != nullptr) {
        pName->Release();
    }
    if (pMiniport != nullptr) {
        pMiniport->Release();
    }
    if (pPort != nullptr) {
        pPort->Release();
    }
    pHal->Release();
    return status;
}
