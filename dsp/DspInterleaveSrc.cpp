#include "dsp/DspInterleaveSrc.h"

#include <cstring>

#include "dsp/PeakLimiter.h"
#include "platform/nt/Debug.h"

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

// The tag that counts: the first 16 bits of the subformat of an extensible record.
USHORT EffectiveTag(const WaveFormatRecord* f)
{
    if (f->Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE) {
        USHORT tag;
        std::memcpy(&tag, &f->SubFormat, sizeof tag);
        return tag;
    }
    return f->Format.wFormatTag;
}

bool TagPasses(const WaveFormatRecord* f)
{
    const USHORT tag = EffectiveTag(f);
    return tag == WAVE_FORMAT_PCM || tag == WAVE_FORMAT_IEEE_FLOAT;
}

bool BitsPass(USHORT bits) { return bits == 16 || bits == 24 || bits == 32; }

// One step of a chain cell: a stage and its direction.
struct ChainStep {
    DspStageKind Kind;  // DSP_STAGE_SPLIT ends the cell
    uint8_t Up;
};
struct ChainCell {
    ChainStep Steps[2];
};
constexpr ChainStep N{DSP_STAGE_SPLIT, 0};
constexpr ChainStep RU{DSP_STAGE_44K48K, 1}, RD{DSP_STAGE_44K48K, 0};
constexpr ChainStep X2U{DSP_STAGE_X2, 1}, X2D{DSP_STAGE_X2, 0};
constexpr ChainStep X4U{DSP_STAGE_X4, 1}, X4D{DSP_STAGE_X4, 0};

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

DspSrcStage* NewStage(DspStageKind kind)
{
    auto* stage = static_cast<DspSrcStage*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(DspSrcStage), DSP_SRC_STAGE_TAG));
    if (stage != nullptr) {
        std::memset(stage, 0, sizeof *stage);
        stage->Kind = kind;
    }
    return stage;
}

void FreeStage(DspSrcStage*& stage)
{
    if (stage != nullptr) {
        ExFreePoolWithTag(stage, DSP_SRC_STAGE_TAG);
        stage = nullptr;
    }
}

}  // namespace

bool DspSrcStage::Init()
{
    Up = 0;
    ResetCount = 0;
    Initialised = 1;
    return true;
}

CDspInterleaveSrc::CDspInterleaveSrc() { m_bInitialised = 0; }

CDspInterleaveSrc::~CDspInterleaveSrc()
{
    if (m_pWorkBuffer != nullptr) {
        ExFreePoolWithTag(m_pWorkBuffer, DSP_SRC_STAGE_TAG);
        m_pWorkBuffer = nullptr;
    }
    FreeStage(m_pSplit);
    FreeStage(m_p44k48k);
    FreeStage(m_pX4);
    FreeStage(m_pX2);
    m_pChain[0] = m_pChain[1] = m_pChain[2] = nullptr;
}

bool CDspInterleaveSrc::Init()
{
    if (m_bInitialised != 0) {
        return false;
    }
    struct {
        DspSrcStage** Slot;
        DspStageKind Kind;
    } stages[] = {{&m_pSplit, DSP_STAGE_SPLIT}, {&m_pX2, DSP_STAGE_X2}, {&m_pX4, DSP_STAGE_X4},
                  {&m_p44k48k, DSP_STAGE_44K48K}};
    for (auto& s : stages) {
        if (*s.Slot == nullptr) {
            *s.Slot = NewStage(s.Kind);
        }
        if (*s.Slot == nullptr || !(*s.Slot)->Init()) {
            return false;
        }
    }
    if (m_pWorkBuffer == nullptr) {
        m_pWorkBuffer = ExAllocatePoolWithTag(NonPagedPoolNx, DSP_SRC_WORK_BUFFER_BYTES, DSP_SRC_STAGE_TAG);
    }
    if (m_pWorkBuffer == nullptr) {
        return false;
    }
    m_bInitialised = 1;
    return true;
}

bool CDspInterleaveSrc::Reset()
{
    m_pX2->Reset();
    m_pX4->Reset();
    m_p44k48k->Reset();
    m_pSplit->Reset();
    return true;
}

bool CDspInterleaveSrc::SetFormat(const WaveFormatRecord* pIn, const WaveFormatRecord* pOut)
{
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
    // The split stage: the per-channel view of both formats.
    m_pSplit->InChannels = m_InFormat.Format.nChannels;
    m_pSplit->OutChannels = m_OutFormat.Format.nChannels;
    Reset();
    m_pChain[0] = m_pSplit;
    m_pChain[1] = m_pChain[2] = nullptr;
    ULONG next = 1;
    for (const ChainStep& step : kChainTable[in][out].Steps) {
        if (step.Kind == DSP_STAGE_SPLIT) {
            break;
        }
        DspSrcStage* stage = step.Kind == DSP_STAGE_X2 ? m_pX2 : step.Kind == DSP_STAGE_X4 ? m_pX4 : m_p44k48k;
        m_pChain[next++] = stage;
        stage->Up = step.Up;
        stage->Reset();
    }
    return true;
}
