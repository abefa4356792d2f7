// Simulator-only (not driver code): one-byte on/off controls that a chip keeps behind vendor
// requests on its AudioControl interface, as the effects chip does for its effect controls:
// GET_CUR (0xC1 0x81) reads the byte, SET_CUR (0x41 0x01) writes it, both with wValue
// selector << 8 (channel 0) and wIndex unit << 8 | interface. Plugged into a device as a chip.
#pragma once

#include <map>
#include <mutex>
#include <utility>

#include "sim/SimDevice.h"

namespace sim {

class VendorSwitches : public ChipBehaviour {
public:
    void Add(uint8_t unit, uint8_t selector, uint8_t value);
    // The byte as the device holds it now; nullopt for a switch it does not have.
    std::optional<uint8_t> Value(uint8_t unit, uint8_t selector);
    std::map<std::pair<uint8_t, uint8_t>, uint8_t> All();

    std::optional<platform::usb::UsbTransferResult> Control(SimDevice& device, const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                                            UCHAR* data, ULONG length) override;

private:
    std::mutex m_lock;
    std::map<std::pair<uint8_t, uint8_t>, uint8_t> m_values;
};

}  // namespace sim
