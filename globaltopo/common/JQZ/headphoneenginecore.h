// HeadphoneEngineCore: the block driver whose processing is the headphone FIR. Made by
// HeadphoneEngine as one zeroed non-paged block ("JQZP"); constructed at PASSIVE_LEVEL, where it
// loads the default responses, bypasses the CTC stage and configures 44,100 Hz, six inputs and
// two outputs.
#pragma once

#include "globaltopo/common/JQZ/AudioApp.h"
#include "globaltopo/common/JQZ/headphonefir.h"

class HeadphoneEngineCore : public AudioApp {
public:
    HeadphoneEngineCore();
    ~HeadphoneEngineCore() override;

    void ProcessBlock(float* const* out, int32_t nOut, float* const* in, int32_t nIn, int32_t len) override;
    void Reset() override;

    // Configured, and the FIR has its FFT specification and CTC states: Process can render.
    bool CanProcess() const { return IsConfigured() && m_Fir.HasFftSpec() && m_Fir.HasCtcStates(); }
    HeadphoneFir& Fir() { return m_Fir; }

private:
    HeadphoneFir m_Fir;
};
