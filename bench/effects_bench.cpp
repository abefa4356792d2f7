// The software effects as the share of one core that one real-time stream takes ("core%":
// processing time over the audio's duration, in percent), on the chunk sizes the render path
// hands them.
#include <benchmark/benchmark.h>

#include <cstring>
#include <new>
#include <random>
#include <vector>

#include "dsp/SpatialProcessor8.h"
#include "platform/nt/Pool.h"

namespace {

constexpr int32_t CHUNK = 512;

// The counter that turns the time of `frames` frames at `rate` into percent of a core.
benchmark::Counter CoreShare(benchmark::State& state, int64_t frames, double rate)
{
    return benchmark::Counter(static_cast<double>(state.iterations()) * static_cast<double>(frames) / (100.0 * rate),
                              benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

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

// 8 channels in, 2 out, in place on 512-frame chunks of noise.
void BM_SpatialProcessor8(benchmark::State& state)
{
    const auto rate = static_cast<int32_t>(state.range(0));
    void* memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(SpatialProcessor8), MakePoolTag("DoHP"));
    std::memset(memory, 0, sizeof(SpatialProcessor8));
    auto* processor = new (memory) SpatialProcessor8();
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
BENCHMARK(BM_SpatialProcessor8)->Arg(48000)->Arg(96000)->Arg(44100);

}  // namespace

BENCHMARK_MAIN();
