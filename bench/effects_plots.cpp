// effects_bench --plots DIR: small SVG line plots of what the effects do, for a reader to look
// at (not run by the tests): the spatial processor's response to a centre impulse at 48 kHz and
// its magnitude, the head responses of one angle code, the envelope of every room tail, and the
// magnitudes of the CTC filters. The writer is our own: a frame, axes with a few ticks, one
// polyline per series.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <vector>

#include "dsp/SpatialProcessor8.h"
#include "globaltopo/common/JQZ/headphonefir_tables.h"
#include "platform/nt/Pool.h"
#include "primitives/Primitives.h"

namespace {

struct Series {
    std::string name;
    std::vector<double> x;
    std::vector<double> y;
};

bool WritePlot(const std::string& path, const std::string& title, const std::string& xLabel, const std::string& yLabel,
               const std::vector<Series>& series)
{
    constexpr double W = 720, H = 400, L = 70, R = 170, T = 40, B = 50;
    double x0 = 1e300, x1 = -1e300, y0 = 1e300, y1 = -1e300;
    for (const Series& s : series) {
        for (size_t i = 0; i < s.x.size(); ++i) {
            x0 = std::min(x0, s.x[i]);
            x1 = std::max(x1, s.x[i]);
            y0 = std::min(y0, s.y[i]);
            y1 = std::max(y1, s.y[i]);
        }
    }
    if (x1 <= x0) x1 = x0 + 1;
    if (y1 <= y0) y1 = y0 + 1;
    auto px = [&](double x) { return L + (x - x0) / (x1 - x0) * (W - L - R); };
    auto py = [&](double y) { return H - B - (y - y0) / (y1 - y0) * (H - T - B); };
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return false;
    std::fprintf(f, "<svg xmlns='http://www.w3.org/2000/svg' width='%g' height='%g' font-family='sans-serif' font-size='11'>\n", W, H);
    std::fprintf(f, "<rect width='100%%' height='100%%' fill='white'/>\n");
    std::fprintf(f, "<text x='%g' y='22' font-size='14'>%s</text>\n", L, title.c_str());
    std::fprintf(f, "<rect x='%g' y='%g' width='%g' height='%g' fill='none' stroke='black'/>\n", L, T, W - L - R, H - T - B);
    for (int t = 0; t <= 4; ++t) {
        const double xv = x0 + (x1 - x0) * t / 4, yv = y0 + (y1 - y0) * t / 4;
        std::fprintf(f, "<text x='%g' y='%g' text-anchor='middle'>%.4g</text>\n", px(xv), H - B + 15, xv);
        std::fprintf(f, "<text x='%g' y='%g' text-anchor='end'>%.3g</text>\n", L - 5, py(yv) + 4, yv);
        std::fprintf(f, "<line x1='%g' y1='%g' x2='%g' y2='%g' stroke='#ddd'/>\n", L, py(yv), W - R, py(yv));
    }
    std::fprintf(f, "<text x='%g' y='%g' text-anchor='middle'>%s</text>\n", (L + W - R) / 2, H - 12, xLabel.c_str());
    std::fprintf(f, "<text x='15' y='%g' transform='rotate(-90 15 %g)' text-anchor='middle'>%s</text>\n", (T + H - B) / 2,
                 (T + H - B) / 2, yLabel.c_str());
    static const char* colours[] = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd",
                                    "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22", "#17becf"};
    for (size_t k = 0; k < series.size(); ++k) {
        const char* colour = colours[k % 10];
        std::fprintf(f, "<polyline fill='none' stroke='%s' stroke-width='1' points='", colour);
        for (size_t i = 0; i < series[k].x.size(); ++i) {
            std::fprintf(f, "%.1f,%.1f ", px(series[k].x[i]), py(series[k].y[i]));
        }
        std::fprintf(f, "'/>\n<text x='%g' y='%g' fill='%s'>%s</text>\n", W - R + 8, T + 12 + 14.0 * static_cast<double>(k),
                     colour, series[k].name.c_str());
    }
    std::fprintf(f, "</svg>\n");
    return std::fclose(f) == 0;
}

// Magnitude in dB of the first bins of a real signal, by our real FFT of 2^order points.
std::vector<double> MagnitudeDb(const std::vector<float>& signal, int order)
{
    const size_t n = size_t{1} << order;
    std::vector<float> buffer(n, 0.0f);
    std::copy(signal.begin(), signal.begin() + static_cast<long>(std::min(n, signal.size())), buffer.begin());
    FftSpec* spec = nullptr;
    CreateRealFft(&spec, order, 8, 0);
    std::vector<uint8_t> work(1 << 20);
    ForwardRealFftInPlace(buffer.data(), spec, work.data());
    DestroyRealFft(spec);
    std::vector<double> db(n / 2);
    db[0] = 20.0 * std::log10(std::fabs(buffer[0]) + 1e-12);
    for (size_t k = 1; k < n / 2; ++k) {
        db[k] = 10.0 * std::log10(double(buffer[2 * k]) * buffer[2 * k] + double(buffer[2 * k + 1]) * buffer[2 * k + 1] + 1e-24);
    }
    return db;
}

Series Line(const std::string& name, const std::vector<double>& y, double xStep = 1.0)
{
    Series s{name, {}, y};
    for (size_t i = 0; i < y.size(); ++i) s.x.push_back(static_cast<double>(i) * xStep);
    return s;
}

}  // namespace

// For the plots of the other parts of this program: lines over a uniform x step, and the
// magnitude in dB of the first bins of a signal.
bool WriteEffectsLinePlot(const std::string& path, const std::string& title, const std::string& xLabel,
                          const std::string& yLabel, const std::vector<std::pair<std::string, std::vector<double>>>& lines,
                          double xStep)
{
    std::vector<Series> series;
    for (const auto& [name, y] : lines) series.push_back(Line(name, y, xStep));
    return WritePlot(path, title, xLabel, yLabel, series);
}

std::vector<double> EffectsMagnitudeDb(const std::vector<float>& signal, int order) { return MagnitudeDb(signal, order); }

// The headphone engine's magnitudes per loudspeaker and ear (effects_engine_bench.cpp).
bool WriteHeadphoneEnginePlots(const std::string& dir);

int WriteEffectsPlots(const char* dir)
{
    // The folder is made when it does not exist yet.
    std::error_code made;
    std::filesystem::create_directories(dir, made);
    if (made) {
        std::fprintf(stderr, "cannot make the plot folder %s: %s\n", dir, made.message().c_str());
        return 1;
    }
    const std::string d = std::string(dir) + "/";
    bool ok = true;

    // Spatial processor: a centre impulse of 0.5 at 48 kHz, 8 channels.
    void* memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(SpatialProcessor8), MakePoolTag("DoHP"));
    std::memset(memory, 0, sizeof(SpatialProcessor8));
    auto* spatial = new (memory) SpatialProcessor8;
    spatial->Init();
    spatial->SetFormat(48000, 7);
    const size_t frames = 16384;
    std::vector<std::vector<float>> ch(8, std::vector<float>(frames, 0.0f));
    ch[2][0] = 0.5f;
    for (size_t offset = 0; offset < frames; offset += 512) {
        float* p[8];
        for (int c = 0; c < 8; ++c) p[c] = ch[c].data() + offset;
        spatial->Process(p, p, 512);
    }
    ExFreePoolWithTag(memory, MakePoolTag("DoHP"));
    std::vector<double> left(ch[0].begin(), ch[0].begin() + 4800), right(ch[1].begin(), ch[1].begin() + 4800);
    ok &= WritePlot(d + "spatial_centre_impulse_48k.svg", "Spatial processor: centre impulse (0.5), 48 kHz", "ms",
                    "output", {Line("left", left, 1000.0 / 48000), Line("right", right, 1000.0 / 48000)});
    ok &= WritePlot(d + "spatial_magnitude_48k.svg", "Spatial processor: magnitude of the centre impulse response", "Hz",
                    "dB", {Line("left", MagnitudeDb(ch[0], 14), 48000.0 / 16384), Line("right", MagnitudeDb(ch[1], 14), 48000.0 / 16384)});

    // Head responses of set 3, code 39: the first 64 samples of all ten.
    std::vector<Series> heads;
    const char* names[] = {"FL>L", "FL>R", "FR>L", "FR>R", "C>L", "C>R", "SL>L", "SL>R", "SR>L", "SR>R"};
    for (int r = 0; r < 10; ++r) {
        const float* h = HeadphoneResponseLibrary + HeadphoneHeadOffset(3, HeadphoneAngleCodeIndex(39)) + r * 1024;
        heads.push_back(Line(names[r], std::vector<double>(h, h + 64)));
    }
    ok &= WritePlot(d + "head_responses_set3_code39.svg", "Head responses, set 3, angle code 39", "sample", "amplitude", heads);

    // Tail envelopes: RMS over 256-sample windows, in dB, left ear of every set and family.
    std::vector<Series> tails;
    for (int set = 1; set <= 3; ++set) {
        for (int family = 0; family < 3; ++family) {
            const int length = HeadphoneTailLengths[set - 1][family];
            const float* t = HeadphoneResponseLibrary + HeadphoneTailOffset(set, family);
            std::vector<double> env;
            for (int w = 0; w + 256 <= length; w += 256) {
                double sum = 0;
                for (int i = 0; i < 256; ++i) sum += double(t[w + i]) * t[w + i];
                env.push_back(10.0 * std::log10(sum / 256 + 1e-24));
            }
            Series s = Line("set " + std::to_string(set) + " family " + std::to_string(family), env, 256.0 * 1000 / 44100);
            for (double& x : s.x) x += 1024.0 * 1000 / 44100;  // the tail starts 1,024 samples in
            tails.push_back(s);
        }
    }
    ok &= WritePlot(d + "tail_envelopes.svg", "Room tails: RMS over 256 samples (left ear)", "ms", "dB", tails);

    // CTC filters: magnitude of the direct and cross filter of every angle.
    std::vector<Series> ctc;
    for (int a = 0; a < HEADPHONE_CTC_ANGLES; ++a) {
        for (int part = 0; part < 2; ++part) {
            const float* f = HeadphoneCtcTable + (2 * a + part) * HEADPHONE_CTC_TAPS;
            ctc.push_back(Line(std::to_string(HeadphoneCtcAngles[a]) + (part == 0 ? " deg direct" : " deg cross"),
                               MagnitudeDb(std::vector<float>(f, f + HEADPHONE_CTC_TAPS), 10), 44100.0 / 1024));
        }
    }
    ok &= WritePlot(d + "ctc_magnitudes.svg", "CTC filters: magnitude", "Hz", "dB", ctc);
    ok &= WriteHeadphoneEnginePlots(d);

    std::printf("%s plots in %s\n", ok ? "wrote the" : "could not write all", dir);
    return ok ? 0 : 1;
}
