// The look-ahead block limiter for up to eight channels of float audio, limited in place on
// per-channel buffers. Every streaming endpoint owns one; the effect entities own two each.
// The owner allocates the object in non-paged memory, zeroes it and constructs it there, so every
// pointer starts null; the working blocks are the limiter's own (tag "DSPs").
#pragma once

#include <cstdint>

#include "adapter/AudioTypes.h"
#include "platform/nt/Pool.h"
#include "primitives/Primitives.h"

constexpr int32_t LIMITER_BLOCK_SIZE = 128;
constexpr int32_t LIMITER_HISTORY_BLOCKS = 200;
constexpr int32_t LIMITER_FIR_TAPS = 101;
constexpr float LIMITER_RELEASE_DIVISOR = 10240.0f;
constexpr int32_t MAX_SOFTWARE_DSP_PROCESS_CHANNELS = 8;
// Blocks of the window that sets the target: the newest and the 19 before it.
constexpr int32_t LIMITER_WINDOW_BLOCKS = 20;
constexpr ULONG LIMITER_BUFFER_TAG = MakePoolTag("DSPs");

// Coefficient sets of the per-channel filter stage: one for 48,000 Hz, one for every other rate.
extern const float LimiterFirTable48k[LIMITER_FIR_TAPS];
extern const float LimiterFirTable[LIMITER_FIR_TAPS];

class PeakLimiter {
public:
    // Unity current and target gains and threshold, mode 0, every jump flag set, no buffers.
    // The configured gain is left to SetGain.
    PeakLimiter();

    // Obtains the per-channel blocks (non-paged), then resets. True when every block exists
    // (at once when they already did); false at the first block that cannot be obtained, the
    // blocks obtained so far staying until FreeBuffers (a later call obtains only the rest).
    bool AllocateBuffers();
    void SetMode(int32_t mode);
    void SetGain(float gain);
    void SetThreshold(float threshold);
    // Resets, keeps a copy of the format and prepares the filter stage for its rate. Without
    // the buffers only the copy is kept.
    void SetFormat(const WaveFormatRecord* pFormat);
    // Limits frames samples of each of the format's channels in place, two blocks late. Does
    // nothing without the buffers, with no or more than eight channels, or with frames <= 0.
    // Allocates nothing: callable at DISPATCH_LEVEL.
    void Process(float* const* ppChannels, int32_t frames);
    // Clears the signal state (not the settings); nothing without the buffers.
    void Reset();
    void Flush() { Reset(); }
    // Frees every block present and clears its pointer; safe without buffers. The limiter is
    // unallocated again, as after construction.
    void FreeBuffers();

private:
    void ProcessBlock();
    void UpdateTargets();
    static float BlockPeak(const float* pBlock);

    WaveFormatRecord m_Format;
    float* m_pInputRing[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    float* m_pOutputRing[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    int32_t m_Phase;
    int32_t m_InputPosition;
    int32_t m_OutputPosition;
    float m_ConfiguredGain[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    float m_CurrentGain[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    float m_TargetGain[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    float m_WindowPeak[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    float m_PeakHistory[MAX_SOFTWARE_DSP_PROCESS_CHANNELS][LIMITER_HISTORY_BLOCKS];
    float* m_pFirDelay[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    float m_Threshold;
    FirState* m_pFirState[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    uint8_t* m_pFirStateMemory[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    int32_t m_HistoryPosition;
    int32_t m_Mode;
    int32_t m_JumpFlag[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    int32_t m_Allocated;
    float m_Taps[LIMITER_FIR_TAPS];

    friend struct PeakLimiterInspector;
};

// A limiter as its owners make one: a zeroed non-paged block with the owner's tag, the limiter
// constructed in it with its buffers, mode 0, the gain and threshold 1.0. Null when a block cannot
// be had; nothing is then left behind.
PeakLimiter* CreatePeakLimiter(ULONG ulTag, float gain);
// Frees the buffers, then the block (tag as created); null does nothing.
void DestroyPeakLimiter(PeakLimiter* pLimiter, ULONG ulTag);
