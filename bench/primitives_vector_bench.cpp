// The per-block vector entries of the render path and the elementary math entries, each timed
// beside a plain loop doing the same arithmetic, at the block sizes the effects use.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "primitives/Primitives.h"

namespace {

struct Data {
    explicit Data(int64_t n) : a(n), b(n), dst(n)
    {
        for (int64_t i = 0; i < n; ++i) {
            a[i] = 0.25f + static_cast<float>(i % 97) * 0.01f;
            b[i] = -1.0f + static_cast<float>(i % 89) * 0.02f;
        }
    }
    std::vector<float> a, b, dst;
    float result = 0.0f;
};

// Times body(data, n) for n = the benchmark's argument, reported in elements per second.
template <typename Body>
void Run(benchmark::State& state, Body body)
{
    Data d(state.range(0));
    const auto n = static_cast<int32_t>(state.range(0));
    for (auto _ : state) {
        body(d, n);
        benchmark::DoNotOptimize(d.result);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

struct Case {
    const char* name;
    void (*body)(Data& d, int32_t n);
};

const Case kCases[] = {
    {"Add", [](Data& d, int32_t n) { Add(d.a.data(), d.b.data(), d.dst.data(), n); }},
    {"AddPlainLoop",
     [](Data& d, int32_t n) {
         for (int32_t i = 0; i < n; ++i) {
             d.dst[i] = d.a[i] + d.b[i];
         }
     }},
    {"MultiplyAccumulateByConstant",
     [](Data& d, int32_t n) { MultiplyAccumulateByConstant(d.a.data(), 1e-3f, d.dst.data(), n); }},
    {"MultiplyAccumulateByConstantPlainLoop",
     [](Data& d, int32_t n) {
         for (int32_t i = 0; i < n; ++i) {
             d.dst[i] = d.a[i] * 1e-3f + d.dst[i];
         }
     }},
    {"AbsoluteInPlace", [](Data& d, int32_t n) { AbsoluteInPlace(d.b.data(), n); }},
    {"AbsolutePlainLoop",
     [](Data& d, int32_t n) {
         for (int32_t i = 0; i < n; ++i) {
             d.b[i] = std::fabs(d.b[i]);
         }
     }},
    {"Maximum", [](Data& d, int32_t n) { Maximum(d.b.data(), n, &d.result); }},
    {"MaximumPlainLoop",
     [](Data& d, int32_t n) {
         float m = d.b[0];
         for (int32_t i = 1; i < n; ++i) {
             m = d.b[i] > m ? d.b[i] : m;
         }
         d.result = m;
     }},
    {"Sum", [](Data& d, int32_t n) { Sum(d.b.data(), n, &d.result, 0); }},
    {"SumPlainLoop",
     [](Data& d, int32_t n) {
         double s = 0.0;
         for (int32_t i = 0; i < n; ++i) {
             s += d.b[i];
         }
         d.result = static_cast<float>(s);
     }},
    {"DotProduct", [](Data& d, int32_t n) { DotProduct(d.a.data(), d.b.data(), n, &d.result); }},
    {"DotProductPlainLoop",
     [](Data& d, int32_t n) {
         float s = 0.0f;
         for (int32_t i = 0; i < n; ++i) {
             s += d.a[i] * d.b[i];
         }
         d.result = s;
     }},
    {"ExponentialInPlace",
     [](Data& d, int32_t n) {
         std::copy(d.b.begin(), d.b.end(), d.dst.begin());
         ExponentialInPlace(d.dst.data(), n);
     }},
    {"ExponentialStdExpLoop",
     [](Data& d, int32_t n) {
         std::copy(d.b.begin(), d.b.end(), d.dst.begin());
         for (int32_t i = 0; i < n; ++i) {
             d.dst[i] = static_cast<float>(std::exp(static_cast<double>(d.dst[i])));
         }
     }},
    {"NaturalLogInPlace",
     [](Data& d, int32_t n) {
         std::copy(d.a.begin(), d.a.end(), d.dst.begin());
         NaturalLogInPlace(d.dst.data(), n);
     }},
};

}  // namespace

int main(int argc, char** argv)
{
    for (const Case& c : kCases) {
        benchmark::RegisterBenchmark(c.name, [&c](benchmark::State& state) { Run(state, c.body); })
            ->Arg(512)
            ->Arg(4096);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
