#include "tests/support/Harness.h"

#include <vector>

namespace kvxtest {
namespace {
std::vector<std::function<void()>>& StartHooks()
{
    static std::vector<std::function<void()>> hooks;
    return hooks;
}
std::vector<std::function<void()>>& EndHooks()
{
    static std::vector<std::function<void()>> hooks;
    return hooks;
}
bool g_suppressLeakCheck = false;
}  // namespace

void AddTestStartHook(std::function<void()> hook) { StartHooks().push_back(std::move(hook)); }
void AddTestEndHook(std::function<void()> hook) { EndHooks().push_back(std::move(hook)); }
void RunTestStartHooks()
{
    for (auto& h : StartHooks()) h();
}
void RunTestEndHooks()
{
    for (auto& h : EndHooks()) h();
}
void SuppressLeakCheck(bool suppress) { g_suppressLeakCheck = suppress; }
bool LeakCheckSuppressed() { return g_suppressLeakCheck; }

}  // namespace kvxtest
