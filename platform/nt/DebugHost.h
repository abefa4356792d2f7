// Test, host and platform interface of debug output (not kernel API; driver code never
// includes it): the debug log, echo and the system version setting.
#pragma once

#include "platform/nt/Debug.h"
#include <cstdarg>
#include <string>
namespace platform {
// Returns the debug output since the last take (lines as printed) and clears it.
std::string DebugLogTake();
// Also echo debug output to stderr (off by default; on with KVX_DBGPRINT=1 in the environment).
void DebugEcho(bool echo);
// The running system's version (default NTDDI_WIN10); reset between tests.
void SetSystemVersion(ULONG version);
// Formats with DbgPrint's conventions (shared with other platform code).
std::string DebugFormat(const char* format, va_list args);
void DebugReset();
}  // namespace platform
