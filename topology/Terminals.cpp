#include "topology/Terminals.h"

#include <cstring>

#include "adapter/SettingsStore.h"
#include "platform/nt/Pool.h"
#include "platform/nt/RtlString.h"
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
    auto* pReply = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, cbReply, UAC1_UNIT_TAG));
    auto* pJacks = static_cast<JackRecord*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, promised * sizeof(JackRecord), UAC1_UNIT_TAG));
    if (pReply == nullptr || pJacks == nullptr) {
        if (pReply != nullptr) {
            ExFreePoolWithTag(pReply, UAC1_UNIT_TAG);
        }
        if (pJacks != nullptr) {
            ExFreePoolWithTag(pJacks, UAC1_UNIT_TAG);
        }
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(pReply, 0, cbReply);
    std::memset(pJacks, 0, promised * sizeof(JackRecord));
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

// ---- InputTerminal ----

InputTerminal::InputTerminal(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId)
    : UsbAudioUnit(pOuterUnknown, ulProvisionalId), m_ulJackCount(0), m_pJacks(nullptr)
{
}

InputTerminal::~InputTerminal()
{
    if (m_pJacks != nullptr) {
        ExFreePoolWithTag(m_pJacks, UAC1_UNIT_TAG);
        m_pJacks = nullptr;
    }
    m_ulJackCount = 0;
}

NTSTATUS InputTerminal::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    NTSTATUS status = TopologyNode::NonDelegatingQueryInterface(iid, ppvObject);
    if (NT_SUCCESS(status) || ppvObject == nullptr) {
        return status;
    }
    if (IsEqualGUID(iid, IID_ITerminalControl)) {
        return ReturnInterface(static_cast<ITerminalControl*>(this), ppvObject);
    }
    return STATUS_INVALID_PARAMETER;
}

// 0 before a descriptor was kept: no table gives it a kind of its own.
USHORT InputTerminal::TerminalType() const { return m_pDescriptor != nullptr ? Le16(m_pDescriptor + 4) : 0; }

NTSTATUS InputTerminal::InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal)
{
    if (pDescriptor != nullptr && pDescriptor[0] < UAC1_INPUT_TERMINAL_MIN_LENGTH) {
        return STATUS_INVALID_PARAMETER;
    }
    return InitFromDescriptorSequence(pDescriptor, pOwner, pHal, USB_AUDIO_AC_INPUT_TERMINAL,
                                      [this](IAudioHal* hal) { return Init(hal); });
}

NTSTATUS InputTerminal::Init(IAudioHal* hal)
{
    if (hal == nullptr || m_pDescriptor == nullptr || m_pDescriptor[0] < UAC1_INPUT_TERMINAL_MIN_LENGTH) {
        return STATUS_INVALID_PARAMETER;
    }
    m_ulId = m_pDescriptor[3];
    m_lType = USB_AUDIO_AC_INPUT_TERMINAL;
    NTSTATUS status = SetSources(0, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG next = hal->GetEntityCount();
    if (TerminalType() != USB_AUDIO_TERMINAL_USB_STREAMING) {
        status = QueryOwnerUsbDevice(m_pOwner);
        if (NT_SUCCESS(status)) {
            if (m_pJacks != nullptr) {
                ExFreePoolWithTag(m_pJacks, UAC1_UNIT_TAG);
                m_pJacks = nullptr;
                m_ulJackCount = 0;
            }
            status = ReadTerminalJacks(this, &m_pJacks, &m_ulJackCount);
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    AudioCapabilities capabilities;
    std::memset(&capabilities, 0, sizeof capabilities);
    hal->GetCapabilities(TRUE, CaptureKindTable(TerminalType()), &capabilities);
    return CreateEntity<UsbInputTerminalEntity>(
        hal, UAC1_UNIT_TAG, &next,
        [&](UsbInputTerminalEntity* e) { return SetupInputTerminalEntity(e, this, &capabilities); },
        static_cast<UsbInputTerminalEntity**>(nullptr));
}

NTSTATUS InputTerminal::GetKind(PULONG pKind)
{
    if (pKind == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pKind = InputTerminalKindTable(TerminalType());
    return STATUS_SUCCESS;
}

NTSTATUS InputTerminal::GetKindCount(PULONG pCount)
{
    if (pCount == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pCount = 1;
    return STATUS_SUCCESS;
}

NTSTATUS InputTerminal::GetKinds(PULONG pKinds) { return GetKind(pKinds); }

NTSTATUS InputTerminal::SelectKind(ULONG ulKind)
{
    ULONG kind = 0;
    GetKind(&kind);
    return ulKind == kind ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

NTSTATUS InputTerminal::GetJackCount(PULONG pCount, ULONG)
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

NTSTATUS InputTerminal::GetJackDescriptions(ULONG cbBytes, JackRecord* pRecords, ULONG)
{
    if (pRecords == nullptr || cbBytes == 0 || TerminalType() == USB_AUDIO_TERMINAL_USB_STREAMING || m_ulJackCount == 0 ||
        cbBytes < m_ulJackCount * sizeof(JackRecord)) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = QueryOwnerUsbDevice(m_pOwner);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return RefreshJackConnections(this, m_pJacks, m_ulJackCount, pRecords);
}

NTSTATUS InputTerminal::HandleStatusChange(ULONG, ULONG, PULONG pulId)
{
    ULONG count = 0;
    if (pulId == nullptr || !NT_SUCCESS(GetEntityCount(&count))) {
        return STATUS_UNSUCCESSFUL;
    }
    for (ULONG i = 0; i < count; ++i) {
        TopologyNode* pEntity = nullptr;
        GetEntity(i, &pEntity);
        if (pEntity != nullptr && pEntity->GetType() == ENTITY_INPUT_TERMINAL) {
            *pulId = pEntity->GetId();
            pEntity->Refresh();
            return STATUS_SUCCESS;
        }
    }
    return STATUS_UNSUCCESSFUL;
}

// ---- OutputTerminal ----

OutputTerminal::OutputTerminal(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId)
    : UsbAudioUnit(pOuterUnknown, ulProvisionalId),
      m_ulActiveKind(0),
      m_ulOutputCount(0),
      m_pKinds(nullptr),
      m_pTypes(nullptr),
      m_pJackCounts(nullptr),
      m_ppJacks(nullptr)
{
}

OutputTerminal::~OutputTerminal() { FreeOutputs(); }

NTSTATUS OutputTerminal::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    NTSTATUS status = TopologyNode::NonDelegatingQueryInterface(iid, ppvObject);
    if (NT_SUCCESS(status) || ppvObject == nullptr) {
        return status;
    }
    if (IsEqualGUID(iid, IID_ITerminalControl)) {
        return ReturnInterface(static_cast<ITerminalControl*>(this), ppvObject);
    }
    return STATUS_INVALID_PARAMETER;
}

USHORT OutputTerminal::TerminalType() const { return m_pDescriptor != nullptr ? Le16(m_pDescriptor + 4) : 0; }

void OutputTerminal::FreeOutputs()
{
    if (m_ppJacks != nullptr) {
        for (ULONG i = 0; i < m_ulOutputCount; ++i) {
            if (m_ppJacks[i] != nullptr) {
                ExFreePoolWithTag(m_ppJacks[i], UAC1_UNIT_TAG);
            }
        }
    }
    // One block holds the four arrays (the jack pointers first, for their alignment).
    if (m_ppJacks != nullptr) {
        ExFreePoolWithTag(m_ppJacks, UAC1_UNIT_TAG);
    }
    m_ppJacks = nullptr;
    m_pKinds = nullptr;
    m_pJackCounts = nullptr;
    m_pTypes = nullptr;
    m_ulOutputCount = 0;
}

NTSTATUS OutputTerminal::AllocateOutputArrays(ULONG ulCount)
{
    FreeOutputs();
    const SIZE_T cb = ulCount * (sizeof(JackRecord*) + sizeof(ULONG) + sizeof(ULONG) + sizeof(USHORT));
    auto* p = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, cb, UAC1_UNIT_TAG));
    if (p == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(p, 0, cb);
    m_ppJacks = reinterpret_cast<JackRecord**>(p);
    m_pKinds = reinterpret_cast<PULONG>(p + ulCount * sizeof(JackRecord*));
    m_pJackCounts = m_pKinds + ulCount;
    m_pTypes = reinterpret_cast<PUSHORT>(m_pJackCounts + ulCount);
    m_ulOutputCount = ulCount;
    return STATUS_SUCCESS;
}

NTSTATUS OutputTerminal::InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal)
{
    if (pDescriptor != nullptr && pDescriptor[0] < UAC1_OUTPUT_TERMINAL_MIN_LENGTH) {
        return STATUS_INVALID_PARAMETER;
    }
    return InitFromDescriptorSequence(pDescriptor, pOwner, pHal, USB_AUDIO_AC_OUTPUT_TERMINAL,
                                      [this](IAudioHal* hal) { return Init(hal); });
}

void OutputTerminal::SelectOutputOnDevice(ULONG ulOutput)
{
    UCHAR wire[2] = {static_cast<UCHAR>(m_pTypes[ulOutput]), static_cast<UCHAR>(m_pTypes[ulOutput] >> 8)};
    UnitControlTransfer(m_pOwner, static_cast<UCHAR>(m_ulId), URB_FUNCTION_VENDOR_INTERFACE, UAC1_VENDOR_JACK_REQUEST,
                        UAC1_VENDOR_OUTPUT, FALSE, wire, sizeof wire, nullptr);
}

void OutputTerminal::StoreActiveKind(PDEVICE_OBJECT pDevice)
{
    WCHAR name[20];
    FormatActiveOutputName(name, m_ulId);
    ULONG kind = m_ulActiveKind;
    AccessSettingsBinary(pDevice, SETTINGS_WRITE, &kind, sizeof kind, name);
}

NTSTATUS OutputTerminal::Init(IAudioHal* hal)
{
    if (hal == nullptr || m_pDescriptor == nullptr || m_pDescriptor[0] < UAC1_OUTPUT_TERMINAL_MIN_LENGTH) {
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

    NTSTATUS listStatus = STATUS_SUCCESS;
    if (TerminalType() == USB_AUDIO_TERMINAL_USB_STREAMING) {
        status = AllocateOutputArrays(1);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        m_pKinds[0] = stored;
        m_pTypes[0] = USB_AUDIO_TERMINAL_USB_STREAMING;
        m_ulActiveKind = stored;
    } else {
        status = QueryOwnerUsbDevice(m_pOwner);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        UCHAR current[2] = {};
        if (NT_SUCCESS(UnitControlReadExact(m_pOwner, static_cast<UCHAR>(m_ulId), URB_FUNCTION_VENDOR_INTERFACE,
                                            UAC1_VENDOR_JACK_REQUEST, UAC1_VENDOR_OUTPUT, current, sizeof current))) {
            m_ulActiveKind = bySelection != 0 ? RenderKindTable(Le16(current), false) : stored;
        } else {
            m_ulActiveKind = stored;
        }
        listStatus = ReadOutputList();
        if (m_ulOutputCount > 1) {
            for (ULONG i = 0; i < m_ulOutputCount; ++i) {
                if (m_pKinds[i] == m_ulActiveKind) {
                    SelectOutputOnDevice(i);
                    break;
                }
            }
        }
        if (!NT_SUCCESS(listStatus)) {
            return listStatus;
        }
    }

    for (ULONG i = 0; i < m_ulOutputCount; ++i) {
        AudioCapabilities capabilities;
        std::memset(&capabilities, 0, sizeof capabilities);
        hal->GetCapabilities(FALSE, m_pKinds[i], &capabilities);
        status = CreateEntity<UsbOutputTerminalEntity>(
            hal, UAC1_UNIT_TAG, &next,
            [&](UsbOutputTerminalEntity* e) { return SetupOutputTerminalEntity(e, this, &capabilities); },
            static_cast<UsbOutputTerminalEntity**>(nullptr), i);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    if (m_ulOutputCount > 1) {
        status = CreateEntity<UsbMultiOutputTerminalEntity>(
            hal, UAC1_UNIT_TAG, &next,
            [&](UsbMultiOutputTerminalEntity* e) { return SetupMultiOutputTerminalEntity(e, this, device, hal); },
            static_cast<UsbMultiOutputTerminalEntity**>(nullptr));
    }
    return status;
}

NTSTATUS OutputTerminal::ReadOutputList()
{
    UCHAR head[2] = {};
    ULONG promised = 0;
    if (NT_SUCCESS(UnitControlReadExact(m_pOwner, static_cast<UCHAR>(m_ulId), URB_FUNCTION_VENDOR_INTERFACE,
                                        UAC1_VENDOR_OUTPUT_LIST, UAC1_VENDOR_OUTPUT, head, sizeof head))) {
        promised = Le16(head);
    }
    PUCHAR pList = nullptr;
    ULONG count = 1;
    if (promised >= 2) {
        const ULONG cbList = promised * OUTPUT_ENTRY_BYTES + 2;
        pList = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, cbList, UAC1_UNIT_TAG));
        if (pList == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        std::memset(pList, 0, cbList);
        ULONG received = 0;
        NTSTATUS status = UnitControlTransfer(m_pOwner, static_cast<UCHAR>(m_ulId), URB_FUNCTION_VENDOR_INTERFACE,
                                              UAC1_VENDOR_OUTPUT_LIST, UAC1_VENDOR_OUTPUT, TRUE, pList, cbList,
                                              &received);
        if (!NT_SUCCESS(status)) {
            ExFreePoolWithTag(pList, UAC1_UNIT_TAG);
            return status;
        }
        // Only whole entries that arrived count; fewer than two leave the terminal's own output.
        count = received >= 2 ? (received - 2) / OUTPUT_ENTRY_BYTES : 0;
        if (count > promised) {
            count = promised;
        }
        if (count < 2) {
            ExFreePoolWithTag(pList, UAC1_UNIT_TAG);
            pList = nullptr;
            count = 1;
        }
    }
    NTSTATUS status = AllocateOutputArrays(count);
    if (!NT_SUCCESS(status)) {
        if (pList != nullptr) {
            ExFreePoolWithTag(pList, UAC1_UNIT_TAG);
        }
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (ULONG i = 0; i < count; ++i) {
        m_pTypes[i] = pList != nullptr ? Le16(pList + 2 + OUTPUT_ENTRY_BYTES * i) : TerminalType();
        m_pKinds[i] = RenderKindTable(m_pTypes[i], false);
    }
    for (ULONG i = 0; i < count && NT_SUCCESS(status); ++i) {
        if (count > 1) {
            SelectOutputOnDevice(i);  // the jacks read are those of the selected output
        }
        status = ReadJacks(i);
    }
    if (pList != nullptr) {
        ExFreePoolWithTag(pList, UAC1_UNIT_TAG);
    }
    return status;
}

NTSTATUS OutputTerminal::ReadJacks(ULONG ulOutput)
{
    if (m_ppJacks[ulOutput] != nullptr) {
        ExFreePoolWithTag(m_ppJacks[ulOutput], UAC1_UNIT_TAG);
        m_ppJacks[ulOutput] = nullptr;
        m_pJackCounts[ulOutput] = 0;
    }
    return ReadTerminalJacks(this, &m_ppJacks[ulOutput], &m_pJackCounts[ulOutput]);
}

NTSTATUS OutputTerminal::GetKind(PULONG pKind)
{
    if (pKind == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pKind = m_ulActiveKind;
    return STATUS_SUCCESS;
}

NTSTATUS OutputTerminal::GetKindCount(PULONG pCount)
{
    if (pCount == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pCount = m_ulOutputCount;
    return STATUS_SUCCESS;
}

NTSTATUS OutputTerminal::GetKinds(PULONG pKinds)
{
    if (pKinds == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    for (ULONG i = 0; i < m_ulOutputCount; ++i) {
        pKinds[i] = m_pKinds[i];
    }
    return STATUS_SUCCESS;
}

void OutputTerminal::RefreshEntitiesOfType(LONG lType, bool firstOnly, bool* pAnyRefreshed)
{
    ULONG count = 0;
    if (!NT_SUCCESS(GetEntityCount(&count))) {
        return;
    }
    for (ULONG i = 0; i < count; ++i) {
        TopologyNode* pEntity = nullptr;
        GetEntity(i, &pEntity);
        if (pEntity == nullptr || pEntity->GetType() != lType) {
            continue;
        }
        if (NT_SUCCESS(pEntity->Refresh()) && pAnyRefreshed != nullptr) {
            *pAnyRefreshed = true;
        }
        if (firstOnly) {
            return;
        }
    }
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
    if (m_pOwner == nullptr) {
        return STATUS_UNSUCCESSFUL;
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
    StoreActiveKind(m_pOwner->GetDeviceObject());
    RefreshEntitiesOfType(ENTITY_OUTPUT_TERMINAL, false, nullptr);
    return STATUS_SUCCESS;
}

NTSTATUS OutputTerminal::GetJackCount(PULONG pCount, ULONG ulOutput)
{
    if (pCount == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pCount = 0;
    if (TerminalType() == USB_AUDIO_TERMINAL_USB_STREAMING) {
        return STATUS_SUCCESS;
    }
    if (ulOutput >= m_ulOutputCount) {
        return STATUS_INVALID_PARAMETER;
    }
    *pCount = m_pJackCounts[ulOutput];
    return STATUS_SUCCESS;
}

NTSTATUS OutputTerminal::GetJackDescriptions(ULONG cbBytes, JackRecord* pRecords, ULONG ulOutput)
{
    if (pRecords == nullptr || cbBytes == 0 || ulOutput >= m_ulOutputCount ||
        TerminalType() == USB_AUDIO_TERMINAL_USB_STREAMING || m_pJackCounts[ulOutput] == 0 ||
        cbBytes < m_pJackCounts[ulOutput] * sizeof(JackRecord)) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG count = m_pJackCounts[ulOutput];
    if (m_pKinds[ulOutput] == m_ulActiveKind) {
        NTSTATUS status = QueryOwnerUsbDevice(m_pOwner);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        return RefreshJackConnections(this, m_ppJacks[ulOutput], count, pRecords);
    }
    // An output that is not active cannot be asked; the setting says how its jacks look.
    if (m_pOwner == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    ULONG connect = 0;
    ReadSetting(m_pOwner->GetDeviceObject(), u"SetJackConnect", &connect);
    std::memcpy(pRecords, m_ppJacks[ulOutput], count * sizeof(JackRecord));
    for (ULONG i = 0; i < count; ++i) {
        pRecords[i].IsConnected = connect != 0 ? 1 : 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS OutputTerminal::HandleStatusChange(ULONG, ULONG, PULONG)
{
    NTSTATUS status = QueryOwnerUsbDevice(m_pOwner);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (m_pOwner == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    UCHAR current[2] = {};
    status = UnitControlReadExact(m_pOwner, static_cast<UCHAR>(m_ulId), URB_FUNCTION_VENDOR_INTERFACE,
                                  UAC1_VENDOR_JACK_REQUEST, UAC1_VENDOR_OUTPUT, current, sizeof current);
    if (NT_SUCCESS(status)) {
        const USHORT reported = Le16(current);
        if (RenderKindTable(reported, true) != m_ulActiveKind) {
            // The device switched outputs by itself: follow it when the output is one of ours.
            for (ULONG i = 0; i < m_ulOutputCount; ++i) {
                if (m_pTypes[i] == reported) {
                    m_ulActiveKind = m_pKinds[i];
                    break;
                }
            }
            StoreActiveKind(m_pOwner->GetDeviceObject());
        }
    }
    bool anyRefreshed = false;
    RefreshEntitiesOfType(ENTITY_MULTI_OUTPUT_TERMINAL, true, &anyRefreshed);
    RefreshEntitiesOfType(ENTITY_OUTPUT_TERMINAL, false, &anyRefreshed);
    return anyRefreshed ? STATUS_SUCCESS : status;
}
