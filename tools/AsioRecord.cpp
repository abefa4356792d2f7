// `kvx record FILE --seconds N --asio [--buffer FRAMES] [--format RATE:BITS:CHANNELS]`: records
// the first ASIO input endpoint as an ASIO host (two buffers of FRAMES frames) into a file and
// checks that the recording is an unbroken run of the device's known source.
#include <unistd.h>

#include <atomic>
#include <iomanip>
#include <optional>
#include <sstream>

#include "platform/nt/Clock.h"
#include "tools/AsioCommand.h"
#include "tools/AudioFile.h"
#include "tools/Kvx.h"
#include "tools/RecordOutput.h"
#include "tools/SourceCheck.h"
#include "tools/StatusText.h"
#include "tools/StreamSession.h"

namespace kvx {

int RunAsioRecord(const StreamOptions& options, std::ostream& out, std::ostream& err)
{
    std::string error;
    int majorFormat = 0;
    int fifo = -1;
    if (!CheckOutput(options.File, &majorFormat, &fifo, &error)) {
        err << "kvx record: " << options.File << ": " << error << "\n";
        return EXIT_USAGE;
    }
    const StopSignals signals;
    const RealTimePriorityScope priority(!options.Fast);
    const auto began = std::chrono::steady_clock::now();
    StreamSession session;
    if (const int started = StartForCommand("record", options, session, err); started != EXIT_OK) {
        if (fifo >= 0) close(fifo);
        return started;
    }
    sim::SimDevice* simulated = &session.Device();
    NTSTATUS status = STATUS_SUCCESS;
    int rc = EXIT_OK;
    std::string summary;
    {
        host::AsioSession client(session.Fdo());
        AsioDeviceInfo info;
        rc = OpenAsio(client, &info, &error);
        if (rc == EXIT_OK && info.Inputs == 0) {
            error = info.Name + " has no ASIO input endpoint";
            rc = EXIT_USAGE;
        }
        // The rate: --format's, else the driver's current one.
        uint32_t rate = options.HasFormat ? options.Format.Rate : 0;
        if (rc == EXIT_OK && rate == 0) {
            std::vector<int32_t> current;
            client.GetLongs(host::asio::GET_SAMPLE_RATE, 1, &current);
            rate = current[0] > 0 ? static_cast<uint32_t>(current[0]) : 48000;
        }
        if (rc == EXIT_OK) rc = SetAsioRate(client, info, rate, &error);
        // The sample type: --format's width, else the driver's own type for the device.
        uint32_t bits = 16;
        uint32_t container = 16;
        if (rc == EXIT_OK && options.HasFormat) {
            bits = container = options.Format.Bits;
            if (AsioSampleType(bits) == 0 ||
                !NT_SUCCESS(client.SetLong(host::asio::SET_SAMPLE_TYPE, AsioSampleType(bits)))) {
                error = "ASIO records 16-, 24- or 32-bit samples, not " + std::to_string(bits);
                rc = EXIT_USAGE;
            }
        } else if (rc == EXIT_OK && !AsioTypeBits(AsioChannelType(client, true), &bits, &container)) {
            bits = container = 16;
            client.SetLong(host::asio::SET_SAMPLE_TYPE, 16);
        }
        if (rc != EXIT_OK) err << "kvx record: " << error << "\n";
        const uint32_t frames = rc == EXIT_OK ? AsioBufferFrames(client, options) : 0;
        std::vector<host::AsioBufferView*> buffers;
        if (rc == EXIT_OK) {
            status = client.CreateBuffers({{1, 0}}, frames, static_cast<ULONG>(info.Endpoints), &buffers);
            if (status == STATUS_NO_MATCH && bits == 24 && container == 24 &&
                NT_SUCCESS(client.SetLong(host::asio::SET_SAMPLE_TYPE, 27))) {
                container = 32;  // no packed 24-bit format on the endpoint: 24 bits in 32
                status = client.CreateBuffers({{1, 0}}, frames, static_cast<ULONG>(info.Endpoints), &buffers);
            }
            if (!NT_SUCCESS(status)) {
                err << "kvx record: " << info.Name << " refused ASIO buffers of " << frames << " frames at " << rate
                    << " Hz " << bits << "-bit" << (container != bits ? " in " + std::to_string(container) : std::string())
                    << ": " << StatusText(status) << "\n";
                rc = status == STATUS_NO_MATCH ? EXIT_USAGE : EXIT_FAILURE_RUN;
            }
        }
        const size_t input = rc == EXIT_OK ? AsioFirstBuffer(buffers, 1) : SIZE_MAX;
        const USHORT channels = input != SIZE_MAX ? static_cast<USHORT>(buffers[input]->Channels) : 0;
        if (rc == EXIT_OK && options.HasFormat && options.Format.Channels != channels) {
            err << "kvx record: the first ASIO input endpoint of " << info.Name << " has " << channels << " ch, not "
                << options.Format.Channels << "\n";
            rc = EXIT_USAGE;
        }
        const host::AudioFormat format{rate, channels, static_cast<USHORT>(bits), static_cast<USHORT>(container)};
        const uint32_t frameBytes = format.BlockAlign();
        AudioWriter writer;
        if (rc == EXIT_OK && !writer.Open(options.File, fifo, majorFormat, static_cast<int>(rate), channels,
                                          static_cast<int>(bits), static_cast<int>(container), &error)) {
            err << "kvx record: " << options.File << ": " << error << "\n";
            rc = EXIT_USAGE;
        }
        if (rc == EXIT_OK) fifo = -1;  // the writer's now
        if (rc == EXIT_OK) {
            // The device's known signal in the recording's format, on every capture endpoint.
            for (uint8_t ep : SourceEndpoints(*simulated)) simulated->SetSource(ep, {rate, channels, container / 8});
            SourceChecker checker(format, format);
            std::string writeError;
            const uint64_t wanted = static_cast<uint64_t>(options.Seconds * rate + 0.5);
            std::atomic<uint64_t> recorded{0};
            host::AsioSession::StreamHooks hooks;
            hooks.Capture = [&](size_t index, uint64_t, const uint8_t* data, size_t bytes) {
                if (index != input) return;
                const uint64_t have = recorded.load();
                const size_t take = static_cast<size_t>(std::min<uint64_t>(bytes / frameBytes, wanted - have)) * frameBytes;
                if (take == 0 || g_stopRecording.load()) return;
                checker.Push(data, take);
                if (writeError.empty()) writer.Write(data, take, &writeError);
                recorded += take / frameBytes;
            };
            status = client.StartStreaming(buffers, container / 8, frames, hooks);
            if (!NT_SUCCESS(status)) {
                err << "kvx record: the ASIO start failed: " << StatusText(status) << "\n";
                rc = EXIT_FAILURE_RUN;
            } else {
                const bool done = platform::RunUntil(
                    [&] { return recorded.load() >= wanted || g_stopRecording.load(); },
                    std::chrono::milliseconds(static_cast<int64_t>(2000 * options.Seconds) + 5000),
                    std::chrono::milliseconds(5));
                const host::AsioSession::StreamStats stats = client.Stats();
                status = client.StopStreaming();
                std::ostringstream text;
                text << info.Name << " (ASIO): " << FormatText(format) << ", " << recorded.load() << " frames ("
                     << std::fixed << std::setprecision(3) << static_cast<double>(recorded.load()) / rate << " s) to "
                     << options.File << "\n";
                const int signal = g_stopSignal.load();
                if (signal != 0) {
                    text << "stopped by " << (signal == SIGINT ? "SIGINT" : "SIGTERM") << ": the file holds the "
                         << recorded.load() << " frames recorded\n";
                    rc = 128 + signal;
                } else if (!done || !NT_SUCCESS(status)) {
                    err << "kvx record: the ASIO stream "
                        << (done ? "did not stop: " + StatusText(status) : std::string("did not deliver in time")) << "\n";
                    rc = EXIT_FAILURE_RUN;
                }
                if (!writeError.empty() || !writer.Close(&writeError)) {
                    err << "kvx record: " << options.File << ": " << writeError << "\n";
                    if (rc == EXIT_OK) rc = EXIT_FAILURE_RUN;
                }
                std::string report;
                if (!checker.Finish(&report) && rc == EXIT_OK) rc = EXIT_FAILURE_RUN;
                text << report << "\n" << AsioRingText(*buffers[input], frameBytes, rate, frames, stats);
                if (stats.LatePeriods != 0 && rc == EXIT_OK) {
                    err << "kvx record: " << stats.LatePeriods << " late period(s)\n";
                    rc = EXIT_FAILURE_RUN;
                }
                if (options.Fast) text << SpeedText(static_cast<double>(recorded.load()) / rate, began);
                text << PacingText(2.0 * frames * 1000.0 / rate);
                summary = text.str();
            }
            client.Control(host::asio::DISPOSE_BUFFERS, nullptr, 0, 0);
        }
    }
    if (fifo >= 0) close(fifo);
    std::string leak;
    if (!session.End(&leak)) {
        err << "kvx record: " << leak << "\n";
        if (rc == EXIT_OK) rc = EXIT_FAILURE_RUN;
    }
    out << summary;
    return rc;
}

}  // namespace kvx
