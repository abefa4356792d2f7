// IIR states: sizes, layout in caller memory, creation, destruction and their errors.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <vector>

#include "platform/nt/Pool.h"
#include "primitives/Primitives.h"
#include "primitives/core/Dispatch.h"
#include "primitives/core/Memory.h"
#include "primitives/filter/IirFilter.h"
#include "primitives/filter/IirState.h"
#include "primitives/filter/Resample.h"
#include "tests/primitives/core/CoreTestSupport.h"
#include "tests/primitives/core/ForcedSlot.h"
#include "tests/primitives/filter/IirTestSupport.h"
#include "platform/nt/PoolHost.h"

using namespace iirtest;

namespace {

class IirStateInit : public coretest::ForcedSlotTest {};
class IirStateLifecycle : public coretest::ForcedSlotTest {};
class IirStateSize : public coretest::ForcedSlotTest {};

constexpr int32_t FIR_TAG = 0x46493031;
const std::vector<float> THIRD_ORDER = {1.0f / 6, 0.5f, 0.5f, 1.0f / 6, 1.0f, -0.0f, 1.0f / 3, -0.0f};

TEST_P(IirStateSize, PinnedSizesAndTheLargestOrder) {
    struct Row {
        int32_t order, size;
    };
    // Slots 1 to 3 add the four-lane numerator, the feedback matrix and the block work area.
    const std::vector<Row> rows =
        DispatchIndex == 0
            ? std::vector<Row>{{1, 144}, {2, 160}, {3, 160}, {4, 192}, {8, 240}, {178956959, 2147483632}}
            : std::vector<Row>{{1, 4376}, {2, 4424}, {3, 4456}, {4, 4520}, {8, 4696}, {48806347, 2147483592}};
    for (const auto& r : rows) {
        int32_t size = -1;
        EXPECT_EQ(GetIirStateSize(r.order, &size), StatusOk) << r.order;
        EXPECT_EQ(size, r.size) << r.order;
    }
}

TEST_P(IirStateSize, ErrorsStoreNothing) {
    int32_t size = 77;
    EXPECT_EQ(GetIirStateSize(0, nullptr), StatusNullPointer);
    const int32_t firstTooLarge = DispatchIndex == 0 ? 178956960 : 48806348;
    for (int32_t order : {0, -1, INT32_MIN, firstTooLarge, INT32_MAX}) {
        EXPECT_EQ(GetIirStateSize(order, &size), StatusIirOrderError) << order;
        EXPECT_EQ(size, 77);
    }
    EXPECT_EQ(GetIirBiquadStateSize(1, nullptr), StatusNullPointer);
    EXPECT_EQ(GetIirBiquadStateSize(0, &size), StatusIirOrderError);
    EXPECT_EQ(GetIirBiquadStateSize(INT32_MAX, &size), StatusIirOrderError);
    EXPECT_EQ(size, 77);
}

TEST_P(IirStateInit, LayoutOfTheThirdOrderState) {
    const float dly[3] = {0.25f, -0.5f, 0.125f};
    const std::vector<float> dlyCopy(dly, dly + 3);
    // A buffer 8 bytes past a 16-byte boundary places the state 8 bytes in.
    alignas(16) uint8_t buffer[8192];
    IirState* state = nullptr;
    ASSERT_EQ(InitIirState(&state, THIRD_ORDER.data(), 3, dly, buffer + 8), StatusOk);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(state), buffer + 16);
    EXPECT_EQ(state->tag, StateIdIir);
    EXPECT_EQ(state->order, 3);
    EXPECT_EQ(state->sectionCount, 0);
    EXPECT_EQ(state->owned, 0);
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(state->taps), buffer + 16 + 96);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(state->delayLine), buffer + 16 + 96 + 32);
    EXPECT_EQ(state->builderSlot, static_cast<uint32_t>(DispatchIndex));
    if (DispatchIndex != 0) {
        // The four-lane numerator, the feedback matrix and one block work area after the delays.
        uint8_t* extra = buffer + 16 + 96 + 32 + 16;
        EXPECT_EQ(reinterpret_cast<uint8_t*>(state->replicatedNumerator), extra);
        EXPECT_EQ(reinterpret_cast<uint8_t*>(state->feedbackMatrix), extra + 64);
        EXPECT_EQ(reinterpret_cast<uint8_t*>(state->blockWork), extra + 160);
        EXPECT_EQ(state->secondBlockWork, nullptr);
        for (int i = 0; i < 16; ++i) EXPECT_EQ(Bits(state->replicatedNumerator[i]), Bits(THIRD_ORDER[i / 4])) << i;
        // Rows of y[n-1], y[n-2], y[n-3] (d = 0, -1/3, 0), then of w[n], w[n+1], w[n+2].
        const float third = -(1.0f / 3);
        const float rows[24] = {0.0f, third, 0.0f, third * third, third, 0.0f, third * third, 0.0f,
                                0.0f, 0.0f,  0.0f, 0.0f,          1.0f,  0.0f, third,         0.0f,
                                0.0f, 1.0f,  0.0f, third,         0.0f,  0.0f, 1.0f,          0.0f};
        for (int i = 0; i < 24; ++i) EXPECT_EQ(state->feedbackMatrix[i], rows[i]) << i;
    }
    // a0 = 1: the b values unchanged, then -0, 1/3, -0 with their signs.
    const float want[7] = {1.0f / 6, 0.5f, 0.5f, 1.0f / 6, -0.0f, 1.0f / 3, -0.0f};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(Bits(state->taps[i]), Bits(want[i])) << i;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(state->delayLine[i], dly[i]);
    EXPECT_EQ(Bits(state->delayLine[3]), 0u);
    EXPECT_EQ(std::vector<float>(dly, dly + 3), dlyCopy);  // only read
}

TEST_P(IirStateInit, TapsAreProductsWithOneReciprocal) {
    const float taps[4] = {0.3f, -0.7f, 3.0f, 0.9f};  // b0, b1, a0, a1
    alignas(16) uint8_t buffer[8192];
    IirState* state = nullptr;
    ASSERT_EQ(InitIirState(&state, taps, 1, nullptr, buffer), StatusOk);
    const float r = 1.0f / 3.0f;
    EXPECT_EQ(Bits(state->taps[0]), Bits(0.3f * r));
    EXPECT_EQ(Bits(state->taps[1]), Bits(-0.7f * r));
    EXPECT_EQ(Bits(state->taps[2]), Bits(0.9f * r));
    EXPECT_NE(Bits(state->taps[0]), Bits(0.3f / 3.0f));  // a division would round differently here
    EXPECT_EQ(state->delayLine[0], 0.0f);
    EXPECT_EQ(state->delayLine[1], 0.0f);
}

// Every builder at each buffer offset mod 32 with exactly the reported size: nothing is written
// outside, and the state filters like one built in aligned memory.
TEST_P(IirStateInit, StaysInsideTheReportedSizeAtEveryOffset) {
    const std::vector<float> x = RandomSignal(37, 5);
    for (int32_t order : {1, 2, 3, 4, 5, 7, 8, 9, 13}) {
        const std::vector<float> taps = StableFilter(order, order);
        CallerState reference(taps, order);
        ASSERT_EQ(reference.status(), StatusOk);
        std::vector<float> want(x.size());
        ASSERT_EQ(FilterIir(x.data(), want.data(), 37, reference.get()), StatusOk);
        int32_t size = 0;
        ASSERT_EQ(GetIirStateSize(order, &size), StatusOk);
        for (size_t offset = 0; offset < 32; ++offset) {
            coretest::GuardedWords memory((size + 3) / 4, offset);
            // Guard bytes right after the reported size, too.
            memset(memory.Bytes() + size, 0xA5, memory.Count() * 4 - size);
            IirState* state = nullptr;
            ASSERT_EQ(InitIirState(&state, taps.data(), order, nullptr, memory.Bytes()), StatusOk);
            std::vector<float> got(x.size());
            ASSERT_EQ(FilterIir(x.data(), got.data(), 37, state), StatusOk);
            EXPECT_EQ(memcmp(got.data(), want.data(), 4 * got.size()), 0) << order << " at " << offset;
            for (int32_t i = size; i < static_cast<int32_t>(memory.Count() * 4); ++i)
                ASSERT_EQ(memory.Bytes()[i], 0xA5) << order << " at " << offset;
            EXPECT_TRUE(memory.GuardsIntact()) << order << " at " << offset;
        }
    }
    for (int32_t sections : {1, 2, 3, 4, 7}) {
        const std::vector<float> coefficients = StableSections(sections, sections);
        int32_t size = 0;
        ASSERT_EQ(GetIirBiquadStateSizeInSlot(sections, &size), StatusOk);
        for (size_t offset = 0; offset < 32; ++offset) {
            coretest::GuardedWords memory((size + 3) / 4, offset);
            memset(memory.Bytes() + size, 0xA5, memory.Count() * 4 - size);
            IirState* state = nullptr;
            ASSERT_EQ(InitIirBiquadStateInSlot(&state, coefficients.data(), sections, nullptr, memory.Bytes()),
                      StatusOk);
            std::vector<float> got(x.size());
            ASSERT_EQ(FilterIirInPlace(got.data(), 37, state), StatusOk);
            for (int32_t i = size; i < static_cast<int32_t>(memory.Count() * 4); ++i)
                ASSERT_EQ(memory.Bytes()[i], 0xA5) << sections << " at " << offset;
            EXPECT_TRUE(memory.GuardsIntact()) << sections << " at " << offset;
        }
    }
}

TEST_P(IirStateInit, ZeroA0LeavesAStateEveryOperationRefuses) {
    for (float a0 : {0.0f, -0.0f}) {
        const float taps[6] = {1.0f, 0.5f, 0.25f, a0, 0.1f, 0.2f};
        alignas(16) uint8_t buffer[8192];
        // The buffer holds an older, valid state first.
        IirState* old = nullptr;
        ASSERT_EQ(InitIirState(&old, THIRD_ORDER.data(), 2, nullptr, buffer), StatusOk);
        IirState* state = nullptr;
        EXPECT_EQ(InitIirState(&state, taps, 2, nullptr, buffer), StatusDivideByZero);
        EXPECT_EQ(state, old);  // the address is still stored
        EXPECT_EQ(state->tag, 0);
        float samples[4] = {1, 2, 3, 4};
        EXPECT_EQ(FilterIirInPlace(samples, 4, state), StatusContextMismatch);
        EXPECT_EQ(FilterIir(samples, samples, 4, state), StatusContextMismatch);
        EXPECT_EQ(DestroyIirState(state), StatusContextMismatch);
        EXPECT_EQ(samples[3], 4.0f);
    }
    // A biquad cascade with a zero a0 in its second section is refused the same way.
    std::vector<float> sections = StableSections(3, 9);
    sections[6 + 3] = -0.0f;
    BiquadState biquad(sections, 3);
    EXPECT_EQ(biquad.status(), StatusDivideByZero);
    ASSERT_NE(biquad.get(), nullptr);
    EXPECT_EQ(biquad.get()->tag, 0);
}

TEST_P(IirStateInit, NanA0IsAcceptedAndPoisonsEveryCoefficient) {
    const float taps[4] = {1.0f, 0.5f, std::nanf(""), 0.25f};
    alignas(16) uint8_t buffer[8192];
    IirState* state = nullptr;
    ASSERT_EQ(InitIirState(&state, taps, 1, nullptr, buffer), StatusOk);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(std::isnan(state->taps[i])) << i;
    float samples[2] = {1.0f, 0.0f};
    ASSERT_EQ(FilterIirInPlace(samples, 2, state), StatusOk);
    EXPECT_TRUE(std::isnan(samples[0]) && std::isnan(samples[1]));
}

TEST_P(IirStateInit, HugeOrdersAreRefusedBeforeAnythingIsWritten) {
    // The sizes of these orders do not fit 32 bits: nothing may be laid out in any buffer.
    std::vector<float> taps(8, 1.0f);
    uint8_t canary[64];
    memset(canary, 0x5A, sizeof(canary));
    IirState* state = reinterpret_cast<IirState*>(0x1234);
    // Slots 1 to 3 need 32 bytes more per order: their sizes stop fitting from 48,806,348.
    const int32_t firstTooLarge = DispatchIndex == 0 ? 178956960 : 48806348;
    for (int32_t order : {firstTooLarge, INT32_MAX}) {
        EXPECT_EQ(InitIirState(&state, taps.data(), order, nullptr, canary), StatusIirOrderError) << order;
        EXPECT_EQ(InitIirBiquadStateInSlot(&state, taps.data(), order, nullptr, canary), StatusIirOrderError) << order;
    }
    EXPECT_EQ(state, reinterpret_cast<IirState*>(0x1234));
    for (uint8_t b : canary) ASSERT_EQ(b, 0x5A);
    const uint64_t serial = platform::PoolCurrentSerial();
    EXPECT_EQ(CreateIirState(&state, taps.data(), INT32_MAX, nullptr), StatusNoMemory);
    EXPECT_EQ(CreateIirState(&state, taps.data(), firstTooLarge, nullptr), StatusNoMemory);
    EXPECT_EQ(platform::PoolCurrentSerial(), serial);  // nothing asked of the pool
    EXPECT_EQ(state, reinterpret_cast<IirState*>(0x1234));
}

TEST_P(IirStateLifecycle, CreateFiltersLikeInitAndDestroyFreesTheBlock) {
    const std::vector<float> taps = StableFilter(3, 3);
    const float dly[3] = {0.5f, -0.25f, 0.125f};
    CallerState reference(taps, 3, dly);
    IirState* state = nullptr;
    ASSERT_EQ(CreateIirState(&state, taps.data(), 3, dly), StatusOk);
    EXPECT_EQ(state->owned, 1);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(state) % 32, 0u);
    EXPECT_EQ(platform::PoolLiveCount(PRIMITIVES_POOL_TAG), 1u);
    const std::vector<float> x = RandomSignal(64, 1);
    std::vector<float> a(64), b(64);
    ASSERT_EQ(FilterIir(x.data(), a.data(), 64, state), StatusOk);
    ASSERT_EQ(FilterIir(x.data(), b.data(), 64, reference.get()), StatusOk);
    EXPECT_EQ(memcmp(a.data(), b.data(), sizeof(float) * 64), 0);
    EXPECT_EQ(DestroyIirState(state), StatusOk);
    EXPECT_EQ(platform::PoolLiveCount(PRIMITIVES_POOL_TAG), 0u);

    // A state in caller memory is left alone and still filters.
    EXPECT_EQ(DestroyIirState(reference.get()), StatusOk);
    EXPECT_EQ(reference.get()->tag, StateIdIir);
    EXPECT_EQ(FilterIir(x.data(), b.data(), 64, reference.get()), StatusOk);
    BiquadState biquad(StableSections(2, 4), 2);
    EXPECT_EQ(DestroyIirState(biquad.get()), StatusOk);
}

TEST_P(IirStateLifecycle, FailedCreateLeavesPpStateAndThePoolAsTheyWere) {
    const std::vector<float> taps = StableFilter(2, 2);
    IirState* const canary = reinterpret_cast<IirState*>(0xC0FFEE);
    IirState* state = canary;
    // The one allocation of a Create fails.
    platform::PoolFailNthAllocation(1);
    EXPECT_EQ(CreateIirState(&state, taps.data(), 2, nullptr), StatusNoMemory);
    platform::PoolClearFailures();
    EXPECT_EQ(state, canary);
    // A zero a0: the block is released again and ppState keeps its value.
    std::vector<float> zero = taps;
    zero[3] = 0.0f;
    EXPECT_EQ(CreateIirState(&state, zero.data(), 2, nullptr), StatusDivideByZero);
    EXPECT_EQ(state, canary);
    EXPECT_EQ(platform::PoolLiveCount(PRIMITIVES_POOL_TAG), 0u);
}

// Every IIR entry's checks in order; a refused call leaves outputs, state and ppState as they were.
TEST_P(IirStateLifecycle, ErrorOrderOfEveryEntry) {
    const std::vector<float> taps = StableFilter(2, 7);
    CallerState good(taps, 2);
    ASSERT_EQ(good.status(), StatusOk);
    alignas(16) uint8_t firHeader[160] = {};
    memcpy(firHeader, &FIR_TAG, 4);
    auto* fir = reinterpret_cast<IirState*>(firHeader);
    float src[4] = {1, 2, 3, 4};
    float dst[4];
    uint8_t buffer[160];
    IirState* pState = reinterpret_cast<IirState*>(0xBAD);
    int32_t size = 99;

    struct Row {
        const char* what;
        PrimitiveStatus got, want;
    };
    const Row rows[] = {
        {"FilterIir null state, len 0", FilterIir(src, dst, 0, nullptr), StatusNullPointer},
        {"FilterIir null src", FilterIir(nullptr, dst, 0, good.get()), StatusNullPointer},
        {"FilterIir null dst", FilterIir(src, nullptr, 4, good.get()), StatusNullPointer},
        {"FilterIir len 0", FilterIir(src, dst, 0, good.get()), StatusSizeError},
        {"FilterIir len -1 on a FIR state", FilterIir(src, dst, -1, fir), StatusSizeError},
        {"FilterIir FIR state", FilterIir(src, dst, 4, fir), StatusContextMismatch},
        {"FilterIirInPlace null state, len 0", FilterIirInPlace(src, 0, nullptr), StatusNullPointer},
        {"FilterIirInPlace null samples", FilterIirInPlace(nullptr, 0, good.get()), StatusNullPointer},
        {"FilterIirInPlace len 0", FilterIirInPlace(src, 0, good.get()), StatusSizeError},
        {"FilterIirInPlace FIR state", FilterIirInPlace(src, 4, fir), StatusContextMismatch},
        {"DestroyIirState null", DestroyIirState(nullptr), StatusNullPointer},
        {"DestroyIirState FIR state", DestroyIirState(fir), StatusContextMismatch},
        {"CreateIirState null taps, order 0", CreateIirState(&pState, nullptr, 0, nullptr), StatusNullPointer},
        {"CreateIirState null ppState", CreateIirState(nullptr, taps.data(), 0, nullptr), StatusNullPointer},
        {"CreateIirState order 0", CreateIirState(&pState, taps.data(), 0, nullptr), StatusIirOrderError},
        {"InitIirState null taps", InitIirState(&pState, nullptr, 0, nullptr, buffer), StatusNullPointer},
        {"InitIirState null ppState", InitIirState(nullptr, taps.data(), 2, nullptr, buffer), StatusNullPointer},
        {"InitIirState null buffer", InitIirState(&pState, taps.data(), 0, nullptr, nullptr), StatusNullPointer},
        {"InitIirState order -3", InitIirState(&pState, taps.data(), -3, nullptr, buffer), StatusIirOrderError},
        {"GetIirStateSize null, order 0", GetIirStateSize(0, nullptr), StatusNullPointer},
        {"GetIirStateSize order 0", GetIirStateSize(0, &size), StatusIirOrderError},
    };
    for (const Row& r : rows) EXPECT_EQ(r.got, r.want) << r.what;
    EXPECT_EQ(src[0], 1.0f);
    EXPECT_EQ(src[3], 4.0f);
    EXPECT_EQ(pState, reinterpret_cast<IirState*>(0xBAD));
    EXPECT_EQ(size, 99);
    EXPECT_EQ(good.get()->delayLine[0], 0.0f);
    EXPECT_EQ(good.get()->delayLine[1], 0.0f);
    for (int i = 4; i < 160; ++i) ASSERT_EQ(firHeader[i], 0) << i;
}


KVX_INSTANTIATE_FOR_EVERY_SLOT(IirStateInit);
KVX_INSTANTIATE_FOR_EVERY_SLOT(IirStateLifecycle);
KVX_INSTANTIATE_FOR_EVERY_SLOT(IirStateSize);

}  // namespace
