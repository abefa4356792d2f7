// Host side (tests and the command-line tool; never included by driver code): the operating
// system's audio engine on one wave filter. It finds the filter (the first present render or
// capture filter, or a named one), intersects the format with the streaming pin's data ranges,
// creates the pin, walks it STOP -> ACQUIRE -> PAUSE -> RUN, keeps client buffers queued from a
// thread of its own that the machine knows (virtual or real time, as the machine runs), reads the
// positions, counts starvation, and walks the pin back down and closes it on the end of the data,
// a stop, a failing pin, or the filter going away (surprise removal, a jack removing it).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/AudioEngineLatency.h"
#include "host/AudioEnginePin.h"
#include "platform/nt/Machine.h"

namespace host {

// Why the engine's thread ended.
enum class EngineEnd {
    Running,   // not ended yet
    Finished,  // render: every byte played out; capture: every byte asked for read
    Stopped,   // Stop() was called
    Failed,    // a pin call failed (Status says which)
    Removed,   // the filter went away
};
const char* EngineEndText(EngineEnd end);

// What an observer of the driver tells the engine while a render stream runs, from whatever
// thread the driver reports on (a DPC of its endpoint, say).
class EngineObservations {
public:
    // The driver moved `bytes` of the cyclic buffer toward the wire.
    virtual void RenderFill(uint32_t bytes) = 0;
    // The endpoint announced its transfer ring: transfers kept queued and ms per transfer.
    virtual void Ring(ULONG transfers, ULONG msPerTransfer) = 0;

protected:
    ~EngineObservations() = default;
};

// Attaches an observer of the driver that reports to `to` until `*detach` is called; the engine
// calls it once the stream is down, before the pin closes. A status other than success fails the
// start with it.
using EngineObserve = std::function<NTSTATUS(EngineObservations& to, std::function<void()>* detach)>;

// Optional instruments from a caller that can see the driver and the device: an observer of the
// endpoint (render fills and the transfer ring are seen there), the bus's frame and the bytes the
// device has received so far.
struct EngineProbe {
    EngineObserve Observe;
    std::function<uint32_t()> Frame;
    std::function<uint64_t()> WireBytes;
    // The rate the driver paces the stream at (frames per second, 0 when it has none).
    std::function<double()> Rate;
};

struct EngineStats {
    ULONGLONG PlayOffset = 0;   // the pin's running position (bytes)
    ULONGLONG WriteOffset = 0;  // render: client bytes in the cyclic buffer; capture: bytes taken out of it
    uint64_t Transferred = 0;   // render: bytes handed to the pin; capture: bytes read from it
    uint64_t Starvations = 0;   // render: times the pin's queue ran dry while data was left
    uint64_t PositionWentBack = 0;  // positions read lower than the one before
    uint64_t Looks = 0;         // times the engine's thread looked at the pin
    double ElapsedMs = 0;       // since RUN
    uint64_t WireBytes = 0;     // with a probe: bytes the device received
    double MaxPositionErrorMs = 0;  // with a probe: |wire bytes - play offset|, as time
    double MeanPositionErrorMs = 0;
    // With a probe's rate: its mean, lowest and highest after the first second (the whole run
    // when shorter); 0 when it gave none.
    double MeanRate = 0;
    double MinRate = 0;
    double MaxRate = 0;
};

// Render data handed over a block at a time: fills at most `bytes` (whole sample frames) and
// returns how many; 0 once the data has ended. Called on the engine's thread.
using RenderSource = std::function<size_t(uint8_t* data, size_t bytes)>;
// Captured bytes handed over as they are read, on the engine's thread.
using CaptureSink = std::function<void(const uint8_t* data, size_t bytes)>;

class AudioEngine : private EngineObservations {
public:
    // `adapterDevice` is the adapter's functional device object (its filters are listed there).
    explicit AudioEngine(PDEVICE_OBJECT adapterDevice);
    // Stops the thread and closes the pin.
    ~AudioEngine();
    AudioEngine(const AudioEngine&) = delete;
    AudioEngine& operator=(const AudioEngine&) = delete;

    // Finds the filter: the named one, else the first present wave filter of the direction.
    NTSTATUS Open(bool capture, std::u16string_view name = {});
    const std::u16string& FilterName() const { return m_name; }
    // The PCM formats the filter's streaming pin takes (after Open).
    const std::vector<AudioFormat>& Formats() const { return m_formats; }

    // Creates the pin in the format and starts the thread. Render plays `data` (whole sample
    // frames of the format) and ends once it has played out with a block of silence after it;
    // capture reads `captureBytes` and ends.
    NTSTATUS StartRender(const AudioFormat& format, std::vector<uint8_t> data, const EngineProbe& probe = {});
    // Render from a source, without holding the data: it ends once the source has ended and
    // what it gave has played out with a block of silence after it.
    NTSTATUS StartRender(const AudioFormat& format, RenderSource source, const EngineProbe& probe = {});
    // With a sink, the captured bytes go to it and are not kept (Captured() stays empty).
    NTSTATUS StartCapture(const AudioFormat& format, uint64_t captureBytes, CaptureSink sink = {});
    // Waits for the thread to end (it ends by itself); the pin is closed by then.
    EngineEnd Wait();
    // Asks the thread to stop; Wait() then returns Stopped.
    void Stop();
    // A flag the thread also stops on once set (before Start; it must outlive the engine's
    // thread): a signal handler may set it.
    void SetStopFlag(const std::atomic<bool>* flag) { m_stopFlag = flag; }
    // Around a system sleep, as the system's audio service does: CloseForSleep has the running
    // engine stop and close its pin (what was queued and not played is dropped) and returns once
    // it is closed; ReopenAfterSleep has it open a new pin in the same format and go on with the
    // rest of the data (render) or the capture. False when the engine is not running.
    bool CloseForSleep();
    bool ReopenAfterSleep();
    // How often the engine closed its pin for a sleep and opened it again.
    uint32_t Sleeps() const { return m_sleeps.load(); }
    // Called from the engine's thread about every `everyMs` while it runs (before Start).
    void SetProgress(std::function<void(const EngineStats&)> progress, uint32_t everyMs);

    EngineEnd End() const { return m_end.load(); }
    NTSTATUS Status() const { return m_status; }  // the failing pin call's status
    EngineStats Stats();
    // Capture: the bytes read.
    std::vector<uint8_t> Captured();
    // Render with a probe: the fills observed (frame and bytes, in order) and the engine's writes.
    std::vector<FrameRun> Fills();
    std::vector<WriteMark> Writes();
    // Render with a probe: the transfer ring the endpoint announced for the stream (its last
    // format message): transfers queued and ms per transfer; zero before one was seen.
    ULONG RingTransfers();
    ULONG RingMsPerTransfer();
    // Bytes of the cyclic buffer.
    ULONG BufferSize() const { return m_bufferSize; }

private:
    NTSTATUS CreatePin(const AudioFormat& format);
    NTSTATUS Walk(KSSTATE to);
    // On the engine's thread: closes the pin, waits for the wake and opens a new one at PAUSE;
    // false when the engine ends instead.
    bool SleepThrough();
    void ThreadMain();
    // Until the pin gives its oldest buffer back, the engine is asked something, or, with no
    // buffer out, for a bounded while.
    void WaitForWork();
    bool Tick(bool starting);
    bool FilterPresent() const;
    void Finish(EngineEnd end, NTSTATUS status = STATUS_SUCCESS);
    void RenderFill(uint32_t bytes) override;
    void Ring(ULONG transfers, ULONG msPerTransfer) override;

    PDEVICE_OBJECT m_device;
    std::u16string m_name;
    PUNKNOWN m_port = nullptr;  // with a reference while open
    ULONG m_pinId = 0;
    bool m_capture = false;
    std::vector<AudioFormat> m_formats;
    AudioFormat m_format;
    EnginePin m_pin;
    ULONG m_bufferSize = 0;

    RenderSource m_source;
    std::vector<uint8_t> m_pending;  // render: read from the source, not yet written to the pin
    size_t m_pendingAt = 0;
    bool m_sourceEnded = false;
    uint64_t m_captureBytes = 0;
    CaptureSink m_captureSink;
    uint64_t m_capturedBytes = 0;
    const std::atomic<bool>* m_stopFlag = nullptr;
    EngineProbe m_probe;
    std::function<void()> m_detach;  // the probe's observer while attached

    std::function<void(const EngineStats&)> m_progress;
    uint32_t m_progressEveryMs = 0;

    std::unique_ptr<platform::ClientThread> m_thread;
    std::atomic<bool> m_stop{false};
    KEVENT m_wake;  // set by Stop and by the sleep and wake requests
    std::atomic<EngineEnd> m_end{EngineEnd::Running};
    NTSTATUS m_status = STATUS_SUCCESS;

    std::mutex m_lock;  // what other threads read: stats, captured bytes, fills, writes
    EngineStats m_stats;
    std::vector<uint8_t> m_captured;
    std::vector<FrameRun> m_fills;
    std::vector<WriteMark> m_writes;
    ULONG m_ringTransfers = 0;
    ULONG m_ringMsPerTransfer = 0;
    double m_positionErrorSum = 0;
    double m_rateSum = 0;
    uint64_t m_rateCount = 0;
    bool m_rateSettled = false;
    uint64_t m_positionErrorCount = 0;
    int64_t m_runTicks = 0;
    double m_lastMoveMs = 0;
    double m_nextProgressMs = 0;
    bool m_dry = false;
    // Sleep and wake.
    std::vector<uint8_t> m_dataFormat;
    std::atomic<bool> m_sleepAsked{false};
    std::atomic<bool> m_wakeAsked{false};
    std::atomic<bool> m_asleep{false};
    std::atomic<uint32_t> m_sleeps{0};
    bool m_runAfterWake = false;
    ULONGLONG m_positionBase = 0;  // bytes the pins closed for a sleep had taken
};

}  // namespace host
