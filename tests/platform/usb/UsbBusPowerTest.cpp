// The hub's side of device power: port suspend and resume with the PDO's device power, the rules
// of the idle request and the ways it ends, and the hooks that hold the hub's callback and the
// PDO's power requests.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "tests/platform/usb/BusFixture.h"

namespace {

using kvxtest::BusFixture;
using kvxtest::Sent;
using namespace std::chrono_literals;

constexpr int64_t MS = platform::TICKS_PER_MS;

struct IdleSeen {
    int Calls = 0;
    int64_t Time = -1;
    platform::usb::UsbBus* Bus = nullptr;
    bool CancelInside = false;  // the callback cancels its own request, as a racing canceller would
    PIRP Irp = nullptr;
    bool CompletedInside = false;
    Sent* Request = nullptr;
};

VOID IdleCallback(PVOID context)
{
    auto* seen = static_cast<IdleSeen*>(context);
    seen->Calls++;
    seen->Time = platform::ClockNow();
    if (seen->CancelInside) {
        IoCancelIrp(seen->Irp);
        seen->CompletedInside = seen->Request->Done;
    }
}

class UsbBusPowerTest : public BusFixture {
public:
    UsbBusPowerTest() { m_infos.reserve(16); }
    void SetUp() override { Plug(kvxtest::Uac1Device()); }
    void TearDown() override
    {
        for (PIRP irp : m_irps) {
            IoFreeIrp(irp);
        }
        BusFixture::TearDown();
    }

    Sent* SendIdle(IdleSeen* seen)
    {
        m_infos.push_back({IdleCallback, seen});
        PIRP irp = IoAllocateIrp(m_bus->Pdo()->StackSize, FALSE);
        m_irps.push_back(irp);
        m_sent.push_back(std::make_unique<Sent>());
        Sent* sent = m_sent.back().get();
        seen->Irp = irp;
        seen->Request = sent;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION;
        next->Parameters.DeviceIoControl.InputBufferLength = sizeof(USB_IDLE_CALLBACK_INFO);
        next->Parameters.DeviceIoControl.Type3InputBuffer = &m_infos.back();
        IoSetCompletionRoutine(irp, kvxtest::SentCompletion, sent, TRUE, TRUE, TRUE);
        IofCallDriver(m_bus->Pdo(), irp);
        return sent;
    }

    // A device set-power request at the PDO; its Sent says when it completed.
    Sent* SendPower(DEVICE_POWER_STATE state)
    {
        PIRP irp = IoAllocateIrp(m_bus->Pdo()->StackSize, FALSE);
        m_irps.push_back(irp);
        m_sent.push_back(std::make_unique<Sent>());
        Sent* sent = m_sent.back().get();
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_POWER;
        next->MinorFunction = IRP_MN_SET_POWER;
        next->Parameters.Power.Type = DevicePowerState;
        next->Parameters.Power.State.DeviceState = state;
        IoSetCompletionRoutine(irp, kvxtest::SentCompletion, sent, TRUE, TRUE, TRUE);
        IofCallDriver(m_bus->Pdo(), irp);
        return sent;
    }

    void SendPnp(UCHAR minor)
    {
        PIRP irp = IoAllocateIrp(m_bus->Pdo()->StackSize, FALSE);
        m_irps.push_back(irp);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_PNP;
        next->MinorFunction = minor;
        Sent sent;
        IoSetCompletionRoutine(irp, kvxtest::SentCompletion, &sent, TRUE, TRUE, TRUE);
        IofCallDriver(m_bus->Pdo(), irp);
        EXPECT_TRUE(sent.Done);
    }

    std::vector<USB_IDLE_CALLBACK_INFO> m_infos;
    std::vector<PIRP> m_irps;
    std::vector<std::unique_ptr<Sent>> m_sent;
};

TEST_F(UsbBusPowerTest, TheIdleRequestEndsAsTheHubDecides)
{
    struct Case {
        const char* Name;
        std::function<void(UsbBusPowerTest&, IdleSeen&)> End;
        NTSTATUS Status;
        int Calls;
    } cases[] = {
        {"cancelled", [](UsbBusPowerTest&, IdleSeen& s) { IoCancelIrp(s.Irp); }, STATUS_CANCELLED, 1},
        {"the PDO returns to D0",
         [](UsbBusPowerTest& t, IdleSeen&) {
             EXPECT_TRUE(t.SendPower(PowerDeviceD2)->Done);
             EXPECT_TRUE(t.SendPower(PowerDeviceD0)->Done);
         },
         STATUS_SUCCESS, 1},
        {"surprise removal", [](UsbBusPowerTest& t, IdleSeen&) { t.SendPnp(IRP_MN_SURPRISE_REMOVAL); },
         STATUS_CANCELLED, 1},
        {"removal", [](UsbBusPowerTest& t, IdleSeen&) { t.SendPnp(IRP_MN_REMOVE_DEVICE); }, STATUS_CANCELLED, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        IdleSeen seen;
        Sent* sent = SendIdle(&seen);
        platform::RunFor(5ms);
        EXPECT_FALSE(sent->Done);
        c.End(*this, seen);
        EXPECT_EQ(Wait(sent), c.Status);
        EXPECT_EQ(seen.Calls, c.Calls);
        EXPECT_EQ(m_bus->PendingCount(), 0u);
    }
}

TEST_F(UsbBusPowerTest, OneIdleRequestAtATimeFromADeviceInD0AndItsCallbackComesAfterTheDelay)
{
    m_bus->SetIdleCallbackDelay(300);
    IdleSeen first;
    Sent* held = SendIdle(&first);
    EXPECT_FALSE(held->Done);

    IdleSeen second;
    Sent* busy = SendIdle(&second);
    EXPECT_TRUE(busy->Done);
    EXPECT_EQ(busy->Status, STATUS_DEVICE_BUSY);

    platform::RunFor(299ms);
    EXPECT_EQ(first.Calls, 0);
    platform::RunFor(2ms);
    EXPECT_EQ(first.Calls, 1);
    EXPECT_EQ(first.Time, 300 * MS);
    IoCancelIrp(first.Irp);
    EXPECT_EQ(Wait(held), STATUS_CANCELLED);

    // A suspended device asks nothing of the hub.
    EXPECT_TRUE(SendPower(PowerDeviceD2)->Done);
    IdleSeen asleep;
    Sent* refused = SendIdle(&asleep);
    EXPECT_TRUE(refused->Done);
    EXPECT_EQ(refused->Status, STATUS_INVALID_DEVICE_STATE);

    // A callback due while the PDO is away from D0 is not made; D0 then completes the request.
    EXPECT_TRUE(SendPower(PowerDeviceD0)->Done);
    IdleSeen late;
    Sent* lateSent = SendIdle(&late);
    EXPECT_TRUE(SendPower(PowerDeviceD3)->Done);
    platform::RunFor(400ms);
    EXPECT_EQ(late.Calls, 0);
    EXPECT_FALSE(lateSent->Done);
    EXPECT_TRUE(SendPower(PowerDeviceD0)->Done);
    EXPECT_EQ(Wait(lateSent), STATUS_SUCCESS);
}

TEST_F(UsbBusPowerTest, ARequestCancelledWhileItsCallbackRunsCompletesWhenTheCallbackReturns)
{
    // Held at the hook: the callback is on its way, and a cancel meanwhile waits for it.
    m_bus->HoldIdleCallback(true);
    IdleSeen held;
    Sent* sent = SendIdle(&held);
    platform::RunFor(1ms);
    EXPECT_TRUE(m_bus->IdleCallbackWaiting());
    IoCancelIrp(held.Irp);
    platform::RunFor(1ms);
    EXPECT_FALSE(sent->Done);
    m_bus->HoldIdleCallback(false);
    EXPECT_EQ(Wait(sent), STATUS_CANCELLED);
    EXPECT_EQ(held.Calls, 1);

    // The same from inside the callback.
    IdleSeen inside;
    inside.CancelInside = true;
    sent = SendIdle(&inside);
    EXPECT_EQ(Wait(sent), STATUS_CANCELLED);
    EXPECT_EQ(inside.Calls, 1);
    EXPECT_FALSE(inside.CompletedInside);
}

TEST_F(UsbBusPowerTest, LowPowerSuspendsThePortWhichRefusesTransfersUntilD0)
{
    UCHAR buffer[18] = {};
    PURB urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer, sizeof buffer);
    for (DEVICE_POWER_STATE low : {PowerDeviceD1, PowerDeviceD2, PowerDeviceD3}) {
        SCOPED_TRACE(low);
        EXPECT_TRUE(SendPower(low)->Done);
        EXPECT_TRUE(m_bus->Suspended());
        EXPECT_EQ(m_bus->PdoPowerState(), low);
        EXPECT_EQ(Submit(urb), STATUS_DEVICE_NOT_READY);
        EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_DEV_NOT_RESPONDING);
        EXPECT_TRUE(SendPower(PowerDeviceD0)->Done);
        EXPECT_FALSE(m_bus->Suspended());
        EXPECT_EQ(Submit(urb), STATUS_SUCCESS);
    }
    const auto counters = m_bus->Counters();
    EXPECT_EQ(counters.Suspends, 3u);
    EXPECT_EQ(counters.Resumes, 3u);
    EXPECT_EQ(counters.SuspendedUrbs, 3u);

    // Held at the PDO, a request changes nothing until it is let go.
    m_bus->HoldDevicePower(true);
    Sent* d2 = SendPower(PowerDeviceD2);
    EXPECT_FALSE(d2->Done);
    EXPECT_EQ(m_bus->HeldPowerRequests(), 1u);
    EXPECT_FALSE(m_bus->Suspended());
    m_bus->HoldDevicePower(false);
    EXPECT_TRUE(d2->Done);
    EXPECT_TRUE(m_bus->Suspended());
}

}  // namespace
