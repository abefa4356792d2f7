// `kvx play FILE [--device PROFILE] [--fast] [--ppm N]`: plays an audio file through the driver on a
// simulated device and checks what reached the device: silence, exactly the file's frames (as
// converted to the endpoint's PCM), silence.
#include <algorithm>
#include <cstdio>
#include <iomanip>
#include <mutex>
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
#include "tools/WireCheck.h"

namespace kvx {
namespace {

// The endpoint's format for the file: its own when listed; another width is converted to the
// widest listed at the file's rate and channel count.
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

// A rate or channel count the endpoint lacks: the pin's format at the file's rate and channel
// count (the file's width where the device has it, else the device's widest), which the driver
// converts; none when the driver does not convert it. (The pin's intersection answers the
// device's own formats where they cover the rate; the pin is opened in this one directly.)
std::optional<host::AudioFormat> ChooseConvertedFormat(const AudioFile& file, const std::vector<host::AudioFormat>& device)
{
    std::optional<host::AudioFormat> width;
    for (const host::AudioFormat& f : device) {
        if (file.Width != 0 && f.Bits == file.Width) {
            width = f;
            break;
        }
        if (!width || f.Bits > width->Bits) width = f;
    }
    if (!width) return std::nullopt;
    const host::AudioFormat stream{static_cast<ULONG>(file.Rate), static_cast<USHORT>(file.Channels), width->Bits,
                                   width->Container};
    if (!DriverConverts(stream)) return std::nullopt;
    return stream;
}

// Each frame's first `channels` channels (the frames as they are when they have no more).
std::vector<uint8_t> FirstChannels(const std::vector<uint8_t>& frames, const host::AudioFormat& format, USHORT channels)
{
    const size_t sample = format.Container / 8;
    const size_t frame = format.BlockAlign();
    if (channels >= format.Channels || frame == 0) return frames;
    std::vector<uint8_t> out;
    out.reserve(frames.size() / frame * channels * sample);
    for (size_t at = 0; at + frame <= frames.size(); at += frame) {
        out.insert(out.end(), frames.begin() + static_cast<std::ptrdiff_t>(at),
                   frames.begin() + static_cast<std::ptrdiff_t>(at + channels * sample));
    }
    return out;
}

// How many device frames a converted stream's filters ring on after its last frame.
constexpr uint64_t CONVERSION_TAIL_FRAMES = 64;

}  // namespace

int RunPlay(const std::vector<std::string>& args, std::ostream& out, std::ostream& err)
{
    StreamOptions options;
    std::string error;
    if (!ParseStreamOptions("play", args, &options, &error)) {
        err << error << "\n";
        return EXIT_USAGE;
    }
    if (options.Asio) return RunAsioPlay(options, out, err);
    // The file is read a block at a time as the stream takes it: its header's frame count is
    // never allocated.
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
    int rc = EXIT_OK;
    std::string summary;
    {
        host::AudioEngine engine(session.Fdo());
        // --selective-suspend: the idle device sleeps first, and the stream's open wakes it.
        double sleptAtMs = 0;
        double wakeMs = 0;
        if (options.SelectiveSuspend && !session.WaitUntilSuspended(&sleptAtMs)) {
            err << "kvx play: --selective-suspend: the idle device was not suspended\n";
            rc = EXIT_FAILURE_RUN;
        }
        const int64_t openAt = platform::ClockNow();
        status = engine.Open(false);
        wakeMs = static_cast<double>(platform::ClockNow() - openAt) / platform::TICKS_PER_MS;
        if (NT_SUCCESS(status) && options.SelectiveSuspend && session.Bus().Suspended()) {
            err << "kvx play: --selective-suspend: the stream's open did not wake the device\n";
            rc = EXIT_FAILURE_RUN;
        }
        if (!NT_SUCCESS(status)) {
            err << "kvx play: the device has no render filter: " << StatusText(status) << "\n";
            rc = EXIT_USAGE;
        }
        std::optional<host::AudioFormat> format;
        // The device's format on the wire: the stream's own, or the one the driver converts to.
        std::optional<host::AudioFormat> wireFormat;
        if (rc == EXIT_OK) {
            const std::vector<host::AudioFormat> device = session.EndpointFormats(engine.FilterName());
            format = ChooseFormat(file, device);
            wireFormat = format;
            if (!format) {
                format = ChooseConvertedFormat(file, device);
                if (format) wireFormat = ConvertedDeviceFormat(*format, device);
            }
            if (!format || !wireFormat) {
                err << "kvx play: " << options.File << ": " << file.Rate << " Hz " << file.Channels
                    << " ch is not a format of " << Utf8(engine.FilterName())
                    << "; it takes: " << FormatList(device)
                    << ", and 44100 to 192000 Hz (the six rates) with 1 to 8 ch converted by the driver\n";
                rc = EXIT_USAGE;
            }
        }
        const bool converted = rc == EXIT_OK && !(*format == *wireFormat);
        // The endpoint's format, and the device's frame on the wire: the channels of its
        // alternate setting, which may be fewer than the endpoint's (each frame's first ones).
        const std::optional<host::AudioFormat> deviceFormat = wireFormat;
        if (wireFormat) {
            wireFormat->Channels = WireChannels(session.Device(), *wireFormat);
        }
        const uint32_t blockAlign = format ? format->BlockAlign() : 0;
        const uint32_t wireBlockAlign = wireFormat ? wireFormat->BlockAlign() : 0;
        // The wire is checked as it arrives against the file as the stream reads it (a converted
        // stream against a fresh adapter's conversion of it, which is what the driver sends);
        // the device keeps neither its bytes nor a record per frame.
        WireChecker checker(wireBlockAlign != 0 ? wireBlockAlign : 1, converted ? CONVERSION_TAIL_FRAMES : 0);
        StreamConverter converter;
        std::mutex runsLock;
        std::vector<host::FrameRun> runs;  // bytes on the wire per USB frame, for the latency figures
        uint64_t dataFrames = 0;
        AudioFile block;  // the engine's thread reads into it until the stream has ended
        if (converted && !converter.Start(*format, *deviceFormat)) {
            err << "kvx play: the driver's format adapter refuses " << FormatText(*format) << " to "
                << FormatText(*deviceFormat) << "\n";
            rc = EXIT_FAILURE_RUN;
        }
        const std::vector<uint8_t> outEndpoints = SinkEndpoints(session.Device());
        if (rc == EXIT_OK) {
            AttachSinks(session.Device(), *wireFormat);
            for (uint8_t ep : outEndpoints) {
                session.Device().KeepWireBytes(ep, false);
                session.Device().KeepWireFrames(ep, false);
                session.Device().SetWireTap(ep, [&checker, &runsLock, &runs](uint32_t frame, uint32_t, const uint8_t* bytes,
                                                                              uint32_t length) {
                    checker.Wire(bytes, length);
                    std::lock_guard<std::mutex> guard(runsLock);
                    if (!runs.empty() && runs.back().Frame == frame) {
                        runs.back().Bytes += length;
                    } else {
                        runs.push_back({frame, length});
                    }
                });
            }
            host::EngineProbe probe;
            probe.Observe = session.ObserveTransport(engine.FilterName());
            probe.Frame = [&session] { return session.Bus().Frame(); };
            probe.Rate = [&session, &engine] { return static_cast<double>(session.MeasuredRate(engine.FilterName())); };
            // Wire bytes counted as stream bytes, so that a converted stream's position compares.
            const uint64_t streamBytesPerSecond = uint64_t{format->Rate} * blockAlign;
            const uint64_t wireBytesPerSecond = uint64_t{wireFormat->Rate} * wireBlockAlign;
            probe.WireBytes = [&session, streamBytesPerSecond, wireBytesPerSecond] {
                const uint8_t ep = WireEndpoint(session.Device());
                const uint64_t bytes = ep != 0 ? session.Device().WireByteCount(ep) : uint64_t{0};
                return bytes * streamBytesPerSecond / wireBytesPerSecond;
            };
            if (IsTerminal(out)) {
                engine.SetProgress([&out, blockAlign](const host::EngineStats& s) { PrintProgress(out, s, blockAlign); }, 100);
            }
            const host::AudioFormat streamFormat = *format;
            const host::AudioFormat endpointFormat = *deviceFormat;
            const USHORT wireChannels = wireFormat->Channels;
            host::RenderSource source = [&, streamFormat, endpointFormat, wireChannels](uint8_t* out,
                                                                                      size_t bytes) -> size_t {
                const size_t frames = reader.Read(bytes / streamFormat.BlockAlign(), &block);
                if (frames == 0) {
                    checker.EndData();
                    return 0;
                }
                const std::vector<uint8_t> pcm = ConvertToPcm(block, streamFormat.Bits, streamFormat.Container);
                std::copy(pcm.begin(), pcm.end(), out);
                dataFrames += frames;
                const std::vector<uint8_t> wire =
                    FirstChannels(converted ? converter.Push(pcm.data(), pcm.size()) : pcm, endpointFormat, wireChannels);
                checker.Data(wire.data(), wire.size());
                return pcm.size();
            };
            status = engine.StartRender(*format, source, probe);
            if (!NT_SUCCESS(status)) {
                err << "kvx play: the pin did not open in " << FormatText(*format) << ": " << StatusText(status) << "\n";
                rc = EXIT_FAILURE_RUN;
            }
        }
        if (rc == EXIT_OK) {
            const host::EngineEnd end = engine.Wait();
            for (uint8_t ep : outEndpoints) session.Device().SetWireTap(ep, {});
            const host::EngineStats stats = engine.Stats();
            if (IsTerminal(out)) {
                PrintProgress(out, stats, blockAlign);
                out << "\n";
            }
            std::ostringstream text;
            text << Utf8(engine.FilterName()) << ": " << FormatText(*format) << ", " << dataFrames << " frames ("
                 << std::fixed << std::setprecision(3) << static_cast<double>(dataFrames) / format->Rate << " s)";
            if (file.Width != format->Bits) {
                text << ", converted from " << (file.Width != 0 ? std::to_string(file.Width) + "-bit" : "float");
            }
            if (converted) {
                text << ", converted by the driver to " << FormatText(*deviceFormat);
            }
            text << "\n";
            if (options.SelectiveSuspend) text << SuspendText(sleptAtMs, wakeMs);
            if (end != host::EngineEnd::Finished) {
                err << "kvx play: the stream " << host::EngineEndText(end) << ": " << StatusText(engine.Status()) << "\n";
                rc = EXIT_FAILURE_RUN;
            }
            std::string report;
            if (!checker.Finish(&report)) rc = EXIT_FAILURE_RUN;
            const uint64_t lead = checker.Lead();
            text << report << "\n";
            std::lock_guard<std::mutex> guard(runsLock);
            // The driver fills the endpoint's frames, of which the wire carries the first channels.
            std::vector<host::FrameRun> deviceRuns = runs;
            const uint32_t deviceBlockAlign = deviceFormat->BlockAlign();
            for (host::FrameRun& r : deviceRuns) r.Bytes = r.Bytes / wireBlockAlign * deviceBlockAlign;
            const host::LatencyFigures latency = host::MeasureLatency(engine.Fills(), deviceRuns, deviceBlockAlign);
            // The engine writes stream bytes: the wire's runs and lead in stream bytes for that measure.
            std::vector<host::FrameRun> streamRuns = runs;
            const uint64_t streamRate = uint64_t{format->Rate} * blockAlign, wireRate = uint64_t{wireFormat->Rate} * wireBlockAlign;
            for (host::FrameRun& r : streamRuns) r.Bytes = static_cast<uint32_t>(r.Bytes * streamRate / wireRate);
            const host::WriteToWire writeToWire =
                host::MeasureWriteToWire(engine.Writes(), streamRuns, lead * streamRate / wireRate);
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
                     << wireFormat->Rate * (1.0 + options.Ppm * 1e-6) << " Hz\n";
            }
            const uint8_t ep = WireEndpoint(session.Device());
            if (ep != 0) {
                const sim::SinkState sink = session.Device().Sink(ep);
                if (sink.Playing) {
                    const double msPerFrame = 1000.0 / wireFormat->Rate;
                    text << "sink fill: " << sink.MinFillFrames << " to " << sink.MaxFillFrames << " frames ("
                         << sink.MinFillFrames * msPerFrame << " to " << sink.MaxFillFrames * msPerFrame
                         << " ms); underruns " << sink.Underruns << ", overruns " << sink.Overruns << "\n";
                }
                // A device that ran dry played silence the stream owed it: audible, whatever the
                // wire holds.
                if (sink.Underruns != 0 && rc == EXIT_OK) {
                    err << "kvx play: the device ran dry " << sink.Underruns << " time(s), " << sink.MissingFrames
                        << " frames played as silence: the stream did not keep up with the device clock\n";
                    rc = EXIT_FAILURE_RUN;
                }
            }
            // Delivery far behind the stream's own clock (the data's length, the cyclic buffer
            // and a second to settle): the device could not have played it in time.
            const double dataMs = 1000.0 * static_cast<double>(dataFrames) / format->Rate;
            const double bufferMs = engine.BufferSize() * 1000.0 / (static_cast<double>(format->Rate) * format->BlockAlign());
            if (end == host::EngineEnd::Finished && stats.ElapsedMs > 2 * (dataMs + bufferMs) + 1000 && rc == EXIT_OK) {
                err << "kvx play: " << std::setprecision(3) << dataMs / 1000 << " s of audio took " << stats.ElapsedMs / 1000
                    << " s of the stream's clock to deliver\n";
                rc = EXIT_FAILURE_RUN;
            }
            text << PacingText(bufferMs);
            if (options.Fast) text << SpeedText(static_cast<double>(dataFrames) / format->Rate, began);
            summary = text.str();
            const std::string shortfall = reader.Shortfall();
            if (!shortfall.empty()) err << "kvx play: " << options.File << ": " << shortfall << "\n";
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
