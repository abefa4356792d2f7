// Up- and down-sampling: the phase examples, bit patterns, block cuts and the argument checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <random>
#include <vector>

#include "primitives/Primitives.h"
#include "tests/primitives/core/CoreTestSupport.h"
#include "tests/primitives/core/ForcedSlot.h"

namespace {

class Downsample : public coretest::ForcedSlotTest {};
class Resample : public coretest::ForcedSlotTest {};
class Upsample : public coretest::ForcedSlotTest {};

using coretest::Bits;
using coretest::FromBits;

std::vector<uint32_t> BitsOf(const float* v, size_t n) {
    std::vector<uint32_t> b(n);
    for (size_t i = 0; i < n; ++i) b[i] = Bits(v[i]);
    return b;
}

TEST_P(Upsample, PhaseExamplesAndFactorOne) {
    const float a = 1.5f, b = -2.0f;
    const float src[2] = {a, b};
    struct Row {
        int32_t factor, phase;
        std::vector<float> want;
    };
    const Row rows[] = {
        {3, 2, {0, 0, a, 0, 0, b}},
        {3, 0, {a, 0, 0, b, 0, 0}},
        {2, 1, {0, a, 0, b}},
        {1, 0, {a, b}},
    };
    for (const Row& r : rows) {
        std::vector<float> dst(r.want.size(), 9.0f);
        int32_t phase = r.phase, len = -1;
        ASSERT_EQ(UpsampleFloat(src, 2, dst.data(), &len, r.factor, &phase), StatusOk);
        EXPECT_EQ(len, static_cast<int32_t>(r.want.size()));
        EXPECT_EQ(phase, r.phase);  // never changed
        EXPECT_EQ(BitsOf(dst.data(), dst.size()), BitsOf(r.want.data(), r.want.size()))
            << r.factor << "/" << r.phase;
    }
}

TEST_P(Downsample, PhaseExamples) {
    // By 3 from phase 0 in blocks of 4: x0 x3 | x6 | x9 | x12 x15, phases 2, 1, 0, 2.
    std::vector<float> x(16);
    for (int i = 0; i < 16; ++i) x[i] = static_cast<float>(i);
    int32_t phase = 0;
    const std::vector<std::vector<float>> want = {{0, 3}, {6}, {9}, {12, 15}};
    const int32_t phases[4] = {2, 1, 0, 2};
    for (int block = 0; block < 4; ++block) {
        float out[4];
        int32_t len = -1;
        ASSERT_EQ(DownsampleFloat(x.data() + 4 * block, 4, out, &len, 3, &phase), StatusOk);
        EXPECT_EQ(std::vector<float>(out, out + len), want[block]) << block;
        EXPECT_EQ(phase, phases[block]) << block;
    }
    // Nothing taken: by 4 of 2 samples at phase 3, by 2 of 1 sample at phase 1.
    const struct {
        int32_t srcLen, factor, phase, newPhase;
    } empty[] = {{2, 4, 3, 1}, {1, 2, 1, 0}};
    for (const auto& e : empty) {
        float out[2] = {7.0f, 7.0f};
        int32_t phase2 = e.phase, len = -1;
        ASSERT_EQ(DownsampleFloat(x.data(), e.srcLen, out, &len, e.factor, &phase2), StatusOk);
        EXPECT_EQ(len, 0);
        EXPECT_EQ(phase2, e.newPhase);
        EXPECT_EQ(out[0], 7.0f);
    }
}

TEST_P(Downsample, InPlaceEqualsSeparateArrays) {
    const std::vector<float> x = coretest::MixedFloats(100, 3);
    for (int32_t factor : {1, 2, 3, 7}) {
        std::vector<float> separate(100), same = x;
        int32_t p1 = factor - 1, p2 = factor - 1, n1 = 0, n2 = 0;
        ASSERT_EQ(DownsampleFloat(x.data(), 100, separate.data(), &n1, factor, &p1), StatusOk);
        ASSERT_EQ(DownsampleFloat(same.data(), 100, same.data(), &n2, factor, &p2), StatusOk);
        ASSERT_EQ(n1, n2);
        EXPECT_EQ(p1, p2);
        EXPECT_EQ(BitsOf(same.data(), n2), BitsOf(separate.data(), n1)) << factor;
    }
}

// A stream of every kind of float (NaN payloads, -0, infinities, subnormals) cut into random
// blocks gives the bits of one call, in both directions; zeros inserted are +0.
TEST_P(Resample, RandomBlockCutsGiveTheBitsOfOneCall) {
    std::mt19937 rng(17);
    const std::vector<float> x = coretest::MixedFloats(3000, 9);
    for (int32_t factor : {1, 2, 3, 5, 16}) {
        for (int32_t startPhase : {0, factor - 1}) {
            std::vector<float> upWhole(x.size() * factor), upCut(x.size() * factor, 5.0f);
            int32_t phase = startPhase, len = 0;
            ASSERT_EQ(UpsampleFloat(x.data(), 3000, upWhole.data(), &len, factor, &phase), StatusOk);
            for (size_t j = 0; j < upWhole.size(); ++j) {
                const bool carries = static_cast<int32_t>(j % factor) == startPhase;
                ASSERT_EQ(Bits(upWhole[j]), carries ? Bits(x[j / factor]) : 0u) << factor << " at " << j;
            }
            std::vector<float> downWhole(x.size()), downCut(x.size());
            int32_t downLen = 0;
            phase = startPhase;
            ASSERT_EQ(DownsampleFloat(x.data(), 3000, downWhole.data(), &downLen, factor, &phase), StatusOk);
            const int32_t endPhase = phase;

            int32_t upPhase = startPhase, downPhase = startPhase, written = 0;
            for (size_t at = 0; at < x.size();) {
                const int32_t n = static_cast<int32_t>(std::min<size_t>(1 + rng() % 37, x.size() - at));
                ASSERT_EQ(UpsampleFloat(x.data() + at, n, upCut.data() + at * factor, &len, factor, &upPhase),
                          StatusOk);
                ASSERT_EQ(len, n * factor);
                ASSERT_EQ(DownsampleFloat(x.data() + at, n, downCut.data() + written, &len, factor, &downPhase),
                          StatusOk);
                written += len;
                at += n;
            }
            EXPECT_EQ(BitsOf(upCut.data(), upCut.size()), BitsOf(upWhole.data(), upWhole.size())) << factor;
            ASSERT_EQ(written, downLen) << factor;
            EXPECT_EQ(BitsOf(downCut.data(), written), BitsOf(downWhole.data(), downLen)) << factor;
            EXPECT_EQ(downPhase, endPhase);
            EXPECT_EQ(upPhase, startPhase);
        }
    }
}

// Checks in order: pointers, length, factor, phase; a refused call writes nothing at all.
TEST_P(Resample, ErrorOrderLeavesEveryOutputAlone) {
    const float src[4] = {1, 2, 3, 4};
    float dst[8];
    int32_t len = 77, phase = 1;
    using Fn = PrimitiveStatus (*)(const float*, int32_t, float*, int32_t*, int32_t, int32_t*);
    const struct {
        const char* name;
        Fn fn;
    } entries[] = {{"up", UpsampleFloat}, {"down", DownsampleFloat}};
    for (const auto& e : entries) {
        struct Row {
            const char* what;
            const float* src;
            int32_t srcLen;
            float* dst;
            int32_t* pLen;
            int32_t factor;
            int32_t* pPhase;
            int32_t phaseValue;
            PrimitiveStatus want;
        };
        const Row rows[] = {
            {"null src", nullptr, 0, dst, &len, 0, &phase, 9, StatusNullPointer},
            {"null dst", src, 0, nullptr, &len, 0, &phase, 9, StatusNullPointer},
            {"null pDstLen", src, 0, dst, nullptr, 0, &phase, 9, StatusNullPointer},
            {"null pPhase, srcLen 0", src, 0, dst, &len, 2, nullptr, 0, StatusNullPointer},
            {"srcLen 0", src, 0, dst, &len, 0, &phase, 9, StatusSizeError},
            {"srcLen -4", src, -4, dst, &len, 2, &phase, -1, StatusSizeError},
            {"factor 0", src, 4, dst, &len, 0, &phase, 9, StatusSampleFactorError},
            {"factor -2, phase ok", src, 4, dst, &len, -2, &phase, 0, StatusSampleFactorError},
            {"phase = factor", src, 4, dst, &len, 2, &phase, 2, StatusSamplePhaseError},
            {"phase -1", src, 4, dst, &len, 2, &phase, -1, StatusSamplePhaseError},
        };
        for (const Row& r : rows) {
            std::fill(dst, dst + 8, 42.0f);
            len = 77;
            phase = r.phaseValue;
            EXPECT_EQ(e.fn(r.src, r.srcLen, r.dst, r.pLen, r.factor, r.pPhase), r.want) << e.name << ": " << r.what;
            EXPECT_EQ(len, 77) << e.name << ": " << r.what;
            EXPECT_EQ(phase, r.phaseValue) << e.name << ": " << r.what;
            for (float v : dst) ASSERT_EQ(v, 42.0f) << e.name << ": " << r.what;
        }
    }
}

// Counts beyond 32 bits: an up-sampled length that *pDstLen cannot hold is refused before
// anything is written; down-sampling forms srcLen + factor without wrapping.
TEST_P(Resample, CountsBeyondThirtyTwoBits) {
    const float src[1] = {FromBits(0x7FC01234u)};
    float dst[2] = {3.0f, 3.0f};
    int32_t len = 77, phase = 0;
    EXPECT_EQ(UpsampleFloat(src, 65536, dst, &len, 65536, &phase), StatusSizeError);
    EXPECT_EQ(UpsampleFloat(src, INT32_MAX, dst, &len, 2, &phase), StatusSizeError);
    EXPECT_EQ(len, 77);
    EXPECT_EQ(dst[0], 3.0f);

    // srcLen near INT32_MAX with the largest factor: one sample taken (only src[0] is read).
    ASSERT_EQ(DownsampleFloat(src, INT32_MAX - 10, dst, &len, INT32_MAX, &phase), StatusOk);
    EXPECT_EQ(len, 1);
    EXPECT_EQ(Bits(dst[0]), 0x7FC01234u);
    EXPECT_EQ(phase, 10);
    // A phase beyond the block: nothing taken, the phase moves back by srcLen.
    phase = INT32_MAX - 1;
    ASSERT_EQ(DownsampleFloat(src, INT32_MAX - 10, dst, &len, INT32_MAX, &phase), StatusOk);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(phase, 9);
}

// Every slot gives slot 0's bits: NaN payloads, -0 and infinities included, at the lengths where
// the bodies of slots 1 to 3 change their way (4,097 inputs up by 3 take two kernel calls; 47
// inputs down by 3 the plain loop, 48 the kernel), from every phase and at odd dst alignments.
TEST_P(Resample, EverySlotGivesTheBitsOfSlotZero) {
    const int32_t slot = DispatchIndex;
    const std::vector<float> src = coretest::MixedFloats(4100, 17);
    for (int32_t len : {1, 2, 5, 47, 48, 64, 4097}) {
        for (int32_t factor : {1, 2, 3, 4, 5}) {
            for (int32_t phase = 0; phase < factor; ++phase) {
                for (size_t offset : {0u, 1u, 3u}) {
                    std::vector<float> out[2];
                    int32_t outLen[2] = {-1, -1}, outPhase[2] = {phase, phase};
                    for (int32_t pass = 0; pass < 2; ++pass) {
                        DispatchIndex = pass == 0 ? 0 : slot;
                        out[pass].assign(static_cast<size_t>(len) * factor + 8, 1234.5f);
                        ASSERT_EQ(UpsampleFloat(src.data(), len, out[pass].data() + offset, &outLen[pass], factor,
                                                &outPhase[pass]),
                                  StatusOk);
                    }
                    DispatchIndex = slot;
                    ASSERT_EQ(outLen[0], outLen[1]);
                    ASSERT_EQ(BitsOf(out[0].data(), out[0].size()), BitsOf(out[1].data(), out[1].size()))
                        << "up " << len << " by " << factor << " phase " << phase;
                    for (int32_t pass = 0; pass < 2; ++pass) {
                        DispatchIndex = pass == 0 ? 0 : slot;
                        out[pass].assign(static_cast<size_t>(len) + 8, 1234.5f);
                        outPhase[pass] = phase;
                        ASSERT_EQ(DownsampleFloat(src.data(), len, out[pass].data() + offset, &outLen[pass], factor,
                                                  &outPhase[pass]),
                                  StatusOk);
                    }
                    DispatchIndex = slot;
                    ASSERT_EQ(outLen[0], outLen[1]);
                    ASSERT_EQ(outPhase[0], outPhase[1]);
                    ASSERT_EQ(BitsOf(out[0].data(), out[0].size()), BitsOf(out[1].data(), out[1].size()))
                        << "down " << len << " by " << factor << " phase " << phase;
                }
            }
        }
    }
}

KVX_INSTANTIATE_FOR_EVERY_SLOT(Downsample);
KVX_INSTANTIATE_FOR_EVERY_SLOT(Resample);
KVX_INSTANTIATE_FOR_EVERY_SLOT(Upsample);

}  // namespace
