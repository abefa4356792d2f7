// The peak limiter's Process in ns per sample on 512-frame chunks of a loud sine (the gain
// moves in most blocks), for 2 and 8 channels.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <new>
#include <vector>

#include "dsp/PeakLimiter.h"

namespace {

constexpr int32_t CHUNK = 512;

void BM_PeakLimiterProcess(benchmark::State& state)
{
    const auto channels = static_cast<USHORT>(state.range(0));
    void* memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(PeakLimiter), MakePoolTag("USBS"));
    std::memset(memory, 0, sizeof(PeakLimiter));
    auto* limiter = new (memory) PeakLimiter();
    if (!limiter->AllocateBuffers()) {
        state.SkipWithError("no buffers");
        return;
    }
    limiter->SetMode(0);
    limiter->SetGain(2.8183f);
    limiter->SetThreshold(1.0f);
    WaveFormatRecord format{};
    format.Format.wFormatTag = WAVE_FORMAT_PCM;
    format.Format.nChannels = channels;
    format.Format.nSamplesPerSec = 48000;
    limiter->SetFormat(&format);

    std::vector<std::vector<float>> source(channels, std::vector<float>(CHUNK * 64));
    for (size_t c = 0; c < channels; ++c) {
        for (size_t i = 0; i < source[c].size(); ++i) {
            // The level swells and fades so the target keeps changing.
            source[c][i] = static_cast<float>(std::sin(0.05 * static_cast<double>(i)) *
                                              (0.2 + std::fabs(std::sin(0.0003 * static_cast<double>(i)))));
        }
    }
    // The chunks are limited in place one after another; after a lap the stream is the limited
    // one, still varied in level.
    std::vector<float*> pointers(channels);
    size_t offset = 0;
    for (auto _ : state) {
        for (size_t c = 0; c < channels; ++c) {
            pointers[c] = source[c].data() + offset;
        }
        limiter->Process(pointers.data(), CHUNK);
        benchmark::DoNotOptimize(source[0][offset]);
        offset = (offset + CHUNK) % source[0].size();
    }
    state.counters["ns/sample"] = benchmark::Counter(static_cast<double>(state.iterations()) * CHUNK * channels,
                                                     benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    limiter->FreeBuffers();
    ExFreePoolWithTag(memory, MakePoolTag("USBS"));
}
BENCHMARK(BM_PeakLimiterProcess)->Arg(2)->Arg(8);

}  // namespace

BENCHMARK_MAIN();
