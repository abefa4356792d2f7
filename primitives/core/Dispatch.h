// How a public entry point reaches its implementation.
//
// Every entry point is a stub that reads DispatchIndex and jumps through slot DispatchIndex of its
// own constant four-slot table: slot 0 the generic body, slots 1 to 3 the SSE3-, SSSE3- and
// SSE4.1-class bodies. The index is zero-initialised and nothing in the system writes it, so
// slot 0 always runs.
//
// A family's dispatch file (e.g. primitives/fft/FftDispatch.cpp) writes one table per entry point
// of its rows in EntryList.h and then the stubs of those rows:
//
//     #include "primitives/core/Dispatch.h"
//     #include "primitives/fft/RealFft.h"      // declares CreateRealFftGeneric, ...
//
//     KVX_DISPATCH_TABLE(CreateRealFft, CreateRealFftGeneric, CreateRealFftGeneric,
//                        CreateRealFftGeneric, CreateRealFftGeneric)
//     ...                                       // one table per row of the family
//     KVX_DEFINE_STUBS(fft)
//
// Each table must exist once the family's stubs are defined; a missing one fails to compile.
// The function type of an entry point is NameFn, its table NameDispatchTable.
#pragma once

#include "primitives/core/EntryList.h"

extern "C" int32_t DispatchIndex;

template <typename F>
struct DispatchTable {
    F* Slot[4];
};

// NameFn for every entry point, and the declaration of every table.
#define KVX_DISPATCH_DECLARE_ROW(family, Ret, Name, Params, Args) \
    using Name##Fn = Ret Params;                                  \
    extern const DispatchTable<Name##Fn> Name##DispatchTable;
KVX_ENTRY_LIST(KVX_DISPATCH_DECLARE_ROW)
#undef KVX_DISPATCH_DECLARE_ROW

// Defines the constant table of one entry point.
#define KVX_DISPATCH_TABLE(Name, Slot0, Slot1, Slot2, Slot3) \
    const DispatchTable<Name##Fn> Name##DispatchTable = {{Slot0, Slot1, Slot2, Slot3}};

// The stub: one load of the index, one indirect call, nothing else.
#define KVX_STUB_BODY(Ret, Name, Params, Args) \
    extern "C" Ret Name Params { return Name##DispatchTable.Slot[DispatchIndex] Args; }

// Row selection by family: KVX_FAMILY_PROBE_a_b expands to two items only when a and b are the
// same family, which moves the 1 into second place.
#define KVX_FAMILY_PROBE_core_core ~, 1
#define KVX_FAMILY_PROBE_fft_fft ~, 1
#define KVX_FAMILY_PROBE_filter_filter ~, 1
#define KVX_FAMILY_PROBE_vector_vector ~, 1
#define KVX_FAMILY_PROBE_math_math ~, 1
#define KVX_SECOND_ITEM(a, b, ...) b
#define KVX_SECOND_ITEM_OF(...) KVX_SECOND_ITEM(__VA_ARGS__)
#define KVX_SAME_FAMILY(probe) KVX_SECOND_ITEM_OF(probe, 0, ~)
#define KVX_STUB_WHEN_0(Ret, Name, Params, Args)
#define KVX_STUB_WHEN_1(Ret, Name, Params, Args) KVX_STUB_BODY(Ret, Name, Params, Args)
#define KVX_STUB_WHEN(hit, Ret, Name, Params, Args) KVX_STUB_WHEN_I(hit, Ret, Name, Params, Args)
#define KVX_STUB_WHEN_I(hit, Ret, Name, Params, Args) KVX_STUB_WHEN_##hit(Ret, Name, Params, Args)
#define KVX_STUB_ROW(wanted, family, Ret, Name, Params, Args) \
    KVX_STUB_WHEN(KVX_SAME_FAMILY(KVX_FAMILY_PROBE_##wanted##_##family), Ret, Name, Params, Args)
#define KVX_STUB_ROW_core(...) KVX_STUB_ROW(core, __VA_ARGS__)
#define KVX_STUB_ROW_fft(...) KVX_STUB_ROW(fft, __VA_ARGS__)
#define KVX_STUB_ROW_filter(...) KVX_STUB_ROW(filter, __VA_ARGS__)
#define KVX_STUB_ROW_vector(...) KVX_STUB_ROW(vector, __VA_ARGS__)
#define KVX_STUB_ROW_math(...) KVX_STUB_ROW(math, __VA_ARGS__)

// Defines the extern "C" stubs of every row of one family (core, fft, filter, vector or math).
#define KVX_DEFINE_STUBS(family) KVX_ENTRY_LIST(KVX_STUB_ROW_##family)
