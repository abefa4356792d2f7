#include "topology/V3Terminals.h"

#include <cstring>

#include "adapter/SettingsStore.h"
#include "topology/JackTables.h"
#include "topology/Uac1UnitRequest.h"
#include "topology/UsbTerminalEntities.h"

namespace {


constexpr LONG KIND_SPEAKER = 1;
constexpr LONG KIND_HEADPHONES = 2;
constexpr LONG KIND_SPDIF = 3;

struct KindRegisters {
    USHORT Register2;  // mask 0xFFFF
    USHORT Register1;  // mask 0x0002
    USHORT Register0;  // mask 0x8000
};
constexpr KindRegisters KIND_REGISTERS[4] = {
    {0, 0, 0}, {0xE000, 0x0002, 0x0000}, {0xFFE0, 0x0002, 0x0000}, {0xE7F8, 0x0000, 0x8000}};

struct JackRow {
    ULONG ChannelMapping;
    ULONG Color;
    ULONG ConnectionType;
};
constexpr JackRow SPEAKER_JACKS[4] = {
    {0x003, 0x00FF00, 1}, {0x00C, 0xFF8000, 1}, {0x030, 0x000000, 1}, {0x600, 0x000000, 1}};
constexpr JackRow HEADPHONE_JACK = {0x003, 0x00FF00, 1};
constexpr JackRow SPDIF_JACK = {0x003, 0x000000, 5};
constexpr ULONG JACK_GEO_REAR = 1;

// Input codes of the chip's record sources, by the selector input's source unit.
UCHAR CodeOfSource(UCHAR source)
{
    switch (source) {
    case 8: return 1;
    case 15: return 2;
    case 16: return 3;
    case 2: return 4;
    default: return 0;
    }
}

}  // namespace

// ---- input terminal ----

NTSTATUS V3InputTerminal::Init(IAudioHal* hal)
{
    return InitInputTerminal(hal, false, m_ulEntityTag);
}

// ---- output terminal ----

V3OutputTerminal::V3OutputTerminal(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId)
    : OutputTerminal(pOuterUnknown, ulProvisionalId), m_lActiveKind(KIND_SPEAKER), m_ulKindCount(0), m_Kinds{},
      m_pChip(nullptr), m_bEightChannel(FALSE)
{
}

NTSTATUS V3OutputTerminal::InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal,
                                              IV3ChipRegisters* pChip, BOOLEAN bSupportSpdifOut,
                                              BOOLEAN bSupportHpOut, BOOLEAN bEightChannel)
{
    if (pDescriptor == nullptr || pOwner == nullptr || pHal == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (pDescriptor[0] < UAC1_OUTPUT_TERMINAL_MIN_LENGTH) {
        return STATUS_INVALID_PARAMETER;
    }
    m_ulKindCount = 0;
    m_Kinds[m_ulKindCount++] = KIND_SPEAKER;
    if (bSupportHpOut) {
        m_Kinds[m_ulKindCount++] = KIND_HEADPHONES;
    }
    if (bSupportSpdifOut) {
        m_Kinds[m_ulKindCount++] = KIND_SPDIF;
    }
    m_pChip = pChip;
    m_bEightChannel = bEightChannel;
    const NTSTATUS status = InitFromDescriptorSequence(pDescriptor, pOwner, pHal, USB_AUDIO_AC_OUTPUT_TERMINAL,
                                                       [this](IAudioHal* hal) { return Init(hal); });
    WriteKindRegisters(static_cast<ULONG>(__atomic_load_n(&m_lActiveKind, __ATOMIC_RELAXED)));
    return status;
}

NTSTATUS V3OutputTerminal::Init(IAudioHal* hal)
{
    ULONG next = 0;
    NTSTATUS status = BeginOutputTerminalInit(hal, &next);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PDEVICE_OBJECT device = hal->GetDeviceObject();
    // The stored output. Only the chip's three outputs are taken: anything else would name the
    // endpoint after a kind the chip cannot play, so it leaves the speakers.
    LONG stored = KIND_SPEAKER;
    WCHAR name[ACTIVE_OUTPUT_NAME_CHARS];
    FormatActiveOutputName(name, m_ulId);
    LONG value = 0;
    if (NT_SUCCESS(AccessSettingsBinary(device, SETTINGS_READ, &value, sizeof value, name)) && value >= KIND_SPEAKER &&
        value <= KIND_SPDIF) {
        stored = value;
    }
    __atomic_store_n(&m_lActiveKind, stored, __ATOMIC_RELAXED);

    for (ULONG i = 0; i < m_ulKindCount; ++i) {
        AudioCapabilities capabilities;
        std::memset(&capabilities, 0, sizeof capabilities);
        hal->GetCapabilities(FALSE, static_cast<ULONG>(m_Kinds[i]), &capabilities);
        status = CreateEntity<UsbOutputTerminalEntity>(
            hal, V3_UNIT_TAG, &next,
            [&](UsbOutputTerminalEntity* e) { return SetupOutputTerminalEntity(e, this, &capabilities); },
            static_cast<UsbOutputTerminalEntity**>(nullptr), i);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    if (m_ulKindCount > 1) {
        status = CreateEntity<UsbMultiOutputTerminalEntity>(
            hal, V3_UNIT_TAG, &next,
            [&](UsbMultiOutputTerminalEntity* e) { return SetupMultiOutputTerminalEntity(e, this, device, hal); },
            static_cast<UsbMultiOutputTerminalEntity**>(nullptr));
    }
    return status;
}

VOID V3OutputTerminal::WriteKindRegisters(ULONG ulKind)
{
    if (m_pChip == nullptr || ulKind < static_cast<ULONG>(KIND_SPEAKER) || ulKind > static_cast<ULONG>(KIND_SPDIF)) {
        return;
    }
    const KindRegisters& r = KIND_REGISTERS[ulKind];
    m_pChip->WriteRegister(2, r.Register2, 0xFFFF);
    m_pChip->WriteRegister(1, r.Register1, 0x0002);
    m_pChip->WriteRegister(0, r.Register0, 0x8000);
}

ULONG V3OutputTerminal::KindAt(ULONG ulKindIndex) const
{
    return ulKindIndex < m_ulKindCount ? static_cast<ULONG>(m_Kinds[ulKindIndex]) : 0;
}

NTSTATUS V3OutputTerminal::GetKind(PULONG pKind)
{
    if (pKind == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pKind = static_cast<ULONG>(__atomic_load_n(&m_lActiveKind, __ATOMIC_RELAXED));
    return STATUS_SUCCESS;
}

NTSTATUS V3OutputTerminal::GetKindCount(PULONG pCount)
{
    if (pCount == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pCount = m_ulKindCount;
    return STATUS_SUCCESS;
}

NTSTATUS V3OutputTerminal::GetKinds(PULONG pKinds)
{
    if (pKinds == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    for (ULONG i = 0; i < m_ulKindCount; ++i) {
        pKinds[i] = static_cast<ULONG>(m_Kinds[i]);
    }
    return STATUS_SUCCESS;
}

NTSTATUS V3OutputTerminal::SelectKind(ULONG ulKind)
{
    if (m_pOwner == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    bool offered = false;
    for (ULONG i = 0; i < m_ulKindCount; ++i) {
        offered = offered || static_cast<ULONG>(m_Kinds[i]) == ulKind;
    }
    if (!offered) {
        return STATUS_UNSUCCESSFUL;
    }
    __atomic_store_n(&m_lActiveKind, static_cast<LONG>(ulKind), __ATOMIC_RELAXED);
    WriteKindRegisters(ulKind);
    WCHAR name[ACTIVE_OUTPUT_NAME_CHARS];
    FormatActiveOutputName(name, m_ulId);
    LONG value = static_cast<LONG>(ulKind);
    AccessSettingsBinary(m_pOwner->GetDeviceObject(), SETTINGS_WRITE, &value, sizeof value, name);
    return STATUS_SUCCESS;
}

NTSTATUS V3OutputTerminal::GetJackCount(PULONG pCount, ULONG ulKindIndex)
{
    if (pCount == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pCount = 0;
    switch (KindAt(ulKindIndex)) {
    case KIND_SPEAKER: *pCount = m_bEightChannel ? 4 : 3; break;
    case KIND_HEADPHONES:
    case KIND_SPDIF: *pCount = 1; break;
    default: break;
    }
    return STATUS_SUCCESS;
}

NTSTATUS V3OutputTerminal::GetJackDescriptions(ULONG cbBytes, JackRecord* pRecords, ULONG ulKindIndex)
{
    if (pRecords == nullptr || cbBytes == 0 || m_pOwner == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG connectAll = 0;
    AccessSettingsBinary(m_pOwner->GetDeviceObject(), SETTINGS_READ, &connectAll, sizeof connectAll,
                         u"SetJackConnect");
    const ULONG ulKind = KindAt(ulKindIndex);
    const JackRow* pRows = nullptr;
    ULONG ulCount = 0;
    switch (ulKind) {
    case KIND_SPEAKER:
        pRows = SPEAKER_JACKS;
        ulCount = m_bEightChannel ? 4 : 3;
        break;
    case KIND_HEADPHONES:
        pRows = &HEADPHONE_JACK;
        ulCount = 1;
        break;
    case KIND_SPDIF:
        pRows = &SPDIF_JACK;
        ulCount = 1;
        break;
    default: return STATUS_SUCCESS;
    }
    if (cbBytes < ulCount * sizeof(JackRecord)) {
        return STATUS_SUCCESS;
    }
    const ULONG ulActive = static_cast<ULONG>(__atomic_load_n(&m_lActiveKind, __ATOMIC_RELAXED));
    for (ULONG i = 0; i < ulCount; ++i) {
        JackRecord& r = pRecords[i];
        r.ChannelMapping = pRows[i].ChannelMapping;
        r.Color = pRows[i].Color;
        r.ConnectionType = pRows[i].ConnectionType;
        r.GeoLocation = JACK_GEO_REAR;
        r.GenLocation = 0;
        r.PortConnection = 0;
        r.IsConnected = connectAll != 0 || ulActive == ulKind ? 1 : 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS V3OutputTerminal::HandleStatusChange(ULONG, ULONG, PULONG pulId)
{
    ULONG ulCount = 0;
    GetEntityCount(&ulCount);
    bool bAny = false;
    for (ULONG i = 0; i < ulCount; ++i) {
        TopologyNode* pEntity = nullptr;
        if (!NT_SUCCESS(GetEntity(i, &pEntity)) || pEntity == nullptr || pEntity->GetType() != ENTITY_OUTPUT_TERMINAL) {
            continue;
        }
        pEntity->Refresh();
        if (pulId != nullptr) {
            *pulId = pEntity->GetId();
        }
        bAny = true;
    }
    return bAny ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

// ---- selector ----

NTSTATUS V3SelectorUnit::InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal)
{
    if (pDescriptor != nullptr && !HoldsInputPins(pDescriptor)) {
        return STATUS_INVALID_PARAMETER;
    }
    return InitFromDescriptorSequence(pDescriptor, pOwner, pHal, USB_AUDIO_AC_SELECTOR_UNIT,
                                      [this](IAudioHal* hal) { return Init(hal); });
}

NTSTATUS V3SelectorUnit::Init(IAudioHal* hal)
{
    NTSTATUS status = SelectorUnit::Init(hal);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    std::memset(m_InputCode, 0, sizeof(m_InputCode));
    const ULONG ulPins = m_pDescriptor[4];
    // Codes exist for inputs 1 to 7; later inputs get code 0.
    for (ULONG i = 1; i <= ulPins && i < V3_SELECTOR_CODES; ++i) {
        m_InputCode[i] = CodeOfSource(m_pDescriptor[4 + i]);
    }
    SetSelected(1);
    return STATUS_SUCCESS;
}

NTSTATUS V3SelectorUnit::GetSelected(PULONG pInput)
{
    if (pInput == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG ulCode = 0;
    NTSTATUS status = SelectorUnit::GetSelected(&ulCode);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const ULONG ulPins = m_pDescriptor[4];
    for (ULONG i = 1; i <= ulPins && i < V3_SELECTOR_CODES; ++i) {
        if (m_InputCode[i] == ulCode) {
            *pInput = i;
            return STATUS_SUCCESS;
        }
    }
    *pInput = 1;
    SelectorUnit::SetSelected(m_InputCode[1]);
    return STATUS_SUCCESS;
}

NTSTATUS V3SelectorUnit::SetSelected(ULONG ulInput)
{
    if (m_pDescriptor == nullptr || m_pDescriptor[1] != USB_AUDIO_CS_INTERFACE ||
        m_pDescriptor[2] != USB_AUDIO_AC_SELECTOR_UNIT || ulInput == 0 || ulInput > m_pDescriptor[4]) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR code = InputCode(ulInput);
    return UnitControlTransfer(m_pOwner, m_pDescriptor[3], URB_FUNCTION_CLASS_INTERFACE, USB_AUDIO_SET_CUR, 0x0000,
                               FALSE, &code, 1, nullptr);
}
