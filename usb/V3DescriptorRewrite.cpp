// The V3 descriptor rewrite: the chip has one fixed descriptor set of 509 bytes; the feature
// switches keep, drop or edit its blocks, and the result replaces the start of the device's
// configuration copy before the parsers see it.
#include <cstring>

#include "platform/nt/Pool.h"
#include "platform/usb/Usb.h"
#include "usb/Uac1FunctionV3.h"

namespace {

constexpr ULONG TEMPLATE_BYTES = 509;
constexpr ULONG WORK_BUFFER_BYTES = 4096;
// Where the AudioControl blocks end and the streaming tail begins.
constexpr ULONG STREAMING_TAIL_OFFSET = 218;
constexpr ULONG CONFIG_AND_INTERFACE_BYTES = 18;
constexpr ULONG HEADER_OFFSET = 18;
constexpr ULONG HEADER_BYTES = 10;

constexpr UCHAR UNIT_RENDER_TERMINAL = 1;
constexpr UCHAR UNIT_MIC_RECORD = 8;
constexpr UCHAR UNIT_MIC_MONITOR = 9;
constexpr UCHAR UNIT_LINE_MONITOR = 11;
constexpr UCHAR UNIT_LINE_RECORD = 15;
constexpr UCHAR UNIT_SPDIF_RECORD = 16;
constexpr UCHAR UNIT_STEREO_MIX_RECORD = 2;
constexpr UCHAR NO_ID = 0;  // the id is not looked at

// One descriptor the template must hold: its offset, bLength, type, subtype (0: not checked) and
// id at byte 3 (NO_ID: not checked).
struct TemplateDescriptor {
    USHORT Offset;
    UCHAR Length;
    UCHAR Type;
    UCHAR Subtype;
    UCHAR Id;
};

// Short names of the descriptor types, for the table below.
constexpr UCHAR CONFIG = USB_CONFIGURATION_DESCRIPTOR_TYPE;
constexpr UCHAR INTERFACE = USB_INTERFACE_DESCRIPTOR_TYPE;
constexpr UCHAR ENDPOINT = USB_ENDPOINT_DESCRIPTOR_TYPE;
constexpr UCHAR CS_INTERFACE = USB_AUDIO_CS_INTERFACE;
constexpr UCHAR CS_ENDPOINT = USB_AUDIO_CS_ENDPOINT;

// An alternate setting of the render interface: interface, AS_GENERAL, FORMAT_TYPE (two rates,
// or one), endpoint, class endpoint.
#define V3_ALTERNATE(at, formatLength)                                                                                \
    {static_cast<USHORT>(at), 9, INTERFACE, 0, NO_ID}, {static_cast<USHORT>((at) + 9), 7, CS_INTERFACE, 1, NO_ID},    \
        {static_cast<USHORT>((at) + 16), formatLength, CS_INTERFACE, 2, NO_ID},                                      \
        {static_cast<USHORT>((at) + 16 + (formatLength)), 9, ENDPOINT, 0, NO_ID},                                    \
        {static_cast<USHORT>((at) + 25 + (formatLength)), 7, CS_ENDPOINT, 1, NO_ID}

constexpr TemplateDescriptor TEMPLATE[] = {
    {0, 9, CONFIG, 0, NO_ID},
    {9, 9, INTERFACE, 0, NO_ID},
    {18, 10, CS_INTERFACE, 0x01, NO_ID},
    {28, 12, CS_INTERFACE, 0x02, UNIT_RENDER_TERMINAL},
    {40, 12, CS_INTERFACE, 0x02, NO_ID},
    {52, 10, CS_INTERFACE, 0x06, UNIT_MIC_RECORD},
    {62, 10, CS_INTERFACE, 0x06, UNIT_MIC_MONITOR},
    {72, 25, CS_INTERFACE, 0x04, NO_ID},
    {97, 16, CS_INTERFACE, 0x06, NO_ID},
    {113, 9, CS_INTERFACE, 0x03, 3},
    {122, 13, CS_INTERFACE, 0x04, NO_ID},
    {135, 9, CS_INTERFACE, 0x03, NO_ID},
    {144, 10, CS_INTERFACE, 0x05, NO_ID},
    {154, 12, CS_INTERFACE, 0x02, NO_ID},
    {166, 10, CS_INTERFACE, 0x06, UNIT_LINE_RECORD},
    {176, 10, CS_INTERFACE, 0x06, UNIT_LINE_MONITOR},
    {186, 12, CS_INTERFACE, 0x02, NO_ID},
    {198, 10, CS_INTERFACE, 0x06, UNIT_STEREO_MIX_RECORD},
    {208, 10, CS_INTERFACE, 0x06, UNIT_SPDIF_RECORD},
    {218, 9, INTERFACE, 0, NO_ID},
    V3_ALTERNATE(227, 14),
    V3_ALTERNATE(273, 14),
    V3_ALTERNATE(319, 14),
    V3_ALTERNATE(365, 14),
    V3_ALTERNATE(411, 11),
    {454, 9, INTERFACE, 0, NO_ID},
    {463, 9, INTERFACE, 0, NO_ID},
    {472, 7, CS_INTERFACE, 1, NO_ID},
    {479, 14, CS_INTERFACE, 2, NO_ID},
    {493, 9, ENDPOINT, 0, NO_ID},
    {502, 7, CS_ENDPOINT, 1, NO_ID},
};

// Whether the held bytes are the template: every descriptor where it belongs.
bool IsTemplate(const UCHAR* p, ULONG cbHeld)
{
    if (cbHeld < TEMPLATE_BYTES) {
        return false;
    }
    for (const TemplateDescriptor& d : TEMPLATE) {
        const UCHAR* q = p + d.Offset;
        if (q[0] != d.Length || q[1] != d.Type || (d.Subtype != 0 && q[2] != d.Subtype) ||
            (d.Id != NO_ID && q[3] != d.Id)) {
            return false;
        }
    }
    // The mixer and the selector are rebuilt from their first four bytes only; the render
    // interface's alternates follow one another.
    return p[9 + 5] == 0x01 && p[9 + 6] == 0x01 && p[218 + 5] == 0x01 && p[218 + 6] == 0x02;
}

// Record sources in selector order, with the switch that drops each.
struct RecordSource {
    UCHAR Unit;
    V3Switch Drop;
};
constexpr RecordSource RECORD_SOURCES[] = {
    {UNIT_MIC_RECORD, V3_DISABLE_MIC_IN_REC_UNIT},
    {UNIT_LINE_RECORD, V3_DISABLE_LINE_IN_REC_UNIT},
    {UNIT_SPDIF_RECORD, V3_DISABLE_SPDIF_IN_TERMINAL},
    {UNIT_STEREO_MIX_RECORD, V3_DISABLE_STEREO_MIX_REC_UNIT},
};

}  // namespace

namespace {

ULONG KeptRecordSources(const Uac1FunctionV3* pFunction, UCHAR (&units)[4])
{
    ULONG n = 0;
    for (const RecordSource& source : RECORD_SOURCES) {
        if (pFunction->Switch(source.Drop) == 0) {
            units[n++] = source.Unit;
        }
    }
    return n;
}

bool AnyInputTerminalKept(const Uac1FunctionV3* pFunction)
{
    return pFunction->Switch(V3_DISABLE_MIC_IN_TERMINAL) == 0 || pFunction->Switch(V3_DISABLE_LINE_IN_TERMINAL) == 0 ||
           pFunction->Switch(V3_DISABLE_SPDIF_IN_TERMINAL) == 0;
}

// The capture path stays while an input terminal does and something can be recorded.
bool CapturePathKept(Uac1FunctionV3* pFunction)
{
    UCHAR units[4] = {};
    return AnyInputTerminalKept(pFunction) && KeptRecordSources(pFunction, units) != 0;
}

}  // namespace

VOID Uac1FunctionV3::BuildRenderMixer(const UCHAR* pBlock, PUCHAR pOut, PULONG pulLength)
{
    PAGED_CODE();
    *pulLength = 0;
    const bool bMic = Switch(V3_DISABLE_MIC_IN_AA_UNIT) == 0;
    const bool bLine = Switch(V3_DISABLE_LINE_IN_AA_UNIT) == 0;
    if (!bMic && !bLine) {
        return;
    }
    const ULONG ulOut = Switch(V3_DISABLE_8CH_OUT) != 0 ? 6 : 8;
    UCHAR pins[3] = {UNIT_RENDER_TERMINAL, 0, 0};
    ULONG ulPins = 1;
    if (bMic) {
        pins[ulPins++] = UNIT_MIC_MONITOR;
    }
    if (bLine) {
        pins[ulPins++] = UNIT_LINE_MONITOR;
    }
    const ULONG ulInputChannels = ulOut + 2 * (ulPins - 1);
    const ULONG ulControlBytes = (ulInputChannels * ulOut + 7) / 8;
    const ULONG ulLength = 10 + ulPins + ulControlBytes;
    std::memset(pOut, 0, ulLength);
    std::memcpy(pOut, pBlock, 4);
    pOut[0] = static_cast<UCHAR>(ulLength);
    pOut[4] = static_cast<UCHAR>(ulPins);
    std::memcpy(pOut + 5, pins, ulPins);
    PUCHAR p = pOut + 5 + ulPins;
    p[0] = static_cast<UCHAR>(ulOut);
    const USHORT config = ulOut == 8 ? 0x063F : 0x003F;
    p[1] = static_cast<UCHAR>(config);
    p[2] = static_cast<UCHAR>(config >> 8);
    // iChannelNames, the controls and iMixer stay 0.
    *pulLength = ulLength;
}

VOID Uac1FunctionV3::BuildRenderFeatureUnit(const UCHAR* pBlock, PUCHAR pOut, PULONG pulLength)
{
    PAGED_CODE();
    ULONG ulLength = pBlock[0];
    std::memcpy(pOut, pBlock, ulLength);
    if (Switch(V3_DISABLE_MIC_IN_AA_UNIT) != 0 && Switch(V3_DISABLE_LINE_IN_AA_UNIT) != 0) {
        pOut[4] = UNIT_RENDER_TERMINAL;
    }
    if (Switch(V3_DISABLE_8CH_OUT) != 0) {
        ulLength = 14;
        pOut[0] = 14;
        pOut[13] = 0;
    }
    *pulLength = ulLength;
}

VOID Uac1FunctionV3::BuildStereoMixMixer(const UCHAR* pBlock, PUCHAR pOut, PULONG pulLength)
{
    PAGED_CODE();
    *pulLength = 0;
    if (Switch(V3_DISABLE_STEREO_MIX_REC_UNIT) == 0 && Switch(V3_DISABLE_MIC_IN_AA_UNIT) == 0 &&
        Switch(V3_DISABLE_LINE_IN_AA_UNIT) == 0) {
        std::memcpy(pOut, pBlock, pBlock[0]);
        *pulLength = pBlock[0];
    }
}

VOID Uac1FunctionV3::BuildCaptureTerminal(const UCHAR* pBlock, PUCHAR pOut, PULONG pulLength)
{
    PAGED_CODE();
    *pulLength = 0;
    if (!CapturePathKept(this)) {
        return;
    }
    std::memcpy(pOut, pBlock, pBlock[0]);
    UCHAR units[4] = {};
    if (KeptRecordSources(this, units) == 1) {
        pOut[7] = units[0];
    }
    *pulLength = pBlock[0];
}

VOID Uac1FunctionV3::BuildRecordSelector(const UCHAR* pBlock, PUCHAR pOut, PULONG pulLength)
{
    PAGED_CODE();
    *pulLength = 0;
    UCHAR units[4] = {};
    const ULONG n = KeptRecordSources(this, units);
    if (n < 2 || !AnyInputTerminalKept(this)) {
        return;
    }
    std::memcpy(pOut, pBlock, 4);
    pOut[0] = static_cast<UCHAR>(6 + n);
    pOut[4] = static_cast<UCHAR>(n);
    std::memcpy(pOut + 5, units, n);
    pOut[5 + n] = 0;
    *pulLength = 6 + n;
}

VOID Uac1FunctionV3::BuildStreamingTail(const UCHAR* pBlock, PUCHAR pOut, PULONG pulLength)
{
    PAGED_CODE();
    struct TailBlock {
        ULONG Offset;  // from the template's start
        ULONG Length;
        LONG Drop;     // switch that drops it, -1: kept
    };
    static const TailBlock blocks[] = {
        {218, 9, -1},
        {227, 46, V3_DISABLE_8CH_OUT},
        {273, 46, V3_DISABLE_2CH_OUT},
        {319, 46, V3_DISABLE_4CH_OUT},
        {365, 46, V3_DISABLE_6CH_OUT},
        {411, 43, -1},
    };
    ULONG ulOut = 0;
    for (const TailBlock& block : blocks) {
        if (block.Drop >= 0 && Switch(static_cast<V3Switch>(block.Drop)) != 0) {
            continue;
        }
        std::memcpy(pOut + ulOut, pBlock + (block.Offset - STREAMING_TAIL_OFFSET), block.Length);
        if (block.Offset == 411) {
            // The single-rate setting always runs at 96 kHz.
            PUCHAR pRate = pOut + ulOut + 24;
            pRate[0] = 0x00;
            pRate[1] = 0x77;
            pRate[2] = 0x01;
        }
        ulOut += block.Length;
    }
    if (CapturePathKept(this)) {
        std::memcpy(pOut + ulOut, pBlock + (454 - STREAMING_TAIL_OFFSET), 55);
        ulOut += 55;
    }
    *pulLength = ulOut;
}

NTSTATUS Uac1FunctionV3::RewriteAudioControl(PUSB_CONFIGURATION_DESCRIPTOR pConfiguration)
{
    PAGED_CODE();
    if (pConfiguration == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    auto* pBytes = reinterpret_cast<PUCHAR>(pConfiguration);
    const ULONG cbHeld = pConfiguration->wTotalLength;

    // The terminal switches imply their units' switches.
    if (m_Switches[V3_DISABLE_MIC_IN_TERMINAL] != 0) {
        m_Switches[V3_DISABLE_STEREO_MIX_REC_UNIT] = 1;
        m_Switches[V3_DISABLE_MIC_IN_AA_UNIT] = 1;
        m_Switches[V3_DISABLE_MIC_IN_REC_UNIT] = 1;
    }
    if (m_Switches[V3_DISABLE_LINE_IN_TERMINAL] != 0) {
        m_Switches[V3_DISABLE_STEREO_MIX_REC_UNIT] = 1;
        m_Switches[V3_DISABLE_LINE_IN_REC_UNIT] = 1;
        m_Switches[V3_DISABLE_LINE_IN_AA_UNIT] = 1;
    }
    if (m_Switches[V3_DISABLE_MIC_IN_AA_UNIT] != 0 || m_Switches[V3_DISABLE_LINE_IN_AA_UNIT] != 0) {
        m_Switches[V3_DISABLE_STEREO_MIX_REC_UNIT] = 1;
    }

    auto* pWork = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, WORK_BUFFER_BYTES, V3_FUNCTION_TAG));
    if (pWork == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    std::memset(pWork, 0, WORK_BUFFER_BYTES);
    // Something that is not the template, or a render path with neither 6 nor 8 channels, is
    // refused with the descriptor untouched.
    if ((m_Switches[V3_DISABLE_8CH_OUT] != 0 && m_Switches[V3_DISABLE_6CH_OUT] != 0) || !IsTemplate(pBytes, cbHeld)) {
        ExFreePoolWithTag(pWork, V3_FUNCTION_TAG);
        return STATUS_UNSUCCESSFUL;
    }

    ULONG ulOut = 0;
    auto copy = [&](ULONG offset, bool keep) {
        if (keep) {
            std::memcpy(pWork + ulOut, pBytes + offset, pBytes[offset]);
            ulOut += pBytes[offset];
        }
    };
    auto build = [&](VOID (Uac1FunctionV3::*builder)(const UCHAR*, PUCHAR, PULONG), ULONG offset) {
        ULONG ulLength = 0;
        (this->*builder)(pBytes + offset, pWork + ulOut, &ulLength);
        ulOut += ulLength;
    };
    const auto on = [&](V3Switch s) { return m_Switches[s] == 0; };

    std::memcpy(pWork, pBytes, 28);
    ulOut = 28;
    // Terminal 1 carries the render path's channels.
    std::memcpy(pWork + ulOut, pBytes + 28, 12);
    if (!on(V3_DISABLE_8CH_OUT)) {
        pWork[ulOut + 7] = 6;
        pWork[ulOut + 8] = 0x3F;
        pWork[ulOut + 9] = 0x00;
    }
    ulOut += 12;
    copy(40, on(V3_DISABLE_MIC_IN_TERMINAL));
    copy(52, on(V3_DISABLE_MIC_IN_REC_UNIT));
    copy(62, on(V3_DISABLE_MIC_IN_AA_UNIT));
    build(&Uac1FunctionV3::BuildRenderMixer, 72);
    build(&Uac1FunctionV3::BuildRenderFeatureUnit, 97);
    copy(113, true);
    build(&Uac1FunctionV3::BuildStereoMixMixer, 122);
    build(&Uac1FunctionV3::BuildCaptureTerminal, 135);
    build(&Uac1FunctionV3::BuildRecordSelector, 144);
    copy(154, on(V3_DISABLE_LINE_IN_TERMINAL));
    copy(166, on(V3_DISABLE_LINE_IN_REC_UNIT));
    copy(176, on(V3_DISABLE_LINE_IN_AA_UNIT));
    copy(186, on(V3_DISABLE_SPDIF_IN_TERMINAL));
    copy(198, on(V3_DISABLE_STEREO_MIX_REC_UNIT));
    copy(208, on(V3_DISABLE_SPDIF_IN_TERMINAL));
    const ULONG ulHeader = HEADER_BYTES + (ulOut - 28);
    build(&Uac1FunctionV3::BuildStreamingTail, STREAMING_TAIL_OFFSET);
    const ULONG ulTotal = ulOut;

    pWork[HEADER_OFFSET + 5] = static_cast<UCHAR>(ulHeader);
    pWork[HEADER_OFFSET + 6] = static_cast<UCHAR>(ulHeader >> 8);
    pWork[2] = static_cast<UCHAR>(ulTotal);
    pWork[3] = static_cast<UCHAR>(ulTotal >> 8);
    static_assert(CONFIG_AND_INTERFACE_BYTES == 18, "configuration and AudioControl interface");
    // Never longer than the template it replaces.
    std::memcpy(pBytes, pWork, ulTotal);
    ExFreePoolWithTag(pWork, V3_FUNCTION_TAG);
    return STATUS_SUCCESS;
}
