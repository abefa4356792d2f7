// The stages of the stream format adapter: per-channel buffers for eight channels, a direction,
// and four operations in this order: the two state sizes, Process and Reset.
//
// Process takes one channel's float input and appends that channel's output to the stage's own
// buffer (7,680 samples, 40 ms at 192 kHz); it consumes only what the free space can take and
// reports how much it consumed, so the rest is passed again, first, on the next call. The owner
// takes the output away with TakeOutput (or reads it in place and drops it).
//
// A stage lives in zeroed non-paged memory (tag "DSPS") and is constructed there; Init allocates
// its buffers (tag "SRCX") at PASSIVE_LEVEL, the destructor frees them. Reset and Process allocate
// nothing and may run at DISPATCH_LEVEL. The owner sets m_bUp directly and then calls Reset.
#pragma once

#include <cstdint>

#include "dsp/PeakLimiter.h"
#include "platform/nt/Pool.h"

constexpr ULONG DSP_SRC_STAGE_TAG = MakePoolTag("DSPS");
constexpr ULONG SRC_CHANNEL_BUFFER_TAG = MakePoolTag("SRCX");
constexpr LONG SRC_STAGE_OUTPUT_CAPACITY = 7680;

class SrcStage {
public:
    SrcStage();
    ~SrcStage();

    virtual LONG GetUpStateSize();
    virtual LONG GetDownStateSize();
    // Base: false, nothing consumed (*pCount unchanged).
    virtual bool Process(LONG lChannel, const float* pSrc, LONG* pCount);
    // Base: empties the output buffers.
    virtual void Reset();

    // Allocates the per-channel buffers; false when already initialised or on failure (what was
    // allocated stays for the destructor).
    bool Init();

    // Copies up to lMax samples of a channel's output to pDst, oldest first, and removes them;
    // returns the number copied.
    LONG TakeOutput(LONG lChannel, float* pDst, LONG lMax);
    // Removes the oldest lCount samples of a channel's output (at most what it holds).
    void DropOutput(LONG lChannel, LONG lCount);
    // A channel's output in place (null for a channel outside 0 to 7) and its count.
    const float* GetOutput(LONG lChannel) const;
    LONG GetOutputCount(LONG lChannel) const;
    LONG GetOutputSpace(LONG lChannel) const;

    // Direction: 1 raises the rate, 0 lowers it. Set by the owner, followed by Reset.
    uint8_t m_bUp;

protected:
    // Whether Process may run on this channel with these arguments.
    bool ProcessArgumentsValid(LONG lChannel, const float* pSrc, const LONG* pCount) const;
    // Empties every channel's output buffer.
    void ClearOutputs();
    // The power-of-two stages: filter states for the direction, and one channel's processing.
    void ResetByFactor(const float* pTaps, LONG lTaps, LONG lFactor);
    void ProcessByFactor(LONG lChannel, const float* pSrc, LONG* pCount, LONG lFactor);
    static LONG MultiRateStateSize(LONG lTaps, LONG lUp, LONG lDown);

    PUCHAR m_pUpState[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    PUCHAR m_pDownState[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    FirState* m_pFilterState[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    float* m_pOutput[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    LONG m_OutputCount[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    LONG m_OutputCapacity;
    uint8_t m_bInitialised;
    uint8_t m_bReady;
};

// Doubles or halves the rate with a 66-tap multi-rate filter (gain 2 applied raising the rate).
class SrcStageX2 : public SrcStage {
public:
    LONG GetUpStateSize() override;
    LONG GetDownStateSize() override;
    bool Process(LONG lChannel, const float* pSrc, LONG* pCount) override;
    void Reset() override;
};

// Multiplies or divides the rate by four with a 132-tap multi-rate filter (gain 4 raising it).
class SrcStageX4 : public SrcStage {
public:
    LONG GetUpStateSize() override;
    LONG GetDownStateSize() override;
    bool Process(LONG lChannel, const float* pSrc, LONG* pCount) override;
    void Reset() override;
};
