// What the driver does with a stream format its endpoint lacks, computed as the driver computes
// it, so that `kvx play` and `kvx record` can check the wire and the recording exactly: the device
// format the wave stream chooses, and a fresh format adapter's conversion of a whole stream in one
// call (the driver gives the same bytes however the stream is cut into transfers).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "host/AudioEngine.h"

class CDspInterleaveSrc;

namespace kvx {

// PCM at 44.1, 48, 88.2, 96, 176.4 or 192 kHz with 1 to 8 channels of 16, 24 or 32 bits.
bool DriverConverts(const host::AudioFormat& stream);
// The format the driver runs the device in for a stream format the device lacks, from the
// endpoint's formats; none when the driver does not convert it.
std::optional<host::AudioFormat> ConvertedDeviceFormat(const host::AudioFormat& stream,
                                                       const std::vector<host::AudioFormat>& deviceFormats);
// A fresh adapter's conversion of `data` (frames of `in`) into at most outFrames frames of `out`;
// empty when the adapter refuses the pair.
std::vector<uint8_t> ConvertOnce(const host::AudioFormat& in, const host::AudioFormat& out,
                                 const std::vector<uint8_t>& data, uint64_t outFrames);

// One format adapter kept across a stream's blocks: the same bytes as ConvertOnce of the whole.
class StreamConverter {
public:
    StreamConverter() = default;
    ~StreamConverter();
    StreamConverter(const StreamConverter&) = delete;
    StreamConverter& operator=(const StreamConverter&) = delete;
    // False when the adapter refuses the pair (or no memory).
    bool Start(const host::AudioFormat& in, const host::AudioFormat& out);
    // Converts whole frames of `in`; the frames of `out` they give.
    std::vector<uint8_t> Push(const uint8_t* data, size_t bytes);

private:
    ::CDspInterleaveSrc* m_src = nullptr;
    host::AudioFormat m_in{};
    host::AudioFormat m_out{};
};

}  // namespace kvx
