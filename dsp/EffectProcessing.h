// The effect entities' processing of a render chunk, on the state an entity hands it (the bodies
// of the effect table's ProcessEffectEntity and ResetEffectEntity entries).
#pragma once

#include "dsp/EffectHooks.h"

// Any IRQL up to DISPATCH_LEVEL, never with the state's lock held. See EffectHooks.h.
void ProcessEffectEntityChunk(EffectEntityState* pState, const WaveFormatRecord* pFormat, PVOID pData, LONG lFrames);
// When no transfer is outstanding: the spatial processor is cleared; the limiters are reset; the
// headphone engine keeps its state.
void ResetEffectEntityState(EffectEntityState* pState);
// Takes a pending enable change over into the effective enable, under the state's lock (the
// at-DPC-level form at DISPATCH_LEVEL or above). TRUE when the effective enable changed.
BOOLEAN ApplyPendingEffectEnable(EffectEntityState* pState);

// The fade state word: its low byte is the state (2 fading the processed signal in, 3 fading
// back to the dry signal, anything else no fade); during a fade the bits above hold the samples
// it has done and the top bit whether its first chunk chose the processed set.
constexpr ULONG EFFECT_FADE_NONE = 1;
constexpr ULONG EFFECT_FADE_IN = 2;
constexpr ULONG EFFECT_FADE_OUT = 3;
constexpr ULONG EffectFadeKind(ULONG word) { return word & 0xFF; }
constexpr ULONG EffectFadePosition(ULONG word) { return (word >> 8) & 0x7FFFFF; }
