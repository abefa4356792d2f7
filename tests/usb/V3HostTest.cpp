// The sound card's output switch through the whole driver: selecting an output on the topology
// filter's output-select node renames the render endpoint, registers its wave filter again under
// the new name, and the new filter offers that output's formats.
#include <gtest/gtest.h>

#include <algorithm>

#include "host/FilterBrowser.h"
#include "platform/nt/Clock.h"
#include "platform/portcls/PortClsHost.h"
#include "tests/support/HostSession.h"
#include "topology/TopologyAutomation.h"

namespace {

std::vector<std::u16string> WaveFilters(const host::FilterBrowser& browser)
{
    std::vector<std::u16string> names;
    for (const auto& f : browser.Filters()) {
        if (IsEqualGUID(f.PortClass, CLSID_PortWaveCyclic)) names.push_back(f.Name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string Names(const host::FilterBrowser& browser)
{
    std::string out;
    for (const auto& f : browser.Filters()) {
        out += std::string(f.Name.begin(), f.Name.end()) + (IsEqualGUID(f.PortClass, CLSID_PortWaveCyclic) ? "(wave) " : " ");
    }
    return out;
}

bool Has(const std::vector<std::u16string>& names, const std::u16string& name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

TEST(V3HostTest, SwitchingTheOutputRenamesAndRegistersTheRenderFilterAgain)
{
    kvxtest::HostSession session;
    std::string error;
    ASSERT_EQ(session.StartProfile("v3-sound-card.json", false, &error), STATUS_SUCCESS) << error;
    {
        host::FilterBrowser browser(session.Fdo());
        // The topology filter that carries the output-select node.
        std::u16string topologyName;
        ULONG node = ~0u;
        for (const auto& f : browser.Filters()) {
            if (!IsEqualGUID(f.PortClass, CLSID_PortTopology)) continue;
            const auto description = browser.Describe(f.Name);
            ASSERT_TRUE(description.has_value());
            for (ULONG n = 0; n < description->Nodes.size(); ++n) {
                if (IsEqualGUID(description->Nodes[n].Name, OutputSelectNodeName)) {
                    topologyName = f.Name;
                    node = n;
                }
            }
        }
        ASSERT_NE(node, ~0u);
        ASSERT_TRUE(Has(WaveFilters(browser), u"SPKOut00Wave")) << Names(browser);
        // The render pin's data ranges of a wave filter (the one the host streams to).
        auto ranges = [&](const std::u16string& name) {
            const auto description = browser.Describe(name);
            EXPECT_TRUE(description.has_value());
            ULONG most = 0;
            for (const auto& p : description->Pins) most = std::max(most, p.DataRangeCount);
            return most;
        };
        const ULONG speakerRanges = ranges(u"SPKOut00Wave");

        PFILE_OBJECT topology = browser.Open(topologyName);
        ASSERT_NE(topology, nullptr);
        auto select = [&](ULONG kind) {
            return browser.Set<ULONG>(topology, host::KsTarget::Node(node), KSPROPSETID_Audio,
                                      KSPROPERTY_AUDIO_DEV_SPECIFIC, kind)
                .Status;
        };
        struct Step {
            const char* Name;
            ULONG Kind;
            const char16_t* Filter;
            bool Ac3;  // AC-3 offered besides the PCM formats
        } steps[] = {
            {"S/PDIF", 3, u"SPDIFOut00Wave", true},
            {"headphones", 2, u"HPOut00Wave", false},
            {"speakers again", 1, u"SPKOut00Wave", false},
        };
        std::u16string previous = u"SPKOut00Wave";
        for (const Step& s : steps) {
            SCOPED_TRACE(s.Name);
            ASSERT_EQ(select(s.Kind), STATUS_SUCCESS);
            EXPECT_TRUE(platform::RunUntil([&] { return Has(WaveFilters(browser), s.Filter); },
                                           std::chrono::seconds(2)));
            const auto names = WaveFilters(browser);
            EXPECT_FALSE(Has(names, previous));
            EXPECT_EQ(names.size(), 2u);  // the renamed render filter and the capture filter
            if (s.Ac3) {
                EXPECT_GT(ranges(s.Filter), speakerRanges);
            } else {
                EXPECT_EQ(ranges(s.Filter), speakerRanges);
            }
            ULONG kind = 0;
            ASSERT_EQ(browser.Get<ULONG>(topology, host::KsTarget::Node(node), OutputSelectPropertySetIid, 2, &kind)
                          .Status,
                      STATUS_SUCCESS);
            EXPECT_EQ(kind, s.Kind);
            previous = s.Filter;
        }
        // A kind the chip does not have is refused and changes nothing.
        EXPECT_EQ(select(9), STATUS_UNSUCCESSFUL);
        EXPECT_TRUE(Has(WaveFilters(browser), u"SPKOut00Wave"));
        EXPECT_EQ(browser.Close(topology), STATUS_SUCCESS);
    }
    EXPECT_EQ(session.Remove(), STATUS_SUCCESS);
    std::string report;
    EXPECT_TRUE(session.End(&report)) << report;
    EXPECT_EQ(platform::PcLivePortCount(), 0u);
}

}  // namespace
