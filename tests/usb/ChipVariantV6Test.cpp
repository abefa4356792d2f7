// The effects variant through the device object's start on its profile.
#include <gtest/gtest.h>

#include "tests/usb/DeviceStartFixture.h"
#include "usb/Uac1FunctionVariants.h"

namespace kvxtest {
namespace {

class ChipVariantV6Test : public DeviceStartFixture {};

TEST_F(ChipVariantV6Test, Starts)
{
    PlugProfile("v6-effects-headset.json");
    EXPECT_EQ(StartDeviceObject(), STATUS_SUCCESS);
    for (const auto& e : m_device->Log()) {
        std::printf("%02x %02x %04x %04x %u %s\n", e.Setup.bmRequestType, e.Setup.bRequest, e.Setup.wValue, e.Setup.wIndex, e.Setup.wLength, e.Outcome.c_str());
    }
}

}  // namespace
}  // namespace kvxtest
