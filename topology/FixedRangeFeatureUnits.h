// The feature units of the V4 and V5 chips for a few unit ids: they report fixed level ranges
// whatever the device answers, convert levels by rules of their own per unit, carry their on/off
// controls on the master channel only and read or send every value on each call. They create
// their entities as the class feature unit does, without vendor controls.
//
// Bitmaps: (bLength - 7) / bControlSize of them, the master first (the byte after them is
// iFeature); control selector s is bit s - 1; bitmaps wider than one byte count their low 16 bits.
#pragma once

#include "topology/UnitControls.h"
#include "topology/UsbAudioUnit.h"

constexpr ULONG V4_UNIT_ENTITY_TAG = MakePoolTag("1037");
constexpr ULONG V5_UNIT_ENTITY_TAG = MakePoolTag("7303");

// One row of the V4 unit 9 level map, both columns in 1/256 dB.
struct V4VolumeRemapRow {
    SHORT Level;   // reported to KS
    SHORT Device;  // on the wire
};
constexpr ULONG V4_VOLUME_REMAP_ROWS = 38;
extern const V4VolumeRemapRow V4VolumeRemapTable[V4_VOLUME_REMAP_ROWS];

// The on/off interface's ChannelCount, apart from the value interface's one of the same name.
class FixedRangeOnOffControl : public IOnOffControl {
public:
    NTSTATUS ChannelCount(ULONG selector, PULONG count) final { return OnOffChannelCount(selector, count); }
    virtual NTSTATUS OnOffChannelCount(ULONG selector, PULONG count) = 0;

protected:
    ~FixedRangeOnOffControl() = default;
};

class FixedRangeValueControl : public IValueControl {
public:
    NTSTATUS ChannelCount(ULONG selector, PULONG count) final { return ValueChannelCount(selector, count); }
    virtual NTSTATUS ValueChannelCount(ULONG selector, PULONG count) = 0;

protected:
    ~FixedRangeValueControl() = default;
};

class FixedRangeFeatureUnit : public UsbAudioUnit, public FixedRangeOnOffControl, public FixedRangeValueControl {
public:
    DECLARE_UNKNOWN_BASE()

    // Levels in 1/65536 dB.
    struct Range {
        LONG Maximum;
        LONG Minimum;
        LONG Step;
    };

    // Keeps the descriptor and creates the entities; no vendor control block is read.
    NTSTATUS InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal);

    // IOnOffControl: master channel only (channel index 0), one byte.
    NTSTATUS GetOnOff(ULONG selector, ULONG channel, PUCHAR value) override;
    NTSTATUS SetOnOff(ULONG selector, ULONG channel, UCHAR value) override;
    // 1 for every selector.
    NTSTATUS OnOffChannelCount(ULONG selector, PULONG count) override;
    // Mute first (required), then volume, bass, mid, treble, AGC, loudness when present.
    NTSTATUS Init(IAudioHal* hal) override;

    // IValueControl
    NTSTATUS GetValue(ULONG selector, ULONG channel, PLONG value) override;
    NTSTATUS SetValue(ULONG selector, ULONG channel, LONG value) override;
    // The device is asked for its range (GET_MAX, GET_MIN, GET_RES); when it answers all three,
    // the unit's own range is reported.
    NTSTATUS GetRange(ULONG selector, PLONG maximum, PLONG minimum, PLONG resolution) override;
    // The channels 1..n carrying the control, else 1 for the master alone; none: STATUS_UNSUCCESSFUL.
    NTSTATUS ValueChannelCount(ULONG selector, PULONG count) override;

    BOOLEAN IsControlPresent(ULONG selector) const;

protected:
    FixedRangeFeatureUnit(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId, ULONG ulEntityTag);

    // The conversions of the class: device value (1/256 dB) to level and back.
    virtual LONG LevelFromDevice(SHORT device) const = 0;
    virtual SHORT DeviceFromLevel(LONG level) const = 0;
    virtual Range FixedRange() const = 0;
    // Tone selectors of one signed byte (level = byte << 14): for reads, and for writes and ranges.
    virtual bool ToneByteOnRead(ULONG selector) const = 0;
    virtual bool ToneByteOnWriteAndRange(ULONG selector) const = 0;

private:
    bool IsFeatureDescriptor() const;
    ULONG BitmapCount() const;
    bool BitmapHas(ULONG selector, ULONG index) const;
    NTSTATUS WireChannel(ULONG selector, ULONG channel, PULONG pulWire);
    NTSTATUS Request(ULONG selector, UCHAR request, ULONG wireChannel, BOOLEAN read, PVOID buffer, ULONG length);

    ULONG m_ulEntityTag;
};

// V4: unit 9 by the remap table, units 10 to 12 and 13 to 14 in 1.5 dB steps of whole device dB.
class V4FeatureUnit : public FixedRangeFeatureUnit {
protected:
    V4FeatureUnit(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId)
        : FixedRangeFeatureUnit(pOuterUnknown, ulProvisionalId, V4_UNIT_ENTITY_TAG)
    {
    }
    bool ToneByteOnRead(ULONG selector) const override;
    bool ToneByteOnWriteAndRange(ULONG selector) const override;
};

class V4FeatureUnit9 : public V4FeatureUnit {
public:
    V4FeatureUnit9(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId) : V4FeatureUnit(pOuterUnknown, ulProvisionalId) {}

protected:
    LONG LevelFromDevice(SHORT device) const override;
    SHORT DeviceFromLevel(LONG level) const override;
    Range FixedRange() const override;
};

class V4FeatureUnit10 : public V4FeatureUnit {
public:
    V4FeatureUnit10(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId) : V4FeatureUnit(pOuterUnknown, ulProvisionalId) {}

protected:
    LONG LevelFromDevice(SHORT device) const override;
    SHORT DeviceFromLevel(LONG level) const override;
    Range FixedRange() const override;
};

class V4FeatureUnit13 : public V4FeatureUnit {
public:
    V4FeatureUnit13(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId) : V4FeatureUnit(pOuterUnknown, ulProvisionalId) {}

protected:
    LONG LevelFromDevice(SHORT device) const override;
    SHORT DeviceFromLevel(LONG level) const override;
    Range FixedRange() const override;
};

// V5: two bytes for every selector, except the tone reads of unit 10.
class V5FeatureUnit : public FixedRangeFeatureUnit {
protected:
    V5FeatureUnit(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId)
        : FixedRangeFeatureUnit(pOuterUnknown, ulProvisionalId, V5_UNIT_ENTITY_TAG)
    {
    }
    bool ToneByteOnRead(ULONG) const override { return false; }
    bool ToneByteOnWriteAndRange(ULONG) const override { return false; }
};

class V5FeatureUnit9 : public V5FeatureUnit {
public:
    V5FeatureUnit9(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId) : V5FeatureUnit(pOuterUnknown, ulProvisionalId) {}

protected:
    LONG LevelFromDevice(SHORT device) const override;
    SHORT DeviceFromLevel(LONG level) const override;
    Range FixedRange() const override;
};

class V5FeatureUnit10 : public V5FeatureUnit {
public:
    V5FeatureUnit10(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId) : V5FeatureUnit(pOuterUnknown, ulProvisionalId) {}

protected:
    LONG LevelFromDevice(SHORT device) const override;
    SHORT DeviceFromLevel(LONG level) const override;
    Range FixedRange() const override;
    bool ToneByteOnRead(ULONG selector) const override;
};

class V5FeatureUnit13 : public V5FeatureUnit {
public:
    V5FeatureUnit13(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId) : V5FeatureUnit(pOuterUnknown, ulProvisionalId) {}

protected:
    LONG LevelFromDevice(SHORT device) const override;
    SHORT DeviceFromLevel(LONG level) const override;
    Range FixedRange() const override;
};
