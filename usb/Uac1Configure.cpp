// Configure of the UAC1 function: the chip string, the chip probes that set the stored capability
// block, then the descriptor parsers.
#include <cstring>

#include "platform/nt/Debug.h"
#include "platform/nt/Pool.h"
#include "usb/Uac1Function.h"

namespace {

// Probe A's answer 0x1F: the block every such chip gets unless the device table names another.
constexpr ULONG PROBE_A_CHIP = 0x1F;
constexpr ULONG PROBE_A_MASK = 0x3E10A0;
constexpr ULONG PROBE_A_FLAGS = 0x41;
constexpr ULONG PROBE_B_MASK = 0x3E087;

NTSTATUS ReadChipString(IUsbDevice* pUsb, PURB pUrb, UCHAR index, PUCHAR pBuffer, PULONG pulReceived)
{
    PAGED_CODE();
    std::memset(pUrb, 0, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST));
    std::memset(pBuffer, 0, CHIP_STRING_BYTES);
    *pulReceived = 0;
    pUrb->UrbHeader.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    pUrb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    auto& request = pUrb->UrbControlDescriptorRequest;
    request.Index = index;
    request.DescriptorType = USB_STRING_DESCRIPTOR_TYPE;
    request.LanguageId = CHIP_STRING_LANGUAGE;
    request.TransferBuffer = pBuffer;
    request.TransferBufferLength = CHIP_STRING_BYTES;
    const NTSTATUS status = pUsb->SubmitUrbSync(pUrb);
    if (NT_SUCCESS(status)) {
        const ULONG ulReceived = request.TransferBufferLength;
        *pulReceived = ulReceived < CHIP_STRING_BYTES ? ulReceived : CHIP_STRING_BYTES;
    }
    return status;
}

// One probe: a vendor request to recipient other, device to host, one byte. *pbNoUrb tells a URB
// that could not be had from a request that failed. A reply that did not arrive reads 0.
NTSTATUS ProbeChip(IUsbDevice* pUsb, UCHAR request, USHORT value, PUCHAR pReply, bool* pbNoUrb)
{
    PAGED_CODE();
    constexpr ULONG URB_BYTES = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    *pReply = 0;
    *pbNoUrb = false;
    // The reply byte follows the URB in the same block.
    auto* pUrb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, URB_BYTES + sizeof(ULONG), CHIP_STRING_TAG));
    if (pUrb == nullptr) {
        *pbNoUrb = true;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(pUrb, 0, URB_BYTES + sizeof(ULONG));
    PUCHAR pBuffer = reinterpret_cast<PUCHAR>(pUrb) + URB_BYTES;
    pUrb->UrbHeader.Length = URB_BYTES;
    pUrb->UrbHeader.Function = URB_FUNCTION_VENDOR_OTHER;
    auto& vendor = pUrb->UrbControlVendorClassRequest;
    vendor.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
    vendor.TransferBuffer = pBuffer;
    vendor.TransferBufferLength = 1;
    vendor.Request = request;
    vendor.Value = value;
    vendor.Index = 0;
    const NTSTATUS status = pUsb->SubmitUrbSync(pUrb);
    if (NT_SUCCESS(status) && vendor.TransferBufferLength >= 1) {
        *pReply = pBuffer[0];
    }
    ExFreePoolWithTag(pUrb, CHIP_STRING_TAG);
    return status;
}

}  // namespace

NTSTATUS Uac1Function::Configure()
{
    PAGED_CODE();
    PVOID pRaw = nullptr;
    NTSTATUS status = QueryInterface(IID_IUsbDevice, &pRaw);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* pUsb = static_cast<IUsbDevice*>(pRaw);
    status = IdentifyChip(pUsb);
    if (NT_SUCCESS(status)) {
        status = ParseAudioControlForFunction(this);
    }
    if (NT_SUCCESS(status)) {
        status = ParseAudioStreamingForFunction(this);
    }
    pUsb->Release();
    return status;
}

NTSTATUS Uac1Function::IdentifyChip(IUsbDevice* pUsb)
{
    PAGED_CODE();
    auto* pBuffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, CHIP_STRING_BYTES, CHIP_STRING_TAG));
    auto* pUrb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), CHIP_STRING_TAG));
    NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
    ULONG ulReceived = 0;
    if (pBuffer != nullptr && pUrb != nullptr) {
        status = ReadChipString(pUsb, pUrb, CHIP_STRING_INDEX, pBuffer, &ulReceived);
        if (!NT_SUCCESS(status)) {
            status = ReadChipString(pUsb, pUrb, CHIP_STRING_FALLBACK_INDEX, pBuffer, &ulReceived);
        }
    }
    std::memset(&m_Capabilities, 0, sizeof(m_Capabilities));

    if (pBuffer == nullptr || pUrb == nullptr) {
        // Nothing could be asked.
    } else if (!NT_SUCCESS(status)) {
        if (m_Quirks.Has(DEVICE_QUIRK_STRINGLESS_CAPABILITIES)) {
            m_Capabilities.ControlMask = m_Quirks.CapabilityMask;
            m_Capabilities.Value = m_Quirks.CapabilityValue;
            status = STATUS_SUCCESS;
        }
        if (!NT_SUCCESS(status)) {
            DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_WARNING_LEVEL,
                       "UAC1: no chip string at string descriptor 0x%02x or 0x%02x: this driver starts only devices "
                       "of its chip family\n",
                       CHIP_STRING_INDEX, CHIP_STRING_FALLBACK_INDEX);
        }
    } else if (ChipKindOfString(pBuffer, ulReceived) == ChipKind::ProbeA) {
        UCHAR reply = 0;
        bool bNoUrb = false;
        status = ProbeChip(pUsb, 0x02, 0x0051, &reply, &bNoUrb);
        if (bNoUrb) {
            status = STATUS_SUCCESS;  // no answer: not this chip
        } else if (NT_SUCCESS(status) && reply == PROBE_A_CHIP) {
            m_Capabilities.ControlMask = PROBE_A_MASK;
            m_Capabilities.Flags = PROBE_A_FLAGS;
            if (m_Quirks.Has(DEVICE_QUIRK_PROBE_A_CAPABILITIES)) {
                m_Capabilities.ControlMask = m_Quirks.CapabilityMask;
                m_Capabilities.Flags = m_Quirks.CapabilityFlags;
            }
        }
    } else if (ChipKindOfString(pBuffer, ulReceived) == ChipKind::ProbeB) {
        UCHAR b1 = 0;
        UCHAR b2 = 0;
        bool bNoUrb = false;
        status = ProbeChip(pUsb, 0x00, 0x001A, &b1, &bNoUrb);
        if (NT_SUCCESS(status)) {
            status = ProbeChip(pUsb, 0x00, 0x0020, &b2, &bNoUrb);
        }
        if (NT_SUCCESS(status)) {
            if ((b1 & 0x0E) == 0x08 && (b2 & 0x02) == 0) {
                m_Capabilities.ControlMask = PROBE_B_MASK;
            } else if ((b1 & 0x0E) == 0x0E && (b2 & 0x02) == 0) {
                m_Capabilities.ControlMask = PROBE_B_MASK;
                m_Capabilities.Flags = AUDIO_CAPABILITY_ASIO;
            } else {
                status = STATUS_UNSUCCESSFUL;
            }
        }
    }
    if (pUrb != nullptr) {
        ExFreePoolWithTag(pUrb, CHIP_STRING_TAG);
    }
    if (pBuffer != nullptr) {
        ExFreePoolWithTag(pBuffer, CHIP_STRING_TAG);
    }
    return status;
}
