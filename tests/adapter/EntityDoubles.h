// Test-only: entities, a selector, processing nodes and a registry for the tests of the entity
// registry and the stream engine. Each double records what was asked of it.
#pragma once

#include <functional>
#include <vector>

#include "adapter/AudioHal.h"
#include "adapter/StreamEngine.h"
#include "adapter/TopologyNode.h"

namespace kvxtest {

constexpr ULONG TEST_ENTITY_TAG = MakePoolTag("TEnt");

struct EntityLog {
    std::vector<ULONG> Restored;       // ids, in call order
    std::vector<ULONG> BranchAdded;    // ids of branch controls a selector received, in order
    std::vector<ULONG> BranchIndex;    // SetBranchIndex values, in call order
    std::vector<ULONG> SelectedInput;  // SetSelectedInput values, in call order
    int Started = 0;
    int Stopped = 0;
};
EntityLog& Log();

// An entity with optional interfaces: a selector branch control, a terminal (kind and jacks), a
// multi-output terminal.
class TestEntity : public TopologyNode,
                   public ISelectorBranchControl,
                   public ITerminalControl,
                   public IMultiOutputTerminal {
public:
    DECLARE_UNKNOWN_BASE()

    TestEntity(ULONG id, LONG type) : TopologyNode(nullptr, id, type) {}

    // Creates one with a reference for the caller.
    static TestEntity* New(ULONG id, LONG type);

    NTSTATUS Restore() override
    {
        Log().Restored.push_back(GetId());
        return m_RestoreStatus;
    }
    NTSTATUS OnStart() override
    {
        ++Log().Started;
        return STATUS_SUCCESS;
    }
    NTSTATUS OnStop() override
    {
        ++Log().Stopped;
        return STATUS_SUCCESS;
    }

    // ISelectorBranchControl
    NTSTATUS OnSelectionChanging(ULONG, ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS SetSelectedInput(ULONG input) override
    {
        Log().SelectedInput.push_back(input);
        return STATUS_SUCCESS;
    }
    NTSTATUS SetBranchIndex(ULONG input) override
    {
        Log().BranchIndex.push_back(input);
        return STATUS_SUCCESS;
    }

    // ITerminalControl and IMultiOutputTerminal
    NTSTATUS GetKind(PULONG kind) override
    {
        *kind = m_ulKind;
        return STATUS_SUCCESS;
    }
    NTSTATUS GetKindCount(PULONG count) override
    {
        *count = 1;
        return STATUS_SUCCESS;
    }
    NTSTATUS GetKinds(PULONG kinds) override
    {
        *kinds = m_ulKind;
        return STATUS_SUCCESS;
    }
    NTSTATUS SelectKind(ULONG kind) override
    {
        m_ulKind = kind;
        return STATUS_SUCCESS;
    }
    NTSTATUS GetJackCount(PULONG count, ULONG) override
    {
        *count = static_cast<ULONG>(m_Jacks.size());
        return STATUS_SUCCESS;
    }
    NTSTATUS GetJackDescriptions(ULONG bytes, JackRecord* records, ULONG output) override;
    NTSTATUS GetTerminalInfo(UCHAR*) override { return STATUS_INVALID_PARAMETER; }
    ULONG GetChangedFlag() override { return 0; }
    NTSTATUS ClearChangedFlag() override { return STATUS_SUCCESS; }
    NTSTATUS AddLink(IEntityLink*) override { return STATUS_SUCCESS; }
    NTSTATUS Init(ULONG, ULONG, const ULONG*) override { return STATUS_SUCCESS; }

    NTSTATUS m_RestoreStatus = STATUS_SUCCESS;
    bool m_bBranch = false;    // answers ISelectorBranchControl
    bool m_bTerminal = false;  // answers ITerminalControl
    bool m_bMultiOutput = false;
    ULONG m_ulKind = 0;
    std::vector<JackRecord> m_Jacks;
};

// A selector: records the branch controls it receives.
class TestSelector : public TopologyNode, public ISelectorControl {
public:
    DECLARE_UNKNOWN_BASE()

    explicit TestSelector(ULONG id) : TopologyNode(nullptr, id, ENTITY_SELECTOR) {}
    static TestSelector* New(ULONG id);

    NTSTATUS GetSelected(PULONG input) override
    {
        *input = m_ulSelected;
        return STATUS_SUCCESS;
    }
    NTSTATUS SetSelected(ULONG input) override
    {
        m_ulSelected = input;
        return STATUS_SUCCESS;
    }
    NTSTATUS GetInputCount(PULONG count) override
    {
        *count = GetSourceCount();
        return STATUS_SUCCESS;
    }
    NTSTATUS AddBranchControl(ISelectorBranchControl* branch) override;

    ULONG m_ulSelected = 1;
};

// A registry whose bring-up is the test's.
class TestHal : public AudioHal {
public:
    TestHal() : AudioHal(nullptr) {}
    static TestHal* New();
    NTSTATUS Configure() override { return m_Configure ? m_Configure(this) : STATUS_SUCCESS; }
    std::function<NTSTATUS(TestHal*)> m_Configure;
};

// A processing node: records the frames of each call and the floating-point control state it
// ran with; scales every sample by a factor; fails from the given call on.
class TestNode : public UnknownBase, public IProcessingNode {
public:
    DECLARE_UNKNOWN_BASE()

    TestNode() : UnknownBase(nullptr) {}
    static TestNode* New();

    NTSTATUS Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS SetFormat(const WaveFormatRecord*) override { return STATUS_SUCCESS; }
    NTSTATUS Flush() override { return STATUS_SUCCESS; }
    NTSTATUS Process(const WaveFormatRecord* format, PVOID data, ULONG frames) override;
    NTSTATUS Reset() override { return STATUS_SUCCESS; }

    std::vector<ULONG> m_Frames;
    std::vector<PVOID> m_Data;
    unsigned int m_Mxcsr = 0;
    float m_Scale = 1.0f;
    size_t m_FailAtCall = 0;  // 1-based; 0: never
};

// A client processor of lists A and B: counts its calls.
class TestClientProcessor : public UnknownBase, public IClientProcessor {
public:
    DECLARE_UNKNOWN_BASE()
    TestClientProcessor() : UnknownBase(nullptr) {}
    static TestClientProcessor* New();
    NTSTATUS Reserved1() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS Reserved2() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS SetFormat(const WaveFormatRecord*) override { return STATUS_SUCCESS; }
    NTSTATUS Flush() override { return STATUS_SUCCESS; }
    NTSTATUS ProcessA(const WaveFormatRecord*, PVOID, ULONG) override
    {
        ++m_CallsA;
        return STATUS_SUCCESS;
    }
    NTSTATUS ProcessB(const WaveFormatRecord*, PVOID, ULONG) override
    {
        ++m_CallsB;
        return STATUS_SUCCESS;
    }
    int m_CallsA = 0;
    int m_CallsB = 0;
};

}  // namespace kvxtest
