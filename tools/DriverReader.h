// Host side: reads a started adapter's objects (the device's registry of endpoints and entities)
// into a Description.
#pragma once

#include "adapter/AudioHal.h"
#include "tools/Description.h"

namespace kvx {

// `device` is the adapter's IAudioHal (the USB audio device). Endpoints in registry order with
// the names they got at start; entities in registry order with the unit that made each.
void ReadEndpoints(IAudioHal* device, Description* description);
void ReadEntities(IAudioHal* device, Description* description);
// The V3 chip's switches, register cache and polling, when the device's function is V3.
void ReadV3(IAudioHal* device, Description* description);

}  // namespace kvx
