// Suspend as the simulated device sees it: the hub suspends and resumes its port, and a device
// that loses its class controls in suspend comes back with them at their defaults.
#include "sim/SimDevice.h"

namespace sim {

void SimDevice::SetLosesControlsOnSuspend(bool loses)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_losesControls = loses;
}

bool SimDevice::LosesControlsOnSuspend()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_losesControls;
}

bool SimDevice::PortIsSuspended()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_suspended;
}

uint32_t SimDevice::Suspensions()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_suspensions;
}

void SimDevice::PortSuspended(bool suspended)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_suspended = suspended;
    if (!suspended) {
        return;
    }
    m_suspensions++;
    if (m_losesControls) {
        for (const auto& [key, cur] : m_controlDefaults) {
            auto it = m_controls.find(key);
            if (it != m_controls.end()) {
                it->second.Cur = cur;
            }
        }
        m_controlDefaults.clear();
    }
}

// Called with the lock held, before the SET_CUR changes the value.
void SimDevice::NoteControlWrite(const Key& key, const ControlValues& values)
{
    m_controlDefaults.emplace(key, values.Cur);
}

}  // namespace sim
