#include "sim/SimPort.h"

namespace sim {

SimPort::SimPort(std::unique_ptr<SimDevice> device)
    : m_device(std::move(device)), m_bus(std::make_unique<platform::usb::UsbBus>(m_device.get()))
{
    m_device->AttachBus(m_bus.get());
}

SimPort::~SimPort()
{
    m_device->AttachBus(nullptr);
    m_bus.reset();
}

std::unique_ptr<SimPort> SimPort::PlugIn(std::unique_ptr<SimDevice> device)
{
    if (device == nullptr) {
        return nullptr;
    }
    std::unique_ptr<SimPort> port(new SimPort(std::move(device)));
    if (port->m_bus->Pdo() == nullptr) {
        return nullptr;
    }
    return port;
}

}  // namespace sim
