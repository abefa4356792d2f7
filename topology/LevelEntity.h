// Per-channel level control points (volume, tone, gain pad) and their typed classes.
#pragma once

#include "adapter/TopologyNode.h"

class LevelEntity : public IEntityLevel, public IEntityLink, public TopologyNode {
public:
    DECLARE_UNKNOWN_BASE()

    LevelEntity(PUNKNOWN pOuterUnknown, ULONG ulId, LONG lType);
    ~LevelEntity() override;

    // IEntityLevel; channel `count` is accepted (the master value).
    NTSTATUS GetLevel(ULONG ulChannel, PLONG pLevel) override;
    NTSTATUS SetLevel(ULONG ulChannel, LONG level) override;
    NTSTATUS GetRange(PLONG pMaximum, PLONG pMinimum, PLONG pStep) override;
    NTSTATUS GetChannelCount(PULONG pCount) override;
    NTSTATUS Init(ULONG ulSourceId, ULONG ulChannelCount, LONG maximum, LONG minimum, LONG step) override;

    // IEntityLink
    NTSTATUS SetOutputKind(ULONG ulKind, PVOID pCallbackObject) override;

    ULONG GetOutputKind() const { return __atomic_load_n(&m_ulOutputKind, __ATOMIC_RELAXED); }

protected:
    ULONG m_ulChannelCount;
    PLONG m_pValues;
    LONG m_lMaximum;
    LONG m_lMinimum;
    LONG m_lStep;
    ULONG m_ulOutputKind;
};

class VolumeEntity : public LevelEntity {
public:
    VolumeEntity(PUNKNOWN pOuterUnknown, ULONG ulId) : LevelEntity(pOuterUnknown, ulId, ENTITY_VOLUME) {}
};

class BassEntity : public LevelEntity {
public:
    BassEntity(PUNKNOWN pOuterUnknown, ULONG ulId) : LevelEntity(pOuterUnknown, ulId, ENTITY_BASS) {}
};

class MidEntity : public LevelEntity {
public:
    MidEntity(PUNKNOWN pOuterUnknown, ULONG ulId) : LevelEntity(pOuterUnknown, ulId, ENTITY_MID) {}
};

class TrebleEntity : public LevelEntity {
public:
    TrebleEntity(PUNKNOWN pOuterUnknown, ULONG ulId) : LevelEntity(pOuterUnknown, ulId, ENTITY_TREBLE) {}
};

class GainPadEntity : public LevelEntity {
public:
    GainPadEntity(PUNKNOWN pOuterUnknown, ULONG ulId) : LevelEntity(pOuterUnknown, ulId, ENTITY_GAIN_PAD) {}
};
