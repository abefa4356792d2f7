// The effects headset through the whole driver: the spatial effect's node, named by its GUID on
// the topology filter, switched on through KS reaches the device as the vendor SET_CUR of 0x8B;
// a status interrupt of its unit after the device switched it off reads it back and raises the
// node's control-change event.
#include <gtest/gtest.h>

#include "dsp/EffectHooksHost.h"
#include "host/AudioEngine.h"
#include "host/FilterBrowser.h"
#include "platform/nt/Clock.h"
#include "platform/portcls/PortClsHost.h"
#include "tests/support/HostSession.h"
#include "topology/EffectEntities.h"

namespace {

TEST(V6HostTest, EnableThroughKsAndBackOnAStatusInterrupt)
{
    kvxtest::HostSession session;
    std::string error;
    ASSERT_EQ(session.StartProfile("v6-effects-headset.json", false, &error), STATUS_SUCCESS) << error;
    sim::SimDevice* headset = &session.Device();
    {
        host::FilterBrowser browser(session.Fdo());
        const auto description = browser.Describe(u"GlobalTopo");
        ASSERT_TRUE(description.has_value());
        ULONG node = ~0u;
        for (ULONG n = 0; n < description->Nodes.size(); ++n) {
            if (IsEqualGUID(description->Nodes[n].Name, SPATIAL_EFFECT_NODE_GUID)) node = n;
        }
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

}  // namespace
