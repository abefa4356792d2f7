// The anti-alias and anti-image filter of the headphone engine's resampler: a third-order
// low-pass run forward, then backward over a sliding window, so that it delays by a fixed D
// samples with its squared magnitude and no phase distortion. IirFilter is the small wrapper of
// one IIR state beneath it (also the filter of the resampler's plain mode).
//
// Objects and buffers come from non-paged pool ("JQZP"), zeroed. Construction, SetFactor and
// Release at PASSIVE_LEVEL; Filter and Process allocate nothing and run at any IRQL under their
// owner's serialisation.
#pragma once

#include <cstdint>

#include "primitives/Primitives.h"

// The largest block at the device rate.
constexpr int32_t EachChannelSampleCntMax = 1024;

class IirFilter {
public:
    IirFilter() = default;

    // Factor 1: a low-pass at half the Nyquist frequency; factor 2: at a third of it. Any other
    // factor creates no state, and Filter then writes nothing.
    void Init(int32_t factor);
    // len samples of src through the filter into dst (src itself when dst is null); the state
    // carries over to the next call. Returns the buffer written.
    float* Filter(float* dst, const float* src, int32_t len);
    void Release();

    bool HasState() const { return m_pState != nullptr; }

    // The two coefficient sets, b0..b3 then a0..a3; null for another factor.
    static const float* Coefficients(int32_t factor);

private:
    void* m_pReserved0 = nullptr;
    void* m_pReserved1 = nullptr;
    PrimitiveStatus m_nStatus = StatusOk;
    IirState* m_pState = nullptr;
};

class LinearPhaseIIR {
public:
    explicit LinearPhaseIIR(int32_t delay);

    // Replaces both filters with new ones for the factor; a filter that cannot be made stays null
    // (its pass then writes nothing).
    void SetFactor(int32_t factor);
    // len (at most 1,024) samples of src into dst, which then holds the filtered input of D
    // samples earlier. A call it cannot serve (no window, a longer block, null buffers) writes
    // len zeros to dst when dst is given and leaves the history alone.
    void Process(float* dst, const float* src, int32_t len);
    void Release();

    int32_t Delay() const { return m_nDelay; }
    bool IsReady() const
    {
        return m_pWindow != nullptr && m_pForward != nullptr && m_pBackward != nullptr && m_pForward->HasState() &&
               m_pBackward->HasState();
    }

private:
    int32_t m_nCapacity;
    int32_t m_nLineLength;
    int32_t m_nDelay;
    IirFilter* m_pForward;
    IirFilter* m_pBackward;
    float* m_pWindow;          // D + 1,024: the last D forward-filtered samples, then the block
    float* m_pReversedWindow;  // D + 1,024
    float* m_pBackwardOutput;  // D + 1,024
};
