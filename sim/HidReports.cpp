#include "sim/HidReports.h"

#include <algorithm>
#include <cstring>

#include "platform/nt/Clock.h"

namespace sim {

namespace {
constexpr uint8_t HID_CLASS = 3;
constexpr uint8_t SET_REPORT_TYPE = 0x21;
constexpr uint8_t GET_REPORT_TYPE = 0xA1;
constexpr uint8_t SET_REPORT = 0x09;
constexpr uint8_t GET_REPORT = 0x01;
}  // namespace

std::set<uint8_t> HidReports::HidInterfaces(const Bytes& c)
{
    std::set<uint8_t> interfaces;
    for (size_t p = 0; p + 2 <= c.size() && c[p] >= 2 && c[p] <= c.size() - p; p += c[p]) {
        if (c[p + 1] == 4 && c[p] >= 9 && c[p + 5] == HID_CLASS) {
            interfaces.insert(c[p + 2]);
        }
    }
    return interfaces;
}

void HidReports::SetInputReport(uint8_t interfaceNumber, Bytes report)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_input[interfaceNumber] = std::move(report);
}

std::vector<HidOutputReport> HidReports::OutputReports()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_output;
}

void HidReports::ClearOutputReports()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_output.clear();
}

std::optional<platform::usb::UsbTransferResult> HidReports::Control(SimDevice&, const USB_DEFAULT_PIPE_SETUP_PACKET& s,
                                                                    UCHAR* data, ULONG length)
{
    const uint8_t interfaceNumber = static_cast<uint8_t>(s.wIndex & 0xFF);
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_interfaces.count(interfaceNumber) == 0) {
        return std::nullopt;
    }
    if (s.bmRequestType == SET_REPORT_TYPE && s.bRequest == SET_REPORT) {
        HidOutputReport report;
        report.Time = platform::ClockNow();
        report.Interface = interfaceNumber;
        report.Value = s.wValue;
        if (data != nullptr) {
            report.Data.assign(data, data + length);
        }
        m_output.push_back(std::move(report));
        return platform::usb::UsbTransferResult::Done(length);
    }
    if (s.bmRequestType == GET_REPORT_TYPE && s.bRequest == GET_REPORT) {
        const Bytes& report = m_input[interfaceNumber];
        const ULONG n = std::min<ULONG>(length, static_cast<ULONG>(report.size()));
        if (data != nullptr) {
            std::memset(data, 0, length);
            if (n > 0) {
                std::memcpy(data, report.data(), n);
            }
        }
        // An interface without a report yet answers zeros of the length asked for.
        return platform::usb::UsbTransferResult::Done(report.empty() ? length : n);
    }
    return std::nullopt;
}

}  // namespace sim
