// Hooks of the test harness. Platform layers that keep per-test state (the virtual clock, the
// system threads) register start and end hooks here so that every test begins from a clean machine.
#pragma once

#include <functional>

namespace kvxtest {

void AddTestStartHook(std::function<void()> hook);
void AddTestEndHook(std::function<void()> hook);
void RunTestStartHooks();
void RunTestEndHooks();

// A test that deliberately leaves a block behind (to show the leak report) turns the check off.
void SuppressLeakCheck(bool suppress);
bool LeakCheckSuppressed();

}  // namespace kvxtest
