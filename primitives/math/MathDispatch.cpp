// Dispatch tables and entry points of the elementary math family: the generic bodies (from the
// vector family) in slot 0 and this family's processor-specific bodies in slots 1 to 3.
#include "primitives/core/Dispatch.h"
#include "primitives/math/MathKernels.h"
#include "primitives/vector/ElementaryMath.h"

KVX_DISPATCH_TABLE(SquareRootInPlace, SquareRootInPlaceGeneric, Sse3Variant::SquareRootInPlaceSse3,
                   Ssse3Variant::SquareRootInPlaceSsse3, Sse41Variant::SquareRootInPlaceSse41)
KVX_DISPATCH_TABLE(ExponentialInPlace, ExponentialInPlaceGeneric, Sse3Variant::ExponentialInPlaceSse3,
                   Ssse3Variant::ExponentialInPlaceSsse3, Sse41Variant::ExponentialInPlaceSse41)
KVX_DISPATCH_TABLE(NaturalLogInPlace, NaturalLogInPlaceGeneric, Sse3Variant::NaturalLogInPlaceSse3,
                   Ssse3Variant::NaturalLogInPlaceSsse3, Sse41Variant::NaturalLogInPlaceSse41)

KVX_DEFINE_STUBS(math)
