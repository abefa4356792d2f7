// Shared state of the I/O manager's sources.
#pragma once

#include <mutex>

#include "platform/io/Io.h"

namespace platform {

// Guards device stacks, driver device lists and the interface table.
std::mutex& IoDatabaseLock();
// Drops the interface registrations of a physical device that is being deleted.
void IoForgetInterfacesOf(PDEVICE_OBJECT physicalDevice);
// Drops the properties of a device that is being deleted.
void IoForgetPropertiesOf(PDEVICE_OBJECT device);
void IoForgetAllProperties();

}  // namespace platform
