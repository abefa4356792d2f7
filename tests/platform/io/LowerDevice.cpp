#include "tests/platform/io/LowerDevice.h"

#include <algorithm>
#include "platform/io/IoHost.h"

namespace kvxtest {

LowerDevice::LowerDevice()
{
    m_driver = platform::IoCreateDriverObject(u"\\Driver\\TestLower");
    for (auto& routine : m_driver->MajorFunction) {
        routine = Dispatch;
    }
    IoCreateDevice(m_driver, sizeof(LowerDevice*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &m_device);
    *static_cast<LowerDevice**>(m_device->DeviceExtension) = this;
    m_device->Flags &= ~DO_DEVICE_INITIALIZING;
}

LowerDevice::~LowerDevice()
{
    while (CompleteNext(STATUS_CANCELLED)) {
    }
    IoDeleteDevice(m_device);
    platform::IoDeleteDriverObject(m_driver);
}

void LowerDevice::SetMode(Mode mode, NTSTATUS status, ULONG_PTR information)
{
    m_mode = mode;
    m_status = status;
    m_information = information;
}

size_t LowerDevice::HeldCount()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_held.size();
}

NTSTATUS LowerDevice::Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    auto* self = *static_cast<LowerDevice**>(device->DeviceExtension);
    if (self->m_hook) {
        self->m_hook(irp, IoGetCurrentIrpStackLocation(irp));
    }
    if (self->m_mode == Mode::CompleteAtOnce) {
        const NTSTATUS status = self->m_status;
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = self->m_information;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    IoMarkIrpPending(irp);
    {
        std::lock_guard<std::mutex> guard(self->m_lock);
        self->m_held.push_back(irp);
    }
    IoSetCancelRoutine(irp, Cancel);
    // Cancelled before the routine was in place: complete it here unless the routine runs.
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        {
            std::lock_guard<std::mutex> guard(self->m_lock);
            self->m_held.erase(std::find(self->m_held.begin(), self->m_held.end(), irp));
        }
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    return STATUS_PENDING;
}

VOID LowerDevice::Cancel(PDEVICE_OBJECT device, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto* self = *static_cast<LowerDevice**>(device->DeviceExtension);
    {
        std::lock_guard<std::mutex> guard(self->m_lock);
        self->m_held.erase(std::find(self->m_held.begin(), self->m_held.end(), irp));
    }
    self->m_cancelled++;
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

bool LowerDevice::CompleteNext(NTSTATUS status, ULONG_PTR information)
{
    PIRP irp = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_held.empty()) {
            return false;
        }
        irp = m_held.front();
        if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
            return false;  // the cancel routine owns it now
        }
        m_held.pop_front();
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return true;
}

}  // namespace kvxtest
