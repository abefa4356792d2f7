// The host's ASIO client: requests on the private interface, and the streaming thread of an
// ASIO host that owns the shared buffers.
#include "host/AsioSession.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

#include "platform/io/IoHost.h"
#include "platform/io/ProcessHost.h"
#include "platform/nt/Dispatcher.h"
#include "platform/nt/Machine.h"
#include "platform/nt/Ob.h"

namespace host {

namespace {

constexpr char16_t ASIO_REFERENCE[] = u"QVASIOPrivateInterface";
// How long the streaming thread waits for one buffer switch (virtual time) before it looks again.
constexpr LONGLONG SWITCH_WAIT = -2000000LL;  // 200 ms

uint32_t Load(const volatile uint32_t* p) { return __atomic_load_n(p, __ATOMIC_ACQUIRE); }

}  // namespace

struct AsioSession::Stream {
    std::vector<AsioBufferView*> Buffers;
    uint32_t SampleBytes = 0;
    uint32_t Frames = 0;
    uint32_t LeadFrames = 0;  // render written ahead of the host's clock
    StreamHooks Hooks;
    HANDLE EventHandle = nullptr;
    PKEVENT Event = nullptr;
    // The notification event the stream gave the driver (SET_EVENT), null when the client had one.
    HANDLE NotifyHandle = nullptr;
    PKEVENT Notify = nullptr;
    std::atomic<bool> Stop{false};
    std::unique_ptr<platform::ClientThread> Thread;
    mutable std::mutex Lock;
    StreamStats Stats;
    // Per buffer: bytes the device has moved (from its ring position) and the client has.
    std::vector<uint64_t> DeviceBytes;
    std::vector<uint32_t> LastPosition;
    std::vector<uint64_t> ClientBytes;
    std::vector<uint32_t> FrameBytes;  // channels x sample bytes
    // What the header said at the start; the client trusts nothing else it might find there later.
    std::vector<AsioBufferView> Shape;
};

AsioSession::AsioSession(PDEVICE_OBJECT fdo, bool is32bit)
    : m_fdo(fdo), m_is32bit(is32bit), m_process(platform::ProcessCreate(is32bit))
{
}

AsioSession::~AsioSession()
{
    if (!m_alive) return;
    if (m_stream != nullptr) {
        StopStreaming();
    }
    if (m_handle != nullptr) {
        Close();
    }
    // What the process still holds (requests, event handles) goes with it.
    platform::ProcessExit(m_process);
}

NTSTATUS AsioSession::Open()
{
    platform::ProcessScope process(m_process);
    if (!m_alive || m_handle != nullptr) return STATUS_INVALID_DEVICE_STATE;
    // The interface the device registered with the ASIO reference string, as a user finds it.
    PDEVICE_OBJECT top = IoGetAttachedDevice(m_fdo);
    std::u16string link;
    for (const platform::DeviceInterfaceRecord& r : platform::IoInterfaces()) {
        if (r.ReferenceString == ASIO_REFERENCE && IoGetAttachedDevice(r.PhysicalDevice) == top) {
            link = r.SymbolicLink;
        }
    }
    if (link.empty()) return STATUS_OBJECT_NAME_NOT_FOUND;
    return platform::IoOpenUserInterface(link, &m_handle);
}

NTSTATUS AsioSession::Close()
{
    platform::ProcessScope process(m_process);
    if (m_handle == nullptr) return STATUS_INVALID_DEVICE_STATE;
    const NTSTATUS status = ZwClose(m_handle);
    m_handle = nullptr;
    return status;
}

PFILE_OBJECT AsioSession::File() const
{
    platform::ProcessScope process(m_process);
    return m_handle != nullptr ? platform::IoUserFileOf(m_handle) : nullptr;
}

std::unique_ptr<AsioPendingRequest> AsioSession::Send(ULONG code, const void* input, ULONG inputLength,
                                                      ULONG outputLength)
{
    platform::ProcessScope process(m_process);
    auto request = std::make_unique<AsioPendingRequest>();
    KeInitializeEvent(&request->Done, NotificationEvent, FALSE);
    request->Output.assign(outputLength, 0xA5);
    request->Sent = platform::IoUserDeviceControl(m_handle, code, input, inputLength,
                                                  outputLength != 0 ? request->Output.data() : nullptr,
                                                  outputLength, &request->Done, &request->Iosb, &request->Irp);
    if (request->Sent != STATUS_PENDING && !KeReadStateEvent(&request->Done)) {
        // Refused before it reached the driver (a closed handle, no memory): it ends here.
        request->Iosb.Status = request->Sent;
        request->Iosb.Information = 0;
        KeSetEvent(&request->Done, IO_NO_INCREMENT, FALSE);
    }
    return request;
}

bool AsioSession::Done(AsioPendingRequest& request) { return KeReadStateEvent(&request.Done) != 0; }

AsioReply AsioSession::Wait(AsioPendingRequest& request, int timeoutMs)
{
    LARGE_INTEGER limit;
    limit.QuadPart = -static_cast<LONGLONG>(timeoutMs) * 10000;
    AsioReply reply;
    if (KeWaitForSingleObject(&request.Done, Executive, KernelMode, FALSE, &limit) != STATUS_SUCCESS) {
        return reply;
    }
    reply.Status = request.Iosb.Status;
    reply.Information = request.Iosb.Information;
    reply.Output = request.Output;
    return reply;
}

AsioReply AsioSession::Control(ULONG code, const void* input, ULONG inputLength, ULONG outputLength)
{
    auto request = Send(code, input, inputLength, outputLength);
    AsioReply reply = Wait(*request, 60000);
    if (reply.Status == STATUS_PENDING) {
        // Still with the driver: its completion writes into the request, which must outlive it.
        m_unfinished.push_back(std::move(request));
    }
    return reply;
}

NTSTATUS AsioSession::SetLong(ULONG code, int32_t value) { return Control(code, &value, 4, 0).Status; }

NTSTATUS AsioSession::GetLongs(ULONG code, ULONG count, std::vector<int32_t>* values)
{
    const AsioReply reply = Control(code, nullptr, 0, count * 4);
    values->assign(count, 0);
    std::memcpy(values->data(), reply.Output.data(), count * 4);
    return reply.Status;
}

HANDLE AsioSession::NewEvent(PKEVENT* event, ACCESS_MASK access)
{
    platform::ProcessScope process(m_process);
    return platform::EventHandleCreateInProcess(SynchronizationEvent, false, access, event);
}

std::vector<uint8_t> AsioSession::HandleBytes(HANDLE handle) const
{
    const auto value = reinterpret_cast<uintptr_t>(handle);
    std::vector<uint8_t> bytes(m_is32bit ? 4 : 8);
    std::memcpy(bytes.data(), &value, bytes.size());
    return bytes;
}

NTSTATUS AsioSession::CreateBuffers(const std::vector<std::pair<uint32_t, int32_t>>& entries, uint32_t frames,
                                    ULONG endpoints, std::vector<AsioBufferView*>* buffers)
{
    std::vector<uint8_t> request(12 + 8 * entries.size());
    const uint32_t n = static_cast<uint32_t>(entries.size());
    std::memcpy(&request[4], &n, 4);
    std::memcpy(&request[8], &frames, 4);
    for (size_t k = 0; k < entries.size(); ++k) {
        std::memcpy(&request[12 + 8 * k], &entries[k].first, 4);
        std::memcpy(&request[16 + 8 * k], &entries[k].second, 4);
    }
    const ULONG width = m_is32bit ? 4 : 8;
    const AsioReply reply = Control(asio::CREATE_BUFFERS, request, endpoints * width);
    buffers->clear();
    if (NT_SUCCESS(reply.Status)) {
        for (ULONG i = 0; i < endpoints && (i + 1) * width <= reply.Output.size(); ++i) {
            uint64_t address = 0;
            std::memcpy(&address, &reply.Output[i * width], width);
            buffers->push_back(reinterpret_cast<AsioBufferView*>(static_cast<uintptr_t>(address)));
        }
    }
    return reply.Status;
}

NTSTATUS AsioSession::StartStreaming(const std::vector<AsioBufferView*>& buffers, uint32_t sampleBytes,
                                     uint32_t frames, StreamHooks hooks)
{
    if (m_stream != nullptr) return STATUS_INVALID_DEVICE_STATE;
    if (sampleBytes == 0 || frames == 0) return STATUS_INVALID_PARAMETER;
    auto stream = std::make_unique<Stream>();
    stream->Buffers = buffers;
    stream->SampleBytes = sampleBytes;
    stream->Frames = frames;
    stream->Hooks = std::move(hooks);
    stream->EventHandle = NewEvent(&stream->Event);
    // Told when another client changes the sample type, the latency or the rate.
    stream->NotifyHandle = NewEvent(&stream->Notify);
    if (!NT_SUCCESS(Control(asio::SET_EVENT, HandleBytes(stream->NotifyHandle), 0).Status)) {
        ZwClose(stream->NotifyHandle);
        stream->NotifyHandle = nullptr;
        stream->Notify = nullptr;
    }
    stream->DeviceBytes.assign(buffers.size(), 0);
    stream->LastPosition.assign(buffers.size(), 0);
    stream->ClientBytes.assign(buffers.size(), 0);
    const NTSTATUS status = Control(asio::START, HandleBytes(stream->EventHandle), 0).Status;
    if (!NT_SUCCESS(status)) {
        ZwClose(stream->EventHandle);
        ReleaseNotify(*stream);
        return status;
    }
    for (size_t i = 0; i < buffers.size(); ++i) {
        AsioBufferView shape{};
        if (buffers[i] != nullptr) {
            std::memcpy(&shape, buffers[i], sizeof shape);
        }
        stream->Shape.push_back(shape);
        stream->LastPosition[i] = shape.RingPosition;
        stream->FrameBytes.push_back(shape.Channels * sampleBytes);
    }
    stream->LeadFrames = LeadFrames(buffers, sampleBytes, frames);
    m_stream = std::move(stream);
    m_stream->Thread = std::make_unique<platform::ClientThread>("asio host", [this] { StreamThread(); });
    return status;
}

// Two buffers of `frames`: the one the device plays and the one the host fills, ahead of the
// host's clock; never more than half the smallest render ring.
uint32_t AsioSession::LeadFrames(const std::vector<AsioBufferView*>& buffers, uint32_t sampleBytes, uint32_t frames)
{
    uint64_t lead = uint64_t{frames} * 2;
    for (AsioBufferView* b : buffers) {
        if (b != nullptr && b->Enable != 0 && b->Direction == 0 && b->Channels != 0 && sampleBytes != 0) {
            lead = std::min<uint64_t>(lead, b->Size / (b->Channels * sampleBytes) / 2);
        }
    }
    return static_cast<uint32_t>(lead);
}

void AsioSession::ReleaseNotify(Stream& stream)
{
    if (stream.NotifyHandle == nullptr) return;
    Control(asio::RELEASE_EVENT, nullptr, 0, 0);
    ZwClose(stream.NotifyHandle);
    stream.NotifyHandle = nullptr;
    stream.Notify = nullptr;
}

uint32_t AsioSession::RenderLeadFrames() const { return m_stream != nullptr ? m_stream->LeadFrames : 0; }

// One wake of the host: it takes in what every input buffer received (its clock is the input's
// frame count; with no input, the frames the device has read), then writes every output buffer
// up to its clock plus the lead. An output the device has read past is a late period.
void AsioSession::StreamThread()
{
    platform::ProcessScope process(m_process);
    Stream& s = *m_stream;
    bool first = true;
    while (!s.Stop.load()) {
        if (!first) {
            LARGE_INTEGER limit;
            limit.QuadPart = SWITCH_WAIT;
            PVOID events[2] = {s.Event, s.Notify};
            const NTSTATUS woke = KeWaitForMultipleObjects(s.Notify != nullptr ? 2 : 1, events, WaitAny, Executive,
                                                           UserMode, FALSE, &limit, nullptr);
            if (woke == STATUS_WAIT_0 + 1) {
                std::lock_guard<std::mutex> guard(s.Lock);
                ++s.Stats.Notifications;
                continue;
            }
            if (woke != STATUS_WAIT_0) {
                continue;
            }
        }
        first = false;
        bool late = false;
        bool haveInput = false;
        uint64_t inputClock = UINT64_MAX;
        uint64_t renderClock = UINT64_MAX;
        for (size_t i = 0; i < s.Buffers.size(); ++i) {
            AsioBufferView* b = s.Buffers[i];
            const AsioBufferView& shape = s.Shape[i];
            if (b == nullptr || shape.Enable == 0 || shape.Size == 0 || s.FrameBytes[i] == 0) continue;
            const uint32_t size = shape.Size;
            const uint32_t position = Load(&b->RingPosition) % size;
            s.DeviceBytes[i] += (position + size - s.LastPosition[i]) % size;
            s.LastPosition[i] = position;
            if (shape.Direction == 0) {
                renderClock = std::min(renderClock, s.DeviceBytes[i] / s.FrameBytes[i]);
                continue;
            }
            // Capture: everything the device has stored, behind its position, in whole frames.
            const auto* ring = reinterpret_cast<const uint8_t*>(b) + sizeof(AsioBufferView);
            const uint32_t initial = shape.InitialPosition % size;
            const uint64_t whole = s.DeviceBytes[i] - s.DeviceBytes[i] % s.FrameBytes[i];
            if (s.ClientBytes[i] < whole) {
                const uint64_t bytes = whole - s.ClientBytes[i];
                std::vector<uint8_t> data(bytes);
                for (uint64_t k = 0; k < bytes; ++k) {
                    data[k] = ring[(initial + s.ClientBytes[i] + k) % size];
                }
                if (s.Hooks.Capture) s.Hooks.Capture(i, s.ClientBytes[i] / s.FrameBytes[i], data.data(), data.size());
                s.ClientBytes[i] = whole;
            }
            haveInput = true;
            inputClock = std::min(inputClock, s.ClientBytes[i] / s.FrameBytes[i]);
        }
        const uint64_t clock = haveInput ? inputClock : renderClock;
        for (size_t i = 0; i < s.Buffers.size() && clock != UINT64_MAX; ++i) {
            AsioBufferView* b = s.Buffers[i];
            const AsioBufferView& shape = s.Shape[i];
            if (b == nullptr || shape.Enable == 0 || shape.Size == 0 || shape.Direction != 0 || s.FrameBytes[i] == 0) {
                continue;
            }
            const uint32_t size = shape.Size;
            auto* ring = reinterpret_cast<uint8_t*>(b) + sizeof(AsioBufferView);
            const uint32_t initial = shape.InitialPosition % size;
            if (s.ClientBytes[i] < s.DeviceBytes[i]) {
                late = true;
                s.ClientBytes[i] = s.DeviceBytes[i] - s.DeviceBytes[i] % s.FrameBytes[i] +
                                   (s.DeviceBytes[i] % s.FrameBytes[i] != 0 ? s.FrameBytes[i] : 0);
            }
            // Never more than the ring holds ahead of the device.
            const uint64_t target = std::min<uint64_t>((clock + s.LeadFrames) * s.FrameBytes[i],
                                                       s.DeviceBytes[i] + size - size % s.FrameBytes[i]);
            if (s.ClientBytes[i] < target) {
                const uint64_t bytes = target - s.ClientBytes[i];
                std::vector<uint8_t> data(bytes, 0);
                if (s.Hooks.Render) s.Hooks.Render(i, s.ClientBytes[i] / s.FrameBytes[i], data.data(), data.size());
                for (uint64_t k = 0; k < bytes; ++k) {
                    ring[(initial + s.ClientBytes[i] + k) % size] = data[k];
                }
                s.ClientBytes[i] += bytes;
            }
        }
        std::lock_guard<std::mutex> guard(s.Lock);
        ++s.Stats.Periods;
        s.Stats.LatePeriods += late ? 1 : 0;
    }
}

NTSTATUS AsioSession::StopStreaming()
{
    if (m_stream == nullptr) return STATUS_INVALID_DEVICE_STATE;
    m_stream->Stop.store(true);
    KeSetEvent(m_stream->Event, IO_NO_INCREMENT, FALSE);
    {
        platform::ExternalWaitScope external;
        m_stream->Thread->Join();
    }
    const NTSTATUS status = Control(asio::STOP, nullptr, 0, 0).Status;
    ZwClose(m_stream->EventHandle);
    ReleaseNotify(*m_stream);
    m_stream.reset();
    return status;
}

void AsioSession::Kill()
{
    if (!m_alive) return;
    if (m_stream != nullptr) {
        m_stream->Stop.store(true);
        KeSetEvent(m_stream->Event, IO_NO_INCREMENT, FALSE);
        {
            platform::ExternalWaitScope external;
            m_stream->Thread->Join();
        }
    }
    // The system ends the process: its event handle and its file go as its handles close.
    platform::ProcessExit(m_process);
    m_alive = false;
    m_handle = nullptr;
    m_stream.reset();
}

AsioSession::StreamStats AsioSession::Stats() const
{
    if (m_stream == nullptr) return {};
    std::lock_guard<std::mutex> guard(m_stream->Lock);
    return m_stream->Stats;
}

}  // namespace host
