// Simulator-only (not driver code): a loop from an isochronous OUT endpoint back into an IN
// endpoint, as a cable from the device's output to its input would make it. What the OUT endpoint
// plays comes back on the IN endpoint `delay` sample frames later.
//
// Time is the bus's: the packet of (micro)frame u carries the sample frames of positions
// [pos(u), pos(u + 1)) with pos(u) = floor(u x rate / packets per second). The OUT packet of u
// lays its samples down from pos(u); the IN packet of u returns the samples laid down at
// position q - lag - delay for each of its positions q. The bus hands the device a whole IN
// transfer at its end, before the OUT transfer of the same frames, so the device answers an IN
// transfer from what it played before the transfer began: the lag is the transfer's length in
// sample frames (48 for one 1 ms transfer at 48 kHz), the least a device on this bus can do.
// Channels are matched by number (missing ones are silent); samples keep their top bytes when the
// two endpoints' sample sizes differ. Positions never laid down (before playing started, or
// overwritten since) come back as silence.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sim/DescriptorBuilder.h"

namespace sim {

struct LoopbackConfig {
    uint8_t Out = 0;     // OUT endpoint address
    uint8_t In = 0;      // IN endpoint address (bit 7 set)
    uint32_t Delay = 0;  // sample frames
};

// The layout of an endpoint's samples in its current alternate setting.
struct LoopFormat {
    uint32_t Channels = 0;
    uint32_t BytesPerSample = 0;
};

// The format of the alternate setting `alternate` that holds `endpoint`, read from a UAC1 or
// UAC2 configuration descriptor; none when that setting has no such endpoint or no PCM format.
std::optional<LoopFormat> EndpointFormat(const Bytes& configuration, uint8_t endpoint, uint8_t alternate,
                                         bool uac2);

class Loopback {
public:
    // `inMicroframesPerPacket`: 8 at full speed (one packet a frame), 1 << (bInterval - 1) at high.
    Loopback(LoopbackConfig config, uint32_t inMicroframesPerPacket);

    const LoopbackConfig& Config() const { return m_config; }

    // An OUT packet of (micro)frame `frame` * 8 + `microframe` at `rate` frames per second.
    void Out(uint32_t frame, uint32_t microframe, uint32_t rate, const LoopFormat& format, const uint8_t* data,
             uint32_t length);
    // The IN transfer about to be answered starts at `startFrame` and spans `frames` frames.
    void InTransfer(uint32_t startFrame, uint32_t frames);
    // Fills the IN packet of (micro)frame `frame` * 8 + `microframe`; at most `room` bytes, whole
    // sample frames. Returns the bytes written.
    uint32_t In(uint32_t frame, uint32_t microframe, uint32_t rate, const LoopFormat& format, uint8_t* data,
                uint32_t room);

private:
    // Microframes since the first packet the loop saw, across the 32-bit frame number's wrap.
    int64_t Microframes(uint32_t frame, uint32_t microframe);
    static int64_t Position(int64_t microframes, uint32_t rate);

    LoopbackConfig m_config;
    uint32_t m_inStep;
    std::optional<uint32_t> m_originFrame;
    uint32_t m_inFrames = 1;  // length of the current IN transfer in frames
    // The laid-down samples: a ring of at least the delay plus 32,768 frames (at most 8 channels,
    // left-justified 32-bit).
    static constexpr uint32_t MAX_CHANNELS = 8;
    std::vector<int64_t> m_stamp;    // position held by each slot, or -1
    std::vector<int32_t> m_samples;  // slot * MAX_CHANNELS + channel
    uint32_t m_outChannels = 0;
};

}  // namespace sim
