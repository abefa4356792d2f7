#include "topology/Uac2Terminals.h"

#include <cstring>

#include "adapter/SettingsStore.h"
#include "platform/nt/Debug.h"
#include "platform/nt/Pool.h"
#include "platform/nt/RtlString.h"
#include "topology/JackTables.h"
#include "topology/Uac1UnitRequest.h"
#include "topology/Uac2UnitRequest.h"
#include "topology/UsbTerminalEntities.h"

namespace {

constexpr USHORT JACK_LIST = 0x02FF;
constexpr USHORT CONNECTORS = 0x0200;
constexpr ULONG CONNECTORS_BYTES = 6;

USHORT Le16(const UCHAR* p) { return static_cast<USHORT>(p[0] | (p[1] << 8)); }

// The kind an input terminal reports (both headset types are a handset here).
ULONG Uac2InputKind(USHORT type)
{
    switch (type) {
    case 0x0101: return ENDPOINT_KIND_STREAM;
    case 0x0201: case 0x0202: case 0x0203: case 0x0204: case 0x0205: case 0x0206: return ENDPOINT_KIND_MICROPHONE;
    case 0x0401: case 0x0402: return ENDPOINT_KIND_HANDSET;
    case 0x0403: case 0x0404: case 0x0405: return ENDPOINT_KIND_SPEAKERPHONE;
    case 0x0603: return ENDPOINT_KIND_LINE;
    case 0x0605: return ENDPOINT_KIND_SPDIF;
    default: return ENDPOINT_KIND_AUX;
    }
}

}  // namespace

NTSTATUS Uac2ReadJackList(UsbAudioUnit* pUnit, JackRecord** ppJacks, PULONG pulCount)
{
    *ppJacks = nullptr;
    *pulCount = 0;
    const UCHAR id = static_cast<UCHAR>(pUnit->GetId());
    UCHAR head[1 + JACK_ENTRY_BYTES] = {};
    ULONG received = 0;
    NTSTATUS status = UnitControlTransfer(pUnit->Owner(), id, URB_FUNCTION_CLASS_INTERFACE, USB_AUDIO2_CUR, JACK_LIST,
                                          TRUE, head, sizeof head, &received);
    if (NT_SUCCESS(status) && received == 0) {
        status = STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(status)) {
        DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_WARNING_LEVEL,
                   "UAC2: terminal %u has a readable Connectors control but does not answer the vendor jack list "
                   "(0x%08X)\n",
                   id, static_cast<unsigned>(status));
        return status;
    }
    // No jacks: nothing to allocate.
    const ULONG count = head[0];
    if (count == 0) {
        return STATUS_SUCCESS;
    }
    const ULONG cbReply = count * JACK_ENTRY_BYTES + 1;
    auto* pReply = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, cbReply, UAC2_UNIT_TAG));
    auto* pJacks =
        static_cast<JackRecord*>(ExAllocatePoolWithTag(NonPagedPoolNx, count * sizeof(JackRecord), UAC2_UNIT_TAG));
    if (pReply == nullptr || pJacks == nullptr) {
        if (pReply != nullptr) {
            ExFreePoolWithTag(pReply, UAC2_UNIT_TAG);
        }
        if (pJacks != nullptr) {
            ExFreePoolWithTag(pJacks, UAC2_UNIT_TAG);
        }
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(pReply, 0, cbReply);
    std::memset(pJacks, 0, count * sizeof(JackRecord));
    // The whole list the count promised must arrive.
    status = Uac2Cur(pUnit->Owner(), id, JACK_LIST, TRUE, pReply, cbReply);
    if (NT_SUCCESS(status)) {
        for (ULONG i = 0; i < count; ++i) {
            FillJackRecord(pReply + 1 + JACK_ENTRY_BYTES * i, &pJacks[i]);
            pJacks[i].Word8 = 0;
        }
    }
    ExFreePoolWithTag(pReply, UAC2_UNIT_TAG);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(pJacks, UAC2_UNIT_TAG);
        return status;
    }
    *ppJacks = pJacks;
    *pulCount = count;
    return STATUS_SUCCESS;
}

NTSTATUS Uac2RefreshJackConnections(UsbAudioUnit* pUnit, JackRecord* pJacks, ULONG ulCount, JackRecord* pCopy)
{
    UCHAR reply[CONNECTORS_BYTES] = {};
    NTSTATUS status = Uac2Cur(pUnit->Owner(), static_cast<UCHAR>(pUnit->GetId()), CONNECTORS, TRUE, reply, sizeof reply);
    ULONG mask = 0;
    if (NT_SUCCESS(status)) {
        mask = static_cast<ULONG>(reply[1]) | (static_cast<ULONG>(reply[2]) << 8) |
               (static_cast<ULONG>(reply[3]) << 16) | (static_cast<ULONG>(reply[4]) << 24);
    }
    std::memcpy(pCopy, pJacks, ulCount * sizeof(JackRecord));
    for (ULONG i = 0; i < ulCount; ++i) {
        const ULONG connected = (pJacks[i].ChannelMapping & mask) != 0 ? 1 : 0;
        __atomic_store_n(&pJacks[i].IsConnected, connected, __ATOMIC_RELAXED);
        pCopy[i].IsConnected = connected;
    }
    return status;
}

// ---- Uac2InputTerminal ----

Uac2InputTerminal::Uac2InputTerminal(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId)
    : UsbAudioUnit(pOuterUnknown, ulProvisionalId), m_ulJackCount(0), m_pJacks(nullptr)
{
}

Uac2InputTerminal::~Uac2InputTerminal()
{
    if (m_pJacks != nullptr) {
        ExFreePoolWithTag(m_pJacks, UAC2_UNIT_TAG);
        m_pJacks = nullptr;
    }
    m_ulJackCount = 0;
}

NTSTATUS Uac2InputTerminal::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    NTSTATUS status = TopologyNode::NonDelegatingQueryInterface(iid, ppvObject);
    if (NT_SUCCESS(status) || ppvObject == nullptr) {
        return status;
    }
    if (IsEqualGUID(iid, IID_ITerminalControl)) {
        return ReturnInterface(static_cast<ITerminalControl*>(this), ppvObject);
    }
    if (IsEqualGUID(iid, IID_IClockSourceLink)) {
        return ReturnInterface(static_cast<IClockSourceLink*>(this), ppvObject);
    }
    return STATUS_INVALID_PARAMETER;
}

bool Uac2InputTerminal::IsInputDescriptor() const
{
    return m_pDescriptor != nullptr && m_pDescriptor[0] >= UAC2_INPUT_TERMINAL_MIN_LENGTH &&
           m_pDescriptor[1] == USB_AUDIO_CS_INTERFACE && m_pDescriptor[2] == USB_AUDIO_AC_INPUT_TERMINAL;
}

USHORT Uac2InputTerminal::TerminalType() const { return IsInputDescriptor() ? Le16(m_pDescriptor + 4) : 0; }

bool Uac2InputTerminal::ConnectorReadable() const { return IsInputDescriptor() && (m_pDescriptor[14] & 0x04) != 0; }

NTSTATUS Uac2InputTerminal::InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal)
{
    if (pDescriptor != nullptr && pDescriptor[0] < UAC2_INPUT_TERMINAL_MIN_LENGTH) {
        return STATUS_INVALID_PARAMETER;
    }
    return InitFromDescriptorSequence(pDescriptor, pOwner, pHal, USB_AUDIO_AC_INPUT_TERMINAL,
                                      [this](IAudioHal* hal) { return Init(hal); });
}

NTSTATUS Uac2InputTerminal::Init(IAudioHal* hal)
{
    if (hal == nullptr || !IsInputDescriptor()) {
        return STATUS_INVALID_PARAMETER;
    }
    m_ulId = m_pDescriptor[3];
    m_lType = USB_AUDIO_AC_INPUT_TERMINAL;
    NTSTATUS status = SetSources(0, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG next = hal->GetEntityCount();
    if (TerminalType() != USB_AUDIO_TERMINAL_USB_STREAMING && ConnectorReadable()) {
        if (m_pJacks != nullptr) {
            ExFreePoolWithTag(m_pJacks, UAC2_UNIT_TAG);
            m_pJacks = nullptr;
            m_ulJackCount = 0;
        }
        status = Uac2ReadJackList(this, &m_pJacks, &m_ulJackCount);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    AudioCapabilities capabilities;
    std::memset(&capabilities, 0, sizeof capabilities);
    hal->GetCapabilities(TRUE, CaptureKindTable(TerminalType()), &capabilities);
    return CreateEntity<UsbInputTerminalEntity>(
        hal, UAC2_UNIT_TAG, &next,
        [&](UsbInputTerminalEntity* e) { return SetupInputTerminalEntity(e, this, &capabilities); },
        static_cast<UsbInputTerminalEntity**>(nullptr));
}

NTSTATUS Uac2InputTerminal::GetKind(PULONG pKind)
{
    if (pKind == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pKind = Uac2InputKind(TerminalType());
    return STATUS_SUCCESS;
}

NTSTATUS Uac2InputTerminal::GetKindCount(PULONG pCount)
{
    if (pCount == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pCount = 1;
    return STATUS_SUCCESS;
}

NTSTATUS Uac2InputTerminal::GetKinds(PULONG pKinds) { return GetKind(pKinds); }

NTSTATUS Uac2InputTerminal::SelectKind(ULONG ulKind)
{
    return ulKind == Uac2InputKind(TerminalType()) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

NTSTATUS Uac2InputTerminal::GetJackCount(PULONG pCount, ULONG)
{
    if (pCount == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const USHORT type = TerminalType();
    const bool jacked = (type >= 0x0201 && type <= 0x0206) || (type >= 0x0401 && type <= 0x0405) || type == 0x0601 ||
                        type == 0x0603 || type == 0x0605;
    *pCount = jacked ? m_ulJackCount : 0;
    return STATUS_SUCCESS;
}

NTSTATUS Uac2InputTerminal::GetJackDescriptions(ULONG cbBytes, JackRecord* pRecords, ULONG)
{
    if (pRecords == nullptr || cbBytes == 0 || TerminalType() == USB_AUDIO_TERMINAL_USB_STREAMING || !ConnectorReadable() ||
        m_ulJackCount == 0 || cbBytes < m_ulJackCount * sizeof(JackRecord)) {
        return STATUS_INVALID_PARAMETER;
    }
    return Uac2RefreshJackConnections(this, m_pJacks, m_ulJackCount, pRecords);
}

NTSTATUS Uac2InputTerminal::GetClockSourceId(PULONG pId)
{
    if (pId == nullptr || !IsInputDescriptor()) {
        return STATUS_INVALID_PARAMETER;
    }
    *pId = m_pDescriptor[7];
    return STATUS_SUCCESS;
}

NTSTATUS Uac2InputTerminal::HandleStatusChange(ULONG ulSelector, ULONG ulChannel, PULONG pulId)
{
    if (pulId == nullptr || ulSelector != 0x02 || ulChannel != 0) {
        return STATUS_UNSUCCESSFUL;
    }
    ULONG count = 0;
    GetEntityCount(&count);
    for (ULONG i = 0; i < count; ++i) {
        TopologyNode* pEntity = nullptr;
        GetEntity(i, &pEntity);
        if (pEntity != nullptr && pEntity->GetType() == ENTITY_INPUT_TERMINAL) {
            pEntity->Refresh();
            *pulId = pEntity->GetId();
            return STATUS_SUCCESS;
        }
    }
    return STATUS_UNSUCCESSFUL;
}

// ---- Uac2OutputTerminal ----

namespace {

constexpr USHORT OUTPUT_TYPE = 0x0800;

// "UACUnit03": the active output kind of terminal 3.
void FormatActiveOutputName(WCHAR (&name)[20], ULONG ulUnitId)
{
    RtlStringCbPrintfW(name, sizeof(name), u"%s%02d", u"UACUnit", static_cast<int>(ulUnitId));
}

// A 4-byte value under "Settings"; `*pValue` keeps what it had when nothing is stored.
void ReadSetting(PDEVICE_OBJECT pDevice, PCWSTR name, PULONG pValue)
{
    ULONG value = *pValue;
    if (NT_SUCCESS(AccessSettingsBinary(pDevice, SETTINGS_READ, &value, sizeof value, name))) {
        *pValue = value;
    }
}

PDEVICE_OBJECT DeviceOf(IAudioHal* pOwner) { return pOwner != nullptr ? pOwner->GetDeviceObject() : nullptr; }

}  // namespace

Uac2OutputTerminal::Uac2OutputTerminal(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId)
    : UsbAudioUnit(pOuterUnknown, ulProvisionalId),
      m_ulActiveKind(0),
      m_ulOutputCount(0),
      m_pKinds(nullptr),
      m_pTypes(nullptr),
      m_pJackCounts(nullptr),
      m_ppJacks(nullptr)
{
}

Uac2OutputTerminal::~Uac2OutputTerminal() { FreeOutputs(); }

NTSTATUS Uac2OutputTerminal::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    NTSTATUS status = TopologyNode::NonDelegatingQueryInterface(iid, ppvObject);
    if (NT_SUCCESS(status) || ppvObject == nullptr) {
        return status;
    }
    if (IsEqualGUID(iid, IID_ITerminalControl)) {
        return ReturnInterface(static_cast<ITerminalControl*>(this), ppvObject);
    }
    if (IsEqualGUID(iid, IID_IClockSourceLink)) {
        return ReturnInterface(static_cast<IClockSourceLink*>(this), ppvObject);
    }
    return STATUS_INVALID_PARAMETER;
}

bool Uac2OutputTerminal::IsOutputDescriptor() const
{
    return m_pDescriptor != nullptr && m_pDescriptor[0] >= UAC2_OUTPUT_TERMINAL_MIN_LENGTH &&
           m_pDescriptor[1] == USB_AUDIO_CS_INTERFACE && m_pDescriptor[2] == USB_AUDIO_AC_OUTPUT_TERMINAL;
}

USHORT Uac2OutputTerminal::TerminalType() const { return IsOutputDescriptor() ? Le16(m_pDescriptor + 4) : 0; }

bool Uac2OutputTerminal::ConnectorReadable() const { return IsOutputDescriptor() && (m_pDescriptor[9] & 0x04) != 0; }

void Uac2OutputTerminal::FreeOutputs()
{
    if (m_ppJacks != nullptr) {
        for (ULONG i = 0; i < m_ulOutputCount; ++i) {
            if (m_ppJacks[i] != nullptr) {
                ExFreePoolWithTag(m_ppJacks[i], UAC2_UNIT_TAG);
            }
        }
        ExFreePoolWithTag(m_ppJacks, UAC2_UNIT_TAG);
        m_ppJacks = nullptr;
    }
    if (m_pKinds != nullptr) {
        ExFreePoolWithTag(m_pKinds, UAC2_UNIT_TAG);
        m_pKinds = nullptr;
    }
    if (m_pTypes != nullptr) {
        ExFreePoolWithTag(m_pTypes, UAC2_UNIT_TAG);
        m_pTypes = nullptr;
    }
    if (m_pJackCounts != nullptr) {
        ExFreePoolWithTag(m_pJackCounts, UAC2_UNIT_TAG);
        m_pJackCounts = nullptr;
    }
    m_ulOutputCount = 0;
}

NTSTATUS Uac2OutputTerminal::AllocateOutputs(ULONG ulCount)
{
    FreeOutputs();
    m_pKinds = static_cast<PULONG>(ExAllocatePoolWithTag(NonPagedPoolNx, ulCount * sizeof(ULONG), UAC2_UNIT_TAG));
    m_pTypes = static_cast<PUSHORT>(ExAllocatePoolWithTag(NonPagedPoolNx, ulCount * sizeof(USHORT), UAC2_UNIT_TAG));
    m_pJackCounts = static_cast<PULONG>(ExAllocatePoolWithTag(NonPagedPoolNx, ulCount * sizeof(ULONG), UAC2_UNIT_TAG));
    m_ppJacks =
        static_cast<JackRecord**>(ExAllocatePoolWithTag(NonPagedPoolNx, ulCount * sizeof(JackRecord*), UAC2_UNIT_TAG));
    if (m_pKinds == nullptr || m_pTypes == nullptr || m_pJackCounts == nullptr || m_ppJacks == nullptr) {
        FreeOutputs();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(m_pKinds, 0, ulCount * sizeof(ULONG));
    std::memset(m_pTypes, 0, ulCount * sizeof(USHORT));
    std::memset(m_pJackCounts, 0, ulCount * sizeof(ULONG));
    std::memset(m_ppJacks, 0, ulCount * sizeof(JackRecord*));
    m_ulOutputCount = ulCount;
    return STATUS_SUCCESS;
}

void Uac2OutputTerminal::SelectOutputOnDevice(ULONG ulOutput)
{
    UCHAR wire[2] = {static_cast<UCHAR>(m_pTypes[ulOutput]), static_cast<UCHAR>(m_pTypes[ulOutput] >> 8)};
    // A device that refuses the switch keeps its output; the driver's choice stands.
    Uac2Cur(m_pOwner, m_pDescriptor[3], OUTPUT_TYPE, FALSE, wire, sizeof wire);
}

void Uac2OutputTerminal::StoreActiveKind()
{
    WCHAR name[20];
    FormatActiveOutputName(name, m_pDescriptor[3]);
    ULONG kind = m_ulActiveKind;
    AccessSettingsBinary(DeviceOf(m_pOwner), SETTINGS_WRITE, &kind, sizeof kind, name);
}

void Uac2OutputTerminal::RefreshEntitiesOfType(LONG lType, bool firstOnly)
{
    ULONG count = 0;
    GetEntityCount(&count);
    for (ULONG i = 0; i < count; ++i) {
        TopologyNode* pEntity = nullptr;
        GetEntity(i, &pEntity);
        if (pEntity != nullptr && pEntity->GetType() == lType) {
            pEntity->Refresh();
            if (firstOnly) {
                return;
            }
        }
    }
}

NTSTATUS Uac2OutputTerminal::InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal)
{
    if (pDescriptor != nullptr && pDescriptor[0] < UAC2_OUTPUT_TERMINAL_MIN_LENGTH) {
        return STATUS_INVALID_PARAMETER;
    }
    return InitFromDescriptorSequence(pDescriptor, pOwner, pHal, USB_AUDIO_AC_OUTPUT_TERMINAL,
                                      [this](IAudioHal* hal) { return Init(hal); });
}

NTSTATUS Uac2OutputTerminal::ReadOutputList()
{
    const UCHAR id = m_pDescriptor[3];
    UCHAR head[2] = {};
    ULONG n = 1;
    PUCHAR pList = nullptr;
    if (NT_SUCCESS(Uac2Range(m_pOwner, id, OUTPUT_TYPE, head, sizeof head)) && Le16(head) >= 2) {
        n = Le16(head);
        // A list the 16-bit wLength cannot carry is refused unread.
        const ULONG length = Uac2RangeLength(n, 2);
        if (length == 0) {
            return STATUS_INVALID_PARAMETER;
        }
        pList = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, length, UAC2_UNIT_TAG));
        if (pList == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        NTSTATUS status = Uac2Range(m_pOwner, id, OUTPUT_TYPE, pList, length);
        if (!NT_SUCCESS(status)) {
            ExFreePoolWithTag(pList, UAC2_UNIT_TAG);
            return status;
        }
    }
    NTSTATUS status = AllocateOutputs(n);
    if (!NT_SUCCESS(status)) {
        if (pList != nullptr) {
            ExFreePoolWithTag(pList, UAC2_UNIT_TAG);
        }
        return status;
    }
    const ULONG remembered = m_ulActiveKind;
    for (ULONG i = 0; i < n && NT_SUCCESS(status); ++i) {
        m_pTypes[i] = pList != nullptr ? Le16(pList + 2 + 6 * i) : TerminalType();
        m_pKinds[i] = RenderKindTable(m_pTypes[i], false);
        // The jack list describes the output selected on the device.
        if (n > 1) {
            SelectOutputOnDevice(i);
        }
        status = Uac2ReadJackList(this, &m_ppJacks[i], &m_pJackCounts[i]);
    }
    if (pList != nullptr) {
        ExFreePoolWithTag(pList, UAC2_UNIT_TAG);
    }
    if (n > 1) {
        SelectKind(remembered);
    }
    return status;
}

NTSTATUS Uac2OutputTerminal::Init(IAudioHal* hal)
{
    if (hal == nullptr || !IsOutputDescriptor()) {
        return STATUS_INVALID_PARAMETER;
    }
    m_ulId = m_pDescriptor[3];
    m_lType = USB_AUDIO_AC_OUTPUT_TERMINAL;
    const ULONG source = m_pDescriptor[7];
    NTSTATUS status = SetSources(1, &source);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG next = hal->GetEntityCount();
    PDEVICE_OBJECT device = hal->GetDeviceObject();

    ULONG stored = RenderKindTable(TerminalType(), false);
    WCHAR name[20];
    FormatActiveOutputName(name, m_ulId);
    ReadSetting(device, name, &stored);
    ULONG bySelection = 0;
    ReadSetting(device, u"INITOTTYPEBYSEL", &bySelection);

    if (TerminalType() != USB_AUDIO_TERMINAL_USB_STREAMING && ConnectorReadable()) {
        UCHAR wire[2] = {};
        m_ulActiveKind = stored;
        if (NT_SUCCESS(Uac2Cur(m_pOwner, m_pDescriptor[3], OUTPUT_TYPE, TRUE, wire, sizeof wire)) && bySelection != 0) {
            m_ulActiveKind = RenderKindTable(Le16(wire), false);
        }
        status = ReadOutputList();
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (m_ulOutputCount > 1) {
            for (ULONG i = 0; i < m_ulOutputCount; ++i) {
                if (m_pKinds[i] == m_ulActiveKind) {
                    SelectOutputOnDevice(i);
                    break;
                }
            }
        }
    } else {
        status = AllocateOutputs(1);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        m_pKinds[0] = stored;
        m_pTypes[0] = TerminalType();
        m_ulActiveKind = stored;
    }

    for (ULONG i = 0; i < m_ulOutputCount; ++i) {
        AudioCapabilities capabilities;
        std::memset(&capabilities, 0, sizeof capabilities);
        hal->GetCapabilities(FALSE, m_pKinds[i], &capabilities);
        status = CreateEntity<UsbOutputTerminalEntity>(
            hal, UAC2_UNIT_TAG, &next,
            [&](UsbOutputTerminalEntity* e) { return SetupOutputTerminalEntity(e, this, &capabilities); },
            static_cast<UsbOutputTerminalEntity**>(nullptr), i);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    if (m_ulOutputCount > 1) {
        status = CreateEntity<UsbMultiOutputTerminalEntity>(
            hal, UAC2_UNIT_TAG, &next,
            [&](UsbMultiOutputTerminalEntity* e) { return SetupMultiOutputTerminalEntity(e, this, device, hal); },
            static_cast<UsbMultiOutputTerminalEntity**>(nullptr));
    }
    return status;
}

NTSTATUS Uac2OutputTerminal::GetKind(PULONG pKind)
{
    if (pKind == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pKind = m_ulActiveKind;
    return STATUS_SUCCESS;
}

NTSTATUS Uac2OutputTerminal::GetKindCount(PULONG pCount)
{
    if (pCount == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pCount = m_ulOutputCount;
    return STATUS_SUCCESS;
}

NTSTATUS Uac2OutputTerminal::GetKinds(PULONG pKinds)
{
    if (pKinds == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_ulOutputCount != 0) {
        std::memcpy(pKinds, m_pKinds, m_ulOutputCount * sizeof(ULONG));
    }
    return STATUS_SUCCESS;
}

NTSTATUS Uac2OutputTerminal::SelectKind(ULONG ulKind)
{
    NTSTATUS status = QueryOwnerUsbDevice(m_pOwner);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    for (ULONG i = 0; i < m_ulOutputCount; ++i) {
        if (m_pKinds[i] == ulKind) {
            m_ulActiveKind = ulKind;
            SelectOutputOnDevice(i);
            StoreActiveKind();
            RefreshEntitiesOfType(ENTITY_OUTPUT_TERMINAL, false);
            return STATUS_SUCCESS;
        }
    }
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS Uac2OutputTerminal::GetJackCount(PULONG pCount, ULONG ulOutput)
{
    if (pCount == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pCount = 0;
    if (TerminalType() == USB_AUDIO_TERMINAL_USB_STREAMING || !ConnectorReadable()) {
        return STATUS_SUCCESS;
    }
    if (ulOutput >= m_ulOutputCount) {
        return STATUS_INVALID_PARAMETER;
    }
    *pCount = m_pJackCounts[ulOutput];
    return STATUS_SUCCESS;
}

NTSTATUS Uac2OutputTerminal::GetJackDescriptions(ULONG cbBytes, JackRecord* pRecords, ULONG ulOutput)
{
    if (pRecords == nullptr || cbBytes == 0 || TerminalType() == USB_AUDIO_TERMINAL_USB_STREAMING || !ConnectorReadable() ||
        ulOutput >= m_ulOutputCount || m_pJackCounts[ulOutput] == 0 ||
        cbBytes < m_pJackCounts[ulOutput] * sizeof(JackRecord)) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG count = m_pJackCounts[ulOutput];
    if (m_pKinds[ulOutput] == m_ulActiveKind) {
        return Uac2RefreshJackConnections(this, m_ppJacks[ulOutput], count, pRecords);
    }
    ULONG connect = 0;
    ReadSetting(DeviceOf(m_pOwner), u"SetJackConnect", &connect);
    std::memcpy(pRecords, m_ppJacks[ulOutput], count * sizeof(JackRecord));
    for (ULONG i = 0; i < count; ++i) {
        pRecords[i].IsConnected = connect != 0 ? 1 : 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS Uac2OutputTerminal::GetClockSourceId(PULONG pId)
{
    if (pId == nullptr || !IsOutputDescriptor()) {
        return STATUS_INVALID_PARAMETER;
    }
    *pId = m_pDescriptor[8];
    return STATUS_SUCCESS;
}

NTSTATUS Uac2OutputTerminal::HandleStatusChange(ULONG ulSelector, ULONG, PULONG)
{
    if (ulSelector != 0x02 && ulSelector != 0x08) {
        return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS status = QueryOwnerUsbDevice(m_pOwner);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (ulSelector == 0x08) {
        UCHAR wire[2] = {};
        status = Uac2Cur(m_pOwner, m_pDescriptor[3], OUTPUT_TYPE, TRUE, wire, sizeof wire);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        m_ulActiveKind = RenderKindTable(Le16(wire), true);
        StoreActiveKind();
    }
    RefreshEntitiesOfType(ENTITY_MULTI_OUTPUT_TERMINAL, true);
    RefreshEntitiesOfType(ENTITY_OUTPUT_TERMINAL, false);
    return STATUS_SUCCESS;
}
