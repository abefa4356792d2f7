// Processor detection on scripted processors, the choice of a dispatch slot, the cache rule of the
// kernels and the floating-point control routines.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>
#include <xmmintrin.h>

#include "primitives/Primitives.h"
#include "primitives/core/CpuDetection.h"
#include "primitives/core/FpControl.h"
#include "primitives/core/SlotVariants.h"
#include "tests/primitives/core/ForcedSlot.h"
#include "tests/primitives/core/ScriptedCpu.h"

namespace {

using coretest::ScriptedCpu;
using coretest::Signature;

constexpr int32_t SSE3 = 1 << 0;
constexpr int32_t SSSE3 = 1 << 9;
constexpr int32_t SSE41 = 1 << 19;
constexpr int32_t SSE42 = 1 << 20;
// Any id but the preferred one.
constexpr CpuVendorWords kOtherVendor = {0x31313131u, 0x32323232u, 0x33333333u};

// Keeps the dispatch index of the process as it was.
class DispatchIndexGuard : public ::testing::Test {
protected:
    void SetUp() override { m_saved = DispatchIndex; }
    void TearDown() override { DispatchIndex = m_saved; }

private:
    int32_t m_saved = 0;
};

using CpuDetection = DispatchIndexGuard;

TEST_F(CpuDetection, ScriptedProcessorsGetTheirTypeSlotAndStatus)
{
    struct Row {
        const char* name;
        std::function<void(ScriptedCpu&)> script;
        CpuTypeCode code;
        int32_t slot;
        PrimitiveStatus status;
    };
    const std::vector<Row> rows = {
        {"family 6 model 15, 2 cores", [](ScriptedCpu& c) { c.signature = Signature(6, 15); c.ecx1 = SSE3 | SSSE3; c.SetCores(2); },
         CpuTypeFamily6Model15, 2, StatusOk},
        {"family 6 model 15, 4 cores", [](ScriptedCpu& c) { c.signature = Signature(6, 15); c.ecx1 = SSE3 | SSSE3; c.SetCores(4); },
         CpuTypeFamily6Model15Multi, 2, StatusOk},
        {"model 15, 4 cores but no leaf 4", [](ScriptedCpu& c) { c.signature = Signature(6, 15); c.SetCores(4); c.highestLeaf = 3; },
         CpuTypeFamily6Model15, 2, StatusOk},
        {"family 6 model 23 (extended 1, model 7)", [](ScriptedCpu& c) { c.signature = Signature(6, 23); c.ecx1 = SSE3; },
         CpuTypeSse41, 3, StatusOk},
        {"family 6 model 26", [](ScriptedCpu& c) { c.signature = Signature(6, 26); c.ecx1 = SSE42 | SSE41; },
         CpuTypeFamily6Model26, 3, StatusOk},
        {"family 6 model 28", [](ScriptedCpu& c) { c.signature = Signature(6, 28); c.ecx1 = SSSE3; },
         CpuTypeFamily6Model28, 2, StatusOk},
        {"family 6 model 42 with SSE4.2", [](ScriptedCpu& c) { c.signature = Signature(6, 42); c.ecx1 = SSE42 | SSE41 | SSSE3 | SSE3; },
         CpuTypeSse42, 3, StatusOk},
        {"family 15", [](ScriptedCpu& c) { c.signature = Signature(15, 4); c.ecx1 = SSE3; },
         CpuTypeSse3, 1, StatusOk},
        {"family 15 with an extended family", [](ScriptedCpu& c) { c.signature = Signature(16, 4); c.ecx1 = SSSE3; },
         CpuTypeSsse3, 2, StatusOk},
        {"other vendor, SSE4.1", [](ScriptedCpu& c) { c.vendor = kOtherVendor; c.signature = Signature(6, 23); c.ecx1 = SSE41 | SSSE3; },
         CpuTypeSse41, 3, WarningOtherCpuVendor},
        {"other vendor, family 6 model 15, SSSE3", [](ScriptedCpu& c) { c.vendor = kOtherVendor; c.signature = Signature(6, 15); c.ecx1 = SSSE3; },
         CpuTypeSsse3, 2, WarningOtherCpuVendor},
        {"other vendor, SSE3 best", [](ScriptedCpu& c) { c.vendor = kOtherVendor; c.ecx1 = SSE3; },
         CpuTypeSse3, 1, WarningOtherCpuVendor},
        {"SSE2 best", [](ScriptedCpu&) {}, CpuTypeSse2, 0, StatusOk},
        {"SSE best", [](ScriptedCpu& c) { c.edx1 = 1 << 25; }, CpuTypeSse, 0, StatusOk},
        {"only the 64-bit mode", [](ScriptedCpu& c) { c.edx1 = 0; }, CpuTypeLongModeOnly, 0, StatusOk},
        {"64-bit bit set but extended limit 0x80000000",
         [](ScriptedCpu& c) { c.edx1 = 0; c.highestExtendedLeaf = 0x80000000u; }, CpuTypeNone, 0, StatusOk},
    };
    for (const Row& row : rows) {
        ScriptedCpu cpu;
        row.script(cpu);
        EXPECT_EQ(DetectCpuTypeUsing(cpu.Reader()), row.code) << row.name;
        DispatchIndex = 3 - row.slot;  // any other slot
        EXPECT_EQ(InitDispatchIndexUsing(cpu.Reader()), row.status) << row.name;
        EXPECT_EQ(DispatchIndex, row.slot) << row.name;
    }
}

TEST_F(CpuDetection, ForceDispatchIndexAcceptsItsListAndKeepsTheIndexOtherwise)
{
    const struct {
        CpuTypeCode code;
        int32_t slot;  // -1: rejected
    } rows[] = {
        {0, 0},     {0x60, 0},  {0xFFFFFFFFu, 0}, {0x20, 1},  {0x21, 2},  {0x22, 2}, {0x24, 2}, {0x43, 2},
        {0x23, 3},  {0x25, 3},  {0x44, 3},        {0x45, 3},  {0x40, -1}, {0x41, -1}, {0x42, -1}, {0x26, -1},
        {0x1F, -1}, {0x46, -1}, {0x61, -1},       {0x7FFFFFFFu, -1},
    };
    for (const auto& row : rows) {
        DispatchIndex = 2;
        const PrimitiveStatus status = ForceDispatchIndex(row.code);
        if (row.slot < 0) {
            EXPECT_EQ(status, WarningUnknownCpuType) << std::hex << row.code;
            EXPECT_EQ(DispatchIndex, 2) << std::hex << row.code;
        } else {
            EXPECT_EQ(status, StatusOk) << std::hex << row.code;
            EXPECT_EQ(DispatchIndex, row.slot) << std::hex << row.code;
        }
    }
}

TEST_F(CpuDetection, ThisProcessorGetsASlotItCanRun)
{
    const PrimitiveStatus status = InitDispatchIndex();
    EXPECT_EQ(status, IsPreferredVendorCpu() != 0 ? StatusOk : WarningOtherCpuVendor);
    EXPECT_GE(DispatchIndex, 0);
    EXPECT_LE(DispatchIndex, 3);
    EXPECT_TRUE(coretest::ProcessorRunsSlot(DispatchIndex)) << "slot " << DispatchIndex;
    EXPECT_EQ(InitSlotOfCpuType(DetectCpuType()), DispatchIndex);
    EXPECT_EQ(CpuidPresent(), 1);
    EXPECT_EQ(ProbeCpuFeatureSse2(), 1);  // the x86-64 baseline
    const uint64_t first = ReadTimeStampCounter();
    EXPECT_GE(ReadTimeStampCounter(), first);
    int32_t regs[4];
    ReadCpuid(regs, 0, 0);
    EXPECT_EQ(regs[0], HighestCpuidLeaf());
}

TEST(CpuProbes, FeatureFlagsAndTheInfoRecord)
{
    ScriptedCpu cpu;
    cpu.signature = Signature(6, 0x3A, 9) | (1 << 12);
    cpu.ebx1 = 8 << 16;
    cpu.ecx1 = SSE3 | SSSE3 | SSE41;
    cpu.edx1 = (1 << 4) | (1 << 23) | (1 << 25) | (1 << 26) | (1 << 28);
    cpu.leaf2 = {{0x00B0B001, 0, 0, 0x00490043}};
    cpu.SetCores(6);
    const CpuidReader reader = cpu.Reader();
    EXPECT_EQ(ProbeCpuFeatureTimeStampCounter(reader), 1);
    EXPECT_EQ(ProbeCpuFeatureMultiThreading(reader), 1);
    EXPECT_EQ(ProbeCpuFeatureSse42(reader), 0);
    EXPECT_EQ(ProbeCpuFeatureCoresPerPackage(reader), 6);

    CpuInfoRecord record;
    record.Unused = 12345;
    EXPECT_EQ(FillCpuInfoRecord(&record, reader), 0x00B0B001);
    EXPECT_EQ(record.Family, 6);
    EXPECT_EQ(record.Model, 0xA);
    EXPECT_EQ(record.ExtendedModel, 3);
    EXPECT_EQ(record.Stepping, 9);
    EXPECT_EQ(record.ProcessorType, 1);
    EXPECT_EQ(record.Leaf2Edx, 0x00490043);
    EXPECT_EQ(record.Mmx + record.Sse + record.Sse2 + record.Sse3 + record.Ssse3 + record.Sse41, 6);
    EXPECT_EQ(record.Sse42, 0);
    EXPECT_EQ(record.LongMode, 1);
    EXPECT_EQ(record.CoresPerPackage, 6);
    EXPECT_EQ(record.Unused, 12345);

    // One logical processor per package is no multi-threading; no extended leaf 0x80000001, no
    // 64-bit mode.
    cpu.ebx1 = 1 << 16;
    cpu.highestExtendedLeaf = 0x80000000u;
    EXPECT_EQ(ProbeCpuFeatureMultiThreading(reader), 0);
    EXPECT_EQ(ProbeCpuFeatureLongMode(reader), 0);
}

TEST(CacheLookup, DescriptorsOfLeafTwo)
{
    struct Row {
        const char* name;
        CpuidRegisters leaf2;
        bool preferred;
        int64_t size;
    };
    const Row rows[] = {
        {"0x43 and 0x49: the larger first in the table", {{0x00004301, 0, 0, 0x49}}, true, 4 << 20},
        {"16 MiB and 512 KiB", {{0x01, 0x4300004D, 0, 0}}, true, 16 << 20},
        {"12 MiB and 3 MiB", {{0x01, 0, 0x00484C00, 0}}, true, 12 << 20},
        {"a register with bit 31 carries nothing", {{0x01, static_cast<int32_t>(0x8000004D), 0, 0x43}}, true, 512 << 10},
        {"AL is not 1", {{0x00490002, 0, 0, 0}}, true, 0},
        {"no known descriptor", {{0x00FF0001, 0x0A0B0C0D, 0, 0}}, true, 0},
        {"another vendor", {{0x00490001, 0, 0, 0}}, false, 0},
    };
    const int32_t callerTable[] = {0x4D, 16, 0x49, 4, 0x43, 1, 0};
    for (const Row& row : rows) {
        ScriptedCpu cpu;
        cpu.leaf2 = row.leaf2;
        if (!row.preferred) {
            cpu.vendor = kOtherVendor;
        }
        EXPECT_EQ(CacheSizeFromDescriptors(CacheDescriptorTable, cpu.Reader()), row.size) << row.name;
        if (row.preferred) {
            const int32_t expected = row.size == (16 << 20) ? 16 : row.size == (4 << 20) ? 4 : row.size == (512 << 10) ? 1 : -1;
            EXPECT_EQ(LookupCacheDescriptor(callerTable, cpu.Reader()), expected) << row.name;
        }
    }
    // The caller's table works for any vendor.
    ScriptedCpu other;
    other.vendor = kOtherVendor;
    other.leaf2 = {{0x00490001, 0, 0, 0}};
    EXPECT_EQ(LookupCacheDescriptor(callerTable, other.Reader()), 4);
}

TEST(CacheLookup, TheCopyKernelsChooseNonTemporalStoresByTheirRule)
{
    // Slot 1 shares the cache between the cores: 4 MiB over 4 cores leaves 1 MiB, half of it 0x80000.
    EXPECT_TRUE(CopyGoesNonTemporal(1, 0x80000, 4 << 20, 4));
    EXPECT_FALSE(CopyGoesNonTemporal(1, 0x7FFFF, 4 << 20, 4));
    EXPECT_FALSE(CopyGoesNonTemporal(1, 0x80000, 4 << 20, 2));
    EXPECT_FALSE(CopyGoesNonTemporal(1, 0x80000, 0, 4));
    // Slots 2 and 3 take the whole cache and look only from 0x100000 bytes on.
    EXPECT_FALSE(CopyGoesNonTemporal(2, 0xFFFFF, 512 << 10, 4));
    EXPECT_TRUE(CopyGoesNonTemporal(3, 0x100000, 2 << 20, 4));
    EXPECT_FALSE(CopyGoesNonTemporal(3, 0x100000, 4 << 20, 1));
}

class KernelCacheLookups : public ::testing::TestWithParam<int> {};

// Each variant's kernels look the cache up only beyond their limits, and with a small scripted
// cache take their non-temporal loops, which leave the same bytes.
TEST_P(KernelCacheLookups, OnlyBeyondTheLimitsAndNonTemporalLoopsGiveTheSameBytes)
{
    const int slot = GetParam();
    if (!coretest::ProcessorRunsSlot(slot)) {
        GTEST_SKIP() << "this processor lacks slot " << slot;
    }
    using ZeroFn = void* (*)(void*, int64_t, const CpuidReader&);
    using CopyFn = void* (*)(const void*, void*, int64_t, const CpuidReader&);
    using FillFn = void (*)(const uint32_t*, void*, int32_t, const CpuidReader&);
    const ZeroFn zero[] = {nullptr, Sse3Variant::ZeroBytesSse, Ssse3Variant::ZeroBytesSse, Sse41Variant::ZeroBytesSse};
    const CopyFn copy[] = {nullptr, Sse3Variant::CopyBytesSse, Ssse3Variant::CopyBytesSse, Sse41Variant::CopyBytesSse};
    const FillFn fill[] = {nullptr, Sse3Variant::FillKernel32Sse, Ssse3Variant::FillKernel32Sse,
                           Sse41Variant::FillKernel32Sse};

    std::vector<uint8_t> big((3 << 20) + 64, 0x5A);
    auto* aligned = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(big.data()) + 15) & ~uintptr_t{15});
    ScriptedCpu cpu;
    cpu.leaf2 = {{0x00000001, 0, 0, 0x43}};  // 512 KiB
    cpu.SetCores(1);

    zero[slot](aligned, 0x80000, cpu.Reader());
    EXPECT_EQ(cpu.leaf2Reads, 0);
    zero[slot](aligned + 16, 0x80001, cpu.Reader());
    EXPECT_EQ(cpu.leaf2Reads, 1);
    const uint32_t pattern = 0x01020304u;
    fill[slot](&pattern, aligned, 0x40000, cpu.Reader());
    EXPECT_EQ(cpu.leaf2Reads, 1);
    fill[slot](&pattern, aligned, 0x40001, cpu.Reader());
    EXPECT_EQ(cpu.leaf2Reads, 2);

    // Non-temporal zero, fill and copy at an unaligned start, against plain loops.
    std::vector<uint8_t> src((2 << 20) + 3);
    for (size_t i = 0; i < src.size(); ++i) {
        src[i] = static_cast<uint8_t>(i * 7 + i / 251);
    }
    const int64_t n = (1 << 20) + 37;
    std::fill(big.begin(), big.end(), 0x5A);
    zero[slot](aligned + 5, n, cpu.Reader());
    EXPECT_EQ(big[static_cast<size_t>(aligned - big.data()) + 4], 0x5A);
    EXPECT_EQ(std::count(aligned + 5, aligned + 5 + n, 0), n);
    EXPECT_EQ(aligned[5 + n], 0x5A);

    copy[slot](src.data() + 3, aligned + 16, n, cpu.Reader());
    EXPECT_EQ(0, memcmp(src.data() + 3, aligned + 16, static_cast<size_t>(n)));
    EXPECT_EQ(aligned[16 + n], 0x5A);

    fill[slot](&pattern, aligned + 2, 0x50001, cpu.Reader());
    const uint8_t word[4] = {0x04, 0x03, 0x02, 0x01};
    bool filled = true;
    for (int64_t i = 0; i < 0x50001 && filled; ++i) {
        filled = memcmp(aligned + 2 + 4 * i, word, 4) == 0;
    }
    EXPECT_TRUE(filled);
    EXPECT_EQ(aligned[2 + 4 * 0x50001], 0x5A);
    EXPECT_GE(cpu.leaf2Reads, 5);
}

INSTANTIATE_TEST_SUITE_P(Slots, KernelCacheLookups, ::testing::Values(1, 2, 3),
                         [](const ::testing::TestParamInfo<int>& info) { return "Slot" + std::to_string(info.param); });

// ---- floating-point control ----

class FpControl : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_mxcsr = _mm_getcsr();
        m_x87 = GetX87ControlWord();
    }
    void TearDown() override
    {
        _mm_setcsr(m_mxcsr);
        LoadX87ControlWord(m_x87);
        GetAndClearX87StatusWord();
    }

private:
    uint32_t m_mxcsr = 0;
    uint32_t m_x87 = 0;
};

TEST_F(FpControl, MxcsrRoutines)
{
    _mm_setcsr(0x1F80u | 0x6000u | 0x8040u);
    EXPECT_EQ(FpControlHelpers.ResetMxcsr(), 0x1F80u | 0x6000u | 0x8040u);
    EXPECT_EQ(FpControlHelpers.GetMxcsr(), 0x1F80u);
    EXPECT_EQ(FpControlHelpers.SetMxcsrMasked(0x2000u, 0x6000u), 0x1F80u);
    EXPECT_EQ(GetMxcsr(), 0x3F80u);
    EXPECT_EQ(FpControlHelpers.SetMxcsrRounding(0x4000u), 0x3F80u);
    EXPECT_EQ(GetMxcsr(), 0x5F80u);
    FpControlHelpers.LoadMxcsr(0x1F80u);
    EXPECT_EQ(GetMxcsr(), 0x1F80u);
    EXPECT_EQ(FpControlHelpers.DenormalsAreZeroSupported(), 1);  // every x86-64 processor has it
}

TEST_F(FpControl, DoubleClassification)
{
    const struct {
        double value;
        int32_t nan;
        int32_t finite;
    } rows[] = {
        {0.0, 0, 1}, {-1.5, 0, 1}, {__builtin_inf(), 0, 0}, {-__builtin_inf(), 0, 0}, {__builtin_nan(""), 1, 0},
        {__builtin_bit_cast(double, 0x7FF0000000000001ull), 1, 0}, {__builtin_bit_cast(double, 0x0000000000000001ull), 0, 1},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(FpControlHelpers.IsNanDouble(row.value), row.nan) << row.value;
        EXPECT_EQ(FpControlHelpers.IsFiniteDouble(row.value), row.finite) << row.value;
    }
}

TEST_F(FpControl, X87WordsAndAbstractFlags)
{
    // Mask 0 writes the same word back and reports its abstract flags.
    const uint32_t word = FpControlHelpers.GetX87ControlWord();
    EXPECT_EQ(FpControlHelpers.SetX87ControlAbstract(0xFFFFFFFFu, 0), AbstractFromX87(word));
    EXPECT_EQ(GetX87ControlWord(), word);

    // Toward zero (rounding 3), 53-bit precision, invalid unmasked: in both directions.
    const uint32_t flags = FpControlHelpers.SetX87ControlAbstract(0x300u | 0x10000u, 0x300u | 0x30000u | 0x10u);
    EXPECT_EQ(flags & 0x30310u, 0x10300u);
    EXPECT_EQ(GetX87ControlWord() & 0x0F3Fu, (word & 0x003Eu) | 0x0C00u | 0x0200u);
    EXPECT_EQ(AbstractFromX87(X87FromAbstract(0x40000u | 0x20000u | 0x80000u | 0x1Fu | 0x100u)),
              0x40000u | 0x20000u | 0x80000u | 0x1Fu | 0x100u);
    EXPECT_EQ(X87FromAbstract(0), 0x0300u);  // 64-bit precision, nearest, every exception unmasked

    const uint32_t before = GetX87ControlWord();
    EXPECT_EQ(FpControlHelpers.SetX87ControlWord(0x037Fu, 0xFFFFu), before);
    EXPECT_EQ(GetX87ControlWord(), 0x037Fu);
    EXPECT_EQ(FpControlHelpers.SetX87ControlWhenDifferent(0x0C00u, 0x0C00u), 0x037Fu);
    EXPECT_EQ(GetX87ControlWord(), 0x0F7Fu);
    FpControlHelpers.LoadX87ControlWord(0x037Fu);

    // Divide-by-zero on the x87 unit shows in the status word and its abstract flags, and clears.
    GetAndClearX87StatusWord();
    volatile long double one = 1.0L;
    volatile long double zero = 0.0L;
    volatile long double quotient = one / zero;
    (void)quotient;
    EXPECT_NE(FpControlHelpers.GetX87StatusWord() & 0x04u, 0u);
    EXPECT_EQ(FpControlHelpers.GetX87StatusAbstract() & 0x08u, 0x08u);
    EXPECT_EQ(FpControlHelpers.GetAndClearX87StatusAbstract() & 0x08u, 0x08u);
    EXPECT_EQ(FpControlHelpers.GetAndClearX87StatusWord() & 0x3Fu, 0u);
    EXPECT_EQ(FpControlHelpers.GetX87StatusAbstract(), 0u);
}

}  // namespace
