// HeadphoneEngine: the headphone engine's control object and its stereo fold-down.
#include "globaltopo/common/JQZ/HeadphoneEngine.h"

#include <cstring>
#include <new>

#include "globaltopo/common/JQZ/JqzPool.h"
#include "globaltopo/common/JQZ/headphoneenginecore.h"

namespace {

constexpr float CENTRE_WEIGHT = 0.707f;
constexpr float FOLD_GAIN = 2.0f;
constexpr int32_t DEFAULT_ROOM = 1;
constexpr int32_t DEFAULT_ANGLE = 40;
constexpr int32_t DEFAULT_CTC_ANGLE = 20;
constexpr int32_t DEFAULT_CHANNELS = 8;

bool IsRenderedCount(int32_t n) { return n == 2 || n == 6 || n == 8; }

}  // namespace

void DownMixSurroundToStereo(float* const* dst, const float* const* src, int32_t nSrc, int32_t len, float gain)
{
    if (dst == nullptr || src == nullptr || len <= 0 || nSrc < 3 || nSrc > 8 || gain == 0.0f) {
        return;
    }
    const float c = 1.0f / gain;
    float* left = dst[0];
    float* right = dst[1];
    if (nSrc == 4) {
        // Front and back pairs.
        const float* s0 = src[0];
        const float* s1 = src[1];
        const float* s2 = src[2];
        const float* s3 = src[3];
        for (int32_t i = 0; i < len; ++i) {
            const float l = c * (s0[i] + s2[i]);
            const float r = c * (s1[i] + s3[i]);
            left[i] = l;
            right[i] = r;
        }
        return;
    }
    // Absent channels count as silence.
    const float* s[6] = {};
    for (int32_t k = 0; k < 6 && k < nSrc; ++k) {
        s[k] = src[k];
    }
    for (int32_t i = 0; i < len; ++i) {
        const float x0 = s[0][i];
        const float x1 = s[1][i];
        const float centre = CENTRE_WEIGHT * s[2][i];
        const float x3 = s[3] != nullptr ? s[3][i] : 0.0f;
        const float x4 = s[4] != nullptr ? s[4][i] : 0.0f;
        const float x5 = s[5] != nullptr ? s[5][i] : 0.0f;
        const float l = c * (x0 + centre + x3 + x4);
        const float r = c * (x1 + centre + x3 + x5);
        left[i] = l;
        right[i] = r;
    }
    if (nSrc >= 7) {
        // Side channels after the first pass: their buffers are not the two written.
        const float* s6 = src[6];
        for (int32_t i = 0; i < len; ++i) {
            left[i] += c * s6[i];
        }
        if (nSrc == 8) {
            const float* s7 = src[7];
            for (int32_t i = 0; i < len; ++i) {
                right[i] += c * s7[i];
            }
        }
    }
}

void DownMixToStereo(float* const* dst, int32_t nDst, const float* const* src, int32_t nSrc, int32_t len, float gain)
{
    if (dst == nullptr || src == nullptr || len <= 0) {
        return;
    }
    if (nSrc == 1) {
        if (nDst >= 1 && dst[0] != src[0]) {
            CopyFloat(src[0], dst[0], len);
        }
        return;
    }
    if (nSrc == 2) {
        CopyChannels(dst, 2, src, 2, len);
        return;
    }
    if (nDst == 2) {
        DownMixSurroundToStereo(dst, src, nSrc, len, gain);
        return;
    }
    CopyChannels(dst, nDst, src, nSrc, len);
}

HeadphoneEngine::HeadphoneEngine()
    : m_pCore(nullptr),
      m_nCtcMode(0),
      m_nEnable(0),
      m_nSpeakerRoom(DEFAULT_ROOM),
      m_nHeadphoneRoom(DEFAULT_ROOM),
      m_nSpeakerAngle(DEFAULT_ANGLE),
      m_nHeadphoneAngle(DEFAULT_ANGLE),
      m_nCtcAngle(DEFAULT_CTC_ANGLE),
      m_nSpeakerAngleVariant(0),
      m_nHeadphoneAngleVariant(0),
      m_nChannelCount(DEFAULT_CHANNELS),
      m_bFormatTaken(0)
{
    m_pCore = NewJqzObject<HeadphoneEngineCore>();
    // The construction's configuration: 44,100 Hz, six inputs, two outputs.
    m_bFormatTaken = m_pCore != nullptr && m_pCore->IsConfigured() ? 1 : 0;
}

HeadphoneEngine::~HeadphoneEngine()
{
    if (m_pCore != nullptr) {
        m_pCore->~HeadphoneEngineCore();
        FreeJqzBlock(m_pCore);
        m_pCore = nullptr;
    }
}

int32_t HeadphoneEngine::GetAngleCode(int32_t variant, int32_t angle)
{
    const int32_t v = variant != 0 ? 1 : 0;
    switch (angle) {
    case 0:
    case 25:
        return 24 + v;
    case 1:
    case 30:
        return 29 + v;
    case 2:
    case 35:
        return 34 + v;
    case 3:
    case 40:
        return 39 + v;
    case 31:
        return 31;
    default:
        return -1;
    }
}

int32_t HeadphoneEngine::CtcAngleOfIndex(int32_t index)
{
    static constexpr int32_t ANGLES[5] = {5, 10, 15, 20, 30};
    return index >= 0 && index < 5 ? ANGLES[index] : index;
}

int32_t HeadphoneEngine::SetFormat(const WAVEFORMATEX* pFormat)
{
    if (m_pCore == nullptr) {
        return -1;
    }
    if (pFormat == nullptr) {
        return 0;
    }
    const int32_t channels = pFormat->nChannels;
    m_nChannelCount = channels;
    // At least the two outputs the core renders, at most its eight.
    int32_t outputs = channels < 2 ? 2 : channels;
    outputs = outputs > AUDIOAPP_MAX_CHANNELS ? AUDIOAPP_MAX_CHANNELS : outputs;
    const int32_t rate = pFormat->nSamplesPerSec <= 0x7FFFFFFF ? static_cast<int32_t>(pFormat->nSamplesPerSec) : 0;
    m_bFormatTaken = m_pCore->Configure(rate, AUDIOAPP_MAX_CHANNELS, outputs);
    return m_bFormatTaken != 0 ? 1 : 0;
}

bool HeadphoneEngine::CanRender() const
{
    return m_pCore != nullptr && m_bFormatTaken != 0 && m_pCore->CanProcess() && IsRenderedCount(m_nChannelCount);
}

void HeadphoneEngine::Process(float* const* ppChannels, int32_t frames)
{
    if (ppChannels == nullptr || frames <= 0) {
        return;
    }
    if (m_nEnable != 0 && CanRender() &&
        m_pCore->Process(ppChannels, 2, ppChannels, m_nChannelCount, frames)) {
        return;
    }
    DownMixToStereo(ppChannels, 2, ppChannels, m_nChannelCount, frames, FOLD_GAIN);
}

void HeadphoneEngine::SetCtcMode(int32_t value)
{
    m_nCtcMode = value;
    if (m_pCore != nullptr) {
        m_pCore->Fir().SetCtcAngle(value != 0 ? m_nCtcAngle : 0);
    }
}

void HeadphoneEngine::SetCtcAngle(int32_t index)
{
    m_nCtcAngle = CtcAngleOfIndex(index);
    if (m_pCore != nullptr) {
        m_pCore->Fir().SetCtcAngle(m_nCtcMode != 0 ? m_nCtcAngle : 0);
    }
}

void HeadphoneEngine::SelectHeadphoneSet()
{
    if (m_pCore != nullptr && m_nCtcMode == 0) {
        m_pCore->Fir().SelectImpulseResponses(m_nHeadphoneRoom, GetAngleCode(m_nHeadphoneAngleVariant, m_nHeadphoneAngle));
    }
}

void HeadphoneEngine::SelectSpeakerSet()
{
    if (m_pCore != nullptr && m_nCtcMode != 0) {
        m_pCore->Fir().SelectImpulseResponses(m_nSpeakerRoom, GetAngleCode(m_nSpeakerAngleVariant, m_nSpeakerAngle));
    }
}

void HeadphoneEngine::SetHeadphoneRoom(int32_t value)
{
    m_nHeadphoneRoom = value;
    SelectHeadphoneSet();
}

void HeadphoneEngine::SetHeadphoneAngle(int32_t value)
{
    m_nHeadphoneAngle = value;
    SelectHeadphoneSet();
}

void HeadphoneEngine::SetHeadphoneAngleVariant(int32_t value)
{
    m_nHeadphoneAngleVariant = value;
    SelectHeadphoneSet();
}

void HeadphoneEngine::SetSpeakerRoom(int32_t value)
{
    m_nSpeakerRoom = value;
    SelectSpeakerSet();
}

void HeadphoneEngine::SetSpeakerAngle(int32_t value)
{
    m_nSpeakerAngle = value;
    SelectSpeakerSet();
}

void HeadphoneEngine::SetSpeakerAngleVariant(int32_t value)
{
    m_nSpeakerAngleVariant = value;
    SelectSpeakerSet();
}

HeadphoneEngine* CreateHeadphoneEngine()
{
    void* pBlock = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(HeadphoneEngine), HEADPHONE_ENGINE_TAG);
    if (pBlock == nullptr) {
        return nullptr;
    }
    std::memset(pBlock, 0, sizeof(HeadphoneEngine));
    return new (pBlock) HeadphoneEngine();
}

void DestroyHeadphoneEngine(HeadphoneEngine* pEngine)
{
    if (pEngine != nullptr) {
        pEngine->~HeadphoneEngine();
        ExFreePoolWithTag(pEngine, HEADPHONE_ENGINE_TAG);
    }
}
