// Simulator-only (not driver code): the HID class requests of a device's HID interfaces (class 3)
// on the default pipe. SET_REPORT keeps every output report with its interface, report type/id
// and data; GET_REPORT answers the interface's current input report (SetInputReport; zeros until
// one is set). A profile's raw answers and the device's faults come first, so a stalled, short or
// lost poll is an AddFault on the GET_REPORT setup.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <vector>

#include "sim/SimDevice.h"

namespace sim {

struct HidOutputReport {
    int64_t Time;        // machine time, 100 ns
    uint8_t Interface;
    uint16_t Value;      // wValue: report type << 8 | report id
    Bytes Data;
};

class HidReports : public ChipBehaviour {
public:
    explicit HidReports(std::set<uint8_t> interfaces) : m_interfaces(std::move(interfaces)) {}

    // The HID interface numbers of a configuration descriptor.
    static std::set<uint8_t> HidInterfaces(const Bytes& configuration);

    void SetInputReport(uint8_t interfaceNumber, Bytes report);
    std::vector<HidOutputReport> OutputReports();
    void ClearOutputReports();

    std::optional<platform::usb::UsbTransferResult> Control(SimDevice& device, const USB_DEFAULT_PIPE_SETUP_PACKET& setup,
                                                            UCHAR* data, ULONG length) override;

private:
    std::mutex m_lock;
    std::set<uint8_t> m_interfaces;
    std::map<uint8_t, Bytes> m_input;
    std::vector<HidOutputReport> m_output;
};

}  // namespace sim
