// The diffuser taps of the spatial room processor's five coefficient sets (831 in all): per
// diffuser a seeded run of taps under a decaying envelope, about a quarter of them zero, on the
// Q15 grid of the other coefficients. The first diffuser of the 48 kHz and of the 96 kHz set
// starts with three fixed taps.
#include <utility>
#include <vector>

#include "dsp/SpatialTables.h"
#include "tools/tablegen/GenMath.h"
#include "tools/tablegen/TableFamily.h"

namespace tablegen {

namespace {

constexpr uint32_t SPATIAL_SEED = 0x53504154;  // "SPAT"

// Envelope of a diffuser: from 0.16 at the first tap down to about a fifteenth at the last; the
// length in taps follows the rate, so the time span is the same at every rate.
constexpr double FIRST_LEVEL = 0.16;
constexpr double DECAY = 2.6;

struct FixedStart {
    int32_t rateIndex;
    double taps[3];
};
constexpr FixedStart FIXED_STARTS[] = {
    {SPATIAL_INDEX_48K, {0.14975, -0.0775452, 0.0103149}},
    {SPATIAL_INDEX_96K, {-0.0436707, 0.00518799, 0.0834656}},
};

}  // namespace

void GenerateSpatialDiffuserTables(TableWriter& writer)
{
    std::vector<float> taps;
    for (const SpatialDiffuserShape& shape : SpatialDiffuserShapes) {
        for (int32_t k = 0; k < SPATIAL_DIFFUSERS; ++k) {
            const int32_t length = shape.lengths[k];
            Rng rng(Rng::Seed(SPATIAL_SEED, static_cast<uint32_t>(shape.rateIndex), static_cast<uint32_t>(k)));
            std::vector<double> diffuser(static_cast<size_t>(length));
            for (int32_t j = 0; j < length; ++j) {
                const double envelope = FIRST_LEVEL * Exp(-DECAY * static_cast<double>(j) / static_cast<double>(length));
                diffuser[static_cast<size_t>(j)] = envelope * rng.Symmetric();
            }
            // A quarter of the taps after the first three, drawn without repetition, are zero.
            std::vector<int32_t> later;
            for (int32_t j = 3; j < length; ++j) {
                later.push_back(j);
            }
            for (int32_t z = 0; z < length / 4; ++z) {
                const auto pick = z + static_cast<int32_t>(rng.Next() % static_cast<uint64_t>(later.size() - static_cast<size_t>(z)));
                std::swap(later[static_cast<size_t>(z)], later[static_cast<size_t>(pick)]);
                diffuser[static_cast<size_t>(later[static_cast<size_t>(z)])] = 0.0;
            }
            for (const FixedStart& fixed : FIXED_STARTS) {
                if (k == 0 && fixed.rateIndex == shape.rateIndex) {
                    for (int32_t j = 0; j < 3; ++j) {
                        diffuser[static_cast<size_t>(j)] = fixed.taps[j];
                    }
                }
            }
            for (double tap : diffuser) {
                taps.push_back(ToFloat(RoundToQ15(tap)));
            }
        }
    }
    SourceFile& file = writer.Source("dsp/SpatialDiffuserTaps.gen.h");
    file.Comment("The diffuser taps of the spatial room processor's coefficient sets, set after set.");
    file.Include("dsp/SpatialTables.h");
    file.Array("inline constexpr float SpatialDiffuserTaps[SPATIAL_DIFFUSER_TAPS_TOTAL]", taps);
}

}  // namespace tablegen
