// Host interface (not part of the kernel API): the check the host runs once a driver's Unload
// routine has returned. The machine hosts one driver at a time, so a timer still set, a DPC still
// queued or a work item still queued or running then is that driver's fault.
#pragma once

namespace platform {

// Records "UNLOAD_TIMER_SET", "UNLOAD_DPC_QUEUED" and "UNLOAD_WORKITEM_PENDING" faults naming the
// driver, then cancels the timers and removes the DPCs so that none of the driver's code runs later.
void DriverUnloadCheck(const char* driverName);

}  // namespace platform
