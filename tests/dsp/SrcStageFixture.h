// Stages of the format adapter as the adapter makes them: zeroed non-paged memory (tag "DSPS"),
// constructed there, freed through the stage's own destructor. Also the double-precision model
// of each stage: the table as one filter, run at the stage's phases.
#pragma once

#include <cstring>
#include <new>
#include <vector>

#include "dsp/SrcStage.h"
#include "dsp/SrcStage44k48k.h"
#include "dsp/SrcTables.h"

namespace kvxtest {

template <typename Stage>
class PoolStage {
public:
    PoolStage()
    {
        void* memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Stage), DSP_SRC_STAGE_TAG);
        std::memset(memory, 0, sizeof(Stage));
        m_stage = new (memory) Stage();
    }
    ~PoolStage()
    {
        m_stage->~Stage();
        ExFreePoolWithTag(m_stage, DSP_SRC_STAGE_TAG);
    }
    PoolStage(const PoolStage&) = delete;
    PoolStage& operator=(const PoolStage&) = delete;
    Stage* operator->() const { return m_stage; }
    Stage* get() const { return m_stage; }

private:
    Stage* m_stage;
};

// A stage kind and direction, with what its model needs.
struct StageKind {
    const char* Name;
    int Kind;  // 2, 4 or 0 for the 160/147 stage
    bool Up;
};

// The stage's output for input x in double precision: output j is sum_k rows[p_j][k] x[i_j - k]
// with the stage's phase rule (i_j the newest input it has taken, p_j its polyphase row).
inline std::vector<double> ModelOutput(const StageKind& s, const std::vector<float>& x, size_t outputs)
{
    std::vector<double> y(outputs);
    auto at = [&](long i) { return i < 0 || i >= static_cast<long>(x.size()) ? 0.0 : static_cast<double>(x[i]); };
    for (size_t j = 0; j < outputs; ++j) {
        double sum = 0.0;
        if (s.Kind == 2 || s.Kind == 4) {
            const int f = s.Kind;
            const float* h = f == 2 ? SrcX2Taps : SrcX4Taps;
            const int taps = f == 2 ? SRC_X2_TAPS : SRC_X4_TAPS;
            if (s.Up) {
                // Zeros inserted after each input, filtered, times the factor.
                for (int k = 0; k < taps; ++k) {
                    const long m = static_cast<long>(j) - k;
                    if (m >= 0 && m % f == 0) sum += h[k] * at(m / f);
                }
                sum *= f;
            } else {
                for (int k = 0; k < taps; ++k) sum += h[k] * at(static_cast<long>(j) * f - k);
            }
        } else if (s.Up) {
            const long i = static_cast<long>(j * 147 / 160), p = static_cast<long>(j * 147 % 160);
            for (int k = 0; k < SRC_44K48K_UP_TAPS; ++k) sum += Src44k48kUpTaps[p * SRC_44K48K_UP_TAPS + k] * at(i - k);
        } else {
            const long i = static_cast<long>(j * 160 / 147), p = static_cast<long>(j * 160 % 147);
            for (int k = 0; k < SRC_44K48K_DOWN_TAPS; ++k) {
                sum += Src44k48kDownTaps[p * SRC_44K48K_DOWN_TAPS + k] * at(i - k);
            }
        }
        y[j] = sum;
    }
    return y;
}

}  // namespace kvxtest
