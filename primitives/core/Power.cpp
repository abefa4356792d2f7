#include "primitives/core/Power.h"

#include <cstring>
#include <xmmintrin.h>

#include "primitives/core/ArgumentChecks.h"
#include "primitives/core/ElementAccess.h"
#include "primitives/core/FloatBits.h"
#include "primitives/core/PowerTables.h"

#define KVX_SLOT(Name) Name##Generic
#include "primitives/core/PowerBody.inc"
#undef KVX_SLOT
