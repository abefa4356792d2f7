// SRC: the headphone engine's integer-factor resampler.
#include "globaltopo/common/JQZ/SRC.h"

#include <cstring>

#include "globaltopo/common/JQZ/JqzPool.h"

SRC::SRC(int32_t processingRate, int32_t deviceRate, int32_t linearPhase)
    : m_nProcessingRate(processingRate),
      m_nDeviceRate(deviceRate),
      m_nDirection(0),
      m_nSrcFactor(1),
      m_nOutLen(0),
      m_nPhase(0),
      m_pDownFilter(nullptr),
      m_pUpFilter(nullptr),
      m_pDownIir(nullptr),
      m_pUpIir(nullptr),
      m_pWork(nullptr),
      m_nLinearPhase(linearPhase)
{
    Init();
}

void SRC::Init()
{
    if (m_nDeviceRate > m_nProcessingRate) {
        m_nDirection = 1;
        m_nSrcFactor = m_nProcessingRate > 0 ? m_nDeviceRate / m_nProcessingRate : 1;
    } else if (m_nDeviceRate < m_nProcessingRate) {
        m_nDirection = -1;
        m_nSrcFactor = m_nDeviceRate > 0 ? m_nProcessingRate / m_nDeviceRate : 1;
    } else {
        m_nDirection = 0;
        m_nSrcFactor = 1;
    }
    if (m_nDirection != 0) {
        if (m_nLinearPhase != 0) {
            DeleteJqzObject(m_pDownFilter);
            DeleteJqzObject(m_pUpFilter);
            m_pDownFilter = NewJqzObject<LinearPhaseIIR>(SRC_LINEAR_PHASE_DELAY);
            if (m_pDownFilter != nullptr) {
                m_pDownFilter->SetFactor(m_nSrcFactor);
            }
            m_pUpFilter = NewJqzObject<LinearPhaseIIR>(SRC_LINEAR_PHASE_DELAY);
            if (m_pUpFilter != nullptr) {
                m_pUpFilter->SetFactor(m_nSrcFactor);
            }
        } else {
            DeleteJqzObject(m_pDownIir);
            DeleteJqzObject(m_pUpIir);
            m_pDownIir = NewJqzObject<IirFilter>();
            if (m_pDownIir != nullptr) {
                m_pDownIir->Init(m_nSrcFactor);
            }
            m_pUpIir = NewJqzObject<IirFilter>();
            if (m_pUpIir != nullptr) {
                m_pUpIir->Init(m_nSrcFactor);
            }
        }
    }
    FreeJqzBlock(m_pWork);
    m_pWork = static_cast<float*>(AllocateJqzBlock(SRC_WORK_SAMPLES * sizeof(float)));
}

bool SRC::IsReady() const
{
    if (m_pWork == nullptr || m_nSrcFactor <= 0) {
        return false;
    }
    if (m_nLinearPhase != 0) {
        return m_pDownFilter != nullptr && m_pUpFilter != nullptr && m_pDownFilter->IsReady() &&
               m_pUpFilter->IsReady();
    }
    return m_pDownIir != nullptr && m_pUpIir != nullptr && m_pDownIir->HasState() && m_pUpIir->HasState();
}

void SRC::Silence(float* dst, int32_t len)
{
    if (dst != nullptr && len > 0) {
        std::memset(dst, 0, static_cast<size_t>(len) * sizeof(float));
    }
}

void SRC::Down(float* dst, const float* src, int32_t len)
{
    const int32_t factor = m_nSrcFactor > 0 ? m_nSrcFactor : 1;
    // The linear-phase filter takes at most one device-rate block.
    if (!IsReady() || src == nullptr || dst == nullptr || len <= 0 || len % factor != 0 ||
        len > EachChannelSampleCntMax) {
        Silence(dst, len / factor);
        return;
    }
    if (m_nLinearPhase != 0) {
        m_pDownFilter->Process(m_pWork, src, len);
    } else {
        m_pDownIir->Filter(m_pWork, src, len);
    }
    DownsampleFloat(m_pWork, len, dst, &m_nOutLen, factor, &m_nPhase);
}

void SRC::Up(float* dst, const float* src, int32_t len)
{
    const int32_t factor = m_nSrcFactor > 0 ? m_nSrcFactor : 1;
    const int32_t outLen = len > 0 && len <= EachChannelSampleCntMax ? len * factor : 0;
    if (!IsReady() || src == nullptr || dst == nullptr || outLen <= 0 || outLen > EachChannelSampleCntMax) {
        Silence(dst, outLen);
        return;
    }
    // The zero insertion writes every one of the outLen samples.
    if (UpsampleFloat(src, len, m_pWork, &m_nOutLen, factor, &m_nPhase) != StatusOk) {
        Silence(dst, outLen);
        return;
    }
    if (m_nLinearPhase != 0) {
        m_pUpFilter->Process(dst, m_pWork, outLen);
    } else {
        m_pUpIir->Filter(dst, m_pWork, outLen);
    }
    MultiplyByConstantInPlace(static_cast<float>(factor), dst, outLen);
}

void SRC::Release()
{
    DeleteJqzObject(m_pDownFilter);
    DeleteJqzObject(m_pUpFilter);
    DeleteJqzObject(m_pDownIir);
    DeleteJqzObject(m_pUpIir);
    FreeJqzBlock(m_pWork);
    m_pWork = nullptr;
}
