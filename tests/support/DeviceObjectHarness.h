// Test-only: the USB audio device object started on a simulated device, as the adapter's start
// has it (a driver object and a functional device of the test's own attached to the device's
// PDO, the device object created and its Init run), and taken down again. The device is plugged
// by the harness (a builder at a speed, a device made in code, or a profile) or by the caller.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "adapter/AudioHal.h"
#include "platform/io/Io.h"
#include "sim/DescriptorBuilder.h"
#include "sim/SimPort.h"

class UsbAudioDevice;

namespace kvxtest {

struct DeviceObjectOptions {
    // The adapter's device extension, zeroed, behind the functional device (the naming of
    // endpoints reads its counters).
    bool AdapterExtension = false;
    // A power dispatch of the test's own on the driver object; the functional device is then
    // power pageable.
    PDRIVER_DISPATCH Power = nullptr;
    // A device object to start instead of the USB audio device (a double); returns it with one
    // reference.
    std::function<NTSTATUS(IAudioHal**)> Create;
    // From the device object's creation on, this pool allocation fails (0: none).
    uint64_t FailNthAllocation = 0;
};

class DeviceObjectHarness {
public:
    DeviceObjectHarness() = default;
    ~DeviceObjectHarness() { Stop(); }
    DeviceObjectHarness(const DeviceObjectHarness&) = delete;
    DeviceObjectHarness& operator=(const DeviceObjectHarness&) = delete;

    // Plugs a device the harness keeps until Stop; false when its PDO cannot be made.
    bool Plug(const sim::DescriptorBuilder& builder, std::optional<bool> highSpeed = std::nullopt);
    bool Plug(std::unique_ptr<sim::SimDevice> device);
    // A profile: a file name under sim/profiles/ or a path.
    bool PlugProfile(const std::string& name, std::string* error);

    // Builds the stack over the device the harness plugged, or over one plugged elsewhere, and
    // runs the device object's Init: its status, or the creation's when the object was not made.
    NTSTATUS Start(const DeviceObjectOptions& options = {});
    NTSTATUS Start(sim::SimDevice& device, PDEVICE_OBJECT pdo, const DeviceObjectOptions& options = {});

    // Lets go of the device object: stops its function first when `stopFunction` (as the adapter
    // does before removal, so that the status thread ends).
    void ReleaseDevice(bool stopFunction = false);
    // Releases the device object, takes the stack down, forgets the device's registry data and
    // unplugs a device the harness plugged. Runs any number of times.
    void Stop(bool stopFunction = false);

    IAudioHal* Hal() const { return m_hal; }
    // The USB audio device, when no other object was started.
    UsbAudioDevice* Usb() const;
    PDEVICE_OBJECT Fdo() const { return m_fdo; }
    PDEVICE_OBJECT Pdo() const { return m_pdo; }
    sim::SimDevice* Device() const { return m_device; }
    platform::usb::UsbBus* Bus() const { return m_port != nullptr ? &m_port->Bus() : nullptr; }

private:
    std::unique_ptr<sim::SimPort> m_port;  // a device the harness plugged
    sim::SimDevice* m_device = nullptr;
    PDEVICE_OBJECT m_pdo = nullptr;
    PDRIVER_OBJECT m_driver = nullptr;
    PDEVICE_OBJECT m_fdo = nullptr;
    IAudioHal* m_hal = nullptr;
    bool m_ownDevice = false;  // m_hal is the USB audio device
};

}  // namespace kvxtest
