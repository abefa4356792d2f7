// Stream recovery by the worker thread: after failed transfers, a stall of the interface
// selection, a port that answers NO_SUCH_DEVICE, an unplugged device; and the start and stop
// rules around it. After each: the clients leave cleanly, nothing is left, the busy count is 0.
#include <algorithm>
#include <functional>
#include <string>

#include "tests/support/CaseName.h"
#include "platform/nt/DebugHost.h"
#include "platform/nt/ThreadHost.h"
#include "tests/stream/StreamFixture.h"

namespace kvxtest {
namespace {

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

struct RecoveryCase {
    const char* name;
    bool capture;
    std::function<void(sim::SimDevice&, platform::usb::UsbBus&)> inject;
    size_t recoveries;      // "Error_ErrorOccur, m_StreamState = 2" lines
    const char* status;     // the last "Error_ErrorOccur ntStatus = %x" line
    int cycles;             // port cycles; -1: not checked
    bool resumes;           // data flows again after the recovery
    bool workerEnds;        // the device counts as gone: the worker thread ends
};

const RecoveryCase kCases[] = {
    {"one failed packet", false, [](sim::SimDevice& d, auto&) { d.FailPackets(0x01, 1); }, 1, "ntStatus = 0\n", 0, true,
     false},
    {"a failed transfer", false, [](sim::SimDevice& d, auto&) { d.FailPackets(0x01, 5); }, 1, "ntStatus = 0\n", 0, true,
     false},
    {"a burst: every transfer in flight fails", false, [](sim::SimDevice& d, auto&) { d.FailPackets(0x01, 15); }, 1,
     "ntStatus = 0\n", 0, true, false},
    {"a failed URB", false,
     [](sim::SimDevice& d, auto&) {
         sim::IsoFault f;
         f.What = sim::IsoFault::Scope::Urb;
         f.Endpoint = 0x01;
         d.AddIsoFault(f);
     },
     1, "ntStatus = 0\n", 0, true, false},
    {"a failed IRP over a good URB", false,
     [](sim::SimDevice& d, auto&) {
         sim::IsoFault f;
         f.What = sim::IsoFault::Scope::Irp;
         f.Endpoint = 0x01;
         d.AddIsoFault(f);
     },
     1, "ntStatus = 0\n", 0, true, false},
    {"a burst of failed URBs", false,
     [](sim::SimDevice& d, auto&) {
         sim::IsoFault f;
         f.What = sim::IsoFault::Scope::Urb;
         f.Endpoint = 0x01;
         f.Count = 3;
         d.AddIsoFault(f);
     },
     1, "ntStatus = 0\n", 0, true, false},
    {"a stalled endpoint: the reselection clears it", false, [](sim::SimDevice& d, auto&) { d.StallEndpoint(0x01); }, 1,
     "ntStatus = 0\n", 0, true, false},
    {"zero bandwidth refused for alternate setting 0 only", false,
     [](sim::SimDevice& d, auto&) {
         d.FailPackets(0x01, 1);
         d.FailSelectAlternate(1, 0);
     },
     1, "ntStatus = c0000001\n", 1, false, false},
    {"the restart's alternate setting refused: one port cycle", false,
     [](sim::SimDevice& d, auto&) {
         d.FailPackets(0x01, 1);
         d.FailSelectAlternate(1, 1);
     },
     1, "ntStatus = c0000001\n", 1, false, false},
    {"a failed capture packet is only a gap", true, [](sim::SimDevice& d, auto&) { d.FailPackets(0x82, 1); }, 0, "", 0,
     true, false},
    {"a failed capture transfer", true, [](sim::SimDevice& d, auto&) { d.FailPackets(0x82, 5); }, 1, "ntStatus = 0\n",
     0, true, false},
    {"zero bandwidth refused: one port cycle", false,
     [](sim::SimDevice& d, auto&) {
         d.FailPackets(0x01, 1);
         d.FailSelectInterface(1, 1);
     },
     1, "ntStatus = c0000001\n", 1, false, false},
    {"restart refused (capture frequency stalled): one port cycle", true,
     [](sim::SimDevice& d, auto&) {
         d.FailPackets(0x82, 5);
         d.AddFault({0x22, USB_AUDIO_SET_CUR, std::nullopt, std::nullopt}, sim::SimDevice::FaultKind::Stall);
     },
     1, "ntStatus = c0000001\n", 1, false, false},
    {"port status NO_SUCH_DEVICE once: the recovery goes on", false,
     [](sim::SimDevice& d, auto&) {
         d.NoSuchDevice(1);
         d.FailPackets(0x01, 1);
     },
     1, "ntStatus = 0\n", 0, true, false},
    {"port status NO_SUCH_DEVICE twice: port cycled, device gone", false,
     [](sim::SimDevice& d, auto&) {
         d.NoSuchDevice(2);
         d.FailPackets(0x01, 1);
     },
     1, "ntStatus = c000009d\n", 1, false, true},
    {"unplug mid-stream", false, [](sim::SimDevice& d, auto&) { d.Unplug(); }, 1, "ntStatus = c000009d\n", 0, false,
     true},
    {"unplug of a capture device", true, [](sim::SimDevice& d, auto&) { d.Unplug(); }, 1, "ntStatus = c000009d\n", 0,
     false, true},
    {"unplug during the 100 ms wait", false,
     [](sim::SimDevice& d, auto&) {
         const size_t before = d.Log().size();
         d.FailPackets(0x01, 1);
         // The port has been checked: the worker now waits its 100 ms.
         ASSERT_TRUE(platform::RunUntil(
             [&] {
                 const auto log = d.Log();
                 for (size_t i = before; i < log.size(); ++i) {
                     if (log[i].What == sim::RequestLogEntry::Kind::Port) return true;
                 }
                 return false;
             },
             std::chrono::milliseconds(100)));
         d.Unplug();
     },
     1, "ntStatus = c000009d\n", -1, false, true},
};

class RecoveryTest : public StreamFixture, public ::testing::WithParamInterface<RecoveryCase> {};

TEST_P(RecoveryTest, Case)
{
    const RecoveryCase& c = GetParam();
    m_device->SetSource(0x82, {48000, 2, 2});
    UsbStreamEndpoint* endpoint = c.capture ? static_cast<UsbStreamEndpoint*>(Capture())
                                            : static_cast<UsbStreamEndpoint*>(Render());
    ClientDouble client;
    Play(endpoint, client, PcmFormat(48000));
    platform::RunFor(std::chrono::milliseconds(50));
    platform::DebugLogTake();
    const ULONG cyclesBefore = m_bus->Counters().Cycles;
    c.inject(*m_device, *m_bus);
    platform::RunFor(std::chrono::milliseconds(300));
    const size_t wireMark = m_device->Wire(0x01).size();
    const size_t capturedMark = client.Captured.size();
    platform::RunFor(std::chrono::milliseconds(50));
    const std::string log = platform::DebugLogTake();

    EXPECT_EQ(Count(log, "Error_ErrorOccur, m_StreamState = 2\n"), c.recoveries) << c.name << "\n" << log;
    EXPECT_NE(log.find(c.status), std::string::npos) << c.name << "\n" << log;
    if (c.cycles >= 0) {
        EXPECT_EQ(m_bus->Counters().Cycles - cyclesBefore, static_cast<ULONG>(c.cycles)) << c.name;
    }
    const bool flowed = c.capture ? client.Captured.size() > capturedMark : m_device->Wire(0x01).size() > wireMark;
    EXPECT_EQ(flowed, c.resumes) << c.name;
    if (c.resumes && c.recoveries > 0) {
        // The clients were told the format anew, with the changed bit.
        ASSERT_EQ(client.FormatEvents.size(), 2u) << c.name;
        EXPECT_EQ(client.FormatEvents[1], 5u | TRANSPORT_FORMAT_CHANGED) << c.name;
        EXPECT_EQ(endpoint->GetResubmitState(), RESUBMIT_IDLE) << c.name;
    }
    EXPECT_EQ(platform::ThreadExitStatus(endpoint->GetWorkerThread()) != STATUS_PENDING, c.workerEnds) << c.name;
    EXPECT_EQ(endpoint->GetStreamState(), STREAM_STATE_STREAMING) << c.name;

    Finish(endpoint, client);
    EXPECT_EQ(endpoint->GetStreamState(), STREAM_STATE_IDLE) << c.name;
    EXPECT_EQ(endpoint->GetOutstandingTransfers(), 0) << c.name;
    EXPECT_EQ(m_usb->BusyCount(), 0) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Table, RecoveryTest, ::testing::ValuesIn(kCases), CaseName());

using RingTest = StreamFixture;

// Completions of one pipe on two processors at once: each one that reads the ring as its own
// submits the next transfer, so the ring never shrinks and the wire has no gap.
TEST_F(RingTest, TwoProcessorCompletionsKeepTheRingFull)
{
    m_bus->SetTwoProcessorCompletions(true, 2);
    Uac1RenderEndpoint* endpoint = Render();
    ClientDouble client;
    Play(endpoint, client, PcmFormat(48000), 1, 4);
    platform::RunFor(std::chrono::seconds(2));
    EXPECT_EQ(endpoint->GetTransfersInUse(), 4u);
    Finish(endpoint, client);
    EXPECT_EQ(m_bus->EmptyFrames(0x01), 0u);
    // Completions due together may reach the device in any order: put the packets in frame order.
    auto packets = m_device->Wire(0x01);
    std::stable_sort(packets.begin(), packets.end(),
                     [](const sim::WirePacket& a, const sim::WirePacket& b) { return a.Frame < b.Frame; });
    ASSERT_GT(packets.size(), 1900u);
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < packets.size(); ++i) {
        if (i > 0) {
            ASSERT_EQ(packets[i].Frame, packets[i - 1].Frame + 1) << "packet " << i;
        }
        bytes.insert(bytes.end(), packets[i].Data.begin(), packets[i].Data.end());
    }
    ExpectPattern(bytes, client.Written);
}

using RecoveryOrderTest = StreamFixture;

// One recovery, step by step on the device's time-stamped log: the port is checked after the
// last completion, alternate setting 0 comes 100 ms later, then the streaming setting with its
// frequency, and the wire resumes two frames after the restart, without a gap from then on.
TEST_F(RecoveryOrderTest, StepsFollowEachOtherInTime)
{
    Uac1RenderEndpoint* endpoint = Render();
    ClientDouble client;
    Play(endpoint, client, PcmFormat(48000));
    platform::RunFor(std::chrono::milliseconds(50));
    const size_t logMark = m_device->Log().size();
    m_device->FailPackets(0x01, 15);
    platform::RunFor(std::chrono::milliseconds(300));
    const auto log = m_device->Log();
    int64_t port = -1, alt0 = -1, alt1 = -1, frequency = -1;
    for (size_t i = logMark; i < log.size(); ++i) {
        const auto& e = log[i];
        if (e.What == sim::RequestLogEntry::Kind::Port && port < 0) port = e.Time;
        if (e.What == sim::RequestLogEntry::Kind::Control && e.Setup.bRequest == USB_REQUEST_SET_INTERFACE &&
            e.Setup.bmRequestType == BMREQUEST_TO_INTERFACE) {
            (e.Setup.wValue == 0 ? alt0 : alt1) = e.Time;
        }
        if (e.What == sim::RequestLogEntry::Kind::Control && e.Setup.bmRequestType == 0x22) frequency = e.Time;
    }
    ASSERT_GE(port, 0);
    EXPECT_GE(alt0 - port, 100 * platform::TICKS_PER_MS);
    EXPECT_GT(alt1, alt0);
    EXPECT_GE(frequency, alt1);
    const auto packets = m_device->Wire(0x01);
    const auto restartFrame = static_cast<ULONG>(frequency / platform::TICKS_PER_MS);
    size_t first = 0;
    while (first < packets.size() && static_cast<LONG>(packets[first].Frame - restartFrame) < 0) ++first;
    ASSERT_LT(first, packets.size());
    EXPECT_GE(packets[first].Frame, restartFrame + 2);
    EXPECT_LE(packets[first].Frame, restartFrame + 3);
    for (size_t i = first + 1; i < packets.size(); ++i) {
        ASSERT_EQ(packets[i].Frame, packets[i - 1].Frame + 1) << "packet " << i;
    }
    Finish(endpoint, client);
    // Failed transfers still count as moved: the client's position never stalls.
    EXPECT_EQ(client.BytesMoved, client.Written);
}

using StreamRulesTest = StreamFixture;

TEST_F(StreamRulesTest, StartAndStopOnlyFromTheirStatesAndNoUnprepareWhileStreaming)
{
    Uac1RenderEndpoint* endpoint = Render();
    EXPECT_EQ(endpoint->StopStreaming(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(endpoint->StartStreaming(0, 1), STATUS_UNSUCCESSFUL);
    ClientDouble client;
    Play(endpoint, client, PcmFormat(48000));
    EXPECT_EQ(endpoint->StartStreaming(0, 1), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(endpoint->UnprepareFormat(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(endpoint->GetStreamState(), STREAM_STATE_STREAMING);
    platform::RunFor(std::chrono::milliseconds(20));
    EXPECT_EQ(endpoint->StopStreaming(), STATUS_SUCCESS);
    EXPECT_EQ(endpoint->StopStreaming(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(endpoint->GetOutstandingTransfers(), 0);
    Finish(endpoint, client);
}

TEST_F(StreamRulesTest, AFailureWhileStoppingStartsNoRecovery)
{
    Uac1RenderEndpoint* endpoint = Render();
    ClientDouble client;
    Play(endpoint, client, PcmFormat(48000));
    platform::RunFor(std::chrono::milliseconds(20));
    platform::DebugLogTake();
    m_device->FailPackets(0x01, 15);
    Finish(endpoint, client);
    platform::RunFor(std::chrono::milliseconds(200));
    EXPECT_EQ(platform::DebugLogTake().find("Error_ErrorOccur"), std::string::npos);
    EXPECT_EQ(endpoint->GetStreamState(), STREAM_STATE_IDLE);
}

// Frames wrap at 2^32 milliseconds: a stream started just before keeps a packet in every frame
// across the wrap.
TEST_F(StreamRulesTest, TheStreamCrossesTheFrameWrap)
{
    Uac1RenderEndpoint* endpoint = Render();
    platform::RunFor(std::chrono::milliseconds((1ll << 32) - 60));
    ClientDouble client;
    Play(endpoint, client, PcmFormat(48000));
    platform::RunFor(std::chrono::milliseconds(150));
    Finish(endpoint, client);
    const auto packets = m_device->Wire(0x01);
    ASSERT_GT(packets.size(), 100u);
    bool wrapped = false;
    for (size_t i = 1; i < packets.size(); ++i) {
        ASSERT_EQ(packets[i].Frame, packets[i - 1].Frame + 1) << "packet " << i;
        wrapped = wrapped || packets[i].Frame == 0;
    }
    EXPECT_TRUE(wrapped);
    ExpectPattern(WireBytes(0x01), client.Written);
}

}  // namespace
}  // namespace kvxtest
