// The adapter device: PcInitializeAdapterDriver, PcAddAdapterDevice and the IRP dispatch that
// starts, powers and removes it; its subdevices, their device interfaces and the physical
// connections between them; the KS requests that reach its filters.
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "platform/nt/Irql.h"
#include "platform/nt/Pool.h"
#include "platform/nt/RtlString.h"
#include "platform/nt/Verifier.h"
#include "platform/portcls/PortClsHost.h"
#include "platform/portcls/PortClsInternal.h"
#include "platform/portcls/WavePinInternal.h"
#include "platform/registry/RegistryHost.h"
#include "platform/nt/RtlStringHost.h"
#include "platform/io/IoHost.h"

namespace platform {
namespace {

constexpr ULONG kResourceListTag = MakePoolTag("PcRl");
constexpr uint64_t kDeviceMagic = 0x6563697665446350ull;  // "PcDevice"

struct Subdevice {
    std::u16string Name;
    IPcSubdevice* Port;  // one reference
    std::vector<GUID> Categories;
    std::vector<UNICODE_STRING> Links;  // owned, one per category
};

struct Connection {
    IPcSubdevice* From;  // one reference each
    ULONG FromPin;
    IPcSubdevice* To;
    ULONG ToPin;
};

// PortCls's record of one adapter device; its address sits in the first bytes of the extension.
struct PcDevice {
    PDEVICE_OBJECT Fdo = nullptr;
    PDEVICE_OBJECT Pdo = nullptr;
    PDEVICE_OBJECT Lower = nullptr;
    PCPFNSTARTDEVICE StartDevice = nullptr;
    ULONG MaxObjects = 0;
    bool Started = false;
    bool SurpriseRemoved = false;
    IAdapterPowerManagement* Power = nullptr;  // one reference
    DEVICE_POWER_STATE PowerState = PowerDeviceD0;
    SYSTEM_POWER_STATE SystemState = PowerSystemWorking;
    std::mutex Lock;  // guards the vectors below
    std::vector<Subdevice> Subdevices;
    std::vector<Connection> Connections;
    std::vector<IPcSubdevice*> Ports;  // initialised on this device; no reference
};

// PortCls keeps its record of the device inside its part of the extension, so that a driver whose
// AddDevice fails after PcAddAdapterDevice only has to detach and delete the device object.
struct ExtensionHeader {
    uint64_t Magic;
    PcDevice* Device;
    alignas(PcDevice) unsigned char Storage[sizeof(PcDevice)];
};
static_assert(sizeof(ExtensionHeader) <= PORT_CLASS_DEVICE_EXTENSION_SIZE, "PortCls header fits its part");

PcDevice* DeviceOf(PDEVICE_OBJECT device)
{
    if (device == nullptr || device->DeviceExtension == nullptr ||
        device->Size < sizeof(DEVICE_OBJECT) + PORT_CLASS_DEVICE_EXTENSION_SIZE) {
        return nullptr;
    }
    auto* header = static_cast<ExtensionHeader*>(device->DeviceExtension);
    return header->Magic == kDeviceMagic ? header->Device : nullptr;
}

IPcSubdevice* SubdeviceOf(PUNKNOWN unknown)
{
    PVOID raw = nullptr;
    if (unknown == nullptr || !NT_SUCCESS(unknown->QueryInterface(IID_IPcSubdevice, &raw))) {
        return nullptr;
    }
    return static_cast<IPcSubdevice*>(raw);
}

// Categories of a filter: its descriptor's, or those its port class implies.
std::vector<GUID> CategoriesOf(IPcSubdevice* port)
{
    const PCFILTER_DESCRIPTOR* d = port->Descriptor();
    std::vector<GUID> categories;
    if (d->CategoryCount != 0 && d->Categories != nullptr) {
        categories.assign(d->Categories, d->Categories + d->CategoryCount);
        return categories;
    }
    categories.push_back(KSCATEGORY_AUDIO);
    if (IsEqualGUID(port->PortClass(), CLSID_PortTopology)) {
        categories.push_back(KSCATEGORY_TOPOLOGY);
        return categories;
    }
    bool render = false;
    bool capture = false;
    const ULONG stride = d->PinSize != 0 ? d->PinSize : sizeof(PCPIN_DESCRIPTOR);
    for (ULONG i = 0; i < d->PinCount; ++i) {
        const auto* pin = reinterpret_cast<const PCPIN_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(d->Pins) +
                                                                    static_cast<size_t>(i) * stride);
        const KSPIN_COMMUNICATION c = pin->KsPinDescriptor.Communication;
        if (c == KSPIN_COMMUNICATION_SINK || c == KSPIN_COMMUNICATION_BOTH) {
            (pin->KsPinDescriptor.DataFlow == KSPIN_DATAFLOW_IN ? render : capture) = true;
        }
    }
    if (render) categories.push_back(KSCATEGORY_RENDER);
    if (capture) categories.push_back(KSCATEGORY_CAPTURE);
    return categories;
}

void SetInterfaces(Subdevice& s, bool enable)
{
    for (auto& link : s.Links) {
        if (IoInterfaceState(ToU16(&link)) != (enable ? InterfaceState::Enabled : InterfaceState::Disabled)) {
            IoSetDeviceInterfaceState(&link, enable ? TRUE : FALSE);
        }
    }
}

void FreeInterfaces(Subdevice& s)
{
    SetInterfaces(s, false);
    for (auto& link : s.Links) {
        RtlFreeUnicodeString(&link);
    }
    s.Links.clear();
}

class ResourceList final : public IResourceList {
public:
    ResourceList(PCM_RESOURCE_LIST translated, PCM_RESOURCE_LIST untranslated)
        : m_translated(translated), m_untranslated(untranslated)
    {
    }
    NTSTATUS QueryInterface(REFIID iid, PVOID* ppvObject) override
    {
        if (ppvObject == nullptr) return STATUS_INVALID_PARAMETER;
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IResourceList)) {
            AddRef();
            *ppvObject = static_cast<IResourceList*>(this);
            return STATUS_SUCCESS;
        }
        *ppvObject = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    ULONG AddRef() override { return ++m_references; }
    ULONG Release() override
    {
        const ULONG left = --m_references;
        if (left == 0) {
            this->~ResourceList();
            ExFreePoolWithTag(this, kResourceListTag);
        }
        return left;
    }
    // USB adapters get no hardware resources; the stand-in's lists are always empty.
    ULONG NumberOfEntries() override { return 0; }
    PCM_RESOURCE_LIST TranslatedList() override { return m_translated; }
    PCM_RESOURCE_LIST UntranslatedList() override { return m_untranslated; }

private:
    std::atomic<ULONG> m_references{1};
    PCM_RESOURCE_LIST m_translated;
    PCM_RESOURCE_LIST m_untranslated;
};

NTSTATUS SignalOnCompletion(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the IRP down and waits for the lower drivers to finish with it; the IRP comes back to
// this driver, which completes it.
NTSTATUS ForwardAndWait(PcDevice* d, PIRP irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalOnCompletion, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(d->Lower, irp) == STATUS_PENDING) {
        // PnP and power requests are bounded by the lower drivers, which always complete them.
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    return irp->IoStatus.Status;
}

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PassDown(PcDevice* d, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(d->Lower, irp);
}

// Everything PortCls holds for the device goes: subdevices, connections, the ports' miniports,
// the power interface.
void TearDown(PcDevice* d)
{
    std::vector<Subdevice> subdevices;
    std::vector<Connection> connections;
    std::vector<IPcSubdevice*> ports;
    IAdapterPowerManagement* power = nullptr;
    {
        std::lock_guard<std::mutex> guard(d->Lock);
        subdevices.swap(d->Subdevices);
        connections.swap(d->Connections);
        for (IPcSubdevice* p : d->Ports) {
            p->AddRef();
            ports.push_back(p);
        }
        power = d->Power;
        d->Power = nullptr;
    }
    for (auto& s : subdevices) {
        FreeInterfaces(s);
    }
    for (auto& c : connections) {
        c.From->Release();
        c.To->Release();
    }
    for (IPcSubdevice* p : ports) {
        p->ReleaseChildren();
    }
    for (auto& s : subdevices) {
        s.Port->Release();
    }
    for (IPcSubdevice* p : ports) {
        p->Release();
    }
    if (power != nullptr) {
        power->Release();
    }
}

NTSTATUS DispatchPnp(PcDevice* d, PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE: {
        NTSTATUS status = ForwardAndWait(d, irp);
        if (NT_SUCCESS(status)) {
            void* memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ResourceList), kResourceListTag);
            if (memory == nullptr) {
                status = STATUS_INSUFFICIENT_RESOURCES;
            } else {
                auto* list = new (memory) ResourceList(stack->Parameters.StartDevice.AllocatedResourcesTranslated,
                                                       stack->Parameters.StartDevice.AllocatedResources);
                status = d->StartDevice != nullptr ? d->StartDevice(device, irp, list) : STATUS_SUCCESS;
                list->Release();
            }
            d->Started = NT_SUCCESS(status);
            if (d->Started) {
                d->PowerState = PowerDeviceD0;
            }
        }
        return CompleteWith(irp, status);
    }
    case IRP_MN_QUERY_CAPABILITIES: {
        NTSTATUS status = ForwardAndWait(d, irp);
        if (NT_SUCCESS(status) && d->Power != nullptr) {
            status = d->Power->QueryDeviceCapabilities(stack->Parameters.DeviceCapabilities.Capabilities);
        }
        return CompleteWith(irp, status);
    }
    case IRP_MN_SURPRISE_REMOVAL: {
        d->SurpriseRemoved = true;
        {
            std::lock_guard<std::mutex> guard(d->Lock);
            for (auto& s : d->Subdevices) {
                SetInterfaces(s, false);
            }
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(d, irp);
    }
    case IRP_MN_REMOVE_DEVICE: {
        TearDown(d);
        irp->IoStatus.Status = STATUS_SUCCESS;
        PDEVICE_OBJECT lower = d->Lower;
        const NTSTATUS status = PassDown(d, irp);
        auto* header = static_cast<ExtensionHeader*>(device->DeviceExtension);
        header->Magic = 0;
        header->Device = nullptr;
        d->~PcDevice();
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        return status;
    }
    case IRP_MN_STOP_DEVICE:
        d->Started = false;
        [[fallthrough]];
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(d, irp);
    default:
        return PassDown(d, irp);
    }
}

void NotifyPorts(PcDevice* d, POWER_STATE state)
{
    std::vector<IPcSubdevice*> ports;
    {
        std::lock_guard<std::mutex> guard(d->Lock);
        for (IPcSubdevice* p : d->Ports) {
            p->AddRef();
            ports.push_back(p);
        }
    }
    for (IPcSubdevice* p : ports) {
        p->PowerChangeNotify(state);
        p->Release();
    }
}

// A system set-power or query-power request: PortCls, the power policy owner, asks the stack for
// the device state that the stack's capabilities (with the adapter's word on them) give the system
// state, and completes the system request after it. Waking, the system request goes down first;
// going to sleep, the device state comes first.
NTSTATUS DispatchSystemPower(PcDevice* d, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const SYSTEM_POWER_STATE system = stack->Parameters.Power.State.SystemState;
    DEVICE_CAPABILITIES caps;
    const bool known = NT_SUCCESS(PcQueryLowerCapabilities(d->Lower, &caps)) &&
                       (d->Power == nullptr || NT_SUCCESS(d->Power->QueryDeviceCapabilities(&caps)));
    const DEVICE_POWER_STATE device = PcDeviceStateFor(known ? &caps : nullptr, system);
    NTSTATUS status;
    if (stack->MinorFunction == IRP_MN_QUERY_POWER) {
        status = PcRequestDevicePower(d->Pdo, IRP_MN_QUERY_POWER, device);
        if (NT_SUCCESS(status)) {
            status = ForwardAndWait(d, irp);
        }
    } else if (system == PowerSystemWorking) {
        status = ForwardAndWait(d, irp);
        if (NT_SUCCESS(status)) {
            status = PcRequestDevicePower(d->Pdo, IRP_MN_SET_POWER, device);
        }
    } else {
        status = PcRequestDevicePower(d->Pdo, IRP_MN_SET_POWER, device);
        if (NT_SUCCESS(status)) {
            status = ForwardAndWait(d, irp);
        }
    }
    if (NT_SUCCESS(status) && stack->MinorFunction == IRP_MN_SET_POWER) {
        d->SystemState = system;
        PoSetPowerState(d->Fdo, SystemPowerState, stack->Parameters.Power.State);
    }
    PoStartNextPowerIrp(irp);
    return CompleteWith(irp, status);
}

NTSTATUS DispatchPower(PcDevice* d, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.Power.Type == SystemPowerState && d->Started && d->Pdo != nullptr &&
        (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER)) {
        return DispatchSystemPower(d, irp);
    }
    if (stack->Parameters.Power.Type != DevicePowerState ||
        (stack->MinorFunction != IRP_MN_SET_POWER && stack->MinorFunction != IRP_MN_QUERY_POWER)) {
        PoStartNextPowerIrp(irp);
        return PassDown(d, irp);
    }
    const POWER_STATE state = stack->Parameters.Power.State;
    if (stack->MinorFunction == IRP_MN_QUERY_POWER) {
        if (d->Power != nullptr) {
            const NTSTATUS status = d->Power->QueryPowerChangeState(state);
            if (!NT_SUCCESS(status)) {
                PoStartNextPowerIrp(irp);
                return CompleteWith(irp, status);
            }
        }
        irp->IoStatus.Status = STATUS_SUCCESS;
        PoStartNextPowerIrp(irp);
        return PassDown(d, irp);
    }
    // Powering up: the lower drivers first; powering down: the adapter first.
    if (state.DeviceState == PowerDeviceD0) {
        const NTSTATUS status = ForwardAndWait(d, irp);
        if (NT_SUCCESS(status) && d->PowerState != PowerDeviceD0) {
            if (d->Power != nullptr) d->Power->PowerChangeState(state);
            NotifyPorts(d, state);
            d->PowerState = PowerDeviceD0;
            PoSetPowerState(d->Fdo, DevicePowerState, state);
        }
        PoStartNextPowerIrp(irp);
        return CompleteWith(irp, status);
    }
    if (state.DeviceState != d->PowerState) {
        NotifyPorts(d, state);
        if (d->Power != nullptr) d->Power->PowerChangeState(state);
        d->PowerState = state.DeviceState;
        PoSetPowerState(d->Fdo, DevicePowerState, state);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    PoStartNextPowerIrp(irp);
    return PassDown(d, irp);
}

IPcSubdevice* FindByName(PcDevice* d, std::u16string_view name)
{
    std::lock_guard<std::mutex> guard(d->Lock);
    for (auto& s : d->Subdevices) {
        if (EqualTextNoCase(s.Name, name)) {
            s.Port->AddRef();
            return s.Port;
        }
    }
    return nullptr;
}

// Create and close of a filter: the file name is "\" and the subdevice's name; the file object
// then carries the port (one reference) until it is closed. A create relative to a filter's file
// object makes a pin instance, whose file object then takes the pin's requests.
NTSTATUS DispatchKs(PcDevice* d, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = stack->FileObject;
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE: {
        if (file != nullptr && file->RelatedFileObject != nullptr) {
            // A pin instance of the filter open on the related file object.
            return PcDispatchPinCreate(irp, file);
        }
        if (file == nullptr || file->FileName.Length == 0) {
            return CompleteWith(irp, STATUS_SUCCESS);
        }
        std::u16string name = ToU16(&file->FileName);
        if (!name.empty() && name[0] == u'\\') name.erase(0, 1);
        IPcSubdevice* port = FindByName(d, name);
        if (port == nullptr) {
            return CompleteWith(irp, STATUS_OBJECT_NAME_NOT_FOUND);
        }
        file->FsContext = port;
        return CompleteWith(irp, STATUS_SUCCESS);
    }
    case IRP_MJ_CLOSE:
        if (PcIsPinFile(file)) {
            return PcDispatchPinClose(irp, file);
        }
        if (file != nullptr && file->FsContext != nullptr) {
            static_cast<IPcSubdevice*>(file->FsContext)->Release();
            file->FsContext = nullptr;
        }
        return CompleteWith(irp, STATUS_SUCCESS);
    case IRP_MJ_DEVICE_CONTROL: {
        irp->IoStatus.Information = 0;
        if (file == nullptr || file->FsContext == nullptr) {
            return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
        }
        if (PcIsPinFile(file)) {
            return PcDispatchPinControl(irp, file);
        }
        auto* port = static_cast<IPcSubdevice*>(file->FsContext);
        const auto& io = stack->Parameters.DeviceIoControl;
        NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
        if (io.IoControlCode == IOCTL_KS_PROPERTY) {
            ULONG size = io.OutputBufferLength;
            status = port->PropertyRequest(io.Type3InputBuffer, io.InputBufferLength, irp->UserBuffer, &size, irp);
            irp->IoStatus.Information = size;
        } else if (io.IoControlCode == IOCTL_KS_ENABLE_EVENT) {
            status = port->EnableEvent(io.Type3InputBuffer, io.InputBufferLength,
                                       static_cast<PKSEVENTDATA>(irp->UserBuffer), io.OutputBufferLength, irp);
        } else if (io.IoControlCode == IOCTL_KS_DISABLE_EVENT) {
            status = io.InputBufferLength < sizeof(KSEVENTDATA)
                         ? STATUS_BUFFER_TOO_SMALL
                         : port->DisableEvent(static_cast<PKSEVENTDATA>(io.Type3InputBuffer), irp);
        }
        return CompleteWith(irp, status);
    }
    default:
        return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

VOID PcUnload(PDRIVER_OBJECT) {}

}  // namespace

// ---- what ports need of the device ----

void PcDeviceNotePort(PDEVICE_OBJECT device, IPcSubdevice* port)
{
    PcDevice* d = DeviceOf(device);
    if (d == nullptr) return;
    std::lock_guard<std::mutex> guard(d->Lock);
    d->Ports.push_back(port);
}

void PcDeviceForgetPort(PDEVICE_OBJECT device, IPcSubdevice* port)
{
    PcDevice* d = DeviceOf(device);
    if (d == nullptr) return;
    std::lock_guard<std::mutex> guard(d->Lock);
    for (auto it = d->Ports.begin(); it != d->Ports.end(); ++it) {
        if (*it == port) {
            d->Ports.erase(it);
            return;
        }
    }
}

NTSTATUS PcDeviceUnregisterSubdevice(PDEVICE_OBJECT device, PUNKNOWN unknown)
{
    PcDevice* d = DeviceOf(device);
    IPcSubdevice* port = SubdeviceOf(unknown);
    if (d == nullptr || port == nullptr) {
        if (port != nullptr) port->Release();
        return STATUS_INVALID_PARAMETER;
    }
    Subdevice found{};
    bool haveIt = false;
    std::vector<Connection> dropped;
    {
        std::lock_guard<std::mutex> guard(d->Lock);
        for (auto it = d->Subdevices.begin(); it != d->Subdevices.end(); ++it) {
            if (it->Port == port) {
                found = std::move(*it);
                d->Subdevices.erase(it);
                haveIt = true;
                break;
            }
        }
        if (haveIt) {
            // Connections cannot outlive the filter they name.
            for (auto it = d->Connections.begin(); it != d->Connections.end();) {
                if (it->From == port || it->To == port) {
                    dropped.push_back(*it);
                    it = d->Connections.erase(it);
                } else {
                    ++it;
                }
            }
        }
    }
    if (!haveIt) {
        port->Release();
        return STATUS_NOT_FOUND;
    }
    FreeInterfaces(found);
    for (auto& c : dropped) {
        c.From->Release();
        c.To->Release();
    }
    port->ReleaseChildren();
    found.Port->Release();
    port->Release();
    return STATUS_SUCCESS;
}

NTSTATUS PcDeviceUnregisterConnection(PDEVICE_OBJECT device, PUNKNOWN from, ULONG fromPin, PUNKNOWN to, ULONG toPin)
{
    PcDevice* d = DeviceOf(device);
    IPcSubdevice* fromPort = SubdeviceOf(from);
    IPcSubdevice* toPort = SubdeviceOf(to);
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    Connection found{};
    if (d != nullptr && fromPort != nullptr && toPort != nullptr) {
        status = STATUS_NOT_FOUND;
        std::lock_guard<std::mutex> guard(d->Lock);
        for (auto it = d->Connections.begin(); it != d->Connections.end(); ++it) {
            if (it->From == fromPort && it->FromPin == fromPin && it->To == toPort && it->ToPin == toPin) {
                found = *it;
                d->Connections.erase(it);
                status = STATUS_SUCCESS;
                break;
            }
        }
    }
    if (NT_SUCCESS(status)) {
        found.From->Release();
        found.To->Release();
    }
    if (fromPort != nullptr) fromPort->Release();
    if (toPort != nullptr) toPort->Release();
    return status;
}

// ---- host view ----

bool PcIsAdapterDevice(PDEVICE_OBJECT device) { return DeviceOf(device) != nullptr; }

std::vector<PcSubdeviceInfo> PcSubdevices(PDEVICE_OBJECT adapterDevice)
{
    std::vector<PcSubdeviceInfo> out;
    PcDevice* d = DeviceOf(adapterDevice);
    if (d == nullptr) return out;
    std::lock_guard<std::mutex> guard(d->Lock);
    for (auto& s : d->Subdevices) {
        PcSubdeviceInfo info{s.Name, static_cast<PUNKNOWN>(s.Port), s.Port->PortClass(), s.Categories, {}};
        for (auto& link : s.Links) info.SymbolicLinks.push_back(ToU16(&link));
        out.push_back(std::move(info));
    }
    return out;
}

std::vector<PcConnectionInfo> PcPhysicalConnections(PDEVICE_OBJECT adapterDevice)
{
    std::vector<PcConnectionInfo> out;
    PcDevice* d = DeviceOf(adapterDevice);
    if (d == nullptr) return out;
    std::lock_guard<std::mutex> guard(d->Lock);
    auto nameOf = [d](IPcSubdevice* p) {
        for (auto& s : d->Subdevices) {
            if (s.Port == p) return s.Name;
        }
        return std::u16string();
    };
    for (auto& c : d->Connections) {
        out.push_back({nameOf(c.From), c.FromPin, nameOf(c.To), c.ToPin});
    }
    return out;
}

const PCFILTER_DESCRIPTOR* PcFilterDescriptor(PDEVICE_OBJECT adapterDevice, std::u16string_view name)
{
    PcDevice* d = DeviceOf(adapterDevice);
    if (d == nullptr) return nullptr;
    IPcSubdevice* port = FindByName(d, name);
    if (port == nullptr) return nullptr;
    const PCFILTER_DESCRIPTOR* descriptor = port->Descriptor();
    port->Release();  // the registration keeps it alive
    return descriptor;
}

ULONG PcMaxSubdevices(PDEVICE_OBJECT adapterDevice)
{
    PcDevice* d = DeviceOf(adapterDevice);
    return d == nullptr ? 0 : d->MaxObjects;
}

bool PcIsStarted(PDEVICE_OBJECT adapterDevice)
{
    PcDevice* d = DeviceOf(adapterDevice);
    return d != nullptr && d->Started;
}

PUNKNOWN PcAdapterPowerManagement(PDEVICE_OBJECT adapterDevice)
{
    PcDevice* d = DeviceOf(adapterDevice);
    return d == nullptr ? nullptr : d->Power;
}

}  // namespace platform

using platform::PcDevice;

NTSTATUS PcInitializeAdapterDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPathName,
                                   PDRIVER_ADD_DEVICE AddDevice)
{
    UNREFERENCED_PARAMETER(RegistryPathName);
    platform::IrqlCheckAtMost(PASSIVE_LEVEL, "PcInitializeAdapterDriver");
    if (DriverObject == nullptr || AddDevice == nullptr || DriverObject->DriverExtension == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    DriverObject->DriverExtension->AddDevice = AddDevice;
    for (auto& routine : DriverObject->MajorFunction) {
        routine = PcDispatchIrp;
    }
    if (DriverObject->DriverUnload == nullptr) {
        DriverObject->DriverUnload = platform::PcUnload;
    }
    return STATUS_SUCCESS;
}

NTSTATUS PcAddAdapterDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                            PCPFNSTARTDEVICE StartDevice, ULONG MaxObjects, ULONG DeviceExtensionSize)
{
    platform::IrqlCheckAtMost(PASSIVE_LEVEL, "PcAddAdapterDevice");
    if (DriverObject == nullptr || PhysicalDeviceObject == nullptr || StartDevice == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (DeviceExtensionSize == 0) {
        DeviceExtensionSize = PORT_CLASS_DEVICE_EXTENSION_SIZE;
    } else if (DeviceExtensionSize < PORT_CLASS_DEVICE_EXTENSION_SIZE) {
        return STATUS_INVALID_PARAMETER;
    }
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, DeviceExtensionSize, nullptr, FILE_DEVICE_KS,
                                     FILE_AUTOGENERATED_DEVICE_NAME | FILE_DEVICE_SECURE_OPEN, FALSE, &fdo);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(fdo, PhysicalDeviceObject);
    if (lower == nullptr) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    auto* header = static_cast<platform::ExtensionHeader*>(fdo->DeviceExtension);
    auto* d = new (header->Storage) PcDevice();
    d->Fdo = fdo;
    d->Pdo = PhysicalDeviceObject;
    d->Lower = lower;
    d->StartDevice = StartDevice;
    d->MaxObjects = MaxObjects;
    header->Magic = platform::kDeviceMagic;
    header->Device = d;
    fdo->Flags |= DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS PcDispatchIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PcDevice* d = platform::DeviceOf(DeviceObject);
    if (d == nullptr) {
        platform::VerifierFault("PC_NOT_ADAPTER_DEVICE", "PcDispatchIrp with device %p, which is not an adapter device",
                                static_cast<void*>(DeviceObject));
        return platform::CompleteWith(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
    case IRP_MJ_PNP:
        return platform::DispatchPnp(d, DeviceObject, Irp);
    case IRP_MJ_POWER:
        return platform::DispatchPower(d, Irp);
    case IRP_MJ_CREATE:
    case IRP_MJ_CLOSE:
    case IRP_MJ_DEVICE_CONTROL:
        return platform::DispatchKs(d, Irp);
    case IRP_MJ_CLEANUP:
        // The last handle of a file went; the close follows once its requests are done.
        return platform::CompleteWith(Irp, STATUS_SUCCESS);
    case IRP_MJ_SYSTEM_CONTROL:
        return platform::PassDown(d, Irp);
    default:
        return platform::CompleteWith(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS PcCompleteIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp, NTSTATUS ntStatus)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = ntStatus;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return ntStatus;
}

NTSTATUS PcRegisterSubdevice(PDEVICE_OBJECT DeviceObject, PCWSTR Name, PUNKNOWN Unknown)
{
    platform::IrqlCheckAtMost(PASSIVE_LEVEL, "PcRegisterSubdevice");
    PcDevice* d = platform::DeviceOf(DeviceObject);
    if (d == nullptr || Name == nullptr || Name[0] == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    platform::IPcSubdevice* port = platform::SubdeviceOf(Unknown);
    if (port == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (port->Descriptor() == nullptr) {
        port->Release();
        return STATUS_INVALID_DEVICE_STATE;
    }
    platform::Subdevice s{std::u16string(Name), port, platform::CategoriesOf(port), {}};
    {
        std::lock_guard<std::mutex> guard(d->Lock);
        for (auto& other : d->Subdevices) {
            if (platform::EqualTextNoCase(other.Name, s.Name)) {
                port->Release();
                return STATUS_OBJECT_NAME_COLLISION;
            }
            if (other.Port == port) {
                port->Release();
                return STATUS_INVALID_DEVICE_STATE;
            }
        }
        if (d->Subdevices.size() >= d->MaxObjects) {
            port->Release();
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    UNICODE_STRING reference;
    RtlInitUnicodeString(&reference, Name);
    for (const GUID& category : s.Categories) {
        UNICODE_STRING link{};
        const NTSTATUS status = IoRegisterDeviceInterface(d->Pdo, &category, &reference, &link);
        if (!NT_SUCCESS(status)) {
            platform::FreeInterfaces(s);
            port->Release();
            return status;
        }
        s.Links.push_back(link);
    }
    if (!d->SurpriseRemoved) {
        platform::SetInterfaces(s, true);
    }
    std::lock_guard<std::mutex> guard(d->Lock);
    d->Subdevices.push_back(std::move(s));
    return STATUS_SUCCESS;
}

NTSTATUS PcRegisterPhysicalConnection(PDEVICE_OBJECT DeviceObject, PUNKNOWN FromUnknown, ULONG FromPin,
                                      PUNKNOWN ToUnknown, ULONG ToPin)
{
    platform::IrqlCheckAtMost(PASSIVE_LEVEL, "PcRegisterPhysicalConnection");
    PcDevice* d = platform::DeviceOf(DeviceObject);
    platform::IPcSubdevice* from = platform::SubdeviceOf(FromUnknown);
    platform::IPcSubdevice* to = platform::SubdeviceOf(ToUnknown);
    auto pinValid = [](platform::IPcSubdevice* p, ULONG pin) {
        const PCFILTER_DESCRIPTOR* desc = p->Descriptor();
        return desc != nullptr && pin < desc->PinCount;
    };
    if (d == nullptr || from == nullptr || to == nullptr || !pinValid(from, FromPin) || !pinValid(to, ToPin)) {
        if (from != nullptr) from->Release();
        if (to != nullptr) to->Release();
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(d->Lock);
    for (auto& c : d->Connections) {
        if (c.From == from && c.FromPin == FromPin && c.To == to && c.ToPin == ToPin) {
            from->Release();
            to->Release();
            return STATUS_OBJECT_NAME_COLLISION;
        }
    }
    d->Connections.push_back({from, FromPin, to, ToPin});
    return STATUS_SUCCESS;
}

NTSTATUS PcRegisterAdapterPowerManagement(PUNKNOWN Unknown, PVOID pvContext1)
{
    platform::IrqlCheckAtMost(PASSIVE_LEVEL, "PcRegisterAdapterPowerManagement");
    PcDevice* d = platform::DeviceOf(static_cast<PDEVICE_OBJECT>(pvContext1));
    if (d == nullptr || Unknown == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    PVOID raw = nullptr;
    const NTSTATUS status = Unknown->QueryInterface(IID_IAdapterPowerManagement, &raw);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    IAdapterPowerManagement* old = d->Power;
    d->Power = static_cast<IAdapterPowerManagement*>(raw);
    if (old != nullptr) {
        old->Release();
    }
    return STATUS_SUCCESS;
}
