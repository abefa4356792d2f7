// The entity interfaces the adapter's registries use: topology nodes, terminals, selectors and
// processing nodes. Each class-specific Init stays on the implementing class.
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
    virtual NTSTATUS GetJackCount(PULONG count) = 0;
    virtual NTSTATUS GetJackDescriptions(ULONG bytes, JackRecord* records) = 0;
    virtual NTSTATUS GetTerminalInfo(UCHAR* info) = 0;

protected:
    ~ITerminalControl() = default;
};

class IEntityLink;

class IMultiOutputTerminal : public IUnknown {
public:
    virtual NTSTATUS GetKind(PULONG kind) = 0;
    virtual NTSTATUS GetKindCount(PULONG count) = 0;
    virtual NTSTATUS GetKinds(PULONG kinds) = 0;
    virtual NTSTATUS SelectKind(ULONG kind) = 0;
    virtual ULONG GetChangedFlag() = 0;
    virtual NTSTATUS ClearChangedFlag() = 0;
    virtual NTSTATUS AddLink(IEntityLink* link) = 0;

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
