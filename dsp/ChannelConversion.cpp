#include "dsp/ChannelConversion.h"

#include "platform/nt/Debug.h"
#include "primitives/Primitives.h"

namespace {

constexpr const char* kSetFormat = "CChannelConversion::SetFormat";

// Positions in the 8-channel order.
enum Position : uint8_t { FL = 0, FR = 1, FC = 2, LFE = 3, BL = 4, BR = 5, SL = 6, SR = 7, MONO = 8 };

constexpr float FOLD_GAIN = 0.707f;

// The position of channel c of an n-channel record.
uint8_t PositionOf(LONG lChannels, LONG c)
{
    if (lChannels == 1) return MONO;
    if (lChannels == 4) {
        constexpr uint8_t quad[4] = {FL, FR, BL, BR};
        return quad[c];
    }
    return static_cast<uint8_t>(c);
}

// Which side of the front pair a position folds into: 0 left, 1 right, 2 both, 3 dropped.
uint8_t FoldSide(uint8_t position)
{
    switch (position) {
    case FL: case BL: case SL: return 0;
    case FR: case BR: case SR: return 1;
    case FC: return 2;
    default: return 3;
    }
}

}  // namespace

CChannelConversion::CChannelConversion() { m_bInitialised = 0; }

bool CChannelConversion::Init()
{
    if (m_bInitialised != 0) {
        return false;
    }
    m_bInitialised = 1;
    return true;
}

bool CChannelConversion::SetFormat(const WaveFormatRecord* pInFormat, const WaveFormatRecord* pOutFormat)
{
    if (WaveFormatEffectiveTag(pInFormat) != WAVE_FORMAT_IEEE_FLOAT) {
        DbgPrint("%s Tag not WAVE_FORMAT_IEEE_FLOAT\n", kSetFormat);
        return false;
    }
    if (WaveFormatEffectiveTag(pOutFormat) != WAVE_FORMAT_IEEE_FLOAT) {
        DbgPrint("%s Output Tag not WAVE_FORMAT_IEEE_FLOAT\n", kSetFormat);
        return false;
    }
    if (pInFormat->Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS ||
        pOutFormat->Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS) {
        DbgPrint("%s InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n", kSetFormat);
        return false;
    }
    std::memcpy(&m_InFormat, pInFormat, sizeof m_InFormat);
    std::memcpy(&m_OutFormat, pOutFormat, sizeof m_OutFormat);
    BuildMapping();
    m_bConfigured = 1;
    return true;
}

void CChannelConversion::BuildMapping()
{
    const LONG lIn = m_InFormat.Format.nChannels;
    const LONG lOut = m_OutFormat.Format.nChannels;
    for (LONG o = 0; o < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++o) {
        m_TermCount[o] = 0;
    }
    auto add = [this](LONG o, LONG i, float gain) {
        m_TermInput[o][m_TermCount[o]] = static_cast<uint8_t>(i);
        m_TermGain[o][m_TermCount[o]] = gain;
        ++m_TermCount[o];
    };
    // Where each output position sits (-1: absent).
    int8_t outChannel[MONO + 1];
    for (auto& c : outChannel) c = -1;
    for (LONG o = 0; o < lOut; ++o) {
        outChannel[PositionOf(lOut, o)] = static_cast<int8_t>(o);
    }
    for (LONG i = 0; i < lIn; ++i) {
        const uint8_t position = PositionOf(lIn, i);
        if (outChannel[position] >= 0) {
            add(outChannel[position], i, 1.0f);
            continue;
        }
        if (position == MONO) {
            // Mono input feeds both front channels.
            if (outChannel[FL] >= 0) add(outChannel[FL], i, 1.0f);
            if (outChannel[FR] >= 0) add(outChannel[FR], i, 1.0f);
            continue;
        }
        const uint8_t side = FoldSide(position);
        if (side == 3) continue;
        // The front pair itself has unit gain; what folds into it comes in at 0.707.
        const float gain = position == FL || position == FR ? 1.0f : FOLD_GAIN;
        if (outChannel[MONO] >= 0) {
            // Mono output: half the folded pair's sum, the centre counted on both sides.
            add(outChannel[MONO], i, side == 2 ? gain : 0.5f * gain);
            continue;
        }
        if ((side == 0 || side == 2) && outChannel[FL] >= 0) add(outChannel[FL], i, gain);
        if ((side == 1 || side == 2) && outChannel[FR] >= 0) add(outChannel[FR], i, gain);
    }
}

float CChannelConversion::GetGain(LONG lOut, LONG lIn) const
{
    if (lOut < 0 || lOut >= MAX_SOFTWARE_DSP_PROCESS_CHANNELS) return 0.0f;
    float gain = 0.0f;
    for (LONG t = 0; t < m_TermCount[lOut]; ++t) {
        if (m_TermInput[lOut][t] == lIn) gain += m_TermGain[lOut][t];
    }
    return gain;
}

bool CChannelConversion::Process(const float* const* ppIn, float* const* ppOut, LONG lFrames) const
{
    const LONG lOut = m_OutFormat.Format.nChannels;
    if (m_bConfigured == 0 || m_InFormat.Format.nChannels == 0 || lOut == 0 || lFrames < 0) {
        return false;
    }
    if (lFrames == 0) {
        return true;
    }
    for (LONG o = 0; o < lOut; ++o) {
        const LONG lTerms = m_TermCount[o];
        if (lTerms == 0) {
            ZeroFloat(ppOut[o], lFrames);
            continue;
        }
        const float* pFirst = ppIn[m_TermInput[o][0]];
        if (m_TermGain[o][0] == 1.0f) {
            CopyFloat(pFirst, ppOut[o], lFrames);
        } else {
            MultiplyByConstant(pFirst, m_TermGain[o][0], ppOut[o], lFrames);
        }
        for (LONG t = 1; t < lTerms; ++t) {
            MultiplyAccumulateByConstant(ppIn[m_TermInput[o][t]], m_TermGain[o][t], ppOut[o], lFrames);
        }
    }
    return true;
}
