// The spherical-head model behind the headphone responses and the CTC filters: the direct sound
// of a distant loudspeaker at one ear, at 44,100 Hz. The ear on the loudspeaker's side hears it
// early and strong; the far ear later (the path round the head) and weaker and duller (the head's
// shadow), by the loudspeaker's lateral angle. Each arrival is a smooth pulse followed by a small
// negative echo from the outer ear.
#pragma once

#include <vector>

namespace tablegen {

struct EarArrival {
    double delay;  // samples
    double gain;   // peak of the pulse
    double width;  // standard deviation of the pulse, samples
};

// azimuth: radians from straight ahead, positive to the left, relative to where the head points;
// leftEar selects the ear.
EarArrival DirectArrival(double azimuth, bool leftEar);

// Adds the arrival (pulse and outer-ear echo) to h.
void AddArrival(std::vector<double>& h, const EarArrival& arrival);

// Adds a plain pulse of the given peak, centre and width to h.
void AddPulse(std::vector<double>& h, double centre, double peak, double width);

constexpr double Degrees(double degrees)
{
    return degrees * 3.14159265358979323846 / 180.0;
}

}  // namespace tablegen
