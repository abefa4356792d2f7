// The length table of the class-specific descriptors, the walk over them and the check of a
// whole configuration.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/nt/DebugHost.h"
#include "sim/DescriptorBuilder.h"
#include "usb/UacDescriptors.h"
#include "usb/UacUnitGraph.h"

namespace {

using Bytes = std::vector<UCHAR>;

// A descriptor of `length` bytes: header, then `fields` from byte 3 on, zero after them.
Bytes Descriptor(UCHAR length, UCHAR type, UCHAR subtype, std::vector<UCHAR> fields = {})
{
    Bytes d(length < 2 ? 2 : length, 0);
    d[0] = length;
    d[1] = type;
    if (d.size() > 2) {
        d[2] = subtype;
    }
    for (size_t i = 0; i < fields.size() && 3 + i < d.size(); ++i) {
        d[3 + i] = fields[i];
    }
    return d;
}

struct CheckRow {
    const char* Name;
    UacDescriptorSet Set;
    Bytes Data;
    ULONG Remaining;  // 0: the descriptor's own size
    NTSTATUS Expected;
};

TEST(UacDescriptorTable, EachDescriptorIsCheckedAgainstItsRow)
{
    constexpr auto AC = UAC1_SET_AUDIO_CONTROL;
    constexpr auto AS = UAC1_SET_AUDIO_STREAMING;
    constexpr UCHAR CS = USB_AUDIO_CS_INTERFACE;
    const CheckRow rows[] = {
        {"input terminal, 12 bytes", AC, Descriptor(12, CS, 2), 0, STATUS_SUCCESS},
        {"input terminal cut to 11", AC, Descriptor(11, CS, 2), 0, STATUS_INVALID_PARAMETER},
        {"output terminal, 9 bytes", AC, Descriptor(9, CS, 3), 0, STATUS_SUCCESS},
        {"output terminal cut to 8", AC, Descriptor(8, CS, 3), 0, STATUS_INVALID_PARAMETER},
        {"mixer with 2 pins, 7 bytes", AC, Descriptor(7, CS, 4, {1, 2}), 0, STATUS_SUCCESS},
        {"mixer with 2 pins, 6 bytes", AC, Descriptor(6, CS, 4, {1, 2}), 0, STATUS_INVALID_PARAMETER},
        {"mixer with 255 pins, 10 bytes", AC, Descriptor(10, CS, 4, {1, 255}), 0, STATUS_INVALID_PARAMETER},
        {"mixer cut before bNrInPins", AC, Descriptor(4, CS, 4, {1}), 0, STATUS_INVALID_PARAMETER},
        {"selector with no pins", AC, Descriptor(5, CS, 5, {1, 0}), 0, STATUS_SUCCESS},
        {"selector with 255 pins, 200 bytes", AC, Descriptor(200, CS, 5, {1, 255}), 0, STATUS_INVALID_PARAMETER},
        {"selector with 250 pins in 255 bytes", AC, Descriptor(255, CS, 5, {1, 250}), 0, STATUS_SUCCESS},
        {"feature unit, bControlSize 0", AC, Descriptor(7, CS, 6, {1, 1, 0}), 0, STATUS_SUCCESS},
        {"feature unit cut to 6", AC, Descriptor(6, CS, 6, {1, 1, 2}), 0, STATUS_INVALID_PARAMETER},
        {"header is not read past its subtype", AC, Descriptor(3, CS, 1), 0, STATUS_SUCCESS},
        {"processing unit: only the subtype is read", AC, Descriptor(3, CS, 7), 0, STATUS_SUCCESS},
        {"class-specific without a subtype", AC, Descriptor(2, CS, 0), 0, STATUS_INVALID_PARAMETER},
        {"bLength 0", AC, Descriptor(0, CS, 2), 12, STATUS_UNSUCCESSFUL},
        {"bLength 1", AC, Descriptor(1, CS, 2), 12, STATUS_UNSUCCESSFUL},
        {"bLength past the bytes held", AC, Descriptor(12, CS, 2), 11, STATUS_UNSUCCESSFUL},
        {"one byte held", AC, Descriptor(12, CS, 2), 1, STATUS_UNSUCCESSFUL},
        {"AS_GENERAL, 7 bytes", AS, Descriptor(7, CS, 1), 0, STATUS_SUCCESS},
        {"AS_GENERAL cut to 6", AS, Descriptor(6, CS, 1), 0, STATUS_INVALID_PARAMETER},
        {"FORMAT_TYPE, 2 discrete rates", AS, Descriptor(14, CS, 2, {1, 2, 2, 16, 2}), 0, STATUS_SUCCESS},
        {"FORMAT_TYPE, 2 rates in 13 bytes", AS, Descriptor(13, CS, 2, {1, 2, 2, 16, 2}), 0, STATUS_INVALID_PARAMETER},
        {"FORMAT_TYPE, continuous", AS, Descriptor(14, CS, 2, {1, 2, 2, 16, 0}), 0, STATUS_SUCCESS},
        {"FORMAT_TYPE, range cut to 13", AS, Descriptor(13, CS, 2, {1, 2, 2, 16, 0}), 0, STATUS_INVALID_PARAMETER},
        {"FORMAT_TYPE cut before bSamFreqType", AS, Descriptor(7, CS, 2, {1, 2, 2, 16}), 0, STATUS_INVALID_PARAMETER},
        {"FORMAT_TYPE, 255 rates in 255 bytes", AS, Descriptor(255, CS, 2, {1, 2, 2, 16, 255}), 0,
         STATUS_INVALID_PARAMETER},
        // Subtype 2 is an input terminal in one interface and a FORMAT_TYPE in the other.
        {"11-byte FORMAT_TYPE with one rate", AS, Descriptor(11, CS, 2, {1, 2, 2, 16, 1}), 0, STATUS_SUCCESS},
        {"the same bytes as an input terminal", AC, Descriptor(11, CS, 2, {1, 2, 2, 16, 1}), 0,
         STATUS_INVALID_PARAMETER},
        {"interface cut to 8", AS, Descriptor(8, USB_INTERFACE_DESCRIPTOR_TYPE, 0), 0, STATUS_INVALID_PARAMETER},
        {"interface cut to 8, outside audio", UAC_SET_OTHER, Descriptor(8, USB_INTERFACE_DESCRIPTOR_TYPE, 0), 0,
         STATUS_INVALID_PARAMETER},
        {"configuration cut to 8 inside a walk", UAC_SET_OTHER, Descriptor(8, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0), 0,
         STATUS_INVALID_PARAMETER},
        {"another class's 2-byte descriptor", UAC_SET_OTHER, Descriptor(2, CS, 0), 0, STATUS_SUCCESS},
        {"an endpoint: generic bounds only", AS, Descriptor(2, USB_ENDPOINT_DESCRIPTOR_TYPE, 0), 0, STATUS_SUCCESS},
    };
    for (const CheckRow& row : rows) {
        // Exactly the bytes held, so that a read past them is a fault under ASan.
        const ULONG held = row.Remaining != 0 ? row.Remaining : static_cast<ULONG>(row.Data.size());
        Bytes exact = row.Data;
        exact.resize(held);
        EXPECT_EQ(CheckUacDescriptor(row.Set, exact.data(), held), row.Expected) << row.Name;
    }
}

TEST(UacDescriptorTable, UnitSourcesComeFromEachLayout)
{
    struct Row {
        Bytes D;
        std::vector<UCHAR> Sources;
    } rows[] = {
        {Descriptor(12, USB_AUDIO_CS_INTERFACE, 2, {1}), {}},
        {Descriptor(9, USB_AUDIO_CS_INTERFACE, 3, {3, 1, 3, 0, 7}), {7}},
        {Descriptor(7, USB_AUDIO_CS_INTERFACE, 6, {4, 9, 0}), {9}},
        {Descriptor(8, USB_AUDIO_CS_INTERFACE, 4, {5, 3, 1, 2, 4}), {1, 2, 4}},
        {Descriptor(6, USB_AUDIO_CS_INTERFACE, 5, {6, 1, 8}), {8}},
    };
    for (const Row& row : rows) {
        const UCHAR* p = nullptr;
        ULONG n = 99;
        GetUacUnitSources(row.D.data(), &p, &n);
        EXPECT_EQ(std::vector<UCHAR>(p, p + n), row.Sources) << "subtype " << int(row.D[2]);
    }
}

TEST(UacDescriptorTable, WalkStepsByBLengthAndRefusesADescriptorThatCannotAdvance)
{
    Bytes bytes = Descriptor(12, USB_AUDIO_CS_INTERFACE, 2, {1});
    const Bytes ot = Descriptor(9, USB_AUDIO_CS_INTERFACE, 3, {2});
    bytes.insert(bytes.end(), ot.begin(), ot.end());
    bytes.push_back(0);  // bLength 0 mid-walk
    bytes.push_back(USB_AUDIO_CS_INTERFACE);

    UacDescriptorWalk walk(UAC1_SET_AUDIO_CONTROL, bytes.data(), static_cast<ULONG>(bytes.size()));
    std::vector<UCHAR> ids;
    NTSTATUS status = STATUS_SUCCESS;
    while (!walk.AtEnd()) {
        const UCHAR* d = nullptr;
        status = walk.Current(&d);
        if (!NT_SUCCESS(status)) {
            EXPECT_EQ(d, nullptr);
            break;
        }
        ids.push_back(d[3]);
        walk.Advance();
    }
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(ids, (std::vector<UCHAR>{1, 2}));
    EXPECT_EQ(walk.Remaining(), 2u);
    EXPECT_TRUE(UacDescriptorWalk(UAC1_SET_AUDIO_CONTROL, nullptr, 50).AtEnd());
}

// A small UAC1 configuration: AudioControl with an interrupt endpoint, one streaming interface.
sim::DescriptorBuilder SmallConfiguration()
{
    sim::DescriptorBuilder b;
    b.AudioControl(0, 0, {1})
        .Uac1InputTerminal(1, 0x0101, 2)
        .Uac1FeatureUnit(2, 1, {0x0003, 0, 0})
        .Uac1OutputTerminal(3, 0x0301, 2)
        .Endpoint(0x83, 0x03, 2, 32)
        .AudioStreaming(1, 0, 0)
        .AudioStreaming(1, 1, 0)
        .Uac1AsGeneral(1)
        .Uac1FormatTypeI(2, 2, 16, {44100, 48000})
        .Endpoint(0x01, 0x09, 196, 1)
        .Uac1AsEndpoint();
    return b;
}

TEST(UacDescriptorTable, ConfigurationIsWalkedWithinWTotalLengthAndTheBytesHeld)
{
    const Bytes good = SmallConfiguration().Configuration();
    ASSERT_EQ(ValidateUacConfiguration(good.data(), static_cast<ULONG>(good.size())), STATUS_SUCCESS);

    // wTotalLength above the bytes held: the walk stops at what arrived, and the cut descriptor fails.
    const Bytes cut(good.begin(), good.end() - 3);
    EXPECT_EQ(ValidateUacConfiguration(cut.data(), static_cast<ULONG>(cut.size())), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(UacConfigurationLength(cut.data(), static_cast<ULONG>(cut.size())), cut.size());

    // wTotalLength below the bytes held: what follows it is never read.
    Bytes trailing = good;
    trailing.push_back(0);
    trailing.push_back(0x24);
    EXPECT_EQ(ValidateUacConfiguration(trailing.data(), static_cast<ULONG>(trailing.size())), STATUS_SUCCESS);
    EXPECT_EQ(UacConfigurationLength(trailing.data(), static_cast<ULONG>(trailing.size())), good.size());

    EXPECT_EQ(ValidateUacConfiguration(good.data(), 8), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ValidateUacConfiguration(nullptr, 100), STATUS_INVALID_PARAMETER);
}

TEST(UacDescriptorTable, ConfigurationChecksEachInterfaceByItsOwnRows)
{
    struct Row {
        const char* Name;
        sim::DescriptorBuilder Builder;
        NTSTATUS Expected;
    };
    auto withAc = [](const Bytes& extra) {
        sim::DescriptorBuilder b;
        b.AudioControl(0, 0, {}).Uac1InputTerminal(1, 0x0101, 2).Raw(extra);
        return b;
    };
    auto withFormat = [](const Bytes& format) {
        sim::DescriptorBuilder b;
        b.AudioControl(0, 0, {1}).Uac1InputTerminal(1, 0x0101, 2).Uac1OutputTerminal(2, 0x0301, 1);
        b.AudioStreaming(1, 1, 0).Uac1AsGeneral(1).Raw(format);
        return b;
    };
    const UCHAR CS = USB_AUDIO_CS_INTERFACE;
    Row rows[] = {
        {"a cut output terminal in AudioControl", withAc(Descriptor(8, CS, 3)), STATUS_INVALID_PARAMETER},
        {"after the walk's end, AudioControl rows no longer apply",
         withAc([&] {
             Bytes b = {7, 5, 0x83, 3, 2, 0, 32};
             const Bytes late = Descriptor(8, CS, 3);
             b.insert(b.end(), late.begin(), late.end());
             return b;
         }()),
         STATUS_SUCCESS},
        {"FORMAT_TYPE II", withFormat(Descriptor(14, CS, 2, {2, 2, 2, 16, 2})), STATUS_INVALID_PARAMETER},
        {"FORMAT_TYPE with no channels", withFormat(Descriptor(14, CS, 2, {1, 0, 2, 16, 2})), STATUS_INVALID_PARAMETER},
        {"FORMAT_TYPE cut", withFormat(Descriptor(13, CS, 2, {1, 2, 2, 16, 2})), STATUS_INVALID_PARAMETER},
        {"FORMAT_TYPE III", withFormat(Descriptor(11, CS, 2, {3, 2, 2, 16, 1})), STATUS_SUCCESS},
    };
    for (Row& row : rows) {
        const Bytes c = row.Builder.Configuration();
        EXPECT_EQ(ValidateUacConfiguration(c.data(), static_cast<ULONG>(c.size())), row.Expected) << row.Name;
    }
}

// Code both versions share names the function's version in its log, never UAC 1.0 for a UAC 2.0
// device.
TEST(UacDescriptorTable, LogsNameTheVersionOfTheRowsAndTheFunction)
{
    const UCHAR CS = USB_AUDIO_CS_INTERFACE;
    auto config = [&](UCHAR protocol) {
        sim::DescriptorBuilder b;
        b.AudioControl(0, protocol, {}).Raw(Descriptor(8, CS, 3));  // an output terminal cut to 8
        return b.Configuration();
    };
    struct GraphDeleter {
        void operator()(UacUnitGraph* g) const { delete g; }
    };
    const Bytes loop = Descriptor(7, CS, 6, {2, 2, 0});  // a feature unit that is its own source
    struct Row {
        const char* Name;
        std::function<void()> Run;
        const char* Logged;
    } rows[] = {
        {"a cut UAC2 terminal", [&] { CheckUacDescriptor(UAC2_SET_AUDIO_CONTROL, Descriptor(15, CS, 2).data(), 15); },
         "UAC2: UAC2 INPUT_TERMINAL of 15 bytes"},
        {"a cut UAC1 terminal", [&] { CheckUacDescriptor(UAC1_SET_AUDIO_CONTROL, Descriptor(11, CS, 2).data(), 11); },
         "UAC1: INPUT_TERMINAL of 11 bytes"},
        {"a UAC2 configuration",
         [&] {
             const Bytes c = config(USB_AUDIO_PROTOCOL_UAC2);
             ValidateUacConfiguration(c.data(), static_cast<ULONG>(c.size()));
         },
         "UAC2: UAC2 OUTPUT_TERMINAL of 8 bytes"},
        {"a UAC1 configuration",
         [&] {
             const Bytes c = config(USB_AUDIO_PROTOCOL_UAC1);
             ValidateUacConfiguration(c.data(), static_cast<ULONG>(c.size()));
         },
         "UAC1: OUTPUT_TERMINAL of 8 bytes"},
        {"a UAC2 unit loop",
         [&] {
             std::unique_ptr<UacUnitGraph, GraphDeleter> g(new (PagedPool, UAC_PARSE_TAG) UacUnitGraph(UAC_VERSION_2));
             g->AddUnit(loop.data());
             g->Check();
         },
         "UAC2: unit 2 lies upstream of itself"},
        {"a UAC2 dangling source",
         [&] {
             std::unique_ptr<UacUnitGraph, GraphDeleter> g(new (PagedPool, UAC_PARSE_TAG) UacUnitGraph(UAC_VERSION_2));
             g->CheckSources(loop.data());
         },
         "UAC2: unit 2 names source 2, which is no unit"},
    };
    for (const Row& row : rows) {
        platform::DebugLogTake();
        row.Run();
        const std::string log = platform::DebugLogTake();
        EXPECT_NE(log.find(row.Logged), std::string::npos) << row.Name << ": " << log;
        const bool uac2 = std::string(row.Logged).rfind("UAC2:", 0) == 0;
        EXPECT_EQ(log.find(uac2 ? "UAC1:" : "UAC2:"), std::string::npos) << row.Name << ": " << log;
    }
}

}  // namespace
