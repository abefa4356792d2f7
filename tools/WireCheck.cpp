#include "tools/WireCheck.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>

namespace kvx {
namespace {

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

}  // namespace

bool CheckWire(const std::vector<uint8_t>& wire, const std::vector<uint8_t>& data, uint32_t blockAlign, uint64_t* lead,
               std::string* report, uint64_t tailFrames)
{
    const size_t frames = data.size() / blockAlign;
    const auto firstData = std::find_if(data.begin(), data.end(), [](uint8_t b) { return b != 0; });
    const auto firstWire = std::find_if(wire.begin(), wire.end(), [](uint8_t b) { return b != 0; });
    // Where the data starts on the wire: its first sound lines up with the wire's.
    size_t start = 0;
    if (firstData != data.end() && firstWire != wire.end()) {
        const size_t d = static_cast<size_t>(firstData - data.begin());
        const size_t w = static_cast<size_t>(firstWire - wire.begin());
        start = w >= d ? (w - d) / blockAlign * blockAlign : 0;
    }
    *lead = start;
    const size_t total = std::max(wire.size(), start + data.size());
    const std::vector<uint8_t> silence(blockAlign, 0);
    for (size_t at = 0; at < total; at += blockAlign) {
        const bool inData = at >= start && at - start < data.size();
        const uint8_t* expected = inData ? data.data() + (at - start) : silence.data();
        const bool inTail = at >= start + data.size() && (at - start - data.size()) / blockAlign < tailFrames;
        if (inTail && at + blockAlign <= wire.size()) continue;
        if (at + blockAlign > wire.size()) {
            *report = "wire ends at frame " + std::to_string((at - std::min(at, start)) / blockAlign) + " of " +
                      std::to_string(frames) + " (" + std::to_string(wire.size() / blockAlign) + " frames on the wire)";
            return false;
        }
        if (!std::equal(expected, expected + blockAlign, wire.begin() + static_cast<ptrdiff_t>(at))) {
            const std::string where = inData ? "frame " + std::to_string((at - start) / blockAlign) + " of the file"
                                     : at < start ? "silence before the file, wire frame " + std::to_string(at / blockAlign)
                                                  : "silence after the file, wire frame " + std::to_string(at / blockAlign);
            *report = "wire differs at " + where + ": expected " + Bytes(expected, blockAlign) + ", got " +
                      Bytes(wire.data() + at, blockAlign);
            return false;
        }
    }
    *report = "wire matches: " + std::to_string(frames) + " frames";
    return true;
}

}  // namespace kvx
