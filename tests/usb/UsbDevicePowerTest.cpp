// Power changes of the USB device object and its selective-suspend cycle, on a started device whose
// function is a test double, over a simulated device on the bus. Power requests reach the device
// through a small power routine of the test's own driver, as PortCls would bring them.
#include <gtest/gtest.h>

#include <functional>
#include <mutex>
#include <vector>

#include "platform/io/IoHost.h"
#include "platform/nt/Clock.h"
#include "platform/nt/PoolHost.h"
#include "platform/nt/Time.h"
#include "platform/registry/RegistryHost.h"
#include "tests/platform/nt/SystemThreadHelper.h"
#include "tests/platform/usb/BusFixture.h"
#include "tests/support/DeviceObjectHarness.h"
#include "usb/UsbAudioDevice.h"

namespace {

constexpr ULONG TEST_FUNCTION_TAG = MakePoolTag("Tfn ");
constexpr ULONG TEST_DEVICE_TAG = MakePoolTag("Tdv ");

std::mutex g_recordLock;

// The function: starts without complaint and records the power states it is moved to.
class PowerFunction : public AudioHal {
public:
    explicit PowerFunction(PUNKNOWN outer) : AudioHal(outer) {}
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject) override
    {
        if (IsEqualGUID(iid, IID_IUsbAudioFunction)) {
            return ReturnInterface(static_cast<IAudioHal*>(this), ppvObject);
        }
        return AudioHal::NonDelegatingQueryInterface(iid, ppvObject);
    }
    NTSTATUS Init(PRESOURCELIST, PDEVICE_OBJECT, PDEVICE_OBJECT, PDEVICE_OBJECT) override { return STATUS_SUCCESS; }
    VOID PowerChangeState(POWER_STATE state) override
    {
        std::lock_guard<std::mutex> guard(g_recordLock);
        Power.push_back(state.DeviceState);
    }
    std::vector<DEVICE_POWER_STATE> Seen()
    {
        std::lock_guard<std::mutex> guard(g_recordLock);
        return Power;
    }
    std::vector<DEVICE_POWER_STATE> Power;
};

// The device object with the test function in place of the real function classes.
class PoweredDevice : public UsbAudioDevice {
public:
    NTSTATUS CreateFunction() override
    {
        auto* function = new (NonPagedPoolNx, TEST_FUNCTION_TAG) PowerFunction(GetOuterUnknown());
        if (function == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        function->GetNonDelegatingUnknown()->AddRef();
        Function = function;
        return BindFunction(function->GetNonDelegatingUnknown());
    }
    PowerFunction* Function = nullptr;
};

// What the test driver's power routine saw, and whom it tells.
IAdapterPowerManagement* g_powerTarget = nullptr;
std::vector<DEVICE_POWER_STATE> g_powerRequests;
std::vector<KIRQL> g_powerIrqls;

NTSTATUS TestDispatchPower(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
        {
            std::lock_guard<std::mutex> guard(g_recordLock);
            g_powerRequests.push_back(stack->Parameters.Power.State.DeviceState);
            g_powerIrqls.push_back(KeGetCurrentIrql());
        }
        if (g_powerTarget != nullptr) {
            g_powerTarget->PowerChangeState(stack->Parameters.Power.State);
        }
    }
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(device->DeviceObjectExtension->AttachedTo, irp);
}

std::vector<DEVICE_POWER_STATE> PowerRequests()
{
    std::lock_guard<std::mutex> guard(g_recordLock);
    return g_powerRequests;
}

// Lets `ms` milliseconds of virtual time pass.
void Sleep(LONGLONG ms)
{
    LARGE_INTEGER delay;
    delay.QuadPart = -ms * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

POWER_STATE State(DEVICE_POWER_STATE s)
{
    POWER_STATE state;
    state.DeviceState = s;
    return state;
}

sim::DescriptorBuilder Uac1()
{
    sim::DescriptorBuilder b;
    b.AudioControl(0, 0, {1})
        .Uac1InputTerminal(1, 0x0101, 2)
        .Uac1OutputTerminal(3, 0x0301, 1)
        .AudioStreaming(1, 0, 0)
        .AudioStreaming(1, 1, 0)
        .Uac1AsGeneral(1)
        .Uac1FormatTypeI(2, 2, 16, {48000})
        .Endpoint(0x01, 0x09, 192, 1)
        .Uac1AsEndpoint();
    return b;
}

class UsbDevicePowerTest : public kvxtest::BusFixture {
protected:
    void SetUp() override
    {
        BusFixture::SetUp();
        m_resolutionBefore = platform::TimerResolutionOutstanding();
    }
    // Plugs the device, builds the stack and starts the device object; "SelectiveSuspendEnabled"
    // is written when `selectiveSuspend` says so.
    NTSTATUS Start(std::optional<ULONG> selectiveSuspend)
    {
        g_powerRequests.clear();
        g_powerIrqls.clear();
        Plug(Uac1());
        platform::DeviceSetUpUsb(m_bus->Pdo(), 0x1234, 0x5678, 0x0100);
        if (selectiveSuspend) {
            platform::RegistrySetDword(platform::DeviceInstanceKeyPath(m_bus->Pdo()) + u"\\Device Parameters",
                                       u"SelectiveSuspendEnabled", *selectiveSuspend);
        }
        kvxtest::DeviceObjectOptions options;
        options.Power = TestDispatchPower;
        options.Create = [this](IAudioHal** hal) {
            m_usb = new (NonPagedPoolNx, TEST_DEVICE_TAG) PoweredDevice();
            m_usb->AddRef();
            g_powerTarget = static_cast<IAdapterPowerManagement*>(m_usb);
            *hal = m_usb;
            return STATUS_SUCCESS;
        };
        const NTSTATUS status = m_harness.Start(*m_device, m_bus->Pdo(), options);
        m_fdo = m_harness.Fdo();
        return status;
    }
    void TearDown() override
    {
        ReleaseDevice();
        m_harness.Stop();
        m_fdo = nullptr;
        BusFixture::TearDown();
    }
    void ReleaseDevice()
    {
        m_harness.ReleaseDevice();
        m_usb = nullptr;
        g_powerTarget = nullptr;
    }
    std::vector<DEVICE_POWER_STATE> FunctionPower() { return m_usb->Function->Seen(); }
    // A PnP request of `minor` as the adapter's PnP handler hands it to OnPnpIrp.
    NTSTATUS PnpRequest(UCHAR minor)
    {
        PIRP irp = IoAllocateIrp(1, FALSE);
        IoSetNextIrpStackLocation(irp);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        stack->MajorFunction = IRP_MJ_PNP;
        stack->MinorFunction = minor;
        const NTSTATUS status = m_usb->OnPnpIrp(irp);
        IoFreeIrp(irp);
        return status;
    }
    ULONG IdleNotifications() { return m_bus->Counters().IdleNotifications; }

    kvxtest::DeviceObjectHarness m_harness;
    PDEVICE_OBJECT m_fdo = nullptr;
    PoweredDevice* m_usb = nullptr;
    LONG m_resolutionBefore = 0;
};

using PowerList = std::vector<DEVICE_POWER_STATE>;

TEST_F(UsbDevicePowerTest, PowerChangesMoveTheFunctionAndTheTimerResolution)
{
    ASSERT_EQ(Start(std::nullopt), STATUS_SUCCESS);
    EXPECT_EQ(m_usb->GetPowerState(), PowerDeviceD0);
    EXPECT_EQ(platform::TimerResolutionOutstanding(), m_resolutionBefore + 1);

    // The current state changes nothing, not even the timer resolution.
    m_usb->PowerChangeState(State(PowerDeviceD0));
    EXPECT_TRUE(FunctionPower().empty());
    EXPECT_EQ(platform::TimerResolutionOutstanding(), m_resolutionBefore + 1);

    // Down through two low-power states: the resolution is given back once, not twice.
    struct Step {
        DEVICE_POWER_STATE To;
        LONG Resolution;
    } steps[] = {{PowerDeviceD3, 0}, {PowerDeviceD0, 1}, {PowerDeviceD2, 0}, {PowerDeviceD3, 0}, {PowerDeviceD0, 1}};
    PowerList expected;
    for (const Step& s : steps) {
        SCOPED_TRACE(s.To);
        const ULONG queries = m_bus->Counters().PortStatusQueries;
        m_usb->PowerChangeState(State(s.To));
        expected.push_back(s.To);
        EXPECT_EQ(FunctionPower(), expected);
        EXPECT_EQ(m_usb->GetPowerState(), s.To);
        EXPECT_EQ(platform::TimerResolutionOutstanding(), m_resolutionBefore + s.Resolution);
        // Only the way down asks whether the device is still there.
        EXPECT_EQ(m_bus->Counters().PortStatusQueries - queries, s.To == PowerDeviceD0 ? 0u : 1u);
    }
    EXPECT_EQ(platform::TimerResolutionCurrent(), 10000u);
    EXPECT_EQ(m_usb->QueryPowerChangeState(State(PowerDeviceD3)), STATUS_SUCCESS);

    // A device that is gone is not touched on the way down, and is still told about D0.
    m_bus->Unplug();
    m_usb->PowerChangeState(State(PowerDeviceD3));
    EXPECT_EQ(FunctionPower(), expected);
    EXPECT_EQ(m_usb->GetPowerState(), PowerDeviceD3);
    m_usb->PowerChangeState(State(PowerDeviceD0));
    expected.push_back(PowerDeviceD0);
    EXPECT_EQ(FunctionPower(), expected);
}

TEST_F(UsbDevicePowerTest, ADeviceReleasedInALowPowerStateGivesBackOnlyWhatItHeld)
{
    ASSERT_EQ(Start(std::nullopt), STATUS_SUCCESS);
    m_usb->PowerChangeState(State(PowerDeviceD3));
    ReleaseDevice();
    EXPECT_EQ(platform::TimerResolutionOutstanding(), m_resolutionBefore);  // a second release is a fault
}

TEST_F(UsbDevicePowerTest, WithoutSelectiveSuspendNoIdleRequestIsMade)
{
    for (std::optional<ULONG> value : {std::optional<ULONG>(), std::optional<ULONG>(0)}) {
        SCOPED_TRACE(value ? "value 0" : "no value");
        ASSERT_EQ(Start(value), STATUS_SUCCESS);
        EXPECT_FALSE(m_usb->SelectiveSuspendEnabled());
        Sleep(12000);
        EXPECT_EQ(IdleNotifications(), 0u);
        const int64_t start = platform::ClockNow();
        EXPECT_EQ(m_usb->OnPnpIrp(nullptr), STATUS_SUCCESS);
        EXPECT_EQ(platform::ClockNow(), start);  // both events are signalled
        EXPECT_EQ(m_usb->ActiveRequests(), 1);
        EXPECT_TRUE(PowerRequests().empty());
        TearDown();
    }
}

TEST_F(UsbDevicePowerTest, AnIdleDeviceIsSuspendedAndAPnpRequestWakesIt)
{
    ASSERT_EQ(Start(1u), STATUS_SUCCESS);
    EXPECT_TRUE(m_usb->SelectiveSuspendEnabled());

    // The timer's first period ends 5 s after the start.
    Sleep(4900);
    EXPECT_EQ(IdleNotifications(), 0u);
    Sleep(200);
    EXPECT_EQ(IdleNotifications(), 1u);
    EXPECT_EQ(m_bus->Counters().IdleCallbacks, 1u);
    EXPECT_EQ(PowerRequests(), PowerList{PowerDeviceD2});
    EXPECT_EQ(FunctionPower(), PowerList{PowerDeviceD2});
    EXPECT_EQ(m_usb->GetPowerState(), PowerDeviceD2);
    EXPECT_EQ(m_usb->IdleRequestActive(), 1);
    EXPECT_EQ(m_bus->PendingCount(), 1u);  // the hub holds the idle request while the device sleeps
    EXPECT_EQ(platform::TimerResolutionOutstanding(), m_resolutionBefore);

    // While the request is outstanding the timer is stopped.
    Sleep(11000);
    EXPECT_EQ(IdleNotifications(), 1u);

    // A PnP, create, close or device-control request cancels it; the device comes back to D0 before
    // the request goes on.
    const int64_t start = platform::ClockNow();
    EXPECT_EQ(m_usb->OnPnpIrp(nullptr), STATUS_SUCCESS);
    EXPECT_LE(platform::ClockNow() - start, 10000000);
    EXPECT_EQ(PowerRequests(), (PowerList{PowerDeviceD2, PowerDeviceD0}));
    EXPECT_EQ(FunctionPower(), (PowerList{PowerDeviceD2, PowerDeviceD0}));
    EXPECT_EQ(m_usb->GetPowerState(), PowerDeviceD0);
    EXPECT_EQ(m_usb->IdleRequestActive(), 0);
    EXPECT_EQ(m_usb->ActiveRequests(), 1);
    EXPECT_EQ(m_bus->PendingCount(), 0u);
    EXPECT_EQ(platform::TimerResolutionOutstanding(), m_resolutionBefore + 1);
    {
        std::lock_guard<std::mutex> guard(g_recordLock);
        for (KIRQL irql : g_powerIrqls) {
            EXPECT_EQ(irql, PASSIVE_LEVEL);
        }
    }

    // The end of the request re-armed the timer: the cycle starts again 5 s later.
    Sleep(4900);
    EXPECT_EQ(IdleNotifications(), 1u);
    Sleep(200);
    EXPECT_EQ(IdleNotifications(), 2u);
    EXPECT_EQ(m_usb->GetPowerState(), PowerDeviceD2);
}

TEST_F(UsbDevicePowerTest, NoIdleRequestWhileAnEndpointStreamsOrARequestIsInProgress)
{
    struct Case {
        const char* Name;
        bool Busy;
    } cases[] = {{"busy endpoint", true}, {"synchronous request", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ASSERT_EQ(Start(1u), STATUS_SUCCESS);
        if (c.Busy) {
            m_usb->AddBusyReference();
            Sleep(5100);
            m_usb->ReleaseBusyReference();
        } else {
            // A request the device never answers is in progress from 4.8 s to 5.3 s.
            Sleep(4800);
            sim::RequestMatch match;
            match.Request = USB_REQUEST_GET_DESCRIPTOR;
            m_device->AddFault(match, sim::SimDevice::FaultKind::Never);
            UCHAR buffer[64];
            EXPECT_EQ(m_usb->SubmitUrbSync(DescriptorUrb(USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, buffer, 64)),
                      STATUS_CANCELLED);
            Sleep(100);
        }
        EXPECT_EQ(IdleNotifications(), 0u);
        EXPECT_TRUE(PowerRequests().empty());
        // The next period finds the device idle.
        Sleep(5000);
        EXPECT_EQ(IdleNotifications(), 1u);
        EXPECT_EQ(PowerRequests(), PowerList{PowerDeviceD2});
        TearDown();
    }
}

TEST_F(UsbDevicePowerTest, ARefusedIdleRequestAsksForNoPowerChangeAndIsTriedAgain)
{
    for (NTSTATUS answer : {STATUS_NOT_SUPPORTED, STATUS_UNSUCCESSFUL}) {
        SCOPED_TRACE(answer);
        ASSERT_EQ(Start(1u), STATUS_SUCCESS);
        m_device->SetIdleAnswer(answer);
        Sleep(5100);
        EXPECT_EQ(IdleNotifications(), 1u);
        EXPECT_EQ(m_usb->IdleRequestActive(), 0);
        Sleep(5000);
        EXPECT_EQ(IdleNotifications(), 2u);
        EXPECT_TRUE(PowerRequests().empty());
        EXPECT_EQ(m_usb->GetPowerState(), PowerDeviceD0);
        EXPECT_EQ(m_bus->PendingCount(), 0u);
        TearDown();
    }
}

TEST_F(UsbDevicePowerTest, AnUnpluggedSleepingDeviceIsAskedBackToD0)
{
    ASSERT_EQ(Start(1u), STATUS_SUCCESS);
    Sleep(5100);
    ASSERT_EQ(m_usb->GetPowerState(), PowerDeviceD2);
    m_bus->Unplug();  // the hub fails the idle request
    Sleep(1);
    EXPECT_EQ(PowerRequests(), (PowerList{PowerDeviceD2, PowerDeviceD0}));
    EXPECT_EQ(m_usb->GetPowerState(), PowerDeviceD0);
    EXPECT_EQ(m_usb->IdleRequestActive(), 0);
}

TEST_F(UsbDevicePowerTest, TeardownWithAnIdleRequestOutstandingCancelsItAndWakesNothing)
{
    ASSERT_EQ(Start(1u), STATUS_SUCCESS);
    Sleep(5100);
    ASSERT_EQ(m_bus->PendingCount(), 1u);
    ASSERT_EQ(m_usb->GetPowerState(), PowerDeviceD2);
    ReleaseDevice();
    EXPECT_EQ(m_bus->PendingCount(), 0u);
    EXPECT_EQ(PowerRequests(), PowerList{PowerDeviceD2});  // no D0 for an object going away
    EXPECT_EQ(platform::TimerResolutionOutstanding(), m_resolutionBefore);
    Sleep(10000);  // and the timer was not re-armed (the harness also fails a set timer)
    EXPECT_EQ(IdleNotifications(), 1u);
}

TEST_F(UsbDevicePowerTest, SubmitIdleRequestRefusals)
{
    ASSERT_EQ(Start(0u), STATUS_SUCCESS);
    struct Case {
        const char* Name;
        std::function<void()> Before, After;
        NTSTATUS Status;
    } cases[] = {
        {"not in D0", [&] { m_usb->PowerChangeState(State(PowerDeviceD3)); },
         [&] { m_usb->PowerChangeState(State(PowerDeviceD0)); }, STATUS_POWER_STATE_INVALID},
        {"no callback information", [] { platform::PoolFailNextWithTag(MakePoolTag("None")); }, [] {},
         STATUS_INSUFFICIENT_RESOURCES},
        {"no IRP", [] { platform::PoolFailNextWithTag(platform::IO_IRP_TAG); }, [] {}, STATUS_INSUFFICIENT_RESOURCES},
        {"idle no longer allowed", [&] { m_usb->AddBusyReference(); }, [&] { m_usb->ReleaseBusyReference(); },
         STATUS_UNSUCCESSFUL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        c.Before();
        EXPECT_EQ(m_usb->SubmitIdleRequest(), c.Status);
        c.After();
        platform::PoolClearFailures();
        EXPECT_EQ(m_usb->IdleRequestActive(), 0);
        EXPECT_EQ(IdleNotifications(), 0u);
    }
    // One request at a time. The hub holds the request without calling back, so the device stays
    // in D0 and the second request meets the first one, not a suspended device.
    m_device->SetIdleAnswer(STATUS_PENDING);
    EXPECT_EQ(m_usb->SubmitIdleRequest(), STATUS_PENDING);
    EXPECT_EQ(m_usb->SubmitIdleRequest(), STATUS_DEVICE_BUSY);
    EXPECT_EQ(IdleNotifications(), 1u);
    EXPECT_EQ(m_usb->GetPowerState(), PowerDeviceD0);
}

// The hub's callback racing a cancel, placed with the bus's hooks: before the callback asks for D2,
// while that D2 is held at the PDO, and (above) after it reached the device. The device ends awake
// and the request ends in each.
TEST_F(UsbDevicePowerTest, ACancelRacingTheHubsCallbackLeavesTheDeviceAwake)
{
    struct Case {
        const char* Name;
        bool HoldCallback;
        PowerList Requests;
    } cases[] = {
        {"before the callback asks for D2", true, {}},
        {"while the D2 is held at the PDO", false, {PowerDeviceD2, PowerDeviceD0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ASSERT_EQ(Start(1u), STATUS_SUCCESS);
        if (c.HoldCallback) {
            m_bus->HoldIdleCallback(true);
        } else {
            m_bus->HoldDevicePower(true);
        }
        Sleep(5100);
        ASSERT_EQ(IdleNotifications(), 1u);
        EXPECT_EQ(m_bus->IdleCallbackWaiting(), c.HoldCallback);
        EXPECT_EQ(m_bus->HeldPowerRequests(), c.HoldCallback ? 0u : 1u);

        int64_t took = -1;
        kvxtest::SystemThread create([&] {
            const int64_t start = platform::ClockNow();
            m_usb->OnPnpIrp(nullptr);
            took = platform::ClockNow() - start;
        });
        Sleep(100);
        m_bus->HoldIdleCallback(false);
        m_bus->HoldDevicePower(false);
        create.Join();
        EXPECT_GE(took, 0);
        EXPECT_LE(took, 10000000);  // the create waited at most 1 s
        EXPECT_EQ(PowerRequests(), c.Requests);
        EXPECT_EQ(m_usb->GetPowerState(), PowerDeviceD0);
        EXPECT_FALSE(m_bus->Suspended());
        EXPECT_EQ(m_usb->IdleRequestActive(), 0);
        EXPECT_EQ(m_bus->PendingCount(), 0u);
        TearDown();
    }
}

// A D0 asked while a D2 is still at the PDO waits for it in the power manager: the stack sees D2
// and then D0, never the two at once, and the device ends awake.
TEST_F(UsbDevicePowerTest, AWakeAskedWhileTheSuspendIsHeldRunsAfterIt)
{
    ASSERT_EQ(Start(1u), STATUS_SUCCESS);
    m_bus->HoldDevicePower(true);
    Sleep(5100);
    ASSERT_EQ(m_bus->HeldPowerRequests(), 1u);
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    KEVENT woken;
    KeInitializeEvent(&woken, NotificationEvent, FALSE);
    ASSERT_EQ(PoRequestPowerIrp(
                  m_bus->Pdo(), IRP_MN_SET_POWER, d0,
                  [](PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK) {
                      KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
                  },
                  &woken, nullptr),
              STATUS_PENDING);
    Sleep(1000);
    EXPECT_EQ(m_bus->HeldPowerRequests(), 1u);
    EXPECT_EQ(PowerRequests(), PowerList{PowerDeviceD2});
    m_bus->HoldDevicePower(false);
    LARGE_INTEGER limit = kvxtest::RelativeMs(100);
    EXPECT_EQ(KeWaitForSingleObject(&woken, Executive, KernelMode, FALSE, &limit), STATUS_SUCCESS);
    // Back in D0 the hub ends its idle request, and the device's own wake follows with nothing
    // left to do.
    Sleep(10);
    EXPECT_EQ(PowerRequests(), (PowerList{PowerDeviceD2, PowerDeviceD0, PowerDeviceD0}));
    EXPECT_EQ(FunctionPower(), (PowerList{PowerDeviceD2, PowerDeviceD0}));
    EXPECT_EQ(m_usb->GetPowerState(), PowerDeviceD0);
    EXPECT_EQ(m_bus->PdoPowerState(), PowerDeviceD0);
}

// Removal while a wake is still on its way waits for it without limit, and starts nothing of the
// idle cycle afterwards; other requests keep their 500 ms limits.
TEST_F(UsbDevicePowerTest, RemovalWaitsForAWakeUnderWayAndEndsTheIdleCycle)
{
    for (UCHAR minor : {IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}) {
        SCOPED_TRACE(minor);
        ASSERT_EQ(Start(1u), STATUS_SUCCESS);
        Sleep(5100);
        ASSERT_EQ(m_usb->GetPowerState(), PowerDeviceD2);
        m_bus->HoldDevicePower(true);
        {
            // A create wakes the device; the D0 is held at the PDO, so the create gives up after
            // its limits.
            const int64_t start = platform::ClockNow();
            kvxtest::SystemThread create([&] { m_usb->OnPnpIrp(nullptr); });
            create.Join();
            EXPECT_LE(platform::ClockNow() - start, 10000000);
        }
        EXPECT_EQ(m_bus->HeldPowerRequests(), 1u);
        bool removed = false;
        kvxtest::SystemThread removal([&] {
            EXPECT_EQ(PnpRequest(minor), STATUS_SUCCESS);
            removed = true;
        });
        Sleep(3000);
        EXPECT_FALSE(removed);
        m_bus->HoldDevicePower(false);
        removal.Join();
        EXPECT_TRUE(removed);
        EXPECT_EQ(m_bus->PdoPowerState(), PowerDeviceD0);
        Sleep(11000);
        EXPECT_EQ(IdleNotifications(), 1u);
        EXPECT_EQ(PowerRequests(), (PowerList{PowerDeviceD2, PowerDeviceD0}));
        TearDown();
    }
}

// Teardown while the hub's callback is on its way: it waits for the callback, which asks for no
// D2 of an object going away.
TEST_F(UsbDevicePowerTest, TeardownWaitsForAHubCallbackOnItsWay)
{
    ASSERT_EQ(Start(1u), STATUS_SUCCESS);
    m_bus->HoldIdleCallback(true);
    Sleep(5100);
    ASSERT_TRUE(m_bus->IdleCallbackWaiting());
    kvxtest::SystemThread release([&] {
        Sleep(200);
        m_bus->HoldIdleCallback(false);
    });
    const int64_t start = platform::ClockNow();
    ReleaseDevice();
    EXPECT_GE(platform::ClockNow() - start, 2000000);
    release.Join();
    EXPECT_TRUE(PowerRequests().empty());
    EXPECT_EQ(m_bus->PendingCount(), 0u);
    EXPECT_EQ(m_bus->Counters().IdleCallbacks, 1u);
}

}  // namespace
