#include "topology/FixedRangeFeatureUnits.h"

#include "topology/FeatureUnit.h"
#include "topology/Uac1UnitRequest.h"

namespace {

constexpr LONG SILENT_LEVEL = static_cast<LONG>(0x80000000);
constexpr SHORT SILENT_DEVICE = -32768;
// 1.5 dB in 1/65536 dB.
constexpr LONGLONG STEP_1_5_DB = 0x18000;

bool IsToneSelector(ULONG selector)
{
    return selector == UAC1_FU_BASS || selector == UAC1_FU_MID || selector == UAC1_FU_TREBLE;
}

USHORT Le16(const UCHAR* p) { return static_cast<USHORT>(p[0] | (p[1] << 8)); }

// A device value out of a wider computation, kept inside what 16 bits can say.
SHORT ClampToDevice(LONGLONG value)
{
    if (value > 32767) {
        return 32767;
    }
    if (value < -32767) {
        return -32767;
    }
    return static_cast<SHORT>(value);
}

LONG ClampToRange(LONGLONG level, LONG minimum, LONG maximum)
{
    if (level < minimum) {
        return minimum;
    }
    if (level > maximum) {
        return maximum;
    }
    return static_cast<LONG>(level);
}

// Division rounding toward minus infinity.
LONGLONG FloorDiv(LONGLONG a, LONGLONG b)
{
    LONGLONG q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) {
        --q;
    }
    return q;
}

}  // namespace

const V4VolumeRemapRow V4VolumeRemapTable[V4_VOLUME_REMAP_ROWS] = {
    {0, 0},          {-192, -256},    {-256, -512},    {-320, -768},    {-386, -1024},   {-455, -1280},
    {-527, -1536},   {-599, -1792},   {-676, -2048},   {-752, -2304},   {-835, -2560},   {-916, -2816},
    {-1006, -3072},  {-1096, -3328},  {-1193, -3584},  {-1290, -3840},  {-1395, -4096},  {-1503, -4352},
    {-1618, -4608},  {-1736, -4864},  {-1866, -5120},  {-1999, -5376},  {-2145, -5632},  {-2296, -5888},
    {-2465, -6144},  {-2637, -6400},  {-2816, -6656},  {-3046, -6912},  {-3277, -7168},  {-3533, -7424},
    {-3840, -7680},  {-4198, -7936},  {-4582, -8192},  {-5120, -8448},  {-5767, -8704},  {-6707, -8960},
    {-8294, -9216},  {-32768, -9472},
};

FixedRangeFeatureUnit::FixedRangeFeatureUnit(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId, ULONG ulEntityTag)
    : UsbAudioUnit(pOuterUnknown, ulProvisionalId), m_ulEntityTag(ulEntityTag)
{
}

NTSTATUS FixedRangeFeatureUnit::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    const UnitInterface interfaces[] = {{&IID_IOnOffControl, static_cast<IOnOffControl*>(this)},
                                        {&IID_IValueControl, static_cast<IValueControl*>(this)}};
    return QueryUnitInterfaces(iid, ppvObject, interfaces, 2);
}

NTSTATUS FixedRangeFeatureUnit::InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal)
{
    return InitFromDescriptorOfLength(pDescriptor, pOwner, pHal, USB_AUDIO_AC_FEATURE_UNIT, UAC1_FEATURE_UNIT_MIN_LENGTH,
                                      [this](IAudioHal* hal) { return Init(hal); });
}

bool FixedRangeFeatureUnit::IsFeatureDescriptor() const { return IsUac1FeatureDescriptor(m_pDescriptor); }

ULONG FixedRangeFeatureUnit::BitmapCount() const { return Uac1FeatureBitmapCount(m_pDescriptor); }

bool FixedRangeFeatureUnit::BitmapHas(ULONG selector, ULONG index) const
{
    return Uac1FeatureBitmapHas(m_pDescriptor, selector, index);
}

BOOLEAN FixedRangeFeatureUnit::IsControlPresent(ULONG selector) const
{
    const ULONG count = BitmapCount();
    for (ULONG i = 0; i < count; ++i) {
        if (BitmapHas(selector, i)) {
            return TRUE;
        }
    }
    return FALSE;
}

NTSTATUS FixedRangeFeatureUnit::OnOffChannelCount(ULONG, PULONG count)
{
    if (count == nullptr || !IsFeatureDescriptor()) {
        return STATUS_INVALID_PARAMETER;
    }
    *count = 1;
    return STATUS_SUCCESS;
}

NTSTATUS FixedRangeFeatureUnit::ValueChannelCount(ULONG selector, PULONG count)
{
    if (count == nullptr || !IsFeatureDescriptor()) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG bitmaps = BitmapCount();
    ULONG n = 0;
    for (ULONG i = 1; i < bitmaps; ++i) {
        if (BitmapHas(selector, i)) {
            ++n;
        }
    }
    if (n == 0 && BitmapHas(selector, 0)) {
        n = 1;
    }
    if (n == 0) {
        return STATUS_UNSUCCESSFUL;
    }
    *count = n;
    return STATUS_SUCCESS;
}

NTSTATUS FixedRangeFeatureUnit::WireChannel(ULONG selector, ULONG channel, PULONG pulWire)
{
    ULONG n = 0;
    NTSTATUS status = ValueChannelCount(selector, &n);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (channel >= n) {
        return STATUS_INVALID_PARAMETER;
    }
    // The channel goes on the wire as it is: no exchange of channel pairs, no second try.
    const ULONG wire = n > 1 ? channel + 1 : 0;
    if (!BitmapHas(selector, wire)) {
        return STATUS_INVALID_PARAMETER;
    }
    *pulWire = wire;
    return STATUS_SUCCESS;
}

NTSTATUS FixedRangeFeatureUnit::Request(ULONG selector, UCHAR request, ULONG wireChannel, BOOLEAN read, PVOID buffer,
                                        ULONG length)
{
    const auto value = static_cast<USHORT>(((selector & 0xFF) << 8) | (wireChannel & 0xFF));
    const UCHAR id = m_pDescriptor[3];
    if (read) {
        return UnitControlReadExact(m_pOwner, id, URB_FUNCTION_CLASS_INTERFACE, request, value, buffer, length);
    }
    return UnitControlTransfer(m_pOwner, id, URB_FUNCTION_CLASS_INTERFACE, request, value, FALSE, buffer, length,
                               nullptr);
}

NTSTATUS FixedRangeFeatureUnit::GetOnOff(ULONG selector, ULONG channel, PUCHAR value)
{
    if (value == nullptr || channel != 0 || !IsFeatureDescriptor()) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR byte = 0;
    const NTSTATUS status = Request(selector, USB_AUDIO_GET_CUR, 0, TRUE, &byte, 1);
    if (NT_SUCCESS(status)) {
        *value = byte;
    }
    return status;
}

NTSTATUS FixedRangeFeatureUnit::SetOnOff(ULONG selector, ULONG channel, UCHAR value)
{
    if (channel != 0 || !IsFeatureDescriptor()) {
        return STATUS_INVALID_PARAMETER;
    }
    return Request(selector, USB_AUDIO_SET_CUR, 0, FALSE, &value, 1);
}

NTSTATUS FixedRangeFeatureUnit::GetValue(ULONG selector, ULONG channel, PLONG value)
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
    if (IsToneSelector(selector) && ToneByteOnRead(selector)) {
        status = Request(selector, USB_AUDIO_GET_CUR, wire, TRUE, bytes, 1);
        if (NT_SUCCESS(status)) {
            *value = static_cast<LONG>(static_cast<signed char>(bytes[0])) * (1 << 14);
        }
        return status;
    }
    status = Request(selector, USB_AUDIO_GET_CUR, wire, TRUE, bytes, 2);
    if (NT_SUCCESS(status)) {
        const auto device = static_cast<SHORT>(Le16(bytes));
        *value = device == SILENT_DEVICE ? SILENT_LEVEL : LevelFromDevice(device);
    }
    return status;
}

NTSTATUS FixedRangeFeatureUnit::SetValue(ULONG selector, ULONG channel, LONG value)
{
    ULONG wire = 0;
    const NTSTATUS status = WireChannel(selector, channel, &wire);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UCHAR bytes[2] = {};
    if (IsToneSelector(selector) && ToneByteOnWriteAndRange(selector)) {
        bytes[0] = static_cast<UCHAR>(value >> 14);
        return Request(selector, USB_AUDIO_SET_CUR, wire, FALSE, bytes, 1);
    }
    const SHORT device = value == SILENT_LEVEL ? SILENT_DEVICE : DeviceFromLevel(value);
    bytes[0] = static_cast<UCHAR>(device);
    bytes[1] = static_cast<UCHAR>(static_cast<USHORT>(device) >> 8);
    return Request(selector, USB_AUDIO_SET_CUR, wire, FALSE, bytes, 2);
}

NTSTATUS FixedRangeFeatureUnit::GetRange(ULONG selector, PLONG maximum, PLONG minimum, PLONG resolution)
{
    if (!IsFeatureDescriptor() || maximum == nullptr || minimum == nullptr || resolution == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG n = 0;
    NTSTATUS status = ValueChannelCount(selector, &n);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG wire = 0;
    for (ULONG c = 1; c <= n; ++c) {
        if (BitmapHas(selector, c)) {
            wire = c;
            break;
        }
    }
    const bool toneBytes = IsToneSelector(selector) && ToneByteOnWriteAndRange(selector);
    const ULONG length = toneBytes ? 1 : 2;
    UCHAR bytes[3][2] = {};
    const UCHAR requests[3] = {USB_AUDIO_GET_MAX, USB_AUDIO_GET_MIN, USB_AUDIO_GET_RES};
    for (int i = 0; i < 3; ++i) {
        status = Request(selector, requests[i], wire, TRUE, bytes[i], length);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    if (toneBytes) {
        *maximum = static_cast<LONG>(static_cast<signed char>(bytes[0][0])) * (1 << 14);
        *minimum = static_cast<LONG>(static_cast<signed char>(bytes[1][0])) * (1 << 14);
        *resolution = static_cast<LONG>(static_cast<signed char>(bytes[2][0])) * (1 << 14);
        return STATUS_SUCCESS;
    }
    const Range range = FixedRange();
    *maximum = range.Maximum;
    *minimum = range.Minimum;
    *resolution = range.Step;
    return STATUS_SUCCESS;
}

NTSTATUS FixedRangeFeatureUnit::Init(IAudioHal* hal)
{
    if (hal == nullptr || !IsFeatureDescriptor()) {
        return STATUS_INVALID_PARAMETER;
    }
    PDEVICE_OBJECT device = hal->GetDeviceObject();
    // The class controls only: no vendor control block is read.
    return InitFeatureControls(
        hal, USB_AUDIO_AC_FEATURE_UNIT, Uac1FeatureControls, UAC1_FEATURE_CLASS_CONTROLS,
        [this](ULONG selector) { return IsControlPresent(selector) != FALSE; },
        [&](ULONG selector, PULONG pulNextId, bool& allocated) {
            return CreateFeatureControlEntity(hal, m_ulEntityTag, selector, device, pulNextId, allocated);
        });
}

// ---- V4 ----

bool V4FeatureUnit::ToneByteOnRead(ULONG selector) const { return IsToneSelector(selector); }
bool V4FeatureUnit::ToneByteOnWriteAndRange(ULONG selector) const { return IsToneSelector(selector); }

LONG V4FeatureUnit9::LevelFromDevice(SHORT device) const
{
    for (ULONG i = 1; i < V4_VOLUME_REMAP_ROWS; ++i) {
        if (device > V4VolumeRemapTable[i].Device) {
            return static_cast<LONG>(V4VolumeRemapTable[i - 1].Level) * (1 << 8);
        }
    }
    return static_cast<LONG>(device) * (1 << 8);
}

SHORT V4FeatureUnit9::DeviceFromLevel(LONG level) const
{
    const LONG coarse = level >> 8;
    for (ULONG i = 0; i < V4_VOLUME_REMAP_ROWS; ++i) {
        if (coarse >= V4VolumeRemapTable[i].Level) {
            return V4VolumeRemapTable[i].Device;
        }
    }
    return ClampToDevice(coarse);
}

FixedRangeFeatureUnit::Range V4FeatureUnit9::FixedRange() const
{
    return {0, static_cast<LONG>(0xFFDF0000), 0x00002000};
}

// A device value of d whole dB reads (d + 19) x 1.5 dB, kept inside the unit's range, so that a
// level written reads back as written.
LONG V4FeatureUnit10::LevelFromDevice(SHORT device) const
{
    const Range range = FixedRange();
    return ClampToRange((static_cast<LONGLONG>(device >> 8) + 19) * STEP_1_5_DB, range.Minimum, range.Maximum);
}

SHORT V4FeatureUnit10::DeviceFromLevel(LONG level) const
{
    return ClampToDevice(((static_cast<LONGLONG>(level) - 0x60000) / STEP_1_5_DB - 15) * 256);
}

FixedRangeFeatureUnit::Range V4FeatureUnit10::FixedRange() const
{
    return {0x00210000, static_cast<LONG>(0xFFFA0000), 0x00018000};
}

// Computed in 32 bits: from +82 dB on a 16-bit product would turn negative.
LONG V4FeatureUnit13::LevelFromDevice(SHORT device) const
{
    return static_cast<LONG>((static_cast<LONGLONG>(device >> 8) + 4) * 384 * 256);
}

SHORT V4FeatureUnit13::DeviceFromLevel(LONG level) const
{
    return ClampToDevice(((static_cast<LONGLONG>(level) + 0x240000) / STEP_1_5_DB - 28) * 256);
}

FixedRangeFeatureUnit::Range V4FeatureUnit13::FixedRange() const
{
    return {0x00168000, static_cast<LONG>(0xFFDC0000), 0x00018000};
}

// ---- V5 ----

LONG V5FeatureUnit9::LevelFromDevice(SHORT device) const
{
    return static_cast<LONG>((static_cast<LONGLONG>(device) + 16) / 192 * 65536);
}

SHORT V5FeatureUnit9::DeviceFromLevel(LONG level) const
{
    return ClampToDevice(-16 - 192 * FloorDiv(-static_cast<LONGLONG>(level), 65536));
}

FixedRangeFeatureUnit::Range V5FeatureUnit9::FixedRange() const
{
    return {0, static_cast<LONG>(0xFFDB0000), 0x00010000};
}

bool V5FeatureUnit10::ToneByteOnRead(ULONG selector) const { return IsToneSelector(selector); }

LONG V5FeatureUnit10::LevelFromDevice(SHORT device) const { return static_cast<LONG>(device) * (1 << 8); }

SHORT V5FeatureUnit10::DeviceFromLevel(LONG level) const { return ClampToDevice(level >> 8); }

FixedRangeFeatureUnit::Range V5FeatureUnit10::FixedRange() const { return {0x00168000, 0, 0x00018000}; }

LONG V5FeatureUnit13::LevelFromDevice(SHORT device) const
{
    return static_cast<LONG>((static_cast<LONGLONG>(device) - 3456) / 384 * STEP_1_5_DB);
}

// The sum is an unsigned 32-bit value: levels below the range's minimum wrap around.
SHORT V5FeatureUnit13::DeviceFromLevel(LONG level) const
{
    const ULONG sum = static_cast<ULONG>(level) + 0xD8000u;
    return static_cast<SHORT>(static_cast<USHORT>(static_cast<ULONGLONG>(sum / 0x18000u) * 384u));
}

FixedRangeFeatureUnit::Range V5FeatureUnit13::FixedRange() const
{
    return {0x00090001, static_cast<LONG>(0xFFF28000), 0x00018000};
}
