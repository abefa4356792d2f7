#include "tools/StreamCommand.h"

#include <dirent.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <iomanip>
#include <iostream>
#include <sstream>

#include "platform/nt/Clock.h"
#include "sim/Profile.h"
#include "tools/Kvx.h"

namespace kvx {
namespace {

// Recordings from 10 ms (a few transfers) to an hour.
constexpr double MIN_SECONDS = 0.01;
constexpr double MAX_SECONDS = 3600;
// ASIO host buffers, in frames.
constexpr double MIN_BUFFER_FRAMES = 16;
constexpr double MAX_BUFFER_FRAMES = 8192;

bool ParseSeconds(const std::string& text, double* value)
{
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || end == nullptr || *end != '\0' || !(v >= MIN_SECONDS) || v > MAX_SECONDS) return false;
    *value = v;
    return true;
}

bool ParsePpm(const std::string& text, double* value)
{
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || end == nullptr || *end != '\0' || !(v >= -10000 && v <= 10000)) return false;
    *value = v;
    return true;
}

bool ParseRange(const std::string& text, double low, double high, double* value)
{
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || end == nullptr || *end != '\0' || !(v >= low && v <= high) || v != static_cast<long>(v)) return false;
    *value = v;
    return true;
}

bool ParseFormat(const std::string& text, host::AudioFormat* format)
{
    unsigned rate = 0, bits = 0, channels = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%u:%u:%u%c", &rate, &bits, &channels, &tail) != 3) return false;
    if (rate == 0 || rate > 768000 || bits == 0 || bits > 32 || channels == 0 || channels > 32) return false;
    *format = {rate, static_cast<USHORT>(channels), static_cast<USHORT>(bits), 0};
    return true;
}

// Sets the policy of every thread of the process; false when one could not take it.
bool SetAllThreads(int policy, int priority)
{
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return false;
    bool all = true;
    sched_param param{};
    param.sched_priority = priority;
    while (const dirent* task = readdir(tasks)) {
        if (task->d_name[0] == '.') continue;
        const pid_t tid = static_cast<pid_t>(std::strtol(task->d_name, nullptr, 10));
        if (sched_setscheduler(tid, policy, &param) != 0) all = false;
    }
    closedir(tasks);
    return all;
}

}  // namespace

RealTimePriorityScope::RealTimePriorityScope(bool realTime)
{
    if (!realTime) return;
    m_raised = SetAllThreads(SCHED_RR, 10);
    if (!m_raised) SetAllThreads(SCHED_OTHER, 0);
}

RealTimePriorityScope::~RealTimePriorityScope()
{
    if (m_raised) SetAllThreads(SCHED_OTHER, 0);
}

bool ParseStreamOptions(const std::string& command, const std::vector<std::string>& args, StreamOptions* options,
                        std::string* error)
{
    const bool record = command == "record";
    const std::string usage = CommandUsage(command);
    auto fail = [&](const std::string& why) {
        *error = "usage: " + usage + "; " + why;
        return false;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "--fast") {
            options->Fast = true;
        } else if (a == "--selective-suspend") {
            options->SelectiveSuspend = true;
        } else if (a == "--device") {
            if (!hasValue) return fail("--device needs a profile");
            options->Profile = args[++i];
        } else if (a == "--latency-ms" || a == "--jitter-us") {
            double v = 0;
            const bool latency = a == "--latency-ms";
            if (!hasValue || !ParseRange(args[i + 1], latency ? 1 : 0, latency ? 64 : 10000, &v)) {
                return fail(latency ? "--latency-ms needs a whole number from 1 to 64" : "--jitter-us needs a whole number from 0 to 10000");
            }
            (latency ? options->LatencyMs : options->JitterUs) = static_cast<uint32_t>(v);
            ++i;
        } else if (a == "--ppm") {
            if (!hasValue || !ParsePpm(args[i + 1], &options->Ppm)) return fail("--ppm needs a number from -10000 to 10000");
            ++i;
        } else if (record && a == "--seconds") {
            if (!hasValue || !ParseSeconds(args[i + 1], &options->Seconds)) {
                return fail("--seconds needs a number from 0.01 to 3600");
            }
            ++i;
        } else if (record && a == "--format") {
            if (!hasValue || !ParseFormat(args[i + 1], &options->Format)) return fail("--format needs RATE:BITS:CHANNELS");
            options->HasFormat = true;
            ++i;
        } else if (a == "--asio") {
            options->Asio = true;
        } else if (a == "--buffer") {
            double v = 0;
            if (!hasValue || !ParseRange(args[i + 1], MIN_BUFFER_FRAMES, MAX_BUFFER_FRAMES, &v)) {
                return fail("--buffer needs a whole number of frames from 16 to 8192");
            }
            options->BufferFrames = static_cast<uint32_t>(v);
            ++i;
        } else if (!record && a == "--round-trip") {
            options->RoundTrip = true;
        } else if (!a.empty() && a[0] != '-' && options->File.empty()) {
            options->File = a;
        } else {
            return fail("unexpected argument \"" + a + "\"");
        }
    }
    if (options->File.empty()) return fail("no file given");
    if (record && options->Seconds == 0) return fail("--seconds is required");
    if (!options->Asio && (options->BufferFrames != 0 || options->RoundTrip)) {
        return fail(options->RoundTrip ? "--round-trip needs --asio" : "--buffer needs --asio");
    }
    if (options->Asio && options->SelectiveSuspend) return fail("--selective-suspend does not apply with --asio");
    return true;
}

std::unique_ptr<sim::SimDevice> LoadStreamDevice(const StreamOptions& options, std::string* error)
{
    std::unique_ptr<sim::SimDevice> device;
    if (options.Profile.empty()) {
        device = sim::ParseProfile(options.Asio ? BuiltInAsioHeadsetProfile() : BuiltInHeadsetProfile(), ".", error);
        if (device == nullptr) *error = (options.Asio ? "built-in ASIO headset: " : "built-in headset: ") + *error;
    } else {
        device = sim::LoadProfile(options.Profile, error);
    }
    if (device != nullptr) device->SetClockPpm(options.Ppm);
    return device;
}

std::string FormatText(const host::AudioFormat& format)
{
    std::ostringstream text;
    text << format.Rate << " Hz " << format.Bits << "-bit";
    if (format.Container != 0 && format.Container != format.Bits) text << " (in " << format.Container << ")";
    text << " " << format.Channels << " ch";
    return text.str();
}

std::string FormatList(const std::vector<host::AudioFormat>& formats)
{
    std::string list;
    for (const host::AudioFormat& f : formats) list += (list.empty() ? "" : ", ") + FormatText(f);
    return list.empty() ? "none" : list;
}

std::string Utf8(const std::u16string& text)
{
    std::string out;
    for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

std::string PacingText(double bufferMs)
{
    if (!platform::IsRealTime()) return {};
    const double behindMs = static_cast<double>(platform::ClockMaxBehindRealTime()) / platform::TICKS_PER_MS;
    std::ostringstream text;
    text << std::fixed << std::setprecision(0) << "behind real time: max " << behindMs << " ms\n";
    if (behindMs > bufferMs) {
        text << "the machine lagged more than the " << bufferMs << " ms cyclic buffer behind real time: the run was late\n";
    }
    return text.str();
}

std::string SuspendText(double sleptAtMs, double wakeMs)
{
    std::ostringstream text;
    text << std::fixed << std::setprecision(2) << "selective suspend: slept " << sleptAtMs / 1000.0
         << " s after the start, the stream's open woke it in " << std::setprecision(1) << wakeMs << " ms\n";
    return text.str();
}

std::string SpeedText(double audioSeconds, std::chrono::steady_clock::time_point since)
{
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
    std::ostringstream text;
    text << std::fixed << std::setprecision(3) << "fast: " << audioSeconds << " s of audio in " << wall << " s, "
         << std::setprecision(1) << (wall > 0 ? audioSeconds / wall : 0.0) << "x real time\n";
    return text.str();
}

bool IsTerminal(const std::ostream& out) { return &out == &std::cout && isatty(STDOUT_FILENO) == 1; }

void PrintProgress(std::ostream& out, const host::EngineStats& stats, uint32_t blockAlign)
{
    out << "\r" << std::fixed << std::setprecision(2) << std::setw(7) << stats.ElapsedMs / 1000.0 << " s  position "
        << std::setw(9) << (blockAlign != 0 ? stats.PlayOffset / blockAlign : 0) << " frames  wire " << std::setw(9)
        << (blockAlign != 0 ? stats.WireBytes / blockAlign : 0) << " frames  starvation " << stats.Starvations
        << std::flush;
}

}  // namespace kvx
