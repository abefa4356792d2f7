// The registration list: every family the generator runs, in this order.
#include "tools/tablegen/TableFamily.h"

namespace tablegen {

const TableFamily TableFamilies[] = {
    {"limiter", GenerateLimiterTables},
    {"spatial diffusers", GenerateSpatialDiffuserTables},
    {"headphone responses", GenerateHeadphoneResponseTables},
    {"headphone CTC filters", GenerateCtcTables},
    {"sample-rate stages", GenerateSrcTables},
    {"math", GenerateMathTables},
};
const size_t TableFamilyCount = sizeof(TableFamilies) / sizeof(TableFamilies[0]);

}  // namespace tablegen
