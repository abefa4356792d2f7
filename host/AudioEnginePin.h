// Host side (tests and the command-line tool; never included by driver code): every call the
// audio engine makes on a wave filter's pin, in one place. The pin is reached as the audio stack
// reaches it: the filter opened on the adapter's stack, its pin set and data intersection asked
// through KS property requests, the pin created relative to the filter, and client buffers sent
// as stream requests from a ring of buffers that each come back (their event set) once the port
// has moved their bytes.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/FilterBrowser.h"
#include "host/KsPin.h"

namespace host {

// One listed PCM format of a streaming pin.
struct AudioFormat {
    ULONG Rate = 0;
    USHORT Channels = 0;
    USHORT Bits = 0;       // valid bits per sample
    USHORT Container = 0;  // bits of the sample's container (8, 16, 24, 32)
    USHORT BlockAlign() const { return static_cast<USHORT>(Channels * (Container / 8)); }
    bool operator==(const AudioFormat&) const = default;
};

class EnginePin {
public:
    EnginePin() = default;
    ~EnginePin() { Close(); }
    EnginePin(const EnginePin&) = delete;
    EnginePin& operator=(const EnginePin&) = delete;

    // The filter's streaming pin: the first pin a client connects to (sink communication) that
    // has data ranges; DataFlow OUT is capture. False when the filter has none.
    static bool StreamingPin(PDEVICE_OBJECT adapterDevice, std::u16string_view filter, ULONG* pinId, bool* capture);
    // The PCM formats the pin takes, in the order its data ranges give them: every candidate is
    // intersected on its own, so only formats the endpoint lists come back.
    static std::vector<AudioFormat> ListFormats(PDEVICE_OBJECT adapterDevice, std::u16string_view filter,
                                                ULONG pinId);
    // Intersects the format with the pin's data ranges: the data format to create the pin with
    // (a KSDATAFORMAT and its WAVEFORMATEXTENSIBLE), or STATUS_NO_MATCH.
    static NTSTATUS Intersect(PDEVICE_OBJECT adapterDevice, std::u16string_view filter, ULONG pinId,
                              const AudioFormat& format, std::vector<uint8_t>* dataFormat);

    // Opens the filter and creates the pin on it in the data format; the pin starts at STOP.
    NTSTATUS Create(PDEVICE_OBJECT adapterDevice, std::u16string_view filter, ULONG pinId,
                    const std::vector<uint8_t>& dataFormat);
    bool IsOpen() const { return m_pin != nullptr && m_pin->File() != nullptr; }
    // One state at a time, as the pin walks them.
    NTSTATUS SetState(KSSTATE state);
    // The pin's state; when the pin cannot be asked, the last state it reached.
    KSSTATE State() const;
    // Render: copies the bytes into a free buffer of the ring and sends it.
    NTSTATUS Write(const void* data, ULONG bytes);
    // Capture: takes up to `bytes` of what the ring's buffers brought back, and keeps the ring's
    // buffers sent.
    NTSTATUS Read(void* data, ULONG bytes, ULONG* read);
    // Render: bytes sent and not yet moved into the cyclic buffer (whole buffers still held);
    // capture: bytes brought back and not yet read.
    ULONG Queued();
    NTSTATUS Position(ULONGLONG* playOffset, ULONGLONG* writeOffset);
    // The completion event of the oldest buffer the pin holds (null when it holds none).
    PKEVENT NextCompletion() { return m_sent.empty() ? nullptr : &m_sent.front()->Done; }
    // Bytes of the cyclic buffer (0 before the pin exists).
    ULONG BufferSize() const;
    // Walks the pin down to STOP and closes it, then the filter; nothing when it is not open.
    void Close();

private:
    struct Buffer {
        std::vector<uint8_t> Bytes;
        ULONG Length = 0;  // bytes sent
        KEVENT Done;
    };
    // Takes back what the port completed, oldest first: render, the buffers go back to the free
    // list; capture, their bytes are kept for Read. The first failure (other than a cancel) is
    // kept and returned by the next Write or Read.
    void Collect();
    Buffer* FreeBuffer(ULONG bytes);
    NTSTATUS Send(Buffer* buffer);

    std::unique_ptr<FilterBrowser> m_browser;
    PFILE_OBJECT m_filter = nullptr;
    std::unique_ptr<KsPin> m_pin;  // after the browser, which carries its requests
    bool m_capture = false;
    ULONG m_period = 0;            // bytes of one capture buffer (10 ms)
    mutable KSSTATE m_state = KSSTATE_STOP;
    NTSTATUS m_failure = STATUS_SUCCESS;

    std::vector<std::unique_ptr<Buffer>> m_buffers;  // every buffer of the ring
    std::vector<Buffer*> m_free;
    std::deque<Buffer*> m_sent;  // in the order sent, as the pin completes them
    std::vector<uint8_t> m_captured;  // capture: bytes back and not yet read, from m_readAt
    size_t m_readAt = 0;
};

}  // namespace host
