// The KS side of WaveCyclic pins: the pin set of a filter (instances, data ranges, data
// intersection through the miniport, processing modes), the create of a pin instance relative to
// the filter's file object, and the requests on a pin's file object (state, data format,
// position, content id, stream IRPs).
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "platform/nt/Irql.h"
#include "platform/nt/Pool.h"
#include "platform/portcls/PortClsHost.h"
#include "platform/portcls/WavePinInternal.h"

namespace platform {
namespace {

// The pin's copy of its format (the tag of the pin's own allocations).
constexpr ULONG kPinFormatTag = MakePoolTag("PcPn");

// The FsContext2 of a pin's file object (a filter's is null).
const char kPinFileKind = 'P';

constexpr ULONG AlignUp8(ULONG v) { return (v + 7u) & ~7u; }

// A value reply: a size query (no buffer) learns the size with STATUS_BUFFER_OVERFLOW.
NTSTATUS Reply(void* value, ULONG capacity, ULONG* valueSize, const void* data, ULONG bytes)
{
    if (capacity == 0 || value == nullptr) {
        *valueSize = bytes;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (capacity < bytes) {
        *valueSize = 0;
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(value, data, bytes);
    *valueSize = bytes;
    return STATUS_SUCCESS;
}

bool SameOrWildcard(const GUID& a, const GUID& b)
{
    return IsEqualGUID(a, b) || IsEqualGUID(a, GUID_NULL) || IsEqualGUID(b, GUID_NULL);
}

bool Compatible(const KSDATARANGE& client, const KSDATARANGE& mine)
{
    return SameOrWildcard(client.MajorFormat, mine.MajorFormat) && SameOrWildcard(client.SubFormat, mine.SubFormat) &&
           SameOrWildcard(client.Specifier, mine.Specifier);
}

// The pin's ranges, without the attribute lists that follow ranges flagged with attributes.
struct PinRange {
    const KSDATARANGE* Range;
    const KSATTRIBUTE_LIST* Attributes;  // null without
};

std::vector<PinRange> RangesOf(const PCPIN_DESCRIPTOR* pin)
{
    std::vector<PinRange> out;
    const KSPIN_DESCRIPTOR& ks = pin->KsPinDescriptor;
    for (ULONG i = 0; ks.DataRanges != nullptr && i < ks.DataRangesCount; ++i) {
        const KSDATARANGE* range = ks.DataRanges[i];
        if (range == nullptr) continue;
        const KSATTRIBUTE_LIST* attributes = nullptr;
        if ((range->Flags & KSDATARANGE_ATTRIBUTES) != 0 && i + 1 < ks.DataRangesCount) {
            attributes = reinterpret_cast<const KSATTRIBUTE_LIST*>(ks.DataRanges[++i]);
        }
        out.push_back({range, attributes});
    }
    return out;
}

void Append(std::vector<UCHAR>& out, const void* data, ULONG bytes)
{
    const auto* p = static_cast<const UCHAR*>(data);
    out.insert(out.end(), p, p + bytes);
    out.resize(AlignUp8(static_cast<ULONG>(out.size())), 0);
}

// KSPROPERTY_PIN_DATARANGES: a KSMULTIPLE_ITEM of the ranges, each 8-byte aligned; a range
// flagged with attributes is followed by its attribute list (a KSMULTIPLE_ITEM of attributes).
std::vector<UCHAR> DataRangesReply(const PCPIN_DESCRIPTOR* pin)
{
    const std::vector<PinRange> ranges = RangesOf(pin);
    std::vector<UCHAR> out(sizeof(KSMULTIPLE_ITEM), 0);
    for (const PinRange& r : ranges) {
        Append(out, r.Range, r.Range->FormatSize);
        if (r.Attributes == nullptr) continue;
        std::vector<UCHAR> list(sizeof(KSMULTIPLE_ITEM), 0);
        for (ULONG a = 0; a < r.Attributes->Count; ++a) {
            const KSATTRIBUTE* attribute = r.Attributes->Attributes[a];
            Append(list, attribute, attribute->Size);
        }
        const KSMULTIPLE_ITEM header{static_cast<ULONG>(list.size()), r.Attributes->Count};
        std::memcpy(list.data(), &header, sizeof header);
        Append(out, list.data(), static_cast<ULONG>(list.size()));
    }
    const KSMULTIPLE_ITEM header{static_cast<ULONG>(out.size()), static_cast<ULONG>(ranges.size())};
    std::memcpy(out.data(), &header, sizeof header);
    return out;
}

// The plain intersection for a miniport that leaves it to the port: two audio ranges with the
// WAVEFORMATEX specifier meet at the largest channel count, rate and sample size both allow.
NTSTATUS DefaultIntersection(const KSDATARANGE* client, const KSDATARANGE* mine, ULONG capacity, void* value,
                             ULONG* resultLength)
{
    if (!IsEqualGUID(mine->MajorFormat, KSDATAFORMAT_TYPE_AUDIO) ||
        !IsEqualGUID(mine->Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX) ||
        client->FormatSize < sizeof(KSDATARANGE_AUDIO) || mine->FormatSize < sizeof(KSDATARANGE_AUDIO)) {
        return STATUS_NO_MATCH;
    }
    KSDATARANGE_AUDIO a;
    KSDATARANGE_AUDIO b;
    std::memcpy(&a, client, sizeof a);
    std::memcpy(&b, mine, sizeof b);
    const ULONG channels = std::min(a.MaximumChannels, b.MaximumChannels);
    const ULONG bits = std::min(a.MaximumBitsPerSample, b.MaximumBitsPerSample);
    const ULONG rate = std::min(a.MaximumSampleFrequency, b.MaximumSampleFrequency);
    if (channels == 0 || bits < std::max(a.MinimumBitsPerSample, b.MinimumBitsPerSample) ||
        rate < std::max(a.MinimumSampleFrequency, b.MinimumSampleFrequency) || bits > 0xFFFF || channels > 0xFFFF) {
        return STATUS_NO_MATCH;
    }
    constexpr ULONG kSize = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX);
    *resultLength = kSize;
    if (capacity == 0 || value == nullptr) return STATUS_BUFFER_OVERFLOW;
    if (capacity < kSize) return STATUS_BUFFER_TOO_SMALL;
    KSDATAFORMAT format = *mine;
    format.FormatSize = kSize;
    format.Flags = 0;
    const ULONG blockAlign = channels * ((bits + 7) / 8);
    format.SampleSize = blockAlign;
    WAVEFORMATEX wave{};
    wave.wFormatTag = IsEqualGUID(mine->SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT) ? WAVE_FORMAT_IEEE_FLOAT
                                                                                  : WAVE_FORMAT_PCM;
    wave.nChannels = static_cast<WORD>(channels);
    wave.nSamplesPerSec = rate;
    wave.nBlockAlign = static_cast<WORD>(blockAlign);
    wave.nAvgBytesPerSec = blockAlign * rate;
    wave.wBitsPerSample = static_cast<WORD>(bits);
    std::memcpy(value, &format, sizeof format);
    std::memcpy(static_cast<UCHAR*>(value) + sizeof format, &wave, sizeof wave);
    return STATUS_SUCCESS;
}

// KSPROPERTY_PIN_DATAINTERSECTION: KSP_PIN, then a KSMULTIPLE_ITEM of the client's ranges. Each
// client range meets each of the pin's ranges in turn; the first format found wins.
NTSTATUS DataIntersection(IPcSubdevice* port, ULONG pinId, const PCPIN_DESCRIPTOR* pin, const UCHAR* input,
                          ULONG inputSize, void* value, ULONG capacity, ULONG* valueSize)
{
    if (inputSize < sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM)) return STATUS_BUFFER_TOO_SMALL;
    const UCHAR* list = input + sizeof(KSP_PIN);
    const ULONG available = inputSize - sizeof(KSP_PIN);
    KSMULTIPLE_ITEM item;
    std::memcpy(&item, list, sizeof item);
    if (item.Size < sizeof item || item.Size > available) return STATUS_INVALID_PARAMETER;
    // Every client range and attribute list lies within the list before any is used.
    std::vector<std::vector<ULONGLONG>> clientRanges;  // 8-byte aligned copies
    ULONG offset = sizeof item;
    for (ULONG i = 0; i < item.Count; ++i) {
        if (item.Size - offset < sizeof(KSDATARANGE)) return STATUS_INVALID_PARAMETER;
        KSDATARANGE header;
        std::memcpy(&header, list + offset, sizeof header);
        if (header.FormatSize < sizeof(KSDATARANGE) || header.FormatSize > item.Size - offset) {
            return STATUS_INVALID_PARAMETER;
        }
        std::vector<ULONGLONG> copy((header.FormatSize + 7) / 8, 0);
        std::memcpy(copy.data(), list + offset, header.FormatSize);
        clientRanges.push_back(std::move(copy));
        offset = AlignUp8(offset + header.FormatSize);
        if ((header.Flags & KSDATARANGE_ATTRIBUTES) != 0) {
            KSMULTIPLE_ITEM attributes;
            if (offset > item.Size || item.Size - offset < sizeof attributes) return STATUS_INVALID_PARAMETER;
            std::memcpy(&attributes, list + offset, sizeof attributes);
            if (attributes.Size < sizeof attributes || attributes.Size > item.Size - offset) {
                return STATUS_INVALID_PARAMETER;
            }
            offset = AlignUp8(offset + attributes.Size);
        }
        if (offset > item.Size && i + 1 < item.Count) return STATUS_INVALID_PARAMETER;
    }
    IMiniport* miniport = port->Miniport();
    if (miniport == nullptr) return STATUS_INVALID_DEVICE_STATE;
    const std::vector<PinRange> mine = RangesOf(pin);
    for (auto& copy : clientRanges) {
        auto* client = reinterpret_cast<KSDATARANGE*>(copy.data());
        for (const PinRange& r : mine) {
            if (!Compatible(*client, *r.Range)) continue;
            ULONG resultLength = 0;
            NTSTATUS status = miniport->DataRangeIntersection(pinId, client, const_cast<KSDATARANGE*>(r.Range),
                                                              capacity, capacity != 0 ? value : nullptr,
                                                              &resultLength);
            if (status == STATUS_NOT_IMPLEMENTED) {
                status = DefaultIntersection(client, r.Range, capacity, value, &resultLength);
            }
            if (NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
                *valueSize = status == STATUS_BUFFER_TOO_SMALL ? 0 : resultLength;
                return status;
            }
        }
    }
    return STATUS_NO_MATCH;
}

NTSTATUS Modes(IPcSubdevice* port, ULONG pinId, void* value, ULONG capacity, ULONG* valueSize)
{
    IMiniport* miniport = port->Miniport();
    PVOID raw = nullptr;
    if (miniport == nullptr || !NT_SUCCESS(miniport->QueryInterface(IID_IMiniportAudioSignalProcessing, &raw))) {
        return STATUS_NOT_FOUND;
    }
    auto* processing = static_cast<IMiniportAudioSignalProcessing*>(raw);
    ULONG count = 0;
    NTSTATUS status = processing->GetModes(pinId, nullptr, &count);
    std::vector<GUID> modes(count);
    if (NT_SUCCESS(status) && count != 0) {
        status = processing->GetModes(pinId, modes.data(), &count);
    }
    processing->Release();
    if (!NT_SUCCESS(status)) return status;
    modes.resize(std::min<size_t>(count, modes.size()));
    std::vector<UCHAR> out(sizeof(KSMULTIPLE_ITEM) + modes.size() * sizeof(GUID));
    const KSMULTIPLE_ITEM header{static_cast<ULONG>(out.size()), static_cast<ULONG>(modes.size())};
    std::memcpy(out.data(), &header, sizeof header);
    if (!modes.empty()) std::memcpy(out.data() + sizeof header, modes.data(), modes.size() * sizeof(GUID));
    return Reply(value, capacity, valueSize, out.data(), static_cast<ULONG>(out.size()));
}

PcWavePin* PinOf(PFILE_OBJECT file) { return static_cast<PcWavePin*>(file->FsContext); }

NTSTATUS SetDataFormat(PcWavePin* pin, const void* value, ULONG capacity)
{
    NTSTATUS status = PcCheckDataFormat(value, capacity);
    if (!NT_SUCCESS(status)) return status;
    auto* copy = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, capacity, kPinFormatTag));
    if (copy == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(copy, value, capacity);
    status = pin->Stream->SetFormat(reinterpret_cast<PKSDATAFORMAT>(copy));
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(copy, kPinFormatTag);
        return status;
    }
    // The new format becomes the pin's connection format.
    ExFreePoolWithTag(pin->Format, kPinFormatTag);
    pin->Format = copy;
    pin->FormatLength = capacity;
    return STATUS_SUCCESS;
}

NTSTATUS PinProperty(PcWavePin* pin, const void* input, ULONG inputSize, void* value, ULONG* valueSize)
{
    const ULONG capacity = *valueSize;
    *valueSize = 0;
    if (input == nullptr || inputSize < sizeof(KSPROPERTY)) return STATUS_BUFFER_TOO_SMALL;
    KSPROPERTY property;
    std::memcpy(&property, input, sizeof property);
    const ULONG verb = property.Flags;
    if (verb != KSPROPERTY_TYPE_GET && verb != KSPROPERTY_TYPE_SET) return STATUS_INVALID_DEVICE_REQUEST;
    const bool get = verb == KSPROPERTY_TYPE_GET;
    if (IsEqualGUID(property.Set, KSPROPSETID_Connection) && property.Id == KSPROPERTY_CONNECTION_STATE) {
        if (get) {
            const KSSTATE state = PcWavePinGetState(pin);
            return Reply(value, capacity, valueSize, &state, sizeof state);
        }
        if (value == nullptr || capacity < sizeof(KSSTATE)) return STATUS_BUFFER_TOO_SMALL;
        KSSTATE state;
        std::memcpy(&state, value, sizeof state);
        *valueSize = sizeof state;
        return PcWavePinSetState(pin, state);
    }
    if (IsEqualGUID(property.Set, KSPROPSETID_Connection) && property.Id == KSPROPERTY_CONNECTION_DATAFORMAT) {
        if (get) {
            KSDATAFORMAT header;
            std::memcpy(&header, pin->Format, sizeof header);
            return Reply(value, capacity, valueSize, pin->Format, std::min(header.FormatSize, pin->FormatLength));
        }
        if (value == nullptr) return STATUS_BUFFER_TOO_SMALL;
        *valueSize = capacity;
        return SetDataFormat(pin, value, capacity);
    }
    if (IsEqualGUID(property.Set, KSPROPSETID_Audio) && property.Id == KSPROPERTY_AUDIO_POSITION) {
        if (!get) return STATUS_INVALID_DEVICE_REQUEST;
        KSAUDIO_POSITION position{};
        PcWavePinGetPosition(pin, &position.PlayOffset, &position.WriteOffset);
        return Reply(value, capacity, valueSize, &position, sizeof position);
    }
    if (IsEqualGUID(property.Set, KSPROPSETID_DrmAudioStream) && property.Id == KSPROPERTY_DRMAUDIOSTREAM_CONTENTID) {
        if (get) return STATUS_INVALID_DEVICE_REQUEST;
        if (value == nullptr || capacity < sizeof(KSDRMAUDIOSTREAM_CONTENTID)) return STATUS_BUFFER_TOO_SMALL;
        KSDRMAUDIOSTREAM_CONTENTID content;
        std::memcpy(&content, value, sizeof content);
        PVOID raw = nullptr;
        NTSTATUS status = pin->Stream->QueryInterface(IID_IDrmAudioStream, &raw);
        if (!NT_SUCCESS(status)) return status;
        status = static_cast<IDrmAudioStream*>(raw)->SetContentId(content.ContentId, &content.DrmRights);
        static_cast<IDrmAudioStream*>(raw)->Release();
        *valueSize = sizeof content;
        return status;
    }
    return STATUS_NOT_FOUND;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace

NTSTATUS PcFilterPinProperty(IPcSubdevice* port, const void* input, ULONG inputSize, void* value, ULONG* valueSize)
{
    const ULONG capacity = *valueSize;
    *valueSize = 0;
    KSPROPERTY property;
    std::memcpy(&property, input, sizeof property);
    const bool pinSet = IsEqualGUID(property.Set, KSPROPSETID_Pin);
    const bool modes = IsEqualGUID(property.Set, KSPROPSETID_AudioSignalProcessing) &&
                       property.Id == KSPROPERTY_AUDIOSIGNALPROCESSING_MODES;
    const bool handled =
        modes || (pinSet && (property.Id == KSPROPERTY_PIN_CINSTANCES || property.Id == KSPROPERTY_PIN_CTYPES ||
                             property.Id == KSPROPERTY_PIN_DATAFLOW || property.Id == KSPROPERTY_PIN_DATARANGES ||
                             property.Id == KSPROPERTY_PIN_DATAINTERSECTION ||
                             property.Id == KSPROPERTY_PIN_COMMUNICATION ||
                             property.Id == KSPROPERTY_PIN_NECESSARYINSTANCES));
    if (!handled || property.Flags == KSPROPERTY_TYPE_BASICSUPPORT) return STATUS_NOT_FOUND;
    if (property.Flags != KSPROPERTY_TYPE_GET) return STATUS_INVALID_DEVICE_REQUEST;
    const PCFILTER_DESCRIPTOR* descriptor = port->Descriptor();
    if (pinSet && property.Id == KSPROPERTY_PIN_CTYPES) {
        const ULONG count = descriptor->PinCount;
        return Reply(value, capacity, valueSize, &count, sizeof count);
    }
    if (inputSize < sizeof(KSP_PIN)) return STATUS_BUFFER_TOO_SMALL;
    ULONG pinId = 0;
    std::memcpy(&pinId, static_cast<const UCHAR*>(input) + offsetof(KSP_PIN, PinId), sizeof pinId);
    const PCPIN_DESCRIPTOR* pin = PcPinDescriptor(descriptor, pinId);
    if (pin == nullptr) return STATUS_INVALID_PARAMETER;
    if (modes) return Modes(port, pinId, value, capacity, valueSize);
    switch (property.Id) {
    case KSPROPERTY_PIN_CINSTANCES: {
        const KSPIN_CINSTANCES instances{PcPinInstanceLimit(pin), PcPinInstanceCount(port, pinId)};
        return Reply(value, capacity, valueSize, &instances, sizeof instances);
    }
    case KSPROPERTY_PIN_NECESSARYINSTANCES:
        return Reply(value, capacity, valueSize, &pin->MinFilterInstanceCount, sizeof(ULONG));
    case KSPROPERTY_PIN_DATAFLOW:
        return Reply(value, capacity, valueSize, &pin->KsPinDescriptor.DataFlow, sizeof(KSPIN_DATAFLOW));
    case KSPROPERTY_PIN_COMMUNICATION:
        return Reply(value, capacity, valueSize, &pin->KsPinDescriptor.Communication, sizeof(KSPIN_COMMUNICATION));
    case KSPROPERTY_PIN_DATARANGES: {
        const std::vector<UCHAR> reply = DataRangesReply(pin);
        return Reply(value, capacity, valueSize, reply.data(), static_cast<ULONG>(reply.size()));
    }
    default:
        return DataIntersection(port, pinId, pin, static_cast<const UCHAR*>(input), inputSize, value, capacity,
                                valueSize);
    }
}

bool PcIsPinFile(PFILE_OBJECT file) { return file != nullptr && file->FsContext2 == &kPinFileKind; }

PcWavePin* PcWavePinOfFile(PFILE_OBJECT file) { return PcIsPinFile(file) ? PinOf(file) : nullptr; }

NTSTATUS PcDispatchPinCreate(PIRP irp, PFILE_OBJECT file)
{
    PFILE_OBJECT filter = file->RelatedFileObject;
    if (filter == nullptr || filter->FsContext == nullptr || PcIsPinFile(filter)) {
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    auto* port = static_cast<IPcSubdevice*>(filter->FsContext);
    // The name: KSSTRING_Pin, a backslash, KSPIN_CONNECT and the data format.
    constexpr ULONG kPrefixChars = sizeof(KSSTRING_Pin) / sizeof(char16_t);  // with the backslash
    constexpr ULONG kPrefixBytes = kPrefixChars * sizeof(WCHAR);
    const ULONG nameBytes = file->FileName.Length;
    const auto* name = reinterpret_cast<const UCHAR*>(file->FileName.Buffer);
    if (name == nullptr || nameBytes < kPrefixBytes) return Complete(irp, STATUS_OBJECT_NAME_NOT_FOUND);
    for (ULONG i = 0; i < kPrefixChars; ++i) {
        const char16_t expected = i + 1 < kPrefixChars ? KSSTRING_Pin[i] : u'\\';
        char16_t c;
        std::memcpy(&c, name + i * sizeof(WCHAR), sizeof c);
        if (c >= u'a' && c <= u'f') c = static_cast<char16_t>(c - u'a' + u'A');
        if (c != expected) return Complete(irp, STATUS_OBJECT_NAME_NOT_FOUND);
    }
    const UCHAR* request = name + kPrefixBytes;
    const ULONG requestBytes = nameBytes - kPrefixBytes;
    if (requestBytes < sizeof(KSPIN_CONNECT)) return Complete(irp, STATUS_INVALID_PARAMETER);
    KSPIN_CONNECT connect;
    std::memcpy(&connect, request, sizeof connect);
    if (!IsEqualGUID(connect.Interface.Set, KSINTERFACESETID_Standard) ||
        connect.Interface.Id != KSINTERFACE_STANDARD_STREAMING || !IsEqualGUID(connect.Medium.Set, KSMEDIUMSETID_Standard) ||
        connect.Medium.Id != KSMEDIUM_TYPE_ANYINSTANCE) {
        return Complete(irp, STATUS_NO_MATCH);
    }
    const PCPIN_DESCRIPTOR* pin = PcPinDescriptor(port->Descriptor(), connect.PinId);
    if (pin == nullptr) return Complete(irp, STATUS_INVALID_PARAMETER);
    const KSPIN_COMMUNICATION communication = pin->KsPinDescriptor.Communication;
    if (communication != KSPIN_COMMUNICATION_SINK && communication != KSPIN_COMMUNICATION_BOTH) {
        // Only a sink pin has instances: a bridge pin stands for a physical connection.
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    PcWavePin* instance = nullptr;
    const NTSTATUS status = PcCreateWavePin(port, connect.PinId, request + sizeof connect,
                                            requestBytes - static_cast<ULONG>(sizeof connect), &instance);
    if (NT_SUCCESS(status)) {
        file->FsContext = instance;
        file->FsContext2 = const_cast<char*>(&kPinFileKind);
    }
    return Complete(irp, status);
}

NTSTATUS PcDispatchPinClose(PIRP irp, PFILE_OBJECT file)
{
    PcWavePin* pin = PinOf(file);
    file->FsContext = nullptr;
    file->FsContext2 = nullptr;
    PcWavePinClose(pin);
    return Complete(irp, STATUS_SUCCESS);
}

NTSTATUS PcDispatchPinControl(PIRP irp, PFILE_OBJECT file)
{
    PcWavePin* pin = PinOf(file);
    const auto& io = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl;
    switch (io.IoControlCode) {
    case IOCTL_KS_PROPERTY: {
        ULONG size = io.OutputBufferLength;
        const NTSTATUS status = PinProperty(pin, io.Type3InputBuffer, io.InputBufferLength, irp->UserBuffer, &size);
        return Complete(irp, status, size);
    }
    case IOCTL_KS_WRITE_STREAM:
        return PcWavePinStreamIrp(pin, irp, true);
    case IOCTL_KS_READ_STREAM:
        return PcWavePinStreamIrp(pin, irp, false);
    default:
        return Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

}  // namespace platform
