#include "sim/VendorSwitches.h"

namespace sim {

using platform::usb::UsbTransferResult;

void VendorSwitches::Add(uint8_t unit, uint8_t selector, uint8_t value)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_values[{unit, selector}] = value;
}

std::optional<uint8_t> VendorSwitches::Value(uint8_t unit, uint8_t selector)
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_values.find({unit, selector});
    if (it == m_values.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::map<std::pair<uint8_t, uint8_t>, uint8_t> VendorSwitches::All()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_values;
}

std::optional<UsbTransferResult> VendorSwitches::Control(SimDevice&, const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                                         UCHAR* data, ULONG length)
{
    const bool get = setup.bmRequestType == 0xC1 && setup.bRequest == 0x81;
    const bool set = setup.bmRequestType == 0x41 && setup.bRequest == 0x01;
    if ((!get && !set) || (setup.wValue & 0xFF) != 0) {
        return std::nullopt;
    }
    const auto key = std::make_pair(static_cast<uint8_t>(setup.wIndex >> 8), static_cast<uint8_t>(setup.wValue >> 8));
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_values.find(key);
    if (it == m_values.end()) {
        return std::nullopt;
    }
    if (length < 1 || data == nullptr) {
        return UsbTransferResult::Stall();
    }
    if (get) {
        data[0] = it->second;
    } else {
        it->second = data[0];
    }
    return UsbTransferResult::Done(1);
}

}  // namespace sim
