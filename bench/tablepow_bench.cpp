// A level in 1/65536 dB turned into a linear gain, 10^(dB / 20): the table-driven power against
// the standard library's powf, over levels from -100 dB to +12 dB.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "dsp/TablePow.h"

namespace {

std::vector<float> Exponents()
{
    std::vector<float> exponents;
    for (int centi = -10000; centi <= 1200; centi += 37) {
        exponents.push_back(static_cast<float>(centi) / 100.0f / 20.0f);
    }
    return exponents;
}

void BM_TablePowLevelToGain(benchmark::State& state)
{
    const std::vector<float> exponents = Exponents();
    for (auto _ : state) {
        for (float e : exponents) {
            benchmark::DoNotOptimize(TablePow(10.0f, e));
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(exponents.size()));
}

void BM_PowfLevelToGain(benchmark::State& state)
{
    const std::vector<float> exponents = Exponents();
    for (auto _ : state) {
        for (float e : exponents) {
            benchmark::DoNotOptimize(std::pow(10.0f, e));
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(exponents.size()));
}

}  // namespace

BENCHMARK(BM_TablePowLevelToGain);
BENCHMARK(BM_PowfLevelToGain);

BENCHMARK_MAIN();
