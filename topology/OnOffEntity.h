// Per-channel on/off control points (mute, AGC, loudness, switches) and their typed classes.
#pragma once

#include "adapter/TopologyNode.h"

class OnOffEntity : public IEntityOnOff, public IEntityLink, public TopologyNode {
public:
    DECLARE_UNKNOWN_BASE()

    OnOffEntity(PUNKNOWN pOuterUnknown, ULONG ulId, LONG lType);
    ~OnOffEntity() override;

    // IEntityOnOff
    NTSTATUS GetValue(ULONG ulChannel, PUCHAR pValue) override;
    NTSTATUS SetValue(ULONG ulChannel, UCHAR value) override;
    NTSTATUS GetChannelCount(PULONG pCount) override;
    NTSTATUS Init(ULONG ulSourceId, ULONG ulChannelCount) override;

    // IEntityLink
    NTSTATUS SetOutputKind(ULONG ulKind, PVOID pCallbackObject) override;

    ULONG GetOutputKind() const { return __atomic_load_n(&m_ulOutputKind, __ATOMIC_RELAXED); }

protected:
    // Allocates channel count + 1 zeroed bytes, sets the one source, then stores the count; a
    // failure leaves the entity as it was.
    NTSTATUS InitValues(ULONG ulSourceId, ULONG ulChannelCount, POOL_TYPE poolType, ULONG tag);

    ULONG m_ulChannelCount;
    PUCHAR m_pValues;
    ULONG m_ulOutputKind;
    ULONG m_ulValuesTag;
};

class MuteEntity : public OnOffEntity {
public:
    MuteEntity(PUNKNOWN pOuterUnknown, ULONG ulId) : OnOffEntity(pOuterUnknown, ulId, ENTITY_MUTE) {}
};

class AgcEntity : public OnOffEntity {
public:
    AgcEntity(PUNKNOWN pOuterUnknown, ULONG ulId) : OnOffEntity(pOuterUnknown, ulId, ENTITY_AGC) {}
};

class LoudnessEntity : public OnOffEntity {
public:
    LoudnessEntity(PUNKNOWN pOuterUnknown, ULONG ulId) : OnOffEntity(pOuterUnknown, ulId, ENTITY_LOUDNESS) {}
};

class VendorSwitchEntity : public OnOffEntity {
public:
    VendorSwitchEntity(PUNKNOWN pOuterUnknown, ULONG ulId) : OnOffEntity(pOuterUnknown, ulId, ENTITY_VENDOR_SWITCH)
    {
    }
};

class LedSwitchEntity : public OnOffEntity {
public:
    LedSwitchEntity(PUNKNOWN pOuterUnknown, ULONG ulId) : OnOffEntity(pOuterUnknown, ulId, ENTITY_LED_SWITCH) {}
};
