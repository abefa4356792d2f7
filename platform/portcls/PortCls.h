// Everything a driver source needs of the port-class stand-in: adapter initialisation and IRP
// dispatch, ports and miniports, subdevices and physical connections, property and event
// automation, service groups and adapter power management.
#pragma once

#include "platform/io/Io.h"
#include "platform/ks/Ks.h"
#include "platform/nt/Pool.h"
#include "platform/portcls/RegistryKey.h"
#include "platform/portcls/Unknown.h"

// ---- class and interface ids ----

using REFCLSID = const GUID&;

KVX_DEFINE_GUID(CLSID_PortTopology, "{B4C90A32-5791-11D0-86F9-00A0C911B544}");
KVX_DEFINE_GUID(CLSID_PortWaveCyclic, "{B4C90A2A-5791-11D0-86F9-00A0C911B544}");
KVX_DEFINE_GUID(IID_IPort, "{B4C90A25-5791-11D0-86F9-00A0C911B544}");
KVX_DEFINE_GUID(IID_IMiniport, "{B4C90A24-5791-11D0-86F9-00A0C911B544}");
KVX_DEFINE_GUID(IID_IPortTopology, "{B4C90A30-5791-11D0-86F9-00A0C911B544}");
KVX_DEFINE_GUID(IID_IMiniportTopology, "{B4C90A31-5791-11D0-86F9-00A0C911B544}");
KVX_DEFINE_GUID(IID_IPortWaveCyclic, "{B4C90A26-5791-11D0-86F9-00A0C911B544}");
KVX_DEFINE_GUID(IID_IMiniportWaveCyclic, "{B4C90A27-5791-11D0-86F9-00A0C911B544}");
KVX_DEFINE_GUID(IID_IMiniportWaveCyclicStream, "{B4C90A28-5791-11D0-86F9-00A0C911B544}");
KVX_DEFINE_GUID(IID_IDmaChannel, "{22C6AC60-851B-11D0-9A7F-00AA0038ACFE}");
KVX_DEFINE_GUID(IID_IServiceSink, "{22C6AC64-851B-11D0-9A7F-00AA0038ACFE}");
KVX_DEFINE_GUID(IID_IServiceGroup, "{22C6AC65-851B-11D0-9A7F-00AA0038ACFE}");
KVX_DEFINE_GUID(IID_IResourceList, "{22C6AC61-851B-11D0-9A7F-00AA0038ACFE}");
KVX_DEFINE_GUID(IID_IPortEvents, "{A80F29C4-5498-11D2-95D9-00C04FB925D3}");
KVX_DEFINE_GUID(IID_IAdapterPowerManagement, "{793417D0-35FE-11D1-AD08-00A0C90AB1B0}");
KVX_DEFINE_GUID(IID_IPowerNotify, "{3DD648B8-969F-11D1-95A9-00C04FB925D3}");
KVX_DEFINE_GUID(IID_IPortClsVersion, "{7D89A7BB-869B-4567-8DBE-1E168CC853DE}");
KVX_DEFINE_GUID(IID_IUnregisterSubdevice, "{16738177-E199-41F9-9A87-ABB2A5432F21}");
KVX_DEFINE_GUID(IID_IUnregisterPhysicalConnection, "{6C38E231-2A0D-428D-81F8-07CC428BB4F7}");
KVX_DEFINE_GUID(IID_IDrmAudioStream, "{1915C967-3299-48CB-A3E4-69FD1D1B306E}");
KVX_DEFINE_GUID(IID_IMiniportAudioSignalProcessing, "{5F2A2D6B-6E1D-4A09-8B59-7C5A8C23E0F4}");

// The part of an adapter's device extension that PortCls keeps for itself.
constexpr ULONG PORT_CLASS_DEVICE_EXTENSION_SIZE = 512;

// Versions IPortClsVersion reports: they count up with each release of the port class; adapters
// check a minimum.
constexpr ULONG PORTCLS_VERSION_INVALID = 0xFFFFFFFF;
// What the stand-in reports until a test or the host sets another.
constexpr ULONG PORTCLS_VERSION_DEFAULT = 14;

// ---- automation tables and descriptors ----

struct PCPROPERTY_REQUEST;
struct PCMETHOD_REQUEST;
struct PCEVENT_REQUEST;
using PPCPROPERTY_REQUEST = PCPROPERTY_REQUEST*;
using PPCEVENT_REQUEST = PCEVENT_REQUEST*;
using PCPFNPROPERTY_HANDLER = NTSTATUS (*)(PPCPROPERTY_REQUEST PropertyRequest);
using PCPFNMETHOD_HANDLER = NTSTATUS (*)(PCMETHOD_REQUEST* MethodRequest);
using PCPFNEVENT_HANDLER = NTSTATUS (*)(PPCEVENT_REQUEST EventRequest);

constexpr ULONG PCPROPERTY_ITEM_FLAG_GET = KSPROPERTY_TYPE_GET;
constexpr ULONG PCPROPERTY_ITEM_FLAG_SET = KSPROPERTY_TYPE_SET;
constexpr ULONG PCPROPERTY_ITEM_FLAG_BASICSUPPORT = KSPROPERTY_TYPE_BASICSUPPORT;
constexpr ULONG PCPROPERTY_ITEM_FLAG_DEFAULTVALUES = KSPROPERTY_TYPE_DEFAULTVALUES;
constexpr ULONG PCPROPERTY_ITEM_FLAG_SERIALIZESET = KSPROPERTY_TYPE_SERIALIZESET;

constexpr ULONG PCEVENT_ITEM_FLAG_ENABLE = KSEVENT_TYPE_ENABLE;
constexpr ULONG PCEVENT_ITEM_FLAG_ONESHOT = KSEVENT_TYPE_ONESHOT;
constexpr ULONG PCEVENT_ITEM_FLAG_BASICSUPPORT = KSEVENT_TYPE_BASICSUPPORT;

constexpr ULONG PCEVENT_VERB_NONE = 0;
constexpr ULONG PCEVENT_VERB_ADD = 1;
constexpr ULONG PCEVENT_VERB_REMOVE = 2;
constexpr ULONG PCEVENT_VERB_SUPPORT = 4;

constexpr ULONG PCFILTER_NODE = KSFILTER_NODE;

struct PCPROPERTY_ITEM {
    const GUID* Set;
    ULONG Id;
    ULONG Flags;
    PCPFNPROPERTY_HANDLER Handler;
};
static_assert(sizeof(PCPROPERTY_ITEM) == 24, "PCPROPERTY_ITEM is 24 bytes");

struct PCMETHOD_ITEM {
    const GUID* Set;
    ULONG Id;
    ULONG Flags;
    PCPFNMETHOD_HANDLER Handler;
};
static_assert(sizeof(PCMETHOD_ITEM) == 24, "PCMETHOD_ITEM is 24 bytes");

struct PCEVENT_ITEM {
    const GUID* Set;
    ULONG Id;
    ULONG Flags;
    PCPFNEVENT_HANDLER Handler;
};
static_assert(sizeof(PCEVENT_ITEM) == 24, "PCEVENT_ITEM is 24 bytes");

struct PCAUTOMATION_TABLE {
    ULONG PropertyItemSize;
    ULONG PropertyCount;
    const PCPROPERTY_ITEM* Properties;
    ULONG MethodItemSize;
    ULONG MethodCount;
    const PCMETHOD_ITEM* Methods;
    ULONG EventItemSize;
    ULONG EventCount;
    const PCEVENT_ITEM* Events;
    ULONG Reserved;
};
using PPCAUTOMATION_TABLE = const PCAUTOMATION_TABLE*;
static_assert(sizeof(PCAUTOMATION_TABLE) == 56, "PCAUTOMATION_TABLE is 56 bytes");

struct PCPIN_DESCRIPTOR {
    ULONG MaxGlobalInstanceCount;
    ULONG MaxFilterInstanceCount;
    ULONG MinFilterInstanceCount;
    const PCAUTOMATION_TABLE* AutomationTable;
    KSPIN_DESCRIPTOR KsPinDescriptor;
};
using PPCPIN_DESCRIPTOR = PCPIN_DESCRIPTOR*;
static_assert(sizeof(PCPIN_DESCRIPTOR) == 112, "PCPIN_DESCRIPTOR is 112 bytes");

struct PCNODE_DESCRIPTOR {
    ULONG Flags;
    const PCAUTOMATION_TABLE* AutomationTable;
    const GUID* Type;
    const GUID* Name;
};
using PPCNODE_DESCRIPTOR = PCNODE_DESCRIPTOR*;
static_assert(sizeof(PCNODE_DESCRIPTOR) == 32, "PCNODE_DESCRIPTOR is 32 bytes");

struct PCCONNECTION_DESCRIPTOR {
    ULONG FromNode;
    ULONG FromNodePin;
    ULONG ToNode;
    ULONG ToNodePin;
};
using PPCCONNECTION_DESCRIPTOR = PCCONNECTION_DESCRIPTOR*;
static_assert(sizeof(PCCONNECTION_DESCRIPTOR) == 16, "PCCONNECTION_DESCRIPTOR is 16 bytes");

struct PCFILTER_DESCRIPTOR {
    ULONG Version;
    const PCAUTOMATION_TABLE* AutomationTable;
    ULONG PinSize;
    ULONG PinCount;
    const PCPIN_DESCRIPTOR* Pins;
    ULONG NodeSize;
    ULONG NodeCount;
    const PCNODE_DESCRIPTOR* Nodes;
    ULONG ConnectionCount;
    const PCCONNECTION_DESCRIPTOR* Connections;
    ULONG CategoryCount;
    const GUID* Categories;
};
using PPCFILTER_DESCRIPTOR = PCFILTER_DESCRIPTOR*;
static_assert(sizeof(PCFILTER_DESCRIPTOR) == 80, "PCFILTER_DESCRIPTOR is 80 bytes");

// What a property handler gets: the miniport (MajorTarget), the stream of a pin instance
// (MinorTarget, else null), the node (PCFILTER_NODE for filter and pin properties), the item,
// one verb, the instance data after the KSPROPERTY or KSNODEPROPERTY header, and the value buffer.
// A handler sets ValueSize to the bytes it produced or consumed.
struct PCPROPERTY_REQUEST {
    PUNKNOWN MajorTarget;
    PUNKNOWN MinorTarget;
    ULONG Node;
    const PCPROPERTY_ITEM* PropertyItem;
    ULONG Verb;
    ULONG InstanceSize;
    PVOID Instance;
    ULONG ValueSize;
    PVOID Value;
    PIRP Irp;
};
static_assert(sizeof(PCPROPERTY_REQUEST) == 72, "PCPROPERTY_REQUEST is 72 bytes");

struct PCMETHOD_REQUEST {
    PUNKNOWN MajorTarget;
    PUNKNOWN MinorTarget;
    ULONG Node;
    const PCMETHOD_ITEM* MethodItem;
    ULONG Verb;
};

struct PCEVENT_REQUEST {
    PUNKNOWN MajorTarget;
    PUNKNOWN MinorTarget;
    ULONG Node;
    const PCEVENT_ITEM* EventItem;
    PKSEVENT_ENTRY EventEntry;
    ULONG Verb;
    PIRP Irp;
};
static_assert(sizeof(PCEVENT_REQUEST) == 56, "PCEVENT_REQUEST is 56 bytes");

// ---- interfaces ----

struct CM_RESOURCE_LIST;

// The resources PnP assigned at start (a USB adapter has none).
class IResourceList : public IUnknown {
public:
    virtual ULONG NumberOfEntries() = 0;
    virtual PCM_RESOURCE_LIST TranslatedList() = 0;
    virtual PCM_RESOURCE_LIST UntranslatedList() = 0;

protected:
    ~IResourceList() = default;
};
using PRESOURCELIST = IResourceList*;

class IServiceSink : public IUnknown {
public:
    virtual VOID RequestService() = 0;

protected:
    ~IServiceSink() = default;
};
using PSERVICESINK = IServiceSink*;

// A group of sinks serviced together; RequestService services every member in the caller's
// context (the caller is a completion path at DISPATCH_LEVEL).
class IServiceGroup : public IServiceSink {
public:
    virtual NTSTATUS AddMember(PSERVICESINK pServiceSink) = 0;
    virtual VOID RemoveMember(PSERVICESINK pServiceSink) = 0;
    virtual VOID SupportDelayedService() = 0;
    // Services the group once the delay (100 ns units; negative is relative) has passed.
    virtual VOID RequestDelayedService(ULONGLONG ullDelay) = 0;
    virtual VOID CancelDelayedService() = 0;

protected:
    ~IServiceGroup() = default;
};
using PSERVICEGROUP = IServiceGroup*;

class IPort : public IUnknown {
public:
    // Keeps the miniport and calls its Init with the adapter's IUnknown and this port; a failure
    // is returned and the port keeps nothing.
    virtual NTSTATUS Init(PDEVICE_OBJECT DeviceObject, PIRP Irp, PUNKNOWN UnknownMiniport, PUNKNOWN UnknownAdapter,
                          PRESOURCELIST ResourceList) = 0;
    virtual NTSTATUS GetDeviceProperty(DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                                       PVOID PropertyBuffer, PULONG ResultLength) = 0;
    virtual NTSTATUS NewRegistryKey(PREGISTRYKEY* OutRegistryKey, PUNKNOWN OuterUnknown, ULONG RegistryKeyType,
                                    ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                                    ULONG CreateOptions, PULONG Disposition) = 0;

protected:
    ~IPort() = default;
};
using PPORT = IPort*;

class IMiniport : public IUnknown {
public:
    virtual NTSTATUS GetDescription(PPCFILTER_DESCRIPTOR* Description) = 0;
    virtual NTSTATUS DataRangeIntersection(ULONG PinId, PKSDATARANGE DataRange, PKSDATARANGE MatchingDataRange,
                                           ULONG OutputBufferLength, PVOID ResultantFormat,
                                           PULONG ResultantFormatLength) = 0;

protected:
    ~IMiniport() = default;
};
using PMINIPORT = IMiniport*;

class IPortTopology : public IPort {
protected:
    ~IPortTopology() = default;
};
using PPORTTOPOLOGY = IPortTopology*;

class IMiniportTopology : public IMiniport {
public:
    virtual NTSTATUS Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTTOPOLOGY Port) = 0;

protected:
    ~IMiniportTopology() = default;
};
using PMINIPORTTOPOLOGY = IMiniportTopology*;

using PLONGLONG = LONGLONG*;
using PHYSICAL_ADDRESS = LARGE_INTEGER;
using PPHYSICAL_ADDRESS = PHYSICAL_ADDRESS*;
struct ADAPTER_OBJECT;
using PADAPTER_OBJECT = ADAPTER_OBJECT*;

class IDmaChannel : public IUnknown {
public:
    virtual NTSTATUS AllocateBuffer(ULONG BufferSize, PPHYSICAL_ADDRESS PhysicalAddressConstraint) = 0;
    virtual VOID FreeBuffer() = 0;
    virtual ULONG TransferCount() = 0;
    virtual ULONG MaximumBufferSize() = 0;
    virtual ULONG AllocatedBufferSize() = 0;
    virtual ULONG BufferSize() = 0;
    virtual VOID SetBufferSize(ULONG BufferSize) = 0;
    virtual PVOID SystemAddress() = 0;
    virtual PHYSICAL_ADDRESS PhysicalAddress() = 0;
    virtual PADAPTER_OBJECT GetAdapterObject() = 0;
    virtual VOID CopyTo(PVOID Destination, PVOID Source, ULONG ByteCount) = 0;
    virtual VOID CopyFrom(PVOID Destination, PVOID Source, ULONG ByteCount) = 0;

protected:
    ~IDmaChannel() = default;
};
using PDMACHANNEL = IDmaChannel*;

enum KSSTATE : int { KSSTATE_STOP = 0, KSSTATE_ACQUIRE = 1, KSSTATE_PAUSE = 2, KSSTATE_RUN = 3 };

class IMiniportWaveCyclicStream : public IUnknown {
public:
    virtual NTSTATUS SetFormat(PKSDATAFORMAT DataFormat) = 0;
    virtual ULONG SetNotificationFreq(ULONG Interval, PULONG FrameSize) = 0;
    virtual NTSTATUS SetState(KSSTATE State) = 0;
    virtual NTSTATUS GetPosition(PULONG Position) = 0;
    virtual NTSTATUS NormalizePhysicalPosition(PLONGLONG PhysicalPosition) = 0;
    virtual VOID Silence(PVOID Buffer, ULONG ByteCount) = 0;

protected:
    ~IMiniportWaveCyclicStream() = default;
};
using PMINIPORTWAVECYCLICSTREAM = IMiniportWaveCyclicStream*;

// Content protection of one stream: the content id and its rights.
class IDrmAudioStream : public IUnknown {
public:
    virtual NTSTATUS SetContentId(ULONG ContentId, PVOID DrmRights) = 0;

protected:
    ~IDrmAudioStream() = default;
};
using PDRMAUDIOSTREAM = IDrmAudioStream*;

class IPortWaveCyclic : public IPort {
public:
    // Services the stream's group: the port's position notification.
    virtual VOID Notify(PSERVICEGROUP ServiceGroup) = 0;

protected:
    ~IPortWaveCyclic() = default;
};
using PPORTWAVECYCLIC = IPortWaveCyclic*;

class IMiniportWaveCyclic : public IMiniport {
public:
    virtual NTSTATUS Init(PUNKNOWN UnknownAdapter, PRESOURCELIST ResourceList, PPORTWAVECYCLIC Port) = 0;
    virtual NTSTATUS NewStream(PMINIPORTWAVECYCLICSTREAM* Stream, PUNKNOWN OuterUnknown, POOL_TYPE PoolType,
                               ULONG Pin, BOOLEAN Capture, PKSDATAFORMAT DataFormat, PDMACHANNEL* DmaChannel,
                               PSERVICEGROUP* ServiceGroup) = 0;

protected:
    ~IMiniportWaveCyclic() = default;
};
using PMINIPORTWAVECYCLIC = IMiniportWaveCyclic*;

// The signal-processing modes a miniport's pin supports.
class IMiniportAudioSignalProcessing : public IUnknown {
public:
    virtual NTSTATUS GetModes(ULONG Pin, GUID* SignalProcessingModes, ULONG* NumSignalProcessingModes) = 0;

protected:
    ~IMiniportAudioSignalProcessing() = default;
};
using PMINIPORTAUDIOSIGNALPROCESSING = IMiniportAudioSignalProcessing*;

class IPortEvents : public IUnknown {
public:
    // Lists an entry that an event handler accepted (PCEVENT_VERB_ADD).
    virtual VOID AddEventToEventList(PKSEVENT_ENTRY EventEntry) = 0;
    // Signals every listed entry of the set and id; a pin or node event only the entries of that
    // pin or node. Callable at DISPATCH_LEVEL.
    virtual VOID GenerateEventList(GUID* Set, ULONG EventId, BOOLEAN PinEvent, ULONG PinId, BOOLEAN NodeEvent,
                                   ULONG NodeId) = 0;

protected:
    ~IPortEvents() = default;
};
using PPORTEVENTS = IPortEvents*;

class IPowerNotify : public IUnknown {
public:
    virtual VOID PowerChangeNotify(POWER_STATE PowerState) = 0;

protected:
    ~IPowerNotify() = default;
};
using PPOWERNOTIFY = IPowerNotify*;

class IAdapterPowerManagement : public IUnknown {
public:
    virtual VOID PowerChangeState(POWER_STATE NewState) = 0;
    virtual NTSTATUS QueryPowerChangeState(POWER_STATE NewStateQuery) = 0;
    virtual NTSTATUS QueryDeviceCapabilities(PDEVICE_CAPABILITIES PowerDeviceCaps) = 0;

protected:
    ~IAdapterPowerManagement() = default;
};
using PADAPTERPOWERMANAGEMENT = IAdapterPowerManagement*;

class IPortClsVersion : public IUnknown {
public:
    virtual DWORD GetVersion() = 0;

protected:
    ~IPortClsVersion() = default;
};
using PPORTCLSVERSION = IPortClsVersion*;

class IUnregisterSubdevice : public IUnknown {
public:
    virtual NTSTATUS UnregisterSubdevice(PDEVICE_OBJECT DeviceObject, PUNKNOWN Unknown) = 0;

protected:
    ~IUnregisterSubdevice() = default;
};
using PUNREGISTERSUBDEVICE = IUnregisterSubdevice*;

class IUnregisterPhysicalConnection : public IUnknown {
public:
    virtual NTSTATUS UnregisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown, ULONG FromPin,
                                                  PUNKNOWN ToUnknown, ULONG ToPin) = 0;

protected:
    ~IUnregisterPhysicalConnection() = default;
};
using PUNREGISTERPHYSICALCONNECTION = IUnregisterPhysicalConnection*;

// ---- adapter functions ----

using PCPFNSTARTDEVICE = NTSTATUS (*)(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList);

// Installs PortCls's dispatch for every major function and the driver's AddDevice.
NTSTATUS PcInitializeAdapterDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                                   PDRIVER_ADD_DEVICE AddDevice);
// Creates the adapter's functional device object with a device extension of DeviceExtensionSize
// bytes (0: PORT_CLASS_DEVICE_EXTENSION_SIZE; smaller than that: STATUS_INVALID_PARAMETER) whose
// first PORT_CLASS_DEVICE_EXTENSION_SIZE bytes belong to PortCls, and attaches it on top of the
// physical device's stack. StartDevice runs when PnP starts the device; at most MaxObjects
// subdevices may be registered.
NTSTATUS PcAddAdapterDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                            PCPFNSTARTDEVICE StartDevice, ULONG MaxObjects, ULONG DeviceExtensionSize);
// PortCls's handling of any IRP sent to an adapter device: PnP (start, capabilities, removal),
// power, and the KS requests of the registered filters.
NTSTATUS PcDispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS PcCompleteIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS ntStatus);

// Creates a port of CLSID_PortTopology or CLSID_PortWaveCyclic (else STATUS_INVALID_PARAMETER).
NTSTATUS PcNewPort(PPORT* OutPort, REFCLSID ClassId);
// Registers an initialised port as a subdevice under a name unique on the device (a duplicate:
// STATUS_OBJECT_NAME_COLLISION; beyond the limit of PcAddAdapterDevice:
// STATUS_INSUFFICIENT_RESOURCES), and registers and enables its device interfaces.
NTSTATUS PcRegisterSubdevice(PDEVICE_OBJECT DeviceObject, PCWSTR Name, PUNKNOWN Unknown);
// Records that pin FromPin of one port's filter is wired to pin ToPin of another's.
NTSTATUS PcRegisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown, ULONG FromPin,
                                      PUNKNOWN ToUnknown, ULONG ToPin);
NTSTATUS PcNewServiceGroup(PSERVICEGROUP* OutServiceGroup, PUNKNOWN OuterUnknown);
// Unknown answers IAdapterPowerManagement; pvContext1 is the adapter's functional device object.
NTSTATUS PcRegisterAdapterPowerManagement(PUNKNOWN Unknown, PVOID pvContext1);

// Content protection: the stack below a device that carries protected content is told its id.
struct DRMFORWARD {
    DWORD Flags;
    PDEVICE_OBJECT DeviceObject;
    PFILE_OBJECT FileObject;
    PVOID Context;
};
using PDRMFORWARD = DRMFORWARD*;
// Records the forward (the stand-in has no content protection below it) and succeeds; a null
// record or one without a device object is STATUS_INVALID_PARAMETER.
NTSTATUS PcForwardContentToDeviceObject(ULONG ContentId, PVOID Reserved, PDRMFORWARD DrmForward);
