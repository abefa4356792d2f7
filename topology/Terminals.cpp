#include "topology/Terminals.h"

#include <cstring>

#include "platform/nt/Pool.h"
#include "topology/JackTables.h"
#include "topology/Uac1UnitRequest.h"
#include "topology/UsbTerminalEntities.h"

namespace {

constexpr ULONG CONNECTED_REPLY_BYTES = 6;
constexpr ULONG OUTPUT_ENTRY_BYTES = 6;

USHORT Le16(const UCHAR* p) { return static_cast<USHORT>(p[0] | (p[1] << 8)); }

NTSTATUS VendorRead(UsbAudioUnit* pUnit, UCHAR request, USHORT value, PVOID buffer, ULONG length, PULONG pulReceived)
{
    return UnitControlTransfer(pUnit->Owner(), static_cast<UCHAR>(pUnit->GetId()), URB_FUNCTION_VENDOR_INTERFACE,
                               request, value, TRUE, buffer, length, pulReceived);
}

}  // namespace

NTSTATUS ReadTerminalJacks(UsbAudioUnit* pUnit, JackRecord** ppJacks, PULONG pulCount)
{
    *ppJacks = nullptr;
    *pulCount = 0;
    UCHAR head[1 + JACK_ENTRY_BYTES] = {};
    ULONG received = 0;
    if (!NT_SUCCESS(VendorRead(pUnit, UAC1_VENDOR_JACK_REQUEST, UAC1_VENDOR_JACK_INFO, head, sizeof head, &received)) ||
        received == 0 || head[0] == 0) {
        return STATUS_SUCCESS;
    }
    const ULONG promised = head[0];
    const ULONG cbReply = promised * JACK_ENTRY_BYTES + 1;
    PUCHAR pReply = nullptr;
    JackRecord* pJacks = nullptr;
    if (!NT_SUCCESS(AllocateJackReply(promised, UAC1_UNIT_TAG, &pReply, &pJacks))) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = VendorRead(pUnit, UAC1_VENDOR_JACK_REQUEST, UAC1_VENDOR_JACK_INFO, pReply, cbReply, &received);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(pReply, UAC1_UNIT_TAG);
        ExFreePoolWithTag(pJacks, UAC1_UNIT_TAG);
        return status;
    }
    // Only the entries the device really sent count; a count byte may promise more.
    ULONG count = received > 0 ? (received - 1) / JACK_ENTRY_BYTES : 0;
    if (count > promised) {
        count = promised;
    }
    for (ULONG i = 0; i < count; ++i) {
        FillJackRecord(pReply + 1 + JACK_ENTRY_BYTES * i, &pJacks[i]);
    }
    ExFreePoolWithTag(pReply, UAC1_UNIT_TAG);
    if (count == 0) {
        ExFreePoolWithTag(pJacks, UAC1_UNIT_TAG);
        pJacks = nullptr;
    }
    *ppJacks = pJacks;
    *pulCount = count;
    return STATUS_SUCCESS;
}

NTSTATUS RefreshJackConnections(UsbAudioUnit* pUnit, JackRecord* pJacks, ULONG ulCount, JackRecord* pCopy)
{
    UCHAR reply[CONNECTED_REPLY_BYTES] = {};
    NTSTATUS status = UnitControlReadExact(pUnit->Owner(), static_cast<UCHAR>(pUnit->GetId()),
                                           URB_FUNCTION_VENDOR_INTERFACE, UAC1_VENDOR_JACK_REQUEST,
                                           UAC1_VENDOR_CONNECTED, reply, sizeof reply);
    ULONG mask = 0;
    if (NT_SUCCESS(status)) {
        mask = static_cast<ULONG>(reply[1]) | (static_cast<ULONG>(reply[2]) << 8) |
               (static_cast<ULONG>(reply[3]) << 16) | (static_cast<ULONG>(reply[4]) << 24);
    }
    std::memcpy(pCopy, pJacks, ulCount * sizeof(JackRecord));
    for (ULONG i = 0; i < ulCount; ++i) {
        ULONG connected = 0;
        if ((mask & pJacks[i].ChannelMapping) != 0) {
            connected = 1;
        } else if (pJacks[i].Word8 == 0) {
            // A jack without presence detection is always there; its answer needs no device.
            connected = 1;
            status = STATUS_SUCCESS;
        }
        __atomic_store_n(&pJacks[i].IsConnected, connected, __ATOMIC_RELAXED);
        pCopy[i].IsConnected = connected;
    }
    return status;
}

// ---- version points ----

// 0 unless kept: a descriptor is only kept once InitFromDescriptor found it long enough.
bool Uac1TerminalTraits::Describes(const UCHAR* pDescriptor, UCHAR subtype)
{
    const ULONG minimum = subtype == USB_AUDIO_AC_INPUT_TERMINAL ? INPUT_MIN_LENGTH : OUTPUT_MIN_LENGTH;
    return pDescriptor != nullptr && pDescriptor[0] >= minimum;
}

ULONG Uac1TerminalTraits::InputKind(USHORT terminalType) { return InputTerminalKindTable(terminalType); }

NTSTATUS Uac1TerminalTraits::ReachDevice(IAudioHal* pOwner) { return QueryOwnerUsbDevice(pOwner); }

NTSTATUS Uac1TerminalTraits::ReadCurrentOutput(UsbAudioUnit* pUnit, PUSHORT pType)
{
    UCHAR current[2] = {};
    const NTSTATUS status =
        UnitControlReadExact(pUnit->Owner(), static_cast<UCHAR>(pUnit->GetId()), URB_FUNCTION_VENDOR_INTERFACE,
                             UAC1_VENDOR_JACK_REQUEST, UAC1_VENDOR_OUTPUT, current, sizeof current);
    *pType = NT_SUCCESS(status) ? Le16(current) : 0;
    return status;
}

void Uac1TerminalTraits::SelectOutput(UsbAudioUnit* pUnit, USHORT terminalType)
{
    UCHAR wire[2] = {static_cast<UCHAR>(terminalType), static_cast<UCHAR>(terminalType >> 8)};
    UnitControlTransfer(pUnit->Owner(), static_cast<UCHAR>(pUnit->GetId()), URB_FUNCTION_VENDOR_INTERFACE,
                        UAC1_VENDOR_JACK_REQUEST, UAC1_VENDOR_OUTPUT, FALSE, wire, sizeof wire, nullptr);
}

// ---- InputTerminal ----

NTSTATUS InputTerminal::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    return QueryTerminalInterface(iid, ppvObject);
}

NTSTATUS InputTerminal::InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal)
{
    return InitFromDescriptorOfLength(pDescriptor, pOwner, pHal, USB_AUDIO_AC_INPUT_TERMINAL, UAC1_INPUT_TERMINAL_MIN_LENGTH,
                                      [this](IAudioHal* hal) { return Init(hal); });
}

NTSTATUS InputTerminal::Init(IAudioHal* hal) { return InitInputTerminal(hal, true, UAC1_UNIT_TAG); }

// ---- OutputTerminal ----

NTSTATUS OutputTerminal::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    return QueryTerminalInterface(iid, ppvObject);
}

NTSTATUS OutputTerminal::InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal)
{
    return InitFromDescriptorOfLength(pDescriptor, pOwner, pHal, USB_AUDIO_AC_OUTPUT_TERMINAL, UAC1_OUTPUT_TERMINAL_MIN_LENGTH,
                                      [this](IAudioHal* hal) { return Init(hal); });
}

NTSTATUS OutputTerminal::Init(IAudioHal* hal)
{
    ULONG next = 0;
    ULONG stored = 0;
    ULONG bySelection = 0;
    NTSTATUS status = BeginOutputTerminalInit(hal, &next, &stored, &bySelection);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (TerminalType() == USB_AUDIO_TERMINAL_USB_STREAMING) {
        status = UseSingleOutput(stored);
    } else {
        status = QueryOwnerUsbDevice(m_pOwner);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        ChooseActiveKind(stored, bySelection);
        // The device is left on the last output read: the active one is selected again, also
        // after a failed walk.
        status = ReadOutputList();
        SelectActiveOutputOnDevice();
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return CreateOutputEntities(hal, &next, UAC1_UNIT_TAG);
}

NTSTATUS OutputTerminal::ReadOutputList()
{
    UCHAR head[2] = {};
    ULONG promised = 0;
    if (NT_SUCCESS(UnitControlReadExact(m_pOwner, static_cast<UCHAR>(m_ulId), URB_FUNCTION_VENDOR_INTERFACE,
                                        UAC1_VENDOR_OUTPUT_LIST, UAC1_VENDOR_OUTPUT, head, sizeof head))) {
        promised = Le16(head);
    }
    if (promised < 2) {
        return ReadOutputJacks(nullptr, 1);
    }
    const ULONG cbList = promised * OUTPUT_ENTRY_BYTES + 2;
    auto* pList = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, cbList, UAC1_UNIT_TAG));
    if (pList == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(pList, 0, cbList);
    ULONG received = 0;
    NTSTATUS status = UnitControlTransfer(m_pOwner, static_cast<UCHAR>(m_ulId), URB_FUNCTION_VENDOR_INTERFACE,
                                          UAC1_VENDOR_OUTPUT_LIST, UAC1_VENDOR_OUTPUT, TRUE, pList, cbList, &received);
    if (NT_SUCCESS(status)) {
        // Only whole entries that arrived count; fewer than two leave the terminal's own output.
        ULONG count = received >= 2 ? (received - 2) / OUTPUT_ENTRY_BYTES : 0;
        if (count > promised) {
            count = promised;
        }
        // The entries' types, gathered in place over the list's start (each 2-byte slot lies at
        // or before the entry it comes from).
        auto* pTypes = reinterpret_cast<PUSHORT>(pList);
        for (ULONG i = 0; i < count; ++i) {
            pTypes[i] = Le16(pList + 2 + OUTPUT_ENTRY_BYTES * i);
        }
        status = count < 2 ? ReadOutputJacks(nullptr, 1) : ReadOutputJacks(pTypes, count);
    }
    ExFreePoolWithTag(pList, UAC1_UNIT_TAG);
    return status;
}

NTSTATUS OutputTerminal::SelectKind(ULONG ulKind)
{
    if (ulKind == m_ulActiveKind) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status = QueryOwnerUsbDevice(m_pOwner);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG i = 0;
    while (i < m_ulOutputCount && m_pKinds[i] != ulKind) {
        ++i;
    }
    if (i == m_ulOutputCount) {
        return STATUS_UNSUCCESSFUL;
    }
    m_ulActiveKind = ulKind;
    SelectOutputOnDevice(i);
    StoreActiveKind();
    RefreshEntitiesOfType(ENTITY_OUTPUT_TERMINAL, false, nullptr);
    return STATUS_SUCCESS;
}

NTSTATUS OutputTerminal::HandleStatusChange(ULONG, ULONG, PULONG)
{
    NTSTATUS status = QueryOwnerUsbDevice(m_pOwner);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    USHORT reported = 0;
    status = Uac1TerminalTraits::ReadCurrentOutput(this, &reported);
    if (NT_SUCCESS(status) && RenderKindTable(reported, true) != m_ulActiveKind) {
        // The device switched outputs by itself: follow it when the output is one of ours.
        for (ULONG i = 0; i < m_ulOutputCount; ++i) {
            if (m_pTypes[i] == reported) {
                m_ulActiveKind = m_pKinds[i];
                break;
            }
        }
        StoreActiveKind();
    }
    bool anyRefreshed = false;
    RefreshEntitiesOfType(ENTITY_MULTI_OUTPUT_TERMINAL, true, &anyRefreshed);
    RefreshEntitiesOfType(ENTITY_OUTPUT_TERMINAL, false, &anyRefreshed);
    return anyRefreshed ? STATUS_SUCCESS : status;
}
