#include "topology/Uac1UnitRequest.h"

#include <cstring>

#include "adapter/UsbDevice.h"

NTSTATUS UnitControlTransfer(IAudioHal* owner, UCHAR id, USHORT function, UCHAR request, USHORT value, BOOLEAN read,
                             PVOID buffer, ULONG length, PULONG pulReceived)
{
    if (pulReceived != nullptr) {
        *pulReceived = 0;
    }
    if (owner == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    IUsbDevice* pUsb = nullptr;
    NTSTATUS status = owner->QueryInterface(IID_IUsbDevice, reinterpret_cast<PVOID*>(&pUsb));
    if (!NT_SUCCESS(status)) {
        return status;
    }
    URB urb;
    std::memset(&urb, 0, sizeof(urb));
    _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& r = urb.UrbControlVendorClassRequest;
    r.Hdr.Length = UNIT_CONTROL_URB_LENGTH;
    r.Hdr.Function = function;
    r.TransferFlags = read ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT;
    r.TransferBufferLength = length;
    r.TransferBuffer = buffer;
    r.Request = request;
    r.Value = value;
    r.Index = static_cast<USHORT>((static_cast<USHORT>(id) << 8) + pUsb->GetAudioControlInterfaceNumber());
    status = pUsb->SubmitUrbSync(&urb);
    pUsb->Release();
    if (NT_SUCCESS(status) && pulReceived != nullptr) {
        // The bus writes back what it moved; never more than was asked for.
        *pulReceived = r.TransferBufferLength < length ? r.TransferBufferLength : length;
    }
    return status;
}

NTSTATUS UnitControlReadExact(IAudioHal* owner, UCHAR id, USHORT function, UCHAR request, USHORT value, PVOID buffer,
                              ULONG length)
{
    ULONG ulReceived = 0;
    NTSTATUS status = UnitControlTransfer(owner, id, function, request, value, TRUE, buffer, length, &ulReceived);
    if (NT_SUCCESS(status) && ulReceived < length) {
        status = STATUS_UNSUCCESSFUL;
    }
    return status;
}

NTSTATUS QueryOwnerUsbDevice(IAudioHal* owner)
{
    if (owner == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    IUsbDevice* pUsb = nullptr;
    NTSTATUS status = owner->QueryInterface(IID_IUsbDevice, reinterpret_cast<PVOID*>(&pUsb));
    if (NT_SUCCESS(status)) {
        pUsb->Release();
    }
    return status;
}
