// The bus's isochronous schedule: start frames, empty frames, completion, cancellation, faults
// and the options that tests of the streaming path lean on.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>

#include "tests/platform/usb/BusFixture.h"

namespace {

using kvxtest::BusFixture;
using kvxtest::Sent;
using namespace std::chrono_literals;

constexpr int64_t MS = platform::TICKS_PER_MS;

class IsochronousTest : public BusFixture {
protected:
    // Plugs the two-interface device and selects the streaming settings; returns the OUT pipe.
    USBD_PIPE_HANDLE Stream(bool highSpeed = false, uint8_t interval = 1)
    {
        Plug(kvxtest::Uac1Device(interval), highSpeed);
        m_configUrb = SelectConfiguration();
        PURB out = SelectInterface(m_configUrb, 1, 1, 1);
        PURB in = SelectInterface(m_configUrb, 2, 1, 1);
        EXPECT_EQ(Submit(out), STATUS_SUCCESS);
        EXPECT_EQ(Submit(in), STATUS_SUCCESS);
        m_inPipe = in->UrbSelectInterface.Interface.Pipes[0].PipeHandle;
        return out->UrbSelectInterface.Interface.Pipes[0].PipeHandle;
    }
    PURB InUrb(ULONG packets, ULONG space, UCHAR* buffer)
    {
        PURB urb = IsoUrb(m_inPipe, packets, space, buffer);
        urb->UrbIsochronousTransfer.TransferFlags |= USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
        return urb;
    }
    PURB m_configUrb = nullptr;
    USBD_PIPE_HANDLE m_inPipe = nullptr;
    UCHAR m_data[64 * 192] = {};
};

// Explicit start frames at both speeds: a gap between URBs goes out as empty frames, and every
// URB completes at DISPATCH_LEVEL after its last (micro)frame, never inside the call.
TEST_F(IsochronousTest, ExplicitStartFramesLeaveEmptyFramesBetweenUrbs)
{
    for (const bool high : {false, true}) {
        SCOPED_TRACE(high ? "high speed" : "full speed");
        USBD_PIPE_HANDLE pipe = Stream(high);
        const ULONG perFrame = high ? 8 : 1;
        const ULONG now = m_bus->Frame();
        PURB first = IsoUrb(pipe, 2 * perFrame, 24, m_data, now + 2, false);
        PURB second = IsoUrb(pipe, 2 * perFrame, 24, m_data, now + 7, false);
        Sent* a = Send(IOCTL_INTERNAL_USB_SUBMIT_URB, first);
        Sent* b = Send(IOCTL_INTERNAL_USB_SUBMIT_URB, second);
        EXPECT_FALSE(a->Done);
        EXPECT_FALSE(b->Done);
        ASSERT_EQ(Wait(a), STATUS_SUCCESS);
        ASSERT_EQ(Wait(b), STATUS_SUCCESS);
        EXPECT_EQ(a->Time, static_cast<int64_t>(now + 4) * MS);
        EXPECT_EQ(b->Time, static_cast<int64_t>(now + 9) * MS);
        EXPECT_EQ(a->Irql, DISPATCH_LEVEL);

        const auto frames = m_device->WireFrames(0x01);
        ASSERT_EQ(frames.size(), 4 * perFrame + 3);
        EXPECT_EQ(sim::EmptyFrameNumbers(frames), (std::vector<uint32_t>{now + 4, now + 5, now + 6}));
        EXPECT_EQ(m_device->EmptyFrames(0x01), 3u);
        EXPECT_EQ(m_bus->EmptyFrames(0x01), 3u);
        EXPECT_EQ(frames.back().Frame, now + 8);
        EXPECT_EQ(frames.back().Microframe, perFrame - 1);
        Reset();
    }
}

TEST_F(IsochronousTest, StartFramesNotAheadOrInsideTheScheduleAreRefused)
{
    USBD_PIPE_HANDLE pipe = Stream();
    m_bus->SetFrameNumber(0xFFFFFFF0u);
    const ULONG now = m_bus->Frame();
    ASSERT_EQ(now, 0xFFFFFFF0u);
    Sent* scheduled = Send(IOCTL_INTERNAL_USB_SUBMIT_URB, IsoUrb(pipe, 20, 24, m_data, now + 5, false));
    struct Case {
        const char* name;
        ULONG start;
        USBD_STATUS usbd;
    };
    const Case cases[] = {
        {"the frame in progress", now, USBD_STATUS_BAD_START_FRAME},
        {"a frame past, across the wrap", now - 3, USBD_STATUS_BAD_START_FRAME},
        {"inside the pipe's schedule", now + 10, USBD_STATUS_BAD_START_FRAME},
        {"its last frame", now + 24, USBD_STATUS_BAD_START_FRAME},
        {"right after it, past the wrap", now + 25, USBD_STATUS_SUCCESS},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        PURB urb = IsoUrb(pipe, 2, 24, m_data, k.start, false);
        Sent* sent = Send(IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
        if (USBD_SUCCESS(k.usbd)) {
            EXPECT_FALSE(sent->Done);
            EXPECT_EQ(Wait(sent), STATUS_SUCCESS);
            EXPECT_EQ(urb->UrbIsochronousTransfer.StartFrame, 9u);
        } else {
            EXPECT_TRUE(sent->Done);
            EXPECT_EQ(sent->Status, STATUS_UNSUCCESSFUL);
        }
        EXPECT_EQ(urb->UrbHeader.Status, k.usbd);
    }
    EXPECT_EQ(Wait(scheduled), STATUS_SUCCESS);
    // The frame number follows the one clock past 2^32, as QueryBusTime and GET_CURRENT_FRAME_NUMBER say.
    EXPECT_EQ(m_bus->Frame(), 11u);
    PURB frame = NewUrb(sizeof(_URB_GET_CURRENT_FRAME_NUMBER));
    frame->UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
    ASSERT_EQ(Submit(frame), STATUS_SUCCESS);
    EXPECT_EQ(frame->UrbGetCurrentFrameNumber.FrameNumber, m_bus->Frame());
    const auto wire = m_device->WireFrames(0x01);
    ASSERT_EQ(wire.size(), 22u);
    EXPECT_EQ(wire[10].Frame, 0xFFFFFFFFu);
    EXPECT_EQ(wire[11].Frame, 0u);
}

// Cancelling, a new selection of the interface and unplugging end pending transfers; other
// interfaces' transfers go on.
TEST_F(IsochronousTest, PendingTransfersEndByCancelReselectionOrUnplug)
{
    USBD_PIPE_HANDLE pipe = Stream();
    PURB cancelled = IsoUrb(pipe, 10, 24, m_data);
    Sent* sent = Send(IOCTL_INTERNAL_USB_SUBMIT_URB, cancelled);
    IoCancelIrp(IrpOf(sent));
    EXPECT_EQ(Wait(sent), STATUS_CANCELLED);
    EXPECT_EQ(cancelled->UrbHeader.Status, USBD_STATUS_CANCELED);

    static UCHAR in[10 * 200];
    Sent* capture = Send(IOCTL_INTERNAL_USB_SUBMIT_URB, InUrb(10, 200, in));
    Sent* queued[2];
    for (Sent*& q : queued) {
        q = Send(IOCTL_INTERNAL_USB_SUBMIT_URB, IsoUrb(pipe, 10, 24, m_data));
    }
    platform::RunFor(3ms);
    ASSERT_EQ(Submit(SelectInterface(m_configUrb, 1, 0, 0)), STATUS_SUCCESS);
    for (Sent* q : queued) {
        EXPECT_TRUE(q->Done);
        EXPECT_EQ(q->Status, STATUS_CANCELLED);
    }
    EXPECT_FALSE(capture->Done);
    EXPECT_TRUE(m_device->WireFrames(0x01).empty());
    EXPECT_EQ(Wait(capture), STATUS_SUCCESS);

    Sent* pending = Send(IOCTL_INTERNAL_USB_SUBMIT_URB, InUrb(10, 200, in));
    m_device->Unplug();
    EXPECT_EQ(Wait(pending), STATUS_DEVICE_NOT_CONNECTED);
    PURB refused = InUrb(10, 200, in);
    EXPECT_EQ(Submit(refused), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(refused->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(m_bus->PendingCount(), 0u);
}

// Faults by packet, frame, URB or IRP, singly and in bursts, and a stall that holds until reset.
TEST_F(IsochronousTest, FaultsShowInPacketsUrbsAndIrps)
{
    using Scope = sim::IsoFault::Scope;
    struct Case {
        const char* name;
        sim::IsoFault fault;
        NTSTATUS irp[3];     // of three 4-packet URBs in a row
        USBD_STATUS urb[3];
        ULONG errors[3];
        size_t wire;  // packets the device received
    };
    const NTSTATUS ok = STATUS_SUCCESS;
    const NTSTATUS bad = STATUS_UNSUCCESSFUL;
    const USBD_STATUS good = USBD_STATUS_SUCCESS;
    const USBD_STATUS failed = USBD_STATUS_ISOCH_REQUEST_FAILED;
    const Case cases[] = {
        {"two packets", {Scope::Packet, 0x01, {}, 2}, {ok, ok, ok}, {good, good, good}, {2, 0, 0}, 10},
        {"a burst of packets across URBs", {Scope::Packet, 0x01, {}, 9}, {bad, bad, ok}, {failed, failed, good}, {4, 4, 1}, 3},
        {"packets from a frame on", {Scope::Packet, 0x01, 6, 2}, {ok, ok, ok}, {good, good, good}, {0, 2, 0}, 10},
        {"one URB", {Scope::Urb, 0x01, {}, 1, USBD_STATUS_XACT_ERROR}, {bad, ok, ok}, {USBD_STATUS_XACT_ERROR, good, good},
         {4, 0, 0}, 8},
        {"a burst of URBs from a frame on", {Scope::Urb, 0x01, 5, 2, USBD_STATUS_DEV_NOT_RESPONDING}, {ok, bad, bad},
         {good, USBD_STATUS_DEV_NOT_RESPONDING, USBD_STATUS_DEV_NOT_RESPONDING}, {0, 4, 4}, 4},
        {"an IRP only", {Scope::Irp, 0x01, {}, 1, 0, STATUS_IO_TIMEOUT}, {STATUS_IO_TIMEOUT, ok, ok}, {good, good, good},
         {0, 0, 0}, 12},
        {"another endpoint's fault", {Scope::Urb, 0x82, {}, 3}, {ok, ok, ok}, {good, good, good}, {0, 0, 0}, 12},
        {"a stall from a frame on", {Scope::Stall, 0x01, 6}, {ok, bad, bad},
         {good, failed, failed}, {0, 4, 4}, 4},
        {"unplugged from a frame on", {Scope::Unplug, 0x01, 5}, {ok, STATUS_DEVICE_NOT_CONNECTED, STATUS_DEVICE_NOT_CONNECTED},
         {good, USBD_STATUS_DEVICE_GONE, USBD_STATUS_DEVICE_GONE}, {0, 4, 0}, 4},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        USBD_PIPE_HANDLE pipe = Stream();
        sim::IsoFault fault = k.fault;
        if (fault.FromFrame) {
            fault.FromFrame = *fault.FromFrame + m_bus->Frame();  // the first URB starts at frame 1
        }
        m_device->AddIsoFault(fault);
        PURB urbs[3];
        Sent* sent[3];
        for (int i = 0; i < 3; ++i) {
            urbs[i] = IsoUrb(pipe, 4, 24, m_data);
            sent[i] = Send(IOCTL_INTERNAL_USB_SUBMIT_URB, urbs[i]);
        }
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(Wait(sent[i]), k.irp[i]) << i;
            EXPECT_EQ(urbs[i]->UrbHeader.Status, k.urb[i]) << i;
            EXPECT_EQ(urbs[i]->UrbIsochronousTransfer.ErrorCount, k.errors[i]) << i;
        }
        EXPECT_EQ(m_device->Wire(0x01).size(), k.wire);
        EXPECT_EQ(m_bus->Connected(), k.fault.What != Scope::Unplug);
        Reset();
    }

    // A stall fails the packets and halts the pipe until it is reset or the interface reselected.
    USBD_PIPE_HANDLE pipe = Stream();
    m_device->StallEndpoint(0x01);
    PURB stalled = IsoUrb(pipe, 2, 24, m_data);
    EXPECT_EQ(Submit(stalled), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stalled->UrbIsochronousTransfer.IsoPacket[0].Status, USBD_STATUS_STALL_PID);
    PURB halted = IsoUrb(pipe, 2, 24, m_data);
    EXPECT_EQ(Submit(halted), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(halted->UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
    PURB reset = NewUrb(sizeof(_URB_PIPE_REQUEST));
    reset->UrbHeader.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    reset->UrbPipeRequest.PipeHandle = pipe;
    ASSERT_EQ(Submit(reset), STATUS_SUCCESS);
    EXPECT_EQ(Submit(IsoUrb(pipe, 2, 24, m_data)), STATUS_SUCCESS);

    m_device->StallEndpoint(0x01);
    EXPECT_EQ(Submit(IsoUrb(pipe, 2, 24, m_data)), STATUS_UNSUCCESSFUL);
    PURB again = SelectInterface(m_configUrb, 1, 1, 1);
    ASSERT_EQ(Submit(again), STATUS_SUCCESS);
    EXPECT_EQ(Submit(IsoUrb(again->UrbSelectInterface.Interface.Pipes[0].PipeHandle, 2, 24, m_data)), STATUS_SUCCESS);
}

TEST_F(IsochronousTest, SelectionAndSamplingRequestsFailOnDemand)
{
    Stream();
    m_device->FailSelectAlternate(1, 0);
    EXPECT_EQ(Submit(SelectInterface(m_configUrb, 1, 0, 0)), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(m_device->AlternateSetting(1), 1);
    EXPECT_EQ(Submit(SelectInterface(m_configUrb, 1, 1, 1)), STATUS_SUCCESS);
    EXPECT_EQ(Submit(SelectInterface(m_configUrb, 1, 0, 0)), STATUS_SUCCESS);

    // SET_CUR of the endpoint's sampling frequency stalls once.
    m_device->AddFault({0x22, USB_AUDIO_SET_CUR, std::nullopt, std::nullopt}, sim::SimDevice::FaultKind::Stall);
    UCHAR rate[3] = {0x44, 0xAC, 0x00};
    auto setRate = [&] {
        return ControlUrb(URB_FUNCTION_CLASS_ENDPOINT, USB_AUDIO_SET_CUR, 0x0100, 0x01, rate, 3, false);
    };
    EXPECT_EQ(Submit(setRate()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Submit(setRate()), STATUS_SUCCESS);
}

// IN packets: lengths as the source sends them, scripted empty, short, odd-length and oversize
// packets, and one continuous byte stream.
TEST_F(IsochronousTest, InPacketsCarryTheSourcesScript)
{
    Stream();
    using Kind = sim::ScriptedPacket::Kind;
    m_device->ScriptSource(0x82, {{1, Kind::Empty}, {2, Kind::Short, 8}, {3, Kind::OddLength}, {5, Kind::Oversize, 10}});
    static UCHAR in[8 * 200];
    PURB urb = InUrb(8, 200, in);
    ASSERT_EQ(Submit(urb), STATUS_SUCCESS);
    const auto& t = urb->UrbIsochronousTransfer;
    const ULONG lengths[8] = {192, 0, 192, 198, 200, 200, 200, 200};  // then catching up at 50 frames a packet
    sim::Bytes got;
    for (ULONG i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(t.IsoPacket[i].Length, lengths[i]);
        EXPECT_EQ(t.IsoPacket[i].Status, i == 5 ? USBD_STATUS_BABBLE_DETECTED : USBD_STATUS_SUCCESS);
        got.insert(got.end(), in + t.IsoPacket[i].Offset, in + t.IsoPacket[i].Offset + t.IsoPacket[i].Length);
    }
    EXPECT_EQ(t.ErrorCount, 1u);
    EXPECT_EQ(t.TransferBufferLength, got.size());
    EXPECT_EQ(m_device->SourceBytes(0x82), got.size());
    EXPECT_EQ(sim::FirstDifference(got, sim::IsoSource::StreamBytes({48000, 2, 2}, 0, got.size())), std::nullopt);
}

struct CompletionSeen {
    std::atomic<int> done{0};
    std::atomic<int> processors[2] = {0, 0};
    int64_t times[8] = {};
    KEVENT event;
};

NTSTATUS NoteProcessor(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* seen = static_cast<CompletionSeen*>(context);
    seen->processors[KeGetCurrentProcessorNumber() % 2]++;
    const int n = seen->done++;
    seen->times[n % 8] = platform::ClockNow();
    EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
    KeSetEvent(&seen->event, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// With two processors and completions every second frame, the 1-frame URBs of one pipe
// complete in pairs, one on each processor.
TEST_F(IsochronousTest, TwoProcessorsCompleteOneFramesTransfersTogether)
{
    USBD_PIPE_HANDLE pipe = Stream();
    m_bus->SetTwoProcessorCompletions(true, 2);
    CompletionSeen seen;
    KeInitializeEvent(&seen.event, NotificationEvent, FALSE);
    PIRP irps[8];
    for (PIRP& irp : irps) {
        irp = IoAllocateIrp(m_bus->Pdo()->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = IsoUrb(pipe, 1, 24, m_data);
        IoSetCompletionRoutine(irp, NoteProcessor, &seen, TRUE, TRUE, TRUE);
        IofCallDriver(m_bus->Pdo(), irp);
    }
    EXPECT_TRUE(platform::RunUntil([&] { return seen.done == 8; }, 50ms));
    EXPECT_EQ(seen.processors[0], 4);
    EXPECT_EQ(seen.processors[1], 4);
    for (int64_t t : seen.times) {
        EXPECT_EQ(t / MS % 2, 0) << t;  // only at interrupt frames
    }
    for (PIRP irp : irps) {
        IoFreeIrp(irp);
    }
}

// A host controller that interrupts every 8 frames, or with scheduling jitter: each transfer is
// done with the device in its frames, its completion reaches the driver at the next interrupt (up
// to 8 ms late, several together) or later by the jitter, never out of order.
TEST_F(IsochronousTest, CompletionsComeAtTheControllersInterruptsInOrder)
{
    struct Timing {
        ULONG LatencyMs;
        ULONG JitterUs;
    };
    for (const Timing t : {Timing{8, 0}, Timing{1, 3000}}) {
        SCOPED_TRACE(std::to_string(t.LatencyMs) + " ms, " + std::to_string(t.JitterUs) + " us");
        USBD_PIPE_HANDLE pipe = Stream();
        m_bus->SetCompletionTiming(t.LatencyMs, t.JitterUs, 7);
        const ULONG now = m_bus->Frame();
        UCHAR status[2] = {};
        Sent* control = Send(IOCTL_INTERNAL_USB_SUBMIT_URB,
                             ControlUrb(URB_FUNCTION_CLASS_DEVICE, USB_REQUEST_GET_STATUS, 0, 0, status, 2, true));
        std::vector<Sent*> sent;
        for (ULONG i = 0; i < 6; ++i) {
            sent.push_back(Send(IOCTL_INTERNAL_USB_SUBMIT_URB, IsoUrb(pipe, 2, 24, m_data, now + 2 + 2 * i, false)));
        }
        Wait(control);
        bool offFrame = false;
        for (size_t i = 0; i < sent.size(); ++i) {
            ASSERT_EQ(Wait(sent[i]), STATUS_SUCCESS);
            const int64_t due = static_cast<int64_t>(now + 4 + 2 * i) * MS;
            EXPECT_GE(sent[i]->Time, due);
            EXPECT_LE(sent[i]->Time, due + std::max<int64_t>((t.LatencyMs - 1) * MS, 0) + t.JitterUs * 10);
            if (t.JitterUs == 0) {
                EXPECT_EQ(sent[i]->Time % (t.LatencyMs * MS), 0) << sent[i]->Time;
            }
            if (i > 0) {
                EXPECT_GE(sent[i]->Time, sent[i - 1]->Time);
            }
            offFrame = offFrame || sent[i]->Time % MS != 0;
        }
        // The device answered the request in the next frame; the driver heard of it later.
        const auto log = m_device->Log();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back().Time, static_cast<int64_t>(now + 1) * MS);
        EXPECT_GE(control->Time, log.back().Time);
        // The packets went out in their frames, one after the other.
        EXPECT_EQ(m_device->WireFrames(0x01).size(), 12u);
        EXPECT_EQ(m_device->EmptyFrames(0x01), 0u);
        EXPECT_EQ(offFrame, t.JitterUs != 0);
        Reset();
    }
}

}  // namespace
