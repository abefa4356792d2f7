#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "usb/DeviceQuirks.h"

namespace {

// A string descriptor with `text` as UTF-16LE; bLength may claim other than its size.
std::vector<UCHAR> StringDescriptor(const std::u16string& text, int claimedLength = -1)
{
    std::vector<UCHAR> bytes{0, 3};
    for (char16_t c : text) {
        bytes.push_back(static_cast<UCHAR>(c & 0xFF));
        bytes.push_back(static_cast<UCHAR>(c >> 8));
    }
    bytes[0] = static_cast<UCHAR>(claimedLength >= 0 ? claimedLength : static_cast<int>(bytes.size()));
    return bytes;
}

TEST(DeviceQuirksTest, ChipStringsNameTheirChipWithinTheBytesTheyHold)
{
    struct Case {
        const char* Name;
        std::u16string Text;
        int ClaimedLength;
        int Received;  // -1: the whole descriptor
        ChipKind Kind;
    } cases[] = {
        {"V3 control characters", u"\x000B\x0005P rest", -1, -1, ChipKind::V3},
        {"V4 with a suffix", u"7301 rev B", -1, -1, ChipKind::V4},
        {"V5", u"7303", -1, -1, ChipKind::V5},
        {"V6", u"7304", -1, -1, ChipKind::V6},
        {"probe A", u"7305", -1, -1, ChipKind::ProbeA},
        {"probe B", u"QVR2605", -1, -1, ChipKind::ProbeB},
        {"other number", u"7302", -1, -1, ChipKind::Unknown},
        {"a character with a high byte", u"73\x0130" u"1", -1, -1, ChipKind::Unknown},
        {"bLength cuts the text", u"7301", 9, -1, ChipKind::Unknown},
        {"fewer bytes arrived than bLength says", u"7301", -1, 9, ChipKind::Unknown},
        {"header only", u"", -1, -1, ChipKind::Unknown},
        {"one byte", u"7301", -1, 1, ChipKind::Unknown},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::vector<UCHAR> bytes = StringDescriptor(c.Text, c.ClaimedLength);
        const ULONG received = c.Received >= 0 ? static_cast<ULONG>(c.Received) : static_cast<ULONG>(bytes.size());
        EXPECT_EQ(ChipKindOfString(bytes.data(), received), c.Kind);
    }
    EXPECT_EQ(ChipKindOfString(nullptr, 10), ChipKind::Unknown);
}

TEST(DeviceQuirksTest, RowsMatchTheirProductRangeAndVendorRowsAddToProductRows)
{
    struct Case {
        USHORT Vendor, Product;
        ULONG Flags;
        ULONG Mask, Value, CapabilityFlags, SampleType;
    } cases[] = {
        {0x1234, 0x5678, 0, 0, 0, 0, 0},
        // The shared vendor: every product is named by product, a few name their manufacturer.
        {0x0F3B, 0x0066, DEVICE_QUIRK_MANUFACTURER_BY_PRODUCT, 0, 0, 0, 0},
        {0x0F3B, 0x0068, DEVICE_QUIRK_MANUFACTURER_BY_PRODUCT | DEVICE_QUIRK_NAMES_MANUFACTURER, 0, 0, 0, 0},
        {0x0F3B, 0x0161, DEVICE_QUIRK_MANUFACTURER_BY_PRODUCT | DEVICE_QUIRK_NAMES_MANUFACTURER, 0, 0, 0, 0},
        {0x0F3B, 0x0065, DEVICE_QUIRK_MANUFACTURER_BY_PRODUCT | DEVICE_QUIRK_PROBE_A_CAPABILITIES, 0x3E00A0, 0, 0x41, 0},
        // A product range and its edges.
        {0x09DA, 0x2700, 0, 0, 0, 0, 0},
        {0x09DA, 0x2701, DEVICE_QUIRK_PROBE_A_CAPABILITIES, 0x3E00A5, 0, 0x41, 0},
        {0x09DA, 0x2703, DEVICE_QUIRK_PROBE_A_CAPABILITIES, 0x3E00A5, 0, 0x41, 0},
        {0x09DA, 0x2704, 0, 0, 0, 0, 0},
        {0x1B1C, 0x0001, DEVICE_QUIRK_SPEAKER_IS_HEADPHONES, 0, 0, 0, 0},
        {0x1B1C, 0x0A04,
         DEVICE_QUIRK_SPEAKER_IS_HEADPHONES | DEVICE_QUIRK_TWO_OUTPUT_TERMINALS | DEVICE_QUIRK_STRINGLESS_CAPABILITIES,
         0x24, 0, 0, 0},
        {0x047F, 0xD957, DEVICE_QUIRK_STRINGLESS_CAPABILITIES, 0x3C0264, 12, 0, 0},
        {0x0B05, 0x17F3, DEVICE_QUIRK_ASIO_SAMPLE_TYPE, 0, 0, 0, 17},
        {0x1043, 0x8592, DEVICE_QUIRK_ASIO_SAMPLE_TYPE, 0, 0, 0, 27},
        // Same product id, other vendor.
        {0x0B06, 0x17B1, 0, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.Vendor << ":" << c.Product);
        const DeviceQuirks quirks = LookupDeviceQuirks(c.Vendor, c.Product);
        EXPECT_EQ(quirks.Flags, c.Flags);
        EXPECT_EQ(quirks.CapabilityMask, c.Mask);
        EXPECT_EQ(quirks.CapabilityValue, c.Value);
        EXPECT_EQ(quirks.CapabilityFlags, c.CapabilityFlags);
        EXPECT_EQ(quirks.AsioSampleType, c.SampleType);
    }
}

}  // namespace
