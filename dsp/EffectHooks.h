// How the vendor effect entities reach their effect processors: one table of the operations of the
// spatial room processor and of the headphone engine. An entity asks the table once, at its set-up,
// and keeps it. A processor whose entries are empty cannot be made: the entity then works without
// it (its enable switch and parameters still work; its chunks pass untouched).
//
// The entries run at the IRQL of their caller: set-up, format and parameter paths at
// PASSIVE_LEVEL, Process and Reset on the streaming path (Process at DISPATCH_LEVEL, under the
// entity's lock). None of them allocates or waits except the Create entries.
#pragma once

#include "adapter/AudioTypes.h"
#include "platform/nt/Sync.h"

class SpatialProcessor8;
class HeadphoneEngine;
class EffectPath;

// The headphone engine keeps two parameter sets: the headphone set, in use while CTC mode is off,
// and the speaker set, in use while it is on.
enum class HeadphoneParameterSet : ULONG { Headphone = 0, Speaker = 1 };

// What an effect entity hands the processing of its chunks: its members and the enable state
// that crosses from the KS side. Every pointer stays valid for the entity's life; members that
// its set-up could not make are null (or, for the path, incomplete).
struct EffectEntityState {
    ULONG Control;                       // 0x8B (spatial room) or 0x8C (headphone)
    SpatialProcessor8* Spatial;          // 0x8B
    HeadphoneEngine* Engine;             // 0x8C
    EffectPath* Path;                    // dry set A, effect set B and their limiters
    const WaveFormatRecord* StoredFormat;  // the format of the entity's last SetFormat
    // Raised (0 to 1) by every enable change; the processing takes the first by exchange and
    // clears the second by compare-exchange when it copies RequestedEnable into EffectiveEnable.
    LONG* ParameterChanged;
    LONG* EnableChanged;
    const ULONG* RequestedEnable;  // low 8 bits
    ULONG* EffectiveEnable;        // 0 at creation
    ULONG* FadeState;              // 1 after the set-up
    // Taken as an in-stack queued spin lock around the processing and the enable copy.
    PKSPIN_LOCK Lock;
};

struct EffectHooks {
    // The spatial room processor: a zeroed non-paged block ("DoHP"), constructed and initialised;
    // null when it cannot be made. Destroy releases the block.
    SpatialProcessor8* (*CreateSpatialProcessor)();
    void (*DestroySpatialProcessor)(SpatialProcessor8* pProcessor);
    // Rate in Hz and channel code (the channel count minus one), taken over by the next Process.
    void (*SpatialSetFormat)(SpatialProcessor8* pProcessor, LONG lRate, LONG lChannelCode);
    // Eight input channels into the stereo image in out[0] and out[1]; in and out may be the same.
    void (*SpatialProcess)(SpatialProcessor8* pProcessor, float* const* ppIn, float* const* ppOut, LONG lFrames);
    // Clears the delay line and every filter history.
    void (*SpatialReset)(SpatialProcessor8* pProcessor);

    // The headphone engine ("QOLM"), with its construction defaults (room 1 and angle variant 0 in
    // both sets, CTC mode off); null when it cannot be made. Destroy runs its deleting destructor.
    HeadphoneEngine* (*CreateHeadphoneEngine)();
    void (*DestroyHeadphoneEngine)(HeadphoneEngine* pEngine);
    // Only nChannels and nSamplesPerSec are read; 1 when the core is configured for the rate, 0
    // when it cannot be (a rate it does not render, a failed allocation: the engine then folds
    // down), -1 when the engine has no core.
    LONG (*HeadphoneSetFormat)(HeadphoneEngine* pEngine, const WAVEFORMATEX* pFormat);
    void (*HeadphoneSetEnable)(HeadphoneEngine* pEngine, LONG lEnable);
    void (*HeadphoneSetCtcMode)(HeadphoneEngine* pEngine, LONG lMode);
    LONG (*HeadphoneGetCtcMode)(HeadphoneEngine* pEngine);
    // Index 0 to 4 for 5, 10, 15, 20 and 30 degrees.
    void (*HeadphoneSetCtcAngle)(HeadphoneEngine* pEngine, LONG lIndex);
    // The set's angle, room code and angle-variant flag; a setter of the set in use reselects the
    // impulse responses.
    void (*HeadphoneSetAngle)(HeadphoneEngine* pEngine, HeadphoneParameterSet set, LONG lAngle);
    LONG (*HeadphoneGetRoom)(HeadphoneEngine* pEngine, HeadphoneParameterSet set);
    void (*HeadphoneSetRoom)(HeadphoneEngine* pEngine, HeadphoneParameterSet set, LONG lRoom);
    LONG (*HeadphoneGetAngleVariant)(HeadphoneEngine* pEngine, HeadphoneParameterSet set);
    void (*HeadphoneSetAngleVariant)(HeadphoneEngine* pEngine, HeadphoneParameterSet set, LONG lVariant);
    // Renders the format's channels to stereo in channels 0 and 1, in place.
    void (*HeadphoneProcess)(HeadphoneEngine* pEngine, float* const* ppChannels, LONG lFrames);

    // The Process and Reset bodies of the effect entities, on the entity's state: one chunk of at
    // most 512 frames in the per-channel float buffers (PCM streams) or the interleaved buffer
    // (any other format), in place, at DISPATCH_LEVEL; Reset when no transfer is outstanding.
    // Empty: the entity takes its enable changes over and leaves its chunks untouched.
    void (*ProcessEffectEntity)(EffectEntityState* pState, const WaveFormatRecord* pFormat, PVOID pData, LONG lFrames);
    void (*ResetEffectEntity)(EffectEntityState* pState);
};

// The table the entities use. Any IRQL.
const EffectHooks* GetEffectHooks();
