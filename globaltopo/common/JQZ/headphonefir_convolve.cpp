// HeadphoneFir: the uniformly partitioned convolution (overlap-save on 1,024-point frames) and
// the block with its response switch and CTC stage.
#include <cstring>

#include "globaltopo/common/JQZ/headphonefir.h"

namespace {

constexpr int32_t LINE_A = 0;
constexpr int32_t LINES_STEREO = 2;   // A and B
constexpr int32_t LINES_SURROUND = 5;  // A to E
constexpr float SIDE_DIRECT = 0.95f;
constexpr float SIDE_CROSS = 0.312f;
constexpr float OUTPUT_GAIN = 2.0f;

bool IsInputCount(int32_t nIn) { return nIn == 2 || nIn == 6 || nIn == 8; }

// A frame: the previous half, then the current block.
void WriteFrame(float* slot, const float* previous, const float* current)
{
    std::memcpy(slot, previous, HEADPHONEFIR_N * sizeof(float));
    std::memcpy(slot + HEADPHONEFIR_N, current, HEADPHONEFIR_N * sizeof(float));
}

// The frame of a + b.
void WriteSumFrame(float* slot, const float* previousA, const float* previousB, const float* currentA,
                   const float* currentB)
{
    Add(previousA, previousB, slot, HEADPHONEFIR_N);
    Add(currentA, currentB, slot + HEADPHONEFIR_N, HEADPHONEFIR_N);
}

}  // namespace

void HeadphoneFir::Convolve(float* const* out, int32_t nOut, float* const* in, int32_t nIn, int32_t len, bool reuse)
{
    if (out == nullptr || nOut != 2 || out[0] == nullptr || out[1] == nullptr) {
        return;
    }
    bool usable = in != nullptr && IsInputCount(nIn) && len == HEADPHONEFIR_N && m_pFftSpec != nullptr &&
                  m_nHeadCount > 0 && m_nTailCount > 0;
    for (int32_t c = 0; usable && c < nIn; ++c) {
        usable = in[c] != nullptr;
    }
    if (!usable) {
        // Silence over the caller's length, at most one block.
        const int32_t n = len < 0 ? 0 : len > HEADPHONEFIR_N ? HEADPHONEFIR_N : len;
        std::memset(out[0], 0, static_cast<size_t>(n) * sizeof(float));
        std::memset(out[1], 0, static_cast<size_t>(n) * sizeof(float));
        return;
    }
    const int32_t headCount = m_nHeadCount;
    const int32_t tailCount = m_nTailCount;
    const int32_t lines = nIn == 2 ? LINES_STEREO : LINES_SURROUND;

    if (reuse) {
        // Undo the previous call's step back: the same slots again.
        m_nHeadIndex = (m_nHeadIndex + 1) % headCount;
        m_nTailIndex = (m_nTailIndex + 1) % tailCount;
    }
    // A switch to fewer partitions can leave an index beyond the new count until the step back.
    const int32_t k = m_nHeadIndex % headCount;
    const int32_t t = m_nTailIndex % tailCount;

    if (!reuse) {
        // The tail receives the summed input as it leaves the head window (slot k is the frame of
        // headCount blocks ago).
        float* tailSlot = m_TailDelayLine[t];
        std::memcpy(tailSlot, m_HeadDelayLines[LINE_A][k], HEADPHONEFIR_SPECTRUM * sizeof(float));
        for (int32_t v = 1; v < lines; ++v) {
            AddInPlace(m_HeadDelayLines[v][k], tailSlot, HEADPHONEFIR_SPECTRUM);
        }
        if (nIn == 8) {
            // Side and back pairs fold into the two rear loudspeakers, in the caller's buffers.
            float* fold4 = m_ProductScratch[0];
            float* fold5 = m_ProductScratch[1];
            MultiplyByConstant(in[4], SIDE_DIRECT, fold4, HEADPHONEFIR_N);
            MultiplyAccumulateByConstant(in[5], SIDE_CROSS, fold4, HEADPHONEFIR_N);
            MultiplyByConstant(in[4], SIDE_CROSS, fold5, HEADPHONEFIR_N);
            MultiplyAccumulateByConstant(in[5], SIDE_DIRECT, fold5, HEADPHONEFIR_N);
            Add(fold4, in[6], in[4], HEADPHONEFIR_N);
            Add(fold5, in[7], in[5], HEADPHONEFIR_N);
        }
        if (nIn == 2) {
            WriteFrame(m_HeadDelayLines[0][k], m_PreviousHalves[0], in[0]);
            WriteFrame(m_HeadDelayLines[1][k], m_PreviousHalves[1], in[1]);
        } else {
            // The low-frequency channel feeds the two front loudspeakers.
            WriteSumFrame(m_HeadDelayLines[0][k], m_PreviousHalves[0], m_PreviousHalves[3], in[0], in[3]);
            WriteSumFrame(m_HeadDelayLines[1][k], m_PreviousHalves[1], m_PreviousHalves[3], in[1], in[3]);
            WriteFrame(m_HeadDelayLines[2][k], m_PreviousHalves[2], in[2]);
            WriteFrame(m_HeadDelayLines[3][k], m_PreviousHalves[4], in[4]);
            WriteFrame(m_HeadDelayLines[4][k], m_PreviousHalves[5], in[5]);
        }
        const int32_t kept = nIn == 2 ? 2 : 6;
        for (int32_t c = 0; c < kept; ++c) {
            std::memcpy(m_PreviousHalves[c], in[c], HEADPHONEFIR_N * sizeof(float));
        }
        for (int32_t v = 0; v < lines; ++v) {
            ForwardRealFftInPlace(m_HeadDelayLines[v][k], m_pFftSpec, m_pFftWork);
        }
    }

    float* left = m_Accumulators[0];
    float* right = m_Accumulators[1];
    std::memset(left, 0, HEADPHONEFIR_SPECTRUM * sizeof(float));
    std::memset(right, 0, HEADPHONEFIR_SPECTRUM * sizeof(float));
    // Head partition i meets the frame of i blocks ago.
    int32_t s = k;
    for (int32_t i = 0; i < headCount; ++i) {
        for (int32_t v = 0; v < lines; ++v) {
            MultiplyPackedSpectrum(m_HeadSpectra[2 * v][i], m_HeadDelayLines[v][s], m_ProductScratch[0],
                                   HEADPHONEFIR_SPECTRUM);
            AddInPlace(m_ProductScratch[0], left, HEADPHONEFIR_SPECTRUM);
            MultiplyPackedSpectrum(m_HeadSpectra[2 * v + 1][i], m_HeadDelayLines[v][s], m_ProductScratch[1],
                                   HEADPHONEFIR_SPECTRUM);
            AddInPlace(m_ProductScratch[1], right, HEADPHONEFIR_SPECTRUM);
        }
        s = (s + 1) % headCount;
    }
    // Tail partition j meets the summed input of 2 + j blocks ago.
    s = t;
    for (int32_t j = 0; j < tailCount; ++j) {
        MultiplyPackedSpectrum(m_TailSpectra[0][j], m_TailDelayLine[s], m_ProductScratch[0], HEADPHONEFIR_SPECTRUM);
        AddInPlace(m_ProductScratch[0], left, HEADPHONEFIR_SPECTRUM);
        MultiplyPackedSpectrum(m_TailSpectra[1][j], m_TailDelayLine[s], m_ProductScratch[1], HEADPHONEFIR_SPECTRUM);
        AddInPlace(m_ProductScratch[1], right, HEADPHONEFIR_SPECTRUM);
        s = (s + 1) % tailCount;
    }
    InverseRealFftInPlace(left, m_pFftSpec, m_pFftWork);
    InverseRealFftInPlace(right, m_pFftSpec, m_pFftWork);
    // Overlap-save: the second half is this block's output.
    MultiplyByConstant(left + HEADPHONEFIR_N, OUTPUT_GAIN, out[0], HEADPHONEFIR_N);
    MultiplyByConstant(right + HEADPHONEFIR_N, OUTPUT_GAIN, out[1], HEADPHONEFIR_N);

    // Step back: the next block writes one slot below the newest.
    m_nHeadIndex = (k - 1 + headCount) % headCount;
    m_nTailIndex = (t - 1 + tailCount) % tailCount;
}

void HeadphoneFir::Process(float* const* out, int32_t nOut, float* const* in, int32_t nIn, int32_t len)
{
    Convolve(out, nOut, in, nIn, len, false);
    // The CTC stage works on whole blocks.
    if (out == nullptr || nOut != 2 || out[0] == nullptr || out[1] == nullptr || len != HEADPHONEFIR_N) {
        return;
    }
    if (IsSwitchPending()) {
        const int32_t oldHead = m_nHeadCount > 0 ? m_nHeadCount : 0;
        const int32_t oldTail = m_nTailCount > 0 ? m_nTailCount : 0;
        LoadImpulseResponses();
        // Slots beyond the old counts were written before an earlier switch: their audio is stale.
        for (int32_t p = oldHead; p < m_nHeadCount; ++p) {
            for (int32_t v = 0; v < HEADPHONEFIR_MAX_INPUTS; ++v) {
                std::memset(m_HeadDelayLines[v][p], 0, sizeof(m_HeadDelayLines[v][p]));
            }
        }
        for (int32_t p = oldTail; p < m_nTailCount; ++p) {
            std::memset(m_TailDelayLine[p], 0, sizeof(m_TailDelayLine[p]));
        }
        if (m_pSwitchScratch != nullptr && len == HEADPHONEFIR_N) {
            float* scratch[2] = {m_pSwitchScratch, m_pSwitchScratch + HEADPHONEFIR_N};
            Convolve(scratch, 2, in, nIn, len, true);
            const float n = static_cast<float>(len);
            for (int32_t c = 0; c < 2; ++c) {
                float* o = out[c];
                const float* x = scratch[c];
                for (int32_t i = 0; i < len; ++i) {
                    const float w = static_cast<float>(i) / n;
                    o[i] = static_cast<float>(len - i) / n * o[i] + w * x[i];
                }
            }
        } else if (m_nHeadCount > 0 && m_nTailCount > 0) {
            // No crossfade: the new responses take over with the next block.
            m_nHeadIndex %= m_nHeadCount;
            m_nTailIndex %= m_nTailCount;
        }
    }
    ApplyCtc(out, 2, out, 2, HEADPHONEFIR_N);
}
