// The wire check of `kvx play`: what the device received must be silence, exactly the played
// data, silence.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvx {

// True with "wire matches: N frames" in *report, else false with the first differing frame and
// both values (or where the wire ends). *lead is the wire offset where the data starts: the
// data's first non-zero byte lines up with the wire's. The first tailFrames frames after the data
// may hold anything (a converted stream's filters ringing out into the silence that follows).
bool CheckWire(const std::vector<uint8_t>& wire, const std::vector<uint8_t>& data, uint32_t blockAlign, uint64_t* lead,
               std::string* report, uint64_t tailFrames = 0);

}  // namespace kvx
