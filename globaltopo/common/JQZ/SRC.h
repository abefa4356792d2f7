// The headphone engine's resampler: one channel between the device rate and the processing rate
// of 44,100 Hz by an integer factor, with the linear-phase low-pass before decimation and after
// interpolation. The engine configures it only for factors 1 and 2, the two its filters have.
//
// Objects and buffers come from non-paged pool ("JQZP"), zeroed. Construction and Release at
// PASSIVE_LEVEL; Down and Up allocate nothing.
#pragma once

#include <cstdint>

#include "globaltopo/common/JQZ/LinearPhaseIIR.h"

constexpr int32_t SRC_LINEAR_PHASE_DELAY = 64;
constexpr int32_t SRC_WORK_SAMPLES = EachChannelSampleCntMax * 4;

class SRC {
public:
    SRC(int32_t processingRate, int32_t deviceRate, int32_t linearPhase);

    // Direction and factor from the two rates; the filters for that direction and the work buffer.
    void Init();
    // Filters len samples of src and keeps every factor-th: len / factor samples into dst. A call
    // whose len is not a positive multiple of the factor, or longer than the filter's block, or
    // that finds a buffer missing, writes len / factor zeros.
    void Down(float* dst, const float* src, int32_t len);
    // Puts factor - 1 zeros after every sample, filters and makes up the level: len * factor
    // samples into dst. A call beyond the filter's block, or with a buffer missing, writes zeros.
    void Up(float* dst, const float* src, int32_t len);
    void Release();

    // Both filters with their states and the work buffer exist.
    bool IsReady() const;
    int32_t Direction() const { return m_nDirection; }
    int32_t Factor() const { return m_nSrcFactor; }

private:
    void Silence(float* dst, int32_t len);

    int32_t m_nProcessingRate;
    int32_t m_nDeviceRate;
    int32_t m_nDirection;
    int32_t m_nSrcFactor;
    int32_t m_nOutLen;
    int32_t m_nPhase;
    LinearPhaseIIR* m_pDownFilter;
    LinearPhaseIIR* m_pUpFilter;
    IirFilter* m_pDownIir;
    IirFilter* m_pUpIir;
    float* m_pWork;  // SRC_WORK_SAMPLES
    int32_t m_nLinearPhase;
};
