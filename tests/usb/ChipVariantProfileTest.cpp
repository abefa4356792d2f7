// The chip-variant headset profiles in sim/profiles: each loads, matches the descriptors it was
// written from (the builders below, after the class definition's example headsets), passes the
// descriptor check and carries the chip string of its variant where the driver looks for it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim/Profile.h"
#include "usb/UacDescriptors.h"

namespace {

using sim::Bytes;
using sim::DescriptorBuilder;
using sim::DeviceIdentity;

// Streaming input through feature units 9 and 10 to the headphones; the microphone through units
// 11 to 15 to the streaming output. Render 16-bit stereo at 44.1 and 48 kHz, capture 16-bit mono
// at 48 kHz, a 2-byte status pipe.
DescriptorBuilder V4Headset()
{
    DescriptorBuilder b(DeviceIdentity{0x1234, 0x5731, 0x0100, 0x0110, 1, 2, 0});
    b.AudioControl(0, 0, {1, 2})
        .Uac1InputTerminal(1, 0x0101, 2, 0x0003)
        .Uac1FeatureUnit(9, 1, {0x0001, 0x0002, 0x0002})
        .Uac1FeatureUnit(10, 9, {0x0001, 0x0002, 0x0002})
        .Uac1OutputTerminal(3, 0x0302, 10)
        .Uac1InputTerminal(4, 0x0201, 1, 0x0000)
        .Uac1FeatureUnit(11, 4, {0x0003})
        .Uac1FeatureUnit(12, 11, {0x0003})
        .Uac1FeatureUnit(13, 12, {0x0003})
        .Uac1FeatureUnit(14, 13, {0x0003})
        .Uac1FeatureUnit(15, 14, {0x0003})
        .Uac1OutputTerminal(5, 0x0101, 15)
        .Endpoint(0x83, 0x03, 2, 32)
        .AudioStreaming(1, 0, 0)
        .AudioStreaming(1, 1, 0)
        .Uac1AsGeneral(1)
        .Uac1FormatTypeI(2, 2, 16, {44100, 48000})
        .Endpoint(0x01, 0x09, 196, 1)
        .Uac1AsEndpoint()
        .AudioStreaming(2, 0, 0)
        .AudioStreaming(2, 1, 0)
        .Uac1AsGeneral(5)
        .Uac1FormatTypeI(1, 2, 16, {48000})
        .Endpoint(0x82, 0x05, 98, 1)
        .Uac1AsEndpoint();
    return b;
}

// The V5 headset of its one vendor: streaming input through units 9 and 10 to speaker terminal 6
// (its headphones), the microphone through units 13 and 14 to the streaming output.
DescriptorBuilder V5Headset()
{
    DescriptorBuilder b(DeviceIdentity{0x1B1C, 0x0A06, 0x0100, 0x0110, 1, 2, 0});
    b.AudioControl(0, 0, {1, 2})
        .Uac1InputTerminal(1, 0x0101, 2, 0x0003)
        .Uac1FeatureUnit(9, 1, {0x0001, 0x0002, 0x0002})
        .Uac1FeatureUnit(10, 9, {0x0001, 0x0002, 0x0002})
        .Uac1OutputTerminal(6, 0x0301, 10)
        .Uac1InputTerminal(2, 0x0201, 1, 0x0000)
        .Uac1FeatureUnit(13, 2, {0x0003})
        .Uac1FeatureUnit(14, 13, {0x0003})
        .Uac1OutputTerminal(7, 0x0101, 14)
        .Endpoint(0x83, 0x03, 2, 32)
        .AudioStreaming(1, 0, 0)
        .AudioStreaming(1, 1, 0)
        .Uac1AsGeneral(1)
        .Uac1FormatTypeI(2, 2, 16, {48000})
        .Endpoint(0x01, 0x09, 196, 1)
        .Uac1AsEndpoint()
        .AudioStreaming(2, 0, 0)
        .AudioStreaming(2, 1, 0)
        .Uac1AsGeneral(7)
        .Uac1FormatTypeI(1, 2, 16, {48000})
        .Endpoint(0x82, 0x05, 98, 1)
        .Uac1AsEndpoint();
    return b;
}

// The effects headset: streaming input through feature unit 2 (with the vendor effect controls in
// its memory space) to the headphones; the microphone through unit 5 to the streaming output.
DescriptorBuilder V6EffectsHeadset()
{
    DescriptorBuilder b(DeviceIdentity{0x1234, 0x5734, 0x0100, 0x0110, 1, 2, 0});
    b.AudioControl(0, 0, {1, 2})
        .Uac1InputTerminal(1, 0x0101, 2, 0x0003)
        .Uac1FeatureUnit(2, 1, {0x0001, 0x0002, 0x0002})
        .Uac1OutputTerminal(3, 0x0302, 2)
        .Uac1InputTerminal(4, 0x0201, 1, 0x0000)
        .Uac1FeatureUnit(5, 4, {0x0003})
        .Uac1OutputTerminal(6, 0x0101, 5)
        .Endpoint(0x83, 0x03, 2, 32)
        .AudioStreaming(1, 0, 0)
        .AudioStreaming(1, 1, 0)
        .Uac1AsGeneral(1)
        .Uac1FormatTypeI(2, 2, 16, {44100, 48000})
        .Endpoint(0x01, 0x09, 196, 1)
        .Uac1AsEndpoint()
        .AudioStreaming(2, 0, 0)
        .AudioStreaming(2, 1, 0)
        .Uac1AsGeneral(6)
        .Uac1FormatTypeI(1, 2, 16, {48000})
        .Endpoint(0x82, 0x05, 98, 1)
        .Uac1AsEndpoint();
    return b;
}

struct Fixture {
    const char* File;
    DescriptorBuilder (*Build)();
    uint8_t ChipIndex;
    const char16_t* Chip;
};
const Fixture kFixtures[] = {
    {"v4-headset.json", V4Headset, 0x50, u"7301"},
    {"v5-headset.json", V5Headset, 0x32, u"7303"},
    {"v6-effects-headset.json", V6EffectsHeadset, 0x50, u"7304"},
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

TEST(ChipVariantProfiles, EachLoadsMatchesItsBuilderAndCarriesItsChipString)
{
    for (const Fixture& f : kFixtures) {
        SCOPED_TRACE(f.File);
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
        EXPECT_EQ(Hex(loaded), Hex(expected));
        const Bytes& c = device->ConfigurationBytes();
        EXPECT_EQ(ValidateUacConfiguration(c.data(), static_cast<ULONG>(c.size())), STATUS_SUCCESS);
        const auto strings = device->Strings();
        const auto chip = strings.find(f.ChipIndex);
        ASSERT_NE(chip, strings.end());
        EXPECT_EQ(chip->second, f.Chip);
    }
}

}  // namespace
