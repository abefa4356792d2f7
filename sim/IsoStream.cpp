#include "sim/IsoStream.h"

#include <algorithm>
#include <cmath>

namespace sim {

// ---- the wire ----

uint64_t HashBytes(const uint8_t* data, size_t length, uint64_t hash)
{
    for (size_t i = 0; i < length; ++i) {
        hash = (hash ^ data[i]) * 0x100000001B3ull;
    }
    return hash;
}

void WireLog::Packet(uint32_t frame, uint32_t microframe, const uint8_t* data, uint32_t length)
{
    if (m_keepFrames) {
        m_frames.push_back({frame, microframe, true, length});
    }
    if (m_keepBytes) {
        m_bytes.insert(m_bytes.end(), data, data + length);
    }
    m_byteCount += length;
    m_hash = HashBytes(data, length, m_hash);
    m_packets++;
}

void WireLog::Gap(uint32_t first, uint32_t frames)
{
    for (uint32_t i = 0; i < frames && m_keepFrames; ++i) {
        m_frames.push_back({first + i, 0, false, 0});
    }
    m_empty += frames;
}

std::optional<size_t> FirstDifference(const Bytes& a, const Bytes& b)
{
    const size_t n = std::min(a.size(), b.size());
    const auto mismatch = std::mismatch(a.begin(), a.begin() + static_cast<ptrdiff_t>(n), b.begin());
    const auto at = static_cast<size_t>(mismatch.first - a.begin());
    if (at < n) {
        return at;
    }
    if (a.size() != b.size()) {
        return n;
    }
    return std::nullopt;
}

std::vector<uint32_t> EmptyFrameNumbers(const std::vector<WireFrame>& frames)
{
    std::vector<uint32_t> out;
    for (const WireFrame& f : frames) {
        if (!f.Present) {
            out.push_back(f.Frame);
        }
    }
    return out;
}

// ---- the sink ----

IsoSink::IsoSink(SinkConfig config, double ppm) : m_config(config), m_ppm(ppm)
{
    if (m_config.FrameBytes == 0) {
        m_config.FrameBytes = 1;
    }
    if (m_config.CapacityFrames == 0) {
        m_config.CapacityFrames = m_config.Rate / 50;
    }
    if (m_config.StartFrames == 0) {
        m_config.StartFrames = m_config.Rate / 500;
    }
    m_config.StartFrames = std::min(m_config.StartFrames, m_config.CapacityFrames);
    m_state.Rate = m_config.Rate;
}

double IsoSink::PlayRate(double timeMs) const
{
    switch (m_config.Sync) {
    case SinkSync::Synchronous: return m_config.Rate;
    case SinkSync::Asynchronous: return m_config.Rate * (1.0 + m_ppm * 1e-6);
    case SinkSync::Adaptive: {
        // The rate the data arrives at since playing started; the nominal one until there is some.
        const double elapsed = timeMs - m_startTime;
        if (elapsed < 1.0 || m_arrivedSinceStart == 0) {
            return m_config.Rate;
        }
        return static_cast<double>(m_arrivedSinceStart) / m_config.FrameBytes * 1000.0 / elapsed;
    }
    }
    return m_config.Rate;
}

void IsoSink::SetPpm(double ppm, double nowMs)
{
    if (m_state.Playing && !m_state.Rebuffering && m_config.Sync == SinkSync::Asynchronous) {
        Drain(nowMs);
        m_baseTime = nowMs;
        m_basePlayed = m_state.PlayedFrames;
    }
    m_ppm = ppm;
}

void IsoSink::Drain(double timeMs)
{
    const double rate = PlayRate(timeMs);
    m_state.Rate = rate;
    const auto target = m_basePlayed + static_cast<uint64_t>(std::floor(rate * (timeMs - m_baseTime) / 1000.0 + 1e-9));
    if (target <= m_state.PlayedFrames) {
        return;
    }
    const uint64_t want = target - m_state.PlayedFrames;
    const uint64_t available = m_state.FillBytes / m_config.FrameBytes;
    if (want > available) {
        m_state.Underruns++;
        m_state.MissingFrames += want - available;
        m_state.Rebuffering = true;
    }
    m_state.FillBytes -= std::min(want, available) * m_config.FrameBytes;
    m_state.PlayedFrames = target;
}

void IsoSink::Packet(double timeMs, uint32_t bytes)
{
    const bool playing = m_state.Playing && !m_state.Rebuffering;
    if (playing) {
        m_arrivedSinceStart += bytes;
        if (m_config.Sync == SinkSync::Adaptive) {
            // The recovered rate covers the run since playing started, so the base stays there.
            m_baseTime = m_startTime;
            m_basePlayed = m_startPlayed;
        }
        Drain(timeMs);
    }
    m_state.ReceivedBytes += bytes;
    const uint64_t capacity = static_cast<uint64_t>(m_config.CapacityFrames) * m_config.FrameBytes;
    const uint64_t room = capacity - m_state.FillBytes;
    if (bytes > room) {
        m_state.Overruns++;
        m_state.DroppedBytes += bytes - room;
        m_state.FillBytes = capacity;
    } else {
        m_state.FillBytes += bytes;
    }
    const auto fill = static_cast<int64_t>(m_state.FillBytes / m_config.FrameBytes);
    if (!m_state.Playing || m_state.Rebuffering) {
        if (fill >= m_config.StartFrames) {
            if (!m_state.Playing) {
                m_state.MinFillFrames = m_state.MaxFillFrames = fill;
            }
            m_state.Playing = true;
            m_state.Rebuffering = false;
            m_startTime = m_baseTime = timeMs;
            m_startPlayed = m_basePlayed = m_state.PlayedFrames;
            m_arrivedSinceStart = 0;
        }
        return;
    }
    m_state.MinFillFrames = std::min(m_state.MinFillFrames, fill);
    m_state.MaxFillFrames = std::max(m_state.MaxFillFrames, fill);
}

// ---- the source ----

int32_t IsoSource::Sample(uint64_t n, uint32_t channel, uint32_t bytesPerSample)
{
    // A ramp per channel, offset between channels: every sample is known and easy to locate.
    const auto v = static_cast<int32_t>((n * 7 + channel * 1000) % 65536) - 32768;
    return bytesPerSample > 2 ? v * (1 << (8 * (std::min<uint32_t>(bytesPerSample, 4) - 2))) : v;
}

Bytes IsoSource::StreamBytes(const AudioSource& format, uint64_t first, size_t n)
{
    Bytes out(n);
    const uint64_t bps = std::max<uint32_t>(format.BytesPerSample, 1);
    const uint64_t frameBytes = std::max<uint64_t>(format.Channels * bps, 1);
    for (size_t i = 0; i < n; ++i) {
        const uint64_t b = first + i;
        const uint64_t within = b % frameBytes;
        const auto v = static_cast<uint32_t>(Sample(b / frameBytes, static_cast<uint32_t>(within / bps),
                                                    static_cast<uint32_t>(bps)));
        const uint64_t shift = 8 * (within % bps);
        out[i] = shift < 32 ? static_cast<uint8_t>(v >> shift) : static_cast<uint8_t>(v >> 31 ? 0xFF : 0);
    }
    return out;
}

IsoSource::IsoSource(AudioSource format, double packetsPerSecond, double ppm)
    : m_format(format), m_packetsPerSecond(packetsPerSecond), m_ppm(ppm)
{
}

void IsoSource::SetPpm(double ppm)
{
    // Counted from the last clock change, so that no rounding error accumulates.
    m_baseFrames += static_cast<uint64_t>(std::floor(static_cast<long double>(m_sinceBase) * m_format.Rate *
                                                         (1.0L + m_ppm * 1e-6L) / m_packetsPerSecond + 1e-9L));
    m_sinceBase = 0;
    m_ppm = ppm;
}

uint32_t IsoSource::NextPacket(uint8_t* data, uint32_t length, uint32_t* reported)
{
    const uint64_t index = m_index++;
    m_sinceBase++;
    const uint64_t frameBytes = static_cast<uint64_t>(m_format.Channels) * m_format.BytesPerSample;
    *reported = 0;
    if (frameBytes == 0) {
        return 0;
    }
    const auto dueFrames = m_baseFrames + static_cast<uint64_t>(std::floor(
                                              static_cast<long double>(m_sinceBase) * m_format.Rate *
                                                  (1.0L + m_ppm * 1e-6L) / m_packetsPerSecond + 1e-9L));
    const uint64_t dueBytes = dueFrames * frameBytes;
    uint64_t send = dueBytes > m_produced ? dueBytes - m_produced : 0;
    if (send > length) {
        send = length - length % frameBytes;  // the rest follows in the next packets
    }
    uint64_t claim = 0;
    for (const ScriptedPacket& s : m_script) {
        if (s.Index != index) {
            continue;
        }
        switch (s.What) {
        case ScriptedPacket::Kind::Empty: send = 0; break;
        case ScriptedPacket::Kind::Short: send -= std::min<uint64_t>(send, s.Bytes); break;
        case ScriptedPacket::Kind::OddLength:
            send -= std::min<uint64_t>(send, s.Bytes != 0 ? s.Bytes : std::max<uint64_t>(frameBytes / 2, 1));
            break;
        case ScriptedPacket::Kind::Oversize: claim = length + std::max<uint32_t>(s.Bytes, 1); send = length; break;
        }
    }
    const Bytes bytes = StreamBytes(m_format, m_produced, static_cast<size_t>(send));
    std::copy(bytes.begin(), bytes.end(), data);
    m_produced += send;
    *reported = static_cast<uint32_t>(claim != 0 ? claim : send);
    return static_cast<uint32_t>(send);
}

}  // namespace sim
