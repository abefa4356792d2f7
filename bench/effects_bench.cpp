// The software effects as the share of one core that one real-time stream takes ("core%":
// processing time over the audio's duration, in percent), on the blocks the render path hands
// them, and a response switch in microseconds. Where FFTW is installed, it does the same work
// beside ours: an overlap-save of the CTC stage's two 256-tap filters (FFTW_MEASURE plans), and
// the 48 real transforms of 1,024 points of a response load. A summary after the report sets
// every figure beside its goal. `effects_bench --plots DIR` writes SVG plots instead.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "dsp/SpatialProcessor8.h"
#include "globaltopo/common/JQZ/headphonefir.h"
#include "platform/nt/Irql.h"
#include "platform/nt/Machine.h"
#include "platform/nt/Pool.h"

#ifdef KVX_BENCH_FFTW
#include <fftw3.h>
#endif

// The headphone engine's lines (effects_engine_bench.cpp).
void PrintHeadphoneEngineSummary(const std::function<double(const std::string&)>& get);

namespace {

constexpr int32_t CHUNK = 512;
constexpr double CTC_RATE = 44100.0;

std::vector<std::vector<float>> Noise(int channels, size_t frames, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-0.3f, 0.3f);
    std::vector<std::vector<float>> data(static_cast<size_t>(channels), std::vector<float>(frames));
    for (auto& channel : data) {
        for (float& x : channel) x = u(rng);
    }
    return data;
}

// Percent of one core for `frames` frames per iteration at `rate`.
benchmark::Counter CoreShare(benchmark::State& state, int64_t frames, double rate)
{
    return benchmark::Counter(static_cast<double>(state.iterations()) * static_cast<double>(frames) / (100.0 * rate),
                              benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// 8 channels in, 2 out, in place on 512-frame chunks of noise.
void BM_SpatialProcessor8(benchmark::State& state)
{
    const auto rate = static_cast<int32_t>(state.range(0));
    void* memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(SpatialProcessor8), MakePoolTag("DoHP"));
    std::memset(memory, 0, sizeof(SpatialProcessor8));
    auto* processor = new (memory) SpatialProcessor8;
    processor->Init();
    processor->SetFormat(rate, 7);
    const auto source = Noise(8, CHUNK * 16, 1);
    auto work = source;
    float* channels[8];
    size_t offset = 0;
    for (auto _ : state) {
        for (int c = 0; c < 8; ++c) {
            channels[c] = work[static_cast<size_t>(c)].data() + offset;
        }
        // The outputs overwrite channels 0 and 1; put the source back so the input stays noise.
        std::memcpy(channels[0], source[0].data() + offset, CHUNK * sizeof(float));
        std::memcpy(channels[1], source[1].data() + offset, CHUNK * sizeof(float));
        processor->Process(channels, channels, CHUNK);
        benchmark::DoNotOptimize(channels[0][0]);
        offset = (offset + CHUNK) % source[0].size();
    }
    state.counters["core%"] = CoreShare(state, CHUNK, rate);
    ExFreePoolWithTag(memory, MakePoolTag("DoHP"));
}
BENCHMARK(BM_SpatialProcessor8)->Arg(48000)->Arg(96000);

HeadphoneFir* NewHeadphoneFir()
{
    void* memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(HeadphoneFir), HEADPHONEFIR_POOL_TAG);
    std::memset(memory, 0, sizeof(HeadphoneFir));
    auto* fir = new (memory) HeadphoneFir;
    fir->Init();
    return fir;
}

void DeleteHeadphoneFir(HeadphoneFir* fir)
{
    fir->Release();
    ExFreePoolWithTag(fir, HEADPHONEFIR_POOL_TAG);
}

// The CTC stage in filter mode (20 degrees) on stereo blocks of 512 at 44.1 kHz, in place.
void BM_ApplyCtc(benchmark::State& state)
{
    HeadphoneFir* fir = NewHeadphoneFir();
    fir->SetCtcAngle(20);
    auto block = Noise(2, CHUNK, 2);
    float* io[2] = {block[0].data(), block[1].data()};
    for (auto _ : state) {
        fir->ApplyCtc(io, 2, io, 2, CHUNK);
        benchmark::DoNotOptimize(block[0][0]);
    }
    state.counters["core%"] = CoreShare(state, CHUNK, CTC_RATE);
    DeleteHeadphoneFir(fir);
}
BENCHMARK(BM_ApplyCtc);

// A response switch to set 3, code 39 (20 head and 28 tail partitions, 48 transforms) as a block
// makes it: at DISPATCH_LEVEL.
void BM_LoadImpulseResponses(benchmark::State& state)
{
    HeadphoneFir* fir = NewHeadphoneFir();
    for (auto _ : state) {
        fir->SelectImpulseResponses(0, 39);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        fir->LoadImpulseResponses();
        KeLowerIrql(old);
    }
    DeleteHeadphoneFir(fir);
}
BENCHMARK(BM_LoadImpulseResponses)->Unit(benchmark::kMicrosecond);

#ifdef KVX_BENCH_FFTW
// The same two 256-tap filters by overlap-save on FFTW: per block and filter a 1,024-point r2c of
// the last 1,024 inputs, a product with the filter's spectrum and a c2r, keeping the last 512
// outputs; with the mid/side sums before and the output combination after, as the stage does.
void BM_FftwCtcOverlapSave(benchmark::State& state)
{
    constexpr int n = 2 * CHUNK;
    const float* d = HeadphoneCtcTable + 3 * 2 * HEADPHONE_CTC_TAPS;  // 20 degrees
    const float* x = d + HEADPHONE_CTC_TAPS;
    float* frame = fftwf_alloc_real(n);
    float* result = fftwf_alloc_real(n);
    fftwf_complex* spectrum = fftwf_alloc_complex(n / 2 + 1);
    fftwf_complex* filters[2] = {fftwf_alloc_complex(n / 2 + 1), fftwf_alloc_complex(n / 2 + 1)};
    fftwf_plan forward = fftwf_plan_dft_r2c_1d(n, frame, spectrum, FFTW_MEASURE);
    fftwf_plan inverse = fftwf_plan_dft_c2r_1d(n, spectrum, result, FFTW_MEASURE);
    for (int f = 0; f < 2; ++f) {
        std::memset(frame, 0, n * sizeof(float));
        for (int k = 0; k < HEADPHONE_CTC_TAPS; ++k) {
            frame[k] = (f == 0 ? d[k] + x[k] : d[k] - x[k]) / static_cast<float>(n);
        }
        fftwf_execute(forward);
        std::memcpy(filters[f], spectrum, (n / 2 + 1) * sizeof(fftwf_complex));
    }
    std::vector<float> history[2] = {std::vector<float>(n, 0.0f), std::vector<float>(n, 0.0f)};
    std::vector<float> filtered[2] = {std::vector<float>(CHUNK), std::vector<float>(CHUNK)};
    auto block = Noise(2, CHUNK, 2);
    for (auto _ : state) {
        for (int i = 0; i < CHUNK; ++i) {
            history[0][CHUNK + i] = block[0][i] + block[1][i];
            history[1][CHUNK + i] = block[0][i] - block[1][i];
        }
        for (int f = 0; f < 2; ++f) {
            std::memcpy(frame, history[f].data(), n * sizeof(float));
            fftwf_execute(forward);
            for (int k = 0; k <= n / 2; ++k) {
                const float re = spectrum[k][0] * filters[f][k][0] - spectrum[k][1] * filters[f][k][1];
                const float im = spectrum[k][0] * filters[f][k][1] + spectrum[k][1] * filters[f][k][0];
                spectrum[k][0] = re;
                spectrum[k][1] = im;
            }
            fftwf_execute(inverse);
            std::memcpy(filtered[f].data(), result + CHUNK, CHUNK * sizeof(float));
            std::memmove(history[f].data(), history[f].data() + CHUNK, CHUNK * sizeof(float));
        }
        for (int i = 0; i < CHUNK; ++i) {
            block[0][i] = 0.5f * (filtered[0][i] + filtered[1][i]);
            block[1][i] = 0.5f * (filtered[0][i] - filtered[1][i]);
        }
        benchmark::DoNotOptimize(block[0][0]);
    }
    state.counters["core%"] = CoreShare(state, CHUNK, CTC_RATE);
    fftwf_destroy_plan(forward);
    fftwf_destroy_plan(inverse);
    fftwf_free(frame);
    fftwf_free(result);
    fftwf_free(spectrum);
    fftwf_free(filters[0]);
    fftwf_free(filters[1]);
}
BENCHMARK(BM_FftwCtcOverlapSave);

// 48 forward real transforms of 1,024 points, as many as a response load makes.
void BM_Fftw48Transforms(benchmark::State& state)
{
    constexpr int n = 2 * CHUNK;
    float* in = fftwf_alloc_real(n);
    fftwf_complex* out = fftwf_alloc_complex(n / 2 + 1);
    fftwf_plan plan = fftwf_plan_dft_r2c_1d(n, in, out, FFTW_MEASURE);
    const auto source = Noise(1, n, 3);
    std::memcpy(in, source[0].data(), n * sizeof(float));
    for (auto _ : state) {
        for (int t = 0; t < 48; ++t) {
            fftwf_execute(plan);
        }
        benchmark::DoNotOptimize(out[0][0]);
    }
    fftwf_destroy_plan(plan);
    fftwf_free(in);
    fftwf_free(out);
}
BENCHMARK(BM_Fftw48Transforms)->Unit(benchmark::kMicrosecond);
#endif

// Keeps the least processor time per iteration of every benchmark (the least disturbed run when
// run with --benchmark_repetitions; the median when only aggregates are reported) for the
// summary. Processor time, not wall time: a stream's share of a core is the time it keeps the
// core busy, and on a shared machine the wall clock also counts the time the thread waited for one.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if ((run.run_type != Run::RT_Iteration && !median) || run.iterations == 0) continue;
            const double seconds = run.cpu_accumulated_time / static_cast<double>(run.iterations);
            const std::string name = run.run_name.str();
            const auto it = m_seconds.find(name);
            if (it == m_seconds.end() || seconds < it->second) m_seconds[name] = seconds;
        }
    }

    void PrintSummary() const
    {
        std::printf("\n%-44s %10s %8s   %-26s %7s %6s\n", "effect", "figure", "goal", "peer", "ratio", "goal");
        Share("SpatialProcessor8 8 -> 2, 48 kHz", "BM_SpatialProcessor8/48000", CHUNK / 48000.0, 0.5);
        Share("SpatialProcessor8 8 -> 2, 96 kHz", "BM_SpatialProcessor8/96000", CHUNK / 96000.0, 1.5);
        Share("ApplyCtc filter mode, stereo 44.1 kHz", "BM_ApplyCtc", CHUNK / CTC_RATE, 0.2, "BM_FftwCtcOverlapSave",
              "FFTW overlap-save", 1.5);
        const double load = Get("BM_LoadImpulseResponses");
        std::printf("%-44s %8.1f us %5.0f us", "LoadImpulseResponses set 3, code 39", load * 1e6, 100.0);
        Peer(load, "BM_Fftw48Transforms", "48 FFTW r2c of 1,024", 2.0);
        PrintHeadphoneEngineSummary([this](const std::string& name) { return Get(name); });
    }

private:
    double Get(const std::string& name) const
    {
        const auto it = m_seconds.find(name);
        return it == m_seconds.end() ? 0.0 : it->second;
    }
    void Share(const char* what, const char* name, double audioSeconds, double goal, const char* peer = nullptr,
               const char* peerName = nullptr, double ratioGoal = 0.0) const
    {
        const double seconds = Get(name);
        std::printf("%-44s %8.3f %% %6.2f %%", what, 100.0 * seconds / audioSeconds, goal);
        if (peer != nullptr) {
            Peer(seconds, peer, peerName, ratioGoal);
        } else {
            std::printf("\n");
        }
    }
    void Peer(double ours, const char* peer, const char* peerName, double ratioGoal) const
    {
        const double theirs = Get(peer);
        if (theirs > 0.0) {
            std::printf("   %-26s %7.2f %6.1f\n", peerName, ours / theirs, ratioGoal);
        } else {
            std::printf("   %-26s %7s %6.1f\n", "(FFTW not installed)", "-", ratioGoal);
        }
    }

    std::map<std::string, double> m_seconds;
};

}  // namespace

int WriteEffectsPlots(const char* dir);

int main(int argc, char** argv)
{
    // The effects take the kernel stand-in's locks: the thread that runs them must be one it knows.
    platform::ClientThreadScope client("effects bench");
    if (argc == 3 && std::strcmp(argv[1], "--plots") == 0) {
        return WriteEffectsPlots(argv[2]);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintSummary();
    benchmark::Shutdown();
    return 0;
}
