// What `kvx play` and `kvx record` share: their options, the device (a profile or the built-in
// headset), the machine's clock mode and the progress line.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "host/AudioEngine.h"
#include "sim/SimDevice.h"

namespace kvx {

// The JSON text of the UAC1 headset profile, built in, and of the ASIO headset (--asio).
const char* BuiltInHeadsetProfile();
const char* BuiltInAsioHeadsetProfile();

struct StreamOptions {
    std::string File;
    std::string Profile;  // empty: the built-in headset (with --asio, the built-in ASIO headset)
    bool Fast = false;
    double Ppm = 0;       // the simulated device clock's offset
    double Seconds = 0;   // record
    uint32_t LatencyMs = 1;  // the simulated host controller's completion interrupt every n ms
    uint32_t JitterUs = 0;   // and its scheduling jitter
    bool SelectiveSuspend = false;  // let the hub suspend the idle device before the stream
    bool HasFormat = false;
    host::AudioFormat Format;  // record --format (Container unset)
    bool Asio = false;          // stream through the private ASIO interface, as an ASIO host
    uint32_t BufferFrames = 0;  // --buffer: the ASIO host's buffer (0: the driver's preferred size)
    bool RoundTrip = false;     // play --round-trip: measure the ASIO round trip first
};

// Parses the arguments of `command` ("play" or "record"); false with a one-line usage error.
bool ParseStreamOptions(const std::string& command, const std::vector<std::string>& args, StreamOptions* options,
                        std::string* error);
// The profile's device or the built-in headset; null with a one-line *error.
std::unique_ptr<sim::SimDevice> LoadStreamDevice(const StreamOptions& options, std::string* error);
// "48000 Hz 16-bit 2 ch" and a list of such, separated by ", ".
std::string FormatText(const host::AudioFormat& format);
std::string FormatList(const std::vector<host::AudioFormat>& formats);
std::string Utf8(const std::u16string& text);
// In real time, the machine's threads (its DPCs, timers and the engine's thread) run as a
// kernel's would: above every ordinary process, so that a busy machine cannot hold back the
// bus's frames or the port's service for tens of milliseconds. Every thread of the process
// takes a low round-robin real-time priority for the scope's life (threads made meanwhile
// inherit it); without the privilege nothing changes and Raised() says so.
class RealTimePriorityScope {
public:
    explicit RealTimePriorityScope(bool realTime);
    ~RealTimePriorityScope();
    RealTimePriorityScope(const RealTimePriorityScope&) = delete;
    RealTimePriorityScope& operator=(const RealTimePriorityScope&) = delete;
    bool Raised() const { return m_raised; }

private:
    bool m_raised = false;
};

// In real time: "behind real time: max N ms" (the most the machine's clock fell behind the wall
// clock while it waited for a lagging thread) and, when that was more than the cyclic buffer of
// `bufferMs`, a line saying the run was late by more than its buffer; empty on virtual time.
std::string PacingText(double bufferMs);
// --selective-suspend: "selective suspend: slept 5.04 s after the start, the stream's open woke it in
// 1.2 ms" and a newline.
std::string SuspendText(double sleptAtMs, double wakeMs);
// With --fast: "fast: X s of audio in Y s, Z x real time" from the wall-clock time since `since`.
std::string SpeedText(double audioSeconds, std::chrono::steady_clock::time_point since);
// Whether `out` is the process's standard output and that is a terminal.
bool IsTerminal(const std::ostream& out);
// One progress line, rewritten in place: time, position, wire bytes, starvation.
void PrintProgress(std::ostream& out, const host::EngineStats& stats, uint32_t blockAlign);

}  // namespace kvx
