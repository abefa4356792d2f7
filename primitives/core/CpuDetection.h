// Processor detection and the two operations that choose a dispatch slot.
//
// Every probe reads cpuid through a CpuidReader handed down by its caller: the public forms use
// the processor itself, tests pass a scripted processor. Nothing here keeps a result: each call
// reads the processor afresh. The system never calls InitDispatchIndex or ForceDispatchIndex, so
// the dispatch index stays 0 and every entry point runs its generic body.
#pragma once

#include "primitives/core/CpuTypeCode.h"
#include "primitives/core/PrimitiveTypes.h"

// One cpuid answer: EAX, EBX, ECX, EDX in this order.
struct CpuidRegisters {
    int32_t Reg[4];
};

// Answers cpuid(leaf, subleaf) into *out. Context is the reader's own.
struct CpuidReader {
    void (*Read)(void* context, int32_t leaf, int32_t subleaf, CpuidRegisters* out);
    void* Context;
};

// The processor this code runs on.
extern const CpuidReader HardwareCpuid;

// Executes cpuid with leaf and subleaf and stores EAX, EBX, ECX, EDX in regs[0..3].
void ReadCpuid(int32_t regs[4], int32_t leaf, int32_t subleaf);

// Leaf 0 of the preferred vendor, whose family and model numbers the type codes use: the
// twelve-character id as its three register words EBX, EDX, ECX.
struct CpuVendorWords {
    uint32_t Ebx;
    uint32_t Edx;
    uint32_t Ecx;
};
extern const CpuVendorWords PreferredCpuVendor;

// Probes; 0/1 results unless stated.
int32_t CpuidPresent();
int32_t HighestCpuidLeaf(const CpuidReader& reader = HardwareCpuid);
int32_t ProbeCpuFeatureTimeStampCounter(const CpuidReader& reader = HardwareCpuid);
int32_t ProbeCpuFeatureMmx(const CpuidReader& reader = HardwareCpuid);
int32_t ProbeCpuFeatureSse(const CpuidReader& reader = HardwareCpuid);
int32_t ProbeCpuFeatureSse2(const CpuidReader& reader = HardwareCpuid);
int32_t ProbeCpuFeatureMultiThreading(const CpuidReader& reader = HardwareCpuid);
int32_t ProbeCpuFeatureSse3(const CpuidReader& reader = HardwareCpuid);
int32_t ProbeCpuFeatureLongMode(const CpuidReader& reader = HardwareCpuid);
int32_t ProbeCpuFeatureSsse3(const CpuidReader& reader = HardwareCpuid);
int32_t ProbeCpuFeatureSse41(const CpuidReader& reader = HardwareCpuid);
int32_t ProbeCpuFeatureSse42(const CpuidReader& reader = HardwareCpuid);
// Cores per package: leaf 4 subleaf 0 EAX bits 26-31 plus 1; 1 when leaf 4 does not exist.
int32_t ProbeCpuFeatureCoresPerPackage(const CpuidReader& reader = HardwareCpuid);
int32_t IsPreferredVendorCpu(const CpuidReader& reader = HardwareCpuid);
uint64_t ReadTimeStampCounter();

// Filled by FillCpuInfoRecord in caller memory; Unused is never written.
struct CpuInfoRecord {
    int32_t Family;
    int32_t Stepping;
    int32_t Model;
    int32_t ProcessorType;
    int32_t Leaf1Edx;
    int32_t Leaf2Eax;
    int32_t Leaf2Edx;
    int32_t Mmx;
    int32_t Unused;
    int32_t Sse;
    int32_t Sse2;
    int32_t MultiThreading;
    int32_t Sse3;
    int32_t LongMode;
    int32_t Ssse3;
    int32_t CoresPerPackage;
    int32_t Sse41;
    int32_t Sse42;
    int32_t ExtendedFamily;
    int32_t ExtendedModel;
};

// Fills *record and returns leaf 2 EAX.
int32_t FillCpuInfoRecord(CpuInfoRecord* record, const CpuidReader& reader = HardwareCpuid);

// Cache descriptors of leaf 2 and their size codes, largest cache first, ending in a 0 byte: the
// size in bytes is (code >> 4) << ((code & 15) + 18).
constexpr int32_t CACHE_DESCRIPTOR_PAIRS = 28;
#define KVX_CACHE_DESCRIPTOR_BYTES                                                                      \
    {0x4D, 0x16, 0x4C, 0x34, 0x4B, 0x15, 0x47, 0x15, 0x4E, 0x33, 0x4A, 0x33, 0x49, 0x14, 0x29, 0x14,   \
     0x46, 0x14, 0x48, 0x32, 0x25, 0x13, 0x7D, 0x13, 0x85, 0x13, 0x45, 0x13, 0x23, 0x12, 0x87, 0x12,   \
     0x7C, 0x12, 0x78, 0x12, 0x84, 0x12, 0x44, 0x12, 0x22, 0x11, 0x7B, 0x11, 0x80, 0x11, 0x86, 0x11,   \
     0x3E, 0x11, 0x7F, 0x11, 0x83, 0x11, 0x43, 0x11, 0}
extern const uint8_t CacheDescriptorTable[2 * CACHE_DESCRIPTOR_PAIRS + 1];

// The largest cache the processor reports through a descriptor of table (pairs of bytes as
// CacheDescriptorTable), in bytes; 0 when the vendor is not the preferred one, leaf 2 is not a
// single round, or no descriptor matches. Each kernel family passes its own copy of the table.
int64_t CacheSizeFromDescriptors(const uint8_t* table, const CpuidReader& reader);

// Over a caller's table of int32 pairs (descriptor in the low byte of the first, value in the
// second, ended by a first int32 of 0): the value of the first pair that leaf 2 reports, or -1.
// No vendor test.
int32_t LookupCacheDescriptor(const int32_t* table, const CpuidReader& reader = HardwareCpuid);

CpuTypeCode DetectCpuTypeUsing(const CpuidReader& reader);
PrimitiveStatus InitDispatchIndexUsing(const CpuidReader& reader);

// The slot each code selects: at start-up (every code has one) and when forced (-1: rejected).
int32_t InitSlotOfCpuType(CpuTypeCode code);
int32_t ForcedSlotOfCpuType(CpuTypeCode code);

extern "C" {
CpuTypeCode DetectCpuType(void);
PrimitiveStatus InitDispatchIndex(void);
PrimitiveStatus ForceDispatchIndex(CpuTypeCode code);
}
