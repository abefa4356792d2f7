// The ASIO path on the built-in ASIO headset (48 kHz, its output looped into its microphone with
// no delay), in-process on virtual time:
//  - BM_AsioRoundTrip/B: the round trip an ASIO host with two B-frame buffers measures (an impulse
//    out at frame X, found in at frame Y: Y - X frames; the system's class drivers give 333 frames,
//    6.94 ms), with its parts: written ahead of the host's clock, queued in transfers, the loop's
//    one IN transfer. computed_1uframe / computed_2uframe: the same with transfers of one or two
//    125 us microframes, two queued (the driver's ladder has whole milliseconds only; these are
//    computed from the measured parts, not measured).
//  - BM_AsioFillToPacket/B: USB frames from the render fill out of the ring to the frame of its
//    packet, per sample, against the bound Q x t + 1.
//  - BM_AsioRingFill, BM_AsioRingStore, BM_AsioTransferDone: one ring callback each (1 ms of 16-bit
//    stereo or mono), with cpu_percent: the share of one core the path takes at 1 ms transfers.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "adapter/AdapterExtension.h"
#include "host/AsioSession.h"
#include "host/AudioEngineLatency.h"
#include "platform/nt/Callback.h"
#include "platform/nt/Clock.h"
#include "platform/nt/Machine.h"
#include "sim/Profile.h"
#include "stream/UsbStreamEndpoint.h"
#include "tools/StreamCommand.h"
#include "tools/StreamSession.h"
#include "usb/UsbAudioDevice.h"

namespace {

constexpr uint32_t RATE = 48000;

// The driver started on the ASIO headset, one ASIO client open.
struct Rig {
    kvx::StreamSession Session;
    std::unique_ptr<host::AsioSession> Client;
    std::vector<host::AsioBufferView*> Buffers;
    bool Ok = false;

    // Buffers for output channels 0 and 1 and input channel 0 (when `input`).
    explicit Rig(uint32_t frames, bool input = true)
    {
        platform::MachineReset();  // the benchmark's thread is the machine's client
        std::string error;
        auto device = sim::ParseProfile(kvx::BuiltInAsioHeadsetProfile(), ".", &error);
        if (device == nullptr || !NT_SUCCESS(Session.Start(std::move(device)))) return;
        Client = std::make_unique<host::AsioSession>(Session.Fdo());
        if (!NT_SUCCESS(Client->Open())) return;
        std::vector<std::pair<uint32_t, int32_t>> entries{{0, 0}, {0, 1}};
        if (input) entries.push_back({1, 0});
        Ok = NT_SUCCESS(Client->CreateBuffers(entries, frames, 2, &Buffers));
    }
    ~Rig()
    {
        if (Client != nullptr) {
            Client->Control(host::asio::DISPOSE_BUFFERS, nullptr, 0, 0);
            Client->Close();
            Client.reset();
        }
        std::string report;
        Session.End(&report);
    }
    UsbAudioDevice* Device()
    {
        return static_cast<UsbAudioDevice*>(static_cast<IAudioHal*>(GetAdapterExtension(Session.Fdo())->Device));
    }
};

void BM_AsioRoundTrip(benchmark::State& state)
{
    const auto frames = static_cast<uint32_t>(state.range(0));
    host::AsioSession::RoundTrip trip;
    uint32_t queued = 0;
    for (auto _ : state) {
        Rig rig(frames);
        if (!rig.Ok) {
            state.SkipWithError("the ASIO buffers were refused");
            return;
        }
        if (!NT_SUCCESS(rig.Client->MeasureRoundTrip(rig.Buffers, 2, frames, RATE / 10, std::chrono::seconds(2), &trip)) ||
            !trip.Found) {
            state.SkipWithError("the impulse did not come back");
            return;
        }
        queued = rig.Buffers[0]->QueuedBytes / 4;  // set at the start, kept after the stop
    }
    const double loop = static_cast<double>(trip.Frames) - trip.LeadFrames - queued;  // the loop's IN transfer
    state.counters["round_trip_frames"] = static_cast<double>(trip.Frames);
    state.counters["round_trip_ms"] = trip.Frames * 1000.0 / RATE;
    state.counters["ahead_frames"] = trip.LeadFrames;
    state.counters["queued_frames"] = queued;
    state.counters["loop_frames"] = loop;
    state.counters["late_periods"] = static_cast<double>(trip.Stats.LatePeriods);
    // Transfers of n microframes, two queued: the queue holds 2 n and the loop one transfer of n.
    const double microframe = RATE / 8000.0;
    state.counters["computed_1uframe_frames"] = trip.LeadFrames + 2 * microframe + microframe;
    state.counters["computed_2uframe_frames"] = trip.LeadFrames + 4 * microframe + 2 * microframe;
}
BENCHMARK(BM_AsioRoundTrip)->Arg(64)->Arg(128)->Arg(256)->Iterations(1)->Unit(benchmark::kMillisecond);

// What the endpoint's transport messages say about the render fills: their bytes and frame.
struct FillLog {
    platform::usb::UsbBus* Bus = nullptr;
    std::mutex Lock;
    std::vector<host::FrameRun> Runs;
};

VOID OnTransport(PVOID context, PVOID argument1, PVOID)
{
    auto* log = static_cast<FillLog*>(context);
    const auto* message = static_cast<const TransportMessage*>(argument1);
    if (message == nullptr || message->Event != TRANSPORT_EVENT_FILL_RENDER) return;
    const uint32_t frame = log->Bus->Frame();
    std::lock_guard<std::mutex> guard(log->Lock);
    log->Runs.push_back({frame, message->Data.Bytes});
}

void BM_AsioFillToPacket(benchmark::State& state)
{
    const auto frames = static_cast<uint32_t>(state.range(0));
    host::LatencyFigures figures;
    host::LatencyFigures startFigures;
    double boundFrames = 0;
    for (auto _ : state) {
        Rig rig(frames, false);
        if (!rig.Ok) {
            state.SkipWithError("the ASIO buffers were refused");
            return;
        }
        UsbStreamEndpoint* endpoint = rig.Session.FirstEndpoint(false);
        PCALLBACK_OBJECT object = endpoint != nullptr ? endpoint->GetTransportCallbackObject() : nullptr;
        if (object == nullptr) {
            state.SkipWithError("no render endpoint");
            return;
        }
        FillLog fills;
        fills.Bus = &rig.Session.Bus();
        std::mutex wireLock;
        std::vector<host::FrameRun> wire;
        const uint8_t ep = kvx::SinkEndpoints(rig.Session.Device()).front();
        rig.Session.Device().KeepWireBytes(ep, false);
        rig.Session.Device().SetWireTap(ep, [&](uint32_t frame, uint32_t, const uint8_t*, uint32_t length) {
            std::lock_guard<std::mutex> guard(wireLock);
            if (!wire.empty() && wire.back().Frame == frame) {
                wire.back().Bytes += length;
            } else {
                wire.push_back({frame, length});
            }
        });
        PVOID registration = ExRegisterCallback(object, OnTransport, &fills);
        host::AsioSession::StreamHooks hooks;
        hooks.Render = [](size_t, uint64_t frame, uint8_t* data, size_t bytes) {
            for (size_t k = 0; k < bytes; ++k) data[k] = static_cast<uint8_t>((frame * 4 + k) % 251 + 1);
        };
        if (!NT_SUCCESS(rig.Client->StartStreaming(rig.Buffers, 2, frames, hooks))) {
            state.SkipWithError("the ASIO start failed");
            ExUnregisterCallback(registration);
            return;
        }
        platform::RunFor(std::chrono::milliseconds(500));
        ExUnregisterCallback(registration);
        rig.Session.Device().SetWireTap(ep, {});
        rig.Client->StopStreaming();
        std::lock_guard<std::mutex> a(fills.Lock), b(wireLock);
        startFigures = host::MeasureLatency(fills.Runs, wire, 4);
        // Steady state: without the first 20 ms of fills (the start's transfers go out at the start
        // frame, five frames on) and the wire bytes they filled.
        uint64_t skip = 0;
        const size_t first = std::min<size_t>(fills.Runs.size(), 20);
        for (size_t i = 0; i < first; ++i) skip += fills.Runs[i].Bytes;
        fills.Runs.erase(fills.Runs.begin(), fills.Runs.begin() + static_cast<std::ptrdiff_t>(first));
        size_t w = 0;
        while (w < wire.size() && skip >= wire[w].Bytes) skip -= wire[w++].Bytes;
        wire.erase(wire.begin(), wire.begin() + static_cast<std::ptrdiff_t>(w));
        if (!wire.empty()) wire.front().Bytes -= static_cast<uint32_t>(skip);
        figures = host::MeasureLatency(fills.Runs, wire, 4);
        boundFrames = rig.Buffers[0]->QueuedBytes / 4.0 / (RATE / 1000) + 1;  // Q x t ms, + 1
    }
    state.counters["max_frames"] = figures.MaxFrames;
    state.counters["mean_frames"] = figures.MeanFrames;
    state.counters["bound_frames"] = boundFrames;
    state.counters["samples"] = static_cast<double>(figures.Samples);
    state.counters["with_start_max_frames"] = startFigures.MaxFrames;
}
BENCHMARK(BM_AsioFillToPacket)->Arg(64)->Arg(128)->Arg(256)->Iterations(1)->Unit(benchmark::kMillisecond);

// One ring callback on a started stream (the device keeps streaming beside it on virtual time).
void RingPath(benchmark::State& state, LONG event, uint32_t direction, ULONG bytes, double callsPerSecond)
{
    Rig rig(64);
    PKEVENT switched = nullptr;
    HANDLE handle = rig.Ok ? rig.Client->NewEvent(&switched) : nullptr;
    if (!rig.Ok || !NT_SUCCESS(rig.Client->Control(host::asio::START, rig.Client->HandleBytes(handle), 0).Status)) {
        state.SkipWithError("the ASIO start failed");
        return;
    }
    AsioEndpointRecord record{};
    const ULONG index = direction == 0 ? 0 : 1;
    rig.Device()->AsioRecord(index, &record);
    AsioDevice* asio = rig.Device();
    std::vector<uint8_t> buffer(bytes, 0x11);
    TransportMessage message{};
    message.Client = record.Client;
    message.Event = event;
    if (event == TRANSPORT_EVENT_BYTES_MOVED) {
        message.BytesMoved = bytes;
    } else {
        message.Data.Buffer = buffer.data();
        message.Data.Bytes = bytes;
    }
    const auto began = std::chrono::steady_clock::now();
    for (auto _ : state) {
        AsioDevice::AsioTransportCallback(static_cast<AsioDevice*>(asio), &message, nullptr);
        benchmark::DoNotOptimize(buffer.data());
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    rig.Client->Control(host::asio::STOP, nullptr, 0, 0);
    ZwClose(handle);
    // The share of a core at this many calls a second, from the wall time per call.
    state.counters["cpu_percent"] =
        state.iterations() > 0 ? seconds / static_cast<double>(state.iterations()) * callsPerSecond * 100.0 : 0.0;
}

// 1 ms transfers: a fill and a store a millisecond, and a completion on each endpoint.
void BM_AsioRingFill(benchmark::State& state) { RingPath(state, TRANSPORT_EVENT_FILL_RENDER, 0, 192, 1000); }
void BM_AsioRingStore(benchmark::State& state) { RingPath(state, TRANSPORT_EVENT_CAPTURE_DATA, 1, 96, 1000); }
void BM_AsioTransferDone(benchmark::State& state) { RingPath(state, TRANSPORT_EVENT_BYTES_MOVED, 1, 96, 2000); }
BENCHMARK(BM_AsioRingFill);
BENCHMARK(BM_AsioRingStore);
BENCHMARK(BM_AsioTransferDone);

}  // namespace

BENCHMARK_MAIN();
