// The room processor renders a run of samples at a time. Every line of the tank is read at least
// 400 samples after it was written and a run is at most 256 samples, so the line outputs of the
// whole run are known before the run starts; the feeds, streams, diffusers and output filters
// are then plain filters over the run (loops the compiler can take several samples at a time),
// and the tank input of the run is written last. The values are those of the per-sample
// recurrences; only the order of the work differs.
#include "dsp/SpatialProcessor8.h"

#include <cstring>

namespace {

// The 16-bit output stage: clipped just below full scale (so the rounding cannot wrap) and at
// -1.0, rounded to the nearest step of 2^-15 with halves up, and the low 16 bits of the rounded
// value taken as the sample, as a 16-bit store keeps them. The sum is formed in double, where it
// is exact: in float, 65536.5 + 32768 y rounds to steps of 2^-7, which moves some samples by a
// step and turns values just below the clip level into 98304, whose low bits are -1.0. A NaN
// gives silence, never an integer conversion of a NaN.
float Quantise(float y)
{
    if (y != y) {
        return 0.0f;
    }
    if (y >= 0.99998474f) {
        y = 0.9999695f;
    } else if (y < -0.99998474f) {
        y = -1.0f;
    }
    const auto rounded = static_cast<int32_t>(65536.5 + 32768.0 * static_cast<double>(y));
    const auto sample = static_cast<int16_t>(static_cast<uint16_t>(rounded & 0xFFFF));
    return static_cast<float>(sample) * (1.0f / 32768.0f);
}

// dst[n] (+)= c * line[first + n] over a circular line of `length` cells, in the two straight
// pieces the wrap leaves.
void LineTap(const float* line, int32_t length, int32_t first, float c, float* dst, int32_t count, bool accumulate)
{
    const int32_t straight = count < length - first ? count : length - first;
    const float* src = line + first;
    if (accumulate) {
        for (int32_t n = 0; n < straight; ++n) {
            dst[n] += c * src[n];
        }
        for (int32_t n = straight; n < count; ++n) {
            dst[n] += c * line[n - straight];
        }
    } else {
        for (int32_t n = 0; n < straight; ++n) {
            dst[n] = c * src[n];
        }
        for (int32_t n = straight; n < count; ++n) {
            dst[n] = c * line[n - straight];
        }
    }
}

}  // namespace

int32_t SpatialProcessor8::RateIndexOf(int32_t rate)
{
    switch (rate) {
    case 48000: return SPATIAL_INDEX_48K;
    case 44100: return SPATIAL_INDEX_44K1;
    case 32000: return SPATIAL_INDEX_32K;
    case 96000: return SPATIAL_INDEX_96K;
    case 88200: return SPATIAL_INDEX_88K2;
    default: return SPATIAL_INDEX_44K1;
    }
}

void SpatialProcessor8::Init()
{
    m_ActiveRateIndex = SPATIAL_INDEX_48K;
    m_ActiveChannelCode = 0;
    m_ConfiguredRateIndex = SPATIAL_INDEX_48K;
    m_ConfiguredChannelCode = 0;
    m_RingLength = SpatialRingLengthTable[SPATIAL_INDEX_48K];
    std::memset(m_Silence, 0, sizeof(m_Silence));
    ReadSet();
    Clear();
}

void SpatialProcessor8::SetFormat(int32_t rate, int32_t channelCode)
{
    m_ConfiguredRateIndex = RateIndexOf(rate);
    m_ConfiguredChannelCode = channelCode;
}

bool SpatialProcessor8::IsConfigurationValid() const
{
    return m_ConfiguredRateIndex >= 0 && m_ConfiguredRateIndex < SPATIAL_RATE_SLOTS &&
           SpatialSetTable[m_ConfiguredRateIndex] != nullptr && static_cast<uint32_t>(m_ConfiguredChannelCode) <= 7;
}

void SpatialProcessor8::ApplyConfiguration()
{
    if (!IsConfigurationValid()) {
        m_ConfiguredRateIndex = m_ActiveRateIndex;
        m_ConfiguredChannelCode = m_ActiveChannelCode;
        return;
    }
    m_ActiveRateIndex = m_ConfiguredRateIndex;
    m_ActiveChannelCode = m_ConfiguredChannelCode;
    m_RingLength = SpatialRingLengthTable[m_ActiveRateIndex];
    ReadSet();
    Clear();
}

void SpatialProcessor8::Clear()
{
    std::memset(m_Ring, 0, static_cast<size_t>(m_RingLength) * sizeof(float));
    for (int32_t i = 0; i < SPATIAL_LINES; ++i) {
        m_LinePosition[i] = 0;
    }
    std::memset(m_FeedHistory, 0, sizeof(m_FeedHistory));
    for (auto& stream : m_Stream) {
        std::memset(stream, 0, STREAM_HISTORY * sizeof(float));
    }
    for (auto& diffuser : m_DiffuserIn) {
        std::memset(diffuser, 0, DIFFUSER_HISTORY * sizeof(float));
    }
}

void SpatialProcessor8::ReadSet()
{
    const float* p = SpatialSetTable[m_ActiveRateIndex];
    SetView& s = m_Set;
    // The number of taps per line follows the rate index.
    s.lineTaps = m_ActiveRateIndex == SPATIAL_INDEX_32K ? 3 : m_ActiveRateIndex >= SPATIAL_INDEX_96K ? 4 : 2;
    int32_t start = 0;
    for (int32_t i = 0; i < SPATIAL_LINES; ++i) {
        s.gap[i] = static_cast<int32_t>(p[0]);
        s.lineGains[i] = p + 1;
        p += 1 + s.lineTaps;
        // Each line keeps the values it is read at: ages gap + 1 to gap + T.
        m_LineStart[i] = start;
        m_LineLength[i] = s.gap[i] + s.lineTaps;
        start += m_LineLength[i];
    }
    s.feedGains = p;
    p += 2 * SPATIAL_FEEDS;
    s.feedFilter = p;
    p += 5;
    s.centreGain = *p++;
    s.streamGains = p;
    p += 10;
    s.mix = p;
    p += 12;
    for (int32_t k = 0; k < SPATIAL_DIFFUSERS; ++k) {
        s.diffuserLength[k] = static_cast<int32_t>(*p++);
        s.diffuserTaps[k] = p;
        p += s.diffuserLength[k];
    }
    s.diffuseLeft = p;
    p += SPATIAL_DIFFUSERS;
    s.diffuseRight = p;
    p += SPATIAL_DIFFUSERS;
    s.outputLeft = p;
    p += SPATIAL_OUTPUT_STREAMS * SPATIAL_OUTPUT_TAPS;
    s.outputRight = p;
    p += SPATIAL_OUTPUT_STREAMS * SPATIAL_OUTPUT_TAPS;
    // Each row is followed by the distance to the next line's cells, which separate lines do
    // not need.
    for (int32_t j = 0; j < SPATIAL_LINES; ++j) {
        s.feedback[j] = p;
        p += SPATIAL_LINES + 1;
    }
}

void SpatialProcessor8::Process(float* const* in, float* const* out, int32_t frames)
{
    if (m_ConfiguredRateIndex != m_ActiveRateIndex || m_ConfiguredChannelCode != m_ActiveChannelCode) {
        ApplyConfiguration();
    }
    if (in == nullptr || out == nullptr || out[0] == nullptr || out[1] == nullptr || frames <= 0) {
        return;
    }
    // Code 7 reads all eight inputs, code 5 the first six; any other code none, and the tank
    // rings out.
    const int32_t readable = m_ActiveChannelCode == 7 ? 8 : m_ActiveChannelCode == 5 ? 6 : 0;
    for (int32_t offset = 0; offset < frames; offset += SPATIAL_RUN) {
        const int32_t count = frames - offset < SPATIAL_RUN ? frames - offset : SPATIAL_RUN;
        const float* x[SPATIAL_INPUT_CHANNELS];
        for (int32_t c = 0; c < SPATIAL_INPUT_CHANNELS; ++c) {
            x[c] = c < readable && in[c] != nullptr ? in[c] + offset : m_Silence;
        }
        float* y[2] = {out[0] + offset, out[1] + offset};
        RenderRun(x, y, count);
    }
}

void SpatialProcessor8::RenderRun(const float* const* x, float* const* out, int32_t count)
{
    LineOutputs(count);
    FeedFilters(x, count);
    Streams(x, count);
    Diffusers(count);
    Outputs(m_Out[0], m_Out[1], count);
    TankUpdate(count);
    KeepHistories(count);
    // Every input of the run has been read: the outputs may now overwrite shared buffers.
    for (int32_t n = 0; n < count; ++n) {
        out[0][n] = Quantise(m_Out[0][n]);
        out[1][n] = Quantise(m_Out[1][n]);
    }
}

// g_i(n) = sum over j of a_i,j * v_i(n - gap_i - j).
void SpatialProcessor8::LineOutputs(int32_t count)
{
    const int32_t taps = m_Set.lineTaps;
    for (int32_t i = 0; i < SPATIAL_LINES; ++i) {
        const int32_t length = m_LineLength[i];
        for (int32_t j = 1; j <= taps; ++j) {
            // Age gap + j at the run's first sample: j - T cells behind the next write, modulo
            // the line length gap + T.
            int32_t first = m_LinePosition[i] + taps - j;
            if (first >= length) {
                first -= length;
            }
            LineTap(m_Ring + m_LineStart[i], length, first, m_Set.lineGains[i][j - 1], m_LineOut[i], count, j > 1);
        }
    }
}

// The four feeds and their filters, F(n) = 2 (b0 s(n) + b1 s(n-1) + b2 s(n-2) + a1 F(n-1) +
// a2 F(n-2)): the only recurrences of the run, taken sample by sample.
void SpatialProcessor8::FeedFilters(const float* const* x, int32_t count)
{
    const float* f = m_Set.feedGains;
    const float b0 = m_Set.feedFilter[0];
    const float b1 = m_Set.feedFilter[1];
    const float b2 = m_Set.feedFilter[2];
    const float a1 = m_Set.feedFilter[3];
    const float a2 = m_Set.feedFilter[4];
    for (int32_t n = 0; n < count; ++n) {
        const float s[SPATIAL_FEEDS] = {
            f[0] * (x[1][n] + x[3][n]) + f[1] * x[5][n],
            f[2] * (x[0][n] + x[3][n]) + f[3] * x[4][n],
            f[4] * x[6][n] + f[5] * x[2][n],
            f[6] * x[7][n] + f[7] * x[2][n],
        };
        for (int32_t i = 0; i < SPATIAL_FEEDS; ++i) {
            float* h = m_FeedHistory[i];
            const float out = 2.0f * (b0 * s[i] + b1 * h[0] + b2 * h[1] + a1 * h[2] + a2 * h[3]);
            h[1] = h[0];
            h[0] = s[i];
            h[3] = h[2];
            h[2] = out;
            m_Feed[i][n] = out;
        }
    }
}

// The seven streams and the diffuser inputs made of them.
void SpatialProcessor8::Streams(const float* const* x, int32_t count)
{
    const float* k = m_Set.streamGains;
    const float* m = m_Set.mix;
    const float kC = m_Set.centreGain;
    float* c = m_Stream[CENTRE] + STREAM_HISTORY;
    float* p = m_Stream[FRONT_LEFT] + STREAM_HISTORY;
    float* q = m_Stream[FRONT_RIGHT] + STREAM_HISTORY;
    float* r = m_Stream[SIDE_LEFT] + STREAM_HISTORY;
    float* s = m_Stream[SIDE_RIGHT] + STREAM_HISTORY;
    float* u = m_Stream[REAR_LEFT] + STREAM_HISTORY;
    float* y = m_Stream[REAR_RIGHT] + STREAM_HISTORY;
    const float* g1 = m_LineOut[0];
    const float* g2 = m_LineOut[1];
    const float* g3 = m_LineOut[2];
    const float* g4 = m_LineOut[3];
    for (int32_t n = 0; n < count; ++n) {
        c[n] = kC * x[2][n];
        p[n] = k[0] * (x[0][n] + x[3][n]) + k[1] * g4[n];
        q[n] = k[2] * (x[1][n] + x[3][n]) + k[3] * g1[n];
        r[n] = k[4] * x[6][n];
        s[n] = k[5] * x[7][n];
        u[n] = k[6] * x[4][n] + k[7] * g2[n];
        y[n] = k[8] * x[5][n] + k[9] * g3[n];
    }
    float* z[SPATIAL_DIFFUSERS];
    for (int32_t d = 0; d < SPATIAL_DIFFUSERS; ++d) {
        z[d] = m_DiffuserIn[d] + DIFFUSER_HISTORY;
    }
    for (int32_t n = 0; n < count; ++n) {
        z[0][n] = c[n];
        z[1][n] = m[0] * p[n] + m[1] * q[n];
        z[2][n] = m[2] * p[n] + m[3] * q[n];
        z[3][n] = m[4] * r[n] + m[5] * s[n];
        z[4][n] = m[6] * r[n] + m[7] * s[n];
        z[5][n] = m[8] * u[n] + m[9] * y[n];
        z[6][n] = m[10] * u[n] + m[11] * y[n];
    }
}

// d_k(n) = sum over j of h_k,j z_k(n - 2j); dL and dR are the weighted sums of the seven.
void SpatialProcessor8::Diffusers(int32_t count)
{
    float* left = m_Stream[DIFFUSE_LEFT] + STREAM_HISTORY;
    float* right = m_Stream[DIFFUSE_RIGHT] + STREAM_HISTORY;
    for (int32_t n = 0; n < count; ++n) {
        left[n] = 0.0f;
        right[n] = 0.0f;
    }
    float* d = m_DiffuserOut;
    for (int32_t k = 0; k < SPATIAL_DIFFUSERS; ++k) {
        const float* h = m_Set.diffuserTaps[k];
        const float* z = m_DiffuserIn[k] + DIFFUSER_HISTORY;
        const int32_t length = m_Set.diffuserLength[k];
        for (int32_t j = 1; j <= length; ++j) {
            const float c = h[j - 1];
            const float* older = z - 2 * j;
            if (j == 1) {
                for (int32_t n = 0; n < count; ++n) {
                    d[n] = c * older[n];
                }
            } else {
                for (int32_t n = 0; n < count; ++n) {
                    d[n] += c * older[n];
                }
            }
        }
        const float wl = m_Set.diffuseLeft[k];
        const float wr = m_Set.diffuseRight[k];
        for (int32_t n = 0; n < count; ++n) {
            left[n] += wl * d[n];
            right[n] += wr * d[n];
        }
    }
}

// y = sum over five streams of o0 s(n) + o1 s(n-1) + o2 s(n-2).
void SpatialProcessor8::Outputs(float* left, float* right, int32_t count)
{
    static constexpr Stream LEFT[SPATIAL_OUTPUT_STREAMS] = {DIFFUSE_LEFT, CENTRE, FRONT_LEFT, SIDE_LEFT, REAR_LEFT};
    static constexpr Stream RIGHT[SPATIAL_OUTPUT_STREAMS] = {DIFFUSE_RIGHT, CENTRE, FRONT_RIGHT, SIDE_RIGHT,
                                                             REAR_RIGHT};
    for (int32_t side = 0; side < 2; ++side) {
        float* y = side == 0 ? left : right;
        const Stream* streams = side == 0 ? LEFT : RIGHT;
        const float* o = side == 0 ? m_Set.outputLeft : m_Set.outputRight;
        for (int32_t n = 0; n < count; ++n) {
            y[n] = 0.0f;
        }
        for (int32_t t = 0; t < SPATIAL_OUTPUT_STREAMS; ++t) {
            const float* s = m_Stream[streams[t]] + STREAM_HISTORY;
            const float o0 = o[3 * t];
            const float o1 = o[3 * t + 1];
            const float o2 = o[3 * t + 2];
            for (int32_t n = 0; n < count; ++n) {
                y[n] += o0 * s[n] + o1 * s[n - 1] + o2 * s[n - 2];
            }
        }
    }
}

// e_i = F_i + g_i; v_j = sum over i of M[j][i] e_i, written into line j.
void SpatialProcessor8::TankUpdate(int32_t count)
{
    float* e[SPATIAL_LINES];
    for (int32_t i = 0; i < SPATIAL_LINES; ++i) {
        e[i] = m_Feed[i];
        const float* g = m_LineOut[i];
        for (int32_t n = 0; n < count; ++n) {
            e[i][n] += g[n];
        }
    }
    for (int32_t j = 0; j < SPATIAL_LINES; ++j) {
        const float* row = m_Set.feedback[j];
        float* line = m_Ring + m_LineStart[j];
        const int32_t length = m_LineLength[j];
        const int32_t first = m_LinePosition[j];
        const int32_t straight = count < length - first ? count : length - first;
        for (int32_t n = 0; n < count; ++n) {
            float* cell = n < straight ? line + first + n : line + n - straight;
            *cell = row[0] * e[0][n] + row[1] * e[1][n] + row[2] * e[2][n] + row[3] * e[3][n];
        }
        m_LinePosition[j] = first + count < length ? first + count : first + count - length;
    }
}

// The last samples of the run become the history in front of the next one.
void SpatialProcessor8::KeepHistories(int32_t count)
{
    for (auto& stream : m_Stream) {
        std::memmove(stream, stream + count, STREAM_HISTORY * sizeof(float));
    }
    for (auto& diffuser : m_DiffuserIn) {
        std::memmove(diffuser, diffuser + count, DIFFUSER_HISTORY * sizeof(float));
    }
}
