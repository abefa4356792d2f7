// Host side (tests and the command-line tool; never included by driver code): one pin instance
// of a wave filter, opened and driven the way the audio stack does it, through KS requests on
// file objects: the format from the filter's data intersection, the create with KSPIN_CONNECT,
// the state walk, position, format and content id properties, and client buffers sent as stream
// IRPs that complete (setting the client's event) once the port has moved their bytes.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "host/FilterBrowser.h"

namespace host {

// A KsPin lives no longer than its browser, which carries its requests.
class KsPin {
public:
    explicit KsPin(FilterBrowser& browser) : m_browser(browser) {}
    ~KsPin() { Close(); }
    KsPin(const KsPin&) = delete;
    KsPin& operator=(const KsPin&) = delete;

    // The pin's data ranges (KSPROPERTY_PIN_DATARANGES), each range's bytes.
    static std::vector<std::vector<uint8_t>> DataRanges(FilterBrowser& browser, PFILE_OBJECT filter, ULONG pinId,
                                                        NTSTATUS* status = nullptr);
    // The format the filter makes of the client's ranges for pin `pinId`
    // (KSPROPERTY_PIN_DATAINTERSECTION: the size, then the format). Empty on failure.
    static std::vector<uint8_t> Intersect(FilterBrowser& browser, PFILE_OBJECT filter, ULONG pinId,
                                          const std::vector<std::vector<uint8_t>>& ranges,
                                          NTSTATUS* status = nullptr);
    // The create request's bytes: KSPIN_CONNECT (standard interface and medium) and the format.
    static std::vector<uint8_t> ConnectRequest(ULONG pinId, const std::vector<uint8_t>& format);

    // Creates the pin instance on the open filter; the pin starts in KSSTATE_STOP.
    NTSTATUS Open(PFILE_OBJECT filter, ULONG pinId, const std::vector<uint8_t>& format);
    // The same with the create request's bytes as given.
    NTSTATUS OpenWith(PFILE_OBJECT filter, const std::vector<uint8_t>& request);
    PFILE_OBJECT File() const { return m_pin; }

    // KSPROPERTY_CONNECTION_STATE: the port walks the stream there one level at a time.
    NTSTATUS SetState(KSSTATE state);
    NTSTATUS GetState(KSSTATE* state);
    // KSPROPERTY_AUDIO_POSITION: running byte offsets since RUN.
    NTSTATUS GetPosition(KSAUDIO_POSITION* position);
    // KSPROPERTY_CONNECTION_DATAFORMAT.
    NTSTATUS SetFormat(const std::vector<uint8_t>& format);
    std::vector<uint8_t> GetFormat(NTSTATUS* status = nullptr);
    // KSPROPERTY_DRMAUDIOSTREAM_CONTENTID.
    NTSTATUS SetContentId(ULONG contentId, const DRMRIGHTS& rights = {});
    // One property request on the pin (header only, no instance data).
    KsResult Property(const GUID& set, ULONG id, ULONG verb, void* value, ULONG valueSize);

    // Sends one client buffer: render, the `bytes` at `data`; capture, room for `bytes` at `data`.
    // The buffer stays the client's to keep alive until it comes back from Reap. `event`
    // (optional) is set when the request completes. STATUS_PENDING while the port holds it, else
    // the status it completed with at once.
    NTSTATUS Write(const void* data, ULONG bytes, PKEVENT event);
    NTSTATUS Read(void* data, ULONG bytes, PKEVENT event);
    // A stream request with the headers as given (`length` bytes at `headers`, which stay the
    // caller's until reaped; Completion::Data is `headers`): IOCTL_KS_WRITE_STREAM or
    // IOCTL_KS_READ_STREAM.
    NTSTATUS SubmitHeaders(ULONG code, void* headers, ULONG length, PKEVENT event);

    struct Completion {
        NTSTATUS Status;
        ULONG Bytes;  // moved: render, copied into the cyclic buffer; capture, filled
        void* Data;
    };
    // Buffers completed, oldest first, up to the first still held by the port.
    std::vector<Completion> Reap();
    // Buffers sent and not yet reaped.
    size_t Outstanding();
    // Cancels every buffer the port still holds (IoCancelIrp); they complete with STATUS_CANCELLED.
    void Cancel();

    // IRP_MJ_CLOSE: the port stops the pin and completes what it holds (STATUS_CANCELLED); the
    // requests are then freed.
    NTSTATUS Close();

private:
    struct Request {
        PIRP Irp = nullptr;
        KSSTREAM_HEADER Header{};
        PKEVENT Event = nullptr;
        void* Data = nullptr;
        NTSTATUS Status = STATUS_PENDING;
        ULONG Bytes = 0;
        std::atomic<bool> Done{false};
        KsPin* Pin = nullptr;
    };
    static NTSTATUS OnStreamDone(PDEVICE_OBJECT device, PIRP irp, PVOID context);
    NTSTATUS Send(ULONG code, std::unique_ptr<Request> request, void* headers, ULONG length);

    FilterBrowser& m_browser;
    PFILE_OBJECT m_pin = nullptr;
    std::mutex m_lock;
    std::deque<std::unique_ptr<Request>> m_requests;
    // Held by a request's completion while it reports it, and by Reap while it looks: taken
    // after m_lock, and never around IoCancelIrp.
    std::mutex m_doneLock;
};

}  // namespace host
