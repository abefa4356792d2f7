// Internal kernels and table builders of the FFT family. They test no argument: the entry points
// validate the specification first, and a specification built for an order guarantees that every
// table has the size these routines read.
#pragma once

#include <cmath>
#include <cstdint>

#include "primitives/core/Memory.h"
#include "primitives/fft/FftSpec.h"

namespace kvxfft {

constexpr int32_t RADIX_MAX_ORDER = 10;      // the radix passes handle at most 1024 points
constexpr int32_t LARGE_MIN_ORDER = 11;      // complex orders from here run the large-order path
constexpr int32_t COMBINE_BLOCKING = 256;    // butterfly grouping of the combining stages

inline uintptr_t Up32(uintptr_t x) { return (x + 31u) & ~static_cast<uintptr_t>(31u); }
inline uint8_t* AlignUp32(uint8_t* p) { return reinterpret_cast<uint8_t*>(Up32(reinterpret_cast<uintptr_t>(p))); }

// A table of sines S of order T: S[k] = sin(2*pi*k/2^T), k = 0..2^T/4. A table of order q <= T
// reads it with the stride 2^(T-q).
struct SineSource {
    const float* S;
    int32_t T;
};

// x with its `bits` low bits reversed.
inline uint32_t ReverseBits(uint32_t x, int32_t bits) {
    uint32_t r = 0;
    for (int32_t i = 0; i < bits; ++i) {
        r = (r << 1) | (x & 1u);
        x >>= 1;
    }
    return r;
}

// Negation as 0 minus the entry, so that a zero entry gives +0.
inline float NegatedEntry(float v) { return 0.0f - v; }

// e^(-2 pi i t / 2^q) for 0 <= t < 2^q by quadrant folding of the sine source (q <= sine.T): every
// part is plus or minus one entry.
inline FftComplex FoldedTwiddle(SineSource sine, int32_t q, int64_t t) {
    const int64_t n = int64_t{1} << q;
    const int64_t d = int64_t{1} << (sine.T - q);
    const float* S = sine.S;
    if (t <= n / 4) return {S[(n / 4 - t) * d], NegatedEntry(S[t * d])};
    if (t <= n / 2) return {NegatedEntry(S[(t - n / 4) * d]), NegatedEntry(S[(n / 2 - t) * d])};
    if (t <= 3 * n / 4) return {NegatedEntry(S[(3 * n / 4 - t) * d]), S[(t - n / 2) * d]};
    return {S[(t - 3 * n / 4) * d], S[(n - t) * d]};
}

// The sine table of order p > 10: N/4 + 1 floats, N = 2^p, sines up to N/8 and cosines above,
// both from the C runtime in double precision, each rounded to float.
inline void FillQuarterSineTable(float* dst, int32_t order) {
    const int64_t N = int64_t{1} << order;
    const double delta = 6.283185307179586 / static_cast<double>(N);
    for (int64_t k = 0; k <= N / 8; ++k) dst[k] = static_cast<float>(std::sin(static_cast<double>(k) * delta));
    for (int64_t k = N / 8 + 1; k <= N / 4; ++k)
        dst[k] = static_cast<float>(std::cos(static_cast<double>(N / 4 - k) * delta));
}

// The bit-reverse pair table of order m >= 2: b + 1 int32 values, b = 2^(m-2).
inline void FillBitReversePairTable(int32_t* dst, int32_t m) {
    if (m < 2) return;
    const int32_t bits = m - 2;
    const int32_t b = 1 << bits;
    int32_t front = 0;
    int32_t back = b - 1;
    for (int32_t k = 1; k < b; ++k) {
        const int32_t r = static_cast<int32_t>(ReverseBits(static_cast<uint32_t>(k), bits));
        if (k < r) {
            dst[front++] = 4 * k;
            dst[front++] = 4 * r;
        } else if (k == r) {
            dst[back--] = 4 * k;
        }
    }
    dst[front] = 0;
    dst[b] = 0;
}

// Entry i of the recombination tables of real order p (i < N/4): (0.5 cos, 0.5 - 0.5 sin) of
// 2 pi i / N forward, the former in single and the latter in double precision; (cos, -sin)
// inverse.
inline FftComplex ForwardRecombination(SineSource sine, int32_t p, int64_t i) {
    const int64_t quarter = (int64_t{1} << p) / 4;
    const int64_t d = int64_t{1} << (sine.T - p);
    return {0.5f * sine.S[(quarter - i) * d], static_cast<float>(0.5 - 0.5 * static_cast<double>(sine.S[i * d]))};
}
inline FftComplex InverseRecombination(SineSource sine, int32_t p, int64_t i) {
    const int64_t quarter = (int64_t{1} << p) / 4;
    const int64_t d = int64_t{1} << (sine.T - p);
    return {sine.S[(quarter - i) * d], NegatedEntry(sine.S[i * d])};
}

// ---- work buffer of a transform ----
// The caller's work buffer rounded up to 32 bytes, or a block of this call; none when the
// specification needs none.
class WorkBuffer {
public:
    PrimitiveStatus Acquire(const FftSpec* spec, uint8_t* caller) {
        if (spec->workBytes <= 0) return StatusOk;
        if (caller != nullptr) {
            m_pWork = AlignUp32(caller);
            return StatusOk;
        }
        m_pOwned = AllocateAligned(spec->workBytes);
        if (m_pOwned == nullptr) return StatusNoMemory;
        m_pWork = static_cast<uint8_t*>(m_pOwned);
        return StatusOk;
    }
    ~WorkBuffer() { FreeAlignedGeneric(m_pOwned); }
    uint8_t* Get() const { return m_pWork; }

private:
    uint8_t* m_pWork = nullptr;
    void* m_pOwned = nullptr;
};

// ---- tables ----
void BuildQuarterSineTable(float* dst, int32_t order);
// b + 1 int32 values, b = 2^(m-2); nothing is written for m < 2.
void BuildBitReversePairTable(int32_t* dst, int32_t m);
// (n/4 + 1) entries of six floats: w^l, w^2l, w^3l, w = e^(-2*pi*i/n). Returns the end.
uint8_t* BuildTwiddleTable(uint8_t* dst, int32_t m, SineSource sine);
// Returns the end of the table.
uint8_t* BuildRealForwardTable(uint8_t* dst, int32_t p, SineSource sine);
uint8_t* BuildRealInverseTable(uint8_t* dst, int32_t p, SineSource sine);
// Builds the large-order tables of complex order m at dst (32-byte aligned) and returns their end.
uint8_t* BuildLargeFftTables(FftSpec* spec, uint8_t* dst, int32_t m, SineSource sine);
// Sizes in bytes (spec, init, work) of the large-order part of complex order m, in 64 bits.
void GetLargeFftSize(int32_t m, int64_t sizes[3]);

// ---- kernels ----
void BitReverseCopy(const FftComplex* src, FftComplex* dst, int32_t n, const int32_t* pairTable);
void BitReverseInPlace(FftComplex* data, int32_t n, const int32_t* pairTable);
void Radix4ForwardPass(FftComplex* data, int32_t n, const float* twiddles);
void Radix4InversePass(FftComplex* data, int32_t n, const float* twiddles);
// A radix pass split after its first stage(s), so that these run in the same pass over the data
// as the bit reversal: the bit reversal of all n points (in place when src is dst) together with
// the first stages of radix passes of `piece` points (n >= piece, W their twiddle table), then
// the later stages of each piece. The results are those of the bit reversal followed by the
// full passes.
void BitReverseFirstStagesForward(const FftComplex* src, FftComplex* dst, int32_t n, int32_t piece,
                                  const int32_t* pairTable, const float* W);
void BitReverseFirstStagesInverse(const FftComplex* src, FftComplex* dst, int32_t n, int32_t piece,
                                  const int32_t* pairTable, const float* W);
void Radix4ForwardLaterStages(FftComplex* data, int32_t n, const float* twiddles);
void Radix4InverseLaterStages(FftComplex* data, int32_t n, const float* twiddles);
// The same for n >= 16 leaving the data in the blocked form of FftMath.h (for the combining stages).
void Radix4ForwardLaterStagesToBlocks(FftComplex* data, int32_t n, const float* twiddles);
void Radix4InverseLaterStagesToBlocks(FftComplex* data, int32_t n, const float* twiddles);
// The later stages of the two adjacent pieces of n >= 16 points at data and data + n, in the
// blocked form, with the first radix-2 combining stage of the two joined to their last stage: its
// factors are combine[k step], the last stage writes (re, im) pairs with toPairs and blocks
// otherwise.
void Radix4LaterStagesPairCombinedForward(FftComplex* data, int32_t n, const float* twiddles,
                                          const FftComplex* combine, int32_t step, bool toPairs);
void Radix4LaterStagesPairCombinedInverse(FftComplex* data, int32_t n, const float* twiddles,
                                          const FftComplex* combine, int32_t step, bool toPairs);
void RealForwardPostProcess(float* data, int32_t n, const float* table);
void RealInversePreProcess(const float* src, float* dst, int32_t n, const float* table);

// ---- large orders ----
void LargeFftForward(const FftSpec* spec, const FftComplex* src, FftComplex* dst, int32_t m, uint8_t* work);
void LargeFftInverse(const FftSpec* spec, const FftComplex* src, FftComplex* dst, int32_t m, uint8_t* work);
void LargeFftLevelForward(const FftSpec* spec, FftComplex* data, int32_t j, int32_t depth, uint8_t* work);
void LargeFftLevelInverse(const FftSpec* spec, FftComplex* data, int32_t j, int32_t depth, uint8_t* work);
void CombineStagesForward(FftComplex* data, int32_t n, int32_t a, const FftComplex* table, int32_t blocking);
void CombineStagesInverse(FftComplex* data, int32_t n, int32_t a, const FftComplex* table, int32_t blocking);

}  // namespace kvxfft
