// The UAC1 AudioStreaming parser: one endpoint per streaming interface, linked to the entities on
// its path, with one format per alternate setting and sample rate; then the links of the
// multi-output terminals to the entities that serve them. Every descriptor is checked by the
// descriptor table before anything reads it.
#include "platform/nt/Debug.h"
#include "stream/Uac1CaptureEndpoint.h"
#include "stream/Uac1RenderEndpoint.h"
#include "usb/EntityWalk.h"
#include "usb/FormatTables.h"
#include "usb/UacDescriptors.h"
#include "usb/Uac1Function.h"
#include "usb/Uac1Parse.h"

namespace {

// A capture endpoint with fewer channels also offers each format without a speaker mask.
constexpr ULONG UNMASKED_CAPTURE_CHANNELS = 4;

bool IsStreamingInterface(const UCHAR* p, bool firstOne)
{
    return p[0] >= UAC_INTERFACE_MIN_LENGTH && p[1] == USB_INTERFACE_DESCRIPTOR_TYPE && p[5] == USB_DEVICE_CLASS_AUDIO &&
           p[6] == USB_AUDIO_SUBCLASS_AUDIOSTREAMING && (!firstOne || p[7] == 0);
}

}  // namespace

NTSTATUS NewUac1Endpoint(Uac1Function* pFunction, BOOLEAN bCapture, UCHAR bInterfaceNumber, ULONG ulTerminal,
                         UsbStreamEndpoint** ppEndpoint)
{
    PAGED_CODE();
    UsbStreamEndpoint* pEndpoint = nullptr;
    if (bCapture) {
        pEndpoint = new (NonPagedPoolNx, UAC1_FUNCTION_TAG) Uac1CaptureEndpoint(nullptr, bInterfaceNumber, ulTerminal);
    } else {
        pEndpoint = new (NonPagedPoolNx, UAC1_FUNCTION_TAG) Uac1RenderEndpoint(nullptr, bInterfaceNumber, ulTerminal);
    }
    if (pEndpoint == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    StreamEngine* pEngine = pEndpoint;
    pEngine->AddRef();
    IAudioHal* pHal = pFunction;
    NTSTATUS status = pEndpoint->Init(bCapture, pHal);
    if (!NT_SUCCESS(status)) {
        pEngine->Release();
        return status;
    }
    *ppEndpoint = pEndpoint;
    return STATUS_SUCCESS;
}

namespace {

// The endpoint of an AS_GENERAL's terminal link, registered and bound.
NTSTATUS CreateEndpoint(const Uac1ParseRules& rules, Uac1Function* pFunction, UCHAR bInterfaceNumber,
                        UCHAR bTerminalLink, UsbStreamEndpoint** ppEndpoint)
{
    PAGED_CODE();
    *ppEndpoint = nullptr;
    UsbAudioUnit* pUnit = nullptr;
    NTSTATUS status = pFunction->FindUnit(bTerminalLink, &pUnit);
    if (!NT_SUCCESS(status)) {
        DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_WARNING_LEVEL, "UAC1: interface %u links terminal %u, which is no unit\n",
                   bInterfaceNumber, bTerminalLink);
        return status;
    }
    const LONG type = pUnit->GetType();
    if (type != USB_AUDIO_AC_INPUT_TERMINAL && type != USB_AUDIO_AC_OUTPUT_TERMINAL) {
        return STATUS_INVALID_PARAMETER;
    }
    const BOOLEAN bCapture = type == USB_AUDIO_AC_OUTPUT_TERMINAL ? TRUE : FALSE;
    ULONG ulTerminal = 0;
    status = pUnit->GetFirstEntityId(&ulTerminal);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UsbStreamEndpoint* pEndpoint = nullptr;
    status = rules.NewEndpoint(pFunction, bCapture, bInterfaceNumber, ulTerminal, &pEndpoint);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    StreamEngine* pEngine = pEndpoint;
    status = pFunction->AddEndpoint(pEngine);
    if (NT_SUCCESS(status)) {
        status = pFunction->BindEndpointEntities(pEngine, ulTerminal);
    }
    // On success the function's endpoint list holds it; on failure a list that took it still does.
    pEngine->Release();
    if (NT_SUCCESS(status)) {
        *ppEndpoint = pEndpoint;
    }
    return status;
}

}  // namespace

const Uac1ParseRules UAC1_PARSE_RULES = {BuildUac1UnitOfSubtype, NewUac1Endpoint, TRUE};

// The visited set of each chain carries the unit list's tag.
VOID UsbAudioFunction::LinkMultiOutputTerminals()
{
    PAGED_CODE();
    const ULONG count = GetEntityCount();
    for (ULONG i = 0; i < count; ++i) {
        TopologyNode* pEntity = nullptr;
        if (!NT_SUCCESS(GetEntity(i, &pEntity)) || pEntity == nullptr ||
            pEntity->GetType() != ENTITY_MULTI_OUTPUT_TERMINAL) {
            continue;
        }
        PVOID pRaw = nullptr;
        if (!NT_SUCCESS(pEntity->QueryInterface(IID_IMultiOutputTerminal, &pRaw))) {
            continue;
        }
        auto* pTerminal = static_cast<IMultiOutputTerminal*>(pRaw);
        ULONG id = 0;
        ULONG one = 1;
        ULONG kind = 0;
        EntityIdSet visited;
        if (pEntity->GetSourceCount() != 0 && NT_SUCCESS(pEntity->GetSources(&one, &id)) &&
            NT_SUCCESS(pTerminal->GetKind(&kind)) && NT_SUCCESS(visited.Init(count, m_ulUnitListTag))) {
            // The visited set ends a chain that comes round to itself.
            while (visited.Insert(id)) {
                TopologyNode* pLink = nullptr;
                if (!NT_SUCCESS(FindEntity(id, &pLink)) || pLink->GetSourceCount() != 1) {
                    break;
                }
                PVOID pLinkRaw = nullptr;
                if (NT_SUCCESS(pLink->QueryInterface(IID_IEntityLink, &pLinkRaw))) {
                    auto* pEntityLink = static_cast<IEntityLink*>(pLinkRaw);
                    pEntityLink->SetOutputKind(kind, nullptr);
                    pTerminal->AddLink(pEntityLink);
                    pEntityLink->Release();
                }
                one = 1;
                if (!NT_SUCCESS(pLink->GetSources(&one, &id))) {
                    break;
                }
            }
        }
        pTerminal->Release();
    }
}

NTSTATUS Uac1Function::AddStreamFormats(UsbStreamEndpoint* pEndpoint, const UCHAR* pFormatType, USHORT wFormatTag,
                                        UCHAR bAlternateSetting, const WaveFormatRecord* pTemplate)
{
    PAGED_CODE();
    PULONG pRates = nullptr;
    ULONG ulRates = 0;
    NTSTATUS status = ExpandUac1SampleRates(pFormatType, &pRates, &ulRates);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const UCHAR bFormatType = pFormatType[3];
    bool added = false;
    status = STATUS_UNSUCCESSFUL;
    for (ULONG i = 0; i < ulRates; ++i) {
        WaveFormatRecord record = *pTemplate;
        record.Format.nSamplesPerSec = pRates[i];
        record.Format.nAvgBytesPerSec = pRates[i] * record.Format.nBlockAlign;
        if (bFormatType == USB_AUDIO_FORMAT_TYPE_I) {
            record.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
            status = pEndpoint->AddFormat(&record, bAlternateSetting);
            added = true;
        } else if ((wFormatTag & UAC1_IEC61937_FORMAT_TAGS) != 0) {
            record.SubFormat = KSDATAFORMAT_SUBTYPE_IEC61937_DOLBY_DIGITAL;
            status = pEndpoint->AddFormat(&record, bAlternateSetting);
            if (NT_SUCCESS(status)) {
                record.SubFormat = KSDATAFORMAT_SUBTYPE_IEC61937_WMA_PRO;
                status = pEndpoint->AddFormat(&record, bAlternateSetting);
            }
            added = true;
        }
        if (!NT_SUCCESS(status) && added) {
            break;
        }
    }
    FreeUac1SampleRates(pRates);
    return added ? status : STATUS_UNSUCCESSFUL;
}

NTSTATUS ParseAudioStreamingUac1(Uac1Function* pFunction, PUSB_CONFIGURATION_DESCRIPTOR pConfiguration,
                                 PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes)
{
    PAGED_CODE();
    return ParseAudioStreamingUac1With(UAC1_PARSE_RULES, pFunction, pConfiguration, pInterface, ulBytes);
}

NTSTATUS ParseAudioStreamingUac1With(const Uac1ParseRules& rules, Uac1Function* pFunction,
                                     PUSB_CONFIGURATION_DESCRIPTOR pConfiguration,
                                     PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes)
{
    PAGED_CODE();
    auto* pFirst = reinterpret_cast<PUCHAR>(pInterface);
    if (pFunction == nullptr || pConfiguration == nullptr || pInterface == nullptr ||
        ulBytes < UAC_INTERFACE_MIN_LENGTH || !IsStreamingInterface(pFirst, true)) {
        return STATUS_INVALID_PARAMETER;
    }
    const PUCHAR pEnd = pFirst + ulBytes;
    PUCHAR pCurrent = pFirst;
    while (pCurrent != nullptr) {
        NTSTATUS checked = CheckUacDescriptor(UAC1_SET_AUDIO_STREAMING, pCurrent, static_cast<ULONG>(pEnd - pCurrent));
        if (!NT_SUCCESS(checked)) {
            return checked;
        }
        const UCHAR bInterfaceNumber = pCurrent[2];
        UCHAR bAlternateSetting = pCurrent[3];
        USHORT wFormatTag = 0;
        UsbStreamEndpoint* pEndpoint = nullptr;
        UacDescriptorWalk walk(UAC1_SET_AUDIO_STREAMING, pCurrent + UAC_INTERFACE_MIN_LENGTH,
                                static_cast<ULONG>(pEnd - pCurrent) - UAC_INTERFACE_MIN_LENGTH);
        while (!walk.AtEnd()) {
            const UCHAR* d = nullptr;
            NTSTATUS status = walk.Current(&d);
            if (!NT_SUCCESS(status)) {
                return status;
            }
            const UCHAR type = d[1];
            if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
                if (d[2] != bInterfaceNumber) {
                    break;
                }
                bAlternateSetting = d[3];
            } else if (type == USB_AUDIO_CS_INTERFACE && d[2] == USB_AUDIO_AS_GENERAL) {
                if (pEndpoint == nullptr) {
                    status = CreateEndpoint(rules, pFunction, bInterfaceNumber, d[3], &pEndpoint);
                    if (!NT_SUCCESS(status)) {
                        return status;
                    }
                }
                wFormatTag = static_cast<USHORT>(d[5] | (d[6] << 8));
            } else if (type == USB_AUDIO_CS_INTERFACE && d[2] == USB_AUDIO_AS_FORMAT_TYPE) {
                if (pEndpoint == nullptr) {
                    DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_WARNING_LEVEL,
                               "UAC1: interface %u has a FORMAT_TYPE before its AS_GENERAL\n", bInterfaceNumber);
                    return STATUS_INVALID_PARAMETER;
                }
                status = CheckUac1FormatType(d);
                if (!NT_SUCCESS(status)) {
                    return status;
                }
                const BOOLEAN bCapture = pEndpoint->IsCapture();
                WaveFormatRecord record;
                BuildUac1FormatTemplate(d, bCapture, &record);
                pFunction->ShapeFormatTemplate(pEndpoint, &record);
                status = pFunction->AddStreamFormats(pEndpoint, d, wFormatTag, bAlternateSetting, &record);
                if (NT_SUCCESS(status) && bCapture && d[4] < UNMASKED_CAPTURE_CHANNELS) {
                    record.dwChannelMask = 0;
                    status = pFunction->AddStreamFormats(pEndpoint, d, wFormatTag, bAlternateSetting, &record);
                }
                if (!NT_SUCCESS(status)) {
                    return status;
                }
            } else if (type != USB_ENDPOINT_DESCRIPTOR_TYPE && type != USB_AUDIO_CS_ENDPOINT && type != USB_AUDIO_CS_INTERFACE) {
                break;
            }
            walk.Advance();
        }
        if (pEndpoint != nullptr) {
            NTSTATUS status = pFunction->CompleteEndpointPath(pEndpoint);
            if (NT_SUCCESS(status)) {
                status = pEndpoint->AllocateProcessingBuffers();
            }
            if (!NT_SUCCESS(status)) {
                return status;
            }
        }
        // The walk stopped at or before the next interface; it is searched from there.
        pCurrent = walk.AtEnd() ? nullptr
                                : reinterpret_cast<PUCHAR>(USBD_ParseConfigurationDescriptorEx(
                                      pConfiguration, const_cast<PUCHAR>(walk.Cursor()), -1, -1, USB_DEVICE_CLASS_AUDIO,
                                      USB_AUDIO_SUBCLASS_AUDIOSTREAMING, -1));
        if (pCurrent != nullptr && (pCurrent < pFirst || pCurrent >= pEnd)) {
            pCurrent = nullptr;
        }
    }
    pFunction->LinkMultiOutputTerminals();
    return STATUS_SUCCESS;
}
