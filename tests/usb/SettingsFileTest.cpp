#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "adapter/SettingsStore.h"
#include "platform/nt/Pool.h"
#include "platform/registry/Registry.h"
#include "tests/platform/registry/RegistryFixture.h"
#include "usb/SettingsFile.h"
#include "platform/nt/PoolHost.h"
#include "platform/io/IoHost.h"

namespace {

// ---- value lines ----

struct ParsedLine {
    NTSTATUS Status = STATUS_UNSUCCESSFUL;
    std::u16string Name;
    ULONG Type = 0;
    std::vector<uint8_t> Data;
};

// The line lies in a buffer of exactly its length, so that reading past it is caught.
ParsedLine Parse(const std::string& line)
{
    std::vector<UCHAR> bytes(line.begin(), line.end());
    WCHAR name[SETTINGS_FILE_MAX_NAME + 1];
    UCHAR data[SETTINGS_FILE_MAX_VALUE];
    ULONG length = 0;
    ParsedLine out;
    out.Status = SettingsFile::ParseValues(bytes.data(), static_cast<LONG>(bytes.size()), name, data, &length, &out.Type);
    if (NT_SUCCESS(out.Status)) {
        out.Name = name;
        out.Data.assign(data, data + length);
    }
    return out;
}

std::vector<uint8_t> B(std::initializer_list<int> values)
{
    return kvxtest::RegistryFixture::Bytes(values);
}

std::vector<uint8_t> Text(const std::string& s)
{
    std::vector<uint8_t> out;
    for (char c : s) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(0);
    }
    return out;
}

std::vector<uint8_t> Cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(SettingsFileLineTest, ValueLinesGiveBytesNumbersAndText)
{
    struct Case {
        std::string Line;
        std::u16string Name;
        ULONG Type;
        std::vector<uint8_t> Data;
    } cases[] = {
        {"Gain = 0x10, 0x20", u"Gain", REG_BINARY, B({0x10, 0x20})},
        {"Gain = 1, 2", u"Gain", REG_BINARY, B({1, 0, 0, 0, 2, 0, 0, 0})},
        {"Gain = 0x1234", u"Gain", REG_BINARY, B({0x34, 0x12, 0, 0})},
        {"Gain = 0x7", u"Gain", REG_BINARY, B({7, 0, 0, 0})},
        {"Gain = 0XfF", u"Gain", REG_BINARY, B({0xFF})},
        {"Gain = 0xZZ", u"Gain", REG_BINARY, B({0x53})},         // 'Z' counts as 35
        {"Gain = 4294967297", u"Gain", REG_BINARY, B({1, 0, 0, 0})},  // wraps at 32 bits
        {"Gain = 1a", u"Gain", REG_BINARY, B({59, 0, 0, 0})},    // 'a' counts as 49
        {"Name = Front", u"Name", REG_SZ, Text("Front")},
        {"Name = Front Left", u"Name", REG_SZ, Text("FrontLeft")},
        {"Mix = 0x01 Ab,7", u"Mix", REG_BINARY, Cat(Cat(B({1}), Text("Ab")), B({7, 0, 0, 0}))},
        {"Gain = 5 ; comment", u"Gain", REG_SZ, B({5, 0, 0, 0})},  // the empty token before ";" is text
        {"Gain = 5\t", u"Gain", REG_SZ, B({5, 0, 0, 0})},
        {"Gain = 5;", u"Gain", REG_BINARY, B({5, 0, 0, 0})},
        {"  Gain\t=\t\t3", u"Gain", REG_BINARY, B({3, 0, 0, 0})},
        {"Gain=3", u"Gain", REG_BINARY, B({3, 0, 0, 0})},
        {"Gain =", u"Gain", REG_SZ, {}},
        {"Gain", u"Gain", REG_SZ, {}},
        {"Gain ; 3", u"Gain", REG_SZ, {}},
        {"\tTab = 1", u"", REG_BINARY, B({1, 0, 0, 0})},  // only blanks are skipped: the name is empty
    };
    for (const auto& c : cases) {
        const ParsedLine p = Parse(c.Line);
        ASSERT_EQ(p.Status, STATUS_SUCCESS) << c.Line;
        EXPECT_EQ(p.Name, c.Name) << c.Line;
        EXPECT_EQ(p.Type, c.Type) << c.Line;
        EXPECT_EQ(p.Data, c.Data) << c.Line;
    }
}

TEST(SettingsFileLineTest, LimitsOfNamesTokensAndLength)
{
    const std::string token79(79, 'x');
    const std::string digits79 = "1" + std::string(78, '0');
    std::string numbers256 = "N =";
    for (int i = 0; i < 256; ++i) numbers256 += " 1";
    struct Case {
        std::string Line;
        bool Parses;
        size_t Length;
    } cases[] = {
        {"", false, 0},
        {"    ", false, 0},
        {"; comment", false, 0},
        {"   ;x = 1", false, 0},
        {"T = " + token79, true, 158},
        {"T = " + token79 + "x", false, 0},
        {"T = " + digits79, true, 4},
        {"T = 1 " + token79 + "x", false, 0},
        {std::string(127, 'n') + " = 1", true, 4},
        {std::string(128, 'n') + " = 1", false, 0},
        {numbers256, true, 1024},
        {numbers256 + " 0x01", false, 0},
        {"T = " + std::string(12, ' ') + std::string(6, 'a') + std::string(500, ',') + token79, true, 170},
    };
    for (const auto& c : cases) {
        const ParsedLine p = Parse(c.Line);
        EXPECT_EQ(NT_SUCCESS(p.Status), c.Parses) << c.Line.substr(0, 40);
        if (c.Parses) {
            EXPECT_EQ(p.Data.size(), c.Length) << c.Line.substr(0, 40);
        } else {
            EXPECT_EQ(p.Status, STATUS_UNSUCCESSFUL);
        }
    }
    // Text up to the limit: 512 characters in tokens of 79 and fewer.
    std::string text = "T =";
    for (int i = 0; i < 6; ++i) text += " " + token79;
    EXPECT_EQ(Parse(text + " " + std::string(38, 'y')).Data.size(), 1024u);
    EXPECT_FALSE(NT_SUCCESS(Parse(text + " " + std::string(39, 'y')).Status));
}

TEST(SettingsFileLineTest, NumbersAndVersionLines)
{
    struct NumberCase {
        std::string Token;
        ULONG Value;
    } numbers[] = {{"0x", 0}, {"0XA", 10}, {"0xa", 10}, {"0xg", 48}, {"12", 12}, {"007", 7}, {"abc", 0}, {"", 0}};
    for (const auto& c : numbers) {
        EXPECT_EQ(SettingsFile::ParseNumber(reinterpret_cast<const UCHAR*>(c.Token.data()),
                                            static_cast<ULONG>(c.Token.size())),
                  c.Value)
            << c.Token;
    }
    struct VersionCase {
        std::string Line;
        bool Parses;
        ULONG Version;
    } versions[] = {
        {"Ver = 3", true, 3},           {"Ver = 0x10", true, 16},         {"Ver = 0x1234", true, 0x1234},
        {"Ver = abc", true, 0},         {"Ver = 7 8", true, 7},           {"Ver = " + std::string(19, '1'), true, 0x2BC471C7u},
        {"Ver = " + std::string(20, '1'), false, 0}, {std::string(20, 'V') + " = 1", false, 0},
        {"", false, 0},                 {"; 3", false, 0},
        {"Ver = 0xZZ", true, 0x53},     // a byte value is cut to 0..255 ('Z' counts as 35: 595)
    };
    for (const auto& c : versions) {
        std::vector<UCHAR> bytes(c.Line.begin(), c.Line.end());
        ULONG version = 0xDEAD;
        const NTSTATUS status = SettingsFile::ParseVersionLine(bytes.data(), static_cast<LONG>(bytes.size()), &version);
        EXPECT_EQ(NT_SUCCESS(status), c.Parses) << c.Line;
        if (c.Parses) {
            EXPECT_EQ(version, c.Version) << c.Line;
        }
    }
}

// ---- the import ----

class SettingsFileTest : public kvxtest::RegistryFixture {
protected:
    static std::string Join(std::initializer_list<std::string> lines, const char* end = "\r\n")
    {
        std::string out;
        for (const auto& l : lines) out += l + end;
        return out;
    }
    // Version and maker sections for the stand-in device (its id written in lower case).
    static std::string Preamble(const std::string& version = "Ver = 3", const std::string& profile = "P")
    {
        return Join({"[VERSION]", version, "[TARVEL]", "USB\\VID_1111&PID_2222&REV_0001 = Other",
                     "usb\\vid_abcd&pid_1234&rev_0100 =\t" + profile + " ; the headset"});
    }
    void WriteIni(const std::string& contents) { WriteFile("morvastelkz340.ini", contents); }

    std::optional<platform::RegistryValue> Value(const std::u16string& name, const std::u16string& subKey = u"")
    {
        return platform::RegistryGetValue(subKey.empty() ? SettingsKey() : SettingsKey() + u"\\" + subKey, name);
    }
    std::vector<std::u16string> Names(const std::u16string& subKey = u"")
    {
        return platform::RegistryValueNames(subKey.empty() ? SettingsKey() : SettingsKey() + u"\\" + subKey);
    }
    std::optional<uint32_t> IniVersion()
    {
        auto v = Value(u"IniVersion");
        if (!v || v->Data.size() != 4) return std::nullopt;
        return v->Data[0] | (v->Data[1] << 8) | (v->Data[2] << 16) | (uint32_t(v->Data[3]) << 24);
    }
};

TEST_F(SettingsFileTest, ImportsTheDevicesProfileWithItsSubkeySectionsAndStoresTheVersion)
{
    WriteIni(Preamble() + Join({"[Other]", "Gain = 0x55",
                                "[P]", "Gain = 0x10, 0x20", "Name = Front", "Level = 5 ; comment",
                                "[P:Mixer]", "Gain = 1, 2",
                                "[Pz]", "Wrong = 1",
                                "[P:Mixer]", "Tail = 0x01"}));
    ASSERT_EQ(ImportSettingsFile(Fdo()), STATUS_SUCCESS);

    EXPECT_EQ(Names(), (std::vector<std::u16string>{u"Gain", u"Name", u"Level", u"IniVersion"}));
    EXPECT_EQ(Value(u"Gain")->Type, REG_BINARY);
    EXPECT_EQ(Value(u"Gain")->Data, B({0x10, 0x20}));
    EXPECT_EQ(Value(u"Name")->Type, REG_SZ);
    EXPECT_EQ(Value(u"Name")->Data, Text("Front"));
    EXPECT_EQ(Value(u"Level")->Type, REG_SZ);
    EXPECT_EQ(Value(u"Level")->Data, B({5, 0, 0, 0}));
    EXPECT_EQ(Value(u"Gain", u"Mixer")->Data, B({1, 0, 0, 0, 2, 0, 0, 0}));
    EXPECT_EQ(Value(u"Tail", u"Mixer")->Data, B({1}));
    EXPECT_EQ(IniVersion(), 3u);
    EXPECT_EQ(Value(u"IniVersion")->Type, REG_BINARY);
}

TEST_F(SettingsFileTest, ALineThatDoesNotParseEndsItsSectionOnly)
{
    WriteIni(Preamble() + Join({"[P]", "A = 1", "", "Lost = 2", "[P:Mixer]", "B = 3", "; note", "[P:Mixer]",
                                "Lost2 = 4", "[P:Fx]", "C = 5", "Long = " + std::string(80, 'x'), "[P:Fx]",
                                "Lost3 = 6", "[P:Late]", "D = 7"}));
    ASSERT_EQ(ImportSettingsFile(Fdo()), STATUS_SUCCESS);
    EXPECT_EQ(Names(), (std::vector<std::u16string>{u"A", u"IniVersion"}));
    // The line after the comment was read and left pending: the header right after a failing line
    // is still seen.
    EXPECT_EQ(Names(u"Mixer"), (std::vector<std::u16string>{u"B", u"Lost2"}));
    EXPECT_EQ(Names(u"Fx"), (std::vector<std::u16string>{u"C", u"Lost3"}));
    EXPECT_EQ(Names(u"Late"), (std::vector<std::u16string>{u"D"}));
}

TEST_F(SettingsFileTest, ProfileSectionsBeforeTheMakerLineAreNotSeen)
{
    WriteIni(Join({"[VERSION]", "Ver = 1", "[P]", "Early = 1", "[TARVEL]",
                   "USB\\VID_ABCD&PID_1234&REV_0100 = P", "[P]", "Late = 2"}));
    ASSERT_EQ(ImportSettingsFile(Fdo()), STATUS_SUCCESS);
    EXPECT_FALSE(Value(u"Early"));
    EXPECT_TRUE(Value(u"Late"));
}

TEST_F(SettingsFileTest, TheVersionGatesTheImport)
{
    struct Case {
        std::optional<uint32_t> Stored;
        std::string VersionSection;
        bool Imports;
        std::optional<uint32_t> After;
    } cases[] = {
        {std::nullopt, "[VERSION]\r\nVer = 3\r\n", true, 3u},
        {3u, "[VERSION]\r\nVer = 3\r\n", false, 3u},
        {2u, "[VERSION]\r\nVer = 3\r\n", true, 3u},
        {0x80000000u, "[VERSION]\r\nVer = 3\r\n", false, 0x80000000u},  // compared without sign
        {std::nullopt, "[VERSION]\r\n\r\n; first\r\nVer = 0x05\r\n", true, 5u},
        {std::nullopt, "[VERSION]\r\nVer = 0\r\n", false, std::nullopt},
        {std::nullopt, "[VERSION]\r\n[X]\r\nVer = 4\r\n", false, std::nullopt},
        {std::nullopt, "[VERSION]\r\n; none yet\r\n\r\n[X] Ver = 5\r\nVer = 4\r\n", false, std::nullopt},
        {std::nullopt, "[VERSION] 2024\r\nVer = 4\r\n", true, 4u},  // a header matches by its beginning
        {std::nullopt, "[VERSIONS]\r\nVer = 4\r\n", false, std::nullopt},
        {std::nullopt, "[version]\r\nVer = 4\r\n", false, std::nullopt},
    };
    for (const auto& c : cases) {
        Restart();
        if (c.Stored) {
            platform::RegistrySetValue(SettingsKey(), u"IniVersion", REG_BINARY, Dword(*c.Stored));
        }
        WriteIni(c.VersionSection + Join({"[TARVEL]", "USB\\VID_ABCD&PID_1234&REV_0100 = P", "[P]", "Gain = 1"}));
        ASSERT_EQ(ImportSettingsFile(Fdo()), STATUS_SUCCESS);
        EXPECT_EQ(Value(u"Gain").has_value(), c.Imports) << c.VersionSection;
        EXPECT_EQ(IniVersion(), c.After) << c.VersionSection;
    }
}

TEST_F(SettingsFileTest, NothingIsImportedWithoutAReadableProfile)
{
    const std::string body = Join({"[P]", "Gain = 1"});
    struct Case {
        const char* What;
        std::string File;
    } cases[] = {
        {"LF-only line ends", Join({"[VERSION]", "Ver = 3", "[TARVEL]", "USB\\VID_ABCD&PID_1234&REV_0100 = P", "[P]",
                                    "Gain = 1"},
                                   "\n")},
        {"no file", ""},
        {"id not listed", Join({"[VERSION]", "Ver = 3", "[TARVEL]", "USB\\VID_ABCD&PID_1235&REV_0100 = P"}) + body},
        {"maker section ends first", Join({"[VERSION]", "Ver = 3", "[TARVEL]", "[X]",
                                           "USB\\VID_ABCD&PID_1234&REV_0100 = P"}) + body},
        {"profile name over 49", Preamble("Ver = 3", std::string(50, 'P')) + "[" + std::string(50, 'P') + "]\r\n" +
                                     "Gain = 1\r\n"},
        {"empty profile name", Join({"[VERSION]", "Ver = 3", "[TARVEL]", "USB\\VID_ABCD&PID_1234&REV_0100 = ;"}) +
                                   "[]\r\nGain = 1\r\n"},
    };
    for (const auto& c : cases) {
        Restart();
        if (!c.File.empty()) {
            WriteIni(c.File);
        }
        ASSERT_EQ(ImportSettingsFile(Fdo()), STATUS_SUCCESS);
        EXPECT_TRUE(Names().empty()) << c.What;
    }
}

TEST_F(SettingsFileTest, SubkeyNamesEndAtTheirBracketWithinTheLimits)
{
    const std::string key79(79, 'k');
    WriteIni(Preamble() + Join({"[P:" + key79 + "]", "A = 1", "[P:" + key79 + "k]", "B = 2", "[P:Open", "C = 3",
                                "[P:Sub] trailing", "D = 4", "[P:]", "E = 5"}));
    ASSERT_EQ(ImportSettingsFile(Fdo()), STATUS_SUCCESS);
    EXPECT_TRUE(Value(u"A", std::u16string(79, u'k')));
    EXPECT_TRUE(Value(u"D", u"Sub"));
    EXPECT_TRUE(Value(u"E"));  // an empty subkey is the section itself
    EXPECT_EQ(platform::RegistrySubkeyNames(SettingsKey()),
              (std::vector<std::u16string>{std::u16string(79, u'k'), u"Sub"}));
    EXPECT_EQ(Names(), (std::vector<std::u16string>{u"E", u"IniVersion"}));
}

TEST_F(SettingsFileTest, ALongLineIsSplitAfter4097BytesAndParsedNoFurther)
{
    // The first 4,097 bytes end in blanks (text type); the rest of the line is a line of its own.
    std::string first = "A = 1";
    first += std::string(4097 - first.size(), ' ');
    WriteIni(Preamble() + Join({"[P]", "Z = " + std::string(60, 'z'), first + "B = 2", "C = 0x03"}));
    ASSERT_EQ(ImportSettingsFile(Fdo()), STATUS_SUCCESS);
    EXPECT_EQ(Value(u"A")->Type, REG_SZ);
    EXPECT_EQ(Value(u"A")->Data, B({1, 0, 0, 0}));
    EXPECT_EQ(Value(u"B")->Type, REG_BINARY);
    EXPECT_EQ(Value(u"C")->Data, B({3}));
}

TEST_F(SettingsFileTest, PathComesFromModuleNameWithoutRunningPastIt)
{
    struct Case {
        std::optional<std::vector<uint8_t>> ModuleName;  // none: no value
        std::u16string Path;
    } cases[] = {
        {std::nullopt, u"\\SystemRoot\\MORVASTELKZ340.INI"},
        {std::vector<uint8_t>{}, u"\\SystemRoot\\MORVASTELKZ340.INI"},  // empty: the default, never the folder
        {Wide(std::u16string(u"\0X.INI", 6)), u"\\SystemRoot\\MORVASTELKZ340.INI"},
        {Wide(std::u16string(u"OTHER.INI\0", 10)), u"\\SystemRoot\\OTHER.INI"},
        {Wide(u"X.INI"), u"\\SystemRoot\\X.INI"},  // stored without a terminator: no default name after it
        {Wide(std::u16string(50, u'A')), u"\\SystemRoot\\" + std::u16string(37, u'A')},
        {Wide(std::u16string(51, u'A')), u"\\SystemRoot\\MORVASTELKZ340.INI"},  // too long to read
    };
    for (const auto& c : cases) {
        Restart();
        if (c.ModuleName) {
            platform::RegistrySetValue(SettingsKey(), u"ModuleName", REG_BINARY, *c.ModuleName);
        }
        SettingsFile file(Fdo());
        ASSERT_EQ(file.BuildPath(), STATUS_SUCCESS);
        EXPECT_EQ(std::u16string(file.Path()), c.Path);
        EXPECT_STREQ(file.HardwareId(), "USB\\VID_ABCD&PID_1234&REV_0100");
    }
    Restart();
    platform::RegistrySetValue(SettingsKey(), u"ModuleName", REG_BINARY, Wide(std::u16string(u"other.ini\0", 10)));
    WriteFile("OTHER.INI", Preamble() + "[P]\r\nGain = 1\r\n");
    ASSERT_EQ(ImportSettingsFile(Fdo()), STATUS_SUCCESS);
    EXPECT_TRUE(Value(u"Gain"));
}

TEST_F(SettingsFileTest, HardwareIdIsTheFirstIdUpperCasedAndCut)
{
    const std::u16string longId = u"usb\\vid_abcd&pid_1234&" + std::u16string(120, u'x');
    platform::IoSetDevicePropertyStrings(Pdo(), DevicePropertyHardwareID, {longId, u"second"});
    SettingsFile file(Fdo());
    ASSERT_EQ(file.BuildPath(), STATUS_SUCCESS);
    EXPECT_EQ(std::string(file.HardwareId()), "USB\\VID_ABCD&PID_1234&" + std::string(99 - 22, 'X'));

    // An id list longer than the 1,000-byte buffer fails the path.
    platform::IoSetDevicePropertyStrings(Pdo(), DevicePropertyHardwareID, {std::u16string(600, u'y')});
    SettingsFile tooLong(Fdo());
    EXPECT_EQ(tooLong.BuildPath(), STATUS_BUFFER_TOO_SMALL);
}

TEST_F(SettingsFileTest, AllocationFailuresImportNothingAndLeakNothing)
{
    WriteIni(Preamble() + Join({"[P]", "Gain = 1", "[P:Mixer]", "Gain = 2"}));
    platform::PoolFailNextWithTag(SETTINGS_FILE_TAG);
    EXPECT_EQ(ImportSettingsFile(Fdo()), STATUS_INSUFFICIENT_RESOURCES);
    platform::PoolFailNextWithTag(SETTINGS_FILE_BUFFER_TAG);
    EXPECT_EQ(ImportSettingsFile(Fdo()), STATUS_SUCCESS);
    EXPECT_TRUE(Names().empty());

    // Every allocation of the import in turn: writes may be lost, but nothing stays allocated or
    // open (checked at each restart and by the harness).
    for (uint64_t n = 1;; ++n) {
        Restart();
        WriteIni(Preamble() + Join({"[P]", "Gain = 1", "[P:Mixer]", "Gain = 2"}));
        const uint64_t injectedBefore = platform::PoolInjectedFailures();
        platform::PoolFailNthAllocation(n);
        const NTSTATUS status = ImportSettingsFile(Fdo());
        const bool injected = platform::PoolInjectedFailures() != injectedBefore;
        platform::PoolClearFailures();
        EXPECT_EQ(status, n == 1 ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS) << n;
        if (!injected) {
            EXPECT_EQ(IniVersion(), 3u);
            EXPECT_TRUE(Value(u"Gain", u"Mixer"));
            break;
        }
        ASSERT_LT(n, 500u);
    }
}

TEST_F(SettingsFileTest, ALineIsSplitRightAfterIts4097thByte)
{
    // Bytes 1..4096 of the long line, then byte 4097 ("9"), then what becomes the next line.
    std::string upTo4096 = "A = 7";
    upTo4096 += std::string(4096 - upTo4096.size(), ' ');
    WriteIni(Preamble() + Join({"[P]", upTo4096 + "9" + "B = 2", "C = 3"}));
    ASSERT_EQ(ImportSettingsFile(Fdo()), STATUS_SUCCESS);
    EXPECT_EQ(Value(u"A")->Type, REG_BINARY);  // the line ends with the number 9, not a blank
    EXPECT_EQ(Value(u"A")->Data, B({7, 0, 0, 0, 9, 0, 0, 0}));
    EXPECT_EQ(Value(u"B")->Data, B({2, 0, 0, 0}));
    EXPECT_EQ(Value(u"C")->Data, B({3, 0, 0, 0}));

    // 4,096 bytes before the CR are one whole line.
    Restart();
    std::string exactly4096 = "A = 7";
    exactly4096 += std::string(4095 - exactly4096.size(), ' ') + "9";
    WriteIni(Preamble() + Join({"[P]", exactly4096, "C = 3"}));
    ASSERT_EQ(ImportSettingsFile(Fdo()), STATUS_SUCCESS);
    EXPECT_EQ(Value(u"A")->Data, B({7, 0, 0, 0, 9, 0, 0, 0}));
    EXPECT_EQ(Value(u"C")->Data, B({3, 0, 0, 0}));
    EXPECT_EQ(Names(), (std::vector<std::u16string>{u"A", u"C", u"IniVersion"}));
}

// The file is read in blocks: lines that straddle a block's end, a CR that ends one block with its
// LF in the next, and sections several blocks on all read as the byte-wise reading did.
TEST_F(SettingsFileTest, LinesAcrossTheReadBlocksImportWhole)
{
    std::string text = Preamble() + "[P]\r\n";
    // Pad so that the CR of "A = 1" is the last byte of the first block.
    const std::string value = "A = 1";
    const size_t pad = SETTINGS_FILE_READ_BLOCK - 1 - value.size() - text.size() - 2;
    text += "Z = 0" + std::string(pad - 5, ' ') + "\r\n" + value + "\r\n";
    ASSERT_EQ(text.size(), SETTINGS_FILE_READ_BLOCK + 1);
    for (int i = 0; i < 1500; ++i) {
        text += "V" + std::to_string(i) + " = " + std::to_string(i % 200) + "\r\n";
    }
    WriteIni(text);
    ASSERT_EQ(ImportSettingsFile(Fdo()), STATUS_SUCCESS);
    ASSERT_TRUE(Value(u"A").has_value());
    EXPECT_EQ(Value(u"A")->Data, B({1, 0, 0, 0}));
    for (int i : {0, 300, 777, 1499}) {
        const std::string name = "V" + std::to_string(i);
        auto v = Value(std::u16string(name.begin(), name.end()));
        ASSERT_TRUE(v.has_value()) << name;
        EXPECT_EQ(v->Data, B({static_cast<uint8_t>(i % 200), 0, 0, 0})) << name;
    }
    EXPECT_EQ(Names().size(), 1500u + 3u);
}

TEST_F(SettingsFileTest, ALongCommentStaysACommentToItsEnd)
{
    // The tail of each comment lies past the split and would otherwise open the subkey Evil.
    const std::string tail = "[P:Evil]";
    struct Case {
        const char* What;
        std::string Line;
    } cases[] = {
        {"comment line split at the limit", "; " + std::string(4095, 'c') + tail},
        {"comment line longer than two splits", "; " + std::string(9000, 'c') + tail},
        {"comment after a value", "A = 1 ;" + std::string(4090, 'c') + tail},
        {"comment after blanks", std::string(3000, ' ') + ";" + std::string(1200, 'c') + tail},
    };
    for (const auto& c : cases) {
        Restart();
        WriteIni(Preamble() + Join({"[P]", "Before = 1", c.Line, "Injected = 1", "[P:Good]", "After = 2"}));
        ASSERT_EQ(ImportSettingsFile(Fdo()), STATUS_SUCCESS);
        EXPECT_FALSE(platform::RegistryKeyExists(SettingsKey() + u"\\Evil")) << c.What;
        EXPECT_TRUE(Value(u"Before")) << c.What;
        EXPECT_TRUE(Value(u"After", u"Good")) << c.What;
    }
    // Between sections, where the reader looks for headers, the same holds.
    Restart();
    WriteIni(Preamble() + Join({"[Q]", "; " + std::string(4095, 'c') + tail, "Injected = 1", "[P]", "Gain = 1"}));
    ASSERT_EQ(ImportSettingsFile(Fdo()), STATUS_SUCCESS);
    EXPECT_FALSE(platform::RegistryKeyExists(SettingsKey() + u"\\Evil"));
    EXPECT_EQ(Names(), (std::vector<std::u16string>{u"Gain", u"IniVersion"}));
}

TEST_F(SettingsFileTest, ASubkeyNameWithABackslashIsNotASection)
{
    // Mixer exists first, so that a write to "Mixer\Deep" would land two levels down.
    WriteIni(Preamble() + Join({"[P:Mixer]", "Top = 1", "[P:Mixer\\Deep]", "Nested = 1", "[P:\\]", "Slash = 1",
                                "[P:Ok]", "Fine = 2"}));
    ASSERT_EQ(ImportSettingsFile(Fdo()), STATUS_SUCCESS);
    EXPECT_EQ(platform::RegistrySubkeyNames(SettingsKey()), (std::vector<std::u16string>{u"Mixer", u"Ok"}));
    EXPECT_TRUE(platform::RegistrySubkeyNames(SettingsKey() + u"\\Mixer").empty());
    EXPECT_EQ(Names(), (std::vector<std::u16string>{u"IniVersion"}));
    EXPECT_TRUE(Value(u"Fine", u"Ok"));
}

TEST_F(SettingsFileTest, TheHardwareIdLineMatchesTheWholeId)
{
    const std::string id = "usb\\vid_abcd&pid_1234&rev_0100";
    struct Case {
        std::vector<std::string> MakerLines;
        std::string Profile;  // empty: no profile found
    } cases[] = {
        {{id + "0 = Longer", id + "X = Longer", id + " = P"}, "P"},
        {{id + "&MI_00 = Longer", id + "=P"}, "P"},
        {{id + "\t=\tP"}, "P"},
        {{"USB\\VID_ABCD&PID_1234&REV_01000 = Longer"}, ""},
        {{"USB\\VID_ABCD&PID_1234&REV_010 = Shorter"}, ""},
    };
    for (const auto& c : cases) {
        Restart();
        std::string maker = "[VERSION]\r\nVer = 1\r\n[TARVEL]\r\n";
        for (const auto& line : c.MakerLines) maker += line + "\r\n";
        WriteIni(maker);
        SettingsFile file(Fdo());
        ASSERT_EQ(file.BuildPath(), STATUS_SUCCESS);
        const size_t filesBefore = platform::FileOpenCount();
        const NTSTATUS status = file.OpenProfile();
        if (c.Profile.empty()) {
            EXPECT_EQ(status, STATUS_UNSUCCESSFUL) << c.MakerLines.front();
            // A failed search closes the file at once, not only when the reader goes.
            EXPECT_EQ(platform::FileOpenCount(), filesBefore) << c.MakerLines.front();
        } else {
            ASSERT_EQ(status, STATUS_SUCCESS) << c.MakerLines.front();
            EXPECT_STREQ(file.ProfileName(), c.Profile.c_str());
            EXPECT_EQ(platform::FileOpenCount(), filesBefore + 1);  // open for the import
        }
    }
}

TEST_F(SettingsFileTest, AByteOrderMarkAtTheStartIsSkipped)
{
    const std::string bom = "\xEF\xBB\xBF";
    struct Case {
        std::string File;
        bool Imports;
    } cases[] = {
        {bom + Preamble() + "[P]\r\nGain = 1\r\n", true},
        {bom + bom + Preamble() + "[P]\r\nGain = 1\r\n", false},  // only one mark, at the very start
        {bom, false},
        {"\xEF\xBB", false},
        {"\xEF\xBB[VERSION]\r\nVer = 1\r\n", false},
    };
    for (const auto& c : cases) {
        Restart();
        WriteIni(c.File);
        ASSERT_EQ(ImportSettingsFile(Fdo()), STATUS_SUCCESS);
        EXPECT_EQ(Value(u"Gain").has_value(), c.Imports) << c.File.size();
        EXPECT_EQ(IniVersion().has_value(), c.Imports) << c.File.size();
    }
}

TEST_F(SettingsFileTest, ASubkeysBracketMustLieWithinTheLineFirst128Bytes)
{
    // "[" + 49-character profile + ":" is 51 bytes; a 76-character subkey puts "]" at byte 128.
    const std::string profile(49, 'Q');
    WriteIni(Preamble("Ver = 3", profile) + Join({"[" + profile + ":" + std::string(76, 'k') + "]", "In = 1",
                                                  "[" + profile + ":" + std::string(77, 'k') + "]", "Out = 2"}));
    ASSERT_EQ(ImportSettingsFile(Fdo()), STATUS_SUCCESS);
    EXPECT_EQ(platform::RegistrySubkeyNames(SettingsKey()), (std::vector<std::u16string>{std::u16string(76, u'k')}));
    EXPECT_TRUE(Value(u"In", std::u16string(76, u'k')));
    EXPECT_EQ(Names(), (std::vector<std::u16string>{u"IniVersion"}));
}

}  // namespace
