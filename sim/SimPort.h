// Simulator-only (not driver code): a simulated device plugged into a port of the stand-in's bus.
// Its PDO is what the host PnP manager builds the driver stack on.
#pragma once

#include <memory>

#include "platform/usb/UsbBus.h"
#include "sim/SimDevice.h"

namespace sim {

class SimPort {
public:
    // Null when the PDO cannot be created.
    static std::unique_ptr<SimPort> PlugIn(std::unique_ptr<SimDevice> device);
    // The device stack on the PDO must be gone; requests still held fail as if unplugged.
    ~SimPort();
    SimPort(const SimPort&) = delete;
    SimPort& operator=(const SimPort&) = delete;

    PDEVICE_OBJECT Pdo() const { return m_bus->Pdo(); }
    SimDevice& Device() const { return *m_device; }
    platform::usb::UsbBus& Bus() const { return *m_bus; }

private:
    explicit SimPort(std::unique_ptr<SimDevice> device);

    std::unique_ptr<SimDevice> m_device;
    std::unique_ptr<platform::usb::UsbBus> m_bus;
};

}  // namespace sim
