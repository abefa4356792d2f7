// The entities of the class controls of a feature unit, shared by every UAC1 feature-unit class.
#include "topology/FeatureUnit.h"
#include "topology/UsbLevelEntities.h"
#include "topology/UsbOnOffEntities.h"

NTSTATUS UsbAudioUnit::CreateFeatureControlEntity(IAudioHal* pHal, ULONG tag, ULONG selector, PDEVICE_OBJECT pDevice,
                                                  PULONG pulNextId, bool& allocated)
{
    allocated = false;
    auto onOff = [&](LONG type) {
        return CreateEntity<UsbOnOffEntity>(
            pHal, tag, pulNextId,
            [&](UsbOnOffEntity* e) {
                allocated = true;
                return SetupOnOffEntity(e, this, selector, pDevice);
            },
            static_cast<UsbOnOffEntity**>(nullptr), type);
    };
    auto tone = [&](LONG type) {
        return CreateEntity<UsbToneEntity>(
            pHal, tag, pulNextId,
            [&](UsbToneEntity* e) {
                allocated = true;
                return SetupLevelEntity(e, this, selector, pDevice);
            },
            static_cast<UsbToneEntity**>(nullptr), type);
    };
    switch (selector) {
    case UAC1_FU_MUTE: return onOff(ENTITY_MUTE);
    case UAC1_FU_VOLUME:
        return CreateEntity<UsbVolumeEntity>(
            pHal, tag, pulNextId,
            [&](UsbVolumeEntity* e) {
                allocated = true;
                return SetupLevelEntity(e, this, selector, pDevice);
            },
            static_cast<UsbVolumeEntity**>(nullptr));
    case UAC1_FU_BASS: return tone(ENTITY_BASS);
    case UAC1_FU_MID: return tone(ENTITY_MID);
    case UAC1_FU_TREBLE: return tone(ENTITY_TREBLE);
    case UAC1_FU_AGC: return onOff(ENTITY_AGC);
    case UAC1_FU_LOUDNESS: return onOff(ENTITY_LOUDNESS);
    default: return STATUS_INVALID_PARAMETER;
    }
}
