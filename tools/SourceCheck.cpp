#include "tools/SourceCheck.h"

#include <algorithm>

#include "sim/SimDevice.h"
#include "tools/AudioFile.h"
#include "tools/StreamCommand.h"

namespace kvx {
namespace {

// Frames the start is found from (fewer when the recording is shorter).
constexpr uint64_t PROBE_FRAMES = 64;
// Source frames converted at a time.
constexpr uint64_t SOURCE_BLOCK = 4800;

}  // namespace

SourceChecker::SourceChecker(const host::AudioFormat& format, const host::AudioFormat& device)
    : m_format(format), m_device(device), m_frame(format.BlockAlign())
{
}

// Source frames n0 .. n0 + count in the device's format.
std::vector<uint8_t> SourceChecker::Source(uint64_t n0, uint64_t count) const
{
    const uint32_t bytes = m_device.Container / 8u;
    std::vector<uint8_t> data(count * m_device.BlockAlign());
    for (uint64_t f = 0; f < count; ++f) {
        for (uint32_t c = 0; c < m_device.Channels; ++c) {
            const int64_t v = sim::SimDevice::SourceSample(n0 + f, c, bytes);
            for (uint32_t b = 0; b < bytes; ++b) {
                data[(f * m_device.Channels + c) * bytes + b] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * b));
            }
        }
    }
    return data;
}

// The source frame the recording starts at: among the first 10 s of the source for its own
// format, the first 0.1 s for a conversion (whose first frames are matched as a whole).
bool SourceChecker::FindStart()
{
    const uint64_t frames = m_head.size() / m_format.BlockAlign();
    if (!Converted()) {
        const uint32_t bytes = m_format.Container / 8u;
        for (uint64_t n0 = 0; n0 < 10u * m_format.Rate; ++n0) {
            bool same = true;
            for (uint32_t c = 0; c < m_format.Channels && same; ++c) {
                same = PcmSample(m_head.data(), c, m_format.Container) == sim::SimDevice::SourceSample(n0, c, bytes);
            }
            if (same) {
                m_start = n0;
                return true;
            }
        }
        return false;
    }
    for (uint64_t n0 = 0; n0 < m_device.Rate / 10; ++n0) {
        const std::vector<uint8_t> head =
            ConvertOnce(m_device, m_format, Source(n0, frames * m_device.Rate / m_format.Rate + 64), frames);
        if (head.size() == m_head.size() && std::equal(head.begin(), head.end(), m_head.begin())) {
            m_start = n0;
            return m_converter.Start(m_device, m_format);
        }
    }
    return false;
}

const uint8_t* SourceChecker::ExpectedFrame(uint64_t frame)
{
    if (!Converted()) {
        const uint32_t bytes = m_format.Container / 8u;
        for (uint32_t c = 0; c < m_format.Channels; ++c) {
            const int64_t v = sim::SimDevice::SourceSample(*m_start + frame, c, bytes);
            for (uint32_t b = 0; b < bytes; ++b) m_frame[c * bytes + b] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * b));
        }
        return m_frame.data();
    }
    const uint32_t align = m_format.BlockAlign();
    while ((frame - m_expectedBase + 1) * align > m_expected.size()) {
        const std::vector<uint8_t> source = Source(*m_start + m_sourceFed, SOURCE_BLOCK);
        m_sourceFed += SOURCE_BLOCK;
        const std::vector<uint8_t> more = m_converter.Push(source.data(), source.size());
        if (more.empty() && m_sourceFed > (frame + 1) * m_device.Rate / m_format.Rate + 4 * SOURCE_BLOCK) return nullptr;
        m_expected.insert(m_expected.end(), more.begin(), more.end());
    }
    // Frames before this one are not asked again.
    const uint64_t drop = frame - m_expectedBase;
    if (drop * align > (1u << 20)) {
        m_expected.erase(m_expected.begin(), m_expected.begin() + static_cast<ptrdiff_t>(drop * align));
        m_expectedBase = frame;
    }
    return m_expected.data() + (frame - m_expectedBase) * align;
}

bool SourceChecker::CompareFrom(const uint8_t* pcm, size_t frames)
{
    const uint32_t align = m_format.BlockAlign();
    const uint64_t first = m_frames - frames;
    for (size_t f = 0; f < frames; ++f) {
        const uint8_t* expected = ExpectedFrame(first + f);
        const uint8_t* got = pcm + f * align;
        if (expected != nullptr && std::equal(expected, expected + align, got)) continue;
        const uint64_t at = first + f;
        if (Converted() || expected == nullptr) {
            m_failure = "recording differs from the driver's conversion of the source at frame " + std::to_string(at);
        } else {
            for (uint32_t c = 0; c < m_format.Channels; ++c) {
                const int32_t e = PcmSample(expected, c, m_format.Container), g = PcmSample(got, c, m_format.Container);
                if (e == g) continue;
                m_failure = "recording differs from the source at frame " + std::to_string(at) + ", channel " +
                            std::to_string(c) + ": expected " + std::to_string(e) + ", got " + std::to_string(g);
                break;
            }
        }
        return false;
    }
    return true;
}

void SourceChecker::Push(const uint8_t* pcm, size_t bytes)
{
    const size_t frames = bytes / m_format.BlockAlign();
    m_frames += frames;
    if (m_failed) return;
    if (!m_start) {
        m_head.insert(m_head.end(), pcm, pcm + frames * m_format.BlockAlign());
        if (m_head.size() / m_format.BlockAlign() < PROBE_FRAMES) return;
        m_head.resize(PROBE_FRAMES * m_format.BlockAlign());
        if (!FindStart()) {
            m_failed = true;
            m_failure = Converted() ? "recording does not match the driver's conversion of the source from any of its first frames"
                                    : "recording does not match the source: its first frame is not a source frame";
            return;
        }
        // The frames held so far, then the rest of this block.
        const uint64_t held = m_frames;
        m_frames = PROBE_FRAMES;
        const std::vector<uint8_t> head = m_head;
        m_failed = !CompareFrom(head.data(), PROBE_FRAMES);
        m_frames = held;
        const size_t rest = frames - (PROBE_FRAMES - (held - frames));
        if (!m_failed) m_failed = !CompareFrom(pcm + (frames - rest) * m_format.BlockAlign(), rest);
        m_head.clear();
        return;
    }
    m_failed = !CompareFrom(pcm, frames);
}

bool SourceChecker::Finish(std::string* report)
{
    if (m_frames == 0) {
        *report = "nothing recorded";
        return false;
    }
    if (!m_start && !m_failed) {
        // A recording shorter than the probe: the start is found from all of it.
        if (!FindStart()) {
            m_failed = true;
            m_failure = Converted() ? "recording does not match the driver's conversion of the source from any of its first frames"
                                    : "recording does not match the source: its first frame is not a source frame";
        } else {
            const std::vector<uint8_t> head = m_head;
            m_failed = !CompareFrom(head.data(), head.size() / m_format.BlockAlign());
        }
    }
    if (m_failed) {
        *report = m_failure;
        return false;
    }
    *report = "source matches: " + std::to_string(m_frames) + " frames";
    if (Converted()) *report += ", as the driver converts " + FormatText(m_device);
    if (*m_start != 0) *report += " (from source frame " + std::to_string(*m_start) + ")";
    return true;
}

}  // namespace kvx
