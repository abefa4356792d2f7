// The reciprocal table of the double-precision logarithms, one copy per processor-specific slot:
// row j holds r_j = round(4096 / (1 + j/64)) / 4096 twice and -ln r_j split into a high part (a
// multiple of 2^-43, so that the low part lies in [0, 2^-43)) and the rest. The last row holds the
// split of ln 2 that the kernels' k ln 2 term uses too.
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "primitives/math/MathKernels.h"
#include "tools/tablegen/GenMath.h"
#include "tools/tablegen/TableFamily.h"

namespace tablegen {

namespace {

constexpr uint64_t LN2_HIGH_BITS = 0x3FE62E42FEFA37FDull;
constexpr uint64_t LN2_LOW_BITS = 0x3D2EF35793C7672Eull;
constexpr double HIGH_GRID = 8796093022208.0;  // 2^43

double FromBits(uint64_t bits)
{
    double d;
    std::memcpy(&d, &bits, sizeof(d));
    return d;
}

std::vector<std::vector<double>> LogReciprocalRows()
{
    std::vector<std::vector<double>> rows;
    for (int64_t j = 0; j < LOG_RECIPROCAL_ENTRIES; ++j) {
        // round(4096 / (1 + j/64)) = round(262144 / (64 + j)), halves up (none occur).
        const int64_t k = (2 * 262144 / (64 + j) + 1) / 2;
        const double r = static_cast<double>(k) / 4096.0;
        double high = 0.0;
        double low = 0.0;
        if (j == LOG_RECIPROCAL_ENTRIES - 1) {
            high = FromBits(LN2_HIGH_BITS);
            low = FromBits(LN2_LOW_BITS);
        } else if (j != 0) {
            const DoubleDouble v = LogOfRatio(4096, k);
            const double scaled = v.high * HIGH_GRID;
            double grid = std::floor(scaled);
            if (grid == scaled && v.low < 0.0) {
                grid -= 1.0;
            }
            high = grid / HIGH_GRID;
            low = (v.high - high) + v.low;
        }
        rows.push_back({r, r, high, low});
    }
    return rows;
}

}  // namespace

void GenerateMathTables(TableWriter& writer)
{
    SourceFile& file = writer.Source("primitives/math/LogReciprocalTable.gen.cpp");
    file.Comment("The reciprocal table of the double-precision logarithms, once per processor-specific slot.");
    file.Include("primitives/math/MathKernels.h");
    const auto rows = LogReciprocalRows();
    for (const char* ns : {"Sse3Variant", "Ssse3Variant", "Sse41Variant"}) {
        file.Rows(std::string("const LogReciprocalEntry ") + ns + "::LogReciprocalTable[LOG_RECIPROCAL_ENTRIES]", rows);
    }
}

}  // namespace tablegen
