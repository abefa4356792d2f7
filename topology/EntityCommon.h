// Helpers shared by the entity classes: pool tags and whole-value access to the values that a
// stream thread reads while a property handler writes them (no lock, no torn value).
#pragma once

#include "platform/nt/NtTypes.h"

constexpr ULONG ON_OFF_VALUES_TAG = MakePoolTag("MTag");
constexpr ULONG LEVEL_VALUES_TAG = MakePoolTag("VTag");
constexpr ULONG TERMINAL_TAG = MakePoolTag("TerT");
constexpr ULONG SELECTOR_TAG = MakePoolTag("SelT");
constexpr ULONG CLOCK_TAG = MakePoolTag("cloc");
constexpr ULONG SOFTWARE_MUTE_TAG = MakePoolTag("DSPs");

template <typename T>
inline T LoadRelaxed(const T* p)
{
    return __atomic_load_n(p, __ATOMIC_RELAXED);
}

template <typename T>
inline void StoreRelaxed(T* p, T value)
{
    __atomic_store_n(p, value, __ATOMIC_RELAXED);
}

// The channel-count rule: outputs that carry every channel (Stream, SPK, HDMI, Line) report the
// entity's channel count; every other output at most two channels.
inline ULONG EffectiveChannelCount(ULONG channelCount, ULONG outputKind)
{
    if (outputKind == 0 || outputKind == 1 || outputKind == 4 || outputKind == 6) {
        return channelCount;
    }
    return channelCount < 2 ? channelCount : 2;
}
