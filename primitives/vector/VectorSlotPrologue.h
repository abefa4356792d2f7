// Everything the vector variant sources include before they open their target region, so that no
// function outside the variant is built for its instruction set.
#pragma once

#include <cstring>
#include <immintrin.h>
#include <type_traits>

#include "primitives/core/ArgumentChecks.h"
#include "primitives/core/ElementAccess.h"
#include "primitives/core/FloatBits.h"
#include "primitives/core/SlotVariants.h"
#include "primitives/vector/VectorAccess.h"
#include "primitives/vector/VectorSlots.h"
