// The device table and the chip table.
#include "usb/DeviceQuirks.h"

namespace {

struct ChipRow {
    // ASCII text compared with UTF-16LE characters whose high byte is zero.
    const char* Text;
    ULONG Length;
    ChipKind Kind;
};

// V3's string starts with two control characters rather than a name.
constexpr ChipRow CHIP_TABLE[] = {
    {"\x0B\x05P", 3, ChipKind::V3},   {"7301", 4, ChipKind::V4},     {"7303", 4, ChipKind::V5},
    // The effects variant carries the next chip number of the same family.
    {"7304", 4, ChipKind::V6},        {"7305", 4, ChipKind::ProbeA}, {"QVR260", 6, ChipKind::ProbeB},
};

constexpr USHORT ANY_PRODUCT_FIRST = 0x0000;
constexpr USHORT ANY_PRODUCT_LAST = 0xFFFF;

struct DeviceRow {
    USHORT Vendor;
    USHORT ProductFirst;
    USHORT ProductLast;
    ULONG Flags;
    ULONG CapabilityMask;
    ULONG CapabilityValue;
    ULONG CapabilityFlags;
    ULONG AsioSampleType;
};

constexpr ULONG PROBE_A_DEVICE_FLAGS = 0x41;

constexpr DeviceRow DEVICE_TABLE[] = {
    // Vendor 0x0F3B: a shared vendor id, named only on the products listed.
    {0x0F3B, ANY_PRODUCT_FIRST, ANY_PRODUCT_LAST, DEVICE_QUIRK_MANUFACTURER_BY_PRODUCT, 0, 0, 0, 0},
    {0x0F3B, 0x0067, 0x0068, DEVICE_QUIRK_NAMES_MANUFACTURER, 0, 0, 0, 0},
    {0x0F3B, 0x0161, 0x0161, DEVICE_QUIRK_NAMES_MANUFACTURER, 0, 0, 0, 0},
    {0x0F3B, 0x0058, 0x0058, DEVICE_QUIRK_CAPTURE_MIC_BIT, 0, 0, 0, 0},
    {0x0F3B, 0x0065, 0x0065, DEVICE_QUIRK_PROBE_A_CAPABILITIES, 0x3E00A0, 0, PROBE_A_DEVICE_FLAGS, 0},
    {0x09DA, 0x2701, 0x2703, DEVICE_QUIRK_PROBE_A_CAPABILITIES, 0x3E00A5, 0, PROBE_A_DEVICE_FLAGS, 0},
    {0x251F, 0x3001, 0x3001, DEVICE_QUIRK_PROBE_A_CAPABILITIES, 0x3E00A4, 0, 0x40, 0},
    // Every device of vendor 0x1B1C may carry the mistyped headphone terminal.
    {0x1B1C, ANY_PRODUCT_FIRST, ANY_PRODUCT_LAST, DEVICE_QUIRK_SPEAKER_IS_HEADPHONES, 0, 0, 0, 0},
    {0x1B1C, 0x0A04, 0x0A04, DEVICE_QUIRK_TWO_OUTPUT_TERMINALS | DEVICE_QUIRK_STRINGLESS_CAPABILITIES, 0x24, 0, 0, 0},
    {0x047F, 0xD957, 0xD957, DEVICE_QUIRK_STRINGLESS_CAPABILITIES, 0x3C0264, 12, 0, 0},
    {0x0B05, 0x17B1, 0x17B1, DEVICE_QUIRK_FIXED_CAPABILITIES, 0, 0, 0, 0},
    {0x0B05, 0x180F, 0x180F, DEVICE_QUIRK_PLAIN_CAPTURE, 0, 0, 0, 0},
    {0x0B05, 0x17F3, 0x17F3, DEVICE_QUIRK_ASIO_SAMPLE_TYPE, 0, 0, 0, 17},
    {0x0B05, 0x17A8, 0x17A8, DEVICE_QUIRK_ASIO_SAMPLE_TYPE, 0, 0, 0, 27},
    {0x0B05, 0x17CD, 0x17CD, DEVICE_QUIRK_ASIO_SAMPLE_TYPE, 0, 0, 0, 27},
    {0x1043, 0x8592, 0x8593, DEVICE_QUIRK_ASIO_SAMPLE_TYPE, 0, 0, 0, 27},
};

bool StringStartsWith(const UCHAR* pBytes, ULONG ulReceived, const ChipRow& row)
{
    const ULONG ulLength = pBytes[0] < ulReceived ? pBytes[0] : ulReceived;
    if (ulLength < 2 + 2 * row.Length) {
        return false;
    }
    for (ULONG i = 0; i < row.Length; ++i) {
        if (pBytes[2 + 2 * i] != static_cast<UCHAR>(row.Text[i]) || pBytes[3 + 2 * i] != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

ChipKind ChipKindOfString(const UCHAR* pBytes, ULONG ulReceived)
{
    if (pBytes == nullptr || ulReceived < 2) {
        return ChipKind::Unknown;
    }
    for (const ChipRow& row : CHIP_TABLE) {
        if (StringStartsWith(pBytes, ulReceived, row)) {
            return row.Kind;
        }
    }
    return ChipKind::Unknown;
}

DeviceQuirks LookupDeviceQuirks(USHORT idVendor, USHORT idProduct)
{
    DeviceQuirks quirks{};
    for (const DeviceRow& row : DEVICE_TABLE) {
        if (row.Vendor != idVendor || idProduct < row.ProductFirst || idProduct > row.ProductLast) {
            continue;
        }
        quirks.Flags |= row.Flags;
        if ((row.Flags & (DEVICE_QUIRK_STRINGLESS_CAPABILITIES | DEVICE_QUIRK_PROBE_A_CAPABILITIES)) != 0) {
            quirks.CapabilityMask = row.CapabilityMask;
            quirks.CapabilityValue = row.CapabilityValue;
            quirks.CapabilityFlags = row.CapabilityFlags;
        }
        if ((row.Flags & DEVICE_QUIRK_ASIO_SAMPLE_TYPE) != 0) {
            quirks.AsioSampleType = row.AsioSampleType;
        }
    }
    return quirks;
}
