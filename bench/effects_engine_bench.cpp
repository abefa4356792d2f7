// The headphone engine and the effect entities' chunk processing in effects_bench: the engine's
// share of one core per real-time stream, the whole effect path of an 8-channel 48 kHz chunk for
// each effect, and the worst block (a response switch) in microseconds. Beside them, where the
// libraries are installed: the partitioned convolution on FFTW (FFTW_MEASURE plans, the same
// partitions) and the factor-2 down- and up-conversion on libsoxr (SOXR_LQ, float).
#include <benchmark/benchmark.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "dsp/EffectHooks.h"
#include "dsp/EffectPath.h"
#include "globaltopo/common/JQZ/HeadphoneEngine.h"
#include "globaltopo/common/JQZ/JqzPool.h"
#include "globaltopo/common/JQZ/SRC.h"
#include "globaltopo/common/JQZ/headphoneenginecore.h"
#include "platform/nt/Machine.h"
#include "topology/UsbClockDspEntities.h"

#ifdef KVX_BENCH_FFTW
#include <fftw3.h>
#endif
#ifdef KVX_BENCH_SOXR
#include <soxr.h>
#endif

namespace {

constexpr int32_t CHUNK = 512;

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

benchmark::Counter CoreShare(benchmark::State& state, int64_t frames, double rate)
{
    return benchmark::Counter(static_cast<double>(state.iterations()) * static_cast<double>(frames) / (100.0 * rate),
                              benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

WAVEFORMATEX FloatFormat(int channels, int rate)
{
    WAVEFORMATEX f = {};
    f.wFormatTag = 3;
    f.nChannels = static_cast<WORD>(channels);
    f.nSamplesPerSec = static_cast<DWORD>(rate);
    f.wBitsPerSample = 32;
    f.nBlockAlign = static_cast<WORD>(4 * channels);
    f.nAvgBytesPerSec = f.nBlockAlign * f.nSamplesPerSec;
    return f;
}

// The enabled engine on 512-frame chunks of noise: {channels, rate}.
void BM_HeadphoneEngine(benchmark::State& state)
{
    platform::ClientThreadScope scope("bench");  // the engine takes kernel locks
    const int channels = static_cast<int>(state.range(0));
    const int rate = static_cast<int>(state.range(1));
    HeadphoneEngine* engine = CreateHeadphoneEngine();
    const WAVEFORMATEX f = FloatFormat(channels, rate);
    engine->SetFormat(&f);
    engine->SetEnable(1);
    const auto source = Noise(channels, CHUNK * 16, 3);
    auto work = source;
    size_t offset = 0;
    float* p[8];
    for (auto _ : state) {
        for (int c = 0; c < channels; ++c) p[c] = work[static_cast<size_t>(c)].data() + offset;
        engine->Process(p, CHUNK);
        benchmark::DoNotOptimize(p[0][0]);
        offset = (offset + CHUNK) % source[0].size();
    }
    state.counters["core%"] = CoreShare(state, CHUNK, rate);
    DestroyHeadphoneEngine(engine);
}
BENCHMARK(BM_HeadphoneEngine)->Args({6, 48000})->Args({2, 44100})->Args({2, 96000});

// One 48 kHz block of six channels that switches responses (alternating between two sets): the
// response load, two convolutions with the crossfade, the CTC stage and both resamplers.
void BM_HeadphoneSwitchBlock(benchmark::State& state)
{
    platform::ClientThreadScope scope("bench");  // the engine takes kernel locks
    HeadphoneEngine* engine = CreateHeadphoneEngine();
    const WAVEFORMATEX f = FloatFormat(6, 48000);
    engine->SetFormat(&f);
    engine->SetEnable(1);
    auto work = Noise(6, CHUNK, 4);
    float* p[6];
    for (int c = 0; c < 6; ++c) p[c] = work[static_cast<size_t>(c)].data();
    int flip = 0;
    for (auto _ : state) {
        engine->SetHeadphoneRoom(flip);
        flip ^= 2;
        engine->Process(p, CHUNK);  // one block per chunk at factor 1
        benchmark::DoNotOptimize(p[0][0]);
    }
    DestroyHeadphoneEngine(engine);
}
BENCHMARK(BM_HeadphoneSwitchBlock)->Unit(benchmark::kMicrosecond);

// The partitioned convolution alone: six inputs, set 1 (2 head and 6 tail partitions).
void BM_HeadphoneConvolve(benchmark::State& state)
{
    platform::ClientThreadScope scope("bench");  // the engine takes kernel locks
    auto* core = NewJqzObject<HeadphoneEngineCore>();
    HeadphoneFir& fir = core->Fir();
    auto work = Noise(6, CHUNK, 5);
    std::vector<float> l(CHUNK), r(CHUNK);
    float* in[6];
    for (int c = 0; c < 6; ++c) in[c] = work[static_cast<size_t>(c)].data();
    float* out[2] = {l.data(), r.data()};
    for (auto _ : state) {
        fir.Convolve(out, 2, in, 6, CHUNK, false);
        benchmark::DoNotOptimize(l[0]);
    }
    state.counters["core%"] = CoreShare(state, CHUNK, 44100.0);
    core->~HeadphoneEngineCore();
    FreeJqzBlock(core);
}
BENCHMARK(BM_HeadphoneConvolve);

// The factor-2 resampler of one channel: 1,024 device samples down to 512 and 512 back up.
void BM_SrcDownUp(benchmark::State& state)
{
    platform::ClientThreadScope scope("bench");  // the engine takes kernel locks
    auto* src = NewJqzObject<SRC>(44100, 96000, 1);
    auto in = Noise(1, 1024, 6);
    std::vector<float> half(512), full(1024);
    for (auto _ : state) {
        src->Down(half.data(), in[0].data(), 1024);
        src->Up(full.data(), half.data(), 512);
        benchmark::DoNotOptimize(full[0]);
    }
    state.counters["core%"] = CoreShare(state, 1024, 96000.0);
    DeleteJqzObject(src);
}
BENCHMARK(BM_SrcDownUp);

// A processing-block entity with its path and processor, enabled, as the stream sees it.
class BenchEntity : public UsbDspEntity {
public:
    BenchEntity() : UsbDspEntity(nullptr, 1) {}
    void Enable()
    {
        m_ulProcessingEnable = 1;
        m_ulTransitionState = 1;
    }
};

// ProcessEffect of an 8-channel 16-bit PCM chunk at 48 kHz, enabled: 0 spatial, 1 headphone.
void BM_ProcessEffect(benchmark::State& state)
{
    platform::ClientThreadScope scope("bench");  // the engine takes kernel locks
    const auto kind = state.range(0) == 0 ? DspEffectKind::Spatial : DspEffectKind::Headphone;
    const EffectHooks* hooks = GetEffectHooks();
    auto* entity = new (NonPagedPoolNx, MakePoolTag("Bnch")) BenchEntity();
    static_cast<TopologyNode*>(entity)->AddRef();
    EffectPath path = {};
    path.AllocateWorkSets();
    path.AllocateLimiters(kind == DspEffectKind::Spatial ? 2.8183f : 2.0f);
    WaveFormatRecord format = {};
    format.Format.wFormatTag = WAVE_FORMAT_PCM;
    format.Format.nChannels = 8;
    format.Format.nSamplesPerSec = 48000;
    format.Format.wBitsPerSample = 16;
    format.Format.nBlockAlign = 16;
    format.Format.nAvgBytesPerSec = 48000 * 16;
    entity->SetFormat(&format);
    path.SetFormat(&format);
    PVOID processor;
    if (kind == DspEffectKind::Spatial) {
        SpatialProcessor8* spatial = hooks->CreateSpatialProcessor();
        hooks->SpatialSetFormat(spatial, 48000, 7);
        processor = spatial;
    } else {
        HeadphoneEngine* engine = hooks->CreateHeadphoneEngine();
        const WAVEFORMATEX f = FloatFormat(8, 48000);
        hooks->HeadphoneSetFormat(engine, &f);
        hooks->HeadphoneSetEnable(engine, 1);
        processor = engine;
    }
    entity->Enable();
    auto work = Noise(8, CHUNK, 7);
    float* p[8];
    for (int c = 0; c < 8; ++c) p[c] = work[static_cast<size_t>(c)].data();
    for (auto _ : state) {
        entity->ProcessEffect(&format, p, CHUNK, &path, kind, processor);
        benchmark::DoNotOptimize(p[0][0]);
    }
    state.counters["core%"] = CoreShare(state, CHUNK, 48000.0);
    if (kind == DspEffectKind::Spatial) {
        hooks->DestroySpatialProcessor(static_cast<SpatialProcessor8*>(processor));
    } else {
        hooks->DestroyHeadphoneEngine(static_cast<HeadphoneEngine*>(processor));
    }
    path.Free();
    static_cast<TopologyNode*>(entity)->Release();
}
BENCHMARK(BM_ProcessEffect)->Arg(0)->Arg(1);

#ifdef KVX_BENCH_FFTW
// A uniformly partitioned overlap-save convolver on FFTW with the engine's partitions: five
// loudspeaker lines of two 512-sample head partitions per ear, their sum through six tail
// partitions per ear; five r2c and two c2r transforms of 1,024 points per block.
// a += h x over complex bins, written out so that the compiler vectorises it (the library's
// complex product guards against infinities through a call).
void MultiplyAccumulate(const std::complex<float>* h, const std::complex<float>* x, std::complex<float>* a, int bins)
{
    const float* hf = reinterpret_cast<const float*>(h);
    const float* xf = reinterpret_cast<const float*>(x);
    float* af = reinterpret_cast<float*>(a);
    for (int b = 0; b < bins; ++b) {
        const float hr = hf[2 * b], hi = hf[2 * b + 1], xr = xf[2 * b], xi = xf[2 * b + 1];
        af[2 * b] += hr * xr - hi * xi;
        af[2 * b + 1] += hr * xi + hi * xr;
    }
}

void BM_FftwPartitionedConvolve(benchmark::State& state)
{
    constexpr int n = 1024, bins = n / 2 + 1, lines = 5, heads = 2, tails = 6;
    using C = std::complex<float>;
    float* frame = fftwf_alloc_real(n);
    fftwf_complex* spectrum = fftwf_alloc_complex(bins);
    fftwf_plan forward = fftwf_plan_dft_r2c_1d(n, frame, spectrum, FFTW_MEASURE);
    fftwf_plan inverse = fftwf_plan_dft_c2r_1d(n, spectrum, frame, FFTW_MEASURE);
    std::mt19937 rng(8);
    std::uniform_real_distribution<float> u(-0.01f, 0.01f);
    auto randomSpectra = [&](size_t count) {
        std::vector<C> v(count * bins);
        for (C& c : v) c = C(u(rng), u(rng));
        return v;
    };
    const std::vector<C> headSpectra = randomSpectra(lines * heads * 2), tailSpectra = randomSpectra(tails * 2);
    std::vector<C> headLine(lines * heads * bins), tailLine(tails * bins), acc(2 * bins);
    auto input = Noise(lines, n, 9);
    int k = 0, t = 0;
    for (auto _ : state) {
        // The tail takes the sum of the frames leaving the head window.
        C* tailSlot = &tailLine[static_cast<size_t>(t) * bins];
        for (int b = 0; b < bins; ++b) {
            C s = 0;
            for (int v = 0; v < lines; ++v) s += headLine[(static_cast<size_t>(v) * heads + k) * bins + b];
            tailSlot[b] = s;
        }
        for (int v = 0; v < lines; ++v) {
            std::memcpy(frame, input[static_cast<size_t>(v)].data(), n * sizeof(float));
            fftwf_execute(forward);
            std::memcpy(static_cast<void*>(&headLine[(static_cast<size_t>(v) * heads + k) * bins]), spectrum, bins * sizeof(C));
        }
        std::fill(acc.begin(), acc.end(), C(0));
        for (int e = 0; e < 2; ++e) {
            C* a = &acc[static_cast<size_t>(e) * bins];
            for (int i = 0; i < heads; ++i) {
                const int s = (k + i) % heads;
                for (int v = 0; v < lines; ++v) {
                    const C* h = &headSpectra[((static_cast<size_t>(v) * heads + i) * 2 + e) * bins];
                    const C* x = &headLine[(static_cast<size_t>(v) * heads + s) * bins];
                    MultiplyAccumulate(h, x, a, bins);
                }
            }
            for (int j = 0; j < tails; ++j) {
                const int s = (t + j) % tails;
                const C* h = &tailSpectra[(static_cast<size_t>(j) * 2 + e) * bins];
                const C* x = &tailLine[static_cast<size_t>(s) * bins];
                MultiplyAccumulate(h, x, a, bins);
            }
            std::memcpy(spectrum, a, bins * sizeof(C));
            fftwf_execute(inverse);
            benchmark::DoNotOptimize(frame[n - 1]);
        }
        k = (k + heads - 1) % heads;
        t = (t + tails - 1) % tails;
    }
    fftwf_destroy_plan(forward);
    fftwf_destroy_plan(inverse);
    fftwf_free(frame);
    fftwf_free(spectrum);
}
BENCHMARK(BM_FftwPartitionedConvolve);
#endif

#ifdef KVX_BENCH_SOXR
// libsoxr (SOXR_LQ, float, one channel) doing the same: 1,024 samples down by 2, 512 up by 2.
void BM_SoxrDownUp(benchmark::State& state)
{
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_LQ, 0);
    soxr_error_t error = nullptr;
    soxr_t down = soxr_create(96000, 48000, 1, &error, &io, &quality, nullptr);
    soxr_t up = soxr_create(48000, 96000, 1, &error, &io, &quality, nullptr);
    auto in = Noise(1, 1024, 6);
    std::vector<float> half(600), full(1200);
    for (auto _ : state) {
        size_t done = 0, made = 0;
        soxr_process(down, in[0].data(), 1024, &done, half.data(), half.size(), &made);
        soxr_process(up, half.data(), 512, &done, full.data(), full.size(), &made);
        benchmark::DoNotOptimize(full[0]);
    }
    soxr_delete(down);
    soxr_delete(up);
}
BENCHMARK(BM_SoxrDownUp);
#endif

}  // namespace

bool WriteEffectsLinePlot(const std::string& path, const std::string& title, const std::string& xLabel,
                          const std::string& yLabel, const std::vector<std::pair<std::string, std::vector<double>>>& lines,
                          double xStep);
std::vector<double> EffectsMagnitudeDb(const std::vector<float>& signal, int order);

// The convolution's magnitude from each loudspeaker of a 5.1 stream (an impulse on its channel,
// heads and room tail of the default set) to each ear, one plot per ear.
bool WriteHeadphoneEnginePlots(const std::string& dir)
{
    platform::ClientThreadScope scope("plots");
    constexpr int blocks = 16;
    const char* names[6] = {"front left", "front right", "centre", "LFE", "back left", "back right"};
    std::vector<std::pair<std::string, std::vector<double>>> ears[2];
    for (int speaker = 0; speaker < 6; ++speaker) {
        auto* core = NewJqzObject<HeadphoneEngineCore>();
        if (core == nullptr) return false;
        std::vector<std::vector<float>> in(6, std::vector<float>(CHUNK, 0.0f));
        std::vector<float> out[2] = {std::vector<float>(blocks * CHUNK), std::vector<float>(blocks * CHUNK)};
        for (int b = 0; b < blocks; ++b) {
            for (auto& ch : in) std::fill(ch.begin(), ch.end(), 0.0f);
            if (b == 0) in[static_cast<size_t>(speaker)][0] = 1.0f;
            float* inPtr[6];
            for (int c = 0; c < 6; ++c) inPtr[c] = in[static_cast<size_t>(c)].data();
            float* outPtr[2] = {out[0].data() + b * CHUNK, out[1].data() + b * CHUNK};
            core->Fir().Convolve(outPtr, 2, inPtr, 6, CHUNK, false);
        }
        core->~HeadphoneEngineCore();
        FreeJqzBlock(core);
        for (int e = 0; e < 2; ++e) {
            std::vector<double> db = EffectsMagnitudeDb(out[e], 13);
            db.resize(2048);  // up to 11 kHz
            ears[e].emplace_back(names[speaker], db);
        }
    }
    bool ok = WriteEffectsLinePlot(dir + "engine_magnitudes_left_ear.svg", "Headphone engine: loudspeakers to the left ear",
                                   "Hz", "dB", ears[0], 44100.0 / 8192);
    ok &= WriteEffectsLinePlot(dir + "engine_magnitudes_right_ear.svg", "Headphone engine: loudspeakers to the right ear",
                               "Hz", "dB", ears[1], 44100.0 / 8192);
    return ok;
}

// The engine's lines of the summary, with the fastest time per iteration of each benchmark.
void PrintHeadphoneEngineSummary(const std::function<double(const std::string&)>& get)
{
    auto share = [&](const char* what, const char* name, double audioSeconds, double goal) {
        std::printf("%-44s %8.3f %% %6.2f %%\n", what, 100.0 * get(name) / audioSeconds, goal);
    };
    auto peer = [&](const char* what, double ours, const char* name, const char* peerName, double goal) {
        const double theirs = get(name);
        if (theirs > 0.0) {
            std::printf("%-44s %8.2f us            %-26s %7.2f %6.1f\n", what, ours * 1e6, peerName, ours / theirs, goal);
        } else {
            std::printf("%-44s %8.2f us            %-26s %7s %6.1f\n", what, ours * 1e6, "(not installed)", "-", goal);
        }
    };
    share("HeadphoneEngine 6 channels, 48 kHz", "BM_HeadphoneEngine/6/48000", CHUNK / 48000.0, 1.5);
    share("HeadphoneEngine stereo, 44.1 kHz", "BM_HeadphoneEngine/2/44100", CHUNK / 44100.0, 1.5);
    share("HeadphoneEngine stereo, 96 kHz", "BM_HeadphoneEngine/2/96000", CHUNK / 96000.0, 1.5);
    share("ProcessEffect headphone, 8 ch 48 kHz", "BM_ProcessEffect/1", CHUNK / 48000.0, 2.0);
    share("ProcessEffect spatial, 8 ch 48 kHz", "BM_ProcessEffect/0", CHUNK / 48000.0, 1.0);
    std::printf("%-44s %8.1f us %5.0f us\n", "Worst block (a response switch), 48 kHz", get("BM_HeadphoneSwitchBlock") * 1e6,
                250.0);
    peer("HeadphoneFir::Convolve, 6 inputs", get("BM_HeadphoneConvolve"), "BM_FftwPartitionedConvolve",
         "FFTW partitioned", 1.5);
    peer("SRC Down + Up, factor 2, 1,024 samples", get("BM_SrcDownUp"), "BM_SoxrDownUp", "libsoxr SOXR_LQ", 3.0);
}
