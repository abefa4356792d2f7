#include "adapter/StreamEngine.h"
#include "adapter/NamedCallback.h"

#include <cstring>

#include "adapter/AudioHal.h"
#include "platform/nt/Debug.h"
#include "platform/nt/Ob.h"
#include "platform/nt/Pool.h"
#include "platform/nt/RtlString.h"
#include "platform/nt/Time.h"

const PCWSTR EndpointKindPrefix[ENDPOINT_KIND_COUNT] = {
    u"Stream", u"SPK",       u"HP",        u"SPDIF",   u"HDMI",    u"DisplayPort",  u"Line",
    u"Mic",    u"Aux",       u"CD",        u"Video",   u"FMic",    u"Telephone",    u"HandSet",
    u"HeadSet", u"Speakerphone", u"StereoMix", u"FHP", u"Rec",
};

NTSTATUS FormatEndpointKindName(PWSTR pName, size_t cbName, BOOLEAN bCapture, ULONG ulKind, ULONG ulNumber)
{
    if (pName == nullptr || ulKind >= ENDPOINT_KIND_COUNT) {
        return STATUS_INVALID_PARAMETER;
    }
    return RtlStringCbPrintfW(pName, cbName, bCapture ? u"%sIn%02d" : u"%sOut%02d", EndpointKindPrefix[ulKind],
                              ulNumber);
}

namespace {

// The cbSize a record may carry: a WAVEFORMATEXTENSIBLE holds 22 bytes after its WAVEFORMATEX.
constexpr USHORT MAX_RECORD_CB_SIZE = WAVEFORMATEXTENSIBLE_EXTRA;

ObjectList* NewList()
{
    auto* pList = static_cast<ObjectList*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ObjectList), STREAM_ENGINE_TAG));
    return pList != nullptr ? pList->Init() : nullptr;
}

void FreeList(ObjectList*& pList)
{
    if (pList != nullptr) {
        ExFreePoolWithTag(pList, STREAM_ENGINE_TAG);
        pList = nullptr;
    }
}

void FreeFormats(ObjectList*& pList)
{
    if (pList == nullptr) return;
    while (auto* pRecord = pList->PopHead<WaveFormatRecord>()) {
        ExFreePoolWithTag(pRecord, STREAM_ENGINE_TAG);
    }
    FreeList(pList);
}

USHORT SubFormatTag(const WaveFormatRecord* pRecord)
{
    return static_cast<USHORT>(pRecord->SubFormat.Data1 & 0xFFFF);
}

// Endpoint kinds whose render endpoints serve only their two-channel formats.
bool ServesTwoChannels(ULONG ulKind)
{
    return ulKind == ENDPOINT_KIND_HEADPHONES || ulKind == ENDPOINT_KIND_SPDIF || ulKind == ENDPOINT_KIND_HEADSET ||
           ulKind == ENDPOINT_KIND_FRONT_HEADPHONES;
}

}  // namespace

StreamEngine::StreamEngine(PUNKNOWN pOuterUnknown, ULONG ulInterfaceNumber)
    : UnknownBase(pOuterUnknown),
      m_CurrentWaveFormat{},
      m_ulInterfaceNumber(ulInterfaceNumber),
      m_ulCapture(0),
      m_pName(nullptr),
      m_pWavePort(nullptr),
      m_PortClassId{},
      m_pMiniportFactory(nullptr),
      m_pTopologyPort(nullptr),
      m_pTopologyName(nullptr),
      m_ulTopologyPin(0),
      m_pNodes(nullptr),
      m_pEntities(nullptr),
      m_pFormats(nullptr),
      m_pRegisteredClients(nullptr),
      m_pStartedClients(nullptr),
      m_pRunningClients(nullptr),
      m_pProcessorsA(nullptr),
      m_pProcessorsB(nullptr),
      m_pTwoChannelFormats(nullptr),
      m_pInterleaveBuffer(nullptr),
      m_ppChannelBuffers(nullptr),
      m_StreamEngineLock{},
      m_pCallbackObject(nullptr)
{
}

StreamEngine::~StreamEngine()
{
    if (m_pNodes != nullptr) {
        while (auto* pNode = m_pNodes->PopHead<IProcessingNode>()) {
            pNode->Release();
        }
        FreeList(m_pNodes);
    }
    if (m_pInterleaveBuffer != nullptr) {
        ExFreePoolWithTag(m_pInterleaveBuffer, STREAM_ENGINE_TAG);
        m_pInterleaveBuffer = nullptr;
    }
    if (m_ppChannelBuffers != nullptr) {
        for (ULONG c = 0; c < STREAM_ENGINE_MAX_CHANNELS; ++c) {
            if (m_ppChannelBuffers[c] != nullptr) {
                ExFreePoolWithTag(m_ppChannelBuffers[c], STREAM_ENGINE_TAG);
            }
        }
        ExFreePoolWithTag(m_ppChannelBuffers, STREAM_ENGINE_TAG);
        m_ppChannelBuffers = nullptr;
    }
    if (m_pEntities != nullptr) {
        while (auto* pEntity = m_pEntities->PopHead<TopologyNode>()) {
            pEntity->Release();
        }
        FreeList(m_pEntities);
    }
    FreeFormats(m_pFormats);
    FreeFormats(m_pTwoChannelFormats);
    // The owner empties the client lists before it lets the engine go; wait for it.
    ObjectList** clientLists[] = {&m_pRunningClients, &m_pStartedClients, &m_pRegisteredClients};
    for (ObjectList** ppList : clientLists) {
        if (*ppList == nullptr) continue;
        while (!(*ppList)->IsEmpty()) {
            LARGE_INTEGER delay;
            delay.QuadPart = -50 * 10000LL;
            KeDelayExecutionThread(KernelMode, FALSE, &delay);
        }
        FreeList(*ppList);
    }
    DrainClientProcessorsA();
    DrainClientProcessorsB();
    FreeList(m_pProcessorsA);
    FreeList(m_pProcessorsB);
    if (m_pName != nullptr) {
        ExFreePoolWithTag(m_pName, STREAM_ENGINE_TAG);
        m_pName = nullptr;
    }
    ReleaseNamedCallback(&m_pCallbackObject);
    if (m_pWavePort != nullptr) {
        m_pWavePort->Release();
        m_pWavePort = nullptr;
    }
    m_pTopologyName = nullptr;
    if (m_pTopologyPort != nullptr) {
        m_pTopologyPort->Release();
        m_pTopologyPort = nullptr;
    }
}

NTSTATUS StreamEngine::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    if (ppvObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IStreamEngine)) {
        return ReturnInterface(static_cast<IStreamEngine*>(this), ppvObject);
    }
    *ppvObject = nullptr;
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS StreamEngine::Init(BOOLEAN bCapture)
{
    m_ulCapture = bCapture ? 1 : 0;
    ObjectList** lists[] = {&m_pNodes,          &m_pEntities,        &m_pFormats,
                            &m_pTwoChannelFormats, &m_pRegisteredClients, &m_pStartedClients,
                            &m_pRunningClients, &m_pProcessorsA,     &m_pProcessorsB};
    for (ObjectList** ppList : lists) {
        if (*ppList == nullptr) {
            *ppList = NewList();
            if (*ppList == nullptr) {
                return STATUS_INSUFFICIENT_RESOURCES;
            }
        }
    }
    if (m_pName == nullptr) {
        m_pName = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, NAME_BUFFER_BYTES, STREAM_ENGINE_TAG));
        if (m_pName == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        std::memset(m_pName, 0, NAME_BUFFER_BYTES);
    }
    if (m_pCallbackObject == nullptr) {
        WCHAR name[NAME_BUFFER_BYTES / sizeof(WCHAR)];
        RtlStringCbPrintfW(name, sizeof name, u"\\Callback\\StreamEngineAddr%p", this);
        UNICODE_STRING callbackName;
        RtlInitUnicodeString(&callbackName, name);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &callbackName, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, nullptr, nullptr);
        const NTSTATUS status = ExCreateCallback(&m_pCallbackObject, &attributes, TRUE, TRUE);
        if (!NT_SUCCESS(status)) {
            m_pCallbackObject = nullptr;
            return status;
        }
    }
    KeInitializeSpinLock(&m_StreamEngineLock);
    return STATUS_SUCCESS;
}

ULONG StreamEngine::GetKind()
{
    if (m_pEntities == nullptr) {
        return ENDPOINT_KIND_STREAM;
    }
    ULONG ulResult = ENDPOINT_KIND_STREAM;
    ULONG ulInputs = 0;
    for (TopologyNode* pEntity : m_pEntities->Items<TopologyNode>()) {
        const LONG lType = pEntity->GetType();
        PVOID pRaw = nullptr;
        if (!IsCapture()) {
            if (lType == ENTITY_MULTI_OUTPUT_TERMINAL &&
                NT_SUCCESS(pEntity->QueryInterface(IID_IMultiOutputTerminal, &pRaw))) {
                ULONG ulKind = ENDPOINT_KIND_STREAM;
                static_cast<IMultiOutputTerminal*>(pRaw)->GetKind(&ulKind);
                static_cast<IMultiOutputTerminal*>(pRaw)->Release();
                return ulKind;
            }
            if (lType == ENTITY_OUTPUT_TERMINAL && NT_SUCCESS(pEntity->QueryInterface(IID_ITerminalControl, &pRaw))) {
                ULONG ulKind = ENDPOINT_KIND_STREAM;
                static_cast<ITerminalControl*>(pRaw)->GetKind(&ulKind);
                static_cast<ITerminalControl*>(pRaw)->Release();
                ulResult = ulKind;
            }
        } else if (lType == ENTITY_INPUT_TERMINAL &&
                   NT_SUCCESS(pEntity->QueryInterface(IID_ITerminalControl, &pRaw))) {
            ULONG ulKind = ENDPOINT_KIND_STREAM;
            static_cast<ITerminalControl*>(pRaw)->GetKind(&ulKind);
            static_cast<ITerminalControl*>(pRaw)->Release();
            if (ulKind != ENDPOINT_KIND_STREAM) {
                ++ulInputs;
                ulResult = ulKind;
            }
        }
    }
    if (IsCapture() && ulInputs >= 2) {
        return ENDPOINT_KIND_RECORDING;
    }
    return ulResult;
}

NTSTATUS StreamEngine::SetName(PCWSTR pName)
{
    if (pName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    size_t cbLength = 0;
    // Anything beyond 100 bytes without the terminator does not fit.
    if (!NT_SUCCESS(RtlStringCbLengthW(pName, STREAM_ENGINE_MAX_NAME_BYTES + sizeof(WCHAR), &cbLength))) {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_pName == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    std::memcpy(m_pName, pName, cbLength);
    m_pName[cbLength / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::GetName(PWSTR pName)
{
    if (pName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    pName[0] = 0;
    if (m_pName != nullptr) {
        RtlStringCchCopyW(pName, 100, m_pName);
    }
    return STATUS_SUCCESS;
}

ObjectList* StreamEngine::ServingFormats()
{
    if (!IsCapture() && ServesTwoChannels(GetKind())) {
        return m_pTwoChannelFormats;
    }
    return m_pFormats;
}

ULONG StreamEngine::GetFormatCount()
{
    ObjectList* pList = ServingFormats();
    return pList != nullptr ? static_cast<ULONG>(pList->GetCount()) : 0;
}

NTSTATUS StreamEngine::GetFormat(ULONG ulIndex, WaveFormatRecord* pFormat)
{
    ObjectList* pList = ServingFormats();
    if (pList == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    const auto* pRecord = pFormat != nullptr ? pList->GetAt<const WaveFormatRecord>(ulIndex) : nullptr;
    if (pRecord == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::memcpy(pFormat, pRecord, sizeof *pFormat);
    return STATUS_SUCCESS;
}

ULONG StreamEngine::GetEntityCount()
{
    return m_pEntities != nullptr ? static_cast<ULONG>(m_pEntities->GetCount()) : 0;
}

NTSTATUS StreamEngine::GetEntity(ULONG ulIndex, TopologyNode** ppEntity)
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

NTSTATUS StreamEngine::SetMiniportFactory(PFN_CREATE_WAVE_MINIPORT pFactory, REFCLSID PortClassId)
{
    if (pFactory == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    m_pMiniportFactory = pFactory;
    m_PortClassId = PortClassId;
    return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::SetTopologyPort(PUNKNOWN pTopologyPort, PUNKNOWN pTopologyMiniport)
{
    if (pTopologyPort == nullptr || pTopologyMiniport == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    pTopologyPort->AddRef();
    if (m_pTopologyPort != nullptr) {
        m_pTopologyPort->Release();
    }
    m_pTopologyPort = pTopologyPort;
    PVOID pRaw = nullptr;
    const NTSTATUS status = pTopologyMiniport->QueryInterface(SubdeviceNameIid, &pRaw);
    if (NT_SUCCESS(status)) {
        // No reference: the topology port keeps its miniport alive.
        m_pTopologyName = static_cast<ISubdeviceName*>(pRaw);
        m_pTopologyName->Release();
    }
    return status;
}

BOOLEAN StreamEngine::IsPresent()
{
    if (m_pEntities == nullptr) {
        return FALSE;
    }
    const LONG lTerminalType = IsCapture() ? ENTITY_INPUT_TERMINAL : ENTITY_OUTPUT_TERMINAL;
    for (TopologyNode* pEntity : m_pEntities->Items<TopologyNode>()) {
        PVOID pRaw = nullptr;
        if (pEntity->GetType() != lTerminalType || !NT_SUCCESS(pEntity->QueryInterface(IID_ITerminalControl, &pRaw))) {
            continue;
        }
        auto* pTerminal = static_cast<ITerminalControl*>(pRaw);
        ULONG ulKind = ENDPOINT_KIND_STREAM;
        pTerminal->GetKind(&ulKind);
        bool bPresent = false;
        if (ulKind != ENDPOINT_KIND_STREAM) {
            ULONG ulJacks = 0;
            pTerminal->GetJackCount(&ulJacks, 0);
            if (ulJacks == 0) {
                bPresent = true;
            } else {
                const ULONG cbJacks = ulJacks * sizeof(JackRecord);
                auto* pJacks = static_cast<JackRecord*>(ExAllocatePoolWithTag(PagedPool, cbJacks, STREAM_ENGINE_TAG));
                if (pJacks != nullptr) {
                    std::memset(pJacks, 0, cbJacks);
                    if (NT_SUCCESS(pTerminal->GetJackDescriptions(cbJacks, pJacks, 0))) {
                        for (ULONG j = 0; j < ulJacks && !bPresent; ++j) {
                            bPresent = (pJacks[j].IsConnected & 0xFF) != 0;
                        }
                    }
                    ExFreePoolWithTag(pJacks, STREAM_ENGINE_TAG);
                }
            }
        }
        pTerminal->Release();
        if (bPresent) {
            return TRUE;
        }
    }
    return FALSE;
}

NTSTATUS StreamEngine::RegisterWave(PDEVICE_OBJECT pFunctionalDevice, PIRP pIrp, PUNKNOWN pAdapter)
{
    if (m_pMiniportFactory == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    const bool bPresent = IsPresent() != FALSE;
    if (bPresent == (m_pWavePort != nullptr)) {
        return STATUS_SUCCESS;
    }
    if (!bPresent) {
        return UnregisterWave(pFunctionalDevice, pIrp, pAdapter);
    }
    NTSTATUS status = CreateWaveSubdevice(pFunctionalDevice, pIrp, m_PortClassId, m_PortClassId, m_pMiniportFactory,
                                          pAdapter, &m_pWavePort);
    if (!NT_SUCCESS(status) || m_ulTopologyPin == STREAM_ENGINE_NO_TERMINAL) {
        return status;
    }
    if (IsCapture()) {
        status = PcRegisterPhysicalConnection(pFunctionalDevice, m_pTopologyPort, m_ulTopologyPin, m_pWavePort, 1);
    } else {
        status = PcRegisterPhysicalConnection(pFunctionalDevice, m_pWavePort, 1, m_pTopologyPort, m_ulTopologyPin);
    }
    return status;
}

NTSTATUS StreamEngine::UnregisterWave(PDEVICE_OBJECT pFunctionalDevice, PIRP pIrp, PUNKNOWN pAdapter)
{
    UNREFERENCED_PARAMETER(pIrp);
    UNREFERENCED_PARAMETER(pAdapter);
    if (m_pWavePort == nullptr) {
        return STATUS_SUCCESS;
    }
    if (m_ulTopologyPin == STREAM_ENGINE_NO_TERMINAL) {
        // A filter registered without a connection has none to take away.
        PVOID pRawSubdevice = nullptr;
        NTSTATUS status = m_pWavePort->QueryInterface(IID_IUnregisterSubdevice, &pRawSubdevice);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        auto* pUnregister = static_cast<IUnregisterSubdevice*>(pRawSubdevice);
        status = pUnregister->UnregisterSubdevice(pFunctionalDevice, m_pWavePort);
        if (NT_SUCCESS(status)) {
            m_pWavePort->Release();
            m_pWavePort = nullptr;
        }
        pUnregister->Release();
        return status;
    }
    if (m_pTopologyPort == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    PUNKNOWN pFrom = IsCapture() ? m_pTopologyPort : m_pWavePort;
    PUNKNOWN pTo = IsCapture() ? m_pWavePort : m_pTopologyPort;
    const ULONG ulFromPin = IsCapture() ? m_ulTopologyPin : 1;
    const ULONG ulToPin = IsCapture() ? 1 : m_ulTopologyPin;
    PVOID pRaw = nullptr;
    NTSTATUS status = pFrom->QueryInterface(IID_IUnregisterPhysicalConnection, &pRaw);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* pConnection = static_cast<IUnregisterPhysicalConnection*>(pRaw);
    status = m_pWavePort->QueryInterface(IID_IUnregisterSubdevice, &pRaw);
    if (!NT_SUCCESS(status)) {
        pConnection->Release();
        return status;
    }
    auto* pSubdevice = static_cast<IUnregisterSubdevice*>(pRaw);
    status = pConnection->UnregisterPhysicalConnection(pFunctionalDevice, pFrom, ulFromPin, pTo, ulToPin);
    if (NT_SUCCESS(status)) {
        status = pSubdevice->UnregisterSubdevice(pFunctionalDevice, m_pWavePort);
        if (NT_SUCCESS(status)) {
            m_pWavePort->Release();
            m_pWavePort = nullptr;
        }
    }
    pSubdevice->Release();
    pConnection->Release();
    return status;
}

NTSTATUS StreamEngine::CreateWaveSubdevice(PDEVICE_OBJECT pFunctionalDevice, PIRP pIrp, REFCLSID PortClassId,
                                           REFCLSID MiniportClassId, PFN_CREATE_WAVE_MINIPORT pFactory,
                                           PUNKNOWN pAdapter, PUNKNOWN* ppPort)
{
    if (pAdapter == nullptr || ppPort == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    PVOID pRaw = nullptr;
    NTSTATUS status = pAdapter->QueryInterface(IID_IAudioHal, &pRaw);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* pHal = static_cast<IAudioHal*>(pRaw);
    ULONG ulIndex = 0;
    bool bFound = false;
    const ULONG ulCount = pHal->GetEndpointCount();
    for (ULONG i = 0; i < ulCount; ++i) {
        StreamEngine* pEndpoint = nullptr;
        if (!NT_SUCCESS(pHal->GetEndpoint(i, &pEndpoint))) {
            break;
        }
        if (pEndpoint == this) {
            ulIndex = i;
            bFound = true;
            break;
        }
    }
    PPORT pPort = nullptr;
    PUNKNOWN pMiniport = nullptr;
    ISubdeviceName* pName = nullptr;
    if (!bFound) {
        status = STATUS_UNSUCCESSFUL;
    }
    if (NT_SUCCESS(status)) {
        status = PcNewPort(&pPort, PortClassId);
    }
    if (NT_SUCCESS(status) && pFactory == nullptr) {
        status = STATUS_INVALID_PARAMETER;
    }
    if (NT_SUCCESS(status)) {
        status = pFactory(&pMiniport, MiniportClassId, nullptr, NonPagedPoolNx, ulIndex);
    }
    if (NT_SUCCESS(status)) {
        status = pPort->Init(pFunctionalDevice, pIrp, pMiniport, pAdapter, nullptr);
    }
    PWSTR pSubdeviceName = nullptr;
    ULONG ulPin = STREAM_ENGINE_NO_TERMINAL;
    if (NT_SUCCESS(status)) {
        status = pMiniport->QueryInterface(SubdeviceNameIid, &pRaw);
        if (NT_SUCCESS(status)) {
            pName = static_cast<ISubdeviceName*>(pRaw);
            status = pName->GetName(&pSubdeviceName);
        }
        if (NT_SUCCESS(status)) {
            status = pName->GetBridgePin(&ulPin);
        }
    }
    if (NT_SUCCESS(status) && ulPin == STREAM_ENGINE_NO_TERMINAL) {
        // Never connect the filter to another terminal's pin: it goes without a connection.
        DbgPrint("StreamEngine::CreateWaveSubdevice: no streaming terminal, %S is not connected\n", pSubdeviceName);
    } else if (NT_SUCCESS(status)) {
        status = m_pTopologyName == nullptr ? STATUS_UNSUCCESSFUL : m_pTopologyName->GetBridgePin(&ulPin);
    }
    if (NT_SUCCESS(status)) {
        status = PcRegisterSubdevice(pFunctionalDevice, pSubdeviceName, pPort);
    }
    if (NT_SUCCESS(status)) {
        status = pPort->QueryInterface(IID_IUnknown, &pRaw);
        if (NT_SUCCESS(status)) {
            *ppPort = static_cast<PUNKNOWN>(pRaw);
            m_ulTopologyPin = ulPin;
        }
    }
    if (pName != nullptr) pName->Release();
    if (pMiniport != nullptr) pMiniport->Release();
    if (pPort != nullptr) pPort->Release();
    pHal->Release();
    return status;
}

NTSTATUS StreamEngine::FindFormat(WaveFormatRecord* pFormat)
{
    if (m_pFormats == nullptr) {
        return STATUS_NO_MATCH;
    }
    if (pFormat == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const USHORT usTag = pFormat->Format.wFormatTag;
    if (usTag == WAVE_FORMAT_EXTENSIBLE) {
        const USHORT cbSize = pFormat->Format.cbSize;
        // Both records are 40 bytes: a larger cbSize would compare past their ends.
        if (cbSize > MAX_RECORD_CB_SIZE) {
            return STATUS_NO_MATCH;
        }
        for (const WaveFormatRecord* pRecord : m_pFormats->Items<const WaveFormatRecord>()) {
            if (pRecord->Format.cbSize == cbSize &&
                std::memcmp(pRecord, pFormat, sizeof(WAVEFORMATEX) + cbSize) == 0) {
                return STATUS_SUCCESS;
            }
        }
        return STATUS_NO_MATCH;
    }
    for (const WaveFormatRecord* pRecord : m_pFormats->Items<const WaveFormatRecord>()) {
        if (pRecord->Format.nChannels == pFormat->Format.nChannels &&
            pRecord->Format.nSamplesPerSec == pFormat->Format.nSamplesPerSec &&
            pRecord->Format.wBitsPerSample == pFormat->Format.wBitsPerSample && SubFormatTag(pRecord) == usTag) {
            std::memcpy(pFormat, pRecord, offsetof(WAVEFORMATEX, cbSize));
            pFormat->Format.wFormatTag = usTag;
            pFormat->Format.cbSize = 0;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_NO_MATCH;
}

NTSTATUS StreamEngine::RegisterCallback(PCALLBACK_FUNCTION pCallback, PVOID pContext, PVOID* ppRegistration)
{
    return RegisterOnNamedCallback(m_pCallbackObject, pCallback, pContext, ppRegistration);
}

NTSTATUS StreamEngine::UnregisterCallback(PVOID pRegistration)
{
    ExUnregisterCallback(pRegistration);
    return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::AddFormat(const WaveFormatRecord* pFormat)
{
    if (pFormat == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_pFormats == nullptr || m_pTwoChannelFormats == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    ObjectList* lists[] = {m_pFormats, pFormat->Format.nChannels == 2 ? m_pTwoChannelFormats : nullptr};
    for (ObjectList* pList : lists) {
        if (pList == nullptr) continue;
        auto* pCopy = static_cast<WaveFormatRecord*>(
            ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(WaveFormatRecord), STREAM_ENGINE_TAG));
        if (pCopy == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        std::memcpy(pCopy, pFormat, sizeof *pCopy);
        if (pList->Append(pCopy) == nullptr) {
            ExFreePoolWithTag(pCopy, STREAM_ENGINE_TAG);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::AddEntity(TopologyNode* pEntity)
{
    if (pEntity == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_pEntities == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    for (TopologyNode* pListed : m_pEntities->Items<TopologyNode>()) {
        if (pListed->GetId() == pEntity->GetId()) {
            return STATUS_SUCCESS;
        }
    }
    const NTSTATUS appended = AppendReferenced(m_pEntities, pEntity);
    if (!NT_SUCCESS(appended)) {
        return appended;
    }
    PVOID pRaw = nullptr;
    if (NT_SUCCESS(pEntity->QueryInterface(IID_IProcessingNode, &pRaw))) {
        auto* pNode = static_cast<IProcessingNode*>(pRaw);
        const NTSTATUS status = AddNode(pNode);
        pNode->Release();
        return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::AddNode(IProcessingNode* pNode)
{
    if (pNode == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_pNodes == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    return AppendReferenced(m_pNodes, pNode);
}

NTSTATUS StreamEngine::AllocateProcessingBuffers()
{
    if (m_pInterleaveBuffer == nullptr) {
        m_pInterleaveBuffer =
            static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, STREAM_ENGINE_INTERLEAVE_BYTES, STREAM_ENGINE_TAG));
        if (m_pInterleaveBuffer == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    if (m_ppChannelBuffers == nullptr) {
        const ULONG cbArray = STREAM_ENGINE_MAX_CHANNELS * sizeof(float*);
        m_ppChannelBuffers = static_cast<float**>(ExAllocatePoolWithTag(NonPagedPoolNx, cbArray, STREAM_ENGINE_TAG));
        if (m_ppChannelBuffers == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        std::memset(m_ppChannelBuffers, 0, cbArray);
    }
    for (ULONG c = 0; c < STREAM_ENGINE_MAX_CHANNELS; ++c) {
        if (m_ppChannelBuffers[c] == nullptr) {
            m_ppChannelBuffers[c] =
                static_cast<float*>(ExAllocatePoolWithTag(NonPagedPoolNx, STREAM_ENGINE_CHANNEL_BYTES, STREAM_ENGINE_TAG));
            if (m_ppChannelBuffers[c] == nullptr) {
                return STATUS_INSUFFICIENT_RESOURCES;
            }
        }
    }
    return STATUS_SUCCESS;
}

// ---- client registries ----

EndpointClient* StreamEngine::FindByRegistration(ObjectList* pList, PVOID pRegistration, bool bRemove)
{
    if (pList == nullptr) {
        return nullptr;
    }
    KIRQL irql;
    KeAcquireSpinLock(&m_StreamEngineLock, &irql);
    EndpointClient* pFound = nullptr;
    ObjectListNode* pNode = pList->GetHeadNode();
    while (pNode != nullptr) {
        auto* pClient = pNode->Data<EndpointClient>();
        if (pClient->Registration == pRegistration) {
            pFound = pClient;
            if (bRemove) {
                pList->RemoveNode(pNode);
            }
            break;
        }
        pNode = pNode->m_pNext;
    }
    KeReleaseSpinLock(&m_StreamEngineLock, irql);
    return pFound;
}

NTSTATUS StreamEngine::InsertByKind(ObjectList* pList, EndpointClient* pClient)
{
    if (pList == nullptr || pClient == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    KIRQL irql;
    KeAcquireSpinLock(&m_StreamEngineLock, &irql);
    ObjectListNode* pNode = pList->GetHeadNode();
    bool bSameKind = false;
    while (pNode != nullptr && pNode->Data<EndpointClient>()->ClientKind > pClient->ClientKind) {
        pNode = pNode->m_pNext;
    }
    if (pNode != nullptr) {
        bSameKind = pNode->Data<EndpointClient>()->ClientKind == pClient->ClientKind;
    }
    ObjectListNode* pInserted = pNode != nullptr ? pList->InsertBefore(pNode, pClient) : pList->Append(pClient);
    KeReleaseSpinLock(&m_StreamEngineLock, irql);
    if (pInserted != nullptr) {
        return STATUS_SUCCESS;
    }
    return bSameKind ? STATUS_INVALID_PARAMETER : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS StreamEngine::AddRegisteredClient(EndpointClient* pClient)
{
    if (m_pRegisteredClients == nullptr || pClient == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    KIRQL irql;
    KeAcquireSpinLock(&m_StreamEngineLock, &irql);
    ObjectListNode* pNode = m_pRegisteredClients->Append(pClient);
    KeReleaseSpinLock(&m_StreamEngineLock, irql);
    return pNode != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

EndpointClient* StreamEngine::FindRegisteredClient(PVOID pRegistration)
{
    return FindByRegistration(m_pRegisteredClients, pRegistration, false);
}
EndpointClient* StreamEngine::RemoveRegisteredClient(PVOID pRegistration)
{
    return FindByRegistration(m_pRegisteredClients, pRegistration, true);
}
NTSTATUS StreamEngine::InsertStartedClient(EndpointClient* pClient) { return InsertByKind(m_pStartedClients, pClient); }
EndpointClient* StreamEngine::FindStartedClient(PVOID pRegistration)
{
    return FindByRegistration(m_pStartedClients, pRegistration, false);
}
EndpointClient* StreamEngine::RemoveStartedClient(PVOID pRegistration)
{
    return FindByRegistration(m_pStartedClients, pRegistration, true);
}
NTSTATUS StreamEngine::InsertRunningClient(EndpointClient* pClient) { return InsertByKind(m_pRunningClients, pClient); }
EndpointClient* StreamEngine::RemoveRunningClient(PVOID pRegistration)
{
    return FindByRegistration(m_pRunningClients, pRegistration, true);
}

EndpointClient* StreamEngine::GetTopStartedClient()
{
    if (m_pStartedClients == nullptr) return nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&m_StreamEngineLock, &irql);
    EndpointClient* pClient = m_pStartedClients->PeekHead<EndpointClient>();
    KeReleaseSpinLock(&m_StreamEngineLock, irql);
    return pClient;
}

EndpointClient* StreamEngine::GetTopRunningClient()
{
    if (m_pRunningClients == nullptr) return nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&m_StreamEngineLock, &irql);
    EndpointClient* pClient = m_pRunningClients->PeekHead<EndpointClient>();
    KeReleaseSpinLock(&m_StreamEngineLock, irql);
    return pClient;
}

NTSTATUS StreamEngine::AddProcessor(ObjectList* pList, IClientProcessor* pProcessor)
{
    if (pList == nullptr || pProcessor == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    pProcessor->AddRef();
    KIRQL irql;
    KeAcquireSpinLock(&m_StreamEngineLock, &irql);
    ObjectListNode* pNode = pList->Append(pProcessor);
    KeReleaseSpinLock(&m_StreamEngineLock, irql);
    if (pNode == nullptr) {
        pProcessor->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

NTSTATUS StreamEngine::RemoveProcessor(ObjectList* pList, IClientProcessor* pProcessor)
{
    if (pList == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    bool bFound = false;
    KIRQL irql;
    KeAcquireSpinLock(&m_StreamEngineLock, &irql);
    for (ObjectListNode* pNode = pList->GetHeadNode(); pNode != nullptr; pNode = pNode->m_pNext) {
        if (pNode->m_pData == pProcessor) {
            pList->RemoveNode(pNode);
            bFound = true;
            break;
        }
    }
    KeReleaseSpinLock(&m_StreamEngineLock, irql);
    if (!bFound) {
        return STATUS_UNSUCCESSFUL;
    }
    pProcessor->Release();
    return STATUS_SUCCESS;
}

VOID StreamEngine::DrainProcessors(ObjectList* pList)
{
    if (pList == nullptr) return;
    for (;;) {
        KIRQL irql;
        KeAcquireSpinLock(&m_StreamEngineLock, &irql);
        IClientProcessor* pProcessor = pList->PopHead<IClientProcessor>();
        KeReleaseSpinLock(&m_StreamEngineLock, irql);
        if (pProcessor == nullptr) {
            return;
        }
        pProcessor->Release();
    }
}

NTSTATUS StreamEngine::AddClientProcessorA(IClientProcessor* pProcessor) { return AddProcessor(m_pProcessorsA, pProcessor); }
NTSTATUS StreamEngine::AddClientProcessorB(IClientProcessor* pProcessor) { return AddProcessor(m_pProcessorsB, pProcessor); }
NTSTATUS StreamEngine::RemoveClientProcessorA(IClientProcessor* pProcessor)
{
    return RemoveProcessor(m_pProcessorsA, pProcessor);
}
NTSTATUS StreamEngine::RemoveClientProcessorB(IClientProcessor* pProcessor)
{
    return RemoveProcessor(m_pProcessorsB, pProcessor);
}
VOID StreamEngine::DrainClientProcessorsA() { DrainProcessors(m_pProcessorsA); }
VOID StreamEngine::DrainClientProcessorsB() { DrainProcessors(m_pProcessorsB); }

IProcessingNode* StreamEngineNodeForHost(StreamEngine* pEngine, ULONG ulIndex)
{
    if (pEngine == nullptr || pEngine->m_pNodes == nullptr) {
        return nullptr;
    }
    return pEngine->m_pNodes->GetAt<IProcessingNode>(ulIndex);
}
