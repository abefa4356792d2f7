// The multi-rate branch of FilterFir. A call computes whole periods of four-output groups, first
// from the delay line (where the call's first inputs are appended) and then straight from the
// input array, and ends with single outputs whose reads stop at the end of the call's input.
//
// Only each output's order of additions is fixed, so the group loops run several periods side by
// side: the groups of one phase in consecutive periods share their taps and sit one period's
// advance apart, so each tap load serves all of them.
#include <climits>

#include "primitives/core/VectorBasics.h"
#include "primitives/filter/FilterVector.h"
#include "primitives/filter/FirState.h"

namespace {

// Periods computed side by side by the group loops.
constexpr int64_t PERIODS = 8;

// Where a segment reads position p: xbase[p + offset] (the delay line with offset 0, or the
// input array with offset -n).
struct Source {
    const float* xbase;
    int64_t offset;
    const float* At(int64_t position) const { return xbase + (position + offset); }
};

using kvxfilter::Load4;
using kvxfilter::Splat4;
using kvxfilter::Store4;
using kvxfilter::Vec4;

// Mode 1: P periods of one phase. lt holds the phase's q groups of four taps (one lane per output
// of the group); x points at the first period's first position; periods lie S positions and
// outStride outputs apart.
template <int64_t P>
void Mode1Phase(const float* lt, int64_t q, const float* x, int64_t S, float* y, int64_t outStride) {
    Vec4 acc[P];
#pragma GCC unroll 16
    for (int64_t k = 0; k < P; ++k) acc[k] = Splat4(0.0f);
    for (int64_t t = 0; t < q; ++t) {
        const Vec4 tap = Load4(lt + 4 * t);
#pragma GCC unroll 16
        for (int64_t k = 0; k < P; ++k) acc[k] += tap * Splat4(x[k * S + t]);
    }
#pragma GCC unroll 16
    for (int64_t k = 0; k < P; ++k) Store4(y + k * outStride, acc[k]);
}

// Mode 3: as mode 1, but each output of a group has its own first position (start[m], relative
// to x) and n taps.
template <int64_t P>
void Mode3Phase(const float* lt, int64_t n, const float* x, const int64_t start[4], int64_t S, float* y,
                int64_t outStride) {
    Vec4 acc[P];
#pragma GCC unroll 16
    for (int64_t k = 0; k < P; ++k) acc[k] = Splat4(0.0f);
    const float* x0 = x + start[0];
    const float* x1 = x + start[1];
    const float* x2 = x + start[2];
    const float* x3 = x + start[3];
    for (int64_t i = 0; i < n; ++i) {
        const Vec4 tap = Load4(lt + 4 * i);
#pragma GCC unroll 16
        for (int64_t k = 0; k < P; ++k) {
            const int64_t at = k * S + i;
            acc[k] += tap * Vec4{x0[at], x1[at], x2[at], x3[at]};
        }
    }
#pragma GCC unroll 16
    for (int64_t k = 0; k < P; ++k) Store4(y + k * outStride, acc[k]);
}

// Mode 2: 4 * Lanes consecutive outputs, s positions apart, all on the same n taps (every fourth
// float of lt).
template <int64_t Lanes>
void Mode2Block(const float* lt, int64_t n, const float* x, int64_t s, float* y) {
    Vec4 acc[Lanes];
#pragma GCC unroll 16
    for (int64_t v = 0; v < Lanes; ++v) acc[v] = Splat4(0.0f);
    for (int64_t i = 0; i < n; ++i) {
        const Vec4 tap = Splat4(lt[4 * i]);
#pragma GCC unroll 16
        for (int64_t v = 0; v < Lanes; ++v) {
            const float* xv = x + 4 * v * s + i;
            acc[v] += tap * Vec4{xv[0], xv[s], xv[2 * s], xv[3 * s]};
        }
    }
#pragma GCC unroll 16
    for (int64_t v = 0; v < Lanes; ++v) Store4(y + 4 * v, acc[v]);
}

// One mode 2 output.
float Mode2One(const float* lt, int64_t n, const float* x) {
    float sum = 0.0f;
    for (int64_t i = 0; i < n; ++i) sum += lt[4 * i] * x[i];
    return sum;
}

class MultiRateRun {
public:
    explicit MultiRateRun(const FirState* state)
        : m_U(state->upFactor),
          m_n(state->delayLen),
          m_mode(state->mode),
          m_table(state->phaseTable),
          m_lt(state->laneTaps) {
        if (m_mode == 1) {
            m_q = state->groupTaps;
            for (int64_t j = 0; j <= m_U; ++j) m_periodAdvance += m_table[j];
        } else if (m_mode == 3) {
            m_periodAdvance = m_table[4 * m_U];
        } else {
            m_base = m_table[0];
            m_stride = int64_t{m_table[1]} - m_table[0];
        }
    }

    // Whole periods in groups, reading src.
    void Groups(const Source& src, int64_t periods, float* dst) {
        if (m_mode == 2) {
            int64_t count = periods * 4 * m_U;
            int64_t done = 0;
            for (; done + 8 <= count; done += 8) Mode2Block<2>(m_lt, m_n, Mode2At(src, done), m_stride, dst + done);
            for (; done + 4 <= count; done += 4) Mode2Block<1>(m_lt, m_n, Mode2At(src, done), m_stride, dst + done);
            for (; done < count; ++done) dst[done] = Mode2One(m_lt, m_n, Mode2At(src, done));
            m_output += count;
            return;
        }
        const int64_t outStride = 4 * m_U;
        while (periods > 0) {
            const int64_t P = periods >= PERIODS ? PERIODS : 1;
            int64_t position = m_periodBase;
            for (int64_t j = 0; j < m_U; ++j) {
                float* y = dst + 4 * j;
                if (m_mode == 1) {
                    position += m_table[j];
                    const float* lt = m_lt + 4 * j * m_q;
                    if (P == PERIODS) {
                        Mode1Phase<PERIODS>(lt, m_q, src.At(position), m_periodAdvance, y, outStride);
                    } else {
                        Mode1Phase<1>(lt, m_q, src.At(position), m_periodAdvance, y, outStride);
                    }
                } else {
                    int64_t start[4];
                    int64_t first = INT64_MAX;
                    for (int64_t m = 0; m < 4; ++m) {
                        start[m] = m_periodBase + m_table[4 * j + m];
                        if (start[m] < first) first = start[m];
                    }
                    for (int64_t m = 0; m < 4; ++m) start[m] -= first;
                    const float* lt = m_lt + 4 * j * m_n;
                    if (P == PERIODS) {
                        Mode3Phase<PERIODS>(lt, m_n, src.At(first), start, m_periodAdvance, y, outStride);
                    } else {
                        Mode3Phase<1>(lt, m_n, src.At(first), start, m_periodAdvance, y, outStride);
                    }
                }
            }
            m_periodBase += P * m_periodAdvance;
            dst += P * outStride;
            periods -= P;
            m_output += P * outStride;
        }
    }

    // Single outputs from the start of a period; modes 1 and 3 stop each sum at the position
    // `end`, past which only zero taps would meet the call's last inputs.
    void Tail(const Source& src, int64_t count, int64_t end, float* dst) {
        if (m_mode == 2) {
            for (int64_t k = 0; k < count; ++k) dst[k] = Mode2One(m_lt, m_n, Mode2At(src, k));
            m_output += count;
            return;
        }
        int64_t position = m_periodBase;
        int64_t j = 0;
        for (int64_t k = 0; k < count; ++k) {
            const int64_t m = k % 4;
            if (m == 0 && k > 0) {
                if (++j == m_U) {
                    j = 0;
                    m_periodBase += m_periodAdvance;
                    position = m_periodBase;
                }
            }
            float sum = 0.0f;
            if (m_mode == 1) {
                if (m == 0) position += m_table[j];
                const float* lt = m_lt + 4 * j * m_q;
                for (int64_t t = 0; t < m_q && position + t < end; ++t) sum += lt[4 * t + m] * *src.At(position + t);
            } else {
                const int64_t start = m_periodBase + m_table[4 * j + m];
                const float* lt = m_lt + 4 * j * m_n;
                for (int64_t i = 0; i < m_n && start + i < end; ++i) sum += lt[4 * i + m] * *src.At(start + i);
            }
            dst[k] = sum;
        }
        m_output += count;
    }

private:
    const float* Mode2At(const Source& src, int64_t k) const {
        return src.At(m_base + (m_output + k) * m_stride);
    }

    int64_t m_U;
    int64_t m_n;
    int32_t m_mode;
    const int32_t* m_table;
    const float* m_lt;
    int64_t m_q = 0;
    int64_t m_periodAdvance = 0;
    int64_t m_periodBase = 0;  // modes 1 and 3: the running position at the start of a period
    int64_t m_base = 0;        // mode 2: first position of output 0, and the step per output
    int64_t m_stride = 0;
    int64_t m_output = 0;      // outputs of the call so far
};

}  // namespace

PrimitiveStatus FilterMultiRateFir(FirState* state, const float* src, float* dst, int32_t numIters) {
    if (state->mode < 1 || state->mode > 3) return StatusContextMismatch;
    const int64_t U = state->upFactor;
    const int64_t I = int64_t{state->downFactor} * numIters;
    const int64_t O = U * numIters;
    // Counts the 32-bit interface cannot express; nothing is written.
    if (I > INT32_MAX || O > INT32_MAX) return StatusSizeError;

    const int64_t n = state->delayLen;
    const int64_t g = state->delayInputCount;
    const int64_t Lx = state->delayOutputCount;
    float* line = state->delayLine;
    const int64_t period = 4 * U;
    MultiRateRun run(state);
    const Source fromLine{line, 0};

    if (I > g) {
        CopyBytes(src, line + n, 4 * g);
        run.Groups(fromLine, Lx / period, dst);
        CopyBytes(src + (I - n), line, 4 * n);
        const int64_t R = O - Lx;
        int64_t tail = R % period;
        int64_t body = R - tail;
        if (body > 0) {
            body -= period;
            tail += period;
        }
        const Source fromInput{src, -n};
        run.Groups(fromInput, body / period, dst + Lx);
        run.Tail(fromInput, tail, n + I, dst + Lx + body);
    } else {
        CopyBytes(src, line + n, 4 * I);
        const int64_t whole = O - O % period;
        run.Groups(fromLine, whole / period, dst);
        run.Tail(fromLine, O - whole, n + I, dst + whole);
        MoveFloatGeneric(line + I, line, static_cast<int32_t>(n));
    }
    return StatusOk;
}
