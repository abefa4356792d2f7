// Host side: the engine's latency figures. A byte stream is described twice, as runs of bytes
// with the USB frame they belong to: once where the driver copied them out of the cyclic buffer
// (the render fills seen on the endpoint's callback object) and once where they went out on the
// wire. Sample n's latency is the frame of its packet minus the frame of its fill.
#pragma once

#include <cstdint>
#include <vector>

namespace host {

struct FrameRun {
    uint32_t Frame;  // USB frame (32 bits, wrapping)
    uint32_t Bytes;
};

struct LatencyFigures {
    uint64_t Samples = 0;  // sample frames present in both descriptions
    uint32_t MaxFrames = 0;
    double MeanFrames = 0;
};

// Over the sample frames (`blockAlign` bytes each) both descriptions hold, in order.
LatencyFigures MeasureLatency(const std::vector<FrameRun>& fills, const std::vector<FrameRun>& wire, uint32_t blockAlign);

// One write of the engine: the time it was made (ms) and the client bytes written up to its end.
struct WriteMark {
    double TimeMs;
    uint64_t EndOffset;
};

struct WriteToWire {
    uint64_t Writes = 0;  // writes whose first byte reached the wire
    double MaxMs = 0;
    double MeanMs = 0;
};

// From the engine's write to the start of the frame whose packet carries the write's first byte;
// client byte k is wire byte `lead` + k, and frame f starts at f ms.
WriteToWire MeasureWriteToWire(const std::vector<WriteMark>& writes, const std::vector<FrameRun>& wire, uint64_t lead);

}  // namespace host
