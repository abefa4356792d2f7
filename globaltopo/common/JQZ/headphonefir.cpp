// HeadphoneFir: set-up, reset and release.
#include "globaltopo/common/JQZ/headphonefir.h"

#include <cstring>

#include "platform/nt/Sync.h"
#include "primitives/core/Memory.h"

NTSTATUS HeadphoneFir::Init()
{
    ExInitializeFastMutex(&m_CtcSetterLock);
    m_pFftSpec = nullptr;
    if (CreateRealFft(&m_pFftSpec, HEADPHONEFIR_FFT_ORDER, 2, 0) != StatusOk) {
        m_pFftSpec = nullptr;
    }
    m_pFftWork = nullptr;
    m_nHeadCount = -1;
    m_nTailCount = -1;
    m_nCtcAngle = CTCANGLE_UNDEFINED;
    Reset();

    m_nRoom = 1;
    m_nAngle = 29;
    InterlockedExchange(&m_Selection, PackSelection(m_nRoom, m_nAngle));
    LoadImpulseResponses();

    // Bypass, installed at once: no block runs yet. Without the states the stage still bypasses
    // (the filter length stays 0), and a later SetCtcAngle tries again.
    CtcStates* slot = &m_CtcSlots[0];
    m_bHaveCtcStates = BuildCtcStates(0, slot) ? 1 : 0;
    if (m_bHaveCtcStates != 0) {
        m_CtcSlotInUse[0] = 1;
        m_pCtcInstalled = slot;
        m_pCtcMidFilter = slot->pMidFilter;
        m_pCtcSideFilter = slot->pSideFilter;
        m_nCtcFilterLength = slot->filterLength;
        m_nCtcAngle = 0;
    }
    InterlockedExchange8(&m_bSwitchPending, 0);

    // A switch crossfades through these; without them it switches at once.
    m_pSwitchScratch = static_cast<float*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, 2 * HEADPHONEFIR_N * sizeof(float), HEADPHONEFIR_SWITCH_TAG));
    if (m_pSwitchScratch != nullptr) {
        std::memset(m_pSwitchScratch, 0, 2 * HEADPHONEFIR_N * sizeof(float));
    }
    return m_pFftSpec != nullptr && m_bHaveCtcStates != 0 ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

void HeadphoneFir::Reset()
{
    std::memset(m_PreviousHalves, 0, sizeof(m_PreviousHalves));
    std::memset(m_HeadDelayLines, 0, sizeof(m_HeadDelayLines));
    std::memset(m_TailDelayLine, 0, sizeof(m_TailDelayLine));
    std::memset(m_Accumulators, 0, sizeof(m_Accumulators));
    m_nHeadIndex = 0;
    m_nTailIndex = 0;
    std::memset(m_CtcMidBuffer, 0, sizeof(m_CtcMidBuffer));
    std::memset(m_CtcSideBuffer, 0, sizeof(m_CtcSideBuffer));
}

void HeadphoneFir::Release()
{
    ExAcquireFastMutex(&m_CtcSetterLock);
    if (m_pFftSpec != nullptr) {
        DestroyRealFft(m_pFftSpec);
        m_pFftSpec = nullptr;
    }
    // Installed, handed over or retired: no block runs any more, so every state goes.
    for (int32_t i = 0; i < CTC_SLOTS; ++i) {
        if (m_CtcSlotInUse[i] != 0) {
            DestroyCtcStates(&m_CtcSlots[i]);
            m_CtcSlotInUse[i] = 0;
        }
    }
    InterlockedExchangePointer(&m_pCtcHandedOver, nullptr);
    m_pCtcInstalled = nullptr;
    m_pCtcMidFilter = nullptr;
    m_pCtcSideFilter = nullptr;
    m_nCtcFilterLength = 0;
    if (m_pFftWork != nullptr) {
        PoolFreeHook(m_pFftWork);
        m_pFftWork = nullptr;
    }
    if (m_pSwitchScratch != nullptr) {
        ExFreePoolWithTag(m_pSwitchScratch, HEADPHONEFIR_SWITCH_TAG);
        m_pSwitchScratch = nullptr;
    }
    ExReleaseFastMutex(&m_CtcSetterLock);
}
