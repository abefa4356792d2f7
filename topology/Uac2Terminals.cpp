#include "topology/Uac2Terminals.h"

#include <cstring>

#include "platform/nt/Debug.h"
#include "platform/nt/Pool.h"
#include "topology/JackTables.h"
#include "topology/Uac1UnitRequest.h"
#include "topology/Uac2UnitRequest.h"

namespace {

constexpr USHORT JACK_LIST = 0x02FF;
constexpr USHORT CONNECTORS = 0x0200;
constexpr ULONG CONNECTORS_BYTES = 6;
constexpr USHORT OUTPUT_TYPE = 0x0800;
// Bytes of one subrange of the output-type control's RANGE: MIN (the output's type), MAX, RES.
constexpr ULONG OUTPUT_SUBRANGE_BYTES = 6;

USHORT Le16(const UCHAR* p) { return static_cast<USHORT>(p[0] | (p[1] << 8)); }

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
    PUCHAR pReply = nullptr;
    JackRecord* pJacks = nullptr;
    if (!NT_SUCCESS(AllocateJackReply(count, UAC2_UNIT_TAG, &pReply, &pJacks))) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
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

// ---- version points ----

bool Uac2TerminalTraits::Describes(const UCHAR* pDescriptor, UCHAR subtype)
{
    const ULONG minimum = subtype == USB_AUDIO_AC_INPUT_TERMINAL ? INPUT_MIN_LENGTH : OUTPUT_MIN_LENGTH;
    return pDescriptor != nullptr && pDescriptor[0] >= minimum && pDescriptor[1] == USB_AUDIO_CS_INTERFACE &&
           pDescriptor[2] == subtype;
}

// Bit 2 of bmControls: the lower bit of the Connectors control pair.
bool Uac2TerminalTraits::JacksReadable(const UCHAR* pDescriptor)
{
    if (pDescriptor == nullptr || !Describes(pDescriptor, pDescriptor[2])) {
        return false;
    }
    const ULONG controls = pDescriptor[2] == USB_AUDIO_AC_INPUT_TERMINAL ? 14 : 9;
    return (pDescriptor[controls] & 0x04) != 0;
}

ULONG Uac2TerminalTraits::InputKind(USHORT terminalType) { return Uac2InputTerminalKindTable(terminalType); }

NTSTATUS Uac2TerminalTraits::ReadCurrentOutput(UsbAudioUnit* pUnit, PUSHORT pType)
{
    UCHAR wire[2] = {};
    const NTSTATUS status = Uac2Cur(pUnit->Owner(), static_cast<UCHAR>(pUnit->GetId()), OUTPUT_TYPE, TRUE, wire,
                                    sizeof wire);
    *pType = NT_SUCCESS(status) ? Le16(wire) : 0;
    return status;
}

void Uac2TerminalTraits::SelectOutput(UsbAudioUnit* pUnit, USHORT terminalType)
{
    UCHAR wire[2] = {static_cast<UCHAR>(terminalType), static_cast<UCHAR>(terminalType >> 8)};
    Uac2Cur(pUnit->Owner(), static_cast<UCHAR>(pUnit->GetId()), OUTPUT_TYPE, FALSE, wire, sizeof wire);
}

// ---- Uac2InputTerminal ----

NTSTATUS Uac2InputTerminal::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    const UnitInterface interfaces[] = {{&IID_ITerminalControl, static_cast<ITerminalControl*>(this)},
                                        {&IID_IClockSourceLink, static_cast<IClockSourceLink*>(this)}};
    return QueryUnitInterfaces(iid, ppvObject, interfaces, 2);
}

NTSTATUS Uac2InputTerminal::InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal)
{
    return InitFromDescriptorOfLength(pDescriptor, pOwner, pHal, USB_AUDIO_AC_INPUT_TERMINAL, UAC2_INPUT_TERMINAL_MIN_LENGTH,
                                      [this](IAudioHal* hal) { return Init(hal); });
}

NTSTATUS Uac2InputTerminal::Init(IAudioHal* hal) { return InitInputTerminal(hal, true, UAC2_UNIT_TAG); }

NTSTATUS Uac2InputTerminal::GetClockSourceId(PULONG pId)
{
    if (pId == nullptr || !Uac2TerminalTraits::Describes(m_pDescriptor, USB_AUDIO_AC_INPUT_TERMINAL)) {
        return STATUS_INVALID_PARAMETER;
    }
    *pId = m_pDescriptor[7];
    return STATUS_SUCCESS;
}

// ---- Uac2OutputTerminal ----

NTSTATUS Uac2OutputTerminal::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    const UnitInterface interfaces[] = {{&IID_ITerminalControl, static_cast<ITerminalControl*>(this)},
                                        {&IID_IClockSourceLink, static_cast<IClockSourceLink*>(this)}};
    return QueryUnitInterfaces(iid, ppvObject, interfaces, 2);
}

NTSTATUS Uac2OutputTerminal::InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal)
{
    return InitFromDescriptorOfLength(pDescriptor, pOwner, pHal, USB_AUDIO_AC_OUTPUT_TERMINAL, UAC2_OUTPUT_TERMINAL_MIN_LENGTH,
                                      [this](IAudioHal* hal) { return Init(hal); });
}

NTSTATUS Uac2OutputTerminal::ReadOutputList()
{
    const UCHAR id = m_pDescriptor[3];
    UCHAR head[2] = {};
    if (!NT_SUCCESS(Uac2Range(m_pOwner, id, OUTPUT_TYPE, head, sizeof head)) || Le16(head) < 2) {
        return ReadOutputJacks(nullptr, 1);
    }
    const ULONG n = Le16(head);
    // A list the 16-bit wLength cannot carry is refused unread.
    const ULONG length = Uac2RangeLength(n, 2);
    if (length == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* pList = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, length, UAC2_UNIT_TAG));
    if (pList == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = Uac2Range(m_pOwner, id, OUTPUT_TYPE, pList, length);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(pList, UAC2_UNIT_TAG);
        return status;
    }
    // MIN of each subrange, gathered in place over the list's start (each 2-byte slot lies before
    // the subrange it comes from).
    auto* pTypes = reinterpret_cast<PUSHORT>(pList);
    for (ULONG i = 0; i < n; ++i) {
        pTypes[i] = Le16(pList + 2 + OUTPUT_SUBRANGE_BYTES * i);
    }
    const ULONG remembered = m_ulActiveKind;
    status = ReadOutputJacks(pTypes, n);
    ExFreePoolWithTag(pList, UAC2_UNIT_TAG);
    // The walk left the device on its last output: back to the remembered kind, even after a
    // failed walk.
    SelectKind(remembered);
    return status;
}

NTSTATUS Uac2OutputTerminal::Init(IAudioHal* hal)
{
    ULONG next = 0;
    ULONG stored = 0;
    ULONG bySelection = 0;
    NTSTATUS status = BeginOutputTerminalInit(hal, &next, &stored, &bySelection);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (TerminalType() != USB_AUDIO_TERMINAL_USB_STREAMING && Uac2TerminalTraits::JacksReadable(m_pDescriptor)) {
        ChooseActiveKind(stored, bySelection);
        status = ReadOutputList();
        if (!NT_SUCCESS(status)) {
            return status;
        }
        SelectActiveOutputOnDevice();
    } else {
        status = UseSingleOutput(stored);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return CreateOutputEntities(hal, &next, UAC2_UNIT_TAG);
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
            RefreshEntitiesOfType(ENTITY_OUTPUT_TERMINAL, false, nullptr);
            return STATUS_SUCCESS;
        }
    }
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS Uac2OutputTerminal::GetClockSourceId(PULONG pId)
{
    if (pId == nullptr || !Uac2TerminalTraits::Describes(m_pDescriptor, USB_AUDIO_AC_OUTPUT_TERMINAL)) {
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
        USHORT reported = 0;
        status = Uac2TerminalTraits::ReadCurrentOutput(this, &reported);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        m_ulActiveKind = RenderKindTable(reported, true);
        StoreActiveKind();
    }
    RefreshEntitiesOfType(ENTITY_MULTI_OUTPUT_TERMINAL, true, nullptr);
    RefreshEntitiesOfType(ENTITY_OUTPUT_TERMINAL, false, nullptr);
    return STATUS_SUCCESS;
}
