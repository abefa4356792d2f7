// The sample-rate stages' filters: Kaiser-windowed sincs.
//
// The x2 and x4 filters are symmetric low-pass filters at the higher rate, scaled so that their
// taps sum to 1.001. Each keeps the band below 0.2 (x2) or 0.1 (x4) of the higher rate within
// 0.01 dB and is at least 60 dB down from 0.28 (0.14) on; the cut-off and shape were chosen for
// the widest pass band that keeps both.
//
// The 160/147 tables are polyphase interpolators: taken together, h[P k + p] = tap k of row p is
// one windowed sinc centred at n = 1600 of a filter at P times the input rate. Raising the rate
// (P = 160) it is a Nyquist design (cut-off at half the input rate), so row 0 holds the exact
// delay of 10 samples; lowering it (P = 147) the cut-off is 0.47 of the input rate, just above the
// output band, and the window spans 1600/147 input samples on either side, which leaves taps 22
// and 23 of every row empty. Each row is scaled to sum to 1, so a constant passes unchanged at
// every phase.
#include <vector>

#include "dsp/SrcTables.h"
#include "tools/tablegen/GenMath.h"
#include "tools/tablegen/TableFamily.h"

namespace tablegen {

namespace {

// sin(pi x) / (pi x).
double Sinc(double x)
{
    return x == 0.0 ? 1.0 : Sin(PI * x) / (PI * x);
}

// cutoff in cycles per sample.
std::vector<float> SymmetricLowPass(int taps, double cutoff, double beta, double sum)
{
    const double centre = static_cast<double>(taps - 1) / 2.0;
    const double half = centre + 0.5;
    std::vector<double> h(taps);
    double total = 0.0;
    for (int n = 0; n < taps; ++n) {
        const double t = static_cast<double>(n) - centre;
        h[n] = 2.0 * cutoff * Sinc(2.0 * cutoff * t) * KaiserWindow(t / half, beta);
        total += h[n];
    }
    std::vector<float> out(taps);
    for (int n = 0; n < taps; ++n) {
        out[n] = ToFloat(h[n] * sum / total);
    }
    return out;
}

// Rows of a polyphase interpolator at `phases` times the input rate: tap k of row p is the
// prototype at k - 1600/phases + p/phases input samples from its centre. cutoff is in cycles per
// input sample; the window reaches 1600/phases input samples either side.
std::vector<float> PolyphaseRows(int phases, int taps, double cutoff, double beta)
{
    const double reach = 1600.0 / static_cast<double>(phases);
    std::vector<float> rows(static_cast<size_t>(phases) * taps);
    std::vector<double> row(taps);
    for (int p = 0; p < phases; ++p) {
        double total = 0.0;
        for (int k = 0; k < taps; ++k) {
            const double t = static_cast<double>(phases * k + p - 1600) / static_cast<double>(phases);
            row[k] = 2.0 * cutoff * Sinc(2.0 * cutoff * t) * KaiserWindow(t / reach, beta);
            total += row[k];
        }
        for (int k = 0; k < taps; ++k) {
            rows[static_cast<size_t>(p) * taps + k] = ToFloat(row[k] / total);
        }
    }
    return rows;
}

}  // namespace

void GenerateSrcTables(TableWriter& writer)
{
    SourceFile& file = writer.Source("dsp/SrcTables.gen.cpp");
    file.Comment("Filters of the sample-rate stages: x2, x4 and the 160/147 polyphase rows in both directions.");
    file.Include("dsp/SrcTables.h");
    file.Array("const float SrcX2Taps[SRC_X2_TAPS]", SymmetricLowPass(SRC_X2_TAPS, 0.2425, 7.75, 1.001));
    file.Array("const float SrcX4Taps[SRC_X4_TAPS]", SymmetricLowPass(SRC_X4_TAPS, 0.12125, 7.75, 1.001));
    std::vector<float> up = PolyphaseRows(SRC_44K48K_UP_PHASES, SRC_44K48K_UP_TAPS, 0.5, 6.0);
    // Row 0 falls on the sinc's zeros: the exact delay, without the series' last-bit residues.
    for (int k = 0; k < SRC_44K48K_UP_TAPS; ++k) {
        up[k] = k == 10 ? 1.0f : 0.0f;
    }
    file.Array("const float Src44k48kUpTaps[SRC_44K48K_UP_PHASES * SRC_44K48K_UP_TAPS]", up);
    file.Array("const float Src44k48kDownTaps[SRC_44K48K_DOWN_PHASES * SRC_44K48K_DOWN_TAPS]",
               PolyphaseRows(SRC_44K48K_DOWN_PHASES, SRC_44K48K_DOWN_TAPS, 0.47, 8.0));
}

}  // namespace tablegen
