#include "topology/TerminalBase.h"

#include <cstring>

#include "adapter/SettingsStore.h"
#include "platform/nt/Pool.h"
#include "platform/nt/RtlString.h"
#include "topology/JackTables.h"
#include "topology/Terminals.h"
#include "topology/Uac2Terminals.h"
#include "topology/UsbTerminalEntities.h"

namespace {

USHORT Le16(const UCHAR* p) { return static_cast<USHORT>(p[0] | (p[1] << 8)); }

PDEVICE_OBJECT DeviceOf(IAudioHal* pOwner) { return pOwner != nullptr ? pOwner->GetDeviceObject() : nullptr; }

}  // namespace

void FormatActiveOutputName(WCHAR (&name)[ACTIVE_OUTPUT_NAME_CHARS], ULONG ulUnitId)
{
    RtlStringCbPrintfW(name, sizeof(name), u"%s%02d", u"UACUnit", static_cast<int>(ulUnitId));
}

void ReadTerminalSetting(PDEVICE_OBJECT pDevice, PCWSTR name, PULONG pValue)
{
    ULONG value = *pValue;
    if (NT_SUCCESS(AccessSettingsBinary(pDevice, SETTINGS_READ, &value, sizeof value, name))) {
        *pValue = value;
    }
}

NTSTATUS AllocateJackReply(ULONG ulCount, ULONG ulTag, PUCHAR* ppReply, JackRecord** ppJacks)
{
    const ULONG cbReply = ulCount * JACK_ENTRY_BYTES + 1;
    auto* pReply = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, cbReply, ulTag));
    auto* pJacks = static_cast<JackRecord*>(ExAllocatePoolWithTag(NonPagedPoolNx, ulCount * sizeof(JackRecord), ulTag));
    if (pReply == nullptr || pJacks == nullptr) {
        if (pReply != nullptr) {
            ExFreePoolWithTag(pReply, ulTag);
        }
        if (pJacks != nullptr) {
            ExFreePoolWithTag(pJacks, ulTag);
        }
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(pReply, 0, cbReply);
    std::memset(pJacks, 0, ulCount * sizeof(JackRecord));
    *ppReply = pReply;
    *ppJacks = pJacks;
    return STATUS_SUCCESS;
}

NTSTATUS TerminalUnit::QueryTerminalInterface(REFIID iid, PVOID* ppvObject)
{
    const UnitInterface terminal = {&IID_ITerminalControl, static_cast<ITerminalControl*>(this)};
    return QueryUnitInterfaces(iid, ppvObject, &terminal, 1);
}

USHORT TerminalUnit::TerminalTypeIf(bool bUsable) const { return bUsable ? Le16(m_pDescriptor + 4) : 0; }

// ---- input terminals ----

template <class Traits>
InputTerminalBase<Traits>::InputTerminalBase(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId)
    : TerminalUnit(pOuterUnknown, ulProvisionalId), m_ulJackCount(0), m_pJacks(nullptr)
{
}

template <class Traits>
InputTerminalBase<Traits>::~InputTerminalBase()
{
    if (m_pJacks != nullptr) {
        ExFreePoolWithTag(m_pJacks, Traits::TAG);
        m_pJacks = nullptr;
    }
    m_ulJackCount = 0;
}

template <class Traits>
USHORT InputTerminalBase<Traits>::TerminalType() const
{
    return TerminalTypeIf(Traits::Describes(m_pDescriptor, USB_AUDIO_AC_INPUT_TERMINAL));
}

template <class Traits>
NTSTATUS InputTerminalBase<Traits>::InitInputTerminal(IAudioHal* hal, bool bReadJacks, ULONG ulEntityTag)
{
    if (hal == nullptr || !Traits::Describes(m_pDescriptor, USB_AUDIO_AC_INPUT_TERMINAL)) {
        return STATUS_INVALID_PARAMETER;
    }
    m_ulId = m_pDescriptor[3];
    m_lType = USB_AUDIO_AC_INPUT_TERMINAL;
    NTSTATUS status = SetSources(0, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG next = hal->GetEntityCount();
    if (bReadJacks && TerminalType() != USB_AUDIO_TERMINAL_USB_STREAMING && Traits::JacksReadable(m_pDescriptor)) {
        status = Traits::ReachDevice(m_pOwner);
        if (NT_SUCCESS(status)) {
            if (m_pJacks != nullptr) {
                ExFreePoolWithTag(m_pJacks, Traits::TAG);
                m_pJacks = nullptr;
                m_ulJackCount = 0;
            }
            status = Traits::ReadJacks(this, &m_pJacks, &m_ulJackCount);
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    AudioCapabilities capabilities;
    std::memset(&capabilities, 0, sizeof capabilities);
    hal->GetCapabilities(TRUE, CaptureKindTable(TerminalType()), &capabilities);
    return CreateEntity<UsbInputTerminalEntity>(
        hal, ulEntityTag, &next,
        [&](UsbInputTerminalEntity* e) { return SetupInputTerminalEntity(e, this, &capabilities); },
        static_cast<UsbInputTerminalEntity**>(nullptr));
}

template <class Traits>
NTSTATUS InputTerminalBase<Traits>::GetKind(PULONG pKind)
{
    if (pKind == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pKind = Traits::InputKind(TerminalType());
    return STATUS_SUCCESS;
}

template <class Traits>
NTSTATUS InputTerminalBase<Traits>::GetKindCount(PULONG pCount)
{
    if (pCount == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pCount = 1;
    return STATUS_SUCCESS;
}

template <class Traits>
NTSTATUS InputTerminalBase<Traits>::GetKinds(PULONG pKinds)
{
    return GetKind(pKinds);
}

template <class Traits>
NTSTATUS InputTerminalBase<Traits>::SelectKind(ULONG ulKind)
{
    return ulKind == Traits::InputKind(TerminalType()) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

template <class Traits>
NTSTATUS InputTerminalBase<Traits>::GetJackCount(PULONG pCount, ULONG)
{
    if (pCount == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pCount = TerminalTypeHasJacks(TerminalType()) ? m_ulJackCount : 0;
    return STATUS_SUCCESS;
}

template <class Traits>
NTSTATUS InputTerminalBase<Traits>::GetJackDescriptions(ULONG cbBytes, JackRecord* pRecords, ULONG)
{
    if (pRecords == nullptr || cbBytes == 0 || TerminalType() == USB_AUDIO_TERMINAL_USB_STREAMING ||
        !Traits::JacksReadable(m_pDescriptor) || m_ulJackCount == 0 || cbBytes < m_ulJackCount * sizeof(JackRecord)) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = Traits::ReachDevice(m_pOwner);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return Traits::RefreshJacks(this, m_pJacks, m_ulJackCount, pRecords);
}

template <class Traits>
NTSTATUS InputTerminalBase<Traits>::HandleStatusChange(ULONG ulSelector, ULONG ulChannel, PULONG pulId)
{
    ULONG count = 0;
    if (pulId == nullptr || !Traits::IsJackChange(ulSelector, ulChannel) || !NT_SUCCESS(GetEntityCount(&count))) {
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

// ---- output terminals ----

template <class Traits>
OutputTerminalBase<Traits>::OutputTerminalBase(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId)
    : TerminalUnit(pOuterUnknown, ulProvisionalId),
      m_ulActiveKind(0),
      m_ulOutputCount(0),
      m_pKinds(nullptr),
      m_pTypes(nullptr),
      m_pJackCounts(nullptr),
      m_ppJacks(nullptr)
{
}

template <class Traits>
OutputTerminalBase<Traits>::~OutputTerminalBase()
{
    FreeOutputs();
}

template <class Traits>
USHORT OutputTerminalBase<Traits>::TerminalType() const
{
    return TerminalTypeIf(Traits::Describes(m_pDescriptor, USB_AUDIO_AC_OUTPUT_TERMINAL));
}

template <class Traits>
void OutputTerminalBase<Traits>::FreeOutputs()
{
    if (m_ppJacks != nullptr) {
        for (ULONG i = 0; i < m_ulOutputCount; ++i) {
            if (m_ppJacks[i] != nullptr) {
                ExFreePoolWithTag(m_ppJacks[i], Traits::TAG);
            }
        }
        // One block holds the four arrays (the jack pointers first, for their alignment).
        ExFreePoolWithTag(m_ppJacks, Traits::TAG);
    }
    m_ppJacks = nullptr;
    m_pKinds = nullptr;
    m_pJackCounts = nullptr;
    m_pTypes = nullptr;
    m_ulOutputCount = 0;
}

template <class Traits>
NTSTATUS OutputTerminalBase<Traits>::AllocateOutputArrays(ULONG ulCount)
{
    FreeOutputs();
    const SIZE_T cb = ulCount * (sizeof(JackRecord*) + sizeof(ULONG) + sizeof(ULONG) + sizeof(USHORT));
    auto* p = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, cb, Traits::TAG));
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

template <class Traits>
NTSTATUS OutputTerminalBase<Traits>::BeginOutputTerminalInit(IAudioHal* hal, PULONG pulNextId, PULONG pulStored,
                                                             PULONG pulBySelection)
{
    if (hal == nullptr || !Traits::Describes(m_pDescriptor, USB_AUDIO_AC_OUTPUT_TERMINAL)) {
        return STATUS_INVALID_PARAMETER;
    }
    m_ulId = m_pDescriptor[3];
    m_lType = USB_AUDIO_AC_OUTPUT_TERMINAL;
    const ULONG source = m_pDescriptor[7];
    NTSTATUS status = SetSources(1, &source);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *pulNextId = hal->GetEntityCount();
    if (pulStored != nullptr) {
        PDEVICE_OBJECT device = hal->GetDeviceObject();
        *pulStored = RenderKindTable(TerminalType(), false);
        WCHAR name[ACTIVE_OUTPUT_NAME_CHARS];
        FormatActiveOutputName(name, m_ulId);
        ReadTerminalSetting(device, name, pulStored);
        *pulBySelection = 0;
        ReadTerminalSetting(device, u"INITOTTYPEBYSEL", pulBySelection);
    }
    return STATUS_SUCCESS;
}

template <class Traits>
void OutputTerminalBase<Traits>::ChooseActiveKind(ULONG ulStored, ULONG ulBySelection)
{
    USHORT current = 0;
    m_ulActiveKind = ulStored;
    if (NT_SUCCESS(Traits::ReadCurrentOutput(this, &current)) && ulBySelection != 0) {
        m_ulActiveKind = RenderKindTable(current, false);
    }
}

template <class Traits>
NTSTATUS OutputTerminalBase<Traits>::UseSingleOutput(ULONG ulKind)
{
    NTSTATUS status = AllocateOutputArrays(1);
    if (NT_SUCCESS(status)) {
        m_pKinds[0] = ulKind;
        m_pTypes[0] = TerminalType();
        m_ulActiveKind = ulKind;
    }
    return status;
}

template <class Traits>
NTSTATUS OutputTerminalBase<Traits>::ReadOutputJacks(const USHORT* pTypes, ULONG ulCount)
{
    NTSTATUS status = AllocateOutputArrays(ulCount);
    if (!NT_SUCCESS(status)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (ULONG i = 0; i < ulCount; ++i) {
        m_pTypes[i] = pTypes != nullptr ? pTypes[i] : TerminalType();
        m_pKinds[i] = RenderKindTable(m_pTypes[i], false);
    }
    for (ULONG i = 0; i < ulCount && NT_SUCCESS(status); ++i) {
        if (ulCount > 1) {
            SelectOutputOnDevice(i);  // the jacks read are those of the selected output
        }
        status = Traits::ReadJacks(this, &m_ppJacks[i], &m_pJackCounts[i]);
    }
    return status;
}

template <class Traits>
void OutputTerminalBase<Traits>::SelectActiveOutputOnDevice()
{
    if (m_ulOutputCount < 2) {
        return;
    }
    for (ULONG i = 0; i < m_ulOutputCount; ++i) {
        if (m_pKinds[i] == m_ulActiveKind) {
            SelectOutputOnDevice(i);
            return;
        }
    }
}

template <class Traits>
void OutputTerminalBase<Traits>::SelectOutputOnDevice(ULONG ulOutput)
{
    // A device that refuses the switch keeps its output; the driver's choice stands.
    Traits::SelectOutput(this, m_pTypes[ulOutput]);
}

template <class Traits>
void OutputTerminalBase<Traits>::StoreActiveKind()
{
    WCHAR name[ACTIVE_OUTPUT_NAME_CHARS];
    FormatActiveOutputName(name, m_ulId);
    ULONG kind = m_ulActiveKind;
    AccessSettingsBinary(DeviceOf(m_pOwner), SETTINGS_WRITE, &kind, sizeof kind, name);
}

template <class Traits>
void OutputTerminalBase<Traits>::RefreshEntitiesOfType(LONG lType, bool firstOnly, bool* pAnyRefreshed)
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

template <class Traits>
NTSTATUS OutputTerminalBase<Traits>::CreateOutputEntities(IAudioHal* hal, PULONG pulNextId, ULONG ulEntityTag)
{
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < m_ulOutputCount; ++i) {
        AudioCapabilities capabilities;
        std::memset(&capabilities, 0, sizeof capabilities);
        hal->GetCapabilities(FALSE, m_pKinds[i], &capabilities);
        status = CreateEntity<UsbOutputTerminalEntity>(
            hal, ulEntityTag, pulNextId,
            [&](UsbOutputTerminalEntity* e) { return SetupOutputTerminalEntity(e, this, &capabilities); },
            static_cast<UsbOutputTerminalEntity**>(nullptr), i);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    if (m_ulOutputCount > 1) {
        PDEVICE_OBJECT device = hal->GetDeviceObject();
        status = CreateEntity<UsbMultiOutputTerminalEntity>(
            hal, ulEntityTag, pulNextId,
            [&](UsbMultiOutputTerminalEntity* e) { return SetupMultiOutputTerminalEntity(e, this, device, hal); },
            static_cast<UsbMultiOutputTerminalEntity**>(nullptr));
    }
    return status;
}

template <class Traits>
NTSTATUS OutputTerminalBase<Traits>::GetKind(PULONG pKind)
{
    if (pKind == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pKind = m_ulActiveKind;
    return STATUS_SUCCESS;
}

template <class Traits>
NTSTATUS OutputTerminalBase<Traits>::GetKindCount(PULONG pCount)
{
    if (pCount == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pCount = m_ulOutputCount;
    return STATUS_SUCCESS;
}

template <class Traits>
NTSTATUS OutputTerminalBase<Traits>::GetKinds(PULONG pKinds)
{
    if (pKinds == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    for (ULONG i = 0; i < m_ulOutputCount; ++i) {
        pKinds[i] = m_pKinds[i];
    }
    return STATUS_SUCCESS;
}

template <class Traits>
NTSTATUS OutputTerminalBase<Traits>::GetJackCount(PULONG pCount, ULONG ulOutput)
{
    if (pCount == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pCount = 0;
    if (TerminalType() == USB_AUDIO_TERMINAL_USB_STREAMING || !Traits::JacksReadable(m_pDescriptor)) {
        return STATUS_SUCCESS;
    }
    if (ulOutput >= m_ulOutputCount) {
        return STATUS_INVALID_PARAMETER;
    }
    *pCount = m_pJackCounts[ulOutput];
    return STATUS_SUCCESS;
}

template <class Traits>
NTSTATUS OutputTerminalBase<Traits>::GetJackDescriptions(ULONG cbBytes, JackRecord* pRecords, ULONG ulOutput)
{
    if (pRecords == nullptr || cbBytes == 0 || ulOutput >= m_ulOutputCount ||
        TerminalType() == USB_AUDIO_TERMINAL_USB_STREAMING || !Traits::JacksReadable(m_pDescriptor) ||
        m_pJackCounts[ulOutput] == 0 || cbBytes < m_pJackCounts[ulOutput] * sizeof(JackRecord)) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG count = m_pJackCounts[ulOutput];
    if (m_pKinds[ulOutput] == m_ulActiveKind) {
        NTSTATUS status = Traits::ReachDevice(m_pOwner);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        return Traits::RefreshJacks(this, m_ppJacks[ulOutput], count, pRecords);
    }
    // An output that is not active cannot be asked; the setting says how its jacks look.
    if (m_pOwner == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    ULONG connect = 0;
    ReadTerminalSetting(m_pOwner->GetDeviceObject(), u"SetJackConnect", &connect);
    std::memcpy(pRecords, m_ppJacks[ulOutput], count * sizeof(JackRecord));
    for (ULONG i = 0; i < count; ++i) {
        pRecords[i].IsConnected = connect != 0 ? 1 : 0;
    }
    return STATUS_SUCCESS;
}

template class InputTerminalBase<Uac1TerminalTraits>;
template class InputTerminalBase<Uac2TerminalTraits>;
template class OutputTerminalBase<Uac1TerminalTraits>;
template class OutputTerminalBase<Uac2TerminalTraits>;
