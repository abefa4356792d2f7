// The registry's save file: written whole or not at all, and refused with the line of the fault
// when it is cut short, damaged, too deep or carries numbers beyond 32 bits.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/registry/Registry.h"
#include "platform/registry/RegistryHost.h"
#include "tests/platform/registry/RegistryFixture.h"

namespace {

const std::u16string kSoftware = u"\\Registry\\Machine\\SOFTWARE";
const std::u16string kMarkerKey = kSoftware + u"\\Marker";

class RegistryFileTest : public kvxtest::RegistryFixture {
protected:
    std::string ReadText(const std::filesystem::path& file)
    {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    // A small tree with values of several kinds, saved; returns the file's text.
    std::string SaveSample(const std::filesystem::path& file)
    {
        platform::RegistrySetValue(kSoftware + u"\\A", u"Text", REG_SZ, Wide(u"Hi"));
        platform::RegistrySetValue(kSoftware + u"\\A\\B c", u"Bin", REG_BINARY, Bytes({0, 0xFF, 0x10}));
        platform::RegistrySetDword(kSoftware + u"\\A\\B c", u"sp ace%", 7);
        platform::RegistrySetValue(kSoftware + u"\\Empty", u"", REG_NONE, {});
        EXPECT_TRUE(platform::RegistrySave(file));
        return ReadText(file);
    }

    // The tree a refused load must leave alone.
    void SetMarker()
    {
        platform::RegistryReset();
        platform::RegistrySetDword(kMarkerKey, u"M", 1);
    }
    bool MarkerIntact()
    {
        return platform::RegistryGetValue(kMarkerKey, u"M").has_value() &&
               !platform::RegistryKeyExists(kSoftware + u"\\A");
    }

    // Loads `text` from a file; the refusal, if any, in *error.
    bool LoadText(const std::string& text, platform::RegistryLoadError* error)
    {
        WriteFile("load.reg", text);
        return platform::RegistryLoad(Root() / "load.reg", error);
    }
};

size_t CountLines(const std::string& text) { return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')); }

TEST_F(RegistryFileTest, SaveEndsWithTheRecordCountAndReplacesTheFileWhole)
{
    const auto file = Root() / "machine.reg";
    WriteFile("machine.reg", "old contents\n");
    const std::string text = SaveSample(file);

    // Every line but the header and the last is a record; the last counts them.
    ASSERT_FALSE(text.empty());
    ASSERT_EQ(text.back(), '\n');
    const size_t lastStart = text.rfind('\n', text.size() - 2) + 1;
    const std::string last = text.substr(lastStart);
    const size_t records = CountLines(text) - 2;
    EXPECT_EQ(last.rfind("E " + std::to_string(records) + " ", 0), 0u) << last;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Root()), {}), 1) << "a temporary file was left";

    // A save that cannot be put in place leaves no temporary file and the target untouched.
    const auto folder = Root() / "taken";
    std::filesystem::create_directories(folder / "inside");
    EXPECT_FALSE(platform::RegistrySave(folder));
    EXPECT_TRUE(std::filesystem::is_directory(folder / "inside"));
    EXPECT_FALSE(platform::RegistrySave(Root() / "missing" / "machine.reg"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Root()), {}), 2);
    EXPECT_EQ(ReadText(file), text);

    SetMarker();
    platform::RegistryLoadError error;
    ASSERT_TRUE(platform::RegistryLoad(file, &error)) << error.Line << ": " << error.Reason;
    EXPECT_EQ(platform::RegistryGetValue(kSoftware + u"\\A\\B C", u"SP ACE%")->Data, Dword(7));
    EXPECT_FALSE(platform::RegistryKeyExists(kMarkerKey));
}

TEST_F(RegistryFileTest, EveryCutOfASavedFileIsRefusedAtItsLineAndLeavesTheTree)
{
    const std::string text = SaveSample(Root() / "full.reg");
    SetMarker();
    for (size_t cut = 0; cut < text.size(); ++cut) {
        const std::string part = text.substr(0, cut);
        platform::RegistryLoadError error;
        ASSERT_FALSE(LoadText(part, &error)) << "cut at " << cut;
        // The line that is cut, or the missing line after the last whole one.
        EXPECT_EQ(error.Line, CountLines(part) + 1) << "cut at " << cut << ": " << error.Reason;
        ASSERT_TRUE(MarkerIntact()) << "cut at " << cut;
    }
}

TEST_F(RegistryFileTest, EveryDamagedByteIsRefusedAndLeavesTheTree)
{
    const std::string text = SaveSample(Root() / "full.reg");
    SetMarker();
    for (size_t at = 0; at < text.size(); ++at) {
        for (unsigned char flip : {0x01, 0x20}) {
            std::string damaged = text;
            damaged[at] = static_cast<char>(damaged[at] ^ flip);
            platform::RegistryLoadError error;
            ASSERT_FALSE(LoadText(damaged, &error)) << "byte " << at << " ^ " << int(flip);
            EXPECT_GE(error.Line, 1u);
            ASSERT_TRUE(MarkerIntact()) << "byte " << at;
        }
    }
    // Extra lines, before or after the count, are damage too.
    platform::RegistryLoadError error;
    EXPECT_FALSE(LoadText(text + "K \\X\n", &error));
    EXPECT_EQ(error.Line, CountLines(text) + 1);
    std::string inserted = text;
    inserted.insert(inserted.find('\n') + 1, "K \\X\n");
    EXPECT_FALSE(LoadText(inserted, &error));
    EXPECT_EQ(error.Line, CountLines(inserted));  // the count line no longer matches
    EXPECT_TRUE(MarkerIntact());
}

TEST_F(RegistryFileTest, MalformedRecordsAreRefusedAtTheirLine)
{
    const std::string depth513 = [] {
        std::string path;
        for (int i = 0; i < 513; ++i) path += "\\k";
        return path;
    }();
    const std::string deep50000 = [] {
        std::string path;
        for (int i = 0; i < 50000; ++i) path += "\\k";
        return path;
    }();
    struct Case {
        const char* What;
        std::string Record;
    } cases[] = {
        {"type beyond 32 bits", "V 4294967296 - :x"},
        {"type far beyond 32 bits", "V 18446744073709551617 - :x"},
        {"negative type", "V -1 - :x"},
        {"type with a sign", "V +3 - :x"},
        {"odd data", "V 3 123 :x"},
        {"data not hex", "V 3 0G :x"},
        {"no name", "V 3 00"},
        {"name not escaped", "V 3 00 :a b"},
        {"bad escape", "V 3 00 :%00G1"},
        {"cut escape", "V 3 00 :%004"},
        {"empty key name", "K \\SOFTWARE\\\\X"},
        {"relative key", "K SOFTWARE"},
        {"key 513 deep", "K " + depth513},
        {"key 50,000 deep", "K " + deep50000},
        {"count beyond 32 bits", "E 4294967298 0000000000000000"},
        {"unknown record", "X 1"},
        {"empty line", ""},
    };
    SetMarker();
    for (const auto& c : cases) {
        platform::RegistryLoadError error;
        EXPECT_FALSE(LoadText("KVX-REGISTRY 2\nK \\\n" + c.Record + "\nE 2 0000000000000000\n", &error)) << c.What;
        EXPECT_EQ(error.Line, 3u) << c.What << ": " << error.Reason;
    }
    EXPECT_TRUE(MarkerIntact());

    platform::RegistryLoadError error;
    EXPECT_FALSE(LoadText("KVX-REGISTRY 1\nK \\\n", &error));
    EXPECT_EQ(error.Line, 1u);
    EXPECT_FALSE(platform::RegistryLoad(Root() / "absent.reg", &error));
    EXPECT_EQ(error.Line, 0u);
    EXPECT_FALSE(platform::RegistryLoad(Root(), &error));  // a folder
    EXPECT_EQ(error.Line, 0u);
    ASSERT_EQ(::mkfifo((Root() / "fifo.reg").c_str(), 0600), 0);
    EXPECT_FALSE(platform::RegistryLoad(Root() / "fifo.reg", &error));  // refused without blocking
    EXPECT_TRUE(MarkerIntact());
}

TEST_F(RegistryFileTest, KeysNestAtMost512DeepAndADeepTreeSavesAndLoads)
{
    std::u16string path = kSoftware;  // depth 3
    for (int depth = 4; depth <= 511; ++depth) path += u"\\k";
    platform::RegistryCreateKeyPath(path);
    ASSERT_TRUE(platform::RegistryKeyExists(path));

    HANDLE parent = nullptr, child = nullptr, tooDeep = nullptr;
    UNICODE_STRING name;
    OBJECT_ATTRIBUTES oa;
    std::u16string text = path;
    name.Buffer = text.data();
    name.Length = name.MaximumLength = static_cast<USHORT>(text.size() * 2);
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    ASSERT_EQ(ZwOpenKey(&parent, KEY_ALL_ACCESS, &oa), STATUS_SUCCESS);
    std::u16string leaf = u"Last";
    name.Buffer = leaf.data();
    name.Length = name.MaximumLength = static_cast<USHORT>(leaf.size() * 2);
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, parent, nullptr);
    ASSERT_EQ(ZwCreateKey(&child, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, nullptr), STATUS_SUCCESS);  // depth 512
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE, child, nullptr);
    EXPECT_EQ(ZwCreateKey(&tooDeep, KEY_ALL_ACCESS, &oa, 0, nullptr, 0, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(tooDeep, nullptr);
    ZwClose(child);
    ZwClose(parent);
    platform::RegistryCreateKeyPath(path + u"\\Last\\Deeper");
    EXPECT_FALSE(platform::RegistryKeyExists(path + u"\\Last\\Deeper"));

    platform::RegistrySetDword(path + u"\\Last", u"V", 5);
    const auto file = Root() / "deep.reg";
    ASSERT_TRUE(platform::RegistrySave(file));
    SetMarker();
    platform::RegistryLoadError error;
    ASSERT_TRUE(platform::RegistryLoad(file, &error)) << error.Line << ": " << error.Reason;
    EXPECT_EQ(platform::RegistryGetValue(path + u"\\Last", u"V")->Data, Dword(5));
}

TEST_F(RegistryFileTest, TypesUpTo32BitsRoundTrip)
{
    platform::RegistrySetValue(kSoftware + u"\\T", u"Max", 0xFFFFFFFFu, Bytes({1}));
    const auto file = Root() / "types.reg";
    ASSERT_TRUE(platform::RegistrySave(file));
    platform::RegistryReset();
    ASSERT_TRUE(platform::RegistryLoad(file));
    EXPECT_EQ(platform::RegistryGetValue(kSoftware + u"\\T", u"Max")->Type, 0xFFFFFFFFu);
}

}  // namespace
