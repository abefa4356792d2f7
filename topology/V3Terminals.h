// The V3 chip's terminals and selector. The output terminal switches the chip between speakers,
// headphones and S/PDIF through chip registers 0 to 2 and describes its jacks from fixed tables;
// the input terminals report no jacks; the selector translates its input numbers into the chip's
// codes for its sources.
#pragma once

#include "topology/SelectorUnit.h"
#include "topology/Terminals.h"
#include "topology/V3ChipRegisters.h"

constexpr ULONG V3_UNIT_TAG = MakePoolTag("7302");
constexpr ULONG V3_MAX_OUTPUT_KINDS = 3;
constexpr ULONG V3_SELECTOR_CODES = 8;  // inputs 1 to 7

class V3InputTerminal : public InputTerminal {
public:
    // The other chips whose input terminals ask nothing of the device give their own entity tag.
    V3InputTerminal(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId, ULONG ulEntityTag = V3_UNIT_TAG)
        : InputTerminal(pOuterUnknown, ulProvisionalId), m_ulEntityTag(ulEntityTag)
    {
    }

    // InputTerminal::InitFromDescriptor reaches this through its virtual Init.
    // One input-terminal entity; no vendor jack query.
    NTSTATUS Init(IAudioHal* hal) override;

private:
    ULONG m_ulEntityTag;
};

class V3OutputTerminal : public OutputTerminal {
public:
    V3OutputTerminal(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId);

    // Kinds [1, 2 with headphones, 3 with S/PDIF]; the registers of the active kind are written
    // whatever the initialisation returned.
    NTSTATUS InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal, IV3ChipRegisters* pChip,
                                BOOLEAN bSupportSpdifOut, BOOLEAN bSupportHpOut, BOOLEAN bEightChannel);
    NTSTATUS Init(IAudioHal* hal);

    // ITerminalControl
    NTSTATUS GetKind(PULONG pKind) override;
    NTSTATUS GetKindCount(PULONG pCount) override;
    NTSTATUS GetKinds(PULONG pKinds) override;
    // Registers 2, 1, 0 of the kind and the stored "UACUnit" value. PASSIVE_LEVEL.
    NTSTATUS SelectKind(ULONG ulKind) override;
    NTSTATUS GetJackCount(PULONG pCount, ULONG ulKindIndex) override;
    NTSTATUS GetJackDescriptions(ULONG cbBytes, JackRecord* pRecords, ULONG ulKindIndex) override;

    // Refreshes the output-terminal entities; the device is not asked.
    NTSTATUS HandleStatusChange(ULONG, ULONG, PULONG pulId) override;

    BOOLEAN EightChannel() const { return m_bEightChannel; }

private:
    VOID WriteKindRegisters(ULONG ulKind);
    // The kind at an index, 0 past KindCount.
    ULONG KindAt(ULONG ulKindIndex) const;

    LONG m_lActiveKind;
    ULONG m_ulKindCount;
    LONG m_Kinds[V3_MAX_OUTPUT_KINDS];
    IV3ChipRegisters* m_pChip;
    BOOLEAN m_bEightChannel;
};

class V3SelectorUnit : public SelectorUnit {
public:
    V3SelectorUnit(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId) : SelectorUnit(pOuterUnknown, ulProvisionalId) {}

    NTSTATUS InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal);
    NTSTATUS Init(IAudioHal* hal);

    // The input whose code the device reports; an unknown code reads as input 1 and sends its code.
    NTSTATUS GetSelected(PULONG pInput) override;
    // Sends the input's code; nothing is stored.
    NTSTATUS SetSelected(ULONG ulInput) override;

    UCHAR InputCode(ULONG ulInput) const { return ulInput < V3_SELECTOR_CODES ? m_InputCode[ulInput] : 0; }

private:
    UCHAR m_InputCode[V3_SELECTOR_CODES];
};
