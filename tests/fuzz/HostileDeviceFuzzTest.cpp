// Mutated configurations from a simulated device through the bus: the device's own parsing of its
// descriptors and the bus's SELECT_CONFIGURATION / SELECT_INTERFACE must stay within the bytes
// (checked under the sanitizers) and answer every request one way or the other.
#include <gtest/gtest.h>

#include <random>

#include "tests/platform/usb/BusFixture.h"

namespace {

class HostileDeviceFuzzTest : public kvxtest::BusFixture {};

TEST_F(HostileDeviceFuzzTest, MutatedConfigurationsAreSelectedOrRefused)
{
    const auto builder = kvxtest::Uac1Device();
    const sim::Bytes seed = builder.Configuration();
    std::mt19937 rng(99);
    int selected = 0;
    for (int round = 0; round < 400; ++round) {
        sim::Bytes config = seed;
        const int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; ++e) {
            const size_t at = rng() % config.size();
            switch (rng() % 4) {
            case 0: config[at] = static_cast<uint8_t>(rng()); break;
            case 1: config[at] = static_cast<uint8_t>(rng() % 3); break;
            case 2: config.resize(std::max<size_t>(at, 1)); break;
            default: config[at] = 0xFF; break;
            }
        }
        SCOPED_TRACE(round);
        Plug(builder.DeviceDescriptor(), config);
        UCHAR buffer[600];
        PURB get = DescriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buffer, sizeof buffer);
        ASSERT_EQ(Submit(get), STATUS_SUCCESS);
        ASSERT_EQ(get->UrbControlDescriptorRequest.TransferBufferLength, std::min<size_t>(config.size(), sizeof buffer));

        // The driver's view: its own pool copy of what it read, walked by the USBD helpers.
        m_config = config;
        auto* copy = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, config.size(), MakePoolTag("Tcfg")));
        std::memcpy(copy, config.data(), config.size());
        auto* desc = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(copy);
        std::vector<USBD_INTERFACE_LIST_ENTRY> list(257);
        size_t n = 0;
        for (LONG number = 0; config.size() >= 9 && number < 256 && n < desc->bNumInterfaces; ++number) {
            if (auto* d = USBD_ParseConfigurationDescriptorEx(desc, desc, number, 0, -1, -1, -1)) {
                list[n++].InterfaceDescriptor = d;
            }
        }
        PURB urb = n > 0 ? USBD_CreateConfigurationRequestEx(desc, list.data()) : nullptr;
        if (urb != nullptr) {
            const NTSTATUS status = Submit(urb);
            ASSERT_NE(status, STATUS_TIMEOUT);
            if (NT_SUCCESS(status)) {
                ++selected;
                for (UCHAR alt = 0; alt < 3; ++alt) {
                    PURB select = SelectInterface(urb, 1, alt, 4);
                    ASSERT_NE(Submit(select), STATUS_TIMEOUT);
                }
            }
            ExFreePool(urb);
        }
        ExFreePoolWithTag(copy, MakePoolTag("Tcfg"));
        Reset();
    }
    EXPECT_GT(selected, 0);
}

}  // namespace
