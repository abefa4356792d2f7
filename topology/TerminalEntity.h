// Terminals: the pins of the topology filter. Input and output terminals, and the mixer, which
// may present itself as a stereo-mix input terminal.
#pragma once

#include "adapter/TopologyNode.h"

class TerminalEntity : public ITerminalControl, public TopologyNode {
public:
    DECLARE_UNKNOWN_BASE()

    TerminalEntity(PUNKNOWN pOuterUnknown, ULONG ulId, LONG lType);
    ~TerminalEntity() override;

    // ITerminalControl; the `output` arguments are ignored.
    NTSTATUS GetKind(PULONG pKind) override;
    NTSTATUS GetKindCount(PULONG pCount) override;
    NTSTATUS GetKinds(PULONG pKinds) override;
    NTSTATUS SelectKind(ULONG ulKind) override;
    NTSTATUS GetJackCount(PULONG pCount, ULONG ulOutput) override;
    NTSTATUS GetJackDescriptions(ULONG cbBytes, JackRecord* pRecords, ULONG ulOutput) override;
    NTSTATUS GetTerminalInfo(UCHAR* pInfo) override;

    // The capability block the terminal reports (written by the device-bound terminals).
    void SetTerminalInfo(const AudioCapabilities& info) { m_TerminalInfo = info; }

protected:
    // Kinds 1..5 and non-null; jack records required when jacks are counted. Sets `sourceCount`
    // sources (0 or 1) and stores everything only after that succeeded.
    NTSTATUS InitTerminal(ULONG ulSourceCount, ULONG ulSourceId, ULONG ulKindCount, const ULONG* pKinds,
                          ULONG ulJackCount, const JackRecord* pJacks);
    void FreeStorage();

    ULONG m_ulKindCount;
    PULONG m_pKinds;
    ULONG m_ulActiveKind;
    ULONG m_ulJackCount;
    AudioCapabilities m_TerminalInfo;
    JackRecord* m_pJacks;
};

class InputTerminalEntity : public TerminalEntity {
public:
    InputTerminalEntity(PUNKNOWN pOuterUnknown, ULONG ulId)
        : TerminalEntity(pOuterUnknown, ulId, ENTITY_INPUT_TERMINAL)
    {
    }
    NTSTATUS Init(ULONG ulKindCount, const ULONG* pKinds, ULONG ulJackCount, const JackRecord* pJacks)
    {
        return InitTerminal(0, 0, ulKindCount, pKinds, ulJackCount, pJacks);
    }
};

class OutputTerminalEntity : public TerminalEntity {
public:
    OutputTerminalEntity(PUNKNOWN pOuterUnknown, ULONG ulId)
        : TerminalEntity(pOuterUnknown, ulId, ENTITY_OUTPUT_TERMINAL)
    {
    }
    NTSTATUS Init(ULONG ulSourceId, ULONG ulKindCount, const ULONG* pKinds, ULONG ulJackCount,
                  const JackRecord* pJacks)
    {
        return InitTerminal(1, ulSourceId, ulKindCount, pKinds, ulJackCount, pJacks);
    }
};

// Type 5 in mixer mode; type 0 with no sources (and answering ITerminalControl with the
// stereo-mix kind and one jack) in terminal mode.
class MixerEntity : public IEntityMixer, public TerminalEntity {
public:
    DECLARE_UNKNOWN_BASE()

    MixerEntity(PUNKNOWN pOuterUnknown, ULONG ulId) : TerminalEntity(pOuterUnknown, ulId, ENTITY_MIXER) {}

    NTSTATUS SetSources(ULONG ulCount, const ULONG* pIds) override;
    NTSTATUS SetTerminalMode(BOOLEAN asInputTerminal) override;

    bool IsTerminalMode() const { return m_bTerminalMode != 0; }

protected:
    UCHAR m_bTerminalMode = 0;
    ULONG m_ulSavedSourceCount = 0;
};
