// Host side (tests and the command-line tool; never included by driver code): the operating
// system's Plug and Play and power manager. It loads a driver, creates physical device objects on
// a host bus with their hardware ids and device-instance registry keys, builds the stack with the
// driver's AddDevice, and sends start, capability, power, surprise-removal and removal requests,
// all serialised on one PnP thread that the machine knows.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/io/Io.h"

namespace host {

class PnpManager {
public:
    PnpManager();
    // Removes every stack still built, deletes the physical devices, unloads the driver and
    // ends the PnP thread.
    ~PnpManager();
    PnpManager(const PnpManager&) = delete;
    PnpManager& operator=(const PnpManager&) = delete;

    // Creates the driver object "\Driver\<name>" and runs DriverEntry with the service key
    // "\Registry\Machine\SYSTEM\CurrentControlSet\Services\<name>"; on failure the driver object
    // is deleted again. One driver at a time.
    NTSTATUS LoadDriver(std::u16string_view name, PDRIVER_INITIALIZE driverEntry);
    // Calls the driver's Unload and deletes the driver object (its devices must be gone).
    void UnloadDriver();
    PDRIVER_OBJECT Driver() const { return m_driver; }

    // A physical device object of a USB device on the host bus: hardware ids
    // "USB\VID_vvvv&PID_pppp&REV_rrrr" and "USB\VID_vvvv&PID_pppp", instance and driver keys.
    PDEVICE_OBJECT CreateUsbDevice(uint16_t vendorId, uint16_t productId, uint16_t revision,
                                   std::u16string_view instance = u"5&1a2b3c4d&0&1", unsigned driverKeyIndex = 0);
    // Deletes a physical device whose stack has been removed.
    void DeletePhysicalDevice(PDEVICE_OBJECT physicalDevice);

    // Builds the stack: the loaded driver's AddDevice on the physical device.
    NTSTATUS AddDevice(PDEVICE_OBJECT physicalDevice);
    // The top of the stack above the physical device (the adapter's device once added).
    PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT physicalDevice);

    NTSTATUS Start(PDEVICE_OBJECT physicalDevice);
    NTSTATUS QueryCapabilities(PDEVICE_OBJECT physicalDevice, DEVICE_CAPABILITIES* capabilities);
    NTSTATUS QueryPower(PDEVICE_OBJECT physicalDevice, DEVICE_POWER_STATE state);
    NTSTATUS SetPower(PDEVICE_OBJECT physicalDevice, DEVICE_POWER_STATE state);
    // The system enters `state` (a sleep state, or PowerSystemWorking to wake): a system
    // query-power request, then a system set-power request, through the stack; the device's
    // power policy owner turns them into device states. A refused query stops it there.
    NTSTATUS SetSystemPower(PDEVICE_OBJECT physicalDevice, SYSTEM_POWER_STATE state);
    NTSTATUS SurpriseRemove(PDEVICE_OBJECT physicalDevice);
    // Waits (bounded) until the files user processes hold open on the stack are closed, then
    // sends the removal; a file closed while the removal is with the driver closes after it.
    NTSTATUS Remove(PDEVICE_OBJECT physicalDevice);
    // Any PnP request with no parameters (stop, query-remove, ...).
    NTSTATUS SendPnp(PDEVICE_OBJECT physicalDevice, UCHAR minorFunction);

    // Runs a job on the PnP thread and waits for it.
    NTSTATUS RunOnPnpThread(const std::function<NTSTATUS()>& job);
    bool OnPnpThread() const { return std::this_thread::get_id() == m_thread.get_id(); }

private:
    struct Job {
        std::function<NTSTATUS()> Work;
        NTSTATUS Result = STATUS_PENDING;
        bool Picked = false;  // the PnP thread runs it (and counts as running for the clock)
        bool Done = false;
    };

    void ThreadMain();
    // Sends one IRP to the top of the stack from the PnP thread and waits for its completion.
    NTSTATUS SendIrp(PDEVICE_OBJECT physicalDevice, UCHAR major, UCHAR minor,
                     const std::function<void(PIO_STACK_LOCATION)>& fill, NTSTATUS initialStatus);
    static NTSTATUS BusDispatch(PDEVICE_OBJECT device, PIRP irp);

    PDRIVER_OBJECT m_driver = nullptr;
    PDRIVER_OBJECT m_bus = nullptr;
    std::vector<PDEVICE_OBJECT> m_devices;  // physical devices of the host bus
    std::vector<PDEVICE_OBJECT> m_stacks;   // physical devices whose stack is built

    std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<Job*> m_jobs;
    Job* m_finished = nullptr;  // done, its caller not yet running again
    bool m_busy = false;        // the PnP thread runs a job
    bool m_stop = false;
    std::thread m_thread;
};

}  // namespace host
