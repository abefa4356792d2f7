// The effects headset through the whole driver: the spatial effect's node, named by its GUID on
// the topology filter, switched on through KS reaches the device as the vendor SET_CUR of 0x8B;
// a status interrupt of its unit after the device switched it off reads it back and raises the
// node's control-change event.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "dsp/EffectHooksHost.h"
#include "host/AudioEngine.h"
#include "host/FilterBrowser.h"
#include "platform/nt/Clock.h"
#include "platform/portcls/PortClsHost.h"
#include "tests/support/HostSession.h"
#include "tools/StreamSession.h"
#include "topology/EffectEntities.h"

namespace {

// The spatial effect's node on the topology filter, or ~0u.
ULONG SpatialNode(host::FilterBrowser& browser)
{
    const auto description = browser.Describe(u"GlobalTopo");
    if (!description.has_value()) return ~0u;
    for (ULONG n = 0; n < description->Nodes.size(); ++n) {
        if (IsEqualGUID(description->Nodes[n].Name, SPATIAL_EFFECT_NODE_GUID)) return n;
    }
    return ~0u;
}

TEST(V6HostTest, EnableThroughKsAndBackOnAStatusInterrupt)
{
    kvxtest::HostSession session;
    std::string error;
    ASSERT_EQ(session.StartProfile("v6-effects-headset.json", false, &error), STATUS_SUCCESS) << error;
    sim::SimDevice* headset = &session.Device();
    {
        host::FilterBrowser browser(session.Fdo());
        const ULONG node = SpatialNode(browser);
        ASSERT_NE(node, ~0u);
        PFILE_OBJECT topology = browser.Open(u"GlobalTopo");
        ASSERT_NE(topology, nullptr);
        KEVENT changed;
        KeInitializeEvent(&changed, NotificationEvent, FALSE);
        KSEVENTDATA data = {};
        data.NotificationType = KSEVENTF_EVENT_OBJECT;
        data.EventObject.Event = &changed;
        ASSERT_EQ(browser.EnableEvent(topology, host::KsTarget::Node(node), KSEVENTSETID_AudioControlChange,
                                      KSEVENT_CONTROL_CHANGE, &data),
                  STATUS_SUCCESS);

        ASSERT_EQ(browser.Set<ULONG>(topology, host::KsTarget::Node(node), KSPROPSETID_Audio,
                                     KSPROPERTY_AUDIO_DEV_SPECIFIC, 1)
                      .Status,
                  STATUS_SUCCESS);
        bool sent = false;
        for (const auto& e : headset->Log()) {
            sent = sent || (e.Setup.bmRequestType == 0x41 && e.Setup.bRequest == 0x01 && e.Setup.wValue == 0x8B00 &&
                            e.Setup.wIndex == 0x0200);
        }
        EXPECT_TRUE(sent);
        UCHAR on[1] = {};
        USB_DEFAULT_PIPE_SETUP_PACKET get = {0xC1, 0x81, 0x8B00, 0x0200, 1};
        ASSERT_EQ(headset->Control(get, on, 1).Outcome, platform::usb::UsbTransferResult::Kind::Done);
        EXPECT_EQ(on[0], 1);

        // The device switches the effect off and says so for unit 2.
        UCHAR off[1] = {0};
        USB_DEFAULT_PIPE_SETUP_PACKET set = {0x41, 0x01, 0x8B00, 0x0200, 1};
        headset->Control(set, off, 1);
        headset->PostIn(0x83, {0x00, 0x02});
        EXPECT_TRUE(platform::RunUntil([&] { return KeReadStateEvent(&changed) != 0; }, std::chrono::seconds(2)));
        ULONG enable = 7;
        ASSERT_EQ(browser.Get<ULONG>(topology, host::KsTarget::Node(node), KSPROPSETID_Audio,
                                     KSPROPERTY_AUDIO_DEV_SPECIFIC, &enable)
                      .Status,
                  STATUS_SUCCESS);
        EXPECT_EQ(enable, 0u);
        EXPECT_EQ(browser.DisableEvent(topology, &data), STATUS_SUCCESS);
        EXPECT_EQ(browser.Close(topology), STATUS_SUCCESS);
    }
    EXPECT_EQ(session.Remove(), STATUS_SUCCESS);
    std::string report;
    EXPECT_TRUE(session.End(&report)) << report;
    EXPECT_EQ(platform::PcLivePortCount(), 0u);
}

// A stream on the effects headset runs both effect entities: each takes the device format at the
// start, every chunk, and a reset at the stop (the effect table here only records its calls).
std::vector<std::string>* g_calls = nullptr;

TEST(V6HostTest, AStreamRunsBothEffectEntitiesFromStartToStop)
{
    std::vector<std::string> calls;
    g_calls = &calls;
    EffectHooks hooks = {};
    hooks.ProcessEffectEntity = [](EffectEntityState* s, const WaveFormatRecord* f, PVOID, LONG frames) {
        g_calls->push_back("process " + std::to_string(s->Control) + " " + std::to_string(f->Format.nChannels) +
                           (frames > 0 && frames <= 512 ? "" : " bad frames"));
    };
    hooks.ResetEffectEntity = [](EffectEntityState* s) { g_calls->push_back("reset " + std::to_string(s->Control)); };
    const EffectHooks* previous = InstallEffectHooks(&hooks);
    {
        kvxtest::HostSession session;
        std::string error;
        ASSERT_EQ(session.StartProfile("v6-effects-headset.json", false, &error), STATUS_SUCCESS) << error;
        {
            host::AudioEngine engine(session.Fdo());
            ASSERT_EQ(engine.Open(false), STATUS_SUCCESS);
            const host::AudioFormat format{48000, 8, 16, 16};
            ASSERT_EQ(engine.StartRender(format, std::vector<uint8_t>(48000 / 10 * 16, 0)), STATUS_SUCCESS);
            engine.Wait();
        }
        EXPECT_EQ(session.Remove(), STATUS_SUCCESS);
        std::string report;
        EXPECT_TRUE(session.End(&report)) << report;
    }
    InstallEffectHooks(previous);
    g_calls = nullptr;
    ASSERT_FALSE(calls.empty());
    size_t spatial = 0, headphone = 0, resets = 0;
    for (const std::string& c : calls) {
        EXPECT_EQ(c.find("bad"), std::string::npos) << c;
        spatial += c == "process 139 8";
        headphone += c == "process 140 8";
        resets += c.rfind("reset", 0) == 0;
    }
    EXPECT_GT(spatial, 10u);
    EXPECT_EQ(spatial, headphone);
    EXPECT_GE(resets, 2u);
    EXPECT_EQ(calls.back().rfind("reset", 0), 0u);
}


// Switching the spatial effect on while an 8-channel stream plays: until the switch the wire
// carries channels 0 and 1 exactly, only delayed; then the dry pair fades to silence over 2 ms at
// the stream's rate, the processed pair fades in over the next 2 ms, and from there on the wire
// carries the processed signal, which is not the dry one.
TEST(V6HostTest, SwitchingTheSpatialEffectOnWhileStreamingFadesOnTheWire)
{
    constexpr ULONG kRate = 48000;
    constexpr size_t kFrames = kRate;  // one second
    constexpr size_t kFade = 2 * kRate / 1000;
    // Sound on the front pair only (the fold of the dry path passes it as it is).
    std::vector<int16_t> input(kFrames * 8, 0);
    for (size_t i = 0; i < kFrames; ++i) {
        for (size_t c = 0; c < 2; ++c) {
            const double phase = 2.0 * 3.14159265358979 * (300.0 + 100.0 * c) * i / kRate + 0.5 + 0.3 * c;
            input[i * 8 + c] = static_cast<int16_t>(std::lround(6000.0 * std::sin(phase)));
        }
    }
    std::vector<uint8_t> bytes(input.size() * sizeof(int16_t));
    std::memcpy(bytes.data(), input.data(), bytes.size());

    kvxtest::HostSession session;
    std::string error;
    ASSERT_EQ(session.StartProfile("v6-effects-headset.json", false, &error), STATUS_SUCCESS) << error;
    sim::SimDevice& headset = session.Device();
    uint8_t ep = 0;
    {
        host::FilterBrowser browser(session.Fdo());
        const ULONG node = SpatialNode(browser);
        ASSERT_NE(node, ~0u);
        PFILE_OBJECT topology = browser.Open(u"GlobalTopo");
        ASSERT_NE(topology, nullptr);

        host::AudioEngine engine(session.Fdo());
        ASSERT_EQ(engine.Open(false), STATUS_SUCCESS);
        ASSERT_EQ(engine.StartRender(host::AudioFormat{kRate, 8, 16, 16}, bytes), STATUS_SUCCESS);
        // A fifth of the stream on the wire, then the switch.
        ASSERT_TRUE(platform::RunUntil(
            [&] {
                ep = kvx::WireEndpoint(headset);
                return ep != 0 && headset.WireByteCount(ep) > kFrames / 5 * 4;
            },
            std::chrono::seconds(10)));
        ASSERT_EQ(browser.Set<ULONG>(topology, host::KsTarget::Node(node), KSPROPSETID_Audio,
                                     KSPROPERTY_AUDIO_DEV_SPECIFIC, 1)
                      .Status,
                  STATUS_SUCCESS);
        EXPECT_EQ(engine.Wait(), host::EngineEnd::Finished);
        EXPECT_EQ(browser.Close(topology), STATUS_SUCCESS);
    }
    const sim::Bytes raw = headset.WireBytes(ep);
    ASSERT_EQ(raw.size() % 4, 0u);
    std::vector<int16_t> wire(raw.size() / 2);
    std::memcpy(wire.data(), raw.data(), raw.size());
    const size_t wireFrames = wire.size() / 2;
    EXPECT_EQ(session.Remove(), STATUS_SUCCESS);
    std::string report;
    EXPECT_TRUE(session.End(&report)) << report;

    // The delay: the first sample of channel 0 is not zero.
    size_t lead = 0;
    while (lead < wireFrames && wire[lead * 2] == 0) ++lead;
    ASSERT_LT(lead + kFrames, wireFrames);
    auto dry = [&](size_t frame, size_t c) { return static_cast<int>(input[(frame - lead) * 8 + c]); };
    auto at = [&](size_t frame, size_t c) { return static_cast<int>(wire[frame * 2 + c]); };

    // Exact up to the first frame that differs, which lies well inside the stream (the switch came
    // once a fifth was on the wire; the driver had taken somewhat more).
    size_t differs = lead;
    while (differs < lead + kFrames && at(differs, 0) == dry(differs, 0) && at(differs, 1) == dry(differs, 1)) ++differs;
    ASSERT_GT(differs, lead + kFrames / 10);
    ASSERT_LT(differs + 10 * kFade, lead + kFrames);

    // The fade begins at the frame where the dry pair, scaled by 1 - g / (W - 1), fits the wire
    // over the whole window (its first frame keeps the dry value, so it is the last equal one or
    // a frame before it when the dry samples there are small).
    auto fadesOutFrom = [&](size_t start) {
        for (size_t g = 0; g < kFade; ++g) {
            for (size_t c = 0; c < 2; ++c) {
                const double want = dry(start + g, c) * (1.0 - static_cast<double>(g) / (kFade - 1));
                if (std::abs(at(start + g, c) - want) > 1.5) return false;
            }
        }
        return true;
    };
    size_t start = differs;
    for (size_t back = 1; back <= 4 && !fadesOutFrom(start); ++back) start = differs - back;
    ASSERT_TRUE(fadesOutFrom(start)) << "the wire does not fade the dry pair out from frame " << differs;

    // The processed pair fades in over the next 2 ms: silent at its start, rising after.
    auto energy = [&](size_t from, size_t count) {
        double e = 0;
        for (size_t i = from; i < from + count; ++i) e += double(at(i, 0)) * at(i, 0) + double(at(i, 1)) * at(i, 1);
        return e;
    };
    const size_t in = start + kFade;
    EXPECT_LE(std::abs(at(in, 0)) + std::abs(at(in, 1)), 2);
    EXPECT_LT(energy(in, kFade / 2), energy(in + kFade / 2, kFade / 2));
    // Then the processed signal: sounding, and not the dry pair.
    const size_t after = start + 2 * kFade;
    size_t unlike = 0;
    for (size_t i = after; i < after + 4 * kFade; ++i) unlike += at(i, 0) != dry(i, 0) || at(i, 1) != dry(i, 1);
    EXPECT_GT(unlike, 3 * kFade);
    EXPECT_GT(energy(after, 4 * kFade), 0.05 * 4 * kFade * 2 * 6000.0 * 6000.0 / 2);
}

}  // namespace
