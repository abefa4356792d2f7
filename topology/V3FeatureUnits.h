// The feature units of the V3 chip variant. Only what they change against the UAC1 feature unit
// lives here: level conversions and ranges, the mute indicator on chip register 1, the entities
// they create and, for unit 11 of the jack-polling device, a master mute with an override.
#pragma once

#include "topology/FeatureUnit.h"

KVX_DEFINE_GUID(IID_IV3MuteOverride, "{6A0F3C52-8E1B-4B7D-9C2E-57D1A4B3E9F0}");

// The override the V3 jack thread sets on unit 11 (only the direct-channel unit answers it).
class IV3MuteOverride : public IUnknown {
public:
    virtual NTSTATUS SetMuteOverride(UCHAR override) = 0;

protected:
    ~IV3MuteOverride() = default;
};
