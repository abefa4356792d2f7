// Mutated and random configurations as a simulated device's descriptors, through the USB device
// object's start (the libFuzzer target runs the same body with coverage guidance when the compiler
// is clang). Under the sanitizers this shows any read past the bytes the device sent; the harness
// fails a round that leaks or leaves a verifier fault.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "sim/DescriptorBuilder.h"
#include "tests/fuzz/ConfigureFuzzBody.h"
#include "tests/fuzz/UsbdFuzzBody.h"

namespace {

using sim::Bytes;

Bytes Uac1Seed()
{
    sim::DescriptorBuilder b;
    b.AudioControl(0, 0, {1, 2})
        .Uac1InputTerminal(1, 0x0101, 2)
        .Uac1FeatureUnit(2, 1, {0x0001, 0x0002, 0x0002})
        .Uac1OutputTerminal(3, 0x0301, 2)
        .Endpoint(0x83, 0x03, 2, 8, false)
        .AudioStreaming(1, 0, 0)
        .AudioStreaming(1, 1, 0)
        .Uac1AsGeneral(1)
        .Uac1FormatTypeI(2, 2, 16, {48000, 44100})
        .Endpoint(0x01, 0x09, 192, 1)
        .Uac1AsEndpoint()
        .AudioStreaming(2, 0, 0)
        .AudioStreaming(2, 1, 0)
        .Uac1AsGeneral(3)
        .Uac1FormatTypeI(2, 2, 16, {48000})
        .Endpoint(0x82, 0x05, 200, 1)
        .Uac1AsEndpoint();
    return b.Configuration();
}

Bytes Uac2Seed()
{
    sim::DescriptorBuilder b;
    b.AudioControl(0, 0x20, {1})
        .Uac2ClockSource(10)
        .Uac2InputTerminal(1, 0x0101, 10, 2)
        .Uac2OutputTerminal(2, 0x0301, 1, 10)
        .AudioStreaming(1, 0, 0x20);
    return b.Configuration();
}

Bytes Mutate(std::mt19937& rng, Bytes b)
{
    const int edits = 1 + static_cast<int>(rng() % 5);
    for (int e = 0; e < edits && !b.empty(); ++e) {
        const size_t at = rng() % b.size();
        switch (rng() % 6) {
        case 0: b[at] = static_cast<uint8_t>(rng()); break;
        case 1: b[at] = static_cast<uint8_t>(rng() % 3); break;  // zero and tiny lengths
        case 2: b[at] = 0xFF; break;                            // oversize lengths
        case 3: b.resize(std::max<size_t>(at, 1)); break;       // truncation
        case 4: b.insert(b.begin() + static_cast<ptrdiff_t>(at), static_cast<uint8_t>(rng())); break;
        default:  // a lying wTotalLength or bNumInterfaces
            if (b.size() > 4) {
                b[2 + rng() % 3] = static_cast<uint8_t>(rng());
            }
            break;
        }
    }
    return b;
}

TEST(ConfigureFuzzTest, MutatedConfigurationsStartOrAreRefused)
{
    std::mt19937 rng(20261210);
    for (const Bytes& seed : {Uac1Seed(), Uac2Seed()}) {
        ASSERT_TRUE(kvxfuzz::RunConfigureOnce(seed.data(), seed.size()));
        for (int round = 0; round < 300; ++round) {
            const Bytes b = Mutate(rng, seed);
            ASSERT_TRUE(kvxfuzz::RunConfigureOnce(b.data(), b.size())) << "round " << round;
        }
    }
}

TEST(ConfigureFuzzTest, RandomBytesStartOrAreRefused)
{
    std::mt19937 rng(11);
    for (int round = 0; round < 200; ++round) {
        Bytes b(rng() % 200);
        for (auto& x : b) {
            x = static_cast<uint8_t>(rng() % 4 == 0 ? rng() % 10 : rng());
        }
        if (b.size() >= 2 && rng() % 2) {
            b[1] = USB_CONFIGURATION_DESCRIPTOR_TYPE;
        }
        ASSERT_TRUE(kvxfuzz::RunConfigureOnce(b.data(), b.size())) << "round " << round;
    }
}

// The fuzzer's corpus (the profiles, with their control replies, and hostile variations of
// them) replayed in every build: each input starts or is refused, leaving nothing behind.
TEST(ConfigureFuzzTest, SeedCorpusReplaysCleanly)
{
    size_t replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(KVX_FUZZ_SEED_DIR)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const Bytes b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_TRUE(kvxfuzz::RunUsbdOnce(b.data(), b.size())) << entry.path();
        EXPECT_TRUE(kvxfuzz::RunConfigureOnce(b.data(), b.size())) << entry.path();
        ++replayed;
    }
    EXPECT_GT(replayed, 0u) << "no seed found in " << KVX_FUZZ_SEED_DIR;
}

}  // namespace
