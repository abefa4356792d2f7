// The channel-count converter between the per-channel float views of the adapter's two formats.
// SetFormat accepts IEEE-float records (the split stage hands it their float counterparts) of at
// most eight channels and keeps them; Process maps the input channels onto the output channels
// by position in the 8-channel order (front left, front right, centre, LFE, back left, back
// right, side left, side right; four channels are the front and back pairs):
//   - a position both formats have is copied;
//   - a position the output lacks folds into the front pair at 0.707 on its side (the centre into
//     both, the LFE is dropped);
//   - mono output is half the sum of that front pair; mono input feeds both front channels;
//   - a position only the output has stays silent.
// Lives in zeroed non-paged memory (tag "DSPS"); SetFormat and Process run at DISPATCH_LEVEL and
// allocate nothing.
#pragma once

#include <cstdint>
#include <cstring>

#include "adapter/AudioTypes.h"
#include "dsp/PeakLimiter.h"

// The tag that counts: the first 16 bits of the subformat of an extensible record.
inline USHORT WaveFormatEffectiveTag(const WaveFormatRecord* pFormat)
{
    if (pFormat->Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
        USHORT tag;
        std::memcpy(&tag, reinterpret_cast<const uint8_t*>(pFormat) + offsetof(WaveFormatRecord, SubFormat), sizeof tag);
        return tag;
    }
    return pFormat->Format.wFormatTag;
}

class CChannelConversion {
public:
    CChannelConversion();
    ~CChannelConversion() {}

    // Sets the initialised flag; false when it was already set.
    bool Init();
    // Keeps both float formats and builds the mapping; refusals print their message and keep the
    // previous formats.
    bool SetFormat(const WaveFormatRecord* pInFormat, const WaveFormatRecord* pOutFormat);
    // Maps lFrames frames of the input channels onto the output channels (neither may overlap
    // the other); false before a successful SetFormat or for 0 channels on either side.
    bool Process(const float* const* ppIn, float* const* ppOut, LONG lFrames) const;

    const WaveFormatRecord& GetInFormat() const { return m_InFormat; }
    const WaveFormatRecord& GetOutFormat() const { return m_OutFormat; }
    // The gain of input channel lIn in output channel lOut (0 where it does not contribute).
    float GetGain(LONG lOut, LONG lIn) const;

private:
    void BuildMapping();

    WaveFormatRecord m_InFormat;
    WaveFormatRecord m_OutFormat;
    uint8_t m_bInitialised;
    uint8_t m_bConfigured;
    // Per output channel: the contributing input channels and their gains, in summing order.
    uint8_t m_TermCount[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    uint8_t m_TermInput[MAX_SOFTWARE_DSP_PROCESS_CHANNELS][MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    float m_TermGain[MAX_SOFTWARE_DSP_PROCESS_CHANNELS][MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
};
