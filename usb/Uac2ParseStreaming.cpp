// The UAC2 AudioStreaming parser: one endpoint per streaming interface, tied to the clock entity
// of its terminal and linked to the entities on its path, with formats per alternate setting at
// every rate of that clock; then the links of the multi-output terminals. Every descriptor is
// checked by the descriptor table before anything reads it.
#include <cstring>

#include "platform/nt/Debug.h"
#include "platform/nt/Pool.h"
#include "stream/UsbStreamEndpoint.h"
#include "topology/Uac2Terminals.h"
#include "usb/FormatTables.h"
#include "usb/UacDescriptors.h"
#include "stream/Uac2EndpointFactory.h"
#include "usb/Uac2Function.h"
#include "usb/Uac2Parse.h"

namespace {

// bmFormats of FORMAT_TYPE_I: PCM, and the two bits of the vendor raw-data format.
constexpr ULONG FORMATS_PCM = 0x00000001;
constexpr ULONG FORMATS_RAW_DATA = 0x80008000;
// bmFormats of FORMAT_TYPE_III: IEC 61937 AC-3 and WMA.
constexpr ULONG FORMATS_IEC61937_AC3 = 0x00000001;
constexpr ULONG FORMATS_IEC61937_WMA = 0x00001000;
constexpr ULONG MAX_SUBSLOT_BYTES = 4;

ULONG Le32(const UCHAR* p)
{
    return static_cast<ULONG>(p[0]) | (static_cast<ULONG>(p[1]) << 8) | (static_cast<ULONG>(p[2]) << 16) |
           (static_cast<ULONG>(p[3]) << 24);
}

// What the latest AS_GENERAL says about the FORMAT_TYPE descriptors after it.
struct StreamGeneral {
    UCHAR FormatType = 0;
    ULONG Formats = 0;
    UCHAR Channels = 0;
    ULONG ChannelConfig = 0;
};

// The endpoint of an AS_GENERAL's terminal link, clocked by the terminal's clock, registered and
// bound.
NTSTATUS CreateEndpoint(Uac2Function* pFunction, UCHAR bInterfaceNumber, UCHAR bTerminalLink,
                        UsbStreamEndpoint** ppEndpoint, PULONG pulClockEntityId)
{
    PAGED_CODE();
    *ppEndpoint = nullptr;
    UsbAudioUnit* pUnit = nullptr;
    NTSTATUS status = pFunction->FindUnit(bTerminalLink, &pUnit);
    if (!NT_SUCCESS(status)) {
        DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_WARNING_LEVEL, "UAC2: interface %u links terminal %u, which is no unit\n",
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
    PVOID pRaw = nullptr;
    status = pUnit->QueryInterface(IID_IClockSourceLink, &pRaw);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* pLink = static_cast<IClockSourceLink*>(pRaw);
    ULONG ulClockId = 0;
    status = pLink->GetClockSourceId(&ulClockId);
    pLink->Release();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UsbAudioUnit* pClock = nullptr;
    status = pFunction->FindUnit(ulClockId, &pClock);
    if (!NT_SUCCESS(status)) {
        DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_WARNING_LEVEL, "UAC2: terminal %u names clock %lu, which is no unit\n",
                   bTerminalLink, ulClockId);
        return status;
    }
    if (pClock->GetType() != USB_AUDIO2_AC_CLOCK_SOURCE) {
        DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_WARNING_LEVEL, "UAC2: terminal %u names unit %lu as its clock\n",
                   bTerminalLink, ulClockId);
        return STATUS_INVALID_PARAMETER;
    }
    ULONG ulClockEntity = ulClockId;
    if (!NT_SUCCESS(pClock->GetFirstEntityId(&ulClockEntity))) {
        ulClockEntity = ulClockId;
    }
    UsbStreamEndpoint* pEndpoint = nullptr;
    if (!NT_SUCCESS(NewUac2Endpoint(bCapture, bInterfaceNumber, ulTerminal, ulClockEntity, &pEndpoint))) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    StreamEngine* pEngine = pEndpoint;
    pEngine->AddRef();
    IAudioHal* pHal = pFunction;
    status = pEndpoint->Init(bCapture, pHal);
    if (NT_SUCCESS(status)) {
        status = pFunction->AddEndpoint(pEngine);
    }
    if (NT_SUCCESS(status)) {
        status = pFunction->BindEndpointEntities(pEngine, ulTerminal);
    }
    // On success the function's endpoint list holds it; on failure a list that took it still does.
    pEngine->Release();
    if (NT_SUCCESS(status)) {
        *ppEndpoint = pEndpoint;
        *pulClockEntityId = ulClockEntity;
    }
    return status;
}

// The record of a FORMAT_TYPE descriptor under its AS_GENERAL, all but the rate and subformat;
// a subslot or resolution the stream cannot carry is STATUS_INVALID_PARAMETER.
NTSTATUS BuildTemplate(const StreamGeneral& general, const UCHAR* pFormatType, WaveFormatRecord* pRecord)
{
    const ULONG subslot = pFormatType[4];
    const ULONG resolution = pFormatType[5];
    if (subslot == 0 || subslot > MAX_SUBSLOT_BYTES || resolution == 0 || resolution > 8 * subslot) {
        DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_WARNING_LEVEL, "UAC2: FORMAT_TYPE with %lu-byte subslots of %lu bits\n",
                   subslot, resolution);
        return STATUS_INVALID_PARAMETER;
    }
    std::memset(pRecord, 0, sizeof(*pRecord));
    pRecord->Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    pRecord->Format.nChannels = general.Channels;
    pRecord->Format.nBlockAlign = static_cast<WORD>(general.Channels * subslot);
    pRecord->Format.wBitsPerSample = static_cast<WORD>(8 * subslot);
    pRecord->Format.cbSize = WAVEFORMATEXTENSIBLE_EXTRA;
    pRecord->Samples.wValidBitsPerSample = static_cast<WORD>(resolution);
    pRecord->dwChannelMask = general.ChannelConfig;
    pRecord->SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return STATUS_SUCCESS;
}

bool IsStreamingInterface(const UCHAR* p)
{
    return p[0] >= UAC_INTERFACE_MIN_LENGTH && p[1] == USB_INTERFACE_DESCRIPTOR_TYPE && p[5] == USB_DEVICE_CLASS_AUDIO &&
           p[6] == USB_AUDIO_SUBCLASS_AUDIOSTREAMING;
}

}  // namespace

NTSTATUS Uac2Function::AddClockFormats(UsbStreamEndpoint* pEndpoint, ULONG ulClockEntityId, UCHAR bFormatType,
                                       ULONG bmFormats, UCHAR bAlternateSetting, const WaveFormatRecord* pTemplate)
{
    PAGED_CODE();
    TopologyNode* pEntity = nullptr;
    NTSTATUS status = FindEntity(ulClockEntityId, &pEntity);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PVOID pRaw = nullptr;
    status = pEntity->QueryInterface(IID_IClockControl, &pRaw);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* pClock = static_cast<IClockControl*>(pRaw);
    ULONG ulRates = 0;
    status = pClock->GetRateCount(&ulRates);
    if (!NT_SUCCESS(status) || ulRates == 0) {
        pClock->Release();
        return status;
    }
    auto* pRates = static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, ulRates * sizeof(ULONG), UAC2_FUNCTION_TAG));
    if (pRates == nullptr) {
        pClock->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = pClock->GetRates(&ulRates, pRates);
    for (ULONG i = 0; NT_SUCCESS(status) && i < ulRates; ++i) {
        WaveFormatRecord record = *pTemplate;
        record.Format.nSamplesPerSec = pRates[i];
        record.Format.nAvgBytesPerSec = pRates[i] * record.Format.nBlockAlign;
        if (bFormatType == USB_AUDIO_FORMAT_TYPE_I && (bmFormats & FORMATS_PCM) != 0) {
            record.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
            status = pEndpoint->AddFormat(&record, bAlternateSetting);
        } else if (bFormatType == USB_AUDIO_FORMAT_TYPE_I && (bmFormats & FORMATS_RAW_DATA) != 0) {
            // Whether the interface carries raw data at this rate is the device's to say, at the
            // rate set; a rate it refuses is left out. The clock stays at the last rate set.
            if (NT_SUCCESS(pClock->SetRate(pRates[i])) && pEndpoint->IsAlternateSettingValid(bAlternateSetting)) {
                record.SubFormat = VendorRawSubformat;
                status = pEndpoint->AddFormat(&record, bAlternateSetting);
            }
        } else if (bFormatType == USB_AUDIO_FORMAT_TYPE_III) {
            if ((bmFormats & FORMATS_IEC61937_AC3) != 0) {
                record.SubFormat = KSDATAFORMAT_SUBTYPE_IEC61937_DOLBY_DIGITAL;
                status = pEndpoint->AddFormat(&record, bAlternateSetting);
            }
            if (NT_SUCCESS(status) && (bmFormats & FORMATS_IEC61937_WMA) != 0) {
                record.SubFormat = KSDATAFORMAT_SUBTYPE_IEC61937_WMA_PRO;
                status = pEndpoint->AddFormat(&record, bAlternateSetting);
            }
        }
    }
    ExFreePoolWithTag(pRates, UAC2_FUNCTION_TAG);
    pClock->Release();
    return status;
}

VOID Uac2Function::SetMixersAsTerminals(StreamEngine* pEndpoint)
{
    PAGED_CODE();
    const ULONG count = pEndpoint->GetEntityCount();
    for (ULONG i = 0; i < count; ++i) {
        TopologyNode* pEntity = nullptr;
        if (!NT_SUCCESS(pEndpoint->GetEntity(i, &pEntity)) || pEntity == nullptr ||
            pEntity->GetType() != ENTITY_MIXER) {
            continue;
        }
        PVOID pRaw = nullptr;
        if (NT_SUCCESS(pEntity->QueryInterface(IID_IEntityMixer, &pRaw))) {
            auto* pMixer = static_cast<IEntityMixer*>(pRaw);
            pMixer->SetTerminalMode(TRUE);
            pMixer->Release();
        }
    }
}

NTSTATUS Uac2Function::CompleteEndpointPath(StreamEngine* pEndpoint)
{
    PAGED_CODE();
    if (pEndpoint == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (pEndpoint->IsCapture() && pEndpoint->GetEntityCount() != 2) {
        SetMixersAsTerminals(pEndpoint);
    }
    return UsbAudioFunction::CompleteEndpointPath(pEndpoint);
}

NTSTATUS ParseAudioStreamingUac2(Uac2Function* pFunction, PUSB_CONFIGURATION_DESCRIPTOR pConfiguration,
                                 PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes)
{
    PAGED_CODE();
    auto* pFirst = reinterpret_cast<PUCHAR>(pInterface);
    if (pFunction == nullptr || pConfiguration == nullptr || pInterface == nullptr ||
        ulBytes < UAC_INTERFACE_MIN_LENGTH || !IsStreamingInterface(pFirst) || pFirst[7] != USB_AUDIO_PROTOCOL_UAC2) {
        return STATUS_INVALID_PARAMETER;
    }
    const PUCHAR pEnd = pFirst + ulBytes;
    PUCHAR pCurrent = pFirst;
    while (pCurrent != nullptr) {
        // The walk of each interface starts at its own descriptor, which sets the alternate setting.
        UacDescriptorWalk walk(UAC2_SET_AUDIO_STREAMING, pCurrent, static_cast<ULONG>(pEnd - pCurrent));
        const UCHAR* pHead = nullptr;
        NTSTATUS status = walk.Current(&pHead);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        const UCHAR bInterfaceNumber = pHead[2];
        UCHAR bAlternateSetting = pHead[3];
        StreamGeneral general;
        UsbStreamEndpoint* pEndpoint = nullptr;
        ULONG ulClockEntity = 0;
        while (!walk.AtEnd()) {
            const UCHAR* d = nullptr;
            status = walk.Current(&d);
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
                    status = CreateEndpoint(pFunction, bInterfaceNumber, d[3], &pEndpoint, &ulClockEntity);
                    if (!NT_SUCCESS(status)) {
                        return status;
                    }
                }
                general.FormatType = d[5];
                general.Formats = Le32(d + 6);
                general.Channels = d[10];
                general.ChannelConfig = Le32(d + 11);
                if (general.Channels == 0) {
                    DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_WARNING_LEVEL, "UAC2: interface %u streams no channel\n",
                               bInterfaceNumber);
                    return STATUS_INVALID_PARAMETER;
                }
            } else if (type == USB_AUDIO_CS_INTERFACE && d[2] == USB_AUDIO_AS_FORMAT_TYPE) {
                if (pEndpoint == nullptr ||
                    (general.FormatType != USB_AUDIO_FORMAT_TYPE_I && general.FormatType != USB_AUDIO_FORMAT_TYPE_III)) {
                    DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_WARNING_LEVEL,
                               "UAC2: interface %u has a FORMAT_TYPE without an AS_GENERAL of type I or III\n",
                               bInterfaceNumber);
                    return STATUS_INVALID_PARAMETER;
                }
                WaveFormatRecord record;
                status = BuildTemplate(general, d, &record);
                if (NT_SUCCESS(status)) {
                    status = pFunction->AddClockFormats(pEndpoint, ulClockEntity, general.FormatType, general.Formats,
                                                        bAlternateSetting, &record);
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
            status = pFunction->CompleteEndpointPath(pEndpoint);
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
