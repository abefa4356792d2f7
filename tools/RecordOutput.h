// What every `kvx record` shares, with or without --asio: the output checked before anything is
// recorded, and SIGINT / SIGTERM ending the recording with the file finished.
#pragma once

#include <csignal>
#include <atomic>
#include <string>

namespace kvx {

// The signal that stopped a recording (0: none), and the flag it raises. A handler only sets these.
extern std::atomic<bool> g_stopRecording;
extern std::atomic<int> g_stopSignal;

// SIGINT and SIGTERM stop the recording (the file is finished) for the scope's life.
class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

private:
    struct sigaction m_int {};
    struct sigaction m_term {};
};

// The output, checked before anything is recorded: a format its extension names, a folder that
// exists and can be written, no directory in the way, and a FIFO only with a reader (opened
// now, without waiting for one). *fd is the FIFO's descriptor, else -1.
bool CheckOutput(const std::string& path, int* majorFormat, int* fd, std::string* error);

}  // namespace kvx
