// The spatial room processor of the spatial effect entity: up to eight input channels (7.1 or
// 5.1) rendered into a stereo room image by a four-line feedback delay network (the room tank),
// seven sparse diffusers, short per-stream output filters and a 16-bit output quantiser. The
// constants come from the coefficient set of the stream's rate (SpatialTables.h).
//
// The owner allocates the object in non-paged memory (tag "DoHP"), zeroes it and runs Init. It
// has no lock: the owner calls Process under its own lock at DISPATCH_LEVEL, SetFormat at stream
// start and Clear at stream stop, when no chunk is being processed. Nothing is allocated and
// nothing is reported.
#pragma once

#include <cstdint>

#include "dsp/SpatialTables.h"

constexpr int32_t SPATIAL_RING_CELLS = 7156;
constexpr int32_t SPATIAL_INPUT_CHANNELS = 8;
// Samples rendered at a time. At most the shortest line delay (400 samples at 32 kHz), so that
// every line output of a run comes from tank input written before the run; the rest of the
// graph is then a set of plain filters over the run.
constexpr int32_t SPATIAL_RUN = 256;

class SpatialProcessor8 {
public:
    // Trivial: the owner's zeroing is the initial state (a constructor of its own would let the
    // compiler drop that zeroing as a store before the object's lifetime).
    SpatialProcessor8() = default;

    // Rate index 0 (48 kHz), channel code 0 (no input read), a cleared tank.
    void Init();
    // Records the wanted configuration; the next Process installs it (clearing the tank) or, when
    // it is not valid, drops it. The channel code is the channel count minus one: 7 reads all
    // eight inputs, 5 reads six (the side pair silent), any other reads none.
    void SetFormat(int32_t rate, int32_t channelCode);
    // Renders frames samples of in[0..7] into out[0] (left) and out[1] (right); in and out may
    // share buffers (the inputs of a sample are read before its outputs are written). Nothing else
    // of in or out changes.
    void Process(float* const* in, float* const* out, int32_t frames);
    // Silences the tank and every filter history.
    void Clear();

    // The configured rate index has a set and the configured code, taken as unsigned, is at most 7.
    bool IsConfigurationValid() const;
    // Installs a changed configuration when it is valid, else returns to the active one.
    void ApplyConfiguration();

    static int32_t RateIndexOf(int32_t rate);

private:
    // The active set, read once at installation: where each group of coefficients starts.
    struct SetView {
        int32_t lineTaps;  // T
        int32_t gap[SPATIAL_LINES];
        const float* lineGains[SPATIAL_LINES];
        const float* feedGains;   // f1a, f1b, ..., f4b
        const float* feedFilter;  // b0, b1, b2, a1, a2
        float centreGain;
        const float* streamGains;  // kFL, kFLt, kFR, kFRt, kSL, kSR, kBL, kBLt, kBR, kBRt
        const float* mix;          // m1 .. m12
        int32_t diffuserLength[SPATIAL_DIFFUSERS];
        const float* diffuserTaps[SPATIAL_DIFFUSERS];
        const float* diffuseLeft;
        const float* diffuseRight;
        const float* outputLeft;   // 5 streams x 3 taps
        const float* outputRight;
        const float* feedback[SPATIAL_LINES];
    };

    // Signals that the output filters read with two samples of history in front of the run.
    enum Stream { DIFFUSE_LEFT, DIFFUSE_RIGHT, CENTRE, FRONT_LEFT, FRONT_RIGHT, SIDE_LEFT, SIDE_RIGHT, REAR_LEFT,
                  REAR_RIGHT, STREAM_COUNT };
    static constexpr int32_t STREAM_HISTORY = 2;
    static constexpr int32_t DIFFUSER_HISTORY = 2 * SPATIAL_MAX_DIFFUSER_TAPS;

    void ReadSet();
    void RenderRun(const float* const* x, float* const* out, int32_t count);
    void LineOutputs(int32_t count);
    void FeedFilters(const float* const* x, int32_t count);
    void Streams(const float* const* x, int32_t count);
    void Diffusers(int32_t count);
    void Outputs(float* left, float* right, int32_t count);
    void TankUpdate(int32_t count);
    void KeepHistories(int32_t count);

    int32_t m_ActiveRateIndex;
    int32_t m_ActiveChannelCode;
    int32_t m_ConfiguredRateIndex;
    int32_t m_ConfiguredChannelCode;
    // Delay cells the active set needs (SpatialRingLengthTable); Clear clears these.
    int32_t m_RingLength;
    // The tank: each line a circular delay of gap + T cells, one after the other.
    float m_Ring[SPATIAL_RING_CELLS];
    int32_t m_LineStart[SPATIAL_LINES];
    int32_t m_LineLength[SPATIAL_LINES];
    // Cell of each line that the next tank input goes to (its oldest value).
    int32_t m_LinePosition[SPATIAL_LINES];
    // Per feed: s(n-1), s(n-2), F(n-1), F(n-2).
    float m_FeedHistory[SPATIAL_FEEDS][4];
    SetView m_Set;

    // Work of one run: the line outputs g, the filtered feeds F, the streams and diffuser inputs
    // with their histories in front, one diffuser's output and the two output sums.
    float m_LineOut[SPATIAL_LINES][SPATIAL_RUN];
    float m_Feed[SPATIAL_FEEDS][SPATIAL_RUN];
    float m_Stream[STREAM_COUNT][STREAM_HISTORY + SPATIAL_RUN];
    float m_DiffuserIn[SPATIAL_DIFFUSERS][DIFFUSER_HISTORY + SPATIAL_RUN];
    float m_DiffuserOut[SPATIAL_RUN];
    float m_Out[2][SPATIAL_RUN];
    // Stands in for the inputs that the channel code does not read.
    float m_Silence[SPATIAL_RUN];

    friend struct SpatialProcessor8Inspector;
};
