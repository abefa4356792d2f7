// The bodies the input and output terminals of both class versions share: the jacks, the one
// kind of an input terminal, the selectable outputs of an output terminal with their kinds,
// jacks and stored choice, and the entities that stand for them. A version comes in as its
// traits (a struct of constants and static functions):
//   TAG                    pool tag of the records, the output arrays and the entities;
//   INPUT_MIN_LENGTH,
//   OUTPUT_MIN_LENGTH      the shortest usable descriptor of each subtype;
//   Describes(d, subtype)  whether a kept descriptor is one the terminal may read;
//   JacksReadable(d)       whether the device may be asked for jacks and outputs at all;
//   InputKind(type)        the input terminal's kind table;
//   ReachDevice(owner)     what must hold before a device request of Init or a jack query;
//   ReadJacks              the version's jack reader (records from non-paged pool, TAG);
//   RefreshJacks           IsConnected of the records and of the caller's copy from the device;
//   ReadCurrentOutput      the terminal type of the output the device has selected;
//   SelectOutput           the write that selects an output (its result is not used);
//   IsJackChange(sel, ch)  whether a status change of the input terminal concerns its jacks.
// Every routine runs at PASSIVE_LEVEL.
#pragma once

#include "adapter/EntityInterfaces.h"
#include "platform/usb/Usb.h"
#include "topology/UsbAudioUnit.h"

// "UACUnit03": the settings value that keeps the active output kind of terminal 3.
constexpr ULONG ACTIVE_OUTPUT_NAME_CHARS = 20;
void FormatActiveOutputName(WCHAR (&name)[ACTIVE_OUTPUT_NAME_CHARS], ULONG ulUnitId);
// A 4-byte value under "Settings"; `*pValue` keeps what it had when nothing is stored.
void ReadTerminalSetting(PDEVICE_OBJECT pDevice, PCWSTR name, PULONG pValue);
// The buffers of a jack reply of ulCount entries (count byte first) and its records, both from
// non-paged pool with the tag, zero-filled; both or neither (STATUS_INSUFFICIENT_RESOURCES).
NTSTATUS AllocateJackReply(ULONG ulCount, ULONG ulTag, PUCHAR* ppReply, JackRecord** ppJacks);

// What every terminal unit has, whatever its version and direction.
class TerminalUnit : public UsbAudioUnit, public ITerminalControl {
public:
    NTSTATUS GetTerminalInfo(UCHAR*) override { return STATUS_NOT_IMPLEMENTED; }

protected:
    TerminalUnit(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId) : UsbAudioUnit(pOuterUnknown, ulProvisionalId) {}

    // The unit's own interface ids, then ITerminalControl.
    NTSTATUS QueryTerminalInterface(REFIID iid, PVOID* ppvObject);
    // wTerminalType of the kept descriptor when it is usable, else 0.
    USHORT TerminalTypeIf(bool bUsable) const;
};

template <class Traits>
class InputTerminalBase : public TerminalUnit {
public:
    // ITerminalControl: one kind, from the version's input table; the jacks (with IsConnected
    // freshly read from the device) only where the terminal type carries them.
    NTSTATUS GetKind(PULONG pKind) override;
    NTSTATUS GetKindCount(PULONG pCount) override;
    NTSTATUS GetKinds(PULONG pKinds) override;
    NTSTATUS SelectKind(ULONG ulKind) override;
    NTSTATUS GetJackCount(PULONG pCount, ULONG ulOutput) override;
    NTSTATUS GetJackDescriptions(ULONG cbBytes, JackRecord* pRecords, ULONG ulOutput) override;

    // A change of the jacks refreshes the terminal entity and answers its id.
    NTSTATUS HandleStatusChange(ULONG ulSelector, ULONG ulChannel, PULONG pulId) override;

protected:
    InputTerminalBase(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId);
    ~InputTerminalBase() override;

    // 0 unless a usable descriptor is kept: no table gives it a kind of its own.
    USHORT TerminalType() const;
    // Id, type 2 and no sources; the jacks when bReadJacks and the device has any to tell; one
    // input-terminal entity (tag ulEntityTag) with the capture capabilities of the terminal type.
    NTSTATUS InitInputTerminal(IAudioHal* hal, bool bReadJacks, ULONG ulEntityTag);

    ULONG m_ulJackCount;
    JackRecord* m_pJacks;
};

template <class Traits>
class OutputTerminalBase : public TerminalUnit {
public:
    // ITerminalControl: the kinds are the outputs' kinds; the active one is GetKind's.
    NTSTATUS GetKind(PULONG pKind) override;
    NTSTATUS GetKindCount(PULONG pCount) override;
    NTSTATUS GetKinds(PULONG pKinds) override;
    NTSTATUS GetJackCount(PULONG pCount, ULONG ulOutput) override;
    // The active output's jacks as the device reports them; another output's as
    // "SetJackConnect" says (the unit's records stay as they are).
    NTSTATUS GetJackDescriptions(ULONG cbBytes, JackRecord* pRecords, ULONG ulOutput) override;

    ULONG GetOutputCount() const { return m_ulOutputCount; }

protected:
    OutputTerminalBase(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId);
    ~OutputTerminalBase() override;

    USHORT TerminalType() const;
    // The four per-output arrays in one zero-filled block (tag TAG), replacing any before.
    NTSTATUS AllocateOutputArrays(ULONG ulCount);
    void FreeOutputs();
    // Id, type 3, bSourceID as the one source; the first entity id. With pulStored, the stored
    // kind (the terminal type's own, or the unit's "UACUnit" value) and "INITOTTYPEBYSEL" (0 when
    // absent).
    NTSTATUS BeginOutputTerminalInit(IAudioHal* hal, PULONG pulNextId, PULONG pulStored = nullptr,
                                     PULONG pulBySelection = nullptr);
    // The active kind at start: the device's current output when bySelection and the device
    // answers, else the stored kind.
    void ChooseActiveKind(ULONG ulStored, ULONG ulBySelection);
    // One output of the kind, with the terminal's own type and no jacks; it is the active one.
    NTSTATUS UseSingleOutput(ULONG ulKind);
    // Fills the outputs from their terminal types and reads each one's jacks, selecting it on
    // the device first when there are several; a failed jack read ends the walk.
    NTSTATUS ReadOutputJacks(const USHORT* pTypes, ULONG ulCount);
    // With several outputs, selects the first of the active kind on the device.
    void SelectActiveOutputOnDevice();
    void SelectOutputOnDevice(ULONG ulOutput);
    // Writes the active kind to the unit's "UACUnit" value.
    void StoreActiveKind();
    void RefreshEntitiesOfType(LONG lType, bool firstOnly, bool* pAnyRefreshed);
    // One output-terminal entity per output and, for several, the multi-output entity.
    NTSTATUS CreateOutputEntities(IAudioHal* hal, PULONG pulNextId, ULONG ulEntityTag);

    ULONG m_ulActiveKind;
    ULONG m_ulOutputCount;
    PULONG m_pKinds;
    PUSHORT m_pTypes;
    PULONG m_pJackCounts;
    JackRecord** m_ppJacks;
};
