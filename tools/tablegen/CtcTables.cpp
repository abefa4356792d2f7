// The CTC table: for a pair of loudspeakers at +-5, 10, 15, 20 and 30 degrees, the direct and
// cross filters (256 taps each) that cancel the crosstalk of the head model between them. The
// two loudspeakers reach the ears through the symmetric matrix [[near, far], [far, near]]; in
// mid/side form it is two filters, M = near + far and S = near - far, whose regularised inverses
// C = conj(H) e^(-jwD) / (|H|^2 + b) are taken on a 512-point grid with a delay D that makes them
// causal. d = (Cm + Cs) / 2 and x = (Cm - Cs) / 2, windowed to 256 taps (Hann). The
// regularisation b is set, by bisection, so that the cross filter's sum is the stated fraction of
// the direct filter's, and both are then scaled to the stated direct sum: 0.81 at 5 degrees down
// to 0.72 at 30, and the cross sums from -0.065 down to -0.128, in proportion to the angle.
#include <cmath>
#include <vector>

#include "globaltopo/common/JQZ/headphonefir_tables.h"
#include "tools/tablegen/GenMath.h"
#include "tools/tablegen/HeadModel.h"
#include "tools/tablegen/TableFamily.h"

namespace tablegen {

namespace {

constexpr int GRID = 512;
constexpr int TAPS = HEADPHONE_CTC_TAPS;
constexpr double DELAY = 128.0;

struct Complex {
    double re;
    double im;
};

Complex Mul(Complex a, Complex b)
{
    return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}

// e^(+j 2 pi k / GRID) for every k.
struct Twiddles {
    Twiddles()
    {
        for (int k = 0; k < GRID; ++k) {
            const double angle = 2.0 * PI * static_cast<double>(k) / GRID;
            turn[k] = {Cos(angle), Sin(angle)};
        }
    }
    Complex turn[GRID];
};

std::vector<Complex> Spectrum(const std::vector<double>& h, const Twiddles& t)
{
    std::vector<Complex> spectrum(GRID, Complex{0.0, 0.0});
    for (int k = 0; k < GRID; ++k) {
        for (int n = 0; n < GRID; ++n) {
            const Complex w = t.turn[(GRID - (k * n) % GRID) % GRID];  // e^(-j 2 pi k n / GRID)
            spectrum[k].re += h[static_cast<size_t>(n)] * w.re;
            spectrum[k].im += h[static_cast<size_t>(n)] * w.im;
        }
    }
    return spectrum;
}

double Window(int n)
{
    return 0.5 - 0.5 * Cos(2.0 * PI * (static_cast<double>(n) + 0.5) / TAPS);
}

// The regularised, delayed inverse of one mid/side filter.
std::vector<Complex> Inverse(const std::vector<Complex>& h, double regularisation, const Twiddles& t)
{
    std::vector<Complex> c(GRID);
    for (int k = 0; k < GRID; ++k) {
        const double power = h[k].re * h[k].re + h[k].im * h[k].im;
        const Complex conj = {h[k].re / (power + regularisation), -h[k].im / (power + regularisation)};
        const int delayIndex = (GRID - (k * static_cast<int>(DELAY)) % GRID) % GRID;
        c[k] = Mul(conj, t.turn[delayIndex]);
    }
    return c;
}

struct Pair {
    std::vector<Complex> direct;
    std::vector<Complex> cross;
};

Pair Filters(const std::vector<Complex>& mid, const std::vector<Complex>& side, double regularisation,
             const Twiddles& t)
{
    const std::vector<Complex> cm = Inverse(mid, regularisation, t);
    const std::vector<Complex> cs = Inverse(side, regularisation, t);
    Pair p{std::vector<Complex>(GRID), std::vector<Complex>(GRID)};
    for (int k = 0; k < GRID; ++k) {
        p.direct[k] = {0.5 * (cm[k].re + cs[k].re), 0.5 * (cm[k].im + cs[k].im)};
        p.cross[k] = {0.5 * (cm[k].re - cs[k].re), 0.5 * (cm[k].im - cs[k].im)};
    }
    return p;
}

// Sum over the 256 windowed taps of the filter whose spectrum is c: sum over k of c_k W_k, with
// W_k = (1/GRID) sum over n of w(n) e^(j 2 pi k n / GRID) (precomputed).
double WindowedSum(const std::vector<Complex>& c, const std::vector<Complex>& windowSpectrum)
{
    double sum = 0.0;
    for (int k = 0; k < GRID; ++k) {
        sum += Mul(c[k], windowSpectrum[k]).re;
    }
    return sum;
}

std::vector<double> WindowedTaps(const std::vector<Complex>& c, const Twiddles& t)
{
    std::vector<double> taps(TAPS);
    for (int n = 0; n < TAPS; ++n) {
        double value = 0.0;
        for (int k = 0; k < GRID; ++k) {
            value += Mul(c[k], t.turn[(k * n) % GRID]).re;
        }
        taps[static_cast<size_t>(n)] = Window(n) * value / GRID;
    }
    return taps;
}

}  // namespace

void GenerateCtcTables(TableWriter& writer)
{
    const Twiddles t;
    std::vector<Complex> windowSpectrum(GRID, Complex{0.0, 0.0});
    for (int k = 0; k < GRID; ++k) {
        for (int n = 0; n < TAPS; ++n) {
            const Complex w = t.turn[(k * n) % GRID];
            windowSpectrum[k].re += Window(n) * w.re / GRID;
            windowSpectrum[k].im += Window(n) * w.im / GRID;
        }
    }
    std::vector<float> table;
    for (int32_t angle : HeadphoneCtcAngles) {
        const double a = static_cast<double>(angle);
        const double directSum = 0.81 - 0.09 * (a - 5.0) / 25.0;
        const double crossSum = -0.065 - 0.063 * (a - 5.0) / 25.0;
        // The left loudspeaker: the left ear near, the right ear far.
        std::vector<double> nearEar(GRID, 0.0);
        std::vector<double> farEar(GRID, 0.0);
        AddArrival(nearEar, DirectArrival(Degrees(a), true));
        AddArrival(farEar, DirectArrival(Degrees(a), false));
        const std::vector<Complex> hn = Spectrum(nearEar, t);
        const std::vector<Complex> hf = Spectrum(farEar, t);
        std::vector<Complex> mid(GRID), side(GRID);
        double peakPower = 0.0;
        for (int k = 0; k < GRID; ++k) {
            mid[k] = {hn[k].re + hf[k].re, hn[k].im + hf[k].im};
            side[k] = {hn[k].re - hf[k].re, hn[k].im - hf[k].im};
            const double power = mid[k].re * mid[k].re + mid[k].im * mid[k].im;
            peakPower = power > peakPower ? power : peakPower;
        }
        // The cross/direct ratio of the sums rises with the regularisation, from about -far/near
        // (the plain inverse) to +far/near (the matched filter).
        const double wanted = crossSum / directSum;
        double low = -20.0;  // ln of the regularisation relative to the peak power
        double high = 8.0;
        for (int step = 0; step < 60; ++step) {
            const double middle = 0.5 * (low + high);
            const Pair p = Filters(mid, side, peakPower * Exp(middle), t);
            const double ratio = WindowedSum(p.cross, windowSpectrum) / WindowedSum(p.direct, windowSpectrum);
            (ratio < wanted ? low : high) = middle;
        }
        const Pair p = Filters(mid, side, peakPower * Exp(0.5 * (low + high)), t);
        std::vector<double> direct = WindowedTaps(p.direct, t);
        std::vector<double> cross = WindowedTaps(p.cross, t);
        double sum = 0.0;
        for (double v : direct) {
            sum += v;
        }
        const double scale = directSum / sum;
        for (double v : direct) {
            table.push_back(ToFloat(v * scale));
        }
        for (double v : cross) {
            table.push_back(ToFloat(v * scale));
        }
    }
    SourceFile& file = writer.Source("globaltopo/common/JQZ/HeadphoneCtcTable.gen.cpp");
    file.Comment("The CTC filters of the headphone FIR: per angle the direct, then the cross filter.");
    file.Include("globaltopo/common/JQZ/headphonefir_tables.h");
    file.Array("const float HeadphoneCtcTable[HEADPHONE_CTC_ANGLES * 2 * HEADPHONE_CTC_TAPS]", table);
}

}  // namespace tablegen
