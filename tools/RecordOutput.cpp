// What every `kvx record` shares: its output's checks and the signals that end it.
#include "tools/RecordOutput.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/AudioFile.h"

namespace kvx {

std::atomic<bool> g_stopRecording{false};
std::atomic<int> g_stopSignal{0};

namespace {

extern "C" void OnStopSignal(int signal)
{
    g_stopSignal.store(signal);
    g_stopRecording.store(true);
}

}  // namespace

StopSignals::StopSignals()
{
    g_stopRecording = false;
    g_stopSignal = 0;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &m_int);
    sigaction(SIGTERM, &action, &m_term);
}

StopSignals::~StopSignals()
{
    sigaction(SIGINT, &m_int, nullptr);
    sigaction(SIGTERM, &m_term, nullptr);
}

bool CheckOutput(const std::string& path, int* majorFormat, int* fd, std::string* error)
{
    *fd = -1;
    *majorFormat = FormatForExtension(path);
    if (*majorFormat == 0) {
        *error = "the extension names no format kvx records: use .wav, .flac, .aiff or .aif";
        return false;
    }
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            *error = "is a directory";
            return false;
        }
        if (S_ISFIFO(st.st_mode)) {
            *fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (*fd < 0) {
                *error = errno == ENXIO ? "a FIFO with no reader: start the reader first"
                                        : std::string("cannot open the FIFO: ") + std::strerror(errno);
                return false;
            }
            fcntl(*fd, F_SETFL, fcntl(*fd, F_GETFL) & ~O_NONBLOCK);
            return true;
        }
        if (!S_ISREG(st.st_mode)) {
            *error = "is neither a regular file nor a FIFO";
            return false;
        }
        if (access(path.c_str(), W_OK) != 0) {
            *error = std::string("cannot be written: ") + std::strerror(errno);
            return false;
        }
        return true;
    }
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = "the folder " + folder + " does not exist";
        return false;
    }
    if (access(folder.c_str(), W_OK) != 0) {
        *error = "the folder " + folder + " cannot be written: " + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace kvx
