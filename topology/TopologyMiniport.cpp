#include "topology/TopologyMiniport.h"

#include <cstring>

#include "adapter/SettingsStore.h"
#include "platform/nt/Debug.h"
#include "platform/nt/RtlString.h"
#include "topology/TopologyAutomation.h"

namespace {

// The one data range of every topology pin: an analog bridge.
const KSDATARANGE TopologyBridgeRange = {
    sizeof(KSDATARANGE), 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_ANALOG, KSDATAFORMAT_SPECIFIER_NONE,
};
const PKSDATARANGE TopologyBridgeRanges[] = {const_cast<PKSDATARANGE>(&TopologyBridgeRange)};

const GUID TopologyCategories[] = {KSCATEGORY_AUDIO, KSCATEGORY_TOPOLOGY, EnumDeviceInterfaceGuid};

KVX_DEFINE_GUID(SpdifOutDefaultName, "{12C15946-BA58-42C1-9F11-8341E2198622}");
KVX_DEFINE_GUID(SpdifInDefaultName, "{017D895C-7AE7-4F4D-B78C-CD1FFC0CE776}");
KVX_DEFINE_GUID(HdmiPinName, "{387BFC03-E7EF-4901-86E0-35B7C32B00EF}");
KVX_DEFINE_GUID(DisplayPortPinName, "{21FBB329-1A4A-48DA-A076-2318A3C59B26}");
KVX_DEFINE_GUID(AuxPinName, "{5F4BB488-A646-408A-9265-8647F9C374D4}");
KVX_DEFINE_GUID(StereoMixPinName, "{8C5716E6-C984-492E-A2FB-1385F2D0F3C9}");
KVX_DEFINE_GUID(StereoMixLegacyCategory, "{00DFF077-96E3-11D2-AC4C-00C04F8EFB68}");

constexpr ULONG VISTA_DDI_VERSION = 0x06000000;

}  // namespace

NTSTATUS CreateMiniportTopology(PUNKNOWN* ppUnknown, REFCLSID, PUNKNOWN pOuterUnknown, POOL_TYPE PoolType)
{
    if (ppUnknown == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *ppUnknown = nullptr;
    auto* pMiniport = new (PoolType, TOPOLOGY_MINIPORT_TAG) TopologyMiniport(pOuterUnknown);
    if (pMiniport == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *ppUnknown = pMiniport->GetNonDelegatingUnknown();
    (*ppUnknown)->AddRef();
    return STATUS_SUCCESS;
}

TopologyMiniport::TopologyMiniport(PUNKNOWN pOuterUnknown)
    : UnknownBase(pOuterUnknown),
      m_pDescriptor(nullptr),
      m_pPins(nullptr),
      m_pNodes(nullptr),
      m_pConnections(nullptr),
      m_pPort(nullptr),
      m_pPortEvents(nullptr),
      m_pName(nullptr),
      m_pCallbackHandle(nullptr),
      m_pAudioHal(nullptr),
      m_ulPowerState(PowerDeviceD0),
      m_PinRecords{},
      m_NodeRecords{},
      m_ConnectionRecords{},
      m_ulPinCount(0),
      m_ulNodeCount(0),
      m_ulConnectionCount(0)
{
}

TopologyMiniport::~TopologyMiniport()
{
    if (m_pCallbackHandle != nullptr && m_pAudioHal != nullptr) {
        m_pAudioHal->UnregisterCallback(m_pCallbackHandle);
        m_pCallbackHandle = nullptr;
    }
    ReleaseInitState();
    while (TopologyConnectionRecord* pRecord = m_ConnectionRecords.PopFront()) {
        ExFreePoolWithTag(pRecord, TOPOLOGY_MINIPORT_TAG);
    }
    decltype(&m_NodeRecords) lists[] = {&m_NodeRecords, &m_PinRecords};
    for (auto* pList : lists) {
        while (TopologyEntityRecord* pRecord = pList->PopFront()) {
            pRecord->Entity->Release();
            ExFreePoolWithTag(pRecord, TOPOLOGY_MINIPORT_TAG);
        }
    }
}

// What Init acquires, released and cleared, so that a failed Init and destruction never release
// anything twice.
void TopologyMiniport::ReleaseInitState()
{
    if (m_pPort != nullptr) {
        m_pPort->Release();
        m_pPort = nullptr;
    }
    if (m_pPortEvents != nullptr) {
        m_pPortEvents->Release();
        m_pPortEvents = nullptr;
    }
    FreeDescriptor();
    if (m_pName != nullptr) {
        ExFreePoolWithTag(m_pName, TOPOLOGY_MINIPORT_TAG);
        m_pName = nullptr;
    }
    if (m_pAudioHal != nullptr) {
        m_pAudioHal->Release();
        m_pAudioHal = nullptr;
    }
}

void TopologyMiniport::FreeDescriptor()
{
    PVOID* blocks[] = {reinterpret_cast<PVOID*>(&m_pConnections), reinterpret_cast<PVOID*>(&m_pNodes),
                       reinterpret_cast<PVOID*>(&m_pPins), reinterpret_cast<PVOID*>(&m_pDescriptor)};
    for (PVOID* pp : blocks) {
        if (*pp != nullptr) {
            ExFreePoolWithTag(*pp, TOPOLOGY_MINIPORT_TAG);
            *pp = nullptr;
        }
    }
}

NTSTATUS TopologyMiniport::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    if (ppvObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMiniport) || IsEqualGUID(iid, IID_IMiniportTopology)) {
        return ReturnInterface(static_cast<IMiniportTopology*>(this), ppvObject);
    }
    if (IsEqualGUID(iid, SubdeviceNameIid)) {
        return ReturnInterface(static_cast<ISubdeviceName*>(this), ppvObject);
    }
    if (IsEqualGUID(iid, IID_IPowerNotify)) {
        return ReturnInterface(static_cast<IPowerNotify*>(this), ppvObject);
    }
    *ppvObject = nullptr;
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS TopologyMiniport::GetDescription(PPCFILTER_DESCRIPTOR* ppDescription)
{
    if (ppDescription == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_pDescriptor == nullptr) {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    *ppDescription = m_pDescriptor;
    return STATUS_SUCCESS;
}

NTSTATUS TopologyMiniport::Init(PUNKNOWN pUnknownAdapter, PRESOURCELIST, PPORTTOPOLOGY pPort)
{
    if (pPort == nullptr || pUnknownAdapter == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    pPort->AddRef();
    m_pPort = pPort;

    PVOID pRaw = nullptr;
    NTSTATUS status = pUnknownAdapter->QueryInterface(IID_IAudioHal, &pRaw);
    if (NT_SUCCESS(status)) {
        m_pAudioHal = static_cast<IAudioHal*>(pRaw);
        status = BuildPinRecords();
    }
    if (NT_SUCCESS(status)) {
        status = BuildNodeRecords();
    }
    if (NT_SUCCESS(status)) {
        status = BuildDescriptor();
    }
    if (NT_SUCCESS(status)) {
        m_pName = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, NAME_BUFFER_BYTES, TOPOLOGY_MINIPORT_TAG));
        if (m_pName == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            std::memset(m_pName, 0, NAME_BUFFER_BYTES);
            status = RtlStringCbPrintfW(m_pName, 100, u"%s%s", u"Global", u"Topo");
        }
    }
    if (NT_SUCCESS(status)) {
        pRaw = nullptr;
        status = m_pPort->QueryInterface(IID_IPortEvents, &pRaw);
        if (NT_SUCCESS(status)) {
            m_pPortEvents = static_cast<IPortEvents*>(pRaw);
        }
    }
    if (NT_SUCCESS(status)) {
        status = m_pAudioHal->RegisterCallback(&TopologyMiniport::OnControlChange, this, &m_pCallbackHandle);
        if (!NT_SUCCESS(status)) {
            m_pCallbackHandle = nullptr;
        }
    }
    if (!NT_SUCCESS(status)) {
        ReleaseInitState();
    }
    return status;
}

NTSTATUS TopologyMiniport::BuildPinRecords()
{
    const ULONG ulCount = m_pAudioHal->GetEntityCount();
    for (ULONG i = 0; i < ulCount; ++i) {
        TopologyNode* pEntity = nullptr;
        if (!NT_SUCCESS(m_pAudioHal->GetEntity(i, &pEntity)) || pEntity == nullptr) {
            continue;
        }
        const LONG lType = pEntity->GetType();
        if (lType != ENTITY_INPUT_TERMINAL && lType != ENTITY_OUTPUT_TERMINAL) {
            continue;
        }
        PVOID pRaw = nullptr;
        if (!NT_SUCCESS(pEntity->QueryInterface(IID_ITerminalControl, &pRaw))) {
            continue;
        }
        ULONG ulKind = 0;
        static_cast<ITerminalControl*>(pRaw)->GetKind(&ulKind);
        static_cast<ITerminalControl*>(pRaw)->Release();
        auto* pRecord = static_cast<TopologyPinRecord*>(
            ExAllocatePoolWithTag(PagedPool, sizeof(TopologyPinRecord), TOPOLOGY_MINIPORT_TAG));
        if (pRecord == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        std::memset(pRecord, 0, sizeof(*pRecord));
        pRecord->Entity = static_cast<ITopologyNode*>(pEntity);
        pRecord->Entity->AddRef();
        if (ulKind == ENDPOINT_KIND_STREAM) {
            m_PinRecords.PushFront(pRecord);
        } else {
            m_PinRecords.PushBack(pRecord);
        }
        ++m_ulPinCount;
    }
    return STATUS_SUCCESS;
}

NTSTATUS TopologyMiniport::BuildNodeRecords()
{
    const ULONG ulCount = m_pAudioHal->GetEntityCount();
    for (ULONG i = 0; i < ulCount; ++i) {
        TopologyNode* pEntity = nullptr;
        if (!NT_SUCCESS(m_pAudioHal->GetEntity(i, &pEntity)) || pEntity == nullptr) {
            continue;
        }
        const LONG lType = pEntity->GetType();
        if (lType == ENTITY_INPUT_TERMINAL || lType == ENTITY_OUTPUT_TERMINAL || lType == ENTITY_CLOCK) {
            continue;
        }
        auto* pRecord = static_cast<TopologyNodeRecord*>(
            ExAllocatePoolWithTag(PagedPool, sizeof(TopologyNodeRecord), TOPOLOGY_MINIPORT_TAG));
        if (pRecord == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        std::memset(pRecord, 0, sizeof(*pRecord));
        pRecord->Entity = static_cast<ITopologyNode*>(pEntity);
        pRecord->Entity->AddRef();
        m_NodeRecords.PushFront(pRecord);
        ++m_ulNodeCount;
    }
    return STATUS_SUCCESS;
}

NTSTATUS TopologyMiniport::BuildDescriptor()
{
    NTSTATUS status = STATUS_SUCCESS;
    m_pDescriptor = static_cast<PCFILTER_DESCRIPTOR*>(
        ExAllocatePoolWithTag(PagedPool, sizeof(PCFILTER_DESCRIPTOR), TOPOLOGY_MINIPORT_TAG));
    if (m_pDescriptor == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(m_pDescriptor, 0, sizeof(*m_pDescriptor));
    m_pDescriptor->AutomationTable = &TopologyFilterAutomation;

    if (m_ulPinCount != 0) {
        m_pPins = static_cast<PCPIN_DESCRIPTOR*>(
            ExAllocatePoolWithTag(PagedPool, m_ulPinCount * sizeof(PCPIN_DESCRIPTOR), TOPOLOGY_MINIPORT_TAG));
        if (m_pPins == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            std::memset(m_pPins, 0, m_ulPinCount * sizeof(PCPIN_DESCRIPTOR));
        }
    }
    ULONG ulIndex = 0;
    for (TopologyPinRecord* pRecord = m_PinRecords.Head; NT_SUCCESS(status) && pRecord != nullptr;
         pRecord = pRecord->Next, ++ulIndex) {
        pRecord->Index = ulIndex;
        ULONG ulKind = ENDPOINT_KIND_STEREO_MIX;
        PVOID pRaw = nullptr;
        if (NT_SUCCESS(pRecord->Entity->QueryInterface(IID_ITerminalControl, &pRaw))) {
            static_cast<ITerminalControl*>(pRaw)->GetKind(&ulKind);
            static_cast<ITerminalControl*>(pRaw)->Release();
        }
        PCPIN_DESCRIPTOR* pPin = &m_pPins[ulIndex];
        const LONG lType = pRecord->Entity->GetType();
        pPin->KsPinDescriptor.DataRangesCount = 1;
        pPin->KsPinDescriptor.DataRanges = TopologyBridgeRanges;
        pPin->KsPinDescriptor.DataFlow = lType == ENTITY_OUTPUT_TERMINAL ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN;
        pPin->KsPinDescriptor.Communication = KSPIN_COMMUNICATION_NONE;
        status = SetPinName(lType, ulKind, pPin, pRecord);
    }

    if (NT_SUCCESS(status) && m_ulNodeCount != 0) {
        m_pNodes = static_cast<PCNODE_DESCRIPTOR*>(
            ExAllocatePoolWithTag(PagedPool, m_ulNodeCount * sizeof(PCNODE_DESCRIPTOR), TOPOLOGY_MINIPORT_TAG));
        if (m_pNodes == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            std::memset(m_pNodes, 0, m_ulNodeCount * sizeof(PCNODE_DESCRIPTOR));
        }
    }
    ulIndex = 0;
    for (TopologyNodeRecord* pRecord = m_NodeRecords.Head; NT_SUCCESS(status) && pRecord != nullptr;
         pRecord = pRecord->Next, ++ulIndex) {
        pRecord->Index = ulIndex;
        status = FillNode(pRecord, &m_pNodes[ulIndex]);
    }

    if (NT_SUCCESS(status)) {
        status = BuildConnections();
    }
    if (NT_SUCCESS(status) && m_ulConnectionCount != 0) {
        m_pConnections = static_cast<PCCONNECTION_DESCRIPTOR*>(ExAllocatePoolWithTag(
            PagedPool, m_ulConnectionCount * sizeof(PCCONNECTION_DESCRIPTOR), TOPOLOGY_MINIPORT_TAG));
        if (m_pConnections == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            ULONG i = 0;
            for (TopologyConnectionRecord* pRecord = m_ConnectionRecords.Head; pRecord != nullptr;
                 pRecord = pRecord->Next) {
                m_pConnections[i++] = pRecord->Connection;
            }
        }
    }
    if (!NT_SUCCESS(status)) {
        FreeDescriptor();
        return status;
    }
    m_pDescriptor->Version = 0;
    m_pDescriptor->PinSize = sizeof(PCPIN_DESCRIPTOR);
    m_pDescriptor->PinCount = m_ulPinCount;
    m_pDescriptor->Pins = m_pPins;
    m_pDescriptor->NodeSize = sizeof(PCNODE_DESCRIPTOR);
    m_pDescriptor->NodeCount = m_ulNodeCount;
    m_pDescriptor->Nodes = m_pNodes;
    m_pDescriptor->ConnectionCount = m_ulConnectionCount;
    m_pDescriptor->Connections = m_pConnections;
    m_pDescriptor->CategoryCount = 3;
    m_pDescriptor->Categories = TopologyCategories;
    return STATUS_SUCCESS;
}

namespace {

// Node type, name and automation of every entity type whose node depends on nothing else.
struct NodeTableRow {
    LONG EntityType;
    const GUID* Type;
    const GUID* Name;
    const PCAUTOMATION_TABLE* AutomationTable;
};

const NodeTableRow NodeTable[] = {
    {ENTITY_MUTE, &KSNODETYPE_MUTE, nullptr, &MuteNodeAutomation},
    {ENTITY_VOLUME, &KSNODETYPE_VOLUME, nullptr, &VolumeNodeAutomation},
    {ENTITY_MIXER, &KSNODETYPE_SUM, nullptr, nullptr},
    {ENTITY_AGC, &KSNODETYPE_AGC, nullptr, &AgcNodeAutomation},
    {ENTITY_LOUDNESS, &KSNODETYPE_LOUDNESS, nullptr, &LoudnessNodeAutomation},
    {ENTITY_GAIN_PAD, &KSNODETYPE_DEV_SPECIFIC, &GainPadNodeName, &PrivateControlNodeAutomation},
    {ENTITY_BASS, &KSNODETYPE_TONE, &KSAUDFNAME_BASS, &ToneNodeAutomation},
    {ENTITY_MID, &KSNODETYPE_TONE, &MidNodeName, &ToneNodeAutomation},
    {ENTITY_TREBLE, &KSNODETYPE_TONE, &KSAUDFNAME_TREBLE, &ToneNodeAutomation},
    {ENTITY_MULTI_OUTPUT_TERMINAL, &KSNODETYPE_DEV_SPECIFIC, &OutputSelectNodeName, &OutputSelectNodeAutomation},
    {ENTITY_VENDOR_SWITCH, &KSNODETYPE_DEV_SPECIFIC, &VendorSwitchNodeName, &PrivateControlNodeAutomation},
    {ENTITY_LED_SWITCH, &KSNODETYPE_DEV_SPECIFIC, &LedSwitchNodeName, &PrivateControlNodeAutomation},
};

}  // namespace

NTSTATUS TopologyMiniport::FillNode(TopologyNodeRecord* pRecord, PCNODE_DESCRIPTOR* pNode)
{
    pNode->Flags = 0;
    pNode->Name = nullptr;
    const LONG lType = pRecord->Entity->GetType();
    for (const NodeTableRow& row : NodeTable) {
        if (row.EntityType == lType) {
            pNode->Type = row.Type;
            pNode->Name = row.Name;
            pNode->AutomationTable = row.AutomationTable;
            return STATUS_SUCCESS;
        }
    }
    switch (lType) {
    case ENTITY_SELECTOR:
        if (pRecord->Entity->GetSourceCount() >= 2) {
            pNode->Type = &KSNODETYPE_MUX;
            pNode->AutomationTable = &MuxNodeAutomation;
        } else {
            pNode->Type = &KSNODETYPE_DEV_SPECIFIC;
            pNode->Name = &KSNODETYPE_DEV_SPECIFIC;
            pNode->AutomationTable = &SingleInputSelectorAutomation;
        }
        return STATUS_SUCCESS;
    case ENTITY_PROCESSING: {
        PVOID pRaw = nullptr;
        const NTSTATUS status = pRecord->Entity->QueryInterface(IID_IProcessingEntity, &pRaw);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        // Each processing node is named by its own entity's GUID, kept in its own record.
        static_cast<IProcessingEntity*>(pRaw)->GetNodeGuid(&pRecord->Name);
        static_cast<IProcessingEntity*>(pRaw)->Release();
        pNode->Type = &KSNODETYPE_DEV_SPECIFIC;
        pNode->Name = &pRecord->Name;
        pNode->AutomationTable = &ProcessingNodeAutomation;
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_INVALID_PARAMETER;
    }
}

NTSTATUS TopologyMiniport::SetPinName(LONG lEntityType, ULONG ulKind, PCPIN_DESCRIPTOR* pPin,
                                      TopologyPinRecord* pRecord)
{
    KSPIN_DESCRIPTOR& ks = pPin->KsPinDescriptor;
    const bool output = lEntityType == ENTITY_OUTPUT_TERMINAL;
    const bool vista = RtlIsNtDdiVersionAvailable(VISTA_DDI_VERSION) != FALSE;
    PDEVICE_OBJECT pDevice = m_pAudioHal != nullptr ? m_pAudioHal->GetDeviceObject() : nullptr;
    // Reads a 16-byte custom name into the pin's own slot; true when one was read.
    auto readName = [&](PCWSTR valueName) {
        GUID name{};
        if (!NT_SUCCESS(AccessSettingsBinary(pDevice, 1, &name, sizeof(name), valueName))) {
            return false;
        }
        pRecord->Name = name;
        ks.Name = &pRecord->Name;
        return true;
    };
    WCHAR valueName[32] = {};
    ks.Name = nullptr;
    switch (ulKind) {
    case ENDPOINT_KIND_STREAM: ks.Category = &KSCATEGORY_AUDIO; break;
    case ENDPOINT_KIND_SPEAKER: ks.Category = &KSNODETYPE_SPEAKER; break;
    case ENDPOINT_KIND_HEADPHONES:
    case ENDPOINT_KIND_FRONT_HEADPHONES: ks.Category = &KSNODETYPE_HEADPHONES; break;
    case ENDPOINT_KIND_SPDIF:
        ks.Category = &KSNODETYPE_SPDIF_INTERFACE;
        if (output) {
            if (!readName(u"SpdifOutName")) ks.Name = &SpdifOutDefaultName;
        } else {
            RtlStringCbPrintfW(valueName, sizeof(valueName), u"%s_%02d", u"SpdifInName", pRecord->Index);
            if (!readName(valueName)) ks.Name = &SpdifInDefaultName;
        }
        break;
    case ENDPOINT_KIND_HDMI:
        ks.Category = &KSNODETYPE_HDMI_INTERFACE;
        ks.Name = &HdmiPinName;
        break;
    case ENDPOINT_KIND_DISPLAYPORT:
        ks.Category = &KSNODETYPE_DISPLAYPORT_INTERFACE;
        ks.Name = &DisplayPortPinName;
        break;
    case ENDPOINT_KIND_LINE:
        ks.Category = &KSNODETYPE_LINE_CONNECTOR;
        if (!output) {
            RtlStringCbPrintfW(valueName, sizeof(valueName), u"%s_%02d", u"LineInName", pRecord->Index);
            readName(valueName);
        }
        break;
    case ENDPOINT_KIND_MICROPHONE: ks.Category = &KSNODETYPE_MICROPHONE; break;
    case ENDPOINT_KIND_AUX:
        ks.Category = &KSNODETYPE_ANALOG_CONNECTOR;
        if (vista) ks.Name = &AuxPinName;
        break;
    case ENDPOINT_KIND_CD: ks.Category = &KSNODETYPE_CD_PLAYER; break;
    case ENDPOINT_KIND_VIDEO: ks.Category = &KSNODETYPE_VIDEO_DISC_AUDIO; break;
    case ENDPOINT_KIND_FRONT_MICROPHONE: ks.Category = &KSNODETYPE_DESKTOP_MICROPHONE; break;
    case ENDPOINT_KIND_TELEPHONE: ks.Category = &KSNODETYPE_TELEPHONE; break;
    case ENDPOINT_KIND_HANDSET: ks.Category = &KSNODETYPE_HANDSET; break;
    case ENDPOINT_KIND_HEADSET: ks.Category = &KSNODETYPE_HEADSET; break;
    case ENDPOINT_KIND_SPEAKERPHONE: ks.Category = &KSNODETYPE_SPEAKERPHONE; break;
    case ENDPOINT_KIND_STEREO_MIX:
        ks.Category = vista ? &KSNODETYPE_ANALOG_CONNECTOR : &StereoMixLegacyCategory;
        if (vista) ks.Name = &StereoMixPinName;
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

TopologyNodeRecord* TopologyMiniport::FindNodeByEntityId(ULONG ulId) const
{
    for (TopologyNodeRecord* p = m_NodeRecords.Head; p != nullptr; p = p->Next) {
        if (p->Entity->GetId() == ulId) return p;
    }
    return nullptr;
}

TopologyPinRecord* TopologyMiniport::FindPinByEntityId(ULONG ulId) const
{
    for (TopologyPinRecord* p = m_PinRecords.Head; p != nullptr; p = p->Next) {
        if (p->Entity->GetId() == ulId) return p;
    }
    return nullptr;
}

NTSTATUS TopologyMiniport::AddConnection(ULONG fromNode, ULONG fromPin, ULONG toNode, ULONG toPin)
{
    for (TopologyConnectionRecord* p = m_ConnectionRecords.Head; p != nullptr; p = p->Next) {
        const PCCONNECTION_DESCRIPTOR& c = p->Connection;
        if (c.FromNode == fromNode && c.FromNodePin == fromPin && c.ToNode == toNode && c.ToNodePin == toPin) {
            return STATUS_SUCCESS;
        }
    }
    auto* pRecord = static_cast<TopologyConnectionRecord*>(
        ExAllocatePoolWithTag(PagedPool, sizeof(TopologyConnectionRecord), TOPOLOGY_MINIPORT_TAG));
    if (pRecord == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    pRecord->Connection = {fromNode, fromPin, toNode, toPin};
    m_ConnectionRecords.PushFront(pRecord);
    ++m_ulConnectionCount;
    return STATUS_SUCCESS;
}

NTSTATUS TopologyMiniport::BuildConnections()
{
    bool anyOutput = false;
    NTSTATUS status = STATUS_SUCCESS;
    for (TopologyPinRecord* pPin = m_PinRecords.Head; pPin != nullptr; pPin = pPin->Next) {
        if (pPin->Entity->GetType() != ENTITY_OUTPUT_TERMINAL) {
            continue;
        }
        PVOID pRaw = nullptr;
        if (!NT_SUCCESS(pPin->Entity->QueryInterface(IID_ITerminalControl, &pRaw))) {
            // Only the first output terminal must answer; a later one ends the walk.
            if (!anyOutput) {
                return STATUS_UNSUCCESSFUL;
            }
            break;
        }
        static_cast<ITerminalControl*>(pRaw)->Release();
        anyOutput = true;
        ULONG ulSource = 0;
        ULONG ulCount = 1;
        pPin->Entity->GetSources(&ulCount, &ulSource);
        if (ulCount == 0) {
            return STATUS_UNSUCCESSFUL;  // an output terminal fed by nothing
        }
        if (TopologyNodeRecord* pNode = FindNodeByEntityId(ulSource)) {
            status = WalkBack(pNode);
            if (NT_SUCCESS(status)) {
                status = AddConnection(pNode->Index, 0, KSFILTER_NODE, pPin->Index);
            }
        } else if (TopologyPinRecord* pFrom = FindPinByEntityId(ulSource)) {
            status = AddConnection(KSFILTER_NODE, pFrom->Index, KSFILTER_NODE, pPin->Index);
        } else {
            status = STATUS_UNSUCCESSFUL;
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return anyOutput ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS TopologyMiniport::WalkBack(TopologyNodeRecord* pNode)
{
    // A node already on the path closes a cycle: refused. A node already walked has its inputs
    // connected: a shared sub-graph is walked once.
    if (pNode->OnPath) {
        return STATUS_UNSUCCESSFUL;
    }
    if (pNode->Walked) {
        return STATUS_SUCCESS;
    }
    const ULONG n = pNode->Entity->GetSourceCount();
    if (n == 0) {
        TopologyPinRecord* pPin = FindPinByEntityId(pNode->Entity->GetId());
        if (pPin == nullptr) {
            return STATUS_UNSUCCESSFUL;
        }
        pNode->Walked = 1;
        return AddConnection(KSFILTER_NODE, pPin->Index, pNode->Index, 1);
    }
    auto* pIds = static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, n * sizeof(ULONG), TOPOLOGY_MINIPORT_TAG));
    if (pIds == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG ulCount = n;
    NTSTATUS status = pNode->Entity->GetSources(&ulCount, pIds);
    pNode->OnPath = 1;
    for (ULONG i = 0; NT_SUCCESS(status) && i < ulCount; ++i) {
        if (TopologyNodeRecord* pFrom = FindNodeByEntityId(pIds[i])) {
            // The inner walk's refusals (a cycle, a dangling source further up) leave that branch
            // unconnected; running out of memory, though, must not publish a partial filter.
            status = WalkBack(pFrom);
            if (status != STATUS_INSUFFICIENT_RESOURCES) {
                status = AddConnection(pFrom->Index, 0, pNode->Index, i + 1);
            }
        } else if (TopologyPinRecord* pPin = FindPinByEntityId(pIds[i])) {
            status = AddConnection(KSFILTER_NODE, pPin->Index, pNode->Index, i + 1);
        } else {
            status = STATUS_UNSUCCESSFUL;
        }
    }
    pNode->OnPath = 0;
    pNode->Walked = NT_SUCCESS(status) ? 1 : 0;
    ExFreePoolWithTag(pIds, TOPOLOGY_MINIPORT_TAG);
    return status;
}

VOID TopologyMiniport::PowerChangeNotify(POWER_STATE PowerState)
{
    const ULONG ulState = static_cast<ULONG>(PowerState.DeviceState);
    if (ulState >= PowerDeviceD0 && ulState <= PowerDeviceD3 && ulState != m_ulPowerState) {
        m_ulPowerState = ulState;
    }
}

NTSTATUS TopologyMiniport::GetBridgePin(PULONG pValue)
{
    if (pValue == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG ulId = *pValue;
    *pValue = 0;
    if (TopologyPinRecord* pPin = FindPinByEntityId(ulId)) {
        *pValue = pPin->Index;
        return STATUS_SUCCESS;
    }
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS TopologyMiniport::GetName(PWSTR* ppName)
{
    if (ppName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *ppName = m_pName;
    return STATUS_SUCCESS;
}

ITopologyNode* TopologyMiniport::GetNodeEntity(ULONG ulNode) const
{
    for (TopologyNodeRecord* p = m_NodeRecords.Head; p != nullptr; p = p->Next) {
        if (p->Index == ulNode) return p->Entity;
    }
    return nullptr;
}

ITopologyNode* TopologyMiniport::GetPinEntity(ULONG ulPin) const
{
    for (TopologyPinRecord* p = m_PinRecords.Head; p != nullptr; p = p->Next) {
        if (p->Index == ulPin) return p->Entity;
    }
    return nullptr;
}

VOID TopologyMiniport::OnControlChange(PVOID pContext, PVOID pArgument1, PVOID)
{
    auto* pThis = static_cast<TopologyMiniport*>(pContext);
    const auto* pMessage = static_cast<const ULONG*>(pArgument1);
    // Anyone may notify the callback object: a null or foreign message is ignored.
    if (pThis == nullptr || pMessage == nullptr || pMessage[0] != 1 || pMessage[1] != 1) {
        return;
    }
    // Terminals and clocks have no node and so no event.
    if (TopologyNodeRecord* pNode = pThis->FindNodeByEntityId(pMessage[2])) {
        pThis->RaiseControlChange(pNode->Index);
    }
}

void TopologyMiniport::RaiseControlChange(ULONG ulNode)
{
    if (m_pPortEvents != nullptr) {
        GUID set = KSEVENTSETID_AudioControlChange;
        m_pPortEvents->GenerateEventList(&set, KSEVENT_CONTROL_CHANGE, FALSE, 0xFFFFFFFF, TRUE, ulNode);
    }
}
