// The wire check of `kvx play`: what the device received must be silence, exactly the played
// data, silence. It runs as the stream does, holding only what the wire has not reached yet.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace kvx {

// The data arrives (Data, then EndData) from the thread that feeds the stream and the wire
// (Wire) from the device as packets arrive; either may run ahead. The data's first non-zero
// byte lines up with the wire's: that places the data on the wire (its lead, whole frames). The
// first tailFrames frames after the data may hold anything (a converted stream's filters
// ringing out into the silence that follows). A mismatch where the wire carries the data
// shifted is reported as a slip: "wire is N frames late from frame F of the file" (or "wire
// lost N frames at frame F of the file").
class WireChecker {
public:
    WireChecker(uint32_t blockAlign, uint64_t tailFrames = 0);

    void Data(const uint8_t* data, size_t bytes);
    void EndData();
    void Wire(const uint8_t* data, size_t bytes);

    // After EndData and the last Wire: true with "wire matches: N frames", else false with the
    // first differing frame and both values, a slip, or where the wire ends.
    bool Finish(std::string* report);
    // The wire offset where the data starts (bytes), once known.
    uint64_t Lead();

private:
    enum class Phase { Lead, Compare, Failed };
    void ProcessLocked();
    bool CompareOneLocked(const uint8_t* wireFrame);
    void FailLocked(uint64_t rel, const uint8_t* expected, const uint8_t* got, const std::string& where);
    std::string SlipLocked();
    const uint8_t* ExpectedAtLocked(uint64_t rel);

    std::mutex m_lock;
    const uint32_t m_blockAlign;
    const uint64_t m_tailFrames;
    Phase m_phase = Phase::Lead;

    // The data: bytes from m_expectedBase on (what the wire has not passed yet).
    std::vector<uint8_t> m_expected;
    uint64_t m_expectedBase = 0;
    uint64_t m_dataBytes = 0;
    bool m_dataEnded = false;
    std::optional<uint64_t> m_firstDataSound;  // offset of the data's first non-zero byte

    // The wire: zero bytes counted before its first sound, zeros still to compare, bytes not
    // compared yet (from m_pendingAt), and m_position, the wire offset of the next byte compared.
    uint64_t m_leadZeros = 0;
    uint64_t m_replayZeros = 0;
    std::vector<uint8_t> m_pending;
    size_t m_pendingAt = 0;
    uint64_t m_wireBytes = 0;
    uint64_t m_start = 0;
    uint64_t m_position = 0;

    // The first mismatch, and the wire frames after it, kept to tell a slip.
    std::string m_failure;
    uint64_t m_failFrame = 0;
    bool m_failInData = false;
    std::vector<uint8_t> m_afterFailure;
};

// The whole wire against the whole data at once; *lead is where the data starts on the wire.
bool CheckWire(const std::vector<uint8_t>& wire, const std::vector<uint8_t>& data, uint32_t blockAlign, uint64_t* lead,
               std::string* report, uint64_t tailFrames = 0);

}  // namespace kvx
