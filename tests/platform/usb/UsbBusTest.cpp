#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>

#include "platform/nt/Verifier.h"
#include "tests/platform/usb/BusFixture.h"

namespace {

using kvxtest::BusFixture;
using kvxtest::Sent;
using namespace std::chrono_literals;

constexpr int64_t MS = platform::TICKS_PER_MS;

class UsbBusTest : public BusFixture {
protected:
    void SetUp() override { Plug(kvxtest::Uac1Device()); }
};

TEST_F(UsbBusTest, ControlRequestsCompleteAtTheNextFrameAtDispatchLevel)
{
    platform::RunFor(2500us);  // mid-frame
    UCHAR device[64] = {};
    PURB urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, device, sizeof device);
    Sent* sent = Send(IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
    EXPECT_FALSE(sent->Done);
    ASSERT_EQ(Wait(sent), STATUS_SUCCESS);
    EXPECT_EQ(sent->Irql, DISPATCH_LEVEL);
    EXPECT_EQ(sent->Time, 3 * MS);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(urb->UrbControlDescriptorRequest.TransferBufferLength, 18u);
    EXPECT_EQ(0, std::memcmp(device, m_device->DeviceBytes().data(), 18));

    // Descriptors come back cut to the length asked for.
    UCHAR header[9] = {};
    urb = DescriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, header, sizeof header);
    ASSERT_EQ(Submit(urb), STATUS_SUCCESS);
    EXPECT_EQ(urb->UrbControlDescriptorRequest.TransferBufferLength, 9u);
    EXPECT_EQ(header[2] | (header[3] << 8), static_cast<int>(m_device->ConfigurationBytes().size()));

    // A string nobody listed stalls.
    UCHAR text[32] = {};
    urb = DescriptorUrb(USB_STRING_DESCRIPTOR_TYPE, 7, 0x0409, text, sizeof text);
    EXPECT_EQ(Submit(urb), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_STALL_PID);
}

TEST_F(UsbBusTest, SelectionsGivePipesAndAFailedSelectKeepsTheOldOnes)
{
    PURB config = SelectConfiguration();
    EXPECT_EQ(m_device->Configuration(), 1);
    auto* ac = &config->UrbSelectConfiguration.Interface;
    ASSERT_EQ(ac->NumberOfPipes, 1u);
    EXPECT_EQ(ac->Pipes[0].EndpointAddress, 0x83);
    EXPECT_EQ(ac->Pipes[0].PipeType, UsbdPipeTypeInterrupt);
    EXPECT_EQ(ac->Class, 1);
    EXPECT_EQ(ac->SubClass, 1);

    PURB alt1 = SelectInterface(config, 1, 1, 1);
    ASSERT_EQ(Submit(alt1), STATUS_SUCCESS);
    EXPECT_EQ(alt1->UrbSelectInterface.Interface.NumberOfPipes, 1u);
    EXPECT_EQ(alt1->UrbSelectInterface.Interface.Pipes[0].MaximumPacketSize, 192);
    EXPECT_EQ(alt1->UrbSelectInterface.Interface.Pipes[0].PipeType, UsbdPipeTypeIsochronous);
    EXPECT_EQ(m_device->AlternateSetting(1), 1);

    m_device->FailSelectInterface(1);
    PURB back = SelectInterface(config, 1, 0, 0);
    EXPECT_EQ(Submit(back), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(back->UrbHeader.Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(m_device->AlternateSetting(1), 1);

    // The pipe of the setting still selected works; a setting the device lacks is refused.
    UCHAR buffer[192 * 2] = {};
    EXPECT_EQ(Submit(IsoUrb(alt1->UrbSelectInterface.Interface.Pipes[0].PipeHandle, 2, 192, buffer)), STATUS_SUCCESS);
    PURB missing = SelectInterface(config, 1, 5, 0);
    EXPECT_EQ(Submit(missing), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(missing->UrbHeader.Status, USBD_STATUS_INTERFACE_NOT_FOUND);
    PURB tooSmall = SelectInterface(config, 1, 1, 0);
    EXPECT_EQ(Submit(tooSmall), STATUS_BUFFER_TOO_SMALL);
}

// What a host controller refuses, with the USBD status and NTSTATUS it completes the IRP with.
TEST_F(UsbBusTest, InvalidUrbsAreRefusedAsAHostControllerDoes)
{
    PURB config = SelectConfiguration();
    PURB alt1 = SelectInterface(config, 1, 1, 1);
    ASSERT_EQ(Submit(alt1), STATUS_SUCCESS);
    USBD_PIPE_HANDLE iso = alt1->UrbSelectInterface.Interface.Pipes[0].PipeHandle;
    USBD_PIPE_HANDLE interrupt = config->UrbSelectConfiguration.Interface.Pipes[0].PipeHandle;
    static UCHAR buffer[4096];
    const ULONG now = platform::usb::UsbBus::CurrentFrame();

    struct Case {
        const char* name;
        std::function<PURB()> make;
        USBD_STATUS usbd;
        NTSTATUS status;
    };
    const Case cases[] = {
        {"unknown pipe handle", [&] { return IsoUrb(reinterpret_cast<USBD_PIPE_HANDLE>(0x77), 1, 192, buffer); },
         USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER},
        {"isochronous URB on an interrupt pipe", [&] { return IsoUrb(interrupt, 1, 2, buffer); },
         USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        {"interrupt URB on an isochronous pipe",
         [&] {
             PURB u = NewUrb(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
             u->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
             u->UrbBulkOrInterruptTransfer.PipeHandle = iso;
             return u;
         },
         USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        {"no packets", [&] { return IsoUrb(iso, 0, 192, buffer); }, USBD_STATUS_INVALID_PARAMETER,
         STATUS_INVALID_PARAMETER},
        {"URB shorter than its packets",
         [&] {
             PURB u = IsoUrb(iso, 4, 192, buffer);
             u->UrbHeader.Length = static_cast<USHORT>(GET_ISO_URB_SIZE(3));
             return u;
         },
         USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        {"buffer shorter than the packets",
         [&] {
             PURB u = IsoUrb(iso, 4, 192, buffer);
             u->UrbIsochronousTransfer.TransferBufferLength = 192 * 3 - 1;
             return u;
         },
         USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
        {"packet above wMaxPacketSize", [&] { return IsoUrb(iso, 2, 193, buffer); }, USBD_STATUS_INVALID_PARAMETER,
         STATUS_INVALID_PARAMETER},
        {"no buffer", [&] { return IsoUrb(iso, 2, 192, nullptr); }, USBD_STATUS_INVALID_PARAMETER,
         STATUS_INVALID_PARAMETER},
        {"start frame now", [&] { return IsoUrb(iso, 2, 192, buffer, now, false); }, USBD_STATUS_BAD_START_FRAME,
         STATUS_UNSUCCESSFUL},
        {"start frame in the past", [&] { return IsoUrb(iso, 2, 192, buffer, now - 10, false); },
         USBD_STATUS_BAD_START_FRAME, STATUS_UNSUCCESSFUL},
        {"start frame too far ahead", [&] { return IsoUrb(iso, 2, 192, buffer, now + 1025, false); },
         USBD_STATUS_BAD_START_FRAME, STATUS_UNSUCCESSFUL},
        {"unknown function",
         [&] {
             PURB u = NewUrb(sizeof(_URB_PIPE_REQUEST));
             u->UrbHeader.Function = 0x0033;
             return u;
         },
         USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER},
        {"select interface with a stale configuration handle",
         [&] {
             PURB u = SelectInterface(config, 1, 1, 1);
             u->UrbSelectInterface.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(0x55);
             return u;
         },
         USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        PURB urb = k.make();
        Sent* sent = Send(IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
        EXPECT_TRUE(sent->Done);  // refused at once, nothing reaches the device
        EXPECT_EQ(sent->Status, k.status);
        EXPECT_EQ(urb->UrbHeader.Status, k.usbd);
    }
    EXPECT_TRUE(m_device->Wire(0x01).empty());
}

TEST_F(UsbBusTest, IsochronousPacketsLandInTheFramesTheyWereScheduledFor)
{
    PURB config = SelectConfiguration();
    PURB alt1 = SelectInterface(config, 1, 1, 1);
    ASSERT_EQ(Submit(alt1), STATUS_SUCCESS);
    USBD_PIPE_HANDLE pipe = alt1->UrbSelectInterface.Interface.Pipes[0].PipeHandle;

    // Three ASAP transfers queued at once follow each other without a gap.
    static UCHAR data[3][10 * 96];
    Sent* sent[3];
    PURB urbs[3];
    const ULONG now = platform::usb::UsbBus::CurrentFrame();
    for (int t = 0; t < 3; ++t) {
        for (int i = 0; i < 10 * 96; ++i) {
            data[t][i] = static_cast<UCHAR>(t * 10 + i / 96);  // packet number in every byte
        }
        urbs[t] = IsoUrb(pipe, 10, 96, data[t]);
        sent[t] = Send(IOCTL_INTERNAL_USB_SUBMIT_URB, urbs[t]);
    }
    for (int t = 0; t < 3; ++t) {
        ASSERT_EQ(Wait(sent[t]), STATUS_SUCCESS);
        EXPECT_EQ(urbs[t]->UrbIsochronousTransfer.StartFrame, now + 1 + 10 * t);
        EXPECT_EQ(sent[t]->Time, static_cast<int64_t>(now + 1 + 10 * (t + 1)) * MS);  // at the end of its last frame
        EXPECT_EQ(urbs[t]->UrbIsochronousTransfer.ErrorCount, 0u);
    }
    EXPECT_LT(sent[0]->Time, sent[1]->Time);

    // An explicit start frame is kept.
    const ULONG later = platform::usb::UsbBus::CurrentFrame() + 40;
    PURB explicitStart = IsoUrb(pipe, 2, 96, data[0], later, false);
    ASSERT_EQ(Submit(explicitStart), STATUS_SUCCESS);

    const auto wire = m_device->Wire(0x01);
    ASSERT_EQ(wire.size(), 32u);
    for (size_t i = 0; i < 30; ++i) {
        EXPECT_EQ(wire[i].Frame, now + 1 + i);
        EXPECT_EQ(wire[i].Data.size(), 96u);
        EXPECT_EQ(wire[i].Data[0], i);
    }
    EXPECT_EQ(wire[30].Frame, later);
    EXPECT_EQ(wire[31].Frame, later + 1);
}

TEST_F(UsbBusTest, PacketErrorsAreReportedPerPacketAndAllFailedFailsTheUrb)
{
    PURB config = SelectConfiguration();
    PURB alt1 = SelectInterface(config, 1, 1, 1);
    ASSERT_EQ(Submit(alt1), STATUS_SUCCESS);
    USBD_PIPE_HANDLE pipe = alt1->UrbSelectInterface.Interface.Pipes[0].PipeHandle;
    static UCHAR data[4 * 96];

    m_device->FailPackets(0x01, 2);
    PURB some = IsoUrb(pipe, 4, 96, data);
    EXPECT_EQ(Submit(some), STATUS_SUCCESS);
    EXPECT_EQ(some->UrbIsochronousTransfer.ErrorCount, 2u);
    EXPECT_EQ(some->UrbIsochronousTransfer.IsoPacket[0].Status, USBD_STATUS_ISO_TD_ERROR);
    EXPECT_EQ(some->UrbIsochronousTransfer.IsoPacket[2].Status, USBD_STATUS_SUCCESS);

    m_device->FailPackets(0x01, 4);
    PURB all = IsoUrb(pipe, 4, 96, data);
    EXPECT_EQ(Submit(all), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(all->UrbHeader.Status, USBD_STATUS_ISOCH_REQUEST_FAILED);
}

TEST_F(UsbBusTest, InSourcesFollowTheDeviceClockAndFeedbackTellsIt)
{
    PURB config = SelectConfiguration();
    PURB alt1 = SelectInterface(config, 2, 1, 1);
    ASSERT_EQ(Submit(alt1), STATUS_SUCCESS);
    USBD_PIPE_HANDLE pipe = alt1->UrbSelectInterface.Interface.Pipes[0].PipeHandle;
    m_device->SetSource(0x82, {48000, 2, 2});
    m_device->SetClockPpm(1000);  // the device clock runs 1000 ppm fast

    static UCHAR data[100 * 200];
    uint64_t samples = 0;
    for (int t = 0; t < 10; ++t) {
        PURB urb = IsoUrb(pipe, 100, 200, data);
        urb->UrbIsochronousTransfer.TransferFlags |= USBD_TRANSFER_DIRECTION_IN;
        ASSERT_EQ(Submit(urb), STATUS_SUCCESS);
        for (ULONG i = 0; i < 100; ++i) {
            const auto& p = urb->UrbIsochronousTransfer.IsoPacket[i];
            const auto* s = reinterpret_cast<const int16_t*>(data + p.Offset);
            for (ULONG k = 0; k < p.Length / 4; ++k, ++samples) {
                ASSERT_EQ(s[2 * k], sim::SimDevice::SourceSample(samples, 0, 2));
                ASSERT_EQ(s[2 * k + 1], sim::SimDevice::SourceSample(samples, 1, 2));
            }
        }
    }
    EXPECT_EQ(samples, 48048u);  // one second at 48 kHz plus 1000 ppm

    // Full speed: 10.14 in three bytes.
    const sim::Bytes fb = m_device->FeedbackValue(48000);
    ASSERT_EQ(fb.size(), 3u);
    const uint32_t value = fb[0] | (fb[1] << 8) | (fb[2] << 16);
    EXPECT_EQ(value, static_cast<uint32_t>(std::llround(48.048 * 16384)));
}

class UsbBusHighSpeedTest : public BusFixture {};

TEST_F(UsbBusHighSpeedTest, PacketsFollowBIntervalInMicroframes)
{
    struct Case {
        uint8_t interval;
        ULONG packets;
        ULONG frames;
    };
    for (const Case k : {Case{1, 16, 2}, Case{2, 8, 2}, Case{4, 2, 2}}) {
        SCOPED_TRACE(static_cast<int>(k.interval));
        BusFixture& f = *this;
        f.Plug(kvxtest::Uac1Device(k.interval), true);
        PURB config = f.SelectConfiguration();
        PURB alt1 = f.SelectInterface(config, 1, 1, 1);
        ASSERT_EQ(f.Submit(alt1), STATUS_SUCCESS);
        USBD_PIPE_HANDLE pipe = alt1->UrbSelectInterface.Interface.Pipes[0].PipeHandle;
        static UCHAR data[16 * 24];
        // A count that is not a whole number of frames is refused.
        if (k.packets > 2) {
            EXPECT_EQ(f.Submit(f.IsoUrb(pipe, k.packets - 1, 24, data)), STATUS_INVALID_PARAMETER);
        }
        PURB urb = f.IsoUrb(pipe, k.packets, 24, data);
        ASSERT_EQ(f.Submit(urb), STATUS_SUCCESS);
        const auto wire = f.m_device->Wire(0x01);
        ASSERT_EQ(wire.size(), k.packets);
        const ULONG perFrame = k.packets / k.frames;
        for (ULONG i = 0; i < k.packets; ++i) {
            EXPECT_EQ(wire[i].Frame, urb->UrbIsochronousTransfer.StartFrame + i / perFrame);
            EXPECT_EQ(wire[i].Microframe, (i % perFrame) * (8 / perFrame));
        }
        f.Reset();
    }
}

TEST_F(UsbBusTest, HeldRequestsAreCancelledAndUnplugFailsEverything)
{
    PURB config = SelectConfiguration();
    USBD_PIPE_HANDLE interrupt = config->UrbSelectConfiguration.Interface.Pipes[0].PipeHandle;

    // A request the device never answers ends only by cancellation.
    m_device->AddFault({}, sim::SimDevice::FaultKind::Never);
    UCHAR value[2];
    PURB hung = ControlUrb(URB_FUNCTION_CLASS_INTERFACE, USB_AUDIO_GET_CUR, 0x0200, 0x0200, value, 2, true);
    Sent* sent = Send(IOCTL_INTERNAL_USB_SUBMIT_URB, hung);
    platform::RunFor(100ms);
    EXPECT_FALSE(sent->Done);
    IoCancelIrp(IrpOf(sent));
    EXPECT_EQ(Wait(sent), STATUS_CANCELLED);
    EXPECT_EQ(hung->UrbHeader.Status, USBD_STATUS_CANCELED);

    // Interrupt IN waits for data the device posts.
    UCHAR status[2] = {};
    PURB in = NewUrb(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
    in->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    in->UrbBulkOrInterruptTransfer.PipeHandle = interrupt;
    in->UrbBulkOrInterruptTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    in->UrbBulkOrInterruptTransfer.TransferBuffer = status;
    in->UrbBulkOrInterruptTransfer.TransferBufferLength = 2;
    sent = Send(IOCTL_INTERNAL_USB_SUBMIT_URB, in);
    platform::RunFor(50ms);
    EXPECT_FALSE(sent->Done);
    m_device->PostIn(0x83, {0x00, 0x02});
    ASSERT_EQ(Wait(sent), STATUS_SUCCESS);
    EXPECT_EQ(status[1], 0x02);

    // Unplug: the pending request fails, new ones too, and the port says disconnected.
    in->UrbBulkOrInterruptTransfer.TransferBufferLength = 2;
    sent = Send(IOCTL_INTERNAL_USB_SUBMIT_URB, in);
    platform::RunFor(5ms);
    m_device->Unplug();
    EXPECT_EQ(Wait(sent), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(in->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    PURB after = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, value, 2);
    EXPECT_EQ(Submit(after), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(after->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    ULONG port = 0xFF;
    EXPECT_EQ(Wait(Send(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port)), STATUS_SUCCESS);
    EXPECT_EQ(port, 0u);
    EXPECT_EQ(m_bus->PendingCount(), 0u);
}

TEST_F(UsbBusTest, AStallHaltsThePipeUntilResetAndAbortCancelsWhatIsQueued)
{
    PURB config = SelectConfiguration();
    USBD_PIPE_HANDLE interrupt = config->UrbSelectConfiguration.Interface.Pipes[0].PipeHandle;
    UCHAR status[2] = {};
    auto transfer = [&] {
        PURB in = NewUrb(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
        in->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        in->UrbBulkOrInterruptTransfer.PipeHandle = interrupt;
        in->UrbBulkOrInterruptTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
        in->UrbBulkOrInterruptTransfer.TransferBuffer = status;
        in->UrbBulkOrInterruptTransfer.TransferBufferLength = 2;
        return in;
    };
    auto pipeRequest = [&](USHORT function) {
        PURB u = NewUrb(sizeof(_URB_PIPE_REQUEST));
        u->UrbHeader.Function = function;
        u->UrbPipeRequest.PipeHandle = interrupt;
        return u;
    };
    m_device->FailTransfers(0x83, 1);
    PURB first = transfer();
    EXPECT_EQ(Submit(first), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(first->UrbHeader.Status, USBD_STATUS_STALL_PID);
    PURB halted = transfer();
    EXPECT_EQ(Submit(halted), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(halted->UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
    EXPECT_EQ(Submit(pipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL)), STATUS_SUCCESS);

    // After the reset the pipe takes transfers again; an abort ends the one waiting for data.
    PURB waiting = transfer();
    Sent* sent = Send(IOCTL_INTERNAL_USB_SUBMIT_URB, waiting);
    platform::RunFor(5ms);
    EXPECT_FALSE(sent->Done);
    EXPECT_EQ(Submit(pipeRequest(URB_FUNCTION_ABORT_PIPE)), STATUS_SUCCESS);
    EXPECT_EQ(Wait(sent), STATUS_CANCELLED);
    EXPECT_EQ(waiting->UrbHeader.Status, USBD_STATUS_CANCELED);

    PURB frame = NewUrb(sizeof(_URB_GET_CURRENT_FRAME_NUMBER));
    frame->UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
    EXPECT_EQ(Submit(frame), STATUS_SUCCESS);
    EXPECT_EQ(frame->UrbGetCurrentFrameNumber.FrameNumber, platform::usb::UsbBus::CurrentFrame());
}

TEST_F(UsbBusTest, PortRequestsFollowTheDevicesScript)
{
    ULONG port = 0;
    m_device->NoSuchDevice(2);
    EXPECT_EQ(Wait(Send(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port)), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(Wait(Send(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port)), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(Wait(Send(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &port)), STATUS_SUCCESS);
    EXPECT_EQ(port, USBD_PORT_ENABLED | USBD_PORT_CONNECTED);
    EXPECT_EQ(Wait(Send(IOCTL_INTERNAL_USB_RESET_PORT, nullptr)), STATUS_SUCCESS);
    EXPECT_EQ(Wait(Send(IOCTL_INTERNAL_USB_CYCLE_PORT, nullptr)), STATUS_SUCCESS);
    EXPECT_FALSE(m_bus->Connected());
    const auto counters = m_bus->Counters();
    EXPECT_EQ(counters.PortStatusQueries, 3u);
    EXPECT_EQ(counters.Resets, 1u);
    EXPECT_EQ(counters.Cycles, 1u);
}

struct IdleSeen {
    int calls = 0;
    KIRQL irql = HIGH_LEVEL;
};
VOID IdleCallback(PVOID context)
{
    auto* seen = static_cast<IdleSeen*>(context);
    seen->calls++;
    seen->irql = KeGetCurrentIrql();
}

TEST_F(UsbBusTest, IdleNotificationsAreAcceptedUntilCancelledOrRefused)
{
    IdleSeen seen;
    USB_IDLE_CALLBACK_INFO info = {IdleCallback, &seen};
    Sent* sent = Send(IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, nullptr);
    EXPECT_EQ(sent->Status, STATUS_INVALID_PARAMETER);

    // The callback info travels in Type3InputBuffer.
    PIRP irp = IoAllocateIrp(m_bus->Pdo()->StackSize, FALSE);
    Sent accepted;
    auto sendIdle = [&](Sent* s) {
        IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION;
        next->Parameters.DeviceIoControl.InputBufferLength = sizeof info;
        next->Parameters.DeviceIoControl.Type3InputBuffer = &info;
        IoSetCompletionRoutine(irp, kvxtest::SentCompletion, s, TRUE, TRUE, TRUE);
        IofCallDriver(m_bus->Pdo(), irp);
    };
    sendIdle(&accepted);
    platform::RunFor(10ms);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
    EXPECT_FALSE(accepted.Done);
    IoCancelIrp(irp);
    EXPECT_EQ(Wait(&accepted), STATUS_CANCELLED);

    m_device->SetIdleAnswer(STATUS_NOT_SUPPORTED);
    Sent refused;
    sendIdle(&refused);
    EXPECT_TRUE(refused.Done);
    EXPECT_EQ(refused.Status, STATUS_NOT_SUPPORTED);
    platform::RunFor(10ms);
    EXPECT_EQ(seen.calls, 1);
    IoFreeIrp(irp);
}

NTSTATUS QueryBusInterface(PDEVICE_OBJECT pdo, USB_BUS_INTERFACE_USBDI_V1* busIf)
{
    PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_INTERFACE;
    next->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
    next->Parameters.QueryInterface.Size = sizeof *busIf;
    next->Parameters.QueryInterface.Version = USB_BUSIF_USBDI_VERSION_1;
    next->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(busIf);
    Sent sent;
    IoSetCompletionRoutine(irp, kvxtest::SentCompletion, &sent, TRUE, TRUE, TRUE);
    IofCallDriver(pdo, irp);
    IoFreeIrp(irp);
    return sent.Status;
}

TEST_F(UsbBusTest, BusInterfaceGivesTheFrameClockAndSpeed)
{
    USB_BUS_INTERFACE_USBDI_V1 busIf = {};
    ASSERT_EQ(QueryBusInterface(m_bus->Pdo(), &busIf), STATUS_SUCCESS);
    ASSERT_NE(busIf.BusContext, nullptr);
    EXPECT_FALSE(busIf.IsDeviceHighSpeed(busIf.BusContext));

    ULONG frame = 0;
    platform::RunFor(1234ms);
    ASSERT_EQ(busIf.QueryBusTime(busIf.BusContext, &frame), STATUS_SUCCESS);
    EXPECT_EQ(frame, 1234u);
    // 2^32 ms later the frame number has wrapped.
    platform::RunFor(std::chrono::milliseconds(0x100000000LL));
    ASSERT_EQ(busIf.QueryBusTime(busIf.BusContext, &frame), STATUS_SUCCESS);
    EXPECT_EQ(frame, 1234u);
    // The frame number can be set just below the wrap; it follows the clock from there.
    m_bus->SetFrameNumber(0xFFFFFFFEu);
    ASSERT_EQ(busIf.QueryBusTime(busIf.BusContext, &frame), STATUS_SUCCESS);
    EXPECT_EQ(frame, 0xFFFFFFFEu);
    platform::RunFor(3ms);
    ASSERT_EQ(busIf.QueryBusTime(busIf.BusContext, &frame), STATUS_SUCCESS);
    EXPECT_EQ(frame, 1u);

    // Failures on demand: QueryBusTime, and the query itself (left with the status it came with).
    m_device->FailBusTime(STATUS_UNSUCCESSFUL);
    EXPECT_EQ(busIf.QueryBusTime(busIf.BusContext, &frame), STATUS_UNSUCCESSFUL);
    busIf.InterfaceDereference(busIf.BusContext);
    m_device->FailBusInterface(true);
    USB_BUS_INTERFACE_USBDI_V1 none = {};
    EXPECT_EQ(QueryBusInterface(m_bus->Pdo(), &none), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(none.BusContext, nullptr);
}

}  // namespace
