// Test-only: the real device object started on the plugged simulated device (Init: the
// configuration, the function and its parsers), under a driver object and device of the test's
// own, and taken down again. TearDown may run more than once.
#pragma once

#include <cstring>

#include "platform/io/IoHost.h"
#include "platform/registry/RegistryHost.h"
#include "tests/platform/usb/BusFixture.h"
#include "usb/Uac1Function.h"
#include "usb/UsbAudioDevice.h"

namespace kvxtest {

class DeviceStartFixture : public BusFixture {
protected:
    NTSTATUS StartDeviceObject()
    {
        const auto descriptor = m_device->DeviceDescriptor();
        USB_DEVICE_DESCRIPTOR d;
        std::memcpy(&d, descriptor.data(), sizeof d);
        platform::DeviceSetUpUsb(m_bus->Pdo(), d.idVendor, d.idProduct, d.bcdDevice);
        m_driver = platform::IoCreateDriverObject(u"\\Driver\\UsbAudio");
        EXPECT_EQ(IoCreateDevice(m_driver, 0, nullptr, FILE_DEVICE_KS, 0, FALSE, &m_fdo), STATUS_SUCCESS);
        EXPECT_EQ(IoAttachDeviceToDeviceStack(m_fdo, m_bus->Pdo()), m_bus->Pdo());
        m_fdo->Flags &= ~DO_DEVICE_INITIALIZING;
        IAudioHal* hal = nullptr;
        EXPECT_EQ(UsbAudioDevice::Create(&hal), STATUS_SUCCESS);
        m_usb = static_cast<UsbAudioDevice*>(hal);
        const NTSTATUS status = m_usb->Init(nullptr, m_fdo, m_bus->Pdo(), m_bus->Pdo());
        m_function = static_cast<Uac1Function*>(m_usb->FunctionAudioHal());
        return status;
    }

    void TearDown() override
    {
        if (m_usb != nullptr) {
            static_cast<IAudioHal*>(m_usb)->Release();
            m_usb = nullptr;
            m_function = nullptr;
        }
        if (m_fdo != nullptr) {
            IoDetachDevice(m_bus->Pdo());
            IoDeleteDevice(m_fdo);
            platform::IoDeleteDriverObject(m_driver);
            m_fdo = nullptr;
        }
        if (m_bus != nullptr) {
            platform::DeviceForget(m_bus->Pdo());
        }
        BusFixture::TearDown();
        platform::RegistryReset();
    }

    PDRIVER_OBJECT m_driver = nullptr;
    PDEVICE_OBJECT m_fdo = nullptr;
    UsbAudioDevice* m_usb = nullptr;
    Uac1Function* m_function = nullptr;
};

}  // namespace kvxtest
