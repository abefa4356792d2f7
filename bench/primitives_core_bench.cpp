// Conversions in ns per sample at 512, 4096 and 1M samples in every dispatch slot (the second
// argument), each beside a memcpy of the bytes it writes (the memory limit), and RaiseToPower on
// 512 volume levels beside a std::pow loop.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <random>
#include <type_traits>
#include <vector>

#include "primitives/Primitives.h"

namespace {

void SetPerSample(benchmark::State& state, int64_t samples)
{
    // Inverted rate of samples per nanosecond: nanoseconds per sample.
    state.counters["ns_per_sample"] =
        benchmark::Counter(static_cast<double>(samples) * 1e-9,
                           benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// One conversion of state.range(0) samples, timed per call. A packed 24-bit sample is three
// bytes on either side.
// The processor type code that forces each slot.
const CpuTypeCode kSlotCodes[] = {CpuTypeNone, CpuTypeCode20, CpuTypeSsse3, CpuTypeSse41};

// Forces the slot of state.range(1) for the life of the object, outside the timed loop.
class ForcedSlot {
public:
    explicit ForcedSlot(benchmark::State& state) : m_saved(DispatchIndex)
    {
        if (ForceDispatchIndex(kSlotCodes[state.range(1)]) != StatusOk) {
            state.SkipWithError("slot not accepted");
        }
    }
    ~ForcedSlot() { DispatchIndex = m_saved; }
    ForcedSlot(const ForcedSlot&) = delete;
    ForcedSlot& operator=(const ForcedSlot&) = delete;

private:
    int32_t m_saved;
};

template <typename In, typename Out, typename Convert>
void TimeConversion(benchmark::State& state, size_t outElementsPerSample, Convert convert)
{
    ForcedSlot slot(state);
    const int32_t n = static_cast<int32_t>(state.range(0));
    const size_t inElements = static_cast<size_t>(n) * (sizeof(In) == 1 ? 3 : 1);
    std::vector<In> src(inElements);
    std::mt19937 rng(1);
    for (In& v : src) {
        if constexpr (std::is_floating_point_v<In>) {
            v = std::uniform_real_distribution<In>(-1.2f, 1.2f)(rng);
        } else {
            v = static_cast<In>(rng());
        }
    }
    std::vector<Out> dst(static_cast<size_t>(n) * outElementsPerSample);
    for (auto _ : state) {
        benchmark::DoNotOptimize(convert(src.data(), dst.data(), n));
        benchmark::ClobberMemory();
    }
    SetPerSample(state, n);
}

// memcpy of outBytes bytes per sample: the reference each conversion is measured against.
void BM_Memcpy(benchmark::State& state, size_t outBytes)
{
    const size_t n = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> src(n * outBytes, 1), dst(n * outBytes);
    for (auto _ : state) {
        memcpy(dst.data(), src.data(), n * outBytes);
        benchmark::ClobberMemory();
    }
    SetPerSample(state, state.range(0));
}

void BM_FloatToInt16(benchmark::State& state)
{
    TimeConversion<float, int16_t>(state, 1, [](const float* s, int16_t* d, int32_t n) {
        return ConvertFloatToInt16(s, d, n, RoundTowardZero, -15);
    });
}

void BM_FloatToInt16NearestEven(benchmark::State& state)
{
    TimeConversion<float, int16_t>(state, 1, [](const float* s, int16_t* d, int32_t n) {
        return ConvertFloatToInt16(s, d, n, RoundNearestEven, -15);
    });
}

void BM_FloatToInt24(benchmark::State& state)
{
    TimeConversion<float, uint8_t>(
        state, 3, [](const float* s, uint8_t* d, int32_t n) { return ConvertFloatToInt24(s, d, n, -23); });
}

void BM_FloatToInt32(benchmark::State& state)
{
    TimeConversion<float, int32_t>(state, 1, [](const float* s, int32_t* d, int32_t n) {
        return ConvertFloatToInt32(s, d, n, RoundTowardZero, -31);
    });
}

void BM_Int16ToFloat(benchmark::State& state)
{
    TimeConversion<int16_t, float>(
        state, 1, [](const int16_t* s, float* d, int32_t n) { return ConvertInt16ToFloat(s, d, n, 15); });
}

void BM_Int24ToFloat(benchmark::State& state)
{
    TimeConversion<uint8_t, float>(state, 1,
                                   [](const uint8_t* s, float* d, int32_t n) { return ConvertInt24ToFloat(s, d, n); });
}

void BM_Int32ToFloatScaled(benchmark::State& state)
{
    TimeConversion<int32_t, float>(
        state, 1, [](const int32_t* s, float* d, int32_t n) { return ConvertInt32ToFloatScaled(s, d, n, 31); });
}

void BM_Int32ToFloat(benchmark::State& state)
{
    TimeConversion<int32_t, float>(
        state, 1, [](const int32_t* s, float* d, int32_t n) { return ConvertInt32ToFloat(s, d, n); });
}

void Sizes(benchmark::internal::Benchmark* b)
{
    for (int64_t n : {512, 4096, 1 << 20}) {
        b->Arg(n);
    }
}

// Every size in every slot.
void SizesAndSlots(benchmark::internal::Benchmark* b)
{
    b->ArgNames({"n", "slot"});
    for (int64_t slot = 0; slot < 4; ++slot) {
        for (int64_t n : {512, 4096, 1 << 20}) {
            b->Args({n, slot});
        }
    }
}

BENCHMARK(BM_FloatToInt16)->Apply(SizesAndSlots);
BENCHMARK(BM_FloatToInt16NearestEven)->Apply(SizesAndSlots);
BENCHMARK_CAPTURE(BM_Memcpy, int16_bytes, 2)->Apply(Sizes);
BENCHMARK(BM_FloatToInt24)->Apply(SizesAndSlots);
BENCHMARK_CAPTURE(BM_Memcpy, int24_bytes, 3)->Apply(Sizes);
BENCHMARK(BM_FloatToInt32)->Apply(SizesAndSlots);
BENCHMARK(BM_Int16ToFloat)->Apply(SizesAndSlots);
BENCHMARK(BM_Int24ToFloat)->Apply(SizesAndSlots);
BENCHMARK(BM_Int32ToFloatScaled)->Apply(SizesAndSlots);
BENCHMARK(BM_Int32ToFloat)->Apply(SizesAndSlots);
BENCHMARK_CAPTURE(BM_Memcpy, float_bytes, 4)->Apply(Sizes);

// 512 gains from levels in dB / 20 with base 10, as the volume controls compute them.
template <typename Power>
void TimePower(benchmark::State& state, Power power)
{
    std::vector<float> y(512), x(y.size(), 10.0f), dst(y.size());
    for (size_t i = 0; i < y.size(); ++i) {
        y[i] = (-96.0f + 0.21f * static_cast<float>(i)) / 20.0f;
    }
    for (auto _ : state) {
        power(x.data(), y.data(), dst.data(), static_cast<int32_t>(y.size()));
        benchmark::ClobberMemory();
    }
    SetPerSample(state, static_cast<int64_t>(y.size()));
}

void BM_RaiseToPower(benchmark::State& state)
{
    TimePower(state, [](const float* x, const float* y, float* d, int32_t n) {
        benchmark::DoNotOptimize(RaiseToPower(x, y, d, n));
    });
}

void BM_StdPowLoop(benchmark::State& state)
{
    TimePower(state, [](const float* x, const float* y, float* d, int32_t n) {
        for (int32_t i = 0; i < n; ++i) {
            d[i] = std::pow(x[i], y[i]);
        }
    });
}

BENCHMARK(BM_RaiseToPower);
BENCHMARK(BM_StdPowLoop);

}  // namespace

BENCHMARK_MAIN();
