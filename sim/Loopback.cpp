// Simulator-only (not driver code): the OUT-to-IN loop of a simulated device (see Loopback.h).
#include "sim/Loopback.h"

#include <algorithm>
#include <cstring>

namespace sim {

std::optional<LoopFormat> EndpointFormat(const Bytes& c, uint8_t endpoint, uint8_t alternate, bool uac2)
{
    // Walk the interfaces: remember the current setting's format until its endpoint shows.
    bool inSetting = false;
    LoopFormat format;
    for (size_t p = 0; p + 2 <= c.size() && c[p] >= 2 && c[p] <= c.size() - p; p += c[p]) {
        const uint8_t len = c[p];
        const uint8_t type = c[p + 1];
        if (type == 4 && len >= 9) {
            inSetting = c[p + 3] == alternate && c[p + 5] == 1 && c[p + 6] == 2;  // audio streaming
            format = {};
        } else if (inSetting && type == 0x24 && len >= 4) {
            const uint8_t subtype = c[p + 2];
            if (uac2 && subtype == 1 && len >= 11) {
                format.Channels = c[p + 10];
            } else if (uac2 && subtype == 2 && len >= 5 && c[p + 3] == 1) {
                format.BytesPerSample = c[p + 4];
            } else if (!uac2 && subtype == 2 && len >= 7 && c[p + 3] == 1) {
                format.Channels = c[p + 4];
                format.BytesPerSample = c[p + 5];
            }
        } else if (inSetting && type == 5 && len >= 7 && c[p + 2] == endpoint) {
            if (format.Channels == 0 || format.BytesPerSample == 0 || format.BytesPerSample > 4) {
                return std::nullopt;
            }
            return format;
        }
    }
    return std::nullopt;
}

Loopback::Loopback(LoopbackConfig config, uint32_t inMicroframesPerPacket)
    : m_config(config), m_inStep(std::max<uint32_t>(inMicroframesPerPacket, 1))
{
    size_t slots = 1;
    while (slots < static_cast<size_t>(config.Delay) + 32768) {
        slots <<= 1;
    }
    m_stamp.assign(slots, -1);
    m_samples.assign(slots * MAX_CHANNELS, 0);
}

int64_t Loopback::Microframes(uint32_t frame, uint32_t microframe)
{
    if (!m_originFrame) {
        m_originFrame = frame;
    }
    return static_cast<int64_t>(static_cast<int32_t>(frame - *m_originFrame)) * 8 + microframe;
}

int64_t Loopback::Position(int64_t microframes, uint32_t rate)
{
    const int64_t n = microframes * static_cast<int64_t>(rate);
    return n >= 0 ? n / 8000 : -((-n + 7999) / 8000);
}

void Loopback::Out(uint32_t frame, uint32_t microframe, uint32_t rate, const LoopFormat& format, const uint8_t* data,
                   uint32_t length)
{
    const uint32_t frameBytes = format.Channels * format.BytesPerSample;
    if (frameBytes == 0 || rate == 0) {
        return;
    }
    m_outChannels = std::min(format.Channels, MAX_CHANNELS);
    const int64_t first = Position(Microframes(frame, microframe), rate);
    const size_t mask = m_stamp.size() - 1;
    for (uint32_t k = 0; k < length / frameBytes; ++k) {
        const int64_t position = first + k;
        const size_t slot = static_cast<size_t>(position) & mask;
        m_stamp[slot] = position;
        for (uint32_t ch = 0; ch < m_outChannels; ++ch) {
            const uint8_t* s = data + k * frameBytes + ch * format.BytesPerSample;
            uint32_t value = 0;
            for (uint32_t b = 0; b < format.BytesPerSample; ++b) {
                value |= static_cast<uint32_t>(s[b]) << (8 * (4 - format.BytesPerSample + b));
            }
            m_samples[slot * MAX_CHANNELS + ch] = static_cast<int32_t>(value);
        }
    }
}

void Loopback::InTransfer(uint32_t, uint32_t frames) { m_inFrames = std::max<uint32_t>(frames, 1); }

uint32_t Loopback::In(uint32_t frame, uint32_t microframe, uint32_t rate, const LoopFormat& format, uint8_t* data,
                      uint32_t room)
{
    const uint32_t frameBytes = format.Channels * format.BytesPerSample;
    if (frameBytes == 0 || rate == 0) {
        return 0;
    }
    const int64_t at = Microframes(frame, microframe);
    const int64_t first = Position(at, rate);
    const int64_t count = std::min<int64_t>(Position(at + m_inStep, rate) - first, room / frameBytes);
    // The lag: the whole IN transfer's sample frames, rounded up.
    const int64_t lag = (static_cast<int64_t>(m_inFrames) * rate + 999) / 1000;
    const size_t mask = m_stamp.size() - 1;
    for (int64_t k = 0; k < count; ++k) {
        const int64_t source = first + k - lag - static_cast<int64_t>(m_config.Delay);
        const size_t slot = static_cast<size_t>(source) & mask;
        const bool held = source >= 0 && m_stamp[slot] == source;
        for (uint32_t ch = 0; ch < format.Channels; ++ch) {
            const uint32_t value =
                held && ch < m_outChannels && ch < MAX_CHANNELS ? static_cast<uint32_t>(m_samples[slot * MAX_CHANNELS + ch]) : 0;
            uint8_t* d = data + k * frameBytes + ch * format.BytesPerSample;
            for (uint32_t b = 0; b < format.BytesPerSample; ++b) {
                d[b] = static_cast<uint8_t>(value >> (8 * (4 - format.BytesPerSample + b)));
            }
        }
    }
    return static_cast<uint32_t>(std::max<int64_t>(count, 0)) * frameBytes;
}

}  // namespace sim
