// `kvx play FILE [--device PROFILE] [--fast] [--ppm N]`: plays an audio file through the driver on a
// simulated device and checks what reached the device: silence, exactly the file's frames (as
// converted to the endpoint's PCM), silence.
#include <algorithm>
#include <cstdio>
#include <iomanip>
#include <optional>
#include <sstream>

#include "host/AudioEngine.h"
#include "platform/nt/Clock.h"
#include "tools/AudioFile.h"
#include "tools/Kvx.h"
#include "tools/StreamCommand.h"
#include "tools/StreamSession.h"
#include "tools/WireCheck.h"

namespace kvx {
namespace {

// The endpoint's format for the file: its own when listed; another width is converted to the
// widest listed at the file's rate and channel count; another rate or channel count is refused.
std::optional<host::AudioFormat> ChooseFormat(const AudioFile& file, const std::vector<host::AudioFormat>& formats)
{
    std::optional<host::AudioFormat> best;
    for (const host::AudioFormat& f : formats) {
        if (f.Rate != static_cast<ULONG>(file.Rate) || f.Channels != file.Channels) continue;
        if (file.Width != 0 && f.Bits == file.Width) return f;
        if (!best || f.Bits > best->Bits) best = f;
    }
    return best;
}

}  // namespace

int RunPlay(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    StreamOptions options;
    std::string error;
    if (!ParseStreamOptions("play", args, &options, &error)) {
        err << error << "\n";
        return EXIT_USAGE;
    }
    AudioFile file;
    if (!ReadAudioFile(options.File, &file, &error)) {
        err << "kvx play: " << options.File << ": " << error << "\n";
        return EXIT_USAGE;
    }
    std::unique_ptr<sim::SimDevice> device = LoadStreamDevice(options, &error);
    if (device == nullptr) {
        err << "kvx play: " << error << "\n";
        return EXIT_USAGE;
    }
    const RealTimePriorityScope priority(!options.Fast);
    platform::SetRealTime(!options.Fast);

    StreamSession session;
    NTSTATUS status = session.Start(std::move(device));
    if (!NT_SUCCESS(status)) {
        err << "kvx play: the device did not start: " << Hex(status) << "\n";
        return EXIT_FAILURE_RUN;
    }
    session.Bus().SetCompletionTiming(options.LatencyMs, options.JitterUs);
    int rc = EXIT_OK;
    std::string summary;
    {
        host::AudioEngine engine(session.Fdo());
        status = engine.Open(false);
        if (!NT_SUCCESS(status)) {
            err << "kvx play: the device has no render filter: " << Hex(status) << "\n";
            rc = EXIT_FAILURE_RUN;
        }
        std::optional<host::AudioFormat> format;
        if (rc == EXIT_OK) {
            format = ChooseFormat(file, engine.Formats());
            if (!format) {
                err << "kvx play: " << options.File << ": " << file.Rate << " Hz " << file.Channels
                    << " ch is not a format of " << Utf8(engine.FilterName())
                    << "; it takes: " << FormatList(engine.Formats()) << "\n";
                rc = EXIT_USAGE;
            }
        }
        std::vector<uint8_t> data;
        const uint32_t blockAlign = format ? format->BlockAlign() : 0;
        if (rc == EXIT_OK) {
            data = ConvertToPcm(file, format->Bits, format->Container);
            AttachSinks(session.Device(), *format);
            host::EngineProbe probe;
            probe.Observe = session.ObserveTransport(engine.FilterName());
            probe.Frame = [&session] { return session.Bus().Frame(); };
            probe.Rate = [&session, &engine] { return static_cast<double>(session.MeasuredRate(engine.FilterName())); };
            probe.WireBytes = [&session] {
                const uint8_t ep = WireEndpoint(session.Device());
                return ep != 0 ? session.Device().WireByteCount(ep) : uint64_t{0};
            };
            if (IsTerminal(out)) {
                engine.SetProgress([&out, blockAlign](const host::EngineStats& s) { PrintProgress(out, s, blockAlign); }, 100);
            }
            status = engine.StartRender(*format, data, probe);
            if (!NT_SUCCESS(status)) {
                err << "kvx play: the pin did not open in " << FormatText(*format) << ": " << Hex(status) << "\n";
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
            std::ostringstream text;
            text << Utf8(engine.FilterName()) << ": " << FormatText(*format) << ", " << data.size() / blockAlign
                 << " frames (" << std::fixed << std::setprecision(3)
                 << static_cast<double>(data.size() / blockAlign) / format->Rate << " s)";
            if (file.Width != format->Bits) {
                text << ", converted from " << (file.Width != 0 ? std::to_string(file.Width) + "-bit" : "float");
            }
            text << "\n";
            if (end != host::EngineEnd::Finished) {
                err << "kvx play: the stream " << host::EngineEndText(end) << ": " << Hex(engine.Status()) << "\n";
                rc = EXIT_FAILURE_RUN;
            }
            const uint8_t ep = WireEndpoint(session.Device());
            const sim::Bytes wire = ep != 0 ? session.Device().WireBytes(ep) : sim::Bytes{};
            uint64_t lead = 0;
            std::string report;
            if (!CheckWire(wire, data, blockAlign, &lead, &report)) rc = EXIT_FAILURE_RUN;
            text << report << "\n";
            std::vector<host::FrameRun> runs;
            if (ep != 0) {
                for (const sim::WirePacket& p : session.Device().Wire(ep)) {
                    runs.push_back({p.Frame, static_cast<uint32_t>(p.Data.size())});
                }
            }
            const host::LatencyFigures latency = host::MeasureLatency(engine.Fills(), runs, blockAlign);
            const host::WriteToWire writeToWire = host::MeasureWriteToWire(engine.Writes(), runs, lead);
            text << std::setprecision(2) << "latency (driver copy to wire): max " << latency.MaxFrames
                 << " frames, mean " << latency.MeanFrames << " frames over " << latency.Samples
                 << " samples; ring " << engine.RingTransfers() << " x " << engine.RingMsPerTransfer() << " ms\n"
                 << "engine write to wire: max " << writeToWire.MaxMs << " ms, mean " << writeToWire.MeanMs
                 << " ms; position error: max " << stats.MaxPositionErrorMs << " ms, mean "
                 << stats.MeanPositionErrorMs << " ms; starvation: " << stats.Starvations << "\n";
            if (stats.MeanRate > 0) {
                text << "measured rate: mean " << stats.MeanRate << " Hz (" << std::setprecision(0) << stats.MinRate
                     << " to " << stats.MaxRate << " Hz)" << std::setprecision(2);
                text << "; device clock " << std::showpos << options.Ppm << std::noshowpos << " ppm, "
                     << format->Rate * (1.0 + options.Ppm * 1e-6) << " Hz\n";
            }
            if (ep != 0) {
                const sim::SinkState sink = session.Device().Sink(ep);
                if (sink.Playing) {
                    const double msPerFrame = 1000.0 / format->Rate;
                    text << "sink fill: " << sink.MinFillFrames << " to " << sink.MaxFillFrames << " frames ("
                         << sink.MinFillFrames * msPerFrame << " to " << sink.MaxFillFrames * msPerFrame
                         << " ms); underruns " << sink.Underruns << ", overruns " << sink.Overruns << "\n";
                }
            }
            summary = text.str();
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
