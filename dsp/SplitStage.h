// The first stage of every chain of the format adapter: keeps the adapter's two formats as
// given, hands their 32-bit float counterparts to its CChannelConversion, and (Split) turns one
// block of the input format's channels into the output format's channels in its own output
// buffers, from where the sample-rate stages take them. Its Process is the base operation.
#pragma once

#include "dsp/ChannelConversion.h"
#include "dsp/SrcStage.h"

class SplitStage : public SrcStage {
public:
    SplitStage();
    ~SplitStage();

    LONG GetUpStateSize() override { return 4; }
    LONG GetDownStateSize() override { return 4; }

    // Creates and initialises the channel conversion, then the stage's buffers.
    bool Init();
    // Keeps both records and configures the channel conversion with their float counterparts;
    // returns its result.
    bool SetFormat(const WaveFormatRecord* pInFormat, const WaveFormatRecord* pOutFormat);
    // Maps lFrames frames of the input channels (one array per input channel) onto the output
    // channels, appended to the output buffers; false when the conversion is not configured or
    // the frames do not fit.
    bool Split(const float* const* ppIn, LONG lFrames);

    const WaveFormatRecord& GetInFormat() const { return m_InFormat; }
    CChannelConversion* GetConversion() const { return m_pConversion; }

    // The 32-bit IEEE-float counterpart of a record (kept as it is when already float).
    static void ToFloatFormat(WaveFormatRecord* pFormat);

private:
    WaveFormatRecord m_InFormat;
    WaveFormatRecord m_OutFormat;
    CChannelConversion* m_pConversion;
};
