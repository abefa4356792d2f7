// HeadphoneFir: the mid/side CTC stage. The symmetric 2 x 2 matrix [[d, x], [x, d]] is applied
// as two filters, mid = d + x on L + R and side = d - x on L - R: then (mid + side) / 2 =
// d*L + x*R and (mid - side) / 2 = x*L + d*R.
#include <cstring>

#include "globaltopo/common/JQZ/headphonefir.h"
#include "platform/nt/Sync.h"

// Fills the tap arrays for the angle and returns its filter length. Bypass sets only tap 0 of
// each: its states are never filtered through.
int32_t HeadphoneFir::CtcTaps(int32_t angle)
{
    for (int32_t a = 0; a < HEADPHONE_CTC_ANGLES; ++a) {
        if (HeadphoneCtcAngles[a] == angle) {
            const float* d = HeadphoneCtcTable + a * 2 * HEADPHONE_CTC_TAPS;
            const float* x = d + HEADPHONE_CTC_TAPS;
            for (int32_t i = 0; i < HEADPHONE_CTC_TAPS; ++i) {
                m_CtcMidTaps[i] = d[i] + x[i];
                m_CtcSideTaps[i] = d[i] - x[i];
            }
            return HEADPHONEFIR_CTC_FILTER;
        }
    }
    m_CtcMidTaps[0] = 1.0f;
    m_CtcSideTaps[0] = 1.0f;
    return HEADPHONEFIR_CTC_BYPASS;
}

// Both states for the angle, histories at zero; false, with nothing left over, when either
// cannot be created.
bool HeadphoneFir::BuildCtcStates(int32_t angle, CtcStates* slot)
{
    const int32_t length = CtcTaps(angle);
    FirState* mid = nullptr;
    FirState* side = nullptr;
    if (CreateFirState(&mid, m_CtcMidTaps, HEADPHONE_CTC_TAPS, nullptr) != StatusOk) {
        return false;
    }
    if (CreateFirState(&side, m_CtcSideTaps, HEADPHONE_CTC_TAPS, nullptr) != StatusOk) {
        DestroyFirState(mid);
        return false;
    }
    slot->pMidFilter = mid;
    slot->pSideFilter = side;
    slot->filterLength = length;
    InterlockedExchange(&slot->retired, 0);
    return true;
}

void HeadphoneFir::DestroyCtcStates(CtcStates* slot)
{
    DestroyFirState(slot->pMidFilter);
    DestroyFirState(slot->pSideFilter);
    slot->pMidFilter = nullptr;
    slot->pSideFilter = nullptr;
}

// Under the setter lock: destroys the states that ApplyCtc has replaced.
void HeadphoneFir::ReclaimRetiredCtcStates()
{
    for (int32_t i = 0; i < CTC_SLOTS; ++i) {
        if (m_CtcSlotInUse[i] != 0 && InterlockedExchange(&m_CtcSlots[i].retired, 0) != 0) {
            DestroyCtcStates(&m_CtcSlots[i]);
            m_CtcSlotInUse[i] = 0;
        }
    }
}

int32_t HeadphoneFir::SetCtcAngle(int32_t nCTCAngle)
{
    ExAcquireFastMutex(&m_CtcSetterLock);
    ReclaimRetiredCtcStates();
    if (nCTCAngle != m_nCtcAngle) {
        // At most the installed and a handed-over slot are in use here, so one is free.
        int32_t free = 0;
        while (free < CTC_SLOTS && m_CtcSlotInUse[free] != 0) {
            ++free;
        }
        // A state that cannot be created keeps the current states, filter length and angle (a
        // null state would make every filtered block replay stale lines); the next call retries.
        if (free < CTC_SLOTS && BuildCtcStates(nCTCAngle, &m_CtcSlots[free])) {
            m_CtcSlotInUse[free] = 1;
            auto* unused = static_cast<CtcStates*>(InterlockedExchangePointer(&m_pCtcHandedOver, &m_CtcSlots[free]));
            if (unused != nullptr) {
                // Handed over earlier and never installed: no block has seen it.
                DestroyCtcStates(unused);
                m_CtcSlotInUse[unused - m_CtcSlots] = 0;
            }
            m_nCtcAngle = nCTCAngle;
        }
    }
    ExReleaseFastMutex(&m_CtcSetterLock);
    return 1;
}

// At the start of a block: takes the states handed over, if any, with cleared mid and side
// buffers, and retires the ones used so far. The lines are kept.
void HeadphoneFir::InstallHandedOverCtcStates()
{
    auto* next = static_cast<CtcStates*>(InterlockedExchangePointer(&m_pCtcHandedOver, nullptr));
    if (next == nullptr) {
        return;
    }
    CtcStates* previous = m_pCtcInstalled;
    m_pCtcInstalled = next;
    m_pCtcMidFilter = next->pMidFilter;
    m_pCtcSideFilter = next->pSideFilter;
    m_nCtcFilterLength = next->filterLength;
    std::memset(m_CtcMidBuffer, 0, sizeof(m_CtcMidBuffer));
    std::memset(m_CtcSideBuffer, 0, sizeof(m_CtcSideBuffer));
    if (previous != nullptr) {
        InterlockedExchange(&previous->retired, 1);
    }
}

void HeadphoneFir::ApplyCtc(float* const* out, int32_t nOut, float* const* in, int32_t nIn, int32_t len)
{
    if (out == nullptr || in == nullptr || nOut != 2 || nIn != 2 || len != HEADPHONEFIR_N || out[0] == nullptr ||
        out[1] == nullptr || in[0] == nullptr || in[1] == nullptr) {
        return;
    }
    InstallHandedOverCtcStates();
    const float* left = in[0];
    const float* right = in[1];
    // Every input sample is consumed before an output sample is written: in place is safe.
    Add(left, right, m_CtcMidBuffer, HEADPHONEFIR_N);
    Subtract(right, left, m_CtcSideBuffer, HEADPHONEFIR_N);
    if (m_nCtcFilterLength == HEADPHONEFIR_CTC_FILTER) {
        FilterFir(m_CtcMidBuffer, m_CtcLeftLine, HEADPHONEFIR_N, m_pCtcMidFilter);
        FilterFir(m_CtcSideBuffer, m_CtcRightLine, HEADPHONEFIR_N, m_pCtcSideFilter);
        for (int32_t i = 0; i < HEADPHONEFIR_N; ++i) {
            const float mid = m_CtcLeftLine[i];
            const float side = m_CtcRightLine[i];
            out[0][i] = 0.5f * (mid + side);
            out[1][i] = 0.5f * (mid - side);
        }
        return;
    }
    // Bypass: each line delays its channel by 255 samples.
    constexpr int32_t KEPT = HEADPHONEFIR_CTC_LINE - HEADPHONEFIR_N;  // 256
    CopyFloat(left, m_CtcLeftLine + KEPT, HEADPHONEFIR_N);
    CopyFloat(right, m_CtcRightLine + KEPT, HEADPHONEFIR_N);
    CopyFloat(m_CtcLeftLine + 1, out[0], HEADPHONEFIR_N);
    CopyFloat(m_CtcRightLine + 1, out[1], HEADPHONEFIR_N);
    CopyFloat(m_CtcLeftLine + HEADPHONEFIR_N, m_CtcLeftLine, KEPT);
    CopyFloat(m_CtcRightLine + HEADPHONEFIR_N, m_CtcRightLine, KEPT);
}
