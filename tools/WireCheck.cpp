#include "tools/WireCheck.h"

#include <algorithm>
#include <cstdio>

namespace kvx {
namespace {

// Wire frames kept after a mismatch to tell a slip, and the shifts and run tried.
constexpr uint64_t SLIP_WINDOW_FRAMES = 9600;
constexpr uint64_t SLIP_RUN_FRAMES = 480;
constexpr uint64_t SLIP_MIN_RUN_FRAMES = 8;
// Compared data is dropped in steps of this many bytes.
constexpr uint64_t TRIM_BYTES = 1 << 20;

std::string Bytes(const uint8_t* p, size_t n)
{
    std::string text;
    char hex[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(hex, sizeof hex, "%s%02x", i == 0 ? "" : " ", p[i]);
        text += hex;
    }
    return text;
}

bool AllZero(const uint8_t* p, size_t n)
{
    return std::all_of(p, p + n, [](uint8_t b) { return b == 0; });
}

}  // namespace

WireChecker::WireChecker(uint32_t blockAlign, uint64_t tailFrames) : m_blockAlign(blockAlign), m_tailFrames(tailFrames) {}

void WireChecker::Data(const uint8_t* data, size_t bytes)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (!m_firstDataSound) {
        const uint8_t* sound = std::find_if(data, data + bytes, [](uint8_t b) { return b != 0; });
        if (sound != data + bytes) m_firstDataSound = m_dataBytes + static_cast<uint64_t>(sound - data);
    }
    m_expected.insert(m_expected.end(), data, data + bytes);
    m_dataBytes += bytes;
    ProcessLocked();
}

void WireChecker::EndData()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_dataEnded = true;
    ProcessLocked();
}

void WireChecker::Wire(const uint8_t* data, size_t bytes)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_wireBytes += bytes;
    if (m_phase == Phase::Failed) {
        const size_t room = SLIP_WINDOW_FRAMES * m_blockAlign - std::min<size_t>(m_afterFailure.size(), SLIP_WINDOW_FRAMES * m_blockAlign);
        m_afterFailure.insert(m_afterFailure.end(), data, data + std::min(bytes, room));
        return;
    }
    size_t from = 0;
    if (m_phase == Phase::Lead && m_pending.size() == m_pendingAt) {
        // Silence before the wire's first sound is only counted.
        const uint8_t* sound = std::find_if(data, data + bytes, [](uint8_t b) { return b != 0; });
        from = static_cast<size_t>(sound - data);
        m_leadZeros += from;
    }
    m_pending.insert(m_pending.end(), data + from, data + bytes);
    ProcessLocked();
}

uint64_t WireChecker::Lead()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_start;
}

const uint8_t* WireChecker::ExpectedAtLocked(uint64_t rel) { return m_expected.data() + (rel - m_expectedBase); }

void WireChecker::ProcessLocked()
{
    if (m_phase == Phase::Lead) {
        if (m_pending.size() == m_pendingAt) return;  // no sound on the wire yet
        if (!m_firstDataSound && !m_dataEnded) return;
        // The first sounds line up: the data starts that far ahead of the wire's, in whole frames.
        const uint64_t w = m_leadZeros;
        const uint64_t d = m_firstDataSound.value_or(0);
        m_start = m_firstDataSound && w >= d ? (w - d) / m_blockAlign * m_blockAlign : 0;
        m_position = m_start;
        m_replayZeros = w - m_start;
        m_phase = Phase::Compare;
    }
    std::vector<uint8_t> frame(m_blockAlign);
    while (m_phase == Phase::Compare) {
        if (m_replayZeros + (m_pending.size() - m_pendingAt) < m_blockAlign) break;
        const uint64_t rel = m_position - m_start;
        // Data or what follows it: not known until the data has reached this far or ended.
        if (rel + m_blockAlign > m_dataBytes && !m_dataEnded) break;
        size_t filled = 0;
        const auto zeros = static_cast<size_t>(std::min<uint64_t>(m_replayZeros, m_blockAlign));
        std::fill_n(frame.begin(), zeros, 0);
        m_replayZeros -= zeros;
        filled = zeros;
        const size_t rest = m_blockAlign - filled;
        std::copy_n(m_pending.begin() + static_cast<ptrdiff_t>(m_pendingAt), rest, frame.begin() + static_cast<ptrdiff_t>(filled));
        m_pendingAt += rest;
        if (!CompareOneLocked(frame.data())) {
            m_afterFailure.assign(frame.begin(), frame.end());
            m_afterFailure.resize(m_afterFailure.size() + static_cast<size_t>(std::min<uint64_t>(m_replayZeros, SLIP_WINDOW_FRAMES * m_blockAlign)), 0);
            m_afterFailure.insert(m_afterFailure.end(), m_pending.begin() + static_cast<ptrdiff_t>(m_pendingAt), m_pending.end());
            m_afterFailure.resize(std::min<size_t>(m_afterFailure.size(), SLIP_WINDOW_FRAMES * m_blockAlign));
            m_pending.clear();
            m_pendingAt = 0;
            m_phase = Phase::Failed;
            break;
        }
        m_position += m_blockAlign;
        const uint64_t next = m_position - m_start;
        if (next > m_expectedBase + TRIM_BYTES && next <= m_expectedBase + m_expected.size()) {
            m_expected.erase(m_expected.begin(), m_expected.begin() + static_cast<ptrdiff_t>(next - m_expectedBase));
            m_expectedBase = next;
        }
    }
    if (m_pendingAt > TRIM_BYTES) {
        m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<ptrdiff_t>(m_pendingAt));
        m_pendingAt = 0;
    }
}

bool WireChecker::CompareOneLocked(const uint8_t* wireFrame)
{
    const uint64_t rel = m_position - m_start;
    if (rel < m_dataBytes) {
        const uint8_t* expected = ExpectedAtLocked(rel);
        if (std::equal(expected, expected + m_blockAlign, wireFrame)) return true;
        FailLocked(rel, expected, wireFrame, "frame " + std::to_string(rel / m_blockAlign) + " of the file");
        m_failInData = true;
        return false;
    }
    if ((rel - m_dataBytes) / m_blockAlign < m_tailFrames) return true;
    if (AllZero(wireFrame, m_blockAlign)) return true;
    const std::vector<uint8_t> silence(m_blockAlign, 0);
    FailLocked(rel, silence.data(), wireFrame, "silence after the file, wire frame " + std::to_string(m_position / m_blockAlign));
    return false;
}

void WireChecker::FailLocked(uint64_t rel, const uint8_t* expected, const uint8_t* got, const std::string& where)
{
    m_failFrame = rel / m_blockAlign;
    m_failure = "wire differs at " + where + ": expected " + Bytes(expected, m_blockAlign) + ", got " + Bytes(got, m_blockAlign);
}

// The data from the failing frame on, found further along the wire (late: something was put
// before it) or earlier (frames of it lost), over a run with sound in it.
std::string WireChecker::SlipLocked()
{
    if (!m_failInData) return m_failure;
    const uint64_t ba = m_blockAlign;
    const uint64_t dataFrames = (m_dataBytes - m_failFrame * ba) / ba;
    const uint8_t* data = ExpectedAtLocked(m_failFrame * ba);
    const uint64_t wireFrames = m_afterFailure.size() / ba;
    const uint8_t* wire = m_afterFailure.data();
    auto matches = [&](const uint8_t* a, const uint8_t* b, uint64_t frames) {
        return frames >= SLIP_MIN_RUN_FRAMES && !AllZero(b, frames * ba) && std::equal(a, a + frames * ba, b);
    };
    for (uint64_t n = 1; n < std::max(wireFrames, dataFrames); ++n) {
        if (n < wireFrames) {
            const uint64_t run = std::min({wireFrames - n, dataFrames, SLIP_RUN_FRAMES});
            if (matches(wire + n * ba, data, run)) {
                return "wire is " + std::to_string(n) + " frames late from frame " + std::to_string(m_failFrame) + " of the file";
            }
        }
        if (n < dataFrames && n <= SLIP_WINDOW_FRAMES) {
            const uint64_t run = std::min({wireFrames, dataFrames - n, SLIP_RUN_FRAMES});
            if (matches(wire, data + n * ba, run)) {
                return "wire lost " + std::to_string(n) + " frames at frame " + std::to_string(m_failFrame) + " of the file";
            }
        }
    }
    return m_failure;
}

bool WireChecker::Finish(std::string* report)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_dataEnded = true;
    if (m_phase == Phase::Lead && m_pending.size() == m_pendingAt) {
        // The wire never sounded: it is compared as silence from its start.
        m_start = 0;
        m_position = 0;
        m_replayZeros = m_leadZeros;
        m_phase = Phase::Compare;
    }
    ProcessLocked();
    const uint64_t frames = m_dataBytes / m_blockAlign;
    if (m_phase == Phase::Failed) {
        *report = SlipLocked();
        return false;
    }
    if (m_position < m_start + m_dataBytes) {
        *report = "wire ends at frame " + std::to_string((m_position - std::min(m_position, m_start)) / m_blockAlign) +
                  " of " + std::to_string(frames) + " (" + std::to_string(m_wireBytes / m_blockAlign) +
                  " frames on the wire)";
        return false;
    }
    *report = "wire matches: " + std::to_string(frames) + " frames";
    return true;
}

bool CheckWire(const std::vector<uint8_t>& wire, const std::vector<uint8_t>& data, uint32_t blockAlign, uint64_t* lead,
               std::string* report, uint64_t tailFrames)
{
    WireChecker checker(blockAlign, tailFrames);
    checker.Data(data.data(), data.size());
    checker.EndData();
    checker.Wire(wire.data(), wire.size());
    const bool matches = checker.Finish(report);
    *lead = checker.Lead();
    return matches;
}

}  // namespace kvx
