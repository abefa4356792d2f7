#include "topology/FeatureUnit.h"

#include <cstring>

#include "platform/nt/Pool.h"
#include "topology/Uac1UnitRequest.h"
#include "topology/UsbClockDspEntities.h"

namespace {

bool IsVendorSelector(ULONG selector) { return selector >= 0x80 && selector <= 0xFF; }

bool IsToneSelector(ULONG selector)
{
    return selector == UAC1_FU_BASS || selector == UAC1_FU_MID || selector == UAC1_FU_TREBLE;
}

// The bit of a selector in its bitmap, 0 when no bitmap can carry it.
ULONG ControlBit(ULONG selector, ULONG bitmapBits)
{
    const ULONG s = IsVendorSelector(selector) ? selector - 0x80 : selector;
    if (s == 0 || s > bitmapBits) {
        return 0;
    }
    return 1u << (s - 1);
}

USHORT Le16(const UCHAR* p) { return static_cast<USHORT>(p[0] | (p[1] << 8)); }

}  // namespace

const ULONG Uac1FeatureControls[UAC1_FEATURE_CLASS_CONTROLS + 2] = {
    UAC1_FU_MUTE, UAC1_FU_VOLUME,   UAC1_FU_BASS,      UAC1_FU_MID,       UAC1_FU_TREBLE,
    UAC1_FU_AGC,  UAC1_FU_LOUDNESS, UAC1_FU_VENDOR_8B, UAC1_FU_VENDOR_8C,
};

bool IsUac1FeatureDescriptor(const UCHAR* pDescriptor)
{
    return pDescriptor != nullptr && pDescriptor[0] >= UAC1_FEATURE_UNIT_MIN_LENGTH &&
           pDescriptor[1] == USB_AUDIO_CS_INTERFACE && pDescriptor[2] == USB_AUDIO_AC_FEATURE_UNIT;
}

ULONG Uac1FeatureBitmapCount(const UCHAR* pDescriptor)
{
    if (!IsUac1FeatureDescriptor(pDescriptor)) {
        return 0;
    }
    const ULONG n = pDescriptor[5];
    // iFeature follows the bitmaps and is never read as one.
    return n == 0 ? 0 : (pDescriptor[0] - UAC1_FEATURE_UNIT_MIN_LENGTH) / n;
}

bool Uac1FeatureBitmapHas(const UCHAR* pDescriptor, ULONG selector, ULONG index)
{
    if (selector == 0 || selector > 16 || index >= Uac1FeatureBitmapCount(pDescriptor)) {
        return false;
    }
    const ULONG n = pDescriptor[5];
    if (n == 1) {
        return (pDescriptor[6 + index] & ControlBit(selector, 8)) != 0;
    }
    // Wider bitmaps: the low 16 bits of each, one bitmap every bControlSize bytes.
    return (Le16(pDescriptor + 6 + n * index) & ControlBit(selector, 16)) != 0;
}

ULONG ChannelRemap(ULONG ulChannel)
{
    if (ulChannel == 5 || ulChannel == 6) {
        return ulChannel + 2;
    }
    if (ulChannel == 7 || ulChannel == 8) {
        return ulChannel - 2;
    }
    return ulChannel;
}

FeatureUnit::FeatureUnit(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId)
    : UsbAudioUnit(pOuterUnknown, ulProvisionalId), m_pVendorBlock(nullptr)
{
}

FeatureUnit::~FeatureUnit()
{
    if (m_pVendorBlock != nullptr) {
        ExFreePoolWithTag(m_pVendorBlock, UAC1_UNIT_TAG);
        m_pVendorBlock = nullptr;
    }
}

NTSTATUS FeatureUnit::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    const UnitInterface interfaces[] = {{&IID_IOnOffControl, static_cast<IOnOffControl*>(this)},
                                        {&IID_IValueControl, static_cast<IValueControl*>(this)}};
    return QueryUnitInterfaces(iid, ppvObject, interfaces, 2);
}

NTSTATUS FeatureUnit::InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal)
{
    return InitFromDescriptorOfLength(pDescriptor, pOwner, pHal, USB_AUDIO_AC_FEATURE_UNIT, UAC1_FEATURE_UNIT_MIN_LENGTH,
                                      [this](IAudioHal* hal) {
                                          ReadVendorControlBlock();
                                          return Init(hal);
                                      });
}

void FeatureUnit::ReadVendorControlBlock()
{
    // GET_MEM of the class: the bitmaps need at least the block's 19-byte header.
    auto* pBlock = static_cast<VendorControlBlock*>(ReadVendorBlock(
        [](IAudioHal* pOwner, UCHAR bUnitId, USHORT wOffset, PVOID pBuffer, ULONG cbBuffer) {
            return UnitControlReadExact(pOwner, bUnitId, URB_FUNCTION_CLASS_INTERFACE, USB_AUDIO_GET_MEM, wOffset,
                                        pBuffer, cbBuffer);
        },
        sizeof(VendorControlBlock), UAC1_UNIT_TAG));
    if (pBlock != nullptr) {
        if (m_pVendorBlock != nullptr) {
            ExFreePoolWithTag(m_pVendorBlock, UAC1_UNIT_TAG);
        }
        m_pVendorBlock = pBlock;
    }
}

bool FeatureUnit::IsFeatureDescriptor() const { return IsUac1FeatureDescriptor(m_pDescriptor); }

ULONG FeatureUnit::BitmapCount(bool vendor) const
{
    if (vendor) {
        if (m_pVendorBlock == nullptr || m_pVendorBlock->ControlSize != 2) {
            return 0;
        }
        return (m_pVendorBlock->Length - sizeof(VendorControlBlock)) / 2;
    }
    return Uac1FeatureBitmapCount(m_pDescriptor);
}

bool FeatureUnit::BitmapHas(ULONG selector, ULONG index) const
{
    const bool vendor = IsVendorSelector(selector);
    if (index >= BitmapCount(vendor)) {
        return false;
    }
    if (vendor) {
        const auto* p = reinterpret_cast<const UCHAR*>(m_pVendorBlock) + sizeof(VendorControlBlock) + 2 * index;
        return (Le16(p) & ControlBit(selector, 16)) != 0;
    }
    return Uac1FeatureBitmapHas(m_pDescriptor, selector, index);
}

BOOLEAN FeatureUnit::IsControlPresent(ULONG selector)
{
    const ULONG count = BitmapCount(IsVendorSelector(selector));
    for (ULONG i = 0; i < count; ++i) {
        if (BitmapHas(selector, i)) {
            return TRUE;
        }
    }
    return FALSE;
}

NTSTATUS FeatureUnit::ChannelCount(ULONG selector, PULONG count)
{
    if (count == nullptr || !IsFeatureDescriptor()) {
        return STATUS_INVALID_PARAMETER;
    }
    const bool vendor = IsVendorSelector(selector);
    if (vendor && m_pVendorBlock == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG bitmaps = BitmapCount(vendor);
    ULONG n = 0;
    for (ULONG i = 1; i < bitmaps; ++i) {
        if (BitmapHas(selector, i)) {
            ++n;
        }
    }
    if (n == 0 && BitmapHas(selector, 0)) {
        n = 1;
    }
    *count = n;
    return n != 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS FeatureUnit::DeviceChannel(ULONG selector, ULONG channel, PULONG pulDevice)
{
    ULONG n = 0;
    NTSTATUS status = ChannelCount(selector, &n);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (channel >= n) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG d = n > 1 ? channel + 1 : 0;
    if (!BitmapHas(selector, d)) {
        // A control of one logical channel only: that channel, when it is the first.
        if (n != 1 || !BitmapHas(selector, d + 1)) {
            return STATUS_INVALID_PARAMETER;
        }
        ++d;
    }
    *pulDevice = ChannelRemap(d);
    return STATUS_SUCCESS;
}

NTSTATUS FeatureUnit::Request(ULONG selector, UCHAR request, ULONG deviceChannel, BOOLEAN read, PVOID buffer,
                              ULONG length)
{
    const USHORT function = IsVendorSelector(selector) ? URB_FUNCTION_VENDOR_INTERFACE : URB_FUNCTION_CLASS_INTERFACE;
    const auto value = static_cast<USHORT>(((selector & 0xFF) << 8) | (deviceChannel & 0xFF));
    const UCHAR id = m_pDescriptor[3];
    if (read) {
        return UnitControlReadExact(m_pOwner, id, function, request, value, buffer, length);
    }
    return UnitControlTransfer(m_pOwner, id, function, request, value, FALSE, buffer, length, nullptr);
}

NTSTATUS FeatureUnit::GetOnOff(ULONG selector, ULONG channel, PUCHAR value)
{
    ULONG d = 0;
    NTSTATUS status = DeviceChannel(selector, channel, &d);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (value == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR byte = 0;
    status = Request(selector, USB_AUDIO_GET_CUR, d, TRUE, &byte, 1);
    if (NT_SUCCESS(status)) {
        *value = byte;
    }
    return status;
}

NTSTATUS FeatureUnit::SetOnOff(ULONG selector, ULONG channel, UCHAR value)
{
    ULONG d = 0;
    NTSTATUS status = DeviceChannel(selector, channel, &d);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return Request(selector, USB_AUDIO_SET_CUR, d, FALSE, &value, 1);
}

namespace {

// A wire value of the selector's size, as 1/65536 dB.
LONG FromWire(ULONG selector, const UCHAR* wire)
{
    if (IsToneSelector(selector)) {
        return static_cast<LONG>(static_cast<signed char>(wire[0])) * (1 << 14);
    }
    return static_cast<LONG>(static_cast<SHORT>(Le16(wire))) * (1 << 8);
}

}  // namespace

NTSTATUS FeatureUnit::GetValue(ULONG selector, ULONG channel, PLONG value)
{
    ULONG d = 0;
    NTSTATUS status = DeviceChannel(selector, channel, &d);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (value == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR wire[2] = {};
    status = Request(selector, USB_AUDIO_GET_CUR, d, TRUE, wire, IsToneSelector(selector) ? 1 : 2);
    if (NT_SUCCESS(status)) {
        *value = FromWire(selector, wire);
    }
    return status;
}

NTSTATUS FeatureUnit::SetValue(ULONG selector, ULONG channel, LONG value)
{
    ULONG d = 0;
    NTSTATUS status = DeviceChannel(selector, channel, &d);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UCHAR wire[2] = {};
    if (IsToneSelector(selector)) {
        wire[0] = static_cast<UCHAR>(value >> 14);
        return Request(selector, USB_AUDIO_SET_CUR, d, FALSE, wire, 1);
    }
    // Silence has its own code on the wire.
    const auto device = value == static_cast<LONG>(0x80000000) ? static_cast<USHORT>(0x8000)
                                                                : static_cast<USHORT>(value >> 8);
    wire[0] = static_cast<UCHAR>(device);
    wire[1] = static_cast<UCHAR>(device >> 8);
    return Request(selector, USB_AUDIO_SET_CUR, d, FALSE, wire, 2);
}

NTSTATUS FeatureUnit::GetRange(ULONG selector, PLONG maximum, PLONG minimum, PLONG resolution)
{
    if (!IsFeatureDescriptor() || maximum == nullptr || minimum == nullptr || resolution == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG n = 0;
    NTSTATUS status = ChannelCount(selector, &n);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG d = 0;
    for (ULONG c = 1; c <= n; ++c) {
        if (BitmapHas(selector, c)) {
            d = c;
            break;
        }
    }
    status = QueryOwnerUsbDevice(m_pOwner);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const ULONG length = IsToneSelector(selector) ? 1 : 2;
    UCHAR wire[3][2] = {};
    const UCHAR requests[3] = {USB_AUDIO_GET_MAX, USB_AUDIO_GET_MIN, USB_AUDIO_GET_RES};
    for (int i = 0; i < 3; ++i) {
        status = Request(selector, requests[i], d, TRUE, wire[i], length);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    *maximum = FromWire(selector, wire[0]);
    *minimum = FromWire(selector, wire[1]);
    *resolution = FromWire(selector, wire[2]);
    return STATUS_SUCCESS;
}

NTSTATUS FeatureUnit::Init(IAudioHal* hal)
{
    if (hal == nullptr || !IsFeatureDescriptor()) {
        return STATUS_INVALID_PARAMETER;
    }
    PDEVICE_OBJECT device = hal->GetDeviceObject();
    // `allocated` tells a missing object (skipped, except for mute) from a failed set-up or add
    // (which ends Init).
    return InitFeatureControls(
        hal, USB_AUDIO_AC_FEATURE_UNIT, Uac1FeatureControls, UAC1_FEATURE_CLASS_CONTROLS + 2,
        [this](ULONG selector) { return IsControlPresent(selector) != FALSE; },
        [&](ULONG selector, PULONG pulNextId, bool& allocated) -> NTSTATUS {
            if (selector == UAC1_FU_VENDOR_8B || selector == UAC1_FU_VENDOR_8C) {
                return CreateVendorEntity(hal, selector, device, pulNextId, allocated);
            }
            return CreateFeatureControlEntity(hal, EntityTag(), selector, device, pulNextId, allocated);
        });
}

NTSTATUS FeatureUnit::CreateVendorEntity(IAudioHal* hal, ULONG selector, PDEVICE_OBJECT device, PULONG pulNextId,
                                         bool& allocated)
{
    allocated = false;
    return CreateEntity<UsbDspEntity>(
        hal, EntityTag(), pulNextId,
        [&](UsbDspEntity* e) {
            allocated = true;
            return SetupDspEntity(e, this, selector, device);
        },
        static_cast<UsbDspEntity**>(nullptr));
}
