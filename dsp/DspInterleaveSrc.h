// The stream format adapter every wave stream owns: audio in one format (InFormat) becomes audio
// in another (OutFormat) through a chain of stages: the split stage (the channel conversion),
// then none, one or two sample-rate stages chosen from the pair of rates. Six rates are known:
// 44.1, 48, 88.2, 96, 176.4 and 192 kHz.
//
// Process runs the chain on interleaved PCM (16-, packed 24- or 32-bit integers, or 32-bit
// float): the input is converted to float and de-interleaved into the work buffer, mapped onto
// the output channels by the split stage, passed through each sample-rate stage in turn (each
// drained into the next), and the last stage's output is interleaved and converted to the output
// format (rounded to nearest even and saturated). It takes only the input needed to fill the
// output; what a stage holds beyond that stays inside for the next call, so any cut of a stream
// into calls gives the same output. Reset empties everything.
//
// The owner allocates the object in zeroed non-paged memory (tag "CCST") and constructs it
// there. Init and the destructor run at PASSIVE_LEVEL; Reset, SetFormat and Process allocate
// nothing and run at DISPATCH_LEVEL under the owner's lock (the adapter has none of its own).
#pragma once

#include <cstdint>

#include "adapter/AudioTypes.h"
#include "dsp/SplitStage.h"
#include "dsp/SrcStage.h"
#include "dsp/SrcStage44k48k.h"
#include "platform/nt/Pool.h"

constexpr ULONG DSP_SRC_WORK_BUFFER_BYTES = 0x1E000;
// Frames converted per pass: the work buffer holds them once interleaved and once per channel.
constexpr LONG DSP_SRC_BLOCK_FRAMES = DSP_SRC_WORK_BUFFER_BYTES / sizeof(float) / (2 * MAX_SOFTWARE_DSP_PROCESS_CHANNELS);

class CDspInterleaveSrc {
public:
    CDspInterleaveSrc();
    ~CDspInterleaveSrc();

    // Allocates the four stages and the work buffer once; false on a second call or at the first
    // failure (what was allocated stays for the destructor).
    bool Init();
    // Resets the x2, x4, 44.1k/48k and split stages, emptying them; false before a successful
    // Init.
    bool Reset();
    // Validates both formats, configures the split stage and builds the chain from the pair of
    // rates; refusals print a message (the out format's bit depth silently).
    bool SetFormat(const WaveFormatRecord* pInFormat, const WaveFormatRecord* pOutFormat);
    // Converts interleaved InFormat frames at pIn into at most ulOutFrames interleaved OutFormat
    // frames at pOut; *pConsumed and *pProduced say how many were taken and written. False, with
    // nothing taken or written, when no chain is configured (before a successful SetFormat or
    // after a refused one) or the formats have 0 channels or float samples other than 32-bit.
    bool Process(const UCHAR* pIn, ULONG ulInFrames, UCHAR* pOut, ULONG ulOutFrames, PULONG pConsumed,
                 PULONG pProduced);

    bool IsInitialised() const { return m_bInitialised != 0; }
    SrcStage* GetChain(ULONG ulIndex) const { return ulIndex < 3 ? m_pChain[ulIndex] : nullptr; }
    SplitStage* GetSplit() const { return m_pSplit; }
    SrcStageX2* GetX2() const { return m_pX2; }
    SrcStage44k48k* GetR() const { return m_p44k48k; }
    const WaveFormatRecord& GetInFormat() const { return m_InFormat; }
    const WaveFormatRecord& GetOutFormat() const { return m_OutFormat; }

private:
    // Converts and de-interleaves lFrames input frames and hands them to the split stage.
    void Pull(const UCHAR* pIn, LONG lFrames);
    // Runs each sample-rate stage of the chain on what the stage before it holds.
    void RunChain();
    // Interleaves and converts lFrames of the last stage's output to pOut and drops them there.
    void Emit(UCHAR* pOut, LONG lFrames);
    SrcStage* LastStage() const;

    WaveFormatRecord m_InFormat;
    WaveFormatRecord m_OutFormat;
    SplitStage* m_pSplit;
    SrcStageX2* m_pX2;
    SrcStageX4* m_pX4;
    SrcStage44k48k* m_p44k48k;
    float* m_pWorkBuffer;
    uint8_t m_bInitialised;
    SrcStage* m_pChain[3];
    // A chain is configured and both formats can run through it.
    uint8_t m_bRunnable;
};
