// `kvx play --asio` and `kvx record --asio` in-process on the built-in ASIO headset in virtual
// time: the file reaches the wire exactly, the recording is the device's source, --round-trip
// measures the loop, and what the ASIO interface cannot do is refused with exit status 2.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "platform/nt/Clock.h"
#include "sim/SimDevice.h"
#include "tests/tools/KvxRun.h"
#include "tools/Kvx.h"

namespace {

namespace fs = std::filesystem;

using kvxtest::Kvx;
using kvxtest::KvxRun;

using KvxAsioTest = kvxtest::KvxFileTest;

TEST_F(KvxAsioTest, PlayReachesTheWireExactly)
{
    struct Case {
        const char* Name;
        int Format;
        int Channels;
        std::vector<std::string> Options;
        const char* Expect;
    };
    const Case cases[] = {
        {"stereo.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2, {"--buffer", "64"},
         "ASIO Headset (ASIO): 48000 Hz 16-bit 2 ch, 24000 frames"},
        {"mono.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1, {}, "48000 Hz 16-bit 1 ch, 24000 frames (0.500 s), on 2 ch"},
        {"deep.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_24, 2, {"--buffer", "256"}, "48000 Hz 24-bit 2 ch, 24000 frames"},
        {"float.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2, {"--buffer", "1024"}, "16-bit 2 ch, 24000 frames (0.500 s), converted from float"},
        // A UAC 2.0 render endpoint paced by its feedback, ASIO-capable under its identity.
        {"uac2.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 2,
         {"--buffer", "128", "--device", std::string(KVX_PROFILE_DIR) + "/uac2-asio-headphones.json"},
         "UAC2 Fixed Headphones (ASIO): 48000 Hz 16-bit 2 ch, 24000 frames"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::vector<std::string> args{"play", Write(c.Name, c.Format, 48000, c.Channels, 0.5), "--asio", "--fast"};
        args.insert(args.end(), c.Options.begin(), c.Options.end());
        const KvxRun run = Kvx(args);
        EXPECT_EQ(run.Code, 0) << run.Err;
        EXPECT_EQ(run.Err, "");
        EXPECT_NE(run.Out.find(c.Expect), std::string::npos) << run.Out;
        EXPECT_NE(run.Out.find("wire matches: 24000 frames"), std::string::npos) << run.Out;
        EXPECT_NE(run.Out.find("; late periods 0 of "), std::string::npos) << run.Out;
        EXPECT_NE(run.Out.find("output latency: "), std::string::npos) << run.Out;
    }
}

// Two 64-frame buffers: 128 frames ahead of the host's clock and two 1 ms transfers queued.
TEST_F(KvxAsioTest, RoundTripPrintsTheFigureAndTheOutputLatency)
{
    const std::string file = Write("s.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, 2, 0.2);
    const KvxRun run = Kvx({"play", file, "--asio", "--fast", "--buffer", "64", "--round-trip"});
    ASSERT_EQ(run.Code, 0) << run.Err;
    EXPECT_NE(run.Out.find("output latency: 224 frames (4.67 ms): 128 written ahead of the host's clock, 96 in the "
                           "transfers queued"),
              std::string::npos)
        << run.Out;
    const size_t at = run.Out.find("round trip: ");
    ASSERT_NE(at, std::string::npos) << run.Out;
    size_t used = 0;
    const int frames = std::stoi(run.Out.substr(at + 12), &used);
    EXPECT_EQ(run.Out.substr(at + 12 + used, 8), " frames ") << run.Out;
    EXPECT_NE(run.Out.find("ms) with two buffers of 64 frames", at), std::string::npos) << run.Out;
    EXPECT_GT(frames, 224);  // more than the output alone
    EXPECT_LT(frames, 333);
    EXPECT_NE(run.Out.find("wire matches: 9600 frames"), std::string::npos) << run.Out;
}

// The headset without its loop: the impulse never comes back, and the run fails in one line.
TEST_F(KvxAsioTest, ARoundTripOnADeviceWithoutALoopFails)
{
    std::ifstream in(std::string(KVX_PROFILE_DIR) + "/uac1-asio-headset.json");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string loop = "\"loopback\": {\"out\": \"0x01\", \"in\": \"0x82\", \"delay\": 0},";
    ASSERT_NE(text.find(loop), std::string::npos);
    text.erase(text.find(loop), loop.size());
    const std::string profile = (m_dir / "unlooped.json").string();
    std::ofstream(profile) << text;
    const KvxRun run = Kvx({"play", Write("s.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, 2, 0.1), "--asio", "--fast",
                            "--round-trip", "--device", profile});
    EXPECT_EQ(run.Code, 1);
    EXPECT_EQ(run.Err, "kvx play: --round-trip: the impulse did not come back within 2000 ms: ASIO Headset does not "
                       "loop its output back into its input\n");
    EXPECT_EQ(run.Out, "");
}

TEST_F(KvxAsioTest, RecordIsTheSource)
{
    const std::string path = (m_dir / "rec.wav").string();
    const KvxRun run = Kvx({"record", path, "--seconds", "1", "--asio", "--fast", "--buffer", "128"});
    ASSERT_EQ(run.Code, 0) << run.Err;
    EXPECT_NE(run.Out.find("ASIO Headset (ASIO): 48000 Hz 16-bit 1 ch, 48000 frames (1.000 s) to " + path),
              std::string::npos)
        << run.Out;
    EXPECT_NE(run.Out.find("source matches: 48000 frames"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("buffers 2 x 128 frames; late periods 0 of "), std::string::npos) << run.Out;
    SF_INFO info{};
    SNDFILE* sf = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(sf, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(info.frames, 48000);
    EXPECT_EQ(info.channels, 1);
    std::vector<short> samples(static_cast<size_t>(info.frames));
    EXPECT_EQ(sf_readf_short(sf, samples.data(), info.frames), info.frames);
    sf_close(sf);
    for (size_t n = 0; n < samples.size(); ++n) {
        ASSERT_EQ(samples[n], static_cast<short>(sim::SimDevice::SourceSample(n, 0, 2))) << "frame " << n;
    }
}

// Without --format the recording takes the driver's sample type for the device: 24 bits in 32 on
// the UAC 2.0 quirk headset; --format 48000:24:1 finds the same where no packed 24-bit format is.
TEST_F(KvxAsioTest, RecordTakesTheDevicesOwnSampleType)
{
    const std::string device = std::string(KVX_PROFILE_DIR) + "/uac2-asio-quirk.json";
    for (const std::vector<std::string>& format : {std::vector<std::string>{}, {"--format", "48000:24:1"}}) {
        const std::string path = (m_dir / "quirk.wav").string();
        std::vector<std::string> args{"record", path, "--seconds", "0.2", "--asio", "--fast", "--device", device};
        args.insert(args.end(), format.begin(), format.end());
        const KvxRun run = Kvx(args);
        ASSERT_EQ(run.Code, 0) << run.Err;
        EXPECT_NE(run.Out.find("UAC2 Quirk Headset (ASIO): 48000 Hz 24-bit (in 32) 1 ch, 9600 frames"), std::string::npos)
            << run.Out;
        EXPECT_NE(run.Out.find("source matches: 9600 frames"), std::string::npos) << run.Out;
    }
}

TEST_F(KvxAsioTest, WhatTheAsioInterfaceCannotDoExitsTwo)
{
    const std::string profiles = KVX_PROFILE_DIR;
    const std::string stereo = Write("s.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, 2, 0.1);
    const std::string cd = Write("cd.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, 0.1);
    const std::string wide = Write("wide.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, 4, 0.1);
    const std::string rec = (m_dir / "r.wav").string();
    const struct {
        std::vector<std::string> Args;
        std::string Error;
    } cases[] = {
        {{"play", stereo, "--asio", "--fast", "--device", profiles + "/uac1-headset.json"},
         "kvx play: the device has no ASIO endpoint"},
        {{"record", rec, "--seconds", "1", "--asio", "--fast", "--device", profiles + "/uac1-headset.json"},
         "kvx record: the device has no ASIO endpoint"},
        {{"play", cd, "--asio", "--fast"}, "kvx play: 44100 Hz is not a rate every ASIO endpoint of ASIO Headset takes"},
        {{"record", rec, "--seconds", "1", "--asio", "--fast", "--format", "44100:16:1"},
         "kvx record: 44100 Hz is not a rate every ASIO endpoint of ASIO Headset takes"},
        {{"record", rec, "--seconds", "1", "--asio", "--fast", "--format", "48000:16:2"},
         "kvx record: the first ASIO input endpoint of ASIO Headset has 1 ch, not 2"},
        {{"record", rec, "--seconds", "1", "--asio", "--fast", "--format", "48000:20:1"},
         "kvx record: ASIO records 16-, 24- or 32-bit samples, not 20"},
        {{"play", wide, "--asio", "--fast"}, "kvx play: " + wide + ": 4 ch; ASIO Headset has 2 ASIO output channels"},
        {{"play", stereo, "--buffer", "64"}, "usage: kvx play"},
        {{"play", stereo, "--asio", "--buffer", "8"}, "usage: kvx play"},
        {{"record", rec, "--seconds", "1", "--round-trip", "--asio"}, "usage: kvx record"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Error);
        const KvxRun run = Kvx(c.Args);
        EXPECT_EQ(run.Code, 2) << run.Err;
        EXPECT_EQ(run.Err.rfind(c.Error, 0), 0u) << run.Err;
        EXPECT_EQ(std::count(run.Err.begin(), run.Err.end(), '\n'), 1) << run.Err;
        EXPECT_EQ(run.Out, "");
    }
}

}  // namespace
