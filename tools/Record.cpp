// `kvx record FILE.wav --seconds N [--device PROFILE] [--fast] [--format RATE:BITS:CHANNELS]`:
// records from the capture endpoint of a simulated device through the driver into a WAV file
// and checks that the file is an unbroken run of the device's known source signal.
#include <algorithm>
#include <iomanip>
#include <optional>
#include <sstream>

#include "host/AudioEngine.h"
#include "platform/nt/Clock.h"
#include "tools/AudioFile.h"
#include "tools/DriverConversion.h"
#include "tools/Kvx.h"
#include "tools/StreamCommand.h"
#include "tools/StatusText.h"
#include "tools/StreamSession.h"

namespace kvx {
namespace {

// The recording is source frames n0, n0 + 1, ... for the n0 of its first frame.
bool CheckSource(const std::vector<uint8_t>& pcm, const host::AudioFormat& format, std::string* report)
{
    const int container = format.Container;
    const uint32_t bytes = container / 8u;
    const size_t frames = pcm.size() / format.BlockAlign();
    // The source is scaled to the container; the valid bits are what the device sends.
    auto expected = [&](uint64_t n, uint32_t c) { return sim::SimDevice::SourceSample(n, c, bytes); };
    auto got = [&](size_t frame, uint32_t c) { return PcmSample(pcm.data(), frame * format.Channels + c, container); };
    if (frames == 0) {
        *report = "nothing recorded";
        return false;
    }
    std::optional<uint64_t> start;
    for (uint64_t n0 = 0; n0 < 10u * format.Rate && !start; ++n0) {
        bool same = true;
        for (uint32_t c = 0; c < format.Channels && same; ++c) same = got(0, c) == expected(n0, c);
        if (same) start = n0;
    }
    if (!start) {
        *report = "recording does not match the source: its first frame is not a source frame";
        return false;
    }
    for (size_t f = 0; f < frames; ++f) {
        for (uint32_t c = 0; c < format.Channels; ++c) {
            if (got(f, c) != expected(*start + f, c)) {
                *report = "recording differs from the source at frame " + std::to_string(f) + ", channel " +
                          std::to_string(c) + ": expected " + std::to_string(expected(*start + f, c)) + ", got " +
                          std::to_string(got(f, c));
                return false;
            }
        }
    }
    *report = "source matches: " + std::to_string(frames) + " frames";
    if (*start != 0) *report += " (from source frame " + std::to_string(*start) + ")";
    return true;
}

// A converted recording: a fresh format adapter's conversion of the device's source (in the
// device format) from the first frame the stream stored, n0, found among the first 0.1 s.
bool CheckConvertedSource(const std::vector<uint8_t>& pcm, const host::AudioFormat& format,
                          const host::AudioFormat& device, std::string* report)
{
    const size_t frames = pcm.size() / format.BlockAlign();
    if (frames == 0) {
        *report = "nothing recorded";
        return false;
    }
    const uint32_t bytes = device.Container / 8u;
    auto source = [&](uint64_t n0, uint64_t count) {
        std::vector<uint8_t> data(count * device.BlockAlign());
        for (uint64_t f = 0; f < count; ++f) {
            for (uint32_t c = 0; c < device.Channels; ++c) {
                const int64_t v = sim::SimDevice::SourceSample(n0 + f, c, bytes);
                for (uint32_t b = 0; b < bytes; ++b) {
                    data[(f * device.Channels + c) * bytes + b] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * b));
                }
            }
        }
        return data;
    };
    const uint64_t probe = std::min<uint64_t>(frames, 64);
    const size_t probeBytes = probe * format.BlockAlign();
    std::optional<uint64_t> start;
    for (uint64_t n0 = 0; n0 < device.Rate / 10 && !start; ++n0) {
        const std::vector<uint8_t> head =
            ConvertOnce(device, format, source(n0, probe * device.Rate / format.Rate + 64), probe);
        if (head.size() == probeBytes && std::equal(head.begin(), head.end(), pcm.begin())) start = n0;
    }
    if (!start) {
        *report = "recording does not match the driver's conversion of the source from any of its first frames";
        return false;
    }
    const std::vector<uint8_t> expected =
        ConvertOnce(device, format, source(*start, frames * device.Rate / format.Rate + 256), frames);
    for (size_t f = 0; f < frames; ++f) {
        const size_t at = f * format.BlockAlign();
        if (at + format.BlockAlign() > expected.size() ||
            !std::equal(pcm.begin() + at, pcm.begin() + at + format.BlockAlign(), expected.begin() + at)) {
            *report = "recording differs from the driver's conversion of the source at frame " + std::to_string(f);
            return false;
        }
    }
    *report = "source matches: " + std::to_string(frames) + " frames, as the driver converts " + FormatText(device);
    if (*start != 0) *report += " (from source frame " + std::to_string(*start) + ")";
    return true;
}

}  // namespace

int RunRecord(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    StreamOptions options;
    std::string error;
    if (!ParseStreamOptions("record", args, &options, &error)) {
        err << error << "\n";
        return EXIT_USAGE;
    }
    std::unique_ptr<sim::SimDevice> device = LoadStreamDevice(options, &error);
    if (device == nullptr) {
        err << "kvx record: " << error << "\n";
        return EXIT_USAGE;
    }
    const RealTimePriorityScope priority(!options.Fast);
    platform::SetRealTime(!options.Fast);
    sim::SimDevice* simulated = device.get();
    StreamSession session;
    session.SetSelectiveSuspend(options.SelectiveSuspend);
    NTSTATUS status = session.Start(std::move(device));
    if (!NT_SUCCESS(status)) {
        err << "kvx record: the device did not start: " << StatusText(status) << ": " << session.StartFailure(status) << "\n";
        return EXIT_FAILURE_RUN;
    }
    session.Bus().SetCompletionTiming(options.LatencyMs, options.JitterUs);
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
            rc = EXIT_FAILURE_RUN;
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
        if (rc == EXIT_OK) {
            // The device's known signal in the chosen format, on every capture endpoint.
            for (uint8_t ep : SourceEndpoints(*simulated)) {
                simulated->SetSource(ep, {deviceFormat->Rate, deviceFormat->Channels, deviceFormat->Container / 8u});
            }
            if (IsTerminal(out)) {
                engine.SetProgress([&out, blockAlign](const host::EngineStats& s) { PrintProgress(out, s, blockAlign); }, 100);
            }
            status = engine.StartCapture(*format, frames * blockAlign);
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
            const std::vector<uint8_t> pcm = engine.Captured();
            std::ostringstream text;
            text << Utf8(engine.FilterName()) << ": " << FormatText(*format) << ", " << pcm.size() / blockAlign
                 << " frames (" << std::fixed << std::setprecision(3)
                 << static_cast<double>(pcm.size() / blockAlign) / format->Rate << " s) to " << options.File << "\n";
            if (options.SelectiveSuspend) text << SuspendText(sleptAtMs, wakeMs);
            if (end != host::EngineEnd::Finished) {
                err << "kvx record: the stream " << host::EngineEndText(end) << ": " << StatusText(engine.Status()) << "\n";
                rc = EXIT_FAILURE_RUN;
            }
            if (!WriteWavFile(options.File, pcm, static_cast<int>(format->Rate), format->Channels, format->Bits,
                              format->Container, &error)) {
                err << "kvx record: " << options.File << ": " << error << "\n";
                if (rc == EXIT_OK) rc = EXIT_USAGE;
            }
            std::string report;
            const bool matches = *deviceFormat == *format ? CheckSource(pcm, *format, &report)
                                                          : CheckConvertedSource(pcm, *format, *deviceFormat, &report);
            if (!matches && rc == EXIT_OK) rc = EXIT_FAILURE_RUN;
            text << report << "\n";
            text << PacingText(engine.BufferSize() * 1000.0 / (static_cast<double>(format->Rate) * format->BlockAlign()));
            summary = text.str();
        }
    }
    std::string leak;
    if (!session.End(&leak)) {
        err << "kvx record: " << leak << "\n";
        if (rc == EXIT_OK) rc = EXIT_FAILURE_RUN;
    }
    out << summary;
    return rc;
}

}  // namespace kvx
