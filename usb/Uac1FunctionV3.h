// The chip variant V3 of the UAC 1.0 function: a fixed descriptor set trimmed by fourteen feature
// switches before parsing, six chip registers written as HID output reports on interface 3, jack
// sense polled over HID input reports on the same interface, and the V3 unit and endpoint classes.
#pragma once

#include "topology/V3ChipRegisters.h"
#include "usb/JackMuteNode.h"
#include "usb/Uac1Function.h"

constexpr ULONG V3_CHIP_IDENT_TAG = MakePoolTag("pmet");
constexpr ULONG V3_REGISTER_COUNT = 6;
constexpr KPRIORITY V3_JACK_THREAD_PRIORITY = 16;
// The jack timer's period, and the polls a settled sense needs in a row.
constexpr LONG V3_JACK_POLL_MS = 50;
constexpr ULONG V3_JACK_WINDOW = 30;
constexpr UCHAR V3_HID_INTERFACE = 3;
constexpr UCHAR V3_JACK_SENSE_BIT = 0x10;
constexpr ULONG V3_JACK_UNIT_ID = 11;

// The feature switches, in their table order.
enum V3Switch : ULONG {
    V3_DISABLE_MIC_IN_TERMINAL = 0,
    V3_DISABLE_LINE_IN_TERMINAL,
    V3_DISABLE_SPDIF_IN_TERMINAL,
    V3_DISABLE_MIC_IN_AA_UNIT,
    V3_DISABLE_LINE_IN_AA_UNIT,
    V3_DISABLE_MIC_IN_REC_UNIT,
    V3_DISABLE_LINE_IN_REC_UNIT,
    V3_DISABLE_STEREO_MIX_REC_UNIT,
    V3_SUPPORT_HP_OUT,
    V3_SUPPORT_SPDIF_OUT,
    V3_DISABLE_2CH_OUT,
    V3_DISABLE_4CH_OUT,
    V3_DISABLE_6CH_OUT,
    V3_DISABLE_8CH_OUT,
    V3_SWITCH_COUNT
};

// The switches' value names under "Settings", in table order.
extern const PCWSTR V3SwitchNames[V3_SWITCH_COUNT];

struct V3RegisterEntry {
    USHORT Value;
    USHORT Flags;  // V3_REGISTER_RESTORE: re-sent by RestoreRegisters
};
constexpr USHORT V3_REGISTER_RESTORE = 0x0002;

class Uac1FunctionV3 : public Uac1Function, public IV3ChipRegisters {
public:
    // Non-delegating unknown with one reference; STATUS_INSUFFICIENT_RESOURCES. PASSIVE_LEVEL.
    static NTSTATUS Create(PUNKNOWN* ppFunction, PUNKNOWN pOuterUnknown, USHORT idVendor, USHORT idProduct);

    // PASSIVE_LEVEL: the destructor ends the jack thread and waits for it.
    Uac1FunctionV3(PUNKNOWN pOuterUnknown, USHORT idVendor, USHORT idProduct);
    ~Uac1FunctionV3() override;

    // IAudioHal. PASSIVE_LEVEL: Configure sends requests and reads the settings, Start and Stop
    // run the jack thread.
    NTSTATUS Configure() override;
    NTSTATUS Start() override;
    NTSTATUS Stop() override;

    // IUsbAudioFunction. PASSIVE_LEVEL.
    NTSTATUS ReRegisterEndpoints(ULONG ulUnitId) override;
    NTSTATUS ParseAudioControl(PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes) override;
    NTSTATUS ParseAudioStreaming(PUSB_CONFIGURATION_DESCRIPTOR pConfiguration, PUSB_INTERFACE_DESCRIPTOR pInterface,
                                 ULONG ulBytes) override;
    // Register 5's reset pulse, then registers 0 to 4 that carry the restore flag. PASSIVE_LEVEL.
    NTSTATUS RestoreRegisters() override;

    // Read-merge-send-update of one chip register under the register lock: `mask` selects the bits
    // of `value` that replace the cached ones. Mask 0 sends nothing. PASSIVE_LEVEL.
    NTSTATUS WriteRegister(ULONG ulRegister, USHORT value, USHORT mask) override;

    // Keeps, drops and edits the blocks of the chip's descriptor template by the switches, in the
    // device's configuration copy; also stores the switches the terminal switches imply. A
    // configuration that is not the template is refused (STATUS_UNSUCCESSFUL) untouched.
    // PASSIVE_LEVEL (a paged work buffer).
    NTSTATUS RewriteAudioControl(PUSB_CONFIGURATION_DESCRIPTOR pConfiguration);
    // Block builders of the rewrite: one block at `pOut`, its length in *pulLength (0: dropped).
    // IRQL <= APC_LEVEL (they write the paged work buffer).
    VOID BuildRenderMixer(const UCHAR* pBlock, PUCHAR pOut, PULONG pulLength);
    VOID BuildRenderFeatureUnit(const UCHAR* pBlock, PUCHAR pOut, PULONG pulLength);
    VOID BuildStereoMixMixer(const UCHAR* pBlock, PUCHAR pOut, PULONG pulLength);
    VOID BuildCaptureTerminal(const UCHAR* pBlock, PUCHAR pOut, PULONG pulLength);
    VOID BuildRecordSelector(const UCHAR* pBlock, PUCHAR pOut, PULONG pulLength);
    VOID BuildStreamingTail(const UCHAR* pBlock, PUCHAR pOut, PULONG pulLength);

    // The jack thread's body; the context is the function. PASSIVE_LEVEL.
    static VOID JackPollThread(PVOID pContext);

    // The switches and the jack state: any IRQL.
    UCHAR Switch(V3Switch which) const { return m_Switches[which]; }
    VOID SetSwitch(V3Switch which, UCHAR value) { m_Switches[which] = value; }
    BOOLEAN JackPollingEnabled() const { return m_bJackPollingEnabled; }
    BOOLEAN JackThreadRunning() const { return __atomic_load_n(&m_bJackThreadRunning, __ATOMIC_SEQ_CST); }
    JackMuteNode* GetJackNode() const { return m_pJackNode; }
    // Keeps a reference on the node (the parser places it). IRQL <= DISPATCH_LEVEL.
    VOID SetJackNode(JackMuteNode* pNode);
    // A copy of the register cache entry, taken under the register lock (a mutex). PASSIVE_LEVEL.
    V3RegisterEntry Register(ULONG ulRegister);
    // The chip identification bytes of the last Configure (wIndex 9, wIndex 8 masked). Any IRQL.
    UCHAR IdentificationByte(ULONG which) const { return m_Identification[which & 1]; }
    BOOLEAN ChipMatched() const { return m_Identification[0] == 0x9F && m_Identification[1] == 0x03; }

private:
    // The steps of Configure: the identification requests and the settings (PASSIVE_LEVEL); the
    // device rules (any IRQL).
    NTSTATUS Identify(IUsbDevice* pUsb);
    VOID ReadSwitches();
    VOID ApplyDeviceRules();
    // A synchronous HID report. PASSIVE_LEVEL.
    NTSTATUS SendRegister(IUsbDevice* pUsb, ULONG ulRegister, USHORT value);
    // Sets the stop event and waits for the thread and its object; drops the object. PASSIVE_LEVEL.
    VOID EndJackThread();
    // The polling loop's body around its URB; returns when the loop ends. PASSIVE_LEVEL.
    VOID RunJackPoll();

    V3RegisterEntry m_Registers[V3_REGISTER_COUNT];
    LockObject m_RegisterLock;
    BOOLEAN m_bJackPollingEnabled;
    BOOLEAN m_bJackThreadRunning;
    KTIMER m_JackTimer;
    UCHAR m_Switches[V3_SWITCH_COUNT];
    UCHAR m_Identification[2];
    JackMuteNode* m_pJackNode;
};

// The V3 parsers: the UAC1 walks with the V3 unit and endpoint classes, then the jack and
// channel-swap nodes on the render endpoints. PASSIVE_LEVEL.
NTSTATUS ParseAudioControlV3(Uac1FunctionV3* pFunction, PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes);
NTSTATUS ParseAudioStreamingV3(Uac1FunctionV3* pFunction, PUSB_CONFIGURATION_DESCRIPTOR pConfiguration,
                               PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes);
