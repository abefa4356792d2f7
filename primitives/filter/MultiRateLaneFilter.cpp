// The multi-rate branch of FilterFir in slots 1 to 3: the same calls, segments and delay-line
// handling as slot 0, with the groups of every whole period handed to the slot's kernel of the
// state's mode and the single outputs of the tail computed here, on the slot's tap layouts (mode
// 1 interleaved as in slot 0, modes 2 and 3 one run of n taps per output position).
#include <climits>

#include "primitives/filter/FilterSlot.h"

namespace {

// The sums of the slots' group kernels for one output, with every term past the position end
// taken as 0: a tail output equals the group output it stands for, so that a stream cut into
// calls anywhere gives the bits of one call.
//
// Mode 1, lane m of a group: eight products per step as ((p0 + p1) + (p2 + p3)) and
// ((p4 + p5) + (p6 + p7)), then four, then the last ones singly.
float Mode1Sum(const float* lt, int64_t m, int64_t c, const float* x, int64_t position, int64_t end) {
    auto p = [&](int64_t t) { return position + t < end ? lt[4 * t + m] * x[position + t] : 0.0f; };
    auto four = [&](int64_t t) { return (p(t) + p(t + 1)) + (p(t + 2) + p(t + 3)); };
    float acc = 0.0f;
    int64_t t = 0;
    for (; t + 8 <= c; t += 8) {
        acc = acc + four(t);
        acc = acc + four(t + 4);
    }
    if (t + 4 <= c) {
        acc = acc + four(t);
        t += 4;
    }
    for (; t < c; ++t) acc = acc + p(t);
    return acc;
}

// Modes 2 and 3: from four taps on, four partial sums (taps four at a time, then two, then one)
// added as (q0 + q2) + (q1 + q3); below four, the taps in order.
float RunSum(const float* run, int64_t c, const float* x, int64_t position, int64_t end) {
    auto p = [&](int64_t i) { return position + i < end ? run[i] * x[position + i] : 0.0f; };
    if (c < 4) {
        float sum = 0.0f;
        for (int64_t i = 0; i < c; ++i) sum = sum + p(i);
        return sum;
    }
    float q[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    int64_t i = 0;
    for (; i + 4 <= c; i += 4) {
        for (int64_t l = 0; l < 4; ++l) q[l] = q[l] + p(i + l);
    }
    if (i + 2 <= c) {
        q[0] = q[0] + p(i);
        q[1] = q[1] + p(i + 1);
        i += 2;
    }
    if (i < c) q[0] = q[0] + p(i);
    return (q[0] + q[2]) + (q[1] + q[3]);
}

class LaneRun {
public:
    LaneRun(const FirSlotOps& ops, const FirState* state)
        : m_ops(ops),
          m_U(state->upFactor),
          m_n(state->delayLen),
          m_mode(state->mode),
          m_table(state->phaseTable),
          m_lt(state->laneTaps),
          m_q(state->groupTaps) {
        if (m_mode == 1) {
            for (int64_t j = 0; j <= m_U; ++j) m_periodAdvance += m_table[j];
        } else if (m_mode == 3) {
            m_periodAdvance = m_table[4 * m_U];
        } else {
            m_base = m_table[0];
            m_stride = int64_t{m_table[1]} - m_table[0];
        }
    }

    // count outputs (whole periods) in groups; samples[p + shift] is position p.
    void Groups(const float* samples, int64_t shift, int64_t count, float* dst) {
        if (count == 0) return;
        const auto n = static_cast<int32_t>(count);
        switch (m_mode) {
        case 1:
            m_ops.multiRateMode1(m_lt, samples, dst, n, m_table, m_table + m_U,
                                 static_cast<int32_t>(m_periodBase + shift), static_cast<int32_t>(m_q));
            m_periodBase += count / (4 * m_U) * m_periodAdvance;
            break;
        case 2:
            m_ops.multiRateMode2(m_lt, samples, dst, n, static_cast<int32_t>(m_base + m_output * m_stride + shift),
                                 static_cast<int32_t>(m_n), static_cast<int32_t>(m_stride));
            break;
        default:
            m_ops.multiRateMode3(m_lt, samples, dst, n, m_table, m_table + 4 * m_U,
                                 static_cast<int32_t>(m_periodBase + shift), static_cast<int32_t>(m_n));
            m_periodBase += count / (4 * m_U) * m_periodAdvance;
            break;
        }
        m_output += count;
    }

    // Single outputs from the start of a period; modes 1 and 3 stop each sum at the position end,
    // past which only zero taps would meet the call's last inputs.
    void Tail(const float* samples, int64_t shift, int64_t count, int64_t end, float* dst) {
        // x[p] is position p; the positions read stay at or above -shift.
        const float* x = samples + shift;
        int64_t position = m_periodBase;
        int64_t j = 0;
        for (int64_t k = 0; k < count; ++k) {
            const int64_t m = k % 4;
            if (m == 0 && k > 0 && ++j == m_U) {
                j = 0;
                m_periodBase += m_periodAdvance;
                position = m_periodBase;
            }
            float sum;
            if (m_mode == 1) {
                if (m == 0) position += m_table[j];
                sum = Mode1Sum(m_lt + 4 * j * m_q, m, m_q, x, position, end);
            } else if (m_mode == 3) {
                sum = RunSum(m_lt + (4 * j + m) * m_n, m_n, x, m_periodBase + m_table[4 * j + m], end);
            } else {
                // Mode 2 needs no bound: its windows end within the call's input.
                sum = RunSum(m_lt, m_n, x, m_base + (m_output + k) * m_stride, INT64_MAX);
            }
            dst[k] = sum;
        }
        m_output += count;
    }

private:
    const FirSlotOps& m_ops;
    int64_t m_U;
    int64_t m_n;
    int32_t m_mode;
    const int32_t* m_table;
    const float* m_lt;
    int64_t m_q;
    int64_t m_periodAdvance = 0;
    int64_t m_periodBase = 0;  // modes 1 and 3: the running position at the start of a period
    int64_t m_base = 0;        // mode 2: first position of output 0, and the step per output
    int64_t m_stride = 0;
    int64_t m_output = 0;      // outputs of the call so far
};

}  // namespace

PrimitiveStatus FilterMultiRateFirLanes(const FirSlotOps& ops, FirState* state, const float* src, float* dst,
                                        int32_t numIters) {
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
    LaneRun run(ops, state);

    if (I > g) {
        ops.copyFloat(src, line + n, static_cast<int32_t>(g));
        run.Groups(line, 0, Lx, dst);
        ops.copyFloat(src + (I - n), line, static_cast<int32_t>(n));
        const int64_t R = O - Lx;
        int64_t tail = R % period;
        int64_t body = R - tail;
        if (body > 0) {
            body -= period;
            tail += period;
        }
        run.Groups(src, -n, body, dst + Lx);
        run.Tail(src, -n, tail, n + I, dst + Lx + body);
    } else {
        ops.copyFloat(src, line + n, static_cast<int32_t>(I));
        const int64_t whole = O - O % period;
        run.Groups(line, 0, whole, dst);
        run.Tail(line, 0, O - whole, n + I, dst + whole);
        ops.moveFloat(line + I, line, static_cast<int32_t>(n));
    }
    return StatusOk;
}
