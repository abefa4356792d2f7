// The 160/147 stage between the 44.1 kHz and 48 kHz rate families: per channel a polyphase
// phase and a doubled delay line, run one output at a time. Raising the rate each input gives
// one or two outputs (phase += 147 per output, an input consumed at each wrap past 160);
// lowering it each output takes one input and every 147/13th a second one is pushed without an
// output (phase += 13 per output, a skip at each wrap past 147). Phase and delay line carry over
// between calls, so any cut of a stream into calls gives the same samples.
#pragma once

#include "dsp/SrcStage.h"
#include "dsp/SrcTables.h"

class SrcStage44k48k : public SrcStage {
public:
    LONG GetUpStateSize() override;
    LONG GetDownStateSize() override;
    bool Process(LONG lChannel, const float* pSrc, LONG* pCount) override;
    void Reset() override;

    LONG GetPhase(LONG lChannel) const { return m_Phase[lChannel]; }

private:
    void ProcessUp(LONG lChannel, const float* pSrc, LONG* pCount);
    void ProcessDown(LONG lChannel, const float* pSrc, LONG* pCount);

    static constexpr LONG DELAY_TAPS = SRC_44K48K_DOWN_TAPS;

    LONG m_Phase[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    float m_DelayLine[MAX_SOFTWARE_DSP_PROCESS_CHANNELS][2 * DELAY_TAPS];
    LONG m_DelayIndex[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
};
