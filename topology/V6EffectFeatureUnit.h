// The feature unit of the effects variant: the class feature unit whose vendor controls 0x8B and
// 0x8C become the spatial room and headphone effect entities.
#pragma once

#include "topology/EffectEntities.h"
#include "topology/FeatureUnit.h"

class V6EffectFeatureUnit : public FeatureUnit {
public:
    V6EffectFeatureUnit(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId) : FeatureUnit(pOuterUnknown, ulProvisionalId) {}

protected:
    NTSTATUS CreateVendorEntity(IAudioHal* hal, ULONG selector, PDEVICE_OBJECT device, PULONG pulNextId,
                                bool& allocated) override;
    ULONG EntityTag() const override { return UAC1_V6_ENTITY_TAG; }
};
