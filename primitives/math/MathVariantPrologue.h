// Everything the math variant sources include before they open their target region, so that no
// function outside the variant is built for its instruction set.
#pragma once

#include <cstring>
#include <immintrin.h>

#include "primitives/core/ArgumentChecks.h"
#include "primitives/core/ElementAccess.h"
#include "primitives/core/FloatBits.h"
#include "primitives/core/FpControl.h"
#include "primitives/math/MathKernels.h"
