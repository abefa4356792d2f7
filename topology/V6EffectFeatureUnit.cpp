#include "topology/V6EffectFeatureUnit.h"

NTSTATUS V6EffectFeatureUnit::CreateVendorEntity(IAudioHal* hal, ULONG selector, PDEVICE_OBJECT device,
                                                 PULONG pulNextId, bool& allocated)
{
    allocated = false;
    if (selector == UAC1_FU_VENDOR_8B) {
        return CreateEntity<SpatialEffectEntity>(
            hal, EntityTag(), pulNextId,
            [&](SpatialEffectEntity* e) {
                allocated = true;
                return SetupSpatialEffectEntity(e, this, selector, device);
            },
            static_cast<SpatialEffectEntity**>(nullptr));
    }
    return CreateEntity<HeadphoneEffectEntity>(
        hal, EntityTag(), pulNextId,
        [&](HeadphoneEffectEntity* e) {
            allocated = true;
            return SetupHeadphoneEffectEntity(e, this, selector, device);
        },
        static_cast<HeadphoneEffectEntity**>(nullptr));
}
