#include "primitives/core/CpuDetection.h"

#include <cpuid.h>
#include <x86intrin.h>

#include "primitives/core/Dispatch.h"

namespace {

void ReadHardwareCpuid(void*, int32_t leaf, int32_t subleaf, CpuidRegisters* out)
{
    unsigned int a;
    unsigned int b;
    unsigned int c;
    unsigned int d;
    __cpuid_count(static_cast<unsigned int>(leaf), static_cast<unsigned int>(subleaf), a, b, c, d);
    out->Reg[0] = static_cast<int32_t>(a);
    out->Reg[1] = static_cast<int32_t>(b);
    out->Reg[2] = static_cast<int32_t>(c);
    out->Reg[3] = static_cast<int32_t>(d);
}

inline CpuidRegisters Leaf(const CpuidReader& reader, uint32_t leaf, int32_t subleaf = 0)
{
    CpuidRegisters r = {};
    reader.Read(reader.Context, static_cast<int32_t>(leaf), subleaf, &r);
    return r;
}

inline int32_t Bit(int32_t reg, int bit)
{
    return static_cast<int32_t>((static_cast<uint32_t>(reg) >> bit) & 1u);
}

inline uint32_t Field(int32_t reg, int low, int width)
{
    return (static_cast<uint32_t>(reg) >> low) & ((1u << width) - 1u);
}

constexpr int EAX = 0;
constexpr int EBX = 1;
constexpr int ECX = 2;
constexpr int EDX = 3;

int32_t Leaf1Bit(const CpuidReader& reader, int reg, int bit)
{
    return Bit(Leaf(reader, 1).Reg[reg], bit);
}

// The descriptor bytes of leaf 2 into bytes[], their count returned; -1 when leaf 2 does not answer
// in one round (low byte of EAX not 1). A register with bit 31 set carries no descriptors.
int32_t CacheDescriptorBytes(const CpuidReader& reader, uint8_t bytes[15])
{
    CpuidRegisters r = Leaf(reader, 2);
    if ((r.Reg[EAX] & 0xFF) != 1) {
        return -1;
    }
    int32_t count = 0;
    for (int reg = 0; reg < 4; ++reg) {
        uint32_t value = r.Reg[reg] < 0 ? 0u : static_cast<uint32_t>(r.Reg[reg]);
        if (value == 0) {
            continue;
        }
        for (int byte = reg == EAX ? 1 : 0; byte < 4; ++byte) {
            bytes[count++] = static_cast<uint8_t>(value >> (8 * byte));
        }
    }
    return count;
}

bool Reported(const uint8_t* bytes, int32_t count, uint8_t descriptor)
{
    for (int32_t i = 0; i < count; ++i) {
        if (bytes[i] == descriptor) {
            return true;
        }
    }
    return false;
}

}  // namespace

const CpuidReader HardwareCpuid = {ReadHardwareCpuid, nullptr};

// The three register words of the preferred vendor's leaf 0 answer.
const CpuVendorWords PreferredCpuVendor = {0x756E6547u, 0x49656E69u, 0x6C65746Eu};

const uint8_t CacheDescriptorTable[2 * CACHE_DESCRIPTOR_PAIRS + 1] = KVX_CACHE_DESCRIPTOR_BYTES;

void ReadCpuid(int32_t regs[4], int32_t leaf, int32_t subleaf)
{
    CpuidRegisters r;
    ReadHardwareCpuid(nullptr, leaf, subleaf, &r);
    for (int i = 0; i < 4; ++i) {
        regs[i] = r.Reg[i];
    }
}

int32_t CpuidPresent()
{
    return 1;  // every x86-64 processor has cpuid
}

int32_t HighestCpuidLeaf(const CpuidReader& reader)
{
    return Leaf(reader, 0).Reg[EAX];
}

int32_t ProbeCpuFeatureTimeStampCounter(const CpuidReader& reader)
{
    return Leaf1Bit(reader, EDX, 4);
}

int32_t ProbeCpuFeatureMmx(const CpuidReader& reader)
{
    return Leaf1Bit(reader, EDX, 23);
}

int32_t ProbeCpuFeatureSse(const CpuidReader& reader)
{
    return Leaf1Bit(reader, EDX, 25);
}

int32_t ProbeCpuFeatureSse2(const CpuidReader& reader)
{
    return Leaf1Bit(reader, EDX, 26);
}

int32_t ProbeCpuFeatureMultiThreading(const CpuidReader& reader)
{
    CpuidRegisters r = Leaf(reader, 1);
    return (Bit(r.Reg[EDX], 28) != 0 && Field(r.Reg[EBX], 16, 8) > 1) ? 1 : 0;
}

int32_t ProbeCpuFeatureSse3(const CpuidReader& reader)
{
    return Leaf1Bit(reader, ECX, 0);
}

int32_t ProbeCpuFeatureLongMode(const CpuidReader& reader)
{
    // Bits 0-30 of the highest extended leaf: 0x80000000 itself reports no leaf 0x80000001.
    if ((Leaf(reader, 0x80000000u).Reg[EAX] & 0x7FFFFFFF) == 0) {
        return 0;
    }
    return Bit(Leaf(reader, 0x80000001u).Reg[EDX], 29);
}

int32_t ProbeCpuFeatureSsse3(const CpuidReader& reader)
{
    return Leaf1Bit(reader, ECX, 9);
}

int32_t ProbeCpuFeatureSse41(const CpuidReader& reader)
{
    return Leaf1Bit(reader, ECX, 19);
}

int32_t ProbeCpuFeatureSse42(const CpuidReader& reader)
{
    return Leaf1Bit(reader, ECX, 20);
}

int32_t ProbeCpuFeatureCoresPerPackage(const CpuidReader& reader)
{
    if (HighestCpuidLeaf(reader) < 4) {
        return 1;
    }
    return static_cast<int32_t>(Field(Leaf(reader, 4, 0).Reg[EAX], 26, 6)) + 1;
}

int32_t IsPreferredVendorCpu(const CpuidReader& reader)
{
    CpuidRegisters r = Leaf(reader, 0);
    return (static_cast<uint32_t>(r.Reg[EBX]) == PreferredCpuVendor.Ebx &&
            static_cast<uint32_t>(r.Reg[EDX]) == PreferredCpuVendor.Edx &&
            static_cast<uint32_t>(r.Reg[ECX]) == PreferredCpuVendor.Ecx)
               ? 1
               : 0;
}

uint64_t ReadTimeStampCounter()
{
    return __rdtsc();
}

int32_t FillCpuInfoRecord(CpuInfoRecord* record, const CpuidReader& reader)
{
    CpuidRegisters one = Leaf(reader, 1);
    CpuidRegisters two = Leaf(reader, 2);
    record->Family = static_cast<int32_t>(Field(one.Reg[EAX], 8, 4));
    record->Stepping = static_cast<int32_t>(Field(one.Reg[EAX], 0, 4));
    record->Model = static_cast<int32_t>(Field(one.Reg[EAX], 4, 4));
    record->ProcessorType = static_cast<int32_t>(Field(one.Reg[EAX], 12, 2));
    record->Leaf1Edx = one.Reg[EDX];
    record->Leaf2Eax = two.Reg[EAX];
    record->Leaf2Edx = two.Reg[EDX];
    record->Mmx = ProbeCpuFeatureMmx(reader);
    record->Sse = ProbeCpuFeatureSse(reader);
    record->Sse2 = ProbeCpuFeatureSse2(reader);
    record->MultiThreading = ProbeCpuFeatureMultiThreading(reader);
    record->Sse3 = ProbeCpuFeatureSse3(reader);
    record->LongMode = ProbeCpuFeatureLongMode(reader);
    record->Ssse3 = ProbeCpuFeatureSsse3(reader);
    record->CoresPerPackage = ProbeCpuFeatureCoresPerPackage(reader);
    record->Sse41 = ProbeCpuFeatureSse41(reader);
    record->Sse42 = ProbeCpuFeatureSse42(reader);
    record->ExtendedFamily = static_cast<int32_t>(Field(one.Reg[EAX], 20, 8));
    record->ExtendedModel = static_cast<int32_t>(Field(one.Reg[EAX], 16, 4));
    return two.Reg[EAX];
}

int64_t CacheSizeFromDescriptors(const uint8_t* table, const CpuidReader& reader)
{
    if (IsPreferredVendorCpu(reader) == 0) {
        return 0;
    }
    uint8_t bytes[15];
    int32_t count = CacheDescriptorBytes(reader, bytes);
    if (count <= 0) {
        return 0;
    }
    for (const uint8_t* pair = table; pair[0] != 0; pair += 2) {
        if (Reported(bytes, count, pair[0])) {
            return static_cast<int64_t>(pair[1] >> 4) << ((pair[1] & 15) + 18);
        }
    }
    return 0;
}

int32_t LookupCacheDescriptor(const int32_t* table, const CpuidReader& reader)
{
    uint8_t bytes[15];
    int32_t count = CacheDescriptorBytes(reader, bytes);
    if (count <= 0) {
        return -1;
    }
    for (const int32_t* pair = table; pair[0] != 0; pair += 2) {
        if (Reported(bytes, count, static_cast<uint8_t>(pair[0]))) {
            return pair[1];
        }
    }
    return -1;
}

CpuTypeCode DetectCpuTypeUsing(const CpuidReader& reader)
{
    if (CpuidPresent() == 0) {
        return CpuTypeNone;
    }
    CpuidRegisters one = Leaf(reader, 1);
    const int32_t ecx = one.Reg[ECX];
    const int32_t edx = one.Reg[EDX];
    const int32_t longMode = ProbeCpuFeatureLongMode(reader);
    const int32_t cores = ProbeCpuFeatureCoresPerPackage(reader);
    uint32_t family = Field(one.Reg[EAX], 8, 4);
    uint32_t model = Field(one.Reg[EAX], 4, 4);
    if (family == 6 || family == 15) {
        model += Field(one.Reg[EAX], 16, 4) << 4;
    }
    if (family == 15) {
        family += Field(one.Reg[EAX], 20, 8);
    }
    if (IsPreferredVendorCpu(reader) != 0) {
        if (family == 6) {
            switch (model) {
            case 15:
                return cores > 2 ? CpuTypeFamily6Model15Multi : CpuTypeFamily6Model15;
            case 23:
                return CpuTypeSse41;
            case 26:
                return CpuTypeFamily6Model26;
            case 28:
                return CpuTypeFamily6Model28;
            default:
                break;
            }
        } else if (family == 15) {
            return CpuTypeSse3;
        }
    }
    if (Bit(ecx, 20) != 0) {
        return CpuTypeSse42;
    }
    if (Bit(ecx, 19) != 0) {
        return CpuTypeSse41;
    }
    if (Bit(ecx, 9) != 0) {
        return CpuTypeSsse3;
    }
    if (Bit(ecx, 0) != 0) {
        return CpuTypeSse3;
    }
    if (Bit(edx, 26) != 0) {
        return CpuTypeSse2;
    }
    if (Bit(edx, 25) != 0) {
        return CpuTypeSse;
    }
    return longMode != 0 ? CpuTypeLongModeOnly : CpuTypeNone;
}

int32_t InitSlotOfCpuType(CpuTypeCode code)
{
    switch (code) {
    case CpuTypeCode20:
    case CpuTypeSse3:
        return 1;
    case CpuTypeFamily6Model15:
    case CpuTypeFamily6Model15Multi:
    case CpuTypeFamily6Model28:
    case CpuTypeSsse3:
        return 2;
    case CpuTypeFamily6Model26:
    case CpuTypeCode25:
    case CpuTypeSse41:
    case CpuTypeSse42:
        return 3;
    default:
        return 0;
    }
}

int32_t ForcedSlotOfCpuType(CpuTypeCode code)
{
    switch (code) {
    case CpuTypeNone:
    case CpuTypeLongModeOnly:
    case 0xFFFFFFFFu:
        return 0;
    case CpuTypeSse:
    case CpuTypeSse2:
    case CpuTypeSse3:
        return -1;
    default: {
        int32_t slot = InitSlotOfCpuType(code);
        return slot == 0 ? -1 : slot;
    }
    }
}

PrimitiveStatus InitDispatchIndexUsing(const CpuidReader& reader)
{
    DispatchIndex = InitSlotOfCpuType(DetectCpuTypeUsing(reader));
    return (CpuidPresent() != 0 && IsPreferredVendorCpu(reader) != 0) ? StatusOk : WarningOtherCpuVendor;
}

extern "C" CpuTypeCode DetectCpuType(void)
{
    return DetectCpuTypeUsing(HardwareCpuid);
}

extern "C" PrimitiveStatus InitDispatchIndex(void)
{
    return InitDispatchIndexUsing(HardwareCpuid);
}

extern "C" PrimitiveStatus ForceDispatchIndex(CpuTypeCode code)
{
    int32_t slot = ForcedSlotOfCpuType(code);
    if (slot < 0) {
        return WarningUnknownCpuType;
    }
    DispatchIndex = slot;
    return StatusOk;
}
