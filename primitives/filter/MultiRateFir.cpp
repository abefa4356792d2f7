// Multi-rate FIR states in caller memory: the mode rule, the polyphase layouts of the three modes,
// their sizes, and the filter that FilterFir hands a multi-rate state to.
//
// The raised-rate signal carries input s at position s * up + upPhase; output i is the filtered
// raised-rate signal at i * down + downPhase. Outputs come in groups of four; up groups (a period)
// consume 4 * down inputs. Every size, count and position is formed in 64 bits: up, down and the
// tap count come from the caller, and their products wrap 32 bits well within their ranges.
#include <climits>

#include "primitives/core/VectorBasics.h"
#include "primitives/filter/FilterSlot.h"
#include "primitives/filter/FirState.h"

namespace {

int64_t Up16(int64_t bytes) { return (bytes + 15) & ~int64_t{15}; }

uint8_t* AlignUp16(uint8_t* p) {
    return reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(p) + 15) & ~uintptr_t{15});
}

// The derived integers of a state (see the layout below).
struct Geometry {
    int64_t L, U, D;
    int64_t n;   // history length: the most taps that meet one output
    int64_t e;   // raised-rate span of one group, a multiple of U
    int64_t q;   // taps per lane of a mode 1 group
    int64_t g;   // inputs a long call copies into the delay line
    int64_t Lx;  // outputs a long call computes from the delay line
    int32_t mode;
    int64_t tapsBytes, laneBytes, phaseBytes, delayBytes, workBytes;
    int64_t size;  // block bytes, 16 of them for rounding the buffer address up
};

Geometry MakeGeometry(int32_t tapsLen, int32_t up, int32_t down, int32_t mode) {
    Geometry G{};
    G.L = tapsLen;
    G.U = up;
    G.D = down;
    G.mode = mode;
    G.n = (G.L + G.U - 1) / G.U;
    G.e = (G.L + 3 * G.D + G.U - 1) / G.U * G.U;
    G.q = G.e / G.U;
    const int64_t base = mode == 1 ? G.q : G.n;
    G.g = (base / (4 * G.D) + 1) * (4 * G.D) + 1;
    G.Lx = G.U * ((G.n + G.D - 1) / G.D);
    while (G.Lx % (4 * G.U) != 0) {
        G.Lx += G.U;
        G.g += G.D;
    }
    G.tapsBytes = Up16(4 * G.L);
    G.laneBytes = 16 * G.e;
    G.phaseBytes = mode == 1 ? (4 * G.U + 19) & ~int64_t{15} : (16 * G.U + 19) & ~int64_t{15};
    G.delayBytes = (4 * (G.n + G.g) + 19) & ~int64_t{15};
    const int64_t workEntries = mode == 1 ? 4 * G.e : 8 * G.e;
    G.workBytes = 4 * (workEntries > 4096 ? workEntries : 4096);
    G.size = G.tapsBytes + G.laneBytes + G.phaseBytes + G.delayBytes + G.workBytes + 176;
    return G;
}

// The phase walk: for phase j = 0..U (U being the next period's first group), A is the first
// position the phase-j group of the first period reads and p the raised-rate offset, within the
// group's span, of the first position that carries an input.
class PhaseWalk {
public:
    PhaseWalk(const Geometry& G, int32_t upPhase, int32_t downPhase) : m_G(G), m_downPhase(downPhase) {
        const int64_t P = upPhase + (G.L - 1) % G.U;
        if (P < G.U) {
            m_A = 1;
            m_C = P;
        } else {
            m_A = 0;
            m_C = P - G.U;
        }
    }
    // Advances to phase j (called for j = 0, 1, ..., U in order).
    void Step(int64_t j) {
        const int64_t Dj = m_downPhase + 4 * m_G.D * j;
        if (m_C < Dj) {
            const int64_t steps = (Dj - m_C + m_G.U - 1) / m_G.U;
            m_C += steps * m_G.U;
            m_A += steps;
        }
        A = m_A;
        p = m_C - Dj;
    }
    int64_t A = 0;
    int64_t p = 0;

private:
    const Geometry& m_G;
    int64_t m_downPhase;
    int64_t m_A;
    int64_t m_C;
};

// Reversed tap at position pos of lane m (lane m holds the reversed taps from m * D on), or -1
// where the lane is empty.
int64_t LaneTapIndex(const Geometry& G, int64_t m, int64_t pos) {
    const int64_t i = pos - m * G.D;
    return i >= 0 && i < G.L ? G.L - 1 - i : -1;
}

// The header and the areas shared by every mode; returns the state, with `laneTaps`,
// `phaseTable`, `delayLine` and `workArea` pointed at their areas.
MultiRateFirState* LayOut(const FirSlotOps& ops, const Geometry& G, const float* taps, int32_t upPhase,
                          int32_t downPhase, const float* delay, uint8_t* buffer, uint32_t tag) {
    uint8_t* base = AlignUp16(buffer);
    auto* state = reinterpret_cast<MultiRateFirState*>(base);
    uint8_t* p = base + FIR_HEADER_BYTES;
    state->reversedTaps = reinterpret_cast<float*>(p);
    p += G.tapsBytes;
    state->laneTaps = reinterpret_cast<float*>(p);
    p += G.laneBytes;
    state->phaseTable = reinterpret_cast<int32_t*>(p);
    p += G.phaseBytes;
    state->delayLine = reinterpret_cast<float*>(p);
    p += G.delayBytes;
    state->workArea = p;

    state->tag = tag;
    state->builderSlot = static_cast<uint32_t>(ops.slot);
    state->tapsLen = static_cast<int32_t>(G.L);
    state->upFactor = static_cast<int32_t>(G.U);
    state->downFactor = static_cast<int32_t>(G.D);
    state->upPhase = upPhase;
    state->downPhase = downPhase;
    state->delayLen = static_cast<int32_t>(G.n);
    state->delayInputCount = static_cast<int32_t>(G.g);
    state->delayOutputCount = static_cast<int32_t>(G.Lx);
    state->mode = G.mode;
    state->fftSpec = nullptr;
    state->tapsSpectrum = nullptr;
    state->fftLen = -1;
    state->delayIndex = 0;
    state->owned = 0;

    for (int64_t j = 0; j < G.L; ++j) state->reversedTaps[j] = taps[G.L - 1 - j];
    // Both counts fit 32 bits: the caller has checked that the whole block does.
    ops.zeroFloat(state->laneTaps, static_cast<int32_t>(4 * G.e));
    ops.zeroFloat(state->delayLine, static_cast<int32_t>(G.n + G.g + 1));
    if (delay != nullptr) {
        for (int64_t k = 0; k < G.n; ++k) state->delayLine[k] = delay[G.n - 1 - k];
    }
    return state;
}

bool SizeFits(const Geometry& G) { return G.size <= INT32_MAX; }

}  // namespace

int32_t MultiRateFirMode(int32_t tapsLen, int32_t up, int32_t down) {
    // The ratio is formed in single precision, and its rounding decides the boundary cases.
    const float r = static_cast<float>(tapsLen) / static_cast<float>(int64_t{tapsLen} + 3 * int64_t{down});
    if (up == 1) return r > 0.5f ? 1 : 2;
    return static_cast<double>(r) > 0.3 ? 1 : 3;
}

PrimitiveStatus ComputeMultiRateFirStateSizeMode1(int32_t tapsLen, int32_t up, int32_t down, int32_t* pSize) {
    const Geometry G = MakeGeometry(tapsLen, up, down, 1);
    if (!SizeFits(G)) return StatusFirLengthError;
    *pSize = static_cast<int32_t>(G.size);
    return StatusOk;
}

PrimitiveStatus ComputeMultiRateFirStateSizeMode23(int32_t tapsLen, int32_t up, int32_t down, int32_t* pSize) {
    const Geometry G = MakeGeometry(tapsLen, up, down, up == 1 ? 2 : 3);
    if (!SizeFits(G)) return StatusFirLengthError;
    *pSize = static_cast<int32_t>(G.size);
    return StatusOk;
}

MultiRateFirState* BuildMultiRateFirStateMode1For(const FirSlotOps& ops, const float* taps, int32_t tapsLen,
                                                  int32_t up, int32_t upPhase, int32_t down, int32_t downPhase,
                                                  const float* delay, PrimitiveStatus* pStatus, uint8_t* buffer,
                                                  uint32_t tag) {
    const Geometry G = MakeGeometry(tapsLen, up, down, 1);
    MultiRateFirState* state = LayOut(ops, G, taps, upPhase, downPhase, delay, buffer, tag);
    state->mode = 1;
    state->groupTaps = static_cast<int32_t>(G.q);

    // Phase j's q groups of four: float 4(jq + t) + m is lane m at raised offset p_j + tU.
    PhaseWalk walk(G, upPhase, downPhase);
    int64_t A0 = 0;
    int64_t Aprev = 0;
    for (int64_t j = 0; j <= G.U; ++j) {
        walk.Step(j);
        if (j == G.U) {
            state->phaseTable[G.U] = static_cast<int32_t>(walk.A - A0 - Aprev);
            break;
        }
        state->phaseTable[j] = static_cast<int32_t>(j == 0 ? walk.A : walk.A - Aprev);
        if (j == 0) A0 = walk.A;
        Aprev = walk.A;
        float* group = state->laneTaps + 4 * j * G.q;
        for (int64_t t = 0; t < G.q; ++t) {
            for (int64_t m = 0; m < 4; ++m) {
                const int64_t x = LaneTapIndex(G, m, walk.p + t * G.U);
                group[4 * t + m] = x >= 0 ? taps[x] : 0.0f;
            }
        }
    }
    *pStatus = StatusOk;
    return state;
}

MultiRateFirState* BuildMultiRateFirStateMode23For(const FirSlotOps& ops, const float* taps, int32_t tapsLen,
                                                   int32_t up, int32_t upPhase, int32_t down, int32_t downPhase,
                                                   const float* delay, PrimitiveStatus* pStatus, uint8_t* buffer,
                                                   uint32_t tag) {
    const Geometry G = MakeGeometry(tapsLen, up, down, up == 1 ? 2 : 3);
    MultiRateFirState* state = LayOut(ops, G, taps, upPhase, downPhase, delay, buffer, tag);
    // Slot 0 interleaves the four outputs' taps; slots 1 to 3 keep each output's n taps as a run.
    const bool lanesApart = ops.slot != 0;
    if (lanesApart) state->groupTaps = static_cast<int32_t>(G.n);
    int32_t* table = state->phaseTable;
    FillInt32(-1, table, static_cast<int32_t>(4 * G.U));

    // Output m of a phase-j group: the taps that meet it, in order, from its first position on.
    PhaseWalk walk(G, upPhase, downPhase);
    for (int64_t j = 0; j <= G.U; ++j) {
        walk.Step(j);
        if (j == G.U) break;
        for (int64_t m = 0; m < 4; ++m) {
            int64_t count = 0;
            for (int64_t t = 0; walk.p + t * G.U < G.e; ++t) {
                const int64_t x = LaneTapIndex(G, m, walk.p + t * G.U);
                if (x < 0) continue;
                if (count == 0) table[4 * j + m] = static_cast<int32_t>(walk.A + t);
                const int64_t at = lanesApart ? (4 * j + m) * G.n + count : 4 * (j * G.n + count) + m;
                state->laneTaps[at] = taps[x];
                ++count;
            }
        }
    }
    // The walk's A_0 and A_U again, for the entries no tap fills.
    PhaseWalk again(G, upPhase, downPhase);
    again.Step(0);
    const int64_t A0 = again.A;
    for (int64_t j = 1; j <= G.U; ++j) again.Step(j);
    const int64_t AU = again.A;
    if (table[0] == -1) table[0] = static_cast<int32_t>(A0);
    table[4 * G.U] = static_cast<int32_t>(AU - table[0]);
    for (int64_t k = 1; k < 4 * G.U; ++k) {
        if (table[k] == -1) table[k] = table[k - 1];
    }
    *pStatus = StatusOk;
    return state;
}

MultiRateFirState* BuildMultiRateFirStateMode1(const float* taps, int32_t tapsLen, int32_t up, int32_t upPhase,
                                               int32_t down, int32_t downPhase, const float* delay,
                                               PrimitiveStatus* pStatus, uint8_t* buffer, uint32_t tag) {
    return BuildMultiRateFirStateMode1For(GenericFirSlot, taps, tapsLen, up, upPhase, down, downPhase, delay, pStatus,
                                          buffer, tag);
}

MultiRateFirState* BuildMultiRateFirStateMode23(const float* taps, int32_t tapsLen, int32_t up, int32_t upPhase,
                                                int32_t down, int32_t downPhase, const float* delay,
                                                PrimitiveStatus* pStatus, uint8_t* buffer, uint32_t tag) {
    return BuildMultiRateFirStateMode23For(GenericFirSlot, taps, tapsLen, up, upPhase, down, downPhase, delay,
                                           pStatus, buffer, tag);
}

PrimitiveStatus InitMultiRateFirStateFor(const FirSlotOps& ops, MultiRateFirState** ppState, const float* taps,
                                         int32_t tapsLen, int32_t up, int32_t upPhase, int32_t down,
                                         int32_t downPhase, const float* delay, uint8_t* buffer) {
    if (ppState == nullptr || taps == nullptr || buffer == nullptr) return StatusNullPointer;
    if (tapsLen <= 0) return StatusFirLengthError;
    if (up <= 0 || down <= 0) return StatusMultiRateFactorError;
    if (upPhase < 0 || upPhase >= up || downPhase < 0 || downPhase >= down) return StatusMultiRatePhaseError;
    if (up == 1 && down == 1) {
        FirState* single = nullptr;
        const PrimitiveStatus status = InitFirStateFor(ops, &single, taps, tapsLen, delay, buffer);
        if (status == StatusOk) *ppState = static_cast<MultiRateFirState*>(single);
        return status;
    }
    const int32_t mode = MultiRateFirMode(tapsLen, up, down);
    if (!SizeFits(MakeGeometry(tapsLen, up, down, mode))) return StatusFirLengthError;
    PrimitiveStatus status = StatusOk;
    *ppState = mode == 1 ? BuildMultiRateFirStateMode1For(ops, taps, tapsLen, up, upPhase, down, downPhase, delay,
                                                          &status, buffer, StateIdMultiRateFir)
                         : BuildMultiRateFirStateMode23For(ops, taps, tapsLen, up, upPhase, down, downPhase, delay,
                                                           &status, buffer, StateIdMultiRateFir);
    return status;
}

PrimitiveStatus InitMultiRateFirStateGeneric(MultiRateFirState** ppState, const float* taps, int32_t tapsLen,
                                             int32_t up, int32_t upPhase, int32_t down, int32_t downPhase,
                                             const float* delay, uint8_t* buffer) {
    return InitMultiRateFirStateFor(GenericFirSlot, ppState, taps, tapsLen, up, upPhase, down, downPhase, delay,
                                    buffer);
}

// Every slot's multi-rate layouts have the same sizes; only the single-rate case differs.
PrimitiveStatus GetMultiRateFirStateSizeFor(const FirSlotOps& ops, int32_t tapsLen, int32_t up, int32_t down,
                                            int32_t* pSize) {
    if (pSize == nullptr) return StatusNullPointer;
    if (tapsLen <= 0) return StatusFirLengthError;
    if (up <= 0 || down <= 0) return StatusMultiRateFactorError;
    if (up == 1 && down == 1) return GetFirStateSizeFor(ops, tapsLen, pSize);
    return MultiRateFirMode(tapsLen, up, down) == 1 ? ComputeMultiRateFirStateSizeMode1(tapsLen, up, down, pSize)
                                                    : ComputeMultiRateFirStateSizeMode23(tapsLen, up, down, pSize);
}

PrimitiveStatus GetMultiRateFirStateSizeGeneric(int32_t tapsLen, int32_t up, int32_t down, int32_t* pSize) {
    return GetMultiRateFirStateSizeFor(GenericFirSlot, tapsLen, up, down, pSize);
}
