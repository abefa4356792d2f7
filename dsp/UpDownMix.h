// The channel fold and expansion of the effect entities' dry path, in place on per-channel float
// buffers. Any IRQL; allocates nothing.
#pragma once

#include <cstdint>

// Folds inChannels to outChannels (2 -> 1, 4 -> 2 or 1, 6 -> 4, 2 or 1, 8 -> 6, 4, 2 or 1) or expands
// them (from 2, 4 or 6, the new channels filled with 1e-12), per sample, with the values before
// the step on the right-hand side. plainMix nonzero: plain weights (b 1.0, c 0.0); 0: matrix
// weights (b 0.871, c 0.49). Nothing for equal counts, 0 frames, and every pair not listed (from
// 1, 3, 5 or 7 channels, to a count not listed, and 4 -> 5, which would write a sixth channel).
// Channel buffers beyond max(inChannels, outChannels) are not touched.
void UpDownMix(float* const* channels, uint32_t inChannels, uint32_t outChannels, uint32_t frames, uint8_t plainMix);
