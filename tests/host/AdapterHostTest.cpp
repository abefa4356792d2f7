#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/portcls/PortClsHost.h"
#include "tests/support/HostSession.h"

namespace {

// The driver on the simulated headset, through the host's PnP manager: install, start, then
// removal with or without a surprise removal first; the harness checks that nothing is left.
TEST(AdapterHostTest, TheHeadsetInstallsStartsAndGoesAway)
{
    for (bool surprise : {false, true}) {
        SCOPED_TRACE(surprise);
        kvxtest::HostSession session;
        std::string error;
        ASSERT_EQ(session.StartProfile("uac1-headset.json", false, &error), STATUS_SUCCESS) << error;
        PDEVICE_OBJECT fdo = session.Fdo();
        std::vector<std::u16string> names;
        for (const auto& f : platform::PcSubdevices(fdo)) names.push_back(f.Name);
        EXPECT_EQ(names, (std::vector<std::u16string>{u"GlobalTopo", u"HPOut00Wave", u"MicIn00Wave"}));
        // Each wave filter is connected to its streaming terminal's pin of the topology filter.
        const auto connections = platform::PcPhysicalConnections(fdo);
        ASSERT_EQ(connections.size(), 2u);
        EXPECT_EQ(connections[0].From, u"HPOut00Wave");
        EXPECT_EQ(connections[0].To, u"GlobalTopo");
        EXPECT_EQ(connections[1].From, u"GlobalTopo");
        EXPECT_EQ(connections[1].To, u"MicIn00Wave");
        if (surprise) {
            EXPECT_EQ(session.Pnp().SurpriseRemove(session.Pdo()), STATUS_SUCCESS);
            EXPECT_EQ(platform::PcSubdevices(fdo).size(), 1u);
        }
        EXPECT_EQ(session.Remove(), STATUS_SUCCESS);
        std::string report;
        EXPECT_TRUE(session.End(&report)) << report;
        EXPECT_EQ(platform::PcLivePortCount(), 0u);
    }
}

}  // namespace
