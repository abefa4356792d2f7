// FIR filtering throughput. Single-rate: samples/s on 512-sample calls (and 511-sample calls in
// direct form) beside an FFTW overlap-save filter and a plain one-output-at-a-time loop.
// Multi-rate: output samples/s at the system's rate stages beside libsoxr and a naive
// zero-stuff-filter-decimate loop. One-sample: ns per sample beside a plain loop on the same
// doubled delay line. A closing table gives the ratios.
#include <benchmark/benchmark.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "primitives/Primitives.h"
#include "primitives/filter/FirState.h"

#ifdef KVX_BENCH_FFTW
#include <fftw3.h>
#endif
#ifdef KVX_BENCH_SOXR
#include <soxr.h>
#endif

namespace {

std::vector<float> Signal(size_t n, float f = 0.37f) {
    std::vector<float> x(n);
    for (size_t i = 0; i < n; ++i) x[i] = std::sin(f * static_cast<float>(i)) + 0.25f * static_cast<float>(i % 7);
    return x;
}

std::vector<float> Taps(int64_t n) {
    std::vector<float> h(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; ++i) {
        h[static_cast<size_t>(i)] = 0.5f / static_cast<float>(n) * std::cos(0.01f * static_cast<float>(i));
    }
    return h;
}

constexpr int64_t CALL = 512;
// Input cycled through, so that calls see different data without leaving the caches.
constexpr size_t INPUT = 16 * 1024;

// ---- single rate ------------------------------------------------------------------------------

void RunOurs(benchmark::State& state, int64_t taps, int64_t call) {
    const std::vector<float> h = Taps(taps);
    FirState* fir = nullptr;
    CreateFirState(&fir, h.data(), static_cast<int32_t>(taps), nullptr);
    const std::vector<float> x = Signal(INPUT);
    std::vector<float> y(static_cast<size_t>(call));
    size_t at = 0;
    for (auto _ : state) {
        FilterFir(x.data() + at, y.data(), static_cast<int32_t>(call), fir);
        benchmark::DoNotOptimize(y.data());
        at = at + 2 * static_cast<size_t>(call) > INPUT ? 0 : at + static_cast<size_t>(call);
    }
    state.SetItemsProcessed(state.iterations() * call);
    DestroyFirState(fir);
}

void OursFir(benchmark::State& state) { RunOurs(state, state.range(0), CALL); }
void OursFirDirect511(benchmark::State& state) { RunOurs(state, state.range(0), CALL - 1); }

// One output at a time over all taps: the loop a caller would write without the library.
void PlainFir(benchmark::State& state) {
    const int64_t taps = state.range(0);
    const std::vector<float> h = Taps(taps);
    const std::vector<float> x = Signal(INPUT + static_cast<size_t>(taps));
    std::vector<float> y(CALL);
    size_t at = 0;
    for (auto _ : state) {
        const float* in = x.data() + at + taps - 1;
        for (int64_t i = 0; i < CALL; ++i) {
            float sum = 0.0f;
            for (int64_t m = 0; m < taps; ++m) sum += h[static_cast<size_t>(m)] * in[i - m];
            y[static_cast<size_t>(i)] = sum;
        }
        benchmark::DoNotOptimize(y.data());
        at = at + 2 * CALL > INPUT ? 0 : at + CALL;
    }
    state.SetItemsProcessed(state.iterations() * CALL);
}

[[maybe_unused]] int64_t Pow2AtLeast(int64_t n) {
    int64_t p = 1;
    while (p < n) p *= 2;
    return p;
}

#ifdef KVX_BENCH_FFTW
// Overlap-save with FFTW at transform length F: the taps spectrum precomputed (scaled by 1/F),
// one r2c and one c2r per 512-sample call (F >= taps + 511 keeps every call one block).
void FftwOverlapSave(benchmark::State& state, int64_t taps, int64_t F) {
    const std::vector<float> h = Taps(taps);
    const int64_t H = taps - 1;
    float* block = fftwf_alloc_real(static_cast<size_t>(F));
    fftwf_complex* spectrum = fftwf_alloc_complex(static_cast<size_t>(F / 2 + 1));
    fftwf_complex* tapsSpectrum = fftwf_alloc_complex(static_cast<size_t>(F / 2 + 1));
    fftwf_plan forward = fftwf_plan_dft_r2c_1d(static_cast<int>(F), block, spectrum, FFTW_MEASURE);
    fftwf_plan inverse = fftwf_plan_dft_c2r_1d(static_cast<int>(F), spectrum, block, FFTW_MEASURE);
    for (int64_t i = 0; i < F; ++i) block[i] = i < taps ? h[static_cast<size_t>(i)] / static_cast<float>(F) : 0.0f;
    fftwf_execute(forward);
    for (int64_t k = 0; k <= F / 2; ++k) {
        tapsSpectrum[k][0] = spectrum[k][0];
        tapsSpectrum[k][1] = spectrum[k][1];
    }
    std::vector<float> history(static_cast<size_t>(H), 0.0f);
    const std::vector<float> x = Signal(INPUT);
    std::vector<float> y(CALL);
    size_t at = 0;
    for (auto _ : state) {
        std::copy(history.begin(), history.end(), block);
        std::copy(x.data() + at, x.data() + at + CALL, block + H);
        std::fill(block + H + CALL, block + F, 0.0f);
        std::copy(block + CALL, block + CALL + H, history.begin());
        fftwf_execute(forward);
        for (int64_t k = 0; k <= F / 2; ++k) {
            const float re = spectrum[k][0] * tapsSpectrum[k][0] - spectrum[k][1] * tapsSpectrum[k][1];
            const float im = spectrum[k][0] * tapsSpectrum[k][1] + spectrum[k][1] * tapsSpectrum[k][0];
            spectrum[k][0] = re;
            spectrum[k][1] = im;
        }
        fftwf_execute(inverse);
        std::copy(block + H, block + H + CALL, y.begin());
        benchmark::DoNotOptimize(y.data());
        at = at + 2 * CALL > INPUT ? 0 : at + CALL;
    }
    state.SetItemsProcessed(state.iterations() * CALL);
    fftwf_destroy_plan(forward);
    fftwf_destroy_plan(inverse);
    fftwf_free(block);
    fftwf_free(spectrum);
    fftwf_free(tapsSpectrum);
}

// At the transform length our state uses (taps without FFT: the shortest length).
void FftwStateLength(benchmark::State& state) {
    const int64_t taps = state.range(0);
    const int64_t F = taps >= FirFftThresholdTaps ? int64_t{1} << FirFftOrder(static_cast<int32_t>(taps))
                                                   : Pow2AtLeast(taps + CALL - 1);
    FftwOverlapSave(state, taps, F);
}
void FftwShortestLength(benchmark::State& state) {
    FftwOverlapSave(state, state.range(0), Pow2AtLeast(state.range(0) + CALL - 1));
}
#endif

// ---- multi-rate -------------------------------------------------------------------------------

void OursMultiRate(benchmark::State& state) {
    const auto taps = static_cast<int32_t>(state.range(0));
    const auto up = static_cast<int32_t>(state.range(1));
    const auto down = static_cast<int32_t>(state.range(2));
    const std::vector<float> h = Taps(taps);
    int32_t size = 0;
    GetMultiRateFirStateSize(taps, up, down, &size);
    std::vector<uint8_t> buffer(static_cast<size_t>(size));
    MultiRateFirState* fir = nullptr;
    InitMultiRateFirState(&fir, h.data(), taps, up, 0, down, 0, nullptr, buffer.data());
    const int32_t iters = static_cast<int32_t>(CALL / down);
    const std::vector<float> x = Signal(INPUT);
    std::vector<float> y(static_cast<size_t>(iters) * up);
    size_t at = 0;
    for (auto _ : state) {
        FilterFir(x.data() + at, y.data(), iters, fir);
        benchmark::DoNotOptimize(y.data());
        at = at + 2 * CALL > INPUT ? 0 : at + CALL;
    }
    state.SetItemsProcessed(state.iterations() * iters * up);
}

// Zero-stuff, filter every raised-rate sample, keep every down-th.
void NaiveMultiRate(benchmark::State& state) {
    const int64_t taps = state.range(0), up = state.range(1), down = state.range(2);
    const std::vector<float> h = Taps(taps);
    const int64_t raised = CALL * up;
    std::vector<float> u(static_cast<size_t>(raised + taps), 0.0f), v(static_cast<size_t>(raised));
    const std::vector<float> x = Signal(INPUT);
    std::vector<float> y(static_cast<size_t>(raised / down));
    size_t at = 0;
    for (auto _ : state) {
        // Keep the last taps - 1 raised-rate samples as history.
        std::copy(u.end() - (taps - 1) - 1, u.end() - 1, u.begin());
        float* fresh = u.data() + taps - 1;
        std::fill(fresh, fresh + raised, 0.0f);
        for (int64_t s = 0; s < CALL; ++s) fresh[s * up] = x[at + static_cast<size_t>(s)];
        for (int64_t t = 0; t < raised; ++t) {
            float sum = 0.0f;
            for (int64_t k = 0; k < taps; ++k) sum += h[static_cast<size_t>(k)] * fresh[t - k];
            v[static_cast<size_t>(t)] = sum;
        }
        for (int64_t i = 0; i < raised / down; ++i) y[static_cast<size_t>(i)] = v[static_cast<size_t>(i * down)];
        benchmark::DoNotOptimize(y.data());
        at = at + 2 * CALL > INPUT ? 0 : at + CALL;
    }
    state.SetItemsProcessed(state.iterations() * (raised / down));
}

#ifdef KVX_BENCH_SOXR
void SoxrMultiRate(benchmark::State& state) {
    const int64_t up = state.range(1), down = state.range(2);
    soxr_error_t error = nullptr;
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_LQ, 0);
    soxr_t soxr = soxr_create(48000.0 * static_cast<double>(down), 48000.0 * static_cast<double>(up), 1, &error,
                              &io, &quality, nullptr);
    const std::vector<float> x = Signal(INPUT);
    std::vector<float> y(static_cast<size_t>(CALL * up / down + 64));
    size_t at = 0;
    int64_t produced = 0;
    for (auto _ : state) {
        size_t inDone = 0, outDone = 0;
        soxr_process(soxr, x.data() + at, CALL, &inDone, y.data(), y.size(), &outDone);
        produced += static_cast<int64_t>(outDone);
        benchmark::DoNotOptimize(y.data());
        at = at + 2 * CALL > INPUT ? 0 : at + CALL;
    }
    state.SetItemsProcessed(produced);
    soxr_delete(soxr);
}
#endif

// ---- one sample -------------------------------------------------------------------------------

void OursOneSample(benchmark::State& state) {
    const auto taps = static_cast<int32_t>(state.range(0));
    const std::vector<float> h = Taps(taps);
    std::vector<float> line(2 * static_cast<size_t>(taps), 0.0f);
    const std::vector<float> x = Signal(INPUT);
    int32_t index = 0;
    size_t at = 0;
    float y = 0.0f;
    for (auto _ : state) {
        FilterFirOneSample(x[at], &y, h.data(), taps, line.data(), &index);
        benchmark::DoNotOptimize(y);
        at = (at + 1) & (INPUT - 1);
    }
    state.SetItemsProcessed(state.iterations());
}

// The same doubled delay line, summed in float one product after another.
void PlainOneSample(benchmark::State& state) {
    const int32_t taps = static_cast<int32_t>(state.range(0));
    const std::vector<float> h = Taps(taps);
    std::vector<float> line(2 * static_cast<size_t>(taps), 0.0f);
    const std::vector<float> x = Signal(INPUT);
    int32_t index = 0;
    size_t at = 0;
    for (auto _ : state) {
        line[static_cast<size_t>(index)] = x[at];
        line[static_cast<size_t>(index + taps)] = x[at];
        index = index + 1 >= taps ? 0 : index + 1;
        const float* d = line.data() + index;
        float sum = 0.0f;
        for (int32_t k = 0; k < taps; ++k) sum += h[static_cast<size_t>(taps - 1 - k)] * d[k];
        benchmark::DoNotOptimize(sum);
        at = (at + 1) & (INPUT - 1);
    }
    state.SetItemsProcessed(state.iterations());
}

// ---- report -----------------------------------------------------------------------------------

// Keeps items/s of every run (the best over repetitions) and prints the ratio tables.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
            const auto it = run.counters.find("items_per_second");
            if (it == run.counters.end()) continue;
            const double rate = it->second.value;
            auto& best = m_rate[run.benchmark_name()];
            if (rate > best) best = rate;
        }
    }

    void Print() const {
        std::printf("\nFIR, 512-sample calls, Msamples/s\n%6s %9s %9s %9s %9s %9s %7s %7s %7s\n", "taps", "ours",
                    "511 dir", "plain", "fftwState", "fftwShort", "/fftwS", "/fftwSh", "/plain");
        for (int64_t taps : {63, 256, 1023, 1024, 4096}) {
            const double ours = Get("OursFir", {taps});
            const double direct = Get("OursFirDirect511", {taps});
            const double plain = Get("PlainFir", {taps});
            const double state = Get("FftwStateLength", {taps});
            const double shortest = Get("FftwShortestLength", {taps});
            std::printf("%6lld %9.2f %9.2f %9.2f %9.2f %9.2f %7.2f %7.2f %7.2f\n", static_cast<long long>(taps),
                        ours / 1e6, direct / 1e6, plain / 1e6, state / 1e6, shortest / 1e6, Ratio(ours, state),
                        Ratio(ours, shortest), Ratio(ours, plain));
            if (direct > 0) std::printf("%6s direct form 511-sample calls / plain: %.2f\n", "", Ratio(direct, plain));
        }
        std::printf("\nMulti-rate, 512 input samples per call, Moutput samples/s\n%14s %9s %9s %9s %7s %7s\n",
                    "taps/up/down", "ours", "soxr", "naive", "/soxr", "/naive");
        for (auto r : {std::vector<int64_t>{66, 2, 1}, {66, 1, 2}, {132, 4, 1}, {132, 1, 4}}) {
            const double ours = Get("OursMultiRate", r);
            const double soxr = Get("SoxrMultiRate", r);
            const double naive = Get("NaiveMultiRate", r);
            char name[32];
            std::snprintf(name, sizeof(name), "%lld/%lld/%lld", static_cast<long long>(r[0]),
                          static_cast<long long>(r[1]), static_cast<long long>(r[2]));
            std::printf("%14s %9.2f %9.2f %9.2f %7.2f %7.2f\n", name, ours / 1e6, soxr / 1e6, naive / 1e6,
                        Ratio(ours, soxr), Ratio(ours, naive));
        }
        std::printf("\nOne-sample FIR, ns per sample\n%6s %9s %9s %7s\n", "taps", "ours", "plain", "ratio");
        for (int64_t taps : {20, 24, 256}) {
            const double ours = Get("OursOneSample", {taps});
            const double plain = Get("PlainOneSample", {taps});
            std::printf("%6lld %9.2f %9.2f %7.2f\n", static_cast<long long>(taps), ours > 0 ? 1e9 / ours : 0.0,
                        plain > 0 ? 1e9 / plain : 0.0, Ratio(plain, ours));
        }
    }

private:
    double Get(const char* name, const std::vector<int64_t>& args) const {
        std::string key = name;
        for (int64_t a : args) {
            char part[24];
            std::snprintf(part, sizeof(part), "/%lld", static_cast<long long>(a));
            key += part;
        }
        const auto it = m_rate.find(key);
        return it == m_rate.end() ? 0.0 : it->second;
    }
    static double Ratio(double a, double b) { return a > 0 && b > 0 ? a / b : 0.0; }

    std::map<std::string, double> m_rate;
};

void FirTaps(benchmark::internal::Benchmark* b) {
    for (int64_t taps : {63, 256, 1023, 1024, 4096}) b->Arg(taps);
}

void RateStages(benchmark::internal::Benchmark* b) {
    b->Args({66, 2, 1})->Args({66, 1, 2})->Args({132, 4, 1})->Args({132, 1, 4});
}

}  // namespace

BENCHMARK(OursFir)->Apply(FirTaps);
BENCHMARK(OursFirDirect511)->Arg(1024);
BENCHMARK(PlainFir)->Apply(FirTaps);
#ifdef KVX_BENCH_FFTW
BENCHMARK(FftwStateLength)->Apply(FirTaps);
BENCHMARK(FftwShortestLength)->Apply(FirTaps);
#endif
BENCHMARK(OursMultiRate)->Apply(RateStages);
BENCHMARK(NaiveMultiRate)->Apply(RateStages);
#ifdef KVX_BENCH_SOXR
BENCHMARK(SoxrMultiRate)->Apply(RateStages);
#endif
BENCHMARK(OursOneSample)->Arg(20)->Arg(24)->Arg(256);
BENCHMARK(PlainOneSample)->Arg(20)->Arg(24)->Arg(256);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.Print();
    benchmark::Shutdown();
    return 0;
}
