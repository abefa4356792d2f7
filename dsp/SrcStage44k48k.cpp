#include "dsp/SrcStage44k48k.h"

#include "primitives/Primitives.h"

namespace {

constexpr LONG UP_PHASES = SRC_44K48K_UP_PHASES;      // 160 outputs ...
constexpr LONG UP_STEP = SRC_44K48K_DOWN_PHASES;      // ... for 147 inputs
constexpr LONG DOWN_PHASES = SRC_44K48K_DOWN_PHASES;  // 147 outputs ...
constexpr LONG DOWN_STEP = UP_PHASES - DOWN_PHASES;   // ... phase += 13, a skip per wrap: 160 inputs

// Pushes x into a doubled delay line of lTaps at *pIndex (both copies) and advances the index.
// Returns where the line now starts: lTaps samples, oldest first.
inline const float* Push(float x, float* pLine, LONG lTaps, LONG* pIndex)
{
    const LONG i = *pIndex;
    pLine[i] = x;
    pLine[i + lTaps] = x;
    const LONG next = i + 1 >= lTaps ? 0 : i + 1;
    *pIndex = next;
    return pLine + next;
}

// One output: the row against the line, tap 0 on the newest sample; each product is rounded to
// float and the products are summed in double in four interleaved partial sums (so that the sum
// does not wait on one chain of additions), combined in a fixed order: the same bits for the same
// line and row, whatever the call.
template <LONG TAPS>
inline float Dot(const float* pRow, const float* pLine)
{
    static_assert(TAPS % 4 == 0, "four partial sums");
    const float* tap = pRow + (TAPS - 1);
    double sum[4] = {0.0, 0.0, 0.0, 0.0};
    for (LONG k = 0; k < TAPS; k += 4) {
        for (LONG j = 0; j < 4; ++j) {
            sum[j] += static_cast<double>(tap[-(k + j)] * pLine[k + j]);
        }
    }
    return static_cast<float>((sum[0] + sum[1]) + (sum[2] + sum[3]));
}

}  // namespace

LONG SrcStage44k48k::GetUpStateSize()
{
    int32_t size = 0;
    GetFirStateSize(SRC_44K48K_UP_TAPS, &size);
    return size;
}

LONG SrcStage44k48k::GetDownStateSize()
{
    int32_t size = 0;
    GetFirStateSize(SRC_44K48K_DOWN_TAPS, &size);
    return size;
}

void SrcStage44k48k::Reset()
{
    for (LONG c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c) {
        m_Phase[c] = 0;
    }
    if (m_bInitialised != 0) {
        for (LONG c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c) {
            // The filter state records row 0 of the direction's table; processing runs on the
            // delay line and the rows directly.
            if (m_bUp != 0) {
                InitFirState(&m_pFilterState[c], Src44k48kUpTaps, SRC_44K48K_UP_TAPS, m_DelayLine[c], m_pUpState[c]);
            } else {
                InitFirState(&m_pFilterState[c], Src44k48kDownTaps, SRC_44K48K_DOWN_TAPS, m_DelayLine[c],
                             m_pDownState[c]);
            }
            ZeroFloat(m_DelayLine[c], 2 * DELAY_TAPS);
            m_DelayIndex[c] = 0;
        }
    }
    ClearOutputs();
    m_bReady = m_bInitialised;
}

bool SrcStage44k48k::Process(LONG lChannel, const float* pSrc, LONG* pCount)
{
    if (!ProcessArgumentsValid(lChannel, pSrc, pCount)) return false;
    if (m_bUp != 0) {
        ProcessUp(lChannel, pSrc, pCount);
    } else {
        ProcessDown(lChannel, pSrc, pCount);
    }
    return true;
}

void SrcStage44k48k::ProcessUp(LONG lChannel, const float* pSrc, LONG* pCount)
{
    constexpr LONG TAPS = SRC_44K48K_UP_TAPS;
    float* pLine = m_DelayLine[lChannel];
    float* pOut = m_pOutput[lChannel];
    LONG lOut = m_OutputCount[lChannel];
    LONG lPhase = m_Phase[lChannel];
    LONG lIndex = m_DelayIndex[lChannel];
    LONG i = 0;
    LONG lRemaining = *pCount;
    while (lRemaining > 0 && lOut < m_OutputCapacity) {
        // The sample goes in as the newest; its index is kept only once the phase wraps, so
        // that the same sample is pushed again, as the newest, for the next output.
        LONG lNext = lIndex;
        const float* pWindow = Push(pSrc[i], pLine, TAPS, &lNext);
        pOut[lOut++] = Dot<TAPS>(Src44k48kUpTaps + lPhase * TAPS, pWindow);
        lPhase += UP_STEP;
        if (lPhase >= UP_PHASES) {
            lPhase -= UP_PHASES;
            lIndex = lNext;
            ++i;
            --lRemaining;
        }
    }
    m_OutputCount[lChannel] = lOut;
    m_Phase[lChannel] = lPhase;
    m_DelayIndex[lChannel] = lIndex;
    *pCount -= lRemaining;
}

void SrcStage44k48k::ProcessDown(LONG lChannel, const float* pSrc, LONG* pCount)
{
    constexpr LONG TAPS = SRC_44K48K_DOWN_TAPS;
    float* pLine = m_DelayLine[lChannel];
    float* pOut = m_pOutput[lChannel];
    LONG lOut = m_OutputCount[lChannel];
    LONG lPhase = m_Phase[lChannel];
    LONG lIndex = m_DelayIndex[lChannel];
    LONG i = 0;
    LONG lRemaining = *pCount;
    if (lOut < m_OutputCapacity) {
        // A skip left pending by the previous call: that sample goes in without an output.
        if (lPhase >= DOWN_PHASES && lRemaining > 0) {
            Push(pSrc[i++], pLine, TAPS, &lIndex);
            --lRemaining;
            lPhase -= DOWN_PHASES;
        }
        while (lRemaining > 0 && lOut < m_OutputCapacity && lPhase < DOWN_PHASES) {
            const float* pWindow = Push(pSrc[i++], pLine, TAPS, &lIndex);
            --lRemaining;
            pOut[lOut++] = Dot<TAPS>(Src44k48kDownTaps + lPhase * TAPS, pWindow);
            lPhase += DOWN_STEP;
            if (lPhase >= DOWN_PHASES && lRemaining > 0) {
                Push(pSrc[i++], pLine, TAPS, &lIndex);
                --lRemaining;
                lPhase -= DOWN_PHASES;
            }
        }
    }
    m_OutputCount[lChannel] = lOut;
    m_Phase[lChannel] = lPhase;
    m_DelayIndex[lChannel] = lIndex;
    *pCount -= lRemaining;
}
