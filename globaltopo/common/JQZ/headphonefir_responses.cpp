// HeadphoneFir: choosing a set and angle code and turning its responses into partition spectra.
#include <cstring>

#include "globaltopo/common/JQZ/headphonefir.h"
#include "platform/nt/Sync.h"

int32_t HeadphoneFir::SelectImpulseResponses(int32_t roomCode, int32_t angleCode)
{
    // The room codes run the other way from the sets; an unknown room takes the middle set.
    const int32_t set = roomCode == 0 ? 3 : roomCode == 1 ? 2 : roomCode == 2 ? 1 : 2;
    const int32_t code = HeadphoneAngleCodeIndex(angleCode) >= 0 ? angleCode : 24;
    // The word first, then the flag: a load that sees the flag reads this word or a later one.
    InterlockedExchange(&m_Selection, PackSelection(set, code));
    InterlockedExchange8(&m_bSwitchPending, 1);
    return 1;
}

bool HeadphoneFir::IsSwitchPending() const
{
    return InterlockedCompareExchange8(const_cast<CHAR volatile*>(&m_bSwitchPending), 0, 0) != 0;
}

int32_t HeadphoneFir::LoadImpulseResponses()
{
    // The flag first, then the word: a selection published meanwhile raises the flag again and
    // is loaded by the next block.
    InterlockedExchange8(&m_bSwitchPending, 0);
    const LONG selection = InterlockedCompareExchange(&m_Selection, 0, 0);
    m_nRoom = selection >> 16;
    m_nAngle = selection & 0xFFFF;
    // Until a valid load the convolution adds no partition.
    m_nHeadCount = -1;
    m_nTailCount = -1;
    const int32_t codeIndex = HeadphoneAngleCodeIndex(m_nAngle);
    if (m_nRoom < 1 || m_nRoom > HEADPHONE_SETS || codeIndex < 0) {
        return 1;
    }
    const int32_t family = HeadphoneAngleFamily(m_nAngle);
    PrepareImpulseResponses(HeadphoneResponseLibrary + HeadphoneHeadOffset(m_nRoom, codeIndex),
                            HEADPHONE_HEAD_RESPONSES, HEADPHONE_HEAD_LENGTH,
                            HeadphoneResponseLibrary + HeadphoneTailOffset(m_nRoom, family), HEADPHONE_TAIL_RESPONSES,
                            HeadphoneTailLengths[m_nRoom - 1][family], &m_HeadSpectra[0][0][0], &m_TailSpectra[0][0][0],
                            &m_nHeadCount, &m_nTailCount, m_pFftSpec, m_pFftWork);
    return 1;
}

namespace {

// One partition: 512 samples and 512 zeros, transformed in place.
void PreparePartition(const float* samples, float* spectrum, const FftSpec* spec, uint8_t* workBuffer)
{
    std::memcpy(spectrum, samples, HEADPHONEFIR_N * sizeof(float));
    std::memset(spectrum + HEADPHONEFIR_N, 0, HEADPHONEFIR_N * sizeof(float));
    ForwardRealFftInPlace(spectrum, spec, workBuffer);
}

}  // namespace

NTSTATUS PrepareImpulseResponses(const float* headTable, int32_t nhead, int32_t headlen, const float* tailTable,
                                 int32_t ntail, int32_t tailen, float* headSpectra, float* tailSpectra,
                                 int32_t* pHeadCount, int32_t* pTailCount, const FftSpec* spec, uint8_t* workBuffer)
{
    // The spectra are laid out for ten head responses of up to two partitions and two tail
    // responses of up to fourteen.
    if (headTable == nullptr || tailTable == nullptr || headSpectra == nullptr || tailSpectra == nullptr ||
        spec == nullptr || nhead != HEADPHONE_HEAD_RESPONSES || ntail != HEADPHONE_TAIL_RESPONSES || headlen <= 0 ||
        headlen % HEADPHONEFIR_N != 0 || headlen / HEADPHONEFIR_N > HEADPHONEFIR_HEAD_PARTITIONS || tailen <= 0 ||
        tailen % HEADPHONEFIR_N != 0 || tailen / HEADPHONEFIR_N > HEADPHONEFIR_TAIL_PARTITIONS) {
        return STATUS_INVALID_PARAMETER;
    }
    const int32_t headParts = headlen / HEADPHONEFIR_N;
    const int32_t tailParts = tailen / HEADPHONEFIR_N;
    for (int32_t r = 0; r < nhead; ++r) {
        for (int32_t p = 0; p < headParts; ++p) {
            PreparePartition(headTable + r * headlen + p * HEADPHONEFIR_N,
                             headSpectra + (r * HEADPHONEFIR_HEAD_PARTITIONS + p) * HEADPHONEFIR_SPECTRUM, spec,
                             workBuffer);
        }
    }
    for (int32_t e = 0; e < ntail; ++e) {
        for (int32_t p = 0; p < tailParts; ++p) {
            PreparePartition(tailTable + e * tailen + p * HEADPHONEFIR_N,
                             tailSpectra + (e * HEADPHONEFIR_TAIL_PARTITIONS + p) * HEADPHONEFIR_SPECTRUM, spec,
                             workBuffer);
        }
    }
    if (pHeadCount != nullptr) {
        *pHeadCount = headParts;
    }
    if (pTailCount != nullptr) {
        *pTailCount = tailParts;
    }
    return STATUS_SUCCESS;
}
