// The host audio engine through the whole driver on the simulated headset: what it plays reaches
// the wire exactly, its position never goes back and ends at the wire's bytes, capture delivers
// the device's source, and a device going away mid-play closes the pin cleanly.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "adapter/AdapterExtension.h"
#include "adapter/AudioHal.h"
#include "adapter/StreamEngine.h"
#include "host/AudioEngine.h"
#include "platform/nt/Clock.h"
#include "sim/Profile.h"
#include "tests/support/HostSession.h"

namespace {

// The counting pattern: byte n is n mod 251 (a prime: a lost or repeated packet shows at once).
std::vector<uint8_t> Pattern(size_t bytes)
{
    std::vector<uint8_t> data(bytes);
    for (size_t i = 0; i < bytes; ++i) data[i] = static_cast<uint8_t>(i % 251 + 1);
    return data;
}

class AudioEngineTest : public ::testing::Test {
protected:
    // A profile of sim/profiles, optionally moved to high speed.
    void Start(bool highSpeed = false, const std::string& profile = "uac1-headset.json")
    {
        std::string error;
        ASSERT_EQ(m_session.StartProfile(profile, highSpeed, &error), STATUS_SUCCESS) << error;
    }
    void TearDown() override
    {
        std::string report;
        EXPECT_TRUE(m_session.End(&report)) << report;
    }
    kvxtest::HostSession m_session;
};

struct RenderCase {
    const char* Profile;
    bool HighSpeed;
    ULONG Rate;
    USHORT Bits;
    USHORT Container;
    // UAC1 endpoints send the nominal rate: the initial queue is exactly three 5 ms transfers of
    // the block's tail, frames per ms rounded up. Asynchronous ones follow their feedback.
    bool ExactLead;
};

// The engine's thread wakes for its buffers coming back (10 ms each), not on a clock of its own.
TEST_F(AudioEngineTest, TheEngineWakesForItsBuffersNotOnATimer)
{
    Start();
    for (bool capture : {false, true}) {
        host::AudioEngine engine(m_session.Fdo());
        ASSERT_EQ(engine.Open(capture), STATUS_SUCCESS);
        const host::AudioFormat format{48000, 2, 16, 16};
        const uint64_t second = uint64_t{format.BlockAlign()} * format.Rate;
        if (capture) {
            ASSERT_EQ(engine.StartCapture(format, second), STATUS_SUCCESS);
        } else {
            ASSERT_EQ(engine.StartRender(format, Pattern(second), {}), STATUS_SUCCESS);
        }
        ASSERT_EQ(engine.Wait(), host::EngineEnd::Finished) << capture;
        const host::EngineStats stats = engine.Stats();
        ASSERT_GE(stats.ElapsedMs, 900.0) << capture;
        // About one look per buffer; a thread that polled every millisecond would look ~1,000 times.
        EXPECT_GT(stats.Looks, 50u) << capture;
        EXPECT_LT(static_cast<double>(stats.Looks), stats.ElapsedMs / 4) << capture << " " << stats.Looks;
    }
}

class AudioEngineRenderTest : public AudioEngineTest, public ::testing::WithParamInterface<RenderCase> {};

// Silence, the client's bytes exactly, silence; the position never goes back and, paused, stands
// at the bytes the device received.
TEST_P(AudioEngineRenderTest, ACountingPatternReachesTheWireExactly)
{
    const RenderCase c = GetParam();
    Start(c.HighSpeed, c.Profile);
    host::AudioEngine engine(m_session.Fdo());
    ASSERT_EQ(engine.Open(false), STATUS_SUCCESS);
    EXPECT_EQ(engine.FilterName(), u"HPOut00Wave");
    const host::AudioFormat format{c.Rate, 2, c.Bits, c.Container};
    ASSERT_NE(std::find(engine.Formats().begin(), engine.Formats().end(), format), engine.Formats().end());
    const std::vector<uint8_t> data = Pattern(format.BlockAlign() * (c.Rate / 5));  // 200 ms
    host::EngineProbe probe;
    probe.WireBytes = [this] {
        const uint8_t ep = kvx::WireEndpoint(m_session.Device());
        return ep != 0 ? m_session.Device().WireByteCount(ep) : uint64_t{0};
    };
    ASSERT_EQ(engine.StartRender(format, data, probe), STATUS_SUCCESS);
    ASSERT_EQ(engine.Wait(), host::EngineEnd::Finished) << std::hex << engine.Status();

    const uint8_t ep = kvx::WireEndpoint(m_session.Device());
    ASSERT_NE(ep, 0);
    const sim::Bytes wire = m_session.Device().WireBytes(ep);
    // The pattern has no zero byte: the data starts at the wire's first non-zero byte.
    const size_t lead = static_cast<size_t>(std::find_if(wire.begin(), wire.end(), [](uint8_t b) { return b != 0; }) -
                                            wire.begin());
    if (c.ExactLead) {
        EXPECT_EQ(lead, (c.Rate + 999) / 1000 * format.BlockAlign() * 15);
    }
    ASSERT_GE(wire.size(), lead + data.size());
    for (size_t k = 0; k < wire.size(); ++k) {
        const uint8_t expected = k >= lead && k - lead < data.size() ? data[k - lead] : 0;
        ASSERT_EQ(wire[k], expected) << "wire byte " << k;
    }
    const host::EngineStats stats = engine.Stats();
    EXPECT_EQ(stats.PositionWentBack, 0u);
    EXPECT_EQ(stats.PlayOffset, wire.size());
    EXPECT_EQ(stats.Transferred, data.size());
    EXPECT_EQ(stats.Starvations, 0u);
}

INSTANTIATE_TEST_SUITE_P(Formats, AudioEngineRenderTest,
                         ::testing::Values(RenderCase{"uac1-headset.json", false, 48000, 16, 16, true},
                                           RenderCase{"uac1-headset.json", false, 44100, 16, 16, true},
                                           RenderCase{"uac1-headset.json", false, 48000, 24, 24, true},
                                           RenderCase{"uac1-headset.json", true, 44100, 24, 24, true},
                                           RenderCase{"uac2-headset.json", true, 96000, 24, 32, false},
                                           RenderCase{"uac2-headset-fs.json", false, 44100, 16, 16, false}));

class AudioEngineCaptureTest : public AudioEngineTest, public ::testing::WithParamInterface<bool> {};

TEST_P(AudioEngineCaptureTest, CaptureDeliversTheSourceExactly)
{
    Start(GetParam());
    m_session.Device().SetSource(0x82, {48000, 1, 2});
    host::AudioEngine engine(m_session.Fdo());
    ASSERT_EQ(engine.Open(true), STATUS_SUCCESS);
    EXPECT_EQ(engine.FilterName(), u"MicIn00Wave");
    ASSERT_FALSE(engine.Formats().empty());
    const host::AudioFormat format = engine.Formats()[0];
    EXPECT_EQ(format, (host::AudioFormat{48000, 1, 16, 16}));
    ASSERT_EQ(engine.StartCapture(format, 48000 * 2 / 2), STATUS_SUCCESS);  // 500 ms
    ASSERT_EQ(engine.Wait(), host::EngineEnd::Finished) << std::hex << engine.Status();
    const std::vector<uint8_t> bytes = engine.Captured();
    ASSERT_EQ(bytes.size(), 48000u);
    for (size_t i = 0; i < bytes.size() / 2; ++i) {
        const int16_t sample = static_cast<int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
        ASSERT_EQ(sample, static_cast<int16_t>(sim::SimDevice::SourceSample(i, 0, 2))) << "sample " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(FullAndHighSpeed, AudioEngineCaptureTest, ::testing::Bool());

// The device goes away mid-play (surprise removal, then removal): the engine sees its filter
// gone, walks the pin down and closes it; nothing is left and nothing hangs.
TEST_F(AudioEngineTest, SurpriseRemovalMidPlayClosesThePin)
{
    Start();
    host::AudioEngine engine(m_session.Fdo());
    ASSERT_EQ(engine.Open(false), STATUS_SUCCESS);
    const host::AudioFormat format{48000, 2, 16, 16};
    // With the latency observer on the endpoint's callback object, which goes with the device.
    host::EngineProbe probe;
    probe.Observe = m_session.ObserveTransport(engine.FilterName());
    ASSERT_TRUE(probe.Observe);
    probe.Frame = [this] { return m_session.Bus().Frame(); };
    ASSERT_EQ(engine.StartRender(format, Pattern(format.BlockAlign() * 48000), probe), STATUS_SUCCESS);
    ASSERT_TRUE(platform::RunUntil([&] { return engine.Stats().PlayOffset > 20000; }, std::chrono::seconds(1)));
    EXPECT_EQ(m_session.Pnp().SurpriseRemove(m_session.Pdo()), STATUS_SUCCESS);
    // As the PnP manager does, the removal comes once the audio stack has closed its handles:
    // the engine sees its filter go and closes the pin and the filter first.
    EXPECT_EQ(engine.Wait(), host::EngineEnd::Removed);
    EXPECT_EQ(m_session.Remove(), STATUS_SUCCESS);
    EXPECT_FALSE(engine.Fills().empty());
}

// A burst of failed packets mid-play: the endpoint recovers and the play goes on to its end,
// the position never going back; the data's last 20 ms reach the wire whole.
TEST_F(AudioEngineTest, PacketErrorsMidPlayRecoverAndThePlayGoesOn)
{
    Start();
    host::AudioEngine engine(m_session.Fdo());
    ASSERT_EQ(engine.Open(false), STATUS_SUCCESS);
    const host::AudioFormat format{48000, 2, 16, 16};
    const std::vector<uint8_t> data = Pattern(format.BlockAlign() * 48000 / 2);
    ASSERT_EQ(engine.StartRender(format, data), STATUS_SUCCESS);
    ASSERT_TRUE(platform::RunUntil([&] { return engine.Stats().PlayOffset > 20000; }, std::chrono::seconds(1)));
    m_session.Device().FailPackets(0x01, 12);
    ASSERT_EQ(engine.Wait(), host::EngineEnd::Finished) << std::hex << engine.Status();
    EXPECT_EQ(engine.Stats().PositionWentBack, 0u);
    EXPECT_EQ(engine.Stats().Transferred, data.size());
    const sim::Bytes wire = m_session.Device().WireBytes(0x01);
    const std::vector<uint8_t> tail(data.end() - 3840, data.end());
    EXPECT_NE(std::search(wire.begin(), wire.end(), tail.begin(), tail.end()), wire.end());
}

// Stop mid-play: the pin walks down and closes; nothing is left.
TEST_F(AudioEngineTest, StopMidPlayClosesThePin)
{
    Start();
    host::AudioEngine engine(m_session.Fdo());
    ASSERT_EQ(engine.Open(false), STATUS_SUCCESS);
    const host::AudioFormat format{48000, 2, 16, 16};
    ASSERT_EQ(engine.StartRender(format, Pattern(format.BlockAlign() * 48000)), STATUS_SUCCESS);
    ASSERT_TRUE(platform::RunUntil([&] { return engine.Stats().PlayOffset > 20000; }, std::chrono::seconds(1)));
    engine.Stop();
    EXPECT_EQ(engine.Wait(), host::EngineEnd::Stopped);
    EXPECT_LT(engine.Stats().Transferred, format.BlockAlign() * 48000u);
}

// The render filter is taken away and registered afresh mid-play, as a change of the active
// output does: the engine sees its filter gone and closes the pin; the new filter plays.
TEST_F(AudioEngineTest, AFilterReRegisteredMidPlayClosesThePinAndTheNewOnePlays)
{
    Start();
    host::AudioEngine engine(m_session.Fdo());
    ASSERT_EQ(engine.Open(false), STATUS_SUCCESS);
    const host::AudioFormat format{48000, 2, 16, 16};
    ASSERT_EQ(engine.StartRender(format, Pattern(format.BlockAlign() * 48000)), STATUS_SUCCESS);
    ASSERT_TRUE(platform::RunUntil([&] { return engine.Stats().PlayOffset > 20000; }, std::chrono::seconds(1)));
    PDEVICE_OBJECT fdo = m_session.Fdo();
    IAudioHal* hal = GetAdapterExtension(fdo)->Device;
    StreamEngine* render = nullptr;
    for (ULONG i = 0; i < hal->GetEndpointCount() && render == nullptr; ++i) {
        StreamEngine* endpoint = nullptr;
        if (NT_SUCCESS(hal->GetEndpoint(i, &endpoint)) && !endpoint->IsCapture()) render = endpoint;
    }
    ASSERT_NE(render, nullptr);
    EXPECT_EQ(m_session.Pnp().RunOnPnpThread([&]() -> NTSTATUS {
        NTSTATUS status = render->UnregisterWave(fdo, nullptr, hal);
        return NT_SUCCESS(status) ? render->RegisterWave(fdo, nullptr, hal) : status;
    }),
              STATUS_SUCCESS);
    EXPECT_EQ(engine.Wait(), host::EngineEnd::Removed);

    host::AudioEngine again(fdo);
    ASSERT_EQ(again.Open(false), STATUS_SUCCESS);
    EXPECT_EQ(again.FilterName(), u"HPOut00Wave");
    ASSERT_EQ(again.StartRender(format, Pattern(format.BlockAlign() * 4800)), STATUS_SUCCESS);
    EXPECT_EQ(again.Wait(), host::EngineEnd::Finished) << std::hex << again.Status();
}

// The device is unplugged mid-play with no removal from the PnP side: the stream stops moving
// and the engine gives up on it, walks the pin down and closes it.
TEST_F(AudioEngineTest, AnUnpluggedDeviceFailsThePlayAndClosesThePin)
{
    Start();
    host::AudioEngine engine(m_session.Fdo());
    ASSERT_EQ(engine.Open(false), STATUS_SUCCESS);
    const host::AudioFormat format{48000, 2, 16, 16};
    ASSERT_EQ(engine.StartRender(format, Pattern(format.BlockAlign() * 48000 * 5)), STATUS_SUCCESS);
    ASSERT_TRUE(platform::RunUntil([&] { return engine.Stats().PlayOffset > 20000; }, std::chrono::seconds(1)));
    m_session.Device().Unplug();
    const host::EngineEnd end = engine.Wait();
    EXPECT_EQ(end, host::EngineEnd::Failed) << host::EngineEndText(end);
    EXPECT_EQ(engine.Status(), STATUS_IO_TIMEOUT);
    EXPECT_LT(engine.Stats().Transferred, format.BlockAlign() * 48000u * 5);
}

}  // namespace

namespace {

// A 2.0 headset's headphone jack pulled mid-play: the device posts its Connectors change, the
// driver removes the render filter, and the engine closes its pin (no leak, checked at the
// session's end); plugged back in, the filter returns and plays.
TEST_F(AudioEngineTest, AJackPulledOnAUac2HeadsetMidPlayClosesTheEngine)
{
    for (const char* profile : {"uac2-headset.json", "uac2-headset-fs.json"}) {
        SCOPED_TRACE(profile);
        Start(false, profile);
        sim::SimDevice& headset = m_session.Device();
        const host::AudioFormat format{48000, 2, 16, 16};
        {
            host::AudioEngine engine(m_session.Fdo());
            ASSERT_EQ(engine.Open(false), STATUS_SUCCESS);
            ASSERT_EQ(engine.StartRender(format, Pattern(format.BlockAlign() * 48000)), STATUS_SUCCESS);
            ASSERT_TRUE(platform::RunUntil([&] { return engine.Stats().PlayOffset > 20000; }, std::chrono::seconds(1)));
            // The headphones (terminal 3) lose their jack.
            headset.SetConnectors(3, 0x0, true);
            EXPECT_EQ(engine.Wait(), host::EngineEnd::Removed);
            EXPECT_LT(engine.Stats().Transferred, format.BlockAlign() * 48000u);
        }
        headset.SetConnectors(3, 0x3, true);
        {
            host::AudioEngine again(m_session.Fdo());
            ASSERT_TRUE(platform::RunUntil([&] { return NT_SUCCESS(again.Open(false)); }, std::chrono::seconds(2)));
            ASSERT_EQ(again.StartRender(format, Pattern(format.BlockAlign() * 4800)), STATUS_SUCCESS);
            EXPECT_EQ(again.Wait(), host::EngineEnd::Finished) << std::hex << again.Status();
        }
        std::string report;
        EXPECT_TRUE(m_session.End(&report)) << report;
    }
}

}  // namespace
