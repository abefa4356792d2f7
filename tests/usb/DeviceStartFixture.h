// Test-only: the real device object started on the plugged simulated device (Init: the
// configuration, the function and its parsers), under a driver object and device of the test's
// own, and taken down again. TearDown may run more than once.
#pragma once

#include <string>

#include "sim/Profile.h"
#include "tests/platform/usb/BusFixture.h"
#include "tests/support/DeviceObjectHarness.h"
#include "usb/Uac1Function.h"
#include "usb/UsbAudioDevice.h"

namespace kvxtest {

class DeviceStartFixture : public BusFixture {
protected:
    NTSTATUS StartDeviceObject(const DeviceObjectOptions& options = {})
    {
        const NTSTATUS status = m_harness.Start(*m_device, m_bus->Pdo(), options);
        m_fdo = m_harness.Fdo();
        m_usb = m_harness.Usb();
        m_function = m_usb != nullptr ? static_cast<Uac1Function*>(m_usb->FunctionAudioHal()) : nullptr;
        return status;
    }

    // A shipped profile (sim/profiles/), plugged in place of the fixture's device.
    void PlugProfile(const std::string& name)
    {
        std::string error;
        auto device = sim::LoadProfile(std::string(KVX_PROFILE_DIR) + "/" + name, &error);
        ASSERT_NE(device, nullptr) << error;
        Plug(std::move(device));
    }

    // `stopFunction`: the adapter stops the function before it lets go of the device, so that
    // its status thread ends.
    void StopDeviceObject(bool stopFunction = false)
    {
        m_harness.Stop(stopFunction);
        m_usb = nullptr;
        m_function = nullptr;
        m_fdo = nullptr;
    }

    void TearDown() override
    {
        StopDeviceObject();
        BusFixture::TearDown();
    }

    DeviceObjectHarness m_harness;
    PDEVICE_OBJECT m_fdo = nullptr;
    UsbAudioDevice* m_usb = nullptr;
    Uac1Function* m_function = nullptr;
};

}  // namespace kvxtest
