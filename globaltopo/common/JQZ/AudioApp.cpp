// AudioApp: the headphone engine's block driver.
#include "globaltopo/common/JQZ/AudioApp.h"

#include <cstring>

#include "globaltopo/common/JQZ/JqzPool.h"

void CopyChannels(float* const* dst, int32_t nDst, const float* const* src, int32_t nSrc, int32_t len)
{
    if (dst == nullptr || len <= 0) {
        return;
    }
    const size_t bytes = static_cast<size_t>(len) * sizeof(float);
    for (int32_t i = 0; i < nDst; ++i) {
        if (dst[i] == nullptr) {
            continue;
        }
        if (src != nullptr && i < nSrc && src[i] != nullptr) {
            if (src[i] != dst[i]) {
                std::memmove(dst[i], src[i], bytes);
            }
        } else {
            std::memset(dst[i], 0, bytes);
        }
    }
}

AudioApp::AudioApp(int32_t rate, int32_t blockLength, int32_t inputCapacity, int32_t outputCount, float offsetScale)
    : m_nDeviceRate(rate),
      m_nRealDataLen(blockLength),
      m_nProcessingRate(AUDIOAPP_PROCESSING_RATE),
      m_nDataLen(blockLength),
      m_nInputCapacity(inputCapacity),
      m_nOutputCount(outputCount),
      m_fOffsetScale(offsetScale),
      m_nWritePosition(0),
      m_pInputBlocks{},
      m_pOutputBlocks{},
      m_pInCursors{},
      m_pOutCursors{},
      m_nLinearPhase(1),
      m_nDirection(0),
      m_nSrcFactor(1),
      m_pResamplers{},
      m_pProcessingInputs{},
      m_pProcessingOutputs{},
      m_nSplitBand(0),
      m_bConfigured(0),
      m_nInputCount(0),
      m_nOutputUsed(0)
{
}

void AudioApp::ProcessBlock(float* const*, int32_t, float* const*, int32_t, int32_t) {}

void AudioApp::Reset() {}

int32_t AudioApp::Configure(int32_t deviceRate, int32_t inputCapacity, int32_t outputCount)
{
    m_nProcessingRate = AUDIOAPP_PROCESSING_RATE;
    m_nDataLen = AUDIOAPP_BLOCK;
    m_nDeviceRate = deviceRate;
    m_nInputCapacity = inputCapacity;
    m_nOutputCount = outputCount;
    const bool ok = Init();
    Reset();
    return ok ? 1 : 0;
}

bool AudioApp::Init()
{
    m_bConfigured = 0;
    ReleaseBuffers();
    const int32_t rate = m_nDeviceRate;
    if (rate < AUDIOAPP_MIN_RATE || rate > AUDIOAPP_MAX_RATE || m_nInputCapacity < 1 ||
        m_nInputCapacity > AUDIOAPP_MAX_CHANNELS || m_nOutputCount < 1 || m_nOutputCount > AUDIOAPP_MAX_CHANNELS) {
        return false;
    }
    if (rate > m_nProcessingRate) {
        m_nDirection = 1;
        m_nSrcFactor = rate / m_nProcessingRate;
        m_nRealDataLen = m_nDataLen * m_nSrcFactor;
    } else if (rate < m_nProcessingRate) {
        m_nDirection = -1;
        m_nSrcFactor = m_nProcessingRate / rate;
        m_nRealDataLen = m_nDataLen / m_nSrcFactor;
    } else {
        m_nDirection = 0;
        m_nSrcFactor = 1;
        m_nRealDataLen = m_nDataLen;
    }
    const SIZE_T realBytes = static_cast<SIZE_T>(m_nRealDataLen) * sizeof(float);
    const SIZE_T dataBytes = static_cast<SIZE_T>(m_nDataLen) * sizeof(float);
    bool ok = true;
    for (int32_t c = 0; ok && c < m_nInputCapacity; ++c) {
        m_pInputBlocks[c] = static_cast<float*>(AllocateJqzBlock(realBytes));
        ok = m_pInputBlocks[c] != nullptr;
    }
    for (int32_t c = 0; ok && c < m_nOutputCount; ++c) {
        m_pOutputBlocks[c] = static_cast<float*>(AllocateJqzBlock(realBytes));
        ok = m_pOutputBlocks[c] != nullptr;
    }
    if (m_nDirection != 0) {
        for (int32_t c = 0; ok && c < m_nInputCapacity; ++c) {
            m_pResamplers[c] = NewJqzObject<SRC>(m_nProcessingRate, rate, m_nLinearPhase);
            // A resampler that is missing a filter or its work buffer would play silence.
            ok = m_pResamplers[c] != nullptr && m_pResamplers[c]->IsReady();
        }
    }
    for (int32_t c = 0; ok && c < m_nInputCapacity; ++c) {
        m_pProcessingInputs[c] = static_cast<float*>(AllocateJqzBlock(dataBytes));
        m_pProcessingOutputs[c] = static_cast<float*>(AllocateJqzBlock(dataBytes));
        ok = m_pProcessingInputs[c] != nullptr && m_pProcessingOutputs[c] != nullptr;
    }
    m_nWritePosition = 0;
    m_nInputCount = 0;
    m_nOutputUsed = 0;
    if (!ok) {
        ReleaseBuffers();
        return false;
    }
    m_bConfigured = 1;
    return true;
}

void AudioApp::ReleaseBuffers()
{
    m_bConfigured = 0;
    for (int32_t c = 0; c < AUDIOAPP_MAX_CHANNELS; ++c) {
        FreeJqzBlock(m_pInputBlocks[c]);
        m_pInputBlocks[c] = nullptr;
        FreeJqzBlock(m_pOutputBlocks[c]);
        m_pOutputBlocks[c] = nullptr;
        FreeJqzBlock(m_pProcessingInputs[c]);
        m_pProcessingInputs[c] = nullptr;
        FreeJqzBlock(m_pProcessingOutputs[c]);
        m_pProcessingOutputs[c] = nullptr;
        DeleteJqzObject(m_pResamplers[c]);
    }
}

bool AudioApp::Process(float* const* out, int32_t nOut, float* const* in, int32_t nIn, int32_t frames)
{
    if (m_bConfigured == 0 || out == nullptr || in == nullptr || nIn < 0 || nIn > m_nInputCapacity || nOut < 0 ||
        nOut > m_nOutputCount || nOut > m_nInputCapacity || frames < 0) {
        return false;
    }
    for (int32_t c = 0; c < nIn; ++c) {
        m_pInCursors[c] = in[c];
    }
    for (int32_t c = 0; c < nOut; ++c) {
        m_pOutCursors[c] = out[c];
    }
    m_nInputCount = nIn;
    m_nOutputUsed = nOut;
    const float offset = AUDIOAPP_INPUT_OFFSET * m_fOffsetScale;
    int32_t n = m_nRealDataLen - m_nWritePosition < frames ? m_nRealDataLen - m_nWritePosition : frames;
    while (n > 0) {
        // The stretch's input is taken before its output is written: in and out may coincide.
        for (int32_t c = 0; c < nIn; ++c) {
            float* block = m_pInputBlocks[c] + m_nWritePosition;
            const float* src = m_pInCursors[c];
            for (int32_t j = 0; j < n; ++j) {
                block[j] = src[j] + offset;
            }
        }
        for (int32_t c = 0; c < nOut; ++c) {
            std::memcpy(m_pOutCursors[c], m_pOutputBlocks[c] + m_nWritePosition, static_cast<size_t>(n) * sizeof(float));
        }
        m_nWritePosition += n;
        for (int32_t c = 0; c < nIn; ++c) {
            m_pInCursors[c] += n;
        }
        for (int32_t c = 0; c < nOut; ++c) {
            m_pOutCursors[c] += n;
        }
        if (m_nWritePosition == m_nRealDataLen) {
            RunBlock();
            m_nWritePosition = 0;
        }
        frames -= n;
        n = m_nRealDataLen < frames ? m_nRealDataLen : frames;
    }
    return true;
}

void AudioApp::RunBlock()
{
    ConvertInput(m_nInputCount);
    ProcessBlock(m_pProcessingOutputs, m_nOutputUsed, m_pProcessingInputs, m_nInputCount, m_nDataLen);
    ConvertOutput(m_nOutputUsed);
}

void AudioApp::ConvertInput(int32_t nIn)
{
    if (m_nDirection == 0) {
        CopyChannels(m_pProcessingInputs, nIn, m_pInputBlocks, nIn, m_nRealDataLen);
        return;
    }
    for (int32_t c = 0; c < nIn; ++c) {
        if (m_nDirection > 0) {
            m_pResamplers[c]->Down(m_pProcessingInputs[c], m_pInputBlocks[c], m_nRealDataLen);
        } else {
            m_pResamplers[c]->Up(m_pProcessingInputs[c], m_pInputBlocks[c], m_nRealDataLen);
        }
    }
}

void AudioApp::ConvertOutput(int32_t nOut)
{
    if (m_nDirection == 0) {
        CopyChannels(m_pOutputBlocks, nOut, m_pProcessingOutputs, nOut, m_nRealDataLen);
        return;
    }
    for (int32_t c = 0; c < nOut; ++c) {
        if (m_nDirection > 0) {
            m_pResamplers[c]->Up(m_pOutputBlocks[c], m_pProcessingOutputs[c], m_nDataLen);
        } else {
            m_pResamplers[c]->Down(m_pOutputBlocks[c], m_pProcessingOutputs[c], m_nDataLen);
        }
    }
}
