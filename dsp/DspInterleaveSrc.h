// The stream format adapter every wave stream owns: a split stage and up to two sample-rate
// stages describing how the device's format becomes the stream's. The stream creates it, resets
// and configures it whenever the device format changes, and frees it; no audio passes through it
// here, so the stages keep only what configuring them needs (their direction and a reset count).
// The owner allocates the object in zeroed non-paged memory (tag "CCST") and constructs it there.
#pragma once

#include <cstdint>

#include "adapter/AudioTypes.h"
#include "platform/nt/Pool.h"

constexpr ULONG DSP_SRC_STAGE_TAG = MakePoolTag("DSPS");
constexpr ULONG DSP_SRC_WORK_BUFFER_BYTES = 0x1E000;

// One stage of the adapter's chain.
enum DspStageKind : uint8_t { DSP_STAGE_SPLIT = 0, DSP_STAGE_X2 = 1, DSP_STAGE_X4 = 2, DSP_STAGE_44K48K = 3 };

struct DspSrcStage {
    DspStageKind Kind;
    uint8_t Up;           // direction: 1 raises the rate, 0 lowers it
    uint8_t Initialised;
    ULONG ResetCount;     // resets since Init; each rebuilds the stage's state for its direction
    USHORT InChannels;    // split stage: the channels of both formats
    USHORT OutChannels;

    bool Init();
    void Reset() { ++ResetCount; }
};

class CDspInterleaveSrc {
public:
    CDspInterleaveSrc();
    ~CDspInterleaveSrc();

    // Allocates the four stages and the work buffer once; false on a second call or at the first
    // failure (what was allocated stays for the destructor).
    bool Init();
    // Resets the x2, x4, 44.1k/48k and split stages; at DISPATCH_LEVEL, allocates nothing.
    bool Reset();
    // Validates both formats, configures the split stage and builds the chain from the pair of
    // rates; refusals print a message (the out format's bit depth silently).
    bool SetFormat(const WaveFormatRecord* pInFormat, const WaveFormatRecord* pOutFormat);

    bool IsInitialised() const { return m_bInitialised != 0; }
    DspSrcStage* GetChain(ULONG ulIndex) const { return ulIndex < 3 ? m_pChain[ulIndex] : nullptr; }
    DspSrcStage* GetSplit() const { return m_pSplit; }
    DspSrcStage* GetX2() const { return m_pX2; }
    DspSrcStage* GetX4() const { return m_pX4; }
    DspSrcStage* GetR() const { return m_p44k48k; }
    const WaveFormatRecord& GetInFormat() const { return m_InFormat; }
    const WaveFormatRecord& GetOutFormat() const { return m_OutFormat; }

private:
    WaveFormatRecord m_InFormat;
    WaveFormatRecord m_OutFormat;
    DspSrcStage* m_pSplit;
    DspSrcStage* m_pX2;
    DspSrcStage* m_pX4;
    DspSrcStage* m_p44k48k;
    PVOID m_pWorkBuffer;
    uint8_t m_bInitialised;
    DspSrcStage* m_pChain[3];
};
