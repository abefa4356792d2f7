#include "tools/StreamSession.h"

#include <algorithm>
#include <cstring>

#include "adapter/driver/Adapter.h"
#include "platform/nt/Clock.h"
#include "platform/nt/DebugHost.h"
#include "platform/nt/Machine.h"
#include "platform/nt/Ob.h"
#include "platform/nt/PoolHost.h"
#include "platform/portcls/PortClsHost.h"
#include "platform/portcls/PortClsInternal.h"
#include "platform/registry/RegistryHost.h"
#include "stream/Uac2RenderEndpoint.h"
#include "stream/UsbStreamEndpoint.h"
#include "stream/WaveMiniport.h"
#include "tools/DriverSession.h"
#include "tools/Kvx.h"
#include "tools/StatusText.h"
#include "tools/StreamCommand.h"

namespace kvx {

StreamSession::~StreamSession()
{
    std::string ignored;
    End(&ignored);
}

NTSTATUS StreamSession::Start(std::unique_ptr<sim::SimDevice> device)
{
    if (device == nullptr || m_port != nullptr) return STATUS_INVALID_PARAMETER;
    platform::RegistryReset();
    platform::SetSystemVersion(NTDDI_WIN10);
    platform::PcSetVersion(PORTCLS_VERSION_DEFAULT);
    m_serial = platform::PoolCurrentSerial();
    platform::DebugLogTake();
    const std::vector<UCHAR> descriptor = device->DeviceDescriptor();
    USB_DEVICE_DESCRIPTOR d{};
    std::memcpy(&d, descriptor.data(), std::min(sizeof d, descriptor.size()));
    m_port = sim::SimPort::PlugIn(std::move(device));
    if (m_port == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    m_ended = false;
    platform::DeviceSetUpUsb(m_port->Pdo(), d.idVendor, d.idProduct, d.bcdDevice);
    if (m_selectiveSuspend) {
        platform::RegistrySetDword(platform::DeviceInstanceKeyPath(m_port->Pdo()) + u"\\Device Parameters",
                                   u"SelectiveSuspendEnabled", 1);
    }
    m_pnp = std::make_unique<host::PnpManager>();
    NTSTATUS status = m_pnp->LoadDriver(u"UsbAudioAdapter", DriverEntry);
    if (NT_SUCCESS(status)) status = m_pnp->AddDevice(m_port->Pdo());
    m_added = NT_SUCCESS(status);
    if (NT_SUCCESS(status)) status = m_pnp->Start(m_port->Pdo());
    m_startedAt = platform::ClockNow();
    m_startLog = platform::DebugLogTake();
    return status;
}

bool StreamSession::WaitUntilSuspended(double* afterStartMs, uint32_t limitMs)
{
    if (m_port == nullptr) return false;
    const bool suspended =
        platform::RunUntil([this] { return m_port->Bus().Suspended(); }, std::chrono::milliseconds(limitMs));
    *afterStartMs = static_cast<double>(platform::ClockNow() - m_startedAt) / platform::TICKS_PER_MS;
    return suspended;
}

std::string StreamSession::StartFailure(NTSTATUS status) const { return StartFailureReason(m_startLog, status); }

PDEVICE_OBJECT StreamSession::Fdo() { return m_added ? m_pnp->TopOfStack(m_port->Pdo()) : nullptr; }

UsbStreamEndpoint* StreamSession::Endpoint(std::u16string_view filterName)
{
    for (const platform::PcSubdeviceInfo& filter : platform::PcSubdevices(Fdo())) {
        if (filter.Name != filterName || !IsEqualGUID(filter.PortClass, CLSID_PortWaveCyclic)) continue;
        PVOID raw = nullptr;
        if (!NT_SUCCESS(filter.Port->QueryInterface(platform::IID_IPcSubdevice, &raw))) return nullptr;
        auto* subdevice = static_cast<platform::IPcSubdevice*>(raw);
        IMiniport* miniport = subdevice->Miniport();
        subdevice->Release();
        if (miniport == nullptr) return nullptr;
        // The driver's own objects, read in-process as the describe command does.
        auto* wave = static_cast<WaveMiniport*>(static_cast<IMiniportWaveCyclic*>(miniport));
        StreamEngine* engine = wave->GetEndpoint();
        return engine != nullptr ? static_cast<UsbStreamEndpoint*>(engine) : nullptr;
    }
    return nullptr;
}

UsbStreamEndpoint* StreamSession::FirstEndpoint(bool capture)
{
    for (const platform::PcSubdeviceInfo& filter : platform::PcSubdevices(Fdo())) {
        if (!IsEqualGUID(filter.PortClass, CLSID_PortWaveCyclic)) continue;
        UsbStreamEndpoint* endpoint = Endpoint(filter.Name);
        if (endpoint != nullptr && (endpoint->IsCapture() != FALSE) == capture) return endpoint;
    }
    return nullptr;
}

namespace {

// Runs where the endpoint notifies (its completion DPC, its worker): hands what the engine
// measures on and ignores the rest.
VOID DecodeTransport(PVOID context, PVOID argument1, PVOID)
{
    auto* to = static_cast<host::EngineObservations*>(context);
    const auto* message = static_cast<const TransportMessage*>(argument1);
    if (message == nullptr) return;
    if (message->Event == TRANSPORT_EVENT_FORMAT) {
        to->Ring(message->Format.TransfersQueued, message->Format.MsPerTransfer & ~TRANSPORT_FORMAT_CHANGED);
    } else if (message->Event == TRANSPORT_EVENT_FILL_RENDER) {
        to->RenderFill(message->Data.Bytes);
    }
}

}  // namespace

host::EngineObserve StreamSession::ObserveTransport(std::u16string_view filterName)
{
    UsbStreamEndpoint* endpoint = Endpoint(filterName);
    PCALLBACK_OBJECT object = endpoint != nullptr ? endpoint->GetTransportCallbackObject() : nullptr;
    if (object == nullptr) return {};
    return [object](host::EngineObservations& to, std::function<void()>* detach) -> NTSTATUS {
        // Referenced while attached: the endpoint may go before the engine does (a removal).
        ObReferenceObject(object);
        PVOID registration = ExRegisterCallback(object, DecodeTransport, &to);
        if (registration == nullptr) {
            ObDereferenceObject(object);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        *detach = [object, registration] {
            ExUnregisterCallback(registration);
            ObDereferenceObject(object);
        };
        return STATUS_SUCCESS;
    };
}

std::vector<host::AudioFormat> StreamSession::EndpointFormats(std::u16string_view filterName)
{
    std::vector<host::AudioFormat> formats;
    UsbStreamEndpoint* endpoint = Endpoint(filterName);
    UCHAR alternateSetting = 0;
    WaveFormatRecord f{};
    for (ULONG i = 0; endpoint != nullptr && NT_SUCCESS(endpoint->GetFormatEntry(i, &alternateSetting, &f)); ++i) {
        const bool pcm = f.Format.wFormatTag == WAVE_FORMAT_PCM ||
                         (f.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && IsEqualGUID(f.SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
        if (!pcm || f.Format.nChannels == 0) continue;
        const USHORT valid = f.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && f.Samples.wValidBitsPerSample != 0
                                 ? f.Samples.wValidBitsPerSample
                                 : f.Format.wBitsPerSample;
        const host::AudioFormat format{f.Format.nSamplesPerSec, f.Format.nChannels, valid, f.Format.wBitsPerSample};
        if (std::find(formats.begin(), formats.end(), format) == formats.end()) formats.push_back(format);
    }
    return formats;
}

LONG StreamSession::MeasuredRate(std::u16string_view filterName)
{
    if (m_port == nullptr || !IsUac2Device(Device())) return 0;
    UsbStreamEndpoint* endpoint = Endpoint(filterName);
    if (endpoint == nullptr || endpoint->IsCapture()) return 0;
    // The 2.0 parser builds this class for every render endpoint of such a device.
    return static_cast<Uac2RenderEndpoint*>(endpoint)->GetCurrentRate();
}

NTSTATUS StreamSession::Remove()
{
    if (!m_added) return STATUS_INVALID_DEVICE_STATE;
    m_added = false;
    return m_pnp->Remove(m_port->Pdo());
}

bool StreamSession::End(std::string* report)
{
    if (m_ended) return true;
    m_ended = true;
    if (m_pnp != nullptr) {
        if (m_added) m_pnp->Remove(m_port->Pdo());
        if (m_pnp->Driver() != nullptr) m_pnp->UnloadDriver();
        m_pnp.reset();
    }
    platform::DeviceForget(m_port->Pdo());
    m_port.reset();
    m_added = false;
    // The power manager's worker may still be dropping what a request held after the completion
    // the removal waited for: its own bookkeeping, not the driver's, so let it finish first.
    platform::MachineSettle();
    if (platform::PoolLiveSince(m_serial) != 0) {
        *report = "pool left after unload: " + platform::PoolLeakReport(m_serial);
        return false;
    }
    return true;
}

namespace {

// Isochronous data endpoints (not feedback) of the configuration, by direction.
std::vector<uint8_t> IsoDataEndpoints(sim::SimDevice& device, bool in)
{
    std::vector<uint8_t> found;
    const sim::Bytes& c = device.ConfigurationBytes();
    for (size_t at = 0; at + 1 < c.size() && c[at] != 0; at += c[at]) {
        if (c[at + 1] != USB_ENDPOINT_DESCRIPTOR_TYPE || at + 4 > c.size()) continue;
        const uint8_t address = c[at + 2];
        const uint8_t attributes = c[at + 3];
        if ((attributes & 3) != 1 || (attributes & 0x30) == 0x10) continue;
        if (((address & 0x80) != 0) != in) continue;
        if (std::find(found.begin(), found.end(), address) == found.end()) found.push_back(address);
    }
    return found;
}

}  // namespace

uint8_t WireEndpoint(sim::SimDevice& device)
{
    for (uint8_t address : IsoDataEndpoints(device, false)) {
        if (device.WireByteCount(address) != 0) return address;
    }
    return 0;
}

std::vector<uint8_t> SourceEndpoints(sim::SimDevice& device) { return IsoDataEndpoints(device, true); }
std::vector<uint8_t> SinkEndpoints(sim::SimDevice& device) { return IsoDataEndpoints(device, false); }

void AttachSinks(sim::SimDevice& device, const host::AudioFormat& format)
{
    const sim::Bytes& c = device.ConfigurationBytes();
    for (size_t at = 0; at + 3 < c.size() && c[at] != 0; at += c[at]) {
        if (c[at + 1] != USB_ENDPOINT_DESCRIPTOR_TYPE) continue;
        const uint8_t address = c[at + 2];
        const uint8_t attributes = c[at + 3];
        if ((attributes & 3) != 1 || (attributes & 0x30) == 0x10 || (address & 0x80) != 0) continue;
        sim::SinkConfig sink;
        switch (attributes & 0x0C) {
        case 0x04: sink.Sync = sim::SinkSync::Asynchronous; break;
        case 0x08: sink.Sync = sim::SinkSync::Adaptive; break;
        default: sink.Sync = sim::SinkSync::Synchronous; break;
        }
        sink.Rate = format.Rate;
        sink.FrameBytes = format.BlockAlign();
        device.SetSink(address, sink);
    }
}

USHORT WireChannels(sim::SimDevice& device, const host::AudioFormat& format)
{
    if (IsUac2Device(device)) return format.Channels;
    const sim::Bytes& c = device.ConfigurationBytes();
    // The FORMAT_TYPE I of the alternate setting walked, while it is the current one (0: none).
    // A setting of the stream's own channel count wins (a device with one setting per count);
    // else the first that carries the rate (a device that reduces the stream on its way).
    USHORT channels = 0;
    USHORT first = 0;
    for (size_t at = 0; at + 3 < c.size() && c[at] != 0; at += c[at]) {
        const uint8_t length = c[at];
        const uint8_t type = c[at + 1];
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
            channels = 0;
        } else if (type == 0x24 && c[at + 2] == 0x02 && length >= 8 && at + length <= c.size() && c[at + 3] == 1) {
            const uint8_t nrChannels = c[at + 4];
            const uint8_t subframe = c[at + 5];
            const uint8_t rates = c[at + 7];
            bool rate = false;
            if (rates == 0 && length >= 14) {
                const ULONG lower = static_cast<ULONG>(c[at + 8] | (c[at + 9] << 8) | (c[at + 10] << 16));
                const ULONG upper = static_cast<ULONG>(c[at + 11] | (c[at + 12] << 8) | (c[at + 13] << 16));
                rate = format.Rate >= lower && format.Rate <= upper;
            }
            for (uint8_t r = 0; r < rates && 8u + 3u * r + 3u <= length; ++r) {
                const size_t p = at + 8 + 3 * r;
                rate = rate || static_cast<ULONG>(c[p] | (c[p + 1] << 8) | (c[p + 2] << 16)) == format.Rate;
            }
            if (rate && subframe * 8u == format.Container) channels = nrChannels;
        } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && channels != 0 && (c[at + 2] & 0x80) == 0 &&
                   (c[at + 3] & 3) == 1) {
            if (channels == format.Channels) return channels;
            first = first != 0 ? first : channels;
        }
    }
    return first != 0 ? first : format.Channels;
}

bool IsUac2Device(sim::SimDevice& device)
{
    const sim::Bytes& c = device.ConfigurationBytes();
    for (size_t at = 0; at + 7 < c.size() && c[at] != 0; at += c[at]) {
        // An audio-class interface (class 1) of protocol 0x20.
        if (c[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && c[at + 5] == 0x01 && c[at + 7] == 0x20) return true;
    }
    return false;
}

int StartForCommand(const std::string& command, const StreamOptions& options, StreamSession& session,
                    std::ostream& err)
{
    std::string error;
    std::unique_ptr<sim::SimDevice> device = LoadStreamDevice(options, &error);
    if (device == nullptr) {
        err << "kvx " << command << ": " << error << "\n";
        return EXIT_USAGE;
    }
    platform::SetRealTime(!options.Fast);
    session.SetSelectiveSuspend(options.SelectiveSuspend);
    const NTSTATUS status = session.Start(std::move(device));
    if (!NT_SUCCESS(status)) {
        err << "kvx " << command << ": the device did not start: " << StatusText(status) << ": "
            << session.StartFailure(status) << "\n";
        return EXIT_FAILURE_RUN;
    }
    session.Bus().SetCompletionTiming(options.LatencyMs, options.JitterUs);
    return EXIT_OK;
}

}  // namespace kvx
