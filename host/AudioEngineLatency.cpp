#include "host/AudioEngineLatency.h"

#include <algorithm>

namespace host {

LatencyFigures MeasureLatency(const std::vector<FrameRun>& fills, const std::vector<FrameRun>& wire, uint32_t blockAlign)
{
    LatencyFigures figures;
    if (blockAlign == 0) return figures;
    size_t f = 0, w = 0;
    uint64_t fillLeft = fills.empty() ? 0 : fills[0].Bytes;
    uint64_t wireLeft = wire.empty() ? 0 : wire[0].Bytes;
    uint64_t bytes = 0;
    double sum = 0;
    // Walks both byte streams together; each stretch where neither run changes has one latency.
    while (f < fills.size() && w < wire.size()) {
        if (fillLeft == 0) {
            if (++f < fills.size()) fillLeft = fills[f].Bytes;
            continue;
        }
        if (wireLeft == 0) {
            if (++w < wire.size()) wireLeft = wire[w].Bytes;
            continue;
        }
        const uint64_t n = std::min(fillLeft, wireLeft);
        const uint32_t frames = wire[w].Frame - fills[f].Frame;
        // A sample is counted at its first byte.
        const uint64_t first = (bytes + blockAlign - 1) / blockAlign;
        const uint64_t end = (bytes + n + blockAlign - 1) / blockAlign;
        if (end > first) {
            figures.MaxFrames = std::max(figures.MaxFrames, frames);
            sum += static_cast<double>(frames) * static_cast<double>(end - first);
            figures.Samples += end - first;
        }
        bytes += n;
        fillLeft -= n;
        wireLeft -= n;
    }
    figures.MeanFrames = figures.Samples != 0 ? sum / static_cast<double>(figures.Samples) : 0;
    return figures;
}

WriteToWire MeasureWriteToWire(const std::vector<WriteMark>& writes, const std::vector<FrameRun>& wire, uint64_t lead)
{
    WriteToWire result;
    uint64_t start = 0;  // client offset of the write's first byte
    size_t w = 0;
    uint64_t wireStart = 0;  // wire offset of packet w
    double sum = 0;
    for (const WriteMark& mark : writes) {
        const uint64_t target = lead + start;
        start = mark.EndOffset;
        while (w < wire.size() && wireStart + wire[w].Bytes <= target) {
            wireStart += wire[w].Bytes;
            ++w;
        }
        if (w == wire.size()) break;
        const double ms = static_cast<double>(wire[w].Frame) - mark.TimeMs;
        result.MaxMs = result.Writes == 0 ? ms : std::max(result.MaxMs, ms);
        sum += ms;
        ++result.Writes;
    }
    result.MeanMs = result.Writes != 0 ? sum / static_cast<double>(result.Writes) : 0;
    return result;
}

}  // namespace host
