// FIR filtering throughput, every row in each dispatch slot the processor runs (forced before the
// state is built, outside the timed loop). Single-rate: samples/s on 512-sample calls (511 in
// direct form for the long filters) beside a plain one-output-at-a-time loop and, found at
// configure time, an FFTW overlap-save filter and liquid-dsp's firfilt. Multi-rate: output
// samples/s at the system's rate stages beside a naive zero-stuff-filter-decimate loop, libsoxr
// and liquid-dsp's firinterp/firdecim. One-sample: ns per sample beside a plain loop on the same
// doubled delay line. Closing tables give the ratios, each slot against slot 0 and the peers.
#include <benchmark/benchmark.h>

#include <cmath>
#include <complex>
#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "primitives/Primitives.h"
#include "primitives/core/CpuDetection.h"
#include "primitives/filter/FirState.h"

#ifdef KVX_BENCH_FFTW
#include <fftw3.h>
#endif
#ifdef KVX_BENCH_SOXR
#include <soxr.h>
#endif
#ifdef KVX_BENCH_LIQUID
#include <liquid/liquid.h>
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

// Runs the library in one dispatch slot for as long as it lives; false when the processor lacks
// the slot's instructions (the run is skipped).
class SlotScope {
public:
    explicit SlotScope(int64_t slot) : m_saved(DispatchIndex) {
        const bool runs = slot == 0 || (slot == 1 && ProbeCpuFeatureSse3() != 0) ||
                          (slot == 2 && ProbeCpuFeatureSsse3() != 0) || (slot == 3 && ProbeCpuFeatureSse41() != 0);
        m_ok = runs;
        if (runs) DispatchIndex = static_cast<int32_t>(slot);
    }
    ~SlotScope() { DispatchIndex = m_saved; }
    bool Ok(benchmark::State& state) const {
        if (!m_ok) state.SkipWithError("the processor lacks this slot");
        return m_ok;
    }

private:
    int32_t m_saved;
    bool m_ok = false;
};
// Input cycled through, so that calls see different data without leaving the caches.
constexpr size_t INPUT = 16 * 1024;

// ---- single rate ------------------------------------------------------------------------------

void RunOurs(benchmark::State& state, int64_t slot, int64_t taps, int64_t call) {
    const SlotScope scope(slot);
    if (!scope.Ok(state)) return;
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

// Args: slot, taps, call length.
void OursFir(benchmark::State& state) { RunOurs(state, state.range(0), state.range(1), state.range(2)); }

// One output at a time over all taps: the loop a caller would write without the library.
void PlainFir(benchmark::State& state) {
    const int64_t taps = state.range(0);
    const int64_t call = state.range(1);
    const std::vector<float> h = Taps(taps);
    const std::vector<float> x = Signal(INPUT + static_cast<size_t>(taps));
    std::vector<float> y(CALL);
    size_t at = 0;
    for (auto _ : state) {
        const float* in = x.data() + at + taps - 1;
        for (int64_t i = 0; i < call; ++i) {
            float sum = 0.0f;
            for (int64_t m = 0; m < taps; ++m) sum += h[static_cast<size_t>(m)] * in[i - m];
            y[static_cast<size_t>(i)] = sum;
        }
        benchmark::DoNotOptimize(y.data());
        at = at + 2 * CALL > INPUT ? 0 : at + CALL;
    }
    state.SetItemsProcessed(state.iterations() * call);
}

#ifdef KVX_BENCH_LIQUID
// liquid-dsp's firfilt on the same taps and calls.
void LiquidFir(benchmark::State& state) {
    const int64_t taps = state.range(0);
    const int64_t call = state.range(1);
    std::vector<float> h = Taps(taps);
    firfilt_rrrf q = firfilt_rrrf_create(h.data(), static_cast<unsigned>(taps));
    std::vector<float> x = Signal(INPUT);
    std::vector<float> y(CALL);
    size_t at = 0;
    for (auto _ : state) {
        firfilt_rrrf_execute_block(q, x.data() + at, static_cast<unsigned>(call), y.data());
        benchmark::DoNotOptimize(y.data());
        at = at + 2 * CALL > INPUT ? 0 : at + CALL;
    }
    state.SetItemsProcessed(state.iterations() * call);
    firfilt_rrrf_destroy(q);
}
#endif

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

// Args: slot, taps, up, down.
void OursMultiRate(benchmark::State& state) {
    const SlotScope scope(state.range(0));
    if (!scope.Ok(state)) return;
    const auto taps = static_cast<int32_t>(state.range(1));
    const auto up = static_cast<int32_t>(state.range(2));
    const auto down = static_cast<int32_t>(state.range(3));
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

#ifdef KVX_BENCH_LIQUID
// liquid-dsp's interpolator (up > 1) or decimator (down > 1) on the same taps.
void LiquidMultiRate(benchmark::State& state) {
    const int64_t taps = state.range(0), up = state.range(1), down = state.range(2);
    std::vector<float> h = Taps(taps);
    std::vector<float> x = Signal(INPUT);
    std::vector<float> y(static_cast<size_t>(CALL * up));
    firinterp_rrrf interp = up > 1 ? firinterp_rrrf_create(static_cast<unsigned>(up), h.data(),
                                                           static_cast<unsigned>(taps))
                                   : nullptr;
    firdecim_rrrf decim = down > 1 ? firdecim_rrrf_create(static_cast<unsigned>(down), h.data(),
                                                          static_cast<unsigned>(taps))
                                   : nullptr;
    size_t at = 0;
    for (auto _ : state) {
        if (interp != nullptr) {
            firinterp_rrrf_execute_block(interp, x.data() + at, static_cast<unsigned>(CALL), y.data());
        } else {
            firdecim_rrrf_execute_block(decim, x.data() + at, static_cast<unsigned>(CALL / down), y.data());
        }
        benchmark::DoNotOptimize(y.data());
        at = at + 2 * CALL > INPUT ? 0 : at + CALL;
    }
    state.SetItemsProcessed(state.iterations() * (CALL * up / down));
    if (interp != nullptr) firinterp_rrrf_destroy(interp);
    if (decim != nullptr) firdecim_rrrf_destroy(decim);
}
#endif

// ---- one sample -------------------------------------------------------------------------------

// Args: slot, taps.
void OursOneSample(benchmark::State& state) {
    const SlotScope scope(state.range(0));
    if (!scope.Ok(state)) return;
    const auto taps = static_cast<int32_t>(state.range(1));
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
        std::printf("\nFIR, Msamples/s per slot; ratios to slot 0 (s1..s3), to liquid's firfilt (/liq), to FFTW "
                    "overlap-save at the state's length (/fftw), of the best slot\n");
        std::printf("%5s %5s %8s %8s %8s %8s %6s %6s %6s %8s %8s %8s %6s %6s\n", "taps", "call", "slot0", "slot1",
                    "slot2", "slot3", "s1", "s2", "s3", "plain", "liquid", "fftw", "/liq", "/fftw");
        const int64_t rows[][2] = {{5, 512}, {16, 512}, {63, 512}, {256, 511}, {1024, 511},
                                   {256, 512}, {1023, 512}, {1024, 512}, {4096, 512}};
        for (const auto& r : rows) {
            double slot[4];
            double best = 0;
            for (int64_t k = 0; k < 4; ++k) {
                slot[k] = Get("OursFir", {k, r[0], r[1]});
                best = std::max(best, slot[k]);
            }
            const double liquid = Get("LiquidFir", {r[0], r[1]});
            const double fftw = r[1] == CALL ? Get("FftwStateLength", {r[0]}) : 0.0;
            std::printf("%5lld %5lld %8.2f %8.2f %8.2f %8.2f %6.2f %6.2f %6.2f %8.2f %8.2f %8.2f %6.2f %6.2f\n",
                        static_cast<long long>(r[0]), static_cast<long long>(r[1]), slot[0] / 1e6, slot[1] / 1e6,
                        slot[2] / 1e6, slot[3] / 1e6, Ratio(slot[1], slot[0]), Ratio(slot[2], slot[0]),
                        Ratio(slot[3], slot[0]), Get("PlainFir", {r[0], r[1]}) / 1e6, liquid / 1e6, fftw / 1e6,
                        Ratio(best, liquid), Ratio(best, fftw));
        }
        std::printf("\nMulti-rate, 512 input samples per call, Moutput samples/s per slot; ratios of the best slot\n");
        std::printf("%12s %8s %8s %8s %8s %6s %6s %6s %8s %8s %6s %6s\n", "taps/up/dn", "slot0", "slot1", "slot2",
                    "slot3", "s1", "s2", "s3", "soxr", "liquid", "/soxr", "/liq");
        for (auto r : {std::vector<int64_t>{66, 2, 1}, {66, 1, 2}, {132, 4, 1}, {132, 1, 4}}) {
            double slot[4];
            double best = 0;
            for (int64_t k = 0; k < 4; ++k) {
                slot[k] = Get("OursMultiRate", {k, r[0], r[1], r[2]});
                best = std::max(best, slot[k]);
            }
            const double soxr = Get("SoxrMultiRate", r);
            const double liquid = Get("LiquidMultiRate", r);
            char name[32];
            std::snprintf(name, sizeof(name), "%lld/%lld/%lld", static_cast<long long>(r[0]),
                          static_cast<long long>(r[1]), static_cast<long long>(r[2]));
            std::printf("%12s %8.2f %8.2f %8.2f %8.2f %6.2f %6.2f %6.2f %8.2f %8.2f %6.2f %6.2f\n", name,
                        slot[0] / 1e6, slot[1] / 1e6, slot[2] / 1e6, slot[3] / 1e6, Ratio(slot[1], slot[0]),
                        Ratio(slot[2], slot[0]), Ratio(slot[3], slot[0]), soxr / 1e6, liquid / 1e6,
                        Ratio(best, soxr), Ratio(best, liquid));
        }
        std::printf("\nOne-sample FIR, ns per sample per slot; time ratios to slot 0 and to the plain loop\n");
        std::printf("%6s %7s %7s %7s %7s %7s %7s %7s %7s %9s\n", "taps", "slot0", "slot1", "slot2", "slot3", "t1/t0",
                    "t2/t0", "t3/t0", "plain", "best/plain");
        for (int64_t taps : {20, 24, 256}) {
            double ns[4];
            double best = 0;
            for (int64_t k = 0; k < 4; ++k) {
                const double rate = Get("OursOneSample", {k, taps});
                ns[k] = rate > 0 ? 1e9 / rate : 0.0;
                if (k > 0 && ns[k] > 0 && (best == 0 || ns[k] < best)) best = ns[k];
            }
            const double plainRate = Get("PlainOneSample", {taps});
            const double plain = plainRate > 0 ? 1e9 / plainRate : 0.0;
            std::printf("%6lld %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %7.2f %9.2f\n", static_cast<long long>(taps),
                        ns[0], ns[1], ns[2], ns[3], Ratio(ns[1], ns[0]), Ratio(ns[2], ns[0]), Ratio(ns[3], ns[0]), plain,
                        Ratio(best, plain));
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

// The direct-form rows (512-sample calls up to 63 taps, 511 at 256 and 1,024) and the FFT rows
// (512-sample calls from 256 taps).
constexpr int64_t FIR_ROWS[][2] = {{5, 512}, {16, 512}, {63, 512}, {256, 511}, {1024, 511},
                                   {256, 512}, {1023, 512}, {1024, 512}, {4096, 512}};

void FirRows(benchmark::internal::Benchmark* b) {
    for (const auto& r : FIR_ROWS) b->Args({r[0], r[1]});
}

void FirRowsPerSlot(benchmark::internal::Benchmark* b) {
    for (int64_t slot = 0; slot < 4; ++slot) {
        for (const auto& r : FIR_ROWS) b->Args({slot, r[0], r[1]});
    }
}

[[maybe_unused]] void FftRows(benchmark::internal::Benchmark* b) {
    for (int64_t taps : {256, 1023, 1024, 4096}) b->Arg(taps);
}

void RateStages(benchmark::internal::Benchmark* b) {
    b->Args({66, 2, 1})->Args({66, 1, 2})->Args({132, 4, 1})->Args({132, 1, 4});
}

void RateStagesPerSlot(benchmark::internal::Benchmark* b) {
    for (int64_t slot = 0; slot < 4; ++slot) {
        b->Args({slot, 66, 2, 1})->Args({slot, 66, 1, 2})->Args({slot, 132, 4, 1})->Args({slot, 132, 1, 4});
    }
}

void OneSampleTapsPerSlot(benchmark::internal::Benchmark* b) {
    for (int64_t slot = 0; slot < 4; ++slot) {
        for (int64_t taps : {20, 24, 256}) b->Args({slot, taps});
    }
}

}  // namespace

BENCHMARK(OursFir)->Apply(FirRowsPerSlot);
BENCHMARK(PlainFir)->Apply(FirRows);
#ifdef KVX_BENCH_LIQUID
BENCHMARK(LiquidFir)->Apply(FirRows);
#endif
#ifdef KVX_BENCH_FFTW
BENCHMARK(FftwStateLength)->Apply(FftRows);
BENCHMARK(FftwShortestLength)->Apply(FftRows);
#endif
BENCHMARK(OursMultiRate)->Apply(RateStagesPerSlot);
BENCHMARK(NaiveMultiRate)->Apply(RateStages);
#ifdef KVX_BENCH_SOXR
BENCHMARK(SoxrMultiRate)->Apply(RateStages);
#endif
#ifdef KVX_BENCH_LIQUID
BENCHMARK(LiquidMultiRate)->Apply(RateStages);
#endif
BENCHMARK(OursOneSample)->Apply(OneSampleTapsPerSlot);
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
