// ExponentialInPlace, NaturalLogInPlace and SquareRootInPlace at 512, 4,096 and 1M elements:
// slot 0 and each processor-specific slot (forced before the timed loop), beside glibc's libm
// loops (expf, logf, sqrtf), libmvec's four-lane SSE forms (and its eight-lane AVX2 forms, for
// context), a plain sqrtps loop and, where libsleef-dev was found at configure time, SLEEF's
// four-lane SSE4 forms. A closing table gives, per function and size, every row's ns per element,
// its ratio to every peer and its largest error in ulps over the timed input and a 2^20-point
// sweep of the domain (at 4,096), then the goals at 4,096 elements. Times are CPU time, so that
// a loaded machine disturbs them less.
//
// Every exponential and logarithm row copies the pristine input into its work array and then
// works in place, as the entries do, so all of them carry the same copy. The square root runs in
// place without a copy: repeated roots of positive normal values stay positive normal, and a zero
// stays zero, so every iteration takes the same paths. Run with --benchmark_repetitions=N on a
// busy machine: the fastest repetition counts.
#include <benchmark/benchmark.h>
#include <immintrin.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "primitives/Primitives.h"
#include "primitives/core/CpuDetection.h"

#ifdef KVX_BENCH_SLEEF
#include <sleef.h>
#endif

#ifdef KVX_BENCH_MVEC
extern "C" __m128 _ZGVbN4v_expf(__m128);
extern "C" __m128 _ZGVbN4v_logf(__m128);
extern "C" __m256 _ZGVdN8v_expf(__m256);
extern "C" __m256 _ZGVdN8v_logf(__m256);
#endif

namespace {

enum class Fn { Exp, Ln, Sqrt, SqrtSpecial };
const char* const kFnNames[] = {"exp", "ln", "sqrt", "sqrt-special"};
const int64_t kSizes[] = {512, 4096, 1 << 20};

// 64-byte aligned float storage.
struct Floats {
    explicit Floats(size_t n) : p(static_cast<float*>(std::aligned_alloc(64, (n * 4 + 63) / 64 * 64))), n(n) {}
    ~Floats() { std::free(p); }
    Floats(const Floats&) = delete;
    Floats& operator=(const Floats&) = delete;
    float* p;
    size_t n;
};

// The timed inputs: exp on (-87, 87), ln and sqrt log-uniform over 1e-17 .. 1e17 (the
// logarithm's window of ordinary values reaches 2^+-62, about 4.6e18), and for the square root
// with specials one zero in every block of 16 (at a varying position).
void FillInput(Fn fn, float* x, size_t n)
{
    std::mt19937 rng(1234);
    std::uniform_real_distribution<float> wide(-87.0f, 87.0f);
    std::uniform_real_distribution<float> exponent(-39.0f, 39.0f);
    for (size_t i = 0; i < n; ++i) {
        x[i] = fn == Fn::Exp ? wide(rng) : std::exp(exponent(rng));
    }
    if (fn == Fn::SqrtSpecial) {
        for (size_t b = 0; b + 16 <= n; b += 16) {
            x[b + (b / 16) % 16] = 0.0f;
        }
    }
}

using Body = void (*)(float* w, int32_t n);

struct Impl {
    std::string name;
    Fn fn;
    Body body;
    int32_t slot;  // -1 for a peer
};

// ---- peers ------------------------------------------------------------------------------------

void LibmExp(float* w, int32_t n)
{
    for (int32_t i = 0; i < n; ++i) {
        w[i] = expf(w[i]);
    }
}
void LibmLog(float* w, int32_t n)
{
    for (int32_t i = 0; i < n; ++i) {
        w[i] = logf(w[i]);
    }
}
void LibmSqrt(float* w, int32_t n)
{
    for (int32_t i = 0; i < n; ++i) {
        w[i] = sqrtf(w[i]);
    }
}

// Four lanes at a time, the last one to three through a padded vector.
template <__m128 (*F)(__m128)>
void FourLanes(float* w, int32_t n)
{
    int32_t i = 0;
    for (; i + 4 <= n; i += 4) {
        _mm_storeu_ps(w + i, F(_mm_loadu_ps(w + i)));
    }
    if (i < n) {
        alignas(16) float t[4] = {1.0f, 1.0f, 1.0f, 1.0f};
        std::memcpy(t, w + i, static_cast<size_t>(n - i) * 4);
        _mm_store_ps(t, F(_mm_load_ps(t)));
        std::memcpy(w + i, t, static_cast<size_t>(n - i) * 4);
    }
}

__m128 Sqrtps(__m128 v)
{
    return _mm_sqrt_ps(v);
}

#ifdef KVX_BENCH_MVEC
__attribute__((target("avx2"))) void EightLanes(float* w, int32_t n, __m256 (*f)(__m256))
{
    int32_t i = 0;
    for (; i + 8 <= n; i += 8) {
        _mm256_storeu_ps(w + i, f(_mm256_loadu_ps(w + i)));
    }
    for (; i < n; ++i) {
        alignas(32) float t[8] = {w[i], 1, 1, 1, 1, 1, 1, 1};
        _mm256_store_ps(t, f(_mm256_load_ps(t)));
        w[i] = t[0];
    }
}
void MvecExp8(float* w, int32_t n)
{
    EightLanes(w, n, _ZGVdN8v_expf);
}
void MvecLog8(float* w, int32_t n)
{
    EightLanes(w, n, _ZGVdN8v_logf);
}
#endif

#ifdef KVX_BENCH_SLEEF
__m128 SleefExp(__m128 v)
{
    return Sleef_expf4_u10sse4(v);
}
__m128 SleefLog(__m128 v)
{
    return Sleef_logf4_u35sse4(v);
}
__m128 SleefSqrt(__m128 v)
{
    return Sleef_sqrtf4_u05sse4(v);
}
#endif

const CpuTypeCode kSlotCodes[] = {CpuTypeNone, CpuTypeCode20, CpuTypeSsse3, CpuTypeSse41};

std::vector<Impl> Implementations()
{
    std::vector<Impl> v;
    for (int32_t slot = 0; slot < 4; ++slot) {
        const std::string s = "slot" + std::to_string(slot);
        v.push_back({s, Fn::Exp, [](float* w, int32_t n) { ExponentialInPlace(w, n); }, slot});
        v.push_back({s, Fn::Ln, [](float* w, int32_t n) { NaturalLogInPlace(w, n); }, slot});
        v.push_back({s, Fn::Sqrt, [](float* w, int32_t n) { SquareRootInPlace(w, n); }, slot});
        v.push_back({s, Fn::SqrtSpecial, [](float* w, int32_t n) { SquareRootInPlace(w, n); }, slot});
    }
    // The copy alone, which every exponential and logarithm row carries.
    v.push_back({"copy", Fn::Exp, [](float*, int32_t) {}, -1});
    v.push_back({"copy", Fn::Ln, [](float*, int32_t) {}, -1});
    v.push_back({"libm", Fn::Exp, LibmExp, -1});
    v.push_back({"libm", Fn::Ln, LibmLog, -1});
    v.push_back({"libm", Fn::Sqrt, LibmSqrt, -1});
    v.push_back({"libm", Fn::SqrtSpecial, LibmSqrt, -1});
    v.push_back({"sqrtps", Fn::Sqrt, FourLanes<Sqrtps>, -1});
    v.push_back({"sqrtps", Fn::SqrtSpecial, FourLanes<Sqrtps>, -1});
#ifdef KVX_BENCH_MVEC
    v.push_back({"mvec4", Fn::Exp, FourLanes<_ZGVbN4v_expf>, -1});
    v.push_back({"mvec4", Fn::Ln, FourLanes<_ZGVbN4v_logf>, -1});
    if (__builtin_cpu_supports("avx2")) {
        v.push_back({"mvec8-avx2", Fn::Exp, MvecExp8, -1});
        v.push_back({"mvec8-avx2", Fn::Ln, MvecLog8, -1});
    }
#endif
#ifdef KVX_BENCH_SLEEF
    v.push_back({"sleef4", Fn::Exp, FourLanes<SleefExp>, -1});
    v.push_back({"sleef4", Fn::Ln, FourLanes<SleefLog>, -1});
    v.push_back({"sleef4", Fn::Sqrt, FourLanes<SleefSqrt>, -1});
    v.push_back({"sleef4", Fn::SqrtSpecial, FourLanes<SleefSqrt>, -1});
#endif
    return v;
}

bool Runnable(int32_t slot)
{
    switch (slot) {
    case 1:
        return ProbeCpuFeatureSse3() != 0;
    case 2:
        return ProbeCpuFeatureSsse3() != 0;
    case 3:
        return ProbeCpuFeatureSse41() != 0;
    default:
        return true;
    }
}

// Runs body on w with the implementation's slot forced, then gives the dispatch index back.
void Apply(const Impl& impl, float* w, int32_t n)
{
    const int32_t saved = DispatchIndex;
    if (impl.slot >= 0) {
        ForceDispatchIndex(kSlotCodes[impl.slot]);
    }
    impl.body(w, n);
    DispatchIndex = saved;
}

void Time(benchmark::State& state, const Impl& impl)
{
    const auto n = static_cast<size_t>(state.range(0));
    Floats input(n), work(n);
    FillInput(impl.fn, input.p, n);
    std::memcpy(work.p, input.p, n * 4);
    const bool copy = impl.fn == Fn::Exp || impl.fn == Fn::Ln;
    const int32_t saved = DispatchIndex;
    if (impl.slot >= 0) {
        ForceDispatchIndex(kSlotCodes[impl.slot]);
    }
    for (auto _ : state) {
        if (copy) {
            std::memcpy(work.p, input.p, n * 4);
        }
        impl.body(work.p, static_cast<int32_t>(n));
        benchmark::DoNotOptimize(work.p);
        benchmark::ClobberMemory();
    }
    DispatchIndex = saved;
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// ---- accuracy --------------------------------------------------------------------------------

double Reference(Fn fn, double x)
{
    return fn == Fn::Exp ? std::exp(x) : (fn == Fn::Ln ? std::log(x) : std::sqrt(x));
}

double UlpError(float result, double reference)
{
    if (std::isinf(reference) || std::isnan(reference)) {
        return static_cast<double>(result) == reference || std::isnan(result) == std::isnan(reference) ? 0.0 : 1e9;
    }
    int e = 0;
    std::frexp(static_cast<float>(reference), &e);
    const double ulp = std::ldexp(1.0, std::max(e - 24, -149));
    return std::fabs(static_cast<double>(result) - reference) / ulp;
}

// The largest error over the timed input of 4,096 elements and a 2^20-point sweep of the
// function's domain (exp on (-87.3, 87.1), ln and sqrt over every positive finite float).
double MaxUlp(const Impl& impl)
{
    std::vector<float> points;
    Floats timed(4096);
    FillInput(impl.fn, timed.p, 4096);
    points.assign(timed.p, timed.p + 4096);
    const uint32_t lo = impl.fn == Fn::Exp ? 0u : 1u;
    for (uint32_t k = 0; k < (1u << 20); ++k) {
        float x;
        if (impl.fn == Fn::Exp) {
            x = -87.3f + 174.4f * static_cast<float>(k) / static_cast<float>(1u << 20);
        } else {
            const uint32_t bits = lo + static_cast<uint32_t>(static_cast<uint64_t>(k) * (0x7F7FFFFFu - lo) >> 20);
            std::memcpy(&x, &bits, 4);
        }
        points.push_back(x);
    }
    Floats w(points.size());
    std::memcpy(w.p, points.data(), points.size() * 4);
    Apply(impl, w.p, static_cast<int32_t>(points.size()));
    double worst = 0.0;
    for (size_t i = 0; i < points.size(); ++i) {
        if (impl.fn == Fn::SqrtSpecial && points[i] == 0.0f) {
            continue;
        }
        worst = std::max(worst, UlpError(w.p[i], Reference(impl.fn, points[i])));
    }
    return worst;
}

// ---- report ----------------------------------------------------------------------------------

// Keeps ns per element of every run (CPU time, the fastest repetition) for the closing table.
class TableReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.iterations == 0) {
                continue;
            }
            const std::string name = run.benchmark_name();
            const auto slash = name.rfind('/');
            const double ns = run.GetAdjustedCPUTime() / std::stod(name.substr(slash + 1));
            const auto it = m_ns.find(name);
            if (it == m_ns.end() || ns < it->second) {
                m_ns[name] = ns;
            }
        }
    }

    double Get(const std::string& name) const
    {
        const auto it = m_ns.find(name);
        return it == m_ns.end() ? 0.0 : it->second;
    }

private:
    std::map<std::string, double> m_ns;
};

std::string RowName(const Impl& impl, int64_t n)
{
    return std::string(kFnNames[static_cast<int>(impl.fn)]) + "/" + impl.name + "/" + std::to_string(n);
}

void PrintTable(const TableReporter& reporter, const std::vector<Impl>& impls)
{
    for (Fn fn : {Fn::Exp, Fn::Ln, Fn::Sqrt, Fn::SqrtSpecial}) {
        std::vector<const Impl*> rows;
        for (const Impl& impl : impls) {
            if (impl.fn == fn && reporter.Get(RowName(impl, 4096)) + reporter.Get(RowName(impl, 512)) > 0) {
                rows.push_back(&impl);
            }
        }
        if (rows.empty()) {
            continue;
        }
        std::printf("\n%s: ns per element, and ratio row/column\n%-12s %8s %8s", kFnNames[static_cast<int>(fn)], "", "n",
                    "ns");
        for (const Impl* peer : rows) {
            std::printf(" %11s", peer->name.c_str());
        }
        std::printf(" %9s\n", "max ulp");
        for (int64_t n : kSizes) {
            for (const Impl* row : rows) {
                const double ns = reporter.Get(RowName(*row, n));
                if (ns == 0) {
                    continue;
                }
                std::printf("%-12s %8lld %8.3f", row->name.c_str(), static_cast<long long>(n), ns);
                for (const Impl* peer : rows) {
                    const double other = reporter.Get(RowName(*peer, n));
                    if (other > 0) {
                        std::printf(" %11.2f", ns / other);
                    } else {
                        std::printf(" %11s", "-");
                    }
                }
                if (n == 4096 && row->name != "copy") {
                    std::printf(" %9.2f\n", MaxUlp(*row));
                } else {
                    std::printf(" %9s\n", "-");
                }
            }
        }
    }
    // The goals at 4,096 elements, for the best slot.
    std::printf("\ngoals at 4096 elements (best slot):\n");
    const auto best = [&](Fn fn) {
        double b = 0;
        for (const Impl& impl : impls) {
            const double ns = reporter.Get(RowName(impl, 4096));
            if (impl.fn == fn && impl.slot > 0 && ns > 0 && (b == 0 || ns < b)) {
                b = ns;
            }
        }
        return b;
    };
    const auto goal = [&](Fn fn, const char* peer, double limit, bool atMost) {
        const double ours = best(fn);
        double theirs = 0;
        for (const Impl& impl : impls) {
            if (impl.fn == fn && impl.name == peer) {
                theirs = reporter.Get(RowName(impl, 4096));
            }
        }
        if (ours == 0 || theirs == 0) {
            return;
        }
        const double ratio = atMost ? ours / theirs : theirs / ours;
        const bool met = atMost ? ratio <= limit : ratio >= limit;
        std::printf("  %-13s %-8s %s %.2f: %.2f %s\n", kFnNames[static_cast<int>(fn)], peer,
                    atMost ? "ours/peer <=" : "peer/ours >=", limit, ratio, met ? "met" : "MISSED");
    };
    for (Fn fn : {Fn::Exp, Fn::Ln}) {
        goal(fn, "mvec4", 1.0, true);
        goal(fn, "sleef4", 1.0, true);
        goal(fn, "libm", 0.4, true);
        goal(fn, "slot0", 3.0, false);
    }
    goal(Fn::Sqrt, "sqrtps", 0.85, true);
    goal(Fn::SqrtSpecial, "sqrtps", 1.5, true);
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    static const std::vector<Impl> impls = Implementations();
    for (const Impl& impl : impls) {
        if (!Runnable(impl.slot)) {
            continue;
        }
        auto* b = benchmark::RegisterBenchmark(
            (std::string(kFnNames[static_cast<int>(impl.fn)]) + "/" + impl.name).c_str(),
            [&impl](benchmark::State& s) { Time(s, impl); });
        for (int64_t n : kSizes) {
            b->Arg(n);
        }
    }
    TableReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    PrintTable(reporter, impls);
    benchmark::Shutdown();
    return 0;
}
