// `kvx record FILE.wav --seconds N [--device PROFILE] [--fast] [--format RATE:BITS:CHANNELS]`:
// records from the capture endpoint of a simulated device through the driver into a WAV file
// and checks that the file is an unbroken run of the device's known source signal.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <iomanip>
#include <optional>
#include <sstream>

#include "host/AudioEngine.h"
#include "platform/nt/Clock.h"
#include "tools/AudioFile.h"
#include "tools/DriverConversion.h"
#include "tools/Kvx.h"
#include "tools/RecordOutput.h"
#include "tools/StreamCommand.h"
#include "tools/SourceCheck.h"
#include "tools/StatusText.h"
#include "tools/StreamSession.h"

namespace kvx {

int RunRecord(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    StreamOptions options;
    std::string error;
    if (!ParseStreamOptions("record", args, &options, &error)) {
        err << error << "\n";
        return EXIT_USAGE;
    }
    if (options.Asio) return RunAsioRecord(options, out, err);
    int majorFormat = 0;
    int fifo = -1;
    if (!CheckOutput(options.File, &majorFormat, &fifo, &error)) {
        err << "kvx record: " << options.File << ": " << error << "\n";
        return EXIT_USAGE;
    }
    AudioWriter writer;
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
        host::AudioEngine engine(session.Fdo());
        // --selective-suspend: the idle device sleeps first, and the stream's open wakes it.
        double sleptAtMs = 0;
        double wakeMs = 0;
        if (options.SelectiveSuspend && !session.WaitUntilSuspended(&sleptAtMs)) {
            err << "kvx record: --selective-suspend: the idle device was not suspended\n";
            rc = EXIT_FAILURE_RUN;
        }
        const int64_t openAt = platform::ClockNow();
        status = engine.Open(true);
        wakeMs = static_cast<double>(platform::ClockNow() - openAt) / platform::TICKS_PER_MS;
        if (NT_SUCCESS(status) && options.SelectiveSuspend && session.Bus().Suspended()) {
            err << "kvx record: --selective-suspend: the stream's open did not wake the device\n";
            rc = EXIT_FAILURE_RUN;
        }
        if (!NT_SUCCESS(status)) {
            err << "kvx record: the device has no capture filter: " << StatusText(status) << "\n";
            rc = EXIT_USAGE;
        }
        std::optional<host::AudioFormat> format;
        std::optional<host::AudioFormat> deviceFormat;
        const std::vector<host::AudioFormat> device = session.EndpointFormats(engine.FilterName());
        if (rc == EXIT_OK) {
            if (options.HasFormat) {
                for (const host::AudioFormat& f : engine.Formats()) {
                    if (f.Rate == options.Format.Rate && f.Bits == options.Format.Bits &&
                        f.Channels == options.Format.Channels) {
                        format = f;
                        break;
                    }
                }
            } else {
                // The endpoint's first PCM format as its descriptors list it (the pin's list is
                // ordered by its data ranges instead); the pin must take it.
                for (const host::AudioFormat& f : session.EndpointFormats(engine.FilterName())) {
                    const auto& pin = engine.Formats();
                    if (std::find(pin.begin(), pin.end(), f) != pin.end()) {
                        format = f;
                        break;
                    }
                }
            }
            // The device runs its own format, or the one the driver converts the stream's to.
            if (format) {
                deviceFormat = std::find(device.begin(), device.end(), *format) != device.end()
                                   ? format
                                   : ConvertedDeviceFormat(*format, device);
            }
            if (!format || !deviceFormat) {
                err << "kvx record: " << (options.HasFormat ? FormatText(options.Format) : "the endpoint's first PCM format")
                    << " is not a format of "
                    << Utf8(engine.FilterName()) << "; it takes: " << FormatList(device)
                    << ", and 44100 to 192000 Hz (the six rates) with 1 to 8 ch converted by the driver\n";
                rc = EXIT_USAGE;
            }
        }
        const uint32_t blockAlign = format ? format->BlockAlign() : 0;
        const uint64_t frames = format ? static_cast<uint64_t>(options.Seconds * format->Rate + 0.5) : 0;
        if (rc == EXIT_OK && !writer.Open(options.File, fifo, majorFormat, static_cast<int>(format->Rate), format->Channels,
                                          format->Bits, format->Container, &error)) {
            err << "kvx record: " << options.File << ": " << error << "\n";
            rc = EXIT_USAGE;
        }
        fifo = -1;  // the writer's now
        // The recording goes to the file and through the check as it arrives.
        std::optional<SourceChecker> checker;
        std::string writeError;
        if (rc == EXIT_OK) checker.emplace(*format, *deviceFormat);
        if (rc == EXIT_OK) {
            // The device's known signal in the chosen format, on every capture endpoint.
            for (uint8_t ep : SourceEndpoints(*simulated)) {
                simulated->SetSource(ep, {deviceFormat->Rate, deviceFormat->Channels, deviceFormat->Container / 8u});
            }
            if (IsTerminal(out)) {
                engine.SetProgress([&out, blockAlign](const host::EngineStats& s) { PrintProgress(out, s, blockAlign); }, 100);
            }
            engine.SetStopFlag(&g_stopRecording);
            status = engine.StartCapture(*format, frames * blockAlign, [&](const uint8_t* pcm, size_t bytes) {
                checker->Push(pcm, bytes);
                if (writeError.empty()) writer.Write(pcm, bytes, &writeError);
            });
            if (!NT_SUCCESS(status)) {
                err << "kvx record: the pin did not open in " << FormatText(*format) << ": " << StatusText(status) << "\n";
                rc = EXIT_FAILURE_RUN;
            }
        }
        if (rc == EXIT_OK) {
            const host::EngineEnd end = engine.Wait();
            const host::EngineStats stats = engine.Stats();
            if (IsTerminal(out)) {
                PrintProgress(out, stats, blockAlign);
                out << "\n";
            }
            const uint64_t recorded = checker->Frames();
            std::ostringstream text;
            text << Utf8(engine.FilterName()) << ": " << FormatText(*format) << ", " << recorded << " frames ("
                 << std::fixed << std::setprecision(3) << static_cast<double>(recorded) / format->Rate << " s) to "
                 << options.File << "\n";
            if (options.SelectiveSuspend) text << SuspendText(sleptAtMs, wakeMs);
            const int signal = g_stopSignal.load();
            if (end == host::EngineEnd::Stopped && signal != 0) {
                // Stopped on request: the file keeps what was recorded.
                text << "stopped by " << (signal == SIGINT ? "SIGINT" : "SIGTERM") << ": the file holds the " << recorded
                     << " frames recorded\n";
                rc = 128 + signal;
            } else if (end != host::EngineEnd::Finished) {
                err << "kvx record: the stream " << host::EngineEndText(end) << ": " << StatusText(engine.Status()) << "\n";
                rc = EXIT_FAILURE_RUN;
            }
            if (!writeError.empty() || !writer.Close(&writeError)) {
                err << "kvx record: " << options.File << ": " << writeError << "\n";
                if (rc == EXIT_OK) rc = EXIT_FAILURE_RUN;
            }
            std::string report;
            if (!checker->Finish(&report) && rc == EXIT_OK) rc = EXIT_FAILURE_RUN;
            text << report << "\n";
            if (options.Fast) text << SpeedText(static_cast<double>(recorded) / format->Rate, began);
            text << PacingText(engine.BufferSize() * 1000.0 / (static_cast<double>(format->Rate) * format->BlockAlign()));
            summary = text.str();
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
