// Generic (slot 0) bodies of channel interleaving: 32-bit samples moved bit for bit between one
// interleaved buffer and per-channel buffers.
#pragma once

#include "primitives/core/PrimitiveTypes.h"

PrimitiveStatus InterleaveChannelsGeneric(const float* const* srcChannels, int32_t numChannels, int32_t len,
                                          float* dst);
PrimitiveStatus DeinterleaveChannelsGeneric(const float* src, int32_t numChannels, int32_t len,
                                            float* const* dstChannels);
