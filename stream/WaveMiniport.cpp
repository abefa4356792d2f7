#include "stream/WaveMiniport.h"

#include <cstring>

#include "adapter/AdapterExtension.h"
#include "adapter/DriverGuids.h"
#include "adapter/EntityInterfaces.h"
#include "platform/nt/RtlString.h"
#include "stream/DeviceFormatChoice.h"
#include "stream/WaveStream.h"

namespace {

constexpr ULONG CAPABILITIES_PROPERTY = 1;
constexpr ULONG FIND_FORMAT_PROPERTY = 5;

const KSATTRIBUTE SignalProcessingModeAttribute = {sizeof(KSATTRIBUTE), 0, KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE};
const KSATTRIBUTE* const SignalProcessingModeAttributes[] = {&SignalProcessingModeAttribute};

const PCPROPERTY_ITEM WaveFilterProperties[] = {
    {&DriverPropertySetIid, CAPABILITIES_PROPERTY, PCPROPERTY_ITEM_FLAG_GET, WaveMiniport::CapabilitiesPropertyHandler},
    {&DriverPropertySetIid, FIND_FORMAT_PROPERTY, PCPROPERTY_ITEM_FLAG_SET, WaveMiniport::FindFormatPropertyHandler},
};

const GUID RenderCategories[] = {KSCATEGORY_AUDIO, KSCATEGORY_RENDER, EnumDeviceInterfaceGuid};
const GUID CaptureCategories[] = {KSCATEGORY_AUDIO, KSCATEGORY_CAPTURE, EnumDeviceInterfaceGuid};

const KSPIN_INTERFACE StreamingPinInterface = {KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING, 0};

KSDATARANGE BridgePinRange = {sizeof(KSDATARANGE), 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_ANALOG,
                              KSDATAFORMAT_SPECIFIER_NONE};
PKSDATARANGE const BridgePinRanges[] = {&BridgePinRange};

template <typename T>
T* AllocateZeroed(ULONG ulCount)
{
    const size_t cb = sizeof(T) * ulCount;
    auto* p = static_cast<T*>(ExAllocatePoolWithTag(PagedPool, cb, WAVE_MINIPORT_TAG));
    if (p != nullptr) {
        std::memset(p, 0, cb);
    }
    return p;
}

template <typename T>
void FreeBlock(T*& p)
{
    if (p != nullptr) {
        ExFreePoolWithTag(const_cast<void*>(static_cast<const void*>(p)), WAVE_MINIPORT_TAG);
        p = nullptr;
    }
}

ULONG AlignUp8(ULONG ulValue) { return (ulValue + 7u) & ~7u; }

WaveMiniport* MiniportOf(PPCPROPERTY_REQUEST pRequest)
{
    // The major target is the miniport's IMiniportWaveCyclic.
    return static_cast<WaveMiniport*>(reinterpret_cast<IMiniportWaveCyclic*>(pRequest->MajorTarget));
}

}  // namespace

const KSATTRIBUTE_LIST SignalProcessingModeAttributeList = {1, SignalProcessingModeAttributes};

const PCAUTOMATION_TABLE WaveFilterAutomationTable = {
    sizeof(PCPROPERTY_ITEM), 2, WaveFilterProperties, 0, 0, nullptr, 0, 0, nullptr, 0};

NTSTATUS CreateMiniportWaveCyclic(PUNKNOWN* ppUnknown, REFCLSID, PUNKNOWN pOuterUnknown, POOL_TYPE PoolType,
                                  ULONG ulEndpointIndex)
{
    PAGED_CODE();
    if (ppUnknown == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *ppUnknown = nullptr;
    auto* pMiniport = new (PoolType, WAVE_MINIPORT_TAG) WaveMiniport(pOuterUnknown, ulEndpointIndex);
    if (pMiniport == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *ppUnknown = pMiniport->GetNonDelegatingUnknown();
    (*ppUnknown)->AddRef();
    return STATUS_SUCCESS;
}

WaveMiniport::WaveMiniport(PUNKNOWN pOuterUnknown, ULONG ulEndpointIndex)
    : UnknownBase(pOuterUnknown),
      m_pFilterDescriptor(nullptr),
      m_pPins(nullptr),
      m_pNode(nullptr),
      m_pConnections(nullptr),
      m_pPort(nullptr),
      m_pSubdeviceName(nullptr),
      m_pHal(nullptr),
      m_pEndpoint(nullptr),
      m_ulEndpointIndex(ulEndpointIndex),
      m_ulStreamPresent(0),
      m_ulDevicePowerState(0),
      m_lStreamCount(0),
      m_pDataRanges(nullptr),
      m_ppDataRangeList(nullptr),
      m_ulDataRangeListCount(0)
{
    KeInitializeEvent(&m_NoStreamEvent, NotificationEvent, TRUE);
}

WaveMiniport::~WaveMiniport()
{
    PAGED_CODE();
    if (m_pHal == nullptr) {
        return;
    }
    // The adapter mutex serialises this teardown with the adapter's other users of it.
    AdapterExtension* pExtension = GetAdapterExtension(m_pHal->GetDeviceObject());
    if (pExtension != nullptr) {
        // Unbounded: the mutex is held only for teardowns like this one.
        KeWaitForSingleObject(&pExtension->AdapterMutex, Executive, KernelMode, FALSE, nullptr);
    }
    // Unbounded: the last stream's destructor signals it, and the port destroys every stream
    // before it lets go of the miniport.
    KeWaitForSingleObject(&m_NoStreamEvent, Executive, KernelMode, FALSE, nullptr);
    ReleaseInitState();
    if (pExtension != nullptr) {
        KeReleaseMutex(&pExtension->AdapterMutex, FALSE);
    }
}

NTSTATUS WaveMiniport::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    if (ppvObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsEqualGUID(iid, IID_IUnknown)) {
        return UnknownBase::NonDelegatingQueryInterface(iid, ppvObject);
    }
    if (IsEqualGUID(iid, IID_IMiniport) || IsEqualGUID(iid, IID_IMiniportWaveCyclic)) {
        return ReturnInterface(static_cast<IMiniportWaveCyclic*>(this), ppvObject);
    }
    if (IsEqualGUID(iid, IID_IMiniportAudioSignalProcessing)) {
        return ReturnInterface(static_cast<IMiniportAudioSignalProcessing*>(this), ppvObject);
    }
    if (IsEqualGUID(iid, SubdeviceNameIid)) {
        return ReturnInterface(static_cast<ISubdeviceName*>(this), ppvObject);
    }
    if (IsEqualGUID(iid, IID_IPowerNotify)) {
        return ReturnInterface(static_cast<IPowerNotify*>(this), ppvObject);
    }
    *ppvObject = nullptr;
    return STATUS_INVALID_PARAMETER;
}

// ---- Init and the descriptor ----

NTSTATUS WaveMiniport::Init(PUNKNOWN pUnknownAdapter, PRESOURCELIST, PPORTWAVECYCLIC pPort)
{
    PAGED_CODE();
    if (pPort == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_pPort != nullptr || pUnknownAdapter == nullptr) {
        return m_pPort != nullptr ? STATUS_INVALID_DEVICE_STATE : STATUS_INVALID_PARAMETER;
    }
    pPort->AddRef();
    m_pPort = pPort;
    m_ulDevicePowerState = PowerDeviceD0;

    PVOID pRaw = nullptr;
    NTSTATUS status = pUnknownAdapter->QueryInterface(IID_IAudioHal, &pRaw);
    if (NT_SUCCESS(status)) {
        m_pHal = static_cast<IAudioHal*>(pRaw);
        StreamEngine* pEndpoint = nullptr;
        status = m_pHal->GetEndpoint(m_ulEndpointIndex, &pEndpoint);
        if (NT_SUCCESS(status) && pEndpoint == nullptr) {
            status = STATUS_INVALID_PARAMETER;
        }
        if (NT_SUCCESS(status)) {
            pEndpoint->AddRef();
            m_pEndpoint = pEndpoint;
        }
    }
    if (NT_SUCCESS(status)) {
        status = BuildDataRanges();
    }
    if (NT_SUCCESS(status)) {
        status = BuildFilterDescriptor();
    }
    if (NT_SUCCESS(status)) {
        status = BuildSubdeviceName();
    }
    if (!NT_SUCCESS(status)) {
        ReleaseInitState();
    }
    return status;
}

NTSTATUS WaveMiniport::BuildDataRanges()
{
    PAGED_CODE();
    const ULONG ulFormats = m_pEndpoint->GetFormatCount();
    if (ulFormats == 0) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* pSubformats = AllocateZeroed<GUID>(ulFormats);
    auto* pScratch = AllocateZeroed<WaveDataRange>(ulFormats);
    NTSTATUS status = (pSubformats == nullptr || pScratch == nullptr) ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
    ULONG ulRanges = 0;
    // The widths of the listed formats the format adapter converts to: the second PCM range.
    ULONG ulAdapterMinBits = 0, ulAdapterMaxBits = 0;
    for (ULONG i = 0; i < ulFormats && NT_SUCCESS(status); ++i) {
        WaveFormatRecord format;
        status = m_pEndpoint->GetFormat(i, &format);
        if (!NT_SUCCESS(status)) {
            break;
        }
        if (AdapterTakesPcmFormat(format)) {
            const ULONG ulValid = format.Samples.wValidBitsPerSample != 0 ? format.Samples.wValidBitsPerSample
                                                                           : format.Format.wBitsPerSample;
            if (ulAdapterMinBits == 0 || ulValid < ulAdapterMinBits) ulAdapterMinBits = ulValid;
            if (ulValid > ulAdapterMaxBits) ulAdapterMaxBits = ulValid;
        }
        // Raw formats are never published as a data range.
        if (IsEqualGUID(format.SubFormat, VendorRawSubformat)) {
            continue;
        }
        const ULONG ulChannels = format.Format.nChannels;
        const ULONG ulBits = format.Samples.wValidBitsPerSample;
        const ULONG ulRate = format.Format.nSamplesPerSec;
        ULONG r = 0;
        while (r < ulRanges && !IsEqualGUID(pSubformats[r], format.SubFormat)) {
            ++r;
        }
        KSDATARANGE_AUDIO& range = pScratch[r].Audio;
        if (r < ulRanges) {
            if (ulRate > range.MaximumSampleFrequency) range.MaximumSampleFrequency = ulRate;
            if (ulRate < range.MinimumSampleFrequency) range.MinimumSampleFrequency = ulRate;
            if (ulBits > range.MaximumBitsPerSample) range.MaximumBitsPerSample = ulBits;
            if (ulBits < range.MinimumBitsPerSample) range.MinimumBitsPerSample = ulBits;
            if (ulChannels > range.MaximumChannels) range.MaximumChannels = ulChannels;
            continue;
        }
        pSubformats[r] = format.SubFormat;
        range.DataRange.FormatSize = sizeof(WaveDataRange);
        range.DataRange.Flags = KSDATARANGE_ATTRIBUTES;
        range.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
        range.DataRange.SubFormat = format.SubFormat;
        range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
        range.MaximumChannels = ulChannels;
        range.MinimumBitsPerSample = ulBits;
        range.MaximumBitsPerSample = ulBits;
        range.MinimumSampleFrequency = ulRate;
        range.MaximumSampleFrequency = ulRate;
        ++ulRanges;
    }
    ULONG ulPcm = ulRanges;
    for (ULONG r = 0; NT_SUCCESS(status) && r < ulRanges; ++r) {
        if (IsEqualGUID(pSubformats[r], KSDATAFORMAT_SUBTYPE_PCM)) {
            ulPcm = r;
            break;
        }
    }
    if (NT_SUCCESS(status) && ulPcm == ulRanges) {
        // A filter without PCM is not published.
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    const ULONG ulDeviceRanges = ulRanges;
    if (NT_SUCCESS(status) && ulAdapterMaxBits != 0) {
        // Formats the device lacks at the six rates and 1 to 8 channels, converted by the stream.
        ++ulRanges;
    }
    if (NT_SUCCESS(status)) {
        m_pDataRanges = AllocateZeroed<WaveDataRange>(ulRanges);
        m_ppDataRangeList = AllocateZeroed<PKSDATARANGE>(ulRanges * 2);
        if (m_pDataRanges == nullptr || m_ppDataRangeList == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    if (NT_SUCCESS(status)) {
        std::memcpy(m_pDataRanges, pScratch, sizeof(WaveDataRange) * ulDeviceRanges);
        m_ulAdapterRange = 0;
        if (ulRanges > ulDeviceRanges) {
            m_ulAdapterRange = ulDeviceRanges;
            KSDATARANGE_AUDIO& range = m_pDataRanges[ulDeviceRanges].Audio;
            range = pScratch[ulPcm].Audio;
            range.MaximumChannels = MAX_SOFTWARE_DSP_PROCESS_CHANNELS;
            range.MinimumBitsPerSample = ulAdapterMinBits;
            range.MaximumBitsPerSample = ulAdapterMaxBits;
            range.MinimumSampleFrequency = 44100;
            range.MaximumSampleFrequency = 192000;
        }
        if (ulPcm != 0) {
            // PCM comes first.
            const WaveDataRange first = m_pDataRanges[0];
            m_pDataRanges[0] = m_pDataRanges[ulPcm];
            m_pDataRanges[ulPcm] = first;
        }
        for (ULONG r = 0; r < ulRanges; ++r) {
            m_ppDataRangeList[2 * r] = &m_pDataRanges[r].Audio.DataRange;
            // The attribute list stands in the range list as the entry after its range.
            m_ppDataRangeList[2 * r + 1] = reinterpret_cast<PKSDATARANGE>(
                const_cast<KSATTRIBUTE_LIST*>(&SignalProcessingModeAttributeList));
        }
        m_ulDataRangeListCount = ulRanges * 2;
    }
    FreeBlock(pSubformats);
    FreeBlock(pScratch);
    return status;
}

NTSTATUS WaveMiniport::BuildFilterDescriptor()
{
    PAGED_CODE();
    m_pFilterDescriptor = AllocateZeroed<PCFILTER_DESCRIPTOR>(1);
    if (m_pFilterDescriptor != nullptr) m_pPins = AllocateZeroed<PCPIN_DESCRIPTOR>(2);
    if (m_pPins != nullptr) m_pNode = AllocateZeroed<PCNODE_DESCRIPTOR>(1);
    if (m_pNode != nullptr) m_pConnections = AllocateZeroed<PCCONNECTION_DESCRIPTOR>(2);
    if (m_pConnections == nullptr) {
        FreeDescriptors();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const bool bCapture = m_pEndpoint->IsCapture() != FALSE;

    PCPIN_DESCRIPTOR& streaming = m_pPins[WAVE_STREAMING_PIN];
    streaming.MaxGlobalInstanceCount = 1;
    streaming.MaxFilterInstanceCount = 1;
    streaming.MinFilterInstanceCount = 1;
    streaming.KsPinDescriptor.InterfacesCount = 1;
    streaming.KsPinDescriptor.Interfaces = &StreamingPinInterface;
    streaming.KsPinDescriptor.DataRangesCount = m_ulDataRangeListCount;
    streaming.KsPinDescriptor.DataRanges = m_ppDataRangeList;
    streaming.KsPinDescriptor.DataFlow = bCapture ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN;
    streaming.KsPinDescriptor.Communication = KSPIN_COMMUNICATION_SINK;
    streaming.KsPinDescriptor.Category = &KSCATEGORY_AUDIO;

    PCPIN_DESCRIPTOR& bridge = m_pPins[WAVE_BRIDGE_PIN];
    bridge.KsPinDescriptor.DataRangesCount = 1;
    bridge.KsPinDescriptor.DataRanges = BridgePinRanges;
    bridge.KsPinDescriptor.DataFlow = bCapture ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT;
    bridge.KsPinDescriptor.Communication = KSPIN_COMMUNICATION_NONE;
    bridge.KsPinDescriptor.Category = &KSCATEGORY_AUDIO;

    m_pNode->Type = bCapture ? &KSNODETYPE_ADC : &KSNODETYPE_DAC;

    // Node pin 1 is the node's input, pin 0 its output.
    if (bCapture) {
        m_pConnections[0] = {PCFILTER_NODE, WAVE_BRIDGE_PIN, 0, 1};
        m_pConnections[1] = {0, 0, PCFILTER_NODE, WAVE_STREAMING_PIN};
    } else {
        m_pConnections[0] = {PCFILTER_NODE, WAVE_STREAMING_PIN, 0, 1};
        m_pConnections[1] = {0, 0, PCFILTER_NODE, WAVE_BRIDGE_PIN};
    }

    PCFILTER_DESCRIPTOR& d = *m_pFilterDescriptor;
    d.Version = 0;
    d.AutomationTable = &WaveFilterAutomationTable;
    d.PinSize = sizeof(PCPIN_DESCRIPTOR);
    d.PinCount = 2;
    d.Pins = m_pPins;
    d.NodeSize = sizeof(PCNODE_DESCRIPTOR);
    d.NodeCount = 1;
    d.Nodes = m_pNode;
    d.ConnectionCount = 2;
    d.Connections = m_pConnections;
    d.CategoryCount = 3;
    d.Categories = bCapture ? CaptureCategories : RenderCategories;
    return STATUS_SUCCESS;
}

NTSTATUS WaveMiniport::BuildSubdeviceName()
{
    PAGED_CODE();
    m_pSubdeviceName = AllocateZeroed<WCHAR>(NAME_BUFFER_BYTES / sizeof(WCHAR));
    PWSTR pEndpointName = AllocateZeroed<WCHAR>(NAME_BUFFER_BYTES / sizeof(WCHAR));
    NTSTATUS status = STATUS_SUCCESS;
    if (m_pSubdeviceName == nullptr || pEndpointName == nullptr) {
        status = STATUS_INSUFFICIENT_RESOURCES;
    }
    if (NT_SUCCESS(status)) {
        status = m_pEndpoint->GetName(pEndpointName);
    }
    if (NT_SUCCESS(status)) {
        // A name that does not fit with "Wave" behind it is refused rather than cut: a cut name
        // could be another filter's.
        status = RtlStringCbPrintfW(m_pSubdeviceName, NAME_BUFFER_BYTES, u"%s%s", pEndpointName, u"Wave");
        if (!NT_SUCCESS(status)) {
            status = STATUS_INVALID_PARAMETER;
        }
    }
    FreeBlock(pEndpointName);
    return status;
}

VOID WaveMiniport::FreeDescriptors()
{
    PAGED_CODE();
    FreeBlock(m_pFilterDescriptor);
    FreeBlock(m_pConnections);
    FreeBlock(m_pNode);
    FreeBlock(m_pPins);
}

VOID WaveMiniport::ReleaseInitState()
{
    PAGED_CODE();
    if (m_pPort != nullptr) {
        m_pPort->Release();
        m_pPort = nullptr;
    }
    FreeDescriptors();
    FreeBlock(m_pDataRanges);
    FreeBlock(m_ppDataRangeList);
    m_ulDataRangeListCount = 0;
    if (m_pEndpoint != nullptr) {
        m_pEndpoint->Release();
        m_pEndpoint = nullptr;
    }
    if (m_pHal != nullptr) {
        m_pHal->Release();
        m_pHal = nullptr;
    }
    FreeBlock(m_pSubdeviceName);
}

NTSTATUS WaveMiniport::GetDescription(PPCFILTER_DESCRIPTOR* ppDescription)
{
    PAGED_CODE();
    if (ppDescription == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *ppDescription = m_pFilterDescriptor;
    return m_pFilterDescriptor != nullptr ? STATUS_SUCCESS : STATUS_DEVICE_CONFIGURATION_ERROR;
}

// ---- data-range intersection ----

NTSTATUS WaveMiniport::CheckSubformat(const GUID& SubFormat)
{
    const ULONG ulCount = m_pEndpoint != nullptr ? m_pEndpoint->GetFormatCount() : 0;
    for (ULONG i = 0; i < ulCount; ++i) {
        WaveFormatRecord format;
        if (NT_SUCCESS(m_pEndpoint->GetFormat(i, &format)) && IsEqualGUID(format.SubFormat, SubFormat)) {
            return STATUS_SUCCESS;
        }
    }
    return STATUS_NO_MATCH;
}

NTSTATUS WaveMiniport::MatchEndpointFormat(WAVEFORMATEXTENSIBLE* pFormat)
{
    const ULONG ulCount = m_pEndpoint->GetFormatCount();
    for (ULONG i = 0; i < ulCount; ++i) {
        WaveFormatRecord format;
        if (!NT_SUCCESS(m_pEndpoint->GetFormat(i, &format))) {
            continue;
        }
        if (format.Format.nChannels == pFormat->Format.nChannels &&
            format.Format.nSamplesPerSec == pFormat->Format.nSamplesPerSec &&
            format.Samples.wValidBitsPerSample == pFormat->Samples.wValidBitsPerSample &&
            IsEqualGUID(format.SubFormat, pFormat->SubFormat)) {
            std::memcpy(pFormat, &format, sizeof(format));
            return STATUS_SUCCESS;
        }
    }
    return STATUS_NO_MATCH;
}

NTSTATUS WaveMiniport::CompleteAdapterFormat(WAVEFORMATEXTENSIBLE* pFormat)
{
    // The container of the valid width as the device lists it (24 valid bits may travel in 32).
    const ULONG ulCount = m_pEndpoint->GetFormatCount();
    for (ULONG i = 0; i < ulCount; ++i) {
        WaveFormatRecord listed;
        if (!NT_SUCCESS(m_pEndpoint->GetFormat(i, &listed)) || !AdapterTakesPcmFormat(listed) ||
            listed.Samples.wValidBitsPerSample != pFormat->Samples.wValidBitsPerSample) {
            continue;
        }
        pFormat->Format.wBitsPerSample = listed.Format.wBitsPerSample;
        pFormat->Format.nBlockAlign = static_cast<WORD>(pFormat->Format.nChannels * pFormat->Format.wBitsPerSample / 8);
        pFormat->Format.nAvgBytesPerSec = pFormat->Format.nBlockAlign * pFormat->Format.nSamplesPerSec;
        pFormat->dwChannelMask = DefaultChannelMask(pFormat->Format.nChannels);
        WaveFormatRecord device;
        if (AdapterTakesPcmFormat(*pFormat) && NT_SUCCESS(ChooseDeviceFormat(pFormat, m_pEndpoint, &device))) {
            return STATUS_SUCCESS;
        }
        break;
    }
    return STATUS_NO_MATCH;
}

NTSTATUS WaveMiniport::DataRangeIntersection(ULONG, PKSDATARANGE pClientRange, PKSDATARANGE pMyRange,
                                             ULONG ulOutputBufferLength, PVOID pResultantFormat,
                                             PULONG pulResultantFormatLength)
{
    PAGED_CODE();
    if (pClientRange == nullptr || pMyRange == nullptr || pulResultantFormatLength == nullptr ||
        m_pEndpoint == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!IsEqualGUID(pClientRange->MajorFormat, KSDATAFORMAT_TYPE_AUDIO)) {
        return STATUS_NO_MATCH;
    }
    if (!NT_SUCCESS(CheckSubformat(pClientRange->SubFormat))) {
        return STATUS_NO_MATCH;
    }
    if (IsEqualGUID(pClientRange->Specifier, KSDATAFORMAT_SPECIFIER_DSOUND)) {
        return STATUS_NOT_SUPPORTED;
    }
    if (ulOutputBufferLength == 0) {
        *pulResultantFormatLength = WAVE_INTERSECTION_BYTES;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (ulOutputBufferLength < WAVE_INTERSECTION_BYTES) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    const auto* pMine = reinterpret_cast<const KSDATARANGE_AUDIO*>(pMyRange);
    KSDATAFORMAT header;
    WAVEFORMATEXTENSIBLE format;
    std::memset(&format, 0, sizeof(format));
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.cbSize = WAVEFORMATEXTENSIBLE_EXTRA;

    const bool bWildcard = IsEqualGUID(pClientRange->Specifier, KSDATAFORMAT_SPECIFIER_WILDCARD);
    if (bWildcard) {
        // My range's maxima, as PCM.
        std::memcpy(&header, pMyRange, sizeof(header));
        format.Format.nChannels = static_cast<WORD>(pMine->MaximumChannels);
        format.Format.nSamplesPerSec = pMine->MaximumSampleFrequency;
        format.Format.wBitsPerSample = static_cast<WORD>(pMine->MaximumBitsPerSample);
        format.Samples.wValidBitsPerSample = static_cast<WORD>(pMine->MaximumBitsPerSample);
        format.Format.nBlockAlign = static_cast<WORD>(format.Format.nChannels * format.Format.wBitsPerSample / 8);
        format.Format.nAvgBytesPerSec = format.Format.nBlockAlign * format.Format.nSamplesPerSec;
        format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    } else {
        if (pClientRange->FormatSize < WAVE_CLIENT_RANGE_MIN_BYTES) {
            return STATUS_INVALID_PARAMETER;
        }
        const auto* pClient = reinterpret_cast<const KSDATARANGE_AUDIO*>(pClientRange);
        if (pClient->MinimumSampleFrequency > pMine->MaximumSampleFrequency ||
            pMine->MinimumSampleFrequency > pClient->MaximumSampleFrequency ||
            pClient->MinimumBitsPerSample > pMine->MaximumBitsPerSample ||
            pMine->MinimumBitsPerSample > pClient->MaximumBitsPerSample) {
            return STATUS_NO_MATCH;
        }
        std::memcpy(&header, pClientRange, sizeof(header));
        header.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
        auto smaller = [](ULONG a, ULONG b) { return a < b ? a : b; };
        format.Format.nChannels = static_cast<WORD>(smaller(pClient->MaximumChannels, pMine->MaximumChannels));
        format.Format.nSamplesPerSec = smaller(pClient->MaximumSampleFrequency, pMine->MaximumSampleFrequency);
        format.Samples.wValidBitsPerSample =
            static_cast<WORD>(smaller(pClient->MaximumBitsPerSample, pMine->MaximumBitsPerSample));
        format.SubFormat = pClientRange->SubFormat;
    }
    if (pResultantFormat == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = MatchEndpointFormat(&format);
    if (!NT_SUCCESS(status) && m_ulAdapterRange != 0 && pMyRange == &m_pDataRanges[m_ulAdapterRange].Audio.DataRange) {
        status = CompleteAdapterFormat(&format);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    header.SampleSize = bWildcard ? 0 : format.Format.nBlockAlign;
    header.FormatSize = WAVE_INTERSECTION_BYTES;
    std::memcpy(pResultantFormat, &header, sizeof(header));
    std::memcpy(static_cast<PUCHAR>(pResultantFormat) + sizeof(header), &format, sizeof(format));
    *pulResultantFormatLength = WAVE_INTERSECTION_BYTES;
    return STATUS_SUCCESS;
}

// ---- streams ----

NTSTATUS WaveMiniport::ValidateFormat(PKSDATAFORMAT pDataFormat, PWAVEFORMATEX* ppWaveFormat)
{
    PAGED_CODE();
    if (ppWaveFormat != nullptr) {
        *ppWaveFormat = nullptr;
    }
    if (pDataFormat == nullptr || pDataFormat->FormatSize < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX) ||
        !IsEqualGUID(pDataFormat->MajorFormat, KSDATAFORMAT_TYPE_AUDIO) || m_pEndpoint == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG ulSize = pDataFormat->FormatSize;
    ULONG ulOffset = 0;
    if ((pDataFormat->Flags & KSDATAFORMAT_ATTRIBUTES) != 0) {
        if (ulSize == 88 || ulSize == 104) {
            ulOffset = 64;
        } else if (ulSize == 96) {
            ulOffset = 72;
        } else {
            return STATUS_INVALID_PARAMETER;
        }
    } else if (ulSize == 82 || ulSize == 104) {
        ulOffset = 64;
    } else if (ulSize == 90) {
        ulOffset = 72;
    } else {
        return STATUS_INVALID_PARAMETER;
    }
    auto* pWave = reinterpret_cast<PWAVEFORMATEX>(reinterpret_cast<PUCHAR>(pDataFormat) + ulOffset);
    // The format with its extra bytes must lie within the data format.
    if (ulOffset + sizeof(WAVEFORMATEX) + pWave->cbSize > ulSize) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!NT_SUCCESS(m_pEndpoint->FindFormat(reinterpret_cast<WaveFormatRecord*>(pWave)))) {
        // A format the endpoint lacks is taken when the stream's format adapter converts it to
        // one it lists.
        WaveFormatRecord stream;
        WaveFormatRecord device;
        std::memset(&stream, 0, sizeof stream);
        std::memcpy(&stream, pWave, sizeof(WAVEFORMATEX) + (pWave->cbSize < WAVEFORMATEXTENSIBLE_EXTRA ? pWave->cbSize
                                                                                                  : WAVEFORMATEXTENSIBLE_EXTRA));
        if (!AdapterTakesPcmFormat(stream) || !NT_SUCCESS(ChooseDeviceFormat(&stream, m_pEndpoint, &device))) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    if (ppWaveFormat != nullptr) {
        *ppWaveFormat = pWave;
    }
    return STATUS_SUCCESS;
}

NTSTATUS WaveMiniport::ParseModeAttributes(const KSMULTIPLE_ITEM* pList, ULONG ulBudget, GUID* pMode)
{
    if (pList == nullptr || pMode == nullptr || ulBudget < sizeof(KSMULTIPLE_ITEM)) {
        return STATUS_INVALID_PARAMETER;
    }
    const auto* pCursor = reinterpret_cast<const UCHAR*>(pList) + sizeof(KSMULTIPLE_ITEM);
    ULONG ulLeft = ulBudget - sizeof(KSMULTIPLE_ITEM);
    for (ULONG i = 0; i < pList->Count; ++i) {
        if (ulLeft < sizeof(KSATTRIBUTE)) {
            return STATUS_INVALID_PARAMETER;
        }
        KSATTRIBUTE attribute;
        std::memcpy(&attribute, pCursor, sizeof(attribute));
        if (!IsEqualGUID(attribute.Attribute, KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE)) {
            return STATUS_NOT_SUPPORTED;
        }
        if (ulLeft < sizeof(KSATTRIBUTE_AUDIOSIGNALPROCESSING_MODE) ||
            attribute.Size != sizeof(KSATTRIBUTE_AUDIOSIGNALPROCESSING_MODE)) {
            return STATUS_INVALID_PARAMETER;
        }
        std::memcpy(pMode, pCursor + sizeof(KSATTRIBUTE), sizeof(GUID));
        const ULONG ulStep = AlignUp8(attribute.Size) < ulLeft ? AlignUp8(attribute.Size) : ulLeft;
        pCursor += ulStep;
        ulLeft -= ulStep;
    }
    return STATUS_SUCCESS;
}

NTSTATUS WaveMiniport::NewStream(PMINIPORTWAVECYCLICSTREAM* ppStream, PUNKNOWN pOuterUnknown, POOL_TYPE,
                                 ULONG ulPin, BOOLEAN bCapture, PKSDATAFORMAT pDataFormat, PDMACHANNEL* ppDmaChannel,
                                 PSERVICEGROUP* ppServiceGroup)
{
    PAGED_CODE();
    if (ppStream != nullptr) {
        *ppStream = nullptr;
    }
    if (ppDmaChannel != nullptr) {
        *ppDmaChannel = nullptr;
    }
    if (ppServiceGroup != nullptr) {
        *ppServiceGroup = nullptr;
    }
    if (m_ulStreamPresent != 0) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = ValidateFormat(pDataFormat, nullptr);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if ((pDataFormat->Flags & KSDATAFORMAT_ATTRIBUTES) != 0) {
        // The attribute list follows the format, 8-byte aligned; its own Size is its budget.
        const ULONG ulListOffset = AlignUp8(pDataFormat->FormatSize);
        const auto* pList = reinterpret_cast<const KSMULTIPLE_ITEM*>(reinterpret_cast<PUCHAR>(pDataFormat) +
                                                                      ulListOffset);
        GUID mode = AUDIO_SIGNALPROCESSINGMODE_RAW;
        status = ParseModeAttributes(pList, pList->Size, &mode);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (!IsEqualGUID(mode, AUDIO_SIGNALPROCESSINGMODE_RAW)) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
    }
    if (ppStream == nullptr || ppDmaChannel == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* pStream = new (NonPagedPoolNx, WAVE_STREAM_TAG) WaveStream(pOuterUnknown);
    if (pStream == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    pStream->NonDelegatingAddRef();
    status = pStream->Init(this, ulPin, bCapture, pDataFormat, m_pEndpoint, ppServiceGroup);
    if (NT_SUCCESS(status)) {
        IMiniportWaveCyclicStream* pMiniportStream = pStream;
        IDmaChannel* pDmaChannel = pStream;
        pMiniportStream->AddRef();
        pDmaChannel->AddRef();
        *ppStream = pMiniportStream;
        *ppDmaChannel = pDmaChannel;
    }
    // A stream whose Init failed goes with this release.
    pStream->NonDelegatingRelease();
    return status;
}

VOID WaveMiniport::OnStreamCreated()
{
    if (InterlockedIncrement(&m_lStreamCount) == 1) {
        KeClearEvent(&m_NoStreamEvent);
    }
}

VOID WaveMiniport::OnStreamDeleted()
{
    if (InterlockedDecrement(&m_lStreamCount) == 0) {
        KeSetEvent(&m_NoStreamEvent, IO_NO_INCREMENT, FALSE);
    }
}

// ---- modes, names, power ----

NTSTATUS WaveMiniport::GetModes(ULONG ulPin, GUID* pModes, ULONG* pulModeCount)
{
    if (pulModeCount == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (ulPin != WAVE_STREAMING_PIN) {
        return STATUS_NOT_SUPPORTED;
    }
    if (pModes != nullptr) {
        if (*pulModeCount == 0) {
            *pulModeCount = 1;
            return STATUS_BUFFER_TOO_SMALL;
        }
        pModes[0] = AUDIO_SIGNALPROCESSINGMODE_RAW;
    }
    *pulModeCount = 1;
    return STATUS_SUCCESS;
}

bool WaveMiniport::IsStreamingTerminal(TopologyNode* pEntity)
{
    const LONG lWanted = m_pEndpoint->IsCapture() ? ENTITY_OUTPUT_TERMINAL : ENTITY_INPUT_TERMINAL;
    if (pEntity == nullptr || pEntity->GetType() != lWanted) {
        return false;
    }
    PVOID pRaw = nullptr;
    if (!NT_SUCCESS(pEntity->QueryInterface(IID_ITerminalControl, &pRaw)) || pRaw == nullptr) {
        return false;
    }
    auto* pTerminal = static_cast<ITerminalControl*>(pRaw);
    ULONG ulKind = ENDPOINT_KIND_COUNT;
    const bool bStreaming = NT_SUCCESS(pTerminal->GetKind(&ulKind)) && ulKind == ENDPOINT_KIND_STREAM;
    pTerminal->Release();
    return bStreaming;
}

// Render paths through a mixer do not link their own streaming terminal: it is found breadth
// first among the sources of the linked entities (mixer and selector inputs).
ULONG WaveMiniport::FindStreamingTerminalUpstream()
{
    PAGED_CODE();
    const ULONG ulEntities = m_pHal->GetEntityCount();
    if (ulEntities == 0) {
        return WAVE_NO_TERMINAL;
    }
    // Each entity is queued at most once, so the queue never holds more than the registry.
    auto* pQueue = AllocateZeroed<TopologyNode*>(ulEntities);
    auto* pSeen = AllocateZeroed<UCHAR>(ulEntities);
    auto* pSources = AllocateZeroed<ULONG>(ulEntities);
    ULONG ulFound = WAVE_NO_TERMINAL;
    if (pQueue == nullptr || pSeen == nullptr || pSources == nullptr) {
        FreeBlock(pQueue);
        FreeBlock(pSeen);
        FreeBlock(pSources);
        return ulFound;
    }
    auto indexOf = [this, ulEntities](ULONG ulId) -> ULONG {
        // The last entity with the id, as the registry's lookup answers.
        ULONG ulIndex = ulEntities;
        for (ULONG i = 0; i < ulEntities; ++i) {
            TopologyNode* pEntity = nullptr;
            if (NT_SUCCESS(m_pHal->GetEntity(i, &pEntity)) && pEntity != nullptr && pEntity->GetId() == ulId) {
                ulIndex = i;
            }
        }
        return ulIndex;
    };
    ULONG ulHead = 0;
    ULONG ulTail = 0;
    const ULONG ulLinked = m_pEndpoint->GetEntityCount();
    for (ULONG i = 0; i < ulLinked; ++i) {
        TopologyNode* pEntity = nullptr;
        if (!NT_SUCCESS(m_pEndpoint->GetEntity(i, &pEntity)) || pEntity == nullptr) {
            continue;
        }
        const ULONG ulIndex = indexOf(pEntity->GetId());
        if (ulIndex < ulEntities && !pSeen[ulIndex]) {
            pSeen[ulIndex] = 1;
            m_pHal->GetEntity(ulIndex, &pQueue[ulTail++]);
        }
    }
    while (ulHead < ulTail && ulFound == WAVE_NO_TERMINAL) {
        TopologyNode* pEntity = pQueue[ulHead++];
        ULONG ulCount = ulEntities;
        if (!NT_SUCCESS(pEntity->GetSources(&ulCount, pSources))) {
            continue;
        }
        for (ULONG s = 0; s < ulCount && ulFound == WAVE_NO_TERMINAL; ++s) {
            const ULONG ulIndex = indexOf(pSources[s]);
            if (ulIndex >= ulEntities || pSeen[ulIndex]) {
                continue;
            }
            pSeen[ulIndex] = 1;
            TopologyNode* pSource = nullptr;
            m_pHal->GetEntity(ulIndex, &pSource);
            if (IsStreamingTerminal(pSource)) {
                ulFound = pSource->GetId();
            } else if (pSource != nullptr) {
                pQueue[ulTail++] = pSource;
            }
        }
    }
    FreeBlock(pQueue);
    FreeBlock(pSeen);
    FreeBlock(pSources);
    return ulFound;
}

NTSTATUS WaveMiniport::ResolveConnectionPin(PULONG pulValue)
{
    PAGED_CODE();
    if (pulValue == nullptr || m_pEndpoint == nullptr) {
        return STATUS_SUCCESS;
    }
    ULONG ulFound = WAVE_NO_TERMINAL;
    const ULONG ulCount = m_pEndpoint->GetEntityCount();
    for (ULONG i = 0; i < ulCount; ++i) {
        TopologyNode* pEntity = nullptr;
        // The scan goes on: the last qualifying terminal wins.
        if (NT_SUCCESS(m_pEndpoint->GetEntity(i, &pEntity)) && IsStreamingTerminal(pEntity)) {
            ulFound = pEntity->GetId();
        }
    }
    if (ulFound == WAVE_NO_TERMINAL && m_pHal != nullptr) {
        ulFound = FindStreamingTerminalUpstream();
    }
    if (ulFound != WAVE_NO_TERMINAL) {
        *pulValue = ulFound;
    }
    return STATUS_SUCCESS;
}

NTSTATUS WaveMiniport::GetSubdeviceName(PWSTR* ppName)
{
    if (ppName == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *ppName = m_pSubdeviceName;
    return STATUS_SUCCESS;
}

VOID WaveMiniport::PowerChangeNotify(POWER_STATE NewState)
{
    const ULONG ulState = static_cast<ULONG>(NewState.DeviceState);
    if (ulState != m_ulDevicePowerState && ulState >= PowerDeviceD0 && ulState <= PowerDeviceD3) {
        m_ulDevicePowerState = ulState;
    }
}

// ---- the private property set ----

NTSTATUS WaveMiniport::CapabilitiesPropertyHandler(PPCPROPERTY_REQUEST pRequest)
{
    PAGED_CODE();
    if (!IsEqualGUID(*pRequest->PropertyItem->Set, DriverPropertySetIid) ||
        pRequest->PropertyItem->Id != CAPABILITIES_PROPERTY || pRequest->ValueSize < sizeof(AudioCapabilities) ||
        pRequest->Value == nullptr) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    WaveMiniport* pThis = MiniportOf(pRequest);
    if (pThis->m_pHal == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    return pThis->m_pHal->GetEndpointCapabilities(pThis->m_ulEndpointIndex,
                                                  static_cast<AudioCapabilities*>(pRequest->Value));
}

NTSTATUS WaveMiniport::FindFormatPropertyHandler(PPCPROPERTY_REQUEST pRequest)
{
    PAGED_CODE();
    if (!IsEqualGUID(*pRequest->PropertyItem->Set, DriverPropertySetIid) ||
        pRequest->PropertyItem->Id != FIND_FORMAT_PROPERTY) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (pRequest->ValueSize < sizeof(WaveFormatRecord) || pRequest->Value == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    WaveMiniport* pThis = MiniportOf(pRequest);
    if (pThis->m_pEndpoint == nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    return pThis->m_pEndpoint->FindFormat(static_cast<WaveFormatRecord*>(pRequest->Value));
}
