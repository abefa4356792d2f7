#include "topology/UsbLevelEntities.h"

#include "dsp/TablePow.h"
#include "primitives/Primitives.h"
#include "topology/EntityCommon.h"
#include "topology/UnitControls.h"
#include "topology/UsbEntityCommon.h"

namespace {

// The channel pointers a PCM chunk carries.
constexpr ULONG MAX_PROCESS_CHANNELS = 8;

// 10^(dB / 20) of a level in 1/65536 dB, the exponent in single precision; silence gives 0.
float LevelToGain(LONG level)
{
    const float exponent = (static_cast<float>(level) * (1.0f / 65536.0f)) / 20.0f;
    return TablePow(10.0f, exponent);
}

}  // namespace

// ---- the shared level sequence ----

LONG UsbLevelEntity::Clamp(LONG level) const
{
    if (level < m_lMinimum) {
        return m_lMinimum;
    }
    if (level > m_lMaximum) {
        return m_lMaximum;
    }
    return level;
}

LONG UsbLevelEntity::RoundToStep(LONG level) const
{
    // A device that reports no resolution leaves nothing to round to (and must not divide by 0).
    if (m_lStep <= 0) {
        return level;
    }
    return level - (level % m_lStep);
}

void UsbLevelEntity::ChooseLevels(LONG level, PLONG pStored, PLONG pSent) const
{
    if (level == LEVEL_SILENCE) {
        *pStored = LEVEL_SILENCE;
        *pSent = LEVEL_SILENCE;  // the unit sends its own silence code
        return;
    }
    *pStored = Clamp(level);
    *pSent = RoundToStep(*pStored);
}

void UsbLevelEntity::StoreAndKeep(ULONG ulChannel, LONG level)
{
    StoreRelaxed(&m_pValues[ulChannel], level);
    AccessChannelValue(m_pDevice, SETTINGS_WRITE, GetId(), GetOutputKind(), ulChannel, &level, sizeof(level));
}

NTSTATUS SetupLevelEntity(UsbLevelEntity* pEntity, UsbAudioUnit* pUnit, ULONG ulSelector, PDEVICE_OBJECT pDevice)
{
    if (pEntity == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    pEntity->m_pUnit = pUnit;
    IValueControl* pControl = nullptr;
    NTSTATUS status = QueryUnitInterface(pUnit, IID_IValueControl, &pControl);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG ulCount = 0;
    LONG maximum = 0;
    LONG minimum = 0;
    LONG resolution = 0;
    status = pControl->ChannelCount(ulSelector, &ulCount);
    if (NT_SUCCESS(status)) {
        status = pControl->GetRange(ulSelector, &maximum, &minimum, &resolution);
    }
    if (NT_SUCCESS(status)) {
        pEntity->m_ulSelector = ulSelector;
        status = pEntity->LevelEntity::Init(0, ulCount, maximum, minimum, resolution);
    }
    if (NT_SUCCESS(status)) {
        pEntity->m_pDevice = pDevice;
        for (ULONG c = 0; c < ulCount; ++c) {
            // A channel the device does not answer starts at 0 dB unless a value is kept.
            LONG value = 0;
            if (!NT_SUCCESS(pControl->GetValue(ulSelector, c, &value))) {
                value = 0;
            }
            AccessChannelValue(pDevice, SETTINGS_READ, pEntity->GetId(), pEntity->GetOutputKind(), c, &value,
                               sizeof(value));
            StoreRelaxed(&pEntity->m_pValues[c], value);
        }
    }
    pControl->Release();
    return status;
}

NTSTATUS UsbLevelEntity::SetLevel(ULONG ulChannel, LONG level)
{
    if (ulChannel >= m_ulChannelCount) {
        return STATUS_INVALID_PARAMETER;
    }
    IValueControl* pControl = nullptr;
    const NTSTATUS status = QueryUnitInterface(m_pUnit, IID_IValueControl, &pControl);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    LONG stored = 0;
    LONG sent = 0;
    ChooseLevels(level, &stored, &sent);
    if (NT_SUCCESS(pControl->SetValue(m_ulSelector, ulChannel, sent))) {
        StoreAndKeep(ulChannel, stored);
    }
    pControl->Release();
    return STATUS_SUCCESS;
}

void UsbLevelEntity::ReloadChannels(ULONG ulCount)
{
    const ULONG ulKind = GetOutputKind();
    for (ULONG c = 0; c < ulCount; ++c) {
        LONG value = LoadRelaxed(&m_pValues[c]);
        AccessChannelValue(m_pDevice, SETTINGS_READ, GetId(), ulKind, c, &value, sizeof(value));
        StoreRelaxed(&m_pValues[c], value);
        SetLevel(c, value);
    }
}

NTSTATUS UsbLevelEntity::SetOutputKind(ULONG ulKind, PVOID pCallbackObject)
{
    StoreRelaxed(&m_ulOutputKind, ulKind);
    ULONG ulCount = 0;
    GetChannelCount(&ulCount);
    ReloadChannels(ulCount);
    if (pCallbackObject != nullptr) {
        NotifyEntityChange(pCallbackObject, GetId());
    }
    return STATUS_SUCCESS;
}

NTSTATUS UsbLevelEntity::Restore()
{
    if (m_ulChannelCount == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    for (ULONG c = 0; c < m_ulChannelCount; ++c) {
        const NTSTATUS status = SetLevel(c, LoadRelaxed(&m_pValues[c]));
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS UsbLevelEntity::Refresh()
{
    IValueControl* pControl = nullptr;
    NTSTATUS status = QueryUnitInterface(m_pUnit, IID_IValueControl, &pControl);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    for (ULONG c = 0; c < m_ulChannelCount && NT_SUCCESS(status); ++c) {
        LONG value = 0;
        status = pControl->GetValue(m_ulSelector, c, &value);
        if (NT_SUCCESS(status)) {
            StoreAndKeep(c, value);
        }
    }
    pControl->Release();
    return status;
}

// ---- volume ----

NTSTATUS UsbVolumeEntity::Refresh()
{
    IValueControl* pControl = nullptr;
    NTSTATUS status = QueryUnitInterface(m_pUnit, IID_IValueControl, &pControl);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // Every channel is read: one unchanged channel must not hide a change on a later one.
    bool changed = false;
    for (ULONG c = 0; c < m_ulChannelCount && NT_SUCCESS(status); ++c) {
        LONG value = 0;
        status = pControl->GetValue(m_ulSelector, c, &value);
        if (NT_SUCCESS(status) && value != RoundToStep(LoadRelaxed(&m_pValues[c]))) {
            StoreAndKeep(c, value);
            changed = true;
        }
    }
    pControl->Release();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return changed ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

// ---- tone ----

void UsbToneEntity::ChooseLevels(LONG level, PLONG pStored, PLONG pSent) const
{
    if (level == LEVEL_SILENCE) {
        *pStored = LEVEL_SILENCE;
        *pSent = RoundToStep(m_lMinimum);
        return;
    }
    UsbLevelEntity::ChooseLevels(level, pStored, pSent);
}

// ---- gain pad ----

void UsbGainPadEntity::ChooseLevels(LONG level, PLONG pStored, PLONG pSent) const
{
    if (level == LEVEL_SILENCE) {
        *pStored = m_lMinimum;
        *pSent = RoundToStep(m_lMinimum);
        return;
    }
    UsbLevelEntity::ChooseLevels(level, pStored, pSent);
}

NTSTATUS UsbGainPadEntity::GetLevel(ULONG ulChannel, PLONG pLevel)
{
    return LevelEntity::GetLevel(ulChannel == ALL_CHANNELS ? 0 : ulChannel, pLevel);
}

NTSTATUS UsbGainPadEntity::SetLevel(ULONG ulChannel, LONG level)
{
    if (ulChannel != ALL_CHANNELS) {
        return UsbLevelEntity::SetLevel(ulChannel, level);
    }
    if (m_ulChannelCount == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    IValueControl* pControl = nullptr;
    const NTSTATUS status = QueryUnitInterface(m_pUnit, IID_IValueControl, &pControl);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    LONG stored = 0;
    LONG sent = 0;
    ChooseLevels(level, &stored, &sent);
    bool all = true;
    for (ULONG c = 0; c < m_ulChannelCount; ++c) {
        if (!NT_SUCCESS(pControl->SetValue(m_ulSelector, c, sent))) {
            all = false;
            break;
        }
        StoreAndKeep(c, stored);
    }
    if (all) {
        StoreAndKeep(0, stored);
    }
    pControl->Release();
    return STATUS_SUCCESS;
}

// ---- volume with software gain ----

UsbGainVolumeEntity::~UsbGainVolumeEntity()
{
    if (m_pGains != nullptr) {
        ExFreePoolWithTag(m_pGains, LEVEL_VALUES_TAG);
        m_pGains = nullptr;
    }
}

NTSTATUS UsbGainVolumeEntity::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    NTSTATUS status = LevelEntity::NonDelegatingQueryInterface(iid, ppvObject);
    if (NT_SUCCESS(status) || ppvObject == nullptr) {
        return status;
    }
    if (IsEqualGUID(iid, IID_IProcessingNode)) {
        return ReturnInterface(static_cast<IProcessingNode*>(this), ppvObject);
    }
    if (IsEqualGUID(iid, IID_ISelectorBranchControl)) {
        return ReturnInterface(static_cast<ISelectorBranchControl*>(this), ppvObject);
    }
    return STATUS_INVALID_PARAMETER;
}

float UsbGainVolumeEntity::GetGain(ULONG ulChannel) const
{
    if (m_pGains == nullptr || ulChannel > m_ulChannelCount) {
        return 0.0f;
    }
    float gain;
    __atomic_load(&m_pGains[ulChannel], &gain, __ATOMIC_RELAXED);
    return gain;
}

void UsbGainVolumeEntity::SetGain(ULONG ulChannel, LONG level)
{
    // Silence is not clamped: it gives a gain of 0.
    const LONG g = level == LEVEL_SILENCE ? level : Clamp(level);
    float gain = LevelToGain(g);
    __atomic_store(&m_pGains[ulChannel], &gain, __ATOMIC_RELAXED);
}

NTSTATUS SetupGainVolumeEntity(UsbGainVolumeEntity* pEntity, UsbAudioUnit* pUnit, ULONG ulSelector,
                               PDEVICE_OBJECT pDevice)
{
    if (pEntity == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = SetupLevelEntity(pEntity, pUnit, ulSelector, pDevice);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const SIZE_T cb = (static_cast<SIZE_T>(pEntity->m_ulChannelCount) + 1) * sizeof(float);
    auto* pGains = static_cast<float*>(ExAllocatePoolWithTag(NonPagedPoolNx, cb, LEVEL_VALUES_TAG));
    if (pGains == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (ULONG c = 0; c <= pEntity->m_ulChannelCount; ++c) {
        pGains[c] = 0.0f;
    }
    pEntity->m_pGains = pGains;
    for (ULONG c = 0; c < pEntity->m_ulChannelCount; ++c) {
        pGains[c] = LevelToGain(LoadRelaxed(&pEntity->m_pValues[c]));
    }
    return STATUS_SUCCESS;
}

NTSTATUS UsbGainVolumeEntity::SetLevel(ULONG ulChannel, LONG level)
{
    if (ulChannel >= m_ulChannelCount || m_pGains == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    UsbVolumeEntity::SetLevel(ulChannel, level);
    SetGain(ulChannel, level);
    return STATUS_SUCCESS;
}

NTSTATUS UsbGainVolumeEntity::SetOutputKind(ULONG ulKind, PVOID pCallbackObject)
{
    UsbLevelEntity::SetOutputKind(ulKind, pCallbackObject);
    ReloadChannels(m_ulChannelCount);
    if (pCallbackObject != nullptr) {
        NotifyEntityChange(pCallbackObject, GetId());
    }
    return STATUS_SUCCESS;
}

NTSTATUS UsbGainVolumeEntity::Refresh()
{
    IValueControl* pControl = nullptr;
    NTSTATUS status = QueryUnitInterface(m_pUnit, IID_IValueControl, &pControl);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    for (ULONG c = 0; c < m_ulChannelCount && NT_SUCCESS(status); ++c) {
        LONG value = 0;
        status = pControl->GetValue(m_ulSelector, c, &value);
        if (NT_SUCCESS(status)) {
            status = SetLevel(c, value);
        }
        if (NT_SUCCESS(status)) {
            StoreAndKeep(c, value);
        }
    }
    pControl->Release();
    return status;
}

NTSTATUS UsbGainVolumeEntity::Process(const WaveFormatRecord* pFormat, PVOID pData, ULONG ulFrames)
{
    if (BranchIndex() != SelectedInput() || pFormat == nullptr) {
        return STATUS_SUCCESS;
    }
    const WAVEFORMATEX& format = pFormat->Format;
    const ULONG tag = format.wFormatTag == WAVE_FORMAT_EXTENSIBLE ? (pFormat->SubFormat.Data1 & 0xFFFF)
                                                                   : format.wFormatTag;
    if (tag != WAVE_FORMAT_PCM || pData == nullptr || m_pGains == nullptr) {
        return STATUS_SUCCESS;
    }
    auto** ppChannels = static_cast<float**>(pData);
    ULONG ulCount = format.nChannels < m_ulChannelCount ? format.nChannels : m_ulChannelCount;
    if (ulCount > MAX_PROCESS_CHANNELS) {
        ulCount = MAX_PROCESS_CHANNELS;
    }
    for (ULONG i = 0; i < ulCount; ++i) {
        MultiplyByConstantInPlace(GetGain(i), ppChannels[i], static_cast<int32_t>(ulFrames));
    }
    return STATUS_SUCCESS;
}
