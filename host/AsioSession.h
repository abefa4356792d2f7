// Host side (tests and the command-line tool; never included by driver code): a user-mode ASIO
// driver as the operating system would host it. It opens the adapter's private ASIO interface,
// speaks the device-control protocol (METHOD_BUFFERED requests on its file object), and, as the
// owner of the shared buffers, streams through them: its thread waits on the buffer-switch event,
// writes render data ahead of the device and reads capture data behind it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/io/Io.h"

namespace host {

// The protocol's codes, as the client knows them.
namespace asio {
constexpr ULONG GET_DRIVER_NAME = 0x1D6000;
constexpr ULONG GET_CHANNELS = 0x1D6004;
constexpr ULONG GET_CHANNEL_INFO = 0x1DE008;
constexpr ULONG GET_SAMPLE_TYPES = 0x1D600C;
constexpr ULONG GET_LATENCY_TABLE = 0x1D6010;
constexpr ULONG SET_EVENT = 0x1DA014;
constexpr ULONG GET_BUSY = 0x1D6018;
constexpr ULONG SET_SAMPLE_TYPE = 0x1DA01C;
constexpr ULONG SET_LATENCY = 0x1DA020;
constexpr ULONG GET_LATENCIES = 0x1D6024;
constexpr ULONG GET_SAMPLE_RATE = 0x1D6028;
constexpr ULONG CAN_SAMPLE_RATE = 0x1DA02C;
constexpr ULONG SET_SAMPLE_RATE = 0x1DA030;
constexpr ULONG GET_BUFFER_SIZE = 0x1D6034;
constexpr ULONG CREATE_BUFFERS = 0x1DE038;
constexpr ULONG DISPOSE_BUFFERS = 0x1DA03C;
constexpr ULONG START = 0x1DA040;
constexpr ULONG STOP = 0x1DA044;
constexpr ULONG RELEASE_EVENT = 0x1DA04C;
constexpr ULONG CAN_IO_FORMAT = 0x1DA050;
constexpr ULONG SET_IO_FORMAT = 0x1DA054;
constexpr ULONG GET_IO_FORMAT = 0x1D6058;
}  // namespace asio

// The 40-byte header at the start of every shared buffer.
struct AsioBufferView {
    uint32_t Enable;
    uint32_t Direction;
    uint32_t Channels;
    uint32_t FirstChannel;
    uint32_t Size;
    uint32_t RingPosition;
    uint32_t InitialPosition;
    uint32_t QueuedBytes;
    uint32_t SignalFlag;
    uint32_t CompletedCount;
};

struct AsioReply {
    NTSTATUS Status = STATUS_PENDING;
    ULONG_PTR Information = 0;
    std::vector<uint8_t> Output;  // the whole output buffer as the caller sees it afterwards
};

// A request on its way through the driver (a stop outside D0 stays there until D0).
class AsioPendingRequest {
public:
    KEVENT Done;
    IO_STATUS_BLOCK Iosb{};
    std::vector<uint8_t> Output;
    NTSTATUS Sent = STATUS_PENDING;
    // The request itself, valid only while it is pending (for a cancel, as the I/O manager's).
    PIRP Irp = nullptr;
};

class AsioSession {
public:
    // `is32bit`: the process is a 32-bit one (4-byte handles and addresses).
    explicit AsioSession(PDEVICE_OBJECT fdo, bool is32bit = false);
    // Stops streaming, closes the handle if still open, and the process ends.
    ~AsioSession();
    AsioSession(const AsioSession&) = delete;
    AsioSession& operator=(const AsioSession&) = delete;

    // Opens the device's enabled ASIO interface in the process.
    NTSTATUS Open();
    // Closes the process's handle (the driver sees the cleanup, and the close once the file's
    // requests are done); closing a handle does not fail.
    NTSTATUS Close();
    bool IsOpen() const { return m_handle != nullptr; }
    HANDLE Handle() const { return m_handle; }
    // The file object behind the handle (null when closed).
    PFILE_OBJECT File() const;

    // One request: `input` is copied in; the output buffer of `outputLength` bytes starts as 0xA5
    // bytes, and what the driver reports (Information) is copied over it.
    AsioReply Control(ULONG code, const void* input, ULONG inputLength, ULONG outputLength);
    AsioReply Control(ULONG code, const std::vector<uint8_t>& input, ULONG outputLength)
    {
        return Control(code, input.data(), static_cast<ULONG>(input.size()), outputLength);
    }
    // A request whose completion is collected later.
    std::unique_ptr<AsioPendingRequest> Send(ULONG code, const void* input, ULONG inputLength, ULONG outputLength);
    // Waits (bounded, real time) for a sent request; Status stays STATUS_PENDING when it did not end.
    static AsioReply Wait(AsioPendingRequest& request, int timeoutMs = 5000);
    static bool Done(AsioPendingRequest& request);

    // Convenience for the common requests.
    NTSTATUS SetLong(ULONG code, int32_t value);
    NTSTATUS GetLongs(ULONG code, ULONG count, std::vector<int32_t>* values);
    // An event handle in this process, opened with `access`; the caller keeps it (ZwClose).
    HANDLE NewEvent(PKEVENT* event = nullptr, ACCESS_MASK access = 0x001F0003 /* EVENT_ALL_ACCESS */);
    // The simulated process the session's requests come from.
    uint32_t Process() const { return m_process; }
    // The handle bytes a request carries (4 in a 32-bit process).
    std::vector<uint8_t> HandleBytes(HANDLE handle) const;
    // CREATE_BUFFERS for the given (isInput, channel) entries; the addresses per ASIO endpoint.
    NTSTATUS CreateBuffers(const std::vector<std::pair<uint32_t, int32_t>>& entries, uint32_t frames,
                           ULONG endpoints, std::vector<AsioBufferView*>* buffers);

    // Streaming as an ASIO host with two buffers of `frames` frames per channel. The host's clock
    // is the frame count of its inputs (with none, of what the device has read of its outputs);
    // it writes each output up to its clock plus RenderLeadFrames (two buffers, at most half the
    // ring). `Render` writes `bytes` of output buffer `index` from its frame `frame` on (counted
    // from the ring's initial position); `Capture` reads what input buffer `index` received from
    // its frame `frame` on. Frames of a buffer are its channels x `sampleBytes` bytes.
    struct StreamHooks {
        std::function<void(size_t index, uint64_t frame, uint8_t* data, size_t bytes)> Render;
        std::function<void(size_t index, uint64_t frame, const uint8_t* data, size_t bytes)> Capture;
    };
    struct StreamStats {
        uint64_t Periods = 0;
        uint64_t LatePeriods = 0;  // periods the thread found already passed
        uint64_t Notifications = 0;  // times the driver said the sample type, latency or rate changed
    };
    // Starts the streaming thread over buffers made by CreateBuffers (START with its event).
    NTSTATUS StartStreaming(const std::vector<AsioBufferView*>& buffers, uint32_t sampleBytes, uint32_t frames,
                            StreamHooks hooks);
    // Frames of output written ahead of the host's clock (0 when not streaming), and what they
    // will be for the buffers.
    uint32_t RenderLeadFrames() const;
    static uint32_t LeadFrames(const std::vector<AsioBufferView*>& buffers, uint32_t sampleBytes, uint32_t frames);
    // STOP and ends the thread; the stop's status.
    NTSTATUS StopStreaming();

    // The round trip as an ASIO host sees it: streaming silence with two `frames`-frame buffers,
    // it writes one full-scale sample on channel 0 of the first enabled output at output frame X
    // (on its clock) and finds it on channel 0 of the first enabled input at input frame Y: the
    // first sample above half scale after 16 below 1/16 of full scale.
    struct RoundTrip {
        bool Found = false;
        uint64_t OutputFrame = 0;  // X
        uint64_t InputFrame = 0;   // Y
        int64_t Frames = 0;        // Y - X
        uint32_t LeadFrames = 0;   // output written ahead of the clock
        StreamStats Stats;
    };
    // Starts, runs the machine until the impulse is back or `limit` has passed, and stops; X is
    // `at` frames after the start. The result is the first failing request's status (START or
    // STOP); not finding the impulse is success with Found false.
    NTSTATUS MeasureRoundTrip(const std::vector<AsioBufferView*>& buffers, uint32_t sampleBytes, uint32_t frames,
                              uint64_t at, std::chrono::milliseconds limit, RoundTrip* result);
    // The process dies: its thread ends where it is, and the system ends the process: its
    // requests are cancelled, its handles closed, without a word to the driver first.
    void Kill();
    bool Alive() const { return m_alive; }
    StreamStats Stats() const;

private:
    struct Stream;
    void StreamThread();
    // RELEASE_EVENT for the notification event the stream set, and its handle closed.
    void ReleaseNotify(Stream& stream);

    PDEVICE_OBJECT m_fdo;
    bool m_is32bit;
    uint32_t m_process;
    bool m_alive = true;
    HANDLE m_handle = nullptr;
    std::unique_ptr<Stream> m_stream;
    std::vector<std::unique_ptr<AsioPendingRequest>> m_unfinished;
};

}  // namespace host
