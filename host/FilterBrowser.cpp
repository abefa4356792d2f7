#include "host/FilterBrowser.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/nt/Ob.h"
#include "platform/nt/RtlString.h"
#include "platform/io/IoHost.h"

namespace host {

FilterBrowser::~FilterBrowser()
{
    // Newest first: an object opened relative to another goes before it.
    const std::vector<PFILE_OBJECT> open(m_open.rbegin(), m_open.rend());
    for (PFILE_OBJECT f : open) {
        Close(f);
    }
}

std::vector<std::u16string> FilterBrowser::FiltersOfCategory(const GUID& category) const
{
    std::vector<std::u16string> names;
    for (const auto& f : Filters()) {
        for (size_t i = 0; i < f.Categories.size(); ++i) {
            if (IsEqualGUID(f.Categories[i], category) &&
                platform::IoInterfaceState(f.SymbolicLinks[i]) == platform::InterfaceState::Enabled) {
                names.push_back(f.Name);
            }
        }
    }
    return names;
}

std::optional<FilterDescription> FilterBrowser::Describe(std::u16string_view name) const
{
    const PCFILTER_DESCRIPTOR* d = platform::PcFilterDescriptor(m_device, name);
    if (d == nullptr) {
        return std::nullopt;
    }
    FilterDescription out;
    const ULONG pinStride = d->PinSize != 0 ? d->PinSize : sizeof(PCPIN_DESCRIPTOR);
    for (ULONG i = 0; i < d->PinCount; ++i) {
        const auto* pin = reinterpret_cast<const PCPIN_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(d->Pins) +
                                                                    static_cast<size_t>(i) * pinStride);
        const KSPIN_DESCRIPTOR& ks = pin->KsPinDescriptor;
        out.Pins.push_back({ks.DataFlow, ks.Communication, ks.Category != nullptr ? *ks.Category : GUID_NULL,
                            ks.DataRangesCount, ks.Name != nullptr ? *ks.Name : GUID_NULL});
    }
    const ULONG nodeStride = d->NodeSize != 0 ? d->NodeSize : sizeof(PCNODE_DESCRIPTOR);
    for (ULONG i = 0; i < d->NodeCount; ++i) {
        const auto* node = reinterpret_cast<const PCNODE_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(d->Nodes) +
                                                                      static_cast<size_t>(i) * nodeStride);
        out.Nodes.push_back({node->Type != nullptr ? *node->Type : GUID_NULL,
                             node->Name != nullptr ? *node->Name : GUID_NULL});
    }
    if (d->Connections != nullptr) {
        out.Connections.assign(d->Connections, d->Connections + d->ConnectionCount);
    }
    if (d->Categories != nullptr) {
        out.Categories.assign(d->Categories, d->Categories + d->CategoryCount);
    }
    return out;
}

NTSTATUS FilterBrowser::Send(PFILE_OBJECT filter, UCHAR major, ULONG code, const void* input, ULONG inputSize,
                             void* output, ULONG outputSize, ULONG_PTR* information)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(m_device);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    irp->UserEvent = &done;
    irp->UserIosb = &iosb;
    irp->UserBuffer = output;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION stack = platform::IoPrepareNextStackLocation(irp, major, 0, filter);
    if (major == IRP_MJ_DEVICE_CONTROL) {
        stack->Parameters.DeviceIoControl.IoControlCode = code;
        stack->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
        stack->Parameters.DeviceIoControl.InputBufferLength = inputSize;
        stack->Parameters.DeviceIoControl.OutputBufferLength = outputSize;
    }
    if (IoCallDriver(top, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    IoFreeIrp(irp);
    ObDereferenceObject(top);
    if (information != nullptr) {
        *information = iosb.Information;
    }
    return iosb.Status;
}

PFILE_OBJECT FilterBrowser::Open(std::u16string_view name, NTSTATUS* status)
{
    PDEVICE_OBJECT top = IoGetAttachedDevice(m_device);
    PFILE_OBJECT file = platform::IoCreateFileObject(top, u"\\" + std::u16string(name));
    NTSTATUS result = file == nullptr ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
    if (file != nullptr) {
        result = Send(file, IRP_MJ_CREATE, 0, nullptr, 0, nullptr, 0, nullptr);
        if (!NT_SUCCESS(result)) {
            platform::IoDeleteFileObject(file);
            file = nullptr;
        }
    }
    if (status != nullptr) {
        *status = result;
    }
    if (file != nullptr) {
        m_open.push_back(file);
    }
    return file;
}

PFILE_OBJECT FilterBrowser::OpenRelated(PFILE_OBJECT parent, std::u16string_view name, NTSTATUS* status)
{
    PDEVICE_OBJECT top = IoGetAttachedDevice(m_device);
    PFILE_OBJECT file = platform::IoCreateFileObject(top, name);
    NTSTATUS result = file == nullptr ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
    if (file != nullptr) {
        file->RelatedFileObject = parent;
        result = Send(file, IRP_MJ_CREATE, 0, nullptr, 0, nullptr, 0, nullptr);
        if (!NT_SUCCESS(result)) {
            platform::IoDeleteFileObject(file);
            file = nullptr;
        }
    }
    if (status != nullptr) {
        *status = result;
    }
    if (file != nullptr) {
        m_open.push_back(file);
    }
    return file;
}

NTSTATUS FilterBrowser::Close(PFILE_OBJECT filter)
{
    auto it = std::find(m_open.begin(), m_open.end(), filter);
    if (it == m_open.end()) {
        return STATUS_INVALID_HANDLE;
    }
    m_open.erase(it);
    const NTSTATUS status = Send(filter, IRP_MJ_CLOSE, 0, nullptr, 0, nullptr, 0, nullptr);
    platform::IoDeleteFileObject(filter);
    return status;
}

KsResult FilterBrowser::RawProperty(PFILE_OBJECT filter, const void* input, ULONG inputSize, void* value,
                                    ULONG valueSize)
{
    ULONG_PTR information = 0;
    const NTSTATUS status =
        Send(filter, IRP_MJ_DEVICE_CONTROL, IOCTL_KS_PROPERTY, input, inputSize, value, valueSize, &information);
    return {status, static_cast<ULONG>(information)};
}

namespace {

// The request header and instance bytes as the audio stack lays them out.
std::vector<uint8_t> BuildHeader(KsTarget target, const GUID& set, ULONG id, ULONG flags, const void* instance,
                                 ULONG instanceSize, bool isEvent)
{
    std::vector<uint8_t> input;
    KSIDENTIFIER header{set, id, flags};
    if (target.What == KsTarget::Kind::Node) {
        header.Flags |= isEvent ? KSEVENT_TYPE_TOPOLOGY : KSPROPERTY_TYPE_TOPOLOGY;
        KSNODEPROPERTY node{header, target.Id, 0};
        input.resize(sizeof node);
        std::memcpy(input.data(), &node, sizeof node);
    } else if (target.What == KsTarget::Kind::Pin) {
        KSP_PIN pin{header, target.Id, 0};
        input.resize(sizeof pin);
        std::memcpy(input.data(), &pin, sizeof pin);
    } else {
        input.resize(sizeof header);
        std::memcpy(input.data(), &header, sizeof header);
    }
    if (instanceSize != 0) {
        const auto* bytes = static_cast<const uint8_t*>(instance);
        input.insert(input.end(), bytes, bytes + instanceSize);
    }
    return input;
}

}  // namespace

KsResult FilterBrowser::Property(PFILE_OBJECT filter, KsTarget target, const GUID& set, ULONG id, ULONG verb,
                                 void* value, ULONG valueSize, const void* instance, ULONG instanceSize)
{
    std::vector<uint8_t> input = BuildHeader(target, set, id, verb, instance, instanceSize, false);
    return RawProperty(filter, input.data(), static_cast<ULONG>(input.size()), value, valueSize);
}

std::vector<uint8_t> FilterBrowser::DescribeProperty(PFILE_OBJECT filter, KsTarget target, const GUID& set, ULONG id,
                                                     NTSTATUS* status)
{
    std::vector<uint8_t> reply(sizeof(KSPROPERTY_DESCRIPTION));
    KsResult r = Property(filter, target, set, id, KSPROPERTY_TYPE_BASICSUPPORT, reply.data(),
                          static_cast<ULONG>(reply.size()));
    if (NT_SUCCESS(r.Status) && r.Bytes == sizeof(KSPROPERTY_DESCRIPTION)) {
        KSPROPERTY_DESCRIPTION d;
        std::memcpy(&d, reply.data(), sizeof d);
        if (d.DescriptionSize > sizeof d) {
            reply.resize(d.DescriptionSize);
            r = Property(filter, target, set, id, KSPROPERTY_TYPE_BASICSUPPORT, reply.data(),
                         static_cast<ULONG>(reply.size()));
        }
    }
    if (status != nullptr) *status = r.Status;
    if (!NT_SUCCESS(r.Status)) return {};
    reply.resize(r.Bytes);
    return reply;
}

std::vector<uint8_t> FilterBrowser::GetList(PFILE_OBJECT filter, KsTarget target, const GUID& set, ULONG id,
                                            NTSTATUS* status, const void* instance, ULONG instanceSize)
{
    KsResult r = Property(filter, target, set, id, KSPROPERTY_TYPE_GET, nullptr, 0, instance, instanceSize);
    std::vector<uint8_t> reply;
    if (r.Status == STATUS_BUFFER_OVERFLOW) {
        reply.resize(r.Bytes);
        r = Property(filter, target, set, id, KSPROPERTY_TYPE_GET, reply.data(), static_cast<ULONG>(reply.size()),
                     instance, instanceSize);
    }
    if (status != nullptr) *status = r.Status;
    if (!NT_SUCCESS(r.Status)) return {};
    reply.resize(r.Bytes);
    return reply;
}

NTSTATUS FilterBrowser::EnableEvent(PFILE_OBJECT filter, KsTarget target, const GUID& set, ULONG id,
                                    KSEVENTDATA* data)
{
    std::vector<uint8_t> input = BuildHeader(target, set, id, KSEVENT_TYPE_ENABLE, nullptr, 0, true);
    return Send(filter, IRP_MJ_DEVICE_CONTROL, IOCTL_KS_ENABLE_EVENT, input.data(),
                static_cast<ULONG>(input.size()), data, sizeof(KSEVENTDATA), nullptr);
}

NTSTATUS FilterBrowser::DisableEvent(PFILE_OBJECT filter, KSEVENTDATA* data)
{
    return Send(filter, IRP_MJ_DEVICE_CONTROL, IOCTL_KS_DISABLE_EVENT, data, sizeof(KSEVENTDATA), nullptr, 0,
                nullptr);
}

}  // namespace host

namespace host {

std::string GuidText(const GUID& g)
{
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

namespace {

std::string Endpoint(ULONG node, ULONG pin)
{
    return (node == KSFILTER_NODE ? std::string("filter") : "node " + std::to_string(node)) + " pin " +
           std::to_string(pin);
}

// The standard property that carries a node's values, by node type (and name for tones).
bool ValueProperty(const NodeInfo& node, ULONG* id, bool* level)
{
    *level = false;
    if (node.Type == KSNODETYPE_MUTE) {
        *id = KSPROPERTY_AUDIO_MUTE;
    } else if (node.Type == KSNODETYPE_AGC) {
        *id = KSPROPERTY_AUDIO_AGC;
    } else if (node.Type == KSNODETYPE_LOUDNESS) {
        *id = KSPROPERTY_AUDIO_LOUDNESS;
    } else if (node.Type == KSNODETYPE_VOLUME) {
        *id = KSPROPERTY_AUDIO_VOLUMELEVEL;
        *level = true;
    } else if (node.Type == KSNODETYPE_TONE) {
        *level = true;
        if (node.Name == KSAUDFNAME_BASS) {
            *id = KSPROPERTY_AUDIO_BASS;
        } else if (node.Name == KSAUDFNAME_TREBLE) {
            *id = KSPROPERTY_AUDIO_TREBLE;
        } else {
            *id = KSPROPERTY_AUDIO_MID;
        }
    } else if (node.Type == KSNODETYPE_MUX) {
        *id = KSPROPERTY_AUDIO_MUX_SOURCE;
    } else {
        return false;
    }
    return true;
}

}  // namespace

std::string FilterBrowser::DumpTopology(std::u16string_view name)
{
    const std::optional<FilterDescription> d = Describe(name);
    if (!d) {
        return "no filter\n";
    }
    std::string out;
    for (size_t i = 0; i < d->Pins.size(); ++i) {
        const PinInfo& p = d->Pins[i];
        out += "pin " + std::to_string(i) + (p.DataFlow == KSPIN_DATAFLOW_OUT ? " out" : " in") + " category " +
               GuidText(p.Category) + (p.Name == GUID_NULL ? "" : " name " + GuidText(p.Name)) + "\n";
    }
    for (size_t i = 0; i < d->Nodes.size(); ++i) {
        const NodeInfo& n = d->Nodes[i];
        out += "node " + std::to_string(i) + " type " + GuidText(n.Type) +
               (n.Name == GUID_NULL ? "" : " name " + GuidText(n.Name)) + "\n";
    }
    for (const PCCONNECTION_DESCRIPTOR& c : d->Connections) {
        out += "connection " + Endpoint(c.FromNode, c.FromNodePin) + " -> " + Endpoint(c.ToNode, c.ToNodePin) + "\n";
    }
    PFILE_OBJECT filter = Open(name);
    if (filter == nullptr) {
        return out;
    }
    for (size_t i = 0; i < d->Nodes.size(); ++i) {
        ULONG id = 0;
        bool level = false;
        if (!ValueProperty(d->Nodes[i], &id, &level)) {
            continue;
        }
        const KsTarget node = KsTarget::Node(static_cast<ULONG>(i));
        std::string line = "values node " + std::to_string(i) + ":";
        if (id == KSPROPERTY_AUDIO_MUX_SOURCE) {
            ULONG input = 0;
            const KsResult r = Get(filter, node, KSPROPSETID_Audio, id, &input);
            line += NT_SUCCESS(r.Status) ? " input " + std::to_string(input) : " status " + std::to_string(r.Status);
            out += line + "\n";
            continue;
        }
        // Basic support: the description, then the whole reply with the channels' ranges.
        NTSTATUS status = STATUS_SUCCESS;
        const std::vector<uint8_t> reply = DescribeProperty(filter, node, KSPROPSETID_Audio, id, &status);
        KsResult r{status, static_cast<ULONG>(reply.size())};
        ULONG channels = 0;
        if (NT_SUCCESS(r.Status) && r.Bytes >= 56) {
            KSPROPERTY_MEMBERSHEADER h;
            std::memcpy(&h, reply.data() + 40, sizeof h);
            channels = h.MembersCount;
            KSPROPERTY_STEPPING_LONG s;
            std::memcpy(&s, reply.data() + 56, sizeof s);
            line += " range " + std::to_string(s.SignedMinimum) + ".." + std::to_string(s.SignedMaximum) + " step " +
                    std::to_string(s.SteppingDelta);
        }
        for (ULONG c = 0; c < channels; ++c) {
            LONG value = 0;
            r = Get(filter, node, KSPROPSETID_Audio, id, &value, &c, sizeof c);
            line += " [" + std::to_string(c) + "] " +
                    (NT_SUCCESS(r.Status) ? std::to_string(value) : "status " + std::to_string(r.Status));
        }
        out += line + "\n";
    }
    Close(filter);
    return out;
}

}  // namespace host
