// The check of `kvx record`: the recording must be an unbroken run of the device's known
// source (or of the driver's conversion of it), checked as the recording arrives.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/AudioEngine.h"
#include "tools/DriverConversion.h"

namespace kvx {

class SourceChecker {
public:
    // `format` is the recording's; `device` the format the device sends (the same when the
    // driver does not convert).
    SourceChecker(const host::AudioFormat& format, const host::AudioFormat& device);

    // Whole frames of the recording, in order.
    void Push(const uint8_t* pcm, size_t bytes);
    // True with "source matches: N frames ..." in *report, else false with the first frame
    // that differs (or why no start was found).
    bool Finish(std::string* report);
    uint64_t Frames() const { return m_frames; }

private:
    bool Converted() const { return !(m_format == m_device); }
    bool FindStart();
    bool CompareFrom(const uint8_t* pcm, size_t frames);
    std::vector<uint8_t> Source(uint64_t n0, uint64_t count) const;
    const uint8_t* ExpectedFrame(uint64_t frame);

    host::AudioFormat m_format;
    host::AudioFormat m_device;
    uint64_t m_frames = 0;
    std::vector<uint8_t> m_head;  // the first frames, until the start is found
    std::optional<uint64_t> m_start;
    bool m_failed = false;
    std::string m_failure;
    // Converted: the driver's conversion of the source from m_start, from frame m_expectedBase on.
    StreamConverter m_converter;
    uint64_t m_sourceFed = 0;
    std::vector<uint8_t> m_expected;
    uint64_t m_expectedBase = 0;
    std::vector<uint8_t> m_frame;  // scratch: one expected frame
};

}  // namespace kvx
