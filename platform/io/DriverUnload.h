// Host interface (not part of the kernel API): unloading the hosted driver.
#pragma once

#include "platform/io/Io.h"

namespace platform {

// Calls the driver's Unload routine (when it has one) at PASSIVE_LEVEL, then runs the unload
// check (platform/nt/UnloadCheck.h): whatever the driver left set, queued or running is its fault.
// The driver object itself stays for the host to delete.
void IoUnloadDriver(PDRIVER_OBJECT driver);

}  // namespace platform
