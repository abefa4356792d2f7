// The impulse-response library of the headphone engine (370,688 floats at 44,100 Hz).
//
// Head tables, one per set and angle code: ten responses of 1,024 samples, loudspeaker v to the
// left ear (2v) and to the right ear (2v + 1) for front left, front right, centre, surround left
// and surround right. Each is the head model's direct sound followed by the room of the set:
// early reflections and a decaying diffuse floor that runs to the last sample. The variant 0
// codes (24, 29, 34, 39) place the front pair at 30, 35, 40 and 45 degrees and the surrounds at
// 110 degrees in front of a head looking straight ahead: the layout is mirror symmetric, so the
// right-ear responses are copies of the left-ear ones, and only the front pair changes with the
// code. The variant 1 codes (25, 30, 35, 40) and 31 turn the head a few degrees and move the
// surrounds too, so every response differs.
//
// Tail tables, one per set and family: two responses (left ear, right ear) of seeded noise,
// darkened by a one-pole low-pass, decaying so that the last 512 samples are at the set's
// fraction of the first 512, whose level is the set's.
#include <cmath>
#include <vector>

#include "globaltopo/common/JQZ/headphonefir_tables.h"
#include "tools/tablegen/GenMath.h"
#include "tools/tablegen/HeadModel.h"
#include "tools/tablegen/TableFamily.h"

namespace tablegen {

namespace {

constexpr uint32_t HEAD_SEED = 0x48454144;  // "HEAD"
constexpr uint32_t TAIL_SEED = 0x5441494C;  // "TAIL"

// Where a layout puts the loudspeakers and the head.
struct Layout {
    double front;     // degrees either side
    double surround;  // degrees either side
    double headTurn;  // degrees to the left
};

Layout LayoutOf(int32_t code)
{
    const int32_t family = HeadphoneAngleFamily(code);
    if (family == 2) {
        return {30.0, 120.0, -5.0};
    }
    const double step = static_cast<double>((code - 24) / 5);  // 0 to 3
    if (family == 0) {
        return {30.0 + 5.0 * step, 110.0, 0.0};
    }
    return {30.0 + 5.0 * step, 105.0 + 5.0 * step, 4.0 + 1.5 * step};
}

// The room of a set (1 small to 3 large): reflections after the direct sound, relative to the
// ear's direct level, with their decay in samples.
struct Room {
    int reflections;
    double level;
    double decay;
};
constexpr Room ROOMS[HEADPHONE_SETS] = {{18, 0.22, 180.0}, {24, 0.26, 260.0}, {30, 0.3, 380.0}};
constexpr int ROOM_START = 26;  // no reflection reaches an ear before this sample

// One response: the direct sound from `azimuth` (relative to the head) at one ear, then the room,
// drawn from `seed`.
std::vector<double> HeadResponse(int32_t set, double azimuth, bool leftEar, uint64_t seed)
{
    std::vector<double> h(HEADPHONE_HEAD_LENGTH, 0.0);
    const EarArrival direct = DirectArrival(azimuth, leftEar);
    AddArrival(h, direct);
    const Room& room = ROOMS[set - 1];
    Rng rng(seed);
    for (int r = 0; r < room.reflections; ++r) {
        const double at = ROOM_START + rng.Unit() * static_cast<double>(HEADPHONE_HEAD_LENGTH - ROOM_START - 8);
        const double level = direct.gain * room.level * Exp(-(at - ROOM_START) / room.decay);
        AddPulse(h, at, level * rng.Symmetric(), 1.0);
    }
    // The diffuse floor, faded in over a few samples.
    for (int n = ROOM_START; n < HEADPHONE_HEAD_LENGTH; ++n) {
        const double fade = n < ROOM_START + 8 ? static_cast<double>(n - ROOM_START + 1) / 9.0 : 1.0;
        const double decay = Exp(-static_cast<double>(n - ROOM_START) / (3.0 * room.decay));
        h[static_cast<size_t>(n)] += 0.02 * direct.gain * fade * decay * rng.Bell();
    }
    return h;
}

void Append(std::vector<float>& library, const std::vector<double>& response)
{
    for (double v : response) {
        library.push_back(ToFloat(v));
    }
}

void HeadTable(std::vector<float>& library, int32_t set, int32_t code)
{
    const Layout layout = LayoutOf(code);
    const double azimuths[5] = {Degrees(layout.front), Degrees(-layout.front), 0.0, Degrees(layout.surround),
                                Degrees(-layout.surround)};
    const double turn = Degrees(layout.headTurn);
    if (HeadphoneAngleFamily(code) == 0) {
        // Mirror symmetric: left-ear responses of the left-side loudspeakers and the centre,
        // copied to the right ear of their mirror images. Seeds by loudspeaker role only, so the
        // centre and surrounds are the same for every code of the family.
        const auto seed = [&](int role, int ear) { return Rng::Seed(HEAD_SEED, static_cast<uint32_t>(set), static_cast<uint32_t>(role), static_cast<uint32_t>(ear)); };
        const std::vector<double> frontNear = HeadResponse(set, azimuths[0], true, seed(0, 0));
        const std::vector<double> frontFar = HeadResponse(set, azimuths[0], false, seed(0, 1));
        const std::vector<double> centre = HeadResponse(set, 0.0, true, seed(1, 0));
        const std::vector<double> surroundNear = HeadResponse(set, azimuths[3], true, seed(2, 0));
        const std::vector<double> surroundFar = HeadResponse(set, azimuths[3], false, seed(2, 1));
        for (const std::vector<double>* r : {&frontNear, &frontFar, &frontFar, &frontNear, &centre, &centre,
                                              &surroundNear, &surroundFar, &surroundFar, &surroundNear}) {
            Append(library, *r);
        }
        return;
    }
    for (int v = 0; v < 5; ++v) {
        for (int ear = 0; ear < 2; ++ear) {
            const uint64_t seed = Rng::Seed(HEAD_SEED, static_cast<uint32_t>(set), static_cast<uint32_t>(100 + code),
                                            static_cast<uint32_t>(2 * v + ear));
            Append(library, HeadResponse(set, azimuths[v] - turn, ear == 0, seed));
        }
    }
}

// Level of the first 512 samples and the fraction the last 512 fall to, by set; per family and
// ear the level moves a little.
constexpr double TAIL_LEVEL[HEADPHONE_SETS] = {0.0014, 0.0019, 0.0026};
constexpr double TAIL_FALL[HEADPHONE_SETS] = {1.0 / 25.0, 1.0 / 15.0, 1.0 / 8.0};
// ln of 1 / TAIL_FALL, so that the decay needs no logarithm.
constexpr double TAIL_FALL_LN[HEADPHONE_SETS] = {3.21887582486820074920, 2.70805020110221006600,
                                                 2.07944154167983592825};
constexpr double FAMILY_LEVEL[HEADPHONE_FAMILIES] = {1.0, 0.95, 1.05};
constexpr double EAR_LEVEL[2] = {1.0, 0.97};
constexpr double TAIL_SMOOTHING = 0.6;

void TailTable(std::vector<float>& library, int32_t set, int32_t family)
{
    const int32_t length = HeadphoneTailLengths[set - 1][family];
    const double decay = TAIL_FALL_LN[set - 1] / static_cast<double>(length - HEADPHONEFIR_N);
    for (int ear = 0; ear < 2; ++ear) {
        Rng rng(Rng::Seed(TAIL_SEED, static_cast<uint32_t>(set), static_cast<uint32_t>(family), static_cast<uint32_t>(ear)));
        std::vector<double> tail(static_cast<size_t>(length));
        double smooth = 0.0;
        for (int32_t n = 0; n < length; ++n) {
            smooth += TAIL_SMOOTHING * (rng.Bell() - smooth);
            tail[static_cast<size_t>(n)] = smooth * Exp(-decay * static_cast<double>(n));
        }
        double energy = 0.0;
        for (int32_t n = 0; n < HEADPHONEFIR_N; ++n) {
            energy += tail[static_cast<size_t>(n)] * tail[static_cast<size_t>(n)];
        }
        const double scale =
            TAIL_LEVEL[set - 1] * FAMILY_LEVEL[family] * EAR_LEVEL[ear] / std::sqrt(energy / HEADPHONEFIR_N);
        for (double& v : tail) {
            v *= scale;
        }
        Append(library, tail);
    }
}

}  // namespace

void GenerateHeadphoneResponseTables(TableWriter& writer)
{
    std::vector<float> library;
    library.reserve(HEADPHONE_LIBRARY_FLOATS);
    for (int32_t set = 1; set <= HEADPHONE_SETS; ++set) {
        for (int32_t code : HeadphoneAngleCodes) {
            HeadTable(library, set, code);
        }
    }
    for (int32_t set = 1; set <= HEADPHONE_SETS; ++set) {
        for (int32_t family = 0; family < HEADPHONE_FAMILIES; ++family) {
            TailTable(library, set, family);
        }
    }
    writer.Binary("globaltopo/common/JQZ/HeadphoneResponses", "HeadphoneResponseLibrary", library);
}

}  // namespace tablegen
