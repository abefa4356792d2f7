// Simulator-only (not driver code): a SimDevice's loops from OUT endpoints back into IN endpoints,
// and the rate and sample layout each endpoint streams with.
#include "sim/SimDevice.h"

namespace sim {

bool SimDevice::SetLoopback(LoopbackConfig config)
{
    std::lock_guard<std::mutex> guard(m_lock);
    const auto isData = [this](uint8_t endpoint) {
        const auto ep = m_endpoints.find(endpoint);
        return ep != m_endpoints.end() && (ep->second.Attributes & 3) == 1 && !ep->second.Feedback;
    };
    if ((config.Out & 0x80) != 0 || (config.In & 0x80) == 0 || !isData(config.Out) || !isData(config.In)) {
        return false;
    }
    m_loopbacks.erase(config.In);
    m_loopbacks.emplace(config.In, Loopback(config, static_cast<uint32_t>(8000.0 / PacketsPerSecond(config.In))));
    return true;
}

std::vector<LoopbackConfig> SimDevice::Loopbacks()
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<LoopbackConfig> out;
    for (const auto& [in, loop] : m_loopbacks) {
        out.push_back(loop.Config());
    }
    return out;
}

uint32_t SimDevice::StreamRate(uint8_t endpoint) const
{
    if (m_uac2) {
        const auto iface = m_endpointInterface.find(endpoint);
        if (iface != m_endpointInterface.end()) {
            const auto clock = m_clockCur.find(ClockOfInterface(iface->second));
            if (clock != m_clockCur.end()) {
                return clock->second;
            }
        }
        return m_clockCur.empty() ? 48000 : m_clockCur.begin()->second;
    }
    const auto rate = m_endpointRate.find(endpoint);
    return rate == m_endpointRate.end() ? 48000 : rate->second;
}

std::optional<LoopFormat> SimDevice::StreamFormat(uint8_t endpoint) const
{
    const auto iface = m_endpointInterface.find(endpoint);
    if (iface == m_endpointInterface.end()) {
        return std::nullopt;
    }
    const auto alternate = m_alternate.find(iface->second);
    if (alternate == m_alternate.end() || alternate->second == 0) {
        return std::nullopt;
    }
    return EndpointFormat(m_configuration, endpoint, alternate->second, m_uac2);
}

}  // namespace sim
