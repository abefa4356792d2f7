// The stream format adapter on every rate pair the wave path uses it for (44.1 <-> 48, 48 <-> 96,
// 44.1 <-> 96 and 48 <-> 192 kHz), stereo 32-bit float, 512-frame calls: time per output frame,
// beside libsoxr (SOXR_LQ, SOXR_MQ) and libsamplerate (SRC_SINC_FASTEST, SRC_LINEAR) where they
// are installed. Before the timings the program prints each converter's quality on the same
// signals: THD+N of a 1 kHz and a 0.4 x lower-rate sine at -1 dBFS, and the worst residual (images,
// aliases and noise against the tone) over a sweep of 24 tones up to 0.4 x the lower rate. Last,
// the share of a core that a 96 kHz stream on the 48 kHz headset adds to the render path.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "dsp/DspInterleaveSrc.h"

#if KVX_BENCH_SOXR
#include <soxr.h>
#endif
#if KVX_BENCH_SAMPLERATE
#include <samplerate.h>
#endif

namespace {

constexpr size_t CHUNK = 512;
constexpr int CHANNELS = 2;

struct Cell {
    ULONG In, Out;
};
constexpr Cell kCells[] = {{44100, 48000}, {48000, 44100}, {48000, 96000}, {96000, 48000},
                           {44100, 96000}, {96000, 44100}, {48000, 192000}, {192000, 48000}};

// A stereo float converter fed in chunks; Push appends its output.
class Converter {
public:
    virtual ~Converter() = default;
    virtual bool Open(ULONG in, ULONG out) = 0;
    virtual void Push(const float* in, size_t frames, std::vector<float>* out) = 0;
};

WaveFormatRecord FloatStereo(ULONG rate)
{
    WaveFormatRecord f{};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = CHANNELS;
    f.Format.nSamplesPerSec = rate;
    f.Format.wBitsPerSample = 32;
    f.Format.nBlockAlign = 4 * CHANNELS;
    f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
    f.Format.cbSize = 22;
    f.Samples.wValidBitsPerSample = 32;
    f.dwChannelMask = 3;
    f.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    return f;
}

class AdapterConverter : public Converter {
public:
    AdapterConverter()
    {
        m_memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CDspInterleaveSrc), MakePoolTag("CCST"));
        std::memset(m_memory, 0, sizeof(CDspInterleaveSrc));
        m_src = new (m_memory) CDspInterleaveSrc();
    }
    ~AdapterConverter() override
    {
        m_src->~CDspInterleaveSrc();
        ExFreePoolWithTag(m_memory, MakePoolTag("CCST"));
    }
    bool Open(ULONG in, ULONG out) override
    {
        m_ratio = static_cast<double>(out) / in;
        const WaveFormatRecord i = FloatStereo(in), o = FloatStereo(out);
        return (m_src->IsInitialised() || m_src->Init()) && m_src->Reset() && m_src->SetFormat(&i, &o);
    }
    void Push(const float* in, size_t frames, std::vector<float>* out) override
    {
        const size_t room = static_cast<size_t>(std::ceil(frames * m_ratio)) + 16;
        size_t taken = 0;
        while (taken < frames) {
            const size_t at = out->size();
            out->resize(at + room * CHANNELS);
            ULONG consumed = 0, produced = 0;
            m_src->Process(reinterpret_cast<const UCHAR*>(in + taken * CHANNELS), static_cast<ULONG>(frames - taken),
                           reinterpret_cast<UCHAR*>(out->data() + at), static_cast<ULONG>(room), &consumed, &produced);
            out->resize(at + static_cast<size_t>(produced) * CHANNELS);
            taken += consumed;
            if (consumed == 0 && produced == 0) break;
        }
    }

private:
    PVOID m_memory;
    CDspInterleaveSrc* m_src;
    double m_ratio = 1.0;
};

#if KVX_BENCH_SOXR
class SoxrConverter : public Converter {
public:
    explicit SoxrConverter(unsigned long recipe) : m_recipe(recipe) {}
    ~SoxrConverter() override { soxr_delete(m_soxr); }
    bool Open(ULONG in, ULONG out) override
    {
        soxr_delete(m_soxr);
        m_ratio = static_cast<double>(out) / in;
        soxr_error_t error = nullptr;
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
        const soxr_quality_spec_t quality = soxr_quality_spec(m_recipe, 0);
        m_soxr = soxr_create(in, out, CHANNELS, &error, &io, &quality, nullptr);
        return error == nullptr;
    }
    void Push(const float* in, size_t frames, std::vector<float>* out) override
    {
        const size_t room = static_cast<size_t>(std::ceil(frames * m_ratio)) + 64;
        const size_t at = out->size();
        out->resize(at + room * CHANNELS);
        size_t done = 0, made = 0;
        soxr_process(m_soxr, in, frames, &done, out->data() + at, room, &made);
        out->resize(at + made * CHANNELS);
    }

private:
    unsigned long m_recipe;
    soxr_t m_soxr = nullptr;
    double m_ratio = 1.0;
};
#endif

#if KVX_BENCH_SAMPLERATE
class SamplerateConverter : public Converter {
public:
    explicit SamplerateConverter(int type) : m_type(type) {}
    ~SamplerateConverter() override
    {
        if (m_state != nullptr) src_delete(m_state);
    }
    bool Open(ULONG in, ULONG out) override
    {
        if (m_state != nullptr) src_delete(m_state);
        int error = 0;
        m_state = src_new(m_type, CHANNELS, &error);
        m_ratio = static_cast<double>(out) / in;
        return m_state != nullptr;
    }
    void Push(const float* in, size_t frames, std::vector<float>* out) override
    {
        size_t taken = 0;
        while (taken < frames) {
            const size_t room = static_cast<size_t>(std::ceil((frames - taken) * m_ratio)) + 64;
            const size_t at = out->size();
            out->resize(at + room * CHANNELS);
            SRC_DATA data{};
            data.data_in = in + taken * CHANNELS;
            data.input_frames = static_cast<long>(frames - taken);
            data.data_out = out->data() + at;
            data.output_frames = static_cast<long>(room);
            data.src_ratio = m_ratio;
            src_process(m_state, &data);
            out->resize(at + static_cast<size_t>(data.output_frames_gen) * CHANNELS);
            taken += static_cast<size_t>(data.input_frames_used);
            if (data.input_frames_used == 0 && data.output_frames_gen == 0) break;
        }
    }

private:
    int m_type;
    SRC_STATE* m_state = nullptr;
    double m_ratio = 1.0;
};
#endif

struct Kind {
    const char* Name;
    std::unique_ptr<Converter> (*Make)();
};
const Kind kKinds[] = {
    {"adapter", [] { return std::unique_ptr<Converter>(new AdapterConverter()); }},
#if KVX_BENCH_SOXR
    {"soxr_lq", [] { return std::unique_ptr<Converter>(new SoxrConverter(SOXR_LQ)); }},
    {"soxr_mq", [] { return std::unique_ptr<Converter>(new SoxrConverter(SOXR_MQ)); }},
#endif
#if KVX_BENCH_SAMPLERATE
    {"src_sinc_fastest", [] { return std::unique_ptr<Converter>(new SamplerateConverter(SRC_SINC_FASTEST)); }},
    {"src_linear", [] { return std::unique_ptr<Converter>(new SamplerateConverter(SRC_LINEAR)); }},
#endif
};

// seconds of a stereo sine at f Hz and -1 dBFS (the second channel a quarter period later).
std::vector<float> Sine(double f, ULONG rate, double seconds)
{
    const size_t frames = static_cast<size_t>(seconds * rate);
    std::vector<float> x(frames * CHANNELS);
    const double a = std::pow(10.0, -1.0 / 20.0);
    for (size_t n = 0; n < frames; ++n) {
        const double w = 2.0 * M_PI * f * static_cast<double>(n) / rate;
        x[2 * n] = static_cast<float>(a * std::sin(w));
        x[2 * n + 1] = static_cast<float>(a * std::cos(w));
    }
    return x;
}

std::vector<float> Convert(Converter& c, const std::vector<float>& x)
{
    std::vector<float> y;
    for (size_t at = 0; at < x.size() / CHANNELS; at += CHUNK) {
        c.Push(x.data() + at * CHANNELS, std::min(CHUNK, x.size() / CHANNELS - at), &y);
    }
    return y;
}

// What a sine of f does not explain in channel 0 of y from 0.1 s to 0.4 s, against the sine, in dB.
double ResidualDb(const std::vector<float>& y, double f, ULONG rate)
{
    const size_t from = rate / 10, to = std::min(y.size() / CHANNELS, static_cast<size_t>(rate) * 4 / 10);
    if (to <= from) return 0.0;
    double ss = 0, cc = 0, sc = 0, ys = 0, yc = 0, yy = 0;
    for (size_t n = from; n < to; ++n) {
        const double w = 2.0 * M_PI * f * static_cast<double>(n) / rate;
        const double s = std::sin(w), c = std::cos(w), v = y[CHANNELS * n];
        ss += s * s;
        cc += c * c;
        sc += s * c;
        ys += v * s;
        yc += v * c;
        yy += v * v;
    }
    // Least squares for a sin + b cos.
    const double det = ss * cc - sc * sc;
    const double a = (ys * cc - yc * sc) / det, b = (yc * ss - ys * sc) / det;
    const double fitted = a * a * ss + 2 * a * b * sc + b * b * cc;
    const double residual = std::max(yy - fitted, 1e-30);
    return 10.0 * std::log10(residual / fitted);
}

void PrintQuality()
{
    std::printf("Quality (channel 0; residual against the tone):\n");
    std::printf("%-16s %-16s %12s %14s %16s\n", "rates", "converter", "THD+N 1 kHz", "THD+N 0.4 low", "worst of sweep");
    for (const Cell& cell : kCells) {
        const ULONG lower = std::min(cell.In, cell.Out);
        for (const Kind& kind : kKinds) {
            auto measure = [&](double f) {
                std::unique_ptr<Converter> c = kind.Make();
                if (!c->Open(cell.In, cell.Out)) return 0.0;
                return ResidualDb(Convert(*c, Sine(f, cell.In, 0.45)), f, cell.Out);
            };
            const double oneK = measure(1000.0), high = measure(0.4 * lower);
            double worst = -400.0;
            for (int i = 0; i < 24; ++i) worst = std::max(worst, measure(500.0 + (0.4 * lower - 500.0) * i / 23.0));
            const std::string rates = std::to_string(cell.In) + "->" + std::to_string(cell.Out);
            std::printf("%-16s %-16s %9.1f dB %11.1f dB %13.1f dB\n", rates.c_str(), kind.Name, oneK, high, worst);
        }
    }
    std::fflush(stdout);
}

void BM_Convert(benchmark::State& state)
{
    const Cell& cell = kCells[state.range(0)];
    const Kind& kind = kKinds[state.range(1)];
    std::unique_ptr<Converter> c = kind.Make();
    if (!c->Open(cell.In, cell.Out)) {
        state.SkipWithError("open failed");
        return;
    }
    const std::vector<float> x = Sine(997.0, cell.In, 1.0);
    const size_t chunks = x.size() / CHANNELS / CHUNK;
    std::vector<float> y;
    y.reserve(CHUNK * 8 * CHANNELS);
    size_t chunk = 0;
    double frames = 0;
    for (auto _ : state) {
        y.clear();
        c->Push(x.data() + chunk * CHUNK * CHANNELS, CHUNK, &y);
        benchmark::DoNotOptimize(y.data());
        frames += static_cast<double>(y.size() / CHANNELS);
        chunk = (chunk + 1) % chunks;
    }
    state.counters["per_out_frame"] = benchmark::Counter(frames, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.SetLabel(std::to_string(cell.In) + "->" + std::to_string(cell.Out) + " " + kind.Name);
}

void Cells(benchmark::internal::Benchmark* b)
{
    for (int64_t cell = 0; cell < static_cast<int64_t>(sizeof kCells / sizeof kCells[0]); ++cell) {
        for (int64_t kind = 0; kind < static_cast<int64_t>(sizeof kKinds / sizeof kKinds[0]); ++kind) {
            b->Args({cell, kind});
        }
    }
}
BENCHMARK(BM_Convert)->Apply(Cells);

// The wave stream's share on the 48 kHz headset: a 96 kHz 16-bit stereo stream converted into
// 5 ms transfers of 240 device frames (16-bit stereo), as the render path calls Process, for one
// second of audio per iteration; the time is what adapter mode costs beyond the plain path's copy
// (the time per iteration in ms, divided by 10, is the share of a core in per cent).
void BM_WaveStream96kOn48kHeadset(benchmark::State& state)
{
    void* memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CDspInterleaveSrc), MakePoolTag("CCST"));
    std::memset(memory, 0, sizeof(CDspInterleaveSrc));
    auto* src = new (memory) CDspInterleaveSrc();
    WaveFormatRecord in = FloatStereo(96000), out = FloatStereo(48000);
    for (WaveFormatRecord* f : {&in, &out}) {
        f->Format.wBitsPerSample = 16;
        f->Samples.wValidBitsPerSample = 16;
        f->Format.nBlockAlign = 4;
        f->Format.nAvgBytesPerSec = f->Format.nSamplesPerSec * 4;
        f->SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    }
    if (!src->Init() || !src->SetFormat(&in, &out)) {
        state.SkipWithError("adapter refused");
        return;
    }
    // The 50 ms cyclic buffer of the stream.
    std::vector<int16_t> ring(4800 * 2);
    for (size_t n = 0; n < ring.size(); ++n) ring[n] = static_cast<int16_t>(20000.0 * std::sin(0.0654 * static_cast<double>(n / 2)));
    std::vector<int16_t> transfer(240 * 2);
    size_t offset = 0;
    for (auto _ : state) {
        for (int t = 0; t < 200; ++t) {
            ULONG produced = 0;
            while (produced < 240) {
                ULONG consumed = 0, made = 0;
                src->Process(reinterpret_cast<const UCHAR*>(ring.data() + offset * 2), static_cast<ULONG>(4800 - offset),
                             reinterpret_cast<UCHAR*>(transfer.data() + produced * 2), 240 - produced, &consumed, &made);
                offset = (offset + consumed) % 4800;
                produced += made;
            }
            benchmark::DoNotOptimize(transfer.data());
        }
    }
    src->~CDspInterleaveSrc();
    ExFreePoolWithTag(memory, MakePoolTag("CCST"));
}
BENCHMARK(BM_WaveStream96kOn48kHeadset)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    PrintQuality();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
