// Test-only access to HeadphoneFir and a fixture that builds it as its owner does: zeroed
// non-paged memory with the tag "JQZP", constructed in place, Init run; released and freed after.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <new>

#include "globaltopo/common/JQZ/headphonefir.h"
#include "platform/nt/Pool.h"

struct HeadphoneFirInspector {
    static int32_t Room(const HeadphoneFir& f) { return f.m_nRoom; }
    static int32_t Angle(const HeadphoneFir& f) { return f.m_nAngle; }
    static int32_t HeadCount(const HeadphoneFir& f) { return f.m_nHeadCount; }
    static int32_t TailCount(const HeadphoneFir& f) { return f.m_nTailCount; }
    static const float* HeadSpectrum(const HeadphoneFir& f, int r, int p) { return f.m_HeadSpectra[r][p]; }
    static const float* TailSpectrum(const HeadphoneFir& f, int e, int p) { return f.m_TailSpectra[e][p]; }
    static int32_t CtcAngle(const HeadphoneFir& f) { return f.m_nCtcAngle; }
    static int32_t CtcFilterLength(const HeadphoneFir& f) { return f.m_nCtcFilterLength; }
    // Which of the state slots the blocks use: a new install always takes another slot.
    static const void* CtcInstalled(const HeadphoneFir& f) { return f.m_pCtcInstalled; }
    static const float* CtcLeftLine(const HeadphoneFir& f) { return f.m_CtcLeftLine; }
    static const float* CtcRightLine(const HeadphoneFir& f) { return f.m_CtcRightLine; }
};

namespace kvxtest {

inline HeadphoneFir* NewHeadphoneFir()
{
    void* memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(HeadphoneFir), HEADPHONEFIR_POOL_TAG);
    if (memory == nullptr) {
        return nullptr;
    }
    std::memset(memory, 0, sizeof(HeadphoneFir));
    return new (memory) HeadphoneFir;
}

inline void DeleteHeadphoneFir(HeadphoneFir* fir)
{
    fir->Release();
    ExFreePoolWithTag(fir, HEADPHONEFIR_POOL_TAG);
}

class HeadphoneFirTestBase : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_fir = NewHeadphoneFir();
        ASSERT_NE(m_fir, nullptr);
        ASSERT_EQ(m_fir->Init(), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        if (m_fir != nullptr) {
            DeleteHeadphoneFir(m_fir);
        }
    }
    HeadphoneFir* m_fir = nullptr;
};

}  // namespace kvxtest
