// The argument tests shared by most entry points, in their fixed order: every required pointer
// first (a null one gives StatusNullPointer even when the length is also bad), then the length.
#pragma once

#include "primitives/core/PrimitiveStatus.h"

template <typename... Pointers>
inline PrimitiveStatus CheckPointersAndLength(int32_t len, const Pointers*... pointers)
{
    const bool anyNull = (false || ... || (pointers == nullptr));
    if (anyNull) {
        return StatusNullPointer;
    }
    if (len <= 0) {
        return StatusSizeError;
    }
    return StatusOk;
}
