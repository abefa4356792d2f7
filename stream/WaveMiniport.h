// The WaveCyclic miniport behind the wave filter of one streaming endpoint: its filter descriptor
// (one streaming pin, one bridge pin, a DAC or ADC node) built from the endpoint's formats, data-
// range intersection that always answers one of the listed formats, the RAW signal-processing
// mode, the subdevice name and the terminal the bridge pin connects to, and the stream creation.
#pragma once

#include "adapter/AudioHal.h"
#include "adapter/StreamEngine.h"
#include "adapter/SubdeviceName.h"
#include "adapter/UnknownBase.h"
#include "platform/nt/Dispatcher.h"
#include "platform/portcls/PortCls.h"

constexpr ULONG WAVE_MINIPORT_TAG = MakePoolTag("WAVC");
// The intersection result: a KSDATAFORMAT followed by a WAVEFORMATEXTENSIBLE.
constexpr ULONG WAVE_INTERSECTION_BYTES = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE);
// The smallest client range read as a KSDATARANGE_AUDIO.
constexpr ULONG WAVE_CLIENT_RANGE_MIN_BYTES = 88;
// The streaming pin's id; the bridge pin is 1.
constexpr ULONG WAVE_STREAMING_PIN = 0;
constexpr ULONG WAVE_BRIDGE_PIN = 1;
// A terminal id that names no entity: what ResolveConnectionPin leaves when no terminal qualifies.
constexpr ULONG WAVE_NO_TERMINAL = 0xFFFFFFFF;

// One streaming-pin data range: a KSDATARANGE_AUDIO padded to 8 bytes.
struct WaveDataRange {
    KSDATARANGE_AUDIO Audio;
    ULONG Alignment;
};
static_assert(sizeof(WaveDataRange) == 88, "a wave data range is 88 bytes");

// Every range of the streaming pin carries this list: the signal-processing-mode attribute.
extern const KSATTRIBUTE_LIST SignalProcessingModeAttributeList;
extern const PCAUTOMATION_TABLE WaveFilterAutomationTable;

class WaveMiniport : public UnknownBase,
                     public IMiniportWaveCyclic,
                     public IMiniportAudioSignalProcessing,
                     public ISubdeviceName,
                     public IPowerNotify {
public:
    DECLARE_UNKNOWN_BASE()

    // PASSIVE_LEVEL: the destructor takes the adapter mutex and waits for the last stream.
    WaveMiniport(PUNKNOWN pOuterUnknown, ULONG ulEndpointIndex);
    ~WaveMiniport() override;

    // IMiniport and IMiniportWaveCyclic: the port's calls, on paged descriptors. PASSIVE_LEVEL.
    NTSTATUS GetDescription(PPCFILTER_DESCRIPTOR* ppDescription) override;
    NTSTATUS DataRangeIntersection(ULONG PinId, PKSDATARANGE pClientRange, PKSDATARANGE pMyRange,
                                   ULONG ulOutputBufferLength, PVOID pResultantFormat,
                                   PULONG pulResultantFormatLength) override;
    // IMiniportWaveCyclic
    NTSTATUS Init(PUNKNOWN pUnknownAdapter, PRESOURCELIST pResourceList, PPORTWAVECYCLIC pPort) override;
    NTSTATUS NewStream(PMINIPORTWAVECYCLICSTREAM* ppStream, PUNKNOWN pOuterUnknown, POOL_TYPE PoolType, ULONG ulPin,
                       BOOLEAN bCapture, PKSDATAFORMAT pDataFormat, PDMACHANNEL* ppDmaChannel,
                       PSERVICEGROUP* ppServiceGroup) override;
    // IMiniportAudioSignalProcessing. Any IRQL.
    NTSTATUS GetModes(ULONG ulPin, GUID* pModes, ULONG* pulModeCount) override;
    // ISubdeviceName. GetBridgePin: PASSIVE_LEVEL, as ResolveConnectionPin; GetName: any IRQL.
    NTSTATUS GetBridgePin(PULONG pulValue) override { return ResolveConnectionPin(pulValue); }
    NTSTATUS GetName(PWSTR* ppName) override { return GetSubdeviceName(ppName); }
    // IPowerNotify. Any IRQL.
    VOID PowerChangeNotify(POWER_STATE NewState) override;

    // The id of the endpoint's USB streaming terminal; the value is left as it is when no
    // terminal qualifies. PASSIVE_LEVEL (the upstream search uses paged scratch).
    NTSTATUS ResolveConnectionPin(PULONG pulValue);
    // Any IRQL.
    NTSTATUS GetSubdeviceName(PWSTR* ppName);

    // Called by the wave stream as it comes and goes. IRQL <= DISPATCH_LEVEL.
    VOID OnStreamCreated();
    VOID OnStreamDeleted();
    // The WAVEFORMATEX of a data format the endpoint lists (rewritten to the listed record when it
    // is not extensible). PASSIVE_LEVEL (the stream's creation and SetFormat).
    NTSTATUS ValidateFormat(PKSDATAFORMAT pDataFormat, PWAVEFORMATEX* ppWaveFormat);
    // Reads the signal-processing mode from an attribute list of `ulBudget` bytes. Any IRQL.
    static NTSTATUS ParseModeAttributes(const KSMULTIPLE_ITEM* pList, ULONG ulBudget, GUID* pMode);

    // The private property set's handlers. PASSIVE_LEVEL.
    static NTSTATUS CapabilitiesPropertyHandler(PPCPROPERTY_REQUEST pRequest);
    static NTSTATUS FindFormatPropertyHandler(PPCPROPERTY_REQUEST pRequest);

    // State, for the stream and tests. Any IRQL.
    ULONG GetDevicePowerState() const { return m_ulDevicePowerState; }
    LONG GetStreamCount() const { return __atomic_load_n(&m_lStreamCount, __ATOMIC_SEQ_CST); }
    ULONG IsStreamPresent() const { return m_ulStreamPresent; }
    VOID SetStreamPresent(ULONG ulPresent) { m_ulStreamPresent = ulPresent; }
    PKEVENT GetNoStreamEvent() { return &m_NoStreamEvent; }
    PPORTWAVECYCLIC GetPort() const { return m_pPort; }
    StreamEngine* GetEndpoint() const { return m_pEndpoint; }
    ULONG GetDataRangeListCount() const { return m_ulDataRangeListCount; }
    PKSDATARANGE* GetDataRangeList() const { return m_ppDataRangeList; }

private:
    // Init's steps and their undoing: paged descriptors, PASSIVE_LEVEL. The intersection's helpers
    // below run at PASSIVE_LEVEL with it.
    NTSTATUS BuildDataRanges();
    NTSTATUS BuildFilterDescriptor();
    NTSTATUS BuildSubdeviceName();
    VOID FreeDescriptors();
    VOID ReleaseInitState();
    NTSTATUS CheckSubformat(const GUID& SubFormat);
    // A format of the adapter's range that no listed record matches: its container, block
    // alignment, byte rate and channel mask, when the format adapter converts it to a listed one.
    NTSTATUS CompleteAdapterFormat(WAVEFORMATEXTENSIBLE* pFormat);
    // Index of the format adapter's data range (after the device's), 0 when there is none.
    ULONG m_ulAdapterRange;
    NTSTATUS MatchEndpointFormat(WAVEFORMATEXTENSIBLE* pFormat);
    // A terminal of the endpoint's direction (input for render, output for capture) whose kind is
    // the USB streaming one. PASSIVE_LEVEL, as the pin resolution.
    bool IsStreamingTerminal(TopologyNode* pEntity);
    // PASSIVE_LEVEL (paged scratch).
    ULONG FindStreamingTerminalUpstream();

    PCFILTER_DESCRIPTOR* m_pFilterDescriptor;
    PCPIN_DESCRIPTOR* m_pPins;
    PCNODE_DESCRIPTOR* m_pNode;
    PCCONNECTION_DESCRIPTOR* m_pConnections;
    PPORTWAVECYCLIC m_pPort;
    PWSTR m_pSubdeviceName;
    IAudioHal* m_pHal;
    StreamEngine* m_pEndpoint;
    ULONG m_ulEndpointIndex;
    ULONG m_ulStreamPresent;
    ULONG m_ulDevicePowerState;
    KEVENT m_NoStreamEvent;
    LONG m_lStreamCount;
    WaveDataRange* m_pDataRanges;
    PKSDATARANGE* m_ppDataRangeList;
    ULONG m_ulDataRangeListCount;
};

// The miniport factory of the endpoints' wave subdevices. PASSIVE_LEVEL.
NTSTATUS CreateMiniportWaveCyclic(PUNKNOWN* ppUnknown, REFCLSID ClassId, PUNKNOWN pOuterUnknown, POOL_TYPE PoolType,
                                  ULONG ulEndpointIndex);
