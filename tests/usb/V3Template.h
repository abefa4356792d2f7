// Test-only: the V3 chip's fixed descriptor set (509 bytes) followed by its HID interface 3, the
// device descriptors around it, and the two shipped V3 profiles built from them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvxtest {

using V3Bytes = std::vector<uint8_t>;

constexpr size_t V3_TEMPLATE_BYTES = 509;

inline void V3Append(V3Bytes& out, std::initializer_list<int> bytes)
{
    for (int b : bytes) {
        out.push_back(static_cast<uint8_t>(b));
    }
}

// One render alternate setting: 2 rates (46 bytes) or one (43 bytes).
inline void V3RenderAlternate(V3Bytes& out, int alternate, int channels, bool oneRate)
{
    const int maxPacket = channels * 2 * (oneRate ? 97 : 49);
    V3Append(out, {9, 4, 1, alternate, 1, 1, 2, 0, 0});
    V3Append(out, {7, 0x24, 1, 1, 1, 1, 0});
    if (oneRate) {
        V3Append(out, {11, 0x24, 2, 1, channels, 2, 16, 1, 0x80, 0xBB, 0x00});
    } else {
        V3Append(out, {14, 0x24, 2, 1, channels, 2, 16, 2, 0x44, 0xAC, 0x00, 0x80, 0xBB, 0x00});
    }
    V3Append(out, {9, 5, 0x01, 0x09, maxPacket & 0xFF, maxPacket >> 8, 1, 0, 0});
    V3Append(out, {7, 0x25, 1, 1, 0, 0, 0});
}

// The configuration: template, then the HID interface (25 bytes); wTotalLength covers both.
inline V3Bytes V3Configuration()
{
    V3Bytes c;
    V3Append(c, {9, 2, 0x16, 0x02, 4, 1, 0, 0x80, 0x32});
    V3Append(c, {9, 4, 0, 0, 0, 1, 1, 0, 0});
    V3Append(c, {10, 0x24, 1, 0x00, 0x01, 200, 0, 2, 1, 2});
    V3Append(c, {12, 0x24, 2, 1, 0x01, 0x01, 0, 8, 0x3F, 0x06, 0, 0});      // 28: render terminal 1
    V3Append(c, {12, 0x24, 2, 5, 0x01, 0x02, 0, 2, 0x03, 0x00, 0, 0});      // 40: microphone
    V3Append(c, {10, 0x24, 6, 8, 5, 1, 0x01, 0x02, 0x02, 0});               // 52: mic record
    V3Append(c, {10, 0x24, 6, 9, 5, 1, 0x01, 0x02, 0x02, 0});               // 62: mic monitor
    V3Append(c, {25, 0x24, 4, 10, 3, 1, 9, 11, 8, 0x3F, 0x06, 0});          // 72: render mixer
    V3Append(c, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    V3Append(c, {16, 0x24, 6, 13, 10, 1, 0x01, 2, 2, 2, 2, 2, 2, 2, 2, 0});  // 97: render feature unit
    V3Append(c, {9, 0x24, 3, 3, 0x01, 0x03, 0, 13, 0});                     // 113: output terminal 3
    V3Append(c, {13, 0x24, 4, 14, 2, 9, 11, 2, 0x03, 0x00, 0, 0, 0});       // 122: stereo-mix mixer
    V3Append(c, {9, 0x24, 3, 7, 0x01, 0x01, 0, 18, 0});                     // 135: capture terminal
    V3Append(c, {10, 0x24, 5, 18, 4, 8, 15, 16, 2, 0});                     // 144: record selector
    V3Append(c, {12, 0x24, 2, 6, 0x03, 0x06, 0, 2, 0x03, 0x00, 0, 0});      // 154: line in
    V3Append(c, {10, 0x24, 6, 15, 6, 1, 0x01, 0x02, 0x02, 0});              // 166: line record
    V3Append(c, {10, 0x24, 6, 11, 6, 1, 0x01, 0x02, 0x02, 0});              // 176: line monitor
    V3Append(c, {12, 0x24, 2, 12, 0x05, 0x06, 0, 2, 0x03, 0x00, 0, 0});     // 186: S/PDIF in
    V3Append(c, {10, 0x24, 6, 2, 14, 1, 0x01, 0x02, 0x02, 0});              // 198: stereo-mix record
    V3Append(c, {10, 0x24, 6, 16, 12, 1, 0x01, 0x02, 0x02, 0});             // 208: S/PDIF record
    V3Append(c, {9, 4, 1, 0, 0, 1, 2, 0, 0});                               // 218: render alternate 0
    V3RenderAlternate(c, 1, 8, false);                                      // 227
    V3RenderAlternate(c, 2, 2, false);                                      // 273
    V3RenderAlternate(c, 3, 4, false);                                      // 319
    V3RenderAlternate(c, 4, 6, false);                                      // 365
    V3RenderAlternate(c, 5, 2, true);                                       // 411
    V3Append(c, {9, 4, 2, 0, 0, 1, 2, 0, 0});                               // 454: capture
    V3Append(c, {9, 4, 2, 1, 1, 1, 2, 0, 0});
    V3Append(c, {7, 0x24, 1, 7, 1, 1, 0});
    V3Append(c, {14, 0x24, 2, 1, 2, 2, 16, 2, 0x44, 0xAC, 0x00, 0x80, 0xBB, 0x00});
    V3Append(c, {9, 5, 0x82, 0x05, 0xC4, 0x00, 1, 0, 0});
    V3Append(c, {7, 0x25, 1, 1, 0, 0, 0});
    // 509: HID interface 3 with its interrupt IN endpoint.
    V3Append(c, {9, 4, 3, 0, 1, 3, 0, 0, 0});
    V3Append(c, {9, 0x21, 0x10, 0x01, 0, 1, 0x22, 0x20, 0});
    V3Append(c, {7, 5, 0x83, 0x03, 4, 0, 10});
    return c;
}

inline V3Bytes V3DeviceDescriptor(uint16_t vendor, uint16_t product)
{
    V3Bytes d;
    V3Append(d, {18, 1, 0x10, 0x01, 0, 0, 0, 64, vendor & 0xFF, vendor >> 8, product & 0xFF, product >> 8, 0x00, 0x01,
                 1, 2, 0, 1});
    return d;
}

inline std::string V3Hex(const V3Bytes& bytes)
{
    std::string s;
    char buf[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, "%02x", bytes[i]);
        s += (i == 0 ? "" : " ");
        s += buf;
    }
    return s;
}

// The identification setups (vendor, recipient other, IN, one byte) for wIndex 9 and 8.
constexpr const char* V3_IDENT_9_SETUP = "c3 81 00 00 09 00 01 00";
constexpr const char* V3_IDENT_8_SETUP = "c3 81 00 00 08 00 01 00";
constexpr const char* V3_JACK_POLL_SETUP = "a1 01 00 01 03 00 03 00";

inline std::string V3ProfileText(uint16_t vendor, uint16_t product, const std::string& product_name, int chipIndex,
                                 int ident9, int ident8, const std::string& inputReport)
{
    V3Bytes all = V3DeviceDescriptor(vendor, product);
    const V3Bytes c = V3Configuration();
    all.insert(all.end(), c.begin(), c.end());
    char ident[2][8];
    std::snprintf(ident[0], sizeof ident[0], "%02x", ident9);
    std::snprintf(ident[1], sizeof ident[1], "%02x", ident8);
    char chip[8];
    std::snprintf(chip, sizeof chip, "0x%02x", chipIndex);
    std::string text = "{\n  \"descriptorsHex\": \"" + V3Hex(all) + "\",\n  \"speed\": \"full\",\n  \"strings\": {\n" +
                       "    \"1\": \"Fixture Audio\",\n    \"2\": \"" + product_name + "\",\n    \"" + chip +
                       "\": \"\\u000b\\u0005P-7302\"\n  },\n  \"requests\": [\n" + "    {\n      \"setup\": \"" +
                       V3_IDENT_9_SETUP + "\",\n      \"reply\": \"" + ident[0] + "\"\n    },\n" +
                       "    {\n      \"setup\": \"" + V3_IDENT_8_SETUP + "\",\n      \"reply\": \"" + ident[1] + "\"\n    }";
    if (!inputReport.empty()) {
        text += ",\n    {\n      \"setup\": \"" + std::string(V3_JACK_POLL_SETUP) + "\",\n      \"reply\": \"" +
                inputReport + "\"\n    }";
    }
    text += "\n  ]\n}\n";
    return text;
}

inline std::string V3SoundCardProfile()
{
    return V3ProfileText(0x1209, 0x7302, "V3 Sound Card", 0x50, 0x00, 0x00, "");
}

inline std::string V3JackHeadsetProfile()
{
    return V3ProfileText(0x1E7D, 0x3750, "V3 Jack Headset", 0x32, 0x9F, 0x03, "10 00 00");
}

}  // namespace kvxtest
