// Test and host interface of the effect hook table (not driver API; driver code never includes
// it): a test puts a double of its own in place of the driver's table, for the entities set up
// afterwards.
#pragma once

#include "dsp/EffectHooks.h"

// Installs `pHooks` (null: the driver's own table again) and returns the table it replaces. The
// table must outlive every entity set up while it was installed.
const EffectHooks* InstallEffectHooks(const EffectHooks* pHooks);
