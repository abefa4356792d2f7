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
// Gives a new device its name (null or empty: none, or an automatic one when the characteristics
// ask for it). Errors as IoCreateDevice returns them.
NTSTATUS IoNameDevice(PDEVICE_OBJECT device, PCUNICODE_STRING name, ULONG characteristics);
// The device's name goes with the device.
void IoForgetDeviceName(PDEVICE_OBJECT device);
// Forgets every symbolic link (machine reset between tests).
void IoForgetAllSymbolicLinks();

// A user process's request has finished (its status block and event are set next): its file's
// count drops, a close waiting for it goes out. False when an ending process is cancelling it
// at this moment: that process frees it (IoFreeFinishedIrp) once it lets go.
bool IoUserIrpFinished(PIRP irp);
void IoFreeFinishedIrp(PIRP irp);
// Views of locked pages mapped into the process (MmMapLockedPagesSpecifyCache, UserMode).
size_t MmUserViewsOf(uint32_t process);
// Forgets every process, user request and user file (machine reset between tests).
void IoForgetProcesses();

}  // namespace platform
