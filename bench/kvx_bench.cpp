// `kvx play --fast` of a 60 s file and `kvx record --fast` of an hour, each run as the program
// is (a child process): the speed-up over real time (audio seconds per wall-clock second; goal
// at least 50x for each play) and the child's peak resident memory (goal under 100 MB for the
// hour's recording). The files are 1 kHz sines written with libsndfile into a temporary folder.
#include <benchmark/benchmark.h>
#include <sndfile.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

fs::path Folder()
{
    static const fs::path folder = [] {
        fs::path f = fs::temp_directory_path() / ("kvx-bench-" + std::to_string(getpid()));
        fs::create_directories(f);
        return f;
    }();
    return folder;
}

std::string SineFile(int rate, int format, double seconds)
{
    const fs::path path = Folder() / ("sine-" + std::to_string(rate) + "-" + std::to_string(format) + ".wav");
    if (fs::exists(path)) return path.string();
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | format;
    SNDFILE* sf = sf_open(path.c_str(), SFM_WRITE, &info);
    if (sf == nullptr) return {};
    std::vector<double> block(2 * 4800);
    for (sf_count_t at = 0; at < static_cast<sf_count_t>(seconds * rate); at += 4800) {
        for (size_t i = 0; i < 4800; ++i) {
            block[2 * i] = block[2 * i + 1] = 0.5 * std::sin(2 * 3.14159265358979 * 1000.0 * static_cast<double>(at + i) / rate);
        }
        sf_writef_double(sf, block.data(), 4800);
    }
    sf_close(sf);
    return path.string();
}

struct ChildRun {
    bool Ok = false;
    double WallSeconds = 0;
    double PeakMb = 0;
};

// Runs the program with its output discarded; its exit status and peak resident memory.
ChildRun RunKvx(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    std::string program = KVX_PROGRAM;
    argv.push_back(program.data());
    std::vector<std::string> copy = args;
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        freopen("/dev/null", "w", stdout);
        execv(KVX_PROGRAM, argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    ChildRun run;
    if (pid > 0 && wait4(pid, &status, 0, &usage) == pid) {
        run.WallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        run.Ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        run.PeakMb = static_cast<double>(usage.ru_maxrss) / 1024.0;
    }
    return run;
}

void Report(benchmark::State& state, const ChildRun& run, double audioSeconds)
{
    state.SetIterationTime(run.WallSeconds);
    state.counters["speedup_x"] = run.WallSeconds > 0 ? audioSeconds / run.WallSeconds : 0;
    state.counters["peak_MB"] = run.PeakMb;
    if (!run.Ok) state.SkipWithError("kvx failed");
}

void PlayFast(benchmark::State& state, const char* profile, int rate, int format)
{
    const std::string file = SineFile(rate, format, 60);
    std::vector<std::string> args = {"play", file, "--fast"};
    if (profile != nullptr) args.insert(args.end(), {"--device", std::string(KVX_PROFILE_DIR) + "/" + profile});
    for (auto _ : state) Report(state, RunKvx(args), 60);
}

void BM_PlayFastUac1_48k16(benchmark::State& state) { PlayFast(state, nullptr, 48000, SF_FORMAT_PCM_16); }
void BM_PlayFastUac2_48k16(benchmark::State& state) { PlayFast(state, "uac2-headset.json", 48000, SF_FORMAT_PCM_16); }
void BM_PlayFastUac2_96k24(benchmark::State& state) { PlayFast(state, "uac2-headset.json", 96000, SF_FORMAT_PCM_24); }

void BM_RecordFastHour(benchmark::State& state)
{
    const std::string file = (Folder() / "hour.flac").string();
    for (auto _ : state) Report(state, RunKvx({"record", file, "--seconds", "3600", "--fast"}), 3600);
}

BENCHMARK(BM_PlayFastUac1_48k16)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_PlayFastUac2_48k16)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_PlayFastUac2_96k24)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_RecordFastHour)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(Folder());
    return 0;
}
