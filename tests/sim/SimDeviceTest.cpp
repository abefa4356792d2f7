#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "platform/nt/Clock.h"
#include "sim/Profile.h"
#include "sim/SimPort.h"
#include "tests/platform/usb/BusFixture.h"

namespace {

using platform::usb::UsbTransferResult;
using sim::Bytes;
using Kind = UsbTransferResult::Kind;
using namespace std::chrono_literals;

// A UAC2 device: clock 41, input terminal 1, feature unit 2 (master mute, volume on channels 1
// and 2), output terminal 3; one streaming interface.
sim::DescriptorBuilder Uac2Device()
{
    sim::DescriptorBuilder b({0x0A0B, 0x0C0D, 0x0100, 0x0200, 1, 2, 0});
    b.AudioControl(0, 0x20, {})
        .Uac2ClockSource(41)
        .Uac2InputTerminal(1, 0x0101, 41, 2)
        .Uac2FeatureUnit(2, 1, {0x3, 0xC, 0xC})
        .Uac2OutputTerminal(3, 0x0301, 2, 41)
        .AudioStreaming(1, 0, 0x20)
        .AudioStreaming(1, 1, 0x20)
        .Uac2AsGeneral(1, 2)
        .Uac2FormatTypeI(4, 24)
        .Endpoint(0x01, 0x05, 1024, 1)
        .Uac2AsEndpoint()
        .Endpoint(0x81, 0x11, 4, 4);
    return b;
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

TEST(SimDeviceTest, Uac1ControlsAnswerFromTheDescriptorsWithDefaultsAndStoredValues)
{
    const auto b = kvxtest::Uac1Device();
    sim::SimDevice d(b.DeviceDescriptor(), b.Configuration());
    EXPECT_FALSE(d.IsHighSpeed());
    const Bytes device = b.DeviceDescriptor();
    struct Case {
        const char* name;
        uint8_t type, request;
        uint16_t value, index, length;
        Kind outcome;
        Bytes data;
    };
    const Case cases[] = {
        {"volume CUR", 0xA1, 0x81, 0x0201, 0x0200, 2, Kind::Done, {0x00, 0x00}},
        {"volume MIN", 0xA1, 0x82, 0x0202, 0x0200, 2, Kind::Done, {0x00, 0xC4}},
        {"volume MAX", 0xA1, 0x83, 0x0201, 0x0200, 2, Kind::Done, {0x00, 0x00}},
        {"volume RES", 0xA1, 0x84, 0x0201, 0x0200, 2, Kind::Done, {0x00, 0x01}},
        {"master mute", 0xA1, 0x81, 0x0100, 0x0200, 1, Kind::Done, {0x00}},
        {"selector CUR is 1", 0xA1, 0x81, 0x0000, 0x0500, 1, Kind::Done, {0x01}},
        {"volume on the master channel (not declared)", 0xA1, 0x81, 0x0200, 0x0200, 2, Kind::Stall, {}},
        {"a channel the unit lacks", 0xA1, 0x81, 0x0203, 0x0200, 2, Kind::Stall, {}},
        {"an entity the device lacks", 0xA1, 0x81, 0x0201, 0x0900, 2, Kind::Stall, {}},
        {"another interface", 0xA1, 0x81, 0x0201, 0x0201, 2, Kind::Stall, {}},
        {"MEM read", 0xA1, 0x85, 0x0000, 0x0200, 4, Kind::Stall, {}},
        {"vendor request", 0xC0, 0x02, 0x0051, 0x0000, 1, Kind::Stall, {}},
        {"endpoint sampling frequency", 0xA2, 0x81, 0x0100, 0x0001, 3, Kind::Done, {0x80, 0xBB, 0x00}},
        {"language list", 0x80, 0x06, 0x0300, 0x0000, 255, Kind::Done, {4, 3, 0x09, 0x04}},
        {"device descriptor cut to 8", 0x80, 0x06, 0x0100, 0x0000, 8, Kind::Done,
         Bytes(device.begin(), device.begin() + 8)},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        const Answer a = Ask(d, k.type, k.request, k.value, k.index, k.length);
        EXPECT_EQ(a.Outcome, k.outcome);
        EXPECT_EQ(a.Data, k.data);
    }

    // SET_CUR stores the value for that channel only; the endpoint rate is settable too.
    EXPECT_EQ(Ask(d, 0x21, 0x01, 0x0202, 0x0200, 2, {0x00, 0xF6}).Outcome, Kind::Done);
    EXPECT_EQ(Ask(d, 0xA1, 0x81, 0x0202, 0x0200, 2).Data, (Bytes{0x00, 0xF6}));
    EXPECT_EQ(Ask(d, 0xA1, 0x81, 0x0201, 0x0200, 2).Data, (Bytes{0x00, 0x00}));
    EXPECT_EQ(d.Control(2, 2, 2)->Cur, -0x0A00);
    EXPECT_EQ(Ask(d, 0x22, 0x01, 0x0100, 0x0001, 3, {0x44, 0xAC, 0x00}).Outcome, Kind::Done);
    EXPECT_EQ(Ask(d, 0xA2, 0x81, 0x0100, 0x0001, 3).Data, (Bytes{0x44, 0xAC, 0x00}));
    // SET of MIN is not a thing a device accepts.
    EXPECT_EQ(Ask(d, 0x21, 0x02, 0x0202, 0x0200, 2, {0, 0}).Outcome, Kind::Stall);
}

// In suspend a device that loses its controls returns what SET_CUR changed to the defaults (a
// value the test set as the device's own stays); one that keeps them changes nothing. The switch
// survives a profile's save and load.
TEST(SimDeviceTest, SuspendReturnsWrittenControlsToTheirDefaultsOnADeviceThatLosesThem)
{
    const auto b = kvxtest::Uac1Device();
    for (bool loses : {false, true}) {
        SCOPED_TRACE(loses);
        sim::SimDevice d(b.DeviceDescriptor(), b.Configuration());
        d.SetControl(2, 1, 0, {1, 0, 1, 1, 1});  // muted is this device's default
        d.SetLosesControlsOnSuspend(loses);
        EXPECT_EQ(Ask(d, 0x21, 0x01, 0x0202, 0x0200, 2, {0x00, 0xF6}).Outcome, Kind::Done);
        EXPECT_EQ(Ask(d, 0x21, 0x01, 0x0202, 0x0200, 2, {0x00, 0xF0}).Outcome, Kind::Done);
        d.PortSuspended(true);
        EXPECT_TRUE(d.PortIsSuspended());
        d.PortSuspended(false);
        EXPECT_EQ(d.Suspensions(), 1u);
        EXPECT_EQ(d.Control(2, 2, 2)->Cur, loses ? 0 : -0x1000);
        EXPECT_EQ(d.Control(2, 2, 1)->Cur, 0);
        EXPECT_EQ(d.Control(2, 1, 0)->Cur, 1);

        std::string error;
        auto loaded = sim::ParseProfile(sim::SaveProfile(d), ".", &error);
        ASSERT_NE(loaded, nullptr) << error;
        EXPECT_EQ(loaded->LosesControlsOnSuspend(), loses);
    }
}

TEST(SimDeviceTest, RawAnswersComeFirstAndFaultsAreServedInOrder)
{
    const auto b = kvxtest::Uac1Device();
    sim::SimDevice d(b.DeviceDescriptor(), b.Configuration());
    sim::RawRequest vendor{{0xC3, 0x02, 0x51, 0x00, 0x00, 0x00, 0x01, 0x00}, {0x1F}, false};
    sim::RawRequest volume{{0xA1, 0x81, 0x01, 0x02, 0x00, 0x02, 0x02, 0x00}, {0x34, 0x12}, false};
    sim::RawRequest stalled{{0xA1, 0x81, 0x00, 0x01, 0x00, 0x02, 0x01, 0x00}, {}, true};
    d.AddRaw(vendor);
    d.AddRaw(volume);
    d.AddRaw(stalled);
    EXPECT_EQ(Ask(d, 0xC3, 0x02, 0x0051, 0, 1).Data, Bytes{0x1F});
    EXPECT_EQ(Ask(d, 0xA1, 0x81, 0x0201, 0x0200, 2).Data, (Bytes{0x34, 0x12}));
    EXPECT_EQ(Ask(d, 0xA1, 0x81, 0x0100, 0x0200, 1).Outcome, Kind::Stall);

    d.SetString(2, u"Speaker");
    sim::RequestMatch strings{0x80, 0x06, std::nullopt, std::nullopt};
    d.AddFault(strings, sim::SimDevice::FaultKind::Short, 1, 0, 6);
    d.AddFault(strings, sim::SimDevice::FaultKind::Error, 1, USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(Ask(d, 0x80, 0x06, 0x0302, 0x0409, 255).Data, (Bytes{16, 3, 'S', 0, 'p', 0}));
    const Answer error = Ask(d, 0x80, 0x06, 0x0302, 0x0409, 255);
    EXPECT_EQ(error.Outcome, Kind::Error);
    EXPECT_EQ(Ask(d, 0x80, 0x06, 0x0302, 0x0409, 255).Data.size(), 16u);  // faults used up

    // The log keeps every request with its virtual time.
    platform::RunFor(7ms);
    Ask(d, 0x80, 0x06, 0x0100, 0, 18);
    const auto log = d.Log();
    ASSERT_EQ(log.size(), 7u);
    EXPECT_EQ(log.back().Time, 7 * platform::TICKS_PER_MS);
    EXPECT_EQ(log.back().Setup.wValue, 0x0100);
    EXPECT_EQ(log[2].Outcome, "stall");
    EXPECT_EQ(log[4].Outcome, "error");
    EXPECT_EQ(sim::FormatLogEntry(log.back()), "     7.000 ms  control  80 06 0100 0000 0012  ok");
}

// A chip's plug-in: it answers its vendor read, and a vendor write makes it post a report on the
// device's interrupt endpoint through the device's own calls (it runs without the device lock).
struct ReportingChip : sim::ChipBehaviour {
    std::optional<UsbTransferResult> Control(sim::SimDevice& device, const USB_DEFAULT_PIPE_SETUP_PACKET& s,
                                             UCHAR* data, ULONG length) override
    {
        if (s.bmRequestType == 0xC0 && s.bRequest == 0x01 && length >= 2) {
            data[0] = 0x5A;
            data[1] = 0xA5;
            return UsbTransferResult::Done(2);
        }
        if (s.bmRequestType == 0x40 && s.bRequest == 0x02) {
            device.PostIn(0x87, {0x01, static_cast<uint8_t>(s.wValue)});
            return UsbTransferResult::Done(0);
        }
        return std::nullopt;
    }
};

TEST(SimDeviceTest, ChipPlugInsAnswerAfterRawAnswersAndFaultsAndBeforeTheClassModel)
{
    const auto b = kvxtest::Uac1Device();
    sim::SimDevice d(b.DeviceDescriptor(), b.Configuration());
    EXPECT_EQ(Ask(d, 0xC0, 0x01, 0, 0, 2).Outcome, Kind::Stall);  // no chip: vendor requests stall
    d.AddChip(std::make_shared<ReportingChip>());
    EXPECT_EQ(Ask(d, 0xC0, 0x01, 0, 0, 2).Data, (Bytes{0x5A, 0xA5}));
    EXPECT_EQ(Ask(d, 0x40, 0x02, 0x33, 0, 0).Outcome, Kind::Done);
    Bytes report(8, 0);
    const UsbTransferResult r = d.BulkOrInterrupt(0x87, report.data(), 8);
    ASSERT_EQ(r.Outcome, Kind::Done);
    EXPECT_EQ(Bytes(report.begin(), report.begin() + r.Length), (Bytes{0x01, 0x33}));

    d.AddRaw({{0xC0, 0x01, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00}, {0x11, 0x22}, false});
    EXPECT_EQ(Ask(d, 0xC0, 0x01, 0, 0, 2).Data, (Bytes{0x11, 0x22}));
    d.AddFault({0xC0, std::nullopt, std::nullopt, std::nullopt}, sim::SimDevice::FaultKind::Stall);
    EXPECT_EQ(Ask(d, 0xC0, 0x01, 0, 0, 2).Outcome, Kind::Stall);
    // The class model still answers what the chip leaves alone.
    EXPECT_EQ(Ask(d, 0x80, 0x00, 0, 0, 2).Data, (Bytes{0, 0}));
}

TEST(SimDeviceTest, Uac2ClockRangesAndControlRanges)
{
    const auto b = Uac2Device();
    sim::SimDevice d(b.DeviceDescriptor(), b.Configuration());
    EXPECT_TRUE(d.IsHighSpeed());  // a UAC2 function defaults to high speed
    d.SetClockRates(41, {44100, 48000, 96000});
    const Answer range = Ask(d, 0xA1, 0x02, 0x0100, 0x2900, 2 + 3 * 12);
    ASSERT_EQ(range.Data.size(), 38u);
    EXPECT_EQ(range.Data[0], 3);
    EXPECT_EQ(range.Data[2] | (range.Data[3] << 8) | (range.Data[4] << 16), 44100);
    EXPECT_EQ(range.Data[6] | (range.Data[7] << 8) | (range.Data[8] << 16), 44100);
    EXPECT_EQ(Ask(d, 0x21, 0x01, 0x0100, 0x2900, 4, {0x00, 0x77, 0x01, 0x00}).Outcome, Kind::Done);  // 96000
    EXPECT_EQ(Ask(d, 0xA1, 0x01, 0x0100, 0x2900, 4).Data, (Bytes{0x00, 0x77, 0x01, 0x00}));
    EXPECT_EQ(Ask(d, 0x21, 0x01, 0x0100, 0x2900, 4, {0x11, 0x22, 0x00, 0x00}).Outcome, Kind::Stall);

    // Volume on channel 1: RANGE with one subrange; CUR settable. Mute only on the master channel.
    EXPECT_EQ(Ask(d, 0xA1, 0x02, 0x0201, 0x0200, 8).Data, (Bytes{1, 0, 0x00, 0xC4, 0x00, 0x00, 0x00, 0x01}));
    EXPECT_EQ(Ask(d, 0x21, 0x01, 0x0201, 0x0200, 2, {0x00, 0xFF}).Outcome, Kind::Done);
    EXPECT_EQ(Ask(d, 0xA1, 0x01, 0x0201, 0x0200, 2).Data, (Bytes{0x00, 0xFF}));
    EXPECT_EQ(Ask(d, 0xA1, 0x01, 0x0100, 0x0200, 1).Outcome, Kind::Done);
    EXPECT_EQ(Ask(d, 0xA1, 0x01, 0x0101, 0x0200, 1).Outcome, Kind::Stall);

    // High-speed feedback: 16.16 in four bytes, per microframe.
    EXPECT_EQ(d.FeedbackValue(48000), (Bytes{0x00, 0x00, 0x06, 0x00}));
}

// Requests whose answers must survive a save and load.
const USB_DEFAULT_PIPE_SETUP_PACKET kProbe[] = {
    {0x80, 0x06, 0x0100, 0, 18},      {0x80, 0x06, 0x0200, 0, 512},     {0x80, 0x06, 0x0201, 0, 512},
    {0x80, 0x06, 0x0300, 0, 255},     {0x80, 0x06, 0x0301, 0x0409, 255}, {0x80, 0x06, 0x0302, 0x0409, 255},
    {0x80, 0x06, 0x0305, 0x0409, 255}, {0xA1, 0x02, 0x0100, 0x2900, 64}, {0xA1, 0x01, 0x0100, 0x2900, 4},
    {0xA1, 0x01, 0x0201, 0x0200, 2},  {0xA1, 0x02, 0x0202, 0x0200, 8},  {0xA1, 0x01, 0x0100, 0x0200, 1},
    {0xA1, 0x01, 0x0203, 0x0200, 2},  {0xC1, 0x10, 0x0000, 0x0000, 4},  {0xC1, 0x11, 0x0000, 0x0000, 4},
    {0xA1, 0x01, 0x0200, 0x0900, 2},
};

std::vector<Answer> AnswersOf(sim::SimDevice& d)
{
    std::vector<Answer> out;
    for (const auto& s : kProbe) {
        out.push_back(Ask(d, s.bmRequestType, s.bRequest, s.wValue, s.wIndex, s.wLength));
    }
    return out;
}

TEST(SimProfileTest, ABuiltDeviceSavedAndLoadedAnswersTheSame)
{
    auto b = Uac2Device();
    Bytes device = b.DeviceDescriptor();
    device[17] = 2;  // a second configuration, answered but never selected
    sim::SimDevice original(device, b.Configuration());
    original.SetOtherConfigurations({{9, 2, 9, 0, 0, 2, 0, 0x80, 10}});
    original.SetString(1, u"Maker \u00e9\u20ac");
    original.SetString(2, u"Box");
    original.SetClockRates(41, {44100, 48000});
    original.SetControl(2, 2, -1, {-256, -0x7F00, 0x0600, 0x80, 2});
    original.AddRaw({{0xC1, 0x10, 0, 0, 0, 0, 4, 0}, {1, 2, 3, 4}, false});
    original.AddRaw({{0xC1, 0x11, 0, 0, 0, 0, 4, 0}, {}, true});

    std::string error;
    auto loaded = sim::ParseProfile(sim::SaveProfile(original), ".", &error);
    ASSERT_NE(loaded, nullptr) << error;
    EXPECT_EQ(loaded->IsHighSpeed(), original.IsHighSpeed());
    const auto a = AnswersOf(original);
    const auto c = AnswersOf(*loaded);
    for (size_t i = 0; i < a.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(c[i].Outcome, a[i].Outcome);
        EXPECT_EQ(c[i].Data, a[i].Data);
    }
}

TEST(SimProfileTest, DescriptorsComeFromAFileBesideTheProfile)
{
    const auto b = kvxtest::Uac1Device();
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / ("simprofile-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    Bytes all = b.DeviceDescriptor();
    const Bytes config = b.Configuration();
    all.insert(all.end(), config.begin(), config.end());
    std::ofstream(dir / "capture.bin", std::ios::binary).write(reinterpret_cast<const char*>(all.data()),
                                                               static_cast<std::streamsize>(all.size()));
    std::ofstream(dir / "device.json")
        << R"({"descriptors": "capture.bin", "speed": "high", "strings": {"0x02": "Dock"},
              "controls": [{"unit": 2, "selector": 2, "channel": "*", "cur": 5, "min": 0, "max": 9, "res": 1}]})";
    std::string error;
    auto d = sim::LoadProfile((dir / "device.json").string(), &error);
    ASSERT_NE(d, nullptr) << error;
    EXPECT_TRUE(d->IsHighSpeed());
    EXPECT_EQ(d->ConfigurationBytes(), config);
    EXPECT_EQ(Ask(*d, 0x80, 0x06, 0x0302, 0x0409, 255).Data, (Bytes{10, 3, 'D', 0, 'o', 0, 'c', 0, 'k', 0}));
    EXPECT_EQ(Ask(*d, 0xA1, 0x81, 0x0202, 0x0200, 2).Data, (Bytes{5, 0}));

    // Plugged in, the device's hardware IDs are its PDO's.
    auto port = sim::SimPort::PlugIn(std::move(d));
    ASSERT_NE(port, nullptr);
    WCHAR ids[128] = {};
    ULONG size = 0;
    ASSERT_EQ(IoGetDeviceProperty(port->Pdo(), DevicePropertyHardwareID, sizeof ids, ids, &size), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(ids)), u"USB\\VID_1234&PID_5678&REV_0100");
    port.reset();

    EXPECT_EQ(sim::LoadProfile((dir / "missing.json").string(), &error), nullptr);
    EXPECT_NE(error.find("missing.json: cannot be read"), std::string::npos) << error;
    std::ofstream(dir / "bad.json") << R"({"descriptors": "nothere.bin"})";
    EXPECT_EQ(sim::LoadProfile((dir / "bad.json").string(), &error), nullptr);
    EXPECT_NE(error.find("nothere.bin cannot be read"), std::string::npos) << error;
    std::filesystem::remove_all(dir);
}

TEST(SimProfileTest, MalformedProfilesAreRefusedWithOneClearLine)
{
    const auto b = kvxtest::Uac1Device();
    Bytes all = b.DeviceDescriptor();
    const Bytes config = b.Configuration();
    all.insert(all.end(), config.begin(), config.end());
    std::string hex;
    for (uint8_t x : all) {
        char buf[4];
        std::snprintf(buf, sizeof buf, "%02x", x);
        hex += buf;
    }
    const std::string ok = "\"descriptorsHex\": \"" + hex + "\"";
    struct Case {
        std::string text;
        const char* message;
    };
    const Case cases[] = {
        {"", "not valid JSON: line 1, column 1: expected a value"},
        {"{\"speed\": \"full\",}", "not valid JSON: line 1, column 18: expected a key in quotes"},
        {"{\n  " + ok + ",\n  \"speed\" \"high\"}", "not valid JSON: line 3, column 11: expected ':'"},
        {"[]", "profile: must be a JSON object"},
        {"{\"speed\": \"full\"}", "needs exactly one of \"descriptors\" and \"descriptorsHex\""},
        {"{\"descriptorsHex\": \"12 01 0\"}", "\"descriptorsHex\": must be hex bytes"},
        {"{\"descriptorsHex\": \"09 02 00\"}", "must start with the 18-byte device descriptor"},
        {"{\"descriptorsHex\": \"" + hex.substr(0, hex.size() - 2) + "\"}", "has wTotalLength"},
        {"{\"descriptorsHex\": \"" + hex + "00\"}", "1 bytes follow the last configuration"},
        {"{" + ok + ", \"speed\": \"super\"}", "\"speed\": must be \"full\" or \"high\""},
        {"{" + ok + ", \"sped\": \"full\"}", "\"sped\": unknown key"},
        {"{" + ok + ", \"strings\": {\"x1\": \"a\"}}", "index must be 1..255"},
        {"{" + ok + ", \"strings\": {\"1\": 5}}", "\"strings\".\"1\": must be text"},
        {"{" + ok + ", \"controls\": [{\"unit\": 2, \"selector\": 2, \"channel\": 1, \"cur\": 0, \"min\": 0, \"max\": 0}]}",
         "\"controls\"[0].\"res\": must be a number that fits 2 byte(s)"},
        {"{" + ok + ", \"controls\": [{\"unit\": 2, \"selector\": 1, \"channel\": 0, \"cur\": 300, \"min\": 0, \"max\": 1, "
                    "\"res\": 1}]}",
         "\"controls\"[0].\"cur\": must be a number that fits 1 byte(s)"},
        {"{" + ok + ", \"controls\": [{\"unit\": 2, \"selector\": 2, \"channel\": \"all\"}]}",
         "\"controls\"[0].\"channel\": must be a number 0..254 or \"*\""},
        {"{" + ok + ", \"clockRates\": {\"41\": []}}", "\"clockRates\".\"41\": must be a non-empty list of rates"},
        {"{" + ok + ", \"controls\": [{\"unit\": 99, \"selector\": 2, \"channel\": 1, \"cur\": 0, \"min\": 0, \"max\": 0, "
                    "\"res\": 1}]}",
         "\"controls\"[0].\"unit\": the descriptors have no unit, terminal or clock 99 (line 1"},
        {"{" + ok + ", \"controls\": [{\"unit\": 2, \"selector\": 2, \"channel\": 1, \"cur\": 0, \"min\": 5, \"max\": 0, "
                    "\"res\": 1}]}",
         "\"controls\"[0].\"min\": is above \"max\""},
        {"{" + ok + ", \"controls\": [{\"unit\": 2, \"selector\": 2, \"channel\": \"*\", \"cur\": 0, \"min\": 0, \"max\": 5, "
                    "\"res\": 0}]}",
         "\"controls\"[0].\"res\": must be at least 1"},
        {"{" + ok + ", \"clockRates\": {\"41\": [48000]}}", "\"clockRates\".\"41\": clock rates apply to UAC 2.0"},
        {"{" + ok + ", \"losesControlsOnSuspend\": 1}", "\"losesControlsOnSuspend\": must be true or false"},
        {"{\"descriptors\": \".\"}", "\"descriptors\": ./. is a directory (line 1, column 17)"},
        {"{\"descriptors\": \"/dev/zero\"}", "\"descriptors\": /dev/zero is not a regular file"},
        {"{\"descriptors\": \"missing.bin\"}", "\"descriptors\": ./missing.bin cannot be read: No such file"},
        {"{" + ok + ", \"requests\": [{\"setup\": \"c0 02\", \"reply\": \"1f\"}]}",
         "\"requests\"[0].\"setup\": must be 8 bytes of hex"},
        {"{" + ok + ", \"requests\": [{\"setup\": \"c0 02 51 00 00 00 01 00\"}]}",
         "\"requests\"[0]: needs exactly one of \"reply\" and \"stall\""},
        {"{" + ok + ", \"requests\": [{\"setup\": \"c0 02 51 00 00 00 01 00\", \"stall\": false}]}",
         "\"requests\"[0].\"stall\": must be true"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.text.substr(0, 80));
        std::string error;
        EXPECT_EQ(sim::ParseProfile(k.text, ".", &error), nullptr);
        EXPECT_NE(error.find(k.message), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

}  // namespace

namespace {

class SimFeedbackTest : public kvxtest::BusFixture {};

TEST_F(SimFeedbackTest, TheFeedbackEndpointReportsTheDeviceClockThroughTheBus)
{
    Plug(Uac2Device());
    m_device->SetClockRates(41, {44100, 96000});
    m_device->SetClockPpm(-500);
    PURB config = SelectConfiguration();
    PURB alt1 = SelectInterface(config, 1, 1, 2);
    ASSERT_EQ(Submit(alt1), STATUS_SUCCESS);
    const auto& info = alt1->UrbSelectInterface.Interface;
    ASSERT_EQ(info.NumberOfPipes, 2u);
    EXPECT_EQ(info.Pipes[1].EndpointAddress, 0x81);
    static UCHAR data[2 * 4];
    PURB urb = IsoUrb(info.Pipes[1].PipeHandle, 2, 4, data);  // bInterval 4: one packet per frame
    urb->UrbIsochronousTransfer.TransferFlags |= USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    ASSERT_EQ(Submit(urb), STATUS_SUCCESS);
    // 44.1 kHz per microframe at -500 ppm, as 16.16.
    const auto expected = static_cast<uint32_t>(std::llround(44100.0 * (1 - 500e-6) / 8000 * 65536));
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(urb->UrbIsochronousTransfer.IsoPacket[i].Length, 4u);
        uint32_t v;
        std::memcpy(&v, data + 4 * i, 4);
        EXPECT_EQ(v, expected);
    }
}

}  // namespace
