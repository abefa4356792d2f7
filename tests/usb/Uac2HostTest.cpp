// The driver on the UAC2 headsets, through the host's PnP manager: the wave filters connect to
// their streaming terminals' pins, and the headphones' Connectors control decides whether the
// render wave filter is there.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "adapter/Adapter.h"
#include "host/PnpManager.h"
#include "platform/nt/Clock.h"
#include "platform/portcls/PortClsHost.h"
#include "platform/registry/RegistryHost.h"
#include "sim/Profile.h"
#include "sim/SimPort.h"

namespace {

// The registered subdevices' names, sorted.
std::vector<std::u16string> Filters(PDEVICE_OBJECT fdo)
{
    std::vector<std::u16string> names;
    for (const auto& f : platform::PcSubdevices(fdo)) names.push_back(f.Name);
    std::sort(names.begin(), names.end());
    return names;
}

TEST(Uac2HostTest, TheHeadsetsFollowTheirHeadphoneJack)
{
    const std::vector<std::u16string> all = {u"GlobalTopo", u"HPOut00Wave", u"MicIn00Wave"};
    const std::vector<std::u16string> unplugged = {u"GlobalTopo", u"MicIn00Wave"};
    for (const char* name : {"uac2-headset.json", "uac2-headset-fs.json"}) {
        SCOPED_TRACE(name);
        platform::RegistryReset();
        std::string error;
        auto device = sim::LoadProfile(std::string(KVX_PROFILE_DIR) + "/" + name, &error);
        ASSERT_NE(device, nullptr) << error;
        sim::SimDevice* headset = device.get();
        const auto descriptor = device->DeviceDescriptor();
        USB_DEVICE_DESCRIPTOR d;
        std::memcpy(&d, descriptor.data(), sizeof d);
        auto port = sim::SimPort::PlugIn(std::move(device));
        ASSERT_NE(port, nullptr);
        platform::DeviceSetUpUsb(port->Pdo(), d.idVendor, d.idProduct, d.bcdDevice);
        {
            host::PnpManager pnp;
            ASSERT_EQ(pnp.LoadDriver(u"UsbAudioAdapter", DriverEntry), STATUS_SUCCESS);
            ASSERT_EQ(pnp.AddDevice(port->Pdo()), STATUS_SUCCESS);
            ASSERT_EQ(pnp.Start(port->Pdo()), STATUS_SUCCESS);
            PDEVICE_OBJECT fdo = pnp.TopOfStack(port->Pdo());
            EXPECT_EQ(Filters(fdo), all);
            const auto connections = platform::PcPhysicalConnections(fdo);
            ASSERT_EQ(connections.size(), 2u);
            EXPECT_EQ(connections[0].From, u"HPOut00Wave");
            EXPECT_EQ(connections[0].To, u"GlobalTopo");
            EXPECT_EQ(connections[1].From, u"GlobalTopo");
            EXPECT_EQ(connections[1].To, u"MicIn00Wave");
            // The headphones (terminal 3) lose their jack: the device posts the Connectors change.
            headset->SetConnectors(3, 0x0, true);
            EXPECT_TRUE(platform::RunUntil([&] { return Filters(fdo) == unplugged; }, std::chrono::seconds(2)));
            headset->SetConnectors(3, 0x3, true);
            EXPECT_TRUE(platform::RunUntil([&] { return Filters(fdo) == all; }, std::chrono::seconds(2)));
            const auto again = platform::PcPhysicalConnections(fdo);
            EXPECT_EQ(std::count_if(again.begin(), again.end(),
                                    [](const auto& c) { return c.From == u"HPOut00Wave" && c.To == u"GlobalTopo"; }),
                      1);
            EXPECT_EQ(pnp.Remove(port->Pdo()), STATUS_SUCCESS);
        }
        EXPECT_EQ(platform::PcLivePortCount(), 0u);
        platform::DeviceForget(port->Pdo());
    }
}

}  // namespace
