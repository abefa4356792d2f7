#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "adapter/driver/Adapter.h"
#include "adapter/driver/AdapterDeviceFactory.h"
#include "asio/AsioInterface.h"
#include "adapter/StreamEngine.h"
#include "host/FilterBrowser.h"
#include "host/PnpManager.h"
#include "platform/io/IoHost.h"
#include "platform/nt/DebugHost.h"
#include "platform/nt/Ob.h"
#include "platform/nt/PoolHost.h"
#include "platform/portcls/PortClsHost.h"
#include "platform/registry/RegistryHost.h"
#include "tests/adapter/driver/AdapterDoubles.h"
#include "topology/TopologyMiniport.h"

namespace kvxtest {
namespace {

using Events = std::vector<std::string>;

constexpr UCHAR PNP = IRP_MJ_PNP;

std::string OnPnp(UCHAR major, UCHAR minor) { return "OnPnp " + std::to_string(major) + "/" + std::to_string(minor); }

class AdapterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::RegistryReset();
        platform::PcSetVersion(PORTCLS_VERSION_DEFAULT);
        ResetTestDevice();
        AdapterSetDeviceFactory(CreateTestDevice);
        m_pnp = std::make_unique<host::PnpManager>();
        m_pdo = m_pnp->CreateUsbDevice(0x1234, 0x5678, 0x0100);
        ASSERT_NE(m_pdo, nullptr);
    }

    void TearDown() override
    {
        m_browser.reset();
        m_pnp.reset();
        AdapterSetDeviceFactory(nullptr);
        EXPECT_EQ(platform::PcLivePortCount(), 0u);
    }

    NTSTATUS Load() { return m_pnp->LoadDriver(u"UsbAudioAdapter", DriverEntry); }

    // Loads the driver, adds the device and starts it with the script's endpoints.
    NTSTATUS Install(std::vector<TestEndpointShape> endpoints)
    {
        DeviceScript().Endpoints = std::move(endpoints);
        EXPECT_EQ(Load(), STATUS_SUCCESS);
        EXPECT_EQ(m_pnp->AddDevice(m_pdo), STATUS_SUCCESS);
        const NTSTATUS status = m_pnp->Start(m_pdo);
        m_browser = std::make_unique<host::FilterBrowser>(Fdo());
        return status;
    }

    PDEVICE_OBJECT Fdo() { return m_pnp->TopOfStack(m_pdo); }
    AdapterExtension* Extension() { return GetAdapterExtension(Fdo()); }

    std::vector<std::u16string> FilterNames()
    {
        std::vector<std::u16string> names;
        for (const auto& f : platform::PcSubdevices(Fdo())) names.push_back(f.Name);
        return names;
    }

    // Enabled state of the device's private interface of the class; false when not registered.
    bool InterfaceEnabled(const GUID& interfaceClass)
    {
        for (const auto& r : platform::IoInterfaces()) {
            if (r.PhysicalDevice == m_pdo && r.InterfaceClass == interfaceClass) return r.Enabled;
        }
        return false;
    }

    // A buffered device-control request on an open file.
    NTSTATUS Control(PFILE_OBJECT file, ULONG code, void* buffer, ULONG input, ULONG output, ULONG_PTR* information)
    {
        PDEVICE_OBJECT top = IoGetAttachedDeviceReference(m_pdo);
        PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK iosb{};
        irp->UserEvent = &done;
        irp->UserIosb = &iosb;
        irp->AssociatedIrp.SystemBuffer = buffer;
        PIO_STACK_LOCATION stack = platform::IoPrepareNextStackLocation(irp, IRP_MJ_DEVICE_CONTROL, 0, file);
        stack->Parameters.DeviceIoControl.IoControlCode = code;
        stack->Parameters.DeviceIoControl.InputBufferLength = input;
        stack->Parameters.DeviceIoControl.OutputBufferLength = output;
        if (IoCallDriver(top, irp) == STATUS_PENDING) {
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        }
        IoFreeIrp(irp);
        ObDereferenceObject(top);
        *information = iosb.Information;
        return iosb.Status;
    }

    host::PnpManager& Pnp() { return *m_pnp; }
    void BrowserReset() { m_browser.reset(); }
    PDEVICE_OBJECT Pdo() { return m_pdo; }

private:
    std::unique_ptr<host::PnpManager> m_pnp;
    std::unique_ptr<host::FilterBrowser> m_browser;
    PDEVICE_OBJECT m_pdo = nullptr;
};

TestEndpointShape Render(ULONG kind) { return {false, kind}; }
TestEndpointShape Capture(ULONG kind) { return {true, kind}; }

TEST_F(AdapterTest, StartNamesEndpointsByKindAndEnablesAsioOnlyWithTheCapability)
{
    TestEndpointShape asioCapture = Capture(ENDPOINT_KIND_MICROPHONE);
    asioCapture.Asio = true;
    struct Case {
        const char* What;
        std::vector<TestEndpointShape> Endpoints;
        std::vector<std::u16string> Filters;
        bool Asio;
    } cases[] = {
        {"two headphones and a microphone",
         {Render(ENDPOINT_KIND_HEADPHONES), Render(ENDPOINT_KIND_HEADPHONES), Capture(ENDPOINT_KIND_MICROPHONE)},
         {u"GlobalTopo", u"HPOut00Wave", u"HPOut01Wave", u"MicIn00Wave"},
         false},
        {"an ASIO-capable capture endpoint",
         {Render(ENDPOINT_KIND_SPEAKER), asioCapture},
         {u"GlobalTopo", u"SPKOut00Wave", u"MicIn00Wave"},
         true},
        {"no endpoint at all", {}, {u"GlobalTopo"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        TearDown();
        SetUp();
        ASSERT_EQ(Install(c.Endpoints), STATUS_SUCCESS);
        EXPECT_EQ(FilterNames(), c.Filters);
        // Every wave filter is connected to the topology filter's pin of its streaming terminal.
        EXPECT_EQ(platform::PcPhysicalConnections(Fdo()).size(), c.Endpoints.size());
        EXPECT_EQ(InterfaceEnabled(AsioDeviceInterfaceGuid), c.Asio);
        EXPECT_TRUE(InterfaceEnabled(EnumDeviceInterfaceGuid));
        EXPECT_TRUE(Extension()->AsioInterfaceRegistered);
        EXPECT_NE(Extension()->Device, nullptr);
        EXPECT_EQ(DeviceEvents(), (Events{"Init", "Start"}));
    }
}

TEST_F(AdapterTest, ASecondStartNumbersOnFromTheFirst)
{
    ASSERT_EQ(Install({Render(ENDPOINT_KIND_HEADPHONES), Capture(ENDPOINT_KIND_MICROPHONE)}), STATUS_SUCCESS);
    BrowserReset();
    // Take the first start's filters and device away, as a stop would, and start again.
    const NTSTATUS status = Pnp().RunOnPnpThread([this] {
        AdapterExtension* e = Extension();
        IAudioHal* hal = e->Device;
        for (ULONG i = 0; i < hal->GetEndpointCount(); ++i) {
            StreamEngine* endpoint = nullptr;
            EXPECT_EQ(hal->GetEndpoint(i, &endpoint), STATUS_SUCCESS);
            EXPECT_EQ(endpoint->UnregisterWave(Fdo(), nullptr, nullptr), STATUS_SUCCESS);
        }
        for (const auto& filter : platform::PcSubdevices(Fdo())) {
            PVOID raw = nullptr;
            EXPECT_EQ(filter.Port->QueryInterface(IID_IUnregisterSubdevice, &raw), STATUS_SUCCESS);
            EXPECT_EQ(static_cast<IUnregisterSubdevice*>(raw)->UnregisterSubdevice(Fdo(), filter.Port),
                      STATUS_SUCCESS);
            static_cast<IUnregisterSubdevice*>(raw)->Release();
        }
        e->Device = nullptr;
        hal->Release();
        return StartDevice(Fdo(), nullptr, nullptr);
    });
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(FilterNames(), (std::vector<std::u16string>{u"GlobalTopo", u"HPOut01Wave", u"MicIn01Wave"}));
}

TEST_F(AdapterTest, AWaveFilterWithoutStreamingTerminalIsRegisteredUnconnected)
{
    TestEndpointShape render = Render(ENDPOINT_KIND_HEADPHONES);
    render.StreamingTerminal = false;
    platform::DebugLogTake();
    ASSERT_EQ(Install({render, Capture(ENDPOINT_KIND_MICROPHONE)}), STATUS_SUCCESS);
    EXPECT_EQ(FilterNames(), (std::vector<std::u16string>{u"GlobalTopo", u"HPOut00Wave", u"MicIn00Wave"}));
    const auto connections = platform::PcPhysicalConnections(Fdo());
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_EQ(connections[0].To, u"MicIn00Wave");
    EXPECT_NE(platform::DebugLogTake().find("HPOut00Wave is not connected"), std::string::npos);
    // Removal takes the unconnected filter away too.
    EXPECT_EQ(Pnp().Remove(Pdo()), STATUS_SUCCESS);
}

TEST_F(AdapterTest, StartRefusesAnOldPortClassAndAnOldSystem)
{
    platform::SetSystemVersion(0x05000000);
    EXPECT_EQ(Load(), STATUS_UNSUCCESSFUL);
    platform::SetSystemVersion(0x0A000000);
    platform::PcSetVersion(ADAPTER_MIN_PORTCLS_VERSION - 1);
    EXPECT_EQ(Install({Render(ENDPOINT_KIND_HEADPHONES)}), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(DeviceEvents().empty());
    EXPECT_TRUE(FilterNames().empty());
}

TEST_F(AdapterTest, RemovalDisablesInterfacesStopsThenUnregistersEveryWaveFilter)
{
    struct Case {
        const char* What;
        NTSTATUS Unregister1;
        Events Expected;
        bool Message;
    } cases[] = {
        {"every endpoint unregisters",
         STATUS_SUCCESS,
         {OnPnp(PNP, IRP_MN_REMOVE_DEVICE), "Stop enum=0 asio=0", "Unregister 0", "Unregister 1", "Unregister 2",
          "Destroyed"},
         false},
        {"the second endpoint fails",
         STATUS_UNSUCCESSFUL,
         {OnPnp(PNP, IRP_MN_REMOVE_DEVICE), "Stop enum=0 asio=0", "Unregister 0", "Unregister 1", "Destroyed"},
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        TearDown();
        SetUp();
        TestEndpointShape second = Render(ENDPOINT_KIND_HEADPHONES);
        second.UnregisterStatus = c.Unregister1;
        TestEndpointShape first = Render(ENDPOINT_KIND_HEADPHONES);
        first.Asio = true;
        ASSERT_EQ(Install({first, second, Capture(ENDPOINT_KIND_MICROPHONE)}), STATUS_SUCCESS);
        ASSERT_TRUE(InterfaceEnabled(AsioDeviceInterfaceGuid));
        DeviceEvents().clear();
        platform::DebugLogTake();
        const LONG pdoReferences = platform::ObReferenceCount(Pdo());
        BrowserReset();
        EXPECT_EQ(Pnp().Remove(Pdo()), STATUS_SUCCESS);
        EXPECT_EQ(DeviceEvents(), c.Expected);
        EXPECT_EQ(platform::DebugLogTake().find("Remove Miniport Failed StreamEngine ulIdx = 1") != std::string::npos,
                  c.Message);
        EXPECT_FALSE(InterfaceEnabled(AsioDeviceInterfaceGuid));
        EXPECT_FALSE(InterfaceEnabled(EnumDeviceInterfaceGuid));
        // The stack is gone and the lower device's reference was given back.
        EXPECT_EQ(IoGetAttachedDevice(Pdo()), Pdo());
        EXPECT_EQ(platform::ObReferenceCount(Pdo()), pdoReferences - 1);
    }
}

TEST_F(AdapterTest, SurpriseRemovalStopsFirstAndDisablesInterfacesAfterPortCls)
{
    TestEndpointShape first = Render(ENDPOINT_KIND_HEADPHONES);
    first.Asio = true;
    ASSERT_EQ(Install({first, Capture(ENDPOINT_KIND_MICROPHONE)}), STATUS_SUCCESS);
    DeviceEvents().clear();
    BrowserReset();
    EXPECT_EQ(Pnp().SurpriseRemove(Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(DeviceEvents(),
              (Events{OnPnp(PNP, IRP_MN_SURPRISE_REMOVAL), "Stop enum=1 asio=1", "Unregister 0", "Unregister 1"}));
    EXPECT_EQ(FilterNames(), (std::vector<std::u16string>{u"GlobalTopo"}));
    EXPECT_FALSE(InterfaceEnabled(AsioDeviceInterfaceGuid));
    EXPECT_FALSE(InterfaceEnabled(EnumDeviceInterfaceGuid));
    // The link strings stay until removal.
    EXPECT_TRUE(Extension()->AsioInterfaceRegistered);
    EXPECT_TRUE(Extension()->EnumInterfaceRegistered);

    DeviceEvents().clear();
    EXPECT_EQ(Pnp().Remove(Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(DeviceEvents(), (Events{OnPnp(PNP, IRP_MN_REMOVE_DEVICE), "Stop enum=0 asio=0", "Unregister 0",
                                      "Unregister 1", "Destroyed"}));
}

TEST_F(AdapterTest, RemovalAfterAFailedStartTouchesNoEndpoint)
{
    TestEndpointShape floatOnly = Render(ENDPOINT_KIND_SPEAKER);
    floatOnly.Pcm = false;
    struct Case {
        const char* What;
        NTSTATUS InitStatus;
        std::vector<TestEndpointShape> Endpoints;
        NTSTATUS Expected;
    } cases[] = {
        {"the device's bring-up fails", STATUS_UNSUCCESSFUL, {Render(ENDPOINT_KIND_HEADPHONES)}, STATUS_UNSUCCESSFUL},
        {"an endpoint without PCM gets no wave filter", STATUS_SUCCESS,
         {Render(ENDPOINT_KIND_HEADPHONES), floatOnly}, STATUS_INSUFFICIENT_RESOURCES},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        TearDown();
        SetUp();
        DeviceScript().InitStatus = c.InitStatus;
        EXPECT_EQ(Install(c.Endpoints), c.Expected);
        EXPECT_EQ(Extension()->Device, nullptr);
        EXPECT_FALSE(InterfaceEnabled(EnumDeviceInterfaceGuid));
        EXPECT_TRUE(Extension()->EnumInterfaceRegistered);
        DeviceEvents().clear();
        BrowserReset();
        EXPECT_EQ(Pnp().Remove(Pdo()), STATUS_SUCCESS);
        const Events events = DeviceEvents();
        EXPECT_EQ(std::count(events.begin(), events.end(), "Destroyed"), events.empty() ? 0 : 1);
        EXPECT_TRUE(std::none_of(events.begin(), events.end(), [](const std::string& e) {
            return e.rfind("Stop", 0) == 0 || e.rfind("Unregister", 0) == 0 || e.rfind("OnPnp", 0) == 0;
        }));
    }
}

TEST_F(AdapterTest, AFailingAddDeviceLeavesTheStackAsItFoundIt)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    const LONG pdoReferences = platform::ObReferenceCount(Pdo());
    int failures = 0;
    // Each allocation of AddDevice fails in turn; one that only costs the enumeration interface
    // still adds the device, which is then removed again.
    for (uint64_t n = 1; n <= 6; ++n) {
        SCOPED_TRACE(n);
        const uint64_t serial = platform::PoolCurrentSerial();
        platform::PoolFailNthAllocation(n);
        const NTSTATUS status = Pnp().AddDevice(Pdo());
        platform::PoolClearFailures();
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(Pnp().Remove(Pdo()), STATUS_SUCCESS);
        } else {
            ++failures;
        }
        EXPECT_EQ(IoGetAttachedDevice(Pdo()), Pdo());
        EXPECT_EQ(platform::ObReferenceCount(Pdo()), pdoReferences);
        EXPECT_EQ(platform::PoolLiveSince(serial), 0u) << platform::PoolLeakReport(serial);
    }
    EXPECT_EQ(failures, 2);  // the device object and the ASIO interface registration
}

TEST_F(AdapterTest, AsioRequestsReachTheDeviceOthersGoToPortCls)
{
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    ASSERT_EQ(Pnp().AddDevice(Pdo()), STATUS_SUCCESS);
    {
        // Before a start no device holds the interface.
        host::FilterBrowser early(Fdo());
        NTSTATUS status = STATUS_SUCCESS;
        EXPECT_EQ(early.Open(u"QVASIOPrivateInterface", &status), nullptr);
        EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    }
    ASSERT_EQ(Pnp().Start(Pdo()), STATUS_SUCCESS);
    host::FilterBrowser browser(Fdo());
    DeviceEvents().clear();

    PFILE_OBJECT asio = browser.Open(u"qvAsioPrivateInterface");
    ASSERT_NE(asio, nullptr);
    PFILE_OBJECT topology = browser.Open(u"GlobalTopo");
    ASSERT_NE(topology, nullptr);
    EXPECT_EQ(DeviceEvents(), (Events{OnPnp(IRP_MJ_CREATE, 0), "AsioOpen", OnPnp(IRP_MJ_CREATE, 0)}));

    ULONG busy = 0;
    ULONG_PTR information = 0;
    EXPECT_EQ(Control(asio, IOCTL_ASIO_GET_BUSY, &busy, 0, sizeof busy, &information), STATUS_SUCCESS);
    EXPECT_EQ(busy, 1u);
    EXPECT_EQ(information, sizeof busy);
    EXPECT_EQ(Control(asio, IOCTL_ASIO_GET_BUSY, &busy, 0, 0, &information), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(information, sizeof busy);
    EXPECT_EQ(Control(asio, 0x1DA048, &busy, 0, sizeof busy, &information), STATUS_NOT_SUPPORTED);
    // Operations the device does not carry yet refuse.
    EXPECT_EQ(Control(asio, IOCTL_ASIO_GET_SAMPLE_RATE, &busy, 0, sizeof busy, &information),
              STATUS_NOT_IMPLEMENTED);

    DeviceEvents().clear();
    EXPECT_EQ(browser.Close(asio), STATUS_SUCCESS);
    EXPECT_EQ(browser.Close(topology), STATUS_SUCCESS);
    EXPECT_EQ(DeviceEvents(), (Events{OnPnp(IRP_MJ_CLOSE, 0), "AsioClose", OnPnp(IRP_MJ_CLOSE, 0)}));

    DeviceScript().AsioStatus = STATUS_NOT_IMPLEMENTED;
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(browser.Open(u"QVASIOPrivateInterface", &status), nullptr);
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
}

}  // namespace
}  // namespace kvxtest
