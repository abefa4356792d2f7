// The base of every streaming endpoint: its name and kind, its formats, the entities on its
// signal path, its wave subdevice with the physical connection to the topology filter, its
// presence, the registries of its clients, and the in-place processing of its buffers.
#pragma once

#include "adapter/AudioTypes.h"
#include "adapter/EntityInterfaces.h"
#include "adapter/LockObject.h"
#include "adapter/ObjectList.h"
#include "adapter/SubdeviceName.h"
#include "adapter/TopologyNode.h"
#include "adapter/UnknownBase.h"
#include "platform/nt/Callback.h"
#include "platform/nt/Sync.h"
#include "platform/portcls/PortCls.h"

KVX_DEFINE_GUID(IID_IStreamEngine, "{3D64C291-9F42-43E5-A468-2C5DC9BB2353}");

constexpr ULONG STREAM_ENGINE_TAG = MakePoolTag("Stre");
// The name: up to 50 characters and the terminator (NAME_BUFFER_BYTES).
constexpr ULONG STREAM_ENGINE_MAX_NAME_BYTES = NAME_BUFFER_BYTES - sizeof(WCHAR);
// Processing: at most 512 frames of at most 8 channels per chunk.
constexpr ULONG STREAM_ENGINE_CHUNK_FRAMES = 512;
constexpr ULONG STREAM_ENGINE_MAX_CHANNELS = 8;
constexpr ULONG STREAM_ENGINE_INTERLEAVE_BYTES = STREAM_ENGINE_CHUNK_FRAMES * STREAM_ENGINE_MAX_CHANNELS * 4;
constexpr ULONG STREAM_ENGINE_CHANNEL_BYTES = STREAM_ENGINE_CHUNK_FRAMES * 4;

// A terminal id or topology pin that names nothing: the endpoint's streaming terminal was not
// found, so its wave filter has no physical connection.
constexpr ULONG STREAM_ENGINE_NO_TERMINAL = 0xFFFFFFFF;

// Name prefixes of the endpoint kinds ("%sOut%02d" / "%sIn%02d").
extern const PCWSTR EndpointKindPrefix[ENDPOINT_KIND_COUNT];

// An endpoint's name: its kind's prefix, "Out" or "In" and the number in two digits or more, cut
// to `cbName` bytes (STATUS_BUFFER_OVERFLOW then). A kind past the table is refused. Any IRQL.
NTSTATUS FormatEndpointKindName(PWSTR pName, size_t cbName, BOOLEAN bCapture, ULONG ulKind, ULONG ulNumber);

// The wave miniport factory: (out IUnknown, class id, outer IUnknown, pool type, endpoint index).
using PFN_CREATE_WAVE_MINIPORT = NTSTATUS (*)(PUNKNOWN* ppUnknown, REFCLSID ClassId, PUNKNOWN pOuterUnknown,
                                              POOL_TYPE PoolType, ULONG ulEndpointIndex);

// A client processing object of lists A and B: called with the chunk as the processing nodes are,
// list A objects through ProcessA and list B objects through ProcessB.
class IClientProcessor : public IUnknown {
public:
    virtual NTSTATUS Reserved1() = 0;
    virtual NTSTATUS Reserved2() = 0;
    virtual NTSTATUS SetFormat(const WaveFormatRecord* format) = 0;
    virtual NTSTATUS Flush() = 0;
    virtual NTSTATUS ProcessA(const WaveFormatRecord* format, PVOID data, ULONG frames) = 0;
    virtual NTSTATUS ProcessB(const WaveFormatRecord* format, PVOID data, ULONG frames) = 0;

protected:
    ~IClientProcessor() = default;
};

class IStreamEngine : public IUnknown {
public:
    virtual BOOLEAN IsCapture() = 0;
    virtual ULONG GetKind() = 0;
    virtual NTSTATUS SetName(PCWSTR pName) = 0;
    virtual NTSTATUS GetName(PWSTR pName) = 0;
    virtual ULONG GetFormatCount() = 0;
    virtual NTSTATUS GetFormat(ULONG ulIndex, WaveFormatRecord* pFormat) = 0;
    virtual ULONG GetEntityCount() = 0;
    virtual NTSTATUS GetEntity(ULONG ulIndex, TopologyNode** ppEntity) = 0;
    virtual NTSTATUS SetMiniportFactory(PFN_CREATE_WAVE_MINIPORT pFactory, REFCLSID PortClassId) = 0;
    virtual NTSTATUS SetTopologyPort(PUNKNOWN pTopologyPort, PUNKNOWN pTopologyMiniport) = 0;
    virtual NTSTATUS RegisterWave(PDEVICE_OBJECT pFunctionalDevice, PIRP pIrp, PUNKNOWN pAdapter) = 0;
    virtual NTSTATUS UnregisterWave(PDEVICE_OBJECT pFunctionalDevice, PIRP pIrp, PUNKNOWN pAdapter) = 0;
    virtual NTSTATUS FindFormat(WaveFormatRecord* pFormat) = 0;
    virtual NTSTATUS RegisterCallback(PCALLBACK_FUNCTION pCallback, PVOID pContext, PVOID* ppRegistration) = 0;
    virtual NTSTATUS UnregisterCallback(PVOID pRegistration) = 0;
    virtual NTSTATUS SetPowerState(DEVICE_POWER_STATE NewState) = 0;
    virtual NTSTATUS ProcessBuffer(PVOID pBuffer, ULONG ulBytes) = 0;
    virtual NTSTATUS ProcessBufferNodes(PVOID pBuffer, ULONG ulBytes) = 0;
    virtual NTSTATUS RunNodeProcessors(PVOID pData, ULONG ulFrames, ULONG ulFormatTag) = 0;
    virtual NTSTATUS ProcessBufferListA(PVOID pBuffer, ULONG ulBytes) = 0;
    virtual NTSTATUS RunClientProcessorsA(ULONG ulFrames) = 0;
    virtual NTSTATUS ProcessBufferListB(PVOID pBuffer, ULONG ulBytes) = 0;
    virtual NTSTATUS RunClientProcessorsB(ULONG ulFrames) = 0;
    virtual NTSTATUS Init(BOOLEAN bCapture) = 0;

protected:
    ~IStreamEngine() = default;
};

class StreamEngine : public UnknownBase, public IStreamEngine {
public:
    DECLARE_UNKNOWN_BASE()

    StreamEngine(PUNKNOWN pOuterUnknown, ULONG ulInterfaceNumber);
    ~StreamEngine() override;

    // IStreamEngine
    BOOLEAN IsCapture() override { return m_ulCapture != 0; }
    ULONG GetKind() override;
    NTSTATUS SetName(PCWSTR pName) override;
    NTSTATUS GetName(PWSTR pName) override;
    ULONG GetFormatCount() override;
    NTSTATUS GetFormat(ULONG ulIndex, WaveFormatRecord* pFormat) override;
    ULONG GetEntityCount() override;
    NTSTATUS GetEntity(ULONG ulIndex, TopologyNode** ppEntity) override;
    NTSTATUS SetMiniportFactory(PFN_CREATE_WAVE_MINIPORT pFactory, REFCLSID PortClassId) override;
    NTSTATUS SetTopologyPort(PUNKNOWN pTopologyPort, PUNKNOWN pTopologyMiniport) override;
    NTSTATUS RegisterWave(PDEVICE_OBJECT pFunctionalDevice, PIRP pIrp, PUNKNOWN pAdapter) override;
    NTSTATUS UnregisterWave(PDEVICE_OBJECT pFunctionalDevice, PIRP pIrp, PUNKNOWN pAdapter) override;
    NTSTATUS FindFormat(WaveFormatRecord* pFormat) override;
    NTSTATUS RegisterCallback(PCALLBACK_FUNCTION pCallback, PVOID pContext, PVOID* ppRegistration) override;
    NTSTATUS UnregisterCallback(PVOID pRegistration) override;
    NTSTATUS SetPowerState(DEVICE_POWER_STATE) override { return STATUS_SUCCESS; }
    NTSTATUS ProcessBuffer(PVOID pBuffer, ULONG ulBytes) override;
    NTSTATUS ProcessBufferNodes(PVOID pBuffer, ULONG ulBytes) override;
    NTSTATUS RunNodeProcessors(PVOID pData, ULONG ulFrames, ULONG ulFormatTag) override;
    NTSTATUS ProcessBufferListA(PVOID pBuffer, ULONG ulBytes) override;
    NTSTATUS RunClientProcessorsA(ULONG ulFrames) override;
    NTSTATUS ProcessBufferListB(PVOID pBuffer, ULONG ulBytes) override;
    NTSTATUS RunClientProcessorsB(ULONG ulFrames) override;
    NTSTATUS Init(BOOLEAN bCapture) override;

    // Building the endpoint.
    NTSTATUS AddFormat(const WaveFormatRecord* pFormat);
    NTSTATUS AddEntity(TopologyNode* pEntity);
    NTSTATUS AddNode(IProcessingNode* pNode);
    // Host-only reader of the node list (adapter/StreamEngineHost.h).
    friend IProcessingNode* StreamEngineNodeForHost(StreamEngine* pEngine, ULONG ulIndex);
    // The processing nodes the stream runs on each chunk.
    ULONG GetNodeCount() const { return m_pNodes != nullptr ? static_cast<ULONG>(m_pNodes->GetCount()) : 0; }
    NTSTATUS AllocateProcessingBuffers();
    BOOLEAN IsPresent();
    NTSTATUS CreateWaveSubdevice(PDEVICE_OBJECT pFunctionalDevice, PIRP pIrp, REFCLSID PortClassId,
                                 REFCLSID MiniportClassId, PFN_CREATE_WAVE_MINIPORT pFactory, PUNKNOWN pAdapter,
                                 PUNKNOWN* ppPort);

    // Client registries; each takes StreamEngineLock.
    NTSTATUS AddRegisteredClient(EndpointClient* pClient);
    EndpointClient* FindRegisteredClient(PVOID pRegistration);
    EndpointClient* RemoveRegisteredClient(PVOID pRegistration);
    NTSTATUS InsertStartedClient(EndpointClient* pClient);
    EndpointClient* FindStartedClient(PVOID pRegistration);
    EndpointClient* RemoveStartedClient(PVOID pRegistration);
    EndpointClient* GetTopStartedClient();
    NTSTATUS InsertRunningClient(EndpointClient* pClient);
    EndpointClient* RemoveRunningClient(PVOID pRegistration);
    EndpointClient* GetTopRunningClient();
    NTSTATUS AddClientProcessorA(IClientProcessor* pProcessor);
    NTSTATUS AddClientProcessorB(IClientProcessor* pProcessor);
    NTSTATUS RemoveClientProcessorA(IClientProcessor* pProcessor);
    NTSTATUS RemoveClientProcessorB(IClientProcessor* pProcessor);
    VOID DrainClientProcessorsA();
    VOID DrainClientProcessorsB();

    // Read by the owner and the processing path.
    ULONG GetInterfaceNumber() const { return m_ulInterfaceNumber; }
    PUNKNOWN GetWavePort() const { return m_pWavePort; }
    ULONG GetTopologyPin() const { return m_ulTopologyPin; }
    LockObject& GetTransportLock() { return m_EndpointTransportLock; }

    WaveFormatRecord m_CurrentWaveFormat;

protected:
    ObjectList* ServingFormats();
    NTSTATUS InsertByKind(ObjectList* pList, EndpointClient* pClient);
    EndpointClient* FindByRegistration(ObjectList* pList, PVOID pRegistration, bool bRemove);
    NTSTATUS AddProcessor(ObjectList* pList, IClientProcessor* pProcessor);
    NTSTATUS RemoveProcessor(ObjectList* pList, IClientProcessor* pProcessor);
    VOID DrainProcessors(ObjectList* pList);
    NTSTATUS RunClientProcessors(ObjectList* pList, PVOID pData, ULONG ulFrames, bool bListA);
    NTSTATUS ProcessBufferList(ObjectList* pList, PVOID pBuffer, ULONG ulBytes, bool bListA);
    NTSTATUS ProcessChunks(PUCHAR pBuffer, ULONG ulFrames, ULONG ulFormatTag, bool bClientLists);
    // Whether the processing path can handle the current format; the buffer is not touched when
    // it cannot.
    NTSTATUS CheckProcessingFormat(ULONG ulBytes, PULONG pFrames, PULONG pFormatTag);

    ULONG m_ulInterfaceNumber;
    ULONG m_ulCapture;
    PWSTR m_pName;
    PUNKNOWN m_pWavePort;
    GUID m_PortClassId;
    PFN_CREATE_WAVE_MINIPORT m_pMiniportFactory;
    PUNKNOWN m_pTopologyPort;
    ISubdeviceName* m_pTopologyName;
    ULONG m_ulTopologyPin;
    ObjectList* m_pNodes;
    ObjectList* m_pEntities;
    ObjectList* m_pFormats;
    ObjectList* m_pRegisteredClients;
    ObjectList* m_pStartedClients;
    ObjectList* m_pRunningClients;
    ObjectList* m_pProcessorsA;
    ObjectList* m_pProcessorsB;
    ObjectList* m_pTwoChannelFormats;
    PUCHAR m_pInterleaveBuffer;
    float** m_ppChannelBuffers;
    LockObject m_EndpointTransportLock;
    KSPIN_LOCK m_StreamEngineLock;
    PCALLBACK_OBJECT m_pCallbackObject;
};

// PCM sample conversions of the processing path (the format copy is the engine's current one).
VOID PcmToFloat(StreamEngine* pEngine, PUCHAR pPcm, float** ppChannels, float* pInterleave, ULONG ulFrames,
                const WaveFormatRecord* pFormat);
VOID FloatToPcm(StreamEngine* pEngine, PUCHAR pPcm, float** ppChannels, float* pInterleave, ULONG ulFrames,
                const WaveFormatRecord* pFormat);
