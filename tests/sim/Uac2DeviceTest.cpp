// The UAC 2.0 class model of the simulated device and the UAC 2.0 fixtures in sim/profiles.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/Profile.h"
#include "tests/sim/Uac2Fixtures.h"

namespace {

using platform::usb::UsbTransferResult;
using sim::Bytes;
using Kind = UsbTransferResult::Kind;
using Id = kvxtest::Uac2HeadsetIds;

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

struct Answer {
    Kind Outcome;
    Bytes Data;
};

Answer Ask(sim::SimDevice& d, uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length,
           Bytes out = {})
{
    USB_DEFAULT_PIPE_SETUP_PACKET s{type, request, value, index, length};
    Bytes buffer = out.empty() ? Bytes(length, 0xEE) : out;
    const UsbTransferResult r = d.Control(s, buffer.data(), static_cast<ULONG>(buffer.size()));
    buffer.resize(r.Outcome == Kind::Done && (type & 0x80) ? r.Length : 0);
    return {r.Outcome, buffer};
}

sim::SimDevice Built(const sim::DescriptorBuilder& b, std::optional<bool> highSpeed = std::nullopt)
{
    return sim::SimDevice(b.DeviceDescriptor(), b.Configuration(), highSpeed);
}

const struct {
    const char* File;
    std::function<sim::DescriptorBuilder()> Build;
    bool HighSpeed;
    std::map<uint8_t, std::vector<uint32_t>> Rates;
} kFixtures[] = {
    {"uac2-headset.json", [] { return kvxtest::Uac2Headset(true); }, true, {{10, {44100, 48000, 96000}}}},
    {"uac2-headset-fs.json", [] { return kvxtest::Uac2Headset(false); }, false, {{10, {44100, 48000}}}},
    {"uac2-clock-selector.json", kvxtest::Uac2ClockSelectorDevice, true, {{10, {44100, 88200}}, {11, {48000, 96000}}}},
};

TEST(Uac2Fixtures, EachLoadsAndMatchesItsBuilder)
{
    for (const auto& f : kFixtures) {
        SCOPED_TRACE(f.File);
        const sim::DescriptorBuilder b = f.Build();
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
        EXPECT_TRUE(device->IsUac2());
        EXPECT_EQ(device->IsHighSpeed(), f.HighSpeed);
        EXPECT_EQ(device->ClockRates(), f.Rates);
        const auto strings = device->Strings();
        EXPECT_TRUE(strings.count(1) == 1 && strings.count(2) == 1);
    }
}

// The headsets' defaults: clock valid, every alternate setting valid, Connectors all connected;
// the jack lists come from the profile's requests.
TEST(Uac2Fixtures, HeadsetsAnswerClockConnectorsAlternatesAndJacks)
{
    for (const char* file : {"uac2-headset.json", "uac2-headset-fs.json"}) {
        SCOPED_TRACE(file);
        std::string error;
        auto d = sim::LoadProfile(std::string(KVX_PROFILE_DIR) + "/" + file, &error);
        ASSERT_NE(d, nullptr) << error;
        EXPECT_EQ(Ask(*d, 0xA1, 0x01, 0x0200, 0x0A00, 1).Data, (Bytes{1}));  // clock valid
        EXPECT_EQ(Ask(*d, 0xA1, 0x01, 0x0200, 0x0300, 6).Data, (Bytes{2, 0x03, 0, 0, 0, 0}));
        EXPECT_EQ(Ask(*d, 0xA1, 0x01, 0x0200, 0x0400, 6).Data, (Bytes{1, 0x01, 0, 0, 0, 0}));
        EXPECT_EQ(Ask(*d, 0xA1, 0x01, 0x0200, 0x0001, 5).Data, (Bytes{1, 0x07}));
        EXPECT_EQ(Ask(*d, 0xA1, 0x01, 0x0200, 0x0002, 5).Data, (Bytes{1, 0x03}));
        // Count first, then the whole list.
        EXPECT_EQ(Ask(*d, 0xA1, 0x01, 0x02FF, 0x0300, 9).Data, (Bytes{1, 0x03, 0, 0, 0, 0x00, 0x11, 0x01, 0x01}));
        EXPECT_EQ(Ask(*d, 0xA1, 0x01, 0x02FF, 0x0400, 9).Data, (Bytes{1, 0x01, 0, 0, 0, 0x00, 0x21, 0x01, 0x01}));
        EXPECT_EQ(Ask(*d, 0xA1, 0x01, 0x0800, 0x0300, 2).Outcome, Kind::Stall);  // no output-type control
        EXPECT_EQ(Ask(*d, 0xA1, 0x01, 0x0200, 0x0600, 6).Outcome, Kind::Stall);  // streaming: no Connectors
    }
}

// Requests in order on a built headset, each with its exact setup packet and reply.
TEST(Uac2ClassModelTest, RequestsAnswerFromTheModel)
{
    sim::SimDevice d = Built(kvxtest::Uac2Headset(true));
    d.SetClockRates(Id::Clock, {44100, 48000, 96000});
    d.SetValidAlternates(1, 96000, 0x03);  // no 24-bit at 96 kHz
    d.SetMemory(Id::RenderUnit, {0x10, 0x00, 0xAA, 0xBB, 0xCC});
    d.SetOutputTypes(Id::Headphones, {0x0302, 0x0301});
    d.SetJackList(Id::Headphones, 0x0302, {{0x3, 0x01011100}});
    d.SetJackList(Id::Headphones, 0x0301, {{0x1, 0x01001100}, {0x2, 0x01001100}});
    struct Step {
        const char* What;
        uint8_t Type, Request;
        uint16_t Value, Index, Length;
        Bytes Out;
        Kind Outcome;
        Bytes Reply;
    };
    const Step steps[] = {
        {"rates as discrete subranges, count", 0xA1, 0x02, 0x0100, 0x0A00, 2, {}, Kind::Done, {3, 0}},
        {"rate 96 kHz accepted", 0x21, 0x01, 0x0100, 0x0A00, 4, {0x00, 0x77, 0x01, 0x00}, Kind::Done, {}},
        {"rate 22.05 kHz refused", 0x21, 0x01, 0x0100, 0x0A00, 4, {0x22, 0x56, 0x00, 0x00}, Kind::Stall, {}},
        {"rate reads back", 0xA1, 0x01, 0x0100, 0x0A00, 4, {}, Kind::Done, {0x00, 0x77, 0x01, 0x00}},
        {"valid alternates at 96 kHz", 0xA1, 0x01, 0x0200, 0x0001, 5, {}, Kind::Done, {1, 0x03}},
        {"rate 48 kHz", 0x21, 0x01, 0x0100, 0x0A00, 4, {0x80, 0xBB, 0x00, 0x00}, Kind::Done, {}},
        {"valid alternates at 48 kHz: all", 0xA1, 0x01, 0x0200, 0x0001, 5, {}, Kind::Done, {1, 0x07}},
        {"active alternate setting", 0xA1, 0x01, 0x0100, 0x0001, 1, {}, Kind::Done, {0}},
        {"streaming interface: no such control", 0xA1, 0x01, 0x0300, 0x0001, 1, {}, Kind::Stall, {}},
        {"mute RANGE, 1-byte layout", 0xA1, 0x02, 0x0100, 0x0200, 5, {}, Kind::Done, {1, 0, 0, 1, 1}},
        {"volume RANGE, 2-byte layout", 0xA1, 0x02, 0x0200, 0x0200, 8, {}, Kind::Done,
         {1, 0, 0x00, 0xC4, 0x00, 0x00, 0x00, 0x01}},
        {"volume CUR write", 0x21, 0x01, 0x0200, 0x0200, 2, {0x00, 0xF6}, Kind::Done, {}},
        {"volume CUR read", 0xA1, 0x01, 0x0200, 0x0200, 2, {}, Kind::Done, {0x00, 0xF6}},
        {"no volume on channel 1", 0xA1, 0x01, 0x0201, 0x0200, 2, {}, Kind::Stall, {}},
        {"MEM length at 0x10 past the space", 0xA1, 0x03, 0x0010, 0x0200, 2, {}, Kind::Stall, {}},
        {"MEM at offset 2", 0xA1, 0x03, 0x0002, 0x0200, 8, {}, Kind::Done, {0xAA, 0xBB, 0xCC}},
        {"MEM write", 0x21, 0x03, 0x0003, 0x0200, 2, {0x01, 0x02}, Kind::Done, {}},
        {"MEM reads the write", 0xA1, 0x03, 0x0000, 0x0200, 5, {}, Kind::Done, {0x10, 0x00, 0xAA, 0x01, 0x02}},
        {"MEM write past the end", 0x21, 0x03, 0x0004, 0x0200, 2, {0x01, 0x02}, Kind::Stall, {}},
        {"MEM of an entity without memory", 0xA1, 0x03, 0x0000, 0x0500, 2, {}, Kind::Stall, {}},
        {"output type CUR", 0xA1, 0x01, 0x0800, 0x0300, 2, {}, Kind::Done, {0x02, 0x03}},
        {"output type RANGE", 0xA1, 0x02, 0x0800, 0x0300, 14, {}, Kind::Done,
         {2, 0, 0x02, 0x03, 0x02, 0x03, 0, 0, 0x01, 0x03, 0x01, 0x03, 0, 0}},
        {"headphone jack list", 0xA1, 0x01, 0x02FF, 0x0300, 17, {}, Kind::Done,
         {1, 0x03, 0, 0, 0, 0x00, 0x11, 0x01, 0x01}},
        {"select an unlisted output", 0x21, 0x01, 0x0800, 0x0300, 2, {0x05, 0x06}, Kind::Stall, {}},
        {"select the speaker", 0x21, 0x01, 0x0800, 0x0300, 2, {0x01, 0x03}, Kind::Done, {}},
        {"speaker jack list", 0xA1, 0x01, 0x02FF, 0x0300, 17, {}, Kind::Done,
         {2, 0x01, 0, 0, 0, 0x00, 0x11, 0x00, 0x01, 0x02, 0, 0, 0, 0x00, 0x11, 0x00, 0x01}},
        {"jack count only, cut to wLength", 0xA1, 0x01, 0x02FF, 0x0300, 1, {}, Kind::Done, {2}},
        {"no jack list on the microphone", 0xA1, 0x01, 0x02FF, 0x0400, 9, {}, Kind::Stall, {}},
        {"Connectors cannot be written", 0x21, 0x01, 0x0200, 0x0300, 6, {0, 0, 0, 0, 0, 0}, Kind::Stall, {}},
        {"no output type on an input terminal", 0xA1, 0x01, 0x0800, 0x0400, 2, {}, Kind::Stall, {}},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.What);
        const Answer a = Ask(d, s.Type, s.Request, s.Value, s.Index, s.Length, s.Out);
        EXPECT_EQ(a.Outcome, s.Outcome);
        if (s.Outcome == Kind::Done && (s.Type & 0x80) != 0) {
            EXPECT_EQ(Hex(a.Data), Hex(s.Reply));
        }
    }
    EXPECT_EQ(d.OutputType(Id::Headphones), 0x0301);
    EXPECT_EQ(d.Memory(Id::RenderUnit), (Bytes{0x10, 0x00, 0xAA, 0x01, 0x02}));
}

Bytes NextStatus(sim::SimDevice& d)
{
    Bytes buffer(6, 0xEE);
    const UsbTransferResult r = d.BulkOrInterrupt(Id::StatusEndpoint, buffer.data(), 6);
    buffer.resize(r.Outcome == Kind::Done ? r.Length : 0);
    return buffer;
}

// Unplugging and replugging a jack changes Connectors and posts a 6-byte message each time;
// a feature-unit change posts its own.
TEST(Uac2ClassModelTest, ConnectorChangesArePostedAsSixByteMessages)
{
    sim::SimDevice d = Built(kvxtest::Uac2Headset(true));
    EXPECT_TRUE(NextStatus(d).empty());  // nothing pending
    d.SetConnectors(Id::Headphones, 0);
    EXPECT_EQ(NextStatus(d), (Bytes{0x00, 0x01, 0x00, 0x02, 0x00, Id::Headphones}));
    EXPECT_EQ(Ask(d, 0xA1, 0x01, 0x0200, 0x0300, 6).Data, (Bytes{0, 0, 0, 0, 0, 0}));
    d.SetConnectors(Id::Headphones, 0x3);
    EXPECT_EQ(NextStatus(d), (Bytes{0x00, 0x01, 0x00, 0x02, 0x00, Id::Headphones}));
    EXPECT_EQ(Ask(d, 0xA1, 0x01, 0x0200, 0x0300, 6).Data, (Bytes{2, 0x03, 0, 0, 0, 0}));
    d.SetConnectors(Id::Microphone, 0, false);
    EXPECT_TRUE(NextStatus(d).empty());
    EXPECT_TRUE(d.PostStatus(Id::RenderUnit, 0x02, 0x00));
    EXPECT_EQ(NextStatus(d), (Bytes{0x00, 0x01, 0x00, 0x02, 0x00, Id::RenderUnit}));

    // A device without a status pipe has nowhere to post.
    sim::SimDevice quiet = Built(kvxtest::Uac2ClockSelectorDevice());
    EXPECT_FALSE(quiet.PostStatus(2, 0x02, 0x00));
}

// Clock selectors answer their selector control; each clock source keeps its own rates.
TEST(Uac2ClassModelTest, ClockSelectorAndSources)
{
    sim::SimDevice d = Built(kvxtest::Uac2ClockSelectorDevice());
    d.SetClockRates(10, {44100, 88200});
    d.SetClockRates(11, {48000, 96000});
    EXPECT_EQ(Ask(d, 0xA1, 0x01, 0x0100, 0x0C00, 1).Data, (Bytes{1}));
    EXPECT_EQ(Ask(d, 0xA1, 0x02, 0x0100, 0x0C00, 5).Data, (Bytes{1, 0, 1, 2, 1}));
    EXPECT_EQ(Ask(d, 0x21, 0x01, 0x0100, 0x0C00, 1, {2}).Outcome, Kind::Done);
    EXPECT_EQ(Ask(d, 0xA1, 0x01, 0x0100, 0x0C00, 1).Data, (Bytes{2}));
    EXPECT_EQ(Ask(d, 0x21, 0x01, 0x0100, 0x0B00, 4, {0x80, 0xBB, 0x00, 0x00}).Outcome, Kind::Done);
    EXPECT_EQ(Ask(d, 0x21, 0x01, 0x0100, 0x0A00, 4, {0x80, 0xBB, 0x00, 0x00}).Outcome, Kind::Stall);
    // The streaming interface's terminal is clocked by the selector: every setting is valid.
    EXPECT_EQ(Ask(d, 0xA1, 0x01, 0x0200, 0x0001, 5).Data, (Bytes{1, 0x03}));
}

// Scripted feedback packets come first, in order: values of any length, empty and failed
// packets; then the device clock's value again.
TEST(Uac2ClassModelTest, ScriptedFeedbackPrecedesTheClockValue)
{
    sim::SimDevice d = Built(kvxtest::Uac2Headset(false), false);
    d.SetClockRates(Id::Clock, {44100, 48000});
    using F = sim::ScriptedFeedback;
    d.ScriptFeedback(Id::FeedbackEndpoint, {{F::Kind::Value, {0x00, 0x00, 0x00}},
                                            {F::Kind::Value, {0xFF, 0xFF, 0xFF, 0xFF}},
                                            {F::Kind::Value, {0x40}},
                                            {F::Kind::Empty, {0x01}},
                                            {F::Kind::Fail, {}, USBD_STATUS_ISO_TD_ERROR}});
    const struct {
        USBD_STATUS Status;
        Bytes Packet;
    } expected[] = {
        {USBD_STATUS_SUCCESS, {0x00, 0x00, 0x00}},
        {USBD_STATUS_SUCCESS, {0xFF, 0xFF, 0xFF}},  // cut to the 3 bytes asked for
        {USBD_STATUS_SUCCESS, {0x40}},
        {USBD_STATUS_SUCCESS, {}},
        {USBD_STATUS_ISO_TD_ERROR, {}},
        {USBD_STATUS_SUCCESS, d.FeedbackValue(44100)},  // 44.1 in 10.14: 0x0B0666
    };
    for (size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(i);
        UCHAR buffer[3] = {};
        ULONG actual = 99;
        EXPECT_EQ(d.IsochronousIn(Id::FeedbackEndpoint, static_cast<ULONG>(i), 0, buffer, 3, &actual), expected[i].Status);
        if (expected[i].Status == USBD_STATUS_SUCCESS) {
            EXPECT_EQ(Bytes(buffer, buffer + actual), expected[i].Packet);
        }
    }
    EXPECT_EQ(d.FeedbackValue(44100), (Bytes{0x66, 0x06, 0x0B}));
}

// The asynchronous sink reports its clock plus a small correction of its fill error.
TEST(Uac2ClassModelTest, FeedbackCorrectsTheSinkFillWithinATenthOfAPercent)
{
    sim::SimDevice d = Built(kvxtest::Uac2Headset(false), false);
    d.SetClockPpm(200);
    d.SetSink(Id::RenderEndpoint, {sim::SinkSync::Asynchronous, 48000, 4, 0, 0});  // starts at 96 frames
    const auto tenTwelve = [](double rate) {
        const auto v = static_cast<uint32_t>(std::llround(rate / 1000 * 16384));
        return Bytes{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16)};
    };
    const auto feedback = [&d] {
        UCHAR buffer[3] = {};
        ULONG actual = 0;
        EXPECT_EQ(d.IsochronousIn(Id::FeedbackEndpoint, 0, 0, buffer, 3, &actual), USBD_STATUS_SUCCESS);
        return Bytes(buffer, buffer + actual);
    };
    const double clock = 48000 * (1 + 200e-6);
    EXPECT_EQ(feedback(), tenTwelve(clock));  // not playing yet: the clock alone
    static const UCHAR audio[800] = {};
    EXPECT_EQ(d.IsochronousOut(Id::RenderEndpoint, 100, 0, audio, 800), USBD_STATUS_SUCCESS);
    EXPECT_EQ(feedback(), tenTwelve(clock - 48));  // 104 frames over: held to 0.1 %
    EXPECT_EQ(d.IsochronousOut(Id::RenderEndpoint, 103, 0, audio, 0), USBD_STATUS_SUCCESS);
    const double fill = static_cast<double>(d.Sink(Id::RenderEndpoint).FillBytes / 4);
    EXPECT_LT(fill, 96);
    EXPECT_EQ(feedback(), tenTwelve(clock + (96 - fill)));  // under: a frame per second per frame
}

}  // namespace
