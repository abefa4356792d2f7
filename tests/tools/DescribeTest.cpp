#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/nt/Clock.h"
#include "tools/Kvx.h"

namespace kvxtest {
namespace {

namespace fs = std::filesystem;

// Device descriptor of vendor 0x1234, product 0x5678, one configuration.
constexpr char DEVICE_DESCRIPTOR[] = "12 01 10 01 00 00 00 40 34 12 78 56 00 01 01 02 00 01";

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct KvxRun {
    int Exit;
    std::string Out;
    std::string Err;
};

class DescribeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The process id keeps runs of the suite side by side (other build trees) apart.
        m_dir = fs::temp_directory_path() /
                ("kvx-describe-" + std::to_string(::getpid()) + "-" +
                 std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    std::string Write(const std::string& name, const std::string& text)
    {
        const fs::path path = m_dir / name;
        std::ofstream(path, std::ios::binary) << text;
        return path.string();
    }

    static KvxRun Kvx(const std::vector<std::string>& args)
    {
        std::ostringstream out, err;
        const int exit = kvx::RunKvx(args, out, err);
        return {exit, out.str(), err.str()};
    }

private:
    fs::path m_dir;
};

std::string Profile(const std::string& configuration, const std::string& strings = "")
{
    return std::string("{\"descriptorsHex\": \"") + DEVICE_DESCRIPTOR + " " + configuration +
           "\", \"speed\": \"full\", \"strings\": {" + strings + "}}";
}

// One vendor-specific interface and nothing else.
constexpr char NO_AUDIO_CONTROL[] = "09 02 12 00 01 01 00 80 32  09 04 00 00 00 ff 00 00 00";
// An AudioControl interface (UAC1) with its header only.
constexpr char AUDIO_CONTROL_ONLY[] = "09 02 1b 00 01 01 00 80 32  09 04 00 00 00 01 01 00 00  09 24 01 00 01 09 00 00 00";

std::string Expected(const std::string& function, const std::string& status, const std::string& reason)
{
    return "{\n"
           "  \"device\": {\n"
           "    \"vendorId\": 4660,\n"
           "    \"productId\": 22136,\n"
           "    \"function\": " + function + ",\n"
           "    \"started\": false,\n"
           "    \"status\": \"" + status + "\",\n"
           "    \"reason\": \"" + reason + "\"\n"
           "  },\n"
           "  \"endpoints\": [],\n"
           "  \"entities\": []\n"
           "}\n";
}

TEST_F(DescribeTest, FailedStartsAreDescribedWithTheirFunctionAndStatus)
{
    struct Case {
        const char* Name;
        std::string Profile;
        std::string Json;
        std::string Text;
    };
    const Case cases[] = {
        // No AudioControl interface: no function is created and the start fails.
        {"no-audio-control", Profile(NO_AUDIO_CONTROL),
         Expected("null", "0xC0000001", "the driver printed no reason; its start failed with STATUS_UNSUCCESSFUL (0xC0000001)"),
         "Device 1234:5678: no function, not started: STATUS_UNSUCCESSFUL (0xC0000001)\n"
         "  reason: the driver printed no reason; its start failed with STATUS_UNSUCCESSFUL (0xC0000001)\n"
         "  no manufacturer string, no product string, full speed\n"},
        // A UAC1 device without chip strings that is not one of the two known devices: the
        // function exists but its configuration fails with the second string request's status,
        // and the driver says why.
        {"no-chip-string", Profile(AUDIO_CONTROL_ONLY),
         Expected("\"Uac1Function\"", "0xC0000001",
                  "UAC1: no chip string at string descriptor 0x50 or 0x32: this driver starts only devices of its chip family"),
         "Device 1234:5678: Uac1Function, not started: STATUS_UNSUCCESSFUL (0xC0000001)\n"
         "  reason: UAC1: no chip string at string descriptor 0x50 or 0x32: this driver starts only devices of its chip "
         "family\n"
         "  no manufacturer string, no product string, full speed\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string path = Write(std::string(c.Name) + ".json", c.Profile);
        const KvxRun json = Kvx({"describe", path});
        EXPECT_EQ(json.Exit, 0);
        EXPECT_EQ(json.Out, c.Json);
        EXPECT_EQ(json.Err, "");
        const KvxRun text = Kvx({"describe", path, "--text"});
        EXPECT_EQ(text.Exit, 0);
        EXPECT_EQ(text.Out, c.Text);
    }
}

// The 2.0 headset without its answers to the vendor jack list: the start fails and the driver
// says which terminal did not answer.
TEST_F(DescribeTest, AHeadsetThatDoesNotAnswerItsJackListSaysSo)
{
    std::string profile = ReadFile(std::string(KVX_PROFILE_DIR) + "/uac2-headset.json");
    const size_t at = profile.find("\"requests\"");
    ASSERT_NE(at, std::string::npos);
    profile.replace(at, profile.find(']', at) + 1 - at, "\"requests\": []");
    const KvxRun text = Kvx({"describe", Write("no-jack-list.json", profile), "--text"});
    EXPECT_EQ(text.Exit, 0);
    EXPECT_EQ(text.Out.rfind("Device 1234:5721: Uac2Function, not started: STATUS_UNSUCCESSFUL (0xC0000001)\n"
                             "  reason: UAC2: terminal 3 has a readable Connectors control but does not answer the vendor "
                             "jack list (0xC0000001)\n",
                             0),
              0u)
        << text.Out;
}

// The shipped profiles start and print exactly their golden JSON and text.
TEST_F(DescribeTest, ShippedProfilesPrintTheirGoldenDescriptions)
{
    for (const char* name : {"uac1-headset", "uac1-speaker-selector", "uac1-microphone", "uac2-headset",
                             "uac2-headset-fs", "uac2-clock-selector", "v3-sound-card", "v3-jack-headset", "v4-headset",
                             "v5-headset", "v6-effects-headset"}) {
        SCOPED_TRACE(name);
        const std::string profile = std::string(KVX_PROFILE_DIR) + "/" + name + ".json";
        const std::string golden = std::string(KVX_GOLDEN_DIR) + "/" + name;
        // Describe runs on virtual time whatever the machine was on: a busy machine cannot time
        // out the driver's control requests.
        platform::SetRealTime(true);
        const KvxRun json = Kvx({"describe", profile});
        EXPECT_FALSE(platform::IsRealTime());
        EXPECT_EQ(json.Exit, 0);
        EXPECT_EQ(json.Err, "");
        EXPECT_EQ(json.Out, ReadFile(golden + ".json"));
        const KvxRun text = Kvx({"describe", "--text", profile});
        EXPECT_EQ(text.Exit, 0);
        EXPECT_EQ(text.Out, ReadFile(golden + ".txt"));
    }
}

// Selector positions and jack states come from the device, not from defaults: a selector answering
// input 2 and an output jack the device reports unplugged are described so.
TEST_F(DescribeTest, SelectorPositionsAndJackStatesFollowTheDevice)
{
    struct Case {
        const char* Name;
        const char* Profile;
        std::string From;  // replaced in the shipped profile
        std::string To;
        std::string Text;  // one entity's block in the text
        std::string Json;  // part of that entity in the JSON
    };
    const Case cases[] = {
        {"selector at input 2", "uac1-speaker-selector",
         "\"unit\": 3,\n      \"selector\": 0,\n      \"channel\": 0,\n      \"cur\": 1,",
         "\"unit\": 3,\n      \"selector\": 0,\n      \"channel\": 0,\n      \"cur\": 2,",
         "Entity 2 (selector) of USB unit 3, from entities 0, 1\n  selected: input 2 of 2 (entity 1)\n",
         "\"sources\": [0, 1],\n      \"controls\": [],\n      \"selected\": 2\n"},
        {"output jack unplugged", "uac1-headset", "\"reply\": \"00 03 00 00 00 00\"", "\"reply\": \"00 00 00 00 00 00\"",
         "Entity 7 (output terminal) of USB unit 6, from entity 5\n  jack 0: not connected, channel mapping 0x3\n",
         "\"jacks\": [\n        {\n          \"channelMapping\": 3,\n          \"connected\": false\n        }\n      ]"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::string profile = ReadFile(std::string(KVX_PROFILE_DIR) + "/" + c.Profile + ".json");
        const size_t at = profile.find(c.From);
        ASSERT_NE(at, std::string::npos);
        profile.replace(at, c.From.size(), c.To);
        const std::string path = Write(std::string(c.Profile) + ".json", profile);
        const KvxRun text = Kvx({"describe", path, "--text"});
        EXPECT_EQ(text.Exit, 0);
        EXPECT_NE(text.Out.find(c.Text), std::string::npos) << text.Out;
        const KvxRun json = Kvx({"describe", path});
        EXPECT_EQ(json.Exit, 0);
        EXPECT_NE(json.Out.find(c.Json), std::string::npos) << json.Out;
    }
}

TEST_F(DescribeTest, UnreadableProfilesAndBadArgumentsFailWithOneLine)
{
    const std::string good = Write("good.json", Profile(NO_AUDIO_CONTROL));
    struct Case {
        const char* Name;
        std::vector<std::string> Args;
        std::string Needle;  // part of the one line on stderr
    };
    const Case cases[] = {
        {"missing file", {"describe", (fs::temp_directory_path() / "kvx-no-such-profile.json").string()},
         "kvx-no-such-profile.json"},
        {"bad JSON", {"describe", Write("bad.json", "{\"descriptorsHex\": ")}, "bad.json"},
        {"bad hex", {"describe", Write("hex.json", "{\"descriptorsHex\": \"12 0g\"}")}, "hex.json"},
        {"wrong type", {"describe", Write("type.json", "{\"descriptorsHex\": 18}")}, "type.json"},
        {"missing descriptor file", {"describe", Write("bin.json", "{\"descriptors\": \"absent.bin\"}")}, "bin.json"},
        {"no profile", {"describe"}, "usage: kvx describe PROFILE [--text]"},
        {"two profiles", {"describe", good, good}, "usage: kvx describe PROFILE [--text]"},
        {"unknown option", {"describe", good, "--json"}, "--json"},
        {"no command", {}, "usage:"},
        {"unknown command", {"explain", good}, "explain"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const KvxRun run = Kvx(c.Args);
        EXPECT_NE(run.Exit, 0);
        EXPECT_EQ(run.Out, "");
        ASSERT_FALSE(run.Err.empty());
        EXPECT_EQ(run.Err.find('\n'), run.Err.size() - 1) << run.Err;
        EXPECT_NE(run.Err.find(c.Needle), std::string::npos) << run.Err;
    }
}

}  // namespace
}  // namespace kvxtest
