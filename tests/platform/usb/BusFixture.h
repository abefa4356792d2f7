// Test-only: a simulated UAC1 device on the stand-in's bus, and helpers that send URBs and port
// requests to its PDO the way a driver above it does.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "platform/io/Io.h"
#include "platform/nt/Clock.h"
#include "platform/nt/Irql.h"
#include "platform/nt/Pool.h"
#include "platform/usb/UsbBus.h"
#include "sim/SimDevice.h"

namespace kvxtest {

// AudioControl 0 with an interrupt endpoint 0x83; AudioStreaming 1 (OUT 0x01) and 2 (IN 0x82), each
// with a zero-bandwidth setting 0 and a streaming setting 1.
inline sim::DescriptorBuilder Uac1Device(uint8_t interval = 1)
{
    sim::DescriptorBuilder b;
    b.AudioControl(0, 0, {1, 2})
        .Uac1InputTerminal(1, 0x0101, 2)
        .Uac1FeatureUnit(2, 1, {0x0001, 0x0002, 0x0002})
        .Uac1OutputTerminal(3, 0x0301, 2)
        .Uac1InputTerminal(4, 0x0201, 2)
        .Uac1SelectorUnit(5, {4})
        .Uac1OutputTerminal(6, 0x0101, 5)
        .Endpoint(0x83, 0x03, 2, 8, false)
        .AudioStreaming(1, 0, 0)
        .AudioStreaming(1, 1, 0)
        .Uac1AsGeneral(1)
        .Uac1FormatTypeI(2, 2, 16, {48000, 44100})
        .Endpoint(0x01, 0x09, 192, interval)
        .Uac1AsEndpoint()
        .AudioStreaming(2, 0, 0)
        .AudioStreaming(2, 1, 0)
        .Uac1AsGeneral(6)
        .Uac1FormatTypeI(2, 2, 16, {48000})
        .Endpoint(0x82, 0x05, 200, interval)
        .Uac1AsEndpoint();
    return b;
}

struct Sent {
    NTSTATUS Status = STATUS_PENDING;
    KIRQL Irql = PASSIVE_LEVEL;
    int64_t Time = -1;
    bool Done = false;
    KEVENT Event;
    Sent() { KeInitializeEvent(&Event, NotificationEvent, FALSE); }
};

inline NTSTATUS SentCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* sent = static_cast<Sent*>(context);
    sent->Status = irp->IoStatus.Status;
    sent->Irql = KeGetCurrentIrql();
    sent->Time = platform::ClockNow();
    sent->Done = true;
    KeSetEvent(&sent->Event, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class BusFixture : public ::testing::Test {
public:
    void Plug(const sim::DescriptorBuilder& builder, std::optional<bool> highSpeed = std::nullopt)
    {
        Plug(builder.DeviceDescriptor(), builder.Configuration(), highSpeed);
    }
    void Plug(const sim::Bytes& device, const sim::Bytes& configuration, std::optional<bool> highSpeed = std::nullopt)
    {
        Plug(std::make_unique<sim::SimDevice>(device, configuration, highSpeed));
    }
    void Plug(std::unique_ptr<sim::SimDevice> device)
    {
        m_device = std::move(device);
        m_bus = std::make_unique<platform::usb::UsbBus>(m_device.get());
        m_device->AttachBus(m_bus.get());
        ASSERT_NE(m_bus->Pdo(), nullptr);
    }
    void TearDown() override { Reset(); }
    // Unplugs the device and frees what the test sent.
    void Reset()
    {
        for (auto& a : m_async) {
            if (!a.sent->Done) {
                IoCancelIrp(a.irp);
                KeWaitForSingleObject(&a.sent->Event, Executive, KernelMode, FALSE, nullptr);
            }
            IoFreeIrp(a.irp);
        }
        m_async.clear();
        m_bus.reset();
        m_device.reset();
        for (void* p : m_urbs) {
            ExFreePool(p);
        }
        m_urbs.clear();
    }

    // A zeroed URB that lives until the end of the test.
    PURB NewUrb(ULONG size)
    {
        auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, size, MakePoolTag("Turb")));
        std::memset(urb, 0, size);
        urb->UrbHeader.Length = static_cast<USHORT>(size);
        m_urbs.push_back(urb);
        return urb;
    }

    // Sends a request to the PDO without waiting; Wait() collects it.
    Sent* Send(ULONG code, PVOID argument)
    {
        PIRP irp = IoAllocateIrp(m_bus->Pdo()->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = code;
        next->Parameters.Others.Argument1 = argument;
        auto sent = std::make_unique<Sent>();
        IoSetCompletionRoutine(irp, SentCompletion, sent.get(), TRUE, TRUE, TRUE);
        Sent* raw = sent.get();
        m_async.push_back({irp, std::move(sent)});
        IofCallDriver(m_bus->Pdo(), irp);
        return raw;
    }
    PIRP IrpOf(Sent* sent)
    {
        for (auto& a : m_async) {
            if (a.sent.get() == sent) {
                return a.irp;
            }
        }
        return nullptr;
    }
    NTSTATUS Wait(Sent* sent)
    {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -10000LL * 5000;  // 5 s of virtual time
        if (KeWaitForSingleObject(&sent->Event, Executive, KernelMode, FALSE, &timeout) != STATUS_SUCCESS) {
            return STATUS_TIMEOUT;
        }
        return sent->Status;
    }
    NTSTATUS Submit(PURB urb) { return Wait(Send(IOCTL_INTERNAL_USB_SUBMIT_URB, urb)); }

    PURB ControlUrb(USHORT function, UCHAR request, USHORT value, USHORT index, void* buffer, ULONG length, bool in)
    {
        PURB urb = NewUrb(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
        auto& r = urb->UrbControlVendorClassRequest;
        urb->UrbHeader.Function = function;
        r.TransferFlags = in ? USBD_TRANSFER_DIRECTION_IN : 0;
        r.TransferBuffer = buffer;
        r.TransferBufferLength = length;
        r.Request = request;
        r.Value = value;
        r.Index = index;
        return urb;
    }
    PURB DescriptorUrb(UCHAR type, UCHAR index, USHORT language, void* buffer, ULONG length)
    {
        PURB urb = NewUrb(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
        urb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
        auto& r = urb->UrbControlDescriptorRequest;
        r.DescriptorType = type;
        r.Index = index;
        r.LanguageId = language;
        r.TransferBuffer = buffer;
        r.TransferBufferLength = length;
        return urb;
    }

    // Selects the configuration with alternate setting 0 everywhere; returns the URB (its
    // interface information holds the pipes).
    PURB SelectConfiguration()
    {
        m_config = m_device->ConfigurationBytes();
        auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(m_config.data());
        std::vector<USBD_INTERFACE_LIST_ENTRY> list(config->bNumInterfaces + 1);
        for (UCHAR i = 0; i < config->bNumInterfaces; ++i) {
            list[i].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(config, config, i, 0, -1, -1, -1);
        }
        PURB urb = USBD_CreateConfigurationRequestEx(config, list.data());
        m_urbs.push_back(urb);
        EXPECT_EQ(Submit(urb), STATUS_SUCCESS);
        return urb;
    }
    // Selects an alternate setting; the URB's interface holds the new pipes.
    PURB SelectInterface(PURB configuration, UCHAR number, UCHAR alternate, ULONG pipes)
    {
        PURB urb = NewUrb(GET_SELECT_INTERFACE_REQUEST_SIZE(pipes));
        urb->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
        urb->UrbSelectInterface.ConfigurationHandle = configuration->UrbSelectConfiguration.ConfigurationHandle;
        urb->UrbSelectInterface.Interface.Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(pipes));
        urb->UrbSelectInterface.Interface.InterfaceNumber = number;
        urb->UrbSelectInterface.Interface.AlternateSetting = alternate;
        return urb;
    }
    PURB IsoUrb(USBD_PIPE_HANDLE pipe, ULONG packets, ULONG packetSize, UCHAR* buffer, ULONG startFrame = 0,
                bool asap = true)
    {
        PURB urb = NewUrb(GET_ISO_URB_SIZE(packets));
        auto& t = urb->UrbIsochronousTransfer;
        urb->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
        t.PipeHandle = pipe;
        t.TransferFlags = asap ? USBD_START_ISO_TRANSFER_ASAP : 0;
        t.TransferBuffer = buffer;
        t.TransferBufferLength = packets * packetSize;
        t.StartFrame = startFrame;
        t.NumberOfPackets = packets;
        for (ULONG i = 0; i < packets; ++i) {
            t.IsoPacket[i].Offset = i * packetSize;
        }
        return urb;
    }

    struct Async {
        PIRP irp;
        std::unique_ptr<Sent> sent;
    };
    std::unique_ptr<sim::SimDevice> m_device;
    std::unique_ptr<platform::usb::UsbBus> m_bus;
    std::vector<void*> m_urbs;
    std::vector<Async> m_async;
    std::vector<UCHAR> m_config;
};

}  // namespace kvxtest
