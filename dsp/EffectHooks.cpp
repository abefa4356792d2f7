#include "dsp/EffectHooks.h"

namespace {

// The effect processors fill their entries here as they come; an empty entry leaves its
// processor unmade.
constexpr EffectHooks DRIVER_EFFECT_HOOKS = {};

const EffectHooks* g_pEffectHooks = &DRIVER_EFFECT_HOOKS;

}  // namespace

const EffectHooks* GetEffectHooks() { return __atomic_load_n(&g_pEffectHooks, __ATOMIC_ACQUIRE); }

// Declared for tests in dsp/EffectHooksHost.h.
const EffectHooks* InstallEffectHooks(const EffectHooks* pHooks)
{
    const EffectHooks* pTable = pHooks != nullptr ? pHooks : &DRIVER_EFFECT_HOOKS;
    return __atomic_exchange_n(&g_pEffectHooks, pTable, __ATOMIC_ACQ_REL);
}
