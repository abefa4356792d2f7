// `kvx play` and `kvx record` run in-process on the built-in headset in virtual time (and once
// as the program, in real time): files of the endpoint's formats and of other widths reach the
// wire exactly, other rates and broken files are refused with one line, a recording is the
// device's source, and the driver's latency stays within its transfer ring.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <csignal>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "host/AudioEngine.h"
#include "platform/nt/Clock.h"
#include "platform/nt/Machine.h"
#include "sim/Profile.h"
#include "tools/AudioFile.h"
#include "tests/tools/KvxRun.h"
#include "tools/Kvx.h"
#include "tools/StreamCommand.h"
#include "tools/StreamSession.h"
#include "tools/WireCheck.h"

namespace {

namespace fs = std::filesystem;

using kvxtest::Kvx;
using kvxtest::KvxRun;

int Lines(const std::string& text)
{
    int n = 0;
    for (char c : text) n += c == '\n';
    return n;
}

class PlayRecordTest : public kvxtest::KvxFileTest {
protected:
    std::string WriteBytes(const std::string& name, const std::vector<uint8_t>& bytes)
    {
        const std::string path = (m_dir / name).string();
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
        return path;
    }
};

// A canonical 44-byte WAV header with the fields the bad-file table breaks.
std::vector<uint8_t> WavHeader(uint16_t tag, uint16_t channels, uint32_t dataBytes)
{
    std::vector<uint8_t> h;
    auto put = [&h](uint32_t v, int bytes) {
        for (int b = 0; b < bytes; ++b) h.push_back(static_cast<uint8_t>(v >> (8 * b)));
    };
    h.insert(h.end(), {'R', 'I', 'F', 'F'});
    put(36 + dataBytes, 4);
    h.insert(h.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    put(16, 4);
    put(tag, 2);
    put(channels, 2);
    put(48000, 4);
    put(48000 * 4, 4);
    put(4, 2);
    put(16, 2);
    h.insert(h.end(), {'d', 'a', 't', 'a'});
    put(dataBytes, 4);
    h.resize(h.size() + dataBytes);
    return h;
}

TEST_F(PlayRecordTest, TheSampleMatchesOnTheWire)
{
    const KvxRun run = Kvx({"play", std::string(KVX_SAMPLES_DIR) + "/sine-440hz-48k-16bit-stereo.wav", "--fast"});
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_NE(run.Out.find("HPOut00Wave: 48000 Hz 16-bit 2 ch, 96000 frames"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("wire matches: 96000 frames"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("starvation: 0"), std::string::npos) << run.Out;
    EXPECT_EQ(run.Out.find('\r'), std::string::npos);
    EXPECT_EQ(run.Err, "");
}

// The chip-variant headsets: the stereo sample on V4 and V5; on V6 the 8-channel sample, of
// which the device receives channels 0 and 1 (the limiter and the effect nodes pass the sine as
// it is), and the stereo sample converted to 8 channels by the driver.
TEST_F(PlayRecordTest, TheSamplesMatchOnTheWireOfTheChipVariants)
{
    struct Row {
        const char* profile;
        const char* sample;
        const char* stream;
    };
    const Row rows[] = {
        {"v4-headset.json", "sine-440hz-48k-16bit-stereo.wav", "48000 Hz 16-bit 2 ch, 96000 frames"},
        {"v5-headset.json", "sine-440hz-48k-16bit-stereo.wav", "48000 Hz 16-bit 2 ch, 96000 frames"},
        {"v6-effects-headset.json", "sine-440hz-48k-16bit-8ch.wav", "48000 Hz 16-bit 8 ch, 96000 frames"},
        {"v6-effects-headset.json", "sine-440hz-48k-16bit-stereo.wav", "converted by the driver to 48000 Hz 16-bit 8 ch"},
        {"v3-sound-card.json", "sine-440hz-48k-16bit-stereo.wav", "SPKOut00Wave: 48000 Hz 16-bit 2 ch, 96000 frames"},
        {"v3-sound-card.json", "sine-440hz-48k-16bit-8ch.wav", "48000 Hz 16-bit 8 ch, 96000 frames"},
        {"v3-jack-headset.json", "sine-440hz-48k-16bit-stereo.wav", "SPKOut00Wave: 48000 Hz 16-bit 2 ch, 96000 frames"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.profile) + " " + row.sample);
        const KvxRun run = Kvx({"play", std::string(KVX_SAMPLES_DIR) + "/" + row.sample, "--device",
                                std::string(KVX_PROFILE_DIR) + "/" + row.profile, "--fast"});
        EXPECT_EQ(run.Code, 0) << run.Err;
        EXPECT_NE(run.Out.find(row.stream), std::string::npos) << run.Out;
        EXPECT_NE(run.Out.find("wire matches: 96000 frames"), std::string::npos) << run.Out;
    }
}

// With selective suspend the idle headset sleeps 5 s after the start and the stream's open wakes
// it; the sample still matches, and the summary says when it slept and how long the wake took.
TEST_F(PlayRecordTest, SelectiveSuspendSleepsFirstAndTheOpenWakesTheHeadset)
{
    const KvxRun run = Kvx({"play", std::string(KVX_SAMPLES_DIR) + "/sine-440hz-48k-16bit-stereo.wav", "--fast",
                            "--selective-suspend"});
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_NE(run.Out.find("wire matches: 96000 frames"), std::string::npos) << run.Out;
    const size_t at = run.Out.find("selective suspend: slept ");
    ASSERT_NE(at, std::string::npos) << run.Out;
    double slept = 0, wake = -1;
    ASSERT_EQ(std::sscanf(run.Out.c_str() + at, "selective suspend: slept %lf s after the start, the stream's open woke it in %lf ms",
                          &slept, &wake),
              2)
        << run.Out;
    EXPECT_GE(slept, 5.0);
    EXPECT_LE(slept, 5.2);
    EXPECT_GT(wake, 0.0);
    EXPECT_LE(wake, 1000.0);
    EXPECT_EQ(run.Err, "");
}

// The file's own format where the headset lists it; other widths converted to its widest PCM.
TEST_F(PlayRecordTest, FilesOfOtherRatesWidthsAndEncodingsMatch)
{
    struct Case {
        const char* Name;
        int Format;
        int Rate;
        const char* Played;
    } cases[] = {
        {"44k.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, "44100 Hz 16-bit 2 ch"},
        {"float.wav", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 48000, "48000 Hz 24-bit 2 ch"},
        {"pcm8.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_U8, 48000, "48000 Hz 24-bit 2 ch"},
        {"pcm24.flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 44100, "44100 Hz 24-bit 2 ch"},
        {"pcm16.aiff", SF_FORMAT_AIFF | SF_FORMAT_PCM_16, 48000, "48000 Hz 16-bit 2 ch"},
        {"vorbis.ogg", SF_FORMAT_OGG | SF_FORMAT_VORBIS, 48000, "48000 Hz 24-bit 2 ch"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const KvxRun run = Kvx({"play", Write(c.Name, c.Format, c.Rate, 2, 0.25), "--fast"});
        EXPECT_EQ(run.Code, 0) << run.Err;
        EXPECT_NE(run.Out.find(c.Played), std::string::npos) << run.Out;
        EXPECT_NE(run.Out.find("wire matches: " + std::to_string(c.Rate / 4) + " frames"), std::string::npos) << run.Out;
    }
}

// The 2.0 headsets, paced by explicit feedback from a device clock off by --ppm: the sample and
// a 44.1 kHz file reach the wire exactly, and the driver follows the device's rate.
TEST_F(PlayRecordTest, TheUac2HeadsetsPlayExactlyAtEveryClockOffset)
{
    const std::string file44 = Write("44k.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 2, 0.5);
    const std::string sample = std::string(KVX_SAMPLES_DIR) + "/sine-440hz-48k-16bit-stereo.wav";
    for (const char* profile : {"uac2-headset.json", "uac2-headset-fs.json"}) {
        for (const char* ppm : {"0", "1000", "-1000"}) {
            for (const auto& [path, rate, frames] : {std::tuple{sample, 48000, 96000}, std::tuple{file44, 44100, 22050}}) {
                SCOPED_TRACE(std::string(profile) + " ppm " + ppm + " " + std::to_string(rate));
                const KvxRun run =
                    Kvx({"play", path, "--fast", "--device", std::string(KVX_PROFILE_DIR) + "/" + profile, "--ppm", ppm});
                ASSERT_EQ(run.Code, 0) << run.Err << run.Out;
                EXPECT_NE(run.Out.find("wire matches: " + std::to_string(frames) + " frames"), std::string::npos)
                    << run.Out;
                EXPECT_NE(run.Out.find("starvation: 0"), std::string::npos) << run.Out;
                // The driver's rate follows the device clock to within a frame per second.
                const size_t at = run.Out.find("measured rate: mean ");
                ASSERT_NE(at, std::string::npos) << run.Out;
                const double measured = std::strtod(run.Out.c_str() + at + 20, nullptr);
                if (frames == 96000) {
                    EXPECT_NEAR(measured, rate * (1 + std::atof(ppm) * 1e-6), 1.0) << run.Out;
                }
                EXPECT_NE(run.Out.find("sink fill: "), std::string::npos) << run.Out;
                EXPECT_EQ(run.Out.find("underruns 0, overruns 0"), run.Out.find("underruns")) << run.Out;
            }
        }
    }
}

TEST_F(PlayRecordTest, TheUac2HeadsetsRecordTheirSource)
{
    for (const char* profile : {"uac2-headset.json", "uac2-headset-fs.json"}) {
        for (const char* ppm : {"0", "1000"}) {
            SCOPED_TRACE(std::string(profile) + " ppm " + ppm);
            const std::string path = (m_dir / "rec.wav").string();
            const KvxRun run = Kvx({"record", path, "--seconds", "1", "--fast", "--device",
                                    std::string(KVX_PROFILE_DIR) + "/" + profile, "--ppm", ppm});
            ASSERT_EQ(run.Code, 0) << run.Err << run.Out;
            EXPECT_NE(run.Out.find("source matches: "), std::string::npos) << run.Out;
        }
    }
}

// A host controller that delivers completions in batches up to 8 ms late (interrupt moderation),
// with or without scheduling jitter, on both 2.0 headsets with the device clock 1000 ppm either
// way: the driver's rate follows the device clock to within 1 Hz, the sink never runs dry, the
// wire and the recording are exact. Completions 12 ms late come after the ring's next start
// frame has gone by: the driver then sends late, never loses audio, and the sink's gaps fail
// the play.
TEST_F(PlayRecordTest, TheUac2HeadsetsKeepTimeWithCompletionsBatchedLate)
{
    const std::string sample = std::string(KVX_SAMPLES_DIR) + "/sine-440hz-48k-16bit-stereo.wav";
    const struct {
        const char* LatencyMs;
        const char* JitterUs;
        bool WithinRing;
    } timings[] = {{"8", "0", true}, {"8", "3000", true}, {"12", "0", false}};
    for (const char* profile : {"uac2-headset.json", "uac2-headset-fs.json"}) {
        for (const char* ppm : {"1000", "-1000"}) {
            for (const auto& t : timings) {
                SCOPED_TRACE(std::string(profile) + " ppm " + ppm + ", " + t.LatencyMs + " ms late, jitter " + t.JitterUs);
                const std::string device = std::string(KVX_PROFILE_DIR) + "/" + profile;
                const std::vector<std::string> timing = {"--fast", "--device", device, "--ppm", ppm, "--latency-ms",
                                                         t.LatencyMs, "--jitter-us", t.JitterUs};
                std::vector<std::string> args = {"play", sample};
                args.insert(args.end(), timing.begin(), timing.end());
                const KvxRun play = Kvx(args);
                EXPECT_NE(play.Out.find("wire matches: 96000 frames"), std::string::npos) << play.Out;
                if (!t.WithinRing) {
                    // The gaps were audible: the run fails, in one line.
                    EXPECT_EQ(play.Code, 1) << play.Err << play.Out;
                    EXPECT_EQ(play.Err.rfind("kvx play: the device ran dry ", 0), 0u) << play.Err;
                    EXPECT_EQ(Lines(play.Err), 1) << play.Err;
                } else {
                    EXPECT_EQ(play.Code, 0) << play.Err << play.Out;
                    const size_t at = play.Out.find("measured rate: mean ");
                    ASSERT_NE(at, std::string::npos) << play.Out;
                    EXPECT_NEAR(std::strtod(play.Out.c_str() + at + 20, nullptr), 48000 * (1 + std::atof(ppm) * 1e-6), 1.0)
                        << play.Out;
                    EXPECT_NE(play.Out.find("underruns 0, overruns 0"), std::string::npos) << play.Out;
                }
                args = {"record", (m_dir / "r.wav").string(), "--seconds", "1.5"};
                args.insert(args.end(), timing.begin(), timing.end());
                const KvxRun record = Kvx(args);
                EXPECT_EQ(record.Code, 0) << record.Err << record.Out;
                EXPECT_NE(record.Out.find("source matches: 66150 frames"), std::string::npos) << record.Out;
            }
        }
    }
}

// Formats the headset lacks at the six rates with 1 to 8 channels play through the driver's
// format adapter: the wire holds a fresh adapter's conversion of the file.
TEST_F(PlayRecordTest, RatesAndChannelCountsTheEndpointLacksPlayConverted)
{
    const struct {
        const char* Name;
        int Rate, Channels;
        const char* Summary;
    } cases[] = {
        {"96k.wav", 96000, 2, "HPOut00Wave: 96000 Hz 16-bit 2 ch, 9600 frames (0.100 s), converted by the driver to "
                              "48000 Hz 16-bit 2 ch\nwire matches: 4800 frames\n"},
        {"6ch.wav", 48000, 6, "HPOut00Wave: 48000 Hz 16-bit 6 ch, 4800 frames (0.100 s), converted by the driver to "
                              "48000 Hz 16-bit 2 ch\nwire matches: 4800 frames\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const KvxRun run = Kvx({"play", Write(c.Name, SF_FORMAT_WAV | SF_FORMAT_PCM_16, c.Rate, c.Channels, 0.1), "--fast"});
        EXPECT_EQ(run.Code, 0) << run.Err << run.Out;
        EXPECT_EQ(run.Out.rfind(c.Summary, 0), 0u) << run.Out;
    }
}

TEST_F(PlayRecordTest, ARateTheDriverDoesNotConvertIsRefusedWithItsFormats)
{
    const KvxRun run = Kvx({"play", Write("32k.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 32000, 2, 0.1), "--fast"});
    EXPECT_EQ(run.Code, 2);
    EXPECT_EQ(Lines(run.Err), 1) << run.Err;
    EXPECT_NE(run.Err.find("32000 Hz 2 ch is not a format of HPOut00Wave; it takes: "), std::string::npos) << run.Err;
    EXPECT_NE(run.Err.find("48000 Hz 24-bit 2 ch"), std::string::npos) << run.Err;
    EXPECT_EQ(run.Out, "");
}

// A 42-byte FLAC whose stream header claims 2^36 - 1 samples and holds none.
std::vector<uint8_t> FlacClaimingSamples(const std::string& scratch)
{
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 2;
    info.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
    SNDFILE* sf = sf_open(scratch.c_str(), SFM_WRITE, &info);
    EXPECT_NE(sf, nullptr) << sf_strerror(nullptr);
    std::vector<short> samples(2 * 480, 100);
    sf_writef_short(sf, samples.data(), 480);
    sf_close(sf);
    std::ifstream in(scratch, std::ios::binary);
    std::vector<uint8_t> bytes(42);
    in.read(reinterpret_cast<char*>(bytes.data()), 42);
    bytes[4] = 0x80;  // STREAMINFO is the last metadata block
    bytes[8 + 13] |= 0x0F;  // total samples: the low 36 bits of STREAMINFO bytes 13 to 17
    for (int i = 14; i <= 17; ++i) bytes[8 + i] = 0xFF;
    return bytes;
}

TEST_F(PlayRecordTest, BrokenFilesAreRefusedWithOneLine)
{
    std::vector<uint8_t> truncated = WavHeader(1, 2, 4800);
    truncated.resize(20);
    const struct {
        const char* Name;
        std::vector<uint8_t> Bytes;
    } cases[] = {
        {"not-riff.wav", {'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '\n'}},
        {"truncated-header.wav", truncated},
        {"zero-channels.wav", WavHeader(1, 0, 4800)},
        {"unknown-encoding.wav", WavHeader(0x1234, 2, 4800)},
        {"empty-data.wav", WavHeader(1, 2, 0)},
        {"huge-claim.flac", FlacClaimingSamples((m_dir / "scratch.flac").string())},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string path = WriteBytes(c.Name, c.Bytes);
        const KvxRun run = Kvx({"play", path, "--fast"});
        EXPECT_EQ(run.Code, 2);
        EXPECT_EQ(Lines(run.Err), 1) << run.Err;
        EXPECT_EQ(run.Err.rfind("kvx play: " + path + ": ", 0), 0u) << run.Err;
        EXPECT_GT(run.Err.size(), ("kvx play: " + path + ": \n").size()) << run.Err;
        EXPECT_EQ(run.Out, "");
    }
}

// A rate no device could run (16,777,215 Hz on the 2.0 headset's clock): the wire holds the file,
// but the device ran dry and delivery fell far behind the stream's clock; the run fails in one line.
TEST_F(PlayRecordTest, AnImpossibleRateFailsTheRun)
{
    std::ifstream in(std::string(KVX_PROFILE_DIR) + "/uac2-headset.json");
    std::string profile((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t at = profile.find("\"10\": [");
    ASSERT_NE(at, std::string::npos);
    profile.replace(at, profile.find(']', at) + 1 - at, "\"10\": [16777215]");
    const std::string device = (m_dir / "fast-clock.json").string();
    std::ofstream(device) << profile;
    const KvxRun run = Kvx({"play", Write("fast.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 16777215, 2, 0.02), "--fast",
                            "--device", device});
    EXPECT_EQ(run.Code, 1) << run.Out;
    EXPECT_EQ(Lines(run.Err), 1) << run.Err;
    EXPECT_EQ(run.Err.rfind("kvx play: the device ran dry ", 0), 0u) << run.Err;
}

// A file whose data ends before its header says plays what it holds and says so.
TEST_F(PlayRecordTest, AFileEndingEarlyPlaysWhatItHoldsAndSaysSo)
{
    std::vector<uint8_t> bytes = WavHeader(1, 2, 4800);
    bytes.resize(1000);
    for (size_t i = 44; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
    const std::string path = WriteBytes("short.wav", bytes);
    const KvxRun run = Kvx({"play", path, "--fast"});
    EXPECT_EQ(run.Code, 0) << run.Err;
    EXPECT_NE(run.Out.find("wire matches: 239 frames"), std::string::npos) << run.Out;
    EXPECT_EQ(Lines(run.Err), 1) << run.Err;
    EXPECT_EQ(run.Err.rfind("kvx play: " + path + ": ", 0), 0u) << run.Err;
    EXPECT_NE(run.Err.find("4800 bytes"), std::string::npos) << run.Err;
    EXPECT_NE(run.Err.find("played what it holds"), std::string::npos) << run.Err;
}

// --help and --version print to standard output and exit 0; the usage lists every option.
TEST(KvxHelpTest, HelpAndVersionPrintUsage)
{
    const KvxRun version = Kvx({"--version"});
    EXPECT_EQ(version.Code, 0);
    EXPECT_EQ(version.Out.rfind("kvx ", 0), 0u);
    const KvxRun help = Kvx({"--help"});
    EXPECT_EQ(help.Code, 0);
    for (const char* command : {"kvx describe PROFILE", "kvx play FILE", "kvx record FILE"}) {
        EXPECT_NE(help.Out.find(command), std::string::npos) << help.Out;
    }
    for (const char* command : {"play", "record"}) {
        const KvxRun run = Kvx({command, "--help"});
        EXPECT_EQ(run.Code, 0);
        EXPECT_EQ(run.Err, "");
        for (const char* option : {"--device", "--fast", "--ppm", "--latency-ms", "--jitter-us"}) {
            EXPECT_NE(run.Out.find(std::string("[") + option), std::string::npos) << option;
            EXPECT_NE(run.Out.find(std::string("  ") + option), std::string::npos) << option;
        }
    }
}

TEST_F(PlayRecordTest, UsageErrorsExitTwo)
{
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"play"}, {"play", "a.wav", "--bogus"}, {"record", "a.wav"},
          {"record", "a.wav", "--seconds", "-1"}, {"record", "a.wav", "--seconds", "1", "--format", "48000:16"}}) {
        const KvxRun run = Kvx(args);
        EXPECT_EQ(run.Code, 2) << args.back();
        EXPECT_EQ(run.Err.rfind("usage: kvx " + args[0], 0), 0u) << run.Err;
    }
}

// A device that does not start is a run failure (exit 1); one without the endpoint, or a profile
// that cannot be loaded, a usage error (exit 2); each says so in one line.
TEST_F(PlayRecordTest, DevicesThatCannotStreamFailWithOneLine)
{
    const std::string sample = std::string(KVX_SAMPLES_DIR) + "/sine-440hz-48k-16bit-stereo.wav";
    const std::string profiles = KVX_PROFILE_DIR;
    const struct {
        std::vector<std::string> Args;
        int Code;
        const char* Error;
    } cases[] = {
        {{"play", sample, "--fast", "--device", profiles + "/uac2-clock-selector.json"}, 1,
         "kvx play: the device did not start: STATUS_UNSUCCESSFUL (0xC0000001): UAC2: AudioControl subtype 0x0b is not "
         "supported"},
        {{"record", (m_dir / "r.wav").string(), "--seconds", "1", "--fast", "--device",
          profiles + "/uac1-speaker-selector.json"},
         2, "kvx record: the device has no capture filter: STATUS_NOT_FOUND (0xC0000225)"},
        {{"play", sample, "--fast", "--device", (m_dir / "missing.json").string()}, 2, "kvx play: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Error);
        const KvxRun run = Kvx(c.Args);
        EXPECT_EQ(run.Code, c.Code);
        EXPECT_EQ(Lines(run.Err), 1) << run.Err;
        EXPECT_EQ(run.Err.rfind(c.Error, 0), 0u) << run.Err;
        EXPECT_EQ(run.Out, "");
    }
}

TEST_F(PlayRecordTest, RecordingIsTheSource)
{
    const std::string path = (m_dir / "rec.wav").string();
    const KvxRun run = Kvx({"record", path, "--seconds", "2", "--fast"});
    ASSERT_EQ(run.Code, 0) << run.Err;
    EXPECT_NE(run.Out.find("MicIn00Wave: 48000 Hz 16-bit 1 ch, 96000 frames"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("source matches: 96000 frames"), std::string::npos) << run.Out;
    // The file, read back on its own, is the source from its first sample.
    SF_INFO info{};
    SNDFILE* sf = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(sf, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(info.frames, 96000);
    EXPECT_EQ(info.channels, 1);
    EXPECT_EQ(info.samplerate, 48000);
    EXPECT_EQ(info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    std::vector<short> samples(static_cast<size_t>(info.frames));
    EXPECT_EQ(sf_readf_short(sf, samples.data(), info.frames), info.frames);
    sf_close(sf);
    for (size_t n = 0; n < samples.size(); ++n) {
        ASSERT_EQ(samples[n], static_cast<short>(sim::SimDevice::SourceSample(n, 0, 2))) << "frame " << n;
    }
}

// The headset's microphone is 48 kHz mono: a 96 kHz stereo recording is the driver's conversion
// of its source.
// The extension names the format; read back on its own, each file is the source.
TEST_F(PlayRecordTest, RecordWritesTheFormatItsExtensionNames)
{
    const struct {
        const char* Name;
        int Major;
    } cases[] = {{"r.wav", SF_FORMAT_WAV}, {"r.flac", SF_FORMAT_FLAC}, {"r.AIFF", SF_FORMAT_AIFF}, {"r.aif", SF_FORMAT_AIFF}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string path = (m_dir / c.Name).string();
        const KvxRun run = Kvx({"record", path, "--seconds", "0.5", "--fast"});
        ASSERT_EQ(run.Code, 0) << run.Err;
        EXPECT_NE(run.Out.find("source matches: 24000 frames"), std::string::npos) << run.Out;
        SF_INFO info{};
        SNDFILE* sf = sf_open(path.c_str(), SFM_READ, &info);
        ASSERT_NE(sf, nullptr) << sf_strerror(nullptr);
        EXPECT_EQ(info.format & SF_FORMAT_TYPEMASK, c.Major);
        EXPECT_EQ(info.frames, 24000);
        std::vector<short> samples(24000);
        EXPECT_EQ(sf_readf_short(sf, samples.data(), 24000), 24000);
        sf_close(sf);
        for (size_t n = 0; n < samples.size(); n += 97) {
            ASSERT_EQ(samples[n], static_cast<short>(sim::SimDevice::SourceSample(n, 0, 2))) << "frame " << n;
        }
    }
}

// An output that cannot take the recording is refused before anything is recorded: one line,
// exit 2, no file left. A FIFO without a reader is refused at once instead of waiting for one.
TEST_F(PlayRecordTest, RecordRefusesAnOutputItCannotWriteUpFront)
{
    const std::string fifo = (m_dir / "fifo.wav").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    fs::create_directories(m_dir / "folder.wav");
    const struct {
        std::string Path;
        std::vector<std::string> Extra;
        std::string Error;
    } cases[] = {
        {(m_dir / "r.mp3").string(), {}, "the extension names no format kvx records: use .wav, .flac, .aiff or .aif"},
        {(m_dir / "r").string(), {}, "the extension names no format kvx records"},
        {(m_dir / "missing" / "r.wav").string(), {}, "the folder " + (m_dir / "missing").string() + " does not exist"},
        {(m_dir / "folder.wav").string(), {}, "is a directory"},
        {fifo, {}, "a FIFO with no reader: start the reader first"},
        {(m_dir / "r.wav").string(), {"--seconds", "0.00001"}, "usage: kvx record "},
        {(m_dir / "r.wav").string(), {"--seconds", "3601"}, "usage: kvx record "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Path + " " + (c.Extra.empty() ? "" : c.Extra[1]));
        std::vector<std::string> args = {"record", c.Path, "--fast"};
        if (c.Extra.empty() || c.Extra[0] != "--seconds") args.insert(args.end(), {"--seconds", "0.5"});
        args.insert(args.end(), c.Extra.begin(), c.Extra.end());
        const KvxRun run = Kvx(args);
        EXPECT_EQ(run.Code, 2);
        EXPECT_EQ(Lines(run.Err), 1) << run.Err;
        EXPECT_NE(run.Err.find(c.Error), std::string::npos) << run.Err;
        EXPECT_EQ(run.Out, "");
        if (c.Extra.empty() || c.Extra[0] == "--seconds") {
            EXPECT_FALSE(fs::is_regular_file(c.Path));
        }
    }
    EXPECT_NE(Kvx({"record", "r.wav", "--seconds", "0"}).Err.find("--seconds needs a number from 0.01 to 3600"),
              std::string::npos);
}

TEST_F(PlayRecordTest, RecordConvertsAFormatTheEndpointLacks)
{
    const KvxRun run = Kvx({"record", (m_dir / "r.wav").string(), "--seconds", "1", "--fast", "--format", "96000:16:2"});
    EXPECT_EQ(run.Code, 0) << run.Err << run.Out;
    EXPECT_NE(run.Out.find("source matches: 96000 frames, as the driver converts 48000 Hz 16-bit 1 ch"),
              std::string::npos)
        << run.Out;
}

TEST_F(PlayRecordTest, RecordRefusesAFormatTheEndpointDoesNotList)
{
    const KvxRun run = Kvx({"record", (m_dir / "r.wav").string(), "--seconds", "1", "--fast", "--format", "32000:16:1"});
    EXPECT_EQ(run.Code, 2);
    EXPECT_EQ(Lines(run.Err), 1) << run.Err;
    EXPECT_NE(run.Err.find("it takes: 48000 Hz 16-bit 1 ch"), std::string::npos) << run.Err;
}

// The wire check finds the data after the initial silence and names the first frame that
// differs, with both values, a slip of the data along the wire, or where the wire ends. It runs
// as the stream does: data and wire fed in pieces, the wire cut anywhere, give the same answer.
TEST(WireCheckTest, ReportsTheFirstDifferingFrameOrSlip)
{
    const std::vector<uint8_t> data = {1, 2, 3, 4, 0, 0, 0, 0, 5, 6, 7, 8};  // 3 frames of 4 bytes
    auto with = [](const std::vector<uint8_t>& d, size_t lead, size_t trail) {
        std::vector<uint8_t> wire(lead, 0);
        wire.insert(wire.end(), d.begin(), d.end());
        wire.resize(wire.size() + trail, 0);
        return wire;
    };
    std::vector<uint8_t> changed = with(data, 8, 8);
    changed[8 + 9] = 0x66;
    std::vector<uint8_t> noisyTail = with(data, 8, 8);
    noisyTail[8 + 12 + 5] = 1;
    std::vector<uint8_t> shortWire = with(data, 8, 0);
    shortWire.resize(8 + 8);
    // Twelve frames of sound: two silent frames slipped in after its first frame, or two lost.
    std::vector<uint8_t> sound;
    for (uint8_t f = 1; f <= 12; ++f) sound.insert(sound.end(), {f, f, f, f});
    std::vector<uint8_t> late = with(std::vector<uint8_t>(sound.begin(), sound.begin() + 4), 8, 8);
    late.insert(late.end(), sound.begin() + 4, sound.end());
    late.resize(late.size() + 16, 0);
    std::vector<uint8_t> lost = with(std::vector<uint8_t>(sound.begin(), sound.begin() + 4), 8, 0);
    lost.insert(lost.end(), sound.begin() + 12, sound.end());
    lost.resize(lost.size() + 64, 0);
    const struct {
        const char* Name;
        const std::vector<uint8_t>& Data;
        std::vector<uint8_t> Wire;
        bool Matches;
        const char* Report;
    } cases[] = {
        {"match", data, with(data, 8, 8), true, "wire matches: 3 frames"},
        {"no lead", data, with(data, 0, 4), true, "wire matches: 3 frames"},
        {"a byte changed", data, changed, false, "wire differs at frame 2 of the file: expected 05 06 07 08, got 05 66 07 08"},
        {"noise after", data, noisyTail, false, "wire differs at silence after the file, wire frame 6: expected 00 00 00 00, got 00 01 00 00"},
        {"wire too short", data, shortWire, false, "wire ends at frame 2 of 3 (4 frames on the wire)"},
        {"silent wire", data, std::vector<uint8_t>(40, 0), false, "wire differs at frame 0 of the file: expected 01 02 03 04, got 00 00 00 00"},
        {"late", sound, late, false, "wire is 2 frames late from frame 1 of the file"},
        {"lost", sound, lost, false, "wire lost 2 frames at frame 1 of the file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        uint64_t lead = 0;
        std::string report;
        EXPECT_EQ(kvx::CheckWire(c.Wire, c.Data, 4, &lead, &report), c.Matches);
        EXPECT_EQ(report, c.Report);
        // Streamed: the wire in 3-byte pieces, each data frame given once the wire is due to reach it.
        kvx::WireChecker checker(4);
        size_t given = 0;
        for (size_t at = 0; at < c.Wire.size(); at += 3) {
            while (given < c.Data.size() && given <= at) {
                checker.Data(c.Data.data() + given, 4);
                given += 4;
            }
            checker.Wire(c.Wire.data() + at, std::min<size_t>(3, c.Wire.size() - at));
        }
        if (given < c.Data.size()) checker.Data(c.Data.data() + given, c.Data.size() - given);
        checker.EndData();
        std::string streamed;
        EXPECT_EQ(checker.Finish(&streamed), c.Matches);
        EXPECT_EQ(streamed, c.Report);
        EXPECT_EQ(checker.Lead(), lead);
    }
    // Frames wider than any fixed scratch buffer.
    const std::vector<uint8_t> wide(2 * 128, 0x11);
    std::vector<uint8_t> wire(128, 0);
    wire.insert(wire.end(), wide.begin(), wide.end());
    wire.resize(wire.size() + 128, 0);
    uint64_t lead = 0;
    std::string report;
    EXPECT_TRUE(kvx::CheckWire(wire, wide, 128, &lead, &report)) << report;
    EXPECT_EQ(lead, 128u);
}

// Narrowing rounds to nearest with halves up and clips; float scales by 2^(bits-1), rounds half
// away from zero and clips.
TEST(AudioFileTest, WidthConversionRoundsAndClips)
{
    struct Case {
        int Width;
        double Value;  // a left-justified 32-bit integer, or a float sample
        int Bits;
        int32_t Expected;
    } cases[] = {
        {32, 0x00008000, 16, 1},           // exactly half an LSB: up
        {32, 0x00007FFF, 16, 0},
        {32, -0x00008000, 16, 0},          // -half: up to zero
        {32, -0x00008001, 16, -1},
        {32, 0x7FFFFFFF, 16, 32767},       // rounding past full scale clips
        {32, 0x7FFFFF80, 24, 8388607},
        {16, 0x12340000, 24, 0x123400},    // widening is exact
        {0, 1.0, 16, 32767},
        {0, -1.0, 16, -32768},
        {0, 1.5, 24, 8388607},
        {0, 0.5 / 32768, 16, 1},
        {0, -0.5 / 32768, 16, -1},
    };
    for (const Case& c : cases) {
        kvx::AudioFile file;
        file.Width = c.Width;
        if (c.Width != 0) {
            file.Samples = {static_cast<int32_t>(static_cast<int64_t>(c.Value))};
        } else {
            file.Floats = {c.Value};
        }
        const int container = c.Bits == 24 ? 24 : 16;
        const std::vector<uint8_t> pcm = kvx::ConvertToPcm(file, c.Bits, container);
        EXPECT_EQ(kvx::PcmSample(pcm.data(), 0, container), c.Expected) << c.Width << " " << c.Value << " " << c.Bits;
    }
}

// Latency is counted per sample at its first byte, whichever runs split it; the mean weighs
// each sample once.
TEST(AudioEngineLatencyTest, EachSampleCountsOnceAtItsFirstByte)
{
    // Two 4-byte samples filled in frame 10 and one in frame 12; the wire splits the second
    // sample across frames 20 and 21 and carries the third in frame 22.
    const std::vector<host::FrameRun> fills = {{10, 8}, {12, 4}};
    const std::vector<host::FrameRun> wire = {{20, 6}, {21, 2}, {22, 4}, {23, 4}};
    const host::LatencyFigures figures = host::MeasureLatency(fills, wire, 4);
    EXPECT_EQ(figures.Samples, 3u);
    EXPECT_EQ(figures.MaxFrames, 10u);
    EXPECT_DOUBLE_EQ(figures.MeanFrames, 10.0);
    // Frame numbers wrap at 32 bits.
    const host::LatencyFigures wrapped = host::MeasureLatency({{0xFFFFFFFEu, 4}}, {{1, 4}}, 4);
    EXPECT_EQ(wrapped.MaxFrames, 3u);
    // Write to wire: the write's first byte, `lead` bytes into the wire.
    const host::WriteToWire w = host::MeasureWriteToWire({{5.0, 4}, {7.0, 8}}, wire, 4);
    EXPECT_EQ(w.Writes, 2u);
    EXPECT_DOUBLE_EQ(w.MaxMs, 15.0);  // bytes 4..7 -> wire byte 8 (frame 22) - 7 ms
    EXPECT_DOUBLE_EQ(w.MeanMs, 15.0);
}

// Per rendered sample, the frames from the driver's copy out of the cyclic buffer to its packet
// on the wire: never more than one frame beyond the transfer ring (3 transfers of 5 ms).
TEST_F(PlayRecordTest, LatencyStaysWithinTheTransferRing)
{
    kvx::StreamSession session;
    std::string error;
    auto device = sim::ParseProfile(kvx::BuiltInHeadsetProfile(), ".", &error);
    ASSERT_NE(device, nullptr) << error;
    ASSERT_EQ(session.Start(std::move(device)), STATUS_SUCCESS);
    {
        host::AudioEngine engine(session.Fdo());
        ASSERT_EQ(engine.Open(false), STATUS_SUCCESS);
        const host::AudioFormat format{48000, 2, 16, 16};
        std::vector<uint8_t> data(48000 / 2 * 4);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i % 251 + 1);
        host::EngineProbe probe;
        probe.Observe = session.ObserveTransport(engine.FilterName());
        ASSERT_TRUE(probe.Observe);
        probe.Frame = [&session] { return session.Bus().Frame(); };
        ASSERT_EQ(engine.StartRender(format, data, probe), STATUS_SUCCESS);
        ASSERT_EQ(engine.Wait(), host::EngineEnd::Finished);
        std::vector<host::FrameRun> wire;
        uint64_t wireBytes = 0;
        for (const sim::WirePacket& p : session.Device().Wire(0x01)) {
            wire.push_back({p.Frame, static_cast<uint32_t>(p.Data.size())});
            wireBytes += p.Data.size();
        }
        const host::LatencyFigures latency = host::MeasureLatency(engine.Fills(), wire, 4);
        // Every sample on the wire was seen filled.
        EXPECT_EQ(latency.Samples, wireBytes / 4);
        // The ring the endpoint announced: three 5 ms transfers here.
        EXPECT_EQ(engine.RingTransfers(), 3u);
        EXPECT_EQ(engine.RingMsPerTransfer(), 5u);
        EXPECT_LE(latency.MaxFrames, engine.RingTransfers() * engine.RingMsPerTransfer() + 1);
        EXPECT_GE(latency.MeanFrames, 1.0);
    }
    std::string report;
    EXPECT_TRUE(session.End(&report)) << report;
}

// The program itself, its output a pipe: half a second in real time plays exactly, with the
// summary and no progress line.
TEST(KvxProgramTest, ARealTimePlayCompletesWithoutAProgressLineOffATerminal)
{
    const fs::path dir = fs::temp_directory_path() / ("kvx-rt-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string path = (dir / "half.wav").string();
    SF_INFO info{};
    info.samplerate = 48000;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* sf = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(sf, nullptr);
    std::vector<short> samples(48000);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<short>((i * 37) % 2000 - 1000);
    sf_writef_short(sf, samples.data(), 24000);
    sf_close(sf);
    const std::string command = std::string(KVX_PROGRAM) + " play " + path + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[512];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
    const int status = pclose(pipe);
    fs::remove_all(dir);
    // The clock is paced: load makes the run late, never different.
    ASSERT_TRUE(WIFEXITED(status)) << output;
    EXPECT_EQ(WEXITSTATUS(status), 0) << output;
    EXPECT_NE(output.find("HPOut00Wave: 48000 Hz 16-bit 2 ch, 24000 frames (0.500 s)\nwire matches: 24000 frames\n"),
              std::string::npos)
        << output;
    EXPECT_NE(output.find("behind real time: max "), std::string::npos) << output;
    EXPECT_EQ(output.find('\r'), std::string::npos) << output;
}

// Real time, with the DPC thread held for 200 ms of wall time in the middle of the stream (a
// processor taken away by other work): the clock waits for it, so the play is late but exact,
// and the summary says how far behind real time it fell.
TEST_F(PlayRecordTest, ARealTimePlayHeldBackByALaggingDpcStaysExactAndReportsTheLag)
{
    const std::string path = Write("half.wav", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 48000, 2, 0.5);
    platform::HoldDpcAt(platform::ClockNow() + 300 * platform::TICKS_PER_MS, std::chrono::milliseconds(200));
    const KvxRun run = Kvx({"play", path});
    EXPECT_EQ(run.Code, 0) << run.Err << run.Out;
    EXPECT_NE(run.Out.find("wire matches: 24000 frames"), std::string::npos) << run.Out;
    EXPECT_NE(run.Out.find("starvation: 0"), std::string::npos) << run.Out;
    const size_t at = run.Out.find("behind real time: max ");
    ASSERT_NE(at, std::string::npos) << run.Out;
    EXPECT_GE(std::strtod(run.Out.c_str() + at + 22, nullptr), 150.0) << run.Out;
    EXPECT_NE(run.Out.find("ms cyclic buffer behind real time: the run was late\n"), std::string::npos) << run.Out;
    // Virtual time has no such line.
    EXPECT_EQ(Kvx({"play", path, "--fast"}).Out.find("behind real time"), std::string::npos);
}

// Ctrl-C during a long recording: the program stops the stream, finishes the file and prints
// the summary; the file holds exactly the frames recorded, an unbroken run of the source.
TEST(KvxProgramTest, SigintDuringRecordLeavesAValidFileOfTheFramesRecorded)
{
    const fs::path dir = fs::temp_directory_path() / ("kvx-sigint-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string path = (dir / "long.flac").string();
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(out[1], STDERR_FILENO);
        close(out[0]);
        execl(KVX_PROGRAM, KVX_PROGRAM, "record", path.c_str(), "--seconds", "3600", "--fast", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    // Once the file has grown past its header, the recording is under way.
    for (int i = 0; i < 400 && !(fs::exists(path) && fs::file_size(path) > 65536); ++i) usleep(50000);
    ASSERT_TRUE(fs::exists(path) && fs::file_size(path) > 65536);
    kill(pid, SIGINT);
    std::string output;
    char buffer[512];
    while (true) {
        const ssize_t n = read(out[0], buffer, sizeof buffer);
        if (n <= 0) break;
        output.append(buffer, static_cast<size_t>(n));
    }
    close(out[0]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << output;
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGINT) << output;
    const size_t at = output.find("stopped by SIGINT: the file holds the ");
    ASSERT_NE(at, std::string::npos) << output;
    const long long frames = std::atoll(output.c_str() + at + 38);
    EXPECT_GT(frames, 0) << output;
    EXPECT_NE(output.find("source matches: " + std::to_string(frames) + " frames"), std::string::npos) << output;
    SF_INFO info{};
    SNDFILE* sf = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(sf, nullptr) << sf_strerror(nullptr);
    EXPECT_EQ(info.frames, frames);
    std::vector<short> samples(static_cast<size_t>(info.frames));
    EXPECT_EQ(sf_readf_short(sf, samples.data(), info.frames), info.frames);
    sf_close(sf);
    for (size_t n = 0; n < samples.size(); n += 101) {
        ASSERT_EQ(samples[n], static_cast<short>(sim::SimDevice::SourceSample(n, 0, 2))) << "frame " << n;
    }
    fs::remove_all(dir);
}

}  // namespace
