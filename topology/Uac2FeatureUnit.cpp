#include "topology/Uac2FeatureUnit.h"

#include <cstring>
#include <type_traits>

#include "platform/nt/Pool.h"
#include "topology/Uac1UnitRequest.h"
#include "topology/Uac2UnitRequest.h"
#include "topology/UsbLevelEntities.h"
#include "topology/UsbOnOffEntities.h"

namespace {

constexpr ULONG READABLE = 1;
constexpr ULONG WRITABLE = 2;
constexpr ULONG EITHER = READABLE | WRITABLE;

bool IsVendorSelector(ULONG selector) { return (selector & 0x80) != 0; }

bool IsToneSelector(ULONG selector)
{
    return selector == UAC2_FU_BASS || selector == UAC2_FU_MID || selector == UAC2_FU_TREBLE;
}

ULONG Le32(const UCHAR* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<ULONG>(p[3]) << 24); }

// A wire value of the selector's width, as 1/65536 dB.
LONG FromWire(ULONG selector, const UCHAR* wire)
{
    if (IsToneSelector(selector)) {
        return static_cast<LONG>(static_cast<signed char>(wire[0])) * (1 << 14);
    }
    return static_cast<LONG>(static_cast<SHORT>(wire[0] | (wire[1] << 8))) * (1 << 8);
}

// The entity type a status interrupt's selector names; -1 for selectors without one.
LONG StatusEntityType(ULONG selector)
{
    switch (selector) {
    case UAC2_FU_MUTE: return ENTITY_MUTE;
    case UAC2_FU_VOLUME: return ENTITY_VOLUME;
    case UAC2_FU_BASS: return ENTITY_BASS;
    case UAC2_FU_MID: return ENTITY_MID;
    case UAC2_FU_TREBLE: return ENTITY_TREBLE;
    case UAC2_FU_AGC: return ENTITY_AGC;
    case UAC2_FU_LOUDNESS: return ENTITY_LOUDNESS;
    case UAC2_FU_VENDOR_VOLUME: return ENTITY_VOLUME;
    default: return -1;
    }
}

}  // namespace

Uac2FeatureUnit::Uac2FeatureUnit(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId)
    : UsbAudioUnit(pOuterUnknown, ulProvisionalId),
      m_pVendorBlock(nullptr),
      m_ulVolumeEntityId(0),
      m_ulVendorVolumeEntityId(0),
      m_bHasVolumeEntity(false),
      m_bHasVendorVolumeEntity(false)
{
}

Uac2FeatureUnit::~Uac2FeatureUnit()
{
    if (m_pVendorBlock != nullptr) {
        ExFreePoolWithTag(m_pVendorBlock, UAC2_UNIT_TAG);
        m_pVendorBlock = nullptr;
    }
}

NTSTATUS Uac2FeatureUnit::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    const UnitInterface interfaces[] = {{&IID_IOnOffControl, static_cast<IOnOffControl*>(this)},
                                        {&IID_IValueControl, static_cast<IValueControl*>(this)}};
    return QueryUnitInterfaces(iid, ppvObject, interfaces, 2);
}

NTSTATUS Uac2FeatureUnit::InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal)
{
    // A descriptor without its master entry is refused first.
    return InitFromDescriptorOfLength(pDescriptor, pOwner, pHal, USB_AUDIO_AC_FEATURE_UNIT,
                                      UAC2_FEATURE_UNIT_MIN_LENGTH, [this](IAudioHal* hal) {
                                          ReadVendorControlBlock();
                                          return Init(hal);
                                      });
}

void Uac2FeatureUnit::ReadVendorControlBlock()
{
    auto* pBlock =
        static_cast<Uac2VendorControlBlock*>(ReadVendorBlock(Uac2MemRead, UAC2_VENDOR_BLOCK_MIN_LENGTH, UAC2_UNIT_TAG));
    if (pBlock != nullptr) {
        if (m_pVendorBlock != nullptr) {
            ExFreePoolWithTag(m_pVendorBlock, UAC2_UNIT_TAG);
        }
        m_pVendorBlock = pBlock;
    }
}

bool Uac2FeatureUnit::IsFeatureDescriptor() const
{
    return m_pDescriptor != nullptr && m_pDescriptor[0] >= UAC2_FEATURE_UNIT_MIN_LENGTH &&
           m_pDescriptor[1] == USB_AUDIO_CS_INTERFACE && m_pDescriptor[2] == USB_AUDIO_AC_FEATURE_UNIT;
}

ULONG Uac2FeatureUnit::EntryCount(bool vendor) const
{
    if (vendor) {
        return m_pVendorBlock == nullptr ? 0 : (m_pVendorBlock->Length - sizeof(Uac2VendorControlBlock)) / 4;
    }
    return IsFeatureDescriptor() ? (m_pDescriptor[0] - 6) / 4 : 0;
}

bool Uac2FeatureUnit::EntryHas(ULONG selector, ULONG index, ULONG bits) const
{
    // A selector whose pair lies outside the 32-bit entry names no control.
    const ULONG s = selector & 0x7F;
    if (selector > 0xFF || s == 0 || s > 16) {
        return false;
    }
    const bool vendor = IsVendorSelector(selector);
    if (index >= EntryCount(vendor)) {
        return false;
    }
    const UCHAR* entry = vendor ? reinterpret_cast<const UCHAR*>(m_pVendorBlock) + sizeof(Uac2VendorControlBlock) + 4 * index
                                : m_pDescriptor + 5 + 4 * index;
    return ((Le32(entry) >> (2 * (s - 1))) & bits) != 0;
}

BOOLEAN Uac2FeatureUnit::IsControlPresent(ULONG selector) const
{
    const ULONG count = EntryCount(IsVendorSelector(selector));
    for (ULONG i = 0; i < count; ++i) {
        if (EntryHas(selector, i, EITHER)) {
            return TRUE;
        }
    }
    return FALSE;
}

NTSTATUS Uac2FeatureUnit::ChannelCount(ULONG selector, PULONG count)
{
    if (count == nullptr || !IsFeatureDescriptor()) {
        return STATUS_INVALID_PARAMETER;
    }
    const bool vendor = IsVendorSelector(selector);
    if (vendor && m_pVendorBlock == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG entries = EntryCount(vendor);
    ULONG n = 0;
    for (ULONG ch = 1; ch < entries; ++ch) {
        if (EntryHas(selector, ch, EITHER)) {
            ++n;
        }
    }
    if (n == 0 && EntryHas(selector, 0, EITHER)) {
        n = 1;
    }
    *count = n;
    return n != 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS Uac2FeatureUnit::AddressChannel(ULONG selector, ULONG index, bool write, PULONG pulChannel)
{
    ULONG c = 0;
    NTSTATUS status = ChannelCount(selector, &c);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (index >= c) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG ch = c > 1 ? index + 1 : index;
    const ULONG bit = write ? WRITABLE : READABLE;
    if (!EntryHas(selector, ch, bit)) {
        // One class channel that is not the master: channel 1.
        if (IsVendorSelector(selector) || c != 1 || !EntryHas(selector, ch + 1, bit)) {
            return STATUS_INVALID_PARAMETER;
        }
        ++ch;
    }
    *pulChannel = ch;
    return STATUS_SUCCESS;
}

NTSTATUS Uac2FeatureUnit::GetOnOff(ULONG selector, ULONG index, PUCHAR value)
{
    ULONG ch = 0;
    NTSTATUS status = AddressChannel(selector, index, false, &ch);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (value == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR byte = 0;
    status = Uac2Cur(m_pOwner, m_pDescriptor[3], Uac2ControlValue(selector, ch), TRUE, &byte, 1);
    if (NT_SUCCESS(status)) {
        *value = byte;
    }
    return status;
}

NTSTATUS Uac2FeatureUnit::SetOnOff(ULONG selector, ULONG index, UCHAR value)
{
    ULONG ch = 0;
    NTSTATUS status = AddressChannel(selector, index, true, &ch);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return Uac2Cur(m_pOwner, m_pDescriptor[3], Uac2ControlValue(selector, ch), FALSE, &value, 1);
}

NTSTATUS Uac2FeatureUnit::GetValue(ULONG selector, ULONG index, PLONG value)
{
    ULONG ch = 0;
    NTSTATUS status = AddressChannel(selector, index, false, &ch);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (value == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR wire[2] = {};
    status = Uac2Cur(m_pOwner, m_pDescriptor[3], Uac2ControlValue(selector, ch), TRUE, wire,
                     IsToneSelector(selector) ? 1 : 2);
    if (NT_SUCCESS(status)) {
        *value = FromWire(selector, wire);
    }
    return status;
}

NTSTATUS Uac2FeatureUnit::SetValue(ULONG selector, ULONG index, LONG value)
{
    ULONG ch = 0;
    NTSTATUS status = AddressChannel(selector, index, true, &ch);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const USHORT wValue = Uac2ControlValue(selector, ch);
    UCHAR wire[2] = {};
    if (IsToneSelector(selector)) {
        wire[0] = static_cast<UCHAR>(value >> 14);
        return Uac2Cur(m_pOwner, m_pDescriptor[3], wValue, FALSE, wire, 1);
    }
    // Silence has its own code on the wire.
    const auto device = value == static_cast<LONG>(0x80000000) ? static_cast<USHORT>(0x8000)
                                                                : static_cast<USHORT>(value >> 8);
    wire[0] = static_cast<UCHAR>(device);
    wire[1] = static_cast<UCHAR>(device >> 8);
    return Uac2Cur(m_pOwner, m_pDescriptor[3], wValue, FALSE, wire, 2);
}

NTSTATUS Uac2FeatureUnit::GetRange(ULONG selector, PLONG maximum, PLONG minimum, PLONG resolution)
{
    if (!IsFeatureDescriptor() || maximum == nullptr || minimum == nullptr || resolution == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG c = 0;
    NTSTATUS status = ChannelCount(selector, &c);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG ch = 0;
    for (ULONG i = 1; i <= c; ++i) {
        if (EntryHas(selector, i, EITHER)) {
            ch = i;
            break;
        }
    }
    // One subrange of one-byte (tone) or two-byte values.
    const ULONG width = IsToneSelector(selector) ? 1 : 2;
    UCHAR reply[8] = {};
    status = Uac2Range(m_pOwner, m_pDescriptor[3], Uac2ControlValue(selector, ch), reply, Uac2RangeLength(1, width));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if ((reply[0] | (reply[1] << 8)) != 1) {
        return STATUS_UNSUCCESSFUL;
    }
    *minimum = FromWire(selector, reply + 2);
    *maximum = FromWire(selector, reply + 2 + width);
    *resolution = FromWire(selector, reply + 2 + 2 * width);
    return STATUS_SUCCESS;
}

NTSTATUS Uac2FeatureUnit::Init(IAudioHal* hal)
{
    if (hal == nullptr || !IsFeatureDescriptor()) {
        return STATUS_INVALID_PARAMETER;
    }
    m_ulId = m_pDescriptor[3];
    m_lType = USB_AUDIO_AC_FEATURE_UNIT;
    const ULONG source = m_pDescriptor[4];
    NTSTATUS status = SetSources(1, &source);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG next = hal->GetEntityCount();
    PDEVICE_OBJECT device = hal->GetDeviceObject();

    // One control at a time, in table order. `allocated` tells a missing object (skipped, except
    // for mute) from a failed set-up or add.
    auto make = [&](ULONG selector, bool& allocated) -> NTSTATUS {
        allocated = false;
        auto onOff = [&]([[maybe_unused]] auto* tag, auto... args) {
            using T = std::remove_pointer_t<decltype(tag)>;
            return CreateEntity<T>(
                hal, UAC2_UNIT_TAG, &next,
                [&](T* e) {
                    allocated = true;
                    return SetupOnOffEntity(e, this, selector, device);
                },
                static_cast<T**>(nullptr), args...);
        };
        auto level = [&]([[maybe_unused]] auto* tag, ULONG* pulId, bool* pbAdded, auto... args) {
            using T = std::remove_pointer_t<decltype(tag)>;
            T* created = nullptr;
            const NTSTATUS made = CreateEntity<T>(
                hal, UAC2_UNIT_TAG, &next,
                [&](T* e) {
                    allocated = true;
                    return SetupLevelEntity(e, this, selector, device);
                },
                &created, args...);
            if (created != nullptr && pulId != nullptr) {
                *pulId = created->GetId();
                *pbAdded = true;
            }
            return made;
        };
        switch (selector) {
        case UAC2_FU_MUTE: return onOff(static_cast<UsbOnOffEntity*>(nullptr), LONG{ENTITY_MUTE});
        case UAC2_FU_VOLUME:
            return level(static_cast<UsbVolumeEntity*>(nullptr), &m_ulVolumeEntityId, &m_bHasVolumeEntity);
        case UAC2_FU_BASS:
            return level(static_cast<UsbToneEntity*>(nullptr), nullptr, nullptr, LONG{ENTITY_BASS});
        case UAC2_FU_MID: return level(static_cast<UsbToneEntity*>(nullptr), nullptr, nullptr, LONG{ENTITY_MID});
        case UAC2_FU_TREBLE:
            return level(static_cast<UsbToneEntity*>(nullptr), nullptr, nullptr, LONG{ENTITY_TREBLE});
        case UAC2_FU_AGC: return onOff(static_cast<UsbOnOffEntity*>(nullptr), LONG{ENTITY_AGC});
        case UAC2_FU_LOUDNESS: return onOff(static_cast<UsbOnOffEntity*>(nullptr), LONG{ENTITY_LOUDNESS});
        case UAC2_FU_INPUT_GAIN_PAD: return level(static_cast<UsbGainPadEntity*>(nullptr), nullptr, nullptr);
        case UAC2_FU_VENDOR_SWITCH: return onOff(static_cast<UsbVendorSwitchEntity*>(nullptr));
        default: {
            UsbGainVolumeEntity* created = nullptr;
            const NTSTATUS made = CreateEntity<UsbGainVolumeEntity>(
                hal, UAC2_UNIT_TAG, &next,
                [&](UsbGainVolumeEntity* e) {
                    allocated = true;
                    return SetupGainVolumeEntity(e, this, selector, device);
                },
                &created);
            if (created != nullptr) {
                m_ulVendorVolumeEntityId = static_cast<TopologyNode*>(created)->GetId();
                m_bHasVendorVolumeEntity = true;
            }
            return made;
        }
        }
    };

    static const ULONG table[] = {UAC2_FU_MUTE,     UAC2_FU_VOLUME,         UAC2_FU_BASS,
                                  UAC2_FU_MID,      UAC2_FU_TREBLE,         UAC2_FU_AGC,
                                  UAC2_FU_LOUDNESS, UAC2_FU_INPUT_GAIN_PAD, UAC2_FU_VENDOR_SWITCH,
                                  UAC2_FU_VENDOR_VOLUME};
    for (ULONG selector : table) {
        const bool mute = selector == UAC2_FU_MUTE;
        // The vendor volume follows the vendor switch whatever became of it; every other step
        // needs the ones before it to have succeeded.
        if (!NT_SUCCESS(status) && selector != UAC2_FU_VENDOR_VOLUME) {
            return status;
        }
        if (!IsControlPresent(selector)) {
            if (mute) {
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            continue;
        }
        bool allocated = false;
        const NTSTATUS made = make(selector, allocated);
        if (!allocated) {
            if (mute) {
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            continue;
        }
        status = made;
    }
    return status;
}

NTSTATUS Uac2FeatureUnit::HandleStatusChange(ULONG ulSelector, ULONG, PULONG pulId)
{
    if (pulId == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!IsControlPresent(ulSelector)) {
        return STATUS_UNSUCCESSFUL;
    }
    const LONG type = StatusEntityType(ulSelector);
    if (type < 0) {
        return STATUS_UNSUCCESSFUL;
    }
    // The two volume controls share a type: each refreshes the entity of its own control.
    const bool byId = ulSelector == UAC2_FU_VOLUME || ulSelector == UAC2_FU_VENDOR_VOLUME;
    const bool hasId = ulSelector == UAC2_FU_VOLUME ? m_bHasVolumeEntity : m_bHasVendorVolumeEntity;
    const ULONG id = ulSelector == UAC2_FU_VOLUME ? m_ulVolumeEntityId : m_ulVendorVolumeEntityId;
    if (byId && !hasId) {
        return STATUS_SUCCESS;
    }
    ULONG count = 0;
    GetEntityCount(&count);
    for (ULONG i = 0; i < count; ++i) {
        TopologyNode* pEntity = nullptr;
        GetEntity(i, &pEntity);
        if (pEntity == nullptr || pEntity->GetType() != type || (byId && pEntity->GetId() != id)) {
            continue;
        }
        pEntity->Refresh();
        *pulId = pEntity->GetId();
        return STATUS_SUCCESS;
    }
    return STATUS_SUCCESS;
}
