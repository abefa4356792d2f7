// Simulator-only (not driver code): the wire recorder of a SimDevice. Every isochronous OUT
// packet is kept with its (micro)frame (or only counted and hashed for long runs), frames
// without a packet between URBs are counted, and a sink attached to the endpoint plays what
// arrives.
#include <algorithm>

#include "sim/SimDevice.h"

namespace sim {

std::vector<WireFrame> SimDevice::WireFrames(uint8_t endpoint)
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_wires.find(endpoint);
    return it == m_wires.end() ? std::vector<WireFrame>{} : it->second.Frames();
}

Bytes SimDevice::WireBytes(uint8_t endpoint)
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_wires.find(endpoint);
    return it == m_wires.end() ? Bytes{} : it->second.Stream();
}

uint64_t SimDevice::WireByteCount(uint8_t endpoint)
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_wires[endpoint].ByteCount();
}

uint64_t SimDevice::WireHash(uint8_t endpoint)
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_wires[endpoint].Hash();
}

uint64_t SimDevice::EmptyFrames(uint8_t endpoint)
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_wires[endpoint].EmptyFrames();
}

void SimDevice::KeepWireBytes(uint8_t endpoint, bool keep)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_wires[endpoint].KeepBytes(keep);
}

void SimDevice::KeepWireFrames(uint8_t endpoint, bool keep)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_wires[endpoint].KeepFrames(keep);
}

void SimDevice::SetWireTap(uint8_t endpoint, WireTap tap)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (tap) {
        m_wireTaps[endpoint] = std::move(tap);
    } else {
        m_wireTaps.erase(endpoint);
    }
}

std::vector<WirePacket> SimDevice::Wire(uint8_t endpoint)
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<WirePacket> out;
    auto it = m_wires.find(endpoint);
    if (it == m_wires.end()) {
        return out;
    }
    size_t offset = 0;
    const Bytes& bytes = it->second.Stream();
    for (const WireFrame& f : it->second.Frames()) {
        if (!f.Present) {
            continue;
        }
        const size_t at = std::min(offset, bytes.size());
        const size_t n = std::min<size_t>(f.Length, bytes.size() - at);
        const auto first = bytes.begin() + static_cast<ptrdiff_t>(at);
        out.push_back({endpoint, f.Frame, f.Microframe, Bytes(first, first + static_cast<ptrdiff_t>(n))});
        offset += f.Length;
    }
    return out;
}

void SimDevice::IsochronousGap(UCHAR endpoint, ULONG firstFrame, ULONG frames)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (!USB_ENDPOINT_DIRECTION_IN(endpoint)) {
        m_wires[endpoint].Gap(firstFrame, frames);
    }
}

USBD_STATUS SimDevice::IsochronousOut(UCHAR endpoint, ULONG frame, ULONG microframe, const UCHAR* data, ULONG length)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (const auto fault = PacketFault(endpoint, frame)) {
        return *fault;
    }
    m_wires[endpoint].Packet(frame, microframe, data, length);
    for (auto& [in, loop] : m_loopbacks) {
        if (loop.Config().Out == endpoint) {
            if (const auto format = StreamFormat(endpoint)) {
                loop.Out(frame, microframe, StreamRate(endpoint), *format, data, length);
            }
        }
    }
    if (auto tap = m_wireTaps.find(endpoint); tap != m_wireTaps.end()) {
        tap->second(frame, microframe, data, length);
    }
    auto sink = m_sinks.find(endpoint);
    if (sink != m_sinks.end()) {
        SinkSlot& slot = sink->second;
        if (!slot.FirstFrame) {
            slot.FirstFrame = frame;
        }
        // Milliseconds since the first packet, across the frame number's wrap.
        slot.LastTime = static_cast<double>(static_cast<int32_t>(frame - *slot.FirstFrame)) + microframe / 8.0;
        slot.Sink.Packet(slot.LastTime, length);
    }
    return USBD_STATUS_SUCCESS;
}

}  // namespace sim
