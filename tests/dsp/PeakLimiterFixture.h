// Test-only helpers for the limiter tests: a limiter built as its owners build it (zeroed
// non-paged memory, constructed in place), access to its state, and format records.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <new>

#include "dsp/PeakLimiter.h"
#include "platform/nt/Pool.h"

constexpr ULONG kOwnerTag = MakePoolTag("USBS");

struct PeakLimiterInspector {
    static bool Allocated(const PeakLimiter& l) { return l.m_Allocated != 0; }
    static const float* Taps(const PeakLimiter& l) { return l.m_Taps; }
    static float CurrentGain(const PeakLimiter& l, int c) { return l.m_CurrentGain[c]; }
    static float ConfiguredGain(const PeakLimiter& l, int c) { return l.m_ConfiguredGain[c]; }
    static float Threshold(const PeakLimiter& l) { return l.m_Threshold; }
    static int32_t Mode(const PeakLimiter& l) { return l.m_Mode; }
    static int32_t JumpFlag(const PeakLimiter& l, int c) { return l.m_JumpFlag[c]; }
    static FirState* FirStateOf(const PeakLimiter& l, int c) { return l.m_pFirState[c]; }
};

namespace kvxtest {

inline WaveFormatRecord LimiterFormat(USHORT channels, ULONG rate = 48000)
{
    WaveFormatRecord f{};
    f.Format.wFormatTag = WAVE_FORMAT_PCM;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.wBitsPerSample = 16;
    f.Format.nBlockAlign = static_cast<USHORT>(channels * 2);
    f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
    return f;
}

// Zeroed non-paged memory with the owner's tag, the constructor run in it.
inline PeakLimiter* NewLimiter()
{
    void* p = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(PeakLimiter), kOwnerTag);
    if (p == nullptr) {
        return nullptr;
    }
    std::memset(p, 0, sizeof(PeakLimiter));
    return new (p) PeakLimiter();
}

// The owners' teardown: the buffers, then a plain free of the object.
inline void DeleteLimiter(PeakLimiter* l)
{
    l->FreeBuffers();
    ExFreePoolWithTag(l, kOwnerTag);
}

// A limiter configured as a streaming endpoint configures it, with the given gain.
inline PeakLimiter* NewConfiguredLimiter(float gain, USHORT channels, ULONG rate = 48000)
{
    PeakLimiter* l = NewLimiter();
    EXPECT_TRUE(l->AllocateBuffers());
    l->SetMode(0);
    l->SetGain(gain);
    l->SetThreshold(1.0f);
    const WaveFormatRecord f = LimiterFormat(channels, rate);
    l->SetFormat(&f);
    return l;
}

}  // namespace kvxtest
