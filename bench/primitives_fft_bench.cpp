// Real FFT forward and inverse and complex FFT forward for N = 64 to 65,536 (and 2^20), and the
// packed-spectrum product, in ns per call, in every dispatch slot (forced). When the comparison
// libraries were found at configure time, they are timed on the same sizes in the same run, and a
// closing table gives the ratios ours/theirs per slot.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "primitives/Primitives.h"
#include "primitives/core/CpuDetection.h"
#include "primitives/fft/FftSlotBodies.h"
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

// The slot a benchmark runs in, forced by processor type code for its duration.
const CpuTypeCode kSlotCodes[4] = {CpuTypeNone, CpuTypeCode20, CpuTypeSsse3, CpuTypeSse41};

class ForcedSlot {
public:
    ForcedSlot(int32_t slot, benchmark::State& state) : m_saved(DispatchIndex) {
        const bool runs = slot == 0 || (slot == 1 && ProbeCpuFeatureSse3() != 0) ||
                          (slot == 2 && ProbeCpuFeatureSsse3() != 0) || (slot == 3 && ProbeCpuFeatureSse41() != 0);
        if (!runs || ForceDispatchIndex(kSlotCodes[slot]) != StatusOk) state.SkipWithError("slot not available");
    }
    ~ForcedSlot() { DispatchIndex = m_saved; }

private:
    int32_t m_saved;
};

using Transform = PrimitiveStatus (*)(const float*, float*, const FftSpec*, uint8_t*);
// Out of place the real transforms are each slot's own bodies by name.
const Transform kForward[4] = {ForwardRealFft, Sse3Variant::ForwardRealFftSse3, Ssse3Variant::ForwardRealFftSsse3,
                               Sse41Variant::ForwardRealFftSse41};
const Transform kInverse[4] = {InverseRealFft, Sse3Variant::InverseRealFftSse3, Ssse3Variant::InverseRealFftSsse3,
                               Sse41Variant::InverseRealFftSse41};

// Ours, out of place so that every call sees the same input; unscaled in both directions, with a
// work buffer of the reported size on every call.
template <int32_t Slot, bool Inverse>
void OursReal(benchmark::State& state) {
    ForcedSlot forced(Slot, state);
    const int64_t n = state.range(0);
    FftSpec* spec = nullptr;
    CreateRealFft(&spec, Order(n), FftScaleNone, 0);
    int32_t workBytes = 0;
    GetFftWorkBufferSize(spec, &workBytes);
    std::vector<uint8_t> work(static_cast<size_t>(workBytes) + 1);
    std::vector<float> src = Signal(static_cast<size_t>(n)), dst(static_cast<size_t>(n));
    if (Inverse) kForward[Slot](src.data(), src.data(), spec, work.data());
    for (auto _ : state) {
        (Inverse ? kInverse : kForward)[Slot](src.data(), dst.data(), spec, work.data());
        benchmark::DoNotOptimize(dst.data());
    }
    DestroyRealFft(spec);
}

template <int32_t Slot>
void OursComplex(benchmark::State& state) {
    ForcedSlot forced(Slot, state);
    const int64_t n = state.range(0);
    FftSpec* spec = nullptr;
    CreateComplexFft(&spec, Order(n), FftScaleNone, 0);
    int32_t specBytes = 0, initBytes = 0, workBytes = 0;
    GetComplexFftSize(Order(n), FftScaleNone, 0, &specBytes, &initBytes, &workBytes);
    std::vector<uint8_t> work(static_cast<size_t>(workBytes) + 1);
    std::vector<float> src = Signal(static_cast<size_t>(2 * n)), dst(static_cast<size_t>(2 * n));
    for (auto _ : state) {
        ForwardComplexFft(src.data(), dst.data(), spec, work.data());
        benchmark::DoNotOptimize(dst.data());
    }
    DestroyComplexFft(spec);
}

template <int32_t Slot>
void OursMultiplyPackedSpectrum(benchmark::State& state) {
    ForcedSlot forced(Slot, state);
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

void FftwComplex(benchmark::State& state) {
    const int64_t n = state.range(0);
    auto* in = fftwf_alloc_complex(static_cast<size_t>(n));
    auto* out = fftwf_alloc_complex(static_cast<size_t>(n));
    fftwf_plan plan = fftwf_plan_dft_1d(static_cast<int>(n), in, out, FFTW_FORWARD, FFTW_MEASURE);
    const std::vector<float> src = Signal(static_cast<size_t>(2 * n));
    for (int64_t i = 0; i < n; ++i) {
        in[i][0] = src[static_cast<size_t>(2 * i)];
        in[i][1] = src[static_cast<size_t>(2 * i + 1)];
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

void KissComplex(benchmark::State& state) {
    const int64_t n = state.range(0);
    kiss_fft_cfg cfg = kiss_fft_alloc(static_cast<int>(n), 0, nullptr, nullptr);
    const std::vector<float> src = Signal(static_cast<size_t>(2 * n));
    std::vector<kiss_fft_cpx> in(static_cast<size_t>(n)), out(static_cast<size_t>(n));
    for (size_t i = 0; i < in.size(); ++i) in[i] = {src[2 * i], src[2 * i + 1]};
    for (auto _ : state) {
        kiss_fft(cfg, in.data(), out.data());
        benchmark::DoNotOptimize(out.data());
    }
    kiss_fft_free(cfg);
}
#endif

const int64_t kLargest = int64_t{1} << 20;

// Keeps ns per call of every run so that the ratios can be printed after the console report.
// Run with --benchmark_repetitions=N on a busy machine.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.iterations == 0 || run.error_occurred) continue;
            // With repetitions the fastest run counts: the least disturbed by the rest of the machine.
            const double ns = run.GetAdjustedRealTime();
            const auto it = m_ns.find(run.benchmark_name());
            if (it == m_ns.end() || ns < it->second) m_ns[run.benchmark_name()] = ns;
        }
    }

    // Per size and transform: ns per call of slots 0 to 3, then each slot's ratio to FFTW and to
    // KissFFT ("-" where a library or slot was not timed).
    void PrintRatios() const {
        std::printf("\n%8s %-8s %9s %9s %9s %9s | %9s %5s %5s %5s %5s | %9s %5s %5s %5s %5s\n", "N", "kind", "slot0",
                    "slot1", "slot2", "slot3", "fftw", "s0/f", "s1/f", "s2/f", "s3/f", "kiss", "s0/k", "s1/k", "s2/k",
                    "s3/k");
        for (int64_t n = 64; n <= kLargest; n *= 2) {
            if (n > 65536 && n < kLargest) continue;
            for (const char* kind : {"Forward", "Inverse", "Complex"}) {
                double ours[4];
                for (int32_t slot = 0; slot < 4; ++slot) ours[slot] = Get(OurName(kind, slot, n));
                std::printf("%8lld %-8s", static_cast<long long>(n), kind);
                for (double v : ours) PrintNs(v);
                for (const char* library : {"Fftw", "Kiss"}) {
                    const double theirs = Get(TheirName(library, kind, n));
                    std::printf(" |");
                    PrintNs(theirs);
                    for (double v : ours) {
                        if (v > 0 && theirs > 0)
                            std::printf(" %5.2f", v / theirs);
                        else
                            std::printf(" %5s", "-");
                    }
                }
                std::printf("\n");
            }
        }
    }

private:
    // Formatted rather than concatenated: some compilers warn falsely on string concatenation at
    // high optimisation levels, which the warnings-as-errors build would refuse.
    static std::string OurName(const char* kind, int32_t slot, int64_t n) {
        char name[96];
        if (std::string(kind) == "Complex")
            std::snprintf(name, sizeof(name), "OursComplex<%d>/%lld", slot, static_cast<long long>(n));
        else
            std::snprintf(name, sizeof(name), "OursReal<%d, %s>/%lld", slot,
                          std::string(kind) == "Forward" ? "false" : "true", static_cast<long long>(n));
        return name;
    }
    static std::string TheirName(const char* library, const char* kind, int64_t n) {
        char name[64];
        std::snprintf(name, sizeof(name), "%s%s/%lld", library, kind, static_cast<long long>(n));
        return name;
    }
    double Get(const std::string& name) const {
        const auto it = m_ns.find(name);
        return it == m_ns.end() ? 0.0 : it->second;
    }
    static void PrintNs(double ns) {
        if (ns > 0)
            std::printf(" %9.1f", ns);
        else
            std::printf(" %9s", "-");
    }

    std::map<std::string, double> m_ns;
};

void Sizes(benchmark::internal::Benchmark* b) {
    for (int64_t n = 64; n <= 65536; n *= 2) b->Arg(n);
    b->Arg(kLargest);
}

}  // namespace

BENCHMARK_TEMPLATE(OursReal, 0, false)->Apply(Sizes);
BENCHMARK_TEMPLATE(OursReal, 1, false)->Apply(Sizes);
BENCHMARK_TEMPLATE(OursReal, 2, false)->Apply(Sizes);
BENCHMARK_TEMPLATE(OursReal, 3, false)->Apply(Sizes);
BENCHMARK_TEMPLATE(OursReal, 0, true)->Apply(Sizes);
BENCHMARK_TEMPLATE(OursReal, 1, true)->Apply(Sizes);
BENCHMARK_TEMPLATE(OursReal, 2, true)->Apply(Sizes);
BENCHMARK_TEMPLATE(OursReal, 3, true)->Apply(Sizes);
BENCHMARK_TEMPLATE(OursComplex, 0)->Apply(Sizes);
BENCHMARK_TEMPLATE(OursComplex, 1)->Apply(Sizes);
BENCHMARK_TEMPLATE(OursComplex, 2)->Apply(Sizes);
BENCHMARK_TEMPLATE(OursComplex, 3)->Apply(Sizes);
#ifdef KVX_BENCH_FFTW
BENCHMARK(FftwForward)->Apply(Sizes);
BENCHMARK(FftwInverse)->Apply(Sizes);
BENCHMARK(FftwComplex)->Apply(Sizes);
#endif
#ifdef KVX_BENCH_KISSFFT
BENCHMARK(KissForward)->Apply(Sizes);
BENCHMARK(KissInverse)->Apply(Sizes);
BENCHMARK(KissComplex)->Apply(Sizes);
#endif
BENCHMARK_TEMPLATE(OursMultiplyPackedSpectrum, 0)->Arg(1024);
BENCHMARK_TEMPLATE(OursMultiplyPackedSpectrum, 1)->Arg(1024);
BENCHMARK_TEMPLATE(OursMultiplyPackedSpectrum, 2)->Arg(1024);
BENCHMARK_TEMPLATE(OursMultiplyPackedSpectrum, 3)->Arg(1024);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
