// The host audio engine: one pin of one wave filter, driven from the engine's own thread.
#include "host/AudioEngine.h"

#include <algorithm>
#include <cmath>

#include "platform/nt/Clock.h"
#include "platform/nt/Dispatcher.h"

namespace host {
namespace {

// The engine wakes when the pin gives a buffer back (or when asked to stop, sleep or wake); with
// nothing of its own in flight (a drained render, a capture that is full) it looks again after
// one buffer's time, so that the end of the play-out and a stalled position are seen.
constexpr LONGLONG WAIT_LIMIT = -100000;  // 10 ms
// A running pin whose position does not move for this long has failed.
constexpr int64_t STALL_LIMIT_MS = 2000;

double TicksToMs(int64_t ticks) { return static_cast<double>(ticks) / platform::TICKS_PER_MS; }

}  // namespace

const char* EngineEndText(EngineEnd end)
{
    switch (end) {
    case EngineEnd::Running: return "running";
    case EngineEnd::Finished: return "finished";
    case EngineEnd::Stopped: return "stopped";
    case EngineEnd::Failed: return "failed";
    case EngineEnd::Removed: return "filter removed";
    }
    return "?";
}

AudioEngine::AudioEngine(PDEVICE_OBJECT adapterDevice) : m_device(adapterDevice)
{
    KeInitializeEvent(&m_wake, SynchronizationEvent, FALSE);
}

AudioEngine::~AudioEngine()
{
    Stop();
    Wait();
    m_pin.Close();
    if (m_port != nullptr) m_port->Release();
}

NTSTATUS AudioEngine::Open(bool capture, std::u16string_view name)
{
    if (m_port != nullptr) return STATUS_INVALID_DEVICE_STATE;
    for (const platform::PcSubdeviceInfo& filter : platform::PcSubdevices(m_device)) {
        if (!IsEqualGUID(filter.PortClass, CLSID_PortWaveCyclic)) continue;
        if (!name.empty() && filter.Name != name) continue;
        ULONG pinId = 0;
        bool pinCapture = false;
        if (!EnginePin::StreamingPin(m_device, filter.Name, &pinId, &pinCapture)) continue;
        if (name.empty() && pinCapture != capture) continue;
        if (pinCapture != capture) return STATUS_INVALID_DEVICE_REQUEST;
        m_formats = EnginePin::ListFormats(m_device, filter.Name, pinId);
        m_port = filter.Port;
        m_port->AddRef();
        m_name = filter.Name;
        m_pinId = pinId;
        m_capture = capture;
        return STATUS_SUCCESS;
    }
    return STATUS_NOT_FOUND;
}

NTSTATUS AudioEngine::CreatePin(const AudioFormat& format)
{
    if (m_port == nullptr || m_thread != nullptr) return STATUS_INVALID_DEVICE_STATE;
    std::vector<uint8_t> dataFormat;
    NTSTATUS status = EnginePin::Intersect(m_device, m_name, m_pinId, format, &dataFormat);
    if (!NT_SUCCESS(status)) return status;
    status = m_pin.Create(m_device, m_name, m_pinId, dataFormat);
    if (!NT_SUCCESS(status)) return status;
    m_dataFormat = dataFormat;
    m_format = format;
    m_bufferSize = m_pin.BufferSize();
    return STATUS_SUCCESS;
}

NTSTATUS AudioEngine::StartRender(const AudioFormat& format, std::vector<uint8_t> data, const EngineProbe& probe)
{
    auto held = std::make_shared<std::vector<uint8_t>>(std::move(data));
    auto at = std::make_shared<size_t>(0);
    return StartRender(
        format,
        [held, at](uint8_t* out, size_t bytes) {
            const size_t n = std::min(bytes, held->size() - *at);
            std::copy_n(held->data() + *at, n, out);
            *at += n;
            return n;
        },
        probe);
}

NTSTATUS AudioEngine::StartRender(const AudioFormat& format, RenderSource source, const EngineProbe& probe)
{
    if (m_capture || !source) return STATUS_INVALID_DEVICE_REQUEST;
    NTSTATUS status = CreatePin(format);
    if (!NT_SUCCESS(status)) return status;
    m_source = std::move(source);
    m_probe = probe;
    if (m_probe.Observe) {
        status = m_probe.Observe(*this, &m_detach);
        if (!NT_SUCCESS(status)) {
            m_detach = nullptr;
            m_pin.Close();
            return status;
        }
    }
    m_thread = std::make_unique<platform::ClientThread>("audio engine", [this] { ThreadMain(); });
    return STATUS_SUCCESS;
}

NTSTATUS AudioEngine::StartCapture(const AudioFormat& format, uint64_t captureBytes, CaptureSink sink)
{
    if (!m_capture) return STATUS_INVALID_DEVICE_REQUEST;
    NTSTATUS status = CreatePin(format);
    if (!NT_SUCCESS(status)) return status;
    m_captureBytes = captureBytes;
    m_captureSink = std::move(sink);
    m_thread = std::make_unique<platform::ClientThread>("audio engine", [this] { ThreadMain(); });
    return STATUS_SUCCESS;
}

EngineEnd AudioEngine::Wait()
{
    if (m_thread != nullptr) {
        m_thread->Join();
        m_thread.reset();
    }
    return m_end.load();
}

void AudioEngine::Stop()
{
    m_stop = true;
    KeSetEvent(&m_wake, IO_NO_INCREMENT, FALSE);
}

void AudioEngine::WaitForWork()
{
    PVOID objects[2] = {&m_wake, m_pin.NextCompletion()};
    const ULONG count = objects[1] != nullptr ? 2 : 1;
    LARGE_INTEGER limit;
    limit.QuadPart = WAIT_LIMIT;
    KeWaitForMultipleObjects(count, objects, WaitAny, Executive, KernelMode, FALSE, &limit, nullptr);
}

bool AudioEngine::CloseForSleep()
{
    if (m_thread == nullptr || m_end.load() != EngineEnd::Running) return false;
    m_sleepAsked = true;
    KeSetEvent(&m_wake, IO_NO_INCREMENT, FALSE);
    return platform::RunUntil([this] { return m_asleep.load() || m_end.load() != EngineEnd::Running; },
                              std::chrono::seconds(10)) &&
           m_asleep.load();
}

bool AudioEngine::ReopenAfterSleep()
{
    if (!m_asleep.load()) return false;
    m_wakeAsked = true;
    KeSetEvent(&m_wake, IO_NO_INCREMENT, FALSE);
    return platform::RunUntil([this] { return !m_asleep.load(); }, std::chrono::seconds(10));
}

bool AudioEngine::SleepThrough()
{
    Walk(KSSTATE_STOP);
    ULONGLONG played = 0;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        // The new pin's positions start at 0 where the data goes on.
        played = m_stats.Transferred;
    }
    m_pin.Close();
    m_positionBase = played;
    m_dry = false;
    m_asleep = true;
    while (!m_wakeAsked.load() && !m_stop.load()) {
        KeWaitForSingleObject(&m_wake, Executive, KernelMode, FALSE, nullptr);
    }
    m_sleepAsked = false;
    m_wakeAsked = false;
    NTSTATUS status = m_stop.load() ? STATUS_SUCCESS : m_pin.Create(m_device, m_name, m_pinId, m_dataFormat);
    if (NT_SUCCESS(status) && !m_stop.load()) {
        m_bufferSize = m_pin.BufferSize();
        status = Walk(KSSTATE_PAUSE);
    }
    m_sleeps++;
    m_asleep = false;
    if (m_stop.load()) {
        Finish(EngineEnd::Stopped);
        return false;
    }
    if (!NT_SUCCESS(status)) {
        Finish(EngineEnd::Failed, status);
        return false;
    }
    m_runAfterWake = true;
    return true;
}

void AudioEngine::SetProgress(std::function<void(const EngineStats&)> progress, uint32_t everyMs)
{
    m_progress = std::move(progress);
    m_progressEveryMs = everyMs;
}

EngineStats AudioEngine::Stats()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_stats;
}

std::vector<uint8_t> AudioEngine::Captured()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_captured;
}

std::vector<FrameRun> AudioEngine::Fills()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_fills;
}

std::vector<WriteMark> AudioEngine::Writes()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_writes;
}

ULONG AudioEngine::RingTransfers()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_ringTransfers;
}

ULONG AudioEngine::RingMsPerTransfer()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_ringMsPerTransfer;
}

void AudioEngine::Ring(ULONG transfers, ULONG msPerTransfer)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_ringTransfers = transfers;
    m_ringMsPerTransfer = msPerTransfer;
}

void AudioEngine::RenderFill(uint32_t bytes)
{
    if (bytes == 0) return;
    const uint32_t frame = m_probe.Frame ? m_probe.Frame() : 0;
    std::lock_guard<std::mutex> guard(m_lock);
    m_fills.push_back({frame, bytes});
}

bool AudioEngine::FilterPresent() const
{
    for (const platform::PcSubdeviceInfo& filter : platform::PcSubdevices(m_device)) {
        if (filter.Port == m_port) return true;
    }
    return false;
}

void AudioEngine::Finish(EngineEnd end, NTSTATUS status)
{
    if (m_end.load() != EngineEnd::Running) return;
    m_status = status;
    m_end = end;
}

NTSTATUS AudioEngine::Walk(KSSTATE to)
{
    // One level at a time, so that a failing step names itself.
    while (m_pin.State() != to) {
        const auto next = static_cast<KSSTATE>(m_pin.State() + (to > m_pin.State() ? 1 : -1));
        const NTSTATUS status = m_pin.SetState(next);
        if (!NT_SUCCESS(status)) return status;
    }
    return STATUS_SUCCESS;
}

// One look at the pin; false once the engine is done.
bool AudioEngine::Tick(bool starting)
{
    if (m_stop || (m_stopFlag != nullptr && m_stopFlag->load())) {
        Finish(EngineEnd::Stopped);
        return false;
    }
    if (!FilterPresent()) {
        Finish(EngineEnd::Removed, STATUS_NO_SUCH_DEVICE);
        return false;
    }
    if (m_sleepAsked.load() && !SleepThrough()) {
        return false;
    }
    ULONGLONG play = 0, written = 0;
    NTSTATUS status = m_pin.Position(&play, &written);
    if (!NT_SUCCESS(status)) {
        Finish(EngineEnd::Failed, status);
        return false;
    }
    play += m_positionBase;
    written += m_positionBase;
    const double elapsed = starting ? 0 : TicksToMs(platform::ClockNow() - m_runTicks);
    bool done = false;
    std::vector<uint8_t> chunk;
    if (!m_capture) {
        uint64_t sent;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            sent = m_stats.Transferred;
        }
        const ULONG queued = m_pin.Queued();
        if (!starting && !(m_sourceEnded && m_pendingAt == m_pending.size())) {
            // The service filled silence where it found nothing queued.
            if (queued == 0 && !m_dry) {
                std::lock_guard<std::mutex> guard(m_lock);
                ++m_stats.Starvations;
            }
            m_dry = queued == 0;
        }
        // Keep queued what the service takes ahead of the position (half a block), and at least
        // 100 ms, so that a late turn of this thread in real time does not starve the pin.
        const ULONG step = std::max<ULONG>(m_format.BlockAlign(), m_format.Rate / 100 * m_format.BlockAlign());
        const ULONG target = std::max<ULONG>(m_bufferSize / 2, 10 * step);
        ULONG level = queued;
        while (level < target) {
            if (m_pendingAt == m_pending.size()) {
                if (m_sourceEnded) break;
                m_pending.resize(step);
                m_pendingAt = 0;
                const size_t got = m_source(m_pending.data(), step);
                m_pending.resize(std::min<size_t>(got, step) / m_format.BlockAlign() * m_format.BlockAlign());
                if (m_pending.empty()) {
                    m_sourceEnded = true;
                    break;
                }
            }
            const auto n = static_cast<ULONG>(m_pending.size() - m_pendingAt);
            status = m_pin.Write(m_pending.data() + m_pendingAt, n);
            if (!NT_SUCCESS(status)) {
                Finish(EngineEnd::Failed, status);
                return false;
            }
            m_pendingAt += n;
            sent += n;
            level += n;
            std::lock_guard<std::mutex> guard(m_lock);
            m_stats.Transferred = sent;
            m_writes.push_back({TicksToMs(platform::ClockNow()), sent});
        }
        // Played out: the data and a block of silence after it have left the cyclic buffer.
        done = m_sourceEnded && level == 0 && play >= sent + m_bufferSize;
    } else {
        const uint64_t have = m_capturedBytes;
        chunk.resize(static_cast<size_t>(std::min<uint64_t>(m_captureBytes - have, 65536)));
        ULONG read = 0;
        if (!chunk.empty()) {
            status = m_pin.Read(chunk.data(), static_cast<ULONG>(chunk.size()), &read);
            if (!NT_SUCCESS(status)) {
                Finish(EngineEnd::Failed, status);
                return false;
            }
        }
        if (m_captureSink && read != 0) m_captureSink(chunk.data(), read);
        m_capturedBytes += read;
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_captureSink) m_captured.insert(m_captured.end(), chunk.begin(), chunk.begin() + read);
        m_stats.Transferred = m_capturedBytes;
        done = m_capturedBytes >= m_captureBytes;
    }
    // Asked outside the engine's lock: the device has locks of its own.
    const bool sampleWire = !starting && m_probe.WireBytes;
    const uint64_t wireBytes = sampleWire ? m_probe.WireBytes() : 0;
    EngineStats snapshot;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (play < m_stats.PlayOffset) ++m_stats.PositionWentBack;
        ++m_stats.Looks;
        const bool moved = play != m_stats.PlayOffset || starting;
        m_stats.PlayOffset = play;
        m_stats.WriteOffset = written;
        if (moved) m_lastMoveMs = elapsed;
        m_stats.ElapsedMs = elapsed;
        if (sampleWire) {
            m_stats.WireBytes = wireBytes;
            const double bytesPerMs = static_cast<double>(m_format.Rate) * m_format.BlockAlign() / 1000.0;
            const double error = std::fabs(static_cast<double>(m_stats.WireBytes) - static_cast<double>(play)) / bytesPerMs;
            m_stats.MaxPositionErrorMs = std::max(m_stats.MaxPositionErrorMs, error);
            m_positionErrorSum += error;
            ++m_positionErrorCount;
            m_stats.MeanPositionErrorMs = m_positionErrorSum / static_cast<double>(m_positionErrorCount);
        }
        if (!starting && m_probe.Rate) {
            const double rate = m_probe.Rate();
            if (elapsed >= 1000 && !m_rateSettled) {
                // The rate settles within the first second: only what follows counts.
                m_rateSettled = true;
                m_rateSum = 0;
                m_rateCount = 0;
            }
            if (rate > 0) {
                const bool first = m_rateCount == 0;
                m_rateSum += rate;
                ++m_rateCount;
                m_stats.MeanRate = m_rateSum / static_cast<double>(m_rateCount);
                m_stats.MinRate = first ? rate : std::min(m_stats.MinRate, rate);
                m_stats.MaxRate = first ? rate : std::max(m_stats.MaxRate, rate);
            }
        }
        snapshot = m_stats;
    }
    if (done) {
        Finish(EngineEnd::Finished);
        return false;
    }
    if (m_runAfterWake) {
        // Queued at PAUSE as at the start; the pin runs again.
        m_runAfterWake = false;
        status = Walk(KSSTATE_RUN);
        if (!NT_SUCCESS(status)) {
            Finish(EngineEnd::Failed, status);
            return false;
        }
        m_lastMoveMs = elapsed;
    }
    if (!starting && elapsed - m_lastMoveMs > STALL_LIMIT_MS) {
        Finish(EngineEnd::Failed, STATUS_IO_TIMEOUT);
        return false;
    }
    if (m_progress && m_progressEveryMs != 0 && elapsed >= m_nextProgressMs) {
        m_nextProgressMs = elapsed + m_progressEveryMs;
        m_progress(snapshot);
    }
    return true;
}

void AudioEngine::ThreadMain()
{
    NTSTATUS status = Walk(KSSTATE_PAUSE);
    // Render: the client's first buffers are queued before RUN fills the block's first half.
    bool running = NT_SUCCESS(status) && Tick(true);
    if (NT_SUCCESS(status) && running) {
        status = Walk(KSSTATE_RUN);
        m_runTicks = platform::ClockNow();
    }
    if (!NT_SUCCESS(status)) {
        Finish(EngineEnd::Failed, status);
        running = false;
    }
    while (running) {
        WaitForWork();
        running = Tick(false);
    }
    // Back down one level at a time; on a removed filter the steps may fail, the close still
    // releases the stream. At PAUSE the position is final: it is read once more.
    NTSTATUS down = Walk(KSSTATE_PAUSE);
    ULONGLONG play = 0, written = 0;
    if (NT_SUCCESS(down) && NT_SUCCESS(m_pin.Position(&play, &written))) {
        play += m_positionBase;
        written += m_positionBase;
        const uint64_t wireBytes = m_probe.WireBytes ? m_probe.WireBytes() : 0;
        std::lock_guard<std::mutex> guard(m_lock);
        if (play < m_stats.PlayOffset) ++m_stats.PositionWentBack;
        m_stats.PlayOffset = play;
        m_stats.WriteOffset = written;
        if (m_probe.WireBytes) m_stats.WireBytes = wireBytes;
    }
    if (NT_SUCCESS(down)) down = Walk(KSSTATE_STOP);
    if (!NT_SUCCESS(down) && m_end.load() == EngineEnd::Finished) {
        m_status = down;
        m_end = EngineEnd::Failed;
    }
    if (m_detach) {
        m_detach();
        m_detach = nullptr;
    }
    m_pin.Close();
}

}  // namespace host
