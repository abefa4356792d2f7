#include "tests/adapter/driver/AdapterDoubles.h"

#include <cstring>

#include "adapter/AdapterExtension.h"
#include "tests/adapter/EntityDoubles.h"

namespace kvxtest {
namespace {

constexpr ULONG TEST_DEVICE_TAG = MakePoolTag("TDev");

TestDeviceScript g_script;
std::vector<std::string> g_events;

}  // namespace

TestDeviceScript& DeviceScript() { return g_script; }
std::vector<std::string>& DeviceEvents() { return g_events; }

void ResetTestDevice()
{
    g_script = TestDeviceScript{};
    g_events.clear();
}

NTSTATUS CreateTestDevice(PUNKNOWN* ppDevice)
{
    auto* device = new (NonPagedPoolNx, TEST_DEVICE_TAG) TestDevice();
    if (device == nullptr) {
        *ppDevice = nullptr;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    device->NonDelegatingAddRef();
    *ppDevice = device->GetNonDelegatingUnknown();
    return STATUS_SUCCESS;
}

WaveFormatRecord TestFormat(USHORT channels, ULONG rate, USHORT bits, const GUID& subFormat)
{
    WaveFormatRecord f{};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.wBitsPerSample = static_cast<WORD>(bits == 24 ? 24 : bits);
    f.Format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
    f.Format.cbSize = WAVEFORMATEXTENSIBLE_EXTRA;
    f.Samples.wValidBitsPerSample = bits;
    f.dwChannelMask = channels == 2 ? 3 : 4;
    f.SubFormat = subFormat;
    return f;
}

TestDevice::~TestDevice() { g_events.push_back("Destroyed"); }

NTSTATUS TestDevice::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    if (ppvObject != nullptr && IsEqualGUID(iid, AsioPrivateIid)) {
        return ReturnInterface(static_cast<IAsioDevice*>(this), ppvObject);
    }
    return AudioHal::NonDelegatingQueryInterface(iid, ppvObject);
}

std::string TestDevice::InterfaceState()
{
    const AdapterExtension* e = GetAdapterExtension(m_pFunctionalDevice);
    if (e == nullptr) {
        return "";
    }
    return std::string(" enum=") + (e->EnumInterfaceEnabled ? "1" : "0") + " asio=" +
           (e->AsioInterfaceEnabled ? "1" : "0");
}

TopologyNode* TestDevice::AddTerminal(StreamEngine* pEndpoint, LONG lType, ULONG ulKind)
{
    TestEntity* e = TestEntity::New(m_ulNextId++, lType);
    e->m_bTerminal = true;
    e->m_ulKind = ulKind;
    AddEntity(e);
    pEndpoint->AddEntity(e);
    e->Release();
    return e;
}

NTSTATUS TestDevice::AddTestEndpoint(ULONG ulIndex, const TestEndpointShape& shape)
{
    auto* pEndpoint = new (NonPagedPoolNx, TEST_DEVICE_TAG) TestEndpoint(ulIndex, shape.UnregisterStatus);
    if (pEndpoint == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    pEndpoint->NonDelegatingAddRef();
    NTSTATUS status = pEndpoint->Init(shape.Capture);
    const GUID& sub = shape.Pcm ? KSDATAFORMAT_SUBTYPE_PCM : KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    for (USHORT bits : {USHORT(16), USHORT(24)}) {
        const WaveFormatRecord f = TestFormat(2, 48000, bits, sub);
        if (NT_SUCCESS(status)) status = pEndpoint->AddFormat(&f);
    }
    if (NT_SUCCESS(status)) {
        // A streaming terminal on the USB side, a jack-less terminal of the endpoint's kind on
        // the other; without a streaming terminal the USB side is a microphone-type one.
        const ULONG ulStreamKind = shape.StreamingTerminal ? ENDPOINT_KIND_STREAM : ENDPOINT_KIND_MICROPHONE;
        TopologyNode* pInput =
            AddTerminal(pEndpoint, ENTITY_INPUT_TERMINAL, shape.Capture ? shape.Kind : ulStreamKind);
        TopologyNode* pOutput =
            AddTerminal(pEndpoint, ENTITY_OUTPUT_TERMINAL, shape.Capture ? ulStreamKind : shape.Kind);
        const ULONG ulSource = pInput->GetId();
        pOutput->SetSources(1, &ulSource);
        status = AddEndpoint(pEndpoint);
    }
    pEndpoint->NonDelegatingRelease();
    return status;
}

NTSTATUS TestDevice::Init(PRESOURCELIST pResourceList, PDEVICE_OBJECT pFunctionalDevice, PDEVICE_OBJECT pLowerDevice,
                          PDEVICE_OBJECT pPhysicalDevice)
{
    g_events.push_back("Init");
    const NTSTATUS status = AudioHal::Init(pResourceList, pFunctionalDevice, pLowerDevice, pPhysicalDevice);
    return NT_SUCCESS(status) ? g_script.InitStatus : status;
}

NTSTATUS TestDevice::Configure()
{
    NTSTATUS status = STATUS_SUCCESS;
    if (g_script.Endpoints.empty()) {
        // A device without streaming interfaces still has its terminals: a line input wired to
        // a speaker.
        TestEntity* pInput = TestEntity::New(m_ulNextId++, ENTITY_INPUT_TERMINAL);
        TestEntity* pOutput = TestEntity::New(m_ulNextId++, ENTITY_OUTPUT_TERMINAL);
        pInput->m_bTerminal = pOutput->m_bTerminal = true;
        pInput->m_ulKind = ENDPOINT_KIND_LINE;
        pOutput->m_ulKind = ENDPOINT_KIND_SPEAKER;
        const ULONG ulSource = pInput->GetId();
        pOutput->SetSources(1, &ulSource);
        AddEntity(pInput);
        AddEntity(pOutput);
        pInput->Release();
        pOutput->Release();
    }
    for (ULONG i = 0; NT_SUCCESS(status) && i < g_script.Endpoints.size(); ++i) {
        status = AddTestEndpoint(i, g_script.Endpoints[i]);
    }
    return status;
}

NTSTATUS TestDevice::Start()
{
    g_events.push_back("Start");
    return AudioHal::Start();
}

NTSTATUS TestDevice::Stop()
{
    g_events.push_back("Stop" + InterfaceState());
    return AudioHal::Stop();
}

NTSTATUS TestDevice::OnPnpIrp(PIRP pIrp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(pIrp);
    g_events.push_back("OnPnp " + std::to_string(stack->MajorFunction) + "/" + std::to_string(stack->MinorFunction));
    return STATUS_SUCCESS;
}

NTSTATUS TestDevice::GetEndpointCapabilities(ULONG ulIndex, AudioCapabilities* pCapabilities)
{
    std::memset(pCapabilities, 0, sizeof(*pCapabilities));
    if (ulIndex < g_script.Endpoints.size() && g_script.Endpoints[ulIndex].Asio) {
        pCapabilities->Flags = AUDIO_CAPABILITY_ASIO;
    }
    return STATUS_SUCCESS;
}

NTSTATUS TestDevice::AsioOpenClient(PFILE_OBJECT)
{
    g_events.push_back("AsioOpen");
    return g_script.AsioStatus;
}

NTSTATUS TestDevice::AsioCloseClient(PFILE_OBJECT)
{
    g_events.push_back("AsioClose");
    return g_script.AsioStatus;
}

NTSTATUS TestDevice::AsioGetBusy(PFILE_OBJECT, PVOID pBuffer)
{
    g_events.push_back("AsioBusy");
    const ULONG busy = 1;
    std::memcpy(pBuffer, &busy, sizeof busy);
    return g_script.AsioStatus;
}

NTSTATUS TestEndpoint::UnregisterWave(PDEVICE_OBJECT pFunctionalDevice, PIRP pIrp, PUNKNOWN pAdapter)
{
    g_events.push_back("Unregister " + std::to_string(m_ulIndex));
    if (!NT_SUCCESS(m_UnregisterStatus)) {
        return m_UnregisterStatus;
    }
    return StreamEngine::UnregisterWave(pFunctionalDevice, pIrp, pAdapter);
}

}  // namespace kvxtest
