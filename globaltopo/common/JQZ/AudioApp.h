// AudioApp: the block driver of the headphone engine. Audio comes in chunks of any length at the
// device rate; the driver gathers it into blocks, converts each full block to the processing rate
// of 44,100 Hz (one resampler per channel, factor 1 or 2), hands it to ProcessBlock, converts the
// result back and plays it out during the following block. The output therefore lags the input
// by one device-rate block plus the resamplers' filter delay.
//
// Buffers and resamplers come from non-paged pool ("JQZP"), zeroed. Configure and ReleaseBuffers
// at PASSIVE_LEVEL, with no Process running; Process allocates nothing and runs at any IRQL
// under its owner's serialisation.
#pragma once

#include <cstdint>

#include "globaltopo/common/JQZ/SRC.h"

constexpr int32_t AUDIOAPP_PROCESSING_RATE = 44100;
constexpr int32_t AUDIOAPP_BLOCK = 512;
constexpr int32_t AUDIOAPP_MAX_CHANNELS = 8;
// Device rates whose integer factor to 44,100 Hz is 1 or 2: the factors the filters serve.
constexpr int32_t AUDIOAPP_MIN_RATE = 14701;
constexpr int32_t AUDIOAPP_MAX_RATE = 132299;
constexpr float AUDIOAPP_INPUT_OFFSET = 1e-10f;

// Copies src channel i into dst channel i for each i below nDst (overlap-safe; nothing when both
// are the same buffer), and fills the dst channels from nSrc on with len zeros.
void CopyChannels(float* const* dst, int32_t nDst, const float* const* src, int32_t nSrc, int32_t len);

class AudioApp {
public:
    AudioApp(int32_t rate, int32_t blockLength, int32_t inputCapacity, int32_t outputCount, float offsetScale);
    virtual ~AudioApp() = default;

    // One block at the processing rate. Nothing here.
    virtual void ProcessBlock(float* const* out, int32_t nOut, float* const* in, int32_t nIn, int32_t len);
    // Clears the processing history. Nothing here.
    virtual void Reset();

    // Rebuilds every buffer and resampler for the device rate, empties the block in progress and
    // runs Reset. 1 when everything was obtained; 0 (with nothing kept) for a rate outside 14,701
    // to 132,299 Hz, a capacity or count outside 1 to 8, or a failed allocation.
    int32_t Configure(int32_t deviceRate, int32_t inputCapacity, int32_t outputCount);
    // Streams frames through the driver; in and out may be the same buffers. False, with nothing
    // done, when the driver is not configured or the counts exceed its configuration.
    bool Process(float* const* out, int32_t nOut, float* const* in, int32_t nIn, int32_t frames);
    void ReleaseBuffers();

    bool IsConfigured() const { return m_bConfigured != 0; }
    int32_t RealDataLen() const { return m_nRealDataLen; }
    int32_t SrcFactor() const { return m_nSrcFactor; }
    int32_t Direction() const { return m_nDirection; }
    int32_t WritePosition() const { return m_nWritePosition; }

private:
    bool Init();
    void RunBlock();
    void ConvertInput(int32_t nIn);
    void ConvertOutput(int32_t nOut);

    int32_t m_nDeviceRate;
    int32_t m_nRealDataLen;
    int32_t m_nProcessingRate;
    int32_t m_nDataLen;
    int32_t m_nInputCapacity;
    int32_t m_nOutputCount;
    float m_fOffsetScale;
    int32_t m_nWritePosition;
    float* m_pInputBlocks[AUDIOAPP_MAX_CHANNELS];
    float* m_pOutputBlocks[AUDIOAPP_MAX_CHANNELS];
    float* m_pInCursors[AUDIOAPP_MAX_CHANNELS];
    float* m_pOutCursors[AUDIOAPP_MAX_CHANNELS];
    int32_t m_nLinearPhase;
    int32_t m_nDirection;
    int32_t m_nSrcFactor;
    SRC* m_pResamplers[AUDIOAPP_MAX_CHANNELS];
    float* m_pProcessingInputs[AUDIOAPP_MAX_CHANNELS];
    float* m_pProcessingOutputs[AUDIOAPP_MAX_CHANNELS];
    int32_t m_nSplitBand;  // no part of the system sets it; the option is not provided
    int32_t m_bConfigured;
    int32_t m_nInputCount;   // channels of the block being gathered
    int32_t m_nOutputUsed;   // output channels of the block being played
};
