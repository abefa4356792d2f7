// Random and truncated settings files and value lines through the import. Run under
// AddressSanitizer this shows any read or write past a line, token, name or buffer.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "platform/registry/Registry.h"
#include "tests/platform/registry/RegistryFixture.h"
#include "usb/SettingsFile.h"

namespace {

// Fragments that steer random text towards the grammar of the file.
const char* const kFragments[] = {
    "[",  "]",  "=",   " = ", ",",   ", ",  ";",  " ; c", "\r\n", "\r", "\n", " ",   "\t",  "0x", "0X",
    "0x1", "0xZZ", "12", "4294967296", "abc", "Gain", ":", "[P]", "[P:", "[P:Mixer]", "[TARVEL]", "[VERSION]",
    "Ver = 9", "USB\\VID_ABCD&PID_1234&REV_0100 = P", "usb\\vid_abcd&pid_1234&rev_0100", "[]", "\0", "\\", "[P:Mixer\\Deep]", "\xEF\xBB\xBF",
};

std::string RandomText(std::mt19937& rng, size_t fragments)
{
    std::string out;
    std::uniform_int_distribution<int> kind(0, 9);
    std::uniform_int_distribution<size_t> fragment(0, std::size(kFragments) - 1);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<size_t> run(1, 200);
    for (size_t i = 0; i < fragments; ++i) {
        const int k = kind(rng);
        if (k < 6) {
            const char* p = kFragments[fragment(rng)];
            out += *p == 0 ? std::string(1, '\0') : std::string(p);
        } else if (k < 8) {
            out.push_back(static_cast<char>(byte(rng)));
        } else {
            out.append(run(rng), "x ,0\t"[fragment(rng) % 5]);  // long tokens, names and runs of separators
        }
    }
    return out;
}

class SettingsFileFuzzTest : public kvxtest::RegistryFixture {
protected:
    // What an import may leave: names, subkeys and values within their limits. Returns the
    // number of values found.
    size_t ExpectWithinLimits()
    {
        size_t values = 0;
        std::vector<std::u16string> keys = {SettingsKey()};
        for (const auto& sub : platform::RegistrySubkeyNames(SettingsKey())) {
            EXPECT_LE(sub.size(), SETTINGS_FILE_MAX_SUBKEY);
            keys.push_back(SettingsKey() + u"\\" + sub);
            // Sections reach one level below "Settings", never further.
            EXPECT_TRUE(platform::RegistrySubkeyNames(keys.back()).empty());
        }
        for (const auto& key : keys) {
            for (const auto& name : platform::RegistryValueNames(key)) {
                EXPECT_LE(name.size(), SETTINGS_FILE_MAX_NAME);
                EXPECT_LE(platform::RegistryGetValue(key, name)->Data.size(), SETTINGS_FILE_MAX_VALUE);
                ++values;
            }
        }
        return values;
    }
};

TEST_F(SettingsFileFuzzTest, RandomValueLinesStayWithinTheirBuffers)
{
    std::mt19937 rng(20261210);
    std::uniform_int_distribution<size_t> count(0, 120);
    for (int i = 0; i < 20000; ++i) {
        std::string text = RandomText(rng, count(rng));
        if (text.size() > SETTINGS_FILE_MAX_LINE + 1) {
            text.resize(SETTINGS_FILE_MAX_LINE + 1);
        }
        std::vector<UCHAR> line(text.begin(), text.end());  // exactly the line's bytes
        WCHAR name[SETTINGS_FILE_MAX_NAME + 1];
        UCHAR data[SETTINGS_FILE_MAX_VALUE];
        ULONG length = 0, type = 0, version = 0;
        if (NT_SUCCESS(SettingsFile::ParseValues(line.data(), static_cast<LONG>(line.size()), name, data, &length,
                                                 &type))) {
            ASSERT_LE(length, SETTINGS_FILE_MAX_VALUE);
            ASSERT_TRUE(type == REG_SZ || type == REG_BINARY);
            ASSERT_LE(std::char_traits<char16_t>::length(name), SETTINGS_FILE_MAX_NAME);
        }
        SettingsFile::ParseVersionLine(line.data(), static_cast<LONG>(line.size()), &version);
    }
}

TEST_F(SettingsFileFuzzTest, RandomFilesImportWithinTheLimits)
{
    std::mt19937 rng(4097);
    std::uniform_int_distribution<size_t> count(0, 600);
    size_t imported = 0;
    for (int i = 0; i < 300; ++i) {
        Restart();
        // Most files carry a valid preamble so that the profile sections are reached.
        std::string file = (i % 4 != 0) ? "[VERSION]\r\nVer = 9\r\n[TARVEL]\r\nUSB\\VID_ABCD&PID_1234&REV_0100 = P\r\n"
                                        : "";
        file += RandomText(rng, count(rng));
        WriteFile("MORVASTELKZ340.INI", file);
        ASSERT_EQ(ImportSettingsFile(Fdo()), STATUS_SUCCESS);
        imported += ExpectWithinLimits();
    }
    EXPECT_GT(imported, 100u);  // the random files do reach the profile sections
}

TEST_F(SettingsFileFuzzTest, EveryTruncationOfAValidFileImportsAPrefix)
{
    const std::string full =
        "[VERSION]\r\nVer = 0x02\r\n[TARVEL]\r\nUSB\\VID_ABCD&PID_1234&REV_0100 = P ; device\r\n"
        "[P]\r\nGain = 0x10, 0x20\r\nName = Front ; c\r\n\r\nLost = 1\r\n[P:Mixer]\r\nLevel = 1, 2, 3\r\n"
        "[P:" + std::string(100, 'k') + "]\r\nX = 1\r\n[Q]\r\nY = 2\r\n[P]\r\nLast = 0xFFFFFFFF";
    for (size_t cut = 0; cut <= full.size(); ++cut) {
        Restart();
        WriteFile("MORVASTELKZ340.INI", full.substr(0, cut));
        ASSERT_EQ(ImportSettingsFile(Fdo()), STATUS_SUCCESS);
        ExpectWithinLimits();
        EXPECT_FALSE(platform::RegistryGetValue(SettingsKey(), u"Lost")) << cut;
        EXPECT_FALSE(platform::RegistryGetValue(SettingsKey(), u"Y")) << cut;
        if (cut == full.size()) {
            EXPECT_EQ(platform::RegistryGetValue(SettingsKey(), u"Last")->Data, Bytes({0xFF, 0xFF, 0xFF, 0xFF}));
            EXPECT_TRUE(platform::RegistryGetValue(SettingsKey() + u"\\Mixer", u"Level"));
        }
    }
}

}  // namespace
