// `kvx play FILE --asio [--buffer FRAMES] [--round-trip]`: plays an audio file as an ASIO host
// through the driver's private interface (two buffers of FRAMES frames) and checks what reached
// the device: silence, exactly the file's frames, silence. With --round-trip it first measures
// the round trip of an impulse from the first output channel to the first input channel.
#include <algorithm>
#include <atomic>
#include <iomanip>
#include <mutex>
#include <sstream>

#include "platform/nt/Clock.h"
#include "tools/AsioCommand.h"
#include "tools/AudioFile.h"
#include "tools/Kvx.h"
#include "tools/StatusText.h"
#include "tools/StreamSession.h"
#include "tools/WireCheck.h"

namespace kvx {
namespace {

// How long the impulse may take to come back, on the machine's clock.
constexpr std::chrono::milliseconds ROUND_TRIP_LIMIT{2000};

// The file's frames as the output ring holds them: `bits` samples, `channels` per frame (the
// file's first, then silence).
std::vector<uint8_t> RingFrames(const AudioFile& block, uint32_t bits, uint32_t channels)
{
    const std::vector<uint8_t> pcm = ConvertToPcm(block, static_cast<int>(bits), static_cast<int>(bits));
    const size_t sample = bits / 8;
    const size_t in = block.Channels * sample;
    const size_t out = channels * sample;
    if (in == out) return pcm;
    std::vector<uint8_t> frames(pcm.size() / in * out, 0);
    for (size_t f = 0; f < pcm.size() / in; ++f) {
        std::copy_n(pcm.begin() + static_cast<std::ptrdiff_t>(f * in), std::min(in, out),
                    frames.begin() + static_cast<std::ptrdiff_t>(f * out));
    }
    return frames;
}

}  // namespace

int RunAsioPlay(const StreamOptions& options, std::ostream& out, std::ostream& err)
{
    std::string error;
    AudioFile file;
    AudioReader reader;
    if (!reader.Open(options.File, &file, &error)) {
        err << "kvx play: " << options.File << ": " << error << "\n";
        return EXIT_USAGE;
    }
    const RealTimePriorityScope priority(!options.Fast);
    const auto began = std::chrono::steady_clock::now();
    StreamSession session;
    if (const int started = StartForCommand("play", options, session, err); started != EXIT_OK) return started;
    NTSTATUS status = STATUS_SUCCESS;
    const auto rate = static_cast<uint32_t>(file.Rate);
    int rc = EXIT_OK;
    std::string summary;
    {
        host::AsioSession client(session.Fdo());
        AsioDeviceInfo info;
        rc = OpenAsio(client, &info, &error);
        if (rc == EXIT_OK && info.Outputs == 0) {
            error = info.Name + " has no ASIO output endpoint";
            rc = EXIT_USAGE;
        }
        if (rc == EXIT_OK && options.RoundTrip && info.Inputs == 0) {
            error = "--round-trip: " + info.Name + " has no ASIO input endpoint";
            rc = EXIT_USAGE;
        }
        if (rc == EXIT_OK) rc = SetAsioRate(client, info, rate, &error);
        if (rc == EXIT_OK && file.Channels > static_cast<int>(info.Outputs)) {
            error = options.File + ": " + std::to_string(file.Channels) + " ch; " + info.Name + " has " +
                    std::to_string(info.Outputs) + " ASIO output channels";
            rc = EXIT_USAGE;
        }
        if (rc != EXIT_OK) err << "kvx play: " << error << "\n";
        const uint32_t frames = rc == EXIT_OK ? AsioBufferFrames(client, options) : 0;
        std::ostringstream text;

        // The round trip first, on buffers of its own.
        std::vector<host::AsioBufferView*> buffers;
        if (rc == EXIT_OK && options.RoundTrip) {
            host::AsioSession::RoundTrip trip;
            status = client.CreateBuffers({{0, 0}, {1, 0}}, frames, static_cast<ULONG>(info.Endpoints), &buffers);
            if (NT_SUCCESS(status)) {
                status = client.MeasureRoundTrip(buffers, 2, frames, rate / 10, ROUND_TRIP_LIMIT, &trip);
                const NTSTATUS disposed = client.Control(host::asio::DISPOSE_BUFFERS, nullptr, 0, 0).Status;
                if (NT_SUCCESS(status)) status = disposed;
            }
            if (!NT_SUCCESS(status)) {
                err << "kvx play: --round-trip: the ASIO stream failed: " << StatusText(status) << "\n";
                rc = EXIT_FAILURE_RUN;
            } else if (!trip.Found) {
                err << "kvx play: --round-trip: the impulse did not come back within " << ROUND_TRIP_LIMIT.count()
                    << " ms: " << info.Name << " does not loop its output back into its input\n";
                rc = EXIT_FAILURE_RUN;
            } else {
                text << AsioRoundTripText(trip, rate, frames);
            }
        }

        // The file: 24-bit in the 24-bit type where the device takes it, else 16-bit.
        uint32_t bits = 16;
        if (rc == EXIT_OK && file.Width == 24 && NT_SUCCESS(client.SetLong(host::asio::SET_SAMPLE_TYPE, 17))) {
            bits = 24;
        }
        std::vector<std::pair<uint32_t, int32_t>> entries;
        for (int c = 0; c < file.Channels; ++c) entries.push_back({0, c});
        if (rc == EXIT_OK) {
            status = client.CreateBuffers(entries, frames, static_cast<ULONG>(info.Endpoints), &buffers);
            if (status == STATUS_NO_MATCH && bits == 24 && NT_SUCCESS(client.SetLong(host::asio::SET_SAMPLE_TYPE, 16))) {
                bits = 16;  // no 24-bit format on an endpoint: the file is played in 16 bits
                status = client.CreateBuffers(entries, frames, static_cast<ULONG>(info.Endpoints), &buffers);
            }
            if (!NT_SUCCESS(status)) {
                err << "kvx play: the ASIO buffers of " << frames << " frames were refused: " << StatusText(status) << "\n";
                rc = EXIT_FAILURE_RUN;
            }
        }
        const size_t output = rc == EXIT_OK ? AsioFirstBuffer(buffers, 0) : SIZE_MAX;
        if (rc == EXIT_OK && (output == SIZE_MAX || buffers[output]->Channels < static_cast<uint32_t>(file.Channels))) {
            err << "kvx play: " << options.File << ": " << file.Channels << " ch do not fit the first ASIO output endpoint of "
                << info.Name << "\n";
            rc = EXIT_USAGE;
        }
        if (rc == EXIT_OK) {
            const uint32_t channels = buffers[output]->Channels;
            const uint32_t frameBytes = channels * bits / 8;
            WireChecker checker(frameBytes);
            const std::vector<uint8_t> outEndpoints = SinkEndpoints(session.Device());
            for (uint8_t ep : outEndpoints) {
                session.Device().KeepWireBytes(ep, false);
                session.Device().KeepWireFrames(ep, false);
                session.Device().SetWireTap(ep, [&checker](uint32_t, uint32_t, const uint8_t* bytes, uint32_t length) {
                    checker.Wire(bytes, length);
                });
            }
            // The host's thread reads the file into the output as it goes, then silence.
            std::atomic<uint64_t> dataFrames{0};
            std::atomic<uint64_t> silentFrames{0};
            std::vector<uint8_t> pending;
            size_t pendingAt = 0;
            bool ended = false;
            AudioFile block;
            host::AsioSession::StreamHooks hooks;
            hooks.Render = [&](size_t index, uint64_t, uint8_t* data, size_t bytes) {
                if (index != output) return;
                size_t at = 0;
                while (at < bytes) {
                    if (pendingAt == pending.size() && !ended) {
                        const size_t got = reader.Read((bytes - at) / frameBytes + 1, &block);
                        if (got == 0) {
                            ended = true;
                            checker.EndData();
                        } else {
                            pending = RingFrames(block, bits, channels);
                            pendingAt = 0;
                            checker.Data(pending.data(), pending.size());
                            dataFrames += got;
                        }
                    }
                    if (ended) {
                        silentFrames += (bytes - at) / frameBytes;
                        return;  // the rest stays silence
                    }
                    const size_t n = std::min(bytes - at, pending.size() - pendingAt);
                    std::copy_n(pending.begin() + static_cast<std::ptrdiff_t>(pendingAt), n, data + at);
                    pendingAt += n;
                    at += n;
                }
            };
            status = client.StartStreaming(buffers, bits / 8, frames, hooks);
            if (!NT_SUCCESS(status)) {
                err << "kvx play: the ASIO start failed: " << StatusText(status) << "\n";
                rc = EXIT_FAILURE_RUN;
            }
            if (rc == EXIT_OK) {
                const uint32_t lead = client.RenderLeadFrames();
                const uint32_t queued = buffers[output]->QueuedBytes / frameBytes;
                // The file has reached the wire once the host wrote past it what it leads by,
                // what the transfers hold and a few buffers more.
                const uint64_t after = uint64_t{lead} + queued + 4ull * frames + rate / 100;
                const double fileSeconds = file.Frames > 0 ? static_cast<double>(file.Frames) / rate : 3600.0;
                const bool done = platform::RunUntil([&] { return silentFrames.load() >= after; },
                                                     std::chrono::milliseconds(static_cast<int64_t>(2000 * fileSeconds) + 5000),
                                                     std::chrono::milliseconds(5));
                // The wire is checked up to here: once the host stops writing, the device plays
                // the ring round again until the stop reaches it.
                for (uint8_t ep : outEndpoints) session.Device().SetWireTap(ep, {});
                const host::AsioSession::StreamStats stats = client.Stats();
                status = client.StopStreaming();
                if (!done || !NT_SUCCESS(status)) {
                    err << "kvx play: the ASIO stream " << (done ? "did not stop: " + StatusText(status) : std::string("did not finish")) << "\n";
                    rc = EXIT_FAILURE_RUN;
                }
                std::string report;
                if (!checker.Finish(&report)) rc = EXIT_FAILURE_RUN;
                std::ostringstream head;
                head << info.Name << " (ASIO): " << rate << " Hz " << bits << "-bit " << file.Channels << " ch, "
                     << dataFrames.load() << " frames (" << std::fixed << std::setprecision(3)
                     << static_cast<double>(dataFrames.load()) / rate << " s)";
                if (file.Width != static_cast<int>(bits)) {
                    head << ", converted from " << (file.Width != 0 ? std::to_string(file.Width) + "-bit" : "float");
                }
                if (static_cast<uint32_t>(file.Channels) < channels) head << ", on " << channels << " ch";
                head << "\n" << report << "\n";
                head << AsioRingText(*buffers[output], frameBytes, rate, frames, stats)
                     << AsioOutputLatencyText(lead, queued, rate) << text.str();
                if (stats.LatePeriods != 0 && rc == EXIT_OK) {
                    err << "kvx play: " << stats.LatePeriods << " late period(s): the host did not keep ahead of the device\n";
                    rc = EXIT_FAILURE_RUN;
                }
                head << PacingText(2.0 * frames * 1000.0 / rate);
                if (options.Fast) head << SpeedText(static_cast<double>(dataFrames.load()) / rate, began);
                summary = head.str();
                const std::string shortfall = reader.Shortfall();
                if (!shortfall.empty()) err << "kvx play: " << options.File << ": " << shortfall << "\n";
            }
            client.Control(host::asio::DISPOSE_BUFFERS, nullptr, 0, 0);
        }
    }
    std::string leak;
    if (!session.End(&leak)) {
        err << "kvx play: " << leak << "\n";
        if (rc == EXIT_OK) rc = EXIT_FAILURE_RUN;
    }
    out << summary;
    return rc;
}

}  // namespace kvx
