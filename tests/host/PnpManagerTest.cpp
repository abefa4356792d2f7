#include <gtest/gtest.h>

#include "platform/nt/Pool.h"
#include "platform/nt/RtlString.h"
#include "tests/host/HostFixture.h"
#include "platform/nt/PoolHost.h"
#include "platform/nt/RtlStringHost.h"
#include "platform/io/IoHost.h"
#include "platform/io/ProcessHost.h"
#include "platform/nt/Clock.h"
#include "platform/nt/Machine.h"

#include <atomic>

namespace kvxtest {
namespace {

class PnpManagerTest : public HostFixture {};

size_t PortClsBlocks()
{
    size_t n = 0;
    for (const char* tag : {"PcDv", "PcPt", "PcEv", "PcRl", "TAdp"}) {
        n += platform::PoolLiveCount(MakePoolTag(tag[0], tag[1], tag[2], tag[3]));
    }
    return n;
}

TEST_F(PnpManagerTest, InstalledAdapterRegistersItsFiltersAndConnectionAndRemovalLeavesNothing)
{
    Install();
    EXPECT_TRUE(platform::PcIsStarted(Fdo()));
    EXPECT_EQ(TestAdapter().StartCalls, 1);
    EXPECT_EQ(platform::PcMaxSubdevices(Fdo()), 4u);
    // The driver's part of the extension follows PortCls's 512 bytes, zeroed.
    EXPECT_EQ(Fdo()->Size, sizeof(DEVICE_OBJECT) + PORT_CLASS_DEVICE_EXTENSION_SIZE + 64);
    const auto* extension = static_cast<const uint8_t*>(Fdo()->DeviceExtension);
    for (size_t i = PORT_CLASS_DEVICE_EXTENSION_SIZE; i < PORT_CLASS_DEVICE_EXTENSION_SIZE + 64; ++i) {
        ASSERT_EQ(extension[i], 0) << i;
    }

    const auto filters = Browser().Filters();
    ASSERT_EQ(filters.size(), 2u);
    EXPECT_EQ(filters[0].Name, u"Topo");
    EXPECT_EQ(filters[0].Categories, (std::vector<GUID>{KSCATEGORY_AUDIO, KSCATEGORY_TOPOLOGY}));
    EXPECT_EQ(filters[1].Name, u"Wave");
    EXPECT_EQ(filters[1].Categories, (std::vector<GUID>{KSCATEGORY_AUDIO, KSCATEGORY_RENDER}));
    for (const auto& f : filters) {
        for (const auto& link : f.SymbolicLinks) {
            EXPECT_EQ(platform::IoInterfaceState(link), platform::InterfaceState::Enabled);
        }
    }
    const auto connections = Browser().Connections();
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_EQ(connections[0].From, u"Wave");
    EXPECT_EQ(connections[0].FromPin, 1u);
    EXPECT_EQ(connections[0].To, u"Topo");
    EXPECT_EQ(connections[0].ToPin, 1u);

    std::vector<std::u16string> links;
    for (const auto& f : filters) links.insert(links.end(), f.SymbolicLinks.begin(), f.SymbolicLinks.end());
    ASSERT_EQ(Pnp().Remove(Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(Pnp().TopOfStack(Pdo()), Pdo());
    for (const auto& link : links) {
        EXPECT_NE(platform::IoInterfaceState(link), platform::InterfaceState::Enabled);
    }
    EXPECT_EQ(platform::PcLivePortCount(), 0u);
    EXPECT_EQ(TestMiniportLiveCount(), 0u);
    EXPECT_EQ(PortClsBlocks(), 0u);
}

TEST_F(PnpManagerTest, PowerAndCapabilityRequestsReachTheAdapterAndItsMiniports)
{
    Install();
    DEVICE_CAPABILITIES caps;
    ASSERT_EQ(Pnp().QueryCapabilities(Pdo(), &caps), STATUS_SUCCESS);
    EXPECT_EQ(TestAdapter().CapabilityQueries, 1);
    EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
    EXPECT_EQ(caps.Removable, 1u);  // the bus's answer survives

    EXPECT_EQ(Pnp().QueryPower(Pdo(), PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(Pnp().SetPower(Pdo(), PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(Pnp().SetPower(Pdo(), PowerDeviceD3), STATUS_SUCCESS);  // no change: not passed on
    EXPECT_EQ(Pnp().SetPower(Pdo(), PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(TestAdapter().PowerChanges, (std::vector<DEVICE_POWER_STATE>{PowerDeviceD3, PowerDeviceD0}));
    // Both miniports answer IPowerNotify.
    EXPECT_EQ(TestAdapter().MiniportPowerNotifications,
              (std::vector<DEVICE_POWER_STATE>{PowerDeviceD3, PowerDeviceD3, PowerDeviceD0, PowerDeviceD0}));
    EXPECT_EQ(platform::IoDevicePowerState(Fdo()), PowerDeviceD0);
    EXPECT_EQ(platform::IoDevicePowerState(Pdo()), PowerDeviceD0);
}

// A system sleep reaches the adapter as the device state the stack's capabilities (with the
// adapter's word on them) give it, and the wake as D0; a refused query stops the sleep there.
TEST_F(PnpManagerTest, SystemPowerBecomesTheDeviceStateOfTheCapabilities)
{
    struct Case {
        const char* Name;
        SYSTEM_POWER_STATE Sleep;
        DEVICE_POWER_STATE AdapterSays;
        NTSTATUS Query;
        std::vector<DEVICE_POWER_STATE> Changes;
    } cases[] = {
        {"S3 from the bus", PowerSystemSleeping3, PowerDeviceUnspecified, STATUS_SUCCESS, {PowerDeviceD3, PowerDeviceD0}},
        {"S3 as the adapter says", PowerSystemSleeping3, PowerDeviceD2, STATUS_SUCCESS, {PowerDeviceD2, PowerDeviceD0}},
        {"S4", PowerSystemHibernate, PowerDeviceD2, STATUS_SUCCESS, {PowerDeviceD3, PowerDeviceD0}},
        {"refused", PowerSystemSleeping3, PowerDeviceUnspecified, STATUS_DEVICE_BUSY, {}},
    };
    Install();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TestAdapter().PowerChanges.clear();
        TestAdapter().SleepDeviceState = c.AdapterSays;
        TestAdapter().QueryPowerStatus = c.Query;
        const NTSTATUS status = Pnp().SetSystemPower(Pdo(), c.Sleep);
        EXPECT_EQ(status, c.Query);
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(platform::IoDevicePowerState(Pdo()), c.Changes.front());
            EXPECT_EQ(Pnp().SetSystemPower(Pdo(), PowerSystemWorking), STATUS_SUCCESS);
        }
        EXPECT_EQ(TestAdapter().PowerChanges, c.Changes);
        EXPECT_EQ(platform::IoDevicePowerState(Fdo()), PowerDeviceD0);
    }
}

TEST_F(PnpManagerTest, FailingMiniportInitFailsTheStartAndRegistersNothing)
{
    TestAdapter().TopologyInitStatus = STATUS_DEVICE_CONFIGURATION_ERROR;
    ASSERT_EQ(Pnp().AddDevice(Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(Pnp().Start(Pdo()), STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_FALSE(platform::PcIsStarted(Fdo()));
    EXPECT_TRUE(platform::PcSubdevices(Fdo()).empty());
    EXPECT_EQ(platform::PcLivePortCount(), 0u);
    EXPECT_EQ(TestMiniportLiveCount(), 0u);
    EXPECT_EQ(Pnp().Remove(Pdo()), STATUS_SUCCESS);
}

TEST_F(PnpManagerTest, SubdeviceNamesAreUniquePerDeviceAndLimitedInNumber)
{
    struct Case {
        const char16_t* WaveName;
        ULONG MaxObjects;
        NTSTATUS Expected;
    } cases[] = {
        {u"Wave", 2, STATUS_SUCCESS},
        {u"Topo", 4, STATUS_OBJECT_NAME_COLLISION},
        {u"TOPO", 4, STATUS_OBJECT_NAME_COLLISION},  // names compare without case
        {u"Wave", 1, STATUS_INSUFFICIENT_RESOURCES},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(platform::ToNarrow(std::u16string(c.WaveName)) + " limit " + std::to_string(c.MaxObjects));
        TestAdapterReset();
        TestAdapter().WaveName = c.WaveName;
        TestAdapter().MaxObjects = c.MaxObjects;
        ASSERT_EQ(Pnp().AddDevice(Pdo()), STATUS_SUCCESS);
        ASSERT_EQ(Pnp().Start(Pdo()), STATUS_SUCCESS);
        EXPECT_EQ(TestAdapter().WaveInstallStatus, c.Expected);
        EXPECT_EQ(platform::PcSubdevices(Fdo()).size(), NT_SUCCESS(c.Expected) ? 2u : 1u);
        ASSERT_EQ(Pnp().Remove(Pdo()), STATUS_SUCCESS);
        EXPECT_EQ(platform::PcLivePortCount(), 0u);
    }
}

TEST_F(PnpManagerTest, PortsUnregisterTheirConnectionAndSubdevice)
{
    Install();
    const auto filters = Browser().Filters();
    PUNKNOWN topology = filters[0].Port;
    PUNKNOWN wave = filters[1].Port;

    IPortClsVersion* version = nullptr;
    ASSERT_EQ(wave->QueryInterface(IID_IPortClsVersion, reinterpret_cast<PVOID*>(&version)), STATUS_SUCCESS);
    EXPECT_EQ(version->GetVersion(), static_cast<DWORD>(PORTCLS_VERSION_DEFAULT));
    platform::PcSetVersion(10u);
    EXPECT_EQ(version->GetVersion(), static_cast<DWORD>(10u));
    version->Release();

    IUnregisterPhysicalConnection* connection = nullptr;
    IUnregisterSubdevice* subdevice = nullptr;
    ASSERT_EQ(wave->QueryInterface(IID_IUnregisterPhysicalConnection, reinterpret_cast<PVOID*>(&connection)),
              STATUS_SUCCESS);
    ASSERT_EQ(wave->QueryInterface(IID_IUnregisterSubdevice, reinterpret_cast<PVOID*>(&subdevice)), STATUS_SUCCESS);
    EXPECT_EQ(connection->UnregisterPhysicalConnection(Fdo(), topology, 1, wave, 1), STATUS_NOT_FOUND);
    EXPECT_EQ(connection->UnregisterPhysicalConnection(Fdo(), wave, 1, topology, 1), STATUS_SUCCESS);
    EXPECT_TRUE(Browser().Connections().empty());
    EXPECT_EQ(connection->UnregisterPhysicalConnection(Fdo(), wave, 1, topology, 1), STATUS_NOT_FOUND);

    const std::vector<std::u16string> waveLinks = filters[1].SymbolicLinks;
    EXPECT_EQ(subdevice->UnregisterSubdevice(Fdo(), wave), STATUS_SUCCESS);
    ASSERT_EQ(Browser().Filters().size(), 1u);
    for (const auto& link : waveLinks) {
        EXPECT_NE(platform::IoInterfaceState(link), platform::InterfaceState::Enabled);
    }
    EXPECT_EQ(subdevice->UnregisterSubdevice(Fdo(), wave), STATUS_NOT_FOUND);
    // The wave port let go of its miniport, so these were its last references.
    connection->Release();
    subdevice->Release();
    EXPECT_EQ(platform::PcLivePortCount(), 1u);
}

TEST_F(PnpManagerTest, AdapterCallsRefuseWhatPortClsCannotRecord)
{
    EXPECT_EQ(PcAddAdapterDevice(Pnp().Driver(), Pdo(), [](PDEVICE_OBJECT, PIRP, PRESOURCELIST) { return STATUS_SUCCESS; },
                                 4, PORT_CLASS_DEVICE_EXTENSION_SIZE - 1),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Pnp().TopOfStack(Pdo()), Pdo());
    Install();
    const auto filters = Browser().Filters();
    PUNKNOWN topology = filters[0].Port;
    PUNKNOWN wave = filters[1].Port;
    EXPECT_EQ(PcRegisterPhysicalConnection(Fdo(), wave, 2, topology, 1), STATUS_INVALID_PARAMETER);  // no pin 2
    EXPECT_EQ(PcRegisterPhysicalConnection(Fdo(), wave, 1, topology, 1), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(PcRegisterPhysicalConnection(Pdo(), wave, 0, topology, 0), STATUS_INVALID_PARAMETER);

    PPORT port = nullptr;
    EXPECT_EQ(PcNewPort(&port, IID_IPort), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(port, nullptr);
    ASSERT_EQ(PcNewPort(&port, CLSID_PortWaveCyclic), STATUS_SUCCESS);
    EXPECT_EQ(PcRegisterSubdevice(Fdo(), u"Fresh", port), STATUS_INVALID_DEVICE_STATE);  // never initialised
    EXPECT_EQ(PcRegisterSubdevice(Fdo(), u"Wave2", wave), STATUS_INVALID_DEVICE_STATE);  // already registered
    PUNKNOWN miniport = NewTestMiniport(CLSID_PortTopology, u"Mismatch");
    EXPECT_EQ(port->Init(Fdo(), nullptr, miniport, nullptr, nullptr), STATUS_INVALID_PARAMETER);  // wrong kind
    miniport->Release();
    port->Release();
    EXPECT_EQ(Browser().Filters().size(), 2u);
    EXPECT_EQ(Browser().Connections().size(), 1u);
}

TEST_F(PnpManagerTest, SurpriseRemovalDisablesTheFiltersBeforeRemoval)
{
    Install();
    const auto filters = Browser().Filters();
    ASSERT_EQ(Pnp().SurpriseRemove(Pdo()), STATUS_SUCCESS);
    for (const auto& f : filters) {
        for (const auto& link : f.SymbolicLinks) {
            EXPECT_EQ(platform::IoInterfaceState(link), platform::InterfaceState::Disabled);
        }
    }
    EXPECT_EQ(Browser().Filters().size(), 2u);  // still registered until removal
    ASSERT_EQ(Pnp().Remove(Pdo()), STATUS_SUCCESS);
    EXPECT_EQ(platform::PcLivePortCount(), 0u);
}

// A removal, after a surprise removal or in order, waits for the user who still holds a filter
// open; it goes on when that process ends.
class PnpRemovalTest : public HostFixture, public ::testing::WithParamInterface<bool> {};

TEST_P(PnpRemovalTest, RemovalWaitsForTheStacksHandles)
{
    const bool surprise = GetParam();
    Install();
    const auto filters = Browser().Filters();
    ASSERT_FALSE(filters.empty());
    ASSERT_FALSE(filters[0].SymbolicLinks.empty());
    const platform::ProcessId process = platform::ProcessCreate(false);
    HANDLE handle = nullptr;
    {
        platform::ProcessScope scope(process);
        ASSERT_EQ(platform::IoOpenUserInterface(filters[0].SymbolicLinks[0], &handle), STATUS_SUCCESS);
    }
    if (surprise) {
        ASSERT_EQ(Pnp().SurpriseRemove(Pdo()), STATUS_SUCCESS);
    }
    std::atomic<bool> removed{false};
    NTSTATUS status = STATUS_PENDING;
    platform::ClientThread remover("remover", [&] {
        status = Pnp().Remove(Pdo());
        removed = true;
    });
    platform::RunFor(std::chrono::seconds(2));
    EXPECT_FALSE(removed.load());
    EXPECT_NE(Pnp().TopOfStack(Pdo()), Pdo());  // the adapter's device is still there

    platform::ProcessExit(process);
    remover.Join();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(Pnp().TopOfStack(Pdo()), Pdo());
    EXPECT_EQ(platform::PcLivePortCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(SurpriseOrInOrder, PnpRemovalTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "AfterSurpriseRemoval" : "InOrder";
                         });

}  // namespace
}  // namespace kvxtest
