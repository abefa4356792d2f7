// The control interfaces that feature units offer to the entities they created. Selectors are the
// unit's control selectors (bit 7 set: a vendor control); channels count only the channels that
// carry the control, from 0. Levels are in 1/65536 dB for every selector; the unit converts.
#pragma once

#include "adapter/AudioHal.h"
#include "platform/portcls/Unknown.h"

KVX_DEFINE_GUID(IID_IOnOffControl, "{AE45E80C-D8A3-4E59-B8DF-C0EC0B62F3CC}");
KVX_DEFINE_GUID(IID_IValueControl, "{934E9EE1-3402-4AE4-B520-E1E4925FAC8E}");

class IOnOffControl : public IUnknown {
public:
    virtual NTSTATUS GetOnOff(ULONG selector, ULONG channel, PUCHAR value) = 0;
    virtual NTSTATUS SetOnOff(ULONG selector, ULONG channel, UCHAR value) = 0;
    virtual NTSTATUS ChannelCount(ULONG selector, PULONG count) = 0;
    // The feature unit's Init: creates its entities.
    virtual NTSTATUS Init(IAudioHal* hal) = 0;

protected:
    ~IOnOffControl() = default;
};

class IValueControl : public IUnknown {
public:
    virtual NTSTATUS GetValue(ULONG selector, ULONG channel, PLONG value) = 0;
    virtual NTSTATUS SetValue(ULONG selector, ULONG channel, LONG value) = 0;
    virtual NTSTATUS GetRange(ULONG selector, PLONG maximum, PLONG minimum, PLONG resolution) = 0;
    virtual NTSTATUS ChannelCount(ULONG selector, PULONG count) = 0;

protected:
    ~IValueControl() = default;
};
