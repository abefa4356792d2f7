// A hostile UAC2 device through the device object's start: descriptors cut short or lying about
// their counts, unit graphs that loop or name what is not there, clocks with odd ranges. Each
// start ends with its status, nothing pending; the harness checks the pool for leaks at the end
// of each test.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/sim/Uac2Fixtures.h"
#include "tests/usb/Uac2Fixture.h"

namespace kvxtest {
namespace {

using namespace uac2;

class Uac2HostileTest : public Uac2Fixture {};

// GET RANGE of the sampling frequency of clock 10, answered with `subranges`.
sim::RawRequest ClockRange(std::vector<std::array<uint32_t, 3>> subranges, uint16_t count)
{
    sim::RawRequest r;
    const uint8_t setup[8] = {0xA1, 0x02, 0x00, 0x01, 0x00, 0x0A, 0x00, 0x00};
    std::memcpy(r.Setup, setup, sizeof setup);
    r.Reply = {static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8)};
    for (const auto& s : subranges) {
        for (uint32_t v : s) Le32(r.Reply, v);
    }
    return r;
}

std::vector<Bytes> With(std::vector<Bytes> base, const Bytes& extra)
{
    base.push_back(extra);
    return base;
}

TEST_F(Uac2HostileTest, HostileConfigurationsStartOrAreRefusedWithTheirStatus)
{
    struct Row {
        const char* Name;
        std::vector<Bytes> Control;
        std::vector<Bytes> Streaming;
        NTSTATUS Expected;
        ULONG Formats = 0;  // of endpoint 0, when the start succeeds
        std::vector<sim::RawRequest> Raw = {};
        uint8_t DataEndpoint = 0x01;
    };
    const auto path = RenderPath();
    const auto pcm = PcmStream();
    std::vector<std::array<uint32_t, 3>> many;
    for (uint32_t i = 0; i < 31; ++i) many.push_back({8000 + 1000 * i, 8000 + 1000 * i, 0});
    // Units 1 to 250 each fed by the next, the last by the streaming terminal 251.
    std::vector<Bytes> chain = {Clock(252), OutputTerminal(3, 0x0301, 4, 252)};
    for (uint8_t id = 4; id < 250; ++id) chain.push_back(Feature(id, static_cast<uint8_t>(id + 1)));
    chain.push_back(Feature(250, 251));
    chain.push_back(InputTerminal(251, 0x0101, 252));
    const std::vector<Row> rows = {
        {"as built", path, pcm, STATUS_SUCCESS, 3},
        // H1: each class-specific descriptor one byte shorter than its class reads.
        {"input terminal of 15 bytes", With(path, Cut(InputTerminal(7, 0x0201, 10), 15)), pcm, STATUS_INVALID_PARAMETER},
        {"output terminal of 10 bytes", With(path, Cut(OutputTerminal(7, 0x0301, 2, 10), 10)), pcm,
         STATUS_INVALID_PARAMETER},
        {"clock of 3 bytes", With(path, Cut(Clock(11), 3)), pcm, STATUS_INVALID_PARAMETER},
        {"feature unit of 9 bytes", With(path, Cut(Feature(7, 1), 9)), pcm, STATUS_INVALID_PARAMETER},
        {"mixer short of its last source", With(path, Cut(Mixer(7, {1, 2}), 6)), pcm, STATUS_INVALID_PARAMETER},
        {"selector short of its last source", With(path, Sized({0, 0x24, 0x05, 7, 2, 1})), pcm,
         STATUS_INVALID_PARAMETER},
        {"extension short of its last source", With(path, Cut(Extension(7, {1, 2}), 8)), pcm,
         STATUS_INVALID_PARAMETER},
        {"AS_GENERAL of 14 bytes", path, {Cut(AsGeneral(1, 1, 1, 2, 3), 14), FormatType(1, 2, 16)},
         STATUS_INVALID_PARAMETER},
        {"FORMAT_TYPE of 5 bytes", path, {AsGeneral(1, 1, 1, 2, 3), Cut(FormatType(1, 2, 16), 5)},
         STATUS_INVALID_PARAMETER},
        // H2: pin counts the descriptor does not hold.
        {"mixer of 255 pins in 14 bytes", With(path, [] { Bytes m = Mixer(7, {1}); m[4] = 255; return m; }()), pcm,
         STATUS_INVALID_PARAMETER},
        {"mixer of no pins", With(path, Mixer(7, {})), pcm, STATUS_SUCCESS, 3},
        // H3: lengths that stop the walk.
        {"bLength 0 mid-walk", With(path, Bytes{0, 0x24, 0x06}), pcm, STATUS_UNSUCCESSFUL},
        {"bLength 1 mid-walk", With(path, Bytes{1, 0x24, 0x06}), pcm, STATUS_UNSUCCESSFUL},
        // H4: loops and depth.
        {"a feature unit that is its own source", With(path, Feature(7, 7)), pcm, STATUS_INVALID_PARAMETER},
        {"a mixer that feeds itself", With(path, Mixer(7, {1, 7})), pcm, STATUS_INVALID_PARAMETER},
        {"a two-cycle through a mixer and an extension unit",
         {Clock(10), InputTerminal(1, 0x0101, 10), Mixer(7, {1, 8}), Extension(8, {7}), Feature(2, 1),
          OutputTerminal(3, 0x0301, 2, 10)},
         pcm, STATUS_INVALID_PARAMETER},
        {"a chain of 248 units", chain, PcmStream(251), STATUS_SUCCESS, 1},  // clock 252: the default 48 kHz
        // H5: names of nothing, or of the wrong kind.
        {"a source naming no unit", With(path, Feature(7, 99)), pcm, STATUS_UNSUCCESSFUL},
        {"a source naming a clock", With(path, Feature(7, 10)), pcm, STATUS_INVALID_PARAMETER},
        {"a terminal link naming no unit", path, PcmStream(99), STATUS_UNSUCCESSFUL},
        {"a terminal link naming a feature unit", path, PcmStream(2), STATUS_INVALID_PARAMETER},
        {"bCSourceID naming no unit",
         {Clock(10), InputTerminal(1, 0x0101, 11), Feature(2, 1), OutputTerminal(3, 0x0301, 2, 10)}, pcm,
         STATUS_UNSUCCESSFUL},
        {"bCSourceID naming a feature unit",
         {Clock(10), InputTerminal(1, 0x0101, 2), Feature(2, 1), OutputTerminal(3, 0x0301, 2, 10)}, pcm,
         STATUS_INVALID_PARAMETER},
        // Units this function does not build.
        {"a clock selector", With(path, Sized({0, 0x24, 0x0B, 12, 1, 10, 0x03, 0})), pcm, STATUS_UNSUCCESSFUL},
        {"a clock multiplier", With(path, Sized({0, 0x24, 0x0C, 12, 10, 0x05, 0})), pcm, STATUS_UNSUCCESSFUL},
        {"an effect unit", With(path, Sized({0, 0x24, 0x07, 12, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0})), pcm,
         STATUS_UNSUCCESSFUL},
        {"a processing unit", With(path, Sized({0, 0x24, 0x08, 12, 1, 0, 1, 2})), pcm, STATUS_UNSUCCESSFUL},
        {"a sample rate converter", With(path, Sized({0, 0x24, 0x0D, 12, 2, 10, 10, 0})), pcm, STATUS_UNSUCCESSFUL},
        // H7: what the stream cannot carry.
        {"no channels", path, {AsGeneral(1, 1, 1, 0, 0), FormatType(1, 2, 16)}, STATUS_INVALID_PARAMETER},
        {"subslot 0", path, {AsGeneral(1, 1, 1, 2, 3), FormatType(1, 0, 16)}, STATUS_INVALID_PARAMETER},
        {"subslot 5", path, {AsGeneral(1, 1, 1, 2, 3), FormatType(1, 5, 16)}, STATUS_INVALID_PARAMETER},
        {"resolution 0", path, {AsGeneral(1, 1, 1, 2, 3), FormatType(1, 2, 0)}, STATUS_INVALID_PARAMETER},
        {"resolution past the subslot", path, {AsGeneral(1, 1, 1, 2, 3), FormatType(1, 2, 17)},
         STATUS_INVALID_PARAMETER},
        {"format type II", path, {AsGeneral(1, 2, 1, 2, 3), FormatType(2, 2, 16)}, STATUS_INVALID_PARAMETER},
        {"float only", path, {AsGeneral(1, 1, 0x2, 2, 3), FormatType(1, 4, 32)}, STATUS_SUCCESS, 0},
        // H9: order and absence.
        {"FORMAT_TYPE before AS_GENERAL", path, {FormatType(1, 2, 16), AsGeneral(1, 1, 1, 2, 3)},
         STATUS_INVALID_PARAMETER},
        {"no FORMAT_TYPE", path, {AsGeneral(1, 1, 1, 2, 3)}, STATUS_SUCCESS, 0},
        // H14 and the clock's own ranges.
        // The clock entity holds 1 to 30 discrete rates.
        {"a clock of no subranges", path, pcm, STATUS_UNSUCCESSFUL, 0, {ClockRange({{0, 0, 0}}, 0)}},
        {"a continuous clock range", path, pcm, STATUS_INVALID_PARAMETER, 0, {ClockRange({{8000, 48000, 1}}, 1)}},
        {"a clock of 30 subranges", path, pcm, STATUS_SUCCESS, 30,
         {ClockRange(std::vector<std::array<uint32_t, 3>>(many.begin(), many.begin() + 30), 30)}},
        {"a clock of 31 subranges", path, pcm, STATUS_INSUFFICIENT_RESOURCES, 0, {ClockRange(many, 31)}},
        {"a count whose reply wLength cannot carry", path, pcm, STATUS_INVALID_PARAMETER, 0,
         {ClockRange({{48000, 48000, 0}}, 0xFFFF)}},
        {"a count above the subranges sent", path, pcm, STATUS_UNSUCCESSFUL, 0, {ClockRange({{48000, 48000, 0}}, 3)}},
        // Endpoints the parse does not look at.
        {"an IN data endpoint on a render interface", path, pcm, STATUS_SUCCESS, 3, {}, 0x82},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        PlugBuilt(Device(row.Control, row.Streaming, row.DataEndpoint));
        for (const auto& raw : row.Raw) m_device->AddRaw(raw);
        const NTSTATUS status = StartDeviceObject();
        EXPECT_EQ(status, row.Expected) << std::hex << status;
        if (NT_SUCCESS(row.Expected) && NT_SUCCESS(status)) {
            EXPECT_EQ(Formats(0).size(), row.Formats);
        }
        EXPECT_EQ(m_bus->PendingCount(), 0u);
        TearDown();
    }
}

// Two OUT pipes, or none for feedback, in the streaming interface: the parse takes the interface
// as it is.
TEST_F(Uac2HostileTest, StreamingPipesDoNotChangeTheParse)
{
    for (int variant = 0; variant < 2; ++variant) {
        SCOPED_TRACE(variant == 0 ? "two OUT pipes" : "no feedback pipe");
        sim::DescriptorBuilder b({0x1234, 0x5799, 0x0100, 0x0200, 1, 2, 0});
        b.AudioControl(0, 0x20, {1}, 0x04);
        for (const Bytes& d : RenderPath()) b.Raw(d);
        b.AudioStreaming(1, 0, 0x20).AudioStreaming(1, 1, 0x20);
        for (const Bytes& d : PcmStream()) b.Raw(d);
        b.Endpoint(0x01, 0x05, 200, 1, false).Uac2AsEndpoint();
        if (variant == 0) {
            b.Endpoint(0x02, 0x05, 200, 1, false).Uac2AsEndpoint();
        }
        PlugBuilt(b);
        ASSERT_EQ(StartDeviceObject(), STATUS_SUCCESS);
        EXPECT_EQ(Formats(0).size(), 3u);
        EXPECT_EQ(StartFunction(), STATUS_SUCCESS);  // no interrupt pipe: no thread
        EXPECT_EQ(Function()->InterruptPipeIndex(), NO_INTERRUPT_PIPE);
        TearDown();
    }
}

// The headset's jack lists: a count above the records sent fails the terminal, and the start.
TEST_F(Uac2HostileTest, AJackListOverPromisingItsCountFailsTheStart)
{
    PlugBuilt(Uac2Headset(true));
    // CUR of the vendor jack list (selector 2, channel 0xFF): the headphones promise three jacks
    // and send one; the microphone's list is whole.
    for (const auto& [terminal, reply] : std::vector<std::pair<uint8_t, Bytes>>{
             {3, {0x03, 0x03, 0x00, 0x00, 0x00, 0x00, 0x11, 0x01, 0x01}},
             {4, {0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x21, 0x01, 0x01}}}) {
        sim::RawRequest r;
        const uint8_t setup[8] = {0xA1, 0x01, 0xFF, 0x02, 0x00, terminal, 0x09, 0x00};
        std::memcpy(r.Setup, setup, sizeof setup);
        r.Reply = reply;
        m_device->AddRaw(r);
    }
    const NTSTATUS status = StartDeviceObject();
    EXPECT_FALSE(NT_SUCCESS(status)) << std::hex << status;
    EXPECT_EQ(m_bus->PendingCount(), 0u);
}

}  // namespace
}  // namespace kvxtest
