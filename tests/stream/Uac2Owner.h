// Test-only: the owner of UAC2 endpoints in tests, standing in for the UAC2 function: an
// AudioHal whose entity registry holds the clock entity, answering IUsbDevice through the device
// object.
#pragma once

#include "adapter/AudioHal.h"
#include "adapter/UsbDevice.h"

namespace kvxtest {

class Uac2Owner : public AudioHal, public IUsbDevice {
public:
    DECLARE_UNKNOWN_BASE()

    explicit Uac2Owner(IUsbDevice* usb) : AudioHal(nullptr), m_pUsb(usb) { m_pUsb->AddRef(); }
    ~Uac2Owner() override { m_pUsb->Release(); }

    NTSTATUS Configure() override { return STATUS_SUCCESS; }
    NTSTATUS BuildConnections() override { return STATUS_SUCCESS; }
    PUSB_CONFIGURATION_DESCRIPTOR GetConfigurationDescriptor() override { return m_pUsb->GetConfigurationDescriptor(); }
    USBD_CONFIGURATION_HANDLE GetConfigurationHandle() override { return m_pUsb->GetConfigurationHandle(); }
    UCHAR GetAudioControlInterfaceNumber() override { return m_pUsb->GetAudioControlInterfaceNumber(); }
    NTSTATUS SetPresent(UCHAR present) override { return m_pUsb->SetPresent(present); }
    NTSTATUS CallLowerDriver(PIRP irp) override { return m_pUsb->CallLowerDriver(irp); }
    NTSTATUS SubmitUrbSync(PURB urb) override { return m_pUsb->SubmitUrbSync(urb); }
    NTSTATUS GetCurrentFrame(PULONG frame) override { return m_pUsb->GetCurrentFrame(frame); }
    PIRP AllocateIrp() override { return m_pUsb->AllocateIrp(); }
    NTSTATUS FreeIrp(PIRP irp) override { return m_pUsb->FreeIrp(irp); }
    UCHAR IsHighSpeed() override { return m_pUsb->IsHighSpeed(); }
    BOOLEAN CheckPort() override { return m_pUsb->CheckPort(); }
    BOOLEAN CyclePort() override { return m_pUsb->CyclePort(); }
    PDEVICE_OBJECT GetLowerDevice() override { return m_pUsb->GetLowerDevice(); }
    LONG AddBusyReference() override { return m_pUsb->AddBusyReference(); }
    LONG ReleaseBusyReference() override { return m_pUsb->ReleaseBusyReference(); }
    NTSTATUS CreateFunction() override { return STATUS_NOT_IMPLEMENTED; }

private:
    IUsbDevice* m_pUsb;
};

inline NTSTATUS Uac2Owner::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    if (ppvObject != nullptr && IsEqualGUID(iid, IID_IUsbDevice)) {
        return ReturnInterface(static_cast<IUsbDevice*>(this), ppvObject);
    }
    return AudioHal::NonDelegatingQueryInterface(iid, ppvObject);
}

}  // namespace kvxtest
