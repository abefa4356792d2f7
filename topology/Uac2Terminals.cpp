#include "topology/Uac2Terminals.h"

#include <cstring>

#include "platform/nt/Pool.h"
#include "topology/JackTables.h"
#include "topology/Uac1UnitRequest.h"
#include "topology/Uac2UnitRequest.h"
#include "topology/UsbTerminalEntities.h"

namespace {

constexpr USHORT JACK_LIST = 0x02FF;
constexpr USHORT CONNECTORS = 0x0200;
constexpr ULONG CONNECTORS_BYTES = 6;
constexpr USHORT USB_STREAMING = 0x0101;

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
           m_pDescriptor[1] == CS_INTERFACE_DESCRIPTOR && m_pDescriptor[2] == USB_AUDIO_AC_INPUT_TERMINAL;
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
    if (TerminalType() != USB_STREAMING && ConnectorReadable()) {
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
    if (pRecords == nullptr || cbBytes == 0 || TerminalType() == USB_STREAMING || !ConnectorReadable() ||
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
