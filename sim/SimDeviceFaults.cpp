// Simulator-only (not driver code): the faults a SimDevice serves on demand (control requests,
// bulk and interrupt transfers, isochronous packets, URBs and IRPs, stalls, unplugging, port,
// selection, idle and bus-interface answers) and where the device asks for them.
#include "sim/SimDevice.h"

namespace sim {

bool RequestMatch::Matches(const USB_DEFAULT_PIPE_SETUP_PACKET& s) const
{
    return (!RequestType || *RequestType == s.bmRequestType) && (!Request || *Request == s.bRequest) &&
           (!Value || *Value == s.wValue) && (!Index || *Index == s.wIndex);
}

void SimDevice::AddIsoFault(const IsoFault& fault)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_isoFaults.push_back(fault);
}

void SimDevice::StallEndpoint(uint8_t endpoint)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_stalled[endpoint] = true;
}

void SimDevice::FailSelectAlternate(uint8_t interfaceNumber, uint8_t alternateSetting, int times)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_selectAltFaults[{interfaceNumber, alternateSetting}] = times;
}

void SimDevice::AddFault(RequestMatch match, FaultKind kind, int times, USBD_STATUS status, uint32_t length)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_faults.push_back({match, kind, times, status, length});
}

void SimDevice::FailPackets(uint8_t endpoint, int count, USBD_STATUS status)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_packetFaults[endpoint] = {count, status};
}

void SimDevice::FailTransfers(uint8_t endpoint, int times, USBD_STATUS status)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_transferFaults[endpoint] = {times, status};
}

void SimDevice::Unplug()
{
    platform::usb::UsbBus* bus;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        bus = m_bus;
    }
    if (bus != nullptr) {
        bus->Unplug();
    }
}

void SimDevice::NoSuchDevice(int times)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_noSuchDevice = times;
}

void SimDevice::FailSelectInterface(uint8_t interfaceNumber, int times)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_selectFaults[interfaceNumber] = times;
}

void SimDevice::SetIdleAnswer(NTSTATUS status)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_idleAnswer = status;
}

// The packet's fault, if one applies: a stall, the plain packet count, then the fault list.
std::optional<USBD_STATUS> SimDevice::PacketFault(uint8_t endpoint, uint32_t frame)
{
    if (m_stalled[endpoint]) {
        return USBD_STATUS_STALL_PID;
    }
    auto fault = m_packetFaults.find(endpoint);
    if (fault != m_packetFaults.end() && fault->second.first > 0) {
        fault->second.first--;
        return fault->second.second;
    }
    for (IsoFault& f : m_isoFaults) {
        if (f.What == IsoFault::Scope::Packet && f.Endpoint == endpoint && f.Count > 0 &&
            (!f.FromFrame || static_cast<int32_t>(frame - *f.FromFrame) >= 0)) {
            f.Count--;
            return f.Status;
        }
    }
    return std::nullopt;
}

platform::usb::UsbIsochronousUrbFault SimDevice::IsochronousUrbFault(UCHAR endpoint, ULONG startFrame, ULONG frames)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (auto loop = m_loopbacks.find(endpoint); loop != m_loopbacks.end()) {
        loop->second.InTransfer(startFrame, frames);
    }
    for (IsoFault& f : m_isoFaults) {
        if (f.What == IsoFault::Scope::Packet || f.Endpoint != endpoint || f.Count == 0 ||
            (f.FromFrame && static_cast<int32_t>(startFrame + frames - 1 - *f.FromFrame) < 0)) {
            continue;
        }
        f.Count--;
        switch (f.What) {
        case IsoFault::Scope::Urb: return {f.Status, STATUS_SUCCESS};
        case IsoFault::Scope::Stall: m_stalled[endpoint] = true; return {};
        case IsoFault::Scope::Unplug: f.Count = 0; return {USBD_STATUS_SUCCESS, STATUS_SUCCESS, true};
        default: return {USBD_STATUS_SUCCESS, f.IrpStatus};
        }
    }
    return {};
}

void SimDevice::ClearStall(UCHAR endpoint)
{
    std::lock_guard<std::mutex> guard(m_lock);
    USB_DEFAULT_PIPE_SETUP_PACKET setup{BMREQUEST_TO_ENDPOINT, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL,
                                        endpoint, 0};
    m_stalled[endpoint] = false;
    Record(RequestLogEntry::Kind::Control, &setup, endpoint, 0, "ok");
}

NTSTATUS SimDevice::PortStatusOverride()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_noSuchDevice > 0) {
        m_noSuchDevice--;
        Record(RequestLogEntry::Kind::Port, nullptr, 0, 0, "error");
        return STATUS_NO_SUCH_DEVICE;
    }
    Record(RequestLogEntry::Kind::Port, nullptr, 0, 0, "ok");
    return STATUS_SUCCESS;
}

NTSTATUS SimDevice::IdleNotificationStatus()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_idleAnswer;
}

void SimDevice::FailBusInterface(bool fail)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_noBusInterface = fail;
}

void SimDevice::FailBusTime(NTSTATUS status)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_busTimeStatus = status;
}

bool SimDevice::BusInterfaceAvailable()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return !m_noBusInterface;
}

NTSTATUS SimDevice::QueryBusTimeStatus()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_busTimeStatus;
}

}  // namespace sim
