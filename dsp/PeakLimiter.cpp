#include "dsp/PeakLimiter.h"

#include <cstring>
#include <new>

namespace {

// 2^-23: the smallest gain step relative to the gain, so a step never vanishes in rounding.
constexpr float MIN_RELATIVE_STEP = 1.1920929e-7f;

template <typename T>
void FreeBlock(T*& p)
{
    if (p != nullptr) {
        ExFreePoolWithTag(p, LIMITER_BUFFER_TAG);
        p = nullptr;
    }
}

template <typename T>
bool ObtainBlock(T*& p, SIZE_T cb)
{
    if (p == nullptr) {
        p = static_cast<T*>(ExAllocatePoolWithTag(NonPagedPoolNx, cb, LIMITER_BUFFER_TAG));
    }
    return p != nullptr;
}

}  // namespace

PeakLimiter::PeakLimiter()
{
    for (int32_t c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c) {
        m_CurrentGain[c] = 1.0f;
        m_TargetGain[c] = 1.0f;
        m_JumpFlag[c] = 1;
        m_pInputRing[c] = nullptr;
        m_pOutputRing[c] = nullptr;
        m_pFirDelay[c] = nullptr;
        m_pFirState[c] = nullptr;
        m_pFirStateMemory[c] = nullptr;
    }
    m_Threshold = 1.0f;
    m_Mode = 0;
    m_Allocated = 0;
    m_HistoryPosition = 0;
}

bool PeakLimiter::AllocateBuffers()
{
    if (m_Allocated != 0) {
        return true;
    }
    int32_t firStateSize = 0;
    if (GetFirStateSize(LIMITER_FIR_TAPS, &firStateSize) != StatusOk || firStateSize <= 0) {
        return false;
    }
    const SIZE_T ringBytes = 2 * LIMITER_BLOCK_SIZE * sizeof(float);
    for (int32_t c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c) {
        // Blocks obtained by an earlier, failed call are kept and reused.
        if (!ObtainBlock(m_pFirDelay[c], LIMITER_FIR_TAPS * sizeof(float)) ||
            !ObtainBlock(m_pFirStateMemory[c], static_cast<SIZE_T>(firStateSize)) ||
            !ObtainBlock(m_pInputRing[c], ringBytes) || !ObtainBlock(m_pOutputRing[c], ringBytes)) {
            return false;
        }
    }
    m_Allocated = 1;
    Reset();
    return true;
}

void PeakLimiter::SetMode(int32_t mode)
{
    m_Mode = mode;
    for (int32_t& flag : m_JumpFlag) {
        flag = 1;
    }
}

void PeakLimiter::SetGain(float gain)
{
    for (float& g : m_ConfiguredGain) {
        g = gain;
    }
    if (m_Mode == 0) {
        for (int32_t& flag : m_JumpFlag) {
            flag = 1;
        }
    }
}

void PeakLimiter::SetThreshold(float threshold)
{
    m_Threshold = threshold;
    for (int32_t& flag : m_JumpFlag) {
        flag = 1;
    }
}

void PeakLimiter::Reset()
{
    if (m_Allocated == 0) {
        return;
    }
    for (int32_t c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c) {
        m_JumpFlag[c] = 1;
        std::memset(m_pFirDelay[c], 0, LIMITER_FIR_TAPS * sizeof(float));
        std::memset(m_pInputRing[c], 0, 2 * LIMITER_BLOCK_SIZE * sizeof(float));
        std::memset(m_pOutputRing[c], 0, 2 * LIMITER_BLOCK_SIZE * sizeof(float));
        m_WindowPeak[c] = 0.0f;
    }
    std::memset(m_PeakHistory, 0, sizeof(m_PeakHistory));
    m_InputPosition = 0;
    m_OutputPosition = 0;
    m_Phase = 0;
    m_HistoryPosition = 0;
}

void PeakLimiter::SetFormat(const WaveFormatRecord* pFormat)
{
    if (pFormat == nullptr) {
        return;
    }
    Reset();
    m_Format = *pFormat;
    if (m_Allocated == 0) {
        return;
    }
    const bool is48k = pFormat->Format.nSamplesPerSec == 48000;
    MultiplyByConstant(is48k ? LimiterFirTable48k : LimiterFirTable, 2.0f, m_Taps, LIMITER_FIR_TAPS);
    if (is48k) {
        m_Taps[0] = 1.0f;
    }
    // The filter stage is prepared for every channel whatever the count; its results are not
    // needed by the limiting itself.
    for (int32_t c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c) {
        (void)InitFirState(&m_pFirState[c], m_Taps, LIMITER_FIR_TAPS, m_pFirDelay[c], m_pFirStateMemory[c]);
    }
}

void PeakLimiter::Process(float* const* ppChannels, int32_t frames)
{
    const int32_t channels = m_Format.Format.nChannels;
    if (m_Allocated == 0 || ppChannels == nullptr || frames <= 0 || channels <= 0 ||
        channels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS) {
        return;
    }
    for (int32_t c = 0; c < channels; ++c) {
        if (ppChannels[c] == nullptr) {
            return;
        }
    }
    int32_t offset = 0;
    while (offset < frames) {
        const int32_t remaining = frames - offset;
        const int32_t room = LIMITER_BLOCK_SIZE - m_InputPosition;
        const int32_t count = remaining < room ? remaining : room;
        const size_t bytes = static_cast<size_t>(count) * sizeof(float);
        const int32_t fillHalf = (1 - m_Phase) * LIMITER_BLOCK_SIZE;
        for (int32_t c = 0; c < channels; ++c) {
            std::memcpy(m_pInputRing[c] + fillHalf + m_InputPosition, ppChannels[c] + offset, bytes);
        }
        m_InputPosition += count;
        if (m_InputPosition == LIMITER_BLOCK_SIZE) {
            ProcessBlock();
            m_InputPosition -= LIMITER_BLOCK_SIZE;
        }
        const int32_t readHalf = m_Phase * LIMITER_BLOCK_SIZE;
        for (int32_t c = 0; c < channels; ++c) {
            std::memcpy(ppChannels[c] + offset, m_pOutputRing[c] + readHalf + m_OutputPosition, bytes);
        }
        m_OutputPosition += count;
        if (m_OutputPosition == LIMITER_BLOCK_SIZE) {
            m_OutputPosition -= LIMITER_BLOCK_SIZE;
            m_Phase = 1 - m_Phase;
        }
        offset += count;
    }
}

float PeakLimiter::BlockPeak(const float* pBlock)
{
    float extremes[2] = {0.0f, 0.0f};
    Maximum(pBlock, LIMITER_BLOCK_SIZE, &extremes[0]);
    Minimum(pBlock, LIMITER_BLOCK_SIZE, &extremes[1]);
    AbsoluteInPlace(extremes, 2);
    return extremes[0] > extremes[1] ? extremes[0] : extremes[1];
}

void PeakLimiter::UpdateTargets()
{
    const int32_t channels = m_Format.Format.nChannels;
    const int32_t p = m_HistoryPosition;
    const int32_t newestHalf = (1 - m_Phase) * LIMITER_BLOCK_SIZE;
    for (int32_t c = 0; c < channels; ++c) {
        const float peak = BlockPeak(m_pInputRing[c] + newestHalf);
        float window = peak;
        for (int32_t back = 1; back < LIMITER_WINDOW_BLOCKS; ++back) {
            const float entry = m_PeakHistory[c][(p - back + LIMITER_HISTORY_BLOCKS) % LIMITER_HISTORY_BLOCKS];
            if (entry > window) {
                window = entry;
            }
        }
        m_WindowPeak[c] = window;
        m_PeakHistory[c][p] = peak;
        float target = m_Threshold >= m_ConfiguredGain[c] * window ? m_ConfiguredGain[c] : m_Threshold / window;
        if (target < 0.0f) {
            target = 0.0f;
        }
        m_TargetGain[c] = target;
    }
    m_HistoryPosition = p + 1 == LIMITER_HISTORY_BLOCKS ? 0 : p + 1;
}

void PeakLimiter::ProcessBlock()
{
    const int32_t channels = m_Format.Format.nChannels;
    UpdateTargets();
    float linked = 0.0f;
    Minimum(m_TargetGain, channels, &linked);
    const float a = linked;
    const int32_t olderHalf = m_Phase * LIMITER_BLOCK_SIZE;
    const int32_t writeHalf = (1 - m_Phase) * LIMITER_BLOCK_SIZE;
    for (int32_t c = 0; c < channels; ++c) {
        const float* in = m_pInputRing[c] + olderHalf;
        float* out = m_pOutputRing[c] + writeHalf;
        float g = m_CurrentGain[c];
        if (a > g) {
            float step = (a - g) / (m_JumpFlag[c] != 0 ? static_cast<float>(LIMITER_BLOCK_SIZE) : LIMITER_RELEASE_DIVISOR);
            if (step < g * MIN_RELATIVE_STEP) {
                step = g * MIN_RELATIVE_STEP;
            }
            for (int32_t i = 0; i < LIMITER_BLOCK_SIZE; ++i) {
                out[i] = g * in[i];
                const float next = g + step;
                g = next < a ? next : a;
            }
        } else if (a < g) {
            float step = (g - a) / static_cast<float>(LIMITER_BLOCK_SIZE);
            if (step < g * MIN_RELATIVE_STEP) {
                step = g * MIN_RELATIVE_STEP;
            }
            for (int32_t i = 0; i < LIMITER_BLOCK_SIZE; ++i) {
                out[i] = g * in[i];
                const float next = g - step;
                g = next > a ? next : a;
            }
        } else {
            MultiplyByConstant(in, g, out, LIMITER_BLOCK_SIZE);
        }
        m_CurrentGain[c] = g;
        m_JumpFlag[c] = 0;
    }
}

void PeakLimiter::FreeBuffers()
{
    for (int32_t c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c) {
        FreeBlock(m_pFirStateMemory[c]);
        m_pFirState[c] = nullptr;
        FreeBlock(m_pFirDelay[c]);
        FreeBlock(m_pInputRing[c]);
        FreeBlock(m_pOutputRing[c]);
    }
    // Without its blocks the limiter must not count as allocated: a later Reset or Process would
    // reach freed memory, and a later AllocateBuffers would report blocks that are gone.
    m_Allocated = 0;
}

PeakLimiter* CreatePeakLimiter(ULONG ulTag, float gain)
{
    void* pMemory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(PeakLimiter), ulTag);
    if (pMemory == nullptr) {
        return nullptr;
    }
    std::memset(pMemory, 0, sizeof(PeakLimiter));
    auto* pLimiter = new (pMemory) PeakLimiter();
    if (!pLimiter->AllocateBuffers()) {
        DestroyPeakLimiter(pLimiter, ulTag);
        return nullptr;
    }
    pLimiter->SetMode(0);
    pLimiter->SetGain(gain);
    pLimiter->SetThreshold(1.0f);
    return pLimiter;
}

void DestroyPeakLimiter(PeakLimiter* pLimiter, ULONG ulTag)
{
    if (pLimiter != nullptr) {
        pLimiter->FreeBuffers();
        ExFreePoolWithTag(pLimiter, ulTag);
    }
}
