// The UAC1 parsers through the real device object and function: endpoints, their formats, the
// entities linked to their paths, the nodes bare paths get, the walks' bounds, the hostile
// streaming descriptors, and the device profiles in sim/profiles.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/io/IoHost.h"
#include "platform/nt/DebugHost.h"
#include "platform/registry/RegistryHost.h"
#include "sim/Profile.h"
#include "stream/UsbStreamEndpoint.h"
#include "tests/usb/DeviceStartFixture.h"
#include "usb/FormatTables.h"
#include "usb/Uac1Function.h"
#include "usb/UsbAudioDevice.h"

namespace kvxtest {
namespace {

using sim::Bytes;
using sim::DescriptorBuilder;

class Uac1ParseStreamingTest : public DeviceStartFixture {
protected:
    // Starts the device object (Init: configuration, function, both parsers) on the device.
    NTSTATUS Start(const DescriptorBuilder& b) { return Start(b.DeviceDescriptor(), b.Configuration()); }
    NTSTATUS Start(const Bytes& device, const Bytes& configuration)
    {
        Plug(device, configuration);
        m_device->SetString(0x50, u"chip");
        return StartPlugged();
    }
    NTSTATUS StartPlugged() { return StartDeviceObject(); }

    StreamEngine* Endpoint(ULONG index)
    {
        StreamEngine* e = nullptr;
        EXPECT_EQ(m_function->GetEndpoint(index, &e), STATUS_SUCCESS);
        return e;
    }
    // "rate/channels/bits/valid/mask/P|D|W" per format.
    static std::vector<std::string> Formats(StreamEngine* e)
    {
        std::vector<std::string> out;
        for (ULONG i = 0; i < e->GetFormatCount(); ++i) {
            WaveFormatRecord f;
            EXPECT_EQ(e->GetFormat(i, &f), STATUS_SUCCESS);
            EXPECT_EQ(f.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
            EXPECT_EQ(f.Format.nAvgBytesPerSec, f.Format.nSamplesPerSec * f.Format.nBlockAlign);
            EXPECT_EQ(f.Format.nBlockAlign, f.Format.nChannels * f.Format.wBitsPerSample / 8);
            const char sub = IsEqualGUID(f.SubFormat, KSDATAFORMAT_SUBTYPE_PCM)                          ? 'P'
                             : IsEqualGUID(f.SubFormat, KSDATAFORMAT_SUBTYPE_IEC61937_DOLBY_DIGITAL) ? 'D'
                             : IsEqualGUID(f.SubFormat, KSDATAFORMAT_SUBTYPE_IEC61937_WMA_PRO)       ? 'W'
                                                                                                     : '?';
            char line[80];
            std::snprintf(line, sizeof line, "%u/%u/%u/%u/%x/%c", f.Format.nSamplesPerSec, f.Format.nChannels,
                          f.Format.wBitsPerSample, f.Samples.wValidBitsPerSample, f.dwChannelMask, sub);
            out.push_back(line);
        }
        return out;
    }
    // "id:type" of the entities linked to the endpoint, in link order.
    static std::string Linked(StreamEngine* e)
    {
        std::string out;
        for (ULONG i = 0; i < e->GetEntityCount(); ++i) {
            TopologyNode* n = nullptr;
            EXPECT_EQ(e->GetEntity(i, &n), STATUS_SUCCESS);
            out += (out.empty() ? "" : " ") + std::to_string(n->GetId()) + ":" + std::to_string(n->GetType());
        }
        return out;
    }
    // Plugs the device a profile in sim/profiles describes.
    void PlugProfile(const std::string& file)
    {
        std::string error;
        auto profile = sim::LoadProfile(std::string(KVX_PROFILE_DIR) + "/" + file, &error);
        ASSERT_NE(profile, nullptr) << error;
        Plug(profile->DeviceBytes(), profile->ConfigurationBytes());
        for (const auto& [index, text] : profile->Strings()) {
            m_device->SetString(index, text);
        }
        for (const auto& raw : profile->RawRequests()) {
            m_device->AddRaw(raw);
        }
        for (const auto& c : profile->Controls()) {
            m_device->SetControl(c.Entity, c.Selector, c.Channel == 0xFF ? -1 : c.Channel, c.Values);
        }
    }
    std::vector<ULONG> SourcesOf(ULONG id)
    {
        TopologyNode* n = nullptr;
        EXPECT_EQ(m_function->FindEntity(id, &n), STATUS_SUCCESS);
        ULONG ids[16] = {};
        ULONG count = 16;
        if (n != nullptr) {
            n->GetSources(&count, ids);
        }
        return std::vector<ULONG>(ids, ids + (n != nullptr ? count : 0));
    }
};

// AudioControl 0 with a streaming input terminal 1 and a speaker 3 fed by `source`, then one
// streaming interface 1 whose alternate setting 1 links terminal `link`.
DescriptorBuilder RenderDevice(uint8_t link = 1)
{
    DescriptorBuilder b;
    b.AudioControl(0, 0, {1}).Uac1InputTerminal(1, 0x0101, 2).Uac1OutputTerminal(3, 0x0301, 1);
    b.AudioStreaming(1, 0, 0).AudioStreaming(1, 1, 0).Uac1AsGeneral(link);
    return b;
}

// A microphone 1 to a streaming output terminal 2, streaming interface 1 linking 2.
DescriptorBuilder CaptureDevice()
{
    DescriptorBuilder b;
    b.AudioControl(0, 0, {1}).Uac1InputTerminal(1, 0x0201, 1, 0).Uac1OutputTerminal(2, 0x0101, 1);
    b.AudioStreaming(1, 0, 0).AudioStreaming(1, 1, 0).Uac1AsGeneral(2);
    return b;
}

Bytes FormatType(uint8_t type, uint8_t channels, uint8_t subframe, uint8_t bits, std::vector<uint32_t> rates,
                 bool continuous = false)
{
    Bytes d = {0, 0x24, 2, type, channels, subframe, bits, static_cast<uint8_t>(continuous ? 0 : rates.size())};
    for (uint32_t r : rates) {
        sim::PutLe24(d, r);
    }
    d[0] = static_cast<uint8_t>(d.size());
    return d;
}

TEST_F(Uac1ParseStreamingTest, RenderPathOfTwoTerminalsGetsAMuteNodeAndItsFormats)
{
    DescriptorBuilder b = RenderDevice();
    b.Uac1FormatTypeI(2, 2, 16, {44100, 48000}).Endpoint(0x01, 0x09, 196, 1).Uac1AsEndpoint();
    ASSERT_EQ(Start(b), STATUS_SUCCESS);
    ASSERT_EQ(m_function->GetEndpointCount(), 1u);
    StreamEngine* e = Endpoint(0);
    EXPECT_FALSE(e->IsCapture());
    EXPECT_EQ(Formats(e), (std::vector<std::string>{"44100/2/16/16/3/P", "48000/2/16/16/3/P"}));
    WaveFormatRecord f;
    ASSERT_EQ(e->GetFormat(0, &f), STATUS_SUCCESS);
    EXPECT_EQ(f.Format.nAvgBytesPerSec, 176400u);
    // Output terminal (1), input terminal (0), then the mute node (2) between them.
    EXPECT_EQ(Linked(e), "1:1 0:0 2:2");
    EXPECT_EQ(SourcesOf(2), std::vector<ULONG>{0});
    EXPECT_EQ(SourcesOf(1), std::vector<ULONG>{2});
}

TEST_F(Uac1ParseStreamingTest, FeatureUnitOnTheRenderPathMeansNoMuteNode)
{
    DescriptorBuilder b;
    b.AudioControl(0, 0, {1})
        .Uac1InputTerminal(1, 0x0101, 2)
        .Uac1FeatureUnit(2, 1, {0x0003, 0, 0})
        .Uac1OutputTerminal(3, 0x0301, 2);
    b.AudioStreaming(1, 0, 0).AudioStreaming(1, 1, 0).Uac1AsGeneral(1).Uac1FormatTypeI(2, 2, 16, {48000});
    ASSERT_EQ(Start(b), STATUS_SUCCESS);
    StreamEngine* e = Endpoint(0);
    EXPECT_EQ(Linked(e), "3:1 1:2 2:3 0:0");
    EXPECT_EQ(m_function->GetEntityCount(), 4u);
}

TEST_F(Uac1ParseStreamingTest, CaptureFormatsComeAgainWithoutAMaskBelowFourChannels)
{
    struct Row {
        const char* Name;
        uint8_t Channels;
        std::vector<std::string> Formats;
    } rows[] = {
        {"stereo", 2, {"44100/2/16/16/3/P", "48000/2/16/16/3/P", "44100/2/16/16/0/P", "48000/2/16/16/0/P"}},
        {"three channels", 3, {"44100/3/16/16/0/P", "48000/3/16/16/0/P", "44100/3/16/16/0/P", "48000/3/16/16/0/P"}},
        {"four channels: no mask on capture, once", 4, {"44100/4/16/16/0/P", "48000/4/16/16/0/P"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        DescriptorBuilder b = CaptureDevice();
        b.Uac1FormatTypeI(row.Channels, 2, 16, {44100, 48000});
        ASSERT_EQ(Start(b), STATUS_SUCCESS);
        StreamEngine* e = Endpoint(0);
        EXPECT_TRUE(e->IsCapture());
        EXPECT_EQ(Formats(e), row.Formats);
        TearDown();
    }
}

// A speaker that the device can switch to headphones: the output terminal has two outputs and a
// multi-output entity, which takes the feature unit's entities upstream of it as its links.
TEST_F(Uac1ParseStreamingTest, MultiOutputTerminalLinksTheSingleSourceEntitiesUpstream)
{
    LONG references[2] = {};
    for (int outputs = 1; outputs <= 2; ++outputs) {
        SCOPED_TRACE(outputs);
        DescriptorBuilder b;
        b.AudioControl(0, 0, {1})
            .Uac1InputTerminal(1, 0x0101, 2)
            .Uac1FeatureUnit(2, 1, {0x0003, 0, 0})
            .Uac1OutputTerminal(3, 0x0301, 2);
        b.AudioStreaming(1, 0, 0).AudioStreaming(1, 1, 0).Uac1AsGeneral(1).Uac1FormatTypeI(2, 2, 16, {48000});
        Plug(b);
        m_device->SetString(0x50, u"chip");
        if (outputs == 2) {
            sim::RawRequest list;
            const uint8_t setup[8] = {0xC1, 0x86, 0x00, 0x08, 0x00, 0x03, 0x0E, 0x00};
            std::memcpy(list.Setup, setup, sizeof setup);
            list.Reply = {0x02, 0x00, 0x01, 0x03, 0, 0, 0, 0, 0x02, 0x03, 0, 0, 0, 0};
            m_device->AddRaw(list);
        }
        ASSERT_EQ(StartPlugged(), STATUS_SUCCESS);
        ULONG multi = 0;
        TopologyNode* volume = nullptr;
        for (ULONG i = 0; i < m_function->GetEntityCount(); ++i) {
            TopologyNode* e = nullptr;
            ASSERT_EQ(m_function->GetEntity(i, &e), STATUS_SUCCESS);
            multi += e->GetType() == ENTITY_MULTI_OUTPUT_TERMINAL ? 1 : 0;
            volume = e->GetType() == ENTITY_VOLUME ? e : volume;
        }
        EXPECT_EQ(multi, outputs == 2 ? 1u : 0u);
        ASSERT_NE(volume, nullptr);
        references[outputs - 1] = volume->GetReferenceCount();
        TearDown();
    }
    EXPECT_EQ(references[1], references[0] + 1) << "the multi-output entity holds the volume as a link";
}

TEST_F(Uac1ParseStreamingTest, CapturePathsGetTheirOwnSelectorOnlyBeforeVista)
{
    auto withFeature = [] {
        DescriptorBuilder b;
        b.AudioControl(0, 0, {1})
            .Uac1InputTerminal(1, 0x0201, 1, 0)
            .Uac1FeatureUnit(4, 1, {0x0001, 0}, 1)
            .Uac1OutputTerminal(2, 0x0101, 4);
        b.AudioStreaming(1, 0, 0).AudioStreaming(1, 1, 0).Uac1AsGeneral(2).Uac1FormatTypeI(1, 2, 16, {48000});
        return b;
    };
    auto bare = [] {
        DescriptorBuilder b = CaptureDevice();
        b.Uac1FormatTypeI(1, 2, 16, {48000});
        return b;
    };
    struct Row {
        const char* Name;
        ULONG Version;
        DescriptorBuilder Builder;
        std::string Linked;
        std::vector<ULONG> OutputSources;
        std::vector<ULONG> SelectorSources = {};
    } rows[] = {
        // Input terminal 0, output terminal 1, mute node 2, selector 3.
        {"two terminals, Windows 10", NTDDI_WIN10, bare(), "1:1 0:0 2:2", {2}},
        {"two terminals, XP", NTDDI_WINXP, bare(), "1:1 0:0 2:2 3:4", {3}, {2}},
        // Input terminal 0, the feature unit's mute 1, output terminal 2, selector 3.
        {"with a feature unit, Windows 10", NTDDI_WIN10, withFeature(), "2:1 1:2 0:0", {1}},
        {"with a feature unit, XP", NTDDI_WINXP, withFeature(), "2:1 1:2 0:0 3:4", {3}, {1}},
    };
    for (Row& row : rows) {
        SCOPED_TRACE(row.Name);
        platform::SetSystemVersion(row.Version);
        ASSERT_EQ(Start(row.Builder), STATUS_SUCCESS);
        EXPECT_EQ(Linked(Endpoint(0)), row.Linked);
        const ULONG output = row.Linked[0] - '0';
        EXPECT_EQ(SourcesOf(output), row.OutputSources);
        if (!row.SelectorSources.empty()) {
            EXPECT_EQ(SourcesOf(3), row.SelectorSources);
        }
        TearDown();
    }
    platform::SetSystemVersion(NTDDI_WIN10);
}

TEST_F(Uac1ParseStreamingTest, FormatTypesAndRateRangesGiveTheirRecordsOrTheirStatus)
{
    struct Row {
        const char* Name;
        Bytes Format;
        uint16_t FormatTag;
        NTSTATUS Expected;
        std::vector<std::string> Formats;
    };
    const std::vector<Row> rows = {
        {"8000 to 48000", FormatType(1, 2, 2, 16, {8000, 48000}, true), 1, STATUS_SUCCESS,
         {"8000/2/16/16/3/P", "11025/2/16/16/3/P", "16000/2/16/16/3/P", "22050/2/16/16/3/P", "32000/2/16/16/3/P",
          "44100/2/16/16/3/P", "48000/2/16/16/3/P"}},
        {"44100 to 50000", FormatType(1, 2, 2, 16, {44100, 50000}, true), 1, STATUS_SUCCESS,
         {"44100/2/16/16/3/P", "48000/2/16/16/3/P"}},
        {"up to 192000", FormatType(1, 2, 2, 16, {44100, 192000}, true), 1, STATUS_INVALID_PARAMETER, {}},
        {"type III, tag 0x2001", FormatType(3, 2, 2, 16, {48000}), 0x2001, STATUS_SUCCESS,
         {"48000/2/16/16/3/D", "48000/2/16/16/3/W"}},
        {"type III, tag 0x0002", FormatType(3, 2, 2, 16, {48000}), 0x0002, STATUS_UNSUCCESSFUL, {}},
        {"type II", FormatType(2, 2, 2, 16, {48000}), 1, STATUS_INVALID_PARAMETER, {}},
        {"24 in 3 bytes, 6 channels", FormatType(1, 6, 3, 24, {96000}), 1, STATUS_SUCCESS, {"96000/6/24/24/3f/P"}},
        {"20 valid bits of 32", FormatType(1, 8, 4, 20, {48000}), 1, STATUS_SUCCESS, {"48000/8/32/20/63f/P"}},
        {"no channels", FormatType(1, 0, 2, 16, {48000}), 1, STATUS_INVALID_PARAMETER, {}},
        {"subframe 5", FormatType(1, 2, 5, 16, {48000}), 1, STATUS_INVALID_PARAMETER, {}},
        {"resolution past the subframe", FormatType(1, 2, 2, 24, {48000}), 1, STATUS_INVALID_PARAMETER, {}},
        {"cut rate list", [] {
             Bytes d = FormatType(1, 2, 2, 16, {48000});
             d[7] = 2;
             return d;
         }(),
         1, STATUS_INVALID_PARAMETER, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        DescriptorBuilder b;
        b.AudioControl(0, 0, {1}).Uac1InputTerminal(1, 0x0101, 2).Uac1OutputTerminal(3, 0x0301, 1);
        b.AudioStreaming(1, 0, 0).AudioStreaming(1, 1, 0).Uac1AsGeneral(1, row.FormatTag).Raw(row.Format);
        ASSERT_EQ(Start(b), row.Expected);
        if (NT_SUCCESS(row.Expected)) {
            EXPECT_EQ(Formats(Endpoint(0)), row.Formats);
        }
        TearDown();
    }
}

TEST_F(Uac1ParseStreamingTest, AlternateSettingsShareOneEndpointAndAnInterfaceMayHaveNoFormat)
{
    DescriptorBuilder b = RenderDevice();
    b.Uac1FormatTypeI(2, 2, 16, {48000}).Endpoint(0x01, 0x09, 196, 1).Uac1AsEndpoint();
    b.AudioStreaming(1, 2, 0).Uac1AsGeneral(1).Uac1FormatTypeI(2, 3, 24, {48000}).Endpoint(0x01, 0x09, 294, 1);
    b.AudioStreaming(2, 0, 0).AudioStreaming(2, 1, 0).Uac1AsGeneral(1);  // a second render stream, no format
    ASSERT_EQ(Start(b), STATUS_SUCCESS);
    ASSERT_EQ(m_function->GetEndpointCount(), 2u);
    auto* first = static_cast<UsbStreamEndpoint*>(Endpoint(0));
    EXPECT_EQ(Formats(first), (std::vector<std::string>{"48000/2/16/16/3/P", "48000/2/24/24/3/P"}));
    for (ULONG i = 0; i < 2; ++i) {
        WaveFormatRecord f;
        ASSERT_EQ(first->GetFormat(i, &f), STATUS_SUCCESS);
        UCHAR alt = 0;
        ASSERT_EQ(first->FindAlternateSetting(&f, &alt), STATUS_SUCCESS);
        EXPECT_EQ(alt, i + 1);
    }
    EXPECT_EQ(Endpoint(1)->GetFormatCount(), 0u);
}

TEST_F(Uac1ParseStreamingTest, HostileStreamingDescriptorsAreRefusedWithTheirStatus)
{
    struct Row {
        const char* Name;
        DescriptorBuilder Builder;
        NTSTATUS Expected;
    };
    auto render = [](uint8_t link, std::vector<Bytes> extra) {
        DescriptorBuilder b;
        b.AudioControl(0, 0, {1})
            .Uac1InputTerminal(1, 0x0101, 2)
            .Uac1FeatureUnit(4, 1, {0x0001, 0, 0})
            .Uac1OutputTerminal(3, 0x0301, 4);
        b.AudioStreaming(1, 0, 0).AudioStreaming(1, 1, 0);
        if (link != 0) {
            b.Uac1AsGeneral(link);
        }
        for (const Bytes& e : extra) {
            b.Raw(e);
        }
        return b;
    };
    std::vector<Row> rows;
    rows.push_back({"FORMAT_TYPE before AS_GENERAL", render(0, {FormatType(1, 2, 2, 16, {48000})}),
                    STATUS_INVALID_PARAMETER});
    rows.push_back({"link naming no unit", render(9, {}), STATUS_UNSUCCESSFUL});
    rows.push_back({"link naming a feature unit", render(4, {}), STATUS_INVALID_PARAMETER});
    rows.push_back({"AS_GENERAL cut to 6", render(0, {{6, 0x24, 1, 1, 1, 1}}), STATUS_INVALID_PARAMETER});
    rows.push_back({"bLength 0 in the interface", render(1, {{0, 0x24, 2, 1}}), STATUS_UNSUCCESSFUL});
    rows.push_back({"bLength past the configuration", render(1, {{40, 0x24, 2, 1}}), STATUS_UNSUCCESSFUL});
    {
        // The render stream's terminal feeds nothing; the speaker takes another input.
        DescriptorBuilder b;
        b.AudioControl(0, 0, {1})
            .Uac1InputTerminal(1, 0x0101, 2)
            .Uac1InputTerminal(2, 0x0603, 2)
            .Uac1OutputTerminal(3, 0x0301, 2);
        b.AudioStreaming(1, 0, 0).AudioStreaming(1, 1, 0).Uac1AsGeneral(1);
        rows.push_back({"a render terminal no physical output reaches", b, STATUS_INVALID_PARAMETER});
    }
    for (Row& row : rows) {
        EXPECT_EQ(Start(row.Builder), row.Expected) << row.Name;
        TearDown();
    }
}

// Output 3 takes a selector of nine selectors, each of two input terminals, the last of
// `lastInputs`; the stream's terminal is the very last input. Breadth first, the walks hold 9 + k
// ids after expanding the k-th inner selector, and 16 + `lastInputs` after the last one.
DescriptorBuilder WideRender(int lastInputs, bool capture)
{
    DescriptorBuilder b;
    b.AudioControl(0, 0, {1});
    uint8_t nextTerminal = 100;
    std::vector<uint8_t> inner;
    for (int s = 0; s < 9; ++s) {
        const int inputs = s == 8 ? lastInputs : 2;
        std::vector<uint8_t> sources;
        for (int i = 0; i < inputs; ++i) {
            const bool stream = s == 8 && i == inputs - 1;
            b.Uac1InputTerminal(nextTerminal, stream && !capture ? 0x0101 : 0x0201, 1, 0);
            sources.push_back(nextTerminal++);
        }
        const auto id = static_cast<uint8_t>(10 + s);
        sim::Bytes d = {0, 0x24, 5, id, static_cast<uint8_t>(sources.size())};
        d.insert(d.end(), sources.begin(), sources.end());
        d.push_back(0);
        d[0] = static_cast<uint8_t>(d.size());
        b.Raw(d);
        inner.push_back(id);
    }
    sim::Bytes outer = {0, 0x24, 5, 20, 9};
    outer.insert(outer.end(), inner.begin(), inner.end());
    outer.push_back(0);
    outer[0] = static_cast<uint8_t>(outer.size());
    b.Raw(outer);
    b.Uac1OutputTerminal(3, capture ? 0x0101 : 0x0301, 20);
    if (!capture) {
        b.AudioStreaming(1, 0, 0).AudioStreaming(1, 1, 0).Uac1AsGeneral(static_cast<uint8_t>(nextTerminal - 1));
    } else {
        b.AudioStreaming(1, 0, 0).AudioStreaming(1, 1, 0).Uac1AsGeneral(3);
    }
    return b;
}

TEST_F(Uac1ParseStreamingTest, WalksHoldNineteenQueuedIdsAndRefuseTheTwentieth)
{
    struct Row {
        const char* Name;
        int LastInputs;
        bool Capture;
        NTSTATUS Expected;
    } rows[] = {
        {"render, 19 queued", 3, false, STATUS_SUCCESS},
        {"render, 20 queued: the output's walk fails, no output reaches the stream", 4, false,
         STATUS_INVALID_PARAMETER},
        {"capture, 19 queued", 3, true, STATUS_SUCCESS},
        {"capture, 20 queued", 4, true, STATUS_INSUFFICIENT_RESOURCES},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        ASSERT_EQ(Start(WideRender(row.LastInputs, row.Capture)), row.Expected);
        if (NT_SUCCESS(row.Expected)) {
            // Output, both selector levels and every input terminal.
            EXPECT_EQ(Endpoint(0)->GetEntityCount(), 1u + 1u + 9u + 16u + row.LastInputs);
        }
        TearDown();
    }
}

TEST_F(Uac1ParseStreamingTest, ProfilesStartWithTheirEndpointsAndFormats)
{
    struct Row {
        const char* File;
        std::vector<std::vector<std::string>> Formats;  // per endpoint
        std::vector<bool> Capture;
    } rows[] = {
        {"uac1-headset.json",
         {{"44100/2/16/16/3/P", "48000/2/16/16/3/P", "44100/2/24/24/3/P", "48000/2/24/24/3/P"},
          {"48000/1/16/16/4/P", "48000/1/16/16/0/P"}},
         {false, true}},
        {"uac1-speaker-selector.json", {{"32000/2/16/16/3/P", "44100/2/16/16/3/P", "48000/2/16/16/3/P"}}, {false}},
        {"uac1-microphone.json", {{"8000/1/16/16/4/P", "8000/1/16/16/0/P"}}, {true}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.File);
        PlugProfile(row.File);
        ASSERT_EQ(StartPlugged(), STATUS_SUCCESS);
        EXPECT_EQ(m_usb->FunctionVariant(), UsbFunctionVariant::Uac1);
        ASSERT_EQ(m_function->GetEndpointCount(), row.Formats.size());
        for (ULONG i = 0; i < row.Formats.size(); ++i) {
            EXPECT_EQ(Formats(Endpoint(i)), row.Formats[i]) << i;
            EXPECT_EQ(Endpoint(i)->IsCapture() != 0, row.Capture[i]) << i;
        }
        TearDown();
    }
}

// Two render streams, each to its own output: every output reached binds, and an output a stream
// does not reach is just not its own (the stream fails only when none reaches it).
TEST_F(Uac1ParseStreamingTest, EachRenderStreamBindsTheOutputsItReaches)
{
    DescriptorBuilder b;
    b.AudioControl(0, 0, {1, 2})
        .Uac1InputTerminal(1, 0x0101, 2)
        .Uac1InputTerminal(2, 0x0101, 2)
        .Uac1OutputTerminal(3, 0x0301, 1)
        .Uac1OutputTerminal(4, 0x0302, 2);
    b.AudioStreaming(1, 0, 0).AudioStreaming(1, 1, 0).Uac1AsGeneral(1).Uac1FormatTypeI(2, 2, 16, {48000});
    b.AudioStreaming(2, 0, 0).AudioStreaming(2, 1, 0).Uac1AsGeneral(2).Uac1FormatTypeI(2, 2, 16, {48000});
    ASSERT_EQ(Start(b), STATUS_SUCCESS);
    ASSERT_EQ(m_function->GetEndpointCount(), 2u);
    // Terminals 0 and 1 stream into outputs 2 and 3; each path gets its mute node (4, 5).
    EXPECT_EQ(Linked(Endpoint(0)), "2:1 0:0 4:2");
    EXPECT_EQ(Linked(Endpoint(1)), "3:1 1:0 5:2");
}

// Every control request of the headset's start fails in turn (an error, then a stall): the start
// fails or goes on without what it asked for, and leaves nothing behind.
TEST_F(Uac1ParseStreamingTest, EachRequestOfTheStartFailingInTurnEndsCleanly)
{
    PlugProfile("uac1-headset.json");
    ASSERT_EQ(StartPlugged(), STATUS_SUCCESS);
    std::vector<USB_DEFAULT_PIPE_SETUP_PACKET> requests;
    for (const auto& entry : m_device->Log()) {
        if (entry.What != sim::RequestLogEntry::Kind::Control) {
            continue;
        }
        bool seen = false;
        for (const auto& r : requests) {
            seen = seen || (r.bmRequestType == entry.Setup.bmRequestType && r.bRequest == entry.Setup.bRequest &&
                            r.wValue == entry.Setup.wValue && r.wIndex == entry.Setup.wIndex);
        }
        if (!seen) {
            requests.push_back(entry.Setup);
        }
    }
    TearDown();
    ASSERT_GT(requests.size(), 10u);
    for (const auto kind : {sim::SimDevice::FaultKind::Error, sim::SimDevice::FaultKind::Stall}) {
        for (const auto& r : requests) {
            SCOPED_TRACE(testing::Message() << std::hex << int(r.bmRequestType) << " " << int(r.bRequest) << " "
                                            << r.wValue << " " << r.wIndex);
            PlugProfile("uac1-headset.json");
            m_device->AddFault({r.bmRequestType, r.bRequest, r.wValue, r.wIndex}, kind);
            const NTSTATUS status = StartPlugged();
            EXPECT_NE(status, STATUS_PENDING);
            EXPECT_EQ(m_bus->PendingCount(), 0u);
            TearDown();
        }
    }
}

}  // namespace
}  // namespace kvxtest
