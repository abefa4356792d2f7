#include "dsp/SrcStage.h"

#include <cstring>

#include "dsp/SrcTables.h"
#include "primitives/Primitives.h"

SrcStage::SrcStage()
{
    m_bUp = 0;
    m_bInitialised = 0;
    m_bReady = 0;
}

SrcStage::~SrcStage()
{
    for (LONG c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c) {
        if (m_pOutput[c] != nullptr) {
            ExFreePoolWithTag(m_pOutput[c], SRC_CHANNEL_BUFFER_TAG);
            m_pOutput[c] = nullptr;
        }
        if (m_pUpState[c] != nullptr) {
            ExFreePoolWithTag(m_pUpState[c], SRC_CHANNEL_BUFFER_TAG);
            m_pUpState[c] = nullptr;
        }
        if (m_pDownState[c] != nullptr) {
            ExFreePoolWithTag(m_pDownState[c], SRC_CHANNEL_BUFFER_TAG);
            m_pDownState[c] = nullptr;
        }
        m_pFilterState[c] = nullptr;
    }
}

LONG SrcStage::GetUpStateSize() { return 0; }
LONG SrcStage::GetDownStateSize() { return 0; }

bool SrcStage::Process(LONG lChannel, const float* pSrc, LONG* pCount)
{
    UNREFERENCED_PARAMETER(lChannel);
    UNREFERENCED_PARAMETER(pSrc);
    UNREFERENCED_PARAMETER(pCount);
    return false;
}

void SrcStage::Reset()
{
    ClearOutputs();
    m_bReady = m_bInitialised;
}

bool SrcStage::Init()
{
    const LONG lDown = GetDownStateSize();
    const LONG lUp = GetUpStateSize();
    if (m_bInitialised != 0 || lDown <= 0 || lUp <= 0) {
        return false;
    }
    m_OutputCapacity = SRC_STAGE_OUTPUT_CAPACITY;
    const SIZE_T outputBytes = static_cast<SIZE_T>(m_OutputCapacity) * sizeof(float);
    for (LONG c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c) {
        m_pDownState[c] = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, lDown, SRC_CHANNEL_BUFFER_TAG));
        if (m_pDownState[c] == nullptr) return false;
        m_pUpState[c] = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, lUp, SRC_CHANNEL_BUFFER_TAG));
        if (m_pUpState[c] == nullptr) return false;
        m_pOutput[c] = static_cast<float*>(ExAllocatePoolWithTag(NonPagedPoolNx, outputBytes, SRC_CHANNEL_BUFFER_TAG));
        if (m_pOutput[c] == nullptr) return false;
    }
    m_bInitialised = 1;
    return true;
}

void SrcStage::ClearOutputs()
{
    for (LONG c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c) {
        m_OutputCount[c] = 0;
    }
}

bool SrcStage::ProcessArgumentsValid(LONG lChannel, const float* pSrc, const LONG* pCount) const
{
    return m_bReady != 0 && lChannel >= 0 && lChannel < MAX_SOFTWARE_DSP_PROCESS_CHANNELS && pSrc != nullptr &&
           pCount != nullptr && *pCount >= 0;
}

LONG SrcStage::TakeOutput(LONG lChannel, float* pDst, LONG lMax)
{
    if (lChannel < 0 || lChannel >= MAX_SOFTWARE_DSP_PROCESS_CHANNELS || pDst == nullptr || lMax <= 0) {
        return 0;
    }
    const LONG lCount = m_OutputCount[lChannel] < lMax ? m_OutputCount[lChannel] : lMax;
    if (lCount > 0) {
        std::memcpy(pDst, m_pOutput[lChannel], static_cast<size_t>(lCount) * sizeof(float));
        DropOutput(lChannel, lCount);
    }
    return lCount;
}

void SrcStage::DropOutput(LONG lChannel, LONG lCount)
{
    if (lChannel < 0 || lChannel >= MAX_SOFTWARE_DSP_PROCESS_CHANNELS || lCount <= 0) {
        return;
    }
    const LONG lHeld = m_OutputCount[lChannel];
    if (lCount >= lHeld) {
        m_OutputCount[lChannel] = 0;
        return;
    }
    std::memmove(m_pOutput[lChannel], m_pOutput[lChannel] + lCount, static_cast<size_t>(lHeld - lCount) * sizeof(float));
    m_OutputCount[lChannel] = lHeld - lCount;
}

const float* SrcStage::GetOutput(LONG lChannel) const
{
    return lChannel >= 0 && lChannel < MAX_SOFTWARE_DSP_PROCESS_CHANNELS ? m_pOutput[lChannel] : nullptr;
}

LONG SrcStage::GetOutputCount(LONG lChannel) const
{
    return lChannel >= 0 && lChannel < MAX_SOFTWARE_DSP_PROCESS_CHANNELS ? m_OutputCount[lChannel] : 0;
}

LONG SrcStage::GetOutputSpace(LONG lChannel) const
{
    return lChannel >= 0 && lChannel < MAX_SOFTWARE_DSP_PROCESS_CHANNELS ? m_OutputCapacity - m_OutputCount[lChannel]
                                                                          : 0;
}

LONG SrcStage::MultiRateStateSize(LONG lTaps, LONG lUp, LONG lDown)
{
    int32_t size = 0;
    GetMultiRateFirStateSize(lTaps, lUp, lDown, &size);
    return size;
}

void SrcStage::ResetByFactor(const float* pTaps, LONG lTaps, LONG lFactor)
{
    ClearOutputs();
    if (m_bInitialised == 0) {
        m_bReady = 0;
        return;
    }
    for (LONG c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c) {
        MultiRateFirState* pState = nullptr;
        if (m_bUp != 0) {
            InitMultiRateFirState(&pState, pTaps, lTaps, lFactor, 0, 1, 0, nullptr, m_pUpState[c]);
        } else {
            InitMultiRateFirState(&pState, pTaps, lTaps, 1, 0, lFactor, 0, nullptr, m_pDownState[c]);
        }
        m_pFilterState[c] = reinterpret_cast<FirState*>(pState);
    }
    m_bReady = 1;
}

void SrcStage::ProcessByFactor(LONG lChannel, const float* pSrc, LONG* pCount, LONG lFactor)
{
    float* pOut = m_pOutput[lChannel];
    LONG& lOutCount = m_OutputCount[lChannel];
    LONG lConsumed = 0;
    LONG lRemaining = *pCount;
    if (m_bUp != 0) {
        const float gain = static_cast<float>(lFactor);
        while (lRemaining > 0) {
            const LONG lSpace = m_OutputCapacity - lOutCount;
            if (lSpace < lFactor) break;
            LONG n;
            if (lSpace / lFactor >= lRemaining) {
                n = lRemaining;
                lRemaining = 0;
            } else {
                n = lSpace / lFactor;
                lRemaining -= n;
            }
            FilterFir(pSrc + lConsumed, pOut + lOutCount, n, m_pFilterState[lChannel]);
            MultiplyByConstantInPlace(gain, pOut + lOutCount, lFactor * n);
            lOutCount += lFactor * n;
            lConsumed += n;
        }
    } else {
        while (lRemaining >= lFactor) {
            const LONG lSpace = m_OutputCapacity - lOutCount;
            if (lSpace == 0) break;
            const LONG n = lRemaining / lFactor < lSpace ? lRemaining / lFactor : lSpace;
            FilterFir(pSrc + lConsumed, pOut + lOutCount, n, m_pFilterState[lChannel]);
            lOutCount += n;
            lConsumed += lFactor * n;
            lRemaining -= lFactor * n;
        }
    }
    *pCount = lConsumed;
}

LONG SrcStageX2::GetUpStateSize() { return MultiRateStateSize(SRC_X2_TAPS, 2, 1); }
LONG SrcStageX2::GetDownStateSize() { return MultiRateStateSize(SRC_X2_TAPS, 1, 2); }
void SrcStageX2::Reset() { ResetByFactor(SrcX2Taps, SRC_X2_TAPS, 2); }

bool SrcStageX2::Process(LONG lChannel, const float* pSrc, LONG* pCount)
{
    if (!ProcessArgumentsValid(lChannel, pSrc, pCount)) return false;
    ProcessByFactor(lChannel, pSrc, pCount, 2);
    return true;
}

LONG SrcStageX4::GetUpStateSize() { return MultiRateStateSize(SRC_X4_TAPS, 4, 1); }
LONG SrcStageX4::GetDownStateSize() { return MultiRateStateSize(SRC_X4_TAPS, 1, 4); }
void SrcStageX4::Reset() { ResetByFactor(SrcX4Taps, SRC_X4_TAPS, 4); }

bool SrcStageX4::Process(LONG lChannel, const float* pSrc, LONG* pCount)
{
    if (!ProcessArgumentsValid(lChannel, pSrc, pCount)) return false;
    ProcessByFactor(lChannel, pSrc, pCount, 4);
    return true;
}
