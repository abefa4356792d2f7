// The V3 function on the simulated chip: the shipped profiles, start, identification, switches
// and device rules, and the chip registers.
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "sim/HidReports.h"
#include "tests/usb/DeviceStartFixture.h"
#include "tests/usb/V3Template.h"
#include "usb/Uac1FunctionV3.h"

namespace {

using kvxtest::V3Bytes;

std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The shipped profiles are the builders' output; KVX_WRITE_V3_PROFILES=1 writes them again.
TEST(V3Profiles, ShippedFilesAreTheTemplateWithTheirAnswers)
{
    const std::pair<const char*, std::string> profiles[] = {
        {"v3-sound-card.json", kvxtest::V3SoundCardProfile()},
        {"v3-jack-headset.json", kvxtest::V3JackHeadsetProfile()},
    };
    for (const auto& [name, text] : profiles) {
        const std::string path = std::string(KVX_PROFILE_DIR) + "/" + name;
        if (std::getenv("KVX_WRITE_V3_PROFILES") != nullptr) {
            std::ofstream(path, std::ios::binary) << text;
        }
        EXPECT_EQ(ReadText(path), text) << name;
    }
    const V3Bytes c = kvxtest::V3Configuration();
    ASSERT_EQ(c.size(), kvxtest::V3_TEMPLATE_BYTES + 25);
    // The blocks the rewrite looks at, where it looks for them.
    const std::pair<size_t, std::vector<uint8_t>> marks[] = {
        {28, {12, 0x24, 2, 1}},   {52, {10, 0x24, 6, 8}},   {62, {10, 0x24, 6, 9}},   {72, {25, 0x24, 4}},
        {97, {16, 0x24, 6}},      {113, {9, 0x24, 3, 3}},   {122, {13, 0x24, 4}},     {135, {9, 0x24, 3}},
        {144, {10, 0x24, 5}},     {166, {10, 0x24, 6, 15}}, {176, {10, 0x24, 6, 11}}, {198, {10, 0x24, 6, 2}},
        {208, {10, 0x24, 6, 16}}, {218, {9, 4, 1, 0}},      {227, {9, 4, 1, 1}},      {411, {9, 4, 1, 5}},
        {454, {9, 4, 2, 0}},      {509, {9, 4, 3, 0}},
    };
    for (const auto& [offset, bytes] : marks) {
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), c.begin() + static_cast<long>(offset))) << offset;
    }
}

class V3FunctionTest : public kvxtest::DeviceStartFixture {
protected:
    Uac1FunctionV3* V3() { return static_cast<Uac1FunctionV3*>(m_function); }
};

TEST_F(V3FunctionTest, TheSoundCardStartsWithItsDefaults)
{
    PlugProfile("v3-sound-card.json");
    ASSERT_EQ(StartDeviceObject(), STATUS_SUCCESS);
    ASSERT_EQ(m_usb->FunctionVariant(), UsbFunctionVariant::V3);
    Uac1FunctionV3* f = V3();
    EXPECT_FALSE(f->ChipMatched());
    EXPECT_FALSE(f->JackPollingEnabled());
    EXPECT_EQ(f->Switch(V3_DISABLE_STEREO_MIX_REC_UNIT), 1);
    EXPECT_EQ(f->Switch(V3_SUPPORT_HP_OUT), 1);
    EXPECT_EQ(f->Switch(V3_SUPPORT_SPDIF_OUT), 1);
    EXPECT_EQ(f->Switch(V3_DISABLE_8CH_OUT), 0);
    EXPECT_EQ(f->StoredCapabilities().ControlMask, 0x3FE08Fu);
    EXPECT_EQ(f->GetEndpointCount(), 2u);
    UsbAudioUnit* unit = nullptr;
    EXPECT_EQ(f->FindUnit(2, &unit), STATUS_UNSUCCESSFUL);  // stereo mix dropped
    EXPECT_EQ(f->FindUnit(14, &unit), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(f->FindUnit(18, &unit), STATUS_SUCCESS);
}
}  // namespace
