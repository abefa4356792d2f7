#include "dsp/SplitStage.h"

#include <new>

SplitStage::SplitStage() {}

SplitStage::~SplitStage()
{
    if (m_pConversion != nullptr) {
        m_pConversion->~CChannelConversion();
        ExFreePoolWithTag(m_pConversion, DSP_SRC_STAGE_TAG);
        m_pConversion = nullptr;
    }
}

bool SplitStage::Init()
{
    if (m_pConversion == nullptr) {
        PVOID pMemory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CChannelConversion), DSP_SRC_STAGE_TAG);
        if (pMemory == nullptr) {
            return false;
        }
        std::memset(pMemory, 0, sizeof(CChannelConversion));
        m_pConversion = new (pMemory) CChannelConversion();
    }
    if (!m_pConversion->Init()) {
        return false;
    }
    return SrcStage::Init();
}

void SplitStage::ToFloatFormat(WaveFormatRecord* pFormat)
{
    if (WaveFormatEffectiveTag(pFormat) == WAVE_FORMAT_IEEE_FLOAT) {
        return;
    }
    if (pFormat->Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
        pFormat->Samples.wValidBitsPerSample = 32;
        pFormat->SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    } else {
        pFormat->Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    }
    pFormat->Format.wBitsPerSample = 32;
    pFormat->Format.nBlockAlign = static_cast<WORD>(pFormat->Format.nChannels * 4);
    pFormat->Format.nAvgBytesPerSec = pFormat->Format.nSamplesPerSec * pFormat->Format.nBlockAlign;
}

bool SplitStage::SetFormat(const WaveFormatRecord* pInFormat, const WaveFormatRecord* pOutFormat)
{
    std::memcpy(&m_InFormat, pInFormat, sizeof m_InFormat);
    std::memcpy(&m_OutFormat, pOutFormat, sizeof m_OutFormat);
    WaveFormatRecord in = m_InFormat;
    WaveFormatRecord out = m_OutFormat;
    ToFloatFormat(&in);
    ToFloatFormat(&out);
    return m_pConversion->SetFormat(&in, &out);
}

bool SplitStage::Split(const float* const* ppIn, LONG lFrames)
{
    if (m_bInitialised == 0) {
        return false;
    }
    const LONG lOut = m_pConversion->GetOutFormat().Format.nChannels;
    if (lFrames < 0 || lOut == 0 || lOut > MAX_SOFTWARE_DSP_PROCESS_CHANNELS ||
        m_OutputCount[0] + lFrames > m_OutputCapacity) {
        return false;
    }
    float* ppOut[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    for (LONG c = 0; c < lOut; ++c) {
        ppOut[c] = m_pOutput[c] + m_OutputCount[c];
    }
    if (!m_pConversion->Process(ppIn, ppOut, lFrames)) {
        return false;
    }
    for (LONG c = 0; c < lOut; ++c) {
        m_OutputCount[c] += lFrames;
    }
    return true;
}
