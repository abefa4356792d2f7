// The entity interfaces: topology nodes, the ten control interfaces of the entities and the
// processing nodes. Each interface's operations follow QueryInterface, AddRef and Release in the
// order given here; the order is part of the contract with every implementing class.
#pragma once

#include "adapter/AudioTypes.h"
#include "platform/portcls/Unknown.h"

KVX_DEFINE_GUID(IID_ITopologyNode, "{200AFF7F-71A4-4FFC-BF4F-61F2B8A522B5}");
KVX_DEFINE_GUID(IID_ITerminalControl, "{540C5664-4620-4FDB-9B81-7E2145D95BE3}");
KVX_DEFINE_GUID(IID_IMultiOutputTerminal, "{DC7604D8-C1F4-4EA1-818C-F744191B5B18}");
KVX_DEFINE_GUID(IID_IEntityLink, "{03449A8C-92DC-45CA-859F-AC21AD70C59F}");
KVX_DEFINE_GUID(IID_ISelectorControl, "{524FA5C2-9FBF-4FC8-B8D2-DC302DEDB0DF}");
KVX_DEFINE_GUID(IID_ISelectorBranchControl, "{D31296ED-008B-4C8C-A239-4E6B322E9626}");
KVX_DEFINE_GUID(IID_IProcessingNode, "{1EDBBC0C-AA74-4046-911E-C8BDE64A66FF}");
KVX_DEFINE_GUID(IID_IEntityOnOff, "{8EDE1D42-90E4-4B08-96EF-7CBBC472F9ED}");
KVX_DEFINE_GUID(IID_IEntityLevel, "{B0446B44-06EB-403F-8B78-E1E963DEA3CD}");
KVX_DEFINE_GUID(IID_IEntityMixer, "{9E3FB612-FCD2-4C51-88BA-B1BD3734F1B5}");
KVX_DEFINE_GUID(IID_IClockControl, "{E1A6E8A0-3C43-4950-901B-9E84F6C3C2EC}");
KVX_DEFINE_GUID(IID_IProcessingEntity, "{34480E1C-F752-41EE-81AE-70174C8FB3B3}");

class ITopologyNode : public IUnknown {
public:
    virtual ULONG GetId() = 0;
    virtual LONG GetType() = 0;
    virtual ULONG GetSourceCount() = 0;
    // *count in: room in ids; out: lowered to the stored count when larger.
    virtual NTSTATUS GetSources(PULONG count, PULONG ids) = 0;
    virtual NTSTATUS Restore() = 0;
    virtual NTSTATUS Refresh() = 0;
    virtual NTSTATUS OnStart() = 0;
    virtual NTSTATUS OnStop() = 0;
    virtual NTSTATUS SetSources(ULONG count, const ULONG* ids) = 0;

protected:
    ~ITopologyNode() = default;
};

class ITerminalControl : public IUnknown {
public:
    virtual NTSTATUS GetKind(PULONG kind) = 0;
    virtual NTSTATUS GetKindCount(PULONG count) = 0;
    virtual NTSTATUS GetKinds(PULONG kinds) = 0;
    virtual NTSTATUS SelectKind(ULONG kind) = 0;
    // `output` selects the output of a terminal unit that has several; entities ignore it.
    virtual NTSTATUS GetJackCount(PULONG count, ULONG output) = 0;
    // Copies min(bytes, jack count x 36) bytes.
    virtual NTSTATUS GetJackDescriptions(ULONG bytes, JackRecord* records, ULONG output) = 0;
    virtual NTSTATUS GetTerminalInfo(UCHAR* info) = 0;

protected:
    ~ITerminalControl() = default;
};

// The output an entity currently serves; the callback object, when given, is notified after a
// USB-bound entity reloaded its values for the new output.
class IEntityLink : public IUnknown {
public:
    virtual NTSTATUS SetOutputKind(ULONG kind, PVOID callbackObject) = 0;

protected:
    ~IEntityLink() = default;
};

// Per-channel on/off values (0 off, non-zero on).
class IEntityOnOff : public IUnknown {
public:
    virtual NTSTATUS GetValue(ULONG channel, PUCHAR value) = 0;
    virtual NTSTATUS SetValue(ULONG channel, UCHAR value) = 0;
    virtual NTSTATUS GetChannelCount(PULONG count) = 0;
    virtual NTSTATUS Init(ULONG sourceId, ULONG channelCount) = 0;

protected:
    ~IEntityOnOff() = default;
};

// Per-channel levels in 1/65536 dB; channel `count` is the master value.
class IEntityLevel : public IUnknown {
public:
    virtual NTSTATUS GetLevel(ULONG channel, PLONG level) = 0;
    virtual NTSTATUS SetLevel(ULONG channel, LONG level) = 0;
    virtual NTSTATUS GetRange(PLONG maximum, PLONG minimum, PLONG step) = 0;
    virtual NTSTATUS GetChannelCount(PULONG count) = 0;
    virtual NTSTATUS Init(ULONG sourceId, ULONG channelCount, LONG maximum, LONG minimum, LONG step) = 0;

protected:
    ~IEntityLevel() = default;
};

// A mixer that may present itself as a stereo-mix input terminal.
class IEntityMixer : public IUnknown {
public:
    virtual NTSTATUS SetTerminalMode(BOOLEAN asInputTerminal) = 0;

protected:
    ~IEntityMixer() = default;
};

class IMultiOutputTerminal : public IUnknown {
public:
    virtual NTSTATUS GetKind(PULONG kind) = 0;
    virtual NTSTATUS GetKindCount(PULONG count) = 0;
    virtual NTSTATUS GetKinds(PULONG kinds) = 0;
    virtual NTSTATUS SelectKind(ULONG kind) = 0;
    virtual ULONG GetChangedFlag() = 0;
    virtual NTSTATUS ClearChangedFlag() = 0;
    virtual NTSTATUS AddLink(IEntityLink* link) = 0;
    virtual NTSTATUS Init(ULONG sourceId, ULONG kindCount, const ULONG* kinds) = 0;

protected:
    ~IMultiOutputTerminal() = default;
};

class ISelectorBranchControl : public IUnknown {
public:
    virtual NTSTATUS OnSelectionChanging(ULONG newInput, ULONG oldInput) = 0;
    virtual NTSTATUS SetSelectedInput(ULONG input) = 0;
    virtual NTSTATUS SetBranchIndex(ULONG input) = 0;

protected:
    ~ISelectorBranchControl() = default;
};

class ISelectorControl : public IUnknown {
public:
    virtual NTSTATUS GetSelected(PULONG input) = 0;
    virtual NTSTATUS SetSelected(ULONG input) = 0;
    virtual NTSTATUS GetInputCount(PULONG count) = 0;
    virtual NTSTATUS AddBranchControl(ISelectorBranchControl* branch) = 0;

protected:
    ~ISelectorControl() = default;
};

// Sample rates of a clock source, in Hz.
class IClockControl : public IUnknown {
public:
    // *count in: room in rates (signed); out: the rate count.
    virtual NTSTATUS GetRates(PULONG count, PULONG rates) = 0;
    virtual NTSTATUS GetRateCount(PULONG count) = 0;
    virtual NTSTATUS SetRate(ULONG rate) = 0;
    virtual NTSTATUS GetRate(PULONG rate) = 0;
    virtual NTSTATUS IsClockValid(PBOOLEAN valid) = 0;
    virtual NTSTATUS Init(LONG rateCount, const ULONG* rates) = 0;

protected:
    ~IClockControl() = default;
};

// A processing block of the device, published as a node named by its own GUID.
class IProcessingEntity : public IUnknown {
public:
    virtual NTSTATUS GetNodeGuid(GUID* guid) = 0;
    virtual NTSTATUS SetEnable(UCHAR enable) = 0;
    virtual NTSTATUS GetEnable(PUCHAR enable) = 0;
    virtual NTSTATUS GetParameterCount(PULONG count) = 0;
    virtual NTSTATUS GetParameters(ULONG first, ULONG count, PLONG values) = 0;
    virtual NTSTATUS SetParameters(ULONG first, ULONG count, const LONG* values) = 0;
    virtual NTSTATUS GetParameterInfo(ULONG index, PULONG a, PULONG b, PULONG c) = 0;
    virtual NTSTATUS Init(ULONG sourceId) = 0;

protected:
    ~IProcessingEntity() = default;
};

// Software processing on an endpoint's stream: SetFormat at stream start, Process for every chunk
// of at most 512 frames (at DISPATCH_LEVEL, in place), Reset at stream stop.
class IProcessingNode : public IUnknown {
public:
    virtual NTSTATUS Reserved1() = 0;
    virtual NTSTATUS Reserved2() = 0;
    virtual NTSTATUS SetFormat(const WaveFormatRecord* format) = 0;
    virtual NTSTATUS Flush() = 0;
    // data: eight float channel pointers for PCM, else the raw interleaved chunk.
    virtual NTSTATUS Process(const WaveFormatRecord* format, PVOID data, ULONG frames) = 0;
    virtual NTSTATUS Reset() = 0;

protected:
    ~IProcessingNode() = default;
};
