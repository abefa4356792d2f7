// What the function and the device object do differently for particular devices: one table of
// (vendor, product range) rows with named flags and the numbers that go with them, and one table
// of chip strings. Nothing else in usb/ compares a vendor or product id or a chip string.
#pragma once

#include "platform/nt/NtTypes.h"

// ---- the chip string ----

// The string descriptor that names the chip: read at this index, then at the fallback index, in
// this language, into a buffer of this many bytes.
constexpr UCHAR CHIP_STRING_INDEX = 0x50;
constexpr UCHAR CHIP_STRING_FALLBACK_INDEX = 0x32;
constexpr USHORT CHIP_STRING_LANGUAGE = 0x0409;
constexpr ULONG CHIP_STRING_BYTES = 104;
constexpr ULONG CHIP_STRING_TAG = MakePoolTag("pmet");

// The chips a chip string names. The first two are plain UAC1 chips the function probes for its
// capability block; V3 to V6 have function classes of their own.
enum class ChipKind : ULONG { Unknown = 0, ProbeA, ProbeB, V3, V4, V5, V6 };

// The chip the string descriptor names: the first row of the chip table whose text (UTF-16LE)
// stands right after the two header bytes, within bLength and the bytes received. Unknown for a
// descriptor shorter than its header or any row. Any IRQL.
ChipKind ChipKindOfString(const UCHAR* pBytes, ULONG ulReceived);

// ---- the device table ----

enum DeviceQuirkFlag : ULONG {
    // Of its vendor's devices, only those with DEVICE_QUIRK_NAMES_MANUFACTURER write the
    // manufacturer string into the device instance; the vendor's other products write none.
    DEVICE_QUIRK_MANUFACTURER_BY_PRODUCT = 0x00000001,
    DEVICE_QUIRK_NAMES_MANUFACTURER = 0x00000002,
    // Capture microphones carry an extra control bit; no value is reported.
    DEVICE_QUIRK_CAPTURE_MIC_BIT = 0x00000004,
    // UAC2 capability rows fixed by the identity (headphones and microphone only).
    DEVICE_QUIRK_FIXED_CAPABILITIES = 0x00000008,
    // UAC2 capture endpoints that are not ASIO-capable.
    DEVICE_QUIRK_PLAIN_CAPTURE = 0x00000010,
    // Output terminal 0x10 typed speaker is really the headphones.
    DEVICE_QUIRK_SPEAKER_IS_HEADPHONES = 0x00000020,
    // The AudioControl interface must carry output terminals 0x10 and 0x40.
    DEVICE_QUIRK_TWO_OUTPUT_TERMINALS = 0x00000040,
    // Known without a chip string: the row's mask and value are the capability block.
    DEVICE_QUIRK_STRINGLESS_CAPABILITIES = 0x00000080,
    // A probe-A chip whose capability block is the row's mask and flags, not the chip's default.
    DEVICE_QUIRK_PROBE_A_CAPABILITIES = 0x00000100,
    // The ASIO sample type a device without a stored one starts with is the row's.
    DEVICE_QUIRK_ASIO_SAMPLE_TYPE = 0x00000200,
};

// The quirks of one device: the flags of every row that matches it, and the numbers of those rows.
struct DeviceQuirks {
    ULONG Flags;
    // With DEVICE_QUIRK_STRINGLESS_CAPABILITIES or DEVICE_QUIRK_PROBE_A_CAPABILITIES.
    ULONG CapabilityMask;
    ULONG CapabilityValue;
    ULONG CapabilityFlags;
    // With DEVICE_QUIRK_ASIO_SAMPLE_TYPE.
    ULONG AsioSampleType;

    // Any IRQL.
    bool Has(ULONG flag) const { return (Flags & flag) != 0; }
};

// The quirks of the device with the ids (all zero for a device no row names). Any IRQL.
DeviceQuirks LookupDeviceQuirks(USHORT idVendor, USHORT idProduct);
