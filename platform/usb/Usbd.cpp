// The USBD library helpers. Descriptors come from devices and are not trusted: every walk is
// bounded by the bytes the caller can vouch for, and a descriptor whose bLength is below two or
// runs past the end stops it (a zero bLength would otherwise never advance).
#include <cstring>

#include "platform/nt/Pool.h"
#include "platform/usb/Usb.h"
#include "platform/nt/PoolHost.h"

namespace {

// Bytes of the configuration that may be read: wTotalLength, no fewer than the header itself,
// and no more than the pool block when the configuration is one.
ULONG ConfigurationBytes(const USB_CONFIGURATION_DESCRIPTOR* config)
{
    SIZE_T blockSize = 0;
    const bool pooled = platform::PoolQueryBlock(config, nullptr, nullptr, &blockSize);
    if (pooled && blockSize < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        return static_cast<ULONG>(blockSize);
    }
    ULONG total = config->wTotalLength;
    if (pooled && total > blockSize) {
        total = static_cast<ULONG>(blockSize);
    }
    return total;
}

const UCHAR* Walk(const UCHAR* begin, const UCHAR* end, const UCHAR* start, LONG type, ULONG minLength)
{
    if (start < begin || start >= end) {
        return nullptr;
    }
    const UCHAR* p = start;
    while (end - p >= 2) {
        const UCHAR length = p[0];
        if (length < 2 || length > end - p) {
            return nullptr;
        }
        if (p[1] == static_cast<UCHAR>(type) && length >= minLength) {
            return p;
        }
        p += length;
    }
    return nullptr;
}

}  // namespace

PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                             LONG DescriptorType)
{
    if (DescriptorBuffer == nullptr || StartPosition == nullptr) {
        return nullptr;
    }
    const auto* begin = static_cast<const UCHAR*>(DescriptorBuffer);
    const UCHAR* found = Walk(begin, begin + TotalLength, static_cast<const UCHAR*>(StartPosition), DescriptorType, 2);
    return reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(const_cast<UCHAR*>(found));
}

PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol)
{
    if (ConfigurationDescriptor == nullptr || StartPosition == nullptr) {
        return nullptr;
    }
    const auto* begin = reinterpret_cast<const UCHAR*>(ConfigurationDescriptor);
    const UCHAR* end = begin + ConfigurationBytes(ConfigurationDescriptor);
    const UCHAR* p = static_cast<const UCHAR*>(StartPosition);
    // An interface descriptor shorter than its nine bytes is passed over, not read.
    while ((p = Walk(begin, end, p, USB_INTERFACE_DESCRIPTOR_TYPE, sizeof(USB_INTERFACE_DESCRIPTOR))) != nullptr) {
        const auto* d = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(p);
        const bool match = (InterfaceNumber == -1 || d->bInterfaceNumber == InterfaceNumber) &&
                           (AlternateSetting == -1 || d->bAlternateSetting == AlternateSetting) &&
                           (InterfaceClass == -1 || d->bInterfaceClass == InterfaceClass) &&
                           (InterfaceSubClass == -1 || d->bInterfaceSubClass == InterfaceSubClass) &&
                           (InterfaceProtocol == -1 || d->bInterfaceProtocol == InterfaceProtocol);
        if (match) {
            return const_cast<PUSB_INTERFACE_DESCRIPTOR>(d);
        }
        p += d->bLength;
    }
    return nullptr;
}

PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList)
{
    if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr) {
        return nullptr;
    }
    const auto* begin = reinterpret_cast<const UCHAR*>(ConfigurationDescriptor);
    const UCHAR* end = begin + ConfigurationBytes(ConfigurationDescriptor);

    // Size the request; every listed descriptor must be a whole interface descriptor of this
    // configuration, since its fields are read below.
    ULONG size = offsetof(_URB_SELECT_CONFIGURATION, Interface);
    ULONG count = 0;
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e) {
        const auto* p = reinterpret_cast<const UCHAR*>(e->InterfaceDescriptor);
        if (p < begin || end - p < static_cast<ptrdiff_t>(sizeof(USB_INTERFACE_DESCRIPTOR)) ||
            e->InterfaceDescriptor->bLength < sizeof(USB_INTERFACE_DESCRIPTOR) ||
            e->InterfaceDescriptor->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE) {
            return nullptr;
        }
        size += GET_USBD_INTERFACE_SIZE(e->InterfaceDescriptor->bNumEndpoints);
        if (size > 0xFFFF) {
            return nullptr;  // Hdr.Length is 16 bits
        }
        ++count;
    }
    if (count == 0) {
        return nullptr;
    }
    auto* urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, size, platform::USBD_LIBRARY_TAG));
    if (urb == nullptr) {
        return nullptr;
    }
    std::memset(urb, 0, size);
    urb->UrbHeader.Length = static_cast<USHORT>(size);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

    auto* info = &urb->UrbSelectConfiguration.Interface;
    for (PUSBD_INTERFACE_LIST_ENTRY e = InterfaceList; e->InterfaceDescriptor != nullptr; ++e) {
        const USB_INTERFACE_DESCRIPTOR* d = e->InterfaceDescriptor;
        info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(d->bNumEndpoints));
        info->InterfaceNumber = d->bInterfaceNumber;
        info->AlternateSetting = d->bAlternateSetting;
        info->NumberOfPipes = d->bNumEndpoints;
        PUSBD_PIPE_INFORMATION pipes = info->Pipes;
        for (ULONG i = 0; i < d->bNumEndpoints; ++i) {
            pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        }
        e->Interface = info;
        info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<UCHAR*>(info) + info->Length);
    }
    return urb;
}
