// The registration list: every family the generator runs, in this order.
#include "tools/tablegen/TableFamily.h"

namespace tablegen {

const TableFamily TableFamilies[] = {
    {"limiter", GenerateLimiterTables},
    {"spatial diffusers", GenerateSpatialDiffuserTables},
    {"sample-rate stages", GenerateSrcTables},
    {"math", GenerateMathTables},
};
const size_t TableFamilyCount = sizeof(TableFamilies) / sizeof(TableFamilies[0]);

}  // namespace tablegen
