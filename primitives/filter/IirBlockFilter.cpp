// IIR filtering in slots 1 to 3: the signal in blocks of at most IirBlockLimit samples, each
// block through the slot's kernels. A block longer than four times the order (the section count)
// is split into its feed-forward part, computed for the whole block before any output is written
// (so that src may be dst), and the recursion, four outputs per step through the feedback rows;
// the delay line is rebuilt from the block's last inputs and outputs. Shorter blocks go sample by
// sample.
#include "primitives/filter/FilterSlot.h"
#include "primitives/filter/IirFilter.h"

namespace {

void ArbitraryBlock(const IirSlotOps& ops, const float* x, float* y, int32_t blk, IirState* state) {
    const int32_t n = state->order;
    if (blk <= 4 * int64_t{n}) {
        for (int32_t i = 0; i < blk; ++i) ops.arSampleStep(x + i, y + i, state);
        return;
    }
    const float* b = state->taps;
    const float* a = state->taps + n;  // a[k] = a_k
    float* z = state->delayLine;
    ops.arBlockFeedForward(x, state->blockWork, blk - n, state->replicatedNumerator, n);
    for (int32_t i = 0; i < n; ++i) ops.arSampleStep(x + i, y + i, state);
    // The feed-forward part of the delays, from inputs still in place (blk - n > 3n).
    for (int32_t j = 0; j < n; ++j) {
        float sum = b[n] * x[blk + j - n];
        for (int32_t m = n - 1; m >= j + 1; --m) sum = sum + b[m] * x[blk + j - m];
        z[j] = sum;
    }
    ops.arBlockFeedback(state->blockWork, y, blk - n, state->feedbackMatrix, n);
    for (int32_t j = 0; j < n; ++j) {
        float sum = z[j];
        for (int32_t m = n; m >= j + 1; --m) sum = sum - a[m] * y[blk + j - m];
        z[j] = sum;
    }
}

void BiquadBlock(const IirSlotOps& ops, const float* x, float* y, int32_t blk, IirState* state) {
    const int32_t sections = state->sectionCount;
    if (blk <= 4 * int64_t{sections}) {
        for (int32_t i = 0; i < blk; ++i) ops.biquadSampleStep(x + i, y + i, state);
        return;
    }
    // Section by section over the whole block: section 0 reads the input, the others rewrite y.
    const float* in = x;
    for (int64_t s = 0; s < sections; ++s) {
        const float* t = state->taps + 5 * s;
        const float b0 = t[0], b1 = t[1], b2 = t[2], a1 = t[3];
        const float* rows = state->feedbackMatrix + 20 * s;
        const float e1 = rows[0], e2 = rows[4];
        float* z = state->delayLine + 2 * s;
        ops.biquadBlockFeedForward(in, state->blockWork, blk - 2, state->replicatedNumerator + 12 * s);
        const float x0 = in[0], x1 = in[1];
        const float y0 = (b0 * x0) + z[0];
        const float y1 = ((z[1] - (a1 * y0)) + (b0 * x1)) + (b1 * x0);
        z[0] = (b2 * in[blk - 2]) + (b1 * in[blk - 1]);
        z[1] = b2 * in[blk - 1];
        y[0] = y0;
        y[1] = y1;
        ops.biquadBlockFeedback(state->blockWork, y, blk - 2, rows);
        z[0] = ((e2 * y[blk - 2]) + (e1 * y[blk - 1])) + z[0];
        z[1] = (e2 * y[blk - 1]) + z[1];
        in = y;
    }
}

}  // namespace

void FilterIirBlocks(const IirSlotOps& ops, const float* src, float* dst, int32_t len, IirState* state) {
    const bool biquad = state->tag == StateIdIirBiquad;
    for (int32_t done = 0; done < len;) {
        const int32_t blk = len - done < IirBlockLimit ? len - done : IirBlockLimit;
        if (biquad) {
            BiquadBlock(ops, src + done, dst + done, blk, state);
        } else {
            ArbitraryBlock(ops, src + done, dst + done, blk, state);
        }
        done += blk;
    }
}
