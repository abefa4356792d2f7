// The V3 descriptor rewrite on the chip's template: the blocks each switch keeps, drops and edits,
// every switch set checked by the UAC1 descriptor table and unit graph, and what is not the
// template refused untouched.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <vector>

#include "tests/usb/V3Template.h"
#include "usb/UacDescriptors.h"
#include "usb/Uac1FunctionV3.h"
#include "usb/UacUnitGraph.h"

namespace {

using kvxtest::V3Bytes;

struct Rewritten {
    NTSTATUS Status;
    V3Bytes Bytes;       // the configuration after the rewrite, as long as it says
    V3Bytes Untouched;   // the whole buffer, for the refusals
    UCHAR Switches[V3_SWITCH_COUNT];
};

Rewritten Rewrite(const std::map<V3Switch, UCHAR>& switches, V3Bytes configuration = kvxtest::V3Configuration())
{
    auto* f = new (NonPagedPoolNx, V3_FUNCTION_TAG) Uac1FunctionV3(nullptr, 0x1209, 0x7302);
    f->GetNonDelegatingUnknown()->AddRef();
    for (const auto& [which, value] : switches) {
        f->SetSwitch(which, value);
    }
    // The device object's copy: a pool block of the bytes received.
    auto* copy = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, configuration.size(), MakePoolTag("Tcfg")));
    std::memcpy(copy, configuration.data(), configuration.size());
    Rewritten r;
    r.Status = f->RewriteAudioControl(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(copy));
    const size_t total = configuration.size() >= 4 ? static_cast<size_t>(copy[2] | (copy[3] << 8)) : 0;
    r.Bytes.assign(copy, copy + std::min(total, configuration.size()));
    r.Untouched.assign(copy, copy + configuration.size());
    for (ULONG s = 0; s < V3_SWITCH_COUNT; ++s) {
        r.Switches[s] = f->Switch(static_cast<V3Switch>(s));
    }
    ExFreePoolWithTag(copy, MakePoolTag("Tcfg"));
    f->GetNonDelegatingUnknown()->Release();
    return r;
}

// The AudioControl descriptors after the header: (subtype, id) in order.
std::vector<std::pair<int, int>> ControlBlocks(const V3Bytes& c)
{
    std::vector<std::pair<int, int>> blocks;
    const size_t end = 18 + (c[18 + 5] | (c[18 + 6] << 8));
    for (size_t p = 28; p < end && p < c.size(); p += c[p]) {
        blocks.emplace_back(c[p + 2], c[p + 3]);
    }
    return blocks;
}

const UCHAR* FindUnit(const V3Bytes& c, int subtype, int id)
{
    const size_t end = 18 + (c[18 + 5] | (c[18 + 6] << 8));
    for (size_t p = 28; p < end && p < c.size(); p += c[p]) {
        if (c[p + 2] == subtype && c[p + 3] == id) {
            return &c[p];
        }
    }
    return nullptr;
}

// Alternate settings of each streaming interface, and the rates of the render setting 5.
std::vector<std::pair<int, int>> Alternates(const V3Bytes& c)
{
    std::vector<std::pair<int, int>> alternates;
    for (size_t p = 9; p + 1 < c.size(); p += c[p]) {
        if (c[p + 1] == 4 && c[p + 5] == 1 && c[p + 6] == 2) {
            alternates.emplace_back(c[p + 2], c[p + 3]);
        }
    }
    return alternates;
}

std::vector<int> Pins(const UCHAR* unit) { return std::vector<int>(unit + 5, unit + 5 + unit[4]); }

using Blocks = std::vector<std::pair<int, int>>;
constexpr int IT = 2, OT = 3, MU = 4, SU = 5, FU = 6;

TEST(V3Rewrite, SwitchesKeepDropAndEditTheirBlocks)
{
    struct Case {
        const char* Name;
        std::map<V3Switch, UCHAR> Switches;
        Blocks Control;
        std::vector<int> MixerPins;     // empty: no render mixer
        int RenderFeatureSource;
        std::vector<int> SelectorPins;  // empty: no selector
        int CaptureSource;              // 0: no capture terminal
        std::vector<std::pair<int, int>> Alternates;
    };
    const std::vector<std::pair<int, int>> allRender = {{1, 0}, {1, 1}, {1, 2}, {1, 3}, {1, 4}, {1, 5}};
    auto with = [](std::vector<std::pair<int, int>> a, std::vector<std::pair<int, int>> more) {
        a.insert(a.end(), more.begin(), more.end());
        return a;
    };
    const Case cases[] = {
        {"defaults: stereo mix dropped, three record sources",
         {},
         {{IT, 1}, {IT, 5}, {FU, 8}, {FU, 9}, {MU, 10}, {FU, 13}, {OT, 3}, {OT, 7}, {SU, 18}, {IT, 6}, {FU, 15},
          {FU, 11}, {IT, 12}, {FU, 16}},
         {1, 9, 11}, 10, {8, 15, 16}, 18, with(allRender, {{2, 0}, {2, 1}})},
        {"stereo mix kept with both monitors",
         {{V3_DISABLE_STEREO_MIX_REC_UNIT, 0}},
         {{IT, 1}, {IT, 5}, {FU, 8}, {FU, 9}, {MU, 10}, {FU, 13}, {OT, 3}, {MU, 14}, {OT, 7}, {SU, 18}, {IT, 6},
          {FU, 15}, {FU, 11}, {IT, 12}, {FU, 2}, {FU, 16}},
         {1, 9, 11}, 10, {8, 15, 16, 2}, 18, with(allRender, {{2, 0}, {2, 1}})},
        {"no microphone terminal",
         {{V3_DISABLE_MIC_IN_TERMINAL, 1}, {V3_DISABLE_STEREO_MIX_REC_UNIT, 0}},
         {{IT, 1}, {MU, 10}, {FU, 13}, {OT, 3}, {OT, 7}, {SU, 18}, {IT, 6}, {FU, 15}, {FU, 11}, {IT, 12}, {FU, 16}},
         {1, 11}, 10, {15, 16}, 18, with(allRender, {{2, 0}, {2, 1}})},
        {"both monitors off: no render mixer",
         {{V3_DISABLE_MIC_IN_AA_UNIT, 1}, {V3_DISABLE_LINE_IN_AA_UNIT, 1}},
         {{IT, 1}, {IT, 5}, {FU, 8}, {FU, 13}, {OT, 3}, {OT, 7}, {SU, 18}, {IT, 6}, {FU, 15}, {IT, 12}, {FU, 16}},
         {}, 1, {8, 15, 16}, 18, with(allRender, {{2, 0}, {2, 1}})},
        {"no S/PDIF in",
         {{V3_DISABLE_SPDIF_IN_TERMINAL, 1}},
         {{IT, 1}, {IT, 5}, {FU, 8}, {FU, 9}, {MU, 10}, {FU, 13}, {OT, 3}, {OT, 7}, {SU, 18}, {IT, 6}, {FU, 15},
          {FU, 11}},
         {1, 9, 11}, 10, {8, 15}, 18, with(allRender, {{2, 0}, {2, 1}})},
        {"one record source: no selector, the capture terminal takes it",
         {{V3_DISABLE_SPDIF_IN_TERMINAL, 1}, {V3_DISABLE_LINE_IN_REC_UNIT, 1}},
         {{IT, 1}, {IT, 5}, {FU, 8}, {FU, 9}, {MU, 10}, {FU, 13}, {OT, 3}, {OT, 7}, {IT, 6}, {FU, 11}},
         {1, 9, 11}, 10, {}, 8, with(allRender, {{2, 0}, {2, 1}})},
        {"no input terminal: no capture path",
         {{V3_DISABLE_MIC_IN_TERMINAL, 1}, {V3_DISABLE_LINE_IN_TERMINAL, 1}, {V3_DISABLE_SPDIF_IN_TERMINAL, 1}},
         {{IT, 1}, {FU, 13}, {OT, 3}},
         {}, 1, {}, 0, allRender},
        {"no record source left: no capture path though a terminal stays",
         {{V3_DISABLE_MIC_IN_REC_UNIT, 1}, {V3_DISABLE_LINE_IN_REC_UNIT, 1}, {V3_DISABLE_SPDIF_IN_TERMINAL, 1}},
         {{IT, 1}, {IT, 5}, {FU, 9}, {MU, 10}, {FU, 13}, {OT, 3}, {IT, 6}, {FU, 11}},
         {1, 9, 11}, 10, {}, 0, allRender},
        {"render settings by channel count",
         {{V3_DISABLE_2CH_OUT, 1}, {V3_DISABLE_4CH_OUT, 1}, {V3_DISABLE_6CH_OUT, 1}},
         {{IT, 1}, {IT, 5}, {FU, 8}, {FU, 9}, {MU, 10}, {FU, 13}, {OT, 3}, {OT, 7}, {SU, 18}, {IT, 6}, {FU, 15},
          {FU, 11}, {IT, 12}, {FU, 16}},
         {1, 9, 11}, 10, {8, 15, 16}, 18, {{1, 0}, {1, 1}, {1, 5}, {2, 0}, {2, 1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const Rewritten r = Rewrite(c.Switches);
        ASSERT_EQ(r.Status, STATUS_SUCCESS);
        EXPECT_EQ(ControlBlocks(r.Bytes), c.Control);
        const UCHAR* mixer = FindUnit(r.Bytes, MU, 10);
        EXPECT_EQ(mixer != nullptr ? Pins(mixer) : std::vector<int>{}, c.MixerPins);
        const UCHAR* feature = FindUnit(r.Bytes, FU, 13);
        ASSERT_NE(feature, nullptr);
        EXPECT_EQ(feature[4], c.RenderFeatureSource);
        const UCHAR* selector = FindUnit(r.Bytes, SU, 18);
        EXPECT_EQ(selector != nullptr ? Pins(selector) : std::vector<int>{}, c.SelectorPins);
        const UCHAR* capture = FindUnit(r.Bytes, OT, 7);
        EXPECT_EQ(capture != nullptr ? capture[7] : 0, c.CaptureSource);
        EXPECT_EQ(Alternates(r.Bytes), c.Alternates);
    }
}

TEST(V3Rewrite, EightChannelsOffMakesTheRenderPathSixChannels)
{
    const Rewritten r = Rewrite({{V3_DISABLE_8CH_OUT, 1}});
    ASSERT_EQ(r.Status, STATUS_SUCCESS);
    const UCHAR* terminal = FindUnit(r.Bytes, IT, 1);
    ASSERT_NE(terminal, nullptr);
    EXPECT_EQ(terminal[7], 6);
    EXPECT_EQ(terminal[8] | (terminal[9] << 8), 0x003F);
    const UCHAR* feature = FindUnit(r.Bytes, FU, 13);
    ASSERT_NE(feature, nullptr);
    EXPECT_EQ(feature[0], 14);
    EXPECT_EQ(feature[13], 0);
    // Mixer: pins 1, 9, 11; 6 + 2 + 2 input channels by 6 outputs need 60 bits of controls.
    const UCHAR* mixer = FindUnit(r.Bytes, MU, 10);
    ASSERT_NE(mixer, nullptr);
    EXPECT_EQ(mixer[0], 10 + 3 + 8);
    EXPECT_EQ(mixer[8], 6);
    EXPECT_EQ(mixer[9] | (mixer[10] << 8), 0x003F);
    EXPECT_EQ(Alternates(r.Bytes), (std::vector<std::pair<int, int>>{{1, 0}, {1, 2}, {1, 3}, {1, 4}, {1, 5}, {2, 0}, {2, 1}}));
}

TEST(V3Rewrite, TheSingleRateSettingRunsAt96kWhateverItHeld)
{
    for (uint32_t held : {48000u, 44100u, 8000u}) {
        V3Bytes c = kvxtest::V3Configuration();
        c[411 + 24] = static_cast<uint8_t>(held);
        c[411 + 25] = static_cast<uint8_t>(held >> 8);
        c[411 + 26] = static_cast<uint8_t>(held >> 16);
        const Rewritten r = Rewrite({}, c);
        ASSERT_EQ(r.Status, STATUS_SUCCESS);
        size_t at = 0;
        for (size_t p = 9; p + 1 < r.Bytes.size() && at == 0; p += r.Bytes[p]) {
            if (r.Bytes[p + 1] == 4 && r.Bytes[p + 2] == 1 && r.Bytes[p + 3] == 5) {
                at = p + 24;
            }
        }
        ASSERT_NE(at, 0u);
        EXPECT_EQ(r.Bytes[at] | (r.Bytes[at + 1] << 8) | (r.Bytes[at + 2] << 16), 96000);
    }
}

TEST(V3Rewrite, TerminalSwitchesImplyTheirUnits)
{
    Rewritten r = Rewrite({{V3_DISABLE_MIC_IN_TERMINAL, 1}, {V3_DISABLE_STEREO_MIX_REC_UNIT, 0}});
    EXPECT_EQ(r.Switches[V3_DISABLE_MIC_IN_AA_UNIT], 1);
    EXPECT_EQ(r.Switches[V3_DISABLE_MIC_IN_REC_UNIT], 1);
    EXPECT_EQ(r.Switches[V3_DISABLE_STEREO_MIX_REC_UNIT], 1);
    EXPECT_EQ(r.Switches[V3_DISABLE_LINE_IN_AA_UNIT], 0);
    r = Rewrite({{V3_DISABLE_LINE_IN_TERMINAL, 1}, {V3_DISABLE_STEREO_MIX_REC_UNIT, 0}});
    EXPECT_EQ(r.Switches[V3_DISABLE_LINE_IN_AA_UNIT], 1);
    EXPECT_EQ(r.Switches[V3_DISABLE_LINE_IN_REC_UNIT], 1);
    EXPECT_EQ(r.Switches[V3_DISABLE_STEREO_MIX_REC_UNIT], 1);
    r = Rewrite({{V3_DISABLE_LINE_IN_AA_UNIT, 1}, {V3_DISABLE_STEREO_MIX_REC_UNIT, 0}});
    EXPECT_EQ(r.Switches[V3_DISABLE_STEREO_MIX_REC_UNIT], 1);
}

// Every switch set gives descriptors the UAC1 table and unit graph accept, with lengths that add
// up, or is refused for having neither 6 nor 8 channels.
TEST(V3Rewrite, EverySwitchSetGivesDescriptorsTheParsersAccept)
{
    for (uint32_t mask = 0; mask < (1u << V3_SWITCH_COUNT); ++mask) {
        std::map<V3Switch, UCHAR> switches;
        for (ULONG s = 0; s < V3_SWITCH_COUNT; ++s) {
            switches[static_cast<V3Switch>(s)] = (mask >> s) & 1;
        }
        const Rewritten r = Rewrite(switches);
        if (switches[V3_DISABLE_6CH_OUT] && switches[V3_DISABLE_8CH_OUT]) {
            ASSERT_EQ(r.Status, STATUS_UNSUCCESSFUL) << mask;
            ASSERT_EQ(r.Untouched, kvxtest::V3Configuration()) << mask;
            continue;
        }
        ASSERT_EQ(r.Status, STATUS_SUCCESS) << mask;
        const V3Bytes& c = r.Bytes;
        const size_t acEnd = 18 + (c[18 + 5] | (c[18 + 6] << 8));
        ASSERT_LE(acEnd, c.size()) << mask;
        UacUnitGraph graph(UAC_VERSION_1);
        UacDescriptorWalk walk(UAC1_SET_AUDIO_CONTROL, &c[28], static_cast<ULONG>(acEnd - 28));
        while (!walk.AtEnd()) {
            const UCHAR* d = nullptr;
            ASSERT_EQ(walk.Current(&d), STATUS_SUCCESS) << mask;
            graph.AddUnit(d);
            walk.Advance();
        }
        ASSERT_EQ(graph.Check(), STATUS_SUCCESS) << mask;
        UacDescriptorWalk streaming(UAC1_SET_AUDIO_STREAMING, &c[acEnd], static_cast<ULONG>(c.size() - acEnd));
        while (!streaming.AtEnd()) {
            const UCHAR* d = nullptr;
            ASSERT_EQ(streaming.Current(&d), STATUS_SUCCESS) << mask;
            if (d[1] == USB_AUDIO_CS_INTERFACE && d[2] == USB_AUDIO_AS_GENERAL) {
                ASSERT_EQ(graph.CheckTerminalLink(d[3]), STATUS_SUCCESS) << mask;
            }
            streaming.Advance();
        }
    }
}

TEST(V3Rewrite, WhatIsNotTheTemplateIsRefusedUntouched)
{
    auto shorter = kvxtest::V3Configuration();
    shorter.resize(508);
    shorter[2] = static_cast<uint8_t>(508);
    shorter[3] = static_cast<uint8_t>(508 >> 8);
    auto lying = kvxtest::V3Configuration();
    lying[2] = 0xF0;  // claims fewer bytes than the template
    lying[3] = 0x01;
    auto otherId = kvxtest::V3Configuration();
    otherId[52 + 3] = 0x21;  // the microphone record unit is not unit 8
    auto otherLength = kvxtest::V3Configuration();
    otherLength[97] = 15;
    auto otherType = kvxtest::V3Configuration();
    otherType[227 + 1] = 0x24;
    for (const auto& c : {shorter, lying, otherId, otherLength, otherType}) {
        const Rewritten r = Rewrite({}, c);
        EXPECT_EQ(r.Status, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(r.Untouched, c);
    }
}

}  // namespace
