#include "topology/V3FeatureUnits.h"

#include <cstring>
#include <type_traits>

#include "adapter/SettingsStore.h"
#include "primitives/Primitives.h"
#include "topology/EntityCommon.h"
#include "topology/Uac1UnitRequest.h"
#include "topology/UsbEntityCommon.h"

namespace {

constexpr LONG SILENCE = static_cast<LONG>(0x80000000);
constexpr SHORT DEVICE_SILENCE = -32768;
constexpr LONG COARSE_STEP = 0x18000;  // 1.5 dB
constexpr LONG REMAP_STEP = 0x4000;    // 0.25 dB

bool IsToneSelector(ULONG selector) { return selector >= UAC1_FU_BASS && selector <= UAC1_FU_TREBLE; }

SHORT Le16s(const UCHAR* p) { return static_cast<SHORT>(p[0] | (p[1] << 8)); }

// Device value to the 1/256 dB scale KS sees, in 32 bits: 3 dB per device dB above 0, the given
// fraction below (computed wide, so that no range end wraps).
LONG ScaleUp(LONG v, LONG belowDivisor) { return v >= 0 ? 3 * v : (3 * v) / belowDivisor; }

}  // namespace

const VolumeRemapRow VolumeRemapTable[VOLUME_REMAP_ROWS] = {
    {0, 0},          {-62, -256},     {-128, -512},    {-192, -768},    {-263, -1024},   {-331, -1280},
    {-402, -1536},   {-477, -1792},   {-556, -2048},   {-638, -2304},   {-717, -2560},   {-804, -2816},
    {-894, -3072},   {-989, -3328},   {-1088, -3584},  {-1188, -3840},  {-1298, -4096},  {-1411, -4352},
    {-1529, -4608},  {-1657, -4864},  {-1785, -5120},  {-1920, -5376},  {-2082, -5632},  {-2240, -5888},
    {-2420, -6144},  {-2612, -6400},  {-2816, -6656},  {-3072, -6912},  {-3303, -7168},  {-3584, -7424},
    {-3917, -7680},  {-4301, -7936},  {-4788, -8192},  {-5402, -8448},  {-6221, -8704},  {-7578, -8960},
    {-8500, -9216},  {-8832, -9728},  {-32768, -9728},
};

LONG V3DeviceToLevel(LONG device)
{
    for (ULONG i = 1; i < VOLUME_REMAP_ROWS; ++i) {
        if (device > VolumeRemapTable[i].Device) {
            return VolumeRemapTable[i - 1].Level;
        }
    }
    return device;
}

LONG V3LevelToDevice(LONG level)
{
    for (ULONG i = 0; i < VOLUME_REMAP_ROWS; ++i) {
        if (level > VolumeRemapTable[i].Level) {
            // Above 0 dB there is no row before the first: the first row's value.
            return VolumeRemapTable[i == 0 ? 0 : i - 1].Device;
        }
        if (level == VolumeRemapTable[i].Level) {
            return VolumeRemapTable[i].Device;
        }
    }
    return level;
}

// ---- node entities ----

bool V3IsPcm(const WaveFormatRecord* pFormat)
{
    const WAVEFORMATEX& format = pFormat->Format;
    return format.wFormatTag == WAVE_FORMAT_PCM ||
           (format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && (pFormat->SubFormat.Data1 & 0xFFFF) == WAVE_FORMAT_PCM);
}

NTSTATUS V3MuteChunk(const WaveFormatRecord* pFormat, PVOID pData, ULONG ulFrames)
{
    if (pFormat == nullptr || pData == nullptr) {
        return STATUS_SUCCESS;
    }
    const WAVEFORMATEX& format = pFormat->Format;
    if (V3IsPcm(pFormat)) {
        auto** ppChannels = static_cast<float**>(pData);
        for (USHORT c = 0; c < format.nChannels; ++c) {
            ZeroFloat(ppChannels[c], static_cast<int32_t>(ulFrames));
        }
    } else {
        std::memset(pData, 0, static_cast<SIZE_T>(format.nBlockAlign) * ulFrames);
    }
    return STATUS_SUCCESS;
}

#define V3_NODE_QUERY(Class, Base)                                                                                    \
    NTSTATUS Class::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)                                        \
    {                                                                                                                 \
        NTSTATUS status = Base::NonDelegatingQueryInterface(iid, ppvObject);                                         \
        if (NT_SUCCESS(status) || ppvObject == nullptr) {                                                             \
            return status;                                                                                            \
        }                                                                                                             \
        if (IsEqualGUID(iid, IID_IProcessingNode)) {                                                                  \
            return ReturnInterface(static_cast<IProcessingNode*>(this), ppvObject);                                   \
        }                                                                                                             \
        return status;                                                                                                \
    }

V3_NODE_QUERY(V3SoftwareMuteEntity, OnOffEntity)
V3_NODE_QUERY(V3SpdifMuteEntity, OnOffEntity)
V3_NODE_QUERY(V3SpdifVolumeEntity, LevelEntity)
V3_NODE_QUERY(V3BranchMuteEntity, UsbBranchMuteEntity)

NTSTATUS V3SoftwareMuteEntity::SetValue(ULONG ulChannel, UCHAR value)
{
    if (ulChannel >= m_ulChannelCount) {
        return STATUS_INVALID_PARAMETER;
    }
    StoreAndKeep(ulChannel, value);
    return STATUS_SUCCESS;
}

NTSTATUS V3SoftwareMuteEntity::Process(const WaveFormatRecord* pFormat, PVOID pData, ULONG ulFrames)
{
    if (m_ulChannelCount == 0 || LoadRelaxed(&m_pValues[0]) == 0) {
        return STATUS_SUCCESS;
    }
    return V3MuteChunk(pFormat, pData, ulFrames);
}

NTSTATUS V3SpdifMuteEntity::Process(const WaveFormatRecord* pFormat, PVOID pData, ULONG ulFrames)
{
    if (GetOutputKind() != ENDPOINT_KIND_SPDIF || m_ulChannelCount == 0 || LoadRelaxed(&m_pValues[0]) == 0) {
        return STATUS_SUCCESS;
    }
    return V3MuteChunk(pFormat, pData, ulFrames);
}

NTSTATUS V3BranchMuteEntity::Process(const WaveFormatRecord* pFormat, PVOID pData, ULONG ulFrames)
{
    if (SelectedInput() != 3 || m_ulChannelCount == 0 || LoadRelaxed(&m_pValues[0]) == 0) {
        return STATUS_SUCCESS;
    }
    return V3MuteChunk(pFormat, pData, ulFrames);
}

float V3SpdifVolumeEntity::GetGain(ULONG ulChannel) const
{
    if (ulChannel >= MAX_GAINS) {
        return 0.0f;
    }
    float gain;
    __atomic_load(&m_Gains[ulChannel], &gain, __ATOMIC_RELAXED);
    return gain;
}

VOID V3SpdifVolumeEntity::ComputeGains(ULONG ulFirst, ULONG ulCount)
{
    if (m_pValues == nullptr || ulFirst >= m_ulChannelCount || ulFirst >= MAX_GAINS) {
        return;
    }
    ULONG ulLast = ulFirst + ulCount;
    ulLast = ulLast > m_ulChannelCount ? m_ulChannelCount : ulLast;
    ulLast = ulLast > MAX_GAINS ? MAX_GAINS : ulLast;
    const int32_t n = static_cast<int32_t>(ulLast - ulFirst);
    int32_t levels[MAX_GAINS] = {};
    float exponents[MAX_GAINS] = {};
    float bases[MAX_GAINS] = {};
    float gains[MAX_GAINS] = {};
    for (int32_t i = 0; i < n; ++i) {
        levels[i] = LoadRelaxed(&m_pValues[ulFirst + i]);
        bases[i] = 10.0f;
    }
    ConvertInt32ToFloatScaled(levels, exponents, n, 0);
    DivideByConstantInPlace(1310720.0f, exponents, n);
    RaiseToPower(bases, exponents, gains, n);
    for (int32_t i = 0; i < n; ++i) {
        __atomic_store(&m_Gains[ulFirst + i], &gains[i], __ATOMIC_RELAXED);
    }
}

NTSTATUS V3SpdifVolumeEntity::SetLevel(ULONG ulChannel, LONG level)
{
    const NTSTATUS status = UsbVolumeEntity::SetLevel(ulChannel, level);
    ComputeGains(ulChannel, 1);
    return status;
}

NTSTATUS V3SpdifVolumeEntity::SetOutputKind(ULONG ulKind, PVOID pCallbackObject)
{
    UsbVolumeEntity::SetOutputKind(ulKind, pCallbackObject);
    ComputeGains(0, MAX_GAINS);
    return STATUS_SUCCESS;
}

NTSTATUS V3SpdifVolumeEntity::Refresh()
{
    const NTSTATUS status = UsbVolumeEntity::Refresh();
    if (NT_SUCCESS(status)) {
        ComputeGains(0, MAX_GAINS);
    }
    return status;
}

NTSTATUS V3SpdifVolumeEntity::Process(const WaveFormatRecord* pFormat, PVOID pData, ULONG ulFrames)
{
    if (pFormat == nullptr || pData == nullptr || GetOutputKind() != ENDPOINT_KIND_SPDIF || !V3IsPcm(pFormat)) {
        return STATUS_SUCCESS;
    }
    auto** ppChannels = static_cast<float**>(pData);
    const ULONG ulChannels = pFormat->Format.nChannels < MAX_GAINS ? pFormat->Format.nChannels : MAX_GAINS;
    for (ULONG c = 0; c < ulChannels; ++c) {
        MultiplyByConstantInPlace(GetGain(c), ppChannels[c], static_cast<int32_t>(ulFrames));
    }
    return STATUS_SUCCESS;
}

NTSTATUS V3LedEntity::GetValue(ULONG ulChannel, PUCHAR pValue)
{
    if (ulChannel != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    return UsbLedSwitchEntity::GetValue(ulChannel, pValue);
}

NTSTATUS V3LedEntity::SetValue(ULONG ulChannel, UCHAR value)
{
    if (m_pChip == nullptr || ulChannel != 0 || ulChannel >= m_ulChannelCount) {
        return STATUS_INVALID_PARAMETER;
    }
    const NTSTATUS status = m_pChip->WriteRegister(1, value != 0 ? 0x10 : 0x30, 0x30);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    StoreAndKeep(ulChannel, value);
    return STATUS_SUCCESS;
}

// ---- units: the shared class Init of the units without the vendor block ----

namespace {

// The mute entity (required) and, with a volume control, the volume one. `create`(type tag, next
// id, setup) builds one entity through the unit.
template <typename MuteT, typename VolumeT, typename Unit, typename Create, typename MuteSetup, typename VolumeSetup>
NTSTATUS InitMuteAndVolume(Unit* pUnit, IAudioHal* hal, const UCHAR* pDescriptor, Create create, MuteSetup muteSetup,
                           VolumeSetup volumeSetup)
{
    const ULONG source = pDescriptor[4];
    NTSTATUS status = pUnit->SetSources(1, &source);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (!pUnit->IsControlPresent(UAC1_FU_MUTE)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG next = hal->GetEntityCount();
    bool allocated = false;
    status = create(static_cast<MuteT*>(nullptr), &next, [&](MuteT* e) {
        allocated = true;
        return muteSetup(e);
    });
    if (!NT_SUCCESS(status)) {
        return allocated ? status : STATUS_INSUFFICIENT_RESOURCES;
    }
    if constexpr (!std::is_same_v<VolumeT, void>) {
        if (pUnit->IsControlPresent(UAC1_FU_VOLUME)) {
            allocated = false;
            status = create(static_cast<VolumeT*>(nullptr), &next, [&](VolumeT* e) {
                allocated = true;
                return volumeSetup(e);
            });
            if (!allocated) {
                status = STATUS_SUCCESS;  // a volume that cannot be had is left out
            }
        }
    }
    return status;
}

bool IsFeature(const UCHAR* p)
{
    return p != nullptr && p[0] >= UAC1_FEATURE_UNIT_MIN_LENGTH && p[1] == USB_AUDIO_CS_INTERFACE &&
           p[2] == USB_AUDIO_AC_FEATURE_UNIT;
}

}  // namespace

// The entity factory the Init bodies hand to InitMuteAndVolume; a lambda of the unit's member
// function may build through the unit's protected CreateEntity.
#define V3_ENTITY_FACTORY(hal)                                                                                        \
    [&](auto* typeTag, PULONG pulNext, auto setup) {                                                                  \
        using T = std::remove_pointer_t<decltype(typeTag)>;                                                           \
        return CreateEntity<T>(hal, V3_FEATURE_TAG, pulNext, setup, static_cast<T**>(nullptr));                       \
    }

NTSTATUS V3MuteLedFeatureUnit::InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal,
                                                  IV3ChipRegisters* pChip)
{
    if (pDescriptor == nullptr || pOwner == nullptr || pHal == nullptr || !IsFeature(pDescriptor)) {
        return STATUS_INVALID_PARAMETER;
    }
    m_pChip = pChip;
    return InitFromDescriptorSequence(pDescriptor, pOwner, pHal, USB_AUDIO_AC_FEATURE_UNIT, [this](IAudioHal* hal) {
        PDEVICE_OBJECT device = hal->GetDeviceObject();
        UCHAR value = 0;
        if (NT_SUCCESS(AccessSettingsBinary(device, SETTINGS_READ, &value, 1, u"NeedMuteLED"))) {
            m_NeedMuteLED = value;
        }
        value = 0;
        if (NT_SUCCESS(AccessSettingsBinary(device, SETTINGS_READ, &value, 1, u"ReverseMuteLED"))) {
            m_ReverseMuteLED = value;
        }
        return Init(hal);
    });
}

NTSTATUS V3MuteLedFeatureUnit::Init(IAudioHal* hal)
{
    if (hal == nullptr || !IsFeature(m_pDescriptor)) {
        return STATUS_INVALID_PARAMETER;
    }
    m_ulId = m_pDescriptor[3];
    m_lType = USB_AUDIO_AC_FEATURE_UNIT;
    PDEVICE_OBJECT device = hal->GetDeviceObject();
    return InitMuteAndVolume<V3SpdifMuteEntity, V3SpdifVolumeEntity>(
        this, hal, m_pDescriptor, V3_ENTITY_FACTORY(hal),
        [&](V3SpdifMuteEntity* e) { return SetupOnOffEntity(e, this, UAC1_FU_MUTE, device); },
        [&](V3SpdifVolumeEntity* e) {
            NTSTATUS status = SetupLevelEntity(e, this, UAC1_FU_VOLUME, device);
            if (NT_SUCCESS(status)) {
                e->ComputeGains(0, V3SpdifVolumeEntity::MAX_GAINS);
            }
            return status;
        });
}

NTSTATUS V3MuteLedFeatureUnit::SetOnOff(ULONG selector, ULONG channel, UCHAR value)
{
    const NTSTATUS status = FeatureUnit::SetOnOff(selector, channel, value);
    if (NT_SUCCESS(status) && m_NeedMuteLED != 0 && m_pChip != nullptr) {
        const bool lit = m_ReverseMuteLED == 1 ? value == 0 : value != 0;
        m_pChip->WriteRegister(1, lit ? 0x30 : 0x10, 0x30);
    }
    return status;
}

// The wire channel: index + 1 of several (the master alone: 0), with the control on it; the
// back and side pairs trade places on the wire. No retry on another channel.
NTSTATUS V3MuteLedFeatureUnit::WireChannel(ULONG selector, ULONG channel, PULONG pulWire)
{
    ULONG count = 0;
    NTSTATUS status = ChannelCount(selector, &count);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (channel >= count) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG wire = count > 1 ? channel + 1 : 0;
    if (!BitmapHas(selector, wire)) {
        return STATUS_INVALID_PARAMETER;
    }
    *pulWire = ChannelRemap(wire);
    return STATUS_SUCCESS;
}

NTSTATUS V3MuteLedFeatureUnit::GetValue(ULONG selector, ULONG channel, PLONG value)
{
    ULONG wire = 0;
    NTSTATUS status = WireChannel(selector, channel, &wire);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (value == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR bytes[2] = {};
    if (IsToneSelector(selector)) {
        status = Request(selector, USB_AUDIO_GET_CUR, wire, TRUE, bytes, 1);
        if (NT_SUCCESS(status)) {
            *value = static_cast<LONG>(static_cast<signed char>(bytes[0])) * (1 << 14);
        }
        return status;
    }
    status = Request(selector, USB_AUDIO_GET_CUR, wire, TRUE, bytes, 2);
    if (NT_SUCCESS(status)) {
        const SHORT d = Le16s(bytes);
        *value = d == DEVICE_SILENCE ? SILENCE : V3DeviceToLevel(d) * 256;
    }
    return status;
}

NTSTATUS V3MuteLedFeatureUnit::SetValue(ULONG selector, ULONG channel, LONG value)
{
    ULONG wire = 0;
    NTSTATUS status = WireChannel(selector, channel, &wire);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UCHAR bytes[2] = {};
    if (IsToneSelector(selector)) {
        bytes[0] = static_cast<UCHAR>(value >> 14);
        return Request(selector, USB_AUDIO_SET_CUR, wire, FALSE, bytes, 1);
    }
    const LONG device = value == SILENCE ? DEVICE_SILENCE : V3LevelToDevice(value >> 8);
    bytes[0] = static_cast<UCHAR>(device);
    bytes[1] = static_cast<UCHAR>(device >> 8);
    return Request(selector, USB_AUDIO_SET_CUR, wire, FALSE, bytes, 2);
}

NTSTATUS V3MuteLedFeatureUnit::GetRange(ULONG selector, PLONG maximum, PLONG minimum, PLONG resolution)
{
    if (!IsFeature(m_pDescriptor) || maximum == nullptr || minimum == nullptr || resolution == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG count = 0;
    NTSTATUS status = ChannelCount(selector, &count);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UCHAR wire[3][2] = {};
    const UCHAR requests[3] = {USB_AUDIO_GET_MAX, USB_AUDIO_GET_MIN, USB_AUDIO_GET_RES};
    for (int i = 0; i < 3; ++i) {
        status = Request(selector, requests[i], 1, TRUE, wire[i], 2);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    *maximum = V3DeviceToLevel(Le16s(wire[0])) * 256;
    *minimum = V3DeviceToLevel(Le16s(wire[1])) * 256;
    *resolution = REMAP_STEP;
    return STATUS_SUCCESS;
}

NTSTATUS V3SoftMuteFeatureUnit::InitFromDescriptorWithOwner(const UCHAR* pDescriptor, IAudioHal* pOwner,
                                                            IAudioHal* pHal)
{
    if (pDescriptor == nullptr || pOwner == nullptr || pHal == nullptr || !IsFeature(pDescriptor)) {
        return STATUS_INVALID_PARAMETER;
    }
    return InitFromDescriptorSequence(pDescriptor, pOwner, pHal, USB_AUDIO_AC_FEATURE_UNIT,
                                      [this](IAudioHal* hal) { return Init(hal); });
}

NTSTATUS V3SoftMuteFeatureUnit::Init(IAudioHal* hal)
{
    if (hal == nullptr || !IsFeature(m_pDescriptor)) {
        return STATUS_INVALID_PARAMETER;
    }
    m_ulId = m_pDescriptor[3];
    m_lType = USB_AUDIO_AC_FEATURE_UNIT;
    PDEVICE_OBJECT device = hal->GetDeviceObject();
    return InitMuteAndVolume<V3BranchMuteEntity, void>(
        this, hal, m_pDescriptor, V3_ENTITY_FACTORY(hal),
        [&](V3BranchMuteEntity* e) { return SetupOnOffEntity(e, this, UAC1_FU_MUTE, device); }, 0);
}

NTSTATUS V3SoftMuteVolumeFeatureUnit::InitFromDescriptorWithOwner(const UCHAR* pDescriptor, IAudioHal* pOwner,
                                                                  IAudioHal* pHal)
{
    if (pDescriptor == nullptr || pOwner == nullptr || pHal == nullptr || !IsFeature(pDescriptor)) {
        return STATUS_INVALID_PARAMETER;
    }
    return InitFromDescriptorSequence(pDescriptor, pOwner, pHal, USB_AUDIO_AC_FEATURE_UNIT,
                                      [this](IAudioHal* hal) { return Init(hal); });
}

NTSTATUS V3SoftMuteVolumeFeatureUnit::Init(IAudioHal* hal)
{
    if (hal == nullptr || !IsFeature(m_pDescriptor)) {
        return STATUS_INVALID_PARAMETER;
    }
    m_ulId = m_pDescriptor[3];
    m_lType = USB_AUDIO_AC_FEATURE_UNIT;
    PDEVICE_OBJECT device = hal->GetDeviceObject();
    return InitMuteAndVolume<V3SoftwareMuteEntity, UsbVolumeEntity>(
        this, hal, m_pDescriptor, V3_ENTITY_FACTORY(hal),
        [&](V3SoftwareMuteEntity* e) { return SetupOnOffEntity(e, this, UAC1_FU_MUTE, device); },
        [&](UsbVolumeEntity* e) { return SetupLevelEntity(e, this, UAC1_FU_VOLUME, device); });
}

NTSTATUS V3LedFeatureUnit::InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal,
                                              IV3ChipRegisters* pChip)
{
    if (pDescriptor == nullptr || pOwner == nullptr || pHal == nullptr || !IsFeature(pDescriptor)) {
        return STATUS_INVALID_PARAMETER;
    }
    return InitFromDescriptorSequence(pDescriptor, pOwner, pHal, USB_AUDIO_AC_FEATURE_UNIT, [&](IAudioHal* hal) {
        NTSTATUS status = Init(hal);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        ULONG next = hal->GetEntityCount();
        PDEVICE_OBJECT device = hal->GetDeviceObject();
        bool allocated = false;
        status = CreateEntity<V3LedEntity>(
            hal, V3_FEATURE_TAG, &next,
            [&](V3LedEntity* e) {
                allocated = true;
                e->SetOwner(pChip);
                return SetupSingleOnOffEntity(e, this, device);
            },
            static_cast<V3LedEntity**>(nullptr));
        return allocated ? status : STATUS_SUCCESS;
    });
}

// ---- level conversions ----

NTSTATUS V3CoarseVolumeFeatureUnit::GetValue(ULONG selector, ULONG channel, PLONG value)
{
    const NTSTATUS status = FeatureUnit::GetValue(selector, channel, value);
    if (NT_SUCCESS(status) && *value != SILENCE) {
        *value = ScaleUp(*value, 2);
    }
    return status;
}

NTSTATUS V3CoarseVolumeFeatureUnit::SetValue(ULONG selector, ULONG channel, LONG value)
{
    if (value != SILENCE) {
        value = value >= 0 ? value / 3 : static_cast<LONG>((2LL * value) / 3);
    }
    return FeatureUnit::SetValue(selector, channel, value);
}

NTSTATUS V3CoarseVolumeFeatureUnit::ReadRange(ULONG selector, bool oneByte, LONG (&wire)[3])
{
    ULONG count = 0;
    NTSTATUS status = ChannelCount(selector, &count);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG d = 0;
    for (ULONG c = 1; c <= count; ++c) {
        if (BitmapHas(selector, c)) {
            d = c;
            break;
        }
    }
    const UCHAR requests[3] = {USB_AUDIO_GET_MAX, USB_AUDIO_GET_MIN, USB_AUDIO_GET_RES};
    for (int i = 0; i < 3; ++i) {
        UCHAR bytes[2] = {};
        status = Request(selector, requests[i], d, TRUE, bytes, oneByte ? 1 : 2);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        wire[i] = oneByte ? static_cast<LONG>(static_cast<signed char>(bytes[0])) : static_cast<LONG>(Le16s(bytes));
    }
    return STATUS_SUCCESS;
}

NTSTATUS V3CoarseVolumeFeatureUnit::GetRange(ULONG selector, PLONG maximum, PLONG minimum, PLONG resolution)
{
    if (!IsFeature(m_pDescriptor) || maximum == nullptr || minimum == nullptr || resolution == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    LONG wire[3] = {};
    const NTSTATUS status = ReadRange(selector, false, wire);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const LONG max = static_cast<SHORT>(wire[0] & 0xFFF0);
    *maximum = ScaleUp(max, 2) * 256;
    *minimum = ScaleUp(wire[1], 2) * 256;
    *resolution = COARSE_STEP;
    return STATUS_SUCCESS;
}

NTSTATUS V3FineVolumeFeatureUnit::GetValue(ULONG selector, ULONG channel, PLONG value)
{
    const NTSTATUS status = FeatureUnit::GetValue(selector, channel, value);
    if (NT_SUCCESS(status) && *value != SILENCE) {
        *value = ScaleUp(*value, 8);
    }
    return status;
}

NTSTATUS V3FineVolumeFeatureUnit::SetValue(ULONG selector, ULONG channel, LONG value)
{
    if (value != SILENCE) {
        value = value >= 0 ? value / 3 : static_cast<LONG>((8LL * value) / 3);
    }
    return FeatureUnit::SetValue(selector, channel, value);
}

NTSTATUS V3FineVolumeFeatureUnit::GetRange(ULONG selector, PLONG maximum, PLONG minimum, PLONG resolution)
{
    if (!IsFeature(m_pDescriptor) || maximum == nullptr || minimum == nullptr || resolution == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    LONG wire[3] = {};
    const bool tone = IsToneSelector(selector);
    const NTSTATUS status = ReadRange(selector, tone, wire);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (tone) {
        *maximum = wire[0] * (1 << 14);
        *minimum = wire[1] * (1 << 14);
        *resolution = wire[2] * (1 << 14);
        return STATUS_SUCCESS;
    }
    const LONG max = static_cast<SHORT>(wire[0] & 0xFF00);
    *maximum = ScaleUp(max, 8) * 256;
    *minimum = ScaleUp(wire[1], 8) * 256;
    *resolution = COARSE_STEP;
    return STATUS_SUCCESS;
}

// ---- the direct-channel unit ----

NTSTATUS V3DirectChannelFeatureUnit::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    NTSTATUS status = FeatureUnit::NonDelegatingQueryInterface(iid, ppvObject);
    if (NT_SUCCESS(status) || ppvObject == nullptr) {
        return status;
    }
    if (IsEqualGUID(iid, IID_IV3MuteOverride)) {
        return ReturnInterface(static_cast<IV3MuteOverride*>(this), ppvObject);
    }
    return status;
}

NTSTATUS V3DirectChannelFeatureUnit::GetOnOff(ULONG selector, ULONG channel, PUCHAR value)
{
    if (channel != 0 || value == nullptr || m_pDescriptor == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR byte = 0;
    const NTSTATUS status = Request(selector, USB_AUDIO_GET_CUR, 0, TRUE, &byte, 1);
    if (NT_SUCCESS(status)) {
        *value = byte;
        __atomic_store_n(&m_LastMute, byte, __ATOMIC_RELAXED);
    }
    return status;
}

NTSTATUS V3DirectChannelFeatureUnit::SetOnOff(ULONG selector, ULONG channel, UCHAR value)
{
    if (channel != 0 || m_pDescriptor == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    __atomic_store_n(&m_LastMute, value, __ATOMIC_RELAXED);
    UCHAR byte = static_cast<UCHAR>(value | MuteOverride());
    return Request(selector, USB_AUDIO_SET_CUR, 0, FALSE, &byte, 1);
}

NTSTATUS V3DirectChannelFeatureUnit::SetMuteOverride(UCHAR override)
{
    __atomic_store_n(&m_MuteOverride, override, __ATOMIC_RELAXED);
    return SetOnOff(UAC1_FU_MUTE, 0, LastMute());
}
