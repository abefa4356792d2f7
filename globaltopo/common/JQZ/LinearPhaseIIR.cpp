// IirFilter and LinearPhaseIIR of the headphone engine's resampler.
#include "globaltopo/common/JQZ/LinearPhaseIIR.h"

#include <cstring>

#include "globaltopo/common/JQZ/JqzPool.h"

namespace {

// Third-order Butterworth low-passes with unit gain at DC, in the tap order b0..b3, a0..a3.
constexpr float FACTOR1_TAPS[8] = {1.0f / 6.0f, 0.5f, 0.5f, 1.0f / 6.0f, 1.0f, 0.0f, 1.0f / 3.0f, 0.0f};
constexpr float FACTOR2_TAPS[8] = {0.063855924f, 0.19156778f, 0.19156778f, 0.063855924f,
                                   1.0f,         -0.96577972f, 0.58264416f, -0.10601705f};
constexpr int32_t IIR_ORDER = 3;

}  // namespace

const float* IirFilter::Coefficients(int32_t factor)
{
    return factor == 1 ? FACTOR1_TAPS : factor == 2 ? FACTOR2_TAPS : nullptr;
}

void IirFilter::Init(int32_t factor)
{
    const float* taps = Coefficients(factor);
    if (taps == nullptr) {
        return;
    }
    IirState* pState = nullptr;
    m_nStatus = CreateIirState(&pState, taps, IIR_ORDER, nullptr);
    m_pState = m_nStatus == StatusOk ? pState : nullptr;
}

float* IirFilter::Filter(float* dst, const float* src, int32_t len)
{
    float* out = dst != nullptr ? dst : const_cast<float*>(src);
    m_nStatus = FilterIir(src, out, len, m_pState);
    return out;
}

void IirFilter::Release()
{
    if (m_pReserved0 != nullptr) {
        FreeJqzBlock(m_pReserved0);
        m_pReserved0 = nullptr;
    }
    if (m_pReserved1 != nullptr) {
        FreeJqzBlock(m_pReserved1);
        m_pReserved1 = nullptr;
    }
    if (m_pState != nullptr) {
        DestroyIirState(m_pState);
        m_pState = nullptr;
    }
}

LinearPhaseIIR::LinearPhaseIIR(int32_t delay)
    : m_nCapacity(EachChannelSampleCntMax),
      m_nLineLength(delay + EachChannelSampleCntMax),
      m_nDelay(delay),
      m_pForward(nullptr),
      m_pBackward(nullptr),
      m_pWindow(nullptr),
      m_pReversedWindow(nullptr),
      m_pBackwardOutput(nullptr)
{
    if (delay < 0) {
        return;
    }
    auto* pLines = static_cast<float*>(AllocateJqzBlock(3 * static_cast<SIZE_T>(m_nLineLength) * sizeof(float)));
    if (pLines != nullptr) {
        m_pWindow = pLines;
        m_pReversedWindow = pLines + m_nLineLength;
        m_pBackwardOutput = pLines + 2 * m_nLineLength;
    }
}

void LinearPhaseIIR::SetFactor(int32_t factor)
{
    DeleteJqzObject(m_pForward);
    DeleteJqzObject(m_pBackward);
    m_pForward = NewJqzObject<IirFilter>();
    if (m_pForward != nullptr) {
        m_pForward->Init(factor);
    }
    m_pBackward = NewJqzObject<IirFilter>();
    if (m_pBackward != nullptr) {
        m_pBackward->Init(factor);
    }
}

void LinearPhaseIIR::Process(float* dst, const float* src, int32_t len)
{
    if (dst == nullptr) {
        return;
    }
    if (src == nullptr || len <= 0 || len > m_nCapacity || !IsReady()) {
        if (len > 0) {
            std::memset(dst, 0, static_cast<size_t>(len) * sizeof(float));
        }
        return;
    }
    const int32_t d = m_nDelay;
    float* const w = m_pWindow;
    // The forward pass continues its state; the window's first D samples are the previous call's.
    m_pForward->Filter(w + d, src, len);
    ReverseCopy(w, m_pReversedWindow, d + len);
    // The backward pass runs in over the D newest samples before it reaches those output.
    m_pBackward->Filter(m_pBackwardOutput, m_pReversedWindow, d + len);
    ReverseCopy(m_pBackwardOutput + d, dst, len);
    if (d > 0) {
        std::memmove(w, w + len, static_cast<size_t>(d) * sizeof(float));
    }
}

void LinearPhaseIIR::Release()
{
    DeleteJqzObject(m_pForward);
    DeleteJqzObject(m_pBackward);
    FreeJqzBlock(m_pWindow);
    m_pWindow = nullptr;
    m_pReversedWindow = nullptr;
    m_pBackwardOutput = nullptr;
}
