// The loop from an OUT endpoint back into an IN endpoint: what comes back, when, in which format,
// and how a profile asks for it.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "sim/Loopback.h"
#include "sim/Profile.h"

namespace {

using sim::Bytes;

// 16-bit stereo at 48 kHz: sample (position p, channel c) of the OUT stream.
int16_t OutSample(int64_t p, uint32_t c) { return static_cast<int16_t>(p * 3 + 1 + c * 1000); }

void PlayFrames(sim::Loopback& loop, uint32_t from, uint32_t to)
{
    for (uint32_t f = from; f < to; ++f) {
        Bytes packet(48 * 4);
        for (uint32_t k = 0; k < 48; ++k) {
            for (uint32_t c = 0; c < 2; ++c) {
                const int16_t v = OutSample(static_cast<int64_t>(f - from) * 48 + k, c);
                packet[k * 4 + c * 2] = static_cast<uint8_t>(v);
                packet[k * 4 + c * 2 + 1] = static_cast<uint8_t>(v >> 8);
            }
        }
        loop.Out(f, 0, 48000, {2, 2}, packet.data(), static_cast<uint32_t>(packet.size()));
    }
}

TEST(LoopbackTest, TheInEndpointReturnsThePlayedSamplesOneTransferPlusTheDelayLater)
{
    struct Case {
        uint32_t Delay;
        uint32_t TransferFrames;
    };
    for (const Case k : {Case{0, 1}, Case{7, 1}, Case{100, 1}, Case{0, 3}, Case{48, 2}}) {
        SCOPED_TRACE(testing::Message() << "delay " << k.Delay << ", transfer " << k.TransferFrames);
        sim::Loopback loop({0x01, 0x82, k.Delay}, 8);
        PlayFrames(loop, 1000, 1020);  // positions 0 .. 959 from frame 1000 on
        loop.InTransfer(1020, k.TransferFrames);
        const int64_t lag = 48 * k.TransferFrames + k.Delay;
        for (uint32_t f = 1000; f < 1020 + k.TransferFrames; ++f) {
            Bytes packet(200, 0xEE);
            ASSERT_EQ(loop.In(f, 0, 48000, {2, 2}, packet.data(), static_cast<uint32_t>(packet.size())), 192u);
            for (uint32_t s = 0; s < 48; ++s) {
                const int64_t source = static_cast<int64_t>(f - 1000) * 48 + s - lag;
                for (uint32_t c = 0; c < 2; ++c) {
                    const auto got = static_cast<int16_t>(packet[s * 4 + c * 2] | packet[s * 4 + c * 2 + 1] << 8);
                    const int16_t want = source >= 0 && source < 960 ? OutSample(source, c) : 0;
                    ASSERT_EQ(got, want) << "frame " << f << " sample " << s << " channel " << c;
                }
            }
        }
    }
}

TEST(LoopbackTest, ChannelsMatchByNumberAndSamplesKeepTheirTopBytes)
{
    sim::Loopback loop({0x01, 0x82, 0}, 8);
    // 24-bit stereo out: channel 0 = 0x123456, channel 1 = 0x7FFFFF.
    Bytes out;
    for (int k = 0; k < 48; ++k) out.insert(out.end(), {0x56, 0x34, 0x12, 0xFF, 0xFF, 0x7F});
    loop.Out(10, 0, 48000, {2, 3}, out.data(), static_cast<uint32_t>(out.size()));
    loop.InTransfer(11, 1);
    // Mono 16-bit in: the top two bytes of channel 0.
    Bytes mono(96, 0xEE);
    ASSERT_EQ(loop.In(11, 0, 48000, {1, 2}, mono.data(), 96), 96u);
    EXPECT_EQ(mono[0], 0x34);
    EXPECT_EQ(mono[1], 0x12);
    // Four 32-bit channels in: two from the loop (low byte 0), two silent.
    Bytes quad(48 * 16, 0xEE);
    ASSERT_EQ(loop.In(11, 0, 48000, {4, 4}, quad.data(), static_cast<uint32_t>(quad.size())), 48u * 16);
    EXPECT_EQ(Bytes(quad.begin(), quad.begin() + 16),
              (Bytes{0, 0x56, 0x34, 0x12, 0, 0xFF, 0xFF, 0x7F, 0, 0, 0, 0, 0, 0, 0, 0}));
    // A packet with room for less than its interval's frames gets whole frames only.
    Bytes small(10, 0xEE);
    EXPECT_EQ(loop.In(11, 0, 48000, {2, 2}, small.data(), 10), 8u);
}

TEST(LoopbackTest, HighSpeedPacketsAndRatesThatDoNotDivideTheFrame)
{
    // 44.1 kHz at one packet per microframe: 5 or 6 frames each, 44,100 a second in all.
    sim::Loopback loop({0x01, 0x82, 0}, 1);
    uint32_t total = 0;
    for (uint32_t f = 0; f < 1000; ++f) {
        for (uint32_t m = 0; m < 8; ++m) {
            Bytes packet(64);
            total += loop.In(f, m, 44100, {2, 2}, packet.data(), 64) / 4;
        }
    }
    EXPECT_EQ(total, 44100u);
}

std::string ReadFile(const std::string& path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST(LoopbackTest, TheAsioHeadsetProfileLoopsItsOutputIntoItsInputAndKeepsItWhenSaved)
{
    std::string error;
    auto device = sim::LoadProfile(std::string(KVX_PROFILE_DIR) + "/uac1-asio-headset.json", &error);
    ASSERT_NE(device, nullptr) << error;
    const auto loops = device->Loopbacks();
    ASSERT_EQ(loops.size(), 1u);
    EXPECT_EQ(loops[0].Out, 0x01);
    EXPECT_EQ(loops[0].In, 0x82);
    EXPECT_EQ(loops[0].Delay, 0u);
    auto again = sim::ParseProfile(sim::SaveProfile(*device), ".", &error);
    ASSERT_NE(again, nullptr) << error;
    ASSERT_EQ(again->Loopbacks().size(), 1u);
    EXPECT_EQ(again->Loopbacks()[0].In, 0x82);
    // An explicit source replaces the loop.
    again->SetSource(0x82, {48000, 1, 2});
    EXPECT_TRUE(again->Loopbacks().empty());
}

// A UAC 2.0 device at high speed: the OUT endpoint's 24-in-32 setting loops into the 16-bit
// microphone at the clock's rate, one packet a microframe; with the OUT interface idle the
// microphone sends its source again.
TEST(LoopbackTest, AUac2DeviceLoopsItsStreamingSettingAtItsClocksRate)
{
    std::string error;
    auto device = sim::LoadProfile(std::string(KVX_PROFILE_DIR) + "/uac2-headset.json", &error);
    ASSERT_NE(device, nullptr) << error;
    device->SetClockRates(10, {48000});
    ASSERT_TRUE(device->SetLoopback({0x01, 0x82, 5}));
    ASSERT_TRUE(device->SelectInterface(1, 2));  // 24-in-32 stereo
    ASSERT_TRUE(device->SelectInterface(2, 1));  // 16-bit mono
    // 6 frames a microframe; sample n of channel 0 is n << 16 (low 16 bits empty).
    for (uint32_t u = 0; u < 16; ++u) {
        Bytes packet(6 * 8);
        for (uint32_t k = 0; k < 6; ++k) {
            const uint32_t value = (u * 6 + k + 1) << 16;
            for (int b = 0; b < 4; ++b) packet[k * 8 + b] = static_cast<uint8_t>(value >> (8 * b));
        }
        ASSERT_EQ(device->IsochronousOut(0x01, 100 + u / 8, u % 8, packet.data(), 48), USBD_STATUS_SUCCESS);
    }
    device->IsochronousUrbFault(0x82, 102, 1);  // a 1 ms IN transfer: 48 frames behind
    Bytes in(26, 0xEE);
    ULONG actual = 0;
    ASSERT_EQ(device->IsochronousIn(0x82, 102, 0, in.data(), 26, &actual), USBD_STATUS_SUCCESS);
    ASSERT_EQ(actual, 12u);
    for (uint32_t k = 0; k < 6; ++k) {
        // Position 96 + k less the lag and the delay: OUT sample 43 + k.
        EXPECT_EQ(in[2 * k] | in[2 * k + 1] << 8, static_cast<int>(96 + k - 48 - 5 + 1)) << k;
    }
    ASSERT_TRUE(device->SelectInterface(1, 0));
    ASSERT_EQ(device->IsochronousIn(0x82, 102, 1, in.data(), 26, &actual), USBD_STATUS_SUCCESS);
    ASSERT_GE(actual, 2u);
    EXPECT_EQ(static_cast<int16_t>(in[0] | in[1] << 8), static_cast<int16_t>(sim::SimDevice::SourceSample(0, 0, 2)));
}

TEST(LoopbackTest, MalformedLoopsAreRefusedWithOneClearLine)
{
    std::string text = ReadFile(std::string(KVX_PROFILE_DIR) + "/uac1-asio-headset.json");
    const std::string key = "\"loopback\": {\"out\": \"0x01\", \"in\": \"0x82\", \"delay\": 0}";
    const size_t at = text.find(key);
    ASSERT_NE(at, std::string::npos);
    struct Case {
        const char* loop;
        const char* message;
    };
    const Case cases[] = {
        {"\"loopback\": 5", "\"loopback\": must be an object"},
        {"\"loopback\": [{\"out\": 1, \"in\": 130}]", "\"loopback\"[0].\"delay\": must be a whole number"},
        {"\"loopback\": {\"out\": 1, \"in\": 130, \"delay\": 96001}", "\"delay\": must be a whole number of frames"},
        {"\"loopback\": {\"out\": \"0x1g\", \"in\": 130, \"delay\": 0}", "\"out\": must be an endpoint address"},
        {"\"loopback\": {\"out\": 130, \"in\": 1, \"delay\": 0}", "needs an isochronous OUT data endpoint"},
        {"\"loopback\": {\"out\": 1, \"in\": 131, \"delay\": 0}", "needs an isochronous OUT data endpoint"},
        {"\"loopback\": {\"out\": 1, \"in\": 130, \"delay\": 0, \"gain\": 1}", "\"loopback\".\"gain\": unknown key"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.loop);
        std::string edited = text;
        edited.replace(at, key.size(), k.loop);
        std::string error;
        EXPECT_EQ(sim::ParseProfile(edited, ".", &error), nullptr);
        EXPECT_NE(error.find(k.message), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

}  // namespace
