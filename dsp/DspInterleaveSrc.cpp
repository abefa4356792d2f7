#include "dsp/DspInterleaveSrc.h"

#include <cstring>
#include <new>

#include "adapter/FloatingPointMode.h"
#include "platform/nt/Debug.h"
#include "primitives/Primitives.h"

namespace {

constexpr const char* kSetFormat = "CDspInterleaveSrc::SetFormat";
constexpr ULONG kRates[6] = {44100, 48000, 88200, 96000, 176400, 192000};

int RateIndex(ULONG rate)
{
    for (int i = 0; i < 6; ++i) {
        if (kRates[i] == rate) return i;
    }
    return -1;
}

bool TagPasses(const WaveFormatRecord* f)
{
    const USHORT tag = WaveFormatEffectiveTag(f);
    return tag == WAVE_FORMAT_PCM || tag == WAVE_FORMAT_IEEE_FLOAT;
}

bool BitsPass(USHORT bits) { return bits == 16 || bits == 24 || bits == 32; }

// Whether interleaved samples of this (validated) format can be converted: 1 to 8 channels, and
// float only as 32-bit.
bool Convertible(const WaveFormatRecord& f)
{
    const USHORT channels = f.Format.nChannels;
    if (channels == 0 || channels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS) return false;
    return WaveFormatEffectiveTag(&f) != WAVE_FORMAT_IEEE_FLOAT || f.Format.wBitsPerSample == 32;
}

// One step of a chain cell: a stage and its direction.
enum StageKind : uint8_t { STAGE_NONE, STAGE_X2, STAGE_X4, STAGE_R };
struct ChainStep {
    StageKind Kind;
    uint8_t Up;
};
struct ChainCell {
    ChainStep Steps[2];
};
constexpr ChainStep N{STAGE_NONE, 0};
constexpr ChainStep RU{STAGE_R, 1}, RD{STAGE_R, 0};
constexpr ChainStep X2U{STAGE_X2, 1}, X2D{STAGE_X2, 0};
constexpr ChainStep X4U{STAGE_X4, 1}, X4D{STAGE_X4, 0};

// Rows: the in rate; columns: the out rate (44.1, 48, 88.2, 96, 176.4, 192 kHz). The 160/147
// step runs at the lower-rate end: first when the rate rises, last when it falls.
constexpr ChainCell kChainTable[6][6] = {
    {{N, N}, {RU, N}, {X2U, N}, {RU, X2U}, {X4U, N}, {RU, X4U}},
    {{RD, N}, {N, N}, {RD, X2U}, {X2U, N}, {RD, X4U}, {X4U, N}},
    {{X2D, N}, {X2D, RU}, {N, N}, {RU, N}, {X2U, N}, {RU, X2U}},
    {{X2D, RD}, {X2D, N}, {RD, N}, {N, N}, {RD, X2U}, {X2U, N}},
    {{X4D, N}, {X4D, RU}, {X2D, N}, {X2D, RU}, {N, N}, {RU, N}},
    {{X4D, RD}, {X4D, N}, {X2D, RD}, {X2D, N}, {RD, N}, {N, N}},
};

// Allocates a stage in zeroed non-paged memory and constructs it there.
template <typename Stage>
Stage* NewStage()
{
    PVOID pMemory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Stage), DSP_SRC_STAGE_TAG);
    if (pMemory == nullptr) {
        return nullptr;
    }
    std::memset(pMemory, 0, sizeof(Stage));
    return new (pMemory) Stage();
}

template <typename Stage>
void DeleteStage(Stage*& pStage)
{
    if (pStage != nullptr) {
        pStage->~Stage();
        ExFreePoolWithTag(pStage, DSP_SRC_STAGE_TAG);
        pStage = nullptr;
    }
}

template <typename Stage>
bool CreateStage(Stage*& pStage)
{
    if (pStage == nullptr) {
        pStage = NewStage<Stage>();
    }
    return pStage != nullptr && pStage->Init();
}

}  // namespace

CDspInterleaveSrc::CDspInterleaveSrc() { m_bInitialised = 0; }

CDspInterleaveSrc::~CDspInterleaveSrc()
{
    if (m_pWorkBuffer != nullptr) {
        ExFreePoolWithTag(m_pWorkBuffer, DSP_SRC_STAGE_TAG);
        m_pWorkBuffer = nullptr;
    }
    m_pChain[0] = m_pChain[1] = m_pChain[2] = nullptr;
    DeleteStage(m_pSplit);
    DeleteStage(m_p44k48k);
    DeleteStage(m_pX4);
    DeleteStage(m_pX2);
}

bool CDspInterleaveSrc::Init()
{
    if (m_bInitialised != 0) {
        return false;
    }
    if (!CreateStage(m_pSplit) || !CreateStage(m_pX2) || !CreateStage(m_pX4) || !CreateStage(m_p44k48k)) {
        return false;
    }
    if (m_pWorkBuffer == nullptr) {
        m_pWorkBuffer =
            static_cast<float*>(ExAllocatePoolWithTag(NonPagedPoolNx, DSP_SRC_WORK_BUFFER_BYTES, DSP_SRC_STAGE_TAG));
    }
    if (m_pWorkBuffer == nullptr) {
        return false;
    }
    m_bInitialised = 1;
    return true;
}

bool CDspInterleaveSrc::Reset()
{
    if (m_bInitialised == 0) {
        return false;
    }
    m_pX2->Reset();
    m_pX4->Reset();
    m_p44k48k->Reset();
    m_pSplit->Reset();
    return true;
}

bool CDspInterleaveSrc::SetFormat(const WaveFormatRecord* pIn, const WaveFormatRecord* pOut)
{
    if (m_bInitialised == 0 || pIn == nullptr || pOut == nullptr) {
        return false;
    }
    m_bRunnable = 0;
    if (!TagPasses(pIn)) {
        DbgPrint("%s Tag not PCM\n", kSetFormat);
        return false;
    }
    if (pIn->Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS) {
        DbgPrint("%s InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n", kSetFormat);
        return false;
    }
    const int in = RateIndex(pIn->Format.nSamplesPerSec);
    if (in < 0) {
        DbgPrint("%s InFormat.Format.nSamplesPerSec not in List\n", kSetFormat);
        return false;
    }
    if (!BitsPass(pIn->Format.wBitsPerSample)) {
        DbgPrint("%s InFormat.Format.wBitsPerSample not in List\n", kSetFormat);
        return false;
    }
    if (!TagPasses(pOut)) {
        DbgPrint("%s Output Tag not PCM\n", kSetFormat);
        return false;
    }
    if (pOut->Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS) {
        DbgPrint("%s Output OutFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n", kSetFormat);
        return false;
    }
    const int out = RateIndex(pOut->Format.nSamplesPerSec);
    if (out < 0) {
        DbgPrint("%s OutFormat.Format.nSamplesPerSec not in List\n", kSetFormat);
        return false;
    }
    if (!BitsPass(pOut->Format.wBitsPerSample)) {
        return false;
    }
    std::memcpy(&m_InFormat, pIn, sizeof m_InFormat);
    std::memcpy(&m_OutFormat, pOut, sizeof m_OutFormat);
    const WaveFormatRecord inCopy = m_InFormat;
    const WaveFormatRecord outCopy = m_OutFormat;
    if (!m_pSplit->SetFormat(&inCopy, &outCopy)) {
        DbgPrint("%s m_pSplit->SetFormat False\n", kSetFormat);
        return false;
    }
    Reset();
    m_pChain[0] = m_pSplit;
    m_pChain[1] = m_pChain[2] = nullptr;
    ULONG next = 1;
    for (const ChainStep& step : kChainTable[in][out].Steps) {
        if (step.Kind == STAGE_NONE) {
            break;
        }
        SrcStage* stage = step.Kind == STAGE_X2 ? static_cast<SrcStage*>(m_pX2)
                          : step.Kind == STAGE_X4 ? static_cast<SrcStage*>(m_pX4)
                                                  : static_cast<SrcStage*>(m_p44k48k);
        m_pChain[next++] = stage;
        stage->m_bUp = step.Up;
        stage->Reset();
    }
    m_bRunnable = Convertible(m_InFormat) && Convertible(m_OutFormat) ? 1 : 0;
    return true;
}

SrcStage* CDspInterleaveSrc::LastStage() const
{
    return m_pChain[2] != nullptr ? m_pChain[2] : m_pChain[1] != nullptr ? m_pChain[1] : m_pChain[0];
}

void CDspInterleaveSrc::Pull(const UCHAR* pIn, LONG lFrames)
{
    const LONG lChannels = m_InFormat.Format.nChannels;
    const LONG lSamples = lFrames * lChannels;
    float* pInterleaved = m_pWorkBuffer;
    float* pChannels = m_pWorkBuffer + DSP_SRC_BLOCK_FRAMES * MAX_SOFTWARE_DSP_PROCESS_CHANNELS;
    switch (m_InFormat.Format.wBitsPerSample) {
    case 16:
        ConvertInt16ToFloat(reinterpret_cast<const int16_t*>(pIn), pInterleaved, lSamples, 15);
        break;
    case 24:
        ConvertInt24ToFloat(pIn, pInterleaved, lSamples);
        DivideByConstantInPlace(8388608.0f, pInterleaved, lSamples);
        break;
    default:
        if (WaveFormatEffectiveTag(&m_InFormat) == WAVE_FORMAT_IEEE_FLOAT) {
            std::memcpy(pInterleaved, pIn, static_cast<size_t>(lSamples) * sizeof(float));
        } else {
            ConvertInt32ToFloatScaled(reinterpret_cast<const int32_t*>(pIn), pInterleaved, lSamples, 31);
        }
        break;
    }
    float* ppChannels[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    for (LONG c = 0; c < lChannels; ++c) {
        ppChannels[c] = pChannels + c * DSP_SRC_BLOCK_FRAMES;
    }
    DeinterleaveChannels(pInterleaved, lChannels, lFrames, ppChannels);
    m_pSplit->Split(ppChannels, lFrames);
}

void CDspInterleaveSrc::RunChain()
{
    const LONG lChannels = m_OutFormat.Format.nChannels;
    for (ULONG s = 1; s < 3 && m_pChain[s] != nullptr; ++s) {
        SrcStage* pFrom = m_pChain[s - 1];
        SrcStage* pTo = m_pChain[s];
        for (LONG c = 0; c < lChannels; ++c) {
            LONG lCount = pFrom->GetOutputCount(c);
            if (lCount == 0) continue;
            pTo->Process(c, pFrom->GetOutput(c), &lCount);
            pFrom->DropOutput(c, lCount);
        }
    }
}

void CDspInterleaveSrc::Emit(UCHAR* pOut, LONG lFrames)
{
    SrcStage* pLast = LastStage();
    const LONG lChannels = m_OutFormat.Format.nChannels;
    const LONG lSamples = lFrames * lChannels;
    const float* ppChannels[MAX_SOFTWARE_DSP_PROCESS_CHANNELS];
    for (LONG c = 0; c < lChannels; ++c) {
        ppChannels[c] = pLast->GetOutput(c);
    }
    float* pInterleaved = m_pWorkBuffer;
    InterleaveChannels(ppChannels, lChannels, lFrames, pInterleaved);
    switch (m_OutFormat.Format.wBitsPerSample) {
    case 16:
        ConvertFloatToInt16(pInterleaved, reinterpret_cast<int16_t*>(pOut), lSamples, RoundNearestEven, -15);
        break;
    case 24:
        ConvertFloatToInt24(pInterleaved, pOut, lSamples, -23);
        break;
    default:
        if (WaveFormatEffectiveTag(&m_OutFormat) == WAVE_FORMAT_IEEE_FLOAT) {
            std::memcpy(pOut, pInterleaved, static_cast<size_t>(lSamples) * sizeof(float));
        } else {
            ConvertFloatToInt32(pInterleaved, reinterpret_cast<int32_t*>(pOut), lSamples, RoundNearestEven, -31);
        }
        break;
    }
    for (LONG c = 0; c < lChannels; ++c) {
        pLast->DropOutput(c, lFrames);
    }
}

bool CDspInterleaveSrc::Process(const UCHAR* pIn, ULONG ulInFrames, UCHAR* pOut, ULONG ulOutFrames, PULONG pConsumed,
                                PULONG pProduced)
{
    if (m_bInitialised == 0 || m_bRunnable == 0 || pConsumed == nullptr || pProduced == nullptr ||
        (pIn == nullptr && ulInFrames != 0) || (pOut == nullptr && ulOutFrames != 0)) {
        return false;
    }
    FloatingPointMode mode;
    const ULONG ulInBlock = m_InFormat.Format.nChannels * (m_InFormat.Format.wBitsPerSample / 8u);
    const ULONG ulOutBlock = m_OutFormat.Format.nChannels * (m_OutFormat.Format.wBitsPerSample / 8u);
    const uint64_t inRate = m_InFormat.Format.nSamplesPerSec;
    const uint64_t outRate = m_OutFormat.Format.nSamplesPerSec;
    // The most input one pass may take so that every stage's output fits its buffer.
    uint64_t maxPull = static_cast<uint64_t>(SRC_STAGE_OUTPUT_CAPACITY) * inRate / outRate;
    maxPull = maxPull > 8 ? maxPull - 8 : 1;
    if (maxPull > static_cast<uint64_t>(DSP_SRC_BLOCK_FRAMES)) maxPull = DSP_SRC_BLOCK_FRAMES;
    SrcStage* pLast = LastStage();
    ULONG ulConsumed = 0;
    ULONG ulProduced = 0;
    while (ulProduced < ulOutFrames) {
        const ULONG ulHeld = static_cast<ULONG>(pLast->GetOutputCount(0));
        if (ulHeld > 0) {
            ULONG n = ulOutFrames - ulProduced;
            if (n > ulHeld) n = ulHeld;
            if (n > static_cast<ULONG>(DSP_SRC_BLOCK_FRAMES)) n = DSP_SRC_BLOCK_FRAMES;
            Emit(pOut + static_cast<size_t>(ulProduced) * ulOutBlock, static_cast<LONG>(n));
            ulProduced += n;
            continue;
        }
        if (ulConsumed == ulInFrames) {
            break;
        }
        // The input the rest of the output needs, at least one frame.
        uint64_t take = ((ulOutFrames - ulProduced) * inRate + outRate - 1) / outRate;
        if (take == 0) take = 1;
        if (take > maxPull) take = maxPull;
        if (take > ulInFrames - ulConsumed) take = ulInFrames - ulConsumed;
        const LONG lSpace = m_pSplit->GetOutputSpace(0);
        if (take > static_cast<uint64_t>(lSpace)) take = static_cast<uint64_t>(lSpace);
        if (take == 0) {
            break;
        }
        Pull(pIn + static_cast<size_t>(ulConsumed) * ulInBlock, static_cast<LONG>(take));
        ulConsumed += static_cast<ULONG>(take);
        RunChain();
    }
    *pConsumed = ulConsumed;
    *pProduced = ulProduced;
    return true;
}
