#include "tools/tablegen/HeadModel.h"

#include <cmath>

#include "tools/tablegen/GenMath.h"

namespace tablegen {

namespace {

// Arrival at the centre of the head (where both ears hear a source straight ahead), and the path
// difference per radian of lateral angle, in samples. The radius is that of a small head, so
// that the near ear's peak falls at samples 6 to 9 and the far ear's at 14 to 20 for every
// loudspeaker of the layouts used.
constexpr double CENTRE_DELAY = 12.0;
constexpr double SAMPLES_PER_RADIAN = 5.5;
constexpr double PEAK = 0.2;
constexpr double NEAR_WIDTH = 0.7;
constexpr double SHADOW_WIDTH = 1.0;   // added to the far ear's width at a lateral 90 degrees
constexpr double SHADOW_DB = 20.0;     // far ear's level difference at a lateral 90 degrees
constexpr double BEHIND_GAIN = 0.85;   // the outer ear shields sound from behind
constexpr double ECHO_DELAY = 4.0;
constexpr double ECHO_GAIN = -0.2;

}  // namespace

EarArrival DirectArrival(double azimuth, bool leftEar)
{
    // Lateral angle: the azimuth folded onto the front half, so that a source behind at 110
    // degrees is 70 degrees to the side.
    double lateral = azimuth;
    const double half = PI / 2.0;
    if (lateral > half) {
        lateral = PI - lateral;
    } else if (lateral < -half) {
        lateral = -PI - lateral;
    }
    const bool behind = azimuth > half || azimuth < -half;
    const double facing = leftEar ? lateral : -lateral;  // > 0: the source is on this ear's side
    const double magnitude = std::fabs(lateral);
    const double side = Sin(magnitude);
    EarArrival a{};
    if (facing >= 0.0) {
        a.delay = CENTRE_DELAY - SAMPLES_PER_RADIAN * side;
        a.gain = PEAK;
        a.width = NEAR_WIDTH;
    } else {
        a.delay = CENTRE_DELAY + SAMPLES_PER_RADIAN * magnitude;
        a.gain = PEAK * DecibelsDown(SHADOW_DB * std::sqrt(side));
        a.width = NEAR_WIDTH + SHADOW_WIDTH * side;
    }
    if (behind) {
        a.gain *= BEHIND_GAIN;
    }
    return a;
}

void AddPulse(std::vector<double>& h, double centre, double peak, double width)
{
    const auto size = static_cast<long>(h.size());
    const long first = static_cast<long>(std::floor(centre - 8.0 * width));
    const long last = static_cast<long>(std::ceil(centre + 8.0 * width));
    for (long n = first < 0 ? 0 : first; n <= last && n < size; ++n) {
        const double t = (static_cast<double>(n) - centre) / width;
        h[static_cast<size_t>(n)] += peak * Exp(-0.5 * t * t);
    }
}

void AddArrival(std::vector<double>& h, const EarArrival& arrival)
{
    AddPulse(h, arrival.delay, arrival.gain, arrival.width);
    AddPulse(h, arrival.delay + ECHO_DELAY, ECHO_GAIN * arrival.gain, arrival.width);
}

}  // namespace tablegen
