#include "tests/support/TestAdapterDriver.h"

#include <atomic>
#include <cstring>
#include <new>

#include "platform/nt/RtlString.h"

namespace kvxtest {
namespace {

constexpr ULONG kTestTag = MakePoolTag("TAdp");

TestAdapterConfig g_config;
HandlerLog g_log;
std::atomic<size_t> g_liveMiniports{0};

class TestMiniport;
TestMiniport* MiniportOf(PUNKNOWN majorTarget);

NTSTATUS RecordingHandler(PPCPROPERTY_REQUEST request)
{
    HandlerLog& log = g_log;
    ++log.Calls;
    log.Node = request->Node;
    log.Verb = request->Verb;
    log.Id = request->PropertyItem->Id;
    log.InstanceSize = request->InstanceSize;
    const auto* bytes = static_cast<const uint8_t*>(request->Instance);
    log.Instance.assign(bytes, bytes + (bytes != nullptr ? request->InstanceSize : 0));
    log.ValueSize = request->ValueSize;
    if (request->Verb == KSPROPERTY_TYPE_GET) {
        if (request->ValueSize < sizeof(LONG)) {
            request->ValueSize = sizeof(LONG);
            return STATUS_BUFFER_OVERFLOW;
        }
        const LONG value = 0x1234;
        std::memcpy(request->Value, &value, sizeof value);
        request->ValueSize = sizeof value;
    }
    return STATUS_SUCCESS;
}

NTSTATUS EventHandler(PPCEVENT_REQUEST request);

const PCPROPERTY_ITEM kFilterProperties[] = {
    {&TestPropertySet, 1, PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET, RecordingHandler},
    {&TestPropertySet, 2, PCPROPERTY_ITEM_FLAG_GET, RecordingHandler},
};
const PCPROPERTY_ITEM kPinProperties[] = {
    {&TestPinPropertySet, 1, PCPROPERTY_ITEM_FLAG_GET, RecordingHandler},
};
const PCPROPERTY_ITEM kVolumeProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,
     PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT, RecordingHandler},
};
const PCPROPERTY_ITEM kMuteProperties[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, PCPROPERTY_ITEM_FLAG_GET, RecordingHandler},
};
const PCEVENT_ITEM kNodeEvents[] = {
    {&KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE,
     PCEVENT_ITEM_FLAG_ENABLE | PCEVENT_ITEM_FLAG_BASICSUPPORT, EventHandler},
};

const PCAUTOMATION_TABLE kFilterTable = {sizeof(PCPROPERTY_ITEM), 2, kFilterProperties, 0, 0, nullptr, 0, 0,
                                         nullptr, 0};
const PCAUTOMATION_TABLE kPinTable = {sizeof(PCPROPERTY_ITEM), 1, kPinProperties, 0, 0, nullptr, 0, 0, nullptr, 0};
const PCAUTOMATION_TABLE kVolumeTable = {sizeof(PCPROPERTY_ITEM), 1, kVolumeProperties, 0, 0, nullptr,
                                         sizeof(PCEVENT_ITEM), 1, kNodeEvents, 0};
const PCAUTOMATION_TABLE kMuteTable = {sizeof(PCPROPERTY_ITEM), 1, kMuteProperties, 0, 0, nullptr,
                                       sizeof(PCEVENT_ITEM), 1, kNodeEvents, 0};

KSDATARANGE_AUDIO kRange = {
    {sizeof(KSDATARANGE_AUDIO), 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_PCM,
     KSDATAFORMAT_SPECIFIER_WAVEFORMATEX},
    2, 16, 24, 44100, 48000};
PKSDATARANGE kRanges[] = {&kRange.DataRange};

PCPIN_DESCRIPTOR MakePin(KSPIN_DATAFLOW flow, KSPIN_COMMUNICATION communication, const PCAUTOMATION_TABLE* table,
                         const GUID* category)
{
    PCPIN_DESCRIPTOR pin{};
    pin.MaxGlobalInstanceCount = 1;
    pin.MaxFilterInstanceCount = 1;
    pin.AutomationTable = table;
    pin.KsPinDescriptor.DataRangesCount = 1;
    pin.KsPinDescriptor.DataRanges = kRanges;
    pin.KsPinDescriptor.DataFlow = flow;
    pin.KsPinDescriptor.Communication = communication;
    pin.KsPinDescriptor.Category = category;
    return pin;
}

const PCPIN_DESCRIPTOR kPins[] = {
    MakePin(KSPIN_DATAFLOW_IN, KSPIN_COMMUNICATION_SINK, nullptr, &KSCATEGORY_AUDIO),
    MakePin(KSPIN_DATAFLOW_OUT, KSPIN_COMMUNICATION_NONE, &kPinTable, &KSNODETYPE_SPEAKER),
};
const PCNODE_DESCRIPTOR kNodes[] = {
    {0, &kVolumeTable, &KSNODETYPE_VOLUME, nullptr},
    {0, &kMuteTable, &KSNODETYPE_MUTE, nullptr},
};
const PCCONNECTION_DESCRIPTOR kConnections[] = {
    {PCFILTER_NODE, 0, 0, 1},
    {0, 0, 1, 1},
    {1, 0, PCFILTER_NODE, 1},
};
PCFILTER_DESCRIPTOR kFilter = {0,      &kFilterTable, sizeof(PCPIN_DESCRIPTOR), 2, kPins, sizeof(PCNODE_DESCRIPTOR),
                               2,      kNodes,        3,                        kConnections, 0, nullptr};

// One class for both port kinds: it answers the miniport interface of its port class only.
class TestMiniport final : public IMiniportTopology, public IMiniportWaveCyclic, public IPowerNotify,
                           public ISubdeviceName {
public:
    TestMiniport(const GUID& portClass, const char16_t* name, NTSTATUS initStatus)
        : m_portClass(portClass), m_initStatus(initStatus)
    {
        size_t i = 0;
        for (; name[i] != 0 && i + 1 < sizeof m_name / sizeof m_name[0]; ++i) m_name[i] = name[i];
        m_name[i] = 0;
        ++g_liveMiniports;
    }
    ~TestMiniport()
    {
        if (m_port != nullptr) m_port->Release();
        --g_liveMiniports;
    }

    bool Topology() const { return IsEqualGUID(m_portClass, CLSID_PortTopology); }

    NTSTATUS QueryInterface(REFIID iid, PVOID* out) override
    {
        PVOID result = nullptr;
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMiniport)) {
            result = Topology() ? static_cast<IMiniport*>(static_cast<IMiniportTopology*>(this))
                                : static_cast<IMiniport*>(static_cast<IMiniportWaveCyclic*>(this));
        } else if (Topology() && IsEqualGUID(iid, IID_IMiniportTopology)) {
            result = static_cast<IMiniportTopology*>(this);
        } else if (!Topology() && IsEqualGUID(iid, IID_IMiniportWaveCyclic)) {
            result = static_cast<IMiniportWaveCyclic*>(this);
        } else if (IsEqualGUID(iid, IID_IPowerNotify)) {
            result = static_cast<IPowerNotify*>(this);
        } else if (IsEqualGUID(iid, SubdeviceNameIid)) {
            result = static_cast<ISubdeviceName*>(this);
        }
        *out = result;
        if (result == nullptr) return STATUS_INVALID_PARAMETER;
        AddRef();
        return STATUS_SUCCESS;
    }
    ULONG AddRef() override { return ++m_references; }
    ULONG Release() override
    {
        const ULONG left = --m_references;
        if (left == 0) {
            this->~TestMiniport();
            ExFreePoolWithTag(this, kTestTag);
        }
        return left;
    }

    NTSTATUS GetDescription(PPCFILTER_DESCRIPTOR* description) override
    {
        *description = &kFilter;
        return STATUS_SUCCESS;
    }
    NTSTATUS DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override
    {
        return STATUS_NOT_IMPLEMENTED;
    }
    NTSTATUS Init(PUNKNOWN, PRESOURCELIST, PPORTTOPOLOGY port) override { return Bind(port); }
    NTSTATUS Init(PUNKNOWN, PRESOURCELIST, PPORTWAVECYCLIC port) override { return Bind(port); }
    NTSTATUS NewStream(PMINIPORTWAVECYCLICSTREAM*, PUNKNOWN, POOL_TYPE, ULONG, BOOLEAN, PKSDATAFORMAT, PDMACHANNEL*,
                       PSERVICEGROUP*) override
    {
        return STATUS_NOT_IMPLEMENTED;
    }
    VOID PowerChangeNotify(POWER_STATE state) override
    {
        g_config.MiniportPowerNotifications.push_back(state.DeviceState);
    }
    NTSTATUS GetBridgePin(PULONG value) override
    {
        // Entity 7 sits on the bridge pin; the wave side reports its terminal as entity 7.
        if (!Topology()) {
            *value = 7;
            return STATUS_SUCCESS;
        }
        const bool found = *value == 7;
        *value = found ? 1 : 0;
        return found ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    }
    NTSTATUS GetName(PWSTR* name) override
    {
        if (name == nullptr) return STATUS_INVALID_PARAMETER;
        *name = m_name;
        return STATUS_SUCCESS;
    }

    PUNKNOWN Port() const { return m_port; }

private:
    NTSTATUS Bind(PUNKNOWN port)
    {
        if (!NT_SUCCESS(m_initStatus)) return m_initStatus;
        // Like a real miniport, it keeps the port for events and notifications.
        port->AddRef();
        m_port = port;
        return STATUS_SUCCESS;
    }

    GUID m_portClass;
    NTSTATUS m_initStatus;
    std::atomic<ULONG> m_references{1};
    PUNKNOWN m_port = nullptr;
    WCHAR m_name[32];
};

TestMiniport* MiniportOf(PUNKNOWN majorTarget)
{
    // MajorTarget is the miniport's interface of its port class.
    auto* miniport = reinterpret_cast<IMiniport*>(majorTarget);
    PVOID raw = nullptr;
    if (!NT_SUCCESS(miniport->QueryInterface(SubdeviceNameIid, &raw))) return nullptr;
    auto* self = static_cast<TestMiniport*>(static_cast<ISubdeviceName*>(raw));
    self->Release();
    return self;
}

NTSTATUS EventHandler(PPCEVENT_REQUEST request)
{
    TestMiniport* miniport = MiniportOf(request->MajorTarget);
    if (request->Verb == PCEVENT_VERB_ADD) {
        ++g_log.EventAdds;
        PVOID events = nullptr;
        if (miniport == nullptr || miniport->Port() == nullptr ||
            !NT_SUCCESS(miniport->Port()->QueryInterface(IID_IPortEvents, &events))) {
            return STATUS_UNSUCCESSFUL;
        }
        static_cast<IPortEvents*>(events)->AddEventToEventList(request->EventEntry);
        static_cast<IPortEvents*>(events)->Release();
    } else if (request->Verb == PCEVENT_VERB_REMOVE) {
        ++g_log.EventRemoves;
    }
    return STATUS_SUCCESS;
}

// The adapter's common object: adapter power management.
class AdapterCommon final : public IAdapterPowerManagement {
public:
    NTSTATUS QueryInterface(REFIID iid, PVOID* out) override
    {
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IAdapterPowerManagement)) {
            AddRef();
            *out = static_cast<IAdapterPowerManagement*>(this);
            return STATUS_SUCCESS;
        }
        *out = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    ULONG AddRef() override { return ++m_references; }
    ULONG Release() override
    {
        const ULONG left = --m_references;
        if (left == 0) {
            this->~AdapterCommon();
            ExFreePoolWithTag(this, kTestTag);
        }
        return left;
    }
    VOID PowerChangeState(POWER_STATE state) override { g_config.PowerChanges.push_back(state.DeviceState); }
    NTSTATUS QueryPowerChangeState(POWER_STATE) override { return g_config.QueryPowerStatus; }
    NTSTATUS QueryDeviceCapabilities(PDEVICE_CAPABILITIES caps) override
    {
        ++g_config.CapabilityQueries;
        caps->SurpriseRemovalOK = 1;
        if (g_config.SleepDeviceState != PowerDeviceUnspecified) {
            caps->DeviceState[PowerSystemSleeping3] = g_config.SleepDeviceState;
        }
        return STATUS_SUCCESS;
    }

private:
    std::atomic<ULONG> m_references{1};
};

template <typename T, typename... Args>
T* NewInPool(Args&&... args)
{
    void* memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(T), kTestTag);
    return memory == nullptr ? nullptr : new (memory) T(static_cast<Args&&>(args)...);
}

NTSTATUS Install(PDEVICE_OBJECT fdo, PIRP irp, REFCLSID portClass, const std::u16string& name, PUNKNOWN adapter,
                 NTSTATUS initStatus, PPORT* outPort)
{
    PPORT port = nullptr;
    NTSTATUS status = PcNewPort(&port, portClass);
    if (!NT_SUCCESS(status)) return status;
    PUNKNOWN miniport = NewTestMiniport(portClass, name.c_str(), initStatus);
    status = port->Init(fdo, irp, miniport, adapter, nullptr);
    if (NT_SUCCESS(status)) {
        status = PcRegisterSubdevice(fdo, name.c_str(), port);
    }
    miniport->Release();
    if (NT_SUCCESS(status)) {
        *outPort = port;
    } else {
        port->Release();
    }
    return status;
}

NTSTATUS StartDevice(PDEVICE_OBJECT fdo, PIRP irp, PRESOURCELIST)
{
    TestAdapterConfig& c = g_config;
    ++c.StartCalls;
    AdapterCommon* common = NewInPool<AdapterCommon>();
    if (common == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = PcRegisterAdapterPowerManagement(common, fdo);
    PPORT topology = nullptr;
    PPORT wave = nullptr;
    if (NT_SUCCESS(status)) {
        status = c.TopologyInstallStatus =
            Install(fdo, irp, CLSID_PortTopology, c.TopologyName, common, c.TopologyInitStatus, &topology);
    }
    if (NT_SUCCESS(status) && c.InstallWave) {
        c.WaveInstallStatus = Install(fdo, irp, CLSID_PortWaveCyclic, c.WaveName, common, STATUS_SUCCESS, &wave);
        if (NT_SUCCESS(c.WaveInstallStatus)) {
            c.ConnectionStatus = PcRegisterPhysicalConnection(fdo, wave, 1, topology, 1);
        }
    }
    if (wave != nullptr) wave->Release();
    if (topology != nullptr) topology->Release();
    common->Release();
    return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    return PcAddAdapterDevice(driver, pdo, StartDevice, g_config.MaxObjects, PORT_CLASS_DEVICE_EXTENSION_SIZE + 64);
}

}  // namespace

TestAdapterConfig& TestAdapter() { return g_config; }
HandlerLog& TestHandlerLog() { return g_log; }

void TestAdapterReset()
{
    g_config = TestAdapterConfig{};
    g_log = HandlerLog{};
}

NTSTATUS TestAdapterDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    return PcInitializeAdapterDriver(driver, registryPath, AddDevice);
}

PUNKNOWN NewTestMiniport(REFCLSID portClass, const char16_t* name, NTSTATUS initStatus)
{
    TestMiniport* m = NewInPool<TestMiniport>(portClass, name, initStatus);
    if (m == nullptr) return nullptr;
    return m->Topology() ? static_cast<PUNKNOWN>(static_cast<IMiniportTopology*>(m))
                         : static_cast<PUNKNOWN>(static_cast<IMiniportWaveCyclic*>(m));
}

PUNKNOWN TestMiniportPort(PUNKNOWN miniport)
{
    TestMiniport* m = MiniportOf(miniport);
    return m == nullptr ? nullptr : m->Port();
}

size_t TestMiniportLiveCount() { return g_liveMiniports.load(); }

}  // namespace kvxtest
