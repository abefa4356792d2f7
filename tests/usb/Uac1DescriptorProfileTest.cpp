// The UAC1 device profiles in sim/profiles: each loads, matches the descriptors it was written
// from (the builders below, after the example devices of the audio class), passes the descriptor
// check, and carries a chip string that selects no chip variant.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/Profile.h"
#include "usb/UacDescriptors.h"

namespace {

using sim::Bytes;
using sim::DescriptorBuilder;
using sim::DeviceIdentity;

DeviceIdentity Identity(uint16_t product) { return {0x1234, product, 0x0100, 0x0110, 1, 2, 0}; }

// Streaming input and the microphone's sidetone meet in a mixer, then a feature unit feeds the
// headphones; the microphone goes through its own feature unit to the streaming output. Render
// 16- and 24-bit stereo at 44.1 and 48 kHz, capture 16-bit mono at 48 kHz, a 2-byte status pipe.
DescriptorBuilder Headset()
{
    DescriptorBuilder b(Identity(0x5701));
    b.AudioControl(0, 0, {1, 2})
        .Uac1InputTerminal(1, 0x0101, 2, 0x0003)
        .Uac1InputTerminal(2, 0x0201, 1, 0x0000)
        .Uac1FeatureUnit(3, 2, {0x0003, 0x0000})
        .Uac1MixerUnit(4, {1, 3}, 2, 0x0003)
        .Uac1FeatureUnit(5, 4, {0x0001, 0x0002, 0x0002})
        .Uac1OutputTerminal(6, 0x0302, 5)
        .Uac1FeatureUnit(7, 2, {0x03, 0x00}, 1)
        .Uac1OutputTerminal(8, 0x0101, 7)
        .Endpoint(0x83, 0x03, 2, 32)
        .AudioStreaming(1, 0, 0)
        .AudioStreaming(1, 1, 0)
        .Uac1AsGeneral(1)
        .Uac1FormatTypeI(2, 2, 16, {44100, 48000})
        .Endpoint(0x01, 0x09, 196, 1)
        .Uac1AsEndpoint()
        .AudioStreaming(1, 2, 0)
        .Uac1AsGeneral(1)
        .Uac1FormatTypeI(2, 3, 24, {44100, 48000})
        .Endpoint(0x01, 0x09, 294, 1)
        .Uac1AsEndpoint()
        .AudioStreaming(2, 0, 0)
        .AudioStreaming(2, 1, 0)
        .Uac1AsGeneral(8)
        .Uac1FormatTypeI(1, 2, 16, {48000})
        .Endpoint(0x82, 0x05, 98, 1)
        .Uac1AsEndpoint();
    return b;
}

// A selector chooses between the streaming input and a line input; a feature unit follows it before
// the speaker. The stream offers a continuous range from 32 to 48 kHz.
DescriptorBuilder SpeakerSelector()
{
    DescriptorBuilder b(Identity(0x5702));
    b.AudioControl(0, 0, {1})
        .Uac1InputTerminal(1, 0x0101, 2, 0x0003)
        .Uac1InputTerminal(2, 0x0603, 2, 0x0003)
        .Uac1SelectorUnit(3, {1, 2})
        .Uac1FeatureUnit(4, 3, {0x0003, 0x0000, 0x0000})
        .Uac1OutputTerminal(5, 0x0301, 4)
        .AudioStreaming(1, 0, 0)
        .AudioStreaming(1, 1, 0)
        .Uac1AsGeneral(1)
        .Uac1FormatTypeRange(2, 2, 16, 32000, 48000)
        .Endpoint(0x01, 0x09, 196, 1)
        .Uac1AsEndpoint();
    return b;
}

// The microphone of the class's examples: a microphone terminal straight to the streaming output,
// mono 16-bit at 8 kHz, no status pipe.
DescriptorBuilder Microphone()
{
    DescriptorBuilder b(Identity(0x5703));
    b.AudioControl(0, 0, {1})
        .Uac1InputTerminal(1, 0x0201, 1, 0x0000)
        .Uac1OutputTerminal(2, 0x0101, 1)
        .AudioStreaming(1, 0, 0)
        .AudioStreaming(1, 1, 0)
        .Uac1AsGeneral(2)
        .Uac1FormatTypeI(1, 2, 16, {8000})
        .Endpoint(0x81, 0x01, 16, 1)
        .Uac1AsEndpoint(0);
    return b;
}

struct Fixture {
    const char* File;
    DescriptorBuilder (*Build)();
};
const Fixture kFixtures[] = {
    {"uac1-headset.json", Headset},
    {"uac1-speaker-selector.json", SpeakerSelector},
    {"uac1-microphone.json", Microphone},
};

std::string Hex(const Bytes& b)
{
    std::string out;
    char buf[4];
    for (size_t i = 0; i < b.size(); ++i) {
        std::snprintf(buf, sizeof buf, i == 0 ? "%02x" : " %02x", b[i]);
        out += buf;
    }
    return out;
}

// The chip string patterns that pick a chip variant or a probe.
bool SelectsAVariant(const std::u16string& s)
{
    for (const char16_t* prefix : {u"7305", u"QVR260", u"7301", u"7303"}) {
        if (s.rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return s.size() >= 3 && s[0] == 0x000B && s[1] == 0x0005 && s[2] == 0x0050;
}

TEST(Uac1DescriptorProfiles, EachLoadsMatchesItsBuilderAndPassesTheCheck)
{
    for (const Fixture& f : kFixtures) {
        const DescriptorBuilder b = f.Build();
        Bytes expected = b.DeviceDescriptor();
        const Bytes configuration = b.Configuration();
        expected.insert(expected.end(), configuration.begin(), configuration.end());
        if (std::getenv("KVX_PRINT_PROFILE_BYTES") != nullptr) {
            std::printf("%s\n%s\n", f.File, Hex(expected).c_str());
        }

        std::string error;
        auto device = sim::LoadProfile(std::string(KVX_PROFILE_DIR) + "/" + f.File, &error);
        if (device == nullptr) {
            ADD_FAILURE() << error;
            continue;
        }
        Bytes loaded = device->DeviceBytes();
        loaded.insert(loaded.end(), device->ConfigurationBytes().begin(), device->ConfigurationBytes().end());
        EXPECT_EQ(Hex(loaded), Hex(expected)) << f.File;

        const Bytes& c = device->ConfigurationBytes();
        EXPECT_EQ(ValidateUacConfiguration(c.data(), static_cast<ULONG>(c.size())), STATUS_SUCCESS) << f.File;

        const auto strings = device->Strings();
        const auto chip = strings.find(0x50);
        ASSERT_NE(chip, strings.end()) << f.File;
        EXPECT_FALSE(chip->second.empty()) << f.File;
        EXPECT_FALSE(SelectsAVariant(chip->second)) << f.File;
        EXPECT_TRUE(strings.count(1) == 1 && strings.count(2) == 1) << f.File;
    }
}

// The headset's terminals answer the jack requests, and an output written to the headphones reads back.
TEST(Uac1DescriptorProfiles, HeadsetTerminalsAnswerTheirVendorRequests)
{
    std::string error;
    auto device = sim::LoadProfile(std::string(KVX_PROFILE_DIR) + "/uac1-headset.json", &error);
    ASSERT_NE(device, nullptr) << error;
    auto request = [&](UCHAR type, UCHAR req, USHORT value, USHORT index, Bytes data) {
        USB_DEFAULT_PIPE_SETUP_PACKET s{};
        s.bmRequestType = type;
        s.bRequest = req;
        s.wValue = value;
        s.wIndex = index;
        s.wLength = static_cast<USHORT>(data.size());
        const auto r = device->Control(s, data.data(), static_cast<ULONG>(data.size()));
        data.resize(r.Outcome == platform::usb::UsbTransferResult::Kind::Done ? r.Length : 0);
        return data;
    };
    EXPECT_EQ(request(0xC1, 0x81, 0x02FF, 0x0600, Bytes(9)), (Bytes{1, 3, 0, 0, 0, 0x00, 0x10, 0x01, 0x01}));
    EXPECT_EQ(request(0xC1, 0x81, 0x0200, 0x0200, Bytes(6)), (Bytes{0, 1, 0, 0, 0, 0}));
    EXPECT_EQ(request(0xC1, 0x81, 0x0800, 0x0600, Bytes(2)), (Bytes{0x02, 0x03}));
    EXPECT_EQ(request(0x41, 0x81, 0x0800, 0x0600, Bytes{0x01, 0x03}).size(), 2u);
    EXPECT_EQ(request(0xC1, 0x81, 0x0800, 0x0600, Bytes(2)), (Bytes{0x01, 0x03}));
    // No vendor block and no output list: those requests stall, and the units go without them.
    EXPECT_TRUE(request(0xA1, 0x85, 0x0010, 0x0500, Bytes(2)).empty());
    EXPECT_TRUE(request(0xC1, 0x86, 0x0800, 0x0600, Bytes(2)).empty());
}

}  // namespace
