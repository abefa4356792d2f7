// Raw-data (DSD) I/O on a UAC2 device whose ASIO endpoint lists raw formats beside PCM, and the
// vendor request a device of the quirk table gets when ASIO streaming starts and stops.
#include <algorithm>
#include <cstring>

#include "asio/AsioDevice.h"
#include "platform/nt/Dispatcher.h"
#include "tests/asio/AsioFixture.h"

namespace kvxtest {
namespace {

namespace code = host::asio;

constexpr int32_t DSD64 = 2822400;

class AsioRawFormatTest : public AsioFixture {
protected:
    // The microphone's raw formats: 32-bit mono (alternate setting 2, listed first) and 32-bit
    // stereo (3), each at 44.1, 48 and 88.2 kHz, after its 16-bit mono PCM. The headphones are
    // no ASIO endpoint (UAC2 render endpoints are not, unless the identity says so).
    void StartRaw() { StartDevice("uac2-asio-raw.json"); }
};

struct RawCase {
    const char* What;
    ULONG Code;
    std::vector<uint8_t> Input;
    ULONG OutputLength;
    NTSTATUS Status;
    std::vector<int32_t> Reply;
};

// One client through the raw-data I/O in order: each row sees what the rows before it set.
TEST_F(AsioRawFormatTest, RawIoFindsItsRatesWithoutDividingByFormatsItCannotUse)
{
    StartRaw();
    host::AsioSession& client = Client();
    const std::vector<RawCase> steps = {
        {"PCM channels: the microphone only", code::GET_CHANNELS, {}, 16, STATUS_SUCCESS, {1, 0, 1, 0}},
        // The raw formats' 32-bit containers carry no PCM samples: only the 16-bit PCM type is
        // offered, none a creation could not find a format for.
        {"sample types: the PCM formats' only", code::GET_SAMPLE_TYPES, {}, 64, STATUS_SUCCESS, {16, 1, 16}},
        {"raw I/O is listed", code::CAN_IO_FORMAT, Longs({1}), 0, STATUS_SUCCESS, {}},
        {"and now selected", code::GET_IO_FORMAT, {}, 4, STATUS_SUCCESS, {1}},
        {"raw channels: the widest raw format", code::GET_CHANNELS, {}, 16, STATUS_SUCCESS, {1, 0, 2, 0}},
        // 32-bit stereo at 88.2 kHz carries 2.8224 MHz; the mono 32-bit format before it has no
        // channel pair to divide by and is passed over.
        {"DSD64", code::CAN_SAMPLE_RATE, Longs({DSD64}), 0, STATUS_SUCCESS, {}},
        {"DSD128 needs 176.4 kHz", code::CAN_SAMPLE_RATE, Longs({2 * DSD64}), 0, STATUS_UNSUCCESSFUL, {}},
        {"a PCM rate for a raw client", code::SET_SAMPLE_RATE, Longs({48000}), 0, STATUS_INVALID_PARAMETER, {}},
        {"set DSD64", code::SET_SAMPLE_RATE, Longs({DSD64}), 0, STATUS_SUCCESS, {}},
        {"latencies at 20 ms", code::GET_LATENCIES, {}, 8, STATUS_SUCCESS, {56320, 112640}},
        {"buffer sizes in 64-frame steps", code::GET_BUFFER_SIZE, {}, 16, STATUS_SUCCESS, {16896, 140800, 56320, 64}},
        {"channel type", code::GET_CHANNEL_INFO, Longs({1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}), 52, STATUS_SUCCESS,
         {1, 1, 0, 0, 33}},
    };
    for (const RawCase& c : steps) {
        SCOPED_TRACE(c.What);
        const host::AsioReply reply = client.Control(c.Code, c.Input, c.OutputLength);
        EXPECT_EQ(reply.Status, c.Status);
        for (size_t k = 0; k < c.Reply.size(); ++k) {
            EXPECT_EQ(LongAt(reply.Output, k), c.Reply[k]) << "word " << k;
        }
    }
    EXPECT_EQ(Device()->AsioSampleRate(), static_cast<ULONG>(DSD64));
}

// Buffers for raw I/O: a raw client whose rate is a PCM one is refused before anything is built
// (the transfer arithmetic divides by the rate over 64,000), and one at DSD64 finds no 64-bit
// raw container on a UAC2 endpoint (their subslots end at 4 bytes). Either leaves nothing
// behind, and the client can go back to PCM and stream.
TEST_F(AsioRawFormatTest, RawBuffersAreRefusedCleanly)
{
    StartRaw();
    host::AsioSession& client = Client();
    std::vector<host::AsioBufferView*> buffers;
    ASSERT_EQ(client.SetLong(code::SET_IO_FORMAT, 1), STATUS_SUCCESS);
    EXPECT_EQ(client.CreateBuffers({{1, 0}, {1, 1}}, 2048, 1, &buffers), STATUS_INVALID_PARAMETER);
    ExpectNoBuffers(2);

    ASSERT_EQ(client.SetLong(code::SET_SAMPLE_RATE, DSD64), STATUS_SUCCESS);
    EXPECT_EQ(client.CreateBuffers({{1, 0}, {1, 1}}, 2048, 1, &buffers), STATUS_NO_MATCH);
    ExpectNoBuffers(2);
    EXPECT_EQ(LongAt(client.Control(code::GET_BUSY, nullptr, 0, 4).Output, 0), 0);

    ASSERT_EQ(client.SetLong(code::SET_IO_FORMAT, 0), STATUS_SUCCESS);
    ASSERT_EQ(client.SetLong(code::SET_SAMPLE_RATE, 48000), STATUS_SUCCESS);
    ASSERT_EQ(client.CreateBuffers({{1, 0}}, 256, 1, &buffers), STATUS_SUCCESS);
    EXPECT_EQ(buffers[0]->Size, 3840u);
    ASSERT_EQ(client.StartStreaming(buffers, 4, 256, {}), STATUS_SUCCESS);
    EXPECT_TRUE(Device()->AsioRunning());
    EXPECT_EQ(client.StopStreaming(), STATUS_SUCCESS);
}

// A device of the quirk table is told when ASIO streaming starts (wValue 1) and stops (0), by a
// vendor device request without data, once each; its stored sample type (24 in 32) is the
// default every client gets.
TEST_F(AsioRawFormatTest, AQuirkDeviceIsToldWhenAsioStreamingStartsAndStops)
{
    StartDevice("uac2-asio-quirk.json");
    m_session.Device().SetSource(0x82, {48000, 1, 4});
    host::AsioSession& client = Client();
    std::vector<uint8_t> info(52, 0);
    info[4] = 1;  // input channel 0
    EXPECT_EQ(LongAt(client.Control(code::GET_CHANNEL_INFO, info, 52).Output, 4), 27);
    auto quirkRequests = [this](uint16_t value) {
        size_t n = 0;
        for (const sim::RequestLogEntry& e : m_session.Device().Log()) {
            n += e.What == sim::RequestLogEntry::Kind::Control && e.Setup.bmRequestType == 0x40 &&
                 e.Setup.bRequest == 0x07 && e.Setup.wValue == value && e.Setup.wIndex == 0 && e.Setup.wLength == 0 &&
                 e.Outcome == "ok";
        }
        return n;
    };
    std::vector<host::AsioBufferView*> buffers;
    ASSERT_EQ(client.CreateBuffers({{1, 0}}, 256, 1, &buffers), STATUS_SUCCESS);
    EXPECT_EQ(buffers[0]->Size, 48u * 4 * 40);
    EXPECT_EQ(quirkRequests(1), 0u);
    std::vector<uint8_t> captured;
    host::AsioSession::StreamHooks hooks;
    hooks.Capture = [&](size_t, uint64_t, const uint8_t* data, size_t bytes) {
        captured.insert(captured.end(), data, data + bytes);
    };
    ASSERT_EQ(client.StartStreaming(buffers, 4, 256, hooks), STATUS_SUCCESS);
    EXPECT_EQ(quirkRequests(1), 1u);
    EXPECT_EQ(quirkRequests(0), 0u);
    platform::RunFor(std::chrono::milliseconds(100));
    ASSERT_EQ(client.StopStreaming(), STATUS_SUCCESS);
    EXPECT_EQ(quirkRequests(1), 1u);
    EXPECT_EQ(quirkRequests(0), 1u);
    // The capture ring holds the source's 32-bit samples.
    ASSERT_GE(captured.size(), 4u * 48 * 50);
    for (size_t i = 0; i < captured.size() / 4; ++i) {
        int32_t sample = 0;
        std::memcpy(&sample, &captured[4 * i], 4);
        ASSERT_EQ(sample, sim::SimDevice::SourceSample(i, 0, 4)) << "sample " << i;
    }
    EXPECT_EQ(client.Control(code::DISPOSE_BUFFERS, nullptr, 0, 0).Status, STATUS_SUCCESS);
}

}  // namespace
}  // namespace kvxtest
