// A delay line of whole blocks: each Push keeps the last delay + size samples, oldest first, so
// that the line's first size samples are the pushed block delayed by delay samples. Serves the
// block driver's split-band option, which the system does not switch on.
//
// The line comes from non-paged pool ("JQZP"), zeroed; construction and Release at PASSIVE_LEVEL.
#pragma once

#include <cstdint>

class SimpleSampleDelay {
public:
    SimpleSampleDelay(int32_t delay, int32_t bufSize);

    // Returns size, or 0 (nothing changed) when the line is missing, data is null or size is
    // negative or above the block size given at construction.
    int32_t Push(const float* data, int32_t size);
    void Release();

    bool IsValid() const { return m_bValid != 0; }
    const float* Line() const { return m_pLine; }

private:
    int32_t m_bValid;
    int32_t m_nBufSize;
    float* m_pLine;  // delay + m_nBufSize samples
    int32_t m_nDelay;
};
