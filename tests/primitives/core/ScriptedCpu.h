// Test-only helper: a scripted processor that answers cpuid from fields, counts the cache
// descriptor reads (leaf 2) and hands itself out as a CpuidReader.
#pragma once

#include "primitives/core/CpuDetection.h"

namespace coretest {

// Leaf 1 EAX from family, model (both with their extended parts folded as a processor reports
// them) and stepping.
inline int32_t Signature(uint32_t family, uint32_t model, uint32_t stepping = 1)
{
    uint32_t baseFamily = family >= 15 ? 15 : family;
    uint32_t extFamily = family >= 15 ? family - 15 : 0;
    return static_cast<int32_t>((extFamily << 20) | ((model >> 4) << 16) | (baseFamily << 8) | ((model & 15) << 4) |
                                stepping);
}

struct ScriptedCpu {
    // Leaf 0: highest leaf and vendor words (the preferred vendor by default).
    int32_t highestLeaf = 0x0B;
    CpuVendorWords vendor = PreferredCpuVendor;
    // Leaf 1.
    int32_t signature = Signature(6, 0x2A);
    int32_t ebx1 = 0;
    int32_t ecx1 = 0;
    int32_t edx1 = (1 << 25) | (1 << 26);
    // Leaf 2 and leaf 4 (subleaf 0).
    CpuidRegisters leaf2 = {{0, 0, 0, 0}};
    int32_t eax4 = 0;
    // Leaf 0x80000000 and 0x80000001.
    uint32_t highestExtendedLeaf = 0x80000008u;
    int32_t edxExtended1 = 1 << 29;

    int leaf2Reads = 0;

    CpuidReader Reader() { return {&ScriptedCpu::Read, this}; }

    // Cores per package as leaf 4 reports them.
    void SetCores(int32_t cores) { eax4 = (cores - 1) << 26; }

    static void Read(void* context, int32_t leaf, int32_t, CpuidRegisters* out)
    {
        auto* cpu = static_cast<ScriptedCpu*>(context);
        *out = {{0, 0, 0, 0}};
        switch (static_cast<uint32_t>(leaf)) {
        case 0:
            *out = {{cpu->highestLeaf, static_cast<int32_t>(cpu->vendor.Ebx), static_cast<int32_t>(cpu->vendor.Ecx),
                     static_cast<int32_t>(cpu->vendor.Edx)}};
            break;
        case 1:
            *out = {{cpu->signature, cpu->ebx1, cpu->ecx1, cpu->edx1}};
            break;
        case 2:
            ++cpu->leaf2Reads;
            *out = cpu->leaf2;
            break;
        case 4:
            out->Reg[0] = cpu->eax4;
            break;
        case 0x80000000u:
            out->Reg[0] = static_cast<int32_t>(cpu->highestExtendedLeaf);
            break;
        case 0x80000001u:
            out->Reg[3] = cpu->edxExtended1;
            break;
        default:
            break;
        }
    }
};

}  // namespace coretest
