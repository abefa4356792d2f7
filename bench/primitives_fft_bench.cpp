// Real FFT forward and inverse for N = 64 to 65,536 and the packed-spectrum product, in ns per
// call. When the comparison libraries were found at configure time, they are timed on the same
// sizes in the same run, and a closing table gives the ratio ours/theirs.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "primitives/Primitives.h"
#include "primitives/fft/RealFft.h"

#ifdef KVX_BENCH_FFTW
#include <fftw3.h>
#endif
#ifdef KVX_BENCH_KISSFFT
#include <kiss_fftr.h>
#endif

namespace {

std::vector<float> Signal(size_t n) {
    std::vector<float> x(n);
    for (size_t i = 0; i < n; ++i) x[i] = std::sin(0.37f * static_cast<float>(i)) + 0.25f * static_cast<float>(i % 7);
    return x;
}

int32_t Order(int64_t n) {
    int32_t p = 0;
    while ((int64_t{1} << p) < n) ++p;
    return p;
}

// Ours, out of place so that every call sees the same input; unscaled in both directions.
void OursForward(benchmark::State& state) {
    const int64_t n = state.range(0);
    FftSpec* spec = nullptr;
    CreateRealFft(&spec, Order(n), FftScaleNone, 0);
    std::vector<float> src = Signal(static_cast<size_t>(n)), dst(static_cast<size_t>(n));
    for (auto _ : state) {
        ForwardRealFft(src.data(), dst.data(), spec, nullptr);
        benchmark::DoNotOptimize(dst.data());
    }
    DestroyRealFft(spec);
}

void OursInverse(benchmark::State& state) {
    const int64_t n = state.range(0);
    FftSpec* spec = nullptr;
    CreateRealFft(&spec, Order(n), FftScaleNone, 0);
    std::vector<float> src = Signal(static_cast<size_t>(n)), dst(static_cast<size_t>(n));
    ForwardRealFft(src.data(), src.data(), spec, nullptr);
    for (auto _ : state) {
        InverseRealFft(src.data(), dst.data(), spec, nullptr);
        benchmark::DoNotOptimize(dst.data());
    }
    DestroyRealFft(spec);
}

void OursMultiplyPackedSpectrum(benchmark::State& state) {
    const auto len = static_cast<int32_t>(state.range(0));
    std::vector<float> a = Signal(static_cast<size_t>(len)), b = Signal(static_cast<size_t>(len)), dst(a.size());
    for (auto _ : state) {
        MultiplyPackedSpectrum(a.data(), b.data(), dst.data(), len);
        benchmark::DoNotOptimize(dst.data());
    }
}

#ifdef KVX_BENCH_FFTW
void FftwForward(benchmark::State& state) {
    const int64_t n = state.range(0);
    std::vector<float> src = Signal(static_cast<size_t>(n));
    auto* out = fftwf_alloc_complex(static_cast<size_t>(n / 2 + 1));
    auto* in = fftwf_alloc_real(static_cast<size_t>(n));
    fftwf_plan plan = fftwf_plan_dft_r2c_1d(static_cast<int>(n), in, out, FFTW_MEASURE);
    for (int64_t i = 0; i < n; ++i) in[i] = src[static_cast<size_t>(i)];
    for (auto _ : state) {
        fftwf_execute(plan);
        benchmark::DoNotOptimize(out);
    }
    fftwf_destroy_plan(plan);
    fftwf_free(in);
    fftwf_free(out);
}

void FftwInverse(benchmark::State& state) {
    const int64_t n = state.range(0);
    auto* in = fftwf_alloc_complex(static_cast<size_t>(n / 2 + 1));
    auto* out = fftwf_alloc_real(static_cast<size_t>(n));
    // The input is kept: a complex-to-real plan may otherwise overwrite it between calls.
    fftwf_plan plan = fftwf_plan_dft_c2r_1d(static_cast<int>(n), in, out, FFTW_MEASURE | FFTW_PRESERVE_INPUT);
    const std::vector<float> src = Signal(static_cast<size_t>(n + 2));
    for (int64_t i = 0; i <= n / 2; ++i) {
        in[i][0] = src[static_cast<size_t>(2 * i)];
        in[i][1] = (i == 0 || i == n / 2) ? 0.0f : src[static_cast<size_t>(2 * i + 1)];
    }
    for (auto _ : state) {
        fftwf_execute(plan);
        benchmark::DoNotOptimize(out);
    }
    fftwf_destroy_plan(plan);
    fftwf_free(in);
    fftwf_free(out);
}
#endif

#ifdef KVX_BENCH_KISSFFT
void KissForward(benchmark::State& state) {
    const int64_t n = state.range(0);
    kiss_fftr_cfg cfg = kiss_fftr_alloc(static_cast<int>(n), 0, nullptr, nullptr);
    std::vector<float> src = Signal(static_cast<size_t>(n));
    std::vector<kiss_fft_cpx> out(static_cast<size_t>(n / 2 + 1));
    for (auto _ : state) {
        kiss_fftr(cfg, src.data(), out.data());
        benchmark::DoNotOptimize(out.data());
    }
    kiss_fftr_free(cfg);
}

void KissInverse(benchmark::State& state) {
    const int64_t n = state.range(0);
    kiss_fftr_cfg cfg = kiss_fftr_alloc(static_cast<int>(n), 1, nullptr, nullptr);
    const std::vector<float> src = Signal(static_cast<size_t>(n + 2));
    std::vector<kiss_fft_cpx> in(static_cast<size_t>(n / 2 + 1));
    for (size_t i = 0; i < in.size(); ++i) in[i] = {src[2 * i], src[2 * i + 1]};
    std::vector<float> out(static_cast<size_t>(n));
    for (auto _ : state) {
        kiss_fftri(cfg, in.data(), out.data());
        benchmark::DoNotOptimize(out.data());
    }
    kiss_fftr_free(cfg);
}
#endif

// Keeps ns per call of every run so that the ratios can be printed after the console report.
// Run with --benchmark_repetitions=N on a busy machine.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
            // With repetitions the fastest run counts: the least disturbed by the rest of the machine.
            const double ns = run.GetAdjustedRealTime();
            const auto it = m_ns.find(run.benchmark_name());
            if (it == m_ns.end() || ns < it->second) m_ns[run.benchmark_name()] = ns;
        }
    }

    void PrintRatios() const {
        std::printf("\n%8s  %-8s %10s %10s %7s %10s %7s\n", "N", "dir", "ours ns", "fftw ns", "ratio", "kiss ns",
                    "ratio");
        for (int64_t n = 64; n <= 65536; n *= 2) {
            for (const char* dir : {"Forward", "Inverse"}) {
                const double ours = Get(Name("Ours", dir, n));
                const double fftw = Get(Name("Fftw", dir, n));
                const double kiss = Get(Name("Kiss", dir, n));
                std::printf("%8lld  %-8s %10.1f ", static_cast<long long>(n), dir, ours);
                PrintPair(ours, fftw);
                PrintPair(ours, kiss);
                std::printf("\n");
            }
        }
    }

private:
    // Formatted rather than concatenated: some compilers warn falsely on string concatenation at
    // high optimisation levels, which the warnings-as-errors build would refuse.
    static std::string Name(const char* library, const char* dir, int64_t n) {
        char name[64];
        std::snprintf(name, sizeof(name), "%s%s/%lld", library, dir, static_cast<long long>(n));
        return name;
    }
    double Get(const std::string& name) const {
        const auto it = m_ns.find(name);
        return it == m_ns.end() ? 0.0 : it->second;
    }
    static void PrintPair(double ours, double theirs) {
        if (theirs > 0)
            std::printf("%10.1f %7.2f ", theirs, ours / theirs);
        else
            std::printf("%10s %7s ", "-", "-");
    }

    std::map<std::string, double> m_ns;
};

void Sizes(benchmark::internal::Benchmark* b) {
    for (int64_t n = 64; n <= 65536; n *= 2) b->Arg(n);
}

}  // namespace

BENCHMARK(OursForward)->Apply(Sizes);
BENCHMARK(OursInverse)->Apply(Sizes);
#ifdef KVX_BENCH_FFTW
BENCHMARK(FftwForward)->Apply(Sizes);
BENCHMARK(FftwInverse)->Apply(Sizes);
#endif
#ifdef KVX_BENCH_KISSFFT
BENCHMARK(KissForward)->Apply(Sizes);
BENCHMARK(KissInverse)->Apply(Sizes);
#endif
BENCHMARK(OursMultiplyPackedSpectrum)->Arg(1024);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
