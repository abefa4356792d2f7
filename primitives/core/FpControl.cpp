#include "primitives/core/FpControl.h"

#include "primitives/core/FloatBits.h"

namespace {

constexpr uint32_t MXCSR_DEFAULT = 0x1F80u;  // all exceptions masked, nearest, no FTZ or DAZ
constexpr uint32_t MXCSR_ROUNDING = 0x6000u;
constexpr uint32_t MXCSR_DAZ = 0x0040u;

// x87 exception bits (0 to 5) and their abstract flags, in bit order.
constexpr uint32_t ABSTRACT_EXCEPTION[6] = {0x10u, 0x80000u, 0x08u, 0x04u, 0x02u, 0x01u};
constexpr uint32_t ABSTRACT_PRECISION_24 = 0x20000u;
constexpr uint32_t ABSTRACT_PRECISION_53 = 0x10000u;
constexpr uint32_t ABSTRACT_INFINITY = 0x40000u;

inline uint32_t ReadMxcsr()
{
    uint32_t value;
    __asm__ __volatile__("stmxcsr %0" : "=m"(value));
    return value;
}

inline void WriteMxcsr(uint32_t value)
{
    __asm__ __volatile__("ldmxcsr %0" : : "m"(value));
}

inline uint32_t ReadX87Control()
{
    uint16_t word;
    __asm__ __volatile__("fnstcw %0" : "=m"(word));
    return word;
}

inline void WriteX87Control(uint32_t value)
{
    uint16_t word = static_cast<uint16_t>(value);
    __asm__ __volatile__("fldcw %0" : : "m"(word));
}

inline uint32_t ReadX87Status()
{
    uint16_t word;
    __asm__ __volatile__("fnstsw %0" : "=m"(word));
    return word;
}

inline void ClearX87Exceptions()
{
    __asm__ __volatile__("fnclex");
}

}  // namespace

namespace {

// The exception bits 0 to 5 of a control or status word as abstract flags.
uint32_t AbstractExceptions(uint32_t word)
{
    uint32_t flags = 0;
    for (int bit = 0; bit < 6; ++bit) {
        if ((word >> bit) & 1u) {
            flags |= ABSTRACT_EXCEPTION[bit];
        }
    }
    return flags;
}

}  // namespace

uint32_t AbstractFromX87(uint32_t word)
{
    uint32_t flags = AbstractExceptions(word);
    flags |= ((word >> 10) & 3u) << 8;
    switch ((word >> 8) & 3u) {
    case 0:
        flags |= ABSTRACT_PRECISION_24;
        break;
    case 2:
        flags |= ABSTRACT_PRECISION_53;
        break;
    case 1:  // reserved encoding: both bits, so that it translates back unchanged
        flags |= ABSTRACT_PRECISION_24 | ABSTRACT_PRECISION_53;
        break;
    default:
        break;
    }
    if ((word >> 12) & 1u) {
        flags |= ABSTRACT_INFINITY;
    }
    return flags;
}

uint32_t X87FromAbstract(uint32_t flags)
{
    uint32_t word = 0;
    for (int bit = 0; bit < 6; ++bit) {
        if ((flags & ABSTRACT_EXCEPTION[bit]) != 0) {
            word |= 1u << bit;
        }
    }
    word |= ((flags >> 8) & 3u) << 10;
    const uint32_t precision = flags & (ABSTRACT_PRECISION_24 | ABSTRACT_PRECISION_53);
    if (precision == ABSTRACT_PRECISION_24) {
        word |= 0u << 8;
    } else if (precision == ABSTRACT_PRECISION_53) {
        word |= 2u << 8;
    } else if (precision == 0) {
        word |= 3u << 8;
    } else {
        word |= 1u << 8;
    }
    if ((flags & ABSTRACT_INFINITY) != 0) {
        word |= 1u << 12;
    }
    return word;
}

uint32_t ResetMxcsr()
{
    const uint32_t old = ReadMxcsr();
    WriteMxcsr(MXCSR_DEFAULT);
    return old;
}

uint32_t SetX87ControlWord(uint32_t value, uint32_t mask)
{
    const uint32_t old = ReadX87Control();
    WriteX87Control((old & ~mask) | (value & mask));
    return old;
}

uint32_t GetX87ControlWord()
{
    return ReadX87Control();
}

uint32_t GetX87StatusWord()
{
    return ReadX87Status();
}

uint32_t GetAndClearX87StatusWord()
{
    const uint32_t status = ReadX87Status();
    ClearX87Exceptions();
    return status;
}

uint32_t SetMxcsrMasked(uint32_t value, uint32_t mask)
{
    const uint32_t old = ReadMxcsr();
    WriteMxcsr((old & ~mask) | (value & mask));
    return old;
}

uint32_t GetMxcsr()
{
    return ReadMxcsr();
}

int32_t IsNanDouble(double value)
{
    return (Bits(value) & 0x7FFFFFFFFFFFFFFFull) > 0x7FF0000000000000ull ? 1 : 0;
}

int32_t IsFiniteDouble(double value)
{
    return (Bits(value) & 0x7FF0000000000000ull) != 0x7FF0000000000000ull ? 1 : 0;
}

uint32_t SetMxcsrRounding(uint32_t value)
{
    const uint32_t old = ReadMxcsr();
    if ((old & MXCSR_ROUNDING) != value) {
        WriteMxcsr((old & ~MXCSR_ROUNDING) | value);
    }
    return old;
}

void LoadMxcsr(uint32_t value)
{
    WriteMxcsr(value);
}

int32_t DenormalsAreZeroSupported()
{
    // The MXCSR mask of the FXSAVE image (offset 28); 0 there means the default mask 0xFFBF.
    alignas(16) uint8_t image[512] = {};
    __asm__ __volatile__("fxsave %0" : "=m"(image));
    uint32_t mask;
    __builtin_memcpy(&mask, image + 28, sizeof(mask));
    return (mask != 0 && (mask & MXCSR_DAZ) != 0) ? 1 : 0;
}

uint32_t SetX87ControlAbstract(uint32_t value, uint32_t mask)
{
    const uint32_t old = AbstractFromX87(ReadX87Control());
    const uint32_t flags = (value & mask) | (old & ~mask);
    // Bits 6-7 and 13-15 of the word have no abstract flag; they are kept as they are.
    const uint32_t kept = ReadX87Control() & 0xE0C0u;
    WriteX87Control(X87FromAbstract(flags) | kept);
    return flags;
}

uint32_t GetX87StatusAbstract()
{
    return AbstractExceptions(ReadX87Status());
}

uint32_t GetAndClearX87StatusAbstract()
{
    const uint32_t flags = GetX87StatusAbstract();
    ClearX87Exceptions();
    return flags;
}

uint32_t SetX87ControlWhenDifferent(uint32_t value, uint32_t mask)
{
    const uint32_t old = ReadX87Control();
    if ((old & mask) != value) {
        WriteX87Control((old & ~mask) | value);
    }
    return old;
}

void LoadX87ControlWord(uint32_t value)
{
    WriteX87Control(value);
}

const FpControlHelperTable FpControlHelpers = {
    ResetMxcsr,       SetX87ControlWord,         GetX87ControlWord,          GetX87StatusWord,
    GetAndClearX87StatusWord, SetMxcsrMasked,    GetMxcsr,                   IsNanDouble,
    IsFiniteDouble,   SetMxcsrRounding,          LoadMxcsr,                  DenormalsAreZeroSupported,
    SetX87ControlAbstract, GetX87StatusAbstract, GetAndClearX87StatusAbstract, SetX87ControlWhenDifferent,
    LoadX87ControlWord,
};
