#include "topology/UsbTerminalEntities.h"

#include <cstring>

#include "topology/EntityCommon.h"
#include "topology/UsbEntityCommon.h"

namespace {

constexpr ULONG MAX_TERMINAL_KINDS = 5;

// Temporary arrays of the set-up, freed on every path.
struct TempBlock {
    PVOID p = nullptr;
    ~TempBlock()
    {
        if (p != nullptr) {
            ExFreePoolWithTag(p, USB_TERMINAL_TEMP_TAG);
        }
    }
    bool Allocate(SIZE_T cb)
    {
        p = ExAllocatePoolWithTag(PagedPool, cb, USB_TERMINAL_TEMP_TAG);
        if (p != nullptr) {
            std::memset(p, 0, cb);
        }
        return p != nullptr;
    }
};

// The unit's kinds: 1 to 5 of them, read into `kinds`.
NTSTATUS ReadKinds(ITerminalControl* pControl, PULONG pulCount, TempBlock* pKinds)
{
    ULONG ulCount = 0;
    if (!NT_SUCCESS(pControl->GetKindCount(&ulCount)) || ulCount < 1 || ulCount > MAX_TERMINAL_KINDS) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!pKinds->Allocate(ulCount * sizeof(ULONG))) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *pulCount = ulCount;
    return pControl->GetKinds(static_cast<PULONG>(pKinds->p));
}

// Brings a terminal's jack records up to what the unit reports for `output`.
NTSTATUS RefreshJacks(ITerminalControl* pControl, ULONG ulOutput, PULONG pulJackCount, JackRecord** ppJacks)
{
    ULONG ulCount = 0;
    if (!NT_SUCCESS(pControl->GetJackCount(&ulCount, ulOutput))) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (ulCount != *pulJackCount) {
        if (*ppJacks != nullptr) {
            ExFreePoolWithTag(*ppJacks, TERMINAL_TAG);
            *ppJacks = nullptr;
        }
        *pulJackCount = 0;
        if (ulCount != 0) {
            // The records are freed with the terminal's storage, so they carry its tag.
            auto* pJacks = static_cast<JackRecord*>(
                ExAllocatePoolWithTag(PagedPool, static_cast<SIZE_T>(ulCount) * sizeof(JackRecord), TERMINAL_TAG));
            if (pJacks == nullptr) {
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            std::memset(pJacks, 0, static_cast<SIZE_T>(ulCount) * sizeof(JackRecord));
            *ppJacks = pJacks;
        }
        *pulJackCount = ulCount;
    }
    if (ulCount == 0) {
        return STATUS_SUCCESS;
    }
    return pControl->GetJackDescriptions(ulCount * sizeof(JackRecord), *ppJacks, ulOutput);
}

}  // namespace

// ---- input terminal ----

NTSTATUS SetupInputTerminalEntity(UsbInputTerminalEntity* pEntity, UsbAudioUnit* pUnit,
                                  const AudioCapabilities* pCapabilities)
{
    if (pEntity == nullptr || pCapabilities == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    pEntity->m_pUnit = pUnit;
    ITerminalControl* pControl = nullptr;
    NTSTATUS status = QueryUnitInterface(pUnit, IID_ITerminalControl, &pControl);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    TempBlock kinds;
    TempBlock jacks;
    ULONG ulKindCount = 0;
    ULONG ulJackCount = 0;
    ULONG ulActive = 0;
    status = ReadKinds(pControl, &ulKindCount, &kinds);
    if (NT_SUCCESS(status) && !NT_SUCCESS(pControl->GetJackCount(&ulJackCount, 0))) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status) && ulJackCount != 0) {
        status = jacks.Allocate(static_cast<SIZE_T>(ulJackCount) * sizeof(JackRecord))
                     ? pControl->GetJackDescriptions(ulJackCount * sizeof(JackRecord),
                                                     static_cast<JackRecord*>(jacks.p), 0)
                     : STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status)) {
        status = pControl->GetKind(&ulActive);
    }
    if (NT_SUCCESS(status)) {
        // Init keeps copies and clears the sources: an input terminal has none.
        status = pEntity->Init(ulKindCount, static_cast<PULONG>(kinds.p), ulJackCount,
                               static_cast<JackRecord*>(jacks.p));
    }
    if (NT_SUCCESS(status)) {
        StoreRelaxed(&pEntity->m_ulActiveKind, ulActive);
        pEntity->SetTerminalInfo(*pCapabilities);
    }
    pControl->Release();
    return status;
}

NTSTATUS UsbInputTerminalEntity::Refresh()
{
    ITerminalControl* pControl = nullptr;
    NTSTATUS status = QueryUnitInterface(m_pUnit, IID_ITerminalControl, &pControl);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG ulKind = 0;
    status = pControl->GetKind(&ulKind);
    if (NT_SUCCESS(status)) {
        StoreRelaxed(&m_ulActiveKind, ulKind);
        status = RefreshJacks(pControl, 0, &m_ulJackCount, &m_pJacks);
    }
    pControl->Release();
    return status;
}

// ---- output terminal ----

NTSTATUS SetupOutputTerminalEntity(UsbOutputTerminalEntity* pEntity, UsbAudioUnit* pUnit,
                                   const AudioCapabilities* pCapabilities)
{
    if (pEntity == nullptr || pCapabilities == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    pEntity->m_pUnit = pUnit;
    ITerminalControl* pControl = nullptr;
    NTSTATUS status = QueryUnitInterface(pUnit, IID_ITerminalControl, &pControl);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const ULONG ulOutput = pEntity->m_ulOutputIndex;
    TempBlock kinds;
    TempBlock jacks;
    ULONG ulKindCount = 0;
    ULONG ulJackCount = 0;
    ULONG n = 0;
    if (!NT_SUCCESS(pControl->GetKindCount(&n)) || n < 1 || n > MAX_TERMINAL_KINDS) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else if (!NT_SUCCESS(pControl->GetJackCount(&ulJackCount, ulOutput))) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else if (!NT_SUCCESS(ReadKinds(pControl, &ulKindCount, &kinds))) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else if (ulOutput >= ulKindCount) {
        // The entity's output has no kind to take.
        status = STATUS_INVALID_PARAMETER;
    }
    if (NT_SUCCESS(status) && ulJackCount != 0) {
        status = jacks.Allocate(static_cast<SIZE_T>(ulJackCount) * sizeof(JackRecord))
                     ? pControl->GetJackDescriptions(ulJackCount * sizeof(JackRecord),
                                                     static_cast<JackRecord*>(jacks.p), ulOutput)
                     : STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status)) {
        pEntity->SetTerminalInfo(*pCapabilities);
        const PULONG pKinds = static_cast<PULONG>(kinds.p);
        if (!NT_SUCCESS(pEntity->Init(0, 1, &pKinds[ulOutput], ulJackCount, static_cast<JackRecord*>(jacks.p)))) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    pControl->Release();
    return status;
}

NTSTATUS UsbOutputTerminalEntity::Refresh()
{
    ITerminalControl* pControl = nullptr;
    NTSTATUS status = QueryUnitInterface(m_pUnit, IID_ITerminalControl, &pControl);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = RefreshJacks(pControl, m_ulOutputIndex, &m_ulJackCount, &m_pJacks);
    pControl->Release();
    return status;
}

// ---- multi-output terminal ----

NTSTATUS SetupMultiOutputTerminalEntity(UsbMultiOutputTerminalEntity* pEntity, UsbAudioUnit* pUnit,
                                        PDEVICE_OBJECT pDevice, IAudioHal* pFunction)
{
    if (pEntity == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    pEntity->m_pUnit = pUnit;
    ITerminalControl* pControl = nullptr;
    NTSTATUS status = QueryUnitInterface(pUnit, IID_ITerminalControl, &pControl);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    TempBlock kinds;
    ULONG ulKindCount = 0;
    ULONG ulActive = 0;
    status = ReadKinds(pControl, &ulKindCount, &kinds);
    if (NT_SUCCESS(status)) {
        status = pEntity->Init(0, ulKindCount, static_cast<PULONG>(kinds.p));
    }
    if (NT_SUCCESS(status)) {
        status = pControl->GetKind(&ulActive);
    }
    if (NT_SUCCESS(status)) {
        pEntity->m_pDevice = pDevice;
        pEntity->m_pFunction = pFunction;
        // The kept kind is taken as it is: the unit checks it when Restore selects it.
        AccessUnitValue(pDevice, SETTINGS_READ, pEntity->GetId(), &ulActive, sizeof(ulActive));
        StoreRelaxed(&pEntity->m_ulActiveKind, ulActive);
    }
    pControl->Release();
    return status;
}

NTSTATUS UsbMultiOutputTerminalEntity::GetKind(PULONG pKind)
{
    if (pKind == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ITerminalControl* pControl = nullptr;
    NTSTATUS status = QueryUnitInterface(m_pUnit, IID_ITerminalControl, &pControl);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = pControl->GetKind(pKind);
    if (NT_SUCCESS(status)) {
        StoreRelaxed(&m_ulActiveKind, *pKind);
    }
    pControl->Release();
    return status;
}

NTSTATUS UsbMultiOutputTerminalEntity::SelectKind(ULONG ulKind)
{
    ITerminalControl* pControl = nullptr;
    NTSTATUS status = QueryUnitInterface(m_pUnit, IID_ITerminalControl, &pControl);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const ULONG ulOld = LoadRelaxed(&m_ulActiveKind);
    if (ulKind == ulOld) {
        pControl->Release();
        return STATUS_SUCCESS;
    }
    IUsbAudioFunctionOutputs* pFunction = nullptr;
    status = pControl->SelectKind(ulKind);
    if (NT_SUCCESS(status)) {
        StoreRelaxed(&m_ulActiveKind, ulKind);
        const ULONG ulUnitId = m_pUnit->GetId();
        status = m_pFunction != nullptr
                     ? m_pFunction->QueryInterface(IID_IUsbAudioFunction, reinterpret_cast<PVOID*>(&pFunction))
                     : STATUS_UNSUCCESSFUL;
        if (NT_SUCCESS(status)) {
            StoreRelaxed(&m_ulChanged, static_cast<ULONG>(1));
            status = pFunction->ReRegisterEndpoints(ulUnitId);
        }
    }
    if (NT_SUCCESS(status)) {
        PVOID pCallback = nullptr;
        status = pFunction->GetCallbackObject(&pCallback);
        if (m_pLinks != nullptr) {
            for (IEntityLink* pLink : m_pLinks->Items<IEntityLink>()) {
                if (!NT_SUCCESS(pLink->SetOutputKind(ulKind, pCallback))) {
                    break;
                }
            }
        }
        AccessUnitValue(m_pDevice, SETTINGS_WRITE, GetId(), &ulKind, sizeof(ulKind));
    }
    if (!NT_SUCCESS(status)) {
        StoreRelaxed(&m_ulActiveKind, ulOld);
        pControl->SelectKind(ulOld);
    }
    if (pFunction != nullptr) {
        pFunction->Release();
    }
    pControl->Release();
    return status;
}

NTSTATUS UsbMultiOutputTerminalEntity::Restore()
{
    ITerminalControl* pControl = nullptr;
    NTSTATUS status = QueryUnitInterface(m_pUnit, IID_ITerminalControl, &pControl);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = pControl->SelectKind(LoadRelaxed(&m_ulActiveKind));
    pControl->Release();
    return status;
}

NTSTATUS UsbMultiOutputTerminalEntity::Refresh()
{
    ITerminalControl* pControl = nullptr;
    NTSTATUS status = QueryUnitInterface(m_pUnit, IID_ITerminalControl, &pControl);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG ulKind = 0;
    status = pControl->GetKind(&ulKind);
    pControl->Release();
    if (NT_SUCCESS(status) && ulKind != LoadRelaxed(&m_ulActiveKind)) {
        AccessUnitValue(m_pDevice, SETTINGS_WRITE, GetId(), &ulKind, sizeof(ulKind));
        SelectKind(ulKind);
        StoreRelaxed(&m_ulActiveKind, ulKind);
    }
    return status;
}
