// Routines on the floating-point control and status registers of the calling thread: MXCSR and
// the x87 control and status words. They change nothing but the caller's registers.
//
// The abstract flags of the x87 routines (SetX87ControlAbstract and the status readers):
// exceptions invalid 0x10, denormal 0x80000, divide-by-zero 0x08, overflow 0x04, underflow 0x02,
// inexact 0x01 (x87 bits 0 to 5); the rounding field (x87 bits 10-11) in bits 8-9; precision
// 24-bit 0x20000, 53-bit 0x10000, 64-bit 0 (x87 bits 8-9); infinity control (bit 12) 0x40000.
#pragma once

#include "primitives/core/PrimitiveTypes.h"

uint32_t ResetMxcsr();
uint32_t SetX87ControlWord(uint32_t value, uint32_t mask);
uint32_t GetX87ControlWord();
uint32_t GetX87StatusWord();
uint32_t GetAndClearX87StatusWord();
uint32_t SetMxcsrMasked(uint32_t value, uint32_t mask);
uint32_t GetMxcsr();
int32_t IsNanDouble(double value);
int32_t IsFiniteDouble(double value);
uint32_t SetMxcsrRounding(uint32_t value);
void LoadMxcsr(uint32_t value);
int32_t DenormalsAreZeroSupported();
uint32_t SetX87ControlAbstract(uint32_t value, uint32_t mask);
uint32_t GetX87StatusAbstract();
uint32_t GetAndClearX87StatusAbstract();
uint32_t SetX87ControlWhenDifferent(uint32_t value, uint32_t mask);
void LoadX87ControlWord(uint32_t value);

// The seventeen routines in their fixed order.
struct FpControlHelperTable {
    uint32_t (*ResetMxcsr)();
    uint32_t (*SetX87ControlWord)(uint32_t value, uint32_t mask);
    uint32_t (*GetX87ControlWord)();
    uint32_t (*GetX87StatusWord)();
    uint32_t (*GetAndClearX87StatusWord)();
    uint32_t (*SetMxcsrMasked)(uint32_t value, uint32_t mask);
    uint32_t (*GetMxcsr)();
    int32_t (*IsNanDouble)(double value);
    int32_t (*IsFiniteDouble)(double value);
    uint32_t (*SetMxcsrRounding)(uint32_t value);
    void (*LoadMxcsr)(uint32_t value);
    int32_t (*DenormalsAreZeroSupported)();
    uint32_t (*SetX87ControlAbstract)(uint32_t value, uint32_t mask);
    uint32_t (*GetX87StatusAbstract)();
    uint32_t (*GetAndClearX87StatusAbstract)();
    uint32_t (*SetX87ControlWhenDifferent)(uint32_t value, uint32_t mask);
    void (*LoadX87ControlWord)(uint32_t value);
};
extern const FpControlHelperTable FpControlHelpers;

// Translations between the x87 control word and abstract flags.
uint32_t AbstractFromX87(uint32_t word);
uint32_t X87FromAbstract(uint32_t flags);
