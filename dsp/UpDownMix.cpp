// UpDownMix: the dry path's channel fold and expansion.
#include "dsp/UpDownMix.h"

namespace {

constexpr float CENTRE = 0.707f;
constexpr float MATRIX_B = 0.871f;
constexpr float MATRIX_C = 0.49f;
constexpr float FILL = 1e-12f;
constexpr uint32_t MAX_CHANNELS = 8;

void Fill(float* const* x, uint32_t from, uint32_t to, uint32_t frames)
{
    for (uint32_t c = from; c < to; ++c) {
        for (uint32_t i = 0; i < frames; ++i) {
            x[c][i] = FILL;
        }
    }
}

// L and R of a fold to one or two channels, from the values of sample i.
struct Pair {
    float l, r;
};

Pair FoldSample(float* const* x, uint32_t in, uint32_t i, float b, float c, bool plainTwo, bool plainOne)
{
    const float x0 = x[0][i], x1 = x[1][i];
    if (in == 4) {
        const float x2 = x[2][i], x3 = x[3][i];
        return {x0 - b * x2 - c * x3, x1 + c * x2 + b * x3};
    }
    const float x2 = x[2][i], x3 = x[3][i], x4 = x[4][i], x5 = x[5][i];
    if (in == 6) {
        if (plainTwo) {
            return {x0 + CENTRE * x2 + x3 + x4, x1 + CENTRE * x2 + x3 + x5};
        }
        const float front = CENTRE * (x2 + x3);
        const float r = x1 + front + c * x4 + b * x5;
        return {plainOne ? x0 + front + b * x4 + c * x5 : x0 + front - b * x4 - c * x5, r};
    }
    const float x6 = x[6][i], x7 = x[7][i];
    if (plainTwo) {
        return {x0 + CENTRE * x2 + x3 + x4 + x6, x1 + CENTRE * x2 + x3 + x5 + x7};
    }
    const float front = CENTRE * (x2 + x3);
    const float hb = 0.5f * b, hc = 0.5f * c;
    const float r = x1 + front + hc * (x4 + x6) + hb * (x5 + x7);
    const float l = plainOne ? x0 + front + hb * (x4 + x6) + hc * (x5 + x7) : x0 + front - hb * (x4 + x6) - hc * (x5 + x7);
    return {l, r};
}

}  // namespace

void UpDownMix(float* const* channels, uint32_t inChannels, uint32_t outChannels, uint32_t frames, uint8_t plainMix)
{
    if (channels == nullptr || inChannels == outChannels || frames == 0 || inChannels > MAX_CHANNELS ||
        outChannels > MAX_CHANNELS) {
        return;
    }
    float* const* x = channels;
    const bool plain = plainMix != 0;
    const float b = plain ? 1.0f : MATRIX_B;
    const float c = plain ? 0.0f : MATRIX_C;

    if (inChannels < outChannels) {
        if (inChannels == 2 || inChannels == 6) {
            Fill(x, inChannels, outChannels, frames);
        } else if (inChannels == 4 && outChannels >= 6) {
            for (uint32_t i = 0; i < frames; ++i) {
                x[4][i] = x[2][i];
                x[5][i] = x[3][i];
                x[2][i] = FILL;
                x[3][i] = FILL;
            }
            Fill(x, 6, outChannels, frames);
        }
        return;
    }

    if (inChannels == 2 && outChannels == 1) {
        for (uint32_t i = 0; i < frames; ++i) {
            x[0][i] = 0.5f * (x[0][i] + x[1][i]);
        }
        return;
    }
    if ((inChannels == 6 && outChannels == 4) || (inChannels == 8 && outChannels == 4)) {
        for (uint32_t i = 0; i < frames; ++i) {
            const float front = CENTRE * (x[2][i] + x[3][i]);
            const float x4 = x[4][i], x5 = x[5][i];
            x[0][i] += front;
            x[1][i] += front;
            if (inChannels == 6) {
                x[2][i] = x4;
                x[3][i] = x5;
            } else {
                x[2][i] = x[6][i] + b * x4 + c * x5;
                x[3][i] = x[7][i] + c * x4 + b * x5;
            }
        }
        return;
    }
    if (inChannels == 8 && outChannels == 6) {
        for (uint32_t i = 0; i < frames; ++i) {
            const float x4 = x[4][i], x5 = x[5][i];
            x[4][i] = x[6][i] + b * x4 + c * x5;
            x[5][i] = x[7][i] + c * x4 + b * x5;
        }
        return;
    }
    if ((inChannels == 4 || inChannels == 6 || inChannels == 8) && (outChannels == 2 || outChannels == 1)) {
        // The plain rows of 6 -> 2 and 8 -> 2 have their own weights; the one-channel folds take
        // the plain or matrix left and the plain right, then average them.
        const bool plainTwo = plain && outChannels == 2;
        const bool plainOne = plain && outChannels == 1;
        for (uint32_t i = 0; i < frames; ++i) {
            const Pair p = FoldSample(x, inChannels, i, b, c, plainTwo, plainOne);
            if (outChannels == 2) {
                x[0][i] = p.l;
                x[1][i] = p.r;
            } else {
                x[1][i] = p.r;
                x[0][i] = 0.5f * (p.l + p.r);
            }
        }
    }
}
