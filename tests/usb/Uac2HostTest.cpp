// The driver on the UAC2 headsets, through the host's PnP manager: the wave filters connect to
// their streaming terminals' pins, and the headphones' Connectors control decides whether the
// render wave filter is there.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/FilterBrowser.h"
#include "platform/nt/Clock.h"
#include "platform/portcls/PortClsHost.h"
#include "tests/support/HostSession.h"

namespace {

// The registered subdevices' names, sorted.
std::vector<std::u16string> Filters(PDEVICE_OBJECT fdo)
{
    std::vector<std::u16string> names;
    for (const auto& f : platform::PcSubdevices(fdo)) names.push_back(f.Name);
    std::sort(names.begin(), names.end());
    return names;
}

TEST(Uac2HostTest, TheHeadsetsFollowTheirHeadphoneJack)
{
    const std::vector<std::u16string> all = {u"GlobalTopo", u"HPOut00Wave", u"MicIn00Wave"};
    const std::vector<std::u16string> unplugged = {u"GlobalTopo", u"MicIn00Wave"};
    for (const char* name : {"uac2-headset.json", "uac2-headset-fs.json"}) {
        SCOPED_TRACE(name);
        kvxtest::HostSession session;
        std::string error;
        ASSERT_EQ(session.StartProfile(name, false, &error), STATUS_SUCCESS) << error;
        sim::SimDevice* headset = &session.Device();
        {
            PDEVICE_OBJECT fdo = session.Fdo();
            EXPECT_EQ(Filters(fdo), all);
            const auto connections = platform::PcPhysicalConnections(fdo);
            ASSERT_EQ(connections.size(), 2u);
            EXPECT_EQ(connections[0].From, u"HPOut00Wave");
            EXPECT_EQ(connections[0].To, u"GlobalTopo");
            EXPECT_EQ(connections[1].From, u"GlobalTopo");
            EXPECT_EQ(connections[1].To, u"MicIn00Wave");
            // The headphones (terminal 3) lose their jack: the device posts the Connectors change.
            headset->SetConnectors(3, 0x0, true);
            EXPECT_TRUE(platform::RunUntil([&] { return Filters(fdo) == unplugged; }, std::chrono::seconds(2)));
            headset->SetConnectors(3, 0x3, true);
            EXPECT_TRUE(platform::RunUntil([&] { return Filters(fdo) == all; }, std::chrono::seconds(2)));
            const auto again = platform::PcPhysicalConnections(fdo);
            EXPECT_EQ(std::count_if(again.begin(), again.end(),
                                    [](const auto& c) { return c.From == u"HPOut00Wave" && c.To == u"GlobalTopo"; }),
                      1);
            EXPECT_EQ(session.Remove(), STATUS_SUCCESS);
        }
        std::string report;
        EXPECT_TRUE(session.End(&report)) << report;
        EXPECT_EQ(platform::PcLivePortCount(), 0u);
    }
}

// A feature unit's volume change posted by the device raises the control-change event of that
// unit's volume node, and of no other node.
TEST(Uac2HostTest, AFeatureUnitMessageRaisesOneControlChangeEventOnItsNode)
{
    kvxtest::HostSession session;
    std::string error;
    ASSERT_EQ(session.StartProfile("uac2-headset.json", false, &error), STATUS_SUCCESS) << error;
    sim::SimDevice* headset = &session.Device();
    {
        {
            host::FilterBrowser browser(session.Fdo());
            const auto description = browser.Describe(u"GlobalTopo");
            ASSERT_TRUE(description.has_value());
            PFILE_OBJECT topology = browser.Open(u"GlobalTopo");
            ASSERT_NE(topology, nullptr);
            struct Watch {
                ULONG Node;
                bool Volume;
                KEVENT Event;
                KSEVENTDATA Data;
            };
            std::vector<std::unique_ptr<Watch>> watches;
            for (ULONG n = 0; n < description->Nodes.size(); ++n) {
                const GUID& type = description->Nodes[n].Type;
                const bool volume = IsEqualGUID(type, KSNODETYPE_VOLUME);
                if (!volume && !IsEqualGUID(type, KSNODETYPE_MUTE)) continue;
                auto w = std::make_unique<Watch>();
                w->Node = n;
                w->Volume = volume;
                KeInitializeEvent(&w->Event, NotificationEvent, FALSE);
                w->Data = {};
                w->Data.NotificationType = KSEVENTF_EVENT_OBJECT;
                w->Data.EventObject.Event = &w->Event;
                ASSERT_EQ(browser.EnableEvent(topology, host::KsTarget::Node(n), KSEVENTSETID_AudioControlChange,
                                              KSEVENT_CONTROL_CHANGE, &w->Data),
                          STATUS_SUCCESS);
                watches.push_back(std::move(w));
            }
            ASSERT_GE(watches.size(), 2u);

            // The render feature unit (2) changes its master volume and tells the host.
            headset->SetControl(2, 0x02, 0, {-1024, -15360, 0, 256, 2});
            ASSERT_TRUE(headset->PostStatus(2, 0x02, 0));
            auto signalled = [&] {
                std::vector<ULONG> nodes;
                for (const auto& w : watches) {
                    if (KeReadStateEvent(&w->Event) != 0) nodes.push_back(w->Node);
                }
                return nodes;
            };
            EXPECT_TRUE(platform::RunUntil([&] { return !signalled().empty(); }, std::chrono::seconds(2)));
            platform::RunFor(std::chrono::milliseconds(20));
            const std::vector<ULONG> nodes = signalled();
            ASSERT_EQ(nodes.size(), 1u);
            for (const auto& w : watches) {
                if (w->Node == nodes[0]) {
                    EXPECT_TRUE(w->Volume);
                }
            }
            for (const auto& w : watches) {
                EXPECT_EQ(browser.DisableEvent(topology, &w->Data), STATUS_SUCCESS);
            }
            EXPECT_EQ(browser.Close(topology), STATUS_SUCCESS);
        }
        EXPECT_EQ(session.Remove(), STATUS_SUCCESS);
    }
    std::string report;
    EXPECT_TRUE(session.End(&report)) << report;
    EXPECT_EQ(platform::PcLivePortCount(), 0u);
}

}  // namespace
