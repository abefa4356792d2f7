#include "topology/UsbClockDspEntities.h"

#include <cstring>

#include "dsp/EffectProcessing.h"
#include "topology/EntityCommon.h"
#include "topology/UnitControls.h"
#include "topology/UsbEntityCommon.h"

// ---- clock ----

NTSTATUS SetupClockEntity(UsbClockEntity* pEntity, UsbAudioUnit* pUnit)
{
    if (pEntity == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    pEntity->m_pUnit = pUnit;
    IClockControl* pControl = nullptr;
    NTSTATUS status = QueryUnitInterface(pUnit, IID_IClockControl, &pControl);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG ulCount = 0;
    if (!NT_SUCCESS(pControl->GetRateCount(&ulCount)) || ulCount < 1 || ulCount > 0x7FFFFFFF) {
        pControl->Release();
        return STATUS_UNSUCCESSFUL;
    }
    auto* pRates = static_cast<PULONG>(
        ExAllocatePoolWithTag(PagedPool, static_cast<SIZE_T>(ulCount) * sizeof(ULONG), CLOCK_TAG));
    if (pRates == nullptr) {
        pControl->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG ulRoom = ulCount;
    status = pControl->GetRates(&ulRoom, pRates);
    if (NT_SUCCESS(status)) {
        // The unit reports how many it wrote; never more than the room given.
        status = pEntity->Init(static_cast<LONG>(ulRoom < ulCount ? ulRoom : ulCount), pRates);
    }
    ExFreePoolWithTag(pRates, CLOCK_TAG);
    pControl->Release();
    return status;
}

NTSTATUS UsbClockEntity::SetRate(ULONG ulRate)
{
    IClockControl* pControl = nullptr;
    NTSTATUS status = QueryUnitInterface(m_pUnit, IID_IClockControl, &pControl);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = pControl->SetRate(ulRate);
    pControl->Release();
    if (NT_SUCCESS(status)) {
        ClockEntity::SetRate(ulRate);
    }
    return status;
}

NTSTATUS UsbClockEntity::IsClockValid(PBOOLEAN pValid)
{
    IClockControl* pControl = nullptr;
    NTSTATUS status = QueryUnitInterface(m_pUnit, IID_IClockControl, &pControl);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = pControl->IsClockValid(pValid);
    pControl->Release();
    return status;
}

// ---- processing block ----

UsbDspEntity::UsbDspEntity(PUNKNOWN pOuterUnknown, ULONG ulId) : ProcessingEntity(pOuterUnknown, ulId)
{
    KeInitializeSpinLock(&m_DspEntityLock);
}

NTSTATUS UsbDspEntity::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    NTSTATUS status = ProcessingEntity::NonDelegatingQueryInterface(iid, ppvObject);
    if (NT_SUCCESS(status) || ppvObject == nullptr) {
        return status;
    }
    if (IsEqualGUID(iid, IID_IProcessingNode)) {
        return ReturnInterface(static_cast<IProcessingNode*>(this), ppvObject);
    }
    return STATUS_INVALID_PARAMETER;
}

void UsbDspEntity::RaiseChangeFlags()
{
    InterlockedCompareExchange(&m_lValueChanged, 1, 0);
    InterlockedCompareExchange(&m_lResetPending, 1, 0);
}

void UsbDspEntity::KeepEnable(UCHAR enable)
{
    AccessUnitValue(m_pDevice, SETTINGS_WRITE, GetId(), &enable, sizeof(enable));
}

NTSTATUS SetupDspEntity(UsbDspEntity* pEntity, UsbAudioUnit* pUnit, ULONG ulSelector, PDEVICE_OBJECT pDevice)
{
    if (pEntity == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    pEntity->m_pUnit = pUnit;
    pEntity->m_ulSelector = ulSelector;
    IOnOffControl* pControl = nullptr;
    NTSTATUS status = QueryUnitInterface(pUnit, IID_IOnOffControl, &pControl);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    __atomic_store_n(&pEntity->m_lResetPending, 0, __ATOMIC_SEQ_CST);
    __atomic_store_n(&pEntity->m_lValueChanged, 0, __ATOMIC_SEQ_CST);
    pEntity->m_pDevice = pDevice;
    pEntity->m_ulTransitionState = 1;
    UCHAR value = 0;
    if (!NT_SUCCESS(pControl->GetOnOff(ulSelector, 0, &value))) {
        value = 0;
    }
    pControl->Release();
    AccessUnitValue(pDevice, SETTINGS_READ, pEntity->GetId(), &value, sizeof(value));
    StoreRelaxed(&pEntity->m_ulEnable, static_cast<ULONG>(value));
    return pEntity->Init(0);
}

NTSTATUS UsbDspEntity::SetEnable(UCHAR enable)
{
    m_EntityLock.Lock();
    IOnOffControl* pControl = nullptr;
    NTSTATUS status = QueryUnitInterface(m_pUnit, IID_IOnOffControl, &pControl);
    if (NT_SUCCESS(status)) {
        status = pControl->SetOnOff(m_ulSelector, 0, enable);
        pControl->Release();
        // The accepted value first: a chunk that sees the flags takes this value over.
        if (NT_SUCCESS(status)) {
            StoreRelaxed(&m_ulEnable, static_cast<ULONG>(enable));
            KeepEnable(enable);
        }
        RaiseChangeFlags();
    }
    m_EntityLock.Unlock();
    return status;
}

NTSTATUS UsbDspEntity::GetEnable(PUCHAR pEnable)
{
    m_EntityLock.Lock();
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (pEnable != nullptr) {
        *pEnable = static_cast<UCHAR>(LoadRelaxed(&m_ulEnable));
        status = STATUS_SUCCESS;
    }
    m_EntityLock.Unlock();
    return status;
}

NTSTATUS UsbDspEntity::Restore() { return SetEnable(static_cast<UCHAR>(LoadRelaxed(&m_ulEnable))); }

NTSTATUS UsbDspEntity::Refresh()
{
    m_EntityLock.Lock();
    IOnOffControl* pControl = nullptr;
    NTSTATUS status = QueryUnitInterface(m_pUnit, IID_IOnOffControl, &pControl);
    if (NT_SUCCESS(status)) {
        UCHAR value = 0;
        status = pControl->GetOnOff(m_ulSelector, 0, &value);
        pControl->Release();
        if (NT_SUCCESS(status)) {
            StoreRelaxed(&m_ulEnable, static_cast<ULONG>(value));
            RaiseChangeFlags();
            KeepEnable(value);
        }
    }
    m_EntityLock.Unlock();
    return status;
}

EffectEntityState UsbDspEntity::EffectState(EffectPath* pPath, DspEffectKind kind, PVOID pProcessor)
{
    EffectEntityState state = {};
    state.Control = kind == DspEffectKind::Spatial ? 0x8B : 0x8C;
    state.Spatial = kind == DspEffectKind::Spatial ? static_cast<SpatialProcessor8*>(pProcessor) : nullptr;
    state.Engine = kind == DspEffectKind::Headphone ? static_cast<HeadphoneEngine*>(pProcessor) : nullptr;
    state.Path = pPath;
    state.StoredFormat = &m_Format;
    state.ParameterChanged = &m_lResetPending;
    state.EnableChanged = &m_lValueChanged;
    state.RequestedEnable = &m_ulEnable;
    state.EffectiveEnable = &m_ulProcessingEnable;
    state.FadeState = &m_ulTransitionState;
    state.Lock = &m_DspEntityLock;
    return state;
}

BOOLEAN UsbDspEntity::ApplyPendingEnable()
{
    EffectEntityState state = EffectState(nullptr, DspEffectKind::Spatial, nullptr);
    return ApplyPendingEffectEnable(&state);
}

NTSTATUS UsbDspEntity::ProcessEffect(const WaveFormatRecord* pFormat, PVOID pData, ULONG ulFrames, EffectPath* pPath,
                                     DspEffectKind kind, PVOID pProcessor)
{
    EffectEntityState state = EffectState(pPath, kind, pProcessor);
    ProcessEffectEntityChunk(&state, pFormat, pData, static_cast<LONG>(ulFrames));
    return STATUS_SUCCESS;
}

NTSTATUS UsbDspEntity::ResetEffect(EffectPath* pPath, DspEffectKind kind, PVOID pProcessor)
{
    EffectEntityState state = EffectState(pPath, kind, pProcessor);
    ResetEffectEntityState(&state);
    return STATUS_SUCCESS;
}

NTSTATUS UsbDspEntity::SetFormat(const WaveFormatRecord* pFormat)
{
    if (pFormat != nullptr) {
        std::memcpy(&m_Format, pFormat, sizeof(m_Format));
    }
    return STATUS_SUCCESS;
}
