// Test-only helper: runs a test once per dispatch slot, forced by processor type code, and gives
// the dispatch index back afterwards.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "primitives/Primitives.h"
#include "primitives/core/CpuDetection.h"

namespace coretest {

// Slot 0, 1, 2 and 3 by the codes a program would force them with.
inline const CpuTypeCode kSlotCodes[] = {CpuTypeNone, CpuTypeCode20, CpuTypeSsse3, CpuTypeSse41};

// Whether this processor can run slot k (the SSE2 baseline always runs slot 0).
inline bool ProcessorRunsSlot(int32_t slot)
{
    switch (slot) {
    case 1:
        return ProbeCpuFeatureSse3() != 0;
    case 2:
        return ProbeCpuFeatureSsse3() != 0;
    case 3:
        return ProbeCpuFeatureSse41() != 0;
    default:
        return true;
    }
}

class ForcedSlotTest : public ::testing::TestWithParam<CpuTypeCode> {
protected:
    void SetUp() override
    {
        m_saved = DispatchIndex;
        const int32_t slot = ForcedSlotOfCpuType(GetParam());
        if (!ProcessorRunsSlot(slot)) {
            GTEST_SKIP() << "this processor lacks the instructions of slot " << slot;
        }
        ASSERT_EQ(ForceDispatchIndex(GetParam()), StatusOk);
        ASSERT_EQ(DispatchIndex, slot);
    }
    void TearDown() override { DispatchIndex = m_saved; }

private:
    int32_t m_saved = 0;
};

// Of a kernel's copies in the three variants, those this processor can run, with their slots.
template <typename F>
std::vector<std::pair<int, F>> Runnable(std::vector<std::pair<int, F>> all)
{
    std::vector<std::pair<int, F>> out;
    for (const auto& v : all) {
        if (ProcessorRunsSlot(v.first)) {
            out.push_back(v);
        }
    }
    return out;
}

inline std::string SlotName(const ::testing::TestParamInfo<CpuTypeCode>& info)
{
    return "Slot" + std::to_string(ForcedSlotOfCpuType(info.param));
}

}  // namespace coretest

// The copies of a member of the variant namespaces (Sse3Variant, Ssse3Variant, Sse41Variant) this
// processor can run: for (const auto& [slot, kernel] : KVX_EACH_VARIANT(Member)) ...
#define KVX_EACH_VARIANT(Member)                                                                             \
    coretest::Runnable(std::vector<std::pair<int, decltype(&Sse3Variant::Member)>>{                          \
        {1, &Sse3Variant::Member}, {2, &Ssse3Variant::Member}, {3, &Sse41Variant::Member}})

#define KVX_INSTANTIATE_FOR_EVERY_SLOT(Fixture) \
    INSTANTIATE_TEST_SUITE_P(EverySlot, Fixture, ::testing::ValuesIn(coretest::kSlotCodes), coretest::SlotName)
