// Random and mutated configurations through the USBD helpers (the libFuzzer target does the same
// with coverage guidance when the compiler is clang); under the sanitizers this shows any read
// past the bytes given.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "tests/fuzz/UsbdFuzzBody.h"

namespace {

using Bytes = std::vector<uint8_t>;

// A plausible audio configuration to mutate from.
Bytes Seed()
{
    Bytes b = {9, 2, 0, 0, 3, 1, 0, 0x80, 50,
               9, 4, 0, 0, 1, 1, 1, 0, 0,          // AudioControl
               9, 0x24, 1, 0, 1, 9, 0, 2, 1,       // header
               7, 5, 0x83, 3, 2, 0, 4,             // interrupt endpoint
               9, 4, 1, 0, 0, 1, 2, 0, 0,          // AudioStreaming, zero bandwidth
               9, 4, 1, 1, 2, 1, 2, 0, 0,          // AudioStreaming, streaming
               7, 0x24, 1, 1, 1, 1, 0,
               9, 5, 0x01, 5, 0xC0, 0, 1, 0, 0x82,
               9, 5, 0x82, 0x11, 3, 0, 1, 3, 0,
               9, 4, 2, 0, 0, 1, 2, 0, 0};
    b[2] = static_cast<uint8_t>(b.size());
    b[3] = static_cast<uint8_t>(b.size() >> 8);
    return b;
}

Bytes Mutate(std::mt19937& rng, Bytes b)
{
    std::uniform_int_distribution<int> op(0, 6);
    std::uniform_int_distribution<int> byte(0, 255);
    const int edits = 1 + static_cast<int>(rng() % 6);
    for (int i = 0; i < edits && !b.empty(); ++i) {
        const size_t at = rng() % b.size();
        switch (op(rng)) {
        case 0: b[at] = static_cast<uint8_t>(byte(rng)); break;
        case 1: b[at] = static_cast<uint8_t>(rng() % 3); break;                 // zero and tiny lengths
        case 2: b[at] = 0xFF; break;                                            // oversize lengths
        case 3: b.resize(at + 1); break;                                        // truncation
        case 4: b.insert(b.begin() + static_cast<ptrdiff_t>(at), static_cast<uint8_t>(byte(rng))); break;
        case 5: if (b.size() > 3) { b[2] = static_cast<uint8_t>(byte(rng)); b[3] = static_cast<uint8_t>(rng() % 2); } break;
        default: if (b.size() > 4) { b[4] = static_cast<uint8_t>(byte(rng)); } break;  // bNumInterfaces
        }
    }
    return b;
}

TEST(UsbdFuzzTest, MutatedConfigurationsStayWithinTheirBytes)
{
    std::mt19937 rng(20261210);
    const Bytes seed = Seed();
    ASSERT_TRUE(kvxfuzz::RunUsbdOnce(seed.data(), seed.size()));
    for (int i = 0; i < 3000; ++i) {
        const Bytes b = Mutate(rng, seed);
        ASSERT_TRUE(kvxfuzz::RunUsbdOnce(b.data(), b.size())) << "case " << i;
    }
}

TEST(UsbdFuzzTest, RandomBytesStayWithinTheirBytes)
{
    std::mt19937 rng(7);
    for (int i = 0; i < 2000; ++i) {
        Bytes b(1 + rng() % 300);
        for (auto& x : b) {
            x = static_cast<uint8_t>(rng() % 4 == 0 ? rng() % 10 : rng());
        }
        if (b.size() >= 2 && rng() % 2) {
            b[1] = 2;  // a configuration header most of the time
        }
        ASSERT_TRUE(kvxfuzz::RunUsbdOnce(b.data(), b.size())) << "case " << i;
    }
}

}  // namespace
