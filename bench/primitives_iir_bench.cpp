// IIR filtering in ns per sample on 512-sample calls, in every dispatch slot the processor runs
// (forced before the state is built, outside the timed loop): biquad cascades of 1, 2, 4 and 8
// sections and arbitrary-order filters of orders 3 and 8, each beside a plain float
// transposed-direct-form loop (one sample at a time, the same arithmetic per sample) and, when
// found at configure time, liquid-dsp's iirfilt on the same coefficients. Up- and down-sampling
// by 2, 3 and 4 of 512-sample blocks per slot. Closing tables give the ratios.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "primitives/Primitives.h"
#include "primitives/core/CpuDetection.h"
#include "primitives/filter/FilterSlotVariants.h"
#include "primitives/filter/IirState.h"

#ifdef KVX_BENCH_LIQUID
#include <liquid/liquid.h>
#endif

namespace {

constexpr int32_t BLOCK = 512;

// Runs the library in one dispatch slot for as long as it lives; a slot the processor lacks
// skips the run.
class SlotScope {
public:
    explicit SlotScope(int64_t slot) : m_saved(DispatchIndex) {
        m_ok = slot == 0 || (slot == 1 && ProbeCpuFeatureSse3() != 0) || (slot == 2 && ProbeCpuFeatureSsse3() != 0) ||
               (slot == 3 && ProbeCpuFeatureSse41() != 0);
        if (m_ok) DispatchIndex = static_cast<int32_t>(slot);
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

std::vector<float> Signal(size_t n) {
    std::vector<float> x(n);
    for (size_t i = 0; i < n; ++i) x[i] = std::sin(0.37f * static_cast<float>(i)) + 0.25f * static_cast<float>(i % 7);
    return x;
}

// K stable sections (b0, b1, b2, 1, a1, a2): poles at radius 0.9 spread in angle.
std::vector<float> Sections(int32_t count) {
    std::vector<float> s;
    for (int32_t k = 0; k < count; ++k) {
        const double angle = 0.3 + 2.5 * k / count;
        s.insert(s.end(), {0.2f, 0.3f, 0.2f, 1.0f, static_cast<float>(-1.8 * std::cos(angle)), 0.81f});
    }
    return s;
}

// b0..bN, a0..aN of order N from cascaded sections (and one first-order section for odd N).
std::vector<float> Arbitrary(int32_t order) {
    std::vector<double> b{1.0}, a{1.0};
    auto multiply = [](std::vector<double>& p, const std::vector<double>& q) {
        std::vector<double> r(p.size() + q.size() - 1, 0.0);
        for (size_t i = 0; i < p.size(); ++i)
            for (size_t j = 0; j < q.size(); ++j) r[i + j] += p[i] * q[j];
        p = r;
    };
    const std::vector<float> s = Sections(order / 2);
    for (int32_t k = 0; k < order / 2; ++k) {
        multiply(b, {s[6 * k], s[6 * k + 1], s[6 * k + 2]});
        multiply(a, {1.0, s[6 * k + 4], s[6 * k + 5]});
    }
    if (order % 2) {
        multiply(b, {0.5, 0.5});
        multiply(a, {1.0, -0.5});
    }
    std::vector<float> taps;
    for (double v : b) taps.push_back(static_cast<float>(v));
    for (double v : a) taps.push_back(static_cast<float>(v));
    return taps;
}

void Report(benchmark::State& state) {
    state.SetItemsProcessed(state.iterations() * BLOCK);
    state.counters["ns/sample"] =
        benchmark::Counter(static_cast<double>(state.iterations() * BLOCK),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void Run(benchmark::State& state, IirState* iir) {
    const std::vector<float> x = Signal(BLOCK);
    std::vector<float> y(BLOCK);
    for (auto _ : state) {
        FilterIir(x.data(), y.data(), BLOCK, iir);
        benchmark::DoNotOptimize(y.data());
    }
    Report(state);
}

// Args: slot, sections. No entry point builds a cascade: each slot's own builder lays it out.
void OursBiquad(benchmark::State& state) {
    const SlotScope scope(state.range(0));
    if (!scope.Ok(state)) return;
    const int32_t count = static_cast<int32_t>(state.range(1));
    using Builder = PrimitiveStatus (*)(IirState**, const float*, int32_t, const float*, uint8_t*);
    const Builder builders[4] = {InitIirBiquadState, Sse3Variant::InitIirBiquadStateSse3,
                                 Ssse3Variant::InitIirBiquadStateSsse3, Sse41Variant::InitIirBiquadStateSse41};
    int32_t size = 0;
    if (DispatchIndex == 0) {
        GetIirBiquadStateSize(count, &size);
    } else {
        GetIirBiquadStateSizeSse(count, &size);
    }
    std::vector<uint8_t> memory(size);
    IirState* iir = nullptr;
    builders[DispatchIndex](&iir, Sections(count).data(), count, nullptr, memory.data());
    Run(state, iir);
}

// Args: slot, order.
void OursOrder(benchmark::State& state) {
    const SlotScope scope(state.range(0));
    if (!scope.Ok(state)) return;
    const int32_t order = static_cast<int32_t>(state.range(1));
    IirState* iir = nullptr;
    CreateIirState(&iir, Arbitrary(order).data(), order, nullptr);
    Run(state, iir);
    DestroyIirState(iir);
}

// The plain loops: one sample at a time through the transposed direct form.
__attribute__((noinline)) void PlainTransposed(const float* x, float* y, int32_t len, const float* b,
                                               const float* a, float* z, int32_t order) {
    for (int32_t i = 0; i < len; ++i) {
        const float in = x[i];
        const float out = b[0] * in + z[0];
        for (int32_t j = 0; j < order; ++j) z[j] = b[j + 1] * in - a[j + 1] * out + z[j + 1];
        y[i] = out;
    }
}

__attribute__((noinline)) void PlainCascade(const float* x, float* y, int32_t len, const float* c, float* z,
                                            int32_t count) {
    for (int32_t i = 0; i < len; ++i) {
        float v = x[i];
        for (int32_t s = 0; s < count; ++s) {
            const float* k = c + 5 * s;
            const float out = k[0] * v + z[2 * s];
            z[2 * s] = k[1] * v - k[3] * out + z[2 * s + 1];
            z[2 * s + 1] = k[2] * v - k[4] * out;
            v = out;
        }
        y[i] = v;
    }
}

void PlainBiquad(benchmark::State& state) {
    const int32_t count = static_cast<int32_t>(state.range(0));
    const std::vector<float> s = Sections(count);
    std::vector<float> c, z(2 * count, 0.0f);
    for (int32_t k = 0; k < count; ++k) c.insert(c.end(), {s[6 * k], s[6 * k + 1], s[6 * k + 2], s[6 * k + 4], s[6 * k + 5]});
    const std::vector<float> x = Signal(BLOCK);
    std::vector<float> y(BLOCK);
    for (auto _ : state) {
        PlainCascade(x.data(), y.data(), BLOCK, c.data(), z.data(), count);
        benchmark::DoNotOptimize(y.data());
    }
    Report(state);
}

void PlainOrder(benchmark::State& state) {
    const int32_t order = static_cast<int32_t>(state.range(0));
    const std::vector<float> taps = Arbitrary(order);
    const std::vector<float> b(taps.begin(), taps.begin() + order + 1), a(taps.begin() + order + 1, taps.end());
    std::vector<float> z(order + 1, 0.0f);
    const std::vector<float> x = Signal(BLOCK);
    std::vector<float> y(BLOCK);
    for (auto _ : state) {
        PlainTransposed(x.data(), y.data(), BLOCK, b.data(), a.data(), z.data(), order);
        benchmark::DoNotOptimize(y.data());
    }
    Report(state);
}

#ifdef KVX_BENCH_LIQUID
void RunLiquid(benchmark::State& state, iirfilt_rrrf q) {
    std::vector<float> x = Signal(BLOCK);
    std::vector<float> y(BLOCK);
    for (auto _ : state) {
        iirfilt_rrrf_execute_block(q, x.data(), BLOCK, y.data());
        benchmark::DoNotOptimize(y.data());
    }
    Report(state);
    iirfilt_rrrf_destroy(q);
}

void LiquidBiquad(benchmark::State& state) {
    const int32_t count = static_cast<int32_t>(state.range(0));
    const std::vector<float> s = Sections(count);
    std::vector<float> B, A;
    for (int32_t k = 0; k < count; ++k) {
        B.insert(B.end(), {s[6 * k], s[6 * k + 1], s[6 * k + 2]});
        A.insert(A.end(), {s[6 * k + 3], s[6 * k + 4], s[6 * k + 5]});
    }
    RunLiquid(state, iirfilt_rrrf_create_sos(B.data(), A.data(), static_cast<unsigned>(count)));
}

void LiquidOrder(benchmark::State& state) {
    const int32_t order = static_cast<int32_t>(state.range(0));
    std::vector<float> taps = Arbitrary(order);
    RunLiquid(state, iirfilt_rrrf_create(taps.data(), static_cast<unsigned>(order + 1), taps.data() + order + 1,
                                         static_cast<unsigned>(order + 1)));
}
#endif

// Args: slot, factor. Up-sampling 512 inputs, down-sampling 512 * factor of them.
void OursUpsample(benchmark::State& state) {
    const SlotScope scope(state.range(0));
    if (!scope.Ok(state)) return;
    const auto factor = static_cast<int32_t>(state.range(1));
    const std::vector<float> x = Signal(BLOCK);
    std::vector<float> y(static_cast<size_t>(BLOCK) * factor);
    int32_t phase = 0, length = 0;
    for (auto _ : state) {
        UpsampleFloat(x.data(), BLOCK, y.data(), &length, factor, &phase);
        benchmark::DoNotOptimize(y.data());
    }
    Report(state);
}

void OursDownsample(benchmark::State& state) {
    const SlotScope scope(state.range(0));
    if (!scope.Ok(state)) return;
    const auto factor = static_cast<int32_t>(state.range(1));
    const std::vector<float> x = Signal(static_cast<size_t>(BLOCK) * factor);
    std::vector<float> y(BLOCK);
    int32_t phase = 0, length = 0;
    for (auto _ : state) {
        DownsampleFloat(x.data(), BLOCK * factor, y.data(), &length, factor, &phase);
        benchmark::DoNotOptimize(y.data());
    }
    Report(state);
}

// Keeps ns per sample of every run (the fastest with repetitions) for the closing table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.iterations == 0) continue;
            const double ns = run.GetAdjustedRealTime() / BLOCK;
            const auto it = m_ns.find(run.benchmark_name());
            if (it == m_ns.end() || ns < it->second) m_ns[run.benchmark_name()] = ns;
        }
    }

    void PrintRatios() const {
        std::printf("\nIIR, ns per sample per slot; time ratios to slot 0 (t1..t3) and of the best slot to the plain "
                    "loop and liquid's iirfilt\n");
        std::printf("%-12s %7s %7s %7s %7s %6s %6s %6s %7s %7s %7s %7s\n", "filter", "slot0", "slot1", "slot2", "slot3",
                    "t1", "t2", "t3", "plain", "liquid", "/plain", "/liq");
        for (const char* kind : {"Biquad", "Order"}) {
            const bool biquad = std::string(kind) == "Biquad";
            for (int64_t n : biquad ? std::vector<int64_t>{1, 2, 4, 8} : std::vector<int64_t>{3, 8}) {
                double ns[4];
                double best = 0;
                for (int64_t k = 0; k < 4; ++k) {
                    ns[k] = Get("Ours", kind, {k, n});
                    if (ns[k] > 0 && (best == 0 || ns[k] < best)) best = ns[k];
                }
                const double plain = Get("Plain", kind, {n});
                const double liquid = Get("Liquid", kind, {n});
                char label[32];
                std::snprintf(label, sizeof(label), "%s %lld", biquad ? "sections" : "order", static_cast<long long>(n));
                std::printf("%-12s %7.2f %7.2f %7.2f %7.2f %6.2f %6.2f %6.2f %7.2f %7.2f %7.2f %7.2f\n", label, ns[0],
                            ns[1], ns[2], ns[3], Ratio(ns[1], ns[0]), Ratio(ns[2], ns[0]), Ratio(ns[3], ns[0]), plain,
                            liquid, Ratio(best, plain), Ratio(best, liquid));
            }
        }
        std::printf("\nUp- and down-sampling, ns per input sample per slot; time ratios to slot 0\n");
        std::printf("%-12s %7s %7s %7s %7s %6s %6s %6s\n", "factor", "slot0", "slot1", "slot2", "slot3", "t1", "t2",
                    "t3");
        for (const char* kind : {"Upsample", "Downsample"}) {
            for (int64_t factor : {2, 3, 4}) {
                double ns[4];
                for (int64_t k = 0; k < 4; ++k) ns[k] = Get("Ours", kind, {k, factor});
                char label[32];
                std::snprintf(label, sizeof(label), "%s %lld", std::string(kind) == "Upsample" ? "up" : "down",
                              static_cast<long long>(factor));
                std::printf("%-12s %7.2f %7.2f %7.2f %7.2f %6.2f %6.2f %6.2f\n", label, ns[0], ns[1], ns[2], ns[3],
                            Ratio(ns[1], ns[0]), Ratio(ns[2], ns[0]), Ratio(ns[3], ns[0]));
            }
        }
    }

private:
    double Get(const char* who, const char* kind, const std::vector<int64_t>& args) const {
        std::string name = std::string(who) + kind;
        for (int64_t a : args) {
            char part[24];
            std::snprintf(part, sizeof(part), "/%lld", static_cast<long long>(a));
            name += part;
        }
        const auto it = m_ns.find(name);
        return it == m_ns.end() ? 0.0 : it->second;
    }
    static double Ratio(double a, double b) { return a > 0 && b > 0 ? a / b : 0.0; }

    std::map<std::string, double> m_ns;
};

void PerSlot(benchmark::internal::Benchmark* b, std::vector<int64_t> values) {
    for (int64_t slot = 0; slot < 4; ++slot) {
        for (int64_t v : values) b->Args({slot, v});
    }
}

}  // namespace

BENCHMARK(OursBiquad)->Apply([](benchmark::internal::Benchmark* b) { PerSlot(b, {1, 2, 4, 8}); });
BENCHMARK(PlainBiquad)->Arg(1)->Arg(2)->Arg(4)->Arg(8);
BENCHMARK(OursOrder)->Apply([](benchmark::internal::Benchmark* b) { PerSlot(b, {3, 8}); });
BENCHMARK(PlainOrder)->Arg(3)->Arg(8);
#ifdef KVX_BENCH_LIQUID
BENCHMARK(LiquidBiquad)->Arg(1)->Arg(2)->Arg(4)->Arg(8);
BENCHMARK(LiquidOrder)->Arg(3)->Arg(8);
#endif
BENCHMARK(OursUpsample)->Apply([](benchmark::internal::Benchmark* b) { PerSlot(b, {2, 3, 4}); });
BENCHMARK(OursDownsample)->Apply([](benchmark::internal::Benchmark* b) { PerSlot(b, {2, 3, 4}); });

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios();
    benchmark::Shutdown();
    return 0;
}
