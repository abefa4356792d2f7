// Simulator-only (not driver code): the isochronous side of a simulated device. The wire of an
// OUT endpoint (each (micro)frame's packet or none), the sink that plays what arrives from a
// FIFO on the device's clock, and the source that produces IN packets of known audio on it.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "sim/DescriptorBuilder.h"

namespace sim {

// ---- the wire ----

// One (micro)frame of an OUT endpoint: the packet it carried, or none (Present false).
struct WireFrame {
    uint32_t Frame;
    uint32_t Microframe;
    bool Present;
    uint32_t Length;  // bytes of the packet
};

// Everything an OUT endpoint received, in frame order. The bytes can be dropped for long runs;
// their count and a running FNV-1a hash are always kept.
class WireLog {
public:
    void Packet(uint32_t frame, uint32_t microframe, const uint8_t* data, uint32_t length);
    // `frames` frames from `first` that carried nothing.
    void Gap(uint32_t first, uint32_t frames);
    void KeepBytes(bool keep) { m_keepBytes = keep; }
    // Without frames only the counts are kept (Frames() stays empty from then on).
    void KeepFrames(bool keep) { m_keepFrames = keep; }

    const std::vector<WireFrame>& Frames() const { return m_frames; }
    const Bytes& Stream() const { return m_bytes; }
    uint64_t ByteCount() const { return m_byteCount; }
    uint64_t Hash() const { return m_hash; }
    uint64_t EmptyFrames() const { return m_empty; }
    uint64_t Packets() const { return m_packets; }

private:
    std::vector<WireFrame> m_frames;
    Bytes m_bytes;
    bool m_keepBytes = true;
    bool m_keepFrames = true;
    uint64_t m_byteCount = 0;
    uint64_t m_hash = 0xCBF29CE484222325ull;
    uint64_t m_empty = 0;
    uint64_t m_packets = 0;
};

// FNV-1a over bytes, continuing from `hash` (start with the default): what WireLog::Hash holds
// after the same bytes.
uint64_t HashBytes(const uint8_t* data, size_t length, uint64_t hash = 0xCBF29CE484222325ull);
// The first offset at which the two byte streams differ (one ending early counts); none when equal.
std::optional<size_t> FirstDifference(const Bytes& a, const Bytes& b);
// The frames of a wire log that carried nothing.
std::vector<uint32_t> EmptyFrameNumbers(const std::vector<WireFrame>& frames);

// ---- the sink ----

enum class SinkSync {
    Synchronous,   // plays at the nominal rate, locked to the host's frames
    Adaptive,      // plays at the rate it recovers from the data arriving
    Asynchronous,  // plays at nominal x (1 + ppm) of its own clock; the feedback endpoint says so
};

struct SinkConfig {
    SinkSync Sync = SinkSync::Synchronous;
    uint32_t Rate = 48000;        // nominal frames per second
    uint32_t FrameBytes = 4;      // bytes per audio frame (all channels)
    uint32_t CapacityFrames = 0;  // FIFO size; 0: 20 ms of audio
    uint32_t StartFrames = 0;     // fill at which playing starts; 0: 2 ms of audio
};

struct SinkState {
    bool Playing = false;         // started (at its start level) at least once
    bool Rebuffering = false;     // after an underrun: silent until it has its start level again
    uint64_t FillBytes = 0;
    int64_t MinFillFrames = 0;    // after each packet once playing
    int64_t MaxFillFrames = 0;
    uint64_t ReceivedBytes = 0;
    uint64_t PlayedFrames = 0;    // silence of an underrun included
    uint64_t Underruns = 0;       // times the device found too little to play (it then re-buffers)
    uint64_t MissingFrames = 0;   // frames it played as silence then
    uint64_t Overruns = 0;        // packets that did not fit
    uint64_t DroppedBytes = 0;
    double Rate = 0;              // frames per second it plays at now
};

// A FIFO filled by the packets and drained by the device clock. Times are in milliseconds of
// the host's frames (frame + microframe / 8), increasing. Playing starts at the start level; a
// device that finds too little plays what it has, goes silent and starts again once it has its
// start level back, as a DAC's FIFO does.
class IsoSink {
public:
    IsoSink(SinkConfig config, double ppm);
    void SetPpm(double ppm, double nowMs);
    void Packet(double timeMs, uint32_t bytes);
    SinkState State() const { return m_state; }
    const SinkConfig& Config() const { return m_config; }
    // Frames below the level it started playing at (negative above it); 0 until it plays.
    double FillErrorFrames() const
    {
        return m_state.Playing ? static_cast<double>(m_config.StartFrames) -
                                     static_cast<double>(m_state.FillBytes / m_config.FrameBytes)
                               : 0.0;
    }

private:
    void Drain(double timeMs);
    double PlayRate(double timeMs) const;

    SinkConfig m_config;
    SinkState m_state;
    double m_ppm;
    double m_baseTime = 0;      // playing since, or the last rate change
    uint64_t m_basePlayed = 0;  // frames played at the base time
    double m_startTime = 0;
    uint64_t m_startPlayed = 0;        // frames played when playing (re)started
    uint64_t m_arrivedSinceStart = 0;  // bytes that came after playing started
};

// ---- the source ----

// One packet of an IN source made different on purpose, by its index since SetSource.
struct ScriptedPacket {
    enum class Kind {
        Empty,      // nothing; the audio follows in the next packets
        Short,      // `Bytes` fewer bytes than due (whole frames when a multiple of the frame size)
        OddLength,  // ends inside a frame: `Bytes` fewer than due, half a frame when 0
        Oversize,   // `Bytes` more than the packet may hold: the bus sees babble
    };
    uint64_t Index;
    Kind What;
    uint32_t Bytes = 0;
};

struct AudioSource {
    uint32_t Rate = 48000;
    uint32_t Channels = 2;
    uint32_t BytesPerSample = 2;
};

// Known audio on the device clock: packet n carries the frames due by the end of its interval at
// rate x (1 + ppm), as one continuous byte stream (a short packet moves the rest to the next ones,
// at most a packet's room at a time). Intervals without an IN transfer do not count: the source
// waits for the host rather than losing audio.
class IsoSource {
public:
    IsoSource(AudioSource format, double packetsPerSecond, double ppm);
    void SetPpm(double ppm);
    void Script(std::vector<ScriptedPacket> packets) { m_script = std::move(packets); }
    // Fills at most `length` bytes; returns what was written and sets *reported to what the
    // device claims to have sent (more than `length` for an oversize packet).
    uint32_t NextPacket(uint8_t* data, uint32_t length, uint32_t* reported);
    uint64_t ProducedBytes() const { return m_produced; }
    const AudioSource& Format() const { return m_format; }

    // Sample n of channel c: a count per channel (a ramp, offset between channels), 16-bit range
    // scaled up for wider samples.
    static int32_t Sample(uint64_t n, uint32_t channel, uint32_t bytesPerSample);
    // Bytes [first, first + n) of the stream a source of the format produces.
    static Bytes StreamBytes(const AudioSource& format, uint64_t first, size_t n);

private:
    AudioSource m_format;
    double m_packetsPerSecond;
    double m_ppm;
    uint64_t m_index = 0;         // packets since SetSource
    uint64_t m_sinceBase = 0;     // packets since the last clock change
    uint64_t m_baseFrames = 0;    // frames due at the last clock change
    uint64_t m_produced = 0;      // bytes sent
    std::vector<ScriptedPacket> m_script;
};

}  // namespace sim
