// The V3 function object: creation, Configure (register cache, chip identification, feature
// switches, device rules, the descriptor rewrite and the parsers), the register writes and their
// restore, and the re-registration of renamed endpoints.
#include "usb/Uac1FunctionV3.h"

#include <cstring>

#include "adapter/SettingsStore.h"
#include "platform/nt/Pool.h"
#include "platform/nt/Time.h"
#include "platform/registry/Registry.h"

namespace {

constexpr UCHAR CHIP_IDENT_REQUEST = 0x81;
constexpr USHORT CHIP_IDENT_FIRST_INDEX = 9;
constexpr USHORT CHIP_IDENT_SECOND_INDEX = 8;
constexpr UCHAR CHIP_IDENT_FIRST = 0x9F;
constexpr UCHAR CHIP_IDENT_SECOND_MASK = 0x63;
constexpr UCHAR CHIP_IDENT_SECOND = 0x03;
constexpr ULONG CONTROL_MASK_DEFAULT = 0x3FE08F;
constexpr UCHAR HID_SET_REPORT = 0x09;
constexpr USHORT HID_OUTPUT_REPORT_0 = 0x0200;
constexpr UCHAR REGISTER_REPORT_ID = 0x20;
constexpr ULONG REGISTER_REPORT_BYTES = 4;

constexpr V3RegisterEntry INITIAL_REGISTERS[V3_REGISTER_COUNT] = {
    {0x2004, V3_REGISTER_RESTORE}, {0x3002, V3_REGISTER_RESTORE}, {0xF800, V3_REGISTER_RESTORE},
    {0x143F, V3_REGISTER_RESTORE}, {0x0000, V3_REGISTER_RESTORE}, {0x3000, V3_REGISTER_RESTORE},
};
constexpr USHORT JACK_DEVICE_REGISTER_1 = 0x3032;

constexpr UCHAR SWITCH_DEFAULTS[V3_SWITCH_COUNT] = {0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 0, 0, 0, 0};
// The order the switches are read in.
constexpr V3Switch SWITCH_READ_ORDER[V3_SWITCH_COUNT] = {
    V3_DISABLE_MIC_IN_AA_UNIT,    V3_DISABLE_LINE_IN_AA_UNIT,     V3_DISABLE_MIC_IN_REC_UNIT,
    V3_DISABLE_LINE_IN_REC_UNIT,  V3_DISABLE_STEREO_MIX_REC_UNIT, V3_DISABLE_LINE_IN_TERMINAL,
    V3_DISABLE_MIC_IN_TERMINAL,   V3_DISABLE_SPDIF_IN_TERMINAL,   V3_SUPPORT_HP_OUT,
    V3_SUPPORT_SPDIF_OUT,         V3_DISABLE_2CH_OUT,             V3_DISABLE_4CH_OUT,
    V3_DISABLE_6CH_OUT,           V3_DISABLE_8CH_OUT,
};

// The device rules, tried in order; the first row whose vendor and product match decides.
enum class RuleCondition { None, Chip, NoChip };
struct DeviceRule {
    USHORT Vendor;
    USHORT Product;  // ANY_PRODUCT: the vendor's remaining products
    RuleCondition Condition;
    ULONG Set;       // switches set to 1 (bit per V3Switch)
    ULONG Clear;     // switches set to 0
    bool JackPolling;
    bool HasMask;
    ULONG Mask;
};
constexpr USHORT ANY_PRODUCT = 0xFFFF;
constexpr ULONG Bit(V3Switch s) { return 1u << s; }
constexpr ULONG NO_OUTPUT_MODES = Bit(V3_SUPPORT_HP_OUT) | Bit(V3_SUPPORT_SPDIF_OUT);
constexpr ULONG NO_LINE_NO_SPDIF_IN = Bit(V3_DISABLE_LINE_IN_TERMINAL) | Bit(V3_DISABLE_SPDIF_IN_TERMINAL);

constexpr DeviceRule DEVICE_RULES[] = {
    {0x1E7D, 0x3750, RuleCondition::Chip,
     Bit(V3_DISABLE_LINE_IN_REC_UNIT) | Bit(V3_DISABLE_STEREO_MIX_REC_UNIT) | Bit(V3_DISABLE_SPDIF_IN_TERMINAL) |
         Bit(V3_DISABLE_4CH_OUT) | Bit(V3_DISABLE_8CH_OUT),
     NO_OUTPUT_MODES, true, true, 0x3E0084},
    {0x1E7D, 0x3750, RuleCondition::NoChip, 0, 0, false, false, 0},
    {0x5131, 0x001C, RuleCondition::Chip,
     Bit(V3_DISABLE_STEREO_MIX_REC_UNIT) | Bit(V3_DISABLE_SPDIF_IN_TERMINAL) | Bit(V3_DISABLE_2CH_OUT) |
         Bit(V3_DISABLE_4CH_OUT) | Bit(V3_DISABLE_8CH_OUT),
     NO_OUTPUT_MODES, false, true, 0},
    {0x5131, 0x001C, RuleCondition::NoChip, 0, 0, false, false, 0},
    {0x28DA, 0x268E, RuleCondition::None, NO_LINE_NO_SPDIF_IN, NO_OUTPUT_MODES, false, true, 0x3E09F},
    {0x0F3B, 0x0163, RuleCondition::None, NO_LINE_NO_SPDIF_IN, NO_OUTPUT_MODES, false, false, 0},
    {0x0F3B, 0x0053, RuleCondition::Chip, NO_LINE_NO_SPDIF_IN | Bit(V3_DISABLE_8CH_OUT), NO_OUTPUT_MODES, false, false,
     0},
    {0x0F3B, 0x0078, RuleCondition::Chip, NO_LINE_NO_SPDIF_IN | Bit(V3_DISABLE_8CH_OUT), NO_OUTPUT_MODES, false, false,
     0},
    {0x0F3B, 0x0053, RuleCondition::NoChip, 0, 0, false, false, 0},
    {0x0F3B, 0x0078, RuleCondition::NoChip, 0, 0, false, false, 0},
    {0x0A1B, 0x0110, RuleCondition::None, NO_LINE_NO_SPDIF_IN | Bit(V3_DISABLE_8CH_OUT), NO_OUTPUT_MODES, false, false,
     0},
    {0x0A6A, 0x0160, RuleCondition::None, NO_LINE_NO_SPDIF_IN, NO_OUTPUT_MODES | Bit(V3_DISABLE_8CH_OUT), false, false,
     0},
    {0x1E7D, ANY_PRODUCT, RuleCondition::Chip, Bit(V3_DISABLE_8CH_OUT), 0, false, false, 0},
    {0x5131, ANY_PRODUCT, RuleCondition::Chip, Bit(V3_DISABLE_8CH_OUT), 0, false, false, 0},
    {0x28DA, ANY_PRODUCT, RuleCondition::Chip, Bit(V3_DISABLE_8CH_OUT), 0, false, false, 0},
    {0x0F3B, ANY_PRODUCT, RuleCondition::Chip, Bit(V3_DISABLE_8CH_OUT), 0, false, false, 0},
    {0x0A1B, ANY_PRODUCT, RuleCondition::Chip, Bit(V3_DISABLE_8CH_OUT), 0, false, false, 0},
    {0x0A6A, ANY_PRODUCT, RuleCondition::Chip, Bit(V3_DISABLE_8CH_OUT), 0, false, false, 0},
};

// One control request of this variant on a 136-byte URB; the reply's length comes back in
// *pulTransferred.
NTSTATUS SendControl(IUsbDevice* pUsb, PURB pUrb, USHORT function, BOOLEAN read, UCHAR request, USHORT value,
                     USHORT index, PUCHAR pData, ULONG ulLength, PULONG pulTransferred)
{
    PAGED_CODE();
    std::memset(pUrb, 0, UNIT_CONTROL_URB_LENGTH);
    auto& r = pUrb->UrbControlVendorClassRequest;
    r.Hdr.Length = UNIT_CONTROL_URB_LENGTH;
    r.Hdr.Function = function;
    r.TransferFlags = read ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT;
    r.TransferBuffer = pData;
    r.TransferBufferLength = ulLength;
    r.Request = request;
    r.Value = value;
    r.Index = index;
    const NTSTATUS status = pUsb->SubmitUrbSync(pUrb);
    if (pulTransferred != nullptr) {
        *pulTransferred = NT_SUCCESS(status) ? r.TransferBufferLength : 0;
    }
    return status;
}

static_assert(sizeof(URB) <= UNIT_CONTROL_URB_LENGTH || UNIT_CONTROL_URB_LENGTH >= sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
              "the request fits the URB buffer");

PURB AllocateUrb(ULONG ulTag)
{
    auto* pUrb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, UNIT_CONTROL_URB_LENGTH, ulTag));
    if (pUrb != nullptr) {
        std::memset(pUrb, 0, UNIT_CONTROL_URB_LENGTH);
    }
    return pUrb;
}

}  // namespace

const PCWSTR V3SwitchNames[V3_SWITCH_COUNT] = {
    u"DisableMicInTerminal",    u"DisableLineInTerminal",  u"DisableSpdifInTerminal", u"DisableMicInAAUnit",
    u"DisableLineInAAUnit",     u"DisableMicInRecUnit",    u"DisableLineInRecUnit",   u"DisableStereoMixRecUnit",
    u"SupportHPOut",            u"SupportSpdifOut",        u"Disable2ChOutSupported", u"Disable4ChOutSupported",
    u"Disable6ChOutSupported",  u"Disable8ChOutSupported",
};

NTSTATUS V3SendHidReport(IUsbDevice* pUsb, PURB pUrb, BOOLEAN read, UCHAR request, USHORT value, PUCHAR pData,
                         ULONG ulLength, PULONG pulTransferred)
{
    PAGED_CODE();
    return SendControl(pUsb, pUrb, URB_FUNCTION_CLASS_INTERFACE, read, request, value, V3_HID_INTERFACE, pData,
                       ulLength, pulTransferred);
}

PURB V3AllocateUrb() { return AllocateUrb(V3_FUNCTION_TAG); }

NTSTATUS Uac1FunctionV3::Create(PUNKNOWN* ppFunction, PUNKNOWN pOuterUnknown, USHORT idVendor, USHORT idProduct)
{
    PAGED_CODE();
    return CreateFunction<Uac1FunctionV3>(ppFunction, pOuterUnknown, idVendor, idProduct, V3_FUNCTION_TAG);
}

Uac1FunctionV3::Uac1FunctionV3(PUNKNOWN pOuterUnknown, USHORT idVendor, USHORT idProduct)
    : Uac1Function(pOuterUnknown, idVendor, idProduct), m_bJackPollingEnabled(FALSE), m_bJackThreadRunning(FALSE),
      m_Identification{0, 0}, m_pJackNode(nullptr)
{
    std::memcpy(m_Registers, INITIAL_REGISTERS, sizeof(m_Registers));
    std::memcpy(m_Switches, SWITCH_DEFAULTS, sizeof(m_Switches));
    KeInitializeTimerEx(&m_JackTimer, SynchronizationTimer);
}

Uac1FunctionV3::~Uac1FunctionV3()
{
    PAGED_CODE();
    Uac1FunctionV3::Stop();
    if (m_pJackNode != nullptr) {
        m_pJackNode->Release();
        m_pJackNode = nullptr;
    }
}

VOID Uac1FunctionV3::SetJackNode(JackMuteNode* pNode)
{
    if (pNode != nullptr) {
        pNode->AddRef();
    }
    if (m_pJackNode != nullptr) {
        m_pJackNode->Release();
    }
    m_pJackNode = pNode;
}

// ---- Configure ----

NTSTATUS Uac1FunctionV3::Configure()
{
    PAGED_CODE();
    std::memcpy(m_Registers, INITIAL_REGISTERS, sizeof(m_Registers));
    PVOID pRaw = nullptr;
    NTSTATUS status = QueryInterface(IID_IUsbDevice, &pRaw);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* pUsb = static_cast<IUsbDevice*>(pRaw);
    status = Identify(pUsb);
    if (NT_SUCCESS(status)) {
        ReadSwitches();
        std::memset(&m_Capabilities, 0, sizeof(m_Capabilities));
        m_Capabilities.ControlMask = CONTROL_MASK_DEFAULT;
        ApplyDeviceRules();
        if (m_Switches[V3_DISABLE_2CH_OUT] != 0) {
            m_Switches[V3_SUPPORT_HP_OUT] = 0;
            m_Switches[V3_SUPPORT_SPDIF_OUT] = 0;
        }
        status = RewriteAudioControl(pUsb->GetConfigurationDescriptor());
    }
    if (NT_SUCCESS(status)) {
        status = ParseAudioControlForFunction(this);
    }
    if (NT_SUCCESS(status)) {
        status = ParseAudioStreamingForFunction(this);
    }
    if (NT_SUCCESS(status)) {
        status = RestoreRegisters();
    }
    pUsb->Release();
    return status;
}

// Two one-byte vendor requests to recipient other. The first one's failure reads 0; the second's
// fails Configure. A reply shorter than its byte reads 0. Without a URB neither is sent.
NTSTATUS Uac1FunctionV3::Identify(IUsbDevice* pUsb)
{
    PAGED_CODE();
    m_Identification[0] = 0;
    m_Identification[1] = 0;
    PURB pUrb = AllocateUrb(V3_CHIP_IDENT_TAG);
    if (pUrb == nullptr) {
        return STATUS_SUCCESS;
    }
    UCHAR reply = 0;
    ULONG ulTransferred = 0;
    NTSTATUS status = SendControl(pUsb, pUrb, URB_FUNCTION_VENDOR_OTHER, TRUE, CHIP_IDENT_REQUEST, 0,
                                  CHIP_IDENT_FIRST_INDEX, &reply, 1, &ulTransferred);
    m_Identification[0] = NT_SUCCESS(status) && ulTransferred >= 1 ? reply : 0;
    reply = 0;
    status = SendControl(pUsb, pUrb, URB_FUNCTION_VENDOR_OTHER, TRUE, CHIP_IDENT_REQUEST, 0, CHIP_IDENT_SECOND_INDEX,
                         &reply, 1, &ulTransferred);
    if (NT_SUCCESS(status)) {
        m_Identification[1] = ulTransferred >= 1 ? static_cast<UCHAR>(reply & CHIP_IDENT_SECOND_MASK) : 0;
    }
    ExFreePoolWithTag(pUrb, V3_CHIP_IDENT_TAG);
    return status;
}

// Four bytes each; only the lowest counts, and a value that cannot be read keeps the default.
VOID Uac1FunctionV3::ReadSwitches()
{
    PAGED_CODE();
    std::memcpy(m_Switches, SWITCH_DEFAULTS, sizeof(m_Switches));
    for (V3Switch which : SWITCH_READ_ORDER) {
        UCHAR value[4] = {};
        if (NT_SUCCESS(AccessSettingsBinary(m_pFunctionalDevice, SETTINGS_READ, value, sizeof(value),
                                            V3SwitchNames[which]))) {
            m_Switches[which] = value[0];
        }
    }
}

VOID Uac1FunctionV3::ApplyDeviceRules()
{
    const bool bChip = ChipMatched() != FALSE;
    const DeviceRule* pRule = nullptr;
    for (const DeviceRule& rule : DEVICE_RULES) {
        if (rule.Vendor != m_idVendor || (rule.Product != ANY_PRODUCT && rule.Product != m_idProduct)) {
            continue;
        }
        // Rows of one device differ only by condition: the first whose condition holds decides.
        if ((rule.Condition == RuleCondition::Chip && !bChip) || (rule.Condition == RuleCondition::NoChip && bChip)) {
            continue;
        }
        pRule = &rule;
        break;
    }
    if (pRule == nullptr) {
        // Every other vendor, or a listed one without a row that fits.
        bool bListedVendor = false;
        for (const DeviceRule& rule : DEVICE_RULES) {
            bListedVendor = bListedVendor || rule.Vendor == m_idVendor;
        }
        if (!bListedVendor && bChip) {
            m_Switches[V3_DISABLE_8CH_OUT] = 1;
        }
        return;
    }
    for (ULONG s = 0; s < V3_SWITCH_COUNT; ++s) {
        if ((pRule->Set & (1u << s)) != 0) {
            m_Switches[s] = 1;
        }
        if ((pRule->Clear & (1u << s)) != 0) {
            m_Switches[s] = 0;
        }
    }
    if (pRule->JackPolling) {
        m_bJackPollingEnabled = TRUE;
        m_Registers[1].Value = JACK_DEVICE_REGISTER_1;
    }
    if (pRule->HasMask) {
        m_Capabilities.ControlMask = pRule->Mask;
    }
}

// ---- registers ----

V3RegisterEntry Uac1FunctionV3::Register(ULONG ulRegister)
{
    PAGED_CODE();
    V3RegisterEntry entry = {0, 0};
    if (ulRegister < V3_REGISTER_COUNT) {
        m_RegisterLock.Lock();
        entry = m_Registers[ulRegister];
        m_RegisterLock.Unlock();
    }
    return entry;
}

NTSTATUS Uac1FunctionV3::SendRegister(IUsbDevice* pUsb, ULONG ulRegister, USHORT value)
{
    PAGED_CODE();
    PURB pUrb = AllocateUrb(V3_FUNCTION_TAG);
    if (pUrb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UCHAR report[REGISTER_REPORT_BYTES] = {REGISTER_REPORT_ID, static_cast<UCHAR>(value),
                                           static_cast<UCHAR>(value >> 8), static_cast<UCHAR>(ulRegister)};
    const NTSTATUS status = SendControl(pUsb, pUrb, URB_FUNCTION_CLASS_INTERFACE, FALSE, HID_SET_REPORT,
                                        HID_OUTPUT_REPORT_0, V3_HID_INTERFACE, report, sizeof(report), nullptr);
    ExFreePoolWithTag(pUrb, V3_FUNCTION_TAG);
    return status;
}

NTSTATUS Uac1FunctionV3::WriteRegister(ULONG ulRegister, USHORT value, USHORT mask)
{
    PAGED_CODE();
    if (ulRegister >= V3_REGISTER_COUNT) {
        return STATUS_UNSUCCESSFUL;
    }
    if (mask == 0) {
        return STATUS_SUCCESS;
    }
    PVOID pRaw = nullptr;
    NTSTATUS status = QueryInterface(IID_IUsbDevice, &pRaw);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* pUsb = static_cast<IUsbDevice*>(pRaw);
    // Innermost lock: nothing else is taken while it is held, and two writers of one register
    // cannot merge against the same cached value.
    m_RegisterLock.Lock();
    const USHORT merged = mask == 0xFFFF ? value
                                         : static_cast<USHORT>((value & mask) | (m_Registers[ulRegister].Value & ~mask));
    status = SendRegister(pUsb, ulRegister, merged);
    if (NT_SUCCESS(status)) {
        m_Registers[ulRegister].Value = merged;
    }
    m_RegisterLock.Unlock();
    pUsb->Release();
    return status;
}

NTSTATUS Uac1FunctionV3::RestoreRegisters()
{
    PAGED_CODE();
    WriteRegister(5, 0, 0x3000);
    LARGE_INTEGER interval;
    interval.QuadPart = -10000;  // 1 ms
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
    WriteRegister(5, 0x3000, 0x3000);
    for (ULONG r = 0; r < 5; ++r) {
        const V3RegisterEntry entry = Register(r);
        if ((entry.Flags & V3_REGISTER_RESTORE) == 0) {
            continue;
        }
        const NTSTATUS status = WriteRegister(r, entry.Value, 0xFFFF);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

// ---- parsers and re-registration ----

NTSTATUS Uac1FunctionV3::ParseAudioControl(PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes)
{
    PAGED_CODE();
    return ParseAudioControlV3(this, pInterface, ulBytes);
}

NTSTATUS Uac1FunctionV3::ParseAudioStreaming(PUSB_CONFIGURATION_DESCRIPTOR pConfiguration,
                                             PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes)
{
    PAGED_CODE();
    return ParseAudioStreamingV3(this, pConfiguration, pInterface, ulBytes);
}

// As the plain function's, but a renamed endpoint is registered again by the status dispatch of
// the unit that switched.
NTSTATUS Uac1FunctionV3::ReRegisterEndpoints(ULONG ulUnitId)
{
    PAGED_CODE();
    return ReRegisterChangedEndpoints(ulUnitId, [](UsbAudioFunction* pFunction, StreamEngine*, ULONG ulEntityId,
                                                   NTSTATUS renameStatus, bool* pbRegistered) {
        PAGED_CODE();
        if (!NT_SUCCESS(renameStatus)) {
            return renameStatus;
        }
        *pbRegistered = true;
        return static_cast<Uac1FunctionV3*>(pFunction)->OnStatusChange(ulEntityId);
    });
}
