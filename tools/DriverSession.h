// Host side: installs the adapter driver on a simulated device through the host PnP manager,
// starts it, reads the driver's objects in-process into a Description, removes the device and
// unloads the driver.
#pragma once

#include <memory>

#include "sim/SimDevice.h"
#include "tools/Description.h"

namespace kvx {

// The machine's clock and threads are the caller's; the registry is made fresh and the system
// is Windows 10. The device is unplugged at the end.
Description DescribeDevice(std::unique_ptr<sim::SimDevice> device);

// Why a start failed with `status`, from the driver's debug output during it: the last line it
// printed there (its trace of the function it made aside), else the status by name.
std::string StartFailureReason(const std::string& debugLog, NTSTATUS status);

}  // namespace kvx
