// The limiter's two 101-tap coefficient sets: symmetric windowed-sinc low-pass filters whose
// centre tap is the set's stated value (the cutoff is half of it, so the sinc peaks there) and
// whose two end taps carry the stated first value in place of the window's zeros.
#include <vector>

#include "dsp/PeakLimiter.h"
#include "tools/tablegen/GenMath.h"
#include "tools/tablegen/TableFamily.h"

namespace tablegen {

namespace {

std::vector<float> LowPass(float centre, float first)
{
    constexpr int middle = LIMITER_FIR_TAPS / 2;
    std::vector<float> taps(LIMITER_FIR_TAPS);
    taps[middle] = centre;
    for (int k = 0; k < middle; ++k) {
        const double m = static_cast<double>(middle - k);
        const double sinc = Sin(PI * static_cast<double>(centre) * m) / (PI * m);
        // Blackman window over the 101 taps.
        const double phase = 2.0 * PI * static_cast<double>(k) / static_cast<double>(LIMITER_FIR_TAPS - 1);
        const double window = 0.42 - 0.5 * Cos(phase) + 0.08 * Cos(2.0 * phase);
        taps[k] = taps[LIMITER_FIR_TAPS - 1 - k] = ToFloat(sinc * window);
    }
    taps[0] = taps[LIMITER_FIR_TAPS - 1] = first;
    return taps;
}

}  // namespace

void GenerateLimiterTables(TableWriter& writer)
{
    SourceFile& file = writer.Source("dsp/LimiterTables.gen.cpp");
    file.Comment("Coefficient sets of the limiter's per-channel filter stage: 101-tap, symmetric low-pass sets.");
    file.Include("dsp/PeakLimiter.h");
    file.Array("const float LimiterFirTable48k[LIMITER_FIR_TAPS]", LowPass(0.6591155f, -0.0014565f));
    file.Array("const float LimiterFirTable[LIMITER_FIR_TAPS]", LowPass(0.6926921f, -0.0016591f));
}

}  // namespace tablegen
