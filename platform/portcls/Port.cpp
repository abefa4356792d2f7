// The topology and wave-cyclic ports: miniport binding, property and event dispatch through the
// filter's automation tables, the port's event list and its version.
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "platform/nt/Dpc.h"
#include "platform/nt/Irql.h"
#include "platform/nt/Pool.h"
#include "platform/portcls/PortClsHost.h"
#include "platform/portcls/PortClsInternal.h"
#include "platform/portcls/WavePinInternal.h"

namespace platform {
namespace {

constexpr ULONG kPortTag = MakePoolTag("PcPt");
constexpr ULONG kEventEntryTag = MakePoolTag("PcEv");

std::atomic<ULONG> g_version{PORTCLS_VERSION_DEFAULT};
std::atomic<size_t> g_livePorts{0};

// The verbs a request may carry: exactly one of them.
bool IsSingleVerb(ULONG verb)
{
    return verb == KSPROPERTY_TYPE_GET || verb == KSPROPERTY_TYPE_SET || verb == KSPROPERTY_TYPE_BASICSUPPORT;
}

template <typename Item>
const Item* FindItem(const Item* items, ULONG count, ULONG itemSize, const GUID& set, ULONG id)
{
    if (items == nullptr) {
        return nullptr;
    }
    const ULONG stride = itemSize != 0 ? itemSize : sizeof(Item);
    const auto* bytes = reinterpret_cast<const UCHAR*>(items);
    for (ULONG i = 0; i < count; ++i) {
        const auto* item = reinterpret_cast<const Item*>(bytes + static_cast<size_t>(i) * stride);
        if (item->Set != nullptr && IsEqualGUID(*item->Set, set) && item->Id == id) {
            return item;
        }
    }
    return nullptr;
}

const PCPROPERTY_ITEM* FindProperty(const PCAUTOMATION_TABLE* table, const GUID& set, ULONG id)
{
    return table == nullptr ? nullptr
                            : FindItem(table->Properties, table->PropertyCount, table->PropertyItemSize, set, id);
}

const PCEVENT_ITEM* FindEvent(const PCAUTOMATION_TABLE* table, const GUID& set, ULONG id)
{
    return table == nullptr ? nullptr : FindItem(table->Events, table->EventCount, table->EventItemSize, set, id);
}

const PCNODE_DESCRIPTOR* NodeAt(const PCFILTER_DESCRIPTOR* d, ULONG node)
{
    const ULONG stride = d->NodeSize != 0 ? d->NodeSize : sizeof(PCNODE_DESCRIPTOR);
    return reinterpret_cast<const PCNODE_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(d->Nodes) +
                                                      static_cast<size_t>(node) * stride);
}

const PCPIN_DESCRIPTOR* PinAt(const PCFILTER_DESCRIPTOR* d, ULONG pin)
{
    const ULONG stride = d->PinSize != 0 ? d->PinSize : sizeof(PCPIN_DESCRIPTOR);
    return reinterpret_cast<const PCPIN_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(d->Pins) +
                                                     static_cast<size_t>(pin) * stride);
}

class Port final : public IPortTopology,
                   public IPortWaveCyclic,
                   public IPortClsVersion,
                   public IUnregisterSubdevice,
                   public IUnregisterPhysicalConnection,
                   public IPortEvents,
                   public IPcSubdevice {
public:
    explicit Port(const GUID& classId) : m_classId(classId)
    {
        KeInitializeDpc(&m_notifyDpc, NotifyDpc, this);
        ++g_livePorts;
    }

    ~Port()
    {
        // A notification still queued is serviced before the port goes.
        KeFlushQueuedDpcs();
        for (PSERVICEGROUP group : m_notified) group->Release();
        m_notified.clear();
        DropChildren();
        --g_livePorts;
    }

    PUNKNOWN Identity() { return static_cast<IPortEvents*>(this); }

    // ---- IUnknown ----
    NTSTATUS QueryInterface(REFIID iid, PVOID* ppvObject) override
    {
        if (ppvObject == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        PVOID result = nullptr;
        const bool topology = IsEqualGUID(m_classId, CLSID_PortTopology);
        if (IsEqualGUID(iid, IID_IUnknown)) {
            result = Identity();
        } else if (IsEqualGUID(iid, IID_IPort)) {
            result = topology ? static_cast<IPort*>(static_cast<IPortTopology*>(this))
                              : static_cast<IPort*>(static_cast<IPortWaveCyclic*>(this));
        } else if (topology && IsEqualGUID(iid, IID_IPortTopology)) {
            result = static_cast<IPortTopology*>(this);
        } else if (!topology && IsEqualGUID(iid, IID_IPortWaveCyclic)) {
            result = static_cast<IPortWaveCyclic*>(this);
        } else if (IsEqualGUID(iid, IID_IPortClsVersion)) {
            result = static_cast<IPortClsVersion*>(this);
        } else if (IsEqualGUID(iid, IID_IUnregisterSubdevice)) {
            result = static_cast<IUnregisterSubdevice*>(this);
        } else if (IsEqualGUID(iid, IID_IUnregisterPhysicalConnection)) {
            result = static_cast<IUnregisterPhysicalConnection*>(this);
        } else if (IsEqualGUID(iid, IID_IPortEvents)) {
            result = static_cast<IPortEvents*>(this);
        } else if (IsEqualGUID(iid, IID_IPcSubdevice)) {
            result = static_cast<IPcSubdevice*>(this);
        }
        *ppvObject = result;
        if (result == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        AddRef();
        return STATUS_SUCCESS;
    }
    ULONG AddRef() override { return ++m_references; }
    ULONG Release() override
    {
        const ULONG left = --m_references;
        if (left == 0) {
            this->~Port();
            ExFreePoolWithTag(this, kPortTag);
        }
        return left;
    }

    // ---- IPort ----
    NTSTATUS Init(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN UnknownMiniport, PUNKNOWN UnknownAdapter,
                  PRESOURCELIST ResourceList) override
    {
        UNREFERENCED_PARAMETER(Irp);
        IrqlCheckAtMost(PASSIVE_LEVEL, "IPort::Init");
        if (DeviceObject == nullptr || UnknownMiniport == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        if (m_miniport != nullptr) {
            return STATUS_INVALID_DEVICE_STATE;
        }
        const bool topology = IsEqualGUID(m_classId, CLSID_PortTopology);
        PVOID raw = nullptr;
        NTSTATUS status =
            UnknownMiniport->QueryInterface(topology ? IID_IMiniportTopology : IID_IMiniportWaveCyclic, &raw);
        if (!NT_SUCCESS(status) || raw == nullptr) {
            return NT_SUCCESS(status) ? STATUS_INVALID_PARAMETER : status;
        }
        IMiniport* miniport = topology ? static_cast<IMiniport*>(static_cast<IMiniportTopology*>(raw))
                                       : static_cast<IMiniport*>(static_cast<IMiniportWaveCyclic*>(raw));
        status = topology ? static_cast<IMiniportTopology*>(raw)->Init(UnknownAdapter, ResourceList,
                                                                        static_cast<IPortTopology*>(this))
                          : static_cast<IMiniportWaveCyclic*>(raw)->Init(UnknownAdapter, ResourceList,
                                                                          static_cast<IPortWaveCyclic*>(this));
        PPCFILTER_DESCRIPTOR descriptor = nullptr;
        if (NT_SUCCESS(status)) {
            status = miniport->GetDescription(&descriptor);
            if (NT_SUCCESS(status) && descriptor == nullptr) {
                status = STATUS_INVALID_DEVICE_STATE;
            }
        }
        if (!NT_SUCCESS(status)) {
            miniport->Release();
            return status;
        }
        PVOID notify = nullptr;
        if (NT_SUCCESS(UnknownMiniport->QueryInterface(IID_IPowerNotify, &notify))) {
            m_powerNotify = static_cast<IPowerNotify*>(notify);
        }
        m_miniport = miniport;
        m_descriptor = descriptor;
        m_device = DeviceObject;
        PcDeviceNotePort(DeviceObject, this);
        return STATUS_SUCCESS;
    }

    NTSTATUS GetDeviceProperty(DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength, PVOID PropertyBuffer,
                               PULONG ResultLength) override
    {
        if (m_device == nullptr) {
            return STATUS_INVALID_DEVICE_STATE;
        }
        return PcGetDeviceProperty(m_device, DeviceProperty, BufferLength, PropertyBuffer, ResultLength);
    }

    NTSTATUS NewRegistryKey(PREGISTRYKEY* OutRegistryKey, PUNKNOWN OuterUnknown, ULONG RegistryKeyType,
                            ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes, ULONG CreateOptions,
                            PULONG Disposition) override
    {
        if (m_device == nullptr && RegistryKeyType != GeneralRegistryKey) {
            return STATUS_INVALID_DEVICE_STATE;
        }
        return PcNewRegistryKey(OutRegistryKey, OuterUnknown, RegistryKeyType, DesiredAccess, m_device, nullptr,
                                ObjectAttributes, CreateOptions, Disposition);
    }

    // ---- IPortWaveCyclic ----
    // Requests service: the group runs its sinks from the port's DPC, never inside Notify, whose
    // caller may hold the lock that a sink's position read takes. Notifications of a group that
    // is still waiting for its DPC are one.
    VOID Notify(PSERVICEGROUP ServiceGroup) override
    {
        platform::IrqlCheckAtMost(DISPATCH_LEVEL, "IPortWaveCyclic::Notify");
        if (ServiceGroup == nullptr) {
            return;
        }
        {
            std::lock_guard<std::mutex> guard(m_notifyLock);
            for (PSERVICEGROUP pending : m_notified) {
                if (pending == ServiceGroup) {
                    return;
                }
            }
            ServiceGroup->AddRef();
            m_notified.push_back(ServiceGroup);
        }
        KeInsertQueueDpc(&m_notifyDpc, nullptr, nullptr);
    }

    static VOID NotifyDpc(PKDPC, PVOID context, PVOID, PVOID)
    {
        auto* self = static_cast<Port*>(context);
        std::vector<PSERVICEGROUP> groups;
        {
            std::lock_guard<std::mutex> guard(self->m_notifyLock);
            groups.swap(self->m_notified);
        }
        for (PSERVICEGROUP group : groups) {
            group->RequestService();
            group->Release();
        }
    }

    // ---- IPortClsVersion ----
    DWORD GetVersion() override { return g_version.load(); }

    // ---- IUnregisterSubdevice / IUnregisterPhysicalConnection ----
    NTSTATUS UnregisterSubdevice(PDEVICE_OBJECT DeviceObject, PUNKNOWN Unknown) override
    {
        IrqlCheckAtMost(PASSIVE_LEVEL, "IUnregisterSubdevice::UnregisterSubdevice");
        if (DeviceObject == nullptr || Unknown == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        return PcDeviceUnregisterSubdevice(DeviceObject, Unknown);
    }

    NTSTATUS UnregisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown, ULONG FromPin,
                                          PUNKNOWN ToUnknown, ULONG ToPin) override
    {
        IrqlCheckAtMost(PASSIVE_LEVEL, "IUnregisterPhysicalConnection::UnregisterPhysicalConnection");
        if (DeviceObject == nullptr || FromUnknown == nullptr || ToUnknown == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        return PcDeviceUnregisterConnection(DeviceObject, FromUnknown, FromPin, ToUnknown, ToPin);
    }

    // ---- IPortEvents ----
    VOID AddEventToEventList(PKSEVENT_ENTRY EventEntry) override
    {
        std::lock_guard<std::mutex> guard(m_eventLock);
        for (auto& e : m_events) {
            if (e.Entry == EventEntry) {
                e.Armed = true;
            }
        }
    }

    VOID GenerateEventList(GUID* Set, ULONG EventId, BOOLEAN PinEvent, ULONG PinId, BOOLEAN NodeEvent,
                           ULONG NodeId) override
    {
        IrqlCheckAtMost(DISPATCH_LEVEL, "IPortEvents::GenerateEventList");
        std::lock_guard<std::mutex> guard(m_eventLock);
        for (auto& e : m_events) {
            KSEVENT_ENTRY* entry = e.Entry;
            if (!e.Armed || entry->EventId != EventId) continue;
            if (Set != nullptr && !IsEqualGUID(*entry->Set, *Set)) continue;
            if (PinEvent && entry->PinId != PinId) continue;
            if (NodeEvent && entry->NodeId != NodeId) continue;
            ++entry->SignalCount;
            KeSetEvent(entry->EventData->EventObject.Event, IO_NO_INCREMENT, FALSE);
        }
    }

    // ---- IPcSubdevice ----
    const GUID& PortClass() override { return m_classId; }
    const PCFILTER_DESCRIPTOR* Descriptor() override { return m_descriptor; }
    IMiniport* Miniport() override { return m_miniport; }

    NTSTATUS PropertyRequest(const void* input, ULONG inputSize, void* value, ULONG* valueSize, PIRP irp) override
    {
        const ULONG capacity = *valueSize;
        *valueSize = 0;
        if (m_descriptor == nullptr) {
            return STATUS_INVALID_DEVICE_STATE;
        }
        if (input == nullptr || inputSize < sizeof(KSPROPERTY)) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        KSPROPERTY property;
        std::memcpy(&property, input, sizeof property);
        const ULONG verb = property.Flags & ~KSPROPERTY_TYPE_TOPOLOGY;
        const PCAUTOMATION_TABLE* table = m_descriptor->AutomationTable;
        ULONG node = PCFILTER_NODE;
        ULONG header = sizeof(KSPROPERTY);
        if ((property.Flags & KSPROPERTY_TYPE_TOPOLOGY) != 0) {
            if (inputSize < sizeof(KSNODEPROPERTY)) {
                return STATUS_BUFFER_TOO_SMALL;
            }
            std::memcpy(&node, static_cast<const UCHAR*>(input) + offsetof(KSNODEPROPERTY, NodeId), sizeof node);
            if (node >= m_descriptor->NodeCount) {
                return STATUS_INVALID_PARAMETER;
            }
            table = NodeAt(m_descriptor, node)->AutomationTable;
            header = sizeof(KSNODEPROPERTY);
        }
        if (node == PCFILTER_NODE) {
            // The pin set (and the pins' processing modes) is the port's own.
            ULONG size = capacity;
            const NTSTATUS status = PcFilterPinProperty(this, input, inputSize, value, &size);
            if (status != STATUS_NOT_FOUND) {
                *valueSize = size;
                return status;
            }
        }
        const PCPROPERTY_ITEM* item = FindProperty(table, property.Set, property.Id);
        if (item == nullptr && node == PCFILTER_NODE && inputSize >= sizeof(KSP_PIN)) {
            // A filter request that names a pin reaches that pin's table.
            ULONG pin = 0;
            std::memcpy(&pin, static_cast<const UCHAR*>(input) + offsetof(KSP_PIN, PinId), sizeof pin);
            if (pin < m_descriptor->PinCount) {
                item = FindProperty(PinAt(m_descriptor, pin)->AutomationTable, property.Set, property.Id);
            }
        }
        if (item == nullptr) {
            return STATUS_NOT_FOUND;
        }
        if (!IsSingleVerb(verb)) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        if ((item->Flags & verb) == 0) {
            if (verb == KSPROPERTY_TYPE_BASICSUPPORT) {
                return DefaultBasicSupport(item, value, capacity, valueSize);
            }
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        if (item->Handler == nullptr) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        PCPROPERTY_REQUEST request{};
        request.MajorTarget = m_miniport;
        request.MinorTarget = nullptr;
        request.Node = node;
        request.PropertyItem = item;
        request.Verb = verb;
        request.InstanceSize = inputSize - header;
        request.Instance =
            request.InstanceSize != 0 ? const_cast<UCHAR*>(static_cast<const UCHAR*>(input) + header) : nullptr;
        request.ValueSize = capacity;
        request.Value = capacity != 0 ? value : nullptr;
        request.Irp = irp;
        // The handler's ValueSize returns with every status: a failed basic support or list
        // request tells the caller the size it needs.
        const NTSTATUS status = item->Handler(&request);
        *valueSize = request.ValueSize;
        return status;
    }

    NTSTATUS EnableEvent(const void* input, ULONG inputSize, PKSEVENTDATA data, ULONG dataSize, PIRP irp) override
    {
        if (m_descriptor == nullptr) {
            return STATUS_INVALID_DEVICE_STATE;
        }
        if (input == nullptr || inputSize < sizeof(KSEVENT)) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        KSEVENT event;
        std::memcpy(&event, input, sizeof event);
        const ULONG verb = event.Flags & ~KSEVENT_TYPE_TOPOLOGY;
        const PCAUTOMATION_TABLE* table = m_descriptor->AutomationTable;
        ULONG node = PCFILTER_NODE;
        if ((event.Flags & KSEVENT_TYPE_TOPOLOGY) != 0) {
            if (inputSize < sizeof(KSE_NODE)) {
                return STATUS_BUFFER_TOO_SMALL;
            }
            std::memcpy(&node, static_cast<const UCHAR*>(input) + offsetof(KSE_NODE, NodeId), sizeof node);
            if (node >= m_descriptor->NodeCount) {
                return STATUS_INVALID_PARAMETER;
            }
            table = NodeAt(m_descriptor, node)->AutomationTable;
        }
        const PCEVENT_ITEM* item = FindEvent(table, event.Set, event.Id);
        if (item == nullptr) {
            return STATUS_NOT_FOUND;
        }
        if ((verb != KSEVENT_TYPE_ENABLE && verb != KSEVENT_TYPE_BASICSUPPORT) || (item->Flags & verb) == 0 ||
            item->Handler == nullptr) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        PCEVENT_REQUEST request{};
        request.MajorTarget = m_miniport;
        request.Node = node;
        request.EventItem = item;
        request.Irp = irp;
        if (verb == KSEVENT_TYPE_BASICSUPPORT) {
            request.Verb = PCEVENT_VERB_SUPPORT;
            return item->Handler(&request);
        }
        if (data == nullptr || dataSize < sizeof(KSEVENTDATA)) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        if (data->NotificationType != KSEVENTF_EVENT_OBJECT || data->EventObject.Event == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        auto* entry = static_cast<KSEVENT_ENTRY*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KSEVENT_ENTRY),
                                                                        kEventEntryTag));
        if (entry == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        std::memset(entry, 0, sizeof *entry);
        entry->Object = Identity();
        entry->EventData = data;
        entry->NotificationType = data->NotificationType;
        entry->EventItem = item;
        entry->Set = item->Set;
        entry->EventId = item->Id;
        entry->Flags = event.Flags;
        entry->NodeId = node;
        entry->PinId = KSFILTER_NODE;
        {
            std::lock_guard<std::mutex> guard(m_eventLock);
            m_events.push_back({entry, false});
        }
        request.EventEntry = entry;
        request.Verb = PCEVENT_VERB_ADD;
        const NTSTATUS status = item->Handler(&request);
        if (!NT_SUCCESS(status)) {
            RemoveEntry(entry);
        }
        return status;
    }

    NTSTATUS DisableEvent(PKSEVENTDATA data, PIRP irp) override
    {
        KSEVENT_ENTRY* entry = nullptr;
        {
            std::lock_guard<std::mutex> guard(m_eventLock);
            for (auto& e : m_events) {
                if (e.Entry->EventData == data) {
                    entry = e.Entry;
                }
            }
        }
        if (entry == nullptr) {
            return STATUS_NOT_FOUND;
        }
        PCEVENT_REQUEST request{};
        request.MajorTarget = m_miniport;
        request.Node = entry->NodeId;
        request.EventItem = static_cast<const PCEVENT_ITEM*>(entry->EventItem);
        request.EventEntry = entry;
        request.Verb = PCEVENT_VERB_REMOVE;
        request.Irp = irp;
        request.EventItem->Handler(&request);
        RemoveEntry(entry);
        return STATUS_SUCCESS;
    }

    VOID PowerChangeNotify(POWER_STATE state) override
    {
        if (m_powerNotify != nullptr) {
            m_powerNotify->PowerChangeNotify(state);
        }
    }

    VOID ReleaseChildren() override
    {
        // The miniport may hold the last reference but one: the port outlives the call.
        AddRef();
        DropChildren();
        Release();
    }

private:
    struct EventRecord {
        KSEVENT_ENTRY* Entry;
        bool Armed;
    };

    void DropChildren()
    {
        std::vector<EventRecord> events;
        {
            std::lock_guard<std::mutex> guard(m_eventLock);
            events.swap(m_events);
        }
        for (auto& e : events) {
            ExFreePoolWithTag(e.Entry, kEventEntryTag);
        }
        m_descriptor = nullptr;
        if (m_device != nullptr) {
            PcDeviceForgetPort(m_device, this);
            m_device = nullptr;
        }
        IPowerNotify* notify = m_powerNotify;
        IMiniport* miniport = m_miniport;
        m_powerNotify = nullptr;
        m_miniport = nullptr;
        if (notify != nullptr) notify->Release();
        if (miniport != nullptr) miniport->Release();
    }

    void RemoveEntry(KSEVENT_ENTRY* entry)
    {
        {
            std::lock_guard<std::mutex> guard(m_eventLock);
            for (auto it = m_events.begin(); it != m_events.end(); ++it) {
                if (it->Entry == entry) {
                    m_events.erase(it);
                    break;
                }
            }
        }
        ExFreePoolWithTag(entry, kEventEntryTag);
    }

    // A basic-support request for an item that does not handle it: the access flags, as a
    // ULONG or as a KSPROPERTY_DESCRIPTION header, answered by the port.
    static NTSTATUS DefaultBasicSupport(const PCPROPERTY_ITEM* item, void* value, ULONG capacity, ULONG* valueSize)
    {
        const ULONG access = item->Flags & (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET);
        if (capacity >= sizeof(KSPROPERTY_DESCRIPTION) && value != nullptr) {
            KSPROPERTY_DESCRIPTION description{};
            description.AccessFlags = access | KSPROPERTY_TYPE_BASICSUPPORT;
            description.DescriptionSize = sizeof description;
            description.PropTypeSet.Set = KSPROPTYPESETID_General;
            std::memcpy(value, &description, sizeof description);
            *valueSize = sizeof description;
            return STATUS_SUCCESS;
        }
        if (capacity >= sizeof(ULONG) && value != nullptr) {
            const ULONG flags = access | KSPROPERTY_TYPE_BASICSUPPORT;
            std::memcpy(value, &flags, sizeof flags);
            *valueSize = sizeof flags;
            return STATUS_SUCCESS;
        }
        if (capacity == 0) {
            *valueSize = sizeof(KSPROPERTY_DESCRIPTION);
            return STATUS_BUFFER_OVERFLOW;
        }
        return STATUS_BUFFER_TOO_SMALL;
    }

    GUID m_classId;
    std::atomic<ULONG> m_references{1};
    PDEVICE_OBJECT m_device = nullptr;
    IMiniport* m_miniport = nullptr;
    IPowerNotify* m_powerNotify = nullptr;
    const PCFILTER_DESCRIPTOR* m_descriptor = nullptr;
    std::mutex m_eventLock;
    std::vector<EventRecord> m_events;
    KDPC m_notifyDpc;
    std::mutex m_notifyLock;
    std::vector<PSERVICEGROUP> m_notified;  // one reference each, until the DPC services them
};

}  // namespace

void PcSetVersion(ULONG version) { g_version = version; }
ULONG PcGetVersion() { return g_version.load(); }
size_t PcLivePortCount() { return g_livePorts.load(); }

}  // namespace platform

NTSTATUS PcNewPort(PPORT* OutPort, REFCLSID ClassId)
{
    platform::IrqlCheckAtMost(PASSIVE_LEVEL, "PcNewPort");
    if (OutPort == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *OutPort = nullptr;
    const bool topology = IsEqualGUID(ClassId, CLSID_PortTopology);
    if (!topology && !IsEqualGUID(ClassId, CLSID_PortWaveCyclic)) {
        return STATUS_INVALID_PARAMETER;
    }
    void* memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(platform::Port), platform::kPortTag);
    if (memory == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto* port = new (memory) platform::Port(ClassId);
    *OutPort = topology ? static_cast<IPort*>(static_cast<IPortTopology*>(port))
                        : static_cast<IPort*>(static_cast<IPortWaveCyclic*>(port));
    return STATUS_SUCCESS;
}
