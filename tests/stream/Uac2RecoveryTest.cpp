// Recovery of a UAC2 render stream with explicit feedback: after the ring drains, the data pipe
// and then the feedback pipe are reset in place and three transfers restart two frames on: no
// zero-bandwidth selection, no format announcement, no port cycle. A reset that fails leaves the
// ring empty; an unplugged device ends the worker.
#include <functional>
#include <string>

#include "platform/nt/DebugHost.h"
#include "platform/nt/ThreadHost.h"
#include "tests/stream/Uac2StreamFixture.h"
#include "tests/support/CaseName.h"

namespace kvxtest {
namespace {

// Exposes the pipes, to break one the way a stale handle would.
class Uac2RenderProbe : public Uac2RenderEndpoint {
public:
    using Uac2RenderEndpoint::Uac2RenderEndpoint;
    VOID BreakPipe(bool feedback)
    {
        KIRQL irql;
        KeAcquireSpinLock(&m_EndpointSubmitLock, &irql);
        (feedback ? FeedbackPipe() : DataPipe())->PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(0x5EED);
        KeReleaseSpinLock(&m_EndpointSubmitLock, irql);
    }
};

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

sim::IsoFault UrbFault(uint8_t endpoint)
{
    sim::IsoFault f;
    f.What = sim::IsoFault::Scope::Urb;
    f.Endpoint = endpoint;
    return f;
}

struct Uac2RecoveryCase {
    const char* name;
    std::function<void(sim::SimDevice&, Uac2RenderProbe&)> inject;
    size_t recoveries;    // "Error_ErrorOccur, m_StreamState = 2" lines
    const char* status;   // the last "Error_ErrorOccur ntStatus = %x" line
    std::vector<uint8_t> resets;  // endpoints reset, in order
    bool resumes;
    bool workerEnds;
};

const Uac2RecoveryCase kCases[] = {
    {"a stalled data endpoint", [](sim::SimDevice& d, auto&) { d.StallEndpoint(0x01); }, 1, "ntStatus = 0\n",
     {0x01, 0x81}, true, false},
    {"a stalled feedback endpoint", [](sim::SimDevice& d, auto&) { d.StallEndpoint(0x81); }, 1, "ntStatus = 0\n",
     {0x01, 0x81}, true, false},
    {"a failed data URB", [](sim::SimDevice& d, auto&) { d.AddIsoFault(UrbFault(0x01)); }, 1, "ntStatus = 0\n",
     {0x01, 0x81}, true, false},
    {"a failed feedback URB", [](sim::SimDevice& d, auto&) { d.AddIsoFault(UrbFault(0x81)); }, 1, "ntStatus = 0\n",
     {0x01, 0x81}, true, false},
    {"failed packets in a good data URB are no error", [](sim::SimDevice& d, auto&) { d.FailPackets(0x01, 3); }, 0, "",
     {}, true, false},
    {"the feedback pipe's reset fails: the ring stays empty", [](auto&, Uac2RenderProbe& e) { e.BreakPipe(true); }, 1,
     "ntStatus = c000000d\n", {0x01}, false, false},
    {"the data pipe's reset fails: the feedback pipe is not reset", [](auto&, Uac2RenderProbe& e) { e.BreakPipe(false); },
     1, "ntStatus = c000000d\n", {}, false, false},
    {"unplugged", [](sim::SimDevice& d, auto&) { d.Unplug(); }, 1, "ntStatus = c000009d\n", {}, false, true},
};

class Uac2RecoveryTest : public Uac2StreamFixture, public ::testing::WithParamInterface<Uac2RecoveryCase> {};

TEST_P(Uac2RecoveryTest, Case)
{
    const Uac2RecoveryCase& c = GetParam();
    auto* endpoint = Render2<Uac2RenderProbe>();
    ClientDouble client;
    // Five transfers queued: a recovery puts back three.
    Play(endpoint, client, PcmFormat(48000), 5, 5);
    platform::RunFor(std::chrono::milliseconds(50));
    EXPECT_EQ(endpoint->GetTransfersInUse(), 5u);
    platform::DebugLogTake();
    const ULONG cyclesBefore = m_bus->Counters().Cycles;
    const size_t logMark = m_device->Log().size();
    c.inject(*m_device, *endpoint);
    platform::RunFor(std::chrono::milliseconds(100));
    const size_t wireMark = m_device->Wire(Id::RenderEndpoint).size();
    platform::RunFor(std::chrono::milliseconds(50));
    const std::string debug = platform::DebugLogTake();

    EXPECT_EQ(Count(debug, "Error_ErrorOccur, m_StreamState = 2\n"), c.recoveries) << debug;
    EXPECT_NE(debug.find(c.status), std::string::npos) << debug;
    EXPECT_EQ(m_bus->Counters().Cycles, cyclesBefore);
    // The pipes are reset in place: no interface selection, no port request beyond the check.
    std::vector<uint8_t> resets;
    int64_t lastReset = -1;
    const auto log = m_device->Log();
    for (size_t i = logMark; i < log.size(); ++i) {
        const auto& e = log[i];
        if (e.What != sim::RequestLogEntry::Kind::Control) {
            continue;
        }
        EXPECT_NE(e.Setup.bRequest, USB_REQUEST_SET_INTERFACE) << "an interface selection at " << e.Time;
        if (e.Setup.bRequest == USB_REQUEST_CLEAR_FEATURE && e.Setup.bmRequestType == BMREQUEST_TO_ENDPOINT) {
            resets.push_back(static_cast<uint8_t>(e.Setup.wIndex));
            lastReset = e.Time;
        }
    }
    EXPECT_EQ(resets, c.resets);
    const bool flowed = m_device->Wire(Id::RenderEndpoint).size() > wireMark;
    EXPECT_EQ(flowed, c.resumes);
    // No format announcement: the clients keep the one of the start.
    EXPECT_EQ(client.FormatEvents.size(), 1u);
    if (c.resumes && c.recoveries > 0) {
        EXPECT_EQ(endpoint->GetResubmitState(), RESUBMIT_IDLE);
        EXPECT_EQ(endpoint->GetTransfersInUse(), 3u);
        // The restart goes out two frames after the reset, then without a gap.
        const auto packets = m_device->Wire(Id::RenderEndpoint);
        const auto resetFrame = static_cast<ULONG>(lastReset / platform::TICKS_PER_MS);
        size_t first = 0;
        while (first < packets.size() && static_cast<LONG>(packets[first].Frame - resetFrame) < 0) ++first;
        ASSERT_LT(first, packets.size());
        EXPECT_GE(packets[first].Frame, resetFrame + 2);
        EXPECT_LE(packets[first].Frame, resetFrame + 3);
        for (size_t i = first + 1; i < packets.size(); ++i) {
            const ULONG expected = packets[i - 1].Frame + (packets[i].Microframe == 0 ? 1 : 0);
            ASSERT_EQ(packets[i].Frame, expected) << "packet " << i;
        }
    }
    EXPECT_EQ(platform::ThreadExitStatus(endpoint->GetWorkerThread()) != STATUS_PENDING, c.workerEnds);
    EXPECT_EQ(endpoint->GetStreamState(), STREAM_STATE_STREAMING);

    Finish(endpoint, client);
    EXPECT_EQ(endpoint->GetStreamState(), STREAM_STATE_IDLE);
    EXPECT_EQ(endpoint->GetOutstandingTransfers(), 0);
    EXPECT_EQ(endpoint->GetFeedbackInUse(), 0u);
    EXPECT_EQ(m_usb->BusyCount(), 0);
    // Failed transfers still count as moved: the client's position never stalls.
    EXPECT_EQ(client.BytesMoved, client.Written);
}

INSTANTIATE_TEST_SUITE_P(Table, Uac2RecoveryTest, ::testing::ValuesIn(kCases), CaseName());

}  // namespace
}  // namespace kvxtest
