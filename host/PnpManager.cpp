#include "host/PnpManager.h"

#include <algorithm>
#include <cstring>

#include "platform/nt/Machine.h"
#include "platform/nt/Ob.h"
#include "platform/nt/RtlString.h"
#include "platform/registry/RegistryHost.h"
#include "platform/io/IoHost.h"
#include "platform/io/ProcessHost.h"

namespace host {

namespace {
// How long a removal waits for the stack's files to close (virtual time).
constexpr LONGLONG USER_CLOSE_WAIT = -300000000LL;  // 30 s
}  // namespace

PnpManager::PnpManager()
{
    m_bus = platform::IoCreateDriverObject(u"\\Driver\\HostBus");
    for (auto& routine : m_bus->MajorFunction) {
        routine = BusDispatch;
    }
    m_thread = std::thread([this] { ThreadMain(); });
}

PnpManager::~PnpManager()
{
    for (PDEVICE_OBJECT pdo : std::vector<PDEVICE_OBJECT>(m_stacks)) {
        Remove(pdo);
    }
    for (PDEVICE_OBJECT pdo : std::vector<PDEVICE_OBJECT>(m_devices)) {
        DeletePhysicalDevice(pdo);
    }
    UnloadDriver();
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    {
        platform::ExternalWaitScope external;
        m_thread.join();
    }
    platform::IoDeleteDriverObject(m_bus);
}

void PnpManager::ThreadMain()
{
    platform::ClientThreadScope known("pnp");
    for (;;) {
        Job* job = nullptr;
        {
            platform::ExternalWaitScope external;
            std::unique_lock<std::mutex> guard(m_lock);
            m_wake.wait(guard, [this] { return m_stop || !m_jobs.empty(); });
            if (m_jobs.empty()) {
                return;
            }
            job = m_jobs.front();
            m_jobs.pop_front();
            m_busy = true;
        }
        {
            std::lock_guard<std::mutex> guard(m_lock);
            job->Picked = true;
        }
        m_wake.notify_all();
        const NTSTATUS result = job->Work();
        std::unique_lock<std::mutex> guard(m_lock);
        job->Result = result;
        job->Done = true;
        m_finished = job;
        m_wake.notify_all();
        m_wake.wait(guard, [this] { return m_finished == nullptr; });
        m_busy = false;
    }
}

NTSTATUS PnpManager::RunOnPnpThread(const std::function<NTSTATUS()>& work)
{
    if (OnPnpThread()) {
        return work();
    }
    // The clock moves only while every known thread is blocked. Each hand-over between the caller
    // and the PnP thread therefore keeps one of the two counted as running until the other one
    // runs: the caller until the PnP thread has taken the job, the PnP thread until the caller
    // has taken the result. Otherwise the clock could leap to the next timer in between (a start
    // would return seconds late, after the device's first idle period).
    // (A job queued behind another one waits for its turn blocked, as that one may need the clock.)
    Job job{work};
    std::unique_lock<std::mutex> guard(m_lock);
    const bool first = m_jobs.empty() && !m_busy;
    m_jobs.push_back(&job);
    m_wake.notify_all();
    if (first) {
        m_wake.wait(guard, [&job] { return job.Picked; });
    }
    guard.unlock();
    {
        platform::ExternalWaitScope external;
        guard.lock();
        m_wake.wait(guard, [&job] { return job.Done; });
        guard.unlock();
    }
    guard.lock();
    m_finished = nullptr;
    const NTSTATUS result = job.Result;
    guard.unlock();
    m_wake.notify_all();
    return result;
}

NTSTATUS PnpManager::LoadDriver(std::u16string_view name, PDRIVER_INITIALIZE driverEntry)
{
    return RunOnPnpThread([&]() -> NTSTATUS {
        if (m_driver != nullptr || driverEntry == nullptr) {
            return STATUS_INVALID_DEVICE_STATE;
        }
        PDRIVER_OBJECT driver = platform::IoCreateDriverObject(u"\\Driver\\" + std::u16string(name));
        if (driver == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        std::u16string path = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\" + std::u16string(name);
        platform::RegistryCreateKeyPath(path);
        UNICODE_STRING registryPath;
        registryPath.Buffer = path.data();
        registryPath.Length = static_cast<USHORT>(path.size() * 2);
        registryPath.MaximumLength = registryPath.Length;
        const NTSTATUS status = driverEntry(driver, &registryPath);
        if (!NT_SUCCESS(status)) {
            platform::IoDeleteDriverObject(driver);
            return status;
        }
        m_driver = driver;
        return status;
    });
}

void PnpManager::UnloadDriver()
{
    RunOnPnpThread([&]() -> NTSTATUS {
        if (m_driver == nullptr) {
            return STATUS_SUCCESS;
        }
        if (m_driver->DriverUnload != nullptr) {
            m_driver->DriverUnload(m_driver);
        }
        platform::IoDeleteDriverObject(m_driver);
        m_driver = nullptr;
        return STATUS_SUCCESS;
    });
}

PDEVICE_OBJECT PnpManager::CreateUsbDevice(uint16_t vendorId, uint16_t productId, uint16_t revision,
                                           std::u16string_view instance, unsigned driverKeyIndex)
{
    PDEVICE_OBJECT pdo = nullptr;
    RunOnPnpThread([&]() -> NTSTATUS {
        NTSTATUS status = IoCreateDevice(m_bus, 0, nullptr, FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME,
                                         FALSE, &pdo);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
        pdo->Flags &= ~DO_DEVICE_INITIALIZING;
        platform::DeviceSetUpUsb(pdo, vendorId, productId, revision, instance, driverKeyIndex);
        m_devices.push_back(pdo);
        return STATUS_SUCCESS;
    });
    return pdo;
}

void PnpManager::DeletePhysicalDevice(PDEVICE_OBJECT physicalDevice)
{
    RunOnPnpThread([&]() -> NTSTATUS {
        auto it = std::find(m_devices.begin(), m_devices.end(), physicalDevice);
        if (it == m_devices.end()) {
            return STATUS_INVALID_PARAMETER;
        }
        m_devices.erase(it);
        platform::DeviceForget(physicalDevice);
        IoDeleteDevice(physicalDevice);
        return STATUS_SUCCESS;
    });
}

NTSTATUS PnpManager::AddDevice(PDEVICE_OBJECT physicalDevice)
{
    return RunOnPnpThread([&]() -> NTSTATUS {
        if (m_driver == nullptr || m_driver->DriverExtension->AddDevice == nullptr) {
            return STATUS_INVALID_DEVICE_STATE;
        }
        const NTSTATUS status = m_driver->DriverExtension->AddDevice(m_driver, physicalDevice);
        if (NT_SUCCESS(status)) {
            m_stacks.push_back(physicalDevice);
        }
        return status;
    });
}

PDEVICE_OBJECT PnpManager::TopOfStack(PDEVICE_OBJECT physicalDevice) { return IoGetAttachedDevice(physicalDevice); }

NTSTATUS PnpManager::SendIrp(PDEVICE_OBJECT physicalDevice, UCHAR major, UCHAR minor,
                             const std::function<void(PIO_STACK_LOCATION)>& fill, NTSTATUS initialStatus)
{
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(physicalDevice);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    irp->UserEvent = &done;
    irp->UserIosb = &iosb;
    irp->IoStatus.Status = initialStatus;
    PIO_STACK_LOCATION stack = platform::IoPrepareNextStackLocation(irp, major, minor);
    if (fill) {
        fill(stack);
    }
    if (IoCallDriver(top, irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    IoFreeIrp(irp);
    ObDereferenceObject(top);
    return iosb.Status;
}

NTSTATUS PnpManager::Start(PDEVICE_OBJECT physicalDevice)
{
    return RunOnPnpThread([&] {
        return SendIrp(physicalDevice, IRP_MJ_PNP, IRP_MN_START_DEVICE, nullptr, STATUS_NOT_SUPPORTED);
    });
}

NTSTATUS PnpManager::QueryCapabilities(PDEVICE_OBJECT physicalDevice, DEVICE_CAPABILITIES* capabilities)
{
    return RunOnPnpThread([&] {
        std::memset(capabilities, 0, sizeof *capabilities);
        capabilities->Size = sizeof *capabilities;
        capabilities->Version = 1;
        capabilities->Address = 0xFFFFFFFF;
        capabilities->UINumber = 0xFFFFFFFF;
        return SendIrp(
            physicalDevice, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
            [capabilities](PIO_STACK_LOCATION s) { s->Parameters.DeviceCapabilities.Capabilities = capabilities; },
            STATUS_NOT_SUPPORTED);
    });
}

NTSTATUS PnpManager::QueryPower(PDEVICE_OBJECT physicalDevice, DEVICE_POWER_STATE state)
{
    return RunOnPnpThread([&] {
        return SendIrp(
            physicalDevice, IRP_MJ_POWER, IRP_MN_QUERY_POWER,
            [state](PIO_STACK_LOCATION s) {
                s->Parameters.Power.Type = DevicePowerState;
                s->Parameters.Power.State.DeviceState = state;
            },
            STATUS_NOT_SUPPORTED);
    });
}

NTSTATUS PnpManager::SetPower(PDEVICE_OBJECT physicalDevice, DEVICE_POWER_STATE state)
{
    return RunOnPnpThread([&] {
        return SendIrp(
            physicalDevice, IRP_MJ_POWER, IRP_MN_SET_POWER,
            [state](PIO_STACK_LOCATION s) {
                s->Parameters.Power.Type = DevicePowerState;
                s->Parameters.Power.State.DeviceState = state;
            },
            STATUS_NOT_SUPPORTED);
    });
}

NTSTATUS PnpManager::SetSystemPower(PDEVICE_OBJECT physicalDevice, SYSTEM_POWER_STATE state)
{
    return RunOnPnpThread([&] {
        auto fill = [state](PIO_STACK_LOCATION s) {
            s->Parameters.Power.Type = SystemPowerState;
            s->Parameters.Power.State.SystemState = state;
            s->Parameters.Power.ShutdownType =
                state == PowerSystemHibernate ? PowerActionHibernate : (state == PowerSystemWorking ? PowerActionNone : PowerActionSleep);
        };
        // Waking is not asked for; going to sleep is.
        if (state != PowerSystemWorking) {
            const NTSTATUS status = SendIrp(physicalDevice, IRP_MJ_POWER, IRP_MN_QUERY_POWER, fill, STATUS_NOT_SUPPORTED);
            if (!NT_SUCCESS(status)) {
                return status;
            }
        }
        return SendIrp(physicalDevice, IRP_MJ_POWER, IRP_MN_SET_POWER, fill, STATUS_NOT_SUPPORTED);
    });
}

NTSTATUS PnpManager::SurpriseRemove(PDEVICE_OBJECT physicalDevice)
{
    return RunOnPnpThread([&] {
        return SendIrp(physicalDevice, IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL, nullptr, STATUS_NOT_SUPPORTED);
    });
}

NTSTATUS PnpManager::Remove(PDEVICE_OBJECT physicalDevice)
{
    return RunOnPnpThread([&]() -> NTSTATUS {
        auto it = std::find(m_stacks.begin(), m_stacks.end(), physicalDevice);
        if (it == m_stacks.end()) {
            return STATUS_INVALID_DEVICE_STATE;
        }
        // A device is removed once its users have let go, whether it went away or is taken away in
        // order: the stack's open files close as their processes close their handles or end (a
        // close held back by a request goes once the request finishes). Bounded, because a process
        // that neither closes nor ends would hold the PnP manager for good; the driver still has
        // to take a removal with files open.
        platform::IoWaitUserFilesClosed(physicalDevice, USER_CLOSE_WAIT);
        m_stacks.erase(it);
        // What a user closes meanwhile reaches the driver after its removal, never during it.
        platform::IoBeginStackRemoval(physicalDevice);
        const NTSTATUS status = SendIrp(physicalDevice, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, nullptr, STATUS_NOT_SUPPORTED);
        platform::IoEndStackRemoval(physicalDevice);
        return status;
    });
}

NTSTATUS PnpManager::SendPnp(PDEVICE_OBJECT physicalDevice, UCHAR minorFunction)
{
    return RunOnPnpThread(
        [&] { return SendIrp(physicalDevice, IRP_MJ_PNP, minorFunction, nullptr, STATUS_NOT_SUPPORTED); });
}

// The host bus's answers for its physical devices: PnP and power requests succeed (the
// capabilities are those of a removable USB device); anything else is not supported.
NTSTATUS PnpManager::BusDispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MajorFunction) {
    case IRP_MJ_PNP:
        switch (stack->MinorFunction) {
        case IRP_MN_QUERY_CAPABILITIES: {
            DEVICE_CAPABILITIES* caps = stack->Parameters.DeviceCapabilities.Capabilities;
            caps->Removable = 1;
            caps->UniqueID = 0;
            caps->DeviceD1 = 1;
            caps->DeviceD2 = 1;
            caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
            for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) {
                caps->DeviceState[s] = PowerDeviceD3;
            }
            status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_START_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_REMOVE_DEVICE:
            status = STATUS_SUCCESS;
            break;
        default:
            break;
        }
        break;
    case IRP_MJ_POWER:
        if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
            PoSetPowerState(device, DevicePowerState, stack->Parameters.Power.State);
        }
        status = STATUS_SUCCESS;
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace host
